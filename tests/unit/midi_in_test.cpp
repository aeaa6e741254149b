#include "midi/midi_in.h"
#include "midi/port_records.h"

#include "tests/support/fake_midi.h"

#include <gtest/gtest.h>

#include "midi/fault.h"

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// A SysEx message of `n` bytes: F0, a counting pattern, F7.
Bytes sysex(size_t n, uint8_t seed = 0) {
    Bytes b(n);
    for (size_t i = 0; i < n; i++) b[i] = uint8_t((i * 5 + seed) & 0x7F);
    b.front() = 0xF0;
    b.back() = 0xF7;
    return b;
}

uint32_t pack(uint8_t s, uint8_t d1 = 0, uint8_t d2 = 0) { return s | uint32_t(d1) << 8 | uint32_t(d2) << 16; }

class MidiIn : public ::testing::Test {
  protected:
    void SetUp() override {
        fake_midi_install();
        fake_midi_set_in_devices({"Alpha", "Zorva Pro out", "Zorva Pro out", "Beta"});
    }
    void TearDown() override {
        zp_fault_arm(0);
        fake_midi_uninstall();
    }
    MidiInPort* open_port(int dev = 0) {
        int err = -1;
        MidiInPort* p = midi_in_open(dev, &err);
        EXPECT_NE(p, nullptr);
        EXPECT_EQ(err, 0);
        return p;
    }
    void close_port(MidiInPort* p) {
        int err = -1;
        EXPECT_EQ(midi_in_close(p, &err), 1);
        EXPECT_EQ(err, 0);
        EXPECT_EQ(fake_midi_open_inputs(), 0);
    }
    // Everything queued now (one read, after one service step).
    Bytes read_all(MidiInPort* p) {
        Bytes b(MIDI_IN_QUEUE_SIZE);
        int err = -1;
        int n = midi_in_read(p, uint32_t(b.size()), b.data(), &err);
        EXPECT_EQ(err, 0);
        b.resize(n < 0 ? 0 : size_t(n));
        return b;
    }
    void feed(const Bytes& b) { EXPECT_EQ(fake_midi_in_sysex(b.data(), b.size()), 0u); }
};

TEST(MidiInText, WalksTheErrorTable) {
    const char* const expected[] = {nullptr,           "invalid byte count",    "invalid object",
                                    "device error occurred", "device not found", "not enough memory",
                                    "unknown error occurred", "(?)"};
    for (unsigned code = 0; code < 8; code++) {
        if (expected[code])
            EXPECT_STREQ(midi_in_error_text(code), expected[code]) << code;
        else
            EXPECT_EQ(midi_in_error_text(code), nullptr);
    }
    EXPECT_STREQ(midi_in_error_text(0xFFFFFFFFu), "(?)");
}

TEST_F(MidiIn, FindsListsAndNamesDevicesByExactName) {
    struct Case {
        const char* name;
        int device;
    };
    const Case cases[] = {{"Alpha", 0},          {"Zorva Pro out", 1}, {"", 0},     {"zorva pro out", -1},
                          {"Zorva Pro", -1},     {"Beta ", -1},        {nullptr, -1}};
    for (const Case& c : cases) EXPECT_EQ(midi_in_find_device(c.name), c.device) << (c.name ? c.name : "null");

    fake_midi_fail_caps(false, 1, MIDI_RES_ERROR);
    EXPECT_EQ(midi_in_find_device("Zorva Pro out"), 2);
    static std::vector<std::string> listed;
    listed.clear();
    midi_in_list_devices([](const char* n) { listed.push_back(n); });
    EXPECT_EQ(listed, (std::vector<std::string>{"Alpha", "Zorva Pro out", "Beta"}));
    EXPECT_EQ(midi_in_device_name(1), nullptr);
    EXPECT_STREQ(midi_in_device_name(3), "Beta");
    EXPECT_EQ(midi_in_device_name(-1), nullptr);
    EXPECT_EQ(midi_in_device_name(4), nullptr);

    int err = -1;
    EXPECT_EQ(midi_in_open_by_name("ZORVA PRO OUT", &err), nullptr);
    EXPECT_EQ(err, MIDI_IN_NOT_FOUND);
    EXPECT_EQ(midi_in_open_by_name(nullptr, &err), nullptr);
    EXPECT_EQ(err, MIDI_IN_NOT_FOUND);
    MidiInPort* p = midi_in_open_by_name("Zorva Pro out", &err);
    ASSERT_NE(p, nullptr);
    std::vector<std::string> log = fake_midi_log();
    EXPECT_NE(std::find(log.begin(), log.end(), "in_open 2"), log.end());
    close_port(p);

    fake_midi_set_in_devices({});
    EXPECT_EQ(midi_in_find_device(""), 0);
    EXPECT_EQ(midi_in_open(0, &err), nullptr);
    EXPECT_EQ(err, MIDI_IN_NOT_FOUND);
}

// Open hands the ten buffers over in order and starts the device.
TEST_F(MidiIn, OpenQueuesTenBuffersAndStarts) {
    MidiInPort* p = open_port(3);
    EXPECT_EQ(p->tag, MIDI_IN_TAG);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&p->tag)), "LIN");
    EXPECT_EQ(fake_midi_in_held(), MIDI_IN_BUFFERS);
    EXPECT_TRUE(fake_midi_in_started());
    std::vector<std::string> log = fake_midi_log();
    EXPECT_EQ(log.back(), "in_start");
    EXPECT_EQ(fake_midi_calls(FAKE_IN_PREPARE), 10);
    EXPECT_EQ(fake_midi_calls(FAKE_IN_ADD_BUFFER), 10);
    close_port(p);
}

// Every status byte, through MIM_DATA and MIM_MOREDATA; MIM_ERROR keeps three
// bytes whatever the status.
TEST_F(MidiIn, StoresShortMessagesByTheLengthOfTheirStatus) {
    MidiInPort* p = open_port();
    auto expected_length = [](int s) -> size_t {
        if (s < 0x80) return 1;
        if (s < 0xC0) return 3;
        if (s < 0xE0) return 2;
        if (s < 0xF0) return 3;
        const size_t sys[16] = {0, 2, 3, 2, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1};
        return sys[s - 0xF0];
    };
    for (uint32_t msg : {MIDI_MIM_DATA, MIDI_MIM_MOREDATA}) {
        for (int s = 0; s < 256; s++) {
            fake_midi_in_short(pack(uint8_t(s), 0x3C, 0x64) | 0xAB000000u, msg);
            Bytes want = {uint8_t(s), 0x3C, 0x64};
            want.resize(expected_length(s));
            EXPECT_EQ(read_all(p), want) << std::hex << s;
        }
    }
    fake_midi_in_short(pack(0xF8, 0x11, 0x22), MIDI_MIM_ERROR);
    fake_midi_in_short(pack(0xC5, 0x07, 0x00), MIDI_MIM_ERROR);
    EXPECT_EQ(read_all(p), (Bytes{0xF8, 0x11, 0x22, 0xC5, 0x07, 0x00}));

    // Messages that carry no short message are ignored.
    for (uint32_t msg : {MIDI_MIM_OPEN, MIDI_MIM_CLOSE, MIDI_MOM_DONE}) fake_midi_in_short(pack(0x90, 1, 2), msg);
    EXPECT_EQ(read_all(p), Bytes{});
    close_port(p);
}

TEST_F(MidiIn, LongSysExArrivesOneBufferPerCallInOrder) {
    MidiInPort* p = open_port();
    Bytes msg = sysex(3000);
    feed(msg);
    EXPECT_EQ(fake_midi_in_held(), 7);

    // A read of nothing still moves one buffer; the next two calls move the rest.
    int err = -1;
    EXPECT_EQ(midi_in_read(p, 0, nullptr, &err), 0);
    EXPECT_EQ(err, 0);
    EXPECT_EQ(midi_in_available(p, &err), 2048);
    EXPECT_EQ(midi_in_available(p, &err), 3000);
    EXPECT_EQ(midi_in_available(p, &err), 3000);
    EXPECT_EQ(fake_midi_in_held(), 10);  // all three handed back

    // A null destination discards.
    EXPECT_EQ(midi_in_read(p, 1000, nullptr, &err), 1000);
    Bytes rest = read_all(p);
    EXPECT_EQ(rest, Bytes(msg.begin() + 1000, msg.end()));
    close_port(p);
}

// The ring of buffers wraps: forty messages through ten buffers, each read in
// the order it was filled, with short messages overtaking the SysEx data.
TEST_F(MidiIn, BuffersCirculateAndShortMessagesOvertakeSysEx) {
    MidiInPort* p = open_port();
    Bytes got, want_sysex;
    for (int m = 0; m < 40; m++) {
        Bytes msg = sysex(100 + m * 37, uint8_t(m));
        feed(msg);
        want_sysex.insert(want_sysex.end(), msg.begin(), msg.end());
        if (m == 20) fake_midi_in_short(pack(0xB0, 0x0A, 0x06));
        for (int call = 0; call < 2; call++) {  // up to two buffers a message
            Bytes part = read_all(p);
            got.insert(got.end(), part.begin(), part.end());
        }
    }
    // The controller change came after message 20 but was read with it, ahead
    // of that message's buffer.
    Bytes cc = {0xB0, 0x0A, 0x06};
    auto at = std::search(got.begin(), got.end(), cc.begin(), cc.end());
    ASSERT_NE(at, got.end());
    size_t before = 0;
    for (int m = 0; m < 20; m++) before += 100 + m * 37;
    EXPECT_EQ(size_t(at - got.begin()), before);
    got.erase(at, at + 3);
    EXPECT_EQ(got, want_sysex);
    close_port(p);
}

// With the queue nearly full, the part of a message that does not fit is
// dropped without an error; once read out, the queue takes whole messages again.
TEST_F(MidiIn, AFullQueueDropsTheTailSilently) {
    MidiInPort* p = open_port();
    Bytes big = sysex(19 * 1024 + 1022);  // 20478 bytes: twenty buffers
    size_t fed = 0;
    int err = -1;
    while (fed < big.size()) {
        size_t n = std::min<size_t>(5 * 1024, big.size() - fed);
        EXPECT_EQ(fake_midi_in_sysex(big.data() + fed, n), 0u);
        fed += n;
        for (int i = 0; i < 5; i++) midi_in_available(p, &err);
    }
    EXPECT_EQ(midi_in_available(p, &err), 20478);
    fake_midi_in_short(pack(0x90, 0x3C, 0x64));
    EXPECT_EQ(midi_in_available(p, &err), 20480);
    EXPECT_EQ(err, 0);

    // A buffer returned into a full queue is lost too, and still handed back.
    feed(sysex(500));
    EXPECT_EQ(midi_in_available(p, &err), 20480);
    EXPECT_EQ(fake_midi_in_held(), 10);

    Bytes all = read_all(p);
    ASSERT_EQ(all.size(), 20480u);
    EXPECT_TRUE(std::equal(big.begin(), big.end(), all.begin()));
    EXPECT_EQ(all[20478], 0x90);
    EXPECT_EQ(all[20479], 0x3C);

    fake_midi_in_short(pack(0x90, 0x3C, 0x64));
    EXPECT_EQ(read_all(p), (Bytes{0x90, 0x3C, 0x64}));
    close_port(p);
}

// A buffer the driver will not give back: the caller is told (3 while the
// driver still holds it, 6 for anything else), the bytes are not lost, and
// the port goes on with the buffers it has left.
TEST_F(MidiIn, ABufferThatCannotBeReleasedIsReportedAndRetired) {
    struct Case {
        FakeMidiCall call;
        uint32_t result;
        int code;
        const char* line;
    };
    const Case cases[] = {
        {FAKE_IN_UNPREPARE, MIDI_RES_STILL_PLAYING, MIDI_IN_DEVICE_ERROR, "MIDI-IN: driver still using MIDI buffer 0\n"},
        {FAKE_IN_UNPREPARE, MIDI_RES_INVALID_HANDLE, MIDI_IN_UNKNOWN, "MIDI-IN: error 5 for buffer 0\n"},
        {FAKE_IN_PREPARE, MIDI_RES_NO_MEMORY, MIDI_IN_UNKNOWN, "MIDI-IN: could not prepare header\n"},
        {FAKE_IN_ADD_BUFFER, MIDI_RES_STILL_PLAYING, MIDI_IN_DEVICE_ERROR, "MIDI-IN: could not add buffer\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        fake_midi_install();
        fake_midi_set_in_devices({"Alpha"});
        MidiInPort* p = open_port();
        Bytes msg = sysex(200);
        feed(msg);
        fake_midi_fail(c.call, c.result);
        testing::internal::CaptureStderr();
        Bytes got(300);
        int err = -1;
        EXPECT_EQ(midi_in_read(p, 300, got.data(), &err), -1);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.line);
        EXPECT_EQ(err, c.code);
        EXPECT_EQ(read_all(p), msg);
        EXPECT_EQ(fake_midi_in_held(), 9);

        // Nine buffers still carry a message longer than one of them.
        Bytes two = sysex(1500);
        feed(two);
        EXPECT_EQ(midi_in_available(p, &err), 1024);
        EXPECT_EQ(read_all(p), two);
        testing::internal::CaptureStderr();
        midi_in_close(p, &err);
        testing::internal::GetCapturedStderr();
    }
}

TEST_F(MidiIn, CloseStopsResetsReleasesAndClosesInOrder) {
    MidiInPort* p = open_port();
    feed(sysex(10));  // buffer 0 returned and never read: released all the same
    size_t mark = fake_midi_log().size();
    close_port(p);
    std::vector<std::string> log = fake_midi_log();
    std::vector<std::string> tail(log.begin() + long(mark), log.end());
    std::vector<std::string> want = {"in_stop", "in_reset"};
    for (int i = 0; i < 10; i++) want.push_back("in_unprepare");
    want.push_back("in_close");
    EXPECT_EQ(tail, want);
}

// Failures while stopping print their lines but do not stop the close; only
// the device close decides.
TEST_F(MidiIn, CloseGoesOnPastStopAndResetErrors) {
    MidiInPort* p = open_port();
    fake_midi_fail(FAKE_IN_STOP, 6);
    fake_midi_fail(FAKE_IN_UNPREPARE, 5, 1, 3);
    testing::internal::CaptureStderr();
    close_port(p);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "MIDI-IN: stop returned error 6\n"
              "MIDI-IN: error 5 for buffer 3\n");
}

// A device that refuses to close leaves the port dead: kept, tag cleared,
// handle cleared, callbacks ignored, every operation code 2.
TEST_F(MidiIn, ADeviceThatWillNotCloseLeavesTheDeadState) {
    struct Case {
        uint32_t result;
        const char* line;
    };
    const Case cases[] = {{MIDI_RES_STILL_PLAYING, "MIDI-IN: Can't close busy device\n"},
                          {MIDI_RES_NO_DEVICE, "MIDI-IN: Error 68 on close\n"}};
    for (const Case& c : cases) {
        fake_midi_install();
        fake_midi_set_in_devices({"Alpha"});
        MidiInPort* p = open_port();
        fake_midi_fail(FAKE_IN_CLOSE, c.result);
        testing::internal::CaptureStderr();
        int err = -1;
        EXPECT_EQ(midi_in_close(p, &err), 0);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.line);
        EXPECT_EQ(err, MIDI_IN_UNKNOWN);
        EXPECT_EQ(p->tag, 0u);
        EXPECT_EQ(p->handle, nullptr);
        EXPECT_EQ(p->queue, nullptr);

        fake_midi_in_short(pack(0x90, 1, 2));  // the device is still open
        EXPECT_EQ(midi_in_read(p, 10, nullptr, &err), -1);
        EXPECT_EQ(err, MIDI_IN_INVALID_OBJECT);
        EXPECT_EQ(midi_in_available(p, &err), 0);
        EXPECT_EQ(err, MIDI_IN_INVALID_OBJECT);
        EXPECT_EQ(midi_in_close(p, &err), 0);
        EXPECT_EQ(err, MIDI_IN_INVALID_OBJECT);
        EXPECT_EQ(p->arrivals.written, 0u);
        std::free(p);  // the test owns what the port had to keep
    }
}

TEST_F(MidiIn, InvalidPortsAreRefused) {
    int err = -1;
    EXPECT_EQ(midi_in_read(nullptr, 1, nullptr, &err), -1);
    EXPECT_EQ(err, MIDI_IN_INVALID_OBJECT);
    EXPECT_EQ(midi_in_available(nullptr, &err), 0);
    EXPECT_EQ(err, MIDI_IN_INVALID_OBJECT);
    EXPECT_EQ(midi_in_close(nullptr, &err), 0);
    EXPECT_EQ(err, MIDI_IN_INVALID_OBJECT);
    // The tag is "LIN" and a zero byte in memory order; the same bytes in the
    // other order are not a port.
    MidiInPort* fake = static_cast<MidiInPort*>(std::calloc(1, sizeof(MidiInPort)));
    fake->tag = 0x4C494E00u;
    EXPECT_EQ(midi_in_available(fake, &err), 0);
    EXPECT_EQ(err, MIDI_IN_INVALID_OBJECT);
    std::free(fake);
}

// Every failing step of open takes down what the earlier ones set up: the
// fake sees no device left open and the ASan build sees no memory left.
TEST_F(MidiIn, OpenTakesDownWhatItSetUp) {
    struct Case {
        const char* what;
        FakeMidiCall call;  // FAKE_CALL_KINDS: no platform failure
        int skip;
        int code;
        const char* line;
        int closes;
    };
    const Case cases[] = {
        {"device refuses", FAKE_IN_OPEN, 0, MIDI_IN_DEVICE_ERROR, "", 0},
        {"fourth prepare", FAKE_IN_PREPARE, 3, MIDI_IN_DEVICE_ERROR, "MIDI-IN: could not prepare header\n", 1},
        {"last add", FAKE_IN_ADD_BUFFER, 9, MIDI_IN_DEVICE_ERROR, "MIDI-IN: could not add buffer\n", 1},
        {"start", FAKE_IN_START, 0, MIDI_IN_DEVICE_ERROR, "", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fake_midi_install();
        fake_midi_set_in_devices({"Alpha"});
        fake_midi_fail(c.call, MIDI_RES_ERROR, 1, c.skip);
        testing::internal::CaptureStderr();
        int err = -1;
        EXPECT_EQ(midi_in_open(0, &err), nullptr);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.line);
        EXPECT_EQ(err, c.code);
        EXPECT_EQ(fake_midi_open_inputs(), 0);
        EXPECT_EQ(fake_midi_calls(FAKE_IN_CLOSE), c.closes);
        EXPECT_EQ(fake_midi_in_held(), 0);
    }

    int err = -1;
    EXPECT_EQ(midi_in_open(-1, &err), nullptr);
    EXPECT_EQ(err, MIDI_IN_NOT_FOUND);
    EXPECT_EQ(midi_in_open(1, &err), nullptr);
    EXPECT_EQ(err, MIDI_IN_NOT_FOUND);
    // The record, then its queue: either refused leaves nothing behind.
    for (int refused : {1, 2}) {
        int live = zp_fault_live;
        zp_fault_arm(refused);
        EXPECT_EQ(midi_in_open(0, &err), nullptr);
        EXPECT_EQ(err, MIDI_IN_NO_MEMORY);
        EXPECT_EQ(zp_fault_live, live);
    }
    EXPECT_EQ(fake_midi_calls(FAKE_IN_OPEN), 1);  // only the scripted refusal
}

}  // namespace
