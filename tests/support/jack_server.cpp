#include "tests/support/jack_server.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

int g_counter = 0;

double now_s() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

// True once a client can open a connection to the named server. The client
// is jack_lsp's, in a process of its own: a JACK client closed in this
// process could hang it under ThreadSanitizer (see tests/support/jack_peer.h).
bool server_answers(const char* name) {
    pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        int fd = open("/dev/null", O_WRONLY);
        if (fd >= 0) {
            dup2(fd, 1);
            dup2(fd, 2);
            close(fd);
        }
        execlp("jack_lsp", "jack_lsp", "-s", name, static_cast<char*>(nullptr));
        _exit(127);
    }
    int st = 0;
    if (waitpid(pid, &st, 0) != pid) return false;
    return WIFEXITED(st) && WEXITSTATUS(st) == 0;
}

bool reap(pid_t pid, double timeout_s) {
    double end = now_s() + timeout_s;
    for (;;) {
        int st;
        pid_t r = waitpid(pid, &st, WNOHANG);
        if (r == pid || (r < 0 && errno == ECHILD)) return true;
        if (now_s() > end) return false;
        usleep(10000);
    }
}

}  // namespace

bool private_jack_start(PrivateJack* j, const char* prefix, int period_frames, bool realtime) {
    std::memset(j, 0, sizeof *j);
    std::snprintf(j->name, sizeof j->name, "%s-%d-%d", prefix, int(getpid()), g_counter++);
    std::snprintf(j->log, sizeof j->log, "/tmp/%s.log", j->name);
    char period[16];
    std::snprintf(period, sizeof period, "%d", period_frames);

    pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        // A test killed by its timeout takes its server with it. A server
        // left running holds one of the few server slots of JACK's registry
        // in /dev/shm, and once they are taken no server starts at all.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        int fd = open(j->log, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0) {
            dup2(fd, 1);
            dup2(fd, 2);
            close(fd);
        }
        execlp("jackd", "jackd", realtime ? "--realtime" : "--no-realtime", "-n", j->name, "-d", "dummy", "-r", "48000", "-p",
               period, static_cast<char*>(nullptr));
        _exit(127);
    }
    j->pid = pid;

    double end = now_s() + 10.0;
    while (now_s() < end) {
        int st;
        if (waitpid(pid, &st, WNOHANG) == pid) {  // it died on start
            j->pid = 0;
            return false;
        }
        if (server_answers(j->name)) {
            setenv("JACK_DEFAULT_SERVER", j->name, 1);
            return true;
        }
        usleep(50000);
    }
    private_jack_stop(j);
    return false;
}

void private_jack_stop(PrivateJack* j) {
    if (j->pid <= 0) return;
    kill(j->pid, SIGTERM);
    if (!reap(j->pid, 5.0)) {
        kill(j->pid, SIGKILL);
        reap(j->pid, 5.0);
    }
    j->pid = 0;
    const char* cur = getenv("JACK_DEFAULT_SERVER");
    if (cur && std::strcmp(cur, j->name) == 0) unsetenv("JACK_DEFAULT_SERVER");
}
