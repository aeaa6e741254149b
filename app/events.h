// The codes that carry every user action and timer tick from the window to
// the wizard, and the small ids by which the wizard names the window's widgets.
#ifndef ZP_APP_EVENTS_H
#define ZP_APP_EVENTS_H

// One byte each in the event queue. EVENT_NONE is never posted; EVENT_SEND_MORE
// is made by the idle poll from the wake flag and EVENT_SHUTDOWN is delivered
// directly by the window's close, so neither of those ever sits in the queue.
enum WizardEvent {
    EVENT_NONE = 0,
    EVENT_SEND_MORE = 1,
    EVENT_CHOOSE_FILE = 2,
    EVENT_BACK = 3,
    EVENT_NEXT = 4,
    EVENT_SKIP = 5,
    EVENT_FILE_NAME_CHANGED = 6,
    EVENT_PORT_CHANGED = 7,
    EVENT_TICK = 8,
    EVENT_SHUTDOWN = 9,
};

constexpr int WIZARD_EVENT_COUNT = 10;

// Widget ids; any other id names no widget.
enum WidgetId {
    WIDGET_CHOOSE_BUTTON = 2,  // the "..." button that opens the file chooser
    WIDGET_BACK = 3,           // left wizard button
    WIDGET_NEXT = 4,           // middle wizard button, whatever its label
    WIDGET_SKIP = 5,           // right wizard button
    WIDGET_FILE_INPUT = 6,     // the file-name input
    WIDGET_PORT_CHOICE = 7,    // the MIDI output choice
};

constexpr int WIDGET_ID_FIRST = 2;
constexpr int WIDGET_ID_LAST = 7;

#endif
