// Socket and name-resolution helpers. Stateless and reentrant: look-ups go
// through getaddrinfo/getnameinfo only.
#include "qel/socklib.h"
#include "qel/log.h"
#include "qel/strutil.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

// ---------------------------------------------------------------------------
// Platform section: what differs between POSIX and Windows Sockets (the
// calls the session layer shares are in socklib_plat.h).
#include "socklib_plat.h"

namespace plat {
using namespace qelplat;
#ifdef _WIN32
// Windows goes to the wait whenever the connect does not complete at once.
inline bool connectInProgress(int) {
    return true;
}
inline bool bytesReadable(int s, int *n) {
    u_long v = 0;
    if (ioctlsocket(static_cast<SOCKET>(s), FIONREAD, &v) != 0)
        return false;
    *n = static_cast<int>(v);
    return true;
}
// Address text is recognised with the platform's own parser.
inline bool textToAddr(int family, const char *text, void *out) {
    sockaddr_storage ss{};
    int len = sizeof ss;
    char copy[INET6_ADDRSTRLEN + 64];
    qelCopyStr(copy, sizeof copy, text);
    if (WSAStringToAddressA(copy, family, nullptr, reinterpret_cast<sockaddr *>(&ss), &len) != 0)
        return false;
    if (family == AF_INET)
        std::memcpy(out, &reinterpret_cast<sockaddr_in *>(&ss)->sin_addr, sizeof(in_addr));
    else
        std::memcpy(out, &reinterpret_cast<sockaddr_in6 *>(&ss)->sin6_addr, sizeof(in6_addr));
    return true;
}
#else
// A failure without an error code is treated as still in progress, and so
// is an interrupted connect, which carries on in the background.
inline bool connectInProgress(int err) {
    return err == 0 || err == EINPROGRESS || err == EINTR;
}
inline bool bytesReadable(int s, int *n) {
    return ioctl(s, FIONREAD, n) == 0;
}
inline bool textToAddr(int family, const char *text, void *out) {
    return inet_pton(family, text, out) == 1;
}
#endif
} // namespace plat
// ---------------------------------------------------------------------------

namespace {

bool setIntOpt(int s, int level, int opt, int value) {
    return setsockopt(s, level, opt, reinterpret_cast<const char *>(&value), sizeof value) == 0;
}

sockaddr_in make4(uint32_t ipaddr, uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = ipaddr;
    sa.sin_port = port;
    return sa;
}

sockaddr_in6 make6(const in6_addr &ipaddr, uint16_t port) {
    sockaddr_in6 sa{};
    sa.sin6_family = AF_INET6;
    sa.sin6_addr = ipaddr;
    sa.sin6_port = port;
    return sa;
}

// Waits for events on up to two sockets for at most `seconds`, resuming
// after signals with the time that is left. Returns poll's result.
int waitFor(plat::pollfd_t *fds, unsigned n, int seconds) {
    using clock = std::chrono::steady_clock;
    const auto deadline = clock::now() + std::chrono::seconds(seconds > 0 ? seconds : 0);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now()).count();
        int rc = plat::poll(fds, n, left > 0 ? static_cast<int>(left) : 0);
        if (rc >= 0 || !plat::interrupted())
            return rc;
    }
}

int connectWithTimeout(int sock, const sockaddr *sa, socklen_t salen, int timeout) {
    if (!plat::setNonBlocking(sock, true))
        return -1;
    errno = 0;
    if (connect(sock, sa, salen) == 0) {
        plat::setNonBlocking(sock, false);
        return 1;
    }
    if (!plat::connectInProgress(plat::lastError()))
        return -1;

    plat::pollfd_t pfd{};
    pfd.fd = sock;
    pfd.events = POLLOUT;
    int rc = waitFor(&pfd, 1, timeout);
    // A refused connect shows as an error condition; where it does not, the
    // peer address of an unconnected socket cannot be read.
    if (rc <= 0 || !(pfd.revents & POLLOUT) || (pfd.revents & (POLLERR | POLLHUP | POLLNVAL)))
        return -1;
    sockaddr_storage peer{};
    socklen_t peerlen = sizeof peer;
    if (getpeername(sock, reinterpret_cast<sockaddr *>(&peer), &peerlen) != 0)
        return -1;
    plat::setNonBlocking(sock, false);
    return 1;
}

struct AddrInfo {
    addrinfo *list = nullptr;
    int rc = 0;
    AddrInfo(const char *node, int family, int socktype, int flags) {
        addrinfo hints{};
        hints.ai_family = family;
        hints.ai_socktype = socktype;
        hints.ai_flags = flags;
        rc = getaddrinfo(node, nullptr, &hints, &list);
        if (rc != 0)
            list = nullptr;
    }
    explicit AddrInfo(const char *node) {
        rc = getaddrinfo(node, nullptr, nullptr, &list);
        if (rc != 0)
            list = nullptr;
    }
    ~AddrInfo() {
        if (list)
            freeaddrinfo(list);
    }
    AddrInfo(const AddrInfo &) = delete;
    AddrInfo &operator=(const AddrInfo &) = delete;
    bool ok() const { return rc == 0 && list; }
};

// Host name of a socket address into a local buffer; false when none.
bool nameOf(const sockaddr *sa, socklen_t salen, int flags, char (&host)[NI_MAXHOST]) {
    return getnameinfo(sa, salen, host, sizeof host, nullptr, 0, flags) == 0;
}

// Common start of the four name-finding functions.
bool nameArgsOk(const char *addr, char *hostname, int maxlen) {
    if (!addr || !hostname || maxlen <= 4)
        return false;
    qelCopyStr(hostname, static_cast<size_t>(maxlen), addr);
    return true;
}

// Asks each answer in turn for its host name; the first success is stored.
void firstNameOfAnswers(const addrinfo *list, char *hostname, int maxlen) {
    char host[NI_MAXHOST];
    for (const addrinfo *ai = list; ai; ai = ai->ai_next) {
        if (nameOf(ai->ai_addr, static_cast<socklen_t>(ai->ai_addrlen), 0, host)) {
            qelCopyStr(hostname, static_cast<size_t>(maxlen), host);
            return;
        }
    }
}

void formatIpv6(const in6_addr &a, char (&buf)[QEL_IPV6_TEXT_LEN + 1]) {
    const unsigned char *b = reinterpret_cast<const unsigned char *>(&a);
    std::snprintf(buf, sizeof buf, "%02x%02x:%02x%02x:%02x%02x:%02x%02x:%02x%02x:%02x%02x:%02x%02x:%02x%02x", b[0],
                  b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
}

} // namespace

extern "C" {

int get_udp_socket(void) {
    return static_cast<int>(socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
}
int get_udp6_socket(void) {
    return static_cast<int>(socket(AF_INET6, SOCK_DGRAM, IPPROTO_UDP));
}
int get_tcp_socket(void) {
    return static_cast<int>(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
}
int get_tcp6_socket(void) {
    return static_cast<int>(socket(AF_INET6, SOCK_STREAM, IPPROTO_TCP));
}

int bind_udp_socket(int sock, uint32_t ipaddr, uint16_t port, int reuseaddr) {
    if (reuseaddr)
        setIntOpt(sock, SOL_SOCKET, SO_REUSEADDR, 1);
    sockaddr_in sa = make4(ipaddr, port);
    return bind(sock, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
}

int bind_udp6_socket(int sock, const struct in6_addr *ipaddr, uint16_t port, int reuseaddr) {
    if (!ipaddr)
        return -1;
    if (reuseaddr && !setIntOpt(sock, SOL_SOCKET, SO_REUSEADDR, 1))
        plat::printError("bind_udp6: setsockopt failed");
    sockaddr_in6 sa = make6(*ipaddr, port);
    return bind(sock, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
}

int bind_tcp_socket(int sock, uint32_t ipaddr, uint16_t port, int reuseaddr) {
    if (reuseaddr && !setIntOpt(sock, SOL_SOCKET, SO_REUSEADDR, 1))
        qel::logError("bind_tcp_socket: setsockop SO_REUSEADDR failed, %d", plat::lastError());
    sockaddr_in sa = make4(ipaddr, port);
    return bind(sock, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
}

int bind_tcp6_socket(int sock, const struct in6_addr *ipaddr, uint16_t port, int reuseaddr) {
    if (!ipaddr)
        return -1;
    if (reuseaddr && !setIntOpt(sock, SOL_SOCKET, SO_REUSEADDR, 1))
        qel::logError("bind_tcp6_socket: setsockop SO_REUSEADDR failed, %d\n", plat::lastError());
    // IPv4 is served by its own socket, so this one never takes mapped addresses.
    setIntOpt(sock, IPPROTO_IPV6, IPV6_V6ONLY, 1);
    sockaddr_in6 sa = make6(*ipaddr, port);
    return bind(sock, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
}

int connect_tcp_socket(int sock, uint32_t ipaddr, uint16_t port) {
    sockaddr_in sa = make4(ipaddr, port);
    return connect(sock, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
}

int connect_tcp6_socket(int sock, const struct in6_addr *ipaddr, uint16_t port) {
    if (!ipaddr)
        return -1;
    sockaddr_in6 sa = make6(*ipaddr, port);
    return connect(sock, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
}

int connect_tcp_socket_timeout(int sock, uint32_t ipaddr, uint16_t port, int timeout) {
    sockaddr_in sa = make4(ipaddr, port);
    return connectWithTimeout(sock, reinterpret_cast<sockaddr *>(&sa), sizeof sa, timeout);
}

int connect_tcp6_socket_timeout(int sock, const struct in6_addr *ipaddr, uint16_t port, int timeout) {
    if (!ipaddr)
        return -1;
    sockaddr_in6 sa = make6(*ipaddr, port);
    return connectWithTimeout(sock, reinterpret_cast<sockaddr *>(&sa), sizeof sa, timeout);
}

int connect_udp_socket(int sock, uint32_t ipaddr, uint16_t port) {
    return connect_tcp_socket(sock, ipaddr, port);
}

int connect_udp6_socket(int sock, const struct in6_addr *ipaddr, uint16_t port) {
    return connect_tcp6_socket(sock, ipaddr, port);
}

int listen_for_tcp_connection(int sock, int backlog) {
    return listen(sock, backlog);
}
int listen_for_tcp6_connection(int sock, int backlog) {
    return listen(sock, backlog);
}

int connection_pending(int sock, int timeout) {
    plat::pollfd_t pfd{};
    pfd.fd = sock;
    pfd.events = POLLIN;
    return waitFor(&pfd, 1, timeout) == 0 ? 0 : 1;
}

int connections_pending(int s1, int s2, int timeout) {
    plat::pollfd_t pfd[2]{};
    pfd[0].fd = s1;
    pfd[0].events = POLLIN;
    pfd[1].fd = s2;
    pfd[1].events = POLLIN;
    if (waitFor(pfd, 2, timeout) <= 0)
        return 0;
    if (s1 >= 0 && pfd[0].revents)
        return s1;
    if (s2 >= 0 && pfd[1].revents)
        return s2;
    return 0;
}

int accept_tcp_connection_request(int sock, uint32_t *ipaddr, uint16_t *port) {
    if (!ipaddr || !port) {
        qel::logError("accept_tcp_connection: invalid argument\n");
        return -1;
    }
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    int s = static_cast<int>(accept(sock, reinterpret_cast<sockaddr *>(&sa), &len));
    if (s < 0) {
        plat::printError("accept_tcp_connection_request: failed ");
        return -1;
    }
    *ipaddr = sa.sin_addr.s_addr;
    *port = sa.sin_port;
    return s;
}

int accept_tcp6_connection_request(int sock, struct in6_addr *ipaddr, uint16_t *port) {
    if (!ipaddr || !port) {
        qel::logError("accept_tcp_connection: invalid argument\n");
        return -1;
    }
    sockaddr_in6 sa{};
    socklen_t len = sizeof sa;
    int s = static_cast<int>(accept(sock, reinterpret_cast<sockaddr *>(&sa), &len));
    if (s < 0)
        return -1;
    *ipaddr = sa.sin6_addr;
    *port = sa.sin6_port;
    return s;
}

int read_upto_X_bytes(int sock, char *buf, int X, int maxlen) {
    if (!buf)
        return -1;
    if (maxlen < X) {
        qel::logError("read_upto_X_bytes: not enough space, %d < %d\n", maxlen, X);
        return -1;
    }
    int got = 0;
    while (got < X) {
        auto n = recv(sock, buf + got, static_cast<size_t>(X - got), 0);
        if (n < 0 && plat::interrupted())
            continue;
        if (n <= 0)
            break;
        got += static_cast<int>(n);
    }
    return got;
}

int bytes_at_socket(int sock) {
    if (sock == 0)
        return 0;
    int n = 0;
    if (!plat::bytesReadable(sock, &n)) {
        plat::printError("ioctl FIONREAD failed");
        return 0;
    }
    return n;
}

int set_tcp_no_delay(int sock) {
    int one = 1;
    int rc = setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&one), sizeof one);
    if (rc != 0)
        plat::printError("setsockopt: tcp_nodelay failed");
    return rc;
}

int set_socket_buffer_sizes(int sock, int rcvsize, int sndsize) {
    if (rcvsize > 0 && !setIntOpt(sock, SOL_SOCKET, SO_RCVBUF, rcvsize))
        plat::printError("setsockopt of SO_RCVBUF failed");
    if (sndsize > 0 && !setIntOpt(sock, SOL_SOCKET, SO_SNDBUF, sndsize))
        plat::printError("setsockopt of SO_SNDBUF failed");
    return 1;
}

int get_socket_buffer_sizes(int sock, int *rcvsize, int *sndsize) {
    struct Opt {
        int *out;
        int name;
        const char *msg;
    };
    for (const Opt &o : {Opt{rcvsize, SO_RCVBUF, "getsockopt of SO_RCVBUF failed"},
                         Opt{sndsize, SO_SNDBUF, "getsockopt of SO_SNDBUF failed"}}) {
        if (!o.out)
            continue;
        int v = 0;
        socklen_t len = sizeof v;
        if (getsockopt(sock, SOL_SOCKET, o.name, reinterpret_cast<char *>(&v), &len) == 0) {
            *o.out = v;
        } else {
            plat::printError(o.msg);
            *o.out = -1;
        }
    }
    return 1;
}

uint32_t hostname_to_ipaddr(const char *name) {
    if (!name)
        return 0;
    in_addr a{};
    if (plat::textToAddr(AF_INET, name, &a))
        return a.s_addr;
    AddrInfo ai(name, AF_INET, SOCK_STREAM, 0);
    if (!ai.ok())
        return 0;
    if (ai.list->ai_family != AF_INET || ai.list->ai_addrlen < sizeof(sockaddr_in)) {
        qel::logError("hostname_to_ipaddr: address of length %d\n", static_cast<int>(ai.list->ai_addrlen));
        return 0;
    }
    return reinterpret_cast<const sockaddr_in *>(ai.list->ai_addr)->sin_addr.s_addr;
}

int hostname_to_ipv6addr(const char *name, struct in6_addr *ipaddr) {
    if (!name || !ipaddr)
        return -1;
    AddrInfo ai(name, AF_UNSPEC, SOCK_STREAM, 0);
    if (!ai.ok())
        return -2;
    for (const addrinfo *p = ai.list; p; p = p->ai_next) {
        if (p->ai_family == AF_INET6) {
            *ipaddr = reinterpret_cast<const sockaddr_in6 *>(p->ai_addr)->sin6_addr;
            return 1;
        }
    }
    return -1;
}

int convert_ipaddr(uint32_t ipaddr, char *str, int maxlen) {
    if (!str || maxlen < 8)
        return -1;
    // Formatted by hand: table handlers convert two addresses per row.
    const unsigned char *b = reinterpret_cast<const unsigned char *>(&ipaddr);
    char buf[16];
    char *d = buf;
    for (int i = 0; i < 4; i++) {
        const unsigned v = b[i];
        if (v >= 100)
            *d++ = static_cast<char>('0' + v / 100);
        if (v >= 10)
            *d++ = static_cast<char>('0' + v / 10 % 10);
        *d++ = static_cast<char>('0' + v % 10);
        *d++ = i < 3 ? '.' : '\0';
    }
    qelCopyStr(str, static_cast<size_t>(maxlen), buf);
    return 1;
}

int convert_ipv6addr(const struct in6_addr *ipaddr, char *str, int maxlen) {
    if (!ipaddr || !str || maxlen < 32)
        return -1;
    char buf[QEL_IPV6_TEXT_LEN + 1];
    formatIpv6(*ipaddr, buf);
    qelCopyStr(str, static_cast<size_t>(maxlen), buf);
    return 1;
}

int ipVersionOfAddress(const char *text) {
    if (!text)
        return 0;
    in6_addr a{};
    if (plat::textToAddr(AF_INET, text, &a))
        return 4;
    if (plat::textToAddr(AF_INET6, text, &a))
        return 6;
    return 0;
}

int ipVersionOfSocket(int sock) {
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    if (getsockname(sock, reinterpret_cast<sockaddr *>(&ss), &len) != 0) {
        plat::printError("ipVersionOfSocket: getsockname failed");
        return 0;
    }
    if (ss.ss_family == AF_INET)
        return 4;
    if (ss.ss_family == AF_INET6)
        return 6;
    qel::logError("ipVersionOfSocket: unknown ip version %d\n", static_cast<int>(ss.ss_family));
    return 0;
}

int getMyAddress(int sock, char *str, int maxlen) {
    if (!str || maxlen <= 0)
        return 0;
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    if (getsockname(sock, reinterpret_cast<sockaddr *>(&ss), &len) != 0) {
        plat::printError("getMyAddress: getsockname failed");
        return 0;
    }
    const size_t size = static_cast<size_t>(maxlen);
    if (ss.ss_family == AF_INET6) {
        const auto *sa = reinterpret_cast<const sockaddr_in6 *>(&ss);
        char buf[QEL_IPV6_TEXT_LEN + 1];
        formatIpv6(sa->sin6_addr, buf);
        std::snprintf(str, size, "[%s]:%d\n", buf, static_cast<int>(ntohs(sa->sin6_port)));
        return 6;
    }
    if (ss.ss_family == AF_INET) {
        const auto *sa = reinterpret_cast<const sockaddr_in *>(&ss);
        char buf[16];
        convert_ipaddr(sa->sin_addr.s_addr, buf, sizeof buf);
        std::snprintf(str, size, "%s:%d\n", buf, static_cast<int>(ntohs(sa->sin_port)));
        return 4;
    }
    return 0;
}

int nameToIpAddress(const char *host, int version, uint32_t *ipaddr, struct in6_addr *ipaddr6) {
    if (!host || (version != 0 && version != 4 && version != 6))
        return -1;
    if ((version == 4 && !ipaddr) || (version == 6 && !ipaddr6) || (version == 0 && (!ipaddr || !ipaddr6)))
        return -1;
    const int family = version == 4 ? AF_INET : version == 6 ? AF_INET6 : AF_UNSPEC;
    AddrInfo ai(host, family, SOCK_STREAM, 0);
    if (!ai.ok())
        return -1;
    // Any version: only the first answer counts.
    for (const addrinfo *p = ai.list; p; p = version == 0 ? nullptr : p->ai_next) {
        if (p->ai_family == AF_INET && version != 6) {
            *ipaddr = reinterpret_cast<const sockaddr_in *>(p->ai_addr)->sin_addr.s_addr;
            return 4;
        }
        if (p->ai_family == AF_INET6 && version != 4) {
            *ipaddr6 = reinterpret_cast<const sockaddr_in6 *>(p->ai_addr)->sin6_addr;
            return 6;
        }
    }
    return -1;
}

int addressToHostname(const char *addr, char *hostname, int maxlen) {
    if (!nameArgsOk(addr, hostname, maxlen))
        return -1;
    sockaddr_in sa = make4(0, 0);
    if (!plat::textToAddr(AF_INET, addr, &sa.sin_addr)) {
        AddrInfo ai(addr, AF_INET, SOCK_STREAM, 0);
        if (!ai.ok())
            return 1; // no answer: the input text stays as the name
        if (ai.list->ai_family != AF_INET)
            return -1;
        sa.sin_addr = reinterpret_cast<const sockaddr_in *>(ai.list->ai_addr)->sin_addr;
    }
    char host[NI_MAXHOST];
    if (nameOf(reinterpret_cast<sockaddr *>(&sa), sizeof sa, NI_NAMEREQD, host))
        qelCopyStr(hostname, static_cast<size_t>(maxlen), host);
    return 1;
}

int ipAddrToHostname(const char *addr, char *hostname, int maxlen) {
    if (!nameArgsOk(addr, hostname, maxlen))
        return -1;
    AddrInfo ai(addr);
    if (!ai.ok())
        return -1;
    firstNameOfAnswers(ai.list, hostname, maxlen);
    return 1;
}

int ipAddrToHostname2(const char *addr, char *hostname, int maxlen) {
    if (!nameArgsOk(addr, hostname, maxlen))
        return -1;
    AddrInfo numeric(addr, AF_UNSPEC, 0, AI_NUMERICHOST | AI_CANONNAME);
    if (numeric.ok()) {
        firstNameOfAnswers(numeric.list, hostname, maxlen);
        return 1;
    }
    AddrInfo named(addr, AF_UNSPEC, 0, AI_CANONNAME);
    if (!named.ok())
        return -1;
    if (named.list->ai_canonname) {
        qelCopyStr(hostname, static_cast<size_t>(maxlen), named.list->ai_canonname);
        return 1;
    }
    firstNameOfAnswers(named.list, hostname, maxlen);
    return 1;
}

int nameAddrToHostname(const char *addr, char *hostname, int maxlen) {
    if (!nameArgsOk(addr, hostname, maxlen))
        return -1;
    char host[NI_MAXHOST];
    const int version = ipVersionOfAddress(addr);
    if (version == 4 || version == 6) {
        bool found;
        if (version == 4) {
            sockaddr_in sa = make4(0, 0);
            plat::textToAddr(AF_INET, addr, &sa.sin_addr);
            found = nameOf(reinterpret_cast<sockaddr *>(&sa), sizeof sa, NI_NAMEREQD, host);
        } else {
            sockaddr_in6 sa = make6(in6_addr{}, 0);
            plat::textToAddr(AF_INET6, addr, &sa.sin6_addr);
            found = nameOf(reinterpret_cast<sockaddr *>(&sa), sizeof sa, NI_NAMEREQD, host);
        }
        if (!found)
            return -1;
        qelCopyStr(hostname, static_cast<size_t>(maxlen), host);
        return 1;
    }
    AddrInfo ai(addr, AF_UNSPEC, SOCK_STREAM, AI_CANONNAME);
    if (!ai.ok())
        return -1;
    for (const addrinfo *p = ai.list; p; p = p->ai_next)
        if (p->ai_canonname)
            qelCopyStr(hostname, static_cast<size_t>(maxlen), p->ai_canonname);
    return 1;
}

} // extern "C"
