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

#include <cstddef>
#include <cstdint>

constexpr uint32_t MIDI_IN_QUEUE_SIZE = 20480;  // receive queue capacity
constexpr int MIDI_IN_BUFFERS = 10;             // SysEx receive buffers
constexpr uint32_t MIDI_IN_BUFFER_SIZE = 1024;  // bytes in each

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

// An open, started input device: opened by midi_in_open and released by a
// close whose device close succeeded; its fields are the library's own.
struct MidiInPort;

// Room for any device name and its NUL, as midi_in_find_partner writes it.
#if defined(_WIN32)
constexpr size_t MIDI_IN_NAME_SIZE = 128;
#else
constexpr size_t MIDI_IN_NAME_SIZE = 320;
#endif

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

// Opens and starts device `n`. Null with MIDI_IN_NOT_FOUND (no such device),
// MIDI_IN_NO_MEMORY or MIDI_IN_DEVICE_ERROR (the device refused to open, to
// take a buffer or to start); whatever was set up is taken down again.
MidiInPort* midi_in_open(int n, int* err);

// Opens and starts the first device named exactly `name`; MIDI_IN_NOT_FOUND
// when none is.
MidiInPort* midi_in_open_by_name(const char* name, int* err);

// Services one returned buffer, then takes up to n bytes from the front of the
// queue into `dst` (discarding them when dst is null). Returns the number
// taken, or -1 with MIDI_IN_INVALID_OBJECT (invalid port),
// MIDI_IN_DEVICE_ERROR (the driver still held the buffer being released) or
// MIDI_IN_UNKNOWN (releasing or handing back a buffer failed); after a failure
// the bytes of that buffer are in the queue for the next call.
int midi_in_read(MidiInPort* port, uint32_t n, uint8_t* dst, int* err);

// Services one returned buffer, then returns the number of bytes queued; 0
// with the codes of midi_in_read.
int midi_in_available(MidiInPort* port, int* err);

// Stops, resets and closes the device and releases the port: 1 with
// MIDI_IN_OK. When the device refuses to close, 0 with MIDI_IN_UNKNOWN: the
// port is then dead, kept by the library, and every later operation on it
// reports MIDI_IN_INVALID_OBJECT, as an invalid port does.
int midi_in_close(MidiInPort* port, int* err);

// Fixed English text for a code; null for 0, "(?)" past the table.
const char* midi_in_error_text(unsigned code);

#endif
