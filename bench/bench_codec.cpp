// Throughput of the message builder and parser against a bare libxml2 parse
// of the same text.
#include <benchmark/benchmark.h>

#include "qel/qel.h"
#include "qel/strutil.h"

#include <libxml/parser.h>
#include <libxml/SAX2.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// A Response holding n typical table cells: short names, 10-40 byte values.
qelPdu_t makeResponse(int n) {
    qelPdu_t pdu;
    memset(&pdu, 0, sizeof pdu);
    pdu.msgType = Response;
    pdu.messageID = 123456;
    static const char *columns[] = {"depName", "depType", "depPort", "depState", "depLastSeen"};
    for (int i = 0; i < n; i++) {
        auto *v = static_cast<qelVariable_t *>(calloc(1, sizeof(qelVariable_t)));
        qelCopyField(v->varName.mibName, "kestrova");
        qelCopyField(v->varName.objName, columns[i % 5]);
        std::string key = "10.0." + std::to_string(i / 250) + "." + std::to_string(i % 250) + ".22";
        qelCopyField(v->varName.key, key);
        v->varSyntax = displayString;
        std::string value = "host-" + std::to_string(i) + ".example.net";
        value += std::string(static_cast<size_t>(i % 23), 'x');
        v->valueStrLen = static_cast<int>(qelCopyField(v->valueStr, value));
        if (pdu.varListTail)
            pdu.varListTail->next = v;
        else
            pdu.varList = v;
        pdu.varListTail = v;
        pdu.numberVariables++;
    }
    return pdu;
}

std::string buildText(const qelPdu_t &pdu, std::vector<char> &buf) {
    int needed = 0;
    if (buildQelMessage(&pdu, buf.data(), static_cast<int>(buf.size()), &needed) < 0)
        buf.resize(static_cast<size_t>(needed));
    int len = buildQelMessage(&pdu, buf.data(), static_cast<int>(buf.size()), &needed);
    return std::string(buf.data(), static_cast<size_t>(len));
}

void BM_Build(benchmark::State &state) {
    qelPdu_t pdu = makeResponse(static_cast<int>(state.range(0)));
    std::vector<char> buf(16);
    std::string text = buildText(pdu, buf);
    for (auto _ : state) {
        int len = buildQelMessage(&pdu, buf.data(), static_cast<int>(buf.size()), nullptr);
        benchmark::DoNotOptimize(len);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
    qelPduCleanup(&pdu);
}

// range(1): 1 reads the builder's form by its scan, 0 through libxml2.
// 50,000 bindings are a table reply of 10,000 rows of five columns.
void BM_Parse(benchmark::State &state) {
    qel_scan_builder_form = static_cast<int>(state.range(1));
    qelPdu_t src = makeResponse(static_cast<int>(state.range(0)));
    std::vector<char> buf(16);
    std::string text = buildText(src, buf);
    qelPduCleanup(&src);
    {
        qelPdu_t check;
        memset(&check, 0, sizeof check);
        if (parseQelMessage(text.data(), static_cast<int>(text.size()), &check) != 1 ||
            check.numberVariables != static_cast<uint32_t>(state.range(0)))
            state.SkipWithError("the built text does not parse back");
        qelPduCleanup(&check);
    }
    for (auto _ : state) {
        qelPdu_t pdu;
        memset(&pdu, 0, sizeof pdu);
        int rc = parseQelMessage(text.data(), static_cast<int>(text.size()), &pdu);
        benchmark::DoNotOptimize(rc);
        qelPduCleanup(&pdu);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
    qel_scan_builder_form = 1;
}

// The floor: libxml2 building and freeing the tree of the same text, with
// default options (range 1 = 0) or with the options the codec uses.
void BM_BareXml(benchmark::State &state) {
    qelPdu_t src = makeResponse(static_cast<int>(state.range(0)));
    std::vector<char> buf(16);
    std::string text = buildText(src, buf);
    qelPduCleanup(&src);
    xmlInitParser();
    const int options = state.range(1) ? XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING |
                                             XML_PARSE_NOBLANKS | XML_PARSE_COMPACT
                                       : 0;
    for (auto _ : state) {
        xmlDocPtr doc = xmlReadMemory(text.data(), static_cast<int>(text.size()), nullptr, nullptr, options);
        benchmark::DoNotOptimize(doc);
        xmlFreeDoc(doc);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
}

// The parse that hands each binding to a visitor and keeps neither tree nor
// records (what qelquery does with a reply); range(1) as for BM_Parse.
void BM_ParseVisit(benchmark::State &state) {
    qel_scan_builder_form = static_cast<int>(state.range(1));
    qelPdu_t src = makeResponse(static_cast<int>(state.range(0)));
    std::vector<char> buf(16);
    std::string text = buildText(src, buf);
    qelPduCleanup(&src);
    auto count = [](const qelVariable_t *v, void *ctx) {
        *static_cast<size_t *>(ctx) += static_cast<size_t>(v->valueStrLen);
        return 1;
    };
    for (auto _ : state) {
        qelPdu_t pdu;
        memset(&pdu, 0, sizeof pdu);
        size_t seen = 0;
        int rc = parseQelMessageVisit(text.data(), static_cast<int>(text.size()), &pdu, 0, count, &seen);
        if (rc != 1 || pdu.numberVariables != static_cast<uint32_t>(state.range(0)))
            state.SkipWithError("visiting parse failed");
        benchmark::DoNotOptimize(seen);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
    qel_scan_builder_form = 1;
}

// The floor of any libxml2 reading: SAX events without a tree.
void BM_BareSax(benchmark::State &state) {
    qelPdu_t src = makeResponse(static_cast<int>(state.range(0)));
    std::vector<char> buf(16);
    std::string text = buildText(src, buf);
    qelPduCleanup(&src);
    xmlInitParser();
    xmlSAXHandler sax;
    memset(&sax, 0, sizeof sax);
    sax.initialized = XML_SAX2_MAGIC;
    for (auto _ : state) {
        int rc = xmlSAXUserParseMemory(&sax, nullptr, text.data(), static_cast<int>(text.size()));
        benchmark::DoNotOptimize(rc);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
}

} // namespace

BENCHMARK(BM_ParseVisit)->ArgsProduct({{100, 10000, 50000}, {1, 0}});
BENCHMARK(BM_BareSax)->Arg(10000)->Arg(50000);
BENCHMARK(BM_Build)->Arg(1)->Arg(100)->Arg(10000);
BENCHMARK(BM_Parse)->ArgsProduct({{1, 100, 10000, 50000}, {1, 0}});
BENCHMARK(BM_BareXml)->ArgsProduct({{1, 100, 10000}, {0, 1}});

BENCHMARK_MAIN();
