/*
 * Inside view of the collection, for the plug-in's own modules and tests:
 * where the kernel tables are read from, and the interface reload driven
 * by a given list of addresses.
 */
#ifndef MIB2_COLLECT_H
#define MIB2_COLLECT_H

#include <string>
#include <vector>

#include "mib2parse.h"

namespace mib2 {

enum class Source {
    Auto,    // netlink when the host root is the real one, else the files
    Netlink, // netlink only
    Proc     // the /proc files only
};

/* Where the snapshot reads sockets, routes and neighbours (default Auto). */
void setSource(Source s);

/* All TCP (IPPROTO_TCP) or UDP sockets, IPv4 then IPv6. False when the
 * source cannot be read. */
bool readSockets(Source s, int protocol, std::vector<SockRecord> &out);
bool readRoutes(Source s, std::vector<RouteRecord> &out, std::vector<unsigned> &ifIndexes);
bool readNeighbours(Source s, std::vector<NeighRecord> &out, std::vector<unsigned> &ifIndexes);

/* One address (or link) as getifaddrs lists it. */
struct IfAddrInfo {
    std::string name; // label for IPv4 addresses ("eth0:1"), link name else
    int family = 0;   // AF_INET, AF_INET6 or AF_PACKET
    unsigned flags = 0;
    unsigned char addr[16] = {};
    unsigned char mask[16] = {};
    unsigned char hwaddr[12] = {}; // AF_PACKET
    int hwaddrlen = 0;
    unsigned mtu = 0;     // AF_PACKET
    unsigned ifIndex = 0; // AF_PACKET: the kernel's index, 0 if not known
};

/* The host's addresses and links, in getifaddrs order. */
bool readIfAddrs(std::vector<IfAddrInfo> &out);

/* One interface (a link) with its first IPv4 address, else its first IPv6
 * one (ipVersion 6), else none. */
struct LogicalIf {
    std::string name;
    unsigned ifIndex = 0; // the kernel's, 0 if not known
    int ipVersion = 4;
    unsigned flags = 0;
    uint32_t ipv4addr = 0, ipv4mask = 0;
    unsigned char ipv6[16] = {};
    bool hasIpv6 = false;
    int prefixLen = 0;
    unsigned mtu = 0;
    unsigned char hwaddr[12] = {};
    int hwaddrlen = 0;
};

/* One entry per link, in the kernel's order (by index; links whose index is
 * not known last). A link's index is its AF_PACKET entry's, else the one
 * /sys/class/net under the host root gives. */
std::vector<LogicalIf> buildLogicalIfs(const std::vector<IfAddrInfo> &addrs);

/* The interface reload over a given address list (reloadIfTable reads the
 * live one). */
void reloadIfTableFrom(const std::vector<IfAddrInfo> &addrs);

/* The address table from a given address list, into addrTable (caller
 * holds mib2_lock; the table is appended to). */
void fillAddrTable(const std::vector<IfAddrInfo> &addrs);

/* Published interface type and alias rules for a name. */
int ifTypeOf(const std::string &name);

} // namespace mib2

#endif
