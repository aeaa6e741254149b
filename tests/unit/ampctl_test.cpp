// ampctl's device-free pieces: cutting received bytes into messages, the
// request catalogue and its argument parsing, printing decoded replies.
#include "tools/ampctl/ampctl.h"

#include "ampmsg/responses.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

std::vector<Bytes> split(const Bytes& in, uint32_t* dropped = nullptr) {
    static MidiSplitter s;  // large: not on the stack
    splitter_init(&s);
    std::vector<Bytes> out;
    for (uint8_t b : in) {
        const uint8_t* m;
        uint32_t len;
        if (splitter_feed(&s, b, &m, &len)) out.emplace_back(m, m + len);
    }
    if (dropped) *dropped = s.dropped;
    return out;
}

TEST(MidiSplitter, CutsWhatThePortQueuedIntoWholeMessages) {
    struct Case {
        const char* what;
        Bytes in;
        std::vector<Bytes> out;
        uint32_t dropped;
    };
    const Case cases[] = {
        {"short messages", {0xB0, 0x0A, 0x06, 0xC5, 0x07, 0xF8, 0xF2, 1, 2},
         {{0xB0, 0x0A, 0x06}, {0xC5, 0x07}, {0xF8}, {0xF2, 1, 2}}, 0},
        {"a short message between two buffers of a SysEx", {0xF0, 1, 2, 0xB0, 0x0A, 0x06, 3, 0xF7},
         {{0xB0, 0x0A, 0x06}, {0xF0, 1, 2, 3, 0xF7}}, 0},
        {"real time inside a short message", {0x90, 0x3C, 0xFE, 0x64}, {{0xFE}, {0x90, 0x3C, 0x64}}, 0},
        {"a SysEx that never ended", {0xF0, 1, 2, 0xF0, 3, 0xF7}, {{0xF0, 3, 0xF7}}, 1},
        {"a short message whose tail was lost", {0x90, 0x3C, 0xB0, 0x0A, 0x06}, {{0xB0, 0x0A, 0x06}}, 1},
        {"stray bytes", {0x05, 0xF7, 0x90, 0x3C, 0x64}, {{0x90, 0x3C, 0x64}}, 2},
    };
    for (const Case& c : cases) {
        uint32_t dropped = 0;
        EXPECT_EQ(split(c.in, &dropped), c.out) << c.what;
        EXPECT_EQ(dropped, c.dropped) << c.what;
    }
}

TEST(MidiSplitter, DropsASysExLongerThanItsBufferAndGoesOn) {
    Bytes in(MIDI_SPLIT_MAX + 10, 0x11);
    in.front() = 0xF0;
    in.back() = 0xF7;
    const Bytes next = {0xF0, 0x22, 0xF7};
    for (uint8_t b : next) in.push_back(b);
    uint32_t dropped = 0;
    EXPECT_EQ(split(in, &dropped), (std::vector<Bytes>{{0xF0, 0x22, 0xF7}}));
    EXPECT_EQ(dropped, 1u);
    // Exactly as long as the buffer still fits.
    Bytes fits(MIDI_SPLIT_MAX, 0x11);
    fits.front() = 0xF0;
    fits.back() = 0xF7;
    EXPECT_EQ(split(fits), std::vector<Bytes>{fits});
}

// Each entry of the catalogue, given typical arguments, builds the request
// whose command it names.
TEST(AmpctlCatalogue, EveryEntryBuildsItsRequest) {
    struct Case {
        const char* name;
        std::vector<const char*> args;
        int command;  // byte 6; -1 for the identity request
        int length;
    };
    const Case cases[] = {
        {"identity", {}, -1, 6},
        {"cmd1", {}, 1, 8},
        {"cmd2", {"3"}, 2, 9},
        {"cmd2", {"3", "0x10"}, 2, 10},
        {"cmd3", {}, 3, 8},
        {"cmd4", {"127"}, 4, 9},
        {"cmd5", {}, 5, 8},
        {"cmd7", {"4", "0"}, 7, 10},
        {"cmd8", {"0", "0"}, 8, 10},
        {"read_block", {"125", "3"}, 9, 10},
        {"read_block", {"1", "2", "5"}, 9, 11},
        {"cmd10", {"1", "2"}, 10, 10},
        {"store_block", {"1", "2", "7=100"}, 11, 13},
        {"store_block", {"1", "2"}, 17, 10},
        {"restart", {"0"}, 12, 10},
        {"restart_mode0", {}, 12, 10},
        {"restart_update", {}, 12, 10},
        {"restart_mode8", {}, 12, 10},
        {"set_name", {"3", "Clean"}, 13, 25},
        {"set_name", {"3", "   "}, 15, 9},
        {"set_part_name", {"3", "1", "Lead"}, 14, 26},
        {"blank_name", {"3"}, 15, 9},
        {"blank_part_name", {"3", "1"}, 16, 10},
        {"store_empty_block", {"3", "1"}, 17, 10},
        {"cmd24", {}, 24, 8},
        {"cmd25", {}, 25, 8},
        {"cmd26", {}, 26, 8},
        {"cmd27", {"0", "2", "5"}, 27, 11},
        {"cmd27_00", {}, 27, 11},
        {"cmd27_01", {}, 27, 11},
        {"cmd27_10", {}, 27, 11},
        {"cmd27_11", {}, 27, 11},
        {"cmd27_number", {"5"}, 27, 11},
        {"cmd27_part", {"2"}, 27, 11},
        {"cmd28", {"1"}, 28, 9},
        {"read_word_table", {}, 33, 8},
        {"write_word_table", {"0x1234"}, 34, 18},
        {"cmd115", {}, 115, 8},
        {"read_words", {"1", "128", "0"}, 118, 15},
        {"cmd119", {"2"}, 119, 9},
    };
    size_t count = 0;
    const AmpctlRequest* all = ampctl_requests(&count);
    std::vector<bool> covered(count, false);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const AmpctlRequest* r = ampctl_find_request(c.name);
        ASSERT_NE(r, nullptr);
        covered[size_t(r - all)] = true;
        std::vector<char*> argv;
        for (const char* a : c.args) argv.push_back(const_cast<char*>(a));
        static AmpctlArgs args;
        char why[128] = "";
        ASSERT_TRUE(ampctl_parse_args(r, int(argv.size()), argv.data(), &args, why, sizeof why)) << why;
        int err = -1;
        AmpMessage* m = r->build(&args, &err);
        ASSERT_NE(m, nullptr) << err;
        const uint8_t* b = amp_message_bytes(m, nullptr);
        EXPECT_EQ(amp_message_length(m, nullptr), c.length);
        if (c.command >= 0) {
            EXPECT_EQ(b[AMP_COMMAND_OFFSET], c.command);
        }
        amp_record_free(m, nullptr);
    }
    for (size_t i = 0; i < count; i++) EXPECT_TRUE(covered[i]) << all[i].name << " is not exercised";
    EXPECT_EQ(ampctl_find_request("cmd6"), nullptr);
    EXPECT_EQ(ampctl_find_request(nullptr), nullptr);
}

TEST(AmpctlCatalogue, RefusesArgumentsThatDoNotFit) {
    struct Case {
        const char* name;
        std::vector<const char*> args;
        const char* why;
    };
    const Case cases[] = {
        {"cmd4", {}, "wrong number of arguments"},
        {"cmd4", {"1", "2"}, "wrong number of arguments"},
        {"cmd4", {"12x"}, "not a number: '12x'"},
        {"cmd4", {"99999999999"}, "not a number: '99999999999'"},
        {"set_name", {"3"}, "expected one name after the numbers"},
        {"set_part_name", {"3"}, "missing arguments"},
        {"set_name", {"3", "a", "b"}, "expected one name after the numbers"},
        {"store_block", {"1", "2", "7"}, "expected CC=VALUE: '7'"},
        {"store_block", {"1", "2", "128=1"}, "controller and value must be 0..127: '128=1'"},
        {"store_block", {"1", "2", "7=-1"}, "controller and value must be 0..127: '7=-1'"},
        {"write_word_table", {"65536"}, "a word is 0..65535: '65536'"},
        {"write_word_table", {}, "missing arguments"},
    };
    for (const Case& c : cases) {
        std::vector<char*> argv;
        for (const char* a : c.args) argv.push_back(const_cast<char*>(a));
        static AmpctlArgs args;
        char why[128] = "";
        EXPECT_FALSE(ampctl_parse_args(ampctl_find_request(c.name), int(argv.size()), argv.data(), &args, why,
                                       sizeof why));
        EXPECT_STREQ(why, c.why) << c.name;
    }
    // Negative numbers pass through to the builder, which decides (here: an
    // absent extra byte).
    static AmpctlArgs args;
    char why[128];
    char* argv[] = {const_cast<char*>("3"), const_cast<char*>("-1")};
    EXPECT_TRUE(ampctl_parse_args(ampctl_find_request("cmd2"), 2, argv, &args, why, sizeof why));
    EXPECT_EQ(args.v[1], -1);
}

std::string printed(const Bytes& msg, bool json) {
    AmpResponse* r = amp_response_decode(msg.data(), int32_t(msg.size()), nullptr);
    EXPECT_NE(r, nullptr);
    if (!r) return "";
    char* buf = nullptr;
    size_t len = 0;
    FILE* f = open_memstream(&buf, &len);
    ampctl_print_response(f, r, json);
    std::fclose(f);
    std::string s(buf, len);
    std::free(buf);
    amp_record_free(r, nullptr);
    return s;
}

Bytes amp_reply(uint8_t command, const Bytes& data) {
    Bytes m(AMP_SYSEX_HEADER, AMP_SYSEX_HEADER + AMP_HEADER_LENGTH);
    m.push_back(command);
    m.insert(m.end(), data.begin(), data.end());
    m.push_back(0xF7);
    return m;
}

TEST(AmpctlPrint, PrintsRepliesFieldByFieldAndAsJson) {
    Bytes id(AMP_IDENTITY_REPLY_PATTERN, AMP_IDENTITY_REPLY_PATTERN + AMP_IDENTITY_REPLY_LENGTH);
    id[12] = 'A';
    id[13] = '1';
    id[14] = '0';
    id[15] = '2';
    EXPECT_EQ(printed(id, false), "type: identity\ntype_code: 13\nrelease: 1\nversion: \"1.02\"\n");
    EXPECT_EQ(printed(id, true), "{\"type\":\"identity\",\"type_code\":13,\"release\":1,\"version\":\"1.02\"}\n");
    EXPECT_EQ(printed({0xB0, 0x37, 0x00}, true),
              "{\"type\":\"controller\",\"type_code\":4,\"controller\":55,\"value\":-64}\n");

    // Text as received: quotes, backslashes and control bytes escaped.
    Bytes text = {'a', '"', 'b', '\\', 0x01, 'c', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '};
    Bytes data = {5, 6};
    data.insert(data.end(), text.begin(), text.end());
    std::string j = printed(amp_reply(18, data), true);
    EXPECT_NE(j.find("\"text\":\"a\\\"b\\\\\\u0001c          \""), std::string::npos) << j;
    std::string t = printed(amp_reply(18, data), false);
    EXPECT_NE(t.find("text: \"a\\\"b\\\\\\x01c          \"\n"), std::string::npos) << t;

    // A preset block: its parameters by getter name and the raw values.
    std::string b = printed(amp_reply(11, {1, 2, 0, 7, 100, 91, 60}), false);
    EXPECT_NE(b.find("preset_get_cc7: 100\n"), std::string::npos) << b;
    EXPECT_NE(b.find("preset_get_cc91: 10\n"), std::string::npos) << b;
    EXPECT_NE(b.find("values: 7 100 91 60\n"), std::string::npos) << b;
    std::string bj = printed(amp_reply(11, {1, 2, 0, 7, 100}), true);
    EXPECT_NE(bj.find("\"values\":[7,100]}"), std::string::npos) << bj;
}

// Every type code the decoder hands out has a name.
TEST(AmpctlPrint, NamesEveryResponseType) {
    for (int32_t t = AMP_RSP_CMD20; t <= AMP_RSP_IDENTITY; t++) EXPECT_STRNE(ampctl_type_name(t), "?") << t;
    EXPECT_STREQ(ampctl_type_name(0), "?");
    EXPECT_STREQ(ampctl_type_name(14), "?");
}

}  // namespace

// Every refusal code the library names has its own text with what is valid;
// a code past the table falls back to a generic one.
TEST(AmpctlRefusals, EveryLibraryCodeIsExplained) {
    const char* generic = ampctl_refusal_text(AMP_ERR_BYTE_RANGE + 1);
    for (int code : {AMP_ERR_NUMBER, AMP_ERR_VALUE, AMP_ERR_WORD_COUNT, AMP_ERR_SECOND_ARG, AMP_ERR_FIRST_ARG,
                     AMP_ERR_NAME_CHAR, AMP_ERR_PART, AMP_ERR_READ_COUNT, AMP_ERR_ADDRESS, AMP_ERR_NAME_LENGTH,
                     AMP_ERR_BYTE_RANGE})
        EXPECT_STRNE(ampctl_refusal_text(code), generic) << code;
    EXPECT_NE(std::strstr(ampctl_refusal_text(AMP_ERR_VALUE), "0..127"), nullptr);
    EXPECT_NE(std::strstr(ampctl_refusal_text(AMP_ERR_PART), "0..3"), nullptr);
}
