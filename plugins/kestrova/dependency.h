/*
 * Dependency records: one host (client) relies on another (server) for one
 * kind of service. A record in the graph is at the same time an edge.
 */
#ifndef KESTROVA_DEPENDENCY_H
#define KESTROVA_DEPENDENCY_H

#include <stdint.h>
#include <time.h>

#include "linkedlist.h"
#include "qel/qel_session.h"
#include "qelplugin.h"

#ifdef __cplusplus
extern "C" {
#endif

struct vertex;

#ifdef __cplusplus
/* A peer may name any number as a type: in C++ every int is a value of the
 * type (as it is in C), so such a record can be stored and compared. */
typedef enum dependencyType : int {
#else
typedef enum dependencyType {
#endif
    dependUndef = 0,
    dependOther = 1,
    dependFilesys = 2,
    dependDNS = 3,
    dependNTP = 4,
    dependEmail = 5,
    dependDir = 6,
    dependRadius = 7,
    dependPrinter = 8,
    dependX11 = 9,
    dependLogin = 10,
    dependWeb = 11,
    dependNNTP = 12,
    dependDHCP = 13,
    dependDB = 14,
    dependRouter = 15,
    dependFTP = 16,
    dependStreaming = 17,
    dependNetBIOS = 18,
    dependCitrix = 19,
    dependLotus = 20,
    dependNetware = 21,
    dependMQseries = 22,
    dependP2P = 23,
    dependMiddleware = 24,
    dependRCS = 25,
    dependRPC = 26,
    dependSIP = 27,
    dependVNC = 28,
    dependIAX = 29,
    dependVPN = 30,
    dependVM = 31,
    dependMAX = 32
} dependencyType_t;

typedef enum dependencySrc {
    dependSrcUndef = 0,
    dependSrcUnknown = 1,
    dependSrcConfig = 2,
    dependSrcDynamic = 3,
    dependSrcStatic = 4,
    dependSrcLogfile = 5
} dependencySrc_t;

typedef enum dependencyReference {
    dependOutbound = 0,
    dependInbound = 1,
    dependTransit = 2,
    dependNA = 3
} dependencyReference_t;

typedef struct dependency {
    dependencyType_t dtype;
    dependencySrc_t dsrc;
    time_t createTime;
    time_t lastUpdate;
    dependencyReference_t pov;
    int ipVersion;
    struct vertex *client;
    struct vertex *server;
    int logfileDependencyAgeOut;
    int reachable;
    time_t reachableTime;
    int score;
    int numTests;
    int testRespTime;
    int avgTestRespTime;
    int movAvgTestRespTime;
    int numIcmp;
    int icmpRespTime;
    int avgIcmpRespTime;
    int movAvgIcmpRespTime;
    char args[2048];
    char dependClient[256];
    char dependServer[256];
    char originalClient[256];
    char originalServer[256];
    char name[4096];
} dependency_t;

typedef struct connInfo {
    char proto[16];
    char args[2048];
    uint16_t port;
    dependencyType_t dtype;
} connInfo_t;

/* Texts of the types, indexed by value ("dependUndef(0)" ... "dependMAX(32)"). */
extern const char *dependencyTypeStrs[33];

/* Well-known connections (list "connectionInfoList", locks itself). */
extern linkedList_t *connectionInfoList;
/* Records taken out of the graph by one age-out pass until their traps are
 * sent (list "pruneDependencyList"); created by the pruning pass. */
extern linkedList_t *pruneDependencyList;

int dependencyStringToInt(const char *dstr);
int dependencyTypeToStr(int dtype, char *str, int maxlen);
int dependencyPrint(dependency_t *d);
int dependencySetClient(dependency_t *d, struct vertex *v);
int dependencySetServer(dependency_t *d, struct vertex *v);
struct vertex *dependencyGetClient(dependency_t *d);
struct vertex *dependencyGetServer(dependency_t *d);

/* List callbacks: a, b are dependency_t records. */
int dependencyCompare(void *a, void *b);
int dependencyCompareNoArgs(void *a, void *b);
/* Hash consistent with dependencyCompare (type, both vertices, args). */
unsigned long dependencyHash(const void *d);

int connectionInfoCompare(void *a, void *b);
int connectionInfoPrint(void *c);
int freeConnectionInfo(void *c);
connInfo_t *findConnectionInfo(const char *proto, int port);

int isThisMe(const char *nameaddr);
int amIClient(int dtype);

dependency_t *findDependency(dependency_t *match);
dependency_t *findLocalDependency(dependency_t *match);
dependency_t *findLocalDependencyNoArgs(int dtype, const char *dpeer, int pov);
dependency_t *findTransitDependency(int dtype, const char *client, const char *server, const char *args);
dependency_t *findTransitDependencyNoArgs(int dtype, const char *client, const char *server);
dependency_t *findDependencyByType(int dtype, const char *client, const char *server);
dependency_t *findDependencyByName(const char *name, const char *client, const char *server);

int addLocalDependency(dependency_t *d);
int addTransitDependency(dependency_t *d);
int addGeneralDependency(dependency_t *d);
int addGeneralDependencyByArgs(const char *client, const char *server, int dtype, const char *args, int dsrc);
int removeLocalDependency(dependency_t *d);
int removeTransitDependency(dependency_t *d);

/* ---- the dependency table: worker, age-out, probes, select handler ---- */

int init_dependencies(void);
void *dependency_dowork(void *arg);
/* One pass of the worker (discovery, both age-outs, probes); 0 when the stop
 * flag ended it early, else 1. */
int kestrovaDependencyPass(void);
int pruneDependencies(int local, int ageOut);
int pruneStaticDependencies(void);
int pruneLogfileDependencies(void);
int checkDependencies(void);
int pingDependencyPeer(dependency_t *d);
int getNumberDependencies(void);
/* A copy of every local record (release with free); count through len. */
dependency_t *getDependencies(int *len);
int traverse_dependencies(void);
/* Select handler of "dependencyTable". */
qelErrorStatus_t var_dependTable(char *key, qelVariable_t *columns, qelPdu_t *out);
/* Fetches a peer's dependency table over sptr, adds each row to the graph as
 * a general dependency and returns the rows (release with free), or null;
 * their count through numDependencies. */
dependency_t *getPeerDependencies(struct qelSession *sptr, int *numDependencies, const char *target);

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
#include <string>
#include <vector>

#include "ping.h"

namespace kestrova {

/* One row of a dependency table, as much as a peer exchange and the peer
 * search use (a full record is 7 KB). */
struct DependencyRow {
    int dtype = 0;
    int pov = 0;
    std::string client, server, args;
};

/* Rows kept from one peer's reply at most; the rest are dropped and logged. */
constexpr size_t kMaxPeerDependencyRows = 50000;

/* The local dependency table (myVertex's records, edge-set order). */
std::vector<DependencyRow> getDependencyRows();

/* getPeerDependencies with compact rows: fetches target's table over
 * session, adds every row to the graph (client and server normalised, a
 * loopback name replaced by target, pov dependNA, source dynamic) and
 * returns them in rows. Returns the number of rows, or -1 when the session
 * is missing or not connected, the exchange fails, or the reply is an error
 * or holds fewer than five variables. */
int getPeerDependencyRows(struct qelSession *session, const char *target, std::vector<DependencyRow> &rows);

/* The two halves of getPeerDependencyRows, for tests: the reply's bindings
 * read five to a row (surplus ignored, at most maxRows kept;
 * returns the number dropped), and the rows merged into the graph (rows
 * without a client or server dropped, names normalised, a loopback name
 * replaced by target, pov dependNA; returns the rows kept, -1 on failure). */
size_t readPeerDependencyRows(const qelVariable_t *vars, std::vector<DependencyRow> &rows,
                              size_t maxRows = kMaxPeerDependencyRows);
int mergePeerDependencyRows(std::vector<DependencyRow> &rows, const char *target);

/* Adds one row learned from a peer's table (names normalised, a name or
 * address of this host standing for this host). A row whose client is this
 * host is dropped: only this host's own discovery, rules and static
 * statements confirm its dependencies. A row matching a record this host
 * made itself (any point of view but dependNA) leaves that record as it is;
 * a learned record is refreshed, a new one inserted (pov dependNA, source
 * dynamic). 1 inserted, 0 refreshed or dropped, -1 on failure. */
int addLearnedDependency(dependency_t *d);
int addLearnedDependency(const char *client, const char *server, int dtype, const char *args);

/* The prober behind checkDependencies and pingDependencyPeer (pingHostMany's
 * form); null restores pingHostMany. For tests. */
using DependencyProber = int (*)(int version, const char *const *hosts, int count, kestrovaPingArgs_t *args,
                                 int *results, int *raw4, int *raw6);
void setDependencyProber(DependencyProber prober);

/* Probe statistics of one record and the rules by which a probe result
 * changes them. */
struct ProbeFields {
    int reachable = 2;
    time_t reachableTime = 0;
    int numIcmp = 0;
    int icmpRespTime = 0;
    int avgIcmpRespTime = 0;
    int movAvgIcmpRespTime = 0;
};
/* result: the probe's result after any retry; avgMsecs its average. For
 * pov dependNA, clientIsMe says whether the client vertex is myVertex (it
 * does not change the arithmetic). */
void applyProbeResult(ProbeFields &f, int pov, int result, int avgMsecs, time_t now);

/* Longest graph-lock hold of the last checkDependencies pass and of the last
 * age-out pass, in microseconds: what another user of the graph waited at
 * most. */
long long lastProbeLockMicros();
long long lastPruneLockMicros();
/* The same for the last dependencyTable select. */
long long lastSelectLockMicros();

} // namespace kestrova
#endif

// Definitions of module kestrova: dependencyTable
#ifdef __cplusplus
#include "vardefs.h"
namespace kestrova {
enum class DependColumn : unsigned {
    dependType = 1,
    dependLastUpdate,
    dependArgs,
    dependSrc,
    dependPeer,
    dependReference,
    dependReachable,
    dependReachableTime,
    dependClient,
    dependServer,
    dependCreateTime,
    dependScore,
    dependNumIcmp,
    dependAvgIcmpRespTime,
    dependMovingAvgIcmpRespTime,
    dependIcmpRespTime,
    dependIpVersion,
};
inline constexpr VarSpec dependencyTableDefs[] = {
    KESTROVA_TABLE("dependencyTable", var_dependTable),
    KESTROVA_COLUMN(DependColumn, dependType, integer, "dependencyTable"),
    KESTROVA_COLUMN(DependColumn, dependLastUpdate, displayString, "dependencyTable"),
    KESTROVA_COLUMN(DependColumn, dependArgs, displayString, "dependencyTable"),
    KESTROVA_COLUMN(DependColumn, dependSrc, integer, "dependencyTable"),
    KESTROVA_COLUMN(DependColumn, dependPeer, displayString, "dependencyTable"),
    KESTROVA_COLUMN(DependColumn, dependReference, integer, "dependencyTable"),
    KESTROVA_COLUMN(DependColumn, dependReachable, extendedBoolean, "dependencyTable"),
    KESTROVA_COLUMN(DependColumn, dependReachableTime, dateTime, "dependencyTable"),
    KESTROVA_COLUMN(DependColumn, dependClient, displayString, "dependencyTable"),
    KESTROVA_COLUMN(DependColumn, dependServer, displayString, "dependencyTable"),
    KESTROVA_COLUMN(DependColumn, dependCreateTime, dateTime, "dependencyTable"),
    KESTROVA_COLUMN(DependColumn, dependScore, integer, "dependencyTable"),
    KESTROVA_COLUMN(DependColumn, dependNumIcmp, integer, "dependencyTable"),
    KESTROVA_COLUMN(DependColumn, dependAvgIcmpRespTime, integer, "dependencyTable"),
    KESTROVA_COLUMN(DependColumn, dependMovingAvgIcmpRespTime, integer, "dependencyTable"),
    KESTROVA_COLUMN(DependColumn, dependIcmpRespTime, integer, "dependencyTable"),
    KESTROVA_COLUMN(DependColumn, dependIpVersion, integer, "dependencyTable"),
};
} // namespace kestrova
#endif

#endif
