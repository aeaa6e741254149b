// The receive model, the byte-stream framing and the update accounting.
#include "tools/virtual-amp/vamp.h"

#include <openssl/evp.h>

#include <cstdio>
#include <cstring>

// ---------------------------------------------------------------- receive model

void vamp_rx_model_init(VampRxModel* m, double rate, long buffer) {
    std::memset(m, 0, sizeof *m);
    m->rate = rate > 0 ? rate : 0;
    m->buffer = buffer > 0 ? double(buffer) : 0;
}

long vamp_rx_model_accept(VampRxModel* m, uint64_t t_us, long n) {
    if (n <= 0) return 0;
    if (m->rate <= 0) return n;
    // The device has drained its buffer at `rate` since the last arrival.
    if (m->started && t_us > m->last_us) {
        m->level -= m->rate * double(t_us - m->last_us) / 1e6;
        if (m->level < 0) m->level = 0;
    }
    if (!m->started || t_us > m->last_us) m->last_us = t_us;
    m->started = true;
    double room = m->buffer - m->level;
    long take = room <= 0 ? 0 : long(room);
    if (take > n) take = n;
    m->level += double(take);
    m->overruns += uint64_t(n - take);
    return take;
}

// ---------------------------------------------------------------- framing

namespace {

void put(VampStream* s, uint8_t b) {
    if (s->kept < VAMP_STREAM_KEEP) s->msg[s->kept++] = b;
    s->length++;
}

void begin(VampStream* s, uint8_t b) {
    s->kept = 0;
    s->length = 0;
    put(s, b);
}

// Data bytes that follow a channel status byte.
int channel_data_length(uint8_t status) {
    uint8_t hi = status & 0xF0;
    return (hi == 0xC0 || hi == 0xD0) ? 1 : 2;
}

// Data bytes that follow a system common status byte (F1..F7).
int common_data_length(uint8_t status) {
    if (status == 0xF1 || status == 0xF3) return 1;
    if (status == 0xF2) return 2;
    return 0;
}

void stray(VampStream* s) {
    if (!s->in_stray) s->outside_message++;
    s->in_stray = true;
}

}  // namespace

void vamp_stream_init(VampStream* s, bool strict) {
    std::memset(s, 0, sizeof *s);
    s->strict = strict;
}

int vamp_stream_feed(VampStream* s, uint8_t b) {
    if (b >= 0xF8) {  // real-time
        if (!s->strict) return VAMP_MSG_NONE;  // allowed anywhere, part of nothing
        if (s->in_sysex) {
            s->status_in_message++;
            s->in_sysex = false;
            s->in_stray = true;
        } else {
            stray(s);
        }
        return VAMP_MSG_NONE;
    }
    if (s->in_sysex) {
        if (b < 0x80) {
            put(s, b);
            return VAMP_MSG_NONE;
        }
        if (b == 0xF7) {
            put(s, b);
            s->in_sysex = false;
            return VAMP_MSG_SYSEX;
        }
        // Any other status byte breaks the message off; it is lost.
        s->status_in_message++;
        s->in_sysex = false;
        if (s->strict && b != 0xF0) {
            s->in_stray = true;  // what follows belongs to the same fault
            return VAMP_MSG_NONE;
        }
    }
    if (b == 0xF0) {
        s->in_sysex = true;
        s->in_stray = false;
        s->status = 0;
        begin(s, b);
        return VAMP_MSG_NONE;
    }
    if (s->strict) {
        stray(s);
        return VAMP_MSG_NONE;
    }
    if (b >= 0xF0) {  // system common: cancels running status
        s->status = 0;
        s->need = 0;
        s->skip = common_data_length(b);
        return VAMP_MSG_NONE;
    }
    if (b >= 0x80) {
        s->status = b;
        s->skip = 0;
        s->need = channel_data_length(b);
        begin(s, b);
        return VAMP_MSG_NONE;
    }
    // A data byte.
    if (s->skip > 0) {
        s->skip--;
        return VAMP_MSG_NONE;
    }
    if (s->status == 0) return VAMP_MSG_NONE;  // belongs to nothing
    if (s->need == 0) {                         // running status
        s->need = channel_data_length(s->status);
        begin(s, s->status);
    }
    put(s, b);
    if (--s->need == 0) return VAMP_MSG_CHANNEL;
    return VAMP_MSG_NONE;
}

void vamp_stream_close(VampStream* s) {
    if (s->in_sysex) s->unterminated++;
    s->in_sysex = false;
    s->in_stray = false;
}

uint64_t vamp_stream_errors(const VampStream* s) {
    return s->status_in_message + s->outside_message + s->unterminated;
}

// ---------------------------------------------------------------- update accounting

namespace {

// Bytes are hashed in chunks: one digest call per byte would cost more than
// the rest of the work together.
void hash_flush(VampUpdate* u) {
    if (u->sha && u->pending_fill > 0)
        EVP_DigestUpdate(static_cast<EVP_MD_CTX*>(u->sha), u->pending, size_t(u->pending_fill));
    u->pending_fill = 0;
}

}  // namespace

bool vamp_update_begin(VampUpdate* u) {
    std::memset(u, 0, sizeof *u);
    vamp_stream_init(&u->stream, true);
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    if (!ctx) return false;
    if (EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr) != 1) {
        EVP_MD_CTX_free(ctx);
        return false;
    }
    u->sha = ctx;
    return true;
}

int vamp_update_feed(VampUpdate* u, uint8_t byte, uint64_t t_us) {
    if (u->bytes == 0) u->first_us = t_us;
    u->last_us = t_us;
    u->bytes++;
    u->pending[u->pending_fill++] = byte;
    if (u->pending_fill == int(sizeof u->pending)) hash_flush(u);
    int kind = vamp_stream_feed(&u->stream, byte);
    if (kind == VAMP_MSG_SYSEX) u->messages++;
    return kind;
}

// Ends a digest and writes it as hex; false when it could not be had.
static bool digest_hex(EVP_MD_CTX* ctx, char* out) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    if (EVP_DigestFinal_ex(ctx, md, &n) != 1 || n != 32) return false;
    static const char hex[] = "0123456789abcdef";
    for (unsigned i = 0; i < n; i++) {
        out[2 * i] = hex[md[i] >> 4];
        out[2 * i + 1] = hex[md[i] & 15];
    }
    out[64] = 0;
    return true;
}

void vamp_update_finish(VampUpdate* u) {
    vamp_stream_close(&u->stream);
    if (!u->sha) return;
    hash_flush(u);
    EVP_MD_CTX* ctx = static_cast<EVP_MD_CTX*>(u->sha);
    digest_hex(ctx, u->sha256);
    EVP_MD_CTX_free(ctx);
    u->sha = nullptr;
}

bool vamp_file_sha256(const char* path, char* hex) {
    FILE* f = path ? std::fopen(path, "rb") : nullptr;
    if (!f) return false;
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    bool ok = ctx && EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr) == 1;
    static unsigned char buf[1 << 16];
    size_t n;
    while (ok && (n = std::fread(buf, 1, sizeof buf, f)) > 0) ok = EVP_DigestUpdate(ctx, buf, n) == 1;
    ok = ok && !std::ferror(f) && digest_hex(ctx, hex);
    if (ctx) EVP_MD_CTX_free(ctx);
    std::fclose(f);
    return ok;
}

void vamp_update_free(VampUpdate* u) {
    if (u->sha) EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(u->sha));
    u->sha = nullptr;
    u->pending_fill = 0;
}
