#include "ampmsg/message.h"

#include "ampmsg/message_internal.h"
#include "midi/fault.h"

#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

const char kMessageTag[4] = {'M', 'S', 'G', '\0'};
const char kResponseTag[4] = {'R', 'S', 'P', '\0'};

// Never written: accessors handed a non-record read their field from here.
const AmpMessage kNoMessage = {};
const AmpResponse kNoResponse = {};

// The payload starts at the first maximally aligned offset after the header,
// so payload records of any field type can live there.
constexpr size_t kAlign = alignof(std::max_align_t);
constexpr size_t kResponseHeader = (sizeof(AmpResponse) + kAlign - 1) / kAlign * kAlign;
constexpr size_t kMessageHeader = sizeof(AmpMessage);

void set_err(int* err, int code) {
    if (err) *err = code;
}

// Compares byte by byte and stops at the first difference, so a pointer to a
// shorter object is read no further than a string comparison would read it.
bool has_tag(const void* record, const char (&tag)[4]) {
    if (!record) return false;
    const char* p = static_cast<const char*>(record);
    for (int i = 0; i < 4; ++i) {
        if (p[i] != tag[i]) return false;
    }
    return true;
}

const AmpMessage* as_message(const void* record) {
    return has_tag(record, kMessageTag) ? static_cast<const AmpMessage*>(record) : nullptr;
}

const AmpResponse* as_response(const void* record) {
    return has_tag(record, kResponseTag) ? static_cast<const AmpResponse*>(record) : nullptr;
}

}  // namespace

void* amp_alloc(size_t size) { return zp_alloc(size); }

void amp_release(void* block) { zp_free(block); }

AmpMessage* amp_message_alloc(int32_t length, int32_t reply_length, int* err) {
    if (length < 0) {
        set_err(err, AMP_ERR_NO_MEMORY);
        return nullptr;
    }
    void* mem = amp_alloc(kMessageHeader + static_cast<size_t>(length));
    if (!mem) {
        set_err(err, AMP_ERR_NO_MEMORY);
        return nullptr;
    }
    AmpMessage* m = static_cast<AmpMessage*>(mem);
    std::memcpy(m->tag, kMessageTag, 4);
    m->bytes = static_cast<uint8_t*>(mem) + kMessageHeader;
    m->length = length;
    m->reply_length = reply_length;
    // Bytes a request builder fills later start out zero, never whatever the
    // allocator left there.
    std::memset(m->bytes, 0, static_cast<size_t>(length));
    return m;
}

AmpMessage* amp_message_build(int32_t command, int32_t first, int32_t second, int32_t third,
                              int32_t arg_count, int32_t reply_data_count, int* err) {
    if (command < 0 || command > 127 || first > 127 || second > 127 || third > 127) {
        set_err(err, AMP_ERR_BYTE_RANGE);
        return nullptr;
    }
    if (arg_count <= 0) {
        // Counted arguments are written by position, so a present argument
        // after an absent one would silently be dropped from the message:
        // refuse it instead of sending something the caller did not ask for.
        if ((first < 0 && (second >= 0 || third >= 0)) || (second < 0 && third >= 0)) {
            set_err(err, AMP_ERR_BYTE_RANGE);
            return nullptr;
        }
        arg_count = (first >= 0) + (second >= 0) + (third >= 0);
    }
    // Lengths are 32-bit fields: refuse counts that would overflow them.
    if (arg_count > INT32_MAX - 8 || reply_data_count > INT32_MAX - 8) {
        set_err(err, AMP_ERR_BYTE_RANGE);
        return nullptr;
    }
    int32_t reply_length = 9;  // a reply with one data byte
    if (command == 12) {
        reply_length = 0;  // the amp restarts and answers nothing
    } else if (reply_data_count > 0) {
        reply_length = reply_data_count + 8;
    }
    const int32_t length = arg_count + 8;
    AmpMessage* m = amp_message_alloc(length, reply_length, err);
    if (!m) return nullptr;

    uint8_t* b = m->bytes;
    std::memcpy(b, AMP_SYSEX_HEADER, AMP_HEADER_LENGTH);
    b[AMP_COMMAND_OFFSET] = static_cast<uint8_t>(command);
    if (arg_count >= 1 && first >= 0) b[7] = static_cast<uint8_t>(first);
    if (arg_count >= 2 && second >= 0) b[8] = static_cast<uint8_t>(second);
    if (arg_count >= 3 && third >= 0) b[9] = static_cast<uint8_t>(third);
    b[length - 1] = AMP_SYSEX_END;
    set_err(err, AMP_OK);
    return m;
}

const uint8_t* amp_message_bytes(const void* record, int* err) {
    const AmpMessage* m = as_message(record);
    set_err(err, m ? AMP_OK : AMP_ERR_NOT_RECORD);
    return (m ? m : &kNoMessage)->bytes;
}

int32_t amp_message_length(const void* record, int* err) {
    const AmpMessage* m = as_message(record);
    set_err(err, m ? AMP_OK : AMP_ERR_NOT_RECORD);
    return (m ? m : &kNoMessage)->length;
}

int32_t amp_message_reply_length(const void* record, int* err) {
    const AmpMessage* m = as_message(record);
    set_err(err, m ? AMP_OK : AMP_ERR_NOT_RECORD);
    return (m ? m : &kNoMessage)->reply_length;
}

int32_t amp_response_type(const void* record, int* err) {
    const AmpResponse* r = as_response(record);
    set_err(err, r ? AMP_OK : AMP_ERR_NOT_RECORD);
    return (r ? r : &kNoResponse)->type;
}

void* amp_response_payload(const void* record, int* err) {
    const AmpResponse* r = as_response(record);
    set_err(err, r ? AMP_OK : AMP_ERR_NOT_RECORD);
    return (r ? r : &kNoResponse)->payload;
}

AmpResponse* amp_response_new(int32_t type, int32_t payload_size, int* err) {
    // A negative size cannot be honoured; it is refused like a failed
    // allocation rather than wrapped into an enormous one.
    if (payload_size < 0) {
        set_err(err, AMP_ERR_NO_MEMORY);
        return nullptr;
    }
    void* mem = amp_alloc(kResponseHeader + static_cast<size_t>(payload_size));
    if (!mem) {
        set_err(err, AMP_ERR_NO_MEMORY);
        return nullptr;
    }
    AmpResponse* r = static_cast<AmpResponse*>(mem);
    std::memcpy(r->tag, kResponseTag, 4);
    r->type = type;
    r->payload = static_cast<uint8_t*>(mem) + kResponseHeader;
    return r;
}

void amp_record_free(void* record, int* err) {
    if (!as_message(record) && !as_response(record)) {
        set_err(err, AMP_ERR_NOT_RECORD);
        return;
    }
    static_cast<char*>(record)[0] = '\0';
    amp_release(record);
    set_err(err, AMP_OK);
}

bool amp_pattern_match(const uint8_t* data, int32_t data_length, const uint8_t* pattern,
                       int32_t pattern_length) {
    if (!data || !pattern || data_length < 0 || data_length != pattern_length) return false;
    for (int32_t i = 0; i < data_length; ++i) {
        if (pattern[i] != 0xFF && pattern[i] != data[i]) return false;
    }
    return true;
}

int32_t amp_nibbles_to_int(const uint8_t* bytes, int32_t count) {
    if (!bytes) return 0;
    uint32_t value = 0;  // unsigned, so nibbles shifted past bit 31 simply drop out
    for (int32_t i = 0; i < count; ++i) {
        value = (value << 4) | (bytes[i] & 0x0Fu);
    }
    return static_cast<int32_t>(value);
}

const uint8_t* amp_copy_text(char* dst, const uint8_t* src, int32_t count) {
    if (!dst || !src) return src;
    if (count < 0) count = 0;
    std::memcpy(dst, src, static_cast<size_t>(count));
    dst[count] = '\0';
    return src + count;
}
