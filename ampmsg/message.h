// The amp message library's base: its two kinds of record, the amp's SysEx
// framing, the general request builder, the accessors, the one release
// operation, the identity request and reply pattern, a few small helpers that
// the reply decoders share, and the library's error codes.
//
// Records are single heap blocks beginning with a four-byte tag ("MSG" or
// "RSP" and a zero byte) that every operation tests before touching them; the
// tag's first byte is cleared on release. Operations that can fail take an
// `int* err` last (may be null) that receives 0 or a code of AmpError; on
// failure they return null (or 0) and leave nothing allocated.
//
// The library keeps no mutable shared state.
#ifndef ZP_AMPMSG_MESSAGE_H
#define ZP_AMPMSG_MESSAGE_H

#include <cstddef>
#include <cstdint>

// The amp maker's three-byte MIDI manufacturer identifier (00 xx xx form).
// The value is our own placeholder, not a registered identifier; it is
// defined here once and every header, pattern and parser uses this constant.
inline constexpr uint8_t AMP_MANUFACTURER_ID[3] = {0x00, 0x2E, 0x5A};

// The two bytes of the amp's family code, after the identifier in the header.
inline constexpr uint8_t AMP_FAMILY_CODE[2] = {0x30, 0x00};

inline constexpr uint8_t AMP_SYSEX_START = 0xF0;
inline constexpr uint8_t AMP_SYSEX_END = 0xF7;

// F0, identifier, family code: the first six bytes of every amp request and
// of every amp SysEx reply.
inline constexpr int AMP_HEADER_LENGTH = 6;
inline constexpr uint8_t AMP_SYSEX_HEADER[AMP_HEADER_LENGTH] = {
    AMP_SYSEX_START,      AMP_MANUFACTURER_ID[0], AMP_MANUFACTURER_ID[1],
    AMP_MANUFACTURER_ID[2], AMP_FAMILY_CODE[0],   AMP_FAMILY_CODE[1]};

// Offset of the command byte (request) or reply type (reply).
inline constexpr int AMP_COMMAND_OFFSET = 6;

// Universal Identity Request to all devices; it carries no amp header.
inline constexpr int AMP_IDENTITY_REQUEST_LENGTH = 6;
inline constexpr uint8_t AMP_IDENTITY_REQUEST[AMP_IDENTITY_REQUEST_LENGTH] = {
    0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7};

// The Universal Identity Reply as the amp sends it, for amp_pattern_match.
// FF matches any byte: the four software-revision bytes at offsets 12..15.
inline constexpr int AMP_IDENTITY_REPLY_LENGTH = 17;
inline constexpr int AMP_IDENTITY_REVISION_OFFSET = 12;
inline constexpr uint8_t AMP_IDENTITY_REPLY_PATTERN[AMP_IDENTITY_REPLY_LENGTH] = {
    0xF0, 0x7E, 0x7F, 0x06, 0x02,
    AMP_MANUFACTURER_ID[0], AMP_MANUFACTURER_ID[1], AMP_MANUFACTURER_ID[2],
    AMP_FAMILY_CODE[0], AMP_FAMILY_CODE[1],
    0x00, 0x00,
    0xFF, 0xFF, 0xFF, 0xFF,
    0xF7};

// A request ready to send. One allocation: this header, then the bytes.
struct AmpMessage {
    char tag[4];           // "MSG\0" while alive
    uint8_t* bytes;        // the SysEx message, F0 .. F7, right after the header
    int32_t length;        // message bytes, F0 and F7 included
    int32_t reply_length;  // bytes the amp answers with (d data bytes: d + 8); 0: no reply
};

// A decoded reply. One allocation: this header, then the payload, whose
// layout depends on `type`.
struct AmpResponse {
    char tag[4];    // "RSP\0" while alive
    int32_t type;   // response type code
    void* payload;  // right after the header, suitably aligned
};

// Error codes of the message library (requests, records, reply decoding).
// Code 9 is not used. The library has numbers only, no texts.
enum AmpError {
    AMP_OK = 0,
    AMP_ERR_NUMBER = 1,         // number outside 0..125, or area outside 1..2
    AMP_ERR_VALUE = 2,          // value outside 0..127 (request 4)
    AMP_ERR_WORD_COUNT = 3,     // word count outside 1..217 (request 34)
    AMP_ERR_SECOND_ARG = 4,     // second argument outside 0..127 (request 7)
    AMP_ERR_FIRST_ARG = 5,      // first argument outside 0..4 (request 7)
    AMP_ERR_NAME_CHAR = 6,      // a name character outside 20..7E
    AMP_ERR_REPLY_LENGTH = 7,   // reply length 0 or negative
    AMP_ERR_NOT_RECORD = 8,     // null, or not a live record of the expected kind
    AMP_ERR_PART = 10,          // part outside 0..3
    AMP_ERR_READ_COUNT = 11,    // word count outside 1..128, or past the address space
    AMP_ERR_ADDRESS = 12,       // start address 1048576 or above
    AMP_ERR_NAME_LENGTH = 13,   // name empty or longer than 16 characters
    AMP_ERR_NO_MEMORY = 14,     // not enough memory
    AMP_ERR_NULL = 15,          // a required pointer is null
    AMP_ERR_UNKNOWN_REPLY = 16, // reply unknown, or malformed for its type
    AMP_ERR_BYTE_RANGE = 17,    // command or argument byte outside 0..127
};

// Builds a request: header, `command`, up to three argument bytes, F7.
// first/second/third are present when non-negative and are written by
// position. arg_count <= 0 means "the number of present arguments"; then a
// present argument after an absent one is refused (AMP_ERR_BYTE_RANGE) rather than
// dropped. A larger arg_count is used as given: positions it covers that no
// present argument fills stay zero for the caller to fill. reply_length is 0
// for command 12, reply_data_count + 8 when it is positive, otherwise 9.
// AMP_ERR_BYTE_RANGE for a command outside 0..127, an argument above 127, or a
// count whose message or reply length would not fit in 32 bits;
// AMP_ERR_NO_MEMORY without memory.
AmpMessage* amp_message_build(int32_t command, int32_t first, int32_t second, int32_t third,
                              int32_t arg_count, int32_t reply_data_count, int* err);

// Accessors. Each takes any pointer: for a live record of its kind it gives
// the field (AMP_OK), for anything else null or 0 (AMP_ERR_NOT_RECORD).
const uint8_t* amp_message_bytes(const void* record, int* err);
int32_t amp_message_length(const void* record, int* err);
int32_t amp_message_reply_length(const void* record, int* err);
int32_t amp_response_type(const void* record, int* err);
void* amp_response_payload(const void* record, int* err);

// Makes a response record with `payload_size` uninitialised payload bytes.
// On success `err` is left untouched (the decoder sets its own code); null
// with AMP_ERR_NO_MEMORY when memory runs out or payload_size is negative.
AmpResponse* amp_response_new(int32_t type, int32_t payload_size, int* err);

// Releases a live AmpMessage or AmpResponse (AMP_OK) after clearing its
// tag; anything else is left alone with AMP_ERR_NOT_RECORD.
void amp_record_free(void* record, int* err);

// True when both lengths are equal and every pattern byte is FF or equals
// the data byte at its offset. Null buffers or negative lengths never match.
bool amp_pattern_match(const uint8_t* data, int32_t data_length, const uint8_t* pattern,
                       int32_t pattern_length);

// Joins the low four bits of `count` bytes, the first byte most significant.
// Only the last eight nibbles survive; a null buffer or count <= 0 gives 0.
int32_t amp_nibbles_to_int(const uint8_t* bytes, int32_t count);

// Copies `count` bytes to `dst`, adds a zero byte, and returns `src + count`
// so consecutive fixed-width text fields can be copied in turn. count <= 0
// writes only the zero byte; a null dst or src copies nothing and returns src.
const uint8_t* amp_copy_text(char* dst, const uint8_t* src, int32_t count);

#endif
