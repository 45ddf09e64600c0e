// Messages in the builder's own form are read by a scan of that form, all
// others by libxml2. Whatever the text, both readings must agree: the same
// result, header, bindings and visits. The scan must also really be taken
// for what the builder writes.
#include <gtest/gtest.h>

#include "codec_testutil.h"

#include "qel/qel.h"
#include "qel/strutil.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

using codectest::addVar;
using codectest::build;
using codectest::makePdu;
using codectest::valueOf;

namespace {

std::string fields(const qelVariable_t *v) {
    return std::string(v->varName.mibName) + "|" + v->varName.objName + "|" + v->varName.key + "|" +
           std::to_string(v->varSyntax) + "|" + std::to_string(v->valueStrLen) + "|" + valueOf(v);
}

int collect(const qelVariable_t *v, void *ctx) {
    auto *seen = static_cast<std::vector<std::string> *>(ctx);
    seen->push_back(fields(v));
    return seen->size() == 1000 ? 0 : 1; // a visitor that stops, for long lists
}

// Everything a reading leaves behind, whole and visiting.
struct Reading {
    int wholeRc = 0, visitRc = 0;
    std::string wholeHeader, visitHeader;
    std::vector<std::string> kept, seen;
    uint32_t visitCount = 0;

    bool operator==(const Reading &) const = default;
};

std::string headerOf(const qelPdu_t &p) {
    return std::to_string(p.msgType) + "/" + std::to_string(p.messageID) + "/" + std::to_string(p.errorStatus) + "/" +
           std::to_string(p.errorIndex) + "/" + p.tableMib + "/" + p.tableName + "/" + p.tableKey + "/" +
           std::to_string(p.maxRows) + "/" + std::to_string(p.numberVariables);
}

Reading read(const std::string &text, bool scan, uint32_t max = 0) {
    qel_scan_builder_form = scan;
    Reading r;
    qelPdu_t whole{};
    r.wholeRc = parseQelMessageMax(text.data(), static_cast<int>(text.size()), &whole, max);
    r.wholeHeader = headerOf(whole);
    for (const qelVariable_t *v = whole.varList; v; v = v->next)
        r.kept.push_back(fields(v));
    qelPduCleanup(&whole);
    qelPdu_t visited{};
    r.visitRc = parseQelMessageVisit(text.data(), static_cast<int>(text.size()), &visited, max, collect, &r.seen);
    r.visitHeader = headerOf(visited);
    r.visitCount = visited.numberVariables;
    EXPECT_EQ(visited.varList, nullptr);
    qel_scan_builder_form = 1;
    return r;
}

// The codec's messages go nowhere while many texts are parsed (the
// reading of an unknown error status prints to standard output).
class QuietOutput {
public:
    QuietOutput() : savedOut_(dup(1)), savedErr_(dup(2)) {
        fflush(stdout);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        close(null);
    }
    ~QuietOutput() {
        fflush(stdout);
        fflush(stderr);
        dup2(savedOut_, 1);
        dup2(savedErr_, 2);
        close(savedOut_);
        close(savedErr_);
    }
    QuietOutput(const QuietOutput &) = delete;
    QuietOutput &operator=(const QuietOutput &) = delete;

private:
    int savedOut_, savedErr_;
};

// Both readings of a text, quietly.
std::pair<Reading, Reading> readBoth(const std::string &text) {
    QuietOutput quiet;
    return {read(text, true), read(text, false)};
}

// Random text with everything escaping and storage tell apart: markup
// characters, references' characters, blanks, controls, 8-bit bytes.
std::string randomText(std::mt19937 &rng, size_t maxLen) {
    static const std::string alphabet = "abcXYZ019 .:-_+*&<>\"';#x/=\t\n\r\x01\x7f\xc3\xa4\xe6\x97\xa5\xff\x80";
    std::uniform_int_distribution<size_t> len(0, maxLen), pick(0, alphabet.size() - 1), kind(0, 9);
    std::string s;
    const size_t n = len(rng);
    for (size_t i = 0; i < n; ++i)
        s += kind(rng) < 7 ? static_cast<char>('a' + i % 26) : alphabet[pick(rng)];
    return s;
}

std::string randomMessage(std::mt19937 &rng) {
    static const qelMessageType_t types[] = {
        Response,           GetRequest,         SetRequest, SelectTableRequest, InsertTableRequest,
        DeleteTableRequest, UpdateTableRequest, Trap,       Information};
    std::uniform_int_distribution<int> typePick(0, 8), statusPick(-1, 21), count(0, 12), syntaxPick(0, 20), coin(0, 9);
    std::uniform_int_distribution<int64_t> id(-5, 1LL << 40);
    qelPdu_t pdu = makePdu(types[typePick(rng)], id(rng));
    pdu.errorStatus = static_cast<qelErrorStatus_t>(statusPick(rng));
    pdu.errorIndex = coin(rng) == 0 ? 0xFFFFFFFFu : static_cast<uint32_t>(count(rng));
    qelCopyField(pdu.tableMib, coin(rng) ? "mib2" : randomText(rng, 8));
    qelCopyField(pdu.tableName, coin(rng) ? "tcpConnTable" : randomText(rng, 8));
    qelCopyField(pdu.tableKey, coin(rng) ? "*" : randomText(rng, 8));
    pdu.maxRows = coin(rng) ? count(rng) : -count(rng);
    for (int i = count(rng); i > 0; --i) {
        const int syntax = syntaxPick(rng);
        std::string value = coin(rng) == 0 ? randomText(rng, 5000) : randomText(rng, 12);
        if (coin(rng) == 0)
            value = std::string(4096 + static_cast<size_t>(count(rng)), 'v'); // around the inline limit
        qelVariable_t *v = addVar(pdu, coin(rng) ? "mib2" : randomText(rng, 6), randomText(rng, 10),
                                  coin(rng) ? "" : randomText(rng, 30), static_cast<qelSyntax_t>(syntax % 18), value);
        if (syntax >= 18)
            codectest::setRawSyntax(v, 40 + syntax); // written as a made-up word
    }
    std::string text = build(pdu);
    qelPduCleanup(&pdu);
    return text;
}

TEST(ScannedParse, BuilderOutputIsScannedAndReadsAsLibxml2ReadsIt) {
    std::mt19937 rng(20261208);
    int scanned = 0, accepted = 0;
    for (int i = 0; i < 400; ++i) {
        const std::string text = randomMessage(rng);
        const bool inForm = qelInBuilderForm(text.data(), text.size());
        const auto [byScan, byLibxml2] = readBoth(text);
        ASSERT_EQ(byScan, byLibxml2) << text;
        scanned += inForm;
        accepted += byScan.wholeRc == 1;
        if (inForm) { // what the scan takes is what libxml2 accepts
            EXPECT_EQ(byScan.wholeRc, 1) << text;
        }
    }
    // Most builder output is taken by the scan; the rest holds fields the
    // tree walk itself refuses or reads with care (empty or blank text).
    EXPECT_GT(scanned, 80);
    EXPECT_GT(accepted, scanned);
}

// Every one-byte edit anywhere in a message: whatever it makes of the text,
// the scan reads it as libxml2 does, or leaves it to libxml2.
TEST(ScannedParse, EveryEditOfAMessageReadsAsLibxml2ReadsIt) {
    qelPdu_t pdu = makePdu(SelectTableRequest, -12);
    pdu.errorStatus = noErrorMoreData;
    pdu.errorIndex = 3;
    qelCopyField(pdu.tableMib, "mib2");
    qelCopyField(pdu.tableName, "t&");
    qelCopyField(pdu.tableKey, "*");
    pdu.maxRows = 10;
    addVar(pdu, "mib2", "tcpConnState", "127.0.0.1:22", integer, "5");
    addVar(pdu, "m&<", "o>\r", "k\xe6\x97\xa5\x80", displayString, "a<b>&c\r\n\t'\"x");
    addVar(pdu, "core", "sysDescr", "", nullSyntax);
    addVar(pdu, "m", "e", "k", displayString, "");
    const std::string text = build(pdu);
    qelPduCleanup(&pdu);
    ASSERT_TRUE(qelInBuilderForm(text.data(), text.size()));

    const std::string bytes = std::string(" \n\t\r<>&#;x/\"='a-9", 18) + std::string(1, '\0') + "\x80";
    size_t edits = 0, stillScanned = 0;
    auto check = [&](const std::string &edited) {
        ++edits;
        stillScanned += qelInBuilderForm(edited.data(), edited.size());
        const auto [byScan, byLibxml2] = readBoth(edited);
        ASSERT_EQ(byScan, byLibxml2) << edited;
    };
    for (size_t at = 0; at <= text.size(); ++at) {
        if (at < text.size())
            check(std::string(text).erase(at, 1));
        for (char b : bytes) {
            check(std::string(text).insert(at, 1, b));
            if (at < text.size() && text[at] != b)
                check(std::string(text).replace(at, 1, 1, b));
        }
        if (HasFatalFailure())
            return;
    }
    // Edits inside text keep the form: the scan was exercised throughout.
    EXPECT_GT(stillScanned, edits / 20);
}

// Limits and visitors that stop end a scanned reading as they end any other.
// A type element may hold more than one list; the message's bindings are the
// first list's. The visiting parse took a later list's bindings too.
TEST(ScannedParse, ALaterListOfBindingsIsNotPartOfTheMessage) {
    const std::string binding =
        "<variable><varname><mib>core</mib><object>o</object><key>k</key></varname>"
        "<varvalue vartype=\"boolean\">true</varvalue></variable>";
    const std::string head =
        "<?xml version=\"1.0\" encoding='US-ASCII' ?>\n"
        "<qel xmlns=\"http://qel.kestrova.org/xsd/qel-1.0\" message-id=\"42\">\n<Trap>\n"
        "<error-status>noError</error-status>\n<error-index>0</error-index>\n";
    for (const std::string between : {"\n", "\n/error-status>\n<error-index>0</error-index>\n", "<!-- a -->"}) {
        const std::string text = head + "<variableList>\n" + binding + "\n</variableList>" + between +
                                 "<variableList>\n" + binding + binding + "\n</variableList>\n</Trap>\n</qel>\n";
        SCOPED_TRACE(between);
        Reading r;
        {
            QuietOutput quiet;
            r = read(text, true);
        }
        EXPECT_EQ(r.wholeRc, 1);
        EXPECT_EQ(r.visitRc, r.wholeRc);
        EXPECT_EQ(r.kept.size(), 1u);
        EXPECT_EQ(r.seen, r.kept);
        EXPECT_EQ(r.visitCount, 1u);
    }
}

TEST(ScannedParse, LimitsAndStoppingVisitorsEndTheReadingAlike) {
    qelPdu_t pdu = makePdu(Response, 9);
    for (int i = 0; i < 1500; ++i)
        addVar(pdu, "m", "o", std::to_string(i), integer, std::to_string(i));
    const std::string text = build(pdu);
    qelPduCleanup(&pdu);
    ASSERT_TRUE(qelInBuilderForm(text.data(), text.size()));
    // 1499: the bound falls on the last binding, with none after it.
    for (uint32_t max : {0u, 1u, 999u, 1000u, 1001u, 1499u, 1500u}) {
        testing::internal::CaptureStderr();
        const Reading byScan = read(text, true, max);
        const std::string scanErr = testing::internal::GetCapturedStderr();
        testing::internal::CaptureStderr();
        const Reading byLibxml2 = read(text, false, max);
        const std::string libxml2Err = testing::internal::GetCapturedStderr();
        SCOPED_TRACE(max);
        EXPECT_EQ(byScan, byLibxml2);
        EXPECT_EQ(scanErr, libxml2Err);
        // The collector stops after 1,000 bindings.
        EXPECT_EQ(byScan.visitRc, max == 0 || max > 1000 ? -1 : max == 1000 ? -1 : -2);
    }
}

} // namespace
