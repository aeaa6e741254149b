// The FLTK side of the window layer: the main window's widget classes, the
// steps that build the window, and what the side's own tests reach. Only this
// side and its tests include this.
#ifndef ZP_APP_FLTK_WIDGETS_H
#define ZP_APP_FLTK_WIDGETS_H

#include <FL/Fl_Box.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Window.H>

#include "app/layout.h"

// The main window. Escape never closes it, and the navigation keys reach the
// toolkit's own handling only where the focused widget's key mask allows.
class AppWin : public Fl_Window {
public:
    // Builds the four buttons, shows the window and makes its close end the
    // program.
    AppWin(int w, int h, const char* title);
    int handle(int event) override;
};

// A wizard button: Space and Enter press it only while it has the focus.
class Btn : public Fl_Button {
public:
    Btn(int x, int y, int w, int h, const char* label, int button_id);
    int handle(int event) override;
    int id;  // 4001..4004
};

// The marker shown left of the row the page is about.
class Arrow : public Fl_Box {
public:
    Arrow(int x, int y, int w, int h);
};


// The other widgets, made in this order after the constructor while the
// window is the current group. Each returns 0 when a widget could not be made.
int create_arrows();
int create_page_text();
int create_port_choice();
int create_file_input();
// The progress bar and the Done page's result line, both hidden until the
// wizard shows them.
int create_status_widgets();

// The key mask of a widget: 2 for the file-name input, 4 for the MIDI output
// choice, 0 for everything else (null included).
int key_mask_of(const Fl_Widget* widget);

// Callback of every Btn: posts the event of the button's id if it is active.
void button_pressed(Btn* button);

// Forgets every widget slot (the window is being torn down).
void forget_widgets();

// The window's close; defined by the event bridge.
void shutdown_callback(Fl_Widget* widget, void* data);

// The widget stored under `id` (2..7), or null.
Fl_Widget* widget_by_id(int id);

// The lower-case letter after the first "&" of the widget's label, or 0 when
// the widget or label is missing or has no letter after an "&".
int shortcut_letter(const Fl_Widget* widget);

// Global toolkit handler for letter shortcuts no widget used: the letter of
// Back, Next or Skip posts that button's event when the button is active.
// Returns 1 when it posted.
int shortcut_handler(int event);

// The main window, or null before a successful app_start.
Fl_Window* app_main_window();

// Test seams. app_idle_pending: 1 while the idle poll is installed (it stays
// installed only while an event or a wake is pending). app_idle_poll: one
// pass of the idle poll, as the toolkit would run it.
int app_idle_pending();
void app_idle_poll();

#endif
