// Stand-ins for the parts of the plug-in that are not built yet, so that the
// frame starts every worker and answers every variable definition: set-ups
// and readers succeed doing nothing, workers wait for the stop flag, table
// and metric handlers answer resourceUnavailable. Each block goes when its
// part lands.
#include <cstdio>
#include <ctime>

#include "kestrova.h"
#include "linkedlist.h"
#include "qelplugin.h"

namespace {

// Waits for the stop flag, then prints the worker's leaving line.
[[maybe_unused]] void *standInWorker(const char *returning) {
    while (kestrovaSleep(3600))
        ;
    std::fputs(returning, stdout);
    std::fflush(stdout);
    return nullptr;
}

[[maybe_unused]] qelErrorStatus_t standInTable(qelPdu_t *) { return resourceUnavailable; }

} // namespace

extern "C" {

/* ---- discovery: each module finds nothing until it lands ---- */
int dependency_discover_filesys(void) { return 0; }
int dependency_discover_filesys_clients(void) { return 0; }
int dependency_discover_samba_clients(void) { return 0; }
int dependency_discover_printer(void) { return 0; }
int dependency_discover_dhcp_client(void) { return 0; }
int dependency_discover_dhcp_server(void) { return 0; }
int dependency_discover_voip(void) { return 0; }

/* ---- virtual-host detection ---- */
// Until it lands the host's nature is not known.
int amIVirtual(void) { return -1; }

} // extern "C"
