// A plug-in for the tests that feeds kestrova dependencies: once a second it
// reads "depfeed.txt" in the agent's home directory and applies each line
// through kestrova's addLocalDependency / removeLocalDependency, found by
// name. A line is
//   add TYPE POV CLIENT SERVER [ARGS]
//   remove TYPE POV CLIENT SERVER [ARGS]
// blank-separated, TYPE and POV numbers, ARGS the rest of the line. An "add"
// line is applied again every second (a refresh), so a line taken out of the
// file stops being refreshed and its dependency ages out. A missing file
// changes nothing.
#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>

#include "dependency.h"
#include "qel/strutil.h"
#include "qelplugin.h"

namespace {

char versionText[] = "TarnVersion 1.00";

using DependFn = int (*)(dependency_t *);

struct FeedState {
    std::mutex mu;
    std::condition_variable cv;
    bool stop = false;
    bool running = false;
};

// Never destroyed: the worker may still be leaving when the agent exits.
FeedState &feed() {
    static FeedState *s = new FeedState;
    return *s;
}

std::atomic<long> linesApplied{0};

// One line into a record; false when it is not a well-formed line.
bool parseLine(const std::string &line, bool &add, dependency_t &d) {
    std::istringstream in(line);
    std::string verb, client, server;
    long type = 0, pov = 0;
    if (!(in >> verb >> type >> pov >> client >> server))
        return false;
    if (verb == "add")
        add = true;
    else if (verb == "remove")
        add = false;
    else
        return false;
    std::string args;
    std::getline(in, args);
    size_t first = args.find_first_not_of(" \t");
    args = first == std::string::npos ? std::string() : args.substr(first);
    memset(&d, 0, sizeof d);
    d.dtype = (dependencyType_t)type;
    d.pov = (dependencyReference_t)pov;
    d.dsrc = dependSrcDynamic;
    qelCopyField(d.dependClient, client.c_str());
    qelCopyField(d.dependServer, server.c_str());
    qelCopyField(d.args, args.c_str());
    return true;
}

void applyFile(const std::string &path) {
    std::ifstream in(path);
    if (!in)
        return;
    auto add = reinterpret_cast<DependFn>(qelGetSymbolValue("addLocalDependency"));
    auto remove = reinterpret_cast<DependFn>(qelGetSymbolValue("removeLocalDependency"));
    if (!add || !remove) {
        static bool told = false;
        if (!told)
            std::fprintf(stderr, "depfeed: kestrova's dependency calls not found\n");
        told = true;
        return;
    }
    auto *d = static_cast<dependency_t *>(std::malloc(sizeof(dependency_t)));
    if (!d)
        return;
    std::string line;
    int count = 0;
    // Bounded per pass: a runaway file must not hold the thread for ever.
    while (count < 100000 && std::getline(in, line)) {
        bool isAdd = false;
        if (!parseLine(line, isAdd, *d))
            continue;
        (isAdd ? add : remove)(d);
        ++count;
    }
    std::free(d);
    linesApplied += count;
}

void *feedWorker(void *) {
    char home[1024] = "";
    qelGetHomeDir(home, sizeof home);
    home[sizeof home - 1] = '\0';
    std::string path = std::string(home) + "/depfeed.txt";
    FeedState &s = feed();
    std::unique_lock lock(s.mu);
    while (!s.stop) {
        lock.unlock();
        try {
            applyFile(path);
        } catch (...) {
            std::fprintf(stderr, "depfeed: failed to apply %s\n", path.c_str());
        }
        lock.lock();
        s.cv.wait_for(lock, std::chrono::seconds(1), [&] { return s.stop; });
    }
    s.running = false;
    s.cv.notify_all();
    return nullptr;
}

} // namespace

extern "C" {

__attribute__((visibility("default"), used)) char *versionStr = versionText;

__attribute__((visibility("default"))) int modinfo(char *modname, int modnamesz, char *descr, int descrsz) {
    if (!modname || !descr || modnamesz < 8 || descrsz < 8)
        return -1;
    qelCopyStr(modname, (size_t)modnamesz, "depfeed");
    qelCopyStr(descr, (size_t)descrsz, "kestrova dependency feeder for tests");
    return 1;
}

__attribute__((visibility("default"))) int init(void) {
    return 1;
}

__attribute__((visibility("default"))) int start(void) {
    FeedState &s = feed();
    {
        std::lock_guard lock(s.mu);
        s.stop = false;
        s.running = true;
    }
    pthread_t tid;
    if (pthread_create(&tid, nullptr, feedWorker, nullptr) != 0) {
        std::lock_guard lock(s.mu);
        s.running = false;
        return -1;
    }
    pthread_detach(tid);
    return 1;
}

__attribute__((visibility("default"))) int finish(void) {
    FeedState &s = feed();
    std::unique_lock lock(s.mu);
    s.stop = true;
    s.cv.notify_all();
    s.cv.wait_for(lock, std::chrono::seconds(5), [&] { return !s.running; });
    return 1;
}

} // extern "C"
