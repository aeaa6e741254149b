#include "ampmsg/controllers.h"

#include "ampmsg/packing.h"

namespace {

void set_err(int* err, int code) {
    if (err) *err = code;
}

// ---- Value codecs -------------------------------------------------------

// Range 0..N: the wire byte is the value itself.
template <int N>
bool decode_range(int32_t* value, uint8_t wire) {
    if (wire > N) return false;
    *value = wire;
    return true;
}

template <int N>
bool encode_range(uint8_t* wire, int32_t value) {
    if (value < 0 || value > N) {
        *wire = 0;
        return false;
    }
    *wire = static_cast<uint8_t>(value);
    return true;
}

// Switch: the upper half of the 7-bit range is on.
bool decode_switch(int32_t* value, uint8_t wire) {
    if (wire & 0x80) return false;
    *value = wire >= 64 ? 1 : 0;
    return true;
}

bool encode_switch(uint8_t* wire, int32_t value) {
    *wire = value != 0 ? 127 : 0;
    return true;
}

// Signed parameters carried with an offset so that the wire byte stays 0..127.
bool decode_offset64(int32_t* value, uint8_t wire) {
    if (wire & 0x80) return false;
    *value = static_cast<int32_t>(wire) - 64;
    return true;
}

bool decode_offset50(int32_t* value, uint8_t wire) {
    if (wire & 0x80) return false;
    *value = static_cast<int32_t>(wire) - 50;
    return true;
}

bool encode_offset50(uint8_t* wire, int32_t value) {
    if (value < -50 || value > 77) {
        *wire = 0;
        return false;
    }
    *wire = static_cast<uint8_t>(value + 50);
    return true;
}

// Trigger: the message itself is the event; its data byte is always 0.
bool encode_trigger(uint8_t* wire, int32_t) {
    *wire = 0;
    return true;
}

// Controllers 88 and 89 carry one number of 280..1704 as a split value: 88
// the high part, 89 the low part. Decoding gives the raw part; joining the two
// is left to the caller, since each message arrives by itself.
constexpr int32_t kSplitLowest = 280;
constexpr int32_t kSplitHighest = 1704;

bool encode_split_high(uint8_t* wire, int32_t value) {
    if (value < kSplitLowest || value > kSplitHighest) return false;
    *wire = static_cast<uint8_t>(split_value_high(value));
    return true;
}

bool encode_split_low(uint8_t* wire, int32_t value) {
    if (value < kSplitLowest || value > kSplitHighest) return false;
    *wire = static_cast<uint8_t>(split_value_low(value));
    return true;
}

// ---- The controller map -------------------------------------------------

struct CcEntry {
    AmpCcDecoder decoder;
    AmpCcEncoder encoder;
};

constexpr CcEntry kNone = {nullptr, nullptr};
constexpr CcEntry kSwitch = {decode_switch, encode_switch};
constexpr CcEntry kByte = {decode_range<127>, encode_range<127>};
constexpr CcEntry kReadOnlyByte = {decode_range<127>, nullptr};

// Indexed by controller number 0..122; an entry with both codecs null is unmapped.
constexpr CcEntry kCcMap[AMP_CC_MAX_MAPPED + 1] = {
    kNone, kNone, kSwitch, kSwitch,                      // 0..3
    kByte, kByte, kByte, kByte,                          // 4..7
    {nullptr, encode_trigger},                           // 8
    kByte,                                               // 9
    {decode_range<6>, encode_range<6>},                  // 10
    kSwitch, kByte, kSwitch, kNone,                      // 11..14
    {decode_range<8>, encode_range<8>},                  // 15
    kByte, kByte,                                        // 16, 17
    {decode_range<5>, encode_range<5>},                  // 18
    {decode_range<8>, encode_range<8>},                  // 19
    kByte, kByte,                                        // 20, 21
    {decode_range<5>, encode_range<5>},                  // 22
    kByte,                                               // 23
    {nullptr, encode_range<3>},                          // 24
    kByte,                                               // 25
    {decode_range<3>, encode_range<3>},                  // 26
    kByte, kByte, kByte, kByte,                          // 27..30
    {decode_range<127>, encode_range<31>},               // 31
    kByte,                                               // 32
    {decode_range<7>, encode_range<7>},                  // 33
    kNone, kNone, kNone, kNone, kNone, kNone,            // 34..39
    kSwitch,                                             // 40
    kByte, kByte, kByte, kByte, kByte,                   // 41..45
    // Four slot groups of one shape: switch, six values, a kind of 0..4.
    kSwitch, kByte, kByte, kByte, kByte, kByte, kByte,   // 46..52
    {decode_range<4>, encode_range<4>},                  // 53
    {decode_range<12>, nullptr},                         // 54
    {decode_offset64, nullptr},                          // 55
    kSwitch, kSwitch, kNone, kSwitch, kNone,             // 56..60
    kSwitch, kByte, kByte, kByte, kByte, kByte, kByte,   // 61..67
    {decode_range<4>, encode_range<4>},                  // 68
    kSwitch, kByte, kByte, kByte, kByte, kByte, kByte,   // 69..75
    {decode_range<4>, encode_range<4>},                  // 76
    kSwitch, kByte, kByte, kByte, kByte, kByte, kByte,   // 77..83
    {decode_range<4>, encode_range<4>},                  // 84
    kByte, kByte, kByte,                                 // 85..87
    {decode_range<31>, encode_split_high},               // 88
    {decode_range<127>, encode_split_low},               // 89
    {decode_range<1>, encode_range<1>},                  // 90
    {decode_offset50, encode_offset50},                  // 91
    kByte, kByte, kByte, kByte,                          // 92..95
    kReadOnlyByte, kReadOnlyByte, kReadOnlyByte,         // 96..98
    kReadOnlyByte, kReadOnlyByte, kReadOnlyByte,         // 99..101
    kReadOnlyByte, kReadOnlyByte, kReadOnlyByte,         // 102..104
    kReadOnlyByte,                                       // 105
    kSwitch, kSwitch, kSwitch, kSwitch,                  // 106..109
    kNone, kNone,                                        // 110, 111
    kReadOnlyByte, kReadOnlyByte, kReadOnlyByte,         // 112..114
    kReadOnlyByte, kReadOnlyByte, kReadOnlyByte,         // 115..117
    kReadOnlyByte, kReadOnlyByte, kReadOnlyByte,         // 118..120
    kReadOnlyByte, kReadOnlyByte,                        // 121, 122
};

static_assert(sizeof(kCcMap) / sizeof(kCcMap[0]) == AMP_CC_MAX_MAPPED + 1,
              "the controller map covers 0..122 exactly");

}  // namespace

bool amp_cc_lookup(ControllerCodec* entry, uint32_t controller) {
    CcEntry found = controller <= AMP_CC_MAX_MAPPED ? kCcMap[controller] : kNone;
    if (entry) {
        entry->controller = controller;
        entry->decoder = found.decoder;
        entry->encoder = found.encoder;
    }
    return found.decoder != nullptr || found.encoder != nullptr;
}

void amp_cc_decode(const uint8_t* message, ControllerValue* result, int* err) {
    if (!message || !result) return set_err(err, AMP_CC_NULL_POINTER);
    if (message[0] != AMP_CC_STATUS) return set_err(err, AMP_CC_BAD_STATUS);
    if ((message[1] & 0x80) || (message[2] & 0x80)) return set_err(err, AMP_CC_BIT7);

    ControllerCodec codec;
    if (!amp_cc_lookup(&codec, message[1])) return set_err(err, AMP_CC_NOT_MAPPED);
    if (!codec.decoder) return set_err(err, AMP_CC_NO_CODEC);
    int32_t value = 0;
    if (!codec.decoder(&value, message[2])) return set_err(err, AMP_CC_OUT_OF_RANGE);

    result->controller = message[1];
    result->value = value;
    set_err(err, AMP_CC_OK);
}

void amp_cc_encode(int32_t controller, int32_t value, uint8_t* message, int* err) {
    if (!message) return set_err(err, AMP_CC_NULL_POINTER);

    // A negative number becomes a large unsigned one, which the map lacks.
    ControllerCodec codec;
    if (!amp_cc_lookup(&codec, static_cast<uint32_t>(controller)))
        return set_err(err, AMP_CC_NOT_MAPPED);
    if (!codec.encoder) return set_err(err, AMP_CC_NO_CODEC);
    uint8_t wire = 0;
    if (!codec.encoder(&wire, value)) return set_err(err, AMP_CC_OUT_OF_RANGE);

    message[0] = AMP_CC_STATUS;
    message[1] = static_cast<uint8_t>(controller & 0xFF);
    message[2] = wire;
    set_err(err, AMP_CC_OK);
}

bool amp_is_cc_status(uint8_t byte) { return (byte & 0xF0) == 0xB0; }
