// Load on a running qeld: concurrent sessions sending one-variable gets and
// 1,000-row selects to the test plug-in. Reports requests per second,
// per-session p50/p99 latency, and the agent's RSS and CPU seconds.
#include <algorithm>
#include <benchmark/benchmark.h>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "qel/qel.h"
#include "qel/qel_session.h"
#include "qel/ssl_utils.h"
#include "qel/strutil.h"

namespace {

std::string buildDir() {
    char exe[4096] = {};
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    std::string p(exe, n > 0 ? static_cast<size_t>(n) : 0);
    p = p.substr(0, p.rfind('/')); // build/bench
    return p.substr(0, p.rfind('/'));
}

struct AgentProc {
    std::string home;
    pid_t pid = -1;
    int port = 0;

    bool start() {
        char tmpl[] = "/tmp/qeldbench.XXXXXX";
        if (!mkdtemp(tmpl))
            return false;
        home = tmpl;
        std::string b = buildDir();
        std::string ca = b + "/bin/qelca init " + home + " >/dev/null";
        if (std::system(ca.c_str()) != 0)
            return false;
        pid = fork();
        if (pid == 0) {
            std::string out = home + "/qeld.out";
            freopen(out.c_str(), "a", stdout);
            freopen(out.c_str(), "a", stderr);
            std::string qeld = b + "/bin/qeld", plugin = b + "/tests/plugins/testplugin-linux.so";
            execl(qeld.c_str(), qeld.c_str(), "-f", "-p", "0", "-l", "127.0.0.1", "-H", home.c_str(), "--max-sessions",
                  "200", plugin.c_str(), nullptr);
            _exit(127);
        }
        for (int i = 0; i < 600; ++i) {
            std::ifstream log(home + "/qeld.log");
            std::stringstream ss;
            ss << log.rdbuf();
            if (ss.str().find("qeld ready") != std::string::npos) {
                std::ifstream pf(home + "/qeld.port");
                pf >> port;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        if (port <= 0)
            return false;
        set_ssl_home_dir(home.c_str());
        char fqdn[512];
        get_fqdn(fqdn, sizeof fqdn);
        return init_ssl_stuff(fqdn, "bench.pem", "bench.csr") == 1;
    }

    double rssMiB() const {
        std::ifstream st("/proc/" + std::to_string(pid) + "/status");
        std::string line;
        while (std::getline(st, line))
            if (line.rfind("VmRSS:", 0) == 0)
                return std::atof(line.c_str() + 6) / 1024.0;
        return 0;
    }

    double cpuSeconds() const {
        std::ifstream st("/proc/" + std::to_string(pid) + "/stat");
        std::string all((std::istreambuf_iterator<char>(st)), std::istreambuf_iterator<char>());
        auto close = all.rfind(')');
        std::istringstream in(all.substr(close + 2));
        std::string f;
        unsigned long long utime = 0, stime = 0;
        for (int i = 3; i <= 15 && in >> f; ++i) {
            if (i == 14)
                utime = std::stoull(f);
            if (i == 15)
                stime = std::stoull(f);
        }
        return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
    }

    ~AgentProc() {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
        if (!home.empty())
            std::system(("rm -rf " + home).c_str());
    }
};

AgentProc *agent() {
    // A static object: its destructor stops the agent when the program ends.
    static AgentProc a;
    static bool started = [] {
        if (!a.start()) {
            std::fprintf(stderr, "bench_agent: cannot start qeld\n");
            std::exit(1);
        }
        return true;
    }();
    (void)started;
    return &a;
}

void addVar(qelPdu_t &pdu, const char *mib, const char *obj) {
    qelAddVariable(&pdu, mib, obj, nullptr, nullSyntax, nullptr);
}

void run(benchmark::State &state, bool select) {
    AgentProc *a = agent();
    double cpu0 = state.thread_index() == 0 ? a->cpuSeconds() : 0;
    qelSession_t *s = newQelSessionConnectHostname("127.0.0.1", 4, a->port, 3, "bench");
    if (!s) {
        state.SkipWithError("connect failed");
        return;
    }
    qelPdu_t req{};
    if (select) {
        req.msgType = SelectTableRequest;
        qelCopyField(req.tableMib, "testplug");
        qelCopyField(req.tableName, "rowTable");
        qelCopyField(req.tableKey, "*");
        addVar(req, "testplug", "rowIndex");
    } else {
        req.msgType = GetRequest;
        addVar(req, "testplug", "greeting");
    }
    std::vector<double> lat;
    for (auto _ : state) {
        qelPdu_t reply{};
        auto t0 = std::chrono::steady_clock::now();
        int r = qelTransaction(s, &req, &reply);
        auto t1 = std::chrono::steady_clock::now();
        if (r != 1 || (select && reply.numberVariables != 1000))
            state.SkipWithError("bad reply");
        qelPduCleanup(&reply);
        lat.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
    }
    qelPduCleanup(&req);
    destroyQelSession(s);
    std::sort(lat.begin(), lat.end());
    if (!lat.empty()) {
        state.counters["p50_us"] = benchmark::Counter(lat[lat.size() / 2], benchmark::Counter::kAvgThreads);
        state.counters["p99_us"] = benchmark::Counter(lat[lat.size() * 99 / 100], benchmark::Counter::kAvgThreads);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
    if (state.thread_index() == 0) {
        state.counters["agent_rss_MiB"] = a->rssMiB();
        state.counters["agent_cpu_s"] = a->cpuSeconds() - cpu0;
    }
}

void BM_AgentGet(benchmark::State &state) {
    run(state, false);
}
void BM_AgentSelect1000(benchmark::State &state) {
    run(state, true);
}

BENCHMARK(BM_AgentGet)->Threads(1)->Threads(8)->Threads(32)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_AgentSelect1000)->Threads(1)->Threads(8)->Threads(32)->UseRealTime()->MinTime(2.0);

} // namespace

BENCHMARK_MAIN();
