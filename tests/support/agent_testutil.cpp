// Helpers for the agent's integration tests.
#include <dirent.h>
#include <fstream>
#include "agent_testutil.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "qel/ssl_utils.h"
#include "qel/strutil.h"

namespace agenttest {

namespace {

bool fileExists(const std::string &p) {
    struct stat st;
    return stat(p.c_str(), &st) == 0;
}

void copyFile(const std::string &from, const std::string &to) {
    testutil::writeFile(to, testutil::readFile(from));
}

} // namespace

const std::string &caDir() {
    static testutil::TempDir *dir = [] {
        auto *d = new testutil::TempDir;
        auto r = testutil::runProcess({testutil::binPath("qelca"), "init", d->path()});
        if (r.exitCode != 0)
            std::fprintf(stderr, "qelca init failed: %s\n", r.err.c_str());
        set_ssl_home_dir(d->path().c_str());
        char fqdn[512];
        get_fqdn(fqdn, sizeof fqdn);
        if (init_ssl_stuff(fqdn, "client.pem", "client.csr") != 1)
            std::fprintf(stderr, "agenttest: client TLS set-up failed\n");
        return d;
    }();
    return dir->path();
}

std::string testPluginDir() {
    return std::string(KESTROVA_BIN_DIR) + "/../tests/plugins";
}

Agent::Agent() {
    copyFile(caDir() + "/kestrova.pem", home_.file("kestrova.pem"));
}

Agent::~Agent() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

bool Agent::start(const std::vector<std::string> &plugins, const std::vector<std::string> &extra) {
    std::vector<std::string> args = {testutil::binPath("qeld"), "-f", "-p", "0", "-l", "127.0.0.1", "-H", home_.path()};
    args.insert(args.end(), extra.begin(), extra.end());
    args.insert(args.end(), plugins.begin(), plugins.end());
    unlink(home_.file("qeld.port").c_str());
    pid_t pid = fork();
    if (pid < 0)
        return false;
    if (pid == 0) {
        int out = open(home_.file("qeld.out").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
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
    pid_ = pid;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
        int status;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return false;
        }
        if (fileExists(home_.file("qeld.port")) && log().find("qeld ready") != std::string::npos) {
            port_ = std::atoi(testutil::readFile(home_.file("qeld.port")).c_str());
            return port_ > 0;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

int stopChild(pid_t &pid, int sig, int timeoutSeconds) {
    if (pid <= 0)
        return -1;
    kill(pid, sig);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    int status = 0;
    while (std::chrono::steady_clock::now() < deadline) {
        if (waitpid(pid, &status, WNOHANG) == pid) {
            pid = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    pid = -1;
    return -1;
}

int Agent::stop(int sig, int timeoutSeconds) {
    return stopChild(pid_, sig, timeoutSeconds);
}

std::string Agent::log() const {
    std::ifstream in(home_.file("qeld.log"));
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string Agent::output() const {
    std::ifstream in(home_.file("qeld.out"));
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

bool Agent::waitForLog(const std::string &text, int timeoutMs) const {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        if (log().find(text) != std::string::npos)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

qelSession_t *connect(int port, const char *user) {
    caDir();
    return newQelSessionConnectHostname("127.0.0.1", 4, port, 3, user);
}

void buildRequest(qelPdu_t &pdu, qelMessageType_t type, const std::vector<Var> &vars, int64_t id) {
    std::memset(&pdu, 0, sizeof pdu);
    pdu.msgType = type;
    pdu.messageID = id;
    for (const auto &v : vars)
        qelAddVariable(&pdu, v.mib.c_str(), v.obj.c_str(), v.key.c_str(), v.value.empty() ? nullSyntax : displayString,
                       v.value.c_str());
}

void buildSelect(qelPdu_t &pdu, const std::string &mib, const std::string &table, const std::string &key, int maxRows,
                 const std::vector<std::string> &columns) {
    std::vector<Var> vars;
    for (const auto &c : columns)
        vars.push_back({mib, c, "", ""});
    buildRequest(pdu, SelectTableRequest, vars);
    qelCopyField(pdu.tableMib, mib);
    qelCopyField(pdu.tableName, table);
    qelCopyField(pdu.tableKey, key);
    pdu.maxRows = maxRows;
}

std::vector<Var> variables(const qelPdu_t &pdu) {
    std::vector<Var> out;
    for (auto *v = pdu.varList; v; v = v->next)
        out.push_back(
            {v->varName.mibName, v->varName.objName, v->varName.key, v->valueBuf ? v->valueBuf : v->valueStr});
    return out;
}

int transact(qelSession_t *s, qelPdu_t &req, qelPdu_t &reply) {
    std::memset(&reply, 0, sizeof reply);
    return qelTransaction(s, &req, &reply);
}

std::string getValue(qelSession_t *s, const std::string &mib, const std::string &obj) {
    qelPdu_t req, reply;
    buildRequest(req, GetRequest, {{mib, obj, "", ""}});
    std::string out;
    if (transact(s, req, reply) == 1 && reply.errorStatus == noError && reply.varList)
        out = reply.varList->valueBuf ? reply.varList->valueBuf : reply.varList->valueStr;
    qelPduCleanup(&req);
    qelPduCleanup(&reply);
    return out;
}

namespace {
// The entries of dir that pass keep (every one by default).
int countEntries(const std::string &dir, const std::function<bool(const char *)> &keep = nullptr) {
    int n = 0;
    if (DIR *d = opendir(dir.c_str())) {
        while (struct dirent *e = readdir(d))
            if (e->d_name[0] != '.' && (!keep || keep(e->d_name)))
                ++n;
        closedir(d);
    }
    return n;
}
} // namespace

int threadsNamed(pid_t pid, const std::string &name) {
    const std::string task = "/proc/" + std::to_string(pid) + "/task/";
    return countEntries(task, [&](const char *tid) { return testutil::readFile(task + tid + "/comm") == name + "\n"; });
}

Usage usageOf(pid_t pid) {
    Usage u;
    std::string base = "/proc/" + std::to_string(pid);
    u.fds = countEntries(base + "/fd");
    u.threads = countEntries(base + "/task");
    std::ifstream in(base + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("VmRSS:", 0) == 0)
            u.rssKb = std::atol(line.c_str() + 6);
        else if (line.rfind("RssAnon:", 0) == 0)
            u.anonKb = std::atol(line.c_str() + 8);
    }
    return u;
}

} // namespace agenttest
