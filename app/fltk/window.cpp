// The FLTK side of the window layer: the main window of app/layout.h, its
// widgets, the keyboard rules and the operations by which the wizard drives
// them. Everything here runs on the GUI thread.
#include "app/window.h"

#include <FL/Fl.H>
#include <FL/Fl_Choice.H>
#include <FL/Fl_File_Chooser.H>
#include <FL/Fl_Input.H>
#include <FL/Fl_Multiline_Output.H>
#include <FL/Fl_Progress.H>

#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "app/app.h"
#include "app/fltk/widgets.h"
#include "update/amp_choice.h"
#include "update/safe_text.h"

static const char* const kArrowLabel = "@+9->";


static Fl_Widget* widget_slots[WIDGET_ID_LAST + 1];
static Arrow* upper_arrow;
static Arrow* lower_arrow;
static Arrow* marked_arrow;
static Fl_Multiline_Output* page_text_area;
static Fl_Progress* progress_bar;
static Fl_Box* result_line;
static int port_count;
// The device names exactly as listed, one per entry of the choice; the menu
// labels themselves are escaped for the toolkit's menu syntax.
static std::vector<std::string> port_names;
static Fl_File_Chooser* current_chooser;

// ---------------------------------------------------------------- widgets

AppWin::AppWin(int w, int h, const char* title) : Fl_Window(w, h, title) {
    for (const ButtonSpec& row : BUTTON_TABLE) {
        Btn* b = new Btn(row.x, row.y, row.w, row.h, row.label, row.id);
        b->callback([](Fl_Widget*, void* data) { button_pressed(static_cast<Btn*>(data)); }, b);
        widget_slots[row.widget_id] = b;
    }
    show();
    callback(shutdown_callback);
}

int AppWin::handle(int event) {
    // The key of the latest key or mouse-button event, whatever this event is.
    int key = Fl::event_key();
    if (key == 0) return Fl_Window::handle(event);
    if (key == FL_Escape) return 1;  // never closes the window
    int mask;
    if (key == FL_BackSpace || key == FL_Left || key == FL_Right) {
        mask = KEY_MASK_BACKSPACE_LEFT_RIGHT;
    } else if (key == FL_Up || key == FL_Down) {
        mask = KEY_MASK_UP_DOWN;
    } else {
        return Fl_Window::handle(event);
    }
    if (key_mask_of(Fl::focus()) & mask) return Fl_Window::handle(event);
    return 1;  // swallowed: the navigation keys never move the focus here
}

Btn::Btn(int x, int y, int w, int h, const char* label, int button_id)
    : Fl_Button(x, y, w, h, label), id(button_id) {}

int Btn::handle(int event) {
    int key = Fl::event_key();
    if (key != ' ' && key != FL_Enter) return Fl_Button::handle(event);
    // Space and Enter press only the focused button, once per key press; the
    // base class never sees them, so it cannot press a button a second time.
    if (Fl::focus() == this && event == FL_KEYBOARD) button_pressed(this);
    return 1;
}

Arrow::Arrow(int x, int y, int w, int h) : Fl_Box(x, y, w, h) {
    box(FL_FLAT_BOX);
    label(kArrowLabel);
    align(FL_ALIGN_INSIDE);
    labelcolor(FL_DARK3);
    clear_visible_focus();
    hide();
}

void button_pressed(Btn* button) {
    if (button == nullptr || !button->active_r()) return;
    for (const ButtonSpec& row : BUTTON_TABLE) {
        if (row.id == button->id) {
            post_event(row.widget_id);
            return;
        }
    }
}

static void port_choice_changed(Fl_Widget* w, void*) {
    if (w == widget_slots[WIDGET_PORT_CHOICE] && w->active_r()) post_event(EVENT_PORT_CHANGED);
}

static void file_input_changed(Fl_Widget* w, void*) {
    if (w == widget_slots[WIDGET_FILE_INPUT] && w->active_r()) post_event(EVENT_FILE_NAME_CHANGED);
}

int create_arrows() {
    upper_arrow = new Arrow(UPPER_ARROW.x, UPPER_ARROW.y, UPPER_ARROW.w, UPPER_ARROW.h);
    lower_arrow = new Arrow(LOWER_ARROW.x, LOWER_ARROW.y, LOWER_ARROW.w, LOWER_ARROW.h);
    marked_arrow = nullptr;
    return 1;
}

int create_page_text() {
    page_text_area = new Fl_Multiline_Output(PAGE_TEXT.x, PAGE_TEXT.y, PAGE_TEXT.w, PAGE_TEXT.h);
    page_text_area->color(FL_BACKGROUND_COLOR);
    page_text_area->selection_color(FL_BACKGROUND_COLOR);
    page_text_area->box(FL_FLAT_BOX);
    page_text_area->textsize(PAGE_TEXT_SIZE);
    page_text_area->clear_visible_focus();
    page_text_area->wrap(1);
    return 1;
}

int create_port_choice() {
    Fl_Choice* choice = new Fl_Choice(PORT_CHOICE.x, PORT_CHOICE.y, PORT_CHOICE.w, PORT_CHOICE.h, PORT_CHOICE.label);
    choice->clear_visible_focus();
    choice->callback(port_choice_changed);
    widget_slots[WIDGET_PORT_CHOICE] = choice;
    port_count = 0;
    port_names.clear();
    return 1;
}

int create_file_input() {
    Fl_Input* input = new Fl_Input(FILE_INPUT.x, FILE_INPUT.y, FILE_INPUT.w, FILE_INPUT.h, FILE_INPUT.label);
    input->when(FL_WHEN_CHANGED);
    input->callback(file_input_changed);
    widget_slots[WIDGET_FILE_INPUT] = input;
    return 1;
}

// Both sit in the free band between the port row and the file row, so they
// cover none of the page's own widgets.
int create_status_widgets() {
    progress_bar = new Fl_Progress(PROGRESS_BAR.x, PROGRESS_BAR.y, PROGRESS_BAR.w, PROGRESS_BAR.h);
    progress_bar->minimum(0);
    progress_bar->maximum(1);
    // Black text reads on the filled part and the empty part alike.
    progress_bar->color(FL_WHITE);
    progress_bar->selection_color(fl_rgb_color(140, 180, 235));
    progress_bar->labelcolor(FL_BLACK);
    progress_bar->labelsize(PROGRESS_TEXT_SIZE);
    progress_bar->hide();
    result_line = new Fl_Box(RESULT_LINE.x, RESULT_LINE.y, RESULT_LINE.w, RESULT_LINE.h);
    result_line->box(FL_NO_BOX);
    result_line->align(FL_ALIGN_INSIDE | FL_ALIGN_LEFT | FL_ALIGN_WRAP);
    result_line->labelsize(RESULT_TEXT_SIZE);
    result_line->hide();
    return 1;
}

void show_progress(double fraction, const char* label) {
    if (progress_bar == nullptr) return;
    if (fraction < 0) fraction = 0;
    if (fraction > 1) fraction = 1;
    const char* old = progress_bar->label();
    if (label == nullptr) label = "";
    if (old == nullptr || std::strcmp(old, label) != 0) progress_bar->copy_label(label);
    if (progress_bar->value() != float(fraction)) progress_bar->value(float(fraction));
    if (!progress_bar->visible()) progress_bar->show();
}

void hide_progress() {
    if (progress_bar != nullptr && progress_bar->visible()) progress_bar->hide();
}

void set_result_line(const char* text) {
    if (result_line == nullptr) return;
    if (text == nullptr || *text == '\0') {
        if (result_line->visible()) result_line->hide();
        return;
    }
    const char* old = result_line->label();
    if (old == nullptr || std::strcmp(old, text) != 0) result_line->copy_label(text);
    if (!result_line->visible()) result_line->show();
}

double progress_value() {
    return progress_bar != nullptr && progress_bar->visible() ? double(progress_bar->value()) : -1;
}

const char* result_line_text() {
    if (result_line == nullptr || !result_line->visible() || result_line->label() == nullptr) return "";
    return result_line->label();
}

void forget_widgets() {
    for (Fl_Widget*& w : widget_slots) w = nullptr;
    upper_arrow = lower_arrow = marked_arrow = nullptr;
    page_text_area = nullptr;
    progress_bar = nullptr;
    result_line = nullptr;
    port_names.clear();
    port_count = 0;
}

int key_mask_of(const Fl_Widget* widget) {
    if (widget == nullptr) return 0;
    for (int id = WIDGET_ID_FIRST; id <= WIDGET_ID_LAST; id++)
        if (widget == widget_slots[id]) return key_mask_of_widget(id);
    return 0;
}

// ------------------------------------------------------ keyboard shortcuts

int shortcut_letter(const Fl_Widget* widget) { return widget ? app_shortcut_letter(widget->label()) : 0; }

int shortcut_handler(int event) {
    if (event != FL_SHORTCUT) return 0;
    for (int id = WIDGET_BACK; id <= WIDGET_SKIP; id++) {
        Fl_Widget* w = widget_slots[id];
        int letter = shortcut_letter(w);
        if (letter != 0 && letter == Fl::event_key()) {
            if (!w->active_r()) return 0;  // an inactive button's letter does nothing
            post_event(id);
            return 1;
        }
    }
    return 0;
}

// ------------------------------------------------------------- port list

static Fl_Choice* port_choice() { return static_cast<Fl_Choice*>(widget_slots[WIDGET_PORT_CHOICE]); }

// The menu treats "/" as a submenu separator, "\" as an escape, "&" as the
// shortcut mark and a leading "_" as a divider; a device name is none of those.
// The name comes from the system: its control characters are shown escaped.
static std::string menu_label_for(const char* raw) {
    std::vector<char> safe(std::strlen(raw) * 4 + 1);
    const char* name = safe_text(raw, safe.data(), safe.size());
    std::string label;
    for (const char* p = name; *p; p++) {
        if (*p == '/' || *p == '\\' || (*p == '_' && p == name)) {
            label += '\\';
            label += *p;
        } else if (*p == '&') {
            label += "&&";
        } else {
            label += *p;
        }
    }
    return label;
}

void clear_port_list() {
    if (port_choice() != nullptr) port_choice()->clear();
    port_names.clear();
    port_count = 0;
}

int port_list_add(const char* name) {
    Fl_Choice* choice = port_choice();
    if (choice == nullptr || name == nullptr) return port_count;
    int index = choice->add(menu_label_for(name).c_str());
    if (index < 0) return port_count;
    // The menu keeps its entries in the order added, one per device.
    port_names.resize(static_cast<size_t>(index) + 1);
    port_names[static_cast<size_t>(index)] = name;
    if (amp_choice_takes(name, port_count)) choice->value(index);
    port_count += 1;
    return port_count;
}

const char* chosen_port_name() {
    Fl_Choice* choice = port_choice();
    if (choice == nullptr) return nullptr;
    int index = choice->value();
    if (index < 0 || static_cast<size_t>(index) >= port_names.size()) return nullptr;
    return port_names[static_cast<size_t>(index)].c_str();
}

// ------------------------------------------------------------- file name

const char* file_name() {
    Fl_Input* input = static_cast<Fl_Input*>(widget_slots[WIDGET_FILE_INPUT]);
    if (input == nullptr || input->value() == nullptr || input->value()[0] == '\0') return nullptr;
    return input->value();
}

static void file_chosen(Fl_File_Chooser* chooser, void*) {
    if (chooser == nullptr || chooser != current_chooser) return;  // an older chooser
    Fl_Input* input = static_cast<Fl_Input*>(widget_slots[WIDGET_FILE_INPUT]);
    if (input == nullptr) return;
    const char* chosen = chooser->value(1);
    input->value(chosen != nullptr ? chosen : "");
    post_event(EVENT_FILE_NAME_CHANGED);
}

void close_file_chooser() {
    if (current_chooser == nullptr) return;
    current_chooser->hide();
    delete current_chooser;
    current_chooser = nullptr;
}

void open_file_chooser() {
    // One chooser at a time: a second press closes the earlier dialog rather
    // than leaving a dialog open whose choice would be ignored.
    close_file_chooser();
    current_chooser = new Fl_File_Chooser(".", "Sys-ex files (*.syx)", Fl_File_Chooser::SINGLE,
                                          "Select update file for amp");
    current_chooser->preview(0);
    current_chooser->callback(file_chosen);
    current_chooser->show();
}

// ------------------------------------------------------- page operations

Fl_Widget* widget_by_id(int id) {
    if (id < WIDGET_ID_FIRST || id > WIDGET_ID_LAST) return nullptr;
    return widget_slots[id];
}

void set_widget_active(int id, int flag) {
    Fl_Widget* w = widget_by_id(id);
    if (w == nullptr) return;
    if (flag) {
        w->activate();
    } else {
        w->deactivate();
    }
}

int widget_active(int id) {
    Fl_Widget* w = widget_by_id(id);
    return w != nullptr && w->active_r();
}

void set_button_label(int id, const char* text) {
    if (id < WIDGET_BACK || id > WIDGET_SKIP || text == nullptr) return;
    Fl_Widget* w = widget_slots[id];
    if (w != nullptr) w->label(text);
}

void focus_widget(int id) {
    Fl_Widget* w = widget_by_id(id);
    if (w != nullptr) Fl::focus(w);
}

void mark_arrow(int row) {
    if (marked_arrow != nullptr) {
        marked_arrow->hide();
        marked_arrow = nullptr;
    }
    if (row == 1) marked_arrow = upper_arrow;
    if (row == 2) marked_arrow = lower_arrow;
    if (marked_arrow != nullptr) marked_arrow->show();
}

int marked_arrow_row() {
    if (marked_arrow == nullptr) return 0;
    return marked_arrow == upper_arrow ? 1 : 2;
}

void set_page_text(const char* text) {
    if (page_text_area != nullptr) page_text_area->value(text != nullptr ? text : "");
}

const char* page_text() {
    if (page_text_area == nullptr) return nullptr;
    return page_text_area->value();
}
