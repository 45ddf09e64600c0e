// qelmap's collector: one QEL session per agent and round, at most N at
// once, each bounded by the per-agent deadline from connect to last reply.
#include "crawl.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <deque>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <algorithm>
#include <cctype>

#include "qel/entry_guard.h"
#include "qel/log.h"
#include "qel/qel.h"
#include "qel/qel_session.h"
#include "qel/ssl_utils.h"
#include "qel/strutil.h"
#include "query.h"

namespace qelmap {

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<bool> stopRequested{false};

extern "C" void onStopSignal(int) {
    stopRequested.store(true);
}

int64_t msSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// TLS sessions kept per agent, in memory, for the rounds of this process:
// the next session to the same address and port offers the last one the
// agent gave, and a resumed handshake skips both signatures. The agent's
// certificate was verified when the kept session was made; an agent that
// restarted (new ticket keys) simply makes a full handshake again.
struct SessionFree {
    void operator()(SSL_SESSION *p) const { SSL_SESSION_free(p); }
};

std::mutex agentSessionsLock;
std::map<std::string, std::unique_ptr<SSL_SESSION, SessionFree>> agentSessions;
std::atomic<int> resumedSessions{0};

// "address,port" of ssl's connected peer, or "".
std::string peerOf(const SSL *ssl) {
    const int fd = SSL_get_fd(ssl);
    sockaddr_storage sa{};
    socklen_t len = sizeof sa;
    if (fd < 0 || getpeername(fd, reinterpret_cast<sockaddr *>(&sa), &len) != 0)
        return "";
    char text[INET6_ADDRSTRLEN] = {};
    unsigned port = 0;
    if (sa.ss_family == AF_INET) {
        const auto *a = reinterpret_cast<const sockaddr_in *>(&sa);
        inet_ntop(AF_INET, &a->sin_addr, text, sizeof text);
        port = ntohs(a->sin_port);
    } else if (sa.ss_family == AF_INET6) {
        const auto *a = reinterpret_cast<const sockaddr_in6 *>(&sa);
        inet_ntop(AF_INET6, &a->sin6_addr, text, sizeof text);
        port = ntohs(a->sin6_port);
    } else {
        return "";
    }
    return std::string(text) + "," + std::to_string(port);
}

// OpenSSL calls these from the handshaking thread; nothing may escape them.
extern "C" int keepAgentSession(SSL *ssl, SSL_SESSION *sess) {
    try {
        if (!SSL_SESSION_is_resumable(sess))
            return 0;
        const std::string peer = peerOf(ssl);
        if (peer.empty())
            return 0;
        std::lock_guard<std::mutex> g(agentSessionsLock);
        agentSessions[peer].reset(sess);
        return 1; // the reference is ours now
    } catch (...) {
        return 0;
    }
}

extern "C" void offerAgentSession(const SSL *cssl, int where, int) {
    try {
        if (!(where & SSL_CB_HANDSHAKE_START))
            return;
        SSL *ssl = const_cast<SSL *>(cssl);
        if (SSL_is_server(ssl) || SSL_get0_session(ssl))
            return;
        const std::string peer = peerOf(ssl);
        std::lock_guard<std::mutex> g(agentSessionsLock);
        auto it = agentSessions.find(peer);
        if (it != agentSessions.end())
            SSL_set_session(ssl, it->second.get());
    } catch (...) {
        // Not offered: a full handshake.
    }
}

// Installs the per-agent sessions on the suite's client context.
void keepSessionsPerAgent() {
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
    SSL_CTX_sess_set_new_cb(ctx, keepAgentSession);
    SSL_CTX_set_info_callback(ctx, offerAgentSession);
}

// A request of type with the named variables (values empty).
struct Request {
    qelPdu_t pdu{};
    Request(qelMessageType_t type, const char *mib, const std::vector<std::string> &objects) {
        pdu.msgType = type;
        pdu.messageID = 1;
        for (const std::string &o : objects)
            if (!qelAddVariable(&pdu, mib, o.c_str(), "", nullSyntax, ""))
                throw std::bad_alloc();
    }
    ~Request() { qelPduCleanup(&pdu); }
    Request(const Request &) = delete;
    Request &operator=(const Request &) = delete;
};

// The bindings of a reply by row key and object; stops past a row bound.
struct Collected {
    size_t maxRows;
    bool tooMany = false;
    std::map<std::string, std::map<std::string, std::string>> rows;

    static int visit(const qelVariable_t *v, void *ctx) {
        auto *self = static_cast<Collected *>(ctx);
        try {
            auto it = self->rows.find(v->varName.key);
            if (it == self->rows.end()) {
                if (self->rows.size() >= self->maxRows) {
                    self->tooMany = true;
                    return 0;
                }
                it = self->rows.emplace(v->varName.key, std::map<std::string, std::string>{}).first;
            }
            const char *value = v->valueBuf ? v->valueBuf : v->valueStr;
            it->second[v->varName.objName] = value;
            return 1;
        } catch (const std::exception &) {
            return 0;
        }
    }
};

struct Exchange {
    bool ok = false;
    qelErrorStatus_t status = noError;
    Collected data;
};

// One request and its reply; ok false when the session failed or the reply
// was cut short.
Exchange exchange(qelSession_t *s, Request &req, size_t maxRows) {
    Exchange e;
    e.data.maxRows = maxRows;
    qelPdu_t reply{};
    const int rc = qelTransactionVisit(s, &req.pdu, &reply, &Collected::visit, &e.data);
    e.ok = rc > 0 && !e.data.tooMany;
    e.status = reply.errorStatus;
    qelPduCleanup(&reply);
    return e;
}

// A select's reply: noErrorMoreData is what a table handler may leave on a
// complete (or empty) answer.
bool selectAnswered(const Exchange &e) {
    return e.ok && (e.status == noError || e.status == noErrorMoreData);
}

Reach reachOf(const std::string &v) {
    if (v == "true" || v == "1")
        return Reach::yes;
    if (v == "false" || v == "0")
        return Reach::no;
    return Reach::unknown;
}

// "dependDNS(3)", "3" or "dependDNS".
int typeOf(const std::string &v) {
    const auto open = v.find('(');
    if (open != std::string::npos)
        return std::atoi(v.c_str() + open + 1);
    if (!v.empty() && std::isdigit(static_cast<unsigned char>(v[0])))
        return std::atoi(v.c_str());
    return parseType(v);
}

// The agents' date and time: 2026-12-09T22:00:00+01:00 (or Z, or none).
int64_t timeOf(const std::string &v) {
    if (v.size() < 19)
        return 0;
    const int64_t t = parseTime(v.substr(0, 19), 0);
    if (t < 0)
        return 0;
    if (v.size() >= 25 && (v[19] == '+' || v[19] == '-')) {
        const int64_t off = std::atoi(v.substr(20, 2).c_str()) * 3600 + std::atoi(v.substr(23, 2).c_str()) * 60;
        return v[19] == '+' ? t - off : t + off;
    }
    return t;
}

// Why a session could not be made: the name, a refused or silent port, or
// the TLS handshake (which a port that accepts and never answers runs out
// of time in).
std::string whyNoSession(const Seed &agent, Clock::time_point start, int deadlineMs, unsigned long tlsError) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *res = nullptr;
    const std::string port = std::to_string(agent.port);
    if (getaddrinfo(agent.host.c_str(), port.c_str(), &hints, &res) != 0 || !res)
        return "unknown host";
    std::string why;
    const int fd = socket(res->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        why = std::string("socket: ") + std::strerror(errno);
    } else {
        int rc = connect(fd, res->ai_addr, res->ai_addrlen);
        int err = rc == 0 ? 0 : errno;
        if (err == EINPROGRESS) {
            pollfd p{fd, POLLOUT, 0};
            const int left = static_cast<int>(std::max<int64_t>(deadlineMs - msSince(start), 100));
            if (poll(&p, 1, left) <= 0) {
                err = ETIMEDOUT;
            } else {
                socklen_t len = sizeof err;
                getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
            }
        }
        close(fd);
        if (err == ECONNREFUSED)
            why = "refused";
        else if (err == ETIMEDOUT)
            why = "timeout (connect)";
        else if (err != 0)
            why = std::strerror(err);
        else if (msSince(start) >= deadlineMs - 50)
            why = "timeout (TLS handshake)";
        else if (tlsError != 0)
            why = std::string("TLS: ") + ERR_reason_error_string(tlsError);
        else
            why = "TLS handshake failed";
    }
    freeaddrinfo(res);
    return why;
}

const std::vector<std::string> kCore = {"sysName", "sysDescr", "qeldVersion"};
const std::vector<std::string> kMetrics = {"totalSwap",
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
const std::vector<std::string> kDependencyColumns = {"dependType",         "dependClient",    "dependServer",
                                                     "dependArgs",         "dependReference", "dependReachable",
                                                     "dependReachableTime"};
const std::vector<std::string> kPeerColumns = {"peerName", "peerServer", "peerDependType", "peerReachable"};

void select(Request &req, const char *table) {
    qelCopyStr(req.pdu.tableMib, sizeof req.pdu.tableMib, "kestrova");
    qelCopyStr(req.pdu.tableName, sizeof req.pdu.tableName, table);
    qelCopyStr(req.pdu.tableKey, sizeof req.pdu.tableKey, "*");
    req.pdu.maxRows = 0;
}

void askAll(qelSession_t *s, AgentReport &r, const CrawlOptions &options) {
    Request core(GetRequest, "core", kCore);
    Exchange e = exchange(s, core, 16);
    if (!e.ok || e.status != noError) {
        r.failure = e.ok ? "core identity refused" : "no answer to the core identity";
        return;
    }
    for (const auto &[key, vars] : e.data.rows) {
        auto get = [&](const char *o) {
            auto it = vars.find(o);
            return it == vars.end() ? std::string() : it->second;
        };
        r.sysName = get("sysName");
        r.sysDescr = get("sysDescr");
        r.version = get("qeldVersion");
    }
    Request metrics(GetRequest, "kestrova", kMetrics);
    e = exchange(s, metrics, 16);
    if (!e.ok) {
        r.failure = "no answer to the metrics";
        return;
    }
    r.answered = true;
    if (e.status != noError)
        return; // no kestrova: identity only
    for (const auto &[key, vars] : e.data.rows)
        r.metrics.insert(vars.begin(), vars.end());

    Request deps(SelectTableRequest, "kestrova", kDependencyColumns);
    select(deps, "dependencyTable");
    e = exchange(s, deps, options.maxRows);
    if (!selectAnswered(e)) {
        r.answered = false;
        r.failure = e.data.tooMany ? "dependencyTable larger than " + std::to_string(options.maxRows) + " rows"
                    : e.ok ? "dependencyTable refused (error status " + std::to_string(static_cast<int>(e.status)) + ")"
                           : "no answer to dependencyTable";
        return;
    }
    for (const auto &[key, c] : e.data.rows) {
        auto get = [&](const char *o) {
            auto it = c.find(o);
            return it == c.end() ? std::string() : it->second;
        };
        ObservedDependency d;
        d.type = typeOf(get("dependType"));
        d.client = get("dependClient");
        d.server = get("dependServer");
        d.args = get("dependArgs");
        const std::string ref = get("dependReference");
        d.pov = ref == "0" ? "client" : ref == "1" ? "server" : "third";
        d.reachable = reachOf(get("dependReachable"));
        d.reachableTime = timeOf(get("dependReachableTime"));
        if (!d.client.empty() && !d.server.empty())
            r.dependencies.push_back(std::move(d));
    }
    Request peers(SelectTableRequest, "kestrova", kPeerColumns);
    select(peers, "peerTable");
    e = exchange(s, peers, options.maxRows);
    if (!selectAnswered(e)) {
        r.answered = false;
        r.failure = e.data.tooMany ? "peerTable larger than " + std::to_string(options.maxRows) + " rows"
                    : e.ok ? "peerTable refused (error status " + std::to_string(static_cast<int>(e.status)) + ")"
                           : "no answer to peerTable";
        return;
    }
    for (const auto &[key, c] : e.data.rows) {
        auto get = [&](const char *o) {
            auto it = c.find(o);
            return it == c.end() ? std::string() : it->second;
        };
        Peer p{get("peerName"), get("peerServer"), typeOf(get("peerDependType")), reachOf(get("peerReachable"))};
        if (!p.name.empty())
            r.peers.push_back(std::move(p));
    }
    r.hasKestrova = true;
}

} // namespace

Seed parseSeed(const std::string &text) {
    Seed s;
    s.host = text;
    const auto comma = text.rfind(',');
    if (comma != std::string::npos) {
        s.host = text.substr(0, comma);
        const std::string port = text.substr(comma + 1);
        char *end = nullptr;
        const long p = std::strtol(port.c_str(), &end, 10);
        if (port.empty() || *end || p <= 0 || p > 65535)
            throw std::invalid_argument("bad port in '" + text + "'");
        s.port = static_cast<int>(p);
    }
    if (s.host.empty() || s.host.find_first_of(" \t,") != std::string::npos)
        throw std::invalid_argument("bad host in '" + text + "'");
    return s;
}

std::vector<Seed> parseSeeds(const std::vector<std::string> &args) {
    std::vector<Seed> out;
    for (const std::string &a : args) {
        if (a.empty() || a[0] != '@') {
            out.push_back(parseSeed(a));
            continue;
        }
        const std::string file = a.substr(1);
        std::ifstream in(file);
        if (!in)
            throw std::invalid_argument("cannot read the seed file " + file);
        std::string line;
        for (int n = 1; std::getline(in, line); ++n) {
            const auto first = line.find_first_not_of(" \t\r");
            if (first == std::string::npos || line[first] == '#')
                continue;
            const auto last = line.find_last_not_of(" \t\r");
            try {
                out.push_back(parseSeed(line.substr(first, last - first + 1)));
            } catch (const std::invalid_argument &e) {
                throw std::invalid_argument(file + ":" + std::to_string(n) + ": " + e.what());
            }
        }
    }
    return out;
}

AgentReport askAgent(const Seed &agent, const CrawlOptions &options) {
    AgentReport r;
    r.agent = agent.key();
    const auto start = Clock::now();
    ERR_clear_error();
    const int connectSeconds = std::max(1, std::min(3, options.deadlineMs / 1000));
    qelSession_t *s = newQelSessionConnectHostnameWithin(agent.host.c_str(), 0, agent.port, connectSeconds,
                                                         options.user.c_str(), options.deadlineMs);
    if (!s) {
        r.failure = whyNoSession(agent, start, options.deadlineMs, ERR_peek_last_error());
        return r;
    }
    if (s->ssl && SSL_session_reused(static_cast<SSL *>(s->ssl)))
        ++resumedSessions;
    try {
        askAll(s, r, options);
    } catch (const std::exception &e) {
        r.answered = false;
        r.failure = e.what();
    }
    if (!r.answered && msSince(start) >= options.deadlineMs - 50)
        r.failure = "timeout (" + r.failure + ")";
    destroyQelSession(s);
    return r;
}

std::vector<AgentReport> crawlRound(const std::vector<Seed> &seeds, const std::vector<std::string> &knownAgents,
                                    const CrawlOptions &options,
                                    const std::function<void(const Progress &)> &progress) {
    std::mutex m;
    std::condition_variable cv;
    std::deque<std::pair<Seed, bool>> queue; // agent, candidate
    std::set<std::string> queued;
    std::vector<AgentReport> reports;
    Progress p;
    size_t active = 0;

    auto enqueue = [&](const Seed &s, bool candidate) {
        if (queued.insert(s.key()).second) {
            queue.emplace_back(s, candidate);
            ++p.known;
        }
    };
    for (const Seed &s : seeds)
        enqueue(s, false);
    for (const std::string &k : knownAgents) {
        try {
            enqueue(parseSeed(k), false);
        } catch (const std::invalid_argument &) {
            qel::logWarning("qelmap: skipping the stored agent '%s'\n", k.c_str());
        }
    }

    auto worker = [&]() {
        qel::guardedVoid("qelmap: crawl worker", [&] {
            std::unique_lock<std::mutex> lock(m);
            for (;;) {
                cv.wait(lock, [&] { return !queue.empty() || active == 0; });
                if (queue.empty())
                    break;
                auto [seed, candidate] = queue.front();
                queue.pop_front();
                ++active;
                lock.unlock();
                AgentReport r = stopRequested ? AgentReport{} : askAgent(seed, options);
                r.agent = seed.key();
                r.candidate = candidate;
                if (!r.answered && r.failure.empty())
                    r.failure = "stopped";
                lock.lock();
                --active;
                ++p.done;
                if (!r.answered && !candidate)
                    ++p.failed;
                if (r.answered) {
                    for (const Peer &peer : r.peers)
                        enqueue(Seed{peer.name, kAgentPort}, false);
                    if (options.followDependencies)
                        for (const ObservedDependency &d : r.dependencies)
                            enqueue(Seed{d.server, kAgentPort}, true);
                }
                reports.push_back(std::move(r));
                if (progress)
                    progress(p);
                cv.notify_all();
            }
            cv.notify_all();
        });
    };
    std::vector<std::thread> threads;
    const int n = std::max(1, options.concurrency);
    for (int i = 0; i < n; ++i)
        threads.emplace_back(worker);
    for (std::thread &t : threads)
        t.join();
    // Agents in a fixed order, so that a round's changes come in the same
    // order whatever order the answers came in.
    std::sort(reports.begin(), reports.end(),
              [](const AgentReport &a, const AgentReport &b) { return a.agent < b.agent; });
    return reports;
}

int runEnrol(const std::vector<std::string> &args, FILE *out, FILE *err) {
    if (!args.empty()) {
        std::fprintf(err, "usage: qelmap enrol\n");
        return 2;
    }
    if (access("qelmap.pem", F_OK) == 0) {
        std::fprintf(out, "qelmap: already enrolled (qelmap.pem)\n");
        return 0;
    }
    char fqdn[512];
    if (get_fqdn(fqdn, sizeof fqdn) != 1 || init_ssl_stuff(fqdn, "qelmap.pem", "qelmap.csr") != 1) {
        std::fprintf(err, "qelmap: cannot enrol (the CA file kestrova.pem, with its key, in this directory?)\n");
        return 2;
    }
    std::fprintf(out, "qelmap: enrolled as %s: key and certificate in qelmap.pem, request in qelmap.csr\n", fqdn);
    return 0;
}

int runCrawl(const std::vector<std::string> &args, FILE *out, FILE *err) {
    std::string db = "qelmap.db";
    int every = 0, keep = 30;
    CrawlOptions options;
    std::vector<std::string> seedArgs;
    auto number = [&](size_t &i, long lo, long hi) -> long {
        if (i + 1 >= args.size())
            throw std::invalid_argument(args[i] + " needs a value");
        const std::string &v = args[++i];
        char *end = nullptr;
        const long n = std::strtol(v.c_str(), &end, 10);
        if (v.empty() || *end || n < lo || n > hi)
            throw std::invalid_argument(args[i - 1] + " wants a number from " + std::to_string(lo) + " to " +
                                        std::to_string(hi) + ", not '" + v + "'");
        return n;
    };
    try {
        for (size_t i = 0; i < args.size(); ++i) {
            const std::string &a = args[i];
            if (a == "--db" && i + 1 < args.size())
                db = args[++i];
            else if (a == "--every")
                every = static_cast<int>(number(i, 1, 86400 * 7));
            else if (a == "--concurrency")
                options.concurrency = static_cast<int>(number(i, 1, 1024));
            else if (a == "--deadline")
                options.deadlineMs = static_cast<int>(number(i, 1, 3600)) * 1000;
            else if (a == "--keep")
                keep = static_cast<int>(number(i, 1, 36500));
            else if (a == "--user" && i + 1 < args.size())
                options.user = args[++i];
            else if (a.size() > 1 && a[0] == '-')
                throw std::invalid_argument("unknown option " + a);
            else
                seedArgs.push_back(a);
        }
    } catch (const std::invalid_argument &e) {
        std::fprintf(err, "qelmap crawl: %s\n", e.what());
        return 2;
    }
    std::vector<Seed> seeds;
    try {
        seeds = parseSeeds(seedArgs);
    } catch (const std::invalid_argument &e) {
        std::fprintf(err, "qelmap crawl: %s\n", e.what());
        return 2;
    }

    std::unique_ptr<Database> database;
    std::unique_ptr<Store> store;
    try {
        database = openDatabase(db);
        store = std::make_unique<Store>(*database);
    } catch (const std::exception &e) {
        std::fprintf(err, "qelmap: %s\n", e.what());
        return 2;
    }
    if (seeds.empty() && store->agents().empty()) {
        std::fprintf(err, "qelmap crawl: no seed and no agent in the store\n");
        return 2;
    }

    char fqdn[512];
    if (get_fqdn(fqdn, sizeof fqdn) != 1 || init_ssl_stuff(fqdn, "qelmap.pem", "qelmap.csr") != 1) {
        std::fprintf(err, "qelmap: cannot set up TLS (the CA file kestrova.pem in this directory?)\n");
        return 2;
    }
    keepSessionsPerAgent();
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGINT, onStopSignal);
    std::signal(SIGTERM, onStopSignal);

    char host[256] = "";
    gethostname(host, sizeof host - 1);
    const std::string collector = std::string(host) + ":" + std::to_string(getpid());
    const bool terminal = isatty(fileno(err));
    int status = 0;
    while (!stopRequested) {
        const auto start = Clock::now();
        std::vector<std::string> known;
        std::vector<AgentReport> reports;
        try {
            for (const AgentRow &a : store->agents())
                known.push_back(a.agent);
            std::mutex progressLock;
            resumedSessions = 0;
            reports = crawlRound(seeds, known, options, [&](const Progress &p) {
                if (!terminal)
                    return;
                std::lock_guard<std::mutex> g(progressLock);
                std::fprintf(err, "\rqelmap: %zu done / %zu known / %zu failed ", p.done, p.known, p.failed);
                std::fflush(err);
            });
            if (terminal)
                std::fprintf(err, "\n");
            if (stopRequested) {
                std::fprintf(err, "qelmap: stopped; the round is not kept\n");
                break;
            }
            const RoundSummary sum = store->applyRound(reports, static_cast<int64_t>(std::time(nullptr)), collector);
            store->prune(keep, static_cast<int64_t>(std::time(nullptr)));
            std::fprintf(out, "qelmap: round %lld: %d answered, %d failed, %d changes, %d resumed, %.2f s\n",
                         static_cast<long long>(sum.round), sum.answered, sum.failed, sum.changes,
                         resumedSessions.exchange(0), static_cast<double>(msSince(start)) / 1000.0);
            std::fflush(out);
            status = 0;
        } catch (const std::exception &e) {
            std::fprintf(err, "qelmap: the round is not kept: %s\n", e.what());
            status = 2;
            if (!every)
                break;
        }
        if (!every)
            break;
        for (int64_t waited = msSince(start); !stopRequested && waited < int64_t{every} * 1000; waited = msSince(start))
            std::this_thread::sleep_for(std::chrono::milliseconds(std::min<int64_t>(200, every * 1000 - waited)));
    }
    return status;
}

} // namespace qelmap
