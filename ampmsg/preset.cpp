#include "ampmsg/preset.h"

#include <cstring>

#include "ampmsg/packing.h"

namespace {

// Indexed by slot, then by PresetSlotRole: the controller of that role.
// The slots are not evenly spaced, so this is a table, not arithmetic.
constexpr int32_t kSlotControllers[4][4] = {
    {46, 47, 48, 53},
    {61, 62, 63, 68},
    {69, 70, 71, 76},
    {77, 78, 79, 84},
};

constexpr int32_t kRowFirst = 41;
constexpr int32_t kRowLength = 5;
constexpr int32_t kSlotParams = 5;
constexpr int32_t kSlotKindMax = 4;

constexpr int32_t kSplitHigh = 88;
constexpr int32_t kSplitLow = 89;
constexpr int32_t kSplitMin = 280;
constexpr int32_t kSplitMax = 1704;
constexpr int32_t kSplitUnset = 1000;

constexpr int32_t kOffsetController = 91;
constexpr int32_t kOffset = 50;
constexpr int32_t kOffsetMin = -50;
constexpr int32_t kOffsetMax = 76;  // stored as 126: 127 stays free

bool valid_slot(int32_t s) { return s >= 0 && s < 4; }

}  // namespace

void preset_block_clear(uint8_t* block) {
    // Clearing nothing is harmless, so a null block is simply ignored.
    if (block) std::memset(block, PRESET_NO_VALUE, PRESET_BLOCK_SIZE);
}

int32_t preset_block_get_byte(const uint8_t* block, int32_t n) {
    if (!block || n < 0 || n >= PRESET_BLOCK_SIZE) return PRESET_NO_VALUE;
    return block[n];
}

int32_t preset_block_get_ranged(const uint8_t* block, int32_t n, int32_t low, int32_t high) {
    const int32_t b = preset_block_get_byte(block, n);
    return b >= low && b <= high ? b : low;
}

int32_t preset_block_get_switch(const uint8_t* block, int32_t n) {
    const int32_t b = preset_block_get_byte(block, n);
    return b != 0 && b != PRESET_NO_VALUE ? 1 : 0;
}

void preset_block_set_ranged(uint8_t* block, int32_t n, int32_t value, int32_t low, int32_t high) {
    if (!block || n < 0 || n >= PRESET_BLOCK_SIZE || value < low || value > high) return;
    // Whatever range a caller names, a value that does not fit a byte is never
    // truncated into one.
    if (value < 0 || value > 255) return;
    block[n] = static_cast<uint8_t>(value);
}

void preset_block_set_byte(uint8_t* block, int32_t n, int32_t value) {
    preset_block_set_ranged(block, n, value, 0, 127);
}

void preset_block_set_switch(uint8_t* block, int32_t n, int32_t on) {
    preset_block_set_byte(block, n, on != 0 ? 1 : 0);
}

#define PRESET_SWITCH(cc)                                                                     \
    int32_t preset_get_cc##cc(const uint8_t* block) { return preset_block_get_switch(block, cc); } \
    void preset_set_cc##cc(uint8_t* block, int32_t on) { preset_block_set_switch(block, cc, on); }

#define PRESET_BYTE(cc)                                                                      \
    int32_t preset_get_cc##cc(const uint8_t* block) { return preset_block_get_byte(block, cc); } \
    void preset_set_cc##cc(uint8_t* block, int32_t value) { preset_block_set_byte(block, cc, value); }

#define PRESET_RANGED(cc, high)                                                      \
    int32_t preset_get_cc##cc(const uint8_t* block) {                                \
        return preset_block_get_ranged(block, cc, 0, high);                          \
    }                                                                                \
    void preset_set_cc##cc(uint8_t* block, int32_t value) {                          \
        preset_block_set_ranged(block, cc, value, 0, high);                          \
    }

PRESET_SWITCH(2)
PRESET_SWITCH(3)
PRESET_SWITCH(13)
PRESET_SWITCH(40)

PRESET_BYTE(4)
PRESET_BYTE(5)
PRESET_BYTE(6)
PRESET_BYTE(7)
PRESET_BYTE(9)
PRESET_BYTE(12)
PRESET_BYTE(16)
PRESET_BYTE(17)
PRESET_BYTE(20)
PRESET_BYTE(21)
PRESET_BYTE(25)
PRESET_BYTE(29)
PRESET_BYTE(30)
PRESET_BYTE(32)
PRESET_BYTE(86)
PRESET_BYTE(92)
PRESET_BYTE(93)
PRESET_BYTE(94)
PRESET_BYTE(95)

PRESET_RANGED(10, 6)
PRESET_RANGED(15, 8)
PRESET_RANGED(18, 5)
PRESET_RANGED(19, 8)
PRESET_RANGED(22, 5)
PRESET_RANGED(26, 3)
PRESET_RANGED(33, 7)
PRESET_RANGED(90, 1)

#undef PRESET_SWITCH
#undef PRESET_BYTE
#undef PRESET_RANGED

int32_t preset_get_row(const uint8_t* block, int32_t i) {
    if (i < 0 || i >= kRowLength) return 0;
    return preset_block_get_byte(block, kRowFirst + i);
}

void preset_set_row(uint8_t* block, int32_t i, int32_t value) {
    if (i < 0 || i >= kRowLength) return;
    preset_block_set_byte(block, kRowFirst + i, value);
}

int32_t preset_slot_controller(int32_t s, int32_t role) {
    if (!valid_slot(s) || role < PRESET_SLOT_SWITCH || role > PRESET_SLOT_KIND) return -1;
    return kSlotControllers[s][role];
}

int32_t preset_get_slot_switch(const uint8_t* block, int32_t s) {
    if (!valid_slot(s)) return 0;
    return preset_block_get_switch(block, kSlotControllers[s][PRESET_SLOT_SWITCH]);
}

void preset_set_slot_switch(uint8_t* block, int32_t s, int32_t on) {
    if (!valid_slot(s)) return;
    preset_block_set_switch(block, kSlotControllers[s][PRESET_SLOT_SWITCH], on);
}

int32_t preset_get_slot_value(const uint8_t* block, int32_t s) {
    if (!valid_slot(s)) return 0;
    return preset_block_get_byte(block, kSlotControllers[s][PRESET_SLOT_VALUE]);
}

void preset_set_slot_value(uint8_t* block, int32_t s, int32_t value) {
    if (!valid_slot(s)) return;
    preset_block_set_byte(block, kSlotControllers[s][PRESET_SLOT_VALUE], value);
}

int32_t preset_get_slot_param(const uint8_t* block, int32_t s, int32_t j) {
    if (!valid_slot(s) || j < 0 || j >= kSlotParams) return 0;
    return preset_block_get_byte(block, kSlotControllers[s][PRESET_SLOT_PARAMS] + j);
}

void preset_set_slot_param(uint8_t* block, int32_t s, int32_t j, int32_t value) {
    if (!valid_slot(s) || j < 0 || j >= kSlotParams) return;
    preset_block_set_byte(block, kSlotControllers[s][PRESET_SLOT_PARAMS] + j, value);
}

int32_t preset_get_slot_kind(const uint8_t* block, int32_t s) {
    if (!valid_slot(s)) return 0;
    const int32_t b = preset_block_get_byte(block, kSlotControllers[s][PRESET_SLOT_KIND]);
    return b > kSlotKindMax ? 0 : b;
}

void preset_set_slot_kind(uint8_t* block, int32_t s, int32_t kind) {
    if (!valid_slot(s)) return;
    preset_block_set_ranged(block, kSlotControllers[s][PRESET_SLOT_KIND], kind, 0, kSlotKindMax);
}

int32_t preset_get_cc88_89(const uint8_t* block) {
    const int32_t v = join_split_value(preset_block_get_byte(block, kSplitHigh),
                                       preset_block_get_byte(block, kSplitLow));
    return v >= kSplitMin && v <= kSplitMax ? v : kSplitUnset;
}

void preset_set_cc88_89(uint8_t* block, int32_t value) {
    if (value < kSplitMin || value > kSplitMax) return;
    preset_block_set_byte(block, kSplitHigh, split_value_high(value));
    preset_block_set_byte(block, kSplitLow, split_value_low(value));
}

int32_t preset_get_cc91(const uint8_t* block) {
    const int32_t b = preset_block_get_byte(block, kOffsetController);
    return b == PRESET_NO_VALUE ? 0 : b - kOffset;
}

void preset_set_cc91(uint8_t* block, int32_t value) {
    if (!block || value < kOffsetMin || value > kOffsetMax) return;
    block[kOffsetController] = static_cast<uint8_t>(value + kOffset);
}
