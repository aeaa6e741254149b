// Shows each wizard page and both wait records and saves one PNG of the
// window per record into the folder given as the first argument. Needs an X
// display and ImageMagick's `import`; scripts/screenshots runs it under Xvfb.
#include <FL/Fl.H>
#include <FL/Fl_Input.H>
#include <FL/x.H>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/app.h"
#include "app/fltk/widgets.h"
#include "app/window.h"
#include "wizard/controller.h"
#include "wizard/transfer.h"

static void settle() {
    for (int i = 0; i < 30; i++) Fl::wait(0.01);
    Fl::flush();
    XSync(fl_display, False);
}

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s OUTPUT_FOLDER\n", argv[0]);
        return 2;
    }
    const std::string folder = argv[1];
    app_start(1, argv, APP_TICK_INTERVAL_MS, wizard_dispatch);
    if (app_start_status() != APP_STARTED) return 1;
    wizard_set_page_actions(&transfer_page_actions);
    wizard_start();

    struct Shot {
        int record;
        const char* name;
    };
    const Shot shots[] = {
        {PAGE_WELCOME, "welcome"}, {PAGE_PORT, "port"},       {PAGE_FILE, "file"},
        {PAGE_RESTART, "restart"}, {PAGE_SEND, "send"},       {PAGE_DONE, "done"},
        {PAGE_SENDING, "sending"}, {PAGE_RESTARTING, "restarting"},
    };
    // A sample device and file name, so the rows show what they hold.
    int failures = 0;
    for (const Shot& shot : shots) {
        if (shot.record == PAGE_PORT) port_list_add("Zorva Pro USB MIDI");
        if (shot.record == PAGE_FILE) {
            static_cast<Fl_Input*>(widget_by_id(WIDGET_FILE_INPUT))->value("firmware-2.10.syx");
        }
        if (shot.record < WIZARD_PAGE_COUNT) {
            go_to_page(shot.record);
        } else {
            show_page(wizard_pages[shot.record], 0, 0);
        }
        settle();
        std::string path = folder + "/" + shot.name + ".png";
        char command[512];
        std::snprintf(command, sizeof command, "import -window 0x%lx '%s'",
                      static_cast<unsigned long>(fl_xid(app_main_window())), path.c_str());
        if (std::system(command) != 0) {
            std::fprintf(stderr, "could not save %s\n", path.c_str());
            failures++;
        } else {
            std::printf("%s\n", path.c_str());
        }
    }
    return failures == 0 ? 0 : 1;
}
