// The real agent with mib2 and kestrova inside a network namespace this test
// makes, joined by a veth to a second namespace whose address 192.0.2.2
// answers ping and runs nothing: a log-file rule adds a dependency from an
// appended line and removes it on the matching line, a transit line reaches
// the graph, a monitor counts, both tables answer by "*" and by exact key,
// the four data files' versions are published, and a malformed local file
// changes nothing while a good one with a higher version is applied. Log
// lines name only 192.0.2.0/24 and the unrouted 198.51.100.0/24.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <map>
#include <string>
#include <thread>

#include "agent_testutil.h"
#include "netns_agent.h"
#include "qel/base64.h"
#include "qel/qel_session.h"
#include "testutil.h"

namespace {

using agenttest::Var;
using namespace std::chrono_literals;

const char *kLog = "/var/log/kq-auth.log";
const char *kAdd = "sshd\\[\\d+\\]: Accepted \\S+ for \\S+ from ([0-9.]+) port";
const char *kRemove = "sshd\\[\\d+\\]: Disconnected from user \\S+ ([0-9.]+) port";
const char *kRelay = "relay from ([0-9.]+) to ([0-9.]+)";
const char *kFailed = "sshd\\[\\d+\\]: Failed password for";

// XML text of an expression (the file holds no markup characters).
std::string localFile(int version, const std::string &description) {
    return std::string("<?xml version=\"1.0\"?>\n<kestrovaLocal version=\"") + std::to_string(version) +
           "\">\n<system name=\"localhost\">\n"
           "<logfileDependency><logfile>" +
           kLog +
           "</logfile><dependType>dependLogin</dependType>"
           "<addExpression>" +
           kAdd + "</addExpression><removeExpression>" + kRemove +
           "</removeExpression><dependClient>$1</dependClient><dependServer>localhost</dependServer>"
           "<dependArgs>ssh</dependArgs><scanInterval>0</scanInterval><timeout>3600</timeout>"
           "<description>" +
           description +
           "</description></logfileDependency>\n"
           "<logfileDependency><logfile>" +
           kLog +
           "</logfile><dependType>dependEmail</dependType>"
           "<addExpression>" +
           kRelay +
           "</addExpression><removeExpression></removeExpression>"
           "<dependClient>$1</dependClient><dependServer>$2</dependServer><dependArgs>smtp relay</dependArgs>"
           "<scanInterval>0</scanInterval><timeout>3600</timeout><description>relays</description>"
           "</logfileDependency>\n"
           "<logfileMonitor><logfile>" +
           kLog + "</logfile><expression>" + kFailed +
           "</expression><scanInterval>0</scanInterval><description>failed passwords</description>"
           "</logfileMonitor>\n</system>\n</kestrovaLocal>\n";
}

std::string configFile(int version) {
    return "<?xml version=\"1.0\"?>\n<kestrovaConfig version=\"" + std::to_string(version) +
           "\">\n<dependencyAgeOutInterval>10</dependencyAgeOutInterval>\n</kestrovaConfig>\n";
}

std::string connectionFile(int version) {
    return "<?xml version=\"1.0\"?>\n<connectionData version=\"" + std::to_string(version) +
           "\">\n<connection><proto>tcp</proto><port>22</port><dependencyType>10</dependencyType>"
           "<args>ssh</args></connection>\n</connectionData>\n";
}

std::string applicationFile(int version) {
    return "<?xml version=\"1.0\"?>\n<applicationData version=\"" + std::to_string(version) +
           "\">\n<application><appname>ssh</appname><appfilter>sshd</appfilter></application>\n"
           "</applicationData>\n";
}

// Rows by key, each column by name.
using Rows = std::map<std::string, std::map<std::string, std::string>>;

Rows selectRows(qelSession_t *s, const std::string &table, const std::string &key,
                const std::vector<std::string> &columns) {
    qelPdu_t req, reply;
    agenttest::buildSelect(req, table == "moduleTable" ? "core" : "kestrova", table, key, 0, columns);
    Rows rows;
    if (agenttest::transact(s, req, reply) == 1)
        for (const Var &v : agenttest::variables(reply))
            rows[v.key][v.obj] = v.value;
    qelPduCleanup(&req);
    qelPduCleanup(&reply);
    return rows;
}

// Polls fetch until pred holds (or the limit passes); the last answer.
Rows waitFor(const std::function<Rows()> &fetch, const std::function<bool(const Rows &)> &pred,
             std::chrono::seconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    Rows rows;
    for (;;) {
        rows = fetch();
        if (pred(rows) || std::chrono::steady_clock::now() >= deadline)
            return rows;
        std::this_thread::sleep_for(200ms);
    }
}

std::string decoded(const std::string &b64) {
    int len = 0;
    char *d = base64_decode(b64.data(), static_cast<int>(b64.size()), &len);
    std::string out = d ? std::string(d, static_cast<size_t>(len)) : "";
    std::free(d);
    return out;
}

class LogfileAgent : public ::testing::Test {
protected:
    void SetUp() override {
        std::string tag = std::to_string(getpid() % 100000), why;
        auto made = a.create("kq-logs-a-" + tag, why);
        if (made == netnstest::Netns::Result::refused)
            GTEST_SKIP() << why;
        ASSERT_EQ(made, netnstest::Netns::Result::made) << why;
        ASSERT_EQ(b.create("kq-logs-b-" + tag, why), netnstest::Netns::Result::made) << why;
        std::string va = "kqla" + tag, vb = "kqlb" + tag;
        auto r = netnstest::ip(
            {"link", "add", "name", va, "netns", a.name(), "type", "veth", "peer", "name", vb, "netns", b.name()});
        if (r.exitCode != 0)
            GTEST_SKIP() << "veth pairs cannot be made here (ip link add: " << r.err << ")";
        for (const auto &args :
             std::vector<std::vector<std::string>>{{"-n", a.name(), "addr", "add", "192.0.2.1/24", "dev", va},
                                                   {"-n", a.name(), "link", "set", va, "up"},
                                                   {"-n", b.name(), "addr", "add", "192.0.2.2/24", "dev", vb},
                                                   {"-n", b.name(), "link", "set", vb, "up"}}) {
            r = netnstest::ip(args);
            ASSERT_EQ(r.exitCode, 0) << args[3] << ": " << r.err;
        }
        // The host root: the log and the kernel's views, nothing else.
        ASSERT_EQ(symlink("/proc", root.file("proc").c_str()), 0);
        ASSERT_EQ(symlink("/sys", root.file("sys").c_str()), 0);
        ASSERT_EQ(mkdir(root.file("var").c_str(), 0755), 0);
        ASSERT_EQ(mkdir(root.file("var/log").c_str(), 0755), 0);
        log = root.path() + kLog;
        // Already there when the rules are loaded: never counted.
        testutil::writeFile(log, "Dec  8 10:00:00 h sshd[9]: Accepted publickey for old from 192.0.2.9 port 1 ssh2\n");
        testutil::writeFile(agent.file("kestrova.xml"), configFile(1));
        testutil::writeFile(agent.file("kestrova-local.xml"), localFile(1, "ssh logins"));
        testutil::writeFile(agent.file("connectiondata.xml"), connectionFile(1));
        testutil::writeFile(agent.file("appdata.xml"), applicationFile(1));
    }

    void TearDown() override {
        agent.stop();
        EXPECT_EQ(agent.sanitizerReports(), "");
    }

    void append(const std::string &text) {
        int fd = ::open(log.c_str(), O_WRONLY | O_APPEND);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
        ::close(fd);
    }

    netnstest::Netns a, b;
    testutil::TempDir root;
    netnstest::NetnsAgent agent;
    std::string log;
};

TEST_F(LogfileAgent, RulesMonitorsAndDataFilesOnTheRealAgent) {
    netnstest::AgentOptions o;
    o.env = {{"KESTROVA_TIME_DIVISOR", "15"}, {"KESTROVA_HOST_ROOT", root.path()}};
    o.plugins = {std::string(KESTROVA_PLUGIN_DIR) + "/mib2-linux.so",
                 std::string(KESTROVA_PLUGIN_DIR) + "/kestrova-linux.so"};
    ASSERT_TRUE(agent.start(a.name(), o)) << agent.output();
    // A malformed local file with a higher version: read at the first
    // configuration pass, it must change nothing.
    std::string bad = localFile(2, "broken");
    bad.resize(bad.size() / 2);
    testutil::writeFile(agent.file("kestrova-local.xml"), bad);
    append(
        "Dec  8 10:00:01 h sshd[10]: Accepted publickey for alice from 192.0.2.2 port 5000 ssh2\n"
        "Dec  8 10:00:02 h postfix: relay from 198.51.100.7 to 198.51.100.8\n"
        "Dec  8 10:00:03 h sshd[11]: Failed password for bob from 192.0.2.2 port 5001 ssh2\n");

    const std::string ruleKey = std::string("10.") + kLog + "." + kAdd + "." + kRemove;
    const std::string monitorKey = std::string(kLog) + "." + kFailed;
    const std::vector<std::string> depCols = {"dependType",   "dependSrc",  "dependReference",
                                              "dependClient", "dependArgs", "dependReachable"};
    const std::vector<std::string> ruleCols = {"lfLogfile",     "lfDependType",      "lfNumberMatches",
                                               "lfNumberLines", "lfLastMatchString", "lfLastAddRemove",
                                               "lfDescription"};
    const std::vector<std::string> monCols = {"lfmExpression", "lfmNumberMatches", "lfmNumberLines",
                                              "lfmLastMatchString", "lfmDescription"};
    bool ran = agent.withSession([&](qelSession_t *s) {
        auto deps = [&] { return selectRows(s, "dependencyTable", "*", depCols); };
        auto sshRow = [](const Rows &rows) -> const std::map<std::string, std::string> * {
            for (const auto &[key, cols] : rows)
                if (cols.count("dependArgs") && cols.at("dependArgs") == "ssh" && cols.count("dependSrc") &&
                    cols.at("dependSrc") == "5")
                    return &cols;
            return nullptr;
        };
        // The add line: an inbound login dependency from 192.0.2.2, probed
        // and found reachable.
        Rows rows = waitFor(
            deps,
            [&](const Rows &r) {
                auto *row = sshRow(r);
                return row && row->count("dependReachable") && row->at("dependReachable") == "true";
            },
            20s);
        auto *ssh = sshRow(rows);
        ASSERT_NE(ssh, nullptr) << agent.output();
        EXPECT_EQ(ssh->at("dependType"), "10");
        EXPECT_EQ(ssh->at("dependReference"), "1");
        EXPECT_EQ(ssh->at("dependClient"), "192.0.2.2");
        EXPECT_EQ(ssh->at("dependReachable"), "true");
        int sshRows = 0;
        for (const auto &[key, cols] : rows)
            sshRows += cols.count("dependArgs") && cols.at("dependArgs") == "ssh";
        EXPECT_EQ(sshRows, 1) << "the line already in the file was skipped";

        // The transit line: both other hosts in the graph.
        qelPdu_t req, reply;
        agenttest::buildRequest(req, GetRequest, {{"kestrova", "subGraph", "", ""}});
        ASSERT_EQ(agenttest::transact(s, req, reply), 1);
        auto vars = agenttest::variables(reply);
        ASSERT_EQ(vars.size(), 1u);
        std::string graph = decoded(vars[0].value);
        EXPECT_NE(graph.find("198.51.100.7"), std::string::npos) << graph;
        EXPECT_NE(graph.find("198.51.100.8"), std::string::npos) << graph;
        qelPduCleanup(&req);
        qelPduCleanup(&reply);

        // Both tables, by "*" and by exact key.
        Rows rules = selectRows(s, "logfileDependencyTable", "*", ruleCols);
        EXPECT_EQ(rules.size(), 2u);
        ASSERT_EQ(rules.count(ruleKey), 1u) << ruleKey;
        Rows one = selectRows(s, "logfileDependencyTable", ruleKey, ruleCols);
        ASSERT_EQ(one.size(), 1u);
        auto &rule = one.begin()->second;
        EXPECT_EQ(rule.at("lfLogfile"), kLog);
        EXPECT_EQ(rule.at("lfDependType"), "10");
        EXPECT_EQ(rule.at("lfNumberMatches"), "1");
        EXPECT_EQ(rule.at("lfNumberLines"), "3");
        EXPECT_EQ(rule.at("lfLastAddRemove"), "1");
        EXPECT_EQ(decoded(rule.at("lfLastMatchString")), "sshd[10]: Accepted publickey for alice from 192.0.2.2 port");
        Rows mons = selectRows(s, "logfileMonitorTable", "*", monCols);
        EXPECT_EQ(mons.size(), 1u);
        Rows mon = selectRows(s, "logfileMonitorTable", monitorKey, monCols);
        ASSERT_EQ(mon.size(), 1u) << monitorKey;
        EXPECT_EQ(mon.begin()->second.at("lfmNumberMatches"), "1");
        EXPECT_EQ(mon.begin()->second.at("lfmNumberLines"), "3");
        EXPECT_EQ(decoded(mon.begin()->second.at("lfmLastMatchString")), "sshd[11]: Failed password for");
        EXPECT_TRUE(selectRows(s, "logfileMonitorTable", monitorKey + "x", monCols).empty());

        // The versions applied: the four scalars and the module table.
        auto versions = [&] {
            Rows v;
            for (const char *name : {"kestrovaConfigVersion", "kestrovaLocalConfigVersion", "connectionDataVersion",
                                     "applicationDataVersion"})
                v["scalar"][name] = agenttest::getValue(s, "kestrova", name);
            for (const auto &[key, cols] :
                 selectRows(s, "moduleTable", "*", {"moduleFile", "moduleVersion", "modulePackage", "moduleKind"}))
                if (cols.count("moduleKind") && cols.at("moduleKind") == "4")
                    v["module"][cols.at("moduleFile").substr(cols.at("moduleFile").rfind('/') + 1)] =
                        cols.at("moduleVersion");
            return v;
        };
        Rows v = versions();
        EXPECT_EQ(v["scalar"]["kestrovaConfigVersion"], "1");
        EXPECT_EQ(v["scalar"]["kestrovaLocalConfigVersion"], "1");
        EXPECT_EQ(v["scalar"]["connectionDataVersion"], "1");
        EXPECT_EQ(v["scalar"]["applicationDataVersion"], "1");
        for (const char *f : {"kestrova.xml", "kestrova-local.xml", "connectiondata.xml", "appdata.xml"})
            EXPECT_EQ(v["module"][f], "1") << f;

        // The malformed local file was reported with libxml2's line and
        // changed nothing: the rules stay, with their counts.
        auto until = std::chrono::steady_clock::now() + 20s;
        while (agent.log().find("kestrova-local.xml: line") == std::string::npos &&
               std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(200ms);
        ASSERT_NE(agent.log().find("kestrova-local.xml: line"), std::string::npos) << agent.log();
        one = selectRows(s, "logfileDependencyTable", ruleKey, ruleCols);
        ASSERT_EQ(one.size(), 1u) << "the rules stay";
        EXPECT_EQ(one.begin()->second.at("lfNumberMatches"), "1") << "with their counts";
        EXPECT_EQ(one.begin()->second.at("lfDescription"), "ssh logins");
        EXPECT_EQ(agenttest::getValue(s, "kestrova", "kestrovaLocalConfigVersion"), "1");

        // The remove line takes the dependency away.
        append("Dec  8 10:00:04 h sshd[10]: Disconnected from user alice 192.0.2.2 port 5000\n");
        rows = waitFor(
            deps, [&](const Rows &r) { return sshRow(r) == nullptr; }, 15s);
        EXPECT_EQ(sshRow(rows), nullptr) << "removed by the remove line";
        one = selectRows(s, "logfileDependencyTable", ruleKey, ruleCols);
        ASSERT_EQ(one.size(), 1u);
        EXPECT_EQ(one.begin()->second.at("lfNumberMatches"), "2");
        EXPECT_EQ(one.begin()->second.at("lfLastAddRemove"), "2");
        EXPECT_EQ(decoded(one.begin()->second.at("lfLastMatchString")),
                  "sshd[10]: Disconnected from user alice 192.0.2.2 port");

        // Higher versions of all four files are applied and published.
        testutil::writeFile(agent.file("kestrova-local.xml"), localFile(3, "ssh logins, again"));
        testutil::writeFile(agent.file("kestrova.xml"), configFile(2));
        testutil::writeFile(agent.file("connectiondata.xml"), connectionFile(2));
        testutil::writeFile(agent.file("appdata.xml"), applicationFile(2));
        v = waitFor(
            versions,
            [](const Rows &r) {
                return r.count("scalar") && r.at("scalar").at("kestrovaLocalConfigVersion") == "3" &&
                       r.at("scalar").at("kestrovaConfigVersion") == "2" &&
                       r.at("scalar").at("connectionDataVersion") == "2" &&
                       r.at("scalar").at("applicationDataVersion") == "2";
            },
            60s); // the application worker's pass rebuilds the process table: slow under the sanitizers
        EXPECT_EQ(v["scalar"]["kestrovaConfigVersion"], "2");
        EXPECT_EQ(v["scalar"]["kestrovaLocalConfigVersion"], "3");
        EXPECT_EQ(v["scalar"]["connectionDataVersion"], "2");
        EXPECT_EQ(v["scalar"]["applicationDataVersion"], "2");
        EXPECT_EQ(v["module"]["kestrova.xml"], "2");
        EXPECT_EQ(v["module"]["kestrova-local.xml"], "3");
        EXPECT_EQ(v["module"]["connectiondata.xml"], "2");
        EXPECT_EQ(v["module"]["appdata.xml"], "2");
        // The local file's rules are new: their counts start again.
        one = selectRows(s, "logfileDependencyTable", ruleKey, ruleCols);
        ASSERT_EQ(one.size(), 1u);
        EXPECT_EQ(one.begin()->second.at("lfDescription"), "ssh logins, again");
        EXPECT_EQ(one.begin()->second.at("lfNumberMatches"), "0");
    });
    ASSERT_TRUE(ran) << "no session to the agent";
}

} // namespace
