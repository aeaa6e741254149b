// The update file: a plain file of complete SysEx messages back to back,
// read whole into memory and checked before anything is sent.
//
// The loader checks while it reads: the first byte that breaks the format
// ends the load at once, and the reason names its offset. A file above
// UPDATE_FILE_MAX_SIZE is refused before any byte is read, and so is one that
// changes while it is read (another program still writing it), so a partial
// image is never taken for the update.
//
// One file is loaded at a time (module state, one thread). Loading releases
// the file loaded before, whatever the outcome; a failed load leaves nothing
// loaded.
#ifndef ZP_UPDATE_UPDATE_FILE_H
#define ZP_UPDATE_UPDATE_FILE_H

#include <cstddef>
#include <cstdint>

// Smallest update file we accept, in bytes.
constexpr size_t UPDATE_FILE_MIN_SIZE = 100;

// Largest: far beyond any real update, small enough that a mistaken choice
// (a disk image, a video) is refused at once rather than read for minutes.
constexpr size_t UPDATE_FILE_MAX_SIZE = size_t(64) << 20;

// The loader reads this much at a time, and checks and lets the caller's
// window redraw between two reads.
constexpr size_t UPDATE_FILE_CHUNK = size_t(1) << 20;

// Outcome of loading an update file; update_load_error_text names each.
enum UpdateLoadError {
    LOAD_OK = 0,
    LOAD_CANNOT_OPEN = 1,   // no name, missing, unreadable, or a folder
    LOAD_CANNOT_SEEK = 2,   // not a plain file (a pipe, a device)
    LOAD_NO_SIZE = 3,
    LOAD_TOO_SMALL = 4,
    LOAD_NO_MEMORY = 5,
    LOAD_SHORT_READ = 6,
    LOAD_NOT_SYSEX = 7,
    LOAD_TOO_LARGE = 8,     // above UPDATE_FILE_MAX_SIZE
    LOAD_CHANGED = 9,       // its size or time changed while it was read
    LOAD_ERROR_COUNT = 10,
};

// The first line shown to the owner for a load outcome; null for LOAD_OK and
// for codes past the table.
const char* update_load_error_text(int code);

// Why the last load failed, as a sentence for the line after the first
// ("It is a folder, not a file.", "At offset 1234 ..."); empty after a load
// that succeeded.
const char* update_file_reason();

// The system's reason (an errno value) behind the last failed open, seek or
// read of a load; 0 when there was none. A folder gives EISDIR.
int update_file_errno();

// What breaks the format, found by the check below.
enum SysexFault {
    SYSEX_FINE = 0,
    SYSEX_NO_START = 1,     // a message does not begin with F0
    SYSEX_STATUS_BYTE = 2,  // a byte of 80 or above other than the closing F7
    SYSEX_CUT_SHORT = 3,    // the last message has no F7
    SYSEX_EMPTY = 4,        // not a single message
};

// The format check, fed piece by piece as a file is read: complete SysEx
// messages (F0, data bytes below 80, F7) back to back and nothing else.
struct SysexCheck {
    uint64_t at;             // bytes checked so far
    uint64_t message_start;  // offset of the message being checked
    uint64_t messages;       // complete messages so far
    bool in_message;
    int fault;               // SysexFault; once set, nothing more is checked
    uint64_t fault_at;       // where the fault is
    uint8_t fault_byte;      // the byte found there (for SYSEX_NO_START, SYSEX_STATUS_BYTE)
};

void sysex_check_init(SysexCheck* c);
// Checks `n` more bytes; false at the first fault (and ever after).
bool sysex_check_feed(SysexCheck* c, const uint8_t* bytes, size_t n);
// The end of the bytes: false when the last message is cut short or there
// was none.
bool sysex_check_end(SysexCheck* c);
// The fault as a sentence, into `text`.
void sysex_check_reason(const SysexCheck* c, char* text, size_t size);

// True when `bytes` is one or more complete SysEx messages back to back
// (F0, data bytes below 80, F7) and nothing else.
bool validate_sysex(const uint8_t* bytes, size_t length);

// Length of the message that starts at `bytes`: up to and including the first
// F7, or all `remaining` bytes when there is none.
size_t sysex_message_length(const uint8_t* bytes, size_t remaining);

// How many messages the `size` bytes at `bytes` hold, cut as
// sysex_message_length cuts them; 0 for none.
size_t sysex_message_count(const uint8_t* bytes, size_t size);

// Reads the file at `path` whole and checks it. Returns a code of
// UpdateLoadError; on any code but LOAD_OK nothing is loaded.
int update_file_load(const char* path);

// The same with a smallest size of its own (1 for any SysEx file), and
// `between_chunks` (may be null) run after each chunk read, so a window
// stays drawn while a large file loads.
int update_file_load_with(const char* path, size_t min_size, void (*between_chunks)());

// Frees the loaded file, if any.
void update_file_release();

// The loaded file; null and 0 when none is loaded.
const uint8_t* update_file_bytes();
size_t update_file_size();

#endif
