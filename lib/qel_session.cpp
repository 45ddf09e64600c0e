// QEL sessions and wire framing.
#include "qel/qel_session.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <ctime>
#include <new>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <string>
#include "socklib_plat.h"

#include "qel/socklib.h"
#include "qel/log.h"
#include "qel/ssl_utils.h"
#include "qel/strutil.h"
#include "qel_internal.h"

namespace {

SSL *sslOf(const qelSession_t *s) {
    return static_cast<SSL *>(s->ssl);
}

bool connected(const qelSession_t *s) {
    return (s->flags & QEL_SESSION_CONNECTED) != 0;
}

// The last failure of this thread's connect or exchange (qelLastFailure).
thread_local qelFailure_t lastFailure = QEL_FAIL_NONE;
thread_local char lastDetail[256];

void setFailure(qelFailure_t f, const char *detail) {
    lastFailure = f;
    qelCopyStr(lastDetail, sizeof lastDetail, detail ? detail : "");
}

void clearFailure() {
    setFailure(QEL_FAIL_NONE, "");
}

// Our verification of the peer's certificate, when it failed.
bool failVerify(long verify) {
    if (verify == X509_V_OK)
        return false;
    switch (verify) {
    case X509_V_ERR_CERT_HAS_EXPIRED: setFailure(QEL_FAIL_CERT_EXPIRED, "the agent's certificate"); break;
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_CERT_SIGNATURE_FAILURE:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN: setFailure(QEL_FAIL_UNKNOWN_CA, "the agent's certificate"); break;
    default: setFailure(QEL_FAIL_TLS, X509_verify_cert_error_string(verify));
    }
    return true;
}

// Classifies a failed TLS call from our verification of the peer, the
// alert the peer sent (its verdict on our certificate) and errno, which the
// caller saved right after the call.
void failTls(const qelSession_t *s, int sslError, int savedErrno) {
    if (failVerify(SSL_get_verify_result(sslOf(s))))
        return;
    unsigned long e = ERR_peek_last_error();
    int reason = e ? ERR_GET_REASON(e) : 0;
    if (reason == SSL_R_SSLV3_ALERT_CERTIFICATE_EXPIRED)
        setFailure(QEL_FAIL_CERT_EXPIRED, "our certificate, refused by the agent");
    else if (reason == SSL_R_TLSV1_ALERT_UNKNOWN_CA)
        setFailure(QEL_FAIL_UNKNOWN_CA, "our certificate, refused by the agent");
    else if (sslError == SSL_ERROR_WANT_READ || sslError == SSL_ERROR_WANT_WRITE || savedErrno == EAGAIN ||
             savedErrno == EWOULDBLOCK || savedErrno == ETIMEDOUT)
        setFailure(QEL_FAIL_TIMEOUT, "");
    else if (sslError == SSL_ERROR_ZERO_RETURN || (sslError == SSL_ERROR_SYSCALL && e == 0) ||
             reason == SSL_R_UNEXPECTED_EOF_WHILE_READING)
        setFailure(QEL_FAIL_CLOSED, "");
    else {
        const char *text = e ? ERR_reason_error_string(e) : nullptr;
        setFailure(QEL_FAIL_TLS, text ? text : "handshake failed");
    }
}

// A connect that did not complete: refused, timed out or another error.
void failConnect(int fd) {
    int err = 0;
    socklen_t len = sizeof err;
    if (fd < 0 || getsockopt(fd, SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&err), &len) != 0)
        err = errno;
#ifdef _WIN32
    // Windows Sockets reports its own codes.
    if (err == WSAECONNREFUSED)
        err = ECONNREFUSED;
    else if (err == WSAETIMEDOUT)
        err = ETIMEDOUT;
#endif
    if (err == ECONNREFUSED)
        setFailure(QEL_FAIL_REFUSED, "");
    else if (err == 0 || err == ETIMEDOUT || err == EINPROGRESS || err == ENOTCONN)
        setFailure(QEL_FAIL_TIMEOUT, "");
    else
        setFailure(QEL_FAIL_CONNECT, std::strerror(err));
}

void countOut(qelMessageType_t type) {
    switch (type) {
    case Response: qelStatsAdd(outResponses, 1); break;
    case GetRequest: qelStatsAdd(outGets, 1); break;
    case SetRequest: qelStatsAdd(outSets, 1); break;
    case SelectTableRequest: qelStatsAdd(outSelects, 1); break;
    case InsertTableRequest: qelStatsAdd(outInserts, 1); break;
    case DeleteTableRequest: qelStatsAdd(outDeletes, 1); break;
    case UpdateTableRequest: qelStatsAdd(outUpdates, 1); break;
    case Trap: qelStatsAdd(outTraps, 1); break;
    case Information: qelStatsAdd(outInformation, 1); break;
    default: break;
    }
}

void countIn(qelMessageType_t type) {
    switch (type) {
    case Response: qelStatsAdd(inResponses, 1); break;
    case GetRequest: qelStatsAdd(inGets, 1); break;
    case SetRequest: qelStatsAdd(inSets, 1); break;
    case SelectTableRequest: qelStatsAdd(inSelects, 1); break;
    case InsertTableRequest: qelStatsAdd(inInserts, 1); break;
    case DeleteTableRequest: qelStatsAdd(inDeletes, 1); break;
    case UpdateTableRequest: qelStatsAdd(inUpdates, 1); break;
    case Trap: qelStatsAdd(inTraps, 1); break;
    case Information: qelStatsAdd(inInformation, 1); break;
    default: break;
    }
}

// Replaces one of the session's buffers by one of at least `size` bytes.
// Its content is not kept: both callers fill it afresh (the builder builds
// again, the receiver reads the body into it). On failure the size becomes
// 0, as the rest of the library expects.
bool growBuffer(unsigned char *&buf, int &bufSize, long size) {
    std::free(buf);
    buf = static_cast<unsigned char *>(std::malloc(static_cast<size_t>(size)));
    bufSize = buf ? static_cast<int>(size) : 0;
    return buf != nullptr;
}

// Builds pdu into the session's send buffer, growing it once to what the
// builder asks for. Returns the text length, or -1 (realloc) / -2 (build).
int buildIntoSendBuf(qelSession_t *s, const qelPdu_t *pdu, long extra) {
    int needed = 0;
    int len = buildQelMessage(pdu, reinterpret_cast<char *>(s->sendBuf), s->sendBufSize, &needed);
    if (len < 0 && needed > 0) {
        if (!growBuffer(s->sendBuf, s->sendBufSize, needed + extra))
            return -1;
        len = buildQelMessage(pdu, reinterpret_cast<char *>(s->sendBuf), s->sendBufSize, nullptr);
    }
    return len < 0 ? -2 : len;
}

// Wraps the session's socket in a TLS object; the BIO does not own the fd.
// An accepting session writes only through qelSendMessage, which flushes:
// its writes pass through a buffer, so that a long reply leaves in a few
// large writes rather than one system call per 16 KB TLS record.
constexpr int kTlsWriteBuffer = 256 * 1024;

bool attachTls(qelSession_t *s, bool bufferWrites) {
    SSL *ssl = SSL_new(ctx);
    if (!ssl)
        return false;
    BIO *bio = BIO_new_socket(s->sockfd, BIO_NOCLOSE);
    if (!bio) {
        SSL_free(ssl);
        return false;
    }
    BIO *out = bio;
    if (bufferWrites) {
        BIO *buffered = BIO_new(BIO_f_buffer());
        if (!buffered || BIO_set_write_buffer_size(buffered, kTlsWriteBuffer) != 1 || BIO_up_ref(bio) != 1) {
            BIO_free(buffered);
            BIO_free(bio);
            SSL_free(ssl);
            return false;
        }
        out = BIO_push(buffered, bio);
    }
    SSL_set_bio(ssl, bio, out);
    s->ssl = ssl;
    s->sbio = bio;
    return true;
}

void freeTls(qelSession_t *s) {
    if (s->ssl)
        SSL_free(sslOf(s)); // frees the BIO too
    s->ssl = nullptr;
    s->sbio = nullptr;
}

int64_t nowMs() {
    struct timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// A session's deadline lives with its socket BIO: a callback runs before
// every read and write the TLS layer makes (handshake records included),
// waits for the socket with the time left and fails the operation once the
// deadline has passed. Per-read time-outs alone let a peer that trickles a
// byte at a time hold the caller for ever.
struct Deadline {
    int64_t atMs = 0; // monotonic milliseconds; 0: no bound
};

long deadlineCallback(BIO *b, int oper, const char *, size_t, int, long, int ret, size_t *) {
    auto *d = reinterpret_cast<Deadline *>(BIO_get_callback_arg(b));
    if (oper == BIO_CB_FREE) {
        delete d;
        return ret;
    }
    if (!d || d->atMs <= 0 || (oper != BIO_CB_READ && oper != BIO_CB_WRITE))
        return ret;
    int fd = -1;
    if (BIO_get_fd(b, &fd) < 0 || fd < 0)
        return ret;
    for (;;) {
        int64_t left = d->atMs - nowMs();
        if (left <= 0)
            break;
        qelplat::pollfd_t p{};
        p.fd = fd;
        p.events = oper == BIO_CB_READ ? POLLIN : POLLOUT;
        int r = qelplat::poll(&p, 1, static_cast<int>(std::min<int64_t>(left, 1 << 30)));
        if (r > 0) {
            if (oper == BIO_CB_WRITE) {
                // A blocking send of more than the socket takes waits for
                // room: bound that wait by the time left too.
                qelplat::setTimeout(fd, SO_SNDTIMEO, left);
            }
            return ret;
        }
        if (r < 0 && !qelplat::interrupted())
            return -1;
    }
    errno = ETIMEDOUT;
    return -1;
}

// Sets (atMs > 0) or clears the deadline of the session's socket BIO.
bool setBioDeadline(qelSession_t *s, int64_t atMs) {
    auto *b = static_cast<BIO *>(s->sbio);
    if (!b)
        return false;
    if (BIO_get_callback_ex(b) != deadlineCallback) {
        if (atMs <= 0)
            return true;
        auto *d = new (std::nothrow) Deadline;
        if (!d)
            return false;
        BIO_set_callback_arg(b, reinterpret_cast<char *>(d));
        BIO_set_callback_ex(b, deadlineCallback);
    }
    reinterpret_cast<Deadline *>(BIO_get_callback_arg(b))->atMs = atMs;
    return true;
}

// The client half of a connect: TLS handshake and certificate check, by the
// deadline when one is given.
bool clientHandshake(qelSession_t *s, const char *who, int64_t deadlineMs = 0) {
    if (!attachTls(s, false))
        return false;
    if (deadlineMs > 0 && !setBioDeadline(s, deadlineMs))
        return false;
    // Replies may be megabytes long: let TLS take whatever has arrived, up
    // to four records, in one read instead of two reads per record.
    SSL_set_read_ahead(sslOf(s), 1);
    SSL_set_default_read_buffer_len(sslOf(s), 64 * 1024);
    ERR_clear_error();
    errno = 0;
    int r = SSL_connect(sslOf(s));
    if (r <= 0) {
        int savedErrno = errno;
        failTls(s, SSL_get_error(sslOf(s), r), savedErrno);
        qel::logDebug("%s: SSL conn failed, %d\n", who, r);
        qel::logDebug("%s: SSL error %d\n", who, SSL_get_error(sslOf(s), r));
        return false;
    }
    qel::logDebug("%s: SSL conn established\n", who);
    if (check_certificate(s) < 0) {
        if (!failVerify(SSL_get_verify_result(sslOf(s))))
            setFailure(QEL_FAIL_TLS, "the agent's certificate does not verify");
        return false;
    }
    qel::logDebug("%s: SSL cert verified\n", who);
    return true;
}

enum class Family { v4, v6 };

// The shared body of the four connect-by-address constructors.
qelSession_t *connectByAddress(Family family, uint32_t ip, const struct in6_addr *ip6, uint16_t port, int timeout,
                               const char *user, int64_t deadlineMs = 0) {
    if (deadlineMs > 0) {
        // The connect gets no more than the time left (whole seconds, at
        // least one).
        int64_t left = deadlineMs - nowMs();
        if (left <= 0)
            return nullptr;
        int cap = static_cast<int>(std::min<int64_t>((left + 999) / 1000, 1 << 20));
        if (timeout <= 0 || timeout > cap)
            timeout = cap;
    }
    qelSession_t *s =
        family == Family::v4 ? newQelSession(ip, port, 0, 0, user) : newQelSession6(ip6, port, 0, 0, user);
    if (!s)
        return nullptr;
    s->flags = QEL_SESSION_INITIATOR;
    bool ok = false;
    do {
        if (family == Family::v4) {
            s->sockfd = get_tcp_socket();
            if (s->sockfd < 0) {
                qel::logError("new_qel_session_connect: failed to get tcp socket\n");
                break;
            }
            if (bind_tcp_socket(s->sockfd, INADDR_ANY, 0, 0) < 0)
                break;
            int r = timeout > 0 ? connect_tcp_socket_timeout(s->sockfd, ip, port, timeout)
                                : (connect_tcp_socket(s->sockfd, ip, port) == 0 ? 1 : -1);
            if (r != 1) {
                failConnect(s->sockfd);
                break;
            }
        } else {
            s->sockfd = get_tcp6_socket();
            if (s->sockfd < 0) {
                qel::logError("new_qel_session_connect: failed to get tcp6 socket\n");
                break;
            }
            if (bind_tcp6_socket(s->sockfd, &in6addr_any, 0, 0) < 0)
                break;
            int r = timeout > 0 ? connect_tcp6_socket_timeout(s->sockfd, ip6, port, timeout)
                                : (connect_tcp6_socket(s->sockfd, ip6, port) == 0 ? 1 : -1);
            if (r != 1) {
                failConnect(s->sockfd);
                break;
            }
        }
        if (timeout <= 0)
            qel::logDebug("newQelSessionConnect: TCP connection established\n");
        s->flags |= QEL_SESSION_CONNECTED;
        // Header and body go out as two writes: without this the body waits
        // for the peer's delayed acknowledgement of the header.
        set_tcp_no_delay(s->sockfd);
        // A peer that accepts and then never answers must not hold the
        // caller's thread for ever once it asked for a bounded connect.
        if (timeout > 0)
            qelSessionSetIoTimeout(s, QEL_SESSION_IO_TIMEOUT);
        if (!clientHandshake(s, "newQelSessionConnect", deadlineMs))
            break;
        if (timeout > 0 && user)
            qelSessionSetAuthenUser(s, user);
        ok = true;
    } while (false);
    if (!ok) {
        destroyQelSession(s);
        return nullptr;
    }
    qelStatsAdd(outSessions, 1);
    return s;
}

qelSession_t *allocSession(int sock, int flags, const char *user) {
    auto *s = static_cast<qelSession_t *>(std::calloc(1, sizeof(qelSession_t)));
    if (!s) {
        qel::logError("%s: %s\n", "malloc of qel session failed", std::strerror(errno));
        return nullptr;
    }
    s->sockfd = sock;
    s->flags = flags;
    s->createTime = std::time(nullptr);
    // Not cleared: every use writes before it reads, and clearing would
    // fault in all 250 KB of the two at every session's start (a client
    // process or an agent's session thread), where most messages take a
    // page or two.
    s->sendBuf = static_cast<unsigned char *>(std::malloc(QEL_SESSION_BUFSIZE));
    s->sendBufSize = s->sendBuf ? QEL_SESSION_BUFSIZE : 0;
    s->recvBuf = static_cast<unsigned char *>(std::malloc(QEL_SESSION_BUFSIZE));
    s->recvBufSize = s->recvBuf ? QEL_SESSION_BUFSIZE : 0;
    s->thr = pthread_self();
    if (user)
        qelCopyField(s->authenUser, user);
    s->qelVersion = 1;
    return s;
}

// Reads exactly n bytes from the session's TLS connection. Returns n, 0 when
// the peer shut down first, or the negative SSL_read result.
int readFull(qelSession_t *s, unsigned char *buf, int n, int *sslError) {
    int got = 0;
    while (got < n) {
        ERR_clear_error();
        errno = 0;
        int r = SSL_read(sslOf(s), buf + got, n - got);
        if (r <= 0) {
            int savedErrno = errno;
            *sslError = SSL_get_error(sslOf(s), r);
            failTls(s, *sslError, savedErrno);
            if (*sslError == SSL_ERROR_ZERO_RETURN)
                return 0;
            // An EOF without close_notify is a shut-down peer too.
            if (*sslError == SSL_ERROR_SYSCALL && ERR_peek_error() == 0 && errno == 0)
                return 0;
            if (*sslError == SSL_ERROR_SSL && ERR_GET_REASON(ERR_peek_error()) == SSL_R_UNEXPECTED_EOF_WHILE_READING)
                return 0;
            return r < 0 ? r : -1;
        }
        got += r;
    }
    return got;
}

qelSession_t *connectHostname(const char *host, int ipVersion, int port, int timeout, const char *user,
                              int64_t deadlineMs) {
    if (!host || (ipVersion != 0 && ipVersion != 4 && ipVersion != 6))
        return nullptr;
    uint32_t ip = 0;
    struct in6_addr ip6 {};
    clearFailure();
    int found = nameToIpAddress(host, ipVersion, &ip, &ip6);
    if (found < 0) {
        setFailure(QEL_FAIL_RESOLVE, host);
        return nullptr;
    }
    uint16_t nport = htons(static_cast<uint16_t>(port));
    if (timeout <= 0)
        timeout = 1;
    if (found == 4)
        return connectByAddress(Family::v4, ip, nullptr, nport, timeout, user, deadlineMs);
    if (found == 6) {
        qelSession_t *s = connectByAddress(Family::v6, 0, &ip6, nport, timeout, user, deadlineMs);
        if (!s && ipVersion == 0 && nameToIpAddress(host, 4, &ip, nullptr) == 4)
            s = connectByAddress(Family::v4, ip, nullptr, nport, timeout, user, deadlineMs);
        return s;
    }
    qel::logError("newQelSessionConnectHostname: unknown IP version %d\n", ipVersion);
    return nullptr;
}

} // namespace

extern "C" {

qelSession_t *newQelSession(uint32_t ip, uint16_t port, int sock, int flags, const char *user) {
    qelSession_t *s = allocSession(sock, flags, user);
    if (!s)
        return nullptr;
    s->remIp = ip;
    s->remPort = port;
    s->ipVersion = 4;
    return s;
}

qelSession_t *newQelSession6(const struct in6_addr *ip6, uint16_t port, int sock, int flags, const char *user) {
    qelSession_t *s = allocSession(sock, flags, user);
    if (!s)
        return nullptr;
    if (ip6)
        s->remIp6 = *ip6;
    s->remPort = port;
    s->ipVersion = 6;
    return s;
}

qelSession_t *newQelSessionConnect(uint32_t ip, uint16_t port, const char *user) {
    return connectByAddress(Family::v4, ip, nullptr, port, 0, user);
}

qelSession_t *newQelSessionConnect6(const struct in6_addr *ip6, uint16_t port, const char *user) {
    if (!ip6)
        return nullptr;
    return connectByAddress(Family::v6, 0, ip6, port, 0, user);
}

qelSession_t *newQelSessionConnectTimeout(uint32_t ip, uint16_t port, int timeout, const char *user) {
    return connectByAddress(Family::v4, ip, nullptr, port, timeout > 0 ? timeout : 1, user);
}

qelSession_t *newQelSessionConnect6Timeout(const struct in6_addr *ip6, uint16_t port, int timeout, const char *user) {
    if (!ip6)
        return nullptr;
    return connectByAddress(Family::v6, 0, ip6, port, timeout > 0 ? timeout : 1, user);
}

qelSession_t *newQelSessionConnectHostname(const char *host, int ipVersion, int port, int timeout, const char *user) {
    return connectHostname(host, ipVersion, port, timeout, user, 0);
}

qelSession_t *newQelSessionConnectHostnameWithin(const char *host, int ipVersion, int port, int timeout,
                                                 const char *user, int totalMs) {
    if (totalMs <= 0)
        return nullptr;
    return connectHostname(host, ipVersion, port, timeout, user, nowMs() + totalMs);
}

int qelSessionSetDeadline(qelSession_t *s, int ms) {
    if (!s || ms < 0 || !s->ssl)
        return -1;
    return setBioDeadline(s, ms > 0 ? nowMs() + ms : 0) ? 1 : -1;
}

int qelConnectSession(qelSession_t *s) {
    if (!s)
        return -1;
    if (s->sockfd > 0)
        qelplat::closeSocket(s->sockfd);
    s->sockfd = -1;
    s->flags &= ~QEL_SESSION_CONNECTED;
    freeTls(s);
    s->sockfd = get_tcp_socket();
    if (s->sockfd < 0) {
        qel::logError("qelConnectSession: failed to get tcp socket\n");
        return -1;
    }
    bind_tcp_socket(s->sockfd, INADDR_ANY, 0, 0);
    if (connect_tcp_socket(s->sockfd, s->remIp, s->remPort) != 0) {
        qel::logError("qelConnectSession: failed to connect\n");
        return -1;
    }
    s->flags |= QEL_SESSION_CONNECTED;
    set_tcp_no_delay(s->sockfd);
    if (!clientHandshake(s, "qelConnectSession")) {
        destroyQelSession(s);
        return -1;
    }
    return 1;
}

int qelConnect6Session(qelSession_t *) {
    return 0;
}

int qelDisconnectSession(qelSession_t *s) {
    if (!s)
        return -1;
    if (s->ssl)
        SSL_shutdown(sslOf(s));
    if (s->sockfd > 0) {
        qelplat::closeSocket(s->sockfd);
        s->sockfd = -1;
    }
    s->flags &= ~(QEL_SESSION_CONNECTED | QEL_SESSION_AUTHENTICATED);
    return 1;
}

int destroyQelSession(qelSession_t *s) {
    if (!s)
        return -1;
    // Only a session whose handshake completed sends close_notify; a failed
    // or half-open one just goes away.
    if (s->ssl && SSL_is_init_finished(sslOf(s)) && (s->flags & QEL_SESSION_CONNECTED))
        SSL_shutdown(sslOf(s));
    if (s->sockfd >= 0)
        qelplat::closeSocket(s->sockfd);
    std::free(s->sendBuf);
    std::free(s->recvBuf);
    freeTls(s);
    std::free(s);
    return 1;
}

int qelSessionSetAuthenUser(qelSession_t *s, const char *user) {
    if (!s || !user)
        return -1;
    qelCopyField(s->authenUser, user);
    return 1;
}

int qelIsSessionConnected(const qelSession_t *s) {
    return s && connected(s) ? 1 : 0;
}

int qelIsSessionAuthenticated(const qelSession_t *s) {
    return s && (s->flags & QEL_SESSION_AUTHENTICATED) ? 1 : 0;
}

int qelSessionSetIoTimeout(qelSession_t *s, int seconds) {
    if (!s || s->sockfd < 0 || seconds < 0)
        return -1;
    const long long ms = seconds * 1000LL;
    if (!qelplat::setTimeout(s->sockfd, SO_RCVTIMEO, ms) || !qelplat::setTimeout(s->sockfd, SO_SNDTIMEO, ms))
        return -1;
    return 1;
}

qelSession_t *qelAcceptSession(int fd, int handshakeTimeout) {
    if (fd < 0)
        return nullptr;
    struct sockaddr_storage peer {};
    socklen_t len = sizeof peer;
    qelSession_t *s = nullptr;
    if (getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &len) == 0 && peer.ss_family == AF_INET6) {
        auto *p6 = reinterpret_cast<sockaddr_in6 *>(&peer);
        s = newQelSession6(&p6->sin6_addr, p6->sin6_port, fd, 0, nullptr);
    } else {
        auto *p4 = reinterpret_cast<sockaddr_in *>(&peer);
        s = newQelSession(p4->sin_addr.s_addr, p4->sin_port, fd, 0, nullptr);
    }
    if (!s) {
        qelplat::closeSocket(fd);
        return nullptr;
    }
    set_tcp_no_delay(fd);
    if (!attachTls(s, true) || ssl_accept_timeout(sslOf(s), fd, handshakeTimeout) != 1 || check_certificate(s) < 0) {
        destroyQelSession(s);
        return nullptr;
    }
    s->flags |= QEL_SESSION_CONNECTED;
    qelStatsAdd(inSessions, 1);
    return s;
}

void qelEncodeWireHdr(unsigned char hdr[QEL_WIREHDR_LEN], int msgLen, const char *user) {
    std::memset(hdr, 0, QEL_WIREHDR_LEN);
    auto *h = reinterpret_cast<qelWireHdr_t *>(hdr);
    std::snprintf(h->msgLenStr, sizeof h->msgLenStr, "%d", msgLen);
    std::snprintf(h->qelVersion, sizeof h->qelVersion, "%d", 1);
    std::snprintf(h->authenUser, sizeof h->authenUser, "%s", user && *user ? user : "qelUser");
}

int qelDecodeWireHdr(const unsigned char hdr[QEL_WIREHDR_LEN], int *version, long *msgLen, char user[17]) {
    // The fields are NUL-padded, but a hostile peer need not pad them:
    // convert bounded copies, never the raw bytes.
    char field[17];
    qelCopyMem(field, sizeof field, reinterpret_cast<const char *>(hdr), 4);
    int v = std::atoi(field);
    qelCopyMem(field, sizeof field, reinterpret_cast<const char *>(hdr) + 4, 12);
    long len = std::strtol(field, nullptr, 10);
    if (version)
        *version = v;
    if (msgLen)
        *msgLen = len;
    if (user)
        qelCopyMem(user, 17, reinterpret_cast<const char *>(hdr) + 16, 16);
    if (v != 1 || len > QEL_MAX_MESSAGE_LEN)
        return -1;
    return 1;
}

int qelSendMessage(qelSession_t *s, const char *buf, int buflen) {
    if (!buf || buflen <= 4)
        return -1;
    const size_t len = static_cast<size_t>(buflen);
    return qelSendMessageParts(s, &buf, &len, 1);
}

int qelSendMessageParts(qelSession_t *s, const char *const *parts, const size_t *lens, int count) {
    if (!s || !parts || !lens || count <= 0)
        return -1;
    size_t total = 0;
    for (int i = 0; i < count; ++i) {
        if (!parts[i] || lens[i] > QEL_MAX_MESSAGE_LEN)
            return -1;
        total += lens[i];
    }
    if (total <= 4 || total > QEL_MAX_MESSAGE_LEN)
        return -1;
    const int buflen = static_cast<int>(total);
    if (!connected(s)) {
        qel::logDebug("qelSendMessage: not connected\n");
        return -1;
    }
    if (s->sockfd == 0) {
        qel::logDebug("qelSendMessage: no socket\n");
        return -1;
    }
    if (!s->ssl) {
        qel::logDebug("qelSendMessage: no SSL connection\n");
        return -1;
    }
    unsigned char hdr[QEL_WIREHDR_LEN];
    qelEncodeWireHdr(hdr, buflen, s->authenUser);
    ERR_clear_error();
    if (SSL_write(sslOf(s), hdr, QEL_WIREHDR_LEN) != QEL_WIREHDR_LEN) {
        qelStatsAdd(outErrors, 1);
        qel::logDebug("qelSendMessage: send wirehdr failed, %d\n", errno);
        return -1;
    }
    bool sent = true;
    for (int i = 0; i < count && sent; ++i) {
        if (lens[i] == 0)
            continue;
        ERR_clear_error();
        sent = SSL_write(sslOf(s), parts[i], static_cast<int>(lens[i])) == static_cast<int>(lens[i]);
    }
    if (!sent || BIO_flush(SSL_get_wbio(sslOf(s))) != 1) {
        qelStatsAdd(outErrors, 1);
        qel::logDebug("qelSendMessage: send failed, %d\n", errno);
        return -1;
    }
    qelStatsAdd(outBytes, buflen);
    qelStatsAdd(outMessages, 1);
    s->lastActivity = std::time(nullptr);
    return 1;
}

int qelRecvMessage(qelSession_t *s) {
    int r = qelRecvMessageMax(s, QEL_MAX_MESSAGE_LEN);
    return r < 0 ? -1 : r;
}

int qelRecvMessageMax(qelSession_t *s, long maxLen) {
    if (!s)
        return -1;
    if (!connected(s) || s->sockfd == 0 || !s->ssl) {
        qel::logDebug("%s", !connected(s)    ? "qelRecvMessage: not connected\n"
                            : s->sockfd == 0 ? "qelRecvMessage: no socket\n"
                                             : "qelRecvMessage: no SSL connection\n");
        return -1;
    }
    unsigned char hdr[QEL_WIREHDR_LEN];
    int sslError = 0;
    int r = readFull(s, hdr, QEL_WIREHDR_LEN, &sslError);
    if (r != QEL_WIREHDR_LEN) {
        if (r == 0)
            qel::logDebug("qelRecvMessage: SSL shutdown during wirehdr read\n");
        else
            qel::logDebug("qelRecvMessage: SSL read error, %d\n", sslError);
        qelStatsAdd(inErrors, 1);
        return -1;
    }
    int version = 0;
    long msgLen = 0;
    char user[17];
    int ok = qelDecodeWireHdr(hdr, &version, &msgLen, user);
    s->qelVersion = version;
    if (ok < 0) {
        qelStatsAdd(inErrors, 1);
        return -3;
    }
    if (msgLen <= 0) {
        qelStatsAdd(inErrors, 1);
        qel::logError("qelRecvMessage: shutdown during SSL read of msg\n");
        return -3;
    }
    // Refused before anything is allocated: the body stays unread.
    if (maxLen > 0 && msgLen > maxLen) {
        qelStatsAdd(inErrors, 1);
        qel::logDebug("qelRecvMessage: message of %ld bytes refused\n", msgLen);
        return -2;
    }
    qelCopyField(s->authenUser, user);
    if (msgLen > s->recvBufSize) {
        qel::logDebug("qelRecvMessage: need more space!\n");
        if (!growBuffer(s->recvBuf, s->recvBufSize, msgLen + 2))
            return -1;
    }
    int len = static_cast<int>(msgLen);
    r = readFull(s, s->recvBuf, len, &sslError);
    if (r == 0) {
        qelStatsAdd(inErrors, 1);
        qel::logError("qelRecvMessage: shutdown during SSL read of msg\n");
        return -1;
    }
    if (r < 0) {
        qel::logDebug("qelRecvMessage: SSL read error, %d\n", sslError);
        qelStatsAdd(inErrors, 1);
        return -1;
    }
    if (r < s->recvBufSize)
        s->recvBuf[r] = '\0';
    if (r != len)
        qel::logError("qelRecvMessage: nread:%d != msgLen:%d\n", r, len);
    qelStatsAdd(inBytes, r);
    qelStatsAdd(inMessages, 1);
    return r;
}

qelFailure_t qelLastFailure(char *detail, int max) {
    if (detail && max > 0)
        qelCopyStr(detail, static_cast<size_t>(max), lastDetail);
    return lastFailure;
}

const char *qelLastFailureText(char *buf, int max, int timeoutSeconds) {
    if (!buf || max <= 0)
        return buf;
    const char *d = lastDetail;
    switch (lastFailure) {
    case QEL_FAIL_RESOLVE: std::snprintf(buf, max, "cannot resolve %s", d); break;
    case QEL_FAIL_REFUSED: std::snprintf(buf, max, "connection refused"); break;
    case QEL_FAIL_TIMEOUT: std::snprintf(buf, max, "no reply within %d s", timeoutSeconds); break;
    case QEL_FAIL_CERT_EXPIRED: std::snprintf(buf, max, "certificate expired (%s)", d); break;
    case QEL_FAIL_UNKNOWN_CA: std::snprintf(buf, max, "unknown CA (%s)", d); break;
    case QEL_FAIL_TLS: std::snprintf(buf, max, "TLS failure: %s", d); break;
    case QEL_FAIL_CLOSED: std::snprintf(buf, max, "the agent closed the connection"); break;
    case QEL_FAIL_CONNECT: std::snprintf(buf, max, "cannot connect: %s", d); break;
    case QEL_FAIL_NONE: std::snprintf(buf, max, "no reply"); break;
    }
    return buf;
}

int qelSendQueryReceiveReply(qelSession_t *s, qelPdu_t *req, qelPdu_t *reply) {
    return qelTransactionVisit(s, req, reply, nullptr, nullptr);
}

int qelTransactionVisit(qelSession_t *s, qelPdu_t *req, qelPdu_t *reply, qelVariableVisitor_t visit, void *ctx) {
    if (!s || !req || !reply || !connected(s) || s->sockfd == 0)
        return -1;
    clearFailure();
    int len = buildIntoSendBuf(s, req, 2);
    if (len == -1) {
        qel::logError("qelSendQueryReceiveReply: send realloc failed\n");
        return -1;
    }
    if (len < 0) {
        qel::logError("qelSendQueryReceiveReply: build failed failed\n");
        return -1;
    }
    errno = 0;
    if (qelSendMessage(s, reinterpret_cast<char *>(s->sendBuf), len) != 1) {
        // A peer that refused our certificate after the handshake sent its
        // alert and closed: the alert is still to be read and says why.
        if ((errno == EPIPE || errno == ECONNRESET) && s->ssl) {
            unsigned char byte;
            int sslError = 0;
            readFull(s, &byte, 1, &sslError);
        }
        if (lastFailure == QEL_FAIL_NONE)
            setFailure(QEL_FAIL_CLOSED, "");
        return -2;
    }
    qelStatsAdd(outTotalReqVars, req->numberVariables);
    countOut(req->msgType);
    int n = qelRecvMessage(s);
    if (n < 0) {
        qel::logError("qelSendQueryReceiveReply: qelRecvMessage from 0x%x failed\n", s->remIp);
        return -1;
    }
    int result;
    if (!visit && n > QEL_SESSION_BUFSIZE) {
        // A large reply kept whole: its largest part is most often one value
        // (a document), which takes the received block over instead of being
        // copied into a second block as large; the next message gets a block
        // of its own.
        qel_internal::TakeableBlock take{reinterpret_cast<char *>(s->recvBuf), static_cast<size_t>(s->recvBufSize),
                                         false};
        result = qel_internal::parseQelMessageTaking(take.block, n, reply, take);
        if (take.taken) {
            s->recvBuf = nullptr;
            s->recvBufSize = 0;
        }
    } else {
        result = parseQelMessageVisit(reinterpret_cast<char *>(s->recvBuf), n, reply, 0, visit, ctx);
    }
    if (result < 0 && s->recvBuf) {
        std::string text(reinterpret_cast<char *>(s->recvBuf), static_cast<size_t>(n));
        qel::logError("failed to parse:\n'%s'\n", text.c_str());
    }
    countIn(reply->msgType);
    return result;
}

int qelTransaction(qelSession_t *s, qelPdu_t *req, qelPdu_t *reply) {
    return qelSendQueryReceiveReply(s, req, reply);
}

int qelSendQueryReceiveReplyXml(qelSession_t *s, const char *request, int len, char **reply, int *replySize) {
    if (!s || !request || !reply || !replySize)
        return -1;
    if (!connected(s)) {
        qel::logError("qelSendQueryReceiveReply: not connected\n");
        return -1;
    }
    if (s->sockfd == 0) {
        qel::logError("qelSendQueryReceiveReply: no socket\n");
        return -1;
    }
    if (qelSendMessage(s, request, len) != 1)
        return -2;
    int n = qelRecvMessage(s);
    if (n < 0)
        return -1;
    if (!*reply || *replySize < n + 1) {
        void *p = std::realloc(*reply, static_cast<size_t>(n) + 1);
        if (!p)
            return -1;
        *reply = static_cast<char *>(p);
        *replySize = n + 1;
    }
    std::memcpy(*reply, s->recvBuf, static_cast<size_t>(n));
    (*reply)[n] = '\0';
    return n;
}

int qelSendErrorResponseFatal(qelSession_t *s, int64_t messageID, qelErrorStatus_t error, int errorIndex) {
    if (!s || error == noError || !connected(s))
        return -1;
    qelPdu_t pdu;
    std::memset(&pdu, 0, sizeof pdu);
    pdu.msgType = Response;
    pdu.messageID = messageID;
    pdu.errorStatus = error;
    pdu.errorIndex = static_cast<uint32_t>(errorIndex);
    int len = buildIntoSendBuf(s, &pdu, 0);
    if (len == -1) {
        qel::logError("qelSendErrorResponseFatal: send realloc failed\n");
        return -1;
    }
    if (len < 0) {
        qel::logError("qelSendErrorResponseFatal: send failed\n");
        return -1;
    }
    if (qelSendMessage(s, reinterpret_cast<char *>(s->sendBuf), len) != 1)
        return -1;
    qelStatsAdd(outTotalReqVars, 0);
    return 1;
}

int qelSendErrorResponse(qelSession_t *s, qelPdu_t *in, qelErrorStatus_t error, int errorIndex) {
    if (!s || !in || error == noError || !connected(s))
        return -1;
    in->errorStatus = error;
    in->errorIndex = static_cast<uint32_t>(errorIndex);
    int len = buildIntoSendBuf(s, in, 0);
    if (len == -1) {
        qel::logError("qelSendErrorResponse: send realloc failed\n");
        return -1;
    }
    if (len < 0) {
        qel::logError("qelSendErrorResponse: buildQelMessage failed\n");
        qelStatsAdd(outErrors, 1);
        return -1;
    }
    if (qelSendMessage(s, reinterpret_cast<char *>(s->sendBuf), len) != 1)
        return -1;
    qelStatsAdd(outTotalReqVars, in->numberVariables);
    return 1;
}

} // extern "C"

namespace {

// Appends a core/<object> scalar request variable (null syntax, no key).
bool appendCoreVar(qelPdu_t *pdu, const char *object) {
    return qelAddVariable(pdu, "core", object, nullptr, nullSyntax, nullptr) != nullptr;
}

const char *valueOf(const qelVariable_t *v) {
    return v->valueBuf ? v->valueBuf : v->valueStr;
}

// Runs one request made of core scalars and hands the reply to `use`.
template <typename Use>
int coreExchange(qelSession_t *s, qelPdu_t &req, Use use) {
    qelPdu_t reply;
    std::memset(&reply, 0, sizeof reply);
    int r = qelSendQueryReceiveReply(s, &req, &reply);
    if (r > 0)
        use(reply);
    qelPduCleanup(&req);
    qelPduCleanup(&reply);
    return r;
}

void initRequest(qelPdu_t &req, qelMessageType_t type) {
    std::memset(&req, 0, sizeof req);
    req.msgType = type;
    req.messageID = static_cast<int64_t>(std::time(nullptr));
    req.errorStatus = noError;
}

} // namespace

extern "C" {

int qelGetPeerPluginList(qelSession_t *s, char *pluginlist, int max) {
    if (!s || !pluginlist || max <= 4)
        return -1;
    pluginlist[0] = '\0';
    if (!connected(s))
        return -1;
    qelPdu_t req;
    initRequest(req, SelectTableRequest);
    qelCopyField(req.tableMib, "core");
    qelCopyField(req.tableName, "pluginTable");
    qelCopyField(req.tableKey, "*");
    req.maxRows = 0;
    if (!appendCoreVar(&req, "pluginDescr"))
        return -1;
    return coreExchange(s, req, [&](qelPdu_t &reply) {
        if (reply.errorStatus != noError || reply.numberVariables < 1)
            return;
        size_t used = 0, cap = static_cast<size_t>(max) - 1;
        bool first = true;
        for (qelVariable_t *v = reply.varList; v && used < cap; v = v->next) {
            if (!first) {
                if (cap - used < 2)
                    break;
                pluginlist[used++] = ',';
            }
            first = false;
            std::string value = valueOf(v);
            if (auto comma = value.find(','); comma != std::string::npos)
                value[comma] = ' ';
            size_t n = std::min(value.size(), cap - used);
            std::memcpy(pluginlist + used, value.data(), n);
            used += n;
        }
        pluginlist[used] = '\0';
    });
}

int qelGetPeerVersion(qelSession_t *s, char *vers, char *sysDescr, int max) {
    if (!s || !vers || !sysDescr || max <= 4 || !connected(s))
        return -1;
    vers[0] = sysDescr[0] = '\0';
    qelPdu_t req;
    initRequest(req, GetRequest);
    if (!appendCoreVar(&req, "sysDescr") || !appendCoreVar(&req, "qeldVersion")) {
        qelPduCleanup(&req);
        return -1;
    }
    return coreExchange(s, req, [&](qelPdu_t &reply) {
        if (reply.errorStatus != noError || reply.numberVariables != 2 || !reply.varList || !reply.varList->next)
            return;
        qelCopyStr(sysDescr, static_cast<size_t>(max), valueOf(reply.varList));
        qelCopyStr(vers, static_cast<size_t>(max), valueOf(reply.varList->next));
    });
}

int qelGetPeerInfo(qelSession_t *s, char *vers, char *sysDescr, char *upTime, char *port, char *homeDir, int max) {
    if (!s || !vers || !sysDescr || !upTime || !port || !homeDir || max <= 4 || !connected(s))
        return -1;
    char *outs[] = {sysDescr, vers, upTime, homeDir, port};
    const char *names[] = {"sysDescr", "qeldVersion", "sysUpTimeStr", "qeldHomeDir", "qeldPort"};
    qelPdu_t req;
    initRequest(req, GetRequest);
    for (const char *name : names) {
        if (!appendCoreVar(&req, name)) {
            qelPduCleanup(&req);
            return -1;
        }
    }
    return coreExchange(s, req, [&](qelPdu_t &reply) {
        for (char *o : outs)
            o[0] = '\0';
        if (reply.errorStatus != noError)
            return;
        // Copy the values in request order; a short reply leaves the rest empty.
        qelVariable_t *v = reply.varList;
        for (size_t i = 0; i < 5 && v; ++i, v = v->next)
            qelCopyStr(outs[i], static_cast<size_t>(max), valueOf(v));
    });
}

} // extern "C"
