// qelmap's collector: asks every agent it can reach for what it knows, one
// session per agent, a bounded number at once, each within its deadline.
#ifndef QELMAP_CRAWL_H
#define QELMAP_CRAWL_H

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "store.h"

namespace qelmap {

constexpr int kAgentPort = 5270;

struct Seed {
    std::string host;
    int port = kAgentPort;
    std::string key() const { return host + "," + std::to_string(port); }
};

// host[,port] or @FILE (one seed a line; blank lines and lines starting
// with '#' are skipped). Throws std::invalid_argument naming the seed, or
// the file and line.
std::vector<Seed> parseSeeds(const std::vector<std::string> &args);
Seed parseSeed(const std::string &text);

struct CrawlOptions {
    int concurrency = 32;
    int deadlineMs = 10000; // per agent, connection to last reply
    std::string user = "qelmap";
    // Rows of one table kept at most; a larger table is a failure.
    size_t maxRows = 200000;
    bool followDependencies = true;
};

// One agent's answers, or why there are none.
AgentReport askAgent(const Seed &agent, const CrawlOptions &options);

struct Progress {
    size_t done = 0, known = 0, failed = 0;
};

// One round: the seeds, the agents already known and every agent the
// answers name, each asked once. progress is called (from worker threads,
// one at a time) after each agent.
std::vector<AgentReport> crawlRound(const std::vector<Seed> &seeds, const std::vector<std::string> &knownAgents,
                                    const CrawlOptions &options,
                                    const std::function<void(const Progress &)> &progress = {});

// "qelmap crawl" after the verb; the exit status.
int runCrawl(const std::vector<std::string> &args, FILE *out, FILE *err);

// "qelmap enrol": the collector's key, certificate request and certificate
// in the current directory (qelmap.pem, qelmap.csr), made as every client of
// the suite makes them, signed by the CA of kestrova.pem. A collector that
// already has its certificate keeps it. The exit status.
int runEnrol(const std::vector<std::string> &args, FILE *out, FILE *err);

} // namespace qelmap

#endif
