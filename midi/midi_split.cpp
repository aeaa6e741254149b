#include "midi/midi_split.h"

#include <cstring>

namespace {

// Length of a short message with its status byte, indexed by the status byte's
// high four bits; the 0xF row is decided by kSystemLength.
const uint8_t kChannelLength[16] = {0, 0, 0, 0, 0, 0, 0, 0, 3, 3, 3, 3, 2, 2, 3, 0};

// Length of a system message, indexed by the low four bits of its status byte;
// F0 and F7 frame SysEx and are handled apart.
const uint8_t kSystemLength[16] = {0, 2, 3, 2, 1, 1, 1, 0, 1, 1, 1, 1, 1, 1, 1, 1};

}  // namespace

void splitter_init(MidiSplitter* s) { std::memset(s, 0, sizeof *s); }

bool splitter_feed(MidiSplitter* s, uint8_t b, const uint8_t** msg, uint32_t* len) {
    if (b >= 0xF8) {  // real-time: a message of its own, anywhere
        s->shortm[2] = b;
        *msg = &s->shortm[2];
        *len = 1;
        return true;
    }
    if (b == 0xF0) {
        if (s->in_sysex) s->dropped++;  // the last one never ended
        s->in_sysex = true;
        s->sysex_overflow = false;
        s->sysex[0] = b;
        s->sysex_len = 1;
        if (s->short_len) s->dropped++;
        s->short_len = 0;
        return false;
    }
    if (b == 0xF7) {
        if (!s->in_sysex) {
            s->dropped++;
            return false;
        }
        s->in_sysex = false;
        if (s->sysex_overflow || s->sysex_len >= MIDI_SPLIT_MAX) {
            s->dropped++;
            return false;
        }
        s->sysex[s->sysex_len++] = b;
        *msg = s->sysex;
        *len = s->sysex_len;
        return true;
    }
    if (b >= 0x80) {
        if (s->short_len) s->dropped++;  // cut short
        s->shortm[0] = b;
        s->short_len = 1;
        s->short_need = b >= 0xF0 ? kSystemLength[b & 0x0F] : kChannelLength[b >> 4];
    } else if (s->short_len) {
        s->shortm[s->short_len++] = b;
    } else if (s->in_sysex) {
        if (s->sysex_len < MIDI_SPLIT_MAX)
            s->sysex[s->sysex_len++] = b;
        else
            s->sysex_overflow = true;
        return false;
    } else {
        s->dropped++;
        return false;
    }
    if (s->short_len < s->short_need) return false;
    *msg = s->shortm;
    *len = s->short_len;
    s->short_len = 0;
    return true;
}
