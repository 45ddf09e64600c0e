#include <gtest/gtest.h>

#include "qel/socklib.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>

namespace {

// A name the resolver rejects before asking any server.
const char *kBadName = "no such host!";

const uint32_t kLoop4 = htonl(INADDR_LOOPBACK);

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    int get() const { return fd_; }
    void reset(int fd = -1) {
        if (fd_ >= 0)
            close(fd_);
        fd_ = fd;
    }

private:
    int fd_;
};

uint16_t localPort(int s) {
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    EXPECT_EQ(getsockname(s, reinterpret_cast<sockaddr *>(&ss), &len), 0);
    return ss.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6 *>(&ss)->sin6_port
                                    : reinterpret_cast<sockaddr_in *>(&ss)->sin_port;
}

bool haveIpv6Loopback() {
    Fd s(get_tcp6_socket());
    return s.get() >= 0 && bind_tcp6_socket(s.get(), &in6addr_loopback, 0, 0) == 0;
}

#define REQUIRE_IPV6()                                                                                                 \
    do {                                                                                                               \
        if (!haveIpv6Loopback())                                                                                       \
            GTEST_SKIP() << "no IPv6 loopback";                                                                        \
    } while (0)

// A listening TCP socket on loopback, port chosen by the system.
int listener4(int backlog = 5) {
    int s = get_tcp_socket();
    EXPECT_GE(s, 0);
    EXPECT_EQ(bind_tcp_socket(s, kLoop4, 0, 1), 0);
    EXPECT_EQ(listen_for_tcp_connection(s, backlog), 0);
    return s;
}

int listener6() {
    int s = get_tcp6_socket();
    EXPECT_GE(s, 0);
    EXPECT_EQ(bind_tcp6_socket(s, &in6addr_loopback, 0, 1), 0);
    EXPECT_EQ(listen_for_tcp6_connection(s, 5), 0);
    return s;
}

std::string reverseOfLoopback() {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = kLoop4;
    char host[NI_MAXHOST];
    if (getnameinfo(reinterpret_cast<sockaddr *>(&sa), sizeof sa, host, sizeof host, nullptr, 0, NI_NAMEREQD) != 0)
        return "";
    return host;
}

void sendAll(int s, const std::string &data) {
    ASSERT_EQ(send(s, data.data(), data.size(), 0), static_cast<ssize_t>(data.size()));
}

} // namespace

TEST(SockAddrText, Ipv6AlwaysThirtyNineCharacters) {
    char buf[64];
    ASSERT_EQ(convert_ipv6addr(&in6addr_loopback, buf, sizeof buf), 1);
    EXPECT_STREQ(buf, "0000:0000:0000:0000:0000:0000:0000:0001");

    in6_addr a{};
    ASSERT_EQ(inet_pton(AF_INET6, "fe80::abcd:ef01:2:3", &a), 1);
    ASSERT_EQ(convert_ipv6addr(&a, buf, 40), 1);
    EXPECT_STREQ(buf, "fe80:0000:0000:0000:abcd:ef01:0002:0003");
    EXPECT_EQ(std::strlen(buf), 39u);

    // Cut to fit the buffer.
    ASSERT_EQ(convert_ipv6addr(&a, buf, 32), 1);
    EXPECT_STREQ(buf, "fe80:0000:0000:0000:abcd:ef01:0");

    std::strcpy(buf, "untouched");
    EXPECT_EQ(convert_ipv6addr(&a, buf, 31), -1);
    EXPECT_EQ(convert_ipv6addr(&a, nullptr, 64), -1);
    EXPECT_EQ(convert_ipv6addr(nullptr, buf, 64), -1);
    EXPECT_STREQ(buf, "untouched");
}

TEST(SockAddrText, Ipv4DottedAndCut) {
    char buf[32];
    in_addr a{};
    ASSERT_EQ(inet_pton(AF_INET, "10.1.2.3", &a), 1);
    ASSERT_EQ(convert_ipaddr(a.s_addr, buf, sizeof buf), 1);
    EXPECT_STREQ(buf, "10.1.2.3");
    ASSERT_EQ(inet_pton(AF_INET, "192.168.100.200", &a), 1);
    ASSERT_EQ(convert_ipaddr(a.s_addr, buf, 8), 1);
    EXPECT_STREQ(buf, "192.168");
    EXPECT_EQ(convert_ipaddr(a.s_addr, buf, 7), -1);
    EXPECT_EQ(convert_ipaddr(a.s_addr, nullptr, 32), -1);
    // Every octet value in every position reads as inet_ntop writes it.
    for (unsigned v = 0; v < 256; v++) {
        const unsigned char octets[4] = {static_cast<unsigned char>(v), static_cast<unsigned char>(255 - v),
                                         static_cast<unsigned char>(v * 7), static_cast<unsigned char>(v / 3)};
        std::memcpy(&a, octets, 4);
        char expected[INET_ADDRSTRLEN];
        ASSERT_NE(inet_ntop(AF_INET, &a, expected, sizeof expected), nullptr);
        ASSERT_EQ(convert_ipaddr(a.s_addr, buf, sizeof buf), 1);
        EXPECT_STREQ(buf, expected);
    }
}

TEST(SockAddrText, IpVersionOfAddressText) {
    EXPECT_EQ(ipVersionOfAddress("127.0.0.1"), 4);
    EXPECT_EQ(ipVersionOfAddress("10.1.2.3"), 4);
    EXPECT_EQ(ipVersionOfAddress("::1"), 6);
    EXPECT_EQ(ipVersionOfAddress("0000:0000:0000:0000:0000:0000:0000:0001"), 6);
    EXPECT_EQ(ipVersionOfAddress("fe80::1"), 6);
    EXPECT_EQ(ipVersionOfAddress("localhost"), 0);
    EXPECT_EQ(ipVersionOfAddress("1.2.3"), 0);
    EXPECT_EQ(ipVersionOfAddress("1.2.3.4.5"), 0);
    EXPECT_EQ(ipVersionOfAddress(""), 0);
    EXPECT_EQ(ipVersionOfAddress(nullptr), 0);
}

TEST(SockLocal, GetMyAddressIpv4) {
    Fd s(get_tcp_socket());
    ASSERT_EQ(bind_tcp_socket(s.get(), kLoop4, 0, 0), 0);
    const int port = ntohs(localPort(s.get()));
    char buf[64];
    EXPECT_EQ(getMyAddress(s.get(), buf, sizeof buf), 4);
    EXPECT_EQ(std::string(buf), "127.0.0.1:" + std::to_string(port) + "\n");
    EXPECT_EQ(getMyAddress(s.get(), buf, 5), 4);
    EXPECT_STREQ(buf, "127.");
    EXPECT_EQ(getMyAddress(s.get(), nullptr, 64), 0);
    EXPECT_EQ(getMyAddress(s.get(), buf, 0), 0);
    EXPECT_EQ(ipVersionOfSocket(s.get()), 4);
}

TEST(SockLocal, GetMyAddressIpv6) {
    REQUIRE_IPV6();
    Fd s(get_tcp6_socket());
    ASSERT_EQ(bind_tcp6_socket(s.get(), &in6addr_loopback, 0, 0), 0);
    const int port = ntohs(localPort(s.get()));
    char buf[64];
    EXPECT_EQ(getMyAddress(s.get(), buf, sizeof buf), 6);
    EXPECT_EQ(std::string(buf), "[0000:0000:0000:0000:0000:0000:0000:0001]:" + std::to_string(port) + "\n");
    EXPECT_EQ(ipVersionOfSocket(s.get()), 6);
}

TEST(SockLocal, BadSocketReportsGetsocknameFailure) {
    char buf[64];
    testing::internal::CaptureStderr();
    EXPECT_EQ(getMyAddress(-1, buf, sizeof buf), 0);
    EXPECT_EQ(ipVersionOfSocket(-1), 0);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err,
              "getMyAddress: getsockname failed: Bad file descriptor\n"
              "ipVersionOfSocket: getsockname failed: Bad file descriptor\n");
}

TEST(SockTcp, RoundTripIpv4) {
    Fd lst(listener4());
    const uint16_t port = localPort(lst.get());
    Fd cli(get_tcp_socket());
    ASSERT_EQ(connect_tcp_socket(cli.get(), kLoop4, port), 0);
    EXPECT_EQ(connection_pending(lst.get(), 10), 1);

    uint32_t peer = 0;
    uint16_t peerPort = 0;
    Fd srv(accept_tcp_connection_request(lst.get(), &peer, &peerPort));
    ASSERT_GE(srv.get(), 0);
    EXPECT_EQ(peer, kLoop4);
    EXPECT_EQ(peerPort, localPort(cli.get()));

    sendAll(cli.get(), "hello, world");
    ASSERT_EQ(connection_pending(srv.get(), 10), 1);
    char buf[64];
    EXPECT_EQ(read_upto_X_bytes(srv.get(), buf, 5, sizeof buf), 5);
    EXPECT_EQ(std::string(buf, 5), "hello");
    EXPECT_EQ(bytes_at_socket(srv.get()), 7);
    EXPECT_EQ(read_upto_X_bytes(srv.get(), buf, 7, 7), 7);
    EXPECT_EQ(std::string(buf, 7), ", world");

    // The peer closes before X bytes arrived: what came is returned.
    sendAll(srv.get(), "abcd");
    srv.reset();
    EXPECT_EQ(read_upto_X_bytes(cli.get(), buf, 10, sizeof buf), 4);
    EXPECT_EQ(std::string(buf, 4), "abcd");
}

TEST(SockTcp, RoundTripIpv6) {
    REQUIRE_IPV6();
    Fd lst(listener6());
    const uint16_t port = localPort(lst.get());
    Fd cli(get_tcp6_socket());
    ASSERT_EQ(connect_tcp6_socket(cli.get(), &in6addr_loopback, port), 0);
    EXPECT_EQ(connection_pending(lst.get(), 10), 1);

    in6_addr peer{};
    uint16_t peerPort = 0;
    Fd srv(accept_tcp6_connection_request(lst.get(), &peer, &peerPort));
    ASSERT_GE(srv.get(), 0);
    EXPECT_EQ(std::memcmp(&peer, &in6addr_loopback, sizeof peer), 0);
    EXPECT_EQ(peerPort, localPort(cli.get()));

    sendAll(srv.get(), "0123456789");
    char buf[16];
    EXPECT_EQ(read_upto_X_bytes(cli.get(), buf, 10, sizeof buf), 10);
    EXPECT_EQ(std::string(buf, 10), "0123456789");
}

TEST(SockTcp, Ipv6BindIsIpv6Only) {
    REQUIRE_IPV6();
    Fd s(get_tcp6_socket());
    ASSERT_EQ(bind_tcp6_socket(s.get(), &in6addr_any, 0, 0), 0);
    int v = 0;
    socklen_t len = sizeof v;
    ASSERT_EQ(getsockopt(s.get(), IPPROTO_IPV6, IPV6_V6ONLY, &v, &len), 0);
    EXPECT_EQ(v, 1);
}

TEST(SockConnectTimeout, RefusedPortFailsAtOnce) {
    // A bound but not listening socket keeps the port ours and closed.
    Fd hold(get_tcp_socket());
    ASSERT_EQ(bind_tcp_socket(hold.get(), kLoop4, 0, 0), 0);
    Fd cli(get_tcp_socket());
    EXPECT_EQ(connect_tcp_socket_timeout(cli.get(), kLoop4, localPort(hold.get()), 20), -1);
}

TEST(SockConnectTimeout, RefusedPortFailsIpv6) {
    REQUIRE_IPV6();
    Fd hold(get_tcp6_socket());
    ASSERT_EQ(bind_tcp6_socket(hold.get(), &in6addr_loopback, 0, 0), 0);
    Fd cli(get_tcp6_socket());
    EXPECT_EQ(connect_tcp6_socket_timeout(cli.get(), &in6addr_loopback, localPort(hold.get()), 20), -1);
}

TEST(SockConnectTimeout, ConnectsAndRestoresBlockingMode) {
    Fd lst(listener4());
    Fd cli(get_tcp_socket());
    ASSERT_EQ(connect_tcp_socket_timeout(cli.get(), kLoop4, localPort(lst.get()), 10), 1);
    EXPECT_EQ(fcntl(cli.get(), F_GETFL) & O_NONBLOCK, 0);
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    EXPECT_EQ(getpeername(cli.get(), reinterpret_cast<sockaddr *>(&peer), &len), 0);
}

TEST(SockConnectTimeout, ConnectsIpv6) {
    REQUIRE_IPV6();
    Fd lst(listener6());
    Fd cli(get_tcp6_socket());
    ASSERT_EQ(connect_tcp6_socket_timeout(cli.get(), &in6addr_loopback, localPort(lst.get()), 10), 1);
    EXPECT_EQ(fcntl(cli.get(), F_GETFL) & O_NONBLOCK, 0);
}

TEST(SockConnectTimeout, UnansweredConnectGivesUpAfterTimeout) {
    // A listener whose accept queue is full drops further handshakes, so the
    // connect neither completes nor is refused.
    Fd lst(listener4(0));
    const uint16_t port = localPort(lst.get());
    Fd fill[4];
    for (auto &f : fill) {
        f.reset(get_tcp_socket());
        fcntl(f.get(), F_SETFL, O_NONBLOCK);
        connect_tcp_socket(f.get(), kLoop4, port);
    }
    Fd cli(get_tcp_socket());
    int rc = connect_tcp_socket_timeout(cli.get(), kLoop4, port, 1);
    if (rc == 1)
        GTEST_SKIP() << "this network stack completes handshakes beyond the backlog";
    EXPECT_EQ(rc, -1);
}

TEST(SockPending, PollsAndPicksTheReadySocket) {
    Fd a(listener4()), b(listener4());
    EXPECT_EQ(connection_pending(a.get(), 0), 0);
    EXPECT_EQ(connections_pending(a.get(), b.get(), 0), 0);

    Fd cb(get_tcp_socket());
    ASSERT_EQ(connect_tcp_socket(cb.get(), kLoop4, localPort(b.get())), 0);
    EXPECT_EQ(connections_pending(a.get(), b.get(), 10), b.get());
    EXPECT_EQ(connections_pending(-1, b.get(), 10), b.get());

    Fd ca(get_tcp_socket());
    ASSERT_EQ(connect_tcp_socket(ca.get(), kLoop4, localPort(a.get())), 0);
    ASSERT_EQ(connection_pending(a.get(), 10), 1);
    // Both ready: the first wins.
    EXPECT_EQ(connections_pending(a.get(), b.get(), 10), a.get());
    EXPECT_EQ(connections_pending(b.get(), a.get(), 10), b.get());
}

TEST(SockUdp, DatagramBothFamilies) {
    Fd srv(get_udp_socket()), cli(get_udp_socket());
    ASSERT_EQ(bind_udp_socket(srv.get(), kLoop4, 0, 1), 0);
    ASSERT_EQ(connect_udp_socket(cli.get(), kLoop4, localPort(srv.get())), 0);
    sendAll(cli.get(), "ping");
    ASSERT_EQ(connection_pending(srv.get(), 10), 1);
    char buf[16];
    EXPECT_EQ(recv(srv.get(), buf, sizeof buf, 0), 4);

    if (!haveIpv6Loopback())
        return;
    Fd srv6(get_udp6_socket()), cli6(get_udp6_socket());
    ASSERT_EQ(bind_udp6_socket(srv6.get(), &in6addr_loopback, 0, 1), 0);
    ASSERT_EQ(connect_udp6_socket(cli6.get(), &in6addr_loopback, localPort(srv6.get())), 0);
    sendAll(cli6.get(), "ping6");
    ASSERT_EQ(connection_pending(srv6.get(), 10), 1);
    EXPECT_EQ(recv(srv6.get(), buf, sizeof buf, 0), 5);
}

TEST(SockArgs, BadArgumentsAndFailures) {
    char buf[8];
    uint32_t a4 = 0;
    in6_addr a6{};
    uint16_t port = 0;
    Fd notListening(get_tcp_socket());
    testing::internal::CaptureStderr();
    EXPECT_EQ(read_upto_X_bytes(0, nullptr, 4, 8), -1);
    EXPECT_EQ(read_upto_X_bytes(0, buf, 8, 4), -1);
    EXPECT_EQ(accept_tcp_connection_request(0, nullptr, &port), -1);
    EXPECT_EQ(accept_tcp6_connection_request(0, &a6, nullptr), -1);
    EXPECT_EQ(accept_tcp_connection_request(notListening.get(), &a4, &port), -1);
    EXPECT_EQ(accept_tcp6_connection_request(notListening.get(), &a6, &port), -1);
    EXPECT_EQ(bytes_at_socket(0), 0);
    EXPECT_EQ(bytes_at_socket(-1), 0);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err,
              "read_upto_X_bytes: not enough space, 4 < 8\n"
              "accept_tcp_connection: invalid argument\n"
              "accept_tcp_connection: invalid argument\n"
              "accept_tcp_connection_request: failed : Invalid argument\n"
              "ioctl FIONREAD failed: Bad file descriptor\n");
    EXPECT_EQ(bind_tcp6_socket(notListening.get(), nullptr, 0, 0), -1);
    EXPECT_EQ(connect_tcp6_socket_timeout(notListening.get(), nullptr, 0, 1), -1);
}

TEST(SockOptions, NoDelayAndBufferSizes) {
    Fd s(get_tcp_socket());
    EXPECT_EQ(set_tcp_no_delay(s.get()), 0);
    int v = 0;
    socklen_t len = sizeof v;
    ASSERT_EQ(getsockopt(s.get(), IPPROTO_TCP, TCP_NODELAY, &v, &len), 0);
    EXPECT_NE(v, 0);

    EXPECT_EQ(set_socket_buffer_sizes(s.get(), 100000, 0), 1);
    int rcv = 0, snd = 0;
    EXPECT_EQ(get_socket_buffer_sizes(s.get(), &rcv, &snd), 1);
    EXPECT_GE(rcv, 100000);
    EXPECT_GT(snd, 0);
    EXPECT_EQ(get_socket_buffer_sizes(s.get(), nullptr, &snd), 1);

    Fd udp(get_udp_socket());
    testing::internal::CaptureStderr();
    EXPECT_NE(set_tcp_no_delay(udp.get()), 0);
    EXPECT_EQ(get_socket_buffer_sizes(-1, &rcv, &snd), 1);
    EXPECT_EQ(set_socket_buffer_sizes(-1, 10, 10), 1);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(rcv, -1);
    EXPECT_EQ(snd, -1);
    EXPECT_EQ(err.rfind("setsockopt: tcp_nodelay failed: ", 0), 0u) << err;
    EXPECT_NE(err.find("getsockopt of SO_RCVBUF failed: Bad file descriptor\n"
                       "getsockopt of SO_SNDBUF failed: Bad file descriptor\n"
                       "setsockopt of SO_RCVBUF failed: Bad file descriptor\n"
                       "setsockopt of SO_SNDBUF failed: Bad file descriptor\n"),
              std::string::npos)
        << err;
}

TEST(SockResolve, HostnameToAddresses) {
    EXPECT_EQ(hostname_to_ipaddr("127.0.0.1"), kLoop4);
    EXPECT_EQ(hostname_to_ipaddr("localhost"), kLoop4);
    EXPECT_EQ(hostname_to_ipaddr(kBadName), 0u);
    EXPECT_EQ(hostname_to_ipaddr(nullptr), 0u);

    in6_addr a6{};
    EXPECT_EQ(hostname_to_ipv6addr("::1", &a6), 1);
    EXPECT_EQ(std::memcmp(&a6, &in6addr_loopback, sizeof a6), 0);
    EXPECT_EQ(hostname_to_ipv6addr("127.0.0.1", &a6), -1);
    EXPECT_EQ(hostname_to_ipv6addr(kBadName, &a6), -2);
    EXPECT_EQ(hostname_to_ipv6addr(nullptr, &a6), -1);
}

TEST(SockResolve, NameToIpAddressByVersion) {
    uint32_t a4 = 0;
    in6_addr a6{};
    EXPECT_EQ(nameToIpAddress(nullptr, 0, &a4, &a6), -1);
    EXPECT_EQ(nameToIpAddress("127.0.0.1", 5, &a4, &a6), -1);
    EXPECT_EQ(nameToIpAddress("127.0.0.1", 4, nullptr, &a6), -1);
    EXPECT_EQ(nameToIpAddress("::1", 6, &a4, nullptr), -1);
    EXPECT_EQ(nameToIpAddress("127.0.0.1", 0, &a4, nullptr), -1);

    EXPECT_EQ(nameToIpAddress("127.0.0.1", 4, &a4, nullptr), 4);
    EXPECT_EQ(a4, kLoop4);
    a4 = 0;
    EXPECT_EQ(nameToIpAddress("localhost", 4, &a4, nullptr), 4);
    EXPECT_EQ(a4, kLoop4);
    a4 = 0;
    EXPECT_EQ(nameToIpAddress("127.0.0.1", 0, &a4, &a6), 4);
    EXPECT_EQ(a4, kLoop4);
    EXPECT_EQ(nameToIpAddress("::1", 0, &a4, &a6), 6);
    EXPECT_EQ(std::memcmp(&a6, &in6addr_loopback, sizeof a6), 0);
    a6 = in6_addr{};
    EXPECT_EQ(nameToIpAddress("::1", 6, nullptr, &a6), 6);
    EXPECT_EQ(std::memcmp(&a6, &in6addr_loopback, sizeof a6), 0);
    EXPECT_EQ(nameToIpAddress("::1", 4, &a4, nullptr), -1);
    EXPECT_EQ(nameToIpAddress("127.0.0.1", 6, nullptr, &a6), -1);
    EXPECT_EQ(nameToIpAddress(kBadName, 0, &a4, &a6), -1);
}

TEST(SockNames, ArgumentChecksLeaveOutputAlone) {
    using Fn = int (*)(const char *, char *, int);
    for (Fn fn : {addressToHostname, ipAddrToHostname, ipAddrToHostname2, nameAddrToHostname}) {
        char out[32] = "keep";
        EXPECT_EQ(fn(nullptr, out, sizeof out), -1);
        EXPECT_EQ(fn("127.0.0.1", nullptr, 32), -1);
        EXPECT_EQ(fn("127.0.0.1", out, 4), -1);
        EXPECT_STREQ(out, "keep");
    }
}

TEST(SockNames, LoopbackNames) {
    const std::string name = reverseOfLoopback();
    if (name.empty())
        GTEST_SKIP() << "127.0.0.1 has no name on this host";
    char out[256];
    EXPECT_EQ(addressToHostname("127.0.0.1", out, sizeof out), 1);
    EXPECT_EQ(out, name);
    EXPECT_EQ(ipAddrToHostname("127.0.0.1", out, sizeof out), 1);
    EXPECT_EQ(out, name);
    EXPECT_EQ(ipAddrToHostname2("127.0.0.1", out, sizeof out), 1);
    EXPECT_EQ(out, name);
    EXPECT_EQ(nameAddrToHostname("127.0.0.1", out, sizeof out), 1);
    EXPECT_EQ(out, name);

    // Names resolve to their canonical form.
    EXPECT_EQ(nameAddrToHostname("localhost", out, sizeof out), 1);
    EXPECT_STREQ(out, "localhost");
    EXPECT_EQ(ipAddrToHostname2("localhost", out, sizeof out), 1);
    EXPECT_STREQ(out, "localhost");

    // Results are cut to the buffer.
    EXPECT_EQ(nameAddrToHostname("127.0.0.1", out, 6), 1);
    EXPECT_EQ(std::string(out), name.substr(0, 5));
}

TEST(SockNames, FailedLookupLeavesInputText) {
    char out[64];
    EXPECT_EQ(ipAddrToHostname(kBadName, out, sizeof out), -1);
    EXPECT_STREQ(out, kBadName);
    EXPECT_EQ(ipAddrToHostname2(kBadName, out, sizeof out), -1);
    EXPECT_STREQ(out, kBadName);
    EXPECT_EQ(nameAddrToHostname(kBadName, out, sizeof out), -1);
    EXPECT_STREQ(out, kBadName);
    // An unresolvable name is kept as its own name.
    EXPECT_EQ(addressToHostname(kBadName, out, sizeof out), 1);
    EXPECT_STREQ(out, kBadName);
    // The copy of the input is cut as well.
    EXPECT_EQ(nameAddrToHostname(kBadName, out, 6), -1);
    EXPECT_STREQ(out, "no su");
}
