// Private helpers of the codec shared by its files: the word look-ups,
// the text the builder writes, libxml2 tree access and the records a parse
// fills. Not installed: nothing outside lib/ includes it.
#ifndef QEL_INTERNAL_H
#define QEL_INTERNAL_H

#include "qel/log.h"
#include "qel/qel.h"
#include "qel/strutil.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace qel_internal {

// Enumerations in records written by other modules may hold any int; they
// are read as ints so that no out-of-range enumerator is ever loaded.
template <typename E>
inline int raw(const E &e) {
    static_assert(sizeof(E) == sizeof(int));
    int v;
    memcpy(&v, &e, sizeof v);
    return v;
}

inline bool hasTableInfo(int type) {
    return type > 4 && type < 128;
}

// Words of the types, statuses and syntaxes; empty for a value without one.
std::string_view typeWord(int type);
std::string_view statusWord(int status);
std::string_view syntaxWord(int syntax);

// The word lookups, on text that need not end in a NUL.
qelMessageType_t typeOfWord(std::string_view s);
qelSyntax_t syntaxOfWord(std::string_view s);

// A type, status or syntax name as the builder and the XML dump write it.
// Unknown values get the words the conversions give them; a status without
// a name is written as empty text.
struct Word {
    char buf[32];
    size_t len;
};

Word typeName(int type);
Word statusName(int status);
Word syntaxName(int syntax);

// ---------------------------------------------------------------------------
// Escaping of text for the wire

// Length of the escaped form of n bytes of s; *plain tells whether that
// form is the text itself.
size_t escapedLen(const char *text, size_t n, bool *plain = nullptr);

// Writes the escaped form of n bytes of s at d; returns the new end.
char *putEscaped(char *d, const char *text, size_t n);

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

template <size_t N>
inline std::string_view fieldText(const char (&f)[N]) {
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

// ---------------------------------------------------------------------------
// Parser helpers

// The library must be initialised once before threads parse concurrently;
// the cleanup side is left to the program, which alone knows when no
// thread uses libxml2 any more.
void initXml();

// Error reports of libxml2 are silenced: the codec prints its own.
// Blank text between elements is dropped while parsing (the tree walk
// skips it anyway); libxml2 keeps the white space an element holds alone,
// so white-space values and empty lists read the same. Short texts are
// stored inside their nodes.
constexpr int kParseOptions =
    XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING | XML_PARSE_NOBLANKS | XML_PARSE_COMPACT;

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

inline xmlNode *firstElement(xmlNode *parent) {
    return skipBlanks(parent->children);
}
inline xmlNode *nextElement(xmlNode *n) {
    return skipBlanks(n->next);
}

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
inline bool hasChildren(const xmlNode *n) {
    return n->children != nullptr;
}
inline bool hasAttribute(const xmlNode *n) {
    return n->properties != nullptr;
}
inline const char *attributeName(const xmlNode *n) {
    return reinterpret_cast<const char *>(n->properties->name);
}
inline const char *attributeText(const xmlNode *n) {
    return attrValue(n->properties);
}

// A value is the first child that is not blank; a value made only of white
// space is the one blank text the element holds.
inline const char *contentOf(xmlNode *valNode) {
    xmlNode *c = skipBlanks(valNode->children);
    if (c)
        return c->type == XML_TEXT_NODE || c->type == XML_CDATA_SECTION_NODE
                   ? reinterpret_cast<const char *>(c->content)
                   : nullptr;
    if (valNode->children && valNode->children->type == XML_TEXT_NODE)
        return reinterpret_cast<const char *>(valNode->children->content);
    return nullptr;
}

inline void appendVariable(qelPdu_t *pdu, qelVariable_t *v) {
    v->next = nullptr;
    if (pdu->varListTail)
        pdu->varListTail->next = v;
    else
        pdu->varList = v;
    pdu->varListTail = v;
    pdu->numberVariables++;
}

inline void freeVariable(qelVariable_t *v) {
    free(v->valueBuf);
    free(v);
}

struct VariableFree {
    void operator()(qelVariable_t *v) const { freeVariable(v); }
};

// Stores a binding's value text: in the record, or in valueBuf when it is
// longer. Returns -1 after the message when it cannot be stored.
int storeValue(qelVariable_t *v, const char *value, size_t len);

// Fills v from a <variable> element, whose fields the caller has reset
// (resetVariable). Returns -1 after the message when the element is not a
// binding; v->valueBuf may then hold memory the caller releases.
template <typename Node>
int readVariable(Node varNode, qelVariable_t *v) {
    auto fail = [](const char *msg) {
        qel::logError("%s", msg);
        return -1;
    };
    auto failName = [](const char *fmt, Node n) {
        qel::logError(fmt, nameOf(n));
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
        qel::logError("%s should be vartype\n", attributeName(valNode));
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
inline void resetVariable(qelVariable_t *v) {
    free(v->valueBuf);
    v->valueBuf = nullptr;
    v->next = nullptr;
    v->entryPtr = nullptr;
    v->valueStr[0] = '\0';
    v->valueStrLen = 0;
}

// A fresh record for a parsed binding, or null after the message.
qelVariable_t *newRecord();

// The end of every successful parse.
int parsed(const qelPdu_t *pdu);

// ---------------------------------------------------------------------------
// The visiting parse

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

struct VisitParse {
    qelPdu_t *pdu;
    uint32_t maxVariables;
    qelVariableVisitor_t visit;
    void *ctx;
    qelVariable_t *record; // reused for every binding
    int failed;
    bool capture; // the text allows reading bindings without a tree
    Captured captured;
    xmlNode *list = nullptr; // the list whose binding is being captured
};

// Parses the text, visiting bindings on the way; the document without them,
// or null when the text is not well-formed XML or st->failed was set.
DocPtr readVisiting(const char *membuf, int bufsize, VisitParse &st);

// ---------------------------------------------------------------------------
// Messages in the builder's own form

constexpr int kNotScanned = 2;

// The block a received message lies in (its start as allocated, for
// free()), which a parse that keeps its bindings may hand to the first
// large value it reads instead of copying that value into a block of its
// own: the text moves to the block's start (over what was already read) and
// the binding owns the block from then on; taken tells the owner to let go.
// A reply carrying a document of megabytes then needs no second block of
// that size.
struct TakeableBlock {
    char *block;
    size_t size;
    bool taken;
};
// parseQelMessageVisit without a visitor whose message lies in take's block.
int parseQelMessageTaking(char *membuf, int bufsize, qelPdu_t *pdu, TakeableBlock &take);

// Reads a message in the builder's form into pdu (or visits its bindings)
// as parseQelMessageVisit does; kNotScanned when the text is not in that
// form, nothing written then.
int readScanned(const char *membuf, int bufsize, qelPdu_t *pdu, uint32_t maxVariables, qelVariableVisitor_t visit,
                void *ctx, TakeableBlock *take = nullptr);

} // namespace qel_internal

#endif
