// The update file loader against arbitrary files: whatever the bytes, a load
// succeeds exactly when they are complete SysEx messages, keeps them exactly,
// and otherwise names the offset of the first byte that breaks the format;
// checking in pieces agrees with checking whole; the reason shown to the
// owner is safe text.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "update/safe_text.h"
#include "update/update_file.h"

namespace {

void require(bool ok) {
    if (!ok) __builtin_trap();
}

const char* scratch() {
    static std::string path;
    if (path.empty()) path = "/tmp/zp-file-fuzz-" + std::to_string(getpid()) + ".syx";
    return path.c_str();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    bool valid = validate_sysex(data, size);

    // The same check fed in pieces whose sizes the input chooses.
    SysexCheck c;
    sysex_check_init(&c);
    size_t at = 0;
    bool fine = true;
    for (size_t k = 0; at < size && fine; k++) {
        size_t piece = 1 + (size_t(data[k % size]) % 7);
        if (piece > size - at) piece = size - at;
        fine = sysex_check_feed(&c, data + at, piece);
        at += piece;
    }
    fine = fine && sysex_check_end(&c);
    require(fine == valid);
    if (!fine) {
        require(c.fault != SYSEX_FINE && c.fault_at <= size);
        if (c.fault == SYSEX_NO_START || c.fault == SYSEX_STATUS_BYTE) require(data[c.fault_at] == c.fault_byte);
        char why[320];
        sysex_check_reason(&c, why, sizeof why);
        require(why[0] != '\0');
    }

    // Through a real file, as the owner's would be read.
    int fd = open(scratch(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    require(fd >= 0);
    require(write(fd, data, size) == ssize_t(size));
    close(fd);
    int code = update_file_load_with(scratch(), 1, nullptr);
    require((code == LOAD_OK) == (valid && size >= 1));
    if (code == LOAD_OK) {
        require(update_file_size() == size && std::memcmp(update_file_bytes(), data, size) == 0);
    } else {
        require(update_file_bytes() == nullptr);
        require(update_load_error_text(code) != nullptr);
        char shown[1400];
        safe_text(update_file_reason(), shown, sizeof shown);
        for (const char* p = shown; *p; p++) require((unsigned char)*p >= 0x20 && *p != 0x7F);
    }
    update_file_release();
    return 0;
}
