// Refused allocations for the amp message library's tests: the n-th
// allocation refused and the live blocks counted, so that AMP_ERR_NO_MEMORY
// and the absence of leaks on every failure path are checked rather than
// assumed.
#ifndef ZP_TESTS_SUPPORT_AMP_ALLOC_HOOK_H
#define ZP_TESTS_SUPPORT_AMP_ALLOC_HOOK_H

#include "ampmsg/message.h"
#include "midi/fault.h"

namespace amp_test {

// Arms the project's fault injector (midi/fault.h) for one scope: refuses
// the allocation numbered `fail_at` (from 1; 0 refuses none), and counts the
// calls and the blocks still held since.
struct AllocHook {
    explicit AllocHook(int fail_at = 0) : live0(zp_fault_live) { zp_fault_arm(fail_at); }
    ~AllocHook() { zp_fault_arm(0); }
    AllocHook(const AllocHook&) = delete;
    AllocHook& operator=(const AllocHook&) = delete;
    int calls() const { return zp_fault_calls; }
    int live() const { return zp_fault_live - live0; }
    int live0;
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
