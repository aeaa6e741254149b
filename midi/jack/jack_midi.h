// JACK backend of the platform MIDI layer.
//
// Output devices are the other clients' MIDI input ports, named by their full
// port name ("client:port"). The backend never starts a server: it reaches
// the one named by JACK_DEFAULT_SERVER (or the default one) and, when none
// runs, offers no devices, quickly and without a word on standard error.
//
// Each open output is a client of its own with one MIDI output port connected
// to the device. The client's process callback is the driver's thread: it
// writes the buffer in flight into the port as far as each cycle allows and
// signals MOM_DONE at the start of the cycle after the one that wrote its last
// byte, when the connected clients have had every byte.
#ifndef ZP_MIDI_JACK_JACK_MIDI_H
#define ZP_MIDI_JACK_JACK_MIDI_H

#include "midi/platform.h"

const MidiPlatform* midi_jack_platform();

// True when a JACK server answers (without starting one).
bool midi_jack_reachable();

// The backend table's probe: MIDI_SYSTEM_FINE when a server answers,
// MIDI_SYSTEM_NO_SERVICE otherwise.
int midi_jack_probe();

#endif
