// An update through the wizard's own transfer path to a named output device,
// headless: the controller's pages (Welcome, Port, File, then Skip on the
// Restart page, or --restart for the restart and its wait), Send Update, and
// the SendMore passes until the port has confirmed every byte.
//
//   update-device [--restart] [--amidi] [--list] PORT FILE
//
// Prints the devices both sides list (--list), the transfer's time, the CPU
// time this process spent in it, and the error the wizard showed, if any,
// with the wall-clock time it appeared (epoch ms), so a caller that pulls
// the device away can tell how long the wizard took to notice. With --amidi
// it then sends the same file to the same device with `amidi -s` and prints
// both times and their ratio. Exit status: 0 sent, 1 an error, 2 usage.
#include "app/events.h"
#include "bench/headless.h"
#include "midi/alsa/alsa_midi.h"
#include "midi/midi_in.h"
#include "midi/midi_out.h"
#include "wizard/controller.h"
#include "wizard/transfer.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

double cpu_seconds() {
    rusage u;
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec) + double(u.ru_utime.tv_usec) / 1e6 + double(u.ru_stime.tv_sec) +
           double(u.ru_stime.tv_usec) / 1e6;
}

long long epoch_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

double since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

// The ALSA id ("hw:1,0,0") of the rawmidi output named `name`; empty if none.
std::string alsa_id_of(const std::string& name) {
    AlsaDeviceInfo devs[64];
    int n = midi_alsa_list_outputs(devs, 64);
    for (int i = 0; i < n; i++)
        if (name == devs[i].name) return devs[i].id;
    return "";
}

}  // namespace

int main(int argc, char** argv) {
    bool restart = false, amidi = false, list = false;
    int at = 1;
    for (; at < argc && argv[at][0] == '-'; at++) {
        if (!std::strcmp(argv[at], "--restart")) restart = true;
        else if (!std::strcmp(argv[at], "--amidi")) amidi = true;
        else if (!std::strcmp(argv[at], "--list")) list = true;
        else break;
    }
    if (argc - at != 2) {
        std::fprintf(stderr, "usage: update-device [--restart] [--amidi] [--list] PORT FILE\n");
        return 2;
    }
    bench_port = argv[at];
    bench_file = argv[at + 1];
    if (list) {
        midi_out_list_devices([](const char* n) { std::printf("output: %s\n", n); });
        midi_in_list_devices([](const char* n) { std::printf("input: %s\n", n); });
    }

    wizard_reset();
    wizard_start();
    for (int i = 0; i < 3 && bench_errors == 0; ++i) wizard_dispatch(EVENT_NEXT);  // Welcome, Port, File
    if (bench_errors == 0) wizard_dispatch(restart ? EVENT_NEXT : EVENT_SKIP);
    bool ok = bench_errors == 0 && headless_run_until([] { return wizard_current_page() == PAGE_SEND; }, 30);
    double wizard_s = -1, cpu_s = 0;
    if (ok) {
        double cpu0 = cpu_seconds();
        auto t0 = Clock::now();
        wizard_dispatch(EVENT_NEXT);  // Send Update
        headless_run_until([] { return !transfer_running() || bench_errors > 0; }, 600);
        wizard_s = since(t0);
        cpu_s = cpu_seconds() - cpu0;
        ok = bench_errors == 0 && !transfer_running();
    }
    long long error_at = bench_errors ? epoch_ms() : 0;
    close_port();
    if (!ok) {
        std::printf("wizard error: %s (at %lld ms)\n",
                    bench_last_error.empty() ? "the transfer did not end" : bench_last_error.c_str(), error_at);
        return 1;
    }
    std::printf("wizard transfer: %.3f s, CPU %.3f s (%.1f %% of a core), ended at %lld ms\n", wizard_s, cpu_s,
                100.0 * cpu_s / wizard_s, epoch_ms());
    if (!amidi) return 0;

    std::string id = alsa_id_of(bench_port);
    if (id.empty()) {
        std::printf("amidi: '%s' is not a rawmidi device\n", bench_port.c_str());
        return 1;
    }
    auto t0 = Clock::now();
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        execlp("amidi", "amidi", "-p", id.c_str(), "-s", bench_file.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int st = 0;
    waitpid(pid, &st, 0);
    double amidi_s = since(t0);
    if (!WIFEXITED(st) || WEXITSTATUS(st) != 0) {
        std::printf("amidi -s failed (status %d)\n", WIFEXITED(st) ? WEXITSTATUS(st) : -1);
        return 1;
    }
    rusage child;
    getrusage(RUSAGE_CHILDREN, &child);
    double amidi_cpu = double(child.ru_utime.tv_sec) + double(child.ru_utime.tv_usec) / 1e6 +
                       double(child.ru_stime.tv_sec) + double(child.ru_stime.tv_usec) / 1e6;
    std::printf("amidi -s:        %.3f s, CPU %.3f s (%.1f %% of a core)\n", amidi_s, amidi_cpu,
                100.0 * amidi_cpu / amidi_s);
    std::printf("ratio wizard/amidi: %.3f\n", wizard_s / amidi_s);
    return 0;
}
