// QEL message model and XML codec, and the dumps of a message for people.
#include "qel/qel.h"
#include "qel/bigbuf.h"
#include "qel/reply_stream.h"
#include "qel/strutil.h"

#include <libxml/parser.h>
#include <libxml/SAX2.h>
#include <libxml/parserInternals.h>
#include <libxml/tree.h>

#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>
#include <sys/stat.h>

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

// Enumerations in records written by other modules may hold any int; they
// are read as ints so that no out-of-range enumerator is ever loaded.
template <typename E> inline int raw(const E &e) {
    static_assert(sizeof(E) == sizeof(int));
    int v;
    memcpy(&v, &e, sizeof v);
    return v;
}

inline bool hasTableInfo(int type) { return type > 4 && type < 128; }

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

// Copies a name into a caller's string of maxlen bytes; returns the length written.
int putWord(char *str, int maxlen, std::string_view word) {
    if (maxlen <= 0)
        return 0;
    return static_cast<int>(qelCopyMem(str, static_cast<size_t>(maxlen), word.data(), word.size()));
}

// A type, status or syntax name as the builder and the XML dump write it.
// Unknown values get the words the conversions give them; a status without
// a name is written as empty text.
struct Word {
    char buf[32];
    size_t len;
};

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

// ---------------------------------------------------------------------------
// Escaping of text for the wire. Everything the builder inserts must read
// back unchanged through any XML parser: markup characters become entity
// references, text outside 7-bit ASCII becomes character references (the
// declaration announces US-ASCII), and control characters XML cannot carry
// become '?'.

enum : unsigned char { kPlain = 0, kAmp, kLt, kGt, kCr, kCtl, kHigh };

struct ByteClasses {
    unsigned char c[256];
    constexpr ByteClasses() : c() {
        for (int i = 0; i < 256; i++)
            c[i] = kPlain;
        for (int i = 0; i < 0x20; i++)
            c[i] = kCtl;
        c[static_cast<int>('\t')] = kPlain;
        c[static_cast<int>('\n')] = kPlain;
        c[static_cast<int>('\r')] = kCr;
        c[static_cast<int>('&')] = kAmp;
        c[static_cast<int>('<')] = kLt;
        c[static_cast<int>('>')] = kGt;
        for (int i = 0x80; i < 256; i++)
            c[i] = kHigh;
    }
};
constexpr ByteClasses kClass;

// Decodes one UTF-8 sequence at s (s[0] >= 0x80). Returns its length and
// stores the code point, or returns 0 when the bytes are not valid UTF-8
// (overlong forms, surrogates and values past U+10FFFF included).
size_t decodeUtf8(const unsigned char *s, size_t avail, uint32_t *cp) {
    unsigned char b = s[0];
    size_t n;
    uint32_t v, min;
    if (b >= 0xC2 && b <= 0xDF) {
        n = 2, v = b & 0x1F, min = 0x80;
    } else if (b >= 0xE0 && b <= 0xEF) {
        n = 3, v = b & 0x0F, min = 0x800;
    } else if (b >= 0xF0 && b <= 0xF4) {
        n = 4, v = b & 0x07, min = 0x10000;
    } else {
        return 0;
    }
    if (avail < n)
        return 0;
    for (size_t i = 1; i < n; i++) {
        if ((s[i] & 0xC0) != 0x80)
            return 0;
        v = (v << 6) | (s[i] & 0x3F);
    }
    if (v < min || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF))
        return 0;
    *cp = v;
    return n;
}

// Characters XML 1.0 cannot carry even as a reference.
inline bool xmlForbidden(uint32_t cp) { return cp == 0xFFFE || cp == 0xFFFF; }

inline size_t hexDigits(uint32_t v) {
    size_t n = 1;
    while (v >>= 4)
        n++;
    return n;
}

// Whether any of the 8 bytes of w may need escaping: a control character
// (tab and line feed included, sorted out by the byte loop), an 8-bit
// byte, '&', '<' or '>'.
inline bool mayNeedEscaping(uint64_t w) {
    constexpr uint64_t ones = 0x0101010101010101ULL, highs = 0x8080808080808080ULL;
    auto zeroByte = [](uint64_t x) { return (x - ones) & ~x & highs; };
    const uint64_t below20 = (w - ones * 0x20) & ~w;
    return ((below20 | w) & highs) || zeroByte(w ^ (ones * '&')) || zeroByte(w ^ (ones * '<')) ||
           zeroByte(w ^ (ones * '>'));
}

// Index of the first byte that needs escaping, or n. Eight bytes at a time
// while they are all plain: most text is.
inline size_t plainPrefix(const unsigned char *s, size_t n) {
    size_t i = 0;
    for (uint64_t w; i + 8 <= n; i += 8) {
        memcpy(&w, s + i, 8);
        if (mayNeedEscaping(w))
            break;
    }
    while (i < n && kClass.c[s[i]] == kPlain)
        i++;
    return i;
}

// Length of the escaped form of n bytes of s; *plain tells whether that
// form is the text itself.
size_t escapedLen(const char *text, size_t n, bool *plain = nullptr) {
    const auto *s = reinterpret_cast<const unsigned char *>(text);
    size_t i = plainPrefix(s, n);
    if (plain)
        *plain = i == n;
    if (i == n)
        return n;
    size_t out = i;
    while (i < n) {
        switch (kClass.c[s[i]]) {
        case kPlain:
        case kCtl:
            out += 1;
            i += 1;
            break;
        case kAmp:
            out += 5;
            i += 1;
            break;
        case kLt:
        case kGt:
            out += 4;
            i += 1;
            break;
        case kCr:
            out += 5; // &#xD;
            i += 1;
            break;
        default: {
            uint32_t cp = 0;
            size_t len = decodeUtf8(s + i, n - i, &cp);
            if (len == 0) {
                out += 6; // &#xHH;
                i += 1;
            } else {
                out += xmlForbidden(cp) ? 1 : 4 + hexDigits(cp);
                i += len;
            }
        }
        }
    }
    return out;
}

char *putHexRef(char *d, uint32_t v) {
    static const char hex[] = "0123456789ABCDEF";
    *d++ = '&';
    *d++ = '#';
    *d++ = 'x';
    size_t k = hexDigits(v);
    for (size_t j = k; j-- > 0;) {
        d[j] = hex[v & 0xF];
        v >>= 4;
    }
    d += k;
    *d++ = ';';
    return d;
}

// Writes the escaped form of n bytes of s at d; returns the new end.
char *putEscaped(char *d, const char *text, size_t n) {
    const auto *s = reinterpret_cast<const unsigned char *>(text);
    size_t i = 0;
    while (i < n) {
        size_t run = plainPrefix(s + i, n - i);
        memcpy(d, s + i, run);
        d += run;
        i += run;
        if (i == n)
            break;
        switch (kClass.c[s[i]]) {
        case kAmp:
            memcpy(d, "&amp;", 5), d += 5;
            i += 1;
            break;
        case kLt:
            memcpy(d, "&lt;", 4), d += 4;
            i += 1;
            break;
        case kGt:
            memcpy(d, "&gt;", 4), d += 4;
            i += 1;
            break;
        case kCr:
            memcpy(d, "&#xD;", 5), d += 5;
            i += 1;
            break;
        case kCtl:
            *d++ = '?';
            i += 1;
            break;
        default: {
            uint32_t cp = 0;
            size_t len = decodeUtf8(s + i, n - i, &cp);
            if (len == 0) {
                d = putHexRef(d, s[i]);
                i += 1;
            } else {
                if (xmlForbidden(cp))
                    *d++ = '?';
                else
                    d = putHexRef(d, cp);
                i += len;
            }
        }
        }
    }
    return d;
}

// ---------------------------------------------------------------------------
// Builder helpers

inline char *put(char *d, std::string_view s) {
    memcpy(d, s.data(), s.size());
    return d + s.size();
}

inline char *putLong(char *d, long long v) {
    char tmp[24];
    int n = 0;
    unsigned long long u = v < 0 ? 0ULL - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v);
    do {
        tmp[n++] = static_cast<char>('0' + u % 10);
        u /= 10;
    } while (u);
    if (v < 0)
        *d++ = '-';
    while (n)
        *d++ = tmp[--n];
    return d;
}

inline size_t decimalLen(long long v) {
    char tmp[24];
    return static_cast<size_t>(putLong(tmp, v) - tmp);
}

// The value text of a binding: valueBuf when present, else valueStr.
inline std::string_view valueText(const qelVariable_t *v) {
    if (v->valueBuf)
        return std::string_view(v->valueBuf);
    return std::string_view(v->valueStr, strnlen(v->valueStr, sizeof v->valueStr));
}

template <size_t N> inline std::string_view fieldText(const char (&f)[N]) {
    return std::string_view(f, strnlen(f, N));
}

constexpr std::string_view kDeclaration = "<?xml version=\"1.0\" encoding='US-ASCII' ?>\n";
constexpr std::string_view kRootOpen = "<qel xmlns=\"" QEL_NAMESPACE_URI "\" message-id=\"";

// Fixed text of one variable besides names, syntax and value.
constexpr std::string_view kVarOpen = "<variable>\n<varname><mib>";
constexpr std::string_view kObjOpen = "</mib><object>";
constexpr std::string_view kKeyOpen = "</object><key>";
constexpr std::string_view kKeyClose = "</key></varname>\n";
constexpr std::string_view kKeyEmpty = "</object><key/></varname>\n";
constexpr std::string_view kNullValue = "<varvalue vartype=\"nullSyntax\"/>\n</variable>\n";
constexpr std::string_view kValueOpen = "<varvalue vartype=\"";
constexpr std::string_view kValueClose = "</varvalue>\n</variable>\n";

// Exact length of the table info block.
size_t tableInfoLen(const qelPdu_t *pdu) {
    return std::string_view("<tableInfo>\n<mib></mib>\n<object></object>\n<key></key>\n<max-rows></max-rows>\n</tableInfo>\n").size() +
           escapedLen(pdu->tableMib, strnlen(pdu->tableMib, sizeof pdu->tableMib)) +
           escapedLen(pdu->tableName, strnlen(pdu->tableName, sizeof pdu->tableName)) +
           escapedLen(pdu->tableKey, strnlen(pdu->tableKey, sizeof pdu->tableKey)) + decimalLen(pdu->maxRows);
}

// ---------------------------------------------------------------------------
// Parser helpers

std::once_flag xmlInitOnce;

// The library must be initialised once before threads parse concurrently;
// the cleanup side is left to the program, which alone knows when no
// thread uses libxml2 any more.
void initXml() { std::call_once(xmlInitOnce, [] { xmlInitParser(); }); }

// Error reports of libxml2 are silenced: the codec prints its own.
// Blank text between elements is dropped while parsing (the walk below
// skips it anyway); libxml2 keeps the white space an element holds alone,
// so white-space values and empty lists read the same. Short texts are
// stored inside their nodes.
constexpr int kParseOptions = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING | XML_PARSE_NOBLANKS | XML_PARSE_COMPACT;

struct DocFree {
    void operator()(xmlDoc *d) const { xmlFreeDoc(d); }
};
using DocPtr = std::unique_ptr<xmlDoc, DocFree>;

inline bool isBlank(const xmlNode *n) {
    return n->type == XML_TEXT_NODE && xmlIsBlankNode(const_cast<xmlNode *>(n));
}

// This node or the first sibling after it that is not whitespace-only text
// or a comment.
inline xmlNode *skipBlanks(xmlNode *n) {
    while (n && (n->type == XML_COMMENT_NODE || isBlank(n)))
        n = n->next;
    return n;
}

inline xmlNode *firstElement(xmlNode *parent) { return skipBlanks(parent->children); }
inline xmlNode *nextElement(xmlNode *n) { return skipBlanks(n->next); }

// Only an element is the element asked for. libxml2 leaves CDATA sections
// without a name, and a peer may put one wherever an element belongs.
inline bool named(const xmlNode *n, const char *name) {
    return n->type == XML_ELEMENT_NODE && n->name && strcmp(reinterpret_cast<const char *>(n->name), name) == 0;
}
// For messages: the name, or the DOM's name for a node that has none.
inline const char *nameOf(const xmlNode *n) {
    return n->name ? reinterpret_cast<const char *>(n->name) : "#cdata-section";
}

// The text an element holds: its first child when that is text.
inline const char *textOf(const xmlNode *n) {
    const xmlNode *c = n->children;
    if (c && (c->type == XML_TEXT_NODE || c->type == XML_CDATA_SECTION_NODE) && c->content)
        return reinterpret_cast<const char *>(c->content);
    return nullptr;
}

inline const char *attrValue(const xmlAttr *a) {
    const xmlNode *c = a->children;
    if (c && c->content && c->content[0])
        return reinterpret_cast<const char *>(c->content);
    return nullptr;
}

// The rest of what reading a binding asks of its elements.
inline bool hasChildren(const xmlNode *n) { return n->children != nullptr; }
inline bool hasAttribute(const xmlNode *n) { return n->properties != nullptr; }
inline const char *attributeName(const xmlNode *n) { return reinterpret_cast<const char *>(n->properties->name); }
inline const char *attributeText(const xmlNode *n) { return attrValue(n->properties); }

// A value is the first child that is not blank; a value made only of white
// space is the one blank text the element holds.
inline const char *contentOf(xmlNode *valNode) {
    xmlNode *c = skipBlanks(valNode->children);
    if (c)
        return c->type == XML_TEXT_NODE || c->type == XML_CDATA_SECTION_NODE ? reinterpret_cast<const char *>(c->content)
                                                                             : nullptr;
    if (valNode->children && valNode->children->type == XML_TEXT_NODE)
        return reinterpret_cast<const char *>(valNode->children->content);
    return nullptr;
}

void appendVariable(qelPdu_t *pdu, qelVariable_t *v) {
    v->next = nullptr;
    if (pdu->varListTail)
        pdu->varListTail->next = v;
    else
        pdu->varList = v;
    pdu->varListTail = v;
    pdu->numberVariables++;
}

void freeVariable(qelVariable_t *v) {
    free(v->valueBuf);
    free(v);
}

// Value text of a binding as the dumps show it.
inline const char *dumpValue(const qelVariable_t *v) {
    if (v->valueStrLen > QEL_VALUESTR_LEN - 1 && v->valueBuf)
        return v->valueBuf;
    return v->valueStr;
}

} // namespace

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

namespace {

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

} // namespace

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
// Builder

namespace {

// Header of a message up to and including the opening of its variable list.
size_t headerLen(const qelPdu_t *pdu, const Word &type, const Word &status) {
    size_t len = kDeclaration.size() + kRootOpen.size() + decimalLen(pdu->messageID) + 4 /* "\">\n<" */ + type.len +
                 std::string_view(">\n<error-status>").size() + status.len +
                 std::string_view("</error-status>\n<error-index>").size() +
                 decimalLen(static_cast<int32_t>(pdu->errorIndex)) + std::string_view("</error-index>\n").size() +
                 std::string_view("<variableList>\n").size();
    if (hasTableInfo(raw(pdu->msgType)))
        len += tableInfoLen(pdu);
    return len;
}

char *putHeader(char *d, const qelPdu_t *pdu, const Word &type, const Word &status) {
    d = put(d, kDeclaration);
    d = put(d, kRootOpen);
    d = putLong(d, pdu->messageID);
    d = put(d, "\">\n<");
    d = put(d, std::string_view(type.buf, type.len));
    d = put(d, ">\n<error-status>");
    d = put(d, std::string_view(status.buf, status.len));
    d = put(d, "</error-status>\n<error-index>");
    d = putLong(d, static_cast<int32_t>(pdu->errorIndex)); // written signed, as peers expect
    d = put(d, "</error-index>\n");
    if (hasTableInfo(raw(pdu->msgType))) {
        d = put(d, "<tableInfo>\n<mib>");
        d = putEscaped(d, pdu->tableMib, strnlen(pdu->tableMib, sizeof pdu->tableMib));
        d = put(d, "</mib>\n<object>");
        d = putEscaped(d, pdu->tableName, strnlen(pdu->tableName, sizeof pdu->tableName));
        d = put(d, "</object>\n<key>");
        d = putEscaped(d, pdu->tableKey, strnlen(pdu->tableKey, sizeof pdu->tableKey));
        d = put(d, "</key>\n<max-rows>");
        d = putLong(d, pdu->maxRows);
        d = put(d, "</max-rows>\n</tableInfo>\n");
    }
    return put(d, "<variableList>\n");
}

// Closing of the list, the type element and the root, without the NUL.
size_t trailerLen(const Word &type) {
    return std::string_view("</variableList>\n</").size() + type.len + std::string_view(">\n</qel>\n").size();
}

char *putTrailer(char *d, const Word &type) {
    d = put(d, "</variableList>\n</");
    d = put(d, std::string_view(type.buf, type.len));
    return put(d, ">\n</qel>\n");
}

// One binding measured for writing: its texts, what escaping makes of them
// and the exact length of its XML. Not copyable: the syntax text may point
// into the object itself.
struct VarXml {
    std::string_view mib, obj, key, syntax, val;
    bool pmib = true, pobj = true, pkey = true, pval = true;
    bool null;
    Word unknown;
    size_t emib, eobj, ekey, eval = 0;
    size_t len;

    explicit VarXml(const qelVariable_t *v)
        : mib(fieldText(v->varName.mibName)), obj(fieldText(v->varName.objName)), key(fieldText(v->varName.key)),
          null(raw(v->varSyntax) == nullSyntax) {
        emib = escapedLen(mib.data(), mib.size(), &pmib);
        eobj = escapedLen(obj.data(), obj.size(), &pobj);
        ekey = escapedLen(key.data(), key.size(), &pkey);
        len = kVarOpen.size() + emib + kObjOpen.size() + eobj +
              (key.empty() ? kKeyEmpty.size() : kKeyOpen.size() + ekey + kKeyClose.size());
        if (null) {
            len += kNullValue.size();
            return;
        }
        const int syn = raw(v->varSyntax);
        syntax = syntaxWord(syn);
        if (syntax.empty()) {
            unknown = syntaxName(syn);
            syntax = std::string_view(unknown.buf, unknown.len);
        }
        val = valueText(v);
        eval = escapedLen(val.data(), val.size(), &pval);
        len += kValueOpen.size() + syntax.size() + 2 + eval + kValueClose.size();
    }
    VarXml(const VarXml &) = delete;
    VarXml &operator=(const VarXml &) = delete;

    char *write(char *d) const {
        d = put(d, kVarOpen);
        d = pmib ? put(d, mib) : putEscaped(d, mib.data(), mib.size());
        d = put(d, kObjOpen);
        d = pobj ? put(d, obj) : putEscaped(d, obj.data(), obj.size());
        if (key.empty()) {
            d = put(d, kKeyEmpty);
        } else {
            d = put(d, kKeyOpen);
            d = pkey ? put(d, key) : putEscaped(d, key.data(), key.size());
            d = put(d, kKeyClose);
        }
        if (null)
            return put(d, kNullValue);
        d = put(d, kValueOpen);
        d = put(d, syntax);
        d = put(d, "\">");
        d = pval ? put(d, val) : putEscaped(d, val.data(), val.size());
        return put(d, kValueClose);
    }
};

// Each record spans several kilobytes, of which a few lines are read: ask
// for the next record's lines while this one is written.
inline void prefetchVariable(const qelVariable_t *n) {
    if (!n)
        return;
    __builtin_prefetch(n->varName.mibName);
    __builtin_prefetch(n->varName.objName);
    __builtin_prefetch(n->varName.key);
    __builtin_prefetch(&n->varSyntax);
    __builtin_prefetch(&n->valueStrLen);
}

} // namespace

extern "C" int buildQelMessage(const qelPdu_t *pdu, char *buf, int buflen, int *needed) {
    if (!pdu || !buf) {
        fprintf(stderr, "buildQelMessage: invalid args\n");
        return -1;
    }
    if (static_cast<const void *>(pdu) == static_cast<const void *>(buf))
        fprintf(stderr, "buildQelMessage: pdu = buffer!\n");

    const Word type = typeName(raw(pdu->msgType));
    const Word status = statusName(raw(pdu->errorStatus));
    const size_t room = buflen > 0 ? static_cast<size_t>(buflen) : 0;

    // The estimate callers size their buffers by, grown by what escaping
    // adds and by the table info. The exact length is counted alongside, so
    // that no record, however inconsistent, can make the builder overrun.
    // Records are large and a message may hold many, so the list is walked
    // once: each binding is measured and, while it fits, written at once.
    long long estimate = 355 + 140LL * pdu->numberVariables;
    if (hasTableInfo(raw(pdu->msgType)))
        estimate += static_cast<long long>(tableInfoLen(pdu));
    const size_t tail = trailerLen(type) + 1;
    size_t used = headerLen(pdu, type, status);
    bool fits = used + tail <= room;
    char *d = buf;
    if (fits)
        d = putHeader(d, pdu, type, status);

    uint32_t counted = 0;
    for (const qelVariable_t *v = pdu->varList; v; v = v->next) {
        counted++;
        prefetchVariable(v->next);
        const VarXml x(v);
        estimate += static_cast<long long>(v->valueStrLen) + 2 + 20 + 5 + static_cast<long long>(x.emib + x.eobj + x.ekey);
        if (!x.null)
            estimate += static_cast<long long>(x.eval) - v->valueStrLen;
        if (fits && used + x.len + tail > room)
            fits = false;
        used += x.len;
        if (fits)
            d = x.write(d);
    }
    if (counted != pdu->numberVariables) {
        fprintf(stderr, "buildQelMessage: msg:%x numVariables does not match %d %d\n", static_cast<unsigned>(raw(pdu->msgType)),
                static_cast<int>(counted), static_cast<int>(pdu->numberVariables));
        dumpInternalQelMessage(pdu);
    }
    used += tail;
    if (estimate < static_cast<long long>(used))
        estimate = static_cast<long long>(used);
    if (estimate > INT_MAX)
        estimate = INT_MAX;
    if (estimate > buflen || !fits) {
        if (qel_session_verbose)
            fprintf(stderr, "buildQelMessage: insufficient buffer size, %d %d\n", static_cast<int>(estimate), buflen);
        if (needed)
            *needed = static_cast<int>(estimate);
        return -1;
    }
    d = putTrailer(d, type);
    int len = static_cast<int>(d - buf);
    if (len >= buflen) {
        // Cannot happen: every piece was measured before it was written.
        fprintf(stderr, "buildQelMessage: overwritten mem buf, %d>%d, est:%d, vars:%d\n", len, buflen, static_cast<int>(estimate),
                static_cast<int>(pdu->numberVariables));
    } else {
        *d = '\0';
    }
    if (qel_session_verbose)
        fprintf(stderr, "buildQelMessage: len:%d, buflen:%d, estimate:%d\n", len, buflen, static_cast<int>(estimate));
    return len;
}

// ---------------------------------------------------------------------------
// Streamed replies

namespace {
thread_local QelReplyStream *boundStream = nullptr;
} // namespace

QelReplyStream::QelReplyStream(const qelPdu_t *pdu) : pdu_(pdu), previous_(boundStream) { boundStream = this; }

QelReplyStream::~QelReplyStream() {
    boundStream = previous_;
}

QelReplyStream *QelReplyStream::current() { return boundStream; }

bool QelReplyStream::reserve(size_t more) {
    if (used_ + more <= buf_.capacity())
        return true;
    size_t want = buf_.capacity() ? buf_.capacity() : 64 * 1024;
    while (want < used_ + more) {
        if (want > SIZE_MAX / 2)
            return false;
        want *= 2;
    }
    return buf_.grow(want);
}

bool QelReplyStream::append(const qelVariable_t *v) {
    const VarXml x(v);
    if (!reserve(x.len))
        return false;
    x.write(buf_.data() + used_);
    used_ += x.len;
    ++count_;
    return true;
}

void QelReplyStream::discard() {
    buf_.release();
    used_ = kHeadRoom;
    count_ = 0;
}

int QelReplyStream::build(const char **message, std::vector<char> &spill) {
    const Word type = typeName(raw(pdu_->msgType));
    const Word status = statusName(raw(pdu_->errorStatus));
    const size_t head = headerLen(pdu_, type, status);
    size_t linked = 0;
    for (const qelVariable_t *v = pdu_->varList; v; v = v->next)
        linked += VarXml(v).len;
    const size_t tail = trailerLen(type);
    const size_t total = head + bytes() + linked + tail;
    if (total >= INT_MAX) {
        fprintf(stderr, "QelReplyStream: reply of %zu bytes is too large\n", total);
        return -1;
    }
    char *start;
    char *d;
    if (head <= kHeadRoom) {
        if (!reserve(linked + tail + 1))
            return -1;
        start = buf_.data() + kHeadRoom - head;
        putHeader(start, pdu_, type, status);
        d = buf_.data() + used_;
    } else {
        try {
            spill.resize(total + 1);
        } catch (const std::bad_alloc &) {
            return -1;
        }
        start = spill.data();
        d = putHeader(start, pdu_, type, status);
        d = put(d, std::string_view(buf_.data() ? buf_.data() + kHeadRoom : "", bytes()));
    }
    for (const qelVariable_t *v = pdu_->varList; v; v = v->next)
        d = VarXml(v).write(d);
    d = putTrailer(d, type);
    *d = '\0';
    *message = start;
    return static_cast<int>(total);
}

extern "C" int qelReplyAppend(qelPdu_t *pdu, qelVariable_t *v) {
    if (!pdu || !v) {
        if (v)
            freeVariable(v);
        return -1;
    }
    QelReplyStream *stream = boundStream;
    if (!stream || !stream->boundTo(pdu)) {
        appendVariable(pdu, v);
        return 1;
    }
    int result = 1;
    if (stream->append(v)) {
        ++pdu->numberVariables;
    } else {
        fprintf(stderr, "qelReplyAppend: out of memory\n");
        result = -1;
    }
    freeVariable(v);
    return result;
}

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

namespace {

// Stores a binding's value text: in the record, or in valueBuf when it is
// longer. Returns -1 after the message when it cannot be stored.
int storeValue(qelVariable_t *v, const char *value, size_t len) {
    if (len < QEL_VALUESTR_LEN) {
        v->valueStrLen = static_cast<int>(qelCopyMem(v->valueStr, sizeof v->valueStr, value, len));
        return 1;
    }
    if (len > INT_MAX - 2) {
        fputs("value too long\n", stderr);
        return -1;
    }
    v->valueBuf = static_cast<char *>(malloc(len + 2));
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

// Fills v from a <variable> element, whose fields the caller has reset
// (resetVariable). Returns -1 after the message when the element is not a
// binding; v->valueBuf may then hold memory the caller releases.
template <typename Node> int readVariable(Node varNode, qelVariable_t *v) {
    auto fail = [](const char *msg) {
        fputs(msg, stderr);
        return -1;
    };
    auto failName = [](const char *fmt, Node n) {
        fprintf(stderr, fmt, nameOf(n));
        return -1;
    };
    if (!hasChildren(varNode))
        return fail("variable does not have name,value\n");
    Node nameNode = firstElement(varNode);
    if (!nameNode)
        return fail("No varname\n");
    if (!named(nameNode, "varname"))
        return failName("%s should be varname\n", nameNode);

    Node n = firstElement(nameNode);
    if (!n)
        return fail("No mib/object tags\n");
    if (!named(n, "mib"))
        return failName("%s should be mib\n", n);
    const char *text = textOf(n);
    if (!text)
        return fail("No mib value\n");
    qelCopyField(v->varName.mibName, text);

    n = nextElement(n);
    if (!n)
        return fail("missing object tag\n");
    if (!named(n, "object"))
        return failName("%s should be object\n", n);
    text = textOf(n);
    if (!text)
        return fail("No object value\n");
    qelCopyField(v->varName.objName, text);

    n = nextElement(n);
    if (!n)
        return fail("missing key tag\n");
    if (!named(n, "key"))
        return failName("%s should be key\n", n);
    qelCopyField(v->varName.key, textOf(n));

    Node valNode = nextElement(nameNode);
    if (!valNode)
        return fail("missing varvalue tag\n");
    if (!named(valNode, "varvalue"))
        return failName("%s should be varvalue\n", valNode);
    if (!hasAttribute(valNode))
        return fail("No vartype present\n");
    if (strcmp(attributeName(valNode), "vartype") != 0) {
        fprintf(stderr, "%s should be vartype\n", attributeName(valNode));
        return -1;
    }
    const char *vartype = attributeText(valNode);
    if (!vartype)
        return fail("vartype has no value\n");
    v->varSyntax = stringToSyntax(vartype);

    const char *value = contentOf(valNode);
    return value ? storeValue(v, value, strlen(value)) : 1;
}

// The fields a parsed binding starts from. The record is large and mostly
// unused: only the fields and the bytes of text actually held are written.
void resetVariable(qelVariable_t *v) {
    free(v->valueBuf);
    v->valueBuf = nullptr;
    v->next = nullptr;
    v->entryPtr = nullptr;
    v->valueStr[0] = '\0';
    v->valueStrLen = 0;
}

// A fresh record for a parsed binding, or null after the message.
qelVariable_t *newRecord() {
    auto *v = static_cast<qelVariable_t *>(malloc(sizeof(qelVariable_t)));
    if (!v) {
        perror("Malloc of variable failed");
        return nullptr;
    }
    v->valueBuf = nullptr;
    resetVariable(v);
    return v;
}

} // namespace

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

namespace {

// A parse that hands each binding to a visitor as soon as its element has
// been read, then frees the element: neither the tree nor the records grow
// with the number of bindings. The same checks run on each element as in
// the whole-tree walk.
// A binding's elements and text as SAX delivers them, shaped as libxml2's
// tree would hold them (children in order, adjacent text merged, the blank
// runs the parser drops left out), so that readVariable reads them exactly
// as it reads the tree, without the cost of building and freeing it. The
// nodes and their strings are reused from one binding to the next.
struct Captured {
    struct Node {
        bool element = false;
        std::string text; // an element's name, or the text
        bool hasAttr = false;
        std::string attrName, attrText; // the first attribute
        int firstChild = -1, lastChild = -1, next = -1;
    };
    std::vector<Node> nodes;
    size_t used = 0;
    std::vector<int> open; // elements not closed yet, innermost last
    // What the parser's blank-text test sees of each open element: only
    // whether it has children and whether the first and last are text.
    std::vector<xmlNode> shadows;
    xmlNode textMarker{}, elementMarker{};

    Captured() {
        textMarker.type = XML_TEXT_NODE;
        elementMarker.type = XML_ELEMENT_NODE;
    }
    bool capturing() const { return !open.empty(); }

    // A new node, child of the innermost open element.
    int add(bool element) {
        if (used == nodes.size())
            nodes.emplace_back();
        Node &n = nodes[used];
        n.element = element;
        n.text.clear();
        n.hasAttr = false;
        n.firstChild = n.lastChild = n.next = -1;
        const int i = static_cast<int>(used++);
        if (!open.empty()) {
            Node &parent = nodes[static_cast<size_t>(open.back())];
            xmlNode &shadow = shadows[open.size() - 1];
            xmlNode *marker = element ? &elementMarker : &textMarker;
            if (parent.lastChild < 0) {
                parent.firstChild = i;
                shadow.children = marker;
            } else {
                nodes[static_cast<size_t>(parent.lastChild)].next = i;
            }
            parent.lastChild = i;
            shadow.last = marker;
        }
        return i;
    }
    xmlNode *openElement(int i) {
        open.push_back(i);
        if (shadows.size() < open.size())
            shadows.resize(open.size());
        xmlNode &shadow = shadows[open.size() - 1];
        shadow = xmlNode{};
        shadow.type = XML_ELEMENT_NODE;
        shadow.name = reinterpret_cast<const xmlChar *>(nodes[static_cast<size_t>(i)].text.c_str());
        return &shadow;
    }
};

// A captured node as readVariable sees it.
struct CapturedNode {
    const Captured *c;
    int i;
    explicit operator bool() const { return i >= 0; }
    const Captured::Node &node() const { return c->nodes[static_cast<size_t>(i)]; }
    CapturedNode at(int j) const { return {c, j}; }
};

inline bool isBlankText(const Captured::Node &n) {
    return !n.element && n.text.find_first_not_of(" \t\r\n") == std::string::npos;
}
inline CapturedNode skipBlanks(CapturedNode n) {
    while (n && isBlankText(n.node()))
        n = n.at(n.node().next);
    return n;
}
inline CapturedNode firstElement(CapturedNode n) { return skipBlanks(n.at(n.node().firstChild)); }
inline CapturedNode nextElement(CapturedNode n) { return skipBlanks(n.at(n.node().next)); }
inline bool named(CapturedNode n, const char *name) { return n.node().element && n.node().text == name; }
inline const char *nameOf(CapturedNode n) { return n.node().element ? n.node().text.c_str() : "text"; }
inline const char *textOf(CapturedNode n) {
    CapturedNode first = n.at(n.node().firstChild);
    return first && !first.node().element ? first.node().text.c_str() : nullptr;
}
inline bool hasChildren(CapturedNode n) { return n.node().firstChild >= 0; }
inline bool hasAttribute(CapturedNode n) { return n.node().hasAttr; }
inline const char *attributeName(CapturedNode n) { return n.node().attrName.c_str(); }
inline const char *attributeText(CapturedNode n) {
    return n.node().attrText.empty() ? nullptr : n.node().attrText.c_str();
}
inline const char *contentOf(CapturedNode n) {
    if (CapturedNode c = firstElement(n))
        return c.node().element ? nullptr : c.node().text.c_str();
    CapturedNode first = n.at(n.node().firstChild);
    return first && !first.node().element ? first.node().text.c_str() : nullptr;
}

struct VisitParse {
    qelPdu_t *pdu;
    uint32_t maxVariables;
    qelVariableVisitor_t visit;
    void *ctx;
    qelVariable_t *record; // reused for every binding
    int failed;
    bool capture;          // the text allows reading bindings without a tree
    Captured captured;
    xmlNode *list = nullptr; // the list whose binding is being captured
};

// The list of a message's type element.
bool isMessageList(const xmlNode *list) {
    const xmlNode *type = list ? list->parent : nullptr;
    const xmlNode *root = type ? type->parent : nullptr;
    return list && named(list, "variableList") && type && type->type == XML_ELEMENT_NODE && root &&
           named(root, "qel") && root->parent && root->parent->type == XML_DOCUMENT_NODE;
}

// A <variable> directly inside the list of a message's type element.
bool isListedVariable(const xmlNode *n) { return named(n, "variable") && isMessageList(n->parent); }

// Reads one binding and hands it to the visitor; false stops the parse.
template <typename Node> bool takeBinding(VisitParse *st, Node binding) {
    if (st->maxVariables > 0 && st->pdu->numberVariables >= st->maxVariables) {
        fprintf(stderr, "parseQelMessage: more than %u variables\n", st->maxVariables);
        st->failed = -2;
    } else if (resetVariable(st->record), readVariable(binding, st->record) < 0) {
        fprintf(stderr, "parseQelMessage: parse variable failed\n");
        st->failed = -1;
    } else {
        st->pdu->numberVariables++;
        if (st->visit(st->record, st->ctx) != 1) {
            fprintf(stderr, "parseQelMessage: stopped at variable %u\n", st->pdu->numberVariables);
            st->failed = -1;
        }
    }
    return !st->failed;
}

void startElementVisiting(void *ctxArg, const xmlChar *localname, const xmlChar *prefix, const xmlChar *uri,
                          int nbNamespaces, const xmlChar **namespaces, int nbAttributes, int nbDefaulted,
                          const xmlChar **attributes) {
    auto *ctxt = static_cast<xmlParserCtxtPtr>(ctxArg);
    auto *st = static_cast<VisitParse *>(ctxt->_private);
    Captured &cap = st->captured;
    // The tree names a node whose prefix is not declared by its whole name.
    auto treeName = [](std::string &out, const xmlChar *local, const xmlChar *pfx, const xmlChar *ns) {
        out.clear();
        if (pfx && !ns) {
            out += reinterpret_cast<const char *>(pfx);
            out += ':';
        }
        out += reinterpret_cast<const char *>(local);
    };
    if (!cap.capturing()) {
        if (!st->capture || st->failed || strcmp(reinterpret_cast<const char *>(localname), "variable") != 0 ||
            (prefix && !uri) || !isMessageList(ctxt->node)) {
            xmlSAX2StartElementNs(ctxArg, localname, prefix, uri, nbNamespaces, namespaces, nbAttributes, nbDefaulted,
                                  attributes);
            return;
        }
        cap.used = 0;
        st->list = ctxt->node;
    }
    const int i = cap.add(true);
    Captured::Node &n = cap.nodes[static_cast<size_t>(i)];
    treeName(n.text, localname, prefix, uri);
    if (nbAttributes > 0) {
        // localname, prefix, URI, value, end of value. The parser hands an
        // '&' of the value on as "&#38;", which the tree turns back.
        n.hasAttr = true;
        treeName(n.attrName, attributes[0], attributes[1], attributes[2]);
        std::string_view value(reinterpret_cast<const char *>(attributes[3]),
                               static_cast<size_t>(attributes[4] - attributes[3]));
        n.attrText.clear();
        if (value.find('&') == std::string_view::npos) {
            n.attrText.assign(value);
        } else {
            for (size_t at = 0; at < value.size();) {
                if (value.compare(at, 5, "&#38;") == 0) {
                    n.attrText += '&';
                    at += 5;
                } else {
                    n.attrText += value[at++];
                }
            }
        }
    }
    ctxt->node = cap.openElement(i);
}

void charactersVisiting(void *ctxArg, const xmlChar *ch, int len) {
    auto *ctxt = static_cast<xmlParserCtxtPtr>(ctxArg);
    auto *st = static_cast<VisitParse *>(ctxt->_private);
    Captured &cap = st->captured;
    if (!cap.capturing()) {
        xmlSAX2Characters(ctxArg, ch, len);
        return;
    }
    const int last = cap.nodes[static_cast<size_t>(cap.open.back())].lastChild;
    const auto *text = reinterpret_cast<const char *>(ch);
    if (last >= 0 && !cap.nodes[static_cast<size_t>(last)].element)
        cap.nodes[static_cast<size_t>(last)].text.append(text, static_cast<size_t>(len));
    else
        cap.nodes[static_cast<size_t>(cap.add(false))].text.assign(text, static_cast<size_t>(len));
}

void endElementVisiting(void *ctxArg, const xmlChar *localname, const xmlChar *prefix, const xmlChar *uri) {
    auto *ctxt = static_cast<xmlParserCtxtPtr>(ctxArg);
    auto *st = static_cast<VisitParse *>(ctxt->_private);
    Captured &cap = st->captured;
    if (cap.capturing()) {
        cap.open.pop_back();
        if (cap.capturing()) {
            ctxt->node = &cap.shadows[cap.open.size() - 1];
            return;
        }
        // The binding is complete; the list is as if it had never held it.
        ctxt->node = st->list;
        ctxt->nodemem = 0;
        ctxt->nodelen = 0;
        if (!takeBinding(st, CapturedNode{&cap, 0}))
            xmlStopParser(ctxt);
        return;
    }
    xmlNode *closing = ctxt->node;
    xmlSAX2EndElementNs(ctxArg, localname, prefix, uri);
    if (st->failed || !closing || closing->type != XML_ELEMENT_NODE || !isListedVariable(closing))
        return;
    if (!takeBinding(st, closing)) {
        xmlStopParser(ctxt);
        return;
    }
    xmlUnlinkNode(closing);
    xmlFreeNode(closing);
    // The list's last child may now be text whose growth record no longer
    // matches it: make the tree builder measure it afresh.
    ctxt->nodemem = 0;
    ctxt->nodelen = 0;
}

// Bindings are captured without a tree only from text made of elements,
// attributes and character data: no comment, CDATA section, document type
// or processing instruction after the declaration.
bool capturable(const char *text, size_t n) {
    if (n < kDeclaration.size() || std::string_view(text, kDeclaration.size()) != kDeclaration)
        return false;
    // '!' and '?' are rare in messages: find them, then look behind.
    for (char mark : {'!', '?'}) {
        const char *p = text + kDeclaration.size();
        const char *end = text + n;
        while ((p = static_cast<const char *>(memchr(p, mark, static_cast<size_t>(end - p)))) != nullptr) {
            if (p[-1] == '<')
                return false;
            ++p;
        }
    }
    return true;
}

// Messages declare US-ASCII, and libxml2 would pass all of their text
// through a converter into a copy. When the text is the declaration every
// builder writes followed by 7-bit characters only, reading it as UTF-8 is
// the same reading without the copy.
bool plainAsciiMessage(const char *text, size_t n) {
    if (n < kDeclaration.size() || std::string_view(text, kDeclaration.size()) != kDeclaration)
        return false;
    if (memchr(text, '\0', n))
        return false;
    uint64_t any = 0;
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t word;
        memcpy(&word, text + i, 8);
        any |= word;
    }
    for (; i < n; i++)
        any |= static_cast<unsigned char>(text[i]);
    return (any & 0x8080808080808080ULL) == 0;
}

struct ParserCtxtFree {
    void operator()(xmlParserCtxt *c) const {
        if (c->myDoc)
            xmlFreeDoc(c->myDoc);
        xmlFreeParserCtxt(c);
    }
};
struct VariableFree {
    void operator()(qelVariable_t *v) const { freeVariable(v); }
};

// Parses the text, visiting bindings on the way; the document without them,
// or null when the text is not well-formed XML or st->failed was set.
// Where the piece of text that starts at p should end: after the last
// "><" within about kPiece bytes, so that no tag and no text is cut (an
// attribute value may hold '>', never '<').
const char *pieceEnd(const char *p, const char *end) {
    constexpr size_t kPiece = 256 * 1024;
    if (static_cast<size_t>(end - p) <= kPiece)
        return end;
    for (const char *q = p + kPiece - 1; q > p; --q)
        if (q[0] == '>' && q[1] == '<')
            return q + 1;
    const void *next = memmem(p + kPiece, static_cast<size_t>(end - p) - kPiece, "><", 2);
    return next ? static_cast<const char *>(next) + 1 : end;
}

void installVisiting(xmlParserCtxt *ctxt, VisitParse &st) {
    ctxt->sax->startElementNs = startElementVisiting;
    ctxt->sax->characters = charactersVisiting;
    ctxt->sax->endElementNs = endElementVisiting;
    ctxt->_private = &st;
}

DocPtr readVisiting(const char *membuf, int bufsize, VisitParse &st) {
    std::unique_ptr<qelVariable_t, VariableFree> record(newRecord());
    if (!record) {
        st.failed = -1;
        return nullptr;
    }
    st.record = record.get();
    st.capture = capturable(membuf, static_cast<size_t>(bufsize));
    // Plain ASCII text is read as the UTF-8 it also is, ignoring the
    // declared US-ASCII, which would pass every byte through a converter
    // into another copy. A document that is not well-formed comes back null.
    const bool ascii = plainAsciiMessage(membuf, static_cast<size_t>(bufsize));
    std::unique_ptr<xmlParserCtxt, ParserCtxtFree> ctxt;
    DocPtr doc;
    if (st.capture && ascii) {
        // Our own messages are fed to the parser piece by piece, cut
        // between tags, instead of being copied whole into its buffer.
        ctxt.reset(xmlCreatePushParserCtxt(nullptr, nullptr, nullptr, 0, nullptr));
        if (!ctxt)
            return nullptr;
        xmlCtxtUseOptions(ctxt.get(), kParseOptions | XML_PARSE_IGNORE_ENC);
        installVisiting(ctxt.get(), st);
        const char *end = membuf + bufsize;
        for (const char *p = membuf; p < end && !st.failed && !ctxt->disableSAX;) {
            const char *cut = pieceEnd(p, end);
            xmlParseChunk(ctxt.get(), p, static_cast<int>(cut - p), cut == end);
            p = cut;
        }
        if (ctxt->wellFormed && !st.failed && !ctxt->disableSAX) {
            doc.reset(ctxt->myDoc);
            ctxt->myDoc = nullptr;
        }
    } else {
        ctxt.reset(xmlNewParserCtxt());
        if (!ctxt)
            return nullptr;
        installVisiting(ctxt.get(), st);
        doc.reset(xmlCtxtReadMemory(ctxt.get(), membuf, bufsize, nullptr, nullptr,
                                    ascii ? kParseOptions | XML_PARSE_IGNORE_ENC : kParseOptions));
    }
    if (st.captured.capturing() && st.list)
        ctxt->node = st.list; // the parse ended inside a binding
    if (st.failed)
        doc.reset();
    return doc;
}


// ---------------------------------------------------------------------------
// Messages in the builder's own form

// Nearly every message a peer reads was written by buildQelMessage. Text in
// exactly that form -- its tags and line breaks, printable 7-bit text, the
// predefined entities and references to characters XML allows -- is read
// here in one scan, several times faster than through libxml2; any other
// text is left to libxml2. What the scan accepts is well-formed XML, and it
// reads from it what the tree walk reads: the same fields, counts, visits
// and messages. Text the tree walk would read with a doubt of its own (an
// empty or blank field, more bindings than allowed) goes to libxml2 too.

enum : unsigned char { kTextChar, kTextBlank, kTextRef, kTextEnd, kTextOther };

struct TextClasses {
    unsigned char c[256];
    constexpr TextClasses() : c() {
        for (int i = 0; i < 256; i++)
            c[i] = i >= 0x20 && i < 0x7F ? kTextChar : kTextOther;
        c[static_cast<int>(' ')] = kTextBlank;
        c[static_cast<int>('\t')] = kTextBlank;
        c[static_cast<int>('\n')] = kTextBlank;
        c[static_cast<int>('&')] = kTextRef;
        c[static_cast<int>('<')] = kTextEnd;
        // The builder escapes '>', and "]]>" may not stand in text.
        c[static_cast<int>('>')] = kTextOther;
    }
};
constexpr TextClasses kTextClass;

// Characters a reference may name (XML 1.0 Char).
inline bool referableChar(uint32_t cp) {
    return cp == 0x9 || cp == 0xA || cp == 0xD || (cp >= 0x20 && cp <= 0xD7FF) || (cp >= 0xE000 && cp <= 0xFFFD) ||
           (cp >= 0x10000 && cp <= 0x10FFFF);
}

// The character a reference at s (its '&' included) stands for, and its
// length; 0 when the scan does not take it.
size_t readReference(const char *s, const char *end, uint32_t *cp) {
    static constexpr struct {
        std::string_view text;
        char ch;
    } kNamed[] = {{"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
    const auto avail = static_cast<size_t>(end - s);
    for (const auto &e : kNamed) {
        if (avail >= e.text.size() && memcmp(s, e.text.data(), e.text.size()) == 0) {
            *cp = static_cast<unsigned char>(e.ch);
            return e.text.size();
        }
    }
    if (avail < 4 || s[1] != '#')
        return 0;
    const bool hex = s[2] == 'x';
    const char *p = s + (hex ? 3 : 2);
    const char *digits = p;
    uint32_t v = 0;
    for (; p < end && p - digits < 7; ++p) {
        const char ch = *p;
        int d;
        if (ch >= '0' && ch <= '9')
            d = ch - '0';
        else if (hex && ch >= 'a' && ch <= 'f')
            d = ch - 'a' + 10;
        else if (hex && ch >= 'A' && ch <= 'F')
            d = ch - 'A' + 10;
        else
            break;
        v = v * (hex ? 16 : 10) + static_cast<uint32_t>(d);
    }
    if (p == digits || p == end || *p != ';' || !referableChar(v))
        return 0;
    *cp = v;
    return static_cast<size_t>(p + 1 - s);
}

void appendUtf8(std::string &out, uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// A field's text where it stands in the message; refs tells whether it
// holds references to decode.
struct Span {
    uint32_t at = 0;
    uint32_t len : 31 = 0;
    uint32_t refs : 1 = 0;
};

struct ScannedBinding {
    Span mib, obj, key, value; // an empty key or value is absent
    qelSyntax_t syntax;
};

static_assert(std::is_trivially_destructible_v<ScannedBinding>, "bindings are released without destruction");

struct FreeMemory {
    void operator()(void *p) const { free(p); }
};

struct ScannedMessage {
    Span id, status, index, tableMib, tableObj, tableKey, maxRows;
    qelMessageType_t type = invalidMsgType;
    // Room for as many bindings as the text can hold, taken at once: the
    // list of a whole table is neither copied nor faulted in page by page.
    std::unique_ptr<ScannedBinding, FreeMemory> bindings;
    size_t count = 0, room = 0;

    const ScannedBinding *begin() const { return bindings.get(); }
    const ScannedBinding *end() const { return bindings.get() + count; }
};

class MessageScanner {
  public:
    MessageScanner(const char *text, size_t n) : base_(text), p_(text), end_(text + n) {}

    // The whole message, or false when it is not in the builder's form.
    bool scan(ScannedMessage &m, uint32_t maxVariables) {
        Span typeName;
        if (!literal(kDeclaration) || !literal(kRootOpen) || !number(m.id) || !literal("\">\n<") ||
            !word(typeName, '>'))
            return false;
        m.type = typeOfWord(view(typeName));
        if (m.type == invalidMsgType)
            return false;
        if (!literal(">\n<error-status>") || !text(m.status) || !literal("</error-status>\n<error-index>") ||
            !number(m.index) || !literal("</error-index>\n"))
            return false;
        if (hasTableInfo(raw(m.type)) &&
            (!literal("<tableInfo>\n<mib>") || !text(m.tableMib) || !literal("</mib>\n<object>") ||
             !text(m.tableObj) || !literal("</object>\n<key>") || !text(m.tableKey) ||
             !literal("</key>\n<max-rows>") || !number(m.maxRows) || !literal("</max-rows>\n</tableInfo>\n")))
            return false;
        if (!literal("<variableList>\n"))
            return false;
        constexpr size_t kShortestBinding = kVarOpen.size() + 1 + kObjOpen.size() + 1 + kKeyEmpty.size() +
                                            kValueOpen.size() + 3 + std::string_view("\"/>\n</variable>\n").size();
        m.room = static_cast<size_t>(end_ - p_) / kShortestBinding + 1;
        m.bindings.reset(static_cast<ScannedBinding *>(qelAllocLarge(m.room * sizeof(ScannedBinding))));
        if (!m.bindings)
            return false; // libxml2 reads it, or reports the shortage
        while (literal(kVarOpen)) {
            if ((maxVariables > 0 && m.count >= maxVariables) || m.count == m.room)
                return false;
            ScannedBinding &b = *new (m.bindings.get() + m.count++) ScannedBinding{};
            if (!text(b.mib) || !literal(kObjOpen) || !text(b.obj))
                return false;
            if (!literal(kKeyEmpty) && (!literal(kKeyOpen) || !text(b.key) || !literal(kKeyClose)))
                return false;
            Span syntax;
            if (!literal(kValueOpen) || !word(syntax, '"'))
                return false;
            b.syntax = syntaxOfWord(view(syntax));
            if (literal("\"/>\n</variable>\n"))
                continue;
            if (!literal("\">") || (peek() != '<' && !text(b.value)) || !literal(kValueClose))
                return false;
        }
        return literal("</variableList>\n</") && literal(view(typeName)) && literal(">\n</qel>\n") && p_ == end_;
    }

    std::string_view view(const Span &s) const { return std::string_view(base_ + s.at, s.len); }

    // The text a span stands for, references decoded into scratch.
    std::string_view decoded(const Span &s, std::string &scratch) const {
        if (!s.refs)
            return view(s);
        scratch.clear();
        const char *p = base_ + s.at;
        const char *end = p + s.len;
        while (p < end) {
            if (*p != '&') {
                scratch += *p++;
                continue;
            }
            uint32_t cp = 0;
            p += readReference(p, end, &cp);
            appendUtf8(scratch, cp);
        }
        return scratch;
    }

  private:
    char peek() const { return p_ < end_ ? *p_ : '\0'; }

    bool literal(std::string_view s) {
        if (static_cast<size_t>(end_ - p_) < s.size() || memcmp(p_, s.data(), s.size()) != 0)
            return false;
        p_ += s.size();
        return true;
    }

    Span spanFrom(const char *start) const {
        Span s;
        s.at = static_cast<uint32_t>(start - base_);
        s.len = static_cast<uint32_t>(p_ - start) & 0x7FFFFFFF; // messages stay below 2 GiB
        return s;
    }

    // Text up to the next '<': neither empty nor only white space.
    bool text(Span &out) {
        const char *start = p_;
        bool refs = false, blankOnly = true;
        while (p_ < end_) {
            switch (kTextClass.c[static_cast<unsigned char>(*p_)]) {
            case kTextChar:
                blankOnly = false;
                ++p_;
                break;
            case kTextBlank:
                ++p_;
                break;
            case kTextRef: {
                uint32_t cp = 0;
                const size_t n = readReference(p_, end_, &cp);
                if (n == 0)
                    return false;
                p_ += n;
                refs = true;
                blankOnly = false;
                break;
            }
            case kTextEnd:
                if (blankOnly)
                    return false;
                out = spanFrom(start);
                out.refs = refs;
                return true;
            default:
                return false;
            }
        }
        return false;
    }

    // A decimal number as putLong writes it.
    bool number(Span &out) {
        const char *start = p_;
        if (p_ < end_ && *p_ == '-')
            ++p_;
        const char *digits = p_;
        while (p_ < end_ && *p_ >= '0' && *p_ <= '9' && p_ - digits < 20)
            ++p_;
        if (p_ == digits)
            return false;
        out = spanFrom(start);
        return true;
    }

    // A name or syntax word up to stop.
    bool word(Span &out, char stop) {
        const char *start = p_;
        while (p_ < end_ && ((*p_ >= 'a' && *p_ <= 'z') || (*p_ >= 'A' && *p_ <= 'Z') ||
                             (*p_ >= '0' && *p_ <= '9') || *p_ == '-' || *p_ == '_' || *p_ == '(' || *p_ == ')'))
            ++p_;
        if (p_ == start || p_ == end_ || *p_ != stop)
            return false;
        out = spanFrom(start);
        return true;
    }

    const char *base_, *p_, *end_;
};

// The end of every successful parse.
int parsed(const qelPdu_t *pdu) {
    if (qel_session_verbose) {
        printf("Done parsing QEL message, %d variables\n", static_cast<int>(pdu->numberVariables));
        fflush(stdout);
    }
    return 1;
}

// Fills a reset record from a scanned binding, as readVariable does.
int fillScanned(const MessageScanner &scan, const ScannedBinding &b, qelVariable_t *v, std::string &scratch) {
    qelCopyField(v->varName.mibName, scan.decoded(b.mib, scratch));
    qelCopyField(v->varName.objName, scan.decoded(b.obj, scratch));
    qelCopyField(v->varName.key, scan.decoded(b.key, scratch));
    v->varSyntax = b.syntax;
    if (b.value.len == 0)
        return 1;
    std::string_view value = scan.decoded(b.value, scratch);
    return storeValue(v, value.data(), value.size());
}

constexpr int kNotScanned = 2;

// Reads a message in the builder's form into pdu (or visits its bindings)
// as parseQelMessageVisit does; kNotScanned when the text is not in that
// form, nothing written then.
int readScanned(const char *membuf, int bufsize, qelPdu_t *pdu, uint32_t maxVariables, qelVariableVisitor_t visit,
                void *ctx) {
    MessageScanner scan(membuf, static_cast<size_t>(bufsize));
    ScannedMessage m;
    if (!scan.scan(m, maxVariables))
        return kNotScanned;
    std::string scratch;
    pdu->numberVariables = 0;
    if (visit) {
        // The visited bindings first, as the text is read; the header after.
        std::unique_ptr<qelVariable_t, VariableFree> record(newRecord());
        if (!record)
            return -1;
        for (const ScannedBinding &b : m) {
            resetVariable(record.get());
            if (fillScanned(scan, b, record.get(), scratch) < 0) {
                fprintf(stderr, "parseQelMessage: parse variable failed\n");
                return -1;
            }
            pdu->numberVariables++;
            if (visit(record.get(), ctx) != 1) {
                fprintf(stderr, "parseQelMessage: stopped at variable %u\n", pdu->numberVariables);
                return -1;
            }
        }
    }
    pdu->messageID = strtoll(std::string(scan.view(m.id)).c_str(), nullptr, 10);
    pdu->msgType = m.type;
    pdu->errorStatus = stringToErrorStatus(std::string(scan.decoded(m.status, scratch)).c_str());
    pdu->errorIndex = static_cast<uint32_t>(strtoul(std::string(scan.view(m.index)).c_str(), nullptr, 10));
    if (qelMessageHasTableInfo(m.type)) {
        qelCopyField(pdu->tableMib, scan.decoded(m.tableMib, scratch));
        qelCopyField(pdu->tableName, scan.decoded(m.tableObj, scratch));
        qelCopyField(pdu->tableKey, scan.decoded(m.tableKey, scratch));
        pdu->maxRows = atoi(std::string(scan.view(m.maxRows)).c_str());
    }
    pdu->varList = nullptr;
    pdu->varListTail = nullptr;
    if (!visit) {
        for (const ScannedBinding &b : m) {
            if (qelVariable_t *v = newRecord()) {
                if (fillScanned(scan, b, v, scratch) == 1) {
                    appendVariable(pdu, v);
                    continue;
                }
                freeVariable(v);
            }
            fprintf(stderr, "parseQelMessage: parse variable failed\n");
            qelPduCleanup(pdu);
            return -1;
        }
    }
    return parsed(pdu);
}

} // namespace

bool qelInBuilderForm(const char *text, size_t n) {
    if (!text || n > INT_MAX)
        return false;
    MessageScanner scan(text, n);
    ScannedMessage m;
    return scan.scan(m, 0);
}

extern "C" int parseQelMessage(const char *membuf, int bufsize, qelPdu_t *pdu) {
    return parseQelMessageMax(membuf, bufsize, pdu, 0);
}

extern "C" int parseQelMessageMax(const char *membuf, int bufsize, qelPdu_t *pdu,
                                  uint32_t maxVariables) {
    return parseQelMessageVisit(membuf, bufsize, pdu, maxVariables, nullptr, nullptr);
}

extern "C" int parseQelMessageVisit(const char *membuf, int bufsize, qelPdu_t *pdu, uint32_t maxVariables,
                                    qelVariableVisitor_t visit, void *ctx) {
    if (!membuf || !pdu) {
        fprintf(stderr, "parseQelMessage: invalid arg(s) membuf/pdu\n");
        return -1;
    }
    if (bufsize <= 24) {
        fprintf(stderr, "parseQelMessage: invalid bufsize, %d\n", bufsize);
        return -1;
    }
    if (int scanned = qel_scan_builder_form ? readScanned(membuf, bufsize, pdu, maxVariables, visit, ctx) : kNotScanned;
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
        fprintf(stderr, "parseQelMessage: erroneous buffer is: \n");
        char shown[33];
        int n = bufsize < 32 ? bufsize : 32;
        for (int i = 0; i < n; i++) {
            auto ch = static_cast<unsigned char>(membuf[i]);
            shown[i] = (ch < 0x20 || ch == 0x7F || ch >= 0x80) ? 'X' : static_cast<char>(ch);
        }
        shown[n] = '\0';
        fprintf(stderr, "%s\n", shown);
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
        fprintf(stderr, "copyQelPdu: invalid args\n");
        return -1;
    }
    *dst = *src;
    dst->numberVariables = 0;
    dst->varList = nullptr;
    dst->varListTail = nullptr;
    for (const qelVariable_t *v = src->varList; v; v = v->next) {
        qelVariable_t *c = copyQelVariable(v);
        if (!c) {
            fprintf(stderr, "copyQelPdu: out of memory\n");
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
            fprintf(stderr, "qelPduCleanup: null ptr, no cleanup\n");
        return -1;
    }
    // Bindings already written out by a reply stream count as released.
    uint32_t streamed = 0;
    if (QelReplyStream *stream = boundStream; stream && stream->boundTo(pdu)) {
        streamed = stream->count();
        stream->discard();
    }
    const uint32_t listed = pdu->numberVariables >= streamed ? pdu->numberVariables - streamed : 0;
    if (listed == 0) {
        if (qel_session_verbose)
            fprintf(stderr, "qelPduCleanup: numvars is 0, no cleanup\n");
        return static_cast<int>(streamed);
    }
    if (!pdu->varList) {
        if (qel_session_verbose)
            fprintf(stderr, "qelPduCleanup: no varlist, no cleanup\n");
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
        fprintf(stderr, "qelPduCleanup: i=%d, numberVariables=%d\n", freed, static_cast<int>(listed));
    pdu->varList = nullptr;
    pdu->varListTail = nullptr;
    return freed + static_cast<int>(streamed);
}

// ---------------------------------------------------------------------------
// Dumps for people

extern "C" int dumpInternalQelHeader(FILE *out, const qelPdu_t *pdu) {
    if (!out || !pdu)
        return -1;
    fprintf(out, "Message: type:%x, id=%lld\n", static_cast<unsigned>(raw(pdu->msgType)), static_cast<long long>(pdu->messageID));
    fprintf(out, "errorStatus:%d errorIndex:%d\n", raw(pdu->errorStatus), static_cast<int>(pdu->errorIndex));
    if (hasTableInfo(raw(pdu->msgType)))
        fprintf(out, "TableInfo: mib:%s table:%s key:'%s' maxRows:%d\n", pdu->tableMib, pdu->tableName, pdu->tableKey, pdu->maxRows);
    fprintf(out, "Variables: %d\n", static_cast<int>(pdu->numberVariables));
    return 1;
}

void qelAppendVariableLine(std::string &line, const qelVariable_t *v) {
    const qelName_t &nm = v->varName;
    const bool inBuf = v->valueStrLen >= QEL_VALUESTR_LEN;
    if (inBuf)
        fprintf(stderr, "dumpInternalQelMessage: valueBuf is 0x%lx\n", reinterpret_cast<unsigned long>(v->valueBuf));
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
        fprintf(stderr, "dumpInternalQelMessage: invalid arg(s)\n");
        return -1;
    }
    dumpInternalQelHeader(stdout, pdu);
    uint32_t counted = 0;
    for (const qelVariable_t *v = pdu->varList; v; v = v->next) {
        counted++;
        dumpInternalQelVariable(stdout, v);
    }
    if (counted != pdu->numberVariables)
        printf("dumpInternalQelMessage: numVars dont match %d %d\n", static_cast<int>(counted), static_cast<int>(pdu->numberVariables));
    fflush(stdout);
    return 1;
}

namespace {

// What the XML dump shows of one binding.
struct XmlDumpBinding {
    const char *mib, *obj, *key, *value;
    int syntax;
};

// The XML dump of a message whose bindings next() yields in order (false
// after the last), printed to standard output.
template <typename Next> int printXmlDump(const qelPdu_t *pdu, const XmlDumpBinding *first, Next next) {
    const bool tableMode = (pdu->tableMib[0] && pdu->tableName[0]) || hasTableInfo(raw(pdu->msgType)) ||
                           (first && first->key[0]);
    const Word type = typeName(raw(pdu->msgType));
    const Word status = statusName(raw(pdu->errorStatus));

    printf("%s", kDeclaration.data());
    printf("<qel xmlns=\"%s\" message-id=\"%lld\">\n", QEL_NAMESPACE_URI, static_cast<long long>(pdu->messageID));
    printf("<%s>\n", type.buf);
    printf("<error-status>%s</error-status>\n", status.buf);
    printf("<error-index>%d</error-index>\n", static_cast<int>(pdu->errorIndex));
    if (tableMode) {
        printf("<tableInstance>\n");
        printf(" <tableMibName>%s</tableMibName>\n", pdu->tableMib[0] ? pdu->tableMib : (first ? first->mib : ""));
        printf(" <tableName>%s</tableName>\n", pdu->tableName[0] ? pdu->tableName : "changeit");
        printf(" <tableKey>%s</tableKey>\n", pdu->tableKey[0] ? pdu->tableKey : "changeit");
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
            printf("   <objectName>%s</objectName>\n", v.obj);
            printf("   <objectSyntax>%s</objectSyntax>\n", syn.buf);
            printf("   <objectAccess>changeit</objectAccess>\n");
            printf("   <objectValue>%s</objectValue>\n", v.value);
            printf("   <objectKeyValue>%s</objectKeyValue>\n", v.key);
            printf("  </columnObjectValue>\n");
        } else {
            printf("<scalarObjectValue>\n");
            printf(" <mibName>%s</mibName>\n", v.mib);
            printf(" <objectName>%s</objectName>\n", v.obj);
            printf(" <objectSyntax>%s</objectSyntax>\n", syn.buf);
            printf(" <objectAccess>changeit</objectAccess>\n");
            printf(" <objectValue>%s</objectValue>\n", v.value);
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
        printf("dumpInternalQelMessageXml: numVars dont match %d %d\n", static_cast<int>(counted), static_cast<int>(pdu->numberVariables));
    fflush(stdout);
    return 1;
}

XmlDumpBinding dumpFieldsOf(const qelVariable_t *v) {
    return {v->varName.mibName, v->varName.objName, v->varName.key, dumpValue(v), raw(v->varSyntax)};
}

} // namespace

extern "C" int dumpInternalQelMessageXml(const qelPdu_t *pdu) {
    if (!pdu) {
        fprintf(stderr, "dumpInternalQelMessageXml: invalid arg(s)\n");
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
        fprintf(stderr, "printQelMessage: invalid args\n");
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
