#include <gtest/gtest.h>

#include "codec_testutil.h"

#include "qel/qel.h"
#include "qel/strutil.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <cstdio>
#include <string>
#include <vector>

using codectest::addVar;
using codectest::build;
using codectest::makePdu;

namespace {

struct Captured {
    int rc;
    std::string out;
    std::string err;
};

template <typename F>
Captured capture(F f) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int rc = f();
    Captured c{rc, testing::internal::GetCapturedStdout(), testing::internal::GetCapturedStderr()};
    return c;
}

const std::string kXmlHead =
    "<?xml version=\"1.0\" encoding='US-ASCII' ?>\n"
    "<qel xmlns=\"" QEL_NAMESPACE_URI "\" message-id=\"7\">\n";

std::string hexPtr(const void *p) {
    char buf[32];
    snprintf(buf, sizeof buf, "0x%lx", reinterpret_cast<unsigned long>(p));
    return buf;
}

} // namespace

// ---------------------------------------------------------------------------
// Plain dump

TEST(QelDumpPlain, ScalarsAndTableInfo) {
    qelPdu_t pdu = makePdu(GetRequest, 7);
    pdu.errorStatus = noSuchName;
    pdu.errorIndex = 2;
    addVar(pdu, "core", "sysDescr", "", nullSyntax);
    addVar(pdu, "core", "sysName", "", displayString, "host1");
    Captured c = capture([&] { return dumpInternalQelMessage(&pdu); });
    EXPECT_EQ(c.rc, 1);
    EXPECT_EQ(c.out,
              "Message: type:2, id=7\nerrorStatus:3 errorIndex:2\nVariables: 2\n"
              "\tVar Name:'core,sysDescr,' Syntax:13 Value:''\n"
              "\tVar Name:'core,sysName,' Syntax:11 Value:'host1'\n");
    EXPECT_EQ(c.err, "");
    qelPduCleanup(&pdu);

    qelPdu_t sel = makePdu(SelectTableRequest, -3);
    qelCopyField(sel.tableMib, "kestrova");
    qelCopyField(sel.tableName, "dependencyTable");
    qelCopyField(sel.tableKey, "*");
    sel.maxRows = 50;
    c = capture([&] { return dumpInternalQelMessage(&sel); });
    EXPECT_EQ(c.out,
              "Message: type:8, id=-3\nerrorStatus:0 errorIndex:0\n"
              "TableInfo: mib:kestrova table:dependencyTable key:'*' maxRows:50\nVariables: 0\n");

    // A Response never shows table info, whatever its fields hold.
    sel.msgType = Response;
    c = capture([&] { return dumpInternalQelMessage(&sel); });
    EXPECT_EQ(c.out.find("TableInfo"), std::string::npos);
}

TEST(QelDumpPlain, LongValueFromValueBuf) {
    qelPdu_t pdu = makePdu(Response, 7);
    std::string longValue(5000, 'v');
    qelVariable_t *v = addVar(pdu, "m", "o", "k", binaryString, longValue);
    Captured c = capture([&] { return dumpInternalQelMessage(&pdu); });
    EXPECT_EQ(c.err, "dumpInternalQelMessage: valueBuf is " + hexPtr(v->valueBuf) + "\n");
    EXPECT_EQ(c.out,
              "Message: type:1, id=7\nerrorStatus:0 errorIndex:0\nVariables: 1\n"
              "\tVar Name:'m,o,k' Syntax:12 Len:5000 Value:'" +
                  longValue + "'\n");
    qelPduCleanup(&pdu);
}

TEST(QelDumpPlain, NullAndCountMismatch) {
    Captured c = capture([] { return dumpInternalQelMessage(nullptr); });
    EXPECT_EQ(c.rc, -1);
    EXPECT_EQ(c.err, "dumpInternalQelMessage: invalid arg(s)\n");
    EXPECT_EQ(c.out, "");

    qelPdu_t pdu = makePdu(Trap, 1);
    addVar(pdu, "m", "o", "", integer, "5");
    pdu.numberVariables = 3;
    c = capture([&] { return dumpInternalQelMessage(&pdu); });
    EXPECT_EQ(c.rc, 1);
    EXPECT_EQ(c.out,
              "Message: type:80, id=1\nerrorStatus:0 errorIndex:0\nVariables: 3\n"
              "\tVar Name:'m,o,' Syntax:6 Value:'5'\n"
              "dumpInternalQelMessage: numVars dont match 1 3\n");
    pdu.numberVariables = 1;
    qelPduCleanup(&pdu);
}

// ---------------------------------------------------------------------------
// Tabular XML dump

TEST(QelDumpXml, TwoScalars) {
    qelPdu_t pdu = makePdu(GetRequest, 7);
    addVar(pdu, "core", "sysName", "", displayString, "host1");
    addVar(pdu, "core", "sysUpTime", "", counter, "1234");
    Captured c = capture([&] { return dumpInternalQelMessageXml(&pdu); });
    EXPECT_EQ(c.rc, 1);
    EXPECT_EQ(c.out, kXmlHead +
                         "<GetRequest>\n<error-status>noError</error-status>\n<error-index>0</error-index>\n"
                         "<scalarObjectValue>\n <mibName>core</mibName>\n <objectName>sysName</objectName>\n"
                         " <objectSyntax>displayString</objectSyntax>\n <objectAccess>changeit</objectAccess>\n"
                         " <objectValue>host1</objectValue>\n</scalarObjectValue>\n"
                         "<scalarObjectValue>\n <mibName>core</mibName>\n <objectName>sysUpTime</objectName>\n"
                         " <objectSyntax>counter</objectSyntax>\n <objectAccess>changeit</objectAccess>\n"
                         " <objectValue>1234</objectValue>\n</scalarObjectValue>\n"
                         "</GetRequest>\n</qel>\n");
    EXPECT_EQ(c.out.find("tableInstance"), std::string::npos);
    EXPECT_EQ(c.err, "");
    qelPduCleanup(&pdu);
}

TEST(QelDumpXml, RowsFollowKeys) {
    qelPdu_t pdu = makePdu(Response, 7);
    pdu.errorStatus = noErrorMoreData;
    addVar(pdu, "kestrova", "depName", "a", displayString, "dns");
    addVar(pdu, "kestrova", "depType", "a", integer, "3");
    addVar(pdu, "kestrova", "depName", "b", displayString, "ntp");
    Captured c = capture([&] { return dumpInternalQelMessageXml(&pdu); });
    auto column = [](const std::string &obj, const std::string &syn, const std::string &val, const std::string &key) {
        return "  <columnObjectValue>\n   <objectName>" + obj + "</objectName>\n   <objectSyntax>" + syn +
               "</objectSyntax>\n   <objectAccess>changeit</objectAccess>\n   <objectValue>" + val +
               "</objectValue>\n   <objectKeyValue>" + key + "</objectKeyValue>\n  </columnObjectValue>\n";
    };
    EXPECT_EQ(c.out, kXmlHead +
                         "<Response>\n<error-status>noErrorMoreData</error-status>\n<error-index>0</error-index>\n"
                         "<tableInstance>\n <tableMibName>kestrova</tableMibName>\n <tableName>changeit</tableName>\n"
                         " <tableKey>changeit</tableKey>\n <tableOps>select</tableOps>\n"
                         " <tableRow>\n" +
                         column("depName", "displayString", "dns", "a") + column("depType", "integer", "3", "a") +
                         " </tableRow>\n <tableRow>\n" + column("depName", "displayString", "ntp", "b") +
                         " </tableRow>\n</tableInstance>\n</Response>\n</qel>\n");
    qelPduCleanup(&pdu);
}

TEST(QelDumpXml, TableFieldsAndLongValue) {
    qelPdu_t pdu = makePdu(SelectTableRequest, 7);
    qelCopyField(pdu.tableMib, "mib2");
    qelCopyField(pdu.tableName, "udpTable");
    qelCopyField(pdu.tableKey, "*");
    std::string longValue(4500, 'L');
    codectest::setRawSyntax(addVar(pdu, "mib2", "udpLocalPort", "", displayString, longValue), 77);
    Captured c = capture([&] { return dumpInternalQelMessageXml(&pdu); });
    EXPECT_NE(
        c.out.find(" <tableMibName>mib2</tableMibName>\n <tableName>udpTable</tableName>\n <tableKey>*</tableKey>\n"),
        std::string::npos);
    // A first binding without a key still opens its row.
    EXPECT_NE(c.out.find(" <tableRow>\n  <columnObjectValue>\n"), std::string::npos);
    EXPECT_NE(c.out.find("   <objectSyntax>syntax(77)</objectSyntax>\n"), std::string::npos);
    EXPECT_NE(c.out.find("   <objectValue>" + longValue + "</objectValue>\n"), std::string::npos);
    EXPECT_NE(c.out.find(" </tableRow>\n</tableInstance>\n</SelectTableRequest>\n</qel>\n"), std::string::npos);
    EXPECT_EQ(c.err, "");
    qelPduCleanup(&pdu);

    // Table mode from the table fields alone, on a type without table info.
    qelPdu_t get = makePdu(GetRequest, 7);
    qelCopyField(get.tableMib, "m");
    qelCopyField(get.tableName, "t");
    c = capture([&] { return dumpInternalQelMessageXml(&get); });
    EXPECT_EQ(c.out, kXmlHead +
                         "<GetRequest>\n<error-status>noError</error-status>\n<error-index>0</error-index>\n"
                         "<tableInstance>\n <tableMibName>m</tableMibName>\n <tableName>t</tableName>\n"
                         " <tableKey>changeit</tableKey>\n <tableOps>select</tableOps>\n"
                         "</tableInstance>\n</GetRequest>\n</qel>\n");
}

TEST(QelDumpXml, NullAndCountMismatch) {
    Captured c = capture([] { return dumpInternalQelMessageXml(nullptr); });
    EXPECT_EQ(c.rc, -1);
    EXPECT_EQ(c.err, "dumpInternalQelMessageXml: invalid arg(s)\n");
    EXPECT_EQ(c.out, "");

    qelPdu_t pdu = makePdu(Information, 7);
    pdu.errorStatus = invalidErrorType;
    pdu.numberVariables = 2;
    c = capture([&] { return dumpInternalQelMessageXml(&pdu); });
    EXPECT_EQ(c.rc, 1);
    EXPECT_EQ(c.out, kXmlHead +
                         "<Information>\n<error-status></error-status>\n<error-index>0</error-index>\n"
                         "</Information>\n</qel>\n"
                         "dumpInternalQelMessageXml: numVars dont match 0 2\n");
}

// The XML dump from the texts of visited bindings is the dump of the
// records, whatever the mode, rows and values.
TEST(QelDumpXml, DumpOfVisitedBindingsIsTheDumpOfTheRecords) {
    std::vector<qelPdu_t> pdus;
    pdus.push_back(makePdu(GetRequest, 7));
    addVar(pdus.back(), "core", "sysName", "", displayString, "host1");
    addVar(pdus.back(), "core", "sysUpTime", "", counter, "1234");
    pdus.push_back(makePdu(Response, 8));
    addVar(pdus.back(), "kestrova", "depName", "a", displayString, "dns");
    addVar(pdus.back(), "kestrova", "depType", "a", integer, "3");
    addVar(pdus.back(), "kestrova", "depName", "b", displayString, "");
    addVar(pdus.back(), "kestrova", "depType", "a", integer, "4"); // a key seen before opens a new row
    pdus.push_back(makePdu(SelectTableRequest, 9));
    qelCopyField(pdus.back().tableMib, "mib2");
    qelCopyField(pdus.back().tableName, "udpTable");
    codectest::setRawSyntax(addVar(pdus.back(), "mib2", "udpLocalPort", "", displayString, std::string(4500, 'L')), 77);
    addVar(pdus.back(), "mib2", "udpLocalPort", "k", nullSyntax);
    pdus.push_back(makePdu(Information, 10)); // no bindings
    for (qelPdu_t &pdu : pdus) {
        QelXmlDump dump;
        for (const qelVariable_t *v = pdu.varList; v; v = v->next)
            dump.add(v);
        Captured records = capture([&] { return dumpInternalQelMessageXml(&pdu); });
        Captured visited = capture([&] { return dump.print(&pdu); });
        EXPECT_EQ(visited.rc, 1);
        EXPECT_EQ(visited.out, records.out);
        EXPECT_NE(records.out.find("</qel>"), std::string::npos);
        qelPduCleanup(&pdu);
    }
}

// Names, keys and values with markup, line ends, control and 8-bit
// characters: the dump must be XML that a parser reads back, texts intact.
namespace {

// The texts of the elements named in names, in document order.
std::vector<std::string> elementTexts(const std::string &xml, const std::vector<std::string> &names) {
    std::vector<std::string> texts;
    xmlDoc *doc = xmlReadMemory(xml.data(), static_cast<int>(xml.size()), nullptr, nullptr, XML_PARSE_NONET);
    if (!doc) {
        ADD_FAILURE() << "the dump is not well-formed XML:\n" << xml;
        return texts;
    }
    auto walk = [&](auto &&self, xmlNode *n) -> void {
        for (; n; n = n->next) {
            if (n->type != XML_ELEMENT_NODE)
                continue;
            const std::string name = reinterpret_cast<const char *>(n->name);
            bool wanted = false;
            for (const std::string &w : names)
                wanted = wanted || w == name;
            if (wanted) {
                xmlChar *content = xmlNodeGetContent(n);
                texts.emplace_back(content ? reinterpret_cast<const char *>(content) : "");
                xmlFree(content);
            }
            self(self, n->children);
        }
    };
    walk(walk, xmlDocGetRootElement(doc));
    xmlFreeDoc(doc);
    return texts;
}

bool allAscii(const std::string &s) {
    for (unsigned char ch : s)
        if (ch >= 0x80)
            return false;
    return true;
}

} // namespace

TEST(QelDumpXml, AwkwardTextReadsBackThroughAnXmlParser) {
    // What is stored, and what a reader gets back: control characters XML
    // cannot carry become '?', a byte that is not UTF-8 stands for itself.
    struct Text {
        std::string stored, read;
    };
    const std::string longMarkup = std::string(3000, '<') + "&" + std::string(3000, '>');
    const std::vector<Text> values = {
        {"v0&x", "v0&x"},
        {"<script>alert(\"x\") && 'y'</script>", "<script>alert(\"x\") && 'y'</script>"},
        {"a]]>b", "a]]>b"},
        {"line1\r\nline2\tend", "line1\r\nline2\tend"},
        {"caf\xC3\xA9 \xE2\x98\x95 \xF0\x9F\x98\x80", "caf\xC3\xA9 \xE2\x98\x95 \xF0\x9F\x98\x80"},
        {"\x01"
         "bell\x07",
         "?bell?"},
        {"bad\xFF", "bad\xC3\xBF"},
        {"&amp;", "&amp;"},
        {longMarkup, longMarkup},
        {"host1", "host1"},
    };

    // Scalars: mib, object and value of each binding.
    qelPdu_t scalars = makePdu(GetRequest, 7);
    std::vector<std::string> expected;
    for (size_t i = 0; i < values.size(); i++) {
        addVar(scalars, "m<" + std::to_string(i) + ">", "o&" + std::to_string(i), "", displayString, values[i].stored);
        expected.insert(expected.end(), {"m<" + std::to_string(i) + ">", "o&" + std::to_string(i), values[i].read});
    }
    // Table mode: the table fields, keys that differ only in markup.
    qelPdu_t table = makePdu(Response, 8);
    qelCopyField(table.tableMib, "mib&2");
    qelCopyField(table.tableName, "<tab>");
    qelCopyField(table.tableKey, "k\"&'");
    std::vector<std::string> expectedTable = {"mib&2", "<tab>", "k\"&'"};
    const std::vector<std::string> keys = {"a&b", "a&b", "a&amp;b", "<k>"};
    for (size_t i = 0; i < keys.size(); i++) {
        addVar(table, "mib&2", "col<" + std::to_string(i), keys[i], displayString, values[i].stored);
        expectedTable.insert(expectedTable.end(), {"col<" + std::to_string(i), values[i].read, keys[i]});
    }

    for (qelPdu_t *pdu : {&scalars, &table}) {
        QelXmlDump dump;
        for (const qelVariable_t *v = pdu->varList; v; v = v->next)
            dump.add(v);
        Captured records = capture([&] { return dumpInternalQelMessageXml(pdu); });
        Captured visited = capture([&] { return dump.print(pdu); });
        EXPECT_EQ(records.rc, 1);
        EXPECT_EQ(visited.out, records.out);
        // The declaration says US-ASCII: every other character is a reference.
        EXPECT_TRUE(allAscii(records.out));
        if (pdu == &scalars) {
            EXPECT_EQ(elementTexts(records.out, {"mibName", "objectName", "objectValue"}), expected);
            // Text without such characters is written as it is.
            EXPECT_NE(records.out.find(" <objectValue>host1</objectValue>\n"), std::string::npos);
            EXPECT_NE(records.out.find(" <objectValue>v0&amp;x</objectValue>\n"), std::string::npos);
        } else {
            EXPECT_EQ(elementTexts(records.out, {"tableMibName", "tableName", "tableKey", "objectName", "objectValue",
                                                 "objectKeyValue"}),
                      expectedTable);
            // Rows still follow the keys as stored: a&b twice, then two others.
            size_t rows = 0;
            for (size_t at = 0; (at = records.out.find(" <tableRow>\n", at)) != std::string::npos; at++)
                rows++;
            EXPECT_EQ(rows, 3u);
        }
    }
    qelPduCleanup(&scalars);
    qelPduCleanup(&table);
}

// ---------------------------------------------------------------------------
// Pretty print

TEST(QelPrint, FormatsParsableText) {
    qelPdu_t pdu = makePdu(GetRequest, 7);
    addVar(pdu, "core", "sysName", "", displayString, "a & b");
    std::string text = build(pdu);
    qelPduCleanup(&pdu);
    Captured c = capture([&] { return printQelMessage(text.data(), static_cast<int>(text.size())); });
    EXPECT_EQ(c.rc, 1);
    EXPECT_EQ(c.err, "");
    EXPECT_EQ(c.out,
              "<?xml version=\"1.0\" encoding=\"US-ASCII\"?>\n"
              "<qel xmlns=\"" QEL_NAMESPACE_URI
              "\" message-id=\"7\">\n"
              "  <GetRequest>\n"
              "    <error-status>noError</error-status>\n"
              "    <error-index>0</error-index>\n"
              "    <variableList>\n"
              "      <variable>\n"
              "        <varname>\n"
              "          <mib>core</mib>\n"
              "          <object>sysName</object>\n"
              "          <key/>\n"
              "        </varname>\n"
              "        <varvalue vartype=\"displayString\">a &amp; b</varvalue>\n"
              "      </variable>\n"
              "    </variableList>\n"
              "  </GetRequest>\n"
              "</qel>\n");
}

TEST(QelPrint, BadInput) {
    std::string junk = "this is certainly not a QEL message <<<";
    Captured c = capture([&] { return printQelMessage(junk.data(), static_cast<int>(junk.size())); });
    EXPECT_EQ(c.rc, 1);
    EXPECT_EQ(c.out, "");
    EXPECT_EQ(c.err, "");

    c = capture([&] { return printQelMessage(junk.data(), 31); });
    EXPECT_EQ(c.rc, -1);
    EXPECT_EQ(c.err, "printQelMessage: invalid args\n");
    c = capture([] { return printQelMessage(nullptr, 100); });
    EXPECT_EQ(c.rc, -1);
    EXPECT_EQ(c.err, "printQelMessage: invalid args\n");
    EXPECT_EQ(c.out, "");
}
