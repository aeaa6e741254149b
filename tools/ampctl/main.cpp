// ampctl: talks to the amp from the command line. See kHelp.
#include "tools/ampctl/ampctl.h"

#include "ampmsg/responses.h"
#include "midi/midi_in.h"
#include "midi/midi_out.h"

#include <getopt.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

const char kHelp[] =
    "Usage: ampctl [OPTION]... COMMAND [ARG]...\n"
    "Talks to a Zorva Pro amp: requests go out through a MIDI output device, what\n"
    "the amp sends comes in through a MIDI input device.\n"
    "\n"
    "Commands:\n"
    "  list                    print the MIDI output and input devices, one a line\n"
    "  identity                ask the amp who it is; print its release and version\n"
    "  request NAME [ARG]...   send request NAME of the catalogue and print the\n"
    "                          decoded reply field by field (requests without a\n"
    "                          reply print nothing)\n"
    "  requests                list the catalogue: every NAME with its arguments\n"
    "  read-block NUMBER PART  read preset block NUMBER (0..125), PART (0..3) and\n"
    "                          print its parameters by the name of their getter\n"
    "  store-block NUMBER PART CC=VALUE...\n"
    "                          store those controller values as a preset block (no\n"
    "                          pairs: an empty block); prints the amp's answer\n"
    "  watch                   print every message the amp sends, decoded, until\n"
    "                          interrupted, --count messages or --seconds\n"
    "  update FILE             the updater's procedure as a dry run or for real:\n"
    "                          restart the amp in update mode, send FILE's SysEx\n"
    "                          messages, wait while it reprograms, then print its\n"
    "                          identity\n"
    "\n"
    "Options:\n"
    "  --out NAME        MIDI output device, its exact name (see list); default: the\n"
    "                    last one whose name contains Zorva, ZORVA, Pro or PRO,\n"
    "                    otherwise the first\n"
    "  --in NAME         MIDI input device, chosen the same way\n"
    "  --timeout MS      how long to wait for a reply (default 2000)\n"
    "  --json            print each decoded message as one JSON object a line\n"
    "  --count N         watch: stop after N messages\n"
    "  --seconds S       watch: stop after S seconds\n"
    "  --restart-wait MS update: wait after the restart request (default 5000)\n"
    "  --update-wait MS  update: wait after the last message (default 15000)\n"
    "  --help            this text\n"
    "\n"
    "Numbers may be decimal or 0x-hexadecimal. A reply that does not decode is\n"
    "printed as its bytes. Exit status: 0 done; 1 a device is missing or failed;\n"
    "2 a bad command line or request argument; 3 no reply in time; 4 a reply that\n"
    "does not decode; 5 an update file that is not valid.\n";

enum Exit { EXIT_OK = 0, EXIT_DEVICE = 1, EXIT_USAGE = 2, EXIT_TIMEOUT = 3, EXIT_UNDECODED = 4, EXIT_FILE = 5 };

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

struct Options {
    const char* out_name = nullptr;
    const char* in_name = nullptr;
    long timeout_ms = 2000;
    bool json = false;
    long count = 0;
    long seconds = 0;
    long restart_wait_ms = 5000;
    long update_wait_ms = 15000;
};

volatile std::sig_atomic_t g_stop = 0;

void on_signal(int) { g_stop = 1; }

void sleep_ms(long ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

long elapsed_ms(Clock::time_point since) {
    return long(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

// The device the updater would pick: the last name holding one of its four
// patterns, otherwise the first device. Empty when there is none.
std::string pick_device(bool output) {
    int n = output ? midi_out_device_count() : midi_in_device_count();
    std::string first, chosen;
    for (int i = 0; i < n; i++) {
        const char* name = output ? midi_out_device_name(i) : midi_in_device_name(i);
        if (!name) continue;
        if (first.empty()) first = name;
        for (const char* pat : {"Zorva", "ZORVA", "Pro", "PRO"}) {
            if (std::strstr(name, pat)) {
                chosen = name;
                break;
            }
        }
    }
    return chosen.empty() ? first : chosen;
}

MidiOutPort* open_out(const Options& o) {
    std::string name = o.out_name ? o.out_name : pick_device(true);
    if (name.empty()) {
        std::fprintf(stderr, "ampctl: there is no MIDI output device\n");
        return nullptr;
    }
    int err = 0;
    MidiOutPort* p = midi_out_open_by_name(name.c_str(), &err);
    if (!p)
        std::fprintf(stderr, "ampctl: could not open MIDI output '%s': %s\n", name.c_str(),
                     err == MIDI_OUT_NOT_FOUND ? "no device has that name" : midi_out_error_text(unsigned(err)));
    return p;
}

MidiInPort* open_in(const Options& o) {
    std::string name = o.in_name ? o.in_name : pick_device(false);
    if (name.empty()) {
        std::fprintf(stderr, "ampctl: there is no MIDI input device\n");
        return nullptr;
    }
    int err = 0;
    MidiInPort* p = midi_in_open_by_name(name.c_str(), &err);
    if (!p)
        std::fprintf(stderr, "ampctl: could not open MIDI input '%s': %s\n", name.c_str(),
                     err == MIDI_IN_NOT_FOUND ? "no device has that name" : midi_in_error_text(unsigned(err)));
    return p;
}

// Closes an output port once the driver has sent everything (or after a
// second); a port that will not close is reported.
void close_out(MidiOutPort* p) {
    if (!p) return;
    auto start = Clock::now();
    int err = 0;
    while (midi_out_pending(p, &err) > 0 && err == 0 && elapsed_ms(start) < 1000) sleep_ms(2);
    while (!midi_out_close(p, &err)) {
        if (elapsed_ms(start) > 2000) {
            std::fprintf(stderr, "ampctl: the MIDI output would not close: %s\n", midi_out_error_text(unsigned(err)));
            return;
        }
        sleep_ms(10);
    }
}

void close_in(MidiInPort* p) {
    int err = 0;
    if (p && !midi_in_close(p, &err))
        std::fprintf(stderr, "ampctl: the MIDI input would not close: %s\n", midi_in_error_text(unsigned(err)));
}

// Sends all of `bytes` and waits until the driver has sent them. False with a
// line on standard error when the port failed or stayed busy past `timeout`.
bool send_all(MidiOutPort* p, const uint8_t* bytes, int length, long timeout_ms) {
    auto start = Clock::now();
    int off = 0, err = 0;
    while (off < length) {
        int n = midi_out_send(p, bytes + off, length - off, &err);
        if (n < 0) {
            std::fprintf(stderr, "ampctl: could not send to the amp: %s\n", midi_out_error_text(unsigned(err)));
            return false;
        }
        off += n;
        if (off < length) {
            if (elapsed_ms(start) > timeout_ms) break;
            sleep_ms(1);
        }
    }
    while (off == length && midi_out_pending(p, &err) > 0 && err == 0 && elapsed_ms(start) <= timeout_ms)
        sleep_ms(1);
    if (err != 0) {
        std::fprintf(stderr, "ampctl: could not send to the amp: %s\n", midi_out_error_text(unsigned(err)));
        return false;
    }
    if (off < length || midi_out_pending(p, &err) > 0) {
        std::fprintf(stderr, "ampctl: the MIDI output did not take the request within %ld ms\n", timeout_ms);
        return false;
    }
    return true;
}

// Reads what the input port holds and passes every whole message to `fn`
// until it returns true or the time is up. True when `fn` accepted one.
template <typename Fn>
bool receive(MidiInPort* in, AmpctlSplitter* sp, long timeout_ms, Fn fn) {
    auto start = Clock::now();
    uint8_t buf[1024];
    while (!g_stop) {
        int err = 0;
        int n = midi_in_read(in, sizeof buf, buf, &err);
        if (n < 0) {
            // The bytes of that buffer are kept for the next read.
            std::fprintf(stderr, "ampctl: MIDI input: %s\n", midi_in_error_text(unsigned(err)));
            n = 0;
        }
        for (int i = 0; i < n; i++) {
            const uint8_t* msg;
            uint32_t len;
            if (splitter_feed(sp, buf[i], &msg, &len) && fn(msg, len)) return true;
        }
        if (n == 0) {
            if (timeout_ms >= 0 && elapsed_ms(start) > timeout_ms) return false;
            sleep_ms(2);
        }
    }
    return false;
}

// Empties the input port of whatever came before a request (a device that
// never stops sending is given up on after a while).
void drain(MidiInPort* in) {
    int err = 0;
    for (int quiet = 0, rounds = 0; quiet < 3 && rounds < 1000; rounds++) {
        int n = midi_in_read(in, MIDI_IN_QUEUE_SIZE, nullptr, &err);
        quiet = n > 0 ? 0 : quiet + 1;
    }
}

bool is_amp_sysex(const uint8_t* m, uint32_t len) {
    return len >= 8 && std::memcmp(m, AMP_SYSEX_HEADER, AMP_HEADER_LENGTH) == 0;
}

// Sends a request and waits for its reply: the identity reply for the
// identity request, otherwise the first SysEx message in the amp's framing.
// Returns an exit status; `reply` gets the reply's bytes.
int exchange(MidiOutPort* out, MidiInPort* in, const AmpMessage* m, const Options& o, Bytes* reply) {
    const uint8_t* bytes = amp_message_bytes(m, nullptr);
    int length = amp_message_length(m, nullptr);
    bool identity = length == AMP_IDENTITY_REQUEST_LENGTH &&
                    std::memcmp(bytes, AMP_IDENTITY_REQUEST, AMP_IDENTITY_REQUEST_LENGTH) == 0;
    drain(in);
    if (!send_all(out, bytes, length, o.timeout_ms)) return EXIT_DEVICE;
    if (amp_message_reply_length(m, nullptr) == 0) return EXIT_OK;
    AmpctlSplitter sp;
    splitter_init(&sp);
    bool got = receive(in, &sp, o.timeout_ms, [&](const uint8_t* msg, uint32_t len) {
        bool ok = identity ? amp_is_identity_reply(msg, int32_t(len)) : is_amp_sysex(msg, len);
        if (ok) reply->assign(msg, msg + len);
        return ok;
    });
    if (!got) {
        std::fprintf(stderr, "ampctl: no reply from the amp within %ld ms\n", o.timeout_ms);
        return EXIT_TIMEOUT;
    }
    return EXIT_OK;
}

// Decodes and prints one message; an undecodable one is shown as its bytes.
int print_message(const uint8_t* msg, uint32_t len, bool json, bool as_error) {
    int err = 0;
    AmpResponse* r = amp_response_decode(msg, int32_t(len), &err);
    if (!r) {
        FILE* f = as_error ? stderr : stdout;
        if (json && !as_error) {
            std::fprintf(f, "{\"type\":\"undecoded\",\"code\":%d,\"bytes\":\"", err);
            ampctl_print_hex(f, msg, len);
            std::fprintf(f, "\"}\n");
        } else {
            std::fprintf(f, "%sdoes not decode (code %d): ", as_error ? "ampctl: the reply " : "", err);
            ampctl_print_hex(f, msg, len);
            std::fprintf(f, "\n");
        }
        return EXIT_UNDECODED;
    }
    ampctl_print_response(stdout, r, json);
    amp_record_free(r, nullptr);
    return EXIT_OK;
}

// Builds a request from the catalogue, sends it, prints the decoded reply.
int run_request(const AmpctlRequest* r, int argc, char** argv, const Options& o, bool block_only) {
    AmpctlArgs args;
    char why[160];
    if (!ampctl_parse_args(r, argc, argv, &args, why, sizeof why)) {
        std::fprintf(stderr, "ampctl: %s %s: %s\n", r->name, r->usage, why);
        return EXIT_USAGE;
    }
    int err = 0;
    AmpMessage* m = r->build(&args, &err);
    if (!m) {
        std::fprintf(stderr, "ampctl: %s: the arguments are refused (library code %d)\n", r->name, err);
        return EXIT_USAGE;
    }
    MidiOutPort* out = open_out(o);
    MidiInPort* in = out ? open_in(o) : nullptr;
    int status = EXIT_DEVICE;
    if (out && in) {
        Bytes reply;
        status = exchange(out, in, m, o, &reply);
        if (status == EXIT_OK && !reply.empty()) {
            int derr = 0;
            AmpResponse* rsp = amp_response_decode(reply.data(), int32_t(reply.size()), &derr);
            if (block_only && rsp && amp_response_type(rsp, nullptr) == AMP_RSP_CMD11) {
                const Cmd11Reply* c = static_cast<const Cmd11Reply*>(amp_response_payload(rsp, nullptr));
                ampctl_print_block(stdout, c->block, o.json);
            } else if (rsp) {
                ampctl_print_response(stdout, rsp, o.json);
            } else {
                status = print_message(reply.data(), uint32_t(reply.size()), o.json, true);
            }
            amp_record_free(rsp, nullptr);
        }
    }
    amp_record_free(m, nullptr);
    close_in(in);
    close_out(out);
    return status;
}

int cmd_list() {
    std::printf("MIDI output devices:\n");
    midi_out_list_devices([](const char* n) { std::printf("  %s\n", n); });
    std::printf("MIDI input devices:\n");
    midi_in_list_devices([](const char* n) { std::printf("  %s\n", n); });
    return EXIT_OK;
}

int cmd_requests() {
    size_t n;
    const AmpctlRequest* r = ampctl_requests(&n);
    for (size_t i = 0; i < n; i++) {
        std::string head = std::string(r[i].name) + (*r[i].usage ? " " : "") + r[i].usage;
        std::printf("  %-40s %s\n", head.c_str(), r[i].what);
    }
    return EXIT_OK;
}

int cmd_watch(const Options& o) {
    MidiInPort* in = open_in(o);
    if (!in) return EXIT_DEVICE;
    AmpctlSplitter sp;
    splitter_init(&sp);
    long seen = 0;
    long limit = o.seconds > 0 ? o.seconds * 1000 : -1;
    receive(in, &sp, limit, [&](const uint8_t* msg, uint32_t len) {
        print_message(msg, len, o.json, false);
        std::fflush(stdout);
        return o.count > 0 && ++seen >= o.count;
    });
    close_in(in);
    return EXIT_OK;
}

// Reads an update file: nothing but complete SysEx messages, at least 100
// bytes. Returns the messages, or an empty list with the reason printed.
std::vector<Bytes> read_update_file(const char* path) {
    std::vector<Bytes> msgs;
    FILE* f = std::fopen(path, "rb");
    if (!f) {
        std::fprintf(stderr, "ampctl: cannot open '%s'\n", path);
        return msgs;
    }
    Bytes all;
    uint8_t buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) all.insert(all.end(), buf, buf + n);
    std::fclose(f);
    const char* why = all.size() < 100 ? "it holds fewer than 100 bytes" : nullptr;
    for (size_t i = 0; !why && i < all.size();) {
        if (all[i] != 0xF0) {
            why = "it holds bytes outside SysEx messages";
            break;
        }
        size_t j = i + 1;
        while (j < all.size() && all[j] < 0x80) j++;
        if (j >= all.size() || all[j] != 0xF7) {
            why = "a SysEx message in it does not end with F7";
            break;
        }
        msgs.emplace_back(all.begin() + long(i), all.begin() + long(j) + 1);
        i = j + 1;
    }
    if (why) {
        std::fprintf(stderr, "ampctl: '%s' is not an update file: %s\n", path, why);
        msgs.clear();
    }
    return msgs;
}

// The updater's procedure with its waits: the restart request, a second,
// close, the restart wait, reopen; every message of the file; a second,
// close, the update wait; then the amp's identity.
int cmd_update(const char* path, const Options& o) {
    std::vector<Bytes> msgs = read_update_file(path);
    if (msgs.empty()) return EXIT_FILE;
    int err = 0;
    AmpMessage* restart = amp_request_restart_update(&err);
    MidiOutPort* out = open_out(o);
    if (!out || !restart) {
        amp_record_free(restart, nullptr);
        return EXIT_DEVICE;
    }
    bool ok = send_all(out, amp_message_bytes(restart, nullptr), amp_message_length(restart, nullptr), o.timeout_ms);
    amp_record_free(restart, nullptr);
    if (!ok) {
        close_out(out);
        return EXIT_DEVICE;
    }
    std::printf("restart request sent; waiting %ld ms\n", o.restart_wait_ms);
    std::fflush(stdout);
    sleep_ms(1000);
    close_out(out);
    sleep_ms(o.restart_wait_ms);
    out = open_out(o);
    if (!out) return EXIT_DEVICE;
    size_t bytes = 0;
    for (const Bytes& m : msgs) {
        if (!send_all(out, m.data(), int(m.size()), 10000)) {
            close_out(out);
            return EXIT_DEVICE;
        }
        bytes += m.size();
    }
    std::printf("sent %zu messages, %zu bytes; waiting %ld ms\n", msgs.size(), bytes, o.update_wait_ms);
    std::fflush(stdout);
    sleep_ms(1000);
    close_out(out);
    sleep_ms(o.update_wait_ms);

    out = open_out(o);
    MidiInPort* in = out ? open_in(o) : nullptr;
    int status = EXIT_DEVICE;
    AmpMessage* id = amp_request_identity(&err);
    if (out && in && id) {
        Bytes reply;
        status = exchange(out, in, id, o, &reply);
        if (status == EXIT_OK) status = print_message(reply.data(), uint32_t(reply.size()), o.json, true);
    }
    amp_record_free(id, nullptr);
    close_in(in);
    close_out(out);
    return status;
}

bool parse_options(int argc, char** argv, Options* o, int* first_arg) {
    enum { O_OUT = 1000, O_IN, O_TIMEOUT, O_JSON, O_COUNT, O_SECONDS, O_RESTART, O_UPDATE, O_HELP };
    static const option kLong[] = {
        {"out", required_argument, nullptr, O_OUT},
        {"in", required_argument, nullptr, O_IN},
        {"timeout", required_argument, nullptr, O_TIMEOUT},
        {"json", no_argument, nullptr, O_JSON},
        {"count", required_argument, nullptr, O_COUNT},
        {"seconds", required_argument, nullptr, O_SECONDS},
        {"restart-wait", required_argument, nullptr, O_RESTART},
        {"update-wait", required_argument, nullptr, O_UPDATE},
        {"help", no_argument, nullptr, O_HELP},
        {nullptr, 0, nullptr, 0},
    };
    opterr = 0;
    int c;
    // "+": options end at the command, so request arguments may be negative.
    while ((c = getopt_long(argc, argv, "+", kLong, nullptr)) != -1) {
        long* target = nullptr;
        long hi = 86400000;
        switch (c) {
            case O_OUT: o->out_name = optarg; break;
            case O_IN: o->in_name = optarg; break;
            case O_JSON: o->json = true; break;
            case O_TIMEOUT: target = &o->timeout_ms; break;
            case O_COUNT: target = &o->count; break;
            case O_SECONDS: target = &o->seconds; hi = 86400; break;
            case O_RESTART: target = &o->restart_wait_ms; break;
            case O_UPDATE: target = &o->update_wait_ms; break;
            case O_HELP:
                std::fputs(kHelp, stdout);
                std::exit(EXIT_OK);
            default:
                std::fprintf(stderr, "ampctl: unknown option or missing value: %s\n", argv[optind - 1]);
                return false;
        }
        if (target && !ampctl_parse_number(optarg, 0, hi, target)) {
            std::fprintf(stderr, "ampctl: not a valid number for %s: '%s'\n", argv[optind - 2], optarg);
            return false;
        }
    }
    *first_arg = optind;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    int at = 0;
    if (!parse_options(argc, argv, &o, &at)) return EXIT_USAGE;
    if (at >= argc) {
        std::fputs(kHelp, stderr);
        return EXIT_USAGE;
    }
    std::signal(SIGINT, on_signal);
    std::signal(SIGTERM, on_signal);
    const char* cmd = argv[at];
    int rest = argc - at - 1;
    char** args = argv + at + 1;
    if (!std::strcmp(cmd, "list") && rest == 0) return cmd_list();
    if (!std::strcmp(cmd, "requests") && rest == 0) return cmd_requests();
    if (!std::strcmp(cmd, "identity") && rest == 0) return run_request(ampctl_find_request("identity"), 0, args, o, false);
    if (!std::strcmp(cmd, "watch") && rest == 0) return cmd_watch(o);
    if (!std::strcmp(cmd, "update") && rest == 1) return cmd_update(args[0], o);
    if (!std::strcmp(cmd, "read-block"))
        return run_request(ampctl_find_request("read_block"), rest, args, o, true);
    if (!std::strcmp(cmd, "store-block"))
        return run_request(ampctl_find_request("store_block"), rest, args, o, false);
    if (!std::strcmp(cmd, "request") && rest >= 1) {
        const AmpctlRequest* r = ampctl_find_request(args[0]);
        if (!r) {
            std::fprintf(stderr, "ampctl: no request named '%s' (see: ampctl requests)\n", args[0]);
            return EXIT_USAGE;
        }
        return run_request(r, rest - 1, args + 1, o, false);
    }
    std::fprintf(stderr, "ampctl: unknown command or wrong arguments: %s (see: ampctl --help)\n", cmd);
    return EXIT_USAGE;
}
