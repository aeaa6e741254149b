// The FLTK side's start-up, the event bridge between the window and the
// wizard, error output and the two ways the program ends.
//
// The idle poll is installed only while something is pending (a queued event
// or a wake). The toolkit's loop never sleeps while an idle callback is
// installed, so keeping one for the whole run would spin a whole CPU core
// while the window waits for the user.
#include "app/app.h"

#include <FL/Fl.H>
#include <FL/fl_ask.H>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "app/bridge.h"
#include "app/fltk/widgets.h"
#include "app/layout.h"
#include "app/window.h"

static int32_t tick_interval_ms;
static AppWin* main_window;
static int idle_installed;

static void idle_poll_callback(void*) { app_idle_poll(); }

// Installs the idle poll when there is something to deliver and nothing holds
// delivery back, and removes it otherwise, so the loop sleeps when idle.
static void update_idle() {
    bool wanted = bridge_deliverable();
    if (wanted && !idle_installed) {
        Fl::add_idle(idle_poll_callback);
        idle_installed = 1;
    } else if (!wanted && idle_installed) {
        Fl::remove_idle(idle_poll_callback);
        idle_installed = 0;
    }
}

// The toolkit ends the process on errors it cannot recover from, such as no
// display to open; say clearly what happened, on one line.
static void fatal_to_stderr(const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    std::fprintf(stderr, "zorva-updater: cannot run the window: %s\n", text);
    std::exit(1);
}

void app_start(int argc, char** argv, int interval_ms, AppController c) {
    if (bridge_open(interval_ms, c) != APP_STARTED) return;
    tick_interval_ms = interval_ms;

    Fl::fatal = fatal_to_stderr;
    Fl::scheme(nullptr);  // FLTK_SCHEME from the environment, if set

    main_window = new AppWin(APP_WINDOW_W, APP_WINDOW_H, APP_WINDOW_TITLE);
    main_window->begin();
    create_arrows();
    create_page_text();
    create_port_choice();
    create_file_input();
    create_status_widgets();
    main_window->end();

    Fl::add_handler(shortcut_handler);
    main_window->show(argc, argv);
}

static void tick_callback(void*);

static void schedule_tick() {
    if (tick_interval_ms > 0) Fl::add_timeout(tick_interval_ms / 1000.0, tick_callback);
}

// Re-arms first, so the tick keeps its period whatever the controller does.
static void tick_callback(void*) {
    schedule_tick();
    post_event(EVENT_TICK);
}

int app_run() {
    schedule_tick();
    update_idle();
    int result = Fl::run();
    if (idle_installed) {
        Fl::remove_idle(idle_poll_callback);
        idle_installed = 0;
    }
    Fl::remove_timeout(tick_callback);
    return result;
}

void post_event(int code) {
    bridge_post(code);
    update_idle();
}

void request_wake() {
    bridge_wake();
    update_idle();
}

static void delayed_wake(void*) { request_wake(); }

void request_wake_after(int ms) {
    Fl::remove_timeout(delayed_wake);
    Fl::add_timeout(ms > 0 ? ms / 1000.0 : 0.0, delayed_wake);
}

// One event per pass: queued events first, then a pending wake.
void app_idle_poll() {
    bridge_deliver_one();
    update_idle();
}

int app_idle_pending() { return idle_installed; }

void show_error(const char* text) {
    // The box runs a loop of its own in which timers still fire; their events
    // wait in the queue until the box is closed, and the loop sleeps meanwhile.
    int was_open = bridge_hold_for_box(1);
    update_idle();
    fl_message("%s\n", text != nullptr ? text : "");
    bridge_hold_for_box(was_open);
    update_idle();
}

void app_keep_alive() {
    // The idle poll delivers nothing while the controller runs, so what the
    // user does meanwhile only queues up.
    Fl::check();
}

void hide_main_window() {
    // An open file chooser would keep the loop running with no main window.
    close_file_chooser();
    if (main_window != nullptr) main_window->hide();
}

Fl_Window* app_main_window() { return main_window; }

// The window's close: the controller hears Shutdown at once (queued events are
// dropped) and the process ends with status 0.
void shutdown_callback(Fl_Widget*, void*) { bridge_shutdown(); }
