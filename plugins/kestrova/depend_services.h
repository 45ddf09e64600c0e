/*
 * Discovery of the network services this host relies on: name servers,
 * routers, directory servers, mail relays and time servers, read from the
 * daemons' configuration files (through hostfs) and, for routers, from mib2's
 * route table. Every finding becomes an outbound dependency of this host
 * through addLocalDependency. The entry points the worker runs are declared
 * in discovery.h; the steps below are theirs.
 */
#ifndef KESTROVA_DEPEND_SERVICES_H
#define KESTROVA_DEPEND_SERVICES_H

#include "dependency.h"
#include "mib2records.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Nonzero when the name of some process contains procname. */
int isProcessRunning(const char *procname);

/* Routers: one route of the kernel table. */
int inspectRoute(ipRoute_t route);

/* Directory services. */
int depend_discover_nis(void);
int depend_discover_nisplus(void);
int depend_discover_ldap(void);

/* Mail relays. */
int dependency_discover_sendmail(void);
int dependency_discover_postfix(void);
int dependency_discover_exim(void);
int dependency_discover_zimbra(void);

/* Time servers. */
int dependency_discover_ntpd(void);
int dependency_discover_chronyd(void);
int dependency_discover_timesyncd(void);

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
#include <string>
#include <string_view>

namespace kestrova::services {

/* A host file's text; false when it cannot be read. Files are read whole,
 * up to 4 MB: configuration files are far smaller. */
bool readConfig(std::string_view path, std::string &text);

/* Fills a cleared record (outbound, now, this host as client) and hands it
 * to addLocalDependency; returns its result. */
int addFound(dependencyType_t dtype, dependencySrc_t dsrc, std::string_view server, std::string_view args,
             int ipVersion = 0);

/* The route buffer's capacity and fill count (tests). */
int routeBufferCapacity();
int routeBufferCount();

} // namespace kestrova::services
#endif

#endif
