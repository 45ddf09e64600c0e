// A table request and its reply for calling a plug-in's select handler
// directly: the requested columns as the agent links them, and the reply's
// values, keys and syntaxes in order.
#ifndef KESTROVA_SELECT_TESTUTIL_H
#define KESTROVA_SELECT_TESTUTIL_H

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "qel/qel.h"
#include "qel/strutil.h"
#include "qelplugin.h"

namespace selecttest {

struct Columns {
    std::vector<qelVar_t> defs;
    std::vector<qelVariable_t> vars;
    explicit Columns(std::vector<unsigned> hints) : defs(hints.size()), vars(hints.size()) {
        for (size_t i = 0; i < hints.size(); i++) {
            memset(&defs[i], 0, sizeof defs[i]);
            defs[i].hint = hints[i];
            memset(&vars[i], 0, sizeof vars[i]);
            qelCopyField(vars[i].varName.mibName, "kestrova");
            snprintf(vars[i].varName.objName, sizeof vars[i].varName.objName, "col%u", hints[i]);
            vars[i].entryPtr = &defs[i];
            vars[i].next = i + 1 < hints.size() ? &vars[i + 1] : nullptr;
        }
    }
    qelVariable_t *list() { return vars.data(); }
};

struct Reply {
    qelPdu_t pdu;
    explicit Reply(int maxRows = 0) {
        memset(&pdu, 0, sizeof pdu);
        pdu.maxRows = maxRows;
    }
    ~Reply() { qelPduCleanup(&pdu); }
    Reply(const Reply &) = delete;
    Reply &operator=(const Reply &) = delete;
    std::vector<std::string> values() const {
        std::vector<std::string> v;
        for (qelVariable_t *x = pdu.varList; x; x = x->next)
            v.emplace_back(x->valueBuf ? x->valueBuf : std::string(x->valueStr, x->valueStrLen));
        return v;
    }
    std::vector<std::string> keys() const {
        std::vector<std::string> v;
        for (qelVariable_t *x = pdu.varList; x; x = x->next)
            v.emplace_back(x->varName.key);
        return v;
    }
    std::vector<qelSyntax_t> syntaxes() const {
        std::vector<qelSyntax_t> v;
        for (qelVariable_t *x = pdu.varList; x; x = x->next)
            v.push_back(x->varSyntax);
        return v;
    }
};

} // namespace selecttest

#endif
