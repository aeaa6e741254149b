// ALSA rawmidi backend of the platform MIDI layer, for MIDI and USB-MIDI
// hardware on Linux.
//
// Output devices are the rawmidi output subdevices of every card, found with
// the control interface and named as the system shows them (for a USB device
// typically its product name and port number), never by card numbers, which
// change. Each open output keeps a ring of bytes ahead of the driver: a
// buffer that fits is copied in and finished at once, so the port can hand
// over the next while the device is still busy with this one, and a writer
// thread standing in for the system's MIDI service moves the ring into the
// driver in large non-blocking writes. What the ring and the driver still
// hold counts as pending until it has gone (out_progress), and the time that
// takes, from the rate the device has been sending at, tells a waiting
// caller when to come back. A device that vanishes (ENODEV) or stalls with
// bytes still to send loses them, which the port then reports as failed.
//
// The few ALSA calls sit behind AlsaRawmidiOps so tests can drive the backend
// without hardware.
#ifndef ZP_MIDI_ALSA_ALSA_MIDI_H
#define ZP_MIDI_ALSA_ALSA_MIDI_H

#include "midi/platform.h"

#include <cstddef>
#include <cstdint>

// One rawmidi output subdevice: its name and the id that opens it.
struct AlsaDeviceInfo {
    char name[MIDI_NAME_SIZE];
    char id[32];  // "hw:CARD,DEVICE,SUBDEVICE"
};

// Fills up to `max` entries with the rawmidi subdevices of every card on one
// side, `stream` being SND_RAWMIDI_STREAM_OUTPUT or SND_RAWMIDI_STREAM_INPUT;
// returns how many. Both sides' real list calls come here.
int midi_alsa_list_rawmidi(AlsaDeviceInfo* out, int max, int stream);

// Waits up to `timeout_ms` for an open rawmidi handle to become ready for
// `events` (POLLIN or POLLOUT): 1 ready, 0 not yet (or interrupted), -ENODEV
// when the device has gone, another negative errno on failure. Both sides'
// real wait calls come here.
int midi_alsa_wait_ready(void* raw, int timeout_ms, short events);

// The ALSA calls the backend makes. Errors are negative errno values.
struct AlsaRawmidiOps {
    // Fills up to `max` entries with the output subdevices; returns how many.
    int (*list_outputs)(AlsaDeviceInfo* out, int max);
    // Opens an output for non-blocking writes.
    int (*open_output)(const char* id, void** raw);
    // Writes up to n bytes without blocking: the number taken or -EAGAIN when
    // the device buffer is full.
    long (*write)(void* raw, const uint8_t* data, size_t n);
    // Waits up to timeout_ms for room: 1 ready, 0 timed out.
    int (*wait_writable)(void* raw, int timeout_ms);
    // Makes wait_writable wait until the driver is empty (true) or until a
    // good part of it is free (false).
    int (*wake_when_empty)(void* raw, bool empty);
    // Bytes written that the driver has still to send, or a negative errno
    // (-ENODEV once the device has gone).
    long (*held)(void* raw);
    // Discards what the driver holds unsent.
    int (*drop)(void* raw);
    int (*close)(void* raw);
    // How long a device may take nothing before it counts as stalled.
    int stall_ms;
    // Bytes the backend keeps ahead of the driver (at least one port
    // buffer): a buffer that fits is finished at once, so the port can hand
    // over the next while the device is still busy with this one.
    long ring_size;
    // The driver must hold at least this many bytes ahead of a write, unless
    // it has held none for a while (see alsa_midi.cpp).
    long guard;
};

const MidiPlatform* midi_alsa_platform();

// ---- who holds a device, and whether this account may use the cards

// What the system shows of whatever holds a rawmidi substream.
constexpr int ALSA_HOLDER_PEERS = 4;
struct AlsaHolder {
    int owner_pid;          // the substream's owner, 0 when it is not open
    char owner_name[64];    // that process's name, "" when it has gone
    // Sequencer clients connected to the device's sequencer port: while one
    // is, the kernel's sequencer keeps the device open on its behalf.
    int peers;
    char peer_names[ALSA_HOLDER_PEERS][64];
    int peer_pids[ALSA_HOLDER_PEERS];  // 0 for the kernel's own clients
    char peer_programs[ALSA_HOLDER_PEERS][32];  // those processes' names, "" when unknown
};

// The owner of substream `sub` on one side in the text of
// /proc/asound/cardC/midiD; 0 when it shows none.
int midi_alsa_owner_pid(const char* proc_text, bool output, int sub);

// Reads the holder of device `id` ("hw:C,D,S", as the lists give it) on one
// side from /proc and the sequencer. False when nothing holds it.
bool midi_alsa_find_holder(const char* id, bool output, const char* name, AlsaHolder* h);

// The owner's sentence about device `name` held by `h`, into `text`.
void midi_alsa_holder_text(const char* name, const AlsaHolder* h, char* text, size_t n);

// MIDI_SYSTEM_FINE when a card's control device opens for this account,
// MIDI_SYSTEM_NO_ACCESS when cards exist but none does, MIDI_SYSTEM_NO_SERVICE
// when the kernel shows none.
int midi_alsa_card_access();

// The backend table's row (midi/backend.h): the probe (midi_alsa_card_access);
// the input of the same card and device as rawmidi output `out_name`, the
// same subdevice number first; and who holds device `name`, from /proc and
// the sequencer.
int midi_alsa_probe();
bool midi_alsa_partner_input(const char* out_name, char* dst, size_t n);
bool midi_alsa_holder(const char* name, bool output, char* text, size_t n);

// The output subdevices as the backend's ALSA calls list them (the scripted
// ones in tests): up to `max` entries, returns how many.
int midi_alsa_list_outputs(AlsaDeviceInfo* out, int max);

// Makes the backend use `ops`; null restores the real ALSA calls. Not while
// an output is open.
void midi_alsa_set_ops(const AlsaRawmidiOps* ops);

#endif
