#include "update/update_file.h"

#include "midi/fault.h"

#include <fcntl.h>
#include <stdint.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace {

// Indexed by UpdateLoadError: the first line the owner reads.
const char* const LOAD_ERROR_TEXTS[] = {
    nullptr,
    "Could not open file",
    "Could not reach the end of the file",
    "Could not determine size of input file",
    "File is too small",
    "Not enough memory to load file",
    "Could not load file",
    "Not a valid system-exclusive MIDI file",
    "File is too large",
    "The file changed while it was read",
};
static_assert(sizeof LOAD_ERROR_TEXTS / sizeof LOAD_ERROR_TEXTS[0] == LOAD_ERROR_COUNT, "one text per code");

uint8_t* update_buffer = nullptr;
size_t update_size = 0;
int last_errno = 0;
char reason[320];

#if defined(__MINGW32__)
__attribute__((format(gnu_printf, 1, 2)))
#elif defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
void say_why(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(reason, sizeof reason, format, args);
    va_end(args);
}

// What the system says of an open file: enough to tell that it changed.
struct Stamp {
    bool regular;
    int64_t size;
    int64_t mtime_ns;
};

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
bool stamp_of(FILE* f, Stamp* s) {
    struct _stat64 st;
    if (_fstat64(_fileno(f), &st) != 0) return false;
    s->regular = (st.st_mode & _S_IFMT) == _S_IFREG;
    s->size = int64_t(st.st_size);
    s->mtime_ns = int64_t(st.st_mtime) * 1000000000;
    return true;
}
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
bool stamp_of(FILE* f, Stamp* s) {
    struct stat st;
    if (fstat(fileno(f), &st) != 0) return false;
    s->regular = S_ISREG(st.st_mode);
    s->size = int64_t(st.st_size);
    s->mtime_ns = int64_t(st.st_mtim.tv_sec) * 1000000000 + int64_t(st.st_mtim.tv_nsec);
    return true;
}
#endif


// Why a file would not open, for the line after the first.
void say_why_not_opened(int err) {
    switch (err) {
        case ENOENT: say_why("No file has that name."); break;
        case EISDIR: say_why("It is a folder, not a file."); break;
        case EACCES:
        case EPERM: say_why("This account may not read it."); break;
        default: say_why("%s.", std::strerror(err)); break;
    }
}

// Reads the whole file into a fresh buffer, checking each piece as it comes
// in. On success the buffer and its size are handed back; on failure nothing
// stays allocated and `reason` says why.
int read_update_file(const char* path, size_t min_size, void (*between_chunks)(), uint8_t** out,
                     size_t* out_size) {
    last_errno = 0;
    if (!path || !*path) {
        say_why("No file name was given.");
        return LOAD_CANNOT_OPEN;
    }
    errno = 0;
    FILE* f = open_for_reading(path);
    if (!f) {
        last_errno = errno ? errno : ENOENT;
        say_why_not_opened(last_errno);
        return LOAD_CANNOT_OPEN;
    }
    Stamp before = {};
    if (!stamp_of(f, &before)) {
        last_errno = errno;
        say_why("%s.", std::strerror(errno));
        fclose(f);
        return LOAD_NO_SIZE;
    }
    if (!before.regular) {
        say_why("It is not a plain file (a pipe or a device, perhaps).");
        fclose(f);
        return LOAD_CANNOT_SEEK;
    }
    // The size decides before anything is read.
    if (before.size == 0 || uint64_t(before.size) < min_size) {
        if (before.size == 0)
            say_why("It is empty.");
        else
            say_why("It has %lld bytes; an update file has at least %zu.", (long long)before.size, min_size);
        fclose(f);
        return LOAD_TOO_SMALL;
    }
    if (uint64_t(before.size) > UPDATE_FILE_MAX_SIZE) {
        say_why("It has %.1f MiB; an update file has at most %zu MiB.", double(before.size) / 1048576.0,
                UPDATE_FILE_MAX_SIZE >> 20);
        fclose(f);
        return LOAD_TOO_LARGE;
    }
    size_t size = size_t(before.size);
    uint8_t* buf = static_cast<uint8_t*>(zp_alloc(size));
    if (!buf) {
        say_why("%zu bytes could not be set aside for it.", size);
        fclose(f);
        return LOAD_NO_MEMORY;
    }
    SysexCheck check;
    sysex_check_init(&check);
    int code = LOAD_OK;
    size_t got = 0;
    while (got < size) {
        size_t want = size - got < UPDATE_FILE_CHUNK ? size - got : UPDATE_FILE_CHUNK;
        size_t n = fread(buf + got, 1, want, f);
        if (n > 0 && !sysex_check_feed(&check, buf + got, n)) {
            code = LOAD_NOT_SYSEX;
            break;
        }
        got += n;
        if (n < want) break;
        if (between_chunks && got < size) between_chunks();
    }
    if (code == LOAD_OK && got < size) {
        if (ferror(f)) {
            last_errno = errno;
            code = LOAD_SHORT_READ;
            say_why("Only %zu of its %zu bytes could be read (%s).", got, size, std::strerror(errno));
        } else {
            code = LOAD_CHANGED;  // it ended early: shortened while read
        }
    }
    // One byte more, or another size or time afterwards: another program
    // wrote it while it was read, and what was read is not one whole image.
    Stamp after = {};
    uint8_t extra;
    if (code == LOAD_OK && (fread(&extra, 1, 1, f) != 0 || !stamp_of(f, &after) || after.size != before.size ||
                            after.mtime_ns != before.mtime_ns))
        code = LOAD_CHANGED;
    if (code == LOAD_CHANGED)
        say_why("Another program may still be writing it. Wait until it has finished, then try again.");
    if (code == LOAD_OK && !sysex_check_end(&check)) code = LOAD_NOT_SYSEX;
    if (code == LOAD_NOT_SYSEX) sysex_check_reason(&check, reason, sizeof reason);
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

const char* update_file_reason() { return reason; }

const char* update_load_error_text(int code) {
    if (code < 0 || code >= LOAD_ERROR_COUNT) return nullptr;
    return LOAD_ERROR_TEXTS[code];
}

void sysex_check_init(SysexCheck* c) { *c = SysexCheck{}; }

bool sysex_check_feed(SysexCheck* c, const uint8_t* bytes, size_t n) {
    if (c->fault != SYSEX_FINE) return false;
    for (size_t i = 0; i < n; i++, c->at++) {
        uint8_t b = bytes[i];
        if (!c->in_message) {
            if (b != 0xF0) {
                c->fault = SYSEX_NO_START;
            } else {
                c->in_message = true;
                c->message_start = c->at;
                continue;
            }
        } else if (b == 0xF7) {
            c->in_message = false;
            c->messages++;
            continue;
        } else if (b < 0x80) {
            continue;
        } else {
            c->fault = SYSEX_STATUS_BYTE;
        }
        c->fault_at = c->at;
        c->fault_byte = b;
        return false;
    }
    return true;
}

bool sysex_check_end(SysexCheck* c) {
    if (c->fault != SYSEX_FINE) return false;
    if (c->in_message) {
        c->fault = SYSEX_CUT_SHORT;
        c->fault_at = c->message_start;
    } else if (c->messages == 0) {
        c->fault = SYSEX_EMPTY;
        c->fault_at = 0;
    }
    return c->fault == SYSEX_FINE;
}

void sysex_check_reason(const SysexCheck* c, char* text, size_t size) {
    if (!text || size == 0) return;
    unsigned long long at = c->fault_at;
    switch (c->fault) {
        case SYSEX_NO_START:
            std::snprintf(text, size,
                          "At offset %llu, where a message should begin with F0, the file has %02X.", at,
                          c->fault_byte);
            break;
        case SYSEX_STATUS_BYTE:
            std::snprintf(text, size,
                          "At offset %llu the byte %02X stands inside the message that begins at offset %llu, "
                          "where only data bytes (00 to 7F) may be.",
                          at, c->fault_byte, (unsigned long long)c->message_start);
            break;
        case SYSEX_CUT_SHORT:
            std::snprintf(text, size, "The last message, from offset %llu, ends without its F7: the file is cut short.",
                          at);
            break;
        case SYSEX_EMPTY:
            std::snprintf(text, size, "It holds no message.");
            break;
        default:
            text[0] = '\0';
            break;
    }
}

bool validate_sysex(const uint8_t* bytes, size_t length) {
    if (!bytes) return false;
    SysexCheck c;
    sysex_check_init(&c);
    return sysex_check_feed(&c, bytes, length) && sysex_check_end(&c);
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

int update_file_load(const char* path) { return update_file_load_with(path, UPDATE_FILE_MIN_SIZE, nullptr); }

int update_file_load_with(const char* path, size_t min_size, void (*between_chunks)()) {
    update_file_release();
    reason[0] = '\0';
    uint8_t* buf = nullptr;
    size_t size = 0;
    int code = read_update_file(path, min_size, between_chunks, &buf, &size);
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
