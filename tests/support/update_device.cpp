// An update through the wizard's own transfer path to a named output device,
// headless: the controller's pages (Welcome, Port, File, then Skip on the
// Restart page, or --restart for the restart and its wait), Send Update, and
// the SendMore passes until the port has confirmed every byte.
//
//   update-device [--restart] [--done] [--wait-port S] [--amidi] [--list] PORT FILE
//
// With --wait-port a Port page whose port would not open is tried again each
// second, as an owner would press Next again, printing the box each time.
//
// Prints the devices both sides list and the one the wizard would choose
// (--list), the transfer's time, the CPU
// time this process spent in it (user and kernel), and the error the wizard showed, if any,
// with the wall-clock time it appeared (epoch ms), so a caller that pulls
// the device away can tell how long the wizard took to notice. With --amidi
// it then sends the same file to the same device with `amidi -s` and prints
// both times and CPU times, and the ratios of each. With --done it goes on to
// the Done page after the transfer and prints its line and the times of the
// waits. Exit status: 0 sent, 1 an error, 2 usage.
#include "app/events.h"
#include "midi/alsa/alsa_midi.h"
#include "midi/midi_in.h"
#include "midi/midi_out.h"
#include "midi/platform.h"
#include "tests/support/fake_window.h"
#include "update/amp_answer.h"
#include "update/amp_choice.h"
#include "wizard/controller.h"
#include "wizard/transfer.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

namespace {

// The latest error box's text, or "".
const char* last_error() { return fake.errors.empty() ? "" : fake.errors.back().c_str(); }

using Clock = std::chrono::steady_clock;

// CPU seconds in user space and in the kernel, of this process or of its
// children that have ended.
struct Cpu {
    double user, sys;
};

Cpu cpu_of(int who) {
    rusage u;
    getrusage(who, &u);
    return {double(u.ru_utime.tv_sec) + double(u.ru_utime.tv_usec) / 1e6,
            double(u.ru_stime.tv_sec) + double(u.ru_stime.tv_usec) / 1e6};
}

// Seconds the whole machine spent busy (not idle), from /proc/stat. Where
// one emulated CPU does everything, a transfer's cost to the machine is this,
// whichever task the device's interrupt work was charged to. -1 when
// unreadable.
double machine_busy_s() {
    FILE* f = std::fopen("/proc/stat", "r");
    if (!f) return -1;
    unsigned long long v[8] = {0};
    int n = std::fscanf(f, "cpu %llu %llu %llu %llu %llu %llu %llu %llu", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5],
                        &v[6], &v[7]);
    std::fclose(f);
    if (n < 7) return -1;
    unsigned long long busy = v[0] + v[1] + v[2] + v[5] + v[6] + v[7];  // all but idle and iowait
    return double(busy) / double(sysconf(_SC_CLK_TCK));
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
    fake_window_reset();
    fake.echo_errors = true;
    bool restart = false, amidi = false, list = false, done = false;
    double wait_port_s = 0;
    int at = 1;
    for (; at < argc && argv[at][0] == '-'; at++) {
        if (!std::strcmp(argv[at], "--restart")) restart = true;
        else if (!std::strcmp(argv[at], "--amidi")) amidi = true;
        else if (!std::strcmp(argv[at], "--list")) list = true;
        else if (!std::strcmp(argv[at], "--done")) done = true;
        else if (!std::strcmp(argv[at], "--wait-port") && at + 1 < argc) wait_port_s = std::atof(argv[++at]);
        else break;
    }
    if (argc - at != 2) {
        std::fprintf(stderr,
                     "usage: update-device [--restart] [--done] [--wait-port S] [--amidi] [--list] PORT FILE\n");
        return 2;
    }
    fake.port = argv[at];
    fake.file = argv[at + 1];
    if (list) {
        midi_out_list_devices([](const char* n) { std::printf("output: %s\n", n); });
        midi_in_list_devices([](const char* n) { std::printf("input: %s\n", n); });
        char chosen[MIDI_NAME_SIZE];
        std::printf("chosen: %s\n", amp_pick_output(chosen, sizeof chosen) ? chosen : "(none)");
    }

    wizard_reset();
    wizard_set_page_actions(&transfer_page_actions);
    wizard_start();
    wizard_dispatch(EVENT_NEXT);  // Welcome
    wizard_dispatch(EVENT_NEXT);  // Port
    // A port that would not open: Next again each second, as an owner does
    // who has freed the device, for up to --wait-port seconds.
    for (auto until = Clock::now() + std::chrono::duration<double>(wait_port_s);
         wizard_current_page() == PAGE_PORT && Clock::now() < until;) {
        std::printf("box: %s\n", last_error());
        std::fflush(stdout);
        std::this_thread::sleep_for(std::chrono::seconds(1));
        fake.errors.clear();
        wizard_dispatch(EVENT_NEXT);
    }
    if (fake.errors.empty()) wizard_dispatch(EVENT_NEXT);  // File
    auto restarted = Clock::now();
    if (fake.errors.empty()) wizard_dispatch(restart ? EVENT_NEXT : EVENT_SKIP);
    // The Restart page stays while the amp restarts; the Welcome page means
    // its port did not come back.
    bool ok = fake.errors.empty() && fake_window_run_until([] {
        return wizard_current_page() == PAGE_SEND || wizard_current_page() == PAGE_WELCOME;
    }, 60) && wizard_current_page() == PAGE_SEND;
    if (restart) std::printf("restart to Send page: %.1f s%s\n", since(restarted), ok ? "" : " (the port did not come back)");
    double wizard_s = -1, wizard_busy = 0;
    Cpu cpu = {0, 0};
    if (ok) {
        Cpu cpu0 = cpu_of(RUSAGE_SELF);
        double busy0 = machine_busy_s();
        auto t0 = Clock::now();
        wizard_dispatch(EVENT_NEXT);  // Send Update
        fake_window_run_until([] { return !transfer_running() || !fake.errors.empty(); }, 600);
        wizard_s = since(t0);
        Cpu cpu1 = cpu_of(RUSAGE_SELF);
        cpu = {cpu1.user - cpu0.user, cpu1.sys - cpu0.sys};
        wizard_busy = machine_busy_s() - busy0;
        ok = fake.errors.empty() && !transfer_running();
    }
    long long error_at = !fake.errors.empty() ? epoch_ms() : 0;
    if (ok && done) {
        // On to the Done page, as the owner waits for it, and its line.
        auto last_byte = Clock::now();
        bool back = fake_window_run_until([] {
            return (wizard_current_page() == PAGE_DONE && answer_result_line()[0]) ||
                   wizard_current_page() == PAGE_WELCOME;
        }, 120);
        if (back && wizard_current_page() == PAGE_DONE)
            std::printf("last byte to Done page: %.1f s\nDone line: %s\n", since(last_byte), answer_result_line());
        else
            std::printf("after the update: %s\n", back ? "the Welcome page (the port did not come back)" : "no end");
    }
    close_port();
    if (!ok) {
        // The box's first line and when it came, then its advice, if any.
        std::string box = fake.errors.empty() ? "the transfer did not end" : last_error();
        size_t nl = box.find('\n');
        std::printf("wizard error: %s (at %lld ms)\n", box.substr(0, nl).c_str(), error_at);
        if (nl != std::string::npos) std::printf("wizard advice: %s\n", box.substr(nl + 1).c_str());
        return 1;
    }
    double cpu_s = cpu.user + cpu.sys;
    std::printf("wizard transfer: %.3f s, CPU %.3f s (user %.3f, kernel %.3f; %.1f %% of a core), machine busy "
                "%.2f s, ended at %lld ms\n",
                wizard_s, cpu_s, cpu.user, cpu.sys, 100.0 * cpu_s / wizard_s, wizard_busy, epoch_ms());
    if (!amidi) return 0;

    std::string id = alsa_id_of(fake.port);
    if (id.empty()) {
        std::printf("amidi: '%s' is not a rawmidi device\n", fake.port.c_str());
        return 1;
    }
    auto t0 = Clock::now();
    double busy0 = machine_busy_s();
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        execlp("amidi", "amidi", "-p", id.c_str(), "-s", fake.file.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int st = 0;
    waitpid(pid, &st, 0);
    double amidi_s = since(t0);
    double amidi_busy = machine_busy_s() - busy0;
    if (!WIFEXITED(st) || WEXITSTATUS(st) != 0) {
        std::printf("amidi -s failed (status %d)\n", WIFEXITED(st) ? WEXITSTATUS(st) : -1);
        return 1;
    }
    Cpu child = cpu_of(RUSAGE_CHILDREN);
    double amidi_cpu = child.user + child.sys;
    std::printf("amidi -s:        %.3f s, CPU %.3f s (user %.3f, kernel %.3f; %.1f %% of a core), machine busy "
                "%.2f s\n",
                amidi_s, amidi_cpu, child.user, child.sys, 100.0 * amidi_cpu / amidi_s, amidi_busy);
    std::printf("ratio wizard/amidi: %.3f\n", wizard_s / amidi_s);
    std::printf("CPU ratio wizard/amidi: %.3f (user %.3f), machine busy ratio %.3f\n", cpu_s / amidi_cpu,
                child.user > 0 ? cpu.user / child.user : 0.0, amidi_busy > 0 ? wizard_busy / amidi_busy : 0.0);
    return 0;
}
