#include "tools/ampctl/ampctl.h"

#include "ampmsg/responses.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr int ANY_COMMAND = -1;  // the library decodes no reply to it
constexpr int ACK = -2;          // the one-data-byte reply: command 0 or 115

// Which reply answers a request, by the request's command byte: the reply's
// command byte, or ACK or ANY_COMMAND. A request not listed is answered by
// the one-data-byte reply.
struct ReplyKind {
    int request;
    int reply;
};
const ReplyKind REPLY_KINDS[] = {
    {2, 18}, {3, ANY_COMMAND}, {4, 19}, {5, 20}, {7, 22}, {8, 23}, {9, 11}, {25, ANY_COMMAND}, {33, 34}, {118, 118},
};

int reply_command_for(int request) {
    for (const ReplyKind& k : REPLY_KINDS)
        if (k.request == request) return k.reply;
    return ACK;
}

bool no(char* why, size_t n, const char* format, long a = 0, long b = 0) {
    if (why && n) std::snprintf(why, n, format, a, b);
    return false;
}

bool is_identity_request(const uint8_t* m, int length) {
    return length == AMP_IDENTITY_REQUEST_LENGTH && std::memcmp(m, AMP_IDENTITY_REQUEST, AMP_IDENTITY_REQUEST_LENGTH) == 0;
}

}  // namespace

bool ampctl_reply_is_raw(const AmpMessage* request) {
    const uint8_t* m = amp_message_bytes(request, nullptr);
    int length = amp_message_length(request, nullptr);
    return m && length > AMP_HEADER_LENGTH && !is_identity_request(m, length) &&
           reply_command_for(m[AMP_HEADER_LENGTH]) == ANY_COMMAND;
}

bool ampctl_reply_fits(const AmpMessage* request, const uint8_t* reply, size_t length, char* why, size_t why_len) {
    const uint8_t* m = amp_message_bytes(request, nullptr);
    int request_length = amp_message_length(request, nullptr);
    long expected = amp_message_reply_length(request, nullptr);
    if (!m || !reply) return no(why, why_len, "there is no reply");
    if (is_identity_request(m, request_length)) {
        if (amp_is_identity_reply(reply, int32_t(length))) return true;
        return no(why, why_len, "it is not the identity reply (%ld bytes, the identity reply has %ld)", long(length),
                  long(AMP_IDENTITY_REPLY_LENGTH));
    }
    if (!amp_check_framing(reply, int32_t(length))) return no(why, why_len, "it is not a message of the amp");
    int command = reply[AMP_HEADER_LENGTH];
    int wanted = reply_command_for(m[AMP_HEADER_LENGTH]);
    if (wanted == ACK ? command != 0 && command != 115 : wanted != ANY_COMMAND && command != wanted)
        return no(why, why_len, "it answers another request (its command is %ld, %ld was asked for)", command,
                  wanted == ACK ? 0 : wanted);
    long have = long(length);
    if (command == 34) {
        // 10 bytes around the packed words; count - 1 in bytes 7 and 8.
        if (have < 10) return no(why, why_len, "it has %ld bytes, too few for a word table", have);
        long count = reply[7] + 128L * reply[8] + 1;
        long packed = 8 * ((2 * count + 6) / 7);
        if (have != packed + 10)
            return no(why, why_len, "it has %ld bytes; a table of that many words has %ld", have, packed + 10);
        return true;
    }
    if (command == 11) {
        // Bytes 7..9, then (controller, value) pairs in controller order.
        if (have < 13 || have > expected || (have - 11) % 2 != 0)
            return no(why, why_len, "it has %ld bytes, which is no whole preset block of at most %ld", have, expected);
        for (long at = 12; at + 2 < have; at += 2)
            if (reply[at] <= reply[at - 2])
                return no(why, why_len, "its controllers are out of order at byte %ld: bytes are missing", at);
        return true;
    }
    if (have != expected) return no(why, why_len, "it has %ld bytes; the reply to this request has %ld", have, expected);
    return true;
}
