#include "update/update_console.h"

#include "ampmsg/requests.h"
#include "update/amp_answer.h"

#include <chrono>
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

bool stopped(const UpdateConsole* c) { return c->stop && *c->stop; }

// Progress on standard error: one line that rewrites itself on a terminal,
// a plain line every PLAIN_PROGRESS_MS otherwise (a log, a pipe).
constexpr long TTY_PROGRESS_MS = 200;
constexpr long PLAIN_PROGRESS_MS = 2000;

struct Progress {
    bool tty;
    Clock::time_point shown;
    bool line_open;  // a rewritten line is on the terminal without its newline
};

void progress_show(Progress* p, const char* text, bool force) {
    long every = p->tty ? TTY_PROGRESS_MS : PLAIN_PROGRESS_MS;
    if (!force && elapsed_ms(p->shown) < every) return;
    p->shown = Clock::now();
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

// Waits, a tick at a time, for the answer to the identity request that
// opening the port sent.
void await_answer(const UpdateConsole* c) {
    for (int i = 0; i <= ANSWER_WAIT_TICKS && answer_state() == ANSWER_WAITING && !stopped(c); i++) {
        answer_tick();
        if (answer_state() == ANSWER_WAITING) update_console_nap(c, UPDATE_TICK_MS);
    }
}

// Wait `kind` of the engine's table: the port closes once it has passed
// everything on, and opens again `reopen_ms` later.
int run_wait(const UpdateConsole* c, int kind, long reopen_ms, const char* name) {
    if (!update_console_nap(c, long(UPDATE_WAITS[kind].close_after_ticks) * UPDATE_TICK_MS)) {
        update_port_close();
        return CONSOLE_STOPPED;
    }
    int ticks;
    while ((ticks = update_wait_close(kind)) == 0) {
        if (!update_console_nap(c, UPDATE_TICK_MS)) {
            update_port_close();
            return CONSOLE_STOPPED;
        }
    }
    if (ticks < 0) return CONSOLE_PORT_FAILED;
    if (!update_console_nap(c, reopen_ms)) return CONSOLE_STOPPED;
    if (!update_wait_reopen(kind, name)) return CONSOLE_NO_PORT;
    if (UPDATE_WAITS[kind].ask_identity) await_answer(c);
    return CONSOLE_OK;
}

}  // namespace

UpdateConsole update_console_defaults() {
    UpdateConsole c;
    c.stop = nullptr;
    c.restart_wait_ms = long(UPDATE_WAITS[WAIT_AFTER_RESTART].reopen_after_ticks) * UPDATE_TICK_MS;
    c.update_wait_ms = long(UPDATE_WAITS[WAIT_AFTER_UPDATE].reopen_after_ticks) * UPDATE_TICK_MS;
    c.pacing = {0, 0};
    c.progress = true;
    return c;
}

bool update_console_nap(const UpdateConsole* c, long ms) {
    auto start = Clock::now();
    while (!stopped(c) && elapsed_ms(start) < ms) {
        long left = ms - elapsed_ms(start);
        std::this_thread::sleep_for(std::chrono::milliseconds(left < 20 ? left : 20));
    }
    return !stopped(c);
}

bool update_console_open(const UpdateConsole* c, const char* name, bool ask) {
    if (!update_port_open(name, ask)) return false;
    if (ask) await_answer(c);
    return true;
}

int update_console_restart(const UpdateConsole* c, const char* name, long timeout_ms) {
    int err = 0;
    AmpMessage* restart = amp_request_restart_update(&err);
    bool sent = false;
    auto start = Clock::now();
    while (restart && !(sent = update_send_bytes(amp_message_bytes(restart, nullptr),
                                                 amp_message_length(restart, nullptr))) &&
           update_port_pending() >= 0 && elapsed_ms(start) < timeout_ms && !stopped(c))
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    amp_record_free(restart, nullptr);
    if (!sent) {
        update_port_close();
        return stopped(c) ? CONSOLE_STOPPED : CONSOLE_NOT_SENT;
    }
    return run_wait(c, WAIT_AFTER_RESTART, c->restart_wait_ms, name);
}

int update_console_send(const UpdateConsole* c, const uint8_t* bytes, size_t size) {
    update_begin(bytes, size, &c->pacing);
    Progress prog = {isatty(fileno(stderr)) != 0, Clock::now() - std::chrono::hours(1), false};
    bool stopping = false;
    char text[160];
    for (;;) {
        if (stopped(c) && !stopping) {
            stopping = true;
            update_stop_at_boundary();
        }
        int wait = 0;
        int step = update_step(&wait);
        bool over = step == STEP_DONE || step == STEP_FAILED || step == STEP_IDLE;
        if (c->progress) {
            update_progress_text(text, sizeof text);
            progress_show(&prog, text, over);
            if (over) progress_end(&prog);
        }
        if (step == STEP_FAILED) return CONSOLE_PORT_FAILED;
        if (over) return stopping ? CONSOLE_STOPPED : CONSOLE_OK;
        if (step == STEP_WAIT) std::this_thread::sleep_for(std::chrono::milliseconds(wait));
    }
}

int update_console_finish(const UpdateConsole* c, const char* name) {
    int end = run_wait(c, WAIT_AFTER_UPDATE, c->update_wait_ms, name);
    update_port_close();
    return end;
}
