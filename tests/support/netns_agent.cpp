// Agents inside network namespaces the test makes itself.
#include "netns_agent.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "agent_testutil.h"

namespace netnstest {

namespace {

std::string findProgram(std::initializer_list<const char *> candidates) {
    for (const char *p : candidates)
        if (access(p, X_OK) == 0)
            return p;
    return *candidates.begin();
}

// What a failed connect may be down to: the agent gone, or its state.
std::string processState(pid_t pid) {
    if (pid <= 0)
        return "no agent started";
    std::string stat = testutil::readFile("/proc/" + std::to_string(pid) + "/stat");
    auto close = stat.rfind(')');
    if (close == std::string::npos || close + 2 >= stat.size())
        return "agent " + std::to_string(pid) + " has exited";
    return "agent " + std::to_string(pid) + " is in state " + stat.substr(close + 2, 1);
}

} // namespace

const std::string &ipPath() {
    static const std::string path = findProgram({"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"});
    return path;
}

testutil::ProcessResult ip(const std::vector<std::string> &args) {
    std::vector<std::string> argv = {ipPath()};
    argv.insert(argv.end(), args.begin(), args.end());
    return testutil::runProcess(argv, "", 30);
}

bool inNetns(const std::string &ns, const std::function<bool()> &fn) {
    bool ok = false;
    std::thread t([&] {
        int fd = open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return;
        if (setns(fd, CLONE_NEWNET) == 0)
            ok = fn();
        close(fd);
    });
    t.join();
    return ok;
}

Netns::~Netns() {
    if (made_)
        ip({"netns", "del", name_});
}

Netns::Result Netns::create(const std::string &name, std::string &why) {
    name_ = name;
    if (access(ipPath().c_str(), X_OK) != 0) {
        why = "no ip program (iproute2) on this host";
        return Result::refused;
    }
    auto r = ip({"netns", "add", name});
    if (r.exitCode != 0) {
        why = "network namespaces are not permitted here (ip netns add exited " + std::to_string(r.exitCode) + ": " +
              r.err + "); needs root or CAP_SYS_ADMIN";
        return Result::refused;
    }
    made_ = true;
    r = ip({"-n", name, "link", "set", "lo", "up"});
    if (r.exitCode != 0) {
        why = "ip link set lo up in " + name + ": " + r.err;
        return Result::failed;
    }
    return Result::made;
}

NetnsAgent::NetnsAgent() {
    testutil::writeFile(home_.file("kestrova.pem"), testutil::readFile(agenttest::caDir() + "/kestrova.pem"));
}

NetnsAgent::~NetnsAgent() {
    if (pid_ > 0) {
        kill(pid_, SIGCONT);
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

bool NetnsAgent::start(const std::string &ns, const AgentOptions &o, int timeoutSeconds) {
    if (pid_ > 0)
        return false;
    ns_ = ns;
    unlink(home_.file("qeld.port").c_str());
    std::rename(home_.file("qeld.log").c_str(), home_.file("qeld.log.old").c_str());
    std::vector<std::string> args = {ipPath(), "netns", "exec", ns};
    if (!o.hostName.empty() || !o.hostsFile.empty()) {
        // unshare execs the shell, which execs qeld: the child's pid stays
        // the agent's.
        std::string script;
        args.push_back(findProgram({"/usr/bin/unshare", "/bin/unshare"}));
        if (!o.hostName.empty()) {
            args.push_back("--uts");
            script += "hostname \"$KQ_HOSTNAME\" && ";
        }
        if (!o.hostsFile.empty()) {
            args.push_back("--mount");
            args.push_back("--propagation");
            args.push_back("private");
            script += "mount --bind \"$KQ_HOSTS\" /etc/hosts && ";
        }
        script += "exec \"$@\"";
        args.insert(args.end(), {"/bin/sh", "-c", script, "qeld"});
    }
    args.insert(args.end(), {testutil::binPath("qeld"), "-f", "-H", home_.path()});
    if (o.port == 0)
        args.insert(args.end(), {"-p", "0", "-l", "127.0.0.1"});
    else
        args.insert(args.end(), {"-p", std::to_string(o.port)});
    args.insert(args.end(), o.extra.begin(), o.extra.end());
    if (o.plugins.empty()) {
        args.push_back(std::string(KESTROVA_PLUGIN_DIR) + "/mib2-linux.so");
        args.push_back(std::string(KESTROVA_PLUGIN_DIR) + "/kestrova-linux.so");
        args.push_back(agenttest::testPluginDir() + "/depfeed-linux.so");
    } else {
        args.insert(args.end(), o.plugins.begin(), o.plugins.end());
    }
    pid_t pid = fork();
    if (pid < 0)
        return false;
    if (pid == 0) {
        int out = open(home_.file("qeld.out").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (out >= 0) {
            dup2(out, 1);
            dup2(out, 2);
        }
        for (const auto &[k, v] : o.env)
            setenv(k.c_str(), v.c_str(), 1);
        setenv("KQ_HOSTNAME", o.hostName.c_str(), 1);
        setenv("KQ_HOSTS", o.hostsFile.c_str(), 1);
        std::vector<char *> argv;
        for (auto &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    pid_ = pid;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    while (std::chrono::steady_clock::now() < deadline) {
        if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = -1;
            return false;
        }
        if (log().find("qeld ready") != std::string::npos) {
            if (o.port != 0) {
                port_ = o.port;
                return true;
            }
            port_ = std::atoi(testutil::readFile(home_.file("qeld.port")).c_str());
            if (port_ > 0)
                return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

int NetnsAgent::stop(int sig, int timeoutSeconds) {
    if (pid_ > 0)
        kill(pid_, SIGCONT); // a stopped agent could not act on sig
    return agenttest::stopChild(pid_, sig, timeoutSeconds);
}

std::string NetnsAgent::log() const {
    return testutil::readFile(home_.file("qeld.log"));
}
std::string NetnsAgent::output() const {
    return testutil::readFile(home_.file("qeld.out"));
}

std::string NetnsAgent::sanitizerReports() const {
    std::string out = output();
    for (const char *report :
         {"WARNING: ThreadSanitizer", "ERROR: AddressSanitizer", "runtime error:", "ERROR: LeakSanitizer"})
        if (out.find(report) != std::string::npos)
            return out;
    return "";
}

bool NetnsAgent::withSession(const std::function<void(qelSession_t *)> &fn, const char *user) const {
    agenttest::caDir();
    bool ran = false;
    std::thread t([&] {
        int fd = open(("/run/netns/" + ns_).c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0 || setns(fd, CLONE_NEWNET) != 0) {
            if (fd >= 0)
                close(fd);
            return;
        }
        close(fd);
        // A sanitizer build's agent on a loaded machine can miss one
        // connect's 3-s bound; a few more tries within 20 s tell that apart
        // from an agent that is gone or wedged.
        qelSession_t *s = nullptr;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        int tries = 0;
        while (!(s = agenttest::connect(port_, user)) && ++tries < 5 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
        if (!s) {
            std::fprintf(stderr, "no session to the agent in %s after %d tries: %s\n", ns_.c_str(), tries,
                         processState(pid_).c_str());
            return;
        }
        if (tries > 0)
            std::fprintf(stderr, "a session to the agent in %s took %d tries\n", ns_.c_str(), tries + 1);
        ran = true;
        fn(s);
        destroyQelSession(s);
    });
    t.join();
    return ran;
}

testutil::ProcessResult NetnsAgent::runInside(const std::vector<std::string> &argv, const std::string &cwd,
                                              int timeoutSeconds) const {
    std::vector<std::string> all = {ipPath(), "netns", "exec", ns_};
    all.insert(all.end(), argv.begin(), argv.end());
    return testutil::runProcess(all, cwd, timeoutSeconds);
}

} // namespace netnstest
