// The virtual amp as a program over a private JACK server: a small JACK
// client in the test talks to it through its ports as the updater would.
#include "tests/support/amp_report.h"
#include "tests/support/jack_server.h"
#include "tools/virtual-amp/vamp.h"

#include "ampmsg/message.h"
#include "ampmsg/requests.h"

#include <gtest/gtest.h>
#include <jack/jack.h>
#include <jack/midiport.h>
#include <openssl/evp.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#ifndef VAMP_EXE
#error "VAMP_EXE must name the virtual-amp executable"
#endif

namespace {

using Bytes = std::vector<uint8_t>;

double now_s() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

// ------------------------------------------------------------ the test's peer

// The peer: one output port towards the amp, one input port from it. Events
// of up to kPiece bytes; a longer message goes out in pieces, as a MIDI
// output that splits a SysEx across cycles sends it.
inline constexpr uint32_t kPiece = 1024;

struct Peer {
    jack_client_t* client = nullptr;
    jack_port_t* out = nullptr;
    jack_port_t* in = nullptr;
    VampRing tx;
    VampRing rx;
};

int peer_process(jack_nframes_t nframes, void* arg) {
    Peer* p = static_cast<Peer*>(arg);
    void* ob = jack_port_get_buffer(p->out, nframes);
    jack_midi_clear_buffer(ob);
    for (;;) {
        uint32_t len = 0;
        if (!vamp_ring_peek(&p->tx, &len, sizeof len)) break;
        if (len > jack_midi_max_event_size(ob)) break;  // next cycle
        jack_midi_data_t* dst = jack_midi_event_reserve(ob, 0, len);
        if (!dst) break;
        vamp_ring_read(&p->tx, &len, sizeof len);
        vamp_ring_read(&p->tx, dst, len);
    }
    void* ib = jack_port_get_buffer(p->in, nframes);
    uint32_t n = jack_midi_get_event_count(ib);
    for (uint32_t i = 0; i < n; i++) {
        jack_midi_event_t ev;
        if (jack_midi_event_get(&ev, ib, i) == 0) vamp_ring_write2(&p->rx, ev.buffer, ev.size, nullptr, 0);
    }
    return 0;
}

bool peer_open(Peer* p) {
    if (!vamp_ring_init(&p->tx, 8u << 20) || !vamp_ring_init(&p->rx, 1u << 20)) return false;
    jack_status_t st;
    p->client = jack_client_open("vamp-peer", JackNoStartServer, &st);
    if (!p->client) return false;
    p->out = jack_port_register(p->client, "to-amp", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    p->in = jack_port_register(p->client, "from-amp", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    jack_set_process_callback(p->client, peer_process, p);
    return p->out && p->in && jack_activate(p->client) == 0;
}

void peer_close(Peer* p) {
    if (p->client) jack_client_close(p->client);
    p->client = nullptr;
    vamp_ring_free(&p->tx);
    vamp_ring_free(&p->rx);
}

void peer_send(Peer* p, const Bytes& b) {
    for (size_t off = 0; off < b.size(); off += kPiece) {
        uint32_t n = uint32_t(std::min<size_t>(kPiece, b.size() - off));
        while (!vamp_ring_write2(&p->tx, &n, sizeof n, b.data() + off, n)) usleep(1000);
    }
}

// Waits until the peer has handed every queued byte to JACK.
bool peer_flushed(Peer* p, double timeout_s) {
    double end = now_s() + timeout_s;
    while (vamp_ring_used(&p->tx) > 0)
        if (now_s() > end) return false;
        else usleep(2000);
    usleep(50000);  // a few cycles for the last events to reach the amp
    return true;
}

// Collects what the amp sent until `want` bytes are there or time is up.
Bytes peer_receive(Peer* p, size_t want, double timeout_s) {
    Bytes got;
    double end = now_s() + timeout_s;
    while (got.size() < want && now_s() < end) {
        uint8_t b;
        if (vamp_ring_read(&p->rx, &b, 1))
            got.push_back(b);
        else
            usleep(2000);
    }
    return got;
}

bool port_present(Peer* p, const std::string& name) { return jack_port_by_name(p->client, name.c_str()) != nullptr; }

bool wait_port(Peer* p, const std::string& name, bool present, double timeout_s) {
    double end = now_s() + timeout_s;
    while (port_present(p, name) != present)
        if (now_s() > end) return false;
        else usleep(5000);
    return true;
}

const std::string kAmpIn = std::string("virtual-amp:") + VAMP_IN_PORT;
const std::string kAmpOut = std::string("virtual-amp:") + VAMP_OUT_PORT;

bool peer_connect(Peer* p) {
    // Generous: on a loaded machine a JACK client may take seconds to open.
    if (!wait_port(p, kAmpIn, true, 15) || !wait_port(p, kAmpOut, true, 15)) return false;
    return jack_connect(p->client, jack_port_name(p->out), kAmpIn.c_str()) == 0 &&
           jack_connect(p->client, kAmpOut.c_str(), jack_port_name(p->in)) == 0;
}

// ------------------------------------------------------------ the amp process

pid_t amp_start(std::vector<std::string> args, const std::string& log) {
    pid_t pid = fork();
    if (pid != 0) return pid;
    int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) {
        dup2(fd, 2);
        close(fd);
    }
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(VAMP_EXE));
    for (std::string& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    execv(VAMP_EXE, argv.data());
    _exit(127);
}

// SIGTERM, then its exit status; -1 when it had to be killed.
int amp_stop(pid_t pid) {
    kill(pid, SIGTERM);
    double end = now_s() + 10;
    int st = 0;
    while (now_s() < end) {
        if (waitpid(pid, &st, WNOHANG) == pid) return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
        usleep(10000);
    }
    kill(pid, SIGKILL);
    waitpid(pid, &st, 0);
    return -1;
}

std::string sha256_hex(const Bytes& b) {
    unsigned char md[32];
    unsigned int n = 0;
    EVP_Digest(b.data(), b.size(), md, &n, EVP_sha256(), nullptr);
    std::string s;
    char h[3];
    for (unsigned i = 0; i < n; i++) {
        std::snprintf(h, sizeof h, "%02x", md[i]);
        s += h;
    }
    return s;
}

Bytes request(AmpMessage* m) {
    Bytes b(m->bytes, m->bytes + m->length);
    amp_record_free(m, nullptr);
    return b;
}

// An update of `count` messages of `size` data bytes each.
Bytes make_update(int count, int size) {
    Bytes u;
    for (int m = 0; m < count; m++) {
        u.push_back(0xF0);
        for (int i = 0; i < size; i++) u.push_back(uint8_t((m * 31 + i * 7) & 127));
        u.push_back(0xF7);
    }
    return u;
}

// The revision of the identity reply among what was received (controller
// changes of the amp's own may come before it).
std::string revision(const Bytes& got) {
    for (size_t at = 0; at + AMP_IDENTITY_REPLY_LENGTH <= got.size(); at++) {
        if (amp_pattern_match(got.data() + at, AMP_IDENTITY_REPLY_LENGTH, AMP_IDENTITY_REPLY_PATTERN,
                              AMP_IDENTITY_REPLY_LENGTH))
            return std::string(got.begin() + long(at) + AMP_IDENTITY_REVISION_OFFSET,
                               got.begin() + long(at) + AMP_IDENTITY_REVISION_OFFSET + 4);
    }
    return "(no identity reply)";
}

// Asks until the amp answers (at most 20 s), once a second: on a loaded
// machine a request sent in the cycle that makes a fresh connection, or a
// cycle either client misses, is lost, and asking once would blame the amp.
// *asks gets how many requests went out.
Bytes identity_of(Peer* p, int* asks = nullptr) {
    Bytes got;
    int sent = 0;
    double end = now_s() + 20;
    while (revision(got) == "(no identity reply)" && now_s() < end) {
        peer_send(p, request(amp_request_identity(nullptr)));
        sent++;
        double next = now_s() + 1;
        while (revision(got) == "(no identity reply)" && now_s() < next) {
            Bytes more = peer_receive(p, 1, 0.1);
            got.insert(got.end(), more.begin(), more.end());
        }
    }
    if (asks) *asks = sent;
    return got;
}

struct VampE2E : ::testing::Test {
    PrivateJack jack;
    Peer peer;
    pid_t amp = 0;
    std::string dir;
    std::string report;
    std::string log;

    void SetUp() override {
        // Real-time scheduling and a longer period than the default keep a
        // busy machine from missing cycles (and the MIDI data in them).
        ASSERT_TRUE(private_jack_start(&jack, "zp-vamp", 1024, true)) << "see " << jack.log;
        char tmpl[] = "/tmp/zp-vamp-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        report = dir + "/report.json";
        log = dir + "/amp.log";
        ASSERT_TRUE(peer_open(&peer));
    }

    void start(std::vector<std::string> args) {
        args.push_back("--verbose");
        args.push_back("--report");
        args.push_back(report);
        amp = amp_start(args, log);
        ASSERT_GT(amp, 0);
        ASSERT_TRUE(peer_connect(&peer)) << read_file(log);
    }

    // Stops the amp; a clean stop exits 0 and takes its ports with it.
    void stop() {
        if (amp <= 0) return;
        EXPECT_EQ(amp_stop(amp), 0) << read_file(log);
        amp = 0;
        EXPECT_TRUE(wait_port(&peer, kAmpIn, false, 10));
    }

    // Restart request, ports gone, ports back under the same names, peer
    // connected again.
    void restart_into_update_mode() {
        peer_send(&peer, request(amp_request_restart_update(nullptr)));
        ASSERT_TRUE(wait_port(&peer, kAmpIn, false, 10)) << "the ports did not go\n" << read_file(log);
        ASSERT_FALSE(port_present(&peer, kAmpOut));
        ASSERT_TRUE(peer_connect(&peer)) << "the ports did not come back\n" << read_file(log);
    }

    // After an update: the report is written as reprogramming starts and
    // again once the amp is back; connect only then.
    void wait_back_after_update() {
        ASSERT_TRUE(wait_report(report, "updates", "1", 10)) << read_file(log);
        ASSERT_TRUE(wait_report(report, "state", "normal", 15)) << read_file(log);
        ASSERT_TRUE(peer_connect(&peer)) << read_file(log);
    }

    void TearDown() override {
        if (amp > 0) amp_stop(amp);
        peer_close(&peer);
        private_jack_stop(&jack);
        unlink(report.c_str());
        unlink(log.c_str());
        rmdir(dir.c_str());
    }
};

// Identity, a request with a reply, controller changes both ways.
TEST_F(VampE2E, AnswersRequestsAndSendsControllerChanges) {
    start({"--revision", "T123", "--send-cc"});
    int asks = 0;
    EXPECT_EQ(revision(identity_of(&peer, &asks)), "T123");
    // The amp's own controller changes come every 2 s; drop what came so far.
    peer_send(&peer, {0xB0, 7, 42});
    peer_receive(&peer, 1 << 20, 0.2);
    Bytes cmd5 = request(amp_request_cmd5(nullptr));
    peer_send(&peer, cmd5);
    Bytes got = peer_receive(&peer, 87, 3);
    ASSERT_GE(got.size(), 87u);
    // Controller changes may come between; find the reply by its header.
    Bytes header(AMP_SYSEX_HEADER, AMP_SYSEX_HEADER + AMP_HEADER_LENGTH);
    header.push_back(20);
    auto at = std::search(got.begin(), got.end(), header.begin(), header.end());
    ASSERT_NE(at, got.end());
    got = peer_receive(&peer, 1 << 20, 4);
    const Bytes volume = {0xB0, 7, 42};
    EXPECT_NE(std::search(got.begin(), got.end(), volume.begin(), volume.end()), got.end())
        << "no controller change with the value the peer set";
    stop();
    std::string r = read_file(report);
    EXPECT_EQ(field(r, "controller_changes"), "1");
    // The identity requests that reached it (at least the one answered), and
    // the command 5 request.
    int answered = std::atoi(field(r, "requests_answered").c_str());
    EXPECT_GE(answered, 2) << r;
    EXPECT_LE(answered, asks + 1) << r;
    EXPECT_EQ(field(r, "result"), "none");
}

// The whole dry run: restart into update mode, the update, reprogramming,
// back with the new version; the report matches what was sent.
TEST_F(VampE2E, TakesAnUpdateAndReportsWhatArrived) {
    start({"--revision", "A100", "--new-revision", "A107", "--restart-ms", "600", "--reprogram-ms", "600",
           "--quiet-ms", "300"});
    restart_into_update_mode();
    Bytes update = make_update(400, 500);  // 200 kB
    peer_send(&peer, update);
    ASSERT_TRUE(peer_flushed(&peer, 10));
    ASSERT_TRUE(wait_report(report, "updates", "1", 10)) << read_file(log);
    std::string r = read_file(report);
    EXPECT_EQ(field(r, "result"), "updated");
    EXPECT_EQ(field(r, "update_sha256"), sha256_hex(update));
    EXPECT_EQ(field(r, "update_bytes"), std::to_string(update.size()));
    EXPECT_EQ(field(r, "update_messages"), "400");
    EXPECT_EQ(field(r, "framing_errors"), "0");
    EXPECT_EQ(field(r, "overruns"), "0");
    EXPECT_EQ(field(r, "lost_internal"), "0");
    EXPECT_EQ(field(r, "version_before"), "A100");
    EXPECT_EQ(field(r, "version_after"), "A107");
    EXPECT_NE(field(r, "first_byte"), "null");
    // Gone while reprogramming, then back in normal mode with the new version.
    wait_back_after_update();
    EXPECT_EQ(revision(identity_of(&peer)), "A107");
    stop();
    EXPECT_EQ(field(read_file(report), "version"), "A107");
    // Without --expect it took what arrived whole, and says it did not check.
    EXPECT_EQ(field(read_file(report), "image"), "unchecked");
    EXPECT_NE(read_file(log).find("the image was NOT checked (no --expect FILE)"), std::string::npos)
        << read_file(log);
}

// A framing error in the update: counted, and the amp keeps its old version.
TEST_F(VampE2E, CatchesAFramingErrorAndRejectsTheUpdate) {
    start({"--restart-ms", "300", "--reprogram-ms", "300", "--quiet-ms", "300"});
    restart_into_update_mode();
    Bytes update = make_update(20, 300);
    update.erase(update.begin() + 5 * 302 + 301);  // the sixth message loses its F7
    peer_send(&peer, update);
    ASSERT_TRUE(peer_flushed(&peer, 5));
    ASSERT_TRUE(wait_report(report, "updates", "1", 10)) << read_file(log);
    std::string r = read_file(report);
    EXPECT_EQ(field(r, "result"), "rejected");
    EXPECT_EQ(field(r, "framing_errors"), "1");
    EXPECT_EQ(field(r, "update_messages"), "19");
    EXPECT_EQ(field(r, "update_sha256"), sha256_hex(update));
    EXPECT_EQ(field(r, "version_after"), "A100");
    wait_back_after_update();
    EXPECT_EQ(revision(identity_of(&peer)), "A100");
    stop();
}

// A sender faster than the receive model allows loses bytes as overruns,
// and the update that lost them is rejected.
TEST_F(VampE2E, CountsOverrunsBeyondTheReceiveRate) {
    start({"--rate", "3125", "--buffer", "256", "--restart-ms", "200", "--quiet-ms", "300",
           "--reprogram-ms", "200"});
    restart_into_update_mode();
    Bytes update = make_update(4, 998);  // 4000 bytes at once
    peer_send(&peer, update);
    ASSERT_TRUE(peer_flushed(&peer, 5));
    ASSERT_TRUE(wait_report(report, "updates", "1", 10)) << read_file(log);
    std::string r = read_file(report);
    long overruns = std::atol(field(r, "overruns").c_str());
    long taken = std::atol(field(r, "update_bytes").c_str());
    // 256 bytes fit at once, plus whatever drained at 3125 bytes/s while
    // the burst was spread over a few JACK cycles.
    EXPECT_GE(overruns, 3000);
    EXPECT_EQ(overruns + taken, 4000);
    EXPECT_EQ(field(r, "result"), "rejected");
    EXPECT_EQ(field(r, "receive_model"), "{\"rate\": 3125");
    stop();
}

// The restart modes 0 and 8 bring the amp back in normal mode, also from
// update mode before any update byte came; SIGINT stops it as cleanly as
// SIGTERM.
TEST_F(VampE2E, RestartsNormallyAndStopsOnSigint) {
    start({"--restart-ms", "200"});
    for (int mode : {1, 0, 8}) {
        SCOPED_TRACE(mode);
        peer_send(&peer, request(amp_request_restart(mode, nullptr)));
        ASSERT_TRUE(wait_port(&peer, kAmpIn, false, 10));
        ASSERT_TRUE(peer_connect(&peer)) << read_file(log);
        if (mode != 1) {
            EXPECT_EQ(revision(identity_of(&peer)), "A100");  // in update mode it would not answer
        }
    }
    kill(amp, SIGINT);
    int st = 0;
    double end = now_s() + 10;
    while (waitpid(amp, &st, WNOHANG) != amp && now_s() < end) usleep(10000);
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 0);
    amp = 0;
    EXPECT_TRUE(wait_port(&peer, kAmpIn, false, 10));
    std::string r = read_file(report);
    EXPECT_EQ(field(r, "restarts"), "3");
    EXPECT_EQ(field(r, "updates"), "0");
    EXPECT_EQ(field(r, "state"), "normal");
}

}  // namespace
