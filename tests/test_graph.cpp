// link: kestrova_core
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "kestrova_test_host.h"
#include "graph.h"
#include "graph_internal.h"
#include "peer.h"
#include "testutil.h"

namespace {

constexpr size_t kHostNameLenForTest = sizeof(vertex_t::name);

const char *const kHeader =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<graphml xmlns=\"http://graphml.graphdrawing.org/xmlns\" \n"
    "   xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" \n"
    "   xsi:schemaLocation=\"http://graphml.graphdrawing.org/xmlns \n"
    "    http://graphml.graphdrawing.org/xmlns/1.0/graphml.xsd\">\n";

dependency_t makeDep(const char *client, const char *server, int dtype, const char *args,
                     dependencyReference_t pov = dependOutbound) {
    dependency_t d;
    memset(&d, 0, sizeof(d));
    qelCopyField(d.dependClient, client);
    qelCopyField(d.dependServer, server);
    qelCopyField(d.args, args);
    d.dtype = (dependencyType_t)dtype;
    d.pov = pov;
    d.dsrc = dependSrcDynamic;
    return d;
}

// A heap record joining two vertices, as the dependency operations make them.
dependency_t *edge(vertex_t *c, vertex_t *s, int dtype, const char *args) {
    auto *d = static_cast<dependency_t *>(calloc(1, sizeof(dependency_t)));
    *d = makeDep(c ? c->name : "", s ? s->name : "", dtype, args, dependNA);
    d->client = c;
    d->server = s;
    snprintf(d->name, sizeof(d->name), "type='%s' args='%s'", dependencyTypeStrs[dtype % 33], args);
    return d;
}

std::string exportText(graph_t *g) {
    int len = -1;
    char *buf = graphExportToBuffer(g, &len);
    EXPECT_NE(buf, nullptr);
    if (!buf)
        return "";
    std::string s(buf, (size_t)len);
    EXPECT_EQ(buf[len], '\0');
    free(buf);
    return s;
}

// Full path of a program found on PATH, empty when there is none.
std::string findProgram(const std::string &name) {
    const char *path = getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos)
            end = dirs.size();
        std::string candidate = dirs.substr(start, end - start) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    return "";
}

std::string hex(const std::string &t) {
    std::string s;
    for (unsigned char ch : t) {
        char h[3];
        snprintf(h, sizeof(h), "%02x", ch);
        s += h;
    }
    return s;
}

bool listed(linkedList_t *l, void *p) {
    for (linkedElement_t *c = l->head; c; c = c->next)
        if (c->data == p)
            return true;
    return false;
}

int length(linkedList_t *l) {
    int n = 0;
    for (linkedElement_t *c = l->head; c; c = c->next)
        n++;
    return n;
}

// The structural invariants of a graph changed only through its operations.
void checkInvariants(graph_t *g) {
    graphLock(g, "test");
    ASSERT_EQ(g->numberNodes, length(g->setOfNodes));
    ASSERT_EQ(g->numberEdges, length(g->setOfEdges));
    std::set<std::string> names;
    std::set<void *> edges;
    for (linkedElement_t *c = g->setOfEdges->head; c; c = c->next)
        edges.insert(c->data);
    for (linkedElement_t *c = g->setOfNodes->head; c; c = c->next) {
        auto *v = static_cast<vertex_t *>(c->data);
        ASSERT_TRUE(names.insert(v->name).second) << "two vertices named " << v->name;
        ASSERT_EQ(v->numberEdges, length(v->setOfEdges)) << v->name;
        for (linkedElement_t *e = v->setOfEdges->head; e; e = e->next) {
            auto *d = static_cast<dependency_t *>(e->data);
            ASSERT_TRUE(edges.count(d)) << "vertex edge not in the graph";
            ASSERT_TRUE(d->client == v || d->server == v);
        }
    }
    for (linkedElement_t *c = g->setOfEdges->head; c; c = c->next) {
        auto *d = static_cast<dependency_t *>(c->data);
        ASSERT_TRUE(d->client && d->server);
        ASSERT_TRUE(listed(g->setOfNodes, d->client) && listed(g->setOfNodes, d->server));
        ASSERT_TRUE(listed(d->client->setOfEdges, d));
        ASSERT_TRUE(listed(d->server->setOfEdges, d));
    }
    graphUnlock(g, "test");
}

class GraphTest : public testing::Test {
protected:
    void SetUp() override {
        testhost::reset();
        testhost::addHost("10.0.0.1", "host1.example.com");
        testhost::addHost("10.0.0.2", "host2.example.com");
        testhost::setupGraph("myhost.example.com");
    }
    void TearDown() override { testhost::teardownGraph(); }
};

TEST(Graph, NewGraphDefaultsAndNodeInsertion) {
    testhost::reset();
    graph_t *g = graphNew("g1");
    ASSERT_NE(g, nullptr);
    EXPECT_STREQ(g->name, "g1");
    EXPECT_EQ(graphIsDirected(g), 1);
    EXPECT_STREQ(g->setOfNodes->description, "Set of Nodes");
    EXPECT_STREQ(g->setOfEdges->description, "Set Of Dependencies");
    EXPECT_EQ(g->lastChange, 0);
    vertex_t *a = vertexNew("a");
    EXPECT_EQ(a->reachable, 2);
    EXPECT_STREQ(a->setOfEdges->description, "vertex Set Of Edges");
    EXPECT_EQ(graphInsertNode(g, a), 0);
    EXPECT_NE(g->lastChange, 0);
    vertex_t *dup = vertexNew("a");
    EXPECT_EQ(graphInsertNode(g, dup), -1);
    EXPECT_EQ(getOrderOfGraph(g), 1);
    EXPECT_EQ(length(g->setOfNodes), 1);
    vertexFree(dup);
    testing::internal::CaptureStderr();
    EXPECT_EQ(graphInsertNode(g, nullptr), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "graphInsertNode: invalid arg(s)\n");
    EXPECT_EQ(graphGetNodeByName(g, "a"), a);
    EXPECT_EQ(graphGetNodeByName(g, "b"), nullptr);
    EXPECT_EQ(graphSetDirected(g, 0), 0);
    EXPECT_EQ(graphIsDirected(g), 0);
    EXPECT_EQ(graphSetName(g, nullptr), -1);
    EXPECT_EQ(getOrderOfGraph(nullptr), 0);
    EXPECT_EQ(graphDestroy(nullptr), -1);
    testhost::teardownGraph(g);
}

// The counters and times are read without the lock while another thread
// changes the graph (the plug-in's scalars do this); the thread sanitizer
// flags any plain access, and the counts must come out exact.
TEST_F(GraphTest, CountersReadWithoutTheLock) {
    EXPECT_EQ(graphLastChange(nullptr), 0);
    EXPECT_EQ(graphLastUpdate(nullptr), 0);
    time_t before = graphLastChange(theGraph);
    EXPECT_NE(before, 0); // myVertex was inserted
    std::atomic<bool> done{false};
    std::atomic<long> reads{0};
    std::thread reader([&] {
        int lastOrder = 0;
        while (!done.load()) {
            int order = getOrderOfGraph(theGraph);
            EXPECT_GE(order, 1);
            EXPECT_GE(getSizeOfGraph(theGraph), 0);
            EXPECT_GE(graphLastUpdate(theGraph), graphLastChange(theGraph) - 1);
            EXPECT_GE(graphIsDirected(theGraph), 0);
            lastOrder = order;
            reads++;
        }
        EXPECT_GE(lastOrder, 1);
    });
    constexpr int kNodes = 200;
    std::vector<vertex_t *> added;
    for (int i = 0; i < kNodes; i++) {
        vertex_t *v = vertexNew(("n" + std::to_string(i)).c_str());
        ASSERT_EQ(graphInsertNode(theGraph, v), 0);
        graphInsertEdge(theGraph, edge(myVertex, v, dependDNS, "53"));
        graphUpdateVertexContact(theGraph, v->name, 5);
        added.push_back(v);
    }
    for (int i = 0; i < kNodes; i += 2)
        ASSERT_EQ(graphRemoveNode(theGraph, added[(size_t)i]), 0);
    while (reads.load() == 0)
        std::this_thread::yield();
    done = true;
    reader.join();
    EXPECT_EQ(getOrderOfGraph(theGraph), 1 + kNodes / 2);
    EXPECT_EQ(getSizeOfGraph(theGraph), kNodes / 2);
    EXPECT_GE(graphLastChange(theGraph), before);
    EXPECT_GE(graphLastUpdate(theGraph), graphLastChange(theGraph));
    checkInvariants(theGraph);
}

TEST_F(GraphTest, NodeLookupNormalisesAddresses) {
    vertex_t *v = vertexNew("10.0.0.1");
    EXPECT_STREQ(v->name, "host1.example.com");
    ASSERT_EQ(graphInsertNode(theGraph, v), 0);
    EXPECT_EQ(graphGetNodeByName(theGraph, "10.0.0.1"), v);
    EXPECT_EQ(graphGetNodeByName(theGraph, "host1.example.com"), v);
    graphLock(theGraph, "t");
    EXPECT_EQ(getNodeByName(theGraph, "10.0.0.1"), v);
    graphUnlock(theGraph, "t");
    // A vertex named by an unresolvable text is found by that text.
    vertex_t *raw = vertexNew("odd name");
    graphInsertNode(theGraph, raw);
    EXPECT_EQ(graphGetNodeByName(theGraph, "odd name"), raw);

    EXPECT_EQ(graphUpdateVertexReachable(theGraph, "10.0.0.1", 0, 0), 1);
    EXPECT_EQ(v->reachable, 0);
    EXPECT_EQ(graphUpdateVertexContact(theGraph, "host1.example.com", 1234), 1);
    EXPECT_EQ(v->contactTime, 1234);
    std::string longText(300, 'd');
    EXPECT_EQ(graphUpdateVertexDescr(theGraph, "10.0.0.1", longText.c_str(), nullptr), 1);
    EXPECT_EQ(std::string(v->sysDescr), std::string(127, 'd'));
    EXPECT_STREQ(v->qeldVersion, "");
    EXPECT_EQ(graphUpdateVertexContact(theGraph, "nobody", 1), 1);
}

TEST_F(GraphTest, SelfLoopIsListedOnce) {
    dependency_t *d = edge(myVertex, myVertex, dependWeb, "80");
    graphInsertEdge(theGraph, d);
    EXPECT_EQ(vertexGetDegree(myVertex), 1);
    EXPECT_EQ(myVertex->numberEdges, 1);
    EXPECT_EQ(vertexGetInDegree(myVertex), 1);
    EXPECT_EQ(vertexGetOutDegree(myVertex), 1);
    EXPECT_EQ(vertexIsLeaf(myVertex), 1);
    checkInvariants(theGraph);
    EXPECT_EQ(graphRemoveEdge(theGraph, d, 1), 0);
    EXPECT_EQ(vertexIsIsolated(myVertex), 1);
    checkInvariants(theGraph);
}

TEST_F(GraphTest, VertexQueries) {
    vertex_t *a = vertexNew("a"), *b = vertexNew("b"), *s = vertexNew("s");
    graphInsertNode(theGraph, a);
    graphInsertNode(theGraph, b);
    graphInsertNode(theGraph, s);
    dependency_t *e1 = edge(a, s, dependDNS, "53");
    dependency_t *e2 = edge(a, s, dependDNS, "5353");
    dependency_t *e3 = edge(b, s, dependDNS, "53");
    dependency_t *e4 = edge(b, a, dependWeb, "80");
    for (auto *e : {e1, e2, e3, e4})
        graphInsertEdge(theGraph, e);
    EXPECT_EQ(graphGetVertexDegree(theGraph, a), 3);
    EXPECT_EQ(graphGetVertexInDegree(theGraph, a), 1);
    EXPECT_EQ(graphGetVertexOutDegree(theGraph, a), 2);
    EXPECT_EQ(graphGetNumberNeighbors(theGraph, a), 2); // s counted once
    EXPECT_EQ(graphGetNumberNeighbors(theGraph, s), 2);
    EXPECT_EQ(graphIsAdjacent(theGraph, a, b), 1);
    EXPECT_EQ(graphIsAdjacent(theGraph, s, b), 1);
    EXPECT_EQ(vertexIsAdjacent(myVertex, a), 0);
    EXPECT_EQ(graphGetVertexDegree(nullptr, a), -1);
    EXPECT_EQ(vertexGetDegree(nullptr), -1);
    EXPECT_EQ(vertexFindOutboundEdgeByName(a, e2->name, s), e2);
    EXPECT_EQ(vertexFindInboundEdgeByName(s, e3->name, b), e3);
    EXPECT_EQ(graphFindInboundEdgeByName(theGraph, a, e4->name, b), e4);
    EXPECT_EQ(graphFindOutboundEdgeByName(theGraph, a, e4->name, b), nullptr);
    EXPECT_EQ(graphGetEdgeByName(theGraph, e4->name, a, b), e4);
    EXPECT_EQ(graphGetEdgeByName(theGraph, e4->name, b, a), e4);
    EXPECT_EQ(graphGetEdgeByName(theGraph, e4->name, a, s), nullptr);

    // a and b both use s for DNS: peers. s is nobody's peer through itself.
    int dtype = -1;
    vertex_t *server = nullptr;
    EXPECT_EQ(vertexIsPeer(a, b, &dtype, &server), 1);
    EXPECT_EQ(dtype, dependDNS);
    EXPECT_EQ(server, s);
    EXPECT_EQ(graphAreVerticesPeer(theGraph, b, a), 1);
    EXPECT_EQ(vertexIsPeer(a, s, nullptr, nullptr), 0);
    EXPECT_EQ(vertexIsPeer(a, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(graphAreVerticesPeer(nullptr, a, b), 0);
    checkInvariants(theGraph);
}

TEST_F(GraphTest, RemoveNodeTakesItsEdgesAlong) {
    vertex_t *a = vertexNew("a"), *b = vertexNew("b");
    graphInsertNode(theGraph, a);
    graphInsertNode(theGraph, b);
    graphInsertEdge(theGraph, edge(a, b, dependDNS, "53"));
    graphInsertEdge(theGraph, edge(b, a, dependNTP, "123"));
    graphInsertEdge(theGraph, edge(myVertex, b, dependNTP, "123"));
    graphInsertEdge(theGraph, edge(a, a, dependOther, "self"));
    ASSERT_EQ(getSizeOfGraph(theGraph), 4);
    EXPECT_EQ(graphRemoveNode(theGraph, a), 0);
    EXPECT_EQ(getOrderOfGraph(theGraph), 2);
    EXPECT_EQ(getSizeOfGraph(theGraph), 1);
    EXPECT_EQ(vertexGetDegree(b), 1);
    EXPECT_EQ(b->numberEdges, 1);
    checkInvariants(theGraph);
    vertex_t *outsider = vertexNew("outsider");
    testing::internal::CaptureStderr();
    EXPECT_EQ(graphRemoveNode(theGraph, outsider), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "graphRemoveNode: not in graph\n");
    vertexFree(outsider);
}

TEST_F(GraphTest, DisconnectTakesOutTheVeryRecordGiven) {
    vertex_t *a = vertexNew("a");
    graphInsertNode(theGraph, a);
    dependency_t *first = edge(myVertex, a, dependDNS, "53");
    dependency_t *second = edge(myVertex, a, dependDNS, "53"); // same identity
    graphInsertEdge(theGraph, first);
    testing::internal::CaptureStdout();
    graphInsertEdge(theGraph, second);
    EXPECT_EQ(getSizeOfGraph(theGraph), 2);
    EXPECT_EQ(vertexGetDegree(a), 1); // vertices keep one of a kind
    testing::internal::CaptureStderr();
    EXPECT_EQ(graphDisconnectEdge(theGraph, second, 1), 0);
    std::string err = testing::internal::GetCapturedStderr();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(err.rfind("************** graphDisconnectEdge: found match but not same ptr ", 0), 0u);
    EXPECT_EQ(getSizeOfGraph(theGraph), 1);
    EXPECT_TRUE(listed(theGraph->setOfEdges, first));
    EXPECT_FALSE(listed(theGraph->setOfEdges, second));
    EXPECT_TRUE(listed(a->setOfEdges, first));
    free(second);
    checkInvariants(theGraph);

    // A record that is not in the graph at all.
    dependency_t *stranger = edge(myVertex, a, dependNTP, "1");
    testing::internal::CaptureStderr();
    EXPECT_EQ(graphDisconnectEdge(theGraph, stranger, 1), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "************* graphDisconnectEdge: unable to find element!!!!!\n");
    testing::internal::CaptureStderr();
    EXPECT_EQ(graphRemoveEdge(theGraph, stranger, 1), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    free(stranger);
    // A caller's copy of a listed record is not taken out, nor released.
    dependency_t copy = *first;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(graphRemoveEdge(theGraph, &copy, 1), -1);
    testing::internal::GetCapturedStderr();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(getSizeOfGraph(theGraph), 1);
    checkInvariants(theGraph);
}

TEST_F(GraphTest, ExportText) {
    vertex_t *a = vertexNew("10.0.0.1");
    vertex_t *b = vertexNew("b");
    vertex_t *c = vertexNew("c");
    graphInsertNode(theGraph, a);
    graphInsertNode(theGraph, b);
    graphInsertNode(theGraph, c);
    a->reachable = 0;                   // never heard from, unreachable: 0
    qelCopyField(b->sysDescr, "SunOS"); // agent known, unreachable: 2
    b->reachable = 0;                   // c never probed: 1
    dependency_t *e = edge(myVertex, a, dependDNS, "53");
    e->dsrc = dependSrcDynamic;
    e->pov = dependOutbound;
    e->reachable = 0; // its server did not answer the last probe
    graphInsertEdge(theGraph, e);
    testing::internal::CaptureStderr();
    dependency_t *orphan = edge(myVertex, nullptr, dependNTP, "123");
    graphInsertEdge(theGraph, orphan);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "graphInsertEdge: server is null, myhost.example.com -> 4 ->\n");
    std::string edgeLine =
        "<edge id=\"type='dependDNS(3)' args='53'\" type=\"3\" src=\"3\" pov=\"0\" reachable=\"0\" ptr=\"1\" "
        "args=\"53\" client=\"myhost.example.com\" server=\"host1.example.com\" "
        "source=\"myhost.example.com\" target=\"host1.example.com\" />\n";
    std::string expect = std::string(kHeader) + "<graph id=\"myhost.example.com graph\" edgedefault=\"directed\">\n" +
                         "<node id=\"myhost.example.com\" status=\"3\" />\n" +
                         "<node id=\"host1.example.com\" status=\"0\" />\n" + "<node id=\"b\" status=\"2\" />\n" +
                         "<node id=\"c\" status=\"1\" />\n" + edgeLine + "</graph>\n</graphml>\n";
    EXPECT_EQ(exportText(theGraph), expect);

    testutil::TempDir dir;
    EXPECT_EQ(graphExport(theGraph, dir.file("g.xml").c_str()), 0);
    EXPECT_EQ(testutil::readFile(dir.file("g.xml")), expect);
    testing::internal::CaptureStderr();
    EXPECT_EQ(graphExport(theGraph, dir.file("missing/g.xml").c_str()), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "graphExport: failed to open file, 2\n");

    graphSetDirected(theGraph, 0);
    EXPECT_NE(exportText(theGraph).find("<graph id=\"myhost.example.com graph\" edgedefault=\"undirected\">\n"),
              std::string::npos);
    testing::internal::CaptureStderr();
    int len;
    EXPECT_EQ(graphExportToBuffer(nullptr, &len), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "graphExportToBuffer: invalid args\n");
    testing::internal::CaptureStderr();
    graphRemoveEdge(theGraph, orphan, 1);
    testing::internal::GetCapturedStderr();
}

TEST_F(GraphTest, ExportEscapesAttributeText) {
    EXPECT_EQ(addGeneralDependencyByArgs("a&b", "<srv>", dependOther,
                                         "q=\"1\" & x<y> 'z' caf\xc3\xa9 \xf0\x9f\x98\x80 bad\xff tab\tbell\x07",
                                         dependSrcStatic),
              1);
    std::string text = exportText(theGraph);
    EXPECT_NE(text.find("<node id=\"a&amp;b\" status=\"1\" />"), std::string::npos);
    EXPECT_NE(text.find("<node id=\"&lt;srv&gt;\" status=\"1\" />"), std::string::npos);
    EXPECT_NE(text.find("args=\"q=&quot;1&quot; &amp; x&lt;y&gt; 'z' caf&#xE9; &#x1F600; bad&#xFF; tab&#x9;bell?\" "
                        "client=\"a&amp;b\" server=\"&lt;srv&gt;\" source=\"a&amp;b\" target=\"&lt;srv&gt;\" />"),
              std::string::npos)
        << text;
    for (unsigned char ch : text)
        EXPECT_LT(ch, 0x80);

    // Fields at their longest, escaped at the largest factor: the document
    // outgrows any first guess and keeps every byte.
    std::string quotes(sizeof(dependency_t::args) - 1, '"');
    std::string longName(kHostNameLenForTest - 1, '<');
    for (int i = 0; i < 40; i++)
        ASSERT_EQ(addGeneralDependencyByArgs((longName.substr(0, 200) + std::to_string(i)).c_str(), "srv", dependOther,
                                             (quotes.substr(0, quotes.size() - 2) + std::to_string(i + 10)).c_str(),
                                             dependSrcStatic),
                  1);
    text = exportText(theGraph);
    std::string escapedQuotes;
    for (size_t i = 0; i + 2 < quotes.size(); i++)
        escapedQuotes += "&quot;";
    std::string escapedName;
    for (int i = 0; i < 200; i++)
        escapedName += "&lt;";
    for (int i = 0; i < 40; i++) {
        std::string tail = "args=\"" + escapedQuotes + std::to_string(i + 10) + "\" client=\"" + escapedName +
                           std::to_string(i) + "\" server=\"srv\" source=\"" + escapedName + std::to_string(i) +
                           "\" target=\"srv\" />\n";
        EXPECT_NE(text.find(tail), std::string::npos) << i;
    }
    EXPECT_EQ(text.substr(text.size() - 20), "</graph>\n</graphml>\n");
}

// The ptr attribute numbers the records of one export in hexadecimal; it
// never shows where a record lives.
TEST_F(GraphTest, ExportTokensCountRecordsNotAddresses) {
    std::vector<dependency_t *> recs;
    for (int i = 0; i < 20; i++) {
        vertex_t *v = vertexNew(("s" + std::to_string(i)).c_str());
        graphInsertNode(theGraph, v);
        recs.push_back(edge(myVertex, v, dependNTP, std::to_string(i).c_str()));
        graphInsertEdge(theGraph, recs.back());
    }
    testing::internal::CaptureStderr();
    graphInsertEdge(theGraph, edge(myVertex, nullptr, dependNTP, "left out")); // skipped, no token
    testing::internal::GetCapturedStderr();
    graphInsertEdge(theGraph, edge(recs[0]->server, myVertex, dependDNS, "53"));
    auto tokens = [](const std::string &text) {
        std::vector<std::string> out;
        for (size_t at = text.find(" ptr=\""); at != std::string::npos; at = text.find(" ptr=\"", at + 1))
            out.push_back(text.substr(at + 6, text.find('"', at + 6) - at - 6));
        return out;
    };
    std::string first = exportText(theGraph);
    std::vector<std::string> want;
    for (int i = 1; i <= 21; i++) {
        char h[16];
        snprintf(h, sizeof(h), "%x", i);
        want.push_back(h);
    }
    EXPECT_EQ(tokens(first), want);
    EXPECT_EQ(tokens(exportText(theGraph)), want); // counted afresh by each export
    graphLock(theGraph, "t");
    for (linkedElement_t *c = theGraph->setOfEdges->head; c; c = c->next) {
        char addr[32];
        snprintf(addr, sizeof(addr), "%lx", (unsigned long)c->data);
        EXPECT_EQ(first.find(addr), std::string::npos);
    }
    graphUnlock(theGraph, "t");
    // The orphan record stays out and the rest keep their order.
    EXPECT_NE(first.find("args=\"53\" client=\"s0\" server=\"myhost.example.com\" source=\"s0\" "
                         "target=\"myhost.example.com\" />\n</graph>"),
              std::string::npos);
    EXPECT_EQ(first.find("left out"), std::string::npos);
}

TEST_F(GraphTest, PrintListsNodesAndEdges) {
    vertex_t *a = vertexNew("a");
    graphInsertNode(theGraph, a);
    dependency_t *e = edge(myVertex, a, dependDNS, "53");
    graphInsertEdge(theGraph, e);
    char expect[5000];
    snprintf(expect, sizeof(expect),
             "Graph: 'myhost.example.com graph'\n\t directed: 1\n\t 2/2 nodes\n\t 1/1 edges\n"
             "\t vertex 'myhost.example.com'\n\t vertex 'a'\n\tedge %x myhost.example.com->a '%s'\n",
             (unsigned)(uintptr_t)e, e->name);
    testing::internal::CaptureStdout();
    EXPECT_EQ(graphPrint(theGraph), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), expect);
    testing::internal::CaptureStderr();
    EXPECT_EQ(graphPrint(nullptr), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Invalid graph\n");
}

// Every type, awkward args, out through the export and back in.
TEST_F(GraphTest, ExportImportRoundTrip) {
    std::set<std::tuple<std::string, std::string, int, std::string>> want;
    for (int t = 1; t < dependMAX; t++) {
        std::string args = "t" + std::to_string(t) + " & <x> \"q\" 'a' \xc3\xa9\xe2\x82\xac";
        std::string server = t % 2 ? "10.0.0.1" : "srv" + std::to_string(t % 5);
        ASSERT_EQ(addGeneralDependencyByArgs("myhost.example.com", server.c_str(), t, args.c_str(), dependSrcDynamic),
                  1);
        want.insert({"myhost.example.com", t % 2 ? "host1.example.com" : server, t, args});
    }
    dependency_t local = makeDep("10.0.0.2", "localhost", dependLogin, "ssh \"x\" & y", dependInbound);
    ASSERT_EQ(addLocalDependency(&local), 1);
    want.insert({"host2.example.com", "myhost.example.com", dependLogin, "ssh \"x\" & y"});
    dependency_t transit = makeDep("10.0.0.1", "10.0.0.2", dependDB, "db\t1", dependTransit);
    testing::internal::CaptureStdout();
    ASSERT_EQ(addTransitDependency(&transit), 1);
    testing::internal::GetCapturedStdout();
    want.insert({"host1.example.com", "host2.example.com", dependDB, "db\t1"});
    vertex_t *lonely = vertexNew("lonely");
    graphInsertNode(theGraph, lonely);

    testutil::TempDir dir;
    std::string file = dir.file("export.xml");
    ASSERT_EQ(graphExport(theGraph, file.c_str()), 0);
    int nodes = getOrderOfGraph(theGraph);

    // Import into a fresh graph (the import adds dependencies to theGraph).
    graph_t *original = theGraph;
    vertex_t *originalMe = myVertex;
    theGraph = graphNew("empty");
    myVertex = nullptr;
    EXPECT_EQ(graphImport(theGraph, file.c_str()), 0);
    EXPECT_STREQ(theGraph->name, "myhost.example.com graph");
    EXPECT_EQ(getOrderOfGraph(theGraph), nodes);
    EXPECT_EQ(getSizeOfGraph(theGraph), (int)want.size());
    std::set<std::tuple<std::string, std::string, int, std::string>> got;
    for (linkedElement_t *c = theGraph->setOfEdges->head; c; c = c->next) {
        auto *d = static_cast<dependency_t *>(c->data);
        got.insert({d->client->name, d->server->name, (int)d->dtype, d->args});
        EXPECT_EQ(d->dsrc, dependSrcStatic);
        EXPECT_EQ(d->pov, dependNA);
    }
    EXPECT_EQ(got, want);
    EXPECT_NE(graphGetNodeByName(theGraph, "lonely"), nullptr);
    checkInvariants(theGraph);
    // Importing the same file again adds nothing.
    EXPECT_EQ(graphImport(theGraph, file.c_str()), 0);
    EXPECT_EQ(getSizeOfGraph(theGraph), (int)want.size());
    testhost::teardownGraph(theGraph);
    theGraph = original;
    myVertex = originalMe;
}

TEST_F(GraphTest, ImportRefusals) {
    testutil::TempDir dir;
    struct Case {
        std::string body, msg;
    } cases[] = {
        {"<notgraphml/>", "importGraph: document is invalid, notgraphml\n"},
        {"<graphml/>", "importGraph: no 'graph' element\n"},
        {"<graphml>\n  <other/></graphml>", "importGraph: no graph element, other\n"},
        {"<graphml><graph/></graphml>", "importGraph: no id nor edgedefault\n"},
        {"<graphml><graph edgedefault=\"directed\" id=\"x\"/></graphml>", "importDoc: no id\n"},
        {"<graphml><graph id=\"x\"", "failed to xml parse graph import document\n"},
    };
    for (auto &c : cases) {
        std::string f = dir.write("bad.xml", c.body);
        testing::internal::CaptureStderr();
        EXPECT_EQ(graphImport(theGraph, f.c_str()), -1) << c.body;
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.msg) << c.body;
    }
    testing::internal::CaptureStderr();
    EXPECT_EQ(graphImport(theGraph, dir.file("none.xml").c_str()), -1);
    EXPECT_EQ(graphImport(theGraph, dir.path().c_str()), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "stat of import data file failed\ngraph import data file is not regular!\n");
    EXPECT_EQ(graphImport(nullptr, "x"), -1);
    EXPECT_STREQ(theGraph->name, "myhost.example.com graph");
}

TEST_F(GraphTest, ImportSkipsIncompleteElementsAndGoesOn) {
    testutil::TempDir dir;
    std::string f = dir.write("g.xml",
                              "<?xml version=\"1.0\"?>\n<graphml>\n<graph id=\"imported\" edgedefault=\"undirected\">\n"
                              "<node status=\"1\"/>\n"
                              "<node id=\"n1\" status=\"3\"/>\n"
                              "<edge id=\"e0\" type=\"0\" client=\"c0\" server=\"s0\" args=\"\"/>\n"
                              "<edge id=\"e1\" client=\"c1\" server=\"s1\"/>\n"
                              "<edge id=\"e2\" type=\"3\" client=\"c2\"/>\n"
                              "<edge/>\n"
                              "<something/>\n"
                              "<edge id=\"e3\" type=\"5\" src=\"9\" pov=\"1\" ptr=\"1\" client=\"10.0.0.1\" "
                              "server=\"mx\" source=\"elsewhere\" target=\"nowhere\" args=\"smtp &amp; more\"/>\n"
                              "</graph>\n</graphml>\n");
    testing::internal::CaptureStderr();
    EXPECT_EQ(graphImport(theGraph, f.c_str()), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "parseNode: didnt find ID\n"
              "parseEdge: no dtype; not enough info\n"
              "parseEdge: no dtype; not enough info\n"
              "parseEdge: not enough info\n"
              "parseEdge: didnt find ID\n");
    EXPECT_STREQ(theGraph->name, "imported");
    EXPECT_EQ(graphIsDirected(theGraph), 0);
    EXPECT_NE(graphGetNodeByName(theGraph, "n1"), nullptr);
    // The edge's hosts were created before the dependency was added.
    vertex_t *mx = graphGetNodeByName(theGraph, "mx");
    ASSERT_NE(mx, nullptr);
    EXPECT_NE(graphGetNodeByName(theGraph, "host1.example.com"), nullptr);
    EXPECT_EQ(graphGetNodeByName(theGraph, "c0"), nullptr);
    // GraphML's endpoints are not read: client and server name the hosts.
    EXPECT_EQ(graphGetNodeByName(theGraph, "elsewhere"), nullptr);
    EXPECT_EQ(graphGetNodeByName(theGraph, "nowhere"), nullptr);
    dependency_t *d = findDependencyByType(dependEmail, "10.0.0.1", "mx");
    ASSERT_NE(d, nullptr);
    EXPECT_STREQ(d->args, "smtp & more");
    EXPECT_STREQ(d->name, "type='dependEmail(5)' args='smtp & more'");
    EXPECT_EQ(getSizeOfGraph(theGraph), 1);
    checkInvariants(theGraph);
}

// Names and addresses of this host, in an imported graph or a general
// dependency, are this host's vertex, never another host beside it.
TEST_F(GraphTest, ThisHostsNamesLandOnItsVertex) {
    testutil::TempDir dir;
    std::string f = dir.write("g.xml",
                              "<?xml version=\"1.0\"?>\n<graphml>\n<graph id=\"peer graph\" "
                              "edgedefault=\"directed\">\n"
                              "<node id=\"127.0.0.1\" status=\"3\"/>\n"
                              "<node id=\"localhost\" status=\"3\"/>\n"
                              "<node id=\"srv\" status=\"1\"/>\n"
                              "<edge id=\"e\" type=\"3\" client=\"127.0.0.1\" server=\"srv\" args=\"a\"/>\n"
                              "<edge id=\"f\" type=\"4\" client=\"srv\" server=\"localhost\" args=\"b\"/>\n"
                              "</graph>\n</graphml>\n");
    int before = getOrderOfGraph(theGraph);
    EXPECT_EQ(graphImport(theGraph, f.c_str()), 0);
    EXPECT_EQ(graphGetNodeByName(theGraph, "127.0.0.1"), nullptr);
    EXPECT_EQ(graphGetNodeByName(theGraph, "localhost"), nullptr);
    EXPECT_EQ(getOrderOfGraph(theGraph), before + 1) << "only srv is new";
    dependency_t *dns = findDependencyByType(dependDNS, "myhost.example.com", "srv");
    dependency_t *ntp = findDependencyByType(dependNTP, "srv", "myhost.example.com");
    ASSERT_NE(dns, nullptr);
    ASSERT_NE(ntp, nullptr);
    EXPECT_EQ(dns->client, myVertex);
    EXPECT_EQ(ntp->server, myVertex);
    ASSERT_EQ(addGeneralDependencyByArgs("::1", "srv", dependWeb, "w", dependSrcDynamic), 1);
    dependency_t *web = findDependencyByType(dependWeb, "myhost.example.com", "srv");
    ASSERT_NE(web, nullptr);
    EXPECT_EQ(web->client, myVertex);
    EXPECT_EQ(getOrderOfGraph(theGraph), before + 1);
    checkInvariants(theGraph);
}

TEST_F(GraphTest, ExportReadByNetworkx) {
    std::string python = findProgram("python3");
    auto probe = python.empty() ? testutil::ProcessResult{} : testutil::runProcess({python, "-c", "import networkx"});
    if (probe.exitCode != 0)
        GTEST_SKIP() << "python3 with networkx not available";
    vertex_t *a = vertexNew("a&b");
    graphInsertNode(theGraph, a);
    ASSERT_EQ(
        addGeneralDependencyByArgs("myhost.example.com", "a&b", dependDNS, "x<1> \"q\" \xc3\xa9", dependSrcDynamic), 1);
    ASSERT_EQ(addGeneralDependencyByArgs("myhost.example.com", "a&b", dependNTP, "123", dependSrcDynamic), 1);
    ASSERT_EQ(addGeneralDependencyByArgs("10.0.0.1", "10.0.0.2", dependWeb, "80", dependSrcDynamic), 1);
    testutil::TempDir dir;
    std::string file = dir.file("g.graphml");
    ASSERT_EQ(graphExport(theGraph, file.c_str()), 0);
    // networkx follows GraphML's source/target; the edge id becomes the key
    // of a multigraph edge.
    const char *script = R"PY(
import sys, networkx as nx
g = nx.read_graphml(sys.argv[1], force_multigraph=True)
print(g.is_directed(), g.number_of_nodes(), g.number_of_edges())
print(sorted(g.nodes))
for u, v, k in sorted(g.edges(keys=True)):
    print(u, '->', v, k.encode('utf-8').hex())
)PY";
    auto r = testutil::runProcess({python, "-c", script, file});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    std::string expect =
        "True 4 3\n"
        "['a&b', 'host1.example.com', 'host2.example.com', 'myhost.example.com']\n"
        "host1.example.com -> host2.example.com " +
        hex("type='dependWeb(11)' args='80'") + "\nmyhost.example.com -> a&b " +
        hex("type='dependDNS(3)' args='x<1> \"q\" \xc3\xa9'") + "\nmyhost.example.com -> a&b " +
        hex("type='dependNTP(4)' args='123'") + "\n";
    EXPECT_EQ(r.out, expect);
}

TEST_F(GraphTest, Traversals) {
    vertex_t *iso = vertexNew("iso");
    graphInsertNode(theGraph, iso);
    testing::internal::CaptureStdout();
    EXPECT_EQ(graphDfs(theGraph, iso), 1);
    EXPECT_EQ(graphBfs(theGraph, iso), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "DFS of 'myhost.example.com graph':\n\tVisit:'iso', 0 edges, toVisit:0 alreadyVisit:1\n"
              "DFS complete, 1 visited\n"
              "BFS of 'myhost.example.com graph':\n\tVisit:'iso', 0 edges, toVisit:0 alreadyVisit:1\n"
              "BFS complete, 1 visited\n");

    // me -> a -> c, me -> b, d -> me
    vertex_t *a = vertexNew("a"), *b = vertexNew("b"), *c = vertexNew("c"), *d = vertexNew("d");
    for (auto *v : {a, b, c, d})
        graphInsertNode(theGraph, v);
    graphInsertEdge(theGraph, edge(myVertex, a, dependDNS, ""));
    graphInsertEdge(theGraph, edge(myVertex, b, dependDNS, ""));
    graphInsertEdge(theGraph, edge(a, c, dependDNS, ""));
    graphInsertEdge(theGraph, edge(d, myVertex, dependDNS, ""));
    testing::internal::CaptureStdout();
    EXPECT_EQ(graphDfs(theGraph, myVertex), 4);
    std::string dfs = testing::internal::GetCapturedStdout();
    // Depth first: b was pushed last, so it is visited before a and c.
    EXPECT_LT(dfs.find("Visit:'b'"), dfs.find("Visit:'a'"));
    EXPECT_LT(dfs.find("Visit:'a'"), dfs.find("Visit:'c'"));
    EXPECT_EQ(dfs.find("Visit:'d'"), std::string::npos);
    testing::internal::CaptureStdout();
    EXPECT_EQ(graphBfs(theGraph, myVertex), 4);
    std::string bfs = testing::internal::GetCapturedStdout();
    EXPECT_LT(bfs.find("Visit:'a'"), bfs.find("Visit:'b'"));
    EXPECT_LT(bfs.find("Visit:'b'"), bfs.find("Visit:'c'"));
    graphSetDirected(theGraph, 0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(graphBfs(theGraph, c), 5);
    EXPECT_EQ(graphDfs(theGraph, iso), 1);
    testing::internal::GetCapturedStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(graphDfs(nullptr, a), -1);
    EXPECT_EQ(graphBfs(theGraph, nullptr), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "graphDfs: invalid arg(s)\ngraphBfs: invalid arg(s)\n");
}

// Random sequences of the graph's changes keep its invariants.
TEST_F(GraphTest, RandomChangesKeepInvariants) {
    peerList = newLinkedList(sizeof(peerNode_t), comparePeers, printPeer, freePeer, "peerList", 1);
    insertTail(peerList, peerNew("peer"));
    std::mt19937 rng(20240611);
    const char *hosts[] = {"10.0.0.1", "10.0.0.2", "h3", "h4", "h5", "h6"};
    auto host = [&] { return hosts[rng() % 6]; };
    auto args = [&] { return std::to_string(rng() % 3); };
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    for (int step = 0; step < 1500; step++) {
        int dtype = 1 + (int)(rng() % 4);
        switch (rng() % 8) {
        case 0:
        case 1: {
            dependency_t d = makeDep("myhost.example.com", host(), dtype, args().c_str());
            addLocalDependency(&d);
            break;
        }
        case 2: {
            dependency_t d = makeDep(host(), "localhost", dtype, args().c_str(), dependInbound);
            addLocalDependency(&d);
            break;
        }
        case 3: {
            dependency_t d = makeDep(host(), host(), dtype, args().c_str(), dependTransit);
            addTransitDependency(&d);
            break;
        }
        case 4: addGeneralDependencyByArgs(host(), host(), dtype, args().c_str(), dependSrcDynamic); break;
        case 5: {
            dependency_t d = makeDep("myhost.example.com", host(), dtype, args().c_str());
            removeLocalDependency(&d);
            break;
        }
        case 6: {
            // An age-out style prune of one random edge, under the lock.
            graphLock(theGraph, "prune");
            int n = length(theGraph->setOfEdges);
            dependency_t *victim = nullptr;
            if (n) {
                int k = (int)(rng() % n);
                linkedElement_t *c = theGraph->setOfEdges->head;
                while (k--)
                    c = c->next;
                victim = static_cast<dependency_t *>(c->data);
                graphDisconnectEdge(theGraph, victim, 0);
            }
            graphUnlock(theGraph, "prune");
            if (victim) {
                sendPruneDependencyTrap(victim);
                free(victim);
            }
            break;
        }
        default: {
            vertex_t *v = graphGetNodeByName(theGraph, host());
            if (v && v != myVertex)
                graphRemoveNode(theGraph, v);
            break;
        }
        }
        checkInvariants(theGraph);
        if (HasFatalFailure())
            break;
    }
    testing::internal::GetCapturedStderr();
    testing::internal::GetCapturedStdout();
    EXPECT_GT(getSizeOfGraph(theGraph), 0);
    destroyLinkedList(peerList);
    peerList = nullptr;
}

// Adders, refreshers and removers on shared and own dependencies while
// another thread exports.
TEST_F(GraphTest, ConcurrentChangesWhileExporting) {
    peerList = newLinkedList(sizeof(peerNode_t), comparePeers, printPeer, freePeer, "peerList", 1);
    insertTail(peerList, peerNew("peer"));
    constexpr int kWorkers = 4, kRounds = 300;
    std::atomic<bool> done{false};
    std::atomic<int> exports{0};
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    std::thread exporter([&] {
        while (!done.load()) {
            int len = 0;
            char *buf = graphExportToBuffer(theGraph, &len);
            if (buf && strstr(buf, "</graphml>\n"))
                exports++;
            free(buf);
        }
    });
    std::vector<std::thread> workers;
    for (int w = 0; w < kWorkers; w++) {
        workers.emplace_back([w] {
            std::string own = "own" + std::to_string(w);
            for (int i = 0; i < kRounds; i++) {
                std::string shared = "shared" + std::to_string(i % 5);
                dependency_t d = makeDep("myhost.example.com", shared.c_str(), dependDNS, "53");
                addLocalDependency(&d); // add or refresh, raced by every worker
                dependency_t o =
                    makeDep(own.c_str(), "localhost", dependWeb, std::to_string(i % 7).c_str(), dependInbound);
                addLocalDependency(&o);
                addGeneralDependencyByArgs(own.c_str(), shared.c_str(), dependNTP, "123", dependSrcDynamic);
                if (i % 3 == w % 3) {
                    dependency_t r = makeDep("myhost.example.com", shared.c_str(), dependDNS, "53");
                    removeLocalDependency(&r);
                }
                if (i % 11 == 0) {
                    dependency_t r =
                        makeDep(own.c_str(), "localhost", dependWeb, std::to_string(i % 7).c_str(), dependInbound);
                    removeLocalDependency(&r);
                }
            }
        });
    }
    for (auto &t : workers)
        t.join();
    done = true;
    exporter.join();
    testing::internal::GetCapturedStderr();
    testing::internal::GetCapturedStdout();
    EXPECT_GT(exports.load(), 0);
    checkInvariants(theGraph);
    // Adds are atomic: never two records of one identity.
    graphLock(theGraph, "t");
    for (linkedElement_t *c = theGraph->setOfEdges->head; c; c = c->next)
        for (linkedElement_t *e = c->next; e; e = e->next)
            EXPECT_NE(dependencyCompare(c->data, e->data), 0);
    graphUnlock(theGraph, "t");
    // An own inbound dependency is present unless its last round removed it.
    for (int w = 0; w < kWorkers; w++)
        for (int k = 0; k < 7; k++) {
            dependency_t probe = makeDep(("own" + std::to_string(w)).c_str(), "localhost", dependWeb,
                                         std::to_string(k).c_str(), dependInbound);
            probe.client = graphGetNodeByName(theGraph, probe.dependClient);
            probe.server = myVertex;
            int last = kRounds - 1;
            while (last % 7 != k)
                last--;
            bool removedLast = last % 11 == 0;
            EXPECT_EQ(findLocalDependency(&probe) != nullptr, !removedLast) << w << " " << k;
        }
    destroyLinkedList(peerList);
    peerList = nullptr;
}

} // namespace
