/*
 * Process-wide settings of the kestrova plug-in and the one sleep every
 * worker uses.
 *
 * Settings that threads share (the workers, the agent's handler threads, the
 * configuration reader) are relaxed atomics: each is a single int read and
 * written on its own, no two of them have to change together. Texts that the
 * configuration reader may rewrite while others read them go through the
 * copy-out accessors below.
 */
#ifndef KESTROVA_H
#define KESTROVA_H

#include <stddef.h>

#include "qelplugin.h"

#ifdef __cplusplus
#include <atomic>
typedef std::atomic<int> kestrovaSetting_t;
extern "C" {
#endif

#define KESTROVA_ENTERPRISE_OID QEL_ENTERPRISE_OID

#define KESTROVA_PATH_LEN 1039
#define KESTROVA_AUTHEN_USER_LEN 18

/* Defaults of the parameter file's settings. */
#define KESTROVA_DEFAULT_DEPENDENCY_AGEOUT 600
#define KESTROVA_DEFAULT_PEER_AGEOUT 1800
#define KESTROVA_DEFAULT_DEPENDENCY_SCAN 60
#define KESTROVA_DEFAULT_PEER_SCAN 900
#define KESTROVA_DEFAULT_AUTHEN_USER "qelUser"

/* Written once by init, before any worker runs; read freely afterwards. */
extern float kestrovaVersion;
extern char kestrovaHomeDir[1024];
extern char myhostname[256];
extern char kestrovaConfigFile[KESTROVA_PATH_LEN];
extern char kestrovaLocalFile[KESTROVA_PATH_LEN];

#ifdef __cplusplus
extern kestrovaSetting_t debugLevel;
extern kestrovaSetting_t dependencyAgeOutInterval;
extern kestrovaSetting_t peerAgeOutInterval;
extern kestrovaSetting_t dependencyScanInterval;
extern kestrovaSetting_t peerScanInterval;
extern kestrovaSetting_t connectionDataVersion;
extern kestrovaSetting_t applicationDataVersion;
extern kestrovaSetting_t kestrovaConfigVersion;
extern kestrovaSetting_t kestrovaLocalVersion;
extern kestrovaSetting_t peerGroup;
extern kestrovaSetting_t sysinfoGroup;
extern kestrovaSetting_t appGroup;
/* 1 = every worker stops; set by finish. */
extern kestrovaSetting_t kestrova_thread_kill;
/* 1 = a parameter was set through a variable: the configuration worker
 * rewrites the parameter file (and clears the flag once it is written). */
extern kestrovaSetting_t kestrova_update_configfile;
#endif

/* The user name for sessions to peers ("qelUser" by default, at most 16
 * characters). The configuration reader may change it at any time: read it
 * through the copy. */
extern char kestrovaAuthenUser[KESTROVA_AUTHEN_USER_LEN];
void kestrovaGetAuthenUser(char *buf, size_t len);
void kestrovaSetAuthenUser(const char *name);

/* ---- time ---- */

/* KESTROVA_TIME_DIVISOR (1-60, default 1) divides every worker's period and
 * sleep, so tests and demonstrations see a pass every few seconds. Text from
 * the environment; anything else leaves 1 and says so. Returns 1 when taken,
 * -1 when refused. */
int kestrovaSetTimeDivisor(const char *text);
int kestrovaTimeDivisor(void);

/* Sleeps seconds (divided by the time divisor) and returns 1; returns 0 at
 * once, or as soon as finish sets the stop flag, when the plug-in stops. */
int kestrovaSleep(int seconds);
/* Whether the stop flag is set. */
int kestrovaStopping(void);

/* Worker bookkeeping, so finish can wait (bounded) for the workers to leave
 * the plug-in's code. kestrovaStartWorker creates a detached thread running
 * fn(nullptr) and counts it until fn returns; 0 on success, else the
 * pthread_create error. */
int kestrovaStartWorker(void *(*fn)(void *));
/* Sets the stop flag, wakes every sleeping worker and waits at most
 * timeoutMs for the counted workers to end. 1 when all ended, else 0. */
int kestrovaStopWorkers(int timeoutMs);
/* Number of counted workers still running. */
int kestrovaRunningWorkers(void);

/* The plug-in's own scalars: answered by var_plugin, the two age-outs set
 * by var_setKestrovaParams. */
qelErrorStatus_t var_plugin(qelVar_t *vp, qelVariable_t *v);
qelErrorStatus_t var_setKestrovaParams(qelVar_t *vp, qelVariable_t *v, int doSet);
/* Accepts every trap but the agent's internal ones. */
int kestrovaTrapHandler(qelEventEntry_t *e);
/* The configuration worker. */
void *kestrova_dowork(void *arg);

/* For tests: the registered definitions (count set to their number), and
 * the longest subgraph text answered (characters; 0 or less restores the
 * message limit). */
const qelVar_t *kestrovaDefinitions(int *count);
void kestrovaSetSubGraphLimit(long long characters);

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
#include <exception>

#include "qel/log.h"
#include "vardefs.h"

namespace kestrova {

/* Logs the exception being handled, as "who: what". Called inside a
 * catch-all, at the C-linkage entry points and thread tops, which let no
 * exception pass. */
inline void logCaught(const char *who) {
    try {
        throw;
    } catch (const std::exception &e) {
        qel::logError("%s: %s\n", who, e.what());
    } catch (...) {
        qel::logError("%s: unknown exception\n", who);
    }
}

/* The plug-in's own scalars as registered; each hint is the number
 * var_plugin switches on. */
enum class PluginScalar : unsigned {
    pluginVersion = 1,
    connectionDataVersion,
    applicationDataVersion,
    dependencyAgeOutInterval,
    peerAgeOutInterval,
    kestrovaConfigVersion,
    kestrovaLocalConfigVersion,
    subGraph,
    numGraphNodes,
    numGraphEdges,
    subGraphLastChange,
    subGraphLastUpdate,
    dependencyScanInterval,
    peerScanInterval,
};
inline constexpr VarSpec pluginScalarDefs[] = {
    KESTROVA_SCALAR(PluginScalar, pluginVersion, floatingPoint, var_plugin, nullptr),
    KESTROVA_SCALAR(PluginScalar, connectionDataVersion, integer, var_plugin, nullptr),
    KESTROVA_SCALAR(PluginScalar, applicationDataVersion, integer, var_plugin, nullptr),
    KESTROVA_SCALAR(PluginScalar, dependencyAgeOutInterval, integer, var_plugin, var_setKestrovaParams),
    KESTROVA_SCALAR(PluginScalar, peerAgeOutInterval, integer, var_plugin, var_setKestrovaParams),
    KESTROVA_SCALAR(PluginScalar, kestrovaConfigVersion, integer, var_plugin, nullptr),
    KESTROVA_SCALAR(PluginScalar, kestrovaLocalConfigVersion, integer, var_plugin, nullptr),
    KESTROVA_SCALAR(PluginScalar, subGraph, displayString, var_plugin, nullptr),
    KESTROVA_SCALAR(PluginScalar, numGraphNodes, integer, var_plugin, nullptr),
    KESTROVA_SCALAR(PluginScalar, numGraphEdges, integer, var_plugin, nullptr),
    KESTROVA_SCALAR(PluginScalar, subGraphLastChange, dateTime, var_plugin, nullptr),
    KESTROVA_SCALAR(PluginScalar, subGraphLastUpdate, dateTime, var_plugin, nullptr),
    KESTROVA_SCALAR(PluginScalar, dependencyScanInterval, integer, var_plugin, nullptr),
    KESTROVA_SCALAR(PluginScalar, peerScanInterval, integer, var_plugin, nullptr),
};

} // namespace kestrova
#endif

#endif
