#include "wizard/transfer.h"

#include <chrono>
#include <cstdio>

#include "ampmsg/message.h"
#include "app/app.h"
#include "app/window.h"
#include "midi/midi_out.h"
#include "wizard/controller.h"
#include "wizard/amp_answer.h"
#include "wizard/update_file.h"

namespace {

const char* const SEND_FAILED_TEXT = "Could not send message to amp";
const char* const NOTHING_TO_SEND_TEXT = "Nothing to send to the amp";
const char* const UPDATING_TEXT = "Please wait while amp updates";

// The restart request: command 12 with the arguments 01 55, no reply.
constexpr int RESTART_COMMAND = 12;
constexpr int RESTART_FIRST = 0x01;
constexpr int RESTART_SECOND = 0x55;

// The transfer: the message that starts at send_offset is the next to go, and
// the port has already taken its first message_taken bytes.
size_t send_offset = 0;
size_t send_remaining = 0;
size_t message_taken = 0;

// Every message has been handed over and the port is still passing the last
// bytes to the device.
bool draining = false;

int restart_wait_ticks = RESTART_WAIT_TICKS;
MidiOutPort* amp_port = nullptr;

// What the progress bar shows. While sending: bytes and messages handed to
// the port of the file's totals, and the time left at the rate so far. While
// waiting (the restart, or the amp reprogramming): the seconds left.
using Clock = std::chrono::steady_clock;
Clock::time_point send_started;
Clock::time_point progress_shown;
size_t messages_total = 0;
size_t messages_sent = 0;
int wait_total_ticks = 0;  // 0 while no wait runs
int wait_elapsed_ticks = 0;

void show_send_progress(bool now) {
    Clock::time_point t = Clock::now();
    if (!now && t - progress_shown < std::chrono::milliseconds(PROGRESS_REDRAW_MS)) return;
    progress_shown = t;
    size_t total = update_file_size();
    size_t sent = send_offset + message_taken;
    double fraction = total ? double(sent) / double(total) : 1.0;
    char label[160];
    int n = std::snprintf(label, sizeof label, "%zu / %zu kB, %zu / %zu messages, %d %%", (sent + 512) / 1024,
                          (total + 512) / 1024, messages_sent, messages_total, int(fraction * 100));
    double elapsed = std::chrono::duration<double>(t - send_started).count();
    if (elapsed >= 1.0 && sent > 0 && n > 0 && size_t(n) < sizeof label) {
        double left = double(total - sent) / (double(sent) / elapsed);
        std::snprintf(label + n, sizeof label - size_t(n), ", %.0f s left", left + 0.5);
    }
    show_progress(fraction, label);
}

// A wait that closes the port after PORT_CLOSE_DELAY_TICKS and opens it again
// `reopen_ticks` later (each countdown runs on the tick after its count).
void begin_wait(int reopen_ticks) {
    wait_total_ticks = PORT_CLOSE_DELAY_TICKS + 1 + reopen_ticks + 1;
    wait_elapsed_ticks = 0;
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
    send_remaining = 0;
    draining = false;
    message_taken = 0;
    wait_total_ticks = 0;
}

// The port failed under us: stop, let go of the port, and leave the user on
// the File page, whose Back leads to the Port page to open it again.
void transfer_failed() {
    stop_transfer();
    close_port();
    go_to_page(PAGE_FILE);
    show_error(SEND_FAILED_TEXT);
}

// One pass of the drain after the last message. The port moves queued bytes
// on to the device only inside its own calls, so it is asked on every pass
// until it holds nothing more; an amp that hears nothing for a while takes
// the update as complete. Only then does the wait before the close begin.
// True while bytes are still held.
bool drain_step() {
    int err = 0;
    int pending = amp_port ? midi_out_pending(amp_port, &err) : 0;
    if (!amp_port || err != 0) {
        // A failed port reports the bytes it holds with an error: they will
        // never leave.
        transfer_failed();
        return false;
    }
    if (pending > 0) {
        // The device is still busy with what it has: come back shortly rather
        // than ask again on every pass of the loop.
        request_wake_after(FULL_PORT_WAIT_MS);
        return false;
    }
    draining = false;
    set_page_text(UPDATING_TEXT);
    restart_wait_ticks = UPDATE_WAIT_TICKS;
    begin_wait(UPDATE_WAIT_TICKS);
    show_wait_progress();
    countdown_arm(PORT_CLOSE_DELAY_TICKS, close_port_and_wait);
    return false;
}

}  // namespace

MidiOutPort* transfer_port() { return amp_port; }
bool transfer_running() { return send_remaining != 0 || draining; }

void refresh_port_list() {
    clear_port_list();
    midi_out_list_devices(add_port_name);
}

bool open_chosen_port() {
    const char* name = chosen_port_name();
    if (!name) return false;
    close_port();
    amp_port = midi_out_open_by_name(name, nullptr);
    if (amp_port == nullptr) return false;
    // Who the amp says it is, each time its port opens: before the update,
    // and after the wait that ends it.
    answer_open_input(name);
    answer_ask(send_bytes);
    return true;
}

int close_port() {
    answer_close_input();
    if (!amp_port) return 0;
    int result = midi_out_close(amp_port, nullptr);
    // A port that would not close still holds a buffer with the driver; it
    // is left to the driver rather than freed under it.
    amp_port = nullptr;
    return result;
}

bool send_bytes(const uint8_t* bytes, int length) {
    if (!amp_port || !bytes || length <= 0) return false;
    // A message is taken whole or not at all. The port answers whether it has
    // strictly more room than a count, so asking for one byte fewer lets a
    // message that fits exactly go; a single byte cannot be split anyway.
    if (length > 1 && !midi_out_can_accept(amp_port, length - 1, nullptr)) return false;
    return midi_out_send(amp_port, bytes, length, nullptr) == length;
}

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
    countdown_arm(PORT_CLOSE_DELAY_TICKS, close_port_and_wait);
    return true;
}

bool start_restart() {
    show_page(wizard_pages[PAGE_RESTARTING], 0, 0);
    if (request_restart(RESTART_WAIT_TICKS)) {
        begin_wait(RESTART_WAIT_TICKS);
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
        send_offset = 0;
        send_remaining = update_file_size();
        message_taken = 0;
        messages_sent = 0;
        messages_total = 0;
        for (size_t at = 0; at < update_file_size(); messages_total++)
            at += sysex_message_length(update_file_bytes() + at, update_file_size() - at);
        wait_total_ticks = 0;
        answer_remember_before();
        show_page(wizard_pages[PAGE_SENDING], 0, 0);
        send_started = Clock::now();
        show_send_progress(true);
        request_wake();
    } else {
        show_error(NOTHING_TO_SEND_TEXT);
    }
    return false;
}

bool send_next_message() {
    if (send_remaining == 0) return draining && drain_step();
    const uint8_t* message = update_file_bytes() + send_offset;
    size_t length = sysex_message_length(message, send_remaining);

    // Offer what the port has not taken yet. A full port takes nothing and
    // we come back on the next pass; a failed one answers -1.
    size_t left = length - message_taken;
    int piece = left > static_cast<size_t>(SEND_PIECE_MAX) ? SEND_PIECE_MAX
                                                           : static_cast<int>(left);
    int taken = amp_port ? midi_out_send(amp_port, message + message_taken, piece, nullptr) : -1;
    if (taken < 0) {
        transfer_failed();
        return false;
    }
    message_taken += static_cast<size_t>(taken);
    if (message_taken < length) {
        // The port is full: wait for the device to take a buffer rather than
        // offer the rest again on every pass.
        if (taken < piece) {
            show_send_progress(false);
            request_wake_after(FULL_PORT_WAIT_MS);
            return false;
        }
        return true;
    }

    send_offset += length;
    send_remaining -= length;
    message_taken = 0;
    messages_sent++;
    show_send_progress(send_remaining == 0);
    if (send_remaining != 0) return true;
    draining = true;
    return drain_step();
}

int close_port_and_wait() {
    if (amp_port) {
        // Closing drops what the port still holds: keep asking, one tick at
        // a time, until everything has left (after the restart request the
        // port is not asked between the send and this wait).
        // A port that has failed reports what it still holds with an error:
        // those bytes will never leave, so waiting longer would not help.
        int err = 0;
        int pending = midi_out_pending(amp_port, &err);
        if (err != 0) {
            transfer_failed();
            return 0;
        }
        if (pending > 0) {
            countdown_arm(0, close_port_and_wait);
            return 0;
        }
    }
    close_port();
    countdown_arm(restart_wait_ticks, reopen_port_and_continue);
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
    wait_total_ticks = 0;
    if (open_chosen_port()) {
        next_page();
    } else {
        go_to_page(PAGE_WELCOME);
    }
    return 0;
}
