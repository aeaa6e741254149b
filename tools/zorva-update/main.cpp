// zorva-update: the updater in a console window, for owners who start it with
// a double-click (or drop an update file onto its icon) and for updates over
// SSH. It walks the wizard's steps in words: the amp's MIDI output, the update
// file, the restart into update mode, sending, the wait while the amp
// reprograms, and the amp's answer; then it waits for Enter, so that nothing
// vanishes unread when its window closes. It runs the update procedure that
// the wizard and ampctl run; its lines and exit statuses are ampctl's.
#include "midi/midi_out.h"
#include "midi/platform.h"
#include "update/amp_answer.h"
#include "update/amp_choice.h"
#include "update/update_console.h"
#include "update/update_file.h"
#include "update/safe_text.h"
#include "update/update_procedure.h"
#include "tools/zorva-update/answers.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#include <shellapi.h>
#endif

namespace {

const char kVersion[] = "zorva-update 1.00";

const char kHelp[] =
    "Usage: zorva-update [--restart-wait MS] [--update-wait MS] [FILE]\n"
    "Updates the software of a Zorva Pro amp through a MIDI output, step by step in\n"
    "this window: it proposes the amp's MIDI device (Enter takes it, a number picks\n"
    "another), asks for the update file unless FILE is given (typed, pasted, or\n"
    "dropped into the window; quotes, ~ and file:// addresses are understood), asks\n"
    "whether to restart the amp in update mode first, sends the update and waits\n"
    "while the amp reprograms itself, then says which version the amp reports.\n"
    "Nothing is sent before the restart question is answered. Ctrl-C while sending\n"
    "stops at a message boundary.\n"
    "\n"
    "  --restart-wait MS   wait after the restart request (default %ld)\n"
    "  --update-wait MS    wait after the last message (default %ld)\n"
    "  -h, --help          this text\n"
    "  --version           the program's version\n"
    "\n"
    "Exit status: 0 the amp reports a new version; 1 no device, it would not open\n"
    "or it failed, or no MIDI input from the amp; 2 a bad command line or the input\n"
    "ended; 3 the amp did not answer; 5 the file cannot be used; 6 stopped by\n"
    "Ctrl-C; 7 the amp reports the same version as before (unchanged: if the file\n"
    "holds another version, the update did not take).\n";

volatile std::sig_atomic_t g_stop = 0;
void on_signal(int) { g_stop = 1; }

// What ask() returns at the end of input.
const char kEndOfInput[] = "\x04";

// One line typed (or dropped) into the console, as UTF-8, without its line
// end. False at the end of input.
bool read_line(std::string* line) {
    line->clear();
#if defined(_WIN32)
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode;
    if (GetConsoleMode(in, &mode)) {
        wchar_t buf[1024];
        DWORD got = 0;
        if (!ReadConsoleW(in, buf, 1023, &got, nullptr) || got == 0) return false;
        int n = WideCharToMultiByte(CP_UTF8, 0, buf, int(got), nullptr, 0, nullptr, nullptr);
        line->resize(size_t(n));
        WideCharToMultiByte(CP_UTF8, 0, buf, int(got), &(*line)[0], n, nullptr, nullptr);
        while (!line->empty() && (line->back() == '\n' || line->back() == '\r')) line->pop_back();
        return true;
    }
#endif
    char buf[1024];
    if (!std::fgets(buf, sizeof buf, stdin)) return false;
    *line = buf;
    while (!line->empty() && (line->back() == '\n' || line->back() == '\r')) line->pop_back();
    return true;
}

std::string ask(const char* prompt) {
    std::printf("%s", prompt);
    std::fflush(stdout);
    std::string line;
    if (!read_line(&line)) {
        std::printf("\n");
        return kEndOfInput;
    }
    return line;
}

std::string trimmed(const std::string& s) {
    size_t a = s.find_first_not_of(" \t"), b = s.find_last_not_of(" \t");
    return a == std::string::npos ? "" : s.substr(a, b - a + 1);
}

// Text from outside, safe for the terminal.
std::string shown(const std::string& raw) {
    std::vector<char> out(raw.size() * 4 + 1);
    return safe_text(raw.c_str(), out.data(), out.size());
}

// Every way out: the last words stay on the screen until Enter.
int finish(int status) {
    std::printf("\n");
    ask("Press Enter to close this window.");
    return status;
}

// A yes/no question: Enter takes `yes_by_default`, and only yes or no words
// count; anything else asks again. ANSWER_DEFAULT never comes back: the
// result is ANSWER_YES, ANSWER_NO, or -1 at the end of the input.
int ask_yes_no(const char* prompt, bool yes_by_default) {
    for (;;) {
        std::string line = ask(prompt);
        if (line == kEndOfInput) return -1;
        int a = yes_no_of(line);
        if (a == ANSWER_DEFAULT) return yes_by_default ? ANSWER_YES : ANSWER_NO;
        if (a != ANSWER_UNCLEAR) return a;
        std::printf("Please answer y (yes) or n (no), or press Enter for %s.\n", yes_by_default ? "yes" : "no");
    }
}

// The output devices, and the one the wizard would choose.
int choose_port(std::string* chosen) {
    std::vector<std::string> names;
    int count = midi_out_device_count();
    for (int i = 0; i < count; i++) {
        const char* n = midi_out_device_name(i);
        if (n) names.push_back(n);
    }
    if (names.empty()) {
        int problem = midi_system_problem();
        std::printf("No MIDI output device was found.%s%s\n", problem ? " " : "",
                    problem ? midi_system_problem_text(problem) : "");
        std::printf("Connect the amp by USB or MIDI and switch it on, then start again.\n");
        return EXIT_DEVICE;
    }
    char pick[MIDI_NAME_SIZE] = "";
    amp_pick_output(pick, sizeof pick);
    std::printf("The MIDI output devices:\n");
    size_t proposed = 0;
    for (size_t i = 0; i < names.size(); i++) {
        if (names[i] == pick) proposed = i;
        std::printf("  %zu) %s%s\n", i + 1, shown(names[i]).c_str(), names[i] == pick ? "   <- the amp" : "");
    }
    for (;;) {
        char prompt[1400];
        std::snprintf(prompt, sizeof prompt, "Press Enter to use %zu) %s, or type the number of another: ",
                      proposed + 1, shown(names[proposed]).c_str());
        std::string answer = trimmed(ask(prompt));
        if (answer == kEndOfInput) return EXIT_USAGE;
        if (answer.empty()) break;
        char* end = nullptr;
        long n = std::strtol(answer.c_str(), &end, 10);
        if (*end == '\0' && n >= 1 && size_t(n) <= names.size()) {
            proposed = size_t(n - 1);
            break;
        }
        std::printf("That is not one of the numbers 1 to %zu.\n", names.size());
    }
    *chosen = names[proposed];
    return EXIT_OK;
}

std::string home_folder() {
#if defined(_WIN32)
    const char* h = std::getenv("USERPROFILE");
#else
    const char* h = std::getenv("HOME");
#endif
    return h ? h : "";
}

#if defined(_WIN32)
constexpr bool kWindows = true;
#else
constexpr bool kWindows = false;
#endif

// The update file, loaded and checked as the wizard does. A name that does
// not give a usable file is said with the reason, and another is asked for,
// until one loads or the input ends.
int load(std::string given) {
    bool refused = false;  // a file was named and could not be used
    for (;;) {
        std::string typed = given;
        given.clear();
        while (typed.empty()) {
            typed = ask("Type the update file's name, or drop the file into this window, then press Enter:\n> ");
            if (typed == kEndOfInput) return refused ? EXIT_FILE : EXIT_USAGE;
            typed = trimmed(typed);
        }
        std::string path = file_name_of(typed, home_folder(), kWindows);
        int code = update_file_load(path.c_str());
        if (code == LOAD_OK) {
            std::printf("The update file %s holds %zu messages, %zu kB.\n", shown(path).c_str(),
                        sysex_message_count(update_file_bytes(), update_file_size()),
                        (update_file_size() + 512) / 1024);
            return EXIT_OK;
        }
        std::printf("%s: %s. %s\n", update_load_error_text(code), shown(path).c_str(), update_file_reason());
        refused = true;
    }
}

// Says how the part of the procedure that just ran ended, when it has
// something to say; returns its exit status.
int say_end(const UpdateConsole* c, int end) {
    char line[800];
    int status = update_console_end_text(c, update_proc_part(), end, line, sizeof line);
    if (line[0]) std::printf("%s\n", line);
    return status;
}

bool parse_ms(const char* s, long* out) {
    char* end = nullptr;
    long v = s ? std::strtol(s, &end, 10) : -1;
    if (!s || *end || v < 0 || v > 3600000) return false;
    *out = v;
    return true;
}

// The command line as UTF-8 (Windows hands programs their arguments in the
// local code page, which cannot spell every file name).
std::vector<std::string> arguments(int argc, char** argv) {
    std::vector<std::string> args;
#if defined(_WIN32)
    int n = 0;
    wchar_t** w = CommandLineToArgvW(GetCommandLineW(), &n);
    for (int i = 1; w && i < n; i++) {
        int len = WideCharToMultiByte(CP_UTF8, 0, w[i], -1, nullptr, 0, nullptr, nullptr);
        std::string a(size_t(len > 0 ? len - 1 : 0), '\0');
        if (len > 1) WideCharToMultiByte(CP_UTF8, 0, w[i], -1, &a[0], len, nullptr, nullptr);
        args.push_back(a);
    }
    if (w) LocalFree(w);
    (void)argc;
    (void)argv;
#else
    for (int i = 1; i < argc; i++) args.push_back(argv[i]);
#endif
    return args;
}

}  // namespace

int main(int argc, char** argv) {
#if defined(_WIN32)
    SetConsoleOutputCP(CP_UTF8);
#endif
    UpdateConsole c = update_console_defaults();
    c.stop = &g_stop;
    c.resend_how = "start zorva-update again and answer n to the restart question";
    std::string path;
    std::vector<std::string> args = arguments(argc, argv);
    for (size_t i = 0; i < args.size(); i++) {
        const std::string& a = args[i];
        if (a == "-h" || a == "--help") {
            std::printf(kHelp, c.restart_wait_ms, c.update_wait_ms);
            return EXIT_OK;
        }
        if (a == "--version") {
            std::printf("%s\n", kVersion);
            return EXIT_OK;
        }
        long* wait = a == "--restart-wait" ? &c.restart_wait_ms : a == "--update-wait" ? &c.update_wait_ms : nullptr;
        if (wait) {
            if (i + 1 >= args.size() || !parse_ms(args[i + 1].c_str(), wait)) {
                std::fprintf(stderr, "zorva-update: %s: expected milliseconds 0..3600000\n", a.c_str());
                return EXIT_USAGE;
            }
            i++;
        } else if (path.empty() && (a.empty() || a[0] != '-')) {
            path = a;  // a file dropped onto the icon
        } else {
            std::fprintf(stderr, "zorva-update: unknown option or extra argument: %s (see --help)\n", a.c_str());
            return EXIT_USAGE;
        }
    }
    std::signal(SIGINT, on_signal);
    std::signal(SIGTERM, on_signal);
    std::printf("Zorva Pro updater: this updates the software in a Zorva Pro amp via MIDI or USB.\n"
                "The amp must be powered and the USB or MIDI cables connected.\n\n");

    std::string port;
    int status = choose_port(&port);
    if (status != EXIT_OK) return finish(status);
    std::printf("\n");
    status = load(path);
    if (status != EXIT_OK) return finish(status);

    // Nothing goes to the amp before the owner has said whether it must
    // restart: one already in update mode is asked nothing at all.
    std::printf("\nIf the amp is not already in update mode it must restart in update mode now.\n");
    int restart = ask_yes_no("Restart the amp in update mode? Press Enter for yes, or type n if it is ready: ", true);
    if (restart < 0) return finish(EXIT_USAGE);

    answer_reset();
    int end = update_console_open(&c, port.c_str(), restart == ANSWER_NO);
    if (end == END_NO_PORT) {
        std::printf("%s: %s\n", UPDATE_TEXT_OPEN_FAILED, shown(port).c_str());
        if (update_port_problem()[0]) std::printf("%s\n", update_port_problem());
        return finish(EXIT_DEVICE);
    }
    if (end != END_DONE) return finish(say_end(&c, end));
    if (answer_state() == ANSWER_GOT) std::printf("The amp reports version %s.\n", shown(answer_version()).c_str());

    if (restart == ANSWER_YES) {
        end = update_console_restart(&c, port.c_str());
        if (end != END_DONE) return finish(say_end(&c, end));
    }

    std::printf("\n");
    end = update_console_send(&c, port.c_str(), update_file_bytes(), update_file_size());
    if (end == END_NONE) end = update_console_finish(&c);
    update_port_close();
    if (end == END_DONE) std::printf("\n");
    return finish(say_end(&c, end));
}
