// The device directory both ports share: how many devices the platform has,
// their names, and finding one by name. Each port hands in its own side of
// the platform (the count and the capabilities query), so the rules are the
// same for inputs and outputs.
#ifndef ZP_MIDI_DEVICE_DIR_H
#define ZP_MIDI_DEVICE_DIR_H

#include "midi/platform.h"

#include <cstdint>

// One side of the platform's devices: its count, and its capabilities query,
// true when the record for device n was filled.
struct MidiDeviceDir {
    uint32_t (*count)();
    bool (*caps)(int n, MidiDevCaps* caps);
};

// The device count, clamped to what an int holds.
int midi_dir_count(const MidiDeviceDir* dir);

// Device n's name, held in `slot` (so overwritten by the next call with the
// same slot); null when there is no such device or its query fails.
const char* midi_dir_name(const MidiDeviceDir* dir, MidiDevCaps* slot, int n);

// Calls fn with each device's name in order, skipping devices whose query
// fails. A null fn does nothing.
void midi_dir_list(const MidiDeviceDir* dir, void (*fn)(const char* name));

// The first device whose name is exactly `name`: -1 for null or no match, 0
// (the default device) for the empty name.
int midi_dir_find(const MidiDeviceDir* dir, const char* name);

#endif
