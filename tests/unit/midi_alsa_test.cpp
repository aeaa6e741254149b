// The rawmidi backend under the output port, with the ALSA calls scripted:
// partial writes, a full device buffer, a device that vanishes or stalls
// mid-buffer, a drain that fails. The writer thread is real, so these tests
// also run under ThreadSanitizer.
#include "midi/alsa/alsa_midi.h"
#include "midi/midi_out.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
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
    std::vector<std::string> events;  // "open hw:..", "drain", "close"
    int drain_result = 0;
    int open_result = 0;
    bool stalled = false;  // the device takes nothing and never has room
    int waits = 0;
};

Device* g_dev = nullptr;

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

long dev_write(void*, const uint8_t* data, size_t n) {
    std::lock_guard<std::mutex> l(g_dev->m);
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

int dev_drain(void*) {
    std::lock_guard<std::mutex> l(g_dev->m);
    g_dev->events.push_back("drain " + std::to_string(g_dev->written.size()));
    return g_dev->drain_result;
}

int dev_close(void*) {
    std::lock_guard<std::mutex> l(g_dev->m);
    g_dev->events.push_back("close");
    return 0;
}

const AlsaRawmidiOps kOps = {dev_list, dev_open, dev_write, dev_wait, dev_drain, dev_close, 300};

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
// byte is written once, in order, and the buffer completes only after the
// drain that follows its last byte.
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
    EXPECT_GE(g_dev->waits, 4);
    EXPECT_EQ(events(), (std::vector<std::string>{"open hw:1,0,0", "drain 3000", "drain 8000"}));
    EXPECT_EQ(midi_out_close(p, nullptr), 1);
}

TEST_F(MidiAlsa, AVanishedStalledOrUndrainedDeviceFailsThePort) {
    struct Case {
        const char* what;
        std::initializer_list<WriteStep> steps;
        int drain_result;
        bool stalled;
    };
    const Case cases[] = {
        {"vanishes mid-buffer", {{500, 0}, {0, -ENODEV}}, 0, false},
        {"I/O error", {{0, -EIO}}, 0, false},
        {"drain fails", {}, -EIO, false},
        {"stalls", {{0, -EAGAIN}}, 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        script(c.steps);
        g_dev->drain_result = c.drain_result;
        g_dev->stalled = c.stalled;
        MidiOutPort* p = midi_out_open(0, nullptr);
        ASSERT_NE(p, nullptr);
        Bytes m = pattern(2000, 3);
        int err = -1;
        testing::internal::CaptureStderr();
        EXPECT_EQ(midi_out_send(p, m.data(), int(m.size()), &err), 2000);
        EXPECT_EQ(wait_idle(p), MIDI_OUT_DEVICE_ERROR);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "MIDI-OUT: device failed, buffer not sent\n");
        EXPECT_EQ(midi_out_pending(p, &err), 2000);
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
        g_dev->written.clear();
    }
}

TEST_F(MidiAlsa, CloseRefusesWhileTheWriterHoldsTheBufferThenSucceeds) {
    // The device takes nothing for a while: the buffer stays with the writer.
    {
        std::lock_guard<std::mutex> l(g_dev->m);
        g_dev->steps.assign(40, WriteStep{0, -EAGAIN});
    }
    MidiOutPort* p = midi_out_open(0, nullptr);
    ASSERT_NE(p, nullptr);
    Bytes m = pattern(100, 4);
    EXPECT_EQ(midi_out_send(p, m.data(), 100, nullptr), 100);
    EXPECT_EQ(midi_out_send(p, m.data(), 50, nullptr), 50);  // queued behind it
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
    EXPECT_EQ(written(), m);  // the 50 queued bytes were never started
}

// A long stream with random partial takes, the port polled from this thread
// while the writer thread works: the device sees exactly the stream.
TEST_F(MidiAlsa, AStreamThroughTheWriterThreadArrivesExactly) {
    std::mt19937 rng(5);
    {
        std::lock_guard<std::mutex> l(g_dev->m);
        for (int i = 0; i < 3000; i++) {
            if (rng() % 4 == 0)
                g_dev->steps.push_back({0, -EAGAIN});
            else
                g_dev->steps.push_back({long(1 + rng() % 700), 0});
        }
    }
    MidiOutPort* p = midi_out_open(0, nullptr);
    ASSERT_NE(p, nullptr);
    Bytes stream;
    auto deadline = Clock::now() + std::chrono::seconds(20);
    while (stream.size() < 400000 && Clock::now() < deadline) {
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
    EXPECT_EQ(midi_out_close(p, nullptr), 1);
}

}  // namespace
