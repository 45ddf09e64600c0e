/*
 * The discovery modules the dependency worker runs once per pass, in a fixed
 * order and in six groups; the worker checks the stop flag after each group.
 * Each entry point adds what it finds with addLocalDependency; the worker
 * does not look at the results.
 */
#ifndef KESTROVA_DISCOVERY_H
#define KESTROVA_DISCOVERY_H

#include "kestrova.h"
#include "linkedlist.h"

#ifdef __cplusplus
extern "C" {
#endif

int dependency_discover_dns(void);
int dependency_discover_filesys(void);
int dependency_discover_filesys_clients(void);
int dependency_discover_samba_clients(void);
int dependency_discover_ntp(void);
int dependency_discover_dir(void);
int dependency_discover_printer(void);
int dependency_discover_router(void);
int dependency_discover_email(void);
int dependency_discover_dhcp_client(void);
int dependency_discover_dhcp_server(void);
int dependency_discover_tcp(void);
int dependency_discover_udp(void);
int dependency_discover_raw(void);
int dependency_discover_voip(void);
int dependency_discover_other(void);

typedef int (*discoveryFn_t)(void);

typedef struct discoveryEntry {
    const char *name;
    discoveryFn_t fn;
    int group; /* 0-5; entries of a group are adjacent */
} discoveryEntry_t;

#define KESTROVA_NUM_DISCOVERY 16
#define KESTROVA_NUM_DISCOVERY_GROUPS 6

/* The worker's order. */
extern const discoveryEntry_t kestrovaDiscoveryOrder[KESTROVA_NUM_DISCOVERY];

/* The table the worker runs (none until init_dependencies installs the
 * order above; tests put recorders in). Null: no discovery. */
void kestrovaSetDiscoveryTable(const discoveryEntry_t *table, int count);

/* The connection data file ("%s/connectiondata.xml" in the home directory)
 * and its reader, re-run at the start of every pass; set by
 * init_dependencies. */
extern char kestrovaConnDataFile[KESTROVA_PATH_LEN];
void kestrovaSetConnectionDataReader(int (*reader)(const char *path, linkedList_t *list));

#ifdef __cplusplus
}
#endif

#endif
