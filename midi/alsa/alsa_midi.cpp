#include "midi/alsa/alsa_midi.h"

#include "midi/backend.h"

namespace {

// Grouped like the table it fills.
const MidiPlatform kAlsa = {
    "alsa",
    midi_backend_no_count, midi_backend_no_caps, midi_backend_no_open, midi_backend_no_buffer,
    midi_backend_no_buffer, midi_backend_no_buffer, midi_backend_no_handle,
    midi_backend_no_count, midi_backend_no_caps, midi_backend_no_open, midi_backend_no_buffer,
    midi_backend_no_buffer, midi_backend_no_handle, midi_backend_no_handle, midi_backend_no_handle,
    midi_backend_no_buffer, midi_backend_no_handle,
    midi_backend_pause_ms,
};

}  // namespace

const MidiPlatform* midi_alsa_platform() { return &kAlsa; }
