#include "midi/alsa/alsa_midi.h"
#include "midi/midi_out.h"

#include "midi/alsa/alsa_midi_in.h"
#include "midi/backend.h"

#include <alsa/asoundlib.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <poll.h>
#include <thread>

namespace {

// ---- the real ALSA calls

int real_list_outputs(AlsaDeviceInfo* out, int max) {
    return midi_alsa_list_rawmidi(out, max, SND_RAWMIDI_STREAM_OUTPUT);
}

// The driver's buffer holds a whole port buffer, so each one goes to the
// kernel in one write instead of a write for every few bytes it frees.
constexpr size_t kDriverBuffer = 65536;
static_assert(kDriverBuffer >= MIDI_OUT_BUFFER_SIZE, "a port buffer fits the driver's");

// A device whose buffer does not move for this long counts as stalled.
constexpr int kDrainStallMs = 10000;

// ALSA's own error lines would only repeat what the port reports.
void alsa_quiet(const char*, int, const char*, int, const char*, ...) {}

int real_open_output(const char* id, void** raw) {
    snd_lib_error_set_handler(alsa_quiet);
    snd_rawmidi_t* out = nullptr;
    int r = snd_rawmidi_open(nullptr, &out, id, SND_RAWMIDI_NONBLOCK);
    if (r < 0) return r;
    snd_rawmidi_params_t* params = nullptr;
    if (snd_rawmidi_params_malloc(&params) == 0) {
        // Writable means (all but) empty: a port buffer goes in whole anyway, and the
        // drain then sleeps in poll until the device has taken everything.
        // A device that refuses keeps its own sizes; writes come in smaller
        // pieces and the drain looks every millisecond then.
        if (snd_rawmidi_params_current(out, params) == 0 &&
            snd_rawmidi_params_set_buffer_size(out, params, kDriverBuffer) == 0 &&
            snd_rawmidi_params_set_avail_min(out, params, kDriverBuffer - 1) == 0)
            snd_rawmidi_params(out, params);
        snd_rawmidi_params_free(params);
    }
    *raw = out;
    return 0;
}

long real_write(void* raw, const uint8_t* data, size_t n) {
    return long(snd_rawmidi_write(static_cast<snd_rawmidi_t*>(raw), data, n));
}

int real_wait_writable(void* raw, int timeout_ms) { return midi_alsa_wait_ready(raw, timeout_ms, POLLOUT); }

// Waits until the driver has sent everything written. The kernel's own drain
// sleeps through a device that vanishes under it until its 10 s timeout, so
// the buffer is watched emptying instead (in poll, or a millisecond at a
// time), and an error on the device (gone: -ENODEV) ends the wait at once. The kernel's
// drain then only has what the hardware still holds.
int real_drain(void* raw) {
    snd_rawmidi_t* r = static_cast<snd_rawmidi_t*>(raw);
    snd_rawmidi_params_t* params;
    snd_rawmidi_status_t* status;
    snd_rawmidi_params_alloca(&params);
    snd_rawmidi_status_alloca(&status);
    if (snd_rawmidi_params_current(r, params) < 0) return snd_rawmidi_drain(r);
    size_t size = snd_rawmidi_params_get_buffer_size(params);
    // ALSA allows at most one byte short of the buffer as the minimum.
    bool wakes_when_empty = snd_rawmidi_params_get_avail_min(params) + 1 >= size;
    using Clock = std::chrono::steady_clock;
    auto progress = Clock::now();
    size_t last = 0;
    for (;;) {
        int e = snd_rawmidi_status(r, status);
        if (e < 0) return e;
        size_t avail = snd_rawmidi_status_get_avail(status);
        if (avail >= size) break;
        if (avail != last) {
            last = avail;
            progress = Clock::now();
        } else if (Clock::now() - progress > std::chrono::milliseconds(kDrainStallMs)) {
            return -EIO;
        }
        e = midi_alsa_wait_ready(raw, wakes_when_empty ? 20 : 0, POLLOUT);
        if (e < 0) return e;
        if (!wakes_when_empty) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return snd_rawmidi_drain(r);
}

int real_close(void* raw) { return snd_rawmidi_close(static_cast<snd_rawmidi_t*>(raw)); }

const AlsaRawmidiOps kRealOps = {
    real_list_outputs, real_open_output, real_write, real_wait_writable, real_drain, real_close,
    kDrainStallMs,
};

const AlsaRawmidiOps* g_ops = &kRealOps;

// ---- the backend

const int kMaxDevices = 64;
const int kPollMs = 50;  // how often a waiting writer looks for close

// Devices found by the latest count, by device number.
AlsaDeviceInfo g_outs[kMaxDevices];
uint32_t g_out_count = 0;

// One open output. `held`, `lost`, `dead` and `quit` are guarded by `m`; the
// buffer's bytes belong to the writer while `held` points at its header.
struct AlsaOut {
    MidiBackendHandle base;
    void* raw;
    const AlsaRawmidiOps* ops;
    MidiCallback cb;
    uintptr_t instance;
    std::mutex m;
    std::condition_variable cv;
    MidiHeader* held;
    bool lost;
    bool dead;
    bool quit;
    std::thread writer;
};

// Writes all of `len` bytes; 0 or a negative errno. Gives up when the device
// takes nothing for the stall time or the output is being closed.
int write_all(AlsaOut* o, const uint8_t* d, uint32_t len) {
    using Clock = std::chrono::steady_clock;
    uint32_t off = 0;
    auto progress = Clock::now();
    while (off < len) {
        {
            std::lock_guard<std::mutex> l(o->m);
            if (o->quit) return -ECANCELED;
        }
        long r = o->ops->write(o->raw, d + off, len - off);
        if (r > 0) {
            off += uint32_t(r);
            progress = Clock::now();
            continue;
        }
        if (r < 0 && r != -EAGAIN) return int(r);
        if (Clock::now() - progress > std::chrono::milliseconds(o->ops->stall_ms)) return -EIO;
        int w = o->ops->wait_writable(o->raw, kPollMs);
        if (w < 0) return w;
    }
    return 0;
}

void writer_main(AlsaOut* o) {
    for (;;) {
        MidiHeader* h;
        {
            std::unique_lock<std::mutex> l(o->m);
            o->cv.wait(l, [o] { return o->quit || o->held; });
            if (o->quit) return;
            h = o->held;
        }
        int r = write_all(o, reinterpret_cast<const uint8_t*>(h->lpData), h->dwBufferLength);
        if (r == 0) r = o->ops->drain(o->raw);
        {
            std::lock_guard<std::mutex> l(o->m);
            o->held = nullptr;
            o->lost = r != 0;
            if (r == -ENODEV || r == -EIO || r == -ENXIO) o->dead = true;
        }
        o->cb(o, MIDI_MOM_DONE, o->instance, reinterpret_cast<uintptr_t>(h), 0);
    }
}

uint32_t out_count() {
    int n = g_ops->list_outputs(g_outs, kMaxDevices);
    g_out_count = n < 0 ? 0 : uint32_t(n);
    return g_out_count;
}

uint32_t out_caps(uint32_t dev, MidiDevCaps* caps) {
    if (dev >= g_out_count) return MIDI_RES_BAD_DEVICE;
    std::memcpy(caps->szPname, g_outs[dev].name, MIDI_NAME_SIZE);
    caps->szPname[MIDI_NAME_SIZE - 1] = 0;
    return MIDI_RES_OK;
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

uint32_t out_open(MidiHandle* h, uint32_t dev, MidiCallback cb, uintptr_t instance) {
    if (dev >= g_out_count) return MIDI_RES_BAD_DEVICE;
    AlsaOut* o = new (std::nothrow) AlsaOut();
    if (!o) return MIDI_RES_NO_MEMORY;
    o->base.owner = midi_alsa_platform();
    o->ops = g_ops;
    o->cb = cb;
    o->instance = instance;
    int r = o->ops->open_output(g_outs[dev].id, &o->raw);
    if (r < 0) {
        delete o;
        return result_of(r);
    }
    o->writer = std::thread(writer_main, o);
    *h = o;
    return MIDI_RES_OK;
}

uint32_t out_prepare(MidiHandle h, MidiHeader* hdr) {
    if (!h) return MIDI_RES_INVALID_HANDLE;
    if (!hdr || !hdr->lpData) return MIDI_RES_INVALID_PARAM;
    hdr->dwFlags |= MIDI_HDR_PREPARED;
    return MIDI_RES_OK;
}

uint32_t out_long_msg(MidiHandle h, MidiHeader* hdr) {
    AlsaOut* o = static_cast<AlsaOut*>(h);
    if (!o) return MIDI_RES_INVALID_HANDLE;
    if (!hdr || !(hdr->dwFlags & MIDI_HDR_PREPARED)) return MIDI_RES_UNPREPARED;
    std::lock_guard<std::mutex> l(o->m);
    if (o->dead) return MIDI_RES_NO_DEVICE;
    if (o->held) return MIDI_RES_NOT_READY;
    hdr->dwFlags = (hdr->dwFlags & ~MIDI_HDR_DONE) | MIDI_HDR_INQUEUE;
    o->held = hdr;
    o->lost = false;
    o->cv.notify_one();
    return MIDI_RES_OK;
}

uint32_t out_unprepare(MidiHandle h, MidiHeader* hdr) {
    AlsaOut* o = static_cast<AlsaOut*>(h);
    if (!o) return MIDI_RES_INVALID_HANDLE;
    if (!hdr) return MIDI_RES_INVALID_PARAM;
    std::lock_guard<std::mutex> l(o->m);
    if (o->held == hdr) return MIDI_RES_STILL_PLAYING;
    hdr->dwFlags &= ~(MIDI_HDR_PREPARED | MIDI_HDR_INQUEUE);
    hdr->dwFlags |= MIDI_HDR_DONE;
    if (o->lost) hdr->dwFlags |= MIDI_HDR_FAILED;
    o->lost = false;
    return MIDI_RES_OK;
}

uint32_t out_close(MidiHandle h) {
    AlsaOut* o = static_cast<AlsaOut*>(h);
    if (!o) return MIDI_RES_INVALID_HANDLE;
    {
        std::lock_guard<std::mutex> l(o->m);
        if (o->held) return MIDI_RES_STILL_PLAYING;
        o->quit = true;
        o->cv.notify_one();
    }
    o->writer.join();
    if (o->dead) {
        // The kernel drains an output as it closes it, and waits up to 10 s
        // for a device that has gone to take bytes it never will. That wait
        // is left to a thread of its own; the caller goes on at once.
        std::thread([ops = o->ops, raw = o->raw] { ops->close(raw); }).detach();
    } else {
        o->ops->close(o->raw);
    }
    delete o;
    return MIDI_RES_OK;
}

// Grouped like the table it fills; the input side is in alsa_midi_in.cpp.
const MidiPlatform kAlsa = {
    "alsa",
    out_count, out_caps, out_open, out_prepare, out_long_msg, out_unprepare, out_close,
    midi_alsa_in_count, midi_alsa_in_caps, midi_alsa_in_open, midi_alsa_in_prepare,
    midi_alsa_in_add_buffer, midi_alsa_in_start, midi_alsa_in_stop, midi_alsa_in_reset,
    midi_alsa_in_unprepare, midi_alsa_in_close,
    midi_backend_pause_ms,
};

}  // namespace

int midi_alsa_wait_ready(void* raw, int timeout_ms, short events) {
    snd_rawmidi_t* r = static_cast<snd_rawmidi_t*>(raw);
    pollfd fds[4];
    int nfds = snd_rawmidi_poll_descriptors(r, fds, 4);
    if (nfds <= 0) return -EIO;
    int got = poll(fds, nfds, timeout_ms);
    if (got < 0) return errno == EINTR ? 0 : -errno;
    if (got == 0) return 0;
    unsigned short revents = 0;
    if (snd_rawmidi_poll_descriptors_revents(r, fds, unsigned(nfds), &revents) < 0) return -EIO;
    if (revents & (POLLERR | POLLHUP | POLLNVAL)) return -ENODEV;
    return (revents & events) ? 1 : 0;
}

int midi_alsa_list_rawmidi(AlsaDeviceInfo* out, int max, int stream) {
    int n = 0;
    int card = -1;
    while (n < max && snd_card_next(&card) == 0 && card >= 0) {
        char hw[16];
        std::snprintf(hw, sizeof hw, "hw:%d", card);
        snd_ctl_t* ctl;
        if (snd_ctl_open(&ctl, hw, 0) < 0) continue;
        snd_rawmidi_info_t* info;
        snd_rawmidi_info_alloca(&info);
        int dev = -1;
        while (n < max && snd_ctl_rawmidi_next_device(ctl, &dev) == 0 && dev >= 0) {
            snd_rawmidi_info_set_device(info, unsigned(dev));
            snd_rawmidi_info_set_stream(info, snd_rawmidi_stream_t(stream));
            snd_rawmidi_info_set_subdevice(info, 0);
            if (snd_ctl_rawmidi_info(ctl, info) < 0) continue;  // nothing on this side
            unsigned subs = snd_rawmidi_info_get_subdevices_count(info);
            for (unsigned sub = 0; sub < subs && n < max; sub++) {
                snd_rawmidi_info_set_subdevice(info, sub);
                if (snd_ctl_rawmidi_info(ctl, info) < 0) continue;
                const char* sub_name = snd_rawmidi_info_get_subdevice_name(info);
                const char* name = sub_name && *sub_name ? sub_name : snd_rawmidi_info_get_name(info);
                std::snprintf(out[n].name, sizeof out[n].name, "%s", name);
                std::snprintf(out[n].id, sizeof out[n].id, "hw:%d,%d,%u", card, dev, sub);
                n++;
            }
        }
        snd_ctl_close(ctl);
    }
    return n;
}

const MidiPlatform* midi_alsa_platform() { return &kAlsa; }

int midi_alsa_list_outputs(AlsaDeviceInfo* out, int max) { return g_ops->list_outputs(out, max); }

void midi_alsa_set_ops(const AlsaRawmidiOps* ops) { g_ops = ops ? ops : &kRealOps; }
