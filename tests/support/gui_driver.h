// Drives a real program's window under an X server (Xvfb in the tests) with
// real X input through xdotool, and looks at it through screenshots.
//
// Processes are started with child_start and stopped only by the pid it
// returned; nothing here looks for or touches processes it did not start.
// Every X tool run here is given at most 10 s, so a stuck display fails a
// test instead of hanging it.
#ifndef ZP_TESTS_GUI_DRIVER_H
#define ZP_TESTS_GUI_DRIVER_H

#include <sys/types.h>

#include <string>
#include <vector>

// Starts `argv` with stdout and stderr going to `log`. Returns the pid, or 0.
pid_t child_start(const std::vector<std::string>& argv, const std::string& log);

// Waits up to `timeout_s` for the child to end. True when it ended; its exit
// status (or 128 + signal) goes to `status`.
bool child_wait(pid_t pid, double timeout_s, int* status);

// SIGTERM, then SIGKILL after `grace_s`, and reaps. Safe on 0.
void child_stop(pid_t pid, double grace_s = 3.0);

// Runs a shell command; returns its standard output (trailing newline cut).
std::string shell_output(const std::string& cmd);

double monotonic_s();
void sleep_s(double s);

// The id of the first visible window whose title contains `title`, waiting up
// to `timeout_s`; empty when none appeared.
std::string window_find(const std::string& title, double timeout_s);

// How many windows of the display are mapped (the root window included).
// A program's message box shows up as one more.
int visible_window_count();

// Real key presses (xdotool key syntax, e.g. "n", "Return", "ctrl+a") to the
// window after giving it the input focus.
void window_key(const std::string& win, const std::string& keys);

// Types `text` into the widget with the focus in `win`.
void window_type(const std::string& win, const std::string& text);

// A real left click at (x, y) inside `win`.
void window_click(const std::string& win, int x, int y);

// Sends the window manager's close request (WM_DELETE_WINDOW) to `win`.
void window_close(const std::string& win);

// Saves `win` as a PNG; true on success.
bool window_shot(const std::string& win, const std::string& png);

// Saves the region (x, y, w, h) of `win` as a PNG; true on success.
bool window_shot_region(const std::string& win, int x, int y, int w, int h,
                        const std::string& png);

// Number of pixels that differ between two images of equal size; -1 when they
// cannot be compared.
long image_difference(const std::string& a, const std::string& b);

// Polls the region of `win` until it looks exactly like `reference`, for up to
// `timeout_s`. True when it did.
bool window_wait_region(const std::string& win, int x, int y, int w, int h,
                        const std::string& reference, double timeout_s);

#endif
