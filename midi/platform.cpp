#include "midi/platform.h"

namespace {

const MidiPlatform* g_platform = nullptr;

}  // namespace

const MidiPlatform* midi_platform() {
    const MidiPlatform* p = __atomic_load_n(&g_platform, __ATOMIC_ACQUIRE);
    return p ? p : midi_system_platform();
}

void midi_platform_set(const MidiPlatform* p) { __atomic_store_n(&g_platform, p, __ATOMIC_RELEASE); }
