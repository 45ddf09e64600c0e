// The installation: `cmake --install` of this build tree into a DESTDIR and
// into a prefix of its own; the installed agent finds its installed
// plug-ins, the installed client queries it, systemd accepts the unit.
#include "testutil.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <glob.h>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

const std::string kBuildDir = std::string(KESTROVA_BIN_DIR) + "/..";

bool exists(const std::string &p) {
    struct stat st;
    return lstat(p.c_str(), &st) == 0;
}

std::vector<std::string> globbed(const std::string &pattern) {
    std::vector<std::string> out;
    glob_t g{};
    if (glob(pattern.c_str(), 0, nullptr, &g) == 0)
        for (size_t i = 0; i < g.gl_pathc; ++i)
            out.push_back(g.gl_pathv[i]);
    globfree(&g);
    return out;
}

std::string lastPart(const std::string &p) {
    return p.substr(p.rfind('/') + 1);
}

// One installation at a time: cmake writes its manifest into the build tree.
struct Installed {
    testutil::ProcessResult result;
    std::vector<std::string> manifest;
};

Installed install(const std::string &prefix, const std::string &destdir = "") {
    int lock = open((kBuildDir + "/install-test.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lock >= 0)
        flock(lock, LOCK_EX);
    Installed out;
    out.result = testutil::runProcess(
        {"/usr/bin/env", "DESTDIR=" + destdir, "cmake", "--install", kBuildDir, "--prefix", prefix}, "", 120);
    std::istringstream in(testutil::readFile(kBuildDir + "/install_manifest.txt"));
    for (std::string line; std::getline(in, line);)
        if (!line.empty())
            out.manifest.push_back(line);
    if (lock >= 0)
        close(lock);
    return out;
}

std::string pluginDirUnder(const std::string &prefix) {
    auto dirs = globbed(prefix + "/lib*/kestrova");
    auto multiarch = globbed(prefix + "/lib/*/kestrova");
    dirs.insert(dirs.end(), multiarch.begin(), multiarch.end());
    return dirs.size() == 1 ? dirs[0] : "";
}

} // namespace

// Everything lands under DESTDIR, where the prefix /usr puts it (the
// configuration in etc beside usr), and the service files name the final
// paths, not the staging ones.
TEST(Install, StagedUnderDestdirOnly) {
    testutil::TempDir t;
    const std::string stage = t.path() + "/stage";
    const time_t started = time(nullptr);
    sleep(1);
    auto inst = install("/usr", stage);
    ASSERT_EQ(inst.result.exitCode, 0) << inst.result.out << inst.result.err;

    // Each file the installation names is in the stage; the same path
    // outside it, where one exists, was not written by this run.
    ASSERT_FALSE(inst.manifest.empty());
    for (const auto &f : inst.manifest) {
        EXPECT_TRUE(exists(stage + f)) << f;
        struct stat st;
        if (lstat(f.c_str(), &st) == 0) {
            EXPECT_LT(st.st_ctime, started) << f << " written outside DESTDIR";
        }
    }

    for (const char *tool : {"qelquery", "qelgetsubgraph", "regexprobe", "qelca", "qelmap"})
        EXPECT_EQ(access((stage + "/usr/bin/" + tool).c_str(), X_OK), 0) << tool;
    EXPECT_EQ(access((stage + "/usr/sbin/qeld").c_str(), X_OK), 0);
    EXPECT_FALSE(exists(stage + "/usr/bin/qeld"));
    std::string plugins = pluginDirUnder(stage + "/usr");
    ASSERT_FALSE(plugins.empty());
    for (const char *p : {"mib2-linux.so", "kestrova-linux.so", "demoplugin-linux.so"})
        EXPECT_TRUE(exists(plugins + "/" + p)) << p;

    for (const auto &q : globbed(std::string(KESTROVA_SOURCE_DIR) + "/examples/queries/*.xml"))
        EXPECT_TRUE(exists(stage + "/usr/share/kestrova/queries/" + lastPart(q))) << q;
    for (const char *d : {"appdata.xml", "connectiondata.xml", "kestrova-local.xml"}) {
        EXPECT_TRUE(exists(stage + "/usr/share/kestrova/examples/" + d)) << d;
        EXPECT_TRUE(exists(stage + "/etc/kestrova/" + d)) << d;
    }
    // Every page in man/, in its section's directory.
    for (const char *section : {"1", "5", "8"})
        for (const auto &page : globbed(std::string(KESTROVA_SOURCE_DIR) + "/man/*." + section))
            EXPECT_TRUE(exists(stage + "/usr/share/man/man" + section + "/" + lastPart(page))) << page;

    std::string unit = testutil::readFile(stage + "/usr/lib/systemd/system/qeld.service");
    EXPECT_NE(unit.find("\nExecStart=/usr/sbin/qeld -f -H /var/lib/kestrova "), std::string::npos) << unit;
    std::string tmpfiles = testutil::readFile(stage + "/usr/lib/tmpfiles.d/kestrova.conf");
    EXPECT_NE(tmpfiles.find("L /var/lib/kestrova/kestrova-local.xml - - - - /etc/kestrova/kestrova-local.xml"),
              std::string::npos)
        << tmpfiles;
    EXPECT_NE(testutil::readFile(stage + "/usr/lib/sysusers.d/kestrova.conf").find("u kestrova - "), std::string::npos);
}

// Installed under a prefix of its own, the agent loads the installed
// plug-ins without -P and the installed qelquery reads its replies.
TEST(Install, InstalledAgentAndClientWork) {
    testutil::TempDir t;
    const std::string prefix = t.path() + "/opt";
    auto inst = install(prefix);
    ASSERT_EQ(inst.result.exitCode, 0) << inst.result.out << inst.result.err;
    std::string plugins = pluginDirUnder(prefix);
    ASSERT_FALSE(plugins.empty());

    const std::string home = t.path() + "/home", client = t.path() + "/client";
    ASSERT_EQ(mkdir(home.c_str(), 0700), 0);
    ASSERT_EQ(mkdir(client.c_str(), 0700), 0);
    auto ca = testutil::runProcess({prefix + "/bin/qelca", "init", home});
    ASSERT_EQ(ca.exitCode, 0) << ca.err;
    testutil::writeFile(client + "/kestrova.pem", testutil::readFile(home + "/kestrova.pem"));

    // Plug-ins named: outside a namespace kestrova is not loaded.
    std::vector<std::string> args = {
        prefix + "/sbin/qeld", "-f", "-p", "0", "-l", "127.0.0.1", "-H", home, "mib2-linux.so", "demoplugin-linux.so"};
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        int out = open((home + "/qeld.out").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (out >= 0) {
            dup2(out, 1);
            dup2(out, 2);
        }
        std::vector<char *> argv;
        for (auto &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    std::string log;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
        log = testutil::readFile(home + "/qeld.log");
        if (log.find("qeld ready") != std::string::npos && exists(home + "/qeld.port"))
            break;
        if (waitpid(pid, nullptr, WNOHANG) == pid) {
            pid = -1;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_GT(pid, 0) << testutil::readFile(home + "/qeld.out") << log;
    EXPECT_NE(log.find("plug-ins from " + plugins), std::string::npos) << log;
    EXPECT_NE(log.find("qeld ready, 2 plug-ins"), std::string::npos) << log;

    std::string port = testutil::readFile(home + "/qeld.port");
    port.erase(port.find_last_not_of("\n") + 1);
    auto reply = testutil::runProcess(
        {prefix + "/bin/qelquery", "127.0.0.1," + port, "tester", prefix + "/share/kestrova/queries/plugin-table.xml"},
        client);
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    EXPECT_EQ(reply.exitCode, 0) << reply.err;
    EXPECT_NE(reply.out.find("mib2Plugin"), std::string::npos) << reply.out;
    EXPECT_NE(reply.out.find("demoPlugin"), std::string::npos) << reply.out;
}

// systemd reads the installed unit without a complaint (its ExecStart is
// the installed agent; its manual page is checked once installed).
TEST(Install, UnitPassesSystemdVerify) {
    if (access("/usr/bin/systemd-analyze", X_OK) != 0)
        GTEST_SKIP() << "systemd-analyze is not installed";
    testutil::TempDir t;
    const std::string prefix = t.path() + "/opt";
    auto inst = install(prefix);
    ASSERT_EQ(inst.result.exitCode, 0) << inst.result.err;
    bool page = exists(prefix + "/share/man/man8/qeld.8");
    auto r = testutil::runProcess({"/usr/bin/env", "MANPATH=" + prefix + "/share/man", "systemd-analyze", "verify",
                                   page ? "--man=yes" : "--man=no", prefix + "/lib/systemd/system/qeld.service"});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(r.out + r.err, "");
}
