// Fixed-capacity first-in first-out byte store.
//
// A ByteQueue never grows and never allocates after creation. Puts store as
// many of the offered bytes as fit; gets and peeks return as many as are held.
// Every operation but the error-text one ends with an `err` out-parameter that
// receives 0 or a code from the table below; it may be null.
//
// The queue takes no lock: one thread at a time. The input port guards the one
// queue that two threads reach.
#ifndef ZP_MIDI_BYTE_QUEUE_H
#define ZP_MIDI_BYTE_QUEUE_H

#include <cstddef>
#include <cstdint>

// The record and its ring storage are one allocation; the ring follows the
// record directly and is never shorter than 4 bytes.
struct ByteQueue {
    uint32_t tag;          // "BYTQ" in memory order while live, 0 once freed
    uint32_t total_in;     // bytes ever put, modulo 2^32
    uint32_t total_out;    // bytes ever removed, modulo 2^32
    uint32_t capacity;     // 1 .. BYTE_QUEUE_MAX_CAPACITY - 1
    uint32_t read_index;   // oldest byte held
    uint32_t write_index;  // where the next put begins
};

// Error codes of the byte queue; byte_queue_error_text keeps one text per code.
enum ByteQueueError {
    BQ_OK = 0,
    BQ_INVALID_QUEUE = 1,
    BQ_INVALID_COUNT = 2,
    BQ_NO_MEMORY = 3,
    BQ_NULL_POINTER = 4,
    BQ_TOO_MANY = 5,  // kept for its text; nothing returns it
    BQ_UNKNOWN = 6,   // kept for its text; nothing returns it
};

constexpr uint32_t BYTE_QUEUE_TAG = 0x51545942u;           // "BYTQ"
constexpr uint32_t BYTE_QUEUE_MAX_CAPACITY = 0xFFFFFFE8u;  // first refused

// Makes an empty queue of `capacity` bytes. Null with BQ_INVALID_COUNT for
// capacity 0 or BYTE_QUEUE_MAX_CAPACITY and above, BQ_NO_MEMORY when memory
// is refused.
ByteQueue* byte_queue_create(uint32_t capacity, int* err);

// Releases a live queue and clears its tag. 1 if released, 0
// (BQ_INVALID_QUEUE) if not.
int byte_queue_free(ByteQueue* q, int* err);

// Stores min(n, free space) bytes from `src`; returns that count. A null
// source is BQ_NULL_POINTER whatever n is.
uint32_t byte_queue_put(ByteQueue* q, uint32_t n, const uint8_t* src, int* err);

// Copies min(n, count) bytes from the front into `dst` without removing them;
// with a null `dst` only the count is returned.
uint32_t byte_queue_peek(const ByteQueue* q, uint32_t n, uint8_t* dst, int* err);

// Removes min(n, count) bytes from the front, copying them into `dst` unless
// it is null (then they are discarded).
uint32_t byte_queue_get(ByteQueue* q, uint32_t n, uint8_t* dst, int* err);

// Empties the queue and resets both indices; 1 on success, 0 if invalid.
int byte_queue_clear(ByteQueue* q, int* err);

// Constant-time readings; each gives 0 with BQ_INVALID_QUEUE for an invalid
// queue.
uint32_t byte_queue_count(const ByteQueue* q, int* err);
uint32_t byte_queue_free_space(const ByteQueue* q, int* err);
uint32_t byte_queue_capacity(const ByteQueue* q, int* err);
int byte_queue_is_empty(const ByteQueue* q, int* err);
int byte_queue_is_full(const ByteQueue* q, int* err);

// Fixed English text for a code; null for 0, "(?)" for codes past the table.
const char* byte_queue_error_text(unsigned code);

#endif
