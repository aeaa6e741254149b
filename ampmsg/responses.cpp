#include "ampmsg/responses.h"

#include <cstring>

#include "ampmsg/controllers.h"
#include "ampmsg/message_internal.h"
#include "ampmsg/packing.h"

namespace {

void set_err(int* err, int code) {
    if (err) *err = code;
}

// ---- Conversion tables --------------------------------------------------

// Command 0 status, indexed by byte 7; bytes past the table give 4.
constexpr int32_t kCmd0Status[] = {0, 3, 1, 2};
constexpr int32_t kCmd0StatusOther = 4;

// Command 115 state, indexed by byte 7; bytes past the table give 4.
constexpr int32_t kCmd115State[] = {0, 2, 3, 4, 1, 1, 1, 1, 1, 1, 1, 1, 5, 1};
constexpr int32_t kCmd115StateOther = 4;

// Command 20 byte8_kind, indexed by byte 8; bytes past the table give 0. No
// byte gives 4: byte 8 = 4 reads as 5, and the gap is kept as the amp has it.
constexpr int32_t kCmd20Byte8Kind[] = {0, 1, 2, 3, 5};
constexpr int32_t kCmd20Byte8KindOther = 0;

// Command 20 byte47_kind, indexed by bits 0..2 of byte 47.
constexpr int32_t kCmd20Byte47Kind[8] = {1, 2, 3, 17, 17, 17, 17, 17};

// Identity reply release, one row per revision letter; any other byte gives 0.
struct ReleaseLetter {
    uint8_t letter;
    int32_t release;
};
constexpr ReleaseLetter kReleaseLetters[] = {{'A', 1}, {'D', 2}, {'T', 3}, {'B', 4}};

template <size_t N>
int32_t convert(const int32_t (&table)[N], unsigned index, int32_t other) {
    return index < N ? table[index] : other;
}

int32_t bit(uint8_t byte, int n) { return (byte >> n) & 1; }

// Makes the record for a parser and clears its payload, so that padding and
// any field a layout leaves open read as zero. Code 14 when memory runs out;
// otherwise the caller's code is left as the dispatcher set it.
template <typename Payload>
AmpResponse* new_record(int32_t type, Payload** payload, int* err) {
    AmpResponse* r = amp_response_new(type, static_cast<int32_t>(sizeof(Payload)), err);
    if (!r) return nullptr;
    std::memset(r->payload, 0, sizeof(Payload));
    *payload = static_cast<Payload*>(r->payload);
    return r;
}

// ---- Parsers ------------------------------------------------------------
// Each is handed a message whose family, framing and length are already
// checked, so every offset it reads lies inside the message.

AmpResponse* parse_controller_change(const uint8_t* m, int32_t length, int* err) {
    if (length != 3 || (m[1] & 0x80) || (m[2] & 0x80)) return nullptr;
    ControllerValue cv;
    int cc_err = AMP_CC_OK;
    amp_cc_decode(m, &cv, &cc_err);
    if (cc_err != AMP_CC_OK) return nullptr;  // other channel, unmapped, out of range
    ControllerChangeReply* p;
    AmpResponse* r = new_record(AMP_RSP_CONTROLLER, &p, err);
    if (!r) return nullptr;
    p->controller = cv.controller;
    p->value = cv.value;
    return r;
}

AmpResponse* parse_identity(const uint8_t* m, int32_t, int* err) {
    IdentityReply* p;
    AmpResponse* r = new_record(AMP_RSP_IDENTITY, &p, err);
    if (!r) return nullptr;
    const uint8_t* rev = m + AMP_IDENTITY_REVISION_OFFSET;
    p->release = 0;
    for (const ReleaseLetter& l : kReleaseLetters)
        if (rev[0] == l.letter) p->release = l.release;
    p->version[0] = static_cast<char>(rev[1]);
    p->version[1] = '.';
    p->version[2] = static_cast<char>(rev[2]);
    p->version[3] = static_cast<char>(rev[3]);
    p->version[4] = '\0';
    return r;
}

AmpResponse* parse_cmd0(const uint8_t* m, int32_t, int* err) {
    Cmd0Reply* p;
    AmpResponse* r = new_record(AMP_RSP_CMD0, &p, err);
    if (!r) return nullptr;
    p->status = convert(kCmd0Status, m[7], kCmd0StatusOther);
    return r;
}

// A list of (controller, value) pairs from byte 10 on; an odd last byte is
// ignored and a later pair for the same controller wins.
AmpResponse* parse_cmd11(const uint8_t* m, int32_t length, int* err) {
    Cmd11Reply* p;
    AmpResponse* r = new_record(AMP_RSP_CMD11, &p, err);
    if (!r) return nullptr;
    p->byte7 = m[7];
    p->byte8 = m[8];
    p->byte9 = m[9];
    std::memset(p->block, 0xFF, sizeof p->block);
    int32_t pairs = (length - 11) / 2;
    for (int32_t i = 0; i < pairs; ++i) {
        uint8_t index = m[10 + 2 * i] & 0x7F;  // framing keeps bit 7 clear already
        p->block[index] = m[11 + 2 * i];
    }
    return r;
}

AmpResponse* parse_cmd18(const uint8_t* m, int32_t, int* err) {
    Cmd18Reply* p;
    AmpResponse* r = new_record(AMP_RSP_CMD18, &p, err);
    if (!r) return nullptr;
    p->byte7 = m[7];
    p->byte8 = m[8];
    amp_copy_text(p->text, m + 9, 16);
    return r;
}

AmpResponse* parse_cmd19(const uint8_t* m, int32_t, int* err) {
    Cmd19Reply* p;
    AmpResponse* r = new_record(m[9] == 0 ? AMP_RSP_CMD19_ZERO : AMP_RSP_CMD19_NONZERO, &p, err);
    if (!r) return nullptr;
    p->byte7 = m[7];
    p->byte8 = m[8];
    return r;
}

AmpResponse* parse_cmd20(const uint8_t* m, int32_t, int* err) {
    Cmd20Reply* p;
    AmpResponse* r = new_record(AMP_RSP_CMD20, &p, err);
    if (!r) return nullptr;
    const uint8_t b7 = m[7], b8 = m[8], b9 = m[9], b47 = m[47], b53 = m[53];
    p->byte8_low = b8 & 7;
    p->byte7_bit0 = bit(b7, 0);
    p->byte8_kind = convert(kCmd20Byte8Kind, b8, kCmd20Byte8KindOther);
    p->byte9_bit0 = bit(b9, 0);
    p->byte10 = m[10];
    p->byte47_kind = kCmd20Byte47Kind[b47 & 7];
    p->byte47_bit4 = bit(b47, 4);
    p->byte7_bit1 = bit(b7, 1);
    p->byte47_bit5 = bit(b47, 5);
    p->byte9_bit1 = bit(b9, 1);
    p->byte7_bit2 = bit(b7, 2);
    p->byte47_bit6 = bit(b47, 6);
    for (int i = 0; i < 5; ++i) p->optional[i] = bit(b53, i) ? m[48 + i] : 0xFF;
    for (int g = 0; g < 4; ++g) {
        const uint8_t* group = m + 11 + 9 * g;
        p->groups[g].high = (group[0] >> 4) & 7;
        p->groups[g].low = group[0] & 15;
        amp_copy_text(p->groups[g].name, group + 1, 8);
    }
    amp_copy_text(p->text1, m + 54, 16);
    amp_copy_text(p->text2, m + 70, 16);
    return r;
}

AmpResponse* parse_cmd22(const uint8_t* m, int32_t, int* err) {
    Cmd22Reply* p;
    AmpResponse* r = new_record(AMP_RSP_CMD22, &p, err);
    if (!r) return nullptr;
    p->byte7 = m[7];
    p->byte8 = m[8];
    const uint8_t* src = m + 9;
    src = amp_copy_text(p->text4, src, 4);
    src = amp_copy_text(p->text8, src, 8);
    for (int j = 0; j < 6; ++j) src = amp_copy_text(p->texts[j], src, 16);
    return r;  // src now sits on byte 117, the F7
}

AmpResponse* parse_cmd23(const uint8_t* m, int32_t, int* err) {
    Cmd23Reply* p;
    AmpResponse* r = new_record(AMP_RSP_CMD23, &p, err);
    if (!r) return nullptr;
    p->byte7 = m[7];
    p->byte8 = m[8];
    p->byte9 = m[9];
    amp_copy_text(p->text, m + 10, 16);
    return r;
}

// Word table: bytes 7 and 8 hold count - 1 in two 7-bit halves, bytes 9 to
// L - 2 the words packed in groups of eight, each word low byte first. This
// parser sets its own code: 16 for a malformed table, 14 without memory.
AmpResponse* parse_cmd34(const uint8_t* m, int32_t length, int* err) {
    if (length < 10 || (length - 10) % 8 != 0) {
        set_err(err, AMP_ERR_UNKNOWN_REPLY);
        return nullptr;
    }
    const int32_t count = m[7] + 128 * m[8] + 1;
    if (count > AMP_WORD_TABLE_MAX) {
        set_err(err, AMP_ERR_UNKNOWN_REPLY);
        return nullptr;
    }
    const uint32_t packed = static_cast<uint32_t>(length - 10);
    uint8_t* scratch = nullptr;
    uint32_t unpacked = 0;
    if (packed > 0) {  // an empty packed part holds no words: no buffer needed
        scratch = static_cast<uint8_t*>(amp_alloc(packed));
        if (!scratch) {
            set_err(err, AMP_ERR_NO_MEMORY);
            return nullptr;
        }
        unpacked = unpack_seven_bit(scratch, m + 9, packed);
    }
    AmpResponse* r = nullptr;
    if (unpacked < 2u * static_cast<uint32_t>(count)) {
        set_err(err, AMP_ERR_UNKNOWN_REPLY);
    } else {
        WordTable* t;
        r = new_record(AMP_RSP_WORD_TABLE, &t, err);
        if (r) {
            t->count = count;
            for (int32_t i = 0; i < count; ++i)
                t->words[i] = static_cast<uint16_t>(scratch[2 * i] | (scratch[2 * i + 1] << 8));
            set_err(err, AMP_OK);
        }
    }
    if (scratch) amp_release(scratch);
    return r;
}

AmpResponse* parse_cmd115(const uint8_t* m, int32_t, int* err) {
    Cmd115Reply* p;
    AmpResponse* r = new_record(AMP_RSP_CMD115, &p, err);
    if (!r) return nullptr;
    p->state = convert(kCmd115State, m[7], kCmd115StateOther);
    return r;
}

// Words of four nibble bytes each from byte 7 on; up to three bytes past the
// last whole word are ignored. A read of n words is answered with 4n + 9
// bytes (one spare data byte), so the largest read, 128 words, is 521 bytes:
// the length limit admits it rather than drop the whole reply.
AmpResponse* parse_cmd118(const uint8_t* m, int32_t length, int* err) {
    Cmd118Reply* p;
    AmpResponse* r = new_record(AMP_RSP_CMD118, &p, err);
    if (!r) return nullptr;
    p->count = (length - 8) / 4;
    for (int32_t i = 0; i < p->count; ++i)
        p->values[i] = static_cast<uint16_t>(amp_nibbles_to_int(m + 7 + 4 * i, 4));
    return r;  // values count..127 stay 0
}

using Parser = AmpResponse* (*)(const uint8_t* message, int32_t length, int* err);

struct ParserRow {
    uint8_t command;
    int32_t min_length;  // whole message, F0 to F7
    int32_t max_length;
    Parser parse;
};

// One row per amp reply command byte that has a parser, with the message
// lengths it accepts; command 34 judges its own length.
constexpr ParserRow kParsers[] = {
    {0, 9, 9, parse_cmd0},
    {11, 13, 267, parse_cmd11},
    {18, 26, 26, parse_cmd18},
    {19, 11, 11, parse_cmd19},
    {20, 87, 87, parse_cmd20},
    {22, 118, 118, parse_cmd22},
    {23, 27, 27, parse_cmd23},
    {34, 0, INT32_MAX, parse_cmd34},
    {115, 9, 9, parse_cmd115},
    {118, 12, 521, parse_cmd118},
};

const ParserRow* find_parser(uint8_t command) {
    for (const ParserRow& row : kParsers)
        if (row.command == command) return &row;
    return nullptr;
}

}  // namespace

bool amp_is_identity_reply(const uint8_t* message, int32_t length) {
    return amp_pattern_match(message, length, AMP_IDENTITY_REPLY_PATTERN,
                             AMP_IDENTITY_REPLY_LENGTH);
}

bool amp_check_framing(const uint8_t* message, int32_t length) {
    if (!message || length < 8) return false;
    if (message[length - 1] != AMP_SYSEX_END) return false;
    if (std::memcmp(message, AMP_SYSEX_HEADER, AMP_HEADER_LENGTH) != 0) return false;
    for (int32_t i = 1; i <= length - 2; ++i)
        if (message[i] & 0x80) return false;
    return true;
}

AmpResponse* amp_response_decode(const uint8_t* message, int32_t length, int* err) {
    int code = AMP_ERR_UNKNOWN_REPLY;
    AmpResponse* r = nullptr;
    if (!message) {
        code = AMP_ERR_NULL;
    } else if (length <= 0) {
        code = AMP_ERR_REPLY_LENGTH;
    } else if (amp_is_cc_status(message[0])) {
        code = AMP_OK;
        r = parse_controller_change(message, length, &code);
    } else if (amp_is_identity_reply(message, length)) {
        code = AMP_OK;
        r = parse_identity(message, length, &code);
    } else if (amp_check_framing(message, length)) {
        const ParserRow* row = find_parser(message[AMP_COMMAND_OFFSET]);
        if (row) {
            // A known reply of a length it never has gives no record, code 0.
            code = AMP_OK;
            if (length >= row->min_length && length <= row->max_length)
                r = row->parse(message, length, &code);
        }
    }
    set_err(err, code);
    return r;
}
