#include "hostfs.h"

#include <memory>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <mutex>

namespace hostfs {
namespace {

std::mutex rootMutex;
std::string root;
bool rootSet = false;

std::string normalise(std::string_view r) {
    std::string s(r);
    while (!s.empty() && s.back() == '/')
        s.pop_back();
    return s;
}

// Caller holds rootMutex.
const std::string &currentRoot() {
    if (!rootSet) {
        const char *env = std::getenv("KESTROVA_HOST_ROOT");
        root = env ? normalise(env) : std::string();
        rootSet = true;
    }
    return root;
}

struct Fd {
    int fd;
    explicit Fd(int f) : fd(f) {}
    ~Fd() {
        if (fd >= 0)
            ::close(fd);
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
};

bool listFd(int fd, std::vector<std::string> &out, bool closeAfter, bool shortReadIsEnd);

} // namespace

std::string hostRoot() {
    std::lock_guard lock(rootMutex);
    return currentRoot();
}

void setHostRoot(std::string_view r) {
    std::lock_guard lock(rootMutex);
    root = normalise(r);
    rootSet = true;
}

bool hostRootIsReal() {
    return hostRoot().empty();
}

std::string hostPath(std::string_view path) {
    std::string p = hostRoot();
    if (path.empty() || path.front() != '/')
        p += '/';
    p += path;
    return p;
}

bool readHostFile(std::string_view path, std::string &out, size_t limit) {
    out.clear();
    Fd f(::open(hostPath(path).c_str(), O_RDONLY | O_CLOEXEC));
    if (f.fd < 0)
        return false;
    // /proc and /sys files report size 0, so read in chunks up to the limit.
    char chunk[65536];
    while (out.size() < limit) {
        size_t want = std::min(sizeof chunk, limit - out.size());
        ssize_t n = ::read(f.fd, chunk, want);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            out.clear();
            return false;
        }
        if (n == 0)
            break;
        out.append(chunk, static_cast<size_t>(n));
    }
    return true;
}

int openHostFile(std::string_view path, int flags) {
    return ::open(hostPath(path).c_str(), flags | O_CLOEXEC);
}

int statHostFile(std::string_view path, struct stat *st) {
    return ::stat(hostPath(path).c_str(), st);
}

bool readHostLine(std::string_view path, std::string &out) {
    if (!readHostFile(path, out, 4096))
        return false;
    size_t nl = out.find('\n');
    if (nl != std::string::npos)
        out.resize(nl);
    return true;
}

std::vector<std::string> listHostDir(std::string_view path) {
    std::vector<std::string> names;
    int fd = ::open(hostPath(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 || !listFd(fd, names, true, false))
        names.clear();
    std::sort(names.begin(), names.end());
    return names;
}

bool isSafeComponent(std::string_view name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos &&
           name.find('\0') == std::string_view::npos;
}

HostDir::~HostDir() {
    close();
}

HostDir::HostDir(HostDir &&other) noexcept : fd_(other.fd_), err_(other.err_), listed_(other.listed_) {
    other.fd_ = -1;
}

HostDir &HostDir::operator=(HostDir &&other) noexcept {
    if (this != &other) {
        close();
        fd_ = other.fd_;
        err_ = other.err_;
        listed_ = other.listed_;
        other.fd_ = -1;
    }
    return *this;
}

void HostDir::close() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    listed_ = false;
}

bool HostDir::fail() {
    err_ = errno;
    return false;
}

bool HostDir::open(std::string_view path) {
    close();
    fd_ = ::open(hostPath(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return fd_ >= 0 ? (err_ = 0, true) : fail();
}

bool HostDir::openSub(std::string_view name, HostDir &sub) {
    sub.close();
    if (fd_ < 0) {
        sub.err_ = err_ = EBADF;
        return false;
    }
    std::string n(name);
    sub.fd_ = ::openat(fd_, n.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (sub.fd_ < 0) {
        sub.err_ = err_ = errno;
        return false;
    }
    return true;
}

bool HostDir::read(std::string_view name, std::string &out, size_t limit) {
    out.clear();
    if (fd_ < 0) {
        err_ = EBADF;
        return false;
    }
    std::string n(name);
    Fd f(::openat(fd_, n.c_str(), O_RDONLY | O_CLOEXEC));
    if (f.fd < 0)
        return fail();
    char chunk[16384];
    while (out.size() < limit) {
        size_t want = std::min(sizeof chunk, limit - out.size());
        ssize_t got = ::read(f.fd, chunk, want);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return fail();
        }
        if (got == 0)
            break;
        out.append(chunk, static_cast<size_t>(got));
    }
    return true;
}

bool HostDir::readOnce(std::string_view name, std::string &out, size_t limit) {
    out.clear();
    if (fd_ < 0) {
        err_ = EBADF;
        return false;
    }
    std::string n(name);
    Fd f(::openat(fd_, n.c_str(), O_RDONLY | O_CLOEXEC));
    if (f.fd < 0)
        return fail();
    // Small files are read into an uninitialised buffer on the stack (as
    // read() does) and copied out at their length: sizing the string to the
    // limit would zero the whole limit on every read (a reload reads four
    // such files a process). Not a thread_local kept between calls: in a
    // plug-in its destructor at a worker thread's exit races the release of
    // the thread's storage.
    constexpr size_t kScratchMax = 16 * 1024;
    char scratch[kScratchMax];
    char *buf;
    if (limit <= kScratchMax) {
        buf = scratch;
    } else {
        out.resize(limit);
        buf = out.data();
    }
    ssize_t got;
    do
        got = ::read(f.fd, buf, limit);
    while (got < 0 && errno == EINTR);
    if (got < 0) {
        out.clear();
        return fail();
    }
    if (buf == out.data())
        out.resize(static_cast<size_t>(got));
    else
        out.assign(buf, static_cast<size_t>(got));
    return true;
}

namespace {
// Lists the directory open on fd, from its current position, with
// getdents64 into a buffer on the stack; closes fd when asked. No DIR
// stream: fdopendir's fstat and fcntl and its 32 KiB allocation would be
// paid for every /proc/PID/fd a reload lists.
bool listFd(int fd, std::vector<std::string> &out, bool closeAfter, bool shortReadIsEnd) {
    alignas(8) char buf[8192];
    auto done = [&](bool ok) {
        int e = errno;
        if (closeAfter)
            ::close(fd);
        errno = e;
        return ok;
    };
    for (;;) {
        ssize_t n = ::getdents64(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return done(false);
        }
        if (n == 0)
            return done(true);
        for (ssize_t off = 0; off < n;) {
            const auto *d = reinterpret_cast<const struct dirent64 *>(buf + off);
            std::string_view name(d->d_name);
            if (name != "." && name != "..")
                out.emplace_back(name);
            off += d->d_reclen;
        }
        if (shortReadIsEnd && static_cast<size_t>(n) <= sizeof buf - sizeof(struct dirent64))
            return done(true);
    }
}
} // namespace

bool HostDir::list(std::vector<std::string> &out, bool shortReadIsEnd) {
    out.clear();
    if (fd_ < 0) {
        err_ = EBADF;
        return false;
    }
    // The directory's own descriptor is read (openat and readlinkat relative
    // to it do not depend on its position): no second descriptor to open
    // and close per /proc/PID/fd. A later listing starts it over.
    if (listed_ && ::lseek(fd_, 0, SEEK_SET) < 0)
        return fail();
    listed_ = true;
    return listFd(fd_, out, false, shortReadIsEnd) ? true : fail();
}

bool HostDir::listSub(std::string_view name, std::vector<std::string> &out) {
    out.clear();
    if (fd_ < 0) {
        err_ = EBADF;
        return false;
    }
    std::string n(name);
    int fd = ::openat(fd_, n.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return fail();
    return listFd(fd, out, true, false) ? true : fail();
}

bool HostDir::readLink(std::string_view dir, std::string_view name, std::string &out) {
    out.clear();
    if (fd_ < 0) {
        err_ = EBADF;
        return false;
    }
    std::string p(dir);
    if (!p.empty())
        p += '/';
    p += name;
    char buf[4096];
    ssize_t n = ::readlinkat(fd_, p.c_str(), buf, sizeof buf);
    if (n < 0)
        return fail();
    out.assign(buf, static_cast<size_t>(n));
    return true;
}

bool HostDir::stat(std::string_view name, struct stat &st) {
    if (fd_ < 0) {
        err_ = EBADF;
        return false;
    }
    if (name.empty())
        return ::fstat(fd_, &st) == 0 ? true : fail();
    std::string n(name);
    return ::fstatat(fd_, n.c_str(), &st, 0) == 0 ? true : fail();
}

} // namespace hostfs
