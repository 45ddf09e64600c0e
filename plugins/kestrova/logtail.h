/*
 * Reading appended log lines and matching them: shared by the log-file
 * dependency rules and the log-file monitors.
 *
 * A Tailer follows one path across scans. It holds the descriptor between
 * scans together with the file's device, inode and the bytes just before
 * the read position, so that a log rotated by rename, by copy-and-truncate
 * or truncated and refilled is noticed: the old file is read to its end,
 * the new one from its start, and no line is read twice or skipped. Lines
 * run to their newline; a line longer than kMaxLine is handed over once, cut
 * to kMaxLine, and the rest skipped. Work is done in steps bounded in bytes
 * and time, so a caller holding a lock can let go between steps.
 */
#ifndef KESTROVA_LOGTAIL_H
#define KESTROVA_LOGTAIL_H

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include "qelplugin.h"

#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "linkedlist.h"

namespace logtail {

/* Longest part of a line that is matched. */
constexpr size_t kMaxLine = 64 * 1024;
/* Bounds of one step. */
constexpr size_t kStepBytes = 4u << 20;
constexpr std::chrono::milliseconds kStepTime{100};
/* A step ends early, once it has run this long, when a table request
 * waits for the lists (listWaiters below). */
constexpr std::chrono::milliseconds kYieldAfter{10};
/* Match offsets kept: the whole match and nine groups. */
constexpr int kCapturePairs = 10;

/* Results of Tailer::step, the scan results of the rules and monitors. */
enum StepResult : int {
    kCaughtUp = 0,    // read to the end (an unterminated last line may wait)
    kMore = 1,        // the step's bound was reached: data is left
    kOpenFailed = -1, // the path does not name a file that can be opened
    kStatFailed = -2, // the file cannot be examined
    kNotRegular = -3, // a FIFO, device, directory, ...
    kReadFailed = -4, // reading failed
};

/* One line: its bytes (newline included when present, NUL bytes possible),
 * its length, and the file offset just behind it. The bytes are valid only
 * during the call. */
using LineFn = std::function<void(const char *line, size_t len, uint64_t offsetAfter)>;

class Tailer {
public:
    Tailer() = default;
    ~Tailer();
    Tailer(const Tailer &) = delete;
    Tailer &operator=(const Tailer &) = delete;

    /* Takes the starting point: the end of the file as it is now (0 when
     * the path names no regular file yet, which is then read from its start
     * once it appears). Never blocks. */
    void start(const std::string &path);

    /* Reads lines appended since the last step, at most about maxBytes or
     * until deadline, and calls fn for each in file order. */
    StepResult step(const std::string &path, LineFn const &fn, size_t maxBytes = kStepBytes,
                    std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::now() + kStepTime);

    /* Where the next line starts (or, inside a skipped long line, how far
     * it was read). */
    uint64_t offset() const { return offset_; }
    /* The descriptor held (-1 none): for tests. */
    int heldDescriptor() const { return fd_; }
    /* Counts the files (or restarts of one) read from their start. */
    uint64_t generation() const { return gen_; }
    /* Where a reader joining now starts: lines of generation gen ending at
     * or before off were in the file already. */
    void joinPoint(const std::string &path, uint64_t &gen, uint64_t &off) const;
    uint64_t bytesRead() const { return bytesRead_; }

private:
    StepResult openPath(const std::string &path, const struct stat &pst);
    StepResult readHeld(LineFn const &fn, size_t maxBytes, std::chrono::steady_clock::time_point deadline, bool final);
    bool lastLine(LineFn const &fn, const char *text, size_t rest, bool full, bool final);
    void restart();
    void rememberTail();
    bool tailUnchanged() const;
    void closeHeld();

    int fd_ = -1;
    bool known_ = false; // dev_/ino_ describe the file offset_ belongs to
    dev_t dev_ = 0;
    ino_t ino_ = 0;
    uint64_t offset_ = 0;
    unsigned char tail_[64] = {};
    size_t tailLen_ = 0;
    bool skipping_ = false;      // inside a long line already handed over
    long long pendingSize_ = -1; // size when an unterminated last line was seen
    bool draining_ = false;      // the path names another file or none
    uint64_t gen_ = 0;
    uint64_t bytesRead_ = 0;
    std::unique_ptr<char[]> buf_; // while there is data to read
};

/* A compiled expression (JIT-compiled too when the library can), or null
 * with PCRE2's message and the error offset. */
pcre2_code *compileExpression(const char *expression, std::string &error, size_t &errorOffset);

/* Match data of kCapturePairs pairs, released with its owner. Kept by
 * each reader rather than per thread: a thread-local object with a
 * destructor in a loaded plug-in is torn down at thread exit racing the C
 * library's release of that thread's storage. */
struct MatchData {
    struct Free {
        void operator()(pcre2_match_data *m) const { pcre2_match_data_free(m); }
    };
    std::unique_ptr<pcre2_match_data, Free> md{pcre2_match_data_create(kCapturePairs, nullptr)};
    pcre2_match_data *get() const { return md.get(); }
};

/* PCRE2's text for an error code. */
std::string errorText(int code);

/* Matches a whole line. >= 0 a match (0: more groups were set than the
 * pairs hold), PCRE2_ERROR_NOMATCH, or another negative PCRE2 error (limit
 * reached, invalid UTF-8 under (*UTF), ...) that callers count as no match. */
inline int matchLine(const pcre2_code *code, const char *line, size_t len, pcre2_match_data *md) {
    return pcre2_match(code, reinterpret_cast<PCRE2_SPTR>(line), len, 0, 0, md, nullptr);
}

/* One expression as matched line after line: pcre2_match's results. Code
 * the JIT compiled, outside UTF mode, goes to the JIT entry directly: that
 * entry skips only pcre2_match's checks of its arguments, of which a whole
 * line without options needs just the UTF validity check. */
struct Matcher {
    const pcre2_code *code = nullptr;
    bool direct = false;
    void set(const pcre2_code *c);
    int match(const char *line, size_t len, pcre2_match_data *md) const {
        if (direct)
            return pcre2_jit_match(code, reinterpret_cast<PCRE2_SPTR>(line), len, 0, 0, md, nullptr);
        return matchLine(code, line, len, md);
    }
};

/* Failed matches (errors other than no match) of one pass, reported once
 * with their count. */
struct MatchErrors {
    long long count = 0;
    int lastCode = 0;
    void note(int rc) {
        ++count;
        lastCode = rc;
    }
    /* Reports "who: file: N lines failed to match 'expression': message"
     * when any, and starts counting afresh. */
    void report(const char *who, const char *file, const char *expression);
};

/* What a member of a feed keeps for its matching: its expressions (a rule
 * has two, a monitor one; null when absent), their failed matches, one
 * match data and whatever else its matching keeps from line to line (a
 * rule's dependency record), made on first need. */
struct MemberState {
    Matcher expr[2];
    MatchErrors errors[2];
    MatchData md;
    std::shared_ptr<void> scratch;
};

struct MemberOps {
    /* The record's compiled expressions, read once when it joins (they
     * never change while it is a member). */
    void (*expressions)(const void *rec, const pcre2_code *out[2]);
    /* One line for the record (match, count). */
    void (*line)(void *rec, const char *text, size_t len, uint64_t after, MemberState &st);
    /* After each step of the feed: offsets, scan time; failed matches once
     * the feed is read to its end or stops (r != kMore). */
    void (*stepped)(void *rec, StepResult r, uint64_t offset, time_t now, MemberState &st);
};

/*
 * A feed: the one tailer of a path, shared by every rule and monitor that
 * names it, so that each new chunk of the file is read once and each line
 * handed to every member in turn (a rule's adds and removals then meet
 * other rules' in file order). A record added while the feed already runs
 * skips the lines its file held when it was added.
 */
class Feed {
public:
    explicit Feed(std::string path) : path_(std::move(path)) {}
    /* One bounded step: the lines read go to every member. */
    StepResult step(time_t now, size_t maxBytes = kStepBytes,
                    std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::now() + kStepTime);
    /* Bytes read from files so far and the members: for tests. */
    uint64_t bytesRead();
    size_t members();

private:
    friend class FeedSet;
    struct Member {
        void *rec;
        const MemberOps *ops;
        uint64_t startGen, startOff; // lines up to here were in the file when it joined
        std::unique_ptr<MemberState> st;
    };
    std::mutex mu_; // the tailer and the members
    std::string path_;
    Tailer tailer_;
    std::vector<Member> members_;
};

/* The feeds by path and by member record. */
class FeedSet {
public:
    /* Makes rec a member of path's feed (the feed starts when it is new). */
    void join(void *rec, const MemberOps *ops, const std::string &path);
    /* Takes rec out; a feed left without members goes. Waits for a step of
     * the feed in progress, so rec gets no line after this returns. */
    void leave(const void *rec);
    std::shared_ptr<Feed> feedOf(const void *rec);
    size_t size();

private:
    std::mutex mu_;
    std::unordered_map<std::string, std::shared_ptr<Feed>> byPath_;
    std::unordered_map<const void *, std::shared_ptr<Feed>> byRec_;
};

/* The feeds of the rules and monitors. Never destroyed: a worker may still
 * scan while the plug-in is unloaded. */
FeedSet &feeds();

/* Called (when set) after each step of scanFeeds, with the list locks
 * released: lets tests look at the lists between steps. */
extern std::atomic<void (*)(void)> betweenStepsHook;

/* Held by a table request while it waits for a feed list's lock: the
 * scanning pass then ends its step early (kYieldAfter) and, before taking
 * the lock again, waits until the request has had its turn (the mutex
 * itself is not fair). */
extern std::atomic<int> listWaiters;
struct ListWaiter {
    ListWaiter() { listWaiters.fetch_add(1); }
    ~ListWaiter() { listWaiters.fetch_sub(1); }
    ListWaiter(const ListWaiter &) = delete;
    ListWaiter &operator=(const ListWaiter &) = delete;
};

/* The lists whose records read feeds, in their lock order (rules, then
 * monitors): a step hands lines to both kinds, so it holds both. */
void lockFeedLists();
void unlockFeedLists();

/*
 * One scanning pass: the feeds of the records of list that due() picks are
 * stepped round-robin, one bounded step at a time under the feed lists'
 * locks, released between steps, until each has caught up or failed. Every
 * member of a stepped feed gets its lines, due or not: the file is read
 * once for all of them. stopping() is checked between steps.
 */
void scanFeeds(linkedList_t *list, const std::function<bool(const void *rec)> &due, time_t now, int (*stopping)(void));

/* One whole scan of rec's feed, taking the list locks step by step. */
StepResult scanFeedOf(const void *rec, time_t now);

// The rhythm both log workers keep: a first wait of 60 s, then a pass every
// minute (four 15-s steps) until the plug-in stops; "NAME worker starting"
// and "NAME worker returning" on standard output.
void runScanWorker(const char *name, int (*scanPass)(void));

// Table cells both log tables answer alike: a time as dateTime text, and
// the last matched text in Base64 (a logged line may hold any byte).
void setTimeCell(qelVariable_t *v, time_t when);
void setMatchStringCell(qelVariable_t *v, const char *matched);

} // namespace logtail

#endif
