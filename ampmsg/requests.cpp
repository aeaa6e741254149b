#include "ampmsg/requests.h"

#include <cstring>

#include "ampmsg/message_internal.h"
#include "ampmsg/packing.h"
#include "ampmsg/preset.h"

namespace {

// One row per command: the reply data count that its request announces
// (reply_length = count + 8). 0 gives none, hence a one-data-byte reply of 9
// bytes; command 12 expects no reply at all; 118 depends on its word count.
// 33's reply, the word table, is sized for the largest table: 217 words are
// 62 groups of 8 packed bytes, plus the two count bytes, 498 data bytes and
// 506 on the wire.
struct CatalogueRow {
    int32_t command;
    int32_t reply_data;
};
constexpr CatalogueRow kCatalogue[] = {
    {1, 0},   {2, 18},  {3, 2},   {4, 3},   {5, 79},  {7, 110}, {8, 19},  {9, 259},
    {10, 0},  {11, 0},  {12, 0},  {13, 0},  {14, 0},  {15, 0},  {16, 0},  {17, 0},
    {24, 0},  {25, 2},  {26, 0},  {27, 0},  {28, 0},  {33, 498}, {34, 0}, {115, 0},
    {119, 0},
};

constexpr int32_t kRestartCommand = 12;
constexpr int32_t kRestartSecond = 0x55;
constexpr int32_t kReadWordsCommand = 118;
constexpr int32_t kWordTableCommand = 34;
// Request 34 is allocated for the largest table: 217 words packed.
constexpr int32_t kWordTableMaxLength = 10 + 8 * ((2 * AMP_WORD_TABLE_MAX + 6) / 7);

void set_err(int* err, int code) {
    if (err) *err = code;
}

int32_t reply_data_of(int32_t command) {
    for (const CatalogueRow& row : kCatalogue) {
        if (row.command == command) return row.reply_data;
    }
    return 0;
}

// A catalogue request with up to three argument bytes (negative: absent).
AmpMessage* request(int32_t command, int32_t first, int32_t second, int32_t third, int* err) {
    return amp_message_build(command, first, second, third, 0, reply_data_of(command), err);
}

AmpMessage* request(int32_t command, int* err) { return request(command, -1, -1, -1, err); }

}  // namespace

bool amp_check_number(int32_t n, int* err) {
    const bool ok = n >= 0 && n <= AMP_NUMBER_MAX;
    set_err(err, ok ? AMP_OK : AMP_ERR_NUMBER);
    return ok;
}

bool amp_check_part(int32_t p, int* err) {
    const bool ok = p >= 0 && p <= AMP_PART_MAX;
    set_err(err, ok ? AMP_OK : AMP_ERR_PART);
    return ok;
}

bool amp_check_number_part(int32_t n, int32_t p, int* err) {
    return amp_check_number(n, err) && amp_check_part(p, err);
}

bool amp_check_area(int32_t a, int* err) {
    const bool ok = a >= 1 && a <= 2;
    set_err(err, ok ? AMP_OK : AMP_ERR_NUMBER);
    return ok;
}

bool amp_name_is_blank(const char* name) {
    if (!name) return true;
    for (; *name; ++name) {
        if (*name != ' ') return false;
    }
    return true;
}

bool amp_name_check(const char* name, int* err) {
    if (!name) {
        set_err(err, AMP_ERR_NULL);
        return false;
    }
    size_t length = 0;
    for (; name[length]; ++length) {
        const unsigned char c = static_cast<unsigned char>(name[length]);
        if (c < 0x20 || c > 0x7E) {
            set_err(err, AMP_ERR_NAME_CHAR);
            return false;
        }
    }
    if (length == 0 || length > static_cast<size_t>(AMP_NAME_LENGTH)) {
        set_err(err, AMP_ERR_NAME_LENGTH);
        return false;
    }
    set_err(err, AMP_OK);
    return true;
}

void amp_name_pad16(uint8_t* dst, const char* name) {
    if (!dst) return;
    int32_t i = 0;
    for (; name && i < AMP_NAME_LENGTH && name[i]; ++i) dst[i] = static_cast<uint8_t>(name[i]);
    for (; i < AMP_NAME_LENGTH; ++i) dst[i] = ' ';
}

AmpMessage* amp_request_identity(int* err) {
    AmpMessage* m = amp_message_alloc(AMP_IDENTITY_REQUEST_LENGTH, AMP_IDENTITY_REPLY_LENGTH, err);
    if (!m) return nullptr;
    std::memcpy(m->bytes, AMP_IDENTITY_REQUEST, AMP_IDENTITY_REQUEST_LENGTH);
    set_err(err, AMP_OK);
    return m;
}

AmpMessage* amp_request_cmd1(int* err) { return request(1, err); }

AmpMessage* amp_request_cmd2(int32_t number, int32_t extra, int* err) {
    if (!amp_check_number(number, err)) return nullptr;
    return request(2, number, extra, -1, err);
}

AmpMessage* amp_request_cmd3(int* err) { return request(3, err); }

AmpMessage* amp_request_cmd4(int32_t value, int* err) {
    if (value < 0 || value > 127) {
        set_err(err, AMP_ERR_VALUE);
        return nullptr;
    }
    return request(4, value, -1, -1, err);
}

AmpMessage* amp_request_cmd5(int* err) { return request(5, err); }

AmpMessage* amp_request_cmd7(int32_t first, int32_t second, int* err) {
    if (first < 0 || first > 4) {
        set_err(err, AMP_ERR_FIRST_ARG);
        return nullptr;
    }
    if (second < 0 || second > 127) {
        set_err(err, AMP_ERR_SECOND_ARG);
        return nullptr;
    }
    return request(7, first, second, -1, err);
}

AmpMessage* amp_request_cmd8(int32_t number, int32_t part, int32_t extra, int* err) {
    if (!amp_check_number_part(number, part, err)) return nullptr;
    return request(8, number, part, extra, err);
}

AmpMessage* amp_request_read_block(int32_t number, int32_t part, int32_t extra, int* err) {
    if (!amp_check_number_part(number, part, err)) return nullptr;
    return request(9, number, part, extra, err);
}

AmpMessage* amp_request_cmd10(int32_t number, int32_t part, int* err) {
    if (!amp_check_number_part(number, part, err)) return nullptr;
    return request(10, number, part, -1, err);
}

AmpMessage* amp_request_store_block(int32_t number, int32_t part, const uint8_t* block, int* err) {
    if (!amp_check_number_part(number, part, err)) return nullptr;
    int32_t pairs = 0;
    for (int32_t n = 0; block && n < PRESET_BLOCK_SIZE; ++n) {
        if ((block[n] & 0x80) == 0) ++pairs;
    }
    if (pairs == 0) return amp_request_store_empty_block(number, part, err);

    AmpMessage* m = amp_message_build(11, number, part, 0, 3 + 2 * pairs, reply_data_of(11), err);
    if (!m) return nullptr;
    uint8_t* out = m->bytes + 10;
    for (int32_t n = 0; n < PRESET_BLOCK_SIZE; ++n) {
        if (block[n] & 0x80) continue;  // no value for this controller
        *out++ = static_cast<uint8_t>(n);
        *out++ = block[n];
    }
    return m;
}

AmpMessage* amp_request_restart(int32_t mode, int* err) {
    // A negative mode would be "absent" to the general builder and shift 55
    // into the mode's place; no restart mode is negative, so refuse it.
    if (mode < 0) {
        set_err(err, AMP_ERR_BYTE_RANGE);
        return nullptr;
    }
    return request(kRestartCommand, mode, kRestartSecond, -1, err);
}

AmpMessage* amp_request_restart_mode0(int* err) { return amp_request_restart(0, err); }
AmpMessage* amp_request_restart_update(int* err) { return amp_request_restart(1, err); }
AmpMessage* amp_request_restart_mode8(int* err) { return amp_request_restart(8, err); }

AmpMessage* amp_request_set_name(int32_t number, const char* name, int* err) {
    if (amp_name_is_blank(name)) return amp_request_blank_name(number, err);
    if (!amp_check_number(number, err) || !amp_name_check(name, err)) return nullptr;
    AmpMessage* m = amp_message_build(13, number, -1, -1, 1 + AMP_NAME_LENGTH, reply_data_of(13), err);
    if (!m) return nullptr;
    amp_name_pad16(m->bytes + 8, name);
    return m;
}

AmpMessage* amp_request_set_part_name(int32_t number, int32_t part, const char* name, int* err) {
    if (amp_name_is_blank(name)) return amp_request_blank_part_name(number, part, err);
    if (!amp_check_number_part(number, part, err) || !amp_name_check(name, err)) return nullptr;
    AmpMessage* m =
        amp_message_build(14, number, part, -1, 2 + AMP_NAME_LENGTH, reply_data_of(14), err);
    if (!m) return nullptr;
    amp_name_pad16(m->bytes + 9, name);
    return m;
}

AmpMessage* amp_request_blank_name(int32_t number, int* err) {
    if (!amp_check_number(number, err)) return nullptr;
    return request(15, number, -1, -1, err);
}

AmpMessage* amp_request_blank_part_name(int32_t number, int32_t part, int* err) {
    if (!amp_check_number_part(number, part, err)) return nullptr;
    return request(16, number, part, -1, err);
}

AmpMessage* amp_request_store_empty_block(int32_t number, int32_t part, int* err) {
    if (!amp_check_number_part(number, part, err)) return nullptr;
    return request(17, number, part, -1, err);
}

AmpMessage* amp_request_cmd24(int* err) { return request(24, err); }
AmpMessage* amp_request_cmd25(int* err) { return request(25, err); }
AmpMessage* amp_request_cmd26(int* err) { return request(26, err); }

AmpMessage* amp_request_cmd27(int32_t kind, int32_t op, int32_t value, int* err) {
    return request(27, kind, op, value, err);
}

AmpMessage* amp_request_cmd27_00(int* err) { return amp_request_cmd27(0, 0, 0, err); }
AmpMessage* amp_request_cmd27_01(int* err) { return amp_request_cmd27(0, 1, 0, err); }
AmpMessage* amp_request_cmd27_10(int* err) { return amp_request_cmd27(1, 0, 0, err); }
AmpMessage* amp_request_cmd27_11(int* err) { return amp_request_cmd27(1, 1, 0, err); }

AmpMessage* amp_request_cmd27_number(int32_t number, int* err) {
    if (!amp_check_number(number, err)) return nullptr;
    return amp_request_cmd27(0, 2, number, err);
}

AmpMessage* amp_request_cmd27_part(int32_t part, int* err) {
    if (!amp_check_part(part, err)) return nullptr;
    return amp_request_cmd27(1, 2, part, err);
}

AmpMessage* amp_request_cmd28(int32_t on, int* err) { return request(28, on != 0 ? 1 : 0, -1, -1, err); }

AmpMessage* amp_request_read_word_table(int* err) { return request(33, err); }

AmpMessage* amp_request_write_word_table(const WordTable* table, int* err) {
    if (!table) {
        set_err(err, AMP_ERR_NULL);
        return nullptr;
    }
    const int32_t count = table->count;
    if (count < 1 || count > AMP_WORD_TABLE_MAX) {
        set_err(err, AMP_ERR_WORD_COUNT);
        return nullptr;
    }
    AmpMessage* m = amp_message_build(kWordTableCommand, (count - 1) & 127, ((count - 1) >> 7) & 127,
                                      -1, kWordTableMaxLength - 8, reply_data_of(kWordTableCommand), err);
    if (!m) return nullptr;

    // Words go out low byte first.
    uint8_t raw[2 * AMP_WORD_TABLE_MAX];
    for (int32_t i = 0; i < count; ++i) {
        raw[2 * i] = static_cast<uint8_t>(table->words[i] & 0xFF);
        raw[2 * i + 1] = static_cast<uint8_t>(table->words[i] >> 8);
    }
    m->bytes[kWordTableMaxLength - 1] = 0;  // the room's F7; the real one follows the data
    const uint32_t packed = pack_seven_bit(m->bytes + 9, raw, static_cast<uint32_t>(2 * count));
    m->length = static_cast<int32_t>(packed) + 10;
    m->bytes[m->length - 1] = AMP_SYSEX_END;
    return m;
}

AmpMessage* amp_request_cmd115(int* err) { return request(115, err); }

AmpMessage* amp_request_read_words(int32_t area, int32_t count, int32_t address, int* err) {
    if (!amp_check_area(area, err)) return nullptr;
    const uint32_t addr = static_cast<uint32_t>(address);
    if (addr >= AMP_ADDRESS_LIMIT) {
        set_err(err, AMP_ERR_ADDRESS);
        return nullptr;
    }
    if (count < 1 || count > AMP_READ_WORDS_MAX || static_cast<uint32_t>(count) > AMP_ADDRESS_LIMIT - addr) {
        set_err(err, AMP_ERR_READ_COUNT);
        return nullptr;
    }
    AmpMessage* m = amp_message_build(kReadWordsCommand, area - 1, count - 1, -1, 7, 4 * count + 1, err);
    if (!m) return nullptr;
    // Five nibbles, most significant first: bits 16..19 down to 0..3.
    for (int i = 0; i < 5; ++i) {
        m->bytes[9 + i] = static_cast<uint8_t>((addr >> (4 * (4 - i))) & 0x0F);
    }
    return m;
}

AmpMessage* amp_request_cmd119(int32_t area, int* err) {
    if (!amp_check_area(area, err)) return nullptr;
    return request(119, area, -1, -1, err);
}
