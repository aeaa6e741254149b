#include "update/safe_text.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

// Length of the valid UTF-8 sequence at `p` (n bytes left), 0 when there is
// none; *cp gets its code point.
size_t utf8_length(const unsigned char* p, size_t n, uint32_t* cp) {
    unsigned char b = p[0];
    size_t len;
    uint32_t c, min;
    if (b >= 0xC2 && b <= 0xDF) {
        len = 2, c = b & 0x1F, min = 0x80;
    } else if (b >= 0xE0 && b <= 0xEF) {
        len = 3, c = b & 0x0F, min = 0x800;
    } else if (b >= 0xF0 && b <= 0xF4) {
        len = 4, c = b & 0x07, min = 0x10000;
    } else {
        return 0;
    }
    if (n < len) return 0;
    for (size_t i = 1; i < len; i++) {
        if ((p[i] & 0xC0) != 0x80) return 0;
        c = (c << 6) | (p[i] & 0x3F);
    }
    if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return 0;
    *cp = c;
    return len;
}

}  // namespace

const char* safe_bytes(const char* raw, size_t n, char* out, size_t size) {
    if (!out || size == 0) return out;
    size_t o = 0;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(raw ? raw : "");
    if (!raw) n = 0;
    for (size_t i = 0; i < n;) {
        uint32_t cp = 0;
        size_t len = p[i] >= 0x20 && p[i] < 0x7F ? 1 : p[i] >= 0x80 ? utf8_length(p + i, n - i, &cp) : 0;
        if (len > 0 && !(cp >= 0x80 && cp <= 0x9F)) {
            if (o + len >= size) break;
            std::memcpy(out + o, p + i, len);
            o += len;
            i += len;
            continue;
        }
        // A control character, or a byte of no character: shown, never sent.
        size_t esc = len > 0 ? len : 1;
        if (o + 4 * esc >= size) break;
        for (size_t k = 0; k < esc; k++) {
            std::snprintf(out + o, 5, "\\x%02X", p[i + k]);
            o += 4;
        }
        i += esc;
    }
    out[o] = '\0';
    return out;
}

const char* safe_text(const char* raw, char* out, size_t size) {
    return safe_bytes(raw, raw ? std::strlen(raw) : 0, out, size);
}
