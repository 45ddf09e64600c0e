/*
 * System metrics, the file-system table and the CPU table of the kestrova
 * plug-in, with the sysinfo worker that refreshes both tables.
 */
#ifndef KESTROVA_SYSINFO_H
#define KESTROVA_SYSINFO_H

#include <stdint.h>
#include <sys/statvfs.h>
#include <sys/types.h>
#include <time.h>

#include "qelplugin.h"
#include "vardefs.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct aFilesys {
    time_t statTime; /* last successful statvfs */
    char filesystem[512];
    char mountpt[512];
    char fstype[256];
    int remote;
    char fileserver[256];
    u_char ipVersion;
    uint64_t totalBlocks;
    uint64_t freeBlocks;
    uint64_t usedBlocks;
    uint64_t availBlocks;
    uint64_t totalFiles;
    uint64_t freeFiles;
    uint64_t usedFiles;
    uint64_t availFiles;
    int blockSize;
    int mounted;
    float percentUsedBlocks;
    float percentUsedFiles;
    int dtype;
    int flags;
} aFilesys_t;

typedef struct aCpu {
    char descr[128];
    int instance;
    uint64_t totalUser;
    uint64_t totalIdle;
    uint64_t totalKernel;
    uint64_t totalWait;
    float totalUserPercent;
    float totalIdlePercent;
    float totalKernelPercent;
    float totalWaitPercent;
    float intervalUserPercent;
    float intervalIdlePercent;
    float intervalKernelPercent;
    float intervalWaitPercent;
    int intervalDuration;
    time_t lastTime;
} aCpu_t;

/* ---- metrics ---- */
int init_sysinfo(void);
void *sysinfo_dowork(void *arg);
qelErrorStatus_t var_sysinfometrics(qelVar_t *vp, qelVariable_t *v);
uint64_t getSystemMemory(void);
uint64_t getSystemMemoryUsed(void);
uint64_t getSystemMemoryFree(void);
uint64_t getSystemSwap(void);
uint64_t getSystemSwapUsed(void);
uint64_t getSystemSwapFree(void);
uint64_t getDiskReads(void);
uint64_t getDiskWrites(void);
uint64_t getDiskReadKB(void);
uint64_t getDiskWriteKB(void);
int reloadMemStats(void);
int reloadSwapStats(void);
int reloadDiskStats(void);
float getSystemLoad1Min(void);
float getSystemLoad5Min(void);
float getSystemLoad15Min(void);
int get_kernel_version(char *str, int len);
long get_uptime(void);
int get_kernel_wordsize(void);
long getTotalHandles(void);
int getTotalThreads(void);
int getNumberUsers(void);

/* ---- file systems ---- */
aFilesys_t *newFilesys(const char *filesystem, const char *mountpt);
aFilesys_t *findFilesys(const char *mountpt);
int reloadFilesystems(void);
int pruneFilesystems(void);
int getNumberRemoteFilesystems(void);
int getRemoteFilesystems(aFilesys_t *copytable, int maxfilesystems);
qelErrorStatus_t var_filesysTable(char *key, qelVariable_t *columns, qelPdu_t *out);

/* ---- CPUs ---- */
long getNumberCPUs(void);
int discoverCPUs(void);
int getCpuDescr(char *descr, int maxlen);
int reloadCpuTable(void);
int totalPercentages(aCpu_t *cpu);
int intervalTotalPercentages(const uint64_t *s1, const uint64_t *s2, float *percents, int numSamples);
qelErrorStatus_t var_cpuTable(char *key, qelVariable_t *columns, qelPdu_t *out);

#ifdef __cplusplus
}

/* The clock of the caches, the file-system ages and the CPU intervals;
 * tests replace it (null restores time()). */
using sysinfoClock_t = time_t (*)();
void sysinfoSetClock(sysinfoClock_t clock);
time_t sysinfoNow();

/* The statvfs the file-system reload calls (on its prober thread); tests
 * replace it (null restores statvfs). The path is under the host root. */
using sysinfoStatFn_t = int (*)(const char *path, struct statvfs *st);
void sysinfoSetStatFn(sysinfoStatFn_t fn);
/* How long the reload waits for one statvfs (milliseconds; tests shorten it). */
void sysinfoSetStatTimeoutMs(int ms);
/* statvfs calls still blocked in the kernel (stuck mounts). */
int sysinfoBlockedStats();
/* Sums of the four tick counters over the CPU table (zeros while none). */
void sysinfoCpuTotals(uint64_t sums[4]);
/* Drops every file-system record and forgets the CPU arrays (tests). */
void sysinfoResetForTests();

/* The system metrics, filesysTable and cpuTable as registered; each hint
 * or column is the number its handler switches on. */
namespace kestrova {

enum class SysinfoMetric : unsigned {
    totalSwap = 1,
    usedSwap,
    freeSwap,
    totalMem,
    usedMem,
    freeMem,
    loadAvg1Min,
    loadAvg5Min,
    loadAvg15Min,
    numberCPUs,
    kernelVers,
    numTCPEndpts,
    numUDPEndpts,
    numProcesses,
    numHandles,
    numUsers,
    numDependencies,
    numPeers,
    numThreads,
    diskReads,
    diskReadKB,
    diskWrites,
    diskWriteKB,
    systemTotalCpuUser,
    systemTotalCpuIdle,
    systemTotalCpuKernel,
    systemTotalCpuWait,
    virtualSystem,
    kernelSize,
};
inline constexpr VarSpec sysinfoMetricDefs[] = {
    KESTROVA_SCALAR(SysinfoMetric, totalSwap, gauge, var_sysinfometrics, nullptr),
    KESTROVA_SCALAR(SysinfoMetric, usedSwap, gauge, var_sysinfometrics, nullptr),
    KESTROVA_SCALAR(SysinfoMetric, freeSwap, gauge, var_sysinfometrics, nullptr),
    KESTROVA_SCALAR(SysinfoMetric, totalMem, gauge, var_sysinfometrics, nullptr),
    KESTROVA_SCALAR(SysinfoMetric, usedMem, gauge, var_sysinfometrics, nullptr),
    KESTROVA_SCALAR(SysinfoMetric, freeMem, gauge, var_sysinfometrics, nullptr),
    KESTROVA_SCALAR(SysinfoMetric, loadAvg1Min, floatingPoint, var_sysinfometrics, nullptr),
    KESTROVA_SCALAR(SysinfoMetric, loadAvg5Min, floatingPoint, var_sysinfometrics, nullptr),
    KESTROVA_SCALAR(SysinfoMetric, loadAvg15Min, floatingPoint, var_sysinfometrics, nullptr),
    KESTROVA_SCALAR(SysinfoMetric, numberCPUs, gauge, var_sysinfometrics, nullptr),
    KESTROVA_SCALAR(SysinfoMetric, kernelVers, displayString, var_sysinfometrics, nullptr),
    KESTROVA_SCALAR(SysinfoMetric, numTCPEndpts, gauge, var_sysinfometrics, nullptr),
    KESTROVA_SCALAR(SysinfoMetric, numUDPEndpts, gauge, var_sysinfometrics, nullptr),
    KESTROVA_SCALAR(SysinfoMetric, numProcesses, gauge, var_sysinfometrics, nullptr),
    KESTROVA_SCALAR(SysinfoMetric, numHandles, gauge, var_sysinfometrics, nullptr),
    KESTROVA_SCALAR(SysinfoMetric, numUsers, gauge, var_sysinfometrics, nullptr),
    KESTROVA_SCALAR(SysinfoMetric, numDependencies, gauge, var_sysinfometrics, nullptr),
    KESTROVA_SCALAR(SysinfoMetric, numPeers, gauge, var_sysinfometrics, nullptr),
    KESTROVA_SCALAR(SysinfoMetric, numThreads, gauge, var_sysinfometrics, nullptr),
    KESTROVA_SCALAR(SysinfoMetric, diskReads, counter, var_sysinfometrics, nullptr),
    KESTROVA_SCALAR(SysinfoMetric, diskReadKB, counter, var_sysinfometrics, nullptr),
    KESTROVA_SCALAR(SysinfoMetric, diskWrites, counter, var_sysinfometrics, nullptr),
    KESTROVA_SCALAR(SysinfoMetric, diskWriteKB, counter, var_sysinfometrics, nullptr),
    KESTROVA_SCALAR(SysinfoMetric, systemTotalCpuUser, counter, var_sysinfometrics, nullptr),
    KESTROVA_SCALAR(SysinfoMetric, systemTotalCpuIdle, counter, var_sysinfometrics, nullptr),
    KESTROVA_SCALAR(SysinfoMetric, systemTotalCpuKernel, counter, var_sysinfometrics, nullptr),
    KESTROVA_SCALAR(SysinfoMetric, systemTotalCpuWait, counter, var_sysinfometrics, nullptr),
    KESTROVA_SCALAR(SysinfoMetric, virtualSystem, extendedBoolean, var_sysinfometrics, nullptr),
    KESTROVA_SCALAR(SysinfoMetric, kernelSize, integer, var_sysinfometrics, nullptr),
};

enum class FilesysColumn : unsigned {
    filesystem = 1,
    mountpoint,
    fstype,
    totalBlocks,
    usedBlocks,
    freeBlocks,
    availBlocks,
    totalFiles,
    freeFiles,
    usedFiles,
    blockSize,
    percentUsedBlocks,
    percentUsedFiles,
    availFiles,
};
inline constexpr VarSpec filesysTableDefs[] = {
    KESTROVA_TABLE("filesysTable", var_filesysTable),
    KESTROVA_COLUMN(FilesysColumn, filesystem, displayString, "filesysTable"),
    KESTROVA_COLUMN(FilesysColumn, mountpoint, displayString, "filesysTable"),
    KESTROVA_COLUMN(FilesysColumn, fstype, displayString, "filesysTable"),
    KESTROVA_COLUMN(FilesysColumn, totalBlocks, integer, "filesysTable"),
    KESTROVA_COLUMN(FilesysColumn, usedBlocks, integer, "filesysTable"),
    KESTROVA_COLUMN(FilesysColumn, freeBlocks, integer, "filesysTable"),
    KESTROVA_COLUMN(FilesysColumn, availBlocks, integer, "filesysTable"),
    KESTROVA_COLUMN(FilesysColumn, totalFiles, integer, "filesysTable"),
    KESTROVA_COLUMN(FilesysColumn, freeFiles, integer, "filesysTable"),
    KESTROVA_COLUMN(FilesysColumn, usedFiles, integer, "filesysTable"),
    KESTROVA_COLUMN(FilesysColumn, blockSize, integer, "filesysTable"),
    KESTROVA_COLUMN(FilesysColumn, percentUsedBlocks, floatingPoint, "filesysTable"),
    KESTROVA_COLUMN(FilesysColumn, percentUsedFiles, floatingPoint, "filesysTable"),
    KESTROVA_COLUMN(FilesysColumn, availFiles, floatingPoint, "filesysTable"),
};

enum class CpuColumn : unsigned {
    cpuNumber = 1,
    cpuDescription,
    cpuTotalUserPercent,
    cpuTotalIdlePercent,
    cpuTotalKernelPercent,
    cpuTotalWaitPercent,
    cpuIntervalUserPercent,
    cpuIntervalIdlePercent,
    cpuIntervalKernelPercent,
    cpuIntervalWaitPercent,
    cpuInterval,
    cpuTotalUser,
    cpuTotalIdle,
    cpuTotalKernel,
    cpuTotalWait,
};
inline constexpr VarSpec cpuTableDefs[] = {
    KESTROVA_TABLE("cpuTable", var_cpuTable),
    KESTROVA_COLUMN(CpuColumn, cpuNumber, integer, "cpuTable"),
    KESTROVA_COLUMN(CpuColumn, cpuDescription, integer, "cpuTable"),
    KESTROVA_COLUMN(CpuColumn, cpuTotalUserPercent, floatingPoint, "cpuTable"),
    KESTROVA_COLUMN(CpuColumn, cpuTotalIdlePercent, floatingPoint, "cpuTable"),
    KESTROVA_COLUMN(CpuColumn, cpuTotalKernelPercent, floatingPoint, "cpuTable"),
    KESTROVA_COLUMN(CpuColumn, cpuTotalWaitPercent, floatingPoint, "cpuTable"),
    KESTROVA_COLUMN(CpuColumn, cpuIntervalUserPercent, floatingPoint, "cpuTable"),
    KESTROVA_COLUMN(CpuColumn, cpuIntervalIdlePercent, floatingPoint, "cpuTable"),
    KESTROVA_COLUMN(CpuColumn, cpuIntervalKernelPercent, floatingPoint, "cpuTable"),
    KESTROVA_COLUMN(CpuColumn, cpuIntervalWaitPercent, floatingPoint, "cpuTable"),
    KESTROVA_COLUMN(CpuColumn, cpuInterval, integer, "cpuTable"),
    KESTROVA_COLUMN(CpuColumn, cpuTotalUser, counter, "cpuTable"),
    KESTROVA_COLUMN(CpuColumn, cpuTotalIdle, counter, "cpuTable"),
    KESTROVA_COLUMN(CpuColumn, cpuTotalKernel, counter, "cpuTable"),
    KESTROVA_COLUMN(CpuColumn, cpuTotalWait, counter, "cpuTable"),
};

} // namespace kestrova
#endif

#endif
