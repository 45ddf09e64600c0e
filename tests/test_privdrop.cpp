// link: qelproto
// qeld --user: started as root, the agent binds, becomes the user and keeps
// only CAP_NET_RAW, CAP_DAC_READ_SEARCH and CAP_SYS_PTRACE, in every thread.
#include "agent_testutil.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <map>
#include <pwd.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr uint64_t kAgentCaps =
    (uint64_t{1} << CAP_NET_RAW) | (uint64_t{1} << CAP_DAC_READ_SEARCH) | (uint64_t{1} << CAP_SYS_PTRACE);

// The fields of a /proc/PID/status text, by name.
std::map<std::string, std::string> statusFields(const std::string &text) {
    std::map<std::string, std::string> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        auto colon = line.find(':');
        if (colon == std::string::npos)
            continue;
        auto value = line.substr(colon + 1);
        value.erase(0, value.find_first_not_of(" \t"));
        out[line.substr(0, colon)] = value;
    }
    return out;
}

uint64_t hexMask(const std::string &s) {
    return std::strtoull(s.c_str(), nullptr, 16);
}

struct Account {
    uid_t uid;
    gid_t gid;
};

bool lookup(const char *name, Account &a) {
    struct passwd *pw = getpwnam(name);
    if (!pw)
        return false;
    a = {pw->pw_uid, pw->pw_gid};
    return true;
}

// Runs qeld with argv, as uid/gid when given, and returns its exit status and
// standard error.
testutil::ProcessResult runQeld(const std::vector<std::string> &args, int asUid = -1, int asGid = -1) {
    testutil::TempDir out;
    std::string errFile = out.file("err");
    testutil::ProcessResult r;
    pid_t pid = fork();
    if (pid == 0) {
        int fd = open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        if (fd >= 0) {
            dup2(fd, 1);
            dup2(fd, 2);
        }
        if (asUid >= 0 &&
            (setgroups(0, nullptr) != 0 || setresgid(asGid, asGid, asGid) != 0 || setresuid(asUid, asUid, asUid) != 0))
            _exit(126);
        std::vector<std::string> all = {testutil::binPath("qeld")};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char *> argv;
        for (auto &a : all)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    for (int i = 0; i < 3000 && waitpid(pid, &status, WNOHANG) == 0; ++i)
        usleep(10000);
    if (waitpid(pid, &status, WNOHANG) == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.err = testutil::readFile(errFile);
    return r;
}

class PrivDrop : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0)
            GTEST_SKIP() << "the privilege drop is started as root";
        if (!lookup("nobody", nobody))
            GTEST_SKIP() << "no user nobody on this host";
    }
    Account nobody{};
};

} // namespace

TEST(PrivDropStatus, FieldsAreReadByName) {
    auto f = statusFields("Name:\tqeld\nUid:\t65534\t65534\t65534\t65534\nCapEff:\t0000000000082004\n");
    EXPECT_EQ(f["Name"], "qeld");
    EXPECT_EQ(f["Uid"], "65534\t65534\t65534\t65534");
    EXPECT_EQ(hexMask(f["CapEff"]), kAgentCaps);
}

// Every thread of the running agent (the session and plug-in threads start
// after the drop) is the user with exactly the three capabilities.
TEST_F(PrivDrop, RunningAgentIsTheUserWithOnlyItsCapabilities) {
    agenttest::Agent agent;
    ASSERT_EQ(chown(agent.home().c_str(), nobody.uid, nobody.gid), 0);
    ASSERT_EQ(chown((agent.home() + "/kestrova.pem").c_str(), nobody.uid, nobody.gid), 0);
    // Started with root's supplementary groups, which must not stay.
    const gid_t rootGroups[] = {0, 4};
    ASSERT_EQ(setgroups(2, rootGroups), 0);
    bool started = agent.start({"mib2-linux.so"}, {"--user", "nobody"});
    setgroups(0, nullptr);
    ASSERT_TRUE(started) << agent.output() << agent.log();

    std::string uid = std::to_string(nobody.uid), gid = std::to_string(nobody.gid);
    std::string task = "/proc/" + std::to_string(agent.pid()) + "/task";
    int threads = 0;
    DIR *d = opendir(task.c_str());
    ASSERT_NE(d, nullptr);
    while (struct dirent *e = readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        ++threads;
        auto f = statusFields(testutil::readFile(task + "/" + e->d_name + "/status"));
        SCOPED_TRACE(std::string("thread ") + e->d_name);
        EXPECT_EQ(f["Uid"], uid + "\t" + uid + "\t" + uid + "\t" + uid);
        EXPECT_EQ(f["Gid"], gid + "\t" + gid + "\t" + gid + "\t" + gid);
        EXPECT_EQ(hexMask(f["CapPrm"]), kAgentCaps) << f["CapPrm"];
        EXPECT_EQ(hexMask(f["CapEff"]), kAgentCaps) << f["CapEff"];
        EXPECT_EQ(hexMask(f["CapInh"]), kAgentCaps) << f["CapInh"];
        EXPECT_EQ(hexMask(f["CapAmb"]), kAgentCaps) << f["CapAmb"];
        EXPECT_EQ(hexMask(f["CapBnd"]), kAgentCaps) << f["CapBnd"];
        EXPECT_EQ(f["NoNewPrivs"], "1");
        // Root's supplementary groups are gone with it.
        std::istringstream groups(f["Groups"]);
        for (std::string g; groups >> g;)
            EXPECT_NE(g, "0") << f["Groups"];
    }
    closedir(d);
    EXPECT_GT(threads, 1);

    // It still serves, and enrolled itself as the user.
    qelSession_t *s = agenttest::connect(agent.port());
    ASSERT_NE(s, nullptr);
    EXPECT_FALSE(agenttest::getValue(s, "mib2", "ipForwarding").empty());
    destroyQelSession(s);
    struct stat st;
    ASSERT_EQ(stat((agent.home() + "/qeld.pem").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, nobody.uid);
    EXPECT_EQ(agent.stop(), 0);
}

TEST_F(PrivDrop, RefusesUnknownAndRootUsers) {
    testutil::TempDir home;
    for (const char *user : {"kq-no-such-user", "root"}) {
        auto r = runQeld({"-f", "-p", "0", "-l", "127.0.0.1", "-H", home.path(), "--user", user, "mib2-linux.so"});
        EXPECT_EQ(r.exitCode, 1) << user << ": " << r.err;
        EXPECT_NE(r.err.find(std::string("--user ") + user), std::string::npos) << r.err;
        // Refused before enrolment: nothing made in the home directory.
        struct stat st;
        EXPECT_NE(stat(home.file("qeld.pem").c_str(), &st), 0) << user;
    }
}

TEST_F(PrivDrop, RefusedWhenNotStartedAsRoot) {
    testutil::TempDir home;
    ASSERT_EQ(chown(home.path().c_str(), nobody.uid, nobody.gid), 0);
    auto r = runQeld({"-f", "-p", "0", "-l", "127.0.0.1", "-H", home.path(), "--user", "nobody", "mib2-linux.so"},
                     static_cast<int>(nobody.uid), static_cast<int>(nobody.gid));
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_NE(r.err.find("needs the agent started as root"), std::string::npos) << r.err;
}
