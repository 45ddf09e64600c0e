// link: graphrender
// The dependency graph as a picture: the SVG Graphviz draws holds every host
// and every dependency of the GraphML, each host filled by its status, the
// local host marked, third-host dependencies dashed; names stay text; a
// layout that takes too long is cut off; the command line's --from, --svg
// and --dot.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <cgraph.h>
#include <libxml/parser.h>
#include <libxml/tree.h>

#include "graph_render.h"
#include "testutil.h"

namespace {

using Multiset = std::vector<std::string>;

struct DocFree {
    void operator()(xmlDoc *d) const { xmlFreeDoc(d); }
};
using Doc = std::unique_ptr<xmlDoc, DocFree>;

Doc readXml(const std::string &text) {
    return Doc(xmlReadMemory(text.data(), static_cast<int>(text.size()), "x.xml", nullptr,
                             XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING));
}

std::string prop(xmlNodePtr n, const char *name) {
    xmlChar *v = xmlGetProp(n, reinterpret_cast<const xmlChar *>(name));
    std::string s = v ? reinterpret_cast<const char *>(v) : "";
    xmlFree(v);
    return s;
}

bool is(xmlNodePtr n, const char *name) {
    return n->type == XML_ELEMENT_NODE && std::string(reinterpret_cast<const char *>(n->name)) == name;
}

void walk(xmlNodePtr n, const std::function<void(xmlNodePtr)> &f) {
    for (; n; n = n->next) {
        f(n);
        walk(n->children, f);
    }
}

std::string textOf(xmlNodePtr n) {
    xmlChar *c = xmlNodeGetContent(n);
    std::string s = c ? reinterpret_cast<const char *>(c) : "";
    xmlFree(c);
    return s;
}

// The GraphML, read here on its own (not by the code under test).
struct GraphmlFacts {
    std::string name;
    std::map<std::string, int> status;
    Multiset nodes, edges;              // edges as "client->server"
    std::vector<std::string> edgeTypes; // per edge, the type text from its id
};

GraphmlFacts readGraphml(const std::string &text) {
    GraphmlFacts f;
    Doc doc = readXml(text);
    EXPECT_TRUE(doc);
    if (!doc)
        return f;
    walk(xmlDocGetRootElement(doc.get()), [&](xmlNodePtr n) {
        if (is(n, "graph"))
            f.name = prop(n, "id");
        if (is(n, "node")) {
            f.nodes.push_back(prop(n, "id"));
            f.status[prop(n, "id")] = std::stoi(prop(n, "status"));
        }
        if (is(n, "edge")) {
            f.edges.push_back(prop(n, "client") + "->" + prop(n, "server"));
            const std::string id = prop(n, "id");
            f.edgeTypes.push_back(id.substr(6, id.find('\'', 6) - 6));
        }
    });
    return f;
}

// What the SVG shows: per host its fill, stroke and width; per edge its
// ends, label and whether it is dashed; the texts outside hosts and edges.
struct SvgFacts {
    struct Host {
        std::string fill, stroke, width;
    };
    struct Dep {
        std::string ends, label, stroke;
        bool dashed = false;
    };
    std::map<std::string, Host> hosts;
    Multiset nodes, edges;
    std::vector<Dep> deps;
    std::string otherText;
    std::map<std::string, Multiset> clusters; // cluster label -> hosts drawn inside
};

std::string titleOf(xmlNodePtr g) {
    for (xmlNodePtr c = g->children; c; c = c->next)
        if (is(c, "title"))
            return textOf(c);
    return "";
}

SvgFacts readSvg(const std::string &svg) {
    SvgFacts f;
    Doc doc = readXml(svg);
    EXPECT_TRUE(doc) << svg.substr(0, 200);
    if (!doc)
        return f;
    struct Box {
        std::string label;
        double x0, y0, x1, y1;
    };
    std::vector<Box> boxes;
    std::map<std::string, std::pair<double, double>> where;
    walk(xmlDocGetRootElement(doc.get()), [&](xmlNodePtr n) {
        if (!is(n, "g"))
            return;
        const std::string cls = prop(n, "class");
        if (cls == "node") {
            const std::string name = titleOf(n);
            f.nodes.push_back(name);
            SvgFacts::Host h;
            walk(n->children, [&](xmlNodePtr c) {
                if ((is(c, "path") || is(c, "polygon")) && h.fill.empty()) {
                    h.fill = prop(c, "fill");
                    h.stroke = prop(c, "stroke");
                    h.width = prop(c, "stroke-width");
                }
                if (is(c, "text"))
                    where[name] = {std::stod(prop(c, "x")), std::stod(prop(c, "y"))};
            });
            f.hosts[name] = h;
        } else if (cls == "edge") {
            SvgFacts::Dep d;
            d.ends = titleOf(n);
            walk(n->children, [&](xmlNodePtr c) {
                if (is(c, "path") && !prop(c, "stroke-dasharray").empty())
                    d.dashed = true;
                if (is(c, "path") && d.stroke.empty())
                    d.stroke = prop(c, "stroke");
                if (is(c, "text"))
                    d.label += textOf(c);
            });
            f.edges.push_back(d.ends);
            f.deps.push_back(d);
        } else if (cls == "cluster") {
            Box b{};
            walk(n->children, [&](xmlNodePtr c) {
                if (is(c, "text"))
                    b.label += textOf(c);
                if (is(c, "polygon")) {
                    // "x,y x,y ...": the bounding box of the outline.
                    b.x0 = b.y0 = 1e18;
                    b.x1 = b.y1 = -1e18;
                    std::string pts = prop(c, "points");
                    for (size_t at = 0; at < pts.size();) {
                        size_t end = pts.find(' ', at);
                        std::string p = pts.substr(at, end == std::string::npos ? std::string::npos : end - at);
                        size_t comma = p.find(',');
                        if (comma != std::string::npos) {
                            double x = std::stod(p.substr(0, comma)), y = std::stod(p.substr(comma + 1));
                            b.x0 = std::min(b.x0, x), b.x1 = std::max(b.x1, x);
                            b.y0 = std::min(b.y0, y), b.y1 = std::max(b.y1, y);
                        }
                        if (end == std::string::npos)
                            break;
                        at = end + 1;
                    }
                }
            });
            boxes.push_back(b);
        } else if (cls == "graph") {
            for (xmlNodePtr c = n->children; c; c = c->next)
                if (!is(c, "g"))
                    walk(c, [&](xmlNodePtr t) {
                        if (is(t, "text"))
                            f.otherText += textOf(t) + "\n";
                    });
        }
    });
    for (const Box &b : boxes)
        for (const auto &[name, xy] : where)
            if (xy.first > b.x0 && xy.first < b.x1 && xy.second > b.y0 && xy.second < b.y1)
                f.clusters[b.label].push_back(name);
    return f;
}

Multiset sorted(Multiset m) {
    std::sort(m.begin(), m.end());
    return m;
}

std::string fixture() {
    return testutil::readFile(testutil::fixturePath("graph/wren.graphml"));
}

std::string renderSvg(const std::string &graphml) {
    graphrender::Graph g;
    std::string why, svg;
    EXPECT_TRUE(graphrender::parseGraphml(graphml.data(), graphml.size(), g, why)) << why;
    EXPECT_TRUE(graphrender::render(g, nullptr, &svg, why)) << why;
    return svg;
}

// Hosts and edges of a DOT text, read back with cgraph.
struct DotFacts {
    Multiset nodes, edges;
    std::map<std::string, std::string> edgeLabel;
};

DotFacts readDot(const std::string &dot) {
    DotFacts f;
    Agraph_t *g = agmemread(dot.c_str());
    EXPECT_NE(g, nullptr) << dot;
    if (!g)
        return f;
    for (Agnode_t *n = agfstnode(g); n; n = agnxtnode(g, n)) {
        f.nodes.push_back(agnameof(n));
        for (Agedge_t *e = agfstout(g, n); e; e = agnxtout(g, e))
            f.edges.push_back(std::string(agnameof(agtail(e))) + "->" + agnameof(aghead(e)));
    }
    agclose(g);
    return f;
}

TEST(GraphRender, SvgHoldsEveryHostAndDependencyOfTheGraphml) {
    const std::string graphml = fixture();
    const GraphmlFacts want = readGraphml(graphml);
    ASSERT_EQ(want.nodes.size(), 5u);
    ASSERT_EQ(want.edges.size(), 6u);
    const SvgFacts svg = readSvg(renderSvg(graphml));

    EXPECT_EQ(sorted(svg.nodes), sorted(want.nodes));
    EXPECT_EQ(sorted(svg.edges), sorted(want.edges)); // both wren->heron edges, each drawn
    for (const auto &[name, status] : want.status) {
        ASSERT_TRUE(svg.hosts.count(name)) << name;
        EXPECT_EQ(svg.hosts.at(name).fill, graphrender::statusColour(status)) << name;
        // Only the local host (the graph is "wren graph") is outlined.
        const bool local = name == "wren.demo.example";
        EXPECT_EQ(svg.hosts.at(name).stroke == "#08519c", local) << name;
        EXPECT_EQ(svg.hosts.at(name).width == "3", local) << name;
    }
    // Labels are the types; dependencies between two other hosts are dashed.
    Multiset labels;
    for (const auto &d : svg.deps) {
        labels.push_back(d.ends + " " + d.label);
        const bool local = d.ends.rfind("wren.demo.example->", 0) == 0 ||
                           (d.ends.size() >= 19 && d.ends.substr(d.ends.size() - 19) == "->wren.demo.example");
        EXPECT_EQ(d.dashed, !local) << d.ends;
    }
    Multiset wantLabels;
    for (size_t i = 0; i < want.edges.size(); ++i)
        wantLabels.push_back(want.edges[i] + " " + want.edgeTypes[i]);
    EXPECT_EQ(sorted(labels), sorted(wantLabels));
    // The host only peers know of is drawn apart, and alone there.
    ASSERT_TRUE(svg.clusters.count("other hosts"));
    EXPECT_EQ(svg.clusters.at("other hosts"), Multiset{"quail.demo.example"});
    // The legend names each status.
    for (int s = 0; s < 4; ++s)
        EXPECT_NE(svg.otherText.find(graphrender::statusText(s)), std::string::npos) << s << svg.otherText;
}

// A dependency whose server did not answer stands out in its own colour,
// named in the legend; one answered or not yet probed (or from a writer
// that does not say) is drawn as before. A host not yet probed is
// "reachable or not yet probed".
TEST(GraphRender, UnansweredDependenciesStandOut) {
    std::string graphml =
        "<graphml><graph id=\"w graph\" edgedefault=\"directed\">"
        "<node id=\"w\" status=\"3\"/><node id=\"up\" status=\"1\"/>"
        "<node id=\"down\" status=\"0\"/><node id=\"new\" status=\"1\"/>"
        "<node id=\"x\" status=\"1\"/><node id=\"y\" status=\"0\"/>"
        "<edge id=\"type='dependDNS(3)' args=''\" type=\"3\" reachable=\"1\" client=\"w\" "
        "server=\"up\"/>"
        "<edge id=\"type='dependPrinter(8)' args='lp'\" type=\"8\" reachable=\"0\" client=\"w\" "
        "server=\"down\"/>"
        "<edge id=\"type='dependNTP(4)' args=''\" type=\"4\" reachable=\"2\" client=\"w\" "
        "server=\"new\"/>"
        "<edge id=\"type='dependWeb(11)' args=''\" type=\"11\" reachable=\"0\" client=\"x\" "
        "server=\"y\"/>"
        "<edge id=\"type='dependWeb(11)' args=''\" type=\"11\" client=\"w\" server=\"x\"/>"
        "</graph></graphml>";
    graphrender::Graph g;
    std::string why, svg;
    ASSERT_TRUE(graphrender::parseGraphml(graphml.data(), graphml.size(), g, why)) << why;
    ASSERT_EQ(g.edges.size(), 5u);
    EXPECT_EQ(g.edges[0].reachable, 1);
    EXPECT_EQ(g.edges[1].reachable, 0);
    EXPECT_EQ(g.edges[2].reachable, 2);
    EXPECT_EQ(g.edges[4].reachable, 2) << "no attribute: nothing known";
    ASSERT_TRUE(graphrender::render(g, nullptr, &svg, why)) << why;
    const SvgFacts f = readSvg(svg);
    std::map<std::string, SvgFacts::Dep> byEnds;
    for (const auto &d : f.deps)
        byEnds[d.ends] = d;
    ASSERT_EQ(byEnds.size(), 5u);
    EXPECT_EQ(byEnds["w->down"].stroke, graphrender::kUnreachableColour);
    EXPECT_EQ(byEnds["x->y"].stroke, graphrender::kUnreachableColour);
    EXPECT_TRUE(byEnds["x->y"].dashed) << "still a dependency between other hosts";
    EXPECT_FALSE(byEnds["w->down"].dashed);
    for (const char *ends : {"w->up", "w->new", "w->x"})
        EXPECT_NE(byEnds[ends].stroke, graphrender::kUnreachableColour) << ends;
    EXPECT_NE(f.otherText.find("did not answer"), std::string::npos) << f.otherText;
    EXPECT_NE(f.otherText.find("reachable or not yet probed"), std::string::npos) << f.otherText;
    EXPECT_NE(svg.find(std::string("fill=\"") + graphrender::kUnreachableColour), std::string::npos)
        << "the legend's arrow in the colour";
}

TEST(GraphRender, NamesAndTypesStayTextNotMarkup) {
    const std::vector<std::string> names = {"a\"quoted\".host", "back\\slash", "<tag>&x y", "z\xc3\xbcrich.example",
                                            "plain"};
    std::string graphml =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<graphml><graph id=\"plain graph\" "
        "edgedefault=\"directed\">\n";
    auto esc = [](const std::string &s) {
        std::string o;
        for (char c : s)
            o += c == '"' ? "&quot;" : c == '<' ? "&lt;" : c == '>' ? "&gt;" : c == '&' ? "&amp;" : std::string(1, c);
        return o;
    };
    for (const auto &n : names)
        graphml += "<node id=\"" + esc(n) + "\" status=\"1\" />\n";
    for (size_t i = 0; i + 1 < names.size(); ++i)
        graphml += "<edge id=\"" + esc("type='dependWeb(11)' args='\\x'") +
                   "\" type=\"11\" client=\"plain\" server=\"" + esc(names[i]) + "\" />\n";
    graphml += "</graph></graphml>\n";

    graphrender::Graph g;
    std::string why, dot, svg;
    ASSERT_TRUE(graphrender::parseGraphml(graphml.data(), graphml.size(), g, why)) << why;
    EXPECT_EQ(g.nodes[g.local].id, "plain");
    ASSERT_TRUE(graphrender::render(g, &dot, &svg, why)) << why;
    const SvgFacts s = readSvg(svg);
    EXPECT_EQ(sorted(s.nodes), sorted(names));
    for (const auto &d : s.deps)
        EXPECT_EQ(d.label, "dependWeb(11)");
    // The host labels show the names as they are (a backslash not taken for
    // an escape).
    std::string shown;
    Doc doc = readXml(svg);
    walk(xmlDocGetRootElement(doc.get()), [&](xmlNodePtr n) {
        if (is(n, "text"))
            shown += textOf(n) + "\n";
    });
    for (const auto &n : names)
        EXPECT_NE(shown.find(n + "\n"), std::string::npos) << n;
    const DotFacts d = readDot(dot);
    EXPECT_EQ(sorted(d.nodes), sorted(names));
    EXPECT_EQ(d.edges.size(), names.size() - 1);
}

TEST(GraphRender, LocalHostDirectionAndOtherWriters) {
    auto parse = [](const std::string &body, graphrender::Graph &g) {
        std::string doc = "<graphml>" + body + "</graphml>", why;
        return graphrender::parseGraphml(doc.data(), doc.size(), g, why);
    };
    graphrender::Graph g;
    // The host the graph is named after, by its full name...
    ASSERT_TRUE(parse("<graph id=\"alpha graph\"><node id=\"x\"/><node id=\"alpha\"/></graph>", g));
    EXPECT_EQ(g.local, 1u);
    // ... or by its short name; else the first host.
    ASSERT_TRUE(parse("<graph id=\"alpha graph\"><node id=\"x\"/><node id=\"alpha.example\"/></graph>", g));
    EXPECT_EQ(g.local, 1u);
    ASSERT_TRUE(parse("<graph id=\"beta graph\"><node id=\"x\"/><node id=\"alpha\"/></graph>", g));
    EXPECT_EQ(g.local, 0u);
    // Undirected graphs are drawn with undirected edges; edges that name
    // their ends only as source and target (other writers) are kept.
    ASSERT_TRUE(
        parse("<graph id=\"a graph\" edgedefault=\"undirected\"><node id=\"a\"/><node id=\"b\"/>"
              "<edge id=\"e\" type=\"3\" source=\"a\" target=\"b\"/></graph>",
              g));
    EXPECT_FALSE(g.directed);
    ASSERT_EQ(g.edges.size(), 1u);
    EXPECT_EQ(g.edges[0].typeText, "type 3"); // no name to take the type text from
    std::string why, svg;
    ASSERT_TRUE(graphrender::render(g, nullptr, &svg, why)) << why;
    EXPECT_EQ(readSvg(svg).edges, Multiset{"a--b"});
}

TEST(GraphRender, RefusalsAreReasonsNotCrashes) {
    graphrender::Graph g;
    std::string why;
    for (const std::string &bad : {std::string("not xml <"), std::string("<other/>"), std::string("<graphml/>"),
                                   std::string("<graphml><graph id=\"g\"/></graphml>"), std::string()}) {
        why.clear();
        EXPECT_FALSE(graphrender::parseGraphml(bad.data(), bad.size(), g, why)) << bad;
        EXPECT_FALSE(why.empty()) << bad;
    }
    // Too large to lay out: refused at once, before any layout.
    std::string big = "<graphml><graph id=\"h0 graph\">";
    for (size_t i = 0; i <= graphrender::kMaxDrawNodes; ++i)
        big += "<node id=\"h" + std::to_string(i) + "\"/>";
    big += "</graph></graphml>";
    ASSERT_TRUE(graphrender::parseGraphml(big.data(), big.size(), g, why)) << why;
    std::string svg;
    EXPECT_FALSE(graphrender::render(g, nullptr, &svg, why));
    EXPECT_NE(why.find("too large"), std::string::npos) << why;
    EXPECT_TRUE(svg.empty());

    // A layout that would take minutes (a dense tangle of 500 hosts) ends
    // at its time bound, and this process goes on.
    std::string tangle = "<graphml><graph id=\"h0 graph\">";
    for (int i = 0; i < 500; ++i)
        tangle += "<node id=\"h" + std::to_string(i) + "\"/>";
    unsigned seed = 1;
    for (int i = 0; i < 2000; ++i) {
        seed = seed * 1103515245u + 12345u;
        const unsigned a = i < 1000 ? 0 : (seed >> 8) % 500;
        seed = seed * 1103515245u + 12345u;
        tangle += "<edge id=\"type='dependDNS(3)' args=''\" type=\"3\" client=\"h" + std::to_string(a) +
                  "\" server=\"h" + std::to_string((seed >> 8) % 500) + "\"/>";
    }
    tangle += "</graph></graphml>";
    ASSERT_TRUE(graphrender::parseGraphml(tangle.data(), tangle.size(), g, why)) << why;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(graphrender::render(g, nullptr, &svg, why, 1));
    EXPECT_NE(why.find("within 1 s"), std::string::npos) << why;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
    EXPECT_TRUE(svg.empty());
}

TEST(GraphRender, CommandLineDrawsAGraphmlFile) {
    testutil::TempDir dir;
    const std::string graphml = dir.write("wren.graphml", fixture());
    const std::string tool = testutil::binPath("qelgetsubgraph");
    auto r = testutil::runProcess({tool, "--from", graphml, "--svg", dir.file("g.svg"), "--dot", dir.file("g.dot")},
                                  dir.path());
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const GraphmlFacts want = readGraphml(fixture());
    const SvgFacts svg = readSvg(testutil::readFile(dir.file("g.svg")));
    EXPECT_EQ(sorted(svg.nodes), sorted(want.nodes));
    EXPECT_EQ(sorted(svg.edges), sorted(want.edges));
    const DotFacts dot = readDot(testutil::readFile(dir.file("g.dot")));
    EXPECT_EQ(sorted(dot.nodes), sorted(want.nodes));
    EXPECT_EQ(sorted(dot.edges), sorted(want.edges));

    // Without a picture to draw, or with anything else, --from is refused.
    r = testutil::runProcess({tool, "--from", graphml}, dir.path());
    EXPECT_EQ(r.exitCode, 255);
    EXPECT_NE(r.err.find("--from takes"), std::string::npos) << r.err;
    // A file that is not GraphML draws nothing and says why; the previous
    // picture stays.
    const std::string before = testutil::readFile(dir.file("g.svg"));
    const std::string junk = dir.write("junk.xml", "<html/>");
    r = testutil::runProcess({tool, "--from", junk, "--svg", dir.file("g.svg")}, dir.path());
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("not GraphML"), std::string::npos) << r.err;
    EXPECT_EQ(testutil::readFile(dir.file("g.svg")), before);
    r = testutil::runProcess({tool, "--from", dir.file("missing.graphml"), "--svg", dir.file("m.svg")}, dir.path());
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("cannot open"), std::string::npos) << r.err;
    // The help names the new options.
    r = testutil::runProcess({tool, "--help"}, dir.path());
    EXPECT_NE(r.out.find("--svg FILE"), std::string::npos);
}

} // namespace
