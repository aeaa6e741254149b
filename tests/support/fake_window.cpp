#include "tests/support/fake_window.h"

#include "app/app.h"
#include "app/window.h"

FakeWindow fake;

void fake_window_reset() {
    fake = FakeWindow{};
    fake.progress = -1;
}

static bool valid(int id) { return id >= WIDGET_ID_FIRST && id <= WIDGET_ID_LAST; }

void mark_arrow(int row) { fake.arrow_row = (row == 1 || row == 2) ? row : 0; }
void set_button_label(int id, const char* text) {
    if (id >= WIDGET_BACK && id <= WIDGET_SKIP && text != nullptr) fake.label[id] = text;
}
void set_widget_active(int id, int flag) {
    if (valid(id)) fake.active[id] = flag != 0;
}
int widget_active(int id) { return valid(id) && fake.active[id]; }
void focus_widget(int id) {
    if (valid(id) && id != WIDGET_PORT_CHOICE) fake.focus = id;
}
void set_page_text(const char* text) { fake.text = text; }
const char* file_name() { return fake.file.empty() ? nullptr : fake.file.c_str(); }
const char* chosen_port_name() { return fake.port.empty() ? nullptr : fake.port.c_str(); }
void open_file_chooser() { fake.choosers++; }
void show_error(const char* text) { fake.errors.push_back(text); }
void request_wake() { fake.wakes++; }
void request_wake_after(int) {
    fake.wakes++;
    fake.delayed_wakes++;
}
void show_progress(double fraction, const char* label) {
    fake.progress = fraction;
    fake.progress_label = label ? label : "";
}
void hide_progress() { fake.progress = -1; }
void set_result_line(const char* text) { fake.result_line = text ? text : ""; }
void hide_main_window() { fake.hides++; }
void clear_port_list() { fake.port_list.clear(); }
int port_list_add(const char* name) {
    fake.port_list.push_back(name);
    return static_cast<int>(fake.port_list.size());
}
