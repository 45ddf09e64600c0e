// The parse of QEL messages: the way each message is read chosen, and the
// walk of libxml2's tree.
#include "qel/qel.h"
#include "qel/strutil.h"
#include "qel/bigbuf.h"
#include "qel_internal.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <sys/stat.h>

using namespace qel_internal;

namespace {

std::once_flag xmlInitOnce;
} // namespace

void qel_internal::initXml() { std::call_once(xmlInitOnce, [] { xmlInitParser(); }); }

// ---------------------------------------------------------------------------
// Parser

extern "C" int parseQelTableInfo(void *nodeArg, qelPdu_t *pdu) {
    auto *node = static_cast<xmlNode *>(nodeArg);
    if (!node || !pdu) {
        fprintf(stderr, "parseQelTableInfo: invalid arg(s)\n");
        return -1;
    }
    if (!named(node, "tableInfo")) {
        fprintf(stderr, "%s is not tableInfo\n", nameOf(node));
        return -1;
    }
    if (!node->children) {
        fprintf(stderr, "tableInfo does not have mib, object, key, etc.\n");
        return -1;
    }
    struct Item {
        const char *tag, *missing, *wrongName, *noText;
    };
    static const Item items[] = {
        {"mib", "tableInfo does not contain mib . . .\n", "'%s' is not mib\n", "No mib value\n"},
        {"object", "tableInfo does not contain object . . .\n", "'%s' is not table object\n", "No table object value\n"},
        {"key", "tableInfo does not contain table key . . .\n", "'%s' is not table key\n", "No table key value\n"},
        {"max-rows", "tableInfo does not contain max-rows . . .\n", "'%s' is not table max-rows\n", "No table max-rows value\n"},
    };
    xmlNode *cur = nullptr;
    for (int i = 0; i < 4; i++) {
        cur = i == 0 ? firstElement(node) : nextElement(cur);
        if (!cur) {
            fputs(items[i].missing, stderr);
            return -1;
        }
        if (!named(cur, items[i].tag)) {
            fprintf(stderr, items[i].wrongName, nameOf(cur));
            return -1;
        }
        const char *text = textOf(cur);
        if (!text) {
            fputs(items[i].noText, stderr);
            return -1;
        }
        switch (i) {
        case 0:
            qelCopyField(pdu->tableMib, text);
            break;
        case 1:
            qelCopyField(pdu->tableName, text);
            break;
        case 2:
            qelCopyField(pdu->tableKey, text);
            break;
        default:
            pdu->maxRows = atoi(text);
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
        fputs("value too long\n", stderr);
        return -1;
    }
    // A large value (a whole document) goes on huge pages: it is written
    // whole at once, and page by page it would cost a fault per 4 KiB.
    v->valueBuf = static_cast<char *>(qelAllocLarge(len + 2));
    if (!v->valueBuf) {
        // A binding without its value would pass for an empty one.
        perror("Malloc of value failed");
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
        perror("Malloc of variable failed");
        return nullptr;
    }
    v->valueBuf = nullptr;
    resetVariable(v);
    return v;
}

extern "C" int parseQelVariable(void *nodeArg, qelPdu_t *pdu) {
    auto *varNode = static_cast<xmlNode *>(nodeArg);
    if (!varNode || !pdu) {
        fprintf(stderr, "parseQelVariable: invalid arg(s)\n");
        return -1;
    }
    if (!named(varNode, "variable")) {
        fprintf(stderr, "%s is not a variable\n", nameOf(varNode));
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

extern "C" int parseQelMessageMax(const char *membuf, int bufsize, qelPdu_t *pdu,
                                  uint32_t maxVariables) {
    return parseQelMessageVisit(membuf, bufsize, pdu, maxVariables, nullptr, nullptr);
}

namespace {
int parseMessage(const char *membuf, int bufsize, qelPdu_t *pdu, uint32_t maxVariables, qelVariableVisitor_t visit,
                 void *ctx, TakeableBlock *take);
} // namespace

extern "C" int parseQelMessageVisit(const char *membuf, int bufsize, qelPdu_t *pdu, uint32_t maxVariables,
                                    qelVariableVisitor_t visit, void *ctx) {
    return parseMessage(membuf, bufsize, pdu, maxVariables, visit, ctx, nullptr);
}

int qel_internal::parseQelMessageTaking(char *membuf, int bufsize, qelPdu_t *pdu, TakeableBlock &take) {
    return parseMessage(membuf, bufsize, pdu, 0, nullptr, nullptr, &take);
}

namespace {
int parseMessage(const char *membuf, int bufsize, qelPdu_t *pdu, uint32_t maxVariables, qelVariableVisitor_t visit,
                 void *ctx, TakeableBlock *take) {
    if (!membuf || !pdu) {
        fprintf(stderr, "parseQelMessage: invalid arg(s) membuf/pdu\n");
        return -1;
    }
    if (bufsize <= 24) {
        fprintf(stderr, "parseQelMessage: invalid bufsize, %d\n", bufsize);
        return -1;
    }
    if (int scanned = qel_scan_builder_form ? readScanned(membuf, bufsize, pdu, maxVariables, visit, ctx, take) : kNotScanned;
        scanned != kNotScanned)
        return scanned;
    initXml();
    VisitParse st{pdu, maxVariables, visit, ctx, nullptr, 0, false, {}, nullptr};
    if (visit)
        pdu->numberVariables = 0;
    DocPtr doc(visit ? readVisiting(membuf, bufsize, st) : DocPtr(xmlReadMemory(membuf, bufsize, nullptr, nullptr, kParseOptions)));
    if (st.failed)
        return st.failed;
    if (!doc) {
        fprintf(stderr, "parseQelMessage: xml parse error\n");
#ifndef _WIN32 // the Windows client reports the error alone
        fprintf(stderr, "parseQelMessage: erroneous buffer is: \n");
        char shown[33];
        int n = bufsize < 32 ? bufsize : 32;
        for (int i = 0; i < n; i++) {
            auto ch = static_cast<unsigned char>(membuf[i]);
            shown[i] = (ch < 0x20 || ch == 0x7F || ch >= 0x80) ? 'X' : static_cast<char>(ch);
        }
        shown[n] = '\0';
        fprintf(stderr, "%s\n", shown);
#endif
        return -1;
    }
    xmlNode *root = xmlDocGetRootElement(doc.get());
    if (!root) {
        fprintf(stderr, "parseQelMessage: empty document\n");
        return -1;
    }
    if (!named(root, "qel")) {
        fprintf(stderr, "parseQelMessage: document is not an QEL message, %s\n", nameOf(root));
        return -1;
    }
    const xmlAttr *idAttr = root->properties;
    const char *id = nullptr;
    if (idAttr && strcmp(reinterpret_cast<const char *>(idAttr->name), "message-id") == 0)
        id = attrValue(idAttr);
    if (!id) {
        fprintf(stderr, "parseQelMessage: QEL message has no id\n");
        return -1;
    }
    pdu->messageID = strtoll(id, nullptr, 10);

    xmlNode *typeNode = firstElement(root);
    if (!typeNode) {
        fprintf(stderr, "parseQelMessage: QEL message has no type\n");
        return -1;
    }
    qelMessageType_t type = stringToMessageType(nameOf(typeNode));
    if (type == invalidMsgType) {
        fprintf(stderr, "parseQelMessage: invalid QEL message type '%s'\n", nameOf(typeNode));
        return -1;
    }
    pdu->msgType = type;

    xmlNode *n = firstElement(typeNode);
    if (!n) {
        fprintf(stderr, "No error-status\n");
        return -1;
    }
    if (!named(n, "error-status")) {
        fprintf(stderr, "parseQelMessage: no error-status tag '%s'\n", nameOf(n));
        return -1;
    }
    const char *text = textOf(n);
    if (!text) {
        printf("No error-status content/value\n");
        fflush(stdout);
        return -1;
    }
    pdu->errorStatus = stringToErrorStatus(text);

    n = nextElement(n);
    if (!n) {
        fprintf(stderr, "No error-index\n");
        return -1;
    }
    if (!named(n, "error-index")) {
        fprintf(stderr, "parseQelMessage: no error-index tag '%s'\n", nameOf(n));
        return -1;
    }
    text = textOf(n);
    if (!text) {
        fprintf(stderr, "No error-index content/value\n");
        return -1;
    }
    pdu->errorIndex = static_cast<uint32_t>(strtoul(text, nullptr, 10));

    if (qelMessageHasTableInfo(type)) {
        n = nextElement(n);
        if (!n) {
            fprintf(stderr, "No tableInfo\n");
            return -1;
        }
        if (parseQelTableInfo(n, pdu) < 0) {
            fprintf(stderr, "Failed to parse tableInfo\n");
            return -1;
        }
    }

    n = nextElement(n);
    if (!n) {
        fprintf(stderr, "No variableList\n");
        return -1;
    }
    if (!named(n, "variableList")) {
        fprintf(stderr, "parseQelMessage: no variableList tag '%s'\n", nameOf(n));
        return -1;
    }
    if (!n->children && !(visit && pdu->numberVariables > 0)) {
        fprintf(stderr, "parseQelMessage: no variables\n");
        return -1;
    }
    // A visiting parse has taken every binding while reading the text: the
    // walk below then meets only what is not a binding.
    if (!visit)
        pdu->numberVariables = 0;
    pdu->varList = nullptr;
    pdu->varListTail = nullptr;
    for (xmlNode *c = firstElement(n); c; c = nextElement(c)) {
        // Every binding costs several kilobytes: stop before a request of
        // countless tiny bindings can exhaust the receiver's memory.
        if (maxVariables > 0 && pdu->numberVariables >= maxVariables) {
            fprintf(stderr, "parseQelMessage: more than %u variables\n", maxVariables);
            qelPduCleanup(pdu);
            return -2;
        }
        if (c->type != XML_ELEMENT_NODE || !named(c, "variable")) {
            fprintf(stderr, "parseQelMessage: did not find variable '%s'\n", nameOf(c));
            qelPduCleanup(pdu);
            return -1;
        }
        if (parseQelVariable(c, pdu) < 0) {
            fprintf(stderr, "parseQelMessage: parse variable failed\n");
            qelPduCleanup(pdu);
            return -1;
        }
    }
    return parsed(pdu);
}
} // namespace

extern "C" int parseQelMessageByFilename(const char *filename, qelPdu_t *pdu) {
    if (!filename || !pdu) {
        fprintf(stderr, "parseQelMessageByFilename: invalid args\n");
        return -1;
    }
    struct stat st;
    if (stat(filename, &st) != 0) {
        perror("stat failed");
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        fprintf(stderr, "%s is not regular\n", filename);
        return -1;
    }
    if (st.st_size > INT_MAX - 5) {
        fprintf(stderr, "%s is too large\n", filename);
        return -1;
    }
    size_t size = static_cast<size_t>(st.st_size);
    std::unique_ptr<char, decltype(&free)> buf(static_cast<char *>(malloc(size + 5)), &free);
    if (!buf) {
        perror("malloc failed");
        return -1;
    }
    std::unique_ptr<FILE, decltype(&fclose)> f(fopen(filename, "r"), &fclose);
    if (!f) {
        perror("fopen file failed");
        return -1;
    }
    size_t got = fread(buf.get(), 1, size, f.get());
    if (got != size)
        fprintf(stderr, "Read %d rather than %ld\n", static_cast<int>(got), static_cast<long>(size));
    buf.get()[got] = '\0';
    return parseQelMessage(buf.get(), static_cast<int>(got), pdu);
}
