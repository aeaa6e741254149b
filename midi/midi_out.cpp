#include "midi/midi_out.h"

#include "midi/fault.h"
#include "midi/port_records.h"

#include "midi/device_dir.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The one capabilities record that midi_out_device_name returns text from.
MidiDevCaps g_caps;

// Indexed by error code.
const char* const kErrorText[] = {
    nullptr,                   // 0 success
    "invalid byte count",      // 1
    "invalid object",          // 2
    "device error occurred",   // 3
    "device not found",        // 4
    "unallowed null pointer",  // 5
    "not enough memory",       // 6
    "unknown error occurred",  // 7
};

void set_err(int* err, int code) {
    if (err) *err = code;
}

// The driver's callback runs on another thread; `done` and `tag` are the words
// it shares with the caller's thread, so both sides touch them atomically.
uint32_t load(const uint32_t* w) { return __atomic_load_n(w, __ATOMIC_ACQUIRE); }
void store(uint32_t* w, uint32_t v) { __atomic_store_n(w, v, __ATOMIC_RELEASE); }

bool valid(const MidiOutPort* p) { return p && load(&p->tag) == MIDI_OUT_TAG; }

// One diagnostic line on standard error, written whole.
void note(const char* line) { std::fprintf(stderr, "MIDI-OUT: %s\n", line); }
void note_code(const char* fmt, uint32_t code) {
    char line[96];
    std::snprintf(line, sizeof line, fmt, int(code));
    note(line);
}

void ZP_MIDI_CALLBACK midi_out_callback(MidiHandle h, uint32_t msg, uintptr_t instance, uintptr_t,
                                        uintptr_t) {
    MidiOutPort* p = reinterpret_cast<MidiOutPort*>(instance);
    if (!p || load(&p->tag) != MIDI_OUT_TAG) return;
    if (__atomic_load_n(&p->handle, __ATOMIC_ACQUIRE) != h) return;
    if (msg == MIDI_MOM_DONE) store(&p->done, 1);
}

bool caps_of(int n, MidiDevCaps* caps) {
    return midi_platform()->out_caps(uint32_t(n), caps) == MIDI_RES_OK;
}

uint32_t device_count() { return midi_platform()->out_count(); }

// The output side of the platform's devices.
const MidiDeviceDir kDevices = {device_count, caps_of};

// Hands everything queued (up to one staging buffer) to the driver. 1 when a
// buffer went out or nothing was queued, 0 when none may start or it failed.
int midi_out_start_next(MidiOutPort* p) {
    if (p->closing || p->failed) return 0;
    uint32_t n = byte_queue_count(p->queue, nullptr);
    p->in_flight_length = n;
    if (n == 0) return 1;
    if (n > MIDI_OUT_BUFFER_SIZE) n = p->in_flight_length = MIDI_OUT_BUFFER_SIZE;
    byte_queue_peek(p->queue, n, p->staging, nullptr);

    const MidiPlatform* mp = midi_platform();
    p->header.lpData = reinterpret_cast<char*>(p->staging);
    p->header.dwBufferLength = n;
    p->header.dwFlags = 0;
    p->last_result = mp->out_prepare(p->handle, &p->header);
    if (p->last_result != MIDI_RES_OK) {
        note_code("could not prepare buffer (%d)", p->last_result);
        p->failed = 1;
        return 0;
    }
    p->in_flight = 1;
    p->last_result = mp->out_long_msg(p->handle, &p->header);
    if (p->last_result == MIDI_RES_OK) return 1;
    note_code("could not send sys-ex (%d)", p->last_result);
    p->in_flight = 0;
    p->failed = 1;
    // The driver never took the buffer: give the preparation back so that
    // close can release the device.
    mp->out_unprepare(p->handle, &p->header);
    return 0;
}

// Takes the finished buffer back from the driver and drops its bytes from the
// queue. 1 when retired (or none was in flight), 0 when the driver would not
// release it. A buffer the device failed to deliver is released but its bytes
// stay queued and the port is marked failed: they were not sent.
int midi_out_retire(MidiOutPort* p) {
    if (!p->in_flight) return 0;
    p->last_result = midi_platform()->out_unprepare(p->handle, &p->header);
    if (p->last_result == MIDI_RES_STILL_PLAYING) {
        // The driver said it was done but still holds the buffer: keep the
        // signal so the next call asks again instead of waiting forever.
        note("driver not releasing buffer");
        store(&p->done, 1);
        return 0;
    }
    if (p->last_result != MIDI_RES_OK) {
        // The buffer's fate is unknown and it can never be retired: nothing
        // more can go out, so say so to every later send.
        note("could not unprepare buffer");
        p->failed = 1;
        return 0;
    }
    p->in_flight = 0;
    if (p->header.dwFlags & MIDI_HDR_FAILED) {
        note("device failed, buffer not sent");
        p->in_flight_length = 0;
        p->failed = 1;
        return 0;
    }
    byte_queue_get(p->queue, p->in_flight_length, nullptr, nullptr);
    p->in_flight_length = 0;
    return 1;
}

// Acts on a finished buffer, if the driver signalled one: retires it and
// starts the next. 0 when nothing happened or something failed.
int midi_out_poll(MidiOutPort* p) {
    if (!load(&p->done)) return 0;
    store(&p->done, 0);
    if (!midi_out_retire(p)) return 0;
    return midi_out_start_next(p);
}

}  // namespace

int midi_out_device_count() { return midi_dir_count(&kDevices); }

const char* midi_out_device_name(int n) { return midi_dir_name(&kDevices, &g_caps, n); }

void midi_out_list_devices(void (*fn)(const char* name)) { midi_dir_list(&kDevices, fn); }

int midi_out_find_device(const char* name) { return midi_dir_find(&kDevices, name); }

MidiOutPort* midi_out_open(int n, int* err) {
    if (n < 0 || n >= midi_out_device_count()) {
        set_err(err, MIDI_OUT_NOT_FOUND);
        return nullptr;
    }
    void* mem = zp_alloc(sizeof(MidiOutPort));
    if (!mem) {
        set_err(err, MIDI_OUT_NO_MEMORY);
        return nullptr;
    }
    std::memset(mem, 0, sizeof(MidiOutPort));
    MidiOutPort* p = static_cast<MidiOutPort*>(mem);
    p->queue = byte_queue_create(MIDI_OUT_BUFFER_SIZE, nullptr);
    if (!p->queue) {
        zp_free(p);
        set_err(err, MIDI_OUT_NO_MEMORY);
        return nullptr;
    }
    MidiHandle h = nullptr;
    p->last_result = midi_platform()->out_open(&h, uint32_t(n), midi_out_callback,
                                               reinterpret_cast<uintptr_t>(p));
    if (p->last_result != MIDI_RES_OK) {
        byte_queue_free(p->queue, nullptr);
        zp_free(p);
        set_err(err, MIDI_OUT_DEVICE_ERROR);
        return nullptr;
    }
    __atomic_store_n(&p->handle, h, __ATOMIC_RELEASE);
    store(&p->tag, MIDI_OUT_TAG);
    set_err(err, MIDI_OUT_OK);
    return p;
}

MidiOutPort* midi_out_open_by_name(const char* name, int* err) {
    int n = midi_out_find_device(name);
    if (n < 0) {
        set_err(err, MIDI_OUT_NOT_FOUND);
        return nullptr;
    }
    return midi_out_open(n, err);
}

int midi_out_send(MidiOutPort* port, const uint8_t* bytes, int length, int* err) {
    if (!valid(port)) {
        set_err(err, MIDI_OUT_NOT_FOUND);
        return -1;
    }
    if (!bytes) {
        set_err(err, MIDI_OUT_NULL_POINTER);
        return -1;
    }
    if (length <= 0) {
        set_err(err, MIDI_OUT_INVALID_COUNT);
        return -1;
    }
    midi_out_poll(port);
    int taken = 0;
    if (!port->failed) {
        taken = int(byte_queue_put(port->queue, uint32_t(length), bytes, nullptr));
        if (taken > 0 && !port->in_flight) midi_out_start_next(port);
    }
    if (port->failed) {
        set_err(err, MIDI_OUT_DEVICE_ERROR);
        return -1;
    }
    set_err(err, MIDI_OUT_OK);
    return taken;
}

int midi_out_can_accept(MidiOutPort* port, int count, int* err) {
    if (!valid(port)) {
        set_err(err, MIDI_OUT_NOT_FOUND);
        return 0;
    }
    if (count < 0) {
        set_err(err, MIDI_OUT_INVALID_COUNT);
        return 0;
    }
    midi_out_poll(port);
    uint32_t need = count < 1 ? 1u : uint32_t(count);
    set_err(err, MIDI_OUT_OK);
    return !port->failed && byte_queue_free_space(port->queue, nullptr) > need;
}

int midi_out_pending(MidiOutPort* port, int* err) {
    if (!valid(port)) {
        set_err(err, MIDI_OUT_NOT_FOUND);
        return 0;
    }
    midi_out_poll(port);
    uint32_t held = 0;
    const MidiPlatform* mp = midi_platform();
    if (!port->in_flight && mp->out_progress) {
        // Bytes of finished buffers that the device still has to send; after
        // a failure, those it went without.
        uint32_t next_us = 0;
        uint32_t r = mp->out_progress(port->handle, &held, &next_us);
        if (r != MIDI_RES_OK && !port->failed) {
            port->last_result = r;
            note("device failed, buffer not sent");
            port->failed = 1;
        }
    }
    set_err(err, port->failed ? MIDI_OUT_DEVICE_ERROR : MIDI_OUT_OK);
    return int(byte_queue_count(port->queue, nullptr) + held);
}

int midi_out_wait_hint(MidiOutPort* port, int* err) {
    if (!valid(port)) {
        set_err(err, MIDI_OUT_NOT_FOUND);
        return 0;
    }
    set_err(err, MIDI_OUT_OK);
    midi_out_poll(port);
    if (port->failed) return 0;
    uint32_t held = 0, next_us = 0;
    const MidiPlatform* mp = midi_platform();
    uint32_t r = mp->out_progress ? mp->out_progress(port->handle, &held, &next_us) : MIDI_RES_OK;
    if (!port->in_flight && byte_queue_count(port->queue, nullptr) == 0 && held == 0) return 0;
    // A device that failed is worth asking again at once: the next call
    // reports the failure.
    if (r != MIDI_RES_OK) return MIDI_OUT_WAIT_MIN_US;
    if (!mp->out_progress) next_us = MIDI_OUT_WAIT_DEFAULT_US;
    if (next_us < uint32_t(MIDI_OUT_WAIT_MIN_US)) next_us = MIDI_OUT_WAIT_MIN_US;
    if (next_us > uint32_t(MIDI_OUT_WAIT_MAX_US)) next_us = MIDI_OUT_WAIT_MAX_US;
    return int(next_us);
}

int midi_out_close(MidiOutPort* port, int* err) {
    if (!valid(port)) {
        set_err(err, MIDI_OUT_NOT_FOUND);
        return 0;
    }
    port->closing = 1;
    const MidiPlatform* mp = midi_platform();
    if (port->in_flight) {
        mp->pause_ms(10);
        midi_out_poll(port);
    }
    if (port->in_flight) {
        set_err(err, MIDI_OUT_DEVICE_ERROR);
        return 0;
    }
    port->last_result = mp->out_close(port->handle);
    if (port->last_result != MIDI_RES_OK) {
        set_err(err, MIDI_OUT_DEVICE_ERROR);
        return 0;
    }
    __atomic_store_n(&port->handle, static_cast<MidiHandle>(nullptr), __ATOMIC_RELEASE);
    byte_queue_free(port->queue, nullptr);
    port->queue = nullptr;
    store(&port->tag, 0);
    zp_free(port);
    set_err(err, MIDI_OUT_OK);
    return 1;
}

const char* midi_out_error_text(unsigned code) {
    if (code >= sizeof kErrorText / sizeof kErrorText[0]) return "(?)";
    return kErrorText[code];
}
