// The manual pages: each page in man/ passes mandoc's lint without a
// warning, every program and file has its page, and each program's --help
// and its page name the same options.
#include <gtest/gtest.h>

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "testutil.h"

namespace {

const std::string kManDir = std::string(KESTROVA_SOURCE_DIR) + "/man";

std::string mandoc() {
    for (const char *p : {"/usr/bin/mandoc", "/usr/local/bin/mandoc", "/bin/mandoc"})
        if (access(p, X_OK) == 0)
            return p;
    return "";
}

std::vector<std::string> pages() {
    std::vector<std::string> out;
    if (DIR *d = opendir(kManDir.c_str())) {
        while (struct dirent *e = readdir(d)) {
            const std::string name = e->d_name;
            if (std::regex_match(name, std::regex(R"([a-z0-9-]+\.[1-8])")))
                out.push_back(name);
        }
        closedir(d);
    }
    std::sort(out.begin(), out.end());
    return out;
}

// Options a --help text names: words starting with one or two dashes,
// standing on their own (after a blank, "[", "|", "(" or ",").
std::set<std::string> helpOptions(const std::string &text) {
    std::set<std::string> out;
    static const std::regex option(R"((?:^|[\s\[|(,])(--?[A-Za-z0-9][A-Za-z0-9-]*))");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), option); it != std::sregex_iterator(); ++it)
        out.insert((*it)[1]);
    out.erase("--help"); // what asked for the text
    return out;
}

// Options an mdoc page names: the arguments of each Fl macro on a macro
// line ("Fl 4" is -4, "Fl -user" is --user), up to the next macro or
// delimiter.
std::set<std::string> pageOptions(const std::string &text) {
    std::set<std::string> out;
    static const std::regex macro(R"(^[A-Z][a-z][a-z]?$)");
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.empty() || line[0] != '.')
            continue;
        std::istringstream words(line.substr(1));
        std::string w;
        bool inFl = false;
        while (words >> w) {
            if (w == "Fl") {
                inFl = true;
                continue;
            }
            if (std::regex_match(w, macro) || w == "|" || w == "," || w == "." || w == "(" || w == ")" || w == "[" ||
                w == "]" || w == ";" || w == ":") {
                inFl = false;
                continue;
            }
            if (inFl)
                out.insert("-" + w);
        }
    }
    out.erase("--help");
    return out;
}

TEST(ManPages, EveryProgramAndFileHasAPage) {
    const std::vector<std::string> have = pages();
    for (const char *want :
         {"qeld.8", "qelquery.1", "qelgetsubgraph.1", "regexprobe.1", "qelca.1", "qelmap.1", "kestrova-files.5"})
        EXPECT_NE(std::find(have.begin(), have.end(), want), have.end()) << want;
}

TEST(ManPages, LintWithoutWarnings) {
    const std::string lint = mandoc();
    ASSERT_FALSE(lint.empty()) << "mandoc is not installed (scripts/install-deps.sh installs it)";
    const std::vector<std::string> all = pages();
    ASSERT_FALSE(all.empty());
    for (const std::string &page : all) {
        auto r = testutil::runProcess({lint, "-T", "lint", "-W", "warning", kManDir + "/" + page});
        EXPECT_EQ(r.exitCode, 0) << page << ":\n" << r.out << r.err;
        EXPECT_EQ(r.out + r.err, "") << page;
    }
    // The lint does catch a fault: a page without its title macro.
    testutil::TempDir dir;
    const std::string broken = dir.write("broken.1", ".Dd December 8, 2026\n.Os\n.Sh NAME\n.Nm x\n.Nd y\n");
    auto r = testutil::runProcess({lint, "-T", "lint", "-W", "warning", broken});
    EXPECT_NE(r.exitCode, 0) << r.out << r.err;
}

TEST(ManPages, OptionExtractionReadsBothForms) {
    EXPECT_EQ(helpOptions("usage: x [-4|6] [-xml] h\n  -4, -6  v\n  --max-reply BYTES  y (non-zero)\n  --help\n"),
              (std::set<std::string>{"-4", "-6", "-xml", "--max-reply"}));
    EXPECT_EQ(pageOptions(".Op Fl 4 | Fl 6\n.It Fl -svg Ar file\n.Fl -help\nFl text -z\n.Op Fl xml | Fl json\n"),
              (std::set<std::string>{"-4", "-6", "--svg", "-xml", "-json"}));
}

TEST(ManPages, HelpAndPageNameTheSameOptions) {
    const std::vector<std::pair<std::string, std::string>> programs = {{"qeld", "qeld.8"},
                                                                       {"qelquery", "qelquery.1"},
                                                                       {"qelgetsubgraph", "qelgetsubgraph.1"},
                                                                       {"regexprobe", "regexprobe.1"},
                                                                       {"qelca", "qelca.1"},
                                                                       {"qelmap", "qelmap.1"}};
    for (const auto &[program, page] : programs) {
        testutil::TempDir cwd;
        auto r = testutil::runProcess({testutil::binPath(program), "--help"}, cwd.path());
        ASSERT_EQ(r.exitCode, 0) << program << ": " << r.err;
        const std::set<std::string> help = helpOptions(r.out);
        const std::set<std::string> man = pageOptions(testutil::readFile(kManDir + "/" + page));
        for (const auto &o : help)
            EXPECT_TRUE(man.count(o)) << program << " --help names " << o << ", its page " << page << " does not";
        for (const auto &o : man)
            EXPECT_TRUE(help.count(o)) << page << " names " << o << ", " << program << " --help does not";
    }
}

} // namespace
