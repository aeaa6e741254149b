// ampctl's reply handling against arbitrary replies: the check that a reply
// is the one asked for, for every request of its catalogue, and the printing
// of what decodes, in both forms, never reads outside the reply or prints a
// control character (every text field comes out escaped).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "ampmsg/responses.h"
#include "tools/ampctl/ampctl.h"

namespace {

void require(bool ok) {
    if (!ok) __builtin_trap();
}

// What was printed has no control character but line ends.
void require_clean(FILE* f) {
    std::fflush(f);
    long n = std::ftell(f);
    std::rewind(f);
    for (long i = 0; i < n; i++) {
        int ch = std::fgetc(f);
        require(ch == '\n' || (ch >= 0x20 && ch != 0x7F) || ch >= 0x80);
    }
    std::rewind(f);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    std::vector<uint8_t> reply(data + 1, data + size);  // exactly its size, for AddressSanitizer
    size_t count = 0;
    const AmpctlRequest* requests = ampctl_requests(&count);
    const AmpctlRequest& r = requests[data[0] % count];
    AmpctlArgs args;
    char why[200];
    char* none[1] = {nullptr};
    // The first argument count the entry takes, all zero: most build.
    static char zero[] = "0";
    char* zeros[4] = {zero, zero, zero, zero};
    if (ampctl_parse_args(&r, r.min_args, r.min_args ? zeros : none, &args, why, sizeof why)) {
        AmpMessage* m = r.build(&args, nullptr);
        if (m) {
            bool fits = ampctl_reply_fits(m, reply.data(), reply.size(), why, sizeof why);
            if (fits && !ampctl_reply_is_raw(m) && amp_message_reply_length(m, nullptr) > 0)
                require(reply.size() >= 6);
            amp_record_free(m, nullptr);
        }
    }
    static FILE* sink = std::tmpfile();
    int err = 0;
    AmpResponse* rsp = amp_response_decode(reply.data(), int32_t(reply.size()), &err);
    if (rsp) {
        ampctl_print_response(sink, rsp, false);
        ampctl_print_response(sink, rsp, true);
        if (amp_response_type(rsp, nullptr) == AMP_RSP_CMD11)
            ampctl_print_block(sink, static_cast<const Cmd11Reply*>(amp_response_payload(rsp, nullptr))->block, true);
        amp_record_free(rsp, nullptr);
        require_clean(sink);
    }
    return 0;
}
