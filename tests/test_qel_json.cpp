// link: qeljson
// qelquery -json: each reply one JSON object on one line, read back by
// Python's json module value for value (quotes, backslashes, control
// characters, non-ASCII text, long values); bytes that are not UTF-8 become
// U+FFFD rather than breaking the line; and the real client against an
// agent, one line per query file.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "agent_testutil.h"
#include "qel_json.h"
#include "testutil.h"

namespace {

// Reads JSON lines with Python and prints, per line, the header fields and
// then each binding's fields as hex of their UTF-8 bytes (so the comparison
// here is byte for byte, whatever the terminal).
const char kReader[] = R"(import json, sys
for line in open(sys.argv[1], encoding="utf-8"):
    o = json.loads(line)
    assert list(o) == ["type", "id", "errorStatus", "errorIndex", "variables"], list(o)
    print(o["type"], o["id"], o["errorStatus"], o["errorIndex"], len(o["variables"]))
    for v in o["variables"]:
        assert list(v) == ["mib", "object", "key", "syntax", "value"], list(v)
        print(" ".join(v[k].encode("utf-8").hex() or "-" for k in v))
)";

std::string python() {
    for (const char *p : {"/usr/local/bin/python3", "/usr/bin/python3", "/bin/python3"})
        if (access(p, X_OK) == 0)
            return p;
    return "python3";
}

std::string hex(const std::string &s) {
    if (s.empty())
        return "-";
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : s) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

// A binding as the parser hands it over: value inline, or in valueBuf
// when 4096 characters or more.
struct Binding {
    qelVariable_t var{};
    std::string big;
    Binding(const char *mib, const char *obj, const std::string &key, qelSyntax_t syntax, const std::string &value) {
        std::strncpy(var.varName.mibName, mib, sizeof var.varName.mibName - 1);
        std::strncpy(var.varName.objName, obj, sizeof var.varName.objName - 1);
        std::strncpy(var.varName.key, key.c_str(), sizeof var.varName.key - 1);
        var.varSyntax = syntax;
        var.valueStrLen = static_cast<int>(value.size());
        if (value.size() >= QEL_VALUESTR_LEN) {
            big = value;
            var.valueBuf = big.data();
        } else {
            std::memcpy(var.valueStr, value.data(), value.size());
        }
    }
};

std::vector<std::string> lines(const std::string &text) {
    std::vector<std::string> out;
    size_t at = 0;
    for (size_t nl; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1)
        out.push_back(text.substr(at, nl - at));
    if (at < text.size())
        out.push_back(text.substr(at));
    return out;
}

testutil::ProcessResult readBack(const testutil::TempDir &dir, const std::string &jsonLines) {
    const std::string file = dir.write("reply.jsonl", jsonLines);
    const std::string script = dir.write("read.py", kReader);
    return testutil::runProcess({python(), script, file});
}

TEST(QelJson, PythonReadsEveryValueBackByteForByte) {
    ASSERT_TRUE(qelJsonAvailable());
    std::string control;
    for (int c = 1; c < 0x20; ++c)
        control += static_cast<char>(c);
    control += "\x7f";
    const std::vector<std::string> values = {
        "say \"hi\"",
        "C:\\path\\to\\file \\u0041 \\",
        control,
        "Z\xc3\xbcrich \xe2\x9c\x93 \xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x90\xa6", // 2-, 3- and 4-byte sequences
        "</script>{}[],:'",
        "",
        std::string(5000, 'x') + "\"\\end", // long: travels in valueBuf
    };
    QelJsonReply reply;
    std::vector<Binding> bindings;
    for (size_t i = 0; i < values.size(); ++i)
        bindings.emplace_back("testplug", "obj\"name", "key\\" + std::to_string(i), displayString, values[i]);
    for (const Binding &b : bindings)
        reply.add(&b.var);
    qelPdu_t pdu{};
    pdu.msgType = Response;
    pdu.messageID = 1234567890123LL;
    pdu.errorStatus = noSuchName;
    pdu.errorIndex = 3;
    const std::string line = reply.line(&pdu);
    // One line: the newline ends it and nothing inside is a raw control
    // character.
    ASSERT_FALSE(line.empty());
    EXPECT_EQ(line.back(), '\n');
    for (size_t i = 0; i + 1 < line.size(); ++i)
        ASSERT_GE(static_cast<unsigned char>(line[i]), 0x20u) << "raw control character at " << i;

    testutil::TempDir dir;
    auto r = readBack(dir, line);
    ASSERT_EQ(r.exitCode, 0) << r.err << line.substr(0, 300);
    const auto out = lines(r.out);
    ASSERT_EQ(out.size(), 1 + values.size()) << r.out;
    EXPECT_EQ(out[0], "Response 1234567890123 noSuchName 3 " + std::to_string(values.size()));
    for (size_t i = 0; i < values.size(); ++i)
        EXPECT_EQ(out[1 + i], hex("testplug") + " " + hex("obj\"name") + " " + hex("key\\" + std::to_string(i)) + " " +
                                  hex("displayString") + " " + hex(values[i]))
            << "value " << i;
}

TEST(QelJson, BytesThatAreNotUtf8BecomeReplacementCharacters) {
    const std::string fffd = "\xef\xbf\xbd";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"ab\xff"
         "cd",
         "ab" + fffd + "cd"},            // a byte no UTF-8 text holds
        {"caf\xe9", "caf" + fffd},       // Latin-1
        {"cut \xe6\x97", "cut " + fffd}, // a sequence cut short at the end
        {"\xc0\xaf", fffd + fffd},       // an overlong form
    };
    QelJsonReply reply;
    std::vector<Binding> bindings;
    for (const auto &c : cases)
        bindings.emplace_back("m", "o", "", binaryString, c.first);
    for (const Binding &b : bindings)
        EXPECT_NO_THROW(reply.add(&b.var));
    qelPdu_t pdu{};
    pdu.msgType = Response;
    const std::string line = reply.line(&pdu);
    testutil::TempDir dir;
    auto r = readBack(dir, line);
    ASSERT_EQ(r.exitCode, 0) << r.err << line;
    const auto out = lines(r.out);
    ASSERT_EQ(out.size(), 1 + cases.size()) << r.out;
    EXPECT_EQ(out[0], "Response 0 noError 0 " + std::to_string(cases.size()));
    for (size_t i = 0; i < cases.size(); ++i) {
        const std::string row = out[1 + i];
        EXPECT_EQ(row.substr(row.rfind(' ') + 1), hex(cases[i].second)) << "case " << i;
    }
    // A reply without bindings is still one object with an empty list.
    QelJsonReply empty;
    EXPECT_EQ(empty.line(&pdu),
              "{\"type\":\"Response\",\"id\":0,\"errorStatus\":\"noError\",\"errorIndex\":0,"
              "\"variables\":[]}\n");
}

// The real client: one line per query file, against an agent on loopback.
TEST(QelJson, QelqueryPrintsOneLinePerReply) {
    agenttest::Agent agent;
    ASSERT_TRUE(agent.start({std::string(KESTROVA_PLUGIN_DIR) + "/demoplugin-linux.so"})) << agent.output();
    testutil::TempDir cwd;
    testutil::writeFile(cwd.file("kestrova.pem"), testutil::readFile(agenttest::caDir() + "/kestrova.pem"));
    const std::string queries = std::string(KESTROVA_SOURCE_DIR) + "/examples/queries/";
    auto r = testutil::runProcess({testutil::binPath("qelquery"), "-json", "127.0.0.1," + std::to_string(agent.port()),
                                   "tester", queries + "core-scalars.xml", queries + "module-table.xml"},
                                  cwd.path(), 60);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    ASSERT_EQ(lines(r.out).size(), 2u) << r.out;
    const std::string script = cwd.write("check.py", R"(import json, sys
objs = [json.loads(l) for l in sys.stdin.read().splitlines()]
assert [o["type"] for o in objs] == ["Response", "Response"], objs
assert objs[0]["errorStatus"] == "noError" and objs[0]["variables"], objs[0]
assert all(v["mib"] == "core" for v in objs[0]["variables"]), objs[0]
assert any("demoplugin" in v["value"] for v in objs[1]["variables"]), objs[1]
print("ok")
)");
    auto check =
        testutil::runProcess({"/bin/sh", "-c", python() + " " + script + " < " + cwd.write("out.jsonl", r.out)});
    EXPECT_EQ(check.out, "ok\n") << check.err << r.out;
}

} // namespace
