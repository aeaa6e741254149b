// ampctl: talks to the amp from the command line. See kHelp.
#include "tools/ampctl/ampctl.h"

#include "ampmsg/responses.h"
#include "midi/midi_in.h"
#include "midi/midi_out.h"
#include "midi/platform.h"
#include "update/amp_answer.h"
#include "update/amp_choice.h"
#include "update/update_console.h"
#include "update/update_file.h"
#include "update/safe_text.h"
#include "update/update_procedure.h"

#include <getopt.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

const char kVersion[] = "ampctl 1.00\n";

// Printed with the defaults that come from the wizard's own waits: the
// answer's wait, the restart wait and the update wait, in ms.
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
    "  update FILE             what the updater does: restart the amp in update\n"
    "                          mode, send FILE's SysEx messages with progress on\n"
    "                          standard error, wait while it reprograms, then say\n"
    "                          which version the amp now reports. Ctrl-C stops it\n"
    "                          at a message boundary. With --no-restart the amp\n"
    "                          already waits in update mode: it is sent nothing\n"
    "                          but the file\n"
    "  send FILE | send HEX... send SysEx messages as they are (no restart, no\n"
    "                          waits), from a file or as hexadecimal bytes\n"
    "                          (\"F0 7E 7F 06 01 F7\")\n"
    "  dump FILE               write every SysEx message received to FILE until\n"
    "                          interrupted, --count messages or --seconds\n"
    "\n"
    "Options:\n"
    "  --out NAME        MIDI output device, its exact name (see list); default: the\n"
    "                    last one whose name contains Zorva, ZORVA, Pro or PRO,\n"
    "                    otherwise the first\n"
    "  --in NAME         MIDI input device; default: the one that belongs to the\n"
    "                    output, else chosen by name as the output is\n"
    "  --timeout MS      how long to wait for a reply (default %ld)\n"
    "  --json            print each decoded message as one JSON object a line\n"
    "  --count N         watch, dump: stop after N messages\n"
    "  --seconds S       watch, dump: stop after S seconds\n"
    "  --restart-wait MS update: wait after the restart request (default %ld)\n"
    "  --update-wait MS  update: wait after the last message (default %ld)\n"
    "  --no-restart      update: the amp already waits in update mode\n"
    "  --gap-ms N        update, send: pause after each message, never less than N\n"
    "                    ms (default 0)\n"
    "  --rate B          update, send: never faster than B bytes a second: each\n"
    "                    message starts no sooner than the one before it started\n"
    "                    plus that one's length at this rate, so a stall is never\n"
    "                    made up by a burst (default: as fast as the device takes\n"
    "                    them). Either paces a path that loses data when fed too\n"
    "                    fast, such as Wine's MIDI through the ALSA sequencer\n"
    "  -h, --help        this text\n"
    "  --version         the program's version\n"
    "\n"
    "Numbers may be decimal or 0x-hexadecimal. A reply is first compared with the\n"
    "request's reply length and kind; one that is not the reply asked for, or does\n"
    "not decode, is printed as its bytes and fails. Replies that the library does\n"
    "not decode (cmd3, cmd25) are printed as their bytes. Exit status: 0 done\n"
    "(update: the amp reports a new version); 1 a device is missing, held by\n"
    "another program or failed, no MIDI service answers, this account may not use\n"
    "the sound devices, or no MIDI input from the amp was found; 2 a bad command\n"
    "line or request argument; 3 no reply in time; 4 a reply that is not the one\n"
    "asked for, or does not decode; 5 a file that is not valid or cannot be\n"
    "written; 6 stopped by a signal; 7 update: the amp reports the same version as\n"
    "before (unchanged: if the file holds another version, the update did not\n"
    "take).\n";

// dump keeps SysEx messages up to this long; a longer one is left out.
constexpr size_t DUMP_MESSAGE_MAX = 16u << 20;

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

struct Options {
    const char* out_name = nullptr;
    const char* in_name = nullptr;
    long timeout_ms = ANSWER_WAIT_TICKS * UPDATE_TICK_MS;
    bool json = false;
    long count = 0;
    long seconds = 0;
    // The procedure's own waits, from the wizard's table.
    long restart_wait_ms = long(UPDATE_WAITS[WAIT_AFTER_RESTART].reopen_after_ticks) * UPDATE_TICK_MS;
    long update_wait_ms = long(UPDATE_WAITS[WAIT_AFTER_UPDATE].reopen_after_ticks) * UPDATE_TICK_MS;
    long gap_ms = 0;
    long rate = 0;
    bool no_restart = false;
};

void print_help(FILE* f) {
    Options defaults;
    std::fprintf(f, kHelp, defaults.timeout_ms, defaults.restart_wait_ms, defaults.update_wait_ms);
}

volatile std::sig_atomic_t g_stop = 0;

void on_signal(int) { g_stop = 1; }

void sleep_ms(long ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

long elapsed_ms(Clock::time_point since) {
    return long(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

// The device the updater would pick (update/amp_choice.h). Empty when there
// is none.
std::string pick_device(bool output) {
    char name[MIDI_NAME_SIZE];
    bool got = output ? amp_pick_output(name, sizeof name) : amp_pick_input(name, sizeof name, true);
    return got ? name : "";
}

// The output: as given, else chosen as the updater chooses.
std::string out_device(const Options& o) { return o.out_name ? o.out_name : pick_device(true); }

// Says that a device of one side would not open (or that there is none,
// `name` empty), and why when the system can tell: who holds it, a missing
// permission, no MIDI service.
// Text from outside (device names, file names), safe for the terminal.
std::string shown(const std::string& raw) {
    std::vector<char> out(raw.size() * 4 + 1);
    return safe_text(raw.c_str(), out.data(), out.size());
}

// The devices of one side, for an owner whose name matched none.
void list_side(bool output) {
    static bool out_side;
    static int shown_count;
    out_side = output;
    shown_count = 0;
    auto show = [](const char* n) {
        std::fprintf(stderr, "ampctl:   %s\n", shown(n).c_str());
        shown_count++;
    };
    std::fprintf(stderr, "ampctl: the MIDI %s devices are:\n", out_side ? "output" : "input");
    if (output)
        midi_out_list_devices(show);
    else
        midi_in_list_devices(show);
    if (shown_count == 0) std::fprintf(stderr, "ampctl:   (none)\n");
}

void say_open_failed(const std::string& name, bool output, int err) {
    const char* side = output ? "output" : "input";
    char why[512];
    update_open_problem(name.empty() ? nullptr : name.c_str(), output, name.empty() ? MIDI_OUT_NOT_FOUND : err,
                        why, sizeof why);
    if (name.empty())
        std::fprintf(stderr, "ampctl: there is no MIDI %s device\n", side);
    else
        std::fprintf(stderr, "ampctl: could not open MIDI %s '%s': %s\n", side, shown(name).c_str(),
                     err == MIDI_OUT_NOT_FOUND      ? "no device has that name"
                     : err == MIDI_OUT_DEVICE_ERROR ? (why[0] ? "another program holds it"
                                                              : "device error occurred (is another program using it?)")
                     : output                       ? midi_out_error_text(unsigned(err))
                                                    : midi_in_error_text(unsigned(err)));
    if (why[0]) std::fprintf(stderr, "ampctl: %s\n", why);
    if (!name.empty() && err == MIDI_OUT_NOT_FOUND) list_side(output);
}

MidiOutPort* open_out(const Options& o) {
    std::string name = out_device(o);
    int err = MIDI_OUT_NOT_FOUND;
    MidiOutPort* p = name.empty() ? nullptr : midi_out_open_by_name(name.c_str(), &err);
    if (!p) say_open_failed(name, true, err);
    return p;
}

// The input: as given, else the one that belongs to the output, else chosen
// by name as the output is.
MidiInPort* open_in(const Options& o) {
    std::string name;
    if (o.in_name) {
        name = o.in_name;
    } else {
        std::string out = out_device(o);
        char partner[MIDI_NAME_SIZE];
        name = !out.empty() && midi_in_find_partner(out.c_str(), partner, sizeof partner) ? partner
                                                                                          : pick_device(false);
    }
    int err = MIDI_IN_NOT_FOUND;
    MidiInPort* p = name.empty() ? nullptr : midi_in_open_by_name(name.c_str(), &err);
    if (!p) say_open_failed(name, false, err);
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
bool receive(MidiInPort* in, MidiSplitter* sp, long timeout_ms, Fn fn) {
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
// identity request, otherwise the first SysEx message in the amp's framing,
// which must then be the reply to this request, of its length and kind.
// Returns an exit status; `reply` gets the reply's bytes.
int exchange(MidiOutPort* out, MidiInPort* in, const AmpMessage* m, const Options& o, Bytes* reply) {
    const uint8_t* bytes = amp_message_bytes(m, nullptr);
    int length = amp_message_length(m, nullptr);
    bool identity = length == AMP_IDENTITY_REQUEST_LENGTH &&
                    std::memcmp(bytes, AMP_IDENTITY_REQUEST, AMP_IDENTITY_REQUEST_LENGTH) == 0;
    drain(in);
    if (!send_all(out, bytes, length, o.timeout_ms)) return EXIT_DEVICE;
    if (amp_message_reply_length(m, nullptr) == 0) return EXIT_OK;
    MidiSplitter sp;
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
    char why[200];
    if (!ampctl_reply_fits(m, reply->data(), reply->size(), why, sizeof why)) {
        std::fprintf(stderr, "ampctl: the amp's reply is not the one asked for: %s. Its bytes: ", why);
        ampctl_print_hex(stderr, reply->data(), reply->size());
        std::fprintf(stderr, "\n");
        return EXIT_UNDECODED;
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
// `typed` is the command as the user wrote it ("read-block", "request cmd4").
int run_request(const char* typed, const AmpctlRequest* r, int argc, char** argv, const Options& o,
                bool block_only) {
    AmpctlArgs args;
    char why[160];
    if (!ampctl_parse_args(r, argc, argv, &args, why, sizeof why)) {
        std::fprintf(stderr, "ampctl: %s: %s (usage: %s%s%s)\n", typed, why, typed, *r->usage ? " " : "",
                     r->usage);
        return EXIT_USAGE;
    }
    int err = 0;
    AmpMessage* m = r->build(&args, &err);
    if (!m) {
        std::fprintf(stderr, "ampctl: %s: %s (library code %d)\n", typed, ampctl_refusal_text(err), err);
        return EXIT_USAGE;
    }
    MidiOutPort* out = open_out(o);
    MidiInPort* in = out ? open_in(o) : nullptr;
    int status = EXIT_DEVICE;
    if (out && in) {
        Bytes reply;
        status = exchange(out, in, m, o, &reply);
        if (status == EXIT_OK && !reply.empty() && ampctl_reply_is_raw(m)) {
            // No decoder for it: the amp's bytes as they came.
            if (o.json) {
                std::printf("{\"type\":\"raw\",\"bytes\":\"");
                ampctl_print_hex(stdout, reply.data(), reply.size());
                std::printf("\"}\n");
            } else {
                std::printf("reply: ");
                ampctl_print_hex(stdout, reply.data(), reply.size());
                std::printf("\n");
            }
        } else if (status == EXIT_OK && !reply.empty()) {
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
    // An empty list says whether there are no devices or nothing this
    // account can ask.
    int problem =
        midi_out_device_count() == 0 && midi_in_device_count() == 0 ? midi_system_problem() : MIDI_SYSTEM_FINE;
    if (problem != MIDI_SYSTEM_FINE) {
        std::fprintf(stderr, "ampctl: list: %s\n", midi_system_problem_text(problem));
        return EXIT_DEVICE;
    }
    static int shown_count;
    auto show = [](const char* n) {
        std::printf("  %s\n", shown(n).c_str());
        shown_count++;
    };
    std::printf("MIDI output devices:\n");
    shown_count = 0;
    midi_out_list_devices(show);
    if (shown_count == 0) std::printf("  (none)\n");
    std::printf("MIDI input devices:\n");
    shown_count = 0;
    midi_in_list_devices(show);
    if (shown_count == 0) std::printf("  (none)\n");
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
    MidiSplitter sp;
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

// ---------------------------------------------------------------- update

// The console's procedure (update/update_console.h) with ampctl's options,
// stopped by SIGINT and SIGTERM.
UpdateConsole console_of(const Options& o, bool progress) {
    UpdateConsole c = update_console_defaults();
    c.stop = &g_stop;
    c.restart_wait_ms = o.restart_wait_ms;
    c.update_wait_ms = o.update_wait_ms;
    c.pacing = {int(o.gap_ms), o.rate};
    c.progress = progress;
    c.resend_how = "ampctl update --no-restart FILE";
    return c;
}

// Loads a file of SysEx messages the way the wizard does, naming the reason
// when it cannot. `min_size` 0 keeps the wizard's own minimum.
bool load_file(const char* cmd, const char* path, size_t min_size) {
    int code = update_file_load_with(path, min_size ? min_size : UPDATE_FILE_MIN_SIZE, nullptr);
    if (code == LOAD_OK) return true;
    std::fprintf(stderr, "ampctl: %s %s: %s. %s\n", cmd, shown(path).c_str(), update_load_error_text(code),
                 update_file_reason());
    return false;
}

void say_how_far(const char* what) {
    UpdateProgress p = update_progress();
    std::fprintf(stderr, "ampctl: %s after %zu of %zu messages (%zu of %zu bytes)\n", what, p.messages_sent,
                 p.messages_total, p.bytes_sent, p.bytes_total);
}

// Says how the part of the procedure that just ran ended, on standard error
// when it went wrong; returns its exit status.
int say_end(const UpdateConsole* c, int end) {
    char line[800];
    int status = update_console_end_text(c, update_proc_part(), end, line, sizeof line);
    if (line[0]) std::fprintf(status == EXIT_OK || end == END_DONE ? stdout : stderr, "%s%s\n",
                              end == END_DONE ? "" : "ampctl: update: ", line);
    return status;
}

// The updater's procedure (update/update_procedure.h) with the wizard's
// waits: the port opens and the amp is asked who it is, the restart request
// and the wait after it (the amp, now in update mode, is asked nothing),
// every message of the file, the wait after the update, then the amp's
// identity again, told as the wizard's Done page tells it.
int cmd_update(const char* path, const Options& o) {
    if (!load_file("update", path, 0)) return EXIT_FILE;
    std::string name = out_device(o);
    UpdateConsole c = console_of(o, true);
    answer_reset();
    answer_prefer_input(o.in_name);
    if (name.empty()) {
        say_open_failed(name, true, MIDI_OUT_NOT_FOUND);
        return EXIT_DEVICE;
    }
    // An amp that already waits in update mode is asked nothing, and gets
    // nothing but the file.
    int end = update_console_open(&c, name.c_str(), o.no_restart);
    if (end == END_NO_PORT) {
        if (midi_out_find_device(name.c_str()) < 0) {
            say_open_failed(name, true, MIDI_OUT_NOT_FOUND);
            return EXIT_DEVICE;
        }
        std::fprintf(stderr, "ampctl: could not open MIDI output '%s' (%s)\n", shown(name).c_str(),
                     update_port_problem()[0] ? "another program holds it, or this account may not use it"
                                              : "another program may be using it");
        if (update_port_problem()[0]) std::fprintf(stderr, "ampctl: %s\n", update_port_problem());
        return EXIT_DEVICE;
    }
    if (end != END_DONE) return say_end(&c, end);
    if (answer_state() == ANSWER_GOT) std::printf("The amp reports version %s.\n", shown(answer_version()).c_str());

    if (!o.no_restart) {
        end = update_console_restart(&c, name.c_str());
        if (end != END_DONE) return say_end(&c, end);
    }
    end = update_console_send(&c, name.c_str(), update_file_bytes(), update_file_size());
    if (end == END_NONE) end = update_console_finish(&c);
    update_port_close();
    return say_end(&c, end);
}

// ---------------------------------------------------------------- send, dump

// Parses hexadecimal bytes given as words ("F0 7E 7F 06 01 F7", "F07E7F", or
// "0xF0"). False with the offending word in *bad.
bool parse_hex(int argc, char** argv, Bytes* out, const char** bad) {
    for (int i = 0; i < argc; i++) {
        const char* w = argv[i];
        if (w[0] == '0' && (w[1] == 'x' || w[1] == 'X')) w += 2;
        size_t n = std::strlen(w);
        if (n == 0 || n % 2) {
            *bad = argv[i];
            return false;
        }
        for (size_t k = 0; k < n; k += 2) {
            char pair[3] = {w[k], w[k + 1], 0};
            char* end = nullptr;
            long v = std::strtol(pair, &end, 16);
            if (*end || !std::isxdigit(static_cast<unsigned char>(pair[0]))) {
                *bad = argv[i];
                return false;
            }
            out->push_back(uint8_t(v));
        }
    }
    return true;
}

// Sends SysEx messages as they are, from a file or from hexadecimal words,
// at the wizard's rate: no restart, no waits, no identity.
int cmd_send(int argc, char** argv, const Options& o) {
    Bytes hex;
    const uint8_t* bytes = nullptr;
    size_t size = 0;
    const char* bad = nullptr;
    // One word names a file when there is one of that name, else it is hex.
    FILE* probe = argc == 1 ? std::fopen(argv[0], "rb") : nullptr;
    if (probe) std::fclose(probe);
    if (!probe) {
        if (!parse_hex(argc, argv, &hex, &bad)) {
            std::fprintf(stderr, "ampctl: send: not a hexadecimal byte sequence: '%s'\n", bad);
            return EXIT_USAGE;
        }
        if (!validate_sysex(hex.data(), hex.size())) {
            std::fprintf(stderr, "ampctl: send: the bytes are not complete SysEx messages (F0 ... F7)\n");
            return EXIT_USAGE;
        }
        bytes = hex.data();
        size = hex.size();
    } else {
        if (!load_file("send", argv[0], 1)) return EXIT_FILE;
        bytes = update_file_bytes();
        size = update_file_size();
    }
    answer_reset();
    // The engine's port without the identity ask: opened directly.
    MidiOutPort* out = open_out(o);
    if (!out) return EXIT_DEVICE;
    update_port_adopt(out);
    UpdateConsole c = console_of(o, false);
    c.steps = nullptr;
    // The update's sending part alone: it returns once every byte has left
    // the port, before any wait.
    int end = update_console_send(&c, out_device(o).c_str(), bytes, size);
    UpdateProgress p = update_progress();
    update_proc_abandon();
    update_port_close();
    if (end == END_PORT_FAILED) {
        say_how_far("send: could not send message to amp: the port failed");
        return EXIT_DEVICE;
    }
    if (end == END_STOPPED || end == END_STOPPED_WAITING) {
        say_how_far("send: stopped by a signal at a message boundary");
        return EXIT_STOPPED;
    }
    std::printf("sent %zu message%s, %zu bytes\n", p.messages_sent, p.messages_sent == 1 ? "" : "s", p.bytes_sent);
    return EXIT_OK;
}

// Writes every SysEx message the input receives to FILE, whole messages only,
// until a signal, --count messages or --seconds.
int cmd_dump(const char* path, const Options& o) {
    MidiInPort* in = open_in(o);
    if (!in) return EXIT_DEVICE;
    FILE* f = std::fopen(path, "wb");
    if (!f) {
        std::fprintf(stderr, "ampctl: dump %s: could not create the file (%s)\n", path, std::strerror(errno));
        close_in(in);
        return EXIT_FILE;
    }
    Bytes msg;
    bool in_sysex = false;
    long messages = 0, cut = 0;
    size_t bytes = 0;
    bool write_failed = false;
    auto start = Clock::now();
    uint8_t buf[4096];
    while (!g_stop && !write_failed && (o.count <= 0 || messages < o.count) &&
           (o.seconds <= 0 || elapsed_ms(start) < o.seconds * 1000)) {
        int err = 0;
        int n = midi_in_read(in, sizeof buf, buf, &err);
        if (n <= 0) {
            sleep_ms(2);
            continue;
        }
        for (int i = 0; i < n && !write_failed; i++) {
            uint8_t b = buf[i];
            if (b >= 0xF8) continue;  // real-time bytes may sit inside a message
            if (b == 0xF0) {
                if (in_sysex) cut++;
                msg.assign(1, b);
                in_sysex = true;
            } else if (!in_sysex) {
                continue;
            } else if (b < 0x80) {
                if (msg.size() < DUMP_MESSAGE_MAX) msg.push_back(b);
                else { in_sysex = false; cut++; }
            } else if (b == 0xF7) {
                msg.push_back(b);
                in_sysex = false;
                write_failed = std::fwrite(msg.data(), 1, msg.size(), f) != msg.size() || std::fflush(f) != 0;
                bytes += msg.size();
                messages++;
            } else {
                in_sysex = false;  // another status ends it unfinished
                cut++;
            }
        }
    }
    close_in(in);
    if (std::fclose(f) != 0) write_failed = true;
    if (write_failed) {
        std::fprintf(stderr, "ampctl: dump %s: could not write the file (%s)\n", path, std::strerror(errno));
        return EXIT_FILE;
    }
    std::fprintf(stderr, "ampctl: dump: %ld messages, %zu bytes written to %s", messages, bytes, path);
    if (cut) std::fprintf(stderr, "; %ld cut short and left out", cut);
    std::fprintf(stderr, "\n");
    return EXIT_OK;
}

bool parse_options(int argc, char** argv, Options* o, int* first_arg) {
    enum { O_OUT = 1000, O_IN, O_TIMEOUT, O_JSON, O_COUNT, O_SECONDS, O_RESTART, O_UPDATE, O_GAP, O_RATE,
           O_NO_RESTART, O_VERSION, O_HELP = 'h' };
    static const option kLong[] = {
        {"out", required_argument, nullptr, O_OUT},
        {"in", required_argument, nullptr, O_IN},
        {"timeout", required_argument, nullptr, O_TIMEOUT},
        {"json", no_argument, nullptr, O_JSON},
        {"count", required_argument, nullptr, O_COUNT},
        {"seconds", required_argument, nullptr, O_SECONDS},
        {"restart-wait", required_argument, nullptr, O_RESTART},
        {"update-wait", required_argument, nullptr, O_UPDATE},
        {"gap-ms", required_argument, nullptr, O_GAP},
        {"rate", required_argument, nullptr, O_RATE},
        {"no-restart", no_argument, nullptr, O_NO_RESTART},
        {"version", no_argument, nullptr, O_VERSION},
        {"help", no_argument, nullptr, O_HELP},
        {nullptr, 0, nullptr, 0},
    };
    opterr = 0;
    int c;
    // "+": options end at the command, so request arguments may be negative.
    while ((c = getopt_long(argc, argv, "+h", kLong, nullptr)) != -1) {
        long* target = nullptr;
        long lo = 0, hi = 86400000;
        switch (c) {
            case O_OUT: o->out_name = optarg; break;
            case O_IN: o->in_name = optarg; break;
            case O_JSON: o->json = true; break;
            case O_NO_RESTART: o->no_restart = true; break;
            case O_TIMEOUT: target = &o->timeout_ms; break;
            case O_COUNT: target = &o->count; break;
            case O_SECONDS: target = &o->seconds; hi = 86400; break;
            case O_RESTART: target = &o->restart_wait_ms; break;
            case O_UPDATE: target = &o->update_wait_ms; break;
            case O_GAP: target = &o->gap_ms; hi = 60000; break;
            case O_RATE: target = &o->rate; lo = 1; hi = 100000000; break;
            case O_VERSION:
                std::fputs(kVersion, stdout);
                std::exit(EXIT_OK);
            case O_HELP:
                print_help(stdout);
                std::exit(EXIT_OK);
            default:
                std::fprintf(stderr, "ampctl: unknown option or missing value: %s (see: ampctl --help)\n",
                             argv[optind - 1]);
                return false;
        }
        if (target && !ampctl_parse_number(optarg, lo, hi, target)) {
            std::fprintf(stderr, "ampctl: %s '%s': expected a whole number %ld..%ld\n", argv[optind - 2], optarg,
                         lo, hi);
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
        print_help(stderr);
        return EXIT_USAGE;
    }
    std::signal(SIGINT, on_signal);
    std::signal(SIGTERM, on_signal);
    const char* cmd = argv[at];
    int rest = argc - at - 1;
    char** args = argv + at + 1;
    if (!std::strcmp(cmd, "list") && rest == 0) return cmd_list();
    if (!std::strcmp(cmd, "requests") && rest == 0) return cmd_requests();
    if (!std::strcmp(cmd, "identity") && rest == 0)
        return run_request(cmd, ampctl_find_request("identity"), 0, args, o, false);
    if (!std::strcmp(cmd, "watch") && rest == 0) return cmd_watch(o);
    if (!std::strcmp(cmd, "update") && rest == 1) return cmd_update(args[0], o);
    if (!std::strcmp(cmd, "send") && rest >= 1) return cmd_send(rest, args, o);
    if (!std::strcmp(cmd, "dump") && rest == 1) return cmd_dump(args[0], o);
    if (!std::strcmp(cmd, "read-block"))
        return run_request(cmd, ampctl_find_request("read_block"), rest, args, o, true);
    if (!std::strcmp(cmd, "store-block"))
        return run_request(cmd, ampctl_find_request("store_block"), rest, args, o, false);
    if (!std::strcmp(cmd, "request") && rest >= 1) {
        const AmpctlRequest* r = ampctl_find_request(args[0]);
        if (!r) {
            std::fprintf(stderr, "ampctl: request %s: no request of that name (see: ampctl requests)\n", args[0]);
            return EXIT_USAGE;
        }
        std::string typed = std::string("request ") + args[0];
        return run_request(typed.c_str(), r, rest - 1, args + 1, o, false);
    }
    static const char* const kCommands[] = {"list", "requests", "identity", "watch", "update", "send", "dump",
                                            "read-block", "store-block", "request"};
    for (const char* known : kCommands) {
        if (!std::strcmp(cmd, known)) {
            std::fprintf(stderr, "ampctl: %s: wrong number of arguments (see: ampctl --help)\n", cmd);
            return EXIT_USAGE;
        }
    }
    std::fprintf(stderr, "ampctl: %s: no such command (see: ampctl --help)\n", cmd);
    return EXIT_USAGE;
}
