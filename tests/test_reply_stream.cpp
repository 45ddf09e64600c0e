// Streamed replies and visiting parses: the paths that carry whole tables
// without a record per binding must produce and read exactly what the
// record-based builder and parser do.
#include <gtest/gtest.h>

#include "codec_testutil.h"

#include "qel/qel.h"
#include "qel/reply_stream.h"
#include "qelselect.h"

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

using codectest::addVar;
using codectest::build;
using codectest::makePdu;
using codectest::valueOf;

namespace {

// Bindings with everything the escaping and the value storage distinguish.
void addAwkwardBindings(qelPdu_t &pdu) {
    addVar(pdu, "mib2", "tcpConnState", "127.0.0.1:22:+:10.0.0.1:4000", integer, "5");
    addVar(pdu, "m&<", "o>\r", "k\xe6\x97\xa5\x80", displayString, "a<b>&c\r\n\x01");
    addVar(pdu, "core", "sysDescr", "", nullSyntax);
    addVar(pdu, "m", "long", "row", displayString, std::string(5000, 'v')); // held in valueBuf
    codectest::setRawSyntax(addVar(pdu, "m", "odd", "row", integer, "1"), 77);
    addVar(pdu, "m", "empty", "row", displayString, "");
}

// Moves every binding of from to the stream's pdu through qelReplyAppend.
void streamAll(qelPdu_t &from, qelPdu_t &to) {
    for (qelVariable_t *v = from.varList; v;) {
        qelVariable_t *next = v->next;
        ASSERT_EQ(qelReplyAppend(&to, v), 1);
        v = next;
    }
    from.varList = from.varListTail = nullptr;
    from.numberVariables = 0;
}

std::string built(QelReplyStream &stream) {
    const char *text = nullptr;
    std::vector<char> spill;
    int len = stream.build(&text, spill);
    EXPECT_GT(len, 0);
    if (len <= 0)
        return {};
    EXPECT_EQ(text[len], '\0');
    return std::string(text, static_cast<size_t>(len));
}

TEST(ReplyStream, StreamedReplyIsByteForByteTheBuiltOne) {
    for (qelMessageType_t type : {Response, SelectTableRequest}) {
        qelPdu_t expected = makePdu(type, 123456789012LL);
        expected.errorStatus = noErrorMoreData;
        expected.errorIndex = 4;
        qelCopyField(expected.tableMib, "mib2");
        qelCopyField(expected.tableName, "tcpConnTable");
        qelCopyField(expected.tableKey, "*");
        expected.maxRows = 10;
        addAwkwardBindings(expected);
        const std::string want = build(expected);

        qelPdu_t reply = expected;
        reply.varList = reply.varListTail = nullptr;
        reply.numberVariables = 0;
        qelPdu_t source = makePdu(type);
        addAwkwardBindings(source);
        {
            QelReplyStream stream(&reply);
            streamAll(source, reply);
            EXPECT_EQ(reply.varList, nullptr) << "streamed bindings must not be linked";
            EXPECT_EQ(reply.numberVariables, 6u);
            EXPECT_EQ(stream.count(), 6u);
            EXPECT_EQ(built(stream), want);
            EXPECT_EQ(qelPduCleanup(&reply), 6);
            EXPECT_EQ(stream.count(), 0u);
        }
        qelPduCleanup(&expected);
    }
}

TEST(ReplyStream, LinkedBindingsFollowTheStreamedOnes) {
    qelPdu_t reply = makePdu(Response, 9);
    QelReplyStream stream(&reply);
    qelPdu_t source = makePdu(Response);
    addVar(source, "m", "first", "", integer, "1");
    streamAll(source, reply);
    // A binding added by value is always linked: its caller keeps a pointer.
    ASSERT_NE(qelAddVariable(&reply, "m", "second", nullptr, integer, "2"), nullptr);
    std::string text = built(stream);
    auto first = text.find("<object>first</object>");
    auto second = text.find("<object>second</object>");
    ASSERT_NE(first, std::string::npos);
    ASSERT_NE(second, std::string::npos);
    EXPECT_LT(first, second);
    EXPECT_EQ(qelPduCleanup(&reply), 2);
}

TEST(ReplyStream, OnlyTheBoundPduOnThisThreadStreams) {
    qelPdu_t reply = makePdu(Response);
    qelPdu_t other = makePdu(Response);
    qelPdu_t source = makePdu(Response);
    addVar(source, "m", "a", "", integer, "1");
    qelVariable_t *v = source.varList;
    source.varList = source.varListTail = nullptr;
    source.numberVariables = 0;
    {
        QelReplyStream stream(&reply);
        ASSERT_EQ(qelReplyAppend(&other, v), 1);
        EXPECT_EQ(other.varList, v);
        EXPECT_EQ(other.numberVariables, 1u);
        {
            // A nested stream hides the outer one until it ends.
            QelReplyStream inner(&other);
            EXPECT_EQ(QelReplyStream::current(), &inner);
        }
        EXPECT_EQ(QelReplyStream::current(), &stream);
    }
    EXPECT_EQ(QelReplyStream::current(), nullptr);
    EXPECT_EQ(qelReplyAppend(nullptr, nullptr), -1);
    qelPduCleanup(&other);
}

// A header too long for the room kept in front of the text (a table key of
// characters that escape to references) is built in the spill buffer.
TEST(ReplyStream, HeaderLongerThanItsRoomIsSpilled) {
    qelPdu_t expected = makePdu(SelectTableRequest, 1);
    std::memset(expected.tableKey, '&', sizeof expected.tableKey - 1);
    addVar(expected, "m", "o", "k", integer, "1");
    const std::string want = build(expected);

    qelPdu_t reply = expected;
    reply.varList = reply.varListTail = nullptr;
    reply.numberVariables = 0;
    QelReplyStream stream(&reply);
    qelPdu_t source = makePdu(Response);
    addVar(source, "m", "o", "k", integer, "1");
    streamAll(source, reply);
    const char *text = nullptr;
    std::vector<char> spill;
    int len = stream.build(&text, spill);
    ASSERT_EQ(len, static_cast<int>(want.size()));
    EXPECT_EQ(text, spill.data());
    EXPECT_EQ(std::string(text, static_cast<size_t>(len)), want);
    qelPduCleanup(&reply);
    qelPduCleanup(&expected);
}

// The shared select procedure hands its rows to the stream, and an error
// reply after a failed walk carries none of them.
TEST(ReplyStream, SelectRowsGoThroughTheStream) {
    static const qelVar_t column = [] {
        qelVar_t c{};
        qelCopyField(c.mibName, "m");
        qelCopyField(c.objName, "col");
        c.hint = 1;
        return c;
    }();
    qelVariable_t requested{};
    qelCopyField(requested.varName.mibName, "m");
    qelCopyField(requested.varName.objName, "col");
    requested.entryPtr = const_cast<qelVar_t *>(&column);

    qelPdu_t reply = makePdu(Response);
    QelReplyStream stream(&reply);
    char key[] = "*";
    QelSelect sel("test", key, &requested, &reply);
    for (int row = 0; row < 1000; ++row) {
        std::string rowKey = std::to_string(row);
        ASSERT_TRUE(sel.addRow(rowKey.c_str(), [&](unsigned, qelVariable_t *v) {
            return qelSetValuef(v, integer, "%d", row * row) == 1;
        }));
    }
    EXPECT_EQ(sel.finish("test", 0), noError);
    EXPECT_EQ(reply.numberVariables, 1000u);
    EXPECT_EQ(reply.varList, nullptr);
    std::string text = built(stream);
    EXPECT_NE(text.find("<key>999</key></varname>\n<varvalue vartype=\"integer\">998001</varvalue>"),
              std::string::npos);

    qelPduCleanup(&reply);
    reply.numberVariables = 0;
    reply.errorStatus = genError;
    text = built(stream);
    EXPECT_EQ(text.find("<variable>"), std::string::npos) << text;
}

struct Seen {
    std::vector<std::string> lines;
    int stopAfter = -1;
};

int collect(const qelVariable_t *v, void *ctx) {
    auto *seen = static_cast<Seen *>(ctx);
    seen->lines.push_back(std::string(v->varName.mibName) + "|" + v->varName.objName + "|" + v->varName.key + "|" +
                          std::to_string(v->varSyntax) + "|" + valueOf(v));
    return seen->stopAfter >= 0 && static_cast<int>(seen->lines.size()) >= seen->stopAfter ? 0 : 1;
}

std::vector<std::string> linesOf(const qelPdu_t &pdu) {
    std::vector<std::string> lines;
    for (const qelVariable_t *v = pdu.varList; v; v = v->next)
        lines.push_back(std::string(v->varName.mibName) + "|" + v->varName.objName + "|" + v->varName.key + "|" +
                        std::to_string(v->varSyntax) + "|" + valueOf(v));
    return lines;
}

int visit(const std::string &text, qelPdu_t &pdu, Seen &seen, uint32_t max = 0) {
    testing::internal::CaptureStderr();
    int rc = parseQelMessageVisit(text.data(), static_cast<int>(text.size()), &pdu, max, collect, &seen);
    testing::internal::GetCapturedStderr();
    return rc;
}

TEST(VisitParse, SeesWhatTheWholeParseKeeps) {
    qelPdu_t source = makePdu(SelectTableRequest, 42);
    qelCopyField(source.tableMib, "mib2");
    qelCopyField(source.tableName, "t");
    qelCopyField(source.tableKey, "*");
    // Megabytes, so that the text reaches the parser in many pieces, with
    // awkward bindings all through it.
    for (int i = 0; i < 20000; ++i) {
        if (i % 997 == 0)
            addAwkwardBindings(source);
        addVar(source, "mib2", "c", std::to_string(i), integer, std::to_string(i * 3));
        if (i == 5000) // longer than a piece, with no tag boundary in it
            addVar(source, "m", "huge", "k", displayString, std::string(600000, '>'));
    }
    const std::string text = build(source);
    ASSERT_GT(text.size(), 2u << 20);

    qelPdu_t whole{};
    ASSERT_EQ(parseQelMessage(text.data(), static_cast<int>(text.size()), &whole), 1);
    qelPdu_t visited{};
    Seen seen;
    ASSERT_EQ(visit(text, visited, seen), 1);
    EXPECT_EQ(seen.lines, linesOf(whole));
    EXPECT_EQ(visited.numberVariables, whole.numberVariables);
    EXPECT_EQ(visited.varList, nullptr);
    EXPECT_EQ(visited.messageID, 42);
    EXPECT_EQ(visited.msgType, SelectTableRequest);
    EXPECT_STREQ(visited.tableName, "t");
    qelPduCleanup(&whole);
    qelPduCleanup(&source);
}

TEST(VisitParse, FailuresEndTheParse) {
    qelPdu_t source = makePdu(Response, 3);
    for (int i = 0; i < 10; ++i)
        addVar(source, "m", "o", std::to_string(i), integer, "1");
    const std::string text = build(source);
    qelPduCleanup(&source);

    {
        qelPdu_t pdu{};
        Seen seen;
        EXPECT_EQ(visit(text, pdu, seen, 4), -2);
        EXPECT_EQ(seen.lines.size(), 4u);
    }
    {
        qelPdu_t pdu{};
        Seen seen;
        seen.stopAfter = 3;
        EXPECT_EQ(visit(text, pdu, seen), -1);
        EXPECT_EQ(seen.lines.size(), 3u);
    }
    {
        // Cut off mid-way: the bindings before the cut were seen, but the
        // message as a whole fails.
        qelPdu_t pdu{};
        Seen seen;
        EXPECT_EQ(visit(text.substr(0, text.size() / 2), pdu, seen), -1);
        EXPECT_LT(seen.lines.size(), 10u);
    }
    {
        std::string bad = text;
        bad.replace(bad.find("<object>o</object>"), 18, "<objekt>o</objekt>");
        qelPdu_t pdu{};
        Seen seen;
        EXPECT_EQ(visit(bad, pdu, seen), -1);
        EXPECT_TRUE(seen.lines.empty());
    }
    {
        std::string stray = text;
        stray.replace(stray.find("</variableList>"), 0, "<other/>\n");
        qelPdu_t pdu{};
        Seen seen;
        EXPECT_EQ(visit(stray, pdu, seen), -1);
    }
    {
        // Lists without bindings read as the whole parse reads them.
        for (const char *list : {"<variableList/>\n", "<variableList>\n</variableList>\n"}) {
            std::string empty = text.substr(0, text.find("<variableList>")) + list + "</Response>\n</qel>\n";
            qelPdu_t whole{};
            testing::internal::CaptureStderr();
            int wholeRc = parseQelMessage(empty.data(), static_cast<int>(empty.size()), &whole);
            testing::internal::GetCapturedStderr();
            qelPdu_t pdu{};
            Seen seen;
            EXPECT_EQ(visit(empty, pdu, seen), wholeRc) << list;
            EXPECT_EQ(pdu.numberVariables, 0u);
        }
    }
}

// Text outside 7-bit ASCII in a message that declares US-ASCII reads the
// same through both parses (the fast path is only for plain text).
TEST(VisitParse, NonAsciiTextIsReadAsTheWholeParseReadsIt) {
    qelPdu_t source = makePdu(Response, 3);
    addVar(source, "m", "o", "k", displayString, "plain");
    std::string text = build(source);
    qelPduCleanup(&source);
    text.replace(text.find("plain"), 5, "pl\xc3\xa4in");
    qelPdu_t whole{};
    testing::internal::CaptureStderr();
    int wholeRc = parseQelMessage(text.data(), static_cast<int>(text.size()), &whole);
    testing::internal::GetCapturedStderr();
    qelPdu_t visited{};
    Seen seen;
    EXPECT_EQ(visit(text, visited, seen), wholeRc);
    if (wholeRc == 1) {
        EXPECT_EQ(seen.lines, linesOf(whole));
    }
    qelPduCleanup(&whole);
}

// Bindings of every awkward shape read the same, with the same messages,
// through the whole parse and through the visiting one, whether or not the
// text lets the visiting parse skip the tree (a comment makes it build one).
TEST(VisitParse, EveryShapeOfBindingReadsAsTheWholeParseReadsIt) {
    const std::string good =
        "<variable>\n<varname><mib>m</mib><object>o</object><key>k</key></varname>\n"
        "<varvalue vartype=\"integer\">5</varvalue>\n</variable>\n";
    const std::vector<std::string> bindings = {
        good,
        "<variable><varname><mib>m</mib><object>o</object><key/></varname>"
        "<varvalue vartype=\"displayString\">   </varvalue></variable>",
        "<variable><varname><mib>m</mib><object>o</object><key>k</key></varname>"
        "<varvalue vartype=\"displayString\">  a b\r\n  </varvalue></variable>",
        "<variable><varname><mib>a&amp;b</mib><object>&lt;o&gt;</object><key>&#x65E5;&#10;</key></varname>"
        "<varvalue vartype=\"displayString\">x&lt;y&amp;z&#13;</varvalue></variable>",
        "<variable><varname><mib>m</mib><object>o</object><key>k</key></varname>"
        "<varvalue vartype=\"a&amp;b&#38;c\">1</varvalue></variable>",
        "<variable><varname><mib>m</mib><object>o</object><key>k</key></varname>"
        "<varvalue vartype=\"\">1</varvalue></variable>",
        "<variable><varname><mib>m</mib><object>o</object><key>k</key></varname>"
        "<varvalue other=\"x\" vartype=\"integer\">1</varvalue></variable>",
        "<variable><varname><mib>m</mib><object>o</object><key>k</key></varname>"
        "<varvalue>1</varvalue></variable>",
        "<q:variable xmlns:q=\"urn:q\"><q:varname><q:mib>m</q:mib><q:object>o</q:object><q:key>k</q:key>"
        "</q:varname><q:varvalue q:vartype=\"integer\">7</q:varvalue></q:variable>",
        "<q:variable><varname><mib>m</mib><object>o</object><key>k</key></varname>"
        "<varvalue vartype=\"integer\">7</varvalue></q:variable>",
        "<variable><varname><mib>m</mib><object>o</object><key>k</key></varname>"
        "<varvalue p:vartype=\"integer\">7</varvalue></variable>",
        "<variable>junk<varname><mib>m</mib><object>o</object><key>k</key></varname>"
        "<varvalue vartype=\"integer\">1</varvalue></variable>",
        "<variable><varname><mib> <b/>m</mib><object>o</object><key>k</key></varname>"
        "<varvalue vartype=\"integer\">1</varvalue></variable>",
        "<variable><varname><mib>m<b/></mib><object>o</object><key> </key></varname>"
        "<varvalue vartype=\"integer\">1</varvalue></variable>",
        "<variable><varname><mib>m</mib><object>o</object><key>k</key></varname>"
        "<varvalue vartype=\"integer\"> <i/>t</varvalue></variable>",
        "<variable><varname><mib>m</mib><object>o</object><key>k</key></varname>"
        "<varvalue vartype=\"integer\">t<i/>u</varvalue></variable>",
        "<variable xml:space=\"preserve\"> <varname> <mib>m</mib> <object>o</object> <key>k</key> </varname> "
        "<varvalue vartype=\"integer\"> </varvalue> </variable>",
        "<variable><varname><mib>m</mib><object>o</object></varname><varvalue vartype=\"integer\">1</varvalue>"
        "</variable>",
        "<variable><varname><mib>m</mib><object>o</object><key>k</key></varname></variable>",
        "<variable><varname/><varvalue vartype=\"integer\">1</varvalue></variable>",
        "<variable/>",
        "<variable>\n</variable>",
        "<variable><varname><mib>m</mib><object>o</object><key>k</key></varname>"
        "<varvalue vartype=\"displayString\">" +
            std::string(5000, 'v') + "</varvalue></variable>",
    };
    const std::string head =
        "<?xml version=\"1.0\" encoding='US-ASCII' ?>\n"
        "<qel xmlns=\"http://qel.kestrova.org/xsd/qel-1.0\" message-id=\"7\">\n<Response>\n"
        "<error-status>noError</error-status>\n<error-index>0</error-index>\n<variableList>\n";
    const std::string tail = "</variableList>\n</Response>\n</qel>\n";
    for (const std::string &comment : {std::string(), std::string("<!-- tree -->")}) {
        for (const std::string &binding : bindings) {
            // Text in the list around the binding too: refused either way,
            // and it must not upset the tree the list is built into.
            for (const std::string &around : {std::string("\n"), std::string("t")}) {
                const std::string text = head + comment + good + binding + around + good + tail;
                qelPdu_t whole{};
                testing::internal::CaptureStderr();
                int wholeRc = parseQelMessage(text.data(), static_cast<int>(text.size()), &whole);
                std::string wholeErr = testing::internal::GetCapturedStderr();
                qelPdu_t visited{};
                Seen seen;
                testing::internal::CaptureStderr();
                int visitRc =
                    parseQelMessageVisit(text.data(), static_cast<int>(text.size()), &visited, 0, collect, &seen);
                std::string visitErr = testing::internal::GetCapturedStderr();
                SCOPED_TRACE(comment + binding + around);
                EXPECT_EQ(visitRc == 1, wholeRc == 1);
                if (wholeRc == 1) {
                    EXPECT_EQ(seen.lines, linesOf(whole));
                } else if (wholeErr.find("parse variable failed") != std::string::npos) {
                    // The same binding refused with the same words.
                    EXPECT_EQ(visitErr, wholeErr);
                }
                qelPduCleanup(&whole);
            }
        }
    }
}

TEST(QelDumpParts, HeaderAndLinesMakeTheWholeDump) {
    qelPdu_t pdu = makePdu(SelectTableRequest, 5);
    qelCopyField(pdu.tableMib, "mib2");
    addAwkwardBindings(pdu);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    dumpInternalQelMessage(&pdu);
    std::string whole = testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();

    char *text = nullptr;
    size_t size = 0;
    FILE *out = open_memstream(&text, &size);
    ASSERT_NE(out, nullptr);
    testing::internal::CaptureStderr();
    EXPECT_EQ(dumpInternalQelHeader(out, &pdu), 1);
    for (const qelVariable_t *v = pdu.varList; v; v = v->next)
        EXPECT_EQ(dumpInternalQelVariable(out, v), 1);
    std::fclose(out);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::string(text, size), whole);
    std::free(text);
    qelPduCleanup(&pdu);
}

} // namespace

// Replies of whole tables live in a buffer that grows as they are written:
// its content survives every step, and a swap exchanges whole buffers.
TEST(GrowingBuffer, KeepsItsContentThroughEveryWayOfGrowing) {
    QelGrowingBuffer buf;
    size_t filled = 0;
    auto fillTo = [&](size_t n) {
        for (; filled < n; ++filled)
            buf.data()[filled] = static_cast<char>(filled * 7 + filled / 4096);
    };
    for (size_t want : {size_t{100}, size_t{64} << 10, (size_t{1} << 20) - 1, size_t{1} << 20, size_t{3} << 20,
                        size_t{9} << 20, size_t{9} << 20, size_t{40} << 20}) {
        ASSERT_TRUE(buf.grow(want)) << want;
        ASSERT_GE(buf.capacity(), want);
        for (size_t i = 0; i < filled; ++i)
            ASSERT_EQ(buf.data()[i], static_cast<char>(i * 7 + i / 4096))
                << "byte " << i << " after growing to " << want;
        fillTo(want);
    }
    EXPECT_TRUE(buf.grow(10)); // never shrinks
    EXPECT_GE(buf.capacity(), size_t{40} << 20);
    QelGrowingBuffer other;
    ASSERT_TRUE(other.grow(3));
    other.data()[0] = 'o';
    const char *mine = buf.data();
    buf.swap(other);
    EXPECT_EQ(other.data(), mine);
    EXPECT_GE(other.capacity(), size_t{40} << 20);
    EXPECT_EQ(buf.capacity(), 3u);
    EXPECT_EQ(buf.data()[0], 'o');
    buf.release();
    EXPECT_EQ(buf.data(), nullptr);
    ASSERT_TRUE(buf.grow(5000));
    buf.data()[4999] = 'x';
}

namespace {

// A buffer holding text and a NUL, as a handler leaves its encoded
// value.
void fillText(QelGrowingBuffer &b, const std::string &text) {
    ASSERT_TRUE(b.grow(text.size() + 1));
    std::memcpy(b.data(), text.data(), text.size() + 1);
}

std::string joined(const QelReplyStream::Parts &parts) {
    std::string s;
    for (int i = 0; i < parts.count; ++i)
        s.append(parts.data[i], parts.len[i]);
    return s;
}

} // namespace

// A value handed over to the stream travels in the message exactly where
// the record's own value would, between streamed bindings before it and
// linked ones around it; sent in pieces it is read from the handler's
// memory, not copied into the stream's; with a header too long for its room
// too.
TEST(ReplyStreamTakenValue, PiecesMakeTheMessageTheRecordWouldHaveMade) {
    const std::string value = std::string(300000, 'Q') + "+/=";
    for (bool longHeader : {false, true}) {
        SCOPED_TRACE(longHeader);
        qelPdu_t expected = makePdu(SelectTableRequest, 41);
        if (longHeader)
            std::memset(expected.tableKey, '&', sizeof expected.tableKey - 1);
        addVar(expected, "m", "streamed", "", integer, "1");
        addVar(expected, "m", "before", "", displayString, "a<b");
        addVar(expected, "kestrova", "subGraph", "", displayString, value);
        addVar(expected, "m", "after", "", displayString, std::string(5000, 'z'));
        const std::string want = build(expected);

        qelPdu_t reply = makePdu(SelectTableRequest, 41);
        std::memcpy(reply.tableKey, expected.tableKey, sizeof reply.tableKey);
        QelReplyStream stream(&reply);
        qelPdu_t source = makePdu(Response);
        addVar(source, "m", "streamed", "", integer, "1");
        streamAll(source, reply);
        addVar(reply, "m", "before", "", displayString, "a<b");
        qelVariable_t *v = addVar(reply, "kestrova", "subGraph", "", displayString, "old value");
        QelGrowingBuffer text;
        fillText(text, value);
        const char *memory = text.data();
        ASSERT_TRUE(qelReplyTakeValue(v, text, value.size()));
        EXPECT_EQ(text.data(), nullptr) << "the stream owns the memory now";
        EXPECT_EQ(v->valueBuf, nullptr);
        EXPECT_EQ(v->valueStr[0], '\0');
        addVar(reply, "m", "after", "", displayString, std::string(5000, 'z'));

        QelReplyStream::Parts parts{};
        std::vector<char> spill;
        ASSERT_EQ(stream.buildParts(parts, spill), static_cast<int>(want.size()));
        ASSERT_EQ(parts.count, 3);
        EXPECT_EQ(parts.data[1], memory);
        EXPECT_EQ(parts.len[1], value.size());
        EXPECT_EQ(joined(parts), want);
        EXPECT_EQ(built(stream), want) << "whole, the value is copied in";
        EXPECT_EQ(qelPduCleanup(&reply), 4);
        qelPduCleanup(&expected);
    }
}

// Ownership: what the stream could not take stays the caller's, untouched;
// what it took goes with the reply's cleanup, so a binding made afterwards
// (even at the same address, as an error reply's are) carries none of it.
TEST(ReplyStreamTakenValue, OnlyPlainTextIsTakenAndTheCleanupDropsIt) {
    QelGrowingBuffer text;
    fillText(text, std::string(70000, 'A'));
    qelPdu_t reply = makePdu(Response, 5);
    qelVariable_t *v = addVar(reply, "kestrova", "subGraph", "", displayString, "x");
    EXPECT_FALSE(qelReplyTakeValue(v, text, 70000)) << "no stream bound on this thread";
    {
        qelPdu_t other = makePdu(Response);
        QelReplyStream stream(&other);
        QelGrowingBuffer markup;
        fillText(markup, "a<b" + std::string(70000, 'A'));
        EXPECT_FALSE(stream.takeValue(v, markup, 70003)) << "text that needs escaping";
        EXPECT_NE(markup.data(), nullptr);
        EXPECT_FALSE(stream.takeValue(v, text, text.capacity())) << "no room for its NUL";
        EXPECT_FALSE(stream.takeValue(v, text, 100)) << "no NUL after the text";
        EXPECT_EQ(v->valueStr, std::string("x"));
        EXPECT_NE(text.data(), nullptr);
    }
    {
        QelReplyStream stream(&reply);
        ASSERT_TRUE(stream.takeValue(v, text, 70000));
        QelGrowingBuffer second;
        fillText(second, "BBBB");
        EXPECT_FALSE(stream.takeValue(v, second, 4)) << "one value a reply";
        // An error reply: the bindings go, new ones come.
        qelPduCleanup(&reply);
        reply.varList = reply.varListTail = nullptr;
        reply.numberVariables = 0;
        for (int i = 0; i < 4; ++i)
            addVar(reply, "kestrova", "subGraph", "", displayString, "echo");
        const std::string text2 = built(stream);
        EXPECT_EQ(text2.find("AAAA"), std::string::npos);
        EXPECT_NE(text2.find("echo"), std::string::npos);
        qelPduCleanup(&reply);
    }
    // A binding that never joins the reply gets nothing; its memory goes
    // with the stream.
    qelPdu_t loose = makePdu(Response);
    qelVariable_t *stray = addVar(loose, "m", "o", "", displayString, "kept");
    {
        qelPdu_t pdu = makePdu(Response, 6);
        addVar(pdu, "m", "x", "", integer, "1");
        const std::string want = build(pdu);
        QelReplyStream stream(&pdu);
        QelGrowingBuffer t;
        fillText(t, std::string(5000, 'C'));
        ASSERT_TRUE(stream.takeValue(stray, t, 5000));
        EXPECT_EQ(built(stream), want);
        qelPduCleanup(&pdu);
    }
    qelPduCleanup(&loose);
}
