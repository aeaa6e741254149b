// Lists the MIDI output devices that the updater can send to, one name per
// line, in device-number order.
#include "midi/midi_out.h"

#include <cstdio>

int main() {
    int count = midi_out_device_count();
    std::printf("%d MIDI output device%s\n", count, count == 1 ? "" : "s");
    midi_out_list_devices([](const char* name) { std::printf("  %s\n", name); });
    return 0;
}
