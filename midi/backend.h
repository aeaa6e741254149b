// What the system's MIDI backends share: the table they are rows of, the
// record every handle of theirs begins with, and the rules for buffer
// headers, written once (see the guide in midi/platform.h).
#ifndef ZP_MIDI_BACKEND_H
#define ZP_MIDI_BACKEND_H

#include <cstddef>

#include "midi/platform.h"

// One backend: a row of the system's backend table.
struct MidiBackend {
    const char* name;
    // Whether its MIDI service can be reached from this account: a
    // MidiSystemProblem (MIDI_SYSTEM_FINE, or why not). Never blocks.
    int (*probe)();
    // Its operations.
    const MidiPlatform* (*platform)();
    // Optional (null: none of its own). The input device that belongs to
    // output `out_name` of this backend (the other half of the same device),
    // written into `dst` (n bytes); false when it has no such input.
    bool (*partner_input)(const char* out_name, char* dst, size_t n);
    // Optional (null: it cannot tell). Who holds the device `name` of this
    // backend, in an owner's words, into `text`; false when nothing is seen
    // holding it.
    bool (*holder)(const char* name, bool output, char* text, size_t n);
};

// The system's backends, in device-number order; *count gets how many.
const MidiBackend* midi_backends(int* count);

// Every handle a backend hands out points at a record that begins with
// this, naming the backend's own operations, so the system's platform can
// route a call on a handle back to the backend that made it.
struct MidiBackendHandle {
    const MidiPlatform* owner;
};

// --- Buffer headers: the rules every backend keeps.

// Prepare: the header must point at data (for input, room of some length);
// it is marked prepared. MIDI_RES_INVALID_PARAM otherwise.
uint32_t midi_header_prepare(MidiHeader* hdr, bool input);

// Before the driver takes a header (a long message, an added buffer):
// MIDI_RES_OK when it is prepared, MIDI_RES_UNPREPARED otherwise.
uint32_t midi_header_check(const MidiHeader* hdr);

// The driver has taken it: in its queue, not done.
void midi_header_queued(MidiHeader* hdr);

// The driver gives it back: out of its queue, done.
void midi_header_returned(MidiHeader* hdr);

// Unprepare: MIDI_RES_STILL_PLAYING while the driver still `held` it;
// otherwise it is neither prepared nor queued, is done, and carries
// MIDI_HDR_FAILED when the device was `lost` before every byte of it went
// out.
uint32_t midi_header_unprepare(MidiHeader* hdr, bool held, bool lost);

// Sleeps the calling thread (the platforms' pause_ms).
void midi_backend_pause_ms(uint32_t ms);

#endif
