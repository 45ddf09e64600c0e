// Platform values of the metrics, from the host's own files (through the
// host root) with the kernel's answers as fall-back.
#include <sys/utsname.h>

#include <cstring>
#include <mutex>
#include <string>

#include "hostfs.h"
#include "qel/strutil.h"
#include "solaris_kstat.h"
#include "sysinfo.h"
#include "sysinfo_parse.h"
#include "kestrova.h"

namespace {

float loadAvg(const char *stat) {
    uint32_t v = 0;
    char mod[] = "unix", name[] = "system_misc";
    std::string s(stat);
    if (get_named_kstat(mod, 0, name, s.data(), &v, sizeof v) != static_cast<int>(sizeof v))
        return 0.0f;
    return static_cast<float>(v / 256.0);
}

} // namespace

extern "C" float getSystemLoad1Min(void) {
    return loadAvg("avenrun_1min");
}
extern "C" float getSystemLoad5Min(void) {
    return loadAvg("avenrun_5min");
}
extern "C" float getSystemLoad15Min(void) {
    return loadAvg("avenrun_15min");
}

extern "C" int get_kernel_version(char *str, int len) {
    if (!str || len < 1)
        return 1;
    std::string text;
    try {
        std::string version, release;
        if (hostfs::readHostLine("/proc/sys/kernel/version", version) &&
            hostfs::readHostLine("/proc/sys/kernel/osrelease", release)) {
            text = sysinfoparse::kernelVersion(version, release);
        } else {
            struct utsname u;
            if (::uname(&u) == 0)
                text = sysinfoparse::kernelVersion(u.version, u.release);
        }
    } catch (...) {
        kestrova::logCaught("get_kernel_version");
        text.clear();
    }
    qelCopyMem(str, static_cast<size_t>(len), text.data(), text.size());
    return 1;
}

extern "C" long get_uptime(void) {
    static std::once_flag once;
    static uint64_t boot = 0;
    std::call_once(once, [] {
        uint64_t v = 0;
        char mod[] = "unix", name[] = "system_misc", stat[] = "boot_time";
        if (get_named_kstat(mod, 0, name, stat, &v, sizeof v) == static_cast<int>(sizeof v))
            boot = v;
    });
    return static_cast<long>(sysinfoNow() - static_cast<time_t>(boot));
}

extern "C" int get_kernel_wordsize(void) {
    static const int size = [] {
        struct utsname u;
        if (::uname(&u) != 0)
            return 0;
        return sysinfoparse::wordSizeOf(u.machine);
    }();
    return size;
}

extern "C" long getTotalHandles(void) {
    uint64_t v = 0;
    char mod[] = "unix", name[] = "file_cache", stat[] = "buf_inuse";
    if (get_named_kstat(mod, 0, name, stat, &v, sizeof v) != static_cast<int>(sizeof v))
        return 0;
    return static_cast<long>(v);
}

extern "C" int getNumberUsers(void) {
    return 0;
}
