/*
 * MIB-II data collection of the mib2 plug-in: the records shared with other
 * plug-ins (kestrova uses the same layouts), the tables, and the accessors
 * other plug-ins find by name through qelGetSymbolValue.
 */
#ifndef SOLARIS_MIB2_H
#define SOLARIS_MIB2_H

#include <netinet/in.h>
#include <pthread.h>
#include <stdint.h>
#include <sys/types.h>
#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif

#define MIB2_EXPORT __attribute__((visibility("default")))

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
    uint64_t ipInReceives, ipInHdrErrors, ipInAddrErrors, ipForwDatagrams, ipInUnknownProtos,
        ipInDiscards, ipInDelivers, ipOutRequests, ipOutDiscards, ipOutNoRoutes, ipReasmTimeout,
        ipReasmReqds, ipReasmOKs, ipReasmFails, ipFragOKs, ipFragFails, ipFragCreates,
        ipRoutingDiscards;
} ipStats_t;

typedef struct icmpStats {
    uint64_t icmpInMsgs, icmpInErrors, icmpInDestUnreachs, icmpInTimeExcds, icmpInParmProbs,
        icmpInSrcQuenchs, icmpInRedirects, icmpInEchos, icmpInEchoReps, icmpInTimestamps,
        icmpInTimestampReps, icmpInAddrMasks, icmpInAddrMaskReps;
    uint64_t icmpOutMsgs, icmpOutErrors, icmpOutDestUnreachs, icmpOutTimeExcds, icmpOutParmProbs,
        icmpOutSrcQuenchs, icmpOutRedirects, icmpOutEchos, icmpOutEchoReps, icmpOutTimestamps,
        icmpOutTimestampReps, icmpOutAddrMasks, icmpOutAddrMaskReps;
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

/* Statistics; init zeroes them, each snapshot refills them. */
extern ipStats_t ipstats;
extern icmpStats_t icmpstats;
extern tcpStats_t tcpstats;
extern udpStats_t udpstats;

/* One mutex over every table below and its count. */
extern pthread_mutex_t mib2_lock;

extern mib2UdpEndpt_t *udpTable;
extern int numUdps, maxUdps;
extern mib2TcpConn_t *tcpTable;
extern int numTcpConnections, maxTcpConnections;
extern ipRoute_t *routeTable;
extern int numRoutes, maxRoutes;
extern ipAddrEntry_t *addrTable;
extern int numAddrs, maxAddrs;
extern arpEntry_t *arpTable;
extern int numArps, maxArps;
extern mib2IfEntry_t *ifTable;
extern int numIfs, maxIfs;

extern time_t statsTime, udpTableTime, tcpTableTime, ipAddrTableTime, arpTableTime, ifTableTime;
extern int firstTime;
extern volatile int mib2ThreadKill;

int enlarge_udp_table(void);
int enlarge_tcp_table(void);
int enlarge_route_table(void);
int enlarge_addr_table(void);
int enlarge_arp_table(void);
int enlarge_if_table(void);

/* Kernel UDP state (1 unbound, 2 idle, 3 connected) to the published one. */
int convertUDPState(int kernelState);
/* IPv6 address as the 39-character text "xxxx:xxxx:...:xxxx". */
int convertIPv6Bytes(const unsigned char *addr, char *buf, int maxsize);
int convertIPv6Addr(const struct in6_addr *addr, char *buf, int maxsize);

/* Refreshers and the worker. */
void reloadStats(void);
void reloadIfTable(void);
void *solarisMib2_dowork(void *arg);
/* Refresh period of the worker, 30 s. Tests that cannot wait that long set
 * MIB2_REFRESH_SECONDS (1-30) in the agent's environment; init hands it here.
 * Null or empty keeps 30; a bad value keeps 30 with a message and gives -1. */
int mib2SetRefreshSeconds(const char *text);
/* Starts the worker; 1, or -1 when the thread cannot be made. */
int solarisMib2_start(void);
/* Tells the worker to stop and waits for it a bounded time. */
void solarisMib2_stop(void);

/* Exported accessors. */
MIB2_EXPORT int mib2GetNumberUdpEndpoints(void);
MIB2_EXPORT int mib2GetNumberTcpConnections(void);
MIB2_EXPORT int mib2GetNumberRoutes(void);
MIB2_EXPORT int mib2GetNumberArps(void);
MIB2_EXPORT int mib2GetUdpEndpoints(mib2UdpEndpt_t *copytable, int maxudps);
MIB2_EXPORT int mib2GetTcpConnections(mib2TcpConn_t *copytable, int maxconnections);
MIB2_EXPORT int mib2GetRoutes(ipRoute_t *copytable, int maxroutes);
MIB2_EXPORT int mib2GetArpTable(arpEntry_t *copytable, int maxarps);
MIB2_EXPORT int mib2GetAddressList(char *addrlist, int maxlen);
MIB2_EXPORT int mib2isLocalAddress(u_int addr);
MIB2_EXPORT int mib2isLocalAddressStr(char *addrstr);

/* Link traps, sent by the interface reload (defined with the variables). */
int sendLinkUpTrap(int ifIndex, int ifAdminStatus, int ifOperStatus, char *ifName);
int sendLinkDownTrap(int ifIndex, int ifAdminStatus, int ifOperStatus, char *ifName);

extern int debugLevel;

#ifdef __cplusplus
}
#endif

#endif
