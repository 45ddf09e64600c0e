// Two hosts, alpha and bravo, each a network namespace of its own with its
// own host name, joined by one veth link (198.51.100.0/24, no route beyond),
// each running qeld with mib2, kestrova and depfeed on port 5270. Both are
// fed a dependency on the same DNS server. Alpha finds bravo among its ARP
// neighbours, asks bravo's agent for its table and lists bravo in its
// peerTable as a peer through the shared server.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <functional>
#include <map>
#include <memory>
#include <thread>

#include "agent_testutil.h"
#include "qel/qel_session.h"
#include "testutil.h"

namespace {

using agenttest::Var;
using namespace std::chrono_literals;

const std::string &ipPath() {
    static const std::string path = [] {
        for (const char *p : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"})
            if (access(p, X_OK) == 0)
                return std::string(p);
        return std::string("ip");
    }();
    return path;
}

struct Host {
    std::string name, ns, addr;
    testutil::TempDir home;
    pid_t pid = -1;
    std::string log() const { return testutil::readFile(home.file("qeld.log")); }
    std::string output() const { return testutil::readFile(home.file("qeld.out")); }
};

class PeerAgents : public ::testing::Test {
protected:
    void SetUp() override {
        if (access(ipPath().c_str(), X_OK) != 0 || access("/usr/bin/unshare", X_OK) != 0)
            GTEST_SKIP() << "needs ip (iproute2) and unshare (util-linux)";
        std::string tag = std::to_string(getpid());
        const char *names[] = {"alpha", "bravo"};
        for (int i = 0; i < 2; i++) {
            hosts[i] = std::make_unique<Host>();
            hosts[i]->name = std::string(names[i]) + ".peers.test";
            hosts[i]->ns = "kq-" + std::string(names[i]) + "-" + tag;
            hosts[i]->addr = "198.51.100." + std::to_string(i + 1);
            auto r = testutil::runProcess({ipPath(), "netns", "add", hosts[i]->ns});
            if (r.exitCode != 0)
                GTEST_SKIP() << "network namespaces are not permitted here (ip netns add exited " << r.exitCode
                             << ": " << r.err << "); needs root or CAP_SYS_ADMIN";
            made[i] = true;
        }
        std::string va = "kqa" + tag, vb = "kqb" + tag;
        run({ipPath(), "link", "add", va, "type", "veth", "peer", "name", vb});
        run({ipPath(), "link", "set", va, "netns", hosts[0]->ns});
        run({ipPath(), "link", "set", vb, "netns", hosts[1]->ns});
        for (int i = 0; i < 2; i++) {
            const std::string &ns = hosts[i]->ns, &dev = i == 0 ? va : vb;
            run({ipPath(), "-n", ns, "link", "set", "lo", "up"});
            run({ipPath(), "-n", ns, "addr", "add", hosts[i]->addr + "/24", "dev", dev});
            run({ipPath(), "-n", ns, "link", "set", dev, "up"});
            Host &h = *hosts[i];
            testutil::writeFile(h.home.file("kestrova.pem"), testutil::readFile(agenttest::caDir() + "/kestrova.pem"));
            testutil::writeFile(h.home.file("kestrova.xml"), "<?xml version=\"1.0\"?>\n"
                                                             "<kestrova version=\"1\">\n"
                                                             "<peerScanInterval>15</peerScanInterval>\n"
                                                             "</kestrova>\n");
            testutil::writeFile(h.home.file("depfeed.txt"), "add 3 0 localhost 192.0.2.53 udp/53\n");
        }
    }

    void TearDown() override {
        for (auto &h : hosts) {
            if (!h)
                continue;
            stop(*h);
            std::string out = h->output();
            for (const char *report : {"WARNING: ThreadSanitizer", "ERROR: AddressSanitizer", "runtime error:",
                                       "ERROR: LeakSanitizer"})
                EXPECT_EQ(out.find(report), std::string::npos) << out;
        }
        for (int i = 0; i < 2; i++)
            if (made[i])
                testutil::runProcess({ipPath(), "netns", "del", hosts[i]->ns});
    }

    void run(const std::vector<std::string> &args) {
        auto r = testutil::runProcess(args);
        ASSERT_EQ(r.exitCode, 0) << args[0] << " " << args[1] << ": " << r.err;
    }

    // qeld in the host's namespace under the host's own name (a UTS
    // namespace of its own), on port 5270.
    bool start(Host &h) {
        pid_t pid = fork();
        if (pid < 0)
            return false;
        if (pid == 0) {
            int out = open(h.home.file("qeld.out").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            if (out >= 0) {
                dup2(out, 1);
                dup2(out, 2);
            }
            setenv("KESTROVA_TIME_DIVISOR", "60", 1);
            setenv("MIB2_REFRESH_SECONDS", "1", 1);
            setenv("KESTROVA_PEER_TIMEOUT", "5", 1);
            std::string cmd = "hostname " + h.name + " && exec \"$@\"";
            std::vector<std::string> args = {ipPath(),
                                             "netns",
                                             "exec",
                                             h.ns,
                                             "/usr/bin/unshare",
                                             "--uts",
                                             "/bin/sh",
                                             "-c",
                                             cmd,
                                             "qeld",
                                             testutil::binPath("qeld"),
                                             "-f",
                                             "-p",
                                             "5270",
                                             "-H",
                                             h.home.path(),
                                             std::string(KESTROVA_PLUGIN_DIR) + "/mib2-linux.so",
                                             std::string(KESTROVA_PLUGIN_DIR) + "/kestrova-linux.so",
                                             std::string(KESTROVA_BIN_DIR) + "/../tests/plugins/depfeed-linux.so"};
            std::vector<char *> argv;
            for (auto &a : args)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        h.pid = pid;
        auto deadline = std::chrono::steady_clock::now() + 30s;
        while (std::chrono::steady_clock::now() < deadline) {
            if (waitpid(h.pid, nullptr, WNOHANG) == h.pid) {
                h.pid = -1;
                return false;
            }
            if (h.log().find("qeld ready") != std::string::npos)
                return true;
            std::this_thread::sleep_for(20ms);
        }
        return false;
    }

    void stop(Host &h) {
        if (h.pid <= 0)
            return;
        kill(h.pid, SIGTERM);
        auto deadline = std::chrono::steady_clock::now() + 10s;
        while (std::chrono::steady_clock::now() < deadline) {
            if (waitpid(h.pid, nullptr, WNOHANG) == h.pid) {
                h.pid = -1;
                return;
            }
            std::this_thread::sleep_for(20ms);
        }
        kill(h.pid, SIGKILL);
        waitpid(h.pid, nullptr, 0);
        h.pid = -1;
    }

    // Runs fn on a thread inside the host's namespace, with a session to
    // its agent.
    void inHost(Host &h, const std::function<void(qelSession_t *)> &fn) {
        agenttest::caDir();
        std::thread t([&] {
            int fd = open(("/run/netns/" + h.ns).c_str(), O_RDONLY | O_CLOEXEC);
            if (fd < 0 || setns(fd, CLONE_NEWNET) != 0) {
                ADD_FAILURE() << "cannot enter namespace " << h.ns;
                if (fd >= 0)
                    close(fd);
                return;
            }
            close(fd);
            qelSession_t *s = agenttest::connect(5270, "tester");
            if (!s) {
                ADD_FAILURE() << "no session to the agent of " << h.name;
                return;
            }
            fn(s);
            destroyQelSession(s);
        });
        t.join();
    }

    std::unique_ptr<Host> hosts[2];
    bool made[2] = {false, false};
};

using Rows = std::map<std::string, std::map<std::string, std::string>>;

Rows peerRows(qelSession_t *s) {
    qelPdu_t req, reply;
    agenttest::buildSelect(req, "kestrova", "peerTable", "*", 0,
                           {"peerName", "peerServer", "peerDependType", "peerReachable"});
    Rows rows;
    if (agenttest::transact(s, req, reply) == 1)
        for (const Var &v : agenttest::variables(reply))
            rows[v.key][v.obj] = v.value;
    qelPduCleanup(&req);
    qelPduCleanup(&reply);
    return rows;
}

TEST_F(PeerAgents, AlphaFindsBravoThroughItsNeighboursAndTheSharedServer) {
    ASSERT_TRUE(start(*hosts[1])) << hosts[1]->output();
    ASSERT_TRUE(start(*hosts[0])) << hosts[0]->output();
    // Traffic between the two makes each a resolved neighbour of the other.
    run({ipPath(), "netns", "exec", hosts[0]->ns, "ping", "-c", "1", "-W", "2", hosts[1]->addr});
    // Bravo's own name, from its table; its address, which also uses the
    // shared server (the pairing of both tables says so), answers probes
    // and the agent check.
    Rows rows, deps;
    inHost(*hosts[0], [&](qelSession_t *s) {
        auto deadline = std::chrono::steady_clock::now() + 90s; // sanitizer builds are slow
        while (std::chrono::steady_clock::now() < deadline) {
            rows = peerRows(s);
            if (rows.count("bravo.peers.test.3") && rows["198.51.100.2.3"]["peerReachable"] == "true")
                break;
            std::this_thread::sleep_for(250ms);
        }
        qelPdu_t req, reply;
        agenttest::buildSelect(req, "kestrova", "dependencyTable", "*", 0, {"dependClient", "dependServer"});
        if (agenttest::transact(s, req, reply) == 1)
            for (const Var &v : agenttest::variables(reply))
                deps[v.key][v.obj] = v.value;
        qelPduCleanup(&req);
        qelPduCleanup(&reply);
    });
    EXPECT_EQ(rows["198.51.100.2.3"]["peerReachable"], "true");
    EXPECT_EQ(rows["198.51.100.2.3"]["peerServer"], "192.0.2.53");
    // Bravo's dependencies are in alpha's graph, not in its table.
    EXPECT_FALSE(deps.empty());
    for (const auto &[key, cols] : deps)
        EXPECT_TRUE(cols.at("dependClient") == "alpha.peers.test" || cols.at("dependServer") == "alpha.peers.test")
            << key;
    ASSERT_EQ(rows.count("bravo.peers.test.3"), 1u) << hosts[0]->log() << hosts[0]->output();
    auto &bravo = rows["bravo.peers.test.3"];
    EXPECT_EQ(bravo["peerName"], "bravo.peers.test");
    EXPECT_EQ(bravo["peerServer"], "192.0.2.53");
    EXPECT_EQ(bravo["peerDependType"], "3");
    // Alpha itself and the unanswering DNS server are no peers.
    for (const auto &[key, cols] : rows) {
        EXPECT_EQ(key.find("alpha.peers.test"), std::string::npos) << key;
        EXPECT_EQ(key.find("192.0.2.53."), std::string::npos) << key;
    }
}

// A dependency alpha no longer sees ages out; alpha tells its peers, and
// bravo's agent records the trap.
TEST_F(PeerAgents, PrunedDependencyTrapReachesThePeer) {
    testutil::writeFile(hosts[0]->home.file("depfeed.txt"), "add 3 0 localhost 192.0.2.53 udp/53\n"
                                                            "add 10 0 localhost 192.0.2.99 ssh\n");
    ASSERT_TRUE(start(*hosts[1])) << hosts[1]->output();
    ASSERT_TRUE(start(*hosts[0])) << hosts[0]->output();
    run({ipPath(), "netns", "exec", hosts[0]->ns, "ping", "-c", "1", "-W", "2", hosts[1]->addr});
    bool peered = false;
    inHost(*hosts[0], [&](qelSession_t *s) {
        auto deadline = std::chrono::steady_clock::now() + 90s;
        while (!peered && std::chrono::steady_clock::now() < deadline) {
            peered = peerRows(s).count("198.51.100.2.3") == 1;
            if (!peered)
                std::this_thread::sleep_for(250ms);
        }
        qelPdu_t set, reply;
        agenttest::buildRequest(set, SetRequest, {{"kestrova", "dependencyAgeOutInterval", "", "2"}});
        EXPECT_EQ(agenttest::transact(s, set, reply), 1);
        EXPECT_EQ(reply.errorStatus, noError);
        qelPduCleanup(&set);
        qelPduCleanup(&reply);
    });
    ASSERT_TRUE(peered) << hosts[0]->log();
    testutil::writeFile(hosts[0]->home.file("depfeed.txt"), "add 3 0 localhost 192.0.2.53 udp/53\n");
    std::string seen;
    inHost(*hosts[1], [&](qelSession_t *s) {
        auto deadline = std::chrono::steady_clock::now() + 90s;
        while (std::chrono::steady_clock::now() < deadline) {
            qelPdu_t req, reply;
            agenttest::buildSelect(req, "core", "trapTable", "*", 0,
                                   {"trapDirection", "trapEventType", "trapVariables"});
            if (agenttest::transact(s, req, reply) == 1)
                for (const Var &v : agenttest::variables(reply))
                    if (v.obj == "trapVariables" && v.value.find("kestrova.pruneDependency") != std::string::npos)
                        seen = v.value;
            qelPduCleanup(&req);
            qelPduCleanup(&reply);
            if (!seen.empty())
                break;
            std::this_thread::sleep_for(250ms);
        }
    });
    ASSERT_FALSE(seen.empty()) << hosts[0]->log() << hosts[1]->log();
    EXPECT_NE(seen.find("kestrova.dependType=dependLogin(10)/10"), std::string::npos) << seen;
    EXPECT_NE(seen.find("kestrova.dependReference=outbound(0)"), std::string::npos) << seen;
    EXPECT_NE(seen.find("kestrova.dependPeer=192.0.2.99"), std::string::npos) << seen;
    EXPECT_NE(seen.find("kestrova.dependArgs=ssh"), std::string::npos) << seen;
}

} // namespace
