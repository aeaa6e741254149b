// Reading what the end-to-end tests' programs leave behind: whole files, and
// fields of the virtual amp's JSON report.
#ifndef ZP_TESTS_SUPPORT_AMP_REPORT_H
#define ZP_TESTS_SUPPORT_AMP_REPORT_H

#include <string>

// The whole file, bytes as they are; empty when it cannot be read.
std::string read_file(const std::string& path);

// The text after "key": up to the next comma, line end or brace, quotes
// removed; "?" when the key is absent.
std::string field(const std::string& json, const std::string& key);

// Waits until the report at `path` says `key` is `value`; false after
// `timeout_s` seconds.
bool wait_report(const std::string& path, const std::string& key, const std::string& value, double timeout_s);

#endif
