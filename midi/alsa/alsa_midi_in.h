// Input side of the ALSA rawmidi backend.
//
// Input devices are the rawmidi input subdevices of every card, named as the
// system shows them. Each open input has a reader thread standing in for the
// system's MIDI service: from start to stop it waits for bytes with poll,
// reads them without blocking and passes them through the shared receive
// stream (midi/in_stream.h), which calls the port back with short messages and
// filled SysEx buffers. A device that vanishes ends its reader; the port then
// simply receives nothing more.
//
// The few ALSA calls sit behind AlsaRawmidiInOps so tests can drive the
// backend without hardware.
#ifndef ZP_MIDI_ALSA_ALSA_MIDI_IN_H
#define ZP_MIDI_ALSA_ALSA_MIDI_IN_H

#include "midi/alsa/alsa_midi.h"
#include "midi/platform.h"

#include <cstddef>
#include <cstdint>

// The ALSA calls the input side makes. Errors are negative errno values.
struct AlsaRawmidiInOps {
    // Fills up to `max` entries with the input subdevices; returns how many.
    int (*list_inputs)(AlsaDeviceInfo* out, int max);
    // Opens an input for non-blocking reads.
    int (*open_input)(const char* id, void** raw);
    // Reads up to n bytes without blocking: the number read, or -EAGAIN when
    // nothing waits.
    long (*read)(void* raw, uint8_t* data, size_t n);
    // Waits up to timeout_ms for bytes: 1 ready, 0 timed out.
    int (*wait_readable)(void* raw, int timeout_ms);
    int (*close)(void* raw);
};

// The input subdevices as the backend's ALSA calls list them (the scripted
// ones in tests): up to `max` entries, returns how many.
int midi_alsa_list_inputs(AlsaDeviceInfo* out, int max);

uint32_t midi_alsa_in_count();
uint32_t midi_alsa_in_caps(uint32_t dev, MidiDevCaps* caps);
uint32_t midi_alsa_in_open(MidiHandle* h, uint32_t dev, MidiCallback cb, uintptr_t instance);
uint32_t midi_alsa_in_prepare(MidiHandle h, MidiHeader* hdr);
uint32_t midi_alsa_in_add_buffer(MidiHandle h, MidiHeader* hdr);
uint32_t midi_alsa_in_start(MidiHandle h);
uint32_t midi_alsa_in_stop(MidiHandle h);
uint32_t midi_alsa_in_reset(MidiHandle h);
uint32_t midi_alsa_in_unprepare(MidiHandle h, MidiHeader* hdr);
uint32_t midi_alsa_in_close(MidiHandle h);

// Bytes an open input has lost so far because no buffer was free (or they
// belonged to no message); 0 for a null handle.
uint64_t midi_alsa_in_lost(MidiHandle h);

// Makes the input side use `ops`; null restores the real ALSA calls. Not while
// an input is open.
void midi_alsa_set_in_ops(const AlsaRawmidiInOps* ops);

#endif
