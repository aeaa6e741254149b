// The Win32 side's start-up, event bridge, error box and the two ways the
// program ends, as the FLTK side has them.
//
// The loop handles every message the system has, then delivers at most one
// event (a queued one before a pending wake) and goes round again; with
// nothing pending it sleeps in MsgWaitForMultipleObjectsEx until a message,
// a tick or a delayed wake comes. So a waiting window costs nothing, and a
// transfer still lets paint, input and ticks through between two messages.
#include "app/win32/win32.h"

#include <cstdint>
#include <cstdio>

#include "app/app.h"
#include "app/bridge.h"
#include "app/window.h"

namespace {

int32_t tick_interval_ms;
HWND main_window;

// Every message the system has now, through the window's keyboard rules and
// the dialog keys (Tab walks the controls). False once the loop is to end.
bool handle_messages() {
    MSG m;
    while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
        if (m.message == WM_QUIT) return false;
        if (win32_take_key(&m)) continue;
        if (main_window && IsDialogMessageW(main_window, &m)) continue;
        TranslateMessage(&m);
        DispatchMessageW(&m);
    }
    return true;
}

// A window program has no standard error anyone sees: a failure to start is
// said in a box.
void say_start_failed(const std::wstring& why) {
    std::wstring text = L"Zorva Pro Updater could not start its window: " + why + L".";
    MessageBoxW(nullptr, text.c_str(), L"Zorva Pro Updater", MB_OK | MB_ICONERROR);
    std::fprintf(stderr, "zorva-updater: cannot run the window: %ls\n", why.c_str());
}

}  // namespace

void app_start(int, char**, int interval_ms, AppController c) {
    if (bridge_open(interval_ms, c) != APP_STARTED) return;
    std::wstring why;
    main_window = win32_create_window(&why);
    if (!main_window) {
        bridge_abandon(APP_NO_WINDOW);
        say_start_failed(why);
        return;
    }
    tick_interval_ms = interval_ms;
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    GetStartupInfoW(&si);
    ShowWindow(main_window, (si.dwFlags & STARTF_USESHOWWINDOW) ? si.wShowWindow : SW_SHOWDEFAULT);
    UpdateWindow(main_window);
}

int app_run() {
    if (!main_window) return 0;
    if (tick_interval_ms > 0) SetTimer(main_window, WIN32_TICK_TIMER, UINT(tick_interval_ms), nullptr);
    for (;;) {
        if (!handle_messages()) break;
        if (!IsWindowVisible(main_window)) break;  // Finish: no window is shown
        if (bridge_deliverable()) {
            bridge_deliver_one();
            continue;
        }
        MsgWaitForMultipleObjectsEx(0, nullptr, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    }
    KillTimer(main_window, WIN32_TICK_TIMER);
    KillTimer(main_window, WIN32_WAKE_TIMER);
    return 0;
}

void win32_timer(UINT_PTR id) {
    if (id == WIN32_TICK_TIMER) {
        post_event(EVENT_TICK);
    } else if (id == WIN32_WAKE_TIMER) {
        KillTimer(main_window, WIN32_WAKE_TIMER);  // one-shot
        request_wake();
    }
}

void post_event(int code) { bridge_post(code); }

void request_wake() { bridge_wake(); }

void request_wake_after(int ms) {
    if (!main_window) return;
    // A later call replaces a pending one, as SetTimer does with the same id.
    SetTimer(main_window, WIN32_WAKE_TIMER, UINT(ms > 0 ? ms : 0), nullptr);
}

void show_error(const char* text) {
    // A modal box with an information icon and one button; the loop inside it
    // still takes the ticks, whose events wait in the queue meanwhile.
    int was_open = bridge_hold_for_box(1);
    std::wstring w = win32_wide(text ? text : "");
    MessageBoxW(main_window, w.c_str(), L"Zorva Pro Updater", MB_OK | MB_ICONINFORMATION);
    bridge_hold_for_box(was_open);
}

void app_keep_alive() {
    // The idle poll delivers nothing while the controller runs, so what the
    // user does meanwhile only queues up.
    handle_messages();
}

void hide_main_window() {
    if (main_window) ShowWindow(main_window, SW_HIDE);
}

// The window's close: the controller hears Shutdown at once (queued events are
// dropped) and the process ends with status 0.
void win32_close() { bridge_shutdown(); }
