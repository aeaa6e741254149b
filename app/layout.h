// The main window as both sides of the window layer build it (app/fltk/ on
// FLTK, app/win32/ on Windows' own controls): its title and size, where each
// widget sits, its label, and the keys each widget lets through. One table,
// read by both, so the two windows cannot drift apart. Pixels at 96 dots per
// inch; a side scales them to its screen.
#ifndef ZP_APP_LAYOUT_H
#define ZP_APP_LAYOUT_H

#include "app/events.h"

inline constexpr char APP_WINDOW_TITLE[] = "Zorva Pro Updater  Version 1.00";  // two blanks before "Version"
constexpr int APP_WINDOW_W = 590;
constexpr int APP_WINDOW_H = 350;

// One of the four buttons: its id, place, first label and the widget id it
// is stored under (its event is that widget id).
struct ButtonSpec {
    int id;
    int x, y, w, h;
    const char* label;
    int widget_id;
};

constexpr int BUTTON_COUNT = 4;

// In creation order; the labels of 3..5 are replaced by the page's before the
// window is first drawn.
inline constexpr ButtonSpec BUTTON_TABLE[BUTTON_COUNT] = {
    {4001, 478, 194, 40, 30, "...", WIDGET_CHOOSE_BUTTON},
    {4002, 65, 275, 110, 40, "Btn1", WIDGET_BACK},
    {4003, 240, 275, 110, 40, "Btn2", WIDGET_NEXT},
    {4004, 415, 275, 110, 40, "Btn3", WIDGET_SKIP},
};

// Where a widget that is not a button sits, and its label (drawn to its left
// for the choice and the input; null for none).
struct WidgetPlace {
    int x, y, w, h;
    const char* label;
};

inline constexpr WidgetPlace UPPER_ARROW = {40, 112, 30, 30, nullptr};  // the port row, row 1
inline constexpr WidgetPlace LOWER_ARROW = {40, 194, 30, 30, nullptr};  // the file row, row 2
inline constexpr WidgetPlace PAGE_TEXT = {80, 20, 430, 74, nullptr};
inline constexpr WidgetPlace PORT_CHOICE = {180, 112, 230, 30, "MIDI Output"};
inline constexpr WidgetPlace FILE_INPUT = {120, 194, 350, 30, "File"};
// Between the two rows, covering none of the page's own widgets: the
// progress bar while sending and waiting, and the Done page's line (up to
// three lines of the amp's answer and what to do next).
inline constexpr WidgetPlace PROGRESS_BAR = {80, 152, 430, 26, nullptr};
inline constexpr WidgetPlace RESULT_LINE = {40, 144, 510, 48, nullptr};

constexpr int PAGE_TEXT_SIZE = 16;    // pixels
constexpr int RESULT_TEXT_SIZE = 13;
constexpr int PROGRESS_TEXT_SIZE = 13;

// Key-mask bits: which navigation keys the window lets through to the widget
// with the keyboard focus; the others do nothing.
constexpr int KEY_MASK_BACKSPACE_LEFT_RIGHT = 2;
constexpr int KEY_MASK_UP_DOWN = 4;

// The key mask of widget `id`: 2 for the file-name input, 4 for the MIDI
// output choice, 0 for every other.
constexpr int key_mask_of_widget(int id) {
    return id == WIDGET_FILE_INPUT ? KEY_MASK_BACKSPACE_LEFT_RIGHT : id == WIDGET_PORT_CHOICE ? KEY_MASK_UP_DOWN : 0;
}

// The lower-case character after the first "&" of `label`, or 0 when the
// label is missing or has no character after an "&". Both toolkits mark a
// button's letter this way and underline it.
int app_shortcut_letter(const char* label);

#endif
