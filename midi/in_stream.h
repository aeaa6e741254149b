// The receiving half shared by the Linux backends: turns the bytes a device
// delivers into what an input port's callback expects of a MIDI service.
//
// Short messages go to the callback as MIM_DATA the moment they are complete
// (running status and real-time bytes inside a SysEx are understood). SysEx
// bytes fill the buffers the port has added, in the order added; a buffer goes
// back through the callback (MIM_LONGDATA with dwBytesRecorded) when it is full
// or its message has ended, and as MIM_LONGERROR when another status byte cut
// its message short. When no buffer is free the bytes are lost and counted,
// and the rest of that message is dropped too, so that its head and tail are
// never glued to anything else. Stray data bytes and short messages cut short
// are counted the same way.
//
// Threads: the caller's thread adds buffers; the driver's thread feeds bytes.
// The added buffers pass between them through a ring with one writer on each
// side. Returning every buffer (reset) happens on the caller's thread while the
// driver's thread is quiet: the backend stops it first, and the driver's thread
// publishes its state at the end of every pass (in_stream_publish) so the
// caller can take it over (in_stream_take_over).
#ifndef ZP_MIDI_IN_STREAM_H
#define ZP_MIDI_IN_STREAM_H

#include "midi/platform.h"

#include <cstddef>
#include <cstdint>

constexpr uint32_t IN_STREAM_SLOTS = 32;  // buffers that can wait at once

struct MidiInStream {
    MidiCallback cb;
    MidiHandle handle;
    uintptr_t instance;
    MidiHeader* slots[IN_STREAM_SLOTS];  // added buffers waiting for the driver
    uint32_t added;                      // buffers ever added (caller's thread)
    uint32_t taken;                      // buffers ever taken (driver's thread)
    uint32_t passes;                     // driver passes published
    uint64_t lost;                       // bytes dropped (atomic)
    // The driver's thread only, between take-overs:
    MidiHeader* cur;                     // the buffer being filled
    uint8_t running;                     // running status, 0 when none
    uint8_t msg[3];                      // the short message being collected
    uint8_t have;                        // its bytes so far, status included
    uint8_t sysex;                       // inside a SysEx message
    uint8_t skipping;                    // dropping the rest of a SysEx
};

// Starts an empty stream for one open input.
void in_stream_init(MidiInStream* s, MidiCallback cb, MidiHandle handle, uintptr_t instance);

// Caller's thread: hands an empty prepared buffer to the driver. MIDI_RES_OK,
// or MIDI_RES_NOT_READY when IN_STREAM_SLOTS buffers already wait.
uint32_t in_stream_add(MidiInStream* s, MidiHeader* hdr);

// Driver's thread: the device delivered these bytes.
void in_stream_feed(MidiInStream* s, const uint8_t* bytes, size_t n);

// Driver's thread: ends a pass (one process cycle, one read), making its
// writes visible to in_stream_take_over.
void in_stream_publish(MidiInStream* s);

// Caller's thread, driver quiet: makes the driver's published state the
// caller's to change.
void in_stream_take_over(MidiInStream* s);

// Caller's thread, driver quiet, after take-over: returns the buffer being
// filled if it holds bytes (as after a stop), or with `all` every buffer, the
// waiting ones empty (as after a reset). The next message starts afresh.
void in_stream_return(MidiInStream* s, bool all);

// True while the driver holds any buffer.
bool in_stream_holding(MidiInStream* s);

// Bytes lost so far (any thread).
uint64_t in_stream_lost(const MidiInStream* s);

#endif
