// A plug-in for the tests that uses mib2's tables the way kestrova does:
// the accessors are found by name through qelGetSymbolValue when a value is
// first asked for, the records are copied into arrays this plug-in owns, and
// a missing symbol makes the variable fail with a message instead of
// crashing. Each list variable answers one entry per record, ";"-separated,
// so a test can compare it with mib2's own tables.
#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "qel/strutil.h"
#include "qelplugin.h"
#include "qelselect.h"
#include "solarisMib2.h"

namespace {

char versionText[] = "TarnVersion 1.00";

enum Hint : unsigned { hAddrList = 1, hAddrCount, hRoutes, hRouteCount, hTcp, hTcpCount };

using AddrListFn = int (*)(char *, int);
using CountFn = int (*)(void);
using RoutesFn = int (*)(ipRoute_t *, int);
using TcpFn = int (*)(mib2TcpConn_t *, int);

template <typename Fn>
Fn lookup(const char *name) {
    Fn fn = reinterpret_cast<Fn>(qelGetSymbolValue(name));
    if (!fn)
        std::fprintf(stderr, "mib2client: %s not found, skipping\n", name);
    return fn;
}

std::string dotted(u_int addr) {
    char buf[INET_ADDRSTRLEN] = "";
    struct in_addr a;
    a.s_addr = addr;
    inet_ntop(AF_INET, &a, buf, sizeof buf);
    return buf;
}

template <typename Rec>
std::string endpoint(const Rec &r, bool local) {
    std::string addr =
        r.ipVersion == 6 ? std::string(local ? r.localIPv6 : r.remIPv6) : dotted(local ? r.localIp : r.remIp);
    return addr + ":" + std::to_string(local ? r.localPort : r.remPort);
}

// Sizes the array from the count plus some slack for rows added between
// the two calls, as kestrova does; the copy never exceeds the array.
template <typename Rec, typename GetFn>
int copyTable(const char *countName, const char *getName, std::vector<Rec> &out) {
    auto count = lookup<CountFn>(countName);
    auto get = lookup<GetFn>(getName);
    if (!count || !get)
        return -1;
    int n = count();
    out.assign(static_cast<size_t>(n < 0 ? 0 : n) + 16, Rec{});
    int got = get(out.data(), static_cast<int>(out.size()));
    if (got < 0)
        return -1;
    out.resize(static_cast<size_t>(got));
    return got;
}

qelErrorStatus_t var_mib2client(qelVar_t *vp, qelVariable_t *v) {
    switch (vp->hint) {
    case hAddrList:
    case hAddrCount: {
        auto fn = lookup<AddrListFn>("mib2GetAddressList");
        if (!fn)
            return genError;
        std::vector<char> buf(16384, '\0');
        int r = fn(buf.data(), static_cast<int>(buf.size()));
        if (r < 0)
            return genError;
        std::string list = r == 0 ? std::string() : std::string(buf.data());
        if (vp->hint == hAddrList) {
            qelSetValue(v, displayString, list.c_str());
        } else {
            long commas = 0;
            for (char c : list)
                commas += c == ',';
            qelSetValuef(v, integer, "%ld", commas);
        }
        return noError;
    }
    case hRoutes:
    case hRouteCount: {
        std::vector<ipRoute_t> routes;
        int n = copyTable<ipRoute_t, RoutesFn>("mib2GetNumberRoutes", "mib2GetRoutes", routes);
        if (n < 0)
            return genError;
        if (vp->hint == hRouteCount) {
            qelSetValuef(v, integer, "%d", n);
            return noError;
        }
        std::string text;
        for (const auto &r : routes)
            if (r.ipVersion == 6)
                text += std::string("v6 ") + r.ipv6dest + "/" + std::to_string(r.ipv6PrefixLen) + ">" + r.ipv6gway +
                        "@" + r.ifname + ";";
            else
                text += dotted(r.ipv4dest) + "/" + dotted(r.ipv4mask) + ">" + dotted(r.ipv4gway) + "@" + r.ifname + ";";
        qelSetValue(v, displayString, text.c_str());
        return noError;
    }
    case hTcp:
    case hTcpCount: {
        std::vector<mib2TcpConn_t> conns;
        int n = copyTable<mib2TcpConn_t, TcpFn>("mib2GetNumberTcpConnections", "mib2GetTcpConnections", conns);
        if (n < 0)
            return genError;
        if (vp->hint == hTcpCount) {
            qelSetValuef(v, integer, "%d", n);
            return noError;
        }
        std::string text;
        for (const auto &c : conns)
            text += endpoint(c, true) + "-" + endpoint(c, false) + "=" + std::to_string(c.state) + ";";
        qelSetValue(v, displayString, text.c_str());
        return noError;
    }
    default: v->valueStrLen = 0; return noSuchName;
    }
}

qelVar_t vars[6];

} // namespace

extern "C" {

__attribute__((visibility("default"), used)) char *versionStr = versionText;

__attribute__((visibility("default"))) int modinfo(char *modname, int modnamesz, char *descr, int descrsz) {
    if (!modname || !descr || modnamesz < 11 || descrsz < 30)
        return -1;
    std::snprintf(modname, static_cast<size_t>(modnamesz), "mib2client");
    std::snprintf(descr, static_cast<size_t>(descrsz), "mib2 accessor test plug-in 1.00");
    return 1;
}

__attribute__((visibility("default"))) int init(void) {
    const struct {
        const char *name;
        qelSyntax_t syntax;
        unsigned hint;
    } defs[] = {{"addressList", displayString, hAddrList}, {"addressCount", integer, hAddrCount},
                {"routes", displayString, hRoutes},        {"routeCount", integer, hRouteCount},
                {"tcpConnections", displayString, hTcp},   {"tcpCount", integer, hTcpCount}};
    int i = 0;
    for (const auto &d : defs) {
        qelVar_t &q = vars[i++];
        std::memset(&q, 0, sizeof q);
        qelCopyField(q.mibName, "mib2client");
        qelCopyField(q.objName, d.name);
        q.syntax = d.syntax;
        q.hint = d.hint;
        q.get = var_mib2client;
        qelAddVar(&q);
    }
    // Like kestrova: the accessors come from module mib2.
    qelAddModule("mib2client-linux.so", "1.00", "mib2client", "mib2", QEL_MODULE_KIND_PLUGIN);
    return 1;
}

__attribute__((visibility("default"))) int start(void) {
    return 1;
}

__attribute__((visibility("default"))) int finish(void) {
    qelRemoveVarByName("mib2client", nullptr);
    return 1;
}

} // extern "C"
