// Set-up of the dependency table: the well-known connections and the
// discovery modules the worker runs, in their order.
#include <stdio.h>

#include "dependency.h"
#include "discovery.h"
#include "kestrova_data.h"
#include "kestrova_globals.h"
#include "qel/log.h"

extern "C" {

const discoveryEntry_t kestrovaDiscoveryOrder[KESTROVA_NUM_DISCOVERY] = {
    {"dependency_discover_dns", dependency_discover_dns, 0},
    {"dependency_discover_filesys", dependency_discover_filesys, 1},
    {"dependency_discover_filesys_clients", dependency_discover_filesys_clients, 1},
    {"dependency_discover_samba_clients", dependency_discover_samba_clients, 1},
    {"dependency_discover_ntp", dependency_discover_ntp, 2},
    {"dependency_discover_dir", dependency_discover_dir, 2},
    {"dependency_discover_printer", dependency_discover_printer, 2},
    {"dependency_discover_router", dependency_discover_router, 3},
    {"dependency_discover_email", dependency_discover_email, 3},
    {"dependency_discover_dhcp_client", dependency_discover_dhcp_client, 3},
    {"dependency_discover_dhcp_server", dependency_discover_dhcp_server, 3},
    {"dependency_discover_tcp", dependency_discover_tcp, 4},
    {"dependency_discover_udp", dependency_discover_udp, 4},
    {"dependency_discover_raw", dependency_discover_raw, 4},
    {"dependency_discover_voip", dependency_discover_voip, 5},
    {"dependency_discover_other", dependency_discover_other, 5},
};

} // extern "C"

extern "C" {

int init_dependencies(void) {
    if (!connectionInfoList)
        connectionInfoList = newLinkedList(sizeof(connInfo_t), connectionInfoCompare, connectionInfoPrint,
                                           freeConnectionInfo, "connectionInfoList", 1);
    int n = snprintf(kestrovaConnDataFile, sizeof kestrovaConnDataFile, "%s/connectiondata.xml", kestrovaHomeDir);
    if (n < 0 || (size_t)n >= sizeof kestrovaConnDataFile)
        kestrovaConnDataFile[0] = '\0'; // a cut path would name another file
    if (readConnectionDataFile(kestrovaConnDataFile, connectionInfoList) < 0)
        qel::logError("init_dependencies: readConnectionDataFile failed\n");
    kestrovaSetConnectionDataReader(readConnectionDataFile);
    kestrovaSetDiscoveryTable(kestrovaDiscoveryOrder, KESTROVA_NUM_DISCOVERY);
    return 1;
}

} // extern "C"
