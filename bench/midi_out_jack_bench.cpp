// Throughput of the output port over a private JACK server, next to a plain
// JACK sender that writes the same bytes as fast as the server lets it.
//
//   midi-out-jack-bench [megabytes] [period-frames]
//
// Both runs send the same stream of SysEx messages to a receiving client and
// count as finished when the receiver has every byte. Prints bytes per second
// of each and their ratio.
#include "midi/midi_out.h"
#include "tests/support/jack_server.h"

#include <jack/jack.h>
#include <jack/midiport.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Receiver {
    jack_client_t* client;
    jack_port_t* port;
    size_t count;  // bytes received, written by the process thread
};

int receive(jack_nframes_t nframes, void* arg) {
    Receiver* r = static_cast<Receiver*>(arg);
    void* buf = jack_port_get_buffer(r->port, nframes);
    size_t add = 0;
    uint32_t n = jack_midi_get_event_count(buf);
    for (uint32_t i = 0; i < n; i++) {
        jack_midi_event_t ev;
        if (jack_midi_event_get(&ev, buf, i) == 0) add += ev.size;
    }
    __atomic_add_fetch(&r->count, add, __ATOMIC_RELEASE);
    return 0;
}

// A sender with no port in between: its process callback writes the stream
// as far as each cycle allows, one event per message or message piece.
struct PlainSender {
    jack_client_t* client;
    jack_port_t* port;
    const std::vector<uint8_t>* data;
    size_t offset;
};

int plain_send(jack_nframes_t nframes, void* arg) {
    PlainSender* s = static_cast<PlainSender*>(arg);
    void* buf = jack_port_get_buffer(s->port, nframes);
    jack_midi_clear_buffer(buf);
    const std::vector<uint8_t>& d = *s->data;
    while (s->offset < d.size()) {
        size_t space = jack_midi_max_event_size(buf);
        if (space == 0) break;
        size_t end = s->offset + 1;
        size_t limit = std::min(d.size(), s->offset + space);
        while (end < limit && d[end - 1] != 0xF7) end++;
        jack_midi_data_t* dst = jack_midi_event_reserve(buf, 0, end - s->offset);
        if (!dst) break;
        std::memcpy(dst, d.data() + s->offset, end - s->offset);
        s->offset = end;
    }
    return 0;
}

jack_client_t* client(const char* name) {
    jack_status_t st;
    return jack_client_open(name, JackNoStartServer, &st);
}

bool wait_for(Receiver* r, size_t total, double timeout_s) {
    auto end = Clock::now() + std::chrono::duration<double>(timeout_s);
    while (__atomic_load_n(&r->count, __ATOMIC_ACQUIRE) < total) {
        if (Clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

double seconds_since(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

// Sends the stream through the port, continuing partial takes, until the
// receiver has it all. Seconds, or a negative number on failure.
double run_port(const std::vector<uint8_t>& data, const std::vector<size_t>& sizes, Receiver* r) {
    int err = 0;
    MidiOutPort* p = midi_out_open_by_name("zp-bench-sink:in", &err);
    if (!p) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // let the graph settle
    size_t base = __atomic_load_n(&r->count, __ATOMIC_ACQUIRE);
    auto t0 = Clock::now();
    size_t pos = 0;
    for (size_t len : sizes) {
        size_t done = 0;
        while (done < len) {
            int k = midi_out_send(p, data.data() + pos + done, int(len - done), &err);
            if (k < 0) {
                midi_out_close(p, nullptr);
                return -1;
            }
            done += size_t(k);
            if (done < len) std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        pos += len;
    }
    while (midi_out_pending(p, &err) > 0 && err == 0)
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    bool ok = err == 0 && wait_for(r, base + data.size(), 30);
    double t = seconds_since(t0);
    while (!midi_out_close(p, nullptr)) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return ok ? t : -1;
}

double run_plain(const std::vector<uint8_t>& data, Receiver* r) {
    PlainSender s = {client("zp-bench-plain"), nullptr, &data, data.size()};
    if (!s.client) return -1;
    s.port = jack_port_register(s.client, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    jack_set_process_callback(s.client, plain_send, &s);
    jack_activate(s.client);
    jack_connect(s.client, jack_port_name(s.port), "zp-bench-sink:in");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    size_t base = __atomic_load_n(&r->count, __ATOMIC_ACQUIRE);
    auto t0 = Clock::now();
    __atomic_store_n(&s.offset, size_t(0), __ATOMIC_RELEASE);  // start
    bool ok = wait_for(r, base + data.size(), 60);
    double t = seconds_since(t0);
    jack_deactivate(s.client);
    jack_client_close(s.client);
    return ok ? t : -1;
}

}  // namespace

int main(int argc, char** argv) {
    double megabytes = argc > 1 ? std::atof(argv[1]) : 4.0;
    int period = argc > 2 ? std::atoi(argv[2]) : 256;
    size_t total = size_t(megabytes * 1024 * 1024);

    // SysEx messages of 1 to 8 KiB, like the pieces of an update file.
    std::vector<uint8_t> data;
    std::vector<size_t> sizes;
    uint32_t seed = 12345;
    while (data.size() < total) {
        seed = seed * 1103515245u + 12345u;
        size_t len = 1024 + (seed >> 8) % 7169;
        data.push_back(0xF0);
        for (size_t i = 2; i < len; i++) data.push_back(uint8_t((i + data.size()) & 0x7F));
        data.push_back(0xF7);
        sizes.push_back(len);
    }

    PrivateJack server;
    if (!private_jack_start(&server, "zp-bench", period, true)) {
        std::fprintf(stderr, "could not start jackd (see %s)\n", server.log);
        return 1;
    }
    Receiver r = {client("zp-bench-sink"), nullptr, 0};
    if (!r.client) {
        private_jack_stop(&server);
        return 1;
    }
    r.port = jack_port_register(r.client, "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    jack_set_process_callback(r.client, receive, &r);
    jack_activate(r.client);

    double port_s = run_port(data, sizes, &r);
    double plain_s = run_plain(data, &r);
    jack_deactivate(r.client);
    jack_client_close(r.client);
    private_jack_stop(&server);

    std::printf("stream: %zu bytes in %zu SysEx messages, JACK period %d frames at 48 kHz\n",
                data.size(), sizes.size(), period);
    // Each figure on its own line, so a run that failed leaves the other.
    if (port_s > 0)
        std::printf("output port:        %10.0f bytes/s  (%.2f s)\n", data.size() / port_s, port_s);
    else
        std::printf("output port:        failed (the port reported a device error)\n");
    if (plain_s > 0)
        std::printf("plain JACK sender:  %10.0f bytes/s  (%.2f s)\n", data.size() / plain_s, plain_s);
    else
        std::printf("plain JACK sender:  failed (not every byte arrived)\n");
    if (port_s <= 0 || plain_s <= 0) return 1;
    std::printf("ratio port/plain:   %10.2f\n", plain_s / port_s);
    return 0;
}
