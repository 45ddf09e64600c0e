// The visiting parse: each binding handed to a visitor as soon as its
// element has been read, through libxml2's SAX interface.
#include "qel/qel.h"
#include "qel/log.h"
#include "qel_internal.h"

#include <libxml/parser.h>
#include <libxml/SAX2.h>
#include <libxml/parserInternals.h>
#include <libxml/tree.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

using namespace qel_internal;

namespace {

// The tree's helpers and the captured nodes' below overload each other.
using qel_internal::attributeName;
using qel_internal::attributeText;
using qel_internal::contentOf;
using qel_internal::firstElement;
using qel_internal::hasAttribute;
using qel_internal::hasChildren;
using qel_internal::named;
using qel_internal::nameOf;
using qel_internal::nextElement;
using qel_internal::skipBlanks;
using qel_internal::textOf;

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
inline CapturedNode firstElement(CapturedNode n) {
    return skipBlanks(n.at(n.node().firstChild));
}
inline CapturedNode nextElement(CapturedNode n) {
    return skipBlanks(n.at(n.node().next));
}
inline bool named(CapturedNode n, const char *name) {
    return n.node().element && n.node().text == name;
}
inline const char *nameOf(CapturedNode n) {
    return n.node().element ? n.node().text.c_str() : "text";
}
inline const char *textOf(CapturedNode n) {
    CapturedNode first = n.at(n.node().firstChild);
    return first && !first.node().element ? first.node().text.c_str() : nullptr;
}
inline bool hasChildren(CapturedNode n) {
    return n.node().firstChild >= 0;
}
inline bool hasAttribute(CapturedNode n) {
    return n.node().hasAttr;
}
inline const char *attributeName(CapturedNode n) {
    return n.node().attrName.c_str();
}
inline const char *attributeText(CapturedNode n) {
    return n.node().attrText.empty() ? nullptr : n.node().attrText.c_str();
}
inline const char *contentOf(CapturedNode n) {
    if (CapturedNode c = firstElement(n))
        return c.node().element ? nullptr : c.node().text.c_str();
    CapturedNode first = n.at(n.node().firstChild);
    return first && !first.node().element ? first.node().text.c_str() : nullptr;
}

// The list of a message's type element: its first variableList, the one
// the tree walk reads (a later one is not part of the message).
bool isMessageList(const xmlNode *list) {
    const xmlNode *type = list ? list->parent : nullptr;
    const xmlNode *root = type ? type->parent : nullptr;
    if (!list || !named(list, "variableList") || !type || type->type != XML_ELEMENT_NODE || !root ||
        !named(root, "qel") || !root->parent || root->parent->type != XML_DOCUMENT_NODE)
        return false;
    for (const xmlNode *before = list->prev; before; before = before->prev)
        if (before->type == XML_ELEMENT_NODE && named(before, "variableList"))
            return false;
    return true;
}

// A <variable> directly inside the list of a message's type element.
bool isListedVariable(const xmlNode *n) {
    return named(n, "variable") && isMessageList(n->parent);
}

// Reads one binding and hands it to the visitor; false stops the parse.
template <typename Node>
bool takeBinding(VisitParse *st, Node binding) {
    if (st->maxVariables > 0 && st->pdu->numberVariables >= st->maxVariables) {
        qel::logError("parseQelMessage: more than %u variables\n", st->maxVariables);
        st->failed = -2;
    } else if (resetVariable(st->record), readVariable(binding, st->record) < 0) {
        qel::logError("parseQelMessage: parse variable failed\n");
        st->failed = -1;
    } else {
        st->pdu->numberVariables++;
        if (st->visit(st->record, st->ctx) != 1) {
            qel::logError("parseQelMessage: stopped at variable %u\n", st->pdu->numberVariables);
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
    const std::string_view rest(p + kPiece, static_cast<size_t>(end - p) - kPiece);
    const size_t next = rest.find("><");
    return next == std::string_view::npos ? end : rest.data() + next + 1;
}

void installVisiting(xmlParserCtxt *ctxt, VisitParse &st) {
    ctxt->sax->startElementNs = startElementVisiting;
    ctxt->sax->characters = charactersVisiting;
    ctxt->sax->endElementNs = endElementVisiting;
    ctxt->_private = &st;
}

} // namespace

DocPtr qel_internal::readVisiting(const char *membuf, int bufsize, VisitParse &st) {
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
