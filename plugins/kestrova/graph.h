/* The dependency graph: hosts as vertices, dependency records as edges. */
#ifndef KESTROVA_GRAPH_H
#define KESTROVA_GRAPH_H

#include <pthread.h>
#include <time.h>

#include "dependency.h"
#include "linkedlist.h"
#include "vertex.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct graph {
    char name[256];
    int isDirected;
    pthread_mutex_t lock;
    linkedList_t *setOfNodes;
    linkedList_t *setOfEdges;
    int numberNodes;
    int numberEdges;
    time_t lastUpdate;
    time_t lastChange;
} graph_t;

/* The plug-in's graph and the local host's vertex, created by init. */
extern graph_t *theGraph;
extern vertex_t *myVertex;

graph_t *graphNew(const char *name);
int graphLock(graph_t *g, const char *descr);
int graphUnlock(graph_t *g, const char *descr);
int graphDestroy(graph_t *g);
int graphSetName(graph_t *g, const char *name);
int graphIsDirected(graph_t *g);
int graphSetDirected(graph_t *g, int d);
int getOrderOfGraph(graph_t *g);
int getSizeOfGraph(graph_t *g);
/* lastUpdate / lastChange, read like the counters without the lock; 0 for
 * a null graph. */
time_t graphLastUpdate(graph_t *g);
time_t graphLastChange(graph_t *g);
int graphPrint(graph_t *g);

int graphInsertNode(graph_t *g, vertex_t *v);
int graphRemoveNode(graph_t *g, vertex_t *v);
/* graphRemoveNode for a caller that already holds the graph lock. */
int graphRemoveNodeLocked(graph_t *g, vertex_t *v);
vertex_t *graphGetNodeByName(graph_t *g, const char *nameaddr);
vertex_t *getNodeByName(graph_t *g, const char *nameaddr);
int graphUpdateVertexReachable(graph_t *g, const char *name, int reachable, time_t reachableTime);
int graphUpdateVertexContact(graph_t *g, const char *name, time_t contactTime);
int graphUpdateVertexDescr(graph_t *g, const char *name, const char *descr, const char *vers);

int graphInsertEdge(graph_t *g, dependency_t *d);
int graphDisconnectEdge(graph_t *g, dependency_t *d, int doLock);
int graphRemoveEdge(graph_t *g, dependency_t *d, int doLock);
dependency_t *graphGetEdgeByName(graph_t *g, const char *name, vertex_t *a, vertex_t *b);
dependency_t *graphFindInboundEdgeByName(graph_t *g, vertex_t *v, const char *name, vertex_t *client);
dependency_t *graphFindOutboundEdgeByName(graph_t *g, vertex_t *v, const char *name, vertex_t *server);
int graphIsAdjacent(graph_t *g, vertex_t *a, vertex_t *b);
int graphGetNumberNeighbors(graph_t *g, vertex_t *a);
int graphGetVertexDegree(graph_t *g, vertex_t *v);
int graphGetVertexInDegree(graph_t *g, vertex_t *v);
int graphGetVertexOutDegree(graph_t *g, vertex_t *v);
int graphAreVerticesPeer(graph_t *g, vertex_t *a, vertex_t *b);

int graphExport(graph_t *g, const char *filename);
char *graphExportToBuffer(graph_t *g, int *retlen);
int graphImport(graph_t *g, const char *filename);

int graphDfs(graph_t *g, vertex_t *v);
int graphBfs(graph_t *g, vertex_t *v);

#ifdef __cplusplus
}
#endif

#endif
