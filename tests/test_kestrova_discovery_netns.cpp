// Discovery against real sockets, processes and routes, inside two network
// namespaces this test makes: A (192.0.2.1) and B (192.0.2.2) share a veth,
// A routes default via 192.0.2.254 and 198.51.100.0/24 via B, and neither
// has a route off the machine. qeld with mib2 and kestrova runs in A (and a
// second one in B) on a host root made of the discovery-debian files with
// /proc and /sys linked live. Processes named like the daemons discovery
// asks about are links to sleep; two socket holders keep a DNS connection
// A->B:53, an smtp listener in A that B dials, a connected UDP socket to
// B:123 and a listener in B. Everything is read back through qelquery.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "agent_testutil.h"
#include "netns_agent.h"
#include "testutil.h"

namespace {

using namespace std::chrono_literals;

using netnstest::inNetns;
using netnstest::ipPath;

std::string sleepPath() {
    for (const char *p : {"/usr/bin/sleep", "/bin/sleep"})
        if (access(p, X_OK) == 0)
            return p;
    return "";
}

// The rows of a qelquery reply by key, each column by name, in reply order.
struct Reply {
    std::string errorStatus;
    std::vector<std::pair<std::string, std::map<std::string, std::string>>> rows;
};

Reply parseQelquery(const std::string &out) {
    static const std::regex varLine("Var Name:'([^,]*),([^,]*),(.*)' Syntax:[0-9]+ Value:'(.*)'");
    static const std::regex statusLine("errorStatus:(-?[0-9]+) ");
    Reply r;
    std::istringstream in(out);
    std::string line;
    std::smatch m;
    while (std::getline(in, line)) {
        if (std::regex_search(line, m, statusLine)) {
            r.errorStatus = m[1];
        } else if (std::regex_search(line, m, varLine)) {
            if (r.rows.empty() || r.rows.back().first != m[3])
                r.rows.push_back({m[3], {}});
            r.rows.back().second[m[2]] = m[4];
        }
    }
    return r;
}

sockaddr_in v4(const char *addr, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, addr, &a.sin_addr);
    return a;
}

uint16_t localPort(int fd) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    return ntohs(a.sin_port);
}

class DiscoveryNetns : public ::testing::Test {
protected:
    struct Bed {
        std::string skip, failure;
        std::string nsA, nsB;
        std::string vethA;
        bool madeEtcNetns = false;
        netnstest::Netns netA, netB;
        std::vector<std::string> netnsEtc; // /etc/netns/NS directories made
        testutil::TempDir root, bin, cwd;
        std::vector<pid_t> children; // daemons and socket holders
        std::vector<std::pair<pid_t, std::string>> daemons;
        pid_t holderA = -1, holderB = -1;
        netnstest::NetnsAgent agentA, agentB; // stopped before the namespaces go
        int portA = 0, portB = 0;
        // Ports the kernel chose: A's end of A->B:53, B's end of B->A:25,
        // A's end of the UDP socket.
        uint16_t dnsClientPort = 0, smtpClientPort = 0, ntpClientPort = 0;
    };
    static Bed *bed;

    static void SetUpTestSuite() {
        bed = new Bed;
        build(*bed);
    }
    static void TearDownTestSuite() {
        destroy(*bed);
        delete bed;
        bed = nullptr;
    }
    void SetUp() override {
        if (!bed->skip.empty())
            GTEST_SKIP() << bed->skip;
        ASSERT_TRUE(bed->failure.empty()) << bed->failure;
    }

    static bool ip(Bed &b, const std::vector<std::string> &args) {
        auto r = netnstest::ip(args);
        if (r.exitCode != 0 && b.failure.empty())
            b.failure = "ip " + ::testing::PrintToString(args) + ": " + r.err;
        return r.exitCode == 0;
    }

    static void build(Bed &b) {
        std::string id = std::to_string(getpid());
        b.nsA = "kq-disc-" + id + "-a";
        b.nsB = "kq-disc-" + id + "-b";
        std::string why;
        switch (b.netA.create(b.nsA, why)) {
        case netnstest::Netns::Result::refused: b.skip = why; return;
        case netnstest::Netns::Result::failed: b.failure = why; return;
        case netnstest::Netns::Result::made: break;
        }
        if (b.netB.create(b.nsB, why) != netnstest::Netns::Result::made) {
            b.failure = why;
            return;
        }
        b.vethA = "vkda" + id;
        std::string vethA = b.vethA, vethB = "vkdb" + id;
        auto r = netnstest::ip(
            {"link", "add", "name", vethA, "netns", b.nsA, "type", "veth", "peer", "name", vethB, "netns", b.nsB});
        if (r.exitCode != 0) {
            b.skip = "veth pairs cannot be made here (ip link add: " + r.err + ")";
            return;
        }
        for (const auto &ns : {b.nsA, b.nsB}) {
            // IPv4 only: the rows below are the ones the test made.
            auto s = testutil::runProcess({ipPath(), "netns", "exec", ns, "sh", "-c",
                                           "echo 1 > /proc/sys/net/ipv6/conf/all/disable_ipv6 && "
                                           "echo 1 > /proc/sys/net/ipv6/conf/default/disable_ipv6"});
            if (s.exitCode != 0) {
                b.failure = "disable_ipv6: " + s.err;
                return;
            }
        }
        if (!ip(b, {"-n", b.nsA, "addr", "add", "192.0.2.1/24", "dev", vethA}) ||
            !ip(b, {"-n", b.nsA, "link", "set", vethA, "up"}) ||
            !ip(b, {"-n", b.nsB, "addr", "add", "192.0.2.2/24", "dev", vethB}) ||
            !ip(b, {"-n", b.nsB, "link", "set", vethB, "up"}) ||
            !ip(b, {"-n", b.nsA, "route", "add", "default", "via", "192.0.2.254", "dev", vethA}) ||
            !ip(b, {"-n", b.nsA, "route", "add", "198.51.100.0/24", "via", "192.0.2.2", "dev", vethA}))
            return;
        // The C library of the agents asks a resolver on their own loopback,
        // where nothing listens: every look-up fails at once, none leaves.
        for (const auto &ns : {b.nsA, b.nsB}) {
            std::string dir = "/etc/netns/" + ns;
            if (mkdir("/etc/netns", 0755) == 0)
                b.madeEtcNetns = true;
            if (mkdir(dir.c_str(), 0755) != 0) {
                b.failure = "cannot make " + dir;
                return;
            }
            b.netnsEtc.push_back(dir);
            testutil::writeFile(dir + "/resolv.conf", "nameserver 127.0.0.1\noptions timeout:1 attempts:1\n");
        }
        if (!makeRoot(b) || !startDaemons(b) || !openSockets(b))
            return;
        for (auto *agent : {&b.agentA, &b.agentB})
            testutil::writeFile(
                agent->file("connectiondata.xml"),
                testutil::readFile(std::string(KESTROVA_SOURCE_DIR) + "/examples/kestrova/connectiondata.xml"));
        testutil::writeFile(b.cwd.file("kestrova.pem"), testutil::readFile(agenttest::caDir() + "/kestrova.pem"));
        netnstest::AgentOptions o;
        o.env = {{"KESTROVA_TIME_DIVISOR", "60"}, {"KESTROVA_HOST_ROOT", b.root.path()}, {"MIB2_REFRESH_SECONDS", "1"}};
        o.plugins = {std::string(KESTROVA_PLUGIN_DIR) + "/mib2-linux.so",
                     std::string(KESTROVA_PLUGIN_DIR) + "/kestrova-linux.so"};
        if (!b.agentA.start(b.nsA, o) || !b.agentB.start(b.nsB, o)) {
            if (b.failure.empty())
                b.failure = "an agent did not start: " + b.agentA.output() + b.agentB.output();
            return;
        }
        b.portA = b.agentA.port();
        b.portB = b.agentB.port();
    }

    // The discovery-debian files (etc/, run/ and var/yp), with the kernel's views linked in live.
    static bool makeRoot(Bed &b) {
        std::string fixture = testutil::fixturePath("discovery-debian");
        for (const char *dir : {"etc", "run", "var"}) {
            auto r = testutil::runProcess({"/bin/cp", "-R", fixture + "/" + dir, b.root.file(dir)});
            if (r.exitCode != 0) {
                b.failure = std::string("cp ") + dir + ": " + r.err;
                return false;
            }
        }
        if (symlink("/proc", b.root.file("proc").c_str()) != 0 || symlink("/sys", b.root.file("sys").c_str()) != 0) {
            b.failure = "cannot link proc and sys into the host root";
            return false;
        }
        return true;
    }

    static pid_t spawn(const std::function<void()> &child) {
        pid_t pid = fork();
        if (pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            child();
            _exit(127);
        }
        return pid;
    }

    static bool startDaemons(Bed &b) {
        std::string sleep = sleepPath();
        if (sleep.empty()) {
            b.failure = "no sleep program";
            return false;
        }
        for (const char *name : {"ntpd", "master", "sendmail-mta", "ypbind", "chronyd", "exim4"}) {
            std::string link = b.bin.file(name);
            if (symlink(sleep.c_str(), link.c_str()) != 0) {
                b.failure = "cannot link " + link;
                return false;
            }
            pid_t pid = spawn([&] { execl(link.c_str(), name, "600", static_cast<char *>(nullptr)); });
            if (pid < 0) {
                b.failure = "fork failed";
                return false;
            }
            b.children.push_back(pid);
            b.daemons.emplace_back(pid, name);
        }
        return true;
    }

    // A process that keeps the given descriptors (and closes the others of
    // the list) inside namespace ns, under the given name, until killed.
    static pid_t holder(const std::string &ns, const char *name, const std::vector<int> &keep,
                        const std::vector<int> &all) {
        int nsfd = open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
        if (nsfd < 0)
            return -1;
        pid_t pid = spawn([&] {
            for (int fd : all)
                if (std::find(keep.begin(), keep.end(), fd) == keep.end())
                    close(fd);
            if (setns(nsfd, CLONE_NEWNET) != 0)
                _exit(1);
            prctl(PR_SET_NAME, name);
            for (;;)
                pause();
        });
        close(nsfd);
        return pid;
    }

    static bool openSockets(Bed &b) {
        int lB = -1, sB53 = -1, d25 = -1, c53 = -1, lA25 = -1, sA25 = -1, u123 = -1;
        auto listener = [](const char *addr, uint16_t port) {
            int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            int one = 1;
            setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
            sockaddr_in a = v4(addr, port);
            if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(fd, 8) != 0) {
                if (fd >= 0)
                    close(fd);
                return -1;
            }
            return fd;
        };
        auto dial = [](int type, const char *addr, uint16_t port) {
            int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
            sockaddr_in a = v4(addr, port);
            if (fd < 0 || connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
                if (fd >= 0)
                    close(fd);
                return -1;
            }
            return fd;
        };
        bool ok = inNetns(b.nsB, [&] { return (lB = listener("192.0.2.2", 53)) >= 0; }) &&
                  inNetns(b.nsA,
                          [&] {
                              c53 = dial(SOCK_STREAM, "192.0.2.2", 53);
                              lA25 = listener("192.0.2.1", 25);
                              u123 = dial(SOCK_DGRAM, "192.0.2.2", 123);
                              return c53 >= 0 && lA25 >= 0 && u123 >= 0;
                          }) &&
                  inNetns(b.nsB,
                          [&] {
                              sB53 = accept4(lB, nullptr, nullptr, SOCK_CLOEXEC);
                              d25 = dial(SOCK_STREAM, "192.0.2.1", 25);
                              return sB53 >= 0 && d25 >= 0;
                          }) &&
                  (sA25 = accept4(lA25, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;
        std::vector<int> all = {lB, sB53, d25, c53, lA25, sA25, u123};
        if (ok) {
            b.dnsClientPort = localPort(c53);
            b.smtpClientPort = localPort(d25);
            b.ntpClientPort = localPort(u123);
            // The descriptors must survive into the holders: no close-on-exec
            // matters there (they never exec), but fork keeps them all.
            b.holderA = holder(b.nsA, "kqnetA", {c53, lA25, sA25, u123}, all);
            b.holderB = holder(b.nsB, "kqnetB", {lB, sB53, d25}, all);
            for (pid_t p : {b.holderA, b.holderB})
                if (p > 0)
                    b.children.push_back(p);
            ok = b.holderA > 0 && b.holderB > 0;
        }
        for (int fd : all)
            if (fd >= 0)
                close(fd);
        if (!ok)
            b.failure = "the test's sockets could not be made";
        return ok;
    }

    static void stop(pid_t &pid, int sig) {
        if (pid <= 0)
            return;
        kill(pid, sig);
        for (int i = 0; i < 500 && waitpid(pid, nullptr, WNOHANG) == 0; ++i)
            std::this_thread::sleep_for(10ms);
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        pid = -1;
    }

    static void destroy(Bed &b) {
        for (auto *agent : {&b.agentA, &b.agentB})
            if (agent->running())
                kill(agent->pid(), SIGTERM);
        b.agentA.stop();
        b.agentB.stop();
        for (pid_t &p : b.children)
            stop(p, SIGKILL);
        for (const auto &dir : b.netnsEtc) {
            unlink((dir + "/resolv.conf").c_str());
            rmdir(dir.c_str());
        }
        if (b.madeEtcNetns)
            rmdir("/etc/netns");
        for (const auto *agent : {&b.agentA, &b.agentB})
            EXPECT_EQ(agent->sanitizerReports(), "");
        // Deleting a namespace (with the Bed) takes its veth end, and so the
        // pair, with it.
    }

    static Reply query(const std::string &ns, int port, const std::string &example) {
        auto r = testutil::runProcess({ipPath(), "netns", "exec", ns, testutil::binPath("qelquery"),
                                       "127.0.0.1," + std::to_string(port), "tester",
                                       std::string(KESTROVA_SOURCE_DIR) + "/examples/queries/" + example},
                                      bed->cwd.path(), 60);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        Reply reply = parseQelquery(r.out);
        EXPECT_TRUE(reply.errorStatus == "0" || (reply.errorStatus == "1" && reply.rows.empty())) << r.out;
        return reply;
    }

    // Polls a query until pred holds; false after 30 s.
    template <typename Pred>
    static bool waitFor(const std::string &ns, int port, const std::string &example, Pred pred, Reply &last) {
        auto deadline = std::chrono::steady_clock::now() + 30s;
        while (std::chrono::steady_clock::now() < deadline) {
            last = query(ns, port, example);
            if (pred(last))
                return true;
            std::this_thread::sleep_for(250ms);
        }
        return false;
    }
};

DiscoveryNetns::Bed *DiscoveryNetns::bed = nullptr;

// type|server|client|args|src|ipVersion|reference of each dependencyTable row.
std::set<std::string> dependencyRows(const Reply &r) {
    std::set<std::string> out;
    for (const auto &[key, c] : r.rows) {
        auto col = [&](const char *name) {
            auto it = c.find(name);
            return it == c.end() ? std::string("?") : it->second;
        };
        out.insert(col("dependType") + "|" + col("dependServer") + "|" + col("dependClient") + "|" + col("dependArgs") +
                   "|" + col("dependSrc") + "|" + col("dependIpVersion") + "|" + col("dependReference"));
    }
    return out;
}

std::string hostName() {
    char name[256] = {};
    gethostname(name, sizeof name - 1);
    return name;
}

const std::string kConn = "connection='[192.0.2.1] =x= [192.0.2.2]'";

TEST_F(DiscoveryNetns, DependencyTableHoldsWhatFilesDaemonsRoutesAndConnectionsName) {
    const std::string me = hostName();
    // Sources 2 configuration, 3 dynamic; reference 0 outbound, 1 inbound.
    // 192.0.2.1 (the interfaces file's gateway, the smtp listener) and the
    // 127.0.0.53 stub are this host.
    const std::set<std::string> want = {
        "3|" + me + "|" + me + "|search='corp.example.test'|2|0|0",
        // Both servers behind the stub, each a dependency.
        "3|192.0.2.53|" + me + "|search='corp.example.test'|2|0|0",
        "3|2001:db8::53|" + me + "|search='corp.example.test'|2|0|0",
        "15|" + me + "|" + me + "|order='default'|2|4|0",
        "15|2001:db8::1|" + me + "|order='default'|2|6|0",
        "15|198.51.100.1|" + me + "|order='default'|2|4|0",
        "15|192.0.2.254|" + me + "|order='default' dev='" + bed->vethA + "'|3|0|0",
        "15|192.0.2.2|" + me + "|dest='198.51.100.0' mask='255.255.255.0' dev='" + bed->vethA + "'|3|4|0",
        "6|nis1.example.test|" + me + "|type='NIS' domain='corp'|2|0|0",
        "6|nis2.example.test|" + me + "|type='NIS' domain='corp'|2|0|0",
        "5|relay.example.test|" + me + "|mailer='postfix' type='relayhost'|2|0|0",
        "5|smarthost.example.test|" + me + "|mailer='exim' type='smarthost'|2|0|0",
        "5|203.0.113.25|" + me + "|mailer='exim' type='smarthost'|2|0|0",
        "4|pool.example.test|" + me + "||2|0|0",
        "4|time1.example.test|" + me + "||2|0|0",
        "4|2001:db8::123|" + me + "||2|0|0",
        "4|2.pool.example.test|" + me + "||2|0|0",
        "4|203.0.113.123|" + me + "||2|0|0",
        "4|203.0.113.124|" + me + "||2|0|0",
        // The live connections: A's DNS client, B dialling A's smtp port.
        "3|192.0.2.2|" + me + "|dns " + kConn + "|3|4|0",
        "5|" + me + "|192.0.2.2|smtp " + kConn + "|3|4|1",
    };
    Reply deps;
    // The daemons' rows need the process table, which the application
    // worker loads beside the first discovery pass: on a busy machine that
    // pass can run before it and find no daemon, and the next one finds
    // them. So the wait is for the whole set.
    bool complete = waitFor(
        bed->nsA, bed->portA, "kestrova-dependency-table.xml",
        [&](const Reply &r) { return dependencyRows(r) == want; }, deps);
    EXPECT_TRUE(complete);
    EXPECT_EQ(dependencyRows(deps), want);
}

// pid -> "proto|state|local:port|remote:port" of each endpoint row, and the
// owner's name as the rows give it.
std::map<std::string, std::set<std::string>> endpoints(const Reply &r, std::map<std::string, std::string> &names) {
    std::map<std::string, std::set<std::string>> out;
    for (const auto &[key, c] : r.rows) {
        auto col = [&](const char *name) {
            auto it = c.find(name);
            return it == c.end() ? std::string("?") : it->second;
        };
        out[col("processEndptPID")].insert(col("processEndptProto") + "|" + col("processEndptState") + "|" +
                                           col("processEndptLocalAddress") + ":" + col("processEndptLocalPort") + "|" +
                                           col("processEndptRemAddress") + ":" + col("processEndptRemPort"));
        names[col("processEndptPID")] = col("processEndptName");
    }
    return out;
}

TEST_F(DiscoveryNetns, ProcessAndEndpointRowsOfTheSocketHolders) {
    const std::string a = std::to_string(bed->holderA), b = std::to_string(bed->holderB);
    const std::string dns = std::to_string(bed->dnsClientPort), smtp = std::to_string(bed->smtpClientPort),
                      ntp = std::to_string(bed->ntpClientPort);
    // TCP states as MIB-II numbers (2 listen, 5 established); the connected
    // UDP socket is UDP, not TCP. B's holder lives in the other namespace:
    // its sockets come from that namespace's own tables.
    const std::set<std::string> wantA = {
        "6|5|192.0.2.1:" + dns + "|192.0.2.2:53", "6|2|192.0.2.1:25|0.0.0.0:0", "6|5|192.0.2.1:25|192.0.2.2:" + smtp,
        "17|3|192.0.2.1:" + ntp + "|192.0.2.2:123", // 3: connected
    };
    const std::set<std::string> wantB = {
        "6|2|192.0.2.2:53|0.0.0.0:0",
        "6|5|192.0.2.2:53|192.0.2.1:" + dns,
        "6|5|192.0.2.2:" + smtp + "|192.0.2.1:25",
    };
    Reply rows;
    std::map<std::string, std::string> names;
    std::map<std::string, std::set<std::string>> byPid;
    bool found = waitFor(
        bed->nsA, bed->portA, "kestrova-process-endpt-table.xml",
        [&](const Reply &r) {
            names.clear();
            byPid = endpoints(r, names);
            return byPid.count(a) && byPid.count(b);
        },
        rows);
    ASSERT_TRUE(found);
    EXPECT_EQ(byPid[a], wantA);
    EXPECT_EQ(byPid[b], wantB);
    EXPECT_EQ(names[a], "kqnetA");
    EXPECT_EQ(names[b], "kqnetB");

    // processName is the command line (the name only when that is empty):
    // the holders carry the test's, the daemons their own.
    Reply procs = query(bed->nsA, bed->portA, "kestrova-process-table.xml");
    std::map<std::string, std::map<std::string, std::string>> byPidRow;
    for (const auto &[key, c] : procs.rows) {
        auto it = c.find("processPID");
        if (it != c.end())
            byPidRow[it->second] = c;
    }
    std::string cmdline = testutil::readFile("/proc/self/cmdline");
    if (!cmdline.empty() && cmdline.back() == '\0')
        cmdline.pop_back();
    std::replace(cmdline.begin(), cmdline.end(), '\0', ' ');
    ASSERT_TRUE(byPidRow.count(a) && byPidRow.count(b)) << procs.rows.size() << " rows";
    for (const std::string &pid : {a, b}) {
        EXPECT_EQ(byPidRow[pid]["processName"], cmdline);
        EXPECT_EQ(byPidRow[pid]["processState"], "sleeping");
        EXPECT_EQ(byPidRow[pid]["processThreadCount"], "1");
    }
    // Each holds its sockets and what it inherited from the test.
    EXPECT_GE(std::atoi(byPidRow[a]["processHandleCount"].c_str()), 4);
    EXPECT_GE(std::atoi(byPidRow[b]["processHandleCount"].c_str()), 3);
    ASSERT_EQ(bed->daemons.size(), 6u);
    for (const auto &[pid, name] : bed->daemons)
        EXPECT_EQ(byPidRow[std::to_string(pid)]["processName"], name + " 600");
}

// The endpoint counts are those of mib2's tables, read over one session so
// no new connection changes them between the two reads.
TEST_F(DiscoveryNetns, EndpointCountsEqualMib2Tables) {
    agenttest::caDir();
    int tcp = -1, udp = -1, tcpRows = -2, udpRows = -2;
    auto rowsOf = [](qelSession_t *s, const char *table, const char *column) {
        qelPdu_t req, reply;
        agenttest::buildSelect(req, "mib2", table, "*", 0, {column});
        int n = -1;
        if (agenttest::transact(s, req, reply) == 1)
            n = static_cast<int>(agenttest::variables(reply).size());
        qelPduCleanup(&req);
        qelPduCleanup(&reply);
        return n;
    };
    ASSERT_TRUE(inNetns(bed->nsA, [&] {
        qelSession_t *s = agenttest::connect(bed->portA, "tester");
        if (!s)
            return false;
        auto deadline = std::chrono::steady_clock::now() + 20s;
        while (std::chrono::steady_clock::now() < deadline) {
            tcp = std::atoi(agenttest::getValue(s, "kestrova", "numTCPEndpts").c_str());
            udp = std::atoi(agenttest::getValue(s, "kestrova", "numUDPEndpts").c_str());
            tcpRows = rowsOf(s, "tcpConnTable", "tcpConnState");
            udpRows = rowsOf(s, "udpTable", "udpLocalPort");
            // The holders' connections may still be coming up: wait for them.
            if (tcp == tcpRows && udp == udpRows && tcp >= 5 && udp >= 1)
                break;
            std::this_thread::sleep_for(250ms);
        }
        destroyQelSession(s);
        return true;
    }));
    EXPECT_EQ(tcp, tcpRows);
    EXPECT_EQ(udp, udpRows);
    // At least the agent's listener, this session, the DNS connection, the
    // smtp listener and the connection to it; the UDP socket.
    EXPECT_GE(tcp, 5);
    EXPECT_GE(udp, 1);
}

// The agent in B sees the same two connections from the other side, under
// the same connection text.
TEST_F(DiscoveryNetns, SecondAgentShowsTheSameConnectionText) {
    const std::string me = hostName();
    Reply deps;
    const std::string inboundDns = "3|" + me + "|192.0.2.1|dns " + kConn + "|3|4|1";
    const std::string outboundSmtp = "5|192.0.2.1|" + me + "|smtp " + kConn + "|3|4|0";
    bool found = waitFor(
        bed->nsB, bed->portB, "kestrova-dependency-table.xml",
        [&](const Reply &r) {
            auto rows = dependencyRows(r);
            return rows.count(inboundDns) && rows.count(outboundSmtp);
        },
        deps);
    EXPECT_TRUE(found) << ::testing::PrintToString(dependencyRows(deps));
}

} // namespace
