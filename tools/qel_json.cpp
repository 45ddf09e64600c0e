// Replies as JSON lines, written with nlohmann::json (escaping, UTF-8).
#include "qel_json.h"

#include <cstring>
#include <string_view>

#if __has_include(<nlohmann/json.hpp>)
#include <nlohmann/json.hpp>
#define KESTROVA_HAVE_JSON 1
#else
#define KESTROVA_HAVE_JSON 0
#endif

#if KESTROVA_HAVE_JSON
namespace {

std::string_view field(const char *f, size_t size) {
    return std::string_view(f, strnlen(f, size));
}

// The value text as the dumps show it: inline, or in valueBuf when long.
std::string_view valueText(const qelVariable_t *v) {
    if (v->valueStrLen >= QEL_VALUESTR_LEN && v->valueBuf)
        return std::string_view(v->valueBuf);
    return field(v->valueStr, sizeof v->valueStr);
}

} // namespace
#endif

bool qelJsonAvailable() {
    return KESTROVA_HAVE_JSON != 0;
}

void QelJsonReply::add(const qelVariable_t *v) {
#if KESTROVA_HAVE_JSON
    char syntax[64] = "";
    syntaxToString(v->varSyntax, syntax, sizeof syntax);
    // An ordered object keeps the keys in the order a reader expects them.
    // Invalid UTF-8 (a value is whatever bytes the agent sent) is replaced,
    // not thrown at: one odd byte must not cost the whole reply.
    nlohmann::ordered_json j;
    j["mib"] = field(v->varName.mibName, sizeof v->varName.mibName);
    j["object"] = field(v->varName.objName, sizeof v->varName.objName);
    j["key"] = field(v->varName.key, sizeof v->varName.key);
    j["syntax"] = syntax;
    j["value"] = valueText(v);
    if (!variables_.empty())
        variables_ += ',';
    variables_ += j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
#else
    (void)v;
#endif
}

std::string QelJsonReply::line(const qelPdu_t *reply) const {
#if KESTROVA_HAVE_JSON
    char type[64] = "", status[64] = "";
    messageTypeToString(reply->msgType, type, sizeof type);
    errorStatusToString(reply->errorStatus, status, sizeof status);
    nlohmann::ordered_json head;
    head["type"] = type;
    head["id"] = reply->messageID;
    head["errorStatus"] = status;
    head["errorIndex"] = reply->errorIndex;
    std::string out = head.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
    out.pop_back(); // the closing brace: the bindings follow
    out.reserve(out.size() + variables_.size() + 20);
    out += ",\"variables\":[";
    out += variables_;
    out += "]}\n";
    return out;
#else
    (void)reply;
    return std::string();
#endif
}

int QelJsonReply::print(FILE *out, const qelPdu_t *reply) const {
    const std::string text = line(reply);
    if (std::fwrite(text.data(), 1, text.size(), out) != text.size() || std::fflush(out) != 0)
        return -1;
    return 1;
}
