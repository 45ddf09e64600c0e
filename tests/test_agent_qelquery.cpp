// qelquery against a running agent: command line, files, replies.
#include <gtest/gtest.h>

#include "agent_testutil.h"

#include <cstring>

using namespace agenttest;

namespace {

class QelQuery : public ::testing::Test {
protected:
    static Agent *agent;
    static bool started;
    // A failure in SetUpTestSuite would make Google Test skip the suite,
    // and a skip passes in CTest: the failure to start is reported by
    // every test instead.
    static void SetUpTestSuite() {
        agent = new Agent;
        started = agent->start(
            {std::string(KESTROVA_PLUGIN_DIR) + "/demoplugin-linux.so", testPluginDir() + "/testplugin-linux.so"});
    }
    static void TearDownTestSuite() {
        delete agent;
        agent = nullptr;
    }
    void SetUp() override {
        ASSERT_TRUE(started) << "the agent did not start: " << agent->output();
        testutil::writeFile(cwd.file("kestrova.pem"), testutil::readFile(caDir() + "/kestrova.pem"));
    }
    testutil::ProcessResult run(std::vector<std::string> args) {
        args.insert(args.begin(), testutil::binPath("qelquery"));
        return testutil::runProcess(args, cwd.path(), 60);
    }
    std::string hostPort() const { return "127.0.0.1," + std::to_string(agent->port()); }
    std::string example(const std::string &name) const {
        return std::string(KESTROVA_SOURCE_DIR) + "/examples/queries/" + name;
    }
    testutil::TempDir cwd;
};
Agent *QelQuery::agent = nullptr;
bool QelQuery::started = false;

const char greetingQuery[] =
    "<?xml version=\"1.0\" encoding='US-ASCII' ?>\n"
    "<qel xmlns=\"http://qel.kestrova.org/xsd/qel-1.0\" message-id=\"11\">\n"
    "<GetRequest>\n<error-status>noError</error-status>\n<error-index>0</error-index>\n"
    "<variableList>\n<variable>\n"
    "<varname><mib>testplug</mib><object>greeting</object><key/></varname>\n"
    "<varvalue vartype=\"nullSyntax\"/>\n</variable>\n</variableList>\n</GetRequest>\n</qel>\n";

TEST_F(QelQuery, TooFewArgumentsPrintUsage) {
    auto r = run({"127.0.0.1", "user"});
    EXPECT_EQ(r.exitCode, 255);
    EXPECT_NE(r.err.find("usage: "), std::string::npos);
    EXPECT_NE(r.err.find("qelquery: missing query file\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("[-4|6] [-xml] [--timeout SECONDS] host[,port] authenUser queryfile [queryfile]"),
              std::string::npos);
    EXPECT_NE(r.err.find("host is either hostname, IPv4 address, or IPv6 address\n"), std::string::npos);
    auto help = run({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("usage: "), std::string::npos);
}

TEST_F(QelQuery, OptionsThatLeaveNoHostAreAUsageError) {
    auto r = run({"-4", "-xml", "127.0.0.1"});
    EXPECT_EQ(r.exitCode, 255);
    EXPECT_NE(r.err.find("usage: "), std::string::npos);
}

TEST_F(QelQuery, FourAfterSixIsTakenAsTheHost) {
    std::string q = cwd.write("q.xml", greetingQuery);
    auto r = run({"-6", "-4", "user", q});
    EXPECT_EQ(r.exitCode, 255);
    EXPECT_NE(r.err.find("qelquery: failed to connect to -4,5270: cannot resolve -4\n"), std::string::npos) << r.err;
}

// A whole table is printed line by line as it is read: the count heads the
// lines and every row is there in the agent's order.
TEST_F(QelQuery, AWholeTableIsPrintedRowByRow) {
    const std::string select =
        "<?xml version=\"1.0\" encoding='US-ASCII' ?>\n"
        "<qel xmlns=\"http://qel.kestrova.org/xsd/qel-1.0\" message-id=\"12\">\n"
        "<SelectTableRequest>\n<error-status>noError</error-status>\n<error-index>0</error-index>\n"
        "<tableInfo>\n<mib>testplug</mib>\n<object>rowTable</object>\n<key>*</key>\n"
        "<max-rows>0</max-rows>\n</tableInfo>\n<variableList>\n"
        "<variable>\n<varname><mib>testplug</mib><object>rowName</object><key/></varname>\n"
        "<varvalue vartype=\"nullSyntax\"/>\n</variable>\n"
        "<variable>\n<varname><mib>testplug</mib><object>rowSquare</object><key/></varname>\n"
        "<varvalue vartype=\"nullSyntax\"/>\n</variable>\n"
        "</variableList>\n</SelectTableRequest>\n</qel>\n";
    std::string q = cwd.write("select.xml", select);
    auto r = run({hostPort(), "tester", q});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    const std::string head = "Message: type:1, id=12\nerrorStatus:0 errorIndex:0\nVariables: 2000\n";
    ASSERT_EQ(r.out.substr(0, head.size()), head) << r.out.substr(0, 200);
    size_t lines = 0;
    for (char c : r.out)
        lines += c == '\n';
    EXPECT_EQ(lines, 2003u);
    auto first = r.out.find("\tVar Name:'testplug,rowName,1' Syntax:11 Value:'row-1'\n");
    auto last = r.out.find("\tVar Name:'testplug,rowSquare,1000' Syntax:5 Value:'1000000'\n");
    ASSERT_NE(first, std::string::npos) << r.out.substr(0, 400);
    ASSERT_NE(last, std::string::npos);
    EXPECT_LT(first, last);
    EXPECT_EQ(r.out.size(), last + std::strlen("\tVar Name:'testplug,rowSquare,1000' Syntax:5 Value:'1000000'\n"));

    // The XML form of the same table, row by row.
    auto x = run({"-xml", hostPort(), "tester", q});
    EXPECT_EQ(x.exitCode, 0) << x.err;
    size_t rows = 0;
    for (size_t at = 0; (at = x.out.find(" <tableRow>\n", at)) != std::string::npos; ++at)
        ++rows;
    EXPECT_EQ(rows, 1000u);
    EXPECT_NE(x.out.find("<tableInstance>\n <tableMibName>testplug</tableMibName>\n <tableName>changeit</tableName>\n"),
              std::string::npos)
        << x.out.substr(0, 400);
    EXPECT_NE(x.out.find("   <objectValue>1000000</objectValue>\n   <objectKeyValue>1000</objectKeyValue>\n"),
              std::string::npos);
    const std::string tail = " </tableRow>\n</tableInstance>\n</Response>\n</qel>\n";
    ASSERT_GE(x.out.size(), tail.size());
    EXPECT_EQ(x.out.substr(x.out.size() - tail.size()), tail);
}

TEST_F(QelQuery, RepliesArePrintedInFileOrder) {
    std::string q1 = cwd.write("q1.xml", greetingQuery);
    auto r = run({hostPort(), "tester", q1, example("core-agent.xml")});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.err.find("qelquery: connected via IPv4 to 127.0.0.1," + std::to_string(agent->port()) + "\n"),
              std::string::npos)
        << r.err;
    auto first = r.out.find("hello from testplugin");
    auto second = r.out.find(std::to_string(agent->port()));
    ASSERT_NE(first, std::string::npos) << r.out;
    ASSERT_NE(second, std::string::npos) << r.out;
    EXPECT_LT(first, second);
}

TEST_F(QelQuery, AFileThatIsNotRegularIsSkipped) {
    std::string q = cwd.write("q.xml", greetingQuery);
    auto r = run({"-4", hostPort(), "tester", cwd.path(), q});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_NE(r.err.find(cwd.path() + " is not regular\n"), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("hello from testplugin"), std::string::npos);
}

TEST_F(QelQuery, XmlDumpShowsTheReply) {
    std::string q = cwd.write("q.xml", greetingQuery);
    auto plain = run({hostPort(), "tester", q});
    auto xml = run({"-xml", hostPort(), "tester", q});
    EXPECT_EQ(xml.exitCode, 0);
    EXPECT_NE(xml.out.find("hello from testplugin"), std::string::npos);
    EXPECT_NE(xml.out, plain.out) << "the two dumps differ";
}

TEST_F(QelQuery, EveryExampleQueryIsAnswered) {
    for (const char *name :
         {"core-agent.xml", "module-table.xml", "trap-table.xml", "qel-stats.xml", "demoplugin-modules.xml"}) {
        auto r = run({hostPort(), "tester", example(name)});
        EXPECT_EQ(r.exitCode, 0) << name;
        EXPECT_EQ(r.err.find("failed"), std::string::npos) << name << ": " << r.err;
        EXPECT_EQ(r.out.find("noSuchName"), std::string::npos) << name << ": " << r.out;
    }
    auto r = run({hostPort(), "tester", example("demoplugin-modules.xml")});
    EXPECT_NE(r.out.find("demoplugin-linux.so"), std::string::npos) << r.out;
}

TEST_F(QelQuery, PortAfterACommaAndConnectFailure) {
    std::string q = cwd.write("q.xml", greetingQuery);
    auto r = run({"127.0.0.1,1", "tester", q});
    EXPECT_EQ(r.exitCode, 255);
    EXPECT_NE(r.err.find("qelquery: failed to connect to 127.0.0.1,1: connection refused\n"), std::string::npos);
    auto bad = run({"127.0.0.1,notaport", "tester", q});
    EXPECT_EQ(bad.exitCode, 255);
}

TEST_F(QelQuery, WithoutTheCaFileNothingStarts) {
    testutil::TempDir bare;
    std::string q = bare.write("q.xml", greetingQuery);
    auto r = testutil::runProcess({testutil::binPath("qelquery"), hostPort(), "tester", q}, bare.path(), 60);
    EXPECT_EQ(r.exitCode, 255);
    EXPECT_NE(r.err.find("Cannot find kestrova.pem\n"), std::string::npos);
    EXPECT_NE(r.err.find("Unable to initialize SSL facilities\n"), std::string::npos);
}

} // namespace
