// Probes hosts with the kestrova prober from a process of its own, so a test
// can run it with fewer privileges (setpriv) inside a namespace. One line per
// probe, then one line per agent log line the probes wrote.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>

#include "kestrova_test_host.h"
#include "ping.h"

namespace {

int socketType(int fd) {
    if (fd <= 0)
        return 0;
    int type = 0;
    socklen_t len = sizeof type;
    return getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) == 0 ? type : -1;
}

void usage(FILE *to) {
    fputs(
        "usage: pingprobe VERSION HOST PACKETS TIMEOUT [VERSION HOST PACKETS TIMEOUT ...]\n"
        "Probes each HOST in turn with pingHost (VERSION 4, 6 or 0), reusing one socket per\n"
        "family, and prints for each: result=R packets=P answers=A avg=MS type4=T type6=T\n"
        "(the socket types: 3 raw, 2 datagram, 0 not opened), then log=LINE for every\n"
        "line the probes wrote into the agent's log. PINGPROBE_DEBUG in the environment\n"
        "turns on the prober's debugging lines.\n",
        to);
}

} // namespace

int main(int argc, char **argv) {
    if (argc == 2 && strcmp(argv[1], "--help") == 0) {
        usage(stdout);
        return 0;
    }
    if (argc < 5 || (argc - 1) % 4 != 0) {
        usage(stderr);
        return 2;
    }
    if (getenv("PINGPROBE_DEBUG"))
        debugLevel = 1;
    int raw4 = 0, raw6 = 0;
    for (int i = 1; i + 3 < argc; i += 4) {
        kestrovaPingArgs_t args{};
        args.numPackets = atoi(argv[i + 2]);
        args.timeout = atoi(argv[i + 3]);
        int r = pingHost(atoi(argv[i]), argv[i + 1], &args, &raw4, &raw6);
        printf("result=%d packets=%d answers=%d avg=%d type4=%d type6=%d\n", r, args.numPackets, args.numAnswers,
               args.avgMsecs, socketType(raw4), socketType(raw6));
    }
    std::lock_guard<std::mutex> g(testhost::mu);
    for (const auto &line : testhost::logs)
        printf("log=%s\n", line.c_str());
    return 0;
}
