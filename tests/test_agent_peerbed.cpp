// Three hosts, alpha, bravo and charlie, each a network namespace with its
// own host name and (in a private mount namespace) a hosts file naming all
// of them, joined by one bridge in a fourth namespace (198.51.100.0/24, no
// route beyond). Each runs qeld with mib2, kestrova and depfeed on port
// 5270. Delta is a permanent neighbour entry whose hardware address no
// namespace owns: it never answers. Alpha and bravo depend on one name
// server and alpha on bravo; charlie shares the server but alpha knows
// charlie only as a neighbour.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <thread>

#include "agent_testutil.h"
#include "netns_agent.h"
#include "qel/qel_session.h"
#include "testutil.h"

namespace {

using agenttest::Var;
using netnstest::ip;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const char *kHosts =
    "127.0.0.1 localhost\n"
    "198.51.100.1 alpha.bed.test alpha\n"
    "198.51.100.2 bravo.bed.test bravo\n"
    "198.51.100.3 charlie.bed.test charlie\n"
    "198.51.100.4 delta.bed.test delta\n"
    "198.51.100.5 foxtrot.bed.test foxtrot\n"
    "198.51.100.6 golf.bed.test golf\n"
    "198.51.100.77 echo.bed.test echo\n"
    "192.0.2.53 dns.bed.test\n";

// The name server is off the link with no route to it: it fails at once,
// for probes and for the peer search alike. Delta, foxtrot and golf are
// silent: each probe of them waits its whole time-out. Foxtrot and golf
// are probed (no point of view) but never asked as peers.
const char *kAlphaFeed =
    "add 3 0 localhost dns.bed.test udp/53\n"
    "add 10 0 localhost bravo.bed.test ssh\n"
    "add 10 0 localhost delta.bed.test ssh\n"
    "add 12 3 localhost foxtrot.bed.test news\n"
    "add 12 3 localhost golf.bed.test news\n";
const char *kAlphaWeb = "add 11 0 localhost web.bed.test http\n";
// Bravo serves echo, a host alpha knows nothing of, a service alpha does
// not use (so echo is no peer of alpha's).
const char *kBravoFeed =
    "add 3 0 localhost dns.bed.test udp/53\n"
    "add 13 1 echo.bed.test localhost db\n";
const char *kCharlieFeed = "add 3 0 localhost dns.bed.test charlie-dns\n";

using Rows = std::map<std::string, std::map<std::string, std::string>>;

Rows selectRows(qelSession_t *s, const std::string &mib, const std::string &table,
                const std::vector<std::string> &columns) {
    qelPdu_t req, reply;
    agenttest::buildSelect(req, mib, table, "*", 0, columns);
    Rows rows;
    if (agenttest::transact(s, req, reply) == 1)
        for (const Var &v : agenttest::variables(reply))
            rows[v.key][v.obj] = v.value;
    qelPduCleanup(&req);
    qelPduCleanup(&reply);
    return rows;
}

Rows peerRows(qelSession_t *s) {
    return selectRows(s, "kestrova", "peerTable", {"peerName", "peerServer", "peerDependType", "peerContactTime"});
}

// The variables texts of the received traps of one event type.
std::vector<std::string> receivedTraps(qelSession_t *s, const std::string &eventType) {
    std::vector<std::string> out;
    for (const auto &[key, cols] :
         selectRows(s, "core", "trapTable", {"trapDirection", "trapEventType", "trapVariables"})) {
        auto dir = cols.find("trapDirection"), type = cols.find("trapEventType"), vars = cols.find("trapVariables");
        if (dir != cols.end() && type != cols.end() && vars != cols.end() && dir->second == "received" &&
            type->second == eventType)
            out.push_back(vars->second);
    }
    return out;
}

bool setValue(qelSession_t *s, const std::string &obj, const std::string &value) {
    qelPdu_t set, reply;
    agenttest::buildRequest(set, SetRequest, {{"kestrova", obj, "", value}});
    bool ok = agenttest::transact(s, set, reply) == 1 && reply.errorStatus == noError;
    qelPduCleanup(&set);
    qelPduCleanup(&reply);
    return ok;
}

// Polls until pred holds; false at the deadline.
bool waitFor(const std::function<bool()> &pred, std::chrono::seconds limit) {
    auto deadline = Clock::now() + limit;
    while (!pred()) {
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(250ms);
    }
    return true;
}

bool containsAny(const std::vector<std::string> &texts, const std::string &what) {
    for (const auto &t : texts)
        if (t.find(what) != std::string::npos)
            return true;
    return false;
}

struct Host {
    std::string name, addr, feed;
    netnstest::Netns ns;
    netnstest::NetnsAgent agent;
};

class PeerBed : public ::testing::Test {
protected:
    void SetUp() override {
        if (access("/usr/bin/unshare", X_OK) != 0 && access("/bin/unshare", X_OK) != 0)
            GTEST_SKIP() << "needs unshare (util-linux)";
        std::string tag = std::to_string(getpid() % 100000), why;
        auto made = bridge.create("kq-bedbr-" + tag, why);
        if (made == netnstest::Netns::Result::refused)
            GTEST_SKIP() << why;
        ASSERT_EQ(made, netnstest::Netns::Result::made) << why;
        run({"-n", bridge.name(), "link", "add", "br0", "type", "bridge"});
        run({"-n", bridge.name(), "link", "set", "br0", "up"});
        const char *names[] = {"alpha", "bravo", "charlie"};
        const char *feeds[] = {kAlphaFeed, kBravoFeed, kCharlieFeed};
        hostsFile = files.write("hosts", kHosts);
        // A host root without configuration files: discovery finds only
        // what is fed; the kernel's views stay live.
        ASSERT_EQ(mkdir(files.file("root").c_str(), 0755), 0);
        ASSERT_EQ(symlink("/proc", files.file("root/proc").c_str()), 0);
        ASSERT_EQ(symlink("/sys", files.file("root/sys").c_str()), 0);
        testutil::writeFile(client.file("kestrova.pem"), testutil::readFile(agenttest::caDir() + "/kestrova.pem"));
        for (int i = 0; i < 3; i++) {
            hosts[i] = std::make_unique<Host>();
            Host &h = *hosts[i];
            h.name = std::string(names[i]) + ".bed.test";
            h.addr = "198.51.100." + std::to_string(i + 1);
            h.feed = feeds[i];
            made = h.ns.create("kq-bed" + std::string(1, names[i][0]) + "-" + tag, why);
            ASSERT_EQ(made, netnstest::Netns::Result::made) << why;
            std::string inner = "kq" + std::string(1, names[i][0]) + tag, outer = "kq" + std::string(1, 'A' + i) + tag;
            run({"link", "add", inner, "type", "veth", "peer", "name", outer});
            run({"link", "set", outer, "netns", bridge.name()});
            run({"link", "set", inner, "netns", h.ns.name()});
            run({"-n", bridge.name(), "link", "set", outer, "master", "br0"});
            run({"-n", bridge.name(), "link", "set", outer, "up"});
            run({"-n", h.ns.name(), "link", "set", inner, "name", "eth0"});
            run({"-n", h.ns.name(), "addr", "add", h.addr + "/24", "dev", "eth0"});
            run({"-n", h.ns.name(), "link", "set", "eth0", "up"});
            run({"-n", h.ns.name(), "neigh", "replace", "198.51.100.4", "lladdr", "02:00:00:00:00:44", "dev", "eth0",
                 "nud", "permanent"});
            testutil::writeFile(h.agent.file("kestrova.xml"),
                                "<?xml version=\"1.0\"?>\n"
                                "<kestrovaConfig version=\"1\">\n"
                                "<peerScanInterval>15</peerScanInterval>\n"
                                "</kestrovaConfig>\n");
            testutil::writeFile(h.agent.file("depfeed.txt"), h.feed);
        }
        testutil::writeFile(hosts[0]->agent.file("depfeed.txt"), std::string(kAlphaFeed) + kAlphaWeb);
    }

    void TearDown() override {
        for (auto &h : hosts) {
            if (!h)
                continue;
            h->agent.stop();
            EXPECT_EQ(h->agent.sanitizerReports(), "") << h->name;
        }
    }

    void run(const std::vector<std::string> &args) {
        auto r = ip(args);
        ASSERT_EQ(r.exitCode, 0) << "ip " << args[0] << " " << args[1] << " " << args[2] << ": " << r.err;
    }

    bool start(Host &h) {
        netnstest::AgentOptions o;
        o.hostName = h.name;
        o.hostsFile = hostsFile;
        o.port = 5270;
        o.env = {{"KESTROVA_TIME_DIVISOR", "60"},
                 {"MIB2_REFRESH_SECONDS", "1"},
                 {"KESTROVA_PEER_TIMEOUT", "2"},
                 {"KESTROVA_HOST_ROOT", files.file("root")}};
        return h.agent.start(h.ns.name(), o, 60); // sanitizer builds start slowly
    }

    // All three agents; alpha last, after traffic has made the other two
    // its resolved neighbours.
    void startAll() {
        ASSERT_TRUE(start(*hosts[1])) << hosts[1]->agent.output();
        ASSERT_TRUE(start(*hosts[2])) << hosts[2]->agent.output();
        for (int i : {1, 2}) {
            auto r = ip({"netns", "exec", alpha().ns.name(), "ping", "-c", "1", "-W", "2", hosts[i]->addr});
            ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
        }
        ASSERT_TRUE(start(alpha())) << alpha().agent.output();
    }

    // Waits until alpha lists both peers; alpha's last peer rows.
    Rows waitForPeers() {
        Rows rows;
        inHost(alpha(), [&](qelSession_t *s) {
            waitFor(
                [&] {
                    rows = peerRows(s);
                    return rows.count("bravo.bed.test.3") && rows.count("charlie.bed.test.3");
                },
                120s); // sanitizer builds are slow
        });
        return rows;
    }

    // A tool run in alpha's namespace from the client directory.
    testutil::ProcessResult tool(const std::string &name, const std::vector<std::string> &args) {
        std::vector<std::string> argv = {testutil::binPath(name), "127.0.0.1,5270", "tester"};
        argv.insert(argv.end(), args.begin(), args.end());
        return alpha().agent.runInside(argv, client.path(), 60);
    }

    Host &alpha() { return *hosts[0]; }
    Host &bravo() { return *hosts[1]; }
    Host &charlie() { return *hosts[2]; }

    // Runs fn with a session to the host's agent, from inside its namespace.
    void inHost(Host &h, const std::function<void(qelSession_t *)> &fn) {
        if (!h.agent.withSession(fn))
            ADD_FAILURE() << "no session to the agent of " << h.name << "\n" << h.agent.log();
    }

    netnstest::Netns bridge;
    std::unique_ptr<Host> hosts[3];
    testutil::TempDir files, client;
    std::string hostsFile;
};

// Bravo is found through alpha's dependency on it, charlie only through
// alpha's neighbours; both share alpha's name server. Bravo's own client
// (echo) reaches alpha's graph but not its table; the table answers at
// once while the silent hosts are probed.
TEST_F(PeerBed, PeersThroughTheSharedServerAndThirdHostsInTheGraph) {
    ASSERT_NO_FATAL_FAILURE(startAll());
    Rows peers = waitForPeers();
    ASSERT_EQ(peers.count("bravo.bed.test.3"), 1u) << alpha().agent.log() << alpha().agent.output();
    ASSERT_EQ(peers.count("charlie.bed.test.3"), 1u) << alpha().agent.log();
    for (const char *key : {"bravo.bed.test.3", "charlie.bed.test.3"}) {
        EXPECT_EQ(peers[key]["peerServer"], "dns.bed.test") << key;
        EXPECT_EQ(peers[key]["peerDependType"], "3") << key;
    }
    // Silent delta, alpha itself and the server are no peers.
    EXPECT_EQ(peers.size(), 2u) << [&] {
        std::string keys;
        for (const auto &[key, cols] : peers)
            keys += key + " ";
        return keys;
    }();

    // The same through qelquery and the example requests, in alpha's
    // namespace.
    auto r = tool("qelquery", {KESTROVA_SOURCE_DIR "/examples/queries/kestrova-peer-table.xml"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("bravo.bed.test"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("charlie.bed.test"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("delta.bed.test"), std::string::npos) << r.out;

    // Echo depends on bravo: in alpha's graph, not in its table.
    std::string graphFile = client.file("alpha.graphml");
    bool inGraph = waitFor(
        [&] {
            auto g = tool("qelgetsubgraph", {graphFile});
            std::istringstream in(testutil::readFile(graphFile));
            for (std::string line; g.exitCode == 0 && std::getline(in, line);)
                if (line.find("client=\"echo.bed.test\"") != std::string::npos &&
                    line.find("server=\"bravo.bed.test\"") != std::string::npos)
                    return true;
            return false;
        },
        60s);
    EXPECT_TRUE(inGraph) << testutil::readFile(graphFile);
    r = tool("qelquery", {KESTROVA_SOURCE_DIR "/examples/queries/kestrova-dependency-table.xml"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("delta.bed.test"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("bravo.bed.test"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("echo.bed.test"), std::string::npos) << r.out;

    // Three silent hosts: probing them under the graph lock would hold
    // every reader about 9 s a pass. Over a window in which delta is
    // probed again, every select is answered well within one probe's wait.
    inHost(alpha(), [&](qelSession_t *s) {
        auto probes = [&] {
            Rows rows = selectRows(s, "kestrova", "dependencyTable", {"dependServer", "dependNumIcmp"});
            for (const auto &[key, cols] : rows)
                if (cols.count("dependServer") && cols.at("dependServer") == "delta.bed.test")
                    return std::atoi(cols.at("dependNumIcmp").c_str());
            return -1;
        };
        int before = probes();
        ASSERT_GE(before, 0);
        double slowest = 0;
        int asked = 0, after = before;
        auto end = Clock::now() + 30s;
        while (Clock::now() < end && (after <= before + 1 || asked < 20)) {
            auto t0 = Clock::now();
            after = probes();
            slowest = std::max(slowest, std::chrono::duration<double>(Clock::now() - t0).count());
            asked++;
            std::this_thread::sleep_for(100ms);
        }
        // Two more probes of delta: a whole wave fell inside the window.
        EXPECT_GE(after, before + 2);
        EXPECT_LT(slowest, 2.0) << asked << " selects";
    });
}

// Alpha's dropped dependency reaches both peers as a pruneDependency trap.
// Then charlie's agent is stopped (SIGSTOP): alpha's exchanges with it end
// at their bound, the passes go on (bravo is still contacted), charlie's
// dependencies age out of alpha's graph, and alpha prunes charlie and tells
// bravo.
TEST_F(PeerBed, PruneTrapsReachThePeersAndAStoppedAgentDoesNotStallThePasses) {
    ASSERT_NO_FATAL_FAILURE(startAll());
    Rows peers = waitForPeers();
    ASSERT_EQ(peers.count("charlie.bed.test.3"), 1u) << alpha().agent.log();
    ASSERT_EQ(peers.count("bravo.bed.test.3"), 1u) << alpha().agent.log();
    inHost(alpha(), [&](qelSession_t *s) {
        EXPECT_TRUE(setValue(s, "dependencyAgeOutInterval", "2"));
        // Longer than one search of a pass (delta's connect alone takes 3 s):
        // bravo's rows are refreshed well within it.
        EXPECT_TRUE(setValue(s, "peerAgeOutInterval", "10"));
    });
    testutil::writeFile(alpha().agent.file("depfeed.txt"), kAlphaFeed);
    for (Host *h : {&bravo(), &charlie()}) {
        std::vector<std::string> traps;
        inHost(*h, [&](qelSession_t *s) {
            waitFor(
                [&] {
                    traps = receivedTraps(s, "kestrova.pruneDependency");
                    return containsAny(traps, "kestrova.dependArgs=http");
                },
                60s);
        });
        ASSERT_TRUE(containsAny(traps, "kestrova.dependArgs=http")) << h->name << "\n" << alpha().agent.log();
        EXPECT_TRUE(containsAny(traps, "kestrova.dependPeer=web.bed.test")) << h->name;
    }

    std::string contactBefore;
    inHost(alpha(), [&](qelSession_t *s) { contactBefore = peerRows(s)["bravo.bed.test.3"]["peerContactTime"]; });
    ASSERT_FALSE(contactBefore.empty());
    ASSERT_EQ(kill(charlie().agent.pid(), SIGSTOP), 0);
    auto stopped = Clock::now();
    std::vector<std::string> traps;
    inHost(bravo(), [&](qelSession_t *s) {
        waitFor(
            [&] {
                traps = receivedTraps(s, "kestrova.prunePeer");
                return containsAny(traps, "kestrova.peerName=charlie.bed.test");
            },
            150s);
    });
    double took = std::chrono::duration<double>(Clock::now() - stopped).count();
    ASSERT_TRUE(containsAny(traps, "kestrova.peerName=charlie.bed.test")) << alpha().agent.log();
    // Charlie's last rows age out 10 s after their refresh; a pass with a
    // stopped peer lasts its exchange bound (2 s) and the agent check's
    // (10 s) beyond the search. Unbounded reads would hold the first pass
    // for minutes.
    EXPECT_LT(took, 90.0);
    inHost(alpha(), [&](qelSession_t *s) {
        Rows rows = peerRows(s);
        EXPECT_EQ(rows.count("charlie.bed.test.3"), 0u);
        ASSERT_EQ(rows.count("bravo.bed.test.3"), 1u);
        EXPECT_NE(rows["bravo.bed.test.3"]["peerContactTime"], contactBefore);
    });
}

// Bravo depends on charlie for NTP; charlie learns the dependency from
// bravo's table and lists it (it is its server), alpha learns it from both.
// Once bravo's discovery stops seeing it, it leaves every agent's graph
// within its age-out and two peer passes (the copies do not keep each other
// alive), each agent that held it sends one pruneDependency trap, and a
// third-host dependency still reported (echo on bravo) keeps flowing.
TEST_F(PeerBed, ADependencyItsHostStopsSeeingLeavesEveryGraph) {
    const std::string ntp = "add 4 0 localhost charlie.bed.test ntp\n";
    testutil::writeFile(bravo().agent.file("depfeed.txt"), std::string(kBravoFeed) + ntp);
    ASSERT_NO_FATAL_FAILURE(startAll());
    for (Host *h : {&alpha(), &bravo(), &charlie()})
        inHost(*h, [&](qelSession_t *s) {
            EXPECT_TRUE(setValue(s, "dependencyAgeOutInterval", "5"));
            EXPECT_TRUE(setValue(s, "peerAgeOutInterval", "10"));
        });
    auto inTable = [&](Host &h) {
        bool found = false;
        inHost(h, [&](qelSession_t *s) {
            for (const auto &[key, cols] :
                 selectRows(s, "kestrova", "dependencyTable", {"dependClient", "dependServer", "dependArgs"}))
                found |= cols.count("dependArgs") && cols.at("dependArgs") == "ntp" &&
                         cols.at("dependClient") == "bravo.bed.test" && cols.at("dependServer") == "charlie.bed.test";
        });
        return found;
    };
    std::string graphFile = client.file("alpha.graphml");
    auto inAlphaGraph = [&](const char *clientName, const char *serverName, const char *args) {
        auto g = tool("qelgetsubgraph", {graphFile});
        std::istringstream in(testutil::readFile(graphFile));
        for (std::string line; g.exitCode == 0 && std::getline(in, line);)
            if (line.find(std::string("client=\"") + clientName + "\"") != std::string::npos &&
                line.find(std::string("server=\"") + serverName + "\"") != std::string::npos &&
                line.find(args) != std::string::npos)
                return true;
        return false;
    };
    ASSERT_TRUE(waitFor([&] { return inTable(charlie()); }, 120s)) << charlie().agent.log();
    ASSERT_TRUE(waitFor([&] { return inAlphaGraph("bravo.bed.test", "charlie.bed.test", "ntp"); }, 60s))
        << testutil::readFile(graphFile);
    EXPECT_TRUE(inTable(bravo()));

    testutil::writeFile(bravo().agent.file("depfeed.txt"), kBravoFeed);
    auto dropped = Clock::now();
    EXPECT_TRUE(waitFor(
        [&] {
            return !inTable(bravo()) && !inTable(charlie()) &&
                   !inAlphaGraph("bravo.bed.test", "charlie.bed.test", "ntp");
        },
        90s))
        << bravo().agent.log() << charlie().agent.log();
    double took = std::chrono::duration<double>(Clock::now() - dropped).count();
    // Five seconds of age-out, ten for the copies held by the others, and
    // two peer passes.
    EXPECT_LT(took, 75.0);

    // One trap from each holder: bravo's own (outbound, naming charlie) and
    // the two learned copies (no point of view of their own). A pass more
    // shows no second round.
    std::this_thread::sleep_for(20s);
    auto count = [](const std::vector<std::string> &traps, const std::string &what) {
        return std::count_if(traps.begin(), traps.end(), [&](const std::string &t) {
            return t.find("kestrova.dependArgs=ntp") != std::string::npos && t.find(what) != std::string::npos;
        });
    };
    std::map<std::string, std::pair<long, long>> expected = {{"alpha", {1, 1}}, {"bravo", {0, 2}}, {"charlie", {1, 1}}};
    for (Host *h : {&alpha(), &bravo(), &charlie()})
        inHost(*h, [&](qelSession_t *s) {
            auto traps = receivedTraps(s, "kestrova.pruneDependency");
            auto want = expected[h->name.substr(0, h->name.find('.'))];
            std::string all;
            for (const auto &t : traps)
                all += t + "\n";
            EXPECT_EQ(count(traps, "kestrova.dependPeer=charlie.bed.test"), want.first) << h->name << "\n" << all;
            EXPECT_EQ(count(traps, "kestrova.dependReference=3"), want.second) << h->name << "\n" << all;
        });

    // Echo's dependency on bravo, still reported, is still in alpha's graph.
    EXPECT_TRUE(inAlphaGraph("echo.bed.test", "bravo.bed.test", "db")) << testutil::readFile(graphFile);
}

} // namespace
