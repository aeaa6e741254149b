#include "midi/jack/jack_midi.h"

#include "midi/backend.h"
#include "midi/jack/jack_midi_in.h"

#include <jack/jack.h>
#include <jack/midiport.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

const char kClientName[] = "zp-midi-out";
// Clients of ours whose ports are never offered as devices.
const char kOwnPrefix[] = "zp-midi-";
const int kMaxPorts = 128;

// Names of the devices found by the latest count, by device number.
char g_out_names[kMaxPorts][MIDI_NAME_SIZE];
uint32_t g_out_count = 0;

// One open output. `held` is the buffer with the driver: set by long_msg on
// the caller's thread, cleared by the process thread when it is finished (or
// by the shutdown callback). `offset` and `written_all` belong to the process
// thread while a buffer is held.
struct JackOut {
    MidiBackendHandle base;
    jack_client_t* client;
    jack_port_t* port;
    MidiCallback cb;
    uintptr_t instance;
    MidiHeader* held;
    uint32_t offset;
    uint32_t written_all;
    uint32_t lost;  // the buffer was not delivered whole
    uint32_t dead;  // the server went away
    uint32_t xruns;          // xruns the server reported so far
    uint32_t xruns_at_start; // their number when the held buffer began
    int64_t cycle_us;        // steady clock at the start of the latest cycle
    int64_t period_us;       // the length of a cycle
};

int64_t steady_us() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

template <typename T>
T load(T* w) {
    return __atomic_load_n(w, __ATOMIC_ACQUIRE);
}
template <typename T>
void store(T* w, T v) {
    __atomic_store_n(w, v, __ATOMIC_RELEASE);
}

void quiet(const char*) {}

// libjack reports a missing server on standard error unless told otherwise.
void silence_jack() {
    static bool done = false;
    if (done) return;
    done = true;
    jack_set_error_function(quiet);
    jack_set_info_function(quiet);
}

jack_client_t* open_client(const char* name) {
    silence_jack();
    jack_status_t status;
    return jack_client_open(name, JackNoStartServer, &status);
}

// Releases the held buffer and tells the port; `lost` when it did not go out
// whole. Runs on the process thread or the shutdown callback's; whichever
// takes the buffer first reports it.
void finish(JackOut* o, bool lost) {
    MidiHeader* h = __atomic_exchange_n(&o->held, static_cast<MidiHeader*>(nullptr), __ATOMIC_ACQ_REL);
    if (!h) return;
    if (lost) store(&o->lost, uint32_t(1));
    o->cb(o, MIDI_MOM_DONE, o->instance, reinterpret_cast<uintptr_t>(h), 0);
}

// Length of the next event starting at d[0], at most `limit` bytes: one
// message, or as much of a SysEx as fits. A SysEx ends with its F7; any other
// status byte starts a new event; a real-time byte is an event of its own.
size_t event_length(const uint8_t* d, size_t limit) {
    if (d[0] >= 0xF7) return 1;
    size_t e = 1;
    while (e < limit) {
        uint8_t b = d[e];
        if (b >= 0x80 && b != 0xF7) break;
        e++;
        if (b == 0xF7) break;
    }
    return e;
}

int process(jack_nframes_t nframes, void* arg) {
    JackOut* o = static_cast<JackOut*>(arg);
    store(&o->cycle_us, steady_us());
    store(&o->period_us, int64_t(nframes) * 1000000 / int64_t(jack_get_sample_rate(o->client)));
    void* buf = jack_port_get_buffer(o->port, nframes);
    jack_midi_clear_buffer(buf);
    MidiHeader* h = load(&o->held);
    if (!h) return 0;
    if (o->written_all) {
        // Last cycle's events have been read by every connected client,
        // unless a client was late meanwhile: the server skips a late
        // client's cycle, and whatever it should have read is gone.
        o->written_all = 0;
        o->offset = 0;
        finish(o, load(&o->xruns) != o->xruns_at_start);
        return 0;
    }
    if (!jack_port_connected(o->port)) {
        // The device's port went away: nobody would receive these bytes.
        o->offset = 0;
        finish(o, true);
        return 0;
    }
    if (o->offset == 0) o->xruns_at_start = load(&o->xruns);
    const uint8_t* d = reinterpret_cast<const uint8_t*>(h->lpData);
    uint32_t len = h->dwBufferLength;
    while (o->offset < len) {
        size_t space = jack_midi_max_event_size(buf);
        if (space == 0) break;
        size_t rest = len - o->offset;
        size_t n = event_length(d + o->offset, rest < space ? rest : space);
        jack_midi_data_t* dst = jack_midi_event_reserve(buf, 0, n);
        if (!dst) break;
        std::memcpy(dst, d + o->offset, n);
        o->offset += uint32_t(n);
    }
    if (o->offset >= len) o->written_all = 1;
    return 0;
}

int on_xrun(void* arg) {
    JackOut* o = static_cast<JackOut*>(arg);
    __atomic_add_fetch(&o->xruns, 1, __ATOMIC_RELEASE);
    return 0;
}

void on_shutdown(void* arg) {
    JackOut* o = static_cast<JackOut*>(arg);
    store(&o->dead, uint32_t(1));
    finish(o, true);
}

}  // namespace

bool midi_jack_reachable() {
    jack_client_t* c = open_client("zp-midi-probe");
    if (c) jack_client_close(c);
    return c != nullptr;
}

namespace {

uint32_t out_count() {
    g_out_count = 0;
    jack_client_t* c = open_client("zp-midi-list");
    if (!c) return 0;
    const char** ports = jack_get_ports(c, nullptr, JACK_DEFAULT_MIDI_TYPE, JackPortIsInput);
    for (int i = 0; ports && ports[i] && g_out_count < uint32_t(kMaxPorts); i++) {
        if (std::strncmp(ports[i], kOwnPrefix, sizeof kOwnPrefix - 1) == 0) continue;
        if (std::strlen(ports[i]) >= MIDI_NAME_SIZE) continue;
        std::snprintf(g_out_names[g_out_count++], MIDI_NAME_SIZE, "%s", ports[i]);
    }
    if (ports) jack_free(ports);
    jack_client_close(c);
    return g_out_count;
}

uint32_t out_caps(uint32_t dev, MidiDevCaps* caps) {
    if (dev >= g_out_count) return MIDI_RES_BAD_DEVICE;
    std::memcpy(caps->szPname, g_out_names[dev], MIDI_NAME_SIZE);
    return MIDI_RES_OK;
}

uint32_t out_close(MidiHandle h);

uint32_t out_open(MidiHandle* h, uint32_t dev, MidiCallback cb, uintptr_t instance) {
    if (dev >= g_out_count) return MIDI_RES_BAD_DEVICE;
    JackOut* o = static_cast<JackOut*>(std::calloc(1, sizeof(JackOut)));
    if (!o) return MIDI_RES_NO_MEMORY;
    o->base.owner = midi_jack_platform();
    o->cb = cb;
    o->instance = instance;
    o->client = open_client(kClientName);
    if (!o->client) {
        std::free(o);
        return MIDI_RES_NO_DRIVER;
    }
    o->port = jack_port_register(o->client, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    if (!o->port || jack_set_process_callback(o->client, process, o) != 0) {
        jack_client_close(o->client);
        std::free(o);
        return MIDI_RES_ERROR;
    }
    jack_on_shutdown(o->client, on_shutdown, o);
    jack_set_xrun_callback(o->client, on_xrun, o);
    if (jack_activate(o->client) != 0) {
        jack_client_close(o->client);
        std::free(o);
        return MIDI_RES_ERROR;
    }
    if (jack_connect(o->client, jack_port_name(o->port), g_out_names[dev]) != 0) {
        jack_deactivate(o->client);
        jack_client_close(o->client);
        std::free(o);
        return MIDI_RES_NO_DEVICE;
    }
    *h = o;
    return MIDI_RES_OK;
}

uint32_t out_prepare(MidiHandle h, MidiHeader* hdr) {
    if (!h) return MIDI_RES_INVALID_HANDLE;
    return midi_header_prepare(hdr, false);
}

uint32_t out_long_msg(MidiHandle h, MidiHeader* hdr) {
    JackOut* o = static_cast<JackOut*>(h);
    if (!o) return MIDI_RES_INVALID_HANDLE;
    if (midi_header_check(hdr) != MIDI_RES_OK) return MIDI_RES_UNPREPARED;
    if (load(&o->dead)) return MIDI_RES_NO_DEVICE;
    if (load(&o->held)) return MIDI_RES_NOT_READY;
    midi_header_queued(hdr);
    store(&o->lost, uint32_t(0));
    store(&o->held, hdr);
    return MIDI_RES_OK;
}

uint32_t out_unprepare(MidiHandle h, MidiHeader* hdr) {
    JackOut* o = static_cast<JackOut*>(h);
    if (!o) return MIDI_RES_INVALID_HANDLE;
    if (!hdr) return MIDI_RES_INVALID_PARAM;
    bool held = load(&o->held) == hdr;
    bool lost = !held && __atomic_exchange_n(&o->lost, uint32_t(0), __ATOMIC_ACQ_REL);
    return midi_header_unprepare(hdr, held, lost);
}

// A buffer finishes at the start of a cycle: the one after its last bytes
// went out. The caller comes back just after the next cycle has begun.
uint32_t out_progress(MidiHandle h, uint32_t* held, uint32_t* next_us) {
    JackOut* o = static_cast<JackOut*>(h);
    if (!o) return MIDI_RES_INVALID_HANDLE;
    *held = 0;
    *next_us = 0;
    int64_t start = load(&o->cycle_us), period = load(&o->period_us);
    if (start == 0 || period <= 0) return MIDI_RES_OK;
    const int64_t margin = 300;  // for the cycle's own work
    int64_t next = start + period + margin - steady_us();
    while (next <= 0) next += period;
    *next_us = uint32_t(next);
    return MIDI_RES_OK;
}

uint32_t out_close(MidiHandle h) {
    JackOut* o = static_cast<JackOut*>(h);
    if (!o) return MIDI_RES_INVALID_HANDLE;
    if (load(&o->held)) return MIDI_RES_STILL_PLAYING;
    jack_deactivate(o->client);
    jack_client_close(o->client);
    std::free(o);
    return MIDI_RES_OK;
}

// Grouped like the table it fills; the input side is in jack_midi_in.cpp.
const MidiPlatform kJack = {
    "jack",
    out_count, out_caps, out_open, out_prepare, out_long_msg, out_unprepare, out_close,
    midi_jack_in_count, midi_jack_in_caps, midi_jack_in_open, midi_jack_in_prepare,
    midi_jack_in_add_buffer, midi_jack_in_start, midi_jack_in_stop, midi_jack_in_reset,
    midi_jack_in_unprepare, midi_jack_in_close,
    midi_backend_pause_ms,
    out_progress,
};

}  // namespace

const MidiPlatform* midi_jack_platform() { return &kJack; }

int midi_jack_probe() { return midi_jack_reachable() ? MIDI_SYSTEM_FINE : MIDI_SYSTEM_NO_SERVICE; }
