// A JACK client of the test's own, in a process of its own (zp-jack-peer):
// a sink that records every byte its MIDI input port receives, or a source
// that plays the messages the test hands it on its MIDI output port. What it
// receives or is to send passes through a shared memory file.
//
// The peer never closes its client: it ends by SIGKILL, and the server drops
// the client as it drops a device that goes away. A JACK client closed inside
// a process under ThreadSanitizer can hang for good, since libjack cancels its
// threads asynchronously, possibly while the sanitizer holds a lock of its
// own; the test process therefore opens no JACK client but the ports under
// test.
#ifndef ZP_TESTS_JACK_PEER_H
#define ZP_TESTS_JACK_PEER_H

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <vector>

// The shared record. Counters are read and written with atomics.
struct JackPeerShared {
    uint64_t capacity;    // bytes of `data`
    uint64_t count;       // sink: bytes received; source: bytes the test released
    uint64_t done;        // source: bytes of whole messages sent
    uint32_t lost;        // sink: events the server reported lost
    uint32_t bad_events;  // sink: events holding an F7 anywhere but at their end
    uint32_t xruns;       // cycles the server reported some client late for
    uint32_t ready;       // 1 once the peer's port is registered and active
    // Sink: the bytes received. Source: messages, each as a 4-byte length
    // (host order) followed by its bytes.
    uint8_t data[];
};

struct JackPeer {
    pid_t pid = 0;
    JackPeerShared* shared = nullptr;
    size_t map_size = 0;
    char path[64] = "";
    char sem[160] = "";  // the semaphore file the server makes for the client
};

// Starts `zp-jack-peer ROLE CLIENT FILE` ("sink" or "source") on the server
// JACK_DEFAULT_SERVER names and waits (up to 10 s) until its port is active.
// False, with nothing left running, when it did not come up.
bool jack_peer_start(JackPeer* p, const char* role, const char* client, size_t capacity);

// Kills the peer (its client vanishes from the server as a device that goes
// away does) and releases the shared file. Safe to call twice.
void jack_peer_stop(JackPeer* p);

// Sink: bytes received so far.
size_t jack_peer_count(const JackPeer* p);

// Source: queues messages and lets the peer send them; waits (up to 10 s)
// until it has. False when it did not.
bool jack_peer_play(JackPeer* p, const std::vector<std::vector<uint8_t>>& msgs);

// Either: cycles the server reported some client late for.
uint32_t jack_peer_xruns(const JackPeer* p);

#endif
