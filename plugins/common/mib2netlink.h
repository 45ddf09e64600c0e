/*
 * The kernel's own tables through netlink: sockets through sock_diag,
 * routes and neighbours through rtnetlink. Each gives the same records as
 * the matching /proc file; false when netlink cannot be used, so the caller
 * falls back to the file.
 */
#ifndef MIB2_NETLINK_H
#define MIB2_NETLINK_H

#include <vector>

#include "mib2parse.h"

namespace mib2 {

/* Sockets of one family (AF_INET, AF_INET6) and protocol (IPPROTO_TCP,
 * IPPROTO_UDP), every state. */
bool netlinkSockets(int family, int protocol, std::vector<SockRecord> &out);
/* IPv4 routes of the main table, as /proc/net/route lists them; ifIndexes
 * gets each route's interface index. */
bool netlinkRoutes(std::vector<RouteRecord> &out, std::vector<unsigned> &ifIndexes);
/* IPv4 neighbours, as /proc/net/arp lists them. */
bool netlinkNeighbours(std::vector<NeighRecord> &out, std::vector<unsigned> &ifIndexes);

} // namespace mib2

#endif
