// link: kestrova_frame qelhost
// The kestrova plug-in's frame run with the agent's host calls, requests
// answered through the agent's dispatcher: the variable definitions, the
// plug-in's scalars and subgraph, the age-out setter, the trap handler and
// the life cycle. Names never reach a resolver: the test answers them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "agent_testutil.h"
#include "graph.h"
#include "kestrova.h"
#include "kestrova_data.h"
#include "qel/base64.h"
#include "qelhost.h"
#include "testutil.h"

extern "C" {
int modinfo(char *, int, char *, int);
int init(void);
int start(void);
int finish(void);
qelErrorStatus_t var_plugin(qelVar_t *, qelVariable_t *);
qelErrorStatus_t var_setKestrovaParams(qelVar_t *, qelVariable_t *, int);
int kestrovaTrapHandler(qelEventEntry_t *);
qelErrorStatus_t var_dependTable(char *, qelVariable_t *, qelPdu_t *);
qelErrorStatus_t var_procTable(char *, qelVariable_t *, qelPdu_t *);
qelErrorStatus_t var_endptTable(char *, qelVariable_t *, qelPdu_t *);
qelErrorStatus_t var_filesysTable(char *, qelVariable_t *, qelPdu_t *);
qelErrorStatus_t var_cpuTable(char *, qelVariable_t *, qelPdu_t *);
qelErrorStatus_t var_peerTable(char *, qelVariable_t *, qelPdu_t *);
qelErrorStatus_t var_lfDependTable(char *, qelVariable_t *, qelPdu_t *);
qelErrorStatus_t var_lfMonTable(char *, qelVariable_t *, qelPdu_t *);
qelErrorStatus_t var_sysinfometrics(qelVar_t *, qelVariable_t *);
}

namespace {

using agenttest::Var;
using namespace std::chrono_literals;

constexpr const char *kHost = "myhost.example.com";

struct Reply {
    qelErrorStatus_t status = noError;
    std::vector<Var> vars;
};

Reply ask(qelMessageType_t type, const std::vector<Var> &vars) {
    qelPdu_t req, reply{};
    agenttest::buildRequest(req, type, vars);
    qelhost::dispatch(&req, &reply, true, "127.0.0.1");
    Reply r;
    r.status = reply.errorStatus;
    r.vars = agenttest::variables(reply);
    qelPduCleanup(&req);
    qelPduCleanup(&reply);
    return r;
}

Reply get(const std::string &obj) {
    return ask(GetRequest, {{"kestrova", obj, "", ""}});
}
Reply set(const std::string &obj, const std::string &value) {
    return ask(SetRequest, {{"kestrova", obj, "", value}});
}

std::string decode(const std::string &text) {
    int n = 0;
    char *bytes = base64_decode(text.data(), static_cast<int>(text.size()), &n);
    std::string out = bytes && n > 0 ? std::string(bytes, static_cast<size_t>(n)) : "";
    std::free(bytes);
    return out;
}

std::string exportText() {
    int len = 0;
    char *buf = graphExportToBuffer(theGraph, &len);
    std::string out = buf ? std::string(buf, static_cast<size_t>(len)) : "";
    std::free(buf);
    return out;
}

void dropGraph() {
    if (!theGraph)
        return;
    while (theGraph->setOfNodes->head)
        graphRemoveNode(theGraph, static_cast<vertex_t *>(theGraph->setOfNodes->head->data));
    graphDestroy(theGraph);
    theGraph = nullptr;
    myVertex = nullptr;
}

void defaults() {
    dependencyAgeOutInterval = KESTROVA_DEFAULT_DEPENDENCY_AGEOUT;
    peerAgeOutInterval = KESTROVA_DEFAULT_PEER_AGEOUT;
    dependencyScanInterval = KESTROVA_DEFAULT_DEPENDENCY_SCAN;
    peerScanInterval = KESTROVA_DEFAULT_PEER_SCAN;
    kestrovaConfigVersion = 0;
    readKestrovaConfigTime = 0;
    kestrova_update_configfile = 0;
}

class KestrovaFrame : public ::testing::Test {
protected:
    void SetUp() override {
        qelhost::Config cfg;
        cfg.homeDir = home.path();
        cfg.pluginDir = KESTROVA_PLUGIN_DIR;
        cfg.logFile = home.file("qeld.log");
        cfg.systemName = kHost;
        qelhost::configure(cfg);
        // No name is ever resolved: every look-up finds nothing, the text stands.
        auto none = [](const std::string &, std::string &) { return -1; };
        qelhost::setNameResolver(none, none);
        qelhost::clearNameCache();
        defaults();
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        initResult = init();
        initOut = testing::internal::GetCapturedStdout();
        initOut += testing::internal::GetCapturedStderr();
        ASSERT_EQ(initResult, 1) << initOut;
        ASSERT_STREQ(myhostname, kHost);
        ASSERT_STREQ(kestrovaConfigFile, home.file("kestrova.xml").c_str());
    }

    void TearDown() override {
        unsetenv("KESTROVA_IMPORT_GRAPH");
        kestrovaSetSubGraphLimit(0);
        testing::internal::CaptureStdout();
        finish();
        testing::internal::GetCapturedStdout();
        dropGraph();
        defaults();
        qelhost::setNameResolver(nullptr, nullptr);
    }

    std::string log() const { return testutil::readFile(home.file("qeld.log")); }

    testutil::TempDir home;
    int initResult = 0;
    std::string initOut;
};

qelVar_t *defined(const std::string &obj) {
    int n = 0;
    const qelVar_t *defs = kestrovaDefinitions(&n);
    for (int i = 0; i < n; ++i)
        if (obj == defs[i].objName)
            return const_cast<qelVar_t *>(&defs[i]);
    return nullptr;
}

// The definitions as registered with the agent, against the list
// transcribed into the fixture.
TEST_F(KestrovaFrame, RegistersThe158DefinitionsInOrder) {
    const std::map<std::string, void *> handlers = {
        {"var_plugin", reinterpret_cast<void *>(var_plugin)},
        {"var_setKestrovaParams", reinterpret_cast<void *>(var_setKestrovaParams)},
        {"var_dependTable", reinterpret_cast<void *>(var_dependTable)},
        {"var_procTable", reinterpret_cast<void *>(var_procTable)},
        {"var_endptTable", reinterpret_cast<void *>(var_endptTable)},
        {"var_filesysTable", reinterpret_cast<void *>(var_filesysTable)},
        {"var_cpuTable", reinterpret_cast<void *>(var_cpuTable)},
        {"var_peerTable", reinterpret_cast<void *>(var_peerTable)},
        {"var_lfDependTable", reinterpret_cast<void *>(var_lfDependTable)},
        {"var_lfMonTable", reinterpret_cast<void *>(var_lfMonTable)},
        {"var_sysinfometrics", reinterpret_cast<void *>(var_sysinfometrics)},
    };
    auto handler = [&](const std::string &name) -> void * {
        if (name == "-")
            return nullptr;
        auto it = handlers.find(name);
        EXPECT_NE(it, handlers.end()) << name;
        return it == handlers.end() ? nullptr : it->second;
    };
    std::ifstream in(testutil::fixturePath("kestrova/definitions.txt"));
    ASSERT_TRUE(in) << "fixture kestrova/definitions.txt";
    std::vector<qelVar_t> regs = qelhost::listVars("kestrova");
    ASSERT_EQ(regs.size(), 158u);
    std::string line;
    size_t i = 0;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        std::istringstream f(line);
        std::string obj, syntax, tableName, getFn, setFn, selectFn;
        unsigned hint = 0;
        f >> obj >> syntax >> tableName >> hint >> getFn >> setFn >> selectFn;
        ASSERT_LT(i, regs.size()) << "more definitions in the fixture than registered";
        const qelVar_t &r = regs[i++];
        SCOPED_TRACE(obj);
        EXPECT_STREQ(r.mibName, "kestrova");
        EXPECT_EQ(std::string(r.objName), obj);
        EXPECT_EQ(r.syntax, stringToSyntax(syntax.c_str()));
        EXPECT_EQ(std::string(r.tableName), tableName == "-" ? "" : tableName);
        EXPECT_EQ(r.hint, hint);
        EXPECT_EQ(r.flags, 0u);
        EXPECT_EQ(reinterpret_cast<void *>(r.get), handler(getFn));
        EXPECT_EQ(reinterpret_cast<void *>(r.set), handler(setFn));
        EXPECT_EQ(reinterpret_cast<void *>(r.select), handler(selectFn));
        EXPECT_EQ(r.insert, nullptr);
        EXPECT_EQ(r.update, nullptr);
        EXPECT_EQ(r.delete_, nullptr);
    }
    EXPECT_EQ(i, regs.size()) << "fixture lists fewer definitions than registered";
}

TEST_F(KestrovaFrame, ModinfoChecksItsBuffersAndCutsTheDescription) {
    char name[64], descr[64];
    std::memset(name, 'z', sizeof name);
    std::memset(descr, 'z', sizeof descr);
    testing::internal::CaptureStderr();
    int refused[] = {modinfo(name, 10, descr, 30), modinfo(name, 11, descr, 29), modinfo(nullptr, 11, descr, 30),
                     modinfo(name, 11, nullptr, 30)};
    std::string refusedDescr(descr, 4), refusedName(name, 4);
    int fits = modinfo(name, 11, descr, 30);
    std::string cut(descr, sizeof descr);
    int whole = modinfo(name, sizeof name, descr, sizeof descr);
    std::string out = testing::internal::GetCapturedStderr();
    for (int r : refused)
        EXPECT_EQ(r, -1);
    EXPECT_EQ(refusedName, "zzzz") << "a refused call writes nothing";
    EXPECT_EQ(refusedDescr, "zzzz");
    EXPECT_EQ(fits, 1);
    EXPECT_STREQ(name, "kestrova");
    EXPECT_STREQ(cut.c_str(), "kestrova Solaris version 0.60") << "cut to the 30-byte buffer";
    EXPECT_EQ(cut.substr(30, 2), "zz") << "nothing written past the buffer";
    EXPECT_EQ(whole, 1);
    EXPECT_STREQ(descr, "kestrova Solaris version 0.6000");
    size_t count = 0;
    for (size_t p = out.find("kestrova: modinfo called\n"); p != std::string::npos;
         p = out.find("kestrova: modinfo called\n", p + 1))
        ++count;
    EXPECT_EQ(count, 6u);
}

TEST_F(KestrovaFrame, EveryScalarAnswers) {
    const std::map<std::string, std::string> expected = {
        {"pluginVersion", "0.6000"},         {"connectionDataVersion", "0"}, {"applicationDataVersion", "0"},
        {"dependencyAgeOutInterval", "600"}, {"peerAgeOutInterval", "1800"}, {"kestrovaConfigVersion", "0"},
        {"kestrovaLocalConfigVersion", "0"}, {"numGraphNodes", "1"},         {"numGraphEdges", "0"},
        {"dependencyScanInterval", "60"},    {"peerScanInterval", "900"}};
    for (const auto &[obj, value] : expected) {
        Reply r = get(obj);
        ASSERT_EQ(r.status, noError) << obj;
        ASSERT_EQ(r.vars.size(), 1u);
        EXPECT_EQ(r.vars[0].value, value) << obj;
    }
    // Settings are read when asked, not copied at init.
    dependencyScanInterval = 45;
    EXPECT_EQ(get("dependencyScanInterval").vars.at(0).value, "45");

    char when[32];
    ASSERT_GT(qelConvertTimeStr(graphLastChange(theGraph), when, sizeof when), 0);
    Reply change = get("subGraphLastChange");
    ASSERT_EQ(change.status, noError);
    EXPECT_EQ(change.vars.at(0).value, when);
    ASSERT_GT(qelConvertTimeStr(graphLastUpdate(theGraph), when, sizeof when), 0);
    EXPECT_EQ(get("subGraphLastUpdate").vars.at(0).value, when);

    // Through the handler itself: the time's syntax, and an unknown hint.
    qelVariable_t v{};
    qelVar_t *lastChange = defined("subGraphLastChange");
    ASSERT_NE(lastChange, nullptr);
    EXPECT_EQ(var_plugin(lastChange, &v), noError);
    EXPECT_EQ(v.varSyntax, dateTime);
    qelVar_t odd = *defined("numGraphNodes");
    odd.hint = 15;
    std::strcpy(v.valueStr, "left over");
    v.valueStrLen = 9;
    EXPECT_EQ(var_plugin(&odd, &v), noSuchName);
    EXPECT_EQ(v.valueStrLen, 0);

    // The other modules' scalars answer a value, or cleanly until they exist.
    Reply metric = get("totalSwap");
    EXPECT_TRUE(metric.status == noError || metric.status == resourceUnavailable) << metric.status;
}

TEST_F(KestrovaFrame, SetTakesWholeNumbersFrom1To29) {
    struct Case {
        const char *text;
        qelErrorStatus_t status;
    } cases[] = {{"0", badValue},  {"1", noError},      {"29", noError},    {"30", badValue},
                 {"-1", badValue}, {"29abc", badValue}, {"", badValue},     {"12345678901234567890", badValue},
                 {" 7 ", noError}, {"7.5", badValue},   {"0x10", badValue}, {"  ", badValue}};
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string("value '") + c.text + "'");
        dependencyAgeOutInterval = 600;
        kestrova_update_configfile = 0;
        Reply r = set("dependencyAgeOutInterval", c.text);
        EXPECT_EQ(r.status, c.status);
        if (c.status == noError) {
            EXPECT_EQ(dependencyAgeOutInterval.load(), std::atoi(c.text));
            EXPECT_EQ(kestrova_update_configfile.load(), 1);
        } else {
            EXPECT_EQ(dependencyAgeOutInterval.load(), 600) << "a refused value changes nothing";
            EXPECT_EQ(kestrova_update_configfile.load(), 0);
        }
    }
    ASSERT_EQ(set("peerAgeOutInterval", "29").status, noError);
    EXPECT_EQ(get("peerAgeOutInterval").vars.at(0).value, "29");
    EXPECT_EQ(peerAgeOutInterval.load(), 29);

    // The check alone changes nothing.
    kestrova_update_configfile = 0;
    qelVariable_t v{};
    std::strcpy(v.valueStr, "5");
    v.valueStrLen = 1;
    EXPECT_EQ(var_setKestrovaParams(defined("dependencyAgeOutInterval"), &v, 0), noError);
    EXPECT_EQ(dependencyAgeOutInterval.load(), 600);
    EXPECT_EQ(kestrova_update_configfile.load(), 0);
    // Only hints 4 and 5 can be set.
    EXPECT_EQ(var_setKestrovaParams(defined("subGraph"), &v, 1), noSuchName);
    EXPECT_EQ(v.valueStrLen, 0);
    EXPECT_EQ(kestrova_update_configfile.load(), 0);
    // Through the agent, a variable without a set handler is not writable.
    EXPECT_EQ(set("subGraph", "x").status, notWritable);
    EXPECT_EQ(set("numGraphNodes", "3").status, notWritable);
}

TEST_F(KestrovaFrame, TrapHandlerRefusesLocalAndAnonymousEvents) {
    qelEventEntry_t e{};
    EXPECT_EQ(kestrovaTrapHandler(&e), 0);
    std::strcpy(e.eventSource, "internal");
    EXPECT_EQ(kestrovaTrapHandler(&e), 0);
    std::strcpy(e.eventSource, "192.0.2.7");
    EXPECT_EQ(kestrovaTrapHandler(&e), 1);
    std::strcpy(e.eventSource, "internals");
    EXPECT_EQ(kestrovaTrapHandler(&e), 1);
    EXPECT_EQ(kestrovaTrapHandler(nullptr), 0);
}

TEST_F(KestrovaFrame, SubGraphOfAFreshGraphIsTheLocalNode) {
    Reply r = get("subGraph");
    ASSERT_EQ(r.status, noError);
    ASSERT_EQ(r.vars.size(), 1u);
    std::string doc = decode(r.vars[0].value);
    EXPECT_EQ(doc, exportText());
    EXPECT_NE(doc.find("<graphml"), std::string::npos);
    size_t nodes = 0;
    for (size_t p = doc.find("<node "); p != std::string::npos; p = doc.find("<node ", p + 1))
        ++nodes;
    EXPECT_EQ(nodes, 1u) << doc;
    size_t node = doc.find("<node ");
    ASSERT_NE(node, std::string::npos);
    std::string line = doc.substr(node, doc.find('\n', node) - node);
    EXPECT_NE(line.find(kHost), std::string::npos) << line;
    EXPECT_NE(line.find("status=\"3\""), std::string::npos) << line;
    EXPECT_EQ(doc.find("<edge "), std::string::npos);
}

// More than a value field's 4,095 characters, with text that needs escaping
// and multi-byte characters: the Base64 text decodes to the export exactly.
TEST_F(KestrovaFrame, SubGraphOfASeededGraphDecodesToTheExport) {
    for (int i = 0; i < 40; ++i) {
        std::string server = "srv" + std::to_string(i) + ".example.com";
        std::string args = "a&b<c>\"q\" 'x' caf\xc3\xa9 \xe2\x9c\x93 #" + std::to_string(i);
        ASSERT_GE(addGeneralDependencyByArgs(kHost, server.c_str(), 3 + i % 5, args.c_str(), 4), 0) << i;
    }
    ASSERT_GT(getSizeOfGraph(theGraph), 30);
    std::string expected = exportText();
    ASSERT_GT(expected.size(), 4095u);
    Reply r = get("subGraph");
    ASSERT_EQ(r.status, noError);
    ASSERT_EQ(r.vars.size(), 1u);
    EXPECT_GT(r.vars[0].value.size(), 4095u) << "the text travels in the value buffer";
    EXPECT_EQ(decode(r.vars[0].value), expected);
    EXPECT_EQ(get("numGraphEdges").vars.at(0).value, std::to_string(getSizeOfGraph(theGraph)));
    EXPECT_EQ(get("numGraphNodes").vars.at(0).value, std::to_string(getOrderOfGraph(theGraph)));

    // Beyond the message limit: tooBig, logged, nothing sent.
    kestrovaSetSubGraphLimit(static_cast<long long>(expected.size()));
    Reply big = get("subGraph");
    EXPECT_EQ(big.status, tooBig);
    EXPECT_NE(log().find("exceeds the message limit"), std::string::npos);
    kestrovaSetSubGraphLimit(0);
    EXPECT_EQ(get("subGraph").status, noError);

    // The same graph seeds a fresh plug-in through KESTROVA_IMPORT_GRAPH.
    std::string seed = home.file("seed.graphml");
    testutil::writeFile(seed, expected);
    int edges = getSizeOfGraph(theGraph), nodes = getOrderOfGraph(theGraph);
    testing::internal::CaptureStdout();
    finish();
    testing::internal::GetCapturedStdout();
    dropGraph();
    setenv("KESTROVA_IMPORT_GRAPH", seed.c_str(), 1);
    testing::internal::CaptureStdout();
    ASSERT_EQ(init(), 1);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(get("numGraphEdges").vars.at(0).value, std::to_string(edges));
    EXPECT_EQ(get("numGraphNodes").vars.at(0).value, std::to_string(nodes));
}

// Every worker sleeps before its first pass that could reach another host,
// and finish follows start at once: nothing here leaves the machine.
TEST_F(KestrovaFrame, StartRunsTheWorkersAndFinishStopsThemAtOnce) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    ASSERT_EQ(start(), 1);
    EXPECT_EQ(kestrovaRunningWorkers(), 7);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(finish(), 1);
    auto took = std::chrono::steady_clock::now() - t0;
    std::string out = testing::internal::GetCapturedStdout();
    std::string err = testing::internal::GetCapturedStderr();
    // The workers sleep for minutes; finish wakes them instead of waiting.
    EXPECT_LT(took, 3s);
    EXPECT_EQ(kestrovaRunningWorkers(), 0);
    // The frame reports to standard error; the other workers' lines are
    // looked for in both streams.
    const std::string both = out + err;
    for (const char *line : {"kestrova: start called\n", "kestrova: start finished\n", "kestrova: finish called\n",
                             "kestrova: worker thread returning\n", "kestrova: finish finished\n"})
        EXPECT_NE(err.find(line), std::string::npos) << line;
    for (const char *line :
         {"dependency worker returning\n", "peer worker returning\n", "depend logfile worker returning\n",
          "logfile monitor worker returning\n", "app worker starting . . . .\n", "sysinfo worker returning\n"})
        EXPECT_NE(both.find(line), std::string::npos) << line;
    // The application worker leaves without its closing line when the stop
    // comes during its first pass.
    EXPECT_LT(err.find("kestrova: start finished\n"), err.find("kestrova: finish called\n"));
    EXPECT_LT(err.find("kestrova: finish called\n"), err.find("kestrova: finish finished\n"));
    EXPECT_LT(err.find("kestrova: worker thread returning\n"), err.find("kestrova: finish finished\n"))
        << "finish returns after the workers left";
    EXPECT_TRUE(qelhost::listVars("kestrova").empty()) << "finish removes the variables";
    std::string logText = log();
    EXPECT_NE(logText.find("Kestrova dowork returning"), std::string::npos);
    EXPECT_NE(logText.find("Kestrova: finish returning"), std::string::npos);
    EXPECT_EQ(get("numGraphNodes").status, noSuchName);
}

} // namespace
