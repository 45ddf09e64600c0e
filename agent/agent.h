/*
 * Pieces of the qeld program itself: plug-in loader, the core module and
 * the server's settings.
 */
#ifndef QELD_AGENT_H
#define QELD_AGENT_H

#include <string>
#include <vector>

namespace qeld {

#define QELD_VERSION "1.0"

struct PluginInfo {
    std::string file;   // path it was loaded from
    std::string module; // name from modinfo
    std::string descr;  // description from modinfo
};

/* Loads, initialises and starts each plug-in; failures are reported and the
 * plug-in is dropped. */
void loadPlugins(const std::vector<std::string> &paths);
/* Calls every plug-in's finish, last loaded first. */
void finishPlugins();
std::vector<PluginInfo> plugins();

struct ServerInfo {
    int port = 5270;
};
void setServerInfo(const ServerInfo &info);
/* Registers the agent's own module "core". */
int initCoreModule();

} // namespace qeld

#endif
