// link: qelhost
// The agent's name cache: which entries it keeps (least recently used goes
// first), how long answers live, and look-ups beyond the in-flight limit
// waiting their turn instead of being answered "no name". Resolver doubles
// stand in for the system's resolver.
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <gtest/gtest.h>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "qelhost.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// The cache's clock in the tests: moved on by hand.
std::atomic<int64_t> fakeSeconds{0};
Clock::time_point fakeNow() {
    return Clock::time_point{} + std::chrono::seconds(fakeSeconds.load());
}

class NameCache : public ::testing::Test {
protected:
    void SetUp() override {
        fakeSeconds = 1000;
        qelhost::setNameCacheClock(fakeNow);
        qelhost::setNameCacheLimits(600, 60, 10000);
        qelhost::setNameCacheCapacity(qelhost::kDefaultNameCacheEntries);
        qelhost::clearNameCache();
        // Every name "hN" resolves to "name-hN"; "bad*" names do not resolve.
        qelhost::NameResolvers r;
        r.ipAddr = [this](const std::string &q, std::string &name) {
            record(q);
            if (q.rfind("bad", 0) == 0)
                return -1;
            name = "name-" + q;
            return 1;
        };
        qelhost::setNameResolvers(r);
    }
    void TearDown() override {
        EXPECT_TRUE(qelhost::waitNameLookupsIdle(10000));
        qelhost::setNameResolvers({});
        qelhost::setNameCacheClock(nullptr);
        qelhost::setNameCacheLimits(600, 60, 2000);
        qelhost::setNameCacheCapacity(qelhost::kDefaultNameCacheEntries);
        qelhost::clearNameCache();
    }
    void record(const std::string &q) {
        std::lock_guard lock(m_);
        asked_.push_back(q);
    }
    std::vector<std::string> asked() {
        std::lock_guard lock(m_);
        return asked_;
    }
    void forget() {
        std::lock_guard lock(m_);
        asked_.clear();
    }
    static std::string name(const char *q) {
        char buf[256];
        return qelIpAddrToHostname(q, buf, sizeof buf) == 1 ? std::string(buf) : "-";
    }

    std::mutex m_;
    std::vector<std::string> asked_;
};

TEST_F(NameCache, FullCacheForgetsTheLeastRecentlyUsedEntryOnly) {
    qelhost::setNameCacheCapacity(3);
    EXPECT_EQ(name("h1"), "name-h1");
    EXPECT_EQ(name("h2"), "name-h2");
    EXPECT_EQ(name("h3"), "name-h3");
    EXPECT_EQ(name("h1"), "name-h1"); // h1 used again: h2 is now the oldest
    forget();
    EXPECT_EQ(name("h4"), "name-h4");
    EXPECT_EQ(qelhost::nameCacheSize(), 3u);
    EXPECT_EQ(qelhost::nameCacheStats().evictions, 1u);
    // h1, h3 and h4 are answered from the cache; h2 is asked again.
    EXPECT_EQ(name("h1"), "name-h1");
    EXPECT_EQ(name("h3"), "name-h3");
    EXPECT_EQ(name("h4"), "name-h4");
    EXPECT_EQ(asked(), std::vector<std::string>({"h4"}));
    EXPECT_EQ(name("h2"), "name-h2");
    EXPECT_EQ(asked(), std::vector<std::string>({"h4", "h2"}));
    // h2 took the place of h1, the least recently used of h1, h3, h4.
    forget();
    EXPECT_EQ(name("h3"), "name-h3");
    EXPECT_EQ(name("h4"), "name-h4");
    EXPECT_TRUE(asked().empty());
    EXPECT_EQ(name("h1"), "name-h1");
    EXPECT_EQ(asked(), std::vector<std::string>({"h1"}));
}

TEST_F(NameCache, ManyNamesAreKeptUpToTheBound) {
    qelhost::setNameCacheCapacity(5000);
    char q[32];
    for (int i = 0; i < 6000; ++i) {
        std::snprintf(q, sizeof q, "h%d", i);
        ASSERT_EQ(name(q), std::string("name-") + q);
    }
    EXPECT_EQ(qelhost::nameCacheSize(), 5000u);
    forget();
    // The newest 5,000 are all still there: not a single one re-asked.
    for (int i = 1000; i < 6000; ++i) {
        std::snprintf(q, sizeof q, "h%d", i);
        ASSERT_EQ(name(q), std::string("name-") + q);
    }
    EXPECT_TRUE(asked().empty());
    auto s = qelhost::nameCacheStats();
    EXPECT_EQ(s.hits, 5000u);
    EXPECT_EQ(s.misses, 6000u);
    // Lowering the bound drops the oldest at once.
    qelhost::setNameCacheCapacity(10);
    EXPECT_EQ(qelhost::nameCacheSize(), 10u);
    EXPECT_EQ(name("h5999"), "name-h5999");
    EXPECT_TRUE(asked().empty());
}

TEST_F(NameCache, PositiveAndNegativeAnswersLiveTheirOwnLifetimes) {
    EXPECT_EQ(name("h1"), "name-h1");
    EXPECT_EQ(name("bad1"), "-");
    char buf[256];
    EXPECT_EQ(qelIpAddrToHostname("bad1", buf, sizeof buf), -1);
    EXPECT_STREQ(buf, "bad1") << "without a name the address text stays";
    forget();
    fakeSeconds += 59;
    EXPECT_EQ(name("h1"), "name-h1");
    EXPECT_EQ(name("bad1"), "-");
    EXPECT_TRUE(asked().empty());
    fakeSeconds += 2; // the negative answer is 61 s old
    EXPECT_EQ(name("bad1"), "-");
    EXPECT_EQ(name("h1"), "name-h1");
    EXPECT_EQ(asked(), std::vector<std::string>({"bad1"}));
    forget();
    fakeSeconds += 538; // the positive answer is 599 s old
    EXPECT_EQ(name("h1"), "name-h1");
    EXPECT_TRUE(asked().empty());
    fakeSeconds += 2;
    EXPECT_EQ(name("h1"), "name-h1");
    EXPECT_EQ(asked(), std::vector<std::string>({"h1"}));
}

// A name whose address maps back to it is answered "no other name", and that
// answer is as settled as a found name: discovery asks it on every pass, and
// asking it again a failed look-up's minute later sent every one of them
// back to the resolver each pass.
TEST_F(NameCache, ANameThatMapsBackToItselfIsKeptAsLongAsAFoundOne) {
    qelhost::NameResolvers r;
    r.ipAddr = [this](const std::string &q, std::string &name) {
        record(q);
        if (q.rfind("bad", 0) == 0)
            return -1;
        name = q.rfind("self", 0) == 0 ? q : "name-" + q;
        return 1;
    };
    qelhost::setNameResolvers(r);
    char buf[256];
    EXPECT_EQ(qelIpAddrToHostname("self.example", buf, sizeof buf), -1);
    EXPECT_STREQ(buf, "self.example");
    EXPECT_EQ(name("bad2"), "-");
    forget();
    fakeSeconds += 61;
    EXPECT_EQ(name("self.example"), "-");
    EXPECT_EQ(name("bad2"), "-");
    EXPECT_EQ(asked(), std::vector<std::string>({"bad2"})) << "only the failed look-up is asked again";
    forget();
    fakeSeconds += 540; // 601 s after the first answer
    EXPECT_EQ(name("self.example"), "-");
    EXPECT_EQ(asked(), std::vector<std::string>({"self.example"}));
}

TEST_F(NameCache, NoEntriesKeptWithABoundOfZero) {
    qelhost::setNameCacheCapacity(0);
    EXPECT_EQ(name("h1"), "name-h1");
    EXPECT_EQ(name("h1"), "name-h1");
    EXPECT_EQ(asked().size(), 2u);
    EXPECT_EQ(qelhost::nameCacheSize(), 0u);
}

// A resolver double that holds every look-up until released, counting how
// many run at once.
struct HeldResolver {
    std::mutex m;
    std::condition_variable cv;
    bool released = false;
    int running = 0, most = 0, calls = 0;

    int operator()(const std::string &q, std::string &name) {
        std::unique_lock lock(m);
        ++calls;
        most = std::max(most, ++running);
        cv.wait_for(lock, 20s, [&] { return released; });
        --running;
        name = "held-" + q;
        return 1;
    }
    void release() {
        std::lock_guard lock(m);
        released = true;
        cv.notify_all();
    }
};

bool waitFor(const std::function<bool()> &cond) {
    for (int i = 0; i < 2000; ++i) {
        if (cond())
            return true;
        std::this_thread::sleep_for(5ms);
    }
    return false;
}

TEST_F(NameCache, LookUpsPastTheInFlightLimitWaitTheirTurn) {
    auto held = std::make_shared<HeldResolver>();
    qelhost::NameResolvers r;
    r.ipAddr = [held](const std::string &q, std::string &n) { return (*held)(q, n); };
    qelhost::setNameResolvers(r);
    struct Release {
        std::shared_ptr<HeldResolver> h;
        ~Release() { h->release(); }
    } releaseAtEnd{held};

    constexpr int kCallers = 30;
    std::vector<std::string> answers(kCallers);
    std::vector<std::thread> callers;
    for (int i = 0; i < kCallers; ++i)
        callers.emplace_back([&answers, i] {
            char q[16], buf[256];
            std::snprintf(q, sizeof q, "q%d", i);
            answers[i] = qelIpAddrToHostname(q, buf, sizeof buf) == 1 ? buf : "-";
        });
    // A few run; the rest are queued, none answered yet.
    ASSERT_TRUE(waitFor([] {
        auto s = qelhost::nameCacheStats();
        return s.running + s.waiting == kCallers && s.waiting > 0;
    }));
    auto s = qelhost::nameCacheStats();
    EXPECT_GT(s.running, 0u);
    EXPECT_EQ(s.queued, s.waiting);
    {
        std::lock_guard lock(held->m);
        EXPECT_EQ(held->calls, static_cast<int>(s.running));
    }
    held->release();
    for (auto &t : callers)
        t.join();
    for (int i = 0; i < kCallers; ++i)
        EXPECT_EQ(answers[i], "held-q" + std::to_string(i)) << "caller " << i;
    std::lock_guard lock(held->m);
    EXPECT_EQ(held->calls, kCallers);
    EXPECT_EQ(held->most, static_cast<int>(s.running)) << "never more than the limit at once";
    EXPECT_LT(held->most, kCallers);
}

TEST_F(NameCache, OneQuestionAskedByManyIsResolvedOnce) {
    auto held = std::make_shared<HeldResolver>();
    qelhost::NameResolvers r;
    r.ipAddr = [held](const std::string &q, std::string &n) { return (*held)(q, n); };
    qelhost::setNameResolvers(r);
    struct Release {
        std::shared_ptr<HeldResolver> h;
        ~Release() { h->release(); }
    } releaseAtEnd{held};
    std::vector<std::thread> callers;
    std::atomic<int> right{0};
    for (int i = 0; i < 10; ++i)
        callers.emplace_back([&] {
            if (name("same") == "held-same")
                ++right;
        });
    ASSERT_TRUE(waitFor([] { return qelhost::nameCacheStats().misses == 10; }));
    held->release();
    for (auto &t : callers)
        t.join();
    EXPECT_EQ(right.load(), 10);
    std::lock_guard lock(held->m);
    EXPECT_EQ(held->calls, 1);
}

TEST_F(NameCache, ACallerThatStopsWaitingFindsTheAnswerLater) {
    qelhost::setNameCacheLimits(600, 60, 50);
    auto held = std::make_shared<HeldResolver>();
    qelhost::NameResolvers r;
    r.ipAddr = [held](const std::string &q, std::string &n) { return (*held)(q, n); };
    qelhost::setNameResolvers(r);
    struct Release {
        std::shared_ptr<HeldResolver> h;
        ~Release() { h->release(); }
    } releaseAtEnd{held};
    EXPECT_EQ(name("late"), "-");
    held->release();
    ASSERT_TRUE(qelhost::waitNameLookupsIdle(10000));
    EXPECT_EQ(name("late"), "held-late");
    std::lock_guard lock(held->m);
    EXPECT_EQ(held->calls, 1);
}

TEST_F(NameCache, ForwardLookUpsAreCachedToo) {
    std::atomic<int> v4calls{0}, v6calls{0};
    qelhost::NameResolvers r;
    r.ipAddr = [](const std::string &q, std::string &n) {
        n = "rev-" + q;
        return 1;
    };
    r.ipv4 = [&](const std::string &q) -> uint32_t {
        ++v4calls;
        return q == "a.test" ? htonl(0xC0000201) : 0; // 192.0.2.1
    };
    r.ipv6 = [&](const std::string &q, in6_addr *a) {
        ++v6calls;
        if (q == "v6only.test")
            return inet_pton(AF_INET6, "2001:db8::5", a) == 1 ? 1 : -9;
        return q == "a.test" ? -1 : -2;
    };
    qelhost::setNameResolvers(r);
    for (int round = 0; round < 3; ++round) {
        EXPECT_EQ(qelHostnameToIpaddr("a.test"), htonl(0xC0000201));
        EXPECT_EQ(qelHostnameToIpaddr("v6only.test"), 0u);
        in6_addr a{};
        ASSERT_EQ(qelHostnameToIpv6addr("v6only.test", &a), 1);
        char text[64];
        EXPECT_STREQ(inet_ntop(AF_INET6, &a, text, sizeof text), "2001:db8::5");
        EXPECT_EQ(qelHostnameToIpv6addr("a.test", &a), -1) << "no IPv6 address";
        EXPECT_EQ(qelHostnameToIpv6addr("nowhere.test", &a), -2) << "no such name";
    }
    EXPECT_EQ(v4calls.load(), 2);
    EXPECT_EQ(v6calls.load(), 3);
    // Forward and reverse questions do not share entries.
    EXPECT_EQ(name("a.test"), "rev-a.test");
    // Address texts need no look-up.
    EXPECT_EQ(qelHostnameToIpaddr("198.51.100.7"), htonl(0xC6336407));
    in6_addr a{};
    EXPECT_EQ(qelHostnameToIpv6addr("2001:db8::9", &a), 1);
    EXPECT_EQ(a.s6_addr[15], 9);
    EXPECT_EQ(qelHostnameToIpv6addr("198.51.100.7", &a), -1);
    EXPECT_EQ(qelHostnameToIpaddr(""), 0u);
    EXPECT_EQ(qelHostnameToIpaddr(nullptr), 0u);
    EXPECT_EQ(qelHostnameToIpv6addr("a.test", nullptr), -1);
    EXPECT_EQ(v4calls.load(), 2);
    EXPECT_EQ(v6calls.load(), 3);
    // Negative forward answers expire like reverse ones.
    fakeSeconds += 61;
    EXPECT_EQ(qelHostnameToIpaddr("v6only.test"), 0u);
    EXPECT_EQ(qelHostnameToIpaddr("a.test"), htonl(0xC0000201));
    EXPECT_EQ(v4calls.load(), 3);
}

} // namespace
