// Helpers shared by the graph, vertex and dependency modules; not part of
// the plug-in's C interface.
#ifndef KESTROVA_GRAPH_INTERNAL_H
#define KESTROVA_GRAPH_INTERNAL_H

#include <pthread.h>

#include <atomic>

#include "graph.h"
#include "qel/bigbuf.h"

namespace kestrova {

// The graph's counters and times are written under the graph lock but read
// without it (the plug-in's scalars), so every access is a relaxed atomic.
template <class T>
inline T loadRelaxed(T &field) {
    return std::atomic_ref<T>(field).load(std::memory_order_relaxed);
}
template <class T>
inline void storeRelaxed(T &field, T value) {
    std::atomic_ref<T>(field).store(value, std::memory_order_relaxed);
}
template <class T>
inline void addRelaxed(T &field, T delta) {
    std::atomic_ref<T>(field).fetch_add(delta, std::memory_order_relaxed);
}

constexpr size_t kHostNameLen = 256;

// Host-name normalisation through the agent's cached look-ups; the given
// text (cut to 255 characters) stands when it cannot be resolved.
void hostNameOf(const char *nameaddr, char (&out)[kHostNameLen]);
void ipHostNameOf(const char *addr, char (&out)[kHostNameLen]);

// A vertex named by an already normalised host name (no look-up).
vertex_t *vertexNewNamed(const char *hostName);
// Releases a vertex that has left the graph.
void releaseVertex(vertex_t *v);

// Holds a graph's lock for a scope (the graph is not null).
class GraphLock {
public:
    explicit GraphLock(graph_t *g) : g_(g) { pthread_mutex_lock(&g_->lock); }
    ~GraphLock() { pthread_mutex_unlock(&g_->lock); }
    GraphLock(const GraphLock &) = delete;
    GraphLock &operator=(const GraphLock &) = delete;

private:
    graph_t *g_;
};

// The following expect the graph lock to be held.
vertex_t *findNodeLocked(graph_t *g, const char *hostName, const char *raw);
int insertNodeLocked(graph_t *g, vertex_t *v);
void insertEdgeLocked(graph_t *g, dependency_t *d);
void markUpdate(graph_t *g, bool structural);
// The GraphML document written into buf (grown as needed) under the graph
// lock: the text with a NUL and one spare byte behind it, its length in
// *len; null when there is no room.
const char *graphExportInto(graph_t *g, QelGrowingBuffer &buf, size_t *len);

// Dependency list print callback (void* form).
int dependencyPrintCb(void *d);

} // namespace kestrova

#endif
