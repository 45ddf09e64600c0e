// qelquery: sends QEL requests read from files to an agent and prints the
// replies.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "qel/qel.h"
#include "qel/qel_session.h"
#include "qel/ssl_utils.h"
#include "qel/version.h"
#ifdef _WIN32
#include <winsock2.h>
#endif
#include "qel_json.h"

namespace {

__attribute__((used)) const char versionMarker[] = "TarnVersion 1.1000";

constexpr int kDefaultPort = 5270;
constexpr int kDefaultTimeout = 10;

void usage(FILE *out, const char *prog) {
    std::fprintf(out, "usage: %s [-4|6] [-xml] [--timeout SECONDS] host[,port] authenUser queryfile [queryfile]\n",
                 prog);
    std::fprintf(out, "host is either hostname, IPv4 address, or IPv6 address\n");
}

void help(const char *prog) {
    usage(stdout, prog);
    std::printf("       %s [-4|6] -json host[,port] authenUser queryfile [queryfile]\n", prog);
    std::printf(
        "\nSends each queryfile (one QEL message as XML) to the agent and prints the replies.\n"
        "  -4, -6      connect over IPv4 / IPv6 only\n"
        "  -xml        print each reply as XML\n"
        "  -json       print each reply as one JSON object per line\n"
        "  --timeout SECONDS\n"
        "              bound on the connect with its handshake and on each reply\n"
        "              (default %d)\n"
        "  --version   print the versions of the suite and its libraries\n"
        "  ,port       agent port (default %d)\n"
        "Exit status: 0 every reply printed with noError or noErrorMoreData; 1 a\n"
        "request without a reply or a reply with another error status; 255 usage,\n"
        "certificate or connection failure (the reason on standard error).\n"
        "Files in the current directory: qelquery.pem, qelquery.csr, qelquery.session and\n"
        "the CA file kestrova.pem.\n",
        kDefaultTimeout, kDefaultPort);
}

// Prints the reply as dumpInternalQelMessage would, but line by line as the
// bindings are read: a reply of a whole table never exists as records. The
// lines wait in memory until the count that heads them is known.
struct ReplyLines {
    std::string text;
    void add(const qelVariable_t *v) { qelAppendVariableLine(text, v); }
};

// Hands each binding of a reply to a collector; running out of memory ends
// the reply.
template <typename Collector>
int collect(const qelVariable_t *v, void *ctx) {
    try {
        static_cast<Collector *>(ctx)->add(v);
        return 1;
    } catch (const std::bad_alloc &) {
        std::fprintf(stderr, "qelquery: out of memory printing the reply\n");
        return 0;
    }
}

bool printStreamed(qelSession_t *s, qelPdu_t &request, qelPdu_t &reply) {
    ReplyLines lines;
    if (qelTransactionVisit(s, &request, &reply, collect<ReplyLines>, &lines) <= 0)
        return false;
    std::fflush(stderr);
    dumpInternalQelHeader(stdout, &reply);
    std::fwrite(lines.text.data(), 1, lines.text.size(), stdout);
    std::fflush(stdout);
    return true;
}

// One JSON object per reply, for scripts.
bool printStreamedJson(qelSession_t *s, qelPdu_t &request, qelPdu_t &reply) {
    QelJsonReply json;
    if (qelTransactionVisit(s, &request, &reply, collect<QelJsonReply>, &json) <= 0)
        return false;
    std::fflush(stderr);
    json.print(stdout, &reply);
    return true;
}

// The XML form, from the texts of the bindings rather than their records.
bool printStreamedXml(qelSession_t *s, qelPdu_t &request, qelPdu_t &reply) {
    QelXmlDump dump;
    if (qelTransactionVisit(s, &request, &reply, collect<QelXmlDump>, &dump) <= 0)
        return false;
    std::fflush(stderr);
    dump.print(&reply);
    return true;
}

enum class Format { plain, xml, json };

struct Options {
    int ipVersion = 0;
    Format format = Format::plain;
    int timeout = kDefaultTimeout;
    std::string host;
    int port = kDefaultPort;
    const char *user = nullptr;
    int firstFile = 0;
};

// A usage error: what was wrong, then the usage.
int usageError(const char *prog, const std::string &what) {
    std::fprintf(stderr, "qelquery: %s\n", what.c_str());
    usage(stderr, prog);
    return -1;
}

// Parses "-4", "-6", "-xml"/"-json" and "--timeout N" before the host, then
// host[,port] and the user. Returns 1 when the run goes on, else the exit
// status (0 after --help or --version).
int parseArgs(int argc, char **argv, Options &o, int &status) {
    int i = 1;
    bool sawFour = false;
    for (; i < argc && argv[i][0] == '-'; ++i) {
        std::string a = argv[i];
        if (a == "-4" && !sawFour && o.ipVersion == 0) {
            o.ipVersion = 4;
            sawFour = true;
        } else if (a == "-6" && o.ipVersion != 6 && (i == 1 || o.ipVersion == 4)) {
            o.ipVersion = 6;
        } else if (a == "-4" || a == "-6") {
            break; // "-6 -4": the second is taken as the host, as always
        } else if (a == "-xml" && o.format == Format::plain) {
            o.format = Format::xml;
        } else if (a == "-json" && o.format == Format::plain) {
            if (!qelJsonAvailable()) {
                std::fprintf(stderr, "qelquery: -json is not available in this build\n");
                status = -1;
                return 0;
            }
            o.format = Format::json;
        } else if (a == "--timeout" || a.rfind("--timeout=", 0) == 0) {
            std::string v = a == "--timeout" ? (i + 1 < argc ? argv[++i] : "") : a.substr(10);
            char *end = nullptr;
            long t = std::strtol(v.c_str(), &end, 10);
            if (v.empty() || *end || t <= 0 || t > 86400) {
                status = usageError(argv[0], "--timeout needs whole seconds from 1 to 86400, not '" + v + "'");
                return 0;
            }
            o.timeout = static_cast<int>(t);
        } else if (a == "--help" && argc == 2) {
            help(argv[0]);
            status = 0;
            return 0;
        } else if (a == "--version" && argc == 2) {
            status = qel::printVersion("qelquery");
            return 0;
        } else {
            status = usageError(argv[0], "unknown or repeated option '" + a + "'");
            return 0;
        }
    }
    if (argc - i < 3) {
        status = usageError(argv[0], argc - i < 1   ? "missing host, user and query file"
                                     : argc - i < 2 ? "missing user and query file"
                                                    : "missing query file");
        return 0;
    }
    o.host = argv[i++];
    auto comma = o.host.find(',');
    if (comma != std::string::npos) {
        std::string portText = o.host.substr(comma + 1);
        o.host.resize(comma);
        char *end = nullptr;
        long p = std::strtol(portText.c_str(), &end, 10);
        if (portText.empty() || *end || p <= 0 || p > 65535) {
            std::fprintf(stderr, "qelquery: invalid port '%s'\n", portText.c_str());
            status = -1;
            return 0;
        }
        o.port = static_cast<int>(p);
    }
    o.user = argv[i++];
    o.firstFile = i;
    return 1;
}

// One line saying why the last connect or exchange failed.
std::string failureText(int timeout) {
    char text[320];
    return qelLastFailureText(text, sizeof text, timeout);
}

// Sends one request file and prints its reply. Returns false when no reply
// was printed or the reply has an error status other than noError or
// noErrorMoreData.
bool query(qelSession_t *s, const char *file, const Options &o) {
    qelPdu_t request;
    qelPdu_t reply;
    std::memset(&request, 0, sizeof request);
    std::memset(&reply, 0, sizeof reply);
    // A file that cannot be read or parsed is skipped with its own message.
    if (parseQelMessageByFilename(file, &request) != 1) {
        qelPduCleanup(&request);
        return true;
    }
    qelSessionSetDeadline(s, o.timeout * 1000);
    bool printed = o.format == Format::json  ? printStreamedJson(s, request, reply)
                   : o.format == Format::xml ? printStreamedXml(s, request, reply)
                                             : printStreamed(s, request, reply);
    bool ok = printed && (reply.errorStatus == noError || reply.errorStatus == noErrorMoreData);
    if (!printed)
        std::fprintf(stderr, "qelquery: %s: %s\n", file, failureText(o.timeout).c_str());
    qelPduCleanup(&reply);
    qelPduCleanup(&request);
    return ok;
}

} // namespace

int main(int argc, char **argv) {
#ifdef _WIN32
    // Windows Sockets 2.2 before anything else.
    WSADATA wsaData;
    if (WSAStartup(MAKEWORD(2, 2), &wsaData) != 0) {
        std::perror("WSAStartup failed");
        WSACleanup();
        return -1;
    }
#endif
    Options o;
    int status = 0;
    if (argc < 2) {
        usage(stderr, argv[0]);
        return -1;
    }
    if (parseArgs(argc, argv, o, status) != 1)
        return status;

    // One query per run: the next run to the same agent resumes this run's
    // TLS session instead of a full handshake.
    ssl_keep_session_file("qelquery.session");
    char fqdn[512];
    if (get_fqdn(fqdn, sizeof fqdn) != 1 || init_ssl_stuff(fqdn, "qelquery.pem", "qelquery.csr") != 1) {
        std::fprintf(stderr, "Unable to initialize SSL facilities\n");
        return -1;
    }

    // The connect and its handshake share one bound; each reply gets its own.
    qelSession_t *s =
        newQelSessionConnectHostnameWithin(o.host.c_str(), o.ipVersion, o.port, o.timeout, o.user, o.timeout * 1000);
    if (!s) {
        std::fprintf(stderr, "qelquery: failed to connect to %s,%d: %s\n", o.host.c_str(), o.port,
                     failureText(o.timeout).c_str());
        return -1;
    }
    std::fprintf(stderr, "qelquery: connected via IPv%d to %s,%d\n", s->ipVersion, o.host.c_str(), o.port);

    bool allOk = true;
    for (int i = o.firstFile; i < argc; ++i)
        allOk = query(s, argv[i], o) && allOk;
#ifdef _WIN32
    // The Windows build exits with the result of destroying the session.
    int r = destroyQelSession(s);
    return allOk ? r : 1;
#else
    destroyQelSession(s);
    return allOk ? 0 : 1;
#endif
}
