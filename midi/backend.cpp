#include "midi/backend.h"

#include <ctime>

uint32_t midi_header_prepare(MidiHeader* hdr, bool input) {
    if (!hdr || !hdr->lpData || (input && hdr->dwBufferLength == 0)) return MIDI_RES_INVALID_PARAM;
    hdr->dwFlags |= MIDI_HDR_PREPARED;
    return MIDI_RES_OK;
}

uint32_t midi_header_check(const MidiHeader* hdr) {
    return hdr && (hdr->dwFlags & MIDI_HDR_PREPARED) ? MIDI_RES_OK : MIDI_RES_UNPREPARED;
}

void midi_header_queued(MidiHeader* hdr) { hdr->dwFlags = (hdr->dwFlags & ~MIDI_HDR_DONE) | MIDI_HDR_INQUEUE; }

void midi_header_returned(MidiHeader* hdr) { hdr->dwFlags = (hdr->dwFlags & ~MIDI_HDR_INQUEUE) | MIDI_HDR_DONE; }

uint32_t midi_header_unprepare(MidiHeader* hdr, bool held, bool lost) {
    if (!hdr) return MIDI_RES_INVALID_PARAM;
    if (held) return MIDI_RES_STILL_PLAYING;
    hdr->dwFlags &= ~(MIDI_HDR_PREPARED | MIDI_HDR_INQUEUE);
    hdr->dwFlags |= MIDI_HDR_DONE;
    if (lost) hdr->dwFlags |= MIDI_HDR_FAILED;
    return MIDI_RES_OK;
}

void midi_backend_pause_ms(uint32_t ms) {
    timespec ts;
    ts.tv_sec = ms / 1000;
    ts.tv_nsec = long(ms % 1000) * 1000000L;
    while (nanosleep(&ts, &ts) != 0) {
    }
}
