// Text from outside (the amp's version and names, file names, device and
// process names the system reports) made safe to show: a terminal or a
// window gets no control character from it, so no escape sequence and no
// line break that is not ours.
#ifndef ZP_UPDATE_SAFE_TEXT_H
#define ZP_UPDATE_SAFE_TEXT_H

#include <cstddef>

// Copies `raw` into `out` (`size` bytes, always terminated; what does not fit
// is cut at a character), writing each control character (00 to 1F, 7F, and
// the C1 controls U+0080 to U+009F) and each byte that is not part of valid
// UTF-8 as \xNN; everything else, other languages' letters included, stays
// as it is. A null `raw` gives "". Returns `out`.
const char* safe_text(const char* raw, char* out, size_t size);

// The same for `n` bytes that need not end in a NUL (a NUL among them is
// shown as \x00).
const char* safe_bytes(const char* raw, size_t n, char* out, size_t size);

#endif
