// link: PkgConfig::PCRE2
#include <gtest/gtest.h>

#include "testutil.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <sys/stat.h>
#include <unistd.h>

#include <string>

using testutil::runProcess;
using namespace std::string_literals;

namespace {

const std::string kUsageTail =
    "This program uses the same PCRE library, that Kestrova uses, and will allow you to test regular "
    "expressions against logfiles\n"
    "\nExit status: 0 the file was scanned; 2 usage error or an expression that does not\n"
    "compile; 255 the file cannot be read.\n";

std::string probe() {
    return testutil::binPath("regexprobe");
}

testutil::ProcessResult run(const std::string &file, const std::string &re) {
    return runProcess({probe(), file, re});
}

std::string compileError(const char *re) {
    int err = 0;
    PCRE2_SIZE off = 0;
    pcre2_code *code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(re), PCRE2_ZERO_TERMINATED, 0, &err, &off, nullptr);
    EXPECT_EQ(code, nullptr);
    pcre2_code_free(code);
    PCRE2_UCHAR msg[256];
    pcre2_get_error_message(err, msg, sizeof msg);
    return reinterpret_cast<const char *>(msg);
}

} // namespace

TEST(RegexProbe, ThreeGroupsPrintOffsetsAndSubstrings) {
    testutil::TempDir dir;
    auto file = dir.write("log", "alpha 12 beta\nnothing here\nx 7 y\n");
    auto r = run(file, "(\\w+) (\\d+) (\\w+)");
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out,
              "\nLine 1 matches 4 'alpha 12 beta\n'\n"
              "Match is substring 0:13\n"
              "Substring 1 is 'alpha'\n"
              "Substring 2 is '12'\n"
              "Substring 3 is 'beta'\n"
              "\nLine 3 matches 4 'x 7 y\n'\n"
              "Match is substring 0:5\n"
              "Substring 1 is 'x'\n"
              "Substring 2 is '7'\n"
              "Substring 3 is 'y'\n"
              "read 3 lines, 2 matches\n");
}

TEST(RegexProbe, NineGroupsFitTenDoNot) {
    testutil::TempDir dir;
    auto file = dir.write("log", "xx abcdefghij yy\n");
    auto nine = run(file, "(a)(b)(c)(d)(e)(f)(g)(h)(i)");
    EXPECT_EQ(nine.exitCode, 0);
    std::string expected = "\nLine 1 matches 10 'xx abcdefghij yy\n'\nMatch is substring 3:12\n";
    for (int i = 1; i <= 9; ++i)
        expected += "Substring " + std::to_string(i) + " is '" + std::string(1, static_cast<char>('a' + i - 1)) + "'\n";
    expected += "read 1 lines, 1 matches\n";
    EXPECT_EQ(nine.out, expected);

    auto ten = run(file, "(a)(b)(c)(d)(e)(f)(g)(h)(i)(j)");
    EXPECT_EQ(ten.exitCode, 0);
    EXPECT_EQ(ten.out,
              "\nLine 1 matches 0 'xx abcdefghij yy\n'\nMatch is substring 3:13\n"
              "read 1 lines, 1 matches\n");
}

TEST(RegexProbe, UnsetGroupPrintsEmpty) {
    testutil::TempDir dir;
    auto file = dir.write("log", "b\n");
    auto r = run(file, "(a)|(b)");
    EXPECT_EQ(r.out,
              "\nLine 1 matches 3 'b\n'\nMatch is substring 0:1\n"
              "Substring 1 is ''\nSubstring 2 is 'b'\n"
              "read 1 lines, 1 matches\n");
}

TEST(RegexProbe, EmptyFilePrintsOnlyTheCount) {
    testutil::TempDir dir;
    auto r = run(dir.write("empty", ""), "anything");
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "read 0 lines, 0 matches\n");
    EXPECT_EQ(r.err, "");
}

TEST(RegexProbe, LastLineWithoutNewlineAndEmbeddedNul) {
    testutil::TempDir dir;
    auto file = dir.write("log", "ab\0cd\nlast cd"s);
    auto r = run(file, "cd");
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "\nLine 1 matches 1 'ab\0cd\n'\nMatch is substring 3:5\n"s +
                         "\nLine 2 matches 1 'last cd'\nMatch is substring 5:7\n"
                         "read 2 lines, 2 matches\n");
}

TEST(RegexProbe, InvalidExpressionReportsCompilerErrorAndExitsTwo) {
    testutil::TempDir dir;
    auto file = dir.write("log", "abc\n");
    auto r = run(file, "(abc");
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "pcre_compile failed '" + compileError("(abc") + "'\n");
    EXPECT_NE(r.err.find("parenthesis"), std::string::npos);
}

TEST(RegexProbe, MissingFileFailsStat) {
    testutil::TempDir dir;
    auto missing = dir.file("nope");
    auto r = run(missing, "x");
    EXPECT_EQ(r.exitCode, 255);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "failed to stat " + missing + ", 2\n");
}

TEST(RegexProbe, DirectoryIsNotARegularFile) {
    testutil::TempDir dir;
    auto r = run(dir.path(), "x");
    EXPECT_EQ(r.exitCode, 255);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, dir.path() + " is not a regular file\n");
}

TEST(RegexProbe, UnreadableFileReportsOpenFailure) {
    if (geteuid() == 0)
        GTEST_SKIP() << "root can read any file";
    testutil::TempDir dir;
    auto file = dir.write("log", "abc\n");
    ASSERT_EQ(chmod(file.c_str(), 0), 0);
    auto r = run(file, "a");
    EXPECT_EQ(r.exitCode, 255);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "fopen file failed: Permission denied\n");
}

TEST(RegexProbe, UsageWithWrongArgumentCount) {
    for (const auto &args :
         std::vector<std::vector<std::string>>{{probe()}, {probe(), "a"}, {probe(), "a", "b", "c"}}) {
        auto r = runProcess(args);
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_EQ(r.out, "");
        int n = static_cast<int>(args.size()) - 1;
        EXPECT_EQ(r.err, "regexprobe: expected a file name and an expression, not " + std::to_string(n) +
                             (n == 1 ? " argument\n" : " arguments\n") + "Usage: " + probe() +
                             " filename regex\n       " + probe() + " --help | --version\n\n" + kUsageTail);
    }
}

TEST(RegexProbe, VersionNamesTheSuiteAndItsLibraries) {
    auto r = runProcess({probe(), "--version"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out.rfind("regexprobe (Kestrova) ", 0), 0u) << r.out;
    EXPECT_NE(r.out.find("\nOpenSSL "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\nlibxml2 "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\nPCRE2 "), std::string::npos) << r.out;
}

TEST(RegexProbe, HelpGoesToStandardOutput) {
    auto r = runProcess({probe(), "--help"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out,
              "Usage: " + probe() + " filename regex\n       " + probe() + " --help | --version\n\n" + kUsageTail);
    EXPECT_EQ(r.err, "");
}

TEST(RegexProbe, LongLineIsReadInPieces) {
    testutil::TempDir dir;
    auto file = dir.write("log", std::string(5000, 'a') + "\n");
    auto r = run(file, "^a+$");
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "\nLine 1 matches 1 '" + std::string(4094, 'a') + "'\nMatch is substring 0:4094\n" +
                         "\nLine 2 matches 1 '" + std::string(906, 'a') + "\n'\nMatch is substring 0:906\n" +
                         "read 2 lines, 2 matches\n");
}

TEST(RegexProbe, FailedMatchIsReportedNotCounted) {
    testutil::TempDir dir;
    // Invalid UTF-8 under (*UTF) makes the match itself fail.
    auto file = dir.write("log", "ok x\n\xff x\n");
    auto r = run(file, "(*UTF)x");
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "\nLine 1 matches 1 'ok x\n'\nMatch is substring 3:4\nread 2 lines, 1 matches\n");
    EXPECT_EQ(r.err.rfind("scan_file: match failed on line 2, ", 0), 0u) << r.err;
}

TEST(RegexProbe, CarriesVersionMarker) {
    auto bin = testutil::readFile(probe());
    EXPECT_NE(bin.find(std::string("TarnVersion 1.0") + '\0'), std::string::npos);
}
