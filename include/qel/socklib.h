/*
 * Thin socket and name-resolution helpers shared by the session layer, the
 * clients and the plug-ins.
 *
 * IPv4 addresses and ports are in network byte order, as they stand in
 * socket address structures; IPv6 addresses are 16-byte struct in6_addr
 * values passed by address. Every function returns a plain int status and
 * keeps no state, so all of them may be called from any thread.
 */
#ifndef QEL_SOCKLIB_H
#define QEL_SOCKLIB_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

struct in6_addr;

/* Length of the IPv6 text form written here: eight groups of four
 * lower-case hex digits, never compressed. */
#define QEL_IPV6_TEXT_LEN 39

/* New sockets; -1 on failure. */
int get_udp_socket(void);
int get_udp6_socket(void);
int get_tcp_socket(void);
int get_tcp6_socket(void);

/* Bind to address/port, enabling SO_REUSEADDR first when reuseaddr is set.
 * The IPv6 TCP bind always makes the socket IPv6-only. Bind result. */
int bind_udp_socket(int sock, uint32_t ipaddr, uint16_t port, int reuseaddr);
int bind_udp6_socket(int sock, const struct in6_addr *ipaddr, uint16_t port, int reuseaddr);
int bind_tcp_socket(int sock, uint32_t ipaddr, uint16_t port, int reuseaddr);
int bind_tcp6_socket(int sock, const struct in6_addr *ipaddr, uint16_t port, int reuseaddr);

/* Blocking connects; connect result. */
int connect_tcp_socket(int sock, uint32_t ipaddr, uint16_t port);
int connect_tcp6_socket(int sock, const struct in6_addr *ipaddr, uint16_t port);

/* Connect waiting at most timeout whole seconds: 1 connected (socket back in
 * blocking mode), -1 otherwise (socket may be left non-blocking; close it). */
int connect_tcp_socket_timeout(int sock, uint32_t ipaddr, uint16_t port, int timeout);
int connect_tcp6_socket_timeout(int sock, const struct in6_addr *ipaddr, uint16_t port, int timeout);

/* Fix the datagram peer; connect result. */
int connect_udp_socket(int sock, uint32_t ipaddr, uint16_t port);
int connect_udp6_socket(int sock, const struct in6_addr *ipaddr, uint16_t port);

int listen_for_tcp_connection(int sock, int backlog);
int listen_for_tcp6_connection(int sock, int backlog);

/* 0 when nothing became readable within timeout seconds, else 1 (a failed
 * wait also gives 1). 0 polls without waiting. */
int connection_pending(int sock, int timeout);
/* s1 if readable, else s2 if readable, else 0. A negative socket is ignored. */
int connections_pending(int s1, int s2, int timeout);

/* Accept; the peer's address and port go to the out-parameters. -1 on
 * failure or null out-parameters. */
int accept_tcp_connection_request(int sock, uint32_t *ipaddr, uint16_t *port);
int accept_tcp6_connection_request(int sock, struct in6_addr *ipaddr, uint16_t *port);

/* Reads until X bytes arrived, the peer closed or a receive failed; returns
 * the count read. -1 for a null buffer or maxlen < X. */
int read_upto_X_bytes(int sock, char *buf, int X, int maxlen);
/* Bytes waiting to be read; 0 for socket 0 or when the query fails. */
int bytes_at_socket(int sock);

int set_tcp_no_delay(int sock);
/* Sets each size above 0; returns 1. */
int set_socket_buffer_sizes(int sock, int rcvsize, int sndsize);
/* Each non-null out-parameter gets the size or -1; returns 1. */
int get_socket_buffer_sizes(int sock, int *rcvsize, int *sndsize);

/* IPv4 address of a name or dotted text; 0 on failure. */
uint32_t hostname_to_ipaddr(const char *name);
/* 1 and the first IPv6 address; -2 when the name does not resolve; -1 when
 * no IPv6 address is among the answers (or for null arguments). */
int hostname_to_ipv6addr(const char *name, struct in6_addr *ipaddr);

/* Address text cut to maxlen-1 characters; 1, or -1 for a null string or
 * maxlen below 8 (IPv4) / 32 (IPv6). */
int convert_ipaddr(uint32_t ipaddr, char *str, int maxlen);
int convert_ipv6addr(const struct in6_addr *ipaddr, char *str, int maxlen);

/* 4 or 6 for IPv4/IPv6 address text, else 0. */
int ipVersionOfAddress(const char *text);
/* 4 or 6 from the socket's local address, else 0. */
int ipVersionOfSocket(int sock);
/* Local endpoint as "addr:port\n" or "[addr6]:port\n"; returns 4 or 6, or 0. */
int getMyAddress(int sock, char *str, int maxlen);

/* Resolves host for version 4, 6 or 0 (any: the first answer decides) and
 * stores the address; returns the version stored or -1. */
int nameToIpAddress(const char *host, int version, uint32_t *ipaddr, struct in6_addr *ipaddr6);

/* Name look-ups. Each needs non-null input and output and maxlen above 4,
 * and first copies the input into the output, so a failed look-up leaves
 * the address text there. 1 or -1. */
int addressToHostname(const char *addr, char *hostname, int maxlen);
int ipAddrToHostname(const char *addr, char *hostname, int maxlen);
int ipAddrToHostname2(const char *addr, char *hostname, int maxlen);
int nameAddrToHostname(const char *addr, char *hostname, int maxlen);

#ifdef __cplusplus
}
#endif

#endif
