#include "tools/ampctl/ampctl.h"

#include "ampmsg/preset.h"
#include "ampmsg/responses.h"

#include <cstring>

namespace {

// Writes one record as "name: value" lines or as one JSON object.
struct Emit {
    FILE* f;
    bool json;
    int fields;
};

void key(Emit* e, const char* name) {
    if (e->json)
        std::fprintf(e->f, "%s\"%s\":", e->fields++ ? "," : "{", name);
    else
        std::fprintf(e->f, "%s: ", name);
}

void emit_int(Emit* e, const char* name, long v) {
    key(e, name);
    std::fprintf(e->f, e->json ? "%ld" : "%ld\n", v);
}

// Text as received: JSON escapes quotes, backslashes and every byte outside
// 20..7E; plain output shows those bytes as \xNN inside quotes.
void emit_text(Emit* e, const char* name, const char* s) {
    key(e, name);
    std::fputc('"', e->f);
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(s); *p; p++) {
        if (*p == '"' || *p == '\\')
            std::fprintf(e->f, "\\%c", *p);
        else if (*p < 0x20 || *p > 0x7E)
            std::fprintf(e->f, e->json ? "\\u%04x" : "\\x%02X", *p);
        else
            std::fputc(*p, e->f);
    }
    std::fputs(e->json ? "\"" : "\"\n", e->f);
}

void emit_ints(Emit* e, const char* name, const long* v, size_t n) {
    key(e, name);
    std::fputs(e->json ? "[" : "", e->f);
    for (size_t i = 0; i < n; i++) std::fprintf(e->f, e->json ? "%s%ld" : "%s%ld", i ? (e->json ? "," : " ") : "", v[i]);
    std::fputs(e->json ? "]" : "\n", e->f);
}

void begin(Emit* e, FILE* f, bool json) {
    e->f = f;
    e->json = json;
    e->fields = 0;
}

void end(Emit* e) {
    if (e->json) std::fputs(e->fields ? "}\n" : "{}\n", e->f);
}

// Names of the response types, indexed by type code.
const char* const kTypeName[] = {
    "?",     "cmd20",  "cmd18", "cmd118", "controller", "cmd19", "word_table",
    "cmd0",  "cmd22",  "cmd23", "cmd11",  "cmd19",      "cmd115", "identity",
};

struct Getter {
    const char* name;
    int32_t (*get)(const uint8_t* block);
};

// Every single-value getter of the preset block, in the header's order.
const Getter kGetters[] = {
    {"preset_get_cc2", preset_get_cc2},   {"preset_get_cc3", preset_get_cc3},
    {"preset_get_cc13", preset_get_cc13}, {"preset_get_cc40", preset_get_cc40},
    {"preset_get_cc4", preset_get_cc4},   {"preset_get_cc5", preset_get_cc5},
    {"preset_get_cc6", preset_get_cc6},   {"preset_get_cc7", preset_get_cc7},
    {"preset_get_cc9", preset_get_cc9},   {"preset_get_cc12", preset_get_cc12},
    {"preset_get_cc16", preset_get_cc16}, {"preset_get_cc17", preset_get_cc17},
    {"preset_get_cc20", preset_get_cc20}, {"preset_get_cc21", preset_get_cc21},
    {"preset_get_cc25", preset_get_cc25}, {"preset_get_cc29", preset_get_cc29},
    {"preset_get_cc30", preset_get_cc30}, {"preset_get_cc32", preset_get_cc32},
    {"preset_get_cc86", preset_get_cc86}, {"preset_get_cc92", preset_get_cc92},
    {"preset_get_cc93", preset_get_cc93}, {"preset_get_cc94", preset_get_cc94},
    {"preset_get_cc95", preset_get_cc95}, {"preset_get_cc10", preset_get_cc10},
    {"preset_get_cc15", preset_get_cc15}, {"preset_get_cc18", preset_get_cc18},
    {"preset_get_cc19", preset_get_cc19}, {"preset_get_cc22", preset_get_cc22},
    {"preset_get_cc26", preset_get_cc26}, {"preset_get_cc33", preset_get_cc33},
    {"preset_get_cc90", preset_get_cc90}, {"preset_get_cc88_89", preset_get_cc88_89},
    {"preset_get_cc91", preset_get_cc91},
};

void emit_block(Emit* e, const uint8_t* block) {
    for (const Getter& g : kGetters) emit_int(e, g.name, g.get(block));
    long row[5];
    for (int i = 0; i < 5; i++) row[i] = preset_get_row(block, i);
    emit_ints(e, "preset_get_row", row, 5);
    char name[48];
    for (int s = 0; s < 4; s++) {
        std::snprintf(name, sizeof name, "preset_get_slot_switch(%d)", s);
        emit_int(e, name, preset_get_slot_switch(block, s));
        std::snprintf(name, sizeof name, "preset_get_slot_value(%d)", s);
        emit_int(e, name, preset_get_slot_value(block, s));
        long params[5];
        for (int j = 0; j < 5; j++) params[j] = preset_get_slot_param(block, s, j);
        std::snprintf(name, sizeof name, "preset_get_slot_param(%d)", s);
        emit_ints(e, name, params, 5);
        std::snprintf(name, sizeof name, "preset_get_slot_kind(%d)", s);
        emit_int(e, name, preset_get_slot_kind(block, s));
    }
    // And the raw values the block holds, as controller, value pairs.
    long pairs[256];
    size_t n = 0;
    for (int cc = 0; cc < 128; cc++) {
        if (block[cc] > 127) continue;
        pairs[n++] = cc;
        pairs[n++] = block[cc];
    }
    emit_ints(e, "values", pairs, n);
}

}  // namespace

const char* ampctl_type_name(int32_t type) {
    if (type < 1 || size_t(type) >= sizeof kTypeName / sizeof kTypeName[0]) return "?";
    return kTypeName[type];
}

void ampctl_print_hex(FILE* f, const uint8_t* bytes, size_t n) {
    for (size_t i = 0; i < n; i++) std::fprintf(f, i ? " %02X" : "%02X", bytes[i]);
}

void ampctl_print_block(FILE* f, const uint8_t* block, bool json) {
    Emit e;
    begin(&e, f, json);
    emit_block(&e, block);
    end(&e);
}

void ampctl_print_response(FILE* f, const AmpResponse* r, bool json) {
    Emit e;
    begin(&e, f, json);
    int32_t type = amp_response_type(r, nullptr);
    const void* pl = amp_response_payload(r, nullptr);
    key(&e, "type");
    std::fprintf(f, json ? "\"%s\"" : "%s\n", ampctl_type_name(type));
    emit_int(&e, "type_code", type);
    char name[32];
    switch (type) {
        case AMP_RSP_CMD0:
            emit_int(&e, "status", static_cast<const Cmd0Reply*>(pl)->status);
            break;
        case AMP_RSP_CMD115:
            emit_int(&e, "state", static_cast<const Cmd115Reply*>(pl)->state);
            break;
        case AMP_RSP_CONTROLLER: {
            const ControllerChangeReply* c = static_cast<const ControllerChangeReply*>(pl);
            emit_int(&e, "controller", c->controller);
            emit_int(&e, "value", c->value);
            break;
        }
        case AMP_RSP_IDENTITY: {
            const IdentityReply* c = static_cast<const IdentityReply*>(pl);
            emit_int(&e, "release", c->release);
            emit_text(&e, "version", c->version);
            break;
        }
        case AMP_RSP_CMD11: {
            const Cmd11Reply* c = static_cast<const Cmd11Reply*>(pl);
            emit_int(&e, "byte7", c->byte7);
            emit_int(&e, "byte8", c->byte8);
            emit_int(&e, "byte9", c->byte9);
            emit_block(&e, c->block);
            break;
        }
        case AMP_RSP_CMD18: {
            const Cmd18Reply* c = static_cast<const Cmd18Reply*>(pl);
            emit_int(&e, "byte7", c->byte7);
            emit_int(&e, "byte8", c->byte8);
            emit_text(&e, "text", c->text);
            break;
        }
        case AMP_RSP_CMD19_ZERO:
        case AMP_RSP_CMD19_NONZERO: {
            const Cmd19Reply* c = static_cast<const Cmd19Reply*>(pl);
            emit_int(&e, "byte7", c->byte7);
            emit_int(&e, "byte8", c->byte8);
            break;
        }
        case AMP_RSP_CMD20: {
            const Cmd20Reply* c = static_cast<const Cmd20Reply*>(pl);
            emit_int(&e, "byte8_low", c->byte8_low);
            emit_int(&e, "byte7_bit0", c->byte7_bit0);
            emit_int(&e, "byte8_kind", c->byte8_kind);
            emit_int(&e, "byte9_bit0", c->byte9_bit0);
            emit_int(&e, "byte10", c->byte10);
            emit_int(&e, "byte47_kind", c->byte47_kind);
            emit_int(&e, "byte47_bit4", c->byte47_bit4);
            emit_int(&e, "byte7_bit1", c->byte7_bit1);
            emit_int(&e, "byte47_bit5", c->byte47_bit5);
            emit_int(&e, "byte9_bit1", c->byte9_bit1);
            emit_int(&e, "byte7_bit2", c->byte7_bit2);
            emit_int(&e, "byte47_bit6", c->byte47_bit6);
            long opt[5];
            for (int i = 0; i < 5; i++) opt[i] = c->optional[i];
            emit_ints(&e, "optional", opt, 5);
            for (int g = 0; g < 4; g++) {
                std::snprintf(name, sizeof name, "groups[%d].high", g);
                emit_int(&e, name, c->groups[g].high);
                std::snprintf(name, sizeof name, "groups[%d].low", g);
                emit_int(&e, name, c->groups[g].low);
                std::snprintf(name, sizeof name, "groups[%d].name", g);
                emit_text(&e, name, c->groups[g].name);
            }
            emit_text(&e, "text1", c->text1);
            emit_text(&e, "text2", c->text2);
            break;
        }
        case AMP_RSP_CMD22: {
            const Cmd22Reply* c = static_cast<const Cmd22Reply*>(pl);
            emit_int(&e, "byte7", c->byte7);
            emit_int(&e, "byte8", c->byte8);
            emit_text(&e, "text4", c->text4);
            emit_text(&e, "text8", c->text8);
            for (int j = 0; j < 6; j++) {
                std::snprintf(name, sizeof name, "texts[%d]", j);
                emit_text(&e, name, c->texts[j]);
            }
            break;
        }
        case AMP_RSP_CMD23: {
            const Cmd23Reply* c = static_cast<const Cmd23Reply*>(pl);
            emit_int(&e, "byte7", c->byte7);
            emit_int(&e, "byte8", c->byte8);
            emit_int(&e, "byte9", c->byte9);
            emit_text(&e, "text", c->text);
            break;
        }
        case AMP_RSP_WORD_TABLE: {
            const WordTable* c = static_cast<const WordTable*>(pl);
            emit_int(&e, "count", c->count);
            long w[AMP_WORD_TABLE_MAX];
            int n = c->count < 0 ? 0 : c->count > AMP_WORD_TABLE_MAX ? AMP_WORD_TABLE_MAX : c->count;
            for (int i = 0; i < n; i++) w[i] = c->words[i];
            emit_ints(&e, "words", w, size_t(n));
            break;
        }
        case AMP_RSP_CMD118: {
            const Cmd118Reply* c = static_cast<const Cmd118Reply*>(pl);
            emit_int(&e, "count", c->count);
            long v[128];
            int n = c->count < 0 ? 0 : c->count > 128 ? 128 : c->count;
            for (int i = 0; i < n; i++) v[i] = c->values[i];
            emit_ints(&e, "values", v, size_t(n));
            break;
        }
        default:
            break;
    }
    end(&e);
}
