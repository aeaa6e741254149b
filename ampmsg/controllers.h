// The amp's controller-change parameters: the map from controller number to
// the kind of value it carries, and the codecs between a parameter value and
// the three-byte controller-change message (B0, controller, data byte).
//
// Single parameter values travel as controller changes on MIDI channel 1. The
// same controller numbers index the bytes of a PresetBlock. Values on the
// caller's side are signed 32-bit integers in the parameter's own range; on
// the wire they are 7-bit bytes.
//
// amp_cc_decode and amp_cc_encode report through their own small table of
// codes (AmpCcError), not the message library's; the out-parameter may be
// null. Nothing here allocates or keeps state.
#ifndef ZP_AMPMSG_CONTROLLERS_H
#define ZP_AMPMSG_CONTROLLERS_H

#include <cstdint>

// Turns a wire byte (treated as unsigned) into a value. True and the value
// written, or false with the destination left alone.
using AmpCcDecoder = bool (*)(int32_t* value, uint8_t wire);

// Turns a value into a wire byte. True and the byte written, or false. On a
// rejected value the range and offset-50 encoders write 0, the split encoders
// leave the destination alone; the switch and trigger encoders never reject.
using AmpCcEncoder = bool (*)(uint8_t* wire, int32_t value);

// One entry of the controller map, as filled by amp_cc_lookup. A null decoder
// or encoder means the controller has no codec for that direction.
struct ControllerCodec {
    uint32_t controller;
    AmpCcDecoder decoder;
    AmpCcEncoder encoder;
};

// A decoded controller change: the controller number and its value (which
// may be negative for the signed parameters).
struct ControllerValue {
    int32_t controller;
    int32_t value;
};

// Result codes of amp_cc_decode and amp_cc_encode.
enum AmpCcError {
    AMP_CC_OK = 0,
    AMP_CC_NOT_MAPPED = 1,     // the controller number is not in the map
    AMP_CC_BIT7 = 2,           // controller or value byte has bit 7 set (decode)
    AMP_CC_OUT_OF_RANGE = 3,   // the codec rejected the value
    AMP_CC_NO_CODEC = 4,       // mapped, but nothing for this direction
    AMP_CC_NULL_POINTER = 5,   // message or result pointer is null
    AMP_CC_BAD_STATUS = 6,     // status byte is not B0 (decode)
};

// Highest controller number the map knows; every number above it is unmapped.
constexpr uint32_t AMP_CC_MAX_MAPPED = 122;

// The controller-change status on MIDI channel 1.
constexpr uint8_t AMP_CC_STATUS = 0xB0;

// Fills `entry` (when not null) with the controller number and its two codecs,
// both null for an unmapped number. True when at least one codec exists.
bool amp_cc_lookup(ControllerCodec* entry, uint32_t controller);

// Decodes the three bytes at `message` into `result`. Checks in order: a null
// pointer (AMP_CC_NULL_POINTER), status not B0 (AMP_CC_BAD_STATUS), bit 7 set
// in byte 1 or 2 (AMP_CC_BIT7), an unmapped controller (AMP_CC_NOT_MAPPED),
// no decoder (AMP_CC_NO_CODEC), the value rejected (AMP_CC_OUT_OF_RANGE).
// `result` is written only on success (AMP_CC_OK).
void amp_cc_decode(const uint8_t* message, ControllerValue* result, int* err);

// Encodes `value` for `controller` into the three bytes at `message`. Checks in
// order: a null message (AMP_CC_NULL_POINTER), an unmapped controller,
// negative numbers included (AMP_CC_NOT_MAPPED), no encoder (AMP_CC_NO_CODEC),
// the value rejected (AMP_CC_OUT_OF_RANGE). `message` is written only on
// success.
void amp_cc_encode(int32_t controller, int32_t value, uint8_t* message, int* err);

// True for any controller-change status byte (high nibble B, any channel).
bool amp_is_cc_status(uint8_t byte);

#endif
