// mib2 inside network namespaces this test makes: qeld and qelquery run in
// namespace A, which holds a veth end whose peer lives in namespace B, so no
// packet leaves the namespaces. The replies must list exactly what was made,
// and setting the veth down and up must send the link traps.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <map>
#include <regex>
#include <sched.h>
#include <set>
#include <sstream>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "agent_testutil.h"
#include "qelplugin.h"

namespace {

// The ip program: test processes run it by path, not through PATH.
const std::string &ipPath() {
    static const std::string path = [] {
        for (const char *p : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"})
            if (access(p, X_OK) == 0)
                return std::string(p);
        return std::string("ip");
    }();
    return path;
}

testutil::ProcessResult runProcess(std::vector<std::string> argv, const std::string &cwd = "",
                                   int timeoutSeconds = 60) {
    if (!argv.empty() && argv[0] == "ip")
        argv[0] = ipPath();
    return testutil::runProcess(argv, cwd, timeoutSeconds);
}

struct Row {
    std::string key;
    std::map<std::string, std::string> cols;
};

// The rows of a qelquery reply, in reply order, and its error status.
struct Reply {
    std::string errorStatus;
    std::vector<Row> rows;
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
            if (r.rows.empty() || r.rows.back().key != m[3])
                r.rows.push_back({m[3], {}});
            r.rows.back().cols[m[2]] = m[4];
        }
    }
    return r;
}

std::set<std::string> keysOf(const Reply &r) {
    std::set<std::string> out;
    for (const auto &row : r.rows)
        out.insert(row.key);
    return out;
}

const Row *rowOf(const Reply &r, const std::string &key) {
    for (const auto &row : r.rows)
        if (row.key == key)
            return &row;
    return nullptr;
}

class Mib2Netns : public ::testing::Test {
protected:
    void SetUp() override {
        std::string id = std::to_string(getpid());
        nsA = "kq-mib2-" + id + "-a";
        nsB = "kq-mib2-" + id + "-b";
        vethA = "vethkqa" + id; // at most 15 characters with a 7-digit pid
        vethB = "vethkqb" + id;
        auto r = runProcess({"ip", "netns", "add", nsA});
        if (access(ipPath().c_str(), X_OK) != 0)
            GTEST_SKIP() << "no ip program (iproute2) on this host";
        if (r.exitCode != 0)
            GTEST_SKIP() << "network namespaces are not permitted here (ip netns add exited " << r.exitCode << ": "
                         << r.err << "); needs root or CAP_SYS_ADMIN";
        madeA = true;
        ASSERT_TRUE(ip({"netns", "add", nsB}));
        madeB = true;
        // No IPv6 in either namespace: router solicitations and link-local
        // addresses would add entries the test did not make.
        for (const auto &ns : {nsA, nsB})
            ASSERT_TRUE(sh(ns,
                           "echo 1 > /proc/sys/net/ipv6/conf/all/disable_ipv6 && "
                           "echo 1 > /proc/sys/net/ipv6/conf/default/disable_ipv6"));
        r = runProcess(
            {"ip", "link", "add", "name", vethA, "netns", nsA, "type", "veth", "peer", "name", vethB, "netns", nsB});
        if (r.exitCode != 0)
            GTEST_SKIP() << "veth pairs cannot be made here (ip link add: " << r.err << ")";
        ASSERT_TRUE(ip({"-n", nsA, "link", "set", "lo", "up"}));
        ASSERT_TRUE(ip({"-n", nsA, "addr", "add", "192.0.2.1/24", "dev", vethA}));
        ASSERT_TRUE(ip({"-n", nsA, "link", "set", vethA, "up"}));
        ASSERT_TRUE(ip({"-n", nsB, "addr", "add", "192.0.2.2/24", "dev", vethB}));
        ASSERT_TRUE(ip({"-n", nsB, "link", "set", vethB, "up"}));
        ASSERT_TRUE(ip({"-n", nsA, "route", "add", "198.51.100.0/24", "via", "192.0.2.2", "dev", vethA}));
        ASSERT_TRUE(ip({"-n", nsA, "neigh", "replace", "192.0.2.2", "lladdr", "02:00:00:00:00:02", "dev", vethA, "nud",
                        "permanent"}));
        ASSERT_TRUE(ip({"-n", nsA, "neigh", "replace", "192.0.2.3", "lladdr", "02:00:00:00:00:03", "dev", vethA, "nud",
                        "permanent"}));
        ASSERT_TRUE(openConnections());
        testutil::writeFile(home.file("kestrova.pem"), testutil::readFile(agenttest::caDir() + "/kestrova.pem"));
        testutil::writeFile(cwd.file("kestrova.pem"), testutil::readFile(agenttest::caDir() + "/kestrova.pem"));
        ASSERT_TRUE(startAgent()) << testutil::readFile(home.file("qeld.out"));
    }

    void TearDown() override {
        if (agentPid > 0) {
            kill(agentPid, SIGTERM);
            for (int i = 0; i < 500 && waitpid(agentPid, nullptr, WNOHANG) == 0; ++i)
                usleep(10000);
            kill(agentPid, SIGKILL);
            waitpid(agentPid, nullptr, 0);
        }
        for (int fd : fds)
            close(fd);
        // Deleting a namespace takes its veth end, and so the pair, with it.
        if (madeA)
            runProcess({"ip", "netns", "del", nsA});
        if (madeB)
            runProcess({"ip", "netns", "del", nsB});
    }

    bool ip(const std::vector<std::string> &args) {
        std::vector<std::string> argv = {"ip"};
        argv.insert(argv.end(), args.begin(), args.end());
        auto r = runProcess(argv);
        if (r.exitCode != 0)
            ADD_FAILURE() << "ip " << ::testing::PrintToString(args) << ": " << r.err;
        return r.exitCode == 0;
    }
    bool sh(const std::string &ns, const std::string &cmd) {
        auto r = runProcess({"ip", "netns", "exec", ns, "sh", "-c", cmd});
        if (r.exitCode != 0)
            ADD_FAILURE() << cmd << ": " << r.err;
        return r.exitCode == 0;
    }

    // A listener on 127.0.0.1 and two connections to it, made in namespace A
    // from a thread that enters it (a socket stays in the namespace it was
    // made in; the thread's namespace ends with the thread).
    bool openConnections() {
        bool ok = false;
        std::thread t([&] {
            int nsfd = open(("/run/netns/" + nsA).c_str(), O_RDONLY | O_CLOEXEC);
            if (nsfd < 0 || setns(nsfd, CLONE_NEWNET) != 0) {
                if (nsfd >= 0)
                    close(nsfd);
                return;
            }
            close(nsfd);
            int l = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            fds.push_back(l);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            socklen_t len = sizeof a;
            if (bind(l, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(l, 8) != 0 ||
                getsockname(l, reinterpret_cast<sockaddr *>(&a), &len) != 0)
                return;
            listenPort = ntohs(a.sin_port);
            for (int i = 0; i < 2; ++i) {
                int c = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
                fds.push_back(c);
                if (connect(c, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0)
                    return;
                int s = accept(l, nullptr, nullptr);
                if (s < 0)
                    return;
                fds.push_back(s);
                sockaddr_in me{};
                len = sizeof me;
                getsockname(c, reinterpret_cast<sockaddr *>(&me), &len);
                clientPorts.push_back(ntohs(me.sin_port));
            }
            ok = true;
        });
        t.join();
        return ok;
    }

    // qeld with mib2 in namespace A ("ip netns exec" also mounts that
    // namespace's /sys, which the interface table reads); one-second refresh.
    bool startAgent() {
        pid_t pid = fork();
        if (pid < 0)
            return false;
        if (pid == 0) {
            int out = open(home.file("qeld.out").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            if (out >= 0) {
                dup2(out, 1);
                dup2(out, 2);
            }
            setenv("MIB2_REFRESH_SECONDS", "1", 1);
            std::string qeld = testutil::binPath("qeld");
            std::string plugin = std::string(KESTROVA_PLUGIN_DIR) + "/mib2-linux.so";
            std::string homeDir = home.path();
            execl(ipPath().c_str(), "ip", "netns", "exec", nsA.c_str(), qeld.c_str(), "-f", "-p", "0", "-l",
                  "127.0.0.1", "-H", homeDir.c_str(), plugin.c_str(), static_cast<char *>(nullptr));
            _exit(127);
        }
        agentPid = pid; // "ip netns exec" execs qeld in its own place
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (std::chrono::steady_clock::now() < deadline) {
            if (waitpid(agentPid, nullptr, WNOHANG) == agentPid) {
                agentPid = -1;
                return false;
            }
            std::string port = testutil::readFile(home.file("qeld.port"));
            if (!port.empty() && testutil::readFile(home.file("qeld.log")).find("qeld ready") != std::string::npos) {
                agentPort = std::atoi(port.c_str());
                return agentPort > 0;
            }
            usleep(20000);
        }
        return false;
    }

    Reply query(const std::string &example) {
        auto r = runProcess({"ip", "netns", "exec", nsA, testutil::binPath("qelquery"),
                             "127.0.0.1," + std::to_string(agentPort), "tester",
                             std::string(KESTROVA_SOURCE_DIR) + "/examples/queries/" + example},
                            cwd.path(), 60);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        Reply reply = parseQelquery(r.out);
        // An empty table answers noErrorMoreData: its zero rows equal maxRows 0.
        EXPECT_TRUE(reply.errorStatus == "0" || (reply.errorStatus == "1" && reply.rows.empty())) << r.out;
        return reply;
    }

    // Polls a query until pred holds; false after the deadline.
    template <typename Pred>
    bool waitFor(const std::string &example, Pred pred, Reply &last) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (std::chrono::steady_clock::now() < deadline) {
            last = query(example);
            if (pred(last))
                return true;
            usleep(250000);
        }
        return false;
    }

    std::string linkField(const std::string &field) {
        // "ip -o link" line: "N: NAME@...: <...> ... link/ether MAC brd ..."
        auto r = runProcess({"ip", "-n", nsA, "-o", "link", "show", vethA});
        if (field == "index")
            return std::to_string(std::atoi(r.out.c_str()));
        auto at = r.out.find("link/ether ");
        return at == std::string::npos ? "" : r.out.substr(at + 11, 17);
    }

    std::vector<std::string> mib2Traps(const Reply &traps) {
        std::vector<std::string> out;
        for (const auto &row : traps.rows) {
            auto it = row.cols.find("trapEventType");
            if (it != row.cols.end() && it->second.rfind("mib2.", 0) == 0)
                out.push_back(it->second + " " + row.cols.at("trapVariables"));
        }
        return out;
    }

    std::string nsA, nsB, vethA, vethB;
    bool madeA = false, madeB = false;
    std::vector<int> fds;
    int listenPort = 0;
    std::vector<int> clientPorts;
    testutil::TempDir home, cwd;
    pid_t agentPid = -1;
    int agentPort = 0;
};

TEST_F(Mib2Netns, TablesListWhatWasMadeAndTheLinkTrapsFire) {
    // The first snapshot may still be running when the agent is ready.
    Reply routes;
    ASSERT_TRUE(waitFor(
        "mib2-route-table.xml", [](const Reply &r) { return r.rows.size() >= 2; }, routes));
    EXPECT_EQ(keysOf(routes), (std::set<std::string>{"192.0.2.0", "198.51.100.0"}));
    if (const Row *r = rowOf(routes, "198.51.100.0")) {
        EXPECT_EQ(r->cols.at("ipRouteNextHop"), "192.0.2.2");
        EXPECT_EQ(r->cols.at("ipRouteIfname"), vethA);
        EXPECT_EQ(r->cols.at("ipRouteMask"), "255.255.255.0");
        EXPECT_EQ(r->cols.at("ipRouteType"), "4"); // indirect
    }
    if (const Row *r = rowOf(routes, "192.0.2.0")) {
        EXPECT_EQ(r->cols.at("ipRouteNextHop"), "0.0.0.0");
        EXPECT_EQ(r->cols.at("ipRouteIfname"), vethA);
        EXPECT_EQ(r->cols.at("ipRouteType"), "3"); // direct
    }

    Reply arps = query("mib2-arp-table.xml");
    EXPECT_EQ(keysOf(arps), (std::set<std::string>{vethA + ",192.0.2.2", vethA + ",192.0.2.3"}));
    if (const Row *r = rowOf(arps, vethA + ",192.0.2.3")) {
        EXPECT_EQ(r->cols.at("ipNetToMediaPhysAddress"), "02:00:00:00:00:03");
        EXPECT_EQ(r->cols.at("ipNetToMediaNetAddress"), "192.0.2.3");
        EXPECT_EQ(r->cols.at("ipNetToMediaIfname"), vethA);
    }
    if (const Row *r = rowOf(arps, vethA + ",192.0.2.2")) {
        EXPECT_EQ(r->cols.at("ipNetToMediaPhysAddress"), "02:00:00:00:00:02");
    }

    Reply addrs = query("mib2-addr-table.xml");
    ASSERT_EQ(addrs.rows.size(), 2u);
    EXPECT_EQ(addrs.rows[0].key, "lo,127.0.0.1");
    EXPECT_EQ(addrs.rows[1].key, vethA + ",192.0.2.1");
    EXPECT_EQ(addrs.rows[0].cols["ipAdEntNetMask"], "255.0.0.0");
    EXPECT_EQ(addrs.rows[1].cols["ipAdEntNetMask"], "255.255.255.0");

    Reply ifs = query("mib2-if-table.xml");
    ASSERT_EQ(ifs.rows.size(), 2u);
    EXPECT_EQ(ifs.rows[0].key, "lo");
    EXPECT_EQ(ifs.rows[1].key, vethA);
    auto &veth = ifs.rows[1].cols;
    EXPECT_EQ(veth["ifDescr"], vethA);
    EXPECT_EQ(veth["ifType"], "6");
    EXPECT_EQ(veth["ifMtu"], "1500");
    EXPECT_EQ(veth["ifPhysAddress"], linkField("mac"));
    EXPECT_EQ(veth["ifIndex"], linkField("index"));
    EXPECT_EQ(veth["ifAdminStatus"], "1");
    EXPECT_EQ(veth["ifOperStatus"], "1");
    EXPECT_EQ(ifs.rows[0].cols["ifType"], "24");

    // Every row but the agent's own (its listener and the sessions of
    // qelquery, some in TIME_WAIT) is one the test made.
    Reply tcp = query("mib2-tcp-table.xml");
    std::set<std::string> made, seen;
    std::string lp = std::to_string(listenPort);
    made.insert("2 127.0.0.1:" + lp + " 0.0.0.0:0");
    for (int cp : clientPorts) {
        std::string c = std::to_string(cp);
        made.insert("5 127.0.0.1:" + c + " 127.0.0.1:" + lp);
        made.insert("5 127.0.0.1:" + lp + " 127.0.0.1:" + c);
    }
    std::string agent = std::to_string(agentPort);
    for (auto &row : tcp.rows) {
        auto &c = row.cols;
        if (c["tcpConnLocalPort"] == agent || c["tcpConnRemPort"] == agent)
            continue;
        seen.insert(c["tcpConnState"] + " " + c["tcpConnLocalAddress"] + ":" + c["tcpConnLocalPort"] + " " +
                    c["tcpConnRemAddress"] + ":" + c["tcpConnRemPort"]);
    }
    EXPECT_EQ(seen, made);

    // Link traps: down, then up; each seen before the next change so the
    // worker cannot miss one between two refreshes.
    Reply traps;
    ASSERT_TRUE(ip({"-n", nsA, "link", "set", vethA, "down"}));
    EXPECT_TRUE(waitFor(
        "trap-table.xml", [&](const Reply &r) { return mib2Traps(r).size() >= 1; }, traps))
        << ::testing::PrintToString(mib2Traps(traps));
    ASSERT_TRUE(ip({"-n", nsA, "link", "set", vethA, "up"}));
    EXPECT_TRUE(waitFor(
        "trap-table.xml", [&](const Reply &r) { return mib2Traps(r).size() >= 2; }, traps))
        << ::testing::PrintToString(mib2Traps(traps));
    // Exactly these two: none for the first reload, which found the veth up.
    std::string idx = linkField("index"), v = vethA;
    std::vector<std::string> expected = {
        "mib2.linkDown core.trapType=mib2.linkDown; core.sysObjectID=" QEL_ENTERPRISE_OID "; mib2.ifIndex[" + v +
            "]=" + idx + "; mib2.ifAdminStatus[" + v + "]=2; mib2.ifOperStatus[" + v + "]=2",
        "mib2.linkUp core.trapType=mib2.ifLinkUp; core.sysObjectID=" QEL_ENTERPRISE_OID "; mib2.ifIndex[" + v +
            "]=" + idx + "; mib2.ifAdminStatus[" + v + "]=1; mib2.ifOperStatus[" + v + "]=1"};
    EXPECT_EQ(mib2Traps(traps), expected);
}

} // namespace
