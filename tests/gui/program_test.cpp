// The two ways out of the program and a start without a display, seen from
// outside the process that runs the window.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include <FL/Fl.H>

#include "app/app.h"
#include "app/fltk/widgets.h"

namespace {

const char* const kTitle = "Zorva Pro Updater  Version 1.00";

// Waits up to `seconds` for the child to end; its wait status, or -1.
int wait_for(pid_t pid, double seconds) {
    for (int i = 0; i < seconds * 100; i++) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) return status;
        usleep(10000);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return -1;
}

Window find_window(Display* d, const char* title, double seconds) {
    for (int i = 0; i < seconds * 50; i++) {
        Window root_ret, parent, *kids = nullptr;
        unsigned n = 0;
        Window found = 0;
        if (XQueryTree(d, DefaultRootWindow(d), &root_ret, &parent, &kids, &n)) {
            for (unsigned k = 0; k < n && found == 0; k++) {
                char* name = nullptr;
                if (XFetchName(d, kids[k], &name) && name != nullptr) {
                    if (std::strcmp(name, title) == 0) found = kids[k];
                    XFree(name);
                }
            }
            if (kids) XFree(kids);
        }
        if (found) return found;
        usleep(20000);
    }
    return 0;
}

// What the window manager sends when the user closes a window.
void send_close(Display* d, Window w) {
    XEvent e{};
    e.xclient.type = ClientMessage;
    e.xclient.window = w;
    e.xclient.message_type = XInternAtom(d, "WM_PROTOCOLS", False);
    e.xclient.format = 32;
    e.xclient.data.l[0] = static_cast<long>(XInternAtom(d, "WM_DELETE_WINDOW", False));
    e.xclient.data.l[1] = CurrentTime;
    XSendEvent(d, w, False, NoEventMask, &e);
    XFlush(d);
}

int report_fd = -1;
int report_shutdown(int event) {
    char c = static_cast<char>('0' + event);
    if (event == EVENT_SHUTDOWN || event == EVENT_TICK) {
        if (write(report_fd, &c, 1) != 1) std::_Exit(5);
    }
    return 0;
}

TEST(Program, ClosingTheWindowDeliversShutdownAndExitsZero) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        close(fds[0]);
        report_fd = fds[1];
        char name[] = "program_test";
        char* argv[] = {name, nullptr};
        app_start(1, argv, APP_TICK_INTERVAL_MS, report_shutdown);
        if (app_start_status() != APP_STARTED) std::_Exit(4);
        app_run();
        std::_Exit(6);  // the close must not return from the loop
    }
    close(fds[1]);
    Display* d = XOpenDisplay(nullptr);
    ASSERT_NE(d, nullptr);
    Window w = find_window(d, kTitle, 5.0);
    ASSERT_NE(w, 0u);
    char first = 0;
    ASSERT_EQ(read(fds[0], &first, 1), 1);  // the loop runs: a tick arrived
    send_close(d, w);
    int status = wait_for(pid, 5.0);
    XCloseDisplay(d);
    std::string seen;
    char c;
    while (read(fds[0], &c, 1) == 1) seen += c;
    close(fds[0]);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(seen.back(), '9');  // Shutdown was the last thing delivered
}

TEST(Program, TheUpdaterClosesWithStatusZero) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        execl(ZP_UPDATER_PATH, ZP_UPDATER_PATH, static_cast<char*>(nullptr));
        std::_Exit(127);
    }
    Display* d = XOpenDisplay(nullptr);
    ASSERT_NE(d, nullptr);
    Window w = find_window(d, kTitle, 5.0);
    ASSERT_NE(w, 0u);
    send_close(d, w);
    int status = wait_for(pid, 5.0);
    XCloseDisplay(d);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

// With no display the window cannot start: one line on standard error and
// status 1, as the manual says. --help and --version need no window at all.
TEST(Program, WithoutADisplayOneLineOnStandardErrorAndFailure) {
    struct Case {
        const char* arg;
        int status;
        const char* out_starts;  // on standard output, or on standard error when status is 1
    };
    const Case cases[] = {
        {nullptr, 1, "zorva-updater: "},
        {"--help", 0, "Usage: zorva-updater"},
        {"--version", 0, "zorva-updater 1.00\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arg ? c.arg : "(no argument)");
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            dup2(fds[1], c.status ? 2 : 1);
            close(fds[0]);
            setenv("DISPLAY", ":7391", 1);  // no server there
            execl(ZP_UPDATER_PATH, ZP_UPDATER_PATH, c.arg, static_cast<char*>(nullptr));
            std::_Exit(127);
        }
        close(fds[1]);
        int status = wait_for(pid, 10.0);
        std::string out;
        char buf[256];
        ssize_t n;
        while ((n = read(fds[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
        close(fds[0]);
        ASSERT_TRUE(WIFEXITED(status)) << status;
        EXPECT_EQ(WEXITSTATUS(status), c.status);
        EXPECT_EQ(out.rfind(c.out_starts, 0), 0u) << out;
        if (c.status) {
            ASSERT_FALSE(out.empty());
            EXPECT_EQ(out.find('\n'), out.size() - 1) << out;
        }
    }
}

int ticks_seen;
int count_ticks(int event) {
    if (event == EVENT_TICK) ticks_seen++;
    return 0;
}
void end_loop(void*) { hide_main_window(); }

TEST(Program, IntervalZeroMeansNoTicksAndFinishReturnsZero) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        char name[] = "program_test";
        char* argv[] = {name, nullptr};
        app_start(1, argv, 0, count_ticks);
        if (app_start_status() != APP_STARTED) std::_Exit(4);
        Fl::add_timeout(0.5, end_loop);
        int result = app_run();
        std::_Exit(result == 0 ? 10 + ticks_seen : 3);
    }
    int status = wait_for(pid, 5.0);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 10);
}

TEST(Program, StartRefusesBadArgumentsWithoutAWindow) {
    char name[] = "program_test";
    char* argv[] = {name, nullptr};
    app_start(1, argv, 100, nullptr);
    EXPECT_EQ(app_start_status(), APP_NO_CONTROLLER);
    EXPECT_EQ(app_start_status(), APP_STARTED);  // reading resets it
    app_start(1, argv, -1, report_shutdown);
    EXPECT_EQ(app_start_status(), APP_NEGATIVE_INTERVAL);
    EXPECT_EQ(app_main_window(), nullptr);
}

}  // namespace
