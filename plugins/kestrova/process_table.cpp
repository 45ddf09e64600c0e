#include "process_table.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <unordered_map>
#include <vector>

#include "depend_tcp.h"
#include "hostfs.h"
#include "kestrova.h"
#include "mib2netlink.h"
#include "mib2parse.h"
#include "proc_parse.h"
#include "qelselect.h"

std::mutex processTableLock;
std::mutex processEndptLock;

namespace {

using ProcTable = std::vector<process_t>;
using EndptTable = std::vector<processEndpt_t>;

// The published snapshots. Readers copy the pointer under the guard and walk
// the table after releasing it: a reload only ever replaces whole tables.
std::shared_ptr<const ProcTable> processTable = std::make_shared<ProcTable>();
int numProcs = 0, totalThreads = 0, totalHandles = 0;
std::shared_ptr<const EndptTable> endptTable = std::make_shared<EndptTable>();
int numEndpts = 0;
// Capacities of the last tables built: the next reload starts with them.
size_t maxProcs = 0, maxEndpts = 0;

struct Sock {
    mib2::SockRecord rec;
    unsigned proto; // IPPROTO_TCP or IPPROTO_UDP
};
using SockIndex = std::unordered_map<uint64_t, Sock>;

void addSockets(SockIndex &idx, const std::vector<mib2::SockRecord> &recs, unsigned proto) {
    for (const mib2::SockRecord &s : recs)
        if (s.inode != 0)
            idx.emplace(s.inode, Sock{s, proto});
}

// One namespace's sockets: through sock_diag when the root is the live host
// and the namespace is the agent's, else from the four /proc/net files of
// dir (a HostDir opened on /proc/PID, or on /proc/self).
void readNetFiles(hostfs::HostDir &dir, SockIndex &idx) {
    static const struct {
        const char *file;
        int ipVersion;
        unsigned proto;
    } files[] = {{"net/tcp", 4, IPPROTO_TCP},
                 {"net/tcp6", 6, IPPROTO_TCP},
                 {"net/udp", 4, IPPROTO_UDP},
                 {"net/udp6", 6, IPPROTO_UDP}};
    std::string text;
    for (const auto &f : files) {
        if (!dir.read(f.file, text, 1u << 30))
            continue;
        std::vector<mib2::SockRecord> recs;
        mib2::parseProcSockets(text, f.ipVersion, recs);
        addSockets(idx, recs, f.proto);
    }
}

void readAgentSockets(SockIndex &idx) {
    if (hostfs::hostRootIsReal()) {
        std::vector<mib2::SockRecord> tcp, udp;
        if (mib2::netlinkSockets(AF_INET, IPPROTO_TCP, tcp) && mib2::netlinkSockets(AF_INET6, IPPROTO_TCP, tcp) &&
            mib2::netlinkSockets(AF_INET, IPPROTO_UDP, udp) && mib2::netlinkSockets(AF_INET6, IPPROTO_UDP, udp)) {
            addSockets(idx, tcp, IPPROTO_TCP);
            addSockets(idx, udp, IPPROTO_UDP);
            return;
        }
    }
    hostfs::HostDir self;
    if (self.open("/proc/self"))
        readNetFiles(self, idx);
}

std::string zeroV6Text() {
    static const unsigned char zero[16] = {};
    char buf[48];
    convertIPv6Bytes(zero, buf, sizeof buf);
    return buf;
}

bool isZero(const unsigned char *a, size_t n) {
    for (size_t i = 0; i < n; i++)
        if (a[i])
            return false;
    return true;
}

std::string cut(std::string s, size_t max) {
    if (s.size() > max)
        s.resize(max);
    return s;
}

// Room for one more entry: 50 at first, then 25 more whenever full, or half
// the table when that is more (whole tables are built per reload, so a step
// of 25 would copy a 100k-socket table thousands of times).
template <typename T> int enlarge(std::vector<T> &t, const char *who) {
    try {
        if (t.capacity() == 0)
            t.reserve(50);
        else if (t.size() == t.capacity())
            t.reserve(t.capacity() + std::max<size_t>(25, t.capacity() / 2));
        return 1;
    } catch (const std::bad_alloc &) {
        char msg[96];
        std::snprintf(msg, sizeof msg, "%s: %s failed", who, t.capacity() == 0 ? "initial malloc" : "realloc");
        qeldLog(msg);
        std::fprintf(stderr, "%s: %s\n", msg, std::strerror(ENOMEM));
        return -1;
    }
}

int debugOn() { return debugLevel.load(std::memory_order_relaxed); }

} // namespace

struct ReloadState {
    ProcTable procs;
    EndptTable endpts;
    int threads = 0, handles = 0;
    SockIndex agentSockets;
    std::string agentNs; // the agent's network namespace link text
    std::unordered_map<std::string, std::unique_ptr<SockIndex>> otherNs;
    std::string zeroV6 = zeroV6Text();
    bool tableFailed = false;
};

namespace {

// Fills an endpoint from a socket record; false for an unbound socket.
bool fillEndpoint(processEndpt_t &e, const mib2::SockRecord &s) {
    e.ipVersion = static_cast<uint8_t>(s.ipVersion == 6 ? 6 : 4);
    e.localPort = static_cast<uint16_t>(s.localPort);
    e.remPort = static_cast<uint16_t>(s.remPort);
    if (e.ipVersion == 6) {
        convertIPv6Bytes(s.localAddr, e.localIPv6, sizeof e.localIPv6);
        if (!isZero(s.remAddr, 16))
            convertIPv6Bytes(s.remAddr, e.remIPv6, sizeof e.remIPv6);
        if (e.localPort == 0 && isZero(s.localAddr, 16))
            return false;
    } else {
        std::memcpy(&e.localIp, s.localAddr, 4);
        std::memcpy(&e.remIp, s.remAddr, 4);
        if (e.localPort == 0 && e.localIp == 0)
            return false;
    }
    return true;
}

uint8_t mib2State(const Sock &s) {
    if (s.proto == IPPROTO_TCP)
        return static_cast<uint8_t>(mib2::tcpStateToMib2(s.rec.linuxState));
    return static_cast<uint8_t>(convertUDPState(mib2::udpKernelState(s.rec)));
}

// The sockets of a process in another network namespace, from that
// namespace's tables, read once per reload.
const SockIndex *otherNamespace(ReloadState &r, hostfs::HostDir &pd) {
    std::string ns;
    if (!pd.readLink("", "ns/net", ns) || ns.empty() || ns == r.agentNs)
        return nullptr;
    auto it = r.otherNs.find(ns);
    if (it == r.otherNs.end()) {
        auto idx = std::make_unique<SockIndex>();
        readNetFiles(pd, *idx);
        it = r.otherNs.emplace(ns, std::move(idx)).first;
    }
    return it->second.get();
}

int inspectProcess(ReloadState &r, process_t &p, hostfs::HostDir &pd, pid_t me) {
    if (debugOn())
        std::printf("find_process_sockets: starting for %s\n", p.name.c_str());
    (void)me; // every process is read through /proc, our own included
    std::vector<std::string> fds;
    if (!pd.listSub("fd", fds)) {
        int err = pd.err();
        // Another user's process, or one that has gone: not inspected.
        if (err == EACCES || err == EPERM || err == ENOENT || err == ESRCH)
            return -1;
        char path[64];
        std::snprintf(path, sizeof path, "/proc/%lu/fd", static_cast<unsigned long>(p.pid));
        std::printf("find_process_sockets: opendir of %s failed, %d\n", path, err);
        return -1;
    }
    // /proc lists descriptors in ascending order; other trees may not.
    std::sort(fds.begin(), fds.end(), [](const std::string &a, const std::string &b) {
        return a.size() != b.size() ? a.size() < b.size() : a < b;
    });
    const SockIndex *other = nullptr;
    bool otherLooked = false;
    std::string link;
    for (const std::string &fd : fds) {
        if (fd.empty() || fd[0] < '0' || fd[0] > '9')
            continue;
        p.handleCount++;
        r.handles++;
        uint64_t inode;
        if (!pd.readLink("fd", fd, link) || !procparse::socketInode(link, inode))
            continue;
        const Sock *s = nullptr;
        bool fromOther = false;
        auto it = r.agentSockets.find(inode);
        if (it != r.agentSockets.end()) {
            s = &it->second;
        } else {
            if (!otherLooked) {
                other = otherNamespace(r, pd);
                otherLooked = true;
            }
            if (other) {
                auto jt = other->find(inode);
                if (jt != other->end()) {
                    s = &jt->second;
                    fromOther = true;
                }
            }
        }
        if (!s)
            continue; // Unix, netlink, raw: a handle only
        if (enlarge(r.endpts, "enlarge_endpt_table") < 0) {
            r.tableFailed = true;
            return -1;
        }
        processEndpt_t e;
        e.pid = p.pid;
        e.name = p.name;
        qelCopyField(e.localIPv6, r.zeroV6.c_str());
        qelCopyField(e.remIPv6, r.zeroV6.c_str());
        if (!fillEndpoint(e, s->rec))
            continue;
        // The kernel's table tells the protocol: a connected UDP socket is
        // not taken for TCP.
        e.proto = s->proto;
        e.state = mib2State(*s);
        // The TCP/UDP snapshots describe the agent's namespace only.
        if (!fromOther)
            get_socket_information(&e);
        r.endpts.push_back(std::move(e));
    }
    return 1;
}

void readProcess(ReloadState &r, hostfs::HostDir &proc, const std::string &entry, long long btime, long tck,
                 long pageKb, pid_t me) {
    process_t p;
    p.pid = static_cast<pid_t>(std::strtol(entry.c_str(), nullptr, 10));
    hostfs::HostDir pd;
    // Every file below is read through this one descriptor: a process that
    // exits mid-read fails the rest (ESRCH), a later process under the same
    // pid is never mixed in.
    if (proc.openSub(entry, pd)) {
        std::string text;
        procparse::Stat st;
        if (pd.readOnce("stat", text, 8192) && procparse::parseStat(text, st)) {
            p.name = cut(st.comm, kProcNameMax);
            p.ppid = static_cast<pid_t>(st.ppid);
            p.numThreads = static_cast<int>(st.numThreads);
            qelCopyField(p.state, procparse::stateText(st.state).c_str());
            p.cputime = tck > 0 ? (st.utime + st.stime) / static_cast<unsigned long long>(tck) : 0;
            if (btime >= 0 && tck > 0) {
                p.startTime = static_cast<time_t>(btime + static_cast<long long>(st.starttime / tck));
                char buf[64];
                struct tm tmv;
                if (localtime_r(&p.startTime, &tmv) && std::strftime(buf, sizeof buf, "%a %b %e %H:%M:%S %Y", &tmv))
                    qelCopyField(p.startTimeStr, buf);
            }
            p.size = st.vsize / 1024;
            p.rss = st.rss > 0 ? static_cast<uint64_t>(st.rss) * static_cast<uint64_t>(pageKb) : 0;
            r.threads += p.numThreads;
            unsigned uid = 0, gid = 0;
            if (pd.readOnce("status", text, 16384) && procparse::parseStatus(text, uid, gid)) {
                p.uid = uid;
                p.gid = gid;
            }
            if (pd.readOnce("cmdline", text, kProcCmdlineMax + 1) || !text.empty())
                p.cmdline = procparse::parseCmdline(text, kProcCmdlineMax);
            if (p.cmdline.empty())
                p.cmdline = p.name;
            procparse::Io io;
            if (pd.readOnce("io", text, 4096) && procparse::parseIo(text, io)) {
                p.readOps = io.syscr;
                p.writeOps = io.syscw;
                p.readBytes = io.rchar;
                p.writeBytes = io.wchar;
            }
        }
        inspectProcess(r, p, pd, me);
    }
    // A process gone before its directory was opened is listed with its pid.
    r.procs.push_back(std::move(p));
}

} // namespace

int find_process_sockets(ReloadState &r, process_t &p, pid_t me) {
    hostfs::HostDir pd;
    hostfs::HostDir proc;
    char name[24];
    std::snprintf(name, sizeof name, "%ld", static_cast<long>(p.pid));
    if (!proc.open("/proc") || !proc.openSub(name, pd))
        return -1;
    return inspectProcess(r, p, pd, me);
}

extern "C" int reload_process_table(void) {
    try {
        hostfs::HostDir proc;
        if (!proc.open("/proc")) {
            std::fprintf(stderr, "opendir of /proc failed: %s\n", std::strerror(proc.err()));
            return -1;
        }
        pid_t me = getpid();
        std::vector<std::string> names;
        if (!proc.list(names)) {
            std::fprintf(stderr, "opendir of /proc failed: %s\n", std::strerror(proc.err()));
            return -1;
        }
        std::vector<std::pair<long, std::string>> pids;
        pids.reserve(names.size());
        for (std::string &n : names)
            if (n[0] != '.' && n[0] >= '0' && n[0] <= '9' && procparse::allDigits(n))
                pids.emplace_back(std::strtol(n.c_str(), nullptr, 10), std::move(n));
        std::sort(pids.begin(), pids.end());

        ReloadState r;
        {
            std::lock_guard g(processTableLock);
            r.procs.reserve(std::max<size_t>(maxProcs, 50));
        }
        {
            std::lock_guard g(processEndptLock);
            r.endpts.reserve(std::max<size_t>(maxEndpts, 50));
        }
        hostfs::HostDir self;
        if (self.open("/proc/self"))
            self.readLink("", "ns/net", r.agentNs);
        readAgentSockets(r.agentSockets);
        std::string text;
        long long btime = proc.read("stat", text, 1u << 20) ? procparse::parseBootTime(text) : -1;
        long tck = sysconf(_SC_CLK_TCK);
        long page = sysconf(_SC_PAGESIZE);
        long pageKb = page > 0 ? page / 1024 : 4;

        for (const auto &pe : pids) {
            if (enlarge(r.procs, "enlarge_process_table") < 0) {
                r.tableFailed = true;
                break;
            }
            readProcess(r, proc, pe.second, btime, tck, pageKb, me);
            if (r.tableFailed)
                break;
        }
        if (r.tableFailed)
            return -1; // the last complete tables stay published
        auto procs = std::make_shared<const ProcTable>(std::move(r.procs));
        auto endpts = std::make_shared<const EndptTable>(std::move(r.endpts));
        std::shared_ptr<const ProcTable> oldProcs;
        std::shared_ptr<const EndptTable> oldEndpts;
        {
            std::unique_lock a(processTableLock);
            std::unique_lock b(processEndptLock);
            oldProcs.swap(processTable);
            processTable = procs;
            numProcs = static_cast<int>(procs->size());
            totalThreads = r.threads;
            totalHandles = r.handles;
            maxProcs = procs->capacity();
            oldEndpts.swap(endptTable);
            endptTable = endpts;
            numEndpts = static_cast<int>(endpts->size());
            maxEndpts = endpts->capacity();
            a.unlock();
            b.unlock();
        }
        // The old tables are freed here, after both guards are released.
        return 1;
    } catch (const std::bad_alloc &) {
        qeldLog("enlarge_process_table: realloc failed");
        std::fprintf(stderr, "enlarge_process_table: realloc failed: %s\n", std::strerror(ENOMEM));
        return -1;
    }
}

extern "C" int isProcessRunning(const char *procname) {
    if (!procname)
        return 0;
    std::lock_guard g(processTableLock);
    for (const process_t &p : *processTable)
        if (p.name.find(procname) != std::string::npos)
            return 1;
    return 0;
}

extern "C" int getNumberProcesses(void) {
    std::lock_guard g(processTableLock);
    return numProcs;
}

extern "C" int getNumberThreads(void) {
    std::lock_guard g(processTableLock);
    return totalThreads;
}

extern "C" int getNumberHandles(void) {
    std::lock_guard g(processTableLock);
    return totalHandles;
}

extern "C" int findProcessExecutable(const char *, char *, int) { return 0; }

std::string processRowKey(const process_t &p) {
    std::string k = std::to_string(static_cast<unsigned>(p.pid));
    k += ':';
    k += p.cmdline;
    return cut(std::move(k), kProcKeyMax);
}

namespace {
void addrText(const processEndpt_t &e, bool local, char *buf, size_t len) {
    if (e.ipVersion == 4)
        qelConvertIpAddr(local ? e.localIp : e.remIp, buf, static_cast<int>(len));
    else
        qelCopyStr(buf, len, local ? e.localIPv6 : e.remIPv6);
}
} // namespace

std::string endptRowKey(const processEndpt_t &e) {
    char local[64], rem[64];
    addrText(e, true, local, sizeof local);
    addrText(e, false, rem, sizeof rem);
    char buf[256];
    std::snprintf(buf, sizeof buf, "%u:%d:%d:%s:%d:+:%s:%d", static_cast<unsigned>(e.pid), static_cast<int>(e.proto),
                  static_cast<int>(e.state), local, static_cast<int>(e.localPort), rem, static_cast<int>(e.remPort));
    return cut(buf, kProcKeyMax);
}

namespace {

bool fillProcessColumn(const process_t &p, unsigned column, qelVariable_t *v) {
    switch (column) {
    case 1: qelSetValueInt(v, integer, p.pid); return true;
    case 2: qelSetValue(v, displayString, p.cmdline.empty() ? p.name.c_str() : p.cmdline.c_str()); return true;
    case 3: qelSetValueInt(v, integer, p.gid); return true;
    case 4: qelSetValue(v, displayString, p.state); return true;
    case 5: qelSetValueInt(v, gauge, static_cast<long long>(p.rss)); return true;
    case 6: qelSetValueInt(v, gauge, static_cast<long long>(p.size)); return true;
    case 7: qelSetValueInt(v, integer, p.handleCount); return true;
    case 8: qelSetValueInt(v, integer, p.numThreads); return true;
    case 9: qelSetValueInt(v, integer, static_cast<long long>(p.cputime)); return true;
    case 10: qelSetValue(v, displayString, p.startTimeStr); return true;
    case 11: qelSetValueInt(v, counter, static_cast<long long>(p.readOps)); return true;
    case 12: qelSetValueInt(v, counter, static_cast<long long>(p.writeOps)); return true;
    case 13: qelSetValueInt(v, counter, static_cast<long long>(p.readBytes)); return true;
    case 14: qelSetValueInt(v, counter, static_cast<long long>(p.writeBytes)); return true;
    default: return false;
    }
}

bool fillEndptColumn(const processEndpt_t &e, unsigned column, qelVariable_t *v) {
    qelSyntax_t addrSyntax = e.ipVersion == 6 ? ipV6Address : ipV4Address;
    char buf[64];
    switch (column) {
    case 1: qelSetValueInt(v, integer, e.pid); return true;
    case 2: qelSetValue(v, displayString, e.name.c_str()); return true;
    case 3: qelSetValueInt(v, integer, e.proto); return true;
    case 4: qelSetValueInt(v, integer, e.state); return true;
    case 5: addrText(e, true, buf, sizeof buf); qelSetValue(v, addrSyntax, buf); return true;
    case 6: qelSetValueInt(v, integer, e.localPort); return true;
    case 7: addrText(e, false, buf, sizeof buf); qelSetValue(v, addrSyntax, buf); return true;
    case 8: qelSetValueInt(v, integer, e.remPort); return true;
    default: return false;
    }
}

template <typename Table, typename KeyFn, typename FillFn>
qelErrorStatus_t selectRows(const char *who, const char *columnWho, const char *summary, std::mutex &guard,
                            const std::shared_ptr<const Table> &published, char *key, qelVariable_t *columns,
                            qelPdu_t *out, KeyFn keyOf, FillFn fill) {
    if (!key || !columns || !out)
        return genError;
    if (appGroup.load(std::memory_order_relaxed) == 0)
        return noSuchName;
    QelSelect sel(who, key, columns, out, QelSelect::KeyMatch::Contains, columnWho);
    std::shared_ptr<const Table> rows;
    {
        std::lock_guard g(guard);
        rows = published;
    }
    try {
        for (const auto &row : *rows) {
            std::string k = keyOf(row);
            if (!sel.selects(k.c_str()))
                continue;
            if (!sel.addRow(k.c_str(), [&](unsigned column, qelVariable_t *v) { return fill(row, column, v); }))
                return sel.status();
        }
    } catch (const std::bad_alloc &) {
        std::fprintf(stderr, "%s: malloc failed\n", who);
        out->errorStatus = genError;
        return genError;
    }
    return sel.finish(summary, debugOn());
}

} // namespace

extern "C" qelErrorStatus_t var_procTable(char *key, qelVariable_t *columns, qelPdu_t *out) {
    return selectRows("var_processTable", "var_processTable", "var_procTable", processTableLock, processTable, key,
                      columns, out, processRowKey, fillProcessColumn);
}

extern "C" qelErrorStatus_t var_endptTable(char *key, qelVariable_t *columns, qelPdu_t *out) {
    return selectRows("var_processEndpt", "var_endptTable", "var_endptTable", processEndptLock, endptTable, key,
                      columns, out, endptRowKey, fillEndptColumn);
}
