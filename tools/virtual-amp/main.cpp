// The virtual amp's program: options, the JACK client, the amp's modes and
// its timing (restart, update, reprogramming), signals and the report.
#include "tools/virtual-amp/vamp.h"

#include "ampmsg/message.h"

#include <csignal>
#include <pthread.h>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

// SIGINT and SIGTERM are blocked in every thread (JACK's threads inherit the
// mask) and taken by the main thread while it pauses, so no JACK call is ever
// interrupted by them.
volatile sig_atomic_t g_stop = 0;
sigset_t g_stop_signals;

struct Run {
    VampOptions opt;
    VampLink* link;
    VampAmp amp;
    VampRxModel rx;
    VampStream normal;      // framing in normal mode
    bool update_mode;
    VampUpdate upd;
    uint64_t overruns_at_update;  // rx.overruns when update mode began
    uint64_t lost_at_update;      // lost_before + vamp_link_lost when update mode began
    uint64_t lost_before;         // lost by links already closed
    int restart_mode;             // -1, or the mode of a restart to carry out
    uint64_t next_burst_us;
    uint64_t stream_offset;  // update-mode bytes seen, for the --drop fault
    uint8_t held[AMP_IDENTITY_REQUEST_LENGTH];  // bytes that may begin an identity request
    int held_n;
    VampReport rep;
    char udc[64];  // the USB controller the gadget is bound to (--usb-gadget)
};

void say(const char* fmt, ...) {
    std::fprintf(stderr, "virtual-amp: ");
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(stderr, fmt, ap);
    va_end(ap);
    std::fputc('\n', stderr);
}

// Pauses for `ms` milliseconds, or until SIGINT or SIGTERM arrives.
void sleep_ms(long ms) {
    timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    int sig = sigtimedwait(&g_stop_signals, nullptr, &ts);
    if (sig == SIGINT || sig == SIGTERM) g_stop = 1;
}

double mono_s() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

// Waits `ms` milliseconds; false when a signal asked us to stop meanwhile.
bool wait_ms(long ms) {
    for (long left = ms; left > 0 && !g_stop; left -= 10) sleep_ms(left < 10 ? left : 10);
    return !g_stop;
}

uint64_t lost_total(const Run* r) { return r->lost_before + (r->link ? vamp_link_lost(r->link) : 0); }

void write_report(Run* r, const char* state) {
    VampReport* p = &r->rep;
    p->state = state;
    std::memcpy(p->version_now, r->amp.version, 5);
    p->overruns = r->rx.overruns;
    p->lost_internal = lost_total(r);
    p->answered = r->amp.answered;
    p->ignored = r->amp.ignored;
    p->cc_taken = r->amp.cc_taken;
    p->cc_refused = r->amp.cc_refused;
    if (!r->opt.report_path) return;
    int err = 0;
    if (!vamp_report_write(p, r->opt.report_path, &err))
        say("cannot write the report %s: %s", r->opt.report_path, std::strerror(err));
}

// Copies what the update record holds into the report.
void report_update(Run* r, const char* result) {
    VampReport* p = &r->rep;
    const VampUpdate* u = &r->upd;
    p->result = result;
    p->messages = u->messages;
    p->bytes = u->bytes;
    std::memcpy(p->sha256, u->sha256, sizeof p->sha256);
    p->status_in_message = u->stream.status_in_message;
    p->unterminated = u->stream.unterminated;
    p->outside_message = u->stream.outside_message;
    p->first_byte_s = u->bytes ? vamp_link_wall_s(r->link, u->first_us) : 0;
    p->last_byte_s = u->bytes ? vamp_link_wall_s(r->link, u->last_us) : 0;
}

// Opens the JACK client, trying for a few seconds (a server busy with our
// old client's removal may refuse the name for a moment).
bool open_link(Run* r) {
    char err[200] = "";
    for (int i = 0; i < 50 && !g_stop; i++) {
        r->link = r->opt.rawmidi[0] ? vamp_link_open_rawmidi(r->opt.rawmidi, err, sizeof err)
                                    : vamp_link_open(r->opt.client_name, err, sizeof err);
        if (r->link) return true;
        if (r->opt.verbose) say("open failed: %s", err);
        if (i == 0 && !r->rep.restarts && !r->rep.updates) break;  // at start, fail at once
        sleep_ms(100);
    }
    say("%s", err[0] ? err : "stopped");
    return false;
}

// Binds the gadget to its USB controller (`udc`), or with "" unbinds it: its
// USB device leaves the bus. False with a line when configfs refused.
bool usb_bind(const Run* r, const char* udc) {
    char path[256];
    std::snprintf(path, sizeof path, "%s/UDC", r->opt.usb_gadget);
    FILE* f = std::fopen(path, "w");
    bool ok = f && std::fprintf(f, "%s\n", udc) > 0;
    if (f && std::fclose(f) != 0) ok = false;
    if (!ok) say("cannot write %s: %s", path, std::strerror(errno));
    return ok;
}

// The ports go away for `ms` and come back with the same names. Bytes that
// were still waiting are lost with the amp's memory of them. On a USB gadget
// the device leaves the bus meanwhile and enumerates again.
bool vanish(Run* r, long ms) {
    r->lost_before += vamp_link_lost(r->link);
    double t0 = mono_s();
    vamp_link_close(r->link);
    r->link = nullptr;
    if (r->opt.verbose) say("closed in %.3f s", mono_s() - t0);
    bool usb = r->opt.usb_gadget[0] != '\0';
    if (usb && !usb_bind(r, "")) return false;
    if (!wait_ms(ms)) return false;
    if (usb && !usb_bind(r, r->udc)) return false;
    t0 = mono_s();
    if (!open_link(r)) return false;
    if (r->opt.verbose) say("opened in %.3f s", mono_s() - t0);
    // A fresh receive buffer; the overrun count carries on.
    uint64_t overruns = r->rx.overruns;
    vamp_rx_model_init(&r->rx, r->opt.rate, r->opt.buffer);
    r->rx.overruns = overruns;
    return true;
}

bool begin_update_mode(Run* r) {
    vamp_update_free(&r->upd);
    if (!vamp_update_begin(&r->upd)) {
        say("cannot set up SHA-256");
        return false;
    }
    r->update_mode = true;
    r->stream_offset = 0;
    r->held_n = 0;
    r->overruns_at_update = r->rx.overruns;
    r->lost_at_update = lost_total(r);
    return true;
}

bool do_restart(Run* r) {
    int mode = r->restart_mode;
    r->restart_mode = -1;
    r->rep.restarts++;
    say("restart (mode %d): ports gone for %ld ms", mode, r->opt.restart_ms);
    if (!vanish(r, r->opt.restart_ms)) return false;
    vamp_stream_init(&r->normal, false);
    if (mode == 1) {
        if (!begin_update_mode(r)) return false;
        say("back in update mode");
    } else {
        vamp_update_free(&r->upd);
        r->update_mode = false;
        say("back in normal mode, version %s", r->amp.version);
    }
    return true;
}

void take_image_byte(Run* r, uint8_t b, uint64_t t_us);

// Hands on what was held back as the start of a possible identity request.
void release_held(Run* r, uint64_t t_us) {
    int n = r->held_n;
    r->held_n = 0;
    for (int i = 0; i < n; i++) take_image_byte(r, r->held[i], t_us);
}

// The update is over: check it, report it, reprogram, come back. It is taken
// only when it arrived whole and, where the amp knows the image it expects,
// when it is exactly that image.
bool finish_update(Run* r) {
    release_held(r, r->upd.last_us);
    vamp_update_finish(&r->upd);
    r->rep.image = !r->opt.expect_image ? "unchecked"
                   : std::strcmp(r->upd.sha256, r->opt.expect_sha256) == 0 ? "match"
                                                                            : "mismatch";
    bool clean = vamp_stream_errors(&r->upd.stream) == 0 && r->rx.overruns == r->overruns_at_update &&
                 lost_total(r) == r->lost_at_update && std::strcmp(r->rep.image, "mismatch") != 0;
    std::memcpy(r->rep.version_before, r->amp.version, 5);
    std::memcpy(r->rep.version_after, clean ? r->opt.new_version : r->amp.version, 5);
    report_update(r, clean ? "updated" : "rejected");
    r->rep.updates++;
    say("update %s: %llu messages, %llu bytes, SHA-256 %s, %llu framing errors; reprogramming for %ld ms",
        clean ? "taken" : "rejected", (unsigned long long)r->upd.messages, (unsigned long long)r->upd.bytes,
        r->upd.sha256, (unsigned long long)vamp_stream_errors(&r->upd.stream), r->opt.reprogram_ms);
    r->update_mode = false;
    write_report(r, "reprogramming");
    if (!vanish(r, r->opt.reprogram_ms)) return false;
    std::memcpy(r->amp.version, r->rep.version_after, 5);
    vamp_stream_init(&r->normal, false);
    say("back in normal mode, version %s", r->amp.version);
    // A dry run without the owner's file proves less than it seems: a real
    // amp would check its image, this one took whatever arrived whole.
    if (clean && !r->opt.expect_image)
        std::fprintf(stderr, "virtual-amp: the image was NOT checked (no --expect FILE): a cut-short or wrong "
                             "update is taken as well. Run with --expect FILE for a dry run that checks it.\n");
    write_report(r, "normal");
    return true;
}

void take_normal(Run* r, uint8_t b) {
    int kind = vamp_stream_feed(&r->normal, b);
    if (kind == VAMP_MSG_CHANNEL) {
        vamp_amp_handle_channel(&r->amp, r->normal.msg, r->normal.kept);
        return;
    }
    if (kind != VAMP_MSG_SYSEX) return;
    if (r->normal.length > r->normal.kept) {  // longer than any request
        r->amp.ignored++;
        return;
    }
    VampOutcome out;
    if (r->opt.no_identity && r->normal.kept == AMP_IDENTITY_REQUEST_LENGTH &&
        std::memcmp(r->normal.msg, AMP_IDENTITY_REQUEST, AMP_IDENTITY_REQUEST_LENGTH) == 0) {
        r->amp.ignored++;
        return;
    }
    vamp_amp_handle_sysex(&r->amp, r->normal.msg, r->normal.kept, &out);
    if (r->opt.verbose)
        say("request %02X (%ld bytes): %s", r->normal.kept > 6 ? r->normal.msg[6] : 0, r->normal.kept,
            out.action == VAMP_REPLY ? "answered" : out.action == VAMP_RESTART ? "restart" : "ignored");
    if (out.action == VAMP_REPLY && !vamp_link_send(r->link, out.reply, out.reply_length))
        say("output queue full: a reply was dropped");
    if (out.action == VAMP_RESTART) r->restart_mode = out.mode;
}

// One byte of the image. The --drop fault loses its stretch here, before the
// amp's accounting sees it, as bytes lost on the way would be.
void take_image_byte(Run* r, uint8_t b, uint64_t t_us) {
    uint64_t at = r->stream_offset++;
    if (r->opt.drop_bytes && at >= r->opt.drop_offset && at - r->opt.drop_offset < r->opt.drop_bytes) return;
    int kind = vamp_update_feed(&r->upd, b, t_us);
    if (r->opt.strict_boot_loader) return;
    // A restart request before any update byte leaves update mode (or
    // restarts into it again) instead of counting as the update.
    int mode = 0;
    if (kind == VAMP_MSG_SYSEX && r->upd.messages == 1 && r->upd.bytes == uint64_t(r->upd.stream.length) &&
        vamp_amp_is_restart(r->upd.stream.msg, r->upd.stream.kept, &mode) && (mode == 0 || mode == 1 || mode == 8))
        r->restart_mode = mode;
}

// In update mode the amp still answers the identity request, and keeps it out
// of the image: bytes that may begin one, between messages, are held back
// until they either are one or cannot be.
void take_update(Run* r, uint8_t b, uint64_t t_us) {
    if (r->opt.strict_boot_loader || (r->held_n == 0 && (b != 0xF0 || r->upd.stream.in_sysex))) {
        take_image_byte(r, b, t_us);
        return;
    }
    r->held[r->held_n++] = b;
    if (std::memcmp(r->held, AMP_IDENTITY_REQUEST, size_t(r->held_n)) != 0) {
        release_held(r, t_us);
        return;
    }
    if (r->held_n < AMP_IDENTITY_REQUEST_LENGTH) return;
    r->held_n = 0;
    if (r->opt.no_identity) return;
    VampOutcome out;
    vamp_amp_handle_sysex(&r->amp, AMP_IDENTITY_REQUEST, AMP_IDENTITY_REQUEST_LENGTH, &out);
    if (out.action == VAMP_REPLY && !vamp_link_send(r->link, out.reply, out.reply_length))
        say("output queue full: a reply was dropped");
}

// Takes what JACK has delivered. Stops early when a restart is due: the
// amp does not see what came after it.
void drain(Run* r) {
    static uint8_t buf[1 << 16];
    uint64_t t = 0;
    long n;
    while (r->restart_mode < 0 && (n = vamp_link_read(r->link, &t, buf, sizeof buf)) > 0) {
        long keep = vamp_rx_model_accept(&r->rx, t, n);
        for (long i = 0; i < keep && r->restart_mode < 0; i++) {
            if (r->update_mode)
                take_update(r, buf[i], t);
            else
                take_normal(r, buf[i]);
        }
    }
}

void send_burst(Run* r) {
    uint8_t msgs[64];
    long n = vamp_amp_controller_burst(&r->amp, msgs, sizeof msgs);
    for (long i = 0; i + 3 <= n; i += 3) vamp_link_send(r->link, msgs + i, 3);
}

int run(Run* r) {
    vamp_amp_state_init(&r->amp, r->opt.version);
    vamp_rx_model_init(&r->rx, r->opt.rate, r->opt.buffer);
    vamp_stream_init(&r->normal, false);
    r->restart_mode = -1;
    r->rep.result = "none";
    r->rep.rate = r->opt.rate;
    r->rep.buffer = r->opt.buffer;
    std::memcpy(r->rep.version_before, r->amp.version, 5);
    std::memcpy(r->rep.version_after, r->amp.version, 5);
    if (r->opt.usb_gadget[0]) {
        char path[256];
        std::snprintf(path, sizeof path, "%s/UDC", r->opt.usb_gadget);
        FILE* f = std::fopen(path, "r");
        if (!f || !std::fgets(r->udc, sizeof r->udc, f) || r->udc[0] == '\n') {
            say("%s: the gadget is not bound to a USB controller", r->opt.usb_gadget);
            if (f) std::fclose(f);
            return 1;
        }
        std::fclose(f);
        r->udc[std::strcspn(r->udc, "\n")] = '\0';
    }
    if (!open_link(r)) return 1;
    say("up: %s / %s, version %s", vamp_link_in_name(r->link), vamp_link_out_name(r->link), r->amp.version);
    write_report(r, "normal");

    int status = 0;
    while (!g_stop) {
        if (vamp_link_server_gone(r->link)) {
            say("the JACK server went away");
            status = 1;
            break;
        }
        drain(r);
        if (r->restart_mode >= 0) {
            if (!do_restart(r)) status = g_stop ? 0 : 1;
            if (!r->link) break;
            continue;
        }
        uint64_t now = vamp_link_now_us(r->link);
        if (r->update_mode && r->upd.bytes > 0 && now > r->upd.last_us &&
            now - r->upd.last_us >= uint64_t(r->opt.quiet_ms) * 1000) {
            if (!finish_update(r)) status = g_stop ? 0 : 1;
            if (!r->link) break;
            continue;
        }
        if (r->opt.send_cc && !r->update_mode && now >= r->next_burst_us) {
            send_burst(r);
            r->next_burst_us = now + 2000000;
        }
        sleep_ms(2);
    }

    // An update cut short by the stop is reported as far as it came.
    if (r->update_mode && r->upd.bytes > 0 && r->link) {
        release_held(r, r->upd.last_us);
        vamp_update_finish(&r->upd);
        std::memcpy(r->rep.version_before, r->amp.version, 5);
        std::memcpy(r->rep.version_after, r->amp.version, 5);
        report_update(r, "interrupted");
    }
    write_report(r, r->update_mode ? "update" : "normal");
    if (r->link) {
        r->lost_before += vamp_link_lost(r->link);
        vamp_link_close(r->link);
        r->link = nullptr;
    }
    vamp_update_free(&r->upd);
    say("stopped");
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    static Run r;
    char err[300];
    if (!vamp_parse_options(&r.opt, argc, argv, err, sizeof err)) {
        say("%s", err);
        return 2;
    }
    if (r.opt.help) {
        std::fputs(vamp_help_text(), stdout);
        return 0;
    }
    if (r.opt.show_version) {
        std::puts("virtual-amp 1.00");
        return 0;
    }
    if (r.opt.demo_path) {
        if (!vamp_amp_write_demo(r.opt.demo_path, r.opt.demo_bytes, err, sizeof err)) {
            say("%s", err);
            return 1;
        }
        return 0;
    }
    if (r.opt.list_outputs) return vamp_list_outputs() ? 0 : 1;

    sigemptyset(&g_stop_signals);
    sigaddset(&g_stop_signals, SIGINT);
    sigaddset(&g_stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &g_stop_signals, nullptr);
    return run(&r);
}
