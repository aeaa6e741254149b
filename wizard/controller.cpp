// The wizard controller. Runs on the GUI thread only: the program entry calls
// wizard_start before the loop, and the event bridge calls wizard_dispatch
// from its idle poll.
#include "wizard/controller.h"

#include <climits>

#include <cstdio>

#include "app/app.h"
#include "app/window.h"
#include "update/update_procedure.h"

const char* const MSG_COULD_NOT_OPEN_PORT = UPDATE_TEXT_OPEN_FAILED;

// Indexed by WizardPageIndex: pages 0..5, then the Sending and Restarting
// records. A "&" marks the letter shortcut of a button label.
const WizardPage wizard_pages[WIZARD_RECORD_COUNT] = {
    {0, WIDGET_NEXT, "&Back", 0, "&Next", 1, "&Skip", 0, 0, 0,
     "This will take you through the steps to update the software in a Zorva Pro amp via MIDI or "
     "USB. The amp must be powered and the USB or MIDI cables should be connected. Press Next "
     "when ready."},
    {1, WIDGET_PORT_CHOICE, "&Back", 1, "&Next", 1, "&Skip", 0, 0, 1,
     "Select the MIDI output device connected to the amp and then press Next to continue."},
    {2, WIDGET_FILE_INPUT, "&Back", 1, "&Next", 0, "&Skip", 0, 1, 0,
     "Enter or select the update file to send to the amp. The [...] button opens a file chooser. "
     "Press Next when the file is selected."},
    {0, WIDGET_NEXT, "&Back", 1, "&Restart Amp", 1, "&Skip", 1, 0, 0,
     "If the amp is not already in update mode then press Restart Amp to restart the amp in "
     "update mode. If the amp is ready then press Skip."},
    {0, WIDGET_NEXT, "&Back", 1, "Send &Update", 1, "&Skip", 0, 0, 0,
     "Press Send Update to send the update to the amp when it's ready"},
    {0, WIDGET_NEXT, "&Back", 1, "&Finish", 1, "&Skip", 0, 0, 0,
     "The update has been sent to the amp. The amp will have restarted if the update was "
     "successful. Press 'Finish' to quit."},
    {0, WIDGET_NEXT, "&Back", 0, "Send &Update", 0, "&Skip", 0, 0, 0, UPDATE_TEXT_SENDING},
    {0, WIDGET_NEXT, "&Back", 0, "&Restart Amp", 0, "&Skip", 0, 0, 0, UPDATE_TEXT_RESTARTING},
};

static const PageActionTable no_actions = {};
static const PageActionTable* actions = &no_actions;
static int current_page;
static int countdown_ticks;
static CountdownAction countdown_action;

// ------------------------------------------------------------- Next actions

static bool welcome_next() {
    if (actions->refresh_port_list != nullptr) actions->refresh_port_list();
    return true;
}

// A port that did not open says why on a second line, when the system can
// tell (who holds the device, a missing permission).
static bool port_next() {
    if (actions->open_chosen_port == nullptr) return true;
    if (actions->open_chosen_port()) return true;
    static char text[640];
    const char* why = actions->open_problem != nullptr ? actions->open_problem() : "";
    std::snprintf(text, sizeof text, why[0] ? "%s\n%s" : "%s", MSG_COULD_NOT_OPEN_PORT, why);
    show_error(text);
    return false;
}

static bool file_next() {
    return actions->load_update_file == nullptr || actions->load_update_file();
}

// Restart and Send always stay: their countdowns move the wizard on later.
static bool restart_next() {
    if (actions->start_restart == nullptr) return true;
    wizard_apply(actions->start_restart());
    return false;
}

static bool send_next() {
    if (actions->start_transfer == nullptr) return true;
    wizard_apply(actions->start_transfer());
    return false;
}

// Hiding the window ends the loop; there is no page after this one.
static bool done_next() {
    hide_main_window();
    return true;
}

// Indexed by page: what Next runs there; true moves on to the next page.
static bool (*const next_actions[WIZARD_PAGE_COUNT])() = {
    welcome_next, port_next, file_next, restart_next, send_next, done_next,
};

// ------------------------------------------------------------- reactions

static void on_none() {}

static void on_send_more() {
    if (current_page != PAGE_SEND || actions->send_next_message == nullptr) return;
    wizard_apply(actions->send_next_message());
}

static void on_choose_file() { open_file_chooser(); }

// A press of Back, Next or Skip counts only if the button is still active when
// the event is delivered: a second press queued behind the first (a double
// click, a repeating key) must not start the page's action again once the
// first has made the button inactive, as a transfer restarted from its first
// message would send the amp part of the update twice.
static void on_back() {
    if (widget_active(WIDGET_BACK)) previous_page();
}

static void on_next() {
    if (!widget_active(WIDGET_NEXT)) return;
    if (next_actions[current_page]()) next_page();
}

static void on_skip() {
    if (widget_active(WIDGET_SKIP)) next_page();
}

static void on_file_name_changed() {
    if (current_page == PAGE_FILE) set_widget_active(WIDGET_NEXT, file_name() != nullptr);
}

static void on_port_changed() {
    if (current_page == PAGE_PORT) set_widget_active(WIDGET_NEXT, chosen_port_name() != nullptr);
}

static void on_tick() {
    countdown_tick();
    if (actions->tick != nullptr) actions->tick(current_page);
}

static void on_shutdown() {
    if (actions->release_update_file != nullptr) actions->release_update_file();
}

// Indexed by WizardEvent code.
static void (*const reactions[WIZARD_EVENT_COUNT])() = {
    on_none, on_send_more, on_choose_file, on_back, on_next,
    on_skip, on_file_name_changed, on_port_changed, on_tick, on_shutdown,
};

int wizard_dispatch(int event) {
    if (event >= 0 && event < WIZARD_EVENT_COUNT) reactions[event]();
    return 0;
}

// ------------------------------------------------------------------ pages

void show_page(const WizardPage& page, int override_flag, int override_value) {
    mark_arrow(page.arrow_row);
    set_button_label(WIDGET_BACK, page.back_label);
    set_widget_active(WIDGET_BACK, page.back_active);
    set_button_label(WIDGET_NEXT, page.next_label);
    set_widget_active(WIDGET_NEXT, override_flag != 0 ? override_value : page.next_active);
    set_button_label(WIDGET_SKIP, page.skip_label);
    set_widget_active(WIDGET_SKIP, page.skip_active);
    set_widget_active(WIDGET_CHOOSE_BUTTON, page.file_row_active);
    set_widget_active(WIDGET_FILE_INPUT, page.file_row_active);
    set_widget_active(WIDGET_PORT_CHOICE, page.port_row_active);
    // The MIDI output choice takes no keyboard focus, so on the Port page the
    // focus stays where it was.
    focus_widget(page.focus_widget);
    set_page_text(page.text);
    // The progress bar belongs to the Sending and Restarting records, the
    // amp's answer to the Done page; the transfer shows them after the record.
    if (&page != &wizard_pages[PAGE_SENDING] && &page != &wizard_pages[PAGE_RESTARTING]) hide_progress();
    set_result_line(nullptr);
}

void wizard_apply(const WizardMove& m) {
    if (m.show >= 0 && m.show < WIZARD_RECORD_COUNT) show_page(wizard_pages[m.show], 0, 0);
    if (m.go == MOVE_NEXT_PAGE) next_page();
    if (m.go >= 0) go_to_page(m.go);
    if (m.page_text != nullptr) set_page_text(m.page_text);
    if (m.countdown_ticks >= 0) countdown_arm(m.countdown_ticks, m.countdown);
    if (m.wake_ms == 0) request_wake();
    if (m.wake_ms > 0) request_wake_after(m.wake_ms);
    if (m.error != nullptr) show_error(m.error);
    if (m.show_after_error >= 0 && m.show_after_error < WIZARD_RECORD_COUNT)
        show_page(wizard_pages[m.show_after_error], 0, 0);
}

void go_to_page(int index) {
    if (index < 0 || index >= WIZARD_PAGE_COUNT) return;
    const WizardPage& page = wizard_pages[index];
    // Both rows override Next only when their field holds something. With no
    // port chosen the Port record's own value holds and Next stays offered,
    // so a user with no device learns from its error why nothing opens; an
    // empty file name leaves the File record's inactive Next.
    if (index == PAGE_PORT) {
        show_page(page, chosen_port_name() != nullptr ? 1 : 0, 1);
    } else if (index == PAGE_FILE) {
        show_page(page, file_name() != nullptr ? 1 : 0, 1);
    } else {
        show_page(page, 0, 0);
    }
    current_page = index;
}

void next_page() {
    if (current_page + 1 < WIZARD_PAGE_COUNT) go_to_page(current_page + 1);
}

void previous_page() {
    if (current_page > 0) go_to_page(current_page - 1);
}

void wizard_start() {
    if (actions->refresh_port_list != nullptr) actions->refresh_port_list();
    show_page(wizard_pages[PAGE_WELCOME], 0, 0);
}

int wizard_current_page() { return current_page; }

// -------------------------------------------------------------- countdown

void countdown_arm(int ticks, CountdownAction action) {
    if (ticks > INT_MAX - 1) ticks = INT_MAX - 1;
    countdown_ticks = ticks + 1;
    countdown_action = action;
}

void countdown_tick() {
    if (countdown_ticks <= 0) return;
    countdown_ticks -= 1;
    if (countdown_ticks != 0) return;
    CountdownAction action = countdown_action;
    countdown_action = nullptr;
    if (action != nullptr) wizard_apply(action());  // it may arm the next countdown
}

// ------------------------------------------------------- the update's steps

void wizard_set_page_actions(const PageActionTable* table) { actions = table != nullptr ? table : &no_actions; }

void wizard_reset() {
    current_page = PAGE_WELCOME;
    countdown_ticks = 0;
    countdown_action = nullptr;
}
