// link: kestrova_core
// qelgetsubgraph against real agents: the command line and failures on
// loopback (agents with demoplugin only), and the graph itself from an agent
// with mib2 and kestrova inside a loopback-only network namespace the test
// makes, seeded with a graph of its own.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <thread>
#include <tuple>

#include "agent_testutil.h"
#include "kestrova_test_host.h"
#include "qel/base64.h"

using namespace agenttest;

namespace {

const std::string &ipPath() {
    static const std::string path = [] {
        for (const char *p : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"})
            if (access(p, X_OK) == 0)
                return std::string(p);
        return std::string("ip");
    }();
    return path;
}

std::string findProgram(const std::string &name) {
    for (const char *dir : {"/usr/local/bin", "/usr/bin", "/bin"}) {
        std::string p = std::string(dir) + "/" + name;
        if (access(p.c_str(), X_OK) == 0)
            return p;
    }
    return "";
}

// Names of the entries of a directory.
std::set<std::string> entries(const std::string &dir) {
    std::set<std::string> out;
    if (DIR *d = opendir(dir.c_str())) {
        while (struct dirent *e = readdir(d))
            if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
                out.insert(e->d_name);
        closedir(d);
    }
    return out;
}

// A port on 127.0.0.1 nobody listens on (bound, then released).
int closedPort() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    close(fd);
    return port;
}

// A directory to run the client in, holding the test CA.
class ClientDir {
public:
    ClientDir() { testutil::writeFile(dir.file("kestrova.pem"), testutil::readFile(caDir() + "/kestrova.pem")); }
    const std::string &path() const { return dir.path(); }
    std::string file(const std::string &name) const { return dir.file(name); }
    testutil::TempDir dir;
};

testutil::ProcessResult runTool(const std::vector<std::string> &args, const std::string &cwd) {
    std::vector<std::string> argv = {testutil::binPath("qelgetsubgraph")};
    argv.insert(argv.end(), args.begin(), args.end());
    return testutil::runProcess(argv, cwd, 60);
}

// ---- command line and failures, on loopback ----

TEST(QelGetSubgraph, UsageErrorsExit255) {
    ClientDir cwd;
    auto r = runTool({"127.0.0.1", "user"}, cwd.path());
    EXPECT_EQ(r.exitCode, 255);
    EXPECT_NE(r.err.find("usage: "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("qelgetsubgraph: missing graph file\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("qelgetsubgraph [-4|6] [--timeout SECONDS] host[,port] authenUser graphfile\n"
                         "host is either hostname, IPv4 address, or IPv6 address\n"),
              std::string::npos)
        << r.err;
    // The options may leave too few arguments behind them.
    r = runTool({"-4", "-6", "127.0.0.1", "user"}, cwd.path());
    EXPECT_EQ(r.exitCode, 255);
    EXPECT_NE(r.err.find("usage: "), std::string::npos) << r.err;
    r = runTool({"127.0.0.1,0", "user", cwd.file("g.xml")}, cwd.path());
    EXPECT_EQ(r.exitCode, 255);
    EXPECT_NE(r.err.find("qelgetsubgraph: invalid port '0'"), std::string::npos) << r.err;
    r = runTool({"-bogus", "127.0.0.1", "user", cwd.file("g.xml")}, cwd.path());
    EXPECT_EQ(r.exitCode, 255);
    EXPECT_NE(r.err.find("qelgetsubgraph: unknown option or option without its value '-bogus'\n"), std::string::npos)
        << r.err;
    r = runTool({"--timeout", "ten", "127.0.0.1", "user", cwd.file("g.xml")}, cwd.path());
    EXPECT_EQ(r.exitCode, 255);
    EXPECT_NE(r.err.find("qelgetsubgraph: --timeout needs whole seconds from 1 to 86400, not 'ten'\n"),
              std::string::npos)
        << r.err;
    auto help = runTool({"--help"}, cwd.path());
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("usage: "), std::string::npos);
    EXPECT_NE(help.out.find("graphfile"), std::string::npos);
    auto version = runTool({"--version"}, cwd.path());
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out.rfind("qelgetsubgraph (Kestrova) ", 0), 0u) << version.out;
    EXPECT_NE(version.out.find("\nOpenSSL "), std::string::npos) << version.out;
    EXPECT_EQ(entries(cwd.path()).count("g.xml"), 0u);
}

TEST(QelGetSubgraph, WithoutTheCaFileTlsCannotBeSetUp) {
    testutil::TempDir cwd;
    auto r = runTool({"127.0.0.1," + std::to_string(closedPort()), "user", cwd.file("g.xml")}, cwd.path());
    EXPECT_EQ(r.exitCode, 255);
    EXPECT_NE(r.err.find("Unable to initialize SSL facilities\n"), std::string::npos) << r.err;
}

TEST(QelGetSubgraph, ClosedPortExits255AndWritesNothing) {
    ClientDir cwd;
    int port = closedPort();
    ASSERT_GT(port, 0);
    std::string graph = cwd.dir.write("g.xml", "old graph");
    auto r = runTool({"-4", "127.0.0.1," + std::to_string(port), "user", graph}, cwd.path());
    EXPECT_EQ(r.exitCode, 255);
    EXPECT_NE(
        r.err.find("qelgetsubgraph: failed to connect to 127.0.0.1," + std::to_string(port) + ": connection refused\n"),
        std::string::npos)
        << r.err;
    EXPECT_EQ(testutil::readFile(graph), "old graph");
}

// An agent without kestrova answers with an error status: exit 1, one line
// saying so, no counts, the old file untouched. Its plug-ins are named so
// that kestrova is not loaded outside a namespace.
TEST(QelGetSubgraph, AgentWithoutKestrovaLeavesTheFileAlone) {
    Agent agent;
    ASSERT_TRUE(agent.start({std::string(KESTROVA_PLUGIN_DIR) + "/demoplugin-linux.so"})) << agent.output();
    ClientDir cwd;
    std::string graph = cwd.dir.write("g.xml", "old graph");
    std::string hostPort = "127.0.0.1," + std::to_string(agent.port());
    auto r = runTool({hostPort, "user", graph, "ignored"}, cwd.path());
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_EQ(r.err.rfind("qelgetsubgraph: connected via IPv4 to " + hostPort + "\n", 0), 0u) << r.err;
    EXPECT_EQ(r.err.find("nodes"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("qelgetsubgraph: no graph written to " + graph + ": the agent answered "), std::string::npos)
        << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 2) << r.err;
    EXPECT_EQ(testutil::readFile(graph), "old graph");
    for (const auto &name : entries(cwd.path()))
        EXPECT_NE(name[0], '.') << "left behind: " << name;
}

// ---- the graph, from kestrova in a namespace ----

struct SeedEdge {
    std::string client, server;
    int type;
    std::string args;
    bool operator<(const SeedEdge &o) const {
        return std::tie(client, server, type, args) < std::tie(o.client, o.server, o.type, o.args);
    }
};

std::string xmlEscape(const std::string &s) {
    std::string out;
    for (char c : s) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default: out += c;
        }
    }
    return out;
}

// Enough edges for a subgraph well beyond 4,095 characters (it then travels
// in the value buffer), with markup, quotes and UTF-8 in names and args.
// The names do not resolve inside the namespace, so they stay as written.
std::vector<SeedEdge> seedEdges() {
    std::vector<SeedEdge> out;
    for (int i = 0; i < 120; i++) {
        std::string client =
            i % 10 == 0 ? "a&b<" + std::to_string(i) + ">.seed.test" : "client" + std::to_string(i) + ".seed.test";
        std::string server = "srv" + std::to_string(i % 7) + (i % 3 ? ".seed.test" : "-caf\xc3\xa9.seed.test");
        int type = 1 + i % 31;
        std::string args = i % 4 ? std::to_string(1000 + i) : "q=\"" + std::to_string(i) + "\" & 'x' \xe2\x82\xac";
        out.push_back({client, server, type, args});
    }
    return out;
}

std::string seedDocument(const std::vector<SeedEdge> &edges) {
    std::string doc =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<graphml>\n"
        "<graph id=\"seed graph\" edgedefault=\"directed\">\n"
        "<node id=\"lonely.seed.test\" status=\"1\" />\n";
    for (const auto &e : edges)
        doc += "<edge id=\"x\" type=\"" + std::to_string(e.type) + "\" src=\"4\" pov=\"3\" ptr=\"1\" args=\"" +
               xmlEscape(e.args) + "\" client=\"" + xmlEscape(e.client) + "\" server=\"" + xmlEscape(e.server) +
               "\" />\n";
    return doc + "</graph>\n</graphml>\n";
}

std::string edgeId(const SeedEdge &e) {
    return "type='" + std::string(dependencyTypeStrs[e.type]) + "' args='" + e.args + "'";
}

class SubgraphNetns : public ::testing::Test {
protected:
    static void SetUpTestSuite() { suite = new Suite; }
    static void TearDownTestSuite() {
        delete suite;
        suite = nullptr;
    }

    void SetUp() override {
        if (!suite->skip.empty())
            GTEST_SKIP() << suite->skip;
        ASSERT_TRUE(suite->failure.empty()) << suite->failure;
    }

    // The agent: mib2 and kestrova in its own namespace, seeded; a client
    // directory; the subgraph as fetched by the test itself.
    struct Suite {
        std::string ns, skip, failure;
        bool made = false;
        testutil::TempDir home, seedDir;
        ClientDir cwd;
        pid_t pid = -1;
        int port = 0;
        std::vector<SeedEdge> seed = seedEdges();

        Suite() {
            if (access((std::string(KESTROVA_PLUGIN_DIR) + "/kestrova-linux.so").c_str(), R_OK) != 0) {
                skip = "the kestrova plug-in is not built";
                return;
            }
            if (access(ipPath().c_str(), X_OK) != 0) {
                skip = "no ip program (iproute2) on this host";
                return;
            }
            ns = "kq-subgraph-" + std::to_string(getpid());
            auto r = testutil::runProcess({ipPath(), "netns", "add", ns});
            if (r.exitCode != 0) {
                skip = "network namespaces are not permitted here (ip netns add exited " + std::to_string(r.exitCode) +
                       ": " + r.err + "); needs root or CAP_SYS_ADMIN";
                return;
            }
            made = true;
            // Loopback only: nothing else exists in the namespace, so no
            // packet can leave it and the seeded names fail to resolve at once.
            r = testutil::runProcess({ipPath(), "-n", ns, "link", "set", "lo", "up"});
            if (r.exitCode != 0) {
                failure = "ip link set lo up: " + r.err;
                return;
            }
            testutil::writeFile(home.file("kestrova.pem"), testutil::readFile(caDir() + "/kestrova.pem"));
            std::string seedFile = seedDir.write("seed.graphml", seedDocument(seed));
            if (!start(seedFile))
                failure = "the agent did not start: " + testutil::readFile(home.file("qeld.out"));
        }

        ~Suite() {
            if (pid > 0) {
                kill(pid, SIGTERM);
                for (int i = 0; i < 500 && waitpid(pid, nullptr, WNOHANG) == 0; ++i)
                    usleep(10000);
                kill(pid, SIGKILL);
                waitpid(pid, nullptr, 0);
            }
            if (made)
                testutil::runProcess({ipPath(), "netns", "del", ns});
        }

        bool start(const std::string &seedFile) {
            pid_t child = fork();
            if (child < 0)
                return false;
            if (child == 0) {
                int out = open(home.file("qeld.out").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
                if (out >= 0) {
                    dup2(out, 1);
                    dup2(out, 2);
                }
                setenv("KESTROVA_IMPORT_GRAPH", seedFile.c_str(), 1);
                setenv("KESTROVA_TIME_DIVISOR", "15", 1);
                std::string qeld = testutil::binPath("qeld");
                std::string mib2 = std::string(KESTROVA_PLUGIN_DIR) + "/mib2-linux.so";
                std::string kestrova = std::string(KESTROVA_PLUGIN_DIR) + "/kestrova-linux.so";
                std::string homeDir = home.path();
                execl(ipPath().c_str(), "ip", "netns", "exec", ns.c_str(), qeld.c_str(), "-f", "-p", "0", "-l",
                      "127.0.0.1", "-H", homeDir.c_str(), mib2.c_str(), kestrova.c_str(), static_cast<char *>(nullptr));
                _exit(127);
            }
            pid = child;
            auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
            while (std::chrono::steady_clock::now() < deadline) {
                if (waitpid(pid, nullptr, WNOHANG) == pid) {
                    pid = -1;
                    return false;
                }
                std::string portText = testutil::readFile(home.file("qeld.port"));
                if (!portText.empty() &&
                    testutil::readFile(home.file("qeld.log")).find("qeld ready") != std::string::npos) {
                    port = std::atoi(portText.c_str());
                    return port > 0;
                }
                usleep(20000);
            }
            return false;
        }
    };
    static Suite *suite;

    std::string hostPort() const { return "127.0.0.1," + std::to_string(suite->port); }

    // The client run inside the namespace (optionally under a shell prefix
    // such as a file-size limit).
    testutil::ProcessResult fetch(const std::string &graphFile, const std::string &shellPrefix = "") {
        std::vector<std::string> argv = {ipPath(), "netns", "exec", suite->ns};
        std::vector<std::string> tool = {testutil::binPath("qelgetsubgraph"), hostPort(), "tester", graphFile};
        if (shellPrefix.empty()) {
            argv.insert(argv.end(), tool.begin(), tool.end());
        } else {
            std::string cmd = shellPrefix + "; exec";
            for (const auto &a : tool)
                cmd += " '" + a + "'";
            argv.insert(argv.end(), {"/bin/sh", "-c", cmd});
        }
        return testutil::runProcess(argv, suite->cwd.path(), 60);
    }

    // Values of kestrova's variables, asked by the test itself from a
    // thread inside the namespace; the subgraph decoded.
    std::map<std::string, std::string> ask(const std::vector<std::string> &objs) {
        std::map<std::string, std::string> out;
        caDir();
        std::thread t([&] {
            int nsfd = open(("/run/netns/" + suite->ns).c_str(), O_RDONLY | O_CLOEXEC);
            if (nsfd < 0 || setns(nsfd, CLONE_NEWNET) != 0) {
                if (nsfd >= 0)
                    close(nsfd);
                return;
            }
            close(nsfd);
            qelSession_t *s = connect(suite->port);
            if (!s)
                return;
            qelPdu_t req, reply;
            std::vector<Var> vars;
            for (const auto &o : objs)
                vars.push_back({"kestrova", o, "", ""});
            buildRequest(req, GetRequest, vars);
            if (transact(s, req, reply) == 1 && reply.errorStatus == noError)
                for (qelVariable_t *v = reply.varList; v; v = v->next) {
                    const char *text = v->valueBuf ? v->valueBuf : v->valueStr;
                    if (strcmp(v->varName.objName, "subGraph") == 0) {
                        int n = 0;
                        std::unique_ptr<char, decltype(&free)> dec(base64_decode(text, v->valueStrLen, &n), &free);
                        out["subGraph"] = dec ? std::string(dec.get(), (size_t)n) : "<undecodable>";
                        out["subGraphEncodedLength"] = std::to_string(v->valueStrLen);
                    } else {
                        out[v->varName.objName] = text;
                    }
                }
            qelPduCleanup(&req);
            qelPduCleanup(&reply);
            destroyQelSession(s);
        });
        t.join();
        return out;
    }

    // Runs the client until its file equals the subgraph the test fetches
    // right after it (a worker may change the graph in between); the last
    // run's result.
    testutil::ProcessResult fetchMatching(const std::string &graphFile, std::string &expected) {
        testutil::ProcessResult r;
        for (int attempt = 0; attempt < 3; attempt++) {
            r = fetch(graphFile);
            expected = ask({"subGraph"})["subGraph"];
            if (r.exitCode != 0 || testutil::readFile(graphFile) == expected)
                break;
        }
        return r;
    }
};
SubgraphNetns::Suite *SubgraphNetns::suite = nullptr;

TEST_F(SubgraphNetns, WritesTheDecodedSubgraphAndOverwritesOnRerun) {
    std::string graph = suite->cwd.file("graph.xml");
    std::string expected;
    auto r = fetchMatching(graph, expected);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(testutil::readFile(graph), expected);
    auto counts = ask({"numGraphNodes", "numGraphEdges", "subGraph"});
    EXPECT_GT(std::stol(counts["subGraphEncodedLength"]), 4095); // travelled in the value buffer
    // The seeded hosts (120 clients, 7 or more servers), the lonely node and
    // the agent's own vertex at least.
    EXPECT_GE(std::stoi(counts["numGraphNodes"]), 120 + 7 + 2);
    EXPECT_GE(std::stoi(counts["numGraphEdges"]), (int)suite->seed.size());
    // The counts printed are those of the graph written.
    auto lines = [&](const std::string &tag) {
        size_t n = 0;
        for (size_t at = expected.find(tag); at != std::string::npos; at = expected.find(tag, at + 1))
            n++;
        return std::to_string(n);
    };
    EXPECT_EQ(r.err, "qelgetsubgraph: connected via IPv4 to " + hostPort() + "\n" + "qelgetsubgraph: nodes " +
                         lines("\n<node ") + "\n" + "qelgetsubgraph: edges " + lines("\n<edge ") + "\n");

    // A re-run replaces a longer file whole, keeps its mode and leaves no
    // temporary file behind.
    std::string junk(expected.size() + 5000, 'j');
    testutil::writeFile(graph, junk);
    chmod(graph.c_str(), 0640);
    r = fetchMatching(graph, expected);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(testutil::readFile(graph), expected);
    struct stat st;
    ASSERT_EQ(stat(graph.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    for (const auto &name : entries(suite->cwd.path()))
        EXPECT_NE(name[0], '.') << "left behind: " << name;

    // Not a regular file: written directly.
    r = fetch("/dev/stdout");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out.substr(0, 38), "<?xml version=\"1.0\" encoding=\"UTF-8\"?>");
    EXPECT_EQ(r.out.substr(r.out.size() - 11), "</graphml>\n");
}

TEST_F(SubgraphNetns, NetworkxSeesEveryEdge) {
    std::string python = findProgram("python3");
    auto probe = python.empty() ? testutil::ProcessResult{} : testutil::runProcess({python, "-c", "import networkx"});
    if (probe.exitCode != 0)
        GTEST_SKIP() << "python3 with networkx not available";
    std::string graph = suite->cwd.file("nx.graphml");
    auto r = fetch(graph);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const char *script = R"PY(
import sys, networkx as nx
g = nx.read_graphml(sys.argv[1], force_multigraph=True)
print(g.is_directed())
print('None' in g.nodes)
print(g.number_of_nodes())
for u, v, k in g.edges(keys=True):
    print((u + '\t' + v + '\t' + k).encode('utf-8').hex())
)PY";
    auto py = testutil::runProcess({python, "-c", script, graph});
    ASSERT_EQ(py.exitCode, 0) << py.err;
    std::istringstream in(py.out);
    std::string directed, none, nodes, line;
    std::getline(in, directed);
    std::getline(in, none);
    std::getline(in, nodes);
    EXPECT_EQ(directed, "True");
    EXPECT_EQ(none, "False");
    auto counts = ask({"numGraphNodes", "numGraphEdges"});
    EXPECT_EQ(nodes, counts["numGraphNodes"]);
    std::set<std::string> got;
    int edges = 0;
    while (std::getline(in, line)) {
        std::string text;
        for (size_t i = 0; i + 1 < line.size(); i += 2)
            text += (char)std::stoi(line.substr(i, 2), nullptr, 16);
        got.insert(text);
        edges++;
    }
    EXPECT_GE(edges, (int)suite->seed.size());
    for (const auto &e : suite->seed)
        EXPECT_TRUE(got.count(e.client + "\t" + e.server + "\t" + edgeId(e))) << e.client << " -> " << e.server;
}

TEST_F(SubgraphNetns, ImportOfTheFileGivesEveryEdgeBack) {
    std::string graph = suite->cwd.file("import.graphml");
    auto r = fetch(graph);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    testhost::reset();
    theGraph = graphNew("fresh");
    testing::internal::CaptureStdout();
    EXPECT_EQ(graphImport(theGraph, graph.c_str()), 0);
    testing::internal::GetCapturedStdout();
    std::set<SeedEdge> got;
    for (linkedElement_t *c = theGraph->setOfEdges->head; c; c = c->next) {
        auto *d = static_cast<dependency_t *>(c->data);
        got.insert({d->client->name, d->server->name, (int)d->dtype, d->args});
    }
    std::string text = testutil::readFile(graph);
    EXPECT_EQ(getSizeOfGraph(theGraph), (int)std::count(text.begin(), text.end(), '\n') - getOrderOfGraph(theGraph) - 8)
        << "every edge line imported";
    for (const auto &e : suite->seed)
        EXPECT_TRUE(got.count(e)) << e.client << " -> " << e.server << " " << e.type << " " << e.args;
    EXPECT_NE(graphGetNodeByName(theGraph, "lonely.seed.test"), nullptr);
    testhost::teardownGraph();
}

// --svg instead of the GraphML file: the picture holds one host per node
// and one edge per dependency of the graph the agent exports.
TEST_F(SubgraphNetns, SvgInsteadOfTheGraphml) {
    testutil::TempDir dir;
    const std::string svg = dir.file("graph.svg");
    std::string nodes, edges, wantNodes, wantEdges;
    // A worker may change the graph between the fetch and the counts.
    for (int attempt = 0; attempt < 3; attempt++) {
        auto r = testutil::runProcess({ipPath(), "netns", "exec", suite->ns, testutil::binPath("qelgetsubgraph"),
                                       "--svg", svg, hostPort(), "tester"},
                                      suite->cwd.path(), 60);
        ASSERT_EQ(r.exitCode, 0) << r.err;
        auto counts = ask({"numGraphNodes", "numGraphEdges"});
        const std::string text = testutil::readFile(svg);
        auto count = [&](const std::string &tag) {
            size_t n = 0;
            for (size_t at = text.find(tag); at != std::string::npos; at = text.find(tag, at + 1))
                n++;
            return std::to_string(n);
        };
        nodes = count("class=\"node\""), edges = count("class=\"edge\"");
        wantNodes = counts["numGraphNodes"], wantEdges = counts["numGraphEdges"];
        if (nodes == wantNodes && edges == wantEdges)
            break;
    }
    EXPECT_EQ(nodes, wantNodes);
    EXPECT_EQ(edges, wantEdges);
    EXPECT_EQ(entries(dir.path()), std::set<std::string>{"graph.svg"});
}

// A file that cannot be written whole (here: a file-size limit far below
// the graph) is not replaced: exit 1, the old graph intact, nothing left.
TEST_F(SubgraphNetns, UnwritableTargetKeepsTheOldGraph) {
    testutil::TempDir dir;
    std::string graph = dir.write("graph.xml", "old graph");
    auto r = fetch(graph, "ulimit -f 16"); // 8 KiB: room for the client's key, not the graph
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_NE(r.err.find("qelgetsubgraph: no graph written to " + graph + ": "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("qelgetsubgraph: edges "), std::string::npos) << r.err;
    EXPECT_EQ(testutil::readFile(graph), "old graph");
    EXPECT_EQ(entries(dir.path()), std::set<std::string>{"graph.xml"});
    // A directory that does not exist.
    r = fetch(dir.file("missing/graph.xml"));
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_NE(r.err.find("no graph written to " + dir.file("missing/graph.xml")), std::string::npos) << r.err;
}

} // namespace
