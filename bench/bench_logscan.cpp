// link: kestrova_frame kestrova_core qelhost -Wl,--export-dynamic-symbol=mib2GetAddressList
// Log-file monitors and rules scanning a syslog-like backlog: one read of
// the file for all the records naming it, every line matched by each
// record's expressions (half of them never match). Reports lines per second
// and ns per line per expression, from 1 to 64 monitors or rules on one file
// and from 10^5 to 10^7 lines; each expression alone; one 100 MiB line; a 1 GiB backlog read by a
// rule and a monitor (resident-memory growth and the longest wait for the
// list locks while it is read); and the graph add per matched line as the
// number of distinct dependencies grows from 1 to 10,000. Floors: the read
// of the file by itself (BM_ReadFloor), which a record alone on its file
// pays per line in full and 64 records on one file share, and under it a
// plain copy of the same bytes from memory (BM_CopyFloor).
//
// As in the agent, where mib2 is loaded before kestrova, the local-host
// tests find mib2's address list (this program lends one);
// LOGSCAN_NO_ADDRESS_LIST=1 leaves it out, as an agent without mib2.
//
//   bench_logscan [--benchmark_filter=...]
//   LOGSCAN_WRITE=path bench_logscan   writes the 10^6-line input and exits
//                                      (the same file logscan_compare.sh uses;
//                                      LOGSCAN_LINES=n for another count)
// Needs about 2.2 GB free in the temporary directory for the largest inputs.
#include <benchmark/benchmark.h>

#include <dlfcn.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <thread>
#include <random>
#include <string>
#include <vector>

#include "depend_logfile.h"
#include "dependency.h"
#include "graph.h"
#include "kestrova.h"
#include "logtail.h"
#include "qelhost.h"
#include "sysinfo_logfile.h"
#include "vertex.h"

// mib2's address list, as the local-host tests find it by name (addresses
// the input never names).
extern "C" __attribute__((visibility("default"))) int mib2GetAddressList(char *addrlist, int maxlen) {
    static const char kList[] = "127.0.0.1,203.0.113.7,::1,2001:db8:ffff::7,";
    if (!addrlist || maxlen < static_cast<int>(sizeof kList))
        return -1;
    std::memcpy(addrlist, kList, sizeof kList);
    return 1;
}

namespace {

// ~100-byte lines: sshd, postfix, cron, kernel; 20% carry
// "connect from host[192.0.2.x]". Made a line at a time, so any size can
// be written in pieces.
class SyslogGen {
public:
    void line(std::string &out) {
        char line[256];
        unsigned r = rng_() % 5, h = rng_() % 250 + 2, p = rng_() % 30000 + 1000;
        int sec = static_cast<int>(i_ % 60), min = static_cast<int>(i_ / 60 % 60);
        ++i_;
        switch (r) {
        case 0:
            std::snprintf(
                line, sizeof line,
                "Dec  8 12:%02d:%02d mailhost postfix/smtpd[%u]: connect from client%u.example.net[192.0.2.%u]\n", min,
                sec, p, h, h);
            break;
        case 1:
            std::snprintf(line, sizeof line,
                          "Dec  8 12:%02d:%02d mailhost sshd[%u]: Accepted publickey for deploy from 198.51.100.%u "
                          "port %u ssh2\n",
                          min, sec, p, h, p + 20000);
            break;
        case 2:
            std::snprintf(
                line, sizeof line,
                "Dec  8 12:%02d:%02d mailhost CRON[%u]: (root) CMD (test -x /usr/sbin/anacron || run-parts)\n", min,
                sec, p);
            break;
        case 3:
            std::snprintf(line, sizeof line,
                          "Dec  8 12:%02d:%02d mailhost kernel: [%u.%06u] eth0: renamed queue %u rx packets %u\n", min,
                          sec, p, h * 997, h, p * 3);
            break;
        default:
            std::snprintf(
                line, sizeof line,
                "Dec  8 12:%02d:%02d mailhost postfix/qmgr[%u]: 4F2A%05u: from=<bounce%u@example.org>, size=%u\n", min,
                sec, p, p, h, p * 7);
        }
        out += line;
    }

private:
    std::mt19937 rng_{42};
    size_t i_ = 0;
};

// Writes lines until there are `lines` of them, or (lines 0) until the file
// holds at least minBytes; the number of lines written, or -1.
long long writeSyslog(const std::string &path, size_t lines, size_t minBytes = 0) {
    FILE *f = std::fopen(path.c_str(), "w");
    if (!f)
        return -1;
    SyslogGen gen;
    std::string chunk;
    size_t n = 0, bytes = 0;
    while (lines ? n < lines : bytes < minBytes) {
        gen.line(chunk);
        ++n;
        if (chunk.size() >= (1u << 20)) {
            bytes += std::fwrite(chunk.data(), 1, chunk.size(), f);
            chunk.clear();
        }
    }
    bytes += std::fwrite(chunk.data(), 1, chunk.size(), f);
    return std::fclose(f) == 0 ? static_cast<long long>(n) : -1;
}

const char *kMatching[] = {"connect from [^[]*\\[([0-9.]+)\\]", "Accepted \\S+ for (\\S+) from ([0-9.]+)",
                           "CRON\\[\\d+\\]: \\((\\w+)\\) CMD", "eth0: renamed queue (\\d+)"};
const char *kNever[] = {"segfault at [0-9a-f]+ ip", "authentication failure;.*user=root",
                        "Out of memory: Killed process (\\d+)", "status=bounced \\((.*)\\)"};

std::string dirPath() {
    static std::string dir = [] {
        char tmpl[] = "/tmp/bench-logscan-XXXXXX";
        const char *d = mkdtemp(tmpl);
        return std::string(d ? d : "/tmp");
    }();
    return dir;
}

// The input file of n lines, written once (the largest is removed when a
// benchmark of another size needs room).
std::string inputFile(size_t n) {
    static std::map<size_t, std::string> files;
    auto it = files.find(n);
    if (it != files.end())
        return it->second;
    std::string path = dirPath() + "/syslog-" + std::to_string(n);
    writeSyslog(path, n);
    files[n] = path;
    return path;
}

// No name is looked up: the addresses in the lines stand for their hosts.
void noLookups() {
    qelhost::NameResolvers r;
    r.ipAddr = r.nameAddr = [](const std::string &, std::string &) { return -1; };
    r.ipv4 = [](const std::string &) -> uint32_t { return 0; };
    r.ipv6 = [](const std::string &, in6_addr *) { return -1; };
    qelhost::setNameResolvers(r);
}

// The graph the rules add to: this host only, at first.
void setUpGraph() {
    static bool done = false;
    if (done)
        return;
    done = true;
    noLookups();
    if (!std::getenv("LOGSCAN_NO_ADDRESS_LIST"))
        if (void *self = dlopen(nullptr, RTLD_NOW))
            qelhost::addSymbolSource(self);
    std::snprintf(myhostname, sizeof myhostname, "%s", "bench.example");
    theGraph = graphNew("bench graph");
    myVertex = vertexNew(myhostname);
    myVertex->reachable = 1;
    graphInsertNode(theGraph, myVertex);
    init_depend_logfiles();
    init_logfile_monitors();
}

// Beyond the first eight, each expression gets a distinct text that
// matches exactly as the original: a comment at its end. (Trailing spaces,
// used before, made most of the matching expressions beyond the eighth
// match nothing, so the larger sets were mostly never matching.)
std::string distinctSuffix(int i) {
    return i >= 8 ? "(?#" + std::to_string(i / 8) + ")" : std::string();
}

// Client templates of the matching expressions: the address where there
// is one.
const char *kClients[] = {"$1", "$2", "$1", "$1"};

// Rules on one file: half with a matching add expression (each match adds
// or refreshes a dependency), half never matching.
// only (>= 0): every rule takes that one of the eight expressions.
void addRules(const std::string &path, int count, int only = -1) {
    pruneLogfileDependencyEntries();
    for (int i = 0; i < count; ++i) {
        logfileDependency_t r{};
        std::snprintf(r.filename, sizeof r.filename, "%s", path.c_str());
        r.dtype = 10;
        const int which = only >= 0 ? (only < 4 ? 2 * only : 2 * (only - 4) + 1) : i;
        const char *e = which % 2 == 0 ? kMatching[(which / 2) % 4] : kNever[(which / 2) % 4];
        std::snprintf(r.addExpression, sizeof r.addExpression, "%s%s", e, distinctSuffix(i).c_str());
        std::snprintf(r.dependClient, sizeof r.dependClient, "%s", which % 2 == 0 ? kClients[(which / 2) % 4] : "$1");
        std::snprintf(r.dependServer, sizeof r.dependServer, "%s", "localhost");
        std::snprintf(r.args, sizeof r.args, "rule %d", i);
        r.timeout = 3600;
        addLogfileDependency(&r);
    }
}

// Resident memory now and its peak since the last reset (KiB).
long statusKiB(const char *field) {
    FILE *f = std::fopen("/proc/self/status", "r");
    if (!f)
        return -1;
    char line[256];
    long v = -1;
    size_t n = std::strlen(field);
    while (std::fgets(line, sizeof line, f))
        if (std::strncmp(line, field, n) == 0 && line[n] == ':')
            v = std::strtol(line + n + 1, nullptr, 10);
    std::fclose(f);
    return v;
}

void resetPeakRss() {
    FILE *f = std::fopen("/proc/self/clear_refs", "w");
    if (f) {
        std::fputs("5", f);
        std::fclose(f);
    }
}

// Measures, while it lives, the longest wait to take both list locks, the
// way a table request takes them.
class LockWatch {
public:
    LockWatch()
        : t_([this] {
              while (!stop_.load()) {
                  auto t0 = std::chrono::steady_clock::now();
                  {
                      logtail::ListWaiter waiting; // as the table handlers do
                      listLock(lfList);
                      listUnlock(lfList);
                      listLock(lfmList);
                      listUnlock(lfmList);
                  }
                  double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
                  if (ms > maxMs_)
                      maxMs_ = ms;
                  std::this_thread::sleep_for(std::chrono::milliseconds(2));
              }
          }) {}
    double stop() {
        stop_ = true;
        t_.join();
        return maxMs_;
    }

private:
    std::atomic<bool> stop_{false};
    double maxMs_ = 0;
    std::thread t_;
};

long maxRssKiB() {
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss;
}

// Monitors on a file that appears after they are added read it from its
// start. Without expressions a monitor only counts the lines.
// only (>= 0): every monitor takes that one of the eight expressions (the
// four matching ones, then the four never matching).
void addMonitors(const std::string &path, int count, bool withExpressions = true, int only = -1) {
    pruneLogfileMonitors();
    for (int i = 0; i < count; ++i) {
        logfileMonitor_t m{};
        std::snprintf(m.filename, sizeof m.filename, "%s", path.c_str());
        const char *e = only >= 0    ? (only < 4 ? kMatching[only % 4] : kNever[only % 4])
                        : i % 2 == 0 ? kMatching[(i / 2) % 4]
                                     : kNever[(i / 2) % 4];
        if (withExpressions)
            std::snprintf(m.expression, sizeof m.expression, "%s%s", e, distinctSuffix(i).c_str());
        addLogfileMonitor(&m);
    }
}

// Each iteration scans the whole file with count fresh monitors; answers
// the lines the last iteration's monitors counted together, and prunes them.
int64_t scanWithMonitors(benchmark::State &state, size_t lines, int count, bool withExpressions, int only = -1) {
    init_logfile_monitors();
    std::string path = inputFile(lines);
    std::string hold = path + ".hold";
    int64_t seen = 0;
    for (auto _ : state) {
        state.PauseTiming();
        std::rename(path.c_str(), hold.c_str());
        addMonitors(path, count, withExpressions, only);
        std::rename(hold.c_str(), path.c_str());
        state.ResumeTiming();
        scanLogfileEntries();
    }
    int64_t matched = 0;
    listLock(lfmList);
    for (linkedElement_t *e = lfmList->head; e; e = e->next) {
        seen += static_cast<logfileMonitor_t *>(e->data)->numLines;
        matched += static_cast<logfileMonitor_t *>(e->data)->numMatches;
    }
    listUnlock(lfmList);
    pruneLogfileMonitors();
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(lines));
    // The share of (line, expression) pairs that matched: the mix, which
    // must be alike across counts for their costs to compare.
    if (seen > 0)
        state.counters["matched"] = static_cast<double>(matched) / static_cast<double>(seen);
    return seen;
}

void BM_Monitors(benchmark::State &state) {
    const size_t lines = static_cast<size_t>(state.range(0));
    const int monitors = static_cast<int>(state.range(1));
    int64_t seen = scanWithMonitors(state, lines, monitors, true);
    if (seen != static_cast<int64_t>(lines) * monitors)
        state.SkipWithError("lines lost");
    // Seconds per line per expression (printed with an SI prefix: "n" = ns).
    state.counters["s_per_line_expr"] =
        benchmark::Counter(static_cast<double>(lines) * monitors * static_cast<double>(state.iterations()),
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_Monitors)
    ->ArgsProduct({{100000, 1000000}, {1, 4, 16, 64}})
    ->Args({10000000, 1})
    ->Args({10000000, 4})
    ->Args({10000000, 64})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// Each expression of the mix alone, one monitor: what one expression costs
// per line depends on the expression, so the mix at 1 (one matching
// expression) and at 4 or more (half never matching) differ by that too.
void BM_OneExpression(benchmark::State &state) {
    const size_t lines = 1000000;
    const int which = static_cast<int>(state.range(0));
    if (scanWithMonitors(state, lines, 1, true, which) != static_cast<int64_t>(lines))
        state.SkipWithError("lines lost");
    state.SetLabel(which < 4 ? kMatching[which] : kNever[which - 4]);
    state.counters["s_per_line"] =
        benchmark::Counter(static_cast<double>(lines) * static_cast<double>(state.iterations()),
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_OneExpression)->DenseRange(0, 7)->Unit(benchmark::kMillisecond)->UseRealTime();

// The floor under the monitors: one monitor without an expression, which
// only counts the lines (the read, the line splitting and the hand-over).
void BM_ReadOnly(benchmark::State &state) {
    const size_t lines = static_cast<size_t>(state.range(0));
    if (scanWithMonitors(state, lines, 1, false) != static_cast<int64_t>(lines))
        state.SkipWithError("lines lost");
    state.counters["s_per_line"] =
        benchmark::Counter(static_cast<double>(lines) * static_cast<double>(state.iterations()),
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_ReadOnly)->Arg(100000)->Arg(1000000)->Arg(10000000)->Unit(benchmark::kMillisecond)->UseRealTime();

// The tailer's read buffer (1 MiB).
constexpr size_t kTailerBufferKiB = 1024;

// Under BM_ReadOnly: the file read from the page cache into one buffer of
// the tailer's size (the second argument, in KiB), nothing else.
// What a single record pays per line that 64 records on one file share; it
// does not depend on the expressions, so no speed-up of the matching
// removes it.
void BM_ReadFloor(benchmark::State &state) {
    const size_t lines = static_cast<size_t>(state.range(0));
    std::string path = inputFile(lines);
    std::vector<char> buf(static_cast<size_t>(state.range(1)) << 10);
    uint64_t bytes = 0;
    for (auto _ : state) {
        FILE *f = std::fopen(path.c_str(), "r");
        if (!f) {
            state.SkipWithError("cannot open the input");
            return;
        }
        const int fd = fileno(f);
        off_t off = 0;
        for (;;) {
            ssize_t n = pread(fd, buf.data(), buf.size(), off);
            if (n <= 0)
                break;
            off += n;
        }
        std::fclose(f);
        bytes = static_cast<uint64_t>(off);
        benchmark::DoNotOptimize(buf.data());
    }
    state.counters["bytes_per_line"] = static_cast<double>(bytes) / static_cast<double>(lines);
    state.counters["s_per_line"] =
        benchmark::Counter(static_cast<double>(lines) * static_cast<double>(state.iterations()),
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_ReadFloor)
    ->ArgsProduct({{100000, 1000000, 10000000}, {kTailerBufferKiB}})
    ->ArgsProduct({{1000000}, {64, 256, 4096}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// The same bytes copied in user space from memory already mapped and
// touched (no system call, no page-cache look-up) into that buffer: the
// copy's own floor, set by the memory's bandwidth once the text no longer
// fits the caches.
void BM_CopyFloor(benchmark::State &state) {
    const size_t lines = static_cast<size_t>(state.range(0));
    std::string text;
    {
        SyslogGen gen;
        for (size_t i = 0; i < lines; ++i)
            gen.line(text);
    }
    std::vector<char> buf(kTailerBufferKiB << 10);
    for (auto _ : state) {
        for (size_t off = 0; off < text.size(); off += buf.size()) {
            const size_t n = std::min(buf.size(), text.size() - off);
            std::memcpy(buf.data(), text.data() + off, n);
            benchmark::DoNotOptimize(buf.data());
        }
    }
    state.counters["s_per_line"] =
        benchmark::Counter(static_cast<double>(lines) * static_cast<double>(state.iterations()),
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_CopyFloor)->Arg(100000)->Arg(1000000)->Arg(10000000)->Unit(benchmark::kMillisecond)->UseRealTime();

// Rules on one file, likewise: the matching half adds or refreshes a
// dependency in the graph for each matched line (20% of the lines for the
// first expression, 20% for the second, ...).
void BM_Rules(benchmark::State &state) {
    const size_t lines = static_cast<size_t>(state.range(0));
    const int rules = static_cast<int>(state.range(1));
    const int only = state.range(2) < 0 ? -1 : static_cast<int>(state.range(2));
    setUpGraph();
    std::string path = inputFile(lines);
    std::string hold = path + ".hold";
    for (auto _ : state) {
        state.PauseTiming();
        std::rename(path.c_str(), hold.c_str());
        addRules(path, rules, only);
        std::rename(hold.c_str(), path.c_str());
        state.ResumeTiming();
        scanLogfiles();
    }
    int64_t seen = 0, matched = 0;
    listLock(lfList);
    for (linkedElement_t *e = lfList->head; e; e = e->next) {
        seen += static_cast<logfileDependency_t *>(e->data)->numLines;
        matched += static_cast<logfileDependency_t *>(e->data)->numMatches;
    }
    listUnlock(lfList);
    if (seen > 0)
        state.counters["matched"] = static_cast<double>(matched) / static_cast<double>(seen);
    pruneLogfileDependencyEntries();
    if (seen != static_cast<int64_t>(lines) * rules)
        state.SkipWithError("lines lost");
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(lines));
    state.counters["s_per_line_expr"] =
        benchmark::Counter(static_cast<double>(lines) * rules * static_cast<double>(state.iterations()),
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
// The third argument, when not -1: one rule with that one of the eight
// expressions (as BM_OneExpression for monitors).
BENCHMARK(BM_Rules)
    ->ArgsProduct({{100000, 1000000}, {1, 4, 16, 64}, {-1}})
    ->ArgsProduct({{1000000}, {1}, {0, 1, 2, 3, 4, 5, 6, 7}})
    ->Args({10000000, 1, -1})
    ->Args({10000000, 64, -1})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// A 1 GiB backlog appended at once, read by a rule and a monitor on the
// file: resident-memory growth while it is read, and the longest wait for
// the list locks meanwhile (the scan lets go of them between steps).
void BM_Backlog(benchmark::State &state) {
    setUpGraph();
    std::string path = dirPath() + "/backlog";
    long long lines = writeSyslog(path, 0, 1ull << 30);
    if (lines < 0) {
        state.SkipWithError("cannot write the backlog");
        return;
    }
    std::string hold = path + ".hold";
    double maxWait = 0;
    long growth = 0;
    for (auto _ : state) {
        state.PauseTiming();
        std::rename(path.c_str(), hold.c_str());
        addRules(path, 1);
        addMonitors(path, 1);
        std::rename(hold.c_str(), path.c_str());
        resetPeakRss();
        long rss0 = statusKiB("VmRSS");
        LockWatch watch;
        state.ResumeTiming();
        scanLogfiles();
        state.PauseTiming();
        maxWait = std::max(maxWait, watch.stop());
        growth = std::max(growth, statusKiB("VmHWM") - rss0);
        state.ResumeTiming();
    }
    auto *m = static_cast<logfileMonitor_t *>(lfmList->head->data);
    auto *r = static_cast<logfileDependency_t *>(lfList->head->data);
    if (m->numLines != lines || r->numLines != lines)
        state.SkipWithError("lines lost");
    pruneLogfileDependencyEntries();
    pruneLogfileMonitors();
    unlink(path.c_str());
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * lines);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * (1LL << 30));
    state.counters["rss_growth_KiB"] = static_cast<double>(growth);
    state.counters["max_lock_wait_ms"] = maxWait;
    // Most of the growth is the graph's: the rule adds a dependency record
    // for each distinct client it names (a monitor alone grows by ~140 KiB).
    state.counters["edges"] = getSizeOfGraph(theGraph);
}
BENCHMARK(BM_Backlog)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

// The graph add per matched line as the graph grows: every line matches and
// names one of N distinct clients (198.18.0.0/15, the benchmarking range).
// An untimed first scan adds the N dependencies; the timed scans find and
// refresh them, once per line (name_misses: name look-ups the cache did
// not answer, per timed scan). Compare sizes with
// --benchmark_enable_random_interleaving=true.
void BM_GraphAdd(benchmark::State &state) {
    const int distinct = static_cast<int>(state.range(0));
    const int lines = 100000;
    setUpGraph();
    std::string path = dirPath() + "/graphadd-" + std::to_string(distinct);
    {
        std::string text;
        char line[128];
        for (int i = 0; i < lines; ++i) {
            int c = i % distinct;
            std::snprintf(line, sizeof line,
                          "Dec  8 12:00:00 gate sshd[42]: Accepted publickey for ops from 198.18.%d.%d port 22\n",
                          c / 256, c % 256);
            text += line;
        }
        FILE *f = std::fopen(path.c_str(), "w");
        if (!f) {
            state.SkipWithError("cannot write the input");
            return;
        }
        std::fwrite(text.data(), 1, text.size(), f);
        std::fclose(f);
    }
    std::string hold = path + ".hold";
    auto addRule = [&] {
        pruneLogfileDependencyEntries();
        logfileDependency_t r{};
        std::snprintf(r.filename, sizeof r.filename, "%s", path.c_str());
        r.dtype = 10;
        std::snprintf(r.addExpression, sizeof r.addExpression, "%s", "Accepted \\S+ for \\S+ from ([0-9.]+) port");
        std::snprintf(r.dependClient, sizeof r.dependClient, "%s", "$1");
        std::snprintf(r.dependServer, sizeof r.dependServer, "%s", "localhost");
        std::snprintf(r.args, sizeof r.args, "%s", "ssh");
        r.timeout = 3600;
        std::rename(path.c_str(), hold.c_str());
        addLogfileDependency(&r);
        std::rename(hold.c_str(), path.c_str());
    };
    addRule();
    scanLogfiles();
    const auto names0 = qelhost::nameCacheStats();
    for (auto _ : state) {
        state.PauseTiming();
        addRule();
        state.ResumeTiming();
        scanLogfiles();
    }
    const double scans = static_cast<double>(state.iterations());
    state.counters["name_misses"] = static_cast<double>(qelhost::nameCacheStats().misses - names0.misses) / scans;
    auto *rule = static_cast<logfileDependency_t *>(lfList->head->data);
    if (rule->numMatches != lines)
        state.SkipWithError("lines not matched");
    pruneLogfileDependencyEntries();
    unlink(path.c_str());
    state.counters["edges"] = getSizeOfGraph(theGraph);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * lines);
    state.counters["s_per_matched_line"] =
        benchmark::Counter(static_cast<double>(lines) * static_cast<double>(state.iterations()),
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_GraphAdd)->Arg(1)->Arg(10)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond)->UseRealTime();

// One line of 100 MiB among ordinary ones: matched once on its start, the
// rest skipped; memory stays bounded.
void BM_LongLine(benchmark::State &state) {
    init_logfile_monitors();
    std::string path = dirPath() + "/longline";
    {
        FILE *f = std::fopen(path.c_str(), "w");
        std::string chunk(1 << 20, 'x');
        std::fputs("before connect from a[192.0.2.1]\n", f);
        for (int i = 0; i < 100; ++i)
            std::fwrite(chunk.data(), 1, chunk.size(), f);
        std::fputs("\nafter connect from b[192.0.2.2]\n", f);
        std::fclose(f);
    }
    long rss0 = maxRssKiB();
    std::string hold = path + ".hold";
    for (auto _ : state) {
        state.PauseTiming();
        std::rename(path.c_str(), hold.c_str());
        addMonitors(path, 1);
        std::rename(hold.c_str(), path.c_str());
        state.ResumeTiming();
        scanLogfileEntries();
    }
    auto *m = static_cast<logfileMonitor_t *>(lfmList->head->data);
    if (m->numLines != 3 || m->numMatches != 2)
        state.SkipWithError("long line miscounted");
    pruneLogfileMonitors();
    state.counters["rss_growth_KiB"] = static_cast<double>(maxRssKiB() - rss0);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * (100LL << 20));
    unlink(path.c_str());
}
BENCHMARK(BM_LongLine)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

} // namespace

int main(int argc, char **argv) {
    if (argc == 2 && std::string(argv[1]) == "--help") {
        std::puts(
            "Usage: bench_logscan [google benchmark options]\n"
            "  LOGSCAN_WRITE=path bench_logscan  writes the 10^6-line input to path and exits");
        return 0;
    }
    if (const char *out = std::getenv("LOGSCAN_WRITE")) {
        size_t n = 1000000;
        if (const char *lines = std::getenv("LOGSCAN_LINES"))
            n = std::strtoull(lines, nullptr, 10);
        return writeSyslog(out, n) < 0 ? 1 : 0;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::string cmd = "rm -rf " + dirPath();
    return std::system(cmd.c_str()) == 0 ? 0 : 0;
}
