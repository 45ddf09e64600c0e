// Round trips over one TLS session on loopback, and the cost of a connect.
// Prints p50/p99 latency beside Google Benchmark's own figures.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "qel/qel.h"
#include "qel/qel_session.h"
#include "qel/ssl_utils.h"
#include "qel/strutil.h"

namespace {

int listenFd = -1;
uint16_t listenPort = 0;

// Echo server: answers each request with a Response holding its variables.
void serveOne(int fd) {
    qelSession_t *s = qelAcceptSession(fd, 5);
    if (!s)
        return;
    std::vector<char> out(256 * 1024);
    for (;;) {
        int n = qelRecvMessage(s);
        if (n < 0)
            break;
        qelPdu_t req{};
        if (parseQelMessage(reinterpret_cast<char *>(s->recvBuf), n, &req) != 1)
            break;
        req.msgType = Response;
        for (qelVariable_t *v = req.varList; v; v = v->next) {
            v->varSyntax = displayString;
            v->valueStrLen = static_cast<int>(qelCopyField(v->valueStr, "Linux bench 6.1 x86_64"));
        }
        int len = buildQelMessage(&req, out.data(), static_cast<int>(out.size()), nullptr);
        qelPduCleanup(&req);
        if (len < 0 || qelSendMessage(s, out.data(), len) != 1)
            break;
    }
    destroyQelSession(s);
}

void startServer() {
    if (listenFd >= 0)
        return;
    std::string dir = std::filesystem::temp_directory_path() / "kestrova-bench-session";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    if (chdir(dir.c_str()) != 0 || make_ca_file("kestrova.pem") != 1) {
        std::fprintf(stderr, "cannot make a CA in %s\n", dir.c_str());
        std::exit(1);
    }
    char fqdn[512];
    get_fqdn(fqdn, sizeof fqdn);
    if (init_ssl_stuff(fqdn, "bench.pem", "bench.csr") != 1)
        std::exit(1);
    listenFd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listenFd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(listenFd, reinterpret_cast<sockaddr *>(&a), &len);
    listenPort = a.sin_port;
    listen(listenFd, 64);
    std::thread([] {
        for (;;) {
            int fd = accept(listenFd, nullptr, nullptr);
            if (fd < 0)
                return;
            std::thread(serveOne, fd).detach();
        }
    }).detach();
}

void oneVarRequest(qelPdu_t &req) {
    std::memset(&req, 0, sizeof req);
    req.msgType = GetRequest;
    req.messageID = 1;
    auto *v = static_cast<qelVariable_t *>(std::calloc(1, sizeof(qelVariable_t)));
    qelCopyField(v->varName.mibName, "core");
    qelCopyField(v->varName.objName, "sysDescr");
    v->varSyntax = nullSyntax;
    req.varList = req.varListTail = v;
    req.numberVariables = 1;
}

double percentile(std::vector<double> &v, double p) {
    if (v.empty())
        return 0;
    size_t i = static_cast<size_t>(p * static_cast<double>(v.size() - 1));
    std::nth_element(v.begin(), v.begin() + static_cast<long>(i), v.end());
    return v[i];
}

void BM_GetRoundTrip(benchmark::State &state) {
    startServer();
    qelSession_t *s = newQelSessionConnectTimeout(htonl(INADDR_LOOPBACK), listenPort, 3, "bench");
    if (!s) {
        state.SkipWithError("connect failed");
        return;
    }
    qelPdu_t req;
    oneVarRequest(req);
    std::vector<double> lat;
    lat.reserve(200000);
    for (auto _ : state) {
        qelPdu_t reply{};
        auto t0 = std::chrono::steady_clock::now();
        int r = qelTransaction(s, &req, &reply);
        lat.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count());
        qelPduCleanup(&reply);
        if (r != 1) {
            state.SkipWithError("exchange failed");
            break;
        }
    }
    state.counters["p50_us"] = percentile(lat, 0.50);
    state.counters["p99_us"] = percentile(lat, 0.99);
    state.counters["round_trips_per_s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    qelPduCleanup(&req);
    destroyQelSession(s);
}
BENCHMARK(BM_GetRoundTrip)->UseRealTime()->MinTime(2.0);

// TCP connect, TLS handshake and certificate check, then close.
void BM_FullConnect(benchmark::State &state) {
    startServer();
    for (auto _ : state) {
        qelSession_t *s = newQelSessionConnectTimeout(htonl(INADDR_LOOPBACK), listenPort, 3, "bench");
        if (!s) {
            state.SkipWithError("connect failed");
            break;
        }
        destroyQelSession(s);
    }
}
BENCHMARK(BM_FullConnect)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);

} // namespace

BENCHMARK_MAIN();
