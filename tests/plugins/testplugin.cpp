// A plug-in for the agent's tests: scalars, settable variables, a table of
// 1,000 rows, a slow handler, a value beyond the inline buffer, and traps.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <unistd.h>

#include "qelplugin.h"
#include "qelselect.h"

namespace {

constexpr int kRows = 1000;
std::atomic<int> settable{0};
std::atomic<int> slowMillis{1500};
std::atomic<long> getCount{0};
std::atomic<int> commits{0};
std::atomic<int> trapsSeen{0};
std::mutex trapMutex;
std::string lastTrapSource, lastTrapPayload, lastTrapType;
char versionText[] = "TarnVersion 2.50";

enum Hint : unsigned {
    hGreeting = 1,
    hCounter,
    hSettable,
    hSlow,
    hSlowMillis,
    hBig,
    hSendTrap,
    hTrapsSeen,
    hLastTrapSource,
    hLastTrapPayload,
    hCommits,
    hSymbol,
    hPeerCheck,
    hLastTrapType,
};

const char *valueOf(const qelVariable_t *v) {
    return v->valueBuf ? v->valueBuf : v->valueStr;
}

bool parseInt(const char *s, int lo, int hi, int &out) {
    char *end = nullptr;
    long v = std::strtol(s, &end, 10);
    if (!*s || *end || v < lo || v > hi)
        return false;
    out = static_cast<int>(v);
    return true;
}

qelErrorStatus_t var_test(qelVar_t *vp, qelVariable_t *v) {
    ++getCount;
    switch (vp->hint) {
    case hGreeting: qelSetValue(v, displayString, "hello from testplugin"); return noError;
    case hCounter: qelSetValuef(v, counter, "%ld", getCount.load()); return noError;
    case hSettable: qelSetValuef(v, integer, "%d", settable.load()); return noError;
    case hSlow:
        usleep(static_cast<useconds_t>(slowMillis.load()) * 1000);
        qelSetValue(v, displayString, "slow done");
        return noError;
    case hSlowMillis: qelSetValuef(v, integer, "%d", slowMillis.load()); return noError;
    case hBig: {
        std::string big(10000, 'x');
        big[0] = 'B';
        qelSetValue(v, displayString, big.c_str());
        return noError;
    }
    case hTrapsSeen: qelSetValuef(v, integer, "%d", trapsSeen.load()); return noError;
    case hLastTrapSource: {
        std::lock_guard l(trapMutex);
        qelSetValue(v, displayString, lastTrapSource.c_str());
        return noError;
    }
    case hLastTrapPayload: {
        std::lock_guard l(trapMutex);
        qelSetValue(v, displayString, lastTrapPayload.c_str());
        return noError;
    }
    case hLastTrapType: {
        std::lock_guard l(trapMutex);
        qelSetValue(v, displayString, lastTrapType.c_str());
        return noError;
    }
    case hCommits: qelSetValuef(v, integer, "%d", commits.load()); return noError;
    case hSymbol:
        qelSetValue(v, displayString, qelGetSymbolValue("demoplugin_dowork") ? "found" : "missing");
        return noError;
    default: v->valueStrLen = 0; return noSuchName;
    }
}

int sendTestTrap(const char *dest, const char *payload) {
    qelPdu_t pdu{};
    pdu.msgType = Trap;
    pdu.messageID = time(nullptr);
    const char *names[][3] = {{"core", "trapType", "testplug.testTrap"},
                              {"core", "sysObjectID", QEL_ENTERPRISE_OID},
                              {"testplug", "payload", payload}};
    for (auto &n : names)
        if (!qelAddVariable(&pdu, n[0], n[1], nullptr, displayString, n[2])) {
            qelPduCleanup(&pdu);
            return -1;
        }
    int r = qelSendTrap(dest && *dest ? dest : nullptr, &pdu, "testplug.testTrap", QEL_ENTERPRISE_OID, "testUser");
    qelPduCleanup(&pdu);
    return r;
}

qelErrorStatus_t set_test(qelVar_t *vp, qelVariable_t *v, int doSet) {
    const char *text = valueOf(v);
    int n = 0;
    switch (vp->hint) {
    case hSettable:
        if (!parseInt(text, 0, 1000000, n))
            return badValue;
        if (doSet) {
            settable = n;
            ++commits;
        }
        return noError;
    case hSlowMillis:
        if (!parseInt(text, 0, 60000, n))
            return badValue;
        if (doSet)
            slowMillis = n;
        return noError;
    case hSendTrap: // value: "local:PAYLOAD" or "HOST,PORT:PAYLOAD"
    {
        const char *colon = std::strchr(text, ':');
        if (!colon)
            return badValue;
        if (doSet) {
            std::string dest(text, static_cast<size_t>(colon - text));
            if (sendTestTrap(dest == "local" ? nullptr : dest.c_str(), colon + 1) != 1)
                return genError;
        }
        return noError;
    }
    case hPeerCheck:
        if (doSet && qelCheckPeerModules(text) <= 0)
            return resourceUnavailable;
        return noError;
    default: return noSuchName;
    }
}

qelErrorStatus_t var_rowTable(char *key, qelVariable_t *columns, qelPdu_t *out) {
    QelSelect sel("var_rowTable", key, columns, out);
    if (!sel.valid())
        return genError;
    for (int i = 1; i <= kRows; ++i) {
        char rowKey[16];
        std::snprintf(rowKey, sizeof rowKey, "%d", i);
        if (!sel.selects(rowKey))
            continue;
        if (!sel.addRow(rowKey, [&](unsigned column, qelVariable_t *v) {
                switch (column) {
                case 1: qelSetValuef(v, integer, "%d", i); return true;
                case 2: qelSetValuef(v, displayString, "row-%d", i); return true;
                case 3: qelSetValuef(v, gauge, "%ld", static_cast<long>(i) * i); return true;
                }
                return false;
            }))
            return sel.status();
    }
    return sel.finish("var_rowTable", qelGetAgentDebugLevel());
}

int testTrapHandler(qelEventEntry_t *e) {
    std::lock_guard l(trapMutex);
    lastTrapSource = e->eventSource;
    lastTrapType = e->eventType;
    lastTrapPayload.clear();
    for (qelVariable_t *v = e->eventPdu ? e->eventPdu->varList : nullptr; v; v = v->next)
        if (!std::strcmp(v->varName.objName, "payload"))
            lastTrapPayload = valueOf(v);
    ++trapsSeen;
    return 1;
}

qelVar_t makeVar(const char *obj, qelSyntax_t syn, unsigned hint, const char *tbl = "") {
    qelVar_t v{};
    qelCopyField(v.mibName, "testplug");
    qelCopyField(v.objName, obj);
    qelCopyField(v.tableName, tbl);
    v.syntax = syn;
    v.hint = hint;
    return v;
}

qelVar_t vars[24];
int numVars = 0;

void add(qelVar_t v) {
    vars[numVars++] = v;
}

} // namespace

extern "C" {

__attribute__((visibility("default"), used)) char *versionStr = versionText;

__attribute__((visibility("default"))) int testplugin_answer(void) {
    return 42;
}

__attribute__((visibility("default"))) int modinfo(char *modname, int modnamesz, char *descr, int descrsz) {
    if (!modname || !descr || modnamesz < 11 || descrsz < 30)
        return -1;
    std::snprintf(modname, static_cast<size_t>(modnamesz), "testplug");
    std::snprintf(descr, static_cast<size_t>(descrsz), "test plug-in version 2.50");
    return 1;
}

__attribute__((visibility("default"))) int init(void) {
    auto scalar = [](const char *obj, qelSyntax_t syn, unsigned hint, bool writable) {
        qelVar_t v = makeVar(obj, syn, hint);
        v.get = var_test;
        if (writable)
            v.set = set_test;
        add(v);
    };
    numVars = 0;
    scalar("greeting", displayString, hGreeting, false);
    scalar("getCounter", counter, hCounter, false);
    scalar("settable", integer, hSettable, true);
    scalar("slow", displayString, hSlow, false);
    scalar("slowMillis", integer, hSlowMillis, true);
    scalar("bigValue", displayString, hBig, false);
    scalar("trapsSeen", integer, hTrapsSeen, false);
    scalar("lastTrapSource", displayString, hLastTrapSource, false);
    scalar("lastTrapPayload", displayString, hLastTrapPayload, false);
    scalar("lastTrapType", displayString, hLastTrapType, false);
    scalar("commits", integer, hCommits, false);
    scalar("symbolProbe", displayString, hSymbol, false);
    qelVar_t st = makeVar("sendTrap", displayString, hSendTrap);
    st.set = set_test; // write-only
    add(st);
    qelVar_t pc = makeVar("peerCheck", displayString, hPeerCheck);
    pc.set = set_test;
    add(pc);
    qelVar_t t = makeVar("rowTable", table, 0);
    t.select = var_rowTable;
    add(t);
    add(makeVar("rowIndex", integer, 1, "rowTable"));
    add(makeVar("rowName", displayString, 2, "rowTable"));
    add(makeVar("rowSquare", gauge, 3, "rowTable"));
    for (int i = 0; i < numVars; ++i)
        qelAddVar(&vars[i]);
    char version[64];
    std::snprintf(version, sizeof version, "%3.2f",
                  static_cast<double>(qelFindBinaryVersion("testplugin-linux.so", nullptr)));
    qelAddModule("testplugin-linux.so", version, "testplug", "demoPlugin", QEL_MODULE_KIND_PLUGIN);
    return 1;
}

__attribute__((visibility("default"))) int start(void) {
    qelRegisterTrapHandler("testplug", testTrapHandler);
    return 1;
}

__attribute__((visibility("default"))) int finish(void) {
    int removed = qelRemoveVarByName("testplug", nullptr);
    char line[128];
    std::snprintf(line, sizeof line, "testplugin: finish called, %d variables removed", removed);
    qeldLog(line);
    return 1;
}

} // extern "C"
