#include "midi/jack/jack_midi_in.h"

#include "midi/backend.h"
#include "midi/in_stream.h"
#include "midi/jack/jack_midi.h"

#include <jack/jack.h>
#include <jack/midiport.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const char kClientName[] = "zp-midi-in";
// Clients of ours whose ports are never offered as devices.
const char kOwnPrefix[] = "zp-midi-";
const int kMaxPorts = 128;

// Names of the devices found by the latest count, by device number.
char g_in_names[kMaxPorts][MIDI_NAME_SIZE];
uint32_t g_in_count = 0;

// One open input. `active` and `lost_reported` belong to the caller's thread;
// `dead` is set by the shutdown callback.
struct JackIn {
    MidiBackendHandle base;
    jack_client_t* client;
    jack_port_t* port;
    char device[MIDI_NAME_SIZE];
    MidiInStream stream;
    bool active;
    uint32_t dead;  // the server went away
    uint64_t lost_reported;
};

void quiet(const char*) {}

jack_client_t* open_client(const char* name) {
    // libjack reports a missing server on standard error unless told otherwise.
    jack_set_error_function(quiet);
    jack_set_info_function(quiet);
    jack_status_t status;
    return jack_client_open(name, JackNoStartServer, &status);
}

int process(jack_nframes_t nframes, void* arg) {
    JackIn* in = static_cast<JackIn*>(arg);
    void* buf = jack_port_get_buffer(in->port, nframes);
    jack_nframes_t events = jack_midi_get_event_count(buf);
    for (jack_nframes_t e = 0; e < events; e++) {
        jack_midi_event_t ev;
        if (jack_midi_event_get(&ev, buf, e) == 0) in_stream_feed(&in->stream, ev.buffer, ev.size);
    }
    in_stream_publish(&in->stream);
    return 0;
}

void on_shutdown(void* arg) {
    JackIn* in = static_cast<JackIn*>(arg);
    __atomic_store_n(&in->dead, 1u, __ATOMIC_RELEASE);
}

// Ends reception: afterwards no process callback runs for this input.
void deactivate(JackIn* in) {
    if (in->active && !__atomic_load_n(&in->dead, __ATOMIC_ACQUIRE)) jack_deactivate(in->client);
    in->active = false;
    in_stream_take_over(&in->stream);
}

// Says once per loss, on the caller's thread, that received bytes were lost.
void report_loss(JackIn* in) {
    uint64_t lost = in_stream_lost(&in->stream);
    if (lost == in->lost_reported) return;
    std::fprintf(stderr, "MIDI-IN: %" PRIu64 " received bytes lost (no free buffer or no message)\n",
                 lost - in->lost_reported);
    in->lost_reported = lost;
}

}  // namespace

uint32_t midi_jack_in_count() {
    g_in_count = 0;
    jack_client_t* c = open_client("zp-midi-list");
    if (!c) return 0;
    const char** ports = jack_get_ports(c, nullptr, JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput);
    for (int i = 0; ports && ports[i] && g_in_count < uint32_t(kMaxPorts); i++) {
        if (std::strncmp(ports[i], kOwnPrefix, sizeof kOwnPrefix - 1) == 0) continue;
        if (std::strlen(ports[i]) >= MIDI_NAME_SIZE) continue;
        std::snprintf(g_in_names[g_in_count++], MIDI_NAME_SIZE, "%s", ports[i]);
    }
    if (ports) jack_free(ports);
    jack_client_close(c);
    return g_in_count;
}

uint32_t midi_jack_in_caps(uint32_t dev, MidiDevCaps* caps) {
    if (dev >= g_in_count) return MIDI_RES_BAD_DEVICE;
    std::memcpy(caps->szPname, g_in_names[dev], MIDI_NAME_SIZE);
    return MIDI_RES_OK;
}

uint32_t midi_jack_in_open(MidiHandle* h, uint32_t dev, MidiCallback cb, uintptr_t instance) {
    if (dev >= g_in_count) return MIDI_RES_BAD_DEVICE;
    JackIn* in = static_cast<JackIn*>(std::calloc(1, sizeof(JackIn)));
    if (!in) return MIDI_RES_NO_MEMORY;
    in->base.owner = midi_jack_platform();
    std::memcpy(in->device, g_in_names[dev], MIDI_NAME_SIZE);
    in_stream_init(&in->stream, cb, in, instance);
    in->client = open_client(kClientName);
    if (!in->client) {
        std::free(in);
        return MIDI_RES_NO_DRIVER;
    }
    in->port = jack_port_register(in->client, "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    if (!in->port || jack_set_process_callback(in->client, process, in) != 0) {
        jack_client_close(in->client);
        std::free(in);
        return MIDI_RES_ERROR;
    }
    jack_on_shutdown(in->client, on_shutdown, in);
    // The device must still be there: reception starts later, but a name that
    // no port has any more is not a device.
    if (!jack_port_by_name(in->client, in->device)) {
        jack_client_close(in->client);
        std::free(in);
        return MIDI_RES_NO_DEVICE;
    }
    *h = in;
    return MIDI_RES_OK;
}

uint32_t midi_jack_in_prepare(MidiHandle h, MidiHeader* hdr) {
    if (!h) return MIDI_RES_INVALID_HANDLE;
    return midi_header_prepare(hdr, true);
}

uint32_t midi_jack_in_add_buffer(MidiHandle h, MidiHeader* hdr) {
    JackIn* in = static_cast<JackIn*>(h);
    if (!in) return MIDI_RES_INVALID_HANDLE;
    if (midi_header_check(hdr) != MIDI_RES_OK) return MIDI_RES_UNPREPARED;
    report_loss(in);
    return in_stream_add(&in->stream, hdr);
}

uint32_t midi_jack_in_start(MidiHandle h) {
    JackIn* in = static_cast<JackIn*>(h);
    if (!in) return MIDI_RES_INVALID_HANDLE;
    if (__atomic_load_n(&in->dead, __ATOMIC_ACQUIRE)) return MIDI_RES_NO_DEVICE;
    if (in->active) return MIDI_RES_OK;
    if (jack_activate(in->client) != 0) return MIDI_RES_ERROR;
    in->active = true;
    if (jack_connect(in->client, in->device, jack_port_name(in->port)) != 0) {
        deactivate(in);
        return MIDI_RES_NO_DEVICE;
    }
    return MIDI_RES_OK;
}

uint32_t midi_jack_in_stop(MidiHandle h) {
    JackIn* in = static_cast<JackIn*>(h);
    if (!in) return MIDI_RES_INVALID_HANDLE;
    deactivate(in);
    in_stream_return(&in->stream, false);
    report_loss(in);
    return MIDI_RES_OK;
}

uint32_t midi_jack_in_reset(MidiHandle h) {
    JackIn* in = static_cast<JackIn*>(h);
    if (!in) return MIDI_RES_INVALID_HANDLE;
    deactivate(in);
    in_stream_return(&in->stream, true);
    report_loss(in);
    return MIDI_RES_OK;
}

uint32_t midi_jack_in_unprepare(MidiHandle h, MidiHeader* hdr) {
    JackIn* in = static_cast<JackIn*>(h);
    if (!in) return MIDI_RES_INVALID_HANDLE;
    if (!hdr) return MIDI_RES_INVALID_PARAM;
    return midi_header_unprepare(hdr, (hdr->dwFlags & MIDI_HDR_INQUEUE) != 0, false);
}

uint32_t midi_jack_in_close(MidiHandle h) {
    JackIn* in = static_cast<JackIn*>(h);
    if (!in) return MIDI_RES_INVALID_HANDLE;
    if (in->active || in_stream_holding(&in->stream)) return MIDI_RES_STILL_PLAYING;
    jack_client_close(in->client);
    std::free(in);
    return MIDI_RES_OK;
}

uint64_t midi_jack_in_lost(MidiHandle h) {
    return h ? in_stream_lost(&static_cast<JackIn*>(h)->stream) : 0;
}

namespace {

bool copy_name_into(const char* name, char* dst, size_t n) {
    if (std::strlen(name) >= n) return false;
    std::memcpy(dst, name, std::strlen(name) + 1);
    return true;
}

}  // namespace

// JACK: an output port of the same client as the output's input port
// ("client:port"), the client that is the device. A bridge is one client for
// many devices, its ports named after them: "... (playback_0) Zorva Pro MIDI
// 1" and "... (capture_0) Zorva Pro MIDI 1" (PipeWire), "... (playback): ..."
// and "... (capture): ..." (a2jmidid). The port whose name is the output's
// with "playback" read as "capture" is taken first, else the client's first.
bool midi_jack_partner_input(const char* out_name, char* dst, size_t n) {
    if (!out_name || !dst || n == 0) return false;
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
        if (twin == caps.szPname) return copy_name_into(caps.szPname, dst, n);
        if (first < 0) first = int(i);
    }
    return first >= 0 && midi_jack_in_caps(uint32_t(first), &caps) == MIDI_RES_OK && copy_name_into(caps.szPname, dst, n);
}
