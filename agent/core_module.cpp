// The agent's own module "core": who and what the agent is, its counters,
// and the tables of plug-ins, module records and recent traps.
#include <cstddef>
#include <cstdio>
#include <sys/utsname.h>
#include <unistd.h>

#include "agent.h"
#include "qel/log.h"
#include "qel/qel_session.h"
#include "qelhost.h"
#include "qelselect.h"

namespace qeld {

namespace {

ServerInfo server;

enum Hint : unsigned {
    hSysDescr = 1,
    hSysName,
    hQeldVersion,
    hSysUpTimeStr,
    hQeldHomeDir,
    hQeldPort,
    hSysObjectID,
    hStatsBase = 100,
};

struct StatField {
    const char *name;
    size_t offset;
};

#define STAT(f)                                                                                                        \
    { #f, offsetof(qelStats_t, f) }
const StatField statFields[] = {
    STAT(inMessages),     STAT(inXmlParseErrs), STAT(inErrors),        STAT(inNoSuchNames),   STAT(inBadValues),
    STAT(inTotalReqVars), STAT(inSessions),     STAT(inBytes),         STAT(inAuthenErrors),  STAT(inGets),
    STAT(inSets),         STAT(inResponses),    STAT(inTraps),         STAT(inSelects),       STAT(inInserts),
    STAT(inDeletes),      STAT(inUpdates),      STAT(inInformation),   STAT(outMessages),     STAT(outSessions),
    STAT(outBytes),       STAT(outErrors),      STAT(outAuthenErrors), STAT(outTotalReqVars), STAT(outGets),
    STAT(outSets),        STAT(outResponses),   STAT(outTraps),        STAT(outSelects),      STAT(outInserts),
    STAT(outDeletes),     STAT(outUpdates),     STAT(outInformation),
};
#undef STAT
constexpr unsigned numStats = sizeof statFields / sizeof statFields[0];

qelErrorStatus_t var_core(qelVar_t *vp, qelVariable_t *v) {
    char buf[1024];
    switch (vp->hint) {
    case hSysDescr: {
        struct utsname u;
        if (uname(&u) != 0)
            return genError;
        qelSetValuef(v, displayString, "%s %s %s %s %s", u.sysname, u.nodename, u.release, u.version, u.machine);
        return noError;
    }
    case hSysName:
        qelGetSystemName(buf, 255);
        qelSetValue(v, displayString, buf);
        return noError;
    case hQeldVersion: qelSetValue(v, displayString, QELD_VERSION); return noError;
    case hSysUpTimeStr: {
        long up = static_cast<long>(time(nullptr) - qelhost::startTime());
        qelSetValuef(v, displayString, "%ld days %02ld:%02ld:%02ld", up / 86400, (up / 3600) % 24, (up / 60) % 60,
                     up % 60);
        return noError;
    }
    case hQeldHomeDir:
        qelGetHomeDir(buf, sizeof buf);
        qelSetValue(v, displayString, buf);
        return noError;
    case hQeldPort: qelSetValuef(v, integer, "%d", server.port); return noError;
    case hSysObjectID: qelSetValue(v, displayString, QEL_ENTERPRISE_OID); return noError;
    default:
        if (vp->hint >= hStatsBase && vp->hint < hStatsBase + numStats) {
            const auto &f = statFields[vp->hint - hStatsBase];
            auto *p = reinterpret_cast<uint64_t *>(reinterpret_cast<char *>(&qelStats) + f.offset);
            qelSetValuef(v, counter, "%llu", static_cast<unsigned long long>(__atomic_load_n(p, __ATOMIC_RELAXED)));
            return noError;
        }
        v->valueStrLen = 0;
        return noSuchName;
    }
}

qelErrorStatus_t var_pluginTable(char *key, qelVariable_t *columns, qelPdu_t *out) {
    QelSelect sel("var_pluginTable", key, columns, out);
    if (!sel.valid())
        return genError;
    for (const auto &p : plugins()) {
        const std::string &rowKey = p.module;
        if (!sel.selects(rowKey.c_str()))
            continue;
        if (!sel.addRow(rowKey.c_str(), [&](unsigned column, qelVariable_t *v) {
                switch (column) {
                case 1: qelSetValuef(v, displayString, "%s,%s", p.module.c_str(), p.descr.c_str()); return true;
                case 2: qelSetValue(v, displayString, p.file.c_str()); return true;
                }
                return false;
            }))
            return sel.status();
    }
    return sel.finish("var_pluginTable", qel::logEnabled(qel::LogLevel::debug));
}

qelErrorStatus_t var_moduleTable(char *key, qelVariable_t *columns, qelPdu_t *out) {
    QelSelect sel("var_moduleTable", key, columns, out);
    if (!sel.valid())
        return genError;
    for (const auto &m : qelhost::modules()) {
        std::string rowKey = m.file;
        if (!sel.selects(rowKey.c_str()))
            continue;
        if (!sel.addRow(rowKey.c_str(), [&](unsigned column, qelVariable_t *v) {
                switch (column) {
                case 1: qelSetValue(v, displayString, m.file.c_str()); return true;
                case 2: qelSetValue(v, displayString, m.version.c_str()); return true;
                case 3: qelSetValue(v, displayString, m.package.c_str()); return true;
                case 4: qelSetValue(v, displayString, m.required.c_str()); return true;
                case 5: qelSetValuef(v, integer, "%d", m.kind); return true;
                }
                return false;
            }))
            return sel.status();
    }
    return sel.finish("var_moduleTable", qel::logEnabled(qel::LogLevel::debug));
}

qelErrorStatus_t var_trapTable(char *key, qelVariable_t *columns, qelPdu_t *out) {
    QelSelect sel("var_trapTable", key, columns, out);
    if (!sel.valid())
        return genError;
    int n = 0;
    for (const auto &t : qelhost::trapLog()) {
        std::string rowKey = std::to_string(++n);
        if (!sel.selects(rowKey.c_str()))
            continue;
        if (!sel.addRow(rowKey.c_str(), [&](unsigned column, qelVariable_t *v) {
                char when[32];
                switch (column) {
                case 1:
                    qelConvertTimeStr(t.when, when, sizeof when);
                    qelSetValue(v, dateTime, when);
                    return true;
                case 2: qelSetValue(v, displayString, t.direction.c_str()); return true;
                case 3: qelSetValue(v, displayString, t.peer.c_str()); return true;
                case 4: qelSetValue(v, displayString, t.eventType.c_str()); return true;
                case 5: qelSetValue(v, displayString, t.variables.c_str()); return true;
                }
                return false;
            }))
            return sel.status();
    }
    return sel.finish("var_trapTable", qel::logEnabled(qel::LogLevel::debug));
}

qelVar_t makeVar(const char *obj, qelSyntax_t syntax, unsigned hint, const char *table = "") {
    qelVar_t v{};
    qelCopyField(v.mibName, "core");
    qelCopyField(v.objName, obj);
    qelCopyField(v.tableName, table);
    v.syntax = syntax;
    v.hint = hint;
    return v;
}

std::vector<qelVar_t> &coreVars() {
    static auto *vars = new std::vector<qelVar_t>;
    return *vars;
}

} // namespace

void setServerInfo(const ServerInfo &info) {
    server = info;
}

int initCoreModule() {
    auto &vars = coreVars();
    if (!vars.empty())
        return 1;
    auto scalar = [&](const char *obj, qelSyntax_t syn, unsigned hint) {
        qelVar_t v = makeVar(obj, syn, hint);
        v.get = var_core;
        vars.push_back(v);
    };
    scalar("sysDescr", displayString, hSysDescr);
    scalar("sysName", displayString, hSysName);
    scalar("qeldVersion", displayString, hQeldVersion);
    scalar("sysUpTimeStr", displayString, hSysUpTimeStr);
    scalar("qeldHomeDir", displayString, hQeldHomeDir);
    scalar("qeldPort", integer, hQeldPort);
    scalar("sysObjectID", displayString, hSysObjectID);
    for (unsigned i = 0; i < numStats; ++i)
        scalar(statFields[i].name, counter, hStatsBase + i);

    auto tableVar = [&](const char *name, qelTableHandler_t fn,
                        std::initializer_list<std::pair<const char *, qelSyntax_t>> cols) {
        qelVar_t t = makeVar(name, table, 0);
        t.select = fn;
        vars.push_back(t);
        unsigned n = 0;
        for (const auto &[col, syn] : cols)
            vars.push_back(makeVar(col, syn, ++n, name));
    };
    tableVar("pluginTable", var_pluginTable, {{"pluginDescr", displayString}, {"pluginFile", displayString}});
    tableVar("moduleTable", var_moduleTable,
             {{"moduleFile", displayString},
              {"moduleVersion", displayString},
              {"modulePackage", displayString},
              {"moduleRequires", displayString},
              {"moduleKind", integer}});
    tableVar("trapTable", var_trapTable,
             {{"trapTime", dateTime},
              {"trapDirection", displayString},
              {"trapPeer", displayString},
              {"trapEventType", displayString},
              {"trapVariables", displayString}});
    // The vector is complete before any address is handed out.
    for (auto &v : vars)
        if (qelAddVar(&v) != 1)
            return -1;
    return 1;
}

} // namespace qeld
