// Throughput of a whole update through the wizard's own transfer path: the
// controller's page actions and SendMore passes, the transfer, the output
// port and JACK, to the virtual amp on a private JACK server. The window is a
// headless stand-in and the event bridge is this program's loop: one
// SendMore per pass while a wake is pending, a Tick every 100 ms.
//
//   update-bench [megabytes] [period-frames]
//
// Prints the wizard's rate (Send Update until the port has confirmed every
// byte), what the amp reports, the process's CPU time during the transfer,
// and, from the output port's benchmark run right after under the same
// settings, the plain JACK sender's rate and the ratio of the two.
#include "app/events.h"
#include "tests/support/fake_window.h"
#include "tests/support/jack_server.h"
#include "wizard/controller.h"
#include "wizard/transfer.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double cpu_seconds() {
    rusage u;
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_utime.tv_usec / 1e6 + u.ru_stime.tv_sec + u.ru_stime.tv_usec / 1e6;
}

double since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

std::string read_text(const std::string& path) {
    std::ifstream f(path);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

std::string json_value(const std::string& json, const std::string& key) {
    size_t at = json.find("\"" + key + "\":");
    if (at == std::string::npos) return "";
    at += key.size() + 3;
    while (at < json.size() && (json[at] == ' ' || json[at] == '"')) ++at;
    size_t end = at;
    while (end < json.size() && json[end] != ',' && json[end] != '"' && json[end] != '\n') ++end;
    return json.substr(at, end - at);
}

pid_t spawn(const std::vector<std::string>& argv, const std::string& out) {
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid != 0) return pid;
    if (!freopen(out.c_str(), "w", stdout) || !freopen(out.c_str(), "a", stderr)) _exit(127);
    std::vector<char*> a;
    for (const std::string& s : argv) a.push_back(const_cast<char*>(s.c_str()));
    a.push_back(nullptr);
    execv(a[0], a.data());
    _exit(127);
}

void stop(pid_t pid) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    for (int i = 0; i < 300; ++i) {
        if (waitpid(pid, nullptr, WNOHANG) == pid) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

}  // namespace

int main(int argc, char** argv) {
    fake_window_reset();
    fake.echo_errors = true;
    double megabytes = argc > 1 ? std::atof(argv[1]) : 4.0;
    int period = argc > 2 ? std::atoi(argv[2]) : 256;
    size_t total = static_cast<size_t>(megabytes * 1024 * 1024);
    std::string self = argv[0];
    std::string dir = self.substr(0, self.rfind('/') + 1);

    // An update file of 256-byte blocks, like the amp's.
    char tmpl[] = "/tmp/zp-update-bench-XXXXXX";
    if (!mkdtemp(tmpl)) return 1;
    std::string tmp = tmpl;
    fake.file = tmp + "/update.syx";
    {
        std::vector<uint8_t> d;
        uint32_t seed = 1;
        while (d.size() < total) {
            d.push_back(0xF0);
            for (int i = 0; i < 256; ++i) {
                seed = seed * 1103515245u + 12345u;
                d.push_back(static_cast<uint8_t>((seed >> 16) & 0x7F));
            }
            d.push_back(0xF7);
        }
        total = d.size();
        std::ofstream(fake.file, std::ios::binary)
            .write(reinterpret_cast<const char*>(d.data()), static_cast<std::streamsize>(d.size()));
    }

    PrivateJack server;
    if (!private_jack_start(&server, "zp-update-bench", period, true)) {
        std::fprintf(stderr, "could not start jackd (see %s)\n", server.log);
        return 1;
    }
    const std::string report = tmp + "/report.json";
    pid_t amp = spawn({dir + "../tools/virtual-amp/virtual-amp", "--report", report, "--restart-ms", "300",
                       "--reprogram-ms", "300", "--quiet-ms", "1500"},
                      tmp + "/amp.log");
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    fake.port = "virtual-amp:Zorva Pro MIDI In";

    // Welcome, Port, File, Restart Amp, and the wait until the Send page.
    wizard_reset();
    wizard_set_page_actions(&transfer_page_actions);
    wizard_start();
    for (int i = 0; i < 4; ++i) wizard_dispatch(EVENT_NEXT);
    bool ok = fake_window_run_until([] { return wizard_current_page() == PAGE_SEND; }, 15);

    double wizard_s = -1, cpu_s = 0;
    if (ok && fake.errors.empty()) {
        double cpu0 = cpu_seconds();
        auto t0 = Clock::now();
        wizard_dispatch(EVENT_NEXT);  // Send Update
        ok = fake_window_run_until([] { return !transfer_running(); }, 120) && fake.errors.empty();
        wizard_s = since(t0);
        cpu_s = cpu_seconds() - cpu0;
    }
    // The amp reports once it has heard nothing for a while.
    std::string r;
    for (int i = 0; ok && i < 100 && json_value(r = read_text(report), "updates") != "1"; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    close_port();
    stop(amp);
    private_jack_stop(&server);

    std::printf("update: %zu bytes in 256-byte SysEx messages, JACK period %d frames at 48 kHz\n", total,
                period);
    if (!ok || wizard_s <= 0) {
        std::printf("the update did not go through (%d errors); see %s\n", int(fake.errors.size()), tmp.c_str());
        return 1;
    }
    double wizard_bps = total / wizard_s;
    std::printf("wizard transfer:    %10.0f bytes/s  (%.2f s)\n", wizard_bps, wizard_s);
    std::printf("wizard CPU time:    %10.2f s  (%.0f %% of the transfer's wall time)\n", cpu_s,
                100.0 * cpu_s / wizard_s);
    std::printf("amp report:         %s bytes, %s messages, %s, %s framing errors, over %s s\n",
                json_value(r, "update_bytes").c_str(), json_value(r, "update_messages").c_str(),
                json_value(r, "result").c_str(), json_value(r, "framing_errors").c_str(),
                json_value(r, "update_seconds").c_str());

    // The plain JACK sender, from the output port's benchmark, same settings.
    char mb[32], per[16];
    std::snprintf(mb, sizeof mb, "%g", megabytes);
    std::snprintf(per, sizeof per, "%d", period);
    std::string plain_out = tmp + "/plain.txt";
    pid_t p = spawn({dir + "midi-out-jack-bench", mb, per}, plain_out);
    waitpid(p, nullptr, 0);
    std::string plain = read_text(plain_out);
    size_t at = plain.find("plain JACK sender:");
    if (at == std::string::npos) {
        std::printf("plain JACK sender:  no figure (%s)\n", plain.c_str());
        return 1;
    }
    double plain_bps = std::atof(plain.c_str() + at + std::strlen("plain JACK sender:"));
    std::printf("plain JACK sender:  %10.0f bytes/s\n", plain_bps);
    std::printf("ratio wizard/plain: %10.2f\n", wizard_bps / plain_bps);
    std::system(("rm -rf '" + tmp + "'").c_str());
    return 0;
}
