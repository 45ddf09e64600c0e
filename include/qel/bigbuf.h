/*
 * Large message buffers. A reply holding a whole table runs to megabytes,
 * and each fresh 4 KiB page of it costs a fault (two microseconds here);
 * huge pages over such a buffer turn thousands of faults into a handful.
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

/* Memory for size bytes, released with free(): from malloc when small,
 * else in whole huge pages. Null when out of memory. */
inline void *qelAllocLarge(size_t size) {
#ifdef _WIN32
    // No aligned memory that free() takes back here; the heap's will do.
    return std::malloc(size);
#else
    if (size < 2 * kQelHugePage)
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

/*
 * A buffer grown by doubling that never copies what it holds once it is
 * large: small, it lives in malloc's heap; from 1 MiB on it is a mapping of
 * its own that grows by remapping, on huge pages. (Advice on part of a
 * malloc'd block would split its mapping, and realloc would then copy.)
 */
class QelGrowingBuffer {
public:
    QelGrowingBuffer() = default;
    ~QelGrowingBuffer() { release(); }
    QelGrowingBuffer(const QelGrowingBuffer &) = delete;
    QelGrowingBuffer &operator=(const QelGrowingBuffer &) = delete;

    char *data() const { return data_; }
    size_t capacity() const { return capacity_; }

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
        constexpr size_t kMapFrom = size_t{1} << 20;
        const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        if (want > SIZE_MAX - page)
            return false;
        if (want < kMapFrom) {
            void *p = std::realloc(data_, want);
            if (!p)
                return false;
            data_ = static_cast<char *>(p);
            capacity_ = want;
            return true;
        }
        want = (want + page - 1) & ~(page - 1);
        void *p = mapped_ ? mremap(data_, capacity_, want, MREMAP_MAYMOVE)
                          : mmap(nullptr, want, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED)
            return false;
#ifdef MADV_HUGEPAGE
        madvise(p, want, MADV_HUGEPAGE);
#endif
        if (!mapped_) {
            if (data_)
                std::memcpy(p, data_, capacity_);
            std::free(data_);
            mapped_ = true;
        }
        data_ = static_cast<char *>(p);
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
    char *data_ = nullptr;
    size_t capacity_ = 0;
    bool mapped_ = false;
};

#endif
