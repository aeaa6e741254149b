#include "tools/zorva-update/answers.h"

#include <cctype>

namespace {

std::string trimmed(const std::string& s) {
    size_t a = s.find_first_not_of(" \t\r\n"), b = s.find_last_not_of(" \t\r\n");
    return a == std::string::npos ? "" : s.substr(a, b - a + 1);
}

std::string lower(std::string s) {
    for (char& ch : s) ch = char(std::tolower(static_cast<unsigned char>(ch)));
    return s;
}

int hex_digit(char ch) {
    if (ch >= '0' && ch <= '9') return ch - '0';
    ch = char(std::tolower(static_cast<unsigned char>(ch)));
    return ch >= 'a' && ch <= 'f' ? ch - 'a' + 10 : -1;
}

// "file:///home/o/my%20update.syx" (or file://localhost/...) to its path;
// false when `s` is no file address.
bool from_file_uri(const std::string& s, std::string* path, bool windows) {
    if (lower(s.substr(0, 7)) != "file://") return false;
    std::string rest = s.substr(7);
    if (lower(rest.substr(0, 9)) == "localhost") rest = rest.substr(9);
    if (rest.empty() || rest[0] != '/') return false;
    std::string out;
    for (size_t i = 0; i < rest.size(); i++) {
        int hi, lo;
        if (rest[i] == '%' && i + 2 < rest.size() && (hi = hex_digit(rest[i + 1])) >= 0 &&
            (lo = hex_digit(rest[i + 2])) >= 0) {
            out += char(hi * 16 + lo);
            i += 2;
        } else {
            out += rest[i];
        }
    }
    // file:///C:/Users/... names C:/Users/... on Windows.
    if (windows && out.size() >= 3 && out[0] == '/' && std::isalpha(static_cast<unsigned char>(out[1])) &&
        out[2] == ':')
        out = out.substr(1);
    *path = out;
    return true;
}

// `s` read as exactly one shell word; false when it is more than one, or its
// quotes do not close.
bool one_shell_word(const std::string& s, std::string* word) {
    std::string out;
    size_t i = 0;
    while (i < s.size()) {
        char ch = s[i];
        if (ch == '\'') {
            size_t end = s.find('\'', i + 1);
            if (end == std::string::npos) return false;
            out += s.substr(i + 1, end - i - 1);
            i = end + 1;
        } else if (ch == '"') {
            i++;
            for (;; i++) {
                if (i >= s.size()) return false;
                if (s[i] == '"') break;
                if (s[i] == '\\' && i + 1 < s.size() && std::string("\"\\$`").find(s[i + 1]) != std::string::npos) i++;
                out += s[i];
            }
            i++;
        } else if (ch == '\\') {
            if (i + 1 >= s.size()) return false;
            out += s[i + 1];
            i += 2;
        } else if (ch == ' ' || ch == '\t') {
            return false;  // a second word
        } else {
            out += ch;
            i++;
        }
    }
    *word = out;
    return true;
}

}  // namespace

int yes_no_of(const std::string& line) {
    std::string a = lower(trimmed(line));
    if (a.empty()) return ANSWER_DEFAULT;
    if (a == "y" || a == "yes") return ANSWER_YES;
    if (a == "n" || a == "no") return ANSWER_NO;
    return ANSWER_UNCLEAR;
}

std::string file_name_of(const std::string& line, const std::string& home, bool windows) {
    std::string s = trimmed(line);
    std::string path;
    if (from_file_uri(s, &path, windows)) return path;
    if (windows) {
        if (s.size() >= 2 && s.front() == '"' && s.back() == '"') s = s.substr(1, s.size() - 2);
        return s;
    }
    std::string word;
    if (!one_shell_word(s, &word)) return s;
    // A ~ that the shell would have expanded: only an unquoted one at the start.
    if (!home.empty() && (s == "~" || s.rfind("~/", 0) == 0) && (word == "~" || word.rfind("~/", 0) == 0))
        word = home + word.substr(1);
    return word;
}
