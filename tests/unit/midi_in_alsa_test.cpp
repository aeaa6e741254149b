// The input port on the rawmidi backend, its ALSA calls scripted: the reader
// thread's byte stream reaches the caller whole, a device that vanishes leaves
// a port that still closes, and a flood from the device while the caller reads
// is taken over intact (also run under ThreadSanitizer, label tsan).
#include "midi/alsa/alsa_midi_in.h"
#include "midi/midi_in.h"
#include "midi/port_records.h"
#include "midi/platform.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

// The scripted device: bytes the test pushes wait until the reader takes them.
struct FakeDevice {
    std::mutex m;
    std::condition_variable cv;
    std::deque<uint8_t> bytes;
    bool gone = false;
    int open_error = 0;
    int opens = 0;
    int closes = 0;
};

FakeDevice* g_dev = nullptr;

int fake_list(AlsaDeviceInfo* out, int max) {
    const char* names[][2] = {{"Other MIDI 1", "hw:1,0,0"}, {"Zorva Pro MIDI 1", "hw:2,0,0"}};
    int n = 0;
    for (auto& d : names) {
        if (n == max) break;
        std::snprintf(out[n].name, sizeof out[n].name, "%s", d[0]);
        std::snprintf(out[n].id, sizeof out[n].id, "%s", d[1]);
        n++;
    }
    return n;
}

int fake_open(const char*, void** raw) {
    std::lock_guard<std::mutex> l(g_dev->m);
    if (g_dev->open_error) return g_dev->open_error;
    g_dev->opens++;
    *raw = g_dev;
    return 0;
}

long fake_read(void* raw, uint8_t* data, size_t n) {
    FakeDevice* d = static_cast<FakeDevice*>(raw);
    std::lock_guard<std::mutex> l(d->m);
    if (d->gone) return -ENODEV;
    if (d->bytes.empty()) return -EAGAIN;
    size_t k = 0;
    while (k < n && !d->bytes.empty()) {
        data[k++] = d->bytes.front();
        d->bytes.pop_front();
    }
    d->cv.notify_all();
    return long(k);
}

int fake_wait(void* raw, int timeout_ms) {
    FakeDevice* d = static_cast<FakeDevice*>(raw);
    std::unique_lock<std::mutex> l(d->m);
    d->cv.wait_for(l, std::chrono::milliseconds(timeout_ms), [d] { return d->gone || !d->bytes.empty(); });
    if (d->gone) return -ENODEV;
    return d->bytes.empty() ? 0 : 1;
}

int fake_close(void* raw) {
    FakeDevice* d = static_cast<FakeDevice*>(raw);
    std::lock_guard<std::mutex> l(d->m);
    d->closes++;
    return 0;
}

const AlsaRawmidiInOps kFakeOps = {fake_list, fake_open, fake_read, fake_wait, fake_close};

void push(const Bytes& b) {
    std::lock_guard<std::mutex> l(g_dev->m);
    g_dev->bytes.insert(g_dev->bytes.end(), b.begin(), b.end());
    g_dev->cv.notify_all();
}

Bytes sysex(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; i++) b[i] = uint8_t((i * 7 + seed) & 0x7F);
    b.front() = 0xF0;
    b.back() = 0xF7;
    return b;
}

// Reads until `want` bytes came or five seconds passed.
Bytes read_bytes(MidiInPort* p, size_t want) {
    Bytes got, buf(4096);
    auto until = Clock::now() + std::chrono::seconds(5);
    while (got.size() < want && Clock::now() < until) {
        int err = -1;
        int n = midi_in_read(p, uint32_t(buf.size()), buf.data(), &err);
        EXPECT_GE(n, 0) << err;
        if (n <= 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
        }
        got.insert(got.end(), buf.begin(), buf.begin() + n);
    }
    return got;
}

class MidiInAlsa : public ::testing::Test {
  protected:
    FakeDevice dev;
    void SetUp() override {
        g_dev = &dev;
        midi_platform_set(nullptr);  // the system's: rawmidi devices first
        midi_alsa_set_in_ops(&kFakeOps);
    }
    void TearDown() override {
        midi_alsa_set_in_ops(nullptr);
        g_dev = nullptr;
    }
    MidiInPort* open_amp() {
        int err = -1;
        MidiInPort* p = midi_in_open_by_name("Zorva Pro MIDI 1", &err);
        EXPECT_NE(p, nullptr) << err;
        return p;
    }
};

TEST_F(MidiInAlsa, TheReaderThreadsBytesReachTheCallerWhole) {
    EXPECT_EQ(midi_in_find_device("Other MIDI 1"), 0);
    EXPECT_EQ(midi_in_find_device("Zorva Pro MIDI 1"), 1);
    MidiInPort* p = open_amp();
    ASSERT_NE(p, nullptr);

    // Running status, a real-time byte inside a SysEx of three buffers.
    Bytes big = sysex(3000, 3);
    Bytes stream = {0x90, 0x3C, 0x64, 0x3E, 0x50, 0xC5, 0x07};
    stream.insert(stream.end(), big.begin(), big.begin() + 1500);
    stream.push_back(0xF8);
    stream.insert(stream.end(), big.begin() + 1500, big.end());
    push(stream);
    Bytes got = read_bytes(p, stream.size() + 1);  // running status is written out
    Bytes shorts = {0x90, 0x3C, 0x64, 0x90, 0x3E, 0x50, 0xC5, 0x07};
    ASSERT_GE(got.size(), shorts.size());
    EXPECT_TRUE(Bytes(got.begin(), got.begin() + 8) == shorts);
    auto clock = std::find(got.begin() + 8, got.end(), 0xF8);
    ASSERT_NE(clock, got.end());
    got.erase(clock);
    EXPECT_TRUE(Bytes(got.begin() + 8, got.end()) == big);
    EXPECT_EQ(midi_alsa_in_lost(p->handle), 0u);

    int err = -1;
    EXPECT_EQ(midi_in_close(p, &err), 1);
    EXPECT_EQ(dev.closes, 1);
}

TEST_F(MidiInAlsa, ADeviceThatVanishesLeavesAPortThatStillCloses) {
    MidiInPort* p = open_amp();
    ASSERT_NE(p, nullptr);
    push({0xB0, 0x0A, 0x06});
    EXPECT_TRUE(read_bytes(p, 3) == (Bytes{0xB0, 0x0A, 0x06}));
    {
        std::lock_guard<std::mutex> l(dev.m);
        dev.gone = true;
        dev.cv.notify_all();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    int err = -1;
    EXPECT_EQ(midi_in_read(p, 10, nullptr, &err), 0);
    EXPECT_EQ(err, 0);
    EXPECT_EQ(midi_in_close(p, &err), 1);
    EXPECT_EQ(dev.closes, 1);
}

TEST_F(MidiInAlsa, ADeviceThatWillNotOpenIsADeviceError) {
    for (int e : {-EBUSY, -ENODEV, -EIO}) {
        dev.open_error = e;
        int err = -1;
        EXPECT_EQ(midi_in_open_by_name("Zorva Pro MIDI 1", &err), nullptr);
        EXPECT_EQ(err, MIDI_IN_DEVICE_ERROR);
    }
    EXPECT_EQ(dev.opens, 0);
}

// The device floods controller changes and SysEx while the caller reads:
// everything arrives, short messages in order, SysEx bytes exact.
TEST_F(MidiInAlsa, AFloodFromTheDeviceIsTakenOverIntact) {
    MidiInPort* p = open_amp();
    ASSERT_NE(p, nullptr);
    const int kMessages = 6000;
    Bytes want_sysex;
    size_t total = 0;
    // SysEx messages handed to the device and seen whole by the caller.
    std::atomic<size_t> pushed{0}, taken{0};
    std::atomic<bool> stop{false};
    std::thread device([&] {
        for (int k = 0; k < kMessages; k++) {
            // Stay a few buffers ahead of the caller (a read moves one): this
            // test is about the hand-over, not about a caller that polls too
            // slowly.
            while (pushed.load() - taken.load() > 6)
                if (stop) return;
                else std::this_thread::yield();
            Bytes chunk = {0xB0, uint8_t(k & 0x7F), uint8_t((k >> 7) & 0x7F)};
            if (k % 8 == 0) {
                Bytes s = sysex(size_t(20 + k % 900), uint8_t(k));
                chunk.insert(chunk.end(), s.begin(), s.end());
            }
            if (k % 8 == 0) pushed++;
            push(chunk);
        }
    });
    for (int k = 0; k < kMessages; k++) {
        total += 3;
        if (k % 8 == 0) {
            Bytes s = sysex(size_t(20 + k % 900), uint8_t(k));
            want_sysex.insert(want_sysex.end(), s.begin(), s.end());
            total += s.size();
        }
    }
    Bytes got, buf(4096);
    auto until = Clock::now() + std::chrono::seconds(60);
    while (got.size() < total && Clock::now() < until) {
        int err = -1;
        int n = midi_in_read(p, uint32_t(buf.size()), buf.data(), &err);
        if (n < 0) {
            ADD_FAILURE() << "read failed with code " << err;
            break;
        }
        got.insert(got.end(), buf.begin(), buf.begin() + n);
        taken += size_t(std::count(buf.begin(), buf.begin() + n, 0xF7));
        if (n == 0) std::this_thread::yield();
    }
    stop = true;
    device.join();
    EXPECT_EQ(got.size(), total);
    EXPECT_EQ(midi_alsa_in_lost(p->handle), 0u);

    Bytes sx;
    int next = 0;
    for (size_t i = 0; i < got.size();) {
        if (got[i] == 0xB0 && i + 2 < got.size()) {
            ASSERT_EQ(got[i + 1] | got[i + 2] << 7, next & 0x3FFF) << "at byte " << i;
            next++;
            i += 3;
        } else {
            sx.push_back(got[i++]);
        }
    }
    EXPECT_EQ(next, kMessages);
    EXPECT_TRUE(sx == want_sysex);
    int err = -1;
    EXPECT_EQ(midi_in_close(p, &err), 1);
}

}  // namespace
