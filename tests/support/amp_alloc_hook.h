// Test allocator for the amp message library: counts live blocks and can
// refuse the n-th allocation, so that code 14 and the absence of leaks on
// every failure path are checked rather than assumed.
#ifndef ZP_TESTS_SUPPORT_AMP_ALLOC_HOOK_H
#define ZP_TESTS_SUPPORT_AMP_ALLOC_HOOK_H

#include <cstdlib>

#include "ampmsg/message.h"

namespace amp_test {

struct AllocState {
    int calls = 0;     // allocations asked for since install
    int live = 0;      // blocks handed out and not yet released
    int fail_at = 0;   // 1-based call number to refuse; 0 refuses none
};

inline AllocState& alloc_state() {
    static AllocState s;
    return s;
}

inline void* counting_alloc(size_t n) {
    AllocState& s = alloc_state();
    ++s.calls;
    if (s.fail_at != 0 && s.calls == s.fail_at) return nullptr;
    void* p = std::malloc(n ? n : 1);
    if (p) ++s.live;
    return p;
}

inline void counting_free(void* p) {
    if (!p) return;
    --alloc_state().live;
    std::free(p);
}

// Installs the counting allocator for one scope; refuses call `fail_at`.
struct AllocHook {
    explicit AllocHook(int fail_at = 0) {
        alloc_state() = AllocState{};
        alloc_state().fail_at = fail_at;
        amp_set_allocator(counting_alloc, counting_free);
    }
    ~AllocHook() { amp_set_allocator(nullptr, nullptr); }
    AllocHook(const AllocHook&) = delete;
    AllocHook& operator=(const AllocHook&) = delete;
    int calls() const { return alloc_state().calls; }
    int live() const { return alloc_state().live; }
};

// Runs `op` (which returns a record or null and takes an int* err) once with
// every allocation it makes refused in turn, expecting null, code 14 and no
// block left behind each time; returns how many allocation points it found.
// The caller asserts on the result with its own test framework.
template <typename Op>
int count_allocation_points(Op op, bool* all_clean) {
    *all_clean = true;
    int points = 0;
    {
        AllocHook probe;
        int err = -1;
        void* r = op(&err);
        points = probe.calls();
        amp_record_free(r, nullptr);
        if (probe.live() != 0) *all_clean = false;
    }
    for (int k = 1; k <= points; ++k) {
        AllocHook hook(k);
        int err = -1;
        void* r = op(&err);
        if (r != nullptr || err != AMP_ERR_NO_MEMORY || hook.live() != 0) *all_clean = false;
        amp_record_free(r, nullptr);
    }
    return points;
}

}  // namespace amp_test

#endif
