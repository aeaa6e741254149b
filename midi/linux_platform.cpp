// The system platform on Linux: the JACK ports followed by the ALSA rawmidi
// devices. Device numbers are split across the backends in that order, each
// backend's count being taken afresh by every count call. Direct hardware
// comes last because the last device whose name looks like the amp's is the
// one chosen: an amp reachable both ways is then reached through rawmidi,
// not through a bridge that may drop SysEx.
#include "midi/alsa/alsa_midi.h"
#include "midi/alsa/alsa_midi_in.h"
#include "midi/backend.h"
#include "midi/jack/jack_midi.h"
#include "midi/jack/jack_midi_in.h"

#include <alsa/asoundlib.h>

#include <cstring>
#include <string>
#include <ctime>

namespace {

const int kBackends = 2;

// In device-number order.
const MidiPlatform* backend(int i) { return i == 0 ? midi_jack_platform() : midi_alsa_platform(); }

// Counts from the latest count call, per side; device numbers are resolved
// against them.
uint32_t g_out_counts[kBackends];
uint32_t g_in_counts[kBackends];

// Backend owning device `dev`, with *local set to its number there.
const MidiPlatform* route(const uint32_t* counts, uint32_t dev, uint32_t* local) {
    for (int i = 0; i < kBackends; i++) {
        if (dev < counts[i]) {
            *local = dev;
            return backend(i);
        }
        dev -= counts[i];
    }
    return nullptr;
}

const MidiPlatform* owner(MidiHandle h) { return static_cast<MidiBackendHandle*>(h)->owner; }

uint32_t out_count() {
    uint32_t n = 0;
    for (int i = 0; i < kBackends; i++) n += g_out_counts[i] = backend(i)->out_count();
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
    for (int i = 0; i < kBackends; i++) n += g_in_counts[i] = backend(i)->in_count();
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

uint32_t midi_backend_no_count() { return 0; }
uint32_t midi_backend_no_caps(uint32_t, MidiDevCaps*) { return MIDI_RES_BAD_DEVICE; }
uint32_t midi_backend_no_open(MidiHandle*, uint32_t, MidiCallback, uintptr_t) {
    return MIDI_RES_BAD_DEVICE;
}
uint32_t midi_backend_no_buffer(MidiHandle, MidiHeader*) { return MIDI_RES_INVALID_HANDLE; }
uint32_t midi_backend_no_handle(MidiHandle) { return MIDI_RES_INVALID_HANDLE; }

void midi_backend_pause_ms(uint32_t ms) {
    timespec ts;
    ts.tv_sec = ms / 1000;
    ts.tv_nsec = long(ms % 1000) * 1000000L;
    while (nanosleep(&ts, &ts) != 0) {
    }
}

const MidiPlatform* midi_system_platform() { return &kLinux; }

namespace {

bool copy_name(const char* name, char* dst, size_t n) {
    if (std::strlen(name) >= n) return false;
    std::memcpy(dst, name, std::strlen(name) + 1);
    return true;
}

// ALSA rawmidi: the input subdevice of the same card and device as the
// output, the same subdevice number first. Card numbers are only compared,
// never shown or kept.
bool alsa_partner(const char* out_name, char* dst, size_t n) {
    static AlsaDeviceInfo outs[64], ins[64];
    int no = midi_alsa_list_outputs(outs, 64);
    const char* id = nullptr;
    for (int i = 0; i < no && !id; i++)
        if (std::strcmp(outs[i].name, out_name) == 0) id = outs[i].id;
    if (!id) return false;
    const char* last_comma = std::strrchr(id, ',');
    size_t card_dev = last_comma ? size_t(last_comma - id) + 1 : std::strlen(id);  // "hw:C,D,"
    int ni = midi_alsa_list_inputs(ins, 64);
    for (int i = 0; i < ni; i++)
        if (std::strcmp(ins[i].id, id) == 0) return copy_name(ins[i].name, dst, n);
    for (int i = 0; i < ni; i++)
        if (std::strncmp(ins[i].id, id, card_dev) == 0) return copy_name(ins[i].name, dst, n);
    return false;
}

// JACK: an output port of the same client as the output's input port
// ("client:port"), the client that is the device. A bridge is one client for
// many devices, its ports named after them: "... (playback_0) Zorva Pro MIDI
// 1" and "... (capture_0) Zorva Pro MIDI 1" (PipeWire), "... (playback): ..."
// and "... (capture): ..." (a2jmidid). The port whose name is the output's
// with "playback" read as "capture" is taken first, else the client's first.
bool jack_partner(const char* out_name, char* dst, size_t n) {
    const char* colon = std::strchr(out_name, ':');
    if (!colon) return false;
    size_t client = size_t(colon - out_name) + 1;
    std::string twin = out_name;
    size_t at = twin.find("playback", client);
    if (at != std::string::npos) twin.replace(at, 8, "capture");
    uint32_t count = midi_jack_in_count();
    MidiDevCaps caps;
    int first = -1;
    for (uint32_t i = 0; i < count; i++) {
        if (midi_jack_in_caps(i, &caps) != MIDI_RES_OK) continue;
        if (std::strncmp(caps.szPname, out_name, client) != 0) continue;
        if (twin == caps.szPname) return copy_name(caps.szPname, dst, n);
        if (first < 0) first = int(i);
    }
    return first >= 0 && midi_jack_in_caps(uint32_t(first), &caps) == MIDI_RES_OK && copy_name(caps.szPname, dst, n);
}

}  // namespace

bool midi_system_reachable() {
    int card = -1;
    if (snd_card_next(&card) == 0 && card >= 0) return true;
    return midi_jack_reachable();
}

int midi_system_problem() {
    int cards = midi_alsa_card_access();
    if (cards == MIDI_SYSTEM_FINE || midi_jack_reachable()) return MIDI_SYSTEM_FINE;
    return cards;
}

bool midi_system_holder(const char* name, bool output, char* text, size_t n) {
    if (!name || !text || n == 0) return false;
    static AlsaDeviceInfo devs[64];
    int count = output ? midi_alsa_list_outputs(devs, 64) : midi_alsa_list_inputs(devs, 64);
    for (int i = 0; i < count; i++) {
        if (std::strcmp(devs[i].name, name) != 0) continue;
        AlsaHolder h;
        if (!midi_alsa_find_holder(devs[i].id, output, name, &h)) return false;
        midi_alsa_holder_text(name, &h, text, n);
        return true;
    }
    return false;
}

bool midi_system_partner_input(const char* out_name, char* dst, size_t n) {
    if (!out_name || !dst || n == 0) return false;
    return alsa_partner(out_name, dst, n) || jack_partner(out_name, dst, n);
}
