// The platform MIDI layer: the handful of MIDI service operations that the
// output and input ports need, shaped like the Windows multimedia calls so the
// ports read the same on every platform. Internal: never installed.
//
// The ports reach the platform only through midi_platform(), which tests may
// point at a scripted double. On Windows the system's platform is winmm
// itself (midi/winmm/); on Linux it is the backends of one table
// (midi/backend.h, midi/linux_platform.cpp), each in a folder of its own
// (midi/jack/, midi/alsa/).
//
// Results are winmm result codes (MIDI_RES_*): MIDI_RES_OK is success,
// MIDI_RES_STILL_PLAYING means the driver still holds a buffer. Callbacks run
// on a thread of the platform's own and receive the handle, a message code,
// the instance data given at open and two message parameters.
//
// Adding a backend (a row of the table in midi/linux_platform.cpp, or a
// platform of its own):
// - Required: every operation of MidiPlatform but out_progress. A side the
//   backend does not offer answers a count of 0, and MIDI_RES_BAD_DEVICE to
//   caps and open; then its other operations are never called.
// - Optional: out_progress (null: a finished buffer has gone, and no estimate
//   of when the driver is ready); in the table, partner_input and holder.
// - Every handle begins with a MidiBackendHandle naming the backend's table.
// - Headers follow the rules of midi/backend.h (midi_header_*): prepared
//   before use, queued while the driver has them, done when given back,
//   MIDI_RES_STILL_PLAYING from unprepare while still held. A buffer the
//   device did not take whole is marked MIDI_HDR_FAILED at unprepare: the
//   port then fails rather than counting lost bytes as sent.
// - Output: out_long_msg returns at once; MIDI_MOM_DONE follows, on the
//   backend's thread, once every byte has gone (or, with out_progress, once
//   the driver holds them and out_progress counts them until they go). One
//   buffer at a time: a second out_long_msg before its done is
//   MIDI_RES_NOT_READY.
// - Input: added buffers are filled in the order added and come back through
//   MIDI_MIM_LONGDATA (MIDI_MIM_LONGERROR for bad data) with dwBytesRecorded
//   set; short messages come as MIDI_MIM_DATA, status byte lowest. in_reset
//   gives back every buffer still held; in_close returns
//   MIDI_RES_STILL_PLAYING while buffers are held.
// - Callbacks never block: the driver's thread may be a real-time one.
// - The probe, partner and holder rules never block, and never open a device
//   (a probe that opened the amp's device would take it from its owner).
#ifndef ZP_MIDI_PLATFORM_H
#define ZP_MIDI_PLATFORM_H

#include <cstddef>
#include <cstdint>

#if defined(_WIN32) && !defined(_WIN64)
#define ZP_MIDI_CALLBACK __stdcall
#else
#define ZP_MIDI_CALLBACK
#endif

// Result codes (the winmm values).
enum : uint32_t {
    MIDI_RES_OK = 0,
    MIDI_RES_ERROR = 1,            // unspecified failure
    MIDI_RES_BAD_DEVICE = 2,       // device number out of range
    MIDI_RES_ALLOCATED = 4,        // device already in use
    MIDI_RES_INVALID_HANDLE = 5,
    MIDI_RES_NO_DRIVER = 6,
    MIDI_RES_NO_MEMORY = 7,
    MIDI_RES_INVALID_PARAM = 11,
    MIDI_RES_UNPREPARED = 64,      // header not prepared
    MIDI_RES_STILL_PLAYING = 65,   // the driver still holds the buffer
    MIDI_RES_NOT_READY = 67,       // a buffer is already with the driver
    MIDI_RES_NO_DEVICE = 68,       // the device went away
};

// Callback messages (the winmm values).
enum : uint32_t {
    MIDI_MIM_OPEN = 0x3C1,
    MIDI_MIM_CLOSE = 0x3C2,
    MIDI_MIM_DATA = 0x3C3,       // p1: short message, status in the low byte
    MIDI_MIM_LONGDATA = 0x3C4,   // p1: the returned MidiHeader
    MIDI_MIM_ERROR = 0x3C5,      // p1: an invalid short message
    MIDI_MIM_LONGERROR = 0x3C6,  // p1: a returned MidiHeader with bad data
    MIDI_MOM_OPEN = 0x3C7,
    MIDI_MOM_CLOSE = 0x3C8,
    MIDI_MOM_DONE = 0x3C9,       // p1: the finished MidiHeader
    MIDI_MIM_MOREDATA = 0x3CC,   // like MIM_DATA, more is waiting
};

// Header flags. MIDI_HDR_FAILED is ours: winmm never sets that bit. A backend
// sets it (at unprepare) when the device failed before the whole buffer went
// out, so the port can tell a finished buffer from a lost one.
enum : uint32_t {
    MIDI_HDR_DONE = 0x1,
    MIDI_HDR_PREPARED = 0x2,
    MIDI_HDR_INQUEUE = 0x4,
    MIDI_HDR_FAILED = 0x80000000u,
};

// Longest device name including its NUL. winmm names are at most 31 UTF-16
// units, up to 93 bytes as UTF-8; JACK port names ("client:port") and ALSA
// names can be longer.
#if defined(_WIN32)
constexpr size_t MIDI_NAME_SIZE = 128;
#else
constexpr size_t MIDI_NAME_SIZE = 320;
#endif

// A buffer header, laid out like winmm's MIDIHDR (the winmm backend hands it
// to the system as one). The ports set lpData, dwBufferLength and dwFlags
// before preparing; input ports read dwBytesRecorded and dwFlags. The
// system's headers pack it to bytes on Windows.
#if defined(_WIN32)
#pragma pack(push, 1)
#endif
struct MidiHeader {
    char* lpData;
    uint32_t dwBufferLength;
    uint32_t dwBytesRecorded;
    uintptr_t dwUser;
    uint32_t dwFlags;
    MidiHeader* lpNext;
    uintptr_t reserved;
    uint32_t dwOffset;
    uintptr_t dwReserved[8];
};
#if defined(_WIN32)
#pragma pack(pop)
#endif

// Device capabilities: only the name is used.
struct MidiDevCaps {
    char szPname[MIDI_NAME_SIZE];
};

using MidiHandle = void*;
using MidiCallback = void(ZP_MIDI_CALLBACK*)(MidiHandle h, uint32_t msg, uintptr_t instance,
                                              uintptr_t p1, uintptr_t p2);

// One backend's operations. Device numbers are those of the latest count call:
// callers count first, then name or open by number.
struct MidiPlatform {
    const char* name;

    // Output side.
    uint32_t (*out_count)();
    uint32_t (*out_caps)(uint32_t dev, MidiDevCaps* caps);
    uint32_t (*out_open)(MidiHandle* h, uint32_t dev, MidiCallback cb, uintptr_t instance);
    uint32_t (*out_prepare)(MidiHandle h, MidiHeader* hdr);
    // Hands a prepared buffer to the driver and returns at once; the callback
    // later gets MIDI_MOM_DONE with the header once every byte went out.
    uint32_t (*out_long_msg)(MidiHandle h, MidiHeader* hdr);
    // MIDI_RES_STILL_PLAYING while the driver still holds the buffer.
    uint32_t (*out_unprepare)(MidiHandle h, MidiHeader* hdr);
    // MIDI_RES_STILL_PLAYING while a buffer is still held.
    uint32_t (*out_close)(MidiHandle h);

    // Input side.
    uint32_t (*in_count)();
    uint32_t (*in_caps)(uint32_t dev, MidiDevCaps* caps);
    uint32_t (*in_open)(MidiHandle* h, uint32_t dev, MidiCallback cb, uintptr_t instance);
    uint32_t (*in_prepare)(MidiHandle h, MidiHeader* hdr);
    // Gives the driver an empty buffer to fill; it comes back through the
    // callback (MIM_LONGDATA or MIM_LONGERROR) with dwBytesRecorded set.
    uint32_t (*in_add_buffer)(MidiHandle h, MidiHeader* hdr);
    uint32_t (*in_start)(MidiHandle h);
    uint32_t (*in_stop)(MidiHandle h);
    // Returns every buffer still held, each through the callback.
    uint32_t (*in_reset)(MidiHandle h);
    uint32_t (*in_unprepare)(MidiHandle h, MidiHeader* hdr);
    // MIDI_RES_STILL_PLAYING while buffers are still held.
    uint32_t (*in_close)(MidiHandle h);

    // Pauses the calling thread (the output port's one pause in close).
    void (*pause_ms)(uint32_t ms);

    // Optional (null: nothing held, no estimate). How an open output is
    // getting on. `held` gets the bytes of finished buffers that the device
    // has still to send: a driver may finish a buffer once the device has
    // enough to go on with, so that it never runs dry while the next is
    // started, and the bytes count as sent only once they have gone.
    // `next_us` gets the microseconds until the driver is expected to be
    // ready for more (the buffer with it finished, or what it holds gone).
    // MIDI_RES_OK, or MIDI_RES_NO_DEVICE / MIDI_RES_ERROR when the device
    // failed with bytes still to send: they are lost, and `held` counts them.
    uint32_t (*out_progress)(MidiHandle h, uint32_t* held, uint32_t* next_us);
};

// The platform the ports use: the one set by midi_platform_set, else the
// system's own (winmm on Windows; the backend table's on Linux: JACK ports,
// then rawmidi devices).
const MidiPlatform* midi_platform();

// Makes the ports use `p` from now on; null restores the system's platform.
// Not for use while a port is open.
void midi_platform_set(const MidiPlatform* p);

// The system's own platform table.
const MidiPlatform* midi_system_platform();

// The system's own answer to which input device belongs to output device
// `out_name` (the other half of the same physical device), written into
// `dst` (n bytes). False when the system has no rule of its own for that
// output or no such input exists.
bool midi_system_partner_input(const char* out_name, char* dst, size_t n);

// Whether any MIDI service of the system can be reached at all: on Linux a
// running JACK server or a sound card of the kernel's, on Windows always
// (winmm is part of the system). Lets an empty device list tell "no devices"
// from "nothing to ask".
bool midi_system_reachable();

// What stands between this account and the system's MIDI devices; an empty
// device list means one of these or simply no device. Each has a sentence
// for the owner in midi_system_problem_text.
enum MidiSystemProblem {
    MIDI_SYSTEM_FINE = 0,
    MIDI_SYSTEM_NO_SERVICE = 1,  // no JACK server answers and the kernel shows no sound card
    MIDI_SYSTEM_NO_ACCESS = 2,   // the kernel has sound cards this account may not open
    MIDI_SYSTEM_PROBLEM_COUNT = 3,
};
int midi_system_problem();

// The owner's sentence for a problem; null for MIDI_SYSTEM_FINE, "(?)" past
// the table.
const char* midi_system_problem_text(int problem);

// Why the device named `name` (an output, or with `output` false an input)
// would not open because something else holds it, in an owner's words and
// naming the holder where the system tells, into `text` (`n` bytes). False
// when nothing is seen holding it. Never blocks.
bool midi_system_holder(const char* name, bool output, char* text, size_t n);

#endif
