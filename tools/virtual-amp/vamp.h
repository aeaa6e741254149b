// The virtual amp: an amp emulator on JACK.
//
// It answers the amp's requests, takes controller changes, restarts on the
// restart request (into update mode for mode 1), takes an update's SysEx
// messages in update mode, reprograms itself after a quiet period and comes
// back with a new version. Everything it saw in update mode is summed up in a
// JSON report.
//
// The pieces here are plain records and functions so that tests can drive
// them without a JACK server: the receive model, the byte-stream framing, the
// update accounting, the amp's request handling and the report. The JACK link
// and the main loop live in jack_link.cpp and main.cpp.
#ifndef ZP_TOOLS_VIRTUAL_AMP_VAMP_H
#define ZP_TOOLS_VIRTUAL_AMP_VAMP_H

#include <atomic>
#include <cstddef>
#include <cstdint>

// ---------------------------------------------------------------- options

struct VampOptions {
    char client_name[64];     // JACK client name
    char rawmidi[64];         // ALSA rawmidi device to sit on instead of JACK; empty for JACK
    char version[5];          // four revision characters reported before an update
    char new_version[5];      // reported after a successful update
    long restart_ms;          // how long the ports are gone on a restart
    long reprogram_ms;        // how long they are gone while reprogramming
    long quiet_ms;            // silence after the last update byte before reprogramming
    double rate;              // receive rate in bytes per second; 0 = unlimited
    long buffer;              // receive buffer in bytes (used with a rate)
    const char* report_path;  // JSON report, or null
    bool send_cc;             // send a few controller changes of our own now and then
    bool verbose;             // one line on standard error per event
    bool list_outputs;        // print the MIDI output devices a sender would see, and exit
    const char* demo_path;    // write a demo update file there, and exit
    long demo_bytes;          // its size
    bool no_identity;         // never answer the identity request
    bool strict_boot_loader;  // update mode: every byte is image data, requests included
    char usb_gadget[200];     // configfs gadget to unbind while restarting and reprogramming; empty for none
    bool expect_image;        // take an update only when its SHA-256 is expect_sha256
    char expect_sha256[65];   // lower-case hex
    uint64_t drop_offset;     // fault: byte offset of the update stream where
    uint64_t drop_bytes;      //   this many bytes are silently dropped (0: none)
    bool help;
    bool show_version;  // --version: the program's own
};

// Fills `o` from the command line. On a bad option or value writes one line
// to `errbuf` and returns false.
bool vamp_parse_options(VampOptions* o, int argc, char** argv, char* errbuf, size_t errlen);

// The --help text.
const char* vamp_help_text();

// ---------------------------------------------------------------- receive model

// A device with a receive buffer of `buffer` bytes that it empties at `rate`
// bytes per second. Bytes arriving while it is full are lost (overruns). A
// rate of 0 takes everything.
struct VampRxModel {
    double rate;
    double buffer;
    double level;      // bytes held after the last arrival
    uint64_t last_us;  // time of the last arrival
    bool started;
    uint64_t overruns;
};

void vamp_rx_model_init(VampRxModel* m, double rate, long buffer);

// `n` bytes arrive at `t_us`. Returns how many of them (the first ones) the
// device keeps; the rest are added to m->overruns.
long vamp_rx_model_accept(VampRxModel* m, uint64_t t_us, long n);

// ---------------------------------------------------------------- framing

// How a byte stream is cut into messages. Lenient (normal mode): channel
// messages with running status, system common messages, real-time bytes
// anywhere. Strict (update mode): nothing but F0 .. F7 messages; any other
// status byte inside a message and any byte outside one is a framing error.
inline constexpr int VAMP_STREAM_KEEP = 1024;  // bytes of a message kept for decoding

enum VampMsgKind { VAMP_MSG_NONE = 0, VAMP_MSG_SYSEX = 1, VAMP_MSG_CHANNEL = 2 };

struct VampStream {
    bool strict;
    bool in_sysex;
    bool in_stray;          // inside a run of bytes outside any message (strict)
    uint8_t status;         // running status of a channel message; 0 for none
    int need;               // data bytes still missing from the channel message
    int skip;               // data bytes of a system common message still to skip
    uint8_t msg[VAMP_STREAM_KEEP];
    long kept;              // bytes of the current message in msg
    long length;            // its full length so far (may exceed kept)
    uint64_t status_in_message;  // a status byte interrupted a SysEx
    uint64_t outside_message;    // runs of bytes outside any message (strict)
    uint64_t unterminated;       // SysEx still open when the stream was closed
};

void vamp_stream_init(VampStream* s, bool strict);

// Feeds one byte. Returns the kind of message that this byte completed
// (s->msg holds its first s->kept bytes, s->length its full length), or
// VAMP_MSG_NONE.
int vamp_stream_feed(VampStream* s, uint8_t byte);

// Ends the stream: an open SysEx counts as unterminated.
void vamp_stream_close(VampStream* s);

// Framing errors so far.
uint64_t vamp_stream_errors(const VampStream* s);

// ---------------------------------------------------------------- update accounting

struct VampUpdate {
    VampStream stream;       // strict framing of the update bytes
    void* sha;               // running SHA-256 (an EVP_MD_CTX)
    uint64_t messages;       // complete SysEx messages
    uint64_t bytes;          // every byte taken in update mode
    uint64_t first_us;       // time of the first and last byte
    uint64_t last_us;
    char sha256[65];         // hex digest, set by vamp_update_finish
    uint8_t pending[4096];   // bytes not yet handed to the digest
    int pending_fill;
};

// Starts an empty update. False when the digest cannot be set up.
bool vamp_update_begin(VampUpdate* u);

// One byte taken in update mode at `t_us`; returns what vamp_stream_feed returned.
int vamp_update_feed(VampUpdate* u, uint8_t byte, uint64_t t_us);

// Closes the framing and finishes the digest.
void vamp_update_finish(VampUpdate* u);

// Releases the digest (safe after vamp_update_finish and twice).
void vamp_update_free(VampUpdate* u);

// ---------------------------------------------------------------- the amp

inline constexpr int VAMP_NUMBERS = 126;  // preset numbers 0..125
inline constexpr int VAMP_PARTS = 4;      // parts 0..3
inline constexpr int VAMP_WORDS = 217;    // longest word table

struct VampAmp {
    char version[5];                              // the four revision characters
    uint8_t blocks[VAMP_NUMBERS][VAMP_PARTS][128];  // preset blocks, 0..127 each
    char names[VAMP_NUMBERS][16];                 // preset names, blank filled
    char part_names[VAMP_NUMBERS][VAMP_PARTS][16];
    int32_t word_count;
    uint16_t words[VAMP_WORDS];
    int32_t params[128];      // current parameter values, decoded
    bool param_set[128];
    uint64_t cc_taken;        // controller changes that changed a parameter
    uint64_t cc_refused;      // controller changes that the map refused
    uint64_t answered;        // requests answered
    uint64_t ignored;         // messages that were no request we know
};

// Fills the amp with its factory state and the given version.
void vamp_amp_state_init(VampAmp* a, const char* version);

// What a received message asks of the amp.
enum VampAction {
    VAMP_IGNORE = 0,   // nothing (unknown or malformed message)
    VAMP_REPLY = 1,    // send `reply`
    VAMP_RESTART = 2,  // restart; `mode` says how
    VAMP_DONE = 3,     // taken, nothing to send (a request without a reply)
};

inline constexpr int VAMP_REPLY_MAX = 600;  // longest reply is 521 bytes

struct VampOutcome {
    int action;
    int mode;                        // restart mode for VAMP_RESTART
    uint8_t reply[VAMP_REPLY_MAX];
    int32_t reply_length;
};

// Handles one complete SysEx message received in normal mode.
void vamp_amp_handle_sysex(VampAmp* a, const uint8_t* msg, long length, VampOutcome* out);

// Handles one channel message (controller changes on channel 1 change the
// current parameters). Returns true when a parameter changed.
bool vamp_amp_handle_channel(VampAmp* a, const uint8_t* msg, long length);

// True when `msg` is the restart request with the given mode.
bool vamp_amp_is_restart(const uint8_t* msg, long length, int* mode);

// Writes up to `max` controller-change messages (3 bytes each) of the amp's
// current parameters into `dst`; returns the number of bytes written.
long vamp_amp_controller_burst(const VampAmp* a, uint8_t* dst, long max);

// Writes `size` bytes (rounded down to whole messages) of well-formed amp
// SysEx into `path`. False with a line in errbuf when the file cannot be
// written.
bool vamp_amp_write_demo(const char* path, long size, char* errbuf, size_t errlen);

// Prints the MIDI output devices that the updater would offer on this
// machine, one a line. False when they could not be printed.
bool vamp_list_outputs();

// ---------------------------------------------------------------- report

struct VampReport {
    const char* state;             // "normal", "update", "reprogramming"
    const char* result;            // last update: "none", "updated", "rejected"
    const char* image;             // last update against the expected image: "match",
                                   // "mismatch", or "unchecked" when none was given
    char version_before[5];
    char version_after[5];
    char version_now[5];
    uint64_t updates;              // updates finished
    uint64_t restarts;
    uint64_t messages;             // of the last update
    uint64_t bytes;
    char sha256[65];
    uint64_t status_in_message;
    uint64_t unterminated;
    uint64_t outside_message;
    uint64_t overruns;             // since start, all modes
    uint64_t lost_internal;        // bytes the emulator itself could not hold
    double first_byte_s;           // wall clock, seconds since the epoch; 0: none
    double last_byte_s;
    double rate;
    long buffer;
    uint64_t answered;
    uint64_t ignored;
    uint64_t cc_taken;
    uint64_t cc_refused;
};

// The SHA-256 of a whole file as lower-case hex into `hex` (65 bytes). False
// when the file cannot be read.
bool vamp_file_sha256(const char* path, char* hex);

// Formats the report as JSON into `dst` (at most cap bytes, zero-terminated).
// Returns the length, or -1 when it does not fit.
long vamp_report_format(const VampReport* r, char* dst, size_t cap);

// Writes the report to `path` through a temporary file and a rename, so a
// reader never sees half a report. Code 0, or errno.
bool vamp_report_write(const VampReport* r, const char* path, int* err);

// ---------------------------------------------------------------- JACK link

// A one-writer, one-reader byte ring between the JACK process thread and the
// main thread. Each side owns one index; the other only reads it (acquire /
// release), so no locks are taken in the process callback.
struct VampRing {
    uint8_t* buf;
    size_t cap;  // a power of two
    std::atomic<size_t> head;  // written by the producer
    std::atomic<size_t> tail;  // written by the consumer
};

bool vamp_ring_init(VampRing* r, size_t cap);
void vamp_ring_free(VampRing* r);
size_t vamp_ring_used(const VampRing* r);
size_t vamp_ring_space(const VampRing* r);
// Writes both pieces or nothing (producer side).
bool vamp_ring_write2(VampRing* r, const void* a, size_t na, const void* b, size_t nb);
// Copies n bytes out and consumes them; false when fewer are held (consumer).
bool vamp_ring_read(VampRing* r, void* dst, size_t n);
// Copies n bytes without consuming them (consumer).
bool vamp_ring_peek(const VampRing* r, void* dst, size_t n);

struct VampLink;  // defined in jack_link.cpp

// Opens the JACK client with our two ports (exact names, no server start) and
// activates it. Null and a line in errbuf when that fails.
VampLink* vamp_link_open(const char* client_name, char* errbuf, size_t errlen);
// Opens ALSA rawmidi device `id` ("hw:1,0") both ways instead, reading with
// an input buffer of VAMP_RAWMIDI_BUFFER bytes on a thread of its own.
inline constexpr size_t VAMP_RAWMIDI_BUFFER = 1u << 20;  // the most ALSA accepts
VampLink* vamp_link_open_rawmidi(const char* id, char* errbuf, size_t errlen);
// Deactivates and closes the client (or device); JACK's ports vanish.
void vamp_link_close(VampLink* l);
// Takes one received event: its time and up to `cap` bytes. Returns its length
// (0 when nothing is waiting).
long vamp_link_read(VampLink* l, uint64_t* t_us, uint8_t* buf, long cap);
// Queues a message for the output port; false when the queue is full.
bool vamp_link_send(VampLink* l, const uint8_t* bytes, long n);
// Bytes the process thread could not hold (dropped before we saw them).
uint64_t vamp_link_lost(const VampLink* l);
// True once the server has shut the client down.
bool vamp_link_server_gone(const VampLink* l);
// JACK's clock, the one received events are stamped with, in microseconds.
uint64_t vamp_link_now_us(const VampLink* l);
// Wall-clock seconds for a time stamped by vamp_link_now_us or an event.
double vamp_link_wall_s(const VampLink* l, uint64_t t_us);
// Full names of our ports ("client:port").
const char* vamp_link_in_name(const VampLink* l);
const char* vamp_link_out_name(const VampLink* l);

// Port names: the wizard picks its amp by "Zorva" / "Pro" in the device name.
inline constexpr const char* VAMP_IN_PORT = "Zorva Pro MIDI In";
inline constexpr const char* VAMP_OUT_PORT = "Zorva Pro MIDI Out";

#endif
