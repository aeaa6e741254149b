// The update engine under the procedure (update/update_procedure.h): the
// amp's output port (with the input that belongs to it, for the amp's
// answer), and stepping a loaded update file's SysEx messages into that port.
//
// Nothing here sleeps or blocks. A step says whether the caller may step
// again at once or should come back after some milliseconds. Module state,
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
