#include "solarisMib2.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netpacket/packet.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "hostfs.h"
#include "mib2collect.h"
#include "mib2netlink.h"
#include "qel/entry_guard.h"
#include "qel/log.h"
#include "qel/strutil.h"
#include "qelplugin.h"
#include "solaris_kstat.h"

extern "C" {
ipStats_t ipstats;
icmpStats_t icmpstats;
tcpStats_t tcpstats;
udpStats_t udpstats;

pthread_mutex_t mib2_lock = PTHREAD_MUTEX_INITIALIZER;

mib2UdpEndpt_t *udpTable = nullptr;
int numUdps = 0, maxUdps = 0;
mib2TcpConn_t *tcpTable = nullptr;
int numTcpConnections = 0, maxTcpConnections = 0;
ipRoute_t *routeTable = nullptr;
int numRoutes = 0, maxRoutes = 0;
ipAddrEntry_t *addrTable = nullptr;
int numAddrs = 0, maxAddrs = 0;
arpEntry_t *arpTable = nullptr;
int numArps = 0, maxArps = 0;
mib2IfEntry_t *ifTable = nullptr;
int numIfs = 0, maxIfs = 0;

time_t statsTime = 0, udpTableTime = 0, tcpTableTime = 0, ipAddrTableTime = 0, arpTableTime = 0, ifTableTime = 0;
int firstTime = 1;
volatile int mib2ThreadKill = 0;
}

namespace {

struct Mib2Lock {
    Mib2Lock() { pthread_mutex_lock(&mib2_lock); }
    ~Mib2Lock() { pthread_mutex_unlock(&mib2_lock); }
    Mib2Lock(const Mib2Lock &) = delete;
    Mib2Lock &operator=(const Mib2Lock &) = delete;
};

// Grows a table by its step once the count has reached the capacity. New
// slots are zeroed: the interface reload compares against the status a slot
// held before.
template <typename T>
int enlarge(const char *who, T *&table, int &count, int &capacity, int first, int step) {
    if (!table) {
        table = static_cast<T *>(std::calloc(static_cast<size_t>(first), sizeof(T)));
        if (!table) {
            qel::logError("%s: initial malloc failed: %s\n", who, std::strerror(errno));
            count = capacity = 0;
            return -1;
        }
        capacity = first;
        return 1;
    }
    if (count < capacity)
        return 1;
    size_t newCap = static_cast<size_t>(capacity) + static_cast<size_t>(step);
    T *grown = static_cast<T *>(std::realloc(table, newCap * sizeof(T)));
    if (!grown) {
        qel::logError("%s: realloc failed: %s\n", who, std::strerror(errno));
        // The old block stays valid; keep it so the pointer is never lost.
        count = capacity = 0;
        return -1;
    }
    std::memset(grown + capacity, 0, static_cast<size_t>(step) * sizeof(T));
    table = grown;
    capacity = static_cast<int>(newCap);
    return 1;
}

std::mutex sourceMutex;
mib2::Source currentSource = mib2::Source::Auto;

mib2::Source effective(mib2::Source s) {
    if (s != mib2::Source::Auto)
        return s;
    return hostfs::hostRootIsReal() ? mib2::Source::Netlink : mib2::Source::Proc;
}

unsigned ifIndexFromSys(const std::string &ifname) {
    std::string text;
    uint64_t v = 0;
    if (!hostfs::isSafeComponent(ifname) || !hostfs::readHostLine("/sys/class/net/" + ifname + "/ifindex", text) ||
        !kstatparse::parseSysfsUnsigned(text, v))
        return 0;
    return static_cast<unsigned>(v);
}

uint32_t maskOf(const unsigned char *m) {
    uint32_t v;
    std::memcpy(&v, m, 4);
    return v;
}

int prefixLenOf(const unsigned char *mask, int bytes) {
    int n = 0;
    for (int i = 0; i < bytes; ++i)
        n += __builtin_popcount(mask[i]);
    return n;
}

std::string baseName(const std::string &label) {
    return label.substr(0, label.find(':'));
}

bool allZero(const unsigned char *p, int n) {
    for (int i = 0; i < n; ++i)
        if (p[i])
            return false;
    return true;
}

} // namespace

extern "C" int enlarge_udp_table(void) {
    return enlarge("enlarge_udp_table", udpTable, numUdps, maxUdps, 50, 25);
}
extern "C" int enlarge_tcp_table(void) {
    return enlarge("enlarge_tcp_table", tcpTable, numTcpConnections, maxTcpConnections, 50, 25);
}
extern "C" int enlarge_route_table(void) {
    return enlarge("enlarge_route_table", routeTable, numRoutes, maxRoutes, 5, 5);
}
extern "C" int enlarge_addr_table(void) {
    return enlarge("enlarge_addr_table", addrTable, numAddrs, maxAddrs, 5, 5);
}
extern "C" int enlarge_arp_table(void) {
    return enlarge("enlarge_arp_table", arpTable, numArps, maxArps, 5, 5);
}
extern "C" int enlarge_if_table(void) {
    return enlarge("enlarge_if_table", ifTable, numIfs, maxIfs, 10, 5);
}

namespace mib2 {

void setSource(Source s) {
    std::lock_guard lock(sourceMutex);
    currentSource = s;
}

static Source configuredSource() {
    std::lock_guard lock(sourceMutex);
    return currentSource;
}

bool readSockets(Source s, int protocol, std::vector<SockRecord> &out) {
    s = effective(s);
    if (s == Source::Netlink) {
        std::vector<SockRecord> got;
        if (netlinkSockets(AF_INET, protocol, got) && netlinkSockets(AF_INET6, protocol, got)) {
            out.insert(out.end(), got.begin(), got.end());
            return true;
        }
        return false;
    }
    const char *v4 = protocol == IPPROTO_TCP ? "/proc/net/tcp" : "/proc/net/udp";
    const char *v6 = protocol == IPPROTO_TCP ? "/proc/net/tcp6" : "/proc/net/udp6";
    std::string text;
    if (!hostfs::readHostFile(v4, text, 1u << 30))
        return false;
    parseProcSockets(text, 4, out);
    // A host without IPv6 has no tcp6/udp6 file.
    if (hostfs::readHostFile(v6, text, 1u << 30))
        parseProcSockets(text, 6, out);
    return true;
}

bool readRoutes(Source s, std::vector<RouteRecord> &out, std::vector<unsigned> &ifIndexes) {
    if (effective(s) == Source::Netlink)
        return netlinkRoutes(out, ifIndexes);
    std::string text;
    if (!hostfs::readHostFile("/proc/net/route", text))
        return false;
    size_t before = out.size();
    parseProcRoute(text, out);
    // A host without IPv6 has no ipv6_route file.
    if (hostfs::readHostFile("/proc/net/ipv6_route", text))
        parseProcIpv6Route(text, out);
    for (size_t i = before; i < out.size(); ++i)
        ifIndexes.push_back(ifIndexFromSys(out[i].ifname));
    return true;
}

bool readNeighbours(Source s, std::vector<NeighRecord> &out, std::vector<unsigned> &ifIndexes) {
    if (effective(s) == Source::Netlink)
        return netlinkNeighbours(out, ifIndexes);
    std::string text;
    if (!hostfs::readHostFile("/proc/net/arp", text))
        return false;
    size_t before = out.size();
    parseProcArp(text, out);
    for (size_t i = before; i < out.size(); ++i)
        ifIndexes.push_back(ifIndexFromSys(out[i].ifname));
    return true;
}

bool readIfAddrs(std::vector<IfAddrInfo> &out) {
    struct ifaddrs *list = nullptr;
    if (::getifaddrs(&list) != 0) {
        qel::logError("reloadIfTable: getifaddrs failed: %s\n", std::strerror(errno));
        return false;
    }
    int sock = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    // One report per pass for the links whose MTU could not be read.
    int mtuError = 0;
    for (struct ifaddrs *a = list; a; a = a->ifa_next) {
        if (!a->ifa_addr || !a->ifa_name)
            continue;
        IfAddrInfo info;
        info.name = a->ifa_name;
        info.family = a->ifa_addr->sa_family;
        info.flags = a->ifa_flags;
        if (info.family == AF_INET) {
            std::memcpy(info.addr, &reinterpret_cast<sockaddr_in *>(a->ifa_addr)->sin_addr, 4);
            if (a->ifa_netmask)
                std::memcpy(info.mask, &reinterpret_cast<sockaddr_in *>(a->ifa_netmask)->sin_addr, 4);
        } else if (info.family == AF_INET6) {
            std::memcpy(info.addr, &reinterpret_cast<sockaddr_in6 *>(a->ifa_addr)->sin6_addr, 16);
            if (a->ifa_netmask)
                std::memcpy(info.mask, &reinterpret_cast<sockaddr_in6 *>(a->ifa_netmask)->sin6_addr, 16);
        } else if (info.family == AF_PACKET) {
            auto *ll = reinterpret_cast<sockaddr_ll *>(a->ifa_addr);
            info.hwaddrlen = ll->sll_halen > 12 ? 12 : ll->sll_halen;
            info.ifIndex = ll->sll_ifindex > 0 ? static_cast<unsigned>(ll->sll_ifindex) : 0;
            std::memcpy(info.hwaddr, ll->sll_addr, static_cast<size_t>(info.hwaddrlen));
            struct ifreq ifr {};
            qelCopyField(ifr.ifr_name, a->ifa_name);
            if (sock >= 0 && ::ioctl(sock, SIOCGIFMTU, &ifr) == 0)
                info.mtu = static_cast<unsigned>(ifr.ifr_mtu);
            else if (!mtuError)
                mtuError = sock >= 0 ? errno : EBADF;
        } else {
            continue;
        }
        out.push_back(std::move(info));
    }
    if (mtuError)
        qel::logWarning("siocgifmtu failed: %s\n", std::strerror(mtuError));
    if (sock >= 0)
        ::close(sock);
    ::freeifaddrs(list);
    return true;
}

std::vector<LogicalIf> buildLogicalIfs(const std::vector<IfAddrInfo> &addrs) {
    // An interface's IPv4 address: one of its own name first, then one of
    // a label on it ("eth0:1"); labels are addresses, not interfaces.
    auto firstAddress = [&](const std::string &link, int family) -> const IfAddrInfo * {
        for (const auto &a : addrs)
            if (a.family == family && a.name == link)
                return &a;
        if (family == AF_INET)
            for (const auto &a : addrs)
                if (a.family == AF_INET && baseName(a.name) == link)
                    return &a;
        return nullptr;
    };
    std::vector<LogicalIf> out;
    for (const auto &link : addrs) {
        if (link.family != AF_PACKET)
            continue;
        LogicalIf l;
        l.name = link.name;
        l.ifIndex = link.ifIndex ? link.ifIndex : ifIndexFromSys(link.name);
        l.flags = link.flags;
        l.mtu = link.mtu;
        // A link address of zeros (loopback) is no hardware address.
        if (link.hwaddrlen == 6 && !allZero(link.hwaddr, 6)) {
            std::memcpy(l.hwaddr, link.hwaddr, 6);
            l.hwaddrlen = 6;
        }
        if (const IfAddrInfo *a = firstAddress(link.name, AF_INET)) {
            std::memcpy(&l.ipv4addr, a->addr, 4);
            l.ipv4mask = maskOf(a->mask);
        } else if (const IfAddrInfo *a6 = firstAddress(link.name, AF_INET6)) {
            l.ipVersion = 6;
            std::memcpy(l.ipv6, a6->addr, 16);
            l.hasIpv6 = true;
            l.prefixLen = prefixLenOf(a6->mask, 16);
        }
        out.push_back(std::move(l));
    }
    std::stable_sort(out.begin(), out.end(), [](const LogicalIf &a, const LogicalIf &b) {
        return (a.ifIndex ? a.ifIndex : ~0u) < (b.ifIndex ? b.ifIndex : ~0u);
    });
    return out;
}

int ifTypeOf(const std::string &name) {
    auto starts = [&](const char *p) { return name.compare(0, std::strlen(p), p) == 0; };
    int type = starts("lo") ? 24 : 1;
    // Later rules win.
    static const struct {
        const char *prefix;
        int type;
    } rules[] = {{"tr", 9},  {"ppp", 23}, {"sl", 28}, {"eri", 62}, {"le", 6},   {"elxl", 62}, {"hme", 62},
                 {"eth", 6}, {"en", 6},   {"wl", 71}, {"veth", 6}, {"br", 209}, {"tun", 131}};
    for (const auto &r : rules)
        if (starts(r.prefix))
            type = r.type;
    return type;
}

void fillAddrTable(const std::vector<IfAddrInfo> &addrs) {
    // IPv4 entries first, then IPv6.
    for (int pass = 0; pass < 2; ++pass) {
        int family = pass == 0 ? AF_INET : AF_INET6;
        for (const auto &a : addrs) {
            if (a.family != family)
                continue;
            if (enlarge_addr_table() < 0)
                return;
            ipAddrEntry_t &e = addrTable[numAddrs];
            std::memset(&e, 0, sizeof e);
            qelCopyField(e.ifname, a.name);
            e.ifIndex = ::if_nametoindex(baseName(a.name).c_str());
            if (family == AF_INET) {
                e.ipVersion = 4;
                std::memcpy(&e.ipv4addr, a.addr, 4);
                e.ipv4mask = maskOf(a.mask);
                // The lowest bit of the broadcast address, as the MIB has it.
                e.ipv4bcast = (a.flags & IFF_BROADCAST) ? 1 : 0;
                e.ipv4ReasmMaxSize = 65535;
            } else {
                e.ipVersion = 6;
                convertIPv6Bytes(a.addr, e.ipv6Addr, sizeof e.ipv6Addr);
                e.ipv6PrefixLen = static_cast<u_int>(prefixLenOf(a.mask, 16));
                e.ipv6AddrType = 3; // unknown: getifaddrs does not tell
            }
            ++numAddrs;
        }
    }
}

void reloadIfTableFrom(const std::vector<IfAddrInfo> &addrs) {
    std::vector<LogicalIf> ifs = buildLogicalIfs(addrs);
    Mib2Lock lock;
    qel::logDebug("reloadIfTable: %d interfaces\n", static_cast<int>(ifs.size()));
    numIfs = 0;
    if (enlarge_if_table() < 0)
        return;
    while (maxIfs < static_cast<int>(ifs.size())) {
        numIfs = maxIfs;
        if (enlarge_if_table() < 0)
            return;
    }
    int loopbacks = 0, others = 0;
    for (size_t q = 0; q < ifs.size(); ++q) {
        const LogicalIf &l = ifs[q];
        mib2IfEntry_t &e = ifTable[q];
        // Only the operational status carries over: it is what the link
        // traps compare against. Everything else describes this reload.
        int previous = firstTime ? 0 : e.ifOperStatus;
        std::memset(&e, 0, sizeof e);
        qelCopyField(e.ifname, l.name);
        e.lflags = l.flags;
        e.flags = l.flags;
        e.ifIndex = l.ifIndex;
        e.oldIfOperStatus = previous;
        e.ipVersion = static_cast<u_char>(l.ipVersion);
        e.ifOperStatus = (l.flags & IFF_RUNNING) ? 1 : 2;
        e.ifAdminStatus = (l.flags & IFF_UP) ? 1 : 2;
        if (l.ipVersion == 4) {
            e.ipv4addr = l.ipv4addr;
            e.ipv4mask = l.ipv4mask;
        } else {
            convertIPv6Bytes(l.ipv6, e.ipv6Addr, sizeof e.ipv6Addr);
            e.prefixLen = l.prefixLen;
        }
        e.mtu = l.mtu;
        e.ifType = 1;
        e.ifSpeed = 1;
        if (l.name.compare(0, 2, "lo") == 0) {
            std::snprintf(e.alias, sizeof e.alias, "lo%d", loopbacks++);
        } else {
            std::snprintf(e.alias, sizeof e.alias, "if%d", others++);
        }
        e.ifType = ifTypeOf(l.name);
        qel::logDebug("Interface: %s , mtu:%d\n", e.ifname, static_cast<int>(e.mtu));
        if (l.hwaddrlen == 6) {
            std::memcpy(e.hwaddr, l.hwaddr, 6);
            e.hwaddrlen = 6;
        }
        // Counters through the kernel-statistics readers; one that cannot
        // be read leaves its field alone and adds 0 to a sum.
        char *name = e.ifname;
        auto read8 = [&](const char *stat, uint64_t &field) {
            uint64_t v;
            if (get_named_kstat(nullptr, 0, name, const_cast<char *>(stat), &v, 8) == 8)
                field = v;
        };
        auto sum8 = [&](const char *stat) -> uint64_t {
            uint64_t v;
            return get_named_kstat(nullptr, 0, name, const_cast<char *>(stat), &v, 8) == 8 ? v : 0;
        };
        uint64_t speed;
        if (get_named_kstat(nullptr, 0, name, const_cast<char *>("ifspeed"), &speed, 8) == 8)
            e.ifSpeed = static_cast<int>(speed > 0xffffffffu ? 0xffffffffu : speed);
        read8("ipackets", e.ifInUcastPkts);
        read8("rbytes", e.ifInOctets);
        read8("ierrors", e.ifInErrors);
        read8("opackets", e.ifOutUcastPkts);
        read8("obytes", e.ifOutOctets);
        read8("oerrors", e.ifOutErrors);
        e.ifOutNUcastPkts = sum8("brdcstxmt") + sum8("multxmt");
        e.ifInNUcastPkts = sum8("brdcstrcv") + sum8("multrcv");
        e.ifInDiscards = sum8("norcvbuf") + sum8("drop");
        e.ifOutDiscards = sum8("noxmtbuf") + sum8("nocanput");
        if (!firstTime && e.ifOperStatus != e.oldIfOperStatus) {
            if (e.ifOperStatus == 2)
                sendLinkDownTrap(static_cast<int>(e.ifIndex), e.ifAdminStatus, e.ifOperStatus, e.ifname);
            else if (e.ifOperStatus == 1)
                sendLinkUpTrap(static_cast<int>(e.ifIndex), e.ifAdminStatus, e.ifOperStatus, e.ifname);
        }
    }
    numIfs = static_cast<int>(ifs.size());
    ifTableTime = time(nullptr);
    firstTime = 0;
}

} // namespace mib2

extern "C" void reloadIfTable(void) {
    qel::guardedVoid("reloadIfTable", [] {
        std::vector<mib2::IfAddrInfo> addrs;
        if (mib2::readIfAddrs(addrs))
            mib2::reloadIfTableFrom(addrs);
    });
}

namespace {

// What one refresh reads, gathered before the tables are locked.
struct Snapshot {
    ipStats_t ip{};
    icmpStats_t icmp{};
    tcpStats_t tcp{};
    udpStats_t udp{};
    std::vector<mib2::SockRecord> tcpSocks, udpSocks;
    std::vector<mib2::RouteRecord> routes;
    std::vector<unsigned> routeIdx;
    std::vector<mib2::NeighRecord> neighs;
    std::vector<unsigned> neighIdx;
    std::vector<mib2::IfAddrInfo> addrs;
    bool haveStats = false, haveTcp = false, haveUdp = false, haveRoutes = false, haveArps = false, haveAddrs = false;
};

void readSnapshot(Snapshot &snap) {
    mib2::Source src = mib2::configuredSource();
    std::string text;
    snap.haveStats =
        hostfs::readHostFile("/proc/net/snmp", text) && mib2::parseSnmp(text, snap.ip, snap.icmp, snap.tcp, snap.udp);
    if (!snap.haveStats)
        qel::logWarning("reloadStats: /proc/net/snmp unreadable\n");
    else if (hostfs::readHostFile("/proc/net/snmp6", text)) // absent without IPv6
        mib2::addSnmp6Udp(text, snap.udp);
    snap.haveTcp = mib2::readSockets(src, IPPROTO_TCP, snap.tcpSocks);
    snap.haveUdp = mib2::readSockets(src, IPPROTO_UDP, snap.udpSocks);
    if (!snap.haveTcp)
        qel::logWarning("reloadStats: tcp sockets unreadable\n");
    if (!snap.haveUdp)
        qel::logWarning("reloadStats: udp sockets unreadable\n");
    snap.haveRoutes = mib2::readRoutes(src, snap.routes, snap.routeIdx);
    snap.haveArps = mib2::readNeighbours(src, snap.neighs, snap.neighIdx);
    snap.haveAddrs = mib2::readIfAddrs(snap.addrs);
}

// The table writers below run under the table lock.

void storeTcp(const std::vector<mib2::SockRecord> &socks) {
    numTcpConnections = 0;
    if (enlarge_tcp_table() < 0)
        return;
    for (const auto &s : socks) {
        mib2TcpConn_t c;
        if (!mib2::toTcpConn(s, c))
            continue;
        if (enlarge_tcp_table() < 0)
            break;
        tcpTable[numTcpConnections++] = c;
    }
}

void storeUdp(const std::vector<mib2::SockRecord> &socks) {
    numUdps = 0;
    if (enlarge_udp_table() < 0)
        return;
    for (const auto &s : socks) {
        mib2UdpEndpt_t u;
        if (!mib2::toUdpEndpt(s, u))
            continue;
        if (enlarge_udp_table() < 0)
            break;
        udpTable[numUdps++] = u;
    }
}

void storeRoutes(const std::vector<mib2::RouteRecord> &routes, const std::vector<unsigned> &ifIndexes) {
    numRoutes = 0;
    if (enlarge_route_table() < 0)
        return;
    for (size_t i = 0; i < routes.size(); ++i) {
        if (routes[i].flags & 0x0200) // rejecting routes forward nothing
            continue;
        if (enlarge_route_table() < 0)
            break;
        mib2::toRoute(routes[i], ifIndexes[i], routeTable[numRoutes++]);
    }
}

void storeArps(const std::vector<mib2::NeighRecord> &neighs, const std::vector<unsigned> &ifIndexes) {
    numArps = 0;
    if (enlarge_arp_table() < 0)
        return;
    for (size_t i = 0; i < neighs.size(); ++i) {
        if (enlarge_arp_table() < 0)
            break;
        mib2::toArp(neighs[i], ifIndexes[i], arpTable[numArps++]);
    }
}

void storeSnapshot(const Snapshot &snap) {
    time_t now = time(nullptr);
    if (snap.haveStats) {
        ipstats = snap.ip;
        icmpstats = snap.icmp;
        tcpstats = snap.tcp;
        udpstats = snap.udp;
        qel::logDebug("convert_ipstats: forw:%d inRecv:%lld OutReq:%lld\n", ipstats.ipForwarding,
                      static_cast<long long>(ipstats.ipInReceives), static_cast<long long>(ipstats.ipOutRequests));
        qel::logDebug("convert_tcpstats: activeOpens:%lld curEstab:%lld\n",
                      static_cast<long long>(tcpstats.tcpActiveOpens), static_cast<long long>(tcpstats.tcpCurrEstab));
    }
    // A table that could not be read this time is emptied, except routes
    // and neighbours, which keep their last rows.
    numUdps = 0;
    numTcpConnections = 0;
    numAddrs = 0;
    if (snap.haveTcp) {
        storeTcp(snap.tcpSocks);
        tcpTableTime = now;
        qel::logDebug("convert_tcptable: %d total entries now\n", numTcpConnections);
    }
    if (snap.haveUdp) {
        storeUdp(snap.udpSocks);
        udpTableTime = now;
    }
    if (snap.haveAddrs) {
        mib2::fillAddrTable(snap.addrs);
        ipAddrTableTime = now;
    }
    if (snap.haveRoutes)
        storeRoutes(snap.routes, snap.routeIdx);
    if (snap.haveArps) {
        storeArps(snap.neighs, snap.neighIdx);
        arpTableTime = now;
    }
    statsTime = now;
}

} // namespace

extern "C" void reloadStats(void) {
    qel::guardedVoid("reloadStats", [] {
        qel::logDebug("reloadStats: starting\n");
        // Read everything first so the tables are locked only while copied.
        Snapshot snap;
        readSnapshot(snap);
        {
            Mib2Lock lock;
            storeSnapshot(snap);
        }
        qel::logDebug("reloadStats: done\n");
    });
}

/* ---- worker ---- */

namespace {
std::mutex workerMutex;
std::condition_variable workerCv;
bool workerRunning = false;
// Set by init before the worker starts.
std::atomic<int> refreshSeconds{30};
} // namespace

// The stop flag is read by the worker while finish sets it: atomic accesses
// (the variable keeps its exported type).
static inline bool killRequested() {
    return __atomic_load_n(&mib2ThreadKill, __ATOMIC_ACQUIRE) != 0;
}
static inline void setKill(int v) {
    __atomic_store_n(&mib2ThreadKill, v, __ATOMIC_RELEASE);
}

extern "C" int mib2SetRefreshSeconds(const char *text) {
    refreshSeconds = 30;
    if (!text || !*text)
        return 1;
    char *end = nullptr;
    long v = std::strtol(text, &end, 10);
    if (*end || v < 1 || v > 30) {
        qel::logWarning("mib2: MIB2_REFRESH_SECONDS \"%s\" ignored (1-30), refreshing every 30 s\n", text);
        return -1;
    }
    refreshSeconds = static_cast<int>(v);
    return 1;
}

extern "C" void *solarisMib2_dowork(void *) {
    // The thread's top: the refreshes catch their own failures.
    qel::guardedVoid("solarisMib2_dowork", [] {
        while (!killRequested()) {
            const int period = refreshSeconds;
            time_t now = time(nullptr);
            if (now - statsTime > period)
                reloadStats();
            if (now - ifTableTime > period)
                reloadIfTable();
            // Sleep the period in steps of at most 15 s (two steps by default).
            for (int left = period; left > 0 && !killRequested(); left -= 15) {
                std::unique_lock lock(workerMutex);
                workerCv.wait_for(lock, std::chrono::seconds(left < 15 ? left : 15), [] { return killRequested(); });
            }
        }
    });
    qel::logInfo("solarisMib2: worker thread returning\n");
    // Notify while holding the lock: the stopper cannot see workerRunning
    // false and go on (the agent may unload us, the process may destroy the
    // condition variable) before the worker is done with it.
    std::lock_guard lock(workerMutex);
    workerRunning = false;
    workerCv.notify_all();
    return nullptr;
}

extern "C" int solarisMib2_start(void) {
    {
        std::lock_guard lock(workerMutex);
        if (workerRunning)
            return 1;
        setKill(0);
        workerRunning = true;
    }
    pthread_t tid;
    if (pthread_create(&tid, nullptr, solarisMib2_dowork, nullptr) != 0) {
        std::lock_guard lock(workerMutex);
        workerRunning = false;
        return -1;
    }
    pthread_detach(tid);
    return 1;
}

extern "C" void solarisMib2_stop(void) {
    {
        std::lock_guard lock(workerMutex);
        setKill(1);
    }
    workerCv.notify_all();
    // The agent may unload the plug-in after finish: let a worker that is
    // between polls leave our code first (bounded, a reload is short).
    std::unique_lock lock(workerMutex);
    workerCv.wait_for(lock, std::chrono::seconds(10), [] { return !workerRunning; });
}

/* ---- accessors ---- */

extern "C" int mib2GetNumberUdpEndpoints(void) {
    Mib2Lock lock;
    return numUdps;
}
extern "C" int mib2GetNumberTcpConnections(void) {
    Mib2Lock lock;
    return numTcpConnections;
}
extern "C" int mib2GetNumberRoutes(void) {
    Mib2Lock lock;
    return numRoutes;
}
extern "C" int mib2GetNumberArps(void) {
    Mib2Lock lock;
    return numArps;
}
namespace {
// The accessors copy a table's rows into the caller's array under the lock;
// an array of fewer than 5 rows is refused. Table and count are taken by
// reference: a snapshot may replace them, so they are read under the lock.
template <typename Row, typename Table>
int copyRows(Row *copytable, int max, Table *const &table, const int &count) {
    if (!copytable || max < 5)
        return -1;
    Mib2Lock lock;
    int n = count < max ? count : max;
    if (n > 0)
        std::memcpy(copytable, table, static_cast<size_t>(n) * sizeof *copytable);
    return n;
}
} // namespace

extern "C" int mib2GetUdpEndpoints(mib2UdpEndpt_t *copytable, int maxudps) {
    return copyRows(copytable, maxudps, udpTable, numUdps);
}
extern "C" int mib2GetTcpConnections(mib2TcpConn_t *copytable, int maxconnections) {
    return copyRows(copytable, maxconnections, tcpTable, numTcpConnections);
}
extern "C" int mib2GetRoutes(ipRoute_t *copytable, int maxroutes) {
    return copyRows(copytable, maxroutes, routeTable, numRoutes);
}
extern "C" int mib2GetArpTable(arpEntry_t *copytable, int maxarps) {
    return copyRows(copytable, maxarps, arpTable, numArps);
}

extern "C" int mib2GetAddressList(char *addrlist, int maxlen) {
    if (!addrlist || maxlen < 10)
        return -1;
    Mib2Lock lock;
    if (numAddrs == 0) {
        qel::logWarning("mib2GetAddressList: no addresses yet!!!\n");
        return 0;
    }
    size_t used = 0;
    addrlist[0] = '\0';
    for (int i = 0; i < numAddrs; ++i) {
        char text[64];
        if (addrTable[i].ipVersion == 6) {
            qelCopyField(text, addrTable[i].ipv6Addr);
        } else {
            text[0] = '\0';
            qelConvertIpAddr(addrTable[i].ipv4addr, text, sizeof text);
            text[sizeof text - 1] = '\0';
        }
        size_t len = std::strlen(text);
        // Whole entries only: the address, its comma and the terminator.
        if (used + len + 2 > static_cast<size_t>(maxlen))
            break;
        std::memcpy(addrlist + used, text, len);
        used += len;
        addrlist[used++] = ',';
        addrlist[used] = '\0';
    }
    return 1;
}

extern "C" int mib2isLocalAddress(u_int addr) {
    Mib2Lock lock;
    for (int i = 0; i < numAddrs; ++i)
        if (addrTable[i].ipVersion == 4 && addrTable[i].ipv4addr == addr)
            return 1;
    return 0;
}

extern "C" int mib2isLocalAddressStr(char *addrstr) {
    if (!addrstr)
        return 0;
    return mib2isLocalAddress(inet_addr(addrstr));
}
