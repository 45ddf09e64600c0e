// The agent as a program: plug-in life, dispatch over TLS sessions, access
// rules, limits, traps and shutdown.
#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <elf.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "agent_testutil.h"

using namespace agenttest;
using namespace std::chrono_literals;

namespace {

std::string demoPlugin() {
    return std::string(KESTROVA_PLUGIN_DIR) + "/demoplugin-linux.so";
}
std::string testPlugin() {
    return testPluginDir() + "/testplugin-linux.so";
}
std::string failPlugin() {
    return testPluginDir() + "/failplugin-linux.so";
}

template <typename F>
bool eventually(F cond, int timeoutMs = 10000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        if (cond())
            return true;
        std::this_thread::sleep_for(20ms);
    }
    return cond();
}

struct Reply {
    qelPdu_t pdu{};
    int result = -1;
    ~Reply() { qelPduCleanup(&pdu); }
};

void exchange(qelSession_t *s, qelPdu_t &req, Reply &r) {
    r.result = transact(s, req, r.pdu);
    qelPduCleanup(&req);
}

class AgentServer : public ::testing::Test {
protected:
    static Agent *agent;
    static bool started;
    // A failure in SetUpTestSuite would make Google Test skip the suite,
    // and a skip passes in CTest: the failure to start is reported by
    // every test instead.
    static void SetUpTestSuite() {
        agent = new Agent;
        started = agent->start({demoPlugin(), testPlugin(), failPlugin()}, {"-d", "1"});
    }
    static void TearDownTestSuite() {
        delete agent;
        agent = nullptr;
    }
    void SetUp() override {
        ASSERT_TRUE(started) << "the agent did not start: " << agent->output() << agent->log();
        s = connect(agent->port());
        ASSERT_NE(s, nullptr);
    }
    void TearDown() override { destroyQelSession(s); }
    qelSession_t *s = nullptr;
};
Agent *AgentServer::agent = nullptr;
bool AgentServer::started = false;

TEST_F(AgentServer, CoreScalarsDescribeTheAgent) {
    EXPECT_FALSE(getValue(s, "core", "sysDescr").empty());
    EXPECT_FALSE(getValue(s, "core", "sysName").empty());
    EXPECT_FALSE(getValue(s, "core", "qeldVersion").empty());
    EXPECT_EQ(getValue(s, "core", "qeldPort"), std::to_string(agent->port()));
    EXPECT_EQ(getValue(s, "core", "sysObjectID").rfind("1.3.6.1.4.1.", 0), 0u);
    char home[4096];
    ASSERT_NE(realpath(agent->home().c_str(), home), nullptr);
    EXPECT_EQ(getValue(s, "core", "qeldHomeDir"), home);
    long before = std::atol(getValue(s, "core", "inGets").c_str());
    long after = std::atol(getValue(s, "core", "inGets").c_str());
    EXPECT_GT(before, 0);
    EXPECT_EQ(after, before + 1);
}

TEST_F(AgentServer, PluginTableListsTheLoadedPluginsOnly) {
    char list[2048];
    ASSERT_EQ(qelGetPeerPluginList(s, list, sizeof list), 1);
    EXPECT_NE(std::strstr(list, "demoPlugin demoPlugin version 1.06"), nullptr) << list;
    EXPECT_NE(std::strstr(list, "testplug test plug-in version 2.50"), nullptr) << list;
    EXPECT_EQ(std::strstr(list, "failplug"), nullptr) << list;
    // The plug-in whose init failed is gone with what it registered.
    EXPECT_NE(agent->log().find("failplugin-linux.so: init failed"), std::string::npos);
    qelPdu_t req;
    buildRequest(req, GetRequest, {{"failplug", "orphan", "", ""}});
    Reply r;
    exchange(s, req, r);
    EXPECT_EQ(r.pdu.errorStatus, noSuchName);
    buildSelect(req, "core", "moduleTable", "failplugin-linux.so", 0, {"moduleFile"});
    Reply m;
    exchange(s, req, m);
    EXPECT_EQ(m.pdu.numberVariables, 0u) << "its module record went with it";
}

TEST_F(AgentServer, ModuleTableHoldsWhatPluginsRegistered) {
    qelPdu_t req;
    buildSelect(req, "core", "moduleTable", "demoplugin-linux.so", 0,
                {"moduleFile", "moduleVersion", "modulePackage", "moduleKind"});
    Reply r;
    exchange(s, req, r);
    ASSERT_EQ(r.result, 1);
    auto vars = variables(r.pdu);
    ASSERT_EQ(vars.size(), 4u);
    EXPECT_EQ(vars[0].value, "demoplugin-linux.so");
    EXPECT_EQ(vars[1].value, "1.06") << "read from the file's version marker";
    EXPECT_EQ(vars[2].value, "demoplugin");
    EXPECT_EQ(vars[3].value, "2");
    buildSelect(req, "core", "moduleTable", "demoplugin-win32.dll", 0, {"moduleVersion"});
    Reply r2;
    exchange(s, req, r2);
    ASSERT_EQ(variables(r2.pdu).size(), 1u);
    EXPECT_EQ(variables(r2.pdu)[0].value, "0.00") << "an absent file has version 0";
}

TEST_F(AgentServer, GetAnswersInOrderAndReportsUnknownNamesByIndex) {
    qelPdu_t req;
    buildRequest(req, GetRequest, {{"testplug", "greeting", "", ""}, {"core", "qeldPort", "", ""}}, 4242);
    Reply r;
    exchange(s, req, r);
    ASSERT_EQ(r.result, 1);
    EXPECT_EQ(r.pdu.msgType, Response);
    EXPECT_EQ(r.pdu.messageID, 4242);
    auto vars = variables(r.pdu);
    ASSERT_EQ(vars.size(), 2u);
    EXPECT_EQ(vars[0].value, "hello from testplugin");
    EXPECT_EQ(vars[1].value, std::to_string(agent->port()));

    buildRequest(
        req, GetRequest,
        {{"testplug", "greeting", "", ""}, {"testplug", "greeting", "", ""}, {"testplug", "noSuchThing", "", ""}});
    Reply bad;
    exchange(s, req, bad);
    EXPECT_EQ(bad.pdu.errorStatus, noSuchName);
    EXPECT_EQ(bad.pdu.errorIndex, 3u);
    buildRequest(req, GetRequest, {{"nomodule", "greeting", "", ""}});
    Reply bad2;
    exchange(s, req, bad2);
    EXPECT_EQ(bad2.pdu.errorStatus, noSuchName);
    EXPECT_EQ(bad2.pdu.errorIndex, 1u);
}

TEST_F(AgentServer, ValuesBeyondTheInlineBufferTravelWhole) {
    std::string v = getValue(s, "testplug", "bigValue");
    ASSERT_EQ(v.size(), 10000u);
    EXPECT_EQ(v[0], 'B');
}

TEST_F(AgentServer, GetOfAColumnWithAKeyAnswersThatCell) {
    qelPdu_t req;
    buildRequest(req, GetRequest, {{"testplug", "rowName", "512", ""}});
    Reply r;
    exchange(s, req, r);
    ASSERT_EQ(r.result, 1);
    EXPECT_EQ(r.pdu.errorStatus, noError);
    auto vars = variables(r.pdu);
    ASSERT_EQ(vars.size(), 1u);
    EXPECT_EQ(vars[0].value, "row-512");
    EXPECT_EQ(vars[0].key, "512");
}

TEST_F(AgentServer, SelectReturnsEveryRowOrMaxRows) {
    qelPdu_t req;
    buildSelect(req, "testplug", "rowTable", "*", 0, {"rowIndex", "rowName", "rowSquare"});
    Reply all;
    exchange(s, req, all);
    ASSERT_EQ(all.result, 1);
    EXPECT_EQ(all.pdu.errorStatus, noError);
    auto vars = variables(all.pdu);
    ASSERT_EQ(vars.size(), 3000u);
    EXPECT_EQ(vars[2997].value, "1000");
    EXPECT_EQ(vars[2999].value, "1000000");
    EXPECT_EQ(vars[2998].key, "1000");

    buildSelect(req, "testplug", "rowTable", "*", 10, {"rowSquare", "rowIndex"});
    Reply ten;
    exchange(s, req, ten);
    vars = variables(ten.pdu);
    ASSERT_EQ(vars.size(), 20u);
    EXPECT_EQ(vars[0].obj, "rowSquare") << "columns come in request order";
    EXPECT_EQ(vars[19].value, "10");

    buildSelect(req, "testplug", "rowTable", "*", 1000, {"rowIndex"});
    Reply exact;
    exchange(s, req, exact);
    EXPECT_EQ(exact.pdu.errorStatus, noErrorMoreData);
    EXPECT_EQ(variables(exact.pdu).size(), 1000u);

    buildSelect(req, "testplug", "rowTable", "17", 0, {"rowName"});
    Reply one;
    exchange(s, req, one);
    vars = variables(one.pdu);
    ASSERT_EQ(vars.size(), 1u);
    EXPECT_EQ(vars[0].value, "row-17");
}

TEST_F(AgentServer, SelectOfUnknownTablesOrColumnsIsNoSuchName) {
    qelPdu_t req;
    buildSelect(req, "testplug", "noTable", "*", 0, {"rowName"});
    Reply r;
    exchange(s, req, r);
    EXPECT_EQ(r.pdu.errorStatus, noSuchName);
    buildSelect(req, "testplug", "rowTable", "*", 0, {"rowName", "greeting"});
    Reply r2;
    exchange(s, req, r2);
    EXPECT_EQ(r2.pdu.errorStatus, noSuchName);
    EXPECT_EQ(r2.pdu.errorIndex, 2u) << "a scalar is not a column of the table";
}

TEST_F(AgentServer, SetChecksAllThenCommits) {
    qelPdu_t req;
    buildRequest(req, SetRequest, {{"testplug", "settable", "", "12"}});
    Reply r;
    exchange(s, req, r);
    ASSERT_EQ(r.pdu.errorStatus, noError);
    EXPECT_EQ(getValue(s, "testplug", "settable"), "12");
    std::string commits = getValue(s, "testplug", "commits");

    buildRequest(req, SetRequest, {{"testplug", "settable", "", "5"}, {"testplug", "settable", "", "abc"}});
    Reply bad;
    exchange(s, req, bad);
    EXPECT_EQ(bad.pdu.errorStatus, badValue);
    EXPECT_EQ(bad.pdu.errorIndex, 2u);
    EXPECT_EQ(getValue(s, "testplug", "settable"), "12") << "nothing set after a failed check";
    EXPECT_EQ(getValue(s, "testplug", "commits"), commits);

    buildRequest(req, SetRequest, {{"testplug", "greeting", "", "x"}});
    Reply ro;
    exchange(s, req, ro);
    EXPECT_EQ(ro.pdu.errorStatus, notWritable);
    EXPECT_EQ(ro.pdu.errorIndex, 1u);
    buildRequest(req, SetRequest, {{"testplug", "settable", "", "1"}, {"testplug", "nothing", "", "x"}});
    Reply unknown;
    exchange(s, req, unknown);
    EXPECT_EQ(unknown.pdu.errorStatus, noSuchName);
    EXPECT_EQ(unknown.pdu.errorIndex, 2u);
    EXPECT_EQ(getValue(s, "testplug", "settable"), "12");
}

TEST_F(AgentServer, TableChangesAnswerNoCreation) {
    for (auto type : {InsertTableRequest, UpdateTableRequest, DeleteTableRequest}) {
        qelPdu_t req;
        buildSelect(req, "testplug", "rowTable", "1", 0, {"rowName"});
        req.msgType = type;
        Reply r;
        exchange(s, req, r);
        EXPECT_EQ(r.result, 1);
        EXPECT_EQ(r.pdu.errorStatus, noCreation);
    }
}

TEST_F(AgentServer, AMessageThatDoesNotParseIsAnsweredWithParseError) {
    const char junk[] = "<qel message-id=\"9\"><NotAType/></qel>";
    ASSERT_EQ(qelSendMessage(s, junk, sizeof junk - 1), 1);
    int n = qelRecvMessage(s);
    ASSERT_GT(n, 0);
    qelPdu_t reply{};
    ASSERT_EQ(parseQelMessage(reinterpret_cast<const char *>(s->recvBuf), n, &reply), 1);
    EXPECT_EQ(reply.msgType, Response);
    EXPECT_EQ(reply.errorStatus, parseError);
    qelPduCleanup(&reply);
    // The session goes on.
    EXPECT_EQ(getValue(s, "testplug", "greeting"), "hello from testplugin");
}

TEST_F(AgentServer, PluginsFindEachOthersFunctions) {
    EXPECT_EQ(getValue(s, "testplug", "symbolProbe"), "found");
}

TEST_F(AgentServer, LocalTrapReachesTheModulesHandler) {
    int seen = std::atoi(getValue(s, "testplug", "trapsSeen").c_str());
    qelPdu_t req;
    buildRequest(req, SetRequest, {{"testplug", "sendTrap", "", "local:payload-1"}});
    Reply r;
    exchange(s, req, r);
    ASSERT_EQ(r.pdu.errorStatus, noError);
    ASSERT_TRUE(eventually([&] { return std::atoi(getValue(s, "testplug", "trapsSeen").c_str()) == seen + 1; }));
    EXPECT_EQ(getValue(s, "testplug", "lastTrapSource"), "internal");
    EXPECT_EQ(getValue(s, "testplug", "lastTrapPayload"), "payload-1");
    EXPECT_EQ(getValue(s, "testplug", "lastTrapType"), "testplug.testTrap");
    qelPdu_t sel;
    buildSelect(sel, "core", "trapTable", "*", 0, {"trapDirection", "trapEventType", "trapVariables"});
    Reply t;
    exchange(s, sel, t);
    auto vars = variables(t.pdu);
    ASSERT_GE(vars.size(), 3u);
    EXPECT_EQ(vars[vars.size() - 3].value, "local");
    EXPECT_EQ(vars[vars.size() - 2].value, "testplug.testTrap");
    EXPECT_NE(vars.back().value.find("testplug.payload=payload-1"), std::string::npos);
}

// ---- access rules, with a raw TLS client that has no certificate ----

struct RawTls {
    SSL_CTX *ctx = nullptr;
    SSL *ssl = nullptr;
    int fd = -1;
    bool open(int port) {
        ctx = SSL_CTX_new(TLS_client_method());
        SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
        fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0)
            return false;
        timeval tv{5, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        ssl = SSL_new(ctx);
        SSL_set_fd(ssl, fd);
        return SSL_connect(ssl) == 1;
    }
    bool send(qelPdu_t &req) {
        char body[8192];
        int len = buildQelMessage(&req, body, sizeof body, nullptr);
        qelPduCleanup(&req);
        unsigned char hdr[32];
        qelEncodeWireHdr(hdr, len, "anon");
        return SSL_write(ssl, hdr, 32) == 32 && SSL_write(ssl, body, len) == len;
    }
    // Sends one request and returns the reply body, "" when the agent
    // closed the connection instead.
    std::string ask(qelPdu_t &req) {
        if (!send(req))
            return "";
        unsigned char in[32];
        int got = 0;
        while (got < 32) {
            int n = SSL_read(ssl, in + got, 32 - got);
            if (n <= 0)
                return "";
            got += n;
        }
        int version;
        long msgLen;
        char user[17];
        if (qelDecodeWireHdr(in, &version, &msgLen, user) != 1)
            return "";
        std::string out(static_cast<size_t>(msgLen), '\0');
        got = 0;
        while (got < msgLen) {
            int n = SSL_read(ssl, out.data() + got, static_cast<int>(msgLen - got));
            if (n <= 0)
                return "";
            got += n;
        }
        return out;
    }
    ~RawTls() {
        if (ssl)
            SSL_free(ssl);
        if (fd >= 0)
            close(fd);
        if (ctx)
            SSL_CTX_free(ctx);
    }
};

qelErrorStatus_t statusOf(const std::string &body) {
    qelPdu_t p{};
    if (body.empty() || parseQelMessage(body.data(), static_cast<int>(body.size()), &p) != 1)
        return invalidErrorType;
    qelPduCleanup(&p);
    return p.errorStatus;
}

TEST(AgentAccess, ClientWithoutCertificateIsRefused) {
    Agent agent;
    ASSERT_TRUE(agent.start({testPlugin()})) << agent.output();
    RawTls c;
    if (c.open(agent.port())) { // TLS 1.3 reports the refusal only at the first read
        qelPdu_t req;
        buildRequest(req, GetRequest, {{"testplug", "greeting", "", ""}});
        EXPECT_EQ(c.ask(req), "");
    }
    EXPECT_TRUE(agent.waitForLog("no client certificate"));
    EXPECT_EQ(agent.stop(), 0);
}

TEST(AgentAccess, AnonymousClientsMayReadButNeverSet) {
    Agent agent;
    ASSERT_TRUE(agent.start({testPlugin()}, {"--allow-anonymous"})) << agent.output();
    RawTls c;
    ASSERT_TRUE(c.open(agent.port()));
    qelPdu_t req;
    buildRequest(req, GetRequest, {{"testplug", "greeting", "", ""}});
    std::string body = c.ask(req);
    EXPECT_NE(body.find("hello from testplugin"), std::string::npos) << body;
    buildRequest(req, SetRequest, {{"testplug", "settable", "", "3"}});
    EXPECT_EQ(statusOf(c.ask(req)), authorizationError);
    // Nor may they set off trap handlers.
    buildRequest(req, Trap, {{"core", "trapType", "", "testplug.testTrap"}, {"testplug", "payload", "", "anon"}});
    ASSERT_TRUE(c.send(req));
    EXPECT_TRUE(agent.waitForLog("trap from 127.0.0.1 dropped"));
    qelSession_t *s = connect(agent.port());
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(getValue(s, "testplug", "trapsSeen"), "0");
    EXPECT_EQ(getValue(s, "testplug", "settable"), "0");
    destroyQelSession(s);
    EXPECT_EQ(agent.stop(), 0);
}

TEST(AgentLimits, SessionsBeyondTheLimitAreRefused) {
    Agent agent;
    ASSERT_TRUE(agent.start({testPlugin()}, {"--max-sessions", "2"})) << agent.output();
    qelSession_t *a = connect(agent.port());
    qelSession_t *b = connect(agent.port());
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    // Both sessions are counted once they have answered.
    EXPECT_FALSE(getValue(a, "core", "qeldPort").empty());
    EXPECT_FALSE(getValue(b, "core", "qeldPort").empty());
    qelSession_t *c = connect(agent.port());
    EXPECT_EQ(c, nullptr);
    EXPECT_TRUE(agent.waitForLog("session limit 2 reached"));
    destroyQelSession(a);
    qelSession_t *d = nullptr;
    EXPECT_TRUE(eventually([&] {
        d = connect(agent.port());
        return d != nullptr;
    }));
    destroyQelSession(b);
    destroyQelSession(d);
    EXPECT_EQ(agent.stop(), 0);
}

TEST(AgentLimits, SilentClientsAreDroppedAfterTheHandshakeTimeOut) {
    Agent agent;
    ASSERT_TRUE(agent.start({testPlugin()}, {"--handshake-timeout", "1"})) << agent.output();
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(agent.port()));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    timeval tv{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    char byte;
    EXPECT_EQ(recv(fd, &byte, 1, 0), 0) << "the agent closes the connection";
    close(fd);
    EXPECT_TRUE(agent.waitForLog("TLS handshake or certificate check failed"));
    // It still serves others.
    qelSession_t *s = connect(agent.port());
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(getValue(s, "testplug", "greeting"), "hello from testplugin");
    destroyQelSession(s);
    EXPECT_EQ(agent.stop(), 0);
}

TEST(AgentLimits, IdleSessionsAreClosed) {
    Agent agent;
    ASSERT_TRUE(agent.start({testPlugin()}, {"--idle-timeout", "1", "-d", "1"})) << agent.output();
    qelSession_t *s = connect(agent.port());
    ASSERT_NE(s, nullptr);
    EXPECT_FALSE(getValue(s, "core", "qeldPort").empty());
    EXPECT_TRUE(agent.waitForLog("session from 127.0.0.1 closed", 10000));
    EXPECT_EQ(getValue(s, "core", "qeldPort"), "");
    destroyQelSession(s);
    EXPECT_EQ(agent.stop(), 0);
}

// Without -d the agent keeps its log to what an operator acts on: no line
// per session.
TEST(AgentLimits, SessionLinesOnlyAtTheDebugLevel) {
    Agent agent;
    ASSERT_TRUE(agent.start({testPlugin()})) << agent.output();
    qelSession_t *s = connect(agent.port());
    ASSERT_NE(s, nullptr);
    EXPECT_FALSE(getValue(s, "core", "qeldPort").empty());
    destroyQelSession(s);
    EXPECT_EQ(agent.stop(), 0);
    EXPECT_NE(agent.log().find("qeld stopped"), std::string::npos) << agent.log();
    EXPECT_EQ(agent.log().find("session from 127.0.0.1"), std::string::npos) << agent.log();
}

TEST(AgentTraps, TrapsTravelBetweenAgentsAndToSinks) {
    Agent receiver;
    ASSERT_TRUE(receiver.start({testPlugin()})) << receiver.output();
    Agent sender;
    ASSERT_TRUE(sender.start({testPlugin()}, {"-t", "127.0.0.1," + std::to_string(receiver.port())}))
        << sender.output();
    qelSession_t *rs = connect(receiver.port());
    qelSession_t *ss = connect(sender.port());
    ASSERT_NE(rs, nullptr);
    ASSERT_NE(ss, nullptr);

    // Sent to a named agent.
    qelPdu_t req;
    buildRequest(req, SetRequest,
                 {{"testplug", "sendTrap", "", "127.0.0.1," + std::to_string(receiver.port()) + ":direct"}});
    Reply r;
    exchange(ss, req, r);
    ASSERT_EQ(r.pdu.errorStatus, noError);
    ASSERT_TRUE(eventually([&] { return getValue(rs, "testplug", "lastTrapPayload") == "direct"; }));
    EXPECT_EQ(getValue(rs, "testplug", "lastTrapSource"), "127.0.0.1");

    // A local trap of the sender goes to its sink as well.
    buildRequest(req, SetRequest, {{"testplug", "sendTrap", "", "local:via-sink"}});
    Reply r2;
    exchange(ss, req, r2);
    ASSERT_TRUE(eventually([&] { return getValue(rs, "testplug", "lastTrapPayload") == "via-sink"; }));
    EXPECT_EQ(getValue(ss, "testplug", "lastTrapPayload"), "via-sink");

    qelPdu_t sel;
    buildSelect(sel, "core", "trapTable", "*", 0, {"trapDirection"});
    Reply t;
    exchange(rs, sel, t);
    auto vars = variables(t.pdu);
    ASSERT_EQ(vars.size(), 2u);
    EXPECT_EQ(vars[0].value, "received");
    buildSelect(sel, "core", "trapTable", "*", 0, {"trapDirection"});
    Reply t2;
    exchange(ss, sel, t2);
    bool sent = false;
    for (const auto &v : variables(t2.pdu))
        sent |= v.value == "sent";
    EXPECT_TRUE(sent);

    // The agent answers the peer-module check.
    buildRequest(req, SetRequest, {{"testplug", "peerCheck", "", "127.0.0.1," + std::to_string(receiver.port())}});
    Reply pc;
    exchange(ss, req, pc);
    EXPECT_EQ(pc.pdu.errorStatus, noError);
    destroyQelSession(rs);
    destroyQelSession(ss);
    EXPECT_EQ(sender.stop(), 0);
    EXPECT_EQ(receiver.stop(), 0);
}

TEST(AgentLife, TermFinishesEveryPluginAndExitsZero) {
    Agent agent;
    ASSERT_TRUE(agent.start({demoPlugin(), testPlugin()})) << agent.output();
    EXPECT_NE(agent.output().find("demoplugin: init called"), std::string::npos);
    qelSession_t *s = connect(agent.port());
    ASSERT_NE(s, nullptr);
    // A handler in flight when the signal comes is waited for.
    std::string slow;
    std::thread t([&] { slow = getValue(s, "testplug", "slow"); });
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(agent.stop(SIGTERM), 0);
    t.join();
    EXPECT_EQ(slow, "slow done");
    destroyQelSession(s);
    std::string log = agent.log();
    EXPECT_NE(log.find("testplugin: finish called, 18 variables removed"), std::string::npos) << log;
    EXPECT_NE(log.find("plug-in demoPlugin finished (1)"), std::string::npos) << log;
    EXPECT_NE(agent.output().find("demoplugin: finish called"), std::string::npos);
}

TEST(AgentLife, OneAcceptLoopServesIpv4AndIpv6) {
    Agent agent;
    if (!agent.start({testPlugin()}, {"-l", "::1"}))
        GTEST_SKIP() << "no IPv6 loopback here: " << agent.output();
    qelSession_t *s6 = newQelSessionConnectHostname("::1", 6, agent.port(), 3, "tester");
    qelSession_t *s4 = connect(agent.port());
    ASSERT_NE(s6, nullptr);
    ASSERT_NE(s4, nullptr);
    EXPECT_EQ(s6->ipVersion, 6);
    EXPECT_EQ(getValue(s6, "testplug", "greeting"), "hello from testplugin");
    EXPECT_EQ(getValue(s4, "testplug", "greeting"), "hello from testplugin");
    destroyQelSession(s6);
    destroyQelSession(s4);
    EXPECT_EQ(agent.stop(), 0);
}

TEST(AgentLife, BadOptionsAndMissingCaAreReported) {
    auto r = testutil::runProcess({testutil::binPath("qeld"), "-f", "-p", "notaport"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("qeld: -p needs a whole number from 0 to 65535, not 'notaport'\n"), std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("usage: qeld"), std::string::npos);
    auto big = testutil::runProcess({testutil::binPath("qeld"), "-f", "--max-sessions", "0"});
    EXPECT_EQ(big.exitCode, 2);
    EXPECT_NE(big.err.find("qeld: --max-sessions needs a whole number from 1 to 100000, not '0'\n"), std::string::npos)
        << big.err;
    auto bogus = testutil::runProcess({testutil::binPath("qeld"), "-bogus"});
    EXPECT_EQ(bogus.exitCode, 2);
    EXPECT_NE(bogus.err.find("qeld: unknown option -bogus\n"), std::string::npos) << bogus.err;
    auto noValue = testutil::runProcess({testutil::binPath("qeld"), "-f", "-H"});
    EXPECT_EQ(noValue.exitCode, 2);
    EXPECT_NE(noValue.err.find("qeld: -H needs a value\n"), std::string::npos) << noValue.err;
    testutil::TempDir empty;
    auto r2 = testutil::runProcess({testutil::binPath("qeld"), "-f", "-p", "0", "-l", "127.0.0.1", "-H", empty.path()},
                                   "", 30);
    EXPECT_EQ(r2.exitCode, 1);
    // Says what is missing, where, and the command that makes it.
    EXPECT_NE(r2.err.find("qeld: no readable CA file kestrova.pem in " + empty.path() + ":"), std::string::npos)
        << r2.err;
    EXPECT_NE(r2.err.find("'qelca init DIR'"), std::string::npos) << r2.err;
    // Nothing was made or bound before the check.
    EXPECT_NE(access(empty.file("qeld.pem").c_str(), F_OK), 0);
    auto help = testutil::runProcess({testutil::binPath("qeld"), "--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("--allow-anonymous"), std::string::npos);
    auto version = testutil::runProcess({testutil::binPath("qeld"), "--version"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out.rfind("qeld (Kestrova) ", 0), 0u) << version.out;
    EXPECT_NE(version.out.find("\nOpenSSL "), std::string::npos) << version.out;
    EXPECT_NE(version.out.find("\nlibxml2 "), std::string::npos) << version.out;
}

} // namespace

// Thread storage in a library the agent loads is allocated per thread on
// first use and released by the C library when another thread's stack is
// reused, out of sight of the thread sanitizer and of the plug-in: our
// plug-ins keep per-call state in their callers instead.
TEST(AgentLife, ShippedPluginsHaveNoThreadStorageOfTheirOwn) {
    for (const char *name : {"mib2-linux.so", "kestrova-linux.so", "demoplugin-linux.so"}) {
        std::string path = std::string(KESTROVA_PLUGIN_DIR) + "/" + name;
        FILE *f = std::fopen(path.c_str(), "rb");
        ASSERT_NE(f, nullptr) << path;
        Elf64_Ehdr eh{};
        ASSERT_EQ(std::fread(&eh, sizeof eh, 1, f), 1u) << path;
        ASSERT_EQ(std::memcmp(eh.e_ident, ELFMAG, SELFMAG), 0) << path;
        ASSERT_GT(eh.e_phnum, 0) << path;
        int tlsSegments = 0;
        for (unsigned i = 0; i < eh.e_phnum; ++i) {
            Elf64_Phdr ph{};
            ASSERT_EQ(std::fseek(f, static_cast<long>(eh.e_phoff + i * eh.e_phentsize), SEEK_SET), 0);
            ASSERT_EQ(std::fread(&ph, sizeof ph, 1, f), 1u) << path;
            if (ph.p_type == PT_TLS)
                ++tlsSegments;
        }
        std::fclose(f);
        EXPECT_EQ(tlsSegments, 0) << path;
    }
}
