// link: kestrova_frame kestrova_core
// Discovery of network services: the parsers of each configuration format on
// text, then whole host trees (tests/fixtures/discovery-debian and
// discovery-rhel, daemons as proc/PID/stat files) run through the real
// addLocalDependency into a test graph, row by row; the kernel routes through
// a mib2 double.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "kestrova_test_host.h"
#include "depend_services.h"
#include "dependency.h"
#include "discovery.h"
#include "hostfs.h"
#include "testutil.h"
#include "qel/log.h"

using namespace kestrova::services;
using Strings = std::vector<std::string>;

// Filled once the process table lands; until then isProcessRunning looks at
// the tree on every call.
extern "C" int reload_process_table(void) __attribute__((weak));

namespace {

// ---- parsers on text ----

TEST(ServiceParse, LinesAreCutLikeAFixedBufferReadsThem) {
    auto lines = splitLines("ab\ncdef\n\ng", 3);
    EXPECT_EQ(lines, (std::vector<std::string_view>{"ab\n", "cdef", "\n", "\n", "g"}));
    EXPECT_EQ(chompNewline("x\n"), "x");
    EXPECT_EQ(chompNewline("x\n\n"), "x\n");
    EXPECT_TRUE(splitLines("", 10).empty());
    // A line one longer than the bound continues as a line of its own.
    std::string longLine = "nameserver " + std::string(kLongLine, 'x') + "\nnameserver 192.0.2.7\n";
    EXPECT_EQ(splitLines(longLine, kLongLine).size(), 3u);
}

TEST(ServiceParse, WordsAreBoundedWithoutSpillingIntoTheNext) {
    EXPECT_EQ(words("  a\tbb  c ", 2, 10), (Strings{"a", "bb"}));
    EXPECT_EQ(words("abcdef ghi", 2, 3), (Strings{"abc", "ghi"}));
    EXPECT_EQ(words("", 2, 3), Strings{});
    EXPECT_EQ(dropQuotes("\"192.0.2.1\""), "192.0.2.1");
    EXPECT_EQ(dropQuotes("'dom'"), "dom");
    EXPECT_EQ(dropQuotes("\"mixed'"), "\"mixed'");
    EXPECT_EQ(dropQuotes("\""), "\"");
    EXPECT_EQ(dropQuotes("\"\"x\"\""), "\"x\"");
}

TEST(ServiceParse, LoopbackAndVersionOfAddressTexts) {
    EXPECT_TRUE(isLoopbackText("127.0.0.53"));
    EXPECT_TRUE(isLoopbackText("127.127.1.0"));
    EXPECT_TRUE(isLoopbackText("::1"));
    EXPECT_FALSE(isLoopbackText("128.0.0.1"));
    EXPECT_FALSE(isLoopbackText("localhost"));
    EXPECT_EQ(ipVersionOfText("192.0.2.1"), 4);
    EXPECT_EQ(ipVersionOfText("2001:db8::1"), 6);
    EXPECT_EQ(ipVersionOfText("gw.example.test"), 0);
}

TEST(ServiceParse, ResolvConf) {
    // Every server, in file order: the resolver asks each in turn.
    ResolvConf rc = parseResolvConf("nameserver 192.0.2.1\nnameserver 192.0.2.2\nnameserver 2001:db8::53\n");
    EXPECT_EQ(rc.servers, (Strings{"192.0.2.1", "192.0.2.2", "2001:db8::53"}));
    EXPECT_EQ(rc.args, "");
    // Whichever of domain and search comes last gives the args.
    EXPECT_EQ(parseResolvConf("domain a.test\nsearch b.test c.test\nnameserver x\n").args, "search='b.test'");
    EXPECT_EQ(parseResolvConf("search b.test\ndomain a.test\nnameserver x\n").args, "domain='a.test'");
    // "domain" anywhere in the keyword; "nameserver" only exactly.
    EXPECT_EQ(parseResolvConf("nodomain z.test\n").args, "domain='z.test'");
    rc = parseResolvConf("nameservers 192.0.2.9\n#nameserver 192.0.2.8\n nameserver\t192.0.2.3 extra\n");
    EXPECT_EQ(rc.servers, Strings{"192.0.2.3"});
    // A bare keyword names nobody and does not hide the server before it.
    rc = parseResolvConf("nameserver 192.0.2.4\nnameserver\n");
    EXPECT_EQ(rc.servers, Strings{"192.0.2.4"});
    EXPECT_EQ(parseResolvConf("options edns0\n").servers, Strings{});
    // Without a final newline, and with a word over the bound cut.
    rc = parseResolvConf("nameserver " + std::string(2000, 'a'));
    EXPECT_EQ(rc.servers, Strings{std::string(kLongWord, 'a')});
}

TEST(ServiceParse, FirstLineAndKeyValueFiles) {
    bool found = false;
    EXPECT_EQ(parseFirstLine("192.0.2.1 via lan\n192.0.2.2\n", kLongLine, found), "192.0.2.1 via lan");
    EXPECT_TRUE(found);
    EXPECT_EQ(parseFirstLine("", kLongLine, found), "");
    EXPECT_FALSE(found);
    EXPECT_EQ(parseFirstLine("nonl", kLongLine, found), "nonl");

    EXPECT_EQ(parseKeyValue("GATEWAY=192.0.2.1\n", "GATEWAY", kLongLine), "192.0.2.1");
    EXPECT_EQ(parseKeyValue("GATEWAY=\"192.0.2.1\"\n", "GATEWAY", kLongLine), "192.0.2.1");
    EXPECT_EQ(parseKeyValue("GATEWAY='192.0.2.1'\n", "GATEWAY", kLongLine), "192.0.2.1");
    EXPECT_EQ(parseKeyValue("IPV6_DEFAULTGW=2001:db8::1\n", "GATEWAY", kLongLine), "");
    EXPECT_EQ(parseKeyValue("#GATEWAY=192.0.2.9\n", "GATEWAY", kLongLine), "");
    EXPECT_EQ(parseKeyValue(" GATEWAY=192.0.2.9\nGATEWAY =192.0.2.8\n", "GATEWAY", kLongLine), "");
    // The last line with a value wins; the value ends at the next '='.
    EXPECT_EQ(parseKeyValue("GATEWAY=192.0.2.1\nGATEWAY=192.0.2.2=x\nGATEWAY=\n", "GATEWAY", kLongLine), "192.0.2.2");
    EXPECT_EQ(parseKeyValue("GATEWAY=\"\"\n", "GATEWAY", kLongLine), "");
    EXPECT_EQ(parseKeyValue("NISDOMAIN=\"corp\"\n", "NISDOMAIN", kShortLine), "corp");
}

TEST(ServiceParse, InterfacesGateways) {
    EXPECT_EQ(parseInterfacesGateways("iface eth0 inet static\n    address 192.0.2.10/24\n\tgateway 192.0.2.1\n"
                                      "# gateway 192.0.2.9\n  #gateway 192.0.2.8\ngateway\n"
                                      "iface eth0 inet6 static\n  gateway 2001:db8::1 extra\n"
                                      "  gateways 192.0.2.7\n"),
              (Strings{"192.0.2.1", "2001:db8::1"}));
}

TEST(ServiceParse, YpConf) {
    NisConf nis;
    parseYpConf("# comment\ndomain corp server nis1.test\n", nis);
    EXPECT_EQ(nis.domain, "corp");
    EXPECT_EQ(nis.servers, Strings{"nis1.test"});
    NisConf b;
    parseYpConf("domain corp broadcast\n", b);
    EXPECT_EQ(b.domain, "corp");
    EXPECT_EQ(b.servers, Strings{});
    NisConf c{"keep", {}};
    parseYpConf("ypserver 192.0.2.5\n#ypserver 192.0.2.6\nypserver\n", c);
    EXPECT_EQ(c.domain, "keep");
    EXPECT_EQ(c.servers, Strings{"192.0.2.5"});
    // ypbind binds to each server it is given, so each one counts, in order.
    NisConf e;
    parseYpConf("ypserver nis1.test\ndomain corp server nis2.test\nypserver 192.0.2.7\n", e);
    EXPECT_EQ(e.domain, "corp");
    EXPECT_EQ(e.servers, (Strings{"nis1.test", "nis2.test", "192.0.2.7"}));
    NisConf d;
    parseYpConf("domain " + std::string(300, 'd') + " server s\n", d);
    EXPECT_EQ(d.domain.size(), kNisWord);
    EXPECT_EQ(d.servers, Strings{"s"});
    EXPECT_EQ(parseServerLines("a.test\n#b.test\n\nc.test", kShortLine, kNisWord), (Strings{"a.test", "c.test"}));
}

TEST(ServiceParse, SendmailSmartHosts) {
    EXPECT_EQ(parseSendmailSmartHosts("DS\nDS relay.test\nDS$?mx\nDSa$?mb\n#DSc.test\nDMx\nDSsmtp:[r.test]\n"),
              Strings{"r.test"});
    EXPECT_EQ(parseSendmailSmartHosts("DS" + std::string(200, 'h') + "\n"), Strings{std::string(kMailWord, 'h')});
}

TEST(ServiceParse, PostfixRelayHosts) {
    EXPECT_EQ(parsePostfixRelayHosts("relayhost = [relay.test]\n#relayhost = old.test\nrelayhost =\n"
                                     "relayhost_port = 25\nrelayhost=plain.test\nrelayhost = a.test b.test\n"
                                     "myrelayhost = x.test\n"),
              (Strings{"relay.test", "plain.test", "a.test", "b.test"}));
    // A list (postfix 3.5): every host, commas and blanks alike, in order.
    EXPECT_EQ(parsePostfixRelayHosts("relayhost = [r1.test]:587, r2.test,,[2001:db8::25]\t r3.test\n"),
              (Strings{"r1.test", "r2.test", "2001:db8::25", "r3.test"}));
    EXPECT_EQ(parsePostfixRelayHosts("relayhost = " + std::string(200, 'h') + ",b.test\n"),
              (Strings{std::string(kMailWord, 'h'), "b.test"}));
}

// The brackets, port and mailer prefix tell the mailer how to reach the relay;
// the name inside is what resolves, so a bracketed relay is probed as itself.
TEST(ServiceParse, RelayHostNames) {
    const std::pair<const char *, const char *> cases[] = {
        {"[relay.test]", "relay.test"},
        {"[relay.test]:587", "relay.test"},
        {"relay.test:25", "relay.test"},
        {"smtp:[relay.test]", "relay.test"},
        {"esmtp:relay.test", "relay.test"},
        {"[ipv6:2001:db8::25]", "2001:db8::25"},
        {"[IPv6:2001:db8::25]:25", "2001:db8::25"},
        {"2001:db8::25", "2001:db8::25"},
        {"192.0.2.25:2525", "192.0.2.25"},
        {"relay.test", "relay.test"},
        {"[]", "[]"},
        {"[unclosed", "[unclosed"},
    };
    for (const auto &[in, want] : cases)
        EXPECT_EQ(relayHostName(in), want) << in;
}

TEST(ServiceParse, EximSmartHosts) {
    EXPECT_EQ(parseEximHostList("smart.test::587 : 192.0.2.25"), (Strings{"smart.test", "192.0.2.25"}));
    // In a colon list an address's own colons are doubled.
    EXPECT_EQ(parseEximHostList("[2001::db8::::25]::25"), Strings{"2001:db8::25"});
    EXPECT_EQ(parseEximHostList("<; [2001:db8::25]:587 ; b.test"), (Strings{"2001:db8::25", "b.test"}));
    EXPECT_EQ(parseEximHostList("<; 2001:db8::26"), Strings{"2001:db8::26"});
    EXPECT_EQ(parseEximHostList(""), Strings{});
    EXPECT_EQ(parseEximSmartHosts("dc_smarthost='a.test'\n# dc_smarthost='c.test'\ndc_smarthost=\"b.test::587\"\n"),
              Strings{"b.test"});
    EXPECT_EQ(parseEximSmartHosts("dc_smarthost=''\n"), Strings{});
    EXPECT_EQ(parseEximSmartHosts("dc_smarthosts='x.test'\n"), Strings{});
}

TEST(ServiceParse, NtpServers) {
    // Pool lines count as servers; a -4 or -6 before the host is skipped.
    EXPECT_EQ(parseNtpServers("server a.test iburst\npool p.test\nserver -4 b.test\nserver -6 2001:db8::7\n"
                              "#server c.test\nserver\nserver -4\nservers d.test\nfudge 127.127.1.0\n"
                              "  server e.test\n"),
              (Strings{"a.test", "p.test", "b.test", "2001:db8::7", "e.test"}));
}

TEST(ServiceParse, ChronyConf) {
    ChronyConf conf;
    parseChronyConf(
        "pool p.test iburst\nserver s.test\npeer q.test\n! server x.test\n; server y.test\n"
        "% server z.test\nconfdir /etc/chrony/conf.d\nsourcedir /run/chrony-dhcp /etc/chrony/sources.d\n"
        "refclock PHC /dev/ptp0\n",
        conf);
    EXPECT_EQ(conf.servers, (Strings{"p.test", "s.test", "q.test"}));
    EXPECT_EQ(conf.confdirs, Strings{"/etc/chrony/conf.d"});
    EXPECT_EQ(conf.sourcedirs, (Strings{"/run/chrony-dhcp", "/etc/chrony/sources.d"}));
}

TEST(ServiceParse, TimesyncdConf) {
    TimesyncdConf conf;
    parseTimesyncdConf("[Time]\n#NTP=\nFallbackNTP=f1.test f2.test\n", conf);
    EXPECT_EQ(conf.servers(), (Strings{"f1.test", "f2.test"}));
    parseTimesyncdConf("[Time]\nNTP = a.test b.test\n[Other]\nNTP=c.test\n", conf);
    EXPECT_EQ(conf.servers(), (Strings{"a.test", "b.test"}));
    // A later drop-in's empty assignment clears the list, then refills it.
    parseTimesyncdConf("[Time]\nNTP=\nNTP=d.test\n", conf);
    EXPECT_EQ(conf.servers(), Strings{"d.test"});
    parseTimesyncdConf("[Time]\nNTP=\n", conf);
    EXPECT_EQ(conf.servers(), (Strings{"f1.test", "f2.test"}));
}

// ---- whole trees through addLocalDependency ----

// type|server|args|src|ipVersion of every local dependency.
std::set<std::string> rows() {
    std::set<std::string> out;
    int n = 0;
    dependency_t *all = getDependencies(&n);
    for (int i = 0; i < n; i++) {
        const dependency_t &d = all[i];
        EXPECT_EQ(d.pov, dependOutbound);
        EXPECT_STREQ(d.dependClient, "wren.example.test");
        out.insert(std::to_string(d.dtype) + "|" + d.dependServer + "|" + d.args + "|" + std::to_string(d.dsrc) + "|" +
                   std::to_string(d.ipVersion));
    }
    free(all);
    return out;
}

// mib2's route table, as the double lends it.
std::vector<ipRoute_t> routeTable;
int routeCountAnswer = 0;
int numberRoutesDouble() {
    return routeCountAnswer;
}
int getRoutesDouble(ipRoute_t *table, int max) {
    int n = 0;
    for (; n < max && n < (int)routeTable.size(); n++)
        table[n] = routeTable[(size_t)n];
    return n;
}
int addressListDouble(char *buf, int max) {
    return (int)qelCopyStr(buf, (size_t)max + 1, "192.0.2.10,2001:db8::10,");
}

ipRoute_t route(const char *dest, const char *mask, const char *gw, const char *dev) {
    ipRoute_t r;
    memset(&r, 0, sizeof r);
    r.ipv4dest = inet_addr(dest);
    r.ipv4mask = inet_addr(mask);
    r.ipv4gway = inet_addr(gw);
    qelCopyField(r.ifname, dev);
    r.ipVersion = 4;
    return r;
}

class ServiceTree : public ::testing::Test {
protected:
    void SetUp() override {
        testhost::reset();
        testhost::symbols["mib2GetAddressList"] = reinterpret_cast<void *>(addressListDouble);
        testhost::setupGraph("wren.example.test");
    }
    void TearDown() override {
        testhost::teardownGraph();
        hostfs::setHostRoot("");
    }
    void useRoot(const std::string &root) {
        hostfs::setHostRoot(root);
        if (reload_process_table)
            reload_process_table();
    }
};

TEST_F(ServiceTree, DebianHost) {
    useRoot(testutil::fixturePath("discovery-debian"));
    EXPECT_EQ(dependency_discover_dns(), 0);
    EXPECT_EQ(dependency_discover_ntpd(), 0);
    EXPECT_EQ(dependency_discover_chronyd(), 0);
    EXPECT_EQ(dependency_discover_timesyncd(), 0);
    EXPECT_EQ(depend_discover_nis(), 1);
    EXPECT_EQ(dependency_discover_sendmail(), 0) << "no sendmail process";
    EXPECT_EQ(dependency_discover_postfix(), 1);
    EXPECT_EQ(dependency_discover_exim(), 1);
    // No route symbols: the files still count, the kernel table is skipped.
    EXPECT_EQ(dependency_discover_router(), 0);
    EXPECT_EQ(testhost::logs, Strings{"Kestrova: failed to get route table symbols"});
    const std::set<std::string> want = {
        // The stub on this host, and both upstream servers behind it.
        "3|wren.example.test|search='corp.example.test'|2|0",
        "3|192.0.2.53|search='corp.example.test'|2|0",
        "3|2001:db8::53|search='corp.example.test'|2|0",
        "15|192.0.2.1|order='default'|2|4",
        "15|2001:db8::1|order='default'|2|6",
        "15|198.51.100.1|order='default'|2|4",
        "6|nis1.example.test|type='NIS' domain='corp'|2|0",
        "6|nis2.example.test|type='NIS' domain='corp'|2|0",
        "5|relay.example.test|mailer='postfix' type='relayhost'|2|0",
        "5|smarthost.example.test|mailer='exim' type='smarthost'|2|0",
        "5|203.0.113.25|mailer='exim' type='smarthost'|2|0",
        "4|pool.example.test||2|0",
        "4|time1.example.test||2|0",
        "4|2001:db8::123||2|0",
        "4|2.pool.example.test||2|0",
        "4|203.0.113.123||2|0",
        "4|203.0.113.124||2|0",
        "4|ts1.example.test||2|0",
        "4|ts2.example.test||2|0",
    };
    EXPECT_EQ(rows(), want);

    // A second pass refreshes what the first found and adds nothing.
    EXPECT_EQ(dependency_discover_dns(), 0);
    EXPECT_EQ(dependency_discover_ntp(), 0);
    EXPECT_EQ(dependency_discover_dir(), 0);
    EXPECT_EQ(dependency_discover_email(), 1);
    EXPECT_EQ(dependency_discover_router(), 0);
    EXPECT_EQ(dependency_discover_other(), 0);
    EXPECT_EQ(rows(), want);
}

// Files of Debian 12 packages configured by their own tools (postconf,
// systemd-resolved's writer, ypbind's shipped yp.conf): every configured
// server is one dependency.
TEST_F(ServiceTree, DaemonsConfiguredByTheirTools) {
    useRoot(testutil::fixturePath("daemons-debian12"));
    EXPECT_EQ(dependency_discover_dns(), 0);
    EXPECT_EQ(depend_discover_nis(), 1);
    EXPECT_EQ(dependency_discover_postfix(), 1);
    EXPECT_EQ(rows(), (std::set<std::string>{
                          "3|wren.example.test|search='example.test'|2|0",
                          "3|192.0.2.53|search='example.test'|2|0",
                          "3|2001:db8:1::53|search='example.test'|2|0",
                          "6|192.0.2.53|type='NIS' domain='example'|2|0",
                          "6|nis2.example.test|type='NIS' domain='example'|2|0",
                          "5|relay1.example.test|mailer='postfix' type='relayhost'|2|0",
                          "5|relay2.example.test|mailer='postfix' type='relayhost'|2|0",
                          "5|2001:db8:2::25|mailer='postfix' type='relayhost'|2|0",
                      }));
}

TEST_F(ServiceTree, RhelHost) {
    useRoot(testutil::fixturePath("discovery-rhel"));
    EXPECT_EQ(dependency_discover_dns(), 0);
    EXPECT_EQ(dependency_discover_ntpd(), 0);
    EXPECT_EQ(dependency_discover_chronyd(), 0);
    EXPECT_EQ(dependency_discover_timesyncd(), 0) << "no timesyncd process";
    EXPECT_EQ(depend_discover_nis(), 1);
    EXPECT_EQ(dependency_discover_sendmail(), 1);
    EXPECT_EQ(dependency_discover_postfix(), 0) << "no postfix process";
    EXPECT_EQ(dependency_discover_exim(), 0) << "no exim process";
    EXPECT_EQ(dependency_discover_router(), 0);
    EXPECT_EQ(rows(), (std::set<std::string>{
                          // Both servers: the first is this host's own address.
                          "3|wren.example.test|search='rhel.example.test'|2|0",
                          "3|192.0.2.11|search='rhel.example.test'|2|0",
                          // The whole first line, blanks and all.
                          "15|192.0.2.250 via lan|order='default'|2|0",
                          "15|192.0.2.254|order='default'|2|4",
                          "6|nis1.rhel.example.test|type='NIS' domain='rheldom'|2|0",
                          "5|smtp.rhel.example.test|mailer='sendmail' type='smarthost'|2|0",
                          "4|ntp1.rhel.example.test||2|0",
                          "4|indented.rhel.example.test||2|0",
                          "4|198.51.100.123||2|0",
                      }));
}

TEST_F(ServiceTree, ProcessNamesFromTheTree) {
    useRoot(testutil::fixturePath("discovery-rhel"));
    EXPECT_NE(isProcessRunning("ypbind"), 0);
    EXPECT_NE(isProcessRunning("ntp"), 0) << "a part of the name is enough";
    EXPECT_NE(isProcessRunning("proc"), 0) << "a name with a ')' in it";
    EXPECT_EQ(isProcessRunning("master"), 0);
    EXPECT_EQ(isProcessRunning("S 1"), 0) << "only the name counts";
}

// Writes files of a tree: path -> content.
void writeTree(const std::string &root, const std::vector<std::pair<std::string, std::string>> &files) {
    for (auto &[path, content] : files) {
        std::filesystem::create_directories(std::filesystem::path(root + path).parent_path());
        testutil::writeFile(root + path, content);
    }
}

// The fields after the name of a sleeping process's stat line.
const char *kStat =
    " S 1 1 1 0 -1 4194560 100 0 0 0 1 2 0 0 20 0 1 0 100 1000000 200 18446744073709551615 1 1 0 0 0 0 "
    "0 0 0 0 0 0 17 0 0 0 0 0 0\n";

TEST_F(ServiceTree, NothingWithoutDaemonsOrFiles) {
    testutil::TempDir dir;
    writeTree(dir.path(), {{"/proc/5/stat", std::string("5 (bash)") + kStat},
                           {"/etc/ntp.conf", "server a.test\n"},
                           {"/etc/yp.conf", "ypserver nis.test\n"},
                           {"/etc/postfix/main.cf", "relayhost = r.test\n"},
                           {"/etc/resolv.conf", "search only.test\n"}});
    useRoot(dir.path());
    EXPECT_EQ(dependency_discover_dns(), 0);
    EXPECT_EQ(depend_discover_nis(), 0);
    EXPECT_EQ(dependency_discover_ntpd(), 0);
    EXPECT_EQ(dependency_discover_postfix(), 0);
    EXPECT_EQ(dependency_discover_sendmail(), 0);
    EXPECT_EQ(rows(), std::set<std::string>{});

    // Daemons without their files.
    writeTree(dir.path(), {{"/proc/6/stat", std::string("6 (ntpd)") + kStat},
                           {"/proc/7/stat", std::string("7 (sendmail)") + kStat},
                           {"/proc/8/stat", std::string("8 (ypbind)") + kStat},
                           {"/proc/9/stat", std::string("9 (smtpd)") + kStat}});
    std::filesystem::remove(dir.path() + "/etc/ntp.conf");
    std::filesystem::remove(dir.path() + "/etc/yp.conf");
    std::filesystem::remove(dir.path() + "/etc/postfix/main.cf");
    useRoot(dir.path());
    EXPECT_EQ(dependency_discover_ntpd(), -1) << "none of the three files";
    testing::internal::CaptureStderr();
    EXPECT_EQ(dependency_discover_sendmail(), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Couldnt open/find sendmail.cf\n");
    EXPECT_EQ(depend_discover_nis(), 0) << "neither server nor domain";
    EXPECT_EQ(dependency_discover_postfix(), 0);
    EXPECT_EQ(rows(), std::set<std::string>{});
}

TEST_F(ServiceTree, NisDomainOnlyAndUnsafeDomains) {
    testutil::TempDir dir;
    writeTree(dir.path(), {{"/proc/8/stat", std::string("8 (ypbind)") + kStat},
                           {"/etc/defaultdomain", "..\n"},
                           // What "/var/yp/binding/../ypservers" would open.
                           {"/var/yp/ypservers", "escaped.example.test\n"},
                           {"/var/yp/binding/good/ypservers", "nis-a.example.test\nnis-b.example.test\n"}});
    useRoot(dir.path());
    EXPECT_EQ(depend_discover_nis(), 1) << "a domain was found";
    EXPECT_EQ(rows(), std::set<std::string>{});

    writeTree(dir.path(), {{"/etc/defaultdomain", "a/b\n"}, {"/var/yp/binding/a/b/ypservers", "nested.test\n"}});
    EXPECT_EQ(depend_discover_nis(), 1);
    EXPECT_EQ(rows(), std::set<std::string>{});

    writeTree(dir.path(), {{"/etc/defaultdomain", "good\n"}});
    EXPECT_EQ(depend_discover_nis(), 1);
    EXPECT_EQ(rows(), (std::set<std::string>{"6|nis-a.example.test|type='NIS' domain='good'|2|0",
                                             "6|nis-b.example.test|type='NIS' domain='good'|2|0"}));

    // A domain whose binding file is missing still counts as found.
    writeTree(dir.path(), {{"/etc/defaultdomain", "other\n"}});
    EXPECT_EQ(depend_discover_nis(), 1);

    // A server without any domain.
    testutil::TempDir bare;
    writeTree(bare.path(),
              {{"/proc/8/stat", std::string("8 (ypbind)") + kStat}, {"/etc/yp.conf", "ypserver 192.0.2.77\n"}});
    useRoot(bare.path());
    EXPECT_EQ(depend_discover_nis(), 1);
    EXPECT_EQ(rows().count("6|192.0.2.77|type='NIS'|2|0"), 1u);
}

TEST_F(ServiceTree, StubResolverFallsBackToNetworkManager) {
    testutil::TempDir dir;
    writeTree(dir.path(), {{"/etc/resolv.conf", "nameserver 127.0.0.1\n"},
                           {"/run/systemd/resolve/resolv.conf", "# no upstream servers\n"},
                           {"/run/NetworkManager/no-stub-resolv.conf", "nameserver 198.51.100.53\n"}});
    useRoot(dir.path());
    EXPECT_EQ(dependency_discover_dns(), 0);
    EXPECT_EQ(rows(), (std::set<std::string>{"3|wren.example.test||2|0", "3|198.51.100.53||2|0"}));

    // A remote server reads no stub files.
    testutil::TempDir remote;
    writeTree(remote.path(), {{"/etc/resolv.conf", "nameserver 192.0.2.53\n"},
                              {"/run/systemd/resolve/resolv.conf", "nameserver 203.0.113.53\n"}});
    testhost::teardownGraph();
    testhost::setupGraph("wren.example.test");
    useRoot(remote.path());
    dependency_discover_dns();
    EXPECT_EQ(rows(), std::set<std::string>{"3|192.0.2.53||2|0"});
}

TEST_F(ServiceTree, KernelRoutes) {
    testutil::TempDir empty;
    useRoot(empty.path());
    testhost::symbols["mib2GetNumberRoutes"] = reinterpret_cast<void *>(numberRoutesDouble);
    testhost::symbols["mib2GetRoutes"] = reinterpret_cast<void *>(getRoutesDouble);
    ipRoute_t v6;
    memset(&v6, 0, sizeof v6);
    v6.ipVersion = 6;
    qelCopyField(v6.ipv6gway, "fe80::1");
    qelCopyField(v6.ifname, "eth1");
    // A routed IPv6 prefix and an on-link default route name no default router.
    ipRoute_t v6net = v6;
    qelCopyField(v6net.ipv6dest, "2001:db8:5::");
    qelCopyField(v6net.ipv6gway, "2001:db8::2");
    v6net.ipv6PrefixLen = 48;
    ipRoute_t v6onlink = v6;
    qelCopyField(v6onlink.ipv6gway, "::");
    routeTable = {route("0.0.0.0", "0.0.0.0", "192.0.2.1", "eth0"),
                  route("198.51.100.0", "255.255.255.0", "192.0.2.2", "eth0"),
                  route("192.0.2.0", "255.255.255.0", "0.0.0.0", "eth0"),
                  // Through one of this host's own addresses.
                  route("203.0.113.0", "255.255.255.0", "192.0.2.10", "eth0"), v6, v6net, v6onlink};
    routeCountAnswer = (int)routeTable.size();
    EXPECT_EQ(dependency_discover_router(), 1);
    EXPECT_EQ(rows(), (std::set<std::string>{
                          "15|192.0.2.1|order='default' dev='eth0'|3|0",
                          "15|fe80::1|order='default' dev='eth1'|3|6",
                          "15|192.0.2.2|dest='198.51.100.0' mask='255.255.255.0' dev='eth0'|3|4",
                      }));
    EXPECT_EQ(routeBufferCapacity(), 12);
    EXPECT_EQ(routeBufferCount(), 7);

    // inspectRoute alone: a default route and an attached network give 0.
    EXPECT_EQ(inspectRoute(route("0.0.0.0", "0.0.0.0", "192.0.2.1", "eth0")), 0);
    EXPECT_EQ(inspectRoute(route("192.0.2.0", "255.255.255.0", "0.0.0.0", "eth0")), 0);
    EXPECT_EQ(inspectRoute(route("198.51.100.0", "255.255.255.0", "192.0.2.2", "eth0")), 0) << "refreshed";
    EXPECT_EQ(inspectRoute(route("203.0.113.0", "255.255.255.128", "192.0.2.2", "eth1")), 1);

    // The buffer grows to the count plus five and keeps its size when the
    // table shrinks.
    for (int i = 0; i < 20; i++)
        routeTable.push_back(route(("10.9." + std::to_string(i) + ".0").c_str(), "255.255.255.0", "0.0.0.0", "eth0"));
    routeCountAnswer = (int)routeTable.size();
    EXPECT_EQ(dependency_discover_router(), 1);
    EXPECT_EQ(routeBufferCapacity(), 32);
    EXPECT_EQ(routeBufferCount(), 27);
    routeTable.resize(2);
    routeCountAnswer = 2;
    EXPECT_EQ(dependency_discover_router(), 1);
    EXPECT_EQ(routeBufferCapacity(), 32);
    EXPECT_EQ(routeBufferCount(), 2);

    // A count that makes no sense.
    routeCountAnswer = 0;
    EXPECT_EQ(dependency_discover_router(), -1);
    EXPECT_EQ(rows().size(), 4u);

    // The debugging lines.
    qel::setLogDebug(true);
    testing::internal::CaptureStderr();
    EXPECT_EQ(dependency_discover_router(), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "dependency_discover_router: nonsensical value\n");
    routeTable.resize(1);
    routeCountAnswer = 1;
    testing::internal::CaptureStderr();
    EXPECT_EQ(dependency_discover_router(), 1);
    std::string out = testing::internal::GetCapturedStderr();
    qel::setLogDebug(false);
    EXPECT_EQ(out, "depend_route: default router 192.0.2.1\n");
}

} // namespace
