#include "update/amp_answer.h"

#include "ampmsg/message.h"
#include "ampmsg/responses.h"
#include "midi/midi_in.h"
#include "midi/midi_split.h"
#include "midi/platform.h"
#include "update/amp_choice.h"
#include "update/safe_text.h"

#include <cstdio>
#include <cstring>

namespace {

MidiInPort* amp_in = nullptr;
int state = ANSWER_NOT_ASKED;
int ticks_left = 0;
char version[8];
char last_known[8];       // the latest version any answer reported
char version_before[8];
bool before_pending;      // the answer awaited when the transfer began is the one before
char line[400];

// What the input has delivered so far, cut into messages.
MidiSplitter received;

// True when the complete message decodes as the identity reply; its version
// is kept. A reply that does not decode is not an answer.
bool take_message(const uint8_t* m, int length) {
    int err = 0;
    AmpResponse* r = amp_response_decode(m, length, &err);
    if (r == nullptr) return false;
    bool got = false;
    if (r->type == AMP_RSP_IDENTITY) {
        const IdentityReply* id = static_cast<const IdentityReply*>(amp_response_payload(r, nullptr));
        if (id != nullptr) {
            std::snprintf(version, sizeof version, "%.4s", id->version);
            got = version[0] != '\0';
        }
    }
    amp_record_free(r, nullptr);
    return got;
}

// Feeds one received byte; true when it completed the identity reply.
bool feed(uint8_t b) {
    const uint8_t* m = nullptr;
    uint32_t length = 0;
    return splitter_feed(&received, b, &m, &length) && m[0] == 0xF0 && take_message(m, int(length));
}

// Discards what the input holds (a bounded number of reads: a device that
// never stops sending is not waited for).
void drain_input() {
    for (int i = 0; amp_in != nullptr && i < 64; i++)
        if (midi_in_read(amp_in, MIDI_IN_QUEUE_SIZE, nullptr, nullptr) <= 0) break;
    splitter_init(&received);
}

}  // namespace

namespace {
char preferred[MIDI_NAME_SIZE];  // the input the user named, or empty
}  // namespace

void answer_prefer_input(const char* name) {
    preferred[0] = '\0';
    if (name && std::strlen(name) < sizeof preferred) std::memcpy(preferred, name, std::strlen(name) + 1);
}

bool answer_open_input(const char* out_name) {
    answer_close_input();
    char name[MIDI_NAME_SIZE];
    if (preferred[0] != '\0') {
        std::memcpy(name, preferred, sizeof name);
    } else if (!midi_in_find_partner(out_name, name, sizeof name) && !amp_pick_input(name, sizeof name, false)) {
        return false;
    }
    amp_in = midi_in_open_by_name(name, nullptr);
    return amp_in != nullptr;
}

void answer_close_input() {
    if (amp_in == nullptr) return;
    // A device that refuses to close leaves the port dead but kept by the
    // input library; it is forgotten here either way.
    midi_in_close(amp_in, nullptr);
    amp_in = nullptr;
}

void answer_ask(bool (*send)(const uint8_t* bytes, int length)) {
    version[0] = '\0';
    if (amp_in == nullptr) {
        state = ANSWER_NO_INPUT;
        return;
    }
    drain_input();
    if (send == nullptr || !send(AMP_IDENTITY_REQUEST, AMP_IDENTITY_REQUEST_LENGTH)) {
        state = ANSWER_SILENT;
        return;
    }
    state = ANSWER_WAITING;
    ticks_left = ANSWER_WAIT_TICKS;
}

void answer_tick() {
    if (state != ANSWER_WAITING) return;
    uint8_t buf[1024];
    for (int i = 0; i < 32 && amp_in != nullptr; i++) {
        int n = midi_in_read(amp_in, sizeof buf, buf, nullptr);
        if (n <= 0) break;  // nothing more now, or a failed read (its bytes stay for the next)
        for (int k = 0; k < n; k++) {
            if (feed(buf[k])) {
                state = ANSWER_GOT;
                std::memcpy(last_known, version, sizeof last_known);
                if (before_pending) std::memcpy(version_before, version, sizeof version_before);
                before_pending = false;
                return;
            }
        }
    }
    if (--ticks_left <= 0) {
        state = ANSWER_SILENT;
        before_pending = false;
    }
}

int answer_state() { return state; }
const char* answer_version() { return state == ANSWER_GOT ? version : ""; }

void answer_remember_before() {
    std::memcpy(version_before, last_known, sizeof version_before);
    before_pending = state == ANSWER_WAITING;
}

UpdateVerdict answer_verdict() {
    UpdateVerdict v = {VERDICT_PENDING, "", ""};
    std::memcpy(v.before, version_before, sizeof v.before);
    switch (state) {
        case ANSWER_NO_INPUT: v.kind = VERDICT_NO_INPUT; break;
        case ANSWER_SILENT: v.kind = VERDICT_SILENT; break;
        case ANSWER_GOT:
            std::memcpy(v.now, version, sizeof v.now);
            v.kind = std::strcmp(version, version_before) == 0 ? VERDICT_SAME : VERDICT_TOOK;
            break;
        default: break;
    }
    return v;
}

namespace {

// Indexed by UpdateVerdictKind: the Done line, with the versions (now, then
// before) where the line has them, and the next step where there is one. The
// program cannot know which version a file holds, so an unchanged version
// is said as such, never called a failure: re-sending the same version to
// repair an amp is an update like any other.
const char* const VERDICT_LINES[VERDICT_KIND_COUNT] = {
    "",
    "The amp now reports version %s (was %s).",
    "The amp reports version %s, the same as before. If the update file holds another version, the "
    "update did not take: restart the amp in update mode and send the update again.",
    "The amp did not answer: the result is unknown. Wait until the amp has started, then check the "
    "version it shows.",
    "No MIDI input from the amp was found: the result is unknown. Check the version the amp shows.",
};

}  // namespace

const char* update_verdict_line(const UpdateVerdict& v, char* text, size_t size) {
    if (!text || size == 0) return text;
    text[0] = '\0';
    if (v.kind < 0 || v.kind >= VERDICT_KIND_COUNT) return text;
    // The versions come from the amp: shown, never obeyed.
    char now[48], before[48];
    safe_bytes(v.now, strnlen(v.now, sizeof v.now), now, sizeof now);
    safe_bytes(v.before, strnlen(v.before, sizeof v.before), before, sizeof before);
    std::snprintf(text, size, VERDICT_LINES[v.kind], now, v.before[0] ? before : "unknown");
    return text;
}

const char* answer_result_line() { return update_verdict_line(answer_verdict(), line, sizeof line); }

void answer_reset() {
    answer_close_input();
    state = ANSWER_NOT_ASKED;
    ticks_left = 0;
    version[0] = version_before[0] = last_known[0] = '\0';
    before_pending = false;
}
