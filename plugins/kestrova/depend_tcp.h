/*
 * Dependencies from the host's live TCP connections, and the TCP and UDP
 * snapshots (copied from the mib2 plug-in through its accessors) that also
 * classify the process table's sockets and give the endpoint counts.
 */
#ifndef KESTROVA_DEPEND_TCP_H
#define KESTROVA_DEPEND_TCP_H

#include <time.h>

#include <mutex>
#include <string>
#include <unordered_map>

#include "dependency.h"
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

/* The connection text "[%s] =x= [%s]" of two address texts, lower first by
 * bytes. */
void dependTcpConnectionText(const char *a, const char *b, char *out, size_t outLen);

/* The connection list copied and indexed by (protocol, port): find answers
 * what findConnectionInfo answers (the list's first match), in one probe,
 * from records that stay valid while the data file is read again. A TCP
 * pass takes one copy. */
class ConnInfoIndex {
public:
    /* Copies the list under its lock; false (and empty) when memory runs out. */
    bool build(linkedList_t *list);
    const connInfo_t *find(const char *proto, int port) const;
    size_t size() const { return byKey_.size(); }

private:
    static std::string key(const char *proto, size_t len, uint16_t port);
    std::unordered_map<std::string, connInfo_t> byKey_;
};

/* Lines of the smtp limiter: at most this many a minute. */
constexpr int kSmtpLinesPerMinute = 20;
/* The limiter's clock (null: the system's), and a fresh minute. */
void dependTcpSetSmtpClock(time_t (*now)());

#endif
