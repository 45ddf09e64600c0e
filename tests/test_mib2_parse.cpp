// link: mib2core hostfs
// Parsers of the Linux network and statistics files, and the kernel-
// statistics readers, on text and on the fixture tree mib2host1.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <cstdlib>

#include "hostfs.h"
#include "mib2parse.h"
#include "solaris_kstat.h"
#include "testutil.h"

using namespace testutil;

namespace {

std::string fixtureFile(const std::string &rel) {
    return readFile(fixturePath("mib2host1/" + rel));
}

u_int ip(const char *text) {
    return inet_addr(text);
}

class HostRoot : public ::testing::Test {
protected:
    void SetUp() override { hostfs::setHostRoot(fixturePath("mib2host1")); }
    void TearDown() override {
        kstat_finish();
        hostfs::setHostRoot("/");
    }
};

} // namespace

TEST(Hostfs, RootPrefixesPathsAndReadsFiles) {
    TempDir dir;
    ASSERT_EQ(::mkdir((dir.path() + "/etc").c_str(), 0755), 0);
    writeFile(dir.path() + "/etc/hostname", "fixture-host\nsecond\n");
    hostfs::setHostRoot(dir.path() + "/");
    EXPECT_EQ(hostfs::hostPath("/etc/hostname"), dir.path() + "/etc/hostname");
    EXPECT_FALSE(hostfs::hostRootIsReal());
    std::string text;
    ASSERT_TRUE(hostfs::readHostLine("/etc/hostname", text));
    EXPECT_EQ(text, "fixture-host");
    ASSERT_TRUE(hostfs::readHostFile("/etc/hostname", text, 4));
    EXPECT_EQ(text, "fixt"); // the limit bounds the read
    EXPECT_FALSE(hostfs::readHostFile("/etc/missing", text));
    EXPECT_TRUE(text.empty());
    auto names = hostfs::listHostDir("/etc");
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(names[0], "hostname");
    EXPECT_TRUE(hostfs::listHostDir("/nowhere").empty());
    hostfs::setHostRoot("/");
    EXPECT_TRUE(hostfs::hostRootIsReal());
    EXPECT_EQ(hostfs::hostPath("/proc/stat"), "/proc/stat");
}

TEST(Hostfs, SafeComponentRejectsTraversal) {
    EXPECT_TRUE(hostfs::isSafeComponent("eth0"));
    EXPECT_FALSE(hostfs::isSafeComponent(".."));
    EXPECT_FALSE(hostfs::isSafeComponent("."));
    EXPECT_FALSE(hostfs::isSafeComponent(""));
    EXPECT_FALSE(hostfs::isSafeComponent("../../etc"));
}

TEST(Mib2Parse, SnmpCountersByName) {
    ipStats_t ipS;
    icmpStats_t icmpS;
    tcpStats_t tcpS;
    udpStats_t udpS;
    ASSERT_TRUE(mib2::parseSnmp(fixtureFile("proc/net/snmp"), ipS, icmpS, tcpS, udpS));
    EXPECT_EQ(ipS.ipForwarding, 2);
    EXPECT_EQ(ipS.ipDefaultTTL, 64);
    EXPECT_EQ(ipS.ipInReceives, 1001u);
    EXPECT_EQ(ipS.ipFragCreates, 1017u);
    EXPECT_EQ(ipS.ipRoutingDiscards, 0u); // Linux has no such counter
    // Columns Linux adds (InCsumErrors, OutRateLimit...) do not shift the rest.
    EXPECT_EQ(icmpS.icmpInMsgs, 21u);
    EXPECT_EQ(icmpS.icmpInDestUnreachs, 23u);
    EXPECT_EQ(icmpS.icmpInAddrMaskReps, 33u);
    EXPECT_EQ(icmpS.icmpOutMsgs, 34u);
    EXPECT_EQ(icmpS.icmpOutDestUnreachs, 36u);
    EXPECT_EQ(icmpS.icmpOutAddrMaskReps, 46u);
    EXPECT_EQ(tcpS.tcpMaxConn, -1);
    EXPECT_EQ(tcpS.tcpRtoMax, 120000);
    EXPECT_EQ(tcpS.tcpActiveOpens, 54u);
    EXPECT_EQ(tcpS.tcpCurrEstab, 58);
    EXPECT_EQ(tcpS.tcpOutRsts, 18446744073709551615ull);
    EXPECT_EQ(udpS.udpInDatagrams, 46u);
    EXPECT_EQ(udpS.udpOutDatagrams, 49u);
}

TEST(Mib2Parse, SnmpRejectsTextWithoutIpGroup) {
    ipStats_t ipS;
    icmpStats_t icmpS;
    tcpStats_t tcpS;
    udpStats_t udpS;
    EXPECT_FALSE(mib2::parseSnmp("", ipS, icmpS, tcpS, udpS));
    EXPECT_FALSE(mib2::parseSnmp("Ip: Forwarding InReceives\nTcp: 1 2\n", ipS, icmpS, tcpS, udpS));
    // A short value line fills what it has.
    ASSERT_TRUE(mib2::parseSnmp("Ip: Forwarding InReceives OutRequests\nIp: 1 77\n", ipS, icmpS, tcpS, udpS));
    EXPECT_EQ(ipS.ipInReceives, 77u);
    EXPECT_EQ(ipS.ipOutRequests, 0u);
}

TEST(Mib2Parse, TcpFileGivesMib2Records) {
    std::vector<mib2::SockRecord> socks;
    EXPECT_EQ(mib2::parseProcSockets(fixtureFile("proc/net/tcp"), 4, socks), 1); // the garbage line
    ASSERT_EQ(socks.size(), 4u);
    mib2TcpConn_t c;
    ASSERT_TRUE(mib2::toTcpConn(socks[0], c));
    EXPECT_EQ(c.localIp, ip("0.0.0.0"));
    EXPECT_EQ(c.localPort, 22u);
    EXPECT_EQ(c.state, 2); // listen
    EXPECT_EQ(c.inode, 12345u);
    EXPECT_EQ(c.ipVersion, 4);
    ASSERT_TRUE(mib2::toTcpConn(socks[1], c));
    EXPECT_EQ(c.localIp, ip("127.0.0.1"));
    EXPECT_EQ(c.remIp, ip("127.0.0.1"));
    EXPECT_EQ(c.localPort, 8080u);
    EXPECT_EQ(c.remPort, 50000u);
    EXPECT_EQ(c.state, 5); // established
    ASSERT_TRUE(mib2::toTcpConn(socks[2], c));
    EXPECT_EQ(c.localIp, ip("10.0.2.2"));
    EXPECT_EQ(c.remIp, ip("10.0.2.3"));
    EXPECT_EQ(c.state, 11); // time-wait
    EXPECT_EQ(c.inode, 0u);
    EXPECT_FALSE(mib2::toTcpConn(socks[3], c)); // local port 0 is left out
}

TEST(Mib2Parse, Tcp6FileGives39CharacterAddresses) {
    std::vector<mib2::SockRecord> socks;
    EXPECT_EQ(mib2::parseProcSockets(fixtureFile("proc/net/tcp6"), 6, socks), 0);
    ASSERT_EQ(socks.size(), 1u);
    mib2TcpConn_t c;
    ASSERT_TRUE(mib2::toTcpConn(socks[0], c));
    EXPECT_EQ(c.ipVersion, 6);
    EXPECT_STREQ(c.localIPv6, "0000:0000:0000:0000:0000:0000:0000:0001");
    EXPECT_STREQ(c.remIPv6, "0000:0000:0000:0000:0000:0000:0000:0000");
    EXPECT_EQ(std::strlen(c.localIPv6), 39u);
    EXPECT_EQ(c.localPort, 8081u);
    EXPECT_EQ(c.localIp, 0u);
}

TEST(Mib2Parse, UdpStatesAndLeftOutEndpoints) {
    std::vector<mib2::SockRecord> socks;
    mib2::parseProcSockets(fixtureFile("proc/net/udp"), 4, socks);
    ASSERT_EQ(socks.size(), 3u);
    mib2UdpEndpt_t u;
    ASSERT_TRUE(mib2::toUdpEndpt(socks[0], u));
    EXPECT_EQ(u.localPort, 68u);
    EXPECT_EQ(u.state, convertUDPState(2)); // bound, idle
    EXPECT_EQ(u.state, 5);
    ASSERT_TRUE(mib2::toUdpEndpt(socks[1], u));
    EXPECT_EQ(u.state, 3); // connected
    EXPECT_EQ(u.remPort, 53u);
    EXPECT_EQ(u.inode, 5002u);
    EXPECT_FALSE(mib2::toUdpEndpt(socks[2], u)); // local port 0

    socks.clear();
    mib2::parseProcSockets(fixtureFile("proc/net/udp6"), 6, socks);
    ASSERT_EQ(socks.size(), 1u);
    ASSERT_TRUE(mib2::toUdpEndpt(socks[0], u));
    EXPECT_STREQ(u.localIPv6, "fe80:0000:0000:0000:0200:54ff:fe0e:0b7a");
    EXPECT_EQ(u.localPort, 546u);
}

TEST(Mib2Parse, ConvertUdpState) {
    EXPECT_EQ(convertUDPState(1), 4);
    EXPECT_EQ(convertUDPState(2), 5);
    EXPECT_EQ(convertUDPState(3), 3);
    EXPECT_EQ(convertUDPState(0), 1);
    EXPECT_EQ(convertUDPState(9), 1);
}

TEST(Mib2Parse, TcpStateNumbering) {
    const int expect[][2] = {{1, 5}, {2, 3}, {3, 4}, {4, 6},  {5, 7},   {6, 11},
                             {7, 1}, {8, 8}, {9, 9}, {10, 2}, {11, 10}, {12, 4}};
    for (auto &e : expect)
        EXPECT_EQ(mib2::tcpStateToMib2(e[0]), e[1]) << e[0];
}

TEST(Mib2Parse, RouteFile) {
    std::vector<mib2::RouteRecord> routes;
    EXPECT_EQ(mib2::parseProcRoute(fixtureFile("proc/net/route"), routes), 0);
    ASSERT_EQ(routes.size(), 4u);
    ipRoute_t r;
    mib2::toRoute(routes[0], 2, r);
    EXPECT_STREQ(r.ifname, "eth0");
    EXPECT_EQ(r.ipv4dest, 0u);
    EXPECT_EQ(r.ipv4gway, ip("10.0.2.1"));
    EXPECT_EQ(r.routeMetric, 100u);
    EXPECT_EQ(r.routeType, 4u);  // indirect
    EXPECT_EQ(r.routeProto, 3u); // netmgmt
    EXPECT_EQ(r.ifIndex, 2u);
    EXPECT_EQ(r.ipVersion, 4);
    mib2::toRoute(routes[1], 2, r);
    EXPECT_EQ(r.ipv4dest, ip("10.0.2.0"));
    EXPECT_EQ(r.ipv4mask, ip("255.255.255.0"));
    EXPECT_EQ(r.routeType, 3u); // direct
    EXPECT_EQ(r.routeProto, 2u);
    EXPECT_EQ(r.iretype, 0x02u);
    mib2::toRoute(routes[2], 2, r);
    EXPECT_EQ(r.iretype, 0x08u);                 // host route
    EXPECT_EQ(routes[3].flags & 0x200u, 0x200u); // reject route parsed, flagged
}

// /proc/net/ipv6_route: no header, addresses as 32 hex digits in byte
// order, numbers in hex. The default route keeps its gateway and a prefix
// length of 0; a malformed line is counted and left out.
TEST(Mib2Parse, Ipv6RouteFile) {
    const char *text =
        "20010db8000100000000000000000000 40 00000000000000000000000000000000 00 "
        "00000000000000000000000000000000 00000100 00000001 00000000 00000001     eth0\n"
        "00000000000000000000000000000000 00 00000000000000000000000000000000 00 "
        "20010db8000100000000000000000001 00000400 00000002 00000005 00000003     eth0\n"
        "not a route\n";
    std::vector<mib2::RouteRecord> routes;
    EXPECT_EQ(mib2::parseProcIpv6Route(text, routes), 1);
    ASSERT_EQ(routes.size(), 2u);
    ipRoute_t r;
    mib2::toRoute(routes[0], 3, r);
    EXPECT_EQ(r.ipVersion, 6);
    EXPECT_STREQ(r.ipv6dest, "2001:db8:1::");
    EXPECT_EQ(r.ipv6PrefixLen, 64u);
    EXPECT_STREQ(r.ipv6gway, "::");
    EXPECT_EQ(r.routeMetric, 256u);
    EXPECT_EQ(r.ifIndex, 3u);
    EXPECT_EQ(r.ipv4dest, 0u);
    mib2::toRoute(routes[1], 3, r);
    EXPECT_STREQ(r.ipv6dest, "::");
    EXPECT_EQ(r.ipv6PrefixLen, 0u);
    EXPECT_STREQ(r.ipv6gway, "2001:db8:1::1");
    EXPECT_EQ(r.routeMetric, 1024u);
    EXPECT_EQ(r.use, 5u);
    EXPECT_EQ(r.routeType, 4u) << "a route through a gateway is indirect";
}

TEST(Mib2Parse, ArpFile) {
    std::vector<mib2::NeighRecord> n;
    EXPECT_EQ(mib2::parseProcArp(fixtureFile("proc/net/arp"), n), 0);
    ASSERT_EQ(n.size(), 4u);
    arpEntry_t a;
    mib2::toArp(n[0], 2, a);
    EXPECT_STREQ(a.ifname, "eth0");
    EXPECT_EQ(a.ipv4addr, ip("10.0.2.1"));
    EXPECT_EQ(a.hwaddrlen, 6);
    const u_char mac[6] = {0x52, 0x54, 0x00, 0x12, 0x35, 0x02};
    EXPECT_EQ(std::memcmp(a.hwaddr, mac, 6), 0);
    mib2::toArp(n[1], 2, a); // incomplete: no hardware address
    EXPECT_EQ(a.hwaddrlen, 0);
    EXPECT_EQ(n[2].flags, 6u);
    EXPECT_EQ(n[3].ifname, "tun0"); // a link without hardware addresses
    EXPECT_EQ(n[3].hwaddrlen, 0);
}

TEST(Mib2Parse, MalformedTextNeverCrashes) {
    std::vector<mib2::SockRecord> s;
    std::vector<mib2::RouteRecord> r;
    std::vector<mib2::NeighRecord> n;
    const char *bad[] = {"",
                         "\n\n",
                         "header\n 0: ZZZZ:1 x y\n",
                         "h\n0: 0100007F:FFFFF 0:0 01 a b c d e f\n",
                         "h\n\t\t\n",
                         "h\n1.2.3.4 0x1 0x2 zz:zz *  eth0\n"};
    for (const char *t : bad) {
        mib2::parseProcSockets(t, 4, s);
        mib2::parseProcSockets(t, 6, s);
        mib2::parseProcRoute(t, r);
        mib2::parseProcArp(t, n);
    }
    EXPECT_TRUE(s.empty());
    EXPECT_TRUE(r.empty());
    EXPECT_TRUE(n.empty());
}

TEST(Mib2Parse, Ipv6TextForm) {
    unsigned char lo[16] = {};
    lo[15] = 1;
    char buf[48];
    ASSERT_EQ(convertIPv6Bytes(lo, buf, sizeof buf), 1);
    EXPECT_STREQ(buf, "0000:0000:0000:0000:0000:0000:0000:0001");
    char small[10];
    ASSERT_EQ(convertIPv6Bytes(lo, small, sizeof small), 1);
    EXPECT_STREQ(small, "0000:0000"); // cut, terminated
    EXPECT_EQ(convertIPv6Bytes(nullptr, buf, sizeof buf), -1);
}

/* ---- readers ---- */

TEST(KstatParse, ProcStatAndFriends) {
    kstatCpuStat_t c{};
    ASSERT_TRUE(kstatparse::parseProcStatCpu(fixtureFile("proc/stat"), 1, c));
    EXPECT_EQ(c.user, 4690u);
    EXPECT_EQ(c.kernel, 1622u + 2 + 17 + 5);
    EXPECT_EQ(c.idle, 38400u);
    EXPECT_EQ(c.wait, 342u);
    EXPECT_FALSE(kstatparse::parseProcStatCpu(fixtureFile("proc/stat"), 2, c));
    uint64_t bt;
    ASSERT_TRUE(kstatparse::parseProcStatBtime(fixtureFile("proc/stat"), bt));
    EXPECT_EQ(bt, 1733620000u);
    uint32_t av[3];
    ASSERT_TRUE(kstatparse::parseLoadavg("0.50 1.25 2.00 3/456 7890\n", av));
    EXPECT_EQ(av[0], 128u);
    EXPECT_EQ(av[1], 320u);
    EXPECT_EQ(av[2], 512u);
    EXPECT_FALSE(kstatparse::parseLoadavg("x y z", av));
    std::vector<kstatIo_t> io;
    EXPECT_EQ(kstatparse::parseDiskstats(fixtureFile("proc/diskstats"), io), 3);
    EXPECT_STREQ(io[1].name, "sda");
    EXPECT_EQ(io[1].reads, 1000u);
    EXPECT_EQ(io[1].nread, 4096u * 512);
    EXPECT_EQ(io[1].writes, 200u);
    EXPECT_EQ(io[1].nwritten, 2048u * 512);
    uint64_t v;
    EXPECT_TRUE(kstatparse::parseSysfsUnsigned("1000\n", v));
    EXPECT_EQ(v, 1000u);
    EXPECT_FALSE(kstatparse::parseSysfsUnsigned("-1\n", v));
}

TEST_F(HostRoot, NamedSystemMiscAndCpuInfo) {
    uint32_t v32 = 0;
    EXPECT_EQ(get_named_kstat(nullptr, 0, (char *)"system_misc", (char *)"avenrun_5min", &v32, 4), 4);
    EXPECT_EQ(v32, 320u);
    uint64_t v64 = 0;
    EXPECT_EQ(get_named_kstat(nullptr, 0, (char *)"system_misc", (char *)"avenrun_15min", &v64, 8), 8);
    EXPECT_EQ(v64, 512u); // zero-extended
    EXPECT_EQ(get_named_kstat(nullptr, 0, (char *)"system_misc", (char *)"boot_time", &v64, 8), 8);
    EXPECT_EQ(v64, 1733620000u);
    int mhz = 0;
    EXPECT_EQ(get_named_kstat((char *)"cpu_info", 0, (char *)"cpu_info0", (char *)"clock_MHz", &mhz, 4), 4);
    EXPECT_EQ(mhz, 2400);
    char type[32];
    std::memset(type, 'x', sizeof type);
    int n = get_named_kstat(nullptr, 0, (char *)"cpu_info0", (char *)"cpu_type", type, sizeof type);
    ASSERT_GT(n, 0);
    EXPECT_LE(n, 15); // a 16-byte character value yields at most 15 characters
    EXPECT_EQ(static_cast<int>(std::strlen(type)), n);
    char brand[8];
    EXPECT_EQ(get_named_kstat(nullptr, 0, (char *)"cpu_info0", (char *)"brand", brand, sizeof brand), 8);
    EXPECT_STREQ(brand, "Test CP");
    EXPECT_EQ(get_named_kstat((char *)"unix", 0, (char *)"file_cache", (char *)"buf_inuse", &v64, 8), 8);
    EXPECT_EQ(v64, 2144u);
}

TEST_F(HostRoot, NamedFailuresLeaveBufferUntouched) {
    uint64_t v = 0xdeadbeefcafef00dull;
    EXPECT_EQ(get_named_kstat(nullptr, 0, (char *)"system_misc", (char *)"avenrun_1min", &v, 3), -1);
    EXPECT_EQ(get_named_kstat(nullptr, 0, (char *)"system_misc", (char *)"avenrun_1min", &v, 6), -1);
    EXPECT_EQ(get_named_kstat(nullptr, 0, (char *)"system_misc", (char *)"nosuch", &v, 8), -1);
    EXPECT_EQ(get_named_kstat(nullptr, 0, (char *)"nosuchkstat", (char *)"rbytes", &v, 8), -1);
    EXPECT_EQ(get_named_kstat(nullptr, 0, (char *)"..", (char *)"rbytes", &v, 8), -1);
    EXPECT_EQ(get_named_kstat(nullptr, 0, (char *)"lo", (char *)"ifspeed", &v, 8), -1); // no speed
    EXPECT_EQ(get_named_kstat(nullptr, 0, (char *)"eth0", nullptr, &v, 8), -1);
    EXPECT_EQ(get_named_kstat(nullptr, 0, (char *)"eth0", (char *)"rbytes", nullptr, 8), -1);
    EXPECT_EQ(v, 0xdeadbeefcafef00dull);
}

TEST_F(HostRoot, InterfaceCounters) {
    uint64_t v = 0;
    EXPECT_EQ(get_named_kstat(nullptr, 0, (char *)"eth0", (char *)"rbytes", &v, 8), 8);
    EXPECT_EQ(v, 987654321012ull);
    uint32_t low = 0;
    EXPECT_EQ(get_named_kstat(nullptr, 0, (char *)"eth0", (char *)"rbytes", &low, 4), 4);
    EXPECT_EQ(low, static_cast<uint32_t>(987654321012ull)); // low 32 bits
    EXPECT_EQ(get_named_kstat(nullptr, 0, (char *)"eth0", (char *)"ifspeed", &v, 8), 8);
    EXPECT_EQ(v, 1000000000u);
    EXPECT_EQ(get_named_kstat(nullptr, 0, (char *)"eth0", (char *)"multrcv", &v, 8), 8);
    EXPECT_EQ(v, 17u);
    EXPECT_EQ(get_named_kstat(nullptr, 0, (char *)"eth0", (char *)"brdcstrcv", &v, 8), 8);
    EXPECT_EQ(v, 0u); // Linux counts no broadcasts
    EXPECT_EQ(get_named_kstat(nullptr, 0, (char *)"eth0", (char *)"norcvbuf", &v, 8), 8);
    EXPECT_EQ(v, 5u);
}

TEST_F(HostRoot, RawCpuStat) {
    kstatCpuStat_t c{};
    EXPECT_EQ(get_raw_kstat((char *)"cpu_stat", (char *)"cpu_stat0", 0, &c, sizeof c), (int)sizeof c);
    EXPECT_EQ(c.user, 1235u);
    EXPECT_EQ(c.idle, 42902u);
    // A null module matches on name and instance alone.
    EXPECT_EQ(get_raw_kstat(nullptr, (char *)"cpu_stat1", 1, &c, sizeof c), (int)sizeof c);
    EXPECT_EQ(c.idle, 38400u);
    EXPECT_EQ(get_raw_kstat(nullptr, (char *)"cpu_stat1", 0, &c, sizeof c), 0); // instance differs
    EXPECT_EQ(get_raw_kstat((char *)"other", (char *)"cpu_stat1", 1, &c, sizeof c), 0);
    EXPECT_EQ(get_raw_kstat(nullptr, (char *)"cpu_stat5", 5, &c, sizeof c), 0);
    EXPECT_EQ(get_raw_kstat(nullptr, nullptr, 0, &c, sizeof c), 0);
    EXPECT_EQ(get_raw_kstat(nullptr, (char *)"cpu_stat0", 0, nullptr, 8), 0);
    uint64_t first = 0;
    EXPECT_EQ(get_raw_kstat(nullptr, (char *)"cpu_stat0", 0, &first, 8), 8); // cut to maxlen
    EXPECT_EQ(first, 1235u);
}

TEST_F(HostRoot, DiskIoKstatsAreWholeRealDisks) {
    kstatIo_t io[8];
    ASSERT_EQ(get_io_kstats("disk", io, 8), 1);
    EXPECT_STREQ(io[0].name, "sda");
    EXPECT_EQ(io[0].nread / 1024, 2048u);
    EXPECT_EQ(get_io_kstats("partition", io, 8), 0);
}

TEST_F(HostRoot, FinishReopensHandle) {
    uint64_t v;
    ASSERT_EQ(get_named_kstat(nullptr, 0, (char *)"system_misc", (char *)"boot_time", &v, 8), 8);
    int opens = kstatHandleOpens();
    ASSERT_EQ(get_named_kstat(nullptr, 0, (char *)"system_misc", (char *)"boot_time", &v, 8), 8);
    EXPECT_EQ(kstatHandleOpens(), opens); // kept open between calls
    kstat_finish();
    ASSERT_EQ(get_named_kstat(nullptr, 0, (char *)"system_misc", (char *)"boot_time", &v, 8), 8);
    EXPECT_EQ(kstatHandleOpens(), opens + 1);
}

TEST(Kstat, UnopenableRootFails) {
    kstat_finish();
    hostfs::setHostRoot("/nonexistent-kestrova-root");
    uint64_t v = 7;
    EXPECT_EQ(get_named_kstat(nullptr, 0, (char *)"system_misc", (char *)"boot_time", &v, 8), -1);
    EXPECT_EQ(get_raw_kstat(nullptr, (char *)"cpu_stat0", 0, &v, 8), -1);
    EXPECT_EQ(v, 7u);
    hostfs::setHostRoot("/");
}

TEST(Kstat, LiveHostAnswers) {
    kstat_finish();
    hostfs::setHostRoot("/");
    uint64_t bt = 0;
    ASSERT_EQ(get_named_kstat(nullptr, 0, (char *)"system_misc", (char *)"boot_time", &bt, 8), 8);
    EXPECT_GT(bt, 1000000000u);
    kstatCpuStat_t c{};
    EXPECT_EQ(get_raw_kstat((char *)"cpu_stat", (char *)"cpu_stat0", 0, &c, sizeof c), (int)sizeof c);
    EXPECT_GT(c.user + c.idle + c.kernel, 0u);
    uint64_t lo = 0;
    EXPECT_EQ(get_named_kstat(nullptr, 0, (char *)"lo", (char *)"rbytes", &lo, 8), 8);
}

// Linux counts IPv6 UDP apart; the UDP group holds both families.
TEST(Mib2Parse, Snmp6AddsTheIpv6UdpCounters) {
    ipStats_t ipS;
    icmpStats_t icmpS;
    tcpStats_t tcpS;
    udpStats_t udpS;
    ASSERT_TRUE(mib2::parseSnmp(fixtureFile("proc/net/snmp"), ipS, icmpS, tcpS, udpS));
    udpStats_t v4 = udpS;
    EXPECT_EQ(mib2::addSnmp6Udp(fixtureFile("proc/net/snmp6"), udpS), 4);
    EXPECT_EQ(udpS.udpInDatagrams, v4.udpInDatagrams + 34);
    EXPECT_EQ(udpS.udpNoPorts, v4.udpNoPorts + 2);
    EXPECT_EQ(udpS.udpInErrors, v4.udpInErrors + 1);
    EXPECT_EQ(udpS.udpOutDatagrams, v4.udpOutDatagrams + 40);
    udpStats_t untouched = v4;
    EXPECT_EQ(mib2::addSnmp6Udp("Udp6InDatagrams\nUdp6NoPorts x\ngarbage\n", untouched), 0);
    EXPECT_EQ(untouched.udpInDatagrams, v4.udpInDatagrams);
}
