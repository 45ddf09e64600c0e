// Admission of connections: non-blocking TLS handshakes from one event loop.
//
// A peer that connects and then says nothing (or half a handshake) must not
// hold anything a verified client needs: no session slot, no thread, and
// only a bounded share of the handshakes in progress.
#include <algorithm>
#include <arpa/inet.h>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <list>
#include <map>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <unordered_map>

#include "agent.h"
#include "qel/socklib.h"
#include "qel/ssl_utils.h"
#include "qelhost.h"

namespace qeld {

namespace {

using Clock = std::chrono::steady_clock;

// A source address, IPv4 ones (also when mapped into IPv6) as ::ffff:a.b.c.d.
using Source = std::array<unsigned char, 16>;

struct Pending;
using PendingList = std::list<Pending>;

struct Pending {
    int fd = -1;
    uint32_t id = 0; // tells a reused descriptor number from this connection
    SSL *ssl = nullptr;
    Source source{};
    Clock::time_point deadline;
    sockaddr_storage peer{};
    std::list<PendingList::iterator>::iterator inSource;
};

std::string textOf(const sockaddr_storage &ss) {
    char buf[INET6_ADDRSTRLEN] = "?";
    if (ss.ss_family == AF_INET6)
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6 &>(ss).sin6_addr, buf, sizeof buf);
    else if (ss.ss_family == AF_INET)
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in &>(ss).sin_addr, buf, sizeof buf);
    return buf;
}

Source sourceOf(const sockaddr_storage &ss) {
    Source s{};
    if (ss.ss_family == AF_INET6) {
        std::memcpy(s.data(), &reinterpret_cast<const sockaddr_in6 &>(ss).sin6_addr, 16);
    } else if (ss.ss_family == AF_INET) {
        s[10] = s[11] = 0xff;
        std::memcpy(s.data() + 12, &reinterpret_cast<const sockaddr_in &>(ss).sin_addr, 4);
    }
    return s;
}

uint64_t tag(const Pending &p) {
    return (static_cast<uint64_t>(p.id) << 32) | static_cast<uint32_t>(p.fd);
}

class Admitter {
public:
    Admitter(const AdmissionLimits &limits, const AdmissionHooks &hooks) : limits_(limits), hooks_(hooks) {}
    ~Admitter() {
        while (!order_.empty())
            closeConnection(order_.begin());
        if (ep_ >= 0)
            close(ep_);
    }

    bool start(const std::vector<int> &listeners) {
        ep_ = epoll_create1(EPOLL_CLOEXEC);
        if (ep_ < 0) {
            qelhost::logf("admission: epoll: %s", std::strerror(errno));
            return false;
        }
        listeners_ = listeners;
        for (int fd : listeners_) {
            fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
            if (!watchListener(fd, EPOLL_CTL_ADD, true))
                return false;
        }
        return true;
    }

    void run(const std::atomic<bool> &stop) {
        std::array<epoll_event, 256> events;
        while (!stop) {
            expire();
            resumeAccepting();
            settle();
            int n = epoll_wait(ep_, events.data(), static_cast<int>(events.size()), waitMillis());
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                qelhost::logfLimited("admission: epoll_wait: %s", std::strerror(errno));
                return;
            }
            for (int i = 0; i < n; ++i) {
                const uint64_t t = events[i].data.u64;
                const int fd = static_cast<int>(t & 0xffffffffu);
                if ((t >> 32) == 0) {
                    acceptFrom(fd);
                    continue;
                }
                auto it = byFd_.find(fd);
                // The connection may have been dropped earlier in this round.
                if (it != byFd_.end() && tag(*it->second) == t)
                    step(it->second);
            }
        }
    }

private:
    bool watchListener(int fd, int op, bool on) {
        epoll_event ev{};
        ev.events = on ? static_cast<uint32_t>(EPOLLIN) : 0u;
        ev.data.u64 = static_cast<uint32_t>(fd); // id 0: a listener
        if (epoll_ctl(ep_, op, fd, &ev) != 0) {
            qelhost::logf("admission: epoll_ctl: %s", std::strerror(errno));
            return false;
        }
        return true;
    }

    int waitMillis() const {
        int ms = 1000; // the stop flag is looked at every second at least
        if (!order_.empty()) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(order_.front().deadline - Clock::now()).count() +
                1;
            ms = static_cast<int>(std::clamp<long long>(left, 0, ms));
        }
        if (acceptPaused_)
            ms = std::min(ms, 100);
        if (hooks_.quiet && ended_ && order_.empty()) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(lastQuiet_ + std::chrono::seconds(1) -
                                                                              Clock::now())
                            .count() +
                        1;
            ms = static_cast<int>(std::clamp<long long>(left, 0, ms));
        }
        return ms;
    }

    // What a burst of handshakes allocated on this thread is handed back
    // once none is pending, at most once a second.
    void settle() {
        if (!hooks_.quiet || !ended_ || !order_.empty())
            return;
        const auto now = Clock::now();
        if (now - lastQuiet_ < std::chrono::seconds(1))
            return;
        hooks_.quiet();
        ended_ = false;
        lastQuiet_ = now;
    }

    // Pending handshakes are in arrival order and share one time-out, so
    // the expired ones are at the front.
    void expire() {
        const auto now = Clock::now();
        while (!order_.empty() && order_.front().deadline <= now)
            fail(order_.begin(), "timed out");
    }

    // Out of descriptors, accepting stops for a moment rather than spin on
    // a listener that stays readable.
    void pauseAccepting() {
        if (acceptPaused_)
            return;
        for (int fd : listeners_)
            watchListener(fd, EPOLL_CTL_MOD, false);
        acceptPaused_ = true;
        pausedAt_ = Clock::now();
    }

    void resumeAccepting() {
        if (!acceptPaused_ || Clock::now() - pausedAt_ < std::chrono::milliseconds(100))
            return;
        for (int fd : listeners_)
            watchListener(fd, EPOLL_CTL_MOD, true);
        acceptPaused_ = false;
    }

    void acceptFrom(int listener) {
        // A bounded batch per round keeps handshakes in progress moving
        // while connections pour in.
        for (int i = 0; i < 64; ++i) {
            sockaddr_storage ss{};
            socklen_t len = sizeof ss;
            int fd = accept4(listener, reinterpret_cast<sockaddr *>(&ss), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0) {
                if (errno == EINTR || errno == ECONNABORTED)
                    continue;
                if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                    // The oldest handshake gives its descriptor to the new
                    // connection; with none pending, or short of more than
                    // this process's descriptors, wait.
                    if (errno == EMFILE && !order_.empty()) {
                        drop(order_.begin(), "out of descriptors");
                        continue;
                    }
                    qelhost::logfLimited("admission: cannot accept: %s", std::strerror(errno));
                    pauseAccepting();
                }
                return;
            }
            admitConnection(fd, ss);
        }
    }

    void admitConnection(int fd, const sockaddr_storage &ss) {
        if (hooks_.full && hooks_.full()) {
            close(fd);
            return;
        }
        const Source src = sourceOf(ss);
        if (auto mine = bySource_.find(src);
            mine != bySource_.end() && static_cast<int>(mine->second.size()) >= limits_.maxPerSource)
            drop(mine->second.front(), "too many handshakes from that address");
        if (static_cast<int>(order_.size()) >= limits_.maxHandshakes)
            drop(order_.begin(), "too many handshakes");
        Pending p;
        p.fd = fd;
        if (++lastId_ == 0)
            ++lastId_; // 0 tags the listeners
        p.id = lastId_;
        p.source = src;
        p.peer = ss;
        p.deadline = Clock::now() + std::chrono::seconds(limits_.timeoutSeconds);
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = tag(p);
        if (epoll_ctl(ep_, EPOLL_CTL_ADD, fd, &ev) != 0) {
            qelhost::logfLimited("admission: epoll_ctl: %s", std::strerror(errno));
            close(fd);
            return;
        }
        auto it = order_.insert(order_.end(), p);
        auto &list = bySource_[src];
        it->inSource = list.insert(list.end(), it);
        byFd_[fd] = it;
    }

    // The TLS object is made when the first bytes arrive: a silent
    // connection costs its descriptor and this record only.
    bool attachTls(Pending &p) {
        SSL *ssl = SSL_new(ctx);
        if (!ssl)
            return false;
        BIO *bio = BIO_new_socket(p.fd, BIO_NOCLOSE);
        BIO *buffered = BIO_new(BIO_f_buffer());
        // The session's replies leave through a write buffer, in a few large
        // writes rather than one system call per TLS record.
        if (!bio || !buffered || BIO_set_write_buffer_size(buffered, 256 * 1024) != 1 || BIO_up_ref(bio) != 1) {
            BIO_free(buffered);
            BIO_free(bio);
            SSL_free(ssl);
            return false;
        }
        SSL_set_bio(ssl, bio, BIO_push(buffered, bio));
        SSL_set_accept_state(ssl);
        // Half-done handshakes keep no read and write buffers between steps.
        SSL_set_mode(ssl, SSL_MODE_RELEASE_BUFFERS);
        p.ssl = ssl;
        return true;
    }

    void step(PendingList::iterator it) {
        Pending &p = *it;
        if (!p.ssl && !attachTls(p))
            return fail(it, "no memory for TLS");
        ERR_clear_error();
        int r = SSL_do_handshake(p.ssl);
        if (r == 1)
            return complete(it);
        int err = SSL_get_error(p.ssl, r);
        uint32_t want;
        if (err == SSL_ERROR_WANT_READ)
            want = EPOLLIN;
        else if (err == SSL_ERROR_WANT_WRITE)
            want = EPOLLOUT;
        else
            return fail(it, "handshake failed");
        epoll_event ev{};
        ev.events = want;
        ev.data.u64 = tag(p);
        epoll_ctl(ep_, EPOLL_CTL_MOD, p.fd, &ev);
    }

    // Takes the connection out of the bookkeeping; its descriptor and TLS
    // object are the caller's from here on.
    void forget(PendingList::iterator it) {
        ended_ = true;
        epoll_ctl(ep_, EPOLL_CTL_DEL, it->fd, nullptr);
        byFd_.erase(it->fd);
        auto src = bySource_.find(it->source);
        src->second.erase(it->inSource);
        if (src->second.empty())
            bySource_.erase(src);
        order_.erase(it);
    }

    void closeConnection(PendingList::iterator it) {
        SSL *ssl = it->ssl;
        int fd = it->fd;
        forget(it);
        if (ssl)
            SSL_free(ssl); // frees the BIOs, which leave the descriptor open
        close(fd);
    }

    void fail(PendingList::iterator it, const char *why) {
        qelhost::logfLimited("session from %s: TLS handshake or certificate check failed (%s)",
                             textOf(it->peer).c_str(), why);
        qelStatsAdd(inAuthenErrors, 1);
        closeConnection(it);
    }

    void drop(PendingList::iterator it, const char *why) {
        qelhost::logfLimited("handshake from %s dropped for a newer connection: %s", textOf(it->peer).c_str(), why);
        closeConnection(it);
    }

    void complete(PendingList::iterator it) {
        SSL *ssl = it->ssl;
        const int fd = it->fd;
        const sockaddr_storage peer = it->peer;
        forget(it);
        // The session reads and writes in blocking mode, bounded by its
        // socket time-outs.
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
        SSL_clear_mode(ssl, SSL_MODE_RELEASE_BUFFERS);
        // The certificate is checked on a stand-in: the session itself, with
        // its large buffers, is made by the thread that serves it.
        qelSession_t probe{};
        probe.ssl = ssl;
        if (check_certificate(&probe) < 0) {
            qelhost::logfLimited("session from %s: TLS handshake or certificate check failed (%s)",
                                 textOf(peer).c_str(), "certificate");
            qelStatsAdd(inAuthenErrors, 1);
            SSL_free(ssl);
            close(fd);
            return;
        }
        set_tcp_no_delay(fd);
        Handshaken h;
        h.fd = fd;
        h.tls = ssl;
        h.peer = peer;
        h.authenticated = (probe.flags & QEL_SESSION_AUTHENTICATED) != 0;
        h.peerText = textOf(peer);
        hooks_.admit(std::move(h));
    }

    const AdmissionLimits limits_;
    const AdmissionHooks hooks_;
    bool ended_ = false;
    Clock::time_point lastQuiet_;
    int ep_ = -1;
    std::vector<int> listeners_;
    bool acceptPaused_ = false;
    Clock::time_point pausedAt_;
    uint32_t lastId_ = 0;
    PendingList order_; // oldest first
    std::unordered_map<int, PendingList::iterator> byFd_;
    std::map<Source, std::list<PendingList::iterator>> bySource_; // each oldest first
};

} // namespace

qelSession_t *openSession(Handshaken &h) {
    qelSession_t *s = nullptr;
    if (h.peer.ss_family == AF_INET6) {
        const auto &p6 = reinterpret_cast<const sockaddr_in6 &>(h.peer);
        s = newQelSession6(&p6.sin6_addr, p6.sin6_port, h.fd, 0, nullptr);
    } else {
        const auto &p4 = reinterpret_cast<const sockaddr_in &>(h.peer);
        s = newQelSession(p4.sin_addr.s_addr, p4.sin_port, h.fd, 0, nullptr);
    }
    if (!s) {
        qelhost::logfLimited("session from %s: no memory for the session", h.peerText.c_str());
        refuse(h);
        return nullptr;
    }
    s->ssl = h.tls;
    s->sbio = SSL_get_rbio(static_cast<SSL *>(h.tls));
    s->flags |= QEL_SESSION_CONNECTED;
    if (h.authenticated)
        s->flags |= QEL_SESSION_AUTHENTICATED;
    h.fd = -1;
    h.tls = nullptr;
    qelStatsAdd(inSessions, 1);
    return s;
}

void refuse(Handshaken &h) {
    if (h.tls) {
        SSL *ssl = static_cast<SSL *>(h.tls);
        SSL_shutdown(ssl); // the handshake is done: say goodbye in TLS
        SSL_free(ssl);
    }
    if (h.fd >= 0)
        close(h.fd);
    h.fd = -1;
    h.tls = nullptr;
}

void runAdmission(const std::vector<int> &listeners, const AdmissionLimits &limits, const AdmissionHooks &hooks,
                  const std::atomic<bool> &stop) {
    Admitter a(limits, hooks);
    if (a.start(listeners))
        a.run(stop);
}

} // namespace qeld
