#include "update/update_console.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <thread>

#if defined(_WIN32)
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

namespace {

using Clock = std::chrono::steady_clock;

long elapsed_ms(Clock::time_point since) {
    return long(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

bool stop_raised(const UpdateConsole* c) { return c->stop && *c->stop; }

// Progress on standard error: one line that rewrites itself on a terminal,
// a plain line every PLAIN_PROGRESS_MS otherwise (a log, a pipe).
constexpr long TTY_PROGRESS_MS = 200;
constexpr long PLAIN_PROGRESS_MS = 2000;

struct Progress {
    bool tty;
    Clock::time_point shown;
    bool line_open;  // a rewritten line is on the terminal without its newline
};

void progress_show(Progress* p, bool force) {
    long every = p->tty ? TTY_PROGRESS_MS : PLAIN_PROGRESS_MS;
    if (!force && elapsed_ms(p->shown) < every) return;
    p->shown = Clock::now();
    char text[160];
    update_progress_text(text, sizeof text);
    if (p->tty) {
        std::fprintf(stderr, "\r%s   ", text);
        p->line_open = true;
    } else {
        std::fprintf(stderr, "%s\n", text);
    }
    std::fflush(stderr);
}

void progress_end(Progress* p) {
    if (p->line_open) std::fputc('\n', stderr);
    p->line_open = false;
}

// mingw checks formats against the C99 printf that its C++ runtime uses.
#if defined(__MINGW32__)
__attribute__((format(gnu_printf, 2, 3)))
#elif defined(__GNUC__)
__attribute__((format(printf, 2, 3)))
#endif
void say(const UpdateConsole* c, const char* format, ...) {
    if (!c->steps) return;
    va_list args;
    va_start(args, format);
    std::vfprintf(c->steps, format, args);
    va_end(args);
    std::fflush(c->steps);
}

long seconds_of(long ms) { return (ms + 500) / 1000; }

// The line for each way a part ends that needs one: the procedure's own
// words, then what they mean here ("%zu of %zu" are the messages sent and in
// the file), then, where the amp may be left waiting in update mode, how to
// send the update again.
enum Resend {
    NO_ADVICE = 0,
    ADVICE = 1,    // the sentence on sending again, then the program's way
    HOW_ONLY = 2,  // the detail says it; the program's way follows
};

struct EndLine {
    int part;
    int end;
    int exit_status;
    const char* words;
    const char* detail;
    int resend;  // Resend
};

// One row per part and end that has something to say; what is not here has
// nothing to add and exits 0 (a finished update is told by its verdict).
const EndLine END_LINES[] = {
    {PART_OPEN, END_NO_PORT, EXIT_DEVICE, UPDATE_TEXT_OPEN_FAILED, "", NO_ADVICE},
    {PART_OPEN, END_STOPPED, EXIT_STOPPED, "", "Stopped before anything was sent to the amp.", NO_ADVICE},
    {PART_RESTART, END_NOT_SENT, EXIT_DEVICE, UPDATE_TEXT_SEND_FAILED,
     ": the MIDI output did not take the restart request. Check the cable and that the amp is on.", NO_ADVICE},
    {PART_RESTART, END_PORT_FAILED, EXIT_DEVICE, UPDATE_TEXT_SEND_FAILED,
     ": the MIDI output failed before the restart request went out. Check the cable and that the amp is on.",
     NO_ADVICE},
    {PART_RESTART, END_NO_PORT, EXIT_DEVICE, UPDATE_TEXT_OPEN_FAILED,
     ": the amp's MIDI device did not come back after the restart. Check the cable; if the amp now waits "
     "in update mode, send the update without restarting it",
     HOW_ONLY},
    {PART_RESTART, END_STOPPED, EXIT_STOPPED, "", "Stopped before anything of the update was sent.", NO_ADVICE},
    {PART_UPDATE, END_NOTHING, EXIT_FILE, UPDATE_TEXT_NOTHING, "", NO_ADVICE},
    {PART_UPDATE, END_PORT_FAILED, EXIT_DEVICE, UPDATE_TEXT_SEND_FAILED,
     " (after %zu of %zu messages): the MIDI output failed. ", ADVICE},
    {PART_UPDATE, END_NO_PORT, EXIT_DEVICE, UPDATE_TEXT_OPEN_FAILED,
     ": the amp's MIDI device did not come back after the update. Wait until the amp has started, then "
     "check the version it shows.",
     NO_ADVICE},
    {PART_UPDATE, END_STOPPED, EXIT_STOPPED, "",
     "Stopped at a message boundary after %zu of %zu messages: the amp has not got the whole update. ", ADVICE},
    {PART_UPDATE, END_STOPPED_WAITING, EXIT_STOPPED, "",
     "Stopped while the amp updates: every byte was sent; the amp may still be reprogramming.", NO_ADVICE},
};

}  // namespace

UpdateConsole update_console_defaults() {
    UpdateConsole c;
    c.stop = nullptr;
    c.restart_wait_ms = long(UPDATE_WAITS[WAIT_AFTER_RESTART].reopen_after_ticks) * UPDATE_TICK_MS;
    c.update_wait_ms = long(UPDATE_WAITS[WAIT_AFTER_UPDATE].reopen_after_ticks) * UPDATE_TICK_MS;
    c.pacing = {0, 0};
    c.progress = true;
    c.steps = stdout;
    c.resend_how = "";
    return c;
}

bool update_console_nap(const UpdateConsole* c, long ms) {
    auto start = Clock::now();
    while (!stop_raised(c) && elapsed_ms(start) < ms) {
        long left = ms - elapsed_ms(start);
        std::this_thread::sleep_for(std::chrono::milliseconds(left < 20 ? left : 20));
    }
    return !stop_raised(c);
}

// The loop of the wizard's event bridge, with sleeps: a tick every
// UPDATE_TICK_MS, a step whenever the last one said it is due.
int update_console_run(const UpdateConsole* c, UpdateNext next, int until) {
    Progress prog = {isatty(fileno(stderr)) != 0, Clock::now() - std::chrono::hours(1), false};
    bool show = c->progress && next.phase == PHASE_SENDING;
    bool stop_sent = false;
    auto now = Clock::now();
    auto next_tick = now + std::chrono::milliseconds(UPDATE_TICK_MS);
    auto due = now + std::chrono::milliseconds(next.ms < 0 ? 0 : next.ms);
    for (;;) {
        int phase = update_proc_phase();
        if (show && phase != PHASE_SENDING) {
            progress_show(&prog, true);
            progress_end(&prog);
            show = false;
        }
        if (phase == PHASE_OVER || phase == PHASE_IDLE || phase >= until) return phase;
        if (stop_raised(c) && !stop_sent) {
            stop_sent = true;
            update_proc_stop();
            due = Clock::now();
            continue;
        }
        now = Clock::now();
        if (now >= next_tick) {
            update_proc_tick();
            next_tick += std::chrono::milliseconds(UPDATE_TICK_MS);
            continue;
        }
        if (now >= due) {
            next = update_proc_step();
            if (show) progress_show(&prog, false);
            if (next.ms < 0) continue;
            due = Clock::now() + std::chrono::milliseconds(next.ms);
            continue;
        }
        // Short slices, so the stop flag is seen soon.
        auto wake = due < next_tick ? due : next_tick;
        auto slice = now + std::chrono::milliseconds(20);
        std::this_thread::sleep_until(wake < slice ? wake : slice);
    }
}

int update_console_open(const UpdateConsole* c, const char* name, bool in_update_mode) {
    update_console_run(c, update_proc_open(name, in_update_mode), PHASE_OVER);
    return update_proc_end();
}

int update_console_restart(const UpdateConsole* c, const char* name) {
    UpdateNext first = update_proc_restart(name, c->restart_wait_ms);
    if (first.phase != PHASE_OVER)
        say(c, "Restart request sent. %s It takes about %ld s.\n", UPDATE_TEXT_RESTARTING,
            seconds_of(PORT_CLOSE_DELAY_TICKS * UPDATE_TICK_MS + c->restart_wait_ms));
    update_console_run(c, first, PHASE_OVER);
    return update_proc_end();
}

int update_console_send(const UpdateConsole* c, const char* name, const uint8_t* bytes, size_t size) {
    UpdateNext first = update_proc_send(name, bytes, size, &c->pacing, c->update_wait_ms);
    if (first.phase == PHASE_SENDING) say(c, "%s\n", UPDATE_TEXT_SENDING);
    int phase = update_console_run(c, first, PHASE_CLOSING);
    if (phase != PHASE_CLOSING) return update_proc_end();
    UpdateProgress p = update_progress();
    say(c, "Sent %zu message%s, %zu bytes in %.1f s. %s (about %ld s).\n", p.messages_sent,
        p.messages_sent == 1 ? "" : "s", p.bytes_sent, p.seconds, UPDATE_TEXT_UPDATING,
        seconds_of(PORT_CLOSE_DELAY_TICKS * UPDATE_TICK_MS + c->update_wait_ms));
    return END_NONE;
}

int update_console_finish(const UpdateConsole* c) {
    update_console_run(c, update_proc_next(), PHASE_OVER);
    return update_proc_end();
}

int update_console_end_text(const UpdateConsole* c, int part, int end, char* text, size_t size) {
    if (!text || size == 0) return EXIT_OK;
    text[0] = '\0';
    if (part == PART_UPDATE && end == END_DONE) {
        UpdateVerdict v = answer_verdict();
        update_verdict_line(v, text, size);
        return UPDATE_VERDICT_EXIT[v.kind];
    }
    for (const EndLine& row : END_LINES) {
        if (row.part != part || row.end != end) continue;
        UpdateProgress p = update_progress();
        size_t n = size_t(std::snprintf(text, size, "%s", row.words));
        if (n < size) n += size_t(std::snprintf(text + n, size - n, row.detail, p.messages_sent, p.messages_total));
        if (row.resend != NO_ADVICE && n < size) {
            const char* how = c && c->resend_how && c->resend_how[0] ? c->resend_how : nullptr;
            n += size_t(std::snprintf(text + n, size - n, "%s%s%s%s.", row.resend == ADVICE ? UPDATE_TEXT_RESEND : "",
                                      how ? " (" : "", how ? how : "", how ? ")" : ""));
        }
        return row.exit_status;
    }
    return EXIT_OK;
}
