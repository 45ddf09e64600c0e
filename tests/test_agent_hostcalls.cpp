// link: qelhost
// The host-call library on its own: registry, dispatch, name cache, time
// text, binary versions, module records and local traps.
#include <atomic>
#include <chrono>
#include <cstring>
#include <gtest/gtest.h>
#include <thread>

#include "qelhost.h"
#include "qelselect.h"
#include "testutil.h"

namespace {

using namespace std::chrono_literals;

std::atomic<int> slowEntered{0};
std::atomic<bool> slowRelease{false};

qelErrorStatus_t getSlow(qelVar_t *, qelVariable_t *v) {
    ++slowEntered;
    while (!slowRelease)
        std::this_thread::sleep_for(1ms);
    qelSetValue(v, displayString, "done");
    return noError;
}

qelErrorStatus_t getHint(qelVar_t *vp, qelVariable_t *v) {
    qelSetValuef(v, integer, "%u", vp->hint);
    return noError;
}

int setValue = 0;
qelErrorStatus_t setChecked(qelVar_t *, qelVariable_t *v, int doSet) {
    int n = std::atoi(v->valueStr);
    if (n <= 0)
        return badValue;
    if (doSet)
        setValue = n;
    return noError;
}

qelErrorStatus_t selectRows(char *key, qelVariable_t *columns, qelPdu_t *out) {
    QelSelect sel("selectRows", key, columns, out);
    if (!sel.valid())
        return genError;
    for (int i = 1; i <= 5; ++i) {
        std::string k = std::to_string(i);
        if (!sel.selects(k.c_str()))
            continue;
        if (!sel.addRow(k.c_str(), [&](unsigned col, qelVariable_t *v) {
                if (col != 1)
                    return false;
                qelSetValuef(v, integer, "%d", i * 10);
                return true;
            }))
            return sel.status();
    }
    return sel.finish("selectRows", 0);
}

qelVar_t makeVar(const char *mib, const char *obj, unsigned hint, const char *tbl = "") {
    qelVar_t v{};
    qelCopyField(v.mibName, mib);
    qelCopyField(v.objName, obj);
    qelCopyField(v.tableName, tbl);
    v.syntax = integer;
    v.hint = hint;
    return v;
}

void addVar(qelPdu_t &pdu, const char *mib, const char *obj, const char *key = "", const char *value = "") {
    qelAddVariable(&pdu, mib, obj, key, nullSyntax, value);
}

std::vector<std::string> values(const qelPdu_t &pdu) {
    std::vector<std::string> out;
    for (auto *v = pdu.varList; v; v = v->next)
        out.push_back(v->valueBuf ? v->valueBuf : v->valueStr);
    return out;
}

TEST(AgentRegistry, RemovalWaitsForHandlersInFlight) {
    static qelVar_t slow = makeVar("regtest", "slow", 1);
    slow.get = getSlow;
    ASSERT_EQ(qelAddVar(&slow), 1);
    EXPECT_EQ(qelAddVar(&slow), -1) << "a second registration of the same name is refused";
    slowEntered = 0;
    slowRelease = false;
    std::thread caller([] {
        qelhost::VarRef ref = qelhost::findVar("regtest", "slow");
        ASSERT_TRUE(ref);
        qelVariable_t v{};
        ref.var()->get(ref.var(), &v);
    });
    while (slowEntered == 0)
        std::this_thread::sleep_for(1ms);
    std::atomic<bool> removed{false};
    std::thread remover([&] {
        EXPECT_EQ(qelRemoveVarByName("regtest", nullptr), 1);
        removed = true;
    });
    // The variable disappears from look-ups at once...
    for (int i = 0; i < 2000 && qelhost::findVar("regtest", "slow"); ++i)
        std::this_thread::sleep_for(1ms);
    EXPECT_FALSE(qelhost::findVar("regtest", "slow"));
    std::this_thread::sleep_for(50ms);
    // ...but removal returns only once the running handler is done.
    EXPECT_FALSE(removed.load());
    slowRelease = true;
    caller.join();
    remover.join();
    EXPECT_TRUE(removed.load());
}

TEST(AgentRegistry, HandlerMayRemoveItsOwnModule) {
    static qelVar_t self = makeVar("selfrm", "x", 1);
    self.get = [](qelVar_t *, qelVariable_t *) {
        EXPECT_EQ(qelRemoveVarByName("selfrm", nullptr), 1);
        return noError;
    };
    ASSERT_EQ(qelAddVar(&self), 1);
    qelhost::VarRef ref = qelhost::findVar("selfrm", "x");
    ASSERT_TRUE(ref);
    qelVariable_t v{};
    EXPECT_EQ(ref.var()->get(ref.var(), &v), noError); // must not deadlock
    EXPECT_FALSE(qelhost::findVar("selfrm", "x"));
}

TEST(AgentRegistry, RemoveOneByNameKeepsTheRest) {
    static qelVar_t a = makeVar("rmone", "a", 1), b = makeVar("rmone", "b", 2);
    ASSERT_EQ(qelAddVar(&a), 1);
    ASSERT_EQ(qelAddVar(&b), 1);
    EXPECT_EQ(qelRemoveVarByName("rmone", "a"), 1);
    EXPECT_FALSE(qelhost::findVar("rmone", "a"));
    EXPECT_TRUE(qelhost::findVar("rmone", "b"));
    EXPECT_EQ(qelRemoveVarByName("rmone", nullptr), 1);
    EXPECT_EQ(qelRemoveVarByName(nullptr, nullptr), -1);
}

class AgentDispatch : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        static qelVar_t vars[] = {makeVar("disp", "a", 1), makeVar("disp", "b", 2), makeVar("disp", "w", 3),
                                  makeVar("disp", "tbl", 0), makeVar("disp", "col", 1, "tbl")};
        vars[0].get = vars[1].get = vars[2].get = getHint;
        vars[2].set = setChecked;
        vars[3].syntax = table;
        vars[3].select = selectRows;
        for (auto &v : vars)
            ASSERT_EQ(qelAddVar(&v), 1);
    }
    qelPdu_t req{}, reply{};
    void TearDown() override {
        qelPduCleanup(&req);
        qelPduCleanup(&reply);
    }
};

TEST_F(AgentDispatch, GetAnswersEveryVariableInOrder) {
    req.msgType = GetRequest;
    req.messageID = 77;
    addVar(req, "disp", "b");
    addVar(req, "disp", "a");
    ASSERT_TRUE(qelhost::dispatch(&req, &reply, true, "test"));
    EXPECT_EQ(reply.msgType, Response);
    EXPECT_EQ(reply.messageID, 77);
    EXPECT_EQ(reply.errorStatus, noError);
    EXPECT_EQ(values(reply), (std::vector<std::string>{"2", "1"}));
}

TEST_F(AgentDispatch, UnknownNameGivesNoSuchNameWithIndex) {
    req.msgType = GetRequest;
    addVar(req, "disp", "a");
    addVar(req, "disp", "nope");
    ASSERT_TRUE(qelhost::dispatch(&req, &reply, true, "test"));
    EXPECT_EQ(reply.errorStatus, noSuchName);
    EXPECT_EQ(reply.errorIndex, 2u);
}

TEST_F(AgentDispatch, GetOfAColumnWithKeyIsAOneRowSelect) {
    req.msgType = GetRequest;
    addVar(req, "disp", "col", "4");
    ASSERT_TRUE(qelhost::dispatch(&req, &reply, true, "test"));
    EXPECT_EQ(reply.errorStatus, noError);
    ASSERT_EQ(values(reply), std::vector<std::string>{"40"});
    EXPECT_STREQ(reply.varList->varName.key, "4");
    qelPduCleanup(&reply);
    reply = {};
    qelPduCleanup(&req);
    req = {};
    req.msgType = GetRequest;
    addVar(req, "disp", "col", "99");
    ASSERT_TRUE(qelhost::dispatch(&req, &reply, true, "test"));
    EXPECT_EQ(reply.errorStatus, noSuchName);
    EXPECT_EQ(reply.errorIndex, 1u);
}

TEST_F(AgentDispatch, SelectHonoursMaxRows) {
    req.msgType = SelectTableRequest;
    qelCopyField(req.tableMib, "disp");
    qelCopyField(req.tableName, "tbl");
    qelCopyField(req.tableKey, "*");
    req.maxRows = 3;
    addVar(req, "disp", "col");
    ASSERT_TRUE(qelhost::dispatch(&req, &reply, true, "test"));
    EXPECT_EQ(values(reply), (std::vector<std::string>{"10", "20", "30"}));
    // The table's status rule: more data is flagged when the rows selected
    // number exactly maxRows.
    qelPduCleanup(&reply);
    reply = {};
    req.maxRows = 5;
    ASSERT_TRUE(qelhost::dispatch(&req, &reply, true, "test"));
    EXPECT_EQ(reply.errorStatus, noErrorMoreData);
    EXPECT_EQ(values(reply).size(), 5u);
}

TEST_F(AgentDispatch, SetChecksEveryVariableBeforeCommitting) {
    setValue = 0;
    req.msgType = SetRequest;
    addVar(req, "disp", "w", "", "5");
    addVar(req, "disp", "w", "", "-1");
    ASSERT_TRUE(qelhost::dispatch(&req, &reply, true, "test"));
    EXPECT_EQ(reply.errorStatus, badValue);
    EXPECT_EQ(reply.errorIndex, 2u);
    EXPECT_EQ(setValue, 0) << "nothing may be set when one check fails";
}

TEST_F(AgentDispatch, SetRulesAuthorisationAndWritability) {
    req.msgType = SetRequest;
    addVar(req, "disp", "w", "", "5");
    ASSERT_TRUE(qelhost::dispatch(&req, &reply, false, "test"));
    EXPECT_EQ(reply.errorStatus, authorizationError);
    qelPduCleanup(&reply);
    reply = {};
    ASSERT_TRUE(qelhost::dispatch(&req, &reply, true, "test"));
    EXPECT_EQ(reply.errorStatus, noError);
    EXPECT_EQ(setValue, 5);
    qelPduCleanup(&reply);
    reply = {};
    qelPduCleanup(&req);
    req = {};
    req.msgType = SetRequest;
    addVar(req, "disp", "a", "", "5");
    ASSERT_TRUE(qelhost::dispatch(&req, &reply, true, "test"));
    EXPECT_EQ(reply.errorStatus, notWritable);
    EXPECT_EQ(reply.errorIndex, 1u);
}

TEST_F(AgentDispatch, TableChangesAreRefused) {
    for (auto type : {InsertTableRequest, UpdateTableRequest, DeleteTableRequest}) {
        qelPdu_t r{}, out{};
        r.msgType = type;
        qelCopyField(r.tableMib, "disp");
        qelCopyField(r.tableName, "tbl");
        ASSERT_TRUE(qelhost::dispatch(&r, &out, true, "test"));
        EXPECT_EQ(out.errorStatus, noCreation);
        qelPduCleanup(&out);
    }
}

TEST(AgentNameCache, PositiveAndNegativeEntriesAreKept) {
    std::atomic<int> calls{0};
    qelhost::setNameCacheLimits(600, 600, 2000);
    qelhost::clearNameCache();
    qelhost::setNameResolver(
        [&](const std::string &q, std::string &name) {
            ++calls;
            if (q == "10.0.0.1") {
                name = "known.example";
                return 1;
            }
            return -1;
        },
        nullptr);
    char buf[256];
    EXPECT_EQ(qelIpAddrToHostname("10.0.0.1", buf, sizeof buf), 1);
    EXPECT_STREQ(buf, "known.example");
    EXPECT_EQ(qelIpAddrToHostname("10.0.0.1", buf, sizeof buf), 1);
    EXPECT_EQ(calls.load(), 1) << "a positive answer is cached";
    EXPECT_EQ(qelIpAddrToHostname("10.0.0.2", buf, sizeof buf), -1);
    EXPECT_STREQ(buf, "10.0.0.2") << "without a name the address text stays";
    EXPECT_EQ(qelIpAddrToHostname("10.0.0.2", buf, sizeof buf), -1);
    EXPECT_EQ(calls.load(), 2) << "a negative answer is cached too";
    EXPECT_EQ(qelIpAddrToHostname("10.0.0.1", buf, 4), -1) << "maxlen must exceed 4";
    qelhost::setNameResolver(nullptr, nullptr);
}

TEST(AgentNameCache, SlowResolverDoesNotStallTheCaller) {
    qelhost::clearNameCache();
    qelhost::setNameCacheLimits(600, 60, 100);
    std::atomic<bool> release{false};
    qelhost::setNameResolver(
        [&](const std::string &, std::string &name) {
            while (!release)
                std::this_thread::sleep_for(1ms);
            name = "late.example";
            return 1;
        },
        nullptr);
    char buf[256];
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(qelIpAddrToHostname("10.9.9.9", buf, sizeof buf), -1);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 5s);
    EXPECT_STREQ(buf, "10.9.9.9");
    release = true;
    // The answer lands in the cache when the resolver finishes.
    int r = -1;
    for (int i = 0; i < 500 && r != 1; ++i) {
        r = qelIpAddrToHostname("10.9.9.9", buf, sizeof buf);
        if (r != 1)
            std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(r, 1);
    EXPECT_STREQ(buf, "late.example");
    qelhost::setNameResolver(nullptr, nullptr);
    qelhost::setNameCacheLimits(600, 60, 2000);
}

// Lines remote peers can cause: a burst per minute, then only a count,
// which the next line written mentions.
TEST(AgentLogLimiter, ABurstPerWindowThenACountInTheNextLine) {
    qelhost::LogLimiter limiter;
    unsigned long heldBack = 99;
    for (int i = 0; i < qelhost::LogLimiter::kBurst; ++i) {
        ASSERT_TRUE(limiter.admit(100.0 + i * 0.1, &heldBack)) << i;
        EXPECT_EQ(heldBack, 0u);
    }
    for (int i = 0; i < 500; ++i)
        EXPECT_FALSE(limiter.admit(103.0 + i * 0.01, &heldBack));
    EXPECT_FALSE(limiter.admit(159.9, &heldBack)); // still the same window
    ASSERT_TRUE(limiter.admit(160.0, &heldBack));
    EXPECT_EQ(heldBack, 501u);
    ASSERT_TRUE(limiter.admit(160.5, &heldBack));
    EXPECT_EQ(heldBack, 0u); // counted once only
    EXPECT_EQ(limiter.takeHeldBack(), 0u);

    // What is held back at the end is there to be reported.
    for (int i = 0; i < qelhost::LogLimiter::kBurst + 3; ++i)
        limiter.admit(300.0, &heldBack);
    EXPECT_EQ(limiter.takeHeldBack(), 3u);
    EXPECT_EQ(limiter.takeHeldBack(), 0u);
}

TEST(AgentHostCalls, ConvertTimeStrIsIso8601WithOffset) {
    setenv("TZ", "UTC", 1);
    tzset();
    char buf[32];
    EXPECT_EQ(qelConvertTimeStr(0, buf, sizeof buf), 25);
    EXPECT_STREQ(buf, "1970-01-01T00:00:00+00:00");
    setenv("TZ", "EST5", 1);
    tzset();
    EXPECT_GT(qelConvertTimeStr(3600 * 24, buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "1970-01-01T19:00:00-05:00");
    EXPECT_EQ(qelConvertTimeStr(0, buf, 10), -1);
    EXPECT_EQ(qelConvertTimeStr(0, nullptr, 32), -1);
    unsetenv("TZ");
    tzset();
}

TEST(AgentHostCalls, FindBinaryVersionReadsTheMarker) {
    testutil::TempDir dir;
    dir.write("plug.so", std::string("\x7f"
                                     "ELF junk TarnVersion \x01 more TarnVersion 1.06\0tail",
                                     50));
    dir.write("none.so", "no marker here");
    EXPECT_FLOAT_EQ(qelFindBinaryVersion("plug.so", dir.path().c_str()), 1.06f);
    EXPECT_FLOAT_EQ(qelFindBinaryVersion("none.so", dir.path().c_str()), 0.0f);
    EXPECT_FLOAT_EQ(qelFindBinaryVersion("absent.so", dir.path().c_str()), 0.0f);
    qelhost::Config cfg;
    cfg.pluginDir = dir.path();
    qelhost::configure(cfg);
    EXPECT_FLOAT_EQ(qelFindBinaryVersion("plug.so", nullptr), 1.06f) << "a null directory means the plug-in directory";
    EXPECT_FLOAT_EQ(qelFindBinaryVersion(nullptr, nullptr), 0.0f);
}

TEST(AgentHostCalls, HomeDirSystemNameAndModules) {
    qelhost::Config cfg;
    cfg.homeDir = "/some/home";
    cfg.systemName = "sysname-x";
    cfg.debugLevel = 3;
    qelhost::configure(cfg);
    char buf[1024];
    EXPECT_EQ(qelGetHomeDir(buf, sizeof buf), 1);
    EXPECT_STREQ(buf, "/some/home");
    EXPECT_EQ(qelGetHomeDir(buf, 6), 1);
    EXPECT_STREQ(buf, "/some") << "cut to the buffer";
    EXPECT_EQ(qelGetSystemName(buf, 255), 1);
    EXPECT_STREQ(buf, "sysname-x");
    EXPECT_EQ(qelGetAgentDebugLevel(), 3);
    EXPECT_EQ(qelAddModule("x.so", "1.00", "pkgA", nullptr, 2), 1);
    EXPECT_EQ(qelAddModule("data.xml", "3", "pkgA", "mib2", 4), 1);
    EXPECT_EQ(qelAddModule("data.xml", "4", "pkgA", "mib2", 4), 1);
    EXPECT_EQ(qelAddModule(nullptr, "4", "pkgA", nullptr, 4), -1);
    int found = 0;
    for (const auto &m : qelhost::modules())
        if (m.package == "pkgA") {
            ++found;
            if (m.file == "data.xml") {
                EXPECT_EQ(m.version, "4") << "a re-applied data file replaces its record";
                EXPECT_EQ(m.required, "mib2");
            }
        }
    EXPECT_EQ(found, 2);
    qelhost::configure(qelhost::Config{});
}

std::atomic<int> localTraps{0};
std::string localSource;
int localHandler(qelEventEntry_t *e) {
    localSource = e->eventSource;
    EXPECT_STREQ(e->eventType, "lt.ping");
    EXPECT_NE(e->eventPdu, nullptr);
    EXPECT_GT(e->xmlSize, 0);
    ++localTraps;
    return 1;
}

TEST(AgentTraps, LocalTrapReachesTheModulesHandlersFromACopy) {
    ASSERT_EQ(qelRegisterTrapHandler("lt", localHandler), 1);
    EXPECT_EQ(qelRegisterTrapHandler("lt", nullptr), -1);
    qelPdu_t pdu{};
    pdu.msgType = Trap;
    addVar(pdu, "core", "sysObjectID", "", QEL_ENTERPRISE_OID);
    ASSERT_EQ(qelSendTrap(nullptr, &pdu, "lt.ping", QEL_ENTERPRISE_OID, nullptr), 1);
    // The caller's message is untouched and may be sent again.
    EXPECT_EQ(pdu.numberVariables, 1u);
    ASSERT_EQ(qelSendTrap(nullptr, &pdu, "lt.ping", QEL_ENTERPRISE_OID, nullptr), 1);
    qelPduCleanup(&pdu);
    ASSERT_TRUE(qelhost::waitTrapsIdle(5000));
    EXPECT_EQ(localTraps.load(), 2);
    EXPECT_EQ(localSource, "internal");
    auto log = qelhost::trapLog();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back().eventType, "lt.ping");
    EXPECT_NE(log.back().variables.find("core.trapType=lt.ping"), std::string::npos);
    qelhost::unregisterTrapHandlers(localHandler);
    EXPECT_EQ(qelSendTrap(nullptr, nullptr, "lt.ping", nullptr, nullptr), -1);
}

} // namespace
