// Messages arrive from the network and from request files: the parser must
// turn any bytes into either a message or a refusal, and whatever it
// accepts the builder must write out again in a form it accepts.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz_common.h"
#include "qel/qel.h"

namespace {

constexpr const char *kTarget = "fuzz_parse_message";

void check(bool ok, const char *what) {
    fuzz::check(ok, kTarget, what);
}

// Walks the list, checking it against the counters and the field bounds.
uint32_t walk(const qelPdu_t &pdu) {
    uint32_t n = 0;
    const qelVariable_t *last = nullptr;
    for (const qelVariable_t *v = pdu.varList; v; v = v->next) {
        n++;
        last = v;
        check(std::memchr(v->varName.mibName, '\0', sizeof v->varName.mibName), "mib not terminated");
        check(std::memchr(v->varName.objName, '\0', sizeof v->varName.objName), "object not terminated");
        check(std::memchr(v->varName.key, '\0', sizeof v->varName.key), "key not terminated");
        check(v->valueStrLen >= 0, "negative value length");
        if (v->valueBuf)
            check(std::strlen(v->valueBuf) == static_cast<size_t>(v->valueStrLen), "value length wrong");
        else
            check(v->valueStrLen < QEL_VALUESTR_LEN && std::strlen(v->valueStr) == static_cast<size_t>(v->valueStrLen),
                  "inline value length wrong");
    }
    check(last == pdu.varListTail, "tail is not the last binding");
    check(n == pdu.numberVariables, "count does not match the list");
    return n;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::quietCodec();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > (1u << 20))
        return 0;
    std::vector<char> in(data, data + size);
    qelPdu_t pdu;
    std::memset(&pdu, 0, sizeof pdu);
    if (parseQelMessage(in.data(), static_cast<int>(size), &pdu) < 0) {
        check(pdu.varList == nullptr, "refused message kept bindings");
        return 0;
    }
    check(std::memchr(pdu.tableMib, '\0', sizeof pdu.tableMib), "table mib not terminated");
    check(std::memchr(pdu.tableName, '\0', sizeof pdu.tableName), "table name not terminated");
    check(std::memchr(pdu.tableKey, '\0', sizeof pdu.tableKey), "table key not terminated");
    const uint32_t count = walk(pdu);

    // A copy holds the same bindings.
    qelPdu_t copy;
    std::memset(&copy, 0, sizeof copy);
    check(copyQelPdu(&pdu, &copy) >= 0, "copy failed");
    check(walk(copy) == count, "copy lost bindings");
    qelPduCleanup(&copy);

    // Build it again: first into a buffer that is too small, which must be
    // refused with the size to retry with, then into that size.
    char small[64];
    int needed = 0;
    check(buildQelMessage(&pdu, small, sizeof small, &needed) == -1, "built into a buffer that is too small");
    check(needed > static_cast<int>(sizeof small), "no retry size");
    std::vector<char> out(static_cast<size_t>(needed));
    int len = buildQelMessage(&pdu, out.data(), needed, nullptr);
    check(len > 0 && len < needed, "build into the announced size failed");
    check(std::strlen(out.data()) == static_cast<size_t>(len), "built length wrong");

    // A status word the parser does not know reads as invalidErrorType,
    // which has no word of its own to be written back with.
    if (pdu.errorStatus == invalidErrorType) {
        qelPduCleanup(&pdu);
        return 0;
    }
    qelPdu_t again;
    std::memset(&again, 0, sizeof again);
    check(parseQelMessage(out.data(), len, &again) == 1, "built message does not parse");
    check(again.msgType == pdu.msgType && again.messageID == pdu.messageID && again.errorStatus == pdu.errorStatus &&
              again.errorIndex == pdu.errorIndex && again.maxRows == pdu.maxRows,
          "built message reads back different");
    check(walk(again) == count, "built message lost bindings");
    qelPduCleanup(&again);
    qelPduCleanup(&pdu);
    return 0;
}
