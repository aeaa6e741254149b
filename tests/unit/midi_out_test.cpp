#include "midi/midi_out.h"
#include "midi/port_records.h"

#include "tests/support/fake_midi.h"

#include <gtest/gtest.h>

#include "midi/fault.h"

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes pattern(size_t n, uint8_t seed = 0) {
    Bytes b(n);
    for (size_t i = 0; i < n; i++) b[i] = uint8_t((i * 7 + seed) & 0x7F);
    return b;
}

Bytes concat(const std::vector<Bytes>& parts) {
    Bytes all;
    for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

class MidiOut : public ::testing::Test {
  protected:
    void SetUp() override {
        fake_midi_install();
        fake_midi_set_out_devices({"Alpha", "Zorva Pro", "Zorva Pro", "Beta"});
    }
    void TearDown() override {
        zp_fault_arm(0);
        fake_midi_uninstall();
    }
    MidiOutPort* open_port(int dev = 0) {
        int err = -1;
        MidiOutPort* p = midi_out_open(dev, &err);
        EXPECT_NE(p, nullptr);
        EXPECT_EQ(err, 0);
        return p;
    }
    int send(MidiOutPort* p, const Bytes& b, int* err = nullptr) {
        return midi_out_send(p, b.data(), int(b.size()), err);
    }
    // Closes, finishing whatever the driver holds first.
    void close_port(MidiOutPort* p) {
        fake_midi_out_finish();
        int err = -1;
        EXPECT_EQ(midi_out_close(p, &err), 1);
        EXPECT_EQ(err, 0);
        EXPECT_EQ(fake_midi_open_outputs(), 0);
    }
};

TEST(MidiOutText, WalksTheErrorTable) {
    const char* const expected[] = {nullptr,
                                    "invalid byte count",
                                    "invalid object",
                                    "device error occurred",
                                    "device not found",
                                    "unallowed null pointer",
                                    "not enough memory",
                                    "unknown error occurred",
                                    "(?)"};
    for (unsigned code = 0; code < 9; code++) {
        if (expected[code])
            EXPECT_STREQ(midi_out_error_text(code), expected[code]) << code;
        else
            EXPECT_EQ(midi_out_error_text(code), nullptr);
    }
    EXPECT_STREQ(midi_out_error_text(0xFFFFFFFFu), "(?)");
}

TEST_F(MidiOut, FindsDevicesByExactNameFirstMatchWins) {
    struct Case {
        const char* name;
        int device;
    };
    const Case cases[] = {
        {"Alpha", 0}, {"Zorva Pro", 1}, {"Beta", 3},  {"", 0},  {"zorva pro", -1},
        {"Zorva", -1}, {"Zorva Pro ", -1}, {"Alph", -1}, {nullptr, -1},
    };
    for (const Case& c : cases) EXPECT_EQ(midi_out_find_device(c.name), c.device) << (c.name ? c.name : "null");

    // A device that cannot be queried is skipped, by find and list alike.
    fake_midi_fail_caps(true, 1, MIDI_RES_ERROR);
    EXPECT_EQ(midi_out_find_device("Zorva Pro"), 2);
    static std::vector<std::string> listed;
    listed.clear();
    midi_out_list_devices([](const char* n) { listed.push_back(n); });
    EXPECT_EQ(listed, (std::vector<std::string>{"Alpha", "Zorva Pro", "Beta"}));
    EXPECT_EQ(midi_out_device_name(1), nullptr);
    EXPECT_STREQ(midi_out_device_name(3), "Beta");
    EXPECT_EQ(midi_out_device_name(-1), nullptr);
    EXPECT_EQ(midi_out_device_name(4), nullptr);
    EXPECT_EQ(midi_out_device_count(), 4);
}

TEST_F(MidiOut, OpenByNameTakesTheLowerOfTwoAndRefusesNearMisses) {
    int err = -1;
    MidiOutPort* p = midi_out_open_by_name("Zorva Pro", &err);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(fake_midi_log().back(), "out_open 1");
    close_port(p);
    for (const char* name : {"ZORVA PRO", "Zorva", static_cast<const char*>(nullptr)}) {
        err = -1;
        EXPECT_EQ(midi_out_open_by_name(name, &err), nullptr);
        EXPECT_EQ(err, MIDI_OUT_NOT_FOUND);
    }
}

TEST_F(MidiOut, WithNoDevicesTheEmptyNameFindsZeroButNothingOpens) {
    fake_midi_set_out_devices({});
    EXPECT_EQ(midi_out_find_device(""), 0);
    int err = -1;
    EXPECT_EQ(midi_out_open(0, &err), nullptr);
    EXPECT_EQ(err, MIDI_OUT_NOT_FOUND);
    EXPECT_EQ(midi_out_open_by_name("", &err), nullptr);
    EXPECT_EQ(err, MIDI_OUT_NOT_FOUND);
    EXPECT_EQ(fake_midi_calls(FAKE_OUT_OPEN), 0);
}

// Every failing step of open leaves nothing behind (the ASan build checks the
// memory; the fake checks the device).
TEST_F(MidiOut, OpenReleasesEverythingWhenAStepFails) {
    int err = -1;
    EXPECT_EQ(midi_out_open(-1, &err), nullptr);
    EXPECT_EQ(err, MIDI_OUT_NOT_FOUND);
    EXPECT_EQ(midi_out_open(4, &err), nullptr);
    EXPECT_EQ(err, MIDI_OUT_NOT_FOUND);

    // The record, then its queue: either refused leaves nothing behind.
    for (int refused : {1, 2}) {
        int live = zp_fault_live;
        zp_fault_arm(refused);
        EXPECT_EQ(midi_out_open(0, &err), nullptr);
        EXPECT_EQ(err, MIDI_OUT_NO_MEMORY);
        EXPECT_EQ(zp_fault_live, live);
    }

    fake_midi_fail(FAKE_OUT_OPEN, MIDI_RES_ALLOCATED);
    EXPECT_EQ(midi_out_open(0, &err), nullptr);
    EXPECT_EQ(err, MIDI_OUT_DEVICE_ERROR);
    EXPECT_EQ(fake_midi_open_outputs(), 0);

    MidiOutPort* p = midi_out_open(0, nullptr);  // null err is fine
    ASSERT_NE(p, nullptr);
    close_port(p);
}

TEST_F(MidiOut, RejectsBadArgumentsWithTheirCodes) {
    MidiOutPort* p = open_port();
    uint8_t b[4] = {0xF0, 1, 2, 0xF7};
    MidiOutPort stale;
    std::memset(&stale, 0, sizeof stale);  // a closed record reads tag 0
    struct Case {
        MidiOutPort* port;
        const uint8_t* bytes;
        int length;
        int code;
    };
    const Case cases[] = {
        {nullptr, b, 4, MIDI_OUT_NOT_FOUND}, {&stale, b, 4, MIDI_OUT_NOT_FOUND},
        {p, nullptr, 4, MIDI_OUT_NULL_POINTER}, {p, nullptr, 0, MIDI_OUT_NULL_POINTER},
        {p, nullptr, -5, MIDI_OUT_NULL_POINTER}, {p, b, 0, MIDI_OUT_INVALID_COUNT},
        {p, b, -1, MIDI_OUT_INVALID_COUNT},
    };
    for (const Case& c : cases) {
        int err = -1;
        EXPECT_EQ(midi_out_send(c.port, c.bytes, c.length, &err), -1);
        EXPECT_EQ(err, c.code);
    }
    int err = -1;
    EXPECT_EQ(midi_out_can_accept(nullptr, 1, &err), 0);
    EXPECT_EQ(err, MIDI_OUT_NOT_FOUND);
    EXPECT_EQ(midi_out_can_accept(p, -1, &err), 0);
    EXPECT_EQ(err, MIDI_OUT_INVALID_COUNT);
    EXPECT_EQ(midi_out_pending(&stale, &err), 0);
    EXPECT_EQ(err, MIDI_OUT_NOT_FOUND);
    EXPECT_EQ(midi_out_close(nullptr, &err), 0);
    EXPECT_EQ(err, MIDI_OUT_NOT_FOUND);
    EXPECT_TRUE(fake_midi_out_messages().empty());
    close_port(p);
}

TEST_F(MidiOut, AFullBufferGoesOutAsOneMessageAndTheRestWaits) {
    MidiOutPort* p = open_port();
    Bytes big = pattern(10241);
    int err = -1;
    EXPECT_EQ(send(p, big, &err), 10240);
    EXPECT_EQ(err, 0);
    auto sent = fake_midi_out_messages();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0], Bytes(big.begin(), big.begin() + 10240));

    EXPECT_EQ(send(p, Bytes{0x7F}, &err), 0);  // queue full while the driver holds it
    EXPECT_EQ(err, 0);
    EXPECT_EQ(midi_out_can_accept(p, 0, &err), 0);
    EXPECT_EQ(midi_out_pending(p, &err), 10240);

    fake_midi_out_finish();
    EXPECT_EQ(midi_out_pending(p, &err), 0);
    EXPECT_EQ(err, 0);
    EXPECT_EQ(midi_out_can_accept(p, 10240, nullptr), 0);  // free space must exceed the count
    EXPECT_EQ(midi_out_can_accept(p, 10239, nullptr), 1);
    EXPECT_EQ(fake_midi_out_messages().size(), 1u);
    close_port(p);
}

TEST_F(MidiOut, SendsWhileInFlightLeaveTogetherAfterTheDriverFinishes) {
    MidiOutPort* p = open_port();
    Bytes first = pattern(100, 1), a = pattern(300, 2), b = pattern(300, 3);
    EXPECT_EQ(send(p, first), 100);
    EXPECT_EQ(send(p, a), 300);
    EXPECT_EQ(send(p, b), 300);
    EXPECT_EQ(fake_midi_out_messages().size(), 1u);
    EXPECT_EQ(midi_out_pending(p, nullptr), 700);

    fake_midi_out_finish();
    EXPECT_EQ(fake_midi_out_messages().size(), 1u);  // nothing moves between calls
    EXPECT_EQ(midi_out_pending(p, nullptr), 600);    // retired the first, started the rest
    auto sent = fake_midi_out_messages();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1], concat({a, b}));
    fake_midi_out_finish();
    EXPECT_EQ(midi_out_pending(p, nullptr), 0);
    close_port(p);
}

// Whatever the sizes and wherever the driver finishes, the driver sees every
// accepted byte once and in order.
TEST_F(MidiOut, EveryAcceptedByteReachesTheDriverOnceInOrder) {
    MidiOutPort* p = open_port();
    std::mt19937 rng(1234);
    Bytes accepted;
    for (int i = 0; i < 2000; i++) {
        Bytes m = pattern(1 + rng() % 3000, uint8_t(i));
        int k = send(p, m);
        ASSERT_GE(k, 0);
        accepted.insert(accepted.end(), m.begin(), m.begin() + k);
        if (rng() % 3 == 0) fake_midi_out_finish();
    }
    while (midi_out_pending(p, nullptr) > 0) fake_midi_out_finish();
    EXPECT_EQ(concat(fake_midi_out_messages()), accepted);
    for (const Bytes& m : fake_midi_out_messages()) EXPECT_LE(m.size(), 10240u);
    close_port(p);
}

TEST_F(MidiOut, CloseWaitsOnceThenRefusesWhileTheDriverHoldsTheBuffer) {
    MidiOutPort* p = open_port();
    EXPECT_EQ(send(p, pattern(500)), 500);
    EXPECT_EQ(send(p, pattern(40, 9)), 40);  // queued behind the buffer in flight
    int err = -1;
    EXPECT_EQ(midi_out_close(p, &err), 0);
    EXPECT_EQ(err, MIDI_OUT_DEVICE_ERROR);
    EXPECT_EQ(fake_midi_paused_ms(), 10u);
    EXPECT_EQ(fake_midi_pauses(), 1);

    // Closing: sends are still taken but never started.
    EXPECT_EQ(send(p, pattern(5), &err), 5);
    EXPECT_EQ(err, 0);

    fake_midi_out_finish();
    EXPECT_EQ(midi_out_close(p, &err), 1);
    EXPECT_EQ(err, 0);
    EXPECT_EQ(fake_midi_pauses(), 2);
    EXPECT_EQ(fake_midi_out_messages().size(), 1u);  // the queued bytes were dropped
    EXPECT_EQ(fake_midi_open_outputs(), 0);
}

TEST_F(MidiOut, CloseSucceedsAtOnceWhenTheDriverFinishesDuringThePause) {
    MidiOutPort* p = open_port();
    EXPECT_EQ(send(p, pattern(500)), 500);
    EXPECT_EQ(send(p, pattern(40, 9)), 40);
    fake_midi_out_finish_in_pause(true);
    EXPECT_EQ(midi_out_close(p, nullptr), 1);
    EXPECT_EQ(fake_midi_out_messages().size(), 1u);
    EXPECT_EQ(fake_midi_calls(FAKE_OUT_PREPARE), 1);

    // An idle port closes without pausing.
    p = open_port();
    EXPECT_EQ(midi_out_close(p, nullptr), 1);
    EXPECT_EQ(fake_midi_pauses(), 1);
}

TEST_F(MidiOut, ADeviceThatRefusesToCloseStaysOpenUntilItAgrees) {
    MidiOutPort* p = open_port();
    fake_midi_fail(FAKE_OUT_CLOSE, MIDI_RES_ERROR);
    int err = -1;
    EXPECT_EQ(midi_out_close(p, &err), 0);
    EXPECT_EQ(err, MIDI_OUT_DEVICE_ERROR);
    EXPECT_EQ(p->last_result, MIDI_RES_ERROR);
    EXPECT_EQ(fake_midi_open_outputs(), 1);
    close_port(p);
}

// A buffer that cannot be prepared, handed over or delivered fails the port
// for good: every later send says so, the stranded bytes stay counted (with
// the error, so a caller waiting for zero stops), and close still works.
TEST_F(MidiOut, FailuresMarkThePortFailedAndAreReported) {
    struct Case {
        const char* what;
        FakeMidiCall call;  // FAKE_CALL_KINDS: the device breaks mid-buffer
        const char* line;
    };
    const Case cases[] = {
        {"prepare", FAKE_OUT_PREPARE, "MIDI-OUT: could not prepare buffer (7)\n"},
        {"long message", FAKE_OUT_LONG_MSG, "MIDI-OUT: could not send sys-ex (7)\n"},
        {"device lost", FAKE_CALL_KINDS, "MIDI-OUT: device failed, buffer not sent\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        MidiOutPort* p = open_port();
        int err = -1;
        testing::internal::CaptureStderr();
        if (c.call != FAKE_CALL_KINDS) {
            fake_midi_fail(c.call, MIDI_RES_NO_MEMORY);
            EXPECT_EQ(send(p, pattern(64), &err), -1);
        } else {
            EXPECT_EQ(send(p, pattern(64), &err), 64);
            fake_midi_out_finish(true);
            EXPECT_EQ(send(p, pattern(8), &err), -1);
        }
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.line);
        EXPECT_EQ(err, MIDI_OUT_DEVICE_ERROR);
        EXPECT_EQ(send(p, pattern(8), &err), -1);  // nothing taken any more
        EXPECT_EQ(err, MIDI_OUT_DEVICE_ERROR);
        EXPECT_EQ(midi_out_pending(p, &err), 64);
        EXPECT_EQ(err, MIDI_OUT_DEVICE_ERROR);
        EXPECT_EQ(midi_out_can_accept(p, 1, &err), 0);
        EXPECT_EQ(fake_midi_out_holding(), false);
        EXPECT_EQ(midi_out_close(p, &err), 1);
        EXPECT_EQ(err, 0);
        EXPECT_EQ(fake_midi_open_outputs(), 0);
    }
}

TEST_F(MidiOut, ADriverSlowToReleaseIsAskedAgainNotForgotten) {
    MidiOutPort* p = open_port();
    EXPECT_EQ(send(p, pattern(10)), 10);
    EXPECT_EQ(send(p, pattern(20, 5)), 20);
    fake_midi_out_finish();
    fake_midi_fail(FAKE_OUT_UNPREPARE, MIDI_RES_STILL_PLAYING);
    testing::internal::CaptureStderr();
    EXPECT_EQ(midi_out_pending(p, nullptr), 30);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "MIDI-OUT: driver not releasing buffer\n");
    EXPECT_EQ(midi_out_pending(p, nullptr), 20);  // released now: next buffer started
    EXPECT_EQ(fake_midi_out_messages().size(), 2u);
    close_port(p);
}

TEST_F(MidiOut, AnUnreleasableBufferFailsThePort) {
    MidiOutPort* p = open_port();
    EXPECT_EQ(send(p, pattern(10)), 10);
    fake_midi_out_finish();
    fake_midi_fail(FAKE_OUT_UNPREPARE, MIDI_RES_INVALID_PARAM, -1);
    testing::internal::CaptureStderr();
    int err = -1;
    EXPECT_EQ(send(p, pattern(5), &err), -1);
    EXPECT_EQ(err, MIDI_OUT_DEVICE_ERROR);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "MIDI-OUT: could not unprepare buffer\n");
    EXPECT_EQ(midi_out_close(p, &err), 0);  // the buffer can never be retired
    EXPECT_EQ(err, MIDI_OUT_DEVICE_ERROR);
    fake_midi_fail(FAKE_OUT_UNPREPARE, 0, 0);
    fake_midi_out_callback(MIDI_MOM_DONE, 0);  // a late signal lets it go
    EXPECT_EQ(midi_out_close(p, &err), 1);
}

TEST_F(MidiOut, TheCallbackActsOnlyOnItsOwnDoneSignal) {
    MidiOutPort* p = open_port();
    EXPECT_EQ(send(p, pattern(10)), 10);
    int other = 0;
    fake_midi_out_callback(MIDI_MOM_DONE, 0, &other);  // someone else's handle
    fake_midi_out_callback(MIDI_MOM_OPEN, 0);
    fake_midi_out_callback(MIDI_MOM_CLOSE, 0);
    EXPECT_EQ(p->done, 0u);
    EXPECT_EQ(midi_out_pending(p, nullptr), 10);
    fake_midi_out_finish();
    EXPECT_EQ(p->done, 1u);
    EXPECT_EQ(midi_out_pending(p, nullptr), 0);
    EXPECT_EQ(p->done, 0u);
    close_port(p);
}

}  // namespace
