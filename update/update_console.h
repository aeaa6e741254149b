// The update procedure driven with sleeps, for the programs that run it in a
// console (ampctl, zorva-update): the same engine, table of waits and
// verdict as the wizard, each part blocking until it is over or the caller's
// stop flag is raised (Ctrl-C). The programs keep their own words.
#ifndef ZP_UPDATE_UPDATE_CONSOLE_H
#define ZP_UPDATE_UPDATE_CONSOLE_H

#include <csignal>
#include <cstddef>
#include <cstdint>

#include "update/amp_answer.h"
#include "update/update_engine.h"

struct UpdateConsole {
    const volatile std::sig_atomic_t* stop;  // non-zero: stop at the next message boundary or wait
    long restart_wait_ms;                    // the waits' reopen parts (defaults: the table's)
    long update_wait_ms;
    UpdatePacing pacing;
    // Progress while sending, on standard error: one line rewritten on a
    // terminal, a plain line every few seconds otherwise; null for none.
    bool progress;
};

// The exit statuses of the console programs, one list so that a script reads
// ampctl and zorva-update alike. EXIT_UNDECODED is ampctl's alone.
enum UpdateExit {
    EXIT_OK = 0,
    EXIT_DEVICE = 1,     // no device, it would not open, or it failed
    EXIT_USAGE = 2,      // a bad command line, or the input ended
    EXIT_TIMEOUT = 3,    // no reply in time
    EXIT_UNDECODED = 4,  // a reply that does not decode
    EXIT_FILE = 5,       // a file that cannot be used
    EXIT_STOPPED = 6,    // the stop flag
    EXIT_NOT_TAKEN = 7,  // the amp still reports the version it had
};

// Indexed by UpdateVerdictKind: an update's exit status for what the amp said
// at the end (a verdict still pending there means no answer came).
constexpr int UPDATE_VERDICT_EXIT[VERDICT_KIND_COUNT] = {EXIT_TIMEOUT, EXIT_OK, EXIT_NOT_TAKEN, EXIT_TIMEOUT,
                                                         EXIT_DEVICE};

// The defaults: no stop flag, the table's waits, no pacing, progress shown.
UpdateConsole update_console_defaults();

// Sleeps `ms` in short slices; false when the stop flag cut it short.
bool update_console_nap(const UpdateConsole* c, long ms);

// Opens the amp's port by name and, with `ask`, waits (on ticks) for the
// answer to the identity request the engine sends. False when the port did
// not open (update_port_problem says why, when it can).
bool update_console_open(const UpdateConsole* c, const char* name, bool ask);

// How a part of the procedure ended.
enum UpdateConsoleEnd {
    CONSOLE_OK = 0,
    CONSOLE_STOPPED = 1,      // the stop flag
    CONSOLE_PORT_FAILED = 2,  // the port failed: bytes did not go out
    CONSOLE_NO_PORT = 3,      // the port did not open again after a wait
    CONSOLE_NOT_SENT = 4,     // the restart request was not taken within `timeout_ms`
};

// Sends the restart request into update mode (waiting up to `timeout_ms` for
// the port to take it whole), then runs the wait after it: the amp is asked
// nothing when its port opens again.
int update_console_restart(const UpdateConsole* c, const char* name, long timeout_ms);

// Streams `size` bytes of SysEx messages through the engine until every
// byte has left the port. The stop flag stops it at a message boundary
// (after the drain); *stopped tells. Returns CONSOLE_OK, CONSOLE_STOPPED or
// CONSOLE_PORT_FAILED.
int update_console_send(const UpdateConsole* c, const uint8_t* bytes, size_t size);

// The wait after the update, then the amp's answer (answer_verdict()).
int update_console_finish(const UpdateConsole* c, const char* name);

#endif
