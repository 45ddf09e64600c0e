// qeld --user: root binds the sockets, then the agent becomes the named user
// with only the capabilities its plug-ins need.
#include "privdrop.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <grp.h>
#include <memory>
#include <pwd.h>
#include <sys/capability.h>
#include <sys/prctl.h>
#include <unistd.h>
#include <vector>

namespace qeld {

namespace {

constexpr cap_value_t kKept[] = {CAP_NET_RAW, CAP_DAC_READ_SEARCH, CAP_SYS_PTRACE};
constexpr int kKeptCount = sizeof kKept / sizeof kKept[0];

bool kept(cap_value_t c) {
    for (cap_value_t k : kKept)
        if (k == c)
            return true;
    return false;
}

std::string failed(const char *what) {
    return std::string(what) + ": " + std::strerror(errno);
}

// The process's own threads (not host state: no configurable root here).
int threadCount() {
    DIR *d = opendir("/proc/self/task");
    if (!d)
        return -1;
    int n = 0;
    while (struct dirent *e = readdir(d))
        if (e->d_name[0] != '.')
            ++n;
    closedir(d);
    return n;
}

struct CapFree {
    void operator()(cap_t c) const { cap_free(c); }
};
using CapHandle = std::unique_ptr<std::remove_pointer_t<cap_t>, CapFree>;

} // namespace

uint64_t agentCapabilityMask() {
    uint64_t mask = 0;
    for (cap_value_t k : kKept)
        mask |= uint64_t{1} << k;
    return mask;
}

bool dropPrivileges(const std::string &user, std::string &error) {
    if (geteuid() != 0) {
        error = "--user needs the agent started as root";
        return false;
    }
    // Capability sets are per thread: a thread started earlier would keep
    // every privilege.
    if (threadCount() != 1) {
        error = "cannot drop privileges once threads run";
        return false;
    }
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buf(size > 0 ? static_cast<size_t>(size) : 16384);
    struct passwd pw {};
    struct passwd *found = nullptr;
    int rc;
    while ((rc = getpwnam_r(user.c_str(), &pw, buf.data(), buf.size(), &found)) == ERANGE && buf.size() < (1u << 20))
        buf.resize(buf.size() * 2);
    if (rc != 0 || !found) {
        error = "no user " + user + (rc ? std::string(": ") + std::strerror(rc) : "");
        return false;
    }
    if (pw.pw_uid == 0) {
        error = "user " + user + " is root: nothing would be dropped";
        return false;
    }
    if (initgroups(pw.pw_name, pw.pw_gid) != 0) {
        error = failed("initgroups");
        return false;
    }
    // Dropping from the bounding set needs CAP_SETPCAP, which goes with root.
    for (cap_value_t c = 0; c < static_cast<cap_value_t>(cap_max_bits()); ++c)
        if (!kept(c) && cap_drop_bound(c) != 0) {
            error = failed("dropping a capability from the bounding set");
            return false;
        }
    if (prctl(PR_SET_KEEPCAPS, 1L, 0L, 0L, 0L) != 0) {
        error = failed("PR_SET_KEEPCAPS");
        return false;
    }
    if (setresgid(pw.pw_gid, pw.pw_gid, pw.pw_gid) != 0) {
        error = failed("setresgid");
        return false;
    }
    if (setresuid(pw.pw_uid, pw.pw_uid, pw.pw_uid) != 0) {
        error = failed("setresuid");
        return false;
    }
    // The uid change emptied the effective set; permitted still holds what
    // root had: narrow it to the agent's three, raised in every set.
    CapHandle caps(cap_init());
    if (!caps || cap_set_flag(caps.get(), CAP_PERMITTED, kKeptCount, kKept, CAP_SET) != 0 ||
        cap_set_flag(caps.get(), CAP_EFFECTIVE, kKeptCount, kKept, CAP_SET) != 0 ||
        cap_set_flag(caps.get(), CAP_INHERITABLE, kKeptCount, kKept, CAP_SET) != 0 || cap_set_proc(caps.get()) != 0) {
        error = failed("setting the capability sets");
        return false;
    }
    if (cap_reset_ambient() != 0) {
        error = failed("clearing the ambient set");
        return false;
    }
    for (cap_value_t k : kKept)
        if (cap_set_ambient(k, CAP_SET) != 0) {
            error = failed("raising an ambient capability");
            return false;
        }
    if (prctl(PR_SET_KEEPCAPS, 0L, 0L, 0L, 0L) != 0 || prctl(PR_SET_NO_NEW_PRIVS, 1L, 0L, 0L, 0L) != 0) {
        error = failed("prctl");
        return false;
    }
    // Root must be out of reach now.
    if (setuid(0) == 0 || (pw.pw_gid != 0 && setgid(0) == 0)) {
        error = "root could be regained after the drop";
        return false;
    }
    return true;
}

} // namespace qeld
