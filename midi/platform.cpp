#include "midi/platform.h"

namespace {

const MidiPlatform* g_platform = nullptr;

// Indexed by MidiSystemProblem.
const char* const kProblemText[MIDI_SYSTEM_PROBLEM_COUNT] = {
    nullptr,
    "No MIDI service was reachable: no JACK server runs and the computer shows no sound card.",
    "This account may not use the sound devices: add it to the audio group (sudo adduser $USER audio), "
    "then log out and back in.",
};

}  // namespace

const char* midi_system_problem_text(int problem) {
    if (problem < 0 || problem >= MIDI_SYSTEM_PROBLEM_COUNT) return "(?)";
    return kProblemText[problem];
}

const MidiPlatform* midi_platform() {
    const MidiPlatform* p = __atomic_load_n(&g_platform, __ATOMIC_ACQUIRE);
    return p ? p : midi_system_platform();
}

void midi_platform_set(const MidiPlatform* p) { __atomic_store_n(&g_platform, p, __ATOMIC_RELEASE); }
