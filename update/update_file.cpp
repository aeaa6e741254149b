#include "update/update_file.h"

#include "midi/fault.h"

#include <fcntl.h>
#include <stdint.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace {

// Indexed by UpdateLoadError.
const char* const LOAD_ERROR_TEXTS[LOAD_ERROR_COUNT] = {
    nullptr,
    "Could not open file",
    "Could not reach the end of the file",
    "Could not determine size of input file",
    "File is too small",
    "Not enough memory to load file",
    "Could not load file",
    "Not a valid system-exclusive MIDI file",
};

uint8_t* update_buffer = nullptr;
size_t update_size = 0;
int last_errno = 0;

#ifdef _WIN32
// Windows: the name is UTF-8 and opened through its wide form, and the file
// in binary mode (the C runtime would otherwise stop at the first 1A byte
// and turn CR LF into LF). A directory is not a file.
FILE* open_for_reading(const char* path) {
    int wide_len = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, nullptr, 0);
    if (wide_len <= 0) {
        errno = ENOENT;
        return nullptr;
    }
    wchar_t* wide = static_cast<wchar_t*>(malloc(sizeof(wchar_t) * size_t(wide_len)));
    if (!wide) {
        errno = ENOMEM;
        return nullptr;
    }
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, wide, wide_len);
    int fd = _wopen(wide, _O_RDONLY | _O_BINARY | _O_NOINHERIT);
    free(wide);
    if (fd < 0) return nullptr;
    struct _stat64 st;
    if (_fstat64(fd, &st) != 0 || (st.st_mode & _S_IFMT) == _S_IFDIR) {
        _close(fd);
        errno = EISDIR;
        return nullptr;
    }
    FILE* f = _fdopen(fd, "rb");
    if (!f) _close(fd);
    return f;
}
int seek_to(FILE* f, int64_t at, int whence) { return _fseeki64(f, at, whence); }
int64_t position(FILE* f) { return _ftelli64(f); }
#else
// Opens `path` for reading without waiting on it: a FIFO with no writer would
// otherwise block the whole window in the open. A directory is not a file.
FILE* open_for_reading(const char* path) {
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat st;
    if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        close(fd);
        errno = EISDIR;
        return nullptr;
    }
    int flags = fcntl(fd, F_GETFL);
    if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    FILE* f = fdopen(fd, "rb");
    if (!f) close(fd);
    return f;
}
int seek_to(FILE* f, int64_t at, int whence) { return fseeko(f, off_t(at), whence); }
int64_t position(FILE* f) { return int64_t(ftello(f)); }
#endif

// Reads the whole file into a fresh buffer. On success the buffer and its
// size are handed back; on failure nothing stays allocated.
int read_update_file(const char* path, size_t min_size, uint8_t** out, size_t* out_size) {
    last_errno = ENOENT;
    if (!path || !*path) return LOAD_CANNOT_OPEN;
    errno = 0;
    FILE* f = open_for_reading(path);
    last_errno = f ? 0 : errno;
    if (!f) return LOAD_CANNOT_OPEN;

    int code = LOAD_OK;
    uint8_t* buf = nullptr;
    size_t size = 0;
    int64_t end = 0;
    if (seek_to(f, 0, SEEK_END) != 0) {
        code = LOAD_CANNOT_SEEK;
    } else if ((end = position(f)) < 0) {
        code = LOAD_NO_SIZE;
    } else if (static_cast<uintmax_t>(end) < min_size || end == 0) {
        code = LOAD_TOO_SMALL;
    } else if (static_cast<uintmax_t>(end) > PTRDIFF_MAX) {
        // No buffer of this process can be that large.
        code = LOAD_NO_MEMORY;
    } else {
        size = static_cast<size_t>(end);
        if (seek_to(f, 0, SEEK_SET) != 0) {
            code = LOAD_CANNOT_SEEK;
        } else if (!(buf = static_cast<uint8_t*>(zp_alloc(size)))) {
            code = LOAD_NO_MEMORY;
        } else if (fread(buf, 1, size, f) != size) {
            last_errno = ferror(f) ? errno : 0;
            code = LOAD_SHORT_READ;
        } else if (!validate_sysex(buf, size)) {
            code = LOAD_NOT_SYSEX;
        }
    }
    if (code == LOAD_CANNOT_SEEK || code == LOAD_NO_SIZE) last_errno = errno;
    fclose(f);
    if (code != LOAD_OK) {
        zp_free(buf);
        return code;
    }
    *out = buf;
    *out_size = size;
    return LOAD_OK;
}

}  // namespace

int update_file_errno() { return last_errno; }

const char* update_load_error_text(int code) {
    if (code < 0 || code >= LOAD_ERROR_COUNT) return nullptr;
    return LOAD_ERROR_TEXTS[code];
}

bool validate_sysex(const uint8_t* bytes, size_t length) {
    if (!bytes) return false;
    size_t p = 0;
    size_t messages = 0;
    while (p < length) {
        if (bytes[p] != 0xF0) return false;
        ++p;
        while (p < length && bytes[p] < 0x80) ++p;
        if (p == length || bytes[p] != 0xF7) return false;
        ++p;
        ++messages;
    }
    return messages > 0;
}

size_t sysex_message_length(const uint8_t* bytes, size_t remaining) {
    for (size_t i = 0; i < remaining; ++i) {
        if (bytes[i] == 0xF7) return i + 1;
    }
    return remaining;
}

size_t sysex_message_count(const uint8_t* bytes, size_t size) {
    size_t count = 0;
    for (size_t at = 0; bytes && at < size; count++) at += sysex_message_length(bytes + at, size - at);
    return count;
}

int update_file_load(const char* path) { return update_file_load_sized(path, UPDATE_FILE_MIN_SIZE); }

int update_file_load_sized(const char* path, size_t min_size) {
    update_file_release();
    uint8_t* buf = nullptr;
    size_t size = 0;
    int code = read_update_file(path, min_size, &buf, &size);
    if (code != LOAD_OK) return code;
    update_buffer = buf;
    update_size = size;
    return LOAD_OK;
}

void update_file_release() {
    zp_free(update_buffer);
    update_buffer = nullptr;
    update_size = 0;
}

const uint8_t* update_file_bytes() { return update_buffer; }
size_t update_file_size() { return update_size; }
