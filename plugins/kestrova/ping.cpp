// ICMP echo probes of hosts (IPv4 and IPv6).
//
// One prober serves a single host (pingHost) and many hosts at once
// (pingHostMany): each host has at most one echo request out, waits up to its
// time-out for the answer to that request, then sends the next. Replies are
// matched by sender, identifier and sequence, so a late answer to an earlier
// request or an answer meant for another prober never counts.
#include "ping.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/icmp.h>
#include <netinet/icmp6.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <queue>
#include <string>
#include <unordered_map>
#include <vector>

#include "kestrova_globals.h"
#include "qelplugin.h"

extern "C" {
int defaultPackets = 3;
int defaultTimeout = 1;
unsigned mypid = 0;
}

namespace {

constexpr int kBufLen = 4096;
constexpr size_t kMaxInFlight = 1024;
constexpr double kLostUs = 5000000.0;     // a lost packet counts as 5 s
constexpr double kAnswerExtraUs = 1000.0; // every answer adds 1 ms
constexpr uint16_t kIdent6 = 0x666;
constexpr int kEchoRequest4 = 8, kEchoReply4 = 0;
constexpr int kEchoRequest6 = 128, kEchoReply6 = 129;
constexpr int kPacketLen4 = 28, kPacketLen6 = 8;
// Sends are paced (bursts of 64, then 20 per millisecond): a burst for a
// thousand hosts behind one neighbour that is still being resolved would
// overflow the neighbour's queue and lose the first packets.
constexpr double kSendBurst = 64;
constexpr double kSendsPerUs = 0.02;
constexpr double kSendBatch = 16;
// Room for the answers of every host in flight when the thread is late to
// read them.
constexpr int kSocketBuffer = 1 << 20;
// A send refused for lack of buffer room is tried again this much later.
constexpr double kSendRetryUs = 1000;
// Datagrams read per socket before the prober looks at its clock again.
constexpr int kReadsPerPass = 256;

enum Fam { F4 = 0, F6 = 1 };

struct Texts {
    const char *invalidArgs; // standard error
    const char *invalidRaw;  // standard output
    const char *starting;
    const char *timeout;
    const char *selectFailed;
    const char *recvFailed;
    const char *summary;
};

const Texts kTexts[2] = {
    {"pingHost: invalid args\n", "pingHost: invalid raw sock\n", "pingHost: starting to ping %s\n",
     "ping: timeout, no reply\n", "ping select failed", "ping recvfrom failed",
     "ping: %d xmitd, %d received, %d%c lost for %s\n"},
    {"ping6Host: invalid args\n", "ping6: invalid raw sock\n", "ping6Host: starting to ping %s\n",
     "ping6: timeout, no reply\n", "ping6 select failed", "ping6 recvfrom failed",
     "ping6: %d xmitd, %d received, %d%c lost for %s\n"},
};

int debugging() {
    int level = debugLevel;
    return level;
}

template <class T>
T loadRelaxed(T &v) {
    return std::atomic_ref<T>(v).load(std::memory_order_relaxed);
}

double nowUs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) * 1000000.0 + static_cast<double>(ts.tv_nsec) / 1000.0;
}

std::atomic<bool> noSocketLogged{false};

// One line in the agent's log per process: how to give the agent a socket.
void logNoSocket(int rawErr, int dgramErr) {
    if (noSocketLogged.exchange(true))
        return;
    char line[512];
    snprintf(line, sizeof line,
             "pingHost: no ICMP socket can be opened (raw: %s; datagram: %s): give qeld CAP_NET_RAW "
             "(under systemd: AmbientCapabilities=CAP_NET_RAW) or put its group into "
             "net.ipv4.ping_group_range",
             strerror(rawErr), strerror(dgramErr));
    qeldLog(line);
}

// The socket int uses 0 for "not opened", so a socket must never be 0.
int aboveZero(int fd) {
    if (fd != 0)
        return fd;
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, 1);
    close(fd);
    return moved;
}

void sizeBuffers(int fd) {
    int size = kSocketBuffer;
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    if (setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &size, sizeof size) != 0)
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
}

// Opens the family's socket into *raw unless it holds one; the socket, or -1.
int openSocket(Fam f, int *raw) {
    if (*raw > 0)
        return *raw;
    const int domain = f == F4 ? AF_INET : AF_INET6;
    const int proto = f == F4 ? static_cast<int>(IPPROTO_ICMP) : static_cast<int>(IPPROTO_ICMPV6);
    int fd = socket(domain, SOCK_RAW | SOCK_CLOEXEC, proto);
    if (fd >= 0) {
        if (f == F4) {
            std::atomic_ref<unsigned>(mypid).store(static_cast<unsigned>(getpid()), std::memory_order_relaxed);
            icmp_filter flt;
            flt.data = ~(1U << ICMP_ECHOREPLY);
            if (setsockopt(fd, SOL_RAW, ICMP_FILTER, &flt, sizeof flt) != 0 && debugging())
                perror("ping: ICMP_FILTER failed");
        } else {
            icmp6_filter flt;
            ICMP6_FILTER_SETBLOCKALL(&flt);
            ICMP6_FILTER_SETPASS(ICMP6_ECHO_REPLY, &flt);
            if (setsockopt(fd, IPPROTO_ICMPV6, ICMP6_FILTER, &flt, sizeof flt) != 0 && debugging())
                perror("ping6: ICMP6_FILTER failed");
        }
    } else {
        // Without CAP_NET_RAW: an ICMP datagram socket, which the kernel
        // gives to the groups in net.ipv4.ping_group_range. It picks the
        // identifier, fills the checksum and passes only this socket's
        // replies, without the IPv4 header.
        const int rawErr = errno;
        fd = socket(domain, SOCK_DGRAM | SOCK_CLOEXEC, proto);
        if (fd < 0) {
            logNoSocket(rawErr, errno);
            if (debugging())
                fprintf(stderr, "%s: cannot open an ICMP socket: %s\n", f == F4 ? "pingHost" : "ping6Host",
                        strerror(errno));
            return -1;
        }
        // Bound now, so the identifier is known before the first request.
        sockaddr_storage any{};
        any.ss_family = static_cast<sa_family_t>(domain);
        bind(fd, reinterpret_cast<sockaddr *>(&any), f == F4 ? sizeof(sockaddr_in) : sizeof(sockaddr_in6));
        if (debugging())
            fprintf(stderr, "%s: raw socket refused (%s), probing over an ICMP datagram socket\n",
                    f == F4 ? "pingHost" : "ping6Host", strerror(rawErr));
    }
    fd = aboveZero(fd);
    if (fd < 0)
        return -1;
    sizeBuffers(fd);
    *raw = fd;
    return fd;
}

// The caller's socket as the prober uses it.
struct Sock {
    int fd = -1;
    Fam fam = F4;
    bool dgram = false;
    bool identKnown = false;
    uint16_t ident = 0;
    int waiting = 0; // hosts with a request out on this socket
};

// A datagram socket's identifier is its local port, chosen by the kernel.
void readIdent(Sock &s) {
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    if (getsockname(s.fd, reinterpret_cast<sockaddr *>(&ss), &len) != 0)
        return;
    uint16_t port = ss.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6 *>(&ss)->sin6_port
                                             : reinterpret_cast<sockaddr_in *>(&ss)->sin_port;
    if (port != 0) {
        s.ident = ntohs(port);
        s.identKnown = true;
    }
}

Sock describe(int fd, Fam f) {
    Sock s;
    s.fd = fd;
    s.fam = f;
    int type = 0;
    socklen_t len = sizeof type;
    if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) == 0 && type == SOCK_DGRAM) {
        s.dgram = true;
        readIdent(s);
    } else {
        unsigned pid = std::atomic_ref<unsigned>(mypid).load(std::memory_order_relaxed);
        if (f == F4 && pid == 0) {
            // A socket opened elsewhere: the identifier still has to be ours.
            pid = static_cast<unsigned>(getpid());
            std::atomic_ref<unsigned>(mypid).store(pid, std::memory_order_relaxed);
        }
        s.ident = f == F4 ? static_cast<uint16_t>(pid & 0xffff) : kIdent6;
        s.identKnown = true;
    }
    return s;
}

struct Target {
    int slot = 0;
    Fam fam = F4;
    const char *host = nullptr;
    kestrovaPingArgs_t *args = nullptr;
    sockaddr_storage to{};
    socklen_t toLen = 0;
    std::string key; // the address's bytes
    int n = 0;
    int t = 0;
    int next = 0; // the next packet's index
    int answers = 0;
    double totalUs = 0;
    double sentAt = 0;
    double tryingSince = 0; // first attempt of a send refused for room
    bool waiting = false;
    bool trace = false;
    int result = 0;
};

void addrText(const Target &x, char *buf, size_t len) {
    const void *a = x.fam == F4 ? static_cast<const void *>(&reinterpret_cast<const sockaddr_in *>(&x.to)->sin_addr)
                                : static_cast<const void *>(&reinterpret_cast<const sockaddr_in6 *>(&x.to)->sin6_addr);
    if (!inet_ntop(x.fam == F4 ? AF_INET : AF_INET6, a, buf, static_cast<socklen_t>(len)))
        snprintf(buf, len, "?");
}

uint16_t get16(const unsigned char *p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}
void put16(unsigned char *p, uint16_t v) {
    p[0] = static_cast<unsigned char>(v >> 8);
    p[1] = static_cast<unsigned char>(v & 0xff);
}

class Prober {
public:
    Prober(std::vector<Target> &targets, int raw4, int raw6) : tg_(targets) {
        bool need[2] = {false, false};
        for (auto &x : tg_) {
            need[x.fam] = true;
            byAddr_[x.fam][x.key].push_back(static_cast<int>(&x - tg_.data()));
        }
        if (need[F4])
            sock_[F4] = describe(raw4, F4);
        if (need[F6])
            sock_[F6] = describe(raw6, F6);
    }

    void run();

private:
    enum class Sent { ok, failed, blocked };
    struct Due {
        double at;
        int target;
        int seq;
        bool operator>(const Due &o) const { return at > o.at; }
    };

    Sent send(Target &x, double now);
    void drain(Sock &s);
    void reply(Sock &s, const unsigned char *buf, ssize_t len, const sockaddr_storage &from, double at);
    void advance(int i);
    void finish(Target &x);
    void startMore();

    std::vector<Target> &tg_;
    Sock sock_[2];
    std::unordered_map<std::string, std::vector<int>> byAddr_[2];
    std::deque<int> ready_;
    std::priority_queue<Due, std::vector<Due>, std::greater<Due>> due_;
    size_t nextStart_ = 0;
    size_t active_ = 0;
};

void Prober::startMore() {
    while (active_ < kMaxInFlight && nextStart_ < tg_.size()) {
        ready_.push_back(static_cast<int>(nextStart_++));
        ++active_;
    }
}

Prober::Sent Prober::send(Target &x, double now) {
    Sock &s = sock_[x.fam];
    unsigned char pkt[kBufLen];
    int len;
    const uint16_t seq = static_cast<uint16_t>(x.next);
    if (x.fam == F4) {
        len = kPacketLen4;
        memset(pkt, 0, static_cast<size_t>(len));
        pkt[0] = kEchoRequest4;
        put16(pkt + 4, s.ident);
        put16(pkt + 6, seq);
        const u_short sum = in_cksum(reinterpret_cast<u_short *>(pkt), len);
        memcpy(pkt + 2, &sum, sizeof sum);
    } else {
        // The kernel fills the ICMPv6 checksum.
        len = kPacketLen6;
        memset(pkt, 0, static_cast<size_t>(len));
        pkt[0] = kEchoRequest6;
        put16(pkt + 4, kIdent6);
        put16(pkt + 6, seq);
    }
    x.sentAt = nowUs();
    ssize_t r = sendto(s.fd, pkt, static_cast<size_t>(len), MSG_DONTWAIT, reinterpret_cast<sockaddr *>(&x.to), x.toLen);
    if (r < 0) {
        const int err = errno;
        if (err == EAGAIN || err == EWOULDBLOCK || err == ENOBUFS || err == EINTR) {
            if (x.tryingSince == 0)
                x.tryingSince = now;
            if (now - x.tryingSince <= x.t * 1000000.0)
                return Sent::blocked;
        }
        if (debugging())
            fprintf(stderr, "%s: send to %s failed: %s\n", x.fam == F4 ? "ping" : "ping6", x.host, strerror(err));
        x.tryingSince = 0;
        return Sent::failed;
    }
    x.tryingSince = 0;
    if (s.dgram && !s.identKnown)
        readIdent(s);
    return Sent::ok;
}

// Moves host i on to its next packet, or finishes it.
void Prober::advance(int i) {
    Target &x = tg_[static_cast<size_t>(i)];
    if (x.next < x.n) {
        ready_.push_back(i);
        return;
    }
    finish(x);
    --active_;
    startMore();
}

void Prober::finish(Target &x) {
    const int n = x.n;
    if (debugging())
        fprintf(stderr, kTexts[x.fam].summary, n, x.answers,
                static_cast<int>(static_cast<double>(n - x.answers) / n * 100), '%', x.host);
    x.totalUs += (n - x.answers) * kLostUs;
    const int avg = static_cast<int>(x.totalUs / 1000.0 / n);
    if (x.args) {
        x.args->numPackets = n;
        x.args->numAnswers = x.answers;
        x.args->avgMsecs = avg;
    }
    if (x.trace) {
        char text[INET6_ADDRSTRLEN];
        addrText(x, text, sizeof text);
        printf("ping6: %s %s %d xmitd, %d received, %d avg msecs\n", x.host, text, n, x.answers, avg);
    }
    x.result = x.answers > 0 ? 1 : 0;
}

void Prober::reply(Sock &s, const unsigned char *buf, ssize_t len, const sockaddr_storage &from, double at) {
    const Fam f = s.fam;
    std::string key;
    if (f == F4) {
        if (from.ss_family != AF_INET)
            return;
        const auto *sin = reinterpret_cast<const sockaddr_in *>(&from);
        key.assign(reinterpret_cast<const char *>(&sin->sin_addr), sizeof sin->sin_addr);
    } else {
        if (from.ss_family != AF_INET6)
            return;
        const auto *sin6 = reinterpret_cast<const sockaddr_in6 *>(&from);
        key.assign(reinterpret_cast<const char *>(&sin6->sin6_addr), sizeof sin6->sin6_addr);
    }
    auto hit = byAddr_[f].find(key);
    if (hit == byAddr_[f].end()) {
        if (debugging())
            fputs("ping received reply from different host!\n", stderr);
        return;
    }
    const unsigned char *icmp = buf;
    ssize_t icmpLen = len;
    if (f == F4 && !s.dgram) {
        // Raw IPv4 sockets deliver the IP header, whose length is in it.
        if (len < 20)
            return;
        if (buf[9] != IPPROTO_ICMP) {
            if (debugging())
                fprintf(stderr, "ping %d is not IPPROTO_ICMP!\n", buf[9]);
            return;
        }
        const ssize_t ihl = (buf[0] & 0x0f) * 4;
        if (ihl < 20 || len < ihl + 8)
            return;
        icmp = buf + ihl;
        icmpLen = len - ihl;
    }
    if (icmpLen < 8)
        return;
    if (icmp[0] != (f == F4 ? kEchoReply4 : kEchoReply6)) {
        if (f == F4 && debugging())
            fprintf(stderr, "ping %d is not ECHOREPLY!\n", icmp[0]);
        return;
    }
    if (s.identKnown && get16(icmp + 4) != s.ident) {
        if (f == F4 && debugging())
            fputs("ping reply does not contain my id!\n", stderr);
        return;
    }
    const int seq = get16(icmp + 6);
    for (int i : hit->second) {
        Target &x = tg_[static_cast<size_t>(i)];
        if (!x.waiting || static_cast<uint16_t>(x.next - 1) != seq)
            continue;
        if (at - x.sentAt > x.t * 1000000.0)
            continue; // past its time-out: counted lost when the time-out is seen
        x.waiting = false;
        --s.waiting;
        ++x.answers;
        x.totalUs += (at - x.sentAt) + kAnswerExtraUs;
        if (x.trace)
            printf("  ping6: pkt %d %f %f %f usecs\n", seq, at, x.sentAt, at - x.sentAt);
        advance(i);
        return;
    }
}

void Prober::drain(Sock &s) {
    unsigned char buf[kBufLen];
    for (int k = 0; k < kReadsPerPass; ++k) {
        sockaddr_storage from{};
        socklen_t fromLen = sizeof from;
        ssize_t r = recvfrom(s.fd, buf, sizeof buf, MSG_DONTWAIT, reinterpret_cast<sockaddr *>(&from), &fromLen);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                return;
            // A failed receive ends the wait of the one host waiting on this
            // socket; with several, it cannot be told whose it was.
            const int err = errno;
            if (s.waiting == 1) {
                perror(kTexts[s.fam].recvFailed);
                for (size_t i = 0; i < tg_.size(); ++i) {
                    Target &x = tg_[i];
                    if (x.waiting && x.fam == s.fam) {
                        x.waiting = false;
                        --s.waiting;
                        advance(static_cast<int>(i));
                        break;
                    }
                }
            } else if (debugging()) {
                errno = err;
                perror(kTexts[s.fam].recvFailed);
            }
            return;
        }
        reply(s, buf, r, from, nowUs());
    }
}

void Prober::run() {
    startMore();
    double tokens = kSendBurst;
    double lastRefill = nowUs();
    double sendAllowedAt = 0;
    bool waitFailed = false;
    while (active_ > 0) {
        double now = nowUs();
        tokens = std::min(kSendBurst, tokens + (now - lastRefill) * kSendsPerUs);
        lastRefill = now;
        while (!ready_.empty() && tokens >= 1 && now >= sendAllowedAt) {
            const int i = ready_.front();
            Target &x = tg_[static_cast<size_t>(i)];
            Sent r = send(x, now);
            if (r == Sent::blocked) {
                sendAllowedAt = now + kSendRetryUs;
                break;
            }
            ready_.pop_front();
            tokens -= 1;
            const int seq = x.next++;
            if (r == Sent::ok) {
                x.waiting = true;
                ++sock_[x.fam].waiting;
                due_.push({x.sentAt + x.t * 1000000.0, i, seq});
            } else {
                // A failed send is a lost packet; its wait is skipped.
                advance(i);
            }
            now = nowUs();
        }
        if (active_ == 0)
            break;

        double wakeAt = due_.empty() ? now + 1000000.0 : due_.top().at;
        if (!ready_.empty()) {
            // Woken for a few sends at a time, not for each.
            const double want = std::min<double>(kSendBatch, static_cast<double>(ready_.size()));
            double sendAt = std::max(sendAllowedAt, tokens >= want ? now : now + (want - tokens) / kSendsPerUs);
            wakeAt = std::min(wakeAt, sendAt);
        }
        pollfd pfd[2];
        Sock *which[2];
        nfds_t nfd = 0;
        for (Sock &s : sock_) {
            if (s.fd >= 0 && s.waiting > 0) {
                pfd[nfd] = {s.fd, POLLIN, 0};
                which[nfd++] = &s;
            }
        }
        double waitUs = std::max(0.0, wakeAt - now);
        timespec ts;
        ts.tv_sec = static_cast<time_t>(waitUs / 1000000.0);
        ts.tv_nsec = static_cast<long>((waitUs - static_cast<double>(ts.tv_sec) * 1000000.0) * 1000.0);
        if (ts.tv_nsec > 999999999)
            ts.tv_nsec = 999999999;
        int pr = ppoll(nfd ? pfd : nullptr, nfd, &ts, nullptr);
        if (pr < 0 && errno != EINTR && !waitFailed) {
            // The wait is tried again for the time left; said once per probe.
            waitFailed = true;
            perror(kTexts[nfd ? which[0]->fam : F4].selectFailed);
        }
        for (nfds_t k = 0; pr > 0 && k < nfd; ++k)
            if (pfd[k].revents)
                drain(*which[k]);

        now = nowUs();
        while (!due_.empty() && due_.top().at <= now) {
            Due d = due_.top();
            due_.pop();
            Target &x = tg_[static_cast<size_t>(d.target)];
            if (!x.waiting || x.next - 1 != d.seq)
                continue;
            if (debugging())
                fputs(kTexts[x.fam].timeout, stderr);
            x.waiting = false;
            --sock_[x.fam].waiting;
            advance(d.target);
        }
    }
}

// Arguments, defaults, socket and address of one host; 0 when it is ready
// to be probed, else its result. version 4 or 6 fixes the family; anything
// else takes IPv6 for an IPv6 literal or a name with IPv6 addresses only.
int prepare(int version, const char *host, kestrovaPingArgs_t *args, int *raw4, int *raw6, Target &x) {
    Fam f = version == 6 ? F6 : F4;
    const bool chooses = version != 4 && version != 6;
    if (chooses && host && *host && qelIpVersionOfAddress(host) == 6)
        f = F6;
    bool resolved = false;
    for (;;) {
        int *raw = f == F4 ? raw4 : raw6;
        const Texts &tx = kTexts[f];
        if (!host || !*host) {
            fputs(tx.invalidArgs, stderr);
            return -1;
        }
        if (!raw) {
            fputs(tx.invalidRaw, stdout);
            return -2;
        }
        const bool trace = f == F6 && strstr(host, "nasXX") != nullptr;
        if (debugging())
            fprintf(stderr, tx.starting, host);
        if (trace)
            printf("ping6: starting to ping %s\n", host);
        int n = args && args->numPackets > 0 ? args->numPackets : loadRelaxed(defaultPackets);
        int t = args && args->timeout > 0 ? args->timeout : loadRelaxed(defaultTimeout);
        if (n < 1)
            n = 3;
        if (t < 1)
            t = 1;
        if (args) {
            args->numAnswers = 0;
            args->numPackets = n;
            args->avgMsecs = 0;
        }
        if (openSocket(f, raw) < 0)
            return -3;
        x.fam = f;
        x.host = host;
        x.args = args;
        x.n = n;
        x.t = t;
        x.trace = trace;
        if (f == F4) {
            unsigned int a = qelHostnameToIpaddr(host);
            if (a != 0) {
                auto *sin = reinterpret_cast<sockaddr_in *>(&x.to);
                sin->sin_family = AF_INET;
                sin->sin_addr.s_addr = a;
                x.toLen = sizeof *sin;
                x.key.assign(reinterpret_cast<const char *>(&sin->sin_addr), sizeof sin->sin_addr);
                return 0;
            }
            // A name with IPv6 addresses only is probed over IPv6.
            in6_addr a6{};
            if (chooses && qelHostnameToIpv6addr(host, &a6) >= 0) {
                auto *sin6 = reinterpret_cast<sockaddr_in6 *>(&x.to);
                sin6->sin6_family = AF_INET6;
                sin6->sin6_addr = a6;
                resolved = true;
                f = F6;
                continue;
            }
            return -4;
        }
        auto *sin6 = reinterpret_cast<sockaddr_in6 *>(&x.to);
        if (!resolved) {
            in6_addr a6{};
            if (qelHostnameToIpv6addr(host, &a6) < 0)
                return -4;
            memset(&x.to, 0, sizeof x.to);
            sin6->sin6_family = AF_INET6;
            sin6->sin6_addr = a6;
        }
        x.toLen = sizeof *sin6;
        x.key.assign(reinterpret_cast<const char *>(&sin6->sin6_addr), sizeof sin6->sin6_addr);
        return 0;
    }
}

int probeOne(int version, const char *host, kestrovaPingArgs_t *args, int *raw4, int *raw6) {
    try {
        std::vector<Target> one(1);
        int r = prepare(version, host, args, raw4, raw6, one[0]);
        if (r != 0)
            return r;
        Prober p(one, raw4 ? *raw4 : -1, raw6 ? *raw6 : -1);
        p.run();
        return one[0].result;
    } catch (...) {
        return -3; // no memory for the prober's tables
    }
}

} // namespace

extern "C" {

u_short in_cksum(u_short *addr, int len) {
    const unsigned char *p = reinterpret_cast<const unsigned char *>(addr);
    uint64_t sum = 0;
    if (!p)
        len = 0;
    for (; len > 1; len -= 2, p += 2) {
        uint16_t w;
        memcpy(&w, p, sizeof w);
        sum += w;
    }
    if (len == 1) {
        // The odd byte is the high byte of a last word padded with zero.
        uint16_t w = 0;
        memcpy(&w, p, 1);
        sum += w;
    }
    while (sum >> 16)
        sum = (sum >> 16) + (sum & 0xffff);
    return static_cast<u_short>(~sum & 0xffff);
}

int ping4Host(const char *host, kestrovaPingArgs_t *args, int *raw) {
    return probeOne(4, host, args, raw, nullptr);
}

int ping6Host(const char *host, kestrovaPingArgs_t *args, int *raw) {
    return probeOne(6, host, args, nullptr, raw);
}

int pingHost(int version, const char *host, kestrovaPingArgs_t *args, int *raw4, int *raw6) {
    return probeOne(version, host, args, raw4, raw6);
}

int pingHostMany(int version, const char *const *hosts, int count, kestrovaPingArgs_t *args, int *results, int *raw4,
                 int *raw6) {
    if (!hosts || !results || count < 0)
        return -1;
    try {
        std::vector<Target> tg;
        tg.reserve(static_cast<size_t>(count));
        for (int i = 0; i < count; ++i) {
            Target x;
            x.slot = i;
            results[i] = prepare(version, hosts[i], args ? &args[i] : nullptr, raw4, raw6, x);
            if (results[i] == 0)
                tg.push_back(std::move(x));
        }
        if (!tg.empty()) {
            Prober p(tg, raw4 ? *raw4 : -1, raw6 ? *raw6 : -1);
            p.run();
        }
        int answered = 0;
        for (const Target &x : tg) {
            results[x.slot] = x.result;
            answered += x.result == 1;
        }
        return answered;
    } catch (...) {
        return -1; // no memory for the prober's tables
    }
}

} // extern "C"
