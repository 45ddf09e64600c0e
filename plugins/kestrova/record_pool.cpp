// Slots for the graph's records in huge-page chunks; see record_pool.h.
#include "record_pool.h"

#include "vertex.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#include <sanitizer/lsan_interface.h>
#define POOL_POISON(p, n) ASAN_POISON_MEMORY_REGION((p), (n))
#define POOL_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION((p), (n))
// The leak checker scans the heap and the globals, not mappings of our own:
// what only a pooled record or list cell points to would look leaked.
#define POOL_ROOT_ADD(p, n) __lsan_register_root_region((p), (n))
#define POOL_ROOT_DROP(p, n) __lsan_unregister_root_region((p), (n))
#else
#define POOL_POISON(p, n) ((void)(p), (void)(n))
#define POOL_UNPOISON(p, n) ((void)(p), (void)(n))
#define POOL_ROOT_ADD(p, n) ((void)(p), (void)(n))
#define POOL_ROOT_DROP(p, n) ((void)(p), (void)(n))
#endif

namespace kestrova {

namespace {

constexpr size_t kPage = 4096;
// Released slots a chunk may hold before its pages are given back, even
// when it holds fewer records (one sweep should free a fair amount; for
// small slots at least a thirty-second of the chunk).
constexpr size_t kMinDirty = 8;

// Records to whole cache lines; small slots (list cells) to a power of two,
// so that none straddles a line.
size_t roundSlot(size_t n) {
    n = std::max<size_t>(n, 8);
    if (n >= 64)
        return (n + 63) / 64 * 64;
    size_t p = 8;
    while (p < n)
        p *= 2;
    return p;
}

bool bit(const std::vector<uint64_t> &v, size_t i) { return (v[i / 64] >> (i % 64)) & 1u; }
void setBit(std::vector<uint64_t> &v, size_t i) { v[i / 64] |= uint64_t(1) << (i % 64); }
void clearBit(std::vector<uint64_t> &v, size_t i) { v[i / 64] &= ~(uint64_t(1) << (i % 64)); }

} // namespace

struct RecordPool::Chunk {
    char *base = nullptr;
    size_t used = 0;
    size_t dirty = 0;
    size_t firstFree = 0;            // no free slot in the words before
    bool huge = false;               // advised for huge pages
    std::vector<uint64_t> freeBits;  // 1: slot free
    std::vector<uint64_t> dirtyBits; // 1: slot free but not zero
};

RecordPool::RecordPool(size_t slotSize, size_t spareChunks, size_t hugeFromChunk)
    : slot_(roundSlot(slotSize)), perChunk_(kChunkBytes / slot_), spare_(spareChunks), hugeFrom_(hugeFromChunk) {}

RecordPool::~RecordPool() {
    std::lock_guard lock(mutex_);
    while (!chunks_.empty())
        unmapChunk(chunks_.back().get());
}

RecordPool::Chunk *RecordPool::chunkOf(const void *p) const {
    auto base = reinterpret_cast<char *>(reinterpret_cast<uintptr_t>(p) & ~(uintptr_t)(kChunkBytes - 1));
    auto it = std::lower_bound(chunks_.begin(), chunks_.end(), base,
                               [](const std::unique_ptr<Chunk> &c, char *b) { return c->base < b; });
    return it != chunks_.end() && (*it)->base == base ? it->get() : nullptr;
}

RecordPool::Chunk *RecordPool::mapChunk() {
    if (perChunk_ == 0)
        return nullptr;
    // Twice the size, then trimmed to an aligned chunk: huge pages need
    // 2 MiB alignment.
    void *raw = mmap(nullptr, 2 * kChunkBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED)
        return nullptr;
    auto start = reinterpret_cast<uintptr_t>(raw);
    uintptr_t aligned = (start + kChunkBytes - 1) & ~(uintptr_t)(kChunkBytes - 1);
    if (aligned > start)
        munmap(raw, aligned - start);
    if (aligned + kChunkBytes < start + 2 * kChunkBytes)
        munmap(reinterpret_cast<void *>(aligned + kChunkBytes), start + 2 * kChunkBytes - aligned - kChunkBytes);
    auto *base = reinterpret_cast<char *>(aligned);
    std::unique_ptr<Chunk> c;
    try {
        c = std::make_unique<Chunk>();
        size_t words = (perChunk_ + 63) / 64;
        c->freeBits.assign(words, 0);
        c->dirtyBits.assign(words, 0);
        for (size_t i = 0; i < perChunk_; i++)
            setBit(c->freeBits, i);
        c->base = base;
        auto it = std::lower_bound(chunks_.begin(), chunks_.end(), base,
                                   [](const std::unique_ptr<Chunk> &x, char *b) { return x->base < b; });
        it = chunks_.insert(it, std::move(c));
        if (chunks_.size() > hugeFrom_)
            (*it)->huge = madvise(base, kChunkBytes, MADV_HUGEPAGE) == 0; // a hint: THP may be off
        POOL_POISON(base, kChunkBytes);
        POOL_ROOT_ADD(base, kChunkBytes);
        mappedEver_++;
        return it->get();
    } catch (...) {
        munmap(base, kChunkBytes);
        return nullptr;
    }
}

void RecordPool::unmapChunk(Chunk *c) {
    // Poison would outlive the mapping and hit whoever maps the range next.
    POOL_UNPOISON(c->base, kChunkBytes);
    POOL_ROOT_DROP(c->base, kChunkBytes);
    munmap(c->base, kChunkBytes);
    if (current_ == c)
        current_ = nullptr;
    auto it = std::find_if(chunks_.begin(), chunks_.end(), [c](const std::unique_ptr<Chunk> &x) { return x.get() == c; });
    if (it != chunks_.end())
        chunks_.erase(it);
    unmapped_++;
}

// The chunk to allocate from: the current one while it has room, else the
// fullest one with room (records gather, emptier chunks drain), else a new
// one.
RecordPool::Chunk *RecordPool::pickChunk() {
    if (current_ && current_->used < perChunk_)
        return current_;
    Chunk *best = nullptr;
    for (auto &c : chunks_)
        if (c->used < perChunk_ && (!best || c->used > best->used))
            best = c.get();
    if (!best)
        best = mapChunk();
    current_ = best;
    return best;
}

void *RecordPool::allocate() {
    std::lock_guard lock(mutex_);
    Chunk *c = pickChunk();
    if (!c)
        return nullptr;
    size_t idx = SIZE_MAX;
    for (size_t w = c->firstFree; w < c->freeBits.size(); w++) {
        if (c->freeBits[w]) {
            idx = w * 64 + (size_t)__builtin_ctzll(c->freeBits[w]);
            c->firstFree = w;
            break;
        }
    }
    if (idx >= perChunk_)
        return nullptr; // cannot happen: used < perChunk_
    char *p = c->base + idx * slot_;
    clearBit(c->freeBits, idx);
    POOL_UNPOISON(p, slot_);
    if (bit(c->dirtyBits, idx)) {
        clearBit(c->dirtyBits, idx);
        c->dirty--;
        memset(p, 0, slot_);
    }
    c->used++;
    // Full again: back on huge pages (see sweep).
    if (c->used == perChunk_ && !c->huge && chunks_.size() > hugeFrom_)
        c->huge = madvise(c->base, kChunkBytes, MADV_HUGEPAGE) == 0;
    return p;
}

bool RecordPool::releaseLocked(void *p, Chunk **touched) {
    Chunk *c = chunkOf(p);
    *touched = c;
    if (!c)
        return false;
    size_t off = (size_t)(static_cast<char *>(p) - c->base);
    size_t idx = off / slot_;
    if (off % slot_ != 0 || idx >= perChunk_ || bit(c->freeBits, idx)) {
        // Not a slot's start, or released twice: a fault of the caller.
        // Kept as it is rather than corrupting the pool.
        fprintf(stderr, "RecordPool: bad release of %p\n", p);
        *touched = nullptr;
        return true;
    }
    setBit(c->freeBits, idx);
    setBit(c->dirtyBits, idx);
    c->firstFree = std::min(c->firstFree, idx / 64);
    c->dirty++;
    c->used--;
    POOL_POISON(p, slot_);
    return true;
}

// After releases: an empty chunk goes (beyond the spares), a chunk holding
// more released bytes than records gives its free pages back.
void RecordPool::settle(Chunk *c) {
    if (c->used == 0) {
        size_t empty = 0;
        for (auto &x : chunks_)
            if (x.get() != c && x->used == 0)
                empty++;
        if (empty >= spare_) {
            unmapChunk(c);
            return;
        }
    }
    if (c->dirty >= std::max({kMinDirty, c->used, perChunk_ / 32}))
        sweep(c);
}

// Drops the whole pages under runs of free slots and zeroes the rest of the
// released slots of the runs, so every free slot reads zero again.
void RecordPool::sweep(Chunk *c) {
    // A chunk this empty leaves huge pages until it fills up again: the
    // kernel's background collapse would otherwise bring back the whole
    // 2 MiB for a few records.
    if (c->huge) {
        madvise(c->base, kChunkBytes, MADV_NOHUGEPAGE);
        c->huge = false;
    }
    size_t i = 0;
    while (i < perChunk_) {
        if (i % 64 == 0 && c->freeBits[i / 64] == 0) {
            i += 64;
            continue;
        }
        if (!bit(c->freeBits, i)) {
            i++;
            continue;
        }
        size_t j = i;
        bool anyDirty = false;
        while (j < perChunk_ && bit(c->freeBits, j))
            anyDirty |= bit(c->dirtyBits, j++);
        if (anyDirty) {
            auto start = reinterpret_cast<uintptr_t>(c->base + i * slot_);
            auto end = reinterpret_cast<uintptr_t>(c->base + j * slot_);
            uintptr_t lo = (start + kPage - 1) & ~(uintptr_t)(kPage - 1);
            uintptr_t hi = end & ~(uintptr_t)(kPage - 1);
            if (hi <= lo)
                lo = hi = start; // no whole page: zero the slots
            else if (madvise(reinterpret_cast<void *>(lo), hi - lo, MADV_DONTNEED) != 0)
                lo = hi = start;
            for (size_t k = i; k < j; k++) {
                if (!bit(c->dirtyBits, k))
                    continue;
                auto s = reinterpret_cast<uintptr_t>(c->base + k * slot_), e = s + slot_;
                // The slot's bytes outside [lo, hi).
                uintptr_t a1 = s, b1 = std::min(e, lo);
                uintptr_t a2 = std::max(s, hi), b2 = e;
                if (b1 > a1) {
                    POOL_UNPOISON(reinterpret_cast<void *>(a1), b1 - a1);
                    memset(reinterpret_cast<void *>(a1), 0, b1 - a1);
                    POOL_POISON(reinterpret_cast<void *>(a1), b1 - a1);
                }
                if (b2 > a2) {
                    POOL_UNPOISON(reinterpret_cast<void *>(a2), b2 - a2);
                    memset(reinterpret_cast<void *>(a2), 0, b2 - a2);
                    POOL_POISON(reinterpret_cast<void *>(a2), b2 - a2);
                }
                clearBit(c->dirtyBits, k);
            }
        }
        i = j;
    }
    c->dirty = 0;
    sweeps_++;
}

bool RecordPool::release(void *p) {
    if (!p)
        return false;
    std::lock_guard lock(mutex_);
    Chunk *c = nullptr;
    if (!releaseLocked(p, &c))
        return false;
    if (c)
        settle(c);
    return true;
}

void RecordPool::releaseMany(std::vector<void *> &ps) {
    std::lock_guard lock(mutex_);
    std::vector<Chunk *> touched;
    size_t kept = 0;
    for (void *p : ps) {
        Chunk *c = nullptr;
        if (!p || !releaseLocked(p, &c)) {
            if (p)
                ps[kept++] = p;
            continue;
        }
        if (c && (touched.empty() || touched.back() != c))
            touched.push_back(c);
    }
    ps.resize(kept);
    std::sort(touched.begin(), touched.end());
    touched.erase(std::unique(touched.begin(), touched.end()), touched.end());
    // settle may unmap a chunk: look each up again by its base first.
    std::vector<char *> bases;
    bases.reserve(touched.size());
    for (Chunk *c : touched)
        bases.push_back(c->base);
    for (char *b : bases)
        if (Chunk *c = chunkOf(b))
            settle(c);
}

bool RecordPool::owns(const void *p) const {
    std::lock_guard lock(mutex_);
    return p && chunkOf(p) != nullptr;
}

RecordPool::Stats RecordPool::stats() const {
    std::lock_guard lock(mutex_);
    Stats s;
    s.chunks = chunks_.size();
    s.slotsPerChunk = perChunk_;
    for (auto &c : chunks_) {
        s.live += c->used;
        s.dirty += c->dirty;
    }
    s.sweeps = sweeps_;
    s.unmapped = unmapped_;
    return s;
}

RecordPool &vertexPool() {
    static RecordPool *pool = new RecordPool(sizeof(vertex_t));
    return *pool;
}

RecordPool &listCellPool() {
    static RecordPool *pool = new RecordPool(sizeof(linkedElement_t));
    return *pool;
}

RecordPool &dependencyRecordPool() {
    static RecordPool *pool = new RecordPool(sizeof(dependency_t));
    return *pool;
}

dependency_t *allocDependencyRecord() { return static_cast<dependency_t *>(dependencyRecordPool().allocate()); }

void releaseDependencyRecord(dependency_t *d) {
    if (!d || dependencyRecordPool().release(d))
        return;
    memset(d, 0, sizeof(*d));
    free(d);
}

void releaseDependencyRecords(std::vector<dependency_t *> &ds) {
    std::vector<void *> ps(ds.begin(), ds.end());
    dependencyRecordPool().releaseMany(ps);
    for (void *p : ps) {
        memset(p, 0, sizeof(dependency_t));
        free(p);
    }
    ds.clear();
}

} // namespace kestrova
