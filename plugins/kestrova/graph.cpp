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
#include <mutex>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include "graph_internal.h"
#include "qel/bigbuf.h"
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

namespace {

// The export's summary of an edge set (defined with the export below).
void edgeLinesInserted(graph_t *g, const linkedElement_t *cell);
void edgeLinesRemoved(graph_t *g, const linkedElement_t *cell);
void edgeLinesDrop(graph_t *g);

} // namespace

std::atomic<unsigned long long> graphRemovals{0};
std::atomic<unsigned long long> graphNodeInsertions{0};

namespace {

struct EdgeLeftLog {
    std::mutex m;
    // Read before the mutex is taken: a removal costs nothing while the log
    // is not wanted or already says "too many".
    std::atomic<bool> armed{false};
    std::atomic<bool> tooMany{false};
    std::vector<const dependency_t *> left;
};

EdgeLeftLog &edgeLeftLog() {
    static auto *log = new EdgeLeftLog; // outlives workers at exit
    return *log;
}

// A quarter of a megabyte of pointers; a pass that removes more copies
// every record afresh anyway.
constexpr size_t kEdgeLeftLogMax = 32768;

} // namespace

void noteEdgeLeft(const dependency_t *d) {
    EdgeLeftLog &log = edgeLeftLog();
    if (!log.armed.load(std::memory_order_relaxed) || log.tooMany.load(std::memory_order_relaxed))
        return;
    std::lock_guard lock(log.m);
    if (log.tooMany.load(std::memory_order_relaxed))
        return;
    if (log.left.size() < kEdgeLeftLogMax) {
        try {
            log.left.push_back(d);
            return;
        } catch (...) {
        }
    }
    log.tooMany.store(true, std::memory_order_relaxed);
    std::vector<const dependency_t *>().swap(log.left);
}

void noteGraphGone() {
    EdgeLeftLog &log = edgeLeftLog();
    std::lock_guard lock(log.m);
    log.tooMany.store(true, std::memory_order_relaxed);
    std::vector<const dependency_t *>().swap(log.left);
}

bool takeEdgesLeft(std::vector<const dependency_t *> &out) {
    EdgeLeftLog &log = edgeLeftLog();
    std::lock_guard lock(log.m);
    bool whole = log.armed.load(std::memory_order_relaxed) && !log.tooMany.load(std::memory_order_relaxed);
    out.clear();
    out.swap(log.left);
    log.tooMany.store(false, std::memory_order_relaxed);
    log.armed.store(true, std::memory_order_relaxed);
    return whole;
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
    graphNodeInsertions.fetch_add(1, std::memory_order_relaxed);
    addRelaxed(g->numberNodes, 1);
    markUpdate(g, true);
    return 0;
}

void insertEdgeLocked(graph_t *g, dependency_t *d) {
    addRelaxed(g->numberEdges, 1);
    if (insertTail(g->setOfEdges, d) == 0 && g->setOfEdges->tail && g->setOfEdges->tail->data == d)
        edgeLinesInserted(g, g->setOfEdges->tail);
    if (d->client)
        vertexAddEdge(d->client, d);
    else
        fprintf(stderr, "graphInsertEdge: client is null, %s -> %d ->%s\n", d->dependClient, d->dtype,
                d->dependServer);
    if (d->server)
        vertexAddEdge(d->server, d);
    else
        fprintf(stderr, "graphInsertEdge: server is null, %s -> %d ->%s\n", d->dependClient, d->dtype,
                d->dependServer);
    markUpdate(g, true);
}

int dependencyPrintCb(void *d) { return dependencyPrint(static_cast<dependency_t *>(d)); }

namespace {

// Takes `d` itself out of the edge set and out of both vertices' edge sets.
// Returns 0, or -1 when no record matches or `d` itself is not listed. The
// caller holds the lock.
int disconnectEdgeLocked(graph_t *g, dependency_t *d, bool quiet, bool *vertexFailed) {
    linkedElement_t *cell = findElement(g->setOfEdges, d);
    if (!cell) {
        if (!quiet)
            fprintf(stderr, "************* graphDisconnectEdge: unable to find element!!!!!\n");
        return -1;
    }
    if (cell->data != d) {
        // A duplicate of the same identity: take out the very record given.
        fprintf(stderr, "************** graphDisconnectEdge: found match but not same ptr %lx %lx\n",
                (unsigned long)cell->data, (unsigned long)d);
        dependencyPrint(static_cast<dependency_t *>(cell->data));
        dependencyPrint(d);
        cell = findElementByDataPtr(g->setOfEdges, d);
        if (!cell)
            return -1;
    }
    edgeLinesRemoved(g, cell);
    disconnectElement(g->setOfEdges, cell);
    graphRemovals.fetch_add(1, std::memory_order_relaxed);
    vertex_t *v1 = d->client;
    vertex_t *v2 = d->server;
    if (!v1) {
        fprintf(stderr, "*********** graphDisconnectEdge: null v1 !!!\n");
    } else if (vertexDisconnectEdge(v1, d) < 0) {
        *vertexFailed = true;
    }
    if (!v2) {
        fprintf(stderr, "*********** graphDisconnectEdge: null v2 !!!\n");
    } else if (v2 != v1 && vertexDisconnectEdge(v2, d) < 0) {
        *vertexFailed = true;
    }
    addRelaxed(g->numberEdges, -1);
    markUpdate(g, true);
    return 0;
}

// The export's output: either malloc'ed, so that graphExportToBuffer hands
// it to its caller without a copy, sized from the previous export so that a
// large graph is written without regrowth; or a buffer the caller keeps
// from one export to the next, whose pages are then already there (a fresh
// multi-megabyte buffer costs a page fault per 4 KiB, which at tens of
// thousands of dependencies outweighs writing the text). Each writer asks
// room for its worst case once and then writes without further checks.
class ExportBuf {
public:
    explicit ExportBuf(size_t hint) {
        data_ = static_cast<char *>(qelAllocLarge(hint));
        if (!data_)
            throw std::bad_alloc();
        cap_ = hint;
    }
    ExportBuf(QelGrowingBuffer &kept, size_t hint) : kept_(&kept) {
        if (!kept.grow(hint))
            throw std::bad_alloc();
        data_ = kept.data();
        cap_ = kept.capacity();
    }
    ~ExportBuf() {
        if (!kept_)
            free(data_);
    }
    ExportBuf(const ExportBuf &) = delete;
    ExportBuf &operator=(const ExportBuf &) = delete;

    char *room(size_t n) {
        if (cap_ - len_ < n)
            grow(n);
        return data_ + len_;
    }
    void advance(char *end) { len_ = (size_t)(end - data_); }
    template <size_t N> void literal(const char (&s)[N]) {
        memcpy(room(N - 1), s, N - 1);
        len_ += N - 1;
    }
    size_t size() const { return len_; }

    // The text with a NUL behind it and one spare byte; the caller frees it.
    char *release(size_t *len) {
        room(2);
        data_[len_] = '\0';
        data_[len_ + 1] = '\0';
        *len = len_;
        char *p = data_;
        if (kept_)
            return p;
        data_ = nullptr;
        cap_ = len_ = 0;
        return p;
    }

private:
    void grow(size_t n) {
        size_t want = cap_ * 2;
        if (want < len_ + n)
            want = len_ + n;
        if (kept_) {
            if (!kept_->grow(want))
                throw std::bad_alloc();
            data_ = kept_->data();
            cap_ = kept_->capacity();
            return;
        }
        void *p = realloc(data_, want);
        if (!p)
            throw std::bad_alloc();
        data_ = static_cast<char *>(p);
        cap_ = want;
    }

    QelGrowingBuffer *kept_ = nullptr;
    char *data_ = nullptr;
    size_t cap_ = 0;
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

template <size_t N> char *put(char *o, const char (&s)[N]) {
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
            len = 2; cp = c & 0x1F; min = 0x80;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3; cp = c & 0x0F; min = 0x800;
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4; cp = c & 0x07; min = 0x10000;
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
template <size_t N> void appendAttr(ExportBuf &out, const char (&field)[N]) {
    size_t n = strnlen(field, N);
    out.advance(putAttrText(out.room(kEscapedPerByte * n), field, n));
}

// An edge's line is written in two parts around its ptr token: the head up
// to and including ptr=", the tail from the token's closing quote on.
// Client and server are written twice: as the record's own attributes and
// as GraphML's endpoints, which readers follow.
struct EdgeLens {
    size_t name, args, client, server;
};

EdgeLens edgeLens(const dependency_t *d) {
    return {strnlen(d->name, sizeof(d->name)), strnlen(d->args, sizeof(d->args)),
            strnlen(d->client->name, sizeof(d->client->name)), strnlen(d->server->name, sizeof(d->server->name))};
}

// Room for head, token and tail at worst.
size_t edgeRoom(const EdgeLens &n) { return kEscapedPerByte * (n.name + n.args + 2 * (n.client + n.server)) + 192; }

char *putEdgeHead(char *o, const dependency_t *d, const EdgeLens &n) {
    o = put(o, "<edge id=\"");
    o = putAttrText(o, d->name, n.name);
    o = put(o, "\" type=\"");
    o = putDecimal(o, (int)d->dtype);
    o = put(o, "\" src=\"");
    o = putDecimal(o, (int)d->dsrc);
    o = put(o, "\" pov=\"");
    o = putDecimal(o, (int)d->pov);
    o = put(o, "\" ptr=\"");
    return o;
}

char *putEdgeTail(char *o, const dependency_t *d, const EdgeLens &n) {
    o = put(o, "\" args=\"");
    o = putAttrText(o, d->args, n.args);
    o = put(o, "\" client=\"");
    char *client = o;
    o = putAttrText(o, d->client->name, n.client);
    size_t clientOut = (size_t)(o - client);
    o = put(o, "\" server=\"");
    char *server = o;
    o = putAttrText(o, d->server->name, n.server);
    size_t serverOut = (size_t)(o - server);
    o = put(o, "\" source=\"");
    memmove(o, client, clientOut);
    o += clientOut;
    o = put(o, "\" target=\"");
    memmove(o, server, serverOut);
    o += serverOut;
    o = put(o, "\" />\n");
    return o;
}

// The edge set's lines, written when a record enters the set, in the set's
// order, so that the export copies compact text instead of visiting records
// kilobytes apart (at tens of thousands of dependencies that walk, not the
// writing, was most of the time under the lock). What a line shows never
// changes while the record is in the set: type, arguments and endpoints
// are the record's identity in the set's hash index, its name, source and
// point of view are set before it is inserted, and a vertex keeps its name.
// Removals leave a hole, closed at the next insertion once holes are half
// the lines. Kept per graph beside it (graph_t carries no room for it);
// everything here is done under that graph's lock, the map of graphs under
// its own mutex.
struct EdgeLine {
    const linkedElement_t *cell; // null: removed
    const dependency_t *rec;
    size_t at;                   // head and tail in EdgeLines::text
    uint32_t head, tail;
    bool live;                   // endpoints unknown at insertion: written from the record
};

struct EdgeLines {
    std::vector<EdgeLine> lines;
    std::unordered_map<const linkedElement_t *, size_t> slotOf;
    std::string text;
    size_t holes = 0;
};

std::mutex &edgeLinesMutex() {
    static auto *m = new std::mutex;
    return *m;
}

std::unordered_map<const graph_t *, EdgeLines *> &edgeLinesMap() {
    static auto *m = new std::unordered_map<const graph_t *, EdgeLines *>;
    return *m;
}

EdgeLines *edgeLinesOf(const graph_t *g, bool create) {
    std::lock_guard lock(edgeLinesMutex());
    auto &m = edgeLinesMap();
    auto it = m.find(g);
    if (it != m.end())
        return it->second;
    if (!create)
        return nullptr;
    auto *e = new EdgeLines;
    try {
        m.emplace(g, e);
    } catch (...) {
        delete e;
        throw;
    }
    return e;
}

void edgeLinesDrop(graph_t *g) {
    EdgeLines *e = nullptr;
    {
        std::lock_guard lock(edgeLinesMutex());
        auto &m = edgeLinesMap();
        auto it = m.find(g);
        if (it == m.end())
            return;
        e = it->second;
        m.erase(it);
    }
    delete e;
}

void compactEdgeLines(EdgeLines &e) {
    EdgeLines fresh;
    fresh.lines.reserve(e.lines.size() - e.holes);
    fresh.text.reserve(e.text.size());
    for (const EdgeLine &l : e.lines) {
        if (!l.cell)
            continue;
        EdgeLine c = l;
        c.at = fresh.text.size();
        fresh.text.append(e.text, l.at, (size_t)l.head + l.tail);
        fresh.slotOf.emplace(c.cell, fresh.lines.size());
        fresh.lines.push_back(c);
    }
    e = std::move(fresh);
}

void edgeLinesInserted(graph_t *g, const linkedElement_t *cell) {
    try {
        EdgeLines *e = edgeLinesOf(g, true);
        // Holes are closed here, not as they are made: a prune of thousands
        // would otherwise copy the remaining lines again and again while it
        // holds the graph lock. Until the next insertion they cost the
        // export a skipped entry each.
        if (e->holes > 4096 && e->holes > e->lines.size() / 2)
            compactEdgeLines(*e);
        const auto *d = static_cast<const dependency_t *>(cell->data);
        EdgeLine l{cell, d, e->text.size(), 0, 0, !d->client || !d->server};
        if (!l.live) {
            EdgeLens n = edgeLens(d);
            size_t at = e->text.size();
            e->text.resize(at + edgeRoom(n));
            char *begin = e->text.data() + at;
            char *o = putEdgeHead(begin, d, n);
            l.head = (uint32_t)(o - begin);
            char *t = putEdgeTail(o, d, n);
            l.tail = (uint32_t)(t - o);
            e->text.resize(at + l.head + l.tail);
        }
        e->slotOf.emplace(cell, e->lines.size());
        e->lines.push_back(l);
    } catch (...) {
        // Without room the summary goes; the export walks the set instead.
        edgeLinesDrop(g);
    }
}

void edgeLinesRemoved(graph_t *g, const linkedElement_t *cell) {
    EdgeLines *e = edgeLinesOf(g, false);
    if (!e)
        return;
    auto it = e->slotOf.find(cell);
    if (it == e->slotOf.end())
        return;
    EdgeLine &l = e->lines[it->second];
    l.cell = nullptr;
    l.rec = nullptr;
    e->slotOf.erase(it);
    e->holes++;
}

// Records are kilobytes apart (a dependency record holds several fixed
// texts), so walking them in list order waits on memory for nearly every
// field. The export first gathers the records of a list, then asks for the
// fields of the records kAhead places on while it writes the current one.
constexpr size_t kAhead = 8;

// The records of the node and the edge set, in list order. The two chains
// are followed side by side: each step waits on two cells at once instead
// of one after the other.
// Without edges: the node set only.
void listData(graph_t *g, std::vector<void *> &nodes, std::vector<void *> &edges, bool withEdges) {
    nodes.reserve((size_t)std::max(0, loadRelaxed(g->numberNodes)));
    if (withEdges)
        edges.reserve((size_t)std::max(0, loadRelaxed(g->numberEdges)));
    linkedElement_t *n = g->setOfNodes->head;
    linkedElement_t *e = withEdges ? g->setOfEdges->head : nullptr;
    while (n && e) {
        nodes.push_back(n->data);
        edges.push_back(e->data);
        n = n->next;
        e = e->next;
    }
    for (; n; n = n->next)
        nodes.push_back(n->data);
    for (; e; e = e->next)
        edges.push_back(e->data);
}

// Size of the last export, the first guess for the next one.
std::atomic<size_t> lastExportSize{0};

} // namespace

namespace {

size_t exportSizeGuess() {
    size_t guess = lastExportSize.load(std::memory_order_relaxed);
    return guess + guess / 8 + 64 * 1024;
}

// Writes the GraphML document into out; the caller holds the graph lock.
// useEdgeLines false: from the records only (tests compare the two).
void writeExport(graph_t *g, ExportBuf &out, bool useEdgeLines = true) {
    out.literal("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
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
    EdgeLines *lines = useEdgeLines ? edgeLinesOf(g, false) : nullptr;
    if (lines && lines->lines.size() - lines->holes != (size_t)std::max(0, loadRelaxed(g->numberEdges)))
        lines = nullptr; // it lost track of the set: the records themselves
    std::vector<void *> recs, edgeRecs;
    listData(g, recs, edgeRecs, !lines);
    for (size_t i = 0; i < recs.size(); i++) {
        if (i + kAhead < recs.size()) {
            auto *next = static_cast<const vertex_t *>(recs[i + kAhead]);
            __builtin_prefetch(next->name);
            __builtin_prefetch(next->sysDescr);
            __builtin_prefetch(&next->contactTime);
            __builtin_prefetch(&next->reachable);
        }
        auto *v = static_cast<vertex_t *>(recs[i]);
        int status = 0;
        if (v->sysDescr[0] || v->contactTime != 0)
            status = 2;
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
    unsigned long token = 0;
    if (lines) {
        for (const EdgeLine &l : lines->lines) {
            if (!l.cell)
                continue;
            const auto *d = l.rec;
            if (l.live) {
                if (!d->client || !d->server)
                    continue;
                EdgeLens n = edgeLens(d);
                char *o = out.room(edgeRoom(n));
                o = putEdgeHead(o, d, n);
                o = putHex(o, ++token, false);
                out.advance(putEdgeTail(o, d, n));
                continue;
            }
            char *o = out.room((size_t)l.head + l.tail + 2 * sizeof(unsigned long));
            const char *text = lines->text.data() + l.at;
            memcpy(o, text, l.head);
            o = putHex(o + l.head, ++token, false);
            memcpy(o, text + l.head, l.tail);
            out.advance(o + l.tail);
        }
        out.literal("</graph>\n</graphml>\n");
        lastExportSize.store(out.size(), std::memory_order_relaxed);
        return;
    }
    recs.swap(edgeRecs);
    for (size_t i = 0; i < recs.size(); i++) {
        // The record's own lines two strides ahead, its hosts' names (which
        // need the record's pointers) one stride ahead.
        if (i + 2 * kAhead < recs.size()) {
            auto *next = static_cast<const dependency_t *>(recs[i + 2 * kAhead]);
            __builtin_prefetch(next);
            __builtin_prefetch(&next->dsrc);
            __builtin_prefetch(&next->client);
        }
        if (i + kAhead < recs.size()) {
            auto *next = static_cast<const dependency_t *>(recs[i + kAhead]);
            if (next->client)
                __builtin_prefetch(next->client->name);
            if (next->server)
                __builtin_prefetch(next->server->name);
        }
        auto *d = static_cast<dependency_t *>(recs[i]);
        if (!d->client || !d->server)
            continue;
        EdgeLens n = edgeLens(d);
        char *o = out.room(edgeRoom(n));
        o = putEdgeHead(o, d, n);
        o = putHex(o, ++token, false);
        out.advance(putEdgeTail(o, d, n));
    }
    out.literal("</graph>\n</graphml>\n");
    lastExportSize.store(out.size(), std::memory_order_relaxed);
}

} // namespace

// The GraphML document; the caller holds the graph lock.
char *exportLocked(graph_t *g, size_t *len) {
    ExportBuf out(exportSizeGuess());
    writeExport(g, out);
    return out.release(len);
}

bool edgeLinesInUse(graph_t *g) {
    EdgeLines *lines = edgeLinesOf(g, false);
    return lines && lines->lines.size() - lines->holes == (size_t)std::max(0, loadRelaxed(g->numberEdges));
}

char *exportLockedFromRecords(graph_t *g, size_t *len) {
    ExportBuf out(exportSizeGuess());
    writeExport(g, out, false);
    return out.release(len);
}

const char *exportLockedInto(graph_t *g, QelGrowingBuffer &kept, size_t *len) {
    ExportBuf out(kept, exportSizeGuess());
    writeExport(g, out);
    return out.release(len);
}

const char *graphExportInto(graph_t *g, QelGrowingBuffer &kept, size_t *len) {
    if (!g || !len)
        return nullptr;
    const char *doc = nullptr;
    pthread_mutex_lock(&g->lock);
    try {
        doc = exportLockedInto(g, kept, len);
    } catch (...) {
        doc = nullptr;
    }
    pthread_mutex_unlock(&g->lock);
    if (!doc)
        fprintf(stderr, "failed to malloc graph export buffer\n");
    return doc;
}

namespace {

// ---- import ----

bool isBlankText(xmlNodePtr n) { return n->type == XML_TEXT_NODE && xmlIsBlankNode(n); }

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
        fprintf(stderr, "parseNode: didnt find ID\n");
        return 0;
    }
    vertex_t *v = vertexNew(id);
    if (!v)
        return -1;
    int rc = graphInsertNode(g, v);
    if (rc != 0)
        vertexFree(v);
    return rc;
}

vertex_t *nodeFor(graph_t *g, const char *name) {
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
        fprintf(stderr, "parseEdge: no xml node ptr\n");
        return 0;
    }
    if (!nameIs(n, "edge")) {
        fprintf(stderr, "parseEdge: not an EDGE\n");
        return 0;
    }
    if (!n->properties) {
        fprintf(stderr, "parseEdge: didnt find ID\n");
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
        fprintf(stderr, "parseEdge: not enough info\n");
        return 0;
    }
    if (dtype == 0) {
        fprintf(stderr, "parseEdge: no dtype; not enough info\n");
        return 0;
    }
    nodeFor(g, server);
    nodeFor(g, client);
    return addGeneralDependencyByArgs(client, server, dtype, args.c_str(), dependSrcStatic);
}

struct DocFree {
    void operator()(xmlDocPtr d) const { xmlFreeDoc(d); }
};

} // namespace
} // namespace kestrova

namespace kestrova {
namespace {
template <class Fn> int updateVertex(graph_t *g, const char *name, Fn fn) {
    if (!g)
        return -1;
    char host[kHostNameLen];
    hostNameOf(name, host);
    pthread_mutex_lock(&g->lock);
    if (name)
        if (vertex_t *v = findNodeLocked(g, host, name))
            fn(v);
    storeRelaxed(g->lastUpdate, time(nullptr));
    pthread_mutex_unlock(&g->lock);
    return 1;
}
} // namespace
} // namespace kestrova

namespace kestrova {
namespace {
template <class Fn> int underLock(graph_t *g, int nullResult, Fn fn) {
    if (!g)
        return nullResult;
    pthread_mutex_lock(&g->lock);
    int rc = fn();
    pthread_mutex_unlock(&g->lock);
    return rc;
}
} // namespace
} // namespace kestrova

namespace kestrova {
namespace {
int traverse(graph_t *g, vertex_t *v, bool depthFirst) {
    const char *tag = depthFirst ? "graphDfs" : "graphBfs";
    if (!g || !v) {
        fprintf(stderr, "%s: invalid arg(s)\n", tag);
        return -1;
    }
    pthread_mutex_lock(&g->lock);
    linkedList_t *visited = newLinkedList(sizeof(vertex_t), vertexCompare, vertexPrint, nullptr,
                                          depthFirst ? "dfs alreadyVisited" : "bfs alreadyVisited", 0);
    linkedList_t *toVisit = newLinkedList(sizeof(vertex_t), vertexCompare, vertexPrint, nullptr,
                                          depthFirst ? "dfs toVisit" : "bfs toVisit", 0);
    if (!visited || !toVisit) {
        destroyLinkedList(visited);
        destroyLinkedList(toVisit);
        pthread_mutex_unlock(&g->lock);
        return -1;
    }
    listSetHashIndex(visited, vertexHash);
    listSetHashIndex(toVisit, vertexHash);
    printf(depthFirst ? "DFS of '%s':\n" : "BFS of '%s':\n", g->name);
    insertTail(toVisit, v);
    // The list lengths are kept here rather than recounted on every visit.
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
    pthread_mutex_unlock(&g->lock);
    return numVisited;
}
} // namespace
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
    g->setOfEdges = newLinkedList(sizeof(dependency_t), dependencyCompare, dependencyPrintCb, nullptr,
                                  "Set Of Dependencies", 0);
    if (!g->setOfNodes || !g->setOfEdges) {
        fprintf(stderr, "creation of graph component failed\n");
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
    pthread_mutex_lock(&g->lock);
    graphRemovals.fetch_add(1, std::memory_order_relaxed);
    noteGraphGone();
    edgeLinesDrop(g);
    destroyLinkedList(g->setOfNodes);
    destroyLinkedList(g->setOfEdges);
    g->setOfNodes = g->setOfEdges = nullptr;
    pthread_mutex_unlock(&g->lock);
    pthread_mutex_destroy(&g->lock);
    free(g);
    return 0;
}

int graphSetName(graph_t *g, const char *name) {
    if (!g || !name)
        return -1;
    pthread_mutex_lock(&g->lock);
    qelCopyField(g->name, name);
    pthread_mutex_unlock(&g->lock);
    return 0;
}

int graphIsDirected(graph_t *g) { return g ? loadRelaxed(g->isDirected) : 0; }

int graphSetDirected(graph_t *g, int d) {
    if (g)
        storeRelaxed(g->isDirected, d);
    return d;
}

int getOrderOfGraph(graph_t *g) { return g ? loadRelaxed(g->numberNodes) : 0; }

int getSizeOfGraph(graph_t *g) { return g ? loadRelaxed(g->numberEdges) : 0; }

time_t graphLastUpdate(graph_t *g) { return g ? loadRelaxed(g->lastUpdate) : 0; }

time_t graphLastChange(graph_t *g) { return g ? loadRelaxed(g->lastChange) : 0; }

int graphPrint(graph_t *g) {
    if (!g) {
        fprintf(stderr, "Invalid graph\n");
        return -1;
    }
    pthread_mutex_lock(&g->lock);
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
    pthread_mutex_unlock(&g->lock);
    return 0;
}

int graphInsertNode(graph_t *g, vertex_t *v) {
    if (!g || !v) {
        fprintf(stderr, "graphInsertNode: invalid arg(s)\n");
        return -1;
    }
    pthread_mutex_lock(&g->lock);
    int rc = insertNodeLocked(g, v);
    pthread_mutex_unlock(&g->lock);
    return rc;
}

int graphRemoveNode(graph_t *g, vertex_t *v) {
    if (!g || !v) {
        fprintf(stderr, "graphRemoveNode: invalid %x %x arg(s)\n", (unsigned)(uintptr_t)g,
                (unsigned)(uintptr_t)v);
        return -1;
    }
    pthread_mutex_lock(&g->lock);
    int rc = graphRemoveNodeLocked(g, v);
    pthread_mutex_unlock(&g->lock);
    return rc;
}

vertex_t *graphGetNodeByName(graph_t *g, const char *nameaddr) {
    if (!g || !nameaddr)
        return nullptr;
    char host[kHostNameLen];
    ipHostNameOf(nameaddr, host);
    pthread_mutex_lock(&g->lock);
    vertex_t *v = findNodeLocked(g, host, nameaddr);
    pthread_mutex_unlock(&g->lock);
    return v;
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
    pthread_mutex_lock(&g->lock);
    insertEdgeLocked(g, d);
    pthread_mutex_unlock(&g->lock);
    return 0;
}

int graphDisconnectEdge(graph_t *g, dependency_t *d, int doLock) {
    if (!g || !d)
        return -1;
    if (doLock)
        pthread_mutex_lock(&g->lock);
    bool vertexFailed = false;
    int rc = disconnectEdgeLocked(g, d, false, &vertexFailed);
    if (vertexFailed)
        fprintf(stderr, "*********** graphDisconnectEdge: failed to disconnect edge\n");
    if (doLock)
        pthread_mutex_unlock(&g->lock);
    return rc;
}

int graphRemoveEdge(graph_t *g, dependency_t *d, int doLock) {
    if (!g || !d)
        return -1;
    if (doLock)
        pthread_mutex_lock(&g->lock);
    bool vertexFailed = false;
    int rc = disconnectEdgeLocked(g, d, true, &vertexFailed);
    if (vertexFailed)
        fprintf(stderr, "***** graphRemoveEdge: failed to disconnect edge\n");
    if (doLock)
        pthread_mutex_unlock(&g->lock);
    if (rc != 0)
        return -1;
    releaseDependencyRecord(d);
    return 0;
}

dependency_t *graphGetEdgeByName(graph_t *g, const char *name, vertex_t *a, vertex_t *b) {
    if (!g || !name || !a || !b)
        return nullptr;
    pthread_mutex_lock(&g->lock);
    dependency_t *d = vertexGetEdgeByName(a, b, name);
    pthread_mutex_unlock(&g->lock);
    return d;
}

dependency_t *graphFindInboundEdgeByName(graph_t *g, vertex_t *v, const char *name, vertex_t *client) {
    if (!g)
        return nullptr;
    pthread_mutex_lock(&g->lock);
    dependency_t *d = vertexFindInboundEdgeByName(v, name, client);
    pthread_mutex_unlock(&g->lock);
    return d;
}

dependency_t *graphFindOutboundEdgeByName(graph_t *g, vertex_t *v, const char *name, vertex_t *server) {
    if (!g)
        return nullptr;
    pthread_mutex_lock(&g->lock);
    dependency_t *d = vertexFindOutboundEdgeByName(v, name, server);
    pthread_mutex_unlock(&g->lock);
    return d;
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

int graphExport(graph_t *g, const char *filename) {
    if (!g || !filename)
        return -1;
    FILE *fp = fopen(filename, "w");
    if (!fp) {
        fprintf(stderr, "graphExport: failed to open file, %d\n", errno);
        return -1;
    }
    pthread_mutex_lock(&g->lock);
    int rc = 0;
    char *doc = nullptr;
    size_t len = 0;
    try {
        doc = exportLocked(g, &len);
    } catch (...) {
        rc = -1;
    }
    if (doc && fwrite(doc, 1, len, fp) != len)
        rc = -1;
    if (fclose(fp) != 0)
        rc = -1;
    pthread_mutex_unlock(&g->lock);
    free(doc);
    if (rc != 0)
        fprintf(stderr, "graphExport: failed to write file, %d\n", errno);
    return rc;
}

// Built in memory under the lock, with the same content as the file export;
// nothing is copied or released while the lock is held.
char *graphExportToBuffer(graph_t *g, int *retlen) {
    if (!g || !retlen) {
        fprintf(stderr, "graphExportToBuffer: invalid args\n");
        return nullptr;
    }
    char *buf = nullptr;
    size_t len = 0;
    pthread_mutex_lock(&g->lock);
    try {
        buf = exportLocked(g, &len);
    } catch (...) {
        buf = nullptr;
    }
    pthread_mutex_unlock(&g->lock);
    if (buf && len > (size_t)INT_MAX) {
        free(buf);
        buf = nullptr;
    }
    if (!buf) {
        fprintf(stderr, "failed to malloc graph export buffer\n");
        return nullptr;
    }
    *retlen = (int)len;
    return buf;
}

int graphImport(graph_t *g, const char *filename) {
    if (!g || !filename)
        return -1;
    struct stat st;
    if (stat(filename, &st) != 0) {
        fprintf(stderr, "stat of import data file failed\n");
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        fprintf(stderr, "graph import data file is not regular!\n");
        return -1;
    }
    std::unique_ptr<xmlDoc, DocFree> doc(
        xmlReadFile(filename, nullptr, XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING));
    if (!doc) {
        fprintf(stderr, "failed to xml parse graph import document\n");
        return -1;
    }
    xmlNodePtr root = xmlDocGetRootElement(doc.get());
    if (!root) {
        fprintf(stderr, "empty graph import document\n");
        return -1;
    }
    if (!nameIs(root, "graphml")) {
        fprintf(stderr, "importGraph: document is invalid, %s\n", reinterpret_cast<const char *>(root->name));
        return -1;
    }
    xmlNodePtr graphNode = root->children;
    while (graphNode && isBlankText(graphNode))
        graphNode = graphNode->next;
    if (!graphNode) {
        fprintf(stderr, "importGraph: no 'graph' element\n");
        return -1;
    }
    if (!nameIs(graphNode, "graph")) {
        fprintf(stderr, "importGraph: no graph element, %s\n",
                graphNode->name ? reinterpret_cast<const char *>(graphNode->name) : "");
        return -1;
    }
    xmlAttrPtr first = graphNode->properties;
    xmlChar *id = first ? xmlNodeListGetString(doc.get(), first->children, 1) : nullptr;
    if (!id) {
        fprintf(stderr, "importGraph: no id nor edgedefault\n");
        return -1;
    }
    if (strcmp(reinterpret_cast<const char *>(first->name), "id") != 0) {
        xmlFree(id);
        fprintf(stderr, "importDoc: no id\n");
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


int graphDfs(graph_t *g, vertex_t *v) { return traverse(g, v, true); }

int graphBfs(graph_t *g, vertex_t *v) { return traverse(g, v, false); }

// graphRemoveNode with the graph lock already held, so that a caller can
// check the vertex and remove it without another thread changing it between.
int graphRemoveNodeLocked(graph_t *g, vertex_t *v) {
    if (!g || !v)
        return -1;
    linkedElement_t *cell = findElementByDataPtr(g->setOfNodes, v);
    if (!cell) {
        fprintf(stderr, "graphRemoveNode: not in graph\n");
        return -1;
    }
    disconnectElement(g->setOfNodes, cell);
    graphRemovals.fetch_add(1, std::memory_order_relaxed);
    addRelaxed(g->numberNodes, -1);
    markUpdate(g, true);
    while (auto *d = static_cast<dependency_t *>(popHead(v->setOfEdges))) {
        noteEdgeLeft(d);
        bool failed = false;
        if (d->client && d->client != v && vertexDisconnectEdge(d->client, d) < 0)
            failed = true;
        if (d->server && d->server != v && d->server != d->client && vertexDisconnectEdge(d->server, d) < 0)
            failed = true;
        if (failed)
            fprintf(stderr, "***** graphRemoveNode: vertexDisconnectEdge failed\n");
        if (linkedElement_t *ec = findElementByDataPtr(g->setOfEdges, d)) {
            edgeLinesRemoved(g, ec);
            disconnectElement(g->setOfEdges, ec);
            addRelaxed(g->numberEdges, -1);
        }
        releaseDependencyRecord(d);
    }
    destroyLinkedList(v->setOfEdges);
    releaseVertex(v);
    return 0;
}

} // extern "C"
