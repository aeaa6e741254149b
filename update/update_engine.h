// The update engine shared by the wizard and ampctl: the amp's output port
// (with the input that belongs to it, for the amp's answer), and stepping
// the loaded update file's SysEx messages into that port.
//
// Nothing here sleeps or blocks. A step says whether the caller may step
// again at once or should come back after some milliseconds; the wizard
// turns that into wakes of its event loop, ampctl into sleeps. Module state,
// one port and one transfer at a time, on one thread.
//
// Delivery guarantees:
// - The port stores only what fits in its queue. A message is offered from
//   the first byte the port has not yet taken, so a partly taken message is
//   continued, never repeated, and a message longer than the port's queue
//   goes out in pieces.
// - The transfer ends only when the port holds no more bytes, however long
//   the device takes: closing the port before that would drop them.
// - A port that fails ends the transfer as failed; the bytes it held are
//   never reported as sent.
#ifndef ZP_UPDATE_UPDATE_ENGINE_H
#define ZP_UPDATE_UPDATE_ENGINE_H

#include <cstddef>
#include <cstdint>

struct MidiOutPort;

// The procedure's waits, in ticks of UPDATE_TICK_MS. After the restart
// request, and after the last byte of the update has left the port, the port
// is closed PORT_CLOSE_DELAY_TICKS later and opened again, by name, after the
// amp's restart (RESTART_WAIT_TICKS) or its reprogramming (UPDATE_WAIT_TICKS).
constexpr int UPDATE_TICK_MS = 100;
constexpr int PORT_CLOSE_DELAY_TICKS = 10;
constexpr int RESTART_WAIT_TICKS = 50;
constexpr int UPDATE_WAIT_TICKS = 150;

// The two waits of the procedure, as a table every front end walks: the
// wizard on its countdown, ampctl with sleeps.
enum UpdateWaitKind {
    WAIT_AFTER_RESTART = 0,
    WAIT_AFTER_UPDATE = 1,
    UPDATE_WAIT_KINDS = 2,
};

struct UpdateWait {
    int close_after_ticks;   // from the request or last byte to closing the port
    int reopen_after_ticks;  // from closing the port to opening it again
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

// Largest piece of one message offered to the port in one send.
constexpr int SEND_PIECE_MAX = 65536;

// --- The port ---

// Closes any open port and opens the output named `name`. With `ask`, also
// opens the input that belongs to it and asks the amp who it is (see
// update/amp_answer.h). True when the output is open; the input is optional.
bool update_port_open(const char* name, bool ask);

// Why the latest update_port_open failed, in an owner's words: who holds the
// device, or that this account may not use the sound devices, or that no
// MIDI service runs. Empty when it opened, or when the system cannot tell.
const char* update_port_problem();

// The same sentence for any device named `name` (null: none was chosen) that
// would not open with `err` (a MidiOutError or MidiInError code; 3 is a
// device error, as when something holds it), into `text`; empty when the
// system cannot tell. For callers that open ports themselves.
void update_open_problem(const char* name, bool output, int err, char* text, size_t n);

// Closes the input and the output, if open; returns the output's close
// result (0 when there was none). A port that would not close still holds a
// buffer with the driver and is left to it rather than freed under it.
int update_port_close();

// Makes `port`, opened by the caller, the engine's port (closing any other)
// without asking the amp anything: for sending messages as they are.
void update_port_adopt(MidiOutPort* port);

// The open output, or null.
MidiOutPort* update_port();

// Offers `length` bytes only when the port can take them all at once. True
// when every byte was taken; nothing is queued otherwise.
bool update_send_bytes(const uint8_t* bytes, int length);

// Bytes the port still holds; -1 when there is no port or it has failed
// (what a failed port holds will never leave).
int update_port_pending();

// --- The waits ---

// The end of a wait's first part: closes the port once it holds nothing
// more. Returns the ticks until it is to be opened again (the wait's
// reopen_after_ticks), 0 while the port still holds bytes (ask again a tick
// later: closing now would drop them), or -1 when the port has failed (what
// it holds will never leave; the port is closed all the same).
int update_wait_close(int kind);

// The end of the wait: opens the port named `name` again, asking the amp who
// it is when the wait says so. True when it is open.
bool update_wait_reopen(int kind, const char* name);

// --- The transfer ---

// Pacing for devices slower than their driver admits (a MIDI path through
// the ALSA sequencer, which overruns its buffer when fed faster than the
// device sends); zero means none.
struct UpdatePacing {
    // Pause after each message has been handed over, never shorter than this
    // many milliseconds.
    int gap_ms;
    // Rate not to exceed: each message starts no earlier than the one before
    // it started plus that one's length at this rate. A stall
    // is never made up by a burst; after it the messages go at this rate.
    long bytes_per_s;
};

// Outcome of one step.
enum UpdateStep {
    STEP_AGAIN = 0,   // step again at once
    STEP_WAIT = 1,    // step again after *wait_ms
    STEP_DONE = 2,    // every byte has left the port
    STEP_FAILED = 3,  // the port failed or went away; the transfer is over
    STEP_IDLE = 4,    // no transfer runs
};

// Starts sending `size` bytes of complete SysEx messages (a loaded update
// file, which must outlive the transfer). Pacing may be null.
void update_begin(const uint8_t* bytes, size_t size, const UpdatePacing* pacing);

// One step: hands the port what it takes of the current message, or, once
// every message is handed over, checks whether the port has emptied.
int update_step(int* wait_ms);

// Stops handing over messages; a message the port has partly taken is
// finished first, so the amp never sees half of one. True once the transfer
// sits at a message boundary (then only the drain remains: keep stepping
// until STEP_DONE).
bool update_stop_at_boundary();

// Forgets the transfer at once (after a failure, or when the file goes).
void update_abandon();

// True from update_begin until STEP_DONE, STEP_FAILED or update_abandon.
bool update_running();

// Test seam: the clock the pacing and the progress read, in microseconds of
// a steady clock. Null restores the system's.
using UpdateClockFn = int64_t (*)();
void update_set_clock(UpdateClockFn fn);

// How far the transfer has got.
struct UpdateProgress {
    size_t bytes_sent, bytes_total;  // sent: handed over and gone from the port
    size_t messages_sent, messages_total;
    double seconds;       // since update_begin
    double seconds_left;  // at the rate so far; negative until one second has passed
};
UpdateProgress update_progress();

// "100 / 2048 kB, 283 / 8017 messages, 4 %, 9 s left" into `text`; returns
// the fraction sent, 0..1.
double update_progress_text(char* text, size_t size);

#endif
