// The update procedure, written once for every front end: opening the amp's
// port and asking who it is, the restart into update mode and the wait after
// it, sending the file, the drain, the wait while the amp reprograms itself,
// and the amp's answer.
//
// A driver begins a part (open, restart, send) and then steps it. Each step
// does what is due and says what comes next and after how long (UpdateNext);
// the driver comes back then and steps again, until the part is over and
// update_proc_end() says how it ended. The wizard turns the waits into its
// countdown of ticks and the sending into wakes of its event loop; the
// console programs sleep (update/update_console.h). Time passes for the
// procedure in ticks: every driver calls update_proc_tick every
// UPDATE_TICK_MS while it runs, and the amp's answer is read on them.
//
// Nothing here sleeps or blocks. Module state, one part at a time, on one
// thread; the port, the transfer and the answer are those of
// update/update_engine.h and update/amp_answer.h.
#ifndef ZP_UPDATE_UPDATE_PROCEDURE_H
#define ZP_UPDATE_UPDATE_PROCEDURE_H

#include <cstddef>
#include <cstdint>

#include "update/update_engine.h"

// The procedure's clock: a tick is this many milliseconds.
constexpr int UPDATE_TICK_MS = 100;

// The waits, in ticks. After the restart request, and after the last byte of
// the update has left the port, the port is closed PORT_CLOSE_DELAY_TICKS
// later and opened again, by name, after the amp's restart
// (RESTART_WAIT_TICKS) or its reprogramming (UPDATE_WAIT_TICKS).
constexpr int PORT_CLOSE_DELAY_TICKS = 10;
constexpr int RESTART_WAIT_TICKS = 50;
constexpr int UPDATE_WAIT_TICKS = 150;

enum UpdateWaitKind {
    WAIT_AFTER_RESTART = 0,
    WAIT_AFTER_UPDATE = 1,
    UPDATE_WAIT_KINDS = 2,
};

// A wait: the port closes close_after_ticks after the request or the last
// byte, and opens again reopen_after_ticks after that.
struct UpdateWait {
    int close_after_ticks;
    int reopen_after_ticks;
    // Whether the amp is asked who it is when the port opens again. Never
    // after the restart: the amp is then in update mode, where its boot
    // loader may count any SysEx as image data.
    bool ask_identity;
};

// Indexed by UpdateWaitKind.
constexpr UpdateWait UPDATE_WAITS[UPDATE_WAIT_KINDS] = {
    {PORT_CLOSE_DELAY_TICKS, RESTART_WAIT_TICKS, false},
    {PORT_CLOSE_DELAY_TICKS, UPDATE_WAIT_TICKS, true},
};

// The procedure's own words, as the wizard's boxes and pages and the console
// programs show them.
inline constexpr char UPDATE_TEXT_OPEN_FAILED[] = "Could not open MIDI out port";
inline constexpr char UPDATE_TEXT_SEND_FAILED[] = "Could not send message to amp";
inline constexpr char UPDATE_TEXT_NOTHING[] = "Nothing to send to the amp";
inline constexpr char UPDATE_TEXT_RESTARTING[] = "Please wait a few seconds for the amp to reset.";
inline constexpr char UPDATE_TEXT_SENDING[] = "Please wait while sending update to the amp.";
inline constexpr char UPDATE_TEXT_UPDATING[] = "Please wait while amp updates";
// After a send that failed part way: what may have happened, and what to do.
inline constexpr char UPDATE_TEXT_RESEND[] =
    "The amp may now be waiting in update mode. Check the cable and that the amp is on, then send the "
    "update again without restarting the amp";

// Where a part has got to; the phases come in this order.
enum UpdatePhase {
    PHASE_IDLE = 0,     // no part has begun
    PHASE_SENDING = 1,  // the file's messages go to the port, then the port empties
    PHASE_CLOSING = 2,  // a wait has begun: the port closes when due and empty
    PHASE_CLOSED = 3,   // the port is closed while the amp restarts or reprograms
    PHASE_ASKING = 4,   // the port is open; the amp's answer is awaited on ticks
    PHASE_OVER = 5,     // the part has ended: see update_proc_end
};

// Which part runs (or ran last).
enum UpdatePart {
    PART_NONE = 0,
    PART_OPEN = 1,     // the port opened, the amp asked who it is
    PART_RESTART = 2,  // the restart request and the wait after it
    PART_UPDATE = 3,   // the file, the drain, the wait, the amp's answer
    UPDATE_PART_COUNT = 4,
};

// How a part ended.
enum UpdateEnd {
    END_NONE = 0,              // it has not ended (or nothing began)
    END_DONE = 1,              // the part did all it is for (the amp's verdict: answer_verdict)
    END_NOT_SENT = 2,          // the restart request was not taken whole; nothing went out
    END_NOTHING = 3,           // no file to send
    END_PORT_FAILED = 4,       // the port failed: what it held never reached the amp
    END_NO_PORT = 5,           // the port did not open (again, after a wait)
    END_STOPPED = 6,           // stopped before the amp had the whole update
    END_STOPPED_WAITING = 7,   // stopped after every byte was sent, in the wait
    UPDATE_END_COUNT = 8,
};

// What comes next: step again after `ms` milliseconds (0: at once), or, in
// the waits, when a countdown armed with `ticks` runs (on the (ticks + 1)-th
// tick from now: the wizard's countdown). `ms` is -1 and `ticks` -1 when no
// step is due (the part is over, or none began); `ticks` is -1 outside the
// waits. A wait's `ms` is its length as the table (or the driver) sets it.
struct UpdateNext {
    int phase;  // UpdatePhase, now
    int ticks;
    long ms;
};

// Opens the amp's output `name` (closing any open one), with the input that
// belongs to it, and asks the amp who it is; the answer comes on ticks and
// the part is over once it is in or its time is up. An amp that the owner
// says is already `in_update_mode` is asked nothing: its boot loader may take
// any SysEx for image data. On failure the part is over with END_NO_PORT and
// update_port_problem() says why, when it can.
UpdateNext update_proc_open(const char* name, bool in_update_mode);

// Sends the restart request into update mode through the open port and
// begins the wait after it: the port closes, then opens again as `name`
// after `reopen_ms` (negative: the table's RESTART_WAIT_TICKS), and the amp
// is asked nothing. Over with END_NOT_SENT when the port did not take the
// request whole.
UpdateNext update_proc_restart(const char* name, long reopen_ms);

// Sends the `size` bytes of SysEx messages at `bytes` (a loaded update file,
// which must outlive the part) through the open port, with `pacing` (null:
// none); once every byte has left the port, the wait follows, the port opens
// again as `name` after `reopen_ms` (negative: the table's
// UPDATE_WAIT_TICKS) and the amp is asked who it is. The version the amp
// reported last is kept as the one before the update. Over with END_NOTHING
// when there is nothing to send.
UpdateNext update_proc_send(const char* name, const uint8_t* bytes, size_t size, const UpdatePacing* pacing,
                            long reopen_ms);

// Does what is due and says what comes next.
UpdateNext update_proc_step();

// What the latest begin or step said comes next (for a driver that paused
// between two steps).
UpdateNext update_proc_next();

// A tick has passed: reads the amp's answer, counts the wait, and ends a
// part that waited only for the answer.
void update_proc_tick();

// Stops the part: sending stops at the next message boundary (the port still
// empties, so the amp never gets half a message), a wait ends with the port
// closed. Step on until the part is over.
void update_proc_stop();

// Forgets the part at once (the file went away), without touching the port.
void update_proc_abandon();

int update_proc_phase();
int update_proc_part();
int update_proc_end();

// While a wait runs: the share of it gone by, 0..1, and the seconds left
// into *seconds_left (rounded up). -1 outside the waits.
double update_proc_wait_progress(int* seconds_left);

#endif
