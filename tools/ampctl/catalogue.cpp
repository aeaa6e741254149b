#include "tools/ampctl/ampctl.h"

#include <cerrno>
#include <cstdlib>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace {

AmpMessage* b_identity(const AmpctlArgs*, int* e) { return amp_request_identity(e); }
AmpMessage* b_cmd1(const AmpctlArgs*, int* e) { return amp_request_cmd1(e); }
AmpMessage* b_cmd2(const AmpctlArgs* a, int* e) { return amp_request_cmd2(a->v[0], a->v[1], e); }
AmpMessage* b_cmd3(const AmpctlArgs*, int* e) { return amp_request_cmd3(e); }
AmpMessage* b_cmd4(const AmpctlArgs* a, int* e) { return amp_request_cmd4(a->v[0], e); }
AmpMessage* b_cmd5(const AmpctlArgs*, int* e) { return amp_request_cmd5(e); }
AmpMessage* b_cmd7(const AmpctlArgs* a, int* e) { return amp_request_cmd7(a->v[0], a->v[1], e); }
AmpMessage* b_cmd8(const AmpctlArgs* a, int* e) { return amp_request_cmd8(a->v[0], a->v[1], a->v[2], e); }
AmpMessage* b_read_block(const AmpctlArgs* a, int* e) {
    return amp_request_read_block(a->v[0], a->v[1], a->v[2], e);
}
AmpMessage* b_cmd10(const AmpctlArgs* a, int* e) { return amp_request_cmd10(a->v[0], a->v[1], e); }
AmpMessage* b_store_block(const AmpctlArgs* a, int* e) {
    return amp_request_store_block(a->v[0], a->v[1], a->block, e);
}
AmpMessage* b_restart(const AmpctlArgs* a, int* e) { return amp_request_restart(a->v[0], e); }
AmpMessage* b_restart_mode0(const AmpctlArgs*, int* e) { return amp_request_restart_mode0(e); }
AmpMessage* b_restart_update(const AmpctlArgs*, int* e) { return amp_request_restart_update(e); }
AmpMessage* b_restart_mode8(const AmpctlArgs*, int* e) { return amp_request_restart_mode8(e); }
AmpMessage* b_set_name(const AmpctlArgs* a, int* e) { return amp_request_set_name(a->v[0], a->text, e); }
AmpMessage* b_set_part_name(const AmpctlArgs* a, int* e) {
    return amp_request_set_part_name(a->v[0], a->v[1], a->text, e);
}
AmpMessage* b_blank_name(const AmpctlArgs* a, int* e) { return amp_request_blank_name(a->v[0], e); }
AmpMessage* b_blank_part_name(const AmpctlArgs* a, int* e) {
    return amp_request_blank_part_name(a->v[0], a->v[1], e);
}
AmpMessage* b_store_empty_block(const AmpctlArgs* a, int* e) {
    return amp_request_store_empty_block(a->v[0], a->v[1], e);
}
AmpMessage* b_cmd24(const AmpctlArgs*, int* e) { return amp_request_cmd24(e); }
AmpMessage* b_cmd25(const AmpctlArgs*, int* e) { return amp_request_cmd25(e); }
AmpMessage* b_cmd26(const AmpctlArgs*, int* e) { return amp_request_cmd26(e); }
AmpMessage* b_cmd27(const AmpctlArgs* a, int* e) { return amp_request_cmd27(a->v[0], a->v[1], a->v[2], e); }
AmpMessage* b_cmd27_00(const AmpctlArgs*, int* e) { return amp_request_cmd27_00(e); }
AmpMessage* b_cmd27_01(const AmpctlArgs*, int* e) { return amp_request_cmd27_01(e); }
AmpMessage* b_cmd27_10(const AmpctlArgs*, int* e) { return amp_request_cmd27_10(e); }
AmpMessage* b_cmd27_11(const AmpctlArgs*, int* e) { return amp_request_cmd27_11(e); }
AmpMessage* b_cmd27_number(const AmpctlArgs* a, int* e) { return amp_request_cmd27_number(a->v[0], e); }
AmpMessage* b_cmd27_part(const AmpctlArgs* a, int* e) { return amp_request_cmd27_part(a->v[0], e); }
AmpMessage* b_cmd28(const AmpctlArgs* a, int* e) { return amp_request_cmd28(a->v[0], e); }
AmpMessage* b_read_word_table(const AmpctlArgs*, int* e) { return amp_request_read_word_table(e); }
AmpMessage* b_write_word_table(const AmpctlArgs* a, int* e) { return amp_request_write_word_table(&a->table, e); }
AmpMessage* b_cmd115(const AmpctlArgs*, int* e) { return amp_request_cmd115(e); }
AmpMessage* b_read_words(const AmpctlArgs* a, int* e) {
    return amp_request_read_words(a->v[0], a->v[1], a->v[2], e);
}
AmpMessage* b_cmd119(const AmpctlArgs* a, int* e) { return amp_request_cmd119(a->v[0], e); }

// Every request of the library, by the builder's name without its prefix.
const AmpctlRequest kRequests[] = {
    {"identity", ARGS_NUMBERS, 0, 0, "", "Universal Identity Request; the amp's release and version", b_identity},
    {"cmd1", ARGS_NUMBERS, 0, 0, "", "command 1; a one-data-byte reply", b_cmd1},
    {"cmd2", ARGS_NUMBERS, 1, 2, "NUMBER [EXTRA]", "command 2; reply 18", b_cmd2},
    {"cmd3", ARGS_NUMBERS, 0, 0, "", "command 3", b_cmd3},
    {"cmd4", ARGS_NUMBERS, 1, 1, "VALUE", "command 4 (VALUE 0..127); reply 19", b_cmd4},
    {"cmd5", ARGS_NUMBERS, 0, 0, "", "command 5; reply 20", b_cmd5},
    {"cmd7", ARGS_NUMBERS, 2, 2, "FIRST SECOND", "command 7 (FIRST 0..4, SECOND 0..127); reply 22", b_cmd7},
    {"cmd8", ARGS_NUMBERS, 2, 3, "NUMBER PART [EXTRA]", "command 8; reply 23", b_cmd8},
    {"read_block", ARGS_NUMBERS, 2, 3, "NUMBER PART [EXTRA]", "read a preset block; reply 11", b_read_block},
    {"cmd10", ARGS_NUMBERS, 2, 2, "NUMBER PART", "command 10; a one-data-byte reply", b_cmd10},
    {"store_block", ARGS_PAIRS, 2, 2, "NUMBER PART CC=VALUE...",
     "store controller values as a preset block (none: an empty block)", b_store_block},
    {"restart", ARGS_NUMBERS, 1, 1, "MODE", "restart the amp in MODE 0..127; no reply", b_restart},
    {"restart_mode0", ARGS_NUMBERS, 0, 0, "", "restart the amp normally; no reply", b_restart_mode0},
    {"restart_update", ARGS_NUMBERS, 0, 0, "", "restart the amp in update mode; no reply", b_restart_update},
    {"restart_mode8", ARGS_NUMBERS, 0, 0, "", "restart the amp in mode 8; no reply", b_restart_mode8},
    {"set_name", ARGS_NAME, 1, 1, "NUMBER NAME", "name preset NUMBER (blank: clear the name)", b_set_name},
    {"set_part_name", ARGS_NAME, 2, 2, "NUMBER PART NAME", "name a part of preset NUMBER", b_set_part_name},
    {"blank_name", ARGS_NUMBERS, 1, 1, "NUMBER", "clear the name of preset NUMBER", b_blank_name},
    {"blank_part_name", ARGS_NUMBERS, 2, 2, "NUMBER PART", "clear the name of a part", b_blank_part_name},
    {"store_empty_block", ARGS_NUMBERS, 2, 2, "NUMBER PART", "store an empty preset block", b_store_empty_block},
    {"cmd24", ARGS_NUMBERS, 0, 0, "", "command 24; a one-data-byte reply", b_cmd24},
    {"cmd25", ARGS_NUMBERS, 0, 0, "", "command 25", b_cmd25},
    {"cmd26", ARGS_NUMBERS, 0, 0, "", "command 26; a one-data-byte reply", b_cmd26},
    {"cmd27", ARGS_NUMBERS, 0, 3, "[KIND [OP [VALUE]]]", "command 27 (absent bytes are not sent)", b_cmd27},
    {"cmd27_00", ARGS_NUMBERS, 0, 0, "", "command 27 with 0 0 0", b_cmd27_00},
    {"cmd27_01", ARGS_NUMBERS, 0, 0, "", "command 27 with 0 1 0", b_cmd27_01},
    {"cmd27_10", ARGS_NUMBERS, 0, 0, "", "command 27 with 1 0 0", b_cmd27_10},
    {"cmd27_11", ARGS_NUMBERS, 0, 0, "", "command 27 with 1 1 0", b_cmd27_11},
    {"cmd27_number", ARGS_NUMBERS, 1, 1, "NUMBER", "command 27 with 0 2 NUMBER", b_cmd27_number},
    {"cmd27_part", ARGS_NUMBERS, 1, 1, "PART", "command 27 with 1 2 PART", b_cmd27_part},
    {"cmd28", ARGS_NUMBERS, 1, 1, "ON", "command 28 (ON 0 or 1)", b_cmd28},
    {"read_word_table", ARGS_NUMBERS, 0, 0, "", "read the word table; reply 34", b_read_word_table},
    {"write_word_table", ARGS_WORDS, 1, AMP_WORD_TABLE_MAX, "WORD...", "write the word table (1..217 words)",
     b_write_word_table},
    {"cmd115", ARGS_NUMBERS, 0, 0, "", "command 115; reply 115", b_cmd115},
    {"read_words", ARGS_NUMBERS, 3, 3, "AREA COUNT ADDRESS", "read COUNT words at ADDRESS of AREA 1..2; reply 118",
     b_read_words},
    {"cmd119", ARGS_NUMBERS, 1, 1, "AREA", "command 119 (AREA 1..2)", b_cmd119},
};

// Indexed by AmpError code; kept in step with ampmsg/message.h by a test.
const char* const kRefusals[] = {
    "accepted",
    "a NUMBER must be 0..125 (an AREA 1..2)",
    "VALUE must be 0..127",
    "the word count must be 1..217",
    "SECOND must be 0..127",
    "FIRST must be 0..4",
    "a name may hold only characters 20..7E (printable ASCII)",
    "the reply length must be positive",
    "not a message of the library",
    "code 9 is not used",
    "PART must be 0..3",
    "COUNT must be 1..128 and stay inside the address space",
    "ADDRESS must be below 1048576",
    "a name must be 1..16 characters",
    "not enough memory",
    "an argument is missing",
    "the reply is unknown or malformed",
    "every byte must be 0..127",
};

bool fail(char* why, size_t len, const char* text, const char* word = nullptr) {
    std::snprintf(why, len, word ? "%s: '%s'" : "%s", text, word);
    return false;
}

}  // namespace

const AmpctlRequest* ampctl_requests(size_t* count) {
    *count = sizeof kRequests / sizeof kRequests[0];
    return kRequests;
}

const AmpctlRequest* ampctl_find_request(const char* name) {
    if (!name) return nullptr;
    for (const AmpctlRequest& r : kRequests)
        if (std::strcmp(r.name, name) == 0) return &r;
    return nullptr;
}

const char* ampctl_refusal_text(int code) {
    if (code <= 0 || size_t(code) >= sizeof kRefusals / sizeof kRefusals[0]) return "the arguments are refused";
    return kRefusals[code];
}

bool ampctl_parse_number(const char* s, long lo, long hi, long* out) {
    if (!s || !*s) return false;
    errno = 0;
    char* end = nullptr;
    long v = std::strtol(s, &end, 0);
    if (errno || *end || v < lo || v > hi) return false;
    *out = v;
    return true;
}

bool ampctl_parse_args(const AmpctlRequest* r, int argc, char** argv, AmpctlArgs* a, char* why,
                       size_t why_len) {
    std::memset(a, 0, sizeof *a);
    for (int32_t& v : a->v) v = -1;
    std::memset(a->block, 255, sizeof a->block);
    int numbers = r->kind == ARGS_NUMBERS ? argc : r->kind == ARGS_WORDS ? 0 : std::min(argc, r->min_args);
    if (r->kind == ARGS_NUMBERS && (argc < r->min_args || argc > r->max_args))
        return fail(why, why_len, "wrong number of arguments");
    if (r->kind != ARGS_NUMBERS && argc < r->min_args) return fail(why, why_len, "missing arguments");
    // Numbers are checked by the builder, which knows each one's range; here
    // they only have to be integers that fit.
    for (int i = 0; i < numbers; i++) {
        long v;
        if (!ampctl_parse_number(argv[i], -0x7FFFFFFFL - 1, 0x7FFFFFFFL, &v))
            return fail(why, why_len, "not a number", argv[i]);
        a->v[i] = int32_t(v);
    }
    a->count = numbers;
    switch (r->kind) {
        case ARGS_NUMBERS:
            return true;
        case ARGS_NAME:
            if (argc != r->min_args + 1) return fail(why, why_len, "expected one name after the numbers");
            a->text = argv[r->min_args];
            return true;
        case ARGS_PAIRS:
            for (int i = r->min_args; i < argc; i++) {
                const char* eq = std::strchr(argv[i], '=');
                long cc, value;
                if (!eq) return fail(why, why_len, "expected CC=VALUE", argv[i]);
                std::string_view left(argv[i], size_t(eq - argv[i]));
                char buf[16];
                if (left.size() >= sizeof buf) return fail(why, why_len, "expected CC=VALUE", argv[i]);
                std::memcpy(buf, left.data(), left.size());
                buf[left.size()] = 0;
                if (!ampctl_parse_number(buf, 0, 127, &cc) || !ampctl_parse_number(eq + 1, 0, 127, &value))
                    return fail(why, why_len, "controller and value must be 0..127", argv[i]);
                a->block[cc] = uint8_t(value);
            }
            return true;
        case ARGS_WORDS:
            if (argc > AMP_WORD_TABLE_MAX) return fail(why, why_len, "at most 217 words");
            for (int i = 0; i < argc; i++) {
                long w;
                if (!ampctl_parse_number(argv[i], 0, 65535, &w))
                    return fail(why, why_len, "a word is 0..65535", argv[i]);
                a->table.words[i] = uint16_t(w);
            }
            a->table.count = argc;
            return true;
    }
    return false;
}
