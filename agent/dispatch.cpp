// Answers one request by calling the handlers of the registered variables.
#include <cstdlib>
#include <exception>
#include <cstring>
#include <vector>

#include "qel/qel_session.h"
#include "qel/strutil.h"
#include "qelhost.h"

namespace qelhost {

namespace {

void append(qelPdu_t *pdu, qelVariable_t *v) {
    v->next = nullptr;
    if (pdu->varListTail)
        pdu->varListTail->next = v;
    else
        pdu->varList = v;
    pdu->varListTail = v;
    ++pdu->numberVariables;
}

// A reply variable carrying the request variable's name and no value.
qelVariable_t *newReplyVar(const qelVariable_t *req, qelSyntax_t syntax) {
    auto *v = static_cast<qelVariable_t *>(std::calloc(1, sizeof(qelVariable_t)));
    if (!v)
        return nullptr;
    std::memcpy(&v->varName, &req->varName, sizeof v->varName);
    v->varSyntax = syntax;
    return v;
}

void freeVar(qelVariable_t *v) {
    if (!v)
        return;
    std::free(v->valueBuf);
    std::free(v);
}

void freeList(qelVariable_t *v) {
    while (v) {
        qelVariable_t *n = v->next;
        freeVar(v);
        v = n;
    }
}

void clearReply(qelPdu_t *reply) {
    qelPduCleanup(reply);
    reply->varList = reply->varListTail = nullptr;
    reply->numberVariables = 0;
}

// An error reply carries the request's variables back, as they came.
void fail(const qelPdu_t *req, qelPdu_t *reply, qelErrorStatus_t status, uint32_t index) {
    clearReply(reply);
    for (const qelVariable_t *v = req->varList; v; v = v->next) {
        qelVariable_t *c = copyQelVariable(v);
        if (!c)
            break;
        c->entryPtr = nullptr;
        append(reply, c);
    }
    reply->errorStatus = status;
    reply->errorIndex = index;
    if (status == noSuchName)
        qelStatsAdd(inNoSuchNames, 1);
    else if (status == badValue)
        qelStatsAdd(inBadValues, 1);
    else if (status == authorizationError)
        qelStatsAdd(inAuthenErrors, 1);
}

bool sameText(const char *field, const char *other) {
    return std::strcmp(field, other) == 0;
}

// One row of one column: a get of a column variable with a key.
qelErrorStatus_t getCell(const qelVariable_t *req, qelPdu_t *reply) {
    VarRef col = findVar(req->varName.mibName, req->varName.objName);
    if (!col || !col.var()->tableName[0])
        return noSuchName;
    VarRef sel = findTableSelector(col.var()->mibName, col.var()->tableName);
    if (!sel)
        return noSuchName;
    qelVariable_t *colVar = newReplyVar(req, col.var()->syntax);
    if (!colVar)
        return genError;
    colVar->entryPtr = col.var();
    qelPdu_t rows{};
    rows.msgType = Response;
    rows.maxRows = 1;
    char key[QEL_KEY_LEN];
    qelCopyField(key, req->varName.key);
    qelErrorStatus_t st = sel.var()->select(key, colVar, &rows);
    freeVar(colVar);
    if ((st != noError && st != noErrorMoreData) ||
        (rows.errorStatus != noError && rows.errorStatus != noErrorMoreData) || !rows.varList) {
        qelPduCleanup(&rows);
        return st != noError && st != noErrorMoreData ? st : noSuchName;
    }
    // Only the requested cell: a handler that ignored maxRows gave more.
    qelVariable_t *first = rows.varList;
    freeList(first->next);
    append(reply, first);
    return noError;
}

void doGet(qelPdu_t *req, qelPdu_t *reply) {
    uint32_t index = 0;
    for (const qelVariable_t *r = req->varList; r; r = r->next) {
        ++index;
        if (r->varName.key[0]) {
            qelErrorStatus_t st = getCell(r, reply);
            if (st != noError)
                return fail(req, reply, st, index);
            continue;
        }
        VarRef ref = findVar(r->varName.mibName, r->varName.objName);
        if (!ref || !ref.var()->get)
            return fail(req, reply, noSuchName, index);
        qelVariable_t *v = newReplyVar(r, ref.var()->syntax);
        if (!v)
            return fail(req, reply, genError, index);
        qelErrorStatus_t st = ref.var()->get(ref.var(), v);
        if (st != noError) {
            freeVar(v);
            return fail(req, reply, st, index);
        }
        // A handler that wrote past what it announced is cut at the field.
        if (!v->valueBuf && (v->valueStrLen < 0 || v->valueStrLen >= QEL_VALUESTR_LEN ||
                             static_cast<size_t>(v->valueStrLen) != strnlen(v->valueStr, sizeof v->valueStr))) {
            v->valueStr[sizeof v->valueStr - 1] = '\0';
            v->valueStrLen = static_cast<int>(std::strlen(v->valueStr));
        }
        append(reply, v);
    }
}

void doSet(qelPdu_t *req, qelPdu_t *reply, bool authenticated) {
    if (!authenticated)
        return fail(req, reply, authorizationError, 0);
    std::vector<VarRef> refs;
    uint32_t index = 0;
    // Check every variable before setting any.
    for (qelVariable_t *r = req->varList; r; r = r->next) {
        ++index;
        VarRef ref = findVar(r->varName.mibName, r->varName.objName);
        if (!ref)
            return fail(req, reply, noSuchName, index);
        if (!ref.var()->set || r->varName.key[0])
            return fail(req, reply, notWritable, index);
        qelErrorStatus_t st = ref.var()->set(ref.var(), r, 0);
        if (st != noError)
            return fail(req, reply, st, index);
        refs.push_back(std::move(ref));
    }
    index = 0;
    qelVariable_t *r = req->varList;
    for (auto &ref : refs) {
        ++index;
        qelErrorStatus_t st = ref.var()->set(ref.var(), r, 1);
        if (st != noError)
            return fail(req, reply, st, index);
        r = r->next;
    }
    fail(req, reply, noError, 0); // echo what was set
}

void doSelect(qelPdu_t *req, qelPdu_t *reply) {
    VarRef sel = findTableSelector(req->tableMib, req->tableName);
    if (!sel)
        return fail(req, reply, noSuchName, 0);
    std::vector<VarRef> colRefs;
    qelPdu_t cols{};
    uint32_t index = 0;
    auto addColumn = [&](const qelVariable_t *r, VarRef ref) {
        qelVariable_t *c = newReplyVar(r, ref.var()->syntax);
        if (!c)
            return false;
        c->entryPtr = ref.var();
        append(&cols, c);
        colRefs.push_back(std::move(ref));
        return true;
    };
    for (const qelVariable_t *r = req->varList; r; r = r->next) {
        ++index;
        VarRef ref = findVar(r->varName.mibName, r->varName.objName);
        if (!ref || !sameText(ref.var()->tableName, req->tableName) || !sameText(ref.var()->mibName, req->tableMib)) {
            freeList(cols.varList);
            return fail(req, reply, noSuchName, index);
        }
        if (!addColumn(r, std::move(ref))) {
            freeList(cols.varList);
            return fail(req, reply, genError, index);
        }
    }
    if (!cols.varList) {
        // No columns named: every column of the table, in registration order.
        for (const qelVar_t &def : listVars(req->tableMib)) {
            if (!sameText(def.tableName, req->tableName))
                continue;
            qelVariable_t name{};
            qelCopyField(name.varName.mibName, def.mibName);
            qelCopyField(name.varName.objName, def.objName);
            VarRef ref = findVar(def.mibName, def.objName);
            if (ref && !addColumn(&name, std::move(ref))) {
                freeList(cols.varList);
                return fail(req, reply, genError, 0);
            }
        }
        if (!cols.varList)
            return fail(req, reply, noSuchName, 0);
    }
    reply->maxRows = req->maxRows < 0 ? 0 : req->maxRows;
    char key[QEL_KEY_LEN];
    qelCopyField(key, req->tableKey);
    qelErrorStatus_t st = sel.var()->select(key, cols.varList, reply);
    freeList(cols.varList);
    if (st != noError && st != noErrorMoreData) {
        reply->errorStatus = st;
        if (st == noSuchName)
            qelStatsAdd(inNoSuchNames, 1);
    }
}

} // namespace

bool dispatch(qelPdu_t *req, qelPdu_t *reply, bool authenticated, const char *peer) {
    reply->msgType = Response;
    reply->messageID = req->messageID;
    reply->errorStatus = noError;
    reply->errorIndex = 0;
    qelStatsAdd(inTotalReqVars, req->numberVariables);
    try {
        switch (req->msgType) {
        case GetRequest:
            qelStatsAdd(inGets, 1);
            doGet(req, reply);
            break;
        case SetRequest:
            qelStatsAdd(inSets, 1);
            doSet(req, reply, authenticated);
            break;
        case SelectTableRequest:
            qelStatsAdd(inSelects, 1);
            doSelect(req, reply);
            break;
        case InsertTableRequest:
            qelStatsAdd(inInserts, 1);
            fail(req, reply, noCreation, 0);
            break;
        case UpdateTableRequest:
            qelStatsAdd(inUpdates, 1);
            fail(req, reply, noCreation, 0);
            break;
        case DeleteTableRequest:
            qelStatsAdd(inDeletes, 1);
            fail(req, reply, noCreation, 0);
            break;
        case Trap:
            qelStatsAdd(inTraps, 1);
            // A trap sets off handlers: like a set, it needs a known peer.
            if (!authenticated) {
                qelStatsAdd(inAuthenErrors, 1);
                logfLimited("trap from %s dropped: peer without certificate", peer ? peer : "?");
                return false;
            }
            trapReceived(req, peer);
            return false;
        case Response:
            qelStatsAdd(inResponses, 1);
            fail(req, reply, genError, 0);
            break;
        case Information:
            qelStatsAdd(inInformation, 1);
            fail(req, reply, genError, 0);
            break;
        default: fail(req, reply, genError, 0); break;
        }
    } catch (const std::exception &e) {
        // A request's top in its session thread: the request is answered
        // genError and the session goes on.
        logfLimited("request from %s failed: %s", peer ? peer : "?", e.what());
        fail(req, reply, genError, 0);
    } catch (...) {
        logfLimited("request from %s failed", peer ? peer : "?");
        fail(req, reply, genError, 0);
    }
    return true;
}

} // namespace qelhost
