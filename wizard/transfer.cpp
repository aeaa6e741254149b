#include "wizard/transfer.h"

#include <chrono>
#include <cstdio>

#include "ampmsg/message.h"
#include "app/app.h"
#include "app/window.h"
#include "midi/midi_out.h"
#include "wizard/controller.h"
#include "update/amp_answer.h"
#include "update/update_file.h"

namespace {

const char* const SEND_FAILED_TEXT = "Could not send message to amp";
const char* const NOTHING_TO_SEND_TEXT = "Nothing to send to the amp";
const char* const UPDATING_TEXT = "Please wait while amp updates";

// The restart request: command 12 with the arguments 01 55, no reply.
constexpr int RESTART_COMMAND = 12;
constexpr int RESTART_FIRST = 0x01;
constexpr int RESTART_SECOND = 0x55;

int restart_wait_ticks = RESTART_WAIT_TICKS;

// The wait now running (an UpdateWaitKind), -1 for none: its entry in the
// engine's table says when the port closes and whether the amp is asked who
// it is when the port opens again.
int wait_kind = -1;

// What the progress bar shows: while sending, the engine's account of bytes,
// messages and time left; while waiting (the restart, or the amp
// reprogramming), the seconds left.
using Clock = std::chrono::steady_clock;
Clock::time_point progress_shown;
int wait_total_ticks = 0;  // 0 while no wait runs
int wait_elapsed_ticks = 0;

void show_send_progress(bool now) {
    // The clock is read only every few steps: a step per message is the
    // transfer's whole cost, and a clock read is a good part of a step's.
    static unsigned steps;
    if (!now && ++steps % 16 != 0) return;
    Clock::time_point t = Clock::now();
    if (!now && t - progress_shown < std::chrono::milliseconds(PROGRESS_REDRAW_MS)) return;
    progress_shown = t;
    char label[160];
    double fraction = update_progress_text(label, sizeof label);
    show_progress(fraction, label);
}

// Starts wait `kind` of the engine's table: the port closes after its
// close_after_ticks and opens again restart_wait_ticks later (each countdown
// runs on the tick after its count).
void begin_wait(int kind) {
    wait_kind = kind;
    wait_total_ticks = UPDATE_WAITS[kind].close_after_ticks + 1 + restart_wait_ticks + 1;
    wait_elapsed_ticks = 0;
    countdown_arm(UPDATE_WAITS[kind].close_after_ticks, close_port_and_wait);
}

void show_wait_progress() {
    int left = wait_total_ticks - wait_elapsed_ticks;
    if (left < 0) left = 0;
    char label[64];
    std::snprintf(label, sizeof label, "%d s left", (left + 9) / 10);
    show_progress(double(wait_elapsed_ticks) / double(wait_total_ticks), label);
}

void add_port_name(const char* name) { port_list_add(name); }

void stop_transfer() {
    update_abandon();
    wait_total_ticks = 0;
    wait_kind = -1;
}

// The port failed under us: stop, let go of the port, and leave the user on
// the File page, whose Back leads to the Port page to open it again.
void transfer_failed() {
    stop_transfer();
    close_port();
    go_to_page(PAGE_FILE);
    show_error(SEND_FAILED_TEXT);
}

// Every byte has left the port: the amp, hearing nothing more, takes the
// update as complete and reprograms itself while the wait runs.
void begin_update_wait() {
    set_page_text(UPDATING_TEXT);
    restart_wait_ticks = UPDATE_WAITS[WAIT_AFTER_UPDATE].reopen_after_ticks;
    begin_wait(WAIT_AFTER_UPDATE);
    show_wait_progress();
}

}  // namespace

MidiOutPort* transfer_port() { return update_port(); }
bool transfer_running() { return update_running(); }

void refresh_port_list() {
    clear_port_list();
    midi_out_list_devices(add_port_name);
}

// The amp is asked who it is whenever its port opens, except after the
// restart into update mode.
bool open_chosen_port() {
    return update_port_open(chosen_port_name(), wait_kind < 0 || UPDATE_WAITS[wait_kind].ask_identity);
}

const char* open_port_error_text(const char* first_line) {
    static char text[640];
    const char* why = update_port_problem();
    std::snprintf(text, sizeof text, why[0] ? "%s\n%s" : "%s", first_line, why);
    return text;
}

int close_port() { return update_port_close(); }

bool send_bytes(const uint8_t* bytes, int length) { return update_send_bytes(bytes, length); }

bool send_message(void* message, const int* build_err) {
    bool sent = false;
    if (message) {
        if (!build_err || *build_err == 0) {
            int err = 0;
            const uint8_t* bytes = amp_message_bytes(message, &err);
            int length = 0;
            if (err == 0) length = amp_message_length(message, &err);
            if (err == 0) sent = send_bytes(bytes, length);
        }
        amp_record_free(message, nullptr);
    }
    if (!sent) show_error(SEND_FAILED_TEXT);
    return sent;
}

bool request_restart(int wait_ticks) {
    restart_wait_ticks = wait_ticks;
    int err = 0;
    AmpMessage* request =
        amp_message_build(RESTART_COMMAND, RESTART_FIRST, RESTART_SECOND, -1, 0, 0, &err);
    if (!send_message(request, &err)) return false;
    begin_wait(WAIT_AFTER_RESTART);
    return true;
}

bool start_restart() {
    show_page(wizard_pages[PAGE_RESTARTING], 0, 0);
    if (request_restart(UPDATE_WAITS[WAIT_AFTER_RESTART].reopen_after_ticks)) {
        show_wait_progress();
    } else {
        show_page(wizard_pages[PAGE_RESTART], 0, 0);
    }
    return false;
}

bool load_update_file() {
    stop_transfer();
    int code = update_file_load(file_name());
    if (code != LOAD_OK) show_error(update_load_error_text(code));
    return code == LOAD_OK;
}

void release_update_file() {
    stop_transfer();
    update_file_release();
}

bool start_transfer() {
    if (update_file_size() != 0 && update_file_bytes()) {
        update_begin(update_file_bytes(), update_file_size(), nullptr);
        wait_total_ticks = 0;
        answer_remember_before();
        show_page(wizard_pages[PAGE_SENDING], 0, 0);
        show_send_progress(true);
        request_wake();
    } else {
        show_error(NOTHING_TO_SEND_TEXT);
    }
    return false;
}

bool send_next_message() {
    int wait_ms = 0;
    switch (update_step(&wait_ms)) {
        case STEP_AGAIN:
            show_send_progress(false);
            return true;
        case STEP_WAIT:
            // A full port, or one still passing the last bytes on: come back
            // shortly rather than ask again on every pass of the loop.
            show_send_progress(false);
            request_wake_after(wait_ms);
            return false;
        case STEP_DONE:
            show_send_progress(true);
            begin_update_wait();
            return false;
        case STEP_FAILED:
            transfer_failed();
            return false;
        default:
            return false;
    }
}

int close_port_and_wait() {
    // Closing drops what the port still holds: the engine closes it only once
    // everything has left, and is asked again a tick later until then. A port
    // that has failed will never let those bytes go.
    int reopen_ticks = update_wait_close(wait_kind);
    if (reopen_ticks == 0) {
        countdown_arm(0, close_port_and_wait);
    } else if (reopen_ticks < 0) {
        transfer_failed();
    } else {
        countdown_arm(restart_wait_ticks, reopen_port_and_continue);
    }
    return 0;
}

void transfer_tick() {
    answer_tick();
    if (wait_total_ticks > 0) {
        wait_elapsed_ticks++;
        show_wait_progress();
    }
    if (wizard_current_page() == PAGE_DONE) set_result_line(answer_result_line());
}

int reopen_port_and_continue() {
    bool open = open_chosen_port();
    wait_total_ticks = 0;
    wait_kind = -1;
    if (open) {
        next_page();
    } else {
        go_to_page(PAGE_WELCOME);
    }
    return 0;
}
