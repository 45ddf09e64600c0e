// The builder: QEL messages written from records, the escaping of their
// text, and replies streamed as their bindings come.
#include "qel/qel.h"
#include "qel/reply_stream.h"
#include "qel/strutil.h"
#include "qel_internal.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

using namespace qel_internal;

namespace {

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
inline bool xmlForbidden(uint32_t cp) {
    return cp == 0xFFFE || cp == 0xFFFF;
}

inline size_t hexDigits(uint32_t v) {
    size_t n = 1;
    while (v >>= 4)
        n++;
    return n;
}

// Index of the first byte that needs escaping, or n.
size_t plainPrefix(const unsigned char *s, size_t n) {
    size_t i = 0;
    while (i < n && kClass.c[s[i]] == kPlain)
        i++;
    return i;
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

} // namespace

// Length of the escaped form of n bytes of s; *plain tells whether that
// form is the text itself.
size_t qel_internal::escapedLen(const char *text, size_t n, bool *plain) {
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

// Writes the escaped form of n bytes of s at d; returns the new end.
char *qel_internal::putEscaped(char *d, const char *text, size_t n) {
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

namespace {

// The value text of a binding: valueBuf when present, else valueStr.
inline std::string_view valueText(const qelVariable_t *v) {
    if (v->valueBuf)
        return std::string_view(v->valueBuf);
    return std::string_view(v->valueStr, strnlen(v->valueStr, sizeof v->valueStr));
}

// Exact length of the table info block.
size_t tableInfoLen(const qelPdu_t *pdu) {
    return std::string_view(
               "<tableInfo>\n<mib></mib>\n<object></object>\n<key></key>\n<max-rows></max-rows>\n</tableInfo>\n")
               .size() +
           escapedLen(pdu->tableMib, strnlen(pdu->tableMib, sizeof pdu->tableMib)) +
           escapedLen(pdu->tableName, strnlen(pdu->tableName, sizeof pdu->tableName)) +
           escapedLen(pdu->tableKey, strnlen(pdu->tableKey, sizeof pdu->tableKey)) + decimalLen(pdu->maxRows);
}

} // namespace

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

    // value, when given, is the binding's text in place of its own fields,
    // known to need no escaping.
    explicit VarXml(const qelVariable_t *v, const std::string_view *value = nullptr)
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
        if (value) {
            val = *value;
            eval = val.size();
        } else {
            val = valueText(v);
            eval = escapedLen(val.data(), val.size(), &pval);
        }
        len += kValueOpen.size() + syntax.size() + 2 + eval + kValueClose.size();
    }
    VarXml(const VarXml &) = delete;
    VarXml &operator=(const VarXml &) = delete;

    char *write(char *d) const {
        if (null)
            return put(writeHead(d), kNullValue);
        d = writeHead(d);
        d = pval ? put(d, val) : putEscaped(d, val.data(), val.size());
        return put(d, kValueClose);
    }

    // Everything before the value's text (the whole binding but its null
    // value when it has none).
    char *writeHead(char *d) const {
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
            return d;
        d = put(d, kValueOpen);
        d = put(d, syntax);
        return put(d, "\">");
    }
};

} // namespace

extern "C" int buildQelMessage(const qelPdu_t *pdu, char *buf, int buflen, int *needed) {
    if (!pdu || !buf) {
        qel::logError("buildQelMessage: invalid args\n");
        return -1;
    }
    if (static_cast<const void *>(pdu) == static_cast<const void *>(buf))
        qel::logError("buildQelMessage: pdu = buffer!\n");

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
        const VarXml x(v);
        estimate +=
            static_cast<long long>(v->valueStrLen) + 2 + 20 + 5 + static_cast<long long>(x.emib + x.eobj + x.ekey);
        if (!x.null)
            estimate += static_cast<long long>(x.eval) - v->valueStrLen;
        if (fits && used + x.len + tail > room)
            fits = false;
        used += x.len;
        if (fits)
            d = x.write(d);
    }
    if (counted != pdu->numberVariables) {
        qel::logError("buildQelMessage: msg:%x numVariables does not match %d %d\n",
                      static_cast<unsigned>(raw(pdu->msgType)), static_cast<int>(counted),
                      static_cast<int>(pdu->numberVariables));
        dumpInternalQelMessage(pdu);
    }
    used += tail;
    if (estimate < static_cast<long long>(used))
        estimate = static_cast<long long>(used);
    if (estimate > INT_MAX)
        estimate = INT_MAX;
    if (estimate > buflen || !fits) {
        qel::logDebug("buildQelMessage: insufficient buffer size, %d %d\n", static_cast<int>(estimate), buflen);
        if (needed)
            *needed = static_cast<int>(estimate);
        return -1;
    }
    d = putTrailer(d, type);
    int len = static_cast<int>(d - buf);
    if (len >= buflen) {
        // Cannot happen: every piece was measured before it was written.
        qel::logError("buildQelMessage: overwritten mem buf, %d>%d, est:%d, vars:%d\n", len, buflen,
                      static_cast<int>(estimate), static_cast<int>(pdu->numberVariables));
    } else {
        *d = '\0';
    }
    qel::logDebug("buildQelMessage: len:%d, buflen:%d, estimate:%d\n", len, buflen, static_cast<int>(estimate));
    return len;
}

// ---------------------------------------------------------------------------
// Streamed replies

namespace {
thread_local QelReplyStream *boundStream = nullptr;
} // namespace

QelReplyStream::QelReplyStream(const qelPdu_t *pdu) : pdu_(pdu), previous_(boundStream) {
    boundStream = this;
}

QelReplyStream::~QelReplyStream() {
    boundStream = previous_;
}

QelReplyStream *QelReplyStream::current() {
    return boundStream;
}

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

void QelReplyStream::setLimit(size_t bytes) {
    limit_ = std::min<size_t>(bytes, QEL_MAX_MESSAGE_LEN);
}

bool QelReplyStream::append(const qelVariable_t *v) {
    if (overflowed_)
        return false;
    const VarXml x(v);
    if (bytes() + x.len > limit_) {
        // Nothing of it can be sent: give its memory back now.
        overflowed_ = true;
        buf_.release();
        used_ = kHeadRoom;
        return false;
    }
    if (!reserve(x.len))
        return false;
    x.write(buf_.data() + used_);
    used_ += x.len;
    ++count_;
    return true;
}

void QelReplyStream::dropTaken() {
    taken_.release();
    takenVar_ = nullptr;
    takenLen_ = 0;
}

void QelReplyStream::discard() {
    buf_.release();
    used_ = kHeadRoom;
    count_ = 0;
    dropTaken();
}

bool QelReplyStream::takeValue(qelVariable_t *v, QelGrowingBuffer &text, size_t len) {
    if (!v || takenVar_ || overflowed_ || !text.data() || len >= text.capacity() || text.data()[len] != '\0')
        return false;
    bool plain = false;
    escapedLen(text.data(), len, &plain);
    if (!plain)
        return false;
    taken_.swap(text);
    takenVar_ = v;
    takenLen_ = len;
    std::free(v->valueBuf);
    v->valueBuf = nullptr;
    v->valueStr[0] = '\0';
    v->valueStrLen = 0;
    return true;
}

int QelReplyStream::build(const char **message, std::vector<char> &spill) {
    return assemble(nullptr, message, spill);
}

int QelReplyStream::buildParts(Parts &parts, std::vector<char> &spill) {
    const char *message = nullptr;
    return assemble(&parts, &message, spill);
}

// The message whole (parts null: a taken value is copied in) or in pieces
// (the taken value sent from its own memory).
int QelReplyStream::assemble(Parts *parts, const char **message, std::vector<char> &spill) {
    const Word type = typeName(raw(pdu_->msgType));
    const Word status = statusName(raw(pdu_->errorStatus));
    const size_t head = headerLen(pdu_, type, status);
    const std::string_view takenText(taken_.data() ? taken_.data() : "", takenLen_);
    const qelVariable_t *taken = nullptr;
    size_t linked = 0;
    for (const qelVariable_t *v = pdu_->varList; v; v = v->next) {
        if (v == takenVar_ && !taken && !v->valueBuf && raw(v->varSyntax) != nullSyntax) {
            taken = v;
            linked += VarXml(v, &takenText).len;
        } else {
            linked += VarXml(v).len;
        }
    }
    const size_t tail = trailerLen(type);
    const size_t total = head + bytes() + linked + tail;
    if (overflowed_ || total > limit_) {
        overflowed_ = true;
        return -2;
    }
    // Sent in pieces, the taken text is not written here.
    const size_t written = total - (parts && taken ? takenText.size() : 0);
    char *start;
    char *d;
    if (head <= kHeadRoom) {
        if (!reserve(linked - (total - written) + tail + 1))
            return -1;
        start = buf_.data() + kHeadRoom - head;
        putHeader(start, pdu_, type, status);
        d = buf_.data() + used_;
    } else {
        try {
            spill.resize(written + 1);
        } catch (const std::bad_alloc &) {
            return -1;
        }
        start = spill.data();
        d = putHeader(start, pdu_, type, status);
        d = put(d, std::string_view(buf_.data() ? buf_.data() + kHeadRoom : "", bytes()));
    }
    char *rest = nullptr;
    for (const qelVariable_t *v = pdu_->varList; v; v = v->next) {
        if (v != taken) {
            d = VarXml(v).write(d);
            continue;
        }
        const VarXml x(v, &takenText);
        if (!parts) {
            d = x.write(d);
            continue;
        }
        d = x.writeHead(d);
        rest = d;
        d = put(d, kValueClose);
    }
    d = putTrailer(d, type);
    *d = '\0';
    *message = start;
    if (parts) {
        if (rest) {
            parts->data[0] = start;
            parts->len[0] = static_cast<size_t>(rest - start);
            parts->data[1] = takenText.data();
            parts->len[1] = takenText.size();
            parts->data[2] = rest;
            parts->len[2] = static_cast<size_t>(d - rest);
            parts->count = 3;
        } else {
            parts->data[0] = start;
            parts->len[0] = total;
            parts->count = 1;
        }
    }
    return static_cast<int>(total);
}

bool qelReplyTakeValue(qelVariable_t *v, QelGrowingBuffer &text, size_t len) {
    QelReplyStream *stream = boundStream;
    return stream && stream->takeValue(v, text, len);
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
        if (!stream->overflowed())
            qel::logError("qelReplyAppend: out of memory\n");
        result = -1;
    }
    freeVariable(v);
    return result;
}
