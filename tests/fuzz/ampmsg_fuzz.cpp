// Feeds arbitrary bytes to the decoders that face the wire. Each input is
// copied into a heap block of exactly its size, so a read past the end is an
// AddressSanitizer report, and the checks below turn a wrong answer into a
// crash that libFuzzer keeps.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "ampmsg/controllers.h"
#include "ampmsg/message.h"
#include "ampmsg/packing.h"
#include "ampmsg/responses.h"

namespace {

void require(bool ok) {
    if (!ok) __builtin_trap();
}

void fuzz_response_decode(const uint8_t* msg, const uint8_t* original, size_t size) {
    int err = -1;
    AmpResponse* r = amp_response_decode(msg, static_cast<int32_t>(size), &err);
    require(size == 0 || std::memcmp(msg, original, size) == 0);  // caller's bytes untouched
    if (r) {
        require(err == AMP_OK);
        int32_t type = amp_response_type(r, nullptr);
        require(type >= AMP_RSP_CMD20 && type <= AMP_RSP_IDENTITY);
        require(amp_response_payload(r, nullptr) != nullptr);
        int free_err = -1;
        amp_record_free(r, &free_err);
        require(free_err == AMP_OK);
    } else {
        // No allocation is refused here, so 14 would be a lie.
        require(err == AMP_OK || err == AMP_ERR_REPLY_LENGTH || err == AMP_ERR_UNKNOWN_REPLY);
    }
}

void fuzz_unpack(const uint8_t* msg, size_t size) {
    const uint32_t n = static_cast<uint32_t>(size);
    const uint32_t out_size = 7 * (n / 8);
    uint8_t* out = static_cast<uint8_t*>(std::malloc(out_size ? out_size : 1));
    require(unpack_seven_bit(out, msg, n) == out_size);
    // Packing again gives the whole groups back with every bit 7 cleared.
    uint8_t* again = static_cast<uint8_t*>(std::malloc(8 * (n / 8) + 8));
    uint32_t packed = pack_seven_bit(again, out, out_size);
    require(packed == 8 * (n / 8));
    for (uint32_t i = 0; i < packed; ++i) require(again[i] == (msg[i] & 0x7F));
    std::free(again);
    std::free(out);
}

void fuzz_cc_decode(const uint8_t* data, size_t size) {
    if (size < 3) return;
    uint8_t* msg = static_cast<uint8_t*>(std::malloc(3));
    std::memcpy(msg, data, 3);
    ControllerValue v = {-1000, -1000};
    int err = -1;
    amp_cc_decode(msg, &v, &err);
    require(err >= AMP_CC_OK && err <= AMP_CC_BAD_STATUS);
    if (err == AMP_CC_OK) {
        require(v.controller == msg[1]);
        require(v.value >= -64 && v.value <= 127);
    } else {
        require(v.controller == -1000 && v.value == -1000);
    }
    std::free(msg);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 4096) return 0;  // the amp's longest reply is 520 bytes
    uint8_t* msg = static_cast<uint8_t*>(std::malloc(size ? size : 1));
    if (size) std::memcpy(msg, data, size);
    fuzz_response_decode(msg, data, size);
    fuzz_unpack(msg, size);
    fuzz_cc_decode(msg, size);
    std::free(msg);
    return 0;
}
