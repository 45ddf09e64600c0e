// The kept-buffer store (see qel/bigbuf.h).
#include "qel/bigbuf.h"

#include <atomic>
#include <mutex>

namespace {

// Two slots: one for the reply being written while the last one's buffer
// waits for the next request, at most one more for a second session.
constexpr int kSlots = 2;

struct Store {
    std::mutex lock;
    size_t limit = 0;
    const void *marked = nullptr;
    QelGrowingBuffer slot[kSlots];
};

// Never destroyed: a session thread may give its buffer back while the
// process exits.
Store &store() {
    static Store *s = new Store;
    return *s;
}

size_t keptLocked(const Store &s) {
    size_t n = 0;
    for (const auto &b : s.slot)
        n += b.capacity();
    return n;
}

std::atomic<size_t> hugeBlockFrom{kQelHugeBlockFrom};

} // namespace

void qelSetHugeBlockFrom(size_t bytes) { hugeBlockFrom.store(bytes, std::memory_order_relaxed); }

size_t qelHugeBlockFrom() { return hugeBlockFrom.load(std::memory_order_relaxed); }

void qelSetKeptBufferLimit(size_t bytes) {
    Store &s = store();
    QelGrowingBuffer drop[kSlots];
    {
        std::lock_guard guard(s.lock);
        s.limit = bytes;
        for (int i = 0; i < kSlots; ++i)
            if (keptLocked(s) > s.limit)
                drop[i].swap(s.slot[i]);
    }
    // dropped buffers are unmapped here, outside the lock
}

void qelTakeKeptBuffer(QelGrowingBuffer &buf) {
    if (buf.capacity())
        return;
    Store &s = store();
    std::lock_guard guard(s.lock);
    QelGrowingBuffer *best = nullptr;
    for (auto &b : s.slot)
        if (b.capacity() && (!best || b.capacity() > best->capacity()))
            best = &b;
    if (best)
        buf.swap(*best);
}

void qelKeepBuffer(QelGrowingBuffer &buf) {
    if (!buf.mapped())
        return;
    Store &s = store();
    QelGrowingBuffer evicted;
    {
        std::lock_guard guard(s.lock);
        if (buf.capacity() > s.limit)
            return;
        // The room: an empty slot, or the smallest kept buffer if buf is
        // larger; smaller ones are evicted while the total exceeds the limit.
        QelGrowingBuffer *smallest = &s.slot[0];
        for (auto &b : s.slot)
            if (b.capacity() < smallest->capacity())
                smallest = &b;
        if (smallest->capacity() >= buf.capacity())
            return;
        evicted.swap(*smallest);
        smallest->swap(buf);
        if (keptLocked(s) > s.limit) {
            // The other slot must go too: it is given back with buf.
            for (auto &b : s.slot)
                if (&b != smallest)
                    buf.swap(b);
        }
    }
}

void qelMarkKeptBuffer(const void *data) {
    Store &s = store();
    std::lock_guard guard(s.lock);
    s.marked = data;
}

size_t qelReleaseKeptBuffers() { return qelReleaseKeptBuffersBeyond(0); }

size_t qelReleaseKeptBuffersBeyond(size_t keep) {
    Store &s = store();
    QelGrowingBuffer drop[kSlots];
    size_t bytes = 0;
    {
        std::lock_guard guard(s.lock);
        int stays = -1;
        for (int i = 0; i < kSlots; ++i)
            if (s.marked && s.slot[i].data() == s.marked && s.slot[i].capacity() <= keep)
                stays = i;
        for (int i = 0; i < kSlots; ++i) {
            if (i == stays)
                continue;
            if (s.slot[i].data() && s.slot[i].data() == s.marked)
                s.marked = nullptr;
            bytes += s.slot[i].capacity();
            drop[i].swap(s.slot[i]);
        }
    }
    return bytes;
}

size_t qelKeptBufferBytes() {
    Store &s = store();
    std::lock_guard guard(s.lock);
    return keptLocked(s);
}
