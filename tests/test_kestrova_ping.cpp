// link: kestrova_core
// ICMP probes inside network namespaces this program makes. A is the prober
// (the test thread enters it, so every socket lives there); B answers on
// 192.0.2.2 and 2001:db8:b::2 and on the locally routed 198.18.0.0/21; C
// ignores echo requests on all its addresses (203.0.113.0/24,
// 2001:db8:c::/64, the locally routed 198.18.8.0/21), and raw responders in
// C and B answer wrongly on purpose. A sends 198.51.100.0/24 and
// 2001:db8:dead::/48 into blackhole routes; nobody holds 192.0.2.99.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "kestrova_test_host.h"
#include "ping.h"
#include "testutil.h"

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

const std::string &ipPath() {
    static const std::string path = [] {
        for (const char *p : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"})
            if (access(p, X_OK) == 0)
                return std::string(p);
        return std::string("ip");
    }();
    return path;
}

testutil::ProcessResult run(std::vector<std::string> argv, int timeoutSeconds = 60) {
    if (!argv.empty() && argv[0] == "ip")
        argv[0] = ipPath();
    return testutil::runProcess(argv, "", timeoutSeconds);
}

// Closes the sockets a probe opened into its ints.
struct Sockets {
    int raw4 = 0, raw6 = 0;
    ~Sockets() {
        if (raw4 > 0)
            close(raw4);
        if (raw6 > 0)
            close(raw6);
    }
};

int socketType(int fd) {
    int type = 0;
    socklen_t len = sizeof type;
    return getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) == 0 ? type : -1;
}

// One probe run on a thread of its own with its own sockets.
struct Probe {
    int version = 0;
    std::string host;
    int packets = 0, timeout = 0;
    int result = -99;
    kestrovaPingArgs_t args{};
    double seconds = 0;
};

void runProbe(Probe &p) {
    Sockets s;
    p.args.numPackets = p.packets;
    p.args.timeout = p.timeout;
    auto t0 = Clock::now();
    p.result = pingHost(p.version, p.host.c_str(), &p.args, &s.raw4, &s.raw6);
    p.seconds = secondsSince(t0);
}

// Runs every probe at once; threads start in the caller's namespace.
void runAll(std::vector<Probe> &probes, const std::function<void()> &alongside = {}) {
    std::vector<std::thread> threads;
    for (auto &p : probes)
        threads.emplace_back([&p] { runProbe(p); });
    if (alongside)
        alongside();
    for (auto &t : threads)
        t.join();
}

// Enters a namespace on the calling thread only.
bool enterNamespace(const std::string &ns) {
    int fd = open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = setns(fd, CLONE_NEWNET) == 0;
    close(fd);
    return ok;
}

class PingNetns : public ::testing::Test {
public:
    static void SetUpTestSuite() {
        std::string id = std::to_string(getpid());
        sweepLeftovers();
        nsA = "kp-" + id + "-a";
        nsB = "kp-" + id + "-b";
        nsC = "kp-" + id + "-c";
        if (access(ipPath().c_str(), X_OK) != 0) {
            skipReason = "no ip program (iproute2) on this host";
            return;
        }
        auto r = run({"ip", "netns", "add", nsA});
        if (r.exitCode != 0) {
            skipReason =
                "network namespaces are not permitted here (ip netns add: " + r.err + "); needs root or CAP_SYS_ADMIN";
            return;
        }
        made.push_back(nsA);
        for (const auto &ns : {nsB, nsC}) {
            if (run({"ip", "netns", "add", ns}).exitCode != 0) {
                setupError = "ip netns add " + ns + " failed";
                return;
            }
            made.push_back(ns);
        }
        const std::string ab = "kpab" + id, ba = "kpba" + id, ac = "kpac" + id, ca = "kpca" + id;
        r = run({"ip", "link", "add", ab, "netns", nsA, "type", "veth", "peer", "name", ba, "netns", nsB});
        if (r.exitCode != 0) {
            skipReason = "veth pairs cannot be made here (ip link add: " + r.err + ")";
            return;
        }
        const std::vector<std::vector<std::string>> steps = {
            {"link", "add", ac, "netns", nsA, "type", "veth", "peer", "name", ca, "netns", nsC},
            {"-n", nsA, "link", "set", "lo", "up"},
            {"-n", nsB, "link", "set", "lo", "up"},
            {"-n", nsC, "link", "set", "lo", "up"},
            {"-n", nsA, "addr", "add", "192.0.2.1/24", "dev", ab},
            {"-n", nsA, "addr", "add", "2001:db8:b::1/64", "dev", ab, "nodad"},
            {"-n", nsA, "addr", "add", "203.0.113.1/24", "dev", ac},
            {"-n", nsA, "addr", "add", "2001:db8:c::1/64", "dev", ac, "nodad"},
            {"-n", nsB, "addr", "add", "192.0.2.2/24", "dev", ba},
            {"-n", nsB, "addr", "add", "2001:db8:b::2/64", "dev", ba, "nodad"},
            {"-n", nsC, "addr", "add", "203.0.113.3/24", "dev", ca},
            {"-n", nsC, "addr", "add", "203.0.113.5/24", "dev", ca},
            {"-n", nsC, "addr", "add", "203.0.113.6/24", "dev", ca},
            {"-n", nsC, "addr", "add", "203.0.113.7/24", "dev", ca},
            {"-n", nsC, "addr", "add", "203.0.113.8/24", "dev", ca},
            {"-n", nsC, "addr", "add", "2001:db8:c::3/64", "dev", ca, "nodad"},
            {"-n", nsC, "addr", "add", "2001:db8:c::5/64", "dev", ca, "nodad"},
            {"-n", nsC, "addr", "add", "2001:db8:c::6/64", "dev", ca, "nodad"},
            {"-n", nsC, "addr", "add", "2001:db8:c::7/64", "dev", ca, "nodad"},
            {"-n", nsA, "link", "set", ab, "up"},
            {"-n", nsA, "link", "set", ac, "up"},
            {"-n", nsB, "link", "set", ba, "up"},
            {"-n", nsC, "link", "set", ca, "up"},
            {"-n", nsB, "route", "add", "local", "198.18.0.0/21", "dev", "lo"},
            {"-n", nsC, "route", "add", "local", "198.18.8.0/21", "dev", "lo"},
            {"-n", nsA, "route", "add", "198.18.0.0/21", "via", "192.0.2.2"},
            {"-n", nsA, "route", "add", "198.18.8.0/21", "via", "203.0.113.3"},
            {"-n", nsA, "route", "add", "blackhole", "198.51.100.0/24"},
            {"-n", nsA, "-6", "route", "add", "blackhole", "2001:db8:dead::/48"},
        };
        for (const auto &s : steps) {
            std::vector<std::string> argv = {"ip"};
            argv.insert(argv.end(), s.begin(), s.end());
            r = run(argv);
            if (r.exitCode != 0) {
                setupError = "ip " + ::testing::PrintToString(s) + ": " + r.err;
                return;
            }
        }
        r = run({"ip", "netns", "exec", nsC, "sh", "-c",
                 "echo 1 > /proc/sys/net/ipv4/icmp_echo_ignore_all && "
                 "echo 1 > /proc/sys/net/ipv6/icmp/echo_ignore_all"});
        if (r.exitCode != 0) {
            setupError = "cannot silence C: " + r.err;
            return;
        }
        // A link sends nothing until the kernel has switched it on, which
        // it does a little after "up"; until then packets are dropped.
        for (const auto &[ns, dev] :
             std::vector<std::pair<std::string, std::string>>{{nsA, ab}, {nsA, ac}, {nsB, ba}, {nsC, ca}}) {
            bool up = false;
            for (int i = 0; i < 100 && !up; ++i) {
                up = run({"ip", "-n", ns, "-o", "link", "show", "dev", dev}).out.find("state UP") != std::string::npos;
                if (!up)
                    usleep(20000);
            }
            if (!up) {
                setupError = dev + " in " + ns + " does not come up";
                return;
            }
        }
        // The test thread probes from A; threads it starts are born there.
        homeNs = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        if (homeNs < 0 || !enterNamespace(nsA)) {
            setupError = "cannot enter namespace " + nsA;
            return;
        }
        // Neighbours found before any case counts packets.
        for (const char *host : {"192.0.2.2", "2001:db8:b::2"}) {
            Probe p{0, host, 1, 1};
            for (int i = 0; i < 3 && p.result != 1; ++i)
                runProbe(p);
            if (p.result != 1) {
                setupError = std::string("B does not answer on ") + host;
                return;
            }
        }
        ready = true;
    }

    static void TearDownTestSuite() {
        if (homeNs >= 0) {
            setns(homeNs, CLONE_NEWNET);
            close(homeNs);
            homeNs = -1;
        }
        // Deleting a namespace takes its veth ends, and so the pairs, along.
        for (const auto &ns : made)
            run({"ip", "netns", "del", ns});
        made.clear();
    }

    // Namespaces of runs that were killed before they could delete them.
    static void sweepLeftovers() {
        auto r = run({"ip", "netns", "list"});
        static const std::regex mine("^kp-([0-9]+)-[abc]\\b");
        std::istringstream in(r.out);
        std::string line;
        std::smatch m;
        while (std::getline(in, line)) {
            if (std::regex_search(line, m, mine) && kill(std::stoi(m[1]), 0) != 0 && errno == ESRCH)
                run({"ip", "netns", "del", line.substr(0, line.find(' '))});
        }
    }

protected:
    void SetUp() override {
        if (!skipReason.empty())
            GTEST_SKIP() << skipReason;
        ASSERT_TRUE(setupError.empty()) << setupError;
        ASSERT_TRUE(ready);
        testhost::reset();
        testhost::ipv4Names["b.test"] = "192.0.2.2";
        testhost::ipv6Names["b.test"] = "2001:db8:b::2";
        testhost::ipv6Names["v6only.test"] = "2001:db8:b::2";
    }
    void TearDown() override { debugLevel = 0; }

    static inline std::string nsA, nsB, nsC;
    static inline std::vector<std::string> made;
    static inline std::string skipReason, setupError;
    static inline int homeNs = -1;
    static inline bool ready = false;
};

TEST_F(PingNetns, ArgumentErrorsGiveTheirCodesAndTexts) {
    Sockets s;
    kestrovaPingArgs_t a{};
    testing::internal::CaptureStderr();
    EXPECT_EQ(pingHost(4, nullptr, &a, &s.raw4, &s.raw6), -1);
    EXPECT_EQ(ping6Host("", &a, &s.raw6), -1);
    EXPECT_EQ(pingHost(0, "", &a, &s.raw4, &s.raw6), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "pingHost: invalid args\nping6Host: invalid args\npingHost: invalid args\n");
    testing::internal::CaptureStdout();
    EXPECT_EQ(ping4Host("192.0.2.2", &a, nullptr), -2);
    EXPECT_EQ(ping6Host("2001:db8:b::2", &a, nullptr), -2);
    EXPECT_EQ(pingHost(0, "2001:db8:b::2", &a, &s.raw4, nullptr), -2);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "pingHost: invalid raw sock\nping6: invalid raw sock\nping6: invalid raw sock\n");
    EXPECT_EQ(s.raw4, 0) << "no socket is opened for refused arguments";

    // Names that do not resolve: -4, with the record as set up (packets
    // below 1 take the default) and the socket open and kept.
    a = {77, -5, 77, -1};
    EXPECT_EQ(ping4Host("nowhere.test", &a, &s.raw4), -4);
    EXPECT_EQ(a.numPackets, 3);
    EXPECT_EQ(a.numAnswers, 0);
    EXPECT_EQ(a.avgMsecs, 0);
    ASSERT_GT(s.raw4, 0);
    EXPECT_EQ(socketType(s.raw4), SOCK_RAW);
    const int kept = s.raw4;
    EXPECT_EQ(pingHost(0, "nowhere.test", &a, &s.raw4, &s.raw6), -4);
    EXPECT_EQ(s.raw4, kept);
    EXPECT_EQ(ping6Host("nowhere.test", &a, &s.raw6), -4);
    EXPECT_EQ(pingHost(6, "192.0.2.2", &a, &s.raw4, &s.raw6), -4) << "no IPv6 address in an IPv4 literal";
    EXPECT_EQ(pingHost(4, "v6only.test", &a, &s.raw4, &s.raw6), -4);
    EXPECT_GT(s.raw6, 0);
    EXPECT_TRUE(testhost::logs.empty());
}

TEST_F(PingNetns, AnsweringHostAnswersEveryPacket) {
    for (const char *host : {"192.0.2.2", "2001:db8:b::2"}) {
        SCOPED_TRACE(host);
        Sockets s;
        kestrovaPingArgs_t a{};
        int version = strchr(host, ':') ? 6 : 4;
        EXPECT_EQ(pingHost(version, host, &a, &s.raw4, &s.raw6), 1);
        EXPECT_EQ(a.numPackets, 3);
        EXPECT_EQ(a.numAnswers, 3);
        EXPECT_GE(a.avgMsecs, 1) << "each answer adds a millisecond";
        EXPECT_LE(a.avgMsecs, 100);
        // The socket is reused, and a record is optional.
        const int raw = version == 4 ? s.raw4 : s.raw6;
        EXPECT_EQ(pingHost(version, host, nullptr, &s.raw4, &s.raw6), 1);
        EXPECT_EQ(version == 4 ? s.raw4 : s.raw6, raw);
        a = {0, 5, 0, 2};
        EXPECT_EQ(pingHost(version, host, &a, &s.raw4, &s.raw6), 1);
        EXPECT_EQ(a.numPackets, 5);
        EXPECT_EQ(a.numAnswers, 5);
    }
    {
        // Version 0 takes the family from the host: an IPv6 literal and a
        // name with only IPv6 addresses go over IPv6, a name with both over
        // IPv4.
        Sockets s;
        kestrovaPingArgs_t a{};
        EXPECT_EQ(pingHost(0, "2001:db8:b::2", &a, &s.raw4, &s.raw6), 1);
        EXPECT_EQ(a.numAnswers, 3);
        EXPECT_EQ(s.raw4, 0);
        EXPECT_GT(s.raw6, 0);
    }
    {
        Sockets s;
        kestrovaPingArgs_t a{};
        EXPECT_EQ(pingHost(0, "v6only.test", &a, &s.raw4, &s.raw6), 1);
        EXPECT_EQ(a.numAnswers, 3);
        EXPECT_GT(s.raw6, 0);
    }
    {
        Sockets s;
        kestrovaPingArgs_t a{};
        EXPECT_EQ(pingHost(0, "b.test", &a, &s.raw4, &s.raw6), 1);
        EXPECT_EQ(a.numAnswers, 3);
        EXPECT_GT(s.raw4, 0);
        EXPECT_EQ(s.raw6, 0);
    }
    {
        // With debugging: the start and summary lines.
        Sockets s;
        debugLevel = 1;
        testing::internal::CaptureStderr();
        EXPECT_EQ(ping4Host("192.0.2.2", nullptr, &s.raw4), 1);
        EXPECT_EQ(ping6Host("2001:db8:dead::1", nullptr, &s.raw6), 0);
        std::string err = testing::internal::GetCapturedStderr();
        debugLevel = 0;
        EXPECT_NE(err.find("pingHost: starting to ping 192.0.2.2\n"), std::string::npos) << err;
        EXPECT_NE(err.find("ping: 3 xmitd, 3 received, 0% lost for 192.0.2.2\n"), std::string::npos) << err;
        EXPECT_NE(err.find("ping6Host: starting to ping 2001:db8:dead::1\n"), std::string::npos) << err;
        EXPECT_NE(err.find("ping6: 3 xmitd, 0 received, 100% lost for 2001:db8:dead::1\n"), std::string::npos) << err;
    }
}

// Silent, absent and blackholed hosts probed from threads of their own
// while another thread keeps probing the answering host: every thread gets
// its own results, and only the blackholed ones skip their waits.
TEST_F(PingNetns, ConcurrentProbesGetTheirOwnResults) {
    std::vector<Probe> probes = {
        {4, "203.0.113.3", 0, 0},  {6, "2001:db8:c::3", 0, 0},    {4, "192.0.2.99", 1, 1},
        {4, "198.51.100.7", 0, 0}, {6, "2001:db8:dead::7", 0, 0},
    };
    std::atomic<bool> done{false};
    std::vector<Probe> answering;
    std::thread busy([&] {
        while (!done.load()) {
            Probe p{4, "192.0.2.2", 2, 1};
            runProbe(p);
            answering.push_back(p);
            Probe q{6, "2001:db8:b::2", 1, 1};
            runProbe(q);
            answering.push_back(q);
        }
    });
    runAll(probes);
    done = true;
    busy.join();

    for (int i : {0, 1}) {
        SCOPED_TRACE(probes[i].host);
        EXPECT_EQ(probes[i].result, 0);
        EXPECT_EQ(probes[i].args.numPackets, 3);
        EXPECT_EQ(probes[i].args.numAnswers, 0);
        EXPECT_EQ(probes[i].args.avgMsecs, 5000);
        EXPECT_GE(probes[i].seconds, 2.9);
        EXPECT_LE(probes[i].seconds, 4.0);
    }
    EXPECT_EQ(probes[2].result, 0);
    EXPECT_EQ(probes[2].args.avgMsecs, 5000);
    EXPECT_GE(probes[2].seconds, 0.9);
    for (int i : {3, 4}) {
        SCOPED_TRACE(probes[i].host);
        EXPECT_EQ(probes[i].result, 0);
        EXPECT_EQ(probes[i].args.numPackets, 3);
        EXPECT_EQ(probes[i].args.avgMsecs, 5000);
        EXPECT_LT(probes[i].seconds, 0.5) << "a failed send skips the wait";
    }
    ASSERT_GE(answering.size(), 4u);
    for (const auto &p : answering) {
        SCOPED_TRACE(p.host);
        EXPECT_EQ(p.result, 1);
        EXPECT_EQ(p.args.numAnswers, p.packets);
    }
}

TEST_F(PingNetns, ManyHostsGetWhatPingHostGives) {
    const std::vector<const char *> hosts = {
        "192.0.2.2",  "2001:db8:b::2", "v6only.test",  "b.test", "203.0.113.3", "2001:db8:c::3",
        "192.0.2.99", "198.51.100.7",  "nowhere.test", "",       nullptr,       "192.0.2.2",
    };
    const int n = static_cast<int>(hosts.size());
    std::vector<kestrovaPingArgs_t> args(hosts.size());
    args[11] = {0, 5, 0, 1}; // the same host again, with its own count
    std::vector<int> results(hosts.size(), -99);
    Sockets s;
    auto t0 = Clock::now();
    testing::internal::CaptureStderr();
    EXPECT_EQ(pingHostMany(0, hosts.data(), n, args.data(), results.data(), &s.raw4, &s.raw6), 5);
    double seconds = secondsSince(t0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "pingHost: invalid args\npingHost: invalid args\n");
    // Three silent hosts of three one-second packets: together, not in turn.
    EXPECT_GE(seconds, 2.9);
    EXPECT_LE(seconds, 4.5);

    EXPECT_EQ(results, (std::vector<int>{1, 1, 1, 1, 0, 0, 0, 0, -4, -1, -1, 1}));
    for (int i : {0, 1, 2, 3}) {
        EXPECT_EQ(args[i].numAnswers, 3) << hosts[i];
        EXPECT_GE(args[i].avgMsecs, 1) << hosts[i];
        EXPECT_LE(args[i].avgMsecs, 100) << hosts[i];
    }
    EXPECT_EQ(args[11].numPackets, 5);
    EXPECT_EQ(args[11].numAnswers, 5);
    for (int i : {4, 5, 6, 7}) {
        EXPECT_EQ(args[i].numPackets, 3) << hosts[i];
        EXPECT_EQ(args[i].numAnswers, 0) << hosts[i];
        EXPECT_EQ(args[i].avgMsecs, 5000) << hosts[i];
    }
    EXPECT_EQ(args[8].numPackets, 3);
    EXPECT_EQ(args[8].avgMsecs, 0);

    // pingHost on the hosts that answer or fail at once.
    testing::internal::CaptureStderr();
    for (int i : {0, 1, 2, 3, 7, 8, 9, 11}) {
        kestrovaPingArgs_t one{};
        one.numPackets = i == 11 ? 5 : 0;
        int r = pingHost(0, hosts[i], &one, &s.raw4, &s.raw6);
        EXPECT_EQ(r, results[i]) << i;
        EXPECT_EQ(one.numPackets, args[i].numPackets) << i;
        EXPECT_EQ(one.numAnswers, args[i].numAnswers) << i;
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "pingHost: invalid args\n");

    // A fixed family, a missing socket int, and bad calls.
    const char *v6[] = {"2001:db8:b::2", "192.0.2.2"};
    int r2[2];
    EXPECT_EQ(pingHostMany(4, v6, 2, nullptr, r2, &s.raw4, &s.raw6), 1);
    EXPECT_EQ(r2[0], -4);
    EXPECT_EQ(r2[1], 1);
    testing::internal::CaptureStdout();
    EXPECT_EQ(pingHostMany(0, v6, 2, nullptr, r2, &s.raw4, nullptr), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "ping6: invalid raw sock\n");
    EXPECT_EQ(r2[0], -2);
    EXPECT_EQ(pingHostMany(0, nullptr, 2, nullptr, r2, &s.raw4, &s.raw6), -1);
    EXPECT_EQ(pingHostMany(0, v6, 2, nullptr, nullptr, &s.raw4, &s.raw6), -1);
    EXPECT_EQ(pingHostMany(0, v6, -1, nullptr, r2, &s.raw4, &s.raw6), -1);
    EXPECT_EQ(pingHostMany(0, v6, 0, nullptr, r2, &s.raw4, &s.raw6), 0);
}

// More hosts than are kept in flight: 1,100 answering hosts all answer; of
// 1,030 silent one-packet hosts 1,024 wait together and the rest after them.
TEST_F(PingNetns, ManyHostsBeyondWhatIsInFlight) {
    auto range = [](int first, int count) {
        std::vector<std::string> out;
        for (int i = 0; i < count; ++i)
            out.push_back("198.18." + std::to_string(first + (i + 1) / 256) + "." + std::to_string((i + 1) % 256));
        return out;
    };
    struct Batch {
        std::vector<std::string> names;
        std::vector<kestrovaPingArgs_t> args;
        std::vector<int> results;
        int answered = -99;
        double seconds = 0;
    };
    Batch answering{range(0, 1100), {}, {}}, silent{range(8, 1030), {}, {}};
    answering.args.assign(1100, kestrovaPingArgs_t{0, 2, 0, 1});
    silent.args.assign(1030, kestrovaPingArgs_t{0, 1, 0, 1});
    auto go = [](Batch &b) {
        std::vector<const char *> hosts;
        for (auto &h : b.names)
            hosts.push_back(h.c_str());
        b.results.assign(hosts.size(), -99);
        Sockets s;
        auto t0 = Clock::now();
        b.answered = pingHostMany(4, hosts.data(), static_cast<int>(hosts.size()), b.args.data(), b.results.data(),
                                  &s.raw4, &s.raw6);
        b.seconds = secondsSince(t0);
    };
    std::thread other([&] { go(silent); });
    go(answering);
    other.join();

    EXPECT_EQ(answering.answered, 1100);
    int full = 0;
    for (size_t i = 0; i < answering.args.size(); ++i)
        full += answering.results[i] == 1 && answering.args[i].numAnswers == 2;
    EXPECT_EQ(full, 1100);
    EXPECT_EQ(silent.answered, 0);
    int lost = 0;
    for (size_t i = 0; i < silent.args.size(); ++i)
        lost += silent.results[i] == 0 && silent.args[i].avgMsecs == 5000;
    EXPECT_EQ(lost, 1030);
    EXPECT_GE(silent.seconds, 1.9) << "at most 1,024 hosts wait at once";
    EXPECT_LE(silent.seconds, 3.5);
}

// A raw ICMP responder on one of this host's addresses.
struct Responder {
    enum Mode { correct, wrongId, late, withOptions };
    int fd = -1;
    int family = AF_INET;
    Mode mode = correct;
};

struct Pending {
    Clock::time_point due;
    int fd;
    sockaddr_storage to;
    socklen_t toLen;
    std::vector<unsigned char> pkt;
};

uint16_t checksum(const unsigned char *p, size_t len) {
    return in_cksum(reinterpret_cast<u_short *>(const_cast<unsigned char *>(p)), static_cast<int>(len));
}

// Answers echo requests to each responder's address: correctly, with the
// identifier changed, or 1.5 s late. Runs in namespace ns until stop.
void respond(const std::string &ns, std::vector<std::pair<std::string, Responder::Mode>> addrs, std::atomic<bool> &stop,
             std::atomic<int> &requestsSeen, std::atomic<bool> &up) {
    if (!enterNamespace(ns))
        return;
    std::vector<Responder> rs;
    for (auto &[text, mode] : addrs) {
        Responder r;
        r.mode = mode;
        r.family = text.find(':') != std::string::npos ? AF_INET6 : AF_INET;
        r.fd = socket(r.family, SOCK_RAW | SOCK_CLOEXEC,
                      r.family == AF_INET ? static_cast<int>(IPPROTO_ICMP) : static_cast<int>(IPPROTO_ICMPV6));
        sockaddr_storage ss{};
        socklen_t len;
        if (r.family == AF_INET) {
            auto *sin = reinterpret_cast<sockaddr_in *>(&ss);
            sin->sin_family = AF_INET;
            inet_pton(AF_INET, text.c_str(), &sin->sin_addr);
            len = sizeof *sin;
        } else {
            auto *sin6 = reinterpret_cast<sockaddr_in6 *>(&ss);
            sin6->sin6_family = AF_INET6;
            inet_pton(AF_INET6, text.c_str(), &sin6->sin6_addr);
            len = sizeof *sin6;
        }
        if (r.fd < 0 || bind(r.fd, reinterpret_cast<sockaddr *>(&ss), len) != 0)
            return;
        // A 24-byte IPv4 header: three no-operation options and an end.
        const unsigned char options[4] = {1, 1, 1, 0};
        if (mode == Responder::withOptions && setsockopt(r.fd, IPPROTO_IP, IP_OPTIONS, options, sizeof options) != 0)
            return;
        rs.push_back(r);
    }
    up = true;
    std::vector<Pending> pending;
    while (!stop.load()) {
        std::vector<pollfd> pfd;
        for (auto &r : rs)
            pfd.push_back({r.fd, POLLIN, 0});
        poll(pfd.data(), pfd.size(), 5);
        for (size_t k = 0; k < rs.size(); ++k) {
            if (!(pfd[k].revents & POLLIN))
                continue;
            unsigned char buf[4096];
            sockaddr_storage from{};
            socklen_t fromLen = sizeof from;
            ssize_t n =
                recvfrom(rs[k].fd, buf, sizeof buf, MSG_DONTWAIT, reinterpret_cast<sockaddr *>(&from), &fromLen);
            if (n <= 0)
                continue;
            size_t off = rs[k].family == AF_INET ? static_cast<size_t>((buf[0] & 0x0f) * 4) : 0;
            if (static_cast<size_t>(n) < off + 8 || buf[off] != (rs[k].family == AF_INET ? 8 : 128))
                continue;
            ++requestsSeen;
            std::vector<unsigned char> pkt(buf + off, buf + n);
            pkt[0] = rs[k].family == AF_INET ? 0 : 129;
            if (rs[k].mode == Responder::wrongId)
                pkt[4] ^= 0xff, pkt[5] ^= 0xff;
            pkt[2] = pkt[3] = 0;
            if (rs[k].family == AF_INET) {
                uint16_t sum = checksum(pkt.data(), pkt.size());
                memcpy(&pkt[2], &sum, 2);
            }
            auto due = Clock::now() + std::chrono::milliseconds(rs[k].mode == Responder::late ? 1500 : 0);
            pending.push_back({due, rs[k].fd, from, fromLen, pkt});
        }
        auto now = Clock::now();
        for (auto it = pending.begin(); it != pending.end();) {
            if (it->due <= now) {
                sendto(it->fd, it->pkt.data(), it->pkt.size(), 0, reinterpret_cast<sockaddr *>(&it->to), it->toLen);
                it = pending.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto &r : rs)
        close(r.fd);
}

// Echo replies that carry this prober's identifier and sequences 0 and 1
// but come from B, sent to A over and over.
void sprayFromB(const std::string &ns, std::atomic<bool> &stop, std::atomic<int> &sent, std::atomic<bool> &up) {
    if (!enterNamespace(ns))
        return;
    int fd4 = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
    int fd6 = socket(AF_INET6, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMPV6);
    sockaddr_in a4{};
    a4.sin_family = AF_INET;
    inet_pton(AF_INET, "192.0.2.1", &a4.sin_addr);
    sockaddr_in6 a6{};
    a6.sin6_family = AF_INET6;
    inet_pton(AF_INET6, "2001:db8:b::1", &a6.sin6_addr);
    up = true;
    const uint16_t id4 = static_cast<uint16_t>(getpid() & 0xffff);
    while (!stop.load()) {
        for (uint16_t seq : {0, 1}) {
            unsigned char p4[28] = {0,
                                    0,
                                    0,
                                    0,
                                    static_cast<unsigned char>(id4 >> 8),
                                    static_cast<unsigned char>(id4),
                                    0,
                                    static_cast<unsigned char>(seq)};
            uint16_t sum = checksum(p4, sizeof p4);
            memcpy(p4 + 2, &sum, 2);
            if (sendto(fd4, p4, sizeof p4, 0, reinterpret_cast<sockaddr *>(&a4), sizeof a4) > 0)
                ++sent;
            unsigned char p6[8] = {129, 0, 0, 0, 0x06, 0x66, 0, static_cast<unsigned char>(seq)};
            if (sendto(fd6, p6, sizeof p6, 0, reinterpret_cast<sockaddr *>(&a6), sizeof a6) > 0)
                ++sent;
        }
        usleep(10000);
    }
    close(fd4);
    close(fd6);
}

// None of these replies counts: a wrong identifier, a late answer to the
// previous request (1.5 s with one-second waits), replies from a host that
// was not asked. A correctly answering responder shows the replies would
// reach the prober; one whose IPv4 header carries options still counts.
TEST_F(PingNetns, WrongLateAndForeignRepliesDoNotCount) {
    std::atomic<bool> stop{false}, upC{false}, upB{false};
    std::atomic<int> seen{0}, sprayed{0};
    std::thread c(respond, nsC,
                  std::vector<std::pair<std::string, Responder::Mode>>{{"203.0.113.5", Responder::wrongId},
                                                                       {"203.0.113.6", Responder::late},
                                                                       {"203.0.113.7", Responder::correct},
                                                                       {"203.0.113.8", Responder::withOptions},
                                                                       {"2001:db8:c::5", Responder::wrongId},
                                                                       {"2001:db8:c::6", Responder::late},
                                                                       {"2001:db8:c::7", Responder::correct}},
                  std::ref(stop), std::ref(seen), std::ref(upC));
    std::thread b(sprayFromB, nsB, std::ref(stop), std::ref(sprayed), std::ref(upB));
    for (int i = 0; i < 200 && !(upB && upC); ++i)
        usleep(10000);
    std::vector<Probe> probes = {
        {4, "203.0.113.5", 2, 1},   {4, "203.0.113.6", 2, 1},   {4, "203.0.113.3", 2, 1},
        {4, "203.0.113.7", 2, 1},   {4, "203.0.113.8", 2, 1},   {6, "2001:db8:c::5", 2, 1},
        {6, "2001:db8:c::6", 2, 1}, {6, "2001:db8:c::3", 2, 1}, {6, "2001:db8:c::7", 2, 1},
    };
    if (upB && upC)
        runAll(probes);
    stop = true;
    c.join();
    b.join();
    ASSERT_TRUE(upC && upB) << "the responders could not start";

    EXPECT_GE(seen.load(), 14) << "the responders saw the requests";
    EXPECT_GT(sprayed.load(), 0);
    for (const auto &p : probes) {
        SCOPED_TRACE(p.host);
        // .7 answers correctly, .8 too but with options in its IPv4 header.
        const bool control = p.host.back() == '7' || p.host.back() == '8';
        EXPECT_EQ(p.result, control ? 1 : 0);
        EXPECT_EQ(p.args.numAnswers, control ? 2 : 0);
        EXPECT_EQ(p.args.avgMsecs >= 5000, !control);
    }
}

// Without CAP_NET_RAW the prober falls back to ICMP datagram sockets, which
// net.ipv4.ping_group_range allows per namespace; with neither it answers -3
// and says how to fix it once in the agent's log.
TEST_F(PingNetns, DatagramSocketsWithoutRawPrivilege) {
    const std::string probe = std::string(KESTROVA_BIN_DIR) + "/../tests/plugins/pingprobe";
    if (access("/usr/bin/setpriv", X_OK) != 0)
        GTEST_SKIP() << "no setpriv (util-linux) on this host";
    ASSERT_EQ(access(probe.c_str(), X_OK), 0) << probe;
    auto range = [&](const std::string &value) {
        auto r =
            run({"ip", "netns", "exec", nsA, "sh", "-c", "echo " + value + " > /proc/sys/net/ipv4/ping_group_range"});
        ASSERT_EQ(r.exitCode, 0) << r.err;
    };
    auto unprivileged = [&](std::vector<std::string> probes) {
        std::vector<std::string> argv = {"ip", "netns", "exec", nsA, "/usr/bin/setpriv", "--bounding-set=-net_raw",
                                         probe};
        argv.insert(argv.end(), probes.begin(), probes.end());
        return run(argv);
    };

    range("'0 0'");
    auto r = unprivileged({"4", "192.0.2.2", "3", "1", "6", "2001:db8:b::2", "3", "1", "4", "203.0.113.3", "1", "1",
                           "0", "2001:db8:b::2", "2", "1"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    std::regex line("result=(-?\\d+) packets=(\\d+) answers=(\\d+) avg=(\\d+) type4=(-?\\d+) type6=(-?\\d+)");
    std::vector<std::smatch> m;
    for (auto it = std::sregex_iterator(r.out.begin(), r.out.end(), line); it != std::sregex_iterator(); ++it)
        m.push_back(*it);
    ASSERT_EQ(m.size(), 4u) << r.out;
    EXPECT_EQ(m[0][1], "1");
    EXPECT_EQ(m[0][3], "3");
    EXPECT_EQ(m[0][5], std::to_string(SOCK_DGRAM)) << "IPv4 over a datagram socket";
    EXPECT_EQ(m[1][1], "1");
    EXPECT_EQ(m[1][3], "3");
    EXPECT_EQ(m[1][6], std::to_string(SOCK_DGRAM)) << "IPv6 over a datagram socket";
    EXPECT_EQ(m[2][1], "0") << "the silent host stays silent";
    EXPECT_EQ(m[2][4], "5000");
    EXPECT_EQ(m[3][1], "1");
    EXPECT_EQ(m[3][3], "2");
    EXPECT_EQ(r.out.find("log="), std::string::npos) << r.out;

    range("'1 0'");
    r = unprivileged({"4", "192.0.2.2", "3", "1", "6", "2001:db8:b::2", "3", "1", "0", "192.0.2.2", "1", "1"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 4) << r.out;
    EXPECT_NE(r.out.find("result=-3 packets=3 answers=0 avg=0 type4=0 type6=0\n"), std::string::npos) << r.out;
    std::regex logLine("log=([^\n]*)\n");
    std::vector<std::string> logs;
    for (auto it = std::sregex_iterator(r.out.begin(), r.out.end(), logLine); it != std::sregex_iterator(); ++it)
        logs.push_back((*it)[1]);
    ASSERT_EQ(logs.size(), 1u) << r.out;
    EXPECT_NE(logs[0].find("CAP_NET_RAW"), std::string::npos) << logs[0];
    EXPECT_NE(logs[0].find("AmbientCapabilities"), std::string::npos) << logs[0];
    EXPECT_NE(logs[0].find("net.ipv4.ping_group_range"), std::string::npos) << logs[0];

    // The same process with its privilege keeps raw sockets.
    r = run({"ip", "netns", "exec", nsA, probe, "4", "192.0.2.2", "1", "1"});
    EXPECT_NE(r.out.find("result=1 packets=1 answers=1"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("type4=" + std::to_string(SOCK_RAW)), std::string::npos) << r.out;
}

} // namespace

// The Internet checksum on RFC 1071's example, an odd length, and a packet
// that carries its own checksum (which sums to zero).
TEST(PingChecksum, InternetChecksum) {
    unsigned char even[] = {0x00, 0x01, 0xf2, 0x03, 0xf4, 0xf5, 0xf6, 0xf7};
    u_short sum = in_cksum(reinterpret_cast<u_short *>(even), sizeof even);
    unsigned char bytes[2];
    memcpy(bytes, &sum, 2);
    EXPECT_EQ(bytes[0], 0x22);
    EXPECT_EQ(bytes[1], 0x0d);
    unsigned char odd[] = {0x00, 0x01, 0xf2};
    sum = in_cksum(reinterpret_cast<u_short *>(odd), sizeof odd);
    memcpy(bytes, &sum, 2);
    EXPECT_EQ(bytes[0], 0x0d);
    EXPECT_EQ(bytes[1], 0xfe);
    unsigned char pkt[28] = {8, 0, 0, 0, 0x12, 0x34, 0x00, 0x07};
    sum = in_cksum(reinterpret_cast<u_short *>(pkt), sizeof pkt);
    memcpy(pkt + 2, &sum, 2);
    EXPECT_EQ(in_cksum(reinterpret_cast<u_short *>(pkt), sizeof pkt), 0);
    // Carries beyond one fold: 0xffff words.
    std::vector<unsigned char> ones(70000 * 2, 0xff);
    EXPECT_EQ(in_cksum(reinterpret_cast<u_short *>(ones.data()), static_cast<int>(ones.size())), 0);
}
