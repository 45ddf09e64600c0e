// link: kestrova_core
// The slot pool behind graph records, vertices and list cells: zero-filled
// slots, reuse, memory given back as slots are released, threads.
#include <gtest/gtest.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "record_pool.h"

using kestrova::RecordPool;

namespace {

constexpr size_t kSlot = 7272; // a dependency record's size

char *chunkOf(const void *p) {
    return reinterpret_cast<char *>(reinterpret_cast<uintptr_t>(p) & ~(uintptr_t)(RecordPool::kChunkBytes - 1));
}

// Resident 4 KiB pages of one chunk.
size_t residentPages(const char *chunk) {
    std::vector<unsigned char> v(RecordPool::kChunkBytes / 4096);
    if (mincore(const_cast<char *>(chunk), RecordPool::kChunkBytes, v.data()) != 0)
        return SIZE_MAX; // unmapped
    size_t n = 0;
    for (unsigned char c : v)
        n += c & 1;
    return n;
}

bool allZero(const void *p, size_t n) {
    const auto *b = static_cast<const unsigned char *>(p);
    return std::all_of(b, b + n, [](unsigned char c) { return c == 0; });
}

TEST(RecordPool, SlotsAreZeroDistinctAndReusedLowestFirst) {
    RecordPool pool(kSlot);
    EXPECT_EQ(pool.slotSize() % 64, 0u);
    std::vector<void *> ps;
    for (int i = 0; i < 10; i++) {
        void *p = pool.allocate();
        ASSERT_NE(p, nullptr);
        EXPECT_TRUE(allZero(p, kSlot));
        EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 64, 0u);
        memset(p, 0xA5, kSlot);
        ps.push_back(p);
    }
    EXPECT_EQ(std::set<void *>(ps.begin(), ps.end()).size(), ps.size());
    EXPECT_TRUE(pool.owns(ps[3]));
    int onStack = 0;
    EXPECT_FALSE(pool.owns(&onStack));
    EXPECT_FALSE(pool.release(&onStack));
    // Released slots come back lowest address first, zero-filled again.
    ASSERT_TRUE(pool.release(ps[7]));
    ASSERT_TRUE(pool.release(ps[2]));
    EXPECT_EQ(pool.stats().live, 8u);
    void *again = pool.allocate();
    EXPECT_EQ(again, ps[2]);
    EXPECT_TRUE(allZero(again, kSlot));
    EXPECT_EQ(pool.allocate(), ps[7]);
    // A second release of one slot changes nothing.
    ASSERT_TRUE(pool.release(ps[0]));
    testing::internal::CaptureStderr();
    EXPECT_TRUE(pool.release(ps[0]));
    EXPECT_NE(testing::internal::GetCapturedStderr().find("bad release"), std::string::npos);
    EXPECT_EQ(pool.stats().live, 9u);
    EXPECT_EQ(pool.allocate(), ps[0]);
    EXPECT_NE(pool.allocate(), ps[0]);
}

TEST(RecordPool, SmallSlotsArePowersOfTwo) {
    RecordPool cells(24);
    EXPECT_EQ(cells.slotSize(), 32u);
    void *a = cells.allocate(), *b = cells.allocate();
    EXPECT_EQ(static_cast<char *>(b) - static_cast<char *>(a), 32);
}

TEST(RecordPool, EmptyChunksAreUnmappedBeyondOneSpare) {
    RecordPool pool(kSlot);
    size_t per = RecordPool::kChunkBytes / pool.slotSize();
    std::vector<void *> ps;
    for (size_t i = 0; i < 4 * per; i++)
        ps.push_back(pool.allocate());
    std::set<char *> chunks;
    for (void *p : ps)
        chunks.insert(chunkOf(p));
    EXPECT_EQ(chunks.size(), 4u);
    EXPECT_EQ(pool.stats().chunks, 4u);
    pool.releaseMany(ps);
    EXPECT_TRUE(ps.empty());
    RecordPool::Stats s = pool.stats();
    EXPECT_EQ(s.live, 0u);
    EXPECT_EQ(s.chunks, 1u);
    EXPECT_EQ(s.unmapped, 3u);
    size_t gone = 0;
    for (char *c : chunks)
        gone += residentPages(c) == SIZE_MAX;
    EXPECT_EQ(gone, 3u) << "three chunks unmapped, one kept";
}

TEST(RecordPool, PagesUnderReleasedSlotsAreGivenBack) {
    RecordPool pool(kSlot);
    size_t per = RecordPool::kChunkBytes / pool.slotSize();
    std::vector<void *> ps;
    for (size_t i = 0; i < per; i++) {
        ps.push_back(pool.allocate());
        memset(ps.back(), 0x5A, kSlot);
    }
    char *chunk = chunkOf(ps[0]);
    size_t before = residentPages(chunk);
    EXPECT_GE(before, per * kSlot / 4096);
    // Keep the first two and the last; the rest go one by one.
    for (size_t i = 2; i + 1 < per; i++)
        ASSERT_TRUE(pool.release(ps[i]));
    RecordPool::Stats s = pool.stats();
    EXPECT_GE(s.sweeps, 1u);
    EXPECT_EQ(s.live, 3u);
    // Within twice the live slots plus the few released since the last
    // give-back (at most max(8, live) of them, each on at most three pages).
    size_t after = residentPages(chunk);
    EXPECT_LE(after, 3 * 3 + 8 * 3) << "resident pages before " << before;
    // The kept records are intact, the slots handed out again read zero.
    EXPECT_EQ(static_cast<unsigned char *>(ps[1])[kSlot - 1], 0x5A);
    EXPECT_EQ(static_cast<unsigned char *>(ps[per - 1])[0], 0x5A);
    for (size_t i = 2; i + 1 < per; i++) {
        void *p = pool.allocate();
        ASSERT_NE(p, nullptr);
        ASSERT_TRUE(allZero(p, kSlot)) << "slot " << i;
    }
}

TEST(RecordPool, RandomChurnStaysWithinItsBound) {
    RecordPool pool(kSlot);
    std::mt19937 rng(12);
    std::vector<void *> live;
    std::set<char *> seen;
    for (int round = 0; round < 6; round++) {
        size_t target = round % 2 ? 200 : 2000;
        while (live.size() < target) {
            void *p = pool.allocate();
            ASSERT_NE(p, nullptr);
            ASSERT_TRUE(allZero(p, 64));
            memset(p, 0x11, 64);
            live.push_back(p);
            seen.insert(chunkOf(p));
        }
        std::shuffle(live.begin(), live.end(), rng);
        while (live.size() > target / 4) {
            pool.release(live.back());
            live.pop_back();
        }
        size_t resident = 0;
        for (char *c : seen)
            if (size_t r = residentPages(c); r != SIZE_MAX)
                resident += r * 4096;
        RecordPool::Stats s = pool.stats();
        ASSERT_EQ(s.live, live.size());
        // Twice the live slots, a few released ones per chunk, the spare.
        size_t bound = 2 * (live.size() + 1) * pool.slotSize() + s.chunks * 8 * 3 * 4096 + RecordPool::kChunkBytes;
        EXPECT_LE(resident, bound) << "round " << round << ", " << live.size() << " live in " << s.chunks
                                   << " chunks";
    }
}

TEST(RecordPool, ThreadsNeverShareASlot) {
    RecordPool pool(kSlot);
    std::vector<std::thread> threads;
    std::atomic<int> bad{0};
    for (int t = 0; t < 4; t++) {
        threads.emplace_back([&, t] {
            std::vector<unsigned char *> mine;
            for (int i = 0; i < 3000; i++) {
                if (mine.size() < 150 && (i % 3 != 2 || mine.empty())) {
                    auto *p = static_cast<unsigned char *>(pool.allocate());
                    if (!p || p[0] != 0 || p[kSlot - 1] != 0)
                        bad++;
                    if (p) {
                        p[0] = p[kSlot - 1] = (unsigned char)(t + 1);
                        mine.push_back(p);
                    }
                } else {
                    unsigned char *p = mine[(size_t)i % mine.size()];
                    if (p[0] != t + 1 || p[kSlot - 1] != t + 1)
                        bad++;
                    mine.erase(std::find(mine.begin(), mine.end(), p));
                    pool.release(p);
                }
            }
            for (unsigned char *p : mine) {
                if (p[0] != t + 1)
                    bad++;
                pool.release(p);
            }
        });
    }
    for (auto &th : threads)
        th.join();
    EXPECT_EQ(bad.load(), 0);
    EXPECT_EQ(pool.stats().live, 0u);
}

} // namespace
