// The system platform on Windows: the winmm MIDI service itself. Our header
// record is laid out like MIDIHDR and our callback like the service's
// callback, so both are handed to winmm as they are.
#include "midi/platform.h"

#include <windows.h>
#include <mmsystem.h>

#include <cstddef>
#include <cstring>

static_assert(sizeof(MidiHeader) == sizeof(MIDIHDR), "header layout");
static_assert(offsetof(MidiHeader, dwBufferLength) == offsetof(MIDIHDR, dwBufferLength), "header layout");
static_assert(offsetof(MidiHeader, dwBytesRecorded) == offsetof(MIDIHDR, dwBytesRecorded), "header layout");
static_assert(offsetof(MidiHeader, dwFlags) == offsetof(MIDIHDR, dwFlags), "header layout");
static_assert(offsetof(MidiHeader, dwOffset) == offsetof(MIDIHDR, dwOffset), "header layout");
static_assert(MIDI_RES_STILL_PLAYING == MIDIERR_STILLPLAYING, "result codes");
static_assert(MIDI_MOM_DONE == MOM_DONE && MIDI_MIM_DATA == MIM_DATA && MIDI_MIM_LONGDATA == MIM_LONGDATA &&
                  MIDI_MIM_ERROR == MIM_ERROR && MIDI_MIM_LONGERROR == MIM_LONGERROR &&
                  MIDI_MIM_MOREDATA == MIM_MOREDATA,
              "callback messages");
static_assert(MIDI_HDR_PREPARED == MHDR_PREPARED && MIDI_HDR_DONE == MHDR_DONE, "header flags");

namespace {

MIDIHDR* hdr_of(MidiHeader* h) { return reinterpret_cast<MIDIHDR*>(h); }
HMIDIOUT out_of(MidiHandle h) { return static_cast<HMIDIOUT>(h); }
HMIDIIN in_of(MidiHandle h) { return static_cast<HMIDIIN>(h); }

uint32_t out_count() { return midiOutGetNumDevs(); }

// Device names are asked for in UTF-16 and handed on as UTF-8, so that a name
// in any letters reaches the window and back to the open as it is.
void name_of(const WCHAR* wide, char* dst) {
    if (!WideCharToMultiByte(CP_UTF8, 0, wide, -1, dst, int(MIDI_NAME_SIZE), nullptr, nullptr)) dst[0] = 0;
    dst[MIDI_NAME_SIZE - 1] = 0;
}

uint32_t out_caps(uint32_t dev, MidiDevCaps* caps) {
    MIDIOUTCAPSW c;
    MMRESULT r = midiOutGetDevCapsW(dev, &c, sizeof c);
    if (r != MMSYSERR_NOERROR) return r;
    name_of(c.szPname, caps->szPname);
    return MMSYSERR_NOERROR;
}

uint32_t out_open(MidiHandle* h, uint32_t dev, MidiCallback cb, uintptr_t instance) {
    HMIDIOUT o = nullptr;
    MMRESULT r = midiOutOpen(&o, dev, reinterpret_cast<DWORD_PTR>(cb), instance, CALLBACK_FUNCTION);
    if (r == MMSYSERR_NOERROR) *h = o;
    return r;
}

uint32_t out_prepare(MidiHandle h, MidiHeader* hdr) {
    return midiOutPrepareHeader(out_of(h), hdr_of(hdr), sizeof(MIDIHDR));
}
uint32_t out_long_msg(MidiHandle h, MidiHeader* hdr) {
    return midiOutLongMsg(out_of(h), hdr_of(hdr), sizeof(MIDIHDR));
}
uint32_t out_unprepare(MidiHandle h, MidiHeader* hdr) {
    return midiOutUnprepareHeader(out_of(h), hdr_of(hdr), sizeof(MIDIHDR));
}
uint32_t out_close(MidiHandle h) { return midiOutClose(out_of(h)); }

uint32_t in_count() { return midiInGetNumDevs(); }

uint32_t in_caps(uint32_t dev, MidiDevCaps* caps) {
    MIDIINCAPSW c;
    MMRESULT r = midiInGetDevCapsW(dev, &c, sizeof c);
    if (r != MMSYSERR_NOERROR) return r;
    name_of(c.szPname, caps->szPname);
    return MMSYSERR_NOERROR;
}

uint32_t in_open(MidiHandle* h, uint32_t dev, MidiCallback cb, uintptr_t instance) {
    HMIDIIN i = nullptr;
    MMRESULT r = midiInOpen(&i, dev, reinterpret_cast<DWORD_PTR>(cb), instance, CALLBACK_FUNCTION);
    if (r == MMSYSERR_NOERROR) *h = i;
    return r;
}

uint32_t in_prepare(MidiHandle h, MidiHeader* hdr) {
    return midiInPrepareHeader(in_of(h), hdr_of(hdr), sizeof(MIDIHDR));
}
uint32_t in_add_buffer(MidiHandle h, MidiHeader* hdr) {
    return midiInAddBuffer(in_of(h), hdr_of(hdr), sizeof(MIDIHDR));
}
uint32_t in_start(MidiHandle h) { return midiInStart(in_of(h)); }
uint32_t in_stop(MidiHandle h) { return midiInStop(in_of(h)); }
uint32_t in_reset(MidiHandle h) { return midiInReset(in_of(h)); }
uint32_t in_unprepare(MidiHandle h, MidiHeader* hdr) {
    return midiInUnprepareHeader(in_of(h), hdr_of(hdr), sizeof(MIDIHDR));
}
uint32_t in_close(MidiHandle h) { return midiInClose(in_of(h)); }

void pause_ms(uint32_t ms) { Sleep(ms); }

// Grouped like the table it fills.
const MidiPlatform kWinmm = {
    "winmm",
    out_count, out_caps, out_open, out_prepare, out_long_msg, out_unprepare, out_close,
    in_count, in_caps, in_open, in_prepare, in_add_buffer, in_start, in_stop, in_reset,
    in_unprepare, in_close,
    pause_ms,
    nullptr,  // winmm finishes a buffer once it has been sent
};

}  // namespace

const MidiPlatform* midi_system_platform() { return &kWinmm; }

// winmm names both halves of a device alike, which the ports' own same-name
// rule already covers.
bool midi_system_partner_input(const char*, char*, size_t) { return false; }
bool midi_system_reachable() { return true; }

// winmm says a device is allocated, never by whom; it is always there.
int midi_system_problem() { return MIDI_SYSTEM_FINE; }
bool midi_system_holder(const char*, bool, char*, size_t) { return false; }
