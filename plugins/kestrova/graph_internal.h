// Helpers shared by the graph, vertex and dependency modules; not part of
// the plug-in's C interface.
#ifndef KESTROVA_GRAPH_INTERNAL_H
#define KESTROVA_GRAPH_INTERNAL_H

#include <atomic>
#include <vector>

#include "graph.h"
#include "qel/bigbuf.h"
#include "record_pool.h"

namespace kestrova {

// The graph's counters and times are written under the graph lock but read
// without it (the plug-in's scalars), so every access is a relaxed atomic.
template <class T> inline T loadRelaxed(T &field) {
    return std::atomic_ref<T>(field).load(std::memory_order_relaxed);
}
template <class T> inline void storeRelaxed(T &field, T value) {
    std::atomic_ref<T>(field).store(value, std::memory_order_relaxed);
}
template <class T> inline void addRelaxed(T &field, T delta) {
    std::atomic_ref<T>(field).fetch_add(delta, std::memory_order_relaxed);
}

constexpr size_t kHostNameLen = 256;

// Host-name normalisation through the agent's cached look-ups; the given
// text (cut to 255 characters) stands when it cannot be resolved.
void hostNameOf(const char *nameaddr, char (&out)[kHostNameLen]);
void ipHostNameOf(const char *addr, char (&out)[kHostNameLen]);

// A vertex named by an already normalised host name (no look-up).
vertex_t *vertexNewNamed(const char *hostName);
// Releases a vertex that has left the graph (pool or malloc).
void releaseVertex(vertex_t *v);

// The following expect the graph lock to be held.
vertex_t *findNodeLocked(graph_t *g, const char *hostName, const char *raw);
int insertNodeLocked(graph_t *g, vertex_t *v);
void insertEdgeLocked(graph_t *g, dependency_t *d);
void markUpdate(graph_t *g, bool structural);
// The GraphML document as a malloc'ed text with a NUL behind it (and one
// spare byte); its length in *len. Throws std::bad_alloc.
char *exportLocked(graph_t *g, size_t *len);
// The same text written from the records themselves, never from the edge
// lines kept beside the edge set (the two must agree byte for byte).
char *exportLockedFromRecords(graph_t *g, size_t *len);
// True when the export writes the edges from the kept lines (they account
// for every edge of the set); the caller holds the graph lock.
bool edgeLinesInUse(graph_t *g);
// The same document written into a buffer the caller keeps between exports
// (its pages stay mapped); the text with a NUL behind it, valid until the
// next export into that buffer. The first form expects the graph lock held
// and throws std::bad_alloc; the second takes the lock and answers null on
// failure.
const char *exportLockedInto(graph_t *g, QelGrowingBuffer &kept, size_t *len);
const char *graphExportInto(graph_t *g, QelGrowingBuffer &kept, size_t *len);

// Counts of changes that can make a remembered look-up in the graph wrong:
// every record or vertex leaving a graph (and every graph destroyed), and
// every vertex entering one. Bumped under the graph's lock; the dependency
// add's refresh cache compares them.
extern std::atomic<unsigned long long> graphRemovals;
extern std::atomic<unsigned long long> graphNodeInsertions;

// Records that left a vertex's edge set (or a whole graph that went) since
// the last take. The probe pass keeps what it copied of a record from one
// pass to the next while the record stays where it was: a record that never
// left the edge set since is the very record copied, with the names and
// arguments it was made with. Logged under the graph lock; nothing is
// logged until the first take, and past a bound the log only says "too
// many".
void noteEdgeLeft(const dependency_t *d);
void noteGraphGone();
// Moves the records logged since the last take into out; false when the
// log cannot tell (the first take, too many, or a graph gone): then any
// record may have left.
bool takeEdgesLeft(std::vector<const dependency_t *> &out);

// Dependency list print callback (void* form).
int dependencyPrintCb(void *d);

} // namespace kestrova

#endif
