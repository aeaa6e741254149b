// Builders for every request the amp understands.
//
// Each builder checks its arguments in a fixed order, builds the SysEx
// message on amp_message_build, fills any argument bytes that builder leaves
// open, and returns a new AmpMessage holding the bytes and the length of the
// reply to expect (0: none). The caller releases it with amp_record_free.
// On failure: null, nothing allocated, and in `err` the code of the first
// check that failed (AmpError), or AMP_ERR_NO_MEMORY when memory runs out.
//
// Argument kinds: a number is 0..125 (else AMP_ERR_NUMBER), a part 0..3
// (AMP_ERR_PART), an area 1..2 (AMP_ERR_NUMBER); an "extra" byte is optional
// (negative: not sent) and refused above 127 (AMP_ERR_BYTE_RANGE). Names are
// 1..16 characters 20..7E, sent as exactly 16 bytes filled up with blanks.
#ifndef ZP_AMPMSG_REQUESTS_H
#define ZP_AMPMSG_REQUESTS_H

#include <cstdint>

#include "ampmsg/message.h"

inline constexpr int32_t AMP_WORD_TABLE_MAX = 217;
inline constexpr int32_t AMP_NAME_LENGTH = 16;
inline constexpr int32_t AMP_NUMBER_MAX = 125;
inline constexpr int32_t AMP_PART_MAX = 3;
inline constexpr int32_t AMP_READ_WORDS_MAX = 128;
inline constexpr uint32_t AMP_ADDRESS_LIMIT = 1048576;  // 2^20: first address past the end

// A table of unsigned 16-bit words: sent by request 34, read back by the
// reply with command byte 34. Only the first `count` words are meaningful.
struct WordTable {
    int32_t count;  // 1..217 for a valid table
    uint16_t words[AMP_WORD_TABLE_MAX];
};

// Argument checks: true when valid; `err` gets 0 or the check's code.
bool amp_check_number(int32_t n, int* err);             // 0..125, else AMP_ERR_NUMBER
bool amp_check_part(int32_t p, int* err);               // 0..3, else AMP_ERR_PART
bool amp_check_number_part(int32_t n, int32_t p, int* err);  // number first, then part
bool amp_check_area(int32_t a, int* err);               // 1..2, else AMP_ERR_NUMBER

// True for a null name, an empty one, or one made only of blanks (20).
bool amp_name_is_blank(const char* name);
// True for 1..16 characters, each 20..7E. Null: 15. The first character
// outside 20..7E gives 6 at once, even in an over-long name; then a length
// of 0 or above 16 gives 13.
bool amp_name_check(const char* name, int* err);
// Writes exactly 16 bytes to `dst`: the name's first (up to) 16 characters,
// then blanks. No terminating zero. A null name gives 16 blanks.
void amp_name_pad16(uint8_t* dst, const char* name);

// Identity Request F0 7E 7F 06 01 F7 (no amp header); reply 17 bytes.
AmpMessage* amp_request_identity(int* err);

// 01 F7; one-data-byte reply.
AmpMessage* amp_request_cmd1(int* err);
// 02 number [extra] F7; reply 26.
AmpMessage* amp_request_cmd2(int32_t number, int32_t extra, int* err);
// 03 F7; reply 10.
AmpMessage* amp_request_cmd3(int* err);
// 04 value F7, value 0..127 (AMP_ERR_VALUE); reply 11.
AmpMessage* amp_request_cmd4(int32_t value, int* err);
// 05 F7; reply 87.
AmpMessage* amp_request_cmd5(int* err);
// 07 first second F7: first 0..4 (AMP_ERR_FIRST_ARG), then second 0..127
// (AMP_ERR_SECOND_ARG); reply 118.
AmpMessage* amp_request_cmd7(int32_t first, int32_t second, int* err);
// 08 number part [extra] F7; reply 27.
AmpMessage* amp_request_cmd8(int32_t number, int32_t part, int32_t extra, int* err);
// 09 number part [extra] F7: asks for a preset block; reply 267.
AmpMessage* amp_request_read_block(int32_t number, int32_t part, int32_t extra, int* err);
// 0A number part F7; one-data-byte reply.
AmpMessage* amp_request_cmd10(int32_t number, int32_t part, int* err);
// 0B number part 00, then (controller, value) for every byte of `block`
// that holds a value, in controller order, F7 (13..267 bytes). A null block
// or one without values gives request 17 instead. One-data-byte reply.
AmpMessage* amp_request_store_block(int32_t number, int32_t part, const uint8_t* block, int* err);
// 0C mode 55 F7: restarts the amp; no reply. Modes 0..127; a negative mode
// is refused with AMP_ERR_BYTE_RANGE like one above 127.
AmpMessage* amp_request_restart(int32_t mode, int* err);
AmpMessage* amp_request_restart_mode0(int* err);
// Mode 1: the amp restarts in update mode.
AmpMessage* amp_request_restart_update(int* err);
AmpMessage* amp_request_restart_mode8(int* err);
// 0D number, 16 name bytes, F7. A blank name gives request 15 instead.
// Checks: the number, then the name (AMP_ERR_NAME_CHAR, AMP_ERR_NAME_LENGTH).
// One-data-byte reply.
AmpMessage* amp_request_set_name(int32_t number, const char* name, int* err);
// 0E number part, 16 name bytes, F7. A blank name gives request 16 instead.
// Checks: the number, the part, then the name.
AmpMessage* amp_request_set_part_name(int32_t number, int32_t part, const char* name, int* err);
// 0F number F7.
AmpMessage* amp_request_blank_name(int32_t number, int* err);
// 10 number part F7.
AmpMessage* amp_request_blank_part_name(int32_t number, int32_t part, int* err);
// 11 number part F7: stores a block without values.
AmpMessage* amp_request_store_empty_block(int32_t number, int32_t part, int* err);
// 18 F7; one-data-byte reply.
AmpMessage* amp_request_cmd24(int* err);
// 19 F7; reply 10.
AmpMessage* amp_request_cmd25(int* err);
// 1A F7; one-data-byte reply.
AmpMessage* amp_request_cmd26(int* err);
// 1B kind op value F7; each byte optional (negative: not sent),
// AMP_ERR_BYTE_RANGE above 127 or for a present byte after an absent one.
AmpMessage* amp_request_cmd27(int32_t kind, int32_t op, int32_t value, int* err);
AmpMessage* amp_request_cmd27_00(int* err);  // (0, 0, 0)
AmpMessage* amp_request_cmd27_01(int* err);  // (0, 1, 0)
AmpMessage* amp_request_cmd27_10(int* err);  // (1, 0, 0)
AmpMessage* amp_request_cmd27_11(int* err);  // (1, 1, 0)
// (0, 2, number) after the number check.
AmpMessage* amp_request_cmd27_number(int32_t number, int* err);
// (1, 2, part) after the part check.
AmpMessage* amp_request_cmd27_part(int32_t part, int* err);
// 1C, 01 when `on` is non-zero else 00, F7.
AmpMessage* amp_request_cmd28(int32_t on, int* err);
// 21 F7: asks for the word table; reply 506 (the largest table).
AmpMessage* amp_request_read_word_table(int* err);
// 22, (count-1) low 7 bits, (count-1) bits 7..13, the words (low byte first)
// packed seven-bit, F7: 10 + 8 * ceil(2 * count / 7) bytes, at most 506.
// Null table: AMP_ERR_NULL; count outside 1..217: AMP_ERR_WORD_COUNT.
AmpMessage* amp_request_write_word_table(const WordTable* table, int* err);
// 73 F7; one-data-byte reply.
AmpMessage* amp_request_cmd115(int* err);
// 76, area-1, count-1, the address as five nibbles (most significant
// first), F7; reply 4 * count + 9. Checks: the area (AMP_ERR_NUMBER); the
// address, taken as unsigned, below 2^20 (AMP_ERR_ADDRESS); count 1..128 and
// not past 2^20 (AMP_ERR_READ_COUNT).
AmpMessage* amp_request_read_words(int32_t area, int32_t count, int32_t address, int* err);
// 77 area F7 (the area itself, 1 or 2; AMP_ERR_NUMBER otherwise).
AmpMessage* amp_request_cmd119(int32_t area, int* err);

#endif
