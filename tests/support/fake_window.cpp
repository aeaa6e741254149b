#include "tests/support/fake_window.h"

#include "app/app.h"
#include "app/window.h"
#include "wizard/controller.h"

#include <algorithm>
#include <cstdio>
#include <chrono>
#include <thread>

FakeWindow fake;

void fake_window_reset() {
    fake = FakeWindow{};
    fake.progress = -1;
    fake.wake_after_ms = -1;
}

bool fake_window_run_until(bool (*done)(), double timeout_s) {
    using Clock = std::chrono::steady_clock;
    auto t0 = Clock::now();
    auto next_tick = t0 + std::chrono::milliseconds(100);
    auto wake_at = Clock::time_point::max();
    auto give_up = t0 + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(timeout_s));
    while (!done()) {
        auto now = Clock::now();  // once a pass, as the toolkit's loop reads it
        if (now > give_up) return false;
        if (fake.wake_after_ms >= 0) {
            wake_at = now + std::chrono::milliseconds(fake.wake_after_ms);
            fake.wake_after_ms = -1;
        }
        if (now >= wake_at) {
            wake_at = Clock::time_point::max();
            fake.wake_now = true;
        }
        if (now >= next_tick) {
            next_tick += std::chrono::milliseconds(100);
            wizard_dispatch(EVENT_TICK);
        } else if (fake.wake_now) {
            fake.wake_now = false;
            wizard_dispatch(EVENT_SEND_MORE);
        } else {
            std::this_thread::sleep_until(std::min(next_tick, wake_at));
        }
    }
    return true;
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
void show_error(const char* text) {
    fake.errors.push_back(text ? text : "");
    if (fake.echo_errors) std::fprintf(stderr, "wizard: %s\n", text ? text : "");
}
void request_wake() {
    fake.wakes++;
    fake.wake_now = true;
}
void request_wake_after(int ms) {
    fake.wakes++;
    fake.delayed_wakes++;
    fake.wake_after_ms = ms < 0 ? 0 : ms;
}
void show_progress(double fraction, const char* label) {
    fake.progress = fraction;
    fake.progress_label = label ? label : "";
}
void hide_progress() { fake.progress = -1; }
void set_result_line(const char* text) { fake.result_line = text ? text : ""; }
void hide_main_window() { fake.hides++; }
void app_keep_alive() { fake.keep_alives++; }
void clear_port_list() { fake.port_list.clear(); }
int port_list_add(const char* name) {
    fake.port_list.push_back(name);
    return static_cast<int>(fake.port_list.size());
}
