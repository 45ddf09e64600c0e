#include "depend_tcp.h"

#include <arpa/inet.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include "dependency.h"
#include "kestrova.h"
#include "qel/strutil.h"
#include "qelplugin.h"
#include "qel/log.h"

std::mutex tableLock;

namespace {

// Snapshots copied from mib2; they only grow (count + 25 when too small).
mib2TcpConn_t *tcpTable = nullptr;
int numTcps = 0, maxTcps = 0;
mib2UdpEndpt_t *udpTable = nullptr;
int numUdps = 0, maxUdps = 0;

// Each snapshot indexed by the tuple an endpoint is matched on, to the last
// entry with that tuple (the last match decides). Rebuilt with the snapshot.
std::unordered_map<std::string, int> tcpIndex, udpIndex;

using NumFn = int (*)(void);
using TcpFn = int (*)(mib2TcpConn_t *, int);
using UdpFn = int (*)(mib2UdpEndpt_t *, int);

template <typename Rec>
void tupleKey(unsigned ipVersion, const Rec &r, std::string &k) {
    k.clear();
    unsigned char head[5] = {static_cast<unsigned char>(ipVersion), static_cast<unsigned char>(r.localPort >> 8),
                             static_cast<unsigned char>(r.localPort), static_cast<unsigned char>(r.remPort >> 8),
                             static_cast<unsigned char>(r.remPort)};
    k.append(reinterpret_cast<const char *>(head), sizeof head);
    if (ipVersion == 4) {
        k.append(reinterpret_cast<const char *>(&r.localIp), sizeof r.localIp);
        k.append(reinterpret_cast<const char *>(&r.remIp), sizeof r.remIp);
    } else {
        k.append(r.localIPv6, strnlen(r.localIPv6, sizeof r.localIPv6));
        k.push_back('\0');
        k.append(r.remIPv6, strnlen(r.remIPv6, sizeof r.remIPv6));
    }
}

// Ports wider than 16 bits never match an endpoint's: keep them out.
template <typename Rec>
void buildIndex(const Rec *t, int n, std::unordered_map<std::string, int> &idx) {
    idx.clear();
    std::string k;
    for (int i = 0; i < n; i++) {
        if (t[i].localPort > 0xffff || t[i].remPort > 0xffff)
            continue;
        tupleKey(t[i].ipVersion, t[i], k);
        idx[k] = i;
    }
}

// Grows a snapshot to count + 25 entries; false (count and capacity 0) when
// that fails. Caller holds tableLock.
template <typename Rec>
bool grow(Rec *&table, int &num, int &max, const char *name) {
    if (num <= max)
        return true;
    int want = num + 25;
    void *p = std::realloc(table, static_cast<size_t>(want) * sizeof(Rec));
    if (!p) {
        max = 0;
        num = 0;
        char msg[64];
        std::snprintf(msg, sizeof msg, "Kestrova: realloc %s failed", name);
        qeldLog(msg);
        qel::logError("%s\n", msg);
        return false;
    }
    table = static_cast<Rec *>(p);
    max = want;
    return true;
}

void addrText(const mib2TcpConn_t &c, bool local, char *buf, size_t len) {
    if (c.ipVersion == 6)
        qelCopyStr(buf, len, local ? c.localIPv6 : c.remIPv6);
    else
        qelConvertIpAddr(local ? c.localIp : c.remIp, buf, static_cast<int>(len));
}

// At most kSmtpLinesPerMinute lines a minute; the rest are counted and
// reported in one line when the next minute's first line is printed.
std::mutex smtpMutex;
time_t (*smtpClock)() = [] { return time(nullptr); };
time_t smtpWindow = 0;
int smtpPrinted = 0, smtpSuppressed = 0;

void smtpLine(const char *fmt, int value) {
    std::lock_guard g(smtpMutex);
    time_t now = smtpClock();
    if (now - smtpWindow >= 60) {
        if (smtpSuppressed > 0)
            qel::logInfo("depend_tcp: %d more smtp connection lines left out in the last minute\n", smtpSuppressed);
        smtpWindow = now;
        smtpPrinted = 0;
        smtpSuppressed = 0;
    }
    if (smtpPrinted >= kSmtpLinesPerMinute) {
        smtpSuppressed++;
        return;
    }
    smtpPrinted++;
    qel::logInfo(fmt, value);
}

void classify(const mib2TcpConn_t &c, time_t now, const ConnInfoIndex &known) {
    char local[64], rem[64], conn[160];
    addrText(c, true, local, sizeof local);
    addrText(c, false, rem, sizeof rem);
    dependTcpConnectionText(local, rem, conn, sizeof conn);

    auto make = [&](const connInfo_t *ci, dependencyReference_t pov) {
        dependency_t *d = static_cast<dependency_t *>(std::calloc(1, sizeof(dependency_t)));
        if (!d)
            return -1;
        d->pov = pov;
        d->dtype = ci->dtype;
        d->dsrc = dependSrcDynamic;
        d->lastUpdate = now;
        d->ipVersion = c.ipVersion == 6 ? 6 : 4;
        qelCopyField(d->dependServer, pov == dependOutbound ? rem : local);
        qelCopyField(d->dependClient, pov == dependOutbound ? local : rem);
        std::string args = ci->args;
        args += " connection='";
        args += conn;
        args += '\'';
        qelCopyField(d->args, args.c_str());
        int r = addLocalDependency(d);
        std::free(d);
        return r;
    };

    if (const connInfo_t *ci = known.find("tcp", static_cast<int>(c.remPort))) {
        if (c.remPort == 25)
            smtpLine("depend_tcp: outgoing smtp, local port is %d\n", static_cast<int>(c.localPort));
        if (make(ci, dependOutbound) > 0)
            qel::logDebug(
                "depend_tcp: found new conn dependency:\n\t connectionInfo: %x:%d -> %x:%d\n\t matched: "
                "type:%d port:%d\n",
                c.localIp, static_cast<int>(c.localPort), c.remIp, static_cast<int>(c.remPort),
                static_cast<int>(ci->dtype), static_cast<int>(ci->port));
    }
    if (const connInfo_t *ci = known.find("tcp", static_cast<int>(c.localPort))) {
        if (c.remPort != 0) {
            if (c.localPort == 25)
                smtpLine("depend_tcp: incoming smtp, rem port is %d\n", static_cast<int>(c.remPort));
            if (make(ci, dependInbound) > 0)
                qel::logDebug(
                    "depend_tcp: found inbnd conn dep:\n\t connectionInfo: %x:%d <- %x:%d\n\t matched: "
                    "type:%d port:%d\n",
                    c.localIp, static_cast<int>(c.localPort), c.remIp, static_cast<int>(c.remPort),
                    static_cast<int>(ci->dtype), static_cast<int>(ci->port));
        }
    }
}

} // namespace

std::string ConnInfoIndex::key(const char *proto, size_t len, uint16_t port) {
    std::string k(proto, len);
    k.push_back('\0');
    k.push_back(static_cast<char>(port >> 8));
    k.push_back(static_cast<char>(port & 0xff));
    return k;
}

bool ConnInfoIndex::build(linkedList_t *list) {
    byKey_.clear();
    if (!list)
        return true;
    listLock(list);
    try {
        for (linkedElement_t *e = list->head; e; e = e->next) {
            const auto *c = static_cast<const connInfo_t *>(e->data);
            if (c)
                byKey_.emplace(key(c->proto, strnlen(c->proto, sizeof c->proto), c->port), *c); // first one wins
        }
    } catch (const std::bad_alloc &) {
        listUnlock(list);
        byKey_.clear();
        return false;
    }
    listUnlock(list);
    return true;
}

const connInfo_t *ConnInfoIndex::find(const char *proto, int port) const {
    // As the walk compares: the protocol cut to its field, the port to 16 bits.
    if (!proto || port == 0)
        return nullptr;
    auto it = byKey_.find(key(proto, strnlen(proto, sizeof(connInfo_t::proto) - 1), static_cast<uint16_t>(port)));
    return it == byKey_.end() ? nullptr : &it->second;
}

void dependTcpSetSmtpClock(time_t (*now)()) {
    std::lock_guard g(smtpMutex);
    smtpClock = now ? now : [] { return time(nullptr); };
    smtpWindow = 0;
    smtpPrinted = 0;
    smtpSuppressed = 0;
}

void dependTcpConnectionText(const char *a, const char *b, char *out, size_t outLen) {
    if (std::strcmp(a, b) > 0)
        std::swap(a, b);
    std::snprintf(out, outLen, "[%s] =x= [%s]", a, b);
}

extern "C" int dependency_discover_tcp(void) {
    auto numFn = reinterpret_cast<NumFn>(qelGetSymbolValue("mib2GetNumberTcpConnections"));
    auto getFn = reinterpret_cast<TcpFn>(qelGetSymbolValue("mib2GetTcpConnections"));
    if (!numFn || !getFn) {
        qel::logError("dependency_discover_tcp: couldnt find symbol(s)\n");
        qeldLog("Kestrova: failed to get tcp table symbols");
        return -1;
    }
    // Refresh under the lock; classify a copy of the established entries
    // after releasing it (name look-ups may take seconds).
    std::vector<mib2TcpConn_t> established;
    {
        std::unique_lock g(tableLock);
        numTcps = numFn();
        if (numTcps < 1) {
            numTcps = 0;
            tcpIndex.clear();
            qeldLog("Kestrova: depend_discover_tcp: no conns to examine");
            g.unlock();
            qel::logWarning("dependTcp: no connections\n");
            return -1;
        }
        if (!grow(tcpTable, numTcps, maxTcps, "tcpTable")) {
            tcpIndex.clear();
            return -1;
        }
        std::memset(tcpTable, 0, static_cast<size_t>(maxTcps) * sizeof(mib2TcpConn_t));
        int got = getFn(tcpTable, maxTcps);
        numTcps = got < 0 ? 0 : (got > maxTcps ? maxTcps : got);
        try {
            buildIndex(tcpTable, numTcps, tcpIndex);
            for (int i = 0; i < numTcps; i++)
                if (tcpTable[i].state == 5)
                    established.push_back(tcpTable[i]);
        } catch (const std::bad_alloc &) {
            tcpIndex.clear();
            numTcps = 0;
            qeldLog("Kestrova: realloc tcpTable failed");
            qel::logError("Kestrova: realloc tcpTable failed\n");
            return -1;
        }
    }
    // One copy of the connection list for the pass: two probes per
    // connection instead of two walks.
    ConnInfoIndex known;
    if (!known.build(connectionInfoList)) {
        qeldLog("Kestrova: depend_discover_tcp: no memory for the connection list");
        return -1;
    }
    time_t now = time(nullptr);
    for (const mib2TcpConn_t &c : established)
        classify(c, now, known);
    return 1;
}

extern "C" int dependency_discover_udp(void) {
    auto numFn = reinterpret_cast<NumFn>(qelGetSymbolValue("mib2GetNumberUdpEndpoints"));
    auto getFn = reinterpret_cast<UdpFn>(qelGetSymbolValue("mib2GetUdpEndpoints"));
    if (!numFn || !getFn) {
        qel::logError("dependency_discover_udp: couldnt find symbol(s)\n");
        qeldLog("Kestrova: failed to get udp table symbols");
        return -1;
    }
    std::lock_guard g(tableLock);
    numUdps = numFn();
    if (numUdps < 1) {
        qeldLog("Kestrova: depend_discover_udp: no endpoints to examine");
        numUdps = 0;
        udpIndex.clear();
        return -1;
    }
    if (!grow(udpTable, numUdps, maxUdps, "udpTable")) {
        udpIndex.clear();
        return -1;
    }
    int got = getFn(udpTable, maxUdps);
    numUdps = got < 0 ? 0 : (got > maxUdps ? maxUdps : got);
    try {
        buildIndex(udpTable, numUdps, udpIndex);
    } catch (const std::bad_alloc &) {
        udpIndex.clear();
        numUdps = 0;
        qeldLog("Kestrova: realloc udpTable failed");
        qel::logError("Kestrova: realloc udpTable failed\n");
        return -1;
    }
    return 1;
}

extern "C" int dependency_discover_raw(void) {
    return 0;
}

extern "C" int getNumberTCPEndPts(void) {
    std::lock_guard g(tableLock);
    return numTcps;
}

extern "C" int getNumberUDPEndPts(void) {
    std::lock_guard g(tableLock);
    return numUdps;
}

int get_socket_information(processEndpt_t *e) {
    if (!e)
        return -1;
    if (e->proto == kProtoUnknown && e->localPort != 0 && e->remPort != 0)
        e->proto = 6;
    std::string k;
    tupleKey(e->ipVersion, *e, k);
    std::lock_guard g(tableLock);
    bool udpMatch = false;
    if (e->proto == kProtoUnknown || e->proto == 17) {
        auto it = udpIndex.find(k);
        if (it != udpIndex.end()) {
            e->proto = 17;
            e->state = udpTable[it->second].state;
            udpMatch = true;
        }
    }
    if (e->proto == kProtoUnknown || e->proto == 6) {
        auto it = tcpIndex.find(k);
        if (it != tcpIndex.end() && !udpMatch) {
            e->proto = 6;
            e->state = tcpTable[it->second].state;
        }
    }
    return 0;
}
