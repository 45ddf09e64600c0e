// The golden end-to-end test: qeld with mib2 and kestrova over the host tree
// tests/fixtures/golden-debian, every scalar and table of both modules
// fetched once the first discovery has settled, the replies normalised and
// compared with tests/fixtures/golden-debian.golden.
//
// Regenerate the golden text after an intended change, then review its diff:
//   KESTROVA_UPDATE_GOLDEN=1 ctest --test-dir build -R Golden
//
// The agent runs in a network namespace of its own (one veth pair, eth0
// 192.0.2.10/24 with a fixed MAC, default route via the absent 192.0.2.1,
// IPv6 off) and in PID, UTS and mount namespaces of its own (host name
// "golden", a fresh /proc), so its process table holds the agent and the
// daemon stand-ins only. Names resolve from the fixture's hosts file; no
// packet leaves the namespace. What varies between runs or machines is
// written as a placeholder: times, counters, the machine's memory, load,
// CPU and disk figures, process sizes and CPU times, ICMP times, the test's
// temporary paths and the build's paths, ephemeral ports. The file-system
// table keeps the tmpfs the test mounts on /mnt in the agent's own mount
// namespace (and its bind into the host root, where the agent stats it)
// and leaves out the machine's own mounts.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "agent_testutil.h"
#include "netns_agent.h"
#include "testutil.h"

namespace {

using namespace std::chrono_literals;

const char *const kGoldenFile = "golden-debian.golden";
const int kPort = 5270;
// The stand-ins named like the daemons whose files discovery reads.
const char *const kDaemons[] = {"ypbind", "master", "chronyd", "cupsd", "asterisk"};

struct Definition {
    std::string object, table; // table: the column's table, "" for a scalar
    bool isTable = false;
};

// The definitions of module "kestrova", from its fixture list.
std::vector<Definition> kestrovaDefinitions() {
    std::vector<Definition> out;
    std::istringstream in(testutil::readFile(testutil::fixturePath("kestrova/definitions.txt")));
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        std::istringstream f(line);
        std::string object, syntax, table;
        f >> object >> syntax >> table;
        out.push_back({object, table == "-" ? "" : table, syntax == "table"});
    }
    return out;
}

// The definitions of module "mib2", from its registration array.
std::vector<Definition> mib2Definitions() {
    static const std::regex entry(R"re(^\s*(SCALAR|TABLE|COLUMN)\("(\w+)"(?:, \w+, "(\w+)")?)re");
    std::vector<Definition> out;
    std::istringstream in(testutil::readFile(std::string(KESTROVA_SOURCE_DIR) + "/plugins/mib2/mib2plugin.cpp"));
    std::string line;
    std::smatch m;
    while (std::getline(in, line))
        if (std::regex_search(line, m, entry))
            out.push_back({m[2], m[1] == "COLUMN" ? std::string(m[3]) : "", m[1] == "TABLE"});
    return out;
}

std::string syntaxName(qelSyntax_t syntax) {
    char name[64] = {};
    syntaxToString(syntax, name, sizeof name);
    return name;
}

std::string base64Decode(const std::string &in) {
    static const std::string digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    unsigned bits = 0;
    int count = 0;
    for (char c : in) {
        auto pos = digits.find(c);
        if (pos == std::string::npos)
            continue;
        bits = (bits << 6) | static_cast<unsigned>(pos);
        if ((count += 6) >= 8) {
            count -= 8;
            out.push_back(static_cast<char>((bits >> count) & 0xff));
        }
    }
    return out;
}

size_t occurrences(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (auto pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1))
        ++n;
    return n;
}

// Values that differ between runs or machines, by object name.
const std::set<std::string> kVarying = {
    // kestrova's system figures
    "totalSwap", "usedSwap", "freeSwap", "totalMem", "usedMem", "freeMem", "loadAvg1Min", "loadAvg5Min", "loadAvg15Min",
    "numberCPUs", "kernelVers", "numHandles", "numThreads", "kernelSize", "virtualSystem",
    // processes
    "processRSS", "processSize", "processHandleCount", "processThreadCount", "processCPUTime", "processStartTime",
    // probes
    "dependLastUpdate", "dependScore", "dependNumIcmp", "dependAvgIcmpRespTime", "dependMovingAvgIcmpRespTime",
    "dependIcmpRespTime",
    // CPUs
    "cpuDescription", "cpuTotalUserPercent", "cpuTotalIdlePercent", "cpuTotalKernelPercent", "cpuTotalWaitPercent",
    "cpuIntervalUserPercent", "cpuIntervalIdlePercent", "cpuIntervalKernelPercent", "cpuIntervalWaitPercent",
    "cpuInterval",
    // mib2's ages
    "ipRouteAge"};

// Port columns whose value is a kernel-chosen port when it is ephemeral.
const std::set<std::string> kPorts = {"tcpConnLocalPort", "tcpConnRemPort",        "udpLocalPort",
                                      "udpRemPort",       "processEndptLocalPort", "processEndptRemPort"};

class Golden : public ::testing::Test {
protected:
    std::string ns_;
    netnstest::Netns net_;
    testutil::TempDir root_, home_, bin_;
    std::string etcNetns_;
    bool madeEtcNetns_ = false;
    pid_t launcher_ = -1;

    void TearDown() override {
        if (launcher_ > 0) {
            // unshare --kill-child takes the agent, and with it every
            // process of its PID namespace.
            kill(launcher_, SIGKILL);
            waitpid(launcher_, nullptr, 0);
        }
        if (!etcNetns_.empty()) {
            for (const char *f : {"hosts", "resolv.conf", "nsswitch.conf"})
                unlink((etcNetns_ + "/" + f).c_str());
            rmdir(etcNetns_.c_str());
        }
        if (madeEtcNetns_)
            rmdir("/etc/netns");
    }

    std::string ip(const std::vector<std::string> &args) {
        auto r = netnstest::ip(args);
        return r.exitCode == 0 ? "" : "ip " + ::testing::PrintToString(args) + ": " + r.err;
    }

    // The namespace's fixed link and addresses: "" or what failed; skip
    // is set when veth pairs cannot be made here.
    std::string makeNetwork(bool &skip) {
        if (auto why = ip({"-n", ns_, "link", "add", "eth0", "address", "02:00:00:00:02:0a", "type", "veth", "peer",
                           "name", "eth1", "address", "02:00:00:00:02:0b"});
            !why.empty()) {
            skip = true;
            return "veth pairs cannot be made here: " + why;
        }
        // IPv4 only: no link-local addresses, no duplicate detection.
        auto r = testutil::runProcess(
            {netnstest::ipPath(), "netns", "exec", ns_, "sh", "-c",
             "for c in all default eth0 eth1; do echo 1 > /proc/sys/net/ipv6/conf/$c/disable_ipv6 || exit 1; done"});
        if (r.exitCode != 0)
            return "disable_ipv6: " + r.err;
        for (const auto &args : std::vector<std::vector<std::string>>{
                 {"-n", ns_, "link", "set", "eth1", "up"},
                 {"-n", ns_, "addr", "add", "192.0.2.10/24", "dev", "eth0"},
                 {"-n", ns_, "link", "set", "eth0", "up"},
                 {"-n", ns_, "route", "add", "default", "via", "192.0.2.1", "dev", "eth0"}})
            if (auto why = ip(args); !why.empty())
                return why;
        return "";
    }

    // The host root (the fixture's files, /proc linked live), the home
    // directory, the C library's files inside the namespace and the
    // stand-ins' program links; "" or what failed.
    std::string makeFiles() {
        std::string fixture = testutil::fixturePath("golden-debian");
        auto r = testutil::runProcess({"/bin/cp", "-R", fixture + "/root/.", root_.path()});
        if (r.exitCode != 0)
            return "cp root: " + r.err;
        r = testutil::runProcess({"/bin/cp", "-R", fixture + "/home/.", home_.path()});
        if (r.exitCode != 0)
            return "cp home: " + r.err;
        if (symlink("/proc", root_.file("proc").c_str()) != 0 || mkdir(root_.file("mnt").c_str(), 0755) != 0)
            return "cannot link proc or make mnt in the host root";
        testutil::writeFile(home_.file("kestrova.pem"), testutil::readFile(agenttest::caDir() + "/kestrova.pem"));
        if (mkdir("/etc/netns", 0755) == 0)
            madeEtcNetns_ = true;
        etcNetns_ = "/etc/netns/" + ns_;
        if (mkdir(etcNetns_.c_str(), 0755) != 0)
            return "cannot make " + etcNetns_;
        testutil::writeFile(etcNetns_ + "/hosts", testutil::readFile(root_.file("etc/hosts")));
        testutil::writeFile(etcNetns_ + "/nsswitch.conf", testutil::readFile(root_.file("etc/nsswitch.conf")));
        // Names outside the hosts file ask a resolver on loopback, where
        // nothing listens: they fail at once.
        testutil::writeFile(etcNetns_ + "/resolv.conf", "nameserver 127.0.0.1\n");
        std::string sleep = access("/usr/bin/sleep", X_OK) == 0 ? "/usr/bin/sleep" : "/bin/sleep";
        for (const char *name : kDaemons)
            if (symlink(sleep.c_str(), bin_.file(name).c_str()) != 0)
                return std::string("cannot link ") + name;
        return "";
    }

    // Starts the agent as process 1 of its own PID namespace, replacing the
    // shell that mounted the tmpfs and started the stand-ins; "" or what
    // failed.
    std::string startAgent() {
        std::string daemons;
        for (const char *d : kDaemons)
            daemons += std::string(d) + " ";
        const std::string script =
            "hostname golden && mount -t tmpfs -o size=1m,nr_inodes=1024,mode=0755 golden /mnt && "
            "mount --bind /mnt \"$KQ_ROOT/mnt\" && export PATH=\"$KQ_BIN:$PATH\" && for d in " +
            daemons + "; do \"$d\" 3600 & done; exec \"$@\"";
        std::vector<std::string> args = {netnstest::ipPath(),
                                         "netns",
                                         "exec",
                                         ns_,
                                         access("/usr/bin/unshare", X_OK) == 0 ? "/usr/bin/unshare" : "/bin/unshare",
                                         "--pid",
                                         "--fork",
                                         "--kill-child",
                                         "--mount-proc",
                                         "--uts",
                                         "/bin/sh",
                                         "-c",
                                         script,
                                         "golden",
                                         testutil::binPath("qeld"),
                                         "-f",
                                         "-H",
                                         home_.path(),
                                         "-p",
                                         std::to_string(kPort),
                                         std::string(KESTROVA_PLUGIN_DIR) + "/mib2-linux.so",
                                         std::string(KESTROVA_PLUGIN_DIR) + "/kestrova-linux.so"};
        pid_t pid = fork();
        if (pid < 0)
            return "fork failed";
        if (pid == 0) {
            int out = open(home_.file("qeld.out").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
            if (out >= 0) {
                dup2(out, 1);
                dup2(out, 2);
            }
            setenv("KESTROVA_TIME_DIVISOR", "60", 1);
            setenv("KESTROVA_HOST_ROOT", root_.path().c_str(), 1);
            setenv("MIB2_REFRESH_SECONDS", "1", 1);
            setenv("KQ_ROOT", root_.path().c_str(), 1);
            setenv("KQ_BIN", bin_.path().c_str(), 1);
            std::vector<char *> argv;
            for (auto &a : args)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        launcher_ = pid;
        auto deadline = std::chrono::steady_clock::now() + 30s;
        while (std::chrono::steady_clock::now() < deadline) {
            if (waitpid(launcher_, nullptr, WNOHANG) == launcher_) {
                launcher_ = -1;
                return "the agent exited: " + testutil::readFile(home_.file("qeld.out"));
            }
            if (testutil::readFile(home_.file("qeld.log")).find("qeld ready") != std::string::npos)
                return "";
            std::this_thread::sleep_for(20ms);
        }
        return "the agent was not ready within 30 s: " + testutil::readFile(home_.file("qeld.out"));
    }

    // Replaces the test's own paths with placeholders.
    std::string paths(std::string v) const {
        for (const auto &[path, name] :
             std::vector<std::pair<std::string, std::string>>{{root_.path(), "<root>"},
                                                              {home_.path(), "<home>"},
                                                              {bin_.path(), "<bin>"},
                                                              {KESTROVA_PLUGIN_DIR, "<plugins>"},
                                                              {KESTROVA_BIN_DIR, "<bindir>"},
                                                              {KESTROVA_SOURCE_DIR, "<source>"}})
            for (auto pos = v.find(path); pos != std::string::npos; pos = v.find(path, pos))
                v.replace(pos, path.size(), name);
        return v;
    }

    // Kernel-chosen ports (32768 and up, five digits) in a row key.
    static std::string ephemeralPorts(const std::string &key) {
        static const std::regex port("(^|:)(3[2-9][0-9]{3}|[4-6][0-9]{4})(?=:|$)");
        return std::regex_replace(key, port, "$1<ephemeral>");
    }

    std::string normalise(const std::string &object, qelSyntax_t syntax, const std::string &value) const {
        if (syntax == dateTime || syntax == counter)
            return "<" + syntaxName(syntax) + ">";
        if (kVarying.count(object))
            return "<varies>";
        if (kPorts.count(object) && std::atoi(value.c_str()) >= 32768)
            return "<ephemeral>";
        if (object == "subGraph") {
            std::string graph = base64Decode(value);
            return "<GraphML: " + std::to_string(occurrences(graph, "<node ")) + " nodes, " +
                   std::to_string(occurrences(graph, "<edge ")) + " edges>";
        }
        return paths(value);
    }

    // One get per scalar: "MODULE scalar OBJECT SYNTAX VALUE".
    std::vector<std::string> scalars(qelSession_t *s, const std::string &mib, const std::vector<Definition> &defs) {
        std::vector<std::string> out;
        for (const auto &d : defs) {
            if (d.isTable || !d.table.empty())
                continue;
            qelPdu_t req, reply;
            agenttest::buildRequest(req, GetRequest, {{mib, d.object, "", ""}});
            std::string line = mib + " scalar " + d.object + " ";
            if (agenttest::transact(s, req, reply) != 1)
                line += "<no reply>";
            else if (reply.errorStatus != noError || !reply.varList)
                line += "errorStatus " + std::to_string(reply.errorStatus);
            else
                line += syntaxName(reply.varList->varSyntax) + " " +
                        normalise(d.object, reply.varList->varSyntax,
                                  reply.varList->valueBuf ? reply.varList->valueBuf : reply.varList->valueStr);
            out.push_back(line);
            qelPduCleanup(&req);
            qelPduCleanup(&reply);
        }
        return out;
    }

    // Every row of a table: "MODULE TABLE[KEY] COLUMN SYNTAX VALUE" lines,
    // one block per row.
    std::vector<std::vector<std::string>> rows(qelSession_t *s, const std::string &mib, const std::string &table,
                                               const std::vector<Definition> &defs, std::string &status) {
        std::vector<std::string> columns;
        for (const auto &d : defs)
            if (d.table == table)
                columns.push_back(d.object);
        qelPdu_t req, reply;
        agenttest::buildSelect(req, mib, table, "*", 0, columns);
        std::vector<std::vector<std::string>> out;
        std::map<std::string, size_t> byKey;
        status.clear();
        if (agenttest::transact(s, req, reply) != 1) {
            status = "<no reply>";
        } else if (reply.errorStatus != noError) {
            status = "errorStatus " + std::to_string(reply.errorStatus);
        } else {
            for (auto *v = reply.varList; v; v = v->next) {
                std::string key = ephemeralPorts(paths(v->varName.key));
                auto [it, added] = byKey.emplace(key, out.size());
                if (added)
                    out.emplace_back();
                out[it->second].push_back(
                    mib + " " + table + "[" + key + "] " + v->varName.objName + " " + syntaxName(v->varSyntax) + " " +
                    normalise(v->varName.objName, v->varSyntax, v->valueBuf ? v->valueBuf : v->valueStr));
            }
        }
        qelPduCleanup(&req);
        qelPduCleanup(&reply);
        // Rows in key order: the agent's own order follows hashing and
        // discovery timing.
        std::sort(out.begin(), out.end());
        return out;
    }

    // The whole normalised text of one module.
    std::string module(qelSession_t *s, const std::string &mib, const std::vector<Definition> &defs) {
        std::string text;
        for (const auto &line : scalars(s, mib, defs))
            text += line + "\n";
        for (const auto &d : defs) {
            if (!d.isTable)
                continue;
            std::string status;
            auto table = rows(s, mib, d.object, defs, status);
            if (d.object == "filesysTable")
                table.erase(std::remove_if(table.begin(), table.end(),
                                           [](const std::vector<std::string> &row) {
                                               return std::none_of(row.begin(), row.end(), [](const std::string &l) {
                                                   return l.ends_with(" mountpoint displayString /mnt") ||
                                                          l.find(" mountpoint displayString <root>/") !=
                                                              std::string::npos;
                                               });
                                           }),
                            table.end());
            // Neighbours that never answered are kept by the kernel for a
            // while after each probe and then dropped: whether one is listed
            // depends on when the table is read.
            if (d.object == "ipNetToMediaTable")
                table.erase(std::remove_if(table.begin(), table.end(),
                                           [](const std::vector<std::string> &row) {
                                               return std::any_of(row.begin(), row.end(), [](const std::string &l) {
                                                   return l.ends_with(" ipNetToMediaType integer 0");
                                               });
                                           }),
                            table.end());
            text += mib + " table " + d.object + " " +
                    (status.empty() ? std::to_string(table.size()) + " rows" : status) +
                    (d.object == "filesysTable" ? " (the machine's own mounts left out)" : "") +
                    (d.object == "ipNetToMediaTable" ? " (unresolved neighbours left out)" : "") + "\n";
            for (const auto &row : table)
                for (const auto &line : row)
                    text += line + "\n";
        }
        return text;
    }
};

std::vector<std::string> lines(const std::string &text) {
    std::vector<std::string> v;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        v.push_back(l);
    return v;
}

// A unified diff of want and got (a longest-common-subsequence alignment),
// its first hunks up to about 60 lines.
std::string unifiedDiff(const std::string &want, const std::string &got) {
    auto a = lines(want), b = lines(got);
    const size_t n = a.size(), m = b.size();
    // common[i][j]: the longest common subsequence of a[i..] and b[j..].
    std::vector<std::vector<int>> common(n + 1, std::vector<int>(m + 1, 0));
    for (size_t i = n; i-- > 0;)
        for (size_t j = m; j-- > 0;)
            common[i][j] = a[i] == b[j] ? common[i + 1][j + 1] + 1 : std::max(common[i + 1][j], common[i][j + 1]);
    struct Op {
        char kind; // ' ', '-', '+'
        size_t i, j;
    };
    std::vector<Op> ops;
    size_t i = 0, j = 0;
    while (i < n || j < m) {
        if (i < n && j < m && a[i] == b[j])
            ops.push_back({' ', i++, j++});
        else if (i < n && (j == m || common[i + 1][j] >= common[i][j + 1]))
            ops.push_back({'-', i++, j});
        else
            ops.push_back({'+', i, j++});
    }
    const size_t kContext = 3, kMaxLines = 60;
    std::ostringstream out;
    out << "--- " << kGoldenFile << "\n+++ this run\n";
    size_t printed = 0, k = 0;
    while (k < ops.size() && printed < kMaxLines) {
        while (k < ops.size() && ops[k].kind == ' ')
            ++k;
        if (k == ops.size())
            break;
        // A hunk: the changes from k on, joined while fewer than two
        // contexts of equal lines lie between them.
        size_t from = k > kContext ? k - kContext : 0, to = k;
        for (size_t equal = 0; to < ops.size() && equal <= 2 * kContext; ++to)
            equal = ops[to].kind == ' ' ? equal + 1 : 0;
        to = std::min(ops.size(), to - (to < ops.size() ? kContext + 1 : 0) + kContext);
        out << "@@ -" << ops[from].i + 1 << " +" << ops[from].j + 1 << " @@\n";
        for (size_t x = from; x < to && printed < kMaxLines; ++x, ++printed)
            out << ops[x].kind << (ops[x].kind == '+' ? b[ops[x].j] : a[ops[x].i]) << "\n";
        k = to;
    }
    if (k < ops.size())
        out << "... (later differences left out)\n";
    return out.str();
}

TEST_F(Golden, EveryTableOfMib2AndKestrovaMatchesTheGoldenText) {
    ns_ = "kq-golden-" + std::to_string(getpid());
    std::string why;
    switch (net_.create(ns_, why)) {
    case netnstest::Netns::Result::refused: GTEST_SKIP() << why;
    case netnstest::Netns::Result::failed: FAIL() << why;
    case netnstest::Netns::Result::made: break;
    }
    bool skip = false;
    why = makeNetwork(skip);
    if (skip)
        GTEST_SKIP() << why;
    ASSERT_EQ(why, "");
    ASSERT_EQ(makeFiles(), "");
    ASSERT_EQ(startAgent(), "");

    auto kestrova = kestrovaDefinitions(), mib2 = mib2Definitions();
    ASSERT_EQ(kestrova.size(), 158u);
    ASSERT_GT(mib2.size(), 50u);
    std::string text;
    bool settled = false;
    ASSERT_TRUE(netnstest::inNetns(ns_, [&] {
        qelSession_t *s = agenttest::connect(kPort, "tester");
        if (!s)
            return false;
        // The first discovery has settled once the dependency table is not
        // empty, every row has been probed, and four reads a second apart
        // agree (a pass that runs before the process table is loaded misses
        // the daemons' rows, which the next pass adds).
        std::string last;
        int same = 0;
        auto deadline = std::chrono::steady_clock::now() + 60s;
        while (!settled && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(1s);
            std::string status;
            auto deps = rows(s, "kestrova", "dependencyTable", kestrova, status);
            std::string now;
            bool probed = !deps.empty();
            for (const auto &row : deps)
                for (const auto &line : row) {
                    now += line + "\n";
                    if (line.find(" dependReachable extendedBoolean unknown") != std::string::npos)
                        probed = false;
                }
            same = probed && now == last ? same + 1 : 0;
            settled = same >= 3;
            last = now;
        }
        text = module(s, "kestrova", kestrova) + module(s, "mib2", mib2);
        destroyQelSession(s);
        return true;
    })) << "no session to the agent";
    EXPECT_TRUE(settled) << "the dependency table did not settle within 60 s";

    std::string golden = testutil::fixturePath(kGoldenFile);
    if (std::getenv("KESTROVA_UPDATE_GOLDEN")) {
        testutil::writeFile(golden, text);
        std::printf("wrote %s\n", golden.c_str());
        return;
    }
    std::string want = testutil::readFile(golden);
    EXPECT_TRUE(want == text) << unifiedDiff(want, text)
                              << "(regenerate: KESTROVA_UPDATE_GOLDEN=1 ctest --test-dir build -R Golden)";
}

} // namespace
