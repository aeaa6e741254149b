#include "update/amp_choice.h"

#include "midi/midi_in.h"
#include "midi/midi_out.h"

#include <cstring>

namespace {

// Walks `count` devices named by `name_of` through the rule; the choice goes
// into dst. Names that do not fit are passed over.
bool pick(int count, const char* (*name_of)(int), char* dst, size_t n, bool first_if_none) {
    if (!dst || n == 0) return false;
    dst[0] = '\0';
    int listed = 0;
    for (int i = 0; i < count; i++) {
        const char* name = name_of(i);
        if (!name || std::strlen(name) >= n) continue;
        bool takes = first_if_none ? amp_choice_takes(name, listed) : amp_like_name(name);
        if (takes) std::memcpy(dst, name, std::strlen(name) + 1);
        listed++;
    }
    return dst[0] != '\0';
}

}  // namespace

bool amp_like_name(const char* name) {
    if (name == nullptr) return false;
    for (const char* pattern : AMP_NAME_PATTERNS)
        if (std::strstr(name, pattern) != nullptr) return true;
    return false;
}

bool amp_choice_takes(const char* name, int index) { return index == 0 || amp_like_name(name); }

bool amp_pick_output(char* dst, size_t n) {
    return pick(midi_out_device_count(), midi_out_device_name, dst, n, true);
}

bool amp_pick_input(char* dst, size_t n, bool first_if_none) {
    return pick(midi_in_device_count(), midi_in_device_name, dst, n, first_if_none);
}
