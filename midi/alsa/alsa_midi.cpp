#include "midi/alsa/alsa_midi.h"
#include "midi/midi_out.h"

#include "midi/alsa/alsa_midi_in.h"
#include "midi/backend.h"

#include <alsa/asoundlib.h>

#include <atomic>
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

// The driver's own buffer. The writer fills it in large pieces, waking only
// when a good part of it is free again.
constexpr size_t kDriverBuffer = 65536;
constexpr size_t kDriverRoom = kDriverBuffer / 2;

// Bytes the backend keeps ahead of the driver: finished buffers wait here
// until the driver has room for them, so the caller can hand over the next
// buffer without waiting for the device.
constexpr size_t kRing = 65536;
static_assert(kRing >= MIDI_OUT_BUFFER_SIZE, "a port buffer fits the ring");

// A device that takes nothing for this long counts as stalled.
constexpr int kStallMs = 10000;

// Linux counts a write's bytes as in the driver's buffer before it copies
// them in, and copies with the buffer unlocked; a USB-MIDI driver whose
// transfer completes meanwhile sends from its buffer whatever is there, and
// where the copy has not yet arrived that is what was there one buffer-lap
// earlier. (In the project's VM, amidi -s itself arrived damaged in most runs
// that way.) A write is therefore made only while the driver still holds at
// least kGuard bytes, more than it sends in one go, ahead of where the new
// bytes land; or once it has held nothing for kQuietUs, so that no transfer
// of its is still under way. A device that keeps a buffer smaller than the
// guard is then written only when it is quiet: slower, never damaged.
constexpr long kGuard = 8192;
constexpr int64_t kQuietUs = 5000;

// ALSA's own error lines would only repeat what the port reports.
void alsa_quiet(const char*, int, const char*, int, const char*, ...) {}

int real_open_output(const char* id, void** raw) {
    snd_lib_error_set_handler(alsa_quiet);
    snd_rawmidi_t* out = nullptr;
    int r = snd_rawmidi_open(nullptr, &out, id, SND_RAWMIDI_NONBLOCK);
    if (r < 0) return r;
    snd_rawmidi_params_t* params = nullptr;
    if (snd_rawmidi_params_malloc(&params) == 0) {
        // Writable means half the buffer is free. A device that refuses
        // keeps its own sizes; writes then come in smaller pieces.
        if (snd_rawmidi_params_current(out, params) == 0 &&
            snd_rawmidi_params_set_buffer_size(out, params, kDriverBuffer) == 0 &&
            snd_rawmidi_params_set_avail_min(out, params, kDriverRoom) == 0)
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

// The driver wakes a poller when at least avail_min bytes are free: all but
// one (ALSA's most) for "empty", half the buffer for "room for a piece".
int real_wake_when_empty(void* raw, bool empty) {
    snd_rawmidi_t* r = static_cast<snd_rawmidi_t*>(raw);
    snd_rawmidi_params_t* params;
    snd_rawmidi_params_alloca(&params);
    int e = snd_rawmidi_params_current(r, params);
    if (e < 0) return e;
    size_t size = snd_rawmidi_params_get_buffer_size(params);
    e = snd_rawmidi_params_set_avail_min(r, params, empty ? size - 1 : size / 2);
    return e < 0 ? e : snd_rawmidi_params(r, params);
}

// The driver's buffer size (kept by alsa-lib, no call to the kernel) less
// what is free in it (one ioctl). A device that has gone answers -ENODEV.
long real_held(void* raw) {
    snd_rawmidi_t* r = static_cast<snd_rawmidi_t*>(raw);
    snd_rawmidi_params_t* params;
    snd_rawmidi_status_t* status;
    snd_rawmidi_params_alloca(&params);
    snd_rawmidi_status_alloca(&status);
    int e = snd_rawmidi_params_current(r, params);
    if (e < 0) return e;
    e = snd_rawmidi_status(r, status);
    if (e < 0) return e;
    size_t size = snd_rawmidi_params_get_buffer_size(params);
    size_t avail = snd_rawmidi_status_get_avail(status);
    return avail >= size ? 0 : long(size - avail);
}

int real_drop(void* raw) { return snd_rawmidi_drop(static_cast<snd_rawmidi_t*>(raw)); }

int real_close(void* raw) { return snd_rawmidi_close(static_cast<snd_rawmidi_t*>(raw)); }

const AlsaRawmidiOps kRealOps = {
    real_list_outputs, real_open_output, real_write, real_wait_writable, real_wake_when_empty, real_held, real_drop,
    real_close, kStallMs, kRing, kGuard,
};

const AlsaRawmidiOps* g_ops = &kRealOps;

// ---- the backend

const int kMaxDevices = 64;
const int kPollMs = 50;  // how often a waiting writer looks for close

// The writer waits for this much in the ring before it writes, or for
// kGatherUs after the first byte came: one write for many messages.
constexpr size_t kChunk = 8192;
constexpr int kGatherUs = 1000;

// Devices found by the latest count, by device number.
AlsaDeviceInfo g_outs[kMaxDevices];
uint32_t g_out_count = 0;

using Clock = std::chrono::steady_clock;

int64_t now_us() {
    return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch()).count();
}

// One open output. The ring and the fields after `m` up to `writer` are
// guarded by `m`; the writer reads the ring's bytes between `head` and
// `head + count` outside it (the caller only writes where the ring is free).
// `written` counts every byte handed to the driver. The `seen_` and rate
// fields belong to the thread calling the port's operations.
struct AlsaOut {
    MidiBackendHandle base;
    void* raw;
    const AlsaRawmidiOps* ops;
    MidiCallback cb;
    uintptr_t instance;
    std::mutex m;
    std::condition_variable cv;
    uint8_t* ring;
    size_t cap;
    size_t head;           // first byte not yet written
    size_t count;          // bytes in the ring
    MidiHeader* waiting;   // a finished-to-be buffer the ring had no room for
    MidiHeader* lost_hdr;  // the last buffer finished without going out
    uint64_t lost_bytes;   // finished bytes the device went without
    bool dead;
    bool quit;
    std::thread writer;
    std::atomic<uint64_t> written{0};
    uint64_t drained_upto;   // `written` when the driver was last seen empty (under `m`)
    long seen_held;          // the driver's fill at the last look
    uint64_t seen_written;   // `written` then
    int64_t seen_at_us;      // when it was taken
    int64_t moved_at_us;     // when the fill last changed, or more was written
    int64_t rate_at_us;      // the rate's last sample: when,
    uint64_t rate_sent;      //   and the bytes the driver had sent by then
    double bytes_per_us;     // how fast the device has been sending; 0 unknown
};

// Copies a buffer into the ring's free space (under `m`; it must fit).
void ring_put(AlsaOut* o, const MidiHeader* h) {
    const uint8_t* d = reinterpret_cast<const uint8_t*>(h->lpData);
    size_t len = h->dwBufferLength;
    size_t at = (o->head + o->count) % o->cap;
    size_t first = len < o->cap - at ? len : o->cap - at;
    std::memcpy(o->ring + at, d, first);
    std::memcpy(o->ring, d + first, len - first);
    size_t before = o->count;
    o->count += len;
    // The writer sleeps until there is a chunk, or a first byte to time.
    if (before == 0 || (before < kChunk && o->count >= kChunk)) o->cv.notify_one();
}

// The driver has finished buffer `h` for the port: it is in the ring, or,
// with `lost`, it never will be.
void finish(AlsaOut* o, MidiHeader* h, bool lost) {
    if (lost) {
        std::lock_guard<std::mutex> l(o->m);
        o->lost_hdr = h;
    }
    o->cb(o, MIDI_MOM_DONE, o->instance, reinterpret_cast<uintptr_t>(h), 0);
}

// The device is gone or stalled (under `m`): what the ring holds will never
// be sent, and a buffer waiting for room never goes in. Returns that buffer.
MidiHeader* die(AlsaOut* o) {
    o->dead = true;
    o->lost_bytes += o->count;
    o->count = 0;
    MidiHeader* h = o->waiting;
    o->waiting = nullptr;
    return h;
}

// The caller found the device gone or stalled with `unsent` bytes still in
// the driver: marks it dead, wakes the writer to end, and finishes a buffer
// that was waiting for room as lost, so the port hears so. Returns every byte
// the device went without.
uint32_t give_up(AlsaOut* o, uint64_t unsent) {
    MidiHeader* lost;
    uint32_t lost_bytes;
    {
        std::lock_guard<std::mutex> l(o->m);
        lost = die(o);
        o->lost_bytes += unsent;
        o->cv.notify_one();
        lost_bytes = uint32_t(o->lost_bytes);
    }
    if (lost) finish(o, lost, true);
    return lost_bytes;
}

// Waits, sleeping in poll, until the driver is empty, the device goes, or
// the ring has bytes again; an empty driver is noted in `drained_upto`.
void watch_drain(AlsaOut* o) {
    uint64_t written = o->written.load();
    o->ops->wake_when_empty(o->raw, true);
    for (;;) {
        long h = o->ops->held(o->raw);
        std::lock_guard<std::mutex> l(o->m);
        if (h == 0) o->drained_upto = written;
        if (h <= 0 || o->quit || o->count > 0) break;
        o->m.unlock();
        int w = o->ops->wait_writable(o->raw, 5);
        o->m.lock();
        if (w < 0) break;
    }
    o->ops->wake_when_empty(o->raw, false);
}

// Moves the ring into the driver, in pieces of at least kChunk (or whatever
// has waited kGatherUs), and a waiting buffer into the ring as room frees.
void writer_main(AlsaOut* o) {
    std::unique_lock<std::mutex> l(o->m);
    int64_t progress_us = now_us();
    int64_t busy_us = 0;  // when the driver was last seen holding bytes, or given some
    for (;;) {
        if (o->count == 0 && o->drained_upto != o->written.load()) {
            // Everything is written: watch the driver empty, so that a device
            // that goes afterwards (an amp restarting on a request) is known
            // to have had every byte.
            l.unlock();
            watch_drain(o);
            l.lock();
        }
        if (o->count == 0) {
            o->cv.wait(l, [o] { return o->quit || o->count > 0; });
            progress_us = now_us();  // an idle device was not stalled
        }
        if (o->quit) return;
        if (o->count < kChunk && !o->waiting)
            o->cv.wait_for(l, std::chrono::microseconds(kGatherUs),
                           [o] { return o->quit || o->count >= kChunk || o->waiting; });
        if (o->quit) return;
        size_t piece = o->count < o->cap - o->head ? o->count : o->cap - o->head;
        const uint8_t* from = o->ring + o->head;
        l.unlock();
        long fill = o->ops->held(o->raw);
        int64_t t = now_us();
        if (fill > 0) busy_us = t;
        long r = fill;
        int wait = 0;
        if (fill >= o->ops->guard || (fill == 0 && t - busy_us >= kQuietUs)) {
            r = o->ops->write(o->raw, from, piece);
            if (r > 0) busy_us = now_us();
            if (r == -EAGAIN || r == 0) wait = o->ops->wait_writable(o->raw, kPollMs);
        } else if (fill >= 0) {
            // Too close behind the device: let it send down to nothing.
            r = 0;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        l.lock();
        if (o->quit) return;
        MidiHeader* lost = nullptr;
        MidiHeader* done = nullptr;
        if (r > 0) {
            o->head = (o->head + size_t(r)) % o->cap;
            o->count -= size_t(r);
            o->written += uint64_t(r);
            progress_us = now_us();
            if (o->waiting && o->cap - o->count >= o->waiting->dwBufferLength) {
                done = o->waiting;
                o->waiting = nullptr;
                ring_put(o, done);
            }
        } else if ((r < 0 && r != -EAGAIN) || wait < 0 ||
                   now_us() - progress_us > int64_t(o->ops->stall_ms) * 1000) {
            lost = die(o);
        }
        if (done || lost) {
            l.unlock();
            finish(o, done ? done : lost, lost != nullptr);
            l.lock();
        }
        if (o->dead) {
            o->cv.wait(l, [o] { return o->quit; });
            return;
        }
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
    o->cap = size_t(o->ops->ring_size) < MIDI_OUT_BUFFER_SIZE ? MIDI_OUT_BUFFER_SIZE : size_t(o->ops->ring_size);
    o->ring = new (std::nothrow) uint8_t[o->cap];
    if (!o->ring) {
        delete o;
        return MIDI_RES_NO_MEMORY;
    }
    int r = o->ops->open_output(g_outs[dev].id, &o->raw);
    if (r < 0) {
        delete[] o->ring;
        delete o;
        return result_of(r);
    }
    o->writer = std::thread(writer_main, o);
    *h = o;
    return MIDI_RES_OK;
}

uint32_t out_prepare(MidiHandle h, MidiHeader* hdr) {
    if (!h) return MIDI_RES_INVALID_HANDLE;
    return midi_header_prepare(hdr, false);
}

// A buffer that fits the ring is copied in and finished at once, on the
// caller's thread: the device has it, as far as the port is concerned, and
// its bytes count as pending (out_progress) until the driver has sent them.
// One that does not fit waits for the writer to make room.
uint32_t out_long_msg(MidiHandle h, MidiHeader* hdr) {
    AlsaOut* o = static_cast<AlsaOut*>(h);
    if (!o) return MIDI_RES_INVALID_HANDLE;
    if (midi_header_check(hdr) != MIDI_RES_OK) return MIDI_RES_UNPREPARED;
    {
        std::lock_guard<std::mutex> l(o->m);
        if (o->dead) return MIDI_RES_NO_DEVICE;
        if (o->waiting) return MIDI_RES_NOT_READY;
        midi_header_queued(hdr);
        if (o->cap - o->count < hdr->dwBufferLength) {
            o->waiting = hdr;
            o->cv.notify_one();
            return MIDI_RES_OK;
        }
        ring_put(o, hdr);
    }
    finish(o, hdr, false);
    return MIDI_RES_OK;
}

uint32_t out_unprepare(MidiHandle h, MidiHeader* hdr) {
    AlsaOut* o = static_cast<AlsaOut*>(h);
    if (!o) return MIDI_RES_INVALID_HANDLE;
    if (!hdr) return MIDI_RES_INVALID_PARAM;
    std::lock_guard<std::mutex> l(o->m);
    uint32_t r = midi_header_unprepare(hdr, o->waiting == hdr, o->lost_hdr == hdr);
    if (r == MIDI_RES_OK) o->lost_hdr = nullptr;
    return r;
}

// What the ring and the driver still hold of finished buffers, and when the
// port is worth asking again: when a waiting buffer will fit the ring, or
// when everything will have gone, from the rate the device has been sending
// at. Bytes still held when the device goes or stalls are lost; a device
// that goes with nothing left to send has lost nothing.
uint32_t out_progress(MidiHandle h, uint32_t* held, uint32_t* next_us) {
    AlsaOut* o = static_cast<AlsaOut*>(h);
    if (!o) return MIDI_RES_INVALID_HANDLE;
    *held = 0;
    *next_us = 0;
    size_t ring, waiting_len = 0;
    {
        std::lock_guard<std::mutex> l(o->m);
        if (o->dead) {
            *held = uint32_t(o->lost_bytes);
            return o->lost_bytes > 0 ? MIDI_RES_NO_DEVICE : MIDI_RES_OK;
        }
        ring = o->count;
        if (o->waiting) waiting_len = o->waiting->dwBufferLength;
    }
    uint64_t written = o->written.load();
    long fill = o->ops->held(o->raw);
    int64_t t = now_us();
    if (fill < 0) {
        bool nothing_left;
        {
            std::lock_guard<std::mutex> l(o->m);
            nothing_left = ring == 0 && o->waiting == nullptr && o->drained_upto == written;
        }
        *held = give_up(o, nothing_left ? 0 : uint64_t(o->seen_held > 0 ? o->seen_held : 1));
        return nothing_left ? MIDI_RES_OK : MIDI_RES_NO_DEVICE;
    }
    if (fill == 0 && ring == 0) {
        std::lock_guard<std::mutex> l(o->m);
        if (o->count == 0) o->drained_upto = written;
    }
    if (o->seen_at_us == 0 || fill != o->seen_held || written != o->seen_written) o->moved_at_us = t;
    o->seen_held = fill;
    o->seen_written = written;
    o->seen_at_us = t;
    if (ring == 0 && fill > 0 && t - o->moved_at_us > int64_t(o->ops->stall_ms) * 1000) {
        *held = give_up(o, uint64_t(fill));
        return MIDI_RES_ERROR;
    }
    // What left the driver since the last sample, over the time it took.
    uint64_t sent = written - uint64_t(fill);
    if (o->rate_at_us != 0 && t - o->rate_at_us >= 1000) {
        if (sent > o->rate_sent) {
            double rate = double(sent - o->rate_sent) / double(t - o->rate_at_us);
            o->bytes_per_us = o->bytes_per_us > 0 ? 0.7 * o->bytes_per_us + 0.3 * rate : rate;
        }
        o->rate_at_us = 0;
    }
    if (o->rate_at_us == 0) {
        o->rate_at_us = t;
        o->rate_sent = sent;
    }
    *held = uint32_t(ring + size_t(fill));
    // A waiting buffer goes in once that much more has left the ring.
    long to_send = waiting_len ? long(waiting_len) - long(o->cap - ring) : long(ring) + fill;
    if (to_send <= 0) return MIDI_RES_OK;
    *next_us = o->bytes_per_us > 0 ? uint32_t(double(to_send) / o->bytes_per_us) : 1000;
    return MIDI_RES_OK;
}

uint32_t out_close(MidiHandle h) {
    AlsaOut* o = static_cast<AlsaOut*>(h);
    if (!o) return MIDI_RES_INVALID_HANDLE;
    bool unsent;
    {
        std::lock_guard<std::mutex> l(o->m);
        if (o->waiting) return MIDI_RES_STILL_PLAYING;
        unsent = o->count > 0;
        o->quit = true;
        o->cv.notify_one();
    }
    o->writer.join();
    // A port that closes before the device has sent everything drops the
    // rest, as it drops what is still queued: the kernel would otherwise send
    // it, or wait for it, inside the close.
    if (!o->dead && (unsent || o->ops->held(o->raw) > 0)) o->ops->drop(o->raw);
    if (o->dead) {
        // The kernel drains an output as it closes it, and waits up to 10 s
        // for a device that has gone to take bytes it never will. That wait
        // is left to a thread of its own; the caller goes on at once.
        std::thread([ops = o->ops, raw = o->raw] { ops->close(raw); }).detach();
    } else {
        o->ops->close(o->raw);
    }
    delete[] o->ring;
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
    out_progress,
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
