/*
 * The mib2 plug-in's face towards the agent: entry points, the 117 variable
 * definitions of module "mib2", their handlers and the link traps.
 */
#include <arpa/inet.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "mib2collect.h"
#include "qel/entry_guard.h"
#include "qel/log.h"
#include "qel/strutil.h"
#include "qelplugin.h"
#include "qelselect.h"
#include "solarisMib2.h"

#define PLUGIN_EXPORT __attribute__((visibility("default")))

#ifndef QEL_ENTERPRISE_OID
#error "qelplugin.h defines the enterprise object identifier"
#endif

extern "C" {
PLUGIN_EXPORT const char *versionStr = "TarnVersion 1.0000";
float mib2PluginVersion = 1.0f;
}

enum { numMib2Vars = 117 };
static qelVar_t mib2Vars[numMib2Vars];

static qelErrorStatus_t var_mib2Plugin(qelVar_t *vp, qelVariable_t *v);
static qelErrorStatus_t var_ip(qelVar_t *vp, qelVariable_t *v);
static qelErrorStatus_t var_icmp(qelVar_t *vp, qelVariable_t *v);
static qelErrorStatus_t var_udp(qelVar_t *vp, qelVariable_t *v);
static qelErrorStatus_t var_tcp(qelVar_t *vp, qelVariable_t *v);
extern "C" {
qelErrorStatus_t var_udpTable(char *key, qelVariable_t *columns, qelPdu_t *out);
qelErrorStatus_t var_tcpTable(char *key, qelVariable_t *columns, qelPdu_t *out);
qelErrorStatus_t var_ifTable(char *key, qelVariable_t *columns, qelPdu_t *out);
qelErrorStatus_t var_addrTable(char *key, qelVariable_t *columns, qelPdu_t *out);
qelErrorStatus_t var_routeTable(char *key, qelVariable_t *columns, qelPdu_t *out);
qelErrorStatus_t var_arpTable(char *key, qelVariable_t *columns, qelPdu_t *out);
int mib2TrapHandler(qelEventEntry_t *event);
}

namespace {

struct VarSpec {
    const char *objName;
    qelSyntax_t syntax;
    const char *tableName;
    unsigned hint;
    qelGetHandler_t get;
    qelTableHandler_t select;
};

#define SCALAR(name, syn, h, fn)                                                                                       \
    { name, syn, "", h, fn, nullptr }
#define TABLE(name, h, fn)                                                                                             \
    { name, table, "", h, nullptr, fn }
#define COLUMN(name, syn, tbl, h)                                                                                      \
    { name, syn, tbl, h, nullptr, nullptr }

const VarSpec specs[numMib2Vars] = {
    SCALAR("pluginVersion", floatingPoint, 1, var_mib2Plugin),
    SCALAR("ipForwarding", integer, 1, var_ip),
    SCALAR("ipDefaultTTL", integer, 2, var_ip),
    SCALAR("ipInReceives", counter, 3, var_ip),
    SCALAR("ipInHdrErrors", counter, 4, var_ip),
    SCALAR("ipInAddrErrors", counter, 5, var_ip),
    SCALAR("ipForwDatagrams", counter, 6, var_ip),
    SCALAR("ipInUnknownProtos", counter, 7, var_ip),
    SCALAR("ipInDiscards", counter, 8, var_ip),
    SCALAR("ipInDelivers", counter, 9, var_ip),
    SCALAR("ipOutRequests", counter, 10, var_ip),
    SCALAR("ipOutDiscards", counter, 11, var_ip),
    SCALAR("ipOutNoRoutes", counter, 12, var_ip),
    SCALAR("ipReasmTimeout", counter, 13, var_ip),
    SCALAR("ipReasmReqds", counter, 14, var_ip),
    SCALAR("ipReasmOKs", counter, 15, var_ip),
    SCALAR("ipReasmFails", counter, 16, var_ip),
    SCALAR("ipFragOKs", counter, 17, var_ip),
    SCALAR("ipFragFails", counter, 18, var_ip),
    SCALAR("ipFragCreates", counter, 19, var_ip),
    SCALAR("ipRoutingDiscards", counter, 20, var_ip),
    SCALAR("icmpInMsgs", counter, 21, var_icmp),
    SCALAR("icmpInErrors", counter, 22, var_icmp),
    SCALAR("icmpInDestUnreachs", counter, 23, var_icmp),
    SCALAR("icmpInTimeExcds", counter, 24, var_icmp),
    SCALAR("icmpInParmProbs", counter, 25, var_icmp),
    SCALAR("icmpInSrcQuenchs", counter, 26, var_icmp),
    SCALAR("icmpInRedirects", counter, 27, var_icmp),
    SCALAR("icmpInEchos", counter, 28, var_icmp),
    SCALAR("icmpInTimestamps", counter, 29, var_icmp),
    SCALAR("icmpInTimestampReps", counter, 30, var_icmp),
    SCALAR("icmpInAddrMasks", counter, 31, var_icmp),
    SCALAR("icmpInAddrMaskReps", counter, 32, var_icmp),
    SCALAR("icmpOutMsgs", counter, 33, var_icmp),
    SCALAR("icmpOutErrors", counter, 34, var_icmp),
    SCALAR("icmpOutDestUnreachs", counter, 35, var_icmp),
    SCALAR("icmpOutTimeExcds", counter, 36, var_icmp),
    SCALAR("icmpOutParmProbs", counter, 37, var_icmp),
    SCALAR("icmpOutSrcQuenchs", counter, 38, var_icmp),
    SCALAR("icmpOutRedirects", counter, 39, var_icmp),
    SCALAR("icmpOutEchos", counter, 40, var_icmp),
    SCALAR("icmpOutEchoReps", counter, 41, var_icmp),
    SCALAR("icmpOutTimestamps", counter, 42, var_icmp),
    SCALAR("icmpOutTimestampReps", counter, 43, var_icmp),
    SCALAR("icmpOutAddrMasks", counter, 44, var_icmp),
    SCALAR("icmpOutAddrMaskReps", counter, 45, var_icmp),
    SCALAR("udpInDatagrams", counter, 46, var_udp),
    SCALAR("udpNoPorts", counter, 47, var_udp),
    SCALAR("udpInErrors", counter, 48, var_udp),
    SCALAR("udpOutDatagrams", counter, 49, var_udp),
    SCALAR("tcpRtoAlgorithm", integer, 50, var_tcp),
    SCALAR("tcpRtoMin", integer, 51, var_tcp),
    SCALAR("tcpRtoMax", integer, 52, var_tcp),
    SCALAR("tcpMaxConn", integer, 53, var_tcp),
    SCALAR("tcpActiveOpens", counter, 54, var_tcp),
    SCALAR("tcpPassiveOpens", counter, 55, var_tcp),
    SCALAR("tcpAttemptFails", counter, 56, var_tcp),
    SCALAR("tcpEstabResets", counter, 57, var_tcp),
    SCALAR("tcpCurrEstab", gauge, 58, var_tcp),
    SCALAR("tcpInSegs", counter, 59, var_tcp),
    SCALAR("tcpOutSegs", counter, 60, var_tcp),
    SCALAR("tcpRetransSegs", counter, 61, var_tcp),
    SCALAR("tcpInErrs", counter, 62, var_tcp),
    SCALAR("tcpOutRsts", counter, 63, var_tcp),
    TABLE("udpTable", 64, var_udpTable),
    COLUMN("udpLocalAddress", ipV4Address, "udpTable", 1),
    COLUMN("udpLocalPort", integer, "udpTable", 2),
    COLUMN("udpEndptState", integer, "udpTable", 3),
    COLUMN("udpRemAddress", ipV4Address, "udpTable", 4),
    COLUMN("udpRemPort", integer, "udpTable", 5),
    TABLE("tcpConnTable", 65, var_tcpTable),
    COLUMN("tcpConnState", integer, "tcpConnTable", 1),
    COLUMN("tcpConnLocalAddress", ipV4Address, "tcpConnTable", 2),
    COLUMN("tcpConnLocalPort", integer, "tcpConnTable", 3),
    COLUMN("tcpConnRemAddress", ipV4Address, "tcpConnTable", 4),
    COLUMN("tcpConnRemPort", integer, "tcpConnTable", 5),
    TABLE("ifTable", 66, var_ifTable),
    COLUMN("ifDescr", displayString, "ifTable", 1),
    COLUMN("ifType", integer, "ifTable", 2),
    COLUMN("ifMtu", integer, "ifTable", 3),
    COLUMN("ifSpeed", gauge, "ifTable", 4),
    COLUMN("ifPhysAddress", physAddress, "ifTable", 5),
    COLUMN("ifAdminStatus", integer, "ifTable", 6),
    COLUMN("ifOperStatus", integer, "ifTable", 7),
    COLUMN("ifInOctets", counter, "ifTable", 8),
    COLUMN("ifInUcastPkts", counter, "ifTable", 9),
    COLUMN("ifInNucastPkts", counter, "ifTable", 10),
    COLUMN("ifInDiscards", counter, "ifTable", 11),
    COLUMN("ifInErrors", counter, "ifTable", 12),
    COLUMN("ifInUnknownProtos", counter, "ifTable", 13),
    COLUMN("ifOutOctets", counter, "ifTable", 14),
    COLUMN("ifOutUcastPkts", counter, "ifTable", 15),
    COLUMN("ifOutNUcastPkts", counter, "ifTable", 16),
    COLUMN("ifOutDiscards", counter, "ifTable", 17),
    COLUMN("ifOutErrors", counter, "ifTable", 18),
    COLUMN("ifOutQLen", gauge, "ifTable", 19),
    COLUMN("ifIndex", integer, "ifTable", 20),
    TABLE("ipAddrTable", 67, var_addrTable),
    COLUMN("ipAdEntAddr", ipV4Address, "ipAddrTable", 1),
    COLUMN("ipAdEntIfname", displayString, "ipAddrTable", 2),
    COLUMN("ipAdEntNetMask", ipV4Address, "ipAddrTable", 3),
    COLUMN("ipAdEntBcastAddr", integer, "ipAddrTable", 4),
    COLUMN("ipAdEntReasmMaxSize", integer, "ipAddrTable", 5),
    TABLE("ipRouteTable", 68, var_routeTable),
    COLUMN("ipRouteDest", ipV4Address, "ipRouteTable", 1),
    COLUMN("ipRouteIfname", displayString, "ipRouteTable", 2),
    COLUMN("ipRouteMetric", integer, "ipRouteTable", 3),
    COLUMN("ipRouteNextHop", ipV4Address, "ipRouteTable", 4),
    COLUMN("ipRouteType", integer, "ipRouteTable", 5),
    COLUMN("ipRouteProto", integer, "ipRouteTable", 6),
    COLUMN("ipRouteAge", integer, "ipRouteTable", 7),
    COLUMN("ipRouteMask", ipV4Address, "ipRouteTable", 8),
    TABLE("ipNetToMediaTable", 69, var_arpTable),
    COLUMN("ipNetToMediaIfname", displayString, "ipNetToMediaTable", 1),
    COLUMN("ipNetToMediaPhysAddress", physAddress, "ipNetToMediaTable", 2),
    COLUMN("ipNetToMediaNetAddress", ipV4Address, "ipNetToMediaTable", 3),
    COLUMN("ipNetToMediaType", integer, "ipNetToMediaTable", 4),
};

#undef SCALAR
#undef TABLE
#undef COLUMN

struct Mib2Lock {
    Mib2Lock() { pthread_mutex_lock(&mib2_lock); }
    ~Mib2Lock() { pthread_mutex_unlock(&mib2_lock); }
    Mib2Lock(const Mib2Lock &) = delete;
    Mib2Lock &operator=(const Mib2Lock &) = delete;
};

qelErrorStatus_t unknownHint(qelVariable_t *v) {
    v->valueStr[0] = '\0';
    v->valueStrLen = 0;
    return noSuchName;
}

qelErrorStatus_t putU64(qelVar_t *vp, qelVariable_t *v, uint64_t x) {
    qelSetValuef(v, vp->syntax, "%llu", static_cast<unsigned long long>(x));
    return noError;
}

qelErrorStatus_t putI64(qelVar_t *vp, qelVariable_t *v, int64_t x) {
    qelSetValuef(v, vp->syntax, "%lld", static_cast<long long>(x));
    return noError;
}

// IPv4 address text through the agent, as the tables publish it.
std::string ipText(u_int addr) {
    char buf[64] = "";
    qelConvertIpAddr(addr, buf, sizeof buf);
    buf[sizeof buf - 1] = '\0';
    return buf;
}

std::string dotted(u_int addr) {
    char buf[32];
    struct in_addr a;
    a.s_addr = addr;
    if (!inet_ntop(AF_INET, &a, buf, sizeof buf))
        buf[0] = '\0';
    return buf;
}

std::string macText(const u_char *hw, unsigned len) {
    if (len == 0)
        return "";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02x:%02x:%02x:%02x:%02x:%02x", hw[0], hw[1], hw[2], hw[3], hw[4], hw[5]);
    return buf;
}

template <typename Rec>
std::string localText(const Rec &r) {
    return r.ipVersion == 6 ? std::string(r.localIPv6) : ipText(r.localIp);
}
template <typename Rec>
std::string remoteText(const Rec &r) {
    return r.ipVersion == 6 ? std::string(r.remIPv6) : ipText(r.remIp);
}
template <typename Rec>
qelSyntax_t addrSyntax(const Rec &r) {
    return r.ipVersion == 6 ? ipV6Address : ipV4Address;
}

// The selects' summary lines are debug lines.
bool debugOn() {
    return qel::logEnabled(qel::LogLevel::debug);
}

} // namespace

/* ---- get handlers ---- */

static qelErrorStatus_t var_mib2Plugin(qelVar_t *vp, qelVariable_t *v) {
    if (!vp || !v)
        return genError;
    if (vp->hint != 1)
        return unknownHint(v);
    qelSetValuef(v, vp->syntax, "%3.4f", static_cast<double>(mib2PluginVersion));
    return noError;
}

static qelErrorStatus_t var_ip(qelVar_t *vp, qelVariable_t *v) {
    if (!vp || !v)
        return genError;
    const ipStats_t &s = ipstats;
    const uint64_t counters[] = {
        s.ipInReceives, s.ipInHdrErrors, s.ipInAddrErrors, s.ipForwDatagrams, s.ipInUnknownProtos, s.ipInDiscards,
        s.ipInDelivers, s.ipOutRequests, s.ipOutDiscards,  s.ipOutNoRoutes,   s.ipReasmTimeout,    s.ipReasmReqds,
        s.ipReasmOKs,   s.ipReasmFails,  s.ipFragOKs,      s.ipFragFails,     s.ipFragCreates,     s.ipRoutingDiscards};
    switch (vp->hint) {
    case 1: return putI64(vp, v, s.ipForwarding);
    case 2: return putI64(vp, v, s.ipDefaultTTL);
    default:
        if (vp->hint >= 3 && vp->hint <= 20)
            return putU64(vp, v, counters[vp->hint - 3]);
        return unknownHint(v);
    }
}

static qelErrorStatus_t var_icmp(qelVar_t *vp, qelVariable_t *v) {
    if (!vp || !v)
        return genError;
    const icmpStats_t &s = icmpstats;
    // icmpInEchoReps is not published.
    const uint64_t counters[] = {
        s.icmpInMsgs,       s.icmpInErrors,       s.icmpInDestUnreachs,   s.icmpInTimeExcds,  s.icmpInParmProbs,
        s.icmpInSrcQuenchs, s.icmpInRedirects,    s.icmpInEchos,          s.icmpInTimestamps, s.icmpInTimestampReps,
        s.icmpInAddrMasks,  s.icmpInAddrMaskReps, s.icmpOutMsgs,          s.icmpOutErrors,    s.icmpOutDestUnreachs,
        s.icmpOutTimeExcds, s.icmpOutParmProbs,   s.icmpOutSrcQuenchs,    s.icmpOutRedirects, s.icmpOutEchos,
        s.icmpOutEchoReps,  s.icmpOutTimestamps,  s.icmpOutTimestampReps, s.icmpOutAddrMasks, s.icmpOutAddrMaskReps};
    static_assert(sizeof counters / sizeof counters[0] == 25);
    if (vp->hint >= 21 && vp->hint <= 45)
        return putU64(vp, v, counters[vp->hint - 21]);
    return unknownHint(v);
}

static qelErrorStatus_t var_udp(qelVar_t *vp, qelVariable_t *v) {
    if (!vp || !v)
        return genError;
    const udpStats_t &s = udpstats;
    switch (vp->hint) {
    case 46: return putU64(vp, v, s.udpInDatagrams);
    case 47: return putU64(vp, v, s.udpNoPorts);
    case 48: return putU64(vp, v, s.udpInErrors);
    case 49: return putU64(vp, v, s.udpOutDatagrams);
    default: return unknownHint(v);
    }
}

static qelErrorStatus_t var_tcp(qelVar_t *vp, qelVariable_t *v) {
    if (!vp || !v)
        return genError;
    const tcpStats_t &s = tcpstats;
    switch (vp->hint) {
    case 50: return putI64(vp, v, s.tcpRtoAlgorithm);
    case 51: return putI64(vp, v, s.tcpRtoMin);
    case 52: return putI64(vp, v, s.tcpRtoMax);
    case 53: return putI64(vp, v, s.tcpMaxConn);
    case 54: return putU64(vp, v, s.tcpActiveOpens);
    case 55: return putU64(vp, v, s.tcpPassiveOpens);
    case 56: return putU64(vp, v, s.tcpAttemptFails);
    case 57: return putU64(vp, v, s.tcpEstabResets);
    case 58: return putI64(vp, v, s.tcpCurrEstab);
    case 59: return putU64(vp, v, s.tcpInSegs);
    case 60: return putU64(vp, v, s.tcpOutSegs);
    case 61: return putU64(vp, v, s.tcpRetransSegs);
    case 62: return putU64(vp, v, s.tcpInErrs);
    case 63: return putU64(vp, v, s.tcpOutRsts);
    default: return unknownHint(v);
    }
}

/* ---- select handlers ---- */

static qelErrorStatus_t select_udpTable(char *key, qelVariable_t *columns, qelPdu_t *out) {
    QelSelect sel("varUdpTable", key, columns, out);
    if (!sel.valid())
        return genError;
    Mib2Lock lock;
    for (int i = 0; i < numUdps; ++i) {
        const mib2UdpEndpt_t &r = udpTable[i];
        std::string local = localText(r);
        char rowKey[160];
        std::snprintf(rowKey, sizeof rowKey, "%s:%d", local.c_str(), static_cast<int>(r.localPort));
        if (!sel.selects(rowKey))
            continue;
        if (!sel.addRow(rowKey, [&](unsigned column, qelVariable_t *v) {
                switch (column) {
                case 1: qelSetValue(v, addrSyntax(r), local.c_str()); return true;
                case 2: qelSetValueInt(v, integer, static_cast<int>(r.localPort)); return true;
                case 3: qelSetValueInt(v, integer, r.state); return true;
                case 4: qelSetValue(v, addrSyntax(r), remoteText(r).c_str()); return true;
                case 5: qelSetValueInt(v, integer, static_cast<int>(r.remPort)); return true;
                default: return false;
                }
            }))
            return sel.status();
    }
    return sel.finish("var_udpTable", debugOn());
}

static qelErrorStatus_t select_tcpTable(char *key, qelVariable_t *columns, qelPdu_t *out) {
    QelSelect sel("vartcpTable", key, columns, out);
    if (!sel.valid())
        return genError;
    Mib2Lock lock;
    for (int i = 0; i < numTcpConnections; ++i) {
        const mib2TcpConn_t &r = tcpTable[i];
        std::string local = localText(r), remote = remoteText(r);
        // "local:port:+:remote:port", put together without a format string:
        // the table may hold tens of thousands of rows.
        std::string rowKey = local;
        rowKey += ':';
        rowKey += std::to_string(static_cast<int>(r.localPort));
        rowKey += ":+:";
        rowKey += remote;
        rowKey += ':';
        rowKey += std::to_string(static_cast<int>(r.remPort));
        if (!sel.selects(rowKey.c_str()))
            continue;
        if (!sel.addRow(rowKey.c_str(), [&](unsigned column, qelVariable_t *v) {
                switch (column) {
                case 1: qelSetValueInt(v, integer, r.state); return true;
                case 2: qelSetValue(v, addrSyntax(r), local.c_str()); return true;
                case 3: qelSetValueInt(v, integer, static_cast<int>(r.localPort)); return true;
                case 4: qelSetValue(v, addrSyntax(r), remote.c_str()); return true;
                case 5: qelSetValueInt(v, integer, static_cast<int>(r.remPort)); return true;
                default: return false;
                }
            }))
            return sel.status();
    }
    return sel.finish("var_tcpTable", debugOn());
}

static qelErrorStatus_t select_addrTable(char *key, qelVariable_t *columns, qelPdu_t *out) {
    QelSelect sel("varAddrTable", key, columns, out);
    if (!sel.valid())
        return genError;
    Mib2Lock lock;
    for (int i = 0; i < numAddrs; ++i) {
        const ipAddrEntry_t &r = addrTable[i];
        bool v6 = r.ipVersion == 6;
        std::string addr = v6 ? std::string(r.ipv6Addr) : ipText(r.ipv4addr);
        std::string rowKey = std::string(r.ifname) + "," + addr;
        if (!sel.selects(rowKey.c_str()))
            continue;
        if (!sel.addRow(rowKey.c_str(), [&](unsigned column, qelVariable_t *v) {
                switch (column) {
                case 1: qelSetValue(v, v6 ? ipV6Address : ipV4Address, addr.c_str()); return true;
                case 2: qelSetValue(v, displayString, r.ifname); return true;
                case 3: qelSetValue(v, ipV4Address, v6 ? "0.0.0.0" : dotted(r.ipv4mask).c_str()); return true;
                case 4: qelSetValuef(v, integer, "%d", static_cast<int>(r.ipv4bcast)); return true;
                case 5: qelSetValuef(v, integer, "%d", static_cast<int>(r.ipv4ReasmMaxSize)); return true;
                default: return false;
                }
            }))
            return sel.status();
    }
    return sel.finish("var_addrTable", debugOn());
}

static qelErrorStatus_t select_routeTable(char *key, qelVariable_t *columns, qelPdu_t *out) {
    QelSelect sel("varRouteTable", key, columns, out);
    if (!sel.valid())
        return genError;
    Mib2Lock lock;
    for (int i = 0; i < numRoutes; ++i) {
        const ipRoute_t &r = routeTable[i];
        // The table is IPv4's; IPv6 routes are for the accessor's readers.
        if (r.ipVersion == 6)
            continue;
        std::string dest = dotted(r.ipv4dest);
        if (!sel.selects(dest.c_str()))
            continue;
        if (!sel.addRow(dest.c_str(), [&](unsigned column, qelVariable_t *v) {
                switch (column) {
                case 1: qelSetValue(v, ipV4Address, dest.c_str()); return true;
                case 2: qelSetValue(v, displayString, r.ifname); return true;
                case 3: qelSetValuef(v, integer, "%d", static_cast<int>(r.routeMetric)); return true;
                case 4: qelSetValue(v, ipV4Address, dotted(r.ipv4gway).c_str()); return true;
                case 5: qelSetValuef(v, integer, "%d", static_cast<int>(r.routeType)); return true;
                case 6: qelSetValuef(v, integer, "%d", static_cast<int>(r.routeProto)); return true;
                case 7: qelSetValuef(v, integer, "%d", static_cast<int>(r.routeAge)); return true;
                case 8: qelSetValue(v, ipV4Address, dotted(r.ipv4mask).c_str()); return true;
                default: return false;
                }
            }))
            return sel.status();
    }
    return sel.finish("var_routeTable", debugOn());
}

static qelErrorStatus_t select_arpTable(char *key, qelVariable_t *columns, qelPdu_t *out) {
    QelSelect sel("varArpTable", key, columns, out);
    if (!sel.valid())
        return genError;
    Mib2Lock lock;
    for (int i = 0; i < numArps; ++i) {
        const arpEntry_t &r = arpTable[i];
        std::string addr = dotted(r.ipv4addr);
        std::string rowKey = std::string(r.ifname) + "," + addr;
        if (!sel.selects(rowKey.c_str()))
            continue;
        if (!sel.addRow(rowKey.c_str(), [&](unsigned column, qelVariable_t *v) {
                switch (column) {
                case 1: qelSetValue(v, displayString, r.ifname); return true;
                case 2: qelSetValue(v, physAddress, macText(r.hwaddr, r.hwaddrlen > 0 ? 6 : 0).c_str()); return true;
                case 3: qelSetValue(v, ipV4Address, addr.c_str()); return true;
                case 4: qelSetValue(v, integer, "0"); return true;
                default: return false;
                }
            }))
            return sel.status();
    }
    return sel.finish("var_arpTable", debugOn());
}

static qelErrorStatus_t select_ifTable(char *key, qelVariable_t *columns, qelPdu_t *out) {
    if (out)
        qel::logDebug("var_ifTable: starting, maxRows=%d, key='%s'\n", out->maxRows, key ? key : "");
    QelSelect sel("varIfTable", key, columns, out);
    if (!sel.valid())
        return genError;
    Mib2Lock lock;
    qel::logDebug("var_ifTable: maxRows=%d, numIfs=%d, columns=%lx\n", out->maxRows, numIfs,
                  static_cast<unsigned long>(reinterpret_cast<uintptr_t>(columns)));
    for (int i = 0; i < numIfs; ++i) {
        const mib2IfEntry_t &r = ifTable[i];
        // A row answers to its name and to its alias ("lo0").
        if (!sel.selects(r.ifname) && !sel.keyEquals(r.alias))
            continue;
        if (!sel.addRow(r.ifname, [&](unsigned column, qelVariable_t *v) {
                const uint64_t counters[] = {r.ifInOctets,      r.ifInUcastPkts,     r.ifInNUcastPkts, r.ifInDiscards,
                                             r.ifInErrors,      r.ifInUnknownProtos, r.ifOutOctets,    r.ifOutUcastPkts,
                                             r.ifOutNUcastPkts, r.ifOutDiscards,     r.ifOutErrors};
                switch (column) {
                case 1: qelSetValue(v, displayString, r.ifname); return true;
                case 2: qelSetValuef(v, integer, "%d", r.ifType); return true;
                case 3: qelSetValuef(v, integer, "%d", static_cast<int>(r.mtu)); return true;
                // Speeds of 2^31 bit/s and above stay positive.
                case 4: qelSetValuef(v, gauge, "%u", static_cast<unsigned>(r.ifSpeed)); return true;
                case 5: qelSetValue(v, physAddress, macText(r.hwaddr, r.hwaddrlen).c_str()); return true;
                case 6: qelSetValuef(v, integer, "%d", r.ifAdminStatus); return true;
                case 7: qelSetValuef(v, integer, "%d", r.ifOperStatus); return true;
                case 19: qelSetValuef(v, gauge, "%d", r.ifOutQLen); return true;
                case 20: qelSetValuef(v, integer, "%d", static_cast<int>(r.ifIndex)); return true;
                default:
                    if (column >= 8 && column <= 18) {
                        qelSetValuef(v, counter, "%llu", static_cast<unsigned long long>(counters[column - 8]));
                        return true;
                    }
                    return false;
                }
            }))
            return sel.status();
    }
    return sel.finish("var_ifTable", debugOn());
}

/* ---- the select entry points ---- */

extern "C" qelErrorStatus_t var_udpTable(char *key, qelVariable_t *columns, qelPdu_t *out) {
    return qel::guarded("var_udpTable", genError, [&] { return select_udpTable(key, columns, out); });
}

extern "C" qelErrorStatus_t var_tcpTable(char *key, qelVariable_t *columns, qelPdu_t *out) {
    return qel::guarded("var_tcpTable", genError, [&] { return select_tcpTable(key, columns, out); });
}

extern "C" qelErrorStatus_t var_addrTable(char *key, qelVariable_t *columns, qelPdu_t *out) {
    return qel::guarded("var_addrTable", genError, [&] { return select_addrTable(key, columns, out); });
}

extern "C" qelErrorStatus_t var_routeTable(char *key, qelVariable_t *columns, qelPdu_t *out) {
    return qel::guarded("var_routeTable", genError, [&] { return select_routeTable(key, columns, out); });
}

extern "C" qelErrorStatus_t var_arpTable(char *key, qelVariable_t *columns, qelPdu_t *out) {
    return qel::guarded("var_arpTable", genError, [&] { return select_arpTable(key, columns, out); });
}

extern "C" qelErrorStatus_t var_ifTable(char *key, qelVariable_t *columns, qelPdu_t *out) {
    return qel::guarded("var_ifTable", genError, [&] { return select_ifTable(key, columns, out); });
}

/* ---- link traps ---- */

namespace {

int sendLinkTrap(bool up, int ifIndex, int ifAdminStatus, int ifOperStatus, const char *ifName) {
    if (up)
        qel::logInfo("sendLinkUpTrap: %d %d %d\n", ifIndex, ifAdminStatus, ifOperStatus);
    else
        qel::logInfo("sendLinkDownTrap: %d %d %d\n", ifIndex, ifAdminStatus, ifOperStatus);
    const char *name = ifName ? ifName : "";
    char idx[16], admin[16], oper[16];
    std::snprintf(idx, sizeof idx, "%d", ifIndex);
    std::snprintf(admin, sizeof admin, "%d", ifAdminStatus);
    std::snprintf(oper, sizeof oper, "%d", ifOperStatus);
    qelPdu_t pdu;
    std::memset(&pdu, 0, sizeof pdu);
    pdu.msgType = Trap;
    pdu.messageID = static_cast<int64_t>(std::time(nullptr));
    bool complete =
        qelAddVariable(&pdu, "core", "trapType", "", displayString, up ? "mib2.ifLinkUp" : "mib2.linkDown") &&
        qelAddVariable(&pdu, "core", "sysObjectID", "", displayString, QEL_ENTERPRISE_OID) &&
        qelAddVariable(&pdu, "mib2", "ifIndex", name, integer, idx) &&
        qelAddVariable(&pdu, "mib2", "ifAdminStatus", name, integer, admin) &&
        qelAddVariable(&pdu, "mib2", "ifOperStatus", name, integer, oper);
    int rc =
        complete ? qelSendTrap(nullptr, &pdu, up ? "mib2.linkUp" : "mib2.linkDown", QEL_ENTERPRISE_OID, nullptr) : -1;
    qelPduCleanup(&pdu);
    return rc;
}

} // namespace

extern "C" int sendLinkUpTrap(int ifIndex, int ifAdminStatus, int ifOperStatus, char *ifName) {
    return qel::guarded("sendLinkUpTrap", -1,
                        [&] { return sendLinkTrap(true, ifIndex, ifAdminStatus, ifOperStatus, ifName); });
}

extern "C" int sendLinkDownTrap(int ifIndex, int ifAdminStatus, int ifOperStatus, char *ifName) {
    return qel::guarded("sendLinkDownTrap", -1,
                        [&] { return sendLinkTrap(false, ifIndex, ifAdminStatus, ifOperStatus, ifName); });
}

extern "C" int mib2TrapHandler(qelEventEntry_t *event) {
    return event && event->eventSource[0] != '\0' ? 1 : 0;
}

/* ---- entry points ---- */

extern "C" PLUGIN_EXPORT int modinfo(char *modname, int modnamesz, char *descr, int descrsz) {
    std::printf("mib2Plugin: modinfo called\n");
    if (!modname || !descr || modnamesz < 11 || descrsz < 30)
        return -1;
    qelCopyStr(modname, static_cast<size_t>(modnamesz), "mib2Plugin");
    std::snprintf(descr, static_cast<size_t>(descrsz), "mib2Plugin Solaris version %3.4f",
                  static_cast<double>(mib2PluginVersion));
    return 1;
}

extern "C" PLUGIN_EXPORT int init(void) {
    std::printf("mib2plugin: init called\n");
    std::memset(&ipstats, 0, sizeof ipstats);
    std::memset(&icmpstats, 0, sizeof icmpstats);
    std::memset(&tcpstats, 0, sizeof tcpstats);
    std::memset(&udpstats, 0, sizeof udpstats);
    qel::setLogDebug(qelGetAgentDebugLevel() != 0);
    mib2SetRefreshSeconds(std::getenv("MIB2_REFRESH_SECONDS"));
    for (int i = 0; i < numMib2Vars; ++i) {
        qelVar_t &q = mib2Vars[i];
        std::memset(&q, 0, sizeof q);
        qelCopyField(q.mibName, "mib2");
        qelCopyField(q.objName, specs[i].objName);
        q.syntax = specs[i].syntax;
        qelCopyField(q.tableName, specs[i].tableName);
        q.hint = specs[i].hint;
        q.get = specs[i].get;
        q.select = specs[i].select;
        qelAddVar(&q);
    }
    for (const char *file : {"mib2-linux.so", "mib2-solaris.so", "mib2-solx86.so", "mib2-win32.dll"}) {
        char version[32];
        std::snprintf(version, sizeof version, "%3.4f", static_cast<double>(qelFindBinaryVersion(file, nullptr)));
        qelAddModule(file, version, "mib2", nullptr, QEL_MODULE_KIND_PLUGIN);
    }
    return 1;
}

extern "C" PLUGIN_EXPORT int start(void) {
    std::printf("solarisMib2: start invoked\n");
    return qel::guarded("start", -1, [] {
        if (solarisMib2_start() != 1) {
            qel::logError("Failed to create worker thread for solarisMib2\n");
            return -1;
        }
        qelRegisterTrapHandler("mib2", mib2TrapHandler);
        return 1;
    });
}

extern "C" PLUGIN_EXPORT int finish(void) {
    std::printf("Mib2: finish called\n");
    return qel::guarded("finish", -1, [] {
        solarisMib2_stop();
        qelRemoveVarByName("mib2", nullptr);
        std::printf("Mib2 finish returning\n");
        qeldLog("Mib2 finish returning");
        return 1;
    });
}

/* The definitions, for tests that walk them without an agent. */
const qelVar_t *mib2Definitions(int *count) {
    if (count)
        *count = numMib2Vars;
    return mib2Vars;
}
