#include "ampmsg/controllers.h"

#include "ampmsg/packing.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <vector>

namespace {

// The controller map written out again by kind, one row per group of
// controllers, so that a slip in the library's number-indexed table shows up
// as a disagreement between the two.
enum Kind { NONE, SWITCH, RANGE, OFFSET64, OFFSET50, TRIGGER, SPLIT_HIGH, SPLIT_LOW };

struct Codec {
    Kind kind;
    int top;  // upper bound of RANGE
};

struct MapRow {
    std::vector<int> controllers;
    Codec decoder;
    Codec encoder;
};

std::vector<int> span(std::initializer_list<std::pair<int, int>> ranges) {
    std::vector<int> out;
    for (auto r : ranges)
        for (int c = r.first; c <= r.second; ++c) out.push_back(c);
    return out;
}

const std::vector<MapRow>& map_rows() {
    static const std::vector<MapRow> rows = {
        {span({{2, 3}, {11, 11}, {13, 13}, {40, 40}, {46, 46}, {56, 57}, {59, 59}, {61, 61},
               {69, 69}, {77, 77}, {106, 109}}),
         {SWITCH, 0}, {SWITCH, 0}},
        {span({{4, 7}, {9, 9}, {12, 12}, {16, 17}, {20, 21}, {23, 23}, {25, 25}, {27, 30},
               {32, 32}, {41, 45}, {47, 52}, {62, 67}, {70, 75}, {78, 83}, {85, 87}, {92, 95}}),
         {RANGE, 127}, {RANGE, 127}},
        {{8}, {NONE, 0}, {TRIGGER, 0}},
        {{10}, {RANGE, 6}, {RANGE, 6}},
        {{15, 19}, {RANGE, 8}, {RANGE, 8}},
        {{18, 22}, {RANGE, 5}, {RANGE, 5}},
        {{24}, {NONE, 0}, {RANGE, 3}},
        {{26}, {RANGE, 3}, {RANGE, 3}},
        {{31}, {RANGE, 127}, {RANGE, 31}},
        {{33}, {RANGE, 7}, {RANGE, 7}},
        {{53, 68, 76, 84}, {RANGE, 4}, {RANGE, 4}},
        {{54}, {RANGE, 12}, {NONE, 0}},
        {{55}, {OFFSET64, 0}, {NONE, 0}},
        {{88}, {SPLIT_HIGH, 0}, {SPLIT_HIGH, 0}},
        {{89}, {SPLIT_LOW, 0}, {SPLIT_LOW, 0}},
        {{90}, {RANGE, 1}, {RANGE, 1}},
        {{91}, {OFFSET50, 0}, {OFFSET50, 0}},
        {span({{96, 105}, {112, 122}}), {RANGE, 127}, {NONE, 0}},
    };
    return rows;
}

// The row for a controller; unmapped numbers get both codecs NONE.
MapRow row_for(int controller) {
    for (const MapRow& r : map_rows())
        for (int c : r.controllers)
            if (c == controller) return {{controller}, r.decoder, r.encoder};
    return {{controller}, {NONE, 0}, {NONE, 0}};
}

// What a decoder of the kind makes of a wire byte; false when it rejects it.
bool expected_decode(Codec k, unsigned wire, int32_t* value) {
    switch (k.kind) {
        case SWITCH:
            if (wire > 127) return false;
            *value = wire >= 64;
            return true;
        case RANGE:
        case SPLIT_HIGH:
        case SPLIT_LOW: {
            int top = k.kind == SPLIT_HIGH ? 31 : k.kind == SPLIT_LOW ? 127 : k.top;
            if (wire > unsigned(top)) return false;
            *value = int32_t(wire);
            return true;
        }
        case OFFSET64:
        case OFFSET50:
            if (wire > 127) return false;
            *value = int32_t(wire) - (k.kind == OFFSET64 ? 64 : 50);
            return true;
        default:
            ADD_FAILURE() << "kind " << k.kind << " has no decoder";
            return false;
    }
}

// What an encoder of the kind makes of a value; false when it rejects it.
bool expected_encode(Codec k, int32_t x, uint8_t* wire) {
    switch (k.kind) {
        case SWITCH: *wire = x != 0 ? 127 : 0; return true;
        case TRIGGER: *wire = 0; return true;
        case RANGE:
            if (x < 0 || x > k.top) return false;
            *wire = uint8_t(x);
            return true;
        case OFFSET50:
            if (x < -50 || x > 77) return false;
            *wire = uint8_t(x + 50);
            return true;
        case SPLIT_HIGH:
        case SPLIT_LOW:
            if (x < 280 || x > 1704) return false;
            *wire = uint8_t(k.kind == SPLIT_HIGH ? (x >> 7) & 31 : x & 127);
            return true;
        default:
            ADD_FAILURE() << "kind " << k.kind << " has no encoder";
            return false;
    }
}

const int32_t kProbeValues[] = {INT_MIN, -1000, -65, -64, -51, -50, -49, -1, 0, 1, 2, 3, 4, 5,
                                6, 7, 8, 9, 12, 13, 31, 32, 63, 64, 76, 77, 78, 100, 126, 127,
                                128, 255, 256, 279, 280, 281, 1000, 1703, 1704, 1705, 4095,
                                INT_MAX};

TEST(ControllerMap, EveryNumberHasTheCodecsOfItsKind) {
    for (uint32_t c = 0; c <= 300; ++c) {
        SCOPED_TRACE(c);
        MapRow want = row_for(int(c));
        ControllerCodec entry;
        std::memset(&entry, 0xA5, sizeof entry);
        bool found = amp_cc_lookup(&entry, c);
        EXPECT_EQ(entry.controller, c);
        EXPECT_EQ(found, want.decoder.kind != NONE || want.encoder.kind != NONE);
        EXPECT_EQ(entry.decoder != nullptr, want.decoder.kind != NONE);
        EXPECT_EQ(entry.encoder != nullptr, want.encoder.kind != NONE);
        EXPECT_EQ(amp_cc_lookup(nullptr, c), found);

        if (entry.decoder) {
            for (unsigned wire = 0; wire < 256; ++wire) {
                int32_t want_value = 0, got = 12345;
                bool ok = expected_decode(want.decoder, wire, &want_value);
                ASSERT_EQ(entry.decoder(&got, uint8_t(wire)), ok) << "wire " << wire;
                EXPECT_EQ(got, ok ? want_value : 12345) << "wire " << wire;
            }
        }
        if (entry.encoder) {
            for (int32_t x : kProbeValues) {
                uint8_t want_wire = 0, got = 0x5A;
                bool ok = expected_encode(want.encoder, x, &want_wire);
                ASSERT_EQ(entry.encoder(&got, x), ok) << "value " << x;
                if (ok) {
                    EXPECT_EQ(got, want_wire) << "value " << x;
                } else {
                    // Range and offset encoders clear their byte on a reject,
                    // split encoders leave it alone.
                    bool split = want.encoder.kind == SPLIT_HIGH || want.encoder.kind == SPLIT_LOW;
                    EXPECT_EQ(got, split ? 0x5A : 0) << "value " << x;
                }
            }
        }
    }
    // Numbers far past the table, including negative ones seen as unsigned.
    ControllerCodec entry;
    EXPECT_FALSE(amp_cc_lookup(&entry, 0xFFFFFFFFu));
    EXPECT_EQ(entry.controller, 0xFFFFFFFFu);
    EXPECT_EQ(entry.decoder, nullptr);
    EXPECT_EQ(entry.encoder, nullptr);
}

TEST(ControllerMap, EncodeThenDecodeGivesTheValueBackForEveryController) {
    int round_trips = 0;
    for (int32_t c = 0; c <= int32_t(AMP_CC_MAX_MAPPED); ++c) {
        ControllerCodec entry;
        if (!amp_cc_lookup(&entry, uint32_t(c)) || !entry.encoder || !entry.decoder) continue;
        SCOPED_TRACE(c);
        for (int32_t x = -100; x <= 2000; ++x) {
            uint8_t msg[3] = {0, 0, 0};
            int err = -1;
            amp_cc_encode(c, x, msg, &err);
            if (err == AMP_CC_OUT_OF_RANGE) continue;
            ASSERT_EQ(err, AMP_CC_OK) << x;
            EXPECT_EQ(msg[0], 0xB0);
            EXPECT_EQ(msg[1], c);
            ASSERT_LT(msg[2], 0x80) << x;

            ControllerValue got = {-1, -1};
            amp_cc_decode(msg, &got, &err);
            ASSERT_EQ(err, AMP_CC_OK) << x;
            EXPECT_EQ(got.controller, c);
            if (c == 88 || c == 89) {
                // The pair carries one number: decode both halves and join.
                uint8_t other[3];
                amp_cc_encode(c == 88 ? 89 : 88, x, other, &err);
                ASSERT_EQ(err, AMP_CC_OK);
                ControllerValue half;
                amp_cc_decode(other, &half, &err);
                ASSERT_EQ(err, AMP_CC_OK);
                int32_t high = c == 88 ? got.value : half.value;
                int32_t low = c == 88 ? half.value : got.value;
                EXPECT_EQ(join_split_value(high, low), x);
            } else if (row_for(c).encoder.kind == SWITCH) {
                EXPECT_EQ(got.value, x != 0 ? 1 : 0) << x;
            } else {
                EXPECT_EQ(got.value, x);
            }
            ++round_trips;
        }
    }
    // Every value of every range was seen, not an empty loop.
    EXPECT_GT(round_trips, 50 * 128);
}

struct DecodeCase {
    uint8_t bytes[3];
    int code;
    int32_t controller, value;
};

TEST(ControllerCodec, DecodeKnownAnswers) {
    const DecodeCase cases[] = {
        {{0xB0, 0x0A, 0x06}, AMP_CC_OK, 10, 6},
        {{0xB0, 0x0A, 0x07}, AMP_CC_OUT_OF_RANGE, 0, 0},
        {{0xB0, 0x37, 0x00}, AMP_CC_OK, 55, -64},
        {{0xB0, 0x37, 0x7F}, AMP_CC_OK, 55, 63},
        {{0xB0, 0x5B, 0x00}, AMP_CC_OK, 91, -50},
        {{0xB0, 0x5B, 0x7F}, AMP_CC_OK, 91, 77},
        {{0xB0, 0x02, 0x40}, AMP_CC_OK, 2, 1},
        {{0xB0, 0x02, 0x3F}, AMP_CC_OK, 2, 0},
        {{0xB0, 0x08, 0x00}, AMP_CC_NO_CODEC, 0, 0},
        {{0xB0, 0x18, 0x01}, AMP_CC_NO_CODEC, 0, 0},
        {{0xB0, 0x1F, 0x64}, AMP_CC_OK, 31, 100},
        {{0xB0, 0x58, 0x1F}, AMP_CC_OK, 88, 31},
        {{0xB0, 0x58, 0x20}, AMP_CC_OUT_OF_RANGE, 0, 0},
        {{0xB0, 0x59, 0x7F}, AMP_CC_OK, 89, 127},
        {{0xB0, 0x36, 0x0D}, AMP_CC_OUT_OF_RANGE, 0, 0},
        {{0xB1, 0x0A, 0x06}, AMP_CC_BAD_STATUS, 0, 0},
        {{0x90, 0x0A, 0x06}, AMP_CC_BAD_STATUS, 0, 0},
        {{0xB1, 0x8A, 0x86}, AMP_CC_BAD_STATUS, 0, 0},  // status is checked first
        {{0xB0, 0x0A, 0x86}, AMP_CC_BIT7, 0, 0},
        {{0xB0, 0x8A, 0x06}, AMP_CC_BIT7, 0, 0},
        {{0xB0, 0xFF, 0x00}, AMP_CC_BIT7, 0, 0},        // bit 7 before the map
        {{0xB0, 0x00, 0x00}, AMP_CC_NOT_MAPPED, 0, 0},
        {{0xB0, 0x7B, 0x00}, AMP_CC_NOT_MAPPED, 0, 0},
        {{0xB0, 0x6E, 0x7F}, AMP_CC_NOT_MAPPED, 0, 0},
        {{0xB0, 0x60, 0x10}, AMP_CC_OK, 96, 16},
        {{0xB0, 0x7A, 0x7F}, AMP_CC_OK, 122, 127},
    };
    for (const DecodeCase& t : cases) {
        SCOPED_TRACE(::testing::Message() << std::hex << int(t.bytes[0]) << " "
                                          << int(t.bytes[1]) << " " << int(t.bytes[2]));
        const uint8_t before[3] = {t.bytes[0], t.bytes[1], t.bytes[2]};
        ControllerValue got = {-7, -7};
        int err = -1;
        amp_cc_decode(t.bytes, &got, &err);
        EXPECT_EQ(err, t.code);
        if (t.code == AMP_CC_OK) {
            EXPECT_EQ(got.controller, t.controller);
            EXPECT_EQ(got.value, t.value);
        } else {
            EXPECT_EQ(got.controller, -7);  // untouched on failure
            EXPECT_EQ(got.value, -7);
        }
        EXPECT_EQ(std::memcmp(before, t.bytes, 3), 0);
        amp_cc_decode(t.bytes, &got, nullptr);  // a null code pointer is fine
    }
}

struct EncodeCase {
    int32_t controller, value;
    int code;
    uint8_t bytes[3];
};

TEST(ControllerCodec, EncodeKnownAnswers) {
    const EncodeCase cases[] = {
        {10, 6, AMP_CC_OK, {0xB0, 0x0A, 0x06}},
        {10, 7, AMP_CC_OUT_OF_RANGE, {}},
        {55, 0, AMP_CC_NO_CODEC, {}},
        {54, 3, AMP_CC_NO_CODEC, {}},
        {96, 0, AMP_CC_NO_CODEC, {}},
        {91, 77, AMP_CC_OK, {0xB0, 0x5B, 0x7F}},
        {91, -50, AMP_CC_OK, {0xB0, 0x5B, 0x00}},
        {91, 78, AMP_CC_OUT_OF_RANGE, {}},
        {91, -51, AMP_CC_OUT_OF_RANGE, {}},
        {2, 5, AMP_CC_OK, {0xB0, 0x02, 0x7F}},
        {2, -1, AMP_CC_OK, {0xB0, 0x02, 0x7F}},
        {2, 0, AMP_CC_OK, {0xB0, 0x02, 0x00}},
        {8, 99, AMP_CC_OK, {0xB0, 0x08, 0x00}},
        {8, INT_MIN, AMP_CC_OK, {0xB0, 0x08, 0x00}},
        {24, 3, AMP_CC_OK, {0xB0, 0x18, 0x03}},
        {31, 31, AMP_CC_OK, {0xB0, 0x1F, 0x1F}},
        {31, 100, AMP_CC_OUT_OF_RANGE, {}},
        {88, 1000, AMP_CC_OK, {0xB0, 0x58, 0x07}},
        {89, 1000, AMP_CC_OK, {0xB0, 0x59, 0x68}},
        {88, 279, AMP_CC_OUT_OF_RANGE, {}},
        {89, 1705, AMP_CC_OUT_OF_RANGE, {}},
        {4, -1, AMP_CC_OUT_OF_RANGE, {}},
        {4, 128, AMP_CC_OUT_OF_RANGE, {}},
        {-1, 0, AMP_CC_NOT_MAPPED, {}},
        {INT_MIN, 0, AMP_CC_NOT_MAPPED, {}},
        {123, 0, AMP_CC_NOT_MAPPED, {}},
        {256 + 10, 6, AMP_CC_NOT_MAPPED, {}},  // not folded onto controller 10
        {0, 0, AMP_CC_NOT_MAPPED, {}},
        {110, 0, AMP_CC_NOT_MAPPED, {}},
    };
    for (const EncodeCase& t : cases) {
        SCOPED_TRACE(::testing::Message() << t.controller << " = " << t.value);
        uint8_t msg[3] = {0x11, 0x22, 0x33};
        int err = -1;
        amp_cc_encode(t.controller, t.value, msg, &err);
        EXPECT_EQ(err, t.code);
        if (t.code == AMP_CC_OK) {
            EXPECT_EQ(std::memcmp(msg, t.bytes, 3), 0);
        } else {
            const uint8_t untouched[3] = {0x11, 0x22, 0x33};
            EXPECT_EQ(std::memcmp(msg, untouched, 3), 0);
        }
    }
}

TEST(ControllerCodec, NullPointersAndNullCodes) {
    int err = -1;
    ControllerValue v;
    amp_cc_decode(nullptr, &v, &err);
    EXPECT_EQ(err, AMP_CC_NULL_POINTER);
    const uint8_t msg[3] = {0xB0, 0x0A, 0x06};
    err = -1;
    amp_cc_decode(msg, nullptr, &err);
    EXPECT_EQ(err, AMP_CC_NULL_POINTER);
    err = -1;
    amp_cc_encode(10, 6, nullptr, &err);
    EXPECT_EQ(err, AMP_CC_NULL_POINTER);
    err = -1;
    amp_cc_encode(-1, 0, nullptr, &err);  // the pointer is checked before the map
    EXPECT_EQ(err, AMP_CC_NULL_POINTER);
    amp_cc_decode(nullptr, nullptr, nullptr);
    amp_cc_encode(10, 6, nullptr, nullptr);
}

TEST(ControllerCodec, StatusTestTakesEveryChannel) {
    for (unsigned b = 0; b < 256; ++b)
        EXPECT_EQ(amp_is_cc_status(uint8_t(b)), b >= 0xB0 && b <= 0xBF) << b;
}

}  // namespace
