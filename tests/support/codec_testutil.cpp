#include "codec_testutil.h"

#include "qel/strutil.h"

#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace codectest {

qelPdu_t makePdu(qelMessageType_t type, int64_t id) {
    qelPdu_t pdu;
    memset(&pdu, 0, sizeof pdu);
    pdu.msgType = type;
    pdu.messageID = id;
    pdu.errorStatus = noError;
    return pdu;
}

qelVariable_t *addVar(qelPdu_t &pdu, const std::string &mib, const std::string &obj, const std::string &key,
                      qelSyntax_t syntax, const std::string &value) {
    auto *v = static_cast<qelVariable_t *>(calloc(1, sizeof(qelVariable_t)));
    if (!v)
        throw std::bad_alloc();
    qelCopyField(v->varName.mibName, mib);
    qelCopyField(v->varName.objName, obj);
    qelCopyField(v->varName.key, key);
    v->varSyntax = syntax;
    if (value.size() < QEL_VALUESTR_LEN) {
        qelCopyField(v->valueStr, value);
    } else {
        v->valueBuf = static_cast<char *>(malloc(value.size() + 1));
        memcpy(v->valueBuf, value.c_str(), value.size() + 1);
    }
    v->valueStrLen = static_cast<int>(value.size());
    if (pdu.varListTail)
        pdu.varListTail->next = v;
    else
        pdu.varList = v;
    pdu.varListTail = v;
    pdu.numberVariables++;
    return v;
}

void setRawSyntax(qelVariable_t *v, int syntax) {
    static_assert(sizeof v->varSyntax == sizeof syntax);
    memcpy(&v->varSyntax, &syntax, sizeof syntax);
}

std::string valueOf(const qelVariable_t *v) {
    return v->valueBuf ? std::string(v->valueBuf) : std::string(v->valueStr);
}

std::string build(const qelPdu_t &pdu) {
    int needed = 0;
    std::vector<char> buf(64);
    int len = buildQelMessage(&pdu, buf.data(), static_cast<int>(buf.size()), &needed);
    if (len < 0) {
        buf.resize(static_cast<size_t>(needed));
        len = buildQelMessage(&pdu, buf.data(), static_cast<int>(buf.size()), &needed);
    }
    if (len < 0)
        throw std::runtime_error("buildQelMessage failed");
    return std::string(buf.data(), static_cast<size_t>(len));
}

} // namespace codectest
