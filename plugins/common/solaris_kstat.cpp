#include "solaris_kstat.h"
#include "textscan.h"

#include <fcntl.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <mutex>
#include <optional>

#include "hostfs.h"
#include "qel/entry_guard.h"
#include "qel/strutil.h"

namespace {

using textscan::eachLine;
using textscan::words;

// Data types of named values, as the kstat interface has them.
enum class KType { Char, Int32, Uint32, Int64, Uint64, String };

struct Named {
    KType type = KType::Uint64;
    char c[16] = {};
    int64_t i = 0;
    uint64_t u = 0;
    std::string str;
};

std::mutex kstatMutex;
int handleFd = -1; // the "chain": the host's /proc, opened on first use
int handleOpens = 0;

// Caller holds kstatMutex.
bool openHandle() {
    if (handleFd >= 0)
        return true;
    handleFd = ::open(hostfs::hostPath("/proc").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (handleFd < 0)
        return false;
    ++handleOpens;
    return true;
}

template <typename T>
bool num(std::string_view s, T &v) {
    if (s.empty())
        return false;
    auto r = std::from_chars(s.data(), s.data() + s.size(), v);
    return r.ec == std::errc() && r.ptr == s.data() + s.size();
}

// "<prefix><digits>" with the digits' value.
bool numberedName(std::string_view name, std::string_view prefix, int &n) {
    if (name.size() <= prefix.size() || name.substr(0, prefix.size()) != prefix)
        return false;
    return num(name.substr(prefix.size()), n) && n >= 0;
}

Named u64(uint64_t v) {
    Named n;
    n.type = KType::Uint64;
    n.u = v;
    return n;
}

std::optional<Named> systemMisc(std::string_view stat) {
    std::string text;
    if (stat.substr(0, 8) == "avenrun_") {
        uint32_t av[3];
        if (!hostfs::readHostFile("/proc/loadavg", text, 4096) || !kstatparse::parseLoadavg(text, av))
            return std::nullopt;
        int idx = stat == "avenrun_1min" ? 0 : stat == "avenrun_5min" ? 1 : stat == "avenrun_15min" ? 2 : -1;
        if (idx < 0)
            return std::nullopt;
        Named n;
        n.type = KType::Uint32;
        n.u = av[idx];
        return n;
    }
    if (stat == "boot_time") {
        uint64_t bt;
        if (!hostfs::readHostFile("/proc/stat", text) || !kstatparse::parseProcStatBtime(text, bt))
            return std::nullopt;
        return u64(bt);
    }
    return std::nullopt;
}

std::optional<Named> cpuInfo(int cpu, std::string_view stat) {
    std::string text;
    if (stat == "cpu_type") {
        struct utsname u;
        if (::uname(&u) != 0)
            return std::nullopt;
        Named n;
        n.type = KType::Char;
        qelCopyMem(n.c, sizeof n.c, u.machine, strnlen(u.machine, sizeof n.c - 1));
        return n;
    }
    if (stat == "clock_MHz" || stat == "brand") {
        int mhz = 0;
        std::string model;
        bool have = hostfs::readHostFile("/proc/cpuinfo", text) && kstatparse::parseCpuinfo(text, cpu, mhz, model);
        if (!have && stat == "clock_MHz") {
            // No "cpu MHz" (ARM): cpufreq's maximum, in kHz.
            uint64_t khz;
            if (!hostfs::readHostLine("/sys/devices/system/cpu/cpu" + std::to_string(cpu) + "/cpufreq/cpuinfo_max_freq",
                                      text) ||
                !kstatparse::parseSysfsUnsigned(text, khz) || khz / 1000 > 1000000)
                return std::nullopt;
            mhz = static_cast<int>(khz / 1000);
            have = true;
        }
        if (!have)
            return std::nullopt;
        Named n;
        if (stat == "brand") {
            n.type = KType::String;
            n.str = model;
        } else {
            n.type = KType::Int32;
            n.i = mhz;
        }
        return n;
    }
    return std::nullopt;
}

std::optional<Named> fileCache(std::string_view stat) {
    std::string text;
    uint64_t v;
    if (stat != "buf_inuse" || !hostfs::readHostFile("/proc/sys/fs/file-nr", text, 4096) ||
        !kstatparse::parseFileNr(text, v))
        return std::nullopt;
    return u64(v);
}

// Per-interface counters, named as network drivers name them.
std::optional<Named> netCounters(std::string_view ifname, std::string_view stat) {
    if (!hostfs::isSafeComponent(ifname))
        return std::nullopt;
    std::string dir = "/sys/class/net/" + std::string(ifname);
    std::string text;
    if (!hostfs::readHostLine(dir + "/ifindex", text))
        return std::nullopt; // no such interface
    static const struct {
        const char *stat;
        const char *file; // null: a counter Linux does not keep
    } map[] = {
        {"ipackets", "rx_packets"},   {"ipackets64", "rx_packets"}, {"rbytes", "rx_bytes"},
        {"rbytes64", "rx_bytes"},     {"ierrors", "rx_errors"},     {"opackets", "tx_packets"},
        {"opackets64", "tx_packets"}, {"obytes", "tx_bytes"},       {"obytes64", "tx_bytes"},
        {"oerrors", "tx_errors"},     {"multrcv", "multicast"},     {"collisions", "collisions"},
        {"norcvbuf", "rx_dropped"},   {"noxmtbuf", "tx_dropped"},   {"brdcstrcv", nullptr},
        {"brdcstxmt", nullptr},       {"multxmt", nullptr},         {"drop", nullptr},
        {"nocanput", nullptr},
    };
    if (stat == "ifspeed") {
        uint64_t mbit;
        // Virtual links have no speed (the read fails or gives -1).
        if (!hostfs::readHostLine(dir + "/speed", text) || !kstatparse::parseSysfsUnsigned(text, mbit))
            return std::nullopt;
        return u64(mbit * 1000000u);
    }
    for (const auto &m : map) {
        if (stat != m.stat)
            continue;
        if (!m.file)
            return u64(0);
        uint64_t v;
        if (!hostfs::readHostLine(dir + "/statistics/" + m.file, text) || !kstatparse::parseSysfsUnsigned(text, v))
            return std::nullopt;
        return u64(v);
    }
    return std::nullopt;
}

std::optional<Named> lookupNamed(std::string_view name, std::string_view stat) {
    int cpu;
    if (name == "system_misc")
        return systemMisc(stat);
    if (numberedName(name, "cpu_info", cpu))
        return cpuInfo(cpu, stat);
    if (name == "file_cache")
        return fileCache(stat);
    return netCounters(name, stat);
}

bool wantedDisk(std::string_view name, const std::vector<std::string> &blockDevs) {
    // Whole devices only (partitions are not under /sys/block), and no
    // virtual ones that would count the same I/O twice.
    for (std::string_view p : {"loop", "ram", "zram", "dm-", "md", "sr", "fd"})
        if (name.substr(0, p.size()) == p)
            return false;
    for (const auto &b : blockDevs)
        if (b == name)
            return true;
    return false;
}

} // namespace

namespace kstatparse {

bool parseProcStatCpu(std::string_view text, int cpu, kstatCpuStat_t &out) {
    std::string want = "cpu" + std::to_string(cpu);
    bool found = false;
    eachLine(text, [&](std::string_view line) {
        auto w = words(line);
        if (w.empty() || w[0] != want)
            return true;
        // user nice system idle iowait irq softirq steal ...
        uint64_t v[8] = {};
        if (w.size() < 5)
            return false;
        for (size_t i = 1; i < w.size() && i <= 8; ++i)
            if (!num(w[i], v[i - 1]))
                return false;
        out.user = v[0] + v[1];
        out.kernel = v[2] + v[5] + v[6] + v[7];
        out.idle = v[3];
        out.wait = v[4];
        found = true;
        return false;
    });
    return found;
}

int parseProcStatCpus(std::string_view text, std::vector<int> &insts, std::vector<kstatCpuStat_t> &recs) {
    int n = 0;
    eachLine(text, [&](std::string_view line) {
        auto w = words(line);
        int cpu;
        if (w.empty() || !numberedName(w[0], "cpu", cpu))
            return true;
        kstatCpuStat_t rec{};
        if (parseProcStatCpu(line, cpu, rec)) {
            insts.push_back(cpu);
            recs.push_back(rec);
            ++n;
        }
        return true;
    });
    return n;
}

bool parseCpuList(std::string_view text, std::vector<int> &cpus, int maxCpu) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.remove_suffix(1);
    std::vector<int> out;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t comma = text.find(',', pos);
        if (comma == std::string_view::npos)
            comma = text.size();
        std::string_view part = text.substr(pos, comma - pos);
        size_t dash = part.find('-');
        int lo, hi;
        if (dash == std::string_view::npos) {
            if (!num(part, lo))
                return false;
            hi = lo;
        } else if (!num(part.substr(0, dash), lo) || !num(part.substr(dash + 1), hi)) {
            return false;
        }
        if (lo < 0 || hi < lo || hi > maxCpu)
            return false;
        for (int c = lo; c <= hi; ++c)
            out.push_back(c);
        pos = comma + 1;
    }
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    cpus = std::move(out);
    return true;
}

bool parseProcStatBtime(std::string_view text, uint64_t &bootTime) {
    bool found = false;
    eachLine(text, [&](std::string_view line) {
        auto w = words(line);
        if (w.size() == 2 && w[0] == "btime") {
            found = num(w[1], bootTime);
            return false;
        }
        return true;
    });
    return found;
}

bool parseLoadavg(std::string_view text, uint32_t avenrun[3]) {
    auto w = words(text.substr(0, text.find('\n')));
    if (w.size() < 3)
        return false;
    uint32_t v[3];
    for (int i = 0; i < 3; ++i) {
        std::string s(w[i]);
        char *end = nullptr;
        double d = std::strtod(s.c_str(), &end);
        if (end == s.c_str() || *end != '\0' || !(d >= 0) || d > 16000000.0)
            return false;
        v[i] = static_cast<uint32_t>(std::lround(d * 256.0));
    }
    std::memcpy(avenrun, v, sizeof v);
    return true;
}

int parseDiskstats(std::string_view text, std::vector<kstatIo_t> &out) {
    int n = 0;
    eachLine(text, [&](std::string_view line) {
        auto w = words(line);
        // major minor name reads merged sectors ms writes merged sectors ms ...
        uint64_t reads, rsect, writes, wsect;
        if (w.size() >= 10 && num(w[3], reads) && num(w[5], rsect) && num(w[7], writes) && num(w[9], wsect)) {
            kstatIo_t io{};
            qelCopyField(io.name, w[2]);
            io.reads = reads;
            io.writes = writes;
            io.nread = rsect * 512;
            io.nwritten = wsect * 512;
            out.push_back(io);
            ++n;
        }
        return true;
    });
    return n;
}

bool parseFileNr(std::string_view text, uint64_t &allocated) {
    auto w = words(text.substr(0, text.find('\n')));
    return !w.empty() && num(w[0], allocated);
}

bool parseCpuinfo(std::string_view text, int cpu, int &mhz, std::string &model) {
    int current = -1;
    bool haveMhz = false;
    eachLine(text, [&](std::string_view line) {
        size_t colon = line.find(':');
        if (colon == std::string_view::npos)
            return true;
        std::string_view key = line.substr(0, colon);
        while (!key.empty() && (key.back() == ' ' || key.back() == '\t'))
            key.remove_suffix(1);
        std::string_view val = line.substr(colon + 1);
        while (!val.empty() && val.front() == ' ')
            val.remove_prefix(1);
        if (key == "processor") {
            if (current == cpu)
                return false; // done with ours
            if (!num(val, current))
                current = -1;
        } else if (current == cpu && key == "cpu MHz") {
            double d = std::strtod(std::string(val).c_str(), nullptr);
            mhz = static_cast<int>(std::lround(d));
            haveMhz = d > 0;
        } else if (current == cpu && key == "model name") {
            model = std::string(val);
        }
        return true;
    });
    return haveMhz;
}

bool parseSysfsUnsigned(std::string_view text, uint64_t &v) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.remove_suffix(1);
    return num(text, v);
}

} // namespace kstatparse

int kstatHandleOpens() {
    std::lock_guard lock(kstatMutex);
    return handleOpens;
}

extern "C" int get_named_kstat(char *mod, int inst, char *name, char *stat, void *buf, int buflen) {
    (void)mod;
    (void)inst;
    if (!buf || buflen < 4 || !stat || !name)
        return -1;
    return qel::guarded("get_named_kstat", -1, [&]() -> int {
        std::lock_guard lock(kstatMutex);
        if (!openHandle())
            return -1;
        auto v = lookupNamed(name, stat);
        if (!v)
            return -1;
        switch (v->type) {
        case KType::Char: {
            size_t n = std::min<size_t>(static_cast<size_t>(buflen), sizeof v->c);
            std::memcpy(buf, v->c, n);
            static_cast<char *>(buf)[n - 1] = '\0';
            return static_cast<int>(std::strlen(static_cast<char *>(buf)));
        }
        case KType::String: {
            size_t len = v->str.size() + 1; // with its terminator
            size_t n = std::min<size_t>(static_cast<size_t>(buflen), len);
            std::memcpy(buf, v->str.c_str(), n);
            static_cast<char *>(buf)[n - 1] = '\0';
            return static_cast<int>(n);
        }
        case KType::Int32:
        case KType::Uint32:
        case KType::Int64:
        case KType::Uint64: {
            bool is32 = v->type == KType::Int32 || v->type == KType::Uint32;
            bool isSigned = v->type == KType::Int32 || v->type == KType::Int64;
            uint64_t raw = isSigned ? static_cast<uint64_t>(v->i) : v->u;
            if (buflen == 4) {
                uint32_t low = static_cast<uint32_t>(raw);
                std::memcpy(buf, &low, 4);
                return 4;
            }
            if (buflen == 8) {
                uint64_t wide = raw;
                if (is32)
                    wide = isSigned ? static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(raw)))
                                    : static_cast<uint32_t>(raw);
                std::memcpy(buf, &wide, 8);
                return 8;
            }
            return -1;
        }
        }
        return -1;
    });
}

extern "C" int get_raw_kstat(char *module, char *name, int inst, void *buf, int maxlen) {
    if (!name || !buf)
        return 0;
    return qel::guarded("get_raw_kstat", 0, [&]() -> int {
        std::lock_guard lock(kstatMutex);
        if (!openHandle())
            return -1;
        int cpu;
        if (maxlen <= 0 || !numberedName(name, "cpu_stat", cpu) || cpu != inst ||
            (module && std::strcmp(module, "cpu_stat") != 0))
            return 0;
        std::string text;
        kstatCpuStat_t rec{};
        if (!hostfs::readHostFile("/proc/stat", text) || !kstatparse::parseProcStatCpu(text, cpu, rec))
            return 0;
        size_t n = std::min<size_t>(static_cast<size_t>(maxlen), sizeof rec);
        std::memcpy(buf, &rec, n);
        return static_cast<int>(n);
    });
}

extern "C" int get_io_kstats(const char *ksclass, kstatIo_t *buf, int maxEntries) {
    return qel::guarded("get_io_kstats", -1, [&]() -> int {
        std::lock_guard lock(kstatMutex);
        if (!openHandle())
            return -1;
        if (!ksclass || !buf || maxEntries <= 0 || std::strcmp(ksclass, "disk") != 0)
            return 0;
        std::string text;
        std::vector<kstatIo_t> all;
        if (!hostfs::readHostFile("/proc/diskstats", text))
            return 0;
        kstatparse::parseDiskstats(text, all);
        auto blockDevs = hostfs::listHostDir("/sys/block");
        int n = 0;
        for (const auto &io : all) {
            if (n >= maxEntries)
                break;
            if (wantedDisk(io.name, blockDevs))
                buf[n++] = io;
        }
        return n;
    });
}

extern "C" int get_cpu_kstats(int *insts, kstatCpuStat_t *recs, int maxEntries) {
    return qel::guarded("get_cpu_kstats", -1, [&]() -> int {
        std::lock_guard lock(kstatMutex);
        if (!openHandle())
            return -1;
        if (!insts || !recs || maxEntries <= 0)
            return 0;
        std::string text;
        if (!hostfs::readHostFile("/proc/stat", text))
            return 0;
        std::vector<int> in;
        std::vector<kstatCpuStat_t> rs;
        kstatparse::parseProcStatCpus(text, in, rs);
        int n = std::min(static_cast<int>(in.size()), maxEntries);
        for (int i = 0; i < n; ++i) {
            insts[i] = in[i];
            recs[i] = rs[i];
        }
        return n;
    });
}

extern "C" void kstat_finish(void) {
    std::lock_guard lock(kstatMutex);
    if (handleFd >= 0)
        ::close(handleFd);
    handleFd = -1;
}
