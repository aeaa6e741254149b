#include "update/update_procedure.h"

#include <cstring>

#include "ampmsg/message.h"
#include "midi/midi_out.h"
#include "midi/platform.h"
#include "update/amp_answer.h"

namespace {

int phase = PHASE_IDLE;
int part = PART_NONE;
int end = END_NONE;
bool stopping = false;

// The part's wait: its kind, the length of the reopen part in ticks and in
// ms, and the ticks gone by since it began (for the progress).
int wait_kind = WAIT_AFTER_RESTART;
int reopen_ticks = 0;
long reopen_ms = 0;
int waited_ticks = 0;
// The driver's own length of the update's reopen part (negative: the table's).
long update_reopen_ms = -1;

// The name the port opens again as.
char port_name[MIDI_NAME_SIZE];

constexpr UpdateNext NOTHING_DUE = {PHASE_OVER, -1, -1};

// What the latest begin or step said comes next.
UpdateNext last_next = {PHASE_IDLE, -1, -1};

UpdateNext said(UpdateNext n) {
    last_next = n;
    return n;
}

UpdateNext over(int how) {
    phase = PHASE_OVER;
    end = how;
    stopping = false;
    last_next = NOTHING_DUE;
    return NOTHING_DUE;
}

// The stop, once the port is closed: whether the amp got every byte decides
// how it is told.
UpdateNext stopped() {
    update_port_close();
    bool sent_all = part == PART_UPDATE && phase != PHASE_SENDING;
    return over(sent_all ? END_STOPPED_WAITING : END_STOPPED);
}

void remember_name(const char* name) {
    port_name[0] = '\0';
    if (name && std::strlen(name) < sizeof port_name) std::memcpy(port_name, name, std::strlen(name) + 1);
}

// The wait of `kind` begins: the port closes when due.
UpdateNext begin_wait(int kind, long ms) {
    wait_kind = kind;
    reopen_ticks = UPDATE_WAITS[kind].reopen_after_ticks;
    reopen_ms = long(reopen_ticks) * UPDATE_TICK_MS;
    if (ms >= 0) {
        reopen_ms = ms;
        reopen_ticks = int(ms / UPDATE_TICK_MS);
    }
    waited_ticks = 0;
    phase = PHASE_CLOSING;
    int close_ticks = UPDATE_WAITS[kind].close_after_ticks;
    return {PHASE_CLOSING, close_ticks, long(close_ticks) * UPDATE_TICK_MS};
}

UpdateNext begin(int which, const char* name) {
    update_abandon();
    part = which;
    end = END_NONE;
    stopping = false;
    remember_name(name);
    return {phase, -1, -1};
}

// The restart request into update mode: command 12 with the arguments 01 55,
// no reply.
constexpr int RESTART_COMMAND = 12;
constexpr int RESTART_MODE_UPDATE = 0x01;
constexpr int RESTART_SECOND = 0x55;

// Sends a built message whole (when it was built: `build_err` 0) and
// releases it. True when the port took every byte.
bool send_message(AmpMessage* message, int build_err) {
    bool sent = false;
    if (message && build_err == 0) {
        int err = 0;
        const uint8_t* bytes = amp_message_bytes(message, &err);
        int length = err == 0 ? amp_message_length(message, &err) : 0;
        sent = err == 0 && update_send_bytes(bytes, length);
    }
    amp_record_free(message, nullptr);
    return sent;
}

UpdateNext send_step() {
    int wait_ms = 0;
    switch (update_step(&wait_ms)) {
        case STEP_AGAIN:
            return {PHASE_SENDING, -1, 0};
        case STEP_WAIT:
            return {PHASE_SENDING, -1, wait_ms};
        case STEP_FAILED:
            update_port_close();
            return over(END_PORT_FAILED);
        default: {
            // Every byte handed over has left the port.
            UpdateProgress p = update_progress();
            if (stopping && p.messages_sent < p.messages_total) return stopped();
            phase = PHASE_CLOSING;
            if (stopping) return stopped();
            return begin_wait(WAIT_AFTER_UPDATE, update_reopen_ms);
        }
    }
}

// The end of a wait's first part: the port closes once it holds nothing more
// (closing earlier would drop those bytes), and never as if all went well when
// it has failed with bytes it will never send.
UpdateNext close_step() {
    int pending = update_port() ? update_port_pending() : 0;
    if (pending > 0) return {PHASE_CLOSING, 0, UPDATE_TICK_MS};
    update_port_close();
    if (pending < 0) return over(END_PORT_FAILED);
    phase = PHASE_CLOSED;
    return {PHASE_CLOSED, reopen_ticks, reopen_ms};
}

UpdateNext reopen_step() {
    bool ask = UPDATE_WAITS[wait_kind].ask_identity;
    if (!update_port_open(port_name, ask)) return over(END_NO_PORT);
    if (!ask || answer_state() != ANSWER_WAITING) return over(END_DONE);
    phase = PHASE_ASKING;
    return {PHASE_ASKING, 0, UPDATE_TICK_MS};
}

}  // namespace

UpdateNext update_proc_open(const char* name, bool in_update_mode) {
    begin(PART_OPEN, name);
    if (!update_port_open(name, !in_update_mode)) return said(over(END_NO_PORT));
    if (in_update_mode) return said(over(END_DONE));
    if (answer_state() != ANSWER_WAITING) return said(over(END_DONE));
    phase = PHASE_ASKING;
    return said({PHASE_ASKING, 0, UPDATE_TICK_MS});
}

UpdateNext update_proc_restart(const char* name, long ms) {
    begin(PART_RESTART, name);
    int err = 0;
    AmpMessage* request = amp_message_build(RESTART_COMMAND, RESTART_MODE_UPDATE, RESTART_SECOND, -1, 0, 0, &err);
    if (!send_message(request, err)) return said(over(END_NOT_SENT));
    return said(begin_wait(WAIT_AFTER_RESTART, ms));
}

UpdateNext update_proc_send(const char* name, const uint8_t* bytes, size_t size, const UpdatePacing* pacing,
                            long ms) {
    begin(PART_UPDATE, name);
    if (!bytes || size == 0) return said(over(END_NOTHING));
    // The answer that came before the transfer (or the one still awaited)
    // tells the version the update is measured against.
    answer_remember_before();
    update_reopen_ms = ms;
    update_begin(bytes, size, pacing);
    phase = PHASE_SENDING;
    return said({PHASE_SENDING, -1, 0});
}

UpdateNext update_proc_step() {
    switch (phase) {
        case PHASE_SENDING: return said(send_step());
        case PHASE_CLOSING: return said(close_step());
        case PHASE_CLOSED: return said(reopen_step());
        case PHASE_ASKING:
            if (answer_state() != ANSWER_WAITING) return said(over(END_DONE));
            return said({PHASE_ASKING, 0, UPDATE_TICK_MS});
        default: return said({phase, -1, -1});
    }
}

UpdateNext update_proc_next() { return last_next; }

void update_proc_tick() {
    answer_tick();
    if (phase == PHASE_CLOSING || phase == PHASE_CLOSED) waited_ticks++;
    if (phase == PHASE_ASKING && answer_state() != ANSWER_WAITING) over(END_DONE);
}

void update_proc_stop() {
    if (phase == PHASE_SENDING) {
        // The message the port has partly taken is finished first.
        update_stop_at_boundary();
        stopping = true;
    } else if (phase == PHASE_CLOSING || phase == PHASE_CLOSED || phase == PHASE_ASKING) {
        stopped();
    }
}

void update_proc_abandon() {
    update_abandon();
    last_next = {PHASE_IDLE, -1, -1};
    phase = PHASE_IDLE;
    part = PART_NONE;
    end = END_NONE;
    stopping = false;
}

int update_proc_phase() { return phase; }
int update_proc_part() { return part; }
int update_proc_end() { return end; }

double update_proc_wait_progress(int* seconds_left) {
    if (phase != PHASE_CLOSING && phase != PHASE_CLOSED) {
        if (seconds_left) *seconds_left = 0;
        return -1;
    }
    // Each countdown runs on the tick after its count.
    int total = UPDATE_WAITS[wait_kind].close_after_ticks + 1 + reopen_ticks + 1;
    int left = total - waited_ticks;
    if (left < 0) left = 0;
    if (seconds_left) *seconds_left = (left * UPDATE_TICK_MS + 999) / 1000;
    return total > 0 ? double(total - left) / double(total) : 1.0;
}
