#include "tests/support/amp_report.h"

#include <chrono>
#include <cstdio>
#include <thread>

std::string read_file(const std::string& path) {
    std::string s;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return s;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
    std::fclose(f);
    return s;
}

std::string field(const std::string& json, const std::string& key) {
    size_t at = json.find("\"" + key + "\": ");
    if (at == std::string::npos) return "?";
    at += key.size() + 4;
    size_t end = json.find_first_of(",\n}", at);
    std::string v = json.substr(at, end - at);
    if (v.size() >= 2 && v.front() == '"') v = v.substr(1, v.size() - 2);
    return v;
}

bool wait_report(const std::string& path, const std::string& key, const std::string& value, double timeout_s) {
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout_s);
    while (field(read_file(path), key) != value) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}
