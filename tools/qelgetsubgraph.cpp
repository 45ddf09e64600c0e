// qelgetsubgraph: fetches the dependency graph an agent's kestrova plug-in
// has built and writes it, as GraphML, to a local file.
#include <fcntl.h>
#include <libgen.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>

#include "qel/base64.h"
#include "qel/qel.h"
#include "qel/qel_session.h"
#include "qel/ssl_utils.h"
#include "qel/version.h"
#include "graph_render.h"

namespace {

__attribute__((used)) const char versionMarker[] = "TarnVersion 1.100";

constexpr int kDefaultPort = 5270;
constexpr int kDefaultTimeout = 10;
constexpr const char *kProg = "qelgetsubgraph";

void usage(FILE *out, const char *prog) {
    std::fprintf(out, "usage: %s [-4|6] [--timeout SECONDS] host[,port] authenUser graphfile\n", prog);
    std::fprintf(out, "host is either hostname, IPv4 address, or IPv6 address\n");
}

void help(const char *prog) {
    usage(stdout, prog);
    std::printf(
        "       %s [-4|6] [--svg FILE] [--dot FILE] host[,port] authenUser [graphfile]\n"
        "       %s --from GRAPHML [--svg FILE] [--dot FILE]\n",
        prog, prog);
    std::printf(
        "\nAsks the agent's kestrova plug-in for numGraphNodes, numGraphEdges and subGraph,\n"
        "prints the counts on standard error and writes the decoded GraphML to graphfile.\n"
        "  -4, -6      connect over IPv4 / IPv6 only\n"
        "  --svg FILE  also draw the graph as SVG into FILE (graphfile then optional)\n"
        "  --dot FILE  also write the graph as a Graphviz DOT description into FILE\n"
        "  --from GRAPHML  draw a GraphML file written earlier instead of asking an agent\n"
        "  --timeout SECONDS  bound on the connect with its handshake and on the reply\n"
        "              (default 10)\n"
        "  --version   print the versions of the suite and its libraries\n"
        "  ,port       agent port (default %d)\n"
        "Files in the current directory: qelgetsubgraph.pem, qelgetsubgraph.csr and the\n"
        "CA file kestrova.pem.\n"
        "A regular graphfile is replaced only by a complete graph; anything else (such as\n"
        "/dev/stdout) is written directly.\n"
        "Exit status: 0 graph written; 1 no graph written (the reason on standard error);\n"
        "255 usage error, TLS set-up failure or no connection.\n",
        kDefaultPort);
}

struct FreeDeleter {
    void operator()(char *p) const { std::free(p); }
};

// Writes all of data to fd; false with errno set on failure.
bool writeAll(int fd, const char *data, size_t len) {
    while (len > 0) {
        ssize_t n = write(fd, data, len);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

// Writes the graph to path: a regular file (or a new one) by way of a
// temporary file beside it that replaces it only once written whole and
// checked, so a failed run leaves the previous graph in place; anything
// else (a terminal, a pipe, /dev/stdout) directly. On failure the reason is
// left in `why`.
bool writeGraph(const char *path, const char *data, size_t len, std::string &why) {
    std::string target = path;
    struct stat st;
    bool exists = stat(path, &st) == 0;
    if (exists && !S_ISREG(st.st_mode)) {
        int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (fd < 0) {
            why = std::strerror(errno);
            return false;
        }
        bool ok = writeAll(fd, data, len);
        int err = errno;
        if (close(fd) != 0 && ok) {
            ok = false;
            err = errno;
        }
        if (!ok)
            why = std::strerror(err);
        return ok;
    }
    struct stat lst;
    if (exists && lstat(path, &lst) == 0 && S_ISLNK(lst.st_mode)) {
        // Replace the file the link names, not the link.
        std::unique_ptr<char, FreeDeleter> real(realpath(path, nullptr));
        if (!real) {
            why = std::strerror(errno);
            return false;
        }
        target = real.get();
    }
    std::string dir = target;
    std::string tmp = std::string(dirname(dir.data())) + "/.";
    std::string base = target;
    tmp += basename(base.data());
    tmp += ".XXXXXX";
    int fd = mkstemp(tmp.data());
    if (fd < 0) {
        why = std::string("cannot create a file beside it: ") + std::strerror(errno);
        return false;
    }
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    mode_t mode;
    if (exists) {
        mode = st.st_mode & 07777;
    } else {
        mode_t mask = umask(0);
        umask(mask);
        mode = 0666 & ~mask;
    }
    bool ok = fchmod(fd, mode) == 0 && writeAll(fd, data, len);
    int err = errno;
    struct stat written;
    if (ok && (fstat(fd, &written) != 0 || static_cast<size_t>(written.st_size) != len)) {
        ok = false;
        err = errno ? errno : EIO;
    }
    if (close(fd) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (ok && rename(tmp.c_str(), target.c_str()) != 0) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        unlink(tmp.c_str());
        why = std::strerror(err);
    }
    return ok;
}

int noGraph(const char *file, const std::string &why) {
    std::fprintf(stderr, "%s: no graph written to %s: %s\n", kProg, file ? file : "any file", why.c_str());
    return 1;
}

// The pictures asked for with --svg and --dot.
struct Pictures {
    const char *svg = nullptr;
    const char *dot = nullptr;
    bool any() const { return svg || dot; }
};

// Draws the GraphML text into the pictures asked for; 0, or 1 after saying
// why a picture was not written.
int drawPictures(const Pictures &pictures, const char *graphml, size_t len) {
    graphrender::Graph graph;
    std::string why;
    std::string dot, svg;
    const char *first = pictures.svg ? pictures.svg : pictures.dot;
    if (!graphrender::parseGraphml(graphml, len, graph, why) ||
        !graphrender::render(graph, pictures.dot ? &dot : nullptr, pictures.svg ? &svg : nullptr, why))
        return noGraph(first, why);
    int status = 0;
    if (pictures.dot && !writeGraph(pictures.dot, dot.data(), dot.size(), why))
        status = noGraph(pictures.dot, why);
    if (pictures.svg && !writeGraph(pictures.svg, svg.data(), svg.size(), why))
        status = noGraph(pictures.svg, why);
    return status;
}

// --from: the pictures of a GraphML file, no agent involved.
int drawFromFile(const char *from, const Pictures &pictures) {
    FILE *fp = std::fopen(from, "rb");
    if (!fp)
        return noGraph(nullptr, std::string("cannot open ") + from + ": " + std::strerror(errno));
    std::string text;
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, fp)) > 0)
        text.append(buf, n);
    const bool failed = std::ferror(fp);
    std::fclose(fp);
    if (failed)
        return noGraph(nullptr, std::string("cannot read ") + from);
    return drawPictures(pictures, text.data(), text.size());
}

// Asks for the graph and its counts, and writes the graph file and the
// pictures. Returns the exit status: 0, or 1 after saying why not.
int fetchGraph(qelSession_t *s, const char *graphFile, const Pictures &pictures, int timeout) {
    qelPdu_t request;
    qelPdu_t reply;
    std::memset(&request, 0, sizeof request);
    std::memset(&reply, 0, sizeof reply);
    request.msgType = GetRequest;
    request.messageID = static_cast<int64_t>(std::time(nullptr));
    request.errorStatus = noError;
    request.errorIndex = 0;
    // The file the messages name when nothing could be written.
    const char *target = graphFile ? graphFile : pictures.svg ? pictures.svg : pictures.dot;
    char why[320];
    int status = 0;
    if (!qelAddVariable(&request, "kestrova", "numGraphNodes", "", nullSyntax, nullptr) ||
        !qelAddVariable(&request, "kestrova", "numGraphEdges", "", nullSyntax, nullptr) ||
        !qelAddVariable(&request, "kestrova", "subGraph", "", nullSyntax, nullptr)) {
        status = noGraph(target, "out of memory");
    } else if (int rc = qelTransaction(s, &request, &reply); rc < 0) {
        std::fprintf(stderr, "%s: transaction failed, %d\n", kProg, rc);
        status = noGraph(target, qelLastFailureText(why, sizeof why, timeout));
    } else if (reply.errorStatus != noError) {
        char text[64] = "";
        errorStatusToString(reply.errorStatus, text, sizeof text);
        status = noGraph(target, std::string("the agent answered ") + (text[0] ? text : "an error") + ", index " +
                                     std::to_string(reply.errorIndex));
    } else if (reply.numberVariables != 3 || !reply.varList || !reply.varList->next || !reply.varList->next->next) {
        status =
            noGraph(target, "the reply holds " + std::to_string(reply.numberVariables) + " variables instead of 3");
    } else {
        const qelVariable_t *nodes = reply.varList;
        const qelVariable_t *edges = nodes->next;
        qelVariable_t *graph = edges->next;
        if (std::strcmp(nodes->varName.objName, "numGraphNodes") == 0)
            std::fprintf(stderr, "%s: nodes %s\n", kProg, nodes->valueBuf ? nodes->valueBuf : nodes->valueStr);
        if (std::strcmp(edges->varName.objName, "numGraphEdges") == 0)
            std::fprintf(stderr, "%s: edges %s\n", kProg, edges->valueBuf ? edges->valueBuf : edges->valueStr);
        if (std::strcmp(graph->varName.objName, "subGraph") != 0) {
            status =
                noGraph(target, std::string("the third variable is '") + graph->varName.objName + "', not subGraph");
        } else {
            // Decoded in place: the text is no longer needed.
            char *text = graph->valueBuf ? graph->valueBuf : graph->valueStr;
            std::string whyNot;
            if (graph->valueStrLen <= 0) {
                status = noGraph(target, "the subgraph is empty");
            } else {
                // The document is a C string: it ends at its first NUL.
                base64_decode_into(text, graph->valueStrLen, text);
                const size_t docLen = std::strlen(text);
                if (graphFile && !writeGraph(graphFile, text, docLen, whyNot))
                    status = noGraph(graphFile, whyNot);
                if (pictures.any() && drawPictures(pictures, text, docLen) != 0)
                    status = 1;
            }
        }
    }
    qelPduCleanup(&reply);
    qelPduCleanup(&request);
    return status;
}

// Splits "host,port" in place; false after saying what is wrong.
bool splitHostPort(std::string &host, int &port) {
    auto comma = host.find(',');
    if (comma == std::string::npos)
        return true;
    std::string portText = host.substr(comma + 1);
    host.resize(comma);
    char *end = nullptr;
    long p = std::strtol(portText.c_str(), &end, 10);
    if (portText.empty() || *end || p <= 0 || p > 65535) {
        std::fprintf(stderr, "%s: invalid port '%s'\n", kProg, portText.c_str());
        return false;
    }
    port = static_cast<int>(p);
    return true;
}

// The value of --timeout; false after saying what is wrong.
bool readTimeout(const char *text, int &timeout) {
    char *end = nullptr;
    long t = std::strtol(text, &end, 10);
    if (!*text || *end || t <= 0 || t > 86400) {
        std::fprintf(stderr, "%s: --timeout needs whole seconds from 1 to 86400, not '%s'\n", kProg, text);
        return false;
    }
    timeout = static_cast<int>(t);
    return true;
}

} // namespace

int main(int argc, char **argv) {
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        help(argv[0]);
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0)
        return qel::printVersion(kProg);
    if (argc < 3) {
        usage(stderr, argv[0]);
        return -1;
    }
    // A file-size limit is reported as a failed write, not a killed process.
    signal(SIGXFSZ, SIG_IGN);

    int i = 1;
    int ipVersion = 0;
    if (std::strcmp(argv[i], "-4") == 0) {
        ipVersion = 4;
        ++i;
    }
    if (i < argc && std::strcmp(argv[i], "-6") == 0 && (i == 1 || ipVersion == 4)) {
        ipVersion = 6;
        ++i;
    }
    Pictures pictures;
    const char *from = nullptr;
    int timeout = kDefaultTimeout;
    for (; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--timeout") == 0) {
            if (!readTimeout(argv[i + 1], timeout))
                return -1;
        } else if (std::strcmp(argv[i], "--svg") == 0)
            pictures.svg = argv[i + 1];
        else if (std::strcmp(argv[i], "--dot") == 0)
            pictures.dot = argv[i + 1];
        else if (std::strcmp(argv[i], "--from") == 0)
            from = argv[i + 1];
        else
            break;
    }
    if (i < argc && argv[i][0] == '-' && argv[i][1] != '\0') {
        std::fprintf(stderr, "%s: unknown option or option without its value '%s'\n", kProg, argv[i]);
        usage(stderr, argv[0]);
        return -1;
    }
    if (from) {
        if (!pictures.any() || i != argc || ipVersion) {
            std::fprintf(stderr, "%s: --from takes --svg FILE and/or --dot FILE and nothing else\n", kProg);
            return -1;
        }
        return drawFromFile(from, pictures);
    }
    // The options may have used up what the count check let through; the
    // GraphML file may be left out when a picture is asked for.
    if (argc - i < (pictures.any() ? 2 : 3)) {
        int left = argc - i;
        std::fprintf(stderr, "%s: missing %s\n", kProg,
                     left < 1   ? "host, user and graph file"
                     : left < 2 ? "user and graph file"
                                : "graph file");
        usage(stderr, argv[0]);
        return -1;
    }

    // One fetch per run: the next run to the same agent resumes this run's
    // TLS session instead of a full handshake.
    ssl_keep_session_file("qelgetsubgraph.session");
    char fqdn[512];
    if (get_fqdn(fqdn, sizeof fqdn) != 1 || init_ssl_stuff(fqdn, "qelgetsubgraph.pem", "qelgetsubgraph.csr") != 1) {
        std::fprintf(stderr, "Unable to initialize SSL facilities\n");
        return -1;
    }

    std::string host = argv[i++];
    int port = kDefaultPort;
    if (!splitHostPort(host, port))
        return -1;
    const char *user = argv[i++];
    const char *graphFile = i < argc ? argv[i++] : nullptr;
    // The connect and its handshake share one bound, the reply has its own.
    char why[320];
    qelSession_t *s = newQelSessionConnectHostnameWithin(host.c_str(), ipVersion, port, timeout, user, timeout * 1000);
    if (!s) {
        std::fprintf(stderr, "%s: failed to connect to %s,%d: %s\n", kProg, host.c_str(), port,
                     qelLastFailureText(why, sizeof why, timeout));
        return -1;
    }
    qelSessionSetDeadline(s, timeout * 1000);
    std::fprintf(stderr, "%s: connected via IPv%d to %s,%d\n", kProg, s->ipVersion, host.c_str(), port);

    int status = fetchGraph(s, graphFile, pictures, timeout);
    destroyQelSession(s);
    return status;
}
