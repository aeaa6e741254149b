#include "midi/byte_queue.h"

#include <gtest/gtest.h>

#include "midi/fault.h"

#include <cstring>
#include <string>
#include <vector>

namespace {

const uint8_t* bytes(const char* s) { return reinterpret_cast<const uint8_t*>(s); }

std::string take(ByteQueue* q, uint32_t n) {
    std::vector<uint8_t> out(n + 1, 0);
    uint32_t k = byte_queue_get(q, n, out.data(), nullptr);
    return std::string(reinterpret_cast<char*>(out.data()), k);
}

TEST(ByteQueue, CreateChecksCapacityAndStartsEmpty) {
    int err = -1;
    EXPECT_EQ(byte_queue_create(0, &err), nullptr);
    EXPECT_EQ(err, BQ_INVALID_COUNT);
    err = -1;
    EXPECT_EQ(byte_queue_create(BYTE_QUEUE_MAX_CAPACITY, &err), nullptr);
    EXPECT_EQ(err, BQ_INVALID_COUNT);
    EXPECT_EQ(byte_queue_create(0xFFFFFFFFu, &err), nullptr);

    ByteQueue* q = byte_queue_create(32, &err);
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(err, 0);
    EXPECT_EQ(std::memcmp(&q->tag, "BYTQ", 4), 0);
    EXPECT_EQ(byte_queue_free_space(q, nullptr), 32u);
    EXPECT_EQ(byte_queue_capacity(q, nullptr), 32u);
    EXPECT_EQ(byte_queue_is_empty(q, nullptr), 1);
    EXPECT_EQ(byte_queue_is_full(q, nullptr), 0);
    EXPECT_EQ(byte_queue_free(q, &err), 1);
    EXPECT_EQ(err, 0);
}

TEST(ByteQueue, RefusedAllocationIsCodeThree) {
    zp_fault_arm(1);
    int err = -1;
    EXPECT_EQ(byte_queue_create(16, &err), nullptr);
    EXPECT_EQ(err, BQ_NO_MEMORY);
    ByteQueue* q = byte_queue_create(16, &err);
    EXPECT_NE(q, nullptr);
    byte_queue_free(q, nullptr);
}

TEST(ByteQueue, CapacityOneHoldsOneByte) {
    ByteQueue* q = byte_queue_create(1, nullptr);
    int err = -1;
    EXPECT_EQ(byte_queue_put(q, 1, bytes("x"), &err), 1u);
    EXPECT_EQ(byte_queue_is_full(q, nullptr), 1);
    err = -1;
    EXPECT_EQ(byte_queue_put(q, 1, bytes("y"), &err), 0u);
    EXPECT_EQ(err, 0);  // a full queue is not an error
    EXPECT_EQ(take(q, 5), "x");
    byte_queue_free(q, nullptr);
}

TEST(ByteQueue, PartialPutsAndGets) {
    ByteQueue* q = byte_queue_create(32, nullptr);
    std::vector<uint8_t> forty(40);
    for (int i = 0; i < 40; ++i) forty[i] = uint8_t(i);
    int err = -1;
    EXPECT_EQ(byte_queue_put(q, 40, forty.data(), &err), 32u);
    EXPECT_EQ(err, 0);
    uint8_t out[40] = {};
    EXPECT_EQ(byte_queue_get(q, 40, out, &err), 32u);
    EXPECT_EQ(err, 0);
    EXPECT_EQ(std::memcmp(out, forty.data(), 32), 0);

    // Zero-length put is fine; a null source is not, even for n = 0.
    EXPECT_EQ(byte_queue_put(q, 0, forty.data(), &err), 0u);
    EXPECT_EQ(err, 0);
    EXPECT_EQ(byte_queue_put(q, 0, nullptr, &err), 0u);
    EXPECT_EQ(err, BQ_NULL_POINTER);
    EXPECT_EQ(byte_queue_count(q, nullptr), 0u);
    byte_queue_free(q, nullptr);
}

TEST(ByteQueue, WrapAroundKeepsOrder) {
    ByteQueue* q = byte_queue_create(8, nullptr);
    byte_queue_put(q, 6, bytes("ABCDEF"), nullptr);
    EXPECT_EQ(take(q, 4), "ABCD");
    EXPECT_EQ(byte_queue_put(q, 5, bytes("GHIJK"), nullptr), 5u);
    const uint8_t* ring = reinterpret_cast<const uint8_t*>(q) + sizeof(ByteQueue);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(ring + 6), 2), "GH");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(ring), 3), "IJK");
    uint8_t peeked[10] = {};
    EXPECT_EQ(byte_queue_peek(q, 10, peeked, nullptr), 7u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(peeked), 7), "EFGHIJK");
    EXPECT_EQ(take(q, 10), "EFGHIJK");
    EXPECT_EQ(q->read_index, 3u);
    EXPECT_EQ(byte_queue_is_empty(q, nullptr), 1);
    byte_queue_free(q, nullptr);
}

TEST(ByteQueue, NullDestinationCountsOrDiscards) {
    ByteQueue* q = byte_queue_create(16, nullptr);
    byte_queue_put(q, 5, bytes("abcde"), nullptr);
    EXPECT_EQ(byte_queue_peek(q, 3, nullptr, nullptr), 3u);
    EXPECT_EQ(byte_queue_peek(q, 9, nullptr, nullptr), 5u);
    EXPECT_EQ(byte_queue_count(q, nullptr), 5u);
    EXPECT_EQ(byte_queue_get(q, 2, nullptr, nullptr), 2u);
    EXPECT_EQ(take(q, 9), "cde");
    byte_queue_free(q, nullptr);
}

TEST(ByteQueue, CountersPastTwoToThe32) {
    ByteQueue* q = byte_queue_create(10, nullptr);
    // Place the totals just below the wrap, as after ~4 GB of traffic.
    q->total_in = q->total_out = 0xFFFFFFFCu;
    q->read_index = q->write_index = 7;
    EXPECT_EQ(byte_queue_put(q, 8, bytes("01234567"), nullptr), 8u);
    EXPECT_LT(q->total_in, 10u);  // wrapped
    EXPECT_EQ(byte_queue_count(q, nullptr), 8u);
    EXPECT_EQ(byte_queue_free_space(q, nullptr), 2u);
    EXPECT_EQ(byte_queue_put(q, 8, bytes("89abcdef"), nullptr), 2u);
    EXPECT_EQ(byte_queue_is_full(q, nullptr), 1);
    EXPECT_EQ(take(q, 20), "0123456789");
    byte_queue_free(q, nullptr);
}

TEST(ByteQueue, ClearResetsIndices) {
    ByteQueue* q = byte_queue_create(8, nullptr);
    byte_queue_put(q, 6, bytes("ABCDEF"), nullptr);
    take(q, 3);
    EXPECT_EQ(byte_queue_clear(q, nullptr), 1);
    EXPECT_EQ(q->read_index, 0u);
    EXPECT_EQ(q->write_index, 0u);
    EXPECT_EQ(byte_queue_count(q, nullptr), 0u);
    byte_queue_free(q, nullptr);
}

TEST(ByteQueue, InvalidRecordsAreRefusedEverywhere) {
    ByteQueue fake{};
    uint8_t buf[4] = {};
    for (ByteQueue* q : {static_cast<ByteQueue*>(nullptr), &fake}) {
        int err = 0;
        EXPECT_EQ(byte_queue_put(q, 1, buf, &err), 0u);
        EXPECT_EQ(err, BQ_INVALID_QUEUE);
        err = 0;
        EXPECT_EQ(byte_queue_get(q, 1, buf, &err), 0u);
        EXPECT_EQ(err, BQ_INVALID_QUEUE);
        err = 0;
        EXPECT_EQ(byte_queue_peek(q, 1, buf, &err), 0u);
        EXPECT_EQ(err, BQ_INVALID_QUEUE);
        err = 0;
        EXPECT_EQ(byte_queue_is_empty(q, &err), 0);  // not "empty"
        EXPECT_EQ(err, BQ_INVALID_QUEUE);
        err = 0;
        EXPECT_EQ(byte_queue_is_full(q, &err), 0);
        EXPECT_EQ(err, BQ_INVALID_QUEUE);
        err = 0;
        EXPECT_EQ(byte_queue_count(q, &err) + byte_queue_free_space(q, &err) +
                      byte_queue_capacity(q, &err),
                  0u);
        EXPECT_EQ(err, BQ_INVALID_QUEUE);
        err = 0;
        EXPECT_EQ(byte_queue_clear(q, &err), 0);
        EXPECT_EQ(err, BQ_INVALID_QUEUE);
        err = 0;
        EXPECT_EQ(byte_queue_free(q, &err), 0);
        EXPECT_EQ(err, BQ_INVALID_QUEUE);
    }
}

TEST(ByteQueue, ErrorTextTableInStep) {
    EXPECT_EQ(byte_queue_error_text(0), nullptr);
    const char* expected[] = {"invalid queue", "invalid byte count", "out of memory",
                              "null pointer",  "too many created",   "unknown error"};
    for (unsigned code = 1; code <= 6; ++code)
        EXPECT_STREQ(byte_queue_error_text(code), expected[code - 1]) << code;
    EXPECT_STREQ(byte_queue_error_text(7), "(?)");
    EXPECT_STREQ(byte_queue_error_text(0xFFFFFFFFu), "(?)");
}

}  // namespace
