// Start-up, event bridge and shutdown of the window layer: the interface the
// wizard drives, free of any toolkit's types. Two sides implement it, each in
// a folder of its own: app/fltk/ on FLTK 1.3, app/win32/ on Windows' own
// controls; both build the window of app/layout.h.
//
// The window never calls the wizard: widgets, letter shortcuts and the tick
// timer post one WizardEvent byte each into a 32-byte queue, and an idle poll
// hands the queued events, one per idle pass, to the controller given to
// app_start. All of it runs on the toolkit's one GUI thread.
#ifndef ZP_APP_APP_H
#define ZP_APP_APP_H

#include "app/events.h"

// The wizard's event dispatcher; its result is not used.
using AppController = int (*)(int event);

// Outcomes of app_start, read back with app_start_status.
enum AppStartStatus {
    APP_STARTED = 0,
    APP_NEGATIVE_INTERVAL = 4,
    APP_NO_CONTROLLER = 5,
    APP_NO_QUEUE = 7,
    APP_NO_WINDOW = 8,  // the window or one of its widgets could not be made
};

constexpr int APP_EVENT_QUEUE_SIZE = 32;
constexpr int APP_TICK_INTERVAL_MS = 100;

// Makes the event queue and the main window with all its widgets, installs the
// letter-shortcut handler and shows the window with the toolkit's standard
// command-line options. Records the outcome for app_start_status; on any
// failure no window exists afterwards. A toolkit failure that would end the
// process (no display) ends it with status 1 and says why: one line on
// standard error, or, where a program has none to show (a Windows program),
// a message box. An interval of 0 means no ticks at all.
void app_start(int argc, char** argv, int tick_interval_ms, AppController controller);

// Runs the toolkit's loop, with the tick timer, until no window is shown.
// Returns the loop's result (0).
int app_run();

// Queues one event (low 8 bits of `code`). Code 0 does nothing; an event that
// finds the queue full is dropped.
void post_event(int code);

// Asks for one EVENT_SEND_MORE on an idle pass when no queued event is left.
void request_wake();

// The same after `ms` milliseconds, during which the loop sleeps: for a step
// that has to wait for a device. A later call replaces a pending one.
void request_wake_after(int ms);

// Shows `text` in the toolkit's modal message box and returns when the user
// closes it. No event reaches the controller while the box is open.
void show_error(const char* text);

// Lets the window redraw and take input, at once and without waiting, while
// the controller is busy with a long step (a large file being read). Events
// it takes wait in the queue until the controller is done.
void app_keep_alive();

// The outcome of the last app_start; resets it to APP_STARTED.
int app_start_status();

// Hides the main window (if there is one) and closes the file chooser, which
// ends app_run's loop.
void hide_main_window();


#endif
