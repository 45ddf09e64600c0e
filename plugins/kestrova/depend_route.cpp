// Routers: default routers named in configuration files, and every gateway
// of the kernel's route table (lent by mib2).
#include <arpa/inet.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "depend_services.h"
#include "discovery.h"
#include "hostfs.h"
#include "kestrova.h"
#include "qel/log.h"
#include "qelplugin.h"
#include "textscan.h"

namespace kestrova::services {

std::vector<std::string> parseInterfacesGateways(std::string_view text) {
    std::vector<std::string> out;
    for (std::string_view line : splitLines(text, kLongLine)) {
        std::string_view t = textscan::trim(line);
        if (t.empty() || t.front() == '#')
            continue;
        std::vector<std::string> w = words(t, 2, kLongWord);
        if (w.size() == 2 && w[0] == "gateway")
            out.push_back(w[1]);
    }
    return out;
}

} // namespace kestrova::services

using namespace kestrova::services;

namespace {

typedef int (*mib2GetNumberRoutes_t)(void);
typedef int (*mib2GetRoutes_t)(ipRoute_t *copytable, int maxroutes);

// The route buffer: used by the dependency worker alone, kept for the life
// of the plug-in, grown on demand and never shrunk.
ipRoute_t *routeBuffer = nullptr;
int maxRoutes = 0;
int numRoutes = 0;

constexpr const char *kDefaultArgs = "order='default'";

std::string dotted(unsigned int addr) {
    char buf[INET_ADDRSTRLEN] = "";
    in_addr a{};
    a.s_addr = addr;
    inet_ntop(AF_INET, &a, buf, sizeof buf);
    return buf;
}

// Interface names come from the kernel, but bound them anyway.
std::string ifnameOf(const ipRoute_t &r) {
    return std::string(r.ifname, strnlen(r.ifname, sizeof r.ifname));
}

void defaultRouterFromFile(const char *path) {
    std::string text;
    if (!readConfig(path, text))
        return;
    bool found = false;
    std::string line = parseFirstLine(text, kLongLine, found);
    if (found && !line.empty())
        addFound(dependRouter, dependSrcConfig, line, kDefaultArgs);
}

void defaultRoutersFromFiles() {
    defaultRouterFromFile("/etc/defaultrouter");
    defaultRouterFromFile("/etc/default-route");

    std::string text;
    if (readConfig("/etc/sysconfig/network", text)) {
        std::string gateway = parseKeyValue(text, "GATEWAY", kLongLine);
        if (!gateway.empty())
            addFound(dependRouter, dependSrcConfig, gateway, kDefaultArgs, 4);
    }

    // Debian's ifupdown: a gateway per configured interface.
    std::vector<std::string> files = {"/etc/network/interfaces"};
    for (const std::string &name : hostfs::listHostDir("/etc/network/interfaces.d"))
        if (hostfs::isSafeComponent(name) && name.front() != '.')
            files.push_back("/etc/network/interfaces.d/" + name);
    for (const std::string &path : files) {
        if (!readConfig(path, text))
            continue;
        for (const std::string &gw : parseInterfacesGateways(text))
            addFound(dependRouter, dependSrcConfig, gw, kDefaultArgs, ipVersionOfText(gw));
    }
}

} // namespace

namespace kestrova::services {
int routeBufferCapacity() {
    return maxRoutes;
}
int routeBufferCount() {
    return numRoutes;
}
} // namespace kestrova::services

extern "C" int inspectRoute(ipRoute_t route) {
    if (route.ipv4dest == 0 || route.ipv4gway == 0)
        return 0;
    std::string gateway = dotted(route.ipv4gway);
    if (isThisMe(gateway.c_str()) > 0)
        return 0;
    std::string args =
        "dest='" + dotted(route.ipv4dest) + "' mask='" + dotted(route.ipv4mask) + "' dev='" + ifnameOf(route) + "'";
    return addFound(dependRouter, dependSrcDynamic, gateway, args, 4);
}

extern "C" int dependency_discover_router(void) {
    defaultRoutersFromFiles();

    auto numberRoutes = reinterpret_cast<mib2GetNumberRoutes_t>(qelGetSymbolValue("mib2GetNumberRoutes"));
    auto getRoutes = reinterpret_cast<mib2GetRoutes_t>(qelGetSymbolValue("mib2GetRoutes"));
    if (!numberRoutes || !getRoutes) {
        qeldLog("Kestrova: failed to get route table symbols");
        return 0;
    }
    numRoutes = numberRoutes();
    if (numRoutes < 1) {
        qel::logDebug("dependency_discover_router: nonsensical value\n");
        return -1;
    }
    if (numRoutes > maxRoutes) {
        void *grown = realloc(routeBuffer, sizeof(ipRoute_t) * (size_t)(numRoutes + 5));
        if (!grown) {
            maxRoutes = 0;
            return -1;
        }
        routeBuffer = static_cast<ipRoute_t *>(grown);
        maxRoutes = numRoutes + 5;
    }
    numRoutes = getRoutes(routeBuffer, maxRoutes);
    // Never trust a count beyond what the buffer holds.
    if (numRoutes > maxRoutes)
        numRoutes = maxRoutes;
    for (int i = 0; i < numRoutes; i++) {
        const ipRoute_t &r = routeBuffer[i];
        if (r.ipv4dest == 0 && r.ipv4gway != 0) {
            std::string gateway = dotted(r.ipv4gway);
            qel::logDebug("depend_route: default router %s\n", gateway.c_str());
            addFound(dependRouter, dependSrcDynamic, gateway, "order='default' dev='" + ifnameOf(r) + "'");
        }
        // An IPv6 default route (::/0) through a router.
        if (r.ipVersion == 6 && r.ipv6PrefixLen == 0) {
            std::string gateway(r.ipv6gway, strnlen(r.ipv6gway, sizeof r.ipv6gway));
            if (!gateway.empty() && gateway != "::") {
                qel::logDebug("depend_route: default router %s\n", gateway.c_str());
                addFound(dependRouter, dependSrcDynamic, gateway, "order='default' dev='" + ifnameOf(r) + "'", 6);
            }
        }
        inspectRoute(r);
    }
    return 1;
}
