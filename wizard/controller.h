// The wizard controller: six pages shown one after another, the dispatcher
// that receives every WizardEvent, and a single tick-driven countdown.
//
// It drives the window only through app/window.h and app/app.h, and calls the
// update procedure through the page-action table below.
#ifndef ZP_WIZARD_CONTROLLER_H
#define ZP_WIZARD_CONTROLLER_H

// One page as the window shows it.
struct WizardPage {
    int arrow_row;       // 0 none, 1 the port row, 2 the file row
    int focus_widget;    // widget id that gets the keyboard focus
    const char* back_label;
    int back_active;
    const char* next_label;
    int next_active;     // the Port and File pages may override it on entry
    const char* skip_label;
    int skip_active;
    int file_row_active;  // widgets 2 and 6
    int port_row_active;  // widget 7
    const char* text;
};

// Record indexes: the six pages, then the two records shown while the update
// procedure waits (the current page stays 3 or 4 meanwhile).
enum WizardPageIndex {
    PAGE_WELCOME = 0,
    PAGE_PORT = 1,
    PAGE_FILE = 2,
    PAGE_RESTART = 3,
    PAGE_SEND = 4,
    PAGE_DONE = 5,
    PAGE_SENDING = 6,
    PAGE_RESTARTING = 7,
};

constexpr int WIZARD_PAGE_COUNT = 6;
constexpr int WIZARD_RECORD_COUNT = 8;

extern const WizardPage wizard_pages[WIZARD_RECORD_COUNT];

// Shown when the Port page's Next finds no port to open.
extern const char* const MSG_COULD_NOT_OPEN_PORT;

// What a countdown runs when it ends; the result is not used.
using CountdownAction = int (*)();

// The update procedure's steps as the controller calls them. A null entry is
// a step that is not there: its page's Next just moves on, and SendMore and
// Shutdown do nothing.
struct PageActionTable {
    void (*refresh_port_list)();    // at start, and the Welcome page's Next
    bool (*open_chosen_port)();     // Port's Next; false shows MSG_COULD_NOT_OPEN_PORT
    bool (*load_update_file)();     // File's Next; reports its own errors
    bool (*start_restart)();        // Restart's Next; the countdown moves on later
    bool (*start_transfer)();       // Send's Next; likewise
    bool (*send_next_message)();    // SendMore on the Send page; true while data remains
    void (*release_update_file)();  // Shutdown
    void (*tick)();                 // every Tick, after the countdown's step
};

extern const PageActionTable page_action_table;

// The controller given to app_start. Codes above 9 (and 0) do nothing.
// Always returns 0.
int wizard_dispatch(int event);

// Fills the port list and shows the Welcome page; the program entry calls it
// once before the loop starts.
void wizard_start();

// Applies a record to the window. With override_flag set, Next's activation
// is override_value instead of the record's. Never changes the current page.
void show_page(const WizardPage& page, int override_flag, int override_value);

// Shows page `index` (0..5) and makes it current; other indexes do nothing.
void go_to_page(int index);

// The following page, if there is one.
void next_page();

// The preceding page, if there is one.
void previous_page();

// Arms the single countdown: `action` runs on the (ticks + 1)-th Tick from
// now. A pending action is replaced; a negative count never runs.
void countdown_arm(int ticks, CountdownAction action);

// One step of the countdown (every Tick).
void countdown_tick();

// The page now current, 0..5.
int wizard_current_page();

// Test seams. wizard_set_page_actions replaces the page-action table (null
// restores the built-in one); wizard_reset returns to page 0 with no
// countdown, without touching the window.
void wizard_set_page_actions(const PageActionTable* table);
void wizard_reset();

#endif
