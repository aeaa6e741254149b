// What the amp itself says: its identity, asked through the output port and
// heard on the MIDI input that belongs to it, so the wizard can tell whether
// an update took instead of assuming it did.
//
// The input is opened with the output and closed with it. Each ask sends the
// identity request and waits at most ANSWER_WAIT_TICKS ticks for a reply that
// decodes; everything happens on ticks, nothing blocks. Runs on the GUI thread.
#ifndef ZP_UPDATE_AMP_ANSWER_H
#define ZP_UPDATE_AMP_ANSWER_H

#include <cstddef>
#include <cstdint>

// How long an identity reply is awaited: 2 s in ticks of 100 ms.
constexpr int ANSWER_WAIT_TICKS = 20;

enum AmpAnswerState {
    ANSWER_NOT_ASKED = 0,
    ANSWER_NO_INPUT = 1,  // no input device belongs to the output, or it would not open
    ANSWER_WAITING = 2,
    ANSWER_GOT = 3,       // answer_version() holds what the amp reported
    ANSWER_SILENT = 4,    // no reply that decodes came in time (or the request was not taken)
};

// Opens the input that belongs to output `out_name` (closing any open one):
// the midi library's partner rule, else the last input whose name holds one
// of the amp's name patterns. True when one is open.
bool answer_open_input(const char* out_name);

// Makes answer_open_input open the input named `name` whatever the output
// (null: back to the rule above). For a user who names the input himself.
void answer_prefer_input(const char* name);

// Closes the input, if one is open.
void answer_close_input();

// Empties the input and sends the identity request with `send` (which must
// take all of it or none); the answer then comes on later ticks.
void answer_ask(bool (*send)(const uint8_t* bytes, int length));

// One tick: reads what the input holds and ends the wait on a reply or when
// its time is up.
void answer_tick();

int answer_state();
// The version the latest answer reported ("1.01"); empty unless ANSWER_GOT.
const char* answer_version();

// The version before the update: the latest one the amp reported when the
// transfer starts, or the answer still awaited then once it comes. Empty when
// the amp has not answered.
void answer_remember_before();

// What the amp's answer says of the update, kept apart from how it is told.
enum UpdateVerdictKind {
    VERDICT_PENDING = 0,   // nothing asked yet, or the answer is still awaited
    VERDICT_TOOK = 1,      // the amp reports a version other than before
    VERDICT_SAME = 2,      // the amp still reports the version it had
    VERDICT_SILENT = 3,    // no reply that decodes came in time
    VERDICT_NO_INPUT = 4,  // no MIDI input from the amp was found
    VERDICT_KIND_COUNT = 5,
};

struct UpdateVerdict {
    int kind;          // UpdateVerdictKind
    char now[8];       // the version reported now; empty unless TOOK or SAME
    char before[8];    // the version before the update; empty when unknown
};

// The verdict from the version before and the latest answer.
UpdateVerdict answer_verdict();

// The Done line that tells a verdict ("The amp now reports version 1.01 (was
// 1.00).") into `text` (`size` bytes); returns `text`. Empty for
// VERDICT_PENDING and for kinds past the table.
const char* update_verdict_line(const UpdateVerdict& v, char* text, size_t size);

// The Done line of answer_verdict(), kept until the next call; empty while
// the answer is still awaited.
const char* answer_result_line();

// Back to nothing asked and nothing remembered, the input closed.
void answer_reset();

#endif
