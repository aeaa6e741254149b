// --list-outputs: the MIDI output devices that the updater would offer, from
// the same device listing the updater uses. scripts/run brings up the
// virtual amp only when this prints nothing.
#include "tools/virtual-amp/vamp.h"

#include "midi/midi_out.h"

#include <cstdio>

bool vamp_list_outputs() {
    midi_out_list_devices([](const char* name) { std::printf("%s\n", name); });
    return std::fflush(stdout) == 0;
}
