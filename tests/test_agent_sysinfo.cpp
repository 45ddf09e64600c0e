// The real agent's system metrics and file-system and CPU tables. Each agent
// runs inside a network namespace the test makes (nothing kestrova probes
// can leave the machine) and inside a private mount namespace held by a
// forked helper: the helper mounts what the agent is to see (tmpfs file
// systems, and a FUSE file system it serves itself, special
// "hanghost:/export", which it can stop answering or drop), then starts the
// agent, and takes orders over a pipe.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/fuse.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "agent_testutil.h"
#include "qel/qel_session.h"
#include "testutil.h"

namespace {

using agenttest::Var;
using namespace std::chrono_literals;

const std::string &ipPath() {
    static const std::string path = [] {
        for (const char *p : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"})
            if (access(p, X_OK) == 0)
                return std::string(p);
        return std::string("ip");
    }();
    return path;
}

// ---- the helper in its mount namespace ----

struct HelperSetup {
    std::vector<std::string> tmpfs; // mounted with size=4m
    std::string fuseDir;            // "" for none
    std::vector<std::string> agentArgv;
    std::vector<std::pair<std::string, std::string>> env;
    std::string outFile;
};

void say(int fd, const std::string &line) {
    std::string l = line + "\n";
    [[maybe_unused]] ssize_t n = write(fd, l.data(), l.size());
}

// Answers one FUSE request: INIT, STATFS and the root's GETATTR; the rest
// are refused.
void serveFuse(int fd, const char *buf, size_t len) {
    if (len < sizeof(fuse_in_header))
        return;
    fuse_in_header in;
    std::memcpy(&in, buf, sizeof in);
    if (in.opcode == FUSE_FORGET || in.opcode == FUSE_BATCH_FORGET || in.opcode == FUSE_INTERRUPT)
        return;
    char out[sizeof(fuse_out_header) + 256] = {};
    fuse_out_header oh{};
    oh.unique = in.unique;
    size_t body = 0;
    char *b = out + sizeof oh;
    if (in.opcode == FUSE_INIT) {
        fuse_init_in ii{};
        std::memcpy(&ii, buf + sizeof in, std::min(sizeof ii, len - sizeof in));
        fuse_init_out io{};
        io.major = FUSE_KERNEL_VERSION;
        io.minor = std::min<uint32_t>(ii.minor, FUSE_KERNEL_MINOR_VERSION);
        io.max_readahead = ii.max_readahead;
        io.max_write = 4096;
        io.max_background = 1;
        io.congestion_threshold = 1;
        std::memcpy(b, &io, sizeof io);
        body = sizeof io;
    } else if (in.opcode == FUSE_STATFS) {
        fuse_statfs_out so{};
        so.st.blocks = 1000;
        so.st.bfree = 400;
        so.st.bavail = 300;
        so.st.files = 100;
        so.st.ffree = 50;
        so.st.bsize = 4096;
        so.st.frsize = 4096;
        so.st.namelen = 255;
        std::memcpy(b, &so, sizeof so);
        body = sizeof so;
    } else if (in.opcode == FUSE_GETATTR && in.nodeid == FUSE_ROOT_ID) {
        fuse_attr_out ao{};
        ao.attr.ino = FUSE_ROOT_ID;
        ao.attr.mode = S_IFDIR | 0755;
        ao.attr.nlink = 2;
        std::memcpy(b, &ao, sizeof ao);
        body = sizeof ao;
    } else {
        oh.error = in.opcode == FUSE_LOOKUP ? -ENOENT : -ENOSYS;
    }
    oh.len = static_cast<uint32_t>(sizeof oh + body);
    std::memcpy(out, &oh, sizeof oh);
    [[maybe_unused]] ssize_t n = write(fd, out, oh.len);
}

// The forked helper (one thread): never returns.
[[noreturn]] void helperMain(const HelperSetup &s, int ctl, int rsp) {
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        say(rsp, "E private mount namespaces are refused here: " + std::string(strerror(errno)));
        _exit(1);
    }
    for (const std::string &dir : s.tmpfs)
        if (mount("kqtmpfs", dir.c_str(), "tmpfs", 0, "size=4m,nr_inodes=1000") != 0) {
            say(rsp, "E tmpfs mounts are refused here: " + std::string(strerror(errno)));
            _exit(1);
        }
    int fuse = -1;
    if (!s.fuseDir.empty()) {
        fuse = open("/dev/fuse", O_RDWR | O_CLOEXEC);
        if (fuse < 0) {
            say(rsp, "E no /dev/fuse: " + std::string(strerror(errno)));
            _exit(1);
        }
        std::string opts = "fd=" + std::to_string(fuse) + ",rootmode=40000,user_id=0,group_id=0";
        if (mount("hanghost:/export", s.fuseDir.c_str(), "fuse", MS_NOSUID | MS_NODEV, opts.c_str()) != 0) {
            say(rsp, "E FUSE mounts are refused here: " + std::string(strerror(errno)));
            _exit(1);
        }
    }
    pid_t agent = fork();
    if (agent == 0) {
        int out = open(s.outFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (out >= 0) {
            dup2(out, 1);
            dup2(out, 2);
        }
        for (const auto &[k, v] : s.env)
            setenv(k.c_str(), v.c_str(), 1);
        std::vector<char *> argv;
        for (const std::string &a : s.agentArgv)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    say(rsp, "P " + std::to_string(agent));
    bool hung = false;
    std::vector<char> buf(1u << 18);
    for (;;) {
        pollfd p[2] = {{ctl, POLLIN, 0}, {hung ? -1 : fuse, POLLIN, 0}};
        if (poll(p, 2, 200) < 0 && errno != EINTR)
            break;
        if (p[1].revents & POLLIN) {
            ssize_t n = read(fuse, buf.data(), buf.size());
            if (n > 0)
                serveFuse(fuse, buf.data(), static_cast<size_t>(n));
        }
        if (p[0].revents & (POLLIN | POLLHUP)) {
            char c = 0;
            if (read(ctl, &c, 1) != 1 || c == 'q')
                break;
            if (c == 'h') {
                hung = true;
                say(rsp, "H");
            } else if (c == 'c') {
                close(fuse);
                fuse = -1;
                say(rsp, "C");
            } else if (c == 'w') {
                // One more MiB on the first tmpfs.
                static int files = 0;
                std::string path = s.tmpfs[0] + "/blob" + std::to_string(files++);
                int f = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
                std::string mb(1u << 20, 'x');
                bool ok = f >= 0 && write(f, mb.data(), mb.size()) == static_cast<ssize_t>(mb.size());
                if (f >= 0)
                    close(f);
                say(rsp, ok ? "W" : "E write");
            } else if (c == 's') {
                // The tmpfs figures as seen in this namespace.
                std::string line = "S";
                for (const std::string &dir : s.tmpfs) {
                    struct statvfs st;
                    if (statvfs(dir.c_str(), &st) != 0)
                        continue;
                    line += " " + dir + "=" + std::to_string(st.f_blocks) + "," + std::to_string(st.f_bfree) + "," +
                            std::to_string(st.f_bavail) + "," + std::to_string(st.f_files) + "," +
                            std::to_string(st.f_ffree) + "," + std::to_string(st.f_frsize);
                }
                say(rsp, line);
            }
        }
        if (waitpid(agent, nullptr, WNOHANG) == agent)
            agent = -1;
    }
    if (agent > 0) {
        kill(agent, SIGKILL);
        waitpid(agent, nullptr, 0);
    }
    _exit(0);
}

class SysinfoAgent : public ::testing::Test {
protected:
    void SetUp() override {
        if (access(ipPath().c_str(), X_OK) != 0)
            GTEST_SKIP() << "no ip program (iproute2) on this host";
        ns = "kq-sysinfo-" + std::to_string(getpid());
        auto r = testutil::runProcess({ipPath(), "netns", "add", ns});
        if (r.exitCode != 0)
            GTEST_SKIP() << "network namespaces are not permitted here (ip netns add exited " << r.exitCode << ": "
                         << r.err << "); needs root or CAP_SYS_ADMIN";
        made = true;
        r = testutil::runProcess({ipPath(), "-n", ns, "link", "set", "lo", "up"});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        testutil::writeFile(home.file("kestrova.pem"), testutil::readFile(agenttest::caDir() + "/kestrova.pem"));
    }

    void TearDown() override {
        if (helper > 0) {
            close(ctl);
            close(rsp);
            auto deadline = std::chrono::steady_clock::now() + 10s;
            while (waitpid(helper, nullptr, WNOHANG) != helper) {
                if (std::chrono::steady_clock::now() > deadline) {
                    kill(helper, SIGKILL);
                    waitpid(helper, nullptr, 0);
                    break;
                }
                std::this_thread::sleep_for(20ms);
            }
        }
        std::string out = testutil::readFile(home.file("qeld.out"));
        for (const char *report :
             {"WARNING: ThreadSanitizer", "ERROR: AddressSanitizer", "runtime error:", "ERROR: LeakSanitizer"})
            EXPECT_EQ(out.find(report), std::string::npos) << out;
        if (made)
            testutil::runProcess({ipPath(), "netns", "del", ns});
    }

    // A line from the helper, "" after 20 s.
    std::string reply() {
        std::string line;
        auto deadline = std::chrono::steady_clock::now() + 20s;
        while (std::chrono::steady_clock::now() < deadline) {
            pollfd p{rsp, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0)
                continue;
            char c;
            if (read(rsp, &c, 1) != 1)
                break;
            if (c == '\n')
                return line;
            line += c;
        }
        return line;
    }
    std::string order(char c) {
        [[maybe_unused]] ssize_t n = write(ctl, &c, 1);
        return reply();
    }

    // Starts the helper and the agent; a reason to skip in why when the
    // kernel refuses a mount.
    bool start(HelperSetup s, std::string &why) {
        s.outFile = home.file("qeld.out");
        s.agentArgv = {ipPath(),
                       "netns",
                       "exec",
                       ns,
                       testutil::binPath("qeld"),
                       "-f",
                       "-p",
                       "0",
                       "-l",
                       "127.0.0.1",
                       "-H",
                       home.path(),
                       std::string(KESTROVA_PLUGIN_DIR) + "/mib2-linux.so",
                       std::string(KESTROVA_PLUGIN_DIR) + "/kestrova-linux.so"};
        s.env.emplace_back("KESTROVA_TIME_DIVISOR", "60");
        int c[2], r[2];
        if (pipe2(c, O_CLOEXEC) != 0 || pipe2(r, O_CLOEXEC) != 0)
            return false;
        helper = fork();
        if (helper == 0) {
            close(c[1]);
            close(r[0]);
            helperMain(s, c[0], r[1]);
        }
        close(c[0]);
        close(r[1]);
        ctl = c[1];
        rsp = r[0];
        std::string first = reply();
        if (first.rfind("E ", 0) == 0) {
            why = first.substr(2);
            return false;
        }
        if (first.rfind("P ", 0) != 0)
            return false;
        agentPid = std::atoi(first.c_str() + 2);
        auto deadline = std::chrono::steady_clock::now() + 30s;
        while (std::chrono::steady_clock::now() < deadline) {
            if (kill(agentPid, 0) != 0)
                return false; // exited (the helper reaps it)
            std::string port = testutil::readFile(home.file("qeld.port"));
            if (!port.empty() && testutil::readFile(home.file("qeld.log")).find("qeld ready") != std::string::npos) {
                agentPort = std::atoi(port.c_str());
                return agentPort > 0;
            }
            std::this_thread::sleep_for(20ms);
        }
        return false;
    }

    void inNamespace(const std::function<void(qelSession_t *)> &fn) {
        agenttest::caDir();
        std::thread t([&] {
            int fd = open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
            if (fd < 0 || setns(fd, CLONE_NEWNET) != 0) {
                ADD_FAILURE() << "cannot enter namespace " << ns;
                if (fd >= 0)
                    close(fd);
                return;
            }
            close(fd);
            qelSession_t *s = agenttest::connect(agentPort, "tester");
            if (!s) {
                ADD_FAILURE() << "no session to the agent";
                return;
            }
            fn(s);
            destroyQelSession(s);
        });
        t.join();
    }

    std::string ns;
    bool made = false;
    testutil::TempDir home;
    pid_t helper = -1, agentPid = -1;
    int ctl = -1, rsp = -1, agentPort = 0;
};

struct Answer {
    int rc = 0;
    qelErrorStatus_t status = noError;
    std::vector<Var> vars;
    std::vector<qelSyntax_t> syntaxes;
};

Answer exchange(qelSession_t *s, qelPdu_t &req) {
    qelPdu_t reply;
    Answer a;
    a.rc = agenttest::transact(s, req, reply);
    a.status = reply.errorStatus;
    a.vars = agenttest::variables(reply);
    for (auto *v = reply.varList; v; v = v->next)
        a.syntaxes.push_back(v->varSyntax);
    qelPduCleanup(&req);
    qelPduCleanup(&reply);
    return a;
}

Answer selectRows(qelSession_t *s, const std::string &table, const std::string &key, int maxRows,
                  const std::vector<std::string> &columns) {
    qelPdu_t req;
    agenttest::buildSelect(req, "kestrova", table, key, maxRows, columns);
    return exchange(s, req);
}

// Rows of filesysTable by mount point: column name -> value.
std::map<std::string, std::map<std::string, std::string>> filesysRows(qelSession_t *s) {
    std::map<std::string, std::map<std::string, std::string>> rows;
    Answer a = selectRows(s, "filesysTable", "*", 0,
                          {"filesystem", "fstype", "totalBlocks", "freeBlocks", "availBlocks", "usedBlocks",
                           "totalFiles", "freeFiles", "blockSize"});
    for (const Var &v : a.vars)
        rows[v.key][v.obj] = v.value;
    return rows;
}

const char *const kMetrics[] = {"totalSwap",
                                "usedSwap",
                                "freeSwap",
                                "totalMem",
                                "usedMem",
                                "freeMem",
                                "loadAvg1Min",
                                "loadAvg5Min",
                                "loadAvg15Min",
                                "numberCPUs",
                                "kernelVers",
                                "numTCPEndpts",
                                "numUDPEndpts",
                                "numProcesses",
                                "numHandles",
                                "numUsers",
                                "numDependencies",
                                "numPeers",
                                "numThreads",
                                "diskReads",
                                "diskReadKB",
                                "diskWrites",
                                "diskWriteKB",
                                "systemTotalCpuUser",
                                "systemTotalCpuIdle",
                                "systemTotalCpuKernel",
                                "systemTotalCpuWait",
                                "virtualSystem",
                                "kernelSize"};

TEST_F(SysinfoAgent, MetricsAndTablesOfTheFixtureHost) {
    HelperSetup s;
    s.env.emplace_back("KESTROVA_HOST_ROOT", testutil::fixturePath("sysinfohost1"));
    std::string why;
    if (!start(s, why)) {
        if (!why.empty())
            GTEST_SKIP() << why;
        FAIL() << testutil::readFile(home.file("qeld.out"));
    }
    inNamespace([&](qelSession_t *sess) {
        // The worker's first pass fills the CPU table.
        auto deadline = std::chrono::steady_clock::now() + 20s;
        while (agenttest::getValue(sess, "kestrova", "systemTotalCpuUser") != "6930" &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(50ms);
        std::vector<Var> vars;
        for (const char *m : kMetrics)
            vars.push_back({"kestrova", m, "", ""});
        qelPdu_t req;
        agenttest::buildRequest(req, GetRequest, vars);
        Answer a = exchange(sess, req);
        ASSERT_EQ(a.rc, 1);
        ASSERT_EQ(a.status, noError);
        ASSERT_EQ(a.vars.size(), 29u);
        std::map<std::string, std::pair<std::string, qelSyntax_t>> got;
        for (size_t i = 0; i < a.vars.size(); ++i)
            got[a.vars[i].obj] = {a.vars[i].value, a.syntaxes[i]};
        const std::map<std::string, std::pair<std::string, qelSyntax_t>> want = {
            {"totalSwap", {"3145724", gauge}},
            {"usedSwap", {"1024", gauge}},
            {"freeSwap", {"3144700", gauge}},
            {"totalMem", {"8000000", gauge}},
            {"usedMem", {"3000000", gauge}},
            {"freeMem", {"5000000", gauge}},
            {"loadAvg1Min", {"0.42", floatingPoint}},
            {"loadAvg5Min", {"1.50", floatingPoint}},
            {"loadAvg15Min", {"2.25", floatingPoint}},
            {"numberCPUs", {"64", gauge}},
            {"kernelVers", {"#1 SMP PREEMPT_DYNAMIC Debian 6.1.0-18 (2024-02-01) 6.1.0-18-arm64", displayString}},
            {"numHandles", {"4128", gauge}},
            {"numUsers", {"0", gauge}},
            {"diskReads", {"4000", counter}},
            {"diskReadKB", {"40960", counter}},
            {"diskWrites", {"2400", counter}},
            {"diskWriteKB", {"24576", counter}},
            {"systemTotalCpuUser", {"6930", counter}},
            {"systemTotalCpuIdle", {"63000", counter}},
            {"systemTotalCpuKernel", {"3276", counter}},
            {"systemTotalCpuWait", {"1260", counter}},
            {"virtualSystem", {"unknown", extendedBoolean}},
        };
        for (const auto &[name, vs] : want) {
            EXPECT_EQ(got[name].first, vs.first) << name;
            EXPECT_EQ(got[name].second, vs.second) << name;
        }
        EXPECT_EQ(got["kernelSize"].second, integer);
        for (const char *m :
             {"numTCPEndpts", "numUDPEndpts", "numProcesses", "numDependencies", "numPeers", "numThreads"})
            EXPECT_EQ(got[m].second, gauge) << m;

        // The CPU table: every row, one exact key, maxRows, a bad column.
        Answer cpus = selectRows(sess, "cpuTable", "*", 0, {"cpuNumber"});
        EXPECT_EQ(cpus.vars.size(), 64u);
        Answer one = selectRows(sess, "cpuTable", "4", 0, {"cpuNumber", "cpuTotalUserPercent"});
        ASSERT_EQ(one.vars.size(), 2u);
        EXPECT_EQ(one.vars[0].value, "4"); // CPU 8, after 0-3
        EXPECT_EQ(one.vars[1].value, "9.31");
        Answer few = selectRows(sess, "cpuTable", "*", 3, {"cpuNumber"});
        EXPECT_EQ(few.vars.size(), 3u);
        Answer bad = selectRows(sess, "cpuTable", "*", 0, {"cpuNumber", "nonsense"});
        EXPECT_EQ(bad.status, noSuchName);

        // The file-system table of the tree: its mount points are missing,
        // so every statvfs fails and the rows carry zeros.
        Answer fs = selectRows(sess, "filesysTable", "*", 0, {"mountpoint"});
        std::set<std::string> mps;
        for (const Var &v : fs.vars)
            mps.insert(v.value);
        EXPECT_FALSE(mps.empty());
        for (const std::string &mp : mps) {
            EXPECT_FALSE(mp == "/sys" || mp.rfind("/sys/", 0) == 0) << mp;
            EXPECT_NE(mp.rfind("/home", 0), 0u) << mp;
        }
        Answer root = selectRows(sess, "filesysTable", "/", 0, {"mountpoint", "fstype"});
        ASSERT_EQ(root.vars.size(), 2u);
        EXPECT_EQ(root.vars[0].value, "/");
        Answer limited = selectRows(sess, "filesysTable", "*", 1, {"mountpoint"});
        EXPECT_EQ(limited.vars.size(), 1u);
        EXPECT_EQ(selectRows(sess, "filesysTable", "*", 0, {"mountpoint", "nonsense"}).status, noSuchName);
    });
}

TEST_F(SysinfoAgent, RealRootInAPrivateMountNamespace) {
    testutil::TempDir dir;
    std::string a = dir.path() + "/a", b = dir.path() + "/b";
    mkdir(a.c_str(), 0755);
    mkdir(b.c_str(), 0755);
    HelperSetup s;
    s.tmpfs = {a, b, "/home"};
    std::string why;
    if (!start(s, why)) {
        if (!why.empty())
            GTEST_SKIP() << why;
        FAIL() << testutil::readFile(home.file("qeld.out"));
    }
    ASSERT_EQ(order('w'), "W");
    std::string seen = order('s');
    inNamespace([&](qelSession_t *sess) {
        // Wait for a pass after the write.
        std::map<std::string, std::map<std::string, std::string>> rows;
        auto deadline = std::chrono::steady_clock::now() + 20s;
        for (;;) {
            rows = filesysRows(sess);
            if ((rows.count(a) && rows[a]["usedBlocks"] == "256") || std::chrono::steady_clock::now() > deadline)
                break;
            std::this_thread::sleep_for(100ms);
        }
        for (const std::string &mp : {a, b}) {
            ASSERT_TRUE(rows.count(mp)) << mp;
            auto &r = rows[mp];
            EXPECT_EQ(r["fstype"], "tmpfs");
            EXPECT_EQ(r["filesystem"], "kqtmpfs");
            // As statvfs says inside the namespace.
            std::string fig = r["totalBlocks"] + "," + r["freeBlocks"] + "," + r["availBlocks"] + "," +
                              r["totalFiles"] + "," + r["freeFiles"] + "," + r["blockSize"];
            EXPECT_NE(seen.find(" " + mp + "=" + fig), std::string::npos) << seen << " vs " << fig;
        }
        EXPECT_EQ(rows[a]["usedBlocks"], "256");
        EXPECT_EQ(rows[b]["usedBlocks"], "0");
        for (const auto &[mp, r] : rows) {
            EXPECT_FALSE(mp == "/sys" || mp.rfind("/sys/", 0) == 0) << mp;
            EXPECT_NE(mp.rfind("/home", 0), 0u) << mp;
        }
    });
}

TEST_F(SysinfoAgent, HungFuseMountStallsNothing) {
    testutil::TempDir dir;
    std::string t = dir.path() + "/t", f = dir.path() + "/f";
    mkdir(t.c_str(), 0755);
    mkdir(f.c_str(), 0755);
    HelperSetup s;
    s.tmpfs = {t};
    s.fuseDir = f;
    std::string why;
    if (!start(s, why)) {
        if (!why.empty())
            GTEST_SKIP() << why;
        FAIL() << testutil::readFile(home.file("qeld.out"));
    }
    inNamespace([&](qelSession_t *sess) {
        // Answered: the FUSE row has the server's figures, and the
        // dependency on its server appears.
        auto deadline = std::chrono::steady_clock::now() + 20s;
        bool dep = false;
        std::map<std::string, std::map<std::string, std::string>> rows;
        while (std::chrono::steady_clock::now() < deadline) {
            rows = filesysRows(sess);
            Answer d = selectRows(sess, "dependencyTable", "*", 0, {"dependPeer", "dependArgs"});
            for (const Var &v : d.vars)
                dep = dep || v.value == "hanghost";
            if (dep && rows[f]["totalBlocks"] == "1000")
                break;
            std::this_thread::sleep_for(100ms);
        }
        EXPECT_TRUE(dep) << "no dependency on hanghost";
        EXPECT_EQ(rows[f]["filesystem"], "hanghost:/export");
        EXPECT_EQ(rows[f]["totalBlocks"], "1000");

        // The server stops answering.
        ASSERT_EQ(order('h'), "H");
        int peakProbers = 0;
        auto until = std::chrono::steady_clock::now() + 8s;
        int writes = 0;
        int peak = 0;
        while (std::chrono::steady_clock::now() < until) {
            auto t0 = std::chrono::steady_clock::now();
            rows = filesysRows(sess);
            // A request never waits for a statvfs (a bounded one waits 3 s).
            EXPECT_LT(std::chrono::steady_clock::now() - t0, 2s);
            if (writes < 2 &&
                std::stoll(rows[t]["usedBlocks"].empty() ? "0" : rows[t]["usedBlocks"]) == 256LL * writes) {
                ASSERT_EQ(order('w'), "W");
                ++writes;
            }
            peak = std::max(peak, agenttest::usageOf(agentPid).threads);
            // Other threads come and go (name look-ups, sessions): the
            // probers are told by their name.
            peakProbers = std::max(peakProbers, agenttest::threadsNamed(agentPid, "kq-statvfs"));
            std::this_thread::sleep_for(200ms);
        }
        // The tmpfs row kept following writes while the FUSE mount hung.
        EXPECT_EQ(writes, 2);
        EXPECT_EQ(rows[t]["usedBlocks"], "512");
        // The stuck mount counts as failed.
        EXPECT_EQ(rows[f]["totalBlocks"], "0");
        // One blocked prober at most, not one per pass (8 s: many passes),
        // beside the one of the pass under way, if any.
        EXPECT_GE(peakProbers, 1) << "no prober waits in the hung mount";
        EXPECT_LE(peakProbers, 2) << peak << " threads at most";

        // Closing the device returns the blocked call: its thread goes.
        ASSERT_EQ(order('c'), "C");
        deadline = std::chrono::steady_clock::now() + 10s;
        int now = peak;
        while (std::chrono::steady_clock::now() < deadline && (now = agenttest::usageOf(agentPid).threads) >= peak)
            std::this_thread::sleep_for(100ms);
        EXPECT_LT(now, peak);
    });
}

} // namespace
