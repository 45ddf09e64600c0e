// Name servers from the resolver's configuration.
#include "depend_parse.h"
#include "depend_services.h"
#include "discovery.h"

using namespace kestrova::services;

namespace {

// Where a local stub resolver (systemd-resolved, NetworkManager's dnsmasq)
// keeps the upstream servers it forwards to.
const char *const kUpstreamFiles[] = {"/run/systemd/resolve/resolv.conf", "/run/NetworkManager/no-stub-resolv.conf"};

void addResolver(const ResolvConf &rc) { addFound(dependDNS, dependSrcConfig, rc.server, rc.args); }

} // namespace

extern "C" int dependency_discover_dns(void) {
    std::string text;
    if (!readConfig("/etc/resolv.conf", text))
        return 0;
    ResolvConf rc = parseResolvConf(text);
    if (rc.servers < 1)
        return 0;
    addResolver(rc);
    // Behind a stub on this host, the servers it asks are the real ones.
    if (!isLoopbackText(rc.server))
        return 0;
    for (const char *path : kUpstreamFiles) {
        if (!readConfig(path, text))
            continue;
        ResolvConf upstream = parseResolvConf(text);
        if (upstream.servers > 0) {
            addResolver(upstream);
            break;
        }
    }
    return 0;
}
