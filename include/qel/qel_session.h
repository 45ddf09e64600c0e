/*
 * The QEL session record: one TLS connection over TCP between a manager and
 * an agent. The record crosses module and plug-in boundaries, so it is a
 * plain standard-layout struct with fixed field order and sizes.
 */
#ifndef QEL_QEL_SESSION_H
#define QEL_QEL_SESSION_H

#include <netinet/in.h>
#include <pthread.h>
#include <stdint.h>
#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Bits of qelSession.flags. */
#define QEL_SESSION_INITIATOR 1     /* this side opened the session */
#define QEL_SESSION_CONNECTED 4     /* TCP and TLS established */
#define QEL_SESSION_AUTHENTICATED 8 /* peer presented a certificate that verified */

#define QEL_AUTHEN_USER_LEN 18

typedef struct qelSession {
    int sockfd;
    int flags;
    time_t createTime;
    time_t lastActivity;
    int ipVersion;
    uint16_t localPort;
    uint32_t remIp;          /* network byte order */
    struct in6_addr remIp6;
    uint16_t remPort;        /* network byte order */
    int qelVersion;
    char authenUser[QEL_AUTHEN_USER_LEN];
    pthread_t thr;
    unsigned char *sendBuf;
    int sendBufSize;
    unsigned char *recvBuf;
    int recvBufSize;
    void *ssl;  /* SSL * */
    void *sbio; /* BIO * bound to ssl, released with it */
} qelSession, qelSession_t;

#ifdef __cplusplus
}
#endif

#endif
