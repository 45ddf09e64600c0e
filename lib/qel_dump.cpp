// Dumps of a message for people: the internal dump, the XML dump and
// libxml2's formatted print.
#include "qel/qel.h"
#include "qel/log.h"
#include "qel/strutil.h"
#include "qel_internal.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

using namespace qel_internal;

namespace {

// Value text of a binding as the dumps show it.
inline const char *dumpValue(const qelVariable_t *v) {
    if (v->valueStrLen > QEL_VALUESTR_LEN - 1 && v->valueBuf)
        return v->valueBuf;
    return v->valueStr;
}

} // namespace

// ---------------------------------------------------------------------------
// Dumps for people

extern "C" int dumpInternalQelHeader(FILE *out, const qelPdu_t *pdu) {
    if (!out || !pdu)
        return -1;
    fprintf(out, "Message: type:%x, id=%lld\n", static_cast<unsigned>(raw(pdu->msgType)),
            static_cast<long long>(pdu->messageID));
    fprintf(out, "errorStatus:%d errorIndex:%d\n", raw(pdu->errorStatus), static_cast<int>(pdu->errorIndex));
    if (hasTableInfo(raw(pdu->msgType)))
        fprintf(out, "TableInfo: mib:%s table:%s key:'%s' maxRows:%d\n", pdu->tableMib, pdu->tableName, pdu->tableKey,
                pdu->maxRows);
    fprintf(out, "Variables: %d\n", static_cast<int>(pdu->numberVariables));
    return 1;
}

void qelAppendVariableLine(std::string &line, const qelVariable_t *v) {
    const qelName_t &nm = v->varName;
    const bool inBuf = v->valueStrLen >= QEL_VALUESTR_LEN;
    if (inBuf) {
        // Formatted by snprintf first: the log's printf check on Windows
        // targets (ms_printf) does not know every length modifier.
        char text[80];
        std::snprintf(text, sizeof text, "dumpInternalQelMessage: valueBuf is 0x%llx\n",
                      static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(v->valueBuf)));
        qel::logInfo("%s", text);
    }
    // Tables print tens of thousands of these lines: put the pieces
    // together directly rather than through a format string.
    line += "\tVar Name:'";
    line += fieldText(nm.mibName);
    line += ',';
    line += fieldText(nm.objName);
    line += ',';
    line += fieldText(nm.key);
    line += "' Syntax:";
    char number[24];
    line.append(number, static_cast<size_t>(putLong(number, raw(v->varSyntax)) - number));
    if (inBuf) {
        line += " Len:";
        line.append(number, static_cast<size_t>(putLong(number, v->valueStrLen) - number));
    }
    line += " Value:'";
    line += inBuf ? std::string_view(dumpValue(v)) : fieldText(v->valueStr);
    line += "'\n";
}

extern "C" int dumpInternalQelVariable(FILE *out, const qelVariable_t *v) {
    if (!out || !v)
        return -1;
    if (v->valueStrLen >= QEL_VALUESTR_LEN)
        fflush(out);
    thread_local std::string line;
    line.clear();
    qelAppendVariableLine(line, v);
    return fwrite(line.data(), 1, line.size(), out) == line.size() ? 1 : -1;
}

extern "C" int dumpInternalQelMessage(const qelPdu_t *pdu) {
    if (!pdu) {
        qel::logError("dumpInternalQelMessage: invalid arg(s)\n");
        return -1;
    }
    dumpInternalQelHeader(stdout, pdu);
    uint32_t counted = 0;
    for (const qelVariable_t *v = pdu->varList; v; v = v->next) {
        counted++;
        dumpInternalQelVariable(stdout, v);
    }
    if (counted != pdu->numberVariables)
        printf("dumpInternalQelMessage: numVars dont match %d %d\n", static_cast<int>(counted),
               static_cast<int>(pdu->numberVariables));
    fflush(stdout);
    return 1;
}

namespace {

// Text of the XML dump written as the builder writes it, so that the first
// XML tool the dump is piped into reads it back; text without markup,
// control or 8-bit characters is the text itself. The result stays valid
// until the next call on the thread: one text per printf.
const char *xmlText(const char *text) {
    const size_t n = strlen(text);
    bool plain = true;
    const size_t len = escapedLen(text, n, &plain);
    if (plain)
        return text;
    thread_local std::string escaped;
    escaped.resize(len);
    putEscaped(escaped.data(), text, n);
    return escaped.c_str();
}

// What the XML dump shows of one binding.
struct XmlDumpBinding {
    const char *mib, *obj, *key, *value;
    int syntax;
};

// The XML dump of a message whose bindings next() yields in order (false
// after the last), printed to standard output.
template <typename Next>
int printXmlDump(const qelPdu_t *pdu, const XmlDumpBinding *first, Next next) {
    const bool tableMode =
        (pdu->tableMib[0] && pdu->tableName[0]) || hasTableInfo(raw(pdu->msgType)) || (first && first->key[0]);
    const Word type = typeName(raw(pdu->msgType));
    const Word status = statusName(raw(pdu->errorStatus));

    printf("%s", kDeclaration.data());
    printf("<qel xmlns=\"%s\" message-id=\"%lld\">\n", QEL_NAMESPACE_URI, static_cast<long long>(pdu->messageID));
    printf("<%s>\n", type.buf);
    printf("<error-status>%s</error-status>\n", status.buf);
    printf("<error-index>%d</error-index>\n", static_cast<int>(pdu->errorIndex));
    if (tableMode) {
        printf("<tableInstance>\n");
        printf(" <tableMibName>%s</tableMibName>\n",
               xmlText(pdu->tableMib[0] ? pdu->tableMib : (first ? first->mib : "")));
        printf(" <tableName>%s</tableName>\n", pdu->tableName[0] ? xmlText(pdu->tableName) : "changeit");
        printf(" <tableKey>%s</tableKey>\n", pdu->tableKey[0] ? xmlText(pdu->tableKey) : "changeit");
        printf(" <tableOps>select</tableOps>\n");
    }
    uint32_t counted = 0;
    std::string rowKey;
    bool rowOpen = false;
    XmlDumpBinding v;
    while (next(v)) {
        counted++;
        const Word syn = syntaxName(v.syntax);
        if (tableMode) {
            // A row holds the bindings of one key in a run.
            if (!rowOpen || rowKey != v.key) {
                if (rowOpen)
                    printf(" </tableRow>\n");
                printf(" <tableRow>\n");
                rowKey = v.key;
                rowOpen = true;
            }
            printf("  <columnObjectValue>\n");
            printf("   <objectName>%s</objectName>\n", xmlText(v.obj));
            printf("   <objectSyntax>%s</objectSyntax>\n", syn.buf);
            printf("   <objectAccess>changeit</objectAccess>\n");
            printf("   <objectValue>%s</objectValue>\n", xmlText(v.value));
            printf("   <objectKeyValue>%s</objectKeyValue>\n", xmlText(v.key));
            printf("  </columnObjectValue>\n");
        } else {
            printf("<scalarObjectValue>\n");
            printf(" <mibName>%s</mibName>\n", xmlText(v.mib));
            printf(" <objectName>%s</objectName>\n", xmlText(v.obj));
            printf(" <objectSyntax>%s</objectSyntax>\n", syn.buf);
            printf(" <objectAccess>changeit</objectAccess>\n");
            printf(" <objectValue>%s</objectValue>\n", xmlText(v.value));
            printf("</scalarObjectValue>\n");
        }
    }
    if (tableMode) {
        if (rowOpen)
            printf(" </tableRow>\n");
        printf("</tableInstance>\n");
    }
    printf("</%s>\n", type.buf);
    printf("</qel>\n");
    if (counted != pdu->numberVariables)
        printf("dumpInternalQelMessageXml: numVars dont match %d %d\n", static_cast<int>(counted),
               static_cast<int>(pdu->numberVariables));
    fflush(stdout);
    return 1;
}

XmlDumpBinding dumpFieldsOf(const qelVariable_t *v) {
    return {v->varName.mibName, v->varName.objName, v->varName.key, dumpValue(v), raw(v->varSyntax)};
}

} // namespace

extern "C" int dumpInternalQelMessageXml(const qelPdu_t *pdu) {
    if (!pdu) {
        qel::logError("dumpInternalQelMessageXml: invalid arg(s)\n");
        return -1;
    }
    const qelVariable_t *at = pdu->varList;
    XmlDumpBinding first{};
    if (at)
        first = dumpFieldsOf(at);
    return printXmlDump(pdu, at ? &first : nullptr, [&at](XmlDumpBinding &v) {
        if (!at)
            return false;
        v = dumpFieldsOf(at);
        at = at->next;
        return true;
    });
}

void QelXmlDump::add(const qelVariable_t *v) {
    const XmlDumpBinding b = dumpFieldsOf(v);
    for (const char *field : {b.mib, b.obj, b.key, b.value}) {
        text_.append(field);
        text_ += '\0';
    }
    syntaxes_.push_back(b.syntax);
}

int QelXmlDump::print(const qelPdu_t *pdu) const {
    if (!pdu)
        return -1;
    // Each entry's four texts follow one another in text_.
    const char *at = text_.data();
    auto take = [&at](XmlDumpBinding &v) {
        v.mib = at;
        v.obj = v.mib + strlen(v.mib) + 1;
        v.key = v.obj + strlen(v.obj) + 1;
        v.value = v.key + strlen(v.key) + 1;
        at = v.value + strlen(v.value) + 1;
    };
    XmlDumpBinding first{};
    if (!syntaxes_.empty()) {
        const char *start = at;
        take(first);
        first.syntax = syntaxes_[0];
        at = start;
    }
    size_t i = 0;
    return printXmlDump(pdu, syntaxes_.empty() ? nullptr : &first, [&](XmlDumpBinding &v) {
        if (i == syntaxes_.size())
            return false;
        take(v);
        v.syntax = syntaxes_[i++];
        return true;
    });
}

extern "C" int printQelMessage(const char *buf, int bufsize) {
    if (!buf || bufsize < 32) {
        qel::logError("printQelMessage: invalid args\n");
        return -1;
    }
    initXml();
    // Blank text is dropped so that the formatted dump can indent.
    DocPtr doc(xmlReadMemory(buf, bufsize, nullptr, nullptr, kParseOptions));
    if (!doc)
        return 1;
    xmlChar *mem = nullptr;
    int size = 0;
    xmlDocDumpFormatMemory(doc.get(), &mem, &size, 1);
    if (mem) {
        fwrite(mem, 1, static_cast<size_t>(size), stdout);
        fflush(stdout);
        xmlFree(mem);
    }
    return 1;
}
