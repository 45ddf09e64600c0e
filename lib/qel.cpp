// QEL message records: the word tables and their conversions, copies and
// release.
#include "qel/qel.h"
#include "qel/reply_stream.h"
#include "qel/log.h"
#include "qel/strutil.h"
#include "qel_internal.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

using namespace qel_internal;

qelStats_t qelStats;
int qel_session_verbose = 0;
int qel_scan_builder_form = 1;

namespace {
// ---------------------------------------------------------------------------
// Word tables

struct TypeWord {
    qelMessageType_t type;
    std::string_view name;
};
// Lookup order: the two commonest first, then by value.
constexpr TypeWord kTypeWords[] = {
    {GetRequest, "GetRequest"},
    {Response, "Response"},
    {invalidMsgType, "invalidMsgType"},
    {SetRequest, "SetRequest"},
    {SelectTableRequest, "SelectTableRequest"},
    {InsertTableRequest, "InsertTableRequest"},
    {DeleteTableRequest, "DeleteTableRequest"},
    {UpdateTableRequest, "UpdateTableRequest"},
    {Trap, "Trap"},
    {Information, "Information"},
};

// Indexed by status + 1; invalidErrorType has no name.
constexpr std::string_view kStatusWords[] = {
    "",
    "noError",
    "noErrorMoreData",
    "tooBig",
    "noSuchName",
    "badValue",
    "readOnly",
    "genError",
    "noAccess",
    "notTabular",
    "wrongType",
    "wrongLength",
    "wrongEncoding",
    "wrongValue",
    "noCreation",
    "inconsistentValue",
    "resourceUnavailable",
    "commitFailed",
    "undoFailed",
    "authorizationError",
    "notWritable",
    "inconsistentName",
    "parseError",
};
constexpr int kStatusCount = sizeof kStatusWords / sizeof kStatusWords[0];

// Indexed by syntax; invalidSyntax has no name.
constexpr std::string_view kSyntaxWords[] = {
    "",
    "counter",
    "ipV4Address",
    "ipV6Address",
    "dateTime",
    "gauge",
    "integer",
    "unsignedInteger",
    "bool",
    "macAddress",
    "physAddress",
    "displayString",
    "binaryString",
    "nullSyntax",
    "table",
    "floatingPoint",
    "unsupportedVariable",
    "extendedBoolean",
};
constexpr int kSyntaxCount = sizeof kSyntaxWords / sizeof kSyntaxWords[0];

// Copies a name into a caller's string of maxlen bytes; returns the length written.
int putWord(char *str, int maxlen, std::string_view word) {
    if (maxlen <= 0)
        return 0;
    return static_cast<int>(qelCopyMem(str, static_cast<size_t>(maxlen), word.data(), word.size()));
}

} // namespace

namespace qel_internal {

std::string_view typeWord(int type) {
    for (const auto &w : kTypeWords)
        if (static_cast<int>(w.type) == type)
            return w.name;
    return {};
}

std::string_view statusWord(int status) {
    int i = status + 1;
    if (i < 1 || i >= kStatusCount)
        return {};
    return kStatusWords[i];
}

std::string_view syntaxWord(int syntax) {
    int i = syntax;
    if (i < 1 || i >= kSyntaxCount)
        return {};
    return kSyntaxWords[i];
}

Word typeName(int type) {
    Word w;
    std::string_view name = typeWord(type);
    if (name.data())
        w.len = qelCopyMem(w.buf, sizeof w.buf, name.data(), name.size());
    else
        w.len = static_cast<size_t>(snprintf(w.buf, sizeof w.buf, "Unknown%d", type));
    return w;
}

Word statusName(int status) {
    Word w;
    std::string_view name = statusWord(status);
    w.len = qelCopyMem(w.buf, sizeof w.buf, name.data(), name.size());
    return w;
}

Word syntaxName(int syntax) {
    Word w;
    std::string_view name = syntaxWord(syntax);
    if (!name.empty())
        w.len = qelCopyMem(w.buf, sizeof w.buf, name.data(), name.size());
    else
        w.len = static_cast<size_t>(snprintf(w.buf, sizeof w.buf, "syntax(%d)", syntax));
    return w;
}

// The word lookups, on text that need not end in a NUL.
qelMessageType_t typeOfWord(std::string_view s) {
    for (const auto &w : kTypeWords)
        if (w.name == s)
            return w.type;
    return invalidMsgType;
}

qelSyntax_t syntaxOfWord(std::string_view s) {
    for (int i = 1; i < kSyntaxCount; i++)
        if (kSyntaxWords[i] == s)
            return static_cast<qelSyntax_t>(i);
    if (s == "boolean")
        return bool_;
    return invalidSyntax;
}

} // namespace qel_internal

// ---------------------------------------------------------------------------
// Word tables

extern "C" int qelMessageHasTableInfo(qelMessageType_t type) {
    return hasTableInfo(static_cast<int>(type));
}

extern "C" int messageTypeToString(qelMessageType_t type, char *str, int maxlen) {
    if (!str)
        return 0;
    Word w = typeName(static_cast<int>(type));
    return putWord(str, maxlen, std::string_view(w.buf, w.len));
}

extern "C" qelMessageType_t stringToMessageType(const char *str) {
    return str ? typeOfWord(str) : invalidMsgType;
}

extern "C" int syntaxToString(qelSyntax_t syntax, char *str, int maxlen) {
    if (!str)
        return -1;
    Word w = syntaxName(static_cast<int>(syntax));
    putWord(str, maxlen, std::string_view(w.buf, w.len));
    return syntaxWord(static_cast<int>(syntax)).empty() ? -1 : 1;
}

extern "C" qelSyntax_t stringToSyntax(const char *str) {
    return str ? syntaxOfWord(str) : invalidSyntax;
}

extern "C" int errorStatusToString(qelErrorStatus_t status, char *str, int maxlen) {
    if (!str)
        return -1;
    std::string_view w = statusWord(static_cast<int>(status));
    if (w.empty())
        return -1;
    return putWord(str, maxlen, w);
}

extern "C" qelErrorStatus_t stringToErrorStatus(const char *str) {
    if (!str)
        return invalidErrorType;
    std::string_view s(str);
    for (int i = 1; i < kStatusCount; i++)
        if (kStatusWords[i] == s)
            return static_cast<qelErrorStatus_t>(i - 1);
    return invalidErrorType;
}

// ---------------------------------------------------------------------------
// Copies and release

extern "C" qelVariable_t *copyQelVariable(const qelVariable_t *var) {
    if (!var)
        return nullptr;
    auto *v = static_cast<qelVariable_t *>(malloc(sizeof(qelVariable_t)));
    if (!v)
        return nullptr;
    memcpy(v, var, sizeof *v);
    v->next = nullptr;
    if (var->valueBuf) {
        size_t cap = var->valueStrLen > 0 ? static_cast<size_t>(var->valueStrLen) : 0;
        size_t n = strnlen(var->valueBuf, cap);
        v->valueBuf = static_cast<char *>(malloc(cap + 1));
        if (!v->valueBuf) {
            free(v);
            return nullptr;
        }
        memcpy(v->valueBuf, var->valueBuf, n);
        v->valueBuf[n] = '\0';
    }
    return v;
}

extern "C" int copyQelPdu(const qelPdu_t *src, qelPdu_t *dst) {
    if (!src || !dst) {
        qel::logError("copyQelPdu: invalid args\n");
        return -1;
    }
    *dst = *src;
    dst->numberVariables = 0;
    dst->varList = nullptr;
    dst->varListTail = nullptr;
    for (const qelVariable_t *v = src->varList; v; v = v->next) {
        qelVariable_t *c = copyQelVariable(v);
        if (!c) {
            qel::logError("copyQelPdu: out of memory\n");
            qelPduCleanup(dst);
            dst->numberVariables = 0;
            return -1;
        }
        appendVariable(dst, c);
    }
    return 1;
}

extern "C" qelVariable_t *qelAddVariable(qelPdu_t *pdu, const char *mib, const char *obj, const char *key,
                                         qelSyntax_t syntax, const char *value) {
    if (!pdu)
        return nullptr;
    auto *v = static_cast<qelVariable_t *>(calloc(1, sizeof(qelVariable_t)));
    if (!v)
        return nullptr;
    qelCopyField(v->varName.mibName, mib);
    qelCopyField(v->varName.objName, obj);
    qelCopyField(v->varName.key, key);
    v->varSyntax = syntax;
    size_t len = value ? strlen(value) : 0;
    if (len < QEL_VALUESTR_LEN) {
        v->valueStrLen = static_cast<int>(qelCopyMem(v->valueStr, sizeof v->valueStr, value, len));
    } else {
        v->valueBuf = static_cast<char *>(malloc(len + 2));
        if (!v->valueBuf) {
            free(v);
            return nullptr;
        }
        memcpy(v->valueBuf, value, len + 1);
        v->valueStrLen = static_cast<int>(len);
    }
    appendVariable(pdu, v);
    return v;
}

int qelPduCleanup(qelPdu_t *pdu) {
    if (!pdu) {
        if (qel_session_verbose)
            qel::logInfo("qelPduCleanup: null ptr, no cleanup\n");
        return -1;
    }
    // Bindings already written out by a reply stream count as released.
    uint32_t streamed = 0;
    if (QelReplyStream *stream = QelReplyStream::current(); stream && stream->boundTo(pdu)) {
        streamed = stream->count();
        stream->discard();
    }
    const uint32_t listed = pdu->numberVariables >= streamed ? pdu->numberVariables - streamed : 0;
    if (listed == 0) {
        if (qel_session_verbose)
            qel::logInfo("qelPduCleanup: numvars is 0, no cleanup\n");
        return static_cast<int>(streamed);
    }
    if (!pdu->varList) {
        if (qel_session_verbose)
            qel::logInfo("qelPduCleanup: no varlist, no cleanup\n");
        return static_cast<int>(streamed);
    }
    int freed = 0;
    for (qelVariable_t *v = pdu->varList; v;) {
        qelVariable_t *next = v->next;
        freeVariable(v);
        v = next;
        freed++;
    }
    if (static_cast<uint32_t>(freed) != listed)
        qel::logWarning("qelPduCleanup: i=%d, numberVariables=%d\n", freed, static_cast<int>(listed));
    pdu->varList = nullptr;
    pdu->varListTail = nullptr;
    return freed + static_cast<int>(streamed);
}
