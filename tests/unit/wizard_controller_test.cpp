// The wizard controller driven through its dispatcher with real event codes,
// against a recording stand-in window and stand-in update steps.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/events.h"
#include "tests/support/fake_window.h"
#include "wizard/controller.h"

namespace {

// What the stand-in update steps return and how often each was called.
struct Steps {
    bool port_opens = true;
    bool file_loads = true;
    int transfer_messages = 0;  // send_next_message reports data left this many times
    int refreshes = 0, opens = 0, loads = 0, restarts = 0, transfers = 0, sends = 0, releases = 0;
    bool restart_shows_wait = true;  // start_restart/start_transfer show their wait records
};
Steps steps;

const PageActionTable stand_in_steps = {
    [] { steps.refreshes++; },
    [] { steps.opens++; return steps.port_opens; },
    []() -> const char* { return ""; },
    [] { steps.loads++; return steps.file_loads; },
    [] {
        steps.restarts++;
        WizardMove m = WIZARD_STAY;
        if (steps.restart_shows_wait) m.show = PAGE_RESTARTING;
        return m;
    },
    [] {
        steps.transfers++;
        WizardMove m = WIZARD_STAY;
        m.show = PAGE_SENDING;
        return m;
    },
    [] {
        steps.sends++;
        WizardMove m = WIZARD_STAY;
        if (steps.transfer_messages-- > 0) m.wake_ms = 0;
        return m;
    },
    [] { steps.releases++; },
    nullptr,
};

class Controller : public ::testing::Test {
protected:
    void SetUp() override {
        fake_window_reset();
        steps = Steps{};
        wizard_reset();
        wizard_set_page_actions(&stand_in_steps);
        wizard_start();
    }
    void TearDown() override { wizard_set_page_actions(nullptr); }

    // Walks the wizard to `page` the way a user would.
    void reach(int page) {
        fake.port = "Zorva Pro MIDI 1";
        fake.file = "update.syx";
        for (int guard = 0; wizard_current_page() < page && guard < 10; guard++) {
            int now = wizard_current_page();
            if (now == PAGE_SEND) {
                next_page();  // what the end of a transfer's wait does
            } else {
                wizard_dispatch(now == PAGE_RESTART ? EVENT_SKIP : EVENT_NEXT);
            }
        }
        ASSERT_EQ(wizard_current_page(), page);
    }
};

TEST_F(Controller, StartShowsWelcomeAfterFillingThePortList) {
    EXPECT_EQ(steps.refreshes, 1);
    EXPECT_EQ(wizard_current_page(), PAGE_WELCOME);
    EXPECT_EQ(fake.label[WIDGET_NEXT], "&Next");
    EXPECT_TRUE(fake.active[WIDGET_NEXT]);
    EXPECT_FALSE(fake.active[WIDGET_BACK]);
    EXPECT_FALSE(fake.active[WIDGET_SKIP]);
    EXPECT_EQ(fake.focus, WIDGET_NEXT);
    EXPECT_EQ(fake.text.rfind("This will take you through the steps", 0), 0u);
}

// Each page as the user sees it on arrival, independent of how it was reached.
TEST_F(Controller, EveryPageShowsItsButtonsRowsAndArrow) {
    struct Expect {
        int page;
        const char* next_label;
        int back, next, skip, file_row, port_row, arrow;
        const char* text_start;
    };
    const Expect table[] = {
        {PAGE_PORT, "&Next", 1, 1, 0, 0, 1, 1, "Select the MIDI output device"},
        {PAGE_FILE, "&Next", 1, 1, 0, 1, 0, 2, "Enter or select the update file"},
        {PAGE_RESTART, "&Restart Amp", 1, 1, 1, 0, 0, 0, "If the amp is not already"},
        {PAGE_SEND, "Send &Update", 1, 1, 0, 0, 0, 0, "Press Send Update"},
        {PAGE_DONE, "&Finish", 1, 1, 0, 0, 0, 0, "The update has been sent"},
    };
    for (const Expect& e : table) {
        SCOPED_TRACE(e.page);
        reach(e.page);
        EXPECT_EQ(fake.label[WIDGET_BACK], "&Back");
        EXPECT_EQ(fake.label[WIDGET_NEXT], e.next_label);
        EXPECT_EQ(fake.label[WIDGET_SKIP], "&Skip");
        EXPECT_EQ(fake.active[WIDGET_BACK], e.back);
        EXPECT_EQ(fake.active[WIDGET_NEXT], e.next);
        EXPECT_EQ(fake.active[WIDGET_SKIP], e.skip);
        EXPECT_EQ(fake.active[WIDGET_CHOOSE_BUTTON], e.file_row);
        EXPECT_EQ(fake.active[WIDGET_FILE_INPUT], e.file_row);
        EXPECT_EQ(fake.active[WIDGET_PORT_CHOICE], e.port_row);
        EXPECT_EQ(fake.arrow_row, e.arrow);
        EXPECT_EQ(fake.text.rfind(e.text_start, 0), 0u) << fake.text;
    }
}

TEST_F(Controller, WaitRecordsMakeEveryButtonInactive) {
    for (int record : {PAGE_SENDING, PAGE_RESTARTING}) {
        reach(PAGE_RESTART);
        show_page(wizard_pages[record], 0, 0);
        EXPECT_FALSE(fake.active[WIDGET_BACK] || fake.active[WIDGET_NEXT] || fake.active[WIDGET_SKIP]);
        EXPECT_EQ(fake.text.rfind("Please wait", 0), 0u);
        EXPECT_EQ(wizard_current_page(), PAGE_RESTART);  // showing a record never changes the page
    }
}

TEST_F(Controller, NextRunsThePageActionAndMovesOnOnlyWhenItSucceeds) {
    fake.port = "A";
    wizard_dispatch(EVENT_NEXT);
    EXPECT_EQ(wizard_current_page(), PAGE_PORT);
    EXPECT_EQ(steps.refreshes, 2);  // a device plugged in after start gets listed

    steps.port_opens = false;
    wizard_dispatch(EVENT_NEXT);
    EXPECT_EQ(wizard_current_page(), PAGE_PORT);
    EXPECT_EQ(fake.errors, std::vector<std::string>{"Could not open MIDI out port"});

    steps.port_opens = true;
    wizard_dispatch(EVENT_NEXT);
    EXPECT_EQ(wizard_current_page(), PAGE_FILE);

    fake.file = "x.syx";
    wizard_dispatch(EVENT_FILE_NAME_CHANGED);
    steps.file_loads = false;
    wizard_dispatch(EVENT_NEXT);
    EXPECT_EQ(wizard_current_page(), PAGE_FILE);
    EXPECT_EQ(fake.errors.size(), 1u);  // the loader reports its own failures
    steps.file_loads = true;
    wizard_dispatch(EVENT_NEXT);
    EXPECT_EQ(wizard_current_page(), PAGE_RESTART);

    // Restart and Send stay on their page; their countdowns move on later.
    wizard_dispatch(EVENT_NEXT);
    EXPECT_EQ(steps.restarts, 1);
    EXPECT_EQ(wizard_current_page(), PAGE_RESTART);
    go_to_page(PAGE_SEND);
    wizard_dispatch(EVENT_NEXT);
    EXPECT_EQ(steps.transfers, 1);
    EXPECT_EQ(wizard_current_page(), PAGE_SEND);

    go_to_page(PAGE_DONE);
    wizard_dispatch(EVENT_NEXT);
    EXPECT_EQ(fake.hides, 1);
    EXPECT_EQ(wizard_current_page(), PAGE_DONE);
}

TEST_F(Controller, SkipMovesOnWithoutTheRestartAction) {
    reach(PAGE_RESTART);
    wizard_dispatch(EVENT_SKIP);
    EXPECT_EQ(wizard_current_page(), PAGE_SEND);
    EXPECT_EQ(steps.restarts, 0);
    // Skip is inactive everywhere else, so a stray Skip event changes nothing.
    wizard_dispatch(EVENT_SKIP);
    EXPECT_EQ(wizard_current_page(), PAGE_SEND);
}

TEST_F(Controller, BackWalksDownToWelcomeAndStopsThere) {
    reach(PAGE_DONE);
    for (int expected = PAGE_SEND; expected >= PAGE_WELCOME; expected--) {
        wizard_dispatch(EVENT_BACK);
        EXPECT_EQ(wizard_current_page(), expected);
    }
    previous_page();
    EXPECT_EQ(wizard_current_page(), PAGE_WELCOME);
    go_to_page(PAGE_DONE);
    next_page();
    EXPECT_EQ(wizard_current_page(), PAGE_DONE);
    go_to_page(6);
    go_to_page(-1);
    EXPECT_EQ(wizard_current_page(), PAGE_DONE);
}

TEST_F(Controller, BackFromDoneAllowsSendingAgain) {
    reach(PAGE_DONE);
    wizard_dispatch(EVENT_BACK);
    wizard_dispatch(EVENT_NEXT);
    EXPECT_EQ(steps.transfers, 1);
}

TEST_F(Controller, NextOnPortPageFollowsTheChoice) {
    fake.port.clear();
    wizard_dispatch(EVENT_NEXT);
    ASSERT_EQ(wizard_current_page(), PAGE_PORT);
    EXPECT_TRUE(fake.active[WIDGET_NEXT]);  // on entry: offered, chosen or not
    fake.port = "B";
    wizard_dispatch(EVENT_PORT_CHANGED);
    EXPECT_TRUE(fake.active[WIDGET_NEXT]);
    fake.port.clear();
    wizard_dispatch(EVENT_PORT_CHANGED);
    EXPECT_FALSE(fake.active[WIDGET_NEXT]);
    go_to_page(PAGE_PORT);
    EXPECT_TRUE(fake.active[WIDGET_NEXT]);
}

TEST_F(Controller, NextOnFilePageFollowsTheFileName) {
    reach(PAGE_FILE);
    fake.file.clear();
    wizard_dispatch(EVENT_FILE_NAME_CHANGED);
    EXPECT_FALSE(fake.active[WIDGET_NEXT]);
    fake.file = "u";
    wizard_dispatch(EVENT_FILE_NAME_CHANGED);
    EXPECT_TRUE(fake.active[WIDGET_NEXT]);
    fake.file.clear();
    wizard_dispatch(EVENT_BACK);
    wizard_dispatch(EVENT_NEXT);
    EXPECT_EQ(wizard_current_page(), PAGE_FILE);
    EXPECT_FALSE(fake.active[WIDGET_NEXT]);  // on entry: an empty name leaves Next inactive
}

TEST_F(Controller, InputChangesOnOtherPagesChangeNothing) {
    for (int page : {PAGE_WELCOME, PAGE_FILE, PAGE_RESTART, PAGE_SEND, PAGE_DONE}) {
        go_to_page(page);
        int before = fake.active[WIDGET_NEXT];
        fake.port.clear();
        wizard_dispatch(EVENT_PORT_CHANGED);
        EXPECT_EQ(fake.active[WIDGET_NEXT], before) << page;
    }
    for (int page : {PAGE_WELCOME, PAGE_PORT, PAGE_RESTART, PAGE_SEND, PAGE_DONE}) {
        fake.port = "A";
        go_to_page(page);
        int before = fake.active[WIDGET_NEXT];
        fake.file.clear();
        wizard_dispatch(EVENT_FILE_NAME_CHANGED);
        EXPECT_EQ(fake.active[WIDGET_NEXT], before) << page;
    }
}

// A second Next queued behind the first (double click, key repeat) must not
// start the transfer again once the first has made the button inactive.
TEST_F(Controller, StalePressesAfterTheButtonWentInactiveAreIgnored) {
    reach(PAGE_SEND);
    wizard_dispatch(EVENT_NEXT);
    wizard_dispatch(EVENT_NEXT);
    wizard_dispatch(EVENT_BACK);
    EXPECT_EQ(steps.transfers, 1);
    EXPECT_EQ(wizard_current_page(), PAGE_SEND);
    go_to_page(PAGE_RESTART);
    wizard_dispatch(EVENT_NEXT);
    wizard_dispatch(EVENT_SKIP);
    EXPECT_EQ(steps.restarts, 1);
    EXPECT_EQ(wizard_current_page(), PAGE_RESTART);
}

TEST_F(Controller, SendMoreRunsOnlyOnTheSendPageAndKeepsTheWakeGoing) {
    steps.transfer_messages = 2;
    wizard_dispatch(EVENT_SEND_MORE);
    EXPECT_EQ(steps.sends, 0);
    reach(PAGE_SEND);
    for (int i = 0; i < 3; i++) wizard_dispatch(EVENT_SEND_MORE);
    EXPECT_EQ(steps.sends, 3);
    EXPECT_EQ(fake.wakes, 2);  // woken again only while data remained
}

TEST_F(Controller, ShutdownReleasesTheFileAndOtherCodesDoNothing) {
    wizard_dispatch(EVENT_CHOOSE_FILE);
    EXPECT_EQ(fake.choosers, 1);
    for (int code : {0, 10, 255, -1, 1 << 20}) wizard_dispatch(code);
    EXPECT_EQ(wizard_current_page(), PAGE_WELCOME);
    EXPECT_EQ(steps.releases, 0);
    wizard_dispatch(EVENT_SHUTDOWN);
    EXPECT_EQ(steps.releases, 1);
}

TEST_F(Controller, WithoutUpdateStepsThePagesJustMoveOn) {
    const PageActionTable no_steps = {};
    wizard_set_page_actions(&no_steps);
    fake.port = "A";
    fake.file = "f";
    for (int expected = PAGE_PORT; expected <= PAGE_DONE; expected++) {
        wizard_dispatch(EVENT_NEXT);
        EXPECT_EQ(wizard_current_page(), expected);
    }
    wizard_dispatch(EVENT_SEND_MORE);
    wizard_dispatch(EVENT_SHUTDOWN);
    EXPECT_TRUE(fake.errors.empty());
}

// ---------------------------------------------------------------- countdown

int countdown_runs;
int chained_runs;
WizardMove count_run() {
    ++countdown_runs;
    return WIZARD_STAY;
}
// Asks for the next countdown as an update step does.
WizardMove chain_run() {
    ++chained_runs;
    WizardMove m = WIZARD_STAY;
    m.countdown_ticks = 2;
    m.countdown = count_run;
    return m;
}

// Ticks delivered until the countdown's action has run once; -1 if never.
int ticks_until_run(int armed, int limit = 400) {
    countdown_runs = 0;
    countdown_arm(armed, count_run);
    for (int t = 1; t <= limit; t++) {
        wizard_dispatch(EVENT_TICK);
        if (countdown_runs > 0) return t;
    }
    return -1;
}

TEST_F(Controller, CountdownRunsItsActionOnTheTickAfterTheArmedCount) {
    for (int n : {0, 1, 10, 50, 150}) EXPECT_EQ(ticks_until_run(n), n + 1) << n;
    EXPECT_EQ(ticks_until_run(-5), -1);
    // The action runs once; later ticks find the countdown idle.
    for (int t = 0; t < 5; t++) wizard_dispatch(EVENT_TICK);
    EXPECT_EQ(countdown_runs, 0);
}

TEST_F(Controller, ArmingReplacesThePendingActionAndActionsMayRearm) {
    chained_runs = 0;
    countdown_runs = 0;
    countdown_arm(3, chain_run);
    wizard_dispatch(EVENT_TICK);
    countdown_arm(1, count_run);  // replaces chain_run, restarts the count
    wizard_dispatch(EVENT_TICK);
    EXPECT_EQ(countdown_runs, 0);
    wizard_dispatch(EVENT_TICK);
    EXPECT_EQ(countdown_runs, 1);
    EXPECT_EQ(chained_runs, 0);

    countdown_runs = 0;
    countdown_arm(0, chain_run);
    wizard_dispatch(EVENT_TICK);
    EXPECT_EQ(chained_runs, 1);
    for (int t = 0; t < 3; t++) wizard_dispatch(EVENT_TICK);
    EXPECT_EQ(countdown_runs, 1);  // the re-armed action ran on its third tick
}

}  // namespace
