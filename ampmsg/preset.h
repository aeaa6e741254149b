// The preset data block: 128 bytes indexed by controller number, each the
// controller's value 0..127, or 255 when the block holds no value for it.
//
// Getters always return a number (a fixed reading for 255, for a value out of
// the parameter's range, or for a null block); setters store a value only
// when it lies in the parameter's range and otherwise change nothing. None of
// them allocates or reports errors.
#ifndef ZP_AMPMSG_PRESET_H
#define ZP_AMPMSG_PRESET_H

#include <cstdint>

inline constexpr int PRESET_BLOCK_SIZE = 128;
inline constexpr uint8_t PRESET_NO_VALUE = 255;

// A plain array owned by the caller; operations take a pointer to its first byte.
typedef uint8_t PresetBlock[PRESET_BLOCK_SIZE];

// Generic operations. `n` is a controller number; out-of-range numbers and a
// null block read as a byte of 255 and are never written.

// Fills all 128 bytes with 255. A null block is accepted and left alone.
void preset_block_clear(uint8_t* block);
// The byte at n (0..255); 255 for a null block or n outside 0..127.
int32_t preset_block_get_byte(const uint8_t* block, int32_t n);
// The byte at n when it lies in low..high, otherwise low.
int32_t preset_block_get_ranged(const uint8_t* block, int32_t n, int32_t low, int32_t high);
// 1 when the byte at n is neither 0 nor 255, otherwise 0.
int32_t preset_block_get_switch(const uint8_t* block, int32_t n);
// Stores value at n when it lies in low..high (and fits a byte); otherwise
// changes nothing.
void preset_block_set_ranged(uint8_t* block, int32_t n, int32_t value, int32_t low, int32_t high);
// preset_block_set_ranged with the range 0..127.
void preset_block_set_byte(uint8_t* block, int32_t n, int32_t value);
// Stores 1 when `on` is non-zero, else 0.
void preset_block_set_switch(uint8_t* block, int32_t n, int32_t on);

// Switches (0 or 1; 0 when unset).
int32_t preset_get_cc2(const uint8_t* block);
int32_t preset_get_cc3(const uint8_t* block);
int32_t preset_get_cc13(const uint8_t* block);
int32_t preset_get_cc40(const uint8_t* block);
void preset_set_cc2(uint8_t* block, int32_t on);
void preset_set_cc3(uint8_t* block, int32_t on);
void preset_set_cc13(uint8_t* block, int32_t on);
void preset_set_cc40(uint8_t* block, int32_t on);

// Plain values 0..127 (255 when unset).
int32_t preset_get_cc4(const uint8_t* block);
int32_t preset_get_cc5(const uint8_t* block);
int32_t preset_get_cc6(const uint8_t* block);
int32_t preset_get_cc7(const uint8_t* block);
int32_t preset_get_cc9(const uint8_t* block);
int32_t preset_get_cc12(const uint8_t* block);
int32_t preset_get_cc16(const uint8_t* block);
int32_t preset_get_cc17(const uint8_t* block);
int32_t preset_get_cc20(const uint8_t* block);
int32_t preset_get_cc21(const uint8_t* block);
int32_t preset_get_cc25(const uint8_t* block);
int32_t preset_get_cc29(const uint8_t* block);
int32_t preset_get_cc30(const uint8_t* block);
int32_t preset_get_cc32(const uint8_t* block);
int32_t preset_get_cc86(const uint8_t* block);
int32_t preset_get_cc92(const uint8_t* block);
int32_t preset_get_cc93(const uint8_t* block);
int32_t preset_get_cc94(const uint8_t* block);
int32_t preset_get_cc95(const uint8_t* block);
void preset_set_cc4(uint8_t* block, int32_t value);
void preset_set_cc5(uint8_t* block, int32_t value);
void preset_set_cc6(uint8_t* block, int32_t value);
void preset_set_cc7(uint8_t* block, int32_t value);
void preset_set_cc9(uint8_t* block, int32_t value);
void preset_set_cc12(uint8_t* block, int32_t value);
void preset_set_cc16(uint8_t* block, int32_t value);
void preset_set_cc17(uint8_t* block, int32_t value);
void preset_set_cc20(uint8_t* block, int32_t value);
void preset_set_cc21(uint8_t* block, int32_t value);
void preset_set_cc25(uint8_t* block, int32_t value);
void preset_set_cc29(uint8_t* block, int32_t value);
void preset_set_cc30(uint8_t* block, int32_t value);
void preset_set_cc32(uint8_t* block, int32_t value);
void preset_set_cc86(uint8_t* block, int32_t value);
void preset_set_cc92(uint8_t* block, int32_t value);
void preset_set_cc93(uint8_t* block, int32_t value);
void preset_set_cc94(uint8_t* block, int32_t value);
void preset_set_cc95(uint8_t* block, int32_t value);

// Small ranges 0..N (0 when unset or out of range): cc10 0..6, cc15 0..8,
// cc18 0..5, cc19 0..8, cc22 0..5, cc26 0..3, cc33 0..7, cc90 0..1.
int32_t preset_get_cc10(const uint8_t* block);
int32_t preset_get_cc15(const uint8_t* block);
int32_t preset_get_cc18(const uint8_t* block);
int32_t preset_get_cc19(const uint8_t* block);
int32_t preset_get_cc22(const uint8_t* block);
int32_t preset_get_cc26(const uint8_t* block);
int32_t preset_get_cc33(const uint8_t* block);
int32_t preset_get_cc90(const uint8_t* block);
void preset_set_cc10(uint8_t* block, int32_t value);
void preset_set_cc15(uint8_t* block, int32_t value);
void preset_set_cc18(uint8_t* block, int32_t value);
void preset_set_cc19(uint8_t* block, int32_t value);
void preset_set_cc22(uint8_t* block, int32_t value);
void preset_set_cc26(uint8_t* block, int32_t value);
void preset_set_cc33(uint8_t* block, int32_t value);
void preset_set_cc90(uint8_t* block, int32_t value);

// The row of five values at controllers 41..45, index i 0..4. An index
// outside 0..4 reads 0 and writes nothing.
int32_t preset_get_row(const uint8_t* block, int32_t i);
void preset_set_row(uint8_t* block, int32_t i, int32_t value);

// The four slots (s 0..3), each a switch, a value, five parameters (j 0..4)
// and a kind 0..4, at the controllers of the slot table. A slot or parameter
// index out of range reads 0 and writes nothing.
int32_t preset_slot_controller(int32_t s, int32_t role);  // see PresetSlotRole; -1 if none
int32_t preset_get_slot_switch(const uint8_t* block, int32_t s);
void preset_set_slot_switch(uint8_t* block, int32_t s, int32_t on);
int32_t preset_get_slot_value(const uint8_t* block, int32_t s);
void preset_set_slot_value(uint8_t* block, int32_t s, int32_t value);
int32_t preset_get_slot_param(const uint8_t* block, int32_t s, int32_t j);
void preset_set_slot_param(uint8_t* block, int32_t s, int32_t j, int32_t value);
// The kind byte, or 0 when it is above 4 (255 included).
int32_t preset_get_slot_kind(const uint8_t* block, int32_t s);
void preset_set_slot_kind(uint8_t* block, int32_t s, int32_t kind);

// Roles of a slot, the column index of the slot table.
enum PresetSlotRole {
    PRESET_SLOT_SWITCH = 0,
    PRESET_SLOT_VALUE = 1,
    PRESET_SLOT_PARAMS = 2,  // first of five consecutive controllers
    PRESET_SLOT_KIND = 3,
};

// One number 280..1704 split over controllers 88 (high part) and 89 (low
// part). Reads 1000 when the joined bytes fall outside 280..1704; the setter
// ignores values outside that range.
int32_t preset_get_cc88_89(const uint8_t* block);
void preset_set_cc88_89(uint8_t* block, int32_t value);

// A signed number -50..76 stored at controller 91 as value + 50. Reads 0
// when unset; any other byte b reads b - 50.
int32_t preset_get_cc91(const uint8_t* block);
void preset_set_cc91(uint8_t* block, int32_t value);

#endif
