// Decoding of what the amp sends: one complete received message (a
// controller change, the Universal Identity Reply, or an amp SysEx reply)
// becomes an AmpResponse record whose type code says which payload record
// follows its header.
//
// The caller owns the record and releases it with amp_record_free. Codes are
// the message library's (AmpError): AMP_OK, AMP_ERR_REPLY_LENGTH,
// AMP_ERR_NO_MEMORY, AMP_ERR_NULL and AMP_ERR_UNKNOWN_REPLY. A message of a
// known family that is rejected (a length the reply never has, a controller
// change the map refuses) gives no record and AMP_OK; a message of no
// known family, or an amp reply with a command that has no parser, gives
// AMP_ERR_UNKNOWN_REPLY.
//
// No decoder reads outside the `length` bytes it is given, whatever they hold,
// and none writes to the caller's buffer.
#ifndef ZP_AMPMSG_RESPONSES_H
#define ZP_AMPMSG_RESPONSES_H

#include <cstdint>

#include "ampmsg/message.h"
#include "ampmsg/preset.h"
#include "ampmsg/requests.h"

// Response type codes (AmpResponse.type) and the payload record of each.
enum AmpResponseType {
    AMP_RSP_CMD20 = 1,          // Cmd20Reply
    AMP_RSP_CMD18 = 2,          // Cmd18Reply
    AMP_RSP_CMD118 = 3,         // Cmd118Reply
    AMP_RSP_CONTROLLER = 4,     // ControllerChangeReply
    AMP_RSP_CMD19_ZERO = 5,     // Cmd19Reply, byte 9 was 0
    AMP_RSP_WORD_TABLE = 6,     // WordTable (command 34)
    AMP_RSP_CMD0 = 7,           // Cmd0Reply
    AMP_RSP_CMD22 = 8,          // Cmd22Reply
    AMP_RSP_CMD23 = 9,          // Cmd23Reply
    AMP_RSP_CMD11 = 10,         // Cmd11Reply
    AMP_RSP_CMD19_NONZERO = 11, // Cmd19Reply, byte 9 was not 0
    AMP_RSP_CMD115 = 12,        // Cmd115Reply
    AMP_RSP_IDENTITY = 13,      // IdentityReply
};

// Payload records. "Byte k" is the byte at offset k of the received message.
// Text fields hold the message's bytes as they came and a zero byte after
// them; a zero byte inside the text ends it early for a reader.

struct Cmd0Reply {
    int32_t status;  // byte 7: 0 -> 0, 1 -> 3, 2 -> 1, 3 -> 2, other -> 4
};

struct ControllerChangeReply {
    int32_t controller;
    int32_t value;  // decoded by the controller map; may be negative
};

struct IdentityReply {
    int32_t release;  // first revision byte: 'A' 1, 'D' 2, 'T' 3, 'B' 4, other 0
    char version[5];  // bytes 13 '.' 14 15, e.g. "1.02"
};

struct Cmd11Reply {
    int32_t byte7;
    int32_t byte8;
    int32_t byte9;
    PresetBlock block;  // 255 everywhere the message names no value
};

struct Cmd18Reply {
    int32_t byte7;
    int32_t byte8;
    char text[17];  // bytes 9..24
};

struct Cmd19Reply {
    int32_t byte7;
    int32_t byte8;
};

// One of the four nine-byte groups of a command 20 reply (bytes 11 + 9g ..).
struct Cmd20Group {
    int32_t high;  // bits 4..6 of the group's first byte
    int32_t low;   // bits 0..3 of the group's first byte
    char name[9];  // the eight bytes that follow
};

struct Cmd20Reply {
    int32_t byte8_low;    // byte 8, bits 0..2
    int32_t byte7_bit0;
    int32_t byte8_kind;   // byte 8: 1 -> 1, 2 -> 2, 3 -> 3, 4 -> 5, other -> 0
    int32_t byte9_bit0;
    int32_t byte10;
    int32_t byte47_kind;  // byte 47 bits 0..2: 0 -> 1, 1 -> 2, 2 -> 3, other -> 17
    int32_t byte47_bit4;
    int32_t byte7_bit1;
    int32_t byte47_bit5;
    int32_t byte9_bit1;
    int32_t byte7_bit2;
    int32_t byte47_bit6;
    uint8_t optional[5];  // byte 48 + i when bit i of byte 53 is set, else FF
    Cmd20Group groups[4];
    char text1[17];       // bytes 54..69
    char text2[17];       // bytes 70..85
};

struct Cmd22Reply {
    int32_t byte7;
    int32_t byte8;
    char text4[5];      // bytes 9..12
    char text8[9];      // bytes 13..20
    char texts[6][17];  // bytes 21 + 16j .. 36 + 16j
};

struct Cmd23Reply {
    int32_t byte7;
    int32_t byte8;
    int32_t byte9;
    char text[17];  // bytes 10..25
};

struct Cmd115Reply {
    int32_t state;  // byte 7: 0 0, 1 2, 2 3, 3 4, 4..11 1, 12 5, 13 1, 14 and above 4
};

struct Cmd118Reply {
    int32_t count;        // 1..128 words carried by the message
    uint16_t values[128]; // the first `count` from the message, the rest 0
};

// Decodes one complete message of `length` bytes into a new record, or null.
// Code 15 for a null message, 7 for a length of 0 or less, 16 for a message
// of no known family or an amp reply without a parser (and for a malformed
// command 34 reply), 14 when memory runs out, otherwise 0 (with or without a
// record, see above). `err` may be null.
AmpResponse* amp_response_decode(const uint8_t* message, int32_t length, int* err);

// True when the message is the amp's Universal Identity Reply: exactly 17
// bytes matching AMP_IDENTITY_REPLY_PATTERN, any software revision.
bool amp_is_identity_reply(const uint8_t* message, int32_t length);

// True when the message is framed as an amp SysEx message: at least 8 bytes,
// the amp's six-byte header, F7 last, and bit 7 clear from offset 1 to the
// byte before the F7.
bool amp_check_framing(const uint8_t* message, int32_t length);

#endif
