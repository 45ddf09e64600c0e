// qelmap crawl against real agents on loopback, beside a port that refuses
// and one that accepts and never answers: the round ends within the
// per-agent deadline and the failures are recorded with their reason.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <regex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "agent_testutil.h"
#include "testutil.h"

namespace {

using nlohmann::json;

std::string plugin(const char *name) {
    return std::string(KESTROVA_PLUGIN_DIR) + "/" + name;
}

// A loopback socket bound to a free port; listening or not.
struct Port {
    int fd = -1;
    int port = 0;
    explicit Port(bool listening) {
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
        socklen_t len = sizeof a;
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
        port = ntohs(a.sin_port);
        if (listening) {
            listen(fd, 16);
        } else {
            // Bound but not listening: connections are refused, and the
            // port stays ours.
        }
    }
    ~Port() { close(fd); }
    std::string seed() const { return "127.0.0.1," + std::to_string(port); }
};

struct CrawlTest : ::testing::Test {
    testutil::TempDir cwd;
    std::string db = cwd.file("map.db");

    void SetUp() override {
        testutil::writeFile(cwd.file("kestrova.pem"), testutil::readFile(agenttest::caDir() + "/kestrova.pem"));
    }
    testutil::ProcessResult qelmap(std::vector<std::string> args, int timeout = 120) {
        args.insert(args.begin(), testutil::binPath("qelmap"));
        return testutil::runProcess(args, cwd.path(), timeout);
    }
    json queryJson(const std::vector<std::string> &args) {
        std::vector<std::string> a = {"query", "--db", db, "-json"};
        a.insert(a.end(), args.begin(), args.end());
        auto r = qelmap(a);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        return json::parse(r.out, nullptr, false);
    }
    // The seconds a round took, from its summary line.
    static double roundSeconds(const std::string &out) {
        std::smatch m;
        if (!std::regex_search(out, m, std::regex(R"(round \d+: .* ([0-9.]+) s\n)")))
            return -1;
        return std::stod(m[1]);
    }
};

TEST_F(CrawlTest, RecordsAnswersAndFailuresWithinTheDeadline) {
    agenttest::Agent a, b;
    ASSERT_TRUE(a.start({plugin("mib2-linux.so"), plugin("demoplugin-linux.so")})) << a.output();
    ASSERT_TRUE(b.start({plugin("demoplugin-linux.so")})) << b.output();
    Port refusing(false), silent(true);
    const std::string seedA = "127.0.0.1," + std::to_string(a.port());
    const std::string seedB = "127.0.0.1," + std::to_string(b.port());

    const int deadline = 2;
    const auto start = std::chrono::steady_clock::now();
    auto r = qelmap({"crawl", "--db", db, "--deadline", std::to_string(deadline), "--concurrency", "4", seedA, seedB,
                     refusing.seed(), silent.seed()});
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("2 answered, 2 failed"), std::string::npos) << r.out;
    // The silent agent costs its deadline, not more; the round does not
    // wait for it twice.
    const double round = roundSeconds(r.out);
    EXPECT_GE(round, deadline - 0.2) << r.out;
    EXPECT_LE(round, deadline + 2.0) << r.out;
    EXPECT_LE(wall, deadline + 15.0); // with the first run's key generation

    json missing = queryJson({"missing"});
    ASSERT_EQ(missing.size(), 2u) << missing.dump();
    std::map<std::string, std::string> why;
    for (const auto &m : missing)
        why[m["agent"]] = m["failure"];
    EXPECT_EQ(why[refusing.seed()], "refused");
    EXPECT_EQ(why[silent.seed()].rfind("timeout", 0), 0u) << why[silent.seed()];

    // The answering agents are in the store with their identity.
    json host = queryJson({"hosts"});
    ASSERT_EQ(host.size(), 1u) << host.dump(); // both agents run on this machine
    json detail = queryJson({"host", host[0]["host"]});
    ASSERT_EQ(detail["agents"].size(), 2u) << detail.dump();
    for (const auto &ag : detail["agents"]) {
        EXPECT_EQ(ag["state"], "ok");
        EXPECT_NE(ag["version"], "");
    }

    // An agent that stops answering is missing after the next round, and
    // the change says so; the seeds need not be given again.
    ASSERT_GE(b.stop(), -1);
    r = qelmap({"crawl", "--db", db, "--deadline", std::to_string(deadline)});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("1 answered, 3 failed, 1 changes"), std::string::npos) << r.out;
    missing = queryJson({"missing"});
    why.clear();
    for (const auto &m : missing)
        why[m["agent"]] = m["failure"];
    EXPECT_EQ(why[seedB], "refused") << missing.dump();
    json changes = queryJson({"changes"});
    ASSERT_FALSE(changes.empty());
    EXPECT_EQ(changes.back()["kind"], "agent failed");
    EXPECT_NE(changes.back()["detail"].get<std::string>().find(seedB), std::string::npos);
}

TEST_F(CrawlTest, BadSeedsAndOptions) {
    testutil::writeFile(cwd.file("seeds.txt"), "# fleet\n127.0.0.1,5270\n\nhost,notaport\n");
    auto r = qelmap({"crawl", "--db", db, "@" + cwd.file("seeds.txt")});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("seeds.txt:4:"), std::string::npos) << r.err;
    r = qelmap({"crawl", "--db", db, "@" + cwd.file("none.txt")});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("none.txt"), std::string::npos) << r.err;
    r = qelmap({"crawl", "--db", db, "--concurrency", "0", "127.0.0.1"});
    EXPECT_EQ(r.exitCode, 2);
    r = qelmap({"crawl", "--db", "postgresql://x/y", "127.0.0.1"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("PostgreSQL"), std::string::npos) << r.err;
    // A store that cannot be opened is one clear error.
    r = qelmap({"crawl", "--db", cwd.file("no/such/dir/map.db"), "127.0.0.1"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("cannot open"), std::string::npos) << r.err;
}

TEST_F(CrawlTest, HelpAndVersionOnEveryVerb) {
    for (const char *verb : {"crawl", "query", "serve", "enrol"}) {
        auto r = qelmap({verb, "--help"});
        EXPECT_EQ(r.exitCode, 0) << verb;
        EXPECT_NE(r.out.find(std::string("qelmap ") + verb), std::string::npos) << r.out;
        r = qelmap({verb, "--version"});
        EXPECT_EQ(r.exitCode, 0) << verb;
        EXPECT_EQ(r.out.rfind("qelmap ", 0), 0u) << r.out;
    }
    EXPECT_EQ(qelmap({"--version"}).exitCode, 0);
    EXPECT_EQ(qelmap({"--help"}).exitCode, 0);
    EXPECT_EQ(qelmap({"nosuchverb"}).exitCode, 2);
}

TEST_F(CrawlTest, EnrolMakesACertificateTheCaSigned) {
    auto r = qelmap({"enrol"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("enrolled"), std::string::npos) << r.out;
    const std::string pem = testutil::readFile(cwd.file("qelmap.pem"));
    EXPECT_NE(pem.find("PRIVATE KEY-----"), std::string::npos);
    EXPECT_NE(pem.find("BEGIN CERTIFICATE-----"), std::string::npos);
    EXPECT_NE(testutil::readFile(cwd.file("qelmap.csr")).find("BEGIN CERTIFICATE REQUEST"), std::string::npos);
    auto verify = testutil::runProcess(
        {"/usr/bin/openssl", "verify", "-CAfile", cwd.file("kestrova.pem"), cwd.file("qelmap.pem")});
    EXPECT_EQ(verify.exitCode, 0) << verify.out << verify.err;
    // Enrolled once: the certificate is kept.
    r = qelmap({"enrol"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_NE(r.out.find("already enrolled"), std::string::npos) << r.out;
    EXPECT_EQ(testutil::readFile(cwd.file("qelmap.pem")), pem);
    EXPECT_EQ(qelmap({"enrol", "extra"}).exitCode, 2);

    // Without the CA file: a clear failure and no half-made key.
    testutil::TempDir bare;
    auto none = testutil::runProcess({testutil::binPath("qelmap"), "enrol"}, bare.path());
    EXPECT_EQ(none.exitCode, 2);
    EXPECT_NE(none.err.find("kestrova.pem"), std::string::npos) << none.err;
    EXPECT_NE(access(bare.file("qelmap.pem").c_str(), F_OK), 0);
}

TEST_F(CrawlTest, LaterRoundsResumeEachAgentsTlsSession) {
    agenttest::Agent a, b;
    ASSERT_TRUE(a.start({plugin("demoplugin-linux.so")})) << a.output();
    ASSERT_TRUE(b.start({plugin("demoplugin-linux.so")})) << b.output();
    ASSERT_EQ(qelmap({"enrol"}).exitCode, 0);
    // Rounds a second apart until the run is ended after a few.
    auto r = qelmap({"crawl", "--db", db, "--every", "1", "--deadline", "3", "127.0.0.1," + std::to_string(a.port()),
                     "127.0.0.1," + std::to_string(b.port())},
                    6);
    std::vector<std::string> resumed;
    const std::regex summary(R"(2 answered.*, (\d+) resumed)");
    for (auto it = std::sregex_iterator(r.out.begin(), r.out.end(), summary); it != std::sregex_iterator(); ++it)
        resumed.push_back((*it)[1]);
    ASSERT_GE(resumed.size(), 2u) << r.out << r.err;
    // The first round makes full handshakes; each later one resumes both.
    EXPECT_EQ(resumed[0], "0") << r.out;
    for (size_t i = 1; i < resumed.size(); ++i)
        EXPECT_EQ(resumed[i], "2") << r.out;
}

} // namespace
