// Sessions over real TLS on loopback: a CA made by qelca, both ends enrolled.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <functional>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <string>
#include <vector>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "qel/qel.h"
#include "qel/qel_session.h"
#include "qel/socklib.h"
#include "qel/ssl_utils.h"
#include "qel/strutil.h"
#include "testutil.h"

namespace {

testutil::TempDir *caDir = nullptr;
std::string savedCwd;

// One listening socket on 127.0.0.1; each accepted connection is handed to
// `serve` on a thread of its own.
class TestServer {
public:
    using Serve = std::function<void(int fd)>;
    explicit TestServer(Serve serve) : serve_(std::move(serve)) {
        lfd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int one = 1;
        setsockopt(lfd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        EXPECT_EQ(bind(lfd_, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
        socklen_t len = sizeof a;
        getsockname(lfd_, reinterpret_cast<sockaddr *>(&a), &len);
        port_ = a.sin_port;
        EXPECT_EQ(listen(lfd_, 16), 0);
        thread_ = std::thread([this] {
            int fd = accept(lfd_, nullptr, nullptr);
            if (fd >= 0)
                serve_(fd);
        });
    }
    ~TestServer() {
        shutdown(lfd_, SHUT_RDWR);
        close(lfd_);
        if (thread_.joinable())
            thread_.join();
    }
    uint16_t port() const { return port_; } // network byte order
    uint16_t hostPort() const { return ntohs(port_); }

private:
    Serve serve_;
    int lfd_ = -1;
    uint16_t port_ = 0;
    std::thread thread_;
};

// Accepts the connection as a QEL session and hands it to `use`.
TestServer::Serve asSession(std::function<void(qelSession_t *)> use) {
    return [use](int fd) {
        qelSession_t *s = qelAcceptSession(fd, 5);
        if (!s)
            return;
        use(s);
        destroyQelSession(s);
    };
}

// The wire text of a Response carrying values as display strings.
void buildResponse(const std::vector<std::string> &values, std::string &message) {
    qelPdu_t rsp{};
    rsp.msgType = Response;
    for (const std::string &v : values)
        ASSERT_NE(qelAddVariable(&rsp, "m", "o", nullptr, displayString, v.c_str()), nullptr);
    int needed = 0;
    char probe[1];
    buildQelMessage(&rsp, probe, 1, &needed);
    message.assign(static_cast<size_t>(needed) + 1, '\0');
    const int len = buildQelMessage(&rsp, message.data(), static_cast<int>(message.size()), nullptr);
    qelPduCleanup(&rsp);
    ASSERT_GT(len, 10);
    message.resize(static_cast<size_t>(len));
}

qelVariable_t *addVar(qelPdu_t &pdu, const char *mib, const char *obj, const char *value, qelSyntax_t syntax) {
    auto *v = static_cast<qelVariable_t *>(calloc(1, sizeof(qelVariable_t)));
    qelCopyField(v->varName.mibName, mib);
    qelCopyField(v->varName.objName, obj);
    v->varSyntax = syntax;
    v->valueStrLen = static_cast<int>(qelCopyField(v->valueStr, value));
    if (pdu.varListTail)
        pdu.varListTail->next = v;
    else
        pdu.varList = v;
    pdu.varListTail = v;
    pdu.numberVariables++;
    return v;
}

// Answers every request on the session with a Response carrying the given
// values for the request's variables, until the peer goes away.
void answerWith(qelSession_t *s, std::vector<std::string> values) {
    for (;;) {
        int n = qelRecvMessage(s);
        if (n < 0)
            return;
        qelPdu_t req{};
        if (parseQelMessage(reinterpret_cast<char *>(s->recvBuf), n, &req) != 1)
            return;
        qelPdu_t rsp{};
        rsp.msgType = Response;
        rsp.messageID = req.messageID;
        if (req.msgType == SelectTableRequest) { // one row per value
            for (const auto &value : values)
                addVar(rsp, req.varList->varName.mibName, req.varList->varName.objName, value.c_str(), displayString);
        } else {
            size_t i = 0;
            for (qelVariable_t *v = req.varList; v; v = v->next, ++i)
                addVar(rsp, v->varName.mibName, v->varName.objName, i < values.size() ? values[i].c_str() : "",
                       displayString);
        }
        char buf[65536];
        int len = buildQelMessage(&rsp, buf, sizeof buf, nullptr);
        qelSendMessage(s, buf, len);
        qelPduCleanup(&req);
        qelPduCleanup(&rsp);
    }
}

// A raw TLS client with the process context: lets a test put arbitrary bytes
// on the wire after the handshake.
struct RawClient {
    int fd = -1;
    SSL *ssl = nullptr;
    explicit RawClient(uint16_t port, SSL_CTX *useCtx = nullptr) {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = port;
        if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0)
            return;
        ssl = SSL_new(useCtx ? useCtx : ctx);
        SSL_set_fd(ssl, fd);
        if (SSL_connect(ssl) != 1) {
            SSL_free(ssl);
            ssl = nullptr;
        }
    }
    ~RawClient() {
        if (ssl)
            SSL_free(ssl);
        if (fd >= 0)
            close(fd);
    }
    bool write(const void *p, int n) { return ssl && SSL_write(ssl, p, n) == n; }
    void hardClose() {
        if (ssl) {
            SSL_free(ssl);
            ssl = nullptr;
        }
        if (fd >= 0) {
            close(fd);
            fd = -1;
        }
    }
};

std::string header(const char *version, const char *len, const char *user) {
    std::string h(32, '\0');
    memcpy(&h[0], version, std::min<size_t>(strlen(version), 4));
    memcpy(&h[4], len, std::min<size_t>(strlen(len), 12));
    memcpy(&h[16], user, std::min<size_t>(strlen(user), 16));
    return h;
}

} // namespace

class SessionTest : public ::testing::Test {
protected:
    // A failure in SetUpTestSuite would make Google Test skip the suite,
    // and a skip passes in CTest: what went wrong is reported by every test.
    static void SetUpTestSuite() {
        caDir = new testutil::TempDir();
        setUpError = prepare();
    }
    static std::string prepare() {
        auto r = testutil::runProcess({testutil::binPath("qelca"), "init", caDir->path()});
        if (r.exitCode != 0)
            return "qelca init failed: " + r.err;
        char cwd[4096];
        if (!getcwd(cwd, sizeof cwd))
            return "no working directory";
        savedCwd = cwd;
        if (chdir(caDir->path().c_str()) != 0)
            return "cannot enter " + caDir->path();
        char fqdn[512];
        if (get_fqdn(fqdn, sizeof fqdn) != 1)
            return "get_fqdn failed";
        if (init_ssl_stuff(fqdn, "sessiontest.pem", "sessiontest.csr") != 1)
            return "init_ssl_stuff failed";
        return {};
    }
    void SetUp() override { ASSERT_EQ(setUpError, ""); }
    static inline std::string setUpError;
    static void TearDownTestSuite() {
        if (!savedCwd.empty() && chdir(savedCwd.c_str()) != 0)
            ADD_FAILURE() << "cannot return to " << savedCwd;
        delete caDir;
        caDir = nullptr;
    }
};

TEST(WireHeader, EncodesTheHundredByteExample) {
    unsigned char hdr[32];
    qelEncodeWireHdr(hdr, 100, "alice");
    std::string expect = header("1", "100", "alice");
    EXPECT_EQ(std::string(reinterpret_cast<char *>(hdr), 32), expect);
    qelEncodeWireHdr(hdr, 5, "");
    EXPECT_EQ(std::string(reinterpret_cast<char *>(hdr) + 16), "qelUser");
    qelEncodeWireHdr(hdr, 5, "abcdefghijklmnopqrst");
    EXPECT_EQ(std::string(reinterpret_cast<char *>(hdr) + 16), "abcdefghijklmno");
}

TEST(WireHeader, DecodeRefusesBadVersionsAndHugeLengths) {
    int version = 0;
    long len = 0;
    char user[17];
    std::string h = header("1", "100", "bob");
    EXPECT_EQ(qelDecodeWireHdr(reinterpret_cast<const unsigned char *>(h.data()), &version, &len, user), 1);
    EXPECT_EQ(len, 100);
    EXPECT_STREQ(user, "bob");
    h = header("2", "100", "bob");
    EXPECT_EQ(qelDecodeWireHdr(reinterpret_cast<const unsigned char *>(h.data()), &version, &len, user), -1);
    EXPECT_EQ(version, 2);
    h = header("1", std::to_string(QEL_MAX_MESSAGE_LEN + 1).c_str(), "bob");
    EXPECT_EQ(qelDecodeWireHdr(reinterpret_cast<const unsigned char *>(h.data()), &version, &len, user), -1);
    // Unpadded fields full of digits must not run into each other.
    std::string full(32, '9');
    EXPECT_EQ(qelDecodeWireHdr(reinterpret_cast<const unsigned char *>(full.data()), &version, &len, user), -1);
    EXPECT_EQ(version, 9999);
    EXPECT_EQ(strlen(user), 16u);
}

TEST_F(SessionTest, ExchangeCountsAndCarriesTheUser) {
    std::string seenUser;
    int seenVersion = 0;
    TestServer server(asSession([&](qelSession_t *s) {
        int n = qelRecvMessage(s);
        seenUser = s->authenUser;
        seenVersion = s->qelVersion;
        if (n > 0) {
            qelPdu_t req{};
            parseQelMessage(reinterpret_cast<char *>(s->recvBuf), n, &req);
            req.msgType = Response;
            req.varList->valueStrLen = static_cast<int>(qelCopyField(req.varList->valueStr, "up"));
            req.varList->varSyntax = displayString;
            char buf[8192];
            int len = buildQelMessage(&req, buf, sizeof buf, nullptr);
            qelSendMessage(s, buf, len);
            qelPduCleanup(&req);
        }
    }));
    qelStats_t before = qelStats;
    qelSession_t *s = newQelSessionConnectTimeout(htonl(INADDR_LOOPBACK), server.port(), 3, "abcdefghijklmnopqrst");
    ASSERT_NE(s, nullptr);
    EXPECT_TRUE(qelIsSessionConnected(s));
    EXPECT_TRUE(qelIsSessionAuthenticated(s));
    EXPECT_EQ(s->ipVersion, 4);
    EXPECT_EQ(std::string(s->authenUser), "abcdefghijklmnopq"); // 17 kept

    qelPdu_t req{}, reply{};
    req.msgType = GetRequest;
    req.messageID = 42;
    addVar(req, "core", "sysDescr", "", nullSyntax);
    EXPECT_EQ(qelTransaction(s, &req, &reply), 1);
    EXPECT_EQ(reply.msgType, Response);
    EXPECT_EQ(reply.messageID, 42);
    ASSERT_EQ(reply.numberVariables, 1u);
    EXPECT_STREQ(reply.varList->valueStr, "up");
    EXPECT_EQ(seenUser, "abcdefghijklmno"); // 15 sent
    EXPECT_EQ(seenVersion, 1);
    EXPECT_EQ(qelStats.outGets - before.outGets, 1u);
    EXPECT_EQ(qelStats.inResponses - before.inResponses, 1u);
    EXPECT_EQ(qelStats.outTotalReqVars - before.outTotalReqVars, 1u);
    EXPECT_GE(qelStats.outSessions - before.outSessions, 1u);
    qelPduCleanup(&req);
    qelPduCleanup(&reply);
    EXPECT_EQ(destroyQelSession(s), 1);
}

TEST_F(SessionTest, RawHeaderBytesOnTheWire) {
    std::string got;
    std::string body(100, 'x');
    {
        TestServer server(asSession([&](qelSession_t *s) {
            char buf[132];
            int have = 0;
            while (have < 132) {
                int r = SSL_read(static_cast<SSL *>(s->ssl), buf + have, 132 - have);
                if (r <= 0)
                    break;
                have += r;
            }
            got.assign(buf, static_cast<size_t>(have));
        }));
        qelSession_t *s = newQelSessionConnect(htonl(INADDR_LOOPBACK), server.port(), nullptr);
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(qelSendMessage(s, body.data(), 100), 1);
        destroyQelSession(s);
    } // the server thread ends once it has read the message
    EXPECT_EQ(got, header("1", "100", "qelUser") + body);
}

TEST_F(SessionTest, ReceiverRefusesBadHeaders) {
    struct Case {
        std::string hdr;
        std::string body;
        int expect;
        std::string stderrHas;
    };
    std::vector<Case> cases = {
        {header("2", "5", "u"), "hello", -1, ""},
        {header("1", "0", "u"), "", -1, "qelRecvMessage: shutdown during SSL read of msg\n"},
        {header("1", "abc", "u"), "", -1, "qelRecvMessage: shutdown during SSL read of msg\n"},
        {header("1", std::to_string(QEL_MAX_MESSAGE_LEN + 1).c_str(), "u"), "", -1, ""},
    };
    for (const auto &c : cases) {
        int result = 0;
        uint64_t errorsBefore = qelStats.inErrors;
        std::string pending;
        std::string err;
        {
            TestServer server(asSession([&](qelSession_t *s) {
                testing::internal::CaptureStderr();
                result = qelRecvMessage(s);
                err = testing::internal::GetCapturedStderr();
                // A refused header leaves the body unread on the connection.
                char buf[16] = {};
                if (!c.body.empty() && SSL_read(static_cast<SSL *>(s->ssl), buf, static_cast<int>(c.body.size())) > 0)
                    pending = buf;
            }));
            RawClient client(server.port());
            ASSERT_NE(client.ssl, nullptr);
            client.write(c.hdr.data(), 32);
            if (!c.body.empty())
                client.write(c.body.data(), static_cast<int>(c.body.size()));
            // Wait until the server has looked at the message.
            char b;
            SSL_read(client.ssl, &b, 1);
        }
        EXPECT_EQ(result, c.expect);
        EXPECT_EQ(qelStats.inErrors - errorsBefore, 1u);
        EXPECT_EQ(pending, c.body);
        if (!c.stderrHas.empty()) {
            EXPECT_NE(err.find(c.stderrHas), std::string::npos) << err;
        }
    }
}

TEST_F(SessionTest, LargeBodyGrowsTheReceiveBuffer) {
    int result = 0, bufSize = 0;
    bool same = false;
    std::string body(200000, 'a');
    for (size_t i = 0; i < body.size(); i += 997)
        body[i] = static_cast<char>('b' + i % 20);
    {
        TestServer server(asSession([&](qelSession_t *s) {
            result = qelRecvMessage(s);
            bufSize = s->recvBufSize;
            same = result == 200000 && memcmp(s->recvBuf, body.data(), body.size()) == 0 && s->recvBuf[200000] == '\0';
        }));
        qelSession_t *s = newQelSessionConnect(htonl(INADDR_LOOPBACK), server.port(), "u");
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(qelSendMessage(s, body.data(), 200000), 1);
        char b;
        SSL_read(static_cast<SSL *>(s->ssl), &b, 1);
        destroyQelSession(s);
    }
    EXPECT_EQ(result, 200000);
    EXPECT_EQ(bufSize, 200002);
    EXPECT_TRUE(same);
}

// The receive buffer is grown without keeping what it held (each body is
// read into it afresh) and is not cleared when a session starts: messages
// larger and smaller in turn must each arrive whole and terminated, with
// nothing of an earlier, longer one behind them.
TEST_F(SessionTest, BodiesOfEverySizeInTurnArriveWhole) {
    const size_t sizes[] = {40, 300000, 100, 128001, 700000, 5};
    std::vector<std::string> bodies;
    for (size_t n : sizes) {
        std::string b(n, 'x');
        for (size_t i = 0; i < n; i += 991)
            b[i] = static_cast<char>('A' + (i + n) % 26);
        bodies.push_back(b);
    }
    std::vector<int> results;
    std::vector<bool> whole;
    {
        TestServer server(asSession([&](qelSession_t *s) {
            for (const std::string &b : bodies) {
                const int r = qelRecvMessage(s);
                results.push_back(r);
                whole.push_back(r == static_cast<int>(b.size()) && s->recvBufSize > r &&
                                memcmp(s->recvBuf, b.data(), b.size()) == 0 && s->recvBuf[r] == '\0');
            }
        }));
        qelSession_t *s = newQelSessionConnect(htonl(INADDR_LOOPBACK), server.port(), "u");
        ASSERT_NE(s, nullptr);
        for (const std::string &b : bodies)
            EXPECT_EQ(qelSendMessage(s, b.data(), static_cast<int>(b.size())), 1);
        char b;
        SSL_read(static_cast<SSL *>(s->ssl), &b, 1);
        destroyQelSession(s);
    }
    ASSERT_EQ(results.size(), bodies.size());
    for (size_t i = 0; i < bodies.size(); ++i) {
        EXPECT_EQ(results[i], static_cast<int>(bodies[i].size())) << i;
        EXPECT_TRUE(whole[i]) << i;
    }
}

TEST_F(SessionTest, PeerClosingMidBodyFailsTheReceive) {
    int result = 0;
    uint64_t before = qelStats.inErrors;
    {
        TestServer server(asSession([&](qelSession_t *s) { result = qelRecvMessage(s); }));
        RawClient client(server.port());
        ASSERT_NE(client.ssl, nullptr);
        std::string h = header("1", "1000", "u");
        client.write(h.data(), 32);
        client.write("only a part", 11);
        client.hardClose();
    }
    EXPECT_EQ(result, -1);
    EXPECT_EQ(qelStats.inErrors - before, 1u);
}

TEST_F(SessionTest, SilentPeerIsBoundedByTheIoTimeout) {
    std::atomic<bool> release{false};
    TestServer server(asSession([&](qelSession_t *) {
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!release && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }));
    qelSession_t *s = newQelSessionConnectTimeout(htonl(INADDR_LOOPBACK), server.port(), 3, "u");
    ASSERT_NE(s, nullptr);
    ASSERT_EQ(qelSessionSetIoTimeout(s, 1), 1);
    qelPdu_t req{}, reply{};
    req.msgType = GetRequest;
    addVar(req, "core", "sysDescr", "", nullSyntax);
    testing::internal::CaptureStderr();
    int r = qelTransaction(s, &req, &reply);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(r, -1);
    release = true;
    qelPduCleanup(&req);
    destroyQelSession(s);
}

TEST_F(SessionTest, ClientWithoutCertificateIsNotAuthenticated) {
    int authenticated = -1;
    bool accepted = false;
    SSL_CTX *anon = SSL_CTX_new(TLS_client_method());
    {
        TestServer server([&](int fd) {
            qelSession_t *s = qelAcceptSession(fd, 5);
            accepted = s != nullptr;
            if (s) {
                authenticated = qelIsSessionAuthenticated(s);
                destroyQelSession(s);
            }
        });
        ASSERT_EQ(SSL_CTX_load_verify_locations(anon, (caDir->path() + "/kestrova.pem").c_str(), nullptr), 1);
        {
            RawClient client(server.port(), anon);
            EXPECT_NE(client.ssl, nullptr);
            char b;
            SSL_read(client.ssl, &b, 1);
        }
    }
    SSL_CTX_free(anon);
    EXPECT_TRUE(accepted);
    EXPECT_EQ(authenticated, 0);
}

TEST_F(SessionTest, CertificateOfAnotherCaIsRefused) {
    bool accepted = true;
    EVP_PKEY *key = nullptr;
    X509 *cert = nullptr;
    SSL_CTX *other = nullptr;
    {
        TestServer server([&](int fd) {
            qelSession_t *s = qelAcceptSession(fd, 5);
            accepted = s != nullptr;
            if (s)
                destroyQelSession(s);
        });
        // A self-signed certificate: not issued by the suite's CA.
        key = EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(2048));
        ASSERT_NE(key, nullptr);
        cert = X509_new();
        X509_set_version(cert, 2);
        ASN1_INTEGER_set(X509_get_serialNumber(cert), 7);
        X509_gmtime_adj(X509_getm_notBefore(cert), 0);
        X509_gmtime_adj(X509_getm_notAfter(cert), 3600);
        X509_NAME_add_entry_by_txt(X509_get_subject_name(cert), "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char *>("intruder"), -1, -1, 0);
        X509_set_issuer_name(cert, X509_get_subject_name(cert));
        X509_set_pubkey(cert, key);
        ASSERT_GT(X509_sign(cert, key, EVP_sha256()), 0);
        other = SSL_CTX_new(TLS_client_method());
        SSL_CTX_use_certificate(other, cert);
        SSL_CTX_use_PrivateKey(other, key);
        {
            RawClient client(server.port(), other);
            if (client.ssl) { // TLS 1.3 reports the refusal on the first read
                char b;
                EXPECT_LE(SSL_read(client.ssl, &b, 1), 0);
            }
        }
    }
    SSL_CTX_free(other);
    X509_free(cert);
    EVP_PKEY_free(key);
    EXPECT_FALSE(accepted);
}

TEST_F(SessionTest, HostnameFallsBackFromIpv6ToIpv4) {
    TestServer server(asSession([](qelSession_t *s) { answerWith(s, {}); }));
    qelSession_t *s = newQelSessionConnectHostname("localhost", 0, server.hostPort(), 3, "u");
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->ipVersion, 4);
    destroyQelSession(s);
    // Nothing listens on ::1 at that port: asking for IPv6 only fails.
    testing::internal::CaptureStderr();
    qelSession_t *v6 = newQelSessionConnectHostname("::1", 6, server.hostPort(), 3, "u");
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(v6, nullptr);
    EXPECT_EQ(newQelSessionConnectHostname("localhost", 5, server.hostPort(), 3, "u"), nullptr);
    EXPECT_EQ(newQelSessionConnectHostname(nullptr, 0, server.hostPort(), 3, "u"), nullptr);
}

// A name whose first answer is IPv6 (where nothing listens) and whose second
// is IPv4 (where the server listens): the connect by name falls back to IPv4
// only when any version was asked for. The name is made in a private mount
// namespace of a child process, so the host's /etc/hosts is never touched.
TEST_F(SessionTest, HostnameFallbackWithADualStackName) {
    std::string hosts = caDir->write("hosts", "::1 dualstack.test\n127.0.0.1 dualstack.test\n");
    // The child is forked before the server starts its thread: a fork taken
    // while another thread holds a lock (the allocator's, under the
    // sanitizers) can leave the child waiting on it for ever. The port
    // follows through a pipe.
    int portPipe[2];
    ASSERT_EQ(pipe(portPipe), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        close(portPipe[1]);
        uint16_t port = 0;
        if (read(portPipe[0], &port, sizeof port) != sizeof port)
            _exit(79);
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount(hosts.c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) != 0)
            _exit(77);
        uint32_t ip4 = 0;
        struct in6_addr ip6 {};
        if (nameToIpAddress("dualstack.test", 0, &ip4, &ip6) != 6)
            _exit(78);
        qelSession_t *any = newQelSessionConnectHostname("dualstack.test", 0, port, 3, "u");
        qelSession_t *only6 = newQelSessionConnectHostname("dualstack.test", 6, port, 3, "u");
        int code = (any && any->ipVersion == 4 ? 0 : 1) | (only6 == nullptr ? 0 : 2);
        _exit(code);
    }
    close(portPipe[0]);
    TestServer server(asSession([](qelSession_t *s) { answerWith(s, {}); }));
    uint16_t port = server.hostPort();
    EXPECT_EQ(write(portPipe[1], &port, sizeof port), static_cast<ssize_t>(sizeof port));
    close(portPipe[1]);
    // Bounded: a child that hangs fails the test instead of the whole run.
    int status = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    pid_t done = 0;
    while ((done = waitpid(pid, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (done == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        FAIL() << "the connecting child did not finish within 60 s";
    }
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77)
        GTEST_SKIP() << "no private mount namespace here";
    if (WEXITSTATUS(status) == 78)
        GTEST_SKIP() << "the resolver does not read /etc/hosts first";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: no IPv4 fall-back, 2: IPv6-only connect succeeded";
}

TEST_F(SessionTest, PeerQueriesFormatTheirOutputs) {
    TestServer server(asSession([](qelSession_t *s) {
        answerWith(s, {"mib2,MIB-II plugin", "kestrova,dependency mapper, v2"});
    }));
    qelSession_t *s = newQelSessionConnect(htonl(INADDR_LOOPBACK), server.port(), "u");
    ASSERT_NE(s, nullptr);
    char list[64];
    EXPECT_EQ(qelGetPeerPluginList(s, list, sizeof list), 1);
    EXPECT_STREQ(list, "mib2 MIB-II plugin,kestrova dependency mapper, v2");
    char small[21]; // room for the first value, the comma and one more
    EXPECT_EQ(qelGetPeerPluginList(s, small, sizeof small), 1);
    EXPECT_STREQ(small, "mib2 MIB-II plugin,k");
    char tight[20]; // no room for a separator and a character
    EXPECT_EQ(qelGetPeerPluginList(s, tight, sizeof tight), 1);
    EXPECT_STREQ(tight, "mib2 MIB-II plugin");
    char vers[8], descr[8];
    EXPECT_EQ(qelGetPeerVersion(s, vers, descr, sizeof vers), 1);
    EXPECT_STREQ(descr, "mib2,MI"); // cut to max-1, commas kept
    EXPECT_STREQ(vers, "kestrov");
    char a[32], b[32], c[32], d[32], e[32];
    EXPECT_EQ(qelGetPeerInfo(s, a, b, c, d, e, 32), 1);
    EXPECT_STREQ(b, "mib2,MIB-II plugin");             // sysDescr first in the request
    EXPECT_STREQ(a, "kestrova,dependency mapper, v2"); // qeldVersion second
    EXPECT_STREQ(c, "");
    EXPECT_EQ(qelGetPeerPluginList(s, list, 4), -1);
    destroyQelSession(s);
}

// A large reply's first large value takes the received block over (no
// copy) and reads back as sent, whatever the other bindings hold (a value
// with references, another large plain one, small ones); the next reply on
// the session arrives whole in a block of its own. The server sends each
// reply in pieces, as the agent sends a value from its own memory.
TEST_F(SessionTest, LargeValueOfAReplyTakesTheReceivedBlock) {
    auto text = [](size_t n, char first) {
        std::string v(n, 'A');
        for (size_t i = 0; i < n; i += 97)
            v[i] = static_cast<char>(first + i % 23);
        return v;
    };
    const std::vector<std::vector<std::string>> replies = {
        {"small", std::string(9000, '&') + "<>", text(150000, 'a'), text(80000, 'B')},
        {text(170000, 'c'), "x", std::string(5000, 'y')},
        // A value far smaller than its message copies: it must not hold
        // the whole block for as long as the reply lives.
        {text(5000, 'd'), text(70000, 'E') + "<", text(70000, 'F') + "&"},
        // A reply that fits the session's first buffer keeps it.
        {text(70000, 'g'), "x"},
    };
    auto takes = [](const std::vector<std::string> &values) { return values[0].size() > 100000 || values.size() > 3; };
    {
        TestServer server(asSession([&](qelSession_t *s) {
            for (const auto &values : replies) {
                if (qelRecvMessage(s) < 0)
                    return;
                std::string buf;
                ASSERT_NO_FATAL_FAILURE(buildResponse(values, buf));
                const int len = static_cast<int>(buf.size());
                const char *parts[] = {buf.data(), buf.data() + 7, buf.data() + len / 2};
                const size_t lens[] = {7, static_cast<size_t>(len / 2 - 7), static_cast<size_t>(len - len / 2)};
                EXPECT_EQ(qelSendMessageParts(s, parts, lens, 3), 1);
            }
        }));
        qelSession_t *s = newQelSessionConnect(htonl(INADDR_LOOPBACK), server.port(), "u");
        ASSERT_NE(s, nullptr);
        for (const auto &values : replies) {
            qelPdu_t req{};
            req.msgType = GetRequest;
            for (size_t i = 0; i < values.size(); ++i)
                addVar(req, "m", "o", "", nullSyntax);
            qelPdu_t reply{};
            ASSERT_EQ(qelTransaction(s, &req, &reply), 1);
            ASSERT_EQ(reply.numberVariables, values.size());
            size_t i = 0;
            for (const qelVariable_t *v = reply.varList; v; v = v->next, ++i) {
                const std::string got = v->valueBuf ? std::string(v->valueBuf) : std::string(v->valueStr);
                EXPECT_EQ(got, values[i]) << i;
                EXPECT_EQ(static_cast<size_t>(v->valueStrLen), values[i].size()) << i;
                EXPECT_EQ(v->valueBuf != nullptr, values[i].size() >= QEL_VALUESTR_LEN) << i;
            }
            if (takes(values)) {
                EXPECT_EQ(s->recvBuf, nullptr) << "the block went to the value";
                EXPECT_EQ(s->recvBufSize, 0);
            } else {
                EXPECT_NE(s->recvBuf, nullptr) << "a value took the whole block";
            }
            qelPduCleanup(&reply);
            qelPduCleanup(&req);
        }
        destroyQelSession(s);
    }
}

// An accepting session buffers its writes (a quarter MiB): messages sent in
// pieces smaller and larger than the buffer arrive whole and in order, with
// a small message between them.
TEST_F(SessionTest, PiecesPastTheWriteBufferKeepTheirOrder) {
    auto text = [](size_t n, char first) {
        std::string v(n, 'A');
        for (size_t i = 0; i < n; i += 89)
            v[i] = static_cast<char>(first + i % 19);
        return v;
    };
    const size_t quarter = size_t{256} << 10;
    const size_t middles[] = {quarter - 1, quarter, (size_t{1} << 20) + 3, (size_t{4} << 20) - 1, size_t{4} << 20};
    std::vector<std::string> bodies;
    for (size_t i = 0; i < std::size(middles); ++i) {
        bodies.push_back(text(700, static_cast<char>('a' + i)) + text(middles[i], 'K') + text(900, 'r'));
        bodies.push_back(text(50, 'z'));
    }
    std::vector<int> sent;
    {
        TestServer server(asSession([&](qelSession_t *s) {
            for (size_t i = 0; i < bodies.size(); ++i) {
                const std::string &b = bodies[i];
                if (i % 2) {
                    sent.push_back(qelSendMessage(s, b.data(), static_cast<int>(b.size())));
                    continue;
                }
                const size_t middle = middles[i / 2];
                const char *parts[] = {b.data(), b.data() + 700, b.data() + 700 + middle};
                const size_t lens[] = {700, middle, 900};
                sent.push_back(qelSendMessageParts(s, parts, lens, 3));
            }
            char c;
            SSL_read(static_cast<SSL *>(s->ssl), &c, 1);
        }));
        qelSession_t *s = newQelSessionConnect(htonl(INADDR_LOOPBACK), server.port(), "u");
        ASSERT_NE(s, nullptr);
        qelSessionSetIoTimeout(s, 20);
        for (size_t i = 0; i < bodies.size(); ++i) {
            const int r = qelRecvMessage(s);
            EXPECT_EQ(r, static_cast<int>(bodies[i].size())) << i;
            if (r != static_cast<int>(bodies[i].size()))
                break; // the stream is lost: closing ends the server too
            EXPECT_EQ(memcmp(s->recvBuf, bodies[i].data(), bodies[i].size()), 0) << i;
        }
        destroyQelSession(s);
    }
    EXPECT_EQ(sent, std::vector<int>(bodies.size(), 1));
}
