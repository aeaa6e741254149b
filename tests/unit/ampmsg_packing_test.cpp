#include "ampmsg/packing.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes pack(const Bytes& in) {
    Bytes out(8 * ((in.size() + 6) / 7) + 8, 0xEE);
    uint32_t n = pack_seven_bit(out.data(), in.data(), static_cast<uint32_t>(in.size()));
    EXPECT_EQ(out[n], 0xEE) << "wrote past its count";
    out.resize(n);
    return out;
}

Bytes unpack(const Bytes& in) {
    Bytes out(7 * (in.size() / 8) + 8, 0xEE);
    uint32_t n = unpack_seven_bit(out.data(), in.data(), static_cast<uint32_t>(in.size()));
    EXPECT_EQ(out[n], 0xEE) << "wrote past its count";
    out.resize(n);
    return out;
}

TEST(Packing, KnownAnswers) {
    struct Case {
        Bytes data, packed;
    };
    const Case cases[] = {
        {{0x80, 0x01, 0xFF, 0x00, 0x7F, 0x40, 0x81},
         {0x51, 0x00, 0x01, 0x7F, 0x00, 0x7F, 0x40, 0x01}},
        {{0xC5}, {0x40, 0x45, 0, 0, 0, 0, 0, 0}},
        {{0x34, 0x12}, {0x00, 0x34, 0x12, 0, 0, 0, 0, 0}},
        {{0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0xFF},
         {0x7F, 0, 0, 0, 0, 0, 0, 0, 0x40, 0x7F, 0, 0, 0, 0, 0, 0}},
        {{}, {}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(pack(c.data), c.packed);
        Bytes back = unpack(c.packed);
        Bytes want = c.data;
        want.resize(back.size(), 0);  // the last group's filler comes back as zeros
        EXPECT_EQ(back, want);
        for (uint8_t b : c.packed) EXPECT_EQ(b & 0x80, 0);
    }
}

TEST(Packing, Sizes) {
    struct Case {
        uint32_t in, packed;
    };
    const Case cases[] = {{0, 0}, {1, 8}, {6, 8}, {7, 8}, {8, 16}, {14, 16}, {15, 24}, {434, 496}};
    for (const Case& c : cases) {
        Bytes data(c.in, 0xA5);
        EXPECT_EQ(pack(data).size(), c.packed) << c.in;
    }
    struct Un {
        uint32_t packed, out;
    };
    const Un un[] = {{0, 0}, {1, 0}, {7, 0}, {8, 7}, {15, 7}, {16, 14}, {23, 14}, {24, 21}};
    for (const Un& c : un) {
        Bytes packed(c.packed, 0x7F);
        EXPECT_EQ(unpack(packed).size(), c.out) << c.packed;
    }
}

TEST(Packing, RoundTripEveryLengthAndByte) {
    for (uint32_t len = 0; len <= 300; ++len) {
        Bytes data(len);
        for (uint32_t i = 0; i < len; ++i) data[i] = static_cast<uint8_t>(i * 37 + len);
        Bytes back = unpack(pack(data));
        ASSERT_EQ(back.size(), 7 * ((len + 6) / 7)) << len;
        EXPECT_TRUE(std::equal(data.begin(), data.end(), back.begin())) << len;
        for (size_t i = len; i < back.size(); ++i) EXPECT_EQ(back[i], 0) << len;
    }
}

TEST(Packing, UnpackIgnoresBitSevenOfItsInput) {
    const Bytes clean = {0x51, 0x00, 0x01, 0x7F, 0x00, 0x7F, 0x40, 0x01};
    Bytes dirty = clean;
    for (uint8_t& b : dirty) b |= 0x80;
    EXPECT_EQ(unpack(dirty), unpack(clean));
}

TEST(Packing, NullBuffersWriteNothing) {
    uint8_t buf[16] = {};
    EXPECT_EQ(pack_seven_bit(nullptr, buf, 7), 0u);
    EXPECT_EQ(pack_seven_bit(buf, nullptr, 7), 0u);
    EXPECT_EQ(unpack_seven_bit(nullptr, buf, 16), 0u);
    EXPECT_EQ(unpack_seven_bit(buf, nullptr, 16), 0u);
}

TEST(SplitValue, KnownAnswersAndRoundTrip) {
    EXPECT_EQ(split_value_high(1704), 13);
    EXPECT_EQ(split_value_low(1704), 40);
    EXPECT_EQ(join_split_value(13, 40), 1704);
    EXPECT_EQ(join_split_value(45, 168), 1704);  // bits above the part widths are ignored
    EXPECT_EQ(split_value_high(1000), 7);
    EXPECT_EQ(split_value_low(1000), 104);
    EXPECT_EQ(join_split_value(-1, -1), 4095);
    for (int32_t v = 0; v <= 4095; ++v) {
        int32_t hi = split_value_high(v), lo = split_value_low(v);
        ASSERT_TRUE(hi >= 0 && hi <= 31 && lo >= 0 && lo <= 127) << v;
        ASSERT_EQ(join_split_value(hi, lo), v);
    }
}

}  // namespace
