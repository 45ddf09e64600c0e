#include "logtail.h"

#include "kestrova.h"
#include "qelselect.h"

#include <fcntl.h>
#if defined(__x86_64__)
#include <immintrin.h>
#endif
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <thread>
#include <cstring>
#include <memory>
#include <vector>

#include "depend_logfile.h"
#include "hostfs.h"
#include "sysinfo_logfile.h"

namespace logtail {
namespace {

// The read buffer, held by a tailer only while it reads; larger than the
// longest matched line so that such a line always fits whole. Reads of
// 1 MiB take about a quarter less time per line than reads of 256 KiB
// (bench_logscan's BM_ReadFloor), and a file read by one record alone pays
// its read in full. A step's bound (kStepBytes) is a whole number of
// buffers, so full reads end a step exactly at it.
constexpr size_t kBufSize = 1024u << 10;
static_assert(kStepBytes % kBufSize == 0);
static_assert(kBufSize > kMaxLine);

// A coarse clock is enough for the step bounds and costs little per batch.
std::chrono::steady_clock::time_point coarseNow() {
    struct timespec ts;
    if (clock_gettime(CLOCK_MONOTONIC_COARSE, &ts) != 0)
        return std::chrono::steady_clock::now();
    return std::chrono::steady_clock::time_point(std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec));
}

// Cutting a buffer into lines: the newlines are found a block of 64 bytes
// at a time, one bit each, which costs less than a search per line (whose
// end is where a branch goes wrong); the widest vector unit the processor
// has does the compares, chosen once at start.
struct Split {
    const char *buf;
    size_t n;      // bytes in buf
    size_t pos;    // where the next line starts
    uint64_t base; // the file offset of buf[0]
};

// The lines from s.pos to the last newline, at most max of them, into out:
// how many. Bits(p) gives the newlines among the 64 bytes at p.
template <class Bits>
[[gnu::always_inline]] inline size_t splitLinesWith(Split &s, Line *out, size_t max) {
    const char *const buf = s.buf;
    const size_t n = s.n;
    const uint64_t base = s.base;
    size_t pos = s.pos, from = pos;
    Line *o = out, *const end = out + max;
    auto take = [&](size_t e) {
        size_t len = e + 1 - pos;
        *o = Line{buf + pos, len < kMaxLine ? len : kMaxLine, base + e + 1};
        pos = e + 1;
        return ++o == end;
    };
    if constexpr (Bits::kVector)
        for (; from + 64 <= n; from += 64)
            for (uint64_t bits = Bits::at(buf + from); bits; bits &= bits - 1)
                if (take(from + static_cast<size_t>(__builtin_ctzll(bits)))) {
                    s.pos = pos;
                    return max;
                }
    while (from < n) {
        const void *nl = std::memchr(buf + from, '\n', n - from);
        if (!nl)
            break;
        size_t e = static_cast<size_t>(static_cast<const char *>(nl) - buf);
        from = e + 1;
        if (take(e))
            break;
    }
    s.pos = pos;
    return static_cast<size_t>(o - out);
}

struct PlainBits {
    static constexpr bool kVector = false; // memchr does it all
    static uint64_t at(const char *) { return 0; }
};

size_t splitLinesPlain(Split &s, Line *out, size_t max) { return splitLinesWith<PlainBits>(s, out, max); }

#if defined(__x86_64__)
struct Sse2Bits {
    static constexpr bool kVector = true;
    static uint64_t at(const char *p) {
        const __m128i nl = _mm_set1_epi8('\n');
        auto part = [&](int i) {
            __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 16 * i));
            return static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, nl))));
        };
        return part(0) | part(1) << 16 | part(2) << 32 | part(3) << 48;
    }
};

struct Avx2Bits {
    static constexpr bool kVector = true;
    [[gnu::target("avx2")]] static uint64_t at(const char *p) {
        const __m256i nl = _mm256_set1_epi8('\n');
        __m256i lo = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
        __m256i hi = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + 32));
        uint64_t l = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(lo, nl)));
        uint64_t h = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(hi, nl)));
        return l | h << 32;
    }
};

size_t splitLinesSse2(Split &s, Line *out, size_t max) { return splitLinesWith<Sse2Bits>(s, out, max); }

[[gnu::target("avx2"), gnu::flatten]] size_t splitLinesAvx2(Split &s, Line *out, size_t max) {
    return splitLinesWith<Avx2Bits>(s, out, max);
}
#endif

using SplitFn = size_t (*)(Split &, Line *, size_t);

// The newlines in p[0..n), a block of 64 bytes at a time.
template <class Bits>
[[gnu::always_inline]] inline size_t countNewlinesWith(const char *p, size_t n) {
    size_t count = 0, i = 0;
    if constexpr (Bits::kVector)
        for (; i + 64 <= n; i += 64)
            count += static_cast<size_t>(__builtin_popcountll(Bits::at(p + i)));
    for (; i < n; ++i)
        count += p[i] == '\n';
    return count;
}

size_t countNewlinesPlain(const char *p, size_t n) {
    size_t count = 0;
    for (const char *end = p + n; p < end; ++count) {
        p = static_cast<const char *>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
        if (!p)
            break;
        ++p;
    }
    return count;
}

#if defined(__x86_64__)
size_t countNewlinesSse2(const char *p, size_t n) { return countNewlinesWith<Sse2Bits>(p, n); }

// A compare gives -1 per newline: subtracted into byte counters for up to
// 255 blocks of 32 bytes, then summed, which costs less than a mask and
// its bit count per block.
[[gnu::target("avx2")]] size_t countNewlinesAvx2(const char *p, size_t n) {
    const __m256i nl = _mm256_set1_epi8('\n');
    const __m256i zero = _mm256_setzero_si256();
    size_t count = 0, i = 0;
    while (n - i >= 64) {
        // Two counters, 64 bytes a step: fewer instructions a byte.
        __m256i acc0 = zero, acc1 = zero;
        const size_t blocks = std::min<size_t>((n - i) / 64, 255);
        for (size_t b = 0; b < blocks; ++b, i += 64) {
            acc0 = _mm256_sub_epi8(acc0, _mm256_cmpeq_epi8(
                                             _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + i)), nl));
            acc1 = _mm256_sub_epi8(acc1, _mm256_cmpeq_epi8(
                                             _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + i + 32)), nl));
        }
        const __m256i sums = _mm256_add_epi64(_mm256_sad_epu8(acc0, zero), _mm256_sad_epu8(acc1, zero));
        count += static_cast<size_t>(_mm256_extract_epi64(sums, 0)) + static_cast<size_t>(_mm256_extract_epi64(sums, 1)) +
                 static_cast<size_t>(_mm256_extract_epi64(sums, 2)) + static_cast<size_t>(_mm256_extract_epi64(sums, 3));
    }
    if (n - i >= 32) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + i));
        count += static_cast<size_t>(__builtin_popcount(static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(v, nl)))));
        i += 32;
    }
    for (; i < n; ++i)
        count += p[i] == '\n';
    return count;
}
#endif

using CountFn = size_t (*)(const char *, size_t);

CountFn countFor(SplitFn f) {
#if defined(__x86_64__)
    if (f == splitLinesAvx2)
        return countNewlinesAvx2;
    if (f == splitLinesSse2)
        return countNewlinesSse2;
#endif
    (void)f;
    return countNewlinesPlain;
}

bool hasAvx2() {
#if defined(__x86_64__)
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
#else
    return false;
#endif
}

SplitFn splitFor(SplitUnit u) {
    switch (u) {
#if defined(__x86_64__)
    case SplitUnit::kAvx2:
        return hasAvx2() ? splitLinesAvx2 : nullptr;
    case SplitUnit::kSse2:
        return splitLinesSse2;
#endif
    case SplitUnit::kPlain:
        return splitLinesPlain;
    default:
        return nullptr;
    }
}

SplitFn bestSplit() {
    SplitFn f = splitFor(SplitUnit::kAvx2);
    if (!f)
        f = splitFor(SplitUnit::kSse2);
    return f ? f : splitLinesPlain;
}

std::atomic<SplitFn> splitLines{bestSplit()};
std::atomic<CountFn> countNewlines{countFor(bestSplit())};
std::atomic<bool> spansOn{true};


ssize_t preadFull(int fd, void *buf, size_t len, uint64_t off) {
    size_t got = 0;
    while (got < len) {
        ssize_t n = ::pread(fd, static_cast<char *>(buf) + got, len - got, static_cast<off_t>(off + got));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (n == 0)
            break;
        got += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(got);
}

} // namespace

Tailer::~Tailer() { closeHeld(); }

void Tailer::closeHeld() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

void Tailer::restart() {
    offset_ = 0;
    tailLen_ = 0;
    skipping_ = false;
    pendingSize_ = -1;
}

void Tailer::rememberTail() {
    tailLen_ = 0;
    if (fd_ < 0 || offset_ == 0)
        return;
    size_t want = offset_ < sizeof tail_ ? static_cast<size_t>(offset_) : sizeof tail_;
    ssize_t n = preadFull(fd_, tail_, want, offset_ - want);
    if (n == static_cast<ssize_t>(want))
        tailLen_ = want;
}

bool Tailer::tailUnchanged() const {
    if (tailLen_ == 0)
        return true;
    unsigned char now[sizeof tail_];
    ssize_t n = preadFull(fd_, now, tailLen_, offset_ - tailLen_);
    return n == static_cast<ssize_t>(tailLen_) && std::memcmp(now, tail_, tailLen_) == 0;
}

void Tailer::start(const std::string &path) {
    closeHeld();
    restart();
    known_ = false;
    draining_ = false;
    // stat first: opening a FIFO for reading would wait for a writer.
    struct stat st;
    if (hostfs::statHostFile(path, &st) != 0 || !S_ISREG(st.st_mode))
        return;
    int fd = hostfs::openHostFile(path, O_RDONLY | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return;
    }
    fd_ = fd;
    known_ = true;
    dev_ = st.st_dev;
    ino_ = st.st_ino;
    offset_ = static_cast<uint64_t>(st.st_size);
    rememberTail();
}

StepResult Tailer::step(const std::string &path, LineFn const &fn, size_t maxBytes,
                        std::chrono::steady_clock::time_point deadline) {
    return step(
        path,
        [&fn](const Line *lines, size_t n) {
            for (size_t i = 0; i < n; ++i)
                fn(lines[i].text, lines[i].len, lines[i].after);
        },
        maxBytes, deadline);
}

StepResult Tailer::step(const std::string &path, BatchFn const &fn, size_t maxBytes,
                        std::chrono::steady_clock::time_point deadline) {
    return stepWith(path, fn, nullptr, maxBytes, deadline);
}

StepResult Tailer::step(const std::string &path, BatchFn const &fn, SpanFn const &spans, size_t maxBytes,
                        std::chrono::steady_clock::time_point deadline) {
    return stepWith(path, fn, &spans, maxBytes, deadline);
}

StepResult Tailer::stepWith(const std::string &path, BatchFn const &fn, SpanFn const *spans, size_t maxBytes,
                            std::chrono::steady_clock::time_point deadline) {
    struct stat pst;
    bool present = hostfs::statHostFile(path, &pst) == 0;
    if (fd_ >= 0 && !draining_ && (!present || pst.st_dev != dev_ || pst.st_ino != ino_))
        draining_ = true;
    if (draining_) {
        // The path was renamed away or removed: what was appended to the old
        // file before that still counts.
        StepResult r = readHeld(fn, spans, maxBytes, deadline, true);
        if (r == kMore)
            return r;
        closeHeld();
        draining_ = false;
        known_ = false;
        restart();
        if (r != kCaughtUp)
            return r;
    }
    if (fd_ < 0) {
        if (!present)
            return kOpenFailed;
        if (!S_ISREG(pst.st_mode))
            return kNotRegular;
        int fd = hostfs::openHostFile(path, O_RDONLY | O_NONBLOCK | O_NOCTTY);
        if (fd < 0)
            return kOpenFailed;
        struct stat st;
        if (fstat(fd, &st) != 0) {
            ::close(fd);
            return kStatFailed;
        }
        if (!S_ISREG(st.st_mode)) {
            ::close(fd);
            return kNotRegular;
        }
        // A file met for the first time is read from its start.
        if (!known_ || st.st_dev != dev_ || st.st_ino != ino_) {
            restart();
            ++gen_;
        }
        fd_ = fd;
        known_ = true;
        dev_ = st.st_dev;
        ino_ = st.st_ino;
    }
    struct stat st;
    if (fstat(fd_, &st) != 0)
        return kStatFailed;
    // Truncated (copytruncate), or rewritten past the old offset.
    if (static_cast<uint64_t>(st.st_size) < offset_ || !tailUnchanged()) {
        restart();
        ++gen_;
    }
    return readHeld(fn, spans, maxBytes, deadline, false);
}

void Tailer::joinPoint(const std::string &path, uint64_t &gen, uint64_t &off) const {
    struct stat st;
    bool present = hostfs::statHostFile(path, &st) == 0 && S_ISREG(st.st_mode);
    uint64_t size = present ? static_cast<uint64_t>(st.st_size) : 0;
    if (fd_ >= 0 && !draining_ && present && st.st_dev == dev_ && st.st_ino == ino_ && size >= offset_ &&
        tailUnchanged()) {
        gen = gen_;
        off = size;
        return;
    }
    // The held file is left (or restarted) at the next step: what it still
    // holds is older than the reader, and so is the next file up to its
    // present size.
    gen = gen_ + 1;
    off = size;
}

StepResult Tailer::readHeld(BatchFn const &fn, SpanFn const *spans, size_t maxBytes,
                            std::chrono::steady_clock::time_point deadline, bool final) {
    if (!buf_)
        buf_.reset(new (std::nothrow) char[kBufSize]);
    char *buf = buf_.get();
    if (!buf)
        return kReadFailed;
    Line batch[kBatch];
    size_t want = 1;
    auto tick = coarseNow();
    const auto yieldFrom = tick + kYieldAfter;
    // Out of time, or a table request waits for the lists (then the step
    // ends early, once it has run a little).
    auto due = [&]() {
        return tick >= deadline || (tick >= yieldFrom && listWaiters.load(std::memory_order_relaxed) > 0);
    };
    auto one = [&](const char *text, size_t len, uint64_t after) {
        Line l{text, len, after};
        fn(&l, 1);
        tick = coarseNow();
    };
    const SplitFn split = splitLines.load(std::memory_order_relaxed);
    size_t total = 0;
    StepResult result = kCaughtUp;
    for (;;) {
        if (total >= maxBytes || due()) {
            result = kMore;
            break;
        }
        ssize_t got = preadFull(fd_, buf, kBufSize, offset_);
        if (got < 0) {
            result = kReadFailed;
            break;
        }
        if (got == 0)
            break;
        size_t n = static_cast<size_t>(got);
        total += n;
        bytesRead_ += n;
        size_t pos = 0;
        if (skipping_) {
            const void *nl = std::memchr(buf, '\n', n);
            if (!nl) {
                offset_ += n;
                continue;
            }
            pos = static_cast<size_t>(static_cast<const char *>(nl) - buf) + 1;
            offset_ += pos;
            skipping_ = false;
        }
        // Lines go in batches that grow while they take less than a tick
        // of the coarse clock, and fall back to one line when one does
        // not, so that slow lines are timed one by one.
        Split sp{buf, n, pos, offset_ - pos};
        bool outOfTime = false;
        if (spans) {
            // Whole lines are handed over as they lie in the buffer.
            const void *lastNl = memrchr(buf + pos, '\n', n - pos);
            const size_t whole = lastNl ? static_cast<size_t>(static_cast<const char *>(lastNl) - buf) + 1 : pos;
            while (sp.pos < whole) {
                size_t took = (*spans)(buf + sp.pos, whole - sp.pos, sp.base + sp.pos, want);
                sp.pos += took;
                offset_ = sp.base + sp.pos;
                auto now = coarseNow();
                want = now == tick ? std::min(want * 2, kBatch) : 1;
                tick = now;
                if (took == 0 || due()) {
                    outOfTime = sp.pos < whole || took == 0;
                    break;
                }
            }
        }
        for (; !spans;) {
            size_t k = split(sp, batch, want);
            if (k == 0)
                break;
            offset_ = sp.base + sp.pos;
            fn(batch, k);
            auto now = coarseNow();
            want = now == tick ? std::min(want * 2, kBatch) : 1;
            tick = now;
            if (due()) {
                outOfTime = true;
                break;
            }
        }
        if (sp.pos > pos)
            pendingSize_ = -1;
        pos = sp.pos;
        if (outOfTime) {
            result = kMore;
            break;
        }
        size_t rest = n - pos;
        if (rest == 0)
            continue;
        if (rest > kMaxLine) {
            // A long line without its newline yet: matched once on its start.
            one(buf + pos, kMaxLine, offset_ + rest);
            offset_ += rest;
            skipping_ = true;
            pendingSize_ = -1;
            continue;
        }
        if (n == kBufSize)
            continue; // the line may go on: read again from its start
        // An unterminated last line waits for its newline, unless the file
        // has not grown since the previous scan or is being left.
        struct stat st;
        long long size = fstat(fd_, &st) == 0 ? static_cast<long long>(st.st_size) : -1;
        if (final || (pendingSize_ >= 0 && size == pendingSize_)) {
            one(buf + pos, rest, offset_ + rest);
            offset_ += rest;
            pendingSize_ = -1;
        } else {
            pendingSize_ = size;
        }
        break;
    }
    rememberTail();
    // An idle tailer keeps no buffer.
    if (result != kMore)
        buf_.reset();
    return result;
}

pcre2_code *compileExpression(const char *expression, std::string &error, size_t &errorOffset) {
    error.clear();
    errorOffset = 0;
    if (!expression) {
        error = "no expression";
        return nullptr;
    }
    int code = 0;
    PCRE2_SIZE off = 0;
    pcre2_code *re =
        pcre2_compile(reinterpret_cast<PCRE2_SPTR>(expression), PCRE2_ZERO_TERMINATED, 0, &code, &off, nullptr);
    if (!re) {
        error = errorText(code);
        errorOffset = off;
        return nullptr;
    }
    // Speed only: without JIT the interpreter gives the same results.
    (void)pcre2_jit_compile(re, PCRE2_JIT_COMPLETE);
    return re;
}

namespace {

const char *findLiteralPlain(const Literal &l, const char *p, const char *end) {
    if (p >= end || static_cast<size_t>(end - p) < l.len)
        return nullptr;
    return static_cast<const char *>(memmem(p, static_cast<size_t>(end - p), l.text, l.len));
}

#if defined(__x86_64__)
// Candidates are the places where both the first byte and a rarer one
// behind it agree, 32 at a time; only those are compared whole.
struct LiteralAvx2 {
    const Literal &l;
    __m256i first, second;
    [[gnu::target("avx2")]] explicit LiteralAvx2(const Literal &lit)
        : l(lit), first(_mm256_set1_epi8(lit.text[0])), second(_mm256_set1_epi8(lit.text[lit.rare])) {}
    // The places among the 32 from s that may start it, a byte each.
    [[gnu::target("avx2")]] __m256i candidateBytes(const char *s) const {
        __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(s));
        __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(s + l.rare));
        return _mm256_and_si256(_mm256_cmpeq_epi8(a, first), _mm256_cmpeq_epi8(b, second));
    }
    // The same, a bit each.
    [[gnu::target("avx2")]] uint32_t candidates(const char *s) const {
        return static_cast<uint32_t>(_mm256_movemask_epi8(candidateBytes(s)));
    }
    const char *confirmed(const char *s, uint32_t mask) const {
        for (; mask; mask &= mask - 1) {
            const char *at = s + __builtin_ctz(mask);
            if (same(at))
                return at;
        }
        return nullptr;
    }
    // Whether the text stands at at (its k bytes lie before the end): up to
    // 16 bytes as two words overlapping, without a call.
    bool same(const char *at) const {
        const size_t k = l.len;
        if (k > 16 || k < 3)
            return std::memcmp(at, l.text, k) == 0;
        if (k >= 8)
            return word<uint64_t>(at) == word<uint64_t>(l.text) &&
                   word<uint64_t>(at + k - 8) == word<uint64_t>(l.text + k - 8);
        if (k >= 4)
            return word<uint32_t>(at) == word<uint32_t>(l.text) &&
                   word<uint32_t>(at + k - 4) == word<uint32_t>(l.text + k - 4);
        return word<uint16_t>(at) == word<uint16_t>(l.text) && at[k - 1] == l.text[k - 1];
    }
    template <class W>
    static W word(const char *p) {
        W w;
        std::memcpy(&w, p, sizeof w);
        return w;
    }
};

[[gnu::target("avx2")]] const char *findLiteralAvx2(const Literal &l, const char *p, const char *end) {
    const size_t k = l.len;
    if (p >= end || static_cast<size_t>(end - p) < k)
        return nullptr;
    const char *const last = end - k; // the last place it can start
    const LiteralAvx2 v(l);
    const char *s = p;
    // 64 places a step while none may start it (one test for both halves).
    for (; last - s >= 63; s += 64) {
        const __m256i c0 = v.candidateBytes(s), c1 = v.candidateBytes(s + 32);
        const __m256i any = _mm256_or_si256(c0, c1);
        if (_mm256_testz_si256(any, any))
            continue;
        if (const char *at = v.confirmed(s, static_cast<uint32_t>(_mm256_movemask_epi8(c0))))
            return at;
        if (const char *at = v.confirmed(s + 32, static_cast<uint32_t>(_mm256_movemask_epi8(c1))))
            return at;
    }
    // Both loads end before end: s + 31 <= last and rare < k.
    for (; last - s >= 31; s += 32)
        if (const char *at = v.confirmed(s, v.candidates(s)))
            return at;
    if (s > last)
        return nullptr;
    if (last - p >= 31) {
        // The rest in one more step of 32 ending at last, without the
        // places already looked at (a single line is often searched).
        const char *t = last - 31;
        return v.confirmed(t, v.candidates(t) & (~0u << (s - t)));
    }
    for (; s <= last; ++s)
        if (*s == l.text[0] && std::memcmp(s, l.text, k) == 0)
            return s;
    return nullptr;
}
#endif

#if defined(__x86_64__)
[[gnu::target("avx2")]] inline __m256i load32(const char *at) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(at));
}

// The sum of the 32 byte counters.
[[gnu::target("avx2")]] inline size_t sumBytes(__m256i acc) {
    const __m256i sums = _mm256_sad_epu8(acc, _mm256_setzero_si256());
    return static_cast<size_t>(_mm256_extract_epi64(sums, 0)) + static_cast<size_t>(_mm256_extract_epi64(sums, 1)) +
           static_cast<size_t>(_mm256_extract_epi64(sums, 2)) + static_cast<size_t>(_mm256_extract_epi64(sums, 3));
}

// The search and the newline count in one pass: the block loaded for the
// first byte is compared with the newline too, so a feed's text is read
// once for its lines and its first required text rather than twice, and
// a hit's line start mostly comes from the newlines of its block.
[[gnu::target("avx2")]] const char *findCountingAvx2(const Literal &l, const char *p, const char *end,
                                                     const char *&lineStart, size_t &newlines) {
    const size_t k = l.len;
    const char *s = p, *found = nullptr;
    size_t count = 0;
    if (p < end && static_cast<size_t>(end - p) >= k) {
        const char *const last = end - k;
        const LiteralAvx2 v(l);
        const __m256i nl = _mm256_set1_epi8('\n');
        const __m256i zero = _mm256_setzero_si256();
        // Blocks of 64 without a candidate only add their newlines to byte
        // counters (at most 2 a block per byte: summed every 127 blocks).
        // All four loads end before end: s + 63 <= last and rare < k.
        while (last - s >= 63 && !found) {
            __m256i acc = zero;
            for (int blocks = 0; blocks < 127 && last - s >= 63; ++blocks, s += 64) {
                const __m256i a0 = load32(s), a1 = load32(s + 32);
                const __m256i c0 = _mm256_and_si256(_mm256_cmpeq_epi8(a0, v.first),
                                                    _mm256_cmpeq_epi8(load32(s + l.rare), v.second));
                const __m256i c1 = _mm256_and_si256(_mm256_cmpeq_epi8(a1, v.first),
                                                    _mm256_cmpeq_epi8(load32(s + 32 + l.rare), v.second));
                const __m256i any = _mm256_or_si256(c0, c1);
                if (!_mm256_testz_si256(any, any)) [[unlikely]] {
                    // Confirmed in the first half, or else in the second:
                    // the newlines before it; or none, and all of them.
                    const uint64_t lines =
                        static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(a0, nl))) |
                        static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(a1, nl))))
                            << 32;
                    const char *at = v.confirmed(s, static_cast<uint32_t>(_mm256_movemask_epi8(c0)));
                    if (!at)
                        at = v.confirmed(s + 32, static_cast<uint32_t>(_mm256_movemask_epi8(c1)));
                    if (at) {
                        const uint64_t before = lines & ((uint64_t{1} << (at - s)) - 1);
                        count += static_cast<size_t>(__builtin_popcountll(before));
                        found = at;
                        if (before) {
                            // Its line starts within the block.
                            lineStart = s + 64 - __builtin_clzll(before);
                            newlines += count + sumBytes(acc);
                            return found;
                        }
                        break;
                    }
                    count += static_cast<size_t>(__builtin_popcountll(lines));
                    continue;
                }
                acc = _mm256_sub_epi8(acc, _mm256_cmpeq_epi8(a0, nl));
                acc = _mm256_sub_epi8(acc, _mm256_cmpeq_epi8(a1, nl));
            }
            count += sumBytes(acc);
        }
    }
    if (!found) {
        // The rest a byte at a time: places that may start it, newlines to end.
        for (; s < end; ++s) {
            if (*s == l.text[0] && static_cast<size_t>(end - s) >= k && std::memcmp(s, l.text, k) == 0) {
                found = s;
                break;
            }
            count += *s == '\n';
        }
    }
    // Its line starts behind the last newline before it, in a block before
    // (or before end: not in s's block, where no newline lies before it).
    const char *stop = found ? s : end;
    const void *nlBefore = stop > p ? memrchr(p, '\n', static_cast<size_t>(stop - p)) : nullptr;
    lineStart = nlBefore ? static_cast<const char *>(nlBefore) + 1 : p;
    newlines += count;
    return found;
}
#endif

using FindFn = const char *(*)(const Literal &, const char *, const char *);
using FindCountingFn = const char *(*)(const Literal &, const char *, const char *, const char *&, size_t &);
#if defined(__x86_64__)
std::atomic<FindFn> findLiteral{hasAvx2() ? findLiteralAvx2 : findLiteralPlain};
std::atomic<FindCountingFn> findCounting{hasAvx2() ? findCountingAvx2 : nullptr};
#else
std::atomic<FindFn> findLiteral{findLiteralPlain};
std::atomic<FindCountingFn> findCounting{nullptr};
#endif

} // namespace

bool useSplitUnit(SplitUnit u) {
    SplitFn f = u == SplitUnit::kBest ? bestSplit() : splitFor(u);
    if (!f)
        return false;
    splitLines.store(f);
    countNewlines.store(countFor(f));
#if defined(__x86_64__)
    const bool wide = u == SplitUnit::kAvx2 || (u == SplitUnit::kBest && hasAvx2());
    findLiteral.store(wide ? findLiteralAvx2 : findLiteralPlain);
    findCounting.store(wide ? findCountingAvx2 : nullptr);
#endif
    return true;
}

const char *Literal::find(const char *p, const char *end) const {
    return findLiteral.load(std::memory_order_relaxed)(*this, p, end);
}

const char *Literal::findCounting(const char *p, const char *end, const char *&lineStart, size_t &newlines) const {
    if (FindCountingFn f = logtail::findCounting.load(std::memory_order_relaxed))
        return f(*this, p, end, lineStart, newlines);
    // Without a fused pass: the search, then the count and the line start.
    const char *at = find(p, end);
    const char *stop = at ? at : end;
    if (p >= stop) {
        lineStart = p;
        return at;
    }
    newlines += countNewlines.load(std::memory_order_relaxed)(p, static_cast<size_t>(stop - p));
    const void *nl = memrchr(p, '\n', static_cast<size_t>(stop - p));
    lineStart = nl ? static_cast<const char *>(nl) + 1 : p;
    return at;
}

Literal requiredPrefix(const char *expression, const pcre2_code *code) {
    Literal none, out;
    uint32_t args = 0, all = 0;
    if (!expression || !code || pcre2_pattern_info(code, PCRE2_INFO_ARGOPTIONS, &args) != 0 ||
        pcre2_pattern_info(code, PCRE2_INFO_ALLOPTIONS, &all) != 0)
        return none;
    // Options that change how a character compares, or what is literal.
    const uint32_t changing = PCRE2_CASELESS | PCRE2_EXTENDED | PCRE2_EXTENDED_MORE | PCRE2_UTF | PCRE2_UCP |
                              PCRE2_LITERAL | PCRE2_ALT_BSUX;
    if (args != 0 || (all & changing) != 0)
        return none;
    // An alternative anywhere could do without the text (the test is on
    // the character, so an escaped one also counts: only a chance lost).
    if (std::strchr(expression, '|'))
        return none;
    const char *e = expression;
    if (*e == '^')
        ++e; // the text then starts the line: still in it
    while (*e && out.len < Literal::kMost) {
        const unsigned char c = static_cast<unsigned char>(*e);
        char lit;
        size_t step;
        if (c == '\\') {
            // An escaped ASCII punctuation character stands for itself.
            const unsigned char d = static_cast<unsigned char>(e[1]);
            if (d == 0 || d >= 0x80 || !std::ispunct(d))
                break;
            lit = static_cast<char>(d);
            step = 2;
        } else if (std::strchr("^$.[]()?*+{}", c)) {
            break;
        } else {
            lit = static_cast<char>(c);
            step = 1;
        }
        // A quantifier behind it makes it optional or repeated.
        const char next = e[step];
        if (next == '?' || next == '*' || next == '+' || next == '{')
            break;
        out.text[out.len++] = lit;
        e += step;
    }
    if (out.len < 3)
        return none;
    out.rare = out.len - 1;
    while (out.rare > 1 && out.text[out.rare] == ' ')
        --out.rare;
    return out;
}

size_t Matcher::nextWithPrefix(const Line *lines, size_t i, size_t n) const {
    const char *const end = lines[n - 1].text + lines[n - 1].len;
    const size_t k = prefix.len;
    while (i < n) {
        const char *hit = prefix.find(lines[i].text, end);
        if (!hit)
            return n;
        // The line it ends in (the last line ends at end).
        while (hit + k > lines[i].text + lines[i].len)
            ++i;
        if (hit >= lines[i].text)
            return i;
        // It spans a newline, or lies in the unmatched part of a long
        // line: search on from this line's start.
    }
    return n;
}

bool jitDirect(const pcre2_code *code) {
    size_t jitSize = 0;
    uint32_t options = 0;
    if (pcre2_pattern_info(code, PCRE2_INFO_JITSIZE, &jitSize) != 0 || jitSize == 0)
        return false;
    if (pcre2_pattern_info(code, PCRE2_INFO_ALLOPTIONS, &options) != 0)
        return false;
    return (options & PCRE2_UTF) == 0;
}

std::string errorText(int code) {
    PCRE2_UCHAR msg[256];
    if (pcre2_get_error_message(code, msg, sizeof msg) < 0)
        return "error " + std::to_string(code);
    return reinterpret_cast<const char *>(msg);
}

std::atomic<void (*)(void)> betweenStepsHook{nullptr};
std::atomic<int> listWaiters{0};

namespace {

// Between two steps of a backlog: a moment for whoever waits for the list
// locks. While table requests are known to wait, until they have had their
// turn (on a loaded machine a woken request may take long to run; a second
// at most, so a stream of requests cannot stop the scan). Others (the data
// files' reload) do not say they wait: for them a short pause at least
// every 20 ms of scanning, which costs the scan 1% where a pause after
// every step cost 15%.
class WaiterGate {
public:
    void between() {
        if (listWaiters.load() > 0) {
            for (int i = 0; i < 1000 && listWaiters.load() > 0; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        } else if (coarseNow() - lastPause_ < std::chrono::milliseconds(20)) {
            return;
        } else {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        lastPause_ = coarseNow();
    }

private:
    std::chrono::steady_clock::time_point lastPause_ = coarseNow();
};

} // namespace

void Feed::useSpans(bool on) { spansOn.store(on); }

// Every member can take its lines picked by their required texts: each of
// its expressions has one, and it counts the lines it is not given.
bool Feed::spansFit() const {
    for (const Member &m : members_) {
        if (!m.ops->passed)
            return false;
        for (const Matcher &e : m.st->expr)
            if (e.code && e.prefix.len == 0)
                return false;
    }
    return true;
}

// The lines of text[0..len) each member may match, found by searching for
// its required texts over the whole span; the lines between are only
// counted. The span is cut after the line that brings an expression to
// want lines (the work a call does grows with the lines matched), and
// what is taken goes to the members as a batch's lines would.
size_t Feed::takeSpan(const char *text, size_t len, uint64_t base, size_t want) {
    const uint64_t gen = tailer_.generation();
    ++spansTaken_;
    size_t end = len;
    auto lineStart = [&](size_t from, size_t at) -> size_t {
        const void *nl = at > from ? memrchr(text + from, '\n', at - from) : nullptr;
        return nl ? static_cast<size_t>(static_cast<const char *>(nl) - text) + 1 : from;
    };
    // The last search over a whole span counts its newlines as it goes:
    // the span is mostly cut by then (each search may only shorten it).
    const Matcher *counter = nullptr;
    for (Member &m : members_) {
        // Lines that were in the file when it joined are not its own.
        if (gen != m.startGen)
            m.begin = gen > m.startGen ? 0 : len;
        else if (m.startOff <= base)
            m.begin = 0;
        else if (m.startOff - base >= len)
            m.begin = len;
        else
            m.begin = lineStart(0, static_cast<size_t>(m.startOff - base));
        for (const Matcher &e : m.st->expr)
            if (e.code && m.begin == 0)
                counter = &e;
    }
    size_t counted = 0, countedEnd = 0;
    for (Member &m : members_) {
        m.hits.clear();
        for (int j = 0; j < 2; ++j) {
            const Matcher &e = m.st->expr[j];
            if (!e.code)
                continue;
            std::vector<Member::Hit> &out = j == 0 || m.hits.empty() ? m.hits : m.other;
            out.clear();
            const size_t k = e.prefix.len;
            size_t from = m.begin, found = 0;
            const bool counts = &e == counter;
            size_t nls = 0;
            while (from < end) {
                const char *start = nullptr;
                const char *hit = counts ? e.prefix.findCounting(text + from, text + end, start, nls)
                                         : e.prefix.find(text + from, text + end);
                if (!hit)
                    break;
                const size_t h = static_cast<size_t>(hit - text);
                const size_t ls = counts ? static_cast<size_t>(start - text) : lineStart(from, h);
                const size_t nl = static_cast<size_t>(static_cast<const char *>(std::memchr(hit, '\n', len - h)) - text);
                nls += counts; // its line's newline
                // Wholly within the line's matched part, or no candidate:
                // it spans a newline, or lies beyond a long line's start.
                if (h + k <= nl + 1 && h + k - ls <= kMaxLine) {
                    out.push_back(Member::Hit{static_cast<uint32_t>(ls), static_cast<uint32_t>(nl),
                                              static_cast<uint8_t>(1u << j)});
                    if (++found == want && nl + 1 < end)
                        end = nl + 1;
                }
                from = nl + 1;
            }
            if (counts) {
                counted = nls; // up to where it stopped: end
                countedEnd = end;
            }
            if (&out == &m.other) {
                // Both expressions: one list in file order.
                std::vector<Member::Hit> merged;
                merged.reserve(m.hits.size() + m.other.size());
                size_t a = 0, b = 0;
                while (a < m.hits.size() || b < m.other.size()) {
                    if (b == m.other.size() || (a < m.hits.size() && m.hits[a].start < m.other[b].start))
                        merged.push_back(m.hits[a++]);
                    else if (a == m.hits.size() || m.other[b].start < m.hits[a].start)
                        merged.push_back(m.other[b++]);
                    else {
                        merged.push_back(m.hits[a++]);
                        merged.back().may |= m.other[b++].may;
                    }
                }
                m.hits.swap(merged);
            }
        }
    }
    // Lines in the span as cut, and each member's share of them.
    const CountFn count = countNewlines.load(std::memory_order_relaxed);
    // (A member joined within the span, searched after it, may still have
    // cut the span shorter.)
    const size_t all = !counter ? count(text, end)
                       : counted - (countedEnd > end ? count(text + end, countedEnd - end) : 0);
    auto linesOf = [&](const Member &m) { return m.begin == 0 ? all : m.begin >= end ? 0 : count(text + m.begin, end - m.begin); };
    auto lineAt = [&](const Member::Hit &h) {
        const size_t whole = h.nl + 1 - h.start;
        return Line{text + h.start, whole < kMaxLine ? whole : kMaxLine, base + h.nl + 1};
    };
    auto handOver = [&](Member &m, const Line *lines, const uint8_t *may, size_t n) {
        m.st->may = may;
        m.ops->lines(m.rec, lines, n, *m.st);
        m.st->may = nullptr;
    };
    turns_.clear();
    size_t ordered = 0;
    for (size_t mi = 0; mi < members_.size(); ++mi) {
        Member &m = members_[mi];
        size_t k = 0;
        while (k < m.hits.size() && m.hits[k].start < end)
            ++k;
        m.hits.resize(k);
        const size_t mine = linesOf(m);
        if (mine > k)
            m.ops->passed(m.rec, mine - k);
        if (!m.ops->anyOrder) {
            ++ordered;
            for (size_t i = 0; i < k; ++i)
                turns_.push_back(Turn{m.hits[i].start, static_cast<uint32_t>(mi), i});
            continue;
        }
        if (k == 0)
            continue;
        lines_.clear();
        may_.clear();
        for (const Member::Hit &h : m.hits) {
            lines_.push_back(lineAt(h));
            may_.push_back(h.may);
        }
        handOver(m, lines_.data(), may_.data(), k);
    }
    // Records taken in file order get each line in turn, by member order
    // for one line.
    if (ordered > 1)
        std::stable_sort(turns_.begin(), turns_.end(), [](const Turn &a, const Turn &b) { return a.start < b.start; });
    for (const Turn &t : turns_) {
        Member &m = members_[t.member];
        const Member::Hit &h = m.hits[t.hit];
        Line l = lineAt(h);
        handOver(m, &l, &h.may, 1);
    }
    return end;
}

StepResult Feed::step(time_t now, size_t maxBytes, std::chrono::steady_clock::time_point deadline) {
    std::lock_guard lock(mu_);
    const bool spans = spansOn.load(std::memory_order_relaxed) && spansFit();
    const SpanFn spanFn = [this](const char *text, size_t len, uint64_t base, size_t want) {
        return takeSpan(text, len, base, want);
    };
    const BatchFn batchFn = [this](const Line *lines, size_t n) {
            const uint64_t gen = tailer_.generation();
            // The first of the lines a member reads: lines up to its start
            // were in the file when it joined.
            auto firstNew = [&](const Member &m) -> size_t {
                if (gen != m.startGen)
                    return gen > m.startGen ? 0 : n;
                size_t i = 0;
                while (i < n && lines[i].after <= m.startOff)
                    ++i;
                return i;
            };
            size_t ordered = 0;
            Member *one = nullptr;
            for (Member &m : members_) {
                if (!m.ops->anyOrder) {
                    ++ordered;
                    one = &m;
                    continue;
                }
                size_t i = firstNew(m);
                if (i < n)
                    m.ops->lines(m.rec, lines + i, n - i, *m.st);
            }
            if (ordered == 0)
                return;
            if (ordered == 1) {
                // Alone, it has no one to keep in step with.
                size_t i = firstNew(*one);
                if (i < n)
                    one->ops->lines(one->rec, lines + i, n - i, *one->st);
                return;
            }
            // Lines a record cannot match are only counted: looking for
            // its texts over the whole batch costs less than line by line.
            for (Member &m : members_) {
                m.first = m.ops->anyOrder ? n : firstNew(m);
                m.may = m.first < n && m.ops->candidates && m.ops->passed
                            ? m.ops->candidates(m.rec, lines, n, *m.st)
                            : ~uint64_t{0};
                m.passed = 0;
            }
            for (size_t i = 0; i < n; ++i)
                for (Member &m : members_)
                    if (i >= m.first) {
                        if (m.may >> i & 1)
                            m.ops->lines(m.rec, lines + i, 1, *m.st);
                        else
                            ++m.passed;
                    }
            for (Member &m : members_)
                if (m.passed)
                    m.ops->passed(m.rec, m.passed);
    };
    StepResult r = spans ? tailer_.step(path_, batchFn, spanFn, maxBytes, deadline)
                         : tailer_.step(path_, batchFn, maxBytes, deadline);
    for (Member &m : members_)
        m.ops->stepped(m.rec, r, tailer_.offset(), now, *m.st);
    return r;
}

uint64_t Feed::bytesRead() {
    std::lock_guard lock(mu_);
    return tailer_.bytesRead();
}

uint64_t Feed::spansTaken() {
    std::lock_guard lock(mu_);
    return spansTaken_;
}

size_t Feed::members() {
    std::lock_guard lock(mu_);
    return members_.size();
}

void FeedSet::join(void *rec, const MemberOps *ops, const std::string &path) {
    std::lock_guard lock(mu_);
    std::shared_ptr<Feed> &feed = byPath_[path];
    if (!feed) {
        feed = std::make_shared<Feed>(path);
        feed->tailer_.start(path);
    }
    std::lock_guard feedLock(feed->mu_);
    Feed::Member m{rec, ops, 0, 0, 0, 0, 0, std::make_unique<MemberState>(), 0, {}, {}};
    const pcre2_code *codes[2] = {nullptr, nullptr};
    const char *texts[2] = {nullptr, nullptr};
    ops->expressions(rec, codes, texts);
    m.st->expr[0].set(codes[0], texts[0]);
    m.st->expr[1].set(codes[1], texts[1]);
    if (feed->members_.empty()) {
        // Lines appended from the start on count, also those written before
        // the first scan.
        m.startGen = feed->tailer_.generation();
        m.startOff = feed->tailer_.offset();
    } else {
        feed->tailer_.joinPoint(path, m.startGen, m.startOff);
    }
    feed->members_.push_back(std::move(m));
    byRec_[rec] = feed;
}

void FeedSet::leave(const void *rec) {
    std::shared_ptr<Feed> gone;
    std::lock_guard lock(mu_);
    auto it = byRec_.find(rec);
    if (it == byRec_.end())
        return;
    std::shared_ptr<Feed> feed = it->second;
    byRec_.erase(it);
    std::lock_guard feedLock(feed->mu_);
    auto &ms = feed->members_;
    for (size_t i = 0; i < ms.size(); ++i)
        if (ms[i].rec == rec) {
            ms.erase(ms.begin() + static_cast<std::ptrdiff_t>(i));
            break;
        }
    if (ms.empty()) {
        auto p = byPath_.find(feed->path_);
        if (p != byPath_.end() && p->second == feed)
            byPath_.erase(p);
    }
}

std::shared_ptr<Feed> FeedSet::feedOf(const void *rec) {
    std::lock_guard lock(mu_);
    auto it = byRec_.find(rec);
    return it == byRec_.end() ? nullptr : it->second;
}

size_t FeedSet::size() {
    std::lock_guard lock(mu_);
    return byPath_.size();
}

FeedSet &feeds() {
    static FeedSet &set = *new FeedSet;
    return set;
}

void lockFeedLists() {
    if (lfList)
        listLock(lfList);
    if (lfmList)
        listLock(lfmList);
}

void unlockFeedLists() {
    if (lfmList)
        listUnlock(lfmList);
    if (lfList)
        listUnlock(lfList);
}

void scanFeeds(linkedList_t *list, const std::function<bool(const void *rec)> &due, time_t now,
               int (*stopping)(void)) {
    if (!list)
        return;
    std::vector<std::shared_ptr<Feed>> pending;
    listLock(list);
    for (linkedElement_t *e = list->head; e; e = e->next) {
        if (!e->data || !due(e->data))
            continue;
        std::shared_ptr<Feed> f = feeds().feedOf(e->data);
        if (f && std::find(pending.begin(), pending.end(), f) == pending.end())
            pending.push_back(std::move(f));
    }
    listUnlock(list);
    WaiterGate gate;
    while (!pending.empty()) {
        for (size_t i = 0; i < pending.size();) {
            if (stopping && stopping())
                return;
            // A feed whose members have all gone meanwhile steps for nobody.
            lockFeedLists();
            StepResult r = pending[i]->members() ? pending[i]->step(now) : kCaughtUp;
            unlockFeedLists();
            if (auto hook = betweenStepsHook.load())
                hook();
            if (r == kMore) {
                gate.between();
                ++i;
            }
            else
                pending.erase(pending.begin() + static_cast<std::ptrdiff_t>(i));
        }
    }
}

StepResult scanFeedOf(const void *rec, time_t now) {
    std::shared_ptr<Feed> f = feeds().feedOf(rec);
    if (!f)
        return kOpenFailed;
    StepResult r;
    WaiterGate gate;
    for (;;) {
        lockFeedLists();
        r = f->step(now);
        unlockFeedLists();
        if (r != kMore)
            return r;
        gate.between();
    }
}

void MatchErrors::report(const char *who, const char *file, const char *expression) {
    if (count == 0)
        return;
    std::fprintf(stderr, "%s: %s: %lld lines failed to match '%s': %s\n", who, file ? file : "", count,
                 expression ? expression : "", errorText(lastCode).c_str());
    count = 0;
}

void runScanWorker(const char *name, int (*scanPass)(void)) {
    try {
        std::printf("%s worker starting\n", name);
        std::fflush(stdout);
        if (kestrovaSleep(60)) {
            bool stop = false;
            while (!stop && !kestrovaStopping()) {
                scanPass();
                for (int i = 0; i < 4 && !stop; ++i)
                    stop = kestrovaStopping() || !kestrovaSleep(15);
            }
        }
        std::printf("%s worker returning\n", name);
        std::fflush(stdout);
    } catch (...) {
        std::fprintf(stderr, "%s worker: unexpected failure\n", name);
    }
}

void setTimeCell(qelVariable_t *v, time_t when) {
    char text[64] = "";
    qelConvertTimeStr(when, text, sizeof text);
    qelSetValue(v, dateTime, text);
}

void setMatchStringCell(qelVariable_t *v, const char *matched) {
    v->varSyntax = displayString;
    v->valueStr[0] = '\0';
    v->valueStrLen = 0;
    int len = static_cast<int>(std::strlen(matched));
    int outlen = 0;
    char *enc = len ? qelBase64Encode(reinterpret_cast<const unsigned char *>(matched), len, &outlen) : nullptr;
    if (enc && outlen > 0) {
        v->valueBuf = enc; // the variable owns it
        v->valueStrLen = outlen;
    } else {
        std::free(enc);
    }
}

} // namespace logtail
