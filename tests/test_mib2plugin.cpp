// link: mib2core hostfs
// The mib2 collection (live loopback sockets, fixture host, interface
// reloads and link traps) and the plug-in's definitions and handlers, with
// a stand-in for the agent's calls.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <tuple>

#include "hostfs.h"
#include "mib2_host_double.h"
#include "qel/strutil.h"
#include "mib2collect.h"
#include "solarisMib2.h"
#include "testutil.h"

using namespace testutil;

extern "C" {
int modinfo(char *, int, char *, int);
int init(void);
int finish(void);
qelErrorStatus_t var_udpTable(char *, qelVariable_t *, qelPdu_t *);
qelErrorStatus_t var_tcpTable(char *, qelVariable_t *, qelPdu_t *);
qelErrorStatus_t var_ifTable(char *, qelVariable_t *, qelPdu_t *);
qelErrorStatus_t var_arpTable(char *, qelVariable_t *, qelPdu_t *);
qelErrorStatus_t var_routeTable(char *, qelVariable_t *, qelPdu_t *);
qelErrorStatus_t var_addrTable(char *, qelVariable_t *, qelPdu_t *);
int mib2TrapHandler(qelEventEntry_t *);
}
const qelVar_t *mib2Definitions(int *count);

namespace {

struct Fd {
    int fd = -1;
    Fd() = default;
    explicit Fd(int f) : fd(f) {}
    Fd(Fd &&o) noexcept : fd(o.fd) { o.fd = -1; }
    ~Fd() {
        if (fd >= 0)
            ::close(fd);
    }
};

uint16_t portOf(int fd) {
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    getsockname(fd, reinterpret_cast<sockaddr *>(&ss), &len);
    return ntohs(ss.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6 *>(&ss)->sin6_port
                                          : reinterpret_cast<sockaddr_in *>(&ss)->sin_port);
}

uint64_t inodeOf(int fd) {
    struct stat st {};
    fstat(fd, &st);
    return st.st_ino;
}

Fd bound(int family, int type, bool listen_) {
    Fd s(::socket(family, type | SOCK_CLOEXEC, 0));
    if (s.fd < 0)
        return s;
    sockaddr_storage ss{};
    socklen_t len;
    if (family == AF_INET) {
        auto *a = reinterpret_cast<sockaddr_in *>(&ss);
        a->sin_family = AF_INET;
        a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        len = sizeof *a;
    } else {
        auto *a = reinterpret_cast<sockaddr_in6 *>(&ss);
        a->sin6_family = AF_INET6;
        a->sin6_addr = in6addr_loopback;
        len = sizeof *a;
    }
    if (::bind(s.fd, reinterpret_cast<sockaddr *>(&ss), len) != 0 || (listen_ && ::listen(s.fd, 8) != 0))
        return Fd();
    return s;
}

bool connectTo(int fd, int family, uint16_t port) {
    sockaddr_storage ss{};
    socklen_t len;
    if (family == AF_INET) {
        auto *a = reinterpret_cast<sockaddr_in *>(&ss);
        a->sin_family = AF_INET;
        a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a->sin_port = htons(port);
        len = sizeof *a;
    } else {
        auto *a = reinterpret_cast<sockaddr_in6 *>(&ss);
        a->sin6_family = AF_INET6;
        a->sin6_addr = in6addr_loopback;
        a->sin6_port = htons(port);
        len = sizeof *a;
    }
    return ::connect(fd, reinterpret_cast<sockaddr *>(&ss), len) == 0;
}

// Loopback sockets of every kind the tables hold, made by the test.
struct OwnSockets {
    std::vector<Fd> fds;
    std::set<unsigned> ports;
    std::set<uint64_t> inodes;
    void keep(Fd f) {
        ports.insert(portOf(f.fd));
        inodes.insert(inodeOf(f.fd));
        fds.push_back(std::move(f));
    }
    bool make(int family) {
        Fd l = bound(family, SOCK_STREAM, true);
        if (l.fd < 0)
            return false;
        uint16_t lp = portOf(l.fd);
        Fd c(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (!connectTo(c.fd, family, lp))
            return false;
        Fd a(::accept(l.fd, nullptr, nullptr));
        keep(std::move(l));
        keep(std::move(c));
        keep(std::move(a));
        Fd u1 = bound(family, SOCK_DGRAM, false);
        Fd u2 = bound(family, SOCK_DGRAM, false);
        if (u1.fd < 0 || u2.fd < 0 || !connectTo(u2.fd, family, portOf(u1.fd)))
            return false;
        keep(std::move(u1));
        keep(std::move(u2));
        return true;
    }
};

template <typename Rec>
std::vector<std::string> ownRecords(const std::vector<mib2::SockRecord> &socks, const OwnSockets &own,
                                    bool (*conv)(const mib2::SockRecord &, Rec &)) {
    std::vector<std::string> out;
    for (const auto &s : socks) {
        if (!own.inodes.count(s.inode))
            continue;
        Rec r;
        if (conv(s, r))
            out.emplace_back(reinterpret_cast<const char *>(&r), sizeof r);
    }
    std::sort(out.begin(), out.end());
    return out;
}

void freeReply(qelPdu_t &out) {
    for (qelVariable_t *v = out.varList; v;) {
        qelVariable_t *n = v->next;
        std::free(v->valueBuf);
        std::free(v);
        v = n;
    }
    out.varList = out.varListTail = nullptr;
}

// The requested column variables of a select, pointing at the registered
// column definitions.
struct Columns {
    std::vector<qelVariable_t> vars;
    Columns(const char *table, std::vector<const qelVar_t *> defs) : vars(defs.size()) {
        for (size_t i = 0; i < defs.size(); ++i) {
            std::memset(&vars[i], 0, sizeof vars[i]);
            qelCopyField(vars[i].varName.mibName, "mib2");
            qelCopyField(vars[i].varName.objName, defs[i]->objName);
            vars[i].varSyntax = defs[i]->syntax;
            vars[i].entryPtr = const_cast<qelVar_t *>(defs[i]);
            vars[i].next = i + 1 < defs.size() ? &vars[i + 1] : nullptr;
        }
        (void)table;
    }
    qelVariable_t *head() { return vars.data(); }
};

struct Reply {
    qelPdu_t pdu;
    explicit Reply(int maxRows) {
        std::memset(&pdu, 0, sizeof pdu);
        pdu.maxRows = maxRows;
    }
    ~Reply() { freeReply(pdu); }
    std::vector<qelVariable_t *> list() const {
        std::vector<qelVariable_t *> v;
        for (qelVariable_t *p = pdu.varList; p; p = p->next)
            v.push_back(p);
        return v;
    }
};

std::string value(const qelVariable_t *v) {
    return v->valueBuf ? v->valueBuf : std::string(v->valueStr, v->valueStrLen);
}

class Mib2 : public ::testing::Test {
protected:
    void SetUp() override {
        hostdouble::reset();
        ASSERT_EQ(init(), 1);
    }
    void TearDown() override {
        hostfs::setHostRoot("/");
        mib2::setSource(mib2::Source::Auto);
        finish();
    }
    const qelVar_t *def(const char *obj) {
        qelVar_t *v = hostdouble::find(obj);
        EXPECT_NE(v, nullptr) << obj;
        return v;
    }
    std::vector<const qelVar_t *> defs(std::initializer_list<const char *> names) {
        std::vector<const qelVar_t *> out;
        for (const char *n : names)
            out.push_back(def(n));
        return out;
    }
    void setTcpRows(int n) {
        pthread_mutex_lock(&mib2_lock);
        numTcpConnections = 0;
        for (int i = 0; i < n; ++i) {
            enlarge_tcp_table();
            mib2TcpConn_t &c = tcpTable[numTcpConnections++];
            std::memset(&c, 0, sizeof c);
            c.ipVersion = 4;
            c.localIp = inet_addr("127.0.0.1");
            c.remIp = inet_addr("127.0.0.2");
            c.localPort = 1000 + i;
            c.remPort = 2000 + i;
            c.state = 5;
        }
        pthread_mutex_unlock(&mib2_lock);
    }
};

} // namespace

/* ---- collection ---- */

TEST(Mib2Collect, NetlinkAndProcGiveIdenticalRecordsForOwnSockets) {
    OwnSockets own;
    ASSERT_TRUE(own.make(AF_INET));
    bool v6 = own.make(AF_INET6);
    for (int proto : {IPPROTO_TCP, IPPROTO_UDP}) {
        std::vector<mib2::SockRecord> nl, proc;
        ASSERT_TRUE(mib2::readSockets(mib2::Source::Netlink, proto, nl));
        ASSERT_TRUE(mib2::readSockets(mib2::Source::Proc, proto, proc));
        if (proto == IPPROTO_TCP) {
            auto a = ownRecords<mib2TcpConn_t>(nl, own, mib2::toTcpConn);
            auto b = ownRecords<mib2TcpConn_t>(proc, own, mib2::toTcpConn);
            EXPECT_EQ(a.size(), v6 ? 6u : 3u); // listener, client, accepted
            EXPECT_EQ(a, b);
        } else {
            auto a = ownRecords<mib2UdpEndpt_t>(nl, own, mib2::toUdpEndpt);
            auto b = ownRecords<mib2UdpEndpt_t>(proc, own, mib2::toUdpEndpt);
            EXPECT_EQ(a.size(), v6 ? 4u : 2u);
            EXPECT_EQ(a, b);
        }
    }
}

TEST_F(Mib2, LiveSnapshotHoldsOwnListenerWithInode) {
    OwnSockets own;
    ASSERT_TRUE(own.make(AF_INET));
    uint16_t listenPort = portOf(own.fds[0].fd);
    reloadStats();
    int n = mib2GetNumberTcpConnections();
    ASSERT_GE(n, 3);
    std::vector<mib2TcpConn_t> copy(static_cast<size_t>(n) + 5);
    int got = mib2GetTcpConnections(copy.data(), static_cast<int>(copy.size()));
    ASSERT_EQ(got, n);
    bool found = false;
    for (int i = 0; i < got; ++i)
        if (copy[i].localPort == listenPort && copy[i].state == 2) {
            found = true;
            EXPECT_EQ(copy[i].inode, inodeOf(own.fds[0].fd));
            EXPECT_EQ(copy[i].localIp, inet_addr("127.0.0.1"));
        }
    EXPECT_TRUE(found);
    mib2UdpEndpt_t u[8];
    EXPECT_GE(mib2GetUdpEndpoints(u, 8), 2);
    EXPECT_GT(ipstats.ipInReceives, 0u);
    EXPECT_GT(mib2GetNumberRoutes() + mib2GetNumberArps() + 1, 0);
}

TEST_F(Mib2, AccessorsRejectSmallOrMissingBuffers) {
    mib2TcpConn_t t[4];
    mib2UdpEndpt_t u[4];
    ipRoute_t r[4];
    arpEntry_t a[4];
    EXPECT_EQ(mib2GetTcpConnections(t, 4), -1);
    EXPECT_EQ(mib2GetUdpEndpoints(u, 4), -1);
    EXPECT_EQ(mib2GetRoutes(r, 4), -1);
    EXPECT_EQ(mib2GetArpTable(a, 4), -1);
    EXPECT_EQ(mib2GetTcpConnections(nullptr, 50), -1);
    char buf[9];
    EXPECT_EQ(mib2GetAddressList(buf, 9), -1);
    EXPECT_EQ(mib2GetAddressList(nullptr, 100), -1);
    setTcpRows(7);
    mib2TcpConn_t five[5];
    EXPECT_EQ(mib2GetTcpConnections(five, 5), 5); // cut to the maximum
    EXPECT_EQ(five[4].localPort, 1004u);
}

TEST_F(Mib2, AddressListAndLocalAddress) {
    pthread_mutex_lock(&mib2_lock);
    numAddrs = 0;
    pthread_mutex_unlock(&mib2_lock);
    char buf[256];
    testing::internal::CaptureStderr();
    EXPECT_EQ(mib2GetAddressList(buf, sizeof buf), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "mib2GetAddressList: no addresses yet!!!\n");

    std::vector<mib2::IfAddrInfo> addrs(2);
    addrs[0].name = "lo";
    addrs[0].family = AF_INET;
    inet_pton(AF_INET, "127.0.0.1", addrs[0].addr);
    addrs[1].name = "lo";
    addrs[1].family = AF_INET6;
    addrs[1].addr[15] = 1;
    std::memset(addrs[1].mask, 0xff, 16);
    pthread_mutex_lock(&mib2_lock);
    mib2::fillAddrTable(addrs);
    pthread_mutex_unlock(&mib2_lock);
    ASSERT_EQ(mib2GetAddressList(buf, sizeof buf), 1);
    EXPECT_STREQ(buf, "127.0.0.1,0000:0000:0000:0000:0000:0000:0000:0001,");
    std::memset(buf, 'x', sizeof buf);
    ASSERT_EQ(mib2GetAddressList(buf, 20), 1);
    EXPECT_STREQ(buf, "127.0.0.1,"); // whole entries only, within maxlen
    EXPECT_EQ(buf[20], 'x');
    EXPECT_EQ(mib2isLocalAddressStr((char *)"127.0.0.1"), 1);
    EXPECT_EQ(mib2isLocalAddressStr((char *)"127.0.0.2"), 0);
    EXPECT_EQ(mib2isLocalAddressStr(nullptr), 0);
    EXPECT_EQ(mib2isLocalAddress(0), 0); // IPv6 entries do not answer for 0.0.0.0
}

TEST_F(Mib2, FixtureHostSnapshotReadsTheFiles) {
    hostfs::setHostRoot(fixturePath("mib2host1"));
    reloadStats();
    EXPECT_EQ(ipstats.ipInReceives, 1001u);
    EXPECT_EQ(udpstats.udpNoPorts, 47u + 2u);    // IPv4 plus IPv6 (proc/net/snmp6)
    EXPECT_EQ(mib2GetNumberTcpConnections(), 4); // 3 IPv4 + 1 IPv6, port 0 left out
    EXPECT_EQ(mib2GetNumberUdpEndpoints(), 3);
    EXPECT_EQ(mib2GetNumberRoutes(), 3); // the rejecting route is left out
    EXPECT_EQ(mib2GetNumberArps(), 4);
    ipRoute_t r[5];
    ASSERT_EQ(mib2GetRoutes(r, 5), 3);
    EXPECT_EQ(r[0].ifIndex, 2u); // from the fixture's /sys
    arpEntry_t a[5];
    ASSERT_EQ(mib2GetArpTable(a, 5), 4);
    EXPECT_EQ(a[1].hwaddrlen, 0);
}

TEST(Mib2Logical, OrderAndRules) {
    // The kernel's index of each link: the hardware address's last byte + 1.
    auto link = [](const char *name, unsigned flags, unsigned char last) {
        mib2::IfAddrInfo i;
        i.name = name;
        i.family = AF_PACKET;
        i.flags = flags;
        i.hwaddrlen = 6;
        i.hwaddr[0] = 0x02;
        i.hwaddr[5] = last;
        i.mtu = 1500;
        i.ifIndex = last + 1u;
        return i;
    };
    auto v4 = [](const char *name, const char *addr, unsigned flags) {
        mib2::IfAddrInfo i;
        i.name = name;
        i.family = AF_INET;
        i.flags = flags;
        inet_pton(AF_INET, addr, i.addr);
        inet_pton(AF_INET, "255.255.255.0", i.mask);
        return i;
    };
    mib2::IfAddrInfo lo = link("lo", IFF_UP | IFF_RUNNING | IFF_LOOPBACK, 0);
    lo.hwaddr[0] = 0; // all zeros: no hardware address
    mib2::IfAddrInfo e6;
    e6.name = "eth0";
    e6.family = AF_INET6;
    e6.flags = IFF_UP | IFF_RUNNING;
    e6.addr[0] = 0xfe;
    e6.addr[1] = 0x80;
    std::memset(e6.mask, 0xff, 8);
    std::vector<mib2::IfAddrInfo> addrs = {lo,
                                           link("eth0", IFF_UP | IFF_RUNNING, 1),
                                           link("veth1", IFF_UP, 2),
                                           v4("lo", "127.0.0.1", IFF_UP | IFF_RUNNING),
                                           v4("eth0", "10.0.0.1", IFF_UP | IFF_RUNNING),
                                           v4("eth0", "10.0.0.2", IFF_UP | IFF_RUNNING),
                                           v4("eth0:1", "10.0.1.1", IFF_UP | IFF_RUNNING),
                                           e6};
    auto ifs = mib2::buildLogicalIfs(addrs);
    // One entry per link: a label ("eth0:1") and an IPv6 address are
    // addresses of eth0, not interfaces of their own.
    ASSERT_EQ(ifs.size(), 3u);
    EXPECT_EQ(ifs[0].name, "lo");
    EXPECT_EQ(ifs[0].ifIndex, 1u);
    EXPECT_EQ(ifs[0].ipv4addr, inet_addr("127.0.0.1"));
    EXPECT_EQ(ifs[1].name, "eth0");
    EXPECT_EQ(ifs[1].ifIndex, 2u);
    EXPECT_EQ(ifs[1].ipVersion, 4);
    EXPECT_EQ(ifs[1].ipv4addr, inet_addr("10.0.0.1")); // its first address
    EXPECT_EQ(ifs[1].hwaddrlen, 6);
    EXPECT_EQ(ifs[1].mtu, 1500u);
    EXPECT_EQ(ifs[2].name, "veth1"); // a link without addresses
    EXPECT_EQ(ifs[2].ifIndex, 3u);
    EXPECT_EQ(ifs[2].ipv4addr, 0u);
    EXPECT_EQ(ifs[0].hwaddrlen, 0);

    // The kernel's order is its index order, whatever the list's; a link
    // with only IPv6 addresses carries its first, a label alone counts
    // for its link.
    mib2::IfAddrInfo only6 = e6;
    only6.name = "veth1";
    std::vector<mib2::IfAddrInfo> shuffled = {link("veth1", IFF_UP, 6), link("eth0", IFF_UP, 3), lo, only6,
                                              v4("eth0:1", "10.0.1.1", IFF_UP)};
    ifs = mib2::buildLogicalIfs(shuffled);
    ASSERT_EQ(ifs.size(), 3u);
    EXPECT_EQ(ifs[0].name, "lo");
    EXPECT_EQ(ifs[1].name, "eth0");
    EXPECT_EQ(ifs[1].ifIndex, 4u);
    EXPECT_EQ(ifs[1].ipv4addr, inet_addr("10.0.1.1"));
    EXPECT_EQ(ifs[2].name, "veth1");
    EXPECT_EQ(ifs[2].ifIndex, 7u);
    EXPECT_EQ(ifs[2].ipVersion, 6);
    EXPECT_EQ(ifs[2].prefixLen, 64);
    EXPECT_EQ(mib2::ifTypeOf("lo"), 24);
    EXPECT_EQ(mib2::ifTypeOf("eth0"), 6);
    EXPECT_EQ(mib2::ifTypeOf("enp0s3"), 6);
    EXPECT_EQ(mib2::ifTypeOf("wlan0"), 71);
    EXPECT_EQ(mib2::ifTypeOf("veth1"), 6);
    EXPECT_EQ(mib2::ifTypeOf("br0"), 209);
    EXPECT_EQ(mib2::ifTypeOf("tun0"), 131);
    EXPECT_EQ(mib2::ifTypeOf("ppp0"), 23);
    EXPECT_EQ(mib2::ifTypeOf("hme0"), 62);
    EXPECT_EQ(mib2::ifTypeOf("xyz0"), 1);
}

TEST_F(Mib2, LinkTrapsOnlyAfterTheFirstReload) {
    hostfs::setHostRoot(fixturePath("mib2host1"));
    auto make = [](unsigned ethFlags) {
        mib2::IfAddrInfo lo, eth, a;
        lo.name = "lo";
        lo.family = AF_PACKET;
        lo.flags = IFF_UP | IFF_RUNNING;
        eth.name = "eth0";
        eth.family = AF_PACKET;
        eth.flags = ethFlags;
        a.name = "eth0";
        a.family = AF_INET;
        a.flags = ethFlags;
        inet_pton(AF_INET, "10.0.2.15", a.addr);
        return std::vector<mib2::IfAddrInfo>{lo, eth, a};
    };
    firstTime = 1;
    mib2::reloadIfTableFrom(make(IFF_UP)); // down on the first reload: no trap
    EXPECT_TRUE(hostdouble::traps.empty());
    // The kernel's order and indexes, from the fixture's /sys: lo 1, eth0 2.
    ASSERT_EQ(numIfs, 2);
    EXPECT_STREQ(ifTable[0].ifname, "lo");
    EXPECT_EQ(ifTable[0].ifIndex, 1u);
    EXPECT_STREQ(ifTable[0].alias, "lo0");
    EXPECT_STREQ(ifTable[1].ifname, "eth0");
    EXPECT_EQ(ifTable[1].ifIndex, 2u);
    EXPECT_EQ(ifTable[1].ifOperStatus, 2);
    EXPECT_EQ(ifTable[1].ifInOctets, 987654321012ull); // through the readers
    EXPECT_EQ(ifTable[1].ifSpeed, 1000000000);
    EXPECT_EQ(ifTable[1].ifInNUcastPkts, 17u);
    EXPECT_STREQ(ifTable[1].alias, "if0");

    testing::internal::CaptureStderr();
    mib2::reloadIfTableFrom(make(IFF_UP | IFF_RUNNING));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "sendLinkUpTrap: 2 1 1\n");
    ASSERT_EQ(hostdouble::traps.size(), 1u);
    const auto &up = hostdouble::traps[0];
    EXPECT_EQ(up.eventType, "mib2.linkUp");
    EXPECT_TRUE(up.hostNull);
    EXPECT_TRUE(up.userNull);
    EXPECT_EQ(up.msgType, Trap);
    ASSERT_EQ(up.vars.size(), 5u);
    EXPECT_EQ(up.numberVariables, 5u);
    EXPECT_EQ(up.vars[0].obj, "trapType");
    EXPECT_EQ(up.vars[0].value, "mib2.ifLinkUp");
    EXPECT_EQ(up.vars[1].mib + "." + up.vars[1].obj, "core.sysObjectID");
    EXPECT_EQ(up.vars[1].value, up.sysObjectID);
    EXPECT_EQ(up.sysObjectID.rfind("1.3.6.1.4.1.", 0), 0u);
    EXPECT_EQ(up.vars[2].mib + "." + up.vars[2].obj + "[" + up.vars[2].key + "]=" + up.vars[2].value,
              "mib2.ifIndex[eth0]=2");
    EXPECT_EQ(up.vars[3].value, "1");
    EXPECT_EQ(up.vars[4].obj, "ifOperStatus");
    EXPECT_EQ(up.vars[4].syntax, integer);

    mib2::reloadIfTableFrom(make(IFF_UP | IFF_RUNNING)); // unchanged: nothing
    EXPECT_EQ(hostdouble::traps.size(), 1u);
    testing::internal::CaptureStderr();
    mib2::reloadIfTableFrom(make(0));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "sendLinkDownTrap: 2 2 2\n");
    ASSERT_EQ(hostdouble::traps.size(), 2u);
    EXPECT_EQ(hostdouble::traps[1].eventType, "mib2.linkDown");
    EXPECT_EQ(hostdouble::traps[1].vars[0].value, "mib2.linkDown");
}

/* ---- plug-in ---- */

TEST_F(Mib2, InitRegistersThe117DefinitionsInOrder) {
    ASSERT_EQ(hostdouble::vars.size(), 117u);
    int count = 0;
    const qelVar_t *all = mib2Definitions(&count);
    ASSERT_EQ(count, 117);
    for (int i = 0; i < 117; ++i) {
        EXPECT_EQ(hostdouble::vars[static_cast<size_t>(i)], &all[i]);
        EXPECT_STREQ(all[i].mibName, "mib2");
        EXPECT_EQ(all[i].flags, 0u);
        EXPECT_EQ(all[i].set, nullptr);
    }
    struct {
        int row;
        const char *obj;
        unsigned hint;
        const char *table;
        qelSyntax_t syntax;
    } spot[] = {{0, "pluginVersion", 1, "", floatingPoint},
                {20, "ipRoutingDiscards", 20, "", counter},
                {21, "icmpInMsgs", 21, "", counter},
                {32, "icmpInAddrMaskReps", 32, "", counter},
                {45, "icmpOutAddrMaskReps", 45, "", counter},
                {58, "tcpCurrEstab", 58, "", gauge},
                {64, "udpTable", 64, "", table},
                {69, "udpRemPort", 5, "udpTable", integer},
                {70, "tcpConnTable", 65, "", table},
                {76, "ifTable", 66, "", table},
                {80, "ifSpeed", 4, "ifTable", gauge},
                {96, "ifIndex", 20, "ifTable", integer},
                {97, "ipAddrTable", 67, "", table},
                {103, "ipRouteTable", 68, "", table},
                {111, "ipRouteMask", 8, "ipRouteTable", ipV4Address},
                {112, "ipNetToMediaTable", 69, "", table},
                {116, "ipNetToMediaType", 4, "ipNetToMediaTable", integer}};
    for (auto &s : spot) {
        EXPECT_STREQ(all[s.row].objName, s.obj) << s.row;
        EXPECT_EQ(all[s.row].hint, s.hint) << s.row;
        EXPECT_STREQ(all[s.row].tableName, s.table) << s.row;
        EXPECT_EQ(all[s.row].syntax, s.syntax) << s.row;
        EXPECT_EQ(all[s.row].select != nullptr, s.syntax == table) << s.row;
    }
    ASSERT_EQ(hostdouble::modules.size(), 4u);
    EXPECT_EQ(hostdouble::modules[0], "mib2-linux.so 1.0000 mib2 2");
    EXPECT_EQ(hostdouble::modules[3], "mib2-win32.dll 1.0000 mib2 2");
}

TEST_F(Mib2, ModinfoFinishAndTrapHandler) {
    char name[16], descr[64];
    EXPECT_EQ(modinfo(name, 10, descr, sizeof descr), -1);
    EXPECT_EQ(modinfo(name, sizeof name, descr, 29), -1);
    EXPECT_EQ(modinfo(nullptr, sizeof name, descr, sizeof descr), -1);
    ASSERT_EQ(modinfo(name, sizeof name, descr, sizeof descr), 1);
    EXPECT_STREQ(name, "mib2Plugin");
    EXPECT_STREQ(descr, "mib2Plugin Solaris version 1.0000");
    char small[30];
    ASSERT_EQ(modinfo(name, sizeof name, small, sizeof small), 1);
    EXPECT_EQ(std::strlen(small), 29u);
    qelEventEntry_t e{};
    EXPECT_EQ(mib2TrapHandler(&e), 0);
    qelCopyField(e.eventSource, "host1");
    EXPECT_EQ(mib2TrapHandler(&e), 1);
    EXPECT_EQ(finish(), 1);
    EXPECT_TRUE(hostdouble::vars.empty());
    ASSERT_FALSE(hostdouble::logLines.empty());
    EXPECT_EQ(hostdouble::logLines.back(), "Mib2 finish returning");
    ASSERT_EQ(init(), 1); // for TearDown
}

// The agent's debug level, taken at init, decides whether the selects'
// summaries and the refreshes' debug lines are written.
TEST_F(Mib2, DebugLinesFollowTheAgentsDebugLevel) {
    hostfs::setHostRoot(fixturePath("mib2host1"));
    auto selectUdp = [&] {
        Columns cols("udpTable", defs({"udpLocalPort"}));
        Reply r(0);
        testing::internal::CaptureStderr();
        EXPECT_EQ(var_udpTable((char *)"*", cols.head(), &r.pdu), noError);
        reloadStats();
        return testing::internal::GetCapturedStderr();
    };
    std::string quiet = selectUdp();
    EXPECT_EQ(quiet.find("var_udpTable: "), std::string::npos) << quiet;
    EXPECT_EQ(quiet.find("reloadStats: starting"), std::string::npos) << quiet;

    ASSERT_EQ(finish(), 1);
    hostdouble::debugLevel = 1;
    ASSERT_EQ(init(), 1);
    std::string debug = selectUdp();
    hostdouble::debugLevel = 0;
    ASSERT_EQ(finish(), 1);
    ASSERT_EQ(init(), 1); // the level back to the default, for the next cases
    EXPECT_NE(debug.find("var_udpTable: "), std::string::npos) << debug;
    EXPECT_NE(debug.find("reloadStats: starting\nconvert_ipstats: forw:"), std::string::npos) << debug;
    EXPECT_NE(debug.find("reloadStats: done\n"), std::string::npos) << debug;
    EXPECT_EQ(selectUdp().find("reloadStats: done"), std::string::npos);
}

TEST_F(Mib2, ScalarHandlers) {
    hostfs::setHostRoot(fixturePath("mib2host1"));
    reloadStats();
    qelVariable_t v{};
    auto get = [&](const char *obj) {
        std::memset(&v, 0, sizeof v);
        qelVar_t *d = hostdouble::find(obj);
        EXPECT_NE(d, nullptr);
        EXPECT_EQ(d->get(d, &v), noError) << obj;
        return std::string(v.valueStr, static_cast<size_t>(v.valueStrLen));
    };
    EXPECT_EQ(get("pluginVersion"), "1.0000");
    EXPECT_EQ(get("ipForwarding"), "2");
    EXPECT_EQ(get("ipInReceives"), "1001");
    EXPECT_EQ(get("ipRoutingDiscards"), "0");
    EXPECT_EQ(get("icmpInTimestamps"), "30"); // icmpInEchoReps is skipped
    EXPECT_EQ(get("icmpOutAddrMaskReps"), "46");
    EXPECT_EQ(get("udpNoPorts"), "49"); // 47 IPv4 + 2 IPv6
    EXPECT_EQ(get("tcpMaxConn"), "-1");
    EXPECT_EQ(get("tcpCurrEstab"), "58");
    EXPECT_EQ(get("tcpOutRsts"), "18446744073709551615");
    // A hint outside a handler's range.
    qelVar_t *ipDef = hostdouble::find("ipForwarding");
    qelVar_t bogus = *ipDef;
    bogus.hint = 64;
    std::memcpy(v.valueStr, "junk", 5);
    v.valueStrLen = 4;
    EXPECT_EQ(ipDef->get(&bogus, &v), noSuchName);
    EXPECT_EQ(v.valueStrLen, 0);
    bogus.hint = 20;
    EXPECT_EQ(hostdouble::find("icmpInMsgs")->get(&bogus, &v), noSuchName);
}

TEST_F(Mib2, SelectAllExactAndMaxRows) {
    setTcpRows(5);
    qelTableHandler_t sel = def("tcpConnTable")->select;
    Columns cols("tcpConnTable", defs({"tcpConnState", "tcpConnLocalAddress", "tcpConnLocalPort", "tcpConnRemAddress",
                                       "tcpConnRemPort"}));
    {
        Reply r(0);
        EXPECT_EQ(sel((char *)"*", cols.head(), &r.pdu), noError);
        EXPECT_EQ(r.pdu.numberVariables, 25u);
        EXPECT_EQ(r.pdu.errorStatus, noError);
        auto l = r.list();
        ASSERT_EQ(l.size(), 25u);
        EXPECT_STREQ(l[0]->varName.key, "127.0.0.1:1000:+:127.0.0.2:2000");
        EXPECT_EQ(value(l[0]), "5");
        EXPECT_EQ(value(l[1]), "127.0.0.1");
        EXPECT_EQ(l[1]->varSyntax, ipV4Address);
        EXPECT_EQ(value(l[7]), "1001");
        EXPECT_STREQ(l[24]->varName.objName, "tcpConnRemPort");
    }
    {
        Reply r(0);
        EXPECT_EQ(sel((char *)"127.0.0.1:1003:+:127.0.0.2:2003", cols.head(), &r.pdu), noError);
        auto l = r.list();
        ASSERT_EQ(l.size(), 5u);
        EXPECT_EQ(value(l[2]), "1003");
    }
    {
        Reply r(2); // more rows match than the limit
        EXPECT_EQ(sel((char *)"*", cols.head(), &r.pdu), noError);
        EXPECT_EQ(r.pdu.numberVariables, 10u);
        EXPECT_EQ(r.list().size(), 10u);
        EXPECT_EQ(r.pdu.errorStatus, noError);
    }
    setTcpRows(2);
    {
        Reply r(2); // exactly as many rows as the limit
        EXPECT_EQ(sel((char *)"", cols.head(), &r.pdu), noError);
        EXPECT_EQ(r.pdu.numberVariables, 10u);
        EXPECT_EQ(r.pdu.errorStatus, noErrorMoreData);
    }
    EXPECT_EQ(sel(nullptr, cols.head(), nullptr), genError);
}

TEST_F(Mib2, UnknownColumnAndEmptyTables) {
    pthread_mutex_lock(&mib2_lock);
    numUdps = 0;
    enlarge_udp_table();
    for (int i = 0; i < 2; ++i) {
        mib2UdpEndpt_t &u = udpTable[numUdps++];
        std::memset(&u, 0, sizeof u);
        u.ipVersion = i == 0 ? 4 : 6;
        u.localIp = inet_addr("127.0.0.1");
        qelCopyField(u.localIPv6, "0000:0000:0000:0000:0000:0000:0000:0001");
        qelCopyField(u.remIPv6, "0000:0000:0000:0000:0000:0000:0000:0000");
        u.localPort = 53;
        u.state = 5;
    }
    pthread_mutex_unlock(&mib2_lock);
    qelVar_t column6 = *def("udpRemPort");
    column6.hint = 6;
    auto cl = defs({"udpLocalAddress", "udpLocalPort"});
    cl.push_back(&column6);
    Columns cols("udpTable", cl);
    {
        Reply r(0);
        testing::internal::CaptureStderr();
        EXPECT_EQ(var_udpTable((char *)"*", cols.head(), &r.pdu), noSuchName);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "varUdpTable: invalid column\n");
        EXPECT_EQ(r.pdu.errorStatus, noSuchName);
        EXPECT_EQ(r.pdu.errorIndex, 2u);
        EXPECT_EQ(r.pdu.numberVariables, 2u);
    }
    {
        Columns ok("udpTable", defs({"udpLocalAddress", "udpRemAddress"}));
        Reply r(0);
        EXPECT_EQ(var_udpTable((char *)"0000:0000:0000:0000:0000:0000:0000:0001:53", ok.head(), &r.pdu), noError);
        auto l = r.list();
        ASSERT_EQ(l.size(), 2u);
        EXPECT_EQ(l[0]->varSyntax, ipV6Address);
        EXPECT_EQ(l[1]->varSyntax, ipV6Address);
    }
    pthread_mutex_lock(&mib2_lock);
    numUdps = numRoutes = numArps = numAddrs = numIfs = 0;
    pthread_mutex_unlock(&mib2_lock);
    struct {
        qelTableHandler_t fn;
        const char *col;
    } tables[] = {{var_udpTable, "udpLocalPort"},
                  {var_routeTable, "ipRouteDest"},
                  {var_arpTable, "ipNetToMediaIfname"},
                  {var_addrTable, "ipAdEntAddr"},
                  {var_ifTable, "ifDescr"}};
    for (auto &t : tables) {
        Columns c("", defs({t.col}));
        Reply r(0);
        EXPECT_EQ(t.fn((char *)"*", c.head(), &r.pdu), noError) << t.col;
        EXPECT_EQ(r.pdu.numberVariables, 0u);
        EXPECT_EQ(r.pdu.errorStatus, noErrorMoreData) << t.col; // 0 rows == maxRows 0
        EXPECT_EQ(r.pdu.varList, nullptr);
    }
}

// A host whose kernel numbers lo 1, ifb0 2, ifb1 3, eth0 5 (4 was a link
// removed since), with IPv4 and
// IPv6 addresses on lo and eth0, as getifaddrs lists them: links first,
// then the IPv4 and the IPv6 addresses.
TEST_F(Mib2, IfTableHasOneRowPerInterfaceWithTheKernelsIndex) {
    hostfs::setHostRoot(fixturePath("mib2host1"));
    std::vector<mib2::IfAddrInfo> addrs;
    auto add = [&](const char *name, int family, unsigned index, const char *addr) {
        mib2::IfAddrInfo i;
        i.name = name;
        i.family = family;
        i.flags = IFF_UP | IFF_RUNNING;
        i.ifIndex = family == AF_PACKET ? index : 0;
        if (addr)
            inet_pton(family, addr, i.addr);
        addrs.push_back(i);
    };
    add("lo", AF_PACKET, 1, nullptr);
    add("ifb0", AF_PACKET, 2, nullptr);
    add("ifb1", AF_PACKET, 3, nullptr);
    add("eth0", AF_PACKET, 5, nullptr);
    add("lo", AF_INET, 0, "127.0.0.1");
    add("eth0", AF_INET, 0, "10.0.2.15");
    add("lo", AF_INET6, 0, "::1");
    add("eth0", AF_INET6, 0, "fe80::1");
    firstTime = 1;
    mib2::reloadIfTableFrom(addrs);
    Columns cols("ifTable", defs({"ifDescr", "ifIndex"}));
    {
        Reply r(0);
        EXPECT_EQ(var_ifTable((char *)"*", cols.head(), &r.pdu), noError);
        std::vector<std::string> rows;
        auto l = r.list();
        for (size_t i = 0; i + 1 < l.size(); i += 2)
            rows.push_back(value(l[i]) + "=" + value(l[i + 1]));
        EXPECT_EQ(rows, (std::vector<std::string>{"lo=1", "ifb0=2", "ifb1=3", "eth0=5"}));
    }
    {
        Reply r(0);
        EXPECT_EQ(var_ifTable((char *)"eth0", cols.head(), &r.pdu), noError);
        auto l = r.list();
        ASSERT_EQ(l.size(), 2u) << "one row for one key";
        EXPECT_EQ(value(l[1]), "5");
    }
}

TEST_F(Mib2, IfTableByAliasAndArpWithoutHardwareAddress) {
    hostfs::setHostRoot(fixturePath("mib2host1"));
    mib2::IfAddrInfo eth, lo;
    eth.name = "eth0";
    eth.family = AF_PACKET;
    eth.flags = IFF_UP | IFF_RUNNING;
    eth.hwaddrlen = 6;
    eth.hwaddr[0] = 0x52;
    eth.hwaddr[5] = 0x01;
    lo.name = "lo";
    lo.family = AF_PACKET;
    lo.flags = IFF_UP | IFF_RUNNING | IFF_LOOPBACK;
    lo.mtu = 65536;
    firstTime = 1;
    mib2::reloadIfTableFrom({eth, lo});
    Columns cols("ifTable", defs({"ifDescr", "ifType", "ifMtu", "ifPhysAddress", "ifIndex", "ifSpeed"}));
    {
        Reply r(0);
        EXPECT_EQ(var_ifTable((char *)"lo0", cols.head(), &r.pdu), noError);
        auto l = r.list();
        ASSERT_EQ(l.size(), 6u);
        EXPECT_STREQ(l[0]->varName.key, "lo");
        EXPECT_EQ(value(l[0]), "lo");
        EXPECT_EQ(value(l[1]), "24");
        EXPECT_EQ(value(l[2]), "65536");
        EXPECT_EQ(value(l[3]), "");
        EXPECT_EQ(value(l[4]), "1"); // the kernel's index (the fixture's /sys)
        EXPECT_EQ(value(l[5]), "1"); // no speed known
    }
    {
        Reply r(0);
        EXPECT_EQ(var_ifTable((char *)"*", cols.head(), &r.pdu), noError);
        auto l = r.list();
        ASSERT_EQ(l.size(), 12u);
        EXPECT_STREQ(l[6]->varName.key, "eth0"); // after lo, in the kernel's order
        EXPECT_EQ(value(l[9]), "52:00:00:00:00:01");
        EXPECT_EQ(l[9]->varSyntax, physAddress);
        EXPECT_EQ(value(l[10]), "2");
        EXPECT_EQ(value(l[11]), "1000000000");
    }
    reloadStats(); // fixture ARP table: 10.0.2.9 has no hardware address
    Columns arp("ipNetToMediaTable", defs({"ipNetToMediaPhysAddress", "ipNetToMediaNetAddress", "ipNetToMediaType"}));
    Reply r(0);
    EXPECT_EQ(var_arpTable((char *)"eth0,10.0.2.9", arp.head(), &r.pdu), noError);
    auto l = r.list();
    ASSERT_EQ(l.size(), 3u);
    EXPECT_EQ(value(l[0]), "");
    EXPECT_EQ(value(l[1]), "10.0.2.9");
    EXPECT_EQ(value(l[2]), "0");
    Columns route("ipRouteTable", defs({"ipRouteNextHop", "ipRouteMask", "ipRouteIfname"}));
    Reply rr(0);
    EXPECT_EQ(var_routeTable((char *)"0.0.0.0", route.head(), &rr.pdu), noError);
    auto rl = rr.list();
    ASSERT_EQ(rl.size(), 3u);
    EXPECT_EQ(value(rl[0]), "10.0.2.1");
    EXPECT_EQ(value(rl[1]), "0.0.0.0");
    EXPECT_EQ(value(rl[2]), "eth0");
}

// Stop returns only when the worker is done with the plug-in's state, so
// start/stop cycles never leave a worker behind or overlap two; under the
// thread sanitizer this also checks the stop flag and the hand-over.
TEST_F(Mib2, WorkerStartStopCyclesLeaveNoWorkerBehind) {
    hostfs::setHostRoot(fixturePath("mib2host1"));
    testing::internal::CaptureStderr();
    const int cycles = 5;
    for (int i = 0; i < cycles; ++i) {
        ASSERT_EQ(solarisMib2_start(), 1);
        solarisMib2_stop();
    }
    std::string err = testing::internal::GetCapturedStderr();
    size_t returned = 0;
    for (size_t at = err.find("worker thread returning"); at != std::string::npos;
         at = err.find("worker thread returning", at + 1))
        ++returned;
    EXPECT_EQ(returned, static_cast<size_t>(cycles));
    EXPECT_EQ(mib2ThreadKill, 1);
}

TEST_F(Mib2, WorkerRefreshesAtOnceAndStopsOnFinish) {
    statsTime = 0;
    ifTableTime = 0;
    hostfs::setHostRoot(fixturePath("mib2host1"));
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    ASSERT_EQ(solarisMib2_start(), 1);
    // The first snapshot is taken right after the start; bounded wait. The
    // worker writes the time under the table lock.
    auto snapshotTaken = [] {
        pthread_mutex_lock(&mib2_lock);
        bool taken = statsTime != 0;
        pthread_mutex_unlock(&mib2_lock);
        return taken;
    };
    for (int i = 0; i < 500 && !snapshotTaken(); ++i)
        usleep(10000);
    solarisMib2_stop(); // returns once the worker has left
    std::string err = testing::internal::GetCapturedStderr();
    testing::internal::GetCapturedStdout();
    EXPECT_NE(statsTime, 0);
    EXPECT_EQ(mib2GetNumberTcpConnections(), 4);
    EXPECT_NE(err.find("solarisMib2: worker thread returning\n"), std::string::npos);
    EXPECT_EQ(mib2ThreadKill, 1);
}

TEST_F(Mib2, RefreshPeriodFromTheEnvironmentIsBounded) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(mib2SetRefreshSeconds("0"), -1);
    EXPECT_EQ(mib2SetRefreshSeconds("31"), -1);
    EXPECT_EQ(mib2SetRefreshSeconds("2x"), -1);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("mib2: MIB2_REFRESH_SECONDS \"2x\" ignored (1-30), refreshing every 30 s\n"), std::string::npos)
        << err;
    EXPECT_EQ(mib2SetRefreshSeconds(nullptr), 1);
    EXPECT_EQ(mib2SetRefreshSeconds(""), 1);

    // A short period makes the worker take a second snapshot soon.
    ASSERT_EQ(mib2SetRefreshSeconds("1"), 1);
    statsTime = 0;
    ifTableTime = 0;
    hostfs::setHostRoot(fixturePath("mib2host1"));
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    // The worker writes the snapshot time under the table lock.
    auto snapshotTime = [] {
        pthread_mutex_lock(&mib2_lock);
        time_t t = statsTime;
        pthread_mutex_unlock(&mib2_lock);
        return t;
    };
    ASSERT_EQ(solarisMib2_start(), 1);
    for (int i = 0; i < 500 && snapshotTime() == 0; ++i)
        usleep(10000);
    time_t first = snapshotTime();
    for (int i = 0; i < 1000 && snapshotTime() == first; ++i)
        usleep(10000);
    time_t second = snapshotTime();
    solarisMib2_stop();
    mib2SetRefreshSeconds(nullptr);
    testing::internal::GetCapturedStderr();
    testing::internal::GetCapturedStdout();
    EXPECT_NE(first, 0);
    EXPECT_GT(second, first);
}
