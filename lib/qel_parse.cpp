// The parse of QEL messages: the way each message is read chosen, and the
// walk of libxml2's tree.
#include "qel/qel.h"
#include "qel/strutil.h"
#include "qel/log.h"
#include "qel_internal.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <sys/stat.h>

using namespace qel_internal;

namespace {

std::once_flag xmlInitOnce;
} // namespace

void qel_internal::initXml() {
    std::call_once(xmlInitOnce, [] { xmlInitParser(); });
}

// ---------------------------------------------------------------------------
// Parser

extern "C" int parseQelTableInfo(void *nodeArg, qelPdu_t *pdu) {
    auto *node = static_cast<xmlNode *>(nodeArg);
    if (!node || !pdu) {
        qel::logError("parseQelTableInfo: invalid arg(s)\n");
        return -1;
    }
    if (!named(node, "tableInfo")) {
        qel::logError("%s is not tableInfo\n", nameOf(node));
        return -1;
    }
    if (!node->children) {
        qel::logError("tableInfo does not have mib, object, key, etc.\n");
        return -1;
    }
    struct Item {
        const char *tag, *missing, *wrongName, *noText;
    };
    static const Item items[] = {
        {"mib", "tableInfo does not contain mib . . .\n", "'%s' is not mib\n", "No mib value\n"},
        {"object", "tableInfo does not contain object . . .\n", "'%s' is not table object\n",
         "No table object value\n"},
        {"key", "tableInfo does not contain table key . . .\n", "'%s' is not table key\n", "No table key value\n"},
        {"max-rows", "tableInfo does not contain max-rows . . .\n", "'%s' is not table max-rows\n",
         "No table max-rows value\n"},
    };
    xmlNode *cur = nullptr;
    for (int i = 0; i < 4; i++) {
        cur = i == 0 ? firstElement(node) : nextElement(cur);
        if (!cur) {
            qel::logError("%s", items[i].missing);
            return -1;
        }
        if (!named(cur, items[i].tag)) {
            qel::logError(items[i].wrongName, nameOf(cur));
            return -1;
        }
        const char *text = textOf(cur);
        if (!text) {
            qel::logError("%s", items[i].noText);
            return -1;
        }
        switch (i) {
        case 0: qelCopyField(pdu->tableMib, text); break;
        case 1: qelCopyField(pdu->tableName, text); break;
        case 2: qelCopyField(pdu->tableKey, text); break;
        default: pdu->maxRows = atoi(text);
        }
    }
    return 1;
}

int qel_internal::storeValue(qelVariable_t *v, const char *value, size_t len) {
    if (len < QEL_VALUESTR_LEN) {
        v->valueStrLen = static_cast<int>(qelCopyMem(v->valueStr, sizeof v->valueStr, value, len));
        return 1;
    }
    if (len > INT_MAX - 2) {
        qel::logError("%s", "value too long\n");
        return -1;
    }
    v->valueBuf = static_cast<char *>(malloc(len + 2));
    if (!v->valueBuf) {
        // A binding without its value would pass for an empty one.
        qel::logError("%s: %s\n", "Malloc of value failed", std::strerror(errno));
        return -1;
    }
    memcpy(v->valueBuf, value, len);
    v->valueBuf[len] = '\0';
    v->valueStrLen = static_cast<int>(len);
    return 1;
}

qelVariable_t *qel_internal::newRecord() {
    auto *v = static_cast<qelVariable_t *>(malloc(sizeof(qelVariable_t)));
    if (!v) {
        qel::logError("%s: %s\n", "Malloc of variable failed", std::strerror(errno));
        return nullptr;
    }
    v->valueBuf = nullptr;
    resetVariable(v);
    return v;
}

extern "C" int parseQelVariable(void *nodeArg, qelPdu_t *pdu) {
    auto *varNode = static_cast<xmlNode *>(nodeArg);
    if (!varNode || !pdu) {
        qel::logError("parseQelVariable: invalid arg(s)\n");
        return -1;
    }
    if (!named(varNode, "variable")) {
        qel::logError("%s is not a variable\n", nameOf(varNode));
        return -1;
    }
    qelVariable_t *v = newRecord();
    if (!v)
        return -1;
    if (readVariable(varNode, v) < 0) {
        freeVariable(v);
        return -1;
    }
    appendVariable(pdu, v);
    return 1;
}

int qel_internal::parsed(const qelPdu_t *pdu) {
    if (qel_session_verbose) {
        printf("Done parsing QEL message, %d variables\n", static_cast<int>(pdu->numberVariables));
        fflush(stdout);
    }
    return 1;
}

extern "C" int parseQelMessage(const char *membuf, int bufsize, qelPdu_t *pdu) {
    return parseQelMessageMax(membuf, bufsize, pdu, 0);
}

extern "C" int parseQelMessageMax(const char *membuf, int bufsize, qelPdu_t *pdu, uint32_t maxVariables) {
    return parseQelMessageVisit(membuf, bufsize, pdu, maxVariables, nullptr, nullptr);
}

namespace {
int parseMessage(const char *membuf, int bufsize, qelPdu_t *pdu, uint32_t maxVariables, qelVariableVisitor_t visit,
                 void *ctx, TakeableBlock *take);

int parseCaught(const char *membuf, int bufsize, qelPdu_t *pdu, uint32_t maxVariables, qelVariableVisitor_t visit,
                void *ctx, TakeableBlock *take) {
    try {
        return parseMessage(membuf, bufsize, pdu, maxVariables, visit, ctx, take);
    } catch (const std::exception &e) {
        qel::logError("parseQelMessage: %s\n", e.what());
        return -1;
    }
}
} // namespace

extern "C" int parseQelMessageVisit(const char *membuf, int bufsize, qelPdu_t *pdu, uint32_t maxVariables,
                                    qelVariableVisitor_t visit, void *ctx) {
    return parseCaught(membuf, bufsize, pdu, maxVariables, visit, ctx, nullptr);
}

int qel_internal::parseQelMessageTaking(char *membuf, int bufsize, qelPdu_t *pdu, TakeableBlock &take) {
    return parseCaught(membuf, bufsize, pdu, 0, nullptr, nullptr, &take);
}

namespace {
// The start of a buffer that is not XML, control and non-ASCII bytes as 'X'.
void logUnparsable(const char *membuf, int bufsize) {
    qel::logError("parseQelMessage: xml parse error\n");
#ifndef _WIN32 // the Windows client reports the error alone
    qel::logError("parseQelMessage: erroneous buffer is: \n");
    char shown[33];
    int n = bufsize < 32 ? bufsize : 32;
    for (int i = 0; i < n; i++) {
        auto ch = static_cast<unsigned char>(membuf[i]);
        shown[i] = (ch < 0x20 || ch == 0x7F || ch >= 0x80) ? 'X' : static_cast<char>(ch);
    }
    shown[n] = '\0';
    qel::logError("%s\n", shown);
#else
    (void)membuf;
    (void)bufsize;
#endif
}

// The root "qel" element's message-id and the message type element under
// it; returns that element, or null.
xmlNode *readEnvelope(xmlNode *root, qelPdu_t *pdu) {
    if (!root) {
        qel::logError("parseQelMessage: empty document\n");
        return nullptr;
    }
    if (!named(root, "qel")) {
        qel::logError("parseQelMessage: document is not an QEL message, %s\n", nameOf(root));
        return nullptr;
    }
    const xmlAttr *idAttr = root->properties;
    const char *id = nullptr;
    if (idAttr && strcmp(reinterpret_cast<const char *>(idAttr->name), "message-id") == 0)
        id = attrValue(idAttr);
    if (!id) {
        qel::logError("parseQelMessage: QEL message has no id\n");
        return nullptr;
    }
    pdu->messageID = strtoll(id, nullptr, 10);

    xmlNode *typeNode = firstElement(root);
    if (!typeNode) {
        qel::logError("parseQelMessage: QEL message has no type\n");
        return nullptr;
    }
    qelMessageType_t type = stringToMessageType(nameOf(typeNode));
    if (type == invalidMsgType) {
        qel::logError("parseQelMessage: invalid QEL message type '%s'\n", nameOf(typeNode));
        return nullptr;
    }
    pdu->msgType = type;
    return typeNode;
}

// error-status, error-index and, for the table messages, tableInfo: the
// elements before the variable list. Returns the last of them, or null.
xmlNode *readStatus(xmlNode *typeNode, qelPdu_t *pdu) {
    xmlNode *n = firstElement(typeNode);
    if (!n) {
        qel::logError("No error-status\n");
        return nullptr;
    }
    if (!named(n, "error-status")) {
        qel::logError("parseQelMessage: no error-status tag '%s'\n", nameOf(n));
        return nullptr;
    }
    const char *text = textOf(n);
    if (!text) {
        printf("No error-status content/value\n");
        fflush(stdout);
        return nullptr;
    }
    pdu->errorStatus = stringToErrorStatus(text);

    n = nextElement(n);
    if (!n) {
        qel::logError("No error-index\n");
        return nullptr;
    }
    if (!named(n, "error-index")) {
        qel::logError("parseQelMessage: no error-index tag '%s'\n", nameOf(n));
        return nullptr;
    }
    text = textOf(n);
    if (!text) {
        qel::logError("No error-index content/value\n");
        return nullptr;
    }
    pdu->errorIndex = static_cast<uint32_t>(strtoul(text, nullptr, 10));

    if (qelMessageHasTableInfo(pdu->msgType)) {
        n = nextElement(n);
        if (!n) {
            qel::logError("No tableInfo\n");
            return nullptr;
        }
        if (parseQelTableInfo(n, pdu) < 0) {
            qel::logError("Failed to parse tableInfo\n");
            return nullptr;
        }
    }
    return n;
}

// The variableList element after `last` and its bindings (those a visiting
// parse has not already taken). Returns 1, -1, or -2 beyond maxVariables.
int readVariableList(xmlNode *last, qelPdu_t *pdu, uint32_t maxVariables, bool visiting) {
    xmlNode *n = nextElement(last);
    if (!n) {
        qel::logError("No variableList\n");
        return -1;
    }
    if (!named(n, "variableList")) {
        qel::logError("parseQelMessage: no variableList tag '%s'\n", nameOf(n));
        return -1;
    }
    if (!n->children && !(visiting && pdu->numberVariables > 0)) {
        qel::logError("parseQelMessage: no variables\n");
        return -1;
    }
    // A visiting parse has taken every binding while reading the text: the
    // walk below then meets only what is not a binding.
    if (!visiting)
        pdu->numberVariables = 0;
    pdu->varList = nullptr;
    pdu->varListTail = nullptr;
    for (xmlNode *c = firstElement(n); c; c = nextElement(c)) {
        // Every binding costs several kilobytes: stop before a request of
        // countless tiny bindings can exhaust the receiver's memory.
        if (maxVariables > 0 && pdu->numberVariables >= maxVariables) {
            qel::logError("parseQelMessage: more than %u variables\n", maxVariables);
            qelPduCleanup(pdu);
            return -2;
        }
        if (c->type != XML_ELEMENT_NODE || !named(c, "variable")) {
            qel::logError("parseQelMessage: did not find variable '%s'\n", nameOf(c));
            qelPduCleanup(pdu);
            return -1;
        }
        if (parseQelVariable(c, pdu) < 0) {
            qel::logError("parseQelMessage: parse variable failed\n");
            qelPduCleanup(pdu);
            return -1;
        }
    }
    return 1;
}

int parseMessage(const char *membuf, int bufsize, qelPdu_t *pdu, uint32_t maxVariables, qelVariableVisitor_t visit,
                 void *ctx, TakeableBlock *take) {
    if (!membuf || !pdu) {
        qel::logError("parseQelMessage: invalid arg(s) membuf/pdu\n");
        return -1;
    }
    if (bufsize <= 24) {
        qel::logError("parseQelMessage: invalid bufsize, %d\n", bufsize);
        return -1;
    }
    if (int scanned =
            qel_scan_builder_form ? readScanned(membuf, bufsize, pdu, maxVariables, visit, ctx, take) : kNotScanned;
        scanned != kNotScanned)
        return scanned;
    initXml();
    VisitParse st{pdu, maxVariables, visit, ctx, nullptr, 0, false, {}, nullptr};
    if (visit)
        pdu->numberVariables = 0;
    DocPtr doc(visit ? readVisiting(membuf, bufsize, st)
                     : DocPtr(xmlReadMemory(membuf, bufsize, nullptr, nullptr, kParseOptions)));
    if (st.failed)
        return st.failed;
    if (!doc) {
        logUnparsable(membuf, bufsize);
        return -1;
    }
    xmlNode *typeNode = readEnvelope(xmlDocGetRootElement(doc.get()), pdu);
    xmlNode *last = typeNode ? readStatus(typeNode, pdu) : nullptr;
    if (!last)
        return -1;
    if (int r = readVariableList(last, pdu, maxVariables, visit != nullptr); r < 0)
        return r;
    return parsed(pdu);
}
} // namespace

extern "C" int parseQelMessageByFilename(const char *filename, qelPdu_t *pdu) {
    if (!filename || !pdu) {
        qel::logError("parseQelMessageByFilename: invalid args\n");
        return -1;
    }
    struct stat st;
    if (stat(filename, &st) != 0) {
        qel::logError("%s: %s\n", "stat failed", std::strerror(errno));
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        qel::logError("%s is not regular\n", filename);
        return -1;
    }
    if (st.st_size > INT_MAX - 5) {
        qel::logError("%s is too large\n", filename);
        return -1;
    }
    size_t size = static_cast<size_t>(st.st_size);
    std::unique_ptr<char, decltype(&free)> buf(static_cast<char *>(malloc(size + 5)), &free);
    if (!buf) {
        qel::logError("%s: %s\n", "malloc failed", std::strerror(errno));
        return -1;
    }
    std::unique_ptr<FILE, decltype(&fclose)> f(fopen(filename, "r"), &fclose);
    if (!f) {
        qel::logError("%s: %s\n", "fopen file failed", std::strerror(errno));
        return -1;
    }
    size_t got = fread(buf.get(), 1, size, f.get());
    if (got != size)
        qel::logError("Read %d rather than %ld\n", static_cast<int>(got), static_cast<long>(size));
    buf.get()[got] = '\0';
    return parseQelMessage(buf.get(), static_cast<int>(got), pdu);
}
