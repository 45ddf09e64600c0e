/* Peers: other hosts running kestrova with which this host shares a dependency. */
#ifndef KESTROVA_PEER_H
#define KESTROVA_PEER_H

#include "dependency.h"
#include "linkedlist.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct peerNode {
    char nameaddr[256];
} peerNode_t;

/* Current peers (list "peerList", records peerNode_t, locks itself). */
extern linkedList_t *peerList;

int comparePeers(void *a, void *b);
int printPeer(void *p);
int freePeer(void *p);
peerNode_t *peerNew(const char *name);

int sendPruneDependencyTrap(dependency_t *d);

#ifdef __cplusplus
}
#endif

#endif
