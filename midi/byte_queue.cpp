#include "midi/byte_queue.h"

#include "midi/fault.h"

#include <cstdlib>
#include <cstring>

namespace {

// Indexed by error code.
const char* const kErrorText[] = {
    nullptr,               // 0 success
    "invalid queue",       // 1
    "invalid byte count",  // 2
    "out of memory",       // 3
    "null pointer",        // 4
    "too many created",    // 5
    "unknown error",       // 6
};

void set_err(int* err, int code) {
    if (err) *err = code;
}

bool valid(const ByteQueue* q) { return q && q->tag == BYTE_QUEUE_TAG; }

// The ring sits right after the record in the same allocation.
uint8_t* storage(ByteQueue* q) { return reinterpret_cast<uint8_t*>(q) + sizeof(ByteQueue); }
const uint8_t* storage(const ByteQueue* q) {
    return reinterpret_cast<const uint8_t*>(q) + sizeof(ByteQueue);
}

uint32_t count_of(const ByteQueue* q) { return q->total_in - q->total_out; }

}  // namespace

ByteQueue* byte_queue_create(uint32_t capacity, int* err) {
    if (capacity == 0 || capacity >= BYTE_QUEUE_MAX_CAPACITY) {
        set_err(err, BQ_INVALID_COUNT);
        return nullptr;
    }
    size_t ring = capacity < 4 ? 4 : capacity;
    size_t size = sizeof(ByteQueue) + ring;
    void* mem = zp_alloc(size);
    if (!mem) {
        set_err(err, BQ_NO_MEMORY);
        return nullptr;
    }
    ByteQueue* q = static_cast<ByteQueue*>(mem);
    q->capacity = capacity;
    q->tag = BYTE_QUEUE_TAG;
    std::memset(storage(q), 0, ring);
    q->total_in = q->total_out = 0;
    q->read_index = q->write_index = 0;
    set_err(err, BQ_OK);
    return q;
}

int byte_queue_free(ByteQueue* q, int* err) {
    if (!valid(q)) {
        set_err(err, BQ_INVALID_QUEUE);
        return 0;
    }
    q->tag = 0;
    zp_free(q);
    set_err(err, BQ_OK);
    return 1;
}

uint32_t byte_queue_put(ByteQueue* q, uint32_t n, const uint8_t* src, int* err) {
    if (!valid(q)) {
        set_err(err, BQ_INVALID_QUEUE);
        return 0;
    }
    if (!src) {
        set_err(err, BQ_NULL_POINTER);
        return 0;
    }
    uint32_t room = q->capacity - count_of(q);
    uint32_t k = n < room ? n : room;
    if (k > 0) {
        uint8_t* ring = storage(q);
        uint32_t first = q->capacity - q->write_index;
        if (k <= first) {
            std::memcpy(ring + q->write_index, src, k);
        } else {
            std::memcpy(ring + q->write_index, src, first);
            std::memcpy(ring, src + first, k - first);
        }
        // Written as a subtraction so that the sum never overflows 32 bits.
        q->write_index = k < first ? q->write_index + k : k - first;
        q->total_in += k;
    }
    set_err(err, BQ_OK);
    return k;
}

uint32_t byte_queue_peek(const ByteQueue* q, uint32_t n, uint8_t* dst, int* err) {
    if (!valid(q)) {
        set_err(err, BQ_INVALID_QUEUE);
        return 0;
    }
    uint32_t held = count_of(q);
    uint32_t k = n < held ? n : held;
    if (k > 0 && dst) {
        const uint8_t* ring = storage(q);
        uint32_t first = q->capacity - q->read_index;
        if (k <= first) {
            std::memcpy(dst, ring + q->read_index, k);
        } else {
            std::memcpy(dst, ring + q->read_index, first);
            std::memcpy(dst + first, ring, k - first);
        }
    }
    set_err(err, BQ_OK);
    return k;
}

uint32_t byte_queue_get(ByteQueue* q, uint32_t n, uint8_t* dst, int* err) {
    uint32_t k = byte_queue_peek(q, n, dst, err);
    if (k > 0) {
        uint32_t first = q->capacity - q->read_index;
        q->read_index = k < first ? q->read_index + k : k - first;
        q->total_out += k;
    }
    return k;
}

int byte_queue_clear(ByteQueue* q, int* err) {
    if (!valid(q)) {
        set_err(err, BQ_INVALID_QUEUE);
        return 0;
    }
    q->total_in = q->total_out = 0;
    q->read_index = q->write_index = 0;
    set_err(err, BQ_OK);
    return 1;
}

uint32_t byte_queue_count(const ByteQueue* q, int* err) {
    if (!valid(q)) {
        set_err(err, BQ_INVALID_QUEUE);
        return 0;
    }
    set_err(err, BQ_OK);
    return count_of(q);
}

uint32_t byte_queue_free_space(const ByteQueue* q, int* err) {
    if (!valid(q)) {
        set_err(err, BQ_INVALID_QUEUE);
        return 0;
    }
    set_err(err, BQ_OK);
    return q->capacity - count_of(q);
}

uint32_t byte_queue_capacity(const ByteQueue* q, int* err) {
    if (!valid(q)) {
        set_err(err, BQ_INVALID_QUEUE);
        return 0;
    }
    set_err(err, BQ_OK);
    return q->capacity;
}

int byte_queue_is_empty(const ByteQueue* q, int* err) {
    if (!valid(q)) {
        set_err(err, BQ_INVALID_QUEUE);
        return 0;
    }
    set_err(err, BQ_OK);
    return count_of(q) == 0 ? 1 : 0;
}

int byte_queue_is_full(const ByteQueue* q, int* err) {
    if (!valid(q)) {
        set_err(err, BQ_INVALID_QUEUE);
        return 0;
    }
    set_err(err, BQ_OK);
    return count_of(q) == q->capacity ? 1 : 0;
}

const char* byte_queue_error_text(unsigned code) {
    if (code >= sizeof(kErrorText) / sizeof(kErrorText[0])) return "(?)";
    return kErrorText[code];
}
