// Print servers of this host's printers: CUPS's queues while cupsd runs,
// else the static printer files (Solaris-style printers.conf, BSD printcap).
#include <cstring>
#include <ctime>

#include "depend_servers.h"
#include "depend_services.h"
#include "discovery.h"

using kestrova::services::addFound;
using kestrova::services::readConfig;
namespace servers = kestrova::servers;

namespace {

void addPrinters(const std::vector<servers::Found> &found) {
    for (const servers::Found &f : found)
        addFound(dependPrinter, dependSrcConfig, f.host, f.args);
}

} // namespace

extern "C" int dependency_discover_cups(void) {
    if (!isProcessRunning("cupsd"))
        return 0;
    std::string text;
    if (!readConfig("/etc/cups/printers.conf", text))
        return 0;
    addPrinters(servers::parseCupsPrinters(text));
    return 1;
}

extern "C" int dependency_discover_printcap(void) {
    if (isProcessRunning("cupsd"))
        return 0;
    std::string text;
    if (readConfig("/etc/printers.conf", text)) {
        addPrinters(servers::parsePrintersConf(text));
        return 1;
    }
    // Linux's lpd keeps its queues in printcap; a queue served here (one
    // CUPS wrote while it ran) is no dependency.
    if (!readConfig("/etc/printcap", text))
        return 0;
    for (const servers::Found &f : servers::parsePrintcap(text))
        if (isThisMe(f.host.c_str()) != 1)
            addFound(dependPrinter, dependSrcConfig, f.host, f.args);
    return 1;
}

extern "C" int dependency_discover_printer(void) {
    dependency_discover_cups();
    dependency_discover_printcap();
    return 0;
}
