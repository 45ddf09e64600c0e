// The dependency worker: every scan interval it runs the discovery modules
// in their fixed order, ages dependencies out and probes them. The modules
// and the connection-data reader are installed by init_dependencies, so
// this file needs none of them.
#include <stdio.h>

#include <algorithm>
#include <atomic>

#include "dependency.h"
#include "discovery.h"
#include "kestrova_globals.h"
#include "qelplugin.h"

namespace {

// No discovery until init_dependencies installs the modules.
std::atomic<const discoveryEntry_t *> discoveryTable{nullptr};
std::atomic<int> discoveryCount{0};
std::atomic<int (*)(const char *, linkedList_t *)> connectionDataReader{nullptr};

bool stopping() { return kestrova_thread_kill.load(std::memory_order_relaxed) != 0; }

} // namespace

extern "C" {

char kestrovaConnDataFile[KESTROVA_PATH_LEN] = "";

void kestrovaSetDiscoveryTable(const discoveryEntry_t *table, int count) {
    if (!table || count <= 0) {
        table = nullptr;
        count = 0;
    }
    // Count 0 first: a reader never pairs the new table with an old count.
    discoveryCount.store(0, std::memory_order_release);
    discoveryTable.store(table, std::memory_order_release);
    discoveryCount.store(count, std::memory_order_release);
}

void kestrovaSetConnectionDataReader(int (*reader)(const char *path, linkedList_t *list)) {
    connectionDataReader.store(reader, std::memory_order_release);
}

// One pass of the worker; 0 when the stop flag ended it.
int kestrovaDependencyPass(void) {
    auto reader = connectionDataReader.load(std::memory_order_acquire);
    if (reader && connectionInfoList && kestrovaConnDataFile[0])
        reader(kestrovaConnDataFile, connectionInfoList);
    int n = discoveryCount.load(std::memory_order_acquire);
    const discoveryEntry_t *table = discoveryTable.load(std::memory_order_acquire);
    if (!table)
        n = 0;
    for (int i = 0; i < n; i++) {
        if (table[i].fn)
            table[i].fn();
        if ((i + 1 == n || table[i + 1].group != table[i].group) && stopping())
            return 0;
    }
    pruneDependencies(1, dependencyAgeOutInterval.load(std::memory_order_relaxed));
    if (stopping())
        return 0;
    pruneDependencies(0, peerAgeOutInterval.load(std::memory_order_relaxed));
    if (stopping())
        return 0;
    checkDependencies();
    if (stopping())
        return 0;
    return 1;
}

void *dependency_dowork(void *) {
    fprintf(stderr, "dependency_dowork starting\n");
    try {
        while (!stopping()) {
            // The parameter file refuses intervals below 4; a 0-second
            // quarter would spin.
            int quarter = std::max(1, dependencyScanInterval.load(std::memory_order_relaxed) / 4);
            bool slept = true;
            for (int i = 0; i < 4 && slept; i++)
                slept = kestrovaSleep(quarter) != 0;
            // Woken by the stop flag: no discovery run after it.
            if (!slept)
                continue;
            if (!kestrovaDependencyPass())
                return nullptr;
        }
    } catch (...) {
        fprintf(stderr, "dependency_dowork: unexpected failure\n");
        qeldLog("dependency_dowork: unexpected failure");
    }
    printf("dependency worker returning\n");
    fflush(stdout);
    return nullptr;
}

} // extern "C"
