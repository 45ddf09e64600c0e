/*
 * Buffers for texts of unknown size (a reply, an exported document): a
 * block of malloc's heap that grows by realloc and is released with free().
 */
#ifndef QEL_BIGBUF_H
#define QEL_BIGBUF_H

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <utility>

/* A buffer that keeps its content as it grows; it owns its block. */
class QelGrowingBuffer {
public:
    QelGrowingBuffer() = default;
    ~QelGrowingBuffer() { release(); }
    QelGrowingBuffer(const QelGrowingBuffer &) = delete;
    QelGrowingBuffer &operator=(const QelGrowingBuffer &) = delete;

    char *data() const { return data_; }
    size_t capacity() const { return capacity_; }

    /* Exchanges the blocks of two buffers (no copy). */
    void swap(QelGrowingBuffer &other) noexcept {
        std::swap(data_, other.data_);
        std::swap(capacity_, other.capacity_);
    }

    /* Makes the capacity at least want, keeping the content; false (the
     * buffer unchanged) when out of memory. */
    bool grow(size_t want) {
        if (want <= capacity_)
            return true;
        void *p = std::realloc(data_, want);
        if (!p)
            return false;
        data_ = static_cast<char *>(p);
        capacity_ = want;
        return true;
    }

    void release() {
        std::free(data_);
        data_ = nullptr;
        capacity_ = 0;
    }

private:
    char *data_ = nullptr;
    size_t capacity_ = 0;
};

#endif
