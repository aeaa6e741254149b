// The engine's pacing against a stand-in clock: the caller sleeps exactly
// what each step asks, and every message's start is recorded.
#include "update/update_engine.h"

#include "midi/midi_out.h"
#include "tests/support/fake_midi.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

int64_t clock_us;
int64_t fake_now() { return clock_us; }

using Bytes = std::vector<uint8_t>;

// `count` messages of `length` bytes each.
Bytes file_of(int count, size_t length) {
    Bytes f;
    for (int m = 0; m < count; m++) {
        f.push_back(0xF0);
        f.insert(f.end(), length - 2, uint8_t(m & 0x7F));
        f.push_back(0xF7);
    }
    return f;
}

// Runs a transfer to the end: each step costs `step_us`, a wait costs what it
// asks, and `stall_after` messages in the clock jumps by `stall_us`, as when
// the process was not scheduled. Returns when each message was handed over.
std::vector<int64_t> run(const Bytes& f, UpdatePacing pacing, int64_t step_us, size_t stall_after = 0,
                         int64_t stall_us = 0) {
    std::vector<int64_t> starts;
    update_begin(f.data(), f.size(), &pacing);
    for (int guard = 0; guard < 100000; guard++) {
        size_t before = update_progress().messages_sent;
        int64_t at = clock_us;
        int wait = 0;
        int step = update_step(&wait);
        if (update_progress().messages_sent > before) starts.push_back(at);
        if (stall_after && starts.size() == stall_after) {
            clock_us += stall_us;
            stall_after = 0;
        }
        while (fake_midi_out_finish()) {
        }
        if (step == STEP_DONE || step == STEP_FAILED || step == STEP_IDLE) break;
        clock_us += step == STEP_WAIT ? int64_t(wait) * 1000 : step_us;
    }
    return starts;
}

class Pacing : public ::testing::Test {
protected:
    void SetUp() override {
        fake_midi_install();
        fake_midi_set_out_devices({"Zorva Pro"});
        clock_us = 1000000;
        update_set_clock(fake_now);
        MidiOutPort* port = midi_out_open_by_name("Zorva Pro", nullptr);
        ASSERT_NE(port, nullptr);
        update_port_adopt(port);
    }
    void TearDown() override {
        update_abandon();
        while (fake_midi_out_finish()) {
        }
        update_port_close();
        update_set_clock(nullptr);
        fake_midi_uninstall();
    }
};

// A gap is never shorter than asked, even when it is a single millisecond and
// the step itself took part of one.
TEST_F(Pacing, AGapIsNeverShorterThanAsked) {
    for (int gap : {1, 2, 5}) {
        SCOPED_TRACE(gap);
        std::vector<int64_t> starts = run(file_of(40, 20), {gap, 0}, 300);
        ASSERT_EQ(starts.size(), 40u);
        for (size_t i = 1; i < starts.size(); i++) ASSERT_GE(starts[i] - starts[i - 1], gap * 1000) << i;
    }
}

// After a stall the rate holds from where the transfer is, message by
// message, instead of sending back to back to catch up with a timetable.
TEST_F(Pacing, AStallNeverTurnsIntoABurst) {
    const long rate = 10000;      // bytes a second
    const size_t length = 100;    // 10 ms a message at that rate
    std::vector<int64_t> starts = run(file_of(60, length), {0, rate}, 50, 10, 2000000);
    ASSERT_EQ(starts.size(), 60u);
    for (size_t i = 1; i < starts.size(); i++)
        ASSERT_GE(starts[i] - starts[i - 1], int64_t(length) * 1000000 / rate) << i;
    // And without a stall it keeps close to the rate: not slower than 5 %.
    starts = run(file_of(60, length), {0, rate}, 50);
    double seconds = double(starts.back() - starts.front()) / 1e6;
    EXPECT_LT(seconds, 59 * 0.010 * 1.05);
}

}  // namespace
