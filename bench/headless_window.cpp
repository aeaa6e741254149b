// A window layer with no window, for driving the wizard's controller and
// transfer outside a display: it remembers what the benchmark needs and lets
// everything else go.
#include "app/app.h"
#include "app/window.h"

#include "bench/headless.h"
#include "wizard/controller.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

std::string bench_file;
std::string bench_port;
bool bench_wake = false;
int bench_wake_after_ms = -1;
int bench_errors = 0;
std::string bench_last_error;

bool headless_run_until(bool (*done)(), double timeout_s) {
    using Clock = std::chrono::steady_clock;
    auto t0 = Clock::now();
    auto next_tick = t0 + std::chrono::milliseconds(100);
    auto wake_at = Clock::time_point::max();
    auto give_up = t0 + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(timeout_s));
    while (!done()) {
        auto now = Clock::now();  // once a pass, as the toolkit's loop reads it
        if (now > give_up) return false;
        if (bench_wake_after_ms >= 0) {
            wake_at = now + std::chrono::milliseconds(bench_wake_after_ms);
            bench_wake_after_ms = -1;
        }
        if (now >= wake_at) {
            wake_at = Clock::time_point::max();
            bench_wake = true;
        }
        if (now >= next_tick) {
            next_tick += std::chrono::milliseconds(100);
            wizard_dispatch(EVENT_TICK);
        } else if (bench_wake) {
            bench_wake = false;
            wizard_dispatch(EVENT_SEND_MORE);
        } else {
            std::this_thread::sleep_until(std::min(next_tick, wake_at));
        }
    }
    return true;
}

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
    bench_last_error = text ? text : "";
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
