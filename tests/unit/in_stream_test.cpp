// The receive stream the Linux backends share: bytes in, callback messages out.
#include "midi/in_stream.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// One callback: "D 90 3C 64" for a short message, "L F0 01 F7" / "E F0 01" for
// a buffer returned whole or cut short (its recorded bytes).
std::vector<std::string> g_events;

std::string hex(const uint8_t* b, size_t n) {
    std::string s;
    char t[4];
    for (size_t i = 0; i < n; i++) {
        std::snprintf(t, sizeof t, i ? " %02X" : "%02X", b[i]);
        s += t;
    }
    return s;
}

void record(MidiHandle, uint32_t msg, uintptr_t, uintptr_t p1, uintptr_t) {
    if (msg == MIDI_MIM_DATA) {
        uint8_t b[3] = {uint8_t(p1), uint8_t(p1 >> 8), uint8_t(p1 >> 16)};
        size_t n = b[0] >= 0xF4 && b[0] != 0xF7 ? 1 : (b[0] & 0xE0) == 0xC0 || b[0] == 0xF1 || b[0] == 0xF3 ? 2 : 3;
        g_events.push_back("D " + hex(b, n));
        return;
    }
    MidiHeader* h = reinterpret_cast<MidiHeader*>(p1);
    std::string kind = msg == MIDI_MIM_LONGDATA ? "L" : msg == MIDI_MIM_LONGERROR ? "E" : "?";
    g_events.push_back(kind + (h->dwBytesRecorded ? " " : "") +
                       hex(reinterpret_cast<uint8_t*>(h->lpData), h->dwBytesRecorded));
}

struct Rig {
    MidiInStream s;
    MidiHeader headers[4] = {};
    char data[4][4] = {};
    Rig(int buffers) {
        g_events.clear();
        in_stream_init(&s, record, nullptr, 0);
        for (int i = 0; i < buffers; i++) add(i);
    }
    void add(int i) {
        headers[i].lpData = data[i];
        headers[i].dwBufferLength = 4;
        headers[i].dwFlags = MIDI_HDR_PREPARED;
        EXPECT_EQ(in_stream_add(&s, &headers[i]), MIDI_RES_OK);
    }
    void feed(const Bytes& b) { in_stream_feed(&s, b.data(), b.size()); }
};

TEST(InStream, CutsTheByteStreamIntoMessagesAndBuffers) {
    struct Case {
        const char* what;
        Bytes in;
        std::vector<std::string> out;
        uint64_t lost;
    };
    // Buffers of four bytes, four of them added.
    const Case cases[] = {
        {"note on", {0x90, 0x3C, 0x64}, {"D 90 3C 64"}, 0},
        {"running status", {0x90, 0x3C, 0x64, 0x3E, 0x50}, {"D 90 3C 64", "D 90 3E 50"}, 0},
        {"program change and its running status", {0xC5, 0x07, 0x08}, {"D C5 07", "D C5 08"}, 0},
        {"song position, tune request", {0xF2, 0x01, 0x02, 0xF6}, {"D F2 01 02", "D F6"}, 0},
        {"system common cancels running status", {0x90, 0x3C, 0x64, 0xF1, 0x05, 0x3E, 0x50},
         {"D 90 3C 64", "D F1 05"}, 2},
        {"real time inside a message", {0x90, 0x3C, 0xF8, 0x64}, {"D F8", "D 90 3C 64"}, 0},
        {"short SysEx", {0xF0, 0x01, 0xF7}, {"L F0 01 F7"}, 0},
        {"SysEx over three buffers", {0xF0, 1, 2, 3, 4, 5, 6, 7, 8, 0xF7},
         {"L F0 01 02 03", "L 04 05 06 07", "L 08 F7"}, 0},
        {"real time inside SysEx", {0xF0, 0x01, 0xFE, 0x02, 0xF7}, {"D FE", "L F0 01 02 F7"}, 0},
        {"SysEx cut short by a status byte", {0xF0, 0x01, 0x90, 0x3C, 0x64}, {"E F0 01", "D 90 3C 64"}, 0},
        {"SysEx cut short by another SysEx", {0xF0, 0x01, 0xF0, 0x02, 0xF7}, {"E F0 01", "L F0 02 F7"}, 0},
        {"stray bytes", {0x3C, 0xF7, 0xF4, 0x90, 0x3C, 0x80, 0x3C, 0x40},
         {"D F4", "D 80 3C 40"}, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Rig r(4);
        r.feed(c.in);
        EXPECT_EQ(g_events, c.out);
        EXPECT_EQ(in_stream_lost(&r.s), c.lost);
    }
}

// Out of buffers in the middle of a message: the rest of that message is
// lost and counted, never glued to the next one.
TEST(InStream, WithoutAFreeBufferTheRestOfTheMessageIsDropped) {
    Rig r(2);
    r.feed({0xF0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 0xF7, 0x90, 0x3C, 0x64});
    EXPECT_EQ(g_events, (std::vector<std::string>{"L F0 01 02 03", "L 04 05 06 07", "D 90 3C 64"}));
    EXPECT_EQ(in_stream_lost(&r.s), 4u);
    EXPECT_FALSE(in_stream_holding(&r.s));

    r.add(2);
    r.feed({0xF0, 0x11, 0xF7});
    EXPECT_EQ(g_events.back(), "L F0 11 F7");
}

TEST(InStream, ReturnGivesBackThePartBufferAndWithAllTheWaitingOnes) {
    Rig r(3);
    r.feed({0xF0, 1});
    EXPECT_TRUE(in_stream_holding(&r.s));
    in_stream_take_over(&r.s);
    in_stream_return(&r.s, false);  // stop
    EXPECT_EQ(g_events, (std::vector<std::string>{"L F0 01"}));
    EXPECT_TRUE(in_stream_holding(&r.s));  // two still wait

    r.feed({2, 3});  // the message was abandoned: these belong to nothing
    EXPECT_EQ(in_stream_lost(&r.s), 2u);
    r.feed({0xF0, 5});
    in_stream_return(&r.s, true);  // reset
    EXPECT_EQ(g_events, (std::vector<std::string>{"L F0 01", "L F0 05", "L"}));
    EXPECT_FALSE(in_stream_holding(&r.s));
    for (const MidiHeader& h : r.headers) {
        if (!h.lpData) continue;
        EXPECT_EQ(h.dwFlags & (MIDI_HDR_INQUEUE | MIDI_HDR_DONE), MIDI_HDR_DONE);
    }
}

TEST(InStream, RefusesMoreWaitingBuffersThanItHasSlots) {
    MidiInStream s;
    in_stream_init(&s, record, nullptr, 0);
    std::vector<MidiHeader> h(IN_STREAM_SLOTS + 1);
    for (uint32_t i = 0; i < IN_STREAM_SLOTS; i++) EXPECT_EQ(in_stream_add(&s, &h[i]), MIDI_RES_OK);
    EXPECT_EQ(in_stream_add(&s, &h[IN_STREAM_SLOTS]), MIDI_RES_NOT_READY);
}

}  // namespace
