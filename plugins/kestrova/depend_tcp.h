/*
 * Dependencies from the host's live TCP connections, and the TCP and UDP
 * snapshots (copied from the mib2 plug-in through its accessors) that also
 * classify the process table's sockets and give the endpoint counts.
 */
#ifndef KESTROVA_DEPEND_TCP_H
#define KESTROVA_DEPEND_TCP_H

#include <time.h>

#include <mutex>

#include "mib2records.h"
#include "process_table.h"

/* Guards both snapshots, their counts and their indexes. Taken after the
 * process guards, and before the graph lock, never the other way round. */
extern std::mutex tableLock;

extern "C" {
int dependency_discover_tcp(void);
int dependency_discover_udp(void);
int dependency_discover_raw(void);
int getNumberTCPEndPts(void);
int getNumberUDPEndPts(void);
}

/* Sets the endpoint's proto and state from the snapshots; -1 for null. */
int get_socket_information(processEndpt_t *e);

/* The same answer found by walking both snapshots entry by entry, as the
 * index must give it (tests and benchmarks compare the two). */
int get_socket_information_walk(processEndpt_t *e);

/* The connection text "[%s] =x= [%s]" of two address texts, lower first by
 * bytes. */
void dependTcpConnectionText(const char *a, const char *b, char *out, size_t outLen);

/* Lines of the smtp limiter: at most this many a minute. */
constexpr int kSmtpLinesPerMinute = 20;
/* The limiter's clock (null: the system's), and a fresh minute. */
void dependTcpSetSmtpClock(time_t (*now)());

#endif
