// The wizard controller: six pages shown one after another, the dispatcher
// that receives every WizardEvent, and a single tick-driven countdown.
//
// It drives the window only through app/window.h and app/app.h, and calls the
// update procedure through a page-action table (wizard/pages.h) that the
// program gives it, carrying out the moves the actions return.
#ifndef ZP_WIZARD_CONTROLLER_H
#define ZP_WIZARD_CONTROLLER_H

#include "wizard/pages.h"

// Shown when the Port page's Next finds no port to open.
extern const char* const MSG_COULD_NOT_OPEN_PORT;

// The controller given to app_start. Codes above 9 (and 0) do nothing.
// Always returns 0.
int wizard_dispatch(int event);

// Fills the port list and shows the Welcome page; the program entry calls it
// once before the loop starts.
void wizard_start();

// Carries out what a page action asked for, in the order of its fields.
void wizard_apply(const WizardMove& move);

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

// The update procedure's steps (the program gives transfer_page_actions;
// tests their own). Null: none, so each Next just moves on.
void wizard_set_page_actions(const PageActionTable* table);

// Test seam: back to page 0 with no countdown, without touching the window.
void wizard_reset();

#endif
