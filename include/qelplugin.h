/*
 * The contract between the host agent (qeld) and its plug-ins.
 *
 * A plug-in is a shared object that exports modinfo, init, start, finish and
 * versionStr. It registers variable definitions (qelVar) whose handlers the
 * host calls on its own threads, and uses the host calls below. Everything
 * here has C linkage and plain layout: plug-ins and host may be built apart.
 */
#ifndef QELPLUGIN_H
#define QELPLUGIN_H

#include <netinet/in.h>
#include <sys/types.h>
#include <time.h>

#include "qel/qel.h"

#ifdef __cplusplus
extern "C" {
#endif

struct qelVar;

typedef qelErrorStatus_t (*qelGetHandler_t)(struct qelVar *var, qelVariable_t *value);
typedef qelErrorStatus_t (*qelSetHandler_t)(struct qelVar *var, qelVariable_t *value, int doSet);
/* select: key is the request's row key; columns are the requested column
 * variables linked through next, each entryPtr pointing at the column's
 * qelVar; out is the reply, its maxRows set to the request's. */
typedef qelErrorStatus_t (*qelTableHandler_t)(char *key, qelVariable_t *columns, qelPdu_t *out);

typedef struct qelVar {
    char mibName[QEL_MIBNAME_LEN];
    char objName[QEL_OBJNAME_LEN];
    qelSyntax_t syntax;
    char tableName[QEL_OBJNAME_LEN]; /* empty unless a table column */
    unsigned hint;                   /* column number, or the entry's own number */
    unsigned flags;
    qelGetHandler_t get;
    qelSetHandler_t set;
    qelTableHandler_t select;
    qelTableHandler_t insert;
    qelTableHandler_t update;
    qelTableHandler_t delete_; /* "delete" in the contract */
    struct qelVar *next;       /* host links */
    struct qelVar *prev;
} qelVar_t;

typedef struct qelEventEntry {
    char eventSource[256];
    time_t timeStamp;
    int ageOut;
    int dispatched;
    char eventType[256];
    char sysObjectID[256];
    qelPdu_t *eventPdu;
    char *eventPduXml;
    int xmlSize;
} qelEventEntry_t;

/* Returns 1 to accept the event, 0 to refuse it. */
typedef int (*qelTrapHandler_t)(qelEventEntry_t *event);

/* The suite's enterprise object identifier: every trap carries it as
 * core.sysObjectID, and the agent answers it for core/sysObjectID. */
#define QEL_ENTERPRISE_NUMBER "58241"
#define QEL_ENTERPRISE_OID "1.3.6.1.4.1." QEL_ENTERPRISE_NUMBER

/* Kinds for qelAddModule. */
#define QEL_MODULE_KIND_PLUGIN 2
#define QEL_MODULE_KIND_DATAFILE 4

/* Plug-in entry points, looked up by name by the host. */
typedef int (*qelModinfoEntry_t)(char *modname, int modnamesz, char *descr, int descrsz);
typedef int (*qelInitEntry_t)(void);
typedef int (*qelStartEntry_t)(void);
typedef int (*qelFinishEntry_t)(void);

/* Host calls. */
int qelAddVar(qelVar_t *var);
int qelRemoveVarByName(const char *module, const char *objName);
int qelAddModule(const char *file, const char *version, const char *package, const char *requiredModule, int kind);
float qelFindBinaryVersion(const char *file, const char *dir);
int qelRegisterTrapHandler(const char *module, qelTrapHandler_t handler);
int qelSendTrap(const char *host, qelPdu_t *pdu, const char *eventType, const char *sysObjectID, const char *user);
void qeldLog(const char *text);
int qelGetAgentDebugLevel(void);
int qelGetHomeDir(char *buf, int maxlen);
int qelGetSystemName(char *buf, int maxlen);
void *qelGetSymbolValue(const char *functionName);
int qelCheckPeerModules(const char *peerName);
int qelConvertIpAddr(unsigned int addr, char *buf, int maxlen);
int qelConvertIpV6Addr(const unsigned char *addr, char *buf, int maxlen);
unsigned int qelHostnameToIpaddr(const char *name);
int qelHostnameToIpv6addr(const char *name, struct in6_addr *addr);
int qelIpVersionOfAddress(const char *text);
int qelIpAddrToHostname(const char *addrText, char *buf, int maxlen);
int qelNameAddrToHostname(const char *nameOrAddr, char *buf, int maxlen);
int qelConvertTimeStr(time_t when, char *buf, int maxlen);
char *qelBase64Encode(const unsigned char *bytes, int length, int *outlen);

#ifdef __cplusplus
}
#endif

#endif
