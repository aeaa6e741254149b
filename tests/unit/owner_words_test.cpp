// What an owner reads and types when something is off: text from outside
// shown safely, the console's questions and file names read as people type
// them, verdicts that are true, and replies checked before they are believed.
#include "ampmsg/requests.h"
#include "tools/ampctl/ampctl.h"
#include "tools/zorva-update/answers.h"
#include "update/amp_answer.h"
#include "update/safe_text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

std::string safe(const std::string& raw, size_t size = 200) {
    std::vector<char> out(size);
    return safe_bytes(raw.data(), raw.size(), out.data(), out.size());
}

TEST(SafeText, ControlCharactersAreShownNeverSent) {
    EXPECT_EQ(safe("1.\n\x1B[2J"), "1.\\x0A\\x1B[2J");
    EXPECT_EQ(safe(std::string("a\0b", 3)), "a\\x00b");
    EXPECT_EQ(safe("DEL\x7F"), "DEL\\x7F");
    EXPECT_EQ(safe("Zorva Pro — Größe ✓"), "Zorva Pro — Größe ✓");  // letters of any language stay
    EXPECT_EQ(safe("\xC2\x9B" "31m"), "\\xC2\\x9B31m");            // the C1 CSI, as UTF-8
    EXPECT_EQ(safe("\xFF\xC3"), "\\xFF\\xC3");                      // no character at all
    // Cut short at a character, never inside an escape or a letter.
    EXPECT_EQ(safe("ab\x1B", 6), "ab");
    EXPECT_EQ(safe("aé", 3), "a");
}

TEST(ConsoleAnswers, OnlyAnswersCount) {
    EXPECT_EQ(yes_no_of(""), ANSWER_DEFAULT);
    EXPECT_EQ(yes_no_of("  "), ANSWER_DEFAULT);
    for (const char* y : {"y", "Y", "yes", " YES "}) EXPECT_EQ(yes_no_of(y), ANSWER_YES) << y;
    for (const char* n : {"n", "No", "NO "}) EXPECT_EQ(yes_no_of(n), ANSWER_NO) << n;
    for (const char* other : {"maybe", "ok", "oui", "yess", "y n", "1"}) EXPECT_EQ(yes_no_of(other), ANSWER_UNCLEAR);
}

TEST(ConsoleAnswers, FileNamesAsTerminalsAndFileManagersHandThemOver) {
    const std::string home = "/home/owner";
    struct Case {
        const char* typed;
        bool windows;
        const char* name;
    };
    const Case cases[] = {
        {"  /tmp/update.syx  ", false, "/tmp/update.syx"},
        {"'/tmp/my update.syx'", false, "/tmp/my update.syx"},
        {"'/tmp/it'\\''s here.syx'", false, "/tmp/it's here.syx"},  // as a terminal quotes a dropped file
        {"/tmp/my\\ update.syx", false, "/tmp/my update.syx"},
        {"\"/tmp/a \\\"b\\\".syx\"", false, "/tmp/a \"b\".syx"},
        {"~/Downloads/update.syx", false, "/home/owner/Downloads/update.syx"},
        {"'~/update.syx'", false, "~/update.syx"},  // quoted: no home folder
        {"file:///home/owner/my%20update.syx", false, "/home/owner/my update.syx"},
        {"file://localhost/tmp/u.syx", false, "/tmp/u.syx"},
        {"/tmp/it's.syx", false, "/tmp/it's.syx"},                 // not a shell word: as typed
        {"\"C:\\Users\\Owner\\my update.syx\"", true, "C:\\Users\\Owner\\my update.syx"},
        {"file:///C:/Users/Owner/u.syx", true, "C:/Users/Owner/u.syx"},
    };
    for (const Case& c : cases) EXPECT_EQ(file_name_of(c.typed, home, c.windows), c.name) << c.typed;
}

// The same version is not a failure: it says so, says what the file would
// tell, and the next step; the versions come out escaped.
TEST(Verdicts, TellWhatHappenedAndWhatToDoNext) {
    char line[400];
    UpdateVerdict same = {VERDICT_SAME, "1.01", "1.01"};
    std::string s = update_verdict_line(same, line, sizeof line);
    EXPECT_EQ(s.rfind("The amp reports version 1.01, the same as before.", 0), 0u) << s;
    EXPECT_EQ(s.find("still"), std::string::npos) << s;
    EXPECT_NE(s.find("restart the amp in update mode and send the update again"), std::string::npos) << s;
    for (int kind : {VERDICT_SILENT, VERDICT_NO_INPUT}) {
        UpdateVerdict v = {kind, "", "1.00"};
        std::string l = update_verdict_line(v, line, sizeof line);
        size_t unknown = l.find("the result is unknown.");
        ASSERT_NE(unknown, std::string::npos) << l;
        EXPECT_GT(l.size(), unknown + 30) << "no next step: " << l;
    }
    UpdateVerdict hostile = {VERDICT_TOOK, {'1', '.', '\n', '\x1B', 0}, "1.00"};
    EXPECT_STREQ(update_verdict_line(hostile, line, sizeof line), "The amp now reports version 1.\\x0A\\x1B (was 1.00).");
}

// A reply is the one asked for only with the request's length and kind.
TEST(AmpctlReplies, WrongLengthOrKindIsNeverDecoded) {
    AmpMessage* read = amp_request_read_words(1, 4, 0, nullptr);  // expects 25 bytes
    ASSERT_NE(read, nullptr);
    auto reply = [](int command, size_t length) {
        std::vector<uint8_t> r(AMP_SYSEX_HEADER, AMP_SYSEX_HEADER + AMP_HEADER_LENGTH);
        r.push_back(uint8_t(command));
        while (r.size() < length - 1) r.push_back(uint8_t(r.size() & 0x0F));
        r.push_back(0xF7);
        return r;
    };
    char why[200];
    std::vector<uint8_t> r = reply(118, 25);
    EXPECT_TRUE(ampctl_reply_fits(read, r.data(), r.size(), why, sizeof why)) << why;
    for (size_t length : {24u, 26u}) {
        r = reply(118, length);
        EXPECT_FALSE(ampctl_reply_fits(read, r.data(), r.size(), why, sizeof why)) << length;
        EXPECT_NE(std::string(why).find("25"), std::string::npos) << why;
    }
    r = reply(0, 25);
    EXPECT_FALSE(ampctl_reply_fits(read, r.data(), r.size(), why, sizeof why));
    amp_record_free(read, nullptr);

    // A preset block that lost a pair's byte on the way.
    AmpMessage* block = amp_request_read_block(5, 1, -1, nullptr);
    std::vector<uint8_t> b(AMP_SYSEX_HEADER, AMP_SYSEX_HEADER + AMP_HEADER_LENGTH);
    b.insert(b.end(), {11, 5, 1, 0});
    for (int cc = 0; cc < 128; cc++) b.insert(b.end(), {uint8_t(cc), uint8_t(cc % 100)});
    b.push_back(0xF7);
    EXPECT_TRUE(ampctl_reply_fits(block, b.data(), b.size(), why, sizeof why)) << why;
    std::vector<uint8_t> lost = b;
    lost.erase(lost.begin() + 41, lost.begin() + 43);  // a whole pair, then one byte more
    lost.erase(lost.begin() + 60);
    EXPECT_FALSE(ampctl_reply_fits(block, lost.data(), lost.size(), why, sizeof why));
    amp_record_free(block, nullptr);

    // Requests the library has no decoder for: their replies are shown raw.
    AmpMessage* cmd3 = amp_request_cmd3(nullptr);
    EXPECT_TRUE(ampctl_reply_is_raw(cmd3));
    r = reply(3, 10);
    EXPECT_TRUE(ampctl_reply_fits(cmd3, r.data(), r.size(), why, sizeof why)) << why;
    amp_record_free(cmd3, nullptr);
}

}  // namespace
