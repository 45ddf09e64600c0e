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
#ifdef _WIN32
#include <winsock2.h>
#endif
#include "qel_json.h"

namespace {

__attribute__((used)) const char versionMarker[] = "TarnVersion 1.1000";

constexpr int kDefaultPort = 5270;
constexpr int kConnectTimeout = 3;

void usage(FILE *out, const char *prog) {
    std::fprintf(out, "usage: %s [-4|6] [-xml] host[,port] authenUser queryfile [queryfile]\n",
                 prog);
    std::fprintf(out, "host is either hostname, IPv4 address, or IPv6 address\n");
}

void help(const char *prog) {
    usage(stdout, prog);
    std::printf("       %s [-4|6] -json host[,port] authenUser queryfile [queryfile]\n", prog);
    std::printf("\nSends each queryfile (one QEL message as XML) to the agent and prints the replies.\n"
                "  -4, -6      connect over IPv4 / IPv6 only\n"
                "  -xml        print each reply as XML\n"
                "  -json       print each reply as one JSON object per line\n"
                "  ,port       agent port (default %d)\n"
                "Files in the current directory: qelquery.pem, qelquery.csr, qelquery.session and\n"
                "the CA file kestrova.pem.\n",
                kDefaultPort);
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
template <typename Collector> int collect(const qelVariable_t *v, void *ctx) {
    try {
        static_cast<Collector *>(ctx)->add(v);
        return 1;
    } catch (const std::bad_alloc &) {
        std::fprintf(stderr, "qelquery: out of memory printing the reply\n");
        return 0;
    }
}

void printStreamed(qelSession_t *s, qelPdu_t &request, qelPdu_t &reply) {
    ReplyLines lines;
    if (qelTransactionVisit(s, &request, &reply, collect<ReplyLines>, &lines) > 0) {
        std::fflush(stderr);
        dumpInternalQelHeader(stdout, &reply);
        std::fwrite(lines.text.data(), 1, lines.text.size(), stdout);
        std::fflush(stdout);
    }
}

// One JSON object per reply, for scripts.
void printStreamedJson(qelSession_t *s, qelPdu_t &request, qelPdu_t &reply) {
    QelJsonReply json;
    if (qelTransactionVisit(s, &request, &reply, collect<QelJsonReply>, &json) > 0) {
        std::fflush(stderr);
        json.print(stdout, &reply);
    }
}

// The XML form, from the texts of the bindings rather than their records.
void printStreamedXml(qelSession_t *s, qelPdu_t &request, qelPdu_t &reply) {
    QelXmlDump dump;
    if (qelTransactionVisit(s, &request, &reply, collect<QelXmlDump>, &dump) > 0) {
        std::fflush(stderr);
        dump.print(&reply);
    }
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
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        help(argv[0]);
        return 0;
    }
    if (argc < 4) {
        usage(stderr, argv[0]);
        return -1;
    }

    // One query per run: the next run to the same agent resumes this run's
    // TLS session instead of a full handshake.
    ssl_keep_session_file("qelquery.session");
    char fqdn[512];
    if (get_fqdn(fqdn, sizeof fqdn) != 1 ||
        init_ssl_stuff(fqdn, "qelquery.pem", "qelquery.csr") != 1) {
        std::fprintf(stderr, "Unable to initialize SSL facilities\n");
        return -1;
    }

    int i = 1;
    int ipVersion = 0;
    bool xml = false;
    bool json = false;
    if (std::strcmp(argv[i], "-4") == 0) {
        ipVersion = 4;
        ++i;
    }
    if (i < argc && std::strcmp(argv[i], "-6") == 0 && (i == 1 || ipVersion == 4)) {
        ipVersion = 6;
        ++i;
    }
    if (i < argc && std::strcmp(argv[i], "-xml") == 0) {
        xml = true;
        ++i;
    } else if (i < argc && std::strcmp(argv[i], "-json") == 0) {
        if (!qelJsonAvailable()) {
            std::fprintf(stderr, "qelquery: -json is not available in this build\n");
            return -1;
        }
        json = true;
        ++i;
    }
    // The options may have used up what the count check let through.
    if (argc - i < 3) {
        usage(stderr, argv[0]);
        return -1;
    }

    std::string host = argv[i++];
    int port = kDefaultPort;
    auto comma = host.find(',');
    if (comma != std::string::npos) {
        std::string portText = host.substr(comma + 1);
        host.resize(comma);
        char *end = nullptr;
        long p = std::strtol(portText.c_str(), &end, 10);
        if (portText.empty() || *end || p <= 0 || p > 65535) {
            std::fprintf(stderr, "qelquery: invalid port '%s'\n", portText.c_str());
            return -1;
        }
        port = static_cast<int>(p);
    }
    const char *user = argv[i++];

    qelSession_t *s =
        newQelSessionConnectHostname(host.c_str(), ipVersion, port, kConnectTimeout, user);
    if (!s) {
        std::fprintf(stderr, "qelquery: failed to connect to %s,%d\n", host.c_str(), port);
        return -1;
    }
    std::fprintf(stderr, "qelquery: connected via IPv%d to %s,%d\n", s->ipVersion, host.c_str(),
                 port);

    for (; i < argc; ++i) {
        qelPdu_t request;
        qelPdu_t reply;
        std::memset(&request, 0, sizeof request);
        std::memset(&reply, 0, sizeof reply);
        if (parseQelMessageByFilename(argv[i], &request) == 1) {
            if (json) {
                printStreamedJson(s, request, reply);
            } else if (xml) {
                printStreamedXml(s, request, reply);
            } else {
                printStreamed(s, request, reply);
            }
            qelPduCleanup(&reply);
        }
        qelPduCleanup(&request);
    }
#ifdef _WIN32
    // The Windows build exits with the result of destroying the session.
    return destroyQelSession(s);
#else
    destroyQelSession(s);
    return 0;
#endif
}
