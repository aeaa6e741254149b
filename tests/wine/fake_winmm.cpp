// A stand-in winmm.dll for running ampctl.exe under Wine with a known device
// (loaded with WINEDLLOVERRIDES=winmm=n). It offers one output and one input,
// both named "Zorva Pro" as winmm names the two halves of one device, or as
// ZP_WINMM_NAME says (UTF-8, for a name in other letters).
//
// The output takes long messages into a queue that a thread of its own
// works off, as winmm's driver does: it appends every byte to the file named
// by ZP_WINMM_RECORD (a Windows path), then marks the header done and calls
// back MOM_DONE from that thread. When the bytes hold the identity request,
// the input (if started, with a buffer) answers with the identity reply
// carrying ZP_WINMM_VERSION (four characters, "A107" by default).
// Declares the winmm functions as this DLL's own rather than imported.
#define _WINMM_
#include <windows.h>
#include <mmsystem.h>

#include <cstdio>
#include <cstring>

#include "ampmsg/message.h"

namespace {

const char kName[] = "Zorva Pro";
constexpr int kQueueMax = 64;

struct Device {
    CRITICAL_SECTION lock;
    CONDITION_VARIABLE changed;
    bool live = false;
    DWORD_PTR callback = 0;
    DWORD_PTR instance = 0;
    HANDLE thread = nullptr;
    bool quit = false;
    MIDIHDR* queue[kQueueMax];
    int head = 0, count = 0;  // output: buffers waiting; input: buffers to fill
    bool started = false;     // input
};

Device g_out, g_in;
FILE* g_record = nullptr;
uint8_t g_recent[AMP_IDENTITY_REQUEST_LENGTH];  // the last bytes sent, for the identity request

void call(Device* d, HANDLE handle, UINT msg, DWORD_PTR p1) {
    if (d->callback)
        reinterpret_cast<void(CALLBACK*)(HANDLE, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR)>(d->callback)(
            handle, msg, d->instance, p1, 0);
}

HMIDIOUT out_handle() { return reinterpret_cast<HMIDIOUT>(&g_out); }
HMIDIIN in_handle() { return reinterpret_cast<HMIDIIN>(&g_in); }

// Hands the identity reply to the input's oldest buffer, if it can take it.
void answer_identity() {
    uint8_t reply[AMP_IDENTITY_REPLY_LENGTH];
    std::memcpy(reply, AMP_IDENTITY_REPLY_PATTERN, sizeof reply);
    char version[8] = "A107";
    GetEnvironmentVariableA("ZP_WINMM_VERSION", version, sizeof version);
    std::memcpy(reply + AMP_IDENTITY_REVISION_OFFSET, version, 4);
    EnterCriticalSection(&g_in.lock);
    MIDIHDR* h = nullptr;
    if (g_in.live && g_in.started && g_in.count > 0 && g_in.queue[g_in.head]->dwBufferLength >= sizeof reply) {
        h = g_in.queue[g_in.head];
        g_in.head = (g_in.head + 1) % kQueueMax;
        g_in.count--;
        std::memcpy(h->lpData, reply, sizeof reply);
        h->dwBytesRecorded = sizeof reply;
        h->dwFlags = (h->dwFlags & ~MHDR_INQUEUE) | MHDR_DONE;
    }
    LeaveCriticalSection(&g_in.lock);
    if (h) call(&g_in, in_handle(), MIM_LONGDATA, reinterpret_cast<DWORD_PTR>(h));
}

DWORD WINAPI out_worker(void*) {
    EnterCriticalSection(&g_out.lock);
    for (;;) {
        while (!g_out.quit && g_out.count == 0) SleepConditionVariableCS(&g_out.changed, &g_out.lock, INFINITE);
        if (g_out.quit) break;
        MIDIHDR* h = g_out.queue[g_out.head];
        LeaveCriticalSection(&g_out.lock);
        // About the pace of a USB device: 1 ms for every 4 kB.
        Sleep(h->dwBufferLength / 4096 + 1);
        bool identity = false;
        const uint8_t* b = reinterpret_cast<const uint8_t*>(h->lpData);
        for (DWORD i = 0; i < h->dwBufferLength; i++) {
            std::memmove(g_recent, g_recent + 1, sizeof g_recent - 1);
            g_recent[sizeof g_recent - 1] = b[i];
            identity = identity || std::memcmp(g_recent, AMP_IDENTITY_REQUEST, sizeof g_recent) == 0;
        }
        if (g_record) {
            std::fwrite(h->lpData, 1, h->dwBufferLength, g_record);
            std::fflush(g_record);
        }
        EnterCriticalSection(&g_out.lock);
        g_out.head = (g_out.head + 1) % kQueueMax;
        g_out.count--;
        h->dwFlags = (h->dwFlags & ~MHDR_INQUEUE) | MHDR_DONE;
        LeaveCriticalSection(&g_out.lock);
        call(&g_out, out_handle(), MOM_DONE, reinterpret_cast<DWORD_PTR>(h));
        if (identity) answer_identity();
        EnterCriticalSection(&g_out.lock);
    }
    LeaveCriticalSection(&g_out.lock);
    return 0;
}

// The device's name as UTF-16, at most what winmm's capabilities hold.
void wide_name(WCHAR* dst, size_t n) {
    DWORD got = GetEnvironmentVariableW(L"ZP_WINMM_NAME", dst, DWORD(n));
    if (got == 0 || got >= n) MultiByteToWideChar(CP_UTF8, 0, kName, -1, dst, int(n));
    dst[n - 1] = 0;
}

MMRESULT caps_name(char* dst, size_t n) {
    WCHAR wide[MAXPNAMELEN];
    wide_name(wide, MAXPNAMELEN);
    WideCharToMultiByte(CP_ACP, 0, wide, -1, dst, int(n), nullptr, nullptr);
    dst[n - 1] = 0;
    return MMSYSERR_NOERROR;
}

void init(Device* d) {
    static bool done[2];
    bool* once = d == &g_out ? &done[0] : &done[1];
    if (*once) return;
    *once = true;
    InitializeCriticalSection(&d->lock);
    InitializeConditionVariable(&d->changed);
}

}  // namespace

extern "C" {

UINT WINAPI midiOutGetNumDevs() { return 1; }
UINT WINAPI midiInGetNumDevs() { return 1; }

MMRESULT WINAPI midiOutGetDevCapsA(UINT_PTR dev, MIDIOUTCAPSA* caps, UINT size) {
    if (dev != 0) return MMSYSERR_BADDEVICEID;
    if (!caps || size < sizeof *caps) return MMSYSERR_INVALPARAM;
    std::memset(caps, 0, sizeof *caps);
    return caps_name(caps->szPname, sizeof caps->szPname);
}

MMRESULT WINAPI midiInGetDevCapsA(UINT_PTR dev, MIDIINCAPSA* caps, UINT size) {
    if (dev != 0) return MMSYSERR_BADDEVICEID;
    if (!caps || size < sizeof *caps) return MMSYSERR_INVALPARAM;
    std::memset(caps, 0, sizeof *caps);
    return caps_name(caps->szPname, sizeof caps->szPname);
}

MMRESULT WINAPI midiOutGetDevCapsW(UINT_PTR dev, MIDIOUTCAPSW* caps, UINT size) {
    if (dev != 0) return MMSYSERR_BADDEVICEID;
    if (!caps || size < sizeof *caps) return MMSYSERR_INVALPARAM;
    std::memset(caps, 0, sizeof *caps);
    wide_name(caps->szPname, MAXPNAMELEN);
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI midiInGetDevCapsW(UINT_PTR dev, MIDIINCAPSW* caps, UINT size) {
    if (dev != 0) return MMSYSERR_BADDEVICEID;
    if (!caps || size < sizeof *caps) return MMSYSERR_INVALPARAM;
    std::memset(caps, 0, sizeof *caps);
    wide_name(caps->szPname, MAXPNAMELEN);
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI midiOutOpen(HMIDIOUT* h, UINT dev, DWORD_PTR cb, DWORD_PTR instance, DWORD flags) {
    init(&g_out);
    if (dev != 0) return MMSYSERR_BADDEVICEID;
    if (g_out.live) return MMSYSERR_ALLOCATED;
    if ((flags & CALLBACK_TYPEMASK) != CALLBACK_FUNCTION) return MMSYSERR_INVALFLAG;
    if (!g_record) {
        char path[MAX_PATH];
        DWORD n = GetEnvironmentVariableA("ZP_WINMM_RECORD", path, sizeof path);
        if (n > 0 && n < sizeof path) g_record = std::fopen(path, "ab");
    }
    g_out.callback = cb;
    g_out.instance = instance;
    g_out.quit = false;
    g_out.head = g_out.count = 0;
    g_out.live = true;
    g_out.thread = CreateThread(nullptr, 0, out_worker, nullptr, 0, nullptr);
    *h = out_handle();
    call(&g_out, out_handle(), MOM_OPEN, 0);
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI midiOutPrepareHeader(HMIDIOUT h, MIDIHDR* hdr, UINT size) {
    if (h != out_handle() || !g_out.live) return MMSYSERR_INVALHANDLE;
    if (!hdr || size < sizeof *hdr || !hdr->lpData) return MMSYSERR_INVALPARAM;
    hdr->dwFlags |= MHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI midiOutLongMsg(HMIDIOUT h, MIDIHDR* hdr, UINT size) {
    if (h != out_handle() || !g_out.live) return MMSYSERR_INVALHANDLE;
    if (!hdr || size < sizeof *hdr) return MMSYSERR_INVALPARAM;
    if (!(hdr->dwFlags & MHDR_PREPARED)) return MIDIERR_UNPREPARED;
    EnterCriticalSection(&g_out.lock);
    MMRESULT r = MMSYSERR_NOERROR;
    if (g_out.count == kQueueMax) {
        r = MIDIERR_NOTREADY;
    } else {
        hdr->dwFlags = (hdr->dwFlags & ~MHDR_DONE) | MHDR_INQUEUE;
        g_out.queue[(g_out.head + g_out.count++) % kQueueMax] = hdr;
        WakeConditionVariable(&g_out.changed);
    }
    LeaveCriticalSection(&g_out.lock);
    return r;
}

MMRESULT WINAPI midiOutUnprepareHeader(HMIDIOUT h, MIDIHDR* hdr, UINT size) {
    if (h != out_handle() || !g_out.live) return MMSYSERR_INVALHANDLE;
    if (!hdr || size < sizeof *hdr) return MMSYSERR_INVALPARAM;
    EnterCriticalSection(&g_out.lock);
    bool queued = (hdr->dwFlags & MHDR_INQUEUE) != 0;
    if (!queued) hdr->dwFlags &= ~MHDR_PREPARED;
    LeaveCriticalSection(&g_out.lock);
    return queued ? MIDIERR_STILLPLAYING : MMSYSERR_NOERROR;
}

MMRESULT WINAPI midiOutClose(HMIDIOUT h) {
    if (h != out_handle() || !g_out.live) return MMSYSERR_INVALHANDLE;
    EnterCriticalSection(&g_out.lock);
    bool busy = g_out.count > 0;
    if (!busy) {
        g_out.quit = true;
        WakeConditionVariable(&g_out.changed);
    }
    LeaveCriticalSection(&g_out.lock);
    if (busy) return MIDIERR_STILLPLAYING;
    WaitForSingleObject(g_out.thread, INFINITE);
    CloseHandle(g_out.thread);
    g_out.live = false;
    call(&g_out, out_handle(), MOM_CLOSE, 0);
    if (g_record) std::fflush(g_record);
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI midiInOpen(HMIDIIN* h, UINT dev, DWORD_PTR cb, DWORD_PTR instance, DWORD flags) {
    init(&g_in);
    if (dev != 0) return MMSYSERR_BADDEVICEID;
    if (g_in.live) return MMSYSERR_ALLOCATED;
    if ((flags & CALLBACK_TYPEMASK) != CALLBACK_FUNCTION) return MMSYSERR_INVALFLAG;
    EnterCriticalSection(&g_in.lock);
    g_in.callback = cb;
    g_in.instance = instance;
    g_in.head = g_in.count = 0;
    g_in.started = false;
    g_in.live = true;
    LeaveCriticalSection(&g_in.lock);
    *h = in_handle();
    call(&g_in, in_handle(), MIM_OPEN, 0);
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI midiInPrepareHeader(HMIDIIN h, MIDIHDR* hdr, UINT size) {
    if (h != in_handle() || !g_in.live) return MMSYSERR_INVALHANDLE;
    if (!hdr || size < sizeof *hdr || !hdr->lpData) return MMSYSERR_INVALPARAM;
    hdr->dwFlags |= MHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI midiInAddBuffer(HMIDIIN h, MIDIHDR* hdr, UINT size) {
    if (h != in_handle() || !g_in.live) return MMSYSERR_INVALHANDLE;
    if (!hdr || size < sizeof *hdr) return MMSYSERR_INVALPARAM;
    if (!(hdr->dwFlags & MHDR_PREPARED)) return MIDIERR_UNPREPARED;
    EnterCriticalSection(&g_in.lock);
    MMRESULT r = MMSYSERR_NOERROR;
    if (g_in.count == kQueueMax) {
        r = MIDIERR_NOTREADY;
    } else {
        hdr->dwFlags = (hdr->dwFlags & ~MHDR_DONE) | MHDR_INQUEUE;
        hdr->dwBytesRecorded = 0;
        g_in.queue[(g_in.head + g_in.count++) % kQueueMax] = hdr;
    }
    LeaveCriticalSection(&g_in.lock);
    return r;
}

MMRESULT WINAPI midiInStart(HMIDIIN h) {
    if (h != in_handle() || !g_in.live) return MMSYSERR_INVALHANDLE;
    g_in.started = true;
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI midiInStop(HMIDIIN h) {
    if (h != in_handle() || !g_in.live) return MMSYSERR_INVALHANDLE;
    g_in.started = false;
    return MMSYSERR_NOERROR;
}

// Returns every buffer still held, marked done and empty, as winmm does.
MMRESULT WINAPI midiInReset(HMIDIIN h) {
    if (h != in_handle() || !g_in.live) return MMSYSERR_INVALHANDLE;
    for (;;) {
        EnterCriticalSection(&g_in.lock);
        g_in.started = false;
        MIDIHDR* hdr = nullptr;
        if (g_in.count > 0) {
            hdr = g_in.queue[g_in.head];
            g_in.head = (g_in.head + 1) % kQueueMax;
            g_in.count--;
            hdr->dwFlags = (hdr->dwFlags & ~MHDR_INQUEUE) | MHDR_DONE;
        }
        LeaveCriticalSection(&g_in.lock);
        if (!hdr) return MMSYSERR_NOERROR;
        call(&g_in, in_handle(), MIM_LONGDATA, reinterpret_cast<DWORD_PTR>(hdr));
    }
}

MMRESULT WINAPI midiInUnprepareHeader(HMIDIIN h, MIDIHDR* hdr, UINT size) {
    if (h != in_handle() || !g_in.live) return MMSYSERR_INVALHANDLE;
    if (!hdr || size < sizeof *hdr) return MMSYSERR_INVALPARAM;
    if (hdr->dwFlags & MHDR_INQUEUE) return MIDIERR_STILLPLAYING;
    hdr->dwFlags &= ~MHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI midiInClose(HMIDIIN h) {
    if (h != in_handle() || !g_in.live) return MMSYSERR_INVALHANDLE;
    EnterCriticalSection(&g_in.lock);
    bool busy = g_in.count > 0;
    if (!busy) g_in.live = false;
    LeaveCriticalSection(&g_in.lock);
    if (busy) return MIDIERR_STILLPLAYING;
    call(&g_in, in_handle(), MIM_CLOSE, 0);
    return MMSYSERR_NOERROR;
}

}  // extern "C"
