// The update procedure (update/update_procedure.h) driven with sleeps, for
// the programs that run it in a console (ampctl, zorva-update): the same
// steps, waits and verdict as the wizard, each part blocking until it is over
// or the caller's stop flag is raised (Ctrl-C). The lines a console shows on
// the way, the line for each way a part can end and the exit statuses are
// here, once, so both programs say and return the same.
#ifndef ZP_UPDATE_UPDATE_CONSOLE_H
#define ZP_UPDATE_UPDATE_CONSOLE_H

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "update/amp_answer.h"
#include "update/update_procedure.h"

struct UpdateConsole {
    const volatile std::sig_atomic_t* stop;  // non-zero: stop at the next message boundary or wait
    long restart_wait_ms;                    // the waits' reopen parts (defaults: the table's)
    long update_wait_ms;
    UpdatePacing pacing;
    // Progress while sending, on standard error: one line rewritten on a
    // terminal, a plain line every few seconds otherwise.
    bool progress;
    // Where the step lines go ("Restart request sent ...", "Sent ..."); null
    // for none.
    FILE* steps;
    // How the program sends again without the restart, for the advice after
    // a send that failed ("answer n to the restart question").
    const char* resend_how;
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
    EXIT_UNCHANGED = 7,  // the amp reports the same version as before
};

// Indexed by UpdateVerdictKind: an update's exit status for what the amp said
// at the end (a verdict still pending there means no answer came).
constexpr int UPDATE_VERDICT_EXIT[VERDICT_KIND_COUNT] = {EXIT_TIMEOUT, EXIT_OK, EXIT_UNCHANGED, EXIT_TIMEOUT,
                                                         EXIT_DEVICE};

// The defaults: no stop flag, the table's waits, no pacing, progress shown,
// step lines on standard output.
UpdateConsole update_console_defaults();

// Sleeps `ms` in short slices; false when the stop flag cut it short.
bool update_console_nap(const UpdateConsole* c, long ms);

// Steps the part begun (`first` is what its begin returned) with sleeps and
// ticks until it is over or its phase has reached `until`; returns the
// phase then. The stop flag stops the part (update_proc_stop).
int update_console_run(const UpdateConsole* c, UpdateNext first, int until);

// The parts, each run to its end; each returns update_proc_end().
// Opens the amp's port by name and waits for the amp's answer (none is asked
// of an amp already `in_update_mode`).
int update_console_open(const UpdateConsole* c, const char* name, bool in_update_mode);
// The restart request into update mode and the wait after it.
int update_console_restart(const UpdateConsole* c, const char* name);
// Streams the file until every byte has left the port: END_NONE then, and
// update_console_finish runs the wait and the answer.
int update_console_send(const UpdateConsole* c, const char* name, const uint8_t* bytes, size_t size);
int update_console_finish(const UpdateConsole* c);

// The line that tells how part `part` ended with `end` (the verdict line for
// a finished update), into `text`, with the advice of `c` where it helps;
// returns the exit status for it. Empty text and EXIT_OK for a part that did
// what it was for and has nothing to add.
int update_console_end_text(const UpdateConsole* c, int part, int end, char* text, size_t size);

#endif
