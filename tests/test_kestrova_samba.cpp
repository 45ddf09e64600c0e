// link: kestrova_core
// Samba clients as inbound file-system dependencies, with the real smbd and
// smbclient: two network namespaces this test makes, A (198.51.100.1) and
// B (198.51.100.2), joined by a veth and routed nowhere else. A runs smbd
// with a configuration of its own (shares "share1" and "my share", the
// second with a blank in its name, which the status program's table does
// not quote) and the agent with kestrova; B holds one smbclient session on
// each share. The test process moves into a private mount namespace first:
// Samba's configuration and state directories are fresh tmpfs mounts there,
// seen by smbd, by the agent and the status program it runs, and by nobody
// outside.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <map>
#include <thread>

#include "agent_testutil.h"
#include "dependency.h"
#include "netns_agent.h"
#include "testutil.h"

namespace {

using agenttest::Var;
using namespace std::chrono_literals;

const char *const kSmbd = "/usr/sbin/smbd";
const char *const kSmbclient = "/usr/bin/smbclient";
const char *const kSmbstatus = "/usr/bin/smbstatus";
const char *const kServer = "198.51.100.1";
const char *const kClient = "198.51.100.2";

// Samba's directories as Debian lays them out; each gets a tmpfs.
const char *const kSambaDirs[] = {"/etc/samba", "/run/samba", "/var/lib/samba", "/var/cache/samba", "/var/log/samba"};

const char *const kSmbConf =
    "[global]\n"
    "  workgroup = KQTEST\n"
    "  server role = standalone server\n"
    "  map to guest = Bad User\n"
    "  guest account = nobody\n"
    "  disable netbios = yes\n"
    "  smb ports = 445\n"
    "  load printers = no\n"
    "  printcap name = /dev/null\n"
    "  disable spoolss = yes\n"
    "  log file = /var/log/samba/log.%m\n"
    "[share1]\n"
    "  path = /var/lib/samba/share1\n"
    "  guest ok = yes\n"
    "  read only = yes\n"
    "[my share]\n"
    "  path = /var/lib/samba/my share\n"
    "  guest ok = yes\n"
    "  read only = yes\n";

// A program started in a namespace, its own process group's leader (smbd
// makes itself one; its workers follow it), ended with its group.
struct Started {
    pid_t pid = -1;
    int input = -1; // its standard input, held open: smbclient waits on it
    std::string outFile;

    bool start(const std::string &ns, const std::vector<std::string> &argv, const std::string &out) {
        outFile = out;
        int in[2];
        if (pipe2(in, O_CLOEXEC) != 0)
            return false;
        std::vector<std::string> all = {netnstest::ipPath(), "netns", "exec", ns};
        all.insert(all.end(), argv.begin(), argv.end());
        pid = fork();
        if (pid == 0) {
            setpgid(0, 0);
            dup2(in[0], 0);
            int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            if (fd >= 0) {
                dup2(fd, 1);
                dup2(fd, 2);
            }
            std::vector<char *> args;
            for (auto &a : all)
                args.push_back(a.data());
            args.push_back(nullptr);
            execv(args[0], args.data());
            _exit(127);
        }
        close(in[0]);
        input = in[1];
        return pid > 0;
    }
    void send(const std::string &line) { [[maybe_unused]] ssize_t n = write(input, line.data(), line.size()); }
    bool alive() const { return pid > 0 && waitpid(pid, nullptr, WNOHANG) == 0; }
    std::string output() const { return testutil::readFile(outFile); }
    ~Started() {
        if (input >= 0)
            close(input);
        if (pid <= 0)
            return;
        kill(-pid, SIGTERM);
        auto deadline = std::chrono::steady_clock::now() + 5s;
        while (waitpid(pid, nullptr, WNOHANG) == 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(20ms);
        kill(-pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
};

// True once something accepts on addr:port inside the namespace.
bool listening(const std::string &ns, const char *addr, int port, std::chrono::seconds limit) {
    bool ok = false;
    std::thread t([&] {
        int fd = open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0 || setns(fd, CLONE_NEWNET) != 0) {
            if (fd >= 0)
                close(fd);
            return;
        }
        close(fd);
        auto deadline = std::chrono::steady_clock::now() + limit;
        while (!ok && std::chrono::steady_clock::now() < deadline) {
            int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in sa{};
            sa.sin_family = AF_INET;
            sa.sin_port = htons(static_cast<uint16_t>(port));
            inet_pton(AF_INET, addr, &sa.sin_addr);
            ok = connect(s, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0;
            close(s);
            if (!ok)
                std::this_thread::sleep_for(50ms);
        }
    });
    t.join();
    return ok;
}

using Rows = std::map<std::string, std::map<std::string, std::string>>;

// The dependencyTable rows the Samba discovery made.
Rows smbRows(qelSession_t *s) {
    qelPdu_t req, reply;
    agenttest::buildSelect(req, "kestrova", "dependencyTable", "*", 0,
                           {"dependType", "dependArgs", "dependPeer", "dependReference", "dependClient"});
    Rows all, out;
    if (agenttest::transact(s, req, reply) == 1)
        for (const Var &v : agenttest::variables(reply))
            all[v.key][v.obj] = v.value;
    qelPduCleanup(&req);
    qelPduCleanup(&reply);
    for (const auto &[key, cols] : all) {
        auto a = cols.find("dependArgs");
        if (a != cols.end() && a->second.rfind("type='smb'", 0) == 0)
            out[key] = cols;
    }
    return out;
}

TEST(SambaClients, EachShareAClientHoldsIsAnInboundFileDependency) {
    for (const char *p : {kSmbd, kSmbclient, kSmbstatus})
        if (access(p, X_OK) != 0)
            GTEST_SKIP() << p << " is not installed (Debian packages samba and smbclient; "
                         << "scripts/install-deps.sh installs them)";
    std::string tag = std::to_string(getpid() % 100000), why;
    netnstest::Netns a, b;
    auto made = a.create("kq-smb-a-" + tag, why);
    if (made == netnstest::Netns::Result::refused)
        GTEST_SKIP() << why;
    ASSERT_EQ(made, netnstest::Netns::Result::made) << why;
    ASSERT_EQ(b.create("kq-smb-b-" + tag, why), netnstest::Netns::Result::made) << why;
    std::string va = "kqsa" + tag, vb = "kqsb" + tag;
    auto r = netnstest::ip(
        {"link", "add", "name", va, "netns", a.name(), "type", "veth", "peer", "name", vb, "netns", b.name()});
    if (r.exitCode != 0)
        GTEST_SKIP() << "veth pairs cannot be made here (ip link add: " << r.err << ")";
    for (const auto &args :
         std::vector<std::vector<std::string>>{{"-n", a.name(), "addr", "add", std::string(kServer) + "/24", "dev", va},
                                               {"-n", a.name(), "link", "set", va, "up"},
                                               {"-n", b.name(), "addr", "add", std::string(kClient) + "/24", "dev", vb},
                                               {"-n", b.name(), "link", "set", vb, "up"}}) {
        r = netnstest::ip(args);
        ASSERT_EQ(r.exitCode, 0) << args[3] << ": " << r.err;
    }

    // This thread, and what it starts from now on, in a mount namespace of
    // its own that passes nothing back to the machine's.
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_SLAVE, nullptr) != 0)
        GTEST_SKIP() << "private mount namespaces are refused here: " << strerror(errno);
    for (const char *dir : kSambaDirs) {
        mkdir(dir, 0755); // /run/samba exists only once Samba ran
        ASSERT_EQ(mount("kqsamba", dir, "tmpfs", 0, "size=8m,mode=0755"), 0) << dir << ": " << strerror(errno);
    }
    testutil::writeFile("/etc/samba/smb.conf", kSmbConf);
    ASSERT_EQ(mkdir("/var/lib/samba/private", 0700), 0);
    for (const char *share : {"/var/lib/samba/share1", "/var/lib/samba/my share"}) {
        ASSERT_EQ(mkdir(share, 0755), 0) << share;
    }

    testutil::TempDir logs;
    Started smbd;
    ASSERT_TRUE(smbd.start(
        a.name(), {kSmbd, "--foreground", "--no-process-group", "--debug-stdout", "--configfile=/etc/samba/smb.conf"},
        logs.file("smbd.out")));
    bool up = false;
    for (int i = 0; i < 30 && !up && smbd.alive(); ++i)
        up = listening(a.name(), kServer, 445, 1s);
    ASSERT_TRUE(up) << "smbd does not listen: " << smbd.output();

    netnstest::NetnsAgent agent;
    netnstest::AgentOptions o;
    o.env = {{"KESTROVA_TIME_DIVISOR", "60"}};
    o.plugins = {std::string(KESTROVA_PLUGIN_DIR) + "/mib2-linux.so",
                 std::string(KESTROVA_PLUGIN_DIR) + "/kestrova-linux.so"};
    ASSERT_TRUE(agent.start(a.name(), o)) << agent.output();

    // One session per share, each held open by smbclient waiting for its
    // next command; Samba's own status table shows both.
    Started share1, myShare;
    ASSERT_TRUE(
        share1.start(b.name(), {kSmbclient, "-N", std::string("//") + kServer + "/share1"}, logs.file("share1.out")));
    ASSERT_TRUE(myShare.start(b.name(), {kSmbclient, "-N", std::string("//") + kServer + "/my share"},
                              logs.file("myshare.out")));
    auto status = [&] {
        return testutil::runProcess({netnstest::ipPath(), "netns", "exec", a.name(), kSmbstatus, "-S"}, "", 20).out;
    };
    std::string table;
    auto deadline = std::chrono::steady_clock::now() + 30s;
    do {
        table = status();
        if (table.find("share1 ") != std::string::npos && table.find("my share ") != std::string::npos)
            break;
        std::this_thread::sleep_for(100ms);
    } while (std::chrono::steady_clock::now() < deadline);
    ASSERT_NE(table.find("my share "), std::string::npos)
        << table << share1.output() << myShare.output() << smbd.output();
    ASSERT_NE(table.find("share1 "), std::string::npos) << table << share1.output() << myShare.output();

    Rows rows;
    ASSERT_TRUE(agent.withSession([&](qelSession_t *s) {
        deadline = std::chrono::steady_clock::now() + 30s;
        do {
            rows = smbRows(s);
            if (rows.size() >= 2)
                break;
            std::this_thread::sleep_for(200ms);
        } while (std::chrono::steady_clock::now() < deadline);
    }));
    // Exactly the two shares, each from B's address: no row for the words
    // of a share name with a blank.
    std::map<std::string, std::map<std::string, std::string>> byArgs;
    for (const auto &[key, cols] : rows)
        byArgs[cols.at("dependArgs")] = cols;
    ASSERT_EQ(rows.size(), 2u) << status();
    for (const char *args : {"type='smb' share='share1'", "type='smb' share='my share'"}) {
        ASSERT_EQ(byArgs.count(args), 1u) << args;
        auto &c = byArgs[args];
        EXPECT_EQ(c["dependType"], std::to_string(dependFilesys)) << args;
        EXPECT_EQ(c["dependReference"], std::to_string(dependInbound)) << args;
        EXPECT_EQ(c["dependPeer"], kClient) << args;
        EXPECT_EQ(c["dependClient"], kClient) << args;
    }
    EXPECT_TRUE(share1.alive());
    EXPECT_TRUE(myShare.alive());
    agent.stop();
    EXPECT_EQ(agent.sanitizerReports(), "");
}

} // namespace
