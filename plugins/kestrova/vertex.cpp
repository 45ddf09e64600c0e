// Vertices of the dependency graph and their edge sets. None of these lock:
// callers hold the graph lock.
#include "vertex.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <functional>
#include <string_view>
#include <unordered_set>

#include "graph_internal.h"
#include "qel/strutil.h"

namespace kestrova {

void releaseVertex(vertex_t *v) {
    free(v);
}

vertex_t *vertexNewNamed(const char *hostName) {
    auto *v = static_cast<vertex_t *>(calloc(1, sizeof(vertex_t)));
    if (!v) {
        perror("malloc of vertex failed");
        return nullptr;
    }
    qelCopyField(v->name, hostName);
    v->reachable = 2;
    v->setOfEdges =
        newLinkedList(sizeof(dependency_t), dependencyCompare, dependencyPrintCb, nullptr, "vertex Set Of Edges", 0);
    if (!v->setOfEdges) {
        releaseVertex(v);
        return nullptr;
    }
    // The local vertex holds every local dependency; keep its lookups flat.
    listSetHashIndex(v->setOfEdges, dependencyHash);
    return v;
}

} // namespace kestrova

using kestrova::dependencyPrintCb;

extern "C" {

vertex_t *vertexNew(const char *nameaddr) {
    if (!nameaddr)
        return nullptr;
    char host[kestrova::kHostNameLen];
    kestrova::hostNameOf(nameaddr, host);
    return kestrova::vertexNewNamed(host);
}

int vertexFree(vertex_t *v) {
    if (!v)
        return -1;
    destroyLinkedList(v->setOfEdges);
    kestrova::releaseVertex(v);
    return 0;
}

int vertexCompare(void *a, void *b) {
    if (!a || !b)
        return -1;
    return strcmp(static_cast<vertex_t *>(a)->name, static_cast<vertex_t *>(b)->name);
}

int vertexPrint(void *) {
    return 0;
}

unsigned long vertexHash(const void *v) {
    const auto *vx = static_cast<const vertex_t *>(v);
    return std::hash<std::string_view>{}(std::string_view(vx->name, strnlen(vx->name, sizeof(vx->name))));
}

int vertexAddEdge(vertex_t *v, dependency_t *d) {
    if (!v || !d)
        return -1;
    if (findElement(v->setOfEdges, d))
        return 0;
    v->numberEdges++;
    return insertTail(v->setOfEdges, d);
}

int vertexDisconnectEdge(vertex_t *v, dependency_t *d) {
    if (!v || !d) {
        fprintf(stderr, "******* vertexDisconnectEdge: null data\n");
        return -1;
    }
    linkedElement_t *cell = findElement(v->setOfEdges, d);
    if (cell && cell->data != d) {
        fprintf(stderr, "****** vertexDisconnectEdge: found match but not same ptr %lx %lx\n",
                (unsigned long)cell->data, (unsigned long)d);
        dependencyPrint(static_cast<dependency_t *>(cell->data));
        dependencyPrint(d);
        cell = findElementByDataPtr(v->setOfEdges, d);
        if (!cell) {
            fprintf(stderr, "****** vertexDisconnectEdge: unable to match %lx\n", (unsigned long)d);
            return -1;
        }
        fprintf(stderr, "****** vertexDisconnectEdge: matched %lx %lx\n", (unsigned long)cell->data, (unsigned long)d);
    }
    if (cell) {
        disconnectElement(v->setOfEdges, cell);
        v->numberEdges--;
    }
    return 1;
}

int vertexGetDegree(vertex_t *v) {
    if (!v)
        return -1;
    return numberElements(v->setOfEdges);
}

int vertexGetInDegree(vertex_t *v) {
    if (!v || !v->setOfEdges)
        return -1;
    int n = 0;
    for (linkedElement_t *c = v->setOfEdges->head; c; c = c->next)
        if (static_cast<dependency_t *>(c->data)->server == v)
            n++;
    return n;
}

int vertexGetOutDegree(vertex_t *v) {
    if (!v || !v->setOfEdges)
        return -1;
    int n = 0;
    for (linkedElement_t *c = v->setOfEdges->head; c; c = c->next)
        if (static_cast<dependency_t *>(c->data)->client == v)
            n++;
    return n;
}

int vertexGetNumberNeighbors(vertex_t *v) {
    if (!v || !v->setOfEdges)
        return -1;
    try {
        std::unordered_set<vertex_t *> seen;
        for (linkedElement_t *c = v->setOfEdges->head; c; c = c->next) {
            auto *d = static_cast<dependency_t *>(c->data);
            seen.insert(d->client == v ? d->server : d->client);
        }
        return (int)seen.size();
    } catch (...) {
        return -1;
    }
}

int vertexIsAdjacent(vertex_t *a, vertex_t *b) {
    if (!a || !b || !a->setOfEdges)
        return 0;
    for (linkedElement_t *c = a->setOfEdges->head; c; c = c->next) {
        auto *d = static_cast<dependency_t *>(c->data);
        if ((d->client == a && d->server == b) || (d->server == a && d->client == b))
            return 1;
    }
    return 0;
}

int vertexIsLeaf(vertex_t *v) {
    return v && v->numberEdges == 1;
}

int vertexIsIsolated(vertex_t *v) {
    return v && v->numberEdges == 0;
}

dependency_t *vertexFindInboundEdgeByName(vertex_t *v, const char *name, vertex_t *client) {
    if (!v || !name || !client || !v->setOfEdges)
        return nullptr;
    for (linkedElement_t *c = v->setOfEdges->head; c; c = c->next) {
        auto *d = static_cast<dependency_t *>(c->data);
        if (d->client == client && d->server == v && strcmp(d->name, name) == 0)
            return d;
    }
    return nullptr;
}

dependency_t *vertexFindOutboundEdgeByName(vertex_t *v, const char *name, vertex_t *server) {
    if (!v || !name || !server || !v->setOfEdges)
        return nullptr;
    for (linkedElement_t *c = v->setOfEdges->head; c; c = c->next) {
        auto *d = static_cast<dependency_t *>(c->data);
        if (d->server == server && d->client == v && strcmp(d->name, name) == 0)
            return d;
    }
    return nullptr;
}

dependency_t *vertexGetEdgeByName(vertex_t *a, vertex_t *b, const char *name) {
    if (!a || !b || !name || !a->setOfEdges)
        return nullptr;
    for (linkedElement_t *c = a->setOfEdges->head; c; c = c->next) {
        auto *d = static_cast<dependency_t *>(c->data);
        bool joins = (d->client == a && d->server == b) || (d->client == b && d->server == a);
        if (joins && strcmp(d->name, name) == 0)
            return d;
    }
    return nullptr;
}

int vertexIsPeer(vertex_t *a, vertex_t *b, int *dtype, vertex_t **server) {
    if (!a || !b || !a->setOfEdges || !b->setOfEdges)
        return 0;
    for (linkedElement_t *ca = a->setOfEdges->head; ca; ca = ca->next) {
        auto *da = static_cast<dependency_t *>(ca->data);
        for (linkedElement_t *cb = b->setOfEdges->head; cb; cb = cb->next) {
            auto *db = static_cast<dependency_t *>(cb->data);
            if (da == db || da->server == b || db->server == a)
                continue;
            if (da->server == db->server && da->dtype == db->dtype) {
                if (dtype)
                    *dtype = da->dtype;
                if (server)
                    *server = da->server;
                return 1;
            }
        }
    }
    return 0;
}

} // extern "C"
