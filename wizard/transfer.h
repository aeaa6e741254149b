// The update procedure behind the wizard's pages: the port list, the amp's
// output port, the restart request, the update file, and streaming the file's
// SysEx messages to the amp one pass of the event loop at a time.
//
// Everything here runs on the GUI thread and keeps module state: the loaded
// file, how far the transfer has got, and the open output port. Nothing here
// sleeps or blocks; waits are countdowns of the wizard controller.
//
// The bytes themselves go through the update engine (update/update_engine.h),
// which ampctl drives too; its delivery guarantees hold here. After the last
// message, and after the restart request, the port is closed only once it
// holds no more bytes. A port that has failed ends the transfer with "Could
// not send message to amp" and the File page, whose Back leads to the Port
// page.
#ifndef ZP_WIZARD_TRANSFER_H
#define ZP_WIZARD_TRANSFER_H

#include <cstdint>

#include "update/update_engine.h"


// The progress bar is redrawn at most this often while sending.
constexpr int PROGRESS_REDRAW_MS = 100;

// The port the update goes to; null when none is open. Tests read it.
MidiOutPort* transfer_port();

// True while the transfer runs: messages of the file remain to be handed to
// the port, or the port still holds bytes of the last ones.
bool transfer_running();

// --- Page actions and reactions, called by the wizard controller. ---

// Fills the port list with every output device; the list picks the amp.
void refresh_port_list();

// Closes any open port and opens the one chosen in the list. True when open.
bool open_chosen_port();

// What the Port page's Next shows when the port did not open: `first_line`,
// and on a second line why, when the system can tell (who holds the device,
// or that this account may not use the sound devices). Kept until the next
// call.
const char* open_port_error_text(const char* first_line);

// Closes the open port, if any, and forgets it; returns the close result (0
// when there was no port).
int close_port();

// Offers `length` bytes to the port only when it can take them all at once.
// True when every byte was taken; nothing is queued otherwise.
bool send_bytes(const uint8_t* bytes, int length);

// Sends a built message (when `build_err` is null or 0) and releases it.
// Shows "Could not send message to amp" when it was not sent.
bool send_message(void* message, const int* build_err);

// Sends the restart request; on success the port closes after a short delay
// and reopens `wait_ticks` later. True when the request was sent.
bool request_restart(int wait_ticks);

// The Restart page's Next. Always false: the countdown moves the page on.
bool start_restart();

// The File page's Next: loads the named file, showing any error. True when a
// valid file is loaded.
bool load_update_file();

// Releases the loaded file, if any.
void release_update_file();

// The Send page's Next: starts streaming the loaded file. Always false.
bool start_transfer();

// One step of the transfer, for each SendMore on the Send page. True when the
// next message can go at once, so the controller asks for another pass; when
// the port is full or still sending the last bytes it asks for a pass when the
// port expects to be ready itself and returns false, as it does once all is
// sent.
bool send_next_message();

// Every Tick: the amp's answer, the waits' seconds left, the Done page's line.
void transfer_tick();

// Countdown actions: wait for the port to empty, close it and arm the reopen;
// reopen the port and move on (or back to the Welcome page).
int close_port_and_wait();
int reopen_port_and_continue();

#endif
