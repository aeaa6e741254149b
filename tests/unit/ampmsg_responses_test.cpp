#include "ampmsg/responses.h"

#include "ampmsg/message.h"
#include "ampmsg/packing.h"

#include <gtest/gtest.h>

#include "midi/fault.h"

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// An amp SysEx message: header, command, data bytes, F7.
Bytes amp_msg(uint8_t command, const Bytes& data) {
    Bytes m(AMP_SYSEX_HEADER, AMP_SYSEX_HEADER + AMP_HEADER_LENGTH);
    m.push_back(command);
    m.insert(m.end(), data.begin(), data.end());
    m.push_back(0xF7);
    return m;
}

// An amp message of exactly `length` bytes whose data bytes count upwards.
Bytes amp_msg_of_length(uint8_t command, int length) {
    Bytes data;
    for (int i = 0; i < length - 8; ++i) data.push_back(uint8_t((i * 7 + 1) & 0x7F));
    return amp_msg(command, data);
}

Bytes identity_reply(uint8_t r0, uint8_t r1, uint8_t r2, uint8_t r3) {
    Bytes m(AMP_IDENTITY_REPLY_PATTERN, AMP_IDENTITY_REPLY_PATTERN + AMP_IDENTITY_REPLY_LENGTH);
    m[12] = r0;
    m[13] = r1;
    m[14] = r2;
    m[15] = r3;
    return m;
}

Bytes text_bytes(const char* s, size_t n) {
    Bytes b(s, s + std::strlen(s));
    b.resize(n, ' ');
    return b;
}

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// Decodes from a heap copy of exactly the message's size, so that AddressSanitizer
// catches any read past its end, and checks that the copy was not written.
struct Decoded {
    AmpResponse* record;
    int code;
};

Decoded decode(const Bytes& m, int32_t length = -1) {
    if (length < 0) length = int32_t(m.size());
    std::unique_ptr<uint8_t[]> copy(new uint8_t[m.size() ? m.size() : 1]);
    std::memcpy(copy.get(), m.data(), m.size());
    int err = -99;
    AmpResponse* r = amp_response_decode(copy.get(), length, &err);
    EXPECT_EQ(std::memcmp(copy.get(), m.data(), m.size()), 0) << "caller's buffer was written";
    return {r, err};
}

template <typename T>
const T& payload_of(AmpResponse* r) {
    return *static_cast<const T*>(amp_response_payload(r, nullptr));
}

// ---- Known answers ------------------------------------------------------

struct Vector {
    const char* what;
    Bytes message;
    int code;
    int type;  // 0: no record expected
    std::function<void(AmpResponse*)> check;
};

std::vector<Vector> known_answers() {
    // Command 20, 87 bytes: data byte k is message byte k + 7.
    Bytes cmd20_data(79, 0);
    cmd20_data[0] = 0x05;  // byte 7: bits 0 and 2
    cmd20_data[1] = 0x04;  // byte 8: low bits 4, kind 5
    cmd20_data[2] = 0x02;  // byte 9: bit 1
    cmd20_data[3] = 0x55;  // byte 10
    for (int g = 0; g < 4; ++g) {
        cmd20_data[4 + 9 * g] = uint8_t(0x10 * (g + 1) + g + 3);  // high g + 1, low g + 3
        for (int k = 0; k < 8; ++k) cmd20_data[5 + 9 * g + k] = uint8_t('A' + g * 8 + k);
    }
    cmd20_data[40] = 0x52;  // byte 47: bits 1, 4 and 6, so kind 3
    for (int i = 0; i < 5; ++i) cmd20_data[41 + i] = uint8_t(0x30 + i);  // bytes 48..52
    cmd20_data[46] = 0x15;                                              // byte 53: bits 0, 2, 4
    for (int k = 0; k < 16; ++k) cmd20_data[47 + k] = uint8_t('a' + k);  // bytes 54..69
    for (int k = 0; k < 16; ++k) cmd20_data[63 + k] = uint8_t('0' + k);  // bytes 70..85

    Bytes cmd22_data = {0x11, 0x22};
    Bytes t4 = text_bytes("ABCD", 4), t8 = text_bytes("bank one", 8);
    cmd22_data.insert(cmd22_data.end(), t4.begin(), t4.end());
    cmd22_data.insert(cmd22_data.end(), t8.begin(), t8.end());
    for (int j = 0; j < 6; ++j) {
        std::string s = "text number " + std::to_string(j);
        Bytes t = text_bytes(s.c_str(), 16);
        cmd22_data.insert(cmd22_data.end(), t.begin(), t.end());
    }

    auto cc = [](int c, int v) {
        return [c, v](AmpResponse* r) {
            EXPECT_EQ(payload_of<ControllerChangeReply>(r).controller, c);
            EXPECT_EQ(payload_of<ControllerChangeReply>(r).value, v);
        };
    };
    auto identity = [](int release, const char* version) {
        return [release, version](AmpResponse* r) {
            EXPECT_EQ(payload_of<IdentityReply>(r).release, release);
            EXPECT_EQ(std::memcmp(payload_of<IdentityReply>(r).version, version, 5), 0);
        };
    };
    auto status = [](int s) {
        return [s](AmpResponse* r) { EXPECT_EQ(payload_of<Cmd0Reply>(r).status, s); };
    };
    auto state = [](int s) {
        return [s](AmpResponse* r) { EXPECT_EQ(payload_of<Cmd115Reply>(r).state, s); };
    };
    auto none = std::function<void(AmpResponse*)>();

    std::vector<Vector> v = {
        // Controller changes.
        {"cc 10 = 6", {0xB0, 0x0A, 0x06}, 0, AMP_RSP_CONTROLLER, cc(10, 6)},
        {"cc 55 = -64", {0xB0, 0x37, 0x00}, 0, AMP_RSP_CONTROLLER, cc(55, -64)},
        {"cc 91 = 77", {0xB0, 0x5B, 0x7F}, 0, AMP_RSP_CONTROLLER, cc(91, 77)},
        {"cc on channel 4", {0xB3, 0x0A, 0x06}, 0, 0, none},
        {"cc of two bytes", {0xB0, 0x0A}, 0, 0, none},
        {"cc of one byte", {0xB0}, 0, 0, none},
        {"cc of four bytes", {0xB0, 0x0A, 0x06, 0x00}, 0, 0, none},
        {"cc value with bit 7", {0xB0, 0x0A, 0x86}, 0, 0, none},
        {"cc unmapped", {0xB0, 0x00, 0x00}, 0, 0, none},
        {"cc out of range", {0xB0, 0x0A, 0x07}, 0, 0, none},
        {"cc without decoder", {0xB0, 0x08, 0x00}, 0, 0, none},
        // Identity replies.
        {"identity A102", identity_reply('A', '1', '0', '2'), 0, AMP_RSP_IDENTITY,
         identity(1, "1.02")},
        {"identity D", identity_reply('D', '2', '3', '4'), 0, AMP_RSP_IDENTITY,
         identity(2, "2.34")},
        {"identity T", identity_reply('T', '0', '0', '1'), 0, AMP_RSP_IDENTITY,
         identity(3, "0.01")},
        {"identity B", identity_reply('B', '9', '9', '9'), 0, AMP_RSP_IDENTITY,
         identity(4, "9.99")},
        {"identity X", identity_reply('X', '1', '0', '2'), 0, AMP_RSP_IDENTITY,
         identity(0, "1.02")},
        {"identity raw revision", identity_reply(0xFF, 0x00, 0x80, 0x7F), 0, AMP_RSP_IDENTITY,
         identity(0, "\0.\x80\x7F")},
        {"identity device 00",
         [] { Bytes m = identity_reply('A', '1', '0', '2'); m[2] = 0; return m; }(), 16, 0, none},
        {"identity of 18 bytes",
         [] { Bytes m = identity_reply('A', '1', '0', '2'); m.insert(m.end() - 1, 0); return m; }(),
         16, 0, none},
        {"identity of 16 bytes",
         [] { Bytes m = identity_reply('A', '1', '0', '2'); m.erase(m.end() - 2); return m; }(),
         16, 0, none},
        // Framing and unknown messages.
        {"data byte 80", amp_msg(0, {0x80}), 16, 0, none},
        {"command without parser", amp_msg(1, {0x01}), 16, 0, none},
        {"command 127", amp_msg(127, {}), 16, 0, none},
        {"no F7", [] { Bytes m = amp_msg(0, {1}); m.back() = 0x7E; return m; }(), 16, 0, none},
        {"other maker", [] { Bytes m = amp_msg(0, {1}); m[2] ^= 1; return m; }(), 16, 0, none},
        {"other family", [] { Bytes m = amp_msg(0, {1}); m[4] = 0x31; return m; }(), 16, 0, none},
        {"header only", Bytes(AMP_SYSEX_HEADER, AMP_SYSEX_HEADER + 6), 16, 0, none},
        {"one F0", {0xF0}, 16, 0, none},
        {"note on", {0x90, 0x40, 0x7F}, 16, 0, none},
        // Command 0.
        {"cmd0 0", amp_msg(0, {0}), 0, AMP_RSP_CMD0, status(0)},
        {"cmd0 1", amp_msg(0, {1}), 0, AMP_RSP_CMD0, status(3)},
        {"cmd0 2", amp_msg(0, {2}), 0, AMP_RSP_CMD0, status(1)},
        {"cmd0 3", amp_msg(0, {3}), 0, AMP_RSP_CMD0, status(2)},
        {"cmd0 4", amp_msg(0, {4}), 0, AMP_RSP_CMD0, status(4)},
        {"cmd0 127", amp_msg(0, {127}), 0, AMP_RSP_CMD0, status(4)},
        {"cmd0 two data bytes", amp_msg(0, {1, 0}), 0, 0, none},
        {"cmd0 no data", amp_msg(0, {}), 0, 0, none},
        // Command 115.
        {"cmd115 0", amp_msg(115, {0}), 0, AMP_RSP_CMD115, state(0)},
        {"cmd115 1", amp_msg(115, {1}), 0, AMP_RSP_CMD115, state(2)},
        {"cmd115 2", amp_msg(115, {2}), 0, AMP_RSP_CMD115, state(3)},
        {"cmd115 3", amp_msg(115, {3}), 0, AMP_RSP_CMD115, state(4)},
        {"cmd115 4", amp_msg(115, {4}), 0, AMP_RSP_CMD115, state(1)},
        {"cmd115 7", amp_msg(115, {7}), 0, AMP_RSP_CMD115, state(1)},
        {"cmd115 11", amp_msg(115, {11}), 0, AMP_RSP_CMD115, state(1)},
        {"cmd115 12", amp_msg(115, {12}), 0, AMP_RSP_CMD115, state(5)},
        {"cmd115 13", amp_msg(115, {13}), 0, AMP_RSP_CMD115, state(1)},
        {"cmd115 14", amp_msg(115, {14}), 0, AMP_RSP_CMD115, state(4)},
        {"cmd115 127", amp_msg(115, {127}), 0, AMP_RSP_CMD115, state(4)},
        // Command 19.
        {"cmd19 byte 9 zero", amp_msg(19, {5, 6, 0}), 0, AMP_RSP_CMD19_ZERO,
         [](AmpResponse* r) {
             EXPECT_EQ(payload_of<Cmd19Reply>(r).byte7, 5);
             EXPECT_EQ(payload_of<Cmd19Reply>(r).byte8, 6);
         }},
        {"cmd19 byte 9 one", amp_msg(19, {5, 6, 1}), 0, AMP_RSP_CMD19_NONZERO,
         [](AmpResponse* r) {
             EXPECT_EQ(payload_of<Cmd19Reply>(r).byte7, 5);
             EXPECT_EQ(payload_of<Cmd19Reply>(r).byte8, 6);
         }},
        {"cmd19 short", amp_msg(19, {5, 6}), 0, 0, none},
        // Command 18 and 23: bytes and one text.
        {"cmd18", amp_msg(18, cat({{3, 4}, text_bytes("Clean Lead", 16)})), 0, AMP_RSP_CMD18,
         [](AmpResponse* r) {
             const Cmd18Reply& p = payload_of<Cmd18Reply>(r);
             EXPECT_EQ(p.byte7, 3);
             EXPECT_EQ(p.byte8, 4);
             EXPECT_STREQ(p.text, "Clean Lead      ");
         }},
        {"cmd18 text with a zero", amp_msg(18, cat({{3, 4}, Bytes{'a', 0, 'b'}, Bytes(13, 'c')})),
         0, AMP_RSP_CMD18,
         [](AmpResponse* r) {
             const Cmd18Reply& p = payload_of<Cmd18Reply>(r);
             EXPECT_STREQ(p.text, "a");  // ends early for a reader
             EXPECT_EQ(p.text[2], 'b');  // but was copied whole
             EXPECT_EQ(p.text[15], 'c');
             EXPECT_EQ(p.text[16], 0);
         }},
        {"cmd18 long", amp_msg(18, cat({{3, 4}, text_bytes("x", 17)})), 0, 0, none},
        {"cmd23", amp_msg(23, cat({{1, 2, 3}, text_bytes("Part name here!!", 16)})), 0,
         AMP_RSP_CMD23,
         [](AmpResponse* r) {
             const Cmd23Reply& p = payload_of<Cmd23Reply>(r);
             EXPECT_EQ(p.byte7, 1);
             EXPECT_EQ(p.byte8, 2);
             EXPECT_EQ(p.byte9, 3);
             EXPECT_STREQ(p.text, "Part name here!!");
         }},
        {"cmd23 short", amp_msg(23, cat({{1, 2, 3}, text_bytes("x", 15)})), 0, 0, none},
        // Command 22: texts one after another.
        {"cmd22", amp_msg(22, cmd22_data), 0, AMP_RSP_CMD22,
         [](AmpResponse* r) {
             const Cmd22Reply& p = payload_of<Cmd22Reply>(r);
             EXPECT_EQ(p.byte7, 0x11);
             EXPECT_EQ(p.byte8, 0x22);
             EXPECT_STREQ(p.text4, "ABCD");
             EXPECT_STREQ(p.text8, "bank one");
             for (int j = 0; j < 6; ++j)
                 EXPECT_EQ(std::string(p.texts[j]), "text number " + std::to_string(j) + "   ");
         }},
        {"cmd22 short", amp_msg_of_length(22, 117), 0, 0, none},
        // Command 20: flags, kinds, optional bytes, groups and texts.
        {"cmd20", amp_msg(20, cmd20_data), 0, AMP_RSP_CMD20,
         [](AmpResponse* r) {
             const Cmd20Reply& p = payload_of<Cmd20Reply>(r);
             EXPECT_EQ(p.byte8_low, 4);
             EXPECT_EQ(p.byte7_bit0, 1);
             EXPECT_EQ(p.byte8_kind, 5);
             EXPECT_EQ(p.byte9_bit0, 0);
             EXPECT_EQ(p.byte10, 0x55);
             EXPECT_EQ(p.byte47_kind, 3);
             EXPECT_EQ(p.byte47_bit4, 1);
             EXPECT_EQ(p.byte7_bit1, 0);
             EXPECT_EQ(p.byte47_bit5, 0);
             EXPECT_EQ(p.byte9_bit1, 1);
             EXPECT_EQ(p.byte7_bit2, 1);
             EXPECT_EQ(p.byte47_bit6, 1);
             const uint8_t optional[5] = {0x30, 0xFF, 0x32, 0xFF, 0x34};
             EXPECT_EQ(std::memcmp(p.optional, optional, 5), 0);
             for (int g = 0; g < 4; ++g) {
                 EXPECT_EQ(p.groups[g].high, g + 1);
                 EXPECT_EQ(p.groups[g].low, g + 3);
                 std::string name;
                 for (int k = 0; k < 8; ++k) name += char('A' + g * 8 + k);
                 EXPECT_EQ(std::string(p.groups[g].name), name);
             }
             EXPECT_STREQ(p.text1, "abcdefghijklmnop");
             EXPECT_STREQ(p.text2, "0123456789:;<=>?");
         }},
        {"cmd20 of 86 bytes", amp_msg_of_length(20, 86), 0, 0, none},
        {"cmd20 of 88 bytes", amp_msg_of_length(20, 88), 0, 0, none},
        // Command 11: (controller, value) pairs over a block of FF.
        {"cmd11 one pair", amp_msg(11, {1, 2, 0, 7, 100}), 0, AMP_RSP_CMD11,
         [](AmpResponse* r) {
             const Cmd11Reply& p = payload_of<Cmd11Reply>(r);
             EXPECT_EQ(p.byte7, 1);
             EXPECT_EQ(p.byte8, 2);
             EXPECT_EQ(p.byte9, 0);
             for (int i = 0; i < 128; ++i) EXPECT_EQ(p.block[i], i == 7 ? 100 : 0xFF) << i;
         }},
        {"cmd11 odd byte ignored", amp_msg(11, {1, 2, 0, 7, 100, 9}), 0, AMP_RSP_CMD11,
         [](AmpResponse* r) {
             const Cmd11Reply& p = payload_of<Cmd11Reply>(r);
             EXPECT_EQ(p.block[7], 100);
             EXPECT_EQ(p.block[9], 0xFF);
         }},
        {"cmd11 later pair wins", amp_msg(11, {1, 2, 3, 5, 1, 127, 0, 5, 2}), 0, AMP_RSP_CMD11,
         [](AmpResponse* r) {
             const Cmd11Reply& p = payload_of<Cmd11Reply>(r);
             EXPECT_EQ(p.byte9, 3);
             EXPECT_EQ(p.block[5], 2);
             EXPECT_EQ(p.block[127], 0);
             EXPECT_EQ(p.block[0], 0xFF);
         }},
        {"cmd11 of 12 bytes", amp_msg(11, {1, 2, 0, 7}), 0, 0, none},
        {"cmd11 of 268 bytes", amp_msg_of_length(11, 268), 0, 0, none},
        // Command 118: nibble words.
        {"cmd118 one word", amp_msg(118, {0x01, 0x72, 0x03, 0x14}), 0, AMP_RSP_CMD118,
         [](AmpResponse* r) {
             const Cmd118Reply& p = payload_of<Cmd118Reply>(r);
             EXPECT_EQ(p.count, 1);
             EXPECT_EQ(p.values[0], 0x1234);
             for (int i = 1; i < 128; ++i) EXPECT_EQ(p.values[i], 0) << i;
         }},
        {"cmd118 three spare bytes", amp_msg(118, {0x0F, 0x0F, 0x0F, 0x0F, 1, 2, 3}), 0,
         AMP_RSP_CMD118,
         [](AmpResponse* r) {
             EXPECT_EQ(payload_of<Cmd118Reply>(r).count, 1);
             EXPECT_EQ(payload_of<Cmd118Reply>(r).values[0], 0xFFFF);
             EXPECT_EQ(payload_of<Cmd118Reply>(r).values[1], 0);
         }},
        {"cmd118 of 520 bytes", amp_msg_of_length(118, 520), 0, AMP_RSP_CMD118,
         [](AmpResponse* r) {
             const Cmd118Reply& p = payload_of<Cmd118Reply>(r);
             EXPECT_EQ(p.count, 128);
             // Data byte i is (7i + 1) & 7F; word 127 is made of data bytes 508..511.
             int i = 508, w = 0;
             for (int k = 0; k < 4; ++k) w = (w << 4) | (((i + k) * 7 + 1) & 0x0F);
             EXPECT_EQ(p.values[127], w);
         }},
        {"cmd118 of 11 bytes", amp_msg(118, {1, 2, 3}), 0, 0, none},
        {"cmd118 of 522 bytes", amp_msg_of_length(118, 522), 0, 0, none},
        // Command 34: the packed word table.
        {"cmd34 one word", amp_msg(34, {0, 0, 0x00, 0x34, 0x12, 0, 0, 0, 0, 0}), 0,
         AMP_RSP_WORD_TABLE,
         [](AmpResponse* r) {
             EXPECT_EQ(payload_of<WordTable>(r).count, 1);
             EXPECT_EQ(payload_of<WordTable>(r).words[0], 0x1234);
         }},
        {"cmd34 high bits", amp_msg(34, {0, 0, 0x60, 0x7F, 0x7F, 0, 0, 0, 0, 0}), 0,
         AMP_RSP_WORD_TABLE,
         [](AmpResponse* r) { EXPECT_EQ(payload_of<WordTable>(r).words[0], 0xFFFF); }},
        {"cmd34 empty packed part", amp_msg(34, {0, 0}), 16, 0, none},
        {"cmd34 part group", amp_msg(34, {0, 0, 0, 1, 2, 3, 4, 5, 6}), 16, 0, none},
        {"cmd34 of 9 bytes", amp_msg(34, {0}), 16, 0, none},
        {"cmd34 count 4 in one group", amp_msg(34, {3, 0, 0, 1, 2, 3, 4, 5, 6, 7}), 16, 0, none},
        {"cmd34 count 218", [] { Bytes m = amp_msg_of_length(34, 506); m[7] = 89; m[8] = 1;
                                 return m; }(), 16, 0, none},
    };
    return v;
}

TEST(ResponseDecode, KnownAnswers) {
    for (const Vector& t : known_answers()) {
        SCOPED_TRACE(t.what);
        Decoded d = decode(t.message);
        EXPECT_EQ(d.code, t.code);
        if (t.type == 0) {
            EXPECT_EQ(d.record, nullptr);
            amp_record_free(d.record, nullptr);
            continue;
        }
        ASSERT_NE(d.record, nullptr);
        int err = -1;
        EXPECT_EQ(amp_response_type(d.record, &err), t.type);
        EXPECT_EQ(err, 0);
        if (t.check) t.check(d.record);
        amp_record_free(d.record, &err);
        EXPECT_EQ(err, 0);
    }
}

// Every form of bytes 8 and 47 of a command 20 reply. No byte 8 gives kind 4:
// the amp's byte 8 value 4 reads as kind 5, and everything past 4 as 0.
TEST(ResponseDecode, Cmd20KindsForEveryByte) {
    const int byte8_kind[] = {0, 1, 2, 3, 5};
    const int byte47_kind[] = {1, 2, 3, 17, 17, 17, 17, 17};
    for (int b = 0; b < 128; ++b) {
        Bytes m = amp_msg_of_length(20, 87);
        m[8] = uint8_t(b);
        m[47] = uint8_t(b);
        Decoded d = decode(m);
        ASSERT_NE(d.record, nullptr) << b;
        const Cmd20Reply& p = payload_of<Cmd20Reply>(d.record);
        EXPECT_EQ(p.byte8_kind, b < 5 ? byte8_kind[b] : 0) << b;
        EXPECT_NE(p.byte8_kind, 4) << b;
        EXPECT_EQ(p.byte8_low, b & 7) << b;
        EXPECT_EQ(p.byte47_kind, byte47_kind[b & 7]) << b;
        EXPECT_EQ(p.byte47_bit4 + 2 * p.byte47_bit5 + 4 * p.byte47_bit6, (b >> 4) & 7) << b;
        amp_record_free(d.record, nullptr);
    }
}

TEST(ResponseDecode, NullMessageAndBadLength) {
    int err = -1;
    EXPECT_EQ(amp_response_decode(nullptr, 9, &err), nullptr);
    EXPECT_EQ(err, AMP_ERR_NULL);
    err = -1;
    EXPECT_EQ(amp_response_decode(nullptr, 0, &err), nullptr);
    EXPECT_EQ(err, AMP_ERR_NULL);  // the pointer is tested first
    const Bytes m = amp_msg(0, {1});
    for (int32_t length : {0, -1, INT32_MIN}) {
        err = -1;
        EXPECT_EQ(amp_response_decode(m.data(), length, &err), nullptr);
        EXPECT_EQ(err, AMP_ERR_REPLY_LENGTH);
    }
    // A good message with a null out-parameter still decodes.
    AmpResponse* r = amp_response_decode(m.data(), int32_t(m.size()), nullptr);
    EXPECT_NE(r, nullptr);
    amp_record_free(r, nullptr);
    EXPECT_EQ(amp_response_decode(nullptr, 9, nullptr), nullptr);
}

TEST(ResponseDecode, ShortLengthKeepsReadsInsideTheMessage) {
    // The same buffer handed over with a shorter length must be judged by that
    // length alone: a 9-byte command 0 reply cut to 8 loses its F7.
    const Bytes m = amp_msg(0, {1});
    for (int32_t length = 1; length < int32_t(m.size()); ++length) {
        Bytes cut(m.begin(), m.begin() + length);
        Decoded d = decode(cut);
        EXPECT_EQ(d.record, nullptr) << length;
        EXPECT_EQ(d.code, AMP_ERR_UNKNOWN_REPLY) << length;
    }
}

// Every command with a parser takes exactly its lengths: a record for each
// accepted length and none, with code 0, for every other.
TEST(ResponseDecode, EachParserAcceptsExactlyItsLengths) {
    struct Accepts {
        uint8_t command;
        int low, high;
    };
    const Accepts table[] = {{0, 9, 9},     {11, 13, 267},   {18, 26, 26},
                             {19, 11, 11},  {20, 87, 87},    {22, 118, 118},
                             {23, 27, 27},  {115, 9, 9},     {118, 12, 521}};
    for (const Accepts& a : table) {
        for (int length = 8; length <= 600; ++length) {
            Decoded d = decode(amp_msg_of_length(a.command, length));
            bool accepted = length >= a.low && length <= a.high;
            EXPECT_EQ(d.code, 0) << int(a.command) << " / " << length;
            EXPECT_EQ(d.record != nullptr, accepted) << int(a.command) << " / " << length;
            amp_record_free(d.record, nullptr);
        }
    }
    // Command 34: every length whose packed part is a whole number of groups
    // and holds the count's words; the count of amp_msg_of_length is 1 + 1.
    for (int length = 8; length <= 600; ++length) {
        Bytes m = amp_msg_of_length(34, length);
        if (length >= 9) m[7] = 1;
        if (length >= 10) m[8] = 0;
        Decoded d = decode(m);
        bool accepted = length >= 18 && (length - 10) % 8 == 0;
        EXPECT_EQ(d.code, accepted ? 0 : AMP_ERR_UNKNOWN_REPLY) << length;
        EXPECT_EQ(d.record != nullptr, accepted) << length;
        amp_record_free(d.record, nullptr);
    }
}

TEST(ResponseDecode, WordTableCountLimits) {
    // Count 217 in 62 groups: accepted; the same with count 218: refused.
    Bytes words;
    for (int i = 0; i < 217; ++i) {
        words.push_back(uint8_t(i * 3));
        words.push_back(uint8_t(0x80 | i));
    }
    Bytes packed(8 * ((words.size() + 6) / 7));
    packed.resize(pack_seven_bit(packed.data(), words.data(), uint32_t(words.size())));
    ASSERT_EQ(packed.size(), 62u * 8);
    Bytes m = amp_msg(34, cat({{88, 1}, packed}));
    ASSERT_EQ(m.size(), 506u);
    Decoded d = decode(m);
    ASSERT_NE(d.record, nullptr);
    EXPECT_EQ(d.code, 0);
    const WordTable& t = payload_of<WordTable>(d.record);
    EXPECT_EQ(t.count, 217);
    for (int i = 0; i < 217; ++i) EXPECT_EQ(t.words[i], uint16_t((0x80 | i) << 8 | uint8_t(i * 3)));
    amp_record_free(d.record, nullptr);

    m[7] = 89;
    d = decode(m);
    EXPECT_EQ(d.record, nullptr);
    EXPECT_EQ(d.code, AMP_ERR_UNKNOWN_REPLY);
    // The largest count the two bytes can carry is refused too.
    m[7] = 127;
    m[8] = 127;
    d = decode(m);
    EXPECT_EQ(d.record, nullptr);
    EXPECT_EQ(d.code, AMP_ERR_UNKNOWN_REPLY);
}

TEST(ResponseDecode, FramingAndIdentityChecks) {
    const Bytes good = amp_msg(0, {1});
    EXPECT_TRUE(amp_check_framing(good.data(), int32_t(good.size())));
    EXPECT_TRUE(amp_check_framing(amp_msg(5, {}).data(), 8));
    EXPECT_FALSE(amp_check_framing(nullptr, 9));
    EXPECT_FALSE(amp_check_framing(good.data(), 7));
    EXPECT_FALSE(amp_check_framing(good.data(), 0));
    EXPECT_FALSE(amp_check_framing(good.data(), -5));
    Bytes bad = good;
    bad[7] = 0xF7;  // an early F7 is a data byte with bit 7 set
    EXPECT_FALSE(amp_check_framing(bad.data(), int32_t(bad.size())));

    const Bytes id = identity_reply('A', '1', '0', '2');
    EXPECT_TRUE(amp_is_identity_reply(id.data(), 17));
    EXPECT_FALSE(amp_is_identity_reply(id.data(), 16));
    EXPECT_FALSE(amp_is_identity_reply(nullptr, 17));
    for (int i = 0; i < 17; ++i) {
        Bytes changed = id;
        changed[i] ^= 0x01;
        EXPECT_EQ(amp_is_identity_reply(changed.data(), 17), i >= 12 && i <= 15) << i;
    }
}

// ---- Memory exhaustion --------------------------------------------------

// The project's fault injector (midi/fault.h) refuses a chosen allocation
// and counts the blocks still held, so that leaks show as a count.
class ResponseMemory : public ::testing::Test {
  protected:
    void SetUp() override {
        live0_ = zp_fault_live;
        zp_fault_arm(0);
    }
    void TearDown() override { zp_fault_arm(0); }
    int live() const { return zp_fault_live - live0_; }
    int live0_ = 0;
};

TEST_F(ResponseMemory, EveryRefusedAllocationGivesCode14AndHoldsNothing) {
    int accepted = 0;
    for (const Vector& t : known_answers()) {
        if (t.type == 0) continue;
        SCOPED_TRACE(t.what);
        ++accepted;
        // Count the allocations a successful decode makes, then refuse each.
        zp_fault_arm(0);
        Decoded ok = decode(t.message);
        ASSERT_NE(ok.record, nullptr);
        amp_record_free(ok.record, nullptr);
        const int needed = zp_fault_calls;
        EXPECT_GE(needed, 1);
        EXPECT_EQ(live(), 0);
        for (int k = 0; k < needed; ++k) {
            zp_fault_arm(k + 1);
            Decoded d = decode(t.message);
            EXPECT_EQ(d.record, nullptr) << "refused allocation " << k;
            EXPECT_EQ(d.code, AMP_ERR_NO_MEMORY) << "refused allocation " << k;
            EXPECT_EQ(live(), 0) << "refused allocation " << k;
        }
    }
    EXPECT_GT(accepted, 20);
}

TEST_F(ResponseMemory, WordTableUsesAScratchBufferAndReleasesIt) {
    const Bytes m = amp_msg(34, {0, 0, 0x00, 0x34, 0x12, 0, 0, 0, 0, 0});
    Decoded d = decode(m);
    ASSERT_NE(d.record, nullptr);
    EXPECT_EQ(zp_fault_calls, 2);  // scratch and record
    EXPECT_EQ(live(), 1);         // only the record is still held
    amp_record_free(d.record, nullptr);
    EXPECT_EQ(live(), 0);

    // Too little data for the count: scratch released, code 16.
    zp_fault_arm(0);
    d = decode(amp_msg(34, {3, 0, 0, 1, 2, 3, 4, 5, 6, 7}));
    EXPECT_EQ(d.record, nullptr);
    EXPECT_EQ(d.code, AMP_ERR_UNKNOWN_REPLY);
    EXPECT_EQ(zp_fault_calls, 1);
    EXPECT_EQ(live(), 0);

    // An empty packed part is refused without any allocation.
    zp_fault_arm(0);
    d = decode(amp_msg(34, {0, 0}));
    EXPECT_EQ(d.code, AMP_ERR_UNKNOWN_REPLY);
    EXPECT_EQ(zp_fault_calls, 0);
}

}  // namespace

// ---- Round trips with the request builders ------------------------------

namespace {

Bytes message_bytes(AmpMessage* m) {
    const uint8_t* b = amp_message_bytes(m, nullptr);
    return Bytes(b, b + amp_message_length(m, nullptr));
}

// Request 34 and the command 34 reply share one layout, so the request's own
// bytes must decode to the table that was written.
TEST(ResponseRoundTrip, WordTableWrittenIsReadBack) {
    for (int32_t count : {1, 2, 3, 4, 6, 7, 8, 50, 99, 127, 128, 129, 216, 217}) {
        SCOPED_TRACE(count);
        WordTable table;
        std::memset(&table, 0, sizeof table);
        table.count = count;
        for (int32_t i = 0; i < count; ++i)
            table.words[i] = uint16_t(i == 0 ? 0xFFFF : i == 1 ? 0x8080 : (i * 40503u) ^ 0x5A5A);
        int err = -1;
        AmpMessage* request = amp_request_write_word_table(&table, &err);
        ASSERT_NE(request, nullptr);
        Decoded d = decode(message_bytes(request));
        amp_record_free(request, nullptr);
        ASSERT_NE(d.record, nullptr);
        EXPECT_EQ(d.code, 0);
        EXPECT_EQ(amp_response_type(d.record, nullptr), AMP_RSP_WORD_TABLE);
        const WordTable& got = payload_of<WordTable>(d.record);
        EXPECT_EQ(got.count, count);
        for (int32_t i = 0; i < count; ++i) EXPECT_EQ(got.words[i], table.words[i]) << i;
        amp_record_free(d.record, nullptr);
    }
}

// Request 11 and the command 11 reply share one layout too: the block sent
// comes back with every byte that held a value, and 255 everywhere else.
TEST(ResponseRoundTrip, BlockStoredIsReadBack) {
    PresetBlock blocks[4];
    preset_block_clear(blocks[0]);
    preset_block_set_byte(blocks[0], 7, 100);
    preset_block_clear(blocks[1]);
    preset_set_cc88_89(blocks[1], 1704);
    preset_set_cc91(blocks[1], -50);
    preset_set_slot_kind(blocks[1], 3, 4);
    for (int i = 0; i < 128; ++i) blocks[2][i] = uint8_t(127 - i);  // every controller set
    for (int i = 0; i < 128; ++i) blocks[3][i] = uint8_t(i % 3 == 0 ? 0x80 | i : i);  // mixed
    for (const PresetBlock& block : blocks) {
        int err = -1;
        AmpMessage* request = amp_request_store_block(5, 2, block, &err);
        ASSERT_NE(request, nullptr);
        Decoded d = decode(message_bytes(request));
        amp_record_free(request, nullptr);
        ASSERT_NE(d.record, nullptr);
        EXPECT_EQ(amp_response_type(d.record, nullptr), AMP_RSP_CMD11);
        const Cmd11Reply& got = payload_of<Cmd11Reply>(d.record);
        EXPECT_EQ(got.byte7, 5);
        EXPECT_EQ(got.byte8, 2);
        EXPECT_EQ(got.byte9, 0);
        for (int i = 0; i < 128; ++i)
            EXPECT_EQ(got.block[i], block[i] & 0x80 ? 0xFF : block[i]) << i;
        amp_record_free(d.record, nullptr);
    }
}

// A reply of the length that a request announces, with the command byte of
// its reply, is one the decoder takes.
TEST(ResponseRoundTrip, AnnouncedReplyLengthsAreAccepted) {
    struct Pairing {
        const char* request;
        AmpMessage* (*build)(int*);
        uint8_t reply_command;
        int type;
    };
    const Pairing pairings[] = {
        {"cmd1", amp_request_cmd1, 0, AMP_RSP_CMD0},
        {"cmd1", amp_request_cmd1, 115, AMP_RSP_CMD115},
        {"cmd2", [](int* e) { return amp_request_cmd2(0, -1, e); }, 18, AMP_RSP_CMD18},
        {"cmd4", [](int* e) { return amp_request_cmd4(0, e); }, 19, AMP_RSP_CMD19_NONZERO},
        {"cmd5", amp_request_cmd5, 20, AMP_RSP_CMD20},
        {"cmd7", [](int* e) { return amp_request_cmd7(0, 0, e); }, 22, AMP_RSP_CMD22},
        {"cmd8", [](int* e) { return amp_request_cmd8(0, 0, -1, e); }, 23, AMP_RSP_CMD23},
        {"read block", [](int* e) { return amp_request_read_block(0, 0, -1, e); }, 11,
         AMP_RSP_CMD11},
        {"read 1 word", [](int* e) { return amp_request_read_words(1, 1, 0, e); }, 118,
         AMP_RSP_CMD118},
        {"read 127 words", [](int* e) { return amp_request_read_words(1, 127, 0, e); }, 118,
         AMP_RSP_CMD118},
        {"read 128 words", [](int* e) { return amp_request_read_words(1, 128, 0, e); }, 118,
         AMP_RSP_CMD118},
    };
    for (const Pairing& p : pairings) {
        SCOPED_TRACE(p.request);
        AmpMessage* request = p.build(nullptr);
        ASSERT_NE(request, nullptr);
        int32_t reply_length = amp_message_reply_length(request, nullptr);
        amp_record_free(request, nullptr);
        Decoded d = decode(amp_msg_of_length(p.reply_command, reply_length));
        ASSERT_NE(d.record, nullptr) << "reply of " << reply_length << " bytes";
        EXPECT_EQ(amp_response_type(d.record, nullptr), p.type);
        amp_record_free(d.record, nullptr);
    }
    // The identity request's reply.
    AmpMessage* request = amp_request_identity(nullptr);
    ASSERT_NE(request, nullptr);
    EXPECT_EQ(amp_message_reply_length(request, nullptr), AMP_IDENTITY_REPLY_LENGTH);
    amp_record_free(request, nullptr);
}

// The reply to the largest word read: 128 words and the one spare data byte
// that every such reply carries, 521 bytes in all.
TEST(ResponseRoundTrip, LargestWordReadIsDecodedWhole) {
    Bytes data;
    for (int i = 0; i < 128; ++i) {
        data.push_back(uint8_t(i >> 4 & 0x0F));
        data.push_back(uint8_t(i & 0x0F));
        data.push_back(0x0A);
        data.push_back(0x05);
    }
    data.push_back(0x42);
    Bytes m = amp_msg(118, data);
    ASSERT_EQ(m.size(), 521u);
    Decoded d = decode(m);
    ASSERT_NE(d.record, nullptr);
    const Cmd118Reply& p = payload_of<Cmd118Reply>(d.record);
    EXPECT_EQ(p.count, 128);
    for (int i = 0; i < 128; ++i) EXPECT_EQ(p.values[i], (i << 8) | 0xA5) << i;
    amp_record_free(d.record, nullptr);
}

}  // namespace
