/*
 * Parsers of the host files behind the system metrics and the file-system
 * table, on text, apart from reading.
 */
#ifndef KESTROVA_SYSINFO_PARSE_H
#define KESTROVA_SYSINFO_PARSE_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace sysinfoparse {

/* /proc/meminfo: MemTotal and MemAvailable (MemFree where absent), KB. */
bool parseMeminfo(std::string_view text, uint64_t &totalKB, uint64_t &availKB);

/* /proc/swaps: sizes and used amounts of every device summed, KB. No
 * device gives zeros and true; false only for text that is not a table. */
bool parseSwaps(std::string_view text, uint64_t &totalKB, uint64_t &usedKB);

struct Mount {
    std::string special;
    std::string mountpt;
    std::string fstype;
};
/* /proc/self/mountinfo in file order, octal escapes decoded. */
std::vector<Mount> parseMountinfo(std::string_view text);
/* "\040" and the like decoded. */
std::string decodeOctal(std::string_view s);

/* Mounts the table never lists. */
bool skipMount(std::string_view mountpt, std::string_view fstype);

/* The server of a remote special: 1 with the server and IP version, or 0
 * for a local one. */
int remoteServer(std::string_view special, std::string_view fstype, std::string &server, int &ipVersion);

/* used / (used + avail) * 100, raised to the next whole number when its
 * fraction is at least one half. */
float percentUsed(uint64_t used, uint64_t avail);

/* /proc/sys/kernel/version and osrelease joined by a blank. */
std::string kernelVersion(std::string_view version, std::string_view release);
/* 64 for 64-bit machine names, else 32; 0 for an empty one. */
int wordSizeOf(std::string_view machine);

} // namespace sysinfoparse

#endif
