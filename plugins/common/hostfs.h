/*
 * Every read of a host file (/proc, /sys, /etc, /var) by a plug-in goes
 * through here, so the whole host view can be moved under another root: the
 * environment variable KESTROVA_HOST_ROOT (read on first use) or
 * setHostRoot(). Tests point this at fixture trees; the default is "/".
 */
#ifndef KESTROVA_HOSTFS_H
#define KESTROVA_HOSTFS_H

#include <sys/stat.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace hostfs {

/* Files larger than this are cut unless the caller asks for more. */
constexpr size_t kDefaultLimit = 16u << 20;

/* The current root, without a trailing slash ("" for "/"). */
std::string hostRoot();
/* Sets the root; "" or "/" means the real root. Thread-safe. */
void setHostRoot(std::string_view root);
/* True when the root is the real one, so live kernel interfaces (netlink,
 * ioctls) describe the same host as the files. */
bool hostRootIsReal();

/* The path of a host file under the root. path must be absolute. */
std::string hostPath(std::string_view path);

/* Reads at most limit bytes of a host file into out. False (out empty) when
 * the file cannot be opened or read. */
bool readHostFile(std::string_view path, std::string &out, size_t limit = kDefaultLimit);

/* The first line of a small host file, without its newline (sysfs values). */
bool readHostLine(std::string_view path, std::string &out);

/* A descriptor on a host file opened with open(2)'s flags (O_CLOEXEC is
 * added), or -1 with errno set. For files read incrementally (logs). */
int openHostFile(std::string_view path, int flags);

/* stat(2) of a host file: 0, or -1 with errno set. */
int statHostFile(std::string_view path, struct stat *st);

/* Names in a host directory (without "." and ".."), sorted. Empty when the
 * directory cannot be read. */
std::vector<std::string> listHostDir(std::string_view path);

/* True for a name that can be used as one path component: not empty, not
 * "." or "..", no '/'. Names taken from requests must pass this. */
bool isSafeComponent(std::string_view name);

/*
 * A host directory held open by descriptor: files, links and directories
 * inside it are reached relative to it (openat), so a directory that is
 * renamed or replaced after open() keeps answering for what was opened
 * (a /proc/PID directory of a process that exits answers ESRCH, never the
 * files of a later process with the same pid). Every call returns false with
 * the system error number in err() when it fails.
 */
class HostDir {
public:
    HostDir() = default;
    ~HostDir();
    HostDir(HostDir &&other) noexcept;
    HostDir &operator=(HostDir &&other) noexcept;
    HostDir(const HostDir &) = delete;
    HostDir &operator=(const HostDir &) = delete;

    /* Opens a host directory (path absolute, under the root). */
    bool open(std::string_view path);
    /* Opens the directory name inside this one. */
    bool openSub(std::string_view name, HostDir &sub);
    bool isOpen() const { return fd_ >= 0; }
    void close();

    /* Reads at most limit bytes of the file name into out; what was read
     * before a failing read is kept in out (the result is then false). */
    bool read(std::string_view name, std::string &out, size_t limit = kDefaultLimit);
    /* One read of at most limit bytes: for kernel files that hand over their
     * whole text in one read (/proc/PID/stat, status, io, cmdline), one
     * system call less than read(). */
    bool readOnce(std::string_view name, std::string &out, size_t limit);
    /* Names inside this directory (without "." and ".."), in directory order.
     * shortReadIsEnd: the directory is one of the kernel's /proc ones, which
     * fill every read as far as it goes, so a read that leaves room for
     * another entry was the last (one system call less per listing). */
    bool list(std::vector<std::string> &out, bool shortReadIsEnd = false);
    /* Names inside the sub-directory name (e.g. "fd"), in directory order. */
    bool listSub(std::string_view name, std::vector<std::string> &out);
    /* Target text of the link name inside the sub-directory dir ("" for this
     * directory itself). */
    bool readLink(std::string_view dir, std::string_view name, std::string &out);
    /* stat(2) of name inside this directory, links followed; "" for the
     * directory itself. */
    bool stat(std::string_view name, struct stat &st);

    int err() const { return err_; }

private:
    bool fail();
    int fd_ = -1;
    int err_ = 0;
    bool listed_ = false; // the descriptor's position is past the start
};

} // namespace hostfs

#endif
