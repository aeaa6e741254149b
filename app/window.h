// The operations by which the wizard drives the main window and reads the
// user's choices, free of any toolkit's types (see app/app.h for the two
// sides). Widgets are named by the ids of app/events.h.
#ifndef ZP_APP_WINDOW_H
#define ZP_APP_WINDOW_H

#include "app/events.h"

// Removes every entry of the MIDI output choice.
void clear_port_list();

// Appends a device name to the MIDI output choice and returns the number of
// entries since the last clear. The entry is chosen when the amp's rule says
// so (update/amp_choice.h: the first entry, then every later one whose name
// contains "Zorva", "ZORVA", "Pro" or "PRO", so the last such device ends up
// chosen). The name is kept exactly as given.
int port_list_add(const char* name);

// The device name of the chosen entry, exactly as it was added; null when the
// choice is empty. Valid until the list is next cleared.
const char* chosen_port_name();

// The file-name input's text, or null when it is empty.
const char* file_name();

// Opens the update-file chooser and returns at once; choosing a file fills the
// file-name input and posts EVENT_FILE_NAME_CHANGED. An earlier chooser is
// closed and released first.
void open_file_chooser();

// Closes and releases the file chooser, if one is open.
void close_file_chooser();

// Activates (flag != 0) or deactivates widget `id`; other ids do nothing.
void set_widget_active(int id, int flag);

// 1 when widget `id` exists and is active, else 0.
int widget_active(int id);

// Sets the label of wizard button 3, 4 or 5. The text is kept by reference,
// so it must outlive the label. Other ids and a null text do nothing.
void set_button_label(int id, const char* text);

// Gives widget `id` the keyboard focus; widgets that take no keyboard focus
// and ids outside 2..7 are ignored.
void focus_widget(int id);

// Shows the arrow of `row` (1 port row, 2 file row) and hides the other;
// any other row shows none.
void mark_arrow(int row);

// Copies `text` into the page-text area.
void set_page_text(const char* text);

// The page-text area's current text (never null once the window exists).
const char* page_text();

// Which arrow row is shown: 0, 1 or 2.
int marked_arrow_row();

// The progress bar under the page text, for the transfer and the waits:
// shows it at `fraction` (0..1) with `label` inside (copied). Redraws only
// what changed.
void show_progress(double fraction, const char* label);

// Hides the progress bar.
void hide_progress();

// The line the Done page adds about what the amp reported (copied); null or
// an empty text hides it.
void set_result_line(const char* text);

// What those two show, for tests: the bar's fraction or -1 while it is
// hidden; the line's text, empty while it is hidden.
double progress_value();
const char* result_line_text();

#endif
