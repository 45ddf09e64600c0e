// Voice servers: the registrars Asterisk registers with (IAX, SIP through
// chan_sip, and SIP through chan_pjsip's registration sections).
#include "depend_servers.h"
#include "depend_services.h"
#include "discovery.h"

using kestrova::services::addFound;
using kestrova::services::readConfig;
namespace servers = kestrova::servers;

namespace {

void addRegistrars(dependencyType_t dtype, const std::vector<std::string> &hosts) {
    for (const std::string &host : hosts)
        addFound(dtype, dependSrcConfig, host, "application='asterisk'");
}

} // namespace

extern "C" int dependency_discover_asterisk(void) {
    if (!isProcessRunning("asterisk"))
        return 0;
    std::string text;
    if (readConfig("/etc/asterisk/iax.conf", text))
        addRegistrars(dependIAX, servers::parseRegisterLines(text));
    if (readConfig("/etc/asterisk/sip.conf", text))
        addRegistrars(dependSIP, servers::parseRegisterLines(text));
    if (readConfig("/etc/asterisk/pjsip.conf", text))
        addRegistrars(dependSIP, servers::parsePjsipRegistrations(text));
    return 1;
}

extern "C" int dependency_discover_voip(void) {
    dependency_discover_asterisk();
    return 0;
}
