// The Win32 side of the window layer, on Windows' own controls (user32,
// comctl32, comdlg32): what its window (window.cpp) and its event bridge
// (bridge.cpp) share. Only this side includes this.
#ifndef ZP_APP_WIN32_WIN32_H
#define ZP_APP_WIN32_WIN32_H

#ifndef UNICODE
#define UNICODE
#endif
#ifndef _UNICODE
#define _UNICODE
#endif
#include <windows.h>

#include <string>

// Text crosses into the system as UTF-16 and comes back as UTF-8.
std::wstring win32_wide(const char* utf8);
std::string win32_utf8(const wchar_t* wide);

// The main window with all its widgets, laid out for the window's DPI; null
// when it could not be made (the reason then in *why).
HWND win32_create_window(std::wstring* why);

// The window procedure's share of the bridge: a button, the choice or the
// input reported something (WM_COMMAND), a timer fired, the window closes.
void win32_command(WPARAM wparam, LPARAM lparam);
void win32_timer(UINT_PTR id);
void win32_close();

// True when the message is a key the window's keyboard rules take (the letter
// shortcuts, Space and Enter on a button, the navigation keys, Escape): it is
// then handled, or swallowed, and goes no further.
bool win32_take_key(const MSG* m);

// Timer ids on the main window.
constexpr UINT_PTR WIN32_TICK_TIMER = 1;
constexpr UINT_PTR WIN32_WAKE_TIMER = 2;

// The icon of the program's resources.
constexpr int WIN32_ICON_ID = 1;

#endif
