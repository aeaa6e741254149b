// wintext.exe TITLE: what a window titled TITLE shows, for tests that drive
// a Windows program under Wine and must read it back: one line per control
// (its id, class, whether it is visible and enabled, its text; a combo box's
// items and which is chosen), then the text of every message box of the same
// program. Text is written as UTF-8, a line break inside a text as \n.
//   wintext.exe --set-text TITLE ID TEXT   sets a control's text, as typing
//                                          would (its change is reported)
//   wintext.exe --close TITLE              closes the window, as its close
//                                          button does
// Exit status 1 when no such window exists.
#ifndef UNICODE
#define UNICODE
#endif
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

std::string utf8(const std::wstring& w) {
    if (w.empty()) return "";
    int n = WideCharToMultiByte(CP_UTF8, 0, w.c_str(), int(w.size()), nullptr, 0, nullptr, nullptr);
    std::string s(size_t(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.c_str(), int(w.size()), &s[0], n, nullptr, nullptr);
    std::string out;
    for (char c : s) {
        if (c == '\r') continue;
        if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

std::wstring text_of(HWND w) {
    DWORD_PTR n = 0;
    if (!SendMessageTimeoutW(w, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 2000, &n)) return L"";
    std::wstring t(size_t(n) + 1, L'\0');
    DWORD_PTR got = 0;
    SendMessageTimeoutW(w, WM_GETTEXT, WPARAM(n + 1), reinterpret_cast<LPARAM>(&t[0]), SMTO_ABORTIFHUNG, 2000, &got);
    t.resize(size_t(got));
    return t;
}

BOOL CALLBACK print_control(HWND w, LPARAM) {
    wchar_t cls[64];
    GetClassNameW(w, cls, 64);
    std::printf("control %d %s %s %s \"%s\"", GetDlgCtrlID(w), utf8(cls).c_str(),
                IsWindowVisible(w) ? "visible" : "hidden", IsWindowEnabled(w) ? "enabled" : "disabled",
                utf8(text_of(w)).c_str());
    if (lstrcmpiW(cls, L"ComboBox") == 0) {
        LRESULT count = SendMessageW(w, CB_GETCOUNT, 0, 0), chosen = SendMessageW(w, CB_GETCURSEL, 0, 0);
        std::printf(" items=%ld chosen=%ld", long(count), long(chosen));
        for (LRESULT i = 0; i < count; i++) {
            LRESULT len = SendMessageW(w, CB_GETLBTEXTLEN, WPARAM(i), 0);
            std::wstring item(size_t(len > 0 ? len : 0) + 1, L'\0');
            SendMessageW(w, CB_GETLBTEXT, WPARAM(i), reinterpret_cast<LPARAM>(&item[0]));
            item.resize(size_t(len > 0 ? len : 0));
            std::printf(" | \"%s\"", utf8(item).c_str());
        }
    }
    std::printf("\n");
    return TRUE;
}

DWORD g_process;

// A message box: its text is in its static child that is not the icon.
BOOL CALLBACK print_box_text(HWND w, LPARAM) {
    wchar_t cls[64];
    GetClassNameW(w, cls, 64);
    std::wstring t = text_of(w);
    if (lstrcmpiW(cls, L"Static") == 0 && !t.empty()) std::printf(" \"%s\"", utf8(t).c_str());
    return TRUE;
}

BOOL CALLBACK print_box(HWND w, LPARAM) {
    DWORD pid = 0;
    GetWindowThreadProcessId(w, &pid);
    wchar_t cls[64];
    GetClassNameW(w, cls, 64);
    if (pid != g_process || !IsWindowVisible(w) || lstrcmpW(cls, L"#32770") != 0) return TRUE;
    std::printf("box \"%s\":", utf8(text_of(w)).c_str());
    EnumChildWindows(w, print_box_text, 0);
    std::printf("\n");
    return TRUE;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 5 && lstrcmpW(argv[1], L"--set-text") == 0) {
        HWND w = FindWindowW(nullptr, argv[2]);
        HWND c = w ? GetDlgItem(w, _wtoi(argv[3])) : nullptr;
        if (!c) return 1;
        SendMessageW(c, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(argv[4]));
        return 0;
    }
    if (argc == 3 && lstrcmpW(argv[1], L"--close") == 0) {
        HWND w = FindWindowW(nullptr, argv[2]);
        if (!w) return 1;
        PostMessageW(w, WM_CLOSE, 0, 0);
        return 0;
    }
    if (argc != 2) {
        std::fprintf(stderr, "usage: wintext.exe TITLE | --set-text TITLE ID TEXT | --close TITLE\n");
        return 2;
    }
    HWND w = FindWindowW(nullptr, argv[1]);
    if (!w) {
        std::printf("no window \"%s\"\n", utf8(argv[1]).c_str());
        return 1;
    }
    RECT client;
    GetClientRect(w, &client);
    std::printf("window \"%s\" client %ldx%ld %s\n", utf8(text_of(w)).c_str(), long(client.right),
                long(client.bottom), IsWindowVisible(w) ? "visible" : "hidden");
    EnumChildWindows(w, print_control, 0);
    GetWindowThreadProcessId(w, &g_process);
    EnumWindows(print_box, 0);
    std::fflush(stdout);
    return 0;
}
