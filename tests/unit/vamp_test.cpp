// The virtual amp's parts without JACK: what it answers, how it cuts a byte
// stream into messages, what it counts in update mode, its receive model,
// its report and its command line.
#include "tools/virtual-amp/vamp.h"

#include "ampmsg/message.h"
#include "ampmsg/packing.h"
#include "ampmsg/requests.h"
#include "ampmsg/responses.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes bytes_of(AmpMessage* m) {
    EXPECT_NE(m, nullptr);
    if (!m) return {};
    Bytes b(m->bytes, m->bytes + m->length);
    amp_record_free(m, nullptr);
    return b;
}

VampOutcome ask(VampAmp* a, const Bytes& msg) {
    VampOutcome out;
    vamp_amp_handle_sysex(a, msg.data(), long(msg.size()), &out);
    return out;
}

std::string text_at(const VampOutcome& o, int off, int n) {
    return std::string(reinterpret_cast<const char*>(o.reply + off), size_t(n));
}

struct AmpTest : ::testing::Test {
    VampAmp* amp = new VampAmp;
    void SetUp() override { vamp_amp_state_init(amp, "A102"); }
    void TearDown() override { delete amp; }
};

// Every request of the catalogue that has a reply gets a well-formed reply
// of the catalogue's size under the reply type that answers it, and the
// library's decoder reads it as that reply.
TEST_F(AmpTest, AnswersEveryRequestWithTheCatalogueSize) {
    uint8_t block[128];
    std::memset(block, 0xFF, sizeof block);
    block[7] = 100;
    WordTable table = {3, {0x1234, 0xFFFF, 0}};
    struct Row {
        const char* name;
        std::function<AmpMessage*()> build;
        int reply_type;  // command byte of the reply; -1 for the identity reply
        int length;      // bytes of the reply
        int decoded;     // response type the library decodes it to; 0: none it decodes
    };
    const Row rows[] = {
        {"identity", [] { return amp_request_identity(nullptr); }, -1, 17, AMP_RSP_IDENTITY},
        {"cmd1", [] { return amp_request_cmd1(nullptr); }, 0, 9, AMP_RSP_CMD0},
        {"cmd2", [] { return amp_request_cmd2(3, -1, nullptr); }, 18, 26, AMP_RSP_CMD18},
        {"cmd2 extra", [] { return amp_request_cmd2(3, 9, nullptr); }, 18, 26, AMP_RSP_CMD18},
        {"cmd3", [] { return amp_request_cmd3(nullptr); }, 3, 10, 0},
        {"cmd4", [] { return amp_request_cmd4(5, nullptr); }, 19, 11, AMP_RSP_CMD19_ZERO},
        {"cmd5", [] { return amp_request_cmd5(nullptr); }, 20, 87, AMP_RSP_CMD20},
        {"cmd7", [] { return amp_request_cmd7(4, 120, nullptr); }, 22, 118, AMP_RSP_CMD22},
        {"cmd8", [] { return amp_request_cmd8(3, 1, -1, nullptr); }, 23, 27, AMP_RSP_CMD23},
        {"read_block", [] { return amp_request_read_block(125, 3, 2, nullptr); }, 11, 267, AMP_RSP_CMD11},
        {"cmd10", [] { return amp_request_cmd10(3, 1, nullptr); }, 0, 9, AMP_RSP_CMD0},
        {"store_block", [&] { return amp_request_store_block(3, 1, block, nullptr); }, 0, 9, AMP_RSP_CMD0},
        {"set_name", [] { return amp_request_set_name(3, "Hello", nullptr); }, 0, 9, AMP_RSP_CMD0},
        {"set_part_name", [] { return amp_request_set_part_name(3, 2, "Part", nullptr); }, 0, 9, AMP_RSP_CMD0},
        {"blank_name", [] { return amp_request_blank_name(3, nullptr); }, 0, 9, AMP_RSP_CMD0},
        {"blank_part_name", [] { return amp_request_blank_part_name(3, 2, nullptr); }, 0, 9, AMP_RSP_CMD0},
        {"store_empty_block", [] { return amp_request_store_empty_block(3, 2, nullptr); }, 0, 9, AMP_RSP_CMD0},
        {"cmd24", [] { return amp_request_cmd24(nullptr); }, 0, 9, AMP_RSP_CMD0},
        {"cmd25", [] { return amp_request_cmd25(nullptr); }, 25, 10, 0},
        {"cmd26", [] { return amp_request_cmd26(nullptr); }, 0, 9, AMP_RSP_CMD0},
        {"cmd27", [] { return amp_request_cmd27_number(5, nullptr); }, 0, 9, AMP_RSP_CMD0},
        {"cmd27 short", [] { return amp_request_cmd27(1, -1, -1, nullptr); }, 0, 9, AMP_RSP_CMD0},
        {"cmd28", [] { return amp_request_cmd28(1, nullptr); }, 0, 9, AMP_RSP_CMD0},
        {"read_word_table", [] { return amp_request_read_word_table(nullptr); }, 34, 506, AMP_RSP_WORD_TABLE},
        {"write_word_table", [&] { return amp_request_write_word_table(&table, nullptr); }, 0, 9, AMP_RSP_CMD0},
        {"cmd115", [] { return amp_request_cmd115(nullptr); }, 115, 9, AMP_RSP_CMD115},
        {"read_words", [] { return amp_request_read_words(2, 128, 1048576 - 128, nullptr); }, 118, 521, AMP_RSP_CMD118},
        {"cmd119", [] { return amp_request_cmd119(2, nullptr); }, 0, 9, AMP_RSP_CMD0},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        AmpMessage* m = r.build();
        ASSERT_NE(m, nullptr);
        int32_t expected = amp_message_reply_length(m, nullptr);
        Bytes req = bytes_of(m);
        VampOutcome out = ask(amp, req);
        ASSERT_EQ(out.action, VAMP_REPLY);
        ASSERT_EQ(out.reply_length, r.length);
        // A caller that sizes its read by the request's reply_length gets the
        // whole reply, the largest word table included.
        EXPECT_EQ(out.reply_length, expected);
        int err = -1;
        AmpResponse* decoded = amp_response_decode(out.reply, out.reply_length, &err);
        if (r.decoded) {
            EXPECT_EQ(err, 0);
            EXPECT_EQ(amp_response_type(decoded, nullptr), r.decoded);
        } else {
            EXPECT_EQ(decoded, nullptr);
            EXPECT_EQ(err, AMP_ERR_UNKNOWN_REPLY);  // well-formed, but no parser for it
        }
        amp_record_free(decoded, nullptr);
        if (r.reply_type < 0) {
            EXPECT_TRUE(amp_pattern_match(out.reply, out.reply_length, AMP_IDENTITY_REPLY_PATTERN,
                                          AMP_IDENTITY_REPLY_LENGTH));
            EXPECT_EQ(text_at(out, AMP_IDENTITY_REVISION_OFFSET, 4), "A102");
            continue;
        }
        EXPECT_TRUE(amp_check_framing(out.reply, out.reply_length));
        EXPECT_EQ(out.reply[AMP_COMMAND_OFFSET], r.reply_type);
    }
    EXPECT_EQ(amp->ignored, 0u);
}

// What a caller stores is what it reads back.
TEST_F(AmpTest, KeepsWhatIsStored) {
    uint8_t block[128];
    std::memset(block, 0xFF, sizeof block);
    block[7] = 55;
    block[91] = 3;
    ASSERT_EQ(ask(amp, bytes_of(amp_request_store_block(9, 2, block, nullptr))).action, VAMP_REPLY);
    VampOutcome o = ask(amp, bytes_of(amp_request_read_block(9, 2, -1, nullptr)));
    ASSERT_EQ(o.reply_length, 267);
    EXPECT_EQ(o.reply[7], 9);
    EXPECT_EQ(o.reply[8], 2);
    EXPECT_EQ(o.reply[10 + 2 * 7], 7);
    EXPECT_EQ(o.reply[11 + 2 * 7], 55);
    EXPECT_EQ(o.reply[11 + 2 * 91], 3);
    EXPECT_EQ(o.reply[11 + 2 * 88], 7);  // untouched controllers keep their values
    // Another preset and part are not touched.
    o = ask(amp, bytes_of(amp_request_read_block(9, 1, -1, nullptr)));
    EXPECT_EQ(o.reply[11 + 2 * 7], 100);
    // The empty block puts the preset back.
    ask(amp, bytes_of(amp_request_store_empty_block(9, 2, nullptr)));
    o = ask(amp, bytes_of(amp_request_read_block(9, 2, -1, nullptr)));
    EXPECT_EQ(o.reply[11 + 2 * 7], 100);

    ask(amp, bytes_of(amp_request_set_name(12, "Crunch", nullptr)));
    o = ask(amp, bytes_of(amp_request_cmd2(12, -1, nullptr)));
    EXPECT_EQ(text_at(o, 9, 16), "Crunch          ");
    ask(amp, bytes_of(amp_request_set_name(12, "   ", nullptr)));  // sent as request 15
    o = ask(amp, bytes_of(amp_request_cmd2(12, -1, nullptr)));
    EXPECT_EQ(text_at(o, 9, 16), std::string(16, ' '));

    ask(amp, bytes_of(amp_request_set_part_name(12, 3, "Lead", nullptr)));
    o = ask(amp, bytes_of(amp_request_cmd8(12, 3, 7, nullptr)));
    EXPECT_EQ(o.reply[9], 7);
    EXPECT_EQ(text_at(o, 10, 16), "Lead            ");

    WordTable t = {3, {0x1234, 0xFFFF, 0x0080}};
    ask(amp, bytes_of(amp_request_write_word_table(&t, nullptr)));
    o = ask(amp, bytes_of(amp_request_read_word_table(nullptr)));
    ASSERT_EQ(o.reply_length, 18);
    EXPECT_EQ(o.reply[7] + 128 * o.reply[8] + 1, 3);
    uint8_t raw[8];
    ASSERT_EQ(unpack_seven_bit(raw, o.reply + 9, 8), 7u);
    EXPECT_EQ(raw[0] | raw[1] << 8, 0x1234);
    EXPECT_EQ(raw[2] | raw[3] << 8, 0xFFFF);
    EXPECT_EQ(raw[4] | raw[5] << 8, 0x0080);
}

// Messages that are no request the amp knows are ignored and counted; the
// restart request names its mode.
TEST_F(AmpTest, RestartsAndIgnoresWhatItDoesNotKnow) {
    struct Row {
        const char* name;
        Bytes msg;
        int action;
        int mode;
    };
    Bytes cmd1 = bytes_of(amp_request_cmd1(nullptr));
    Bytes cmd1_long = cmd1;
    cmd1_long.insert(cmd1_long.end() - 1, 0x05);
    Bytes foreign = cmd1;
    foreign[2] ^= 1;  // another maker's identifier
    Bytes unknown = bytes_of(amp_message_build(50, -1, -1, -1, 0, 0, nullptr));
    Bytes bad_number = bytes_of(amp_message_build(2, 126, -1, -1, 0, 0, nullptr));
    Bytes bad_name = bytes_of(amp_request_set_name(3, "Hello", nullptr));
    bad_name[10] = 0x09;
    const Row rows[] = {
        {"update", bytes_of(amp_request_restart_update(nullptr)), VAMP_RESTART, 1},
        {"mode 0", bytes_of(amp_request_restart_mode0(nullptr)), VAMP_RESTART, 0},
        {"mode 8", bytes_of(amp_request_restart_mode8(nullptr)), VAMP_RESTART, 8},
        {"mode 2", bytes_of(amp_request_restart(2, nullptr)), VAMP_IGNORE, 0},
        {"cmd1 with a byte too many", cmd1_long, VAMP_IGNORE, 0},
        {"another maker", foreign, VAMP_IGNORE, 0},
        {"unknown command", unknown, VAMP_IGNORE, 0},
        {"number 126", bad_number, VAMP_IGNORE, 0},
        {"name with a tab", bad_name, VAMP_IGNORE, 0},
        {"identity for device 0", {0xF0, 0x7E, 0x00, 0x06, 0x01, 0xF7}, VAMP_IGNORE, 0},
    };
    uint64_t ignored = 0;
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        VampOutcome o = ask(amp, r.msg);
        EXPECT_EQ(o.action, r.action);
        if (r.action == VAMP_RESTART) {
            EXPECT_EQ(o.mode, r.mode);
        }
        if (r.action == VAMP_IGNORE) {
            EXPECT_EQ(o.reply_length, 0);
            EXPECT_EQ(amp->ignored, ++ignored);
        }
    }
    // The refused name did not change the stored one.
    VampOutcome o = ask(amp, bytes_of(amp_request_cmd2(3, -1, nullptr)));
    EXPECT_EQ(text_at(o, 9, 16), "Preset 003      ");
}

// Controller changes on channel 1 change the current parameters, and the
// amp's own controller changes report them.
TEST_F(AmpTest, ControllerChangesChangeParameters) {
    const uint8_t volume[] = {0xB0, 7, 55};
    const uint8_t other_channel[] = {0xB1, 7, 66};
    const uint8_t out_of_range[] = {0xB0, 10, 7};
    const uint8_t unmapped[] = {0xB0, 0, 1};
    const uint8_t signed91[] = {0xB0, 91, 0};
    EXPECT_TRUE(vamp_amp_handle_channel(amp, volume, 3));
    EXPECT_FALSE(vamp_amp_handle_channel(amp, other_channel, 3));
    EXPECT_FALSE(vamp_amp_handle_channel(amp, out_of_range, 3));
    EXPECT_FALSE(vamp_amp_handle_channel(amp, unmapped, 3));
    EXPECT_TRUE(vamp_amp_handle_channel(amp, signed91, 3));
    EXPECT_EQ(amp->cc_taken, 2u);
    EXPECT_EQ(amp->cc_refused, 3u);
    EXPECT_EQ(amp->params[91], -50);

    uint8_t burst[64];
    long n = vamp_amp_controller_burst(amp, burst, sizeof burst);
    ASSERT_GE(n, 6);
    ASSERT_EQ(n % 3, 0);
    Bytes got(burst, burst + n);
    const Bytes want_volume = {0xB0, 7, 55};
    const Bytes want_91 = {0xB0, 91, 0};
    bool saw_volume = false, saw_91 = false;
    for (long i = 0; i < n; i += 3) {
        Bytes one(burst + i, burst + i + 3);
        saw_volume |= one == want_volume;
        saw_91 |= one == want_91;
    }
    EXPECT_TRUE(saw_volume);
    EXPECT_TRUE(saw_91);
    EXPECT_EQ(vamp_amp_controller_burst(amp, burst, 5), 3);  // only whole messages
}

struct Cut {
    int sysex;
    int channel;
};

Cut feed_all(VampStream* s, const Bytes& in) {
    Cut c = {0, 0};
    for (uint8_t b : in) {
        int k = vamp_stream_feed(s, b);
        c.sysex += k == VAMP_MSG_SYSEX;
        c.channel += k == VAMP_MSG_CHANNEL;
    }
    vamp_stream_close(s);
    return c;
}

// How streams are cut into messages, and which faults count as framing
// errors, in both modes.
TEST(VampStream, CutsMessagesAndCountsFramingErrors) {
    struct Row {
        const char* name;
        bool strict;
        Bytes in;
        int sysex, channel;
        uint64_t status_in, unterminated, outside;
    };
    const Row rows[] = {
        {"two messages", true, {0xF0, 1, 2, 0xF7, 0xF0, 0xF7}, 2, 0, 0, 0, 0},
        {"F0 inside a message", true, {0xF0, 1, 0xF0, 2, 0xF7}, 1, 0, 1, 0, 0},
        {"never ended", true, {0xF0, 1, 2}, 0, 0, 0, 1, 0},
        {"real-time byte inside (update)", true, {0xF0, 1, 0xF8, 2, 0xF7, 0xF0, 0xF7}, 1, 0, 1, 0, 0},
        {"controller change between (update)", true, {0xF0, 0xF7, 0xB0, 7, 1, 0xF0, 0xF7}, 2, 0, 0, 0, 1},
        {"stray bytes before", true, {5, 6, 0xF7, 0xF0, 0xF7}, 1, 0, 0, 0, 1},
        {"two faults apart", true, {0xF0, 0x90, 0xF0, 0xF7, 3, 0xF0, 1}, 1, 0, 1, 1, 1},
        {"real-time byte inside (normal)", false, {0xF0, 1, 0xF8, 2, 0xF7}, 1, 0, 0, 0, 0},
        {"running status", false, {0xB0, 7, 1, 10, 2, 0xC0, 5}, 0, 3, 0, 0, 0},
        {"status breaks a SysEx (normal)", false, {0xF0, 1, 0xB0, 7, 1}, 0, 1, 1, 0, 0},
        {"system common skipped", false, {0xF2, 1, 2, 0xB0, 7, 1}, 0, 1, 0, 0, 0},
        {"data with no status", false, {1, 2, 3, 0xF0, 0xF7}, 1, 0, 0, 0, 0},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        VampStream s;
        vamp_stream_init(&s, r.strict);
        Cut c = feed_all(&s, r.in);
        EXPECT_EQ(c.sysex, r.sysex);
        EXPECT_EQ(c.channel, r.channel);
        EXPECT_EQ(s.status_in_message, r.status_in);
        EXPECT_EQ(s.unterminated, r.unterminated);
        EXPECT_EQ(s.outside_message, r.outside);
    }
}

// A message longer than what is kept is still counted whole.
TEST(VampStream, LongMessagesKeepTheirLength) {
    VampStream s;
    vamp_stream_init(&s, false);
    Bytes in(5000, 0x11);
    in.front() = 0xF0;
    in.back() = 0xF7;
    EXPECT_EQ(feed_all(&s, in).sysex, 1);
    EXPECT_EQ(s.length, 5000);
    EXPECT_EQ(s.kept, VAMP_STREAM_KEEP);
}

std::string sha256_hex(const Bytes& b) {
    unsigned char md[32];
    unsigned int n = 0;
    EVP_Digest(b.data(), b.size(), md, &n, EVP_sha256(), nullptr);
    std::string s;
    char h[3];
    for (unsigned i = 0; i < n; i++) {
        std::snprintf(h, sizeof h, "%02x", md[i]);
        s += h;
    }
    return s;
}

// The digest covers every byte taken in update mode, across the internal
// chunking, and the counts follow the framing.
TEST(VampUpdate, DigestAndCountsMatchWhatArrived) {
    Bytes in;
    for (int m = 0; m < 40; m++) {  // about 10 kB, several hash chunks
        in.push_back(0xF0);
        for (int i = 0; i < 250; i++) in.push_back(uint8_t((m * 7 + i) & 127));
        in.push_back(0xF7);
    }
    VampUpdate u;
    ASSERT_TRUE(vamp_update_begin(&u));
    uint64_t t = 1000;
    for (uint8_t b : in) vamp_update_feed(&u, b, t++);
    vamp_update_finish(&u);
    EXPECT_EQ(u.messages, 40u);
    EXPECT_EQ(u.bytes, in.size());
    EXPECT_EQ(u.first_us, 1000u);
    EXPECT_EQ(u.last_us, 1000u + in.size() - 1);
    EXPECT_EQ(std::string(u.sha256), sha256_hex(in));
    EXPECT_EQ(vamp_stream_errors(&u.stream), 0u);
    vamp_update_free(&u);
    vamp_update_free(&u);

    // One byte lost in the middle: another digest, and a framing error where
    // the lost byte was an F7.
    ASSERT_TRUE(vamp_update_begin(&u));
    // Without the first message's F7 (built, not erased: GCC 12 at -O3 warns
    // falsely inside vector::erase).
    Bytes cut(in.begin(), in.begin() + 251);
    cut.insert(cut.end(), in.begin() + 252, in.end());
    for (uint8_t b : cut) vamp_update_feed(&u, b, 0);
    vamp_update_finish(&u);
    EXPECT_EQ(u.messages, 39u);
    EXPECT_EQ(u.stream.status_in_message, 1u);
    EXPECT_NE(std::string(u.sha256), sha256_hex(in));
    EXPECT_EQ(std::string(u.sha256), sha256_hex(cut));
    vamp_update_free(&u);
}

// The receive model: a buffer drained at a fixed rate; what does not fit is
// an overrun. Unlimited takes everything.
TEST(VampRxModel, CountsWhatDoesNotFit) {
    struct Arrival {
        uint64_t t_us;
        long n;
        long taken;
    };
    struct Row {
        const char* name;
        double rate;
        long buffer;
        std::vector<Arrival> arrivals;
        uint64_t overruns;
    };
    const Row rows[] = {
        {"unlimited", 0, 0, {{0, 100000, 100000}, {1, 5, 5}}, 0},
        {"burst larger than the buffer", 3125, 256, {{0, 300, 256}}, 44},
        {"drained in time", 3125, 256, {{0, 256, 256}, {81920, 256, 256}}, 0},
        {"half drained", 3125, 256, {{0, 256, 256}, {40960, 256, 128}}, 128},
        {"clock going back drains nothing", 1000, 10, {{5000, 10, 10}, {1000, 4, 0}}, 4},
        {"DIN rate over one second", 3125, 100, {{0, 100, 100}, {1000000, 3200, 100}}, 3100},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        VampRxModel m;
        vamp_rx_model_init(&m, r.rate, r.buffer);
        for (const Arrival& a : r.arrivals) EXPECT_EQ(vamp_rx_model_accept(&m, a.t_us, a.n), a.taken);
        EXPECT_EQ(m.overruns, r.overruns);
    }
}

// The report carries the fields a reader looks for, and refuses to be cut.
TEST(VampReport, FormatsEveryField) {
    VampReport r;
    std::memset(&r, 0, sizeof r);
    r.state = "normal";
    r.result = "updated";
    std::memcpy(r.version_before, "A100", 5);
    std::memcpy(r.version_after, "A1\"1", 5);
    std::memcpy(r.version_now, "A101", 5);
    r.messages = 12;
    r.bytes = 3456;
    std::memset(r.sha256, 'a', 64);
    r.status_in_message = 1;
    r.unterminated = 2;
    r.overruns = 7;
    r.first_byte_s = 1.5;
    r.last_byte_s = 3.25;
    char buf[4096];
    long n = vamp_report_format(&r, buf, sizeof buf);
    ASSERT_GT(n, 0);
    std::string s(buf, size_t(n));
    for (const char* want : {"\"result\": \"updated\"", "\"version_before\": \"A100\"",
                             "\"version_after\": \"A1\\\"1\"", "\"update_messages\": 12",
                             "\"update_bytes\": 3456", "\"framing_errors\": 3", "\"overruns\": 7",
                             "\"first_byte\": \"1970-01-01T00:00:01.500Z\"", "\"update_seconds\": 1.750"})
        EXPECT_NE(s.find(want), std::string::npos) << want;
    EXPECT_EQ(vamp_report_format(&r, buf, 100), -1);
    r.first_byte_s = 0;
    n = vamp_report_format(&r, buf, sizeof buf);
    EXPECT_NE(std::string(buf).find("\"first_byte\": null"), std::string::npos);
}

// Bad option values are refused with a reason, never taken half.
TEST(VampOptions, RefusesBadValues) {
    const std::vector<std::vector<const char*>> bad = {
        {"--revision", "A10"}, {"--new-revision", "A\x01" "00"}, {"--restart-ms", "-1"},
        {"--reprogram-ms", "8s"}, {"--buffer", "0"}, {"--name", "a:b"}, {"--frobnicate"}, {"stray"},
    };
    for (const auto& args : bad) {
        std::vector<char*> argv = {const_cast<char*>("virtual-amp")};
        for (const char* a : args) argv.push_back(const_cast<char*>(a));
        argv.push_back(nullptr);
        VampOptions o;
        char err[200] = "";
        EXPECT_FALSE(vamp_parse_options(&o, int(argv.size()) - 1, argv.data(), err, sizeof err)) << args[0];
        EXPECT_NE(err[0], 0) << args[0];
    }
}

// The demo update file is a valid update: complete SysEx messages, nothing
// else, of about the size asked for.
TEST(VampDemo, WritesWellFormedSysEx) {
    char path[] = "/tmp/vamp-demo-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    char err[200];
    ASSERT_TRUE(vamp_amp_write_demo(path, 100000, err, sizeof err)) << err;
    FILE* f = std::fopen(path, "rb");
    ASSERT_NE(f, nullptr);
    Bytes data(200000);
    data.resize(std::fread(data.data(), 1, data.size(), f));
    std::fclose(f);
    unlink(path);
    EXPECT_GT(data.size(), 99000u);
    EXPECT_LE(data.size(), 100000u);
    VampStream s;
    vamp_stream_init(&s, true);
    Cut c = feed_all(&s, data);
    EXPECT_GT(c.sysex, 300);
    EXPECT_EQ(vamp_stream_errors(&s), 0u);
}

}  // namespace

namespace {

// The ring between JACK's process thread and the main thread: records of
// varying length written by one thread arrive whole and in order at the
// other, through many wrap-arounds of a small ring.
TEST(VampRing, CarriesRecordsBetweenTwoThreadsInOrder) {
    VampRing r;
    ASSERT_TRUE(vamp_ring_init(&r, 256));
    constexpr uint32_t kCount = 100000;
    std::thread producer([&r] {
        uint8_t body[13];
        for (uint32_t i = 0; i < kCount;) {
            uint32_t len = 1 + i % 13;
            for (uint32_t k = 0; k < len; k++) body[k] = uint8_t(i + k);
            if (vamp_ring_write2(&r, &len, sizeof len, body, len))
                i++;
            else
                std::this_thread::yield();
        }
    });
    uint32_t bad = 0;
    for (uint32_t got = 0; got < kCount;) {
        uint32_t len = 0;
        if (!vamp_ring_read(&r, &len, sizeof len)) {
            std::this_thread::yield();
            continue;
        }
        uint8_t body[16];
        bool whole = len == 1 + got % 13 && vamp_ring_read(&r, body, len);
        for (uint32_t k = 0; whole && k < len; k++) whole = body[k] == uint8_t(got + k);
        bad += !whole;
        got++;
    }
    producer.join();
    EXPECT_EQ(bad, 0u);
    EXPECT_EQ(vamp_ring_used(&r), 0u);
    vamp_ring_free(&r);
}

}  // namespace
