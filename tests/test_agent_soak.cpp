// Soak: 32 concurrent sessions of mixed gets and selects against mib2 and
// the test plug-in while mib2's worker refreshes its tables. No request may
// fail, and the agent's memory and descriptors must stay flat. Runs for
// KESTROVA_SOAK_SECONDS (default 600) seconds; only under the "soak" label.
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <gtest/gtest.h>
#include <mutex>
#include <thread>

#include "agent_testutil.h"

using namespace agenttest;
using namespace std::chrono_literals;

namespace {

int soakSeconds() {
    const char *e = std::getenv("KESTROVA_SOAK_SECONDS");
    int s = e ? std::atoi(e) : 600;
    return s > 0 ? s : 600;
}

// One request of the mix; returns an empty string when the reply is right,
// otherwise what was wrong.
std::string oneRequest(qelSession_t *s, unsigned n) {
    qelPdu_t req, reply;
    size_t expected = 0;
    const qelErrorStatus_t status = noError;
    switch (n % 5) {
    case 0:
        buildRequest(req, GetRequest,
                     {{"mib2", "ipForwarding", "", ""},
                      {"mib2", "ipDefaultTTL", "", ""},
                      {"mib2", "ipInReceives", "", ""},
                      {"mib2", "tcpCurrEstab", "", ""}});
        expected = 4;
        break;
    case 1:
        buildRequest(req, GetRequest, {{"testplug", "greeting", "", ""}, {"testplug", "getCounter", "", ""}});
        expected = 2;
        break;
    case 2:
        buildSelect(req, "testplug", "rowTable", "*", 0, {"rowIndex", "rowName", "rowSquare"});
        expected = 3000;
        break;
    case 3:
        buildSelect(req, "testplug", "rowTable", "*", 100, {"rowName"});
        expected = 100;
        break;
    default:
        buildSelect(req, "mib2", "ifTable", "*", 0, {"ifIndex", "ifDescr", "ifInOctets"});
        expected = 0; // as many as the host has interfaces, in threes
        break;
    }
    std::string what;
    int r = transact(s, req, reply);
    if (r != 1)
        what = "exchange failed";
    else if (reply.errorStatus != status && reply.errorStatus != noErrorMoreData)
        what = "status " + std::to_string(reply.errorStatus);
    else if (expected && reply.numberVariables != expected)
        what = std::to_string(reply.numberVariables) + " variables";
    else if (!expected && (reply.numberVariables == 0 || reply.numberVariables % 3))
        what = "ifTable of " + std::to_string(reply.numberVariables) + " variables";
    qelPduCleanup(&req);
    qelPduCleanup(&reply);
    return what;
}

TEST(AgentSoak, ThirtyTwoSessionsOfMixedRequests) {
    Agent agent;
    ASSERT_TRUE(
        agent.start({std::string(KESTROVA_PLUGIN_DIR) + "/mib2-linux.so", testPluginDir() + "/testplugin-linux.so"}))
        << agent.output();
    // Warm-up at full concurrency: the allocator keeps one arena per busy
    // thread, so the idle figure is taken once they exist.
    std::atomic<int> warmFailures{0};
    {
        std::vector<std::thread> warm;
        for (int c = 0; c < 32; ++c)
            warm.emplace_back([&] {
                qelSession_t *s = connect(agent.port());
                if (!s) {
                    ++warmFailures;
                    return;
                }
                qelSessionSetIoTimeout(s, 30);
                for (unsigned i = 0; i < 10; ++i)
                    if (!oneRequest(s, i).empty())
                        ++warmFailures;
                destroyQelSession(s);
            });
        for (auto &t : warm)
            t.join();
    }
    ASSERT_EQ(warmFailures.load(), 0);
    std::this_thread::sleep_for(1s);
    Usage start = usageOf(agent.pid());

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(soakSeconds());
    std::atomic<long> done{0}, failed{0};
    std::mutex m;
    std::string firstFailure;
    std::vector<std::thread> clients;
    for (int c = 0; c < 32; ++c)
        clients.emplace_back([&, c] {
            qelSession_t *s = connect(agent.port());
            if (!s) {
                ++failed;
                return;
            }
            qelSessionSetIoTimeout(s, 30);
            for (unsigned n = static_cast<unsigned>(c); std::chrono::steady_clock::now() < deadline; ++n) {
                std::string what = oneRequest(s, n);
                ++done;
                if (!what.empty()) {
                    ++failed;
                    std::lock_guard l(m);
                    if (firstFailure.empty())
                        firstFailure = what;
                }
            }
            destroyQelSession(s);
        });
    // Sampled while the load runs: the figures the load settles at.
    Usage low = start, high = start;
    while (std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(5s);
        Usage u = usageOf(agent.pid());
        low.rssKb = std::min(low.rssKb, u.rssKb);
        high.rssKb = std::max(high.rssKb, u.rssKb);
        high.fds = std::max(high.fds, u.fds);
        high.threads = std::max(high.threads, u.threads);
    }
    for (auto &t : clients)
        t.join();

    Usage end;
    auto settle = std::chrono::steady_clock::now() + 20s;
    do {
        end = usageOf(agent.pid());
        if (end.fds == start.fds && end.threads == start.threads)
            break;
        std::this_thread::sleep_for(100ms);
    } while (std::chrono::steady_clock::now() < settle);
    std::printf(
        "soak: %d s, %ld requests, %ld failed\n"
        "soak: start %d fds, %d threads, %ld kB RSS\n"
        "soak: under load at most %d fds, %d threads, RSS %ld..%ld kB\n"
        "soak: end %d fds, %d threads, %ld kB RSS\n",
        soakSeconds(), done.load(), failed.load(), start.fds, start.threads, start.rssKb, high.fds, high.threads,
        low.rssKb, high.rssKb, end.fds, end.threads, end.rssKb);
    EXPECT_EQ(failed.load(), 0) << firstFailure;
    EXPECT_GT(done.load(), 0);
    EXPECT_EQ(end.fds, start.fds);
    EXPECT_EQ(end.threads, start.threads);
    EXPECT_LE(end.rssKb, start.rssKb + start.rssKb / 10) << "RSS grew from " << start.rssKb;
    EXPECT_EQ(agent.stop(), 0);
}

} // namespace
