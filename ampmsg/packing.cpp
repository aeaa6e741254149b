#include "ampmsg/packing.h"

uint32_t pack_seven_bit(uint8_t* dst, const uint8_t* src, uint32_t length) {
    if (!dst || !src) return 0;
    uint32_t written = 0;
    uint32_t n = length;
    while (n != 0) {
        const uint32_t count = n < 7 ? n : 7;
        uint8_t high = 0;
        uint8_t mask = 0x40;
        for (uint32_t i = 0; i < 7; ++i) {
            uint8_t v = i < count ? src[i] : 0;
            if (v & 0x80) {
                high |= mask;
                v &= 0x7F;
            }
            dst[written + 1 + i] = v;
            mask >>= 1;
        }
        dst[written] = high;
        written += 8;
        src += count;
        n -= count;
    }
    return written;
}

uint32_t unpack_seven_bit(uint8_t* dst, const uint8_t* src, uint32_t length) {
    if (!dst || !src) return 0;
    uint32_t written = 0;
    for (uint32_t n = length; n > 7; n -= 8, src += 8) {
        uint8_t high = src[0];
        for (int i = 1; i <= 7; ++i) {
            high = static_cast<uint8_t>(high << 1);
            dst[written++] = static_cast<uint8_t>((high & 0x80) | (src[i] & 0x7F));
        }
    }
    return written;
}

int32_t split_value_high(int32_t value) { return (value >> 7) & 31; }

int32_t split_value_low(int32_t value) { return value & 127; }

int32_t join_split_value(int32_t high, int32_t low) { return ((high & 31) << 7) | (low & 127); }
