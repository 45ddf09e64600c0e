// Host calls of the kestrova core that the benchmarks do not measure, for
// benchmark programs that link kestrova_core (each includes this header
// once, beside its own name look-ups, symbols, traps and log). Times are
// plain numbers, peers never answer a check, names resolve to nothing.
#ifndef KESTROVA_BENCH_HOST_H
#define KESTROVA_BENCH_HOST_H

#include <netinet/in.h>
#include <stdio.h>
#include <time.h>

extern "C" {
int qelConvertTimeStr(time_t when, char *buf, int maxlen) {
    return buf && maxlen >= 26 ? snprintf(buf, (size_t)maxlen, "%lld", (long long)when) : -1;
}
int qelCheckPeerModules(const char *) {
    return -1;
}
unsigned int qelHostnameToIpaddr(const char *) {
    return 0;
}
int qelHostnameToIpv6addr(const char *, struct in6_addr *) {
    return -2;
}
int qelIpVersionOfAddress(const char *) {
    return 4;
}
}

#endif
