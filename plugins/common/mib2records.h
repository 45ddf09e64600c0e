/*
 * The MIB-II records the mib2 plug-in publishes and other plug-ins copy
 * (kestrova takes the same layouts through the mib2 accessors and reads
 * the same sockets itself), and the address and state conversions both use.
 */
#ifndef MIB2_RECORDS_H
#define MIB2_RECORDS_H

#include <netinet/in.h>
#include <stdint.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

#ifndef MIB2_EXPORT
#define MIB2_EXPORT __attribute__((visibility("default")))
#endif

typedef struct mib2UdpEndpt {
    u_int localIp; /* network byte order, as inet_addr gives it */
    u_int localPort;
    u_int remIp;
    u_int remPort;
    char localIPv6[48];
    char remIPv6[48];
    u_char ipVersion; /* 4 or 6 */
    u_char state;
    uint64_t inode;
    pid_t pid;
} mib2UdpEndpt_t;

typedef struct mib2TcpConn {
    u_int localIp;
    u_int localPort;
    u_int remIp;
    u_int remPort;
    char localIPv6[48];
    char remIPv6[48];
    u_char ipVersion;
    u_char state; /* MIB-II tcpConnState numbering */
    uint64_t inode;
    pid_t pid;
} mib2TcpConn_t;

typedef struct mib2RawEndpt {
    u_int localIp;
    u_int localPort;
    u_int remIp;
    u_int remPort;
    char localIPv6[48];
    char remIPv6[48];
    u_char ipVersion;
    u_char state;
    uint64_t inode;
} mib2RawEndpt_t;

typedef struct ipRoute {
    char ifname[256];
    u_int ipv4dest;
    u_int ipv4gway;
    u_int ipv4mask;
    u_int routeMetric;
    u_int routeType;
    u_int routeProto;
    u_int routeAge;
    u_int flags;
    u_int refcnt;
    u_int use;
    u_int iretype;
    u_int ifIndex;
    u_char ipVersion;
    char ipv6dest[48];
    char ipv6gway[48];
    u_int ipv6PrefixLen;
} ipRoute_t;

typedef struct arpEntry {
    char ifname[256];
    u_int ipv4addr;
    u_char hwaddr[12];
    int hwaddrlen;
    u_int hwtype;
    u_int flags;
    u_int ifIndex;
} arpEntry_t;

typedef struct ipAddrEntry {
    u_int ipv4addr;
    char ifname[256];
    u_int ipv4mask;
    u_int ipv4bcast;
    u_int ipv4ReasmMaxSize;
    u_int ifIndex;
    u_char ipVersion;
    char ipv6Addr[48];
    u_int ipv6PrefixLen;
    u_int ipv6AddrType;
} ipAddrEntry_t;

typedef struct mib2IfEntry {
    char ifname[256];
    char alias[256];
    uint64_t inbytes, inpackets, inerrors, indrops, infifo, inframe, incompressed, inmulticast;
    uint64_t outbytes, outpackets, outerrors, outdrops, outfifo, outcollisions, outcarrier, outcompressed;
    u_int mtu;
    u_char hwaddr[12];
    u_int hwaddrlen;
    int ifOutQLen;
    uint64_t ifOutErrors, ifOutDiscards, ifOutNUcastPkts, ifOutUcastPkts, ifOutOctets;
    uint64_t ifInErrors, ifInOctets, ifInUnknownProtos, ifInUcastPkts, ifInNUcastPkts, ifInDiscards;
    int ifType;
    int ifSpeed;
    int ifAdminStatus;
    int ifOperStatus;
    int oldIfOperStatus;
    u_char ipVersion;
    u_int flags;
    uint64_t lflags;
    u_int ipv4addr;
    u_int ipv4bcast;
    u_int ipv4mask;
    u_int ifIndex;
    char ipv6Addr[48];
    int prefixLen;
    int scope;
} mib2IfEntry_t;

typedef struct ipStats {
    int ipForwarding;
    int ipDefaultTTL;
    uint64_t ipInReceives, ipInHdrErrors, ipInAddrErrors, ipForwDatagrams, ipInUnknownProtos, ipInDiscards,
        ipInDelivers, ipOutRequests, ipOutDiscards, ipOutNoRoutes, ipReasmTimeout, ipReasmReqds, ipReasmOKs,
        ipReasmFails, ipFragOKs, ipFragFails, ipFragCreates, ipRoutingDiscards;
} ipStats_t;

typedef struct icmpStats {
    uint64_t icmpInMsgs, icmpInErrors, icmpInDestUnreachs, icmpInTimeExcds, icmpInParmProbs, icmpInSrcQuenchs,
        icmpInRedirects, icmpInEchos, icmpInEchoReps, icmpInTimestamps, icmpInTimestampReps, icmpInAddrMasks,
        icmpInAddrMaskReps;
    uint64_t icmpOutMsgs, icmpOutErrors, icmpOutDestUnreachs, icmpOutTimeExcds, icmpOutParmProbs, icmpOutSrcQuenchs,
        icmpOutRedirects, icmpOutEchos, icmpOutEchoReps, icmpOutTimestamps, icmpOutTimestampReps, icmpOutAddrMasks,
        icmpOutAddrMaskReps;
} icmpStats_t;

typedef struct tcpStats {
    int64_t tcpRtoAlgorithm, tcpRtoMin, tcpRtoMax;
    int tcpMaxConn;
    uint64_t tcpActiveOpens, tcpPassiveOpens, tcpAttemptFails, tcpEstabResets;
    int64_t tcpCurrEstab;
    uint64_t tcpInSegs, tcpOutSegs, tcpRetransSegs, tcpInErrs, tcpOutRsts;
} tcpStats_t;

typedef struct udpStats {
    uint64_t udpInDatagrams, udpNoPorts, udpInErrors, udpOutDatagrams;
} udpStats_t;

/* Kernel UDP state (1 unbound, 2 idle, 3 connected) to the published one. */
int convertUDPState(int kernelState);
/* IPv6 address as the 39-character text "xxxx:xxxx:...:xxxx". */
int convertIPv6Bytes(const unsigned char *addr, char *buf, int maxsize);
int convertIPv6Addr(const struct in6_addr *addr, char *buf, int maxsize);

#ifdef __cplusplus
}

namespace mib2 {
/* Writes the 39-character IPv6 text of addr at d (no NUL): the end. */
char *writeIPv6Text(char *d, const unsigned char *addr);
} // namespace mib2
#endif

#endif
