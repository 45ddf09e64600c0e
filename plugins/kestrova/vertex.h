/* A host taking part in a dependency; its edges are dependency records. */
#ifndef KESTROVA_VERTEX_H
#define KESTROVA_VERTEX_H

#include <time.h>

#include "dependency.h"
#include "linkedlist.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct vertex {
    char name[256];
    linkedList_t *setOfEdges;
    int numberEdges;
    time_t lastUpdate;
    char qeldVersion[128];
    char sysDescr[128];
    int contactAttempts;
    time_t contactTime;
    time_t reachableTime;
    int reachable;
    int status;
} vertex_t;

vertex_t *vertexNew(const char *nameaddr);
/* Destroys the edge set (records are not released) and releases the vertex;
 * for vertices that never entered a graph. */
int vertexFree(vertex_t *v);
int vertexCompare(void *a, void *b);
int vertexPrint(void *v);
/* Hash of the name, consistent with vertexCompare. */
unsigned long vertexHash(const void *v);

int vertexAddEdge(vertex_t *v, dependency_t *d);
int vertexDisconnectEdge(vertex_t *v, dependency_t *d);
int vertexGetDegree(vertex_t *v);
int vertexGetInDegree(vertex_t *v);
int vertexGetOutDegree(vertex_t *v);
int vertexGetNumberNeighbors(vertex_t *v);
int vertexIsAdjacent(vertex_t *a, vertex_t *b);
int vertexIsLeaf(vertex_t *v);
int vertexIsIsolated(vertex_t *v);
dependency_t *vertexFindInboundEdgeByName(vertex_t *v, const char *name, vertex_t *client);
dependency_t *vertexFindOutboundEdgeByName(vertex_t *v, const char *name, vertex_t *server);
dependency_t *vertexGetEdgeByName(vertex_t *a, vertex_t *b, const char *name);
int vertexIsPeer(vertex_t *a, vertex_t *b, int *dtype, vertex_t **server);

#ifdef __cplusplus
}
#endif

#endif
