// link: kestrova_frame kestrova_core
// The process and endpoint tables: the /proc parsers on text, the snapshot
// of a fixture tree (exact rows of both tables, the handlers' selection,
// limits and errors), reads through one directory descriptor, and the live
// host (our own sockets found, netlink and /proc agreeing).
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <set>
#include <cstring>
#include <thread>
#include <filesystem>
#include <string>
#include <vector>

#include "depend_tcp.h"
#include "hostfs.h"
#include "kestrova.h"
#include "kestrova_test_host.h"
#include "mib2netlink.h"
#include "mib2parse.h"
#include "proc_parse.h"
#include "process_table.h"
#include "qelselect.h"
#include "select_testutil.h"

namespace fs = std::filesystem;

namespace {

const std::string kFixture = std::string(KESTROVA_SOURCE_DIR) + "/tests/fixtures/proc-snapshot";

// ---- parsers ----

TEST(ProcParse, StatNameWithBlanksAndParens) {
    procparse::Stat st;
    ASSERT_TRUE(procparse::parseStat(
        "42 (a) b (c)) R 7 42 42 0 -1 4194304 1 0 0 0 250 150 0 0 20 0 9 0 777 8192 3 18446744073709551615 1 1\n", st));
    EXPECT_EQ(st.comm, "a) b (c)");
    EXPECT_EQ(st.state, 'R');
    EXPECT_EQ(st.ppid, 7);
    EXPECT_EQ(st.utime, 250u);
    EXPECT_EQ(st.stime, 150u);
    EXPECT_EQ(st.numThreads, 9);
    EXPECT_EQ(st.starttime, 777u);
    EXPECT_EQ(st.vsize, 8192u);
    EXPECT_EQ(st.rss, 3);
    EXPECT_EQ(st.flags, 4194304u);
    EXPECT_EQ(st.flags & procparse::kStatFlagKernelThread, 0u);
    // An empty name, and lines that are not stat lines.
    ASSERT_TRUE(procparse::parseStat("5 () S 1 1 1 0 -1 0 0 0 0 0 1 2 0 0 20 0 1 0 3 4 5\n", st));
    EXPECT_EQ(st.comm, "");
    EXPECT_FALSE(procparse::parseStat("", st));
    EXPECT_FALSE(procparse::parseStat("5 (x S 1 2", st));
    EXPECT_FALSE(procparse::parseStat("5 (x) S 1 2 3\n", st));
    EXPECT_FALSE(procparse::parseStat("5 (x) S one 1 1 0 -1 0 0 0 0 0 1 2 0 0 20 0 1 0 3 4 5\n", st));
}

TEST(ProcParse, EveryStateLetter) {
    EXPECT_EQ(procparse::stateText('R'), "running");
    EXPECT_EQ(procparse::stateText('S'), "sleeping");
    EXPECT_EQ(procparse::stateText('I'), "sleeping");
    EXPECT_EQ(procparse::stateText('Z'), "zombie");
    EXPECT_EQ(procparse::stateText('T'), "traced");
    EXPECT_EQ(procparse::stateText('t'), "traced");
    EXPECT_EQ(procparse::stateText('D'), "unknown D");
    EXPECT_EQ(procparse::stateText('X'), "unknown X");
    EXPECT_EQ(procparse::stateText('O'), "unknown O");
}

TEST(ProcParse, Cmdline) {
    using namespace std::string_literals;
    EXPECT_EQ(procparse::parseCmdline(""), "");
    EXPECT_EQ(procparse::parseCmdline("a\0b c\0\0d\0"s), "a b c  d");
    EXPECT_EQ(procparse::parseCmdline("no-final-nul"), "no-final-nul");
    // Markup, control and invalid UTF-8 bytes are kept as they are: the
    // reply's encoder escapes them.
    std::string odd = "<x>&amp;\x01\x1b\xff\xc3("s + '\0';
    EXPECT_EQ(procparse::parseCmdline(odd), "<x>&amp;\x01\x1b\xff\xc3(");
    // 1 MiB: cut to the 4095 characters of the field.
    std::string big(1u << 20, 'a');
    for (size_t i = 100; i < big.size(); i += 100)
        big[i] = '\0';
    std::string c = procparse::parseCmdline(big);
    EXPECT_EQ(c.size(), 4095u);
    EXPECT_EQ(c.find('\0'), std::string::npos);
    EXPECT_EQ(c[100], ' ');
}

TEST(ProcParse, StatusIoBootTimeAndLinks) {
    unsigned uid = 9, gid = 9;
    EXPECT_TRUE(procparse::parseStatus("Name:\tx\nUid:\t1000\t0\t0\t0\nGid:\t100\t5\t5\t5\n", uid, gid));
    EXPECT_EQ(uid, 1000u);
    EXPECT_EQ(gid, 100u);
    EXPECT_FALSE(procparse::parseStatus("Name:\tx\nUid:\t1000\t0\t0\t0\n", uid, gid));
    procparse::Io io;
    EXPECT_TRUE(procparse::parseIo("rchar: 5\nwchar: 6\nsyscr: 7\nsyscw: 8\nread_bytes: 99\n", io));
    EXPECT_EQ(io.rchar, 5u);
    EXPECT_EQ(io.wchar, 6u);
    EXPECT_EQ(io.syscr, 7u);
    EXPECT_EQ(io.syscw, 8u);
    procparse::Io none;
    EXPECT_FALSE(procparse::parseIo("", none));
    EXPECT_EQ(procparse::parseBootTime("cpu 1 2\nbtime 1700000000\nprocesses 4\n"), 1700000000);
    EXPECT_EQ(procparse::parseBootTime("cpu 1 2\n"), -1);
    uint64_t inode = 0;
    EXPECT_TRUE(procparse::socketInode("socket:[12345]", inode));
    EXPECT_EQ(inode, 12345u);
    EXPECT_FALSE(procparse::socketInode("pipe:[12345]", inode));
    EXPECT_FALSE(procparse::socketInode("socket:[]", inode));
    EXPECT_FALSE(procparse::socketInode("socket:[12x]", inode));
    EXPECT_TRUE(procparse::allDigits("51234"));
    EXPECT_FALSE(procparse::allDigits("self"));
    EXPECT_FALSE(procparse::allDigits(""));
}

// The agent namespace's Unix sockets: the inode column of each line, with
// or without a path; the heading and cut lines give none.
TEST(ProcParse, UnixSocketInodes) {
    std::vector<uint64_t> inodes;
    procparse::parseUnixInodes(
        "Num       RefCount Protocol Flags    Type St Inode Path\n"
        "0000000000000000: 00000002 00000000 00010000 0001 01 23011 /run/a b.sock\n"
        "0000000000000000: 00000003 00000000 00000000 0001 03 7\n"
        "0000000000000000: 00000003 00000000 00000000 0001\n"
        "0000000000000000: 00000003 00000000 00000000 0001 03 12x @abstract\n"
        "\n"
        "0000000000000000: 00000002 00000000 00000000 0002 01 18446744073709551615",
        inodes);
    EXPECT_EQ(inodes, (std::vector<uint64_t>{23011, 7, 18446744073709551615ull}));
}

// ---- the fixture snapshot ----

using selecttest::Columns;
using selecttest::Reply;

std::string ctimeText(time_t t) {
    char buf[64];
    ctime_r(&t, buf);
    buf[24] = '\0';
    return buf;
}

class ProcSnapshot : public testing::Test {
protected:
    void SetUp() override {
        testhost::reset();
        appGroup = 1;
        hostfs::setHostRoot(kFixture);
        ASSERT_EQ(reload_process_table(), 1);
    }
    void TearDown() override { hostfs::setHostRoot("/"); }

    qelErrorStatus_t procs(const char *key, Columns &c, Reply &r) {
        std::string k = key;
        return var_procTable(k.data(), c.list(), &r.pdu);
    }
    qelErrorStatus_t endpts(const char *key, Columns &c, Reply &r) {
        std::string k = key;
        return var_endptTable(k.data(), c.list(), &r.pdu);
    }
};

TEST_F(ProcSnapshot, ProcessRowsExactly) {
    Columns cols({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14});
    Reply r;
    ASSERT_EQ(procs("*", cols, r), noError);
    EXPECT_EQ(r.pdu.errorStatus, noError);
    std::vector<std::string> v = r.values();
    ASSERT_EQ(v.size(), 8u * 14);
    auto row = [&](size_t i) { return std::vector<std::string>(v.begin() + i * 14, v.begin() + i * 14 + 14); };
    // Ascending pids; the unreadable and vanished processes are still rows.
    using R = std::vector<std::string>;
    EXPECT_EQ(row(0), (R{"1", "/sbin/init splash", "0", "sleeping", "2000", "10000", "0", "1", "5",
                         ctimeText(1700000000), "10", "20", "1000", "2000"}));
    // A kernel thread and a zombie are published under their names.
    EXPECT_EQ(row(1)[1], "kthreadd");
    EXPECT_EQ(row(1)[3], "sleeping");
    EXPECT_EQ(row(2)[0], "77");
    EXPECT_EQ(row(2)[1], "defunct");
    EXPECT_EQ(row(2)[3], "zombie");
    EXPECT_EQ(row(3)[0], "300");
    // Gone before its files were read: the pid, zeros and empty texts.
    EXPECT_EQ(row(4), (R{"400", "", "0", "", "0", "0", "0", "0", "0", "", "0", "0", "0", "0"}));
    EXPECT_EQ(row(5)[0], "500");
    EXPECT_EQ(row(6), (R{"1234", "/usr/bin/my-prog --port 8080", "100", "sleeping", "10240", "200000", "3", "3", "15",
                         ctimeText(1700000123), "10", "20", "1000", "2000"}));
    EXPECT_EQ(row(7)[0], "51234");
    EXPECT_EQ(row(7)[1], "/usr/bin/client <b>&amp;");
    EXPECT_EQ(row(7)[3], "running");
    EXPECT_EQ(row(7)[6], "6");
    // Columns 7-9 answer as integers, not as registered.
    std::vector<qelSyntax_t> s = r.syntaxes();
    EXPECT_EQ(s[4], gauge);
    EXPECT_EQ(s[6], integer);
    EXPECT_EQ(s[7], integer);
    EXPECT_EQ(s[8], integer);
    EXPECT_EQ(s[10], counter);
    EXPECT_EQ(r.keys()[6 * 14], "1234:/usr/bin/my-prog --port 8080");

    EXPECT_EQ(getNumberProcesses(), 8);
    EXPECT_EQ(getNumberThreads(), 1 + 1 + 1 + 1 + 0 + 1 + 3 + 2);
    int handles = 3 + 6 + 1 + 1; // 1234, 51234, 300, 500
    EXPECT_EQ(getNumberHandles(), handles);
    EXPECT_EQ(isProcessRunning("my prog"), 1);
    EXPECT_EQ(isProcessRunning("kthread"), 1);
    EXPECT_EQ(isProcessRunning("ntp"), 0);
    EXPECT_EQ(isProcessRunning("/usr/bin"), 0); // names only, not command lines
    EXPECT_EQ(isProcessRunning(nullptr), 0);
    char exe[8] = "x";
    EXPECT_EQ(findProcessExecutable("client", exe, sizeof exe), 0);
    EXPECT_STREQ(exe, "x");
}

TEST_F(ProcSnapshot, EndpointRowsExactly) {
    Columns cols({1, 2, 3, 4, 5, 6, 7, 8});
    Reply r;
    ASSERT_EQ(endpts("", cols, r), noError);
    std::vector<std::string> v = r.values();
    using R = std::vector<std::string>;
    const std::string zero6 = "0000:0000:0000:0000:0000:0000:0000:0000";
    const std::string mapped = "0000:0000:0000:0000:0000:ffff:7f00:0001";
    std::vector<R> want = {
        // Another holder of the listener (the denied directory is readable to root).
        {"300", "denied", "6", "2", "0.0.0.0", "8080", "0.0.0.0", "0"},
        // In another namespace: proto and state from that namespace's table.
        {"500", "contained", "6", "5", "10.0.0.1", "22", "10.0.0.2", "50000"},
        {"1234", "my prog) (x", "6", "2", "0.0.0.0", "8080", "0.0.0.0", "0"},
        {"1234", "my prog) (x", "6", "5", "127.0.0.1", "8080", "127.0.0.1", "40000"},
        {"51234", "client", "6", "5", "127.0.0.1", "40000", "127.0.0.1", "8080"},
        {"51234", "client", "6", "2", mapped, "9090", zero6, "0"},
        // Connected UDP is UDP, not a TCP socket in state 0.
        {"51234", "client", "17", "3", "192.0.2.10", "45000", "192.0.2.53", "53"},
    };
    if (geteuid() != 0 && access((kFixture + "/proc/300/fd").c_str(), R_OK) != 0)
        want.erase(want.begin());
    std::vector<R> got;
    for (size_t i = 0; i + 8 <= v.size(); i += 8)
        got.emplace_back(v.begin() + i, v.begin() + i + 8);
    EXPECT_EQ(got, want);
    std::vector<qelSyntax_t> s = r.syntaxes();
    ASSERT_EQ(s.size(), want.size() * 8);
    EXPECT_EQ(s[s.size() - 8 * 2 + 4], ipV6Address);
    EXPECT_EQ(s[s.size() - 8 + 4], ipV4Address);
    EXPECT_EQ(r.keys().back(), "51234:17:3:192.0.2.10:45000:+:192.0.2.53:53");
}

TEST_F(ProcSnapshot, KeyContainsSelection) {
    Columns cols({1});
    {
        Reply r;
        ASSERT_EQ(procs("1234", cols, r), noError);
        EXPECT_EQ(r.values(), (std::vector<std::string>{"1234", "51234"}));
    }
    {
        Reply r;
        ASSERT_EQ(procs("--port 8080", cols, r), noError);
        EXPECT_EQ(r.values(), (std::vector<std::string>{"1234"}));
    }
    {
        Reply r; // case matters
        ASSERT_EQ(procs("KTHREADD", cols, r), noError);
        EXPECT_TRUE(r.values().empty());
    }
    {
        Reply r;
        ASSERT_EQ(endpts(":17:", cols, r), noError);
        EXPECT_EQ(r.values(), (std::vector<std::string>{"51234"}));
    }
}

TEST_F(ProcSnapshot, LimitsSwitchAndBadColumns) {
    Columns cols({1, 4});
    {
        // Three rows given; every selected row counted, so the count (8)
        // is not the limit.
        Reply r(3);
        ASSERT_EQ(procs("*", cols, r), noError);
        EXPECT_EQ(r.pdu.errorStatus, noError);
        EXPECT_EQ(r.pdu.numberVariables, 6u);
        EXPECT_EQ(r.values(), (std::vector<std::string>{"1", "sleeping", "2", "sleeping", "77", "zombie"}));
    }
    {
        Reply r(8); // exactly the number of rows: more data is said
        ASSERT_EQ(procs("*", cols, r), noError);
        EXPECT_EQ(r.pdu.errorStatus, noErrorMoreData);
        Reply r2(9);
        ASSERT_EQ(procs("*", cols, r2), noError);
        EXPECT_EQ(r2.pdu.errorStatus, noError);
    }
    {
        Columns bad({1, 15});
        Reply r;
        testing::internal::CaptureStderr();
        EXPECT_EQ(procs("*", bad, r), noSuchName);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "var_processTable: invalid column\n");
        Columns bad2({9});
        Reply r2;
        testing::internal::CaptureStderr();
        EXPECT_EQ(endpts("*", bad2, r2), noSuchName);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "var_endptTable: invalid column\n");
    }
    appGroup = 0;
    Reply r;
    EXPECT_EQ(procs("*", cols, r), noSuchName);
    EXPECT_EQ(endpts("*", cols, r), noSuchName);
    EXPECT_EQ(r.pdu.numberVariables, 0u);
    appGroup = 1;
    EXPECT_EQ(var_procTable(nullptr, cols.list(), &r.pdu), genError);
}

// A process directory replaced between two reads (a pid reused): every
// file comes from the directory first opened.
TEST(ProcDirectory, ReplacedDirectoryNeverMixes) {
    fs::path tmp = fs::temp_directory_path() / ("proctable-" + std::to_string(getpid()));
    fs::remove_all(tmp);
    fs::create_directories(tmp / "proc" / "600");
    auto write = [](const fs::path &p, const std::string &text) {
        FILE *f = fopen(p.c_str(), "w");
        ASSERT_NE(f, nullptr);
        fputs(text.c_str(), f);
        fclose(f);
    };
    write(tmp / "proc/600/stat", "600 (old) S 1");
    write(tmp / "proc/600/cmdline", std::string("old-cmd"));
    hostfs::setHostRoot(tmp.string());
    hostfs::HostDir proc, pd;
    ASSERT_TRUE(proc.open("/proc"));
    ASSERT_TRUE(proc.openSub("600", pd));
    std::string text;
    ASSERT_TRUE(pd.read("stat", text));
    EXPECT_EQ(text, "600 (old) S 1");
    fs::rename(tmp / "proc/600", tmp / "proc/600.gone");
    fs::create_directories(tmp / "proc/600");
    write(tmp / "proc/600/cmdline", "new-cmd");
    ASSERT_TRUE(pd.read("cmdline", text));
    EXPECT_EQ(text, "old-cmd");
    // The directory removed altogether: reads fail, nothing else answers.
    fs::remove_all(tmp / "proc/600.gone");
    EXPECT_FALSE(pd.read("cmdline", text));
    EXPECT_EQ(pd.err(), ENOENT);
    EXPECT_TRUE(text.empty());
    std::vector<std::string> names;
    ASSERT_TRUE(proc.list(names));
    EXPECT_EQ(names, (std::vector<std::string>{"600"}));
    EXPECT_FALSE(proc.readLink("600", "none", text));
    hostfs::setHostRoot("/");
    fs::remove_all(tmp);
}

// The live fd directory listed through its own descriptor, whole when
// it takes several reads, the short-read end included, and again from the
// start on a second listing; as readdir lists it.
TEST(ProcDirectory, LiveDescriptorListingIsWholeAndRepeatable) {
    hostfs::setHostRoot("/");
    std::vector<int> extra;
    for (int i = 0; i < 900; ++i) // about 30 KB of entries: four reads
        extra.push_back(dup(0));
    auto byReaddir = [] {
        std::vector<std::string> names;
        DIR *d = opendir("/proc/self/fd");
        if (!d)
            return names;
        while (dirent *e = readdir(d))
            if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
                names.emplace_back(e->d_name);
        closedir(d);
        return names;
    };
    hostfs::HostDir self, fdDir;
    ASSERT_TRUE(self.open("/proc/self"));
    ASSERT_TRUE(self.openSub("fd", fdDir));
    std::vector<std::string> first, second, plain;
    ASSERT_TRUE(fdDir.list(first, true));
    ASSERT_TRUE(fdDir.list(second, true));
    ASSERT_TRUE(fdDir.list(plain, false));
    // readdir's listing also holds its own descriptor, and only that.
    std::vector<std::string> want = byReaddir();
    for (int fd : extra)
        close(fd);
    EXPECT_GT(first.size(), 900u);
    EXPECT_EQ(first, second);
    EXPECT_EQ(first, plain);
    std::set<std::string> inReaddir(want.begin(), want.end());
    for (const std::string &n : first)
        EXPECT_TRUE(inReaddir.count(n)) << n;
    EXPECT_EQ(want.size(), first.size() + 1);
}

// ---- the live host ----

struct Fd {
    int fd;
    explicit Fd(int f) : fd(f) {}
    ~Fd() {
        if (fd >= 0)
            close(fd);
    }
};

TEST(ProcLive, OwnSocketsFoundAndSourcesAgree) {
    hostfs::setHostRoot("/");
    appGroup = 1;
    Fd lst(socket(AF_INET, SOCK_STREAM, 0));
    ASSERT_GE(lst.fd, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(lst.fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    ASSERT_EQ(listen(lst.fd, 4), 0);
    socklen_t len = sizeof a;
    ASSERT_EQ(getsockname(lst.fd, reinterpret_cast<sockaddr *>(&a), &len), 0);
    unsigned port = ntohs(a.sin_port);
    Fd cli(socket(AF_INET, SOCK_STREAM, 0));
    ASSERT_EQ(connect(cli.fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    Fd udp(socket(AF_INET, SOCK_DGRAM, 0));
    ASSERT_EQ(connect(udp.fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    sockaddr_in u{};
    len = sizeof u;
    ASSERT_EQ(getsockname(udp.fd, reinterpret_cast<sockaddr *>(&u), &len), 0);

    ASSERT_EQ(reload_process_table(), 1);
    Columns cols({1, 3, 4, 6, 8});
    Reply r;
    std::string key = std::to_string(getpid()) + ":";
    ASSERT_EQ(var_endptTable(key.data(), cols.list(), &r.pdu), noError);
    std::vector<std::string> v = r.values();
    std::string me = std::to_string(getpid()), p = std::to_string(port);
    auto has = [&](const std::vector<std::string> &row) {
        for (size_t i = 0; i + 5 <= v.size(); i += 5)
            if (std::vector<std::string>(v.begin() + i, v.begin() + i + 5) == row)
                return true;
        return false;
    };
    EXPECT_TRUE(has({me, "6", "2", p, "0"})) << "listener";
    bool established = false;
    for (size_t i = 0; i + 5 <= v.size(); i += 5)
        established |= v[i + 1] == "6" && v[i + 2] == "5" && v[i + 4] == p;
    EXPECT_TRUE(established) << "client end";
    EXPECT_TRUE(has({me, "17", "3", std::to_string(ntohs(u.sin_port)), p})) << "connected UDP";
    EXPECT_GE(getNumberHandles(), 3);
    EXPECT_EQ(isProcessRunning("test_kestrova_p"), 1);

    // netlink and the /proc files describe the same sockets.
    for (int proto : {IPPROTO_TCP, IPPROTO_UDP}) {
        std::vector<mib2::SockRecord> nl, files;
        if (!mib2::netlinkSockets(AF_INET, proto, nl))
            GTEST_SKIP() << "sock_diag not available";
        std::string text;
        ASSERT_TRUE(hostfs::readHostFile(proto == IPPROTO_TCP ? "/proc/net/tcp" : "/proc/net/udp", text));
        mib2::parseProcSockets(text, 4, files);
        auto find = [](const std::vector<mib2::SockRecord> &t, uint64_t inode) -> const mib2::SockRecord * {
            for (const auto &s : t)
                if (s.inode == inode)
                    return &s;
            return nullptr;
        };
        int compared = 0;
        for (const auto &s : files) {
            const mib2::SockRecord *n = find(nl, s.inode);
            if (!n || s.inode == 0 || s.localPort == 0)
                continue; // opened or closed in between
            EXPECT_EQ(n->localPort, s.localPort);
            EXPECT_EQ(n->remPort, s.remPort);
            EXPECT_EQ(memcmp(n->localAddr, s.localAddr, 4), 0);
            compared++;
        }
        EXPECT_GE(compared, proto == IPPROTO_TCP ? 3 : 1);
    }
}

} // namespace

namespace {

// A descriptor directory that cannot be listed: silently nothing for a
// process gone or denied, the step's message for anything else.
TEST(ProcDirectory, UnreadableDescriptorDirectories) {
    fs::path tmp = fs::temp_directory_path() / ("proctable-fd-" + std::to_string(getpid()));
    fs::remove_all(tmp);
    for (const char *pid : {"700", "701"}) {
        fs::create_directories(tmp / "proc" / pid);
        FILE *f = fopen((tmp / "proc" / pid / "stat").c_str(), "w");
        ASSERT_NE(f, nullptr);
        fprintf(f, "%s (p%s) S 1 1 1 0 -1 0 0 0 0 0 1 2 0 0 20 0 1 0 3 4096 5\n", pid, pid);
        fclose(f);
    }
    FILE *f = fopen((tmp / "proc/700/fd").c_str(), "w"); // not a directory
    ASSERT_NE(f, nullptr);
    fclose(f);
    hostfs::setHostRoot(tmp.string());
    testing::internal::CaptureStderr();
    EXPECT_EQ(reload_process_table(), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "find_process_sockets: opendir of /proc/700/fd failed, 20\n");
    EXPECT_EQ(getNumberProcesses(), 2);
    EXPECT_EQ(getNumberHandles(), 0);
    EXPECT_EQ(isProcessRunning("p701"), 1);
    // No /proc at all.
    hostfs::setHostRoot((tmp / "nothing").string());
    testing::internal::CaptureStderr();
    EXPECT_EQ(reload_process_table(), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "opendir of /proc failed: No such file or directory\n");
    EXPECT_EQ(getNumberProcesses(), 2) << "the last tables stay";
    hostfs::setHostRoot("/");
    fs::remove_all(tmp);
}

// Short-lived processes come and go while the tables are rebuilt back to
// back and read from another thread: every snapshot's totals are the sums
// of its rows.
TEST(ProcLive, ChurnDuringReloads) {
    hostfs::setHostRoot("/");
    appGroup = 1;
    std::atomic<bool> stop{false};
    std::atomic<int> spawned{0};
    std::thread spawner([&] {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(8);
        while (spawned < 2000 && std::chrono::steady_clock::now() < end) {
            pid_t p = fork();
            if (p == 0) {
                usleep(2000);
                _exit(0);
            }
            if (p < 0)
                break;
            spawned++;
            if (spawned % 16 == 0)
                while (waitpid(-1, nullptr, WNOHANG) > 0) {
                }
        }
        while (waitpid(-1, nullptr, 0) > 0) {
        }
        stop = true;
    });
    std::thread reader([&] {
        while (!stop) {
            Columns cols({1});
            Reply r;
            std::string k = "*";
            var_procTable(k.data(), cols.list(), &r.pdu);
            isProcessRunning("no-such-process-name");
        }
    });
    int reloads = 0;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!stop && std::chrono::steady_clock::now() < end) {
        ASSERT_EQ(reload_process_table(), 1);
        reloads++;
        // Only this thread reloads: counters and rows are one snapshot.
        Columns cols({7, 8});
        Reply r;
        std::string k = "*";
        ASSERT_EQ(var_procTable(k.data(), cols.list(), &r.pdu), noError);
        std::vector<std::string> v = r.values();
        long handles = 0, threads = 0;
        for (size_t i = 0; i + 2 <= v.size(); i += 2) {
            handles += std::stol(v[i]);
            threads += std::stol(v[i + 1]);
        }
        EXPECT_EQ(static_cast<int>(v.size() / 2), getNumberProcesses());
        EXPECT_EQ(handles, getNumberHandles());
        EXPECT_EQ(threads, getNumberThreads());
    }
    stop = true;
    spawner.join();
    reader.join();
    EXPECT_GT(reloads, 0);
    EXPECT_GT(spawned.load(), 100);
}

} // namespace

namespace {

// A loopback listener; its port in port.
int loopbackListener(unsigned &port) {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (s < 0 || bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(s, 4) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr *>(&a), &len) != 0)
        return -1;
    port = ntohs(a.sin_port);
    return s;
}

// Our own endpoint rows (pid, proto, state, local port), sorted, and our
// handle count last.
std::vector<std::string> ownRows() {
    std::string me = std::to_string(getpid());
    std::string key = me + ":";
    std::vector<std::string> rows;
    Columns ecols({1, 3, 4, 6});
    Reply er;
    EXPECT_EQ(var_endptTable(key.data(), ecols.list(), &er.pdu), noError);
    std::vector<std::string> v = er.values();
    for (size_t i = 0; i + 4 <= v.size(); i += 4)
        if (v[i] == me)
            rows.push_back(v[i + 1] + "/" + v[i + 2] + "/" + v[i + 3]);
    std::sort(rows.begin(), rows.end());
    Columns pcols({1, 7});
    Reply pr;
    EXPECT_EQ(var_procTable(key.data(), pcols.list(), &pr.pdu), noError);
    std::vector<std::string> p = pr.values();
    for (size_t i = 0; i + 2 <= p.size(); i += 2)
        if (p[i] == me)
            rows.push_back("handles " + p[i + 1]);
    return rows;
}

bool hasListener(const std::vector<std::string> &rows, unsigned port) {
    return std::find(rows.begin(), rows.end(), "6/2/" + std::to_string(port)) != rows.end();
}

} // namespace

// Each reload lists the descriptors anew: a socket replaced under the same
// number, one moved to another number at the same count, and one more
// opened are each seen by the next reload, and our handle count follows.
TEST(ProcLive, ReloadsFollowDescriptorChanges) {
    hostfs::setHostRoot("/");
    appGroup = 1;
    unsigned p1 = 0, p2 = 0, p3 = 0;
    Fd a(loopbackListener(p1)), b(loopbackListener(p2));
    ASSERT_GE(a.fd, 0);
    ASSERT_GE(b.fd, 0);
    auto reload = [] {
        EXPECT_EQ(reload_process_table(), 1);
        return ownRows();
    };
    std::vector<std::string> base = reload();
    EXPECT_TRUE(hasListener(base, p1));
    EXPECT_TRUE(hasListener(base, p2));
    EXPECT_EQ(reload(), base);

    // Another socket under b's number.
    int c = loopbackListener(p3);
    ASSERT_GE(c, 0);
    ASSERT_EQ(dup3(c, b.fd, O_CLOEXEC), b.fd);
    close(c);
    std::vector<std::string> replaced = reload();
    EXPECT_TRUE(hasListener(replaced, p3));
    EXPECT_FALSE(hasListener(replaced, p2));
    EXPECT_EQ(replaced.back(), base.back()) << "the same handle count";

    // The same socket under a number of its own, at the same count.
    int high = fcntl(b.fd, F_DUPFD_CLOEXEC, 700);
    ASSERT_GE(high, 700);
    close(b.fd);
    b.fd = high;
    EXPECT_EQ(reload(), replaced);

    // One more.
    unsigned p4 = 0;
    Fd d(loopbackListener(p4));
    ASSERT_GE(d.fd, 0);
    std::vector<std::string> added = reload();
    EXPECT_TRUE(hasListener(added, p4));
    EXPECT_TRUE(hasListener(added, p3));
    EXPECT_NE(added.back(), replaced.back()) << "one handle more";
}

namespace {

size_t openDescriptors() {
    size_t n = 0;
    for ([[maybe_unused]] const auto &e : fs::directory_iterator("/proc/self/fd"))
        n++;
    return n;
}

} // namespace

// One read hands over a kernel-sized file whole, fails on a missing one,
// stops at the limit and leaves no descriptor open either way.
TEST(ProcDirectory, ReadOnceReadsTheFileAndClosesIt) {
    fs::path tmp = fs::temp_directory_path() / ("proctable-once-" + std::to_string(getpid()));
    fs::remove_all(tmp);
    fs::create_directories(tmp);
    FILE *f = fopen((tmp / "a").c_str(), "w");
    ASSERT_NE(f, nullptr);
    fputs("text of a\n", f);
    fclose(f);
    hostfs::setHostRoot("/");
    hostfs::HostDir dir;
    ASSERT_TRUE(dir.open(tmp.string()));
    size_t before = openDescriptors();
    std::string out;
    EXPECT_TRUE(dir.readOnce("a", out, 100));
    EXPECT_EQ(out, "text of a\n");
    EXPECT_TRUE(dir.readOnce("a", out, 4));
    EXPECT_EQ(out, "text");
    out = "stale";
    EXPECT_FALSE(dir.readOnce("missing", out, 100));
    EXPECT_EQ(dir.err(), ENOENT);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(openDescriptors(), before);
    dir.close();
    EXPECT_FALSE(dir.isOpen());
    EXPECT_EQ(openDescriptors(), before - 1);
    fs::remove_all(tmp);
}

// ---- row texts made once per row ----

// Every endpoint row's key names the row's own columns, in the key's order.
TEST_F(ProcSnapshot, EveryEndpointKeyNamesItsColumns) {
    Columns cols({1, 3, 4, 5, 6, 7, 8});
    Reply r;
    ASSERT_EQ(endpts("*", cols, r), noError);
    std::vector<std::string> v = r.values(), k = r.keys();
    ASSERT_GE(v.size(), 6u * 7);
    ASSERT_EQ(v.size() % 7, 0u);
    for (size_t i = 0; i < v.size(); i += 7) {
        std::string want = v[i] + ":" + v[i + 1] + ":" + v[i + 2] + ":" + v[i + 3] + ":" + v[i + 4] + ":+:" + v[i + 5] +
                           ":" + v[i + 6];
        for (size_t c = 0; c < 7; c++)
            EXPECT_EQ(k[i + c], want) << "row " << i / 7 << " column " << c;
    }
}

// Keys of rows kept with binary addresses, against the agent's own address
// texts put together with a format string, over random rows and the edges.
TEST(ProcRowText, EndpointKeysAsFormatted) {
    auto reference = [](unsigned pid, unsigned proto, unsigned state, unsigned ipv, const unsigned char *l,
                        unsigned lport, const unsigned char *rm, unsigned rport) {
        char lt[64], rt[64], buf[256];
        if (ipv == 6) {
            convertIPv6Bytes(l, lt, sizeof lt);
            convertIPv6Bytes(rm, rt, sizeof rt);
        } else {
            snprintf(lt, sizeof lt, "%u.%u.%u.%u", l[0], l[1], l[2], l[3]);
            snprintf(rt, sizeof rt, "%u.%u.%u.%u", rm[0], rm[1], rm[2], rm[3]);
        }
        snprintf(buf, sizeof buf, "%u:%u:%u:%s:%u:+:%s:%u", pid, proto, state, lt, lport, rt, rport);
        return std::string(buf);
    };
    unsigned seed = 12345;
    auto next = [&seed]() {
        seed = seed * 1103515245u + 12345u;
        return seed >> 8;
    };
    for (int i = 0; i < 3000; i++) {
        unsigned char l[16], rm[16];
        for (int b = 0; b < 16; b++) {
            // Bytes of every width: 0-9, 10-99, 100-255.
            unsigned pick = next() % 4;
            l[b] = static_cast<unsigned char>(pick == 0 ? next() % 10 : pick == 1 ? 10 + next() % 90 : next() % 256);
            rm[b] = static_cast<unsigned char>(next() % 256);
        }
        unsigned pid = i == 0 ? 4294967295u : i == 1 ? 0 : next() % 5000000;
        unsigned ipv = i % 3 == 0 ? 6 : 4;
        unsigned proto = i % 2 ? 6 : i % 5 ? 17 : 254, state = next() % 256;
        unsigned lport = i == 0 ? 65535 : next() % 65536, rport = i == 1 ? 0 : next() % 65536;
        EXPECT_EQ(endptRowKey(static_cast<pid_t>(pid), proto, state, ipv, l, static_cast<uint16_t>(lport), rm,
                              static_cast<uint16_t>(rport)),
                  reference(pid, proto, state, ipv, l, lport, rm, rport))
            << "row " << i;
        // A full record with its IPv6 texts made gives the same key.
        processEndpt_t e;
        e.pid = static_cast<pid_t>(pid);
        e.proto = proto;
        e.state = static_cast<uint8_t>(state);
        e.ipVersion = static_cast<uint8_t>(ipv);
        e.localPort = static_cast<uint16_t>(lport);
        e.remPort = static_cast<uint16_t>(rport);
        std::memcpy(&e.localIp, l, 4);
        std::memcpy(&e.remIp, rm, 4);
        convertIPv6Bytes(l, e.localIPv6, sizeof e.localIPv6);
        convertIPv6Bytes(rm, e.remIPv6, sizeof e.remIPv6);
        EXPECT_EQ(endptRowKey(e), reference(pid, proto, state, ipv, l, lport, rm, rport)) << "row " << i;
    }
}

// Values and keys of known length: the length given is what is stored, at
// the inline limit and beyond it, and a heap value is replaced cleanly.
TEST(ProcRowText, ValuesAndKeysOfKnownLength) {
    qelVariable_t v;
    std::memset(&v, 0, sizeof v);
    const std::string text = "127.0.0.1:8080:+:10.0.0.2";
    qelSetValue(&v, ipV4Address, std::string_view(text).substr(0, 9));
    EXPECT_EQ(std::string(v.valueStr), "127.0.0.1");
    EXPECT_EQ(v.valueStrLen, 9);
    EXPECT_EQ(v.varSyntax, ipV4Address);
    const std::string inlineMax(QEL_VALUESTR_LEN - 1, 'a');
    qelSetValue(&v, displayString, std::string_view(inlineMax));
    EXPECT_EQ(v.valueBuf, nullptr);
    EXPECT_EQ(std::string(v.valueStr, static_cast<size_t>(v.valueStrLen)), inlineMax);
    std::string big(QEL_VALUESTR_LEN + 100, 'b');
    big += "tail";
    qelSetValue(&v, displayString, std::string_view(big).substr(0, QEL_VALUESTR_LEN + 100));
    ASSERT_NE(v.valueBuf, nullptr);
    EXPECT_EQ(std::string(v.valueBuf), std::string(QEL_VALUESTR_LEN + 100, 'b'));
    EXPECT_EQ(v.valueStrLen, QEL_VALUESTR_LEN + 100);
    qelSetValue(&v, displayString, "short");
    EXPECT_EQ(v.valueBuf, nullptr);
    EXPECT_EQ(std::string(v.valueStr), "short");
    qelSetValue(&v, displayString, static_cast<const char *>(nullptr));
    EXPECT_EQ(v.valueStrLen, 0);
    EXPECT_EQ(std::string(v.valueStr), "");

    // A row key given by length (part of a longer text) is stored as given.
    Columns cols({1, 2});
    Reply r;
    QelSelect sel("who", "*", cols.list(), &r.pdu);
    ASSERT_TRUE(sel.addRow(std::string_view(text).substr(0, 14), [](unsigned column, qelVariable_t *x) {
        qelSetValueInt(x, integer, column);
        return true;
    }));
    EXPECT_EQ(sel.finish("who", 0), noError);
    EXPECT_EQ(r.keys(), (std::vector<std::string>{"127.0.0.1:8080", "127.0.0.1:8080"}));
    EXPECT_EQ(r.values(), (std::vector<std::string>{"1", "2"}));
}
