// Command line of the virtual amp.
#include "tools/virtual-amp/vamp.h"

#include <getopt.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char kHelp[] =
    "Usage: virtual-amp [OPTION]...\n"
    "An amp emulator on JACK: one MIDI input port that a sender talks to, one MIDI\n"
    "output port for the amp's replies, both named \"Zorva Pro ...\" so that the\n"
    "updater picks them. It answers the amp's requests, takes controller changes on\n"
    "channel 1, restarts on the restart request (into update mode for mode 1), takes\n"
    "an update in update mode and comes back with a new version. It needs a running\n"
    "JACK server (JACK_DEFAULT_SERVER names one); it never starts one itself.\n"
    "\n"
    "  --name NAME          JACK client name (default virtual-amp)\n"
    "  --rawmidi ID         sit on ALSA rawmidi device ID (\"hw:1,0\", the gadget\n"
    "                       side of a USB-MIDI device) instead of JACK, reading\n"
    "                       with a 1 MiB input buffer\n"
    "  --revision REV       four revision characters of the identity reply before an\n"
    "                       update, e.g. A100 (release letter A, D, T or B, then the\n"
    "                       version 1.00); default A100\n"
    "  --new-revision REV   the revision reported after a successful update\n"
    "                       (default A101)\n"
    "  --restart-ms MS      how long the ports are gone on a restart (default 3000;\n"
    "                       the updater waits about 5 s)\n"
    "  --reprogram-ms MS    how long they are gone while reprogramming after an\n"
    "                       update (default 8000; the updater waits about 15 s)\n"
    "  --quiet-ms MS        silence after the last update byte before reprogramming\n"
    "                       starts (default 2000)\n"
    "  --rate BYTES_PER_S   receive at most this many bytes per second (3125 is a\n"
    "                       MIDI DIN cable); default 0, unlimited\n"
    "  --buffer BYTES       receive buffer with --rate (default 256): bytes arriving\n"
    "                       while it is full are lost and counted as overruns\n"
    "  --report FILE        write a JSON report after each update and on exit:\n"
    "                       messages and bytes taken in update mode, their SHA-256,\n"
    "                       framing errors, overruns, times of the first and last\n"
    "                       byte, versions before and after\n"
    "  --expect FILE        the update file the owner sends: an update is taken only\n"
    "                       when exactly its bytes arrived (their SHA-256 is\n"
    "                       compared), as a real amp checks its image. Without it\n"
    "                       the amp takes whatever arrived whole, and says that it\n"
    "                       did not check (--expect-image FILE is the same)\n"
    "  --expect-sha256 HEX  the same, given as the image's SHA-256\n"
    "  --no-identity        never answer the identity request, as an amp whose\n"
    "                       firmware does not\n"
    "  --usb-gadget DIR     the configfs USB gadget the amp sits on (with --rawmidi):\n"
    "                       while it restarts and while it reprograms its USB\n"
    "                       device leaves the bus (unbound from its controller) and\n"
    "                       comes back as a new device, as a real USB amp does; name\n"
    "                       the rawmidi device by card id (hw:ID,0) so it is found\n"
    "                       again under whatever number it gets\n"
    "  --strict-boot-loader in update mode every byte is image data, the restart\n"
    "                       and identity requests included, as a boot loader that\n"
    "                       knows nothing but the image would take them\n"
    "  --drop N@OFFSET      fault: silently lose N bytes of the update stream from\n"
    "                       byte OFFSET on, as a lossy MIDI path would\n"
    "  --send-cc            send a few controller changes of the amp's own (its\n"
    "                       current parameters) every 2 s in normal mode\n"
    "  --verbose            one line on standard error for each thing that happens\n"
    "  --list-outputs       print the MIDI output devices that a sender on this\n"
    "                       machine can choose, one a line, and exit\n"
    "  --write-demo FILE    write a demo update file of well-formed SysEx and exit\n"
    "  --demo-bytes N       its size (default 307200)\n"
    "  --help               this text\n"
    "  --version            the program's version\n"
    "\n"
    "In update mode every byte is update data, except a restart request that comes\n"
    "before any update byte: it restarts the amp again (mode 1 into update mode),\n"
    "and an identity request between messages, which is answered as in normal mode\n"
    "(neither with --strict-boot-loader).\n"
    "An update that arrived with framing errors or overruns, or that is not the\n"
    "expected image, is rejected: the amp comes back with its old version. SIGINT and SIGTERM stop it cleanly (the report\n"
    "is written). Exit status 0, 1 when JACK failed, 2 for a bad command line.\n";

bool parse_long(const char* s, long lo, long hi, long* out) {
    if (!s || !*s) return false;
    errno = 0;
    char* end = nullptr;
    long v = std::strtol(s, &end, 10);
    if (errno || *end || v < lo || v > hi) return false;
    *out = v;
    return true;
}

bool parse_revision(const char* s, char* dst) {
    if (!s || std::strlen(s) != 4) return false;
    for (int i = 0; i < 4; i++)
        if (s[i] < 0x20 || s[i] > 0x7E) return false;
    std::memcpy(dst, s, 5);
    return true;
}

enum {
    OPT_NAME = 1000,
    OPT_VERSION,
    OPT_NEW_VERSION,
    OPT_RESTART,
    OPT_REPROGRAM,
    OPT_QUIET,
    OPT_RATE,
    OPT_BUFFER,
    OPT_REPORT,
    OPT_SEND_CC,
    OPT_VERBOSE,
    OPT_LIST,
    OPT_DEMO,
    OPT_DEMO_BYTES,
    OPT_EXPECT_IMAGE,
    OPT_EXPECT_SHA,
    OPT_DROP,
    OPT_RAWMIDI,
    OPT_NO_IDENTITY,
    OPT_STRICT_BOOT,
    OPT_USB_GADGET,
    OPT_HELP,
    OPT_PROGRAM_VERSION,
};

// One row per option, in the order of the help text.
const option kOptions[] = {
    {"name", required_argument, nullptr, OPT_NAME},
    {"rawmidi", required_argument, nullptr, OPT_RAWMIDI},
    {"revision", required_argument, nullptr, OPT_VERSION},
    {"new-revision", required_argument, nullptr, OPT_NEW_VERSION},
    {"restart-ms", required_argument, nullptr, OPT_RESTART},
    {"reprogram-ms", required_argument, nullptr, OPT_REPROGRAM},
    {"quiet-ms", required_argument, nullptr, OPT_QUIET},
    {"rate", required_argument, nullptr, OPT_RATE},
    {"buffer", required_argument, nullptr, OPT_BUFFER},
    {"report", required_argument, nullptr, OPT_REPORT},
    {"expect", required_argument, nullptr, OPT_EXPECT_IMAGE},
    {"expect-image", required_argument, nullptr, OPT_EXPECT_IMAGE},
    {"expect-sha256", required_argument, nullptr, OPT_EXPECT_SHA},
    {"no-identity", no_argument, nullptr, OPT_NO_IDENTITY},
    {"usb-gadget", required_argument, nullptr, OPT_USB_GADGET},
    {"strict-boot-loader", no_argument, nullptr, OPT_STRICT_BOOT},
    {"drop", required_argument, nullptr, OPT_DROP},
    {"send-cc", no_argument, nullptr, OPT_SEND_CC},
    {"verbose", no_argument, nullptr, OPT_VERBOSE},
    {"list-outputs", no_argument, nullptr, OPT_LIST},
    {"write-demo", required_argument, nullptr, OPT_DEMO},
    {"demo-bytes", required_argument, nullptr, OPT_DEMO_BYTES},
    {"help", no_argument, nullptr, OPT_HELP},
    {"version", no_argument, nullptr, OPT_PROGRAM_VERSION},
    {nullptr, 0, nullptr, 0},
};

inline constexpr long kMaxWaitMs = 3600L * 1000;

bool parse_sha256(const char* s, char* dst) {
    if (!s || std::strlen(s) != 64) return false;
    for (int i = 0; i < 64; i++) {
        char c = s[i];
        if (c >= 'A' && c <= 'F') c = char(c - 'A' + 'a');
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
        dst[i] = c;
    }
    dst[64] = 0;
    return true;
}

// "N@OFFSET", both decimal, N at least 1.
bool parse_drop(const char* s, uint64_t* n, uint64_t* offset) {
    const char* at = s ? std::strchr(s, '@') : nullptr;
    if (!at || at == s || !at[1]) return false;
    char* end = nullptr;
    errno = 0;
    unsigned long long count = std::strtoull(s, &end, 10);
    if (errno || end != at || count == 0 || s[0] == '-') return false;
    unsigned long long off = std::strtoull(at + 1, &end, 10);
    if (errno || *end || at[1] == '-') return false;
    *n = count;
    *offset = off;
    return true;
}

}  // namespace

const char* vamp_help_text() { return kHelp; }

bool vamp_parse_options(VampOptions* o, int argc, char** argv, char* errbuf, size_t errlen) {
    std::memset(o, 0, sizeof *o);
    std::snprintf(o->client_name, sizeof o->client_name, "virtual-amp");
    std::memcpy(o->version, "A100", 5);
    std::memcpy(o->new_version, "A101", 5);
    o->restart_ms = 3000;
    o->reprogram_ms = 8000;
    o->quiet_ms = 2000;
    o->buffer = 256;
    o->demo_bytes = 307200;
    errbuf[0] = 0;

    optind = 1;
    opterr = 0;
    for (;;) {
        int idx = 0;
        int c = getopt_long(argc, argv, "", kOptions, &idx);
        if (c == -1) break;
        const char* arg = optarg;
        bool ok = true;
        switch (c) {
            case OPT_NAME:
                ok = arg[0] && std::strlen(arg) < sizeof o->client_name && !std::strchr(arg, ':');
                if (ok) std::snprintf(o->client_name, sizeof o->client_name, "%s", arg);
                break;
            case OPT_RAWMIDI:
                ok = arg[0] && std::strlen(arg) < sizeof o->rawmidi;
                if (ok) std::snprintf(o->rawmidi, sizeof o->rawmidi, "%s", arg);
                break;
            case OPT_VERSION: ok = parse_revision(arg, o->version); break;
            case OPT_NEW_VERSION: ok = parse_revision(arg, o->new_version); break;
            case OPT_RESTART: ok = parse_long(arg, 0, kMaxWaitMs, &o->restart_ms); break;
            case OPT_REPROGRAM: ok = parse_long(arg, 0, kMaxWaitMs, &o->reprogram_ms); break;
            case OPT_QUIET: ok = parse_long(arg, 10, kMaxWaitMs, &o->quiet_ms); break;
            case OPT_RATE: {
                long r = 0;
                ok = parse_long(arg, 0, 100L * 1000 * 1000, &r);
                o->rate = double(r);
                break;
            }
            case OPT_BUFFER: ok = parse_long(arg, 1, 1L << 30, &o->buffer); break;
            case OPT_REPORT: o->report_path = arg; ok = arg[0] != 0; break;
            case OPT_SEND_CC: o->send_cc = true; break;
            case OPT_VERBOSE: o->verbose = true; break;
            case OPT_LIST: o->list_outputs = true; break;
            case OPT_DEMO: o->demo_path = arg; ok = arg[0] != 0; break;
            case OPT_DEMO_BYTES: ok = parse_long(arg, 100, 1L << 30, &o->demo_bytes); break;
            case OPT_EXPECT_IMAGE:
                ok = vamp_file_sha256(arg, o->expect_sha256);
                o->expect_image = ok;
                break;
            case OPT_EXPECT_SHA: ok = o->expect_image = parse_sha256(arg, o->expect_sha256); break;
            case OPT_DROP: ok = parse_drop(arg, &o->drop_bytes, &o->drop_offset); break;
            case OPT_NO_IDENTITY: o->no_identity = true; break;
            case OPT_STRICT_BOOT: o->strict_boot_loader = true; break;
            case OPT_USB_GADGET:
                ok = arg[0] && std::strlen(arg) < sizeof o->usb_gadget;
                if (ok) std::snprintf(o->usb_gadget, sizeof o->usb_gadget, "%s", arg);
                break;
            case OPT_HELP: o->help = true; break;
            case OPT_PROGRAM_VERSION: o->show_version = true; break;
            default:
                std::snprintf(errbuf, errlen, "unknown option %s (see --help)", argv[optind - 1]);
                return false;
        }
        if (!ok) {
            std::snprintf(errbuf, errlen, "bad value for --%s: '%s' (see --help)", kOptions[idx].name,
                          arg ? arg : "");
            return false;
        }
    }
    if (optind < argc) {
        std::snprintf(errbuf, errlen, "unexpected argument '%s' (see --help)", argv[optind]);
        return false;
    }
    return true;
}
