// Prints how much CPU the wizard's window uses while it waits for the user on
// the Welcome page: once as the program runs it (the idle poll is installed
// only while an event or a wake is pending), once with an idle callback kept
// installed for the whole run, the way a permanently polling loop would.
// Needs an X display; run it under xvfb-run.
#include <FL/Fl.H>
#include <FL/Fl_Window.H>
#include <sys/resource.h>
#include <sys/time.h>

#include <cstdio>
#include <cstdlib>

#include "app/app.h"
#include "app/fltk/widgets.h"
#include "wizard/controller.h"
#include "wizard/transfer.h"

static double seconds_of(const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; }

static void end_run(void*) { hide_main_window(); }

static void poll_always(void*) { app_idle_poll(); }

// Runs the loop for `seconds` and returns the CPU share in percent.
static double measure(double seconds) {
    rusage r0, r1;
    timeval t0, t1;
    Fl::add_timeout(seconds, end_run);
    getrusage(RUSAGE_SELF, &r0);
    gettimeofday(&t0, nullptr);
    app_run();
    getrusage(RUSAGE_SELF, &r1);
    gettimeofday(&t1, nullptr);
    double cpu = seconds_of(r1.ru_utime) - seconds_of(r0.ru_utime) + seconds_of(r1.ru_stime) -
                 seconds_of(r0.ru_stime);
    return 100.0 * cpu / (seconds_of(t1) - seconds_of(t0));
}

int main(int argc, char** argv) {
    double seconds = argc > 1 ? std::atof(argv[1]) : 5.0;
    if (seconds <= 0) seconds = 5.0;
    app_start(1, argv, APP_TICK_INTERVAL_MS, wizard_dispatch);
    if (app_start_status() != APP_STARTED) {
        std::fprintf(stderr, "idle_cpu: could not start the window\n");
        return 1;
    }
    wizard_set_page_actions(&transfer_page_actions);
    wizard_start();

    double polled_when_pending = measure(seconds);

    app_main_window()->show();
    Fl::add_idle(poll_always);
    double polled_always = measure(seconds);
    Fl::remove_idle(poll_always);

    std::printf("waiting window, %.1f s each:\n", seconds);
    std::printf("  idle poll only while something is pending: %5.1f %% CPU\n", polled_when_pending);
    std::printf("  idle poll installed for the whole run:     %5.1f %% CPU\n", polled_always);
    return 0;
}
