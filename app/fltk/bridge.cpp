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

#include "app/fltk/widgets.h"
#include "app/layout.h"
#include "app/window.h"
#include "midi/byte_queue.h"

static ByteQueue* event_queue;
static AppController controller;
static int32_t tick_interval_ms;
static int wake_flag;
static int start_status;
static AppWin* main_window;

static int idle_installed;
static int dispatching;     // the controller is running (it may run a nested loop)
static int error_box_open;  // show_error's modal box is up

static void idle_poll_callback(void*) { app_idle_poll(); }

static int events_pending() {
    return byte_queue_count(event_queue, nullptr) > 0 || wake_flag != 0;
}

// Installs the idle poll when there is something to deliver and nothing holds
// delivery back, and removes it otherwise, so the loop sleeps when idle.
static void update_idle() {
    bool wanted = events_pending() && !dispatching && !error_box_open;
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
    if (c == nullptr) {
        start_status = APP_NO_CONTROLLER;
        return;
    }
    if (interval_ms < 0) {
        start_status = APP_NEGATIVE_INTERVAL;
        return;
    }
    ByteQueue* q = byte_queue_create(APP_EVENT_QUEUE_SIZE, nullptr);
    if (q == nullptr) {
        start_status = APP_NO_QUEUE;
        return;
    }
    event_queue = q;
    controller = c;
    tick_interval_ms = interval_ms;
    wake_flag = 0;
    start_status = APP_STARTED;

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
    if (code == 0 || event_queue == nullptr) return;
    uint8_t byte = static_cast<uint8_t>(code & 0xFF);
    byte_queue_put(event_queue, 1, &byte, nullptr);  // a full queue drops it
    update_idle();
}

void request_wake() {
    wake_flag = 1;
    update_idle();
}

static void delayed_wake(void*) { request_wake(); }

void request_wake_after(int ms) {
    Fl::remove_timeout(delayed_wake);
    Fl::add_timeout(ms > 0 ? ms / 1000.0 : 0.0, delayed_wake);
}

// One event per pass: queued events first, then a pending wake.
void app_idle_poll() {
    if (dispatching || error_box_open) return;  // never re-enter the controller
    int event = EVENT_NONE;
    uint8_t byte = 0;
    if (byte_queue_count(event_queue, nullptr) > 0) {
        if (byte_queue_get(event_queue, 1, &byte, nullptr) == 1) event = byte;
    } else if (wake_flag) {
        wake_flag = 0;
        event = EVENT_SEND_MORE;
    }
    if (event != EVENT_NONE && controller != nullptr) {
        dispatching = 1;
        controller(event);
        dispatching = 0;
    }
    update_idle();
}

int app_idle_pending() { return idle_installed; }

void show_error(const char* text) {
    // The box runs a loop of its own in which timers still fire; their events
    // wait in the queue until the box is closed, and the loop sleeps meanwhile.
    int was_open = error_box_open;
    error_box_open = 1;
    update_idle();
    fl_message("%s\n", text != nullptr ? text : "");
    error_box_open = was_open;
    update_idle();
}

void app_keep_alive() {
    // The idle poll delivers nothing while the controller runs, so what the
    // user does meanwhile only queues up.
    Fl::check();
}

int app_start_status() {
    int status = start_status;
    start_status = APP_STARTED;
    return status;
}

void hide_main_window() {
    // An open file chooser would keep the loop running with no main window.
    close_file_chooser();
    if (main_window != nullptr) main_window->hide();
}

Fl_Window* app_main_window() { return main_window; }

// The window's close: the controller hears Shutdown at once (queued events are
// dropped) and the process ends with status 0.
void shutdown_callback(Fl_Widget*, void*) {
    if (controller != nullptr) controller(EVENT_SHUTDOWN);
    if (event_queue != nullptr) {
        byte_queue_free(event_queue, nullptr);
        event_queue = nullptr;
    }
    std::exit(0);
}
