// The parse that hands bindings to a visitor (and reads plain messages
// without building their tree) must accept exactly what the whole parse
// accepts and see the same bindings, in the same order, field for field;
// and messages in the builder's form, read by a scan of that form, must
// read as libxml2 reads them.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_common.h"
#include "qel/qel.h"

namespace {

constexpr const char *kTarget = "fuzz_visit_parse";

void check(bool ok, const char *what) {
    fuzz::check(ok, kTarget, what);
}

std::string fields(const qelVariable_t *v) {
    std::string s(v->varName.mibName);
    s += '\x1f';
    s += v->varName.objName;
    s += '\x1f';
    s += v->varName.key;
    s += '\x1f';
    s += std::to_string(v->varSyntax);
    s += '\x1f';
    s += std::to_string(v->valueStrLen);
    s += '\x1f';
    s += v->valueBuf ? v->valueBuf : v->valueStr;
    return s;
}

int collect(const qelVariable_t *v, void *ctx) {
    static_cast<std::vector<std::string> *>(ctx)->push_back(fields(v));
    return 1;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::quietCodec();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > (1u << 20))
        return 0;
    // The caller's buffer is exactly the message: nothing is read past it.
    std::vector<char> in(data, data + size);
    qelPdu_t whole;
    std::memset(&whole, 0, sizeof whole);
    const int wholeRc = parseQelMessage(in.data(), static_cast<int>(size), &whole);

    qelPdu_t visited;
    std::memset(&visited, 0, sizeof visited);
    std::vector<std::string> seen;
    const int visitRc = parseQelMessageVisit(in.data(), static_cast<int>(size), &visited, 0, collect, &seen);
    check((wholeRc == 1) == (visitRc == 1), "the two parses disagree on accepting the message");
    check(visited.varList == nullptr, "visited bindings were kept");
    if (wholeRc == 1) {
        std::vector<std::string> kept;
        for (const qelVariable_t *v = whole.varList; v; v = v->next)
            kept.push_back(fields(v));
        check(kept == seen, "the two parses read different bindings");
        check(visited.numberVariables == whole.numberVariables, "counts differ");
        check(visited.msgType == whole.msgType && visited.messageID == whole.messageID &&
                  visited.errorStatus == whole.errorStatus && visited.errorIndex == whole.errorIndex &&
                  visited.maxRows == whole.maxRows && std::strcmp(visited.tableKey, whole.tableKey) == 0,
              "headers differ");
    }
    if (qelInBuilderForm(in.data(), size)) {
        check(wholeRc == 1, "a message in the builder's form was refused");
        qel_scan_builder_form = 0;
        qelPdu_t tree;
        std::memset(&tree, 0, sizeof tree);
        const int treeRc = parseQelMessage(in.data(), static_cast<int>(size), &tree);
        qel_scan_builder_form = 1;
        check(treeRc == wholeRc, "the scan and libxml2 disagree on accepting the message");
        const qelVariable_t *a = whole.varList, *b = tree.varList;
        for (; a && b; a = a->next, b = b->next)
            check(fields(a) == fields(b), "the scan and libxml2 read different bindings");
        check(!a && !b && tree.numberVariables == whole.numberVariables, "the scan and libxml2 count differently");
        check(std::memcmp(tree.tableMib, whole.tableMib, sizeof tree.tableMib) == 0 &&
                  std::memcmp(tree.tableName, whole.tableName, sizeof tree.tableName) == 0 &&
                  tree.msgType == whole.msgType && tree.messageID == whole.messageID &&
                  tree.errorStatus == whole.errorStatus && tree.errorIndex == whole.errorIndex &&
                  tree.maxRows == whole.maxRows && std::strcmp(tree.tableKey, whole.tableKey) == 0,
              "the scan and libxml2 read different headers");
        qelPduCleanup(&tree);
    }
    qelPduCleanup(&whole);
    return 0;
}
