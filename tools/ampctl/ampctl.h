// ampctl: a command-line companion that talks to the amp through the MIDI
// ports and the amp message library. The pieces that do not need a device
// (the request catalogue, printing decoded replies) are plain functions here
// so tests can drive them; received bytes are cut into messages by
// midi/midi_split.h, which the wizard uses too.
#ifndef ZP_TOOLS_AMPCTL_AMPCTL_H
#define ZP_TOOLS_AMPCTL_AMPCTL_H

#include "ampmsg/message.h"
#include "ampmsg/requests.h"
#include "midi/midi_split.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>

// ---------------------------------------------------------------- catalogue

// Arguments of one request, as parsed from the command line.
struct AmpctlArgs {
    int32_t v[4];           // numeric arguments in order; absent ones are -1
    int count;              // numeric arguments given
    const char* text;       // a name argument
    uint8_t block[128];     // controller values (255: none) for store_block
    WordTable table;        // words for write_word_table
};

// How an entry's arguments are written on the command line.
enum AmpctlArgKind {
    ARGS_NUMBERS,  // min..max integers
    ARGS_NAME,     // min integers, then one name
    ARGS_PAIRS,    // two integers, then CC=VALUE pairs
    ARGS_WORDS,    // 1..217 words
};

struct AmpctlRequest {
    const char* name;
    AmpctlArgKind kind;
    int min_args;
    int max_args;
    const char* usage;  // the arguments as --help shows them
    const char* what;   // one line for --help
    AmpMessage* (*build)(const AmpctlArgs* a, int* err);
};

// The catalogue, in --help order, and its length.
const AmpctlRequest* ampctl_requests(size_t* count);

// The entry named `name`, or null.
const AmpctlRequest* ampctl_find_request(const char* name);

// Parses the words after a request's name into `a`. False with a one-line
// reason in `why` when they do not fit the entry.
bool ampctl_parse_args(const AmpctlRequest* r, int argc, char** argv, AmpctlArgs* a, char* why,
                       size_t why_len);

// What a builder's refusal code means for the user, with the valid range
// ("a NUMBER must be 0..125"); a generic text for codes past the table.
const char* ampctl_refusal_text(int code);

// Parses a whole decimal or 0x-hexadecimal number in lo..hi.
bool ampctl_parse_number(const char* s, long lo, long hi, long* out);

// ---------------------------------------------------------------- replies

// Whether `reply` (one whole message of `length` bytes) is the reply that
// answers `request`: the identity reply for the identity request; otherwise
// an amp message of the request's reply length whose command byte is the
// one that answers it. A word table's reply is as long as its count says and
// a preset block's holds whole pairs in controller order, since both vary
// with their content. False with a plain reason in `why`.
bool ampctl_reply_fits(const AmpMessage* request, const uint8_t* reply, size_t length, char* why, size_t why_len);

// True when the library has no decoder for the reply to `request` (requests
// 3 and 25): its bytes are shown as they are.
bool ampctl_reply_is_raw(const AmpMessage* request);

// ---------------------------------------------------------------- printing

// Prints a decoded record field by field ("name: value" lines), or as one
// JSON object on one line.
void ampctl_print_response(FILE* f, const AmpResponse* r, bool json);

// Prints every parameter of a preset block by the name of its getter.
void ampctl_print_block(FILE* f, const uint8_t* block, bool json);

// Prints bytes as hexadecimal pairs separated by blanks.
void ampctl_print_hex(FILE* f, const uint8_t* bytes, size_t n);

// The name of a response type code ("identity", "cmd11", ...); "?" if unknown.
const char* ampctl_type_name(int32_t type);

#endif
