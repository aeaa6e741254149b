// Lists the MIDI output devices that the updater can send to, one name per
// line, in device-number order.
#include "midi/midi_out.h"
#include "update/safe_text.h"

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--version") == 0) {
        std::puts("midi-devices 1.00");
        return 0;
    }
    int count = midi_out_device_count();
    std::printf("%d MIDI output device%s\n", count, count == 1 ? "" : "s");
    midi_out_list_devices([](const char* name) {
        char shown[1400];
        std::printf("  %s\n", safe_text(name, shown, sizeof shown));
    });
    return 0;
}
