// The virtual amp's link to the world: a JACK client with one MIDI input and
// one MIDI output port, or an ALSA rawmidi device (the gadget side of a
// USB-MIDI device, say). JACK's process callback, or a reader thread on the
// rawmidi device, only copies bytes into the receive ring; all of the amp's
// work happens on the main thread.
#include "tools/virtual-amp/vamp.h"

#include <alsa/asoundlib.h>
#include <jack/jack.h>
#include <jack/midiport.h>
#include <poll.h>
#include <unistd.h>

#include <thread>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

// ---------------------------------------------------------------- ring

bool vamp_ring_init(VampRing* r, size_t cap) {
    size_t c = 1;
    while (c < cap) c <<= 1;
    r->buf = static_cast<uint8_t*>(std::malloc(c));
    r->cap = r->buf ? c : 0;
    r->head.store(0, std::memory_order_relaxed);
    r->tail.store(0, std::memory_order_relaxed);
    return r->buf != nullptr;
}

void vamp_ring_free(VampRing* r) {
    std::free(r->buf);
    r->buf = nullptr;
    r->cap = 0;
}

size_t vamp_ring_used(const VampRing* r) {
    return r->head.load(std::memory_order_acquire) - r->tail.load(std::memory_order_acquire);
}

size_t vamp_ring_space(const VampRing* r) { return r->cap - vamp_ring_used(r); }

namespace {

void ring_copy_in(VampRing* r, size_t at, const void* src, size_t n) {
    const uint8_t* s = static_cast<const uint8_t*>(src);
    size_t off = at & (r->cap - 1);
    size_t first = n < r->cap - off ? n : r->cap - off;
    std::memcpy(r->buf + off, s, first);
    std::memcpy(r->buf, s + first, n - first);
}

void ring_copy_out(const VampRing* r, size_t at, void* dst, size_t n) {
    uint8_t* d = static_cast<uint8_t*>(dst);
    size_t off = at & (r->cap - 1);
    size_t first = n < r->cap - off ? n : r->cap - off;
    std::memcpy(d, r->buf + off, first);
    std::memcpy(d + first, r->buf, n - first);
}

}  // namespace

bool vamp_ring_write2(VampRing* r, const void* a, size_t na, const void* b, size_t nb) {
    size_t head = r->head.load(std::memory_order_relaxed);
    size_t tail = r->tail.load(std::memory_order_acquire);
    if (r->cap - (head - tail) < na + nb) return false;
    if (na) ring_copy_in(r, head, a, na);
    if (nb) ring_copy_in(r, head + na, b, nb);
    r->head.store(head + na + nb, std::memory_order_release);
    return true;
}

bool vamp_ring_peek(const VampRing* r, void* dst, size_t n) {
    size_t tail = r->tail.load(std::memory_order_relaxed);
    size_t head = r->head.load(std::memory_order_acquire);
    if (head - tail < n) return false;
    ring_copy_out(r, tail, dst, n);
    return true;
}

bool vamp_ring_read(VampRing* r, void* dst, size_t n) {
    if (!vamp_ring_peek(r, dst, n)) return false;
    r->tail.store(r->tail.load(std::memory_order_relaxed) + n, std::memory_order_release);
    return true;
}

// ---------------------------------------------------------------- link

namespace {

// Received events: a header, then the bytes.
struct RxHeader {
    uint64_t t_us;
    uint32_t length;
};

inline constexpr size_t kRxRing = 8u << 20;  // several seconds of anything JACK can carry
inline constexpr size_t kTxRing = 256u << 10;

void jack_error_line(const char* msg) { std::fprintf(stderr, "virtual-amp: JACK: %s\n", msg); }
void jack_quiet(const char*) {}

double realtime_s() {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

}  // namespace

struct VampLink {
    jack_client_t* client;
    jack_port_t* in;
    jack_port_t* out;
    VampRing rx;
    VampRing tx;
    std::atomic<uint64_t> lost;
    std::atomic<bool> gone;
    std::atomic<bool> ready;  // both ports registered; the process callback may use them
    uint32_t tx_left;   // bytes of the message being written still in the ring (process thread only)
    uint32_t tx_total;  // its full length
    uint64_t jack_t0;   // JACK time and wall clock taken together at open
    double wall_t0;
    char in_name[160];
    char out_name[160];
    // The rawmidi device instead of JACK (client is null then).
    snd_rawmidi_t* raw_in = nullptr;
    snd_rawmidi_t* raw_out = nullptr;
    std::thread reader;
    std::atomic<bool> quit{false};
};

namespace {

void take_input(VampLink* l, jack_nframes_t nframes) {
    void* buf = jack_port_get_buffer(l->in, nframes);
    jack_nframes_t base = jack_last_frame_time(l->client);
    uint32_t n = jack_midi_get_event_count(buf);
    for (uint32_t i = 0; i < n; i++) {
        jack_midi_event_t ev;
        if (jack_midi_event_get(&ev, buf, i) != 0) continue;
        RxHeader h = {uint64_t(jack_frames_to_time(l->client, base + ev.time)), uint32_t(ev.size)};
        if (!vamp_ring_write2(&l->rx, &h, sizeof h, ev.buffer, ev.size))
            l->lost.fetch_add(ev.size, std::memory_order_relaxed);
    }
}

// Writes queued messages to the output port. A message waits for the next
// cycle when it does not fit into what is left of this one; only a message
// larger than an empty buffer takes is split into pieces.
void give_output(VampLink* l, jack_nframes_t nframes) {
    void* buf = jack_port_get_buffer(l->out, nframes);
    jack_midi_clear_buffer(buf);
    bool wrote = false;
    for (;;) {
        if (l->tx_left == 0) {
            uint32_t len = 0;
            if (!vamp_ring_peek(&l->tx, &len, sizeof len)) break;
            vamp_ring_read(&l->tx, &len, sizeof len);
            l->tx_left = l->tx_total = len;
            if (len == 0) continue;
        }
        size_t room = jack_midi_max_event_size(buf);
        if (room == 0) break;
        size_t n = l->tx_left;
        if (n > room) {
            // A whole message waits for an empty buffer; one that an empty
            // buffer cannot hold, or that is already begun, goes in pieces.
            if (wrote && l->tx_left == l->tx_total) break;
            n = room;
        }
        jack_midi_data_t* dst = jack_midi_event_reserve(buf, 0, n);
        if (!dst) break;
        vamp_ring_read(&l->tx, dst, n);
        l->tx_left -= uint32_t(n);
        wrote = true;
    }
}

int on_process(jack_nframes_t nframes, void* arg) {
    VampLink* l = static_cast<VampLink*>(arg);
    if (!l->ready.load(std::memory_order_acquire)) return 0;
    take_input(l, nframes);
    give_output(l, nframes);
    return 0;
}

void on_shutdown(void* arg) { static_cast<VampLink*>(arg)->gone.store(true); }

}  // namespace

VampLink* vamp_link_open(const char* client_name, char* errbuf, size_t errlen) {
    jack_set_error_function(jack_quiet);
    jack_set_info_function(jack_quiet);
    VampLink* l = new VampLink();
    l->client = nullptr;
    l->lost.store(0);
    l->gone.store(false);
    l->ready.store(false);
    l->tx_left = l->tx_total = 0;
    if (!vamp_ring_init(&l->rx, kRxRing) || !vamp_ring_init(&l->tx, kTxRing)) {
        std::snprintf(errbuf, errlen, "not enough memory");
        vamp_link_close(l);
        return nullptr;
    }
    jack_status_t status;
    l->client = jack_client_open(client_name, jack_options_t(JackNoStartServer | JackUseExactName), &status);
    if (!l->client) {
        if (status & JackNameNotUnique)
            std::snprintf(errbuf, errlen, "a JACK client named '%s' is already there", client_name);
        else
            std::snprintf(errbuf, errlen, "no JACK server to connect to (status 0x%x)", unsigned(status));
        vamp_link_close(l);
        return nullptr;
    }
    jack_set_error_function(jack_error_line);
    jack_set_process_callback(l->client, on_process, l);
    jack_on_shutdown(l->client, on_shutdown, l);
    l->jack_t0 = jack_get_time();
    l->wall_t0 = realtime_s();
    // Ports are registered only once the client is active: a peer that sees
    // them can connect to them at once (JACK refuses connections to the
    // ports of a client that is not active yet).
    if (jack_activate(l->client) != 0) {
        std::snprintf(errbuf, errlen, "could not activate the JACK client");
        vamp_link_close(l);
        return nullptr;
    }
    l->in = jack_port_register(l->client, VAMP_IN_PORT, JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    l->out = jack_port_register(l->client, VAMP_OUT_PORT, JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    if (!l->in || !l->out) {
        std::snprintf(errbuf, errlen, "could not register the MIDI ports");
        vamp_link_close(l);
        return nullptr;
    }
    std::snprintf(l->in_name, sizeof l->in_name, "%s", jack_port_name(l->in));
    std::snprintf(l->out_name, sizeof l->out_name, "%s", jack_port_name(l->out));
    l->ready.store(true, std::memory_order_release);
    return l;
}

namespace {

uint64_t mono_us() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000000u + uint64_t(ts.tv_nsec) / 1000u;
}

// The rawmidi reader: whatever the device delivers goes into the receive
// ring as one event per read, stamped on arrival. The ring is far larger
// than the device's buffer, so the main thread never has to keep pace
// within a read.
void raw_reader(VampLink* l) {
    uint8_t buf[4096];
    int nfds = snd_rawmidi_poll_descriptors_count(l->raw_in);
    pollfd fds[4];
    if (nfds > 4) nfds = 4;
    snd_rawmidi_poll_descriptors(l->raw_in, fds, unsigned(nfds));
    while (!l->quit.load()) {
        ssize_t n = snd_rawmidi_read(l->raw_in, buf, sizeof buf);
        if (n == -EAGAIN || n == 0) {
            poll(fds, nfds_t(nfds), 50);
            continue;
        }
        if (n < 0) {
            l->gone.store(true);  // the device went away (or failed)
            return;
        }
        RxHeader h = {mono_us(), uint32_t(n)};
        if (!vamp_ring_write2(&l->rx, &h, sizeof h, buf, size_t(n))) l->lost.fetch_add(uint64_t(n));
    }
}

}  // namespace

VampLink* vamp_link_open_rawmidi(const char* id, char* errbuf, size_t errlen) {
    VampLink* l = new VampLink();
    l->client = nullptr;
    l->lost.store(0);
    l->gone.store(false);
    l->jack_t0 = mono_us();
    l->wall_t0 = realtime_s();
    std::snprintf(l->in_name, sizeof l->in_name, "%s (rawmidi in)", id);
    std::snprintf(l->out_name, sizeof l->out_name, "%s (rawmidi out)", id);
    int r = snd_rawmidi_open(&l->raw_in, &l->raw_out, id, SND_RAWMIDI_NONBLOCK);
    if (r < 0) {
        std::snprintf(errbuf, errlen, "cannot open rawmidi %s: %s", id, snd_strerror(r));
        delete l;
        return nullptr;
    }
    // The device's own input buffer as large as ALSA allows: with the
    // default 4 KiB a reader that is not scheduled in time loses data
    // without a word.
    snd_rawmidi_params_t* params = nullptr;
    if (snd_rawmidi_params_malloc(&params) == 0) {
        if (snd_rawmidi_params_current(l->raw_in, params) == 0 &&
            snd_rawmidi_params_set_buffer_size(l->raw_in, params, VAMP_RAWMIDI_BUFFER) == 0)
            snd_rawmidi_params(l->raw_in, params);
        snd_rawmidi_params_free(params);
    }
    if (!vamp_ring_init(&l->rx, kRxRing)) {
        std::snprintf(errbuf, errlen, "out of memory");
        snd_rawmidi_close(l->raw_in);
        snd_rawmidi_close(l->raw_out);
        delete l;
        return nullptr;
    }
    l->reader = std::thread(raw_reader, l);
    return l;
}

void vamp_link_close(VampLink* l) {
    if (!l) return;
    if (l->raw_in) {
        l->quit.store(true);
        if (l->reader.joinable()) l->reader.join();
        snd_rawmidi_close(l->raw_in);
        snd_rawmidi_close(l->raw_out);
        vamp_ring_free(&l->rx);
        delete l;
        return;
    }
    if (l->client) {
        if (!l->gone.load()) jack_deactivate(l->client);
        jack_client_close(l->client);
    }
    vamp_ring_free(&l->rx);
    vamp_ring_free(&l->tx);
    delete l;
}

long vamp_link_read(VampLink* l, uint64_t* t_us, uint8_t* buf, long cap) {
    RxHeader h;
    if (!vamp_ring_peek(&l->rx, &h, sizeof h)) return 0;
    // The header and its bytes were published together.
    vamp_ring_read(&l->rx, &h, sizeof h);
    *t_us = h.t_us;
    long n = long(h.length);
    long take = n < cap ? n : cap;
    vamp_ring_read(&l->rx, buf, size_t(take));
    for (long skip = n - take; skip > 0;) {  // a caller's buffer too small: drop the rest, counted
        uint8_t tmp[256];
        long k = skip < long(sizeof tmp) ? skip : long(sizeof tmp);
        vamp_ring_read(&l->rx, tmp, size_t(k));
        skip -= k;
        l->lost.fetch_add(uint64_t(k));
    }
    return take;
}

bool vamp_link_send(VampLink* l, const uint8_t* bytes, long n) {
    if (n <= 0) return true;
    if (l->raw_out) {
        // Replies are short: the device takes them whole or the send fails.
        for (long off = 0, tries = 0; off < n; tries++) {
            ssize_t k = snd_rawmidi_write(l->raw_out, bytes + off, size_t(n - off));
            if (k > 0) {
                off += k;
            } else if (k != -EAGAIN || tries > 1000) {
                return false;
            } else {
                usleep(1000);
            }
        }
        return true;
    }
    uint32_t len = uint32_t(n);
    return vamp_ring_write2(&l->tx, &len, sizeof len, bytes, size_t(n));
}

uint64_t vamp_link_lost(const VampLink* l) { return l->lost.load(); }

bool vamp_link_server_gone(const VampLink* l) { return l->gone.load(); }

uint64_t vamp_link_now_us(const VampLink* l) {
    if (l->raw_in) return mono_us();
    return jack_get_time();
}

double vamp_link_wall_s(const VampLink* l, uint64_t t_us) {
    return l->wall_t0 + (double(t_us) - double(l->jack_t0)) / 1e6;
}

const char* vamp_link_in_name(const VampLink* l) { return l->in_name; }
const char* vamp_link_out_name(const VampLink* l) { return l->out_name; }
