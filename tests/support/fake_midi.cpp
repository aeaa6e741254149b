#include "tests/support/fake_midi.h"

#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>

namespace {

struct Script {
    int skip = 0;
    int times = 0;  // < 0: for ever
    uint32_t result = 0;
};

struct FakeOut {
    uint32_t dev = 0;
    MidiCallback cb = nullptr;
    uintptr_t instance = 0;
    MidiHeader* held = nullptr;  // the buffer with the "driver"
    bool held_failed = false;    // set when the buffer was finished as lost
    bool open = true;
};

struct FakeIn {
    uint32_t dev = 0;
    MidiCallback cb = nullptr;
    uintptr_t instance = 0;
    bool started = false;
    bool open = true;
    std::deque<MidiHeader*> held;  // added buffers, oldest first
};

struct State {
    std::vector<std::string> out_names, in_names;
    std::map<uint32_t, uint32_t> out_caps_fail, in_caps_fail;
    Script scripts[FAKE_CALL_KINDS];
    int calls[FAKE_CALL_KINDS] = {};
    std::vector<std::string> log;
    std::vector<std::unique_ptr<FakeOut>> outs;  // every output ever opened
    std::vector<std::unique_ptr<FakeIn>> ins;
    std::vector<std::vector<uint8_t>> messages;
    bool finish_in_pause = false;
    uint32_t paused_ms = 0;
    int pauses = 0;
};

std::mutex g_mutex;
State* g_state = new State;  // never freed: outlives every test

const char* const kCallName[FAKE_CALL_KINDS] = {
    "out_count", "out_caps",   "out_open",      "out_prepare", "out_long_msg", "out_unprepare",
    "out_close", "in_count",   "in_caps",       "in_open",     "in_prepare",   "in_add_buffer",
    "in_start",  "in_stop",    "in_reset",      "in_unprepare", "in_close",
};

// Counts and logs the call; true (with *result set) when a script answers it.
bool scripted(FakeMidiCall c, uint32_t* result, const char* arg = nullptr) {
    State& s = *g_state;
    s.calls[c]++;
    s.log.push_back(arg ? std::string(kCallName[c]) + " " + arg : kCallName[c]);
    Script& sc = s.scripts[c];
    if (sc.times == 0) return false;
    if (sc.skip > 0) {
        sc.skip--;
        return false;
    }
    if (sc.times > 0) sc.times--;
    *result = sc.result;
    return true;
}

FakeOut* out_of(MidiHandle h) {
    for (auto& o : g_state->outs)
        if (o.get() == h && o->open) return o.get();
    return nullptr;
}

FakeIn* in_of(MidiHandle h) {
    for (auto& i : g_state->ins)
        if (i.get() == h && i->open) return i.get();
    return nullptr;
}

template <typename T>
T* pick(std::vector<std::unique_ptr<T>>& v, int which) {
    if (v.empty()) return nullptr;
    if (which < 0) return v.back().get();
    return size_t(which) < v.size() ? v[size_t(which)].get() : nullptr;
}

// Releases the held output buffer; the caller then calls back MOM_DONE.
MidiHeader* finish_locked(FakeOut* o, bool failed) {
    MidiHeader* h = o->held;
    o->held = nullptr;
    o->held_failed = failed;
    h->dwFlags = (h->dwFlags & ~MIDI_HDR_INQUEUE) | MIDI_HDR_DONE;
    return h;
}

// ---- output operations

uint32_t out_count() {
    std::lock_guard<std::mutex> l(g_mutex);
    uint32_t r;
    if (scripted(FAKE_OUT_COUNT, &r)) return r;
    return uint32_t(g_state->out_names.size());
}

uint32_t out_caps(uint32_t dev, MidiDevCaps* caps) {
    std::lock_guard<std::mutex> l(g_mutex);
    uint32_t r;
    if (scripted(FAKE_OUT_CAPS, &r, std::to_string(dev).c_str())) return r;
    if (dev >= g_state->out_names.size()) return MIDI_RES_BAD_DEVICE;
    auto f = g_state->out_caps_fail.find(dev);
    if (f != g_state->out_caps_fail.end()) return f->second;
    std::snprintf(caps->szPname, sizeof caps->szPname, "%s", g_state->out_names[dev].c_str());
    return MIDI_RES_OK;
}

uint32_t out_open(MidiHandle* h, uint32_t dev, MidiCallback cb, uintptr_t instance) {
    std::lock_guard<std::mutex> l(g_mutex);
    uint32_t r;
    if (scripted(FAKE_OUT_OPEN, &r, std::to_string(dev).c_str())) return r;
    if (dev >= g_state->out_names.size()) return MIDI_RES_BAD_DEVICE;
    auto o = std::make_unique<FakeOut>();
    o->dev = dev;
    o->cb = cb;
    o->instance = instance;
    *h = o.get();
    g_state->outs.push_back(std::move(o));
    return MIDI_RES_OK;
}

uint32_t out_prepare(MidiHandle h, MidiHeader* hdr) {
    std::lock_guard<std::mutex> l(g_mutex);
    uint32_t r;
    if (scripted(FAKE_OUT_PREPARE, &r)) return r;
    if (!out_of(h)) return MIDI_RES_INVALID_HANDLE;
    if (!hdr || !hdr->lpData) return MIDI_RES_INVALID_PARAM;
    hdr->dwFlags |= MIDI_HDR_PREPARED;
    return MIDI_RES_OK;
}

uint32_t out_long_msg(MidiHandle h, MidiHeader* hdr) {
    std::lock_guard<std::mutex> l(g_mutex);
    uint32_t r;
    if (scripted(FAKE_OUT_LONG_MSG, &r)) return r;
    FakeOut* o = out_of(h);
    if (!o) return MIDI_RES_INVALID_HANDLE;
    if (!(hdr->dwFlags & MIDI_HDR_PREPARED)) return MIDI_RES_UNPREPARED;
    if (o->held) return MIDI_RES_NOT_READY;
    const uint8_t* d = reinterpret_cast<const uint8_t*>(hdr->lpData);
    g_state->messages.emplace_back(d, d + hdr->dwBufferLength);
    hdr->dwFlags = (hdr->dwFlags & ~MIDI_HDR_DONE) | MIDI_HDR_INQUEUE;
    o->held = hdr;
    o->held_failed = false;
    return MIDI_RES_OK;
}

uint32_t out_unprepare(MidiHandle h, MidiHeader* hdr) {
    std::lock_guard<std::mutex> l(g_mutex);
    uint32_t r;
    if (scripted(FAKE_OUT_UNPREPARE, &r)) return r;
    FakeOut* o = out_of(h);
    if (!o) return MIDI_RES_INVALID_HANDLE;
    if (o->held == hdr) return MIDI_RES_STILL_PLAYING;
    hdr->dwFlags &= ~MIDI_HDR_PREPARED;
    if (o->held_failed) hdr->dwFlags |= MIDI_HDR_FAILED;
    o->held_failed = false;
    return MIDI_RES_OK;
}

uint32_t out_close(MidiHandle h) {
    std::lock_guard<std::mutex> l(g_mutex);
    uint32_t r;
    if (scripted(FAKE_OUT_CLOSE, &r)) return r;
    FakeOut* o = out_of(h);
    if (!o) return MIDI_RES_INVALID_HANDLE;
    if (o->held) return MIDI_RES_STILL_PLAYING;
    o->open = false;
    return MIDI_RES_OK;
}

// ---- input operations

uint32_t in_count() {
    std::lock_guard<std::mutex> l(g_mutex);
    uint32_t r;
    if (scripted(FAKE_IN_COUNT, &r)) return r;
    return uint32_t(g_state->in_names.size());
}

uint32_t in_caps(uint32_t dev, MidiDevCaps* caps) {
    std::lock_guard<std::mutex> l(g_mutex);
    uint32_t r;
    if (scripted(FAKE_IN_CAPS, &r, std::to_string(dev).c_str())) return r;
    if (dev >= g_state->in_names.size()) return MIDI_RES_BAD_DEVICE;
    auto f = g_state->in_caps_fail.find(dev);
    if (f != g_state->in_caps_fail.end()) return f->second;
    std::snprintf(caps->szPname, sizeof caps->szPname, "%s", g_state->in_names[dev].c_str());
    return MIDI_RES_OK;
}

uint32_t in_open(MidiHandle* h, uint32_t dev, MidiCallback cb, uintptr_t instance) {
    std::lock_guard<std::mutex> l(g_mutex);
    uint32_t r;
    if (scripted(FAKE_IN_OPEN, &r, std::to_string(dev).c_str())) return r;
    if (dev >= g_state->in_names.size()) return MIDI_RES_BAD_DEVICE;
    auto i = std::make_unique<FakeIn>();
    i->dev = dev;
    i->cb = cb;
    i->instance = instance;
    *h = i.get();
    g_state->ins.push_back(std::move(i));
    return MIDI_RES_OK;
}

uint32_t in_prepare(MidiHandle h, MidiHeader* hdr) {
    std::lock_guard<std::mutex> l(g_mutex);
    uint32_t r;
    if (scripted(FAKE_IN_PREPARE, &r)) return r;
    if (!in_of(h)) return MIDI_RES_INVALID_HANDLE;
    if (!hdr || !hdr->lpData || !hdr->dwBufferLength) return MIDI_RES_INVALID_PARAM;
    hdr->dwFlags |= MIDI_HDR_PREPARED;
    return MIDI_RES_OK;
}

uint32_t in_add_buffer(MidiHandle h, MidiHeader* hdr) {
    std::lock_guard<std::mutex> l(g_mutex);
    uint32_t r;
    if (scripted(FAKE_IN_ADD_BUFFER, &r)) return r;
    FakeIn* i = in_of(h);
    if (!i) return MIDI_RES_INVALID_HANDLE;
    if (!(hdr->dwFlags & MIDI_HDR_PREPARED)) return MIDI_RES_UNPREPARED;
    for (MidiHeader* x : i->held)
        if (x == hdr) return MIDI_RES_STILL_PLAYING;
    hdr->dwFlags = (hdr->dwFlags & ~MIDI_HDR_DONE) | MIDI_HDR_INQUEUE;
    hdr->dwBytesRecorded = 0;
    i->held.push_back(hdr);
    return MIDI_RES_OK;
}

uint32_t in_start(MidiHandle h) {
    std::lock_guard<std::mutex> l(g_mutex);
    uint32_t r;
    if (scripted(FAKE_IN_START, &r)) return r;
    FakeIn* i = in_of(h);
    if (!i) return MIDI_RES_INVALID_HANDLE;
    i->started = true;
    return MIDI_RES_OK;
}

uint32_t in_stop(MidiHandle h) {
    std::lock_guard<std::mutex> l(g_mutex);
    uint32_t r;
    if (scripted(FAKE_IN_STOP, &r)) return r;
    FakeIn* i = in_of(h);
    if (!i) return MIDI_RES_INVALID_HANDLE;
    i->started = false;
    return MIDI_RES_OK;
}

// Marks a returned input buffer; the caller calls back with it afterwards.
void return_locked(FakeIn* i, MidiHeader* hdr, uint32_t recorded) {
    (void)i;
    hdr->dwBytesRecorded = recorded;
    hdr->dwFlags = (hdr->dwFlags & ~MIDI_HDR_INQUEUE) | MIDI_HDR_DONE;
}

uint32_t in_reset(MidiHandle h) {
    std::unique_lock<std::mutex> l(g_mutex);
    uint32_t r;
    if (scripted(FAKE_IN_RESET, &r)) return r;
    FakeIn* i = in_of(h);
    if (!i) return MIDI_RES_INVALID_HANDLE;
    i->started = false;
    std::deque<MidiHeader*> back;
    back.swap(i->held);
    for (MidiHeader* hdr : back) return_locked(i, hdr, 0);
    MidiCallback cb = i->cb;
    uintptr_t inst = i->instance;
    l.unlock();
    for (MidiHeader* hdr : back) cb(h, MIDI_MIM_LONGDATA, inst, reinterpret_cast<uintptr_t>(hdr), 0);
    return MIDI_RES_OK;
}

uint32_t in_unprepare(MidiHandle h, MidiHeader* hdr) {
    std::lock_guard<std::mutex> l(g_mutex);
    uint32_t r;
    if (scripted(FAKE_IN_UNPREPARE, &r)) return r;
    FakeIn* i = in_of(h);
    if (!i) return MIDI_RES_INVALID_HANDLE;
    for (MidiHeader* x : i->held)
        if (x == hdr) return MIDI_RES_STILL_PLAYING;
    hdr->dwFlags &= ~MIDI_HDR_PREPARED;
    return MIDI_RES_OK;
}

uint32_t in_close(MidiHandle h) {
    std::lock_guard<std::mutex> l(g_mutex);
    uint32_t r;
    if (scripted(FAKE_IN_CLOSE, &r)) return r;
    FakeIn* i = in_of(h);
    if (!i) return MIDI_RES_INVALID_HANDLE;
    if (!i->held.empty()) return MIDI_RES_STILL_PLAYING;
    i->open = false;
    return MIDI_RES_OK;
}

void pause_ms(uint32_t ms) {
    std::unique_lock<std::mutex> l(g_mutex);
    g_state->paused_ms += ms;
    g_state->pauses++;
    if (!g_state->finish_in_pause) return;
    // The driver finishes whatever it held while the caller sleeps.
    std::vector<std::pair<FakeOut*, MidiHeader*>> done;
    for (auto& o : g_state->outs)
        if (o->open && o->held) done.emplace_back(o.get(), finish_locked(o.get(), false));
    l.unlock();
    for (auto& d : done)
        d.first->cb(d.first, MIDI_MOM_DONE, d.first->instance, reinterpret_cast<uintptr_t>(d.second), 0);
}

// Grouped like the table it fills.
const MidiPlatform kFake = {
    "fake",
    out_count, out_caps, out_open, out_prepare, out_long_msg, out_unprepare, out_close,
    in_count, in_caps, in_open, in_prepare, in_add_buffer, in_start, in_stop, in_reset,
    in_unprepare, in_close,
    pause_ms,
    nullptr,  // no progress: what a buffer holds is sent once it is finished
};

}  // namespace

const MidiPlatform* fake_midi_platform() { return &kFake; }

void fake_midi_install() {
    {
        std::lock_guard<std::mutex> l(g_mutex);
        delete g_state;
        g_state = new State;
    }
    midi_platform_set(&kFake);
}

void fake_midi_uninstall() {
    midi_platform_set(nullptr);
    std::lock_guard<std::mutex> l(g_mutex);
    delete g_state;
    g_state = new State;
}

void fake_midi_set_out_devices(const std::vector<std::string>& names) {
    std::lock_guard<std::mutex> l(g_mutex);
    g_state->out_names = names;
}

void fake_midi_set_in_devices(const std::vector<std::string>& names) {
    std::lock_guard<std::mutex> l(g_mutex);
    g_state->in_names = names;
}

void fake_midi_fail(FakeMidiCall call, uint32_t result, int times, int skip) {
    std::lock_guard<std::mutex> l(g_mutex);
    g_state->scripts[call] = Script{skip, times, result};
}

void fake_midi_fail_caps(bool output, uint32_t dev, uint32_t result) {
    std::lock_guard<std::mutex> l(g_mutex);
    auto& m = output ? g_state->out_caps_fail : g_state->in_caps_fail;
    if (result)
        m[dev] = result;
    else
        m.erase(dev);
}

int fake_midi_calls(FakeMidiCall call) {
    std::lock_guard<std::mutex> l(g_mutex);
    return g_state->calls[call];
}

std::vector<std::string> fake_midi_log() {
    std::lock_guard<std::mutex> l(g_mutex);
    return g_state->log;
}

int fake_midi_open_outputs() {
    std::lock_guard<std::mutex> l(g_mutex);
    int n = 0;
    for (auto& o : g_state->outs) n += o->open;
    return n;
}

int fake_midi_open_inputs() {
    std::lock_guard<std::mutex> l(g_mutex);
    int n = 0;
    for (auto& i : g_state->ins) n += i->open;
    return n;
}

std::vector<std::vector<uint8_t>> fake_midi_out_messages() {
    std::lock_guard<std::mutex> l(g_mutex);
    return g_state->messages;
}

bool fake_midi_out_holding(int which) {
    std::lock_guard<std::mutex> l(g_mutex);
    FakeOut* o = pick(g_state->outs, which);
    return o && o->held;
}

bool fake_midi_out_finish(bool device_failed, int which) {
    std::unique_lock<std::mutex> l(g_mutex);
    FakeOut* o = pick(g_state->outs, which);
    if (!o || !o->open || !o->held) return false;
    MidiHeader* h = finish_locked(o, device_failed);
    l.unlock();
    o->cb(o, MIDI_MOM_DONE, o->instance, reinterpret_cast<uintptr_t>(h), 0);
    return true;
}

void fake_midi_out_finish_in_pause(bool on) {
    std::lock_guard<std::mutex> l(g_mutex);
    g_state->finish_in_pause = on;
}

uint32_t fake_midi_paused_ms() {
    std::lock_guard<std::mutex> l(g_mutex);
    return g_state->paused_ms;
}

int fake_midi_pauses() {
    std::lock_guard<std::mutex> l(g_mutex);
    return g_state->pauses;
}

void fake_midi_out_callback(uint32_t msg, uintptr_t p1, MidiHandle handle_override, int which) {
    std::unique_lock<std::mutex> l(g_mutex);
    FakeOut* o = pick(g_state->outs, which);
    if (!o) return;
    l.unlock();
    o->cb(handle_override ? handle_override : o, msg, o->instance, p1, 0);
}

bool fake_midi_in_started(int which) {
    std::lock_guard<std::mutex> l(g_mutex);
    FakeIn* i = pick(g_state->ins, which);
    return i && i->open && i->started;
}

int fake_midi_in_held(int which) {
    std::lock_guard<std::mutex> l(g_mutex);
    FakeIn* i = pick(g_state->ins, which);
    return i ? int(i->held.size()) : 0;
}

void fake_midi_in_short(uint32_t packed, uint32_t msg, int which) {
    std::unique_lock<std::mutex> l(g_mutex);
    FakeIn* i = pick(g_state->ins, which);
    if (!i || !i->open || !i->started) return;
    l.unlock();
    i->cb(i, msg, i->instance, packed, 0);
}

size_t fake_midi_in_sysex(const uint8_t* data, size_t n, int which) {
    size_t pos = 0;
    while (pos < n) {
        std::unique_lock<std::mutex> l(g_mutex);
        FakeIn* i = pick(g_state->ins, which);
        if (!i || !i->open || !i->started || i->held.empty()) return n - pos;
        MidiHeader* hdr = i->held.front();
        uint32_t room = hdr->dwBufferLength - hdr->dwBytesRecorded;
        bool ended = false;
        while (room > 0 && pos < n) {
            uint8_t b = data[pos++];
            hdr->lpData[hdr->dwBytesRecorded++] = char(b);
            room--;
            if (b == 0xF7) {
                ended = true;
                break;
            }
        }
        if (room > 0 && !ended) break;  // partly filled: waits for more bytes
        i->held.pop_front();
        return_locked(i, hdr, hdr->dwBytesRecorded);
        l.unlock();
        i->cb(i, MIDI_MIM_LONGDATA, i->instance, reinterpret_cast<uintptr_t>(hdr), 0);
    }
    return 0;
}

bool fake_midi_in_return(uint32_t recorded, uint32_t msg, int which) {
    std::unique_lock<std::mutex> l(g_mutex);
    FakeIn* i = pick(g_state->ins, which);
    if (!i || !i->open || i->held.empty()) return false;
    MidiHeader* hdr = i->held.front();
    i->held.pop_front();
    return_locked(i, hdr, recorded);
    l.unlock();
    i->cb(i, msg, i->instance, reinterpret_cast<uintptr_t>(hdr), 0);
    return true;
}
