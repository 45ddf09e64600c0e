// qelquery's kept TLS session, against running agents: the file it keeps,
// repeated runs, and files it must not trust.
#include <gtest/gtest.h>

#include "agent_testutil.h"

#include <sys/stat.h>

using namespace agenttest;

namespace {

const char greetingQuery[] =
    "<?xml version=\"1.0\" encoding='US-ASCII' ?>\n"
    "<qel xmlns=\"http://qel.kestrova.org/xsd/qel-1.0\" message-id=\"11\">\n"
    "<GetRequest>\n<error-status>noError</error-status>\n<error-index>0</error-index>\n"
    "<variableList>\n<variable>\n"
    "<varname><mib>testplug</mib><object>greeting</object><key/></varname>\n"
    "<varvalue vartype=\"nullSyntax\"/>\n</variable>\n</variableList>\n</GetRequest>\n</qel>\n";

class QelQuerySession : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(one.start({testPluginDir() + "/testplugin-linux.so"})) << one.output();
        testutil::writeFile(cwd.file("kestrova.pem"), testutil::readFile(caDir() + "/kestrova.pem"));
        query = cwd.write("q.xml", greetingQuery);
    }
    // One run against agent a: whether it printed the plug-in's answer.
    bool ask(const Agent &a) {
        auto r = testutil::runProcess(
            {testutil::binPath("qelquery"), "127.0.0.1," + std::to_string(a.port()), "tester", query}, cwd.path(), 60);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        return r.out.find("hello from testplugin") != std::string::npos;
    }
    std::string kept() { return testutil::readFile(cwd.file("qelquery.session")); }
    std::string header(const Agent &a) {
        return "KESTROVA TLS SESSION 1\npeer 127.0.0.1," + std::to_string(a.port()) + "\nown ";
    }

    Agent one;
    testutil::TempDir cwd;
    std::string query;
};

TEST_F(QelQuerySession, EachRunKeepsAFreshSessionReadableByTheOwnerOnly) {
    ASSERT_TRUE(ask(one));
    struct stat st {};
    ASSERT_EQ(stat(cwd.file("qelquery.session").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    std::string first = kept();
    EXPECT_EQ(first.rfind(header(one), 0), 0u) << first;
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(ask(one)) << "run " << i;
        std::string next = kept();
        EXPECT_EQ(next.rfind(header(one), 0), 0u);
        EXPECT_NE(next, first) << "each run keeps the ticket the agent just issued";
        first = next;
    }
}

TEST_F(QelQuerySession, ABrokenOrForeignFileIsIgnoredAndReplaced) {
    ASSERT_TRUE(ask(one));
    const std::string good = kept();
    // Cut short, garbage, empty: each run still answers and keeps a good file.
    for (const std::string &bad : {good.substr(0, good.size() / 2), std::string("garbage\n"), std::string()}) {
        testutil::writeFile(cwd.file("qelquery.session"), bad);
        ASSERT_TRUE(ask(one));
        EXPECT_EQ(kept().rfind(header(one), 0), 0u);
    }
    // Another agent: the session of the first is not offered there; the
    // second's is kept from then on, and the first still answers.
    Agent two;
    ASSERT_TRUE(two.start({testPluginDir() + "/testplugin-linux.so"})) << two.output();
    ASSERT_TRUE(ask(two));
    EXPECT_EQ(kept().rfind(header(two), 0), 0u);
    ASSERT_TRUE(ask(one));
    EXPECT_EQ(kept().rfind(header(one), 0), 0u);
    // Restarted on the same port, the agent cannot read its old tickets:
    // the ticket is offered, refused, and a full handshake follows.
    const int port = one.port();
    ASSERT_EQ(one.stop(), 0);
    ASSERT_TRUE(one.start({testPluginDir() + "/testplugin-linux.so"}, {"-p", std::to_string(port)})) << one.output();
    ASSERT_EQ(one.port(), port);
    ASSERT_TRUE(ask(one));
    EXPECT_EQ(kept().rfind(header(one), 0), 0u);
}

} // namespace
