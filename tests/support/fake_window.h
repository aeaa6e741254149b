// A stand-in for the window layer that records what the wizard controller
// does to it, so the controller can be tested without a display.
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
    std::vector<std::string> port_list;  // device names listed since the last clear
    int wakes;          // immediate and delayed ones alike: the tests' time is made up
    int delayed_wakes;  // of those, the ones asked for after a pause
    double progress;    // -1 while the bar is hidden
    std::string progress_label;
    std::string result_line;
    int hides;
    int choosers;
};

extern FakeWindow fake;

// Clears every recorded field.
void fake_window_reset();

#endif
