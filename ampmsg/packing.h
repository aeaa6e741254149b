// Seven-bit packing of 8-bit data for SysEx, and the split value codec.
//
// Group packing carries any bytes as groups of eight SysEx-safe bytes: a
// high-bit byte (bit 6 = bit 7 of data byte 1 ... bit 0 = bit 7 of data
// byte 7) followed by the seven data bytes with bit 7 cleared. A last group
// that is short of data is filled up with zero bytes.
//
// The split value carries 0..4095 as a 5-bit high part and a 7-bit low part
// in two separate bytes.
//
// Pure functions over caller-owned buffers: no allocation, no error codes,
// no capacity checks. A null buffer is treated as empty and writes nothing.
#ifndef ZP_AMPMSG_PACKING_H
#define ZP_AMPMSG_PACKING_H

#include <cstdint>

// Packs `length` bytes of `src` into `dst`, which must hold
// 8 * ceil(length / 7) bytes; returns that count.
uint32_t pack_seven_bit(uint8_t* dst, const uint8_t* src, uint32_t length);

// Unpacks the whole groups of `length` packed bytes into `dst`, which must
// hold 7 * floor(length / 8) bytes; returns that count. A trailing part-group
// is ignored, and so is bit 7 of every input byte.
uint32_t unpack_seven_bit(uint8_t* dst, const uint8_t* src, uint32_t length);

// Bits 7..11 of `value` (0..31).
int32_t split_value_high(int32_t value);

// Bits 0..6 of `value` (0..127).
int32_t split_value_low(int32_t value);

// The number 0..4095 made of `high` (low 5 bits used) and `low` (low 7 bits).
int32_t join_split_value(int32_t high, int32_t low);

#endif
