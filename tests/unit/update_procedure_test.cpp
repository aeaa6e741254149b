// The shared update procedure driven as a console drives it, on a made-up
// clock (a tick every 100 ms, each step when it said it is due), against the
// scripted MIDI platform and a stand-in amp that answers its identity.
#include "update/update_procedure.h"

#include "ampmsg/message.h"
#include "tests/support/fake_midi.h"
#include "update/amp_answer.h"
#include "update/update_console.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

const char* const AMP = "Zorva Pro MIDI 1";

// A stand-in amp on the fake platform: finishes every buffer at once and
// answers each identity request with `version` (empty: it says nothing).
struct Amp {
    std::string version = "A100";
    size_t seen = 0;  // driver messages looked at so far
    // Called after every step and tick.
    void react() {
        while (fake_midi_out_finish()) {
        }
        std::vector<Bytes> out = fake_midi_out_messages();
        for (; seen < out.size(); seen++) {
            const Bytes& m = out[seen];
            bool identity = m.size() >= AMP_IDENTITY_REQUEST_LENGTH &&
                            std::memcmp(m.data() + m.size() - AMP_IDENTITY_REQUEST_LENGTH, AMP_IDENTITY_REQUEST,
                                        AMP_IDENTITY_REQUEST_LENGTH) == 0;
            if (!identity || version.empty()) continue;
            Bytes reply(AMP_IDENTITY_REPLY_PATTERN, AMP_IDENTITY_REPLY_PATTERN + AMP_IDENTITY_REPLY_LENGTH);
            std::memcpy(reply.data() + AMP_IDENTITY_REVISION_OFFSET, version.data(), 4);
            fake_midi_in_sysex(reply.data(), reply.size());
        }
    }
};

// When each phase began, in ms of the made-up clock.
struct Timeline {
    std::vector<std::pair<long, int>> phases;
    long at(int phase) const {
        for (const auto& p : phases)
            if (p.second == phase) return p.first;
        return -1;
    }
};

// Drives the part begun with `first` until it is over; `during` runs once
// the part has been in phase `when` for its first step.
template <typename Fn>
Timeline drive(UpdateNext first, Amp* amp, int when, Fn during) {
    Timeline r;
    long t = 0, due = first.ms < 0 ? 0 : first.ms, next_tick = UPDATE_TICK_MS;
    int last = -1;
    bool done_during = false;
    for (int guard = 0; guard < 100000; guard++) {
        int phase = update_proc_phase();
        if (phase != last) r.phases.push_back({t, last = phase});
        if (phase == when && !done_during) {
            done_during = true;
            during();
        }
        if (update_proc_phase() == PHASE_OVER) break;
        if (next_tick <= due) {
            t = next_tick;
            next_tick += UPDATE_TICK_MS;
            update_proc_tick();
        } else {
            t = due;
            UpdateNext n = update_proc_step();
            if (n.ms >= 0) due = t + n.ms;
        }
        amp->react();
    }
    return r;
}
Timeline drive(UpdateNext first, Amp* amp) {
    return drive(first, amp, -1, [] {});
}

Bytes file_of(int count, size_t length) {
    Bytes f;
    for (int m = 0; m < count; m++) {
        f.push_back(0xF0);
        f.insert(f.end(), length - 2, uint8_t(m & 0x7F));
        f.push_back(0xF7);
    }
    return f;
}

Bytes wire() {
    Bytes out;
    for (const Bytes& m : fake_midi_out_messages()) out.insert(out.end(), m.begin(), m.end());
    return out;
}

const Bytes IDENTITY(AMP_IDENTITY_REQUEST, AMP_IDENTITY_REQUEST + AMP_IDENTITY_REQUEST_LENGTH);
const Bytes RESTART = {0xF0, AMP_MANUFACTURER_ID[0], AMP_MANUFACTURER_ID[1], AMP_MANUFACTURER_ID[2],
                       0x30, 0x00, 0x0C, 0x01, 0x55, 0xF7};

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

class Procedure : public ::testing::Test {
protected:
    void SetUp() override {
        fake_midi_install();
        fake_midi_set_out_devices({"Other", AMP});
        fake_midi_set_in_devices({AMP});
        answer_reset();
        update_proc_abandon();
    }
    void TearDown() override {
        update_proc_abandon();
        update_port_close();
        answer_reset();
        fake_midi_uninstall();
    }
    // Opens the amp's port as the Port page does, the amp answering.
    void open() {
        drive(update_proc_open(AMP, false), &amp);
        ASSERT_EQ(update_proc_end(), END_DONE);
        ASSERT_STREQ(answer_version(), "1.00");
    }
    Amp amp;
};

// The whole procedure, restart and update, on the table's timing: the close
// 10 ticks after the request or the last byte, the reopen 50 or 150 ticks
// later; after the restart the amp is asked nothing, so the wire is
// identity, restart, the file, identity.
TEST_F(Procedure, RestartAndUpdateFollowTheTable) {
    open();
    Timeline restart = drive(update_proc_restart(AMP, -1), &amp);
    EXPECT_EQ(update_proc_end(), END_DONE);
    EXPECT_EQ(update_proc_part(), PART_RESTART);
    EXPECT_EQ(restart.at(PHASE_CLOSED), PORT_CLOSE_DELAY_TICKS * UPDATE_TICK_MS);
    EXPECT_EQ(restart.at(PHASE_OVER), (PORT_CLOSE_DELAY_TICKS + RESTART_WAIT_TICKS) * UPDATE_TICK_MS);
    EXPECT_NE(update_port(), nullptr);

    const Bytes file = file_of(40, 300);
    amp.version = "A101";
    Timeline update = drive(update_proc_send(AMP, file.data(), file.size(), nullptr, -1), &amp);
    EXPECT_EQ(update_proc_end(), END_DONE);
    long drained = update.at(PHASE_CLOSING);
    EXPECT_EQ(update.at(PHASE_CLOSED) - drained, PORT_CLOSE_DELAY_TICKS * UPDATE_TICK_MS);
    EXPECT_EQ(update.at(PHASE_ASKING) - drained, (PORT_CLOSE_DELAY_TICKS + UPDATE_WAIT_TICKS) * UPDATE_TICK_MS);
    EXPECT_EQ(wire(), cat({IDENTITY, RESTART, file, IDENTITY}));
    char line[200];
    EXPECT_EQ(update_console_end_text(nullptr, PART_UPDATE, END_DONE, line, sizeof line), EXIT_OK);
    EXPECT_STREQ(line, "The amp now reports version 1.01 (was 1.00).");
}

// Each verdict after the update, with its exit status: a new version, the
// same one, no answer in time, no input from the amp at all.
TEST_F(Procedure, EachVerdictWithItsExitStatus) {
    struct Case {
        const char* name;
        const char* version_after;  // "" says nothing
        bool input;
        int kind, exit_status;
    };
    const Case cases[] = {
        {"took", "A101", true, VERDICT_TOOK, EXIT_OK},
        {"same", "A100", true, VERDICT_SAME, EXIT_UNCHANGED},
        {"silent", "", true, VERDICT_SILENT, EXIT_TIMEOUT},
        {"no input", "A101", false, VERDICT_NO_INPUT, EXIT_DEVICE},
    };
    const Bytes file = file_of(3, 100);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        amp = Amp{};
        open();
        amp.version = c.version_after;
        if (!c.input) fake_midi_set_in_devices({});
        Timeline r = drive(update_proc_send(AMP, file.data(), file.size(), nullptr, -1), &amp);
        EXPECT_EQ(update_proc_end(), END_DONE);
        EXPECT_EQ(answer_verdict().kind, c.kind);
        char line[200];
        EXPECT_EQ(update_console_end_text(nullptr, PART_UPDATE, END_DONE, line, sizeof line), c.exit_status);
        EXPECT_NE(line[0], '\0');
        // Silence is waited out for the answer's ticks, no longer (the first
        // of them comes within a tick of the ask).
        if (c.kind == VERDICT_SILENT) {
            long waited = r.at(PHASE_OVER) - r.at(PHASE_ASKING);
            EXPECT_GT(waited, (ANSWER_WAIT_TICKS - 1) * UPDATE_TICK_MS);
            EXPECT_LE(waited, ANSWER_WAIT_TICKS * UPDATE_TICK_MS);
        }
    }
}

// What goes wrong ends the part at once with the port closed, never as if
// the amp had got everything: a port that fails while sending or while the
// restart request drains, and a port that does not come back after a wait.
TEST_F(Procedure, FailuresEndThePartWithThePortClosed) {
    const Bytes file = file_of(20, 4000);
    open();
    // The device breaks with a buffer in flight.
    UpdateNext n = update_proc_send(AMP, file.data(), file.size(), nullptr, -1);
    for (int i = 0; i < 20; i++) n = update_proc_step();
    fake_midi_out_finish();  // one buffer goes out, the next is handed over
    for (int i = 0; i < 20; i++) n = update_proc_step();
    ASSERT_TRUE(fake_midi_out_finish(true));
    for (int i = 0; i < 100 && update_proc_phase() != PHASE_OVER; i++) n = update_proc_step();
    EXPECT_EQ(update_proc_end(), END_PORT_FAILED);
    EXPECT_EQ(n.ms, -1);
    EXPECT_EQ(update_port(), nullptr);
    // What the owner reads: how far it got, that the amp may wait in update
    // mode, and the program's own way to send again without a restart.
    char line[600];
    UpdateConsole c = update_console_defaults();
    c.resend_how = "answer n";
    EXPECT_EQ(update_console_end_text(&c, PART_UPDATE, END_PORT_FAILED, line, sizeof line), EXIT_DEVICE);
    EXPECT_NE(std::string(line).find("Could not send message to amp (after "), std::string::npos) << line;
    EXPECT_NE(std::string(line).find("waiting in update mode"), std::string::npos) << line;
    EXPECT_NE(std::string(line).find("without restarting the amp (answer n)."), std::string::npos) << line;

    // The restart request lost on the way shows when the port is due to close.
    open();
    update_proc_restart(AMP, -1);
    fake_midi_out_finish(true);
    Amp slow;  // finishes nothing more
    slow.version = "";
    drive(update_proc_next(), &slow);
    EXPECT_EQ(update_proc_end(), END_PORT_FAILED);
    EXPECT_EQ(update_port(), nullptr);

    // The amp's device does not come back after the restart.
    open();
    drive(update_proc_restart(AMP, -1), &amp, PHASE_CLOSED, [] { fake_midi_set_out_devices({"Other"}); });
    EXPECT_EQ(update_proc_end(), END_NO_PORT);
    EXPECT_EQ(update_console_end_text(&c, PART_RESTART, END_NO_PORT, line, sizeof line), EXIT_DEVICE);
    EXPECT_NE(std::string(line).find("did not come back after the restart"), std::string::npos) << line;
}

// A stop while sending finishes the message the port has begun and lets the
// port empty: the amp sees whole messages only, and is not told it has the
// update. A stop in the wait after every byte says so instead.
TEST_F(Procedure, StopEndsAtAMessageBoundaryOrInTheWait) {
    const Bytes file = file_of(30, 3000);
    open();
    drive(update_proc_send(AMP, file.data(), file.size(), nullptr, -1), &amp, PHASE_SENDING, [] {
        for (int i = 0; i < 7; i++) update_proc_step();
        update_proc_stop();
    });
    EXPECT_EQ(update_proc_end(), END_STOPPED);
    EXPECT_EQ(update_port(), nullptr);
    Bytes sent = wire();
    sent.erase(sent.begin(), sent.begin() + IDENTITY.size());
    ASSERT_GT(sent.size(), 0u);
    ASSERT_LT(sent.size(), file.size());
    EXPECT_EQ(sent.size() % 3000, 0u);
    EXPECT_TRUE(std::equal(sent.begin(), sent.end(), file.begin()));
    char line[300];
    EXPECT_EQ(update_console_end_text(nullptr, PART_UPDATE, END_STOPPED, line, sizeof line), EXIT_STOPPED);
    EXPECT_NE(std::string(line).find("has not got the whole update"), std::string::npos) << line;

    open();
    drive(update_proc_send(AMP, file.data(), file.size(), nullptr, -1), &amp, PHASE_CLOSED, [] { update_proc_stop(); });
    EXPECT_EQ(update_proc_end(), END_STOPPED_WAITING);
    EXPECT_EQ(update_console_end_text(nullptr, PART_UPDATE, END_STOPPED_WAITING, line, sizeof line), EXIT_STOPPED);
}

}  // namespace
