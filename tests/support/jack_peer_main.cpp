// zp-jack-peer ROLE CLIENT FILE: a test's own JACK client in a process of its
// own (see tests/support/jack_peer.h). ROLE "sink" registers CLIENT:in and
// records what it receives into FILE; "source" registers CLIENT:out and plays
// the messages the test puts in FILE. It runs until it is killed and never
// closes its client.
#include "tests/support/jack_peer.h"

#include <jack/jack.h>
#include <jack/midiport.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace {

JackPeerShared* sh;
jack_port_t* port;
uint64_t source_at;      // source: offset of the message being sent
uint64_t source_offset;  // into that message, after its length

template <typename T>
T load(T* w) {
    return __atomic_load_n(w, __ATOMIC_ACQUIRE);
}
template <typename T>
void store(T* w, T v) {
    __atomic_store_n(w, v, __ATOMIC_RELEASE);
}

int on_xrun(void*) {
    __atomic_add_fetch(&sh->xruns, 1, __ATOMIC_RELAXED);
    return 0;
}

int sink_process(jack_nframes_t nframes, void*) {
    void* buf = jack_port_get_buffer(port, nframes);
    uint64_t count = sh->count;
    uint32_t n = jack_midi_get_event_count(buf);
    for (uint32_t i = 0; i < n; i++) {
        jack_midi_event_t ev;
        if (jack_midi_event_get(&ev, buf, i) != 0) continue;
        for (size_t k = 0; k + 1 < ev.size; k++)
            if (ev.buffer[k] == 0xF7) __atomic_add_fetch(&sh->bad_events, 1, __ATOMIC_RELAXED);
        size_t take = ev.size;
        if (count + take > sh->capacity) take = size_t(sh->capacity - count);
        std::memcpy(sh->data + count, ev.buffer, take);
        count += take;
    }
    __atomic_add_fetch(&sh->lost, jack_midi_get_lost_event_count(buf), __ATOMIC_RELAXED);
    store(&sh->count, count);
    return 0;
}

// Plays released messages in order, a SysEx longer than a cycle's room split
// into successive events.
int source_process(jack_nframes_t nframes, void*) {
    void* buf = jack_port_get_buffer(port, nframes);
    jack_midi_clear_buffer(buf);
    uint64_t released = load(&sh->count);
    while (source_at < released) {
        uint32_t len;
        std::memcpy(&len, sh->data + source_at, 4);
        const uint8_t* m = sh->data + source_at + 4;
        size_t room = jack_midi_max_event_size(buf);
        if (room == 0) break;
        size_t n = len - source_offset < room ? size_t(len - source_offset) : room;
        jack_midi_data_t* dst = jack_midi_event_reserve(buf, 0, n);
        if (!dst) break;
        std::memcpy(dst, m + source_offset, n);
        source_offset += n;
        if (source_offset < len) break;  // the rest next cycle
        source_offset = 0;
        source_at += 4 + len;
    }
    store(&sh->done, source_at);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: zp-jack-peer sink|source CLIENT FILE\n");
        return 2;
    }
    bool sink = std::strcmp(argv[1], "sink") == 0;
    int fd = open(argv[3], O_RDWR);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) return 1;
    void* map = mmap(nullptr, size_t(st.st_size), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED) return 1;
    sh = static_cast<JackPeerShared*>(map);

    jack_status_t status;
    jack_client_t* c = jack_client_open(argv[2], JackNoStartServer, &status);
    if (!c) return 1;
    port = jack_port_register(c, sink ? "in" : "out", JACK_DEFAULT_MIDI_TYPE,
                              sink ? JackPortIsInput : JackPortIsOutput, 0);
    if (!port || jack_set_process_callback(c, sink ? sink_process : source_process, nullptr) != 0) return 1;
    jack_set_xrun_callback(c, on_xrun, nullptr);
    if (jack_activate(c) != 0) return 1;
    store(&sh->ready, uint32_t(1));
    for (;;) pause();
}
