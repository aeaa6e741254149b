#include "ampmsg/preset.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

enum Kind { SWITCH, BYTE, RANGED };

struct Param {
    int32_t cc;
    Kind kind;
    int32_t high;  // top of the range for RANGED
    int32_t (*get)(const uint8_t*);
    void (*set)(uint8_t*, int32_t);
};

#define P(cc, kind, high) {cc, kind, high, preset_get_cc##cc, preset_set_cc##cc}
// Every single-controller parameter with its kind and range.
const Param kParams[] = {
    P(2, SWITCH, 1),   P(3, SWITCH, 1),   P(13, SWITCH, 1),  P(40, SWITCH, 1),
    P(4, BYTE, 127),   P(5, BYTE, 127),   P(6, BYTE, 127),   P(7, BYTE, 127),
    P(9, BYTE, 127),   P(12, BYTE, 127),  P(16, BYTE, 127),  P(17, BYTE, 127),
    P(20, BYTE, 127),  P(21, BYTE, 127),  P(25, BYTE, 127),  P(29, BYTE, 127),
    P(30, BYTE, 127),  P(32, BYTE, 127),  P(86, BYTE, 127),  P(92, BYTE, 127),
    P(93, BYTE, 127),  P(94, BYTE, 127),  P(95, BYTE, 127),  P(10, RANGED, 6),
    P(15, RANGED, 8),  P(18, RANGED, 5),  P(19, RANGED, 8),  P(22, RANGED, 5),
    P(26, RANGED, 3),  P(33, RANGED, 7),  P(90, RANGED, 1),
};
#undef P

struct Block {
    PresetBlock b;
    Block() { preset_block_clear(b); }
};

// Every byte but `cc` still 255.
bool untouched_except(const Block& blk, std::vector<int> ccs) {
    for (int n = 0; n < PRESET_BLOCK_SIZE; ++n) {
        bool named = false;
        for (int c : ccs) named = named || c == n;
        if (!named && blk.b[n] != PRESET_NO_VALUE) return false;
    }
    return true;
}

TEST(PresetBlock, EveryParameterReadsItsDefaultWritesItsRangeAndRefusesTheRest) {
    for (const Param& p : kParams) {
        SCOPED_TRACE(p.cc);
        const int32_t unset = p.kind == BYTE ? 255 : 0;
        Block blk;
        EXPECT_EQ(p.get(blk.b), unset);
        EXPECT_EQ(p.get(nullptr), unset);
        p.set(nullptr, 1);  // must not crash

        // Every value in range is stored as itself (switches store 0 or 1)
        // and read back; only the parameter's own byte changes.
        for (int32_t v = 0; v <= p.high; ++v) {
            p.set(blk.b, v);
            EXPECT_EQ(blk.b[p.cc], v);
            EXPECT_EQ(p.get(blk.b), v);
        }
        EXPECT_TRUE(untouched_except(blk, {p.cc}));

        if (p.kind == SWITCH) {
            p.set(blk.b, 5);
            EXPECT_EQ(blk.b[p.cc], 1);
            p.set(blk.b, -7);
            EXPECT_EQ(blk.b[p.cc], 1);
            blk.b[p.cc] = 127;  // the wire's "on" reads as on too
            EXPECT_EQ(p.get(blk.b), 1);
            blk.b[p.cc] = 0;
            EXPECT_EQ(p.get(blk.b), 0);
            continue;
        }
        const uint8_t before = blk.b[p.cc];
        for (int32_t bad : {-1, p.high + 1, 255, 256, INT32_MIN}) {
            p.set(blk.b, bad);
            EXPECT_EQ(blk.b[p.cc], before) << bad;
        }
        if (p.kind == RANGED) {
            blk.b[p.cc] = static_cast<uint8_t>(p.high + 1);
            EXPECT_EQ(p.get(blk.b), 0);
        }
    }
}

TEST(PresetBlock, RowOfFive) {
    Block blk;
    for (int32_t i = 0; i < 5; ++i) {
        EXPECT_EQ(preset_get_row(blk.b, i), 255);
        preset_set_row(blk.b, i, 10 + i);
        EXPECT_EQ(blk.b[41 + i], 10 + i);
        EXPECT_EQ(preset_get_row(blk.b, i), 10 + i);
    }
    preset_set_row(blk.b, 0, 128);
    EXPECT_EQ(blk.b[41], 10);
    for (int32_t i : {-1, 5}) {
        EXPECT_EQ(preset_get_row(blk.b, i), 0);
        preset_set_row(blk.b, i, 1);
    }
    EXPECT_TRUE(untouched_except(blk, {41, 42, 43, 44, 45}));
    EXPECT_EQ(preset_get_row(nullptr, 2), 255);
}

TEST(PresetBlock, SlotTable) {
    // slot -> switch, value, first parameter, kind
    const int32_t want[4][4] = {{46, 47, 48, 53}, {61, 62, 63, 68}, {69, 70, 71, 76}, {77, 78, 79, 84}};
    for (int32_t s = 0; s < 4; ++s) {
        SCOPED_TRACE(s);
        for (int32_t role = 0; role < 4; ++role) EXPECT_EQ(preset_slot_controller(s, role), want[s][role]);
        Block blk;
        EXPECT_EQ(preset_get_slot_switch(blk.b, s), 0);
        EXPECT_EQ(preset_get_slot_value(blk.b, s), 255);
        EXPECT_EQ(preset_get_slot_kind(blk.b, s), 0);
        preset_set_slot_switch(blk.b, s, 1);
        preset_set_slot_value(blk.b, s, 99);
        preset_set_slot_kind(blk.b, s, 4);
        std::vector<int> ccs = {want[s][0], want[s][1], want[s][3]};
        for (int32_t j = 0; j < 5; ++j) {
            EXPECT_EQ(preset_get_slot_param(blk.b, s, j), 255);
            preset_set_slot_param(blk.b, s, j, 20 + j);
            EXPECT_EQ(blk.b[want[s][2] + j], 20 + j);
            EXPECT_EQ(preset_get_slot_param(blk.b, s, j), 20 + j);
            ccs.push_back(want[s][2] + j);
        }
        EXPECT_EQ(blk.b[want[s][0]], 1);
        EXPECT_EQ(blk.b[want[s][1]], 99);
        EXPECT_EQ(blk.b[want[s][3]], 4);
        EXPECT_EQ(preset_get_slot_switch(blk.b, s), 1);
        EXPECT_EQ(preset_get_slot_value(blk.b, s), 99);
        EXPECT_EQ(preset_get_slot_kind(blk.b, s), 4);
        EXPECT_TRUE(untouched_except(blk, ccs));

        preset_set_slot_kind(blk.b, s, 5);
        EXPECT_EQ(blk.b[want[s][3]], 4);
        blk.b[want[s][3]] = 5;
        EXPECT_EQ(preset_get_slot_kind(blk.b, s), 0);
        preset_set_slot_param(blk.b, s, 5, 1);
        preset_set_slot_param(blk.b, s, -1, 1);
        EXPECT_EQ(preset_get_slot_param(blk.b, s, 5), 0);
        EXPECT_EQ(preset_get_slot_param(blk.b, s, -1), 0);
    }

    Block blk;
    for (int32_t s : {-1, 4}) {
        EXPECT_EQ(preset_slot_controller(s, 0), -1);
        preset_set_slot_switch(blk.b, s, 1);
        preset_set_slot_value(blk.b, s, 1);
        preset_set_slot_param(blk.b, s, 0, 1);
        preset_set_slot_kind(blk.b, s, 1);
        EXPECT_EQ(preset_get_slot_switch(blk.b, s), 0);
        EXPECT_EQ(preset_get_slot_value(blk.b, s), 0);
        EXPECT_EQ(preset_get_slot_param(blk.b, s, 0), 0);
        EXPECT_EQ(preset_get_slot_kind(blk.b, s), 0);
    }
    EXPECT_EQ(preset_slot_controller(0, 4), -1);
    // A null block reads like a cleared one and is never written.
    EXPECT_EQ(preset_get_slot_switch(nullptr, 0), 0);
    EXPECT_EQ(preset_get_slot_value(nullptr, 0), 255);
    EXPECT_EQ(preset_get_slot_param(nullptr, 0, 0), 255);
    EXPECT_EQ(preset_get_slot_kind(nullptr, 0), 0);
    preset_set_slot_switch(nullptr, 0, 1);
    preset_set_slot_value(nullptr, 0, 1);
    preset_set_slot_param(nullptr, 0, 0, 1);
    preset_set_slot_kind(nullptr, 0, 1);
    preset_set_row(nullptr, 0, 1);
    preset_set_cc88_89(nullptr, 1000);
    EXPECT_TRUE(untouched_except(blk, {}));
    EXPECT_EQ(preset_get_slot_param(blk.b, 1, 4), 255);
    blk.b[67] = 33;
    EXPECT_EQ(preset_get_slot_param(blk.b, 1, 4), 33);
}

TEST(PresetBlock, SplitNumberOf88And89) {
    Block blk;
    EXPECT_EQ(preset_get_cc88_89(blk.b), 1000);
    EXPECT_EQ(preset_get_cc88_89(nullptr), 1000);
    preset_set_cc88_89(blk.b, 1000);
    EXPECT_EQ(blk.b[88], 7);
    EXPECT_EQ(blk.b[89], 104);
    for (int32_t bad : {279, 1705, -1}) {
        preset_set_cc88_89(blk.b, bad);
        EXPECT_EQ(blk.b[88], 7);
        EXPECT_EQ(blk.b[89], 104);
    }
    for (int32_t v = 280; v <= 1704; ++v) {
        preset_set_cc88_89(blk.b, v);
        ASSERT_EQ(preset_get_cc88_89(blk.b), v);
    }
    struct Raw {
        uint8_t high, low;
        int32_t want;
    };
    const Raw raws[] = {{13, 40, 1704}, {13, 41, 1000}, {2, 0, 1000}, {2, 24, 280}, {2, 23, 1000},
                        {255, 40, 1000}};
    for (const Raw& r : raws) {
        blk.b[88] = r.high;
        blk.b[89] = r.low;
        EXPECT_EQ(preset_get_cc88_89(blk.b), r.want) << int(r.high) << " " << int(r.low);
    }
    EXPECT_TRUE(untouched_except(blk, {88, 89}));
}

TEST(PresetBlock, SignedNumberOf91) {
    Block blk;
    EXPECT_EQ(preset_get_cc91(blk.b), 0);
    EXPECT_EQ(preset_get_cc91(nullptr), 0);
    struct Case {
        int32_t value;
        int stored;  // -1: unchanged
    };
    const Case cases[] = {{-50, 0}, {76, 126}, {0, 50}, {77, -1}, {-51, -1}, {INT32_MAX, -1}};
    for (const Case& c : cases) {
        blk.b[91] = 200;
        preset_set_cc91(blk.b, c.value);
        EXPECT_EQ(blk.b[91], c.stored < 0 ? 200 : c.stored) << c.value;
        if (c.stored >= 0) {
            EXPECT_EQ(preset_get_cc91(blk.b), c.value);
        }
    }
    blk.b[91] = 127;
    EXPECT_EQ(preset_get_cc91(blk.b), 77);
    preset_set_cc91(nullptr, 0);
    EXPECT_TRUE(untouched_except(blk, {91}));
}

TEST(PresetBlock, GenericOperationsStayInsideTheBlock) {
    uint8_t guarded[PRESET_BLOCK_SIZE + 2];
    std::memset(guarded, 0xAA, sizeof guarded);
    uint8_t* b = guarded + 1;
    preset_block_clear(b);
    EXPECT_EQ(guarded[0], 0xAA);
    EXPECT_EQ(guarded[PRESET_BLOCK_SIZE + 1], 0xAA);
    for (int32_t n : {-1, 128, INT32_MIN, INT32_MAX}) {
        preset_block_set_byte(b, n, 1);
        preset_block_set_ranged(b, n, 1, 0, 255);
        EXPECT_EQ(preset_block_get_byte(b, n), 255);
    }
    EXPECT_EQ(guarded[0], 0xAA);
    EXPECT_EQ(guarded[PRESET_BLOCK_SIZE + 1], 0xAA);

    // A wide range never truncates a value into the byte; 255 may be stored
    // explicitly to drop a value from the block.
    preset_block_set_byte(b, 0, 5);
    preset_block_set_ranged(b, 0, 256, 0, 1000);
    EXPECT_EQ(b[0], 5);
    preset_block_set_ranged(b, 0, 255, 0, 255);
    EXPECT_EQ(b[0], 255);
    preset_block_clear(nullptr);  // accepted and ignored
}

}  // namespace
