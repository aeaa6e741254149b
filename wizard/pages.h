// What the wizard controller and the update's page actions share: the page
// records, and the records by which the page actions tell the controller
// what to do next. The controller alone changes pages and runs the
// countdown; the page actions (wizard/transfer.h) only say what they want,
// so neither calls into the other.
#ifndef ZP_WIZARD_PAGES_H
#define ZP_WIZARD_PAGES_H

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

struct WizardMove;

// What a countdown runs when it ends.
using CountdownAction = WizardMove (*)();

// What a page action asks of the controller once it has run, carried out in
// the order of the fields. A field that asks nothing is MOVE_NONE or null.
struct WizardMove {
    int show;                  // a record shown at once, the current page staying
    int go;                    // then a page made current (MOVE_NEXT_PAGE: the next one)
    const char* page_text;     // then the page text replaced
    int countdown_ticks;       // >= 0: then the countdown armed with these ticks ...
    CountdownAction countdown; // ... and this action
    int wake_ms;               // 0: a SendMore on the next idle pass; > 0: after that many ms
    const char* error;         // then shown in the error box
    int show_after_error;      // and this record shown once the box is closed
};

constexpr int MOVE_NONE = -1;
constexpr int MOVE_NEXT_PAGE = -2;

// A move that asks nothing.
constexpr WizardMove WIZARD_STAY = {MOVE_NONE, MOVE_NONE, nullptr, MOVE_NONE, nullptr, MOVE_NONE, nullptr, MOVE_NONE};

// The update procedure's steps as the controller calls them. A null entry is
// a step that is not there: its page's Next just moves on, and SendMore and
// Shutdown do nothing.
struct PageActionTable {
    void (*refresh_port_list)();      // at start, and the Welcome page's Next
    bool (*open_chosen_port)();       // Port's Next; false shows "Could not open MIDI out port"
    const char* (*open_problem)();    // why it did not open, the box's second line; "" when unknown
    bool (*load_update_file)();       // File's Next; reports its own errors
    WizardMove (*start_restart)();    // Restart's Next; the page moves on later
    WizardMove (*start_transfer)();   // Send's Next; likewise
    WizardMove (*send_next_message)();  // SendMore on the Send page
    void (*release_update_file)();    // Shutdown
    void (*tick)(int current_page);   // every Tick, after the countdown's step
};

#endif
