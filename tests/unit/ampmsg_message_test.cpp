#include "ampmsg/message.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <vector>

#include "tests/support/amp_alloc_hook.h"

namespace {

using Bytes = std::vector<uint8_t>;

// The amp header followed by `rest`.
Bytes framed(Bytes rest) {
    Bytes b(AMP_SYSEX_HEADER, AMP_SYSEX_HEADER + AMP_HEADER_LENGTH);
    b.insert(b.end(), rest.begin(), rest.end());
    return b;
}

Bytes bytes_of(const AmpMessage* m) {
    const uint8_t* p = amp_message_bytes(m, nullptr);
    return Bytes(p, p + amp_message_length(m, nullptr));
}

TEST(AmpMessage, HeaderUsesTheOneManufacturerIdentifier) {
    EXPECT_EQ(AMP_SYSEX_HEADER[0], 0xF0);
    EXPECT_EQ(std::memcmp(AMP_SYSEX_HEADER + 1, AMP_MANUFACTURER_ID, 3), 0);
    EXPECT_EQ(std::memcmp(AMP_IDENTITY_REPLY_PATTERN + 5, AMP_MANUFACTURER_ID, 3), 0);
    EXPECT_EQ(AMP_MANUFACTURER_ID[0], 0x00);
    EXPECT_LT(AMP_MANUFACTURER_ID[1], 0x80);
    EXPECT_LT(AMP_MANUFACTURER_ID[2], 0x80);
}

struct BuildCase {
    int32_t command, first, second, third, arg_count, reply_data;
    Bytes tail;  // bytes after the header, F7 included
    int32_t reply_length;
};

TEST(AmpMessage, BuildKnownAnswers) {
    const BuildCase cases[] = {
        {1, -1, -1, -1, 0, 0, {0x01, 0xF7}, 9},
        {12, 1, 0x55, -1, 0, 40, {0x0C, 0x01, 0x55, 0xF7}, 0},
        {5, -1, -1, -1, 0, 79, {0x05, 0xF7}, 87},
        {3, -1, -1, -1, -4, -3, {0x03, 0xF7}, 9},
        {2, -5, -1, -1, 0, 1, {0x02, 0xF7}, 9},  // -5 is just absent
        {7, 0, 127, -1, 0, 110, {0x07, 0x00, 0x7F, 0xF7}, 118},
        {27, 1, 2, 3, 0, 0, {0x1B, 0x01, 0x02, 0x03, 0xF7}, 9},
        {9, 4, 5, -1, 1, 0, {0x09, 0x04, 0xF7}, 9},  // arg_count 1 writes the first only
        {127, 0, -1, -1, 0, 0, {0x7F, 0x00, 0xF7}, 9},
        // Two positions asked for, one present: the second stays zero.
        {10, 3, -1, -1, 2, 0, {0x0A, 0x03, 0x00, 0xF7}, 9},
        // An explicit count may leave a hole before a present argument.
        {10, -1, 3, -1, 2, 0, {0x0A, 0x00, 0x03, 0xF7}, 9},
        {0, -1, -1, -1, 0, INT32_MAX - 8, {0x00, 0xF7}, INT32_MAX},
    };
    for (const BuildCase& c : cases) {
        SCOPED_TRACE(c.command);
        int err = -1;
        AmpMessage* m = amp_message_build(c.command, c.first, c.second, c.third, c.arg_count,
                                          c.reply_data, &err);
        ASSERT_NE(m, nullptr);
        EXPECT_EQ(err, AMP_OK);
        EXPECT_EQ(bytes_of(m), framed(c.tail));
        EXPECT_EQ(amp_message_reply_length(m, &err), c.reply_length);
        EXPECT_EQ(err, AMP_OK);
        EXPECT_EQ(std::memcmp(m->tag, "MSG", 4), 0);
        amp_record_free(m, &err);
        EXPECT_EQ(err, AMP_OK);
    }
}

TEST(AmpMessage, ExtraArgumentRoomIsZeroedAndClosedByF7) {
    amp_test::AllocHook hook;
    AmpMessage* m = amp_message_build(13, 3, -1, -1, 17, 0, nullptr);
    ASSERT_NE(m, nullptr);
    ASSERT_EQ(amp_message_length(m, nullptr), 25);
    Bytes b = bytes_of(m);
    EXPECT_EQ(b[6], 13);
    EXPECT_EQ(b[7], 3);
    for (int i = 8; i <= 23; ++i) EXPECT_EQ(b[i], 0) << i;
    EXPECT_EQ(b[24], 0xF7);
    amp_record_free(m, nullptr);
    EXPECT_EQ(hook.live(), 0);
}

TEST(AmpMessage, BuildRefusesBytesOutsideSevenBitsAndAllocatesNothing) {
    struct Bad {
        int32_t command, first, second, third, arg_count, reply_data;
    };
    const Bad cases[] = {
        {128, -1, -1, -1, 0, 0}, {-1, -1, -1, -1, 0, 0},  {1, 128, -1, -1, 0, 0},
        {1, 0, 128, -1, 0, 0},   {1, 0, 0, 200, 0, 0},    {1, -1, -1, 128, 0, 0},
        {INT32_MIN, 0, 0, 0, 0, 0},
        // Counted arguments with a hole: the later one would be lost.
        {2, -1, 5, -1, 0, 0}, {2, 1, -1, 5, 0, 0}, {2, -1, -1, 5, -3, 0},
        // Lengths that would overflow their 32-bit fields.
        {1, -1, -1, -1, INT32_MAX, 0}, {1, -1, -1, -1, INT32_MAX - 7, 0},
        {1, -1, -1, -1, 0, INT32_MAX}, {1, -1, -1, -1, 0, INT32_MAX - 7},
    };
    amp_test::AllocHook hook;
    for (const Bad& c : cases) {
        int err = -1;
        EXPECT_EQ(amp_message_build(c.command, c.first, c.second, c.third, c.arg_count,
                                    c.reply_data, &err),
                  nullptr);
        EXPECT_EQ(err, AMP_ERR_BYTE_RANGE);
    }
    EXPECT_EQ(hook.calls(), 0);
}

TEST(AmpMessage, AllocationFailureIsCodeFourteen) {
    bool clean = false;
    EXPECT_EQ(amp_test::count_allocation_points(
                  [](int* err) { return amp_message_build(12, 1, 0x55, -1, 0, 0, err); }, &clean),
              1);
    EXPECT_TRUE(clean);
    EXPECT_EQ(amp_test::count_allocation_points(
                  [](int* err) { return amp_response_new(3, 100, err); }, &clean),
              1);
    EXPECT_TRUE(clean);
}

TEST(AmpMessage, AccessorsReadPlaceholdersForAnythingButTheirKind) {
    AmpMessage* m = amp_message_build(1, -1, -1, -1, 0, 0, nullptr);
    AmpResponse* r = amp_response_new(6, 8, nullptr);
    ASSERT_NE(m, nullptr);
    ASSERT_NE(r, nullptr);
    const char other[] = "MSGX and more";
    const char tiny[] = "M";  // shorter than a tag: must not be read past its end
    const void* not_messages[] = {nullptr, r, other, tiny};
    const void* not_responses[] = {nullptr, m, other, tiny};
    for (const void* p : not_messages) {
        int err = -1;
        EXPECT_EQ(amp_message_bytes(p, &err), nullptr);
        EXPECT_EQ(err, AMP_ERR_NOT_RECORD);
        err = -1;
        EXPECT_EQ(amp_message_length(p, &err), 0);
        EXPECT_EQ(err, AMP_ERR_NOT_RECORD);
        err = -1;
        EXPECT_EQ(amp_message_reply_length(p, &err), 0);
        EXPECT_EQ(err, AMP_ERR_NOT_RECORD);
    }
    for (const void* p : not_responses) {
        int err = -1;
        EXPECT_EQ(amp_response_type(p, &err), 0);
        EXPECT_EQ(err, AMP_ERR_NOT_RECORD);
        err = -1;
        EXPECT_EQ(amp_response_payload(p, &err), nullptr);
        EXPECT_EQ(err, AMP_ERR_NOT_RECORD);
    }
    int err = -1;
    EXPECT_EQ(amp_response_type(r, &err), 6);
    EXPECT_EQ(err, AMP_OK);
    void* payload = amp_response_payload(r, &err);
    EXPECT_EQ(err, AMP_OK);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(payload) % alignof(std::max_align_t), 0u);
    EXPECT_GE(static_cast<char*>(payload), reinterpret_cast<char*>(r) + sizeof(AmpResponse));
    std::memset(payload, 0xAB, 8);  // the whole payload is writable
    amp_record_free(m, nullptr);
    amp_record_free(r, nullptr);
}

TEST(AmpMessage, ResponseNewLeavesTheCodeAloneOnSuccess) {
    int err = 42;
    AmpResponse* r = amp_response_new(13, 0, &err);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(err, 42);
    EXPECT_EQ(std::memcmp(r->tag, "RSP", 4), 0);
    amp_record_free(r, &err);
    EXPECT_EQ(err, AMP_OK);

    // A negative size is refused outright, never wrapped into a huge request.
    amp_test::AllocHook hook;
    err = -1;
    EXPECT_EQ(amp_response_new(1, -1, &err), nullptr);
    EXPECT_EQ(err, AMP_ERR_NO_MEMORY);
    EXPECT_EQ(amp_response_new(1, INT32_MIN, nullptr), nullptr);
    EXPECT_EQ(hook.calls(), 0);
}

TEST(AmpMessage, FreeReleasesBothKindsAndNothingElse) {
    amp_test::AllocHook hook;
    AmpMessage* m = amp_message_build(1, -1, -1, -1, 0, 0, nullptr);
    AmpResponse* r = amp_response_new(2, 40, nullptr);
    ASSERT_EQ(hook.live(), 2);

    char other[8] = "RSQ";
    int err = -1;
    amp_record_free(nullptr, &err);
    EXPECT_EQ(err, AMP_ERR_NOT_RECORD);
    err = -1;
    amp_record_free(other, &err);
    EXPECT_EQ(err, AMP_ERR_NOT_RECORD);
    EXPECT_STREQ(other, "RSQ");
    EXPECT_EQ(hook.live(), 2);

    amp_record_free(r, &err);
    EXPECT_EQ(err, AMP_OK);
    amp_record_free(m, &err);
    EXPECT_EQ(err, AMP_OK);
    EXPECT_EQ(hook.live(), 0);
    amp_record_free(nullptr, nullptr);  // a null out-parameter is fine too
}

TEST(AmpMessage, IdentityPatternMatch) {
    Bytes reply(AMP_IDENTITY_REPLY_PATTERN, AMP_IDENTITY_REPLY_PATTERN + 17);
    reply[12] = 0x01;
    reply[13] = 0x02;
    reply[14] = 0x03;
    reply[15] = 0x04;
    const uint8_t* pat = AMP_IDENTITY_REPLY_PATTERN;
    EXPECT_TRUE(amp_pattern_match(reply.data(), 17, pat, 17));

    Bytes other_device = reply;
    other_device[2] = 0x00;
    EXPECT_FALSE(amp_pattern_match(other_device.data(), 17, pat, 17));
    Bytes other_maker = reply;
    other_maker[6] ^= 0x01;
    EXPECT_FALSE(amp_pattern_match(other_maker.data(), 17, pat, 17));
    Bytes longer = reply;
    longer.push_back(0xF7);
    EXPECT_FALSE(amp_pattern_match(longer.data(), 18, pat, 17));
    EXPECT_FALSE(amp_pattern_match(reply.data(), 16, pat, 17));
    EXPECT_FALSE(amp_pattern_match(nullptr, 17, pat, 17));
    EXPECT_FALSE(amp_pattern_match(reply.data(), 17, nullptr, 17));
    EXPECT_FALSE(amp_pattern_match(reply.data(), -1, pat, -1));
    EXPECT_TRUE(amp_pattern_match(reply.data(), 0, pat, 0));
}

TEST(AmpMessage, NibblesJoinMostSignificantFirst) {
    struct Case {
        Bytes in;
        int32_t want;
    };
    const Case cases[] = {
        {{0x01, 0x02, 0x03, 0x04}, 0x1234},
        {{0xF1, 0xF2}, 0x12},
        {{0x0F, 0x0F, 0x0F, 0x0F}, 0xFFFF},
        {{0x0F, 0x0F, 0x0F, 0x0F, 0x0F}, 0xFFFFF},
        {{}, 0},
        // Nine nibbles: the first one drops out of the 32-bit value.
        {{1, 2, 3, 4, 5, 6, 7, 8, 9}, 0x23456789},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(amp_nibbles_to_int(c.in.data(), static_cast<int32_t>(c.in.size())), c.want);
    }
    const uint8_t one = 5;
    EXPECT_EQ(amp_nibbles_to_int(&one, -3), 0);
    EXPECT_EQ(amp_nibbles_to_int(nullptr, 4), 0);
}

TEST(AmpMessage, CopyTextTerminatesAndAdvances) {
    const uint8_t src[] = {0x41, 0x42, 0x43, 0x44, 0x45};
    char dst[8];
    std::memset(dst, 'x', sizeof dst);
    const uint8_t* next = amp_copy_text(dst, src, 4);
    EXPECT_EQ(next, src + 4);
    EXPECT_STREQ(dst, "ABCD");
    next = amp_copy_text(dst, next, 1);
    EXPECT_EQ(next, src + 5);
    EXPECT_STREQ(dst, "E");
    EXPECT_EQ(amp_copy_text(dst, src, 0), src);
    EXPECT_STREQ(dst, "");
    EXPECT_EQ(amp_copy_text(nullptr, src, 4), src);
}

}  // namespace
