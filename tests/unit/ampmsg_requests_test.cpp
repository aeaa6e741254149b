#include "ampmsg/requests.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "ampmsg/packing.h"
#include "ampmsg/preset.h"
#include "tests/support/amp_alloc_hook.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Builder = std::function<AmpMessage*(int*)>;

Bytes framed(const Bytes& rest) {
    Bytes b;
    for (uint8_t h : AMP_SYSEX_HEADER) b.push_back(h);
    for (uint8_t r : rest) b.push_back(r);
    return b;
}

Bytes bytes_of(const AmpMessage* m) {
    const uint8_t* p = amp_message_bytes(m, nullptr);
    return Bytes(p, p + amp_message_length(m, nullptr));
}

Bytes with_name(Bytes head, const std::string& name) {
    for (size_t i = 0; i < 16; ++i) head.push_back(i < name.size() ? name[i] : 0x20);
    head.push_back(0xF7);
    return head;
}

struct BuildCase {
    const char* what;
    Builder build;
    Bytes whole;  // the complete message
    int32_t reply_length;
};

const WordTable kOneWord = {1, {0x1234}};

std::vector<BuildCase> catalogue_cases() {
    PresetBlock only7;
    preset_block_clear(only7);
    only7[7] = 100;
    PresetBlock empty;
    preset_block_clear(empty);
    return {
        {"identity", amp_request_identity, {0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7}, 17},
        {"cmd1", amp_request_cmd1, framed({0x01, 0xF7}), 9},
        {"cmd2", [](int* e) { return amp_request_cmd2(0, -1, e); }, framed({0x02, 0x00, 0xF7}), 26},
        {"cmd2 extra", [](int* e) { return amp_request_cmd2(125, 127, e); },
         framed({0x02, 0x7D, 0x7F, 0xF7}), 26},
        {"cmd3", amp_request_cmd3, framed({0x03, 0xF7}), 10},
        {"cmd4", [](int* e) { return amp_request_cmd4(127, e); }, framed({0x04, 0x7F, 0xF7}), 11},
        {"cmd5", amp_request_cmd5, framed({0x05, 0xF7}), 87},
        {"cmd7", [](int* e) { return amp_request_cmd7(4, 127, e); }, framed({0x07, 0x04, 0x7F, 0xF7}), 118},
        {"cmd8", [](int* e) { return amp_request_cmd8(0, 0, -1, e); }, framed({0x08, 0x00, 0x00, 0xF7}), 27},
        {"cmd8 extra", [](int* e) { return amp_request_cmd8(5, 3, 9, e); },
         framed({0x08, 0x05, 0x03, 0x09, 0xF7}), 27},
        {"read_block", [](int* e) { return amp_request_read_block(1, 2, -1, e); },
         framed({0x09, 0x01, 0x02, 0xF7}), 267},
        {"read_block extra", [](int* e) { return amp_request_read_block(1, 2, 0, e); },
         framed({0x09, 0x01, 0x02, 0x00, 0xF7}), 267},
        {"cmd10", [](int* e) { return amp_request_cmd10(7, 1, e); }, framed({0x0A, 0x07, 0x01, 0xF7}), 9},
        {"store_block", [only7](int* e) { return amp_request_store_block(2, 1, only7, e); },
         framed({0x0B, 0x02, 0x01, 0x00, 0x07, 0x64, 0xF7}), 9},
        {"store_block empty", [empty](int* e) { return amp_request_store_block(2, 1, empty, e); },
         framed({0x11, 0x02, 0x01, 0xF7}), 9},
        {"store_block null", [](int* e) { return amp_request_store_block(2, 1, nullptr, e); },
         framed({0x11, 0x02, 0x01, 0xF7}), 9},
        {"restart", [](int* e) { return amp_request_restart(127, e); }, framed({0x0C, 0x7F, 0x55, 0xF7}), 0},
        {"restart_mode0", amp_request_restart_mode0, framed({0x0C, 0x00, 0x55, 0xF7}), 0},
        {"restart_update", amp_request_restart_update, framed({0x0C, 0x01, 0x55, 0xF7}), 0},
        {"restart_mode8", amp_request_restart_mode8, framed({0x0C, 0x08, 0x55, 0xF7}), 0},
        {"set_name", [](int* e) { return amp_request_set_name(3, "Clean", e); },
         framed(with_name({0x0D, 0x03}, "Clean")), 9},
        {"set_name 16", [](int* e) { return amp_request_set_name(0, "0123456789abcdef", e); },
         framed(with_name({0x0D, 0x00}, "0123456789abcdef")), 9},
        {"set_name blank", [](int* e) { return amp_request_set_name(3, "   ", e); }, framed({0x0F, 0x03, 0xF7}), 9},
        {"set_name empty", [](int* e) { return amp_request_set_name(3, "", e); }, framed({0x0F, 0x03, 0xF7}), 9},
        {"set_name null", [](int* e) { return amp_request_set_name(3, nullptr, e); }, framed({0x0F, 0x03, 0xF7}), 9},
        {"set_part_name", [](int* e) { return amp_request_set_part_name(125, 3, " ~x", e); },
         framed(with_name({0x0E, 0x7D, 0x03}, " ~x")), 9},
        {"set_part_name blank", [](int* e) { return amp_request_set_part_name(4, 2, nullptr, e); },
         framed({0x10, 0x04, 0x02, 0xF7}), 9},
        {"blank_name", [](int* e) { return amp_request_blank_name(9, e); }, framed({0x0F, 0x09, 0xF7}), 9},
        {"blank_part_name", [](int* e) { return amp_request_blank_part_name(9, 0, e); },
         framed({0x10, 0x09, 0x00, 0xF7}), 9},
        {"store_empty_block", [](int* e) { return amp_request_store_empty_block(0, 3, e); },
         framed({0x11, 0x00, 0x03, 0xF7}), 9},
        {"cmd24", amp_request_cmd24, framed({0x18, 0xF7}), 9},
        {"cmd25", amp_request_cmd25, framed({0x19, 0xF7}), 10},
        {"cmd26", amp_request_cmd26, framed({0x1A, 0xF7}), 9},
        {"cmd27", [](int* e) { return amp_request_cmd27(5, 6, 7, e); }, framed({0x1B, 0x05, 0x06, 0x07, 0xF7}), 9},
        {"cmd27 one", [](int* e) { return amp_request_cmd27(1, -1, -1, e); }, framed({0x1B, 0x01, 0xF7}), 9},
        {"cmd27_00", amp_request_cmd27_00, framed({0x1B, 0x00, 0x00, 0x00, 0xF7}), 9},
        {"cmd27_01", amp_request_cmd27_01, framed({0x1B, 0x00, 0x01, 0x00, 0xF7}), 9},
        {"cmd27_10", amp_request_cmd27_10, framed({0x1B, 0x01, 0x00, 0x00, 0xF7}), 9},
        {"cmd27_11", amp_request_cmd27_11, framed({0x1B, 0x01, 0x01, 0x00, 0xF7}), 9},
        {"cmd27_number", [](int* e) { return amp_request_cmd27_number(125, e); },
         framed({0x1B, 0x00, 0x02, 0x7D, 0xF7}), 9},
        {"cmd27_part", [](int* e) { return amp_request_cmd27_part(3, e); }, framed({0x1B, 0x01, 0x02, 0x03, 0xF7}), 9},
        {"cmd28 on", [](int* e) { return amp_request_cmd28(7, e); }, framed({0x1C, 0x01, 0xF7}), 9},
        {"cmd28 off", [](int* e) { return amp_request_cmd28(0, e); }, framed({0x1C, 0x00, 0xF7}), 9},
        {"read_word_table", amp_request_read_word_table, framed({0x21, 0xF7}), 506},
        {"write_word_table", [](int* e) { return amp_request_write_word_table(&kOneWord, e); },
         framed({0x22, 0x00, 0x00, 0x00, 0x34, 0x12, 0x00, 0x00, 0x00, 0x00, 0x00, 0xF7}), 9},
        {"cmd115", amp_request_cmd115, framed({0x73, 0xF7}), 9},
        {"read_words", [](int* e) { return amp_request_read_words(1, 128, 0, e); },
         framed({0x76, 0x00, 0x7F, 0x00, 0x00, 0x00, 0x00, 0x00, 0xF7}), 521},
        {"read_words 291", [](int* e) { return amp_request_read_words(2, 1, 291, e); },
         framed({0x76, 0x01, 0x00, 0x00, 0x00, 0x01, 0x02, 0x03, 0xF7}), 13},
        {"read_words last", [](int* e) { return amp_request_read_words(1, 1, 1048575, e); },
         framed({0x76, 0x00, 0x00, 0x0F, 0x0F, 0x0F, 0x0F, 0x0F, 0xF7}), 13},
        {"read_words 0xABCDE", [](int* e) { return amp_request_read_words(1, 2, 0xABCDE, e); },
         framed({0x76, 0x00, 0x01, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0xF7}), 17},
        {"cmd119", [](int* e) { return amp_request_cmd119(2, e); }, framed({0x77, 0x02, 0xF7}), 9},
    };
}

TEST(AmpRequests, CatalogueKnownAnswers) {
    for (const BuildCase& c : catalogue_cases()) {
        SCOPED_TRACE(c.what);
        int err = -1;
        AmpMessage* m = c.build(&err);
        ASSERT_NE(m, nullptr);
        EXPECT_EQ(err, AMP_OK);
        Bytes b = bytes_of(m);
        EXPECT_EQ(b, c.whole);
        EXPECT_EQ(amp_message_reply_length(m, nullptr), c.reply_length);
        for (size_t i = 1; i + 1 < b.size(); ++i) EXPECT_EQ(b[i] & 0x80, 0) << "offset " << i;
        amp_record_free(m, &err);
        EXPECT_EQ(err, AMP_OK);
    }
}

TEST(AmpRequests, EveryBuilderReportsMemoryExhaustionAndLeaksNothing) {
    for (const BuildCase& c : catalogue_cases()) {
        SCOPED_TRACE(c.what);
        bool clean = false;
        EXPECT_EQ(amp_test::count_allocation_points(c.build, &clean), 1);
        EXPECT_TRUE(clean);
    }
}

struct FailCase {
    const char* what;
    Builder build;
    int code;
};

TEST(AmpRequests, ChecksFailInCatalogueOrderAndAllocateNothing) {
    std::string long_tab(20, 'a');
    long_tab[18] = '\t';
    const WordTable empty_table = {0, {}};
    const WordTable too_big = {218, {}};
    const WordTable negative = {-1, {}};
    const FailCase cases[] = {
        {"cmd2 number", [](int* e) { return amp_request_cmd2(126, -1, e); }, 1},
        {"cmd2 negative number", [](int* e) { return amp_request_cmd2(-1, -1, e); }, 1},
        {"cmd2 extra", [](int* e) { return amp_request_cmd2(0, 128, e); }, 17},
        {"cmd4", [](int* e) { return amp_request_cmd4(128, e); }, 2},
        {"cmd4 negative", [](int* e) { return amp_request_cmd4(-1, e); }, 2},
        {"cmd7 first", [](int* e) { return amp_request_cmd7(5, 0, e); }, 5},
        {"cmd7 first before second", [](int* e) { return amp_request_cmd7(-1, 128, e); }, 5},
        {"cmd7 second", [](int* e) { return amp_request_cmd7(0, 128, e); }, 4},
        {"cmd7 second negative", [](int* e) { return amp_request_cmd7(0, -1, e); }, 4},
        {"cmd8 extra", [](int* e) { return amp_request_cmd8(0, 0, 200, e); }, 17},
        {"cmd8 number", [](int* e) { return amp_request_cmd8(126, 0, -1, e); }, 1},
        {"cmd8 part", [](int* e) { return amp_request_cmd8(0, 4, -1, e); }, 10},
        {"cmd8 number before part", [](int* e) { return amp_request_cmd8(126, 4, 200, e); }, 1},
        {"read_block part", [](int* e) { return amp_request_read_block(0, -1, -1, e); }, 10},
        {"read_block extra", [](int* e) { return amp_request_read_block(0, 0, 128, e); }, 17},
        {"cmd10 part", [](int* e) { return amp_request_cmd10(0, 4, e); }, 10},
        {"store_block number", [](int* e) { return amp_request_store_block(126, 0, nullptr, e); }, 1},
        {"store_block part", [](int* e) { return amp_request_store_block(0, 4, nullptr, e); }, 10},
        {"restart above 127", [](int* e) { return amp_request_restart(128, e); }, 17},
        {"restart negative", [](int* e) { return amp_request_restart(-1, e); }, 17},
        {"set_name long", [](int* e) { return amp_request_set_name(0, "abcdefghijklmnopq", e); }, 13},
        {"set_name tab", [](int* e) { return amp_request_set_name(0, "a\tb", e); }, 6},
        {"set_name tab in long", [long_tab](int* e) { return amp_request_set_name(0, long_tab.c_str(), e); }, 6},
        {"set_name del", [](int* e) { return amp_request_set_name(0, "a\x7f", e); }, 6},
        {"set_name high byte", [](int* e) { return amp_request_set_name(0, "caf\xc3\xa9", e); }, 6},
        {"set_name number first", [](int* e) { return amp_request_set_name(126, "ok", e); }, 1},
        {"set_name number before bad name", [](int* e) { return amp_request_set_name(126, "a\tb", e); }, 1},
        {"set_name blank checks number", [](int* e) { return amp_request_set_name(126, " ", e); }, 1},
        {"set_part_name part", [](int* e) { return amp_request_set_part_name(0, 4, "ok", e); }, 10},
        {"set_part_name long", [](int* e) { return amp_request_set_part_name(0, 0, "abcdefghijklmnopq", e); }, 13},
        {"set_part_name blank checks part", [](int* e) { return amp_request_set_part_name(0, 4, "", e); }, 10},
        {"blank_name", [](int* e) { return amp_request_blank_name(126, e); }, 1},
        {"blank_part_name", [](int* e) { return amp_request_blank_part_name(0, 4, e); }, 10},
        {"store_empty_block", [](int* e) { return amp_request_store_empty_block(-1, 0, e); }, 1},
        {"cmd27 above 127", [](int* e) { return amp_request_cmd27(0, 0, 128, e); }, 17},
        {"cmd27 hole", [](int* e) { return amp_request_cmd27(-1, 1, 0, e); }, 17},
        {"cmd27_number", [](int* e) { return amp_request_cmd27_number(126, e); }, 1},
        {"cmd27_part", [](int* e) { return amp_request_cmd27_part(4, e); }, 10},
        {"write_word_table null", [](int* e) { return amp_request_write_word_table(nullptr, e); }, 15},
        {"write_word_table 0", [&](int* e) { return amp_request_write_word_table(&empty_table, e); }, 3},
        {"write_word_table 218", [&](int* e) { return amp_request_write_word_table(&too_big, e); }, 3},
        {"write_word_table -1", [&](int* e) { return amp_request_write_word_table(&negative, e); }, 3},
        {"read_words area 0", [](int* e) { return amp_request_read_words(0, 1, 0, e); }, 1},
        {"read_words area 3", [](int* e) { return amp_request_read_words(3, 1, 0, e); }, 1},
        {"read_words area first", [](int* e) { return amp_request_read_words(3, 0, 1048576, e); }, 1},
        {"read_words address", [](int* e) { return amp_request_read_words(1, 1, 1048576, e); }, 12},
        {"read_words negative address", [](int* e) { return amp_request_read_words(1, 1, -1, e); }, 12},
        {"read_words address before count", [](int* e) { return amp_request_read_words(1, 0, 1048576, e); }, 12},
        {"read_words past end", [](int* e) { return amp_request_read_words(1, 2, 1048575, e); }, 11},
        {"read_words count 0", [](int* e) { return amp_request_read_words(1, 0, 0, e); }, 11},
        {"read_words count 129", [](int* e) { return amp_request_read_words(1, 129, 0, e); }, 11},
        {"cmd119 area", [](int* e) { return amp_request_cmd119(0, e); }, 1},
    };
    amp_test::AllocHook hook;
    for (const FailCase& c : cases) {
        SCOPED_TRACE(c.what);
        int err = -1;
        EXPECT_EQ(c.build(&err), nullptr);
        EXPECT_EQ(err, c.code);
        EXPECT_EQ(c.build(nullptr), nullptr);  // a null out-parameter is allowed
    }
    EXPECT_EQ(hook.calls(), 0);
}

TEST(AmpRequests, ArgumentChecksAndNames) {
    int err = -1;
    EXPECT_TRUE(amp_check_number(0, &err));
    EXPECT_EQ(err, 0);
    EXPECT_TRUE(amp_check_number(125, &err));
    EXPECT_FALSE(amp_check_number(126, &err));
    EXPECT_EQ(err, AMP_ERR_NUMBER);
    EXPECT_FALSE(amp_check_part(4, &err));
    EXPECT_EQ(err, AMP_ERR_PART);
    EXPECT_TRUE(amp_check_part(3, &err));
    EXPECT_FALSE(amp_check_number_part(126, 4, &err));
    EXPECT_EQ(err, AMP_ERR_NUMBER);
    EXPECT_FALSE(amp_check_number_part(0, -1, &err));
    EXPECT_EQ(err, AMP_ERR_PART);
    EXPECT_TRUE(amp_check_number_part(125, 0, &err));
    EXPECT_EQ(err, 0);
    EXPECT_FALSE(amp_check_area(0, &err));
    EXPECT_EQ(err, AMP_ERR_NUMBER);
    EXPECT_TRUE(amp_check_area(2, nullptr));

    EXPECT_TRUE(amp_name_is_blank(nullptr));
    EXPECT_TRUE(amp_name_is_blank(""));
    EXPECT_TRUE(amp_name_is_blank("    "));
    EXPECT_FALSE(amp_name_is_blank("  x "));
    EXPECT_FALSE(amp_name_is_blank("\t"));

    EXPECT_FALSE(amp_name_check(nullptr, &err));
    EXPECT_EQ(err, AMP_ERR_NULL);
    EXPECT_FALSE(amp_name_check("", &err));
    EXPECT_EQ(err, AMP_ERR_NAME_LENGTH);
    EXPECT_TRUE(amp_name_check(" ", &err));
    EXPECT_EQ(err, 0);

    uint8_t out[18];
    std::memset(out, 0xEE, sizeof out);
    amp_name_pad16(out + 1, "abcdefghijklmnopqrstu");  // longer than 16: cut
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out + 1), 16), "abcdefghijklmnop");
    EXPECT_EQ(out[0], 0xEE);
    EXPECT_EQ(out[17], 0xEE);
    amp_name_pad16(out + 1, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out + 1), 16), std::string(16, ' '));
    EXPECT_EQ(out[17], 0xEE);
}

// Reads request 11's pairs back into a block, as the amp would.
void read_pairs(const Bytes& msg, uint8_t* block) {
    preset_block_clear(block);
    for (size_t i = 10; i + 2 < msg.size(); i += 2) block[msg[i]] = msg[i + 1];
}

TEST(AmpRequests, StoreBlockCarriesEveryValueAndSkipsTheRest) {
    PresetBlock full;
    for (int n = 0; n < 128; ++n) full[n] = static_cast<uint8_t>(127 - n);
    AmpMessage* m = amp_request_store_block(125, 3, full, nullptr);
    ASSERT_NE(m, nullptr);
    Bytes b = bytes_of(m);
    ASSERT_EQ(b.size(), 267u);
    EXPECT_EQ(b[9], 0x00);
    PresetBlock back;
    read_pairs(b, back);
    EXPECT_EQ(std::memcmp(back, full, 128), 0);
    amp_record_free(m, nullptr);

    // Bytes with bit 7 set, not only 255, hold no value and are not sent.
    PresetBlock sparse;
    preset_block_clear(sparse);
    sparse[0] = 0;
    sparse[64] = 0x80;
    sparse[100] = 0xC3;
    sparse[127] = 127;
    m = amp_request_store_block(1, 0, sparse, nullptr);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(bytes_of(m), framed({0x0B, 0x01, 0x00, 0x00, 0x00, 0x00, 0x7F, 0x7F, 0xF7}));
    amp_record_free(m, nullptr);
}

TEST(AmpRequests, WordTableSizesAndRoundTrip) {
    for (int32_t count : {1, 2, 3, 4, 7, 100, 216, 217}) {
        SCOPED_TRACE(count);
        WordTable t = {count, {}};
        for (int32_t i = 0; i < count; ++i) t.words[i] = static_cast<uint16_t>(0x8001 + 0x0101 * i * 37);
        AmpMessage* m = amp_request_write_word_table(&t, nullptr);
        ASSERT_NE(m, nullptr);
        Bytes b = bytes_of(m);
        const size_t packed = 8 * ((2 * count + 6) / 7);
        ASSERT_EQ(b.size(), 10 + packed);
        EXPECT_EQ(b[7] + 128 * b[8] + 1, count);
        EXPECT_EQ(b.back(), 0xF7);
        for (size_t i = 1; i + 1 < b.size(); ++i) ASSERT_EQ(b[i] & 0x80, 0) << i;

        Bytes raw(packed / 8 * 7);
        ASSERT_EQ(unpack_seven_bit(raw.data(), b.data() + 9, static_cast<uint32_t>(packed)), raw.size());
        for (int32_t i = 0; i < count; ++i) {
            ASSERT_EQ(raw[2 * i] | (raw[2 * i + 1] << 8), t.words[i]) << i;
        }
        amp_record_free(m, nullptr);
    }
    const WordTable seven = {7, {}};
    AmpMessage* m = amp_request_write_word_table(&seven, nullptr);
    EXPECT_EQ(amp_message_length(m, nullptr), 26);
    amp_record_free(m, nullptr);
}

}  // namespace
