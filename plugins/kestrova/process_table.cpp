#include "process_table.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
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
#include "flat_index.h"
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

// One socket of a process as the endpoint table keeps it: addresses in
// binary (texts are made when a row is answered), the owner's name by its
// row in the process table of the same reload. 48 bytes where a full
// processEndpt_t with its texts and its own copy of the name is 160.
struct EndptRow {
    pid_t pid;
    uint32_t proc;              // the owner's row in EndptTable::procs
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
int numEndpts = 0;
// Sizes of the last tables built: the next reload starts with room for them.
size_t maxProcs = 0, maxEndpts = 0, lastTcpSockets = 0, lastUdpSockets = 0;

// The descriptor numbers each process held at the last reload on the live
// /proc, as runs of consecutive numbers. Most processes keep theirs from one
// reload to the next, and the kernel gives a descriptor directory's count as
// its size: when the count is the same and every remembered number is still
// open, those numbers are the whole set, and the links are read without
// listing the directory (a listing looks up every entry in the kernel's
// cache again, about a twentieth of a process's cost; the count is one
// look-up).
// Whatever fails the check is listed as before.
struct FdRun {
    uint32_t first, last;
};
struct FdSeen {
    pid_t pid;
    unsigned long long start; // the process's start time in clock ticks
    uint32_t run, runs;       // its runs in FdHistory::runs
    uint32_t count;           // descriptors in them
};
struct FdHistory {
    std::vector<FdSeen> procs; // in ascending pid order
    std::vector<FdRun> runs;
};
std::shared_ptr<const FdHistory> fdHistory = std::make_shared<FdHistory>(); // processEndptLock

struct Sock {
    mib2::SockRecord rec;
    unsigned proto; // IPPROTO_TCP or IPPROTO_UDP
};

// A namespace's TCP and UDP sockets by inode: the records in one vector and
// a flat table of their indices beside it, so a look-up costs one cache line
// where a node-based map chased two or three pointers; a reload looks up
// every descriptor of every process. The first record of an inode counts.
class SockIndex {
public:
    void add(const std::vector<mib2::SockRecord> &recs, unsigned proto) {
        socks_.reserve(socks_.size() + recs.size());
        for (const mib2::SockRecord &s : recs)
            if (s.inode != 0)
                socks_.push_back(Sock{s, proto});
    }
    // Builds the table; call after the last add.
    void finish() {
        table_ = kestrova::FlatIndexTable();
        table_.reserve(socks_.size());
        for (size_t i = 0; i < socks_.size(); i++) {
            uint64_t inode = socks_[i].rec.inode;
            table_.findOrInsert(hash(inode), static_cast<uint32_t>(i),
                                [&](uint32_t k) { return socks_[k].rec.inode == inode; });
        }
    }
    const Sock *find(uint64_t inode) const {
        uint32_t k;
        if (inode == 0 || !table_.find(hash(inode), [&](uint32_t j) { return socks_[j].rec.inode == inode; }, k))
            return nullptr;
        return &socks_[k];
    }
    size_t size() const { return socks_.size(); }

private:
    static size_t hash(uint64_t inode) { return static_cast<size_t>(inode); }
    std::vector<Sock> socks_;
    kestrova::FlatIndexTable table_;
};

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
        idx.add(recs, f.proto);
    }
    idx.finish();
}

// The agent namespace's sockets; hint holds the TCP and UDP counts of the
// last reload (to size the records once) and takes this one's.
void readAgentSockets(SockIndex &idx, size_t hint[2]) {
    if (hostfs::hostRootIsReal()) {
        std::vector<mib2::SockRecord> tcp, udp;
        tcp.reserve(hint[0] + hint[0] / 8);
        udp.reserve(hint[1] + hint[1] / 8);
        if (mib2::netlinkSockets(AF_INET, IPPROTO_TCP, tcp) && mib2::netlinkSockets(AF_INET6, IPPROTO_TCP, tcp) &&
            mib2::netlinkSockets(AF_INET, IPPROTO_UDP, udp) && mib2::netlinkSockets(AF_INET6, IPPROTO_UDP, udp)) {
            hint[0] = tcp.size();
            hint[1] = udp.size();
            idx.add(tcp, IPPROTO_TCP);
            idx.add(udp, IPPROTO_UDP);
            idx.finish();
            return;
        }
    }
    hostfs::HostDir self;
    if (self.open("/proc/self"))
        readNetFiles(self, idx);
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

// A published table keeps no more than an eighth of spare room: growth by
// half would otherwise hold up to a third of it empty until the next reload.
template <typename T> void trim(std::vector<T> &t) {
    if (t.capacity() - t.size() > t.size() / 8 + 16)
        t.shrink_to_fit();
}

int debugOn() { return debugLevel.load(std::memory_order_relaxed); }

} // namespace

struct ReloadState {
    ProcTable procs;
    std::vector<EndptRow> endpts;
    int threads = 0, handles = 0;
    SockIndex agentSockets;
    size_t sockHint[2] = {0, 0};
    std::string agentNs; // the agent's network namespace link text
    std::vector<uint64_t> agentUnix; // its Unix sockets' inodes, sorted
    std::unordered_map<std::string, std::unique_ptr<SockIndex>> otherNs;
    bool tableFailed = false;
    // Descriptor numbers: the last reload's, a cursor in them (processes
    // come in ascending pid order), and this reload's. fdCounts: the live
    // kernel gives /proc/PID/fd's count as its size.
    std::shared_ptr<const FdHistory> lastFds;
    size_t lastFdPos = 0;
    FdHistory fdsNow;
    bool fdCounts = false;
    std::vector<uint32_t> fdNums;
    // Scratch kept across processes, so a process costs no allocation
    // beyond its own row.
    std::string text, link;
    std::vector<std::string> fds;
    std::vector<uint64_t> inodes;
    procparse::Stat st;
};

namespace {

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
    auto it = r.otherNs.find(ns);
    if (it == r.otherNs.end()) {
        auto idx = std::make_unique<SockIndex>();
        readNetFiles(pd, *idx);
        it = r.otherNs.emplace(ns, std::move(idx)).first;
    }
    return it->second.get();
}

bool fdOrder(const std::string &a, const std::string &b) { return a.size() != b.size() ? a.size() < b.size() : a < b; }

// What the last reload saw of the process pid started at start, or null.
const FdSeen *previousFds(ReloadState &r, pid_t pid, unsigned long long start) {
    if (!r.lastFds)
        return nullptr;
    const std::vector<FdSeen> &v = r.lastFds->procs;
    while (r.lastFdPos < v.size() && v[r.lastFdPos].pid < pid)
        r.lastFdPos++;
    if (r.lastFdPos < v.size() && v[r.lastFdPos].pid == pid && v[r.lastFdPos].start == start)
        return &v[r.lastFdPos];
    return nullptr;
}

// Reads the links of the remembered descriptors, relative to the open
// descriptor directory fdDir, when its count says they can be all of them:
// true with r.inodes and r.fdNums filled when the count matched and every
// one was there, else false with both empty.
bool readRememberedFds(ReloadState &r, hostfs::HostDir &fdDir, const FdSeen &seen) {
    struct stat st;
    if (!fdDir.stat("", st) || st.st_size != static_cast<off_t>(seen.count))
        return false;
    const FdRun *runs = r.lastFds->runs.data() + seen.run;
    for (uint32_t i = 0; i < seen.runs; i++) {
        for (uint64_t n = runs[i].first; n <= runs[i].last; n++) {
            char name[16];
            auto [end, ec] = std::to_chars(name, name + sizeof name, n);
            uint64_t inode;
            if (ec != std::errc() ||
                !fdDir.readLink("", std::string_view(name, static_cast<size_t>(end - name)), r.link)) {
                // Closed since the count, or not ours to read: the listing
                // decides, as for a process seen for the first time.
                r.inodes.clear();
                r.fdNums.clear();
                return false;
            }
            r.inodes.push_back(procparse::socketInode(r.link, inode) ? inode : 0);
            r.fdNums.push_back(static_cast<uint32_t>(n));
        }
    }
    return true;
}

// Reads every link of the descriptor directory into r.inodes (and, on the
// live /proc, the numbers into r.fdNums): the remembered numbers when they
// are still the whole set, else from a listing. False when the process
// cannot be inspected.
bool readDescriptors(ReloadState &r, process_t &p, hostfs::HostDir &pd, const FdSeen *seen,
                     hostfs::DescriptorBatch *held) {
    struct stat st;
    // A process that held none (kernel threads, zombies) is asked for its
    // count alone.
    if (seen && seen->count == 0 && pd.stat("fd", st) && st.st_size == 0)
        return true;
    // The descriptor directory stays open: each link is then read relative
    // to it, one path step instead of two. With held, it is closed with the
    // process's other descriptors.
    hostfs::HostDir fdDir;
    struct Release {
        hostfs::HostDir &dir;
        hostfs::DescriptorBatch *held;
        ~Release() {
            if (held)
                dir.closeInto(*held);
        }
    } release{fdDir, held};
    std::string &link = r.link;
    std::vector<uint64_t> &inodes = r.inodes;
    std::vector<std::string> &fds = r.fds;
    if (pd.openSub("fd", fdDir) && seen && seen->count > 0 && readRememberedFds(r, fdDir, *seen))
        return true;
    // On the live /proc a short listing read is its last.
    if (!fdDir.isOpen() || !fdDir.list(fds, hostfs::hostRootIsReal())) {
        int err = fdDir.err();
        // Another user's process, or one that has gone: not inspected.
        if (err == EACCES || err == EPERM || err == ENOENT || err == ESRCH)
            return false;
        char path[64];
        std::snprintf(path, sizeof path, "/proc/%lu/fd", static_cast<unsigned long>(p.pid));
        std::printf("find_process_sockets: opendir of %s failed, %d\n", path, err);
        return false;
    }
    // /proc lists descriptors in ascending order; other trees may not.
    if (!std::is_sorted(fds.begin(), fds.end(), fdOrder))
        std::sort(fds.begin(), fds.end(), fdOrder);
    for (const std::string &fd : fds) {
        if (fd.empty() || fd[0] < '0' || fd[0] > '9')
            continue;
        uint64_t inode;
        inodes.push_back(fdDir.readLink("", fd, link) && procparse::socketInode(link, inode) ? inode : 0);
        if (r.fdCounts) {
            uint32_t n;
            auto [end, ec] = std::from_chars(fd.data(), fd.data() + fd.size(), n);
            if (ec == std::errc() && end == fd.data() + fd.size())
                r.fdNums.push_back(n);
        }
    }
    return true;
}

// Keeps this reload's descriptor numbers of a process for the next one.
void rememberFds(ReloadState &r, pid_t pid, unsigned long long start) {
    FdHistory &h = r.fdsNow;
    FdSeen s{pid, start, static_cast<uint32_t>(h.runs.size()), 0, static_cast<uint32_t>(r.fdNums.size())};
    for (uint32_t n : r.fdNums) {
        if (s.runs > 0 && h.runs.back().last + 1 == n) {
            h.runs.back().last = n;
        } else {
            h.runs.push_back(FdRun{n, n});
            s.runs++;
        }
    }
    h.procs.push_back(s);
}


// Counts the handles of r.inodes and appends the process's sockets.
int collectSockets(ReloadState &r, process_t &p, uint32_t row, hostfs::HostDir &pd) {
    std::vector<uint64_t> &inodes = r.inodes;
    const SockIndex *other = nullptr;
    bool otherLooked = false;
    for (uint64_t inode : inodes) {
        p.handleCount++;
        r.handles++;
        if (inode == 0)
            continue;
        const Sock *s = r.agentSockets.find(inode);
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
            if (other && (s = other->find(inode)) != nullptr)
                fromOther = true;
        }
        if (!s)
            continue; // Unix, netlink, raw: a handle only
        if (enlarge(r.endpts, "enlarge_endpt_table") < 0) {
            r.tableFailed = true;
            return -1;
        }
        processEndpt_t e;
        e.pid = p.pid;
        if (!fillEndpoint(e, s->rec))
            continue;
        // The kernel's table tells the protocol: a connected UDP socket is
        // not taken for TCP.
        e.proto = s->proto;
        e.state = mib2State(*s);
        // The TCP/UDP snapshots describe the agent's namespace only.
        if (!fromOther)
            get_socket_information(&e);
        EndptRow row_{};
        row_.pid = p.pid;
        row_.proc = row;
        std::memcpy(row_.localAddr, s->rec.localAddr, sizeof row_.localAddr);
        std::memcpy(row_.remAddr, s->rec.remAddr, sizeof row_.remAddr);
        row_.localPort = e.localPort;
        row_.remPort = e.remPort;
        row_.proto = static_cast<uint8_t>(e.proto);
        row_.state = e.state;
        row_.ipVersion = e.ipVersion;
        r.endpts.push_back(row_);
    }
    return 1;
}

// start: the process's start time when its stat was read (the identity its
// descriptor numbers are remembered by), else null.
int inspectProcess(ReloadState &r, process_t &p, uint32_t row, hostfs::HostDir &pd, pid_t me,
                   const unsigned long long *start, hostfs::DescriptorBatch *held) {
    if (debugOn())
        std::printf("find_process_sockets: starting for %s\n", p.name.c_str());
    (void)me; // every process is read through /proc, our own included
    std::vector<uint64_t> &inodes = r.inodes; // a descriptor each, 0 if no socket
    inodes.clear();
    r.fdNums.clear();
    const FdSeen *seen = r.fdCounts && start ? previousFds(r, p.pid, *start) : nullptr;
    if (!readDescriptors(r, p, pd, seen, held))
        return -1;
    if (r.fdCounts && start && r.fdNums.size() == inodes.size())
        rememberFds(r, p.pid, *start);
    return collectSockets(r, p, row, pd);
}

void readProcess(ReloadState &r, hostfs::HostDir &proc, const std::string &entry, long long btime, long tck,
                 long pageKb, pid_t me) {
    r.procs.emplace_back();
    uint32_t row = static_cast<uint32_t>(r.procs.size() - 1);
    process_t &p = r.procs.back();
    p.pid = static_cast<pid_t>(std::strtol(entry.c_str(), nullptr, 10));
    // The process's descriptors are closed together when it is done: its
    // directory, its files and its descriptor directory usually hold
    // consecutive numbers, closed with one call instead of six.
    hostfs::DescriptorBatch held;
    hostfs::HostDir pd;
    // Every file below is read through this one descriptor: a process that
    // exits mid-read fails the rest (ESRCH), a later process under the same
    // pid is never mixed in. A process gone before its directory was opened
    // is listed with its pid.
    if (!proc.openSub(entry, pd))
        return;
    std::string &text = r.text;
    procparse::Stat &st = r.st;
    if (pd.readOnce("stat", text, 8192, &held) && procparse::parseStat(text, st)) {
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
        r.threads += p.numThreads;
        unsigned uid = 0, gid = 0;
        if (pd.readOnce("status", text, 16384, &held) && procparse::parseStatus(text, uid, gid)) {
            p.uid = uid;
            p.gid = gid;
        }
        // A kernel thread has no memory to read a command line from.
        if ((st.flags & procparse::kStatFlagKernelThread) == 0 &&
            (pd.readOnce("cmdline", text, kProcCmdlineMax + 1, &held) || !text.empty()))
            p.cmdline = procparse::parseCmdline(text, kProcCmdlineMax);
        if (p.cmdline.empty())
            p.cmdline = p.name;
        procparse::Io io;
        if (pd.readOnce("io", text, 4096, &held) && procparse::parseIo(text, io)) {
            p.readOps = io.syscr;
            p.writeOps = io.syscw;
            p.readBytes = io.rchar;
            p.writeBytes = io.wchar;
        }
        inspectProcess(r, p, row, pd, me, &st.starttime, &held);
    } else {
        inspectProcess(r, p, row, pd, me, nullptr, &held);
    }
    pd.closeInto(held);
}

} // namespace

int find_process_sockets(ReloadState &r, process_t &p, pid_t me) {
    hostfs::HostDir pd;
    hostfs::HostDir proc;
    char name[24];
    std::snprintf(name, sizeof name, "%ld", static_cast<long>(p.pid));
    if (&p < r.procs.data() || &p >= r.procs.data() + r.procs.size())
        return -1; // not a row of this reload
    if (!proc.open("/proc") || !proc.openSub(name, pd))
        return -1;
    return inspectProcess(r, p, static_cast<uint32_t>(&p - r.procs.data()), pd, me, nullptr, nullptr);
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
            r.procs.reserve(std::max<size_t>(maxProcs + maxProcs / 16, 50));
        }
        {
            std::lock_guard g(processEndptLock);
            r.endpts.reserve(std::max<size_t>(maxEndpts + maxEndpts / 16, 50));
            r.sockHint[0] = lastTcpSockets;
            r.sockHint[1] = lastUdpSockets;
            r.lastFds = fdHistory;
        }
        hostfs::HostDir self;
        if (self.open("/proc/self")) {
            // Our own descriptors are open: a size of 0 means a kernel that
            // does not count them (before Linux 6.2).
            struct stat fdst;
            r.fdCounts = hostfs::hostRootIsReal() && self.stat("fd", fdst) && fdst.st_size > 0;
            self.readLink("", "ns/net", r.agentNs);
            if (self.read("net/unix", r.text, 1u << 30)) {
                procparse::parseUnixInodes(r.text, r.agentUnix);
                std::sort(r.agentUnix.begin(), r.agentUnix.end());
            }
        }
        readAgentSockets(r.agentSockets, r.sockHint);
        long long btime = proc.read("stat", r.text, 1u << 20) ? procparse::parseBootTime(r.text) : -1;
        long tck = sysconf(_SC_CLK_TCK);
        long page = sysconf(_SC_PAGESIZE);
        long pageKb = page > 0 ? page / 1024 : 4;

        if (r.fdCounts) {
            r.fdsNow.procs.reserve(pids.size());
            size_t runs = r.lastFds ? r.lastFds->runs.size() : 0;
            r.fdsNow.runs.reserve(runs + runs / 16);
        }
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
        trim(r.procs);
        trim(r.endpts);
        auto fds = std::make_shared<const FdHistory>(std::move(r.fdsNow));
        r.lastFds.reset();
        auto procs = std::make_shared<const ProcTable>(std::move(r.procs));
        auto endpts = std::make_shared<const EndptTable>(EndptTable{procs, std::move(r.endpts)});
        std::shared_ptr<const ProcTable> oldProcs;
        std::shared_ptr<const EndptTable> oldEndpts;
        std::shared_ptr<const FdHistory> oldFds;
        {
            std::unique_lock a(processTableLock);
            std::unique_lock b(processEndptLock);
            oldProcs.swap(processTable);
            processTable = procs;
            numProcs = static_cast<int>(procs->size());
            totalThreads = r.threads;
            totalHandles = r.handles;
            maxProcs = procs->size();
            oldEndpts.swap(endptTable);
            endptTable = endpts;
            numEndpts = static_cast<int>(endpts->rows.size());
            maxEndpts = endpts->rows.size();
            lastTcpSockets = r.sockHint[0];
            lastUdpSockets = r.sockHint[1];
            oldFds.swap(fdHistory);
            fdHistory = fds;
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

void process_table_forget_descriptors() {
    std::shared_ptr<const FdHistory> old = std::make_shared<FdHistory>();
    std::lock_guard g(processEndptLock);
    old.swap(fdHistory);
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

// An endpoint row's key, "pid:proto:state:local:port:+:remote:port", with
// its two address texts inside it. A reply carries the key with every column
// and the addresses as two of them, so each row's texts are made once, by
// hand: a format string per row cost more than the rest of its columns.
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

std::string endptRowKey(const processEndpt_t &e) { return std::string(EndptText(e).key()); }

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

bool fillEndptColumn(const EndptTable &t, const EndptRow &e, const EndptText &text, unsigned column,
                     qelVariable_t *v) {
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

const ProcTable &rowsOf(const ProcTable &t) { return t; }
const std::vector<EndptRow> &rowsOf(const EndptTable &t) { return t.rows; }

std::string_view keyOf(const std::string &text) { return text; }
std::string_view keyOf(const EndptText &text) { return text.key(); }

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
        std::fprintf(stderr, "%s: malloc failed\n", who);
        out->errorStatus = genError;
        return genError;
    }
    return sel.finish(summary, debugOn());
}

} // namespace

extern "C" qelErrorStatus_t var_procTable(char *key, qelVariable_t *columns, qelPdu_t *out) {
    return selectRows("var_processTable", "var_processTable", "var_procTable", processTableLock, processTable, key,
                      columns, out, processRowKey,
                      [](const ProcTable &, const process_t &p, const std::string &, unsigned column, qelVariable_t *v) {
                          return fillProcessColumn(p, column, v);
                      });
}

extern "C" qelErrorStatus_t var_endptTable(char *key, qelVariable_t *columns, qelPdu_t *out) {
    return selectRows("var_processEndpt", "var_endptTable", "var_endptTable", processEndptLock, endptTable, key,
                      columns, out, [](const EndptRow &e) { return EndptText(e); }, fillEndptColumn);
}
