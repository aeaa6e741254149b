#include "midi/alsa/alsa_midi_in.h"

#include "midi/backend.h"
#include "midi/in_stream.h"

#include <alsa/asoundlib.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <new>
#include <poll.h>
#include <thread>

namespace {

// ---- the real ALSA calls

int real_list_inputs(AlsaDeviceInfo* out, int max) {
    return midi_alsa_list_rawmidi(out, max, SND_RAWMIDI_STREAM_INPUT);
}

void alsa_quiet(const char*, int, const char*, int, const char*, ...) {}

int real_open_input(const char* id, void** raw) {
    // ALSA's own error lines would only repeat what the port reports.
    snd_lib_error_set_handler(alsa_quiet);
    snd_rawmidi_t* in = nullptr;
    int r = snd_rawmidi_open(&in, nullptr, id, SND_RAWMIDI_NONBLOCK);
    if (r < 0) return r;
    // The kernel starts a device's input only at the first poll or read, and
    // a USB-MIDI device drops what arrives before that. The reader thread may
    // first run well after an answer is already on its way, so the input is
    // started here, before anything can be asked.
    midi_alsa_wait_ready(in, 0, POLLIN);
    *raw = in;
    return 0;
}

long real_read(void* raw, uint8_t* data, size_t n) {
    return long(snd_rawmidi_read(static_cast<snd_rawmidi_t*>(raw), data, n));
}

int real_wait_readable(void* raw, int timeout_ms) { return midi_alsa_wait_ready(raw, timeout_ms, POLLIN); }

int real_close(void* raw) { return snd_rawmidi_close(static_cast<snd_rawmidi_t*>(raw)); }

const AlsaRawmidiInOps kRealOps = {real_list_inputs, real_open_input, real_read, real_wait_readable, real_close};

const AlsaRawmidiInOps* g_ops = &kRealOps;

// ---- the backend

const int kMaxDevices = 64;
const int kPollMs = 50;  // how often a waiting reader looks for stop

// Devices found by the latest count, by device number.
AlsaDeviceInfo g_ins[kMaxDevices];
uint32_t g_in_count = 0;

// One open input. `quit` and `dead` are shared with the reader (atomic); the
// rest belongs to the caller's thread, the stream as in_stream.h says.
struct AlsaIn {
    MidiBackendHandle base;
    void* raw;
    const AlsaRawmidiInOps* ops;
    MidiInStream stream;
    std::thread reader;
    bool running;
    uint32_t quit;
    uint32_t dead;  // the device failed or went away
    uint64_t lost_reported;
};

uint32_t load(const uint32_t* w) { return __atomic_load_n(w, __ATOMIC_ACQUIRE); }
void store(uint32_t* w, uint32_t v) { __atomic_store_n(w, v, __ATOMIC_RELEASE); }

void reader_main(AlsaIn* in) {
    uint8_t buf[256];
    while (!load(&in->quit)) {
        int w = in->ops->wait_readable(in->raw, kPollMs);
        if (w < 0) break;
        if (w == 0) continue;
        long n;
        while ((n = in->ops->read(in->raw, buf, sizeof buf)) > 0) {
            in_stream_feed(&in->stream, buf, size_t(n));
            in_stream_publish(&in->stream);
        }
        if (n < 0 && n != -EAGAIN) break;
    }
    if (!load(&in->quit)) store(&in->dead, 1);
    in_stream_publish(&in->stream);
}

// Ends reception: afterwards the reader is gone.
void stop_reader(AlsaIn* in) {
    if (!in->running) return;
    store(&in->quit, 1);
    in->reader.join();
    in->running = false;
    in_stream_take_over(&in->stream);
}

// Says once per loss, on the caller's thread, that received bytes were lost.
void report_loss(AlsaIn* in) {
    uint64_t lost = in_stream_lost(&in->stream);
    if (lost == in->lost_reported) return;
    std::fprintf(stderr, "MIDI-IN: %" PRIu64 " received bytes lost (no free buffer or no message)\n",
                 lost - in->lost_reported);
    in->lost_reported = lost;
}

uint32_t result_of(int err) {
    switch (err) {
        case -EBUSY: return MIDI_RES_ALLOCATED;
        case -ENOMEM: return MIDI_RES_NO_MEMORY;
        case -ENODEV:
        case -ENXIO:
        case -ENOENT: return MIDI_RES_NO_DEVICE;
        default: return MIDI_RES_ERROR;
    }
}

}  // namespace

uint32_t midi_alsa_in_count() {
    int n = g_ops->list_inputs(g_ins, kMaxDevices);
    g_in_count = n < 0 ? 0 : uint32_t(n);
    return g_in_count;
}

uint32_t midi_alsa_in_caps(uint32_t dev, MidiDevCaps* caps) {
    if (dev >= g_in_count) return MIDI_RES_BAD_DEVICE;
    std::memcpy(caps->szPname, g_ins[dev].name, MIDI_NAME_SIZE);
    caps->szPname[MIDI_NAME_SIZE - 1] = 0;
    return MIDI_RES_OK;
}

uint32_t midi_alsa_in_open(MidiHandle* h, uint32_t dev, MidiCallback cb, uintptr_t instance) {
    if (dev >= g_in_count) return MIDI_RES_BAD_DEVICE;
    AlsaIn* in = new (std::nothrow) AlsaIn();
    if (!in) return MIDI_RES_NO_MEMORY;
    in->base.owner = midi_alsa_platform();
    in->ops = g_ops;
    in_stream_init(&in->stream, cb, in, instance);
    int r = in->ops->open_input(g_ins[dev].id, &in->raw);
    if (r < 0) {
        delete in;
        return result_of(r);
    }
    *h = in;
    return MIDI_RES_OK;
}

uint32_t midi_alsa_in_prepare(MidiHandle h, MidiHeader* hdr) {
    if (!h) return MIDI_RES_INVALID_HANDLE;
    return midi_header_prepare(hdr, true);
}

uint32_t midi_alsa_in_add_buffer(MidiHandle h, MidiHeader* hdr) {
    AlsaIn* in = static_cast<AlsaIn*>(h);
    if (!in) return MIDI_RES_INVALID_HANDLE;
    if (midi_header_check(hdr) != MIDI_RES_OK) return MIDI_RES_UNPREPARED;
    report_loss(in);
    return in_stream_add(&in->stream, hdr);
}

uint32_t midi_alsa_in_start(MidiHandle h) {
    AlsaIn* in = static_cast<AlsaIn*>(h);
    if (!in) return MIDI_RES_INVALID_HANDLE;
    if (load(&in->dead)) return MIDI_RES_NO_DEVICE;
    if (in->running) return MIDI_RES_OK;
    store(&in->quit, 0);
    in->reader = std::thread(reader_main, in);
    in->running = true;
    return MIDI_RES_OK;
}

uint32_t midi_alsa_in_stop(MidiHandle h) {
    AlsaIn* in = static_cast<AlsaIn*>(h);
    if (!in) return MIDI_RES_INVALID_HANDLE;
    stop_reader(in);
    in_stream_return(&in->stream, false);
    report_loss(in);
    return MIDI_RES_OK;
}

uint32_t midi_alsa_in_reset(MidiHandle h) {
    AlsaIn* in = static_cast<AlsaIn*>(h);
    if (!in) return MIDI_RES_INVALID_HANDLE;
    stop_reader(in);
    in_stream_return(&in->stream, true);
    report_loss(in);
    return MIDI_RES_OK;
}

uint32_t midi_alsa_in_unprepare(MidiHandle h, MidiHeader* hdr) {
    if (!h) return MIDI_RES_INVALID_HANDLE;
    if (!hdr) return MIDI_RES_INVALID_PARAM;
    return midi_header_unprepare(hdr, (hdr->dwFlags & MIDI_HDR_INQUEUE) != 0, false);
}

uint32_t midi_alsa_in_close(MidiHandle h) {
    AlsaIn* in = static_cast<AlsaIn*>(h);
    if (!in) return MIDI_RES_INVALID_HANDLE;
    if (in->running || in_stream_holding(&in->stream)) return MIDI_RES_STILL_PLAYING;
    in->ops->close(in->raw);
    delete in;
    return MIDI_RES_OK;
}

int midi_alsa_list_inputs(AlsaDeviceInfo* out, int max) { return g_ops->list_inputs(out, max); }

uint64_t midi_alsa_in_lost(MidiHandle h) {
    return h ? in_stream_lost(&static_cast<AlsaIn*>(h)->stream) : 0;
}

void midi_alsa_set_in_ops(const AlsaRawmidiInOps* ops) { g_ops = ops ? ops : &kRealOps; }
