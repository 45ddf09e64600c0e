/*
 * Large message buffers. A reply holding a whole table runs to megabytes,
 * and each fresh 4 KiB page of it costs a fault (two to ten microseconds,
 * most under a hypervisor); huge pages over such a buffer turn thousands of
 * faults into a handful, and buffers kept between requests none at all.
 * This is only advice: where the kernel gives no huge pages, nothing but
 * the alignment changes.
 */
#ifndef QEL_BIGBUF_H
#define QEL_BIGBUF_H

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#ifndef _WIN32
#include <sys/mman.h>
#include <unistd.h>
#endif

constexpr size_t kQelHugePage = size_t{2} << 20;

/* Asks for huge pages over the whole 2 MiB pages inside [p, p + size). */
inline void qelAdviseLargeBuffer(void *p, size_t size) {
#ifdef MADV_HUGEPAGE
    if (!p || size < kQelHugePage)
        return;
    const auto begin = (reinterpret_cast<uintptr_t>(p) + kQelHugePage - 1) & ~(kQelHugePage - 1);
    const auto end = (reinterpret_cast<uintptr_t>(p) + size) & ~(kQelHugePage - 1);
    if (end > begin)
        madvise(reinterpret_cast<void *>(begin), end - begin, MADV_HUGEPAGE);
#else
    (void)p;
    (void)size;
#endif
}

/*
 * From this size on a buffer is a mapping of its own. A fresh 4 KiB page
 * costs a fault each (several microseconds where the kernel runs under a
 * hypervisor), while one 2 MiB huge page is faulted and cleared for about as
 * much as a dozen of them: so a buffer of a few hundred KiB that is filled
 * anyway is cheaper on one huge page than page by page.
 */
constexpr size_t kQelLargeFrom = size_t{256} << 10;

/*
 * From this size on a block written whole at once (a received message, a
 * parsed or decoded value) goes on a huge page: a client process faults
 * every page of its buffers afresh, and from about a dozen pages on one
 * huge page is cheaper. In the agent, whose malloc maps every block from
 * 256 KiB on, such a block is unmapped by its free() and holds nothing
 * afterwards.
 */
constexpr size_t kQelHugeBlockFrom = size_t{64} << 10;

/* The threshold in force, kQelHugeBlockFrom unless set. The agent sets a
 * whole huge page: the blocks it receives are its clients' to size, and
 * many sessions of messages just above 64 KiB must not hold 2 MiB each. */
void qelSetHugeBlockFrom(size_t bytes);
size_t qelHugeBlockFrom();

/* Memory for size bytes, released with free(): from malloc below from,
 * else in whole huge pages. Null when out of memory. */
inline void *qelAllocLargeFrom(size_t size, size_t from) {
#ifdef _WIN32
    // No aligned memory that free() takes back here; the heap's will do.
    (void)from;
    return std::malloc(size);
#else
    if (size < from)
        return std::malloc(size);
    if (size > SIZE_MAX - kQelHugePage)
        return nullptr;
    const size_t rounded = (size + kQelHugePage - 1) & ~(kQelHugePage - 1);
    void *p = nullptr;
    if (posix_memalign(&p, kQelHugePage, rounded) != 0)
        return nullptr;
    qelAdviseLargeBuffer(p, rounded);
    return p;
#endif
}

/* qelAllocLargeFrom at the threshold in force: for blocks whose size the
 * peer chooses (received messages, what is parsed from them). */
inline void *qelAllocLarge(size_t size) { return qelAllocLargeFrom(size, qelHugeBlockFrom()); }

/*
 * A buffer grown by doubling that never copies what it holds once it is
 * large: small, it lives in malloc's heap; from kQelLargeFrom on it is a
 * mapping of its own in whole huge pages, aligned to them, that grows by
 * remapping. (Advice on part of a malloc'd block would split its mapping,
 * and realloc would then copy.)
 */
class QelGrowingBuffer {
public:
    QelGrowingBuffer() = default;
    ~QelGrowingBuffer() { release(); }
    QelGrowingBuffer(const QelGrowingBuffer &) = delete;
    QelGrowingBuffer &operator=(const QelGrowingBuffer &) = delete;

    char *data() const { return data_; }
    size_t capacity() const { return capacity_; }
    /* Whether the memory is a mapping of its own (which the kept-buffer
     * store below takes), not a block of malloc's heap. */
    bool mapped() const { return mapped_; }

    /* Exchanges the memory of two buffers (no copy). */
    void swap(QelGrowingBuffer &other) noexcept {
        char *d = data_;
        data_ = other.data_;
        other.data_ = d;
        size_t c = capacity_;
        capacity_ = other.capacity_;
        other.capacity_ = c;
        bool m = mapped_;
        mapped_ = other.mapped_;
        other.mapped_ = m;
    }

    /* Makes the capacity at least want, keeping the content. */
    bool grow(size_t want) {
        if (want <= capacity_)
            return true;
#ifdef _WIN32
        // The Windows client keeps its buffers in the heap at every size.
        void *grown = std::realloc(data_, want);
        if (!grown)
            return false;
        data_ = static_cast<char *>(grown);
        capacity_ = want;
        return true;
#else
        if (want > SIZE_MAX / 2)
            return false;
        if (want < kQelLargeFrom) {
            void *p = std::realloc(data_, want);
            if (!p)
                return false;
            data_ = static_cast<char *>(p);
            capacity_ = want;
            return true;
        }
        want = roundedSize(want);
        char *p = mapFresh(want);
        if (!p)
            return false;
        if (mapped_) {
            // The pages move to the front of the new mapping without a copy.
            if (mremap(data_, capacity_, capacity_, MREMAP_MAYMOVE | MREMAP_FIXED, p) == MAP_FAILED) {
                std::memcpy(p, data_, capacity_);
                munmap(data_, capacity_);
            }
        } else {
            if (data_)
                std::memcpy(p, data_, capacity_);
            std::free(data_);
            mapped_ = true;
        }
        data_ = p;
        capacity_ = want;
        return true;
#endif
    }

    void release() {
#ifndef _WIN32
        if (mapped_)
            munmap(data_, capacity_);
        else
#endif
            std::free(data_);
        data_ = nullptr;
        capacity_ = 0;
        mapped_ = false;
    }

private:
#ifndef _WIN32
    // Whole huge pages.
    static size_t roundedSize(size_t want) { return (want + kQelHugePage - 1) & ~(kQelHugePage - 1); }

    // A fresh mapping of size bytes (whole huge pages) that starts on a
    // huge-page boundary (mapped larger and trimmed), so that every 2 MiB
    // of it can be one huge page.
    static char *mapFresh(size_t size) {
        const int prot = PROT_READ | PROT_WRITE, flags = MAP_PRIVATE | MAP_ANONYMOUS;
        void *raw = mmap(nullptr, size + kQelHugePage, prot, flags, -1, 0);
        if (raw == MAP_FAILED)
            return nullptr;
        const uintptr_t r = reinterpret_cast<uintptr_t>(raw);
        const uintptr_t start = (r + kQelHugePage - 1) & ~(kQelHugePage - 1);
        if (start > r)
            munmap(raw, start - r);
        const uintptr_t end = start + size;
        if (r + size + kQelHugePage > end)
            munmap(reinterpret_cast<void *>(end), r + size + kQelHugePage - end);
        char *p = reinterpret_cast<char *>(start);
#ifdef MADV_HUGEPAGE
        madvise(p, size, MADV_HUGEPAGE);
#endif
        return p;
    }
#endif

    char *data_ = nullptr;
    size_t capacity_ = 0;
    bool mapped_ = false;
};

/*
 * Kept buffers: a small store, one per process, of mapped buffers given
 * back by their last user, so that the next request's reply is written into
 * pages already in place instead of faulting fresh ones in. It keeps
 * nothing until a limit is set (the agent sets one; a client, which lives
 * for one request, does not), never more than that limit in all, and gives
 * everything back on qelReleaseKeptBuffers(), which the agent calls once it
 * has been idle for a moment: the memory of a burst does not outlive it.
 */
/* Sets the most the store holds, in bytes (0: nothing; the default). */
void qelSetKeptBufferLimit(size_t bytes);
/* Puts the largest kept buffer into buf, if buf is empty and one is kept. */
void qelTakeKeptBuffer(QelGrowingBuffer &buf);
/* Keeps buf's memory (leaving buf empty) when it is mapped and fits the
 * limit, in place of smaller kept ones if need be; else leaves buf as it
 * was, for its owner to release. */
void qelKeepBuffer(QelGrowingBuffer &buf);
/* Unmaps every kept buffer; the bytes given back. */
size_t qelReleaseKeptBuffers();
/* Marks the kept buffer whose memory starts at data (one at a time; null
 * clears the mark) as one worth keeping past an idle release: the memory of
 * a document that is asked for again and again (a subgraph), not that of
 * whatever reply came last. */
void qelMarkKeptBuffer(const void *data);
/* Unmaps every kept buffer but the marked one, if it is at most keep bytes;
 * the bytes given back. An agent that keeps that buffer past its idle
 * release writes the next such document into pages already in place instead
 * of clearing a fresh huge page for it, at the price of that much memory
 * held while idle. */
size_t qelReleaseKeptBuffersBeyond(size_t keep);
/* The bytes kept now. */
size_t qelKeptBufferBytes();

#endif
