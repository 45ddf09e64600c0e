/*
 * QEL sessions: one TLS connection over TCP between a manager and an agent,
 * the 32-byte wire header in front of every message, and the request/reply
 * exchange. A session is used by one thread at a time.
 */
#ifndef QEL_QEL_SESSION_H
#define QEL_QEL_SESSION_H

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netinet/in.h>
#endif
#include <pthread.h>
#include <stdint.h>
#include <time.h>

#include "qel/qel.h"

#ifdef __cplusplus
extern "C" {
#endif

#define QEL_SESSION_INITIATOR 1
#define QEL_SESSION_CONNECTED 4
#define QEL_SESSION_AUTHENTICATED 8

#define QEL_SESSION_BUFSIZE 128000
#define QEL_WIREHDR_LEN 32
#define QEL_AUTHENUSER_LEN 18
/* Largest body a header may announce; a larger one is refused unread. */
#define QEL_MAX_MESSAGE_LEN (64 * 1024 * 1024)
/* Read/write bound of sessions opened with a connect time-out. */
#define QEL_SESSION_IO_TIMEOUT 60

/* Counters are shared by every thread of the process: advance them
 * atomically so concurrent sessions do not lose updates. */
#define qelStatsAdd(field, n) __atomic_fetch_add(&qelStats.field, (uint64_t)(n), __ATOMIC_RELAXED)

typedef struct qelSession {
    int sockfd;
    int flags;
    time_t createTime;
    time_t lastActivity;
    int ipVersion;
    uint16_t localPort;
    uint32_t remIp;
    struct in6_addr remIp6;
    uint16_t remPort;
    int qelVersion;
    char authenUser[QEL_AUTHENUSER_LEN];
    pthread_t thr;
    unsigned char *sendBuf;
    int sendBufSize;
    unsigned char *recvBuf;
    int recvBufSize;
    void *ssl;
    void *sbio;
} qelSession, qelSession_t;

/* The wire header: version, body length and user, NUL-padded ASCII. */
typedef struct qelWireHdr {
    char qelVersion[4];
    char msgLenStr[12];
    char authenUser[16];
} qelWireHdr_t;

qelSession_t *newQelSession(uint32_t ip, uint16_t port, int sock, int flags, const char *user);
qelSession_t *newQelSession6(const struct in6_addr *ip6, uint16_t port, int sock, int flags, const char *user);
qelSession_t *newQelSessionConnect(uint32_t ip, uint16_t port, const char *user);
qelSession_t *newQelSessionConnect6(const struct in6_addr *ip6, uint16_t port, const char *user);
qelSession_t *newQelSessionConnectTimeout(uint32_t ip, uint16_t port, int timeout, const char *user);
qelSession_t *newQelSessionConnect6Timeout(const struct in6_addr *ip6, uint16_t port, int timeout, const char *user);
/* port in host byte order; ipVersion 0 (any), 4 or 6. */
qelSession_t *newQelSessionConnectHostname(const char *host, int ipVersion, int port, int timeout, const char *user);
/*
 * newQelSessionConnectHostname whose whole conversation is bounded: the
 * connect (at most timeout seconds), the TLS handshake and every later read
 * and write of the session end within totalMs milliseconds of this call; an
 * operation past that time fails (errno ETIMEDOUT). Name look-up is not
 * counted. Null when totalMs is not positive.
 */
qelSession_t *newQelSessionConnectHostnameWithin(const char *host, int ipVersion, int port, int timeout,
                                                 const char *user, int totalMs);
/* Sets the session's deadline ms milliseconds from now (0 removes it): every
 * later read and write, TLS records included, fails once it has passed.
 * 1, or -1 for a session without a TLS connection. */
int qelSessionSetDeadline(qelSession_t *session, int ms);
/*
 * Why the last connect or exchange of the calling thread failed, for a
 * one-line message to an operator. detail (may be null) receives the name,
 * the address or TLS's own reason, NUL-terminated within max bytes.
 */
typedef enum qelFailure {
    QEL_FAIL_NONE = 0,
    QEL_FAIL_RESOLVE,      /* the host name has no address */
    QEL_FAIL_REFUSED,      /* nothing listens on the port */
    QEL_FAIL_CONNECT,      /* another connect error (detail: the system's text) */
    QEL_FAIL_TIMEOUT,      /* no connection, handshake or reply within the time */
    QEL_FAIL_CERT_EXPIRED, /* a certificate has expired (detail: whose) */
    QEL_FAIL_UNKNOWN_CA,   /* a certificate not issued by our CA (detail: whose) */
    QEL_FAIL_TLS,          /* another TLS failure (detail: TLS's reason) */
    QEL_FAIL_CLOSED        /* the peer closed the connection */
} qelFailure_t;
qelFailure_t qelLastFailure(char *detail, int max);
/* qelLastFailure as one line for an operator ("connection refused", "no
 * reply within N s", ...), N being timeoutSeconds; returns buf. */
const char *qelLastFailureText(char *buf, int max, int timeoutSeconds);
int qelConnectSession(qelSession_t *session);
int qelConnect6Session(qelSession_t *session);
int qelDisconnectSession(qelSession_t *session);
int destroyQelSession(qelSession_t *session);
int qelSessionSetAuthenUser(qelSession_t *session, const char *user);
int qelIsSessionConnected(const qelSession_t *session);
int qelIsSessionAuthenticated(const qelSession_t *session);

/* Bounds every later read and write of the session (0: wait for ever). */
int qelSessionSetIoTimeout(qelSession_t *session, int seconds);

/*
 * The accepting side: wraps an accepted TCP socket in a session, runs the
 * TLS server handshake within handshakeTimeout seconds and checks the peer's
 * certificate. The session owns fd from the call on (closed on failure too).
 * Returns null when the handshake fails or the certificate does not verify;
 * a peer without a certificate gets a session without the authenticated flag.
 */
qelSession_t *qelAcceptSession(int fd, int handshakeTimeout);

int qelSendMessage(qelSession_t *session, const char *buf, int buflen);
/* qelSendMessage of one message given in count pieces, in order (a large
 * value sent from its own memory instead of being copied next to the rest);
 * the whole must be more than 4 bytes and at most QEL_MAX_MESSAGE_LEN. */
int qelSendMessageParts(qelSession_t *session, const char *const *parts, const size_t *lens, int count);
int qelRecvMessage(qelSession_t *session);
/*
 * qelRecvMessage with a caller's bound on the body (0 or less: the header
 * limit alone). Returns the body length, -1 on I/O failure or shutdown, -2
 * when the header announces more than maxLen bytes (the body is left unread
 * and nothing is allocated), -3 when the header is malformed (version,
 * length not a positive number or beyond QEL_MAX_MESSAGE_LEN).
 */
int qelRecvMessageMax(qelSession_t *session, long maxLen);

/* Fills a wire header for a body of msgLen bytes sent by user. */
void qelEncodeWireHdr(unsigned char hdr[QEL_WIREHDR_LEN], int msgLen, const char *user);
/*
 * Decodes a received header: the version, the announced body length and the
 * user (NUL-terminated, 16 characters at most). Returns 1 when the header is
 * acceptable, -1 when the version is not 1 or the length is beyond
 * QEL_MAX_MESSAGE_LEN; a length of 0 or less is left to the caller.
 */
int qelDecodeWireHdr(const unsigned char hdr[QEL_WIREHDR_LEN], int *version, long *msgLen, char user[17]);

int qelSendQueryReceiveReply(qelSession_t *session, qelPdu_t *s, qelPdu_t *r);
int qelTransaction(qelSession_t *session, qelPdu_t *s, qelPdu_t *r);
/* qelTransaction that hands each reply binding to visit as it is read
 * (parseQelMessageVisit) instead of keeping it in r. */
int qelTransactionVisit(qelSession_t *session, qelPdu_t *s, qelPdu_t *r, qelVariableVisitor_t visit, void *ctx);
/* Sends request text and returns the reply text in *reply (grown with
 * realloc as needed, NUL-terminated); result the reply length, or -1/-2. */
int qelSendQueryReceiveReplyXml(qelSession_t *session, const char *request, int len, char **reply, int *replySize);
int qelSendErrorResponse(qelSession_t *session, qelPdu_t *in, qelErrorStatus_t error, int errorIndex);
int qelSendErrorResponseFatal(qelSession_t *session, int64_t messageID, qelErrorStatus_t error, int errorIndex);

int qelGetPeerPluginList(qelSession_t *session, char *pluginlist, int max);
int qelGetPeerVersion(qelSession_t *session, char *vers, char *sysDescr, int max);
int qelGetPeerInfo(qelSession_t *session, char *vers, char *sysDescr, char *upTime, char *port, char *homeDir, int max);

#ifdef __cplusplus
}
#endif

#endif
