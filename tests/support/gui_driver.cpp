#include "tests/support/gui_driver.h"

#include <X11/Xlib.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

double monotonic_s() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

void sleep_s(double s) {
    timespec ts;
    ts.tv_sec = static_cast<time_t>(s);
    ts.tv_nsec = static_cast<long>((s - ts.tv_sec) * 1e9);
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

pid_t child_start(const std::vector<std::string>& argv, const std::string& log) {
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = fork();
    if (pid < 0) return 0;
    if (pid == 0) {
        int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0) {
            dup2(fd, 1);
            dup2(fd, 2);
            close(fd);
        }
        execvp(args[0], args.data());
        _exit(127);
    }
    return pid;
}

bool child_wait(pid_t pid, double timeout_s, int* status) {
    double end = monotonic_s() + timeout_s;
    for (;;) {
        int st = 0;
        pid_t r = waitpid(pid, &st, WNOHANG);
        if (r == pid) {
            if (status) *status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            return true;
        }
        if (r < 0) return true;
        if (monotonic_s() > end) return false;
        sleep_s(0.02);
    }
}

void child_stop(pid_t pid, double grace_s) {
    if (pid <= 0) return;
    if (child_wait(pid, 0, nullptr)) return;
    kill(pid, SIGTERM);
    if (child_wait(pid, grace_s, nullptr)) return;
    kill(pid, SIGKILL);
    child_wait(pid, 5.0, nullptr);
}

std::string shell_output(const std::string& cmd) {
    std::string out;
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    return out;
}

namespace {

std::string quoted(const std::string& s) {
    std::string q = "'";
    for (char c : s) {
        if (c == '\'') q += "'\\''";
        else q += c;
    }
    return q + "'";
}

}  // namespace

std::string window_find(const std::string& title, double timeout_s) {
    double end = monotonic_s() + timeout_s;
    for (;;) {
        std::string ids = shell_output("timeout 10 xdotool search --onlyvisible --name " + quoted(title) +
                                       " 2>/dev/null");
        if (!ids.empty()) return ids.substr(0, ids.find('\n'));
        if (monotonic_s() > end) return "";
        sleep_s(0.1);
    }
}

int visible_window_count() {
    std::string ids = shell_output("timeout 10 xdotool search --onlyvisible --name '' 2>/dev/null");
    if (ids.empty()) return 0;
    int n = 1;
    for (char c : ids) n += c == '\n';
    return n;
}

void window_key(const std::string& win, const std::string& keys) {
    shell_output("timeout 10 xdotool windowfocus --sync " + win + " key --delay 30 " + keys + " 2>/dev/null");
}

void window_type(const std::string& win, const std::string& text) {
    shell_output("timeout 10 xdotool windowfocus --sync " + win + " type --delay 5 " + quoted(text) +
                 " 2>/dev/null");
}

void window_click(const std::string& win, int x, int y) {
    shell_output("timeout 10 xdotool mousemove --window " + win + " " + std::to_string(x) + " " +
                 std::to_string(y) + " sleep 0.05 click 1 2>/dev/null");
}

void window_close(const std::string& win) {
    Display* d = XOpenDisplay(nullptr);
    if (!d) return;
    Window w = static_cast<Window>(std::strtoul(win.c_str(), nullptr, 10));
    XEvent ev = {};
    ev.xclient.type = ClientMessage;
    ev.xclient.window = w;
    ev.xclient.message_type = XInternAtom(d, "WM_PROTOCOLS", False);
    ev.xclient.format = 32;
    ev.xclient.data.l[0] = static_cast<long>(XInternAtom(d, "WM_DELETE_WINDOW", False));
    ev.xclient.data.l[1] = CurrentTime;
    XSendEvent(d, w, False, NoEventMask, &ev);
    XFlush(d);
    XCloseDisplay(d);
}

bool window_shot(const std::string& win, const std::string& png) {
    std::string cmd = "timeout 10 import -window " + win + " " + quoted(png) + " 2>/dev/null";
    return std::system(cmd.c_str()) == 0;
}

bool window_shot_region(const std::string& win, int x, int y, int w, int h,
                        const std::string& png) {
    char crop[64];
    std::snprintf(crop, sizeof crop, "%dx%d+%d+%d", w, h, x, y);
    std::string cmd = "timeout 10 import -window " + win + " -crop " + crop + " +repage " + quoted(png) +
                      " 2>/dev/null";
    return std::system(cmd.c_str()) == 0;
}

long image_difference(const std::string& a, const std::string& b) {
    // compare prints the count of differing pixels on standard error.
    std::string out =
        shell_output("timeout 10 compare -metric AE " + quoted(a) + " " + quoted(b) + " null: 2>&1");
    char* end = nullptr;
    double v = std::strtod(out.c_str(), &end);
    if (end == out.c_str()) return -1;
    return static_cast<long>(v);
}

bool window_wait_region(const std::string& win, int x, int y, int w, int h,
                        const std::string& reference, double timeout_s) {
    double end = monotonic_s() + timeout_s;
    std::string now = reference + ".now.png";
    for (;;) {
        if (window_shot_region(win, x, y, w, h, now) && image_difference(now, reference) == 0) {
            return true;
        }
        if (monotonic_s() > end) return false;
        sleep_s(0.2);
    }
}
