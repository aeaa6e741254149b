#include "tests/support/jack_server.h"

#include <jack/jack.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

int g_counter = 0;

void quiet(const char*) {}

double now_s() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

// True once a client can open a connection to the named server.
bool server_answers(const char* name) {
    jack_status_t status;
    jack_client_t* c = jack_client_open("zp-probe", jack_options_t(JackNoStartServer | JackServerName),
                                        &status, name);
    if (!c) return false;
    jack_client_close(c);
    return true;
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

    jack_set_error_function(quiet);
    jack_set_info_function(quiet);
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
