#include "app_table.h"

#include <cstdio>

#include "kestrova_data.h"
#include "process_table.h"

linkedList_t *appDataList = nullptr;
char applicationDataFile[KESTROVA_PATH_LEN] = "";

namespace {

void say(const char *text) {
    std::fputs(text, stdout);
    std::fflush(stdout);
}

} // namespace

extern "C" {

int init_apptable(void) {
    if (!appDataList)
        appDataList = newLinkedList(sizeof(appData_t), nullptr, nullptr, nullptr, "appTable", 1);
    std::snprintf(applicationDataFile, sizeof applicationDataFile, "%s/appdata.xml", kestrovaHomeDir);
    readApplicationDataFile(applicationDataFile, appDataList);
    return 0;
}

// What the filters select is not settled yet: the records are kept as read.
int reload_app_table(void) { return 1; }

void *app_dowork(void *) {
    try {
        say("app worker starting . . . .\n");
        if (appGroup.load(std::memory_order_relaxed) == 0)
            return nullptr;
        bool stop = false;
        while (!stop && !kestrovaStopping()) {
            readApplicationDataFile(applicationDataFile, appDataList);
            reload_process_table();
            reload_app_table();
            if (kestrovaStopping())
                return nullptr;
            for (int i = 0; i < 2 && !stop; ++i)
                stop = kestrovaStopping() || !kestrovaSleep(15);
        }
        say("app worker returning\n");
    } catch (...) {
        std::fprintf(stderr, "app worker: unexpected failure\n");
    }
    return nullptr;
}

} // extern "C"
