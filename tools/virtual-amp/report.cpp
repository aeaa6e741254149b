// The JSON report of the virtual amp.
#include "tools/virtual-amp/vamp.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <unistd.h>

namespace {

struct Out {
    char* dst;
    size_t cap;
    size_t len;
    bool overflow;
};

void add(Out* o, const char* fmt, ...) {
    if (o->overflow) return;
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(o->dst + o->len, o->cap - o->len, fmt, ap);
    va_end(ap);
    if (n < 0 || size_t(n) >= o->cap - o->len) {
        o->overflow = true;
        return;
    }
    o->len += size_t(n);
}

// A wall-clock time as an ISO 8601 UTC string with milliseconds, or null.
void add_time(Out* o, const char* key, double s, bool last) {
    const char* sep = last ? "" : ",";
    if (s <= 0) {
        add(o, "  \"%s\": null%s\n", key, sep);
        return;
    }
    time_t whole = time_t(s);
    int ms = int((s - double(whole)) * 1000.0);
    if (ms > 999) ms = 999;
    struct tm tm;
    gmtime_r(&whole, &tm);
    char buf[40];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
    add(o, "  \"%s\": \"%s.%03dZ\"%s\n", key, buf, ms, sep);
}

// Revision characters are printable ASCII; quote and backslash get escaped.
void add_text(Out* o, const char* key, const char* text) {
    add(o, "  \"%s\": \"", key);
    for (const char* p = text; *p; p++) {
        if (*p == '"' || *p == '\\')
            add(o, "\\%c", *p);
        else
            add(o, "%c", *p);
    }
    add(o, "\",\n");
}

}  // namespace

long vamp_report_format(const VampReport* r, char* dst, size_t cap) {
    if (!dst || cap == 0) return -1;
    Out o = {dst, cap, 0, false};
    uint64_t framing = r->status_in_message + r->unterminated + r->outside_message;
    add(&o, "{\n");
    add(&o, "  \"state\": \"%s\",\n", r->state);
    add_text(&o, "version", r->version_now);
    add(&o, "  \"updates\": %llu,\n", (unsigned long long)r->updates);
    add(&o, "  \"restarts\": %llu,\n", (unsigned long long)r->restarts);
    add(&o, "  \"result\": \"%s\",\n", r->result);
    add(&o, "  \"image\": \"%s\",\n", r->image ? r->image : "unchecked");
    add_text(&o, "version_before", r->version_before);
    add_text(&o, "version_after", r->version_after);
    add(&o, "  \"update_messages\": %llu,\n", (unsigned long long)r->messages);
    add(&o, "  \"update_bytes\": %llu,\n", (unsigned long long)r->bytes);
    add(&o, "  \"update_sha256\": \"%s\",\n", r->sha256);
    add(&o, "  \"framing_errors\": %llu,\n", (unsigned long long)framing);
    add(&o,
        "  \"framing\": {\"status_in_message\": %llu, \"unterminated\": %llu, "
        "\"outside_message\": %llu},\n",
        (unsigned long long)r->status_in_message, (unsigned long long)r->unterminated,
        (unsigned long long)r->outside_message);
    add(&o, "  \"overruns\": %llu,\n", (unsigned long long)r->overruns);
    add(&o, "  \"lost_internal\": %llu,\n", (unsigned long long)r->lost_internal);
    add_time(&o, "first_byte", r->first_byte_s, false);
    add_time(&o, "last_byte", r->last_byte_s, false);
    double span = (r->first_byte_s > 0 && r->last_byte_s >= r->first_byte_s) ? r->last_byte_s - r->first_byte_s : 0;
    add(&o, "  \"update_seconds\": %.3f,\n", span);
    add(&o, "  \"receive_model\": {\"rate\": %.0f, \"buffer\": %ld},\n", r->rate, r->rate > 0 ? r->buffer : 0L);
    add(&o, "  \"requests_answered\": %llu,\n", (unsigned long long)r->answered);
    add(&o, "  \"messages_ignored\": %llu,\n", (unsigned long long)r->ignored);
    add(&o, "  \"controller_changes\": %llu,\n", (unsigned long long)r->cc_taken);
    add(&o, "  \"controller_changes_refused\": %llu\n", (unsigned long long)r->cc_refused);
    add(&o, "}\n");
    if (o.overflow) {
        dst[0] = 0;
        return -1;
    }
    return long(o.len);
}

bool vamp_report_write(const VampReport* r, const char* path, int* err) {
    char text[4096];
    long n = vamp_report_format(r, text, sizeof text);
    if (n < 0) {
        if (err) *err = ENOBUFS;
        return false;
    }
    char tmp[4200];
    if (std::snprintf(tmp, sizeof tmp, "%s.tmp%d", path, int(getpid())) >= int(sizeof tmp)) {
        if (err) *err = ENAMETOOLONG;
        return false;
    }
    FILE* f = std::fopen(tmp, "w");
    if (!f) {
        if (err) *err = errno;
        return false;
    }
    bool ok = std::fwrite(text, 1, size_t(n), f) == size_t(n);
    int e = ok ? 0 : errno;
    if (std::fclose(f) != 0 && ok) {
        ok = false;
        e = errno;
    }
    if (ok && std::rename(tmp, path) != 0) {
        ok = false;
        e = errno;
    }
    if (!ok) unlink(tmp);
    if (err) *err = ok ? 0 : e;
    return ok;
}
