/*
 * The host's processes and the network sockets each holds, rebuilt from
 * /proc by reload_process_table and published as processTable and
 * processEndptTable. Discovery asks isProcessRunning; the system metrics
 * take the counters.
 *
 * A reload builds new tables without holding a guard and swaps them in under
 * both guards, so readers and isProcessRunning never wait for the walk.
 */
#ifndef KESTROVA_PROCESS_TABLE_H
#define KESTROVA_PROCESS_TABLE_H

#include <sys/types.h>
#include <time.h>

#include <cstdint>
#include <mutex>
#include <string>

#include "qelplugin.h"
#include "vardefs.h"

/* One process. Texts keep their limits (name 511, cmdline 4095, state 15,
 * startTimeStr 63 characters) but take only the room their content needs. */
struct process_t {
    std::string name;
    std::string cmdline;
    pid_t pid = 0, ppid = 0;
    uid_t uid = 0;
    gid_t gid = 0;
    uint64_t size = 0, rss = 0; // kilobytes
    char state[16] = {};
    int nptl = 0, isThread = 0;
    int handleCount = 0;
    int numThreads = 0;
    uint64_t cputime = 0, rawcputime = 0;
    time_t startTime = 0;
    char startTimeStr[64] = {};
    uint64_t readOps = 0, writeOps = 0;
    uint64_t readBytes = 0, writeBytes = 0;
};

/* One socket of a process. */
struct processEndpt_t {
    pid_t pid = 0;
    std::string name;     // the owner's name, at most 511 characters
    unsigned proto = 254; // 6 TCP, 17 UDP, 254 not known
    uint32_t localIp = 0; // network order
    uint16_t localPort = 0;
    uint32_t remIp = 0;
    uint16_t remPort = 0;
    char localIPv6[48] = {};
    char remIPv6[48] = {};
    uint8_t ipVersion = 4;
    uint8_t state = 0;
};

constexpr unsigned kProtoUnknown = 254;
constexpr size_t kProcNameMax = 511;
constexpr size_t kProcCmdlineMax = 4095;
constexpr size_t kProcKeyMax = 2047;

extern std::mutex processTableLock;
extern std::mutex processEndptLock;

extern "C" {
int reload_process_table(void);
int isProcessRunning(const char *procname);
int getNumberProcesses(void);
int getNumberThreads(void);
int getNumberHandles(void);
int findProcessExecutable(const char *procName, char *procExe, int maxsize);
qelErrorStatus_t var_procTable(char *key, qelVariable_t *columns, qelPdu_t *out);
qelErrorStatus_t var_endptTable(char *key, qelVariable_t *columns, qelPdu_t *out);
}

/* Row keys as the handlers form them (tests compare with them). */
std::string processRowKey(const process_t &p);
std::string endptRowKey(const processEndpt_t &e);
/* The same key for a row kept with binary addresses (IPv4 in the first four
 * bytes, network order), as the handler forms it. */
std::string endptRowKey(pid_t pid, unsigned proto, unsigned state, unsigned ipVersion, const unsigned char *localAddr,
                        uint16_t localPort, const unsigned char *remAddr, uint16_t remPort);

/* The definitions of processTable and processEndptTable; each column is
 * the number its select switch answers. */
namespace kestrova {

enum class ProcessColumn : unsigned {
    processPID = 1,
    processName,
    processGID,
    processState,
    processRSS,
    processSize,
    processHandleCount,
    processThreadCount,
    processCPUTime,
    processStartTime,
    processReads,
    processWrites,
    processReadBytes,
    processWriteBytes,
};
inline constexpr VarSpec processTableDefs[] = {
    KESTROVA_TABLE("processTable", var_procTable),
    KESTROVA_COLUMN(ProcessColumn, processPID, integer, "processTable"),
    KESTROVA_COLUMN(ProcessColumn, processName, displayString, "processTable"),
    KESTROVA_COLUMN(ProcessColumn, processGID, integer, "processTable"),
    KESTROVA_COLUMN(ProcessColumn, processState, displayString, "processTable"),
    KESTROVA_COLUMN(ProcessColumn, processRSS, gauge, "processTable"),
    KESTROVA_COLUMN(ProcessColumn, processSize, gauge, "processTable"),
    KESTROVA_COLUMN(ProcessColumn, processHandleCount, gauge, "processTable"),
    KESTROVA_COLUMN(ProcessColumn, processThreadCount, gauge, "processTable"),
    KESTROVA_COLUMN(ProcessColumn, processCPUTime, counter, "processTable"),
    KESTROVA_COLUMN(ProcessColumn, processStartTime, displayString, "processTable"),
    KESTROVA_COLUMN(ProcessColumn, processReads, counter, "processTable"),
    KESTROVA_COLUMN(ProcessColumn, processWrites, counter, "processTable"),
    KESTROVA_COLUMN(ProcessColumn, processReadBytes, counter, "processTable"),
    KESTROVA_COLUMN(ProcessColumn, processWriteBytes, counter, "processTable"),
};

enum class EndptColumn : unsigned {
    processEndptPID = 1,
    processEndptName,
    processEndptProto,
    processEndptState,
    processEndptLocalAddress,
    processEndptLocalPort,
    processEndptRemAddress,
    processEndptRemPort,
};
inline constexpr VarSpec processEndptTableDefs[] = {
    KESTROVA_TABLE("processEndptTable", var_endptTable),
    KESTROVA_COLUMN(EndptColumn, processEndptPID, integer, "processEndptTable"),
    KESTROVA_COLUMN(EndptColumn, processEndptName, displayString, "processEndptTable"),
    KESTROVA_COLUMN(EndptColumn, processEndptProto, integer, "processEndptTable"),
    KESTROVA_COLUMN(EndptColumn, processEndptState, integer, "processEndptTable"),
    KESTROVA_COLUMN(EndptColumn, processEndptLocalAddress, ipV4Address, "processEndptTable"),
    KESTROVA_COLUMN(EndptColumn, processEndptLocalPort, integer, "processEndptTable"),
    KESTROVA_COLUMN(EndptColumn, processEndptRemAddress, ipV4Address, "processEndptTable"),
    KESTROVA_COLUMN(EndptColumn, processEndptRemPort, integer, "processEndptTable"),
};

} // namespace kestrova
#endif
