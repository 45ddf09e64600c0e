/*
 * Pure parsers of the Linux network files the mib2 collection reads, and the
 * source-neutral records that netlink and the files both produce, so both
 * sources give the same table entries.
 */
#ifndef MIB2_PARSE_H
#define MIB2_PARSE_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "mib2records.h"

namespace mib2 {

/* One socket as the kernel describes it (netlink or /proc/net/tcp...). */
struct SockRecord {
    int ipVersion = 4;
    unsigned char localAddr[16] = {}; // IPv4 in the first 4 bytes
    unsigned char remAddr[16] = {};
    unsigned localPort = 0;
    unsigned remPort = 0;
    int linuxState = 0; // TCP_ESTABLISHED... as the kernel numbers them
    uint64_t inode = 0;
};

struct RouteRecord {
    std::string ifname;
    int ipVersion = 4;
    uint32_t dest = 0, gateway = 0, mask = 0;        // IPv4, network byte order
    unsigned char dest6[16] = {}, gateway6[16] = {}; // IPv6
    unsigned prefixLen = 0;                          // IPv6
    unsigned flags = 0;                              // RTF_* as /proc/net/route shows them
    unsigned refcnt = 0, use = 0, metric = 0;
};

struct NeighRecord {
    std::string ifname;
    uint32_t addr = 0; // network byte order
    unsigned char hwaddr[12] = {};
    int hwaddrlen = 0;
    unsigned hwtype = 0;
    unsigned flags = 0; // ATF_COM / ATF_PERM as /proc/net/arp shows them
};

/* /proc/net/snmp: counters by name; a counter Linux lacks stays 0. False
 * when no "Ip:" header/value pair is present. */
bool parseSnmp(std::string_view text, ipStats_t &ip, icmpStats_t &icmp, tcpStats_t &tcp, udpStats_t &udp);

/* /proc/net/snmp6: adds the IPv6 UDP counters to udp. Linux keeps them apart
 * from the IPv4 ones, where the UDP group counts datagrams of both. Returns
 * the number of counters found. */
int addSnmp6Udp(std::string_view text, udpStats_t &udp);

/* /proc/net/tcp, tcp6, udp, udp6 (ipVersion 4 or 6). Malformed lines are
 * skipped; returns the number of lines skipped. */
int parseProcSockets(std::string_view text, int ipVersion, std::vector<SockRecord> &out);

/* /proc/net/route. */
int parseProcRoute(std::string_view text, std::vector<RouteRecord> &out);
/* /proc/net/ipv6_route (no header line); returns the lines skipped. */
int parseProcIpv6Route(std::string_view text, std::vector<RouteRecord> &out);

/* /proc/net/arp. */
int parseProcArp(std::string_view text, std::vector<NeighRecord> &out);

/* Kernel TCP state to MIB-II tcpConnState (closed 1 ... timeWait 11). */
int tcpStateToMib2(int linuxState);
/* Kernel UDP socket state to the kernel-neutral UDP state (1 unbound, 2
 * idle, 3 connected) that convertUDPState takes. */
int udpKernelState(const SockRecord &s);

/* Table entries from records; false for entries the tables leave out. */
bool toTcpConn(const SockRecord &s, mib2TcpConn_t &out);
bool toUdpEndpt(const SockRecord &s, mib2UdpEndpt_t &out);
void toRoute(const RouteRecord &r, unsigned ifIndex, ipRoute_t &out);
void toArp(const NeighRecord &n, unsigned ifIndex, arpEntry_t &out);

/* Route type (MIB-II ipRouteType) and protocol (ipRouteProto) from the
 * flags both sources carry. */
unsigned routeTypeOf(const RouteRecord &r);
unsigned routeProtoOf(const RouteRecord &r);

} // namespace mib2

#endif
