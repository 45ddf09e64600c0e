/*
 * The host side of the plug-in contract, as the agent (and the tests that run
 * plug-in code without the agent) sees it: configuration of the host calls,
 * the variable registry with its in-flight guards, module records, traps,
 * the name cache and the request dispatcher.
 */
#ifndef QELD_QELHOST_H
#define QELD_QELHOST_H

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <netinet/in.h>

#include "qelplugin.h"

namespace qelhost {

/* ---- configuration (set once by the agent before plug-ins load) ---- */
struct Config {
    std::string homeDir = ".";
    std::string pluginDir = ".";
    std::string logFile; // empty: standard error
    int debugLevel = 0;
    int agentPort = 5270;   // port peers' agents listen on
    std::string systemName; // empty: the host name
};
void configure(const Config &cfg);
const Config &config();
time_t startTime();

/* ---- log ---- */
void logf(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
/*
 * logf for what remote peers can cause at will (failed handshakes, refused
 * sessions, malformed requests): each format writes at most
 * LogLimiter::kBurst lines a minute; the lines held back are counted in the
 * next line of that format, or at closeLog.
 */
void logfLimited(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
/* logf at debug level: written only while the agent's log level (-d) is debug. */
void logfDebug(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void closeLog();

/* Which lines of one kind may be written, per window of kWindowSeconds. */
class LogLimiter {
public:
    static constexpr int kBurst = 20;
    static constexpr int kWindowSeconds = 60;
    /* Whether a line at time now (seconds) is written; *heldBack is then the
     * number of lines held back before it, which the line should mention. */
    bool admit(double now, unsigned long *heldBack);
    /* Lines held back and not yet mentioned (and forgets them). */
    unsigned long takeHeldBack();

private:
    double windowStart_ = -1;
    int written_ = 0;
    unsigned long heldBack_ = 0;
};

/* ---- variable registry ---- */
/*
 * A registered variable, kept alive while a handler runs: removal takes the
 * entry out of the index at once and then waits until no other thread is
 * inside one of its handlers.
 */
struct VarEntry;
class VarRef {
public:
    VarRef() = default;
    explicit VarRef(std::shared_ptr<VarEntry> e);
    VarRef(VarRef &&) noexcept;
    VarRef &operator=(VarRef &&) noexcept;
    VarRef(const VarRef &) = delete;
    VarRef &operator=(const VarRef &) = delete;
    ~VarRef();
    explicit operator bool() const { return entry_ != nullptr; }
    qelVar_t *var() const;

private:
    void release();
    std::shared_ptr<VarEntry> entry_;
};

/* The variable mib/obj (a scalar, a table or a column), guarded. */
VarRef findVar(const char *mib, const char *obj);
/* The variable that selects the rows of table mib/table. */
VarRef findTableSelector(const char *mib, const char *table);
/* Copies of the registered definitions of a module ("" = all), in order. */
std::vector<qelVar_t> listVars(const std::string &module);
size_t varCount();

/* ---- module records (qelAddModule) ---- */
struct ModuleRecord {
    std::string file, version, package, required;
    int kind = 0;
};
std::vector<ModuleRecord> modules();
/* Forgets the record of file registered by package. */
void removeModule(const std::string &file, const std::string &package);

/* ---- plug-ins known to the symbol lookup ---- */
void addSymbolSource(void *dlHandle);
void removeSymbolSource(void *dlHandle);

/* ---- traps ---- */
struct TrapSink {
    std::string host;
    int port = 5270;
};
void setTrapSinks(const std::vector<TrapSink> &sinks);
/* Starts the sending worker; stopTraps drains nothing and ends it. */
void startTraps();
void stopTraps();
/* A trap received from the peer at source (its address text). */
void trapReceived(const qelPdu_t *pdu, const char *source);
struct TrapRecord {
    time_t when = 0;
    std::string direction; // "sent" or "received"
    std::string peer;
    std::string eventType;
    std::string variables;
};
std::vector<TrapRecord> trapLog();
/* Waits (bounded) until the trap queue is empty; for tests and shutdown. */
bool waitTrapsIdle(int timeoutMs);
void unregisterTrapHandlers(qelTrapHandler_t handler);
/* Forgets every handler whose code lies in the shared object that holds
 * the function anyFunction. */
void unregisterTrapHandlersOf(const void *anyFunction);

/* ---- name cache ---- */
using Resolver = std::function<int(const std::string &query, std::string &name)>;
/* The look-ups behind the name calls; a member left null is the system's. */
struct NameResolvers {
    Resolver ipAddr;                                              /* qelIpAddrToHostname: 1 and the name, or negative */
    Resolver nameAddr;                                            /* qelNameAddrToHostname */
    std::function<uint32_t(const std::string &name)> ipv4;        /* network order, 0: none */
    std::function<int(const std::string &name, in6_addr *)> ipv6; /* 1, or negative */
};
void setNameResolvers(NameResolvers r);
/* Replaces the reverse resolvers only (tests); null restores. */
void setNameResolver(Resolver ipAddr, Resolver nameAddr);
/* Lifetimes of positive and negative answers (s), and how long a caller
 * waits for a look-up (ms) before it is answered "no name". */
void setNameCacheLimits(int positiveTtl, int negativeTtl, int waitMs);
// Discovery keeps about two answers per dependency; this holds them for
// 100,000 dependencies (an entry is a few hundred bytes, and only answers
// asked for take room).
constexpr size_t kDefaultNameCacheEntries = 262144;
/* Most entries kept; the least recently used one makes room. 0: none kept. */
void setNameCacheCapacity(size_t entries);
/* The clock entries expire by (tests); null restores the steady clock. */
void setNameCacheClock(std::chrono::steady_clock::time_point (*now)());
void clearNameCache(); /* entries and counters */
size_t nameCacheSize();
struct NameCacheStats {
    uint64_t hits = 0, misses = 0, queued = 0, evictions = 0;
    size_t entries = 0, running = 0, waiting = 0;
};
NameCacheStats nameCacheStats();
/* Waits (bounded) until no look-up runs or waits; false at the time-out. */
bool waitNameLookupsIdle(int timeoutMs);
/* The forward look-ups behind qelHostnameToIpaddr and qelHostnameToIpv6addr. */
uint32_t cachedHostnameToIpaddr(const char *name);
int cachedHostnameToIpv6addr(const char *name, struct in6_addr *addr);

/* ---- dispatch ---- */
/*
 * Answers one parsed request into reply (a zero-filled record the caller
 * releases with qelPduCleanup). authenticated: the peer's certificate
 * verified, needed to set. Returns false for a message that is not answered
 * (a trap).
 */
bool dispatch(qelPdu_t *request, qelPdu_t *reply, bool authenticated, const char *peer);

} // namespace qelhost

#endif
