/*
 * Pure parsers of the per-process files of Linux's /proc that the process
 * table reads. Reading is done elsewhere (through hostfs); everything here
 * works on text so it can be tested on any input.
 */
#ifndef KESTROVA_PROC_PARSE_H
#define KESTROVA_PROC_PARSE_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace procparse {

/* The fields of /proc/PID/stat the process table uses. */
struct Stat {
    std::string comm; // between the first '(' and the last ')'
    char state = '\0';
    long long ppid = 0;
    unsigned long long flags = 0; // the kernel's task flags (PF_*)
    long long numThreads = 0;
    unsigned long long utime = 0, stime = 0; // clock ticks
    unsigned long long starttime = 0;        // clock ticks after boot
    unsigned long long vsize = 0;            // bytes
    long long rss = 0;                       // pages
};

/* The task flag of a kernel thread (PF_KTHREAD): it has no memory of its
 * own, so no command line. */
constexpr unsigned long long kStatFlagKernelThread = 0x00200000;

/* False when the text is not a stat line (no parenthesised name, or fewer
 * fields than the ones used). */
bool parseStat(std::string_view text, Stat &out);

/* Real user and group id from /proc/PID/status ("Uid:" and "Gid:" lines,
 * first value). False when either is missing. */
bool parseStatus(std::string_view text, unsigned &uid, unsigned &gid);

/* /proc/PID/cmdline: NULs become blanks and a final NUL is dropped; the text
 * is cut to maxLen characters. Empty for an empty file. */
std::string parseCmdline(std::string_view raw, size_t maxLen = 4095);

/* /proc/PID/io counters; absent ones stay 0. False when none is present. */
struct Io {
    unsigned long long rchar = 0, wchar = 0, syscr = 0, syscw = 0;
};
bool parseIo(std::string_view text, Io &out);

/* "btime" of /proc/stat (seconds since the epoch), or -1. */
long long parseBootTime(std::string_view text);

/* Text of a kernel state letter: R "running", S and I "sleeping", Z
 * "zombie", T and t "traced", any other "unknown %c". */
std::string stateText(char letter);

/* The inode of a descriptor link "socket:[INODE]"; false for other links. */
bool socketInode(std::string_view link, uint64_t &inode);

/* The inodes of the sockets listed in /proc/net/unix (its seventh column),
 * appended to out in the file's order. Lines that do not hold one (the
 * heading) are skipped. */
void parseUnixInodes(std::string_view text, std::vector<uint64_t> &out);

/* True for a name made only of digits (a pid directory, a descriptor). */
bool allDigits(std::string_view name);

} // namespace procparse

#endif
