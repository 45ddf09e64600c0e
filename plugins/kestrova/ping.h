/*
 * ICMP and ICMPv6 echo probes: is a host reachable, and how long does an
 * answer take. Used for peers and for the servers of dependencies.
 *
 * The caller keeps the ICMP sockets: it passes the address of an int holding
 * the socket, 0 meaning not opened yet; the first call opens it there and
 * later calls reuse it; it is never closed here. A raw socket is tried first;
 * where raw sockets are refused (no CAP_NET_RAW) an ICMP datagram socket is
 * opened instead, which the kernel allows to the groups in
 * net.ipv4.ping_group_range. Each thread probes with its own sockets.
 */
#ifndef KESTROVA_PING_H
#define KESTROVA_PING_H

#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Caller-owned, optional. */
typedef struct kestrovaPingArgs {
    int avgMsecs;   /* out: average round trip in ms, a lost packet counted as 5000 ms */
    int numPackets; /* in: packets to send (below 1: default); out: packets sent */
    int numAnswers; /* out: answered packets */
    int timeout;    /* in: seconds to wait per packet (below 1: default) */
} kestrovaPingArgs_t;

extern int defaultPackets; /* 3 */
extern int defaultTimeout; /* 1 second */
/* Process id, read when an IPv4 raw socket is first opened; its low 16 bits
 * identify this process's IPv4 echo requests. */
extern unsigned mypid;

/* version 4: IPv4 with raw4; 6: IPv6 with raw6; anything else: IPv6 for an
 * IPv6 literal or a name with IPv6 addresses only, else IPv4.
 * Results: 1 at least one answer, 0 none, -1 host null or empty, -2 the
 * socket int pointer null, -3 no ICMP socket can be opened, -4 the name does
 * not resolve. */
int pingHost(int version, const char *host, kestrovaPingArgs_t *args, int *raw4, int *raw6);
int ping4Host(const char *host, kestrovaPingArgs_t *args, int *raw);
int ping6Host(const char *host, kestrovaPingArgs_t *args, int *raw);

/* Probes count hosts at once: results[i] (and args[i] when args is not
 * null) get what pingHost(version, hosts[i], &args[i], raw4, raw6) would
 * give, with up to 1024 hosts in flight, each with one packet out at a time;
 * silent hosts cost about packets x timeout seconds together, not each.
 * Returns the number of hosts that answered, or -1 when hosts or results is
 * null or count is negative. */
int pingHostMany(int version, const char *const *hosts, int count, kestrovaPingArgs_t *args, int *results, int *raw4,
                 int *raw6);

/* Internet checksum (RFC 1071) of len bytes, in the bytes' own order. */
u_short in_cksum(u_short *addr, int len);

#ifdef __cplusplus
}
#endif

#endif
