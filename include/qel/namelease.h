/*
 * Name look-ups with a lease on their answer, for a plug-in that remembers
 * what it derived from the answers (the dependency add): while every lease
 * of a derivation holds, asking again would give the same answers, so the
 * derivation stands. A lease holds while the agent's name cache still keeps
 * the very entry that answered, unexpired and not replaced; renewing counts
 * and refreshes the entries as the look-ups themselves would.
 *
 * The agent provides these calls; plug-in code that may run without them
 * (tests with their own host calls) declares them weak and falls back to
 * the plain look-ups.
 */
#ifndef QEL_NAMELEASE_H
#define QEL_NAMELEASE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct qelNameLease {
    const void *entry; /* the cache entry that answered; null: no lease */
    uint64_t serial;   /* the entry's answer, as stored */
    uint64_t forgets;  /* the cache's count of forgotten entries then */
} qelNameLease_t;

/* qelIpAddrToHostname and qelNameAddrToHostname, plus the lease of the
 * answer in *lease (entry null when it did not come from a kept entry, e.g.
 * it was just resolved or the wait ran out). */
int qelIpAddrToHostnameLeased(const char *addrText, char *buf, int maxlen, qelNameLease_t *lease);
int qelNameAddrToHostnameLeased(const char *nameOrAddr, char *buf, int maxlen, qelNameLease_t *lease);

/* 1 when all count leases still hold; their entries are then touched and
 * counted as hits, in order, as the look-ups would have. 0 (nothing
 * touched) when any of them does not. */
int qelRenewNameLeases(const qelNameLease_t *leases, int count);

#ifdef __cplusplus
}
#endif

#endif
