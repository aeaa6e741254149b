// The records behind the two ports' handles, for the ports themselves and
// their tests. Internal: callers see only the opaque handles of
// midi/midi_out.h and midi/midi_in.h; this header is never installed.
#ifndef ZP_MIDI_PORT_RECORDS_H
#define ZP_MIDI_PORT_RECORDS_H

#include <cstdint>

#include "midi/byte_queue.h"
#include "midi/midi_in.h"
#include "midi/midi_out.h"
#include "midi/platform.h"

constexpr uint32_t MIDI_OUT_TAG = 0x54554F4Du;  // "MOUT" in memory order
constexpr uint32_t MIDI_IN_TAG = 0x004E494Cu;   // "LIN" and a zero byte in memory order

static_assert(MIDI_IN_NAME_SIZE == MIDI_NAME_SIZE, "one longest device name on both sides");

// An open output device. Allocated zero-filled by open, released by a
// successful close. The driver's callback reads `tag` and `handle` and writes
// only `done`; everything else belongs to the thread calling the operations.
struct MidiOutPort {
    uint32_t last_result;        // latest platform result for this port; 0 is success
    uint32_t done;               // 1 once the driver finished the buffer; cleared by poll
    uint32_t tag;                // MIDI_OUT_TAG while open, 0 once closed
    uint32_t closing;            // close has begun: no new buffer is started
    uint32_t failed;             // a buffer could not be prepared, sent or finished; never cleared
    MidiHandle handle;           // the open device
    MidiHeader header;           // the one header used for every long message
    uint32_t in_flight_length;   // bytes in the buffer held by the driver
    uint8_t staging[MIDI_OUT_BUFFER_SIZE];  // what `header` points at
    ByteQueue* queue;            // send queue, owned; its first in_flight_length bytes are in staging
    uint32_t in_flight;          // a buffer is with the driver and not yet retired
};

// Short messages on their way from the driver's thread to the caller's: a ring
// with one writer (the callback) and one reader (the port's operations).
struct MidiInArrivals {
    uint32_t written;  // bytes ever stored by the callback, modulo 2^32
    uint32_t taken;    // bytes ever moved on by the caller, modulo 2^32
    uint8_t ring[MIDI_IN_QUEUE_SIZE];
};

// An open input device. Allocated zero-filled by open; released by a close
// whose device close succeeded.
//
// How the callback's thread and the caller's are kept apart: the callback
// never touches the receive queue. It appends short messages to `arrivals`, a
// ring with exactly one writer on each side (the callback advances `written`
// with a release store after copying the bytes in, the caller advances `taken`
// with a release store after copying them out), and it marks returned buffers
// with an atomic OR into `done_mask`, which the caller clears bit by bit with
// an atomic AND. Every read and available call first moves the arrivals into
// the queue, then services one returned buffer, so the queue itself has a
// single owner, the caller's thread, and needs no lock. The driver's thread
// therefore never waits (it may be a real-time audio thread), and a callback
// that still comes for a port whose device refused to close writes only into
// the record, which is then kept. Since the queue fills only at those moments
// and `arrivals` is as large as the queue, a caller sees the same bytes, in the
// same order, as if the callback stored them in the queue directly.
struct MidiInPort {
    int32_t last_result;    // latest platform result for this port; -1 while releasing a buffer
    uint32_t done_mask;     // bit i set when the driver has returned buffer i (atomic)
    uint32_t tag;           // MIDI_IN_TAG while open, 0 once shut down (atomic)
    uint32_t stopping;      // shutdown has begun: returned buffers are not handed back
    MidiHandle handle;      // the open device; null when none (atomic)
    ByteQueue* queue;       // the receive queue, owned; the caller's thread only
    MidiHeader headers[MIDI_IN_BUFFERS];
    uint8_t buffers[MIDI_IN_BUFFERS][MIDI_IN_BUFFER_SIZE];
    int32_t next_buffer;    // the buffer the service step examines first
    uint32_t queued_mask;   // bit i set while buffer i is with the driver (the caller's thread only)
    MidiInArrivals arrivals;
};

#endif
