// link: qelhost
// Leases on the name cache's answers: a renewal holds exactly while a
// look-up would have been answered by the same kept entry, counts and
// refreshes those entries as look-ups would (so an answer in use is not the
// one a full cache forgets), and when any lease of a batch fails it touches
// none of them.
#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <mutex>
#include <string>
#include <vector>

#include "qel/namelease.h"
#include "qelhost.h"

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<int64_t> fakeSeconds{0};
Clock::time_point fakeNow() { return Clock::time_point{} + std::chrono::seconds(fakeSeconds.load()); }

class NameLease : public ::testing::Test {
protected:
    void SetUp() override {
        fakeSeconds = 1000;
        qelhost::setNameCacheClock(fakeNow);
        qelhost::setNameCacheLimits(600, 60, 10000);
        qelhost::setNameCacheCapacity(qelhost::kDefaultNameCacheEntries);
        qelhost::clearNameCache();
        // "hN" resolves to "name-hN" (its current generation after a
        // rename); "bad*" does not resolve.
        qelhost::NameResolvers r;
        r.ipAddr = [this](const std::string &q, std::string &name) {
            std::lock_guard lock(m_);
            asked_.push_back(q);
            if (q.rfind("bad", 0) == 0)
                return -1;
            name = "name-" + q + suffix_;
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
    // The answer to q and its lease (entry null: not from a kept entry).
    std::string leased(const char *q, qelNameLease_t &lease) {
        char buf[256];
        return qelIpAddrToHostnameLeased(q, buf, sizeof buf, &lease) == 1 ? std::string(buf) : "-";
    }
    // A lease on q's kept answer (asked twice when it is not kept yet).
    qelNameLease_t leaseOn(const char *q) {
        qelNameLease_t l{nullptr, 0, 0};
        leased(q, l);
        if (!l.entry)
            leased(q, l);
        EXPECT_NE(l.entry, nullptr) << q;
        return l;
    }
    std::vector<std::string> asked() {
        std::lock_guard lock(m_);
        return asked_;
    }
    void forget() {
        std::lock_guard lock(m_);
        asked_.clear();
    }
    void rename(const char *s) {
        std::lock_guard lock(m_);
        suffix_ = s;
    }

    std::mutex m_;
    std::vector<std::string> asked_;
    std::string suffix_;
};

TEST_F(NameLease, HoldsExactlyWhileTheSameKeptAnswerWouldBeGiven) {
    qelNameLease_t first{nullptr, 0, 0};
    EXPECT_EQ(leased("h1", first), "name-h1");
    EXPECT_EQ(first.entry, nullptr); // just resolved, not from a kept entry
    qelNameLease_t l = leaseOn("h1");
    qelNameLease_t neg = leaseOn("bad1"); // a kept failure leases too

    const uint64_t hits = qelhost::nameCacheStats().hits;
    EXPECT_EQ(qelRenewNameLeases(&l, 1), 1);
    EXPECT_EQ(qelhost::nameCacheStats().hits, hits + 1); // counted as a look-up
    qelNameLease_t both[2] = {l, neg};
    EXPECT_EQ(qelRenewNameLeases(both, 2), 1);
    EXPECT_EQ(qelhost::nameCacheStats().hits, hits + 3);

    // The failure's shorter lifetime ends its lease; the found name's holds
    // up to its own last second.
    fakeSeconds += 60;
    EXPECT_EQ(qelRenewNameLeases(&neg, 1), 0);
    fakeSeconds += 539;
    EXPECT_EQ(qelRenewNameLeases(&l, 1), 1);
    fakeSeconds += 1;
    EXPECT_EQ(qelRenewNameLeases(&l, 1), 0);

    // Asked anew after it expired, under another name: the entry is the same
    // node, the answer is not, and the old lease stays void.
    rename("-v2");
    forget();
    qelNameLease_t renewed = leaseOn("h1");
    EXPECT_EQ(asked(), std::vector<std::string>({"h1"}));
    EXPECT_EQ(renewed.entry, l.entry);
    EXPECT_EQ(qelRenewNameLeases(&l, 1), 0);
    EXPECT_EQ(qelRenewNameLeases(&renewed, 1), 1);

    // Anything forgotten (here: all) voids every lease taken before.
    qelNameLease_t other = leaseOn("h2");
    qelhost::clearNameCache();
    EXPECT_EQ(qelRenewNameLeases(&renewed, 1), 0);
    EXPECT_EQ(qelRenewNameLeases(&other, 1), 0);
    // Null entries and bad arguments never hold.
    qelNameLease_t none{nullptr, 0, 0};
    EXPECT_EQ(qelRenewNameLeases(&none, 1), 0);
    EXPECT_EQ(qelRenewNameLeases(nullptr, 1), 0);
}

TEST_F(NameLease, RenewedAnswersAreKeptAsRecentlyUsedOnes) {
    qelhost::setNameCacheCapacity(3);
    qelNameLease_t l1 = leaseOn("h1");
    qelNameLease_t l2 = leaseOn("h2");
    leaseOn("h3");
    // h1 is the oldest; its renewal makes h2 the one a newcomer displaces,
    // and renewing h2 and then h1 leaves h3 the oldest.
    qelNameLease_t batch[2] = {l2, l1};
    ASSERT_EQ(qelRenewNameLeases(&l1, 1), 1);
    ASSERT_EQ(qelRenewNameLeases(batch, 2), 1);
    forget();
    leaseOn("h4");
    EXPECT_EQ(qelhost::nameCacheStats().evictions, 1u);
    // Something was forgotten: every earlier lease is void, though h1 and
    // h2 are still kept.
    EXPECT_EQ(qelRenewNameLeases(batch, 2), 0);
    char buf[64];
    for (const char *q : {"h1", "h2", "h4", "h3"})
        qelIpAddrToHostname(q, buf, sizeof buf);
    EXPECT_EQ(asked(), std::vector<std::string>({"h4", "h3"})); // only h3 went
}

TEST_F(NameLease, AFailingBatchTouchesNoneOfItsAnswers) {
    qelhost::setNameCacheCapacity(3);
    qelNameLease_t good = leaseOn("h1");
    leaseOn("h2");
    qelNameLease_t neg = leaseOn("bad1");
    fakeSeconds += 61; // the failure's lease has run out, h1's has not
    const uint64_t hits = qelhost::nameCacheStats().hits;
    qelNameLease_t batch[2] = {good, neg};
    EXPECT_EQ(qelRenewNameLeases(batch, 2), 0);
    EXPECT_EQ(qelhost::nameCacheStats().hits, hits);
    // h1 is still the oldest: the next newcomer displaces it.
    forget();
    leaseOn("h3");
    char buf[64];
    for (const char *q : {"h2", "h3", "h1"})
        qelIpAddrToHostname(q, buf, sizeof buf);
    EXPECT_EQ(asked(), std::vector<std::string>({"h3", "h1"})); // h2 kept, h1 went
}

} // namespace
