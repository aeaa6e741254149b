// Shared by the Linux backends: how the combined platform routes a handle
// back to the backend that opened it.
#ifndef ZP_MIDI_BACKEND_H
#define ZP_MIDI_BACKEND_H

#include "midi/platform.h"

// Every handle a Linux backend hands out points at a record that begins with
// this, naming the backend's own table.
struct MidiBackendHandle {
    const MidiPlatform* owner;
};

// Answers for a side a backend does not offer (yet): no devices.
uint32_t midi_backend_no_count();
uint32_t midi_backend_no_caps(uint32_t dev, MidiDevCaps* caps);
uint32_t midi_backend_no_open(MidiHandle* h, uint32_t dev, MidiCallback cb, uintptr_t instance);
uint32_t midi_backend_no_buffer(MidiHandle h, MidiHeader* hdr);
uint32_t midi_backend_no_handle(MidiHandle h);

// Sleeps the calling thread.
void midi_backend_pause_ms(uint32_t ms);

#endif
