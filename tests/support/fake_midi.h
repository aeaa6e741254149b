// A scripted stand-in for the platform MIDI layer, for port tests.
//
// It offers named output and input devices (duplicates allowed), holds the
// buffers a port hands it until the test says they are finished or filled,
// and makes any call answer a chosen result. Callbacks run on the thread that
// calls the fake_midi_* driving function, so a test may drive them from a
// thread of its own. State is guarded inside; the driving functions may be
// called from any thread.
#ifndef ZP_TESTS_FAKE_MIDI_H
#define ZP_TESTS_FAKE_MIDI_H

#include "midi/platform.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The platform calls whose results a test can script.
enum FakeMidiCall {
    FAKE_OUT_COUNT,
    FAKE_OUT_CAPS,
    FAKE_OUT_OPEN,
    FAKE_OUT_PREPARE,
    FAKE_OUT_LONG_MSG,
    FAKE_OUT_UNPREPARE,
    FAKE_OUT_CLOSE,
    FAKE_IN_COUNT,
    FAKE_IN_CAPS,
    FAKE_IN_OPEN,
    FAKE_IN_PREPARE,
    FAKE_IN_ADD_BUFFER,
    FAKE_IN_START,
    FAKE_IN_STOP,
    FAKE_IN_RESET,
    FAKE_IN_UNPREPARE,
    FAKE_IN_CLOSE,
    FAKE_CALL_KINDS,
};

// Forgets every device, script, record and open handle, and makes the ports
// use the fake. Call at the start of each test.
void fake_midi_install();

// Makes the ports use the system's platform again and forgets everything.
void fake_midi_uninstall();

// The fake's operation table.
const MidiPlatform* fake_midi_platform();

// Devices, in device-number order.
void fake_midi_set_out_devices(const std::vector<std::string>& names);
void fake_midi_set_in_devices(const std::vector<std::string>& names);

// After `skip` more calls of `call` that behave normally, the next `times`
// calls answer `result` without doing anything (times < 0: all of them).
void fake_midi_fail(FakeMidiCall call, uint32_t result, int times = 1, int skip = 0);

// The capabilities query of one device answers `result` (0 restores it).
void fake_midi_fail_caps(bool output, uint32_t dev, uint32_t result);

// How often `call` was made since install.
int fake_midi_calls(FakeMidiCall call);

// Every call made since install, in order, as "out_open 2", "in_add_buffer",...
std::vector<std::string> fake_midi_log();

// Handles currently open (output or input).
int fake_midi_open_outputs();
int fake_midi_open_inputs();

// Output side. `which` picks an open output in opening order; -1 is the latest.

// The bytes of every long message handed to the driver, in order, copied at
// the moment the driver took them.
std::vector<std::vector<uint8_t>> fake_midi_out_messages();

// True while the output holds a buffer it has not finished.
bool fake_midi_out_holding(int which = -1);

// Finishes the held buffer: releases it and calls back MOM_DONE. With
// `device_failed`, the buffer is reported lost (the device broke while
// sending it). False when no buffer was held.
bool fake_midi_out_finish(bool device_failed = false, int which = -1);

// When set, a buffer held during the port's pause is finished within it.
void fake_midi_out_finish_in_pause(bool on);

// Total milliseconds the port paused, and how many pauses.
uint32_t fake_midi_paused_ms();
int fake_midi_pauses();

// Calls back any message with any parameters, as a driver might.
void fake_midi_out_callback(uint32_t msg, uintptr_t p1, MidiHandle handle_override = nullptr,
                            int which = -1);

// Input side. `which` as above.

// Whether the input was started and not stopped.
bool fake_midi_in_started(int which = -1);

// Buffers the driver holds (added and not yet returned).
int fake_midi_in_held(int which = -1);

// Calls back MIM_DATA (or `msg`) with a packed short message, status byte in
// the low byte. Ignored unless the input is started.
void fake_midi_in_short(uint32_t packed, uint32_t msg = MIDI_MIM_DATA, int which = -1);

// Feeds SysEx bytes: they fill the held buffers in the order they were added;
// a buffer returns (MIM_LONGDATA) when full or when an F7 ends its message.
// Returns the number of bytes dropped for want of a buffer.
size_t fake_midi_in_sysex(const uint8_t* data, size_t n, int which = -1);

// Returns the oldest held buffer at once with `recorded` bytes (its contents
// untouched) through `msg` (MIM_LONGDATA or MIM_LONGERROR). False if none.
bool fake_midi_in_return(uint32_t recorded, uint32_t msg = MIDI_MIM_LONGDATA, int which = -1);

#endif
