// link: qelmapcore
// qelmap serve: the questions over HTTP match the command line's, /metrics
// is well-formed text, and bad requests get a 4xx.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "serve.h"
#include "store.h"
#include "testutil.h"

namespace {

using namespace qelmap;

int freePort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    close(fd);
    return ntohs(a.sin_port);
}

ObservedDependency dep(int type, const std::string &client, const std::string &server, Reach reach) {
    ObservedDependency d;
    d.type = type;
    d.client = client;
    d.server = server;
    d.pov = "client";
    d.reachable = reach;
    return d;
}

// A store of three hosts: web -> db (DB), web -> ns (DNS, unreachable),
// db -> ns (DNS); web's and db's agents answer, a third refuses.
struct ServeTest : ::testing::Test {
    testutil::TempDir dir;
    std::string path = dir.file("map.db");
    int port = freePort();
    pid_t pid = -1;

    void SetUp() override {
        auto db = openDatabase(path);
        Store store(*db);
        AgentReport web, dbAgent, gone;
        web.agent = "web,5270";
        web.answered = web.hasKestrova = true;
        web.sysName = "web";
        web.dependencies = {dep(14, "web", "db", Reach::yes), dep(3, "web", "ns", Reach::no)};
        web.metrics = {{"totalMem", "2048"}, {"loadAvg1Min", "0.25"}};
        dbAgent.agent = "db,5270";
        dbAgent.answered = dbAgent.hasKestrova = true;
        dbAgent.sysName = "db";
        dbAgent.dependencies = {dep(3, "db", "ns", Reach::yes)};
        gone.agent = "gone,5270";
        gone.failure = "refused";
        store.applyRound({web, dbAgent, gone}, 1000, "test");

        pid = fork();
        if (pid == 0) {
            const std::string bin = testutil::binPath("qelmap"), listen = "127.0.0.1:" + std::to_string(port);
            execl(bin.c_str(), bin.c_str(), "serve", "--db", path.c_str(), "--listen", listen.c_str(),
                  static_cast<char *>(nullptr));
            _exit(127);
        }
        httplib::Client c("127.0.0.1", port);
        for (int i = 0; i < 200; ++i) {
            if (auto r = c.Get("/api/hosts"))
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
        FAIL() << "qelmap serve did not come up";
    }
    void TearDown() override {
        if (pid > 0) {
            kill(pid, SIGTERM);
            int status = 0;
            waitpid(pid, &status, 0);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        }
    }
    // The raw reply to raw request bytes.
    std::string raw(const std::string &bytes) {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        std::string out;
        if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) {
            (void)!write(fd, bytes.data(), bytes.size());
            shutdown(fd, SHUT_WR);
            char buf[4096];
            ssize_t n;
            while ((n = read(fd, buf, sizeof buf)) > 0)
                out.append(buf, static_cast<size_t>(n));
        }
        close(fd);
        return out;
    }
};

TEST_F(ServeTest, QuestionsAsJson) {
    httplib::Client c("127.0.0.1", port);
    auto r = c.Get("/api/dependents/ns?depth=2");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
    auto j = nlohmann::json::parse(r->body);
    // db and web depend on ns; web also through db, so only at depth 1.
    ASSERT_EQ(j.size(), 2u) << r->body;
    EXPECT_EQ(j[0]["host"], "db");
    EXPECT_EQ(j[1]["host"], "web");
    EXPECT_EQ(j[1]["depth"], 1);

    r = c.Get("/api/unreachable");
    ASSERT_TRUE(r);
    j = nlohmann::json::parse(r->body);
    ASSERT_EQ(j.size(), 1u);
    EXPECT_EQ(j[0]["client"], "web");
    EXPECT_EQ(j[0]["server"], "ns");

    r = c.Get("/api/missing");
    ASSERT_TRUE(r);
    j = nlohmann::json::parse(r->body);
    ASSERT_EQ(j.size(), 1u);
    EXPECT_EQ(j[0]["agent"], "gone,5270");

    r = c.Get("/api/host/web");
    ASSERT_TRUE(r);
    EXPECT_EQ(nlohmann::json::parse(r->body)["dependencies"].size(), 2u);
}

TEST_F(ServeTest, BadRequestsGet4xx) {
    httplib::Client c("127.0.0.1", port);
    auto r = c.Get("/api/host/nosuch");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 404);
    EXPECT_NE(r->body.find("unknown host nosuch"), std::string::npos);
    r = c.Get("/api/dependents/web?depth=zero");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 400);
    r = c.Get("/api/hosts?colour=blue");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 400);
    r = c.Get("/api/nosuch");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 404);
    r = c.Post("/api/hosts", std::string(100000, 'x'), "text/plain");
    ASSERT_TRUE(r);
    EXPECT_GE(r->status, 400);
    EXPECT_LT(r->status, 500);
    r = c.Get("/api/hosts?" + std::string(20000, 'a'));
    ASSERT_TRUE(r);
    EXPECT_GE(r->status, 400);
    EXPECT_LT(r->status, 500);
    // A request line that is not HTTP is dropped unanswered or refused.
    // (A malformed header line is the HTTP library's to judge: it may
    // skip the line and answer.)
    for (const std::string garbage : {"GARBAGE\r\n\r\n", "GET /api/hosts HTTP/9.9\r\n\r\n"}) {
        const std::string reply = raw(garbage);
        EXPECT_TRUE(reply.empty() || reply.rfind("HTTP/1.1 4", 0) == 0) << reply;
    }
    // Still serving after all that.
    r = c.Get("/api/hosts");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
}

TEST_F(ServeTest, MetricsInTheTextFormat) {
    httplib::Client c("127.0.0.1", port);
    auto r = c.Get("/metrics");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
    const std::string &text = r->body;
    // Every line a comment of the two kinds or a sample; every sample's
    // family announced by a TYPE line before it.
    const std::regex sample(
        R"(^([a-zA-Z_:][a-zA-Z0-9_:]*)(\{([a-zA-Z_][a-zA-Z0-9_]*="(\\.|[^"\\])*",?)*\})? (-?[0-9.e+-]+|NaN|\+Inf|-Inf)$)");
    const std::regex comment(R"(^# (HELP|TYPE) ([a-zA-Z_:][a-zA-Z0-9_:]*) .*$)");
    std::set<std::string> typed;
    std::istringstream lines(text);
    std::string line;
    int samples = 0;
    while (std::getline(lines, line)) {
        std::smatch m;
        if (std::regex_match(line, m, comment)) {
            if (m[1] == "TYPE")
                typed.insert(m[2]);
        } else {
            ASSERT_TRUE(std::regex_match(line, m, sample)) << line;
            EXPECT_TRUE(typed.count(m[1])) << line;
            ++samples;
        }
    }
    EXPECT_GT(samples, 5);
    EXPECT_NE(text.find("qelmap_agent_up{agent=\"gone,5270\",host=\"\"} 0\n"), std::string::npos) << text;
    EXPECT_NE(text.find("qelmap_agent_up{agent=\"web,5270\",host=\"web\"} 1\n"), std::string::npos) << text;
    EXPECT_NE(text.find("qelmap_dependencies{type=\"DNS\",reachable=\"false\"} 1\n"), std::string::npos) << text;
    EXPECT_NE(text.find("qelmap_dependencies{type=\"DNS\",reachable=\"true\"} 1\n"), std::string::npos) << text;
    EXPECT_NE(text.find("qelmap_agents_missing 1\n"), std::string::npos) << text;
    EXPECT_NE(text.find("qelmap_hosts{present=\"true\"} 3\n"), std::string::npos) << text;
    EXPECT_NE(text.find("qelmap_host_memory_total_bytes{host=\"web\"} 2097152\n"), std::string::npos) << text;
    EXPECT_NE(text.find("qelmap_host_load1{host=\"web\"} 0.25\n"), std::string::npos) << text;
}

} // namespace
