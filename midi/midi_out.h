// MIDI output port: sends SysEx bytes to an output device without blocking.
//
// midi_out_send queues the bytes and, when the driver holds no buffer of this
// port, hands everything queued to the driver as one long message. At most one
// buffer is with the driver; when it has finished, the driver's callback only
// raises a flag, and the buffer is retired and the next one started inside the
// next send, can-accept, pending or close. Between calls nothing moves.
//
// The port's operations are called from one thread. Every operation but the
// listing and error-text ones ends with an `err` out-parameter that receives 0
// or a code from MidiOutError; it may be null.
#ifndef ZP_MIDI_MIDI_OUT_H
#define ZP_MIDI_MIDI_OUT_H

#include <cstddef>
#include <cstdint>

constexpr uint32_t MIDI_OUT_BUFFER_SIZE = 10240;   // staging buffer and queue capacity

// Error codes of the output port; midi_out_error_text keeps one text per code.
enum MidiOutError {
    MIDI_OUT_OK = 0,
    MIDI_OUT_INVALID_COUNT = 1,
    MIDI_OUT_INVALID_OBJECT = 2,  // kept for its text; nothing returns it
    MIDI_OUT_DEVICE_ERROR = 3,
    MIDI_OUT_NOT_FOUND = 4,
    MIDI_OUT_NULL_POINTER = 5,
    MIDI_OUT_NO_MEMORY = 6,
    MIDI_OUT_UNKNOWN = 7,         // kept for its text; nothing returns it
};

// An open output device: opened by midi_out_open and released by a
// successful midi_out_close; its fields are the library's own.
struct MidiOutPort;

// Number of output devices; devices are numbered 0 to count - 1.
int midi_out_device_count();

// Product name of device `n`, or null when n is out of range or the device
// cannot be queried. The text lives in one module-wide record that the next
// call overwrites.
const char* midi_out_device_name(int n);

// Calls `fn` once per device in device order with its name; devices that
// cannot be queried are skipped.
void midi_out_list_devices(void (*fn)(const char* name));

// Number of the first device whose name equals `name` exactly; -1 for a null
// name or no match. An empty name gives 0 without asking for devices.
int midi_out_find_device(const char* name);

// Opens device `n`. Null with MIDI_OUT_NOT_FOUND (no such device),
// MIDI_OUT_NO_MEMORY or MIDI_OUT_DEVICE_ERROR (the device refused); nothing is
// left allocated on failure.
MidiOutPort* midi_out_open(int n, int* err);

// Opens the first device named exactly `name`; MIDI_OUT_NOT_FOUND when none
// is.
MidiOutPort* midi_out_open_by_name(const char* name, int* err);

// Queues as many of the `length` bytes as fit and starts a buffer when none is
// with the driver. Returns the number taken (possibly fewer than length, with
// MIDI_OUT_OK), or -1 with MIDI_OUT_NOT_FOUND (invalid port),
// MIDI_OUT_NULL_POINTER (null bytes), MIDI_OUT_INVALID_COUNT (length <= 0) or
// MIDI_OUT_DEVICE_ERROR (the port has failed; nothing is taken).
int midi_out_send(MidiOutPort* port, const uint8_t* bytes, int length, int* err);

// 1 when the port has not failed and its queue has strictly more free space
// than max(count, 1); else 0. MIDI_OUT_NOT_FOUND for an invalid port,
// MIDI_OUT_INVALID_COUNT for count < 0.
int midi_out_can_accept(MidiOutPort* port, int count, int* err);

// Bytes queued and not yet confirmed sent: the buffer with the driver
// included, and what a driver that finished a buffer early still has to send.
// 0 with MIDI_OUT_NOT_FOUND for an invalid port. A failed port still reports
// its stranded bytes but with MIDI_OUT_DEVICE_ERROR, so a caller waiting for 0
// learns that it never will.
int midi_out_pending(MidiOutPort* port, int* err);

// Bounds of midi_out_wait_hint: how soon and how late a caller that waits for
// the driver comes back.
constexpr int MIDI_OUT_WAIT_MIN_US = 500;
constexpr int MIDI_OUT_WAIT_MAX_US = 20000;
// What a driver that cannot tell is given.
constexpr int MIDI_OUT_WAIT_DEFAULT_US = 2000;

// For a caller that found the port full, or waits for it to empty: the
// microseconds until the driver is expected to be ready for more (its buffer
// finished, or what it holds sent), from what the driver says of the bytes it
// holds and the rate it sends them at; within MIDI_OUT_WAIT_MIN_US ..
// MIDI_OUT_WAIT_MAX_US, so the device is never kept waiting long. 0 when the
// port holds nothing. MIDI_OUT_NOT_FOUND for an invalid port.
int midi_out_wait_hint(MidiOutPort* port, int* err);

// Closes the port: pauses once for 10 ms if a buffer is with the driver and
// retires it if the driver has finished. Returns 1 and releases the port, or 0
// with MIDI_OUT_NOT_FOUND (invalid port) or MIDI_OUT_DEVICE_ERROR (a buffer is
// still with the driver, or the device refused to close): the port then stays
// open, marked closing, and a later close tries again. Bytes still queued are
// dropped unsent.
int midi_out_close(MidiOutPort* port, int* err);

// Fixed English text for a code; null for 0, "(?)" past the table.
const char* midi_out_error_text(unsigned code);

#endif
