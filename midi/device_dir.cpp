#include "midi/device_dir.h"

#include <cstring>

int midi_dir_count(const MidiDeviceDir* dir) {
    uint32_t n = dir->count();
    return n > 0x7FFFFFFFu ? 0x7FFFFFFF : int(n);
}

const char* midi_dir_name(const MidiDeviceDir* dir, MidiDevCaps* slot, int n) {
    if (n < 0 || n >= midi_dir_count(dir)) return nullptr;
    if (!dir->caps(n, slot)) return nullptr;
    slot->szPname[MIDI_NAME_SIZE - 1] = 0;
    return slot->szPname;
}

void midi_dir_list(const MidiDeviceDir* dir, void (*fn)(const char* name)) {
    if (!fn) return;
    int count = midi_dir_count(dir);
    for (int i = 0; i < count; i++) {
        MidiDevCaps caps;
        if (!dir->caps(i, &caps)) continue;
        caps.szPname[MIDI_NAME_SIZE - 1] = 0;
        fn(caps.szPname);
    }
}

int midi_dir_find(const MidiDeviceDir* dir, const char* name) {
    if (!name) return -1;
    if (!*name) return 0;
    int count = midi_dir_count(dir);
    for (int i = 0; i < count; i++) {
        MidiDevCaps caps;
        if (!dir->caps(i, &caps)) continue;
        caps.szPname[MIDI_NAME_SIZE - 1] = 0;
        if (std::strcmp(caps.szPname, name) == 0) return i;
    }
    return -1;
}
