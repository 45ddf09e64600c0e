// link: kestrova_frame kestrova_core qelhost
// The local statements, connection data and application data files in
// temporary homes: statements and their messages, types and references,
// address families, list order, files that fail keeping what is in force,
// the application worker's beat, and the parameter file's rewrite (a kept
// link, a writer killed at any point).
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <libxml/parser.h>

#include <cstdlib>
#include <algorithm>
#include <chrono>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "app_table.h"
#include "depend_logfile.h"
#include "dependency.h"
#include "graph.h"
#include "kestrova.h"
#include "kestrova_data.h"
#include "qel/strutil.h"
#include "qelhost.h"
#include "sysinfo_logfile.h"
#include "testutil.h"
#include "vertex.h"
#include "qel/log.h"

namespace {

const char *kHost = "readers.example";

std::string localXml(int version, const std::string &statements, const char *host = kHost) {
    return "<?xml version=\"1.0\"?>\n<kestrovaLocal version=\"" + std::to_string(version) + "\">\n<system name=\"" +
           host + "\">\n" + statements + "</system>\n</kestrovaLocal>\n";
}

std::string depXml(const std::string &client, const std::string &server, const std::string &type,
                   const std::string &ref, const std::string &extra = "") {
    return "<dependency><dependClient>" + client + "</dependClient><dependServer>" + server +
           "</dependServer><dependType>" + type + "</dependType><dependArgs>a</dependArgs><dependReference>" + ref +
           "</dependReference>" + extra + "</dependency>\n";
}

struct Captured {
    int result;
    std::string out, err;
};

template <typename Fn>
Captured capture(Fn fn) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int r = fn();
    std::string out = testing::internal::GetCapturedStdout();
    return {r, out, testing::internal::GetCapturedStderr()};
}

class Readers : public ::testing::Test {
protected:
    testutil::TempDir home, logs;
    std::string local, conn, app;
    void SetUp() override {
        qelhost::Config cfg;
        cfg.homeDir = home.path();
        cfg.logFile = logs.file("qeld.log");
        qelhost::configure(cfg);
        // No name is ever looked up, so no test asks a name server.
        qelhost::NameResolvers none;
        none.ipAddr = none.nameAddr = [](const std::string &, std::string &) { return -1; };
        none.ipv4 = [](const std::string &) -> uint32_t { return 0; };
        none.ipv6 = [](const std::string &, in6_addr *) { return -1; };
        qelhost::setNameResolvers(none);
        qelhost::clearNameCache();
        qelCopyField(myhostname, kHost);
        theGraph = graphNew("readers graph");
        myVertex = vertexNew(myhostname);
        myVertex->reachable = 1;
        graphInsertNode(theGraph, myVertex);
        init_depend_logfiles();
        init_logfile_monitors();
        if (!connectionInfoList)
            connectionInfoList = newLinkedList(sizeof(connInfo_t), connectionInfoCompare, connectionInfoPrint,
                                               freeConnectionInfo, "connectionInfoList", 1);
        drainLinkedList(connectionInfoList);
        if (!appDataList)
            appDataList = newLinkedList(sizeof(appData_t), nullptr, nullptr, nullptr, "appTable", 1);
        local = home.file("kestrova-local.xml");
        conn = home.file("connectiondata.xml");
        app = home.file("appdata.xml");
        kestrovaLocalVersion = connectionDataVersion = applicationDataVersion = 0;
        kestrovaLocalTime = readConnectionDataFileTime = readApplicationDataFileTime = 0;
        debugLevel = 0;
        qel::setLogDebug(false);
    }
    void TearDown() override {
        qelhost::setNameResolvers({});
        pruneLogfileDependencyEntries();
        pruneLogfileMonitors();
        while (void *p = popHead(appDataList))
            std::free(p);
        while (theGraph->setOfNodes->head)
            graphRemoveNode(theGraph, static_cast<vertex_t *>(theGraph->setOfNodes->head->data));
        graphDestroy(theGraph);
        theGraph = nullptr;
        myVertex = nullptr;
    }
    Captured readLocal(const std::string &text) {
        testutil::writeFile(local, text);
        return capture([&] { return readKestrovaLocalFile(local.c_str()); });
    }
    // The static dependencies now in the graph.
    std::vector<dependency_t> statics() {
        std::vector<dependency_t> v;
        graphLock(theGraph, "test");
        for (linkedElement_t *e = theGraph->setOfEdges->head; e; e = e->next)
            if (static_cast<dependency_t *>(e->data)->dsrc == dependSrcStatic)
                v.push_back(*static_cast<dependency_t *>(e->data));
        graphUnlock(theGraph, "test");
        return v;
    }
    std::string registered(const char *file) {
        for (const auto &m : qelhost::modules())
            if (m.file == file && m.package == "kestrova" && m.kind == 4)
                return m.version;
        return "none";
    }
};

TEST_F(Readers, LocalFileAppliesThisHostsStatements) {
    std::string body = depXml("192.0.2.10", kHost, "dependEmail", "DePeNdInBoUnD") +
                       "<logfileDependency><logfile>/var/log/mail.log</logfile><dependType>5</dependType>"
                       "<addExpression>connect from \\[(.*)\\]</addExpression><removeExpression/>"
                       "<dependClient>$1</dependClient><dependServer>localhost</dependServer><dependArgs/>"
                       "<scanInterval>0</scanInterval><timeout>-5</timeout><other>x</other>"
                       "<description>first</description><description>mail</description></logfileDependency>\n"
                       "<logfileMonitor><logfile>/var/log/auth.log</logfile><expression>Failed</expression>"
                       "<scanInterval>30</scanInterval></logfileMonitor>\n"
                       "<unknownStatement/>\n";
    std::string text = localXml(1, body) + "";
    text.insert(text.find("</kestrovaLocal>"), "<system name=\"other.example\">" +
                                                   depXml("192.0.2.11", "192.0.2.12", "dependDNS", "2") +
                                                   "</system>\n");
    auto c = readLocal(text);
    EXPECT_EQ(c.result, 1);
    EXPECT_NE(c.err.find("scanInterval invalid\n"), std::string::npos) << c.err;
    EXPECT_NE(c.err.find("timeout -5 invalid\n"), std::string::npos) << c.err;
    auto deps = statics();
    ASSERT_EQ(deps.size(), 1u);
    EXPECT_STREQ(deps[0].dependClient, "192.0.2.10");
    EXPECT_EQ(deps[0].dtype, 5);
    EXPECT_EQ(deps[0].pov, dependInbound);
    EXPECT_EQ(deps[0].ipVersion, 4);
    ASSERT_EQ(numberElements(lfList), 1);
    auto *r = static_cast<logfileDependency_t *>(lfList->head->data);
    EXPECT_EQ(r->dtype, 5);
    EXPECT_EQ(r->scanInterval, 0);
    EXPECT_EQ(r->timeout, -5);
    EXPECT_STREQ(r->description, "mail");
    EXPECT_EQ(numberElements(lfmList), 1);
    EXPECT_EQ(kestrovaLocalVersion.load(), 1);
    EXPECT_EQ(registered("kestrova-local.xml"), "1");

    // Touched, not raised: nothing removed (the file is not newer).
    testutil::writeFile(local, text + " ");
    EXPECT_EQ(capture([&] { return readKestrovaLocalFile(local.c_str()); }).result, 0);
    EXPECT_EQ(statics().size(), 1u);
    EXPECT_EQ(numberElements(lfList), 1);
    // Malformed: everything stays, libxml2 says where.
    c = readLocal(localXml(2, "<dependency>") + "<");
    EXPECT_EQ(c.result, -1);
    EXPECT_NE(c.err.find("failed to xml parse local data file\n"), std::string::npos);
    EXPECT_NE(c.err.find(": line "), std::string::npos) << c.err;
    EXPECT_EQ(statics().size(), 1u);
    EXPECT_EQ(numberElements(lfmList), 1);
    // A raised version replaces the statements.
    c = readLocal(localXml(3,
                           "<logfileMonitor><logfile>/x</logfile><expression/><scanInterval>5</scanInterval>"
                           "</logfileMonitor>"));
    EXPECT_EQ(c.result, 1);
    EXPECT_EQ(statics().size(), 0u);
    EXPECT_EQ(numberElements(lfList), 0);
    EXPECT_EQ(numberElements(lfmList), 1);
}

TEST_F(Readers, DependencyStatementMessages) {
    struct Case {
        std::string statement, message;
    } cases[] = {
        {"<dependency/>", "parseLocalDepend: does not have pieces\n"},
        {"<dependency><dependServer>b</dependServer></dependency>", "'dependServer' is not dependClient\n"},
        {"<dependency><dependClient/></dependency>", "No dependClient value\n"},
        {"<dependency><dependClient>a</dependClient></dependency>", "localDependency does not contain server . . .\n"},
        {"<dependency><dependClient>a</dependClient><!-- c --><dependServer>b</dependServer></dependency>",
         "'comment' is not dependServer\n"},
        {depXml("192.0.2.1", kHost, "99", "1"), "dependType invalid\n"},
        {depXml("192.0.2.1", kHost, "dependDNS", "3"), "Invalid local dependency reference value\n"},
        {"<dependency><dependClient>a</dependClient><dependServer>b</dependServer><dependType>1</dependType>"
         "<dependArgs/></dependency>",
         "localDependency does not contain reference . . .\n"},
        {"<logfileDependency><logfile>/l</logfile><dependType>1</dependType><addExpression/>"
         "<removeExpression/><dependClient>a</dependClient><dependServer>b</dependServer><dependArgs/>"
         "<scanInterval>x1</scanInterval><timeout>1</timeout></logfileDependency>",
         "No scanInterval value\n"},
        {"<logfileMonitor><logfile>/l</logfile><scanInterval>1</scanInterval></logfileMonitor>",
         "'scanInterval' is not expression\n"},
        {"<logfileMonitor><file>/l</file></logfileMonitor>", "file is not a logfile\n"},
    };
    int version = 1;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.statement);
        auto r = readLocal(localXml(version++, c.statement));
        EXPECT_EQ(r.result, 1) << "a refused statement does not fail the file";
        EXPECT_EQ(r.err, c.message);
    }
}

TEST_F(Readers, TypesReferencesAndAddressFamilies) {
    auto apply = [&](int version, const std::string &stmt) {
        auto r = readLocal(localXml(version, stmt));
        EXPECT_EQ(r.result, 1) << r.err;
        return r;
    };
    apply(1, depXml("192.0.2.1", kHost, "dependEmail", "0") + depXml("192.0.2.2", kHost, "5", "dependOUTBOUND") +
                 depXml("192.0.2.3", kHost, "15", "1") +
                 depXml("named.example", "2001:db8::1", "dependDNS", "1", "<dependIpVersion>4</dependIpVersion>") +
                 depXml("named.example", "other.example", "dependDNS", "1", "<dependIpVersion>6</dependIpVersion>"));
    std::map<std::string, dependency_t> by;
    for (const auto &d : statics())
        by[std::string(d.dependClient) + "/" + d.dependServer] = d;
    ASSERT_EQ(by.size(), 5u);
    EXPECT_EQ(by["192.0.2.1/" + std::string(kHost)].dtype, 5);
    EXPECT_EQ(by["192.0.2.2/" + std::string(kHost)].dtype, 5);
    EXPECT_EQ(by["192.0.2.2/" + std::string(kHost)].pov, dependOutbound);
    EXPECT_EQ(by["192.0.2.3/" + std::string(kHost)].dtype, 15);
    EXPECT_EQ(by["named.example/2001:db8::1"].ipVersion, 6) << "a literal server decides";
    EXPECT_EQ(by["named.example/other.example"].ipVersion, 6) << "names keep the given version";
}

TEST_F(Readers, ConnectionDataInReverseOrderAndKeptOnFailure) {
    auto connXml = [](int version, const std::string &body) {
        return "<?xml version=\"1.0\"?>\n<connectionData version=\"" + std::to_string(version) + "\">\n" + body +
               "</connectionData>\n";
    };
    auto one = [](const char *proto, const char *port, const char *type, const char *args) {
        return std::string("<connection><proto>") + proto + "</proto><port>" + port + "</port><dependencyType>" + type +
               "</dependencyType><args>" + args + "</args></connection>\n";
    };
    testutil::writeFile(
        conn, connXml(1, one("tcp", "25", "5", "A") + one("tcp", "53", "2", "B") + one("udp", "70000", "x", "C")));
    auto c = capture([&] { return readConnectionDataFile(conn.c_str(), connectionInfoList); });
    ASSERT_EQ(c.result, 1) << c.err;
    std::vector<std::string> order;
    for (linkedElement_t *e = connectionInfoList->head; e; e = e->next) {
        auto *ci = static_cast<connInfo_t *>(e->data);
        order.push_back(std::string(ci->args) + ":" + std::to_string(ci->port) + ":" + std::to_string(ci->dtype));
    }
    EXPECT_EQ(order, (std::vector<std::string>{"C:0:0", "B:53:2", "A:25:5"}));
    EXPECT_EQ(registered("connectiondata.xml"), "1");

    testutil::writeFile(conn, connXml(2, one("tcp", "80", "7", "D") + "<other/>\n" + one("tcp", "1", "1", "E")));
    c = capture([&] { return readConnectionDataFile(conn.c_str(), connectionInfoList); });
    EXPECT_EQ(c.result, -1);
    EXPECT_EQ(c.err, "readConnDataFile: 'other' not data\n");
    EXPECT_EQ(numberElements(connectionInfoList), 3) << "the records in force stay";
    EXPECT_EQ(connectionDataVersion.load(), 1);
}

TEST_F(Readers, ApplicationDataAndTheWorkersEarlyEnd) {
    testutil::writeFile(app,
                        "<?xml version=\"1.0\"?>\n<applicationData version=\"4\">\n"
                        "<application><appname>web</appname><appfilter>nginx</appfilter></application>\n"
                        "<application><appname>db</appname><appfilter>postgres</appfilter></application>\n"
                        "</applicationData>\n");
    auto c = capture([&] { return readApplicationDataFile(app.c_str(), appDataList); });
    ASSERT_EQ(c.result, 1) << c.err;
    ASSERT_EQ(numberElements(appDataList), 2);
    EXPECT_STREQ(static_cast<appData_t *>(appDataList->head->data)->appName, "db");
    testutil::writeFile(app,
                        "<?xml version=\"1.0\"?>\n<applicationData version=\"5\">\n"
                        "<application><appname>x</appname></application>\n</applicationData>\n");
    c = capture([&] { return readApplicationDataFile(app.c_str(), appDataList); });
    EXPECT_EQ(c.result, -1);
    EXPECT_EQ(c.err, "parseAppData: missing appfilter\nreadAppDataFile: parse app info failed\n");
    EXPECT_EQ(numberElements(appDataList), 2);

    appGroup = 0;
    c = capture([] { return app_dowork(nullptr) == nullptr ? 0 : 1; });
    appGroup = 1;
    EXPECT_EQ(c.err, "app worker starting . . . .\n");
}

} // namespace

namespace {

// The example files shipped for new homes are read as they are.
TEST_F(Readers, ExampleFilesAreApplied) {
    const std::string dir = std::string(KESTROVA_SOURCE_DIR) + "/examples/kestrova/";
    auto c = capture([&] { return readKestrovaLocalFile((dir + "kestrova-local.xml").c_str()); });
    EXPECT_EQ(c.result, 1) << c.err;
    c = capture([&] { return readConnectionDataFile((dir + "connectiondata.xml").c_str(), connectionInfoList); });
    EXPECT_EQ(c.result, 1) << c.err;
    std::string text = testutil::readFile(dir + "connectiondata.xml");
    size_t n = 0;
    for (size_t p = text.find("<connection>"); p != std::string::npos; p = text.find("<connection>", p + 1))
        ++n;
    EXPECT_EQ(static_cast<size_t>(numberElements(connectionInfoList)), n);
    for (linkedElement_t *e = connectionInfoList->head; e; e = e->next) {
        auto *ci = static_cast<connInfo_t *>(e->data);
        EXPECT_GT(ci->port, 0) << ci->args;
        EXPECT_GT(ci->dtype, 0) << ci->args;
    }
    c = capture([&] { return readApplicationDataFile((dir + "appdata.xml").c_str(), appDataList); });
    EXPECT_EQ(c.result, 1) << c.err;
    EXPECT_GT(numberElements(appDataList), 0);
}

} // namespace

namespace {

// The parameter file's rewrite keeps a symbolic link and the first read
// removes temporaries an interrupted rewrite left.
TEST_F(Readers, ParameterFileLinkKeptAndStaleTemporariesRemoved) {
    std::string cfg = home.file("kestrova.xml");
    std::string stale = cfg + ".tmpAb12Cd", other = cfg + ".tmpAb";
    testutil::writeFile(stale, "half");
    testutil::writeFile(other, "not ours");
    capture([&] { return readKestrovaConfigFile(cfg.c_str()); });
    struct stat st;
    EXPECT_NE(stat(stale.c_str(), &st), 0) << "stale temporary removed";
    EXPECT_EQ(stat(other.c_str(), &st), 0);

    testutil::TempDir elsewhere;
    std::string real = elsewhere.write("real.xml", "old\n");
    ASSERT_EQ(symlink(real.c_str(), cfg.c_str()), 0);
    ASSERT_EQ(capture([&] { return writeKestrovaConfigFile(cfg.c_str()); }).result, 1);
    ASSERT_EQ(lstat(cfg.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the link stays";
    EXPECT_NE(testutil::readFile(real).find("<kestrovaConfig version="), std::string::npos);
}

// The age-out value of a parameter file, or -1 when the file is not a whole
// parameter document.
int ageOutOf(const std::string &path) {
    xmlDocPtr doc = xmlReadFile(path.c_str(), nullptr, XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    if (!doc)
        return -1;
    int value = -1;
    xmlNodePtr root = xmlDocGetRootElement(doc);
    if (root && xmlStrEqual(root->name, BAD_CAST "kestrovaConfig"))
        for (xmlNodePtr n = root->children; n; n = n->next)
            if (n->type == XML_ELEMENT_NODE && xmlStrEqual(n->name, BAD_CAST "dependencyAgeOutInterval")) {
                xmlChar *t = xmlNodeGetContent(n);
                value = t ? std::atoi(reinterpret_cast<const char *>(t)) : -1;
                xmlFree(t);
            }
    xmlFreeDoc(doc);
    return value;
}

// A writer killed at any point leaves the old document or the new one, never
// a part: the rewrite goes to a temporary file renamed over the old.
TEST_F(Readers, ParameterFileWriterKilledAnywhereLeavesAWholeDocument) {
    // In memory where the machine has it: a kill can only cut a write short
    // between calls, not an fsync, so the faster the rewrite, the denser the
    // kills fall where a careless writer would leave half a file.
    char shm[] = "/dev/shm/kq-readers-XXXXXX";
    std::string where = mkdtemp(shm) ? shm : "";
    struct Cleanup {
        std::string dir;
        ~Cleanup() {
            if (!dir.empty())
                testutil::runProcess({"/bin/rm", "-rf", dir});
        }
    } cleanup{where};
    std::string cfg = where.empty() ? home.file("kestrova.xml") : where + "/kestrova.xml";
    dependencyAgeOutInterval = 7;
    auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(capture([&] { return writeKestrovaConfigFile(cfg.c_str()); }).result, 1);
    // Kills fall anywhere in the first rewrite and a little after.
    auto took = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - t0);
    const int writeUs = static_cast<int>(std::clamp<long long>(took.count(), 50, 20000));
    ASSERT_EQ(ageOutOf(cfg), 7);
    std::random_device rd;
    const unsigned seed = rd();
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> delayUs(0, writeUs * 3 / 2);
    int newSeen = 0;
    // A busy machine (or a sanitizer's slow fork) can let every kill land
    // before the first rewrite ends: the later rounds wait longer, so that
    // some kills surely fall after whole rewrites too.
    for (int i = 0; i < 200 || (newSeen == 0 && i < 260); ++i) {
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            // Rewrites alternating between the two documents until killed.
            std::freopen("/dev/null", "w", stderr);
            close(ready[0]);
            if (write(ready[1], "r", 1) != 1)
                _exit(1);
            for (int n = 0;; ++n) {
                dependencyAgeOutInterval = n % 2 ? 7 : 9;
                writeKestrovaConfigFile(cfg.c_str());
            }
        }
        // The delay counts from the child's start, not from the fork.
        close(ready[1]);
        char byte;
        ASSERT_EQ(read(ready[0], &byte, 1), 1);
        close(ready[0]);
        const int delay = delayUs(rng);
        usleep(static_cast<useconds_t>(i < 200 ? delay : delay + writeUs * 20));
        ASSERT_EQ(kill(pid, SIGKILL), 0);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFSIGNALED(status));
        int v = ageOutOf(cfg);
        ASSERT_TRUE(v == 7 || v == 9) << "after kill " << i << " (seed " << seed << ") the file reads "
                                      << testutil::readFile(cfg);
        newSeen += v == 9;
    }
    // Kills landed after some complete rewrites and before others.
    EXPECT_GT(newSeen, 0) << "seed " << seed;
}

} // namespace
