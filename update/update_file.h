// The update file: a plain file of complete SysEx messages back to back,
// read whole into memory and checked before anything is sent.
//
// One file is loaded at a time (module state, GUI thread only). Loading
// releases the file loaded before, whatever the outcome; a failed load leaves
// nothing loaded.
#ifndef ZP_UPDATE_UPDATE_FILE_H
#define ZP_UPDATE_UPDATE_FILE_H

#include <cstddef>
#include <cstdint>

// Smallest update file we accept, in bytes.
constexpr size_t UPDATE_FILE_MIN_SIZE = 100;

// Outcome of loading an update file; update_load_error_text names each.
enum UpdateLoadError {
    LOAD_OK = 0,
    LOAD_CANNOT_OPEN = 1,   // no name, missing, unreadable, or a directory
    LOAD_CANNOT_SEEK = 2,   // not a seekable file (a pipe, say)
    LOAD_NO_SIZE = 3,
    LOAD_TOO_SMALL = 4,
    LOAD_NO_MEMORY = 5,     // larger than this process can hold, or refused
    LOAD_SHORT_READ = 6,
    LOAD_NOT_SYSEX = 7,
    LOAD_ERROR_COUNT = 8,
};

// The message shown to the user for a load outcome; null for LOAD_OK and for
// codes past the table.
const char* update_load_error_text(int code);

// The system's reason (an errno value) behind the last failed open, seek or
// read of update_file_load; 0 when there was none. A directory gives EISDIR.
int update_file_errno();

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

// The same with a smallest size of its own (1 for any SysEx file).
int update_file_load_sized(const char* path, size_t min_size);

// Frees the loaded file, if any.
void update_file_release();

// The loaded file; null and 0 when none is loaded.
const uint8_t* update_file_bytes();
size_t update_file_size();

#endif
