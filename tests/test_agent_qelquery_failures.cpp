// qelquery and qelgetsubgraph when no reply comes: each cause gives its own
// one-line reason and a non-zero exit within the time-out.
#include <gtest/gtest.h>

#include "agent_testutil.h"
#include "tls_testutil.h"

#include <arpa/inet.h>
#include <chrono>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <sys/socket.h>
#include <unistd.h>

#include "qel/ssl_utils.h"

using namespace agenttest;

namespace {

const char greetingQuery[] =
    "<?xml version=\"1.0\" encoding='US-ASCII' ?>\n"
    "<qel xmlns=\"http://qel.kestrova.org/xsd/qel-1.0\" message-id=\"11\">\n"
    "<GetRequest>\n<error-status>noError</error-status>\n<error-index>0</error-index>\n"
    "<variableList>\n<variable>\n"
    "<varname><mib>testplug</mib><object>greeting</object><key/></varname>\n"
    "<varvalue vartype=\"nullSyntax\"/>\n</variable>\n</variableList>\n</GetRequest>\n</qel>\n";

// A loopback socket that listens (the kernel completes connects) and never
// accepts or answers.
class SilentPort {
public:
    SilentPort() {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 && listen(fd_, 8) == 0 &&
            getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &len) == 0)
            port_ = ntohs(a.sin_port);
    }
    ~SilentPort() { close(fd_); }
    SilentPort(const SilentPort &) = delete;
    SilentPort &operator=(const SilentPort &) = delete;
    int port() const { return port_; }

private:
    int fd_ = -1;
    int port_ = 0;
};

// A port on which nothing listens.
int closedPort() {
    int port = 0;
    {
        SilentPort p;
        port = p.port();
    }
    return port;
}

// Writes into dir/qelquery.pem a key and a certificate issued by the test CA
// that expired a day ago.
bool writeExpiredClientCert(const std::string &dir) {
    tlstest::X509Ptr ca = tlstest::readCert(caDir() + "/kestrova.pem");
    tlstest::PkeyPtr caKey = tlstest::readKey(caDir() + "/kestrova.pem", kestrova_ca_pass_phrase);
    if (!ca || !caKey)
        return false;
    tlstest::PkeyPtr key(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(2048)));
    tlstest::X509Ptr cert(X509_new());
    if (!key || !cert)
        return false;
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 99);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -2 * 86400);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), -86400);
    X509_NAME_add_entry_by_txt(X509_get_subject_name(cert.get()), "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char *>("expired.example"), -1, -1, 0);
    X509_set_issuer_name(cert.get(), X509_get_subject_name(ca.get()));
    X509_set_pubkey(cert.get(), key.get());
    if (X509_sign(cert.get(), caKey.get(), EVP_sha256()) <= 0)
        return false;
    FILE *f = std::fopen((dir + "/qelquery.pem").c_str(), "w");
    if (!f)
        return false;
    bool ok = PEM_write_X509(f, cert.get()) == 1 &&
              PEM_write_PrivateKey(f, key.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1;
    std::fclose(f);
    return ok;
}

class QelQueryFailure : public ::testing::Test {
protected:
    static Agent *agent;
    static bool started;
    static void SetUpTestSuite() {
        agent = new Agent;
        started = agent->start({testPluginDir() + "/testplugin-linux.so"});
    }
    static void TearDownTestSuite() {
        delete agent;
        agent = nullptr;
    }
    void SetUp() override {
        ASSERT_TRUE(started) << "the agent did not start: " << agent->output();
        testutil::writeFile(cwd.file("kestrova.pem"), testutil::readFile(caDir() + "/kestrova.pem"));
        query = cwd.write("q.xml", greetingQuery);
    }
    struct Timed {
        testutil::ProcessResult r;
        double seconds;
    };
    Timed run(const std::string &tool, std::vector<std::string> args, const std::string &dir = "") {
        args.insert(args.begin(), testutil::binPath(tool));
        auto start = std::chrono::steady_clock::now();
        auto r = testutil::runProcess(args, dir.empty() ? cwd.path() : dir, 60);
        std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        return {r, took.count()};
    }
    std::string hostPort() const { return "127.0.0.1," + std::to_string(agent->port()); }
    testutil::TempDir cwd;
    std::string query;
};
Agent *QelQueryFailure::agent = nullptr;
bool QelQueryFailure::started = false;

TEST_F(QelQueryFailure, AnAnswerExitsZero) {
    auto t = run("qelquery", {hostPort(), "tester", query});
    EXPECT_EQ(t.r.exitCode, 0) << t.r.err;
    EXPECT_NE(t.r.out.find("hello from testplugin"), std::string::npos) << t.r.out;
}

TEST_F(QelQueryFailure, ARefusedPortSaysSo) {
    int port = closedPort();
    ASSERT_GT(port, 0);
    auto t = run("qelquery", {"127.0.0.1," + std::to_string(port), "tester", query});
    EXPECT_EQ(t.r.exitCode, 255);
    EXPECT_NE(t.r.err.find(": connection refused\n"), std::string::npos) << t.r.err;
    EXPECT_EQ(t.r.out, "");
}

TEST_F(QelQueryFailure, AnUnknownHostIsNamed) {
    auto t = run("qelquery", {"no-such-host.invalid", "tester", query});
    EXPECT_EQ(t.r.exitCode, 255);
    EXPECT_NE(t.r.err.find(": cannot resolve no-such-host.invalid\n"), std::string::npos) << t.r.err;
}

TEST_F(QelQueryFailure, APortThatNeverAnswersEndsWithinTheTimeout) {
    SilentPort silent;
    ASSERT_GT(silent.port(), 0);
    auto t = run("qelquery", {"--timeout", "2", "127.0.0.1," + std::to_string(silent.port()), "tester", query});
    EXPECT_EQ(t.r.exitCode, 255);
    EXPECT_NE(t.r.err.find(": no reply within 2 s\n"), std::string::npos) << t.r.err;
    EXPECT_GE(t.seconds, 1.5);
    EXPECT_LT(t.seconds, 8.0);
    auto g = run("qelgetsubgraph",
                 {"--timeout", "1", "127.0.0.1," + std::to_string(silent.port()), "tester", cwd.file("g.xml")});
    EXPECT_EQ(g.r.exitCode, 255);
    EXPECT_NE(g.r.err.find(": no reply within 1 s\n"), std::string::npos) << g.r.err;
    EXPECT_LT(g.seconds, 6.0);
}

TEST_F(QelQueryFailure, AnAgentOfAnotherCaIsAnUnknownCa) {
    testutil::TempDir other;
    auto init = testutil::runProcess({testutil::binPath("qelca"), "init", other.path()});
    ASSERT_EQ(init.exitCode, 0) << init.err;
    auto t = run("qelquery", {hostPort(), "tester", query}, other.path());
    EXPECT_EQ(t.r.exitCode, 255);
    EXPECT_NE(t.r.err.find(": unknown CA (the agent's certificate)\n"), std::string::npos) << t.r.err;
    EXPECT_EQ(t.r.out, "");
    auto g = run("qelgetsubgraph", {hostPort(), "tester", other.file("g.xml")}, other.path());
    EXPECT_EQ(g.r.exitCode, 255);
    EXPECT_NE(g.r.err.find(": unknown CA ("), std::string::npos) << g.r.err;
}

TEST_F(QelQueryFailure, AnExpiredCertificateIsNamedAndNotAnswered) {
    ASSERT_TRUE(writeExpiredClientCert(cwd.path()));
    auto t = run("qelquery", {hostPort(), "tester", query});
    EXPECT_NE(t.r.exitCode, 0);
    EXPECT_NE(t.r.err.find(": certificate expired (our certificate, refused by the agent)\n"), std::string::npos)
        << t.r.err;
    EXPECT_EQ(t.r.out, "");
}

TEST_F(QelQueryFailure, AnErrorStatusExitsOne) {
    std::string missing = greetingQuery;
    missing.replace(missing.find("greeting"), 8, "noSuchObject");
    std::string q = cwd.write("missing.xml", missing);
    auto t = run("qelquery", {hostPort(), "tester", query, q});
    EXPECT_EQ(t.r.exitCode, 1) << t.r.err;
    // Both replies are printed, the refused one with its status.
    EXPECT_NE(t.r.out.find("hello from testplugin"), std::string::npos) << t.r.out;
    EXPECT_NE(t.r.out.find("errorStatus:"), std::string::npos) << t.r.out;
}

TEST_F(QelQueryFailure, UsageErrorsNameTheOption) {
    auto bogus = run("qelquery", {"-bogus", hostPort(), "tester", query});
    EXPECT_EQ(bogus.r.exitCode, 255);
    EXPECT_NE(bogus.r.err.find("qelquery: unknown or repeated option '-bogus'\n"), std::string::npos) << bogus.r.err;
    auto bad = run("qelquery", {"--timeout", "ten", hostPort(), "tester", query});
    EXPECT_EQ(bad.r.exitCode, 255);
    EXPECT_NE(bad.r.err.find("--timeout needs whole seconds from 1 to 86400, not 'ten'\n"), std::string::npos)
        << bad.r.err;
    auto zero = run("qelquery", {"--timeout=0", hostPort(), "tester", query});
    EXPECT_EQ(zero.r.exitCode, 255);
    EXPECT_NE(zero.r.err.find("not '0'\n"), std::string::npos) << zero.r.err;
}

TEST_F(QelQueryFailure, VersionNamesTheSuiteAndItsLibraries) {
    for (const char *tool : {"qelquery", "qelgetsubgraph", "qelca", "regexprobe", "qeld"}) {
        auto t = run(tool, {"--version"});
        EXPECT_EQ(t.r.exitCode, 0) << tool;
        EXPECT_EQ(t.r.out.rfind(std::string(tool) + " (Kestrova) 1.", 0), 0u) << t.r.out;
        EXPECT_NE(t.r.out.find("\nOpenSSL 3."), std::string::npos) << t.r.out;
        EXPECT_NE(t.r.out.find("\nlibxml2 2."), std::string::npos) << t.r.out;
        EXPECT_NE(t.r.out.find("\nPCRE2 10."), std::string::npos) << t.r.out;
    }
}

} // namespace
