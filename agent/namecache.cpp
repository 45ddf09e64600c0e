// Host-name look-ups for plug-ins, behind a cache with positive and negative
// entries. A look-up that the resolver does not finish within a short wait
// answers "no name" to the caller and completes in the background, so a slow
// resolver never stalls a plug-in's worker for long.
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include "qel/socklib.h"
#include "qel/strutil.h"
#include "qelhost.h"

namespace qelhost {

namespace {

constexpr size_t kMaxEntries = 4096;
constexpr int kMaxInFlight = 8;

struct Entry {
    bool positive = false;
    std::string name;
    std::chrono::steady_clock::time_point expires;
};

struct Cache {
    std::mutex m;
    std::condition_variable done;
    std::map<std::string, Entry> entries;
    std::map<std::string, int> pending; // key -> waiters (look-up running)
    Resolver ipAddr, nameAddr;
    int positiveTtl = 600, negativeTtl = 60, waitMs = 2000;
};

Cache &cache() {
    static Cache *c = new Cache; // background look-ups may outlive main
    return *c;
}

int defaultIpAddr(const std::string &q, std::string &name) {
    char buf[1025];
    if (ipAddrToHostname(q.c_str(), buf, sizeof buf) != 1)
        return -1;
    name = buf;
    return 1;
}

int defaultNameAddr(const std::string &q, std::string &name) {
    char buf[1025];
    if (nameAddrToHostname(q.c_str(), buf, sizeof buf) != 1)
        return -1;
    name = buf;
    return 1;
}

void store(Cache &c, const std::string &key, int r, const std::string &name, bool usedFallback) {
    // Caller holds c.m.
    if (c.entries.size() >= kMaxEntries) {
        auto now = std::chrono::steady_clock::now();
        std::erase_if(c.entries, [&](const auto &kv) { return kv.second.expires <= now; });
        if (c.entries.size() >= kMaxEntries)
            c.entries.clear();
    }
    Entry e;
    // A resolver that "found" only the query text itself found nothing.
    e.positive = r == 1 && !name.empty() && !usedFallback;
    e.name = e.positive ? name : std::string();
    e.expires = std::chrono::steady_clock::now() +
                std::chrono::seconds(e.positive ? c.positiveTtl : c.negativeTtl);
    c.entries[key] = e;
}

int lookup(char kind, const char *query, char *buf, int maxlen) {
    if (!query || !buf || maxlen <= 4)
        return -1;
    qelCopyStr(buf, static_cast<size_t>(maxlen), query);
    Cache &c = cache();
    std::string q(query);
    std::string key = std::string(1, kind) + q;
    std::unique_lock lock(c.m);
    auto answer = [&](const Entry &e) {
        if (!e.positive)
            return -1;
        qelCopyStr(buf, static_cast<size_t>(maxlen), e.name.c_str());
        return 1;
    };
    auto it = c.entries.find(key);
    if (it != c.entries.end() && it->second.expires > std::chrono::steady_clock::now())
        return answer(it->second);
    if (!c.pending.count(key)) {
        if (static_cast<int>(c.pending.size()) >= kMaxInFlight)
            return -1; // the resolver is swamped: do not queue behind it
        c.pending[key] = 0;
        Resolver fn = kind == 'i' ? c.ipAddr : c.nameAddr;
        if (!fn)
            fn = kind == 'i' ? defaultIpAddr : defaultNameAddr;
        try {
            std::thread([key, q, fn, kind]() {
                std::string name;
                int r = -1;
                try {
                    r = fn(q, name);
                } catch (...) {
                    r = -1;
                }
                Cache &cc = cache();
                {
                    std::lock_guard l(cc.m);
                    store(cc, key, r, name, kind == 'i' && name == q);
                    cc.pending.erase(key);
                }
                cc.done.notify_all();
            }).detach();
        } catch (...) {
            c.pending.erase(key);
            return -1;
        }
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(c.waitMs);
    c.done.wait_until(lock, deadline, [&] { return !c.pending.count(key); });
    it = c.entries.find(key);
    if (c.pending.count(key) || it == c.entries.end())
        return -1;
    return answer(it->second);
}

} // namespace

void setNameResolver(Resolver ipAddr, Resolver nameAddr) {
    Cache &c = cache();
    std::lock_guard lock(c.m);
    c.ipAddr = std::move(ipAddr);
    c.nameAddr = std::move(nameAddr);
}

void setNameCacheLimits(int positiveTtl, int negativeTtl, int waitMs) {
    Cache &c = cache();
    std::lock_guard lock(c.m);
    c.positiveTtl = positiveTtl;
    c.negativeTtl = negativeTtl;
    c.waitMs = waitMs;
}

void clearNameCache() {
    Cache &c = cache();
    std::lock_guard lock(c.m);
    c.entries.clear();
}

size_t nameCacheSize() {
    Cache &c = cache();
    std::lock_guard lock(c.m);
    return c.entries.size();
}

} // namespace qelhost

extern "C" int qelIpAddrToHostname(const char *addrText, char *buf, int maxlen) {
    return qelhost::lookup('i', addrText, buf, maxlen);
}

extern "C" int qelNameAddrToHostname(const char *nameOrAddr, char *buf, int maxlen) {
    return qelhost::lookup('n', nameOrAddr, buf, maxlen);
}
