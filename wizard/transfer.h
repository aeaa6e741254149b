// The wizard's page actions of the update: the port list, the amp's output
// port, the update file, the restart request, and streaming the file one
// pass of the event loop at a time, each a step of the shared procedure
// (update/update_procedure.h) whose answer becomes a move for the controller:
// wakes while sending, the countdown of ticks for the waits, a page when a
// part ends. The actions keep no state of the procedure's own and never call
// the controller; transfer_page_actions is the table the program gives it.
//
// Everything here runs on the GUI thread; nothing sleeps or blocks.
#ifndef ZP_WIZARD_TRANSFER_H
#define ZP_WIZARD_TRANSFER_H

#include <cstdint>

#include "update/update_procedure.h"
#include "wizard/pages.h"

// The update's page actions, for wizard_set_page_actions.
extern const PageActionTable transfer_page_actions;

// The progress bar is redrawn at most this often while sending.
constexpr int PROGRESS_REDRAW_MS = 100;

// The port the update goes to; null when none is open. Tests read it.
MidiOutPort* transfer_port();

// True while the file is being handed to the port and the port has not yet
// passed all of it on.
bool transfer_running();

// Fills the port list with every output device; the list picks the amp.
void refresh_port_list();

// Opens the port chosen in the list (closing any other) and asks the amp who
// it is. True when it is open.
bool open_chosen_port();

// Closes the open port, if any; returns the close result (0 when none).
int close_port();

// Offers `length` bytes to the port only when it can take them all at once.
// True when every byte was taken; nothing is queued otherwise.
bool send_bytes(const uint8_t* bytes, int length);

// Sends the restart request; on success the port closes after a short delay
// and opens again `wait_ticks` later. True when the request was sent.
bool request_restart(int wait_ticks);

// The Restart page's Next: the Restarting record, the request, the wait.
WizardMove start_restart();

// The File page's Next: loads the named file, showing any error. True when a
// valid file is loaded.
bool load_update_file();

// Releases the loaded file, if any, and forgets any transfer.
void release_update_file();

// The Send page's Next: the Sending record and the first pass.
WizardMove start_transfer();

// One step of the transfer, for each SendMore on the Send page: another pass
// at once, one after the port expects to be ready, or, once every byte has
// left the port, the wait.
WizardMove send_next_message();

// Every Tick: time passes for the procedure (the amp's answer, the waits'
// seconds left), and the Done page's line.
void transfer_tick(int current_page);

// Countdown actions: the wait's close once the port is empty; its end, with
// the port opened again and the page moving on (or back to Welcome).
WizardMove close_port_and_wait();
WizardMove reopen_port_and_continue();

#endif
