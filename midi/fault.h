// The one allocation point of the project's libraries (the amp message
// library, the byte queue, the MIDI ports, the update file), and the one
// countdown fault injector in it that the tests use, as SQLite has one:
// armed with n, the n-th allocation from then on is refused, once, and every
// other goes through. Every block from zp_alloc goes back through zp_free,
// which keeps the count of blocks still held, so a test can see that a
// refused allocation left nothing behind.
//
// Internal: included only by the libraries' own sources and the tests,
// never installed. Header-only, so each library carries it without linking
// another; the counters are single objects program-wide (inline variables).
#ifndef ZP_MIDI_FAULT_H
#define ZP_MIDI_FAULT_H

#include <atomic>
#include <cstddef>
#include <cstdlib>

inline std::atomic<int> zp_fault_countdown{0};  // allocations left up to the refused one; 0: none
inline std::atomic<int> zp_fault_calls{0};      // allocations asked for since the last arm
inline std::atomic<int> zp_fault_live{0};       // blocks handed out and not yet freed

// The n-th allocation from now is refused (n >= 1); 0 refuses none. Counts
// the calls afresh.
inline void zp_fault_arm(int n) {
    zp_fault_calls = 0;
    zp_fault_countdown = n > 0 ? n : 0;
}

// std::malloc of `size` bytes (at least one), or null when the countdown
// ends at this call.
inline void* zp_alloc(size_t size) {
    zp_fault_calls++;
    if (zp_fault_countdown.load() > 0 && --zp_fault_countdown == 0) return nullptr;
    void* p = std::malloc(size ? size : 1);
    if (p) zp_fault_live++;
    return p;
}

// Releases a block of zp_alloc; null is ignored.
inline void zp_free(void* p) {
    if (!p) return;
    zp_fault_live--;
    std::free(p);
}

#endif
