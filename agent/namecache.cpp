// Host-name look-ups for plug-ins, both ways (address to name, name to
// address), behind one cache with positive and negative entries.
//
// The cache holds a bounded number of entries and forgets the least recently
// used one to make room, so a server with tens of thousands of client hosts
// keeps the names it asks for again on every pass. A few look-ups run at a
// time (the system resolver blocks a thread each); more wait in a queue in
// the order asked. A caller waits a bounded time for its answer: a look-up
// the resolver has not finished by then answers "no name" to that caller and
// still completes in the background, so a slow resolver never stalls a
// plug-in's worker for long and the next ask finds the answer.
#include <arpa/inet.h>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <string_view>
#include <thread>
#include <unordered_map>

#include "qel/socklib.h"
#include "qel/strutil.h"
#include "qelhost.h"

namespace qelhost {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kMaxInFlight = 8;
// Look-ups waiting for a free slot; beyond this the resolver is swamped and
// a caller is answered at once (memory stays bounded whatever is asked).
constexpr size_t kMaxQueued = 65536;

// The four kinds of question, each with its own key space.
enum Kind { kAddrToName = 0, kNameAddrToName = 1, kNameToIpv4 = 2, kNameToIpv6 = 3, kKinds = 4 };

// An answer, linked into the recency list (head: most recently used). It
// lives in its kind's index, whose nodes never move.
//
struct Entry {
    Entry *newer = nullptr, *older = nullptr;
    Clock::time_point expires;
    const std::string *query = nullptr; // the index's key
    Kind kind = kAddrToName;
    int result = -1;   // the resolver's return code
    std::string value; // host name, or the address bytes (4 or 16)
};

struct StringHash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};

using Index = std::unordered_map<std::string, Entry, StringHash, std::equal_to<>>;

struct Pending {
    Kind kind;
    std::string query;
    std::shared_ptr<const NameResolvers> resolvers;
    std::condition_variable cv;
    bool done = false;
    int result = -1;
    std::string value;
};
using PendingIndex = std::unordered_map<std::string, std::shared_ptr<Pending>, StringHash, std::equal_to<>>;

struct Cache {
    std::mutex m;
    Index index[kKinds];
    Entry *newest = nullptr, *oldest = nullptr;
    size_t count = 0;
    PendingIndex pending[kKinds]; // running or queued, by query
    std::deque<std::shared_ptr<Pending>> queue;
    int running = 0;
    std::shared_ptr<const NameResolvers> resolvers = std::make_shared<NameResolvers>();
    size_t capacity = kDefaultNameCacheEntries;
    int positiveTtl = 600, negativeTtl = 60, waitMs = 2000;
    Clock::time_point (*now)() = &Clock::now;
    NameCacheStats stats;
};

Cache &cache() {
    static Cache *c = new Cache; // background look-ups may outlive main
    return *c;
}

// ---- the system's resolvers ----

int systemAddrToName(const std::string &q, std::string &name) {
    char buf[1025];
    if (ipAddrToHostname(q.c_str(), buf, sizeof buf) != 1)
        return -1;
    name = buf;
    return 1;
}

int systemNameAddrToName(const std::string &q, std::string &name) {
    char buf[1025];
    if (nameAddrToHostname(q.c_str(), buf, sizeof buf) != 1)
        return -1;
    name = buf;
    return 1;
}

uint32_t systemNameToIpv4(const std::string &q) {
    return hostname_to_ipaddr(q.c_str());
}

int systemNameToIpv6(const std::string &q, in6_addr *a) {
    return hostname_to_ipv6addr(q.c_str(), a);
}

// Runs one question through the resolvers (outside the cache's lock).
void resolve(Pending &p, int &result, std::string &value, bool &answered) {
    const NameResolvers &r = *p.resolvers;
    result = -1;
    answered = false;
    value.clear();
    try {
        switch (p.kind) {
        case kAddrToName:
            result = r.ipAddr ? r.ipAddr(p.query, value) : systemAddrToName(p.query, value);
            // A resolver that "found" only the query text itself found no
            // other name, and that is its answer: a name whose address maps
            // back to it, asked again on every discovery pass.
            if (result == 1 && (value.empty() || value == p.query)) {
                answered = !value.empty();
                result = -1;
            }
            break;
        case kNameAddrToName:
            result = r.nameAddr ? r.nameAddr(p.query, value) : systemNameAddrToName(p.query, value);
            if (result == 1 && value.empty())
                result = -1;
            break;
        case kNameToIpv4: {
            uint32_t a = r.ipv4 ? r.ipv4(p.query) : systemNameToIpv4(p.query);
            result = a ? 1 : -1;
            value.assign(reinterpret_cast<const char *>(&a), sizeof a);
            break;
        }
        case kNameToIpv6: {
            in6_addr a{};
            result = r.ipv6 ? r.ipv6(p.query, &a) : systemNameToIpv6(p.query, &a);
            if (result > 0)
                result = 1;
            else if (result == 0)
                result = -1;
            value.assign(reinterpret_cast<const char *>(&a), sizeof a);
            break;
        }
        default: break;
        }
    } catch (...) {
        result = -1;
    }
    if (result != 1)
        value.clear();
}

// The recency list; the caller holds c.m.
void unlink(Cache &c, Entry *e) {
    (e->newer ? e->newer->older : c.newest) = e->older;
    (e->older ? e->older->newer : c.oldest) = e->newer;
    e->newer = e->older = nullptr;
}

void pushNewest(Cache &c, Entry *e) {
    e->older = c.newest;
    e->newer = nullptr;
    (c.newest ? c.newest->newer : c.oldest) = e;
    c.newest = e;
}

void touch(Cache &c, Entry *e) {
    if (c.newest != e) {
        unlink(c, e);
        pushNewest(c, e);
    }
}

void evictOne(Cache &c) {
    Entry *e = c.oldest;
    unlink(c, e);
    Index &index = c.index[e->kind];
    index.erase(index.find(*e->query));
    --c.count;
    ++c.stats.evictions;
}

// `answered`: the resolver gave an answer, even one the caller is told is
// "no name" (an address whose name is the text asked): it stands as long as
// any other answer. Only a failed look-up is asked again sooner.
void store(Cache &c, Kind kind, const std::string &query, int result, const std::string &value, bool answered) {
    if (c.capacity == 0)
        return;
    const bool positive = result == 1 || answered;
    const auto expires = c.now() + std::chrono::seconds(positive ? c.positiveTtl : c.negativeTtl);
    Index &index = c.index[kind];
    auto it = index.find(query);
    if (it == index.end()) {
        while (c.count >= c.capacity)
            evictOne(c);
        try {
            it = index.try_emplace(query).first;
        } catch (...) {
            return; // not kept; the caller still gets its answer
        }
        it->second.query = &it->first;
        it->second.kind = kind;
        pushNewest(c, &it->second);
        ++c.count;
    } else {
        touch(c, &it->second);
    }
    Entry &e = it->second;
    e.result = result;
    e.value = value;
    e.expires = expires;
}

void finish(Cache &c, const std::shared_ptr<Pending> &p, int result, std::string &&value, bool answered) {
    // Caller holds c.m.
    store(c, p->kind, p->query, result, value, answered);
    p->result = result;
    p->value = std::move(value);
    p->done = true;
    c.pending[p->kind].erase(p->query);
    p->cv.notify_all();
}

// A resolving thread: answers its question, then the queued ones, and ends
// when the queue is empty.
void work(std::shared_ptr<Pending> p) {
    Cache &c = cache();
    for (;;) {
        int result = -1;
        bool answered = false;
        std::string value;
        resolve(*p, result, value, answered);
        std::lock_guard lock(c.m);
        finish(c, p, result, std::move(value), answered);
        if (c.queue.empty()) {
            --c.running;
            return;
        }
        p = std::move(c.queue.front());
        c.queue.pop_front();
    }
}

// Caller holds c.m. Starts a look-up for a question nobody asked yet; false
// when it can be neither run nor queued.
std::shared_ptr<Pending> startLookup(Cache &c, Kind kind, std::string_view query) {
    if (c.running >= kMaxInFlight && c.queue.size() >= kMaxQueued)
        return nullptr;
    auto p = std::make_shared<Pending>();
    p->kind = kind;
    p->query.assign(query);
    p->resolvers = c.resolvers;
    c.pending[kind].emplace(p->query, p);
    if (c.running >= kMaxInFlight) {
        c.queue.push_back(p);
        ++c.stats.queued;
        return p;
    }
    try {
        std::thread(work, p).detach();
        ++c.running;
    } catch (...) {
        c.pending[kind].erase(p->query);
        return nullptr;
    }
    return p;
}

// The cached or freshly resolved answer to one question: the resolver's
// result code; a found value is handed to use (under the cache's lock). -1
// when the answer does not come within the wait.
template <typename Use>
int lookup(Kind kind, std::string_view query, Use &&use) {
    Cache &c = cache();
    std::unique_lock lock(c.m);
    Index &index = c.index[kind];
    auto it = index.find(query);
    if (it != index.end()) {
        Entry &e = it->second;
        if (e.expires > c.now()) {
            ++c.stats.hits;
            touch(c, &e);
            if (e.result == 1)
                use(e.value);
            return e.result;
        }
    }
    ++c.stats.misses;
    std::shared_ptr<Pending> p;
    auto pit = c.pending[kind].find(query);
    if (pit != c.pending[kind].end()) {
        p = pit->second;
    } else {
        p = startLookup(c, kind, query);
        if (!p)
            return -1;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(c.waitMs);
    if (!p->cv.wait_until(lock, deadline, [&] { return p->done; }))
        return -1;
    if (p->result == 1)
        use(p->value);
    return p->result;
}

int lookupName(Kind kind, const char *query, char *buf, int maxlen) {
    if (!query || !buf || maxlen <= 4)
        return -1;
    qelCopyStr(buf, static_cast<size_t>(maxlen), query);
    return lookup(kind, query,
                  [&](const std::string &name) { qelCopyStr(buf, static_cast<size_t>(maxlen), name.c_str()); }) == 1
               ? 1
               : -1;
}

} // namespace

void setNameResolvers(NameResolvers r) {
    auto shared = std::make_shared<const NameResolvers>(std::move(r));
    Cache &c = cache();
    std::lock_guard lock(c.m);
    c.resolvers = std::move(shared);
}

void setNameResolver(Resolver ipAddr, Resolver nameAddr) {
    NameResolvers r;
    r.ipAddr = std::move(ipAddr);
    r.nameAddr = std::move(nameAddr);
    setNameResolvers(std::move(r));
}

void setNameCacheLimits(int positiveTtl, int negativeTtl, int waitMs) {
    Cache &c = cache();
    std::lock_guard lock(c.m);
    c.positiveTtl = positiveTtl;
    c.negativeTtl = negativeTtl;
    c.waitMs = waitMs;
}

void setNameCacheCapacity(size_t entries) {
    Cache &c = cache();
    std::lock_guard lock(c.m);
    c.capacity = entries;
    while (c.count > c.capacity)
        evictOne(c);
}

void setNameCacheClock(std::chrono::steady_clock::time_point (*now)()) {
    Cache &c = cache();
    std::lock_guard lock(c.m);
    c.now = now ? now : &Clock::now;
}

void clearNameCache() {
    Cache &c = cache();
    std::lock_guard lock(c.m);
    for (auto &i : c.index)
        i.clear();
    c.newest = c.oldest = nullptr;
    c.count = 0;
    c.stats = NameCacheStats{};
}

size_t nameCacheSize() {
    Cache &c = cache();
    std::lock_guard lock(c.m);
    return c.count;
}

NameCacheStats nameCacheStats() {
    Cache &c = cache();
    std::lock_guard lock(c.m);
    NameCacheStats s = c.stats;
    s.entries = c.count;
    s.running = static_cast<size_t>(c.running);
    s.waiting = c.queue.size();
    return s;
}

bool waitNameLookupsIdle(int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        {
            Cache &c = cache();
            std::lock_guard lock(c.m);
            bool idle = c.running == 0 && c.queue.empty();
            for (const auto &p : c.pending)
                idle = idle && p.empty();
            if (idle)
                return true;
        }
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

uint32_t cachedHostnameToIpaddr(const char *name) {
    if (!name || !*name)
        return 0;
    in_addr a{};
    if (inet_pton(AF_INET, name, &a) == 1)
        return a.s_addr; // an address is no question
    bool got = false;
    lookup(kNameToIpv4, name, [&](const std::string &v) {
        if ((got = v.size() == sizeof a.s_addr))
            std::memcpy(&a.s_addr, v.data(), sizeof a.s_addr);
    });
    return got ? a.s_addr : 0;
}

int cachedHostnameToIpv6addr(const char *name, struct in6_addr *addr) {
    if (!name || !*name || !addr)
        return -1;
    in6_addr a{};
    if (inet_pton(AF_INET6, name, &a) == 1) {
        *addr = a;
        return 1;
    }
    in_addr a4{};
    if (inet_pton(AF_INET, name, &a4) == 1)
        return -1; // an IPv4 address has no IPv6 one
    bool got = false;
    const int r = lookup(kNameToIpv6, name, [&](const std::string &v) {
        if ((got = v.size() == sizeof *addr))
            std::memcpy(addr, v.data(), sizeof *addr);
    });
    if (r != 1)
        return r < 0 ? r : -1;
    return got ? 1 : -1;
}

} // namespace qelhost

extern "C" int qelIpAddrToHostname(const char *addrText, char *buf, int maxlen) {
    return qelhost::lookupName(qelhost::kAddrToName, addrText, buf, maxlen);
}

extern "C" int qelNameAddrToHostname(const char *nameOrAddr, char *buf, int maxlen) {
    return qelhost::lookupName(qelhost::kNameAddrToName, nameOrAddr, buf, maxlen);
}
