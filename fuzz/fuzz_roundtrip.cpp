// Build then parse must give back the record that was built. The record is
// made from the input: names, keys and values of arbitrary bytes within the
// field limits. Text comes back in the builder's documented form: a control
// character XML cannot carry (and U+FFFE/U+FFFF) reads back as '?', a byte
// that is not part of valid UTF-8 as the UTF-8 of U+0080-U+00FF, all else
// (CR, markup characters, valid UTF-8) unchanged; a field then holds as much
// of that as fits.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_common.h"
#include "qel/qel.h"
#include "qel/strutil.h"

namespace {

constexpr const char *kTarget = "fuzz_roundtrip";

void check(bool ok, const char *what) {
    fuzz::check(ok, kTarget, what);
}

// Length of the valid UTF-8 sequence at s that encodes a character XML can
// carry, or 0. Written apart from the codec's own decoder on purpose.
size_t validSequence(const unsigned char *s, size_t avail, uint32_t *cp) {
    size_t n;
    if (s[0] < 0x80) {
        *cp = s[0];
        return 1;
    }
    if ((s[0] & 0xE0) == 0xC0)
        n = 2;
    else if ((s[0] & 0xF0) == 0xE0)
        n = 3;
    else if ((s[0] & 0xF8) == 0xF0)
        n = 4;
    else
        return 0;
    if (avail < n)
        return 0;
    uint32_t v = s[0] & (0x7F >> n);
    for (size_t i = 1; i < n; i++) {
        if ((s[i] & 0xC0) != 0x80)
            return 0;
        v = (v << 6) | (s[i] & 0x3F);
    }
    static const uint32_t minimum[] = {0, 0, 0x80, 0x800, 0x10000};
    if (v < minimum[n] || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF))
        return 0;
    *cp = v;
    return n;
}

void putUtf8(std::string &out, uint32_t cp) {
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

// What text reads back as after a trip through the wire.
std::string normalised(const std::string &text) {
    std::string out;
    const auto *s = reinterpret_cast<const unsigned char *>(text.data());
    size_t i = 0;
    while (i < text.size()) {
        uint32_t cp = 0;
        size_t len = validSequence(s + i, text.size() - i, &cp);
        if (len == 0) {
            putUtf8(out, s[i]); // a stray byte travels as the character of its value
            i += 1;
            continue;
        }
        if ((cp < 0x20 && cp != '\t' && cp != '\n' && cp != '\r') || cp == 0xFFFE || cp == 0xFFFF)
            out += '?';
        else
            out.append(text, i, len);
        i += len;
    }
    return out;
}

// Text of at most max bytes without NULs (a NUL would end the field).
std::string text(FuzzedDataProvider &fdp, size_t max) {
    std::string t = fdp.ConsumeRandomLengthString(max);
    std::string out;
    for (char c : t)
        if (c != '\0')
            out += c;
    return out;
}

// Names the parser requires to be present get a stand-in when empty.
std::string nonEmpty(std::string t) {
    return t.empty() ? std::string("n") : t;
}

// The field content after the trip: normalised, then cut to the field.
template <size_t N>
std::string afterTrip(const std::string &sent) {
    std::string n = normalised(sent);
    if (n.size() > N - 1)
        n.resize(N - 1);
    return n;
}

template <size_t N>
void checkField(const char (&got)[N], const std::string &sent, const char *what) {
    check(std::memchr(got, '\0', N) != nullptr, what);
    check(afterTrip<N>(sent) == got, what);
}

struct Sent {
    std::string mib, obj, key, value;
    qelSyntax_t syntax;
};

const qelMessageType_t kTypes[] = {Response,           GetRequest,         SetRequest,         SelectTableRequest,
                                   InsertTableRequest, DeleteTableRequest, UpdateTableRequest, Trap,
                                   Information};

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::quietCodec();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider fdp(data, size);
    qelPdu_t pdu;
    std::memset(&pdu, 0, sizeof pdu);
    pdu.msgType = fdp.PickValueInArray(kTypes);
    pdu.messageID = fdp.ConsumeIntegral<int64_t>();
    pdu.errorStatus = static_cast<qelErrorStatus_t>(fdp.ConsumeIntegralInRange<int>(noError, parseError));
    pdu.errorIndex = fdp.ConsumeIntegral<uint32_t>();
    std::string tmib, tname, tkey;
    const bool tableInfo = qelMessageHasTableInfo(pdu.msgType);
    if (tableInfo) {
        tmib = nonEmpty(text(fdp, 2 * QEL_MIBNAME_LEN));
        tname = nonEmpty(text(fdp, 2 * QEL_OBJNAME_LEN));
        tkey = nonEmpty(text(fdp, 2 * QEL_KEY_LEN));
        qelCopyField(pdu.tableMib, tmib);
        qelCopyField(pdu.tableName, tname);
        qelCopyField(pdu.tableKey, tkey);
        pdu.maxRows = fdp.ConsumeIntegral<int>();
    }

    // The list is the record's own: bindings are heap records freed by
    // qelPduCleanup.
    std::vector<Sent> sent;
    const int count = fdp.ConsumeIntegralInRange<int>(1, 8);
    for (int i = 0; i < count; i++) {
        Sent s;
        // Names are cut to their fields before the trip, as a caller's
        // bounded copy would.
        s.mib = nonEmpty(text(fdp, QEL_MIBNAME_LEN - 1));
        s.obj = nonEmpty(text(fdp, QEL_OBJNAME_LEN - 1));
        s.key = text(fdp, QEL_KEY_LEN - 1);
        s.syntax = static_cast<qelSyntax_t>(fdp.ConsumeIntegralInRange<int>(counter, extendedBoolean));
        // Values past the inline field go to valueBuf.
        s.value = text(fdp, 3 * QEL_VALUESTR_LEN);
        auto *v = static_cast<qelVariable_t *>(std::calloc(1, sizeof(qelVariable_t)));
        qelCopyField(v->varName.mibName, s.mib);
        qelCopyField(v->varName.objName, s.obj);
        qelCopyField(v->varName.key, s.key);
        v->varSyntax = s.syntax;
        if (s.value.size() < QEL_VALUESTR_LEN) {
            v->valueStrLen = static_cast<int>(qelCopyField(v->valueStr, s.value));
        } else {
            v->valueBuf = static_cast<char *>(std::malloc(s.value.size() + 1));
            std::memcpy(v->valueBuf, s.value.c_str(), s.value.size() + 1);
            v->valueStrLen = static_cast<int>(s.value.size());
        }
        if (pdu.varListTail)
            pdu.varListTail->next = v;
        else
            pdu.varList = v;
        pdu.varListTail = v;
        pdu.numberVariables++;
        sent.push_back(std::move(s));
    }

    int needed = 0;
    char probe[1];
    check(buildQelMessage(&pdu, probe, sizeof probe, &needed) == -1, "built into one byte");
    std::vector<char> buf(static_cast<size_t>(needed));
    const int len = buildQelMessage(&pdu, buf.data(), needed, nullptr);
    check(len > 0 && len < needed, "build into the announced size failed");
    check(std::strlen(buf.data()) == static_cast<size_t>(len), "built length wrong");
    for (int i = 0; i < len; i++)
        check(static_cast<unsigned char>(buf[i]) < 0x80, "built text is not ASCII");

    qelPdu_t got;
    std::memset(&got, 0, sizeof got);
    check(parseQelMessage(buf.data(), len, &got) == 1, "built message does not parse");
    check(got.msgType == pdu.msgType, "type changed");
    check(got.messageID == pdu.messageID, "message id changed");
    check(got.errorStatus == pdu.errorStatus, "error status changed");
    check(got.errorIndex == pdu.errorIndex, "error index changed");
    if (tableInfo) {
        checkField(got.tableMib, std::string(pdu.tableMib), "table mib changed");
        checkField(got.tableName, std::string(pdu.tableName), "table name changed");
        checkField(got.tableKey, std::string(pdu.tableKey), "table key changed");
        check(got.maxRows == pdu.maxRows, "max rows changed");
    }
    check(got.numberVariables == pdu.numberVariables, "number of bindings changed");
    size_t i = 0;
    for (const qelVariable_t *v = got.varList; v; v = v->next, i++) {
        check(i < sent.size(), "more bindings than were sent");
        const Sent &s = sent[i];
        checkField(v->varName.mibName, s.mib, "mib changed");
        checkField(v->varName.objName, s.obj, "object changed");
        checkField(v->varName.key, s.key, "key changed");
        check(v->varSyntax == s.syntax, "syntax changed");
        // A null value carries no text.
        const std::string expect = s.syntax == nullSyntax ? std::string() : normalised(s.value);
        const char *value = v->valueBuf ? v->valueBuf : v->valueStr;
        check(v->valueStrLen == static_cast<int>(expect.size()), "value length changed");
        check(expect == value, "value changed");
        check((v->valueBuf != nullptr) == (expect.size() >= QEL_VALUESTR_LEN), "value stored in the wrong place");
    }
    check(i == sent.size(), "bindings lost");
    qelPduCleanup(&got);
    qelPduCleanup(&pdu);
    return 0;
}
