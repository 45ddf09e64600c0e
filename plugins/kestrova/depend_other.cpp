// The "other" discovery hook, and the helpers every service module shares.
#include <cstring>
#include <ctime>

#include "depend_services.h"
#include "discovery.h"
#include "hostfs.h"
#include "kestrova.h"
#include "qel/strutil.h"

namespace kestrova::services {

bool readConfig(std::string_view path, std::string &text) {
    return hostfs::readHostFile(path, text, 4u << 20);
}

int addFound(dependencyType_t dtype, dependencySrc_t dsrc, std::string_view server, std::string_view args,
             int ipVersion) {
    dependency_t d;
    std::memset(&d, 0, sizeof d);
    d.dtype = dtype;
    d.dsrc = dsrc;
    d.pov = dependOutbound;
    d.lastUpdate = std::time(nullptr);
    qelCopyField(d.dependClient, myhostname);
    qelCopyField(d.dependServer, server);
    qelCopyField(d.args, args);
    d.ipVersion = ipVersion;
    return addLocalDependency(&d);
}

} // namespace kestrova::services

extern "C" int dependency_discover_other(void) { return 0; }
