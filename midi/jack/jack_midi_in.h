// Input side of the JACK backend.
//
// Input devices are the other clients' MIDI output ports, named by their full
// port name ("client:port"). Each open input is a client of its own with one
// MIDI input port; start activates it and connects the device to it, stop and
// reset deactivate it. The client's process callback is the driver's thread:
// every event of the cycle goes through the shared receive stream
// (midi/in_stream.h), so short messages reach the port's callback at once and
// SysEx bytes fill the buffers the port added.
#ifndef ZP_MIDI_JACK_JACK_MIDI_IN_H
#define ZP_MIDI_JACK_JACK_MIDI_IN_H

#include "midi/platform.h"

uint32_t midi_jack_in_count();
uint32_t midi_jack_in_caps(uint32_t dev, MidiDevCaps* caps);
uint32_t midi_jack_in_open(MidiHandle* h, uint32_t dev, MidiCallback cb, uintptr_t instance);
uint32_t midi_jack_in_prepare(MidiHandle h, MidiHeader* hdr);
uint32_t midi_jack_in_add_buffer(MidiHandle h, MidiHeader* hdr);
uint32_t midi_jack_in_start(MidiHandle h);
uint32_t midi_jack_in_stop(MidiHandle h);
uint32_t midi_jack_in_reset(MidiHandle h);
uint32_t midi_jack_in_unprepare(MidiHandle h, MidiHeader* hdr);
uint32_t midi_jack_in_close(MidiHandle h);

// The backend table's partner rule: an output port of the same client as
// the input port `out_name` ("client:port"), the capture twin of a bridge's
// playback port first.
bool midi_jack_partner_input(const char* out_name, char* dst, size_t n);

// Bytes an open input has lost so far because no buffer was free (or they
// belonged to no message); 0 for a null handle.
uint64_t midi_jack_in_lost(MidiHandle h);

#endif
