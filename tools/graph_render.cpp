// The dependency graph drawn by Graphviz: cgraph holds the graph, gvc lays
// it out with dot and writes SVG.
#include "graph_render.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <unordered_map>

#include <gvc.h>
#include <libxml/parser.h>
#include <libxml/tree.h>

// Graphviz's dot layout keeps some of its allocations for the life of the
// process; they are the library's, not leaks of ours.
extern "C" const char *__lsan_default_suppressions() {
    return "leak:libgvc.so\nleak:libcgraph.so\nleak:libgvplugin_dot_layout.so\n";
}
// Without the list of suppressions used on standard error at exit.
extern "C" const char *__lsan_default_options() {
    return "print_suppressions=0";
}

namespace graphrender {

namespace {

const char *const kStatusColours[4] = {"#d9d9d9", "#c7e9c0", "#fdae6b", "#41ab5d"};
const char *const kStatusTexts[4] = {"never heard from, not reachable", "reachable or not yet probed",
                                     "agent known, not reachable", "agent known, reachable or not yet probed"};
const char *const kLocalColour = "#08519c";
const char *const kThirdHostColour = "#6b6b6b";

std::string attr(xmlNodePtr n, const char *name) {
    xmlChar *v = xmlGetProp(n, reinterpret_cast<const xmlChar *>(name));
    if (!v)
        return std::string();
    std::string s(reinterpret_cast<const char *>(v));
    xmlFree(v);
    return s;
}

int attrInt(xmlNodePtr n, const char *name) {
    const std::string s = attr(n, name);
    char *end = nullptr;
    long v = std::strtol(s.c_str(), &end, 10);
    if (s.empty() || *end || v < -1000000 || v > 1000000)
        return 0;
    return static_cast<int>(v);
}

bool named(xmlNodePtr n, const char *name) {
    return n->type == XML_ELEMENT_NODE && std::strcmp(reinterpret_cast<const char *>(n->name), name) == 0;
}

// The type text out of the record's name, "type='dependDNS(3)' args='...'":
// the agent's own word for the type.
std::string typeTextOf(const std::string &id, int type) {
    static const char kPrefix[] = "type='";
    if (id.compare(0, sizeof kPrefix - 1, kPrefix) == 0) {
        const size_t end = id.find('\'', sizeof kPrefix - 1);
        if (end != std::string::npos && end > sizeof kPrefix - 1)
            return id.substr(sizeof kPrefix - 1, end - (sizeof kPrefix - 1));
    }
    return "type " + std::to_string(type);
}

struct DocFree {
    void operator()(xmlDoc *d) const { xmlFreeDoc(d); }
};

// ---- Graphviz ----

// The layout and SVG plug-ins, loaded once by path and kept: only these two,
// so no configuration file and no font machinery are involved and a graph
// is drawn alike everywhere. Null with the reason when one is missing.
const lt_symlist_t *plugins(std::string &why) {
    static lt_symlist_t symbols[3] = {};
    static std::string failure;
    static bool tried = false;
    if (!tried) {
        tried = true;
        const char *names[2][2] = {
            {"libgvplugin_core.so." KESTROVA_GRAPHVIZ_PLUGIN_VERSION, "gvplugin_core_LTX_library"},
            {"libgvplugin_dot_layout.so." KESTROVA_GRAPHVIZ_PLUGIN_VERSION, "gvplugin_dot_layout_LTX_library"}};
        for (int i = 0; i < 2; ++i) {
            const std::string path = std::string(KESTROVA_GRAPHVIZ_PLUGIN_DIR "/") + names[i][0];
            void *h = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
            void *sym = h ? dlsym(h, names[i][1]) : nullptr;
            if (!sym) {
                const char *err = dlerror();
                failure = "cannot load Graphviz's " + path + (err ? std::string(": ") + err : std::string());
                return nullptr;
            }
            symbols[i].name = names[i][1];
            symbols[i].address = sym;
        }
    }
    if (!failure.empty()) {
        why = failure;
        return nullptr;
    }
    return symbols;
}

struct GraphClose {
    void operator()(Agraph_t *g) const { agclose(g); }
};

// Graphviz takes char* for texts it only reads.
char *cs(const char *s) {
    return const_cast<char *>(s);
}

void set(void *obj, const char *name, const std::string &value) {
    agsafeset(obj, cs(name), cs(value.c_str()), cs(""));
}

// A label is read for escapes ("\N", "\n"): a backslash in a name or a type
// text is kept as one.
std::string labelText(const std::string &s) {
    std::string out;
    out.reserve(s.size());
    for (char c : s) {
        if (c == '\\')
            out += '\\';
        out += c;
    }
    return out;
}

std::string htmlText(const std::string &s) {
    std::string out;
    for (char c : s) {
        switch (c) {
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '&': out += "&amp;"; break;
        case '"': out += "&quot;"; break;
        default: out += c;
        }
    }
    return out;
}

// The legend, as the graph's own label: no extra node that a reader of the
// drawing could take for a host.
std::string legend() {
    std::string html =
        "<table border=\"0\" cellborder=\"1\" cellspacing=\"2\" cellpadding=\"4\">"
        "<tr><td colspan=\"2\"><b>host status</b></td></tr>";
    for (int s = 3; s >= 0; --s)
        html += std::string("<tr><td bgcolor=\"") + kStatusColours[s] + "\" width=\"24\"> </td><td align=\"left\">" +
                htmlText(kStatusTexts[s]) + "</td></tr>";
    html += std::string("<tr><td><font color=\"") + kLocalColour +
            "\"><b>&#9633;</b></font></td>"
            "<td align=\"left\">this host (blue border)</td></tr>"
            "<tr><td>&#8594;</td><td align=\"left\">dependency of this host, labelled by type</td></tr>"
            "<tr><td><font color=\"" +
            kThirdHostColour +
            "\">- - &#8594;</font></td>"
            "<td align=\"left\">dependency between other hosts (from peers, log files)</td></tr>";
    html += std::string("<tr><td><font color=\"") + kUnreachableColour + "\"><b>&#8594;</b></font></td>";
    html += "<td align=\"left\">server did not answer the last probe (red, bold)</td></tr></table>";
    return html;
}

// Builds the cgraph graph from the model.
Agraph_t *build(const Graph &g) {
    Agraph_t *ag = agopen(cs("dependencies"), g.directed ? Agdirected : Agundirected, nullptr);
    if (!ag)
        return nullptr;
    set(ag, "rankdir", "LR");
    set(ag, "fontname", "Helvetica");
    set(ag, "labelloc", "b");
    set(ag, "nodesep", "0.3");
    set(ag, "ranksep", "1.2");
    char *html = agstrdup_html(ag, cs(legend().c_str()));
    agsafeset(ag, cs("label"), html, cs(""));
    agstrfree(ag, html);

    // Hosts joined to this host by no dependency of their own are known only
    // from peers: they are drawn apart, in a box of their own.
    const std::string &local = g.nodes[g.local].id;
    std::set<std::string> nearLocal;
    nearLocal.insert(local);
    for (const Edge &e : g.edges)
        if (!g.isThirdHost(e)) {
            nearLocal.insert(e.client);
            nearLocal.insert(e.server);
        }
    Agraph_t *apart = nullptr;
    std::unordered_map<std::string, Agnode_t *> nodes;
    for (const Node &n : g.nodes) {
        if (nodes.count(n.id))
            continue;
        Agraph_t *in = ag;
        if (!nearLocal.count(n.id)) {
            if (!apart) {
                apart = agsubg(ag, cs("cluster_third_hosts"), 1);
                set(apart, "label", "other hosts");
                set(apart, "style", "dashed");
                set(apart, "color", kThirdHostColour);
                set(apart, "fontcolor", kThirdHostColour);
                set(apart, "fontname", "Helvetica");
            }
            in = apart;
        }
        Agnode_t *an = agnode(in, cs(n.id.c_str()), 1);
        nodes[n.id] = an;
        const int s = n.status >= 0 && n.status <= 3 ? n.status : 0;
        set(an, "label", labelText(n.id));
        set(an, "shape", "box");
        set(an, "style", "filled,rounded");
        set(an, "fillcolor", kStatusColours[s]);
        set(an, "fontname", "Helvetica");
        set(an, "tooltip", n.id + ": " + kStatusTexts[s]);
        if (n.id == local) {
            set(an, "color", kLocalColour);
            set(an, "penwidth", "3");
            set(an, "fontname", "Helvetica-Bold");
        }
    }
    size_t count = 0;
    for (const Edge &e : g.edges) {
        auto c = nodes.find(e.client), s = nodes.find(e.server);
        Agnode_t *cn = c != nodes.end() ? c->second : nullptr;
        Agnode_t *sn = s != nodes.end() ? s->second : nullptr;
        // An edge may name a host the node list lacks: it is still a host.
        if (!cn)
            cn = nodes[e.client] = agnode(ag, cs(e.client.c_str()), 1);
        if (!sn)
            sn = nodes[e.server] = agnode(ag, cs(e.server.c_str()), 1);
        // Every record its own edge, also between the same two hosts.
        const std::string key = "d" + std::to_string(++count);
        Agedge_t *ae = agedge(ag, cn, sn, cs(key.c_str()), 1);
        set(ae, "label", labelText(e.typeText));
        set(ae, "fontname", "Helvetica");
        set(ae, "fontsize", "10");
        set(ae, "tooltip", e.typeText + (e.args.empty() ? "" : " " + e.args));
        if (g.isThirdHost(e)) {
            set(ae, "style", "dashed");
            set(ae, "color", kThirdHostColour);
            set(ae, "fontcolor", kThirdHostColour);
        }
        if (e.reachable == 0) {
            set(ae, "style", g.isThirdHost(e) ? "dashed,bold" : "bold");
            set(ae, "penwidth", "2.5");
            set(ae, "color", kUnreachableColour);
            set(ae, "fontcolor", kUnreachableColour);
            set(ae, "tooltip", e.typeText + (e.args.empty() ? "" : " " + e.args) + ": server did not answer");
        }
    }
    return ag;
}

// Lays the graph out and writes it as SVG to fd; the child's whole work.
bool layOutAndWrite(Agraph_t *ag, int fd) {
    std::string why;
    const lt_symlist_t *builtins = plugins(why);
    if (!builtins) {
        std::fprintf(stderr, "%s\n", why.c_str());
        return false;
    }
    GVC_t *gvc = gvContextPlugins(builtins, 0);
    if (!gvc || gvLayout(gvc, ag, "dot") != 0)
        return false;
    char *buf = nullptr;
    unsigned int len = 0;
    if (gvRenderData(gvc, ag, "svg", &buf, &len) != 0 || !buf)
        return false;
    for (size_t done = 0; done < len;) {
        const ssize_t n = write(fd, buf + done, len - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// The layout runs in a child process: some graphs make Graphviz's dot
// layout abort ("trouble in init_rank", a double free) or take very long,
// and neither may take the fetched graph down with it. The child is killed
// after `seconds`.
bool drawApart(Agraph_t *ag, std::string &svg, std::string &why, int seconds) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        why = std::string("cannot make a pipe: ") + std::strerror(errno);
        return false;
    }
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid < 0) {
        why = std::string("cannot start the drawing: ") + std::strerror(errno);
        close(fds[0]);
        close(fds[1]);
        return false;
    }
    if (pid == 0) {
        close(fds[0]);
        const bool ok = layOutAndWrite(ag, fds[1]);
        _exit(ok ? 0 : 1);
    }
    close(fds[1]);
    svg.clear();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    bool timedOut = false, readFailed = false;
    char buf[65536];
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            timedOut = true;
            break;
        }
        pollfd p{fds[0], POLLIN, 0};
        const int r = poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), 1000)));
        if (r < 0 && errno != EINTR) {
            readFailed = true;
            break;
        }
        if (r <= 0)
            continue;
        const ssize_t n = read(fds[0], buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            readFailed = true;
            break;
        }
        if (n == 0)
            break;
        svg.append(buf, static_cast<size_t>(n));
    }
    close(fds[0]);
    if (timedOut || readFailed)
        kill(pid, SIGKILL);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (timedOut) {
        why = "Graphviz did not finish the drawing within " + std::to_string(seconds) + " s";
    } else if (readFailed) {
        why = "cannot read the drawing";
    } else if (WIFSIGNALED(status)) {
        why = "Graphviz failed on this graph (signal " + std::to_string(WTERMSIG(status)) + ")";
    } else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || svg.empty()) {
        why = "Graphviz could not lay out or draw the graph";
    } else {
        return true;
    }
    svg.clear();
    return false;
}

} // namespace

const char *const kUnreachableColour = "#cb181d";

bool Graph::isThirdHost(const Edge &e) const {
    const std::string &me = nodes[local].id;
    return e.client != me && e.server != me;
}

const char *statusColour(int status) {
    return kStatusColours[status >= 0 && status <= 3 ? status : 0];
}
const char *statusText(int status) {
    return kStatusTexts[status >= 0 && status <= 3 ? status : 0];
}

bool parseGraphml(const char *text, size_t len, Graph &g, std::string &why) {
    g = Graph();
    if (len > static_cast<size_t>(INT32_MAX)) {
        why = "the document is too large";
        return false;
    }
    std::unique_ptr<xmlDoc, DocFree> doc(xmlReadMemory(text, static_cast<int>(len), "graph.graphml", nullptr,
                                                       XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING));
    if (!doc) {
        why = "the graph is not well-formed XML";
        return false;
    }
    xmlNodePtr root = xmlDocGetRootElement(doc.get());
    if (!root || !named(root, "graphml")) {
        why = "the document is not GraphML";
        return false;
    }
    xmlNodePtr graph = nullptr;
    for (xmlNodePtr n = root->children; n && !graph; n = n->next)
        if (named(n, "graph"))
            graph = n;
    if (!graph) {
        why = "the document holds no graph";
        return false;
    }
    g.name = attr(graph, "id");
    g.directed = attr(graph, "edgedefault") != "undirected";
    for (xmlNodePtr n = graph->children; n; n = n->next) {
        if (named(n, "node")) {
            Node node;
            node.id = attr(n, "id");
            node.status = attrInt(n, "status");
            if (!node.id.empty())
                g.nodes.push_back(std::move(node));
        } else if (named(n, "edge")) {
            Edge e;
            e.id = attr(n, "id");
            e.client = attr(n, "client");
            e.server = attr(n, "server");
            // Other GraphML writers name the ends only as source and target.
            if (e.client.empty())
                e.client = attr(n, "source");
            if (e.server.empty())
                e.server = attr(n, "target");
            e.type = attrInt(n, "type");
            e.pov = attrInt(n, "pov");
            // Without the attribute (other writers) nothing is known.
            e.reachable = attr(n, "reachable").empty() ? 2 : attrInt(n, "reachable");
            e.args = attr(n, "args");
            e.typeText = typeTextOf(e.id, e.type);
            if (!e.client.empty() && !e.server.empty())
                g.edges.push_back(std::move(e));
        }
    }
    if (g.nodes.empty()) {
        why = "the graph has no hosts";
        return false;
    }
    // The local host: the one the graph is named after ("HOST graph"), else
    // the first, which the agent always lists first.
    static const char kSuffix[] = " graph";
    std::string host = g.name;
    if (host.size() > sizeof kSuffix - 1 &&
        host.compare(host.size() - (sizeof kSuffix - 1), std::string::npos, kSuffix) == 0)
        host.resize(host.size() - (sizeof kSuffix - 1));
    auto find = [&](auto match) {
        for (size_t i = 0; i < g.nodes.size(); ++i)
            if (match(g.nodes[i].id))
                return i;
        return g.nodes.size();
    };
    size_t at = find([&](const std::string &id) { return id == host; });
    if (at == g.nodes.size())
        at = find([&](const std::string &id) { return id.compare(0, host.size() + 1, host + ".") == 0; });
    g.local = at < g.nodes.size() ? at : 0;
    return true;
}

bool render(const Graph &g, std::string *dot, std::string *svg, std::string &why, int drawSeconds) {
    if (g.nodes.empty()) {
        why = "the graph has no hosts";
        return false;
    }
    if (g.nodes.size() > kMaxDrawNodes || g.edges.size() > kMaxDrawEdges) {
        why = "the graph is too large to draw (" + std::to_string(g.nodes.size()) + " hosts, " +
              std::to_string(g.edges.size()) + " dependencies; at most " + std::to_string(kMaxDrawNodes) + " and " +
              std::to_string(kMaxDrawEdges) + ")";
        return false;
    }
    std::unique_ptr<Agraph_t, GraphClose> ag(build(g));
    if (!ag) {
        why = "Graphviz could not make the graph";
        return false;
    }
    if (dot) {
        char *buf = nullptr;
        size_t len = 0;
        FILE *mem = open_memstream(&buf, &len);
        if (!mem) {
            why = "out of memory";
            return false;
        }
        const int rc = agwrite(ag.get(), mem);
        std::fclose(mem);
        std::unique_ptr<char, decltype(&std::free)> owned(buf, &std::free);
        if (rc != 0) {
            why = "Graphviz could not write the graph";
            return false;
        }
        dot->assign(buf, len);
    }
    if (svg && !drawApart(ag.get(), *svg, why, drawSeconds))
        return false;
    return true;
}

} // namespace graphrender
