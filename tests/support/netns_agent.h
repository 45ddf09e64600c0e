// Agents inside network namespaces the test makes itself: the namespace,
// a qeld started in it (optionally under a host name of its own and with
// its own hosts file), sessions to it from a thread that enters the
// namespace, and tools run inside it. Nothing made here is linked to the
// machine's own network.
#ifndef KESTROVA_NETNS_AGENT_H
#define KESTROVA_NETNS_AGENT_H

#include <sys/types.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "qel/qel_session.h"
#include "testutil.h"

namespace netnstest {

const std::string &ipPath();
// Runs ip with the arguments.
testutil::ProcessResult ip(const std::vector<std::string> &args);

// Runs fn on a fresh thread that has entered the namespace ns (a socket made
// there stays in it; the thread's namespace ends with the thread): fn's
// result, or false when the namespace could not be entered.
bool inNetns(const std::string &ns, const std::function<bool()> &fn);

// A network namespace with its loopback up, deleted on destruction.
class Netns {
public:
    enum class Result { made, refused, failed };
    Netns() = default;
    ~Netns();
    Netns(const Netns &) = delete;
    Netns &operator=(const Netns &) = delete;
    // refused: namespaces are not permitted here (why says so: a reason to
    // skip); failed: made, but setting it up failed.
    Result create(const std::string &name, std::string &why);
    const std::string &name() const { return name_; }
    bool made() const { return made_; }

private:
    std::string name_;
    bool made_ = false;
};

struct AgentOptions {
    // A host name of its own (a UTS namespace) when not empty.
    std::string hostName;
    // Bind-mounted on /etc/hosts in a private mount namespace when not empty.
    std::string hostsFile;
    // 0: an ephemeral port on 127.0.0.1; else this port on every address.
    int port = 0;
    std::vector<std::pair<std::string, std::string>> env;
    // Plug-in files; empty: mib2, kestrova and the depfeed test plug-in.
    std::vector<std::string> plugins;
    // Options before the plug-ins.
    std::vector<std::string> extra;
};

// qeld in a namespace, with a home directory of its own holding the test CA.
class NetnsAgent {
public:
    NetnsAgent();
    ~NetnsAgent();
    NetnsAgent(const NetnsAgent &) = delete;
    NetnsAgent &operator=(const NetnsAgent &) = delete;

    // Starts the agent in the foreground and waits until it is ready. A
    // restart in the same home keeps the previous log as qeld.log.old.
    bool start(const std::string &ns, const AgentOptions &options, int timeoutSeconds = 30);
    // Sends sig and waits for the exit: the exit status, or -1 (ended by a
    // signal, or killed after the time-out).
    int stop(int sig = 15, int timeoutSeconds = 10);
    bool running() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    int port() const { return port_; }
    const std::string &ns() const { return ns_; }
    const testutil::TempDir &homeDir() const { return home_; }
    std::string file(const std::string &name) const { return home_.file(name); }
    std::string log() const;
    std::string output() const;
    // The agent's own sanitizer reports (sanitizer builds), "" when none.
    std::string sanitizerReports() const;

    // Runs fn with a session to the agent from a thread inside its
    // namespace; false (fn not run) when no session could be made.
    bool withSession(const std::function<void(qelSession_t *)> &fn, const char *user = "tester") const;
    // Runs a program inside the agent's namespace.
    testutil::ProcessResult runInside(const std::vector<std::string> &argv, const std::string &cwd = "",
                                      int timeoutSeconds = 60) const;

private:
    testutil::TempDir home_;
    std::string ns_;
    pid_t pid_ = -1;
    int port_ = 0;
};

} // namespace netnstest

#endif
