#include "mib2parse.h"
#include "textscan.h"

#include <arpa/inet.h>
#include <net/if_arp.h>
#include <net/route.h>

#include <charconv>
#include <cstdio>
#include <cstring>
#include <map>

#include "qel/strutil.h"

extern "C" int convertUDPState(int kernelState) {
    switch (kernelState) {
    case 1: return 4;
    case 2: return 5;
    case 3: return 3;
    default: return 1;
    }
}

// By hand: tables format it for every IPv6 row they answer.
char *mib2::writeIPv6Text(char *d, const unsigned char *a) {
    static constexpr char hex[] = "0123456789abcdef";
    for (int i = 0; i < 16; i++) {
        if (i > 0 && i % 2 == 0)
            *d++ = ':';
        *d++ = hex[a[i] >> 4];
        *d++ = hex[a[i] & 15];
    }
    return d;
}

extern "C" int convertIPv6Bytes(const unsigned char *a, char *buf, int maxsize) {
    if (!a || !buf || maxsize <= 0)
        return -1;
    char text[48];
    *mib2::writeIPv6Text(text, a) = '\0';
    qelCopyStr(buf, static_cast<size_t>(maxsize), text);
    return 1;
}

extern "C" int convertIPv6Addr(const struct in6_addr *addr, char *buf, int maxsize) {
    return addr ? convertIPv6Bytes(addr->s6_addr, buf, maxsize) : -1;
}

namespace mib2 {
namespace {

// Kernel TCP states (include/net/tcp_states.h).
enum {
    kEstablished = 1,
    kSynSent,
    kSynRecv,
    kFinWait1,
    kFinWait2,
    kTimeWait,
    kClose,
    kCloseWait,
    kLastAck,
    kListen,
    kClosing,
    kNewSynRecv
};

std::vector<std::string_view> splitWs(std::string_view line) {
    std::vector<std::string_view> out;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r'))
            ++i;
        size_t j = i;
        while (j < line.size() && line[j] != ' ' && line[j] != '\t' && line[j] != '\r')
            ++j;
        if (j > i)
            out.push_back(line.substr(i, j - i));
        i = j;
    }
    return out;
}

template <typename T>
bool parseNum(std::string_view s, T &v, int base = 10) {
    if (s.empty())
        return false;
    auto r = std::from_chars(s.data(), s.data() + s.size(), v, base);
    return r.ec == std::errc() && r.ptr == s.data() + s.size();
}

bool parseHex32(std::string_view s, uint32_t &v) {
    return s.size() == 8 && parseNum(s, v, 16);
}

// "0100007F:0016" or the 32-digit IPv6 form; the hex words are the raw
// 32-bit words of the address as this host stores them.
bool parseSockAddr(std::string_view s, int ipVersion, unsigned char addr[16], unsigned &port) {
    size_t colon = s.find(':');
    if (colon == std::string_view::npos)
        return false;
    std::string_view a = s.substr(0, colon), p = s.substr(colon + 1);
    size_t words = ipVersion == 6 ? 4 : 1;
    if (a.size() != words * 8)
        return false;
    for (size_t w = 0; w < words; ++w) {
        uint32_t raw;
        if (!parseHex32(a.substr(w * 8, 8), raw))
            return false;
        std::memcpy(addr + w * 4, &raw, 4);
    }
    return parseNum(p, port, 16) && port <= 0xffff;
}

bool parseMac(std::string_view s, unsigned char *out, int &len) {
    len = 0;
    size_t i = 0;
    while (i < s.size() && len < 12) {
        unsigned byte;
        if (i + 2 > s.size() || !parseNum(s.substr(i, 2), byte, 16))
            return false;
        out[len++] = static_cast<unsigned char>(byte);
        i += 2;
        if (i == s.size())
            return true;
        if (s[i] != ':')
            return false;
        ++i;
    }
    return i >= s.size();
}

} // namespace

// Walks a /proc table: the header line is skipped and blank lines ignored;
// row gets a line's fields and returns false for a malformed line. Returns
// the number of malformed lines.
template <typename Row>
int forEachRow(std::string_view text, Row row) {
    int skipped = 0;
    bool header = true;
    textscan::eachLine(text, [&](std::string_view line) {
        if (header) {
            header = false;
            return;
        }
        auto t = splitWs(line);
        if (!t.empty() && !row(t))
            ++skipped;
    });
    return skipped;
}

namespace {

// /proc/net/snmp's counters by "Group:Name". Each group is a header line of
// names followed by a line of values.
std::map<std::string, int64_t> snmpValues(std::string_view text) {
    std::map<std::string, int64_t> values;
    std::string_view pendingPrefix;
    std::vector<std::string_view> pendingNames;
    textscan::eachLine(text, [&](std::string_view line) {
        auto toks = splitWs(line);
        if (toks.empty() || toks[0].empty() || toks[0].back() != ':')
            return;
        if (!pendingNames.empty() && toks[0] == pendingPrefix) {
            bool numeric = toks.size() > 1;
            int64_t dummy;
            uint64_t udummy;
            for (size_t i = 1; i < toks.size() && numeric; ++i)
                numeric = parseNum(toks[i], dummy) || parseNum(toks[i], udummy);
            if (numeric) {
                for (size_t i = 1; i < toks.size() && i < pendingNames.size(); ++i) {
                    int64_t v = 0;
                    uint64_t u = 0;
                    if (!parseNum(toks[i], v) && parseNum(toks[i], u))
                        v = static_cast<int64_t>(u); // wrapped 64-bit counter
                    values[std::string(pendingPrefix) + std::string(pendingNames[i])] = v;
                }
                pendingNames.clear();
                return;
            }
        }
        pendingPrefix = toks[0];
        pendingNames = toks;
    });
    return values;
}

// A counter by key, 0 when absent.
struct SnmpValues {
    const std::map<std::string, int64_t> &values;
    int64_t get(const char *key) const {
        auto it = values.find(key);
        return it == values.end() ? 0 : it->second;
    }
    uint64_t u(const char *key) const { return static_cast<uint64_t>(get(key)); }
};

void fillIp(const SnmpValues &v, ipStats_t &ip) {
    auto get = [&](const char *key) { return v.get(key); };
    auto u = [&](const char *key) { return v.u(key); };
    ip = ipStats_t{};
    ip.ipForwarding = static_cast<int>(get("Ip:Forwarding"));
    ip.ipDefaultTTL = static_cast<int>(get("Ip:DefaultTTL"));
    ip.ipInReceives = u("Ip:InReceives");
    ip.ipInHdrErrors = u("Ip:InHdrErrors");
    ip.ipInAddrErrors = u("Ip:InAddrErrors");
    ip.ipForwDatagrams = u("Ip:ForwDatagrams");
    ip.ipInUnknownProtos = u("Ip:InUnknownProtos");
    ip.ipInDiscards = u("Ip:InDiscards");
    ip.ipInDelivers = u("Ip:InDelivers");
    ip.ipOutRequests = u("Ip:OutRequests");
    ip.ipOutDiscards = u("Ip:OutDiscards");
    ip.ipOutNoRoutes = u("Ip:OutNoRoutes");
    ip.ipReasmTimeout = u("Ip:ReasmTimeout");
    ip.ipReasmReqds = u("Ip:ReasmReqds");
    ip.ipReasmOKs = u("Ip:ReasmOKs");
    ip.ipReasmFails = u("Ip:ReasmFails");
    ip.ipFragOKs = u("Ip:FragOKs");
    ip.ipFragFails = u("Ip:FragFails");
    ip.ipFragCreates = u("Ip:FragCreates");
    ip.ipRoutingDiscards = u("Ip:RoutingDiscards");
}

void fillIcmp(const SnmpValues &v, icmpStats_t &icmp) {
    auto u = [&](const char *key) { return v.u(key); };
    icmp = icmpStats_t{};
    icmp.icmpInMsgs = u("Icmp:InMsgs");
    icmp.icmpInErrors = u("Icmp:InErrors");
    icmp.icmpInDestUnreachs = u("Icmp:InDestUnreachs");
    icmp.icmpInTimeExcds = u("Icmp:InTimeExcds");
    icmp.icmpInParmProbs = u("Icmp:InParmProbs");
    icmp.icmpInSrcQuenchs = u("Icmp:InSrcQuenchs");
    icmp.icmpInRedirects = u("Icmp:InRedirects");
    icmp.icmpInEchos = u("Icmp:InEchos");
    icmp.icmpInEchoReps = u("Icmp:InEchoReps");
    icmp.icmpInTimestamps = u("Icmp:InTimestamps");
    icmp.icmpInTimestampReps = u("Icmp:InTimestampReps");
    icmp.icmpInAddrMasks = u("Icmp:InAddrMasks");
    icmp.icmpInAddrMaskReps = u("Icmp:InAddrMaskReps");
    icmp.icmpOutMsgs = u("Icmp:OutMsgs");
    icmp.icmpOutErrors = u("Icmp:OutErrors");
    icmp.icmpOutDestUnreachs = u("Icmp:OutDestUnreachs");
    icmp.icmpOutTimeExcds = u("Icmp:OutTimeExcds");
    icmp.icmpOutParmProbs = u("Icmp:OutParmProbs");
    icmp.icmpOutSrcQuenchs = u("Icmp:OutSrcQuenchs");
    icmp.icmpOutRedirects = u("Icmp:OutRedirects");
    icmp.icmpOutEchos = u("Icmp:OutEchos");
    icmp.icmpOutEchoReps = u("Icmp:OutEchoReps");
    icmp.icmpOutTimestamps = u("Icmp:OutTimestamps");
    icmp.icmpOutTimestampReps = u("Icmp:OutTimestampReps");
    icmp.icmpOutAddrMasks = u("Icmp:OutAddrMasks");
    icmp.icmpOutAddrMaskReps = u("Icmp:OutAddrMaskReps");
}

void fillTcpUdp(const SnmpValues &v, tcpStats_t &tcp, udpStats_t &udp) {
    auto get = [&](const char *key) { return v.get(key); };
    auto u = [&](const char *key) { return v.u(key); };
    tcp = tcpStats_t{};
    tcp.tcpRtoAlgorithm = get("Tcp:RtoAlgorithm");
    tcp.tcpRtoMin = get("Tcp:RtoMin");
    tcp.tcpRtoMax = get("Tcp:RtoMax");
    tcp.tcpMaxConn = static_cast<int>(get("Tcp:MaxConn"));
    tcp.tcpActiveOpens = u("Tcp:ActiveOpens");
    tcp.tcpPassiveOpens = u("Tcp:PassiveOpens");
    tcp.tcpAttemptFails = u("Tcp:AttemptFails");
    tcp.tcpEstabResets = u("Tcp:EstabResets");
    tcp.tcpCurrEstab = get("Tcp:CurrEstab");
    tcp.tcpInSegs = u("Tcp:InSegs");
    tcp.tcpOutSegs = u("Tcp:OutSegs");
    tcp.tcpRetransSegs = u("Tcp:RetransSegs");
    tcp.tcpInErrs = u("Tcp:InErrs");
    tcp.tcpOutRsts = u("Tcp:OutRsts");

    udp = udpStats_t{};
    udp.udpInDatagrams = u("Udp:InDatagrams");
    udp.udpNoPorts = u("Udp:NoPorts");
    udp.udpInErrors = u("Udp:InErrors");
    udp.udpOutDatagrams = u("Udp:OutDatagrams");
}

} // namespace

bool parseSnmp(std::string_view text, ipStats_t &ip, icmpStats_t &icmp, tcpStats_t &tcp, udpStats_t &udp) {
    const std::map<std::string, int64_t> values = snmpValues(text);
    if (values.find("Ip:InReceives") == values.end())
        return false;
    const SnmpValues v{values};
    fillIp(v, ip);
    fillIcmp(v, icmp);
    fillTcpUdp(v, tcp, udp);
    return true;
}

int addSnmp6Udp(std::string_view text, udpStats_t &udp) {
    int found = 0;
    textscan::eachLine(text, [&](std::string_view line) {
        size_t end = line.find_first_of(" \t");
        if (end == std::string_view::npos)
            return;
        std::string_view name = line.substr(0, end);
        std::string value(line.substr(line.find_first_not_of(" \t", end) == std::string_view::npos
                                          ? line.size()
                                          : line.find_first_not_of(" \t", end)));
        char *stop = nullptr;
        unsigned long long v = std::strtoull(value.c_str(), &stop, 10);
        if (stop == value.c_str())
            return;
        if (name == "Udp6InDatagrams")
            udp.udpInDatagrams += v;
        else if (name == "Udp6NoPorts")
            udp.udpNoPorts += v;
        else if (name == "Udp6InErrors")
            udp.udpInErrors += v;
        else if (name == "Udp6OutDatagrams")
            udp.udpOutDatagrams += v;
        else
            return;
        ++found;
    });
    return found;
}

int parseProcSockets(std::string_view text, int ipVersion, std::vector<SockRecord> &out) {
    // Header: "  sl  local_address rem_address   st ..."
    return forEachRow(text, [&](const std::vector<std::string_view> &t) {
        SockRecord s;
        s.ipVersion = ipVersion;
        unsigned st;
        if (t.size() < 10 || !parseSockAddr(t[1], ipVersion, s.localAddr, s.localPort) ||
            !parseSockAddr(t[2], ipVersion, s.remAddr, s.remPort) || !parseNum(t[3], st, 16) ||
            !parseNum(t[9], s.inode)) {
            return false;
        }
        s.linuxState = static_cast<int>(st);
        out.push_back(s);
        return true;
    });
}

int parseProcRoute(std::string_view text, std::vector<RouteRecord> &out) {
    return forEachRow(text, [&](const std::vector<std::string_view> &t) {
        RouteRecord r;
        // Iface Destination Gateway Flags RefCnt Use Metric Mask MTU Window IRTT
        if (t.size() < 8 || !parseHex32(t[1], r.dest) || !parseHex32(t[2], r.gateway) || !parseNum(t[3], r.flags, 16) ||
            !parseNum(t[4], r.refcnt) || !parseNum(t[5], r.use) || !parseNum(t[6], r.metric) ||
            !parseHex32(t[7], r.mask)) {
            return false;
        }
        r.ifname = std::string(t[0]);
        out.push_back(std::move(r));
        return true;
    });
}

namespace {

// 32 hex digits, the address's bytes in order.
bool parseHexAddr6(std::string_view s, unsigned char out[16]) {
    if (s.size() != 32)
        return false;
    for (size_t i = 0; i < 16; ++i) {
        unsigned byte = 0;
        if (!parseNum(s.substr(i * 2, 2), byte, 16))
            return false;
        out[i] = static_cast<unsigned char>(byte);
    }
    return true;
}

} // namespace

int parseProcIpv6Route(std::string_view text, std::vector<RouteRecord> &out) {
    int skipped = 0;
    textscan::eachLine(text, [&](std::string_view line) {
        // dest plen src plen nexthop metric refcnt use flags device
        auto t = splitWs(line);
        if (t.empty())
            return;
        RouteRecord r;
        r.ipVersion = 6;
        if (t.size() < 10 || !parseHexAddr6(t[0], r.dest6) || !parseNum(t[1], r.prefixLen, 16) || r.prefixLen > 128 ||
            !parseHexAddr6(t[4], r.gateway6) || !parseNum(t[5], r.metric, 16) || !parseNum(t[6], r.refcnt, 16) ||
            !parseNum(t[7], r.use, 16) || !parseNum(t[8], r.flags, 16)) {
            ++skipped;
            return;
        }
        r.ifname = std::string(t[9]);
        out.push_back(std::move(r));
    });
    return skipped;
}

int parseProcArp(std::string_view text, std::vector<NeighRecord> &out) {
    return forEachRow(text, [&](const std::vector<std::string_view> &t) {
        // IP address, HW type, Flags, HW address, Mask, Device
        NeighRecord n;
        std::string ipText(t.size() > 0 ? t[0] : std::string_view());
        struct in_addr a;
        // A link without hardware addresses prints an empty address column.
        bool noHw = t.size() == 5;
        std::string_view hw = noHw ? std::string_view() : (t.size() > 3 ? t[3] : std::string_view());
        if ((t.size() < 6 && !noHw) || inet_pton(AF_INET, ipText.c_str(), &a) != 1 ||
            !parseNum(t[1].substr(t[1].rfind('x') + 1), n.hwtype, 16) ||
            !parseNum(t[2].substr(t[2].rfind('x') + 1), n.flags, 16) || !parseMac(hw, n.hwaddr, n.hwaddrlen)) {
            return false;
        }
        n.addr = a.s_addr;
        // The file prints zeros for entries that have not resolved; they
        // carry no hardware address.
        if (!(n.flags & ATF_COM)) {
            std::memset(n.hwaddr, 0, sizeof n.hwaddr);
            n.hwaddrlen = 0;
        }
        n.ifname = std::string(t[noHw ? 4 : 5]);
        out.push_back(std::move(n));
        return true;
    });
}

int tcpStateToMib2(int s) {
    switch (s) {
    case kEstablished: return 5;
    case kSynSent: return 3;
    case kSynRecv:
    case kNewSynRecv: return 4;
    case kFinWait1: return 6;
    case kFinWait2: return 7;
    case kTimeWait: return 11;
    case kClose: return 1;
    case kCloseWait: return 8;
    case kLastAck: return 9;
    case kListen: return 2;
    case kClosing: return 10;
    default: return 1;
    }
}

int udpKernelState(const SockRecord &s) {
    if (s.localPort == 0)
        return 1;
    return s.linuxState == kEstablished ? 3 : 2;
}

namespace {
template <typename Rec>
void fillEndpoint(const SockRecord &s, Rec &out) {
    std::memset(&out, 0, sizeof out);
    out.ipVersion = static_cast<u_char>(s.ipVersion);
    out.localPort = s.localPort & 0xffff;
    out.remPort = s.remPort & 0xffff;
    out.inode = s.inode;
    if (s.ipVersion == 6) {
        convertIPv6Bytes(s.localAddr, out.localIPv6, sizeof out.localIPv6);
        convertIPv6Bytes(s.remAddr, out.remIPv6, sizeof out.remIPv6);
    } else {
        std::memcpy(&out.localIp, s.localAddr, 4);
        std::memcpy(&out.remIp, s.remAddr, 4);
    }
}
} // namespace

bool toTcpConn(const SockRecord &s, mib2TcpConn_t &out) {
    if (s.localPort == 0)
        return false;
    fillEndpoint(s, out);
    out.state = static_cast<u_char>(tcpStateToMib2(s.linuxState));
    return true;
}

bool toUdpEndpt(const SockRecord &s, mib2UdpEndpt_t &out) {
    int k = udpKernelState(s);
    if (s.localPort == 0 || (s.ipVersion == 6 && (k < 1 || k > 4)))
        return false;
    fillEndpoint(s, out);
    out.state = static_cast<u_char>(convertUDPState(k));
    return true;
}

unsigned routeTypeOf(const RouteRecord &r) {
    if (r.flags & RTF_REJECT)
        return 2;                           // invalid
    return (r.flags & RTF_GATEWAY) ? 4 : 3; // indirect : direct
}

unsigned routeProtoOf(const RouteRecord &r) {
    if (r.flags & (RTF_DYNAMIC | RTF_MODIFIED))
        return 4;                           // icmp (redirect)
    return (r.flags & RTF_GATEWAY) ? 3 : 2; // netmgmt : local
}

void toRoute(const RouteRecord &r, unsigned ifIndex, ipRoute_t &out) {
    std::memset(&out, 0, sizeof out);
    qelCopyField(out.ifname, r.ifname);
    out.ipv4dest = r.dest;
    out.ipv4gway = r.gateway;
    out.ipv4mask = r.mask;
    out.routeMetric = r.metric;
    out.routeType = routeTypeOf(r);
    out.routeProto = routeProtoOf(r);
    out.routeAge = 0;
    out.flags = r.flags;
    out.refcnt = r.refcnt;
    out.use = r.use;
    // Host routes answer like the kernel's cached host entries, the rest
    // like prefix entries.
    out.iretype = (r.flags & RTF_HOST) ? 0x08 : 0x02;
    out.ifIndex = ifIndex;
    out.ipVersion = 4;
    if (r.ipVersion == 6) {
        out.ipVersion = 6;
        out.ipv4dest = out.ipv4gway = out.ipv4mask = 0;
        inet_ntop(AF_INET6, r.dest6, out.ipv6dest, sizeof out.ipv6dest);
        inet_ntop(AF_INET6, r.gateway6, out.ipv6gway, sizeof out.ipv6gway);
        out.ipv6PrefixLen = r.prefixLen;
    }
}

void toArp(const NeighRecord &n, unsigned ifIndex, arpEntry_t &out) {
    std::memset(&out, 0, sizeof out);
    qelCopyField(out.ifname, n.ifname);
    out.ipv4addr = n.addr;
    out.hwaddrlen = n.hwaddrlen > 12 ? 12 : n.hwaddrlen;
    std::memcpy(out.hwaddr, n.hwaddr, static_cast<size_t>(out.hwaddrlen));
    out.hwtype = 0;
    out.flags = n.flags;
    out.ifIndex = ifIndex;
}

} // namespace mib2
