// The file-system table: the host's mounts with their block and file usage,
// and the remote file servers among them.
//
// statvfs on a mount whose server is gone blocks in the kernel for good, so
// it never runs under the list lock nor on the worker's own thread: a prober
// thread walks the pass's mount points and the reload waits for each call a
// bounded time. A call that does not return makes its mount "stuck": it
// counts as a failed statvfs and is not statted again until the call comes
// back (its late result is applied on the next pass); the pass goes on with
// a fresh prober.
#include <pthread.h>
#include <sys/statvfs.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "hostfs.h"
#include "kestrova.h"
#include "linkedlist.h"
#include "qel/strutil.h"
#include "qelselect.h"
#include "sysinfo.h"
#include "sysinfo_parse.h"
#include "qel/log.h"

namespace {

constexpr int kMaxBlocked = 32;

struct StatResult {
    bool ok = false;
    struct statvfs st {};
};

// ---- the list and its index by mount point ----

int filesystemCompare(void *a, void *b) {
    if (!a || !b)
        return -1;
    return std::strcmp(static_cast<aFilesys_t *>(a)->filesystem, static_cast<aFilesys_t *>(b)->filesystem);
}
int filesystemPrint(void *rec) {
    auto *f = static_cast<aFilesys_t *>(rec);
    if (!f)
        return -1;
    qel::logInfo("Filesystem: fs:'%s' mountpt:'%s' type:'%s'\n", f->filesystem, f->mountpt, f->fstype);
    return 0;
}
int filesystemFree(void *rec) {
    std::free(rec);
    return 0;
}

std::once_flag listOnce;
std::atomic<linkedList_t *> filesystemList{nullptr};
// Under the list lock, beside the cells (findFilesys runs per mount).
std::unordered_map<std::string, aFilesys_t *> *byMountpt = nullptr;

// Created once, by whichever operation needs it first.
linkedList_t *theList() {
    std::call_once(listOnce, [] {
        byMountpt = new std::unordered_map<std::string, aFilesys_t *>();
        filesystemList.store(
            newLinkedList(sizeof(aFilesys_t), filesystemCompare, filesystemPrint, filesystemFree, "filesystemList", 0));
    });
    return filesystemList.load();
}
// Without creating it.
linkedList_t *existingList() {
    return filesystemList.load();
}

aFilesys_t *findLocked(const char *mountpt) {
    auto it = byMountpt->find(mountpt);
    return it == byMountpt->end() ? nullptr : it->second;
}

// ---- the prober ----

std::atomic<sysinfoStatFn_t> statFn{nullptr};
std::atomic<int> statTimeoutMs{3000};
std::atomic<int> blockedCalls{0};

// Mounts with a call still pending, and results that came back late. Never
// destroyed: a blocked prober may return at any time.
struct Stuck {
    std::mutex m;
    std::set<std::string> pending;
    std::map<std::string, StatResult> late;
};
Stuck &stuck() {
    static Stuck *s = new Stuck();
    return *s;
}

struct Batch {
    std::mutex m;
    std::condition_variable cv;
    std::vector<std::string> mountpts; // as listed
    std::vector<std::string> paths;    // under the host root
    std::vector<StatResult> results;
    size_t next = 0; // the call in progress, or the next one
    std::chrono::steady_clock::time_point callStart;
    bool done = false;
    bool abandoned = false;
};

int doStat(const char *path, struct statvfs *st) {
    sysinfoStatFn_t fn = statFn.load();
    return fn ? fn(path, st) : ::statvfs(path, st);
}

void probe(std::shared_ptr<Batch> b) {
    // Named, so that an operator (top -H, ps -L) can tell a prober stuck in
    // a hung mount from the agent's other threads.
    pthread_setname_np(pthread_self(), "kq-statvfs");
    try {
        std::unique_lock lock(b->m);
        while (b->next < b->paths.size() && !b->abandoned) {
            size_t i = b->next;
            std::string path = b->paths[i];
            b->callStart = std::chrono::steady_clock::now();
            lock.unlock();
            StatResult r;
            r.ok = doStat(path.c_str(), &r.st) == 0;
            lock.lock();
            if (b->abandoned) {
                // The worker gave up on this call: keep its result for the
                // next pass and free the mount.
                Stuck &s = stuck();
                std::lock_guard sl(s.m);
                s.pending.erase(b->mountpts[i]);
                s.late[b->mountpts[i]] = r;
                blockedCalls.fetch_sub(1);
                break;
            }
            // No wake-up per call: the worker needs one when the batch is
            // done, and otherwise wakes by the clock to check the call in
            // progress (a wake-up per mount would cost a context switch each).
            b->results[i] = r;
            b->next = i + 1;
        }
        b->done = true;
        b->cv.notify_all();
    } catch (...) {
        kestrova::logCaught("kq-statvfs");
    }
}

// Stats every mount point; results[i] stays failed for stuck mounts, ones
// skipped and those the pass gave up on.
std::vector<StatResult> statAll(const std::vector<std::string> &mountpts, const std::vector<bool> &skip) {
    std::vector<StatResult> results(mountpts.size());
    std::vector<size_t> todo;
    for (size_t i = 0; i < mountpts.size(); ++i)
        if (!skip[i])
            todo.push_back(i);
    size_t pos = 0;
    while (pos < todo.size() && !kestrovaStopping()) {
        auto b = std::make_shared<Batch>();
        for (size_t k = pos; k < todo.size(); ++k) {
            b->mountpts.push_back(mountpts[todo[k]]);
            b->paths.push_back(hostfs::hostPath(mountpts[todo[k]]));
        }
        b->results.resize(b->paths.size());
        try {
            std::thread(probe, b).detach();
        } catch (const std::system_error &e) {
            qel::logError("reloadFilesystems: %s\n", e.what());
            break; // no thread: the rest count as failed
        }
        std::unique_lock lock(b->m);
        bool gaveUp = false;
        while (!b->done) {
            auto limit = b->callStart + std::chrono::milliseconds(statTimeoutMs.load());
            auto now = std::chrono::steady_clock::now();
            if (b->callStart.time_since_epoch().count() != 0 && now >= limit) {
                gaveUp = true;
                break;
            }
            if (kestrovaStopping()) {
                gaveUp = true;
                break;
            }
            // Wake at least every 100 ms to watch the stop flag.
            auto wake =
                std::min(now + std::chrono::milliseconds(100),
                         b->callStart.time_since_epoch().count() ? limit : now + std::chrono::milliseconds(100));
            b->cv.wait_until(lock, wake);
        }
        for (size_t k = 0; k < b->next && k < b->results.size(); ++k)
            results[todo[pos + k]] = b->results[k];
        if (!gaveUp)
            break;
        size_t hung = b->next;
        if (hung < b->paths.size()) {
            Stuck &s = stuck();
            std::lock_guard sl(s.m);
            s.pending.insert(b->mountpts[hung]);
            blockedCalls.fetch_add(1);
        }
        b->abandoned = true;
        pos += hung + 1;
    }
    return results;
}

void fillFromStat(aFilesys_t *f, const struct statvfs &st, time_t now) {
    f->statTime = now;
    f->blockSize = static_cast<int>(st.f_frsize);
    f->totalBlocks = st.f_blocks;
    f->freeBlocks = st.f_bfree;
    f->availBlocks = st.f_bavail;
    f->usedBlocks = st.f_blocks >= st.f_bfree ? st.f_blocks - st.f_bfree : 0;
    f->totalFiles = st.f_files;
    f->freeFiles = st.f_ffree;
    f->availFiles = st.f_favail;
    f->usedFiles = st.f_files >= st.f_ffree ? st.f_files - st.f_ffree : 0;
    f->percentUsedBlocks = sysinfoparse::percentUsed(f->usedBlocks, f->availBlocks);
    f->percentUsedFiles = sysinfoparse::percentUsed(f->usedFiles, f->availFiles);
    qel::logDebug("%s: total:%lld free:%lld blocksize:%d\n", f->mountpt, static_cast<long long>(f->totalBlocks),
                  static_cast<long long>(f->freeBlocks), f->blockSize);
}

void zeroUsage(aFilesys_t *f) {
    f->totalBlocks = f->freeBlocks = f->usedBlocks = 0;
    f->blockSize = 0;
    f->percentUsedBlocks = f->percentUsedFiles = 0;
}

} // namespace

void sysinfoSetStatFn(sysinfoStatFn_t fn) {
    statFn.store(fn);
}
void sysinfoSetStatTimeoutMs(int ms) {
    statTimeoutMs.store(ms > 0 ? ms : 3000);
}
int sysinfoBlockedStats() {
    return blockedCalls.load();
}

void sysinfoResetFilesysForTests() {
    linkedList_t *l = theList();
    if (!l)
        return;
    listLock(l);
    drainLinkedList(l);
    byMountpt->clear();
    listUnlock(l);
}

extern "C" {

aFilesys_t *newFilesys(const char *filesystem, const char *mountpt) {
    if (!filesystem || !mountpt)
        return nullptr;
    auto *f = static_cast<aFilesys_t *>(std::calloc(1, sizeof(aFilesys_t)));
    if (!f) {
        std::perror("newFilesys: malloc failed");
        return nullptr;
    }
    qelCopyMem(f->filesystem, 256, filesystem, std::strlen(filesystem));
    qelCopyField(f->mountpt, mountpt);
    return f;
}

aFilesys_t *findFilesys(const char *mountpt) {
    linkedList_t *l = theList();
    if (!l || !mountpt)
        return nullptr;
    listLock(l);
    aFilesys_t *f = findLocked(mountpt);
    listUnlock(l);
    return f;
}

int reloadFilesystems(void) {
    linkedList_t *l = theList();
    if (!l)
        return -1;
    try {
        std::string text;
        if (!hostfs::readHostFile("/proc/self/mountinfo", text, 64u << 20)) {
            std::perror("fopen mnttab failed");
            return -1;
        }
        std::vector<sysinfoparse::Mount> mounts = sysinfoparse::parseMountinfo(text);
        time_t now = sysinfoNow();

        // Late results of calls that came back since the last pass.
        std::map<std::string, StatResult> late;
        {
            Stuck &s = stuck();
            std::lock_guard sl(s.m);
            late.swap(s.late);
        }

        // Records first (file order, new ones at the head); an overmount
        // listed again keeps its first record.
        std::vector<std::string> mps;
        std::vector<bool> skip;
        std::set<std::string> seen;
        listLock(l);
        for (const auto &m : mounts) {
            if (sysinfoparse::skipMount(m.mountpt, m.fstype) || !seen.insert(m.mountpt).second)
                continue;
            aFilesys_t *f = findLocked(m.mountpt.c_str());
            if (!f) {
                f = newFilesys(m.special.c_str(), m.mountpt.c_str());
                if (!f)
                    continue;
                f->mounted = 1;
                // Ages count from first sight: a mount never statted would
                // otherwise look an hour stale and leave at the next prune.
                f->statTime = now;
                qelCopyMem(f->fstype, sizeof f->fstype, m.fstype.data(), m.fstype.size());
                std::string server;
                int ipv = 0;
                f->remote = sysinfoparse::remoteServer(m.special, m.fstype, server, ipv);
                if (f->remote) {
                    qelCopyField(f->fileserver, server.c_str());
                    f->ipVersion = static_cast<u_char>(ipv);
                }
                if (insertHead(l, f) != 0) {
                    std::free(f);
                    continue;
                }
                (*byMountpt)[f->mountpt] = f;
            }
            auto lt = late.find(m.mountpt);
            if (lt != late.end() && lt->second.ok)
                fillFromStat(f, lt->second.st, now);
            bool skipIt = false;
            {
                Stuck &s = stuck();
                std::lock_guard sl(s.m);
                skipIt = s.pending.count(m.mountpt) != 0;
            }
            // With many calls already blocked, a further hang is most
            // likely another dead server: leave remote mounts alone.
            if (!skipIt && f->remote && blockedCalls.load() >= kMaxBlocked)
                skipIt = true;
            mps.push_back(m.mountpt);
            skip.push_back(skipIt);
        }
        listUnlock(l);

        std::vector<StatResult> results = statAll(mps, skip);
        now = sysinfoNow();
        for (size_t i = 0; i < mps.size(); ++i) {
            listLock(l);
            aFilesys_t *f = findLocked(mps[i].c_str());
            if (f) {
                if (results[i].ok) {
                    fillFromStat(f, results[i].st, now);
                    f->mounted = 1;
                } else {
                    zeroUsage(f);
                }
            }
            listUnlock(l);
        }
        return 1;
    } catch (...) {
        kestrova::logCaught("reloadFilesystems");
        return -1;
    }
}

int pruneFilesystems(void) {
    linkedList_t *l = theList();
    if (!l)
        return 1;
    time_t now = sysinfoNow();
    listLock(l);
    for (linkedElement_t *c = l->head; c;) {
        linkedElement_t *nextCell = c->next;
        auto *f = static_cast<aFilesys_t *>(c->data);
        if (now - f->statTime > 3600) {
            byMountpt->erase(f->mountpt);
            removeElement(l, c);
        } else if (now - f->statTime > 60) {
            f->mounted = 0;
        }
        c = nextCell;
    }
    listUnlock(l);
    return 1;
}

int getNumberRemoteFilesystems(void) {
    linkedList_t *l = existingList();
    if (!l)
        return 0;
    int n = 0;
    listLock(l);
    for (linkedElement_t *c = l->head; c; c = c->next)
        n += static_cast<aFilesys_t *>(c->data)->remote == 1;
    listUnlock(l);
    return n;
}

int getRemoteFilesystems(aFilesys_t *copytable, int maxfilesystems) {
    if (!copytable || maxfilesystems < 1)
        return 0;
    linkedList_t *l = existingList();
    if (!l)
        return 0;
    int n = 0;
    listLock(l);
    for (linkedElement_t *c = l->head; c && n < maxfilesystems; c = c->next) {
        auto *f = static_cast<aFilesys_t *>(c->data);
        if (f->remote == 1)
            copytable[n++] = *f;
    }
    listUnlock(l);
    return n;
}

qelErrorStatus_t var_filesysTable(char *key, qelVariable_t *columns, qelPdu_t *out) {
    QelSelect sel("var_filesysTable", key, columns, out);
    if (!sel.valid())
        return genError;
    if (sysinfoGroup.load(std::memory_order_relaxed) == 0)
        return noSuchName;
    linkedList_t *l = theList();
    if (!l)
        return genError;
    listLock(l);
    for (linkedElement_t *c = l->head; c; c = c->next) {
        const auto *f = static_cast<const aFilesys_t *>(c->data);
        if (!sel.selects(f->mountpt))
            continue;
        bool ok = sel.addRow(f->mountpt, [&](unsigned column, qelVariable_t *v) {
            auto ll = [](uint64_t x) { return static_cast<long long>(x); };
            using C = kestrova::FilesysColumn;
            switch (static_cast<C>(column)) {
            case C::filesystem: qelSetValue(v, displayString, f->filesystem); return true;
            case C::mountpoint: qelSetValue(v, displayString, f->mountpt); return true;
            case C::fstype: qelSetValue(v, displayString, f->fstype); return true;
            case C::totalBlocks: qelSetValueInt(v, integer, ll(f->totalBlocks)); return true;
            case C::usedBlocks: qelSetValueInt(v, integer, ll(f->usedBlocks)); return true;
            case C::freeBlocks: qelSetValueInt(v, integer, ll(f->freeBlocks)); return true;
            case C::availBlocks: qelSetValueInt(v, integer, ll(f->availBlocks)); return true;
            case C::totalFiles: qelSetValueInt(v, integer, ll(f->totalFiles)); return true;
            case C::freeFiles: qelSetValueInt(v, integer, ll(f->freeFiles)); return true;
            case C::usedFiles: qelSetValueInt(v, integer, ll(f->usedFiles)); return true;
            case C::blockSize: qelSetValueInt(v, integer, f->blockSize); return true;
            case C::percentUsedBlocks:
                qelSetValuef(v, floatingPoint, "%3.2f", static_cast<double>(f->percentUsedBlocks));
                return true;
            case C::percentUsedFiles:
                qelSetValuef(v, floatingPoint, "%3.2f", static_cast<double>(f->percentUsedFiles));
                return true;
            case C::availFiles: qelSetValueInt(v, integer, ll(f->availFiles)); return true;
            default: return false;
            }
        });
        if (!ok) {
            listUnlock(l);
            return sel.status();
        }
    }
    listUnlock(l);
    return sel.finish("var_filesysTable", debugLevel.load(std::memory_order_relaxed));
}

} // extern "C"
