// ampctl against the virtual amp over a private JACK server: the program as a
// user runs it, through the real input and output ports.
#include "tests/support/amp_report.h"
#include "tests/support/jack_server.h"

#include <gtest/gtest.h>
#include <jack/jack.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#if !defined(AMPCTL_EXE) || !defined(VAMP_EXE)
#error "AMPCTL_EXE and VAMP_EXE must name the programs"
#endif

namespace {

using Clock = std::chrono::steady_clock;

struct Outcome {
    int status = -1;  // exit status; -1 when killed or not run
    std::string out, err;
};

// Runs a program to its end (killed after `limit_s`), collecting its output.
Outcome run(const std::vector<std::string>& args, double limit_s = 30) {
    Outcome r;
    int po[2], pe[2];
    if (pipe(po) || pipe(pe)) return r;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(po[1], 1);
        dup2(pe[1], 2);
        close(po[0]);
        close(pe[0]);
        std::vector<char*> argv;
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(po[1]);
    close(pe[1]);
    auto end = Clock::now() + std::chrono::milliseconds(long(limit_s * 1000));
    pollfd fds[2] = {{po[0], POLLIN, 0}, {pe[0], POLLIN, 0}};
    int open_fds = 2;
    while (open_fds > 0 && Clock::now() < end) {
        if (poll(fds, 2, 100) <= 0) continue;
        for (int i = 0; i < 2; i++) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP))) continue;
            char buf[4096];
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n <= 0) {
                close(fds[i].fd);
                fds[i].fd = -1;
                open_fds--;
            } else {
                (i ? r.err : r.out).append(buf, size_t(n));
            }
        }
    }
    if (open_fds > 0) kill(pid, SIGKILL);
    for (pollfd& f : fds)
        if (f.fd >= 0) close(f.fd);
    int st = 0;
    waitpid(pid, &st, 0);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

// ampctl as a user runs it. Unless the test sets its own, a reply is awaited
// 10 s rather than ampctl's 2 s: on a loaded machine the amp's JACK client can
// take longer than that to be scheduled, and these tests check what is said,
// not how fast.
Outcome ampctl(std::vector<std::string> args, double limit_s = 30) {
    bool timed = false;
    for (const std::string& a : args) timed = timed || a == "--timeout";
    if (!timed) args.insert(args.begin(), {"--timeout", "10000"});
    args.insert(args.begin(), AMPCTL_EXE);
    return run(args, limit_s);
}

bool contains(const std::string& s, const std::string& part) { return s.find(part) != std::string::npos; }

// The virtual amp as a process of the test's own.
class AmpctlVamp : public ::testing::Test {
  protected:
    PrivateJack jack = {};
    pid_t amp = 0;
    jack_client_t* probe = nullptr;

    void SetUp() override { ASSERT_TRUE(private_jack_start(&jack, "zp-ampctl")); }

    void TearDown() override {
        stop_amp();
        if (probe) jack_client_close(probe);
        private_jack_stop(&jack);
    }

    // Starts the amp and waits until both its ports are there.
    void start_amp(std::vector<std::string> extra) {
        std::vector<std::string> args = {VAMP_EXE, "--restart-ms", "300", "--reprogram-ms", "500",
                                         "--quiet-ms", "300"};
        args.insert(args.end(), extra.begin(), extra.end());
        amp = fork();
        if (amp == 0) {
            int devnull = open("/dev/null", O_WRONLY);
            dup2(devnull, 1);
            dup2(devnull, 2);
            std::vector<char*> argv;
            for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        ASSERT_GT(amp, 0);
        auto end = Clock::now() + std::chrono::seconds(10);
        while (Clock::now() < end) {
            Outcome l = ampctl({"list"});
            if (contains(l.out, "Zorva Pro MIDI In") && contains(l.out, "Zorva Pro MIDI Out")) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        FAIL() << "the virtual amp's ports did not appear";
    }

    void stop_amp() {
        if (amp <= 0) return;
        kill(amp, SIGTERM);
        int st;
        for (int i = 0; i < 50 && waitpid(amp, &st, WNOHANG) == 0; i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (waitpid(amp, &st, WNOHANG) == 0) {
            kill(amp, SIGKILL);
            waitpid(amp, &st, 0);
        }
        amp = 0;
    }
};

TEST_F(AmpctlVamp, AsksTheIdentityAndGetsTheVersionTheAmpWasStartedWith) {
    start_amp({"--revision", "D123"});
    Outcome r = ampctl({"identity"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "type: identity\ntype_code: 13\nrelease: 2\nversion: \"1.23\"\n");
    r = ampctl({"--json", "identity"});
    EXPECT_EQ(r.out, "{\"type\":\"identity\",\"type_code\":13,\"release\":2,\"version\":\"1.23\"}\n");
    // A name that matches no device: the devices that exist are listed.
    r = ampctl({"--out", "Zorva Pro MIDI", "identity"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "no device has that name")) << r.err;
    EXPECT_TRUE(contains(r.err, "ampctl: the MIDI output devices are:\nampctl:   virtual-amp:Zorva Pro MIDI In\n"))
        << r.err;
    // A request the library has no decoder for: the amp's reply as it came.
    r = ampctl({"request", "cmd3"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.rfind("reply: F0 00 2E 5A 30 00 03", 0), 0u) << r.out;
}

TEST_F(AmpctlVamp, StoresAPresetBlockAndReadsItBack) {
    start_amp({});
    Outcome r = ampctl({"store-block", "3", "1", "7=33", "12=5", "91=60"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "type: cmd0\n")) << r.out;
    r = ampctl({"read-block", "3", "1"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "preset_get_cc7: 33\n")) << r.out;
    EXPECT_TRUE(contains(r.out, "preset_get_cc12: 5\n")) << r.out;
    EXPECT_TRUE(contains(r.out, "preset_get_cc91: 10\n")) << r.out;
    // Another block is untouched.
    r = ampctl({"read-block", "4", "1"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(contains(r.out, "preset_get_cc7: 33\n")) << r.out;
}

TEST_F(AmpctlVamp, DecodesTheControllerChangesTheAmpSends) {
    start_amp({"--send-cc"});
    Outcome r = ampctl({"--json", "--count", "3", "--seconds", "15", "watch"}, 20);
    EXPECT_EQ(r.status, 0) << r.err;
    size_t lines = 0, at = 0;
    while ((at = r.out.find("{\"type\":\"controller\",\"type_code\":4,\"controller\":", at)) != std::string::npos) {
        lines++;
        at++;
    }
    EXPECT_EQ(lines, 3u) << r.out;
}

// The amp's boot loader takes every byte in update mode as image data: the
// update takes only when nothing but the file reached it.
TEST_F(AmpctlVamp, ReportsTheNewVersionAfterADryRunUpdate) {
    std::string file = std::string(jack.log) + ".syx";
    ASSERT_EQ(run({VAMP_EXE, "--write-demo", file, "--demo-bytes", "30000"}).status, 0);
    start_amp({"--revision", "A100", "--new-revision", "A101", "--strict-boot-loader", "--expect-image", file});
    Outcome r = ampctl({"--restart-wait", "1500", "--update-wait", "3000", "update", file}, 60);
    std::remove(file.c_str());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "Restart request sent.")) << r.out;
    EXPECT_TRUE(contains(r.out, "The amp now reports version 1.01 (was 1.00).\n")) << r.out;
    r = ampctl({"identity"});
    EXPECT_TRUE(contains(r.out, "version: \"1.01\"\n")) << r.out;
}

// Ctrl-C in the middle of a paced update: ampctl finishes the message the
// port has begun, lets the port drain, says how far it got and exits with
// its own status. The amp saw only whole messages.
TEST_F(AmpctlVamp, CtrlCStopsAnUpdateAtAMessageBoundary) {
    std::string report = std::string(jack.log) + ".json", file = std::string(jack.log) + ".syx";
    ASSERT_NO_FATAL_FAILURE(start_amp({"--report", report}));
    ASSERT_EQ(run({VAMP_EXE, "--write-demo", file, "--demo-bytes", "1048576"}).status, 0);
    std::string cmd = std::string(AMPCTL_EXE) + " --restart-wait 500 --rate 100000 update " + file +
                      " & p=$!; sleep 3; kill -INT $p; wait $p";
    Outcome r = run({"/bin/sh", "-c", cmd}, 60);
    std::remove(file.c_str());
    EXPECT_EQ(r.status, 6) << r.err;
    EXPECT_TRUE(contains(r.err, " kB, ")) << r.err;  // progress lines
    EXPECT_TRUE(contains(r.err, "ampctl: update: Stopped at a message boundary after ")) << r.err;
    wait_report(report, "updates", "1", 10);
    std::string json = read_file(report);
    std::remove(report.c_str());
    EXPECT_EQ(field(json, "framing_errors"), "0") << json;
    long bytes = std::atol(field(json, "update_bytes").c_str());
    EXPECT_GT(bytes, 0) << json;
    EXPECT_LT(bytes, 1048576) << json;
}

// send puts raw SysEx on the wire; dump, listening at the same time, keeps
// the amp's reply to it as a .syx file of whole messages.
TEST_F(AmpctlVamp, DumpKeepsTheReplyToARawSend) {
    ASSERT_NO_FATAL_FAILURE(start_amp({}));
    std::string file = std::string(jack.log) + ".dump.syx";
    std::string cmd = std::string(AMPCTL_EXE) + " --count 1 --seconds 20 dump " + file + " & p=$!; sleep 1; " +
                      AMPCTL_EXE + " send F0 7E 7F 06 01 F7 && wait $p";
    Outcome r = run({"/bin/sh", "-c", cmd}, 40);
    std::string dumped = read_file(file);
    std::remove(file.c_str());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "sent 1 message, 6 bytes")) << r.out;
    ASSERT_EQ(dumped.size(), 17u) << r.err;
    EXPECT_EQ(dumped.substr(0, 5), std::string("\xF0\x7E\x7F\x06\x02", 5));
    EXPECT_EQ(dumped.back(), '\xF7');
}

// A missing port, a reply that never comes, a reply no decoder knows, a bad
// value: each is named, with its own exit status.
TEST_F(AmpctlVamp, SaysClearlyWhatWentWrong) {
    start_amp({});
    Outcome r = ampctl({"--out", "nobody:in", "identity"});
    EXPECT_EQ(r.status, 1);
    // What it could have named instead follows.
    EXPECT_EQ(r.err,
              "ampctl: could not open MIDI output 'nobody:in': no device has that name\n"
              "ampctl: the MIDI output devices are:\n"
              "ampctl:   virtual-amp:Zorva Pro MIDI In\n");

    // An input that hears nothing: a port of the test's own.
    jack_status_t st;
    probe = jack_client_open("zp-silent", JackNoStartServer, &st);
    ASSERT_NE(probe, nullptr);
    ASSERT_NE(jack_port_register(probe, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0), nullptr);
    ASSERT_EQ(jack_activate(probe), 0);
    r = ampctl({"--in", "zp-silent:out", "--timeout", "300", "identity"});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err, "ampctl: no reply from the amp within 300 ms\n");

    // The amp answers request 3 with a reply that no decoder knows: its
    // bytes as they came.
    r = ampctl({"request", "cmd3"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "reply: F0 00 2E 5A 30 00 03 ")) << r.out;

    r = ampctl({"request", "cmd4", "300"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "ampctl: request cmd4: VALUE must be 0..127 (library code 2)\n");
}

}  // namespace
