#include "update/update_engine.h"

#include <chrono>
#include <cstdio>

#include "midi/midi_in.h"
#include "midi/midi_out.h"
#include "midi/platform.h"
#include "update/amp_answer.h"
#include "update/safe_text.h"
#include "update/update_file.h"

#include <cstring>
#include <vector>

namespace {

int64_t steady_us() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

UpdateClockFn clock_fn = steady_us;
int64_t now_us() { return clock_fn(); }

MidiOutPort* amp_port = nullptr;
char port_problem[512];  // why the latest open failed; "" when it did not

// The transfer: the message that starts at offset is the next to go, and the
// port has already taken its first taken bytes.
const uint8_t* data = nullptr;
size_t data_size = 0;
size_t offset = 0;
size_t remaining = 0;
size_t taken = 0;
bool draining = false;  // every message handed over; the port still passes them on
bool stopping = false;  // stop at the next message boundary
size_t messages_total = 0;
size_t messages_sent = 0;
UpdatePacing pacing = {0, 0};
int64_t started_us;
int64_t message_began_us;  // when the current message's first byte was offered
int64_t next_allowed_us;   // pacing: no new message before this

// Whole milliseconds until `t`, rounded up: a wait is never shorter than the
// pacing asked for.
int ms_until(int64_t t) {
    int64_t d = t - now_us();
    if (d <= 0) return 0;
    int64_t ms = (d + 999) / 1000;
    return ms > 60000 ? 60000 : int(ms);
}

// After a whole message of `length` bytes: when pacing asks for it, the time
// before the next. The gap runs from now. The rate spaces each message's
// start from the one before by its length at that rate, counted from when
// that message really began: after a stall the next message waits its turn
// as any other, and never goes early to make up the lost time.
void pace_after_message(size_t length) {
    if (pacing.gap_ms <= 0 && pacing.bytes_per_s <= 0) return;
    int64_t t = now_us();
    next_allowed_us = t;
    if (pacing.gap_ms > 0) next_allowed_us = t + int64_t(pacing.gap_ms) * 1000;
    if (pacing.bytes_per_s > 0) {
        int64_t due = message_began_us + int64_t(double(length) * 1e6 / double(pacing.bytes_per_s) + 0.5);
        if (due > next_allowed_us) next_allowed_us = due;
    }
}

// How long a step waits for a full port, or one still sending the last
// bytes, before it asks again: until the port expects its driver to be ready
// (the buffer with it finished, or what it holds sent), in whole
// milliseconds rounded up, so the step never comes back early just to wait
// again, yet never lets the device run dry for long.
int port_wait_ms() {
    int us = amp_port ? midi_out_wait_hint(amp_port, nullptr) : 0;
    int ms = (us + 999) / 1000;
    return ms < 1 ? 1 : ms;
}

int drain_step(int* wait_ms) {
    int pending = update_port_pending();
    if (pending < 0) {
        update_abandon();
        return STEP_FAILED;
    }
    if (pending > 0) {
        *wait_ms = port_wait_ms();
        return STEP_WAIT;
    }
    draining = false;
    return STEP_DONE;
}

}  // namespace

bool update_port_open(const char* name, bool ask) {
    port_problem[0] = '\0';
    if (!name) {
        update_open_problem(nullptr, true, MIDI_OUT_NOT_FOUND, port_problem, sizeof port_problem);
        return false;
    }
    update_port_close();
    int err = 0;
    amp_port = midi_out_open_by_name(name, &err);
    if (amp_port == nullptr) {
        update_open_problem(name, true, err, port_problem, sizeof port_problem);
        return false;
    }
    if (ask) {
        answer_open_input(name);
        answer_ask(update_send_bytes);
    }
    return true;
}

const char* update_port_problem() { return port_problem; }

namespace {

// The system's sentence names programs and devices: shown, never obeyed.
void make_safe(char* text, size_t n) {
    std::vector<char> raw(text, text + std::strlen(text) + 1);
    safe_text(raw.data(), text, n);
}

void find_open_problem(const char* name, bool output, int err, char* text, size_t n);

}  // namespace

void update_open_problem(const char* name, bool output, int err, char* text, size_t n) {
    if (!text || n == 0) return;
    find_open_problem(name, output, err, text, n);
    make_safe(text, n);
}

namespace {

void find_open_problem(const char* name, bool output, int err, char* text, size_t n) {
    text[0] = '\0';
    // Only the system's own devices have a system to ask about.
    if (midi_platform() != midi_system_platform()) return;
    // Both ports' codes agree: 3 a device error, 4 not found.
    if (name && err == MIDI_OUT_DEVICE_ERROR && midi_system_holder(name, output, text, n)) return;
    // No device at all on that side: the system may say why.
    int devices = output ? midi_out_device_count() : midi_in_device_count();
    int problem = devices == 0 ? midi_system_problem() : MIDI_SYSTEM_FINE;
    if (problem != MIDI_SYSTEM_FINE) std::snprintf(text, n, "%s", midi_system_problem_text(problem));
}

}  // namespace

int update_port_close() {
    answer_close_input();
    if (!amp_port) return 0;
    int result = midi_out_close(amp_port, nullptr);
    amp_port = nullptr;
    return result;
}

void update_port_adopt(MidiOutPort* port) {
    update_port_close();
    amp_port = port;
}

MidiOutPort* update_port() { return amp_port; }

bool update_send_bytes(const uint8_t* bytes, int length) {
    if (!amp_port || !bytes || length <= 0) return false;
    // A message is taken whole or not at all. The port answers whether it has
    // strictly more room than a count, so asking for one byte fewer lets a
    // message that fits exactly go; a single byte cannot be split anyway.
    if (length > 1 && !midi_out_can_accept(amp_port, length - 1, nullptr)) return false;
    return midi_out_send(amp_port, bytes, length, nullptr) == length;
}

int update_port_pending() {
    if (!amp_port) return -1;
    int err = 0;
    int pending = midi_out_pending(amp_port, &err);
    return err != 0 ? -1 : pending;
}

void update_begin(const uint8_t* bytes, size_t size, const UpdatePacing* p) {
    data = bytes;
    data_size = bytes ? size : 0;
    offset = 0;
    remaining = data_size;
    taken = 0;
    draining = false;
    stopping = false;
    messages_sent = 0;
    messages_total = sysex_message_count(data, data_size);
    pacing = p ? *p : UpdatePacing{0, 0};
    started_us = next_allowed_us = message_began_us = now_us();
}

int update_step(int* wait_ms) {
    int unused = 0;
    if (!wait_ms) wait_ms = &unused;
    *wait_ms = 0;
    if (draining) return drain_step(wait_ms);
    if (remaining == 0) return STEP_IDLE;
    if (taken == 0) {
        if (stopping) {
            remaining = 0;
            draining = true;
            return drain_step(wait_ms);
        }
        if (pacing.gap_ms > 0 || pacing.bytes_per_s > 0) {
            int wait = ms_until(next_allowed_us);
            if (wait > 0) {
                *wait_ms = wait;
                return STEP_WAIT;
            }
            message_began_us = now_us();
        }
    }
    const uint8_t* message = data + offset;
    size_t length = sysex_message_length(message, remaining);

    // Offer what the port has not taken yet. A full port takes nothing and
    // is asked again shortly; a failed one answers -1.
    size_t left = length - taken;
    int piece = left > size_t(SEND_PIECE_MAX) ? SEND_PIECE_MAX : int(left);
    int n = amp_port ? midi_out_send(amp_port, message + taken, piece, nullptr) : -1;
    if (n < 0) {
        update_abandon();
        return STEP_FAILED;
    }
    taken += size_t(n);
    if (taken < length) {
        if (n < piece) {
            // The port is full: wait for the device to take a buffer rather
            // than offer the rest again at once.
            *wait_ms = port_wait_ms();
            return STEP_WAIT;
        }
        return STEP_AGAIN;
    }
    offset += length;
    remaining -= length;
    taken = 0;
    messages_sent++;
    pace_after_message(length);
    if (remaining != 0) return STEP_AGAIN;
    draining = true;
    return drain_step(wait_ms);
}

bool update_stop_at_boundary() {
    stopping = true;
    return taken == 0;
}

void update_abandon() {
    remaining = 0;
    taken = 0;
    draining = false;
    stopping = false;
}

bool update_running() { return remaining != 0 || draining; }

void update_set_clock(UpdateClockFn fn) { clock_fn = fn ? fn : steady_us; }

UpdateProgress update_progress() {
    UpdateProgress p;
    // Sent is what has left the port: a driver that keeps bytes ahead of a
    // slow device still holds some of what it was handed.
    p.bytes_sent = offset + taken;
    int pending = update_running() && amp_port ? update_port_pending() : 0;
    if (pending > 0 && size_t(pending) <= p.bytes_sent) p.bytes_sent -= size_t(pending);
    p.bytes_total = data_size;
    p.messages_sent = messages_sent;
    p.messages_total = messages_total;
    p.seconds = double(now_us() - started_us) / 1e6;
    p.seconds_left = -1;
    if (p.seconds >= 1.0 && p.bytes_sent > 0)
        p.seconds_left = double(p.bytes_total - p.bytes_sent) / (double(p.bytes_sent) / p.seconds);
    return p;
}

double update_progress_text(char* text, size_t size) {
    UpdateProgress p = update_progress();
    double fraction = p.bytes_total ? double(p.bytes_sent) / double(p.bytes_total) : 1.0;
    if (!text || size == 0) return fraction;
    int n = std::snprintf(text, size, "%zu / %zu kB, %zu / %zu messages, %d %%", (p.bytes_sent + 512) / 1024,
                          (p.bytes_total + 512) / 1024, p.messages_sent, p.messages_total, int(fraction * 100));
    if (p.seconds_left >= 0 && n > 0 && size_t(n) < size)
        std::snprintf(text + n, size - size_t(n), ", %.0f s left", p.seconds_left + 0.5);
    return fraction;
}
