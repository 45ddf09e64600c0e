// link: kestrova_frame kestrova_core qelhost
// Log-file monitors scanning a syslog-like backlog: one read of the file per
// monitor, every line matched by each monitor's expression (half of the
// expressions never match). Reports lines per second and ns per line per
// expression, from 1 to 64 monitors on one file; and one 100 MiB line.
//
//   bench_logscan [--benchmark_filter=...]
//   LOGSCAN_WRITE=path bench_logscan   writes the 10^6-line input and exits
//                                      (the same file logscan_compare.sh uses)
#include <benchmark/benchmark.h>

#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "kestrova.h"
#include "logtail.h"
#include "sysinfo_logfile.h"

namespace {

// ~100-byte lines: sshd, postfix, cron, kernel; 20% carry
// "connect from host[192.0.2.x]".
std::string syslogLines(size_t n) {
    std::mt19937 rng(42);
    std::string out;
    out.reserve(n * 104);
    char line[256];
    for (size_t i = 0; i < n; ++i) {
        unsigned r = rng() % 5, h = rng() % 250 + 2, p = rng() % 30000 + 1000;
        int sec = static_cast<int>(i % 60), min = static_cast<int>(i / 60 % 60);
        switch (r) {
        case 0:
            std::snprintf(line, sizeof line,
                          "Dec  8 12:%02d:%02d mailhost postfix/smtpd[%u]: connect from client%u.example.net[192.0.2.%u]\n",
                          min, sec, p, h, h);
            break;
        case 1:
            std::snprintf(line, sizeof line,
                          "Dec  8 12:%02d:%02d mailhost sshd[%u]: Accepted publickey for deploy from 198.51.100.%u port %u ssh2\n",
                          min, sec, p, h, p + 20000);
            break;
        case 2:
            std::snprintf(line, sizeof line,
                          "Dec  8 12:%02d:%02d mailhost CRON[%u]: (root) CMD (test -x /usr/sbin/anacron || run-parts)\n",
                          min, sec, p);
            break;
        case 3:
            std::snprintf(line, sizeof line,
                          "Dec  8 12:%02d:%02d mailhost kernel: [%u.%06u] eth0: renamed queue %u rx packets %u\n",
                          min, sec, p, h * 997, h, p * 3);
            break;
        default:
            std::snprintf(line, sizeof line,
                          "Dec  8 12:%02d:%02d mailhost postfix/qmgr[%u]: 4F2A%05u: from=<bounce%u@example.org>, size=%u\n",
                          min, sec, p, p, h, p * 7);
        }
        out += line;
    }
    return out;
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

// The input file of n lines, written once.
std::string inputFile(size_t n) {
    static std::map<size_t, std::string> files;
    auto it = files.find(n);
    if (it != files.end())
        return it->second;
    std::string path = dirPath() + "/syslog-" + std::to_string(n);
    std::string text = syslogLines(n);
    FILE *f = std::fopen(path.c_str(), "w");
    if (f) {
        std::fwrite(text.data(), 1, text.size(), f);
        std::fclose(f);
    }
    files[n] = path;
    return path;
}

long maxRssKiB() {
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss;
}

// Monitors on a file that appears after they are added read it from its start.
void addMonitors(const std::string &path, int count) {
    pruneLogfileMonitors();
    for (int i = 0; i < count; ++i) {
        logfileMonitor_t m{};
        std::snprintf(m.filename, sizeof m.filename, "%s", path.c_str());
        const char *e = i % 2 == 0 ? kMatching[(i / 2) % 4] : kNever[(i / 2) % 4];
        // Distinct expressions beyond the first eight: same cost, new text.
        std::snprintf(m.expression, sizeof m.expression, "%s%s", e, i >= 8 ? std::string(i / 8, ' ').c_str() : "");
        addLogfileMonitor(&m);
    }
}

void BM_Monitors(benchmark::State &state) {
    const size_t lines = static_cast<size_t>(state.range(0));
    const int monitors = static_cast<int>(state.range(1));
    init_logfile_monitors();
    std::string path = inputFile(lines);
    std::string hold = path + ".hold";
    for (auto _ : state) {
        state.PauseTiming();
        std::rename(path.c_str(), hold.c_str());
        addMonitors(path, monitors);
        std::rename(hold.c_str(), path.c_str());
        state.ResumeTiming();
        scanLogfileEntries();
    }
    int64_t seen = 0;
    listLock(lfmList);
    for (linkedElement_t *e = lfmList->head; e; e = e->next)
        seen += static_cast<logfileMonitor_t *>(e->data)->numLines;
    listUnlock(lfmList);
    pruneLogfileMonitors();
    if (seen != static_cast<int64_t>(lines) * monitors)
        state.SkipWithError("lines lost");
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(lines));
    // Seconds per line per expression (printed with an SI prefix: "n" = ns).
    state.counters["s_per_line_expr"] = benchmark::Counter(
        static_cast<double>(lines) * monitors * static_cast<double>(state.iterations()),
        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_Monitors)
    ->ArgsProduct({{100000, 1000000}, {1, 4, 16, 64}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

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
        std::puts("Usage: bench_logscan [google benchmark options]\n"
                  "  LOGSCAN_WRITE=path bench_logscan  writes the 10^6-line input to path and exits");
        return 0;
    }
    if (const char *out = std::getenv("LOGSCAN_WRITE")) {
        size_t n = 1000000;
        if (const char *lines = std::getenv("LOGSCAN_LINES"))
            n = std::strtoull(lines, nullptr, 10);
        std::string text = syslogLines(n);
        FILE *f = std::fopen(out, "w");
        if (!f)
            return 1;
        std::fwrite(text.data(), 1, text.size(), f);
        return std::fclose(f) == 0 ? 0 : 1;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::string cmd = "rm -rf " + dirPath();
    return std::system(cmd.c_str()) == 0 ? 0 : 0;
}
