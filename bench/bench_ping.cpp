// link: kestrova_core qelhost
// Driver for bench/ping_compare.sh: probes hosts with the kestrova prober and
// prints its wall and CPU time. It sends real ICMP, so the script runs it only
// inside the network namespaces it makes (ip netns exec).
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "ping.h"

namespace {

double wallNow() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

double cpuNow() {
    rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

void usage(FILE *to) {
    fputs(
        "usage: bench_ping many|each FILE [PACKETS [TIMEOUT]]\n"
        "       bench_ping one HOST [RUNS]\n"
        "many: pingHostMany over the hosts in FILE (one a line); each: pingHost on\n"
        "them in turn; one: pingHost on HOST RUNS times (default 20), reporting the\n"
        "median and lowest wall time of a call. PACKETS and TIMEOUT default to 3 and 1.\n"
        "Prints key=value pairs: hosts, answered, wall and cpu in seconds.\n"
        "It sends ICMP echo requests: run it only where they may go.\n",
        to);
}

} // namespace

int main(int argc, char **argv) {
    if (argc >= 2 && strcmp(argv[1], "--help") == 0) {
        usage(stdout);
        return 0;
    }
    if (argc < 3) {
        usage(stderr);
        return 2;
    }
    const std::string mode = argv[1];
    int raw4 = 0, raw6 = 0;
    if (mode == "one") {
        const int runs = argc > 3 ? atoi(argv[3]) : 20;
        std::vector<double> walls;
        int answered = 0, avg = 0;
        for (int i = 0; i < std::max(runs, 1); ++i) {
            kestrovaPingArgs_t a{};
            double w0 = wallNow();
            answered += pingHost(0, argv[2], &a, &raw4, &raw6) == 1;
            walls.push_back(wallNow() - w0);
            avg = a.avgMsecs;
        }
        std::sort(walls.begin(), walls.end());
        printf("runs=%zu answered=%d median_ms=%.3f min_ms=%.3f avgMsecs=%d\n", walls.size(), answered,
               walls[walls.size() / 2] * 1000, walls[0] * 1000, avg);
        return 0;
    }
    if (mode != "many" && mode != "each") {
        usage(stderr);
        return 2;
    }
    std::ifstream in(argv[2]);
    if (!in) {
        fprintf(stderr, "bench_ping: cannot read %s\n", argv[2]);
        return 1;
    }
    std::vector<std::string> names;
    for (std::string line; std::getline(in, line);)
        if (!line.empty())
            names.push_back(line);
    std::vector<const char *> hosts;
    for (auto &n : names)
        hosts.push_back(n.c_str());
    const int packets = argc > 3 ? atoi(argv[3]) : 3;
    const int timeout = argc > 4 ? atoi(argv[4]) : 1;
    std::vector<kestrovaPingArgs_t> args(hosts.size(), kestrovaPingArgs_t{0, packets, 0, timeout});
    std::vector<int> results(hosts.size(), 0);

    double w0 = wallNow(), c0 = cpuNow();
    int answered = 0;
    if (mode == "many") {
        answered =
            pingHostMany(0, hosts.data(), static_cast<int>(hosts.size()), args.data(), results.data(), &raw4, &raw6);
    } else {
        for (size_t i = 0; i < hosts.size(); ++i)
            answered += (results[i] = pingHost(0, hosts[i], &args[i], &raw4, &raw6)) == 1;
    }
    double wall = wallNow() - w0, cpu = cpuNow() - c0;
    long fullAnswers = 0, failures = 0;
    for (size_t i = 0; i < hosts.size(); ++i) {
        fullAnswers += results[i] == 1 && args[i].numAnswers == args[i].numPackets;
        failures += results[i] < 0;
    }
    printf("mode=%s hosts=%zu answered=%d all_packets_answered=%ld failed=%ld wall=%.3f cpu=%.3f\n", mode.c_str(),
           hosts.size(), answered, fullAnswers, failures, wall, cpu);
    return 0;
}
