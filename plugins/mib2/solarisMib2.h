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

#include "mib2records.h"

#ifdef __cplusplus
extern "C" {
#endif

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

#ifdef __cplusplus
}
#endif

#endif
