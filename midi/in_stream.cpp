#include "midi/in_stream.h"

#include "midi/backend.h"

#include <cstring>

namespace {

// Length of a short message with its status byte, indexed by the status byte's
// high four bits; the 0xF row is decided by kSystemLength.
const uint8_t kChannelLength[16] = {0, 0, 0, 0, 0, 0, 0, 0, 3, 3, 3, 3, 2, 2, 3, 0};

// Length of a system message, indexed by the status byte's low four bits; F0
// and F7 frame a SysEx and are handled apart.
const uint8_t kSystemLength[16] = {0, 2, 3, 2, 1, 1, 1, 0, 1, 1, 1, 1, 1, 1, 1, 1};

uint8_t message_length(uint8_t status) {
    return status >= 0xF0 ? kSystemLength[status & 0x0F] : kChannelLength[status >> 4];
}

template <typename T>
T load(const T* w) {
    return __atomic_load_n(w, __ATOMIC_ACQUIRE);
}
template <typename T>
void store(T* w, T v) {
    __atomic_store_n(w, v, __ATOMIC_RELEASE);
}

void lose(MidiInStream* s, uint64_t n) { __atomic_fetch_add(&s->lost, n, __ATOMIC_RELAXED); }

void deliver_short(MidiInStream* s, const uint8_t* b, uint8_t n) {
    uintptr_t packed = b[0];
    if (n > 1) packed |= uintptr_t(b[1]) << 8;
    if (n > 2) packed |= uintptr_t(b[2]) << 16;
    s->cb(s->handle, MIDI_MIM_DATA, s->instance, packed, 0);
}

void give_back(MidiInStream* s, MidiHeader* h, uint32_t msg) {
    midi_header_returned(h);
    s->cb(s->handle, msg, s->instance, reinterpret_cast<uintptr_t>(h), 0);
}

// Returns the buffer being filled, if any.
void return_current(MidiInStream* s, uint32_t msg) {
    MidiHeader* h = s->cur;
    if (!h) return;
    store(&s->cur, static_cast<MidiHeader*>(nullptr));
    give_back(s, h, msg);
}

// The next added buffer, or null when none waits.
MidiHeader* next_buffer(MidiInStream* s) {
    uint32_t t = s->taken;
    if (load(&s->added) == t) return nullptr;
    MidiHeader* h = s->slots[t % IN_STREAM_SLOTS];
    store(&s->taken, t + 1);
    store(&s->cur, h);
    return h;
}

void put_sysex(MidiInStream* s, uint8_t b) {
    if (s->skipping) {
        lose(s, 1);
        return;
    }
    MidiHeader* h = s->cur ? s->cur : next_buffer(s);
    if (!h) {
        lose(s, 1);
        s->skipping = 1;
        return;
    }
    h->lpData[h->dwBytesRecorded++] = char(b);
    if (h->dwBytesRecorded >= h->dwBufferLength) return_current(s, MIDI_MIM_LONGDATA);
}

// A status byte other than a real-time one ends whatever was under way.
void end_message(MidiInStream* s) {
    if (s->sysex) {
        // Cut short: the buffer holding its last bytes says so.
        return_current(s, MIDI_MIM_LONGERROR);
        s->sysex = 0;
        s->skipping = 0;
    }
    if (s->have > 0 && s->have < message_length(s->msg[0])) lose(s, s->have);
    s->have = 0;
}

void feed_byte(MidiInStream* s, uint8_t b) {
    if (b >= 0xF8) {  // real-time: on its own, anywhere, changes nothing
        deliver_short(s, &b, 1);
        return;
    }
    if (b == 0xF7) {
        if (!s->sysex) {
            lose(s, 1);
            return;
        }
        put_sysex(s, b);
        return_current(s, MIDI_MIM_LONGDATA);
        s->sysex = 0;
        s->skipping = 0;
        return;
    }
    if (b >= 0x80) {
        end_message(s);
        if (b == 0xF0) {
            s->running = 0;
            s->sysex = 1;
            put_sysex(s, b);
            return;
        }
        s->running = b < 0xF0 ? b : 0;  // system messages cancel running status
        s->msg[0] = b;
        s->have = 1;
    } else if (s->sysex) {
        put_sysex(s, b);
        return;
    } else if (s->have == 0) {
        if (!s->running) {
            lose(s, 1);  // a data byte belonging to nothing
            return;
        }
        s->msg[0] = s->running;
        s->msg[1] = b;
        s->have = 2;
    } else {
        s->msg[s->have++] = b;
    }
    uint8_t len = message_length(s->msg[0]);
    if (len == 0) {  // an undefined status byte
        lose(s, 1);
        s->have = 0;
        return;
    }
    if (s->have < len) return;
    deliver_short(s, s->msg, len);
    s->have = 0;
}

}  // namespace

void in_stream_init(MidiInStream* s, MidiCallback cb, MidiHandle handle, uintptr_t instance) {
    std::memset(s, 0, sizeof *s);
    s->cb = cb;
    s->handle = handle;
    s->instance = instance;
}

uint32_t in_stream_add(MidiInStream* s, MidiHeader* hdr) {
    uint32_t a = s->added;
    if (a - load(&s->taken) >= IN_STREAM_SLOTS) return MIDI_RES_NOT_READY;
    hdr->dwBytesRecorded = 0;
    midi_header_queued(hdr);
    s->slots[a % IN_STREAM_SLOTS] = hdr;
    store(&s->added, a + 1);
    return MIDI_RES_OK;
}

void in_stream_feed(MidiInStream* s, const uint8_t* bytes, size_t n) {
    for (size_t i = 0; i < n; i++) feed_byte(s, bytes[i]);
}

void in_stream_publish(MidiInStream* s) { __atomic_fetch_add(&s->passes, 1u, __ATOMIC_RELEASE); }

void in_stream_take_over(MidiInStream* s) { (void)load(&s->passes); }

void in_stream_return(MidiInStream* s, bool all) {
    MidiHeader* h = load(&s->cur);
    if (h && (all || h->dwBytesRecorded > 0)) return_current(s, MIDI_MIM_LONGDATA);
    if (all) {
        for (;;) {
            uint32_t t = load(&s->taken);
            if (load(&s->added) == t) break;
            MidiHeader* w = s->slots[t % IN_STREAM_SLOTS];
            store(&s->taken, t + 1);
            give_back(s, w, MIDI_MIM_LONGDATA);
        }
    }
    s->sysex = 0;
    s->skipping = 0;
    s->have = 0;
    s->running = 0;
}

bool in_stream_holding(MidiInStream* s) {
    return load(&s->added) != load(&s->taken) || load(&s->cur) != nullptr;
}

uint64_t in_stream_lost(const MidiInStream* s) { return __atomic_load_n(&s->lost, __ATOMIC_RELAXED); }
