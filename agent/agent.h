/*
 * Pieces of the qeld program itself: plug-in loader, the core module and
 * the server's settings.
 */
#ifndef QELD_AGENT_H
#define QELD_AGENT_H

#include <atomic>
#include <string>
#include <vector>

#include <sys/socket.h>

#include "qel/qel_session.h"

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

/*
 * Admission of connections: every TLS handshake runs on the calling thread,
 * non-blocking, from one event loop, so that a connection costs neither a
 * session slot nor a thread until its handshake is over. Pending handshakes
 * are bounded in number overall and per source address; a new connection
 * beyond either bound replaces the oldest pending one (of its source, for
 * the per-source bound). A handshake not done within the time-out is
 * dropped.
 */
struct AdmissionLimits {
    int maxHandshakes = 1024;
    int maxPerSource = 32;
    int timeoutSeconds = 10;
};
/* A connection whose TLS handshake completed and whose certificate, if the
 * peer sent one, verified; its socket is back in blocking mode. */
struct Handshaken {
    int fd = -1;
    void *tls = nullptr; // SSL
    sockaddr_storage peer{};
    bool authenticated = false; // a verified certificate, not an anonymous peer
    std::string peerText;
};
/* The session of a handshaken connection, which it takes over. Made on the
 * thread that serves it, so that its buffers come from that thread's
 * allocator arena. Null (the connection closed) when out of memory. */
qelSession_t *openSession(Handshaken &h);
/* Closes a handshaken connection that no session takes. */
void refuse(Handshaken &h);

struct AdmissionHooks {
    /* Takes over a handshaken connection: opens a session or refuses it. */
    void (*admit)(Handshaken &&h) = nullptr;
    /* When given and true, a new connection is closed at once: no session
     * could take it, so no handshake is spent on it. */
    bool (*full)() = nullptr;
    /* When given, called once no handshake is pending after some ended, at
     * most once a second. */
    void (*quiet)() = nullptr;
};
/* Accepts on the listening sockets and runs handshakes until stop is set
 * (checked at least once a second). */
void runAdmission(const std::vector<int> &listeners, const AdmissionLimits &limits, const AdmissionHooks &hooks,
                  const std::atomic<bool> &stop);

struct ServerInfo {
    int port = 5270;
};
void setServerInfo(const ServerInfo &info);
/* Registers the agent's own module "core". */
int initCoreModule();

} // namespace qeld

#endif
