// Program entry of the updater: starts the window layer with the wizard's
// dispatcher, shows the Welcome page and runs until the window is gone.
#include <cstdio>

#include "app/app.h"
#include "wizard/controller.h"
#include "wizard/transfer.h"

int main(int argc, char** argv) {
    app_start(argc, argv, APP_TICK_INTERVAL_MS, wizard_dispatch);
    int status = app_start_status();
    if (status != APP_STARTED || app_main_window() == nullptr) {
        std::fprintf(stderr, "zorva-updater: could not start the window (start status %d)\n", status);
        return 1;
    }
    wizard_set_page_actions(&transfer_page_actions);
    wizard_start();
    return app_run();
}
