// The input port over a real JACK server: a sending client's short messages
// and SysEx reach the caller whole and in order, SysEx longer than one buffer
// included, and a caller that does not poll loses whole messages (counted and
// reported), never parts glued together.
#include "midi/jack/jack_midi_in.h"
#include "midi/midi_in.h"
#include "midi/port_records.h"
#include "tests/support/jack_peer.h"
#include "tests/support/jack_server.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

// The sender: a JACK client of the test's own in a process of its own
// (tests/support/jack_peer.h), "zp-test-source:out", that plays the messages
// the test releases, in order, splitting a SysEx longer than a cycle's room
// into successive events.
using Source = JackPeer;

// True when a client missed a cycle, and with it, possibly, what the cycle
// carried: then only the absence of races, not delivery, can be checked.
bool cycles_missed(Source* s) { return jack_peer_xruns(s) > 0; }

// Lets the sender play the messages; waits until it has.
bool play(Source* s, const std::vector<Bytes>& msgs) { return jack_peer_play(s, msgs); }

// Reads until `want` bytes came or `limit_ms` passed.
Bytes read_bytes(MidiInPort* p, size_t want, int limit_ms = 2000) {
    Bytes got, buf(4096);
    auto until = Clock::now() + std::chrono::milliseconds(limit_ms);
    while (got.size() < want && Clock::now() < until) {
        int err = -1;
        int n = midi_in_read(p, uint32_t(buf.size()), buf.data(), &err);
        EXPECT_GE(n, 0) << err;
        if (n <= 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            continue;
        }
        got.insert(got.end(), buf.begin(), buf.begin() + n);
    }
    return got;
}

// Sends active-sensing bytes until one arrives, then empties the port: the
// first cycles of a freshly started client may be missed (slowly, under
// ThreadSanitizer), and with them whatever they carried.
bool warm_up(Source* s, MidiInPort* p) {
    for (int i = 0; i < 20; i++) {
        if (!play(s, {{0xFE}})) return false;
        if (!read_bytes(p, 1, 200).empty()) {
            while (!read_bytes(p, 1, 50).empty()) {
            }
            return true;
        }
    }
    return false;
}

Bytes sysex(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; i++) b[i] = uint8_t((i * 3 + seed) & 0x7F);
    b.front() = 0xF0;
    b.back() = 0xF7;
    return b;
}

// Under ThreadSanitizer the clients run so slowly that a short period makes
// the server miss cycles; a longer one keeps them in step.
#if defined(__SANITIZE_THREAD__)
const bool kSlowBuild = true;
#else
const bool kSlowBuild = false;
#endif

class MidiInJack : public ::testing::Test {
  protected:
    PrivateJack jack = {};
    Source src;
    void SetUp() override {
        ASSERT_TRUE(private_jack_start(&jack, "zp-midi-in", kSlowBuild ? 1024 : 256, !kSlowBuild)) << "see " << jack.log;
        ASSERT_TRUE(jack_peer_start(&src, "source", "zp-test-source", 1 << 20));
    }
    void TearDown() override {
        // The server first, while the peer still answers it: a server that
        // has not yet seen a killed client go waits for it as it stops.
        private_jack_stop(&jack);
        jack_peer_stop(&src);
    }
};

TEST_F(MidiInJack, ListsOtherClientsOutputsAndReceivesEverythingInOrder) {
    static std::vector<std::string> names;
    names.clear();
    midi_in_list_devices([](const char* n) { names.push_back(n); });
    EXPECT_EQ(names, std::vector<std::string>{"zp-test-source:out"});

    int err = -1;
    MidiInPort* p = midi_in_open_by_name("zp-test-source:out", &err);
    ASSERT_NE(p, nullptr) << err;
    // Our own client's ports are never devices.
    EXPECT_EQ(midi_in_device_count(), 1);
    ASSERT_TRUE(warm_up(&src, p));

    Bytes big = sysex(3000, 1);
    std::vector<Bytes> msgs = {{0x90, 0x3C, 0x64}, {0xC5, 0x07}, big, {0xB0, 0x0A, 0x06}, {0xF8}};
    ASSERT_TRUE(play(&src, msgs));
    Bytes want;
    for (const Bytes& m : msgs) want.insert(want.end(), m.begin(), m.end());
    Bytes got = read_bytes(p, want.size());
    if (kSlowBuild && cycles_missed(&src)) {
        EXPECT_EQ(midi_in_close(p, &err), 1);
        return;
    }
    ASSERT_EQ(got.size(), want.size());

    // The short messages after the SysEx may overtake its later buffers; take
    // them out and the rest is the SysEx, whole.
    Bytes tail = {0xB0, 0x0A, 0x06, 0xF8};
    auto at = std::search(got.begin(), got.end(), tail.begin(), tail.begin() + 3);
    ASSERT_NE(at, got.end());
    got.erase(at, at + 3);
    at = std::find(got.begin() + 5, got.end(), 0xF8);
    ASSERT_NE(at, got.end());
    got.erase(at);
    Bytes head = {0x90, 0x3C, 0x64, 0xC5, 0x07};
    EXPECT_TRUE(std::equal(head.begin(), head.end(), got.begin()));
    EXPECT_TRUE(Bytes(got.begin() + 5, got.end()) == big);
    EXPECT_EQ(midi_jack_in_lost(p->handle), 0u);

    EXPECT_EQ(midi_in_close(p, &err), 1);
    EXPECT_EQ(err, 0);
}

// Twelve SysEx messages of one buffer each while the caller does not poll:
// ten buffers hold ten of them, the other two are lost whole and reported.
TEST_F(MidiInJack, ACallerThatDoesNotPollLosesWholeMessages) {
    int err = -1;
    MidiInPort* p = midi_in_open_by_name("zp-test-source:out", &err);
    ASSERT_NE(p, nullptr) << err;
    ASSERT_TRUE(warm_up(&src, p));
    std::vector<Bytes> msgs;
    for (int i = 0; i < 12; i++) msgs.push_back(sysex(1024, uint8_t(i)));
    ASSERT_TRUE(play(&src, msgs));
    auto until = Clock::now() + std::chrono::seconds(1);
    while (midi_jack_in_lost(p->handle) < 2048 && Clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (kSlowBuild && cycles_missed(&src)) {
        read_bytes(p, 10 * 1024, 500);
        EXPECT_EQ(midi_in_close(p, &err), 1);
        return;
    }
    EXPECT_EQ(midi_jack_in_lost(p->handle), 2048u);

    testing::internal::CaptureStderr();
    Bytes got = read_bytes(p, 10 * 1024);
    std::string lines = testing::internal::GetCapturedStderr();
    EXPECT_EQ(lines, "MIDI-IN: 2048 received bytes lost (no free buffer or no message)\n");
    Bytes want;
    for (int i = 0; i < 10; i++) want.insert(want.end(), msgs[size_t(i)].begin(), msgs[size_t(i)].end());
    EXPECT_TRUE(got == want);

    // Polling again, the next message comes through whole.
    ASSERT_TRUE(play(&src, {sysex(20, 99)}));
    EXPECT_TRUE(read_bytes(p, 20) == sysex(20, 99));
    EXPECT_EQ(midi_in_close(p, &err), 1);
}

// The device's client goes away while the port is open: reading goes on
// (nothing arrives) and close still succeeds.
TEST_F(MidiInJack, ASourceThatVanishesLeavesAPortThatStillCloses) {
    int err = -1;
    MidiInPort* p = midi_in_open_by_name("zp-test-source:out", &err);
    ASSERT_NE(p, nullptr) << err;
    jack_peer_stop(&src);
    // The server drops the killed client's ports as soon as it notices.
    auto until = Clock::now() + std::chrono::seconds(10);
    while (midi_in_find_device("zp-test-source:out") >= 0 && Clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(midi_in_read(p, 10, nullptr, &err), 0);
    EXPECT_EQ(err, 0);
    EXPECT_EQ(midi_in_close(p, &err), 1);
    EXPECT_EQ(midi_in_open_by_name("zp-test-source:out", &err), nullptr);
    EXPECT_EQ(err, MIDI_IN_NOT_FOUND);
}

}  // namespace
