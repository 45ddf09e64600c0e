// link: kestrova_core
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <thread>
#include <vector>

#include "kestrova_test_host.h"
#include "linkedlist.h"

namespace {

struct Rec {
    int key;
    int id;
};

int recCompare(void *a, void *b) {
    int x = static_cast<Rec *>(a)->key, y = static_cast<Rec *>(b)->key;
    return x < y ? -1 : (x > y ? 1 : 0);
}

// Only ever answers 0 or negative, as several of the plug-in's compares do.
int sameOrBefore(void *a, void *b) {
    return static_cast<Rec *>(a)->key == static_cast<Rec *>(b)->key ? 0 : -1;
}

unsigned long recHash(const void *r) {
    return (unsigned long)static_cast<const Rec *>(r)->key;
}

int freeCount = 0;
int countingFree(void *r) {
    freeCount++;
    delete static_cast<Rec *>(r);
    return 1;
}

std::vector<int> ids(linkedList_t *l) {
    std::vector<int> out;
    for (linkedElement_t *c = l->head; c; c = c->next)
        out.push_back(static_cast<Rec *>(c->data)->id);
    return out;
}

// Walks both directions and checks the links agree.
void expectLinked(linkedList_t *l) {
    linkedElement_t *prev = nullptr;
    int n = 0;
    for (linkedElement_t *c = l->head; c; c = c->next, n++) {
        EXPECT_EQ(c->prev, prev);
        prev = c;
    }
    EXPECT_EQ(l->tail, prev);
    EXPECT_EQ(numberElements(l), n);
}

TEST(LinkedList, CreationCopiesBoundedDescription) {
    std::string longText(100, 'x');
    linkedList_t *l = newLinkedList(sizeof(Rec), recCompare, nullptr, nullptr, longText.c_str(), 1);
    ASSERT_NE(l, nullptr);
    EXPECT_EQ(std::string(l->description), std::string(63, 'x'));
    EXPECT_EQ(l->head, nullptr);
    EXPECT_EQ(l->tail, nullptr);
    EXPECT_EQ(l->autoLock, 1);
    destroyLinkedList(l);
    l = newLinkedList(0, nullptr, nullptr, nullptr, nullptr, 0);
    ASSERT_NE(l, nullptr);
    EXPECT_STREQ(l->description, "");
    destroyLinkedList(l);
}

TEST(LinkedList, NullArgumentsAreRefused) {
    Rec a{1, 1};
    linkedList_t *l = newLinkedList(sizeof(Rec), recCompare, nullptr, nullptr, "t", 0);
    EXPECT_EQ(insertHead(l, nullptr), -1);
    EXPECT_EQ(insertTail(l, nullptr), -1);
    EXPECT_EQ(insertInOrder(l, nullptr), -1);
    EXPECT_EQ(l->head, nullptr);
    EXPECT_EQ(insertHead(nullptr, &a), -1);
    EXPECT_EQ(numberElements(nullptr), 0);
    EXPECT_EQ(destroyLinkedList(nullptr), -1);
    EXPECT_EQ(drainLinkedList(nullptr), -1);
    EXPECT_EQ(popHead(nullptr), nullptr);
    EXPECT_EQ(removeElement(l, nullptr), -1);
    EXPECT_EQ(disconnectElement(nullptr, nullptr), -1);
    EXPECT_EQ(destroyElement(nullptr, nullptr), -1);
    EXPECT_EQ(traverseList(nullptr), -1);
    destroyLinkedList(l);
}

TEST(LinkedList, HeadAndTailInsertionAndPops) {
    Rec a{1, 1}, b{2, 2}, c{3, 3};
    linkedList_t *l = newLinkedList(sizeof(Rec), recCompare, nullptr, nullptr, "t", 1);
    EXPECT_EQ(popHead(l), nullptr);
    EXPECT_EQ(popTail(l), nullptr);
    EXPECT_EQ(insertTail(l, &b), 0);
    EXPECT_EQ(insertHead(l, &a), 0);
    EXPECT_EQ(insertTail(l, &c), 0);
    EXPECT_EQ(ids(l), (std::vector<int>{1, 2, 3}));
    expectLinked(l);
    EXPECT_EQ(popTail(l), &c);
    EXPECT_EQ(popHead(l), &a);
    EXPECT_EQ(popHead(l), &b);
    EXPECT_EQ(l->head, nullptr);
    EXPECT_EQ(l->tail, nullptr);
    destroyLinkedList(l);
}

TEST(LinkedList, OrderedInsertionIsAscendingAndStable) {
    linkedList_t *l = newLinkedList(sizeof(Rec), recCompare, nullptr, nullptr, "t", 1);
    std::vector<Rec> recs = {{5, 1}, {1, 2}, {3, 3}, {5, 4}, {0, 5}, {3, 6}, {9, 7}};
    for (auto &r : recs)
        ASSERT_EQ(insertInOrder(l, &r), 0);
    EXPECT_EQ(ids(l), (std::vector<int>{5, 2, 3, 6, 1, 4, 7}));
    expectLinked(l);
    destroyLinkedList(l);

    // Three equal records keep their insertion order.
    Rec a{7, 1}, b{7, 2}, c{7, 3};
    l = newLinkedList(sizeof(Rec), recCompare, nullptr, nullptr, "t", 0);
    insertInOrder(l, &a);
    insertInOrder(l, &b);
    insertInOrder(l, &c);
    EXPECT_EQ(ids(l), (std::vector<int>{1, 2, 3}));
    destroyLinkedList(l);

    // A compare that answers only 0 or negative puts the new record before the
    // first record it does not equal.
    Rec x{1, 1}, y{2, 2}, z{1, 3};
    l = newLinkedList(sizeof(Rec), sameOrBefore, nullptr, nullptr, "t", 0);
    insertInOrder(l, &x);
    insertInOrder(l, &y);
    insertInOrder(l, &z);
    EXPECT_EQ(ids(l), (std::vector<int>{3, 2, 1}));
    destroyLinkedList(l);

    // Without a compare the record goes to the head.
    l = newLinkedList(sizeof(Rec), nullptr, nullptr, nullptr, "t", 1);
    insertInOrder(l, &x);
    insertInOrder(l, &y);
    EXPECT_EQ(ids(l), (std::vector<int>{2, 1}));
    destroyLinkedList(l);
}

TEST(LinkedList, FindElementMatchesFromTheHead) {
    Rec a{1, 1}, b{2, 2}, b2{2, 3}, probe{2, 99};
    linkedList_t *l = newLinkedList(sizeof(Rec), recCompare, nullptr, nullptr, "t", 1);
    insertTail(l, &a);
    insertTail(l, &b);
    insertTail(l, &b2);
    linkedElement_t *c = findElement(l, &probe);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->data, &b);
    EXPECT_EQ(findElement(l, nullptr), nullptr);
    Rec none{42, 0};
    EXPECT_EQ(findElement(l, &none), nullptr);
    EXPECT_EQ(findElementByDataPtr(l, &b2)->data, &b2);
    EXPECT_EQ(findElementByDataPtr(l, &none), nullptr);
    destroyLinkedList(l);

    l = newLinkedList(sizeof(Rec), nullptr, nullptr, nullptr, "t", 1);
    insertTail(l, &a);
    EXPECT_EQ(findElement(l, &a), nullptr);
    destroyLinkedList(l);
}

int neverEqual(void *, void *) {
    return 1;
}

TEST(LinkedList, FindElementReportsPointerMatchThatIsNotEqual) {
    Rec a{1, 1};
    linkedList_t *l = newLinkedList(sizeof(Rec), neverEqual, nullptr, nullptr, "t", 0);
    insertTail(l, &a);
    testing::internal::CaptureStderr();
    EXPECT_EQ(findElement(l, &a), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "************ findElement: ptrs match but not equal?\n");
    // The same with an index beside the cells.
    ASSERT_EQ(listSetHashIndex(l, recHash), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(findElement(l, &a), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "************ findElement: ptrs match but not equal?\n");
    destroyLinkedList(l);
}

TEST(LinkedList, OwnershipFollowsTheReleaseCallback) {
    freeCount = 0;
    linkedList_t *l = newLinkedList(sizeof(Rec), recCompare, nullptr, countingFree, "owned", 1);
    for (int i = 0; i < 5; i++)
        insertTail(l, new Rec{i, i});
    Rec *popped = static_cast<Rec *>(popHead(l));
    EXPECT_EQ(freeCount, 0);
    delete popped;
    linkedElement_t *c = l->head;
    Rec *kept = static_cast<Rec *>(c->data);
    EXPECT_EQ(disconnectElement(l, c), 1);
    EXPECT_EQ(freeCount, 0);
    delete kept;
    EXPECT_EQ(removeElement(l, l->head), 1);
    EXPECT_EQ(freeCount, 1);
    EXPECT_EQ(destroyElement(l, l->tail), 0);
    EXPECT_EQ(freeCount, 2);
    EXPECT_EQ(numberElements(l), 1);
    EXPECT_EQ(drainLinkedList(l), 0);
    EXPECT_EQ(freeCount, 3);
    EXPECT_EQ(l->head, nullptr);
    // Usable after draining.
    EXPECT_EQ(insertTail(l, new Rec{9, 9}), 0);
    EXPECT_EQ(numberElements(l), 1);
    EXPECT_EQ(destroyLinkedList(l), 0);
    EXPECT_EQ(freeCount, 4);

    // Without a release callback nothing is released.
    Rec a{1, 1};
    l = newLinkedList(sizeof(Rec), recCompare, nullptr, nullptr, "t", 1);
    insertTail(l, &a);
    destroyLinkedList(l);
    EXPECT_EQ(a.key, 1);
}

TEST(LinkedList, DestroyElementOfAnotherListChangesNothing) {
    Rec a{1, 1}, b{2, 2};
    linkedList_t *l1 = newLinkedList(sizeof(Rec), recCompare, nullptr, nullptr, "one", 1);
    linkedList_t *l2 = newLinkedList(sizeof(Rec), recCompare, nullptr, nullptr, "two", 1);
    insertTail(l1, &a);
    insertTail(l2, &b);
    linkedElement_t *foreign = l2->head;
    char expect[128];
    snprintf(expect, sizeof(expect), "Couldnt find element %lx in list %lx\n", (unsigned long)foreign,
             (unsigned long)l1);
    testing::internal::CaptureStderr();
    EXPECT_EQ(destroyElement(l1, foreign), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), expect);
    EXPECT_EQ(numberElements(l1), 1);
    EXPECT_EQ(numberElements(l2), 1);
    // Also with an index.
    listSetHashIndex(l1, recHash);
    testing::internal::CaptureStderr();
    EXPECT_EQ(destroyElement(l1, foreign), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), expect);
    EXPECT_EQ(destroyElement(l1, l1->head), 0);
    EXPECT_EQ(l1->head, nullptr);
    destroyLinkedList(l1);
    destroyLinkedList(l2);
}

TEST(LinkedList, ToArrayCopy) {
    Rec a{1, 1}, b{2, 2};
    int n = 77;
    linkedList_t *l = newLinkedList(0, recCompare, nullptr, nullptr, "t", 1);
    insertTail(l, &a);
    EXPECT_EQ(toArrayCopy(l, &n), nullptr);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(toArrayCopy(nullptr, &n), nullptr);
    EXPECT_EQ(toArrayCopy(l, nullptr), nullptr);
    destroyLinkedList(l);

    l = newLinkedList(sizeof(Rec), recCompare, nullptr, nullptr, "t", 1);
    n = 77;
    void *empty = toArrayCopy(l, &n);
    EXPECT_EQ(n, 0);
    free(empty);
    insertTail(l, &a);
    insertTail(l, &b);
    auto *arr = static_cast<Rec *>(toArrayCopy(l, &n));
    ASSERT_NE(arr, nullptr);
    ASSERT_EQ(n, 2);
    EXPECT_EQ(arr[0].id, 1);
    EXPECT_EQ(arr[1].id, 2);
    arr[0].id = 100; // a copy, not the record
    EXPECT_EQ(a.id, 1);
    free(arr);
    destroyLinkedList(l);
}

int visitedSum = 0;
int sumIds(void *r) {
    visitedSum += static_cast<Rec *>(r)->id;
    return 0;
}

TEST(LinkedList, IterateAndTraverse) {
    Rec a{1, 1}, b{2, 2};
    linkedList_t *l = newLinkedList(sizeof(Rec), recCompare, nullptr, nullptr, "walk", 1);
    testing::internal::CaptureStderr();
    EXPECT_EQ(iterateList(l, nullptr), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "iterateList: null args\n");
    insertTail(l, &a);
    insertTail(l, &b);
    visitedSum = 0;
    EXPECT_EQ(iterateList(l, sumIds), 1);
    EXPECT_EQ(visitedSum, 3);

    char expect[512];
    snprintf(expect, sizeof(expect),
             "list: walk %lx, datasize:%d\nhead:%lx tail:%lx\nElement %lx\n\tData:%lx\nElement %lx\n\tData:%lx\n",
             (unsigned long)l, (int)sizeof(Rec), (unsigned long)l->head, (unsigned long)l->tail, (unsigned long)l->head,
             (unsigned long)&a, (unsigned long)l->tail, (unsigned long)&b);
    testing::internal::CaptureStderr();
    EXPECT_EQ(traverseList(l), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), expect);
    destroyLinkedList(l);
}

// Random inserts, removals and look-ups on a plain and an indexed list:
// both must answer the same cells in the same order throughout.
void indexedMatchesPlain(unsigned seed, int poolSize, int keys, int steps, linkedListHash_t hash) {
    std::mt19937 rng(seed);
    std::vector<Rec> pool(poolSize);
    for (int i = 0; i < (int)pool.size(); i++)
        pool[i] = Rec{i % keys, i};
    linkedList_t *plain = newLinkedList(sizeof(Rec), recCompare, nullptr, nullptr, "plain", 0);
    linkedList_t *indexed = newLinkedList(sizeof(Rec), recCompare, nullptr, nullptr, "indexed", 0);
    ASSERT_EQ(listSetHashIndex(indexed, hash), 0);
    auto position = [](linkedList_t *l, linkedElement_t *cell) {
        int i = 0;
        for (linkedElement_t *c = l->head; c; c = c->next, i++)
            if (c == cell)
                return i;
        return -1;
    };
    for (int step = 0; step < steps; step++) {
        Rec *r = &pool[rng() % pool.size()];
        switch (rng() % 6) {
        case 0:
            insertHead(plain, r);
            insertHead(indexed, r);
            break;
        case 1:
            insertTail(plain, r);
            insertTail(indexed, r);
            break;
        case 2:
            insertInOrder(plain, r);
            insertInOrder(indexed, r);
            break;
        case 3: {
            linkedElement_t *a = findElementByDataPtr(plain, r), *b = findElementByDataPtr(indexed, r);
            ASSERT_EQ(position(plain, a), position(indexed, b));
            if (a) {
                disconnectElement(plain, a);
                disconnectElement(indexed, b);
            }
            break;
        }
        case 4: {
            if (rng() % 2) {
                popHead(plain);
                popHead(indexed);
            } else {
                popTail(plain);
                popTail(indexed);
            }
            break;
        }
        default: {
            Rec probe{r->key, -1};
            ASSERT_EQ(position(plain, findElement(plain, &probe)), position(indexed, findElement(indexed, &probe)));
            break;
        }
        }
        ASSERT_EQ(ids(plain), ids(indexed));
    }
    expectLinked(indexed);
    destroyLinkedList(plain);
    destroyLinkedList(indexed);
}

// Many keys on few hash values: long runs of equal hashes in the table.
unsigned long fewHashes(const void *r) {
    return (unsigned long)(static_cast<const Rec *>(r)->key % 7);
}
// Distinct hashes that share their table slot (only the high bits differ,
// and those the slot choice mostly ignores for a small table).
unsigned long sharedSlots(const void *r) {
    return (unsigned long)static_cast<const Rec *>(r)->key << 58;
}

// An indexed list answers exactly as a plain one through random changes,
// duplicates included; the table grows and removals close the gaps they
// leave in runs of colliding entries.
TEST(LinkedList, IndexedListMatchesPlainWalk) {
    indexedMatchesPlain(12345, 300, 40, 3000, recHash);
    indexedMatchesPlain(777, 2000, 1500, 8000, recHash);
    indexedMatchesPlain(4242, 400, 200, 4000, fewHashes);
    indexedMatchesPlain(99, 400, 64, 4000, sharedSlots);
}

TEST(LinkedList, SelfLockingListTakesConcurrentInserts) {
    constexpr int kThreads = 4, kEach = 500;
    freeCount = 0;
    linkedList_t *l = newLinkedList(sizeof(Rec), recCompare, nullptr, countingFree, "shared", 1);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++)
        threads.emplace_back([l, t] {
            for (int i = 0; i < kEach; i++) {
                insertInOrder(l, new Rec{i, t});
                if (i % 3 == 0)
                    delete static_cast<Rec *>(popTail(l));
            }
        });
    for (auto &th : threads)
        th.join();
    EXPECT_EQ(numberElements(l), kThreads * (kEach - (kEach + 2) / 3));
    expectLinked(l);
    destroyLinkedList(l);
}

} // namespace
