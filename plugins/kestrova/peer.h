/* Peers: other hosts running kestrova with which this host shares a dependency. */
#ifndef KESTROVA_PEER_H
#define KESTROVA_PEER_H

#include "dependency.h"
#include "linkedlist.h"
#include "qelplugin.h"

#ifdef __cplusplus
extern "C" {
#endif

struct graph;
struct vertex;

typedef struct peerNode {
    char nameaddr[256];
} peerNode_t;

/* One neighbour of mib2's ARP table, laid out as mib2 lends it
 * (mib2GetArpTable). ipv4addr in network byte order; hwaddrlen 0 for an
 * entry without a resolved hardware address. */
typedef struct arpEntry {
    char ifname[256];
    unsigned int ipv4addr;
    unsigned char hwaddr[12];
    int hwaddrlen;
    unsigned int hwtype;
    unsigned int flags;
    unsigned int ifIndex;
} arpEntry_t;

/* Current peers (list "peerList", records peerNode_t, locks itself). */
extern linkedList_t *peerList;

int comparePeers(void *a, void *b);
int printPeer(void *p);
int freePeer(void *p);
peerNode_t *peerNew(const char *name);

/* Creates peerList and composes the peer data file's path; 0. */
int init_peers(void);
/* The peer worker. */
void *peer_dowork(void *arg);
/* One search pass: 1 when complete, 0 when stopped. */
int findPeers(void);
/* Asks one system's agent for its dependencies: -1 bad arguments, 0 nothing
 * learned, 1 the peer was asked. */
int querySystemForPeers(dependency_t *myTable, int numDependencies, const char *system, linkedList_t *alreadyVisited);
int getPeers(void);
int getNumberPeers(void);
int checkPeers(void);
int prunePeers(void);
int sendPrunePeerTrap(peerNode_t *p);
int sendPruneDependencyTrap(dependency_t *d);
/* Select handler of "peerTable". */
qelErrorStatus_t var_peerTable(char *key, qelVariable_t *columns, qelPdu_t *out);

/* "%s/peerdata.xml" under the plug-in's home directory. */
extern char peerDataFile[1040];

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
#include <string>
#include <vector>

namespace kestrova {

/* Agent port of peers (5270); tests point it elsewhere. */
void setPeerPort(int port);
int peerPort();
/* Bound of one whole conversation with a peer, in milliseconds: the
 * environment's KESTROVA_PEER_TIMEOUT (seconds, default 60) read by
 * init_peers, or what a test sets (0 or less: the environment's). */
void setPeerTimeoutMs(int ms);
int peerTimeoutMs();

/* Number of 15-second steps the worker pauses after a pass. */
int peerPauseSteps(int peerScanIntervalSeconds);

/* One peer of the local vertex: what vertexIsPeer(vertex, me) answers. */
struct PeerMatch {
    struct vertex *vertex;
    int dtype;
    struct vertex *server;
};
/* Every vertex other than me for which vertexIsPeer(vertex, me) holds, in
 * node-set order, with the type and server it gives. One index of me's
 * (server, type) pairs per call instead of a pairwise walk. The caller
 * holds the graph lock. */
std::vector<PeerMatch> peerWalkLocked(struct graph *g, struct vertex *me);

/* The two pairing rules between the local table and a peer's: fn(local,
 * peer, rule) for every pair that yields a dependency (rule 1: the peer uses
 * the same server for the same service; rule 2: the peer serves it to a
 * third client), in the order of the nested loop over local then peer rows. */
using PairFn = void (*)(void *ctx, const DependencyRow &local, const DependencyRow &peer, int rule);
void pairPeerRows(const std::vector<DependencyRow> &local, const std::vector<DependencyRow> &peer, const char *system,
                  const char *localHost, PairFn fn, void *ctx);

/* querySystemForPeers over compact rows. */
int querySystemForPeers(const std::vector<DependencyRow> &myTable, const char *system, linkedList_t *alreadyVisited);

/* The prober behind checkPeers (pingHostMany's form); null restores
 * pingHostMany. For tests. */
using PeerProber = int (*)(int version, const char *const *hosts, int count, kestrovaPingArgs_t *args, int *results,
                           int *raw4, int *raw6);
void setPeerProber(PeerProber prober);

/* How sessions to peers are opened (newQelSessionConnectHostnameWithin's
 * form); null restores it. For tests, which reach their fake peers under
 * names no resolver knows. */
using PeerConnector = struct qelSession *(*)(const char *host, int ipVersion, int port, int timeout, const char *user,
                                             int totalMs);
void setPeerConnector(PeerConnector connector);

} // namespace kestrova
#endif

// Definitions of module kestrova: peerTable
#ifdef __cplusplus
#include "vardefs.h"
namespace kestrova {
enum class PeerColumn : unsigned {
    peerName = 1,
    peerServer,
    peerFlags,
    peerDependType,
    peerContactTime,
    peerStatus,
    peerReachable,
    peerReachableTime,
};
inline constexpr VarSpec peerTableDefs[] = {
    KESTROVA_TABLE("peerTable", var_peerTable),
    KESTROVA_COLUMN(PeerColumn, peerName, displayString, "peerTable"),
    KESTROVA_COLUMN(PeerColumn, peerServer, displayString, "peerTable"),
    KESTROVA_COLUMN(PeerColumn, peerFlags, integer, "peerTable"),
    KESTROVA_COLUMN(PeerColumn, peerDependType, integer, "peerTable"),
    KESTROVA_COLUMN(PeerColumn, peerContactTime, dateTime, "peerTable"),
    KESTROVA_COLUMN(PeerColumn, peerStatus, integer, "peerTable"),
    KESTROVA_COLUMN(PeerColumn, peerReachable, bool_, "peerTable"),
    KESTROVA_COLUMN(PeerColumn, peerReachableTime, dateTime, "peerTable"),
};
} // namespace kestrova
#endif

#endif
