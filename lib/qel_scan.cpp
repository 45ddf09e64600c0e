// Messages in the builder's own form, read in one scan without libxml2.
#include "qel/qel.h"
#include "qel/strutil.h"
#include "qel_internal.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

using namespace qel_internal;

// ---------------------------------------------------------------------------
// Messages in the builder's own form

// Nearly every message a peer reads was written by buildQelMessage. Text in
// exactly that form -- its tags and line breaks, printable 7-bit text, the
// predefined entities and references to characters XML allows -- is read
// here in one scan, without building libxml2's tree; any other
// text is left to libxml2. What the scan accepts is well-formed XML, and it
// reads from it what the tree walk reads: the same fields, counts, visits
// and messages. Text the tree walk would read with a doubt of its own (an
// empty or blank field, more bindings than allowed) goes to libxml2 too.

namespace {

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

struct ScannedMessage {
    Span id, status, index, tableMib, tableObj, tableKey, maxRows;
    qelMessageType_t type = invalidMsgType;
    std::vector<ScannedBinding> bindings;
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
            (!literal("<tableInfo>\n<mib>") || !text(m.tableMib) || !literal("</mib>\n<object>") || !text(m.tableObj) ||
             !literal("</object>\n<key>") || !text(m.tableKey) || !literal("</key>\n<max-rows>") ||
             !number(m.maxRows) || !literal("</max-rows>\n</tableInfo>\n")))
            return false;
        if (!literal("<variableList>\n"))
            return false;
        while (literal(kVarOpen)) {
            if (maxVariables > 0 && m.bindings.size() >= maxVariables)
                return false;
            ScannedBinding &b = m.bindings.emplace_back();
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
            case kTextBlank: ++p_; break;
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
            default: return false;
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
        while (p_ < end_ && ((*p_ >= 'a' && *p_ <= 'z') || (*p_ >= 'A' && *p_ <= 'Z') || (*p_ >= '0' && *p_ <= '9') ||
                             *p_ == '-' || *p_ == '_' || *p_ == '(' || *p_ == ')'))
            ++p_;
        if (p_ == start || p_ == end_ || *p_ != stop)
            return false;
        out = spanFrom(start);
        return true;
    }

    const char *base_, *p_, *end_;
};

// Fills a reset record from a scanned binding, as readVariable does.
int fillScanned(const MessageScanner &scan, const ScannedBinding &b, qelVariable_t *v, std::string &scratch,
                TakeableBlock *take = nullptr) {
    qelCopyField(v->varName.mibName, scan.decoded(b.mib, scratch));
    qelCopyField(v->varName.objName, scan.decoded(b.obj, scratch));
    qelCopyField(v->varName.key, scan.decoded(b.key, scratch));
    v->varSyntax = b.syntax;
    if (b.value.len == 0)
        return 1;
    std::string_view value = scan.decoded(b.value, scratch);
    // Only text without references lies in the message, inside the block;
    // a decoded one lies in scratch.
    if (take && !take->taken && !b.value.refs && value.size() >= QEL_VALUESTR_LEN && value.size() >= take->size / 4 &&
        value.size() < take->size - static_cast<size_t>(value.data() - take->block)) {
        // Moved to the block's start, the text is the value, and the block
        // is the binding's (what is read later lies past the text). Only a
        // value that fills much of the block takes it, so that a smaller one
        // never holds a far larger block for as long as the reply lives.
        std::memmove(take->block, value.data(), value.size());
        take->block[value.size()] = '\0';
        v->valueBuf = take->block;
        v->valueStrLen = static_cast<int>(value.size());
        take->taken = true;
        return 1;
    }
    return storeValue(v, value.data(), value.size());
}

} // namespace

int qel_internal::readScanned(const char *membuf, int bufsize, qelPdu_t *pdu, uint32_t maxVariables,
                              qelVariableVisitor_t visit, void *ctx, TakeableBlock *take) {
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
        for (const ScannedBinding &b : m.bindings) {
            resetVariable(record.get());
            if (fillScanned(scan, b, record.get(), scratch) < 0) {
                qel::logError("parseQelMessage: parse variable failed\n");
                return -1;
            }
            pdu->numberVariables++;
            if (visit(record.get(), ctx) != 1) {
                qel::logError("parseQelMessage: stopped at variable %u\n", pdu->numberVariables);
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
        for (const ScannedBinding &b : m.bindings) {
            if (qelVariable_t *v = newRecord()) {
                if (fillScanned(scan, b, v, scratch, take) == 1) {
                    appendVariable(pdu, v);
                    continue;
                }
                freeVariable(v);
            }
            qel::logError("parseQelMessage: parse variable failed\n");
            qelPduCleanup(pdu);
            return -1;
        }
    }
    return parsed(pdu);
}

bool qelInBuilderForm(const char *text, size_t n) {
    if (!text || n > INT_MAX)
        return false;
    MessageScanner scan(text, n);
    ScannedMessage m;
    return scan.scan(m, 0);
}
