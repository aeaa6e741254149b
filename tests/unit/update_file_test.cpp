#include "update/update_file.h"

#include <gtest/gtest.h>

#include "midi/fault.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// `count` messages of `data` data bytes each, data counting up from 0.
Bytes messages(size_t count, size_t data) {
    Bytes out;
    for (size_t m = 0; m < count; ++m) {
        out.push_back(0xF0);
        for (size_t i = 0; i < data; ++i) out.push_back(static_cast<uint8_t>((m + i) & 0x7F));
        out.push_back(0xF7);
    }
    return out;
}

Bytes with(Bytes b, size_t at, uint8_t value) {
    b[at] = value;
    return b;
}

Bytes plus(Bytes b, const Bytes& tail) {
    b.insert(b.end(), tail.begin(), tail.end());
    return b;
}

class UpdateFile : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/zp-update-file-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override {
        update_file_release();
        zp_fault_arm(0);
        for (const std::string& p : made_) unlink(p.c_str());
        rmdir(dir_.c_str());
    }
    std::string write(const char* name, const Bytes& content) {
        std::string path = dir_ + "/" + name;
        FILE* f = fopen(path.c_str(), "wb");
        EXPECT_NE(f, nullptr);
        if (!content.empty()) fwrite(content.data(), 1, content.size(), f);
        fclose(f);
        made_.push_back(path);
        return path;
    }
    std::string dir_;
    std::vector<std::string> made_;
};

// Every message the owner can meet, each reached through a real file, with
// the reason that tells causes apart under one first line.
TEST_F(UpdateFile, EachFileProblemGivesItsMessageAndReasonAndLoadsNothing) {
    struct Case {
        const char* name;
        Bytes content;
        const char* message;
        const char* reason;
    };
    const Bytes hundred = messages(10, 8);  // 10 messages of 10 bytes
    ASSERT_EQ(hundred.size(), 100u);
    const char* const not_sysex = "Not a valid system-exclusive MIDI file";
    const Case cases[] = {
        {"99-bytes.syx", Bytes(hundred.begin(), hundred.end() - 1), "File is too small",
         "It has 99 bytes; an update file has at least 100."},
        {"empty.syx", {}, "File is too small", "It is empty."},
        {"truncated.syx", plus(hundred, {0xF0, 1, 2, 3}), not_sysex,
         "The last message, from offset 100, ends without its F7"},
        {"status-inside.syx", with(hundred, 55, 0x9A), not_sysex,
         "At offset 55 the byte 9A stands inside the message that begins at offset 50"},
        {"realtime-inside.syx", with(hundred, 3, 0xF8), not_sysex, "At offset 3 the byte F8"},
        {"no-f0.syx", with(hundred, 0, 0x00), not_sysex, "At offset 0, where a message should begin"},
        {"trailing.syx", plus(hundred, {0x00}), not_sysex, "At offset 100, where a message should begin"},
        {"trailing-f0.syx", plus(hundred, {0xF0}), not_sysex, "from offset 100, ends without its F7"},
        {"nested-f0.syx", with(hundred, 4, 0xF0), not_sysex, "At offset 4 the byte F0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(update_file_load(write("good.syx", hundred).c_str()), LOAD_OK);
        int code = update_file_load(write(c.name, c.content).c_str());
        EXPECT_STREQ(update_load_error_text(code), c.message);
        EXPECT_NE(std::string(update_file_reason()).find(c.reason), std::string::npos) << update_file_reason();
        EXPECT_EQ(update_file_bytes(), nullptr);
        EXPECT_EQ(update_file_size(), 0u);
    }
}

// A huge file is refused from its size, before a byte is read or a buffer
// set aside; a file that another program writes while it is read is never
// taken as it stood; and a bad byte stops the read where it is.
TEST_F(UpdateFile, HugeChangingAndBrokenFilesAreRefusedEarly) {
    std::string huge = write("huge.syx", {0xF0});
    ASSERT_EQ(truncate(huge.c_str(), off_t(2) << 30), 0);  // 2 GiB, sparse
    int live = zp_fault_live;
    zp_fault_arm(0);
    EXPECT_STREQ(update_load_error_text(update_file_load(huge.c_str())), "File is too large");
    EXPECT_NE(std::string(update_file_reason()).find("2048.0 MiB"), std::string::npos) << update_file_reason();
    EXPECT_EQ(zp_fault_calls, 0);
    EXPECT_EQ(zp_fault_live, live);

    // Rewritten between two chunks of the read, as an editor or a download
    // still writing it would.
    static std::string growing;
    growing = write("growing.syx", messages(3, UPDATE_FILE_CHUNK));
    auto append = [] {
        FILE* f = fopen(growing.c_str(), "ab");
        fputc(0xF0, f);
        fputc(0xF7, f);
        fclose(f);
    };
    EXPECT_STREQ(update_load_error_text(update_file_load_with(growing.c_str(), UPDATE_FILE_MIN_SIZE, append)),
                 "The file changed while it was read");
    EXPECT_EQ(update_file_bytes(), nullptr);

    // The bad byte is in the first chunk: nothing after it is read.
    static int chunks;
    chunks = 0;
    Bytes broken = messages(4, UPDATE_FILE_CHUNK);
    broken[10] = 0x80;
    std::string path = write("broken.syx", broken);
    EXPECT_EQ(update_file_load_with(path.c_str(), UPDATE_FILE_MIN_SIZE, [] { chunks++; }), LOAD_NOT_SYSEX);
    EXPECT_EQ(chunks, 0);
}

TEST_F(UpdateFile, NamesThatAreNotReadableFilesCannotBeOpened) {
    const std::string missing = dir_ + "/missing.syx";
    struct Case {
        const char* name;
        const char* reason;
    };
    const Case cases[] = {
        {nullptr, "No file name was given."},
        {"", "No file name was given."},
        {missing.c_str(), "No file has that name."},
        {dir_.c_str(), "It is a folder, not a file."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name ? c.name : "(null)");
        EXPECT_STREQ(update_load_error_text(update_file_load(c.name)), "Could not open file");
        EXPECT_STREQ(update_file_reason(), c.reason);
        EXPECT_EQ(update_file_bytes(), nullptr);
    }
}

// A pipe with no writer must neither block the open nor pass as a file.
TEST_F(UpdateFile, PipeIsRefusedWithoutWaiting) {
    std::string path = dir_ + "/pipe.syx";
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    made_.push_back(path);
    EXPECT_STREQ(update_load_error_text(update_file_load(path.c_str())),
                 "Could not reach the end of the file");
}

TEST_F(UpdateFile, ValidFilesLoadWholeAndReplaceTheOldOne) {
    const Bytes cases[] = {
        messages(50, 0),     // 100 bytes of empty messages
        messages(1, 98),     // one message of exactly 100 bytes
        messages(1, 20000),  // one message longer than the port's queue
        plus(messages(3, 10240), messages(40, 0)),
    };
    for (const Bytes& content : cases) {
        SCOPED_TRACE(content.size());
        ASSERT_EQ(update_file_load(write("ok.syx", content).c_str()), LOAD_OK);
        ASSERT_EQ(update_file_size(), content.size());
        EXPECT_EQ(Bytes(update_file_bytes(), update_file_bytes() + update_file_size()), content);
    }
}

TEST_F(UpdateFile, RefusedMemoryLoadsNothing) {
    std::string path = write("ok.syx", messages(20, 20));
    ASSERT_EQ(update_file_load(path.c_str()), LOAD_OK);
    zp_fault_arm(1);
    EXPECT_STREQ(update_load_error_text(update_file_load(path.c_str())),
                 "Not enough memory to load file");
    EXPECT_EQ(update_file_bytes(), nullptr);
    EXPECT_EQ(update_file_size(), 0u);
    EXPECT_EQ(update_file_load(path.c_str()), LOAD_OK);
}

// Indexed by UpdateLoadError: one distinct text for each failure, none for
// success or for codes past the table.
TEST(UpdateFileTexts, TableHasOneDistinctTextPerFailure) {
    EXPECT_EQ(update_load_error_text(LOAD_OK), nullptr);
    EXPECT_EQ(update_load_error_text(LOAD_ERROR_COUNT), nullptr);
    EXPECT_EQ(update_load_error_text(-1), nullptr);
    for (int a = 1; a < LOAD_ERROR_COUNT; ++a) {
        ASSERT_NE(update_load_error_text(a), nullptr);
        for (int b = a + 1; b < LOAD_ERROR_COUNT; ++b) {
            EXPECT_STRNE(update_load_error_text(a), update_load_error_text(b));
        }
    }
}

TEST(ValidateSysex, AcceptsOnlyCompleteMessagesBackToBack) {
    struct Case {
        Bytes bytes;
        bool valid;
    };
    const Case cases[] = {
        {{}, false},
        {{0xF0, 0xF7}, true},
        {{0xF0, 0x00, 0x7F, 0xF7, 0xF0, 0xF7}, true},
        {{0xF0}, false},
        {{0xF7}, false},
        {{0xF0, 0x10}, false},
        {{0xF0, 0xF7, 0xF7}, false},
        {{0xF0, 0xF0, 0xF7}, false},
        {{0xF0, 0xFE, 0xF7}, false},
        {{0xF0, 0xF7, 0x00}, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(validate_sysex(c.bytes.data(), c.bytes.size()), c.valid) << ::testing::PrintToString(c.bytes);
    }
    EXPECT_FALSE(validate_sysex(nullptr, 4));
}

TEST(SysexMessageLength, EndsAtTheFirstF7OrTheEnd) {
    const Bytes b = {0xF0, 1, 2, 0xF7, 0xF0, 0xF7};
    EXPECT_EQ(sysex_message_length(b.data(), b.size()), 4u);
    EXPECT_EQ(sysex_message_length(b.data() + 4, 2), 2u);
    EXPECT_EQ(sysex_message_length(b.data(), 3), 3u);
    EXPECT_EQ(sysex_message_length(b.data(), 0), 0u);
    EXPECT_EQ(sysex_message_count(b.data(), b.size()), 2u);
    EXPECT_EQ(sysex_message_count(b.data(), 5), 2u);  // a tail without F7 counts as one
    EXPECT_EQ(sysex_message_count(b.data(), 0), 0u);
}

}  // namespace
