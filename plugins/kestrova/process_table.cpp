#include "process_table.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
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
#include "qel/log.h"
#include "qelselect.h"

std::mutex processTableLock;
std::mutex processEndptLock;

namespace {

using ProcTable = std::vector<process_t>;

// One socket of a process as the endpoint table keeps it: addresses in
// binary (texts are made when a row is answered), the owner's name by its
// row in the process table of the same reload.
struct EndptRow {
    pid_t pid;
    uint32_t proc;               // the owner's row in EndptTable::procs
    unsigned char localAddr[16]; // IPv4 in the first 4 bytes, network order
    unsigned char remAddr[16];
    uint16_t localPort, remPort;
    uint8_t proto, state, ipVersion;
};

struct EndptTable {
    std::shared_ptr<const ProcTable> procs; // the owners' names
    std::vector<EndptRow> rows;
};

// The published snapshots. Readers copy the pointer under the guard and walk
// the table after releasing it: a reload only ever replaces whole tables.
std::shared_ptr<const ProcTable> processTable = std::make_shared<ProcTable>();
int numProcs = 0, totalThreads = 0, totalHandles = 0;
std::shared_ptr<const EndptTable> endptTable = std::make_shared<EndptTable>();

struct Sock {
    mib2::SockRecord rec;
    unsigned proto; // IPPROTO_TCP or IPPROTO_UDP
};

// A namespace's TCP and UDP sockets by inode; the first record of an inode
// counts.
using SockIndex = std::unordered_map<uint64_t, Sock>;

void addSockets(SockIndex &idx, const std::vector<mib2::SockRecord> &recs, unsigned proto) {
    for (const mib2::SockRecord &s : recs)
        if (s.inode != 0)
            idx.try_emplace(s.inode, Sock{s, proto});
}

const Sock *findSocket(const SockIndex &idx, uint64_t inode) {
    auto it = idx.find(inode);
    return it == idx.end() ? nullptr : &it->second;
}

// One namespace's sockets from the four /proc/net files of dir (a HostDir
// opened on /proc/PID, or on /proc/self).
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

// The agent namespace's sockets: through sock_diag when the root is the live
// host, else from the /proc/net files.
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

bool isZero(const unsigned char *a, size_t n) {
    return std::all_of(a, a + n, [](unsigned char c) { return c == 0; });
}

std::string cut(std::string s, size_t max) {
    if (s.size() > max)
        s.resize(max);
    return s;
}

bool debugOn() {
    return debugLevel.load(std::memory_order_relaxed) != 0;
}

// What one reload builds, and what it reads once for every process.
struct ReloadState {
    ProcTable procs;
    std::vector<EndptRow> endpts;
    int threads = 0, handles = 0;
    SockIndex agentSockets;
    std::string agentNs;             // the agent's network namespace link text
    std::vector<uint64_t> agentUnix; // its Unix sockets' inodes, sorted
    std::unordered_map<std::string, SockIndex> otherNs;
    // The first descriptor directory that could not be listed, reported
    // once after the pass.
    std::string fdFailure;
};

// Fills an endpoint from a socket record; false for an unbound socket.
bool fillEndpoint(processEndpt_t &e, const mib2::SockRecord &s) {
    e.ipVersion = static_cast<uint8_t>(s.ipVersion == 6 ? 6 : 4);
    e.localPort = static_cast<uint16_t>(s.localPort);
    e.remPort = static_cast<uint16_t>(s.remPort);
    if (e.ipVersion == 6) {
        if (e.localPort == 0 && isZero(s.localAddr, 16))
            return false;
        convertIPv6Bytes(s.localAddr, e.localIPv6, sizeof e.localIPv6);
        convertIPv6Bytes(s.remAddr, e.remIPv6, sizeof e.remIPv6);
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
    auto [it, added] = r.otherNs.try_emplace(ns);
    if (added)
        readNetFiles(pd, it->second);
    return &it->second;
}

bool fdOrder(const std::string &a, const std::string &b) {
    return a.size() != b.size() ? a.size() < b.size() : a < b;
}

// The socket inode of each descriptor of the process (0 for any other
// descriptor), in ascending descriptor order. False when the process
// cannot be inspected.
bool readDescriptors(ReloadState &r, const process_t &p, hostfs::HostDir &pd, std::vector<uint64_t> &inodes) {
    hostfs::HostDir fdDir;
    std::vector<std::string> fds;
    // On the live /proc a short listing read is its last.
    if (!pd.openSub("fd", fdDir) || !fdDir.list(fds, hostfs::hostRootIsReal())) {
        const int err = fdDir.err();
        // Another user's process, or one that has gone: not inspected.
        if (err == EACCES || err == EPERM || err == ENOENT || err == ESRCH)
            return false;
        if (r.fdFailure.empty()) {
            char line[96];
            std::snprintf(line, sizeof line, "find_process_sockets: opendir of /proc/%lu/fd failed, %d\n",
                          static_cast<unsigned long>(p.pid), err);
            r.fdFailure = line;
        }
        return false;
    }
    // /proc lists descriptors in ascending order; other trees may not.
    if (!std::is_sorted(fds.begin(), fds.end(), fdOrder))
        std::sort(fds.begin(), fds.end(), fdOrder);
    std::string link;
    for (const std::string &fd : fds) {
        if (!procparse::allDigits(fd))
            continue;
        uint64_t inode;
        inodes.push_back(fdDir.readLink("", fd, link) && procparse::socketInode(link, inode) ? inode : 0);
    }
    return true;
}

// The endpoint row of a process's socket s; false for an unbound socket.
bool endpointRow(const process_t &p, uint32_t row, const Sock &s, bool fromOther, EndptRow &out) {
    processEndpt_t e;
    e.pid = p.pid;
    if (!fillEndpoint(e, s.rec))
        return false;
    // The kernel's table tells the protocol: a connected UDP socket is not
    // taken for TCP.
    e.proto = s.proto;
    e.state = mib2State(s);
    // The TCP/UDP snapshots describe the agent's namespace only.
    if (!fromOther)
        get_socket_information(&e);
    out = EndptRow{};
    out.pid = p.pid;
    out.proc = row;
    std::memcpy(out.localAddr, s.rec.localAddr, sizeof out.localAddr);
    std::memcpy(out.remAddr, s.rec.remAddr, sizeof out.remAddr);
    out.localPort = e.localPort;
    out.remPort = e.remPort;
    out.proto = static_cast<uint8_t>(e.proto);
    out.state = e.state;
    out.ipVersion = e.ipVersion;
    return true;
}

// Counts the handles of the process (row of the reload's table) and
// appends its sockets.
void inspectProcess(ReloadState &r, process_t &p, uint32_t row, hostfs::HostDir &pd) {
    if (debugOn())
        qel::logDebug("find_process_sockets: starting for %s\n", p.name.c_str());
    std::vector<uint64_t> inodes;
    if (!readDescriptors(r, p, pd, inodes))
        return;
    const SockIndex *other = nullptr;
    bool otherLooked = false;
    for (uint64_t inode : inodes) {
        p.handleCount++;
        r.handles++;
        if (inode == 0)
            continue;
        const Sock *s = findSocket(r.agentSockets, inode);
        bool fromOther = false;
        if (!s) {
            // A Unix socket of the agent's namespace is a handle only
            // wherever it is held: the other namespace's tables, which
            // hold TCP and UDP sockets alone, need not be asked about it.
            if (std::binary_search(r.agentUnix.begin(), r.agentUnix.end(), inode))
                continue;
            if (!otherLooked) {
                other = otherNamespace(r, pd);
                otherLooked = true;
            }
            if (other && (s = findSocket(*other, inode)) != nullptr)
                fromOther = true;
        }
        EndptRow e;
        if (s && endpointRow(p, row, *s, fromOther, e)) // else Unix, netlink, raw: a handle only
            r.endpts.push_back(e);
    }
}

// The columns of /proc/PID/stat, status, cmdline and io.
void readProcessFiles(process_t &p, hostfs::HostDir &pd, const procparse::Stat &st, long long btime, long tck,
                      long pageKb, int &threads) {
    p.name.assign(st.comm, 0, kProcNameMax);
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
    threads += p.numThreads;
    std::string text;
    unsigned uid = 0, gid = 0;
    if (pd.readOnce("status", text, 16384) && procparse::parseStatus(text, uid, gid)) {
        p.uid = uid;
        p.gid = gid;
    }
    // A kernel thread has no memory to read a command line from.
    if ((st.flags & procparse::kStatFlagKernelThread) == 0 &&
        (pd.readOnce("cmdline", text, kProcCmdlineMax + 1) || !text.empty()))
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

void readProcess(ReloadState &r, hostfs::HostDir &proc, const std::string &entry, long long btime, long tck,
                 long pageKb) {
    r.procs.emplace_back();
    const auto row = static_cast<uint32_t>(r.procs.size() - 1);
    process_t &p = r.procs.back();
    p.pid = static_cast<pid_t>(std::strtol(entry.c_str(), nullptr, 10));
    // Every file below is read through this one descriptor: a process that
    // exits mid-read fails the rest (ESRCH), a later process under the same
    // pid is never mixed in. A process gone before its directory was opened
    // is listed with its pid.
    hostfs::HostDir pd;
    if (!proc.openSub(entry, pd))
        return;
    std::string text;
    procparse::Stat st;
    if (pd.readOnce("stat", text, 8192) && procparse::parseStat(text, st))
        readProcessFiles(p, pd, st, btime, tck, pageKb, r.threads);
    inspectProcess(r, p, row, pd);
}

// The pid directories of /proc in ascending pid order.
bool listPids(hostfs::HostDir &proc, std::vector<std::pair<long, std::string>> &pids) {
    std::vector<std::string> names;
    if (!proc.list(names))
        return false;
    for (std::string &n : names)
        if (!n.empty() && procparse::allDigits(n))
            pids.emplace_back(std::strtol(n.c_str(), nullptr, 10), std::move(n));
    std::sort(pids.begin(), pids.end());
    return true;
}

// The agent's own namespace and Unix sockets, which every process's
// sockets are told apart by.
void readAgentNamespace(ReloadState &r) {
    hostfs::HostDir self;
    if (!self.open("/proc/self"))
        return;
    self.readLink("", "ns/net", r.agentNs);
    std::string text;
    if (self.read("net/unix", text, 1u << 30)) {
        procparse::parseUnixInodes(text, r.agentUnix);
        std::sort(r.agentUnix.begin(), r.agentUnix.end());
    }
}

void publish(ReloadState &r) {
    auto procs = std::make_shared<const ProcTable>(std::move(r.procs));
    auto endpts = std::make_shared<const EndptTable>(EndptTable{procs, std::move(r.endpts)});
    std::unique_lock a(processTableLock);
    std::unique_lock b(processEndptLock);
    // The old tables are freed when the last reader lets go of them, never
    // under the guards by a reader's hand.
    processTable.swap(procs);
    numProcs = static_cast<int>(processTable->size());
    totalThreads = r.threads;
    totalHandles = r.handles;
    endptTable.swap(endpts);
    b.unlock();
    a.unlock();
}

} // namespace

extern "C" int reload_process_table(void) {
    try {
        hostfs::HostDir proc;
        std::vector<std::pair<long, std::string>> pids;
        if (!proc.open("/proc") || !listPids(proc, pids)) {
            qel::logError("opendir of /proc failed: %s\n", std::strerror(proc.err()));
            return -1;
        }
        ReloadState r;
        readAgentNamespace(r);
        readAgentSockets(r.agentSockets);
        std::string text;
        const long long btime = proc.read("stat", text, 1u << 20) ? procparse::parseBootTime(text) : -1;
        const long tck = sysconf(_SC_CLK_TCK);
        const long page = sysconf(_SC_PAGESIZE);
        const long pageKb = page > 0 ? page / 1024 : 4;
        for (const auto &pe : pids)
            readProcess(r, proc, pe.second, btime, tck, pageKb);
        if (!r.fdFailure.empty())
            qel::logWarning("%s", r.fdFailure.c_str());
        publish(r);
        return 1;
    } catch (const std::bad_alloc &) {
        // The last complete tables stay published.
        qel::logError("enlarge_process_table: realloc failed: %s\n", std::strerror(ENOMEM));
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

extern "C" int findProcessExecutable(const char *, char *, int) {
    return 0;
}

std::string processRowKey(const process_t &p) {
    std::string k = std::to_string(static_cast<unsigned>(p.pid));
    k += ':';
    k += p.cmdline;
    return cut(std::move(k), kProcKeyMax);
}

namespace {

// An endpoint row's key, "pid:proto:state:local:port:+:remote:port", with
// its two address texts inside it. A reply carries the key with every column
// and the addresses as two of them, so each row's texts are made once, by
// hand rather than through a format string: they are most of a row's work.
class EndptText {
public:
    explicit EndptText(const EndptRow &e) {
        char *d = head(e.pid, e.proto, e.state);
        d = address(d, e, e.localAddr, localAt_, localLen_);
        d = port(d, e.localPort);
        d = put(d, "+:");
        d = address(d, e, e.remAddr, remAt_, remLen_);
        finish(d, e.remPort);
    }
    // A full record keeps its IPv6 texts already made.
    explicit EndptText(const processEndpt_t &e) {
        char *d = head(e.pid, e.proto, e.state);
        d = address(d, e.ipVersion, e.localIp, e.localIPv6, localAt_, localLen_);
        d = port(d, e.localPort);
        d = put(d, "+:");
        d = address(d, e.ipVersion, e.remIp, e.remIPv6, remAt_, remLen_);
        finish(d, e.remPort);
    }

    std::string_view key() const { return {buf_, len_}; }
    const char *c_str() const { return buf_; }
    std::string_view local() const { return {buf_ + localAt_, localLen_}; }
    std::string_view remote() const { return {buf_ + remAt_, remLen_}; }

private:
    // pid (10 digits), proto and state (3 each), two addresses of at most
    // 47 characters, two ports, separators: under 160, far below the 2,047
    // a key may hold, so a key is never cut.
    static constexpr size_t kRoom = 160;

    char *head(pid_t pid, unsigned proto, unsigned state) {
        char *d = number(buf_, static_cast<unsigned>(pid));
        d = number(d, proto);
        return number(d, state);
    }
    // Writes value and a ':'.
    static char *number(char *d, unsigned value) {
        d = std::to_chars(d, d + 10, value).ptr;
        *d++ = ':';
        return d;
    }
    static char *port(char *d, uint16_t value) { return number(d, value); }
    static char *put(char *d, std::string_view text) {
        std::memcpy(d, text.data(), text.size());
        return d + text.size();
    }
    char *mark(char *from, char *to, uint16_t &at, uint16_t &len) const {
        at = static_cast<uint16_t>(from - buf_);
        len = static_cast<uint16_t>(to - from);
        *to++ = ':';
        return to;
    }
    // Dotted decimal, as the agent's converter writes it.
    static char *ipv4(char *d, const unsigned char *b) {
        for (int i = 0; i < 4; i++) {
            const unsigned v = b[i];
            if (v >= 100)
                *d++ = static_cast<char>('0' + v / 100);
            if (v >= 10)
                *d++ = static_cast<char>('0' + v / 10 % 10);
            *d++ = static_cast<char>('0' + v % 10);
            if (i < 3)
                *d++ = '.';
        }
        return d;
    }
    char *address(char *d, const EndptRow &e, const unsigned char *a, uint16_t &at, uint16_t &len) const {
        return mark(d, e.ipVersion == 4 ? ipv4(d, a) : mib2::writeIPv6Text(d, a), at, len);
    }
    char *address(char *d, uint8_t ipVersion, uint32_t ip, const char *ipv6Text, uint16_t &at, uint16_t &len) const {
        if (ipVersion == 4)
            return mark(d, ipv4(d, reinterpret_cast<const unsigned char *>(&ip)), at, len);
        return mark(d, d + qelCopyStr(d, 48, ipv6Text), at, len);
    }
    void finish(char *d, uint16_t remPort) {
        d = std::to_chars(d, d + 5, remPort).ptr;
        *d = '\0';
        len_ = static_cast<uint16_t>(d - buf_);
    }

    char buf_[kRoom];
    uint16_t len_ = 0, localAt_ = 0, localLen_ = 0, remAt_ = 0, remLen_ = 0;
};

} // namespace

std::string endptRowKey(const processEndpt_t &e) {
    return std::string(EndptText(e).key());
}

std::string endptRowKey(pid_t pid, unsigned proto, unsigned state, unsigned ipVersion, const unsigned char *localAddr,
                        uint16_t localPort, const unsigned char *remAddr, uint16_t remPort) {
    EndptRow row{};
    row.pid = pid;
    row.proto = static_cast<uint8_t>(proto);
    row.state = static_cast<uint8_t>(state);
    row.ipVersion = static_cast<uint8_t>(ipVersion == 6 ? 6 : 4);
    std::memcpy(row.localAddr, localAddr, sizeof row.localAddr);
    std::memcpy(row.remAddr, remAddr, sizeof row.remAddr);
    row.localPort = localPort;
    row.remPort = remPort;
    return std::string(EndptText(row).key());
}

namespace {

bool fillProcessColumn(const process_t &p, unsigned column, qelVariable_t *v) {
    using C = kestrova::ProcessColumn;
    switch (static_cast<C>(column)) {
    case C::processPID: qelSetValueInt(v, integer, p.pid); return true;
    case C::processName:
        qelSetValue(v, displayString, p.cmdline.empty() ? p.name.c_str() : p.cmdline.c_str());
        return true;
    case C::processGID: qelSetValueInt(v, integer, p.gid); return true;
    case C::processState: qelSetValue(v, displayString, p.state); return true;
    case C::processRSS: qelSetValueInt(v, gauge, static_cast<long long>(p.rss)); return true;
    case C::processSize: qelSetValueInt(v, gauge, static_cast<long long>(p.size)); return true;
    case C::processHandleCount: qelSetValueInt(v, integer, p.handleCount); return true;
    case C::processThreadCount: qelSetValueInt(v, integer, p.numThreads); return true;
    case C::processCPUTime: qelSetValueInt(v, integer, static_cast<long long>(p.cputime)); return true;
    case C::processStartTime: qelSetValue(v, displayString, p.startTimeStr); return true;
    case C::processReads: qelSetValueInt(v, counter, static_cast<long long>(p.readOps)); return true;
    case C::processWrites: qelSetValueInt(v, counter, static_cast<long long>(p.writeOps)); return true;
    case C::processReadBytes: qelSetValueInt(v, counter, static_cast<long long>(p.readBytes)); return true;
    case C::processWriteBytes: qelSetValueInt(v, counter, static_cast<long long>(p.writeBytes)); return true;
    default: return false;
    }
}

bool fillEndptColumn(const EndptTable &t, const EndptRow &e, const EndptText &text, unsigned column, qelVariable_t *v) {
    qelSyntax_t addrSyntax = e.ipVersion == 6 ? ipV6Address : ipV4Address;
    using C = kestrova::EndptColumn;
    switch (static_cast<C>(column)) {
    case C::processEndptPID: qelSetValueInt(v, integer, e.pid); return true;
    case C::processEndptName: qelSetValue(v, displayString, (*t.procs)[e.proc].name.c_str()); return true;
    case C::processEndptProto: qelSetValueInt(v, integer, e.proto); return true;
    case C::processEndptState: qelSetValueInt(v, integer, e.state); return true;
    case C::processEndptLocalAddress: qelSetValue(v, addrSyntax, text.local()); return true;
    case C::processEndptLocalPort: qelSetValueInt(v, integer, e.localPort); return true;
    case C::processEndptRemAddress: qelSetValue(v, addrSyntax, text.remote()); return true;
    case C::processEndptRemPort: qelSetValueInt(v, integer, e.remPort); return true;
    default: return false;
    }
}

const ProcTable &rowsOf(const ProcTable &t) {
    return t;
}
const std::vector<EndptRow> &rowsOf(const EndptTable &t) {
    return t.rows;
}

std::string_view keyOf(const std::string &text) {
    return text;
}
std::string_view keyOf(const EndptText &text) {
    return text.key();
}

// textOf(row) makes a row's key (and whatever else its columns share) once;
// fill(table, row, text, column, variable) sets one column.
template <typename Table, typename TextFn, typename FillFn>
qelErrorStatus_t selectRows(const char *who, const char *columnWho, const char *summary, std::mutex &guard,
                            const std::shared_ptr<const Table> &published, char *key, qelVariable_t *columns,
                            qelPdu_t *out, TextFn textOf, FillFn fill) {
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
        for (const auto &row : rowsOf(*rows)) {
            const auto text = textOf(row);
            if (!sel.selects(text.c_str()))
                continue;
            if (!sel.addRow(keyOf(text),
                            [&](unsigned column, qelVariable_t *v) { return fill(*rows, row, text, column, v); }))
                return sel.status();
        }
    } catch (const std::bad_alloc &) {
        qel::logError("%s: malloc failed\n", who);
        out->errorStatus = genError;
        return genError;
    }
    return sel.finish(summary, debugOn());
}

} // namespace

extern "C" qelErrorStatus_t var_procTable(char *key, qelVariable_t *columns, qelPdu_t *out) {
    return selectRows("var_processTable", "var_processTable", "var_procTable", processTableLock, processTable, key,
                      columns, out, processRowKey,
                      [](const ProcTable &, const process_t &p, const std::string &, unsigned column,
                         qelVariable_t *v) { return fillProcessColumn(p, column, v); });
}

extern "C" qelErrorStatus_t var_endptTable(char *key, qelVariable_t *columns, qelPdu_t *out) {
    return selectRows(
        "var_processEndpt", "var_endptTable", "var_endptTable", processEndptLock, endptTable, key, columns, out,
        [](const EndptRow &e) { return EndptText(e); }, fillEndptColumn);
}
