// link: kestrova_frame kestrova_core qelhost
// Log-file rules and monitors: placeholder substitution, matching (groups,
// failed matches, NUL bytes, agreement with regexprobe), the tailer across
// rotations, truncation and long or unfinished lines, the scanning pass
// with its locks released between steps, one read of a file for all the
// rules and monitors naming it, the rules' dependencies and both select
// handlers.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <random>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "depend_logfile.h"
#include "dependency.h"
#include "graph.h"
#include "kestrova.h"
#include "logtail.h"
#include "qel/strutil.h"
#include "qel/base64.h"
#include "qel/qel.h"
#include "qelhost.h"
#include "sysinfo_logfile.h"
#include "testutil.h"
#include "vertex.h"

using namespace std::chrono_literals;

namespace {

// A match of expr on line, kept for the substitution calls.
struct Match {
    pcre2_code *code = nullptr;
    pcre2_match_data *md = nullptr;
    int rc = 0;
    Match(const char *expr, const std::string &line) {
        std::string err;
        size_t off = 0;
        code = logtail::compileExpression(expr, err, off);
        EXPECT_NE(code, nullptr) << err;
        md = pcre2_match_data_create(logtail::kCapturePairs, nullptr);
        rc = code ? logtail::matchLine(code, line.data(), line.size(), md) : -99;
    }
    ~Match() {
        pcre2_match_data_free(md);
        pcre2_code_free(code);
    }
    const size_t *ov() const { return pcre2_get_ovector_pointer(md); }
};

std::string fieldOf(const char *tmpl, const std::string &line, const char *expr, int size = 256, int *res = nullptr) {
    Match m(expr, line);
    std::string out(static_cast<size_t>(size), '\0');
    std::strcpy(out.data(), "untouched");
    int r = substituteField(tmpl, line.c_str(), m.ov(), m.rc, out.data(), size);
    if (res)
        *res = r;
    return out.c_str();
}

std::string argsOf(const char *tmpl, const std::string &line, const char *expr) {
    Match m(expr, line);
    char out[1024];
    substituteArgs(tmpl, line.c_str(), m.ov(), m.rc, out, sizeof out);
    return out;
}

void append(const std::string &path, const std::string &text) {
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    ::close(fd);
}

std::string lines(const char *prefix, int n) {
    std::string s;
    for (int i = 0; i < n; ++i)
        s += std::string(prefix) + " " + std::to_string(i) + "\n";
    return s;
}

// Name calls that find nothing, so that no test asks a name server.
qelhost::NameResolvers noLookups() {
    qelhost::NameResolvers r;
    r.ipAddr = r.nameAddr = [](const std::string &, std::string &) { return -1; };
    r.ipv4 = [](const std::string &) -> uint32_t { return 0; };
    r.ipv6 = [](const std::string &, in6_addr *) { return -1; };
    return r;
}

// Lines seen by a tailer.
struct Seen {
    std::vector<std::string> all;
    std::vector<uint64_t> after; // the offset given with each line
    logtail::LineFn fn() {
        return [this](const char *l, size_t n, uint64_t off) {
            all.emplace_back(l, n);
            after.push_back(off);
        };
    }
};

// The tailer stepped until it has caught up (or failed).
int drain(logtail::Tailer &t, const std::string &path, Seen &seen) {
    int r;
    while ((r = t.step(path, seen.fn())) == logtail::kMore)
        ;
    return r;
}

} // namespace

// ---- placeholders ----

TEST(LogfileSubstitution, FieldTakesTheHighestPlaceholderOnce) {
    const std::string line = "connect from 10.1.1.7 to B\n";
    const char *re = "connect from ([0-9.]+) to (\\w)";
    EXPECT_EQ(fieldOf("$1", line, re), "10.1.1.7");
    EXPECT_EQ(fieldOf("$1 and $2", line, re), "$1 and B");
    EXPECT_EQ(fieldOf("h-$1-$1", line, re), "h-10.1.1.7-10.1.1.7");
    // "$10" holds "$1".
    EXPECT_EQ(fieldOf("$10", line, re), "10.1.1.70");
    int r = 0;
    EXPECT_EQ(fieldOf("$3", line, re, 256, &r), "untouched");
    EXPECT_EQ(r, -1);
    EXPECT_EQ(fieldOf("no placeholder $7", line, re, 256, &r), "untouched");
    EXPECT_EQ(r, -1);
    // A group that took no part in the match gives an empty text.
    EXPECT_EQ(fieldOf("[$2]", "ab\n", "(a)(x)?(b)"), "[]");
    // Unset trailing groups are not counted: the group is missing.
    EXPECT_EQ(fieldOf("[$2]", "ab\n", "(a)(x)?b"), "untouched");
}

TEST(LogfileSubstitution, FieldBadArgumentsAndCuts) {
    Match m("(a+)", "aaa");
    char out[300];
    EXPECT_EQ(substituteField(nullptr, "aaa", m.ov(), m.rc, out, 256), -3);
    EXPECT_EQ(substituteField("$1", nullptr, m.ov(), m.rc, out, 256), -3);
    EXPECT_EQ(substituteField("$1", "aaa", nullptr, m.rc, out, 256), -3);
    EXPECT_EQ(substituteField("$1", "aaa", m.ov(), 0, out, 256), -3);
    EXPECT_EQ(substituteField("$1", "aaa", m.ov(), m.rc, out, 19), -3);
    EXPECT_EQ(substituteField("$1", "aaa", m.ov(), m.rc, out, 20), 1);
    EXPECT_STREQ(out, "aaa");
    // Result cut to size - 1; a group is taken up to 1023 characters.
    std::string longLine(3000, 'x');
    EXPECT_EQ(fieldOf("$1", longLine, "(x+)").size(), 255u);
    EXPECT_EQ(fieldOf("$1", longLine, "(x+)", 2000).size(), 1023u);
}

TEST(LogfileSubstitution, ArgumentsReplaceTemplatePlaceholdersOnly) {
    const std::string line = "from A to B via C\n";
    const char *re = "from (\\w) to (\\w) via (\\w)";
    EXPECT_EQ(argsOf("$2 <- $1", line, re), "B <- A");
    EXPECT_EQ(argsOf("$3$2$1 $1", line, re), "CBA A");
    // "$7" is text; the substitution of the others goes on around it.
    EXPECT_EQ(argsOf("$7 $1", line, re), "$7 A");
    // A missing group stops the passes, leaving lower ones as written.
    EXPECT_EQ(argsOf("$5 $1", line, re), "$5 $1");
    // Text taken from the log is never substituted again.
    EXPECT_EQ(argsOf("[$1]", "v=$2 w=SECRET\n", "v=(\\S+) w=(\\S+)"), "[$2]");
    EXPECT_EQ(argsOf("x$1", "g=x$1\n", "g=(\\S+)"), "xx$1");
    // Five placeholders take five passes.
    EXPECT_EQ(argsOf("$5$4$3$2$1", "abcde", "(a)(b)(c)(d)(e)"), "edcba");
    // Cut to 1023 after each pass.
    std::string big(1500, 'y');
    std::string out = argsOf("$1$2", big + " z", "(y+) (z)");
    EXPECT_EQ(out.size(), 1023u);
    EXPECT_EQ(out.find('z'), std::string::npos);
}

TEST(LogfileSubstitution, ReplaceCountsNonOverlappingOccurrences) {
    auto rep = [](const char *s, const char *p, const char *r) {
        char *t = replace(s, p, r);
        std::string out = t ? t : "<null>";
        std::free(t);
        return out;
    };
    EXPECT_EQ(rep("a$1b$1c", "$1", "XYZ"), "aXYZbXYZc");
    EXPECT_EQ(rep("aaa", "aa", "b"), "ba");
    EXPECT_EQ(rep("abc", "", "x"), "abc");
    EXPECT_EQ(rep("abc", "abc", ""), "");
}

// ---- matching ----

class LogfileMatch : public ::testing::Test {
protected:
    void SetUp() override { init_logfile_monitors(); }
    void TearDown() override { pruneLogfileMonitors(); }
    logfileMonitor_t *monitor(const std::string &file, const char *expr) {
        logfileMonitor_t m{};
        qelCopyField(m.filename, file.c_str());
        qelCopyField(m.expression, expr);
        EXPECT_EQ(addLogfileMonitor(&m), 1) << expr;
        return static_cast<logfileMonitor_t *>(lfmList->head->data);
    }
};

TEST_F(LogfileMatch, TenGroupsMatchAndFailedMatchesDoNot) {
    testutil::TempDir dir;
    std::string f = dir.file("x.log");
    auto *ten = monitor(f, "(a)(b)(c)(d)(e)(f)(g)(h)(i)(j)(k)");
    std::string line = "abcdefghijk\n";
    EXPECT_EQ(checkLogfileMonitorEntryLen(ten, line.data(), line.size()), 1);
    EXPECT_STREQ(ten->lastMatchStr, "abcdefghijk");
    Match m("(a)(b)(c)(d)(e)(f)(g)(h)(i)(j)(k)", line);
    EXPECT_EQ(m.rc, 0);
    char out[64];
    EXPECT_EQ(substituteField("$1", line.c_str(), m.ov(), m.rc, out, sizeof out), -3);

    auto *utf = monitor(f, "(*UTF)caf.");
    std::string bad = "caf\xff\xfe\n";
    EXPECT_EQ(checkLogfileMonitorEntryLen(utf, bad.data(), bad.size()), 0);
    std::string good = "caf\xc3\xa9\n";
    EXPECT_EQ(checkLogfileMonitorEntryLen(utf, good.data(), good.size()), 1);

    auto *slow = monitor(f, "^(a+)+$");
    std::string evil = std::string(40, 'a') + "b";
    EXPECT_EQ(checkLogfileMonitorEntryLen(slow, evil.data(), evil.size()), 0);
    EXPECT_EQ(slow->numMatches, 0);

    auto *nul = monitor(f, "x\\x00y (\\d+)$");
    std::string withNul("x\0y 42\n", 7);
    EXPECT_EQ(checkLogfileMonitorEntryLen(nul, withNul.data(), withNul.size()), 1);
    EXPECT_EQ(checkLogfileMonitorEntry(nul, withNul.c_str()), 0); // as a C string it stops at the NUL
    auto *empty = monitor(f, "");
    EXPECT_EQ(empty->re, nullptr);
    EXPECT_EQ(checkLogfileMonitorEntryLen(empty, line.data(), line.size()), -1);
}

TEST_F(LogfileMatch, CompileFailureDropsTheRecordAndSaysWhere) {
    logfileMonitor_t m{};
    qelCopyField(m.filename, "/var/log/x");
    qelCopyField(m.expression, "ab(c");
    EXPECT_EQ(addLogfileMonitor(&m), -1);
    EXPECT_EQ(numberElements(lfmList), 0);

    init_depend_logfiles();
    logfileDependency_t r{};
    qelCopyField(r.filename, "/var/log/x");
    qelCopyField(r.addExpression, "ok");
    qelCopyField(r.remExpression, "x[");
    testing::internal::CaptureStdout();
    EXPECT_EQ(addLogfileDependency(&r), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "addLogfileDependency: pcre compile failed\n");
    ASSERT_NE(r.remErrorStr, nullptr);
    EXPECT_NE(std::string(r.remErrorStr).find("missing terminating ]"), std::string::npos) << r.remErrorStr;
    EXPECT_EQ(r.remErrorOffset, 2);
    EXPECT_EQ(numberElements(lfList), 0);
}

// The monitor's counts on a mixed log equal regexprobe's.
TEST_F(LogfileMatch, SameCountsAsRegexprobe) {
    const std::string log = testutil::fixturePath("logs/mixed.log");
    const char *exprs[] = {"connect from [^[]*\\[([0-9.]+)\\]",
                           "^\\w+ +\\d+ [0-9:]+ demo (\\w+)",
                           "(*UTF)caf. na.ve",
                           "from (\\d+\\.\\d+\\.\\d+\\.\\d+)",
                           "nul",
                           "\\$[12]$|x\\$1",
                           "e$"};
    for (const char *e : exprs) {
        auto r = testutil::runProcess({testutil::binPath("regexprobe"), log, e});
        std::smatch sm;
        ASSERT_TRUE(std::regex_search(r.out, sm, std::regex("read (\\d+) lines, (\\d+) matches\n$"))) << r.out;
        logfileMonitor_t m{};
        qelCopyField(m.filename, log.c_str());
        qelCopyField(m.expression, e);
        ASSERT_EQ(addLogfileMonitor(&m), 1);
        auto *mon = static_cast<logfileMonitor_t *>(lfmList->head->data);
        logtail::Tailer t; // from the start, unlike a monitor
        Seen seen;
        ASSERT_EQ(drain(t, log, seen), 0);
        ASSERT_EQ(drain(t, log, seen), 0); // the unterminated last line, file not grown
        for (const auto &l : seen.all)
            checkLogfileMonitorEntryLen(mon, l.data(), l.size());
        EXPECT_EQ(std::to_string(seen.all.size()), sm[1].str()) << e;
        EXPECT_EQ(std::to_string(mon->numMatches), sm[2].str()) << e;
        // The same through a feed, its lines in batches: a monitor on a
        // file that appears after it is added reads it from the start.
        testutil::TempDir dir;
        qelCopyField(m.filename, dir.file("mixed.log").c_str());
        ASSERT_EQ(addLogfileMonitor(&m), 1);
        auto *fed = static_cast<logfileMonitor_t *>(lfmList->head->data);
        dir.write("mixed.log", testutil::readFile(log));
        scanLogfileMonitor(fed, time(nullptr));
        scanLogfileMonitor(fed, time(nullptr)); // the unterminated last line
        EXPECT_EQ(std::to_string(fed->numLines), sm[1].str()) << e;
        EXPECT_EQ(std::to_string(fed->numMatches), sm[2].str()) << e;
        EXPECT_STREQ(fed->lastMatchStr, mon->lastMatchStr) << e;
    }
}

// ---- the tailer ----

TEST(LogfileTailer, StartsAtTheEndAndKeepsLinesWrittenBeforeTheFirstScan) {
    testutil::TempDir dir;
    std::string f = dir.write("a.log", lines("old", 1000));
    logtail::Tailer t;
    t.start(f);
    append(f, lines("new", 3));
    Seen s;
    EXPECT_EQ(drain(t, f, s), logtail::kCaughtUp);
    ASSERT_EQ(s.all.size(), 3u);
    EXPECT_EQ(s.all[0], "new 0\n");
    const uint64_t size = testutil::readFile(f).size();
    EXPECT_EQ(t.offset(), size);
    EXPECT_EQ(s.after.back(), size);
    // Nothing appended: nothing read again, however often it is stepped.
    EXPECT_EQ(drain(t, f, s), logtail::kCaughtUp);
    EXPECT_EQ(drain(t, f, s), logtail::kCaughtUp);
    EXPECT_EQ(s.all.size(), 3u);
    EXPECT_EQ(t.offset(), size);
    // A file appearing later is read from its start.
    std::string g = dir.file("later.log");
    logtail::Tailer t2;
    t2.start(g);
    Seen s2;
    EXPECT_EQ(drain(t2, g, s2), logtail::kOpenFailed);
    append(g, lines("g", 2));
    EXPECT_EQ(drain(t2, g, s2), logtail::kCaughtUp);
    EXPECT_EQ(s2.all.size(), 2u);
}

TEST(LogfileTailer, TruncationCopytruncateAndRefillReadFromTheStart) {
    testutil::TempDir dir;
    std::string f = dir.write("a.log", lines("x", 10));
    logtail::Tailer t;
    t.start(f);
    Seen s;
    append(f, lines("before", 2));
    drain(t, f, s);
    // copytruncate: copied away, truncated, written again.
    ASSERT_EQ(truncate(f.c_str(), 0), 0);
    append(f, lines("after", 2));
    drain(t, f, s);
    // Refilled past the old offset with other text.
    uint64_t off = t.offset();
    ASSERT_EQ(truncate(f.c_str(), 0), 0);
    std::string refill = lines("refill", 40);
    ASSERT_GT(refill.size(), off);
    append(f, refill);
    drain(t, f, s);
    std::vector<std::string> want = {"before 0\n", "before 1\n", "after 0\n", "after 1\n"};
    for (int i = 0; i < 40; ++i)
        want.push_back("refill " + std::to_string(i) + "\n");
    EXPECT_EQ(s.all, want);
}

TEST(LogfileTailer, RenameRotationDrainsTheOldFileAndDeletedFilesAreReleased) {
    testutil::TempDir dir;
    std::string f = dir.write("a.log", "");
    logtail::Tailer t;
    t.start(f);
    Seen s;
    append(f, lines("one", 2));
    drain(t, f, s);
    // The old file's last line, unterminated, is read to its end.
    append(f, lines("just-before", 2) + "no newline");
    ASSERT_EQ(rename(f.c_str(), (f + ".1").c_str()), 0);
    append(f, lines("fresh", 2));
    drain(t, f, s);
    std::vector<std::string> want = {"one 0\n",    "one 1\n",   "just-before 0\n", "just-before 1\n",
                                     "no newline", "fresh 0\n", "fresh 1\n"};
    EXPECT_EQ(s.all, want);
    // Removed: what was appended still counts, then the descriptor goes.
    append(f, "last words\n");
    ASSERT_EQ(unlink(f.c_str()), 0);
    int fd = t.heldDescriptor();
    ASSERT_GE(fd, 0);
    EXPECT_EQ(drain(t, f, s), logtail::kOpenFailed);
    EXPECT_EQ(s.all.back(), "last words\n");
    EXPECT_EQ(t.heldDescriptor(), -1);
    char target[512];
    ssize_t n = readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), target, sizeof target - 1);
    if (n > 0) { // the number may have been reused, never for the deleted log
        EXPECT_EQ(std::string(target, static_cast<size_t>(n)).find("a.log"), std::string::npos);
    }
}

TEST(LogfileTailer, UnterminatedAndLongLines) {
    testutil::TempDir dir;
    std::string f = dir.write("a.log", "");
    logtail::Tailer t;
    t.start(f);
    Seen s;
    append(f, "half a li");
    drain(t, f, s);
    EXPECT_TRUE(s.all.empty());
    append(f, "ne\n");
    drain(t, f, s);
    ASSERT_EQ(s.all.size(), 1u);
    EXPECT_EQ(s.all[0], "half a line\n");
    append(f, "never ends");
    drain(t, f, s);
    EXPECT_EQ(s.all.size(), 1u);
    drain(t, f, s); // not grown for a pass
    ASSERT_EQ(s.all.size(), 2u);
    EXPECT_EQ(s.all[1], "never ends");
    // A 1 MiB line: counted once on its first 64 KiB, also when written in
    // parts across scans; the line after it is whole.
    std::string big(1 << 20, 'L');
    append(f, big.substr(0, 300000));
    drain(t, f, s);
    // Handed over before its newline, it carries how far it was read.
    ASSERT_EQ(s.all.size(), 3u);
    EXPECT_EQ(s.after[2], testutil::readFile(f).size());
    append(f, big.substr(300000) + "\nnext connect from 192.0.2.9\n");
    drain(t, f, s);
    ASSERT_EQ(s.all.size(), 4u);
    EXPECT_EQ(s.all[2].size(), logtail::kMaxLine);
    EXPECT_EQ(s.all[3], "next connect from 192.0.2.9\n");
    EXPECT_EQ(s.after[3], testutil::readFile(f).size());
    // A line of exactly the longest matched length is not long: it waits
    // for its newline, then comes out whole but for the newline.
    append(f, std::string(logtail::kMaxLine, 'M'));
    drain(t, f, s);
    EXPECT_EQ(s.all.size(), 4u);
    append(f, "\n");
    drain(t, f, s);
    ASSERT_EQ(s.all.size(), 5u);
    EXPECT_EQ(s.all[4], std::string(logtail::kMaxLine, 'M'));
    EXPECT_EQ(s.after[4], testutil::readFile(f).size());
}

// Lines of every length up to beyond the longest matched, CRLF and NUL
// bytes among them, across read buffers: each comes out once, whole (or cut
// to its first 64 KiB), in order, with the offset just behind it, whether
// read in one go or in small steps.
TEST(LogfileTailer, LinesAcrossBuffersComeOutWhole) {
    std::mt19937 rng(7);
    std::string text;
    std::vector<std::string> want;
    std::vector<uint64_t> ends;
    for (int i = 0; text.size() < (6u << 20); ++i) {
        size_t len = i % 97 == 0 ? 70000 + rng() % 200000 : rng() % (i % 5 == 0 ? 3000 : 130);
        std::string l(len, 'a');
        for (auto &c : l)
            c = static_cast<char>('a' + rng() % 26);
        if (len > 3 && i % 7 == 0)
            l[rng() % len] = '\0';
        l += i % 3 == 0 ? "\r\n" : "\n";
        text += l;
        ends.push_back(text.size());
        want.push_back(l.size() > logtail::kMaxLine ? l.substr(0, logtail::kMaxLine) : l);
    }
    testutil::TempDir dir;
    {
        for (size_t stepBytes : {size_t(1), size_t(100000), logtail::kStepBytes}) {
            std::string f = dir.write("a" + std::to_string(stepBytes) + ".log", "");
            logtail::Tailer t;
            t.start(f);
            append(f, text);
            Seen s;
            std::vector<uint64_t> after;
            int steps = 0;
            logtail::LineFn fn = [&](const char *l, size_t n, uint64_t off) {
                s.all.emplace_back(l, n);
                after.push_back(off);
            };
            while (t.step(f, fn, stepBytes) == logtail::kMore)
                ++steps;
            ASSERT_EQ(s.all.size(), want.size()) << stepBytes;
            for (size_t i = 0; i < want.size(); ++i) {
                ASSERT_EQ(s.all[i], want[i]) << "line " << i << ", steps of " << stepBytes;
                // A cut line handed over before its newline was read
                // carries how far it was read.
                if (want[i].size() < logtail::kMaxLine) {
                    ASSERT_EQ(after[i], ends[i]) << "line " << i << ", steps of " << stepBytes;
                }
            }
            EXPECT_EQ(t.offset(), text.size());
            // (A step reads at least one buffer of 1 MiB.)
            if (stepBytes == 1) {
                EXPECT_GT(steps, 4);
            }
        }
    }
}

TEST(LogfileTailer, TextPlacedInALongLineCannotPoseAsALine) {
    testutil::TempDir dir;
    std::string f = dir.write("a.log", "");
    logtail::Tailer t;
    t.start(f);
    // Pieces of a fixed size would start a piece at "connect from ...".
    std::string forged = std::string(1023, 'p') + "connect from 192.0.2.66\n";
    append(f, forged);
    Seen s;
    drain(t, f, s);
    ASSERT_EQ(s.all.size(), 1u);
    Match anchored("^connect from ([0-9.]+)", s.all[0]);
    EXPECT_EQ(anchored.rc, PCRE2_ERROR_NOMATCH);
}

TEST(LogfileTailer, SpecialFilesGiveNotRegularWithoutBlocking) {
    testutil::TempDir dir;
    std::string fifo = dir.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    auto check = [](const std::string &path) {
        auto fut = std::async(std::launch::async, [path] {
            logtail::Tailer t;
            t.start(path);
            Seen s;
            return static_cast<int>(t.step(path, s.fn()));
        });
        if (fut.wait_for(10s) != std::future_status::ready) {
            ADD_FAILURE() << path << " blocked";
            std::_Exit(1); // the thread cannot be taken back
        }
        return fut.get();
    };
    EXPECT_EQ(check(fifo), logtail::kNotRegular);
    EXPECT_EQ(check(dir.path()), logtail::kNotRegular);
    EXPECT_EQ(check("/dev/null"), logtail::kNotRegular);
}

// ---- rules, their dependencies and the tables ----

class LogfileRules : public ::testing::Test {
protected:
    testutil::TempDir dir;
    std::string log;
    void SetUp() override {
        qelCopyField(myhostname, "logtest.example");
        theGraph = graphNew("logtest graph");
        myVertex = vertexNew(myhostname);
        myVertex->reachable = 1;
        graphInsertNode(theGraph, myVertex);
        init_depend_logfiles();
        init_logfile_monitors();
        log = dir.write("auth.log", lines("before", 1000));
        // No name is ever looked up: the addresses in the lines stand.
        qelhost::setNameResolvers(noLookups());
        qelhost::clearNameCache();
    }
    void TearDown() override {
        pruneLogfileDependencyEntries();
        pruneLogfileMonitors();
        logtail::betweenStepsHook = nullptr;
        qelhost::setNameResolvers({});
        while (theGraph->setOfNodes->head)
            graphRemoveNode(theGraph, static_cast<vertex_t *>(theGraph->setOfNodes->head->data));
        graphDestroy(theGraph);
        theGraph = nullptr;
        myVertex = nullptr;
    }
    logfileDependency_t *rule(const char *add, const char *rem, const char *client, const char *server,
                              const char *args = "") {
        logfileDependency_t r{};
        qelCopyField(r.filename, log.c_str());
        r.dtype = 6;
        qelCopyField(r.addExpression, add);
        qelCopyField(r.remExpression, rem);
        qelCopyField(r.dependClient, client);
        qelCopyField(r.dependServer, server);
        qelCopyField(r.args, args);
        r.timeout = 300;
        r.lastUpdateTime = 1700000000;
        EXPECT_EQ(addLogfileDependency(&r), 1);
        return static_cast<logfileDependency_t *>(lfList->head->data);
    }
    int edges() { return getSizeOfGraph(theGraph); }
};

TEST_F(LogfileRules, AddAndRemoveLinesChangeTheGraph) {
    auto *r = rule("connect from ([0-9.]+) args=(\\S+)", "disconnect from ([0-9.]+) args=(\\S+)", "$1",
                   "logtest.example", "mail $2");
    append(log, "x connect from 192.0.2.7 args=from=<a@b>\n");
    scanLogfiles();
    EXPECT_EQ(r->numLines, 1);
    EXPECT_EQ(r->numMatches, 1);
    EXPECT_EQ(r->lastAddRemove, 1);
    EXPECT_EQ(edges(), 1);
    graphLock(theGraph, "test");
    auto *d = static_cast<dependency_t *>(theGraph->setOfEdges->head->data);
    EXPECT_EQ(d->dsrc, dependSrcLogfile);
    EXPECT_EQ(d->pov, dependInbound);
    EXPECT_EQ(d->logfileDependencyAgeOut, 300);
    EXPECT_STREQ(d->args, "mail from=[a@b]");
    graphUnlock(theGraph, "test");
    r->lastScan = 0;
    append(log, "x disconnect from 192.0.2.7 args=from=<a@b>\n");
    scanLogfiles();
    EXPECT_EQ(r->lastAddRemove, 2);
    EXPECT_STREQ(r->lastMatchStr, "disconnect from 192.0.2.7 args=from=<a@b>");
    EXPECT_EQ(r->lastMatchOffset, static_cast<off_t>(testutil::readFile(log).size()));
    EXPECT_EQ(edges(), 0) << "the angle brackets of the arguments must not hide the record";
    // Not due again before the interval.
    r->scanInterval = 3600;
    append(log, "x connect from 192.0.2.8 args=z\n");
    scanLogfiles();
    EXPECT_EQ(r->numLines, 2);
}

TEST_F(LogfileRules, TransitAndRefusedDependencies) {
    rule("relay (\\S+) -> (\\S+)", "", "$1", "$2");
    auto *missing = rule("only (\\S+)", "", "$3", "logtest.example");
    append(log, "relay 198.51.100.1 -> 198.51.100.2\nonly 192.0.2.3\n");
    scanLogfiles();
    EXPECT_EQ(missing->numMatches, 1);
    graphLock(theGraph, "test");
    int transit = 0;
    for (linkedElement_t *e = theGraph->setOfEdges->head; e; e = e->next)
        transit += static_cast<dependency_t *>(e->data)->pov == dependTransit;
    graphUnlock(theGraph, "test");
    EXPECT_EQ(transit, 1);
    EXPECT_EQ(edges(), 1);
}

// Two rules meeting on one dependency take each line in turn, as the file
// orders them: an add by one after a removal by the other leaves it, a
// removal after an add takes it away, whichever rule came first.
TEST_F(LogfileRules, RulesOnOneDependencyFollowTheFileOrder) {
    auto *adds = rule("up ([0-9.]+)", "", "$1", "logtest.example");
    auto *removes = rule("never", "down ([0-9.]+)", "$1", "logtest.example");
    append(log, "up 192.0.2.5\ndown 192.0.2.5\nnoise\nup 192.0.2.5\nup 192.0.2.6\ndown 192.0.2.6\n");
    scanLogfiles();
    EXPECT_EQ(adds->numMatches, 3);
    EXPECT_EQ(removes->numMatches, 2);
    // Lines a rule cannot match count as read all the same.
    EXPECT_EQ(adds->numLines, 6);
    EXPECT_EQ(removes->numLines, 6);
    EXPECT_EQ(edges(), 1);
    graphLock(theGraph, "test");
    std::string left;
    for (linkedElement_t *e = theGraph->setOfEdges->head; e; e = e->next)
        left += static_cast<dependency_t *>(e->data)->dependClient;
    graphUnlock(theGraph, "test");
    EXPECT_EQ(left, "192.0.2.5");
}

// A busy log names the same few servers over and over within one step,
// across more ops than one flush holds: every server named stays, the one
// taken down after its adds goes, and each match is counted.
TEST_F(LogfileRules, RepeatedAddsInAStepLeaveTheFileOrdersResult) {
    auto *r = rule("up ([0-9.]+)", "down ([0-9.]+)", "$1", "logtest.example");
    std::string text;
    for (int i = 0; i < 5000; ++i)
        text += "up 192.0.2." + std::to_string(10 + i % 3) + "\n";
    text += "down 192.0.2.11\nup 192.0.2.12\n";
    append(log, text);
    scanLogfiles();
    EXPECT_EQ(r->numMatches, 5002);
    EXPECT_EQ(r->lastAddRemove, 1);
    std::set<std::string> clients;
    graphLock(theGraph, "test");
    for (linkedElement_t *e = theGraph->setOfEdges->head; e; e = e->next)
        clients.insert(static_cast<dependency_t *>(e->data)->dependClient);
    graphUnlock(theGraph, "test");
    EXPECT_EQ(clients, (std::set<std::string>{"192.0.2.10", "192.0.2.12"}));
    // Taken down and named again later in the same step: back.
    r->lastScan = 0;
    append(log, "up 192.0.2.11\ndown 192.0.2.11\nup 192.0.2.11\nup 192.0.2.10\n");
    scanLogfiles();
    EXPECT_EQ(edges(), 3);
}

TEST_F(LogfileRules, LargeAppendIsReadInStepsWithTheLockReleased) {
    auto *r = rule("connect from 192\\.0\\.2\\.77$", "", "192.0.2.77", "logtest.example");
    logfileMonitor_t m{};
    qelCopyField(m.filename, log.c_str());
    qelCopyField(m.expression, "line 1[0-9]*5$");
    ASSERT_EQ(addLogfileMonitor(&m), 1);
    auto *mon = static_cast<logfileMonitor_t *>(lfmList->head->data);
    // 64 MiB in 1 MiB writes.
    std::string chunk;
    int n = 0;
    while (chunk.size() < (1u << 20) - 40)
        chunk += "padding padding padding line " + std::to_string(n++) + "\n";
    int perChunk = n;
    for (int i = 0; i < 64; ++i)
        append(log, chunk);
    append(log, "connect from 192.0.2.77\n");
    static std::atomic<int> steps{0}, lockFree{0};
    steps = 0;
    lockFree = 0;
    logtail::betweenStepsHook = [] {
        ++steps;
        if (pthread_mutex_trylock(&lfList->lock) == 0) {
            pthread_mutex_unlock(&lfList->lock);
            if (pthread_mutex_trylock(&lfmList->lock) == 0) {
                pthread_mutex_unlock(&lfmList->lock);
                ++lockFree;
            }
        }
    };
    scanLogfiles();
    scanLogfileEntries();
    EXPECT_EQ(r->numLines, 64LL * perChunk + 1);
    EXPECT_EQ(r->numMatches, 1);
    EXPECT_EQ(mon->numLines, 64LL * perChunk + 1);
    int per = 0;
    for (int i = 0; i < perChunk; ++i) {
        std::string d = std::to_string(i);
        per += d.size() >= 2 && d.front() == '1' && d.back() == '5';
    }
    EXPECT_EQ(mon->numMatches, 64LL * per);
    EXPECT_GE(steps.load(), 16); // 4 MiB steps at most, one feed for both records
    EXPECT_EQ(lockFree.load(), steps.load());
}

// A table request waiting for the lists ends a step early (once it has run
// a little), however many bytes and however much time the step may take;
// the lines are all read, once, over the following steps.
TEST_F(LogfileRules, AWaitingRequestEndsAStepEarly) {
    auto *r = rule("connect from 192\\.0\\.2\\.77$", "", "192.0.2.77", "logtest.example");
    for (int i = 0; i < 8; ++i) {
        logfileMonitor_t m{};
        qelCopyField(m.filename, log.c_str());
        qelCopyField(m.expression, ("line [0-9]*" + std::to_string(i) + "$").c_str());
        ASSERT_EQ(addLogfileMonitor(&m), 1);
    }
    auto *mon = static_cast<logfileMonitor_t *>(lfmList->head->data);
    std::string text;
    int n = 0;
    while (text.size() < (24u << 20))
        text += "padding padding padding padding line " + std::to_string(n++) + "\n";
    append(log, text);
    auto feed = logtail::feeds().feedOf(r);
    ASSERT_TRUE(feed);
    const uint64_t size = testutil::readFile(log).size();

    logtail::lockFeedLists();
    std::atomic<bool> served{false};
    std::thread request([&] {
        logtail::ListWaiter waiting; // as the table handlers wait
        listLock(lfList);
        served = true;
        listUnlock(lfList);
    });
    while (logtail::listWaiters.load() == 0)
        std::this_thread::yield();
    logtail::StepResult sr = feed->step(time(nullptr), SIZE_MAX, std::chrono::steady_clock::now() + 1h);
    uint64_t stepped = static_cast<uint64_t>(mon->lastOffset);
    logtail::unlockFeedLists();
    request.join();
    EXPECT_TRUE(served.load());
    EXPECT_EQ(sr, logtail::kMore);
    EXPECT_LT(stepped, size) << "the step ran to the end with a request waiting";

    scanLogfiles();
    EXPECT_EQ(r->numLines, n);
    EXPECT_EQ(mon->numLines, n);
    EXPECT_EQ(static_cast<uint64_t>(mon->lastOffset), size);
}

// Every rule and monitor naming one file is fed from one read of each new
// chunk: the file's bytes are read once however many records read it, and
// each record still sees every line.
TEST_F(LogfileRules, RulesAndMonitorsOnOneFileShareOneRead) {
    auto *conn = rule("connect from ([0-9.]+)", "gone ([0-9.]+)", "$1", "logtest.example");
    auto *relay = rule("relay (\\S+) -> (\\S+)", "", "$1", "$2");
    auto *never = rule("never matches here", "", "192.0.2.9", "logtest.example");
    logfileMonitor_t m{};
    qelCopyField(m.filename, log.c_str());
    qelCopyField(m.expression, "line [0-9]*7$");
    ASSERT_EQ(addLogfileMonitor(&m), 1);
    auto *sevens = static_cast<logfileMonitor_t *>(lfmList->head->data);
    qelCopyField(m.expression, "");
    ASSERT_EQ(addLogfileMonitor(&m), 1);
    auto *counter = static_cast<logfileMonitor_t *>(lfmList->head->data);
    std::string other = dir.write("other.log", "");
    qelCopyField(m.filename, other.c_str());
    ASSERT_EQ(addLogfileMonitor(&m), 1);
    EXPECT_EQ(logtail::feeds().size(), 2u);
    auto feed = logtail::feeds().feedOf(conn);
    ASSERT_TRUE(feed);
    EXPECT_EQ(feed->members(), 5u);
    EXPECT_EQ(logtail::feeds().feedOf(sevens), feed);

    std::string text;
    int n = 0, sevenCount = 0;
    for (int i = 0; i < 300; ++i) {
        text += "plain line " + std::to_string(n) + "\n";
        sevenCount += std::to_string(n++).back() == '7';
        if (i % 3 == 0)
            text += "a connect from 192.0.2." + std::to_string(10 + i % 50) + "\n";
        if (i % 10 == 0)
            text += "relay 198.51.100.1 -> 198.51.100." + std::to_string(i % 7 + 2) + "\n";
        if (i % 30 == 0)
            text += "gone 192.0.2." + std::to_string(10 + i % 50) + "\n";
    }
    const int total = 300 + 100 + 30 + 10;
    uint64_t before = feed->bytesRead();
    append(log, text);
    static std::atomic<int> passSteps{0};
    passSteps = 0;
    logtail::betweenStepsHook = [] { ++passSteps; };
    scanLogfiles(); // the rules' pass reads for the monitors too
    logtail::betweenStepsHook = nullptr;
    // Once, where a read per record would be five times; but a step cut
    // short by its time bound (a loaded machine) reads the rest again with
    // the next.
    EXPECT_GE(feed->bytesRead() - before, text.size());
    EXPECT_LE(feed->bytesRead() - before, passSteps.load() * text.size()) << "the file was read more than once";
    for (auto *r : {conn, relay, never})
        EXPECT_EQ(r->numLines, total);
    EXPECT_EQ(conn->numMatches, 100 + 10);
    EXPECT_EQ(relay->numMatches, 30);
    EXPECT_EQ(never->numMatches, 0);
    EXPECT_EQ(sevens->numLines, total);
    EXPECT_EQ(sevens->numMatches, sevenCount);
    EXPECT_EQ(counter->numLines, total);
    EXPECT_EQ(counter->numMatches, 0);
    EXPECT_EQ(sevens->lastOffset, static_cast<off_t>(testutil::readFile(log).size()));
    uint64_t afterRules = feed->bytesRead();
    scanLogfileEntries(); // nothing new for the monitors
    EXPECT_EQ(feed->bytesRead(), afterRules);
    EXPECT_EQ(sevens->numLines, total);

    // Several steps' worth, stepped without a time bound: each byte read
    // once but for a partial line at a buffer's end, read again with the
    // next buffer.
    std::string big;
    int bigLines = 0;
    while (big.size() < (6u << 20))
        big += "padding padding padding padding line " + std::to_string(bigLines++) + "\n";
    before = feed->bytesRead();
    append(log, big);
    int steps = 0;
    logtail::StepResult sr;
    do {
        logtail::lockFeedLists();
        sr = feed->step(time(nullptr), logtail::kStepBytes, std::chrono::steady_clock::now() + 1h);
        logtail::unlockFeedLists();
        ++steps;
    } while (sr == logtail::kMore && steps < 100);
    EXPECT_EQ(sr, logtail::kCaughtUp);
    EXPECT_GE(steps, 2);
    EXPECT_LT(feed->bytesRead() - before, big.size() + big.size() / 10);
    EXPECT_GE(feed->bytesRead() - before, big.size());
    for (auto *r : {conn, relay, never})
        EXPECT_EQ(r->numLines, total + bigLines);
    EXPECT_EQ(sevens->numLines, total + bigLines);
    EXPECT_EQ(counter->numLines, total + bigLines);

    // The monitors go; the rules keep reading the same feed.
    pruneLogfileMonitors();
    EXPECT_EQ(logtail::feeds().size(), 1u);
    EXPECT_EQ(feed->members(), 3u);
    append(log, "a connect from 192.0.2.200\n");
    // One rule's scan reads for all three.
    EXPECT_EQ(dependencyScanLogfile(never, time(nullptr)), 0);
    EXPECT_EQ(conn->numMatches, 100 + 10 + 1);
    EXPECT_EQ(relay->numLines, total + bigLines + 1);
}

// A record added to a file that others already read skips the lines the
// file held when it was added, also across a rotation not yet read.
TEST_F(LogfileRules, RecordsJoiningAFeedSkipWhatWasThere) {
    auto *first = rule("connect from ([0-9.]+)", "", "$1", "logtail.example");
    append(log, "a connect from 192.0.2.1\n");
    logfileMonitor_t m{};
    qelCopyField(m.filename, log.c_str());
    qelCopyField(m.expression, "connect");
    ASSERT_EQ(addLogfileMonitor(&m), 1);
    auto *late = static_cast<logfileMonitor_t *>(lfmList->head->data);
    append(log, "b connect from 192.0.2.2\n");
    scanLogfiles();
    EXPECT_EQ(first->numLines, 2);
    EXPECT_EQ(late->numLines, 1);
    EXPECT_EQ(late->numMatches, 1);

    // Rotation: a last line for the old file, a new file with one line, then
    // a record joins, then one more line.
    append(log, "c connect from 192.0.2.3\n");
    ASSERT_EQ(std::rename(log.c_str(), (log + ".1").c_str()), 0);
    append(log, "d connect from 192.0.2.4\n");
    ASSERT_EQ(addLogfileMonitor(&m), 1);
    auto *later = static_cast<logfileMonitor_t *>(lfmList->head->data);
    append(log, "e connect from 192.0.2.5\n");
    first->lastScan = 0;
    scanLogfiles();
    EXPECT_EQ(first->numLines, 5);
    EXPECT_EQ(late->numLines, 4);
    EXPECT_EQ(later->numLines, 1);
    EXPECT_STREQ(later->lastMatchStr, "connect");
    EXPECT_EQ(logtail::feeds().size(), 1u);
}

// A record joining between two appends read in one step counts only the
// lines of the second; the earlier record counts every line once.
TEST_F(LogfileRules, ARecordJoiningBeforeAStepCountsOnlyLaterLines) {
    logfileMonitor_t m{};
    qelCopyField(m.filename, log.c_str());
    qelCopyField(m.expression, "early match");
    ASSERT_EQ(addLogfileMonitor(&m), 1);
    auto *early = static_cast<logfileMonitor_t *>(lfmList->head->data);
    append(log, lines("filler", 100));
    qelCopyField(m.expression, "late one");
    ASSERT_EQ(addLogfileMonitor(&m), 1);
    auto *late = static_cast<logfileMonitor_t *>(lfmList->head->data);
    append(log, lines("late one", 50) + "an early match\n");
    EXPECT_EQ(scanLogfileMonitor(late, time(nullptr)), 0);
    EXPECT_EQ(early->numLines, 151);
    EXPECT_EQ(early->numMatches, 1);
    EXPECT_EQ(late->numLines, 51);
    EXPECT_EQ(late->numMatches, 50);
}

namespace {

// 3 MiB of lines a few rules and monitors match, or nearly: long lines with
// the text before, at or beyond the cut, CRLF, NUL bytes.
std::string mixedLog() {
    std::mt19937 rng(13);
    auto num = [&](unsigned n) { return std::to_string(rng() % n + 2); };
    std::string text;
    while (text.size() < (3u << 20)) {
        const unsigned pick = rng() % 2400;
        switch (pick < 2 ? 9 : pick % 11 == 9 ? 11 : pick % 11) {
        case 0: text += "a connect from 192.0.2." + num(40) + " x\n"; break;
        case 1: text += "gone 192.0.2." + num(40) + "\n"; break;
        case 2: text += "relay 198.51.100.1 -> 198.51.100." + num(9) + "\n"; break;
        case 3: text += "x relay 198.51.100.1 -> 198.51.100." + num(9) + "\n"; break;
        case 4: text += "up 192.0.2." + num(5) + "\n"; break;
        case 5: text += "down 192.0.2." + num(5) + "\n"; break;
        case 6: text += rng() % 2 ? "connect fro 192.0.2.3\n" : "connect  from 192.0.2.3\n"; break;
        case 7: text += "line 1" + num(1000) + (rng() % 2 ? "5\n" : "6\n"); break;
        case 8: text += "xxab\ncd tail\n"; break;
        case 9: {
            // A long line: the text before or beyond the part matched.
            std::string l(logtail::kMaxLine + rng() % 40000, 'q');
            const std::string put = "connect from 192.0.2.99 ";
            const size_t at[] = {10, logtail::kMaxLine - 12, logtail::kMaxLine - 11, logtail::kMaxLine + 5};
            l.replace(at[rng() % 4], put.size(), put); // "connect from" ends at the cut, or one beyond
            l[rng() % l.size()] = '\0';
            text += l + "\n";
            break;
        }
        case 10: text += "connect from 192.0.2." + num(40) + "\r\n"; break;
        default: {
            std::string l(rng() % 300, 'z');
            for (auto &c : l)
                c = "abc\0 from connect"[rng() % 17];
            text += l + "\n";
        }
        }
    }
    return text;
}

// What a record reads from a text when each line is matched by itself.
// A line cut to its first 64 KiB before its newline was read carries how
// far it was read: its match offset lies past its matched part, at most at
// its end.
struct Want {
    long long lines = 0, matches = 0;
    size_t lastLow = 0, lastAt = 0;
    int which = 0; // 1 the first expression matched last, 2 the second
    std::string last;
};

class LineMatcher {
public:
    explicit LineMatcher(const std::string &text) {
        for (size_t at = 0; at < text.size();) {
            const size_t nl = text.find('\n', at);
            lines_.push_back(Line{at, nl + 1, text.substr(at, std::min(nl + 1 - at, logtail::kMaxLine))});
            at = nl + 1;
        }
    }
    size_t size() const { return lines_.size(); }
    // A record with these expressions (rem may be empty) reading the lines
    // that end after from; a rule keeps 1022 bytes of a match, a monitor 1023.
    Want operator()(const char *add, const char *rem, size_t from, bool rule) const {
        std::string err;
        size_t off = 0;
        pcre2_code *codes[2] = {logtail::compileExpression(add, err, off),
                                *rem ? logtail::compileExpression(rem, err, off) : nullptr};
        logtail::MatchData md;
        Want w;
        for (const Line &l : lines_) {
            if (l.end <= from)
                continue;
            ++w.lines;
            for (int j = 0; j < 2; ++j)
                if (codes[j] && logtail::matchLine(codes[j], l.text.data(), l.text.size(), md.get()) >= 0) {
                    const size_t *ov = pcre2_get_ovector_pointer(md.get());
                    ++w.matches;
                    w.lastAt = l.end;
                    w.lastLow = l.end - l.start > logtail::kMaxLine ? l.start + logtail::kMaxLine + 1 : l.end;
                    w.which = j + 1;
                    w.last = l.text.substr(ov[0], std::min<size_t>(ov[1] - ov[0], rule ? 1022 : 1023)).c_str();
                }
        }
        pcre2_code_free(codes[0]);
        pcre2_code_free(codes[1]);
        return w;
    }

private:
    struct Line {
        size_t start, end;
        std::string text;
    };
    std::vector<Line> lines_;
};

} // namespace

// Every record gets what matching each line of the file by itself gives:
// the same counts, matches, last matches and offsets, across appends ending
// within a line, buffers, steps of two sizes, long lines matched on their
// first 64 KiB only, CRLF and NUL bytes, and for a record joining in the
// middle of a line (it counts from that line on).
TEST_F(LogfileRules, EveryRecordGetsWhatEachLineByItselfGives) {
    const std::string text = mixedLog();
    // Three appends, the first two ending within a line.
    const size_t cut1 = text.size() / 3 + 7, cut2 = 2 * text.size() / 3 + 3;

    const LineMatcher expected(text);
    auto check = [&](const Want &w, long long lines, long long matches, off_t lastOffset, off_t lastMatchOffset,
                     const char *last, const char *what) {
        EXPECT_EQ(lines, w.lines) << what;
        EXPECT_EQ(matches, w.matches) << what;
        EXPECT_EQ(lastOffset, static_cast<off_t>(text.size())) << what;
        EXPECT_GE(static_cast<size_t>(lastMatchOffset), w.lastLow) << what;
        EXPECT_LE(static_cast<size_t>(lastMatchOffset), w.lastAt) << what;
        EXPECT_EQ(std::string(last), w.last) << what;
    };

    log = dir.write("every.log", "");
    const char *ruleExprs[][2] = {{"connect from ([0-9.]+)", "gone ([0-9.]+)"},
                                  {"relay (\\S+) -> (\\S+)", ""},
                                  {"up ([0-9.]+)", ""},
                                  {"never here", "down ([0-9.]+)"}};
    std::vector<logfileDependency_t *> rules{rule(ruleExprs[0][0], ruleExprs[0][1], "$1", "logtest.example"),
                                             rule(ruleExprs[1][0], ruleExprs[1][1], "$1", "$2"),
                                             rule(ruleExprs[2][0], ruleExprs[2][1], "$1", "logtest.example"),
                                             rule(ruleExprs[3][0], ruleExprs[3][1], "$1", "logtest.example")};
    std::vector<std::pair<logfileMonitor_t *, size_t>> monitors; // and where each joined
    auto monitor = [&](const char *expr, size_t from) {
        logfileMonitor_t m{};
        qelCopyField(m.filename, log.c_str());
        qelCopyField(m.expression, expr);
        EXPECT_EQ(addLogfileMonitor(&m), 1);
        monitors.emplace_back(static_cast<logfileMonitor_t *>(lfmList->head->data), from);
    };
    for (const char *e : {"connect from ([0-9.]+)", "^relay (\\S+)", "ab\ncd", "line 1[0-9]*5$", ""})
        monitor(e, 0);
    auto feed = logtail::feeds().feedOf(rules[0]);
    ASSERT_TRUE(feed);
    auto drainFeed = [&](size_t stepBytes) {
        logtail::StepResult r;
        int steps = 0;
        do {
            logtail::lockFeedLists();
            r = feed->step(time(nullptr), stepBytes, std::chrono::steady_clock::now() + 1h);
            logtail::unlockFeedLists();
        } while (r == logtail::kMore && ++steps < 10000);
        EXPECT_EQ(r, logtail::kCaughtUp);
    };
    append(log, text.substr(0, cut1));
    monitor("connect from", cut1); // joins within a line
    append(log, text.substr(cut1, cut2 - cut1));
    drainFeed(200000);
    append(log, text.substr(cut2));
    drainFeed(logtail::kStepBytes);

    for (size_t i = 0; i < rules.size(); ++i) {
        auto *r = rules[i];
        const Want w = expected(ruleExprs[i][0], ruleExprs[i][1], 0, true);
        check(w, r->numLines, r->numMatches, r->lastOffset, r->lastMatchOffset, r->lastMatchStr, r->addExpression);
        EXPECT_EQ(r->lastAddRemove, w.which) << r->addExpression;
    }
    for (auto [m, from] : monitors) {
        const Want w = expected(*m->expression ? m->expression : "(*FAIL)", "", from, false);
        EXPECT_GT(w.lines, 0);
        check(w, m->numLines, m->numMatches, m->lastOffset, m->lastMatchOffset, m->lastMatchStr, m->expression);
    }
    EXPECT_GT(getSizeOfGraph(theGraph), 10);
}

// Lines that fail to match (not merely match nothing) are reported once a
// pass with their count, however many steps the pass takes.
TEST_F(LogfileRules, FailedMatchesAreReportedOncePerPass) {
    auto *ru = rule("never", "(*UTF)caf.", "192.0.2.9", "logtest.example");
    logfileMonitor_t m{};
    qelCopyField(m.filename, log.c_str());
    qelCopyField(m.expression, "(*UTF)caf.");
    ASSERT_EQ(addLogfileMonitor(&m), 1);
    auto *mon = static_cast<logfileMonitor_t *>(lfmList->head->data);
    const std::string bad = "caf\xff\xfe\n", filler = lines("filler filler filler filler", 40000);
    append(log, bad + filler + bad + filler + "cafe\n" + bad);
    auto feed = logtail::feeds().feedOf(mon);
    ASSERT_TRUE(feed);
    testing::internal::CaptureStderr();
    logtail::StepResult r;
    int steps = 0;
    do {
        logtail::lockFeedLists();
        r = feed->step(time(nullptr), 1, std::chrono::steady_clock::now() + 1h);
        logtail::unlockFeedLists();
        ++steps;
    } while (r == logtail::kMore && steps < 100);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(r, logtail::kCaughtUp);
    EXPECT_GE(steps, 3);
    EXPECT_EQ(mon->numMatches, 1);
    EXPECT_EQ(ru->numMatches, 1);
    size_t reports = 0;
    for (size_t at = err.find("lines failed to match"); at != std::string::npos;
         at = err.find("lines failed to match", at + 1))
        ++reports;
    EXPECT_EQ(reports, 2u) << err;
    for (const char *who : {"logfile monitor: ", "depend logfile: "}) {
        const std::string want = who + log + ": 3 lines failed to match '(*UTF)caf.': UTF-8 error";
        EXPECT_NE(err.find(want), std::string::npos) << err;
    }
}

TEST_F(LogfileRules, TablesAnswerByStarAndExactKey) {
    auto *r = rule("connect from ([0-9.]+)", "gone ([0-9.]+)", "$1", "logtest.example");
    logfileMonitor_t m{};
    qelCopyField(m.filename, log.c_str());
    qelCopyField(m.expression, "connect");
    qelCopyField(m.description, "connections");
    ASSERT_EQ(addLogfileMonitor(&m), 1);
    append(log, "a connect from 192.0.2.5\n");
    scanLogfiles();
    scanLogfileEntries();
    ASSERT_EQ(r->numMatches, 1);

    std::vector<qelVar_t> defs(19);
    std::vector<qelVariable_t> cols(19);
    for (unsigned i = 0; i < 19; ++i) {
        defs[i] = qelVar_t{};
        defs[i].hint = i + 1;
        cols[i] = qelVariable_t{};
        cols[i].entryPtr = &defs[i];
        cols[i].next = i + 1 < 19 ? &cols[i + 1] : nullptr;
    }
    auto values = [](qelPdu_t &pdu) {
        std::vector<std::string> v;
        for (qelVariable_t *x = pdu.varList; x; x = x->next)
            v.emplace_back(x->valueBuf ? std::string(x->valueBuf, static_cast<size_t>(x->valueStrLen))
                                       : std::string(x->valueStr, static_cast<size_t>(x->valueStrLen)));
        return v;
    };
    qelPdu_t pdu{};
    char star[] = "*";
    EXPECT_EQ(var_lfDependTable(star, cols.data(), &pdu), noError);
    ASSERT_EQ(pdu.numberVariables, 19);
    auto v = values(pdu);
    EXPECT_EQ(v[0], log);
    EXPECT_EQ(v[1], "6");
    EXPECT_EQ(v[11], "1");
    EXPECT_EQ(v[15], "1");
    EXPECT_EQ(v[17], "1");
    int len = 0;
    char *dec = base64_decode(v[14].data(), static_cast<int>(v[14].size()), &len);
    ASSERT_NE(dec, nullptr);
    EXPECT_EQ(std::string(dec, static_cast<size_t>(len)), "connect from 192.0.2.5");
    std::free(dec);
    std::string key = std::string(pdu.varList->varName.key);
    EXPECT_EQ(key, "6." + log + ".connect from ([0-9.]+).gone ([0-9.]+)");
    qelPduCleanup(&pdu);

    pdu = qelPdu_t{};
    std::string other = "7." + key.substr(2);
    EXPECT_EQ(var_lfDependTable(other.data(), cols.data(), &pdu), noError);
    EXPECT_EQ(pdu.numberVariables, 0);
    qelPduCleanup(&pdu);

    // Monitors: 12 columns; 13 is refused.
    cols[11].next = nullptr;
    pdu = qelPdu_t{};
    std::string mkey = log + ".connect";
    pdu.maxRows = 1;
    EXPECT_EQ(var_lfMonTable(mkey.data(), cols.data(), &pdu), noError);
    EXPECT_EQ(pdu.errorStatus, noErrorMoreData);
    v = values(pdu);
    ASSERT_EQ(v.size(), 12u);
    EXPECT_EQ(v[5], "1");
    EXPECT_EQ(v[10], "1");
    EXPECT_EQ(v[11], "connections");
    qelPduCleanup(&pdu);
    cols[11].next = &cols[12];
    pdu = qelPdu_t{};
    EXPECT_EQ(var_lfMonTable(star, cols.data(), &pdu), noSuchName);
    EXPECT_EQ(pdu.errorIndex, 12);
    qelPduCleanup(&pdu);
}
