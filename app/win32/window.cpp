// The Win32 side's main window: the window of app/layout.h built from
// Windows' own controls, the keyboard rules of the FLTK side written for
// them, and the operations by which the wizard drives the window. Everything
// runs on the one GUI thread. Text is UTF-8 on the wizard's side and UTF-16
// on the system's; every name from outside is shown through safe_text.
#include "app/win32/win32.h"

#include <commctrl.h>
#include <commdlg.h>

#include <cstring>
#include <string>
#include <vector>

#include "app/app.h"
#include "app/layout.h"
#include "app/window.h"
#include "update/amp_choice.h"
#include "update/safe_text.h"

namespace {

const wchar_t kClassName[] = L"ZorvaProUpdaterWindow";

// Control ids of the widgets that are not buttons (the buttons' are their
// button ids, 4001..4004).
constexpr int ID_PAGE_TEXT = 100;
constexpr int ID_UPPER_ARROW = 101;
constexpr int ID_LOWER_ARROW = 102;
constexpr int ID_CHOICE = 103;
constexpr int ID_INPUT = 104;
constexpr int ID_CHOICE_LABEL = 105;
constexpr int ID_INPUT_LABEL = 106;
constexpr int ID_PROGRESS = 107;
constexpr int ID_RESULT = 108;

HWND main_window;
HWND slots[WIDGET_ID_LAST + 1];  // by widget id, 2..7
HWND page_text_area, upper_arrow, lower_arrow, choice_label, input_label, progress_bar, result_line;
int marked_row;
UINT dpi = 96;
HFONT font_normal, font_page, font_small;

std::string page_text_now;
std::string result_now;
std::string progress_label;
double progress_fraction = -1;  // hidden
std::string file_name_now;

int port_count;
std::vector<std::string> port_names;  // exactly as listed, one per entry

int scale(int v) { return MulDiv(v, int(dpi), 96); }

// What the system offers beyond Windows 7, when it does.
using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
using AdjustForDpiFn = BOOL(WINAPI*)(LPRECT, DWORD, BOOL, DWORD, UINT);

UINT dpi_of(HWND w) {
    static auto fn = reinterpret_cast<GetDpiForWindowFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
    if (fn && w) return fn(w);
    HDC dc = GetDC(nullptr);
    UINT d = UINT(GetDeviceCaps(dc, LOGPIXELSX));
    ReleaseDC(nullptr, dc);
    return d ? d : 96;
}

// The window's outer size for a client area of the layout's size.
SIZE outer_size(DWORD style) {
    RECT r = {0, 0, scale(APP_WINDOW_W), scale(APP_WINDOW_H)};
    static auto fn = reinterpret_cast<AdjustForDpiFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "AdjustWindowRectExForDpi")));
    if (fn)
        fn(&r, style, FALSE, 0, dpi);
    else
        AdjustWindowRectEx(&r, style, FALSE, 0);
    return {r.right - r.left, r.bottom - r.top};
}

HFONT make_font(int pixels) {
    NONCLIENTMETRICSW m = {};
    m.cbSize = sizeof m;
    SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof m, &m, 0);
    LOGFONTW f = m.lfMessageFont;
    f.lfHeight = -scale(pixels);
    f.lfWidth = 0;
    return CreateFontIndirectW(&f);
}

void make_fonts() {
    for (HFONT* f : {&font_normal, &font_page, &font_small}) {
        if (*f) DeleteObject(*f);
        *f = nullptr;
    }
    font_normal = make_font(14);
    font_page = make_font(PAGE_TEXT_SIZE);
    font_small = make_font(RESULT_TEXT_SIZE);
}

void place(HWND w, int x, int y, int width, int height) {
    SetWindowPos(w, nullptr, scale(x), scale(y), scale(width), scale(height), SWP_NOZORDER | SWP_NOACTIVATE);
}

void set_font(HWND w, HFONT f) { SendMessageW(w, WM_SETFONT, reinterpret_cast<WPARAM>(f), TRUE); }

// Everything where the layout puts it, for the window's DPI. A label sits to
// the left of its widget, right-aligned against it, as the toolkit draws one.
void lay_out() {
    for (const ButtonSpec& b : BUTTON_TABLE) {
        place(slots[b.widget_id], b.x, b.y, b.w, b.h);
        set_font(slots[b.widget_id], font_normal);
    }
    place(upper_arrow, UPPER_ARROW.x, UPPER_ARROW.y, UPPER_ARROW.w, UPPER_ARROW.h);
    place(lower_arrow, LOWER_ARROW.x, LOWER_ARROW.y, LOWER_ARROW.w, LOWER_ARROW.h);
    place(page_text_area, PAGE_TEXT.x, PAGE_TEXT.y, PAGE_TEXT.w, PAGE_TEXT.h);
    set_font(page_text_area, font_page);
    // The drop-down list's own height includes its list.
    place(slots[WIDGET_PORT_CHOICE], PORT_CHOICE.x, PORT_CHOICE.y, PORT_CHOICE.w, PORT_CHOICE.h + 200);
    set_font(slots[WIDGET_PORT_CHOICE], font_normal);
    SendMessageW(slots[WIDGET_PORT_CHOICE], CB_SETITEMHEIGHT, WPARAM(-1), scale(PORT_CHOICE.h) - 6);
    place(choice_label, PORT_CHOICE.x - 104, PORT_CHOICE.y, 100, PORT_CHOICE.h);
    set_font(choice_label, font_normal);
    place(slots[WIDGET_FILE_INPUT], FILE_INPUT.x, FILE_INPUT.y, FILE_INPUT.w, FILE_INPUT.h);
    set_font(slots[WIDGET_FILE_INPUT], font_normal);
    place(input_label, FILE_INPUT.x - 64, FILE_INPUT.y, 60, FILE_INPUT.h);
    set_font(input_label, font_normal);
    place(progress_bar, PROGRESS_BAR.x, PROGRESS_BAR.y, PROGRESS_BAR.w, PROGRESS_BAR.h);
    place(result_line, RESULT_LINE.x, RESULT_LINE.y, RESULT_LINE.w, RESULT_LINE.h);
    set_font(result_line, font_small);
}

HWND child(const wchar_t* cls, const wchar_t* text, DWORD style, int id, DWORD ex_style = 0) {
    return CreateWindowExW(ex_style, cls, text, WS_CHILD | style, 0, 0, 10, 10, main_window,
                           reinterpret_cast<HMENU>(INT_PTR(id)), GetModuleHandleW(nullptr), nullptr);
}

int widget_id_of(HWND w) {
    for (int id = WIDGET_ID_FIRST; id <= WIDGET_ID_LAST; id++)
        if (slots[id] && slots[id] == w) return id;
    return 0;
}

// What a button press posts: the event of its id (4001 -> 2, ..., 4004 ->
// 5), only while it is active.
void button_pressed(int button_id) {
    for (const ButtonSpec& b : BUTTON_TABLE) {
        if (b.id != button_id) continue;
        if (IsWindowEnabled(slots[b.widget_id])) post_event(b.widget_id);
        return;
    }
}

// The marker left of the row the page is about: an arrow drawn in the
// toolkit's dark grey.
void draw_arrow(const DRAWITEMSTRUCT* d) {
    RECT r = d->rcItem;
    FillRect(d->hDC, &r, GetSysColorBrush(COLOR_BTNFACE));
    int w = r.right - r.left, h = r.bottom - r.top;
    POINT p[7] = {
        {r.left + w * 15 / 100, r.top + h * 40 / 100}, {r.left + w * 55 / 100, r.top + h * 40 / 100},
        {r.left + w * 55 / 100, r.top + h * 20 / 100}, {r.left + w * 88 / 100, r.top + h / 2},
        {r.left + w * 55 / 100, r.top + h * 80 / 100}, {r.left + w * 55 / 100, r.top + h * 60 / 100},
        {r.left + w * 15 / 100, r.top + h * 60 / 100},
    };
    HBRUSH b = CreateSolidBrush(RGB(85, 85, 85));
    HPEN pen = CreatePen(PS_SOLID, 1, RGB(85, 85, 85));
    HGDIOBJ ob = SelectObject(d->hDC, b), op = SelectObject(d->hDC, pen);
    Polygon(d->hDC, p, 7);
    SelectObject(d->hDC, ob);
    SelectObject(d->hDC, op);
    DeleteObject(b);
    DeleteObject(pen);
}

// The bar of the transfer and the waits, with its label inside, black on both
// the filled and the empty part.
void draw_progress(const DRAWITEMSTRUCT* d) {
    RECT r = d->rcItem;
    HBRUSH white = CreateSolidBrush(RGB(255, 255, 255)), fill = CreateSolidBrush(RGB(140, 180, 235));
    FillRect(d->hDC, &r, white);
    RECT done = r;
    double f = progress_fraction < 0 ? 0 : progress_fraction > 1 ? 1 : progress_fraction;
    done.right = r.left + LONG(double(r.right - r.left) * f + 0.5);
    FillRect(d->hDC, &done, fill);
    FrameRect(d->hDC, &r, GetSysColorBrush(COLOR_BTNSHADOW));
    DeleteObject(white);
    DeleteObject(fill);
    SetBkMode(d->hDC, TRANSPARENT);
    SetTextColor(d->hDC, RGB(0, 0, 0));
    HGDIOBJ of = SelectObject(d->hDC, font_small);
    std::wstring text = win32_wide(progress_label.c_str());
    DrawTextW(d->hDC, text.c_str(), int(text.size()), &r, DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
    SelectObject(d->hDC, of);
}

LRESULT CALLBACK window_proc(HWND w, UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
        case WM_COMMAND:
            win32_command(wp, lp);
            return 0;
        case WM_TIMER:
            win32_timer(wp);
            return 0;
        case WM_CLOSE:
            win32_close();
            return 0;
        case WM_DRAWITEM: {
            const DRAWITEMSTRUCT* d = reinterpret_cast<const DRAWITEMSTRUCT*>(lp);
            if (d->CtlID == ID_PROGRESS) draw_progress(d);
            if (d->CtlID == ID_UPPER_ARROW || d->CtlID == ID_LOWER_ARROW) draw_arrow(d);
            return TRUE;
        }
        case WM_CTLCOLORSTATIC: {
            // The page text and the labels on the window's own colour (a
            // greyed label keeps the grey the system draws it in).
            HDC dc = reinterpret_cast<HDC>(wp);
            SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
            HWND from = reinterpret_cast<HWND>(lp);
            SetTextColor(dc, GetSysColor(IsWindowEnabled(from) ? COLOR_WINDOWTEXT : COLOR_GRAYTEXT));
            return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
        }
        case WM_DPICHANGED: {
            // Sharp at any scale: new fonts and places for the new DPI.
            dpi = HIWORD(wp);
            make_fonts();
            const RECT* r = reinterpret_cast<const RECT*>(lp);
            SetWindowPos(w, nullptr, r->left, r->top, r->right - r->left, r->bottom - r->top,
                         SWP_NOZORDER | SWP_NOACTIVATE);
            lay_out();
            return 0;
        }
        default:
            return DefWindowProcW(w, msg, wp, lp);
    }
}

}  // namespace

std::wstring win32_wide(const char* utf8) {
    if (!utf8 || !*utf8) return std::wstring();
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0);
    std::wstring w(size_t(n > 0 ? n : 1), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8, -1, &w[0], n);
    w.resize(w.size() - 1);
    return w;
}

std::string win32_utf8(const wchar_t* wide) {
    if (!wide || !*wide) return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    std::string s(size_t(n > 0 ? n : 1), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide, -1, &s[0], n, nullptr, nullptr);
    s.resize(s.size() - 1);
    return s;
}

HWND win32_create_window(std::wstring* why) {
    INITCOMMONCONTROLSEX icc = {sizeof icc, ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&icc);
    HINSTANCE inst = GetModuleHandleW(nullptr);
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = window_proc;
    wc.hInstance = inst;
    wc.hIcon = LoadIconW(inst, MAKEINTRESOURCEW(WIN32_ICON_ID));
    wc.hIconSm = wc.hIcon;
    wc.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // the arrow
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = kClassName;
    if (!RegisterClassExW(&wc) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
        *why = L"the window class could not be registered";
        return nullptr;
    }
    const DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
    std::wstring title = win32_wide(APP_WINDOW_TITLE);
    main_window = CreateWindowExW(0, kClassName, title.c_str(), style, CW_USEDEFAULT, CW_USEDEFAULT, 600, 400,
                                  nullptr, nullptr, inst, nullptr);
    if (!main_window) {
        *why = L"the main window could not be made";
        return nullptr;
    }
    dpi = dpi_of(main_window);
    SIZE s = outer_size(style);
    SetWindowPos(main_window, nullptr, 0, 0, s.cx, s.cy, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    make_fonts();

    // In the toolkit's creation order: the buttons, the arrows, the page
    // text, the choice, the input; then the bar and the Done line.
    for (const ButtonSpec& b : BUTTON_TABLE) {
        std::wstring label = win32_wide(b.label);
        slots[b.widget_id] = child(L"BUTTON", label.c_str(), WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, b.id);
    }
    upper_arrow = child(L"STATIC", L"", SS_OWNERDRAW, ID_UPPER_ARROW);
    lower_arrow = child(L"STATIC", L"", SS_OWNERDRAW, ID_LOWER_ARROW);
    page_text_area = child(L"STATIC", L"", WS_VISIBLE | SS_LEFT | SS_NOPREFIX, ID_PAGE_TEXT);
    std::wstring choice_text = win32_wide(PORT_CHOICE.label), input_text = win32_wide(FILE_INPUT.label);
    choice_label = child(L"STATIC", choice_text.c_str(), WS_VISIBLE | SS_RIGHT | SS_CENTERIMAGE | SS_NOPREFIX,
                         ID_CHOICE_LABEL);
    // The choice takes no keyboard focus (no tab stop); the input does.
    slots[WIDGET_PORT_CHOICE] = child(WC_COMBOBOXW, L"", WS_VISIBLE | WS_VSCROLL | CBS_DROPDOWNLIST, ID_CHOICE);
    input_label = child(L"STATIC", input_text.c_str(), WS_VISIBLE | SS_RIGHT | SS_CENTERIMAGE | SS_NOPREFIX,
                        ID_INPUT_LABEL);
    slots[WIDGET_FILE_INPUT] =
        child(L"EDIT", L"", WS_VISIBLE | WS_TABSTOP | ES_AUTOHSCROLL, ID_INPUT, WS_EX_CLIENTEDGE);
    progress_bar = child(L"STATIC", L"", SS_OWNERDRAW, ID_PROGRESS);
    result_line = child(L"STATIC", L"", SS_LEFT | SS_NOPREFIX, ID_RESULT);
    for (int id = WIDGET_ID_FIRST; id <= WIDGET_ID_LAST; id++) {
        if (!slots[id]) {
            *why = L"a widget of the window could not be made";
            DestroyWindow(main_window);
            main_window = nullptr;
            return nullptr;
        }
    }
    lay_out();
    // Underlined letters always shown, as on the toolkit's side, not only
    // once Alt is pressed.
    SendMessageW(main_window, WM_CHANGEUISTATE, MAKEWPARAM(UIS_CLEAR, UISF_HIDEACCEL), 0);
    marked_row = 0;
    port_count = 0;
    port_names.clear();
    return main_window;
}

// --------------------------------------------------------------- reactions

void win32_command(WPARAM wp, LPARAM lp) {
    int id = LOWORD(wp), code = HIWORD(wp);
    HWND from = reinterpret_cast<HWND>(lp);
    if (id >= 4001 && id <= 4004 && code == BN_CLICKED) {
        button_pressed(id);
    } else if (id == ID_CHOICE && code == CBN_SELCHANGE && from == slots[WIDGET_PORT_CHOICE]) {
        if (IsWindowEnabled(from)) post_event(EVENT_PORT_CHANGED);
    } else if (id == ID_CHOICE && code == CBN_CLOSEUP) {
        // The choice takes no keyboard focus: a click leaves it where it was.
        if (GetFocus() == from) SetFocus(slots[WIDGET_NEXT]);
    } else if (id == ID_INPUT && code == EN_CHANGE && from == slots[WIDGET_FILE_INPUT]) {
        if (IsWindowEnabled(from)) post_event(EVENT_FILE_NAME_CHANGED);
    }
}

bool win32_take_key(const MSG* m) {
    if (m->message != WM_KEYDOWN && m->message != WM_SYSKEYDOWN && m->message != WM_SYSCHAR) return false;
    if (!main_window || (m->hwnd != main_window && !IsChild(main_window, m->hwnd))) return false;
    if (m->message == WM_SYSCHAR) return true;  // Alt+letter was handled on its key press: no beep
    WPARAM vk = m->wParam;
    HWND focus = GetFocus();
    int focused = widget_id_of(focus);
    bool on_button = focused >= WIDGET_CHOOSE_BUTTON && focused <= WIDGET_SKIP;
    bool alt = m->message == WM_SYSKEYDOWN;
    if (vk == VK_ESCAPE) return true;  // never closes the window
    if (vk == VK_SPACE || vk == VK_RETURN) {
        // Space and Enter press only the focused button, once per press.
        if (on_button) {
            for (const ButtonSpec& b : BUTTON_TABLE)
                if (b.widget_id == focused) button_pressed(b.id);
            return true;
        }
        return vk == VK_RETURN;  // a Space in the input is typed
    }
    int mask = vk == VK_BACK || vk == VK_LEFT || vk == VK_RIGHT ? KEY_MASK_BACKSPACE_LEFT_RIGHT
               : vk == VK_UP || vk == VK_DOWN                  ? KEY_MASK_UP_DOWN
                                                               : 0;
    if (mask) return (key_mask_of_widget(focused) & mask) == 0;  // swallowed unless the widget takes it
    // The letter of Back, Next or Skip: alone, unless the input takes it as
    // typing, or with Alt. An inactive button's letter does nothing.
    bool letter = (vk >= 'A' && vk <= 'Z') || (vk >= '0' && vk <= '9');
    if (!letter || (!alt && focused == WIDGET_FILE_INPUT)) return false;
    if (GetKeyState(VK_CONTROL) < 0) return false;
    int key = int(vk >= 'A' && vk <= 'Z' ? vk - 'A' + 'a' : vk);
    for (int id = WIDGET_BACK; id <= WIDGET_SKIP; id++) {
        wchar_t label[64];
        GetWindowTextW(slots[id], label, 64);
        if (app_shortcut_letter(win32_utf8(label).c_str()) != key) continue;
        if (IsWindowEnabled(slots[id])) post_event(id);
        return true;
    }
    return alt;
}

// ------------------------------------------------------------- port list

void clear_port_list() {
    if (slots[WIDGET_PORT_CHOICE]) SendMessageW(slots[WIDGET_PORT_CHOICE], CB_RESETCONTENT, 0, 0);
    port_names.clear();
    port_count = 0;
}

int port_list_add(const char* name) {
    HWND c = slots[WIDGET_PORT_CHOICE];
    if (!c || !name) return port_count;
    // The name comes from the system: shown with its control characters
    // escaped, kept exactly as listed for opening.
    std::vector<char> shown(std::strlen(name) * 4 + 1);
    std::wstring label = win32_wide(safe_text(name, shown.data(), shown.size()));
    LRESULT index = SendMessageW(c, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(label.c_str()));
    if (index < 0) return port_count;
    port_names.resize(size_t(index) + 1);
    port_names[size_t(index)] = name;
    if (amp_choice_takes(name, port_count)) SendMessageW(c, CB_SETCURSEL, WPARAM(index), 0);
    port_count += 1;
    return port_count;
}

const char* chosen_port_name() {
    HWND c = slots[WIDGET_PORT_CHOICE];
    if (!c) return nullptr;
    LRESULT index = SendMessageW(c, CB_GETCURSEL, 0, 0);
    if (index < 0 || size_t(index) >= port_names.size()) return nullptr;
    return port_names[size_t(index)].c_str();
}

// ------------------------------------------------------------- file name

const char* file_name() {
    HWND in = slots[WIDGET_FILE_INPUT];
    if (!in) return nullptr;
    int n = GetWindowTextLengthW(in);
    if (n <= 0) return nullptr;
    std::wstring w(size_t(n) + 1, L'\0');
    GetWindowTextW(in, &w[0], n + 1);
    file_name_now = win32_utf8(w.c_str());
    return file_name_now.empty() ? nullptr : file_name_now.c_str();
}

void open_file_chooser() {
    // Windows' own Open dialog: modal, its own loop meanwhile; ticks and what
    // the user does wait in the queue until it is closed.
    wchar_t path[32768] = L"";
    std::wstring title = L"Select update file for amp";
    OPENFILENAMEW o = {};
    o.lStructSize = sizeof o;
    o.hwndOwner = main_window;
    o.lpstrFilter = L"Update files (*.syx)\0*.syx\0All files (*.*)\0*.*\0";
    o.lpstrFile = path;
    o.nMaxFile = 32768;
    o.lpstrTitle = title.c_str();
    o.lpstrInitialDir = L".";
    o.Flags = OFN_EXPLORER | OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY;
    if (!GetOpenFileNameW(&o)) return;
    SetWindowTextW(slots[WIDGET_FILE_INPUT], path);
    post_event(EVENT_FILE_NAME_CHANGED);
}

void close_file_chooser() {}

// ------------------------------------------------------- page operations

void set_widget_active(int id, int flag) {
    if (id < WIDGET_ID_FIRST || id > WIDGET_ID_LAST || !slots[id]) return;
    EnableWindow(slots[id], flag ? TRUE : FALSE);
    // A label is greyed with its widget, as the toolkit draws it.
    if (id == WIDGET_PORT_CHOICE) EnableWindow(choice_label, flag ? TRUE : FALSE);
    if (id == WIDGET_FILE_INPUT) EnableWindow(input_label, flag ? TRUE : FALSE);
}

int widget_active(int id) {
    return id >= WIDGET_ID_FIRST && id <= WIDGET_ID_LAST && slots[id] && IsWindowEnabled(slots[id]);
}

void set_button_label(int id, const char* text) {
    if (id < WIDGET_BACK || id > WIDGET_SKIP || text == nullptr || !slots[id]) return;
    SetWindowTextW(slots[id], win32_wide(text).c_str());
}

void focus_widget(int id) {
    // The choice never takes the keyboard focus; the focus stays where it was.
    if (id < WIDGET_ID_FIRST || id > WIDGET_ID_LAST || id == WIDGET_PORT_CHOICE || !slots[id]) return;
    SetFocus(slots[id]);
}

void mark_arrow(int row) {
    ShowWindow(upper_arrow, row == 1 ? SW_SHOW : SW_HIDE);
    ShowWindow(lower_arrow, row == 2 ? SW_SHOW : SW_HIDE);
    marked_row = row == 1 || row == 2 ? row : 0;
}

int marked_arrow_row() { return marked_row; }

void set_page_text(const char* text) {
    page_text_now = text ? text : "";
    if (page_text_area) SetWindowTextW(page_text_area, win32_wide(page_text_now.c_str()).c_str());
}

const char* page_text() { return page_text_area ? page_text_now.c_str() : nullptr; }

void show_progress(double fraction, const char* label) {
    if (!progress_bar) return;
    if (fraction < 0) fraction = 0;
    if (fraction > 1) fraction = 1;
    std::string l = label ? label : "";
    bool changed = l != progress_label || fraction != progress_fraction;
    progress_label = l;
    progress_fraction = fraction;
    if (!IsWindowVisible(progress_bar)) ShowWindow(progress_bar, SW_SHOW);
    if (changed) InvalidateRect(progress_bar, nullptr, FALSE);
}

void hide_progress() {
    if (progress_bar && IsWindowVisible(progress_bar)) ShowWindow(progress_bar, SW_HIDE);
    progress_fraction = -1;
}

void set_result_line(const char* text) {
    if (!result_line) return;
    if (text == nullptr || *text == '\0') {
        if (IsWindowVisible(result_line)) ShowWindow(result_line, SW_HIDE);
        result_now.clear();
        return;
    }
    if (result_now != text) {
        result_now = text;
        SetWindowTextW(result_line, win32_wide(text).c_str());
    }
    if (!IsWindowVisible(result_line)) ShowWindow(result_line, SW_SHOW);
}

double progress_value() { return progress_bar && IsWindowVisible(progress_bar) ? progress_fraction : -1; }

const char* result_line_text() {
    return result_line && IsWindowVisible(result_line) ? result_now.c_str() : "";
}
