#include "app_table.h"

#include <cstdio>

#include "kestrova_data.h"
#include "process_table.h"
#include "qel/log.h"

linkedList_t *appDataList = nullptr;
char applicationDataFile[KESTROVA_PATH_LEN] = "";

extern "C" {

int init_apptable(void) {
    if (!appDataList)
        appDataList = newLinkedList(sizeof(appData_t), nullptr, nullptr, nullptr, "appTable", 1);
    std::snprintf(applicationDataFile, sizeof applicationDataFile, "%s/appdata.xml", kestrovaHomeDir);
    readApplicationDataFile(applicationDataFile, appDataList);
    return 0;
}

// What the filters select is not settled yet: the records are kept as read.
int reload_app_table(void) {
    return 1;
}

void *app_dowork(void *) {
    try {
        qel::logInfo("app worker starting . . . .\n");
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
        qel::logInfo("app worker returning\n");
    } catch (...) {
        kestrova::logCaught("app worker");
    }
    return nullptr;
}

} // extern "C"
