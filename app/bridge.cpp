#include "app/bridge.h"

#include <cstdint>
#include <cstdlib>

#include "midi/byte_queue.h"

namespace {

ByteQueue* event_queue;
AppController controller;
int wake_flag;
int start_status;
int dispatching;     // the controller is running (it may run a nested loop)
int error_box_open;  // show_error's box is up

}  // namespace

int bridge_open(int interval_ms, AppController c) {
    start_status = c == nullptr ? APP_NO_CONTROLLER : interval_ms < 0 ? APP_NEGATIVE_INTERVAL : APP_STARTED;
    if (start_status != APP_STARTED) return start_status;
    ByteQueue* q = byte_queue_create(APP_EVENT_QUEUE_SIZE, nullptr);
    if (q == nullptr) return start_status = APP_NO_QUEUE;
    event_queue = q;
    controller = c;
    wake_flag = 0;
    return start_status;
}

void bridge_abandon(int why) {
    if (event_queue != nullptr) byte_queue_free(event_queue, nullptr);
    event_queue = nullptr;
    controller = nullptr;
    start_status = why;
}

void bridge_post(int code) {
    if (code == 0 || event_queue == nullptr) return;
    uint8_t byte = static_cast<uint8_t>(code & 0xFF);
    byte_queue_put(event_queue, 1, &byte, nullptr);  // a full queue drops it
}

void bridge_wake() { wake_flag = 1; }

bool bridge_deliverable() {
    return (byte_queue_count(event_queue, nullptr) > 0 || wake_flag != 0) && !dispatching && !error_box_open;
}

void bridge_deliver_one() {
    if (dispatching || error_box_open) return;  // never re-enter the controller
    int event = EVENT_NONE;
    uint8_t byte = 0;
    if (byte_queue_count(event_queue, nullptr) > 0) {
        if (byte_queue_get(event_queue, 1, &byte, nullptr) == 1) event = byte;
    } else if (wake_flag) {
        wake_flag = 0;
        event = EVENT_SEND_MORE;
    }
    if (event != EVENT_NONE && controller != nullptr) {
        dispatching = 1;
        controller(event);
        dispatching = 0;
    }
}

int bridge_hold_for_box(int open) {
    int was = error_box_open;
    error_box_open = open;
    return was;
}

int app_start_status() {
    int status = start_status;
    start_status = APP_STARTED;
    return status;
}

void bridge_shutdown() {
    if (controller != nullptr) controller(EVENT_SHUTDOWN);
    if (event_queue != nullptr) {
        byte_queue_free(event_queue, nullptr);
        event_queue = nullptr;
    }
    std::exit(0);
}
