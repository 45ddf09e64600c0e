// qeld, the host agent: loads plug-ins and serves QEL sessions over TLS.
#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <malloc.h>
#include <mutex>
#include <poll.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "agent.h"
#include "privdrop.h"
#include "qel/entry_guard.h"
#include "qel/log.h"
#include "qel/qel_session.h"
#include "qel/reply_stream.h"
#include "qel/version.h"
#include "qel/socklib.h"
#include "qel/ssl_utils.h"
#include "qelhost.h"

namespace {

struct Options {
    bool foreground = false;
    int port = 5270;
    std::vector<std::string> listen;
    std::string homeDir = ".";
    std::string pluginDir;
    int debugLevel = 0;
    std::string logFile;
    std::vector<qelhost::TrapSink> sinks;
    bool allowAnonymous = false;
    int maxSessions = 64;
    int maxHandshakes = 1024;
    int maxHandshakesPerSource = 32;
    int handshakeTimeout = 10;
    int idleTimeout = 300;
    // Requests are small; a few MiB leave room for large set values while
    // many sessions cannot make the agent allocate the header's 64 MiB each.
    int maxMessage = 4 * 1024 * 1024;
    int maxVariables = 4096;
    // No client reads more than this: a larger reply is answered tooBig.
    int maxReply = QEL_MAX_MESSAGE_LEN;
    std::string user;
    std::vector<std::string> plugins;
};

Options opts;
std::atomic<bool> stopping{false};
std::atomic<int> activeSessions{0};
// Requests being answered: shutdown lets them finish before the exit.
std::atomic<int> busyRequests{0};

void usage(FILE *out) {
    std::fprintf(out,
                 "usage: qeld [options] [plugin-file ...]\n"
                 "  -f                   stay in the foreground\n"
                 "  -p PORT              TCP port (default 5270; 0 picks a free one)\n"
                 "  -l ADDRESS           listen address, repeatable (default: IPv4 and IPv6 "
                 "wildcards)\n"
                 "  -H DIR               home directory (default: current directory)\n"
                 "  -P DIR               plug-in directory (default: the installed one)\n"
                 "  -d LEVEL             debug level for plug-ins\n"
                 "  -L FILE              log file (default qeld.log in the home directory)\n"
                 "  -t HOST[,PORT]       send every trap also to HOST, repeatable\n"
                 "  --allow-anonymous    serve read requests of clients without certificate\n"
                 "  --max-sessions N     concurrent sessions (default 64)\n"
                 "  --max-handshakes N   TLS handshakes in progress (default 1024); beyond\n"
                 "                       it the oldest is dropped for the new connection\n"
                 "  --max-handshakes-per-source N\n"
                 "                       handshakes in progress from one address (default 32)\n"
                 "  --handshake-timeout S  TLS handshake time-out (default 10)\n"
                 "  --idle-timeout S     idle session time-out (default 300)\n"
                 "  --max-message BYTES  largest request body (default 4194304)\n"
                 "  --max-variables N    most variables in one request (default 4096)\n"
                 "  --max-reply BYTES    largest reply body; a larger reply is answered\n"
                 "                       tooBig (default and most 67108864)\n"
                 "  --name-cache N       host names kept by the name cache (default 262144)\n"
                 "  --user NAME          started as root: after binding, run as NAME with only\n"
                 "                       CAP_NET_RAW, CAP_DAC_READ_SEARCH and CAP_SYS_PTRACE\n"
                 "  --help               this text\n"
                 "  --version            the versions of the suite and its libraries\n"
                 "Plug-in files are named relative to the plug-in directory; without any,\n"
                 "every *.so there is loaded. The agent writes qeld.pid and qeld.port into\n"
                 "its home directory.\n");
}

bool toInt(const char *s, int lo, int hi, int &out) {
    char *end = nullptr;
    errno = 0;
    long v = std::strtol(s, &end, 10);
    if (errno || !end || *end || end == s || v < lo || v > hi)
        return false;
    out = static_cast<int>(v);
    return true;
}

bool parseSink(const std::string &arg, qelhost::TrapSink &sink) {
    sink.host = arg;
    sink.port = 5270;
    auto comma = arg.rfind(',');
    if (comma != std::string::npos) {
        sink.host = arg.substr(0, comma);
        if (!toInt(arg.c_str() + comma + 1, 1, 65535, sink.port))
            return false;
    }
    return !sink.host.empty();
}

int parseOptions(int argc, char **argv) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](const char *what) -> const char * {
            if (i + 1 >= argc) {
                qel::logError("qeld: %s needs a value\n", what);
                return nullptr;
            }
            return argv[++i];
        };
        // A whole number in [lo, hi]; otherwise says which option and value.
        auto number = [&](const char *what, int lo, int hi, int &out) {
            const char *text = value(what);
            if (!text)
                return false;
            if (toInt(text, lo, hi, out))
                return true;
            qel::logError("qeld: %s needs a whole number from %d to %d, not '%s'\n", what, lo, hi, text);
            return false;
        };
        const char *v = nullptr;
        if (a == "--help" || a == "-h") {
            usage(stdout);
            std::exit(0);
        } else if (a == "--version") {
            std::exit(qel::printVersion("qeld"));
        } else if (a == "-f") {
            opts.foreground = true;
        } else if (a == "--allow-anonymous") {
            opts.allowAnonymous = true;
        } else if (a == "-p") {
            if (!number("-p", 0, 65535, opts.port))
                return -1;
        } else if (a == "-l") {
            if (!(v = value("-l")))
                return -1;
            opts.listen.push_back(v);
        } else if (a == "-H") {
            if (!(v = value("-H")))
                return -1;
            opts.homeDir = v;
        } else if (a == "-P") {
            if (!(v = value("-P")))
                return -1;
            opts.pluginDir = v;
        } else if (a == "-d") {
            if (!number("-d", 0, 1000, opts.debugLevel))
                return -1;
        } else if (a == "-L") {
            if (!(v = value("-L")))
                return -1;
            opts.logFile = v;
        } else if (a == "-t") {
            qelhost::TrapSink sink;
            if (!(v = value("-t")))
                return -1;
            if (!parseSink(v, sink)) {
                qel::logError("qeld: -t needs HOST[,PORT] with a port from 1 to 65535, not '%s'\n", v);
                return -1;
            }
            opts.sinks.push_back(sink);
        } else if (a == "--max-sessions") {
            if (!number(a.c_str(), 1, 100000, opts.maxSessions))
                return -1;
        } else if (a == "--max-handshakes") {
            if (!number(a.c_str(), 1, 1000000, opts.maxHandshakes))
                return -1;
        } else if (a == "--max-handshakes-per-source") {
            if (!number(a.c_str(), 1, 1000000, opts.maxHandshakesPerSource))
                return -1;
        } else if (a == "--handshake-timeout") {
            if (!number(a.c_str(), 1, 3600, opts.handshakeTimeout))
                return -1;
        } else if (a == "--idle-timeout") {
            if (!number(a.c_str(), 1, 86400, opts.idleTimeout))
                return -1;
        } else if (a == "--max-message") {
            if (!number(a.c_str(), 64, QEL_MAX_MESSAGE_LEN, opts.maxMessage))
                return -1;
        } else if (a == "--max-reply") {
            if (!number(a.c_str(), 1024, QEL_MAX_MESSAGE_LEN, opts.maxReply))
                return -1;
        } else if (a == "--max-variables") {
            if (!number(a.c_str(), 1, 10000000, opts.maxVariables))
                return -1;
        } else if (a == "--user") {
            if (!(v = value(a.c_str())))
                return -1;
            if (!*v) {
                qel::logError("qeld: --user needs an account name\n");
                return -1;
            }
            opts.user = v;
        } else if (a == "--name-cache") {
            int entries = 0;
            if (!number(a.c_str(), 0, 10000000, entries))
                return -1;
            qelhost::setNameCacheCapacity(static_cast<size_t>(entries));
        } else if (!a.empty() && a[0] == '-') {
            qel::logError("qeld: unknown option %s\n", a.c_str());
            return -1;
        } else {
            opts.plugins.push_back(a);
        }
    }
    return 1;
}

std::string absolute(const std::string &path) {
    char buf[PATH_MAX];
    if (realpath(path.c_str(), buf))
        return buf;
    return path;
}

std::string defaultPluginDir() {
    // From the build tree the agent uses the plug-ins built beside it.
    std::string exe = absolute("/proc/self/exe");
    auto slash = exe.rfind('/');
    std::string exeDir = slash == std::string::npos ? exe : exe.substr(0, slash);
    if (exeDir == absolute(QELD_BUILD_BIN_DIR))
        return QELD_PLUGIN_BUILD_DIR;
    // Installed, the plug-ins sit at a fixed place relative to the agent, so
    // an installation moved as a whole (or staged under DESTDIR) finds its
    // own; the configured path is the fallback.
    struct stat st;
    std::string beside = exeDir + "/" QELD_PLUGIN_DIR_FROM_SBIN;
    if (stat(beside.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        return absolute(beside);
    return QELD_PLUGIN_INSTALL_DIR;
}

std::vector<std::string> pluginPaths() {
    std::vector<std::string> out;
    if (!opts.plugins.empty()) {
        for (const auto &p : opts.plugins)
            out.push_back(p.find('/') != std::string::npos ? p : opts.pluginDir + "/" + p);
        return out;
    }
    DIR *d = opendir(opts.pluginDir.c_str());
    if (!d) {
        qelhost::logf("plug-in directory %s: %s", opts.pluginDir.c_str(), std::strerror(errno));
        return out;
    }
    while (struct dirent *e = readdir(d)) {
        std::string name = e->d_name;
        if (name.size() > 3 && name.compare(name.size() - 3, 3, ".so") == 0)
            out.push_back(opts.pluginDir + "/" + name);
    }
    closedir(d);
    std::sort(out.begin(), out.end());
    // kestrova's init relies on mib2 (its address list): mib2 loads first.
    auto named = [&](const char *file) { return std::find(out.begin(), out.end(), opts.pluginDir + "/" + file); };
    auto mib2 = named("mib2-linux.so"), kestrova = named("kestrova-linux.so");
    if (mib2 != out.end() && kestrova != out.end() && kestrova < mib2)
        std::rotate(kestrova, mib2, mib2 + 1);
    return out;
}

struct Listener {
    int fd = -1;
    int version = 4;
};

// Connections wait here only until the admission loop takes them, but a
// burst of them must not find the queue full (the peer would retry its
// connect a second later).
constexpr int kBacklog = 1024;

int listenOn(const std::string &addr, int port, Listener &l) {
    int version = ipVersionOfAddress(addr.c_str());
    if (version == 6) {
        struct in6_addr a6;
        if (inet_pton(AF_INET6, addr.c_str(), &a6) != 1)
            return -1;
        l.fd = get_tcp6_socket();
        if (l.fd < 0)
            return -1;
        if (bind_tcp6_socket(l.fd, &a6, htons(static_cast<uint16_t>(port)), 1) != 0 ||
            listen_for_tcp6_connection(l.fd, kBacklog) != 0) {
            close(l.fd);
            return -1;
        }
    } else if (version == 4) {
        struct in_addr a4;
        if (inet_pton(AF_INET, addr.c_str(), &a4) != 1)
            return -1;
        l.fd = get_tcp_socket();
        if (l.fd < 0)
            return -1;
        if (bind_tcp_socket(l.fd, a4.s_addr, htons(static_cast<uint16_t>(port)), 1) != 0 ||
            listen_for_tcp_connection(l.fd, kBacklog) != 0) {
            close(l.fd);
            return -1;
        }
    } else {
        return -1;
    }
    l.version = version;
    fcntl(l.fd, F_SETFD, FD_CLOEXEC);
    return 1;
}

int boundPort(int fd) {
    struct sockaddr_storage ss {};
    socklen_t len = sizeof ss;
    if (getsockname(fd, reinterpret_cast<sockaddr *>(&ss), &len) != 0)
        return -1;
    if (ss.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<sockaddr_in6 *>(&ss)->sin6_port);
    return ntohs(reinterpret_cast<sockaddr_in *>(&ss)->sin_port);
}

std::string peerText(const qelSession_t *s) {
    char buf[INET6_ADDRSTRLEN] = "?";
    if (s->ipVersion == 6)
        inet_ntop(AF_INET6, &s->remIp6, buf, sizeof buf);
    else
        inet_ntop(AF_INET, &s->remIp, buf, sizeof buf);
    return buf;
}

bool sendReply(qelSession_t *s, qelPdu_t &reply, QelReplyStream &stream, std::vector<char> &spill,
               const std::string &peer) {
    // In pieces: a large value a handler handed to the stream is sent from
    // where it was written.
    QelReplyStream::Parts parts{};
    int len = stream.buildParts(parts, spill);
    if (len == -2) {
        // No client could read it: say so, with no bindings.
        qelhost::logfLimited("session from %s: reply larger than %zu bytes answered tooBig", peer.c_str(),
                             stream.limit());
        qelPduCleanup(&reply);
        reply.numberVariables = 0;
        if (qelSendErrorResponseFatal(s, reply.messageID, tooBig, 0) != 1)
            return false;
        qelStatsAdd(outResponses, 1);
        return true;
    }
    if (len <= 0 || qelSendMessageParts(s, parts.data, parts.len, parts.count) != 1)
        return false;
    qelStatsAdd(outResponses, 1);
    qelStatsAdd(outTotalReqVars, reply.numberVariables);
    return true;
}

// Each session thread allocates from its own malloc arena, which keeps what
// a large request or reply freed: hand it back once sessions are quiet
// (idle:: below), so the agent's footprint returns to its idle size after
// bursts of sessions.
//
// Only glibc's allocator is tuned and trimmed: under a sanitizer, whose
// allocator replaces it, glibc's arenas are never set up for the session
// threads, and trimming them from a thread leaves glibc's accounting wrong
// (its assertion then aborts the agent when such a thread ends).
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kGlibcAllocator = false;
#else
constexpr bool kGlibcAllocator = true;
#endif

void releaseFreeMemory() {
    if (kGlibcAllocator)
        malloc_trim(0);
}

// What requests leave behind (what malloc's arenas hold free) is given back
// once the agent has been idle for a moment, not at the end of every
// session: a run of requests reuses it. So the memory of a burst of
// sessions, hostile or not, is gone a quarter of a second after the burst.
namespace idle {
constexpr auto kQuiet = std::chrono::milliseconds(250);

std::atomic<uint64_t> activity{0};
std::atomic<bool> pending{false};
std::mutex lock;
std::condition_variable wake;

// A request or session ended (or a burst of handshakes): release once the
// agent has been quiet for kQuiet.
void touched() {
    activity.fetch_add(1, std::memory_order_relaxed);
    if (!pending.exchange(true)) {
        std::lock_guard guard(lock);
        wake.notify_one();
    }
}

void run() {
    pthread_setname_np(pthread_self(), "qeld-idle");
    for (;;) {
        {
            std::unique_lock l(lock);
            while (!pending.load() && !stopping.load())
                wake.wait_for(l, std::chrono::seconds(1));
        }
        if (stopping.load())
            return;
        pending.store(false);
        for (;;) {
            const uint64_t seen = activity.load();
            std::this_thread::sleep_for(kQuiet);
            if (stopping.load())
                return;
            if (activity.load() == seen && busyRequests.load() == 0)
                break;
        }
        releaseFreeMemory();
    }
}

// Started before the agent says it is ready, so that its thread is part of
// the idle agent.
void start() {
    std::thread(run).detach();
}
} // namespace idle

// The C library keeps the stacks of ended threads for reuse, with every page
// a session touched (deep TLS and XML calls) still resident: after a burst of
// sessions that is tens of KiB per thread. Give back what lies below the
// current frame before the thread ends. The margin keeps this call's own
// callees on pages that stay.
[[gnu::noinline]] void releaseUnusedStack() {
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0)
        return;
    void *base = nullptr;
    size_t size = 0;
    int rc = pthread_attr_getstack(&attr, &base, &size);
    pthread_attr_destroy(&attr);
    if (rc != 0 || !base)
        return;
    char here;
    const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    const uintptr_t low = (reinterpret_cast<uintptr_t>(base) + page - 1) & ~(page - 1);
    const uintptr_t keepFrom = (reinterpret_cast<uintptr_t>(&here) - 64 * 1024) & ~(page - 1);
    if (keepFrom > low)
        madvise(reinterpret_cast<void *>(low), keepFrom - low, MADV_DONTNEED);
}

void runSession(qelSession_t *s) {
    std::string peer = peerText(s);
    bool authenticated = qelIsSessionAuthenticated(s) == 1;
    qelhost::logfDebug("session from %s opened%s", peer.c_str(), authenticated ? "" : " (anonymous, read only)");
    qelSessionSetIoTimeout(s, opts.idleTimeout);
    std::vector<char> buf;
    while (!stopping) {
        int n = qelRecvMessageMax(s, opts.maxMessage);
        if (n == -2 || n == -3) {
            // The stream cannot be trusted past a refused header: answer once
            // and close.
            qelhost::logfLimited("session from %s: %s, closed", peer.c_str(),
                                 n == -2 ? "request larger than the limit" : "malformed wire header");
            if (qelSendErrorResponseFatal(s, 0, n == -2 ? tooBig : parseError, 0) == 1)
                qelStatsAdd(outResponses, 1);
            break;
        }
        if (n <= 0)
            break;
        qelPdu_t req{};
        int parsed = parseQelMessageMax(reinterpret_cast<const char *>(s->recvBuf), n, &req,
                                        static_cast<uint32_t>(opts.maxVariables));
        if (parsed != 1) {
            if (parsed == -2)
                qelhost::logfLimited("session from %s: request with more than %d variables refused", peer.c_str(),
                                     opts.maxVariables);
            else
                qelStatsAdd(inXmlParseErrs, 1);
            qelPduCleanup(&req);
            if (qelSendErrorResponseFatal(s, req.messageID, parsed == -2 ? tooBig : parseError, 0) != 1)
                break;
            qelStatsAdd(outResponses, 1);
            continue;
        }
        ++busyRequests;
        qelPdu_t reply{};
        // Table rows go out as text as the handler produces them.
        QelReplyStream stream(&reply);
        stream.setLimit(static_cast<size_t>(opts.maxReply));
        bool answer = qelhost::dispatch(&req, &reply, authenticated, peer.c_str());
        bool ok = !answer || sendReply(s, reply, stream, buf, peer);
        qelPduCleanup(&reply);
        qelPduCleanup(&req);
        --busyRequests;
        idle::touched();
        if (!ok)
            break;
    }
    qelhost::logfDebug("session from %s closed", peer.c_str());
    destroyQelSession(s);
}

// A session thread's top: what a session throws ends that session only.
void serveSession(qeld::Handshaken h) {
    qel::guardedVoid("session thread", [&] {
        if (qelSession_t *s = qeld::openSession(h))
            runSession(s);
    });
    releaseUnusedStack();
    --activeSessions;
    idle::touched();
}

// Every slot is held by a verified session: a new connection could not be
// served, so it is closed before any handshake work.
bool sessionsFull() {
    if (activeSessions.load() < opts.maxSessions)
        return false;
    qelhost::logfLimited("session limit %d reached, connection refused", opts.maxSessions);
    return true;
}

// Called by the admission loop with a session whose handshake is done: only
// now does the connection take a session slot and a thread.
void admitSession(qeld::Handshaken &&h) {
    if (!h.authenticated && !opts.allowAnonymous) {
        qelhost::logfLimited("session from %s refused: no client certificate", h.peerText.c_str());
        qelStatsAdd(inAuthenErrors, 1);
        qeld::refuse(h);
        return;
    }
    if (activeSessions.load() >= opts.maxSessions) {
        qelhost::logfLimited("session limit %d reached, session from %s refused", opts.maxSessions, h.peerText.c_str());
        qeld::refuse(h);
        return;
    }
    ++activeSessions;
    try {
        std::thread(serveSession, h).detach();
    } catch (const std::exception &) {
        qelhost::logfLimited("cannot start a session thread, session from %s refused", h.peerText.c_str());
        qeld::refuse(h);
        --activeSessions;
    }
}

// Every pending handshake holds a descriptor: take what the system allows.
void raiseDescriptorLimit() {
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rl.rlim_max) {
        rl.rlim_cur = rl.rlim_max;
        setrlimit(RLIMIT_NOFILE, &rl);
    }
}

void daemonize() {
    pid_t pid = fork();
    if (pid < 0) {
        qel::logError("qeld: fork: %s\n", std::strerror(errno));
        std::exit(1);
    }
    if (pid > 0)
        _exit(0);
    setsid();
    pid = fork();
    if (pid < 0)
        std::exit(1);
    if (pid > 0)
        _exit(0);
    int null = open("/dev/null", O_RDONLY);
    if (null >= 0) {
        dup2(null, 0);
        close(null);
    }
    // Plug-ins talk on the standard streams: keep what they say in the log.
    int log = open(opts.logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (log >= 0) {
        dup2(log, 1);
        dup2(log, 2);
        close(log);
    }
}

void writeFile(const std::string &name, long value) {
    FILE *f = std::fopen(name.c_str(), "w");
    if (!f)
        return;
    std::fprintf(f, "%ld\n", value);
    std::fclose(f);
}

// Makes the paths of the options absolute and enters the home directory.
bool enterHome() {
    struct stat st;
    if (stat(opts.homeDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        qel::logError("qeld: home directory %s not found\n", opts.homeDir.c_str());
        return false;
    }
    opts.homeDir = absolute(opts.homeDir);
    if (opts.pluginDir.empty())
        opts.pluginDir = defaultPluginDir();
    opts.pluginDir = absolute(opts.pluginDir);
    for (auto &p : opts.plugins)
        if (p.find('/') != std::string::npos)
            p = absolute(p);
    if (opts.logFile.empty())
        opts.logFile = opts.homeDir + "/qeld.log";
    else
        opts.logFile = opts.logFile[0] == '/' ? opts.logFile : absolute(".") + "/" + opts.logFile;
    if (chdir(opts.homeDir.c_str()) != 0) {
        qel::logError("qeld: chdir: %s\n", std::strerror(errno));
        return false;
    }
    return true;
}

// The CA file must be in the home before anything is bound: without it the
// agent can neither enrol nor verify a client.
bool haveCaFile() {
    if (access(KESTROVA_CA_FILE, R_OK) == 0)
        return true;
    qel::logError(
        "qeld: no readable CA file %s in %s: the agent needs the suite's CA there to\n"
        "make and check its certificates. Create one with 'qelca init DIR' (on the\n"
        "machine that keeps the CA) and copy DIR/%s into %s with mode 0600,\n"
        "or start qeld with -H naming a directory that has it.\n",
        KESTROVA_CA_FILE, opts.homeDir.c_str(), KESTROVA_CA_FILE, opts.homeDir.c_str());
    return false;
}

void tuneProcess() {
    std::signal(SIGPIPE, SIG_IGN);
    raiseDescriptorLimit();
    // Fixed thresholds: glibc would otherwise raise both after the first
    // large buffer is freed, and session threads' arenas would then keep
    // tens of MiB each for the life of the agent.
    // One malloc arena per processor rather than glibc's eight: a burst of
    // sessions otherwise leaves a dozen arenas each holding fragments that
    // trimming cannot return, and the footprint never comes back to idle.
    if (kGlibcAllocator) {
        mallopt(M_MMAP_THRESHOLD, 256 * 1024);
        mallopt(M_TRIM_THRESHOLD, 1024 * 1024);
        mallopt(M_ARENA_MAX, static_cast<int>(std::max(2L, sysconf(_SC_NPROCESSORS_ONLN))));
    }
}

// Binds every listen address on one port; returns that port, or -1.
int openListeners(std::vector<Listener> &listeners) {
    std::vector<std::string> addrs = opts.listen;
    bool defaults = addrs.empty();
    if (defaults)
        addrs = {"0.0.0.0", "::"};
    int port = opts.port;
    for (const auto &a : addrs) {
        Listener l;
        if (listenOn(a, port, l) != 1) {
            qel::logError("qeld: cannot listen on %s port %d: %s\n", a.c_str(), port, std::strerror(errno));
            if (defaults)
                continue; // a host without IPv6 still serves IPv4
            return -1;
        }
        if (port == 0)
            port = boundPort(l.fd); // every address on the same port
        listeners.push_back(l);
    }
    return listeners.empty() ? -1 : port;
}

// Drops to --user when given, then enrols the agent into the suite's CA on
// its first start.
bool becomeAgent() {
    // Bound (a port below 1024 needs root): from here on the agent needs
    // only its capabilities, and every file it makes belongs to the user.
    if (!opts.user.empty()) {
        std::string why;
        if (!qeld::dropPrivileges(opts.user, why)) {
            qel::logError("qeld: --user %s: %s\n", opts.user.c_str(), why.c_str());
            return false;
        }
    }
    char fqdn[512];
    if (get_fqdn(fqdn, sizeof fqdn) != 1 || init_ssl_stuff(fqdn, "qeld.pem", "qeld.csr") != 1 || !ctx) {
        qel::logError("qeld: cannot set up TLS in %s\n", opts.homeDir.c_str());
        return false;
    }
    return true;
}

void configureHost(int port) {
    qelhost::Config cfg;
    cfg.homeDir = opts.homeDir;
    cfg.pluginDir = opts.pluginDir;
    cfg.logFile = opts.logFile;
    cfg.debugLevel = opts.debugLevel;
    qelhost::configure(cfg);
    qelhost::setTrapSinks(opts.sinks);
    qeld::setServerInfo({port});
}

// Signals are taken by one thread; every other thread, plug-ins' too,
// inherits the blocked mask.
void watchStopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::thread([set]() {
        int sig = 0;
        sigwait(&set, &sig);
        stopping = true;
    }).detach();
}

void startPlugins(int port) {
    qelhost::logf("qeld %s starting in %s, port %d, plug-ins from %s", QELD_VERSION, opts.homeDir.c_str(), port,
                  opts.pluginDir.c_str());
    qelhost::startTraps();
    idle::start();
    if (qeld::initCoreModule() != 1)
        qelhost::logf("core module: registration failed");
    qeld::loadPlugins(pluginPaths());
    qelhost::logf("qeld ready, %zu plug-ins, %zu variables", qeld::plugins().size(), qelhost::varCount());
    std::fflush(stdout);
}

// Admits sessions until a stop signal.
void serve(const std::vector<Listener> &listeners) {
    std::vector<int> listenFds;
    for (const auto &l : listeners)
        listenFds.push_back(l.fd);
    qeld::AdmissionLimits limits;
    limits.maxHandshakes = opts.maxHandshakes;
    limits.maxPerSource = opts.maxHandshakesPerSource;
    limits.timeoutSeconds = opts.handshakeTimeout;
    qeld::AdmissionHooks hooks;
    hooks.admit = admitSession;
    hooks.full = sessionsFull;
    hooks.quiet = idle::touched;
    qeld::runAdmission(listenFds, limits, hooks, stopping);
    for (const auto &l : listeners)
        close(l.fd);
}

[[noreturn]] void shutDown() {
    qelhost::logf("qeld stopping");
    qeld::finishPlugins();
    for (int i = 0; i < 500 && busyRequests.load() > 0; ++i)
        usleep(10000);
    qelhost::waitTrapsIdle(2000);
    qelhost::stopTraps();
    qelhost::logf("qeld stopped");
    qelhost::closeLog();
    std::fflush(stdout);
    std::fflush(stderr);
    unlink("qeld.pid");
    // Session and plug-in threads may still run: leave without destructors.
    _exit(0);
}

} // namespace

int main(int argc, char **argv) {
    if (parseOptions(argc, argv) != 1) {
        usage(stderr);
        return 2;
    }
    // -d sets the agent's own level too: its session lines are debug.
    qel::setLogDebug(opts.debugLevel != 0);
    if (!enterHome() || !haveCaFile())
        return 1;
    tuneProcess();
    std::vector<Listener> listeners;
    int port = openListeners(listeners);
    if (port < 0 || !becomeAgent())
        return 1;
    if (!opts.foreground)
        daemonize();
    writeFile("qeld.pid", getpid());
    writeFile("qeld.port", port);
    configureHost(port);
    watchStopSignals();
    startPlugins(port);
    serve(listeners);
    shutDown();
}
