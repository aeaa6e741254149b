// A window layer with no window, for driving the wizard's controller and
// transfer outside a display: it remembers what the benchmark needs and lets
// everything else go.
#include "app/app.h"
#include "app/window.h"

#include <cstdio>
#include <string>

extern std::string bench_file;
extern std::string bench_port;
extern bool bench_wake;
extern int bench_wake_after_ms;  // a delayed wake the loop is to make; -1 for none
extern int bench_errors;

static int active[WIDGET_ID_LAST + 1];

void mark_arrow(int) {}
void set_button_label(int, const char*) {}
void set_widget_active(int id, int flag) {
    if (id >= WIDGET_ID_FIRST && id <= WIDGET_ID_LAST) active[id] = flag != 0;
}
int widget_active(int id) { return id >= WIDGET_ID_FIRST && id <= WIDGET_ID_LAST && active[id]; }
void focus_widget(int) {}
void set_page_text(const char*) {}
const char* file_name() { return bench_file.empty() ? nullptr : bench_file.c_str(); }
const char* chosen_port_name() { return bench_port.empty() ? nullptr : bench_port.c_str(); }
void open_file_chooser() {}
void show_error(const char* text) {
    std::fprintf(stderr, "wizard: %s\n", text);
    bench_errors++;
}
void request_wake() { bench_wake = true; }
void request_wake_after(int ms) { bench_wake_after_ms = ms < 0 ? 0 : ms; }
void show_progress(double, const char*) {}
void hide_progress() {}
void set_result_line(const char*) {}
void hide_main_window() {}
void clear_port_list() {}
int port_list_add(const char*) { return 0; }
