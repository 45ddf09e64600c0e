// The questions qelmap answers from its store.
#ifndef QELMAP_QUERY_H
#define QELMAP_QUERY_H

#include <cstdint>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "store.h"

namespace qelmap {

// A host reached from the host asked about, at its least depth; types are
// those of the dependencies that reach it there, via the hosts one hop
// nearer that it reaches through.
struct Reached {
    std::string host;
    int depth = 0;
    std::set<int> types;
    std::set<std::string> via;
};

// Who depends on host (directly at depth 1, and so on); maxDepth 0: no
// limit. type (0: any) selects the first hop only: the hosts that depend on
// host by that type, then whatever depends on them.
std::vector<Reached> dependents(Store &store, const std::string &host, int maxDepth, int type = 0);
// What host depends on, directly and through maxDepth hops (0: no limit).
std::vector<Reached> dependsOn(Store &store, const std::string &host, int maxDepth, int type = 0);
// Every host that loses a dependency, directly or through others, when host
// goes down.
std::vector<Reached> blastRadius(Store &store, const std::string &host);

// A server that is the only one of its type for some clients.
struct SinglePoint {
    std::string server;
    int type = 0;
    std::set<std::string> clients;
};
// Most such clients first; type 0: any.
std::vector<SinglePoint> singlePoints(Store &store, int type = 0);

// Agents whose last contact failed, longest silent first.
std::vector<AgentRow> missingAgents(Store &store);

// Whether the store knows host (as a host or as an agent).
bool knownHost(Store &store, const std::string &host);

// A time given as seconds since the epoch, an ISO date or date and time
// (UTC), or an age ("90s", "15m", "2h", "7d") before now; -1 when it is none
// of these.
int64_t parseTime(const std::string &text, int64_t now);
std::string formatTime(int64_t t);

// "qelmap query" after the verb: [--db URL] [-json] QUESTION ARGS. The exit
// status: 0, 1 for an unknown host, 2 for a usage error or a store failure.
int runQuery(const std::vector<std::string> &args, FILE *out, FILE *err);

// The answer to one question as JSON (an array of objects, or an object for
// "host"), for the command line and the HTTP interface alike. Throws
// std::invalid_argument for a bad question or argument, and UnknownHost.
class UnknownHost : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
nlohmann::ordered_json answer(Store &store, const std::string &question, const std::vector<std::string> &args,
                              int64_t now);

} // namespace qelmap

#endif
