// Helpers for the agent's integration tests: a qeld child process with its
// own home directory, and a client side that shares the agent's CA.
#ifndef KESTROVA_AGENT_TESTUTIL_H
#define KESTROVA_AGENT_TESTUTIL_H

#include <string>
#include <sys/types.h>
#include <vector>

#include "qel/qel.h"
#include "qel/qel_session.h"
#include "testutil.h"

namespace agenttest {

// Directory holding the CA ("kestrova.pem") shared by every agent and client
// of this test program; the first call also enrols the test process.
const std::string &caDir();
std::string testPluginDir();

class Agent {
public:
    Agent();
    ~Agent();
    Agent(const Agent &) = delete;
    Agent &operator=(const Agent &) = delete;

    // Starts qeld in the foreground on 127.0.0.1 and an ephemeral port with
    // the given plug-in files and extra options; waits until it is ready.
    bool start(const std::vector<std::string> &plugins, const std::vector<std::string> &extra = {});
    // Sends sig and waits for the exit; the exit status, or -1 (signal or
    // time-out).
    int stop(int sig = 15, int timeoutSeconds = 30);
    bool running() const { return pid_ > 0; }
    int port() const { return port_; }
    pid_t pid() const { return pid_; }
    const std::string &home() const { return home_.path(); }
    std::string log() const;
    std::string output() const;
    // Polls the log until it contains text; false after the deadline.
    bool waitForLog(const std::string &text, int timeoutMs = 10000) const;

private:
    testutil::TempDir home_;
    pid_t pid_ = -1;
    int port_ = 0;
};

qelSession_t *connect(int port, const char *user = "tester");

struct Var {
    std::string mib, obj, key, value;
};
// Fills pdu (zeroed first) with a request of the given type and variables.
void buildRequest(qelPdu_t &pdu, qelMessageType_t type, const std::vector<Var> &vars, int64_t id = 1);
void buildSelect(qelPdu_t &pdu, const std::string &mib, const std::string &table, const std::string &key, int maxRows,
                 const std::vector<std::string> &columns);
std::vector<Var> variables(const qelPdu_t &pdu);
// One exchange; the reply is released by the caller with qelPduCleanup.
int transact(qelSession_t *s, qelPdu_t &req, qelPdu_t &reply);
// A get of one scalar; "" when it fails.
std::string getValue(qelSession_t *s, const std::string &mib, const std::string &obj);

// What a process holds: open descriptors, threads, resident and private
// (anonymous) memory, read from /proc.
struct Usage {
    int fds = 0, threads = 0;
    long rssKb = 0;
    long anonKb = 0;
};
Usage usageOf(pid_t pid);
// The threads of pid that bear name (pthread_setname_np).
int threadsNamed(pid_t pid, const std::string &name);

// Sends sig to the child pid and reaps it, killing it after timeoutSeconds;
// its exit status, or -1 (killed, or no child). pid is -1 afterwards.
int stopChild(pid_t &pid, int sig, int timeoutSeconds);

} // namespace agenttest

#endif
