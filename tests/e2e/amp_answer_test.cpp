// Whether the update took, as the amp itself says: the real window and the
// real wizard in this process, under an X server, against the virtual amp (or
// a silent stand-in) on a private JACK server. The test reads the Done page's
// line and the progress bar straight from the widgets.
#include "tests/support/gui_driver.h"
#include "tests/support/jack_server.h"

#include <gtest/gtest.h>

#include <FL/Fl.H>
#include <FL/Fl_Input.H>
#include <FL/Fl_Window.H>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "app/app.h"
#include "app/fltk/widgets.h"
#include "app/window.h"
#include "wizard/controller.h"
#include "wizard/transfer.h"

#ifndef VAMP_EXE
#error "VAMP_EXE must name the virtual amp"
#endif

namespace {

// One step of a walk through the wizard: once `ready` holds, `act` runs.
struct Step {
    const char* what;
    std::function<bool()> ready;
    std::function<void()> act;
};

std::vector<Step> steps;
size_t step_at;
double step_deadline;
std::string stuck;  // the step that timed out, if one did
std::vector<double> bar_values;

double now_s() { return monotonic_s(); }

// Runs inside the wizard's own loop every 50 ms: records the bar and moves
// the walk on.
void drive(void*) {
    // A message box ends the walk: it says what went wrong, and nothing moves
    // on while it is open.
    if (Fl_Window* box = Fl::modal()) {
        stuck = std::string("error box during the ") + (step_at < steps.size() ? steps[step_at].what : "last") +
                " step:";
        for (int i = 0; i < box->children(); i++)
            if (box->child(i)->label()) stuck += std::string(" ") + box->child(i)->label();
        step_at = steps.size();
        box->hide();
        hide_main_window();
        return;
    }
    double v = progress_value();
    if (v >= 0) bar_values.push_back(v);
    if (step_at < steps.size() && steps[step_at].ready()) {
        if (steps[step_at].act) steps[step_at].act();
        step_at++;
        step_deadline = now_s() + 60;
    } else if (step_at < steps.size() && now_s() > step_deadline) {
        stuck = steps[step_at].what;
        step_at = steps.size();
    }
    if (step_at >= steps.size()) {
        hide_main_window();
        return;
    }
    Fl::repeat_timeout(0.05, drive);
}

bool on_page(int page) { return wizard_current_page() == page; }
bool bar_hidden() { return progress_value() < 0; }

class AmpAnswer : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        static char name[] = "amp_answer_test";
        static char* argv[] = {name, nullptr};
        app_start(1, argv, APP_TICK_INTERVAL_MS, wizard_dispatch);
        ASSERT_EQ(app_start_status(), APP_STARTED);
        wizard_set_page_actions(&transfer_page_actions);
    }

    void SetUp() override {
        ASSERT_NE(app_main_window(), nullptr);
        char tmpl[] = "/tmp/zp-answer-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        ASSERT_TRUE(private_jack_start(&jack_, "zp-answer", 256, true)) << "see " << jack_.log;
        // An update of 256-byte blocks, about 1 MB: long enough to watch.
        std::ofstream f(file(), std::ios::binary);
        uint32_t seed = 7;
        for (int m = 0; m < 4000; m++) {
            f.put(char(0xF0));
            for (int i = 0; i < 256; i++) {
                seed = seed * 1103515245u + 12345u;
                f.put(char((seed >> 16) & 0x7F));
            }
            f.put(char(0xF7));
        }
        steps.clear();
        step_at = 0;
        stuck.clear();
        bar_values.clear();
    }

    void TearDown() override {
        // The wizard's ports go with this test's server: a JACK client left
        // open on a server that is gone cannot be closed safely later.
        close_port();
        child_stop(amp_);
        private_jack_stop(&jack_);
        if (HasFailure()) std::printf("amp log:\n%s\n", shell_output("cat '" + dir_ + "/amp.log'").c_str());
        std::system(("rm -rf '" + dir_ + "'").c_str());
    }

    std::string file() const { return dir_ + "/update.syx"; }

    void start_amp(std::vector<std::string> extra = {}) {
        std::vector<std::string> argv = {VAMP_EXE, "--verbose", "--restart-ms", "1000", "--quiet-ms", "500",
                                         "--reprogram-ms", "2000", "--report", dir_ + "/report.json"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        amp_ = child_start(argv, dir_ + "/amp.log");
        ASSERT_GT(amp_, 0);
        double end = now_s() + 10;
        while (shell_output("grep -c 'up:' '" + dir_ + "/amp.log'").find('1') != 0) {
            ASSERT_LT(now_s(), end) << "the virtual amp did not come up";
            sleep_s(0.05);
        }
    }

    // Welcome, Port, File with the update typed in: the Restart page, the bar
    // hidden on each.
    void walk_to_restart_page() {
        steps.push_back({"Welcome", [] { return on_page(PAGE_WELCOME) && bar_hidden(); },
                         [] { post_event(EVENT_NEXT); }});
        steps.push_back({"Port", [] { return on_page(PAGE_PORT) && bar_hidden(); }, [] { post_event(EVENT_NEXT); }});
        std::string path = file();
        steps.push_back({"File", [] { return on_page(PAGE_FILE) && bar_hidden(); },
                         [path] {
                             static_cast<Fl_Input*>(widget_by_id(WIDGET_FILE_INPUT))->value(path.c_str());
                             post_event(EVENT_FILE_NAME_CHANGED);
                             post_event(EVENT_NEXT);
                         }});
    }

    // From the Send page: Send Update, then the Done page and its line.
    void send_and_wait_for_the_line() {
        steps.push_back({"Send", [] { return on_page(PAGE_SEND) && bar_hidden(); }, [] { post_event(EVENT_NEXT); }});
        steps.push_back({"Done", [this] {
                             if (!on_page(PAGE_DONE)) return false;
                             if (done_at_ == 0) done_at_ = now_s();
                             return bar_hidden() && *result_line_text() != '\0';
                         },
                         [this] {
                             line_ = result_line_text();
                             line_after_s_ = now_s() - done_at_;
                         }});
    }

    void run() {
        go_to_page(PAGE_WELCOME);
        if (!app_main_window()->shown()) app_main_window()->show();
        step_deadline = now_s() + 60;
        Fl::add_timeout(0.05, drive);
        app_run();
        Fl::remove_timeout(drive);
        ASSERT_EQ(stuck, "") << "the walk stopped at the " << stuck << " step";
    }

    PrivateJack jack_{};
    std::string dir_;
    pid_t amp_ = 0;
    double done_at_ = 0;
    std::string line_;
    double line_after_s_ = -1;
};

// Restart Amp, Send Update: the amp comes back on its new version and says so;
// meanwhile the bar moved forward and showed only while sending and waiting.
// Its boot loader takes every byte in update mode as image data, so the
// update takes only when nothing but the file reached it.
TEST_F(AmpAnswer, AnUpdateThatTookSaysTheNewVersion) {
    ASSERT_NO_FATAL_FAILURE(start_amp({"--expect-image", file(), "--strict-boot-loader"}));
    walk_to_restart_page();
    steps.push_back({"Restart", [] { return on_page(PAGE_RESTART) && bar_hidden(); }, [] { post_event(EVENT_NEXT); }});
    steps.push_back({"Restarting", [] { return progress_value() >= 0; }, nullptr});
    send_and_wait_for_the_line();
    run();
    EXPECT_EQ(line_, "The amp now reports version 1.01 (was 1.00).");
    size_t rising = 0;
    for (size_t i = 1; i < bar_values.size(); i++) rising += bar_values[i] > bar_values[i - 1];
    EXPECT_GE(rising, 3u) << "the bar hardly moved";
}

// Skip with the amp in normal mode: it ignores every message and stays on its
// version, and the wizard says so, and what to do if the file holds another.
TEST_F(AmpAnswer, SkipWithTheAmpInNormalModeSaysTheVersionIsUnchanged) {
    ASSERT_NO_FATAL_FAILURE(start_amp());
    walk_to_restart_page();
    steps.push_back({"Restart", [] { return on_page(PAGE_RESTART); }, [] { post_event(EVENT_SKIP); }});
    send_and_wait_for_the_line();
    run();
    EXPECT_EQ(line_.rfind("The amp reports version 1.00, the same as before. If the update file holds another "
                          "version, the update did not take: restart the amp in update mode",
                          0),
              0u)
        << line_;
}

// A stretch lost on the way, as a lossy MIDI path loses it: the framing stays
// whole, but the amp knows its image and keeps its old version.
TEST_F(AmpAnswer, AStretchLostOnTheWaySaysTheVersionIsUnchanged) {
    ASSERT_NO_FATAL_FAILURE(start_amp({"--expect", file(), "--drop", "2580@10320"}));
    walk_to_restart_page();
    steps.push_back({"Restart", [] { return on_page(PAGE_RESTART); }, [] { post_event(EVENT_NEXT); }});
    send_and_wait_for_the_line();
    run();
    EXPECT_EQ(line_.rfind("The amp reports version 1.00, the same as before.", 0), 0u) << line_;
    EXPECT_NE(shell_output("cat '" + dir_ + "/report.json'").find("\"image\": \"mismatch\""), std::string::npos);
}

// An amp that takes everything and never answers: the line says so within
// the 2 s the answer is awaited (and a tick or two).
TEST_F(AmpAnswer, AnAmpThatNeverAnswersSaysTheResultIsUnknown) {
    ASSERT_NO_FATAL_FAILURE(start_amp({"--no-identity"}));
    walk_to_restart_page();
    steps.push_back({"Restart", [] { return on_page(PAGE_RESTART); }, [] { post_event(EVENT_SKIP); }});
    send_and_wait_for_the_line();
    run();
    EXPECT_EQ(line_.rfind("The amp did not answer: the result is unknown.", 0), 0u) << line_;
    EXPECT_LT(line_after_s_, 2.6);
}

}  // namespace
