// The dependency graph: node and edge sets under one lock, traversals, and
// the GraphML export and import.
#include "graph.h"

#include <errno.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <climits>
#include <memory>
#include <new>
#include <string>

#include "graph_internal.h"
#include "qel/bigbuf.h"
#include "qel/log.h"
#include "qel/strutil.h"
#include "qelplugin.h"

extern "C" {
graph_t *theGraph = nullptr;
vertex_t *myVertex = nullptr;
}

namespace kestrova {

namespace {

// Runs one of the agent's name calls; the given text stands when the call
// fails or leaves nothing.
void normalise(int (*call)(const char *, char *, int), const char *in, char (&out)[kHostNameLen]) {
    qelCopyField(out, in);
    if (!in)
        return;
    char buf[kHostNameLen];
    qelCopyField(buf, in);
    if (call(in, buf, (int)sizeof(buf)) >= 0) {
        buf[sizeof(buf) - 1] = '\0';
        if (buf[0])
            qelCopyField(out, buf);
    }
}

} // namespace

void hostNameOf(const char *nameaddr, char (&out)[kHostNameLen]) {
    normalise(qelNameAddrToHostname, nameaddr, out);
}

void ipHostNameOf(const char *addr, char (&out)[kHostNameLen]) {
    normalise(qelIpAddrToHostname, addr, out);
}

void markUpdate(graph_t *g, bool structural) {
    time_t now = time(nullptr);
    storeRelaxed(g->lastUpdate, now);
    if (structural)
        storeRelaxed(g->lastChange, now);
}

vertex_t *findNodeLocked(graph_t *g, const char *hostName, const char *raw) {
    // Stack probe: only the name takes part in the comparison.
    vertex_t probe;
    memset(probe.name, 0, sizeof(probe.name));
    qelCopyField(probe.name, hostName);
    linkedElement_t *cell = findElement(g->setOfNodes, &probe);
    if (!cell && raw) {
        qelCopyField(probe.name, raw);
        cell = findElement(g->setOfNodes, &probe);
    }
    return cell ? static_cast<vertex_t *>(cell->data) : nullptr;
}

int insertNodeLocked(graph_t *g, vertex_t *v) {
    if (findElement(g->setOfNodes, v))
        return -1;
    if (insertTail(g->setOfNodes, v) != 0)
        return -1;
    addRelaxed(g->numberNodes, 1);
    markUpdate(g, true);
    return 0;
}

void insertEdgeLocked(graph_t *g, dependency_t *d) {
    addRelaxed(g->numberEdges, 1);
    insertTail(g->setOfEdges, d);
    for (vertex_t *v : {d->client, d->server}) {
        if (v)
            vertexAddEdge(v, d);
        else
            qel::logError("graphInsertEdge: %s is null, %s -> %d ->%s\n", v == d->client ? "client" : "server",
                          d->dependClient, d->dtype, d->dependServer);
    }
    markUpdate(g, true);
}

int dependencyPrintCb(void *d) {
    return dependencyPrint(static_cast<dependency_t *>(d));
}

namespace {

// Takes `d` itself out of the edge set and out of both vertices' edge sets.
// Returns 0, or -1 when no record matches or `d` itself is not listed. The
// caller holds the lock.
int disconnectEdgeLocked(graph_t *g, dependency_t *d, bool quiet, bool *vertexFailed) {
    linkedElement_t *cell = findElement(g->setOfEdges, d);
    if (!cell) {
        if (!quiet)
            qel::logError("************* graphDisconnectEdge: unable to find element!!!!!\n");
        return -1;
    }
    if (cell->data != d) {
        // A duplicate of the same identity: take out the very record given.
        qel::logError("************** graphDisconnectEdge: found match but not same ptr %lx %lx\n",
                      (unsigned long)cell->data, (unsigned long)d);
        cell = findElementByDataPtr(g->setOfEdges, d);
        if (!cell)
            return -1;
    }
    disconnectElement(g->setOfEdges, cell);
    vertex_t *v1 = d->client;
    vertex_t *v2 = d->server;
    if (!v1 || !v2)
        qel::logError("*********** graphDisconnectEdge: null %s !!!\n", v1 ? "v2" : "v1");
    if (v1 && vertexDisconnectEdge(v1, d) < 0)
        *vertexFailed = true;
    if (v2 && v2 != v1 && vertexDisconnectEdge(v2, d) < 0)
        *vertexFailed = true;
    addRelaxed(g->numberEdges, -1);
    markUpdate(g, true);
    return 0;
}

// The export's output, in a buffer of the caller's. Each writer asks room
// for its worst case once and then writes without further checks.
class ExportBuf {
public:
    explicit ExportBuf(QelGrowingBuffer &buf) : buf_(buf) {}
    ExportBuf(const ExportBuf &) = delete;
    ExportBuf &operator=(const ExportBuf &) = delete;

    char *room(size_t n) {
        if (buf_.capacity() - len_ < n && !buf_.grow(std::max(2 * buf_.capacity(), len_ + n)))
            throw std::bad_alloc();
        return buf_.data() + len_;
    }
    void advance(char *end) { len_ = (size_t)(end - buf_.data()); }
    template <size_t N>
    void literal(const char (&s)[N]) {
        memcpy(room(N - 1), s, N - 1);
        len_ += N - 1;
    }
    // Ends the text with a NUL and one spare byte; its length.
    size_t finish() {
        memset(room(2), 0, 2);
        return len_;
    }

private:
    QelGrowingBuffer &buf_;
    size_t len_ = 0;
};

// Bytes written out unchanged inside an attribute value: printable ASCII
// other than the markup characters.
constexpr auto kPlainAttrByte = [] {
    std::array<bool, 256> t{};
    for (int c = 0x20; c < 0x80; c++)
        t[(size_t)c] = true;
    t['&'] = t['<'] = t['>'] = t['"'] = false;
    return t;
}();

// Most characters one input byte can become ("&quot;", "&#xFF;"); a
// four-byte character becomes at most ten ("&#x10FFFF;").
constexpr size_t kEscapedPerByte = 6;

template <size_t N>
char *put(char *o, const char (&s)[N]) {
    memcpy(o, s, N - 1);
    return o + N - 1;
}

char *putDecimal(char *o, int v) {
    char tmp[12];
    unsigned u = v < 0 ? 0u - (unsigned)v : (unsigned)v;
    size_t n = 0;
    do {
        tmp[n++] = (char)('0' + u % 10);
        u /= 10;
    } while (u);
    if (v < 0)
        *o++ = '-';
    while (n)
        *o++ = tmp[--n];
    return o;
}

char *putHex(char *o, unsigned long v, bool upper) {
    const char *digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    char tmp[2 * sizeof(v)];
    size_t n = 0;
    do {
        tmp[n++] = digits[v & 0xF];
        v >>= 4;
    } while (v);
    while (n)
        *o++ = tmp[--n];
    return o;
}

// "&#xHEX;" for one character or byte value.
char *putCharRef(char *o, uint32_t v) {
    o = put(o, "&#x");
    o = putHex(o, v, true);
    *o++ = ';';
    return o;
}

// Writes text as XML attribute content at o (room for kEscapedPerByte times
// its length) and returns the end. Markup characters become entity
// references, characters beyond ASCII numeric references (so the document
// is plain ASCII whatever the bytes), bytes that are not valid UTF-8 the
// reference of their value, and controls XML cannot carry '?'.
char *putAttrText(char *o, const char *s, size_t n) {
    const auto *p = reinterpret_cast<const unsigned char *>(s);
    const auto *end = p + n;
    while (p < end) {
        unsigned char c = *p;
        if (kPlainAttrByte[c]) {
            *o++ = (char)c;
            p++;
            continue;
        }
        if (c < 0x80) {
            switch (c) {
            case '&': o = put(o, "&amp;"); break;
            case '<': o = put(o, "&lt;"); break;
            case '>': o = put(o, "&gt;"); break;
            case '"': o = put(o, "&quot;"); break;
            case '\t': o = put(o, "&#x9;"); break;
            case '\n': o = put(o, "&#xA;"); break;
            case '\r': o = put(o, "&#xD;"); break;
            default: *o++ = '?'; break;
            }
            p++;
            continue;
        }
        size_t len = 0;
        uint32_t cp = 0, min = 0;
        if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
            cp = c & 0x1F;
            min = 0x80;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            cp = c & 0x0F;
            min = 0x800;
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            cp = c & 0x07;
            min = 0x10000;
        }
        bool valid = len != 0 && (size_t)(end - p) >= len;
        for (size_t k = 1; valid && k < len; k++) {
            if ((p[k] & 0xC0) != 0x80)
                valid = false;
            else
                cp = (cp << 6) | (p[k] & 0x3F);
        }
        if (valid && (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)))
            valid = false;
        if (!valid) {
            o = putCharRef(o, c);
            p++;
            continue;
        }
        if (cp == 0xFFFE || cp == 0xFFFF)
            *o++ = '?';
        else
            o = putCharRef(o, cp);
        p += len;
    }
    return o;
}

// One fixed-size text field as attribute content.
template <size_t N>
void appendAttr(ExportBuf &out, const char (&field)[N]) {
    size_t n = strnlen(field, N);
    out.advance(putAttrText(out.room(kEscapedPerByte * n), field, n));
}

// One edge, with ptr its place in the export. Client and server are written
// twice: as the record's own attributes and as GraphML's endpoints, which
// readers follow.
void appendEdge(ExportBuf &out, const dependency_t *d, unsigned long ptr) {
    size_t name = strnlen(d->name, sizeof(d->name)), args = strnlen(d->args, sizeof(d->args));
    size_t client = strnlen(d->client->name, sizeof(d->client->name));
    size_t server = strnlen(d->server->name, sizeof(d->server->name));
    char *o = out.room(kEscapedPerByte * (name + args + 2 * (client + server)) + 192);
    o = put(o, "<edge id=\"");
    o = putAttrText(o, d->name, name);
    o = put(o, "\" type=\"");
    o = putDecimal(o, (int)d->dtype);
    o = put(o, "\" src=\"");
    o = putDecimal(o, (int)d->dsrc);
    o = put(o, "\" pov=\"");
    o = putDecimal(o, (int)d->pov);
    o = put(o, "\" reachable=\"");
    o = putDecimal(o, d->reachable);
    o = put(o, "\" ptr=\"");
    o = putHex(o, ptr, false);
    o = put(o, "\" args=\"");
    o = putAttrText(o, d->args, args);
    o = put(o, "\" client=\"");
    o = putAttrText(o, d->client->name, client);
    o = put(o, "\" server=\"");
    o = putAttrText(o, d->server->name, server);
    o = put(o, "\" source=\"");
    o = putAttrText(o, d->client->name, client);
    o = put(o, "\" target=\"");
    o = putAttrText(o, d->server->name, server);
    o = put(o, "\" />\n");
    out.advance(o);
}

// Writes the GraphML document into out; the caller holds the graph lock.
void writeExport(graph_t *g, ExportBuf &out) {
    out.literal(
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<graphml xmlns=\"http://graphml.graphdrawing.org/xmlns\" \n"
        "   xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" \n"
        "   xsi:schemaLocation=\"http://graphml.graphdrawing.org/xmlns \n"
        "    http://graphml.graphdrawing.org/xmlns/1.0/graphml.xsd\">\n"
        "<graph id=\"");
    appendAttr(out, g->name);
    if (loadRelaxed(g->isDirected))
        out.literal("\" edgedefault=\"directed\">\n");
    else
        out.literal("\" edgedefault=\"undirected\">\n");
    for (linkedElement_t *c = g->setOfNodes->head; c; c = c->next) {
        auto *v = static_cast<const vertex_t *>(c->data);
        int status = (v->sysDescr[0] || v->contactTime != 0) ? 2 : 0;
        if (v->reachable)
            status += 1;
        out.literal("<node id=\"");
        appendAttr(out, v->name);
        char *o = out.room(32);
        o = put(o, "\" status=\"");
        o = putDecimal(o, status);
        o = put(o, "\" />\n");
        out.advance(o);
    }
    // Records are told apart by their place in this export, never by their
    // address (which would tell every client where the heap lies).
    unsigned long ptr = 0;
    for (linkedElement_t *c = g->setOfEdges->head; c; c = c->next) {
        auto *d = static_cast<const dependency_t *>(c->data);
        if (d->client && d->server)
            appendEdge(out, d, ++ptr);
    }
    out.literal("</graph>\n</graphml>\n");
}

bool isBlankText(xmlNodePtr n) {
    return n->type == XML_TEXT_NODE && xmlIsBlankNode(n);
}

bool nameIs(xmlNodePtr n, const char *name) {
    return n->name && strcmp(reinterpret_cast<const char *>(n->name), name) == 0;
}

// Attribute value copied with a bound; false when absent.
bool attrValue(xmlNodePtr n, const char *attr, char *buf, size_t size) {
    xmlChar *v = xmlGetProp(n, reinterpret_cast<const xmlChar *>(attr));
    if (!v) {
        qelCopyStr(buf, size, "");
        return false;
    }
    qelCopyStr(buf, size, reinterpret_cast<const char *>(v));
    xmlFree(v);
    return true;
}

int parseNode(graph_t *g, xmlNodePtr n) {
    char id[256];
    if (!n->properties || !attrValue(n, "id", id, sizeof(id)) || !id[0]) {
        qel::logError("parseNode: didnt find ID\n");
        return 0;
    }
    // This host's names and addresses are its own vertex, already there.
    if (g == theGraph && myVertex && isThisMe(id))
        return 0;
    vertex_t *v = vertexNew(id);
    if (!v)
        return -1;
    int rc = graphInsertNode(g, v);
    if (rc != 0)
        vertexFree(v);
    return rc;
}

vertex_t *nodeFor(graph_t *g, const char *name) {
    // A name or address of this host is this host's vertex.
    if (g == theGraph && myVertex && isThisMe(name))
        return myVertex;
    vertex_t *v = graphGetNodeByName(g, name);
    if (v)
        return v;
    v = vertexNew(name);
    if (v && graphInsertNode(g, v) != 0) {
        vertexFree(v);
        v = graphGetNodeByName(g, name);
    }
    return v;
}

int parseEdge(graph_t *g, xmlNodePtr n) {
    if (!n) {
        qel::logError("parseEdge: no xml node ptr\n");
        return 0;
    }
    if (!nameIs(n, "edge")) {
        qel::logError("parseEdge: not an EDGE\n");
        return 0;
    }
    if (!n->properties) {
        qel::logError("parseEdge: didnt find ID\n");
        return 0;
    }
    char id[256], server[256], client[256], typeText[32];
    std::string args(4096, '\0');
    attrValue(n, "id", id, sizeof(id));
    attrValue(n, "server", server, sizeof(server));
    attrValue(n, "client", client, sizeof(client));
    int dtype = attrValue(n, "type", typeText, sizeof(typeText)) ? (int)strtol(typeText, nullptr, 10) : 0;
    attrValue(n, "args", args.data(), args.size());
    if (!id[0] || !server[0] || !client[0]) {
        qel::logError("parseEdge: not enough info\n");
        return 0;
    }
    if (dtype == 0) {
        qel::logError("parseEdge: no dtype; not enough info\n");
        return 0;
    }
    nodeFor(g, server);
    nodeFor(g, client);
    return addGeneralDependencyByArgs(client, server, dtype, args.c_str(), dependSrcStatic);
}

struct DocFree {
    void operator()(xmlDocPtr d) const { xmlFreeDoc(d); }
};

template <class Fn>
int updateVertex(graph_t *g, const char *name, Fn fn) {
    if (!g)
        return -1;
    char host[kHostNameLen];
    hostNameOf(name, host);
    GraphLock lock(g);
    if (name)
        if (vertex_t *v = findNodeLocked(g, host, name))
            fn(v);
    storeRelaxed(g->lastUpdate, time(nullptr));
    return 1;
}

template <class Fn>
int underLock(graph_t *g, int nullResult, Fn fn) {
    if (!g)
        return nullResult;
    GraphLock lock(g);
    return fn();
}

int traverse(graph_t *g, vertex_t *v, bool depthFirst) {
    const char *tag = depthFirst ? "graphDfs" : "graphBfs";
    if (!g || !v) {
        qel::logError("%s: invalid arg(s)\n", tag);
        return -1;
    }
    GraphLock lock(g);
    linkedList_t *visited = newLinkedList(sizeof(vertex_t), vertexCompare, vertexPrint, nullptr,
                                          depthFirst ? "dfs alreadyVisited" : "bfs alreadyVisited", 0);
    linkedList_t *toVisit = newLinkedList(sizeof(vertex_t), vertexCompare, vertexPrint, nullptr,
                                          depthFirst ? "dfs toVisit" : "bfs toVisit", 0);
    if (!visited || !toVisit) {
        destroyLinkedList(visited);
        destroyLinkedList(toVisit);
        return -1;
    }
    listSetHashIndex(visited, vertexHash);
    listSetHashIndex(toVisit, vertexHash);
    printf(depthFirst ? "DFS of '%s':\n" : "BFS of '%s':\n", g->name);
    insertTail(toVisit, v);
    int numToVisit = 1, numVisited = 0;
    while (auto *t = static_cast<vertex_t *>(popHead(toVisit))) {
        numToVisit--;
        insertTail(visited, t);
        numVisited++;
        printf("\tVisit:'%s', %d edges, toVisit:%d alreadyVisit:%d\n", t->name, numberElements(t->setOfEdges),
               numToVisit, numVisited);
        for (linkedElement_t *c = t->setOfEdges->head; c; c = c->next) {
            auto *d = static_cast<dependency_t *>(c->data);
            vertex_t *next = loadRelaxed(g->isDirected) ? d->server : (d->client != t ? d->client : d->server);
            if (!next || findElement(visited, next) || findElement(toVisit, next))
                continue;
            if (depthFirst)
                insertHead(toVisit, next);
            else
                insertTail(toVisit, next);
            numToVisit++;
        }
    }
    destroyLinkedList(visited);
    destroyLinkedList(toVisit);
    printf(depthFirst ? "DFS complete, %d visited\n" : "BFS complete, %d visited\n", numVisited);
    return numVisited;
}

// Takes a removed record's vertices off it and its cell off the edge set;
// the caller holds the lock and releases the record.
void dropEdgeOfRemovedNode(graph_t *g, vertex_t *v, dependency_t *d) {
    bool failed = false;
    if (d->client && d->client != v && vertexDisconnectEdge(d->client, d) < 0)
        failed = true;
    if (d->server && d->server != v && d->server != d->client && vertexDisconnectEdge(d->server, d) < 0)
        failed = true;
    if (failed)
        qel::logError("***** graphRemoveNode: vertexDisconnectEdge failed\n");
    if (linkedElement_t *ec = findElementByDataPtr(g->setOfEdges, d)) {
        disconnectElement(g->setOfEdges, ec);
        addRelaxed(g->numberEdges, -1);
    }
}

} // namespace

const char *graphExportInto(graph_t *g, QelGrowingBuffer &buf, size_t *len) {
    if (!g || !len)
        return nullptr;
    try {
        ExportBuf out(buf);
        GraphLock lock(g);
        writeExport(g, out);
        *len = out.finish();
        return buf.data();
    } catch (const std::bad_alloc &) {
        qel::logError("failed to malloc graph export buffer\n");
        return nullptr;
    }
}

} // namespace kestrova

using namespace kestrova;

extern "C" {

graph_t *graphNew(const char *name) {
    auto *g = static_cast<graph_t *>(calloc(1, sizeof(graph_t)));
    if (!g) {
        perror("malloc of graph failed");
        return nullptr;
    }
    qelCopyField(g->name, name);
    g->isDirected = 1;
    pthread_mutex_init(&g->lock, nullptr);
    g->setOfNodes = newLinkedList(sizeof(vertex_t), vertexCompare, vertexPrint, nullptr, "Set of Nodes", 0);
    g->setOfEdges =
        newLinkedList(sizeof(dependency_t), dependencyCompare, dependencyPrintCb, nullptr, "Set Of Dependencies", 0);
    if (!g->setOfNodes || !g->setOfEdges) {
        qel::logError("creation of graph component failed\n");
        destroyLinkedList(g->setOfNodes);
        destroyLinkedList(g->setOfEdges);
        pthread_mutex_destroy(&g->lock);
        free(g);
        return nullptr;
    }
    listSetHashIndex(g->setOfNodes, vertexHash);
    listSetHashIndex(g->setOfEdges, dependencyHash);
    return g;
}

int graphLock(graph_t *g, const char *) {
    if (!g)
        return -1;
    pthread_mutex_lock(&g->lock);
    return 0;
}

int graphUnlock(graph_t *g, const char *) {
    if (!g)
        return -1;
    pthread_mutex_unlock(&g->lock);
    return 0;
}

int graphDestroy(graph_t *g) {
    if (!g)
        return -1;
    {
        GraphLock lock(g);
        destroyLinkedList(g->setOfNodes);
        destroyLinkedList(g->setOfEdges);
        g->setOfNodes = g->setOfEdges = nullptr;
    }
    pthread_mutex_destroy(&g->lock);
    free(g);
    return 0;
}

int graphSetName(graph_t *g, const char *name) {
    if (!g || !name)
        return -1;
    GraphLock lock(g);
    qelCopyField(g->name, name);
    return 0;
}

int graphIsDirected(graph_t *g) {
    return g ? loadRelaxed(g->isDirected) : 0;
}

int graphSetDirected(graph_t *g, int d) {
    if (g)
        storeRelaxed(g->isDirected, d);
    return d;
}

int getOrderOfGraph(graph_t *g) {
    return g ? loadRelaxed(g->numberNodes) : 0;
}

int getSizeOfGraph(graph_t *g) {
    return g ? loadRelaxed(g->numberEdges) : 0;
}

time_t graphLastUpdate(graph_t *g) {
    return g ? loadRelaxed(g->lastUpdate) : 0;
}

time_t graphLastChange(graph_t *g) {
    return g ? loadRelaxed(g->lastChange) : 0;
}

int graphPrint(graph_t *g) {
    if (!g) {
        qel::logError("Invalid graph\n");
        return -1;
    }
    GraphLock lock(g);
    printf("Graph: '%s'\n", g->name);
    printf("\t directed: %d\n", loadRelaxed(g->isDirected));
    printf("\t %d/%d nodes\n", g->numberNodes, numberElements(g->setOfNodes));
    printf("\t %d/%d edges\n", g->numberEdges, numberElements(g->setOfEdges));
    for (linkedElement_t *c = g->setOfNodes->head; c; c = c->next)
        printf("\t vertex '%s'\n", static_cast<vertex_t *>(c->data)->name);
    for (linkedElement_t *c = g->setOfEdges->head; c; c = c->next) {
        auto *d = static_cast<dependency_t *>(c->data);
        printf("\tedge %x %s->%s '%s'\n", (unsigned)(uintptr_t)d, d->client ? d->client->name : "",
               d->server ? d->server->name : "", d->name);
    }
    return 0;
}

int graphInsertNode(graph_t *g, vertex_t *v) {
    if (!g || !v) {
        qel::logError("graphInsertNode: invalid arg(s)\n");
        return -1;
    }
    GraphLock lock(g);
    return insertNodeLocked(g, v);
}

int graphRemoveNode(graph_t *g, vertex_t *v) {
    if (!g || !v) {
        qel::logError("graphRemoveNode: invalid %x %x arg(s)\n", (unsigned)(uintptr_t)g, (unsigned)(uintptr_t)v);
        return -1;
    }
    GraphLock lock(g);
    return graphRemoveNodeLocked(g, v);
}

vertex_t *graphGetNodeByName(graph_t *g, const char *nameaddr) {
    if (!g || !nameaddr)
        return nullptr;
    char host[kHostNameLen];
    ipHostNameOf(nameaddr, host);
    GraphLock lock(g);
    return findNodeLocked(g, host, nameaddr);
}

vertex_t *getNodeByName(graph_t *g, const char *nameaddr) {
    if (!g || !nameaddr)
        return nullptr;
    char host[kHostNameLen];
    hostNameOf(nameaddr, host);
    return findNodeLocked(g, host, nameaddr);
}

int graphUpdateVertexReachable(graph_t *g, const char *name, int reachable, time_t reachableTime) {
    return updateVertex(g, name, [&](vertex_t *v) {
        v->reachable = reachable;
        v->reachableTime = reachableTime;
    });
}

int graphUpdateVertexContact(graph_t *g, const char *name, time_t contactTime) {
    return updateVertex(g, name, [&](vertex_t *v) { v->contactTime = contactTime; });
}

int graphUpdateVertexDescr(graph_t *g, const char *name, const char *descr, const char *vers) {
    // Longer texts are cut to the 127 characters the fields hold.
    return updateVertex(g, name, [&](vertex_t *v) {
        if (descr)
            qelCopyField(v->sysDescr, descr);
        if (vers)
            qelCopyField(v->qeldVersion, vers);
    });
}

int graphInsertEdge(graph_t *g, dependency_t *d) {
    if (!g || !d)
        return -1;
    GraphLock lock(g);
    insertEdgeLocked(g, d);
    return 0;
}

int graphDisconnectEdge(graph_t *g, dependency_t *d, int doLock) {
    if (!g || !d)
        return -1;
    bool vertexFailed = false;
    int rc = doLock ? underLock(g, -1, [&] { return disconnectEdgeLocked(g, d, false, &vertexFailed); })
                    : disconnectEdgeLocked(g, d, false, &vertexFailed);
    if (vertexFailed)
        qel::logError("*********** graphDisconnectEdge: failed to disconnect edge\n");
    return rc;
}

int graphRemoveEdge(graph_t *g, dependency_t *d, int doLock) {
    if (!g || !d)
        return -1;
    bool vertexFailed = false;
    int rc = doLock ? underLock(g, -1, [&] { return disconnectEdgeLocked(g, d, true, &vertexFailed); })
                    : disconnectEdgeLocked(g, d, true, &vertexFailed);
    if (vertexFailed)
        qel::logError("***** graphRemoveEdge: failed to disconnect edge\n");
    if (rc != 0)
        return -1;
    free(d);
    return 0;
}

dependency_t *graphGetEdgeByName(graph_t *g, const char *name, vertex_t *a, vertex_t *b) {
    if (!g || !name || !a || !b)
        return nullptr;
    GraphLock lock(g);
    return vertexGetEdgeByName(a, b, name);
}

dependency_t *graphFindInboundEdgeByName(graph_t *g, vertex_t *v, const char *name, vertex_t *client) {
    if (!g)
        return nullptr;
    GraphLock lock(g);
    return vertexFindInboundEdgeByName(v, name, client);
}

dependency_t *graphFindOutboundEdgeByName(graph_t *g, vertex_t *v, const char *name, vertex_t *server) {
    if (!g)
        return nullptr;
    GraphLock lock(g);
    return vertexFindOutboundEdgeByName(v, name, server);
}

// A null graph answers "not adjacent" rather than a value that reads as true.
int graphIsAdjacent(graph_t *g, vertex_t *a, vertex_t *b) {
    return underLock(g, 0, [&] { return vertexIsAdjacent(a, b); });
}
int graphGetNumberNeighbors(graph_t *g, vertex_t *a) {
    return underLock(g, -1, [&] { return vertexGetNumberNeighbors(a); });
}
int graphGetVertexDegree(graph_t *g, vertex_t *v) {
    return underLock(g, -1, [&] { return vertexGetDegree(v); });
}
int graphGetVertexInDegree(graph_t *g, vertex_t *v) {
    return underLock(g, -1, [&] { return vertexGetInDegree(v); });
}
int graphGetVertexOutDegree(graph_t *g, vertex_t *v) {
    return underLock(g, -1, [&] { return vertexGetOutDegree(v); });
}
int graphAreVerticesPeer(graph_t *g, vertex_t *a, vertex_t *b) {
    return underLock(g, 0, [&] { return vertexIsPeer(a, b, nullptr, nullptr); });
}

// The document is written under the lock, the file after it.
int graphExport(graph_t *g, const char *filename) {
    if (!g || !filename)
        return -1;
    QelGrowingBuffer buf;
    size_t len = 0;
    const char *doc = graphExportInto(g, buf, &len);
    if (!doc)
        return -1;
    FILE *fp = fopen(filename, "w");
    if (!fp) {
        qel::logError("graphExport: failed to open file, %d\n", errno);
        return -1;
    }
    int rc = fwrite(doc, 1, len, fp) == len ? 0 : -1;
    if (fclose(fp) != 0)
        rc = -1;
    if (rc != 0)
        qel::logError("graphExport: failed to write file, %d\n", errno);
    return rc;
}

// The same text as the file export, in a malloc'ed copy with a NUL behind
// it (and one spare byte), made after the lock is released.
char *graphExportToBuffer(graph_t *g, int *retlen) {
    if (!g || !retlen) {
        qel::logError("graphExportToBuffer: invalid args\n");
        return nullptr;
    }
    QelGrowingBuffer buf;
    size_t len = 0;
    const char *doc = graphExportInto(g, buf, &len);
    char *copy = doc && len <= (size_t)INT_MAX ? static_cast<char *>(malloc(len + 2)) : nullptr;
    if (!copy) {
        qel::logError("failed to malloc graph export buffer\n");
        return nullptr;
    }
    memcpy(copy, doc, len + 2);
    *retlen = (int)len;
    return copy;
}

int graphImport(graph_t *g, const char *filename) {
    if (!g || !filename)
        return -1;
    struct stat st;
    if (stat(filename, &st) != 0) {
        qel::logError("stat of import data file failed\n");
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        qel::logError("graph import data file is not regular!\n");
        return -1;
    }
    std::unique_ptr<xmlDoc, DocFree> doc(
        xmlReadFile(filename, nullptr, XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING));
    if (!doc) {
        qel::logError("failed to xml parse graph import document\n");
        return -1;
    }
    xmlNodePtr root = xmlDocGetRootElement(doc.get());
    if (!root) {
        qel::logError("empty graph import document\n");
        return -1;
    }
    if (!nameIs(root, "graphml")) {
        qel::logError("importGraph: document is invalid, %s\n", reinterpret_cast<const char *>(root->name));
        return -1;
    }
    xmlNodePtr graphNode = root->children;
    while (graphNode && isBlankText(graphNode))
        graphNode = graphNode->next;
    if (!graphNode) {
        qel::logError("importGraph: no 'graph' element\n");
        return -1;
    }
    if (!nameIs(graphNode, "graph")) {
        qel::logError("importGraph: no graph element, %s\n",
                      graphNode->name ? reinterpret_cast<const char *>(graphNode->name) : "");
        return -1;
    }
    xmlAttrPtr first = graphNode->properties;
    xmlChar *id = first ? xmlNodeListGetString(doc.get(), first->children, 1) : nullptr;
    if (!id) {
        qel::logError("importGraph: no id nor edgedefault\n");
        return -1;
    }
    if (strcmp(reinterpret_cast<const char *>(first->name), "id") != 0) {
        xmlFree(id);
        qel::logError("importDoc: no id\n");
        return -1;
    }
    graphSetName(g, reinterpret_cast<const char *>(id));
    xmlFree(id);
    xmlAttrPtr second = first->next;
    if (second && strcmp(reinterpret_cast<const char *>(second->name), "edgedefault") == 0) {
        xmlChar *ed = xmlNodeListGetString(doc.get(), second->children, 1);
        if (ed) {
            if (strcmp(reinterpret_cast<const char *>(ed), "directed") == 0)
                graphSetDirected(g, 1);
            else if (strcmp(reinterpret_cast<const char *>(ed), "undirected") == 0)
                graphSetDirected(g, 0);
            xmlFree(ed);
        }
    }
    for (xmlNodePtr n = graphNode->children; n; n = n->next) {
        if (isBlankText(n) || n->type != XML_ELEMENT_NODE)
            continue;
        if (nameIs(n, "edge"))
            parseEdge(g, n);
        else if (nameIs(n, "node"))
            parseNode(g, n);
    }
    return 0;
}

int graphDfs(graph_t *g, vertex_t *v) {
    return traverse(g, v, true);
}

int graphBfs(graph_t *g, vertex_t *v) {
    return traverse(g, v, false);
}

// graphRemoveNode with the graph lock already held, so that a caller can
// check the vertex and remove it without another thread changing it between.
int graphRemoveNodeLocked(graph_t *g, vertex_t *v) {
    if (!g || !v)
        return -1;
    linkedElement_t *cell = findElementByDataPtr(g->setOfNodes, v);
    if (!cell) {
        qel::logError("graphRemoveNode: not in graph\n");
        return -1;
    }
    disconnectElement(g->setOfNodes, cell);
    addRelaxed(g->numberNodes, -1);
    markUpdate(g, true);
    while (auto *d = static_cast<dependency_t *>(popHead(v->setOfEdges))) {
        dropEdgeOfRemovedNode(g, v, d);
        free(d);
    }
    destroyLinkedList(v->setOfEdges);
    releaseVertex(v);
    return 0;
}

} // extern "C"
