#include "midi/midi_in.h"

#include "midi/fault.h"
#include "midi/port_records.h"

#include "midi/device_dir.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The one capabilities record that midi_in_device_name returns text from.
MidiDevCaps g_caps;

// Indexed by error code.
const char* const kErrorText[] = {
    nullptr,                   // 0 success
    "invalid byte count",      // 1
    "invalid object",          // 2
    "device error occurred",   // 3
    "device not found",        // 4
    "not enough memory",       // 5
    "unknown error occurred",  // 6
};

// Bytes stored for a short message, indexed by the high four bits of its
// status byte; the 0xF row is decided by kSystemLength.
const uint8_t kChannelLength[16] = {1, 1, 1, 1, 1, 1, 1, 1, 3, 3, 3, 3, 2, 2, 3, 0};

// Bytes stored for a system message, indexed by the low four bits of its
// status byte (F0 starts a SysEx, whose bytes come in buffers instead).
const uint8_t kSystemLength[16] = {0, 2, 3, 2, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1};

uint32_t short_length(uint8_t status) {
    return status >= 0xF0 ? kSystemLength[status & 0x0F] : kChannelLength[status >> 4];
}

void set_err(int* err, int code) {
    if (err) *err = code;
}

// Words the callback's thread shares with the caller's are touched atomically.
uint32_t load(const uint32_t* w) { return __atomic_load_n(w, __ATOMIC_ACQUIRE); }
void store(uint32_t* w, uint32_t v) { __atomic_store_n(w, v, __ATOMIC_RELEASE); }
MidiHandle load_handle(MidiHandle const* h) { return __atomic_load_n(h, __ATOMIC_ACQUIRE); }
void store_handle(MidiHandle* h, MidiHandle v) { __atomic_store_n(h, v, __ATOMIC_RELEASE); }

bool valid(const MidiInPort* p) { return p && load(&p->tag) == MIDI_IN_TAG; }

void note(const char* fmt, int a = 0, int b = 0) {
    std::fprintf(stderr, "MIDI-IN: ");
    std::fprintf(stderr, fmt, a, b);
    std::fprintf(stderr, "\n");
}

// Callback side of the arrivals ring: appends what fits of `n` bytes.
void arrivals_put(MidiInArrivals* a, const uint8_t* bytes, uint32_t n) {
    uint32_t w = __atomic_load_n(&a->written, __ATOMIC_RELAXED);
    uint32_t used = w - load(&a->taken);
    uint32_t room = MIDI_IN_QUEUE_SIZE - used;
    if (n > room) n = room;
    for (uint32_t k = 0; k < n; k++) a->ring[(w + k) % MIDI_IN_QUEUE_SIZE] = bytes[k];
    store(&a->written, w + n);
}

// Caller side: moves every arrived byte into the queue, in order. What the
// queue has no room for is dropped, as it would have been on arrival.
void move_arrivals(MidiInPort* p) {
    MidiInArrivals* a = &p->arrivals;
    uint32_t t = __atomic_load_n(&a->taken, __ATOMIC_RELAXED);
    uint32_t n = load(&a->written) - t;
    while (n > 0) {
        uint32_t at = t % MIDI_IN_QUEUE_SIZE;
        uint32_t run = MIDI_IN_QUEUE_SIZE - at;
        if (run > n) run = n;
        byte_queue_put(p->queue, run, a->ring + at, nullptr);
        t += run;
        n -= run;
    }
    store(&a->taken, t);
}

void ZP_MIDI_CALLBACK midi_in_callback(MidiHandle h, uint32_t msg, uintptr_t instance, uintptr_t p1,
                                       uintptr_t) {
    MidiInPort* p = reinterpret_cast<MidiInPort*>(instance);
    if (!p || load(&p->tag) != MIDI_IN_TAG || load_handle(&p->handle) != h) return;
    switch (msg) {
        case MIDI_MIM_DATA:
        case MIDI_MIM_MOREDATA:
        case MIDI_MIM_ERROR: {
            // Status byte in the low byte, the data bytes above it.
            uint8_t b[3] = {uint8_t(p1), uint8_t(p1 >> 8), uint8_t(p1 >> 16)};
            uint32_t n = msg == MIDI_MIM_ERROR ? 3 : short_length(b[0]);
            if (n > 0) arrivals_put(&p->arrivals, b, n);
            break;
        }
        case MIDI_MIM_LONGDATA:
        case MIDI_MIM_LONGERROR:
            for (int i = 0; i < MIDI_IN_BUFFERS; i++) {
                if (reinterpret_cast<uintptr_t>(&p->headers[i]) == p1) {
                    __atomic_fetch_or(&p->done_mask, 1u << i, __ATOMIC_ACQ_REL);
                    break;
                }
            }
            break;
        default:
            break;
    }
}

bool caps_of(int n, MidiDevCaps* caps) {
    return midi_platform()->in_caps(uint32_t(n), caps) == MIDI_RES_OK;
}

uint32_t device_count() { return midi_platform()->in_count(); }

// The input side of the platform's devices.
const MidiDeviceDir kDevices = {device_count, caps_of};

// Hands buffer i to the driver. False (with its line printed) if it refused.
bool midi_in_queue_buffer(MidiInPort* p, int i) {
    MidiHeader* h = &p->headers[i];
    h->lpData = reinterpret_cast<char*>(p->buffers[i]);
    h->dwBufferLength = MIDI_IN_BUFFER_SIZE;
    h->dwFlags = 0;
    const MidiPlatform* mp = midi_platform();
    p->last_result = int32_t(mp->in_prepare(p->handle, h));
    if (p->last_result != 0) {
        note("could not prepare header");
        return false;
    }
    p->last_result = int32_t(mp->in_add_buffer(p->handle, h));
    if (p->last_result != 0) {
        note("could not add buffer");
        return false;
    }
    p->queued_mask |= 1u << i;
    return true;
}

// Takes buffer i's preparation back from the driver. True when that worked or
// it was not prepared.
bool midi_in_release_buffer(MidiInPort* p, int i) {
    p->last_result = -1;
    MidiHeader* h = &p->headers[i];
    if (h->dwFlags & MIDI_HDR_PREPARED) {
        p->last_result = int32_t(midi_platform()->in_unprepare(p->handle, h));
        if (p->last_result == int32_t(MIDI_RES_STILL_PLAYING))
            note("driver still using MIDI buffer %d", i);
        else if (p->last_result != 0)
            note("error %d for buffer %d", p->last_result, i);
    } else {
        p->last_result = 0;
    }
    return p->last_result == 0;
}

// Moves the arrived short messages into the queue, then at most one returned
// buffer, which goes back to the driver unless the port is stopping. The
// driver fills and returns buffers in the order they were handed to it, which
// is ring order from next_buffer on: only the oldest buffer still with the
// driver may be taken, so a later one that the driver returns while we look
// is never taken before it (its bytes would come out ahead of older ones).
// Buffers out of circulation are passed over. False when the buffer could not
// be released or handed back; it then stays out of circulation.
bool midi_in_service(MidiInPort* p) {
    move_arrivals(p);
    for (int probe = 0; probe < MIDI_IN_BUFFERS; probe++) {
        int i = p->next_buffer;
        uint32_t bit = 1u << i;
        if (!(p->queued_mask & bit)) {
            p->next_buffer = i == MIDI_IN_BUFFERS - 1 ? 0 : i + 1;
            continue;
        }
        if (!(load(&p->done_mask) & bit)) return true;  // the oldest is not back yet
        p->next_buffer = i == MIDI_IN_BUFFERS - 1 ? 0 : i + 1;
        p->queued_mask &= ~bit;
        __atomic_fetch_and(&p->done_mask, ~bit, __ATOMIC_ACQ_REL);
        uint32_t n = p->headers[i].dwBytesRecorded;
        if (n > MIDI_IN_BUFFER_SIZE) n = MIDI_IN_BUFFER_SIZE;  // never past the buffer
        if (n > 0) byte_queue_put(p->queue, n, p->buffers[i], nullptr);
        if (!midi_in_release_buffer(p, i)) return false;
        if (!p->stopping && !midi_in_queue_buffer(p, i)) return false;
        return true;
    }
    return true;
}

// Stops, resets and closes the device if one is open, frees the queue and
// clears the tag. Releases the record and returns true when the device closed
// (or none was open); otherwise the record stays, dead, for any callback that
// may still come for it.
bool midi_in_shutdown(MidiInPort* p) {
    bool closed = true;
    MidiHandle h = p->handle;
    if (h) {
        const MidiPlatform* mp = midi_platform();
        p->stopping = 1;
        p->last_result = int32_t(mp->in_stop(h));
        if (p->last_result != 0) note("stop returned error %d", p->last_result);
        p->last_result = int32_t(mp->in_reset(h));
        if (p->last_result != 0) note("stop returned error %d", p->last_result);
        for (int i = 0; i < MIDI_IN_BUFFERS; i++) midi_in_release_buffer(p, i);
        p->last_result = int32_t(mp->in_close(h));
        if (p->last_result == int32_t(MIDI_RES_STILL_PLAYING))
            note("Can't close busy device");
        else if (p->last_result != 0)
            note("Error %d on close", p->last_result);
        closed = p->last_result == 0;
        store_handle(&p->handle, nullptr);
    }
    if (p->queue) byte_queue_free(p->queue, nullptr);
    p->queue = nullptr;
    store(&p->tag, 0);
    if (closed) zp_free(p);
    return closed;
}

// The code a failed service step reports.
int service_error(const MidiInPort* p) {
    return p->last_result == int32_t(MIDI_RES_STILL_PLAYING) ? MIDI_IN_DEVICE_ERROR : MIDI_IN_UNKNOWN;
}

}  // namespace

int midi_in_device_count() { return midi_dir_count(&kDevices); }

const char* midi_in_device_name(int n) { return midi_dir_name(&kDevices, &g_caps, n); }

void midi_in_list_devices(void (*fn)(const char* name)) { midi_dir_list(&kDevices, fn); }

int midi_in_find_device(const char* name) { return midi_dir_find(&kDevices, name); }

bool midi_in_find_partner(const char* out_name, char* dst, size_t n) {
    if (!out_name || !*out_name || !dst || n == 0) return false;
    if (midi_platform() == midi_system_platform() && midi_system_partner_input(out_name, dst, n)) return true;
    if (midi_in_find_device(out_name) < 0 || std::strlen(out_name) >= n) return false;
    std::memcpy(dst, out_name, std::strlen(out_name) + 1);
    return true;
}

MidiInPort* midi_in_open(int n, int* err) {
    if (n < 0 || n >= midi_in_device_count()) {
        set_err(err, MIDI_IN_NOT_FOUND);
        return nullptr;
    }
    void* mem = zp_alloc(sizeof(MidiInPort));
    if (!mem) {
        set_err(err, MIDI_IN_NO_MEMORY);
        return nullptr;
    }
    std::memset(mem, 0, sizeof(MidiInPort));
    MidiInPort* p = static_cast<MidiInPort*>(mem);
    int code = MIDI_IN_OK;
    p->queue = byte_queue_create(MIDI_IN_QUEUE_SIZE, nullptr);
    if (!p->queue) code = MIDI_IN_NO_MEMORY;

    const MidiPlatform* mp = midi_platform();
    if (code == MIDI_IN_OK) {
        MidiHandle h = nullptr;
        p->last_result = int32_t(
            mp->in_open(&h, uint32_t(n), midi_in_callback, reinterpret_cast<uintptr_t>(p)));
        if (p->last_result != 0)
            code = MIDI_IN_DEVICE_ERROR;
        else
            store_handle(&p->handle, h);
    }
    if (code == MIDI_IN_OK) {
        std::memset(p->headers, 0, sizeof p->headers);
        std::memset(p->buffers, 0, sizeof p->buffers);
        for (int i = 0; i < MIDI_IN_BUFFERS && code == MIDI_IN_OK; i++)
            if (!midi_in_queue_buffer(p, i)) code = MIDI_IN_DEVICE_ERROR;
    }
    if (code == MIDI_IN_OK) {
        // Valid before the start, so that nothing the device sends the moment
        // it starts is ignored.
        store(&p->tag, MIDI_IN_TAG);
        p->last_result = int32_t(mp->in_start(p->handle));
        if (p->last_result != 0) code = MIDI_IN_DEVICE_ERROR;
    }
    if (code == MIDI_IN_OK) {
        set_err(err, MIDI_IN_OK);
        return p;
    }
    // Takes down what was set up; a device that refuses to close keeps the
    // record, as close does.
    midi_in_shutdown(p);
    set_err(err, code);
    return nullptr;
}

MidiInPort* midi_in_open_by_name(const char* name, int* err) {
    int n = midi_in_find_device(name);
    if (n < 0) {
        set_err(err, MIDI_IN_NOT_FOUND);
        return nullptr;
    }
    return midi_in_open(n, err);
}

int midi_in_read(MidiInPort* port, uint32_t n, uint8_t* dst, int* err) {
    if (!valid(port)) {
        set_err(err, MIDI_IN_INVALID_OBJECT);
        return -1;
    }
    if (!midi_in_service(port)) {
        set_err(err, service_error(port));
        return -1;
    }
    // A get with a null destination discards.
    uint32_t k = byte_queue_get(port->queue, n, dst, nullptr);
    set_err(err, MIDI_IN_OK);
    return int(k);
}

int midi_in_available(MidiInPort* port, int* err) {
    if (!valid(port)) {
        set_err(err, MIDI_IN_INVALID_OBJECT);
        return 0;
    }
    if (!midi_in_service(port)) {
        set_err(err, service_error(port));
        return 0;
    }
    set_err(err, MIDI_IN_OK);
    return int(byte_queue_count(port->queue, nullptr));
}

int midi_in_close(MidiInPort* port, int* err) {
    if (!valid(port)) {
        set_err(err, MIDI_IN_INVALID_OBJECT);
        return 0;
    }
    if (!midi_in_shutdown(port)) {
        set_err(err, MIDI_IN_UNKNOWN);
        return 0;
    }
    set_err(err, MIDI_IN_OK);
    return 1;
}

const char* midi_in_error_text(unsigned code) {
    if (code >= sizeof kErrorText / sizeof kErrorText[0]) return "(?)";
    return kErrorText[code];
}
