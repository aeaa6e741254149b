// What the virtual amp keeps and how it answers: identity, the request
// catalogue, controller changes, and the demo update file.
//
// Replies are framed with the message library's own builder and constants,
// so the emulator and the library cannot disagree about the bytes.
#include "tools/virtual-amp/vamp.h"

#include "ampmsg/controllers.h"
#include "ampmsg/message.h"
#include "ampmsg/packing.h"

#include <cstdio>
#include <cstring>

namespace {

inline constexpr int kData = 7;  // offset of the first data byte after the command

// A reply of `data_count` data bytes with reply type `type`, all data zero.
// False when the library could not build it (then the request is ignored).
bool frame_reply(VampOutcome* out, int type, int data_count) {
    int err = 0;
    AmpMessage* m = amp_message_build(type, -1, -1, -1, data_count, 0, &err);
    if (!m) return false;
    int32_t n = amp_message_length(m, &err);
    const uint8_t* b = amp_message_bytes(m, &err);
    bool ok = b && n > 0 && n <= VAMP_REPLY_MAX;
    if (ok) {
        std::memcpy(out->reply, b, size_t(n));
        out->reply_length = n;
        out->action = VAMP_REPLY;
    }
    amp_record_free(m, nullptr);
    return ok;
}

// The one-data-byte acknowledgement: reply type 0, status byte 0 (done).
bool ack(VampOutcome* out) { return frame_reply(out, 0, 1); }

void put_text(uint8_t* dst, const char* src, int n) {
    for (int i = 0; i < n; i++) dst[i] = uint8_t(src[i]);
}

bool printable(const uint8_t* p, int n) {
    for (int i = 0; i < n; i++)
        if (p[i] < 0x20 || p[i] > 0x7E) return false;
    return true;
}

void pad16(char* dst, const char* text) {
    size_t n = std::strlen(text);
    if (n > 16) n = 16;
    std::memset(dst, ' ', 16);
    std::memcpy(dst, text, n);
}

// Factory value of controller c in every preset block: within the range of
// every parameter that the block keeps, with the split pair at 1000 and the
// signed controller 91 at 0.
uint8_t factory_value(int c) {
    if (c == 88) return uint8_t(split_value_high(1000));
    if (c == 89) return uint8_t(split_value_low(1000));
    if (c == 91) return 50;
    if (c == 7) return 100;
    return 0;
}

// Contents of the word memory that request 118 reads: a fixed pattern per
// area and address, so that a reader can check what it got.
uint16_t memory_word(int area, uint32_t address) {
    uint32_t x = address * 2654435761u + uint32_t(area) * 40503u;
    return uint16_t((x >> 12) & 0xFFFF);
}

bool number_ok(int n) { return n >= 0 && n <= 125; }
bool part_ok(int p) { return p >= 0 && p <= 3; }

// ---- one handler per request; `m` is the whole message, `n` its length

bool on_cmd1(VampAmp*, const uint8_t*, long, VampOutcome* o) { return ack(o); }

bool on_cmd2(VampAmp* a, const uint8_t* m, long n, VampOutcome* o) {
    int number = m[7];
    if (!number_ok(number) || !frame_reply(o, 18, 18)) return false;
    o->reply[kData] = uint8_t(number);
    o->reply[kData + 1] = n == 10 ? m[8] : 0;
    put_text(o->reply + 9, a->names[number], 16);
    return true;
}

// Requests 3 and 25 are answered with two data bytes under their own type.
bool on_two_bytes(VampAmp*, const uint8_t* m, long, VampOutcome* o) {
    if (!frame_reply(o, m[6], 2)) return false;
    o->reply[kData] = 1;
    return true;
}

bool on_cmd4(VampAmp*, const uint8_t* m, long, VampOutcome* o) {
    if (!frame_reply(o, 19, 3)) return false;
    o->reply[kData] = m[7];
    return true;
}

bool on_cmd5(VampAmp* a, const uint8_t*, long, VampOutcome* o) {
    if (!frame_reply(o, 20, 79)) return false;
    uint8_t* r = o->reply;
    r[7] = 0x01;
    r[8] = 0x01;
    r[9] = 0x00;
    r[10] = 0x05;
    for (int g = 0; g < 4; g++) {
        uint8_t* p = r + 11 + 9 * g;
        p[0] = uint8_t((g << 4) | (g + 1));
        char name[9];
        std::snprintf(name, sizeof name, "Group %d ", g + 1);
        put_text(p + 1, name, 8);
    }
    r[47] = 0x10;
    for (int i = 0; i < 5; i++) r[48 + i] = uint8_t(10 * i);
    r[53] = 0x1F;
    char text[17];
    pad16(text, "Zorva Pro");
    put_text(r + 54, text, 16);
    char version[17];
    std::snprintf(version, sizeof version, "Software %.4s", a->version);
    pad16(text, version);
    put_text(r + 70, text, 16);
    return true;
}

bool on_cmd7(VampAmp* a, const uint8_t* m, long, VampOutcome* o) {
    int first = m[7], second = m[8];
    if (first > 4 || !frame_reply(o, 22, 110)) return false;
    uint8_t* r = o->reply;
    r[7] = uint8_t(first);
    r[8] = uint8_t(second);
    put_text(r + 9, a->version, 4);
    put_text(r + 13, "ZorvaPro", 8);
    for (int j = 0; j < 6; j++) put_text(r + 21 + 16 * j, a->names[(second + j) % VAMP_NUMBERS], 16);
    return true;
}

bool on_cmd8(VampAmp* a, const uint8_t* m, long n, VampOutcome* o) {
    int number = m[7], part = m[8];
    if (!number_ok(number) || !part_ok(part) || !frame_reply(o, 23, 19)) return false;
    o->reply[7] = uint8_t(number);
    o->reply[8] = uint8_t(part);
    o->reply[9] = n == 11 ? m[9] : 0;
    put_text(o->reply + 10, a->part_names[number][part], 16);
    return true;
}

// Reads a preset block: every controller with its value, 128 pairs.
bool on_read_block(VampAmp* a, const uint8_t* m, long, VampOutcome* o) {
    int number = m[7], part = m[8];
    if (!number_ok(number) || !part_ok(part) || !frame_reply(o, 11, 3 + 2 * 128)) return false;
    o->reply[7] = uint8_t(number);
    o->reply[8] = uint8_t(part);
    o->reply[9] = 0;
    for (int c = 0; c < 128; c++) {
        o->reply[10 + 2 * c] = uint8_t(c);
        o->reply[11 + 2 * c] = a->blocks[number][part][c];
    }
    return true;
}

bool on_number_part_ack(VampAmp*, const uint8_t* m, long, VampOutcome* o) {
    return number_ok(m[7]) && part_ok(m[8]) && ack(o);
}

// Stores the pairs of a block into the preset; controllers it does not name
// keep their values.
bool on_store_block(VampAmp* a, const uint8_t* m, long n, VampOutcome* o) {
    int number = m[7], part = m[8];
    if (!number_ok(number) || !part_ok(part) || (n - 11) % 2 != 0) return false;
    for (long i = 10; i + 1 < n - 1; i += 2) a->blocks[number][part][m[i]] = m[i + 1];
    return ack(o);
}

bool on_set_name(VampAmp* a, const uint8_t* m, long, VampOutcome* o) {
    int number = m[7];
    if (!number_ok(number) || !printable(m + 8, 16)) return false;
    std::memcpy(a->names[number], m + 8, 16);
    return ack(o);
}

bool on_set_part_name(VampAmp* a, const uint8_t* m, long, VampOutcome* o) {
    int number = m[7], part = m[8];
    if (!number_ok(number) || !part_ok(part) || !printable(m + 9, 16)) return false;
    std::memcpy(a->part_names[number][part], m + 9, 16);
    return ack(o);
}

bool on_blank_name(VampAmp* a, const uint8_t* m, long, VampOutcome* o) {
    if (!number_ok(m[7])) return false;
    std::memset(a->names[m[7]], ' ', 16);
    return ack(o);
}

bool on_blank_part_name(VampAmp* a, const uint8_t* m, long, VampOutcome* o) {
    if (!number_ok(m[7]) || !part_ok(m[8])) return false;
    std::memset(a->part_names[m[7]][m[8]], ' ', 16);
    return ack(o);
}

// An empty block puts the preset back to its factory values.
bool on_store_empty_block(VampAmp* a, const uint8_t* m, long, VampOutcome* o) {
    if (!number_ok(m[7]) || !part_ok(m[8])) return false;
    for (int c = 0; c < 128; c++) a->blocks[m[7]][m[8]][c] = factory_value(c);
    return ack(o);
}

bool on_ack(VampAmp*, const uint8_t*, long, VampOutcome* o) { return ack(o); }

bool on_cmd28(VampAmp*, const uint8_t* m, long, VampOutcome* o) { return m[7] <= 1 && ack(o); }

// Sends the word table: count - 1 in two 7-bit bytes, then the words packed,
// low byte first.
bool on_read_word_table(VampAmp* a, const uint8_t*, long, VampOutcome* o) {
    uint8_t raw[2 * VAMP_WORDS];
    for (int i = 0; i < a->word_count; i++) {
        raw[2 * i] = uint8_t(a->words[i] & 0xFF);
        raw[2 * i + 1] = uint8_t(a->words[i] >> 8);
    }
    uint32_t packed_size = 8 * ((2 * uint32_t(a->word_count) + 6) / 7);
    if (!frame_reply(o, 34, int(2 + packed_size))) return false;
    o->reply[7] = uint8_t((a->word_count - 1) & 127);
    o->reply[8] = uint8_t(((a->word_count - 1) >> 7) & 127);
    pack_seven_bit(o->reply + 9, raw, 2 * uint32_t(a->word_count));
    return true;
}

bool on_write_word_table(VampAmp* a, const uint8_t* m, long n, VampOutcome* o) {
    long packed = n - 10;
    if (packed <= 0 || packed % 8 != 0) return false;
    int count = m[7] + 128 * m[8] + 1;
    uint8_t raw[VAMP_REPLY_MAX];
    if (count > VAMP_WORDS || packed > long(sizeof raw)) return false;
    uint32_t got = unpack_seven_bit(raw, m + 9, uint32_t(packed));
    if (got < 2 * uint32_t(count)) return false;
    a->word_count = count;
    for (int i = 0; i < count; i++) a->words[i] = uint16_t(raw[2 * i] | (raw[2 * i + 1] << 8));
    return ack(o);
}

bool on_cmd115(VampAmp*, const uint8_t*, long, VampOutcome* o) { return frame_reply(o, 115, 1); }

bool on_read_words(VampAmp*, const uint8_t* m, long, VampOutcome* o) {
    int area = m[7] + 1, count = m[8] + 1;
    if (area > 2 || count > 128) return false;
    uint32_t address = uint32_t(amp_nibbles_to_int(m + 9, 5));
    if (m[9] > 15 || m[10] > 15 || m[11] > 15 || m[12] > 15 || m[13] > 15) return false;
    if (address + uint32_t(count) > (1u << 20)) return false;
    if (!frame_reply(o, 118, 4 * count + 1)) return false;
    unsigned sum = 0;
    for (int i = 0; i < count; i++) {
        uint16_t w = memory_word(area, address + uint32_t(i));
        for (int k = 0; k < 4; k++) {
            uint8_t nib = uint8_t((w >> (12 - 4 * k)) & 15);
            o->reply[7 + 4 * i + k] = nib;
            sum += nib;
        }
    }
    o->reply[7 + 4 * count] = uint8_t(sum & 127);  // a check byte after the words
    return true;
}

bool on_cmd119(VampAmp*, const uint8_t* m, long, VampOutcome* o) {
    return m[7] >= 1 && m[7] <= 2 && ack(o);
}

using Handler = bool (*)(VampAmp*, const uint8_t*, long, VampOutcome*);

struct RequestRule {
    int command;
    long min_length;  // whole message, F0 to F7
    long max_length;
    Handler handle;
};

// One row per request that the amp answers, by command; a message outside its
// row's lengths, or refused by its handler, is ignored as a real amp would.
const RequestRule kRequests[] = {
    {1, 8, 8, on_cmd1},
    {2, 9, 10, on_cmd2},
    {3, 8, 8, on_two_bytes},
    {4, 9, 9, on_cmd4},
    {5, 8, 8, on_cmd5},
    {7, 10, 10, on_cmd7},
    {8, 10, 11, on_cmd8},
    {9, 10, 11, on_read_block},
    {10, 10, 10, on_number_part_ack},
    {11, 13, 267, on_store_block},
    {13, 25, 25, on_set_name},
    {14, 26, 26, on_set_part_name},
    {15, 9, 9, on_blank_name},
    {16, 10, 10, on_blank_part_name},
    {17, 10, 10, on_store_empty_block},
    {24, 8, 8, on_ack},
    {25, 8, 8, on_two_bytes},
    {26, 8, 8, on_ack},
    {27, 8, 11, on_ack},
    {28, 9, 9, on_cmd28},
    {33, 8, 8, on_read_word_table},
    {34, 18, 506, on_write_word_table},
    {115, 8, 8, on_cmd115},
    {118, 15, 15, on_read_words},
    {119, 9, 9, on_cmd119},
};

bool has_amp_header(const uint8_t* m, long n) {
    return n >= 8 && std::memcmp(m, AMP_SYSEX_HEADER, AMP_HEADER_LENGTH) == 0 && m[n - 1] == AMP_SYSEX_END;
}

// Controllers that the amp reports on its own with --send-cc.
const int kBurstControllers[] = {7, 10, 91, 2};

}  // namespace

void vamp_amp_state_init(VampAmp* a, const char* version) {
    std::memset(a, 0, sizeof *a);
    std::memcpy(a->version, version, 4);
    a->version[4] = 0;
    for (int n = 0; n < VAMP_NUMBERS; n++) {
        char text[17];
        std::snprintf(text, sizeof text, "Preset %03d", n);
        pad16(a->names[n], text);
        for (int p = 0; p < VAMP_PARTS; p++) {
            std::snprintf(text, sizeof text, "Preset %03d/%d", n, p);
            pad16(a->part_names[n][p], text);
            for (int c = 0; c < 128; c++) a->blocks[n][p][c] = factory_value(c);
        }
    }
    a->word_count = VAMP_WORDS;
    for (int i = 0; i < VAMP_WORDS; i++) a->words[i] = uint16_t(i * 301);
    for (int c = 0; c < 128; c++) {
        ControllerCodec codec;
        int32_t v = 0;
        if (amp_cc_lookup(&codec, uint32_t(c)) && codec.decoder && codec.decoder(&v, factory_value(c))) {
            a->params[c] = v;
            a->param_set[c] = true;
        }
    }
}

bool vamp_amp_is_restart(const uint8_t* msg, long length, int* mode) {
    if (length != 10 || !has_amp_header(msg, length)) return false;
    if (msg[6] != 12 || msg[8] != 0x55) return false;
    if (mode) *mode = msg[7];
    return true;
}

void vamp_amp_handle_sysex(VampAmp* a, const uint8_t* msg, long length, VampOutcome* out) {
    out->action = VAMP_IGNORE;
    out->mode = 0;
    out->reply_length = 0;
    if (length == AMP_IDENTITY_REQUEST_LENGTH &&
        std::memcmp(msg, AMP_IDENTITY_REQUEST, AMP_IDENTITY_REQUEST_LENGTH) == 0) {
        std::memcpy(out->reply, AMP_IDENTITY_REPLY_PATTERN, AMP_IDENTITY_REPLY_LENGTH);
        std::memcpy(out->reply + AMP_IDENTITY_REVISION_OFFSET, a->version, 4);
        out->reply_length = AMP_IDENTITY_REPLY_LENGTH;
        out->action = VAMP_REPLY;
        a->answered++;
        return;
    }
    int mode = 0;
    if (vamp_amp_is_restart(msg, length, &mode)) {
        // Modes 0 and 8 restart normally, 1 into update mode; others mean nothing.
        if (mode == 0 || mode == 1 || mode == 8) {
            out->action = VAMP_RESTART;
            out->mode = mode;
            a->answered++;
        } else {
            a->ignored++;
        }
        return;
    }
    if (has_amp_header(msg, length)) {
        for (const RequestRule& r : kRequests) {
            if (r.command != msg[AMP_COMMAND_OFFSET]) continue;
            if (length >= r.min_length && length <= r.max_length && r.handle(a, msg, length, out)) {
                a->answered++;
                return;
            }
            break;
        }
    }
    out->action = VAMP_IGNORE;
    out->reply_length = 0;
    a->ignored++;
}

bool vamp_amp_handle_channel(VampAmp* a, const uint8_t* msg, long length) {
    if (length != 3 || !amp_is_cc_status(msg[0])) return false;
    ControllerValue cv;
    int err = 0;
    amp_cc_decode(msg, &cv, &err);
    if (err != AMP_CC_OK) {  // another channel, an unmapped controller, a value out of range
        a->cc_refused++;
        return false;
    }
    a->params[cv.controller] = cv.value;
    a->param_set[cv.controller] = true;
    a->cc_taken++;
    return true;
}

long vamp_amp_controller_burst(const VampAmp* a, uint8_t* dst, long max) {
    long n = 0;
    for (int c : kBurstControllers) {
        if (n + 3 > max || !a->param_set[c]) continue;
        int err = 0;
        amp_cc_encode(c, a->params[c], dst + n, &err);
        if (err == AMP_CC_OK) n += 3;
    }
    return n;
}

bool vamp_amp_write_demo(const char* path, long size, char* errbuf, size_t errlen) {
    FILE* f = std::fopen(path, "wb");
    if (!f) {
        std::snprintf(errbuf, errlen, "cannot write %s", path);
        return false;
    }
    // Blocks of 256 data bytes under the amp's header: a block number in two
    // 7-bit bytes, then a fixed pseudo-random pattern.
    const int kBlockData = 256;
    uint32_t seed = 12345;
    bool ok = true;
    for (long written = 0, block = 0; ok && written + kBlockData + 8 <= size; block++) {
        int err = 0;
        AmpMessage* m = amp_message_build(0x40, int32_t(block & 127), int32_t((block >> 7) & 127), -1,
                                          kBlockData, 0, &err);
        if (!m) {
            ok = false;
            break;
        }
        uint8_t* b = m->bytes;
        int32_t len = m->length;
        for (int i = 9; i < len - 1; i++) {
            seed = seed * 1103515245u + 12345u;
            b[i] = uint8_t((seed >> 16) & 127);
        }
        ok = std::fwrite(b, 1, size_t(len), f) == size_t(len);
        written += len;
        amp_record_free(m, nullptr);
    }
    if (std::fclose(f) != 0) ok = false;
    if (!ok) std::snprintf(errbuf, errlen, "cannot write %s", path);
    return ok;
}
