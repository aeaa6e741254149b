#include "wizard/transfer.h"

#include <chrono>
#include <cstdio>

#include "app/app.h"
#include "app/window.h"
#include "midi/midi_out.h"
#include "update/amp_answer.h"
#include "update/update_file.h"

namespace {

// Where the wizard goes when a part of the update ends, and what its box
// says: the first line, then what to do next.
struct EndMove {
    int part;
    int end;
    int go;                // MOVE_NONE, MOVE_NEXT_PAGE or a page
    const char* error;     // null: nothing to say
    const char* advice;    // the box's second line, or null
    int show_after_error;  // a record shown once the box is closed
};

// One row per part and end the wizard meets; any other leaves the page as it
// is. A part that did its work moves on (the restart to the Send page, the
// update to the Done page); a port that did not come back leads to Welcome,
// without a word; a port that failed to the Port page, whose Next opens it
// again. The wizard never stops a part.
const EndMove END_MOVES[] = {
    {PART_RESTART, END_DONE, MOVE_NEXT_PAGE, nullptr, nullptr, MOVE_NONE},
    {PART_UPDATE, END_DONE, MOVE_NEXT_PAGE, nullptr, nullptr, MOVE_NONE},
    {PART_RESTART, END_NOT_SENT, MOVE_NONE, UPDATE_TEXT_SEND_FAILED,
     "The MIDI output did not take the restart request. Check the cable and that the amp is on, then press "
     "Restart Amp again.",
     PAGE_RESTART},
    {PART_RESTART, END_PORT_FAILED, PAGE_PORT, UPDATE_TEXT_SEND_FAILED,
     "The MIDI output failed before the restart request went out. Check the cable and that the amp is on, "
     "then press Next to open the port again.",
     MOVE_NONE},
    {PART_RESTART, END_NO_PORT, PAGE_WELCOME, nullptr, nullptr, MOVE_NONE},
    {PART_UPDATE, END_NOTHING, MOVE_NONE, UPDATE_TEXT_NOTHING, nullptr, MOVE_NONE},
    {PART_UPDATE, END_PORT_FAILED, PAGE_PORT, UPDATE_TEXT_SEND_FAILED,
     ": press Next to open the port, Skip the restart if the amp already waits, then Send Update.", MOVE_NONE},
    {PART_UPDATE, END_NO_PORT, PAGE_WELCOME, nullptr, nullptr, MOVE_NONE},
};

// The box's text: the first line, then the advice (which may go on from the
// procedure's own sentence on sending again).
const char* box_text(const EndMove& e) {
    static char text[640];
    if (!e.error) return nullptr;
    if (!e.advice) return e.error;
    bool goes_on = e.advice[0] == ':';
    std::snprintf(text, sizeof text, "%s\n%s%s", e.error, goes_on ? UPDATE_TEXT_RESEND : "", e.advice);
    return text;
}

using Clock = std::chrono::steady_clock;
Clock::time_point progress_shown;

// While sending: the engine's account of bytes, messages and time left.
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

// While waiting (the restart, or the amp reprogramming): the seconds left.
void show_wait_progress() {
    int left = 0;
    double fraction = update_proc_wait_progress(&left);
    if (fraction < 0) return;
    char label[64];
    std::snprintf(label, sizeof label, "%d s left", left);
    show_progress(fraction, label);
}

// What the procedure's next step asks for, as the controller carries it out:
// wakes while sending, the countdown of ticks for the waits, a page when the
// part is over.
WizardMove move_for(UpdateNext next) {
    WizardMove m = WIZARD_STAY;
    switch (next.phase) {
        case PHASE_SENDING:
            m.wake_ms = int(next.ms);
            break;
        case PHASE_CLOSING:
            m.countdown_ticks = next.ticks;
            m.countdown = close_port_and_wait;
            show_wait_progress();
            break;
        case PHASE_CLOSED:
            m.countdown_ticks = next.ticks;
            m.countdown = reopen_port_and_continue;
            show_wait_progress();
            break;
        case PHASE_ASKING:
            // The port is open again; the amp's answer comes on the Done
            // page's ticks.
            m.go = MOVE_NEXT_PAGE;
            break;
        case PHASE_OVER:
            for (const EndMove& e : END_MOVES) {
                if (e.part != update_proc_part() || e.end != update_proc_end()) continue;
                m.go = e.go;
                m.error = box_text(e);
                m.show_after_error = e.show_after_error;
            }
            break;
        default:
            break;
    }
    return m;
}

void add_port_name(const char* name) { port_list_add(name); }

const char* open_problem() { return update_port_problem(); }

}  // namespace

const PageActionTable transfer_page_actions = {
    refresh_port_list,
    open_chosen_port,
    open_problem,
    load_update_file,
    start_restart,
    start_transfer,
    send_next_message,
    release_update_file,
    transfer_tick,
};

MidiOutPort* transfer_port() { return update_port(); }
bool transfer_running() { return update_proc_phase() == PHASE_SENDING; }

void refresh_port_list() {
    clear_port_list();
    midi_out_list_devices(add_port_name);
}

bool open_chosen_port() {
    update_proc_open(chosen_port_name(), false);
    return update_proc_end() != END_NO_PORT;
}

int close_port() { return update_port_close(); }

bool send_bytes(const uint8_t* bytes, int length) { return update_send_bytes(bytes, length); }

bool request_restart(int wait_ticks) {
    return update_proc_restart(chosen_port_name(), long(wait_ticks) * UPDATE_TICK_MS).phase != PHASE_OVER;
}

WizardMove start_restart() {
    request_restart(UPDATE_WAITS[WAIT_AFTER_RESTART].reopen_after_ticks);
    WizardMove m = move_for(update_proc_next());
    m.show = PAGE_RESTARTING;
    return m;
}

// The Part's first line, then why, as the Port page's box does; the window
// is kept drawn while a large file is read.
bool load_update_file() {
    update_proc_abandon();
    int code = update_file_load_with(file_name(), UPDATE_FILE_MIN_SIZE, app_keep_alive);
    if (code != LOAD_OK) {
        static char text[640];
        const char* why = update_file_reason();
        std::snprintf(text, sizeof text, why[0] ? "%s\n%s" : "%s", update_load_error_text(code), why);
        show_error(text);
    }
    return code == LOAD_OK;
}

void release_update_file() {
    update_proc_abandon();
    update_file_release();
}

WizardMove start_transfer() {
    UpdateNext next = update_proc_send(chosen_port_name(), update_file_bytes(), update_file_size(), nullptr, -1);
    WizardMove m = move_for(next);
    if (next.phase == PHASE_SENDING) {
        m.show = PAGE_SENDING;
        show_send_progress(true);
    }
    return m;
}

WizardMove send_next_message() {
    if (update_proc_phase() != PHASE_SENDING) return WIZARD_STAY;  // a pass asked for before the end
    UpdateNext next = update_proc_step();
    show_send_progress(next.phase != PHASE_SENDING);
    WizardMove m = move_for(next);
    // Every byte has left the port: the amp, hearing nothing more, takes the
    // update as complete and reprograms itself while the wait runs.
    if (next.phase == PHASE_CLOSING) m.page_text = UPDATE_TEXT_UPDATING;
    return m;
}

WizardMove close_port_and_wait() { return move_for(update_proc_step()); }

WizardMove reopen_port_and_continue() { return move_for(update_proc_step()); }

void transfer_tick(int current_page) {
    update_proc_tick();
    show_wait_progress();
    if (current_page == PAGE_DONE) set_result_line(answer_result_line());
}
