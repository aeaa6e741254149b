// The toolkit-free half of the event bridge, which both sides of the window
// layer share: the event queue, the wake flag, the controller, and the rule
// by which events reach it (one per pass, queued ones before a wake, never
// while the controller runs or the error box is up). Each side adds only its
// toolkit's timers, loop and window. Only the sides include this.
#ifndef ZP_APP_BRIDGE_H
#define ZP_APP_BRIDGE_H

#include "app/app.h"

// Checks app_start's arguments and makes the event queue. Returns
// APP_STARTED, or why not (nothing is kept then), and records the outcome for
// app_start_status.
int bridge_open(int interval_ms, AppController controller);

// Frees the queue and forgets the controller, recording `why` for
// app_start_status: the window could not be made after bridge_open.
void bridge_abandon(int why);

// Queues one event (see post_event); sets the wake flag (see request_wake).
void bridge_post(int code);
void bridge_wake();

// True when a queued event or a wake may be delivered now: one waits, the
// controller is not running and no error box is open.
bool bridge_deliverable();

// One pass: hands the controller one queued event, else the wake as
// EVENT_SEND_MORE; does nothing while delivery is held back.
void bridge_deliver_one();

// Holds delivery back while the error box is up; returns the previous state,
// to be given back when the box closes.
int bridge_hold_for_box(int open);

// The window's close: the controller hears EVENT_SHUTDOWN at once, queued
// events are dropped, and the process ends with status 0.
[[noreturn]] void bridge_shutdown();

#endif
