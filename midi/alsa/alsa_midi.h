// ALSA rawmidi backend of the platform MIDI layer.
#ifndef ZP_MIDI_ALSA_ALSA_MIDI_H
#define ZP_MIDI_ALSA_ALSA_MIDI_H

#include "midi/platform.h"

const MidiPlatform* midi_alsa_platform();

#endif
