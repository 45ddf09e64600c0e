// The plug-in's process-wide settings and the sleep its workers share. Kept
// apart from the frame (kestrova.cpp) so the core modules link without the
// agent's calls.
#include <pthread.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "kestrova.h"
#include "qel/strutil.h"

extern "C" {
float kestrovaVersion = 0.6f;
char kestrovaHomeDir[1024] = "";
char myhostname[256] = "";
char kestrovaConfigFile[KESTROVA_PATH_LEN] = "";
char kestrovaLocalFile[KESTROVA_PATH_LEN] = "";
char kestrovaAuthenUser[KESTROVA_AUTHEN_USER_LEN] = KESTROVA_DEFAULT_AUTHEN_USER;

kestrovaSetting_t debugLevel{0};
kestrovaSetting_t dependencyAgeOutInterval{KESTROVA_DEFAULT_DEPENDENCY_AGEOUT};
kestrovaSetting_t peerAgeOutInterval{KESTROVA_DEFAULT_PEER_AGEOUT};
kestrovaSetting_t dependencyScanInterval{KESTROVA_DEFAULT_DEPENDENCY_SCAN};
kestrovaSetting_t peerScanInterval{KESTROVA_DEFAULT_PEER_SCAN};
kestrovaSetting_t connectionDataVersion{0};
kestrovaSetting_t applicationDataVersion{0};
kestrovaSetting_t kestrovaConfigVersion{0};
kestrovaSetting_t kestrovaLocalVersion{0};
kestrovaSetting_t peerGroup{1};
kestrovaSetting_t sysinfoGroup{1};
kestrovaSetting_t appGroup{1};
kestrovaSetting_t kestrova_thread_kill{0};
kestrovaSetting_t kestrova_update_configfile{0};
}

namespace {

// Workers may still run while the process exits: nothing they touch has a
// destructor, so this state is made once and never destroyed.
struct WorkerState {
    std::mutex mu;
    std::condition_variable cv;
    int running = 0;
};

WorkerState &workers() {
    static WorkerState *s = new WorkerState;
    return *s;
}

std::mutex &authenUserMutex() {
    static std::mutex *m = new std::mutex;
    return *m;
}

std::atomic<int> timeDivisor{1};

bool stopRequested() {
    return kestrova_thread_kill.load(std::memory_order_relaxed) != 0;
}

struct StartArgs {
    void *(*fn)(void *);
};

void *workerTrampoline(void *arg) {
    auto *a = static_cast<StartArgs *>(arg);
    void *(*fn)(void *) = a->fn;
    delete a;
    fn(nullptr);
    // Notify under the lock: the stopper cannot see the count drop and go on
    // before this thread is done with the condition variable.
    WorkerState &w = workers();
    std::lock_guard lock(w.mu);
    --w.running;
    w.cv.notify_all();
    return nullptr;
}

} // namespace

extern "C" void kestrovaGetAuthenUser(char *buf, size_t len) {
    std::lock_guard lock(authenUserMutex());
    qelCopyStr(buf, len, kestrovaAuthenUser);
}

extern "C" void kestrovaSetAuthenUser(const char *name) {
    std::lock_guard lock(authenUserMutex());
    // At most 16 characters are kept.
    qelCopyStr(kestrovaAuthenUser, 17, name ? name : "");
}

extern "C" int kestrovaSetTimeDivisor(const char *text) {
    timeDivisor.store(1, std::memory_order_relaxed);
    if (!text || !*text)
        return 1;
    char *end = nullptr;
    errno = 0;
    long v = std::strtol(text, &end, 10);
    if (errno || end == text || *end || v < 1 || v > 60) {
        std::fprintf(stderr, "kestrova: KESTROVA_TIME_DIVISOR \"%s\" ignored (1-60), using 1\n", text);
        return -1;
    }
    timeDivisor.store(static_cast<int>(v), std::memory_order_relaxed);
    return 1;
}

extern "C" int kestrovaTimeDivisor(void) {
    return timeDivisor.load(std::memory_order_relaxed);
}

extern "C" int kestrovaStopping(void) {
    return stopRequested() ? 1 : 0;
}

extern "C" int kestrovaSleep(int seconds) {
    WorkerState &w = workers();
    std::unique_lock lock(w.mu);
    if (seconds <= 0)
        return stopRequested() ? 0 : 1;
    auto ms = std::chrono::milliseconds(static_cast<long long>(seconds) * 1000 / kestrovaTimeDivisor());
    w.cv.wait_for(lock, ms, [] { return stopRequested(); });
    return stopRequested() ? 0 : 1;
}

extern "C" int kestrovaStartWorker(void *(*fn)(void *)) {
    if (!fn)
        return EINVAL;
    WorkerState &w = workers();
    auto *args = new (std::nothrow) StartArgs{fn};
    if (!args)
        return ENOMEM;
    {
        std::lock_guard lock(w.mu);
        ++w.running;
    }
    pthread_t tid;
    int rc = pthread_create(&tid, nullptr, workerTrampoline, args);
    if (rc != 0) {
        delete args;
        std::lock_guard lock(w.mu);
        --w.running;
        w.cv.notify_all();
        return rc;
    }
    pthread_detach(tid);
    return 0;
}

extern "C" int kestrovaStopWorkers(int timeoutMs) {
    WorkerState &w = workers();
    std::unique_lock lock(w.mu);
    kestrova_thread_kill.store(1, std::memory_order_relaxed);
    w.cv.notify_all();
    return w.cv.wait_for(lock, std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs), [&] { return w.running == 0; })
               ? 1
               : 0;
}

extern "C" int kestrovaRunningWorkers(void) {
    WorkerState &w = workers();
    std::lock_guard lock(w.mu);
    return w.running;
}
