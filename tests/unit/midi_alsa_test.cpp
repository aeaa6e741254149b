// The rawmidi backend under the output port, with the ALSA calls scripted:
// partial writes, a full device buffer, a device that vanishes or stalls
// mid-buffer or with bytes still to send. The writer thread is real, so these tests
// also run under ThreadSanitizer.
#include "midi/alsa/alsa_midi.h"
#include "midi/midi_out.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <chrono>
#include <cstdio>
#include <algorithm>
#include <deque>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

// What one write call does: take up to `take` bytes, or fail with `error`.
struct WriteStep {
    long take;   // > 0: bytes taken at most
    long error;  // used when take is 0: -EAGAIN, -ENODEV, ...
};

struct Device {
    std::mutex m;
    std::vector<std::string> names;
    std::deque<WriteStep> steps;  // consumed in order; then every write takes all
    Bytes written;
    std::vector<std::string> events;  // "open hw:..", "drop", "close"
    std::deque<long> held_steps;      // what the driver says it holds, call by call
    long held = 0;                    // then this, once something was written
    double sends_per_us = 0;          // or, when set, a device sending at this rate
    Clock::time_point since;          //   since the first write,
    int unsafe_writes = 0;            //   and the writes made while it held 1..kGuard-1 bytes
    int open_result = 0;
    bool stalled = false;  // the device takes nothing and never has room
    int waits = 0;
};

Device* g_dev = nullptr;

// How far ahead of a write the scripted driver must hold bytes.
constexpr long kGuard = 1024;

int dev_list(AlsaDeviceInfo* out, int max) {
    std::lock_guard<std::mutex> l(g_dev->m);
    int n = 0;
    for (const std::string& name : g_dev->names) {
        if (n == max) break;
        std::snprintf(out[n].name, sizeof out[n].name, "%s", name.c_str());
        std::snprintf(out[n].id, sizeof out[n].id, "hw:1,0,%d", n);
        n++;
    }
    return n;
}

int dev_open(const char* id, void** raw) {
    std::lock_guard<std::mutex> l(g_dev->m);
    g_dev->events.push_back(std::string("open ") + id);
    if (g_dev->open_result) return g_dev->open_result;
    *raw = g_dev;
    return 0;
}

// What a device sending at a rate still holds (under the lock).
long modelled_held() {
    if (g_dev->written.empty()) return 0;
    double sent = std::chrono::duration<double, std::micro>(Clock::now() - g_dev->since).count() * g_dev->sends_per_us;
    double held = double(g_dev->written.size()) - sent;
    return held > 0 ? long(held) : 0;
}

long dev_write(void*, const uint8_t* data, size_t n) {
    std::lock_guard<std::mutex> l(g_dev->m);
    if (g_dev->sends_per_us > 0) {
        long h = modelled_held();
        if (h > 0 && h < kGuard) g_dev->unsafe_writes++;
        if (g_dev->written.empty()) g_dev->since = Clock::now();
    }
    long take = long(n);
    if (g_dev->stalled) return -EAGAIN;
    if (!g_dev->steps.empty()) {
        WriteStep s = g_dev->steps.front();
        g_dev->steps.pop_front();
        if (s.take == 0) return s.error;
        if (s.take < take) take = s.take;
    }
    g_dev->written.insert(g_dev->written.end(), data, data + take);
    return take;
}

int dev_wait(void*, int timeout_ms) {
    bool stalled;
    {
        std::lock_guard<std::mutex> l(g_dev->m);
        g_dev->waits++;
        stalled = g_dev->stalled;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(stalled ? timeout_ms : 1));
    return stalled ? 0 : 1;
}

long dev_held(void*) {
    std::lock_guard<std::mutex> l(g_dev->m);
    if (g_dev->sends_per_us > 0) return modelled_held();
    if (g_dev->held_steps.empty()) return g_dev->written.empty() && g_dev->held > 0 ? 0 : g_dev->held;
    long h = g_dev->held_steps.front();
    g_dev->held_steps.pop_front();
    return h;
}

int dev_drop(void*) {
    std::lock_guard<std::mutex> l(g_dev->m);
    g_dev->events.push_back("drop");
    return 0;
}

int dev_close(void*) {
    std::lock_guard<std::mutex> l(g_dev->m);
    g_dev->events.push_back("close");
    return 0;
}

// The smallest ring the backend keeps: one port buffer.
int dev_wake(void*, bool) { return 0; }

const AlsaRawmidiOps kOps = {dev_list, dev_open,  dev_write, dev_wait, dev_wake, dev_held,
                             dev_drop, dev_close, 300,       10240,    kGuard};

Bytes pattern(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; i++) b[i] = uint8_t((i * 13 + seed) & 0x7F);
    return b;
}

class MidiAlsa : public ::testing::Test {
  protected:
    void SetUp() override {
        g_dev = new Device;
        g_dev->names = {"Zorva Pro MIDI 1", "Other Synth MIDI 1"};
        midi_alsa_set_ops(&kOps);
        midi_platform_set(midi_alsa_platform());
    }
    void TearDown() override {
        midi_platform_set(nullptr);
        midi_alsa_set_ops(nullptr);
        delete g_dev;
        g_dev = nullptr;
    }
    void script(std::initializer_list<WriteStep> steps) {
        std::lock_guard<std::mutex> l(g_dev->m);
        g_dev->steps.assign(steps);
    }
    Bytes written() {
        std::lock_guard<std::mutex> l(g_dev->m);
        return g_dev->written;
    }
    std::vector<std::string> events() {
        std::lock_guard<std::mutex> l(g_dev->m);
        return g_dev->events;
    }
    // Polls pending until it is 0 or the port reports an error; returns the
    // last error code.
    int wait_idle(MidiOutPort* p) {
        auto deadline = Clock::now() + std::chrono::seconds(10);
        int err = 0;
        while (Clock::now() < deadline) {
            int n = midi_out_pending(p, &err);
            if (err || n == 0) return err;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        ADD_FAILURE() << "port never went idle";
        return -1;
    }
};

TEST_F(MidiAlsa, ListsSubdevicesByNameAndOpensTheChosenOne) {
    EXPECT_EQ(midi_out_device_count(), 2);
    EXPECT_STREQ(midi_out_device_name(1), "Other Synth MIDI 1");
    int err = -1;
    MidiOutPort* p = midi_out_open_by_name("Other Synth MIDI 1", &err);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(midi_out_close(p, &err), 1);
    EXPECT_EQ(events(), (std::vector<std::string>{"open hw:1,0,1", "close"}));

    g_dev->open_result = -EBUSY;
    EXPECT_EQ(midi_out_open(0, &err), nullptr);
    EXPECT_EQ(err, MIDI_OUT_DEVICE_ERROR);
}

// Partial writes and a full device buffer only slow the writer down: every
// byte is written once, in order.
TEST_F(MidiAlsa, PartialWritesAndAFullDeviceLoseNothing) {
    script({{100, 0}, {0, -EAGAIN}, {1, 0}, {0, -EAGAIN}, {0, -EAGAIN}, {7, 0}, {0, -EAGAIN}});
    MidiOutPort* p = midi_out_open(0, nullptr);
    ASSERT_NE(p, nullptr);
    Bytes a = pattern(3000, 1), b = pattern(5000, 2);
    EXPECT_EQ(midi_out_send(p, a.data(), int(a.size()), nullptr), 3000);
    EXPECT_EQ(midi_out_send(p, b.data(), int(b.size()), nullptr), 5000);
    EXPECT_EQ(wait_idle(p), 0);
    Bytes both = a;
    both.insert(both.end(), b.begin(), b.end());
    EXPECT_EQ(written(), both);
    EXPECT_GE(g_dev->waits, 3);  // every -EAGAIN but the one that hands the buffer to the writer
    EXPECT_EQ(midi_out_close(p, nullptr), 1);
}

TEST_F(MidiAlsa, AVanishedStalledOrUndrainedDeviceFailsThePort) {
    struct Case {
        const char* what;
        std::initializer_list<WriteStep> steps;
        std::initializer_list<long> held;
        bool stalled;
    };
    const Case cases[] = {
        {"vanishes mid-buffer", {{500, 0}, {0, -ENODEV}}, {}, false},
        {"I/O error", {{0, -EIO}}, {}, false},
        {"vanishes before sending what it holds", {}, {500, -ENODEV}, false},
        {"stalls", {{0, -EAGAIN}}, {}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        script(c.steps);
        {
            std::lock_guard<std::mutex> l(g_dev->m);
            g_dev->held_steps.assign(c.held);
        }
        g_dev->stalled = c.stalled;
        MidiOutPort* p = midi_out_open(0, nullptr);
        ASSERT_NE(p, nullptr);
        Bytes m = pattern(2000, 3);
        int err = -1;
        testing::internal::CaptureStderr();
        EXPECT_EQ(midi_out_send(p, m.data(), int(m.size()), &err), 2000);
        EXPECT_EQ(wait_idle(p), MIDI_OUT_DEVICE_ERROR);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "MIDI-OUT: device failed, buffer not sent\n");
        EXPECT_GT(midi_out_pending(p, &err), 0);  // what never went out, as far as the driver said
        EXPECT_EQ(midi_out_send(p, m.data(), 10, &err), -1);
        EXPECT_EQ(err, MIDI_OUT_DEVICE_ERROR);
        EXPECT_EQ(midi_out_close(p, &err), 1);
        // A dead device is closed on a thread of its own (the kernel may
        // wait 10 s there); it is closed all the same.
        for (int i = 0; i < 200 && events().back() != "close"; i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_EQ(events().back(), "close");
        std::lock_guard<std::mutex> l(g_dev->m);
        g_dev->steps.clear();
        g_dev->held_steps.clear();
        g_dev->written.clear();
    }
}

// A buffer is finished once the backend has it, so the port can hand over the
// next while the device is busy; what the backend and the driver still hold
// counts as pending until it has gone. A device that goes away, or
// sends nothing for its stall time, while it still holds bytes fails the
// port; one that goes with nothing left has lost nothing. A port closed
// before the device sent everything drops the rest instead of waiting.
TEST_F(MidiAlsa, BytesTheDriverStillHoldsCountUntilTheyHaveGone) {
    enum End { SENT, GONE_EMPTY, GONE_UNASKED, GONE_HOLDING, STALLS, CLOSED_HOLDING };
    for (End end : {SENT, GONE_EMPTY, GONE_UNASKED, GONE_HOLDING, STALLS, CLOSED_HOLDING}) {
        SCOPED_TRACE(int(end));
        {
            std::lock_guard<std::mutex> l(g_dev->m);
            g_dev->events.clear();
        }
        {
            std::lock_guard<std::mutex> l(g_dev->m);
            g_dev->held = 250;  // the device has yet to send these, once written
        }
        MidiOutPort* p = midi_out_open(0, nullptr);
        ASSERT_NE(p, nullptr);
        Bytes m = pattern(2000, 5);
        ASSERT_EQ(midi_out_send(p, m.data(), 2000, nullptr), 2000);
        auto deadline = Clock::now() + std::chrono::seconds(10);
        int err = -1;
        while (midi_out_pending(p, &err) != 250 && Clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ASSERT_EQ(midi_out_pending(p, &err), 250);
        EXPECT_EQ(err, 0);
        EXPECT_GT(midi_out_wait_hint(p, nullptr), 0);

        testing::internal::CaptureStderr();
        {
            std::lock_guard<std::mutex> l(g_dev->m);
            g_dev->held = end == SENT || end == GONE_EMPTY || end == GONE_UNASKED ? 0
                          : end == GONE_HOLDING                                 ? -ENODEV
                                                                                : 250;
        }
        if (end == GONE_UNASKED) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the device empties, then goes
            std::lock_guard<std::mutex> l(g_dev->m);
            g_dev->held = -ENODEV;
        }
        if (end == GONE_EMPTY) {
            EXPECT_EQ(midi_out_pending(p, &err), 0);
            std::lock_guard<std::mutex> l(g_dev->m);
            g_dev->held = -ENODEV;
        }
        int pending = -1;
        if (end == STALLS) {
            deadline = Clock::now() + std::chrono::seconds(10);
            do {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                pending = midi_out_pending(p, &err);
            } while (err == 0 && Clock::now() < deadline);
        } else if (end != CLOSED_HOLDING) {
            pending = midi_out_pending(p, &err);
        }
        std::string said = testing::internal::GetCapturedStderr();
        bool lost = end == GONE_HOLDING || end == STALLS;
        if (end != CLOSED_HOLDING) {
            EXPECT_EQ(err, lost ? MIDI_OUT_DEVICE_ERROR : 0);
            EXPECT_EQ(said, lost ? "MIDI-OUT: device failed, buffer not sent\n" : "");
            if (!lost) {
                EXPECT_EQ(pending, 0);
            }
        }
        EXPECT_EQ(midi_out_close(p, &err), 1);
        for (int i = 0; i < 200 && events().back() != "close"; i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::vector<std::string> ev = events();
        EXPECT_EQ(std::count(ev.begin(), ev.end(), "drop"), end == CLOSED_HOLDING ? 1 : 0);
        std::lock_guard<std::mutex> l(g_dev->m);
        g_dev->written.clear();
        g_dev->held = 0;
    }
}

// The device goes while a buffer waits for room behind a full ring: the port
// learns it from the next look at what the driver holds, and fails.
TEST_F(MidiAlsa, ADeviceThatGoesWhileABufferWaitsFailsThePort) {
    {
        std::lock_guard<std::mutex> l(g_dev->m);
        g_dev->stalled = true;  // takes nothing: the ring stays full
    }
    MidiOutPort* p = midi_out_open(0, nullptr);
    ASSERT_NE(p, nullptr);
    Bytes full = pattern(10240, 7), m = pattern(2000, 8);
    ASSERT_EQ(midi_out_send(p, full.data(), 10240, nullptr), 10240);
    ASSERT_EQ(midi_out_send(p, m.data(), 2000, nullptr), 2000);  // waits for room
    {
        std::lock_guard<std::mutex> l(g_dev->m);
        g_dev->held = -ENODEV;
    }
    // A caller waiting for room asks when to come back (the writer, waiting
    // for the stalled device, has not looked yet).
    EXPECT_GT(midi_out_wait_hint(p, nullptr), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(wait_idle(p), MIDI_OUT_DEVICE_ERROR);
    testing::internal::GetCapturedStderr();
    int err = -1;
    EXPECT_EQ(midi_out_send(p, m.data(), 10, &err), -1);
    EXPECT_EQ(err, MIDI_OUT_DEVICE_ERROR);
    EXPECT_EQ(midi_out_close(p, &err), 1);
    for (int i = 0; i < 200 && (events().empty() || events().back() != "close"); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));  // closed on a thread of its own
}

// A buffer the backend has no room for yet stays with the driver: close
// refuses until the device has made room, then closes, dropping what the
// device has not sent and never starting what the port still queued.
TEST_F(MidiAlsa, CloseRefusesWhileTheDriverHoldsABufferThenDropsTheRest) {
    // The device takes nothing for a while.
    {
        std::lock_guard<std::mutex> l(g_dev->m);
        g_dev->steps.assign(40, WriteStep{0, -EAGAIN});
    }
    MidiOutPort* p = midi_out_open(0, nullptr);
    ASSERT_NE(p, nullptr);
    Bytes full = pattern(10240, 4), m = pattern(100, 6);
    EXPECT_EQ(midi_out_send(p, full.data(), 10240, nullptr), 10240);  // fills the ring, finished
    EXPECT_EQ(midi_out_send(p, m.data(), 100, nullptr), 100);          // waits for room
    EXPECT_EQ(midi_out_send(p, m.data(), 50, nullptr), 50);            // queued behind it
    int err = -1;
    EXPECT_EQ(midi_out_close(p, &err), 0);
    EXPECT_EQ(err, MIDI_OUT_DEVICE_ERROR);
    auto deadline = Clock::now() + std::chrono::seconds(10);
    int closed = 0;
    while (!closed && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        closed = midi_out_close(p, &err);
    }
    EXPECT_EQ(closed, 1);
    Bytes sent = written();
    Bytes both = full;
    both.insert(both.end(), m.begin(), m.end());
    ASSERT_LE(sent.size(), both.size());  // never the 50 queued bytes
    EXPECT_TRUE(std::equal(sent.begin(), sent.end(), both.begin()));
}

// A long stream with random partial takes, the port polled from this thread
// while the writer thread works: the device sees exactly the stream. The
// device sends at 300 kB/s, and no write lands just behind what it is
// sending, where Linux could send bytes not yet copied in.
TEST_F(MidiAlsa, AStreamThroughTheWriterThreadArrivesExactly) {
    std::mt19937 rng(5);
    {
        std::lock_guard<std::mutex> l(g_dev->m);
        g_dev->sends_per_us = 0.3;
        for (int i = 0; i < 3000; i++) {
            if (rng() % 4 == 0)
                g_dev->steps.push_back({0, -EAGAIN});
            else
                g_dev->steps.push_back({long(1 + rng() % 4000), 0});
        }
    }
    MidiOutPort* p = midi_out_open(0, nullptr);
    ASSERT_NE(p, nullptr);
    Bytes stream;
    auto deadline = Clock::now() + std::chrono::seconds(20);
    while (stream.size() < 200000 && Clock::now() < deadline) {
        Bytes m = pattern(1 + rng() % 4000, uint8_t(stream.size()));
        size_t done = 0;
        while (done < m.size() && Clock::now() < deadline) {
            int k = midi_out_send(p, m.data() + done, int(m.size() - done), nullptr);
            ASSERT_GE(k, 0);
            done += size_t(k);
            if (done < m.size()) std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        stream.insert(stream.end(), m.begin(), m.end());
    }
    EXPECT_EQ(wait_idle(p), 0);
    EXPECT_EQ(written(), stream);
    EXPECT_EQ(g_dev->unsafe_writes, 0);
    EXPECT_EQ(midi_out_close(p, nullptr), 1);
}

// Who holds a device, as /proc/asound shows its substreams' owners and the
// sequencer its connections, told in an owner's words.
TEST(AlsaHolder, IsNamedInAnOwnersWords) {
    const char* proc =
        "Zorva Pro\n\nOutput 0\n  Tx bytes     : 0\n  Owner PID    : 149\n  Mode         : native\n"
        "  Buffer size  : 4096\n  Avail        : 4096\nInput 0\n  Rx bytes     : 0\n  Owner PID    : 148\n"
        "  Buffer size  : 4096\n  Avail        : 0\n  Overruns     : 0\n";
    EXPECT_EQ(midi_alsa_owner_pid(proc, true, 0), 149);
    EXPECT_EQ(midi_alsa_owner_pid(proc, false, 0), 148);
    EXPECT_EQ(midi_alsa_owner_pid(proc, true, 1), 0);
    EXPECT_EQ(midi_alsa_owner_pid("Zorva Pro\n\nOutput 0\n  Tx bytes     : 0\n", true, 0), 0);  // not open

    char text[512];
    AlsaHolder direct = {};
    direct.owner_pid = 4242;
    std::snprintf(direct.owner_name, sizeof direct.owner_name, "amidi");
    midi_alsa_holder_text("Zorva Pro MIDI 1", &direct, text, sizeof text);
    EXPECT_STREQ(text, "Zorva Pro MIDI 1 is in use by amidi (process 4242): close that program to free the amp.");
    direct.owner_name[0] = '\0';  // it has gone since
    midi_alsa_holder_text("Zorva Pro MIDI 1", &direct, text, sizeof text);
    EXPECT_STREQ(text, "Zorva Pro MIDI 1 is in use by another program: close it to free the amp.");

    AlsaHolder bridge = {};
    bridge.owner_pid = 149;
    bridge.peers = 2;
    std::snprintf(bridge.peer_names[0], sizeof bridge.peer_names[0], "PipeWire-RT-Event");
    std::snprintf(bridge.peer_programs[0], sizeof bridge.peer_programs[0], "pipewire");
    bridge.peer_pids[0] = 345;
    std::snprintf(bridge.peer_names[1], sizeof bridge.peer_names[1], "Midi Through");
    midi_alsa_holder_text("Zorva Pro MIDI 1", &bridge, text, sizeof text);
    EXPECT_STREQ(text,
                 "Zorva Pro MIDI 1 is held by a MIDI connection through the ALSA sequencer, from "
                 "PipeWire-RT-Event (pipewire, process 345) and Midi Through (PipeWire's MIDI bridge, a2jmidid "
                 "and music programs make such connections): remove its MIDI connections or close it to free the "
                 "amp.");
    midi_alsa_holder_text("Zorva Pro MIDI 1", &bridge, text, 40);  // cut, never overrun
    EXPECT_EQ(std::strlen(text), 39u);
}

}  // namespace
