// A plug-in for the agent's tests with one table whose whole text is far
// beyond the largest message: 4,096 rows of 64 KiB each, 256 MiB in all.
// A select of a few rows fits; a select of all of them cannot be sent.
#include <cstdio>
#include <string>

#include "qelplugin.h"
#include "qelselect.h"

namespace {

constexpr int kRows = 4096;
constexpr size_t kTextLen = 64 * 1024;

qelErrorStatus_t var_wideTable(char *key, qelVariable_t *columns, qelPdu_t *out) {
    static const std::string text(kTextLen, 'w');
    QelSelect sel("var_wideTable", key, columns, out);
    if (!sel.valid())
        return genError;
    for (int i = 1; i <= kRows; ++i) {
        char rowKey[16];
        std::snprintf(rowKey, sizeof rowKey, "%d", i);
        if (!sel.selects(rowKey))
            continue;
        if (!sel.addRow(rowKey, [&](unsigned column, qelVariable_t *v) {
                switch (column) {
                case 1: qelSetValueInt(v, integer, i); return true;
                case 2: qelSetValue(v, displayString, text.c_str()); return true;
                }
                return false;
            }))
            return sel.status();
    }
    return sel.finish("var_wideTable", qelGetAgentDebugLevel());
}

qelVar_t makeVar(const char *obj, qelSyntax_t syn, unsigned hint, const char *tbl) {
    qelVar_t v{};
    qelCopyField(v.mibName, "wideplug");
    qelCopyField(v.objName, obj);
    qelCopyField(v.tableName, tbl);
    v.syntax = syn;
    v.hint = hint;
    return v;
}

qelVar_t vars[3];

} // namespace

extern "C" {

__attribute__((visibility("default"))) int modinfo(char *modname, int modnamesz, char *descr, int descrsz) {
    if (!modname || !descr || modnamesz < 11 || descrsz < 30)
        return -1;
    std::snprintf(modname, static_cast<size_t>(modnamesz), "wideplug");
    std::snprintf(descr, static_cast<size_t>(descrsz), "test plug-in with a wide table");
    return 1;
}

__attribute__((visibility("default"))) int init(void) {
    vars[0] = makeVar("wideTable", table, 0, "");
    vars[0].select = var_wideTable;
    vars[1] = makeVar("wideIndex", integer, 1, "wideTable");
    vars[2] = makeVar("wideText", displayString, 2, "wideTable");
    for (auto &v : vars)
        qelAddVar(&v);
    return 1;
}

__attribute__((visibility("default"))) int start(void) {
    return 1;
}

__attribute__((visibility("default"))) int finish(void) {
    qelRemoveVarByName("wideplug", nullptr);
    return 1;
}

} // extern "C"
