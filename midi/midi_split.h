// Cutting the bytes an input port delivers into whole MIDI messages, for
// everything that listens to the amp (the wizard's answer, ampctl).
#ifndef ZP_MIDI_MIDI_SPLIT_H
#define ZP_MIDI_MIDI_SPLIT_H

#include <cstdint>

constexpr uint32_t MIDI_SPLIT_MAX = 4096;  // longer SysEx messages are dropped

// Cuts the bytes read from an input port into whole messages. The port stores
// short messages the moment they arrive but SysEx data only when it is read,
// so a short message can sit between two parts of a SysEx message; it is taken
// out whole and the SysEx goes on around it.
struct MidiSplitter {
    uint8_t sysex[MIDI_SPLIT_MAX];
    uint32_t sysex_len;
    bool in_sysex;
    bool sysex_overflow;  // the current SysEx outgrew the buffer
    uint8_t shortm[3];
    uint32_t short_len;
    uint32_t short_need;
    uint32_t dropped;  // SysEx messages cut short or too long, and stray bytes
};

void splitter_init(MidiSplitter* s);

// Takes one byte. When it completes a message, points *msg at it (valid until
// the next call), sets *len and returns true.
bool splitter_feed(MidiSplitter* s, uint8_t b, const uint8_t** msg, uint32_t* len);

#endif
