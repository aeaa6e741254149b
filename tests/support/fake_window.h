// A stand-in for the window layer that records what the wizard does to it,
// so the controller and the update's page actions run without a display: in
// unit tests, which deliver events themselves, and headless, where
// fake_window_run_until is the event bridge (the VM tests' update driver,
// the update benchmark).
#ifndef ZP_TESTS_FAKE_WINDOW_H
#define ZP_TESTS_FAKE_WINDOW_H

#include <string>
#include <vector>

struct FakeWindow {
    std::string label[8];
    int active[8];
    int focus;        // last widget id given the focus (7 is refused, as the real choice does)
    int arrow_row;
    std::string text;
    std::string file;         // file-name input; empty means none
    std::string port;         // chosen port; empty means none
    std::vector<std::string> errors;
    bool echo_errors;   // each error also goes to standard error as "wizard: ..." 
    std::vector<std::string> port_list;  // device names listed since the last clear
    int wakes;          // immediate and delayed ones alike: the tests' time is made up
    int delayed_wakes;  // of those, the ones asked for after a pause
    bool wake_now;      // a wake at once is pending (for fake_window_run_until)
    int wake_after_ms;  // the latest delayed wake asked for and not yet scheduled; -1 none
    double progress;    // -1 while the bar is hidden
    std::string progress_label;
    std::string result_line;
    int hides;
    int keep_alives;
    int choosers;
};

extern FakeWindow fake;

// Clears every recorded field.
void fake_window_reset();

// The event bridge without a window: one SendMore per pending wake, a Tick
// every 100 ms, a delayed wake after its pause, sleeping in between as the
// toolkit would. Runs until `done` returns true (then true) or `timeout_s`
// passes (false).
bool fake_window_run_until(bool (*done)(), double timeout_s);

#endif
