#include <gtest/gtest.h>

#include "codec_testutil.h"
#include "testutil.h"

#include "qel/base64.h"
#include "qel/log.h"
#include "qel/qel.h"
#include "qel/strutil.h"

#include <libxml/parser.h>

#include <sys/stat.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

using codectest::addVar;
using codectest::build;
using codectest::makePdu;
using codectest::valueOf;

namespace {

const std::string kDecl = "<?xml version=\"1.0\" encoding='US-ASCII' ?>\n";

std::string rootOpen(long long id) {
    return "<qel xmlns=\"" QEL_NAMESPACE_URI "\" message-id=\"" + std::to_string(id) + "\">\n";
}

// A complete message text around the inside of the type element.
std::string message(const std::string &type, const std::string &inner, long long id = 7) {
    return kDecl + rootOpen(id) + "<" + type + ">\n" + inner + "</" + type + ">\n</qel>\n";
}

const std::string kHead = "<error-status>noError</error-status>\n<error-index>0</error-index>\n";
const std::string kOneVar =
    "<variableList>\n<variable>\n<varname><mib>core</mib><object>sysDescr</object><key/></varname>\n"
    "<varvalue vartype=\"nullSyntax\"/>\n</variable>\n</variableList>\n";

std::string withVariable(const std::string &variable) {
    return message("GetRequest", kHead + "<variableList>\n" + variable + "</variableList>\n");
}

struct Outcome {
    int rc;
    std::string out;
    std::string err;
};

Outcome parseCaptured(const std::string &text, qelPdu_t &pdu) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int rc = parseQelMessage(text.data(), static_cast<int>(text.size()), &pdu);
    Outcome o{rc, testing::internal::GetCapturedStdout(), testing::internal::GetCapturedStderr()};
    return o;
}

Outcome parseCaptured(const std::string &text) {
    qelPdu_t pdu = makePdu(invalidMsgType, 0);
    Outcome o = parseCaptured(text, pdu);
    qelPduCleanup(&pdu);
    return o;
}

struct Verbose {
    Verbose() {
        qel_session_verbose = 1;
        qel::setLogDebug(true);
    }
    ~Verbose() {
        qel_session_verbose = 0;
        qel::setLogDebug(false);
    }
};

// Parses text that must parse; the caller releases the pdu.
qelPdu_t parseOk(const std::string &text) {
    qelPdu_t pdu = makePdu(invalidMsgType, 0);
    EXPECT_EQ(parseQelMessage(text.data(), static_cast<int>(text.size()), &pdu), 1) << text;
    return pdu;
}

std::vector<const qelVariable_t *> vars(const qelPdu_t &pdu) {
    std::vector<const qelVariable_t *> v;
    for (const qelVariable_t *p = pdu.varList; p; p = p->next)
        v.push_back(p);
    return v;
}

} // namespace

// ---------------------------------------------------------------------------
// Word tables

TEST(QelWords, MessageTypesBothWays) {
    const std::pair<qelMessageType_t, const char *> all[] = {
        {Response, "Response"},
        {GetRequest, "GetRequest"},
        {SetRequest, "SetRequest"},
        {SelectTableRequest, "SelectTableRequest"},
        {InsertTableRequest, "InsertTableRequest"},
        {DeleteTableRequest, "DeleteTableRequest"},
        {UpdateTableRequest, "UpdateTableRequest"},
        {Trap, "Trap"},
        {Information, "Information"},
    };
    for (auto [type, name] : all) {
        char buf[32];
        EXPECT_EQ(messageTypeToString(type, buf, sizeof buf), static_cast<int>(strlen(name)));
        EXPECT_STREQ(buf, name);
        EXPECT_EQ(stringToMessageType(name), type);
    }
    char buf[32];
    EXPECT_EQ(messageTypeToString(static_cast<qelMessageType_t>(3), buf, sizeof buf), 8);
    EXPECT_STREQ(buf, "Unknown3");
    EXPECT_EQ(messageTypeToString(invalidMsgType, buf, sizeof buf), 14);
    EXPECT_STREQ(buf, "invalidMsgType");
    EXPECT_EQ(messageTypeToString(GetRequest, nullptr, 10), 0);
    EXPECT_EQ(messageTypeToString(SelectTableRequest, buf, 7), 6);
    EXPECT_STREQ(buf, "Select");
    EXPECT_EQ(stringToMessageType(nullptr), invalidMsgType);
    EXPECT_EQ(stringToMessageType("getrequest"), invalidMsgType);
    EXPECT_EQ(stringToMessageType("Unknown3"), invalidMsgType);
}

TEST(QelWords, TableInfoTest) {
    EXPECT_FALSE(qelMessageHasTableInfo(Response));
    EXPECT_FALSE(qelMessageHasTableInfo(GetRequest));
    EXPECT_FALSE(qelMessageHasTableInfo(SetRequest));
    EXPECT_TRUE(qelMessageHasTableInfo(SelectTableRequest));
    EXPECT_TRUE(qelMessageHasTableInfo(InsertTableRequest));
    EXPECT_TRUE(qelMessageHasTableInfo(DeleteTableRequest));
    EXPECT_TRUE(qelMessageHasTableInfo(UpdateTableRequest));
    EXPECT_FALSE(qelMessageHasTableInfo(Trap));
    EXPECT_FALSE(qelMessageHasTableInfo(Information));
}

TEST(QelWords, Syntaxes) {
    const char *names[] = {nullptr,
                           "counter",
                           "ipV4Address",
                           "ipV6Address",
                           "dateTime",
                           "gauge",
                           "integer",
                           "unsignedInteger",
                           "bool",
                           "macAddress",
                           "physAddress",
                           "displayString",
                           "binaryString",
                           "nullSyntax",
                           "table",
                           "floatingPoint",
                           "unsupportedVariable",
                           "extendedBoolean"};
    for (int i = 1; i <= 17; i++) {
        char buf[32];
        EXPECT_EQ(syntaxToString(static_cast<qelSyntax_t>(i), buf, sizeof buf), 1);
        EXPECT_STREQ(buf, names[i]);
        EXPECT_EQ(stringToSyntax(names[i]), i);
    }
    EXPECT_EQ(stringToSyntax("boolean"), bool_);
    EXPECT_EQ(stringToSyntax("Bool"), invalidSyntax);
    EXPECT_EQ(stringToSyntax("invalidSyntax"), invalidSyntax);
    EXPECT_EQ(stringToSyntax(nullptr), invalidSyntax);
    char buf[32];
    EXPECT_EQ(syntaxToString(static_cast<qelSyntax_t>(30), buf, sizeof buf), -1);
    EXPECT_STREQ(buf, "syntax(30)");
    EXPECT_EQ(syntaxToString(invalidSyntax, buf, sizeof buf), -1);
    EXPECT_STREQ(buf, "syntax(0)");
    EXPECT_EQ(syntaxToString(counter, nullptr, 10), -1);
}

TEST(QelWords, ErrorStatuses) {
    EXPECT_EQ(stringToErrorStatus("noError"), noError);
    EXPECT_EQ(stringToErrorStatus("parseError"), parseError);
    EXPECT_EQ(stringToErrorStatus("resourceUnavailable"), resourceUnavailable);
    EXPECT_EQ(stringToErrorStatus("invalidErrorType"), invalidErrorType);
    EXPECT_EQ(stringToErrorStatus("NoError"), invalidErrorType);
    EXPECT_EQ(stringToErrorStatus(nullptr), invalidErrorType);
    for (int s = 0; s <= 21; s++) {
        char buf[32];
        int n = errorStatusToString(static_cast<qelErrorStatus_t>(s), buf, sizeof buf);
        ASSERT_GT(n, 0);
        EXPECT_EQ(n, static_cast<int>(strlen(buf)));
        EXPECT_EQ(stringToErrorStatus(buf), s);
    }
    char buf[8] = "keep";
    EXPECT_EQ(errorStatusToString(invalidErrorType, buf, sizeof buf), -1);
    EXPECT_STREQ(buf, "keep");
    EXPECT_EQ(errorStatusToString(static_cast<qelErrorStatus_t>(22), buf, sizeof buf), -1);
    EXPECT_EQ(errorStatusToString(noErrorMoreData, buf, sizeof buf), 7);
    EXPECT_STREQ(buf, "noError");
}

// ---------------------------------------------------------------------------
// Builder

TEST(QelBuild, ThirteenLineExample) {
    qelPdu_t pdu = makePdu(GetRequest, 7);
    addVar(pdu, "core", "sysDescr", "", nullSyntax, "ignored for nullSyntax");
    char buf[1024];
    std::string expected = kDecl + rootOpen(7) +
                           "<GetRequest>\n"
                           "<error-status>noError</error-status>\n"
                           "<error-index>0</error-index>\n"
                           "<variableList>\n"
                           "<variable>\n"
                           "<varname><mib>core</mib><object>sysDescr</object><key/></varname>\n"
                           "<varvalue vartype=\"nullSyntax\"/>\n"
                           "</variable>\n"
                           "</variableList>\n"
                           "</GetRequest>\n"
                           "</qel>\n";
    int len = buildQelMessage(&pdu, buf, sizeof buf, nullptr);
    ASSERT_EQ(len, static_cast<int>(expected.size()));
    EXPECT_EQ(std::string(buf, len), expected);
    EXPECT_EQ(buf[len], '\0');
    EXPECT_EQ(std::string(QEL_NAMESPACE_URI).find("/xsd/qel-1.0"), strlen(QEL_NAMESPACE_URI) - 12);
    qelPduCleanup(&pdu);
}

TEST(QelBuild, ResponseValueAndTableInfoLines) {
    qelPdu_t pdu = makePdu(Response, -12);
    pdu.errorStatus = noErrorMoreData;
    pdu.errorIndex = 3;
    addVar(pdu, "kestrova", "depName", "10.0.0.1.53", displayString, "dns server 'ns1'");
    EXPECT_EQ(build(pdu),
              message("Response",
                      "<error-status>noErrorMoreData</error-status>\n<error-index>3</error-index>\n"
                      "<variableList>\n<variable>\n"
                      "<varname><mib>kestrova</mib><object>depName</object><key>10.0.0.1.53</key></varname>\n"
                      "<varvalue vartype=\"displayString\">dns server 'ns1'</varvalue>\n"
                      "</variable>\n</variableList>\n",
                      -12));
    qelPduCleanup(&pdu);

    qelPdu_t sel = makePdu(SelectTableRequest, 2);
    qelCopyField(sel.tableMib, "core");
    qelCopyField(sel.tableName, "pluginTable");
    qelCopyField(sel.tableKey, "*");
    addVar(sel, "core", "pluginDescr", "", nullSyntax);
    std::string text = build(sel);
    EXPECT_NE(text.find(kHead + "<tableInfo>\n<mib>core</mib>\n<object>pluginTable</object>\n<key>*</key>\n"
                                "<max-rows>0</max-rows>\n</tableInfo>\n<variableList>\n"),
              std::string::npos)
        << text;
    qelPduCleanup(&sel);
}

TEST(QelBuild, ZeroVariablesAndUnnamedStatus) {
    qelPdu_t pdu = makePdu(Trap, 1);
    std::string text = build(pdu);
    EXPECT_NE(text.find("<variableList>\n</variableList>\n"), std::string::npos);
    qelPdu_t back = parseOk(text);
    EXPECT_EQ(back.numberVariables, 0u);
    EXPECT_EQ(back.varList, nullptr);
    EXPECT_EQ(back.msgType, Trap);

    // A status without a name is written as empty text; the receiver refuses it.
    pdu.errorStatus = invalidErrorType;
    text = build(pdu);
    EXPECT_NE(text.find("<error-status></error-status>\n"), std::string::npos);
    Outcome o = parseCaptured(text);
    EXPECT_EQ(o.rc, -1);
    EXPECT_EQ(o.out, "No error-status content/value\n");
    EXPECT_EQ(o.err, "");
}

TEST(QelBuild, InvalidArgsAndCountMismatch) {
    char buf[2048];
    qelPdu_t pdu = makePdu(GetRequest, 9);
    testing::internal::CaptureStderr();
    EXPECT_EQ(buildQelMessage(nullptr, buf, sizeof buf, nullptr), -1);
    EXPECT_EQ(buildQelMessage(&pdu, nullptr, 10, nullptr), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "buildQelMessage: invalid args\nbuildQelMessage: invalid args\n");

    addVar(pdu, "core", "sysName", "", nullSyntax);
    pdu.numberVariables = 2;
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    int len = buildQelMessage(&pdu, buf, sizeof buf, nullptr);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "buildQelMessage: msg:2 numVariables does not match 1 2\n");
    EXPECT_GT(len, 0);
    EXPECT_EQ(out,
              "Message: type:2, id=9\nerrorStatus:0 errorIndex:0\nVariables: 2\n"
              "\tVar Name:'core,sysName,' Syntax:13 Value:''\n"
              "dumpInternalQelMessage: numVars dont match 1 2\n");
    pdu.numberVariables = 1;
    qelPduCleanup(&pdu);
}

TEST(QelBuild, NeededRetryAndBaseEstimate) {
    qelPdu_t pdu = makePdu(GetRequest, 7);
    addVar(pdu, "core", "sysDescr", "", nullSyntax);
    char small[100];
    int needed = 0;
    {
        Verbose v;
        testing::internal::CaptureStderr();
        EXPECT_EQ(buildQelMessage(&pdu, small, sizeof small, &needed), -1);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "buildQelMessage: insufficient buffer size, 534 100\n");
    }
    // 355 + 140 per variable + value length + 2 + 20 + names + 5
    EXPECT_EQ(needed, 355 + 140 + 0 + 2 + 20 + 4 + 8 + 0 + 5);
    EXPECT_EQ(buildQelMessage(&pdu, small, sizeof small, nullptr), -1);

    std::vector<char> buf(static_cast<size_t>(needed));
    {
        Verbose v;
        testing::internal::CaptureStderr();
        int len = buildQelMessage(&pdu, buf.data(), needed, &needed);
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "buildQelMessage: len:" + std::to_string(len) + ", buflen:534, estimate:534\n");
        EXPECT_GT(len, 0);
    }
    qelPduCleanup(&pdu);
}

// Long table info, long keys and values that grow a lot when escaped: the
// builder must report the size it needs and never write past the buffer.
TEST(QelBuild, NeverWritesPastBuffer) {
    qelPdu_t pdu = makePdu(SelectTableRequest, 1);
    pdu.maxRows = -2147483647 - 1;
    memset(pdu.tableMib, '&', sizeof pdu.tableMib - 1);
    memset(pdu.tableName, '<', sizeof pdu.tableName - 1);
    memset(pdu.tableKey, '\xff', sizeof pdu.tableKey - 1);
    std::string key;
    while (key.size() + 3 < QEL_KEY_LEN)
        key += "\xe6\x97\xa5"; // U+65E5, eight bytes escaped
    addVar(pdu, std::string(127, '>'), std::string(127, '\r'), key, displayString, std::string(4095, '&'));
    codectest::setRawSyntax(addVar(pdu, "m", "o", "k", displayString, std::string(5000, '\x80')), -2000000000);
    addVar(pdu, "m", "o", "", binaryString, std::string(100, '\x01'));

    char probe[16];
    int needed = 0;
    ASSERT_EQ(buildQelMessage(&pdu, probe, sizeof probe, &needed), -1);
    ASSERT_GT(needed, 0);
    const size_t guard = 64;
    std::vector<char> buf(static_cast<size_t>(needed) + guard, '\x5a');
    int len = buildQelMessage(&pdu, buf.data(), needed, nullptr);
    ASSERT_GT(len, 0);
    EXPECT_LT(len, needed);
    for (size_t i = static_cast<size_t>(needed); i < buf.size(); i++)
        ASSERT_EQ(buf[i], '\x5a') << "byte " << i << " written past the buffer";

    // Any smaller buffer is refused, and nothing lands past its end.
    for (int size : {needed - 1, len + 1, len, len / 2, 1000, 10, 0}) {
        std::vector<char> tight(static_cast<size_t>(size) + guard, '\x5a');
        int got = 0;
        EXPECT_EQ(buildQelMessage(&pdu, tight.data(), size, &got), -1) << size;
        EXPECT_EQ(got, needed);
        for (size_t i = static_cast<size_t>(size); i < tight.size(); i++)
            ASSERT_EQ(tight[i], '\x5a') << "size " << size << " byte " << i;
    }

    std::string text(buf.data(), static_cast<size_t>(len));
    for (unsigned char c : text)
        ASSERT_LT(c, 0x80);
    EXPECT_NE(text.find("vartype=\"syntax(-2000000000)\""), std::string::npos);

    qelPdu_t back = parseOk(text);
    EXPECT_EQ(std::string(back.tableMib), std::string(127, '&'));
    EXPECT_EQ(std::string(back.tableName), std::string(127, '<'));
    // A byte that is not UTF-8 travels as the code point of its value.
    std::string yy;
    for (int i = 0; i < 1023; i++)
        yy += "\xc3\xbf";
    yy += '\xc3'; // the field holds 2047 bytes
    EXPECT_TRUE(std::string(back.tableKey) == yy);
    EXPECT_EQ(back.maxRows, -2147483647 - 1);
    auto v = vars(back);
    ASSERT_EQ(v.size(), 3u);
    EXPECT_EQ(std::string(v[0]->varName.mibName), std::string(127, '>'));
    EXPECT_EQ(std::string(v[0]->varName.objName), std::string(127, '\r'));
    EXPECT_TRUE(std::string(v[0]->varName.key) == key);
    EXPECT_EQ(valueOf(v[0]), std::string(4095, '&'));
    EXPECT_EQ(v[1]->varSyntax, invalidSyntax);
    EXPECT_EQ(v[1]->valueStrLen, 10000);
    EXPECT_EQ(std::string(v[2]->varName.key), "");
    EXPECT_EQ(valueOf(v[2]), std::string(100, '?'));
    qelPduCleanup(&back);
    qelPduCleanup(&pdu);
}

// The estimate must hold whatever the record claims about its value length.
TEST(QelBuild, InconsistentValueLengthCannotOverrun) {
    qelPdu_t pdu = makePdu(Response, 1);
    qelVariable_t *v = addVar(pdu, "m", "o", "", displayString, std::string(3000, 'x'));
    v->valueStrLen = 0;
    int needed = 0;
    char probe[8];
    ASSERT_EQ(buildQelMessage(&pdu, probe, sizeof probe, &needed), -1);
    std::vector<char> buf(static_cast<size_t>(needed) + 8, 'G');
    int len = buildQelMessage(&pdu, buf.data(), needed, nullptr);
    ASSERT_GT(len, 3000);
    for (size_t i = static_cast<size_t>(needed); i < buf.size(); i++)
        ASSERT_EQ(buf[i], 'G');
    qelPduCleanup(&pdu);
}

// ---------------------------------------------------------------------------
// Round trips

class QelRoundTrip : public testing::TestWithParam<qelMessageType_t> {};

TEST_P(QelRoundTrip, EveryTypeWithAndWithoutTableFields) {
    for (bool withTable : {false, true}) {
        qelPdu_t pdu = makePdu(GetParam(), 1234567890123LL);
        pdu.errorStatus = genError;
        pdu.errorIndex = 4000000000u;
        if (withTable || qelMessageHasTableInfo(GetParam())) {
            qelCopyField(pdu.tableMib, "kestrova");
            qelCopyField(pdu.tableName, "dependencyTable");
            qelCopyField(pdu.tableKey, withTable ? "host1.22" : "*");
            pdu.maxRows = 25;
        }
        addVar(pdu, "kestrova", "depType", "host1.22", integer, "12");
        addVar(pdu, "kestrova", "depName", "host1.22", displayString, "sshd on host1");
        addVar(pdu, "core", "sysName", "", nullSyntax);
        addVar(pdu, "core", "flag", "", bool_, "true");

        std::string text = build(pdu);
        qelPdu_t back = parseOk(text);
        EXPECT_EQ(back.msgType, GetParam());
        EXPECT_EQ(back.messageID, 1234567890123LL);
        EXPECT_EQ(back.errorStatus, genError);
        EXPECT_EQ(back.errorIndex, 4000000000u);
        if (qelMessageHasTableInfo(GetParam())) {
            EXPECT_STREQ(back.tableMib, pdu.tableMib);
            EXPECT_STREQ(back.tableName, pdu.tableName);
            EXPECT_STREQ(back.tableKey, pdu.tableKey);
            EXPECT_EQ(back.maxRows, 25);
        } else {
            EXPECT_EQ(text.find("tableInfo"), std::string::npos);
            EXPECT_STREQ(back.tableMib, "");
            EXPECT_EQ(back.maxRows, 0);
        }
        ASSERT_EQ(back.numberVariables, 4u);
        auto got = vars(back), want = vars(pdu);
        ASSERT_EQ(got.size(), 4u);
        EXPECT_EQ(back.varListTail, got.back());
        for (size_t i = 0; i < 4; i++) {
            EXPECT_STREQ(got[i]->varName.mibName, want[i]->varName.mibName);
            EXPECT_STREQ(got[i]->varName.objName, want[i]->varName.objName);
            EXPECT_STREQ(got[i]->varName.key, want[i]->varName.key);
            EXPECT_EQ(got[i]->varSyntax, want[i]->varSyntax);
            EXPECT_EQ(got[i]->entryPtr, nullptr);
            EXPECT_EQ(got[i]->valueBuf, nullptr);
        }
        EXPECT_STREQ(got[0]->valueStr, "12");
        EXPECT_EQ(got[0]->valueStrLen, 2);
        EXPECT_STREQ(got[1]->valueStr, "sshd on host1");
        EXPECT_STREQ(got[2]->valueStr, ""); // nullSyntax carries no value
        EXPECT_EQ(got[2]->valueStrLen, 0);
        EXPECT_STREQ(got[3]->valueStr, "true");
        // Building the parsed record again gives the same text.
        EXPECT_EQ(build(back), text);
        qelPduCleanup(&back);
        qelPduCleanup(&pdu);
    }
}

INSTANTIATE_TEST_SUITE_P(AllTypes, QelRoundTrip,
                         testing::Values(Response, GetRequest, SetRequest, SelectTableRequest, InsertTableRequest,
                                         DeleteTableRequest, UpdateTableRequest, Trap, Information));

TEST(QelRoundTrip, ValueLengthBoundary) {
    qelPdu_t pdu = makePdu(Response, 3);
    addVar(pdu, "m", "a", "", displayString, std::string(4095, 'a'));
    addVar(pdu, "m", "b", "", displayString, std::string(4096, 'b'));
    addVar(pdu, "m", "c", "", displayString, std::string(100000, 'c'));
    std::string text = build(pdu);
    EXPECT_NE(text.find(">" + std::string(4096, 'b') + "<"), std::string::npos); // written from valueBuf
    qelPdu_t back = parseOk(text);
    auto v = vars(back);
    ASSERT_EQ(v.size(), 3u);
    EXPECT_EQ(v[0]->valueBuf, nullptr);
    EXPECT_EQ(v[0]->valueStrLen, 4095);
    EXPECT_EQ(std::string(v[0]->valueStr), std::string(4095, 'a'));
    ASSERT_NE(v[1]->valueBuf, nullptr);
    EXPECT_EQ(v[1]->valueStrLen, 4096);
    EXPECT_EQ(std::string(v[1]->valueBuf), std::string(4096, 'b'));
    ASSERT_NE(v[2]->valueBuf, nullptr);
    EXPECT_EQ(v[2]->valueStrLen, 100000);
    EXPECT_EQ(std::string(v[2]->valueBuf), std::string(100000, 'c'));
    qelPduCleanup(&back);
    qelPduCleanup(&pdu);
}

TEST(QelRoundTrip, UnknownSyntaxReadsBackInvalid) {
    qelPdu_t pdu = makePdu(Response, 3);
    codectest::setRawSyntax(addVar(pdu, "m", "o", "", displayString, "v"), 99);
    std::string text = build(pdu);
    EXPECT_NE(text.find("<varvalue vartype=\"syntax(99)\">v</varvalue>\n"), std::string::npos);
    qelPdu_t back = parseOk(text);
    ASSERT_NE(back.varList, nullptr);
    EXPECT_EQ(back.varList->varSyntax, invalidSyntax);
    EXPECT_STREQ(back.varList->valueStr, "v");
    qelPduCleanup(&back);
    qelPduCleanup(&pdu);

    qelPdu_t b =
        parseOk(withVariable("<variable><varname><mib>m</mib><object>o</object><key/></varname>"
                             "<varvalue vartype=\"boolean\">false</varvalue></variable>\n"));
    ASSERT_NE(b.varList, nullptr);
    EXPECT_EQ(b.varList->varSyntax, bool_);
    qelPduCleanup(&b);
}

TEST(QelRoundTrip, EscapedTextComesBackUnchanged) {
    const std::string values[] = {
        "a & b < c > d ' \" e",
        "&amp; is not decoded twice &lt;",
        "]]> and <![CDATA[ x ]]>",
        "caf\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x98\x80 \xc2\x80 \xef\xbf\xbd",
        "tab\there\nnewline\n",
        "cr\r\nlf and lone cr\r",
        "   leading and trailing   ",
        "   ",
        "\n",
        "del \x7f kept",
    };
    qelPdu_t pdu = makePdu(InsertTableRequest, 5);
    qelCopyField(pdu.tableMib, "m&<>");
    qelCopyField(pdu.tableName, "t\xc3\xa9");
    qelCopyField(pdu.tableKey, "k'\"\r");
    int i = 0;
    for (const auto &val : values)
        addVar(pdu, "mib&" + std::to_string(i), "obj<" + std::to_string(i), "key>\xc3\xa9\r" + std::to_string(i),
               displayString, val),
            i++;
    std::string text = build(pdu);
    for (unsigned char c : text)
        ASSERT_TRUE(c < 0x80 && (c >= 0x20 || c == '\n' || c == '\t')) << "byte " << int(c);
    EXPECT_NE(text.find("a &amp; b &lt; c &gt; d ' \" e"), std::string::npos);
    EXPECT_NE(text.find("caf&#xE9; &#x65E5;&#x672C; &#x1F600; &#x80; &#xFFFD;"), std::string::npos);
    EXPECT_NE(text.find("cr&#xD;\nlf and lone cr&#xD;"), std::string::npos);

    qelPdu_t back = parseOk(text);
    EXPECT_STREQ(back.tableMib, "m&<>");
    EXPECT_STREQ(back.tableName, "t\xc3\xa9");
    EXPECT_STREQ(back.tableKey, "k'\"\r");
    auto v = vars(back);
    ASSERT_EQ(v.size(), std::size(values));
    for (size_t k = 0; k < v.size(); k++) {
        EXPECT_EQ(valueOf(v[k]), values[k]) << k;
        EXPECT_EQ(v[k]->valueStrLen, static_cast<int>(values[k].size()));
        EXPECT_EQ(std::string(v[k]->varName.mibName), "mib&" + std::to_string(k));
        EXPECT_EQ(std::string(v[k]->varName.objName), "obj<" + std::to_string(k));
        EXPECT_EQ(std::string(v[k]->varName.key), "key>\xc3\xa9\r" + std::to_string(k));
    }
    qelPduCleanup(&back);
    qelPduCleanup(&pdu);
}

TEST(QelRoundTrip, TextXmlCannotCarry) {
    qelPdu_t pdu = makePdu(Response, 5);
    addVar(pdu, "m", "ctl", "", displayString,
           "a\x01"
           "b\x1f"
           "c\x1b[0m");
    addVar(pdu, "m", "bad", "", displayString, "\xff\xfe x \xc3 \xe6\x97 \xed\xa0\x80 \xc0\xaf");
    addVar(pdu, "m", "nonchar", "", displayString, "\xef\xbf\xbf\xef\xbf\xbe!");
    std::string text = build(pdu);
    EXPECT_NE(text.find(">&#xFF;&#xFE; x &#xC3; &#xE6;&#x97; &#xED;&#xA0;&#x80; &#xC0;&#xAF;<"), std::string::npos)
        << text;
    qelPdu_t back = parseOk(text);
    auto v = vars(back);
    ASSERT_EQ(v.size(), 3u);
    EXPECT_EQ(valueOf(v[0]), "a?b?c?[0m");
    // Invalid bytes read back as the UTF-8 of the code point of their value.
    EXPECT_EQ(valueOf(v[1]), "\xc3\xbf\xc3\xbe x \xc3\x83 \xc3\xa6\xc2\x97 \xc3\xad\xc2\xa0\xc2\x80 \xc3\x80\xc2\xaf");
    EXPECT_EQ(valueOf(v[2]),
              "?"
              "?!");
    qelPduCleanup(&back);
    qelPduCleanup(&pdu);
}

// The first and last code points of each UTF-8 length become references;
// the overlong form just below each first one, a surrogate and what lies
// past U+10FFFF are escaped byte by byte.
TEST(QelRoundTrip, Utf8BoundsAreReferencesAndOverlongFormsBytes) {
    const std::pair<std::string, std::string> cases[] = {
        {"\xc2\x80", "&#x80;"},
        {"\xdf\xbf", "&#x7FF;"},
        {"\xc1\xbf", "&#xC1;&#xBF;"},
        {"\xe0\xa0\x80", "&#x800;"},
        {"\xe0\x9f\xbf", "&#xE0;&#x9F;&#xBF;"},
        {"\xed\x9f\xbf", "&#xD7FF;"},
        {"\xed\xa0\x80", "&#xED;&#xA0;&#x80;"},
        {"\xee\x80\x80", "&#xE000;"},
        {"\xf0\x90\x80\x80", "&#x10000;"},
        {"\xf0\x8f\xbf\xbf", "&#xF0;&#x8F;&#xBF;&#xBF;"},
        {"\xf4\x8f\xbf\xbf", "&#x10FFFF;"},
        {"\xf4\x90\x80\x80", "&#xF4;&#x90;&#x80;&#x80;"},
    };
    for (const auto &[value, xml] : cases) {
        qelPdu_t pdu = makePdu(Response, 5);
        addVar(pdu, "m", "o", "", displayString, value);
        const std::string text = build(pdu);
        qelPduCleanup(&pdu);
        EXPECT_NE(text.find(">" + xml + "<"), std::string::npos) << xml << " in " << text;
    }
}

// A byte that needs escaping is found wherever it stands in a plain run.
TEST(QelRoundTrip, EveryByteIsEscapedWhereverItStands) {
    auto valueXml = [](const std::string &value) {
        qelPdu_t pdu = makePdu(Response, 5);
        addVar(pdu, "m", "o", "k", displayString, value);
        std::string text = build(pdu);
        qelPduCleanup(&pdu);
        const size_t from = text.find("\">", text.find("<varvalue")) + 2;
        return text.substr(from, text.find("</varvalue>") - from);
    };
    for (int b = 1; b < 256; b++) {
        const std::string alone = valueXml(std::string(1, static_cast<char>(b)));
        for (size_t at = 0; at < 17; at++) {
            std::string value(19, 'a');
            value[at] = static_cast<char>(b);
            ASSERT_EQ(valueXml(value), std::string(at, 'a') + alone + std::string(18 - at, 'a')) << b << " at " << at;
        }
    }
}

// ---------------------------------------------------------------------------
// Parser

TEST(QelParse, ArgumentChecks) {
    qelPdu_t pdu = makePdu(invalidMsgType, 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(parseQelMessage(nullptr, 100, &pdu), -1);
    EXPECT_EQ(parseQelMessage("x", 100, nullptr), -1);
    EXPECT_EQ(parseQelTableInfo(nullptr, &pdu), -1);
    EXPECT_EQ(parseQelVariable(nullptr, &pdu), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "parseQelMessage: invalid arg(s) membuf/pdu\nparseQelMessage: invalid arg(s) membuf/pdu\n"
              "parseQelTableInfo: invalid arg(s)\nparseQelVariable: invalid arg(s)\n");
}

TEST(QelParse, BufferSizeBoundary) {
    std::string text = "<x/>" + std::string(21, ' '); // 25 bytes
    Outcome o = parseCaptured(text.substr(0, 24));
    EXPECT_EQ(o.rc, -1);
    EXPECT_EQ(o.err, "parseQelMessage: invalid bufsize, 24\n");
    o = parseCaptured(text);
    EXPECT_EQ(o.rc, -1);
    EXPECT_EQ(o.err, "parseQelMessage: document is not an QEL message, x\n"); // parsed, then judged
}

TEST(QelParse, NotWellFormed) {
    std::string text = "<qel message-id=\"1\">\n\t<GetRequest>\xff and more text after that";
    Outcome o = parseCaptured(text);
    EXPECT_EQ(o.rc, -1);
    EXPECT_EQ(o.err,
              "parseQelMessage: xml parse error\nparseQelMessage: erroneous buffer is: \n"
              "<qel message-id=\"1\">XX<GetReques\n");
    EXPECT_EQ(o.out, "");
    // Fewer than 32 bytes: only those are shown.
    o = parseCaptured(std::string("<a><b></a>                    ").substr(0, 26));
    EXPECT_EQ(o.err,
              "parseQelMessage: xml parse error\nparseQelMessage: erroneous buffer is: \n<a><b></a>                \n");
}

TEST(QelParse, RootAndId) {
    struct Case {
        std::string text, err;
    } cases[] = {
        {"<?xml version=\"1.0\"?>\n<message id=\"1\"/>\n",
         "parseQelMessage: document is not an QEL message, message\n"},
        {"<qel xmlns=\"" QEL_NAMESPACE_URI "\"><GetRequest/></qel>", "parseQelMessage: QEL message has no id\n"},
        {"<qel version=\"1\" message-id=\"1\"><GetRequest/></qel>", "parseQelMessage: QEL message has no id\n"},
        {"<qel message-id=\"\"><GetRequest/></qel>", "parseQelMessage: QEL message has no id\n"},
        {"<qel message-id=\"1\">  \n  </qel>", "parseQelMessage: QEL message has no type\n"},
        {"<qel message-id=\"1\"/>                     ", "parseQelMessage: QEL message has no type\n"},
        {"<qel message-id=\"1\"><Foo/></qel>", "parseQelMessage: invalid QEL message type 'Foo'\n"},
        {"<qel message-id=\"1\"><invalidMsgType/></qel>",
         "parseQelMessage: invalid QEL message type 'invalidMsgType'\n"},
        {"<qel message-id=\"1\"><GetRequest/></qel>", "No error-status\n"},
        {"<qel message-id=\"1\"><GetRequest> </GetRequest></qel>", "No error-status\n"},
    };
    for (const auto &c : cases) {
        Outcome o = parseCaptured(c.text);
        EXPECT_EQ(o.rc, -1) << c.text;
        EXPECT_EQ(o.err, c.err) << c.text;
    }
}

TEST(QelParse, IdConversion) {
    const std::pair<const char *, long long> ids[] = {
        {"-42", -42}, {"9223372036854775807", 9223372036854775807LL}, {"12abc", 12}, {"abc", 0}};
    for (auto [id, want] : ids) {
        std::string text = kDecl + "<qel message-id=\"" + id + "\" other=\"x\">\n<GetRequest>\n" + kHead + kOneVar +
                           "</GetRequest>\n<ignored/>\n</qel>\n";
        qelPdu_t pdu = parseOk(text);
        EXPECT_EQ(pdu.messageID, want) << id;
        qelPduCleanup(&pdu);
    }
}

TEST(QelParse, HeaderElements) {
    struct Case {
        std::string type, inner, err, out;
    } cases[] = {
        {"GetRequest", "<error-index>0</error-index>\n", "parseQelMessage: no error-status tag 'error-index'\n", ""},
        {"GetRequest", "<error-status/>\n", "", "No error-status content/value\n"},
        {"GetRequest", "<error-status>noError</error-status>\n", "No error-index\n", ""},
        {"GetRequest", "<error-status>noError</error-status><variableList/>",
         "parseQelMessage: no error-index tag 'variableList'\n", ""},
        {"GetRequest", "<error-status>noError</error-status><error-index></error-index>",
         "No error-index content/value\n", ""},
        {"GetRequest", kHead, "No variableList\n", ""},
        {"GetRequest", kHead + "<varList/>", "parseQelMessage: no variableList tag 'varList'\n", ""},
        {"Response",
         kHead + "<tableInfo><mib>m</mib><object>o</object><key>*</key><max-rows>0</max-rows></tableInfo>" + kOneVar,
         "parseQelMessage: no variableList tag 'tableInfo'\n", ""},
        {"GetRequest", kHead + "<variableList/>", "parseQelMessage: no variables\n", ""},
        {"GetRequest", kHead + "<variableList></variableList>", "parseQelMessage: no variables\n", ""},
        {"GetRequest", kHead + "<variableList>\n<var/>\n</variableList>",
         "parseQelMessage: did not find variable 'var'\n", ""},
    };
    for (const auto &c : cases) {
        std::string text = message(c.type, c.inner);
        Outcome o = parseCaptured(text);
        EXPECT_EQ(o.rc, -1) << text;
        EXPECT_EQ(o.err, c.err) << text;
        EXPECT_EQ(o.out, c.out) << text;
    }
}

TEST(QelParse, HeaderFieldsKeptAsFarAsParsed) {
    qelPdu_t pdu = makePdu(invalidMsgType, 0);
    pdu.errorIndex = 77;
    Outcome o = parseCaptured(message("SetRequest", "<error-status>badValue</error-status>\n<error-index/>\n"), pdu);
    EXPECT_EQ(o.rc, -1);
    EXPECT_EQ(pdu.msgType, SetRequest);
    EXPECT_EQ(pdu.messageID, 7);
    EXPECT_EQ(pdu.errorStatus, badValue);
    EXPECT_EQ(pdu.errorIndex, 77u);

    // An unknown status name is no error.
    qelPdu_t p =
        parseOk(message("Response", "<error-status>veryBad</error-status>\n<error-index>2</error-index>\n" + kOneVar));
    EXPECT_EQ(p.errorStatus, invalidErrorType);
    EXPECT_EQ(p.errorIndex, 2u);
    qelPduCleanup(&p);

    // Only white space inside variableList: a message without variables.
    qelPdu_t e = parseOk(message("GetRequest", kHead + "<variableList>\n  \n</variableList>\n"));
    EXPECT_EQ(e.numberVariables, 0u);
    qelPduCleanup(&e);
}

TEST(QelParse, TableInfoFailures) {
    auto table = [](const std::string &info) { return message("SelectTableRequest", kHead + info + kOneVar); };
    struct Case {
        std::string info, err;
    } cases[] = {
        {"<tableinfo/>", "tableinfo is not tableInfo\n"},
        {"<tableInfo/>", "tableInfo does not have mib, object, key, etc.\n"},
        {"<tableInfo>\n</tableInfo>", "tableInfo does not contain mib . . .\n"},
        {"<tableInfo><module>m</module></tableInfo>", "'module' is not mib\n"},
        {"<tableInfo><mib/></tableInfo>", "No mib value\n"},
        {"<tableInfo><mib>m</mib></tableInfo>", "tableInfo does not contain object . . .\n"},
        {"<tableInfo><mib>m</mib><table>t</table></tableInfo>", "'table' is not table object\n"},
        {"<tableInfo><mib>m</mib><object></object></tableInfo>", "No table object value\n"},
        {"<tableInfo><mib>m</mib><object>t</object></tableInfo>", "tableInfo does not contain table key . . .\n"},
        {"<tableInfo><mib>m</mib><object>t</object><index>*</index></tableInfo>", "'index' is not table key\n"},
        {"<tableInfo><mib>m</mib><object>t</object><key/></tableInfo>", "No table key value\n"},
        {"<tableInfo><mib>m</mib><object>t</object><key>*</key></tableInfo>",
         "tableInfo does not contain max-rows . . .\n"},
        {"<tableInfo><mib>m</mib><object>t</object><key>*</key><maxrows>1</maxrows></tableInfo>",
         "'maxrows' is not table max-rows\n"},
        {"<tableInfo><mib>m</mib><object>t</object><key>*</key><max-rows/></tableInfo>", "No table max-rows value\n"},
    };
    for (const auto &c : cases) {
        Outcome o = parseCaptured(table(c.info));
        EXPECT_EQ(o.rc, -1) << c.info;
        EXPECT_EQ(o.err, c.err + "Failed to parse tableInfo\n") << c.info;
    }
    Outcome o = parseCaptured(message("DeleteTableRequest", kHead));
    EXPECT_EQ(o.err, "No tableInfo\n");

    // Fields are bounded by their sizes.
    qelPdu_t pdu =
        parseOk(table("<tableInfo><mib>" + std::string(300, 'm') + "</mib><object>" + std::string(200, 'o') +
                      "</object><key>" + std::string(3000, 'k') + "</key><max-rows>12x</max-rows></tableInfo>\n"));
    EXPECT_EQ(std::string(pdu.tableMib), std::string(127, 'm'));
    EXPECT_EQ(std::string(pdu.tableName), std::string(127, 'o'));
    EXPECT_EQ(std::string(pdu.tableKey), std::string(2047, 'k'));
    EXPECT_EQ(pdu.maxRows, 12);
    qelPduCleanup(&pdu);
}

TEST(QelParse, VariableFailures) {
    const std::string name = "<varname><mib>m</mib><object>o</object><key/></varname>";
    struct Case {
        std::string variable, err;
    } cases[] = {
        {"<variable/>", "variable does not have name,value\n"},
        {"<variable>\n</variable>", "No varname\n"},
        {"<variable><name/></variable>", "name should be varname\n"},
        {"<variable><varname/></variable>", "No mib/object tags\n"},
        {"<variable><varname><mob>m</mob></varname></variable>", "mob should be mib\n"},
        {"<variable><varname><mib/></varname></variable>", "No mib value\n"},
        {"<variable><varname><mib>m</mib></varname></variable>", "missing object tag\n"},
        {"<variable><varname><mib>m</mib><obj>o</obj></varname></variable>", "obj should be object\n"},
        {"<variable><varname><mib>m</mib><object/></varname></variable>", "No object value\n"},
        {"<variable><varname><mib>m</mib><object>o</object></varname></variable>", "missing key tag\n"},
        {"<variable><varname><mib>m</mib><object>o</object><k/></varname></variable>", "k should be key\n"},
        {"<variable>" + name + "</variable>", "missing varvalue tag\n"},
        {"<variable>" + name + "<value/></variable>", "value should be varvalue\n"},
        {"<variable>" + name + "<varvalue/></variable>", "No vartype present\n"},
        {"<variable>" + name + "<varvalue type=\"integer\"/></variable>", "type should be vartype\n"},
        {"<variable>" + name + "<varvalue vartype=\"\"/></variable>", "vartype has no value\n"},
    };
    for (const auto &c : cases) {
        qelPdu_t pdu = makePdu(invalidMsgType, 0);
        // A good binding first: it must be released when the second fails.
        std::string good = "<variable>" + name + "<varvalue vartype=\"integer\">1</varvalue></variable>\n";
        Outcome o = parseCaptured(withVariable(good + c.variable + "\n"), pdu);
        EXPECT_EQ(o.rc, -1) << c.variable;
        EXPECT_EQ(o.err, c.err + "parseQelMessage: parse variable failed\n") << c.variable;
        EXPECT_EQ(pdu.varList, nullptr);
        EXPECT_EQ(pdu.varListTail, nullptr);
        EXPECT_EQ(pdu.numberVariables, 1u); // the count reached
        EXPECT_EQ(qelPduCleanup(&pdu), 0);
    }

    // Called directly on an element of another name.
    xmlDoc *doc = xmlReadMemory("<foo/>", 6, nullptr, nullptr, 0);
    ASSERT_NE(doc, nullptr);
    qelPdu_t pdu = makePdu(invalidMsgType, 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(parseQelVariable(xmlDocGetRootElement(doc), &pdu), -1);
    EXPECT_EQ(parseQelTableInfo(xmlDocGetRootElement(doc), &pdu), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "foo is not a variable\nfoo is not tableInfo\n");
    xmlFreeDoc(doc);
}

// A CDATA section has no name in libxml2: wherever an element belongs it
// is refused with a message, never compared by its (null) name.
TEST(QelParse, CdataWhereAnElementBelongs) {
    const std::string cdata = "<![CDATA[x]]>";
    const std::string name = "<varname><mib>m</mib><object>o</object><key/></varname>";
    struct Case {
        std::string text, err;
    } cases[] = {
        {kDecl + rootOpen(7) + cdata + "<GetRequest/></qel>",
         "parseQelMessage: invalid QEL message type '#cdata-section'\n"},
        {message("GetRequest", cdata + kHead), "parseQelMessage: no error-status tag '#cdata-section'\n"},
        {message("GetRequest", "<error-status>noError</error-status>" + cdata),
         "parseQelMessage: no error-index tag '#cdata-section'\n"},
        {message("GetRequest", kHead + cdata), "parseQelMessage: no variableList tag '#cdata-section'\n"},
        {withVariable(cdata), "parseQelMessage: did not find variable '#cdata-section'\n"},
        {withVariable("<variable>" + cdata + "</variable>"),
         "#cdata-section should be varname\nparseQelMessage: parse variable failed\n"},
        {withVariable("<variable><varname>" + cdata + "</varname></variable>"),
         "#cdata-section should be mib\nparseQelMessage: parse variable failed\n"},
        {withVariable("<variable><varname><mib>m</mib>" + cdata + "</varname></variable>"),
         "#cdata-section should be object\nparseQelMessage: parse variable failed\n"},
        {withVariable("<variable><varname><mib>m</mib><object>o</object>" + cdata + "</varname></variable>"),
         "#cdata-section should be key\nparseQelMessage: parse variable failed\n"},
        {withVariable("<variable>" + name + cdata + "</variable>"),
         "#cdata-section should be varvalue\nparseQelMessage: parse variable failed\n"},
    };
    for (const auto &c : cases) {
        Outcome o = parseCaptured(c.text);
        EXPECT_EQ(o.rc, -1) << c.text;
        EXPECT_EQ(o.err, c.err) << c.text;
    }
    // In the table info too.
    Outcome o = parseCaptured(
        message("SelectTableRequest", kHead + "<tableInfo><mib>m</mib>" + cdata + "</tableInfo>" + kOneVar));
    EXPECT_EQ(o.rc, -1);
    EXPECT_NE(o.err.find("'#cdata-section' is not table object\n"), std::string::npos) << o.err;
}

TEST(QelParse, VariableContents) {
    std::string text = withVariable(
        "<variable>\n  <varname>\n    <mib>core</mib>\n    <object>sysName</object>\n    <key>r1</key>\n  </varname>\n"
        "  <varvalue vartype=\"displayString\" extra=\"1\">\n  indented\n</varvalue>\n  <ignored/>\n</variable>\n"
        "<!-- a comment -->\n"
        "<variable><varname><mib>" +
        std::string(200, 'M') + "</mib><object>o</object><key>" + std::string(3000, 'K') +
        "</key></varname><varvalue vartype=\"counter\"/></variable>\n"
        "<variable><varname><mib>m</mib><object>o</object><key></key></varname>"
        "<varvalue vartype=\"gauge\"><![CDATA[<raw & text>]]></varvalue></variable>\n");
    qelPdu_t pdu = parseOk(text);
    auto v = vars(pdu);
    ASSERT_EQ(v.size(), 3u);
    EXPECT_STREQ(v[0]->varName.mibName, "core");
    EXPECT_STREQ(v[0]->varName.key, "r1");
    EXPECT_EQ(valueOf(v[0]), "\n  indented\n");
    EXPECT_EQ(std::string(v[1]->varName.mibName), std::string(127, 'M'));
    EXPECT_EQ(std::string(v[1]->varName.key), std::string(2047, 'K'));
    EXPECT_EQ(v[1]->varSyntax, counter);
    EXPECT_EQ(v[1]->valueStrLen, 0);
    EXPECT_STREQ(v[1]->valueStr, "");
    EXPECT_STREQ(v[2]->varName.key, "");
    EXPECT_EQ(valueOf(v[2]), "<raw & text>");
    qelPduCleanup(&pdu);
}

TEST(QelParse, VerboseDoneMessage) {
    Verbose v;
    Outcome o = parseCaptured(message("GetRequest", kHead + kOneVar));
    EXPECT_EQ(o.rc, 1);
    EXPECT_EQ(o.out, "Done parsing QEL message, 1 variables\n");
    EXPECT_EQ(o.err, "");
}

TEST(QelParse, ConcurrentParsesAreIndependent) {
    qelPdu_t pdu = makePdu(Response, 11);
    for (int i = 0; i < 200; i++)
        addVar(pdu, "kestrova", "col" + std::to_string(i % 5), "row" + std::to_string(i / 5), displayString,
               "value & more " + std::to_string(i));
    const std::string text = build(pdu);
    qelPduCleanup(&pdu);
    std::atomic<int> bad{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++)
        threads.emplace_back([&] {
            for (int k = 0; k < 25; k++) {
                qelPdu_t p = makePdu(invalidMsgType, 0);
                if (parseQelMessage(text.data(), static_cast<int>(text.size()), &p) != 1 || p.numberVariables != 200 ||
                    valueOf(p.varListTail) != "value & more 199")
                    bad++;
                qelPduCleanup(&p);
            }
        });
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(bad.load(), 0);
}

// ---------------------------------------------------------------------------
// Files

TEST(QelParseFile, Failures) {
    testutil::TempDir dir;
    qelPdu_t pdu = makePdu(invalidMsgType, 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(parseQelMessageByFilename(nullptr, &pdu), -1);
    EXPECT_EQ(parseQelMessageByFilename("x", nullptr), -1);
    EXPECT_EQ(parseQelMessageByFilename(dir.file("missing.xml").c_str(), &pdu), -1);
    EXPECT_EQ(parseQelMessageByFilename(dir.path().c_str(), &pdu), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "parseQelMessageByFilename: invalid args\nparseQelMessageByFilename: invalid args\n"
              "stat failed: No such file or directory\n" +
                  dir.path() + " is not regular\n");

    std::string empty = dir.write("empty.xml", "");
    testing::internal::CaptureStderr();
    EXPECT_EQ(parseQelMessageByFilename(empty.c_str(), &pdu), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "parseQelMessage: invalid bufsize, 0\n");
}

TEST(QelParseFile, ParsesFile) {
    testutil::TempDir dir;
    std::string path = dir.write("req.xml", message("GetRequest", kHead + kOneVar, 99));
    qelPdu_t pdu = makePdu(invalidMsgType, 0);
    ASSERT_EQ(parseQelMessageByFilename(path.c_str(), &pdu), 1);
    EXPECT_EQ(pdu.messageID, 99);
    ASSERT_EQ(pdu.numberVariables, 1u);
    EXPECT_STREQ(pdu.varList->varName.objName, "sysDescr");
    qelPduCleanup(&pdu);
}

TEST(QelParseFile, ExampleQueriesParse) {
    namespace fs = std::filesystem;
    fs::path dir = fs::path(KESTROVA_SOURCE_DIR) / "examples" / "queries";
    int files = 0;
    for (const auto &entry : fs::directory_iterator(dir)) {
        if (!entry.is_regular_file())
            continue;
        qelPdu_t pdu = makePdu(invalidMsgType, 0);
        EXPECT_EQ(parseQelMessageByFilename(entry.path().c_str(), &pdu), 1) << entry.path();
        EXPECT_GT(pdu.numberVariables, 0u) << entry.path();
        qelPduCleanup(&pdu);
        files++;
    }
    EXPECT_GE(files, 2);
}

// The example requests are in exactly the builder's format.
TEST(QelParseFile, ExampleQueriesAreBuilderOutput) {
    std::string dir = std::string(KESTROVA_SOURCE_DIR) + "/examples/queries/";
    qelPdu_t scalars = makePdu(GetRequest, 1);
    for (const char *obj : {"sysDescr", "sysName", "qeldVersion", "sysUpTimeStr"})
        addVar(scalars, "core", obj, "", nullSyntax);
    EXPECT_EQ(build(scalars), testutil::readFile(dir + "core-scalars.xml"));
    qelPduCleanup(&scalars);

    qelPdu_t table = makePdu(SelectTableRequest, 2);
    qelCopyField(table.tableMib, "core");
    qelCopyField(table.tableName, "pluginTable");
    qelCopyField(table.tableKey, "*");
    addVar(table, "core", "pluginDescr", "", nullSyntax);
    EXPECT_EQ(build(table), testutil::readFile(dir + "plugin-table.xml"));
    qelPduCleanup(&table);
}

// ---------------------------------------------------------------------------
// Copies and release

TEST(QelCopy, SharesNothing) {
    qelPdu_t src = makePdu(SelectTableRequest, 42);
    qelCopyField(src.tableMib, "kestrova");
    qelCopyField(src.tableKey, "*");
    src.maxRows = 10;
    addVar(src, "m", "a", "k1", displayString, "short");
    qelVariable_t *big = addVar(src, "m", "b", "k1", displayString, std::string(5000, 'z'));
    int marker = 0;
    big->entryPtr = &marker;
    addVar(src, "m", "c", "k2", nullSyntax);

    qelPdu_t dst;
    memset(&dst, 0xAB, sizeof dst);
    ASSERT_EQ(copyQelPdu(&src, &dst), 1);
    EXPECT_EQ(dst.msgType, SelectTableRequest);
    EXPECT_EQ(dst.messageID, 42);
    EXPECT_STREQ(dst.tableMib, "kestrova");
    EXPECT_EQ(dst.maxRows, 10);
    EXPECT_EQ(dst.numberVariables, 3u);
    auto s = vars(src), d = vars(dst);
    ASSERT_EQ(d.size(), 3u);
    EXPECT_EQ(dst.varListTail, d[2]);
    EXPECT_EQ(d[2]->next, nullptr);
    for (size_t i = 0; i < 3; i++) {
        EXPECT_NE(d[i], s[i]);
        EXPECT_STREQ(d[i]->varName.objName, s[i]->varName.objName);
        EXPECT_EQ(d[i]->valueStrLen, s[i]->valueStrLen);
        EXPECT_EQ(valueOf(d[i]), valueOf(s[i]));
    }
    ASSERT_NE(d[1]->valueBuf, nullptr);
    EXPECT_NE(d[1]->valueBuf, big->valueBuf);
    EXPECT_EQ(d[1]->entryPtr, &marker);
    big->valueBuf[0] = 'Q';
    EXPECT_EQ(d[1]->valueBuf[0], 'z');

    EXPECT_EQ(qelPduCleanup(&src), 3);
    EXPECT_EQ(std::string(d[1]->valueBuf), std::string(5000, 'z')); // still valid after the source is gone
    EXPECT_EQ(qelPduCleanup(&dst), 3);

    testing::internal::CaptureStderr();
    EXPECT_EQ(copyQelPdu(nullptr, &dst), -1);
    EXPECT_EQ(copyQelPdu(&src, nullptr), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "copyQelPdu: invalid args\ncopyQelPdu: invalid args\n");
    EXPECT_EQ(copyQelVariable(nullptr), nullptr);
}

TEST(QelCleanup, CountsAndRepeats) {
    qelPdu_t pdu = parseOk(
        message("GetRequest", kHead + "<variableList>\n" +
                                  std::string("<variable><varname><mib>m</mib><object>o</object><key/></varname>"
                                              "<varvalue vartype=\"integer\">1</varvalue></variable>\n") +
                                  "<variable><varname><mib>m</mib><object>p</object><key/></varname>"
                                  "<varvalue vartype=\"integer\">2</varvalue></variable>\n</variableList>\n"));
    ASSERT_EQ(pdu.numberVariables, 2u);
    EXPECT_EQ(qelPduCleanup(&pdu), 2);
    EXPECT_EQ(pdu.varList, nullptr);
    EXPECT_EQ(pdu.varListTail, nullptr);
    EXPECT_EQ(pdu.numberVariables, 2u);
    {
        Verbose v;
        testing::internal::CaptureStderr();
        EXPECT_EQ(qelPduCleanup(&pdu), 0);
        EXPECT_EQ(qelPduCleanup(nullptr), -1);
        pdu.numberVariables = 0;
        EXPECT_EQ(qelPduCleanup(&pdu), 0);
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "qelPduCleanup: no varlist, no cleanup\nqelPduCleanup: null ptr, no cleanup\n"
                  "qelPduCleanup: numvars is 0, no cleanup\n");
    }
    testing::internal::CaptureStderr();
    EXPECT_EQ(qelPduCleanup(nullptr), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

    qelPdu_t odd = makePdu(Response, 1);
    addVar(odd, "m", "a", "", integer, "1");
    addVar(odd, "m", "b", "", integer, std::string(6000, '2'));
    odd.numberVariables = 5;
    testing::internal::CaptureStderr();
    EXPECT_EQ(qelPduCleanup(&odd), 2);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "qelPduCleanup: i=2, numberVariables=5\n");
}

TEST(CodecAddVariable, AppendsInOrderAndMovesLongValuesToTheHeap) {
    qelPdu_t pdu{};
    std::string longValue(5000, 'v');
    ASSERT_NE(qelAddVariable(&pdu, "core", "sysDescr", nullptr, displayString, "short"), nullptr);
    ASSERT_NE(qelAddVariable(&pdu, "mib2", "ifDescr", "eth0", displayString, longValue.c_str()), nullptr);
    ASSERT_NE(qelAddVariable(&pdu, "core", "sysName", "", nullSyntax, nullptr), nullptr);
    ASSERT_EQ(pdu.numberVariables, 3u);
    EXPECT_STREQ(pdu.varList->valueStr, "short");
    EXPECT_EQ(pdu.varList->valueBuf, nullptr);
    const qelVariable_t *second = pdu.varList->next;
    ASSERT_NE(second->valueBuf, nullptr);
    EXPECT_EQ(second->valueStrLen, 5000);
    EXPECT_EQ(std::string(second->valueBuf), longValue);
    EXPECT_STREQ(second->varName.key, "eth0");
    EXPECT_EQ(pdu.varListTail, second->next);
    EXPECT_EQ(pdu.varListTail->valueStrLen, 0);
    EXPECT_EQ(qelAddVariable(nullptr, "a", "b", nullptr, integer, "1"), nullptr);
    EXPECT_EQ(qelPduCleanup(&pdu), 3);
}

// A reply with thousands of bindings: the scan's list of them grows past
// the heap into a mapping of its own (from 256 KiB), and every binding must
// survive the moves, as libxml2's reading sees them. (Visited, so that no
// record per binding is kept.)
TEST(QelParse, ThousandsOfBindingsReadAlikeByScanAndTree) {
    // The builder's text of one binding, repeated with other keys and values
    // (a pdu of that many records would take far longer to make).
    qelPdu_t pdu = makePdu(Response, 11);
    addVar(pdu, "mib2", "ifDescr", "KEY", displayString, "VALUE");
    const std::string one = build(pdu);
    qelPduCleanup(&pdu);
    const size_t from = one.find("<variable>"), to = one.find("</variableList>");
    ASSERT_NE(from, std::string::npos);
    ASSERT_NE(to, std::string::npos);
    const std::string binding = one.substr(from, to - from);
    const size_t keyAt = binding.find("KEY"), valueAt = binding.find("VALUE");
    ASSERT_LT(keyAt, valueAt);
    const int n = 9000; // 36-byte bindings: past 256 KiB
    std::string text = one.substr(0, from);
    for (int i = 0; i < n; ++i)
        text += binding.substr(0, keyAt) + std::to_string(i) + binding.substr(keyAt + 3, valueAt - keyAt - 3) + "if" +
                std::to_string(i * 7) + binding.substr(valueAt + 5);
    text += one.substr(to);
    ASSERT_TRUE(qelInBuilderForm(text.data(), text.size()));
    std::vector<std::string> readings[2];
    auto collect = [](const qelVariable_t *v, void *ctx) {
        static_cast<std::vector<std::string> *>(ctx)->push_back(std::string(v->varName.key) + "=" + valueOf(v));
        return 1;
    };
    for (int scan : {1, 0}) {
        qel_scan_builder_form = scan;
        qelPdu_t got = makePdu(invalidMsgType, 0);
        EXPECT_EQ(parseQelMessageVisit(text.data(), static_cast<int>(text.size()), &got, 0, collect, &readings[scan]),
                  1);
        qel_scan_builder_form = 1;
        EXPECT_EQ(got.numberVariables, static_cast<uint32_t>(n));
        qelPduCleanup(&got);
    }
    ASSERT_EQ(readings[1].size(), static_cast<size_t>(n));
    EXPECT_EQ(readings[1], readings[0]);
    EXPECT_EQ(readings[1].front(), "0=if0");
    EXPECT_EQ(readings[1].back(), "8999=if62993");
}

// Decoding in place (the subgraph client decodes the received text where it
// lies) gives what decoding into a new buffer gives, for every ending of a
// text: padding, a lone last character, an early "=", foreign characters.
TEST(Base64InPlace, AgreesWithTheAllocatingDecoder) {
    std::mt19937 rng(1208);
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::uniform_int_distribution<int> pick(0, 63), odd(0, 40);
    for (int len = 1; len < 300; ++len) {
        std::string text;
        for (int i = 0; i < len; ++i) {
            const int o = odd(rng);
            text += o == 0 ? '=' : o == 1 ? '\n' : o == 2 ? '\xc3' : alphabet[static_cast<size_t>(pick(rng))];
        }
        int expectedLen = -1;
        std::unique_ptr<char, decltype(&free)> expected(base64_decode(text.data(), len, &expectedLen), &free);
        ASSERT_TRUE(expected);
        std::vector<char> buf(text.begin(), text.end());
        buf.push_back('\0');
        const int got = base64_decode_into(buf.data(), len, buf.data());
        SCOPED_TRACE(text);
        ASSERT_EQ(got, expectedLen);
        EXPECT_EQ(std::string(buf.data(), static_cast<size_t>(got)),
                  std::string(expected.get(), static_cast<size_t>(expectedLen)));
        EXPECT_EQ(buf[static_cast<size_t>(got)], '\0');
    }
    // A document's round trip, in place.
    std::string doc;
    for (int i = 0; i < 5000; ++i)
        doc += "<edge client=\"c" + std::to_string(i) + "\" server=\"s\" />\n";
    int encLen = 0;
    std::unique_ptr<char, decltype(&free)> enc(base64_encode(doc.data(), static_cast<int>(doc.size()), &encLen), &free);
    ASSERT_TRUE(enc);
    EXPECT_EQ(base64_decode_into(enc.get(), encLen, enc.get()), static_cast<int>(doc.size()));
    EXPECT_EQ(std::string(enc.get()), doc);
    char one[1] = {'x'};
    EXPECT_EQ(base64_decode_into(one, 0, one), -1);
    EXPECT_EQ(base64_decode_into(nullptr, 4, one), -1);
    EXPECT_EQ(base64_decode_into(one, 1, nullptr), -1);
}

// The in-place encoder writes what the allocating one writes, for every
// length of the last group and with all byte values, over the very bytes it
// reads; nothing past the text and its NUL is touched.
TEST(Base64InPlace, EncodesWhatTheAllocatingEncoderWrites) {
    std::mt19937 rng(1209);
    std::uniform_int_distribution<int> byte(0, 255);
    for (int len = 1; len < 300; ++len) {
        std::string bytes;
        for (int i = 0; i < len; ++i)
            bytes += static_cast<char>(byte(rng));
        int expectedLen = -1;
        std::unique_ptr<char, decltype(&free)> expected(base64_encode(bytes.data(), len, &expectedLen), &free);
        ASSERT_TRUE(expected);
        std::vector<char> buf(static_cast<size_t>(expectedLen) + 2, '#');
        std::memcpy(buf.data(), bytes.data(), bytes.size());
        SCOPED_TRACE(len);
        ASSERT_EQ(base64_encode_in_place(buf.data(), len), expectedLen);
        EXPECT_EQ(std::string(buf.data(), static_cast<size_t>(expectedLen)), std::string(expected.get()));
        EXPECT_EQ(buf[static_cast<size_t>(expectedLen)], '\0');
        EXPECT_EQ(buf.back(), '#');
        int backLen = -1;
        std::unique_ptr<char, decltype(&free)> back(base64_decode(buf.data(), expectedLen, &backLen), &free);
        ASSERT_EQ(backLen, len);
        EXPECT_EQ(std::string(back.get(), static_cast<size_t>(backLen)), bytes);
    }
    char one[8] = {'x'};
    EXPECT_EQ(base64_encode_in_place(one, 0), -1);
    EXPECT_EQ(base64_encode_in_place(nullptr, 3), -1);
}

namespace {

// The decoder as its header describes it, one group at a time: a character
// outside the alphabet counts as -1 in the bit arithmetic, "=" in a group's
// third or fourth place ends the text, a lone last character adds nothing.
std::string decodedByGroups(const std::string &text) {
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    auto value = [&](char c) {
        const size_t at = alphabet.find(c);
        return at == std::string::npos || c == '\0' ? UINT32_MAX : static_cast<uint32_t>(at);
    };
    std::string out;
    for (size_t i = 0; i + 1 < text.size(); i += 4) {
        const uint32_t v1 = value(text[i]), v2 = value(text[i + 1]);
        out += static_cast<char>(((v1 << 2) | ((v2 & 0x30u) >> 4)) & 0xFF);
        if (i + 2 >= text.size() || text[i + 2] == '=')
            break;
        const uint32_t v3 = value(text[i + 2]);
        out += static_cast<char>(((v2 << 4) | ((v3 & 0x3Cu) >> 2)) & 0xFF);
        if (i + 3 >= text.size() || text[i + 3] == '=')
            break;
        out += static_cast<char>(((v3 << 6) | value(text[i + 3])) & 0xFF);
    }
    return out;
}

// A Base64 text of n characters: the alphabet, with a foreign character,
// "=" or a NUL-making group at about one place in `rare`; "AAAA" decodes to
// three NULs.
std::string base64Text(std::mt19937 &rng, size_t n, int rare) {
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const std::string odd = std::string("=\n\xc3 -_.:@[`{\x7f", 14) + std::string(1, '\0');
    std::uniform_int_distribution<int> pick(0, 63), chance(0, rare > 0 ? rare - 1 : 0);
    std::uniform_int_distribution<size_t> oddPick(0, odd.size() - 1);
    std::string text;
    while (text.size() < n) {
        if (rare > 0 && chance(rng) == 0)
            text += odd[oddPick(rng)];
        else
            text += alphabet[static_cast<size_t>(pick(rng))];
    }
    return text;
}

} // namespace

// Every text decodes as the group-by-group reading says, foreign characters
// and "=" anywhere, at every length and alignment, into a buffer of its
// exact size (the sanitizer catches a write past it) and in place.
TEST(Base64Decode, EveryTextDecodesAsTheGroupByGroupReading) {
    std::mt19937 rng(20261209);
    for (int rare : {0, 500, 60, 7}) {
        for (size_t n = 1; n < 400; ++n) {
            const std::string text = base64Text(rng, n, rare);
            const std::string expected = decodedByGroups(text);
            SCOPED_TRACE(text);
            int len = -1;
            std::unique_ptr<char, decltype(&free)> out(base64_decode(text.data(), static_cast<int>(n), &len), &free);
            ASSERT_TRUE(out);
            ASSERT_EQ(std::string(out.get(), static_cast<size_t>(len)), expected);
            for (size_t shift : {size_t{0}, size_t{1}, size_t{5}}) { // the text at other alignments
                std::vector<char> buf(shift, '#');
                buf.insert(buf.end(), text.begin(), text.end());
                buf.push_back('\0');
                ASSERT_EQ(base64_decode_into(buf.data() + shift, static_cast<int>(n), buf.data() + shift),
                          static_cast<int>(expected.size()));
                ASSERT_EQ(std::string(buf.data() + shift, expected.size()), expected);
                ASSERT_EQ(std::string(buf.data(), shift), std::string(shift, '#'));
            }
        }
    }
    // A long text with odd characters at each place near both ends.
    for (size_t at = 0; at < 70; ++at) {
        std::string text = base64Text(rng, 640, 0);
        text[at] = at % 3 ? '-' : '=';
        text[text.size() - 1 - at] = '\xff';
        int len = -1;
        std::unique_ptr<char, decltype(&free)> out(base64_decode(text.data(), static_cast<int>(text.size()), &len),
                                                   &free);
        ASSERT_EQ(std::string(out.get(), static_cast<size_t>(len)), decodedByGroups(text)) << at;
    }
}

// Every byte class, at every place of a long value, reads alike by the scan
// of builder text and by libxml2, and builds back as escaped.
TEST(QelParse, LongTextsReadAlikeByScanAndTreeWhateverByteStandsWhere) {
    const std::string base(70, 'Q');
    qelPdu_t pdu = makePdu(Response, 5);
    addVar(pdu, "m", "o", "k", displayString, base);
    const std::string text = build(pdu);
    qelPduCleanup(&pdu);
    const size_t at = text.find(base);
    ASSERT_NE(at, std::string::npos);
    auto reading = [](const std::string &t, int scan) {
        qel_scan_builder_form = scan;
        qelPdu_t got = makePdu(invalidMsgType, 0);
        const int rc = parseQelMessage(t.data(), static_cast<int>(t.size()), &got);
        qel_scan_builder_form = 1;
        std::string r = std::to_string(rc) + "|" + std::to_string(got.numberVariables);
        if (got.varList)
            r += "|" + valueOf(got.varList);
        qelPduCleanup(&got);
        return r;
    };
    const std::string edits[] = {"&",    "<",    ">", " ", "\t", "\n",    "\r",     "\x1f", "\x7f",
                                 "\x80", "\xff", "!", "~", ";",  "&amp;", "&#x41;", "&#65", "]]>"};
    size_t scanned = 0;
    for (const std::string &e : edits) {
        for (size_t i = 0; i < base.size(); ++i) {
            std::string t = text;
            t.replace(at + i, 1, e);
            scanned += qelInBuilderForm(t.data(), t.size());
            ASSERT_EQ(reading(t, 1), reading(t, 0)) << "'" << e << "' at " << i;
        }
        // And the builder: the value with that byte escapes as the tree expects.
        std::string value = base;
        value.replace(33, 1, e);
        qelPdu_t one = makePdu(Response, 5);
        addVar(one, "m", "o", "k", displayString, value);
        const std::string built = build(one);
        qelPduCleanup(&one);
        qelPdu_t back = makePdu(invalidMsgType, 0);
        if (parseQelMessage(built.data(), static_cast<int>(built.size()), &back) == 1 && back.varList &&
            e.find_first_of("\r\x1f\x80\xff") == std::string::npos) {
            EXPECT_EQ(valueOf(back.varList), value) << "'" << e << "'";
        }
        qelPduCleanup(&back);
    }
    EXPECT_GT(scanned, base.size() * 4); // plain edits keep the text in the scan's form
}
