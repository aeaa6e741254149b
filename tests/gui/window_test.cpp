// The window layer under a real X server (Xvfb), driven by real key events
// from the XTest extension, with a recording controller and, where the wiring
// matters, the real wizard controller behind it.
#include <gtest/gtest.h>

#include <FL/Fl.H>
#include <FL/Fl_Choice.H>
#include <FL/Fl_Input.H>
#include <FL/Fl_Multiline_Output.H>
#include <FL/x.H>
#include <X11/XKBlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <sys/resource.h>
#include <sys/time.h>

#include <cstring>
#include <string>
#include <vector>

#include "app/app.h"
#include "app/fltk/widgets.h"
#include "app/window.h"
#include "wizard/controller.h"
#include "wizard/transfer.h"

namespace {

std::vector<int> delivered;  // every event the controller received, in order
bool forward_to_wizard;      // pass events on to the real controller too
int depth, max_depth;        // controller nesting, to catch re-entry
void (*on_event)(int);       // extra reaction of a test

int record(int event) {
    if (event == EVENT_SHUTDOWN) {
        // The window's close ends the process with status 0, which would pass
        // a test silently; nothing here may close it.
        std::fprintf(stderr, "unexpected Shutdown\n");
        std::_Exit(3);
    }
    depth++;
    if (depth > max_depth) max_depth = depth;
    delivered.push_back(event);
    if (on_event != nullptr) on_event(event);
    if (forward_to_wizard) wizard_dispatch(event);
    depth--;
    return 0;
}

// Lets the toolkit handle everything pending, idle passes included.
void settle(double seconds = 0.15) {
    XSync(fl_display, False);
    double until = seconds;
    while (until > 0) {
        Fl::wait(0.01);
        until -= 0.01;
    }
    while (app_idle_pending()) Fl::wait(0);
}

// Presses and releases one key through the X server, as a keyboard would.
void key(KeySym sym) {
    KeyCode code = XKeysymToKeycode(fl_display, sym);
    ASSERT_NE(code, 0) << "no key for keysym " << sym;
    XTestFakeKeyEvent(fl_display, code, True, CurrentTime);
    XTestFakeKeyEvent(fl_display, code, False, CurrentTime);
    settle(0.05);
}

Fl_Widget* W(int id) { return widget_by_id(id); }

std::vector<int> presses() {
    std::vector<int> out;
    for (int e : delivered) {
        if (e != EVENT_TICK) out.push_back(e);
    }
    return out;
}

class Window : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (app_main_window() != nullptr) return;
        static char name[] = "window_test";
        static char* argv[] = {name, nullptr};
        app_start(1, argv, APP_TICK_INTERVAL_MS, record);
        ASSERT_EQ(app_start_status(), APP_STARTED);
        wizard_set_page_actions(&transfer_page_actions);
        wizard_start();
        settle(0.3);
    }

    void SetUp() override {
        ASSERT_NE(app_main_window(), nullptr);
        if (!app_main_window()->shown()) app_main_window()->show();
        settle();
        XSetInputFocus(fl_display, fl_xid(app_main_window()), RevertToPointerRoot, CurrentTime);
        forward_to_wizard = false;
        on_event = nullptr;
        wizard_reset();
        clear_port_list();
        static_cast<Fl_Input*>(W(WIDGET_FILE_INPUT))->value("");
        go_to_page(PAGE_WELCOME);
        settle();
        delivered.clear();
        max_depth = 0;
    }
};

TEST_F(Window, WidgetsSitWhereTheLayoutPutsThem) {
    Fl_Window* win = app_main_window();
    EXPECT_EQ(win->w(), 590);
    EXPECT_EQ(win->h(), 350);
    EXPECT_STREQ(win->label(), "Zorva Pro Updater  Version 1.00");

    struct Geometry {
        int id, x, y, w, h;
        const char* label;  // null: the page decides
        int takes_focus;
    };
    const Geometry table[] = {
        {WIDGET_CHOOSE_BUTTON, 478, 194, 40, 30, "...", 1},
        {WIDGET_BACK, 65, 275, 110, 40, nullptr, 1},
        {WIDGET_NEXT, 240, 275, 110, 40, nullptr, 1},
        {WIDGET_SKIP, 415, 275, 110, 40, nullptr, 1},
        {WIDGET_FILE_INPUT, 120, 194, 350, 30, "File", 1},
        {WIDGET_PORT_CHOICE, 180, 112, 230, 30, "MIDI Output", 0},
    };
    for (const Geometry& g : table) {
        SCOPED_TRACE(g.id);
        Fl_Widget* w = W(g.id);
        ASSERT_NE(w, nullptr);
        EXPECT_EQ(w->window(), win);
        EXPECT_EQ(w->x(), g.x);
        EXPECT_EQ(w->y(), g.y);
        EXPECT_EQ(w->w(), g.w);
        EXPECT_EQ(w->h(), g.h);
        if (g.label != nullptr) {
            EXPECT_STREQ(w->label(), g.label);
        }
        EXPECT_EQ(w->visible_focus() != 0, g.takes_focus != 0);
    }
    EXPECT_EQ(widget_by_id(1), nullptr);
    EXPECT_EQ(widget_by_id(8), nullptr);
    EXPECT_EQ(W(WIDGET_FILE_INPUT)->when() & FL_WHEN_CHANGED, FL_WHEN_CHANGED);

    // The page text, the arrows: found among the window's children.
    int arrows = 0, texts = 0;
    for (int i = 0; i < win->children(); i++) {
        Fl_Widget* c = win->child(i);
        if (c->label() != nullptr && std::strcmp(c->label(), "@+9->") == 0) {
            arrows++;
            EXPECT_EQ(c->x(), 40);
            EXPECT_TRUE(c->y() == 112 || c->y() == 194);
            EXPECT_EQ(c->labelcolor(), FL_DARK3);
            EXPECT_EQ(c->box(), FL_FLAT_BOX);
            EXPECT_FALSE(c->visible_focus());
        }
        if (auto* t = dynamic_cast<Fl_Multiline_Output*>(c)) {
            texts++;
            EXPECT_EQ(t->x(), 80);
            EXPECT_EQ(t->y(), 20);
            EXPECT_EQ(t->w(), 430);
            EXPECT_EQ(t->h(), 74);
            EXPECT_EQ(t->textsize(), 16);
            EXPECT_EQ(t->color(), FL_BACKGROUND_COLOR);
            EXPECT_FALSE(t->visible_focus());
            EXPECT_STREQ(t->value(), wizard_pages[PAGE_WELCOME].text);
        }
    }
    EXPECT_EQ(arrows, 2);
    EXPECT_EQ(texts, 1);
}

TEST_F(Window, ArrowMarksOneRowAtATime) {
    for (int row : {1, 2, 0, 2, 1, 7}) {
        mark_arrow(row);
        EXPECT_EQ(marked_arrow_row(), row == 1 || row == 2 ? row : 0);
    }
}

TEST_F(Window, EscapeNeverClosesTheWindow) {
    for (int page = PAGE_WELCOME; page <= PAGE_DONE; page++) {
        go_to_page(page);
        settle();
        key(XK_Escape);
        EXPECT_TRUE(app_main_window()->shown()) << page;
    }
    EXPECT_TRUE(presses().empty());
}

TEST_F(Window, NavigationKeysAreSwallowedOnAButton) {
    go_to_page(PAGE_RESTART);  // Back and Skip are active: there is somewhere to move
    settle();
    ASSERT_EQ(Fl::focus(), W(WIDGET_NEXT));
    for (KeySym k : {XK_Left, XK_Right, XK_Up, XK_Down, XK_BackSpace, XK_Tab}) {
        key(k);
        if (k == XK_Tab) break;  // Tab is not one of them: it moves on
        EXPECT_EQ(Fl::focus(), W(WIDGET_NEXT)) << k;
    }
    EXPECT_NE(Fl::focus(), W(WIDGET_NEXT));
    EXPECT_TRUE(presses().empty());
}

TEST_F(Window, NavigationKeysEditInTheFileInput) {
    forward_to_wizard = true;
    go_to_page(PAGE_FILE);
    settle();
    auto* input = static_cast<Fl_Input*>(W(WIDGET_FILE_INPUT));
    ASSERT_EQ(Fl::focus(), input);
    for (KeySym k : {XK_a, XK_b, XK_c}) key(k);
    EXPECT_STREQ(input->value(), "abc");
    key(XK_Left);
    EXPECT_EQ(input->position(), 2);
    key(XK_BackSpace);
    EXPECT_STREQ(input->value(), "ac");
    key(XK_Right);
    EXPECT_EQ(input->position(), 2);
    key(XK_Up);
    key(XK_Down);
    EXPECT_EQ(Fl::focus(), input);
    EXPECT_EQ(input->position(), 2);
    EXPECT_STREQ(input->value(), "ac");
}

TEST_F(Window, FirstCharacterOfAFileNameActivatesNext) {
    forward_to_wizard = true;
    go_to_page(PAGE_FILE);
    settle();
    EXPECT_FALSE(W(WIDGET_NEXT)->active());
    key(XK_x);
    EXPECT_TRUE(W(WIDGET_NEXT)->active());
    key(XK_BackSpace);
    EXPECT_FALSE(W(WIDGET_NEXT)->active());
    key(XK_n);  // typed into the input, not the shortcut of Next
    EXPECT_EQ(wizard_current_page(), PAGE_FILE);
    std::vector<int> changes(3, EVENT_FILE_NAME_CHANGED);
    EXPECT_EQ(presses(), changes);
}

TEST_F(Window, SpaceAndEnterPressOnlyTheFocusedButton) {
    go_to_page(PAGE_RESTART);
    settle();
    ASSERT_EQ(Fl::focus(), W(WIDGET_NEXT));
    key(XK_space);
    key(XK_Return);
    Fl::focus(W(WIDGET_SKIP));
    key(XK_space);
    Fl::focus(W(WIDGET_BACK));
    key(XK_Return);
    std::vector<int> expected = {EVENT_NEXT, EVENT_NEXT, EVENT_SKIP, EVENT_BACK};
    EXPECT_EQ(presses(), expected);

    // An inactive button ignores them even with the focus.
    delivered.clear();
    show_page(wizard_pages[PAGE_SENDING], 0, 0);
    settle();
    Fl::focus(W(WIDGET_NEXT));
    key(XK_space);
    key(XK_Return);
    EXPECT_TRUE(presses().empty());
}

TEST_F(Window, LetterShortcutsPressOnlyActiveButtons) {
    const KeySym letters[] = {XK_b, XK_n, XK_r, XK_u, XK_f, XK_s};
    // Per record, the event each of b n r u f s posts (0: none). The focus is
    // on a button; on the File page it is in the input, which takes letters.
    struct Row {
        int record;
        int expect[6];
    };
    const Row table[] = {
        {PAGE_WELCOME, {0, EVENT_NEXT, 0, 0, 0, 0}},
        {PAGE_PORT, {EVENT_BACK, EVENT_NEXT, 0, 0, 0, 0}},
        {PAGE_FILE, {6, 6, 6, 6, 6, 6}},
        {PAGE_RESTART, {EVENT_BACK, 0, EVENT_NEXT, 0, 0, EVENT_SKIP}},
        {PAGE_SEND, {EVENT_BACK, 0, 0, EVENT_NEXT, 0, 0}},
        {PAGE_DONE, {EVENT_BACK, 0, 0, 0, EVENT_NEXT, 0}},
        {PAGE_SENDING, {0, 0, 0, 0, 0, 0}},
        {PAGE_RESTARTING, {0, 0, 0, 0, 0, 0}},
    };
    port_list_add("Zorva");  // Next is active on the Port page
    for (const Row& row : table) {
        for (int i = 0; i < 6; i++) {
            SCOPED_TRACE(testing::Message() << "record " << row.record << " letter " << i);
            if (row.record < WIZARD_PAGE_COUNT) {
                go_to_page(row.record);
            } else {
                show_page(wizard_pages[row.record], 0, 0);
            }
            if (row.record == PAGE_PORT) Fl::focus(W(WIDGET_BACK));
            settle();
            delivered.clear();
            key(letters[i]);
            std::vector<int> expected;
            if (row.expect[i] != 0) expected.push_back(row.expect[i]);
            EXPECT_EQ(presses(), expected);
        }
    }
}

TEST_F(Window, ShortcutLetterIsTheCharacterAfterTheFirstAmpersand) {
    Fl_Button probe(0, 0, 1, 1);
    struct Case {
        const char* label;
        int letter;
    };
    const Case cases[] = {{"&Back", 'b'}, {"Send &Update", 'u'}, {"No mark", 0},
                          {"Ends &", 0},  {"&A&b", 'a'},         {nullptr, 0}};
    for (const Case& c : cases) {
        probe.label(c.label);
        EXPECT_EQ(shortcut_letter(&probe), c.letter) << (c.label ? c.label : "(null)");
    }
    EXPECT_EQ(shortcut_letter(nullptr), 0);
    EXPECT_EQ(shortcut_handler(FL_KEYBOARD), 0);
}

TEST_F(Window, PortListChoosesTheLastAmpLikeDevice) {
    struct Case {
        std::vector<const char*> names;
        const char* chosen;
    };
    const Case cases[] = {
        {{"A", "Zorva X", "B", "PRO Y"}, "PRO Y"},
        {{"A", "B"}, "A"},
        {{"A", "zorva", "pro", "Pr o"}, "A"},  // the patterns are case-sensitive
        {{"A", "Productive", "B"}, "Productive"},
        {{"ZORVA 1", "Synth"}, "ZORVA 1"},
        // Menu syntax in a name is kept verbatim: the port opens by exact name.
        {{"USB/MIDI & Pro\\1", "_x"}, "USB/MIDI & Pro\\1"},
        {{}, nullptr},
    };
    for (const Case& c : cases) {
        clear_port_list();
        int count = 0;
        for (const char* name : c.names) count = port_list_add(name);
        EXPECT_EQ(count, static_cast<int>(c.names.size()));
        // One flat entry per device: no name turned into a submenu or divider.
        auto* choice = static_cast<Fl_Choice*>(W(WIDGET_PORT_CHOICE));
        for (int i = 0; i < count; i++) {
            ASSERT_NE(choice->menu()[i].label(), nullptr);
            EXPECT_EQ(choice->menu()[i].submenu(), 0);
            EXPECT_EQ(choice->menu()[i].flags & FL_MENU_DIVIDER, 0);
        }
        if (count > 0) {
            EXPECT_EQ(choice->menu()[count].label(), nullptr);
        }
        if (c.chosen == nullptr) {
            EXPECT_EQ(chosen_port_name(), nullptr);
        } else {
            ASSERT_NE(chosen_port_name(), nullptr);
            EXPECT_STREQ(chosen_port_name(), c.chosen);
        }
    }
}

// With no MIDI output device the Port page still offers Next, on entry and on
// every entry after a choice change took it away; pressing it says why.
std::string box_text;
void read_and_close_box(void*) {
    Fl_Window* box = Fl::modal();
    if (box == nullptr) return;
    for (int i = 0; i < box->children(); i++)
        if (box->child(i)->label() != nullptr) box_text += box->child(i)->label();
    box->hide();
}

TEST_F(Window, PortPageWithNoDeviceStillOffersNext) {
    static const PageActionTable no_devices = {clear_port_list, open_chosen_port, nullptr, nullptr, nullptr,
                                               nullptr,         nullptr,          nullptr, nullptr};
    wizard_set_page_actions(&no_devices);
    forward_to_wizard = true;
    key(XK_n);
    settle();
    ASSERT_EQ(wizard_current_page(), PAGE_PORT);
    EXPECT_EQ(chosen_port_name(), nullptr);
    EXPECT_TRUE(W(WIDGET_NEXT)->active());

    post_event(EVENT_PORT_CHANGED);
    settle();
    EXPECT_FALSE(W(WIDGET_NEXT)->active());
    key(XK_b);
    key(XK_n);
    settle();
    ASSERT_EQ(wizard_current_page(), PAGE_PORT);
    EXPECT_TRUE(W(WIDGET_NEXT)->active());

    box_text.clear();
    Fl::add_timeout(0.5, read_and_close_box);
    key(XK_n);
    settle(1.0);
    EXPECT_NE(box_text.find("Could not open MIDI out port"), std::string::npos) << box_text;
    EXPECT_EQ(wizard_current_page(), PAGE_PORT);
    wizard_set_page_actions(&transfer_page_actions);
}

TEST_F(Window, FileNameIsNullWhenEmpty) {
    auto* input = static_cast<Fl_Input*>(W(WIDGET_FILE_INPUT));
    EXPECT_EQ(file_name(), nullptr);
    input->value("a.syx");
    EXPECT_STREQ(file_name(), "a.syx");
}

TEST_F(Window, ASecondFileChooserReplacesTheFirst) {
    auto shown_windows = [] {
        int n = 0;
        for (Fl_Window* w = Fl::first_window(); w != nullptr; w = Fl::next_window(w)) n++;
        return n;
    };
    int before = shown_windows();
    wizard_dispatch(EVENT_CHOOSE_FILE);
    settle();
    EXPECT_EQ(shown_windows(), before + 1);
    wizard_dispatch(EVENT_CHOOSE_FILE);
    settle();
    EXPECT_EQ(shown_windows(), before + 1);
    // Finish takes the chooser with it, or the loop would go on without a
    // main window.
    hide_main_window();
    settle();
    EXPECT_EQ(shown_windows(), 0);
}

TEST_F(Window, FullQueueKeepsTheFirst32InOrder) {
    std::vector<int> posted;
    for (int i = 0; i < 33; i++) {
        int code = 2 + i % 7;  // 2..8, never a wake
        post_event(code);
        posted.push_back(code);
    }
    post_event(0);
    settle();
    posted.pop_back();  // the 33rd found the queue full
    EXPECT_EQ(delivered, posted);
    EXPECT_FALSE(app_idle_pending());
}

TEST_F(Window, OneEventPerIdlePassQueuedEventsBeforeTheWake) {
    request_wake();
    post_event(EVENT_BACK);
    post_event(256 + EVENT_NEXT);  // the low 8 bits travel
    EXPECT_TRUE(app_idle_pending());
    app_idle_poll();
    EXPECT_EQ(delivered, std::vector<int>{EVENT_BACK});
    app_idle_poll();
    app_idle_poll();
    std::vector<int> expected = {EVENT_BACK, EVENT_NEXT, EVENT_SEND_MORE};
    EXPECT_EQ(delivered, expected);
    EXPECT_FALSE(app_idle_pending());  // nothing pending: the loop may sleep
    app_idle_poll();
    EXPECT_EQ(delivered.size(), 3u);
}

// The error box runs a loop of its own in which the tick keeps firing; no
// event may reach the controller until the box is closed, and the loop must
// sleep meanwhile.
int pending_while_open = -1;
void close_box(void*) {
    pending_while_open = app_idle_pending();
    if (Fl::modal() != nullptr) Fl::modal()->hide();
}
void error_on_back(int event) {
    if (event != EVENT_BACK) return;
    Fl::add_timeout(0.6, close_box);
    show_error("Could not open file");
}
void finish(void*) { hide_main_window(); }

TEST_F(Window, ErrorBoxHoldsEventsBackAndLetsTheLoopSleep) {
    on_event = error_on_back;
    post_event(EVENT_BACK);
    Fl::add_timeout(1.2, finish);
    struct rusage r0, r1;
    getrusage(RUSAGE_SELF, &r0);
    EXPECT_EQ(app_run(), 0);
    getrusage(RUSAGE_SELF, &r1);
    EXPECT_EQ(max_depth, 1);
    EXPECT_EQ(pending_while_open, 0);
    // The ticks of the open box were delivered after it closed.
    EXPECT_GE(delivered.size(), 4u);
    double cpu = (r1.ru_utime.tv_sec - r0.ru_utime.tv_sec) + (r1.ru_stime.tv_sec - r0.ru_stime.tv_sec) +
                 ((r1.ru_utime.tv_usec - r0.ru_utime.tv_usec) + (r1.ru_stime.tv_usec - r0.ru_stime.tv_usec)) / 1e6;
    EXPECT_LT(cpu, 0.6);
}

TEST_F(Window, RunDeliversTicksAndFinishEndsTheLoop) {
    Fl::add_timeout(1.05, finish);
    EXPECT_EQ(app_run(), 0);
    int ticks = 0;
    for (int e : delivered) ticks += e == EVENT_TICK;
    EXPECT_GE(ticks, 5);
    EXPECT_LE(ticks, 11);
    EXPECT_FALSE(app_main_window()->shown());
}

// A waiting window must not keep a core busy: the figure is printed, the
// bound is generous.
TEST_F(Window, WaitingWindowUsesLittleCpu) {
    const double seconds = 3.0;
    Fl::add_timeout(seconds, finish);
    struct rusage r0, r1;
    struct timeval t0, t1;
    getrusage(RUSAGE_SELF, &r0);
    gettimeofday(&t0, nullptr);
    app_run();
    getrusage(RUSAGE_SELF, &r1);
    gettimeofday(&t1, nullptr);
    auto secs = [](const timeval& a, const timeval& b) {
        return (b.tv_sec - a.tv_sec) + (b.tv_usec - a.tv_usec) / 1e6;
    };
    double cpu = secs(r0.ru_utime, r1.ru_utime) + secs(r0.ru_stime, r1.ru_stime);
    double wall = secs(t0, t1);
    std::printf("idle window: %.3f s CPU in %.3f s wall (%.1f %%)\n", cpu, wall, 100.0 * cpu / wall);
    EXPECT_LT(cpu / wall, 0.20);
}

}  // namespace
