// Program entry of the updater: starts the window layer with the wizard's
// dispatcher and page actions, shows the Welcome page and runs until the
// window is gone. --help and --version answer without a window.
#include <cstdio>
#include <cstring>

#include "app/app.h"
#include "wizard/controller.h"
#include "wizard/transfer.h"

namespace {

const char kHelp[] =
    "Usage: zorva-updater [WINDOW OPTION]...\n"
    "       zorva-updater --help | --version\n"
    "Updates the software in a Zorva Pro amp over MIDI or USB, step by step in a\n"
    "window: the amp's MIDI output, the update file, the restart in update mode,\n"
    "sending the update, and what the amp then reports.\n"
    "\n"
    "Window options are the toolkit's own, such as -display HOST:N, -geometry\n"
    "WxH+X+Y, -scheme NAME.\n"
    "\n"
    "Exit status: 0 when the window is closed or Finish is pressed; 1 when the\n"
    "window cannot start (no display). In a terminal without one, zorva-update\n"
    "runs the same update. See man zorva-updater, which also says what to do when\n"
    "something is off.\n";

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; i++) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kHelp, stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::puts("zorva-updater 1.00");
            return 0;
        }
    }
    app_start(argc, argv, APP_TICK_INTERVAL_MS, wizard_dispatch);
    int status = app_start_status();
    if (status != APP_STARTED) {
        std::fprintf(stderr, "zorva-updater: could not start the window (start status %d)\n", status);
        return 1;
    }
    wizard_set_page_actions(&transfer_page_actions);
    wizard_start();
    return app_run();
}
