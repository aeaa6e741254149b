// The input port with the driver's callback on a thread of its own that
// floods short messages and SysEx while the caller reads. Built and run under
// ThreadSanitizer too (label tsan): any unguarded access to the queue or the
// done mask between the two threads fails the run.
#include "midi/midi_in.h"

#include "tests/support/fake_midi.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

const int kShorts = 20000;
const int kShortsPerSysex = 16;
const uint32_t kInFlightLimit = 12000;  // bytes sent and not yet read

// The SysEx message sent after short message k.
Bytes sysex_for(int k) {
    size_t n = 10 + size_t(k * 131 % 2600);
    Bytes b(n);
    for (size_t i = 0; i < n; i++) b[i] = uint8_t((i + size_t(k)) & 0x7F);
    b.front() = 0xF0;
    b.back() = 0xF7;
    return b;
}

// Short message k: a controller change carrying k in its two data bytes.
uint32_t short_for(int k) { return 0xB0u | uint32_t(k & 0x7F) << 8 | uint32_t((k >> 7) & 0x7F) << 16; }

TEST(MidiInFlood, CallerReadsEverythingACallbackThreadFloods) {
    fake_midi_install();
    fake_midi_set_in_devices({"Flood"});
    int err = -1;
    MidiInPort* p = midi_in_open(0, &err);
    ASSERT_NE(p, nullptr);

    Bytes want_sysex;
    size_t total = 0;
    for (int k = 0; k < kShorts; k++) {
        total += 3;
        if (k % kShortsPerSysex == 0) {
            Bytes s = sysex_for(k);
            want_sysex.insert(want_sysex.end(), s.begin(), s.end());
            total += s.size();
        }
    }

    std::atomic<uint32_t> sent{0}, read{0};
    std::atomic<bool> stalled{false};
    std::thread driver([&] {
        using Clock = std::chrono::steady_clock;
        auto wait_for = [&](auto ready) {
            auto start = Clock::now();
            while (!ready()) {
                if (Clock::now() - start > std::chrono::seconds(30)) {
                    stalled = true;
                    return false;
                }
                std::this_thread::yield();
            }
            return true;
        };
        for (int k = 0; k < kShorts; k++) {
            if (!wait_for([&] { return sent.load() - read.load() < kInFlightLimit; })) return;
            fake_midi_in_short(short_for(k));
            sent += 3;
            if (k % kShortsPerSysex) continue;
            // Wait for enough buffers rather than lose bytes: this test is
            // about the hand-over, not about a caller that polls too slowly.
            Bytes s = sysex_for(k);
            int need = int((s.size() + MIDI_IN_BUFFER_SIZE - 1) / MIDI_IN_BUFFER_SIZE);
            if (!wait_for([&] { return fake_midi_in_held() >= need; })) return;
            if (fake_midi_in_sysex(s.data(), s.size()) != 0) {
                stalled = true;
                return;
            }
            sent += uint32_t(s.size());
        }
    });

    Bytes got;
    got.reserve(total);
    Bytes buf(MIDI_IN_QUEUE_SIZE);
    auto start = std::chrono::steady_clock::now();
    while (got.size() < total && !stalled) {
        int n = midi_in_read(p, uint32_t(buf.size()), buf.data(), &err);
        ASSERT_GE(n, 0) << err;
        got.insert(got.end(), buf.begin(), buf.begin() + n);
        read += uint32_t(n);
        if (std::chrono::steady_clock::now() - start > std::chrono::seconds(60)) break;
        if (n == 0) std::this_thread::yield();
    }
    driver.join();
    ASSERT_FALSE(stalled);
    ASSERT_EQ(got.size(), total);

    // Short messages arrive whole, between SysEx data bytes at worst, and in
    // the order sent; the SysEx bytes, with them taken out, are exactly what
    // was sent.
    Bytes sysex;
    int next_short = 0;
    for (size_t i = 0; i < got.size();) {
        if (got[i] == 0xB0) {
            ASSERT_LE(i + 3, got.size());
            int k = got[i + 1] | got[i + 2] << 7;
            ASSERT_EQ(k, next_short & 0x3FFF) << "at byte " << i;
            next_short++;
            i += 3;
        } else {
            sysex.push_back(got[i++]);
        }
    }
    EXPECT_EQ(next_short, kShorts);
    EXPECT_TRUE(sysex == want_sysex);

    EXPECT_EQ(midi_in_close(p, &err), 1);
    fake_midi_uninstall();
}

}  // namespace
