// The dependency graph as a picture: GraphML read into a small model, drawn
// by Graphviz (dot layout) as SVG, or written as a DOT description.
#ifndef KESTROVA_TOOLS_GRAPH_RENDER_H
#define KESTROVA_TOOLS_GRAPH_RENDER_H

#include <cstddef>
#include <string>
#include <vector>

namespace graphrender {

// A host as the export describes it; status: 0 never heard from and not
// reachable, 1 reachable or not yet probed, 2 agent known but not
// reachable, 3 agent known and reachable or not yet probed.
struct Node {
    std::string id;
    int status = 0;
};

// A dependency: client depends on server for a service of `type`.
struct Edge {
    std::string id;       // the record's name, "type='...' args='...'"
    std::string typeText; // e.g. "dependDNS(3)"
    std::string args;
    std::string client, server;
    int type = 0;
    int pov = 0;
    int reachable = 2; // dependReachable: 1 answered, 0 did not, 2 not yet probed
};

struct Graph {
    std::string name;
    bool directed = true;
    std::vector<Node> nodes;
    std::vector<Edge> edges;
    size_t local = 0; // index of the local host in nodes (nodes not empty)

    // Neither end is the local host: learned from a peer or a log file.
    bool isThirdHost(const Edge &e) const;
};

// Graphs beyond these are not drawn: dot's layout time grows much faster
// than the graph.
constexpr size_t kMaxDrawNodes = 1000;
constexpr size_t kMaxDrawEdges = 4000;

// Reads a GraphML document as the agent exports it. False, with the reason
// in `why`, for text that is not such a document or a graph without hosts.
bool parseGraphml(const char *text, size_t len, Graph &g, std::string &why);

// Seconds the layout of a drawing may take.
constexpr int kDrawSeconds = 60;

// The DOT description and/or the SVG drawing (either pointer may be null).
// False, with the reason in `why`, when the graph is too large, Graphviz
// fails on it or its layout takes longer than drawSeconds.
bool render(const Graph &g, std::string *dot, std::string *svg, std::string &why, int drawSeconds = kDrawSeconds);

// The colour of a dependency whose server did not answer its last probe.
extern const char *const kUnreachableColour;

// The fill colour and legend text of a status (0-3; others as 0).
const char *statusColour(int status);
const char *statusText(int status);

} // namespace graphrender

#endif
