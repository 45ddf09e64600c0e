/*
 * Kernel-statistics readers. The kstat names and records the metrics and
 * the MIB-II collection ask for are answered from Linux (/proc, /sys, all
 * through the host root). Self-contained apart from hostfs: each plug-in
 * that uses it compiles its own copy, with its own handle and mutex.
 */
#ifndef SOLARIS_KSTAT_H
#define SOLARIS_KSTAT_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Raw record of "cpu_stat%d": the CPU's ticks by state since boot. */
typedef struct kstatCpuStat {
    uint64_t user; /* user + nice */
    uint64_t idle;
    uint64_t kernel; /* system + irq + softirq + steal */
    uint64_t wait;   /* iowait */
} kstatCpuStat_t;

/* One I/O kstat of class "disk". */
typedef struct kstatIo {
    char name[32];
    uint64_t nread;    /* bytes read */
    uint64_t nwritten; /* bytes written */
    uint64_t reads;    /* read operations */
    uint64_t writes;   /* write operations */
} kstatIo_t;

/* Named value `stat` of kstat `name` into buf (buflen 4 or 8 for numbers).
 * Bytes stored, or -1. mod and inst take no part in the lookup. */
int get_named_kstat(char *mod, int inst, char *name, char *stat, void *buf, int buflen);
/* Data of the raw kstat `name` with instance inst (and module, when given).
 * Bytes copied; 0 when none matches or name/buf is null; -1 when the
 * statistics cannot be opened. */
int get_raw_kstat(char *module, char *name, int inst, void *buf, int maxlen);
/* The I/O kstats of class ksclass ("disk"): up to maxEntries records into
 * buf; the number stored, or -1 when the statistics cannot be opened. */
int get_io_kstats(const char *ksclass, kstatIo_t *buf, int maxEntries);
/* The "cpu_stat" record of every CPU listed in /proc/stat, from one read:
 * up to maxEntries instance numbers into insts and records into recs, in
 * the file's order. The number stored, or -1 when the statistics cannot be
 * opened. */
int get_cpu_kstats(int *insts, kstatCpuStat_t *recs, int maxEntries);
/* Closes the handle; the next reader call opens it again. */
void kstat_finish(void);

#ifdef __cplusplus
}

#include <string>
#include <string_view>
#include <vector>

namespace kstatparse {
/* "cpuN" line of /proc/stat. */
bool parseProcStatCpu(std::string_view text, int cpu, kstatCpuStat_t &out);
/* "btime" of /proc/stat. */
bool parseProcStatBtime(std::string_view text, uint64_t &bootTime);
/* The three load averages of /proc/loadavg, times 256, rounded. */
bool parseLoadavg(std::string_view text, uint32_t avenrun[3]);
/* Every device line of /proc/diskstats (name, operations, bytes). */
int parseDiskstats(std::string_view text, std::vector<kstatIo_t> &out);
/* Allocated file handles: the first number of /proc/sys/fs/file-nr. */
bool parseFileNr(std::string_view text, uint64_t &allocated);
/* "cpu MHz" of the given processor in /proc/cpuinfo, and its model. */
bool parseCpuinfo(std::string_view text, int cpu, int &mhz, std::string &model);
/* Every "cpuN" line of /proc/stat: instance numbers and records. */
int parseProcStatCpus(std::string_view text, std::vector<int> &insts, std::vector<kstatCpuStat_t> &recs);
/* A kernel CPU list ("0-3,8-11\n") into ascending numbers; false on bad
 * text or a range beyond maxCpu. */
bool parseCpuList(std::string_view text, std::vector<int> &cpus, int maxCpu = 1 << 20);
/* A single decimal sysfs value ("1500\n"); negative values fail. */
bool parseSysfsUnsigned(std::string_view text, uint64_t &v);
} // namespace kstatparse

/* How many times the handle has been opened (tests). */
int kstatHandleOpens();
#endif

#endif
