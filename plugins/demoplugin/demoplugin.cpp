// demoplugin: the smallest plug-in that keeps the agent's contract. It
// registers its files, runs one worker and stops it when the agent asks.
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <pthread.h>
#include <unistd.h>

#include "qelplugin.h"

namespace {

int debugLevel = 0;
// Written by the agent's thread in finish, polled by the worker: atomic, so
// the poll is not a data race.
std::atomic<int> demopluginKill{0};
float demopluginVersion = 1.06f;
pthread_t wt;

char versionText[] = "TarnVersion 1.06";

} // namespace

extern "C" {

// The version marker: the text also sits in the file's bytes, where
// qelFindBinaryVersion reads it.
__attribute__((visibility("default"), used)) char *versionStr = versionText;

__attribute__((visibility("default"))) void *demoplugin_dowork(void *) {
    static char *ptr;
    std::printf("demoplugin: do work starting\n");
    std::fflush(stdout);
    ptr = static_cast<char *>(std::malloc(10));
    if (!ptr) {
        std::printf("demoplugin: dowork malloc failed, %d\n", errno);
    } else {
        if (debugLevel)
            std::printf("demoplugin: dowork malloc suceeded\n");
        ptr[0] = 0;
        ptr[1] = 0;
        if (debugLevel)
            std::printf("demoplugin: dowork accessed memory\n");
    }
    while (demopluginKill.load(std::memory_order_relaxed) == 0) {
        if (debugLevel) {
            std::printf("\tdemoplugin: worker doing work\n");
            std::fflush(stdout);
        }
        sleep(30);
    }
    std::printf("demoplugin_dowork: returning\n");
    std::fflush(stdout);
    return nullptr;
}

__attribute__((visibility("default"))) int init(void) {
    static const char *const files[] = {"demoplugin-linux.so", "demoplugin-solaris.so", "demoplugin-solx86.so",
                                        "demoplugin-win32.dll"};
    std::printf("demoplugin: init called\n");
    std::fflush(stdout);
    debugLevel = qelGetAgentDebugLevel();
    for (const char *file : files) {
        float v = qelFindBinaryVersion(file, nullptr);
        char version[64];
        std::snprintf(version, sizeof version, "%3.2f", static_cast<double>(v));
        qelAddModule(file, version, "demoplugin", nullptr, QEL_MODULE_KIND_PLUGIN);
    }
    return 1;
}

__attribute__((visibility("default"))) int start(void) {
    std::printf("demoplugin: start called\n");
    std::fflush(stdout);
    if (pthread_create(&wt, nullptr, demoplugin_dowork, nullptr) != 0) {
        std::perror("Failed to create worker thread for demoplugin");
        return -1;
    }
    pthread_detach(wt);
    return 1;
}

__attribute__((visibility("default"))) int modinfo(char *modname, int modnamesz, char *descr, int descrsz) {
    std::printf("demoplugin: modinfo called\n");
    std::fflush(stdout);
    if (!modname || !descr || modnamesz < 11 || descrsz < 30)
        return -1;
    std::snprintf(modname, static_cast<size_t>(modnamesz), "demoPlugin");
    std::snprintf(descr, static_cast<size_t>(descrsz), "demoPlugin version %3.2f",
                  static_cast<double>(demopluginVersion));
    return 1;
}

__attribute__((visibility("default"))) int finish(void) {
    std::printf("demoplugin: finish called\n");
    std::fflush(stdout);
    demopluginKill.store(1, std::memory_order_relaxed);
    return 1;
}

} // extern "C"
