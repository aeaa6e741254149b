// The system platform on Linux: the backends of the table below, one after
// another. Device numbers run through the backends in the table's order, each
// backend's count taken afresh by every count call. Direct hardware comes
// last because the last device whose name looks like the amp's is the one
// chosen: an amp reachable both ways is then reached through rawmidi, not
// through a bridge that may drop SysEx.
#include "midi/alsa/alsa_midi.h"
#include "midi/backend.h"
#include "midi/jack/jack_midi.h"
#include "midi/jack/jack_midi_in.h"

namespace {

// The backends, in device-number order: JACK ports, then rawmidi devices.
const MidiBackend BACKENDS[] = {
    {"jack", midi_jack_probe, midi_jack_platform, midi_jack_partner_input, nullptr},
    {"alsa", midi_alsa_probe, midi_alsa_platform, midi_alsa_partner_input, midi_alsa_holder},
};
constexpr int BACKEND_COUNT = int(sizeof BACKENDS / sizeof BACKENDS[0]);

// Counts from the latest count call, per side; device numbers are resolved
// against them.
uint32_t g_out_counts[BACKEND_COUNT];
uint32_t g_in_counts[BACKEND_COUNT];

// The backend owning device `dev`, with *local set to its number there.
const MidiPlatform* route(const uint32_t* counts, uint32_t dev, uint32_t* local) {
    for (int i = 0; i < BACKEND_COUNT; i++) {
        if (dev < counts[i]) {
            *local = dev;
            return BACKENDS[i].platform();
        }
        dev -= counts[i];
    }
    return nullptr;
}

const MidiPlatform* owner(MidiHandle h) { return static_cast<MidiBackendHandle*>(h)->owner; }

uint32_t out_count() {
    uint32_t n = 0;
    for (int i = 0; i < BACKEND_COUNT; i++) n += g_out_counts[i] = BACKENDS[i].platform()->out_count();
    return n;
}

uint32_t out_caps(uint32_t dev, MidiDevCaps* caps) {
    uint32_t local;
    const MidiPlatform* b = route(g_out_counts, dev, &local);
    return b ? b->out_caps(local, caps) : MIDI_RES_BAD_DEVICE;
}

uint32_t out_open(MidiHandle* h, uint32_t dev, MidiCallback cb, uintptr_t instance) {
    uint32_t local;
    const MidiPlatform* b = route(g_out_counts, dev, &local);
    return b ? b->out_open(h, local, cb, instance) : MIDI_RES_BAD_DEVICE;
}

uint32_t out_prepare(MidiHandle h, MidiHeader* hdr) {
    return h ? owner(h)->out_prepare(h, hdr) : MIDI_RES_INVALID_HANDLE;
}
uint32_t out_long_msg(MidiHandle h, MidiHeader* hdr) {
    return h ? owner(h)->out_long_msg(h, hdr) : MIDI_RES_INVALID_HANDLE;
}
uint32_t out_unprepare(MidiHandle h, MidiHeader* hdr) {
    return h ? owner(h)->out_unprepare(h, hdr) : MIDI_RES_INVALID_HANDLE;
}
uint32_t out_close(MidiHandle h) { return h ? owner(h)->out_close(h) : MIDI_RES_INVALID_HANDLE; }
uint32_t out_progress(MidiHandle h, uint32_t* held, uint32_t* next_us) {
    if (!h) return MIDI_RES_INVALID_HANDLE;
    const MidiPlatform* b = owner(h);
    if (b->out_progress) return b->out_progress(h, held, next_us);
    *held = 0;
    *next_us = 0;
    return MIDI_RES_OK;
}

uint32_t in_count() {
    uint32_t n = 0;
    for (int i = 0; i < BACKEND_COUNT; i++) n += g_in_counts[i] = BACKENDS[i].platform()->in_count();
    return n;
}

uint32_t in_caps(uint32_t dev, MidiDevCaps* caps) {
    uint32_t local;
    const MidiPlatform* b = route(g_in_counts, dev, &local);
    return b ? b->in_caps(local, caps) : MIDI_RES_BAD_DEVICE;
}

uint32_t in_open(MidiHandle* h, uint32_t dev, MidiCallback cb, uintptr_t instance) {
    uint32_t local;
    const MidiPlatform* b = route(g_in_counts, dev, &local);
    return b ? b->in_open(h, local, cb, instance) : MIDI_RES_BAD_DEVICE;
}

uint32_t in_prepare(MidiHandle h, MidiHeader* hdr) {
    return h ? owner(h)->in_prepare(h, hdr) : MIDI_RES_INVALID_HANDLE;
}
uint32_t in_add_buffer(MidiHandle h, MidiHeader* hdr) {
    return h ? owner(h)->in_add_buffer(h, hdr) : MIDI_RES_INVALID_HANDLE;
}
uint32_t in_start(MidiHandle h) { return h ? owner(h)->in_start(h) : MIDI_RES_INVALID_HANDLE; }
uint32_t in_stop(MidiHandle h) { return h ? owner(h)->in_stop(h) : MIDI_RES_INVALID_HANDLE; }
uint32_t in_reset(MidiHandle h) { return h ? owner(h)->in_reset(h) : MIDI_RES_INVALID_HANDLE; }
uint32_t in_unprepare(MidiHandle h, MidiHeader* hdr) {
    return h ? owner(h)->in_unprepare(h, hdr) : MIDI_RES_INVALID_HANDLE;
}
uint32_t in_close(MidiHandle h) { return h ? owner(h)->in_close(h) : MIDI_RES_INVALID_HANDLE; }

// Grouped like the table it fills.
const MidiPlatform kLinux = {
    "linux",
    out_count, out_caps, out_open, out_prepare, out_long_msg, out_unprepare, out_close,
    in_count, in_caps, in_open, in_prepare, in_add_buffer, in_start, in_stop, in_reset,
    in_unprepare, in_close,
    midi_backend_pause_ms,
    out_progress,
};

}  // namespace

const MidiBackend* midi_backends(int* count) {
    if (count) *count = BACKEND_COUNT;
    return BACKENDS;
}

const MidiPlatform* midi_system_platform() { return &kLinux; }

bool midi_system_reachable() {
    for (const MidiBackend& b : BACKENDS)
        if (b.probe() != MIDI_SYSTEM_NO_SERVICE) return true;
    return false;
}

// Fine when any backend is; else no access when some backend's devices are
// there but closed to this account; else no service at all.
int midi_system_problem() {
    int problem = MIDI_SYSTEM_NO_SERVICE;
    for (const MidiBackend& b : BACKENDS) {
        int p = b.probe();
        if (p == MIDI_SYSTEM_FINE) return MIDI_SYSTEM_FINE;
        if (p == MIDI_SYSTEM_NO_ACCESS) problem = p;
    }
    return problem;
}

bool midi_system_holder(const char* name, bool output, char* text, size_t n) {
    if (!name || !text || n == 0) return false;
    for (const MidiBackend& b : BACKENDS)
        if (b.holder && b.holder(name, output, text, n)) return true;
    return false;
}

bool midi_system_partner_input(const char* out_name, char* dst, size_t n) {
    if (!out_name || !dst || n == 0) return false;
    for (const MidiBackend& b : BACKENDS)
        if (b.partner_input && b.partner_input(out_name, dst, n)) return true;
    return false;
}
