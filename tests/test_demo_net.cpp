// The demo network script of "make run": it must make exactly the hosts,
// links and addresses it promises, with no way off the machine, start the
// stand-in daemons as the hosts they belong to, and take everything down
// again. Runs the script with a namespace prefix and run directory of its
// own (no agents), so it never touches a demo network a user has running.
#include <gtest/gtest.h>

#include <algorithm>
#include <dirent.h>
#include <map>
#include <cstdlib>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include "testutil.h"

namespace {

const std::string kSource = KESTROVA_SOURCE_DIR;
const std::string kScript = kSource + "/scripts/demo-net.sh";

std::vector<std::string> lines(const std::string &text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        if (!line.empty())
            out.push_back(line);
    return out;
}

// Runs a program found through PATH (runProcess takes a path).
testutil::ProcessResult sys(std::vector<std::string> argv, int timeoutSeconds = 60) {
    argv.insert(argv.begin(), "/usr/bin/env");
    return testutil::runProcess(argv, "", timeoutSeconds);
}

bool exists(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

TEST(DemoNetScripts, ParseAndAnswerUsage) {
    for (const char *s : {"/scripts/demo-net.sh", "/scripts/run-main.sh"}) {
        auto r = sys({"sh", "-n", kSource + s});
        EXPECT_EQ(r.exitCode, 0) << s << ": " << r.err;
    }
    auto r = sys({"python3", "-c", "import ast, sys; ast.parse(open(sys.argv[1]).read())",
                  kSource + "/scripts/demo/standin.py"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    r = sys({"sh", kScript, "--help"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_NE(r.out.find("usage: demo-net.sh"), std::string::npos) << r.out;
    r = sys({"sh", kScript, "sideways"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("usage: demo-net.sh"), std::string::npos) << r.err;
}

TEST(DemoNetScripts, CheckRefusesWithoutRoot) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to run the check as another user";
    auto r = sys({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "sh", kScript, "check"});
    EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
    EXPECT_EQ(r.out, "not root, so no network namespaces can be made\n");
}

class DemoNet : public ::testing::Test {
protected:
    void SetUp() override {
        prefix = "kqdt" + std::to_string(getpid());
        auto c = run({"check"});
        if (c.exitCode != 0)
            GTEST_SKIP() << "no network namespaces here: " << c.out;
    }

    void TearDown() override {
        if (upDone)
            run({"down"});
    }

    testutil::ProcessResult run(const std::vector<std::string> &args) {
        std::vector<std::string> argv = {"DEMO_PREFIX=" + prefix, "DEMO_RUN=" + dir.path(), "sh", kScript};
        argv.insert(argv.end(), args.begin(), args.end());
        return sys(argv, 120);
    }

    testutil::ProcessResult inNs(const std::string &host, const std::vector<std::string> &cmd) {
        std::vector<std::string> argv = {"ip", "netns", "exec", prefix + "-" + host};
        argv.insert(argv.end(), cmd.begin(), cmd.end());
        return sys(argv, 30);
    }

    std::set<std::string> ours() {
        std::set<std::string> out;
        auto r = sys({"ip", "netns", "list"});
        for (const auto &l : lines(r.out)) {
            std::string name = l.substr(0, l.find(' '));
            if (name.rfind(prefix + "-", 0) == 0)
                out.insert(name.substr(prefix.size() + 1));
        }
        return out;
    }

    std::set<std::string> linkNames(const std::string &host) {
        std::set<std::string> out;
        auto r = sys({"ip", "-n", prefix + "-" + host, "-o", "link", "show"});
        for (const auto &l : lines(r.out)) {
            // "N: NAME@PEER: <...": the name without its peer.
            auto a = l.find(": ") + 2;
            auto b = l.find_first_of("@:", a);
            out.insert(l.substr(a, b - a));
        }
        return out;
    }

    std::set<std::string> globalAddresses(const std::string &host) {
        std::set<std::string> out;
        auto r = sys({"ip", "-n", prefix + "-" + host, "-o", "addr", "show", "scope", "global"});
        for (const auto &l : lines(r.out)) {
            std::istringstream w(l);
            std::string word, prev;
            while (w >> word) {
                if (prev == "inet" || prev == "inet6")
                    out.insert(word);
                prev = word;
            }
        }
        return out;
    }

    // Pids (as this machine sees them) of the processes in host's namespace.
    std::vector<std::string> pidsIn(const std::string &host) {
        return lines(sys({"ip", "netns", "pids", prefix + "-" + host}).out);
    }

    // The process table host's own processes see: pid -> name.
    std::map<std::string, std::string> processTable(const std::string &host) {
        std::map<std::string, std::string> out;
        std::string unsharePid = lines(testutil::readFile(dir.path() + "/" + host + "/host.pid")).at(0);
        std::string first = lines(sys({"ps", "-o", "pid=", "--ppid", unsharePid}).out).at(0);
        first.erase(0, first.find_first_not_of(' '));
        std::string proc = "/proc/" + first + "/root/proc";
        DIR *d = opendir(proc.c_str());
        if (!d)
            return out;
        while (dirent *e = readdir(d)) {
            std::string name = e->d_name;
            if (!name.empty() && name.find_first_not_of("0123456789") == std::string::npos) {
                auto comm = lines(testutil::readFile(proc + "/" + name + "/comm"));
                out[name] = comm.empty() ? "" : comm[0];
            }
        }
        closedir(d);
        return out;
    }

    std::string prefix;
    testutil::TempDir dir;
    bool upDone = false;
};

bool gone(const std::string &pid) {
    std::string st = testutil::readFile("/proc/" + pid + "/stat");
    return st.empty() || st.find(") Z ") != std::string::npos;
}

TEST_F(DemoNet, UpReplacesAnEarlierNetworkWithTheClosedOneAndDownRemovesIt) {
    auto first = run({"up", "--no-agents"});
    upDone = true;
    ASSERT_EQ(first.exitCode, 0) << first.out << first.err;
    std::vector<std::string> before = pidsIn("kite");
    ASSERT_FALSE(before.empty());

    // A second up first takes the earlier network and its processes down.
    auto up = run({"up", "--no-agents"});
    ASSERT_EQ(up.exitCode, 0) << up.out << up.err;
    EXPECT_NE(up.out.find("stopping the hosts' stand-in daemons"), std::string::npos) << up.out;
    for (const auto &p : before)
        EXPECT_TRUE(gone(p)) << "earlier stand-in " << p << " still runs";
    EXPECT_EQ(ours(), (std::set<std::string>{"gate", "wren", "heron", "kite", "lark"}));

    // Exactly the promised links: nothing joins the machine's namespace.
    EXPECT_EQ(linkNames("gate"), (std::set<std::string>{"lo", "br-lan", "br-dmz", "wren", "heron", "kite", "lark"}));
    for (const char *h : {"wren", "heron", "kite", "lark"})
        EXPECT_EQ(linkNames(h), (std::set<std::string>{"lo", "eth0"})) << h;
    EXPECT_EQ(globalAddresses("wren"), (std::set<std::string>{"192.0.2.10/24", "2001:db8:1::10/64"}));
    EXPECT_EQ(globalAddresses("kite"), (std::set<std::string>{"198.51.100.25/24", "2001:db8:2::25/64"}));
    EXPECT_EQ(globalAddresses("lark"), (std::set<std::string>{"198.51.100.80/24", "2001:db8:2::80/64"}));
    EXPECT_EQ(globalAddresses("gate"),
              (std::set<std::string>{"192.0.2.1/24", "2001:db8:1::1/64", "198.51.100.1/24", "2001:db8:2::1/64"}));

    // The router knows no way beyond the two demo networks.
    for (const char *dst : {"203.0.113.7", "2001:db8:ff::1"}) {
        auto r = sys({"ip", "-n", prefix + "-gate", "route", "get", dst});
        EXPECT_NE(r.exitCode, 0) << dst << ": " << r.out;
    }

    // wren reaches kite's mail relay across gate, over both families, and
    // the stand-in greets under kite's own host name.
    for (const char *addr : {"198.51.100.25", "2001:db8:2::25"}) {
        auto r = inNs("wren", {"timeout", "5", "bash", "-c", "exec 3<>/dev/tcp/$0/25 && head -n 1 <&3", addr});
        EXPECT_EQ(r.exitCode, 0) << addr << ": " << r.err;
        EXPECT_EQ(r.out, "220 kite master ready\r\n") << addr;
    }

    // The printer takes jobs but answers no ping, over either family, where
    // the name server does.
    for (const char *addr : {"198.51.100.80", "2001:db8:2::80"}) {
        auto r = inNs("wren", {"ping", "-c", "1", "-W", "1", addr});
        EXPECT_NE(r.exitCode, 0) << addr << " answered: " << r.out;
    }
    for (const char *addr : {"192.0.2.53", "2001:db8:1::53"}) {
        auto r = inNs("wren", {"ping", "-c", "1", "-W", "2", addr});
        EXPECT_EQ(r.exitCode, 0) << addr << ": " << r.out << r.err;
    }

    // Host files: the templates and the live /proc linked in. wren's
    // resolver is a local stub (127.0.0.53) that no demo host runs, so its C
    // library gets the servers the stub would forward to; kite's names its
    // servers itself and is given as it is.
    std::string stub = testutil::readFile(kSource + "/examples/demo/wren/root/etc/resolv.conf");
    std::string upstream = testutil::readFile(kSource + "/examples/demo/wren/root/run/systemd/resolve/resolv.conf");
    ASSERT_NE(stub.find("nameserver 127.0.0.53"), std::string::npos);
    ASSERT_NE(upstream.find("nameserver 192.0.2.53"), std::string::npos);
    EXPECT_EQ(testutil::readFile(dir.path() + "/wren/root/etc/resolv.conf"), stub);
    EXPECT_TRUE(exists(dir.path() + "/wren/root/proc/self/net/dev"));
    auto r = inNs("wren", {"cat", "/etc/resolv.conf"});
    EXPECT_EQ(r.out, upstream);
    r = inNs("wren", {"getent", "hosts", "print.demo.example"});
    EXPECT_NE(r.out.find("lark.demo.example"), std::string::npos) << r.out;
    std::string kiteResolv = testutil::readFile(kSource + "/examples/demo/kite/root/etc/resolv.conf");
    EXPECT_EQ(inNs("kite", {"cat", "/etc/resolv.conf"}).out, kiteResolv);

    // Every agent home holds the plug-in's data files, the host's own
    // statements over the example's.
    for (const char *h : {"wren", "heron", "kite", "gate"})
        for (const char *f : {"connectiondata.xml", "appdata.xml", "kestrova-local.xml"})
            EXPECT_TRUE(exists(dir.path() + "/" + h + "/home/" + f)) << h << " " << f;
    EXPECT_EQ(testutil::readFile(dir.path() + "/wren/home/kestrova-local.xml"),
              testutil::readFile(kSource + "/examples/demo/wren/home/kestrova-local.xml"));

    // wren's log writer appends to its ssh log, in its host root, one
    // line every few seconds.
    std::string authLog = dir.path() + "/wren/root/var/log/auth.log";
    std::string logged;
    for (int i = 0; i < 100 && logged.find("sshd[") == std::string::npos; i++) {
        usleep(100 * 1000);
        logged = testutil::readFile(authLog);
    }
    EXPECT_NE(logged.find(" wren sshd["), std::string::npos) << logged;
    EXPECT_EQ(logged.find('{'), std::string::npos) << "placeholders left: " << logged;

    // Each host sees only its own processes: its first process (pid 1), the
    // stand-ins under their daemons' names and the first process's sleeper.
    std::multiset<std::string> names;
    for (const auto &[pid, name] : processTable("heron"))
        names.insert(name);
    EXPECT_EQ(names, (std::multiset<std::string>{"sh", "named", "ntpd", "ypserv", "kamailio", "asterisk", "sleep"}));
    EXPECT_EQ(processTable("heron")["1"], "sh");
    std::vector<std::string> pids = pidsIn("heron");
    ASSERT_FALSE(pids.empty());

    auto down = run({"down"});
    EXPECT_EQ(down.exitCode, 0) << down.err;
    EXPECT_NE(down.out.find("demo network removed"), std::string::npos) << down.out;
    EXPECT_TRUE(ours().empty());
    EXPECT_FALSE(exists("/etc/netns/" + prefix + "-wren"));
    for (const auto &p : pids)
        EXPECT_TRUE(gone(p)) << "stand-in " << p << " still runs";
    auto again = run({"down"});
    EXPECT_EQ(again.exitCode, 0);
    EXPECT_EQ(again.out, "demo-net: no demo network to remove\n");
    upDone = false;
}

} // namespace
