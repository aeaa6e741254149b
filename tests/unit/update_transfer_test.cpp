// The update procedure driven through the wizard's dispatcher with real
// events, against a recording stand-in window and the scripted MIDI platform.
// The stand-in driver holds each buffer the port hands it until the test
// finishes it, which is how a slow device and a full port queue are made.
#include "wizard/transfer.h"

#include "ampmsg/message.h"
#include "app/events.h"
#include "midi/midi_out.h"
#include "tests/support/fake_midi.h"
#include "tests/support/fake_window.h"
#include "update/amp_answer.h"
#include "wizard/controller.h"
#include "update/update_file.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

const char* const AMP = "Zorva Pro MIDI 1";

// One message with `data` data bytes, its data counting from `seed`.
Bytes message(size_t data, size_t seed = 0) {
    Bytes m{0xF0};
    for (size_t i = 0; i < data; ++i) m.push_back(static_cast<uint8_t>((seed + i) % 0x7F));
    m.push_back(0xF7);
    return m;
}

Bytes concat(const std::vector<Bytes>& parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// Everything the stand-in driver was given, in order.
Bytes wire() {
    Bytes out;
    for (const Bytes& m : fake_midi_out_messages()) out.insert(out.end(), m.begin(), m.end());
    return out;
}

int closes() { return fake_midi_calls(FAKE_OUT_CLOSE); }

// The error boxes' first lines (the owner's texts); what follows is advice.
std::vector<std::string> first_lines() {
    std::vector<std::string> out;
    for (const std::string& e : fake.errors) out.push_back(e.substr(0, e.find('\n')));
    return out;
}

class Transfer : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/zp-transfer-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        begin();
    }
    void TearDown() override {
        end();
        unlink((dir_ + "/update.syx").c_str());
        rmdir(dir_.c_str());
    }

    // A fresh wizard on the Welcome page, two output devices, the amp's last.
    void begin() {
        fake_midi_install();
        answer_reset();
        fake_midi_set_out_devices({"Other", AMP});
        fake_window_reset();
        wizard_reset();
        wizard_set_page_actions(&transfer_page_actions);
        wizard_start();
    }
    void end() {
        wizard_dispatch(EVENT_SHUTDOWN);
        while (fake_midi_out_finish()) {
        }
        close_port();
        fake_midi_uninstall();
    }

    void write_file(const Bytes& content) {
        FILE* f = fopen((dir_ + "/update.syx").c_str(), "wb");
        ASSERT_NE(f, nullptr);
        fwrite(content.data(), 1, content.size(), f);
        fclose(f);
        fake.file = dir_ + "/update.syx";
    }

    // Welcome, Port, File, Skip: the Send page with `content` loaded and the
    // amp's port open.
    void reach_send_page(const Bytes& content) {
        write_file(content);
        fake.port = AMP;
        wizard_dispatch(EVENT_NEXT);
        wizard_dispatch(EVENT_NEXT);
        wizard_dispatch(EVENT_NEXT);
        ASSERT_EQ(wizard_current_page(), PAGE_RESTART) << testing::PrintToString(fake.errors);
        wizard_dispatch(EVENT_SKIP);
        ASSERT_EQ(wizard_current_page(), PAGE_SEND);
    }

    // Idle passes as the event bridge makes them: one SendMore per pending
    // wake. After every `finish_every` passes the driver finishes the buffer
    // it holds. Returns the passes made; stops at `limit`.
    int pump(int finish_every, int limit = 100000) {
        int passes = 0;
        while (fake.wakes > 0 && passes < limit) {
            fake.wakes--;
            wizard_dispatch(EVENT_SEND_MORE);
            ++passes;
            if (finish_every > 0 && passes % finish_every == 0) fake_midi_out_finish();
        }
        return passes;
    }

    void ticks(int n) {
        for (int i = 0; i < n; ++i) wizard_dispatch(EVENT_TICK);
    }

    std::string dir_;
};

// Whatever the port's queue leaves room for, every message reaches the
// driver once, whole and in order: a partly taken message is continued, and a
// message longer than the queue goes out in pieces.
TEST_F(Transfer, EveryByteReachesTheDriverOnceAndInOrder) {
    struct Case {
        const char* name;
        Bytes file;
        int finish_every;  // passes between finished buffers: a slower device
    };
    const Bytes fill = concat({message(60), message(60, 3)});
    const Case cases[] = {
        {"empty messages", concat({message(0), message(0), fill, message(0)}), 1},
        {"one data byte", concat({message(1), fill, message(1, 9)}), 2},
        {"queue-sized message", concat({message(10240), fill}), 1},
        {"queue-sized messages, slow", concat({message(10240), message(10240, 5), fill}), 3},
        {"longer than the queue", concat({message(20000), fill}), 1},
        {"longer than the queue, slow", concat({fill, message(20000, 7), message(20000, 1)}), 4},
        {"partial takes", concat({message(6000), message(6000, 1), message(6000, 2), fill}), 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        end();
        begin();
        reach_send_page(c.file);
        wizard_dispatch(EVENT_NEXT);
        EXPECT_EQ(fake.text, "Please wait while sending update to the amp.");
        pump(c.finish_every);
        EXPECT_FALSE(transfer_running());
        ticks(PORT_CLOSE_DELAY_TICKS + 1);
        while (fake_midi_out_finish()) ticks(1);
        EXPECT_EQ(wire(), c.file);
        EXPECT_TRUE(fake.errors.empty()) << testing::PrintToString(fake.errors);
        EXPECT_EQ(closes(), 1);
    }
}

// After the last message the wizard keeps the port moving until the device
// has finished every byte, however long that takes, with the window's ticks
// in between; only then do the wait and the close follow.
TEST_F(Transfer, LastBytesLeaveBeforeTheWaitAndTheClose) {
    // Two buffers' worth that fits the port's queue at once.
    const Bytes file = concat({message(4000), message(4000, 4)});
    reach_send_page(file);
    wizard_dispatch(EVENT_NEXT);
    for (int i = 0; i < 100; ++i) {  // a very slow device
        EXPECT_EQ(pump(0, 5), 5);
        ticks(1);
    }
    EXPECT_TRUE(transfer_running());
    EXPECT_EQ(fake.text, "Please wait while sending update to the amp.");
    EXPECT_EQ(fake_midi_out_messages().size(), 1u);

    fake_midi_out_finish();  // the first buffer; the next pass starts the rest
    EXPECT_EQ(pump(0, 5), 5);
    EXPECT_EQ(fake_midi_out_messages().size(), 2u);
    fake_midi_out_finish();
    EXPECT_EQ(pump(0, 5), 1);
    EXPECT_FALSE(transfer_running());
    EXPECT_EQ(fake.text, "Please wait while amp updates");
    EXPECT_EQ(wire(), file);

    ticks(PORT_CLOSE_DELAY_TICKS);
    EXPECT_EQ(closes(), 0);
    ticks(1);
    EXPECT_EQ(closes(), 1);
    ticks(UPDATE_WAIT_TICKS);
    EXPECT_EQ(wizard_current_page(), PAGE_SEND);
    ticks(1);
    EXPECT_EQ(wizard_current_page(), PAGE_DONE);
    EXPECT_NE(transfer_port(), nullptr);
}

// The waits in ticks: the close on the 11th tick after the request (or the
// last message), the reopen on the 51st (151st) tick after the close. The amp
// is asked who it is when the Port page opens its port and when the port
// opens again after the update, never after the restart: in update mode the
// amp's boot loader may take any SysEx for image data, so nothing but the
// file goes to it.
TEST_F(Transfer, RestartAndUpdateWaitsInTicks) {
    const Bytes identity(AMP_IDENTITY_REQUEST, AMP_IDENTITY_REQUEST + AMP_IDENTITY_REQUEST_LENGTH);
    const Bytes file = concat({message(200), message(10)});
    fake_midi_set_in_devices({AMP});
    reach_send_page(file);
    wizard_dispatch(EVENT_BACK);
    ASSERT_EQ(wizard_current_page(), PAGE_RESTART);
    ASSERT_EQ(wire(), identity);
    fake_midi_out_finish();

    wizard_dispatch(EVENT_NEXT);
    EXPECT_EQ(fake.text, "Please wait a few seconds for the amp to reset.");
    EXPECT_EQ(fake.active[WIDGET_BACK] + fake.active[WIDGET_NEXT] + fake.active[WIDGET_SKIP], 0);
    const uint8_t* id = AMP_MANUFACTURER_ID;
    const Bytes restart{0xF0, id[0], id[1], id[2], 0x30, 0x00, 0x0C, 0x01, 0x55, 0xF7};
    EXPECT_EQ(wire(), concat({identity, restart}));
    while (fake_midi_out_finish()) {
    }

    ticks(PORT_CLOSE_DELAY_TICKS);
    EXPECT_EQ(closes(), 0);
    ticks(1);
    EXPECT_EQ(closes(), 1);
    ticks(RESTART_WAIT_TICKS);
    EXPECT_EQ(wizard_current_page(), PAGE_RESTART);
    ticks(1);
    EXPECT_EQ(wizard_current_page(), PAGE_SEND);
    ASSERT_NE(transfer_port(), nullptr);
    EXPECT_EQ(wire(), concat({identity, restart}));

    wizard_dispatch(EVENT_NEXT);
    pump(1);
    fake_midi_out_finish();
    ticks(PORT_CLOSE_DELAY_TICKS);
    EXPECT_EQ(closes(), 1);
    ticks(1);
    EXPECT_EQ(closes(), 2);
    ticks(UPDATE_WAIT_TICKS);
    EXPECT_EQ(wizard_current_page(), PAGE_SEND);
    ticks(1);
    EXPECT_EQ(wizard_current_page(), PAGE_DONE);
    EXPECT_EQ(wire(), concat({identity, restart, file, identity}));
    EXPECT_TRUE(fake.errors.empty()) << testing::PrintToString(fake.errors);
}

// An amp that does not come back after a wait leaves the wizard on the
// Welcome page, without a message.
TEST_F(Transfer, AmpThatDoesNotComeBackLeadsToWelcome) {
    reach_send_page(concat({message(200)}));
    wizard_dispatch(EVENT_BACK);
    wizard_dispatch(EVENT_NEXT);
    fake_midi_out_finish();
    ticks(PORT_CLOSE_DELAY_TICKS + 1);
    fake_midi_set_out_devices({"Other"});
    ticks(RESTART_WAIT_TICKS + 1);
    EXPECT_EQ(wizard_current_page(), PAGE_WELCOME);
    EXPECT_EQ(transfer_port(), nullptr);
    EXPECT_TRUE(fake.errors.empty());
}

// A port that fails, while the file is handed over or while its last bytes
// drain, ends the transfer at once with the message and what to do next; the
// owner lands on the Port page, whose Next opens the port again, and can send
// the update again without restarting the amp.
TEST_F(Transfer, FailedPortEndsTheTransferWithTheMessage) {
    enum When { HANDING_OVER, DRAINING };
    for (When when : {HANDING_OVER, DRAINING}) {
        SCOPED_TRACE(when == HANDING_OVER ? "handing over" : "draining");
        end();
        begin();
        if (when == HANDING_OVER) {
            reach_send_page(concat({message(8000), message(8000, 1), message(8000, 2), message(30)}));
            wizard_dispatch(EVENT_NEXT);
            pump(0, 3);
            fake_midi_out_finish(true);  // the device broke while sending
            int passes = pump(1, 1000);
            EXPECT_LT(passes, 1000) << "the transfer kept going on a failed port";
        } else {
            // Small enough to be handed over whole while the device still
            // holds the first buffer.
            reach_send_page(concat({message(300), message(300, 1), message(300, 2)}));
            wizard_dispatch(EVENT_NEXT);
            pump(0, 10);
            fake_midi_out_finish(true);
            EXPECT_EQ(pump(0, 1000), 1);
        }
        EXPECT_EQ(first_lines(), std::vector<std::string>{"Could not send message to amp"});
        EXPECT_NE(fake.errors[0].find("waiting in update mode"), std::string::npos) << fake.errors[0];
        EXPECT_NE(fake.errors[0].find("Skip the restart"), std::string::npos) << fake.errors[0];
        EXPECT_FALSE(transfer_running());
        EXPECT_EQ(fake.wakes, 0);
        EXPECT_EQ(wizard_current_page(), PAGE_PORT);
        EXPECT_EQ(transfer_port(), nullptr);

        ticks(UPDATE_WAIT_TICKS + 20);  // no wait is left running
        EXPECT_EQ(wizard_current_page(), PAGE_PORT);
        // The way forward the box names: Next, Next, Skip, Send Update.
        wizard_dispatch(EVENT_NEXT);
        EXPECT_NE(transfer_port(), nullptr);
        wizard_dispatch(EVENT_NEXT);
        wizard_dispatch(EVENT_SKIP);
        EXPECT_EQ(wizard_current_page(), PAGE_SEND);
    }
}

// A restart request that the port does not take shows the message and the
// Restart page again, with nothing queued and no wait running.
TEST_F(Transfer, RestartRequestNotTakenShowsTheRestartPageAgain) {
    reach_send_page(concat({message(200)}));
    wizard_dispatch(EVENT_BACK);
    fake_midi_fail(FAKE_OUT_PREPARE, MIDI_RES_ERROR);  // fails the port on the first send
    wizard_dispatch(EVENT_NEXT);
    wizard_dispatch(EVENT_NEXT);
    EXPECT_EQ(first_lines(),
              (std::vector<std::string>{"Could not send message to amp", "Could not send message to amp"}));
    EXPECT_EQ(fake.text, wizard_pages[PAGE_RESTART].text);
    EXPECT_EQ(fake.active[WIDGET_NEXT], 1);
    ticks(RESTART_WAIT_TICKS * 2);
    EXPECT_EQ(wizard_current_page(), PAGE_RESTART);
    EXPECT_EQ(closes(), 0);
}

// A restart request that fits the port's free room exactly is taken whole; one
// byte less room and it is refused whole, never half sent.
TEST_F(Transfer, RestartRequestTakesAnExactFitAndNeverHalf) {
    reach_send_page(concat({message(200)}));
    wizard_dispatch(EVENT_BACK);
    const Bytes earlier(MIDI_OUT_BUFFER_SIZE - 10, 0x40);  // with the driver, still queued
    ASSERT_EQ(midi_out_send(transfer_port(), earlier.data(), int(earlier.size()), nullptr), int(earlier.size()));
    wizard_dispatch(EVENT_NEXT);
    EXPECT_TRUE(fake.errors.empty()) << testing::PrintToString(fake.errors);
    EXPECT_EQ(midi_out_pending(transfer_port(), nullptr), int(MIDI_OUT_BUFFER_SIZE));
    while (fake_midi_out_finish()) midi_out_pending(transfer_port(), nullptr);  // starts the next buffer
    Bytes expected = earlier;
    expected.insert(expected.end(), {0xF0, 0x00, 0x2E, 0x5A, 0x30, 0x00, 0x0C, 0x01, 0x55, 0xF7});
    EXPECT_EQ(wire(), expected);

    // Nine bytes of room: the ten-byte request is refused whole.
    ticks(PORT_CLOSE_DELAY_TICKS + RESTART_WAIT_TICKS + 2);
    ASSERT_EQ(wizard_current_page(), PAGE_SEND);
    wizard_dispatch(EVENT_BACK);
    const Bytes more(MIDI_OUT_BUFFER_SIZE - 9, 0x41);
    ASSERT_EQ(midi_out_send(transfer_port(), more.data(), int(more.size()), nullptr), int(more.size()));
    wizard_dispatch(EVENT_NEXT);
    EXPECT_EQ(first_lines(), std::vector<std::string>{"Could not send message to amp"});
    EXPECT_EQ(midi_out_pending(transfer_port(), nullptr), int(more.size()));
}

// A restart request that the device loses on the way is reported when the
// port is due to close, instead of closing and waiting as if the amp had it.
TEST_F(Transfer, RestartRequestLostOnTheWayShowsTheMessage) {
    reach_send_page(concat({message(200)}));
    wizard_dispatch(EVENT_BACK);
    wizard_dispatch(EVENT_NEXT);
    ASSERT_TRUE(fake.errors.empty());
    fake_midi_out_finish(true);
    ticks(PORT_CLOSE_DELAY_TICKS + 1);
    EXPECT_EQ(first_lines(), std::vector<std::string>{"Could not send message to amp"});
    EXPECT_EQ(wizard_current_page(), PAGE_PORT);
    EXPECT_EQ(transfer_port(), nullptr);
    ticks(RESTART_WAIT_TICKS + 5);
    EXPECT_EQ(wizard_current_page(), PAGE_PORT);
}

// The file stays loaded after a transfer, so Back from Done and Send Update
// send it again from its first byte; Shutdown releases it.
TEST_F(Transfer, SendAgainFromDoneAndReleaseOnShutdown) {
    const Bytes file = concat({message(5000), message(7000, 2), message(3)});
    reach_send_page(file);
    for (int round = 1; round <= 2; ++round) {
        wizard_dispatch(EVENT_NEXT);
        pump(1);
        while (fake_midi_out_finish()) ticks(1);
        ticks(PORT_CLOSE_DELAY_TICKS + 1 + UPDATE_WAIT_TICKS + 1);
        ASSERT_EQ(wizard_current_page(), PAGE_DONE);
        wizard_dispatch(EVENT_BACK);
        ASSERT_EQ(wizard_current_page(), PAGE_SEND);
    }
    EXPECT_EQ(wire(), concat({file, file}));

    wizard_dispatch(EVENT_NEXT);
    pump(1, 1);
    wizard_dispatch(EVENT_SHUTDOWN);
    EXPECT_EQ(update_file_bytes(), nullptr);
    EXPECT_FALSE(transfer_running());
    EXPECT_EQ(pump(1), 1);  // the pass already asked for finds nothing to send
}

TEST_F(Transfer, NothingLoadedMeansNothingToSend) {
    reach_send_page(concat({message(200)}));
    update_file_release();
    wizard_dispatch(EVENT_NEXT);
    EXPECT_EQ(fake.errors, std::vector<std::string>{"Nothing to send to the amp"});
    EXPECT_EQ(fake.wakes, 0);
}

// The amp's answer through the real input port: only a reply that decodes as
// the identity counts; a garbled one or one of the wrong length is no answer,
// and no input of the amp's is said as such.
TEST_F(Transfer, OnlyAnIdentityReplyThatDecodesIsAnAnswer) {
    const Bytes request(AMP_IDENTITY_REQUEST, AMP_IDENTITY_REQUEST + AMP_IDENTITY_REQUEST_LENGTH);
    Bytes reply(AMP_IDENTITY_REPLY_PATTERN, AMP_IDENTITY_REPLY_PATTERN + AMP_IDENTITY_REPLY_LENGTH);
    std::memcpy(reply.data() + AMP_IDENTITY_REVISION_OFFSET, "A100", 4);
    Bytes short_reply = reply;
    short_reply.erase(short_reply.begin() + 3);
    Bytes garbled = reply;
    garbled[2] = 0x11;  // another device id: not the amp's reply

    fake_midi_set_in_devices({"Other", AMP});
    fake.port = AMP;
    wizard_dispatch(EVENT_NEXT);
    wizard_dispatch(EVENT_NEXT);
    ASSERT_EQ(answer_state(), ANSWER_WAITING);
    EXPECT_EQ(wire(), request);
    fake_midi_in_sysex(short_reply.data(), short_reply.size());
    fake_midi_in_sysex(garbled.data(), garbled.size());
    ticks(ANSWER_WAIT_TICKS - 1);
    EXPECT_EQ(answer_state(), ANSWER_WAITING);
    ticks(1);
    EXPECT_EQ(answer_state(), ANSWER_SILENT);
    EXPECT_EQ(std::string(answer_result_line()).rfind("The amp did not answer: the result is unknown.", 0), 0u);

    answer_ask(send_bytes);
    fake_midi_in_sysex(reply.data(), reply.size());
    ticks(1);
    EXPECT_EQ(answer_state(), ANSWER_GOT);
    EXPECT_STREQ(answer_version(), "1.00");

    // The amp's input is gone when the port opens again (the driver has sent
    // the requests by then, so the old port closes).
    while (fake_midi_out_finish()) midi_out_pending(transfer_port(), nullptr);
    fake_midi_set_in_devices({"Other"});
    ASSERT_TRUE(open_chosen_port());
    EXPECT_EQ(answer_state(), ANSWER_NO_INPUT);
    EXPECT_EQ(std::string(answer_result_line()).rfind("No MIDI input from the amp was found: the result is unknown.", 0),
              0u);
}

// A file that fails to load shows its message, stays on the File page, and
// leaves nothing loaded, even after a good file was loaded first.
TEST_F(Transfer, FailedLoadShowsItsMessageAndLoadsNothing) {
    write_file(concat({message(200)}));
    fake.port = AMP;
    wizard_dispatch(EVENT_NEXT);
    wizard_dispatch(EVENT_NEXT);
    wizard_dispatch(EVENT_NEXT);
    ASSERT_EQ(wizard_current_page(), PAGE_RESTART);
    ASSERT_NE(update_file_bytes(), nullptr);
    wizard_dispatch(EVENT_BACK);
    write_file(Bytes(99, 0));
    wizard_dispatch(EVENT_NEXT);
    EXPECT_EQ(fake.errors, std::vector<std::string>{"File is too small\nIt has 99 bytes; an update file has at least 100."});
    EXPECT_EQ(wizard_current_page(), PAGE_FILE);
    EXPECT_EQ(update_file_bytes(), nullptr);
}

// The list is filled at start and again by the Welcome page's Next, so a
// device plugged in meanwhile is offered.
TEST_F(Transfer, WelcomeNextListsTheDevicesAgain) {
    EXPECT_EQ(fake.port_list, (std::vector<std::string>{"Other", AMP}));
    fake_midi_set_out_devices({"Other", AMP, "Later"});
    wizard_dispatch(EVENT_NEXT);
    EXPECT_EQ(fake.port_list, (std::vector<std::string>{"Other", AMP, "Later"}));
}

TEST_F(Transfer, PortThatDoesNotOpenStaysOnThePortPage) {
    fake.port = "Zorva Pro MIDI";  // a prefix of the device's name is not its name
    wizard_dispatch(EVENT_NEXT);
    wizard_dispatch(EVENT_NEXT);
    EXPECT_EQ(wizard_current_page(), PAGE_PORT);
    EXPECT_EQ(fake.errors, std::vector<std::string>{"Could not open MIDI out port"});
    EXPECT_EQ(transfer_port(), nullptr);
}

}  // namespace
