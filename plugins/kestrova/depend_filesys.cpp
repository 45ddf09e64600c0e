// File servers: the remote file systems this host mounts, the NFS clients
// of this host's exports (rmtab for NFSv3, nfsd's client list for NFSv4),
// and the SMB clients connected to its Samba shares.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <set>
#include <thread>

#include "depend_servers.h"
#include "depend_services.h"
#include "discovery.h"
#include "hostfs.h"
#include "kestrova.h"
#include "qel/strutil.h"
#include "sysinfo.h"
#include "sysinfo_parse.h"
#include "textscan.h"
#include "qel/log.h"

namespace kestrova::servers {

namespace {

bool isRemoteType(std::string_view t) {
    return t == "nfs" || t == "nfs4" || t == "cifs" || t == "smb3" || t == "smbfs";
}

} // namespace

std::vector<RemoteMount> parseFstabRemote(std::string_view text) {
    std::vector<RemoteMount> out;
    for (std::string_view line : boundedLines(text, kLine)) {
        std::vector<std::string> w = services::words(line, 3, kEntry);
        if (w.size() < 3 || w[0].front() == '#' || !isRemoteType(w[2]))
            continue;
        out.push_back({sysinfoparse::decodeOctal(w[0]), w[2]});
    }
    return out;
}

std::vector<std::string> parseAutoMaster(std::string_view text) {
    std::vector<std::string> out;
    for (std::string_view line : boundedLines(text, kLine)) {
        std::vector<std::string> w = services::words(line, 2, kEntry);
        if (w.size() < 2 || w[0].front() == '#' || w[0].front() == '+')
            continue;
        std::string map = w[1];
        if (textscan::startsWith(map, "file:"))
            map.erase(0, 5);
        else if (map.find(':') != std::string::npos || map.front() == '-')
            continue; // program, directory or built-in maps (-hosts, ldap:...)
        if (map.find('/') == std::string::npos)
            map = "/etc/" + map;
        if (map.front() == '/')
            out.push_back(map);
    }
    return out;
}

std::vector<RemoteMount> parseAutoMap(std::string_view text) {
    std::vector<RemoteMount> out;
    for (std::string_view line : boundedLines(text, kLine)) {
        std::vector<std::string> w = services::words(line, 16, kEntry);
        if (w.size() < 2 || w[0].front() == '#' || w[0].front() == '+')
            continue;
        std::string type = "nfs";
        for (size_t i = 1; i < w.size(); ++i) {
            const std::string &word = w[i];
            if (word.front() == '-') {
                size_t pos = word.find("fstype=");
                if (pos != std::string::npos)
                    type = word.substr(pos + 7, word.find(',', pos) - pos - 7);
                continue;
            }
            if (textscan::startsWith(word, "://"))
                out.push_back({word.substr(1), type == "nfs" ? "cifs" : type});
            else if (word.find(":/") != std::string::npos && isRemoteType(type))
                out.push_back({word, type});
        }
    }
    return out;
}

std::vector<RmtabEntry> parseRmtab(std::string_view text) {
    std::vector<RmtabEntry> out;
    for (std::string_view line : boundedLines(text, kLine)) {
        if (textscan::startsWith(line, "#") || textscan::startsWith(line, "*"))
            continue;
        std::string l = replaced(line, ":", ' ');
        std::replace(l.begin(), l.end(), ';', ':');
        std::vector<std::string> w = services::words(l, 2, kEntry);
        if (w.size() < 2 || w[1].front() == '*')
            continue;
        out.push_back({w[0], w[1]});
    }
    return out;
}

std::string parseNfsdClientAddress(std::string_view text) {
    for (std::string_view line : boundedLines(text, kLine)) {
        line = textscan::trim(line);
        if (!textscan::startsWith(line, "address:"))
            continue;
        std::string_view v = textscan::trim(line.substr(8));
        if (v.size() >= 2 && v.front() == '"' && v.back() == '"')
            v = v.substr(1, v.size() - 2);
        return authorityHost(v);
    }
    return {};
}

std::vector<SmbConnection> parseSmbstatusShares(std::string_view text) {
    static const std::string_view weekdays[] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
    auto isPid = [](std::string_view w) {
        // A clustered Samba prints "node:pid".
        if (w.empty() || !std::isdigit(static_cast<unsigned char>(w.front())) ||
            !std::isdigit(static_cast<unsigned char>(w.back())))
            return false;
        return std::all_of(w.begin(), w.end(),
                           [](char c) { return std::isdigit(static_cast<unsigned char>(c)) || c == ':'; });
    };
    auto isWeekday = [](std::string_view w) {
        return std::find(std::begin(weekdays), std::end(weekdays), w) != std::end(weekdays);
    };
    std::vector<SmbConnection> out;
    std::vector<std::string_view> lines = boundedLines(text, kLine);
    size_t i = 0;
    while (i < lines.size() && !textscan::startsWith(lines[i], "-"))
        ++i;
    for (++i; i < lines.size(); ++i) {
        std::string_view line = lines[i];
        if (line.empty() || textscan::isBlank(line.front()))
            continue;
        // Words with their offsets.
        std::vector<std::pair<size_t, std::string_view>> w;
        for (size_t p = 0; p < line.size();) {
            while (p < line.size() && textscan::isBlank(line[p]))
                ++p;
            size_t start = p;
            while (p < line.size() && !textscan::isBlank(line[p]))
                ++p;
            if (p > start)
                w.emplace_back(start, line.substr(start, p - start));
        }
        // The pid and the machine are the two words before the connection
        // date; a share name may hold blanks and digits of its own.
        size_t pid = 0;
        for (size_t k = 1; k + 2 < w.size() && !pid; ++k)
            if (isPid(w[k].second) && isWeekday(w[k + 2].second))
                pid = k;
        for (size_t k = 1; k + 1 < w.size() && !pid; ++k)
            if (isPid(w[k].second))
                pid = k;
        if (!pid)
            continue;
        out.push_back({std::string(textscan::trim(line.substr(0, w[pid].first))), std::string(w[pid].second),
                       std::string(w[pid + 1].second)});
    }
    return out;
}

} // namespace kestrova::servers

using kestrova::services::addFound;
using kestrova::services::readConfig;
namespace servers = kestrova::servers;

namespace {

// The remote file-system copies, kept between passes (worker thread only).
aFilesys_t *copyTable = nullptr;
int copyCapacity = 0;

// The Samba status command, once found (worker thread only).
bool statusFound = false;
constexpr const char *kStatusCommand = "/usr/bin/smbstatus";
constexpr size_t kStatusMaxBytes = 1u << 20;
std::atomic<int> statusTimeoutMs{10000};

int addInbound(std::string_view client, std::string_view args, dependencySrc_t dsrc, time_t now) {
    dependency_t d;
    std::memset(&d, 0, sizeof d);
    d.dtype = dependFilesys;
    d.dsrc = dsrc;
    d.pov = dependInbound;
    d.lastUpdate = now;
    qelCopyField(d.dependClient, client);
    qelCopyField(d.dependServer, myhostname);
    qelCopyField(d.args, args);
    return addLocalDependency(&d);
}

bool isRegularHostFile(const char *path) {
    struct stat st;
    return hostfs::statHostFile(path, &st) == 0 && S_ISREG(st.st_mode);
}

// NFSv4 clients never reach rmtab; nfsd lists each with its address. The
// server does not say which export a client uses.
void addNfs4Clients() {
    time_t now = std::time(nullptr);
    for (const std::string &id : hostfs::listHostDir("/proc/fs/nfsd/clients")) {
        if (!hostfs::isSafeComponent(id))
            continue;
        std::string text;
        if (!hostfs::readHostFile("/proc/fs/nfsd/clients/" + id + "/info", text, 64u << 10))
            continue;
        std::string address = servers::parseNfsdClientAddress(text);
        if (!address.empty())
            addInbound(address, "type='nfs' filesystem='" + std::string(myhostname) + ":/'", dependSrcConfig, now);
    }
}

} // namespace

namespace kestrova::servers {

int filesysCopyCapacity() {
    return copyCapacity;
}
void resetSambaForTests() {
    statusFound = false;
}
void setStatusCommandTimeoutMs(int ms) {
    statusTimeoutMs.store(ms > 0 ? ms : 10000);
}

namespace {

// Starts argv with stdout on the pipe end out (no shell, stdin and stderr
// on /dev/null, PATH and LC_ALL=C only, no descriptor above 2, a process
// group of its own); -1 when it cannot be started.
pid_t spawnStatusCommand(const std::vector<std::string> &argv, int out) {
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    char path[] = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";
    char lang[] = "LC_ALL=C";
    char *env[] = {path, lang, nullptr};

    posix_spawn_file_actions_t fa;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&fa);
    posix_spawnattr_init(&attr);
    posix_spawn_file_actions_adddup2(&fa, out, 1);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    // Whatever the agent holds open stays out of the program.
    posix_spawn_file_actions_addclosefrom_np(&fa, 3);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    // A group of its own, so that what it starts is killed with it.
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, args[0], &fa, &attr, args.data(), env);
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&attr);
    return rc == 0 ? pid : -1;
}

// Reads fd to its end or the deadline (timedOut set), keeping at most
// maxBytes in out; false when a read fails.
bool readStatusOutput(int fd, std::string &out, size_t maxBytes, std::chrono::steady_clock::time_point deadline,
                      bool &timedOut) {
    char buf[16384];
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            timedOut = true;
            return true;
        }
        struct pollfd p = {fd, POLLIN, 0};
        int pr = poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), 1000)));
        if (pr < 0 && errno == EINTR)
            continue;
        if (pr < 0)
            return false;
        if (pr == 0)
            continue;
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        // Beyond the cap the output is read and dropped, so the program is
        // not left blocked on a full pipe.
        if (out.size() < maxBytes)
            out.append(buf, std::min(static_cast<size_t>(n), maxBytes - out.size()));
    }
}

// Reaped within what is left of the time, else killed (and given a little
// longer to go: a kill is not waited for without bound either).
void reapStatusCommand(pid_t pid, std::chrono::steady_clock::time_point deadline, bool timedOut) {
    auto kill9 = [pid] {
        kill(-pid, SIGKILL);
        kill(pid, SIGKILL);
    };
    if (timedOut) {
        kill9();
        deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    }
    int status = 0;
    for (;;) {
        pid_t w = waitpid(pid, &status, WNOHANG);
        if (w == pid || (w < 0 && errno != EINTR))
            break;
        if (w == 0 && std::chrono::steady_clock::now() >= deadline) {
            if (timedOut)
                break;
            timedOut = true;
            kill9();
            deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

} // namespace

int runStatusCommand(const std::vector<std::string> &argv, std::string &out, size_t maxBytes, int timeoutMs) {
    out.clear();
    if (argv.empty())
        return -1;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return -1;
    const pid_t pid = spawnStatusCommand(argv, fds[1]);
    close(fds[1]);
    if (pid < 0) {
        close(fds[0]);
        return -1;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    bool timedOut = false;
    const bool readOk = readStatusOutput(fds[0], out, maxBytes, deadline, timedOut);
    close(fds[0]);
    reapStatusCommand(pid, deadline, timedOut);
    return readOk ? 0 : -2;
}

} // namespace kestrova::servers

namespace {

// File systems this host mounts on demand (fstab entries, automounter maps)
// are file servers it relies on even while not mounted; automount triggers
// are never statted, so the table does not list them.
void addConfiguredRemotes(const std::set<std::string> &mounted) {
    std::vector<servers::RemoteMount> found;
    std::string text;
    if (readConfig("/etc/fstab", text))
        found = servers::parseFstabRemote(text);
    std::vector<std::string> maps;
    if (readConfig("/etc/auto.master", text))
        maps = servers::parseAutoMaster(text);
    for (const std::string &name : hostfs::listHostDir("/etc/auto.master.d"))
        if (name.size() > 7 && name.compare(name.size() - 7, 7, ".autofs") == 0 &&
            readConfig("/etc/auto.master.d/" + name, text))
            for (std::string &m : servers::parseAutoMaster(text))
                maps.push_back(std::move(m));
    std::set<std::string> read;
    for (const std::string &map : maps) {
        struct stat st;
        // An executable map is a program, not a file of entries.
        if (read.size() >= 64 || !read.insert(map).second || hostfs::statHostFile(map, &st) != 0 ||
            !S_ISREG(st.st_mode) || (st.st_mode & 0111) || !readConfig(map, text))
            continue;
        for (servers::RemoteMount &m : servers::parseAutoMap(text))
            found.push_back(std::move(m));
    }
    std::set<std::string> added;
    for (const servers::RemoteMount &m : found) {
        if (mounted.count(m.filesystem) || !added.insert(m.filesystem).second)
            continue;
        std::string server;
        int ipv = 0;
        if (!sysinfoparse::remoteServer(m.filesystem, m.fstype, server, ipv) || server.empty())
            continue;
        addFound(dependFilesys, dependSrcConfig, server, "type='" + m.fstype + "' filesystem='" + m.filesystem + "'",
                 ipv);
    }
}

} // namespace

extern "C" int dependency_discover_filesys(void) {
    int n = getNumberRemoteFilesystems();
    std::set<std::string> mounted;
    if (n <= 0) {
        try {
            addConfiguredRemotes(mounted);
        } catch (...) {
            kestrova::logCaught("dependency_discover_filesys");
        }
        return 0;
    }
    if (n > copyCapacity) {
        std::free(copyTable);
        copyCapacity = 0;
        copyTable = static_cast<aFilesys_t *>(std::malloc(sizeof(aFilesys_t) * static_cast<size_t>(n)));
        if (!copyTable) {
            std::perror("malloc of filesystem copies failed");
            return -1;
        }
        copyCapacity = n;
    }
    int got = getRemoteFilesystems(copyTable, copyCapacity);
    if (got < 0)
        return -1;
    for (int i = 0; i < got; ++i) {
        const aFilesys_t &f = copyTable[i];
        if (!f.fileserver[0])
            continue;
        qel::logDebug("depend_filesys: adding '%s'\n", f.filesystem);
        addFound(dependFilesys, dependSrcConfig, f.fileserver,
                 "type='" + std::string(f.fstype) + "' filesystem='" + std::string(f.filesystem) + "'", f.ipVersion);
    }
    try {
        for (int i = 0; i < got; ++i)
            mounted.insert(copyTable[i].filesystem);
        addConfiguredRemotes(mounted);
    } catch (...) {
        kestrova::logCaught("dependency_discover_filesys");
    }
    return n;
}

extern "C" int dependency_discover_filesys_clients(void) {
    try {
        addNfs4Clients();
    } catch (...) {
        kestrova::logCaught("dependency_discover_filesys_clients");
    }
    if (!isProcessRunning("mountd"))
        return 0;
    std::string text;
    if (!readConfig("/etc/rmtab", text) && !readConfig("/var/lib/nfs/rmtab", text))
        return -1;
    time_t now = std::time(nullptr);
    std::string me(myhostname);
    for (const servers::RmtabEntry &e : servers::parseRmtab(text))
        addInbound(e.client, "type='nfs' filesystem='" + me + ":" + e.path + "'", dependSrcConfig, now);
    return 1;
}

extern "C" int dependency_discover_samba_clients(void) {
    // Samba 4 keeps its tree connections in smbXsrv_tcon_global.tdb.
    if (!isProcessRunning("smbd") || (!isRegularHostFile("/var/cache/samba/connections.tdb") &&
                                      !isRegularHostFile("/run/samba/smbXsrv_tcon_global.tdb")))
        return 0;
    if (!statusFound) {
        struct stat st;
        if (hostfs::statHostFile(kStatusCommand, &st) != 0)
            return 0;
        statusFound = true;
    }
    std::string text;
    int rc = servers::runStatusCommand({hostfs::hostPath(kStatusCommand), "-S"}, text, kStatusMaxBytes,
                                       statusTimeoutMs.load());
    if (rc == -1)
        return 0;
    if (rc != 0)
        return -1;
    time_t now = std::time(nullptr);
    for (const servers::SmbConnection &c : servers::parseSmbstatusShares(text))
        addInbound(c.machine, "type='smb' share='" + c.share + "'", dependSrcDynamic, now);
    return 1;
}
