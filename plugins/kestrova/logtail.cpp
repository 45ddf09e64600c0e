#include "logtail.h"

#include "kestrova.h"
#include "qelselect.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <thread>

#include "depend_logfile.h"
#include "hostfs.h"
#include "qel/log.h"
#include "sysinfo_logfile.h"

namespace logtail {
namespace {

// The read buffer, held by a tailer only while it reads; larger than the
// longest matched line so that such a line always fits whole. A step's
// bound (kStepBytes) is a whole number of buffers, so full reads end a step
// exactly at it.
constexpr size_t kBufSize = 1024u << 10;
static_assert(kStepBytes % kBufSize == 0);
static_assert(kBufSize > kMaxLine);

// A step overruns its time bound by the matching of at most this many
// lines (each bounded by PCRE2's match limit).
constexpr unsigned kLinesPerCheck = 16;

// A coarse clock is enough for the step bounds and costs little per line.
std::chrono::steady_clock::time_point coarseNow() {
    struct timespec ts;
    if (clock_gettime(CLOCK_MONOTONIC_COARSE, &ts) != 0)
        return std::chrono::steady_clock::now();
    return std::chrono::steady_clock::time_point(std::chrono::seconds(ts.tv_sec) +
                                                 std::chrono::nanoseconds(ts.tv_nsec));
}

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

Tailer::~Tailer() {
    closeHeld();
}

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
    if (preadFull(fd_, tail_, want, offset_ - want) == static_cast<ssize_t>(want))
        tailLen_ = want;
}

bool Tailer::tailUnchanged() const {
    if (tailLen_ == 0)
        return true;
    unsigned char now[sizeof tail_];
    ssize_t n = preadFull(fd_, now, tailLen_, offset_ - tailLen_);
    return n == static_cast<ssize_t>(tailLen_) && std::memcmp(now, tail_, tailLen_) == 0;
}

// Opens the file path names now (pst, from its stat); a file met for the
// first time is read from its start.
StepResult Tailer::openPath(const std::string &path, const struct stat &pst) {
    if (!S_ISREG(pst.st_mode))
        return kNotRegular;
    int fd = hostfs::openHostFile(path, O_RDONLY | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return kOpenFailed;
    struct stat st;
    StepResult r = fstat(fd, &st) != 0 ? kStatFailed : !S_ISREG(st.st_mode) ? kNotRegular : kCaughtUp;
    if (r != kCaughtUp) {
        ::close(fd);
        return r;
    }
    if (!known_ || st.st_dev != dev_ || st.st_ino != ino_) {
        restart();
        ++gen_;
    }
    fd_ = fd;
    known_ = true;
    dev_ = st.st_dev;
    ino_ = st.st_ino;
    return kCaughtUp;
}

void Tailer::start(const std::string &path) {
    closeHeld();
    restart();
    known_ = draining_ = false;
    // stat first: opening a FIFO for reading would wait for a writer.
    struct stat st;
    if (hostfs::statHostFile(path, &st) == 0 && openPath(path, st) == kCaughtUp && fstat(fd_, &st) == 0) {
        offset_ = static_cast<uint64_t>(st.st_size);
        rememberTail();
    }
}

StepResult Tailer::step(const std::string &path, LineFn const &fn, size_t maxBytes,
                        std::chrono::steady_clock::time_point deadline) {
    struct stat pst;
    bool present = hostfs::statHostFile(path, &pst) == 0;
    if (fd_ >= 0 && !draining_ && (!present || pst.st_dev != dev_ || pst.st_ino != ino_))
        draining_ = true;
    if (draining_) {
        // The path was renamed away or removed: what was appended to the old
        // file before that still counts.
        StepResult r = readHeld(fn, maxBytes, deadline, true);
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
        if (StepResult r = openPath(path, pst); r != kCaughtUp)
            return r;
    }
    struct stat st;
    if (fstat(fd_, &st) != 0)
        return kStatFailed;
    // Truncated (copytruncate), or rewritten past the old offset.
    if (static_cast<uint64_t>(st.st_size) < offset_ || !tailUnchanged()) {
        restart();
        ++gen_;
    }
    return readHeld(fn, maxBytes, deadline, false);
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

// The rest of a buffer after its last newline, text[0..rest) at offset_: a
// long line is handed over on its first kMaxLine bytes and its rest skipped;
// a line that may go on in the next full buffer is read again from its
// start; an unterminated last line waits for its newline unless the file
// has not grown since the step before or is being left. Whether the read
// goes on.
bool Tailer::lastLine(LineFn const &fn, const char *text, size_t rest, bool full, bool final) {
    if (rest > kMaxLine) {
        fn(text, kMaxLine, offset_ + rest);
        offset_ += rest;
        skipping_ = true;
        pendingSize_ = -1;
        return true;
    }
    if (full)
        return true;
    struct stat st;
    long long size = fstat(fd_, &st) == 0 ? static_cast<long long>(st.st_size) : -1;
    if (final || (pendingSize_ >= 0 && size == pendingSize_)) {
        fn(text, rest, offset_ + rest);
        offset_ += rest;
        pendingSize_ = -1;
    } else {
        pendingSize_ = size;
    }
    return false;
}

StepResult Tailer::readHeld(LineFn const &fn, size_t maxBytes, std::chrono::steady_clock::time_point deadline,
                            bool final) {
    if (!buf_)
        buf_.reset(new (std::nothrow) char[kBufSize]);
    char *const buf = buf_.get();
    if (!buf)
        return kReadFailed;
    const auto yieldFrom = coarseNow() + kYieldAfter;
    // Out of time, or a table request waits for the lists (then the step
    // ends early, once it has run a little).
    auto due = [&] {
        auto now = coarseNow();
        return now >= deadline || (now >= yieldFrom && listWaiters.load(std::memory_order_relaxed) > 0);
    };
    size_t total = 0;
    StepResult result = kCaughtUp;
    while (result == kCaughtUp) {
        if (total >= maxBytes || due()) {
            result = kMore;
            break;
        }
        ssize_t got = preadFull(fd_, buf, kBufSize, offset_);
        if (got <= 0) {
            result = got < 0 ? kReadFailed : kCaughtUp;
            break;
        }
        const size_t n = static_cast<size_t>(got);
        total += n;
        bytesRead_ += n;
        size_t pos = 0;
        if (skipping_) {
            const void *nl = std::memchr(buf, '\n', n);
            pos = nl ? static_cast<size_t>(static_cast<const char *>(nl) - buf) + 1 : n;
            offset_ += pos;
            skipping_ = nl == nullptr;
        }
        // Whole lines; offset_ stays at the start of the next one. The clock
        // is read every kLinesPerCheck lines.
        for (unsigned lines = 1; pos < n; ++lines) {
            const void *nl = std::memchr(buf + pos, '\n', n - pos);
            if (!nl)
                break;
            const size_t len = static_cast<size_t>(static_cast<const char *>(nl) - buf) + 1 - pos;
            fn(buf + pos, std::min(len, kMaxLine), offset_ + len);
            offset_ += len;
            pos += len;
            if (lines % kLinesPerCheck == 0 && due()) {
                result = kMore;
                break;
            }
        }
        if (result == kCaughtUp && pos < n && !lastLine(fn, buf + pos, n - pos, n == kBufSize, final))
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

void Matcher::set(const pcre2_code *c) {
    code = c;
    size_t jitSize = 0;
    uint32_t options = 0;
    direct = c && pcre2_pattern_info(c, PCRE2_INFO_JITSIZE, &jitSize) == 0 && jitSize > 0 &&
             pcre2_pattern_info(c, PCRE2_INFO_ALLOPTIONS, &options) == 0 && (options & PCRE2_UTF) == 0;
}

std::string errorText(int code) {
    PCRE2_UCHAR msg[256];
    if (pcre2_get_error_message(code, msg, sizeof msg) < 0)
        return "error " + std::to_string(code);
    return reinterpret_cast<const char *>(msg);
}

void MatchErrors::report(const char *who, const char *file, const char *expression) {
    if (count == 0)
        return;
    qel::logWarning("%s: %s: %lld lines failed to match '%s': %s\n", who, file ? file : "", count,
                    expression ? expression : "", errorText(lastCode).c_str());
    count = 0;
}

std::atomic<void (*)(void)> betweenStepsHook{nullptr};
std::atomic<int> listWaiters{0};

namespace {

// Between two steps of a backlog: a moment for whoever waits for the list
// locks. While table requests are known to wait, until they have had their
// turn (on a loaded machine a woken request may take long to run; a second
// at most, so a stream of requests cannot stop the scan). Others (the data
// files' reload) do not say they wait: for them a short pause at least
// every 20 ms of scanning.
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

StepResult Feed::step(time_t now, size_t maxBytes, std::chrono::steady_clock::time_point deadline) {
    std::lock_guard lock(mu_);
    const LineFn each = [this](const char *text, size_t len, uint64_t after) {
        const uint64_t gen = tailer_.generation();
        for (Member &m : members_) {
            // Lines that were in the file when it joined are not its own.
            if (gen == m.startGen ? after <= m.startOff : gen < m.startGen)
                continue;
            m.ops->line(m.rec, text, len, after, *m.st);
        }
    };
    StepResult r = tailer_.step(path_, each, maxBytes, deadline);
    for (Member &m : members_)
        m.ops->stepped(m.rec, r, tailer_.offset(), now, *m.st);
    return r;
}

uint64_t Feed::bytesRead() {
    std::lock_guard lock(mu_);
    return tailer_.bytesRead();
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
    Feed::Member m{rec, ops, 0, 0, std::make_unique<MemberState>()};
    const pcre2_code *codes[2] = {nullptr, nullptr};
    ops->expressions(rec, codes);
    m.st->expr[0].set(codes[0]);
    m.st->expr[1].set(codes[1]);
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
    std::lock_guard lock(mu_);
    auto it = byRec_.find(rec);
    if (it == byRec_.end())
        return;
    std::shared_ptr<Feed> feed = it->second;
    byRec_.erase(it);
    std::lock_guard feedLock(feed->mu_);
    auto &ms = feed->members_;
    auto m = std::find_if(ms.begin(), ms.end(), [rec](const Feed::Member &x) { return x.rec == rec; });
    if (m != ms.end())
        ms.erase(m);
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

void scanFeeds(linkedList_t *list, const std::function<bool(const void *rec)> &due, time_t now, int (*stopping)(void)) {
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
            } else {
                pending.erase(pending.begin() + static_cast<std::ptrdiff_t>(i));
            }
        }
    }
}

StepResult scanFeedOf(const void *rec, time_t now) {
    std::shared_ptr<Feed> f = feeds().feedOf(rec);
    if (!f)
        return kOpenFailed;
    WaiterGate gate;
    for (;;) {
        lockFeedLists();
        StepResult r = f->step(now);
        unlockFeedLists();
        if (r != kMore)
            return r;
        gate.between();
    }
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
    } catch (const std::exception &e) {
        qel::logError("%s worker: unexpected failure: %s\n", name, e.what());
    } catch (...) {
        qel::logError("%s worker: unexpected failure\n", name);
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
