// Name servers from the resolver's configuration.
#include <algorithm>

#include "depend_services.h"
#include "discovery.h"

namespace kestrova::services {

ResolvConf parseResolvConf(std::string_view text) {
    ResolvConf rc;
    for (std::string_view line : splitLines(text, kLongLine)) {
        if (line.front() == '#')
            continue;
        std::vector<std::string> w = words(chompNewline(line), 2, kLongWord);
        const std::string keyword = w.empty() ? std::string() : w[0];
        const std::string value = w.size() > 1 ? w[1] : std::string();
        // A bare "nameserver" names nobody; the resolver skips it too.
        if (keyword == "nameserver" && !value.empty())
            rc.servers.push_back(value);
        if (keyword.find("domain") != std::string::npos)
            rc.args = "domain='" + value + "'";
        if (keyword.find("search") != std::string::npos)
            rc.args = "search='" + value + "'";
    }
    return rc;
}

} // namespace kestrova::services

using namespace kestrova::services;

namespace {

// Where a local stub resolver (systemd-resolved, NetworkManager's dnsmasq)
// keeps the upstream servers it forwards to.
const char *const kUpstreamFiles[] = {"/run/systemd/resolve/resolv.conf", "/run/NetworkManager/no-stub-resolv.conf"};

void addResolvers(const ResolvConf &rc) {
    for (const std::string &server : rc.servers)
        addFound(dependDNS, dependSrcConfig, server, rc.args);
}

} // namespace

extern "C" int dependency_discover_dns(void) {
    std::string text;
    if (!readConfig("/etc/resolv.conf", text))
        return 0;
    ResolvConf rc = parseResolvConf(text);
    if (rc.servers.empty())
        return 0;
    addResolvers(rc);
    // Behind a stub on this host, the servers it asks are the real ones.
    if (std::none_of(rc.servers.begin(), rc.servers.end(), [](const std::string &s) { return isLoopbackText(s); }))
        return 0;
    for (const char *path : kUpstreamFiles) {
        if (!readConfig(path, text))
            continue;
        ResolvConf upstream = parseResolvConf(text);
        if (!upstream.servers.empty()) {
            addResolvers(upstream);
            break;
        }
    }
    return 0;
}
