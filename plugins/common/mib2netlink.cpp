#include "mib2netlink.h"

#include <arpa/inet.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <net/route.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <functional>

namespace mib2 {
namespace {

struct Socket {
    int fd;
    explicit Socket(int f) : fd(f) {}
    ~Socket() {
        if (fd >= 0)
            ::close(fd);
    }
    Socket(const Socket &) = delete;
    Socket &operator=(const Socket &) = delete;
};

// Sends one dump request and hands every reply message to fn. False on any
// failure (the caller then uses the file instead). Bounded: the kernel ends
// a dump with NLMSG_DONE, and a silent kernel ends it through the receive
// time-out.
bool dump(int protocol, const void *req, size_t reqLen, const std::function<void(const nlmsghdr *)> &fn) {
    Socket s(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, protocol));
    if (s.fd < 0)
        return false;
    struct timeval tv = {5, 0};
    ::setsockopt(s.fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    int rcvbuf = 1 << 20;
    ::setsockopt(s.fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(s.fd, req, reqLen, 0, reinterpret_cast<sockaddr *>(&kernel), sizeof kernel) < 0)
        return false;
    const uint32_t seq = static_cast<const nlmsghdr *>(req)->nlmsg_seq;
    std::vector<char> buf(256 * 1024);
    for (;;) {
        ssize_t n = ::recv(s.fd, buf.data(), buf.size(), 0);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (n == 0)
            return false;
        size_t len = static_cast<size_t>(n);
        for (auto *h = reinterpret_cast<const nlmsghdr *>(buf.data()); NLMSG_OK(h, len); h = NLMSG_NEXT(h, len)) {
            if (h->nlmsg_seq != seq)
                continue;
            if (h->nlmsg_type == NLMSG_DONE)
                return true;
            if (h->nlmsg_type == NLMSG_ERROR)
                return false;
            if (h->nlmsg_flags & NLM_F_DUMP_INTR)
                return false;
            fn(h);
        }
    }
}

// Neighbour states that carry a usable link address (the kernel's NUD_VALID).
constexpr unsigned kNudValid = NUD_PERMANENT | NUD_NOARP | NUD_REACHABLE | NUD_PROBE | NUD_STALE | NUD_DELAY;

uint32_t nextSeq() {
    static std::atomic<uint32_t> seq{1};
    return seq++;
}

std::string ifName(unsigned index) {
    char name[IF_NAMESIZE + 1] = {};
    if (index == 0 || !::if_indextoname(index, name))
        return "*";
    return name;
}

} // namespace

bool netlinkSockets(int family, int protocol, std::vector<SockRecord> &out) {
    struct {
        nlmsghdr h;
        inet_diag_req_v2 r;
    } req{};
    req.h.nlmsg_len = sizeof req;
    req.h.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    req.h.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    req.h.nlmsg_seq = nextSeq();
    req.r.sdiag_family = static_cast<uint8_t>(family);
    req.r.sdiag_protocol = static_cast<uint8_t>(protocol);
    req.r.idiag_states = ~0u;
    std::vector<SockRecord> got;
    bool ok = dump(NETLINK_SOCK_DIAG, &req, sizeof req, [&](const nlmsghdr *h) {
        if (h->nlmsg_type != SOCK_DIAG_BY_FAMILY || h->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg)))
            return;
        auto *m = static_cast<const inet_diag_msg *>(NLMSG_DATA(h));
        if (m->idiag_family != family)
            return;
        SockRecord s;
        s.ipVersion = family == AF_INET6 ? 6 : 4;
        std::memcpy(s.localAddr, m->id.idiag_src, s.ipVersion == 6 ? 16 : 4);
        std::memcpy(s.remAddr, m->id.idiag_dst, s.ipVersion == 6 ? 16 : 4);
        s.localPort = ntohs(m->id.idiag_sport);
        s.remPort = ntohs(m->id.idiag_dport);
        s.linuxState = m->idiag_state;
        s.inode = m->idiag_inode;
        got.push_back(s);
    });
    if (!ok)
        return false;
    out.insert(out.end(), got.begin(), got.end());
    return true;
}

namespace {

// The main table's unicast and reject routes of one family.
bool netlinkRoutesOf(int family, std::vector<RouteRecord> &out, std::vector<unsigned> &ifIndexes) {
    const size_t addrLen = family == AF_INET6 ? 16 : 4;
    struct {
        nlmsghdr h;
        rtmsg r;
    } req{};
    req.h.nlmsg_len = sizeof req;
    req.h.nlmsg_type = RTM_GETROUTE;
    req.h.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    req.h.nlmsg_seq = nextSeq();
    req.r.rtm_family = static_cast<unsigned char>(family);
    std::vector<RouteRecord> got;
    std::vector<unsigned> idx;
    bool ok = dump(NETLINK_ROUTE, &req, sizeof req, [&](const nlmsghdr *h) {
        if (h->nlmsg_type != RTM_NEWROUTE)
            return;
        auto *r = static_cast<const rtmsg *>(NLMSG_DATA(h));
        if (r->rtm_family != family || r->rtm_dst_len > addrLen * 8)
            return;
        uint32_t table = r->rtm_table;
        uint32_t prio = 0, oif = 0;
        unsigned char dstBytes[16] = {}, gwBytes[16] = {};
        auto copyAddr = [&](unsigned char *to, const rtattr *a) {
            if (RTA_PAYLOAD(a) >= addrLen)
                std::memcpy(to, RTA_DATA(a), addrLen);
        };
        int len = static_cast<int>(RTM_PAYLOAD(h));
        for (auto *a = RTM_RTA(r); RTA_OK(a, len); a = RTA_NEXT(a, len)) {
            switch (a->rta_type) {
            case RTA_TABLE: std::memcpy(&table, RTA_DATA(a), 4); break;
            case RTA_DST: copyAddr(dstBytes, a); break;
            case RTA_GATEWAY: copyAddr(gwBytes, a); break;
            case RTA_PRIORITY: std::memcpy(&prio, RTA_DATA(a), 4); break;
            case RTA_OIF: std::memcpy(&oif, RTA_DATA(a), 4); break;
            case RTA_MULTIPATH: {
                // The file shows the first next hop only.
                auto *nh = static_cast<const rtnexthop *>(RTA_DATA(a));
                if (RTA_PAYLOAD(a) >= sizeof *nh && oif == 0) {
                    oif = static_cast<uint32_t>(nh->rtnh_ifindex);
                    int nlen = nh->rtnh_len - static_cast<int>(sizeof *nh);
                    static const unsigned char none[16] = {};
                    for (auto *na = RTNH_DATA(nh); RTA_OK(na, nlen); na = RTA_NEXT(na, nlen))
                        if (na->rta_type == RTA_GATEWAY && std::memcmp(gwBytes, none, addrLen) == 0)
                            copyAddr(gwBytes, na);
                }
                break;
            }
            default: break;
            }
        }
        if (table != RT_TABLE_MAIN || r->rtm_type == RTN_BROADCAST || r->rtm_type == RTN_MULTICAST)
            return;
        static const unsigned char none[16] = {};
        const bool gw = std::memcmp(gwBytes, none, addrLen) != 0;
        RouteRecord rr;
        if (family == AF_INET6) {
            rr.ipVersion = 6;
            std::memcpy(rr.dest6, dstBytes, 16);
            std::memcpy(rr.gateway6, gwBytes, 16);
            rr.prefixLen = r->rtm_dst_len;
        } else {
            uint32_t dst = 0;
            std::memcpy(&dst, dstBytes, 4);
            std::memcpy(&rr.gateway, gwBytes, 4);
            rr.mask = r->rtm_dst_len == 0 ? 0 : htonl(0xffffffffu << (32 - r->rtm_dst_len));
            rr.dest = dst & rr.mask;
        }
        rr.metric = prio;
        rr.flags = RTF_UP;
        if (r->rtm_type == RTN_UNREACHABLE || r->rtm_type == RTN_PROHIBIT)
            rr.flags |= RTF_REJECT;
        if (gw)
            rr.flags |= RTF_GATEWAY;
        if (r->rtm_dst_len == addrLen * 8)
            rr.flags |= RTF_HOST;
        rr.ifname = ifName(oif);
        got.push_back(std::move(rr));
        idx.push_back(oif);
    });
    if (!ok)
        return false;
    out.insert(out.end(), got.begin(), got.end());
    ifIndexes.insert(ifIndexes.end(), idx.begin(), idx.end());
    return true;
}

} // namespace

bool netlinkRoutes(std::vector<RouteRecord> &out, std::vector<unsigned> &ifIndexes) {
    if (!netlinkRoutesOf(AF_INET, out, ifIndexes))
        return false;
    // A host without IPv6 answers the IPv6 dump with an error or nothing.
    netlinkRoutesOf(AF_INET6, out, ifIndexes);
    return true;
}

bool netlinkNeighbours(std::vector<NeighRecord> &out, std::vector<unsigned> &ifIndexes) {
    struct {
        nlmsghdr h;
        ndmsg n;
    } req{};
    req.h.nlmsg_len = sizeof req;
    req.h.nlmsg_type = RTM_GETNEIGH;
    req.h.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    req.h.nlmsg_seq = nextSeq();
    req.n.ndm_family = AF_INET;
    std::vector<NeighRecord> got;
    std::vector<unsigned> idx;
    bool ok = dump(NETLINK_ROUTE, &req, sizeof req, [&](const nlmsghdr *h) {
        if (h->nlmsg_type != RTM_NEWNEIGH)
            return;
        auto *n = static_cast<const ndmsg *>(NLMSG_DATA(h));
        // The file leaves out entries that need no resolution at all.
        if (n->ndm_family != AF_INET || (n->ndm_flags & NTF_PROXY) || !(n->ndm_state & ~NUD_NOARP))
            return;
        NeighRecord nr;
        bool haveDst = false;
        int len = static_cast<int>(h->nlmsg_len - NLMSG_LENGTH(sizeof *n));
        for (auto *a = reinterpret_cast<const rtattr *>(reinterpret_cast<const char *>(n) + NLMSG_ALIGN(sizeof *n));
             RTA_OK(a, len); a = RTA_NEXT(a, len)) {
            if (a->rta_type == NDA_DST && RTA_PAYLOAD(a) == 4) {
                std::memcpy(&nr.addr, RTA_DATA(a), 4);
                haveDst = true;
            } else if (a->rta_type == NDA_LLADDR) {
                size_t l = std::min<size_t>(RTA_PAYLOAD(a), sizeof nr.hwaddr);
                std::memcpy(nr.hwaddr, RTA_DATA(a), l);
                nr.hwaddrlen = static_cast<int>(l);
            }
        }
        if (!haveDst)
            return;
        nr.flags = (n->ndm_state & NUD_PERMANENT) ? (ATF_PERM | ATF_COM) : (n->ndm_state & kNudValid) ? ATF_COM : 0;
        if (!(nr.flags & ATF_COM)) {
            std::memset(nr.hwaddr, 0, sizeof nr.hwaddr);
            nr.hwaddrlen = 0;
        }
        nr.ifname = ifName(static_cast<unsigned>(n->ndm_ifindex));
        got.push_back(std::move(nr));
        idx.push_back(static_cast<unsigned>(n->ndm_ifindex));
    });
    if (!ok)
        return false;
    out.insert(out.end(), got.begin(), got.end());
    ifIndexes.insert(ifIndexes.end(), idx.begin(), idx.end());
    return true;
}

} // namespace mib2
