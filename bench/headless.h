// The headless window layer (headless_window.cpp) and its event loop, for
// driving the wizard's controller and transfer without a display.
#ifndef ZP_BENCH_HEADLESS_H
#define ZP_BENCH_HEADLESS_H

#include <string>

// What the window would hold (the file name and the chosen port, set by the
// program) and what it was asked to do.
extern std::string bench_file;
extern std::string bench_port;
extern bool bench_wake;
extern int bench_wake_after_ms;  // a delayed wake the loop is to make; -1 for none
extern int bench_errors;         // error boxes shown so far
extern std::string bench_last_error;

// The event bridge: one SendMore per pending wake, a Tick every 100 ms, a
// delayed wake after its pause, sleeping in between as the toolkit would.
// Runs until `done` returns true (then true) or `timeout_s` passes (false).
bool headless_run_until(bool (*done)(), double timeout_s);

#endif
