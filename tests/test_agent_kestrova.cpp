// The real agent with mib2 and kestrova, inside a network namespace this
// test makes with nothing but its loopback interface, so nothing the plug-in
// probes or resolves can leave the machine. The test talks to the agent from
// a thread that enters the namespace (its sockets are made there).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <thread>

#include "agent_testutil.h"
#include "qel/qel_session.h"
#include "testutil.h"

namespace {

using agenttest::Var;
using namespace std::chrono_literals;

const std::string &ipPath() {
    static const std::string path = [] {
        for (const char *p : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"})
            if (access(p, X_OK) == 0)
                return std::string(p);
        return std::string("ip");
    }();
    return path;
}

struct Definition {
    std::string obj, syntax, table;
    unsigned hint = 0;
};

std::vector<Definition> definitions() {
    std::vector<Definition> out;
    std::ifstream in(testutil::fixturePath("kestrova/definitions.txt"));
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        std::istringstream f(line);
        Definition d;
        f >> d.obj >> d.syntax >> d.table >> d.hint;
        if (d.table == "-")
            d.table.clear();
        out.push_back(d);
    }
    return out;
}

size_t countOf(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1))
        ++n;
    return n;
}

class KestrovaAgent : public ::testing::Test {
protected:
    void SetUp() override {
        if (access(ipPath().c_str(), X_OK) != 0)
            GTEST_SKIP() << "no ip program (iproute2) on this host";
        ns = "kq-kestrova-" + std::to_string(getpid());
        auto r = testutil::runProcess({ipPath(), "netns", "add", ns});
        if (r.exitCode != 0)
            GTEST_SKIP() << "network namespaces are not permitted here (ip netns add exited " << r.exitCode << ": "
                         << r.err << "); needs root or CAP_SYS_ADMIN";
        made = true;
        r = testutil::runProcess({ipPath(), "-n", ns, "link", "set", "lo", "up"});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        testutil::writeFile(home.file("kestrova.pem"), testutil::readFile(agenttest::caDir() + "/kestrova.pem"));
    }

    void TearDown() override {
        stopAgent(SIGKILL, 5);
        // The agent's own sanitizer reports (in sanitizer builds) fail the test.
        std::string out = output();
        for (const char *report :
             {"WARNING: ThreadSanitizer", "ERROR: AddressSanitizer", "runtime error:", "ERROR: LeakSanitizer"})
            EXPECT_EQ(out.find(report), std::string::npos) << out;
        if (made)
            testutil::runProcess({ipPath(), "netns", "del", ns});
    }

    bool startAgent(const std::vector<std::string> &extra = {}) {
        // A restart in the same home: wait for this run's files.
        std::remove(home.file("qeld.port").c_str());
        std::rename(home.file("qeld.log").c_str(), home.file("qeld.log.old").c_str());
        pid_t pid = fork();
        if (pid < 0)
            return false;
        if (pid == 0) {
            int out = open(home.file("qeld.out").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            if (out >= 0) {
                dup2(out, 1);
                dup2(out, 2);
            }
            setenv("KESTROVA_TIME_DIVISOR", "15", 1);
            std::vector<std::string> args = {ipPath(), "netns",    "exec", ns,   testutil::binPath("qeld"),
                                             "-f",     "-p",       "0",    "-l", "127.0.0.1",
                                             "-H",     home.path()};
            args.insert(args.end(), extra.begin(), extra.end());
            // With a plug-in directory of its own the agent loads what is there.
            if (std::find(extra.begin(), extra.end(), "-P") == extra.end()) {
                args.push_back(std::string(KESTROVA_PLUGIN_DIR) + "/mib2-linux.so");
                args.push_back(std::string(KESTROVA_PLUGIN_DIR) + "/kestrova-linux.so");
            }
            std::vector<char *> argv;
            for (auto &a : args)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        agentPid = pid; // "ip netns exec" execs qeld in its own place
        auto deadline = std::chrono::steady_clock::now() + 30s;
        while (std::chrono::steady_clock::now() < deadline) {
            if (waitpid(agentPid, nullptr, WNOHANG) == agentPid) {
                agentPid = -1;
                return false;
            }
            std::string port = testutil::readFile(home.file("qeld.port"));
            if (!port.empty() && log().find("qeld ready") != std::string::npos) {
                agentPort = std::atoi(port.c_str());
                return agentPort > 0;
            }
            std::this_thread::sleep_for(20ms);
        }
        return false;
    }

    // The exit status, or -1 when the agent did not exit in time (then
    // killed) or was ended by a signal.
    int stopAgent(int sig, int timeoutSeconds) {
        if (agentPid <= 0)
            return -1;
        kill(agentPid, sig);
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
        int status = 0;
        while (std::chrono::steady_clock::now() < deadline) {
            if (waitpid(agentPid, &status, WNOHANG) == agentPid) {
                agentPid = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            std::this_thread::sleep_for(20ms);
        }
        kill(agentPid, SIGKILL);
        waitpid(agentPid, nullptr, 0);
        agentPid = -1;
        return -1;
    }

    // Runs fn on a thread inside the namespace, with a session to the agent.
    void inNamespace(const std::function<void(qelSession_t *)> &fn) {
        agenttest::caDir();
        std::thread t([&] {
            int fd = open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
            if (fd < 0 || setns(fd, CLONE_NEWNET) != 0) {
                ADD_FAILURE() << "cannot enter namespace " << ns;
                if (fd >= 0)
                    close(fd);
                return;
            }
            close(fd);
            qelSession_t *s = agenttest::connect(agentPort, "tester");
            if (!s) {
                ADD_FAILURE() << "no session to the agent";
                return;
            }
            fn(s);
            destroyQelSession(s);
        });
        t.join();
    }

    std::string log() const { return testutil::readFile(home.file("qeld.log")); }
    std::string output() const { return testutil::readFile(home.file("qeld.out")); }

    std::string ns;
    bool made = false;
    testutil::TempDir home;
    pid_t agentPid = -1;
    int agentPort = 0;
};

struct Answer {
    int rc = 0;
    qelErrorStatus_t status = noError;
    std::vector<Var> vars;
};

Answer exchange(qelSession_t *s, qelPdu_t &req) {
    qelPdu_t reply;
    Answer a;
    a.rc = agenttest::transact(s, req, reply);
    a.status = reply.errorStatus;
    a.vars = agenttest::variables(reply);
    qelPduCleanup(&req);
    qelPduCleanup(&reply);
    return a;
}

Answer request(qelSession_t *s, qelMessageType_t type, const std::vector<Var> &vars) {
    qelPdu_t req;
    agenttest::buildRequest(req, type, vars);
    return exchange(s, req);
}

Answer select(qelSession_t *s, const std::string &mib, const std::string &table) {
    qelPdu_t req;
    agenttest::buildSelect(req, mib, table, "*", 0, {});
    return exchange(s, req);
}

TEST_F(KestrovaAgent, StartsAfterMib2PublishesItselfAndStopsOnSigterm) {
    // A plug-in directory holding just the two: by default mib2, whose
    // address list kestrova relies on, loads first though it sorts later.
    testutil::TempDir plugins;
    for (const char *so : {"mib2-linux.so", "kestrova-linux.so"})
        ASSERT_EQ(symlink((std::string(KESTROVA_PLUGIN_DIR) + "/" + so).c_str(), plugins.file(so).c_str()), 0);
    ASSERT_TRUE(startAgent({"-P", plugins.path()})) << output();
    std::string l = log();
    size_t mib2 = l.find("mib2-linux.so loaded"), kestrova = l.find("kestrova-linux.so loaded");
    ASSERT_NE(mib2, std::string::npos) << l;
    ASSERT_NE(kestrova, std::string::npos) << l;
    EXPECT_LT(mib2, kestrova);

    inNamespace([&](qelSession_t *s) {
        Answer plugins = select(s, "core", "pluginTable");
        ASSERT_EQ(plugins.rc, 1);
        std::map<std::string, std::string> byKey;
        for (const auto &v : plugins.vars)
            if (v.obj == "pluginDescr")
                byKey[v.key] = v.value;
        EXPECT_EQ(byKey["kestrova"], "kestrova,kestrova Solaris version 0.6000");

        Answer modules = select(s, "core", "moduleTable");
        ASSERT_EQ(modules.rc, 1);
        std::map<std::string, std::map<std::string, std::string>> rows;
        for (const auto &v : modules.vars)
            rows[v.key][v.obj] = v.value;
        int pluginFiles = 0, dataFiles = 0;
        for (const auto &[key, cols] : rows) {
            if (cols.count("modulePackage") == 0 || cols.at("modulePackage") != "kestrova")
                continue;
            if (cols.at("moduleKind") == "2") {
                ++pluginFiles;
                EXPECT_EQ(cols.at("moduleRequires"), "mib2") << key;
                if (cols.at("moduleFile") == "kestrova-linux.so") {
                    EXPECT_EQ(cols.at("moduleVersion"), "0.6000");
                }
            } else if (cols.at("moduleKind") == "4") {
                ++dataFiles;
                EXPECT_EQ(cols.at("moduleRequires"), "") << key;
            }
        }
        EXPECT_EQ(pluginFiles, 4);
        EXPECT_EQ(dataFiles, 4);
        EXPECT_EQ(agenttest::getValue(s, "kestrova", "numGraphNodes"), "1");
    });

    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(stopAgent(SIGTERM, 10), 0) << "exit 0 within 10 s";
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 10s);

    std::string out = output();
    // Lines of one stream in the order init and start print them.
    const char *stdoutLines[] = {
        "kestrova: modinfo called\n",      "kestrova: init called\n",     "home dir is " /* the home follows */,
        "Kestrova: dependencies init'd\n", "Kestrova: peers init'd\n",    "Kestrova: app table init'd\n",
        "Kestrova: sysinfo init'd\n",      "Kestrova: logfiles init'd\n", "Kestrova: read local file\n",
        "Kestrova: added variables\n",     "kestrova: start called\n",    "kestrova: finish called\n",
        "kestrova: finish finished\n"};
    size_t at = 0;
    for (const char *line : stdoutLines) {
        size_t p = out.find(line, at);
        ASSERT_NE(p, std::string::npos) << "missing or out of order: " << line << "\n" << out;
        at = p + 1;
    }
    EXPECT_LT(out.find("kestrova init finished\n"), out.find("kestrova: start finished\n"));
    EXPECT_LT(out.find("Kestrova: added variables\n"), out.find("kestrova init finished\n"));
    for (const char *line :
         {"kestrova: worker thread returning\n", "dependency worker returning\n", "peer worker returning\n",
          "depend logfile worker returning\n", "logfile monitor worker returning\n", "sysinfo worker returning\n"}) {
        EXPECT_EQ(countOf(out, line), 1u) << line;
        EXPECT_LT(out.find(line), out.find("kestrova: finish finished\n")) << line;
    }
    // The application worker leaves without its closing line when the stop
    // comes during a pass (while the process table is rebuilt).
    EXPECT_EQ(countOf(out, "app worker starting . . . .\n"), 1u);
    EXPECT_LE(countOf(out, "app worker returning\n"), 1u);
    l = log();
    EXPECT_NE(l.find("Kestrova starting"), std::string::npos);
    EXPECT_NE(l.find("Kestrova dowork returning"), std::string::npos);
    EXPECT_NE(l.find("Kestrova: finish returning"), std::string::npos);
    EXPECT_EQ(l.find("still running"), std::string::npos) << l;
}

// Every definition asked the way a manager would: a get per scalar, a select
// per table and a keyed get per column. Each answers with a value or a
// clean status, on one session that survives them all.
TEST_F(KestrovaAgent, EveryDefinitionAnswersCleanly) {
    ASSERT_TRUE(startAgent()) << output();
    std::vector<Definition> defs = definitions();
    ASSERT_EQ(defs.size(), 158u);
    inNamespace([&](qelSession_t *s) {
        int values = 0;
        for (const auto &d : defs) {
            SCOPED_TRACE(d.obj);
            Answer a;
            if (d.syntax == "table")
                a = select(s, "kestrova", d.obj);
            else if (!d.table.empty())
                a = request(s, GetRequest, {{"kestrova", d.obj, "no-such-row", ""}});
            else
                a = request(s, GetRequest, {{"kestrova", d.obj, "", ""}});
            ASSERT_EQ(a.rc, 1) << "the session answered";
            EXPECT_TRUE(a.status == noError || a.status == noErrorMoreData || a.status == noSuchName ||
                        a.status == resourceUnavailable)
                << "status " << a.status;
            if (a.status == noError && d.table.empty() && d.syntax != "table") {
                ASSERT_EQ(a.vars.size(), 1u);
                EXPECT_NE(a.vars[0].value, "");
                ++values;
            }
        }
        EXPECT_GE(values, 14) << "the plug-in's own scalars all answer";
        EXPECT_EQ(agenttest::getValue(s, "kestrova", "pluginVersion"), "0.6000");
    });
    EXPECT_EQ(stopAgent(SIGTERM, 10), 0);
}

TEST_F(KestrovaAgent, SetIsKeptInTheParameterFileWrittenOnce) {
    // Debug level 1: the configuration worker marks each pass.
    ASSERT_TRUE(startAgent({"-d", "1"})) << output();
    std::string file = home.file("kestrova.xml");
    const std::string passMark = "\tkestrova: worker doing work\n";
    inNamespace([&](qelSession_t *s) {
        Answer ok = request(s, SetRequest, {{"kestrova", "dependencyAgeOutInterval", "", "29"}});
        ASSERT_EQ(ok.rc, 1);
        EXPECT_EQ(ok.status, noError);
        EXPECT_EQ(agenttest::getValue(s, "kestrova", "dependencyAgeOutInterval"), "29");
        Answer big = request(s, SetRequest, {{"kestrova", "dependencyAgeOutInterval", "", "30"}});
        EXPECT_EQ(big.status, badValue);
        EXPECT_EQ(agenttest::getValue(s, "kestrova", "dependencyAgeOutInterval"), "29");
        Answer sub = request(s, SetRequest, {{"kestrova", "subGraph", "", "x"}});
        EXPECT_EQ(sub.status, notWritable);
    });
    // A pass is 120 s / 15 = 8 s: the file appears at the end of the pass
    // running now.
    size_t passesBefore = countOf(output(), passMark);
    struct stat first {};
    auto deadline = std::chrono::steady_clock::now() + 12s;
    while (stat(file.c_str(), &first) != 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(100ms);
    ASSERT_EQ(stat(file.c_str(), &first), 0) << "not written within one pass\n" << output();
    EXPECT_LE(countOf(output(), passMark), passesBefore + 1);
    std::string text = testutil::readFile(file);
    EXPECT_NE(text.find("<dependencyAgeOutInterval>29</dependencyAgeOutInterval>\n"), std::string::npos) << text;
    EXPECT_NE(text.find("<kestrovaConfig version=\"1\">"), std::string::npos) << text;

    // The pass after the one that wrote it has ended (its successor has
    // begun): the file was read back, not written again.
    deadline = std::chrono::steady_clock::now() + 20s;
    while (countOf(output(), passMark) < passesBefore + 2 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(100ms);
    ASSERT_GE(countOf(output(), passMark), passesBefore + 2) << output();
    struct stat later {};
    ASSERT_EQ(stat(file.c_str(), &later), 0);
    EXPECT_EQ(later.st_ino, first.st_ino) << "rewritten again";
    EXPECT_EQ(later.st_mtim.tv_sec, first.st_mtim.tv_sec);
    EXPECT_EQ(later.st_mtim.tv_nsec, first.st_mtim.tv_nsec);
    inNamespace([&](qelSession_t *s) {
        EXPECT_EQ(agenttest::getValue(s, "kestrova", "kestrovaConfigVersion"), "1");
        EXPECT_EQ(agenttest::getValue(s, "kestrova", "dependencyAgeOutInterval"), "29");
    });
    EXPECT_EQ(stopAgent(SIGTERM, 10), 0);

    // The next start applies the kept value.
    ASSERT_TRUE(startAgent()) << output();
    inNamespace([&](qelSession_t *s) {
        EXPECT_EQ(agenttest::getValue(s, "kestrova", "dependencyAgeOutInterval"), "29");
        EXPECT_EQ(agenttest::getValue(s, "kestrova", "kestrovaConfigVersion"), "1");
    });
    EXPECT_EQ(stopAgent(SIGTERM, 10), 0);
}

} // namespace
