// link: kestrova_frame kestrova_core qelhost
// System metrics, the file-system and CPU tables: the parsers on text, the
// fixture host sysinfohost1 (64 present CPUs 0-3,8-67, CPU 9 offline; mounts
// of every kind) read through the handlers, the caches and ages on an
// injected clock, and the bounded statvfs with an injected blocking stat.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "hostfs.h"
#include "kestrova.h"
#include "qel/qel.h"
#include "qel/strutil.h"
#include "qelselect.h"
#include "select_testutil.h"
#include "solaris_kstat.h"
#include "sysinfo.h"
#include "sysinfo_parse.h"

namespace fs = std::filesystem;
using namespace sysinfoparse;

namespace {

const std::string kFixture = std::string(KESTROVA_SOURCE_DIR) + "/tests/fixtures/sysinfohost1";

std::atomic<time_t> fakeNow{1800000000};
time_t fakeClock() {
    return fakeNow.load();
}

// ---- parsers ----

TEST(SysinfoParse, Meminfo) {
    uint64_t t = 0, a = 0;
    ASSERT_TRUE(parseMeminfo("MemTotal: 1000 kB\nMemFree: 100 kB\nMemAvailable: 600 kB\n", t, a));
    EXPECT_EQ(t, 1000u);
    EXPECT_EQ(a, 600u); // the page cache counts as available
    ASSERT_TRUE(parseMeminfo("MemTotal: 1000 kB\nMemFree: 100 kB\n", t, a));
    EXPECT_EQ(a, 100u); // old kernels: MemFree
    EXPECT_FALSE(parseMeminfo("MemFree: 100 kB\n", t, a));
    EXPECT_FALSE(parseMeminfo("", t, a));
}

TEST(SysinfoParse, Swaps) {
    uint64_t t = 1, u = 1;
    ASSERT_TRUE(parseSwaps("Filename Type Size Used Priority\n/dev/a partition 100 10 -2\n/f file 50 5 -3\n", t, u));
    EXPECT_EQ(t, 150u);
    EXPECT_EQ(u, 15u);
    ASSERT_TRUE(parseSwaps("Filename\tType\tSize\tUsed\tPriority\n", t, u));
    EXPECT_EQ(t, 0u); // no swap: zeros
    EXPECT_EQ(u, 0u);
    EXPECT_FALSE(parseSwaps("garbage\n", t, u));
}

TEST(SysinfoParse, MountinfoEscapesAndOvermounts) {
    EXPECT_EQ(decodeOctal("a\\040b\\011c\\012d\\134e"), "a b\tc\nd\\e");
    EXPECT_EQ(decodeOctal("end\\04"), "end\\04"); // cut escape kept as text
    auto m = parseMountinfo(
        "36 22 0:45 / /mnt/my\\040disk rw shared:1 master:2 - nfs4 [fe80::1]:/x rw\n"
        "30 22 8:3 / /data rw - ext4 /dev/sda3 rw\n"
        "31 30 0:40 / /data rw - tmpfs tmpfs rw\n"
        "bad line\n"
        "40 22 0:1 / /no-dash rw shared:1\n");
    ASSERT_EQ(m.size(), 3u);
    EXPECT_EQ(m[0].mountpt, "/mnt/my disk");
    EXPECT_EQ(m[0].fstype, "nfs4");
    EXPECT_EQ(m[0].special, "[fe80::1]:/x");
    EXPECT_EQ(m[1].mountpt, "/data");
    EXPECT_EQ(m[2].fstype, "tmpfs");
}

TEST(SysinfoParse, SkipListAndRemoteServers) {
    for (const char *p : {"/proc", "/dev/shm", "/home", "/home/u", "/net/x", "/vol", "/sys", "/sys/fs/cgroup"})
        EXPECT_TRUE(skipMount(p, "ext4")) << p;
    EXPECT_TRUE(skipMount("/mnt/auto", "autofs"));
    EXPECT_TRUE(skipMount("/x", "swap"));
    EXPECT_FALSE(skipMount("/sysroot", "xfs"));
    EXPECT_FALSE(skipMount("/", "ext4"));

    std::string s;
    int v = -1;
    EXPECT_EQ(remoteServer("srv:/x", "nfs", s, v), 1);
    EXPECT_EQ(s, "srv");
    EXPECT_EQ(v, 0);
    EXPECT_EQ(remoteServer("[fe80::1]:/export", "nfs4", s, v), 1);
    EXPECT_EQ(s, "fe80::1");
    EXPECT_EQ(v, 6);
    EXPECT_EQ(remoteServer("user@host:/path", "fuse.sshfs", s, v), 1);
    EXPECT_EQ(s, "host");
    EXPECT_EQ(remoteServer("//bob@fs1/share", "cifs", s, v), 1);
    EXPECT_EQ(s, "fs1");
    EXPECT_EQ(remoteServer("//fs1/share", "ext4", s, v), 0); // not an SMB type
    EXPECT_EQ(remoteServer("/dev/sda1", "ext4", s, v), 0);
    EXPECT_EQ(remoteServer("tmpfs", "tmpfs", s, v), 0);
}

TEST(SysinfoParse, PercentsAndWordSize) {
    EXPECT_FLOAT_EQ(percentUsed(425, 575), 43.0f); // 42.5 -> 43
    char text[16];
    std::snprintf(text, sizeof text, "%3.2f", static_cast<double>(percentUsed(423, 577)));
    EXPECT_STREQ(text, "42.30");
    std::snprintf(text, sizeof text, "%3.2f", static_cast<double>(percentUsed(425, 575)));
    EXPECT_STREQ(text, "43.00");
    EXPECT_FLOAT_EQ(percentUsed(0, 0), 0.0f);
    for (const char *m : {"x86_64", "aarch64", "ppc64le", "s390x", "riscv64", "sparcv9"})
        EXPECT_EQ(wordSizeOf(m), 64) << m;
    EXPECT_EQ(wordSizeOf("armv7l"), 32);
    EXPECT_EQ(wordSizeOf("i686"), 32);
    EXPECT_EQ(kernelVersion("#1 SMP x\n", "6.1.0\n"), "#1 SMP x 6.1.0");
}

TEST(SysinfoParse, CpuListsAndProcStat) {
    std::vector<int> c;
    ASSERT_TRUE(kstatparse::parseCpuList("0-3,8-11\n", c));
    EXPECT_EQ(c, (std::vector<int>{0, 1, 2, 3, 8, 9, 10, 11}));
    ASSERT_TRUE(kstatparse::parseCpuList("5", c));
    EXPECT_EQ(c, std::vector<int>{5});
    EXPECT_FALSE(kstatparse::parseCpuList("3-1", c));
    EXPECT_FALSE(kstatparse::parseCpuList("0-x", c));
    EXPECT_FALSE(kstatparse::parseCpuList("0-99999999", c));
    std::vector<int> in;
    std::vector<kstatCpuStat_t> r;
    EXPECT_EQ(kstatparse::parseProcStatCpus("cpu 9 9 9 9 9\ncpu0 1 2 3 4 5 6 7 8\ncpu7 1 0 0 1 0\nintr 5\n", in, r), 2);
    EXPECT_EQ(in, (std::vector<int>{0, 7}));
    EXPECT_EQ(r[0].user, 3u);    // user + nice
    EXPECT_EQ(r[0].kernel, 24u); // system + irq + softirq + steal
    EXPECT_EQ(r[0].idle, 4u);
    EXPECT_EQ(r[0].wait, 5u);
}

TEST(SysinfoCpu, IntervalPercentages) {
    uint64_t a[4] = {10, 100, 10, 50}, b[4] = {20, 130, 20, 40};
    float p[4] = {1, 1, 1, 1};
    EXPECT_EQ(intervalTotalPercentages(a, b, p, 4), 1);
    EXPECT_FLOAT_EQ(p[0], 20.0f); // 10 of 50: wait stepped back and counts 0
    EXPECT_FLOAT_EQ(p[1], 60.0f);
    EXPECT_FLOAT_EQ(p[3], 0.0f);
    testing::internal::CaptureStderr();
    EXPECT_EQ(intervalTotalPercentages(a, a, p, 4), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "kestrova: intrvlTotPercentages: potential FPE\n");
    EXPECT_FLOAT_EQ(p[0], 0.0f);
    EXPECT_EQ(intervalTotalPercentages(a, b, p, 2), -1);
    EXPECT_EQ(intervalTotalPercentages(nullptr, b, p, 4), -1);
}

// ---- handlers on the fixture tree ----

using selecttest::Columns;
using selecttest::Reply;

qelErrorStatus_t selectTable(qelErrorStatus_t (*fn)(char *, qelVariable_t *, qelPdu_t *), const char *key,
                             Columns &cols, Reply &r) {
    std::string k = key;
    return fn(k.data(), cols.vars.data(), &r.pdu);
}

class SysinfoHost : public testing::Test {
protected:
    void SetUp() override {
        sysinfoSetClock(fakeClock);
        sysinfoSetStatFn(nullptr);
        sysinfoSetStatTimeoutMs(3000);
        sysinfoResetForTests();
        sysinfoGroup.store(1);
        hostfs::setHostRoot(root());
    }
    void TearDown() override {
        hostfs::setHostRoot("");
        sysinfoSetClock(nullptr);
        sysinfoSetStatFn(nullptr);
        kstat_finish();
    }
    virtual std::string root() { return kFixture; }

    std::pair<qelErrorStatus_t, std::string> metric(unsigned hint, qelSyntax_t *syntax = nullptr) {
        qelVar_t vp;
        memset(&vp, 0, sizeof vp);
        vp.hint = hint;
        qelVariable_t v;
        memset(&v, 0, sizeof v);
        qelErrorStatus_t st = var_sysinfometrics(&vp, &v);
        if (syntax)
            *syntax = v.varSyntax;
        return {st, std::string(v.valueStr, static_cast<size_t>(v.valueStrLen))};
    }
};

TEST_F(SysinfoHost, MetricsFromTheFixture) {
    fakeNow += 100; // every cache group stale
    ASSERT_EQ(reloadCpuTable(), 64);
    std::map<unsigned, std::string> want = {
        {1, "3145724"},
        {2, "1024"},
        {3, "3144700"},
        {4, "8000000"},
        {5, "3000000"},
        {6, "5000000"},
        {7, "0.42"},
        {8, "1.50"},
        {9, "2.25"},
        {10, "64"},
        {11, "#1 SMP PREEMPT_DYNAMIC Debian 6.1.0-18 (2024-02-01) 6.1.0-18-arm64"},
        {15, "4128"},
        {16, "0"},
        // sda and nvme0n1 only: no partitions, loop or device-mapper devices
        {20, "4000"},
        {21, "40960"},
        {22, "2400"},
        {23, "24576"},
        // 63 online CPUs of 110 user, 1000 idle, 52 kernel, 20 wait ticks
        {24, "6930"},
        {25, "63000"},
        {26, "3276"},
        {27, "1260"},
        {28, "unknown"},
    };
    for (const auto &[hint, value] : want) {
        auto [st, text] = metric(hint);
        EXPECT_EQ(st, noError) << hint;
        EXPECT_EQ(text, value) << hint;
    }
    qelSyntax_t syn{};
    metric(7, &syn);
    EXPECT_EQ(syn, floatingPoint);
    metric(20, &syn);
    EXPECT_EQ(syn, counter);
    metric(11, &syn);
    EXPECT_EQ(syn, displayString);
    metric(28, &syn);
    EXPECT_EQ(syn, extendedBoolean);
    auto [st29, ws] = metric(29, &syn);
    EXPECT_EQ(syn, integer);
    EXPECT_TRUE(ws == "64" || ws == "32") << ws;
    EXPECT_EQ(metric(99).first, noSuchName);
    EXPECT_EQ(metric(0).first, noSuchName);
    sysinfoGroup.store(0);
    EXPECT_EQ(metric(4).first, noSuchName);
    sysinfoGroup.store(1);
}

class SysinfoCopy : public SysinfoHost {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("sysinfo-" + std::to_string(::getpid()));
        fs::remove_all(dir_);
        fs::copy(kFixture, dir_, fs::copy_options::recursive);
        SysinfoHost::SetUp();
    }
    void TearDown() override {
        SysinfoHost::TearDown();
        fs::remove_all(dir_);
    }
    std::string root() override { return dir_.string(); }
    void write(const std::string &rel, const std::string &text) { std::ofstream(dir_ / rel, std::ios::trunc) << text; }
    fs::path dir_;
};

TEST_F(SysinfoCopy, CacheRefreshesOnlyAfterFifteenSeconds) {
    fakeNow += 1000;
    EXPECT_EQ(metric(4).second, "8000000");
    write("proc/meminfo", "MemTotal: 9000000 kB\nMemAvailable: 1000 kB\n");
    fakeNow += 15; // not older than 15 s: the cached figure
    EXPECT_EQ(metric(4).second, "8000000");
    EXPECT_EQ(metric(6).second, "5000000");
    fakeNow += 1;
    EXPECT_EQ(metric(4).second, "9000000");
    EXPECT_EQ(metric(5).second, "8999000");
    // A failed refresh keeps the last values.
    write("proc/meminfo", "nonsense\n");
    fakeNow += 100;
    EXPECT_EQ(metric(4).second, "9000000");
}

TEST_F(SysinfoCopy, CpuTableGapsOfflineAndIntervals) {
    time_t t0 = fakeNow.load();
    ASSERT_EQ(getNumberCPUs(), 64);
    ASSERT_EQ(reloadCpuTable(), 64);
    Columns cols({1, 2, 3, 7, 11, 12, 15});
    {
        Reply r;
        ASSERT_EQ(selectTable(var_cpuTable, "*", cols, r), noError);
        auto v = r.values();
        ASSERT_EQ(v.size(), 64u * 7);
        EXPECT_EQ(v[0], "0");
        EXPECT_NE(v[1].find(", 2400 MHz"), std::string::npos) << v[1]; // cpufreq: no "cpu MHz" here
        EXPECT_EQ(v[2], "9.31");                                       // 110 of 1182 ticks
        EXPECT_EQ(v[3], "9.31");                                       // first interval: since boot
        EXPECT_EQ(v[4], std::to_string(t0));                           // now - 0
        EXPECT_EQ(v[5], "110");
        // position 5 is CPU 9: offline, never read
        EXPECT_EQ(v[5 * 7 + 5], "0");
        EXPECT_EQ(v[5 * 7 + 4], "0");
    }
    // CPU 0 busy in user, its idle stepping back; CPU 70, beyond the
    // present list, comes online.
    write("proc/stat",
          "cpu0 210 10 50 990 20 1 1 0\ncpu1 100 10 50 1000 20 1 1 0\n"
          "cpu70 5 0 5 10 0\nbtime 1700000000\n");
    fakeNow += 30;
    testing::internal::CaptureStderr();
    ASSERT_EQ(reloadCpuTable(), 65);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("potential FPE"), std::string::npos); // cpu1 did not move
    {
        Reply r;
        ASSERT_EQ(selectTable(var_cpuTable, "0", cols, r), noError);
        auto v = r.values();
        ASSERT_EQ(v.size(), 7u);
        EXPECT_EQ(v[3], "100.00"); // idle's step back counts 0
        EXPECT_EQ(v[4], "30");
    }
    {
        Reply r;
        ASSERT_EQ(selectTable(var_cpuTable, "1", cols, r), noError);
        EXPECT_EQ(r.values()[3], "0.00");
    }
    {
        Reply r;
        ASSERT_EQ(selectTable(var_cpuTable, "64", cols, r), noError);
        ASSERT_EQ(r.values().size(), 7u);
        EXPECT_EQ(r.values()[0], "64"); // appended after the present ones
        EXPECT_EQ(r.values()[5], "5");
    }
    {
        Reply r(3);
        ASSERT_EQ(selectTable(var_cpuTable, "", cols, r), noError);
        EXPECT_EQ(r.pdu.errorStatus, noError);
        EXPECT_EQ(r.pdu.numberVariables, 21u);
    }
    {
        // More data is flagged when the rows selected equal maxRows, not
        // when they exceed it.
        Reply r(9);
        ASSERT_EQ(selectTable(var_cpuTable, "*", cols, r), noError);
        EXPECT_EQ(r.pdu.errorStatus, noError);
        EXPECT_EQ(r.pdu.numberVariables, 63u);
        Reply all(65);
        ASSERT_EQ(selectTable(var_cpuTable, "*", cols, all), noError);
        EXPECT_EQ(all.pdu.errorStatus, noErrorMoreData);
        EXPECT_EQ(all.pdu.numberVariables, 65u * 7);
    }
    {
        Columns bad({1, 16});
        Reply r;
        testing::internal::CaptureStderr();
        EXPECT_EQ(selectTable(var_cpuTable, "*", bad, r), noSuchName);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "var_cpuTable: invalid column\n");
    }
}

TEST_F(SysinfoHost, FilesystemTable) {
    ASSERT_EQ(reloadFilesystems(), 1);
    Columns cols({1, 2, 3, 4, 11});
    Reply r;
    ASSERT_EQ(selectTable(var_filesysTable, "*", cols, r), noError);
    std::vector<std::string> keys;
    auto k = r.keys();
    for (size_t i = 0; i < k.size(); i += 5)
        keys.push_back(k[i]);
    // Newest first; /proc, /sys..., /dev, /home, /net and autofs absent; the
    // overmounted /data once.
    EXPECT_EQ(keys, (std::vector<std::string>{"/sysroot", "/srv/tank", "/mnt/my disk", "/mnt/cifs", "/mnt/v6",
                                              "/mnt/nfs", "/data", "/"}));
    auto v = r.values();
    EXPECT_EQ(v[2 * 5 + 0], "/dev/sdb 1");
    EXPECT_EQ(v[6 * 5 + 0], "/dev/sda3");
    EXPECT_EQ(v[5 * 5 + 3], "0"); // missing mount point: statvfs fails
    EXPECT_NE(v[7 * 5 + 3], "0"); // the fixture root itself
    EXPECT_NE(v[7 * 5 + 4], "0");

    EXPECT_EQ(getNumberRemoteFilesystems(), 3);
    aFilesys_t rem[4];
    ASSERT_EQ(getRemoteFilesystems(rem, 4), 3);
    EXPECT_STREQ(rem[0].fileserver, "fs1");
    EXPECT_STREQ(rem[1].fileserver, "fe80::1");
    EXPECT_EQ(rem[1].ipVersion, 6);
    EXPECT_STREQ(rem[2].fileserver, "srv");
    ASSERT_EQ(getRemoteFilesystems(rem, 1), 1);
    EXPECT_STREQ(rem[0].mountpt, "/mnt/cifs");
    EXPECT_EQ(getRemoteFilesystems(nullptr, 4), 0);
    EXPECT_EQ(getRemoteFilesystems(rem, 0), 0);

    // Ages: a failing mount is shown unmounted after a minute and leaves
    // after an hour; a mount that keeps answering stays.
    ASSERT_NE(findFilesys("/mnt/nfs"), nullptr);
    pruneFilesystems(); // at once: still listed, still mounted
    ASSERT_NE(findFilesys("/mnt/nfs"), nullptr);
    EXPECT_EQ(findFilesys("/mnt/nfs")->mounted, 1);
    fakeNow += 61;
    ASSERT_EQ(reloadFilesystems(), 1);
    pruneFilesystems();
    ASSERT_NE(findFilesys("/mnt/nfs"), nullptr);
    EXPECT_EQ(findFilesys("/mnt/nfs")->mounted, 0);
    EXPECT_EQ(findFilesys("/mnt/nfs")->totalBlocks, 0u);
    EXPECT_EQ(findFilesys("/")->mounted, 1);
    fakeNow += 3600;
    ASSERT_EQ(reloadFilesystems(), 1);
    pruneFilesystems();
    EXPECT_EQ(findFilesys("/mnt/nfs"), nullptr);
    EXPECT_NE(findFilesys("/"), nullptr);
    {
        Reply one;
        ASSERT_EQ(selectTable(var_filesysTable, "/data", cols, one), noError);
        EXPECT_EQ(one.pdu.numberVariables, 5u);
    }
}

TEST_F(SysinfoHost, ConcurrentFirstUseCreatesOnce) {
    // Handlers and the worker race to create the arrays and the list.
    std::vector<std::thread> threads;
    std::atomic<int> wrongCount{0};
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 20; ++i) {
                if (t % 2 == 0) {
                    if (getNumberCPUs() != 64)
                        ++wrongCount;
                    reloadCpuTable();
                } else {
                    reloadFilesystems();
                    aFilesys_t rem[8];
                    getRemoteFilesystems(rem, 8);
                }
            }
        });
    for (auto &th : threads)
        th.join();
    EXPECT_EQ(wrongCount.load(), 0);
    Columns cols({1});
    Reply r;
    ASSERT_EQ(selectTable(var_cpuTable, "*", cols, r), noError);
    EXPECT_EQ(r.pdu.numberVariables, 64u);
    Reply f;
    ASSERT_EQ(selectTable(var_filesysTable, "*", cols, f), noError);
    EXPECT_EQ(f.pdu.numberVariables, 8u); // no mount listed twice
    EXPECT_EQ(getNumberRemoteFilesystems(), 3);
}

// ---- bounded statvfs ----

std::mutex gateMutex;
std::condition_variable gateCv;
bool gateOpen = false;
std::map<std::string, int> statCalls;

int gatedStat(const char *path, struct statvfs *st) {
    std::string p(path);
    std::unique_lock lock(gateMutex);
    ++statCalls[p];
    if (p.size() >= 8 && p.compare(p.size() - 8, 8, "/mnt/nfs") == 0)
        gateCv.wait(lock, [] { return gateOpen; });
    memset(st, 0, sizeof *st);
    st->f_frsize = 4096;
    st->f_blocks = 100;
    st->f_bfree = 40;
    st->f_bavail = 30;
    return 0;
}

int callsFor(const std::string &suffix) {
    std::lock_guard lock(gateMutex);
    int n = 0;
    for (const auto &[p, c] : statCalls)
        if (p.size() >= suffix.size() && p.compare(p.size() - suffix.size(), suffix.size(), suffix) == 0)
            n += c;
    return n;
}

TEST_F(SysinfoHost, HungStatIsBounded) {
    {
        std::lock_guard lock(gateMutex);
        gateOpen = false;
        statCalls.clear();
    }
    sysinfoSetStatFn(gatedStat);
    sysinfoSetStatTimeoutMs(300);
    int before = sysinfoBlockedStats();
    auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(reloadFilesystems(), 1);
    auto took = std::chrono::steady_clock::now() - t0;
    EXPECT_LT(took, std::chrono::seconds(3)); // bound 0.3 s, not forever
    EXPECT_EQ(sysinfoBlockedStats(), before + 1);
    // The mounts after the hung one were still statted.
    EXPECT_EQ(findFilesys("/")->totalBlocks, 100u);
    EXPECT_EQ(findFilesys("/mnt/nfs")->totalBlocks, 0u);
    EXPECT_FLOAT_EQ(findFilesys("/")->percentUsedBlocks, 67.0f); // 60 / 90 = 66.7 -> 67

    // A select answers while the call hangs; the next pass does not call again.
    Columns cols({2});
    Reply r;
    ASSERT_EQ(selectTable(var_filesysTable, "/mnt/nfs", cols, r), noError);
    EXPECT_EQ(r.pdu.numberVariables, 1u);
    fakeNow += 30;
    ASSERT_EQ(reloadFilesystems(), 1);
    EXPECT_EQ(callsFor("/mnt/nfs"), 1);

    // Released: the call returns, the late result lands on the next pass.
    {
        std::lock_guard lock(gateMutex);
        gateOpen = true;
    }
    gateCv.notify_all();
    for (int i = 0; i < 200 && sysinfoBlockedStats() != before; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(sysinfoBlockedStats(), before);
    ASSERT_EQ(reloadFilesystems(), 1);
    EXPECT_EQ(findFilesys("/mnt/nfs")->totalBlocks, 100u);
    EXPECT_EQ(callsFor("/mnt/nfs"), 2);
}

} // namespace
