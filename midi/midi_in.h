// MIDI input port: collects everything an input device sends.
//
// An open port is started at once. Short messages (channel and system
// messages) enter the port the moment the driver reports them. SysEx data
// arrives in ten receive buffers of 1024 bytes; a buffer the driver has filled
// and returned is moved into the receive queue by the caller's next read or
// available call, one buffer per call, and then handed back to the driver. So
// the caller polls, at least as often as buffers fill, and bytes of the two
// kinds are not in arrival order: a short message received after a SysEx
// message can be read before it.
//
// The port's operations are called from one thread; the driver's callback runs
// on a thread of its own (see MidiInPort). Every operation but the listing and
// error-text ones ends with an `err` out-parameter that receives 0 or a code
// from MidiInError; it may be null. Diagnostics go to standard error as single
// lines beginning "MIDI-IN: ".
#ifndef ZP_MIDI_MIDI_IN_H
#define ZP_MIDI_MIDI_IN_H

#include "midi/byte_queue.h"
#include "midi/platform.h"

#include <cstddef>
#include <cstdint>

constexpr uint32_t MIDI_IN_QUEUE_SIZE = 20480;  // receive queue capacity
constexpr int MIDI_IN_BUFFERS = 10;             // SysEx receive buffers
constexpr uint32_t MIDI_IN_BUFFER_SIZE = 1024;  // bytes in each
constexpr uint32_t MIDI_IN_TAG = 0x004E494Cu;   // "LIN" and a zero byte in memory order

// Error codes of the input port; midi_in_error_text keeps one text per code.
enum MidiInError {
    MIDI_IN_OK = 0,
    MIDI_IN_INVALID_COUNT = 1,   // kept for its text; nothing returns it
    MIDI_IN_INVALID_OBJECT = 2,
    MIDI_IN_DEVICE_ERROR = 3,
    MIDI_IN_NOT_FOUND = 4,
    MIDI_IN_NO_MEMORY = 5,
    MIDI_IN_UNKNOWN = 6,
};

// Short messages on their way from the driver's thread to the caller's: a ring
// with one writer (the callback) and one reader (the port's operations).
struct MidiInArrivals {
    uint32_t written;  // bytes ever stored by the callback, modulo 2^32
    uint32_t taken;    // bytes ever moved on by the caller, modulo 2^32
    uint8_t ring[MIDI_IN_QUEUE_SIZE];
};

// An open input device. Allocated zero-filled by open; released by a close
// whose device close succeeded.
//
// How the callback's thread and the caller's are kept apart: the callback
// never touches the receive queue. It appends short messages to `arrivals`, a
// ring with exactly one writer on each side (the callback advances `written`
// with a release store after copying the bytes in, the caller advances `taken`
// with a release store after copying them out), and it marks returned buffers
// with an atomic OR into `done_mask`, which the caller clears bit by bit with
// an atomic AND. Every read and available call first moves the arrivals into
// the queue, then services one returned buffer, so the queue itself has a
// single owner, the caller's thread, and needs no lock. The driver's thread
// therefore never waits (it may be a real-time audio thread), and a callback
// that still comes for a port whose device refused to close writes only into
// the record, which is then kept. Since the queue fills only at those moments
// and `arrivals` is as large as the queue, a caller sees the same bytes, in the
// same order, as if the callback stored them in the queue directly.
struct MidiInPort {
    int32_t last_result;    // latest platform result for this port; -1 while releasing a buffer
    uint32_t done_mask;     // bit i set when the driver has returned buffer i (atomic)
    uint32_t tag;           // MIDI_IN_TAG while open, 0 once shut down (atomic)
    uint32_t stopping;      // shutdown has begun: returned buffers are not handed back
    MidiHandle handle;      // the open device; null when none (atomic)
    ByteQueue* queue;       // the receive queue, owned; the caller's thread only
    MidiHeader headers[MIDI_IN_BUFFERS];
    uint8_t buffers[MIDI_IN_BUFFERS][MIDI_IN_BUFFER_SIZE];
    int32_t next_buffer;    // the buffer the service step examines first
    uint32_t queued_mask;   // bit i set while buffer i is with the driver (the caller's thread only)
    MidiInArrivals arrivals;
};

// Number of input devices; devices are numbered 0 to count - 1.
int midi_in_device_count();

// Product name of device `n`, or null when n is out of range or the device
// cannot be queried. The text lives in one module-wide record that the next
// call overwrites.
const char* midi_in_device_name(int n);

// Calls `fn` once per device in device order with its name; devices that
// cannot be queried are skipped.
void midi_in_list_devices(void (*fn)(const char* name));

// Number of the first device whose name equals `name` exactly; -1 for a null
// name or no match. An empty name gives 0 without asking for devices.
int midi_in_find_device(const char* name);

// The input device that belongs to output device `out_name`, its name written
// into `dst` (n bytes): on the system's platform its own rule (JACK: an output
// port of the same client; ALSA rawmidi: the input side of the same card and
// device), otherwise an input device of exactly the same name (as winmm names
// both halves of a device). False when neither finds one.
bool midi_in_find_partner(const char* out_name, char* dst, size_t n);

// Opens and starts device `n`. Null with code 4 (no such device), 5 (no
// memory) or 3 (the device refused to open, to take a buffer or to start);
// whatever was set up is taken down again.
MidiInPort* midi_in_open(int n, int* err);

// Opens and starts the first device named exactly `name`; code 4 when none is.
MidiInPort* midi_in_open_by_name(const char* name, int* err);

// Services one returned buffer, then takes up to n bytes from the front of the
// queue into `dst` (discarding them when dst is null). Returns the number
// taken, or -1 with code 2 (invalid port), 3 (the driver still held the
// buffer being released) or 6 (releasing or handing back a buffer failed);
// after a failure the bytes of that buffer are in the queue for the next call.
int midi_in_read(MidiInPort* port, uint32_t n, uint8_t* dst, int* err);

// Services one returned buffer, then returns the number of bytes queued; 0
// with code 2, 3 or 6 as for midi_in_read.
int midi_in_available(MidiInPort* port, int* err);

// Stops, resets and closes the device and releases the port: 1 with code 0.
// When the device refuses to close, 0 with code 6: the port is then dead, kept
// with its tag cleared, and every later operation on it reports code 2. Code 2
// for an invalid port.
int midi_in_close(MidiInPort* port, int* err);

// Fixed English text for a code; null for 0, "(?)" past the table.
const char* midi_in_error_text(unsigned code);

// Test seam: the allocator open uses for the port record (zero-filled by the
// port). Null restores malloc.
using MidiInAllocFn = void* (*)(size_t);
void midi_in_set_allocator(MidiInAllocFn fn);

#endif
