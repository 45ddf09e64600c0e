// qelmap's store: the fleet's hosts, agents, dependencies and the changes
// seen between rounds, kept in a database behind a small interface.
//
// Database is the one class a database engine implements (SQLite, PostgreSQL);
// Store holds the schema, the merge of a round and every read, in SQL that
// SQLite and PostgreSQL both accept, with `?` placeholders.
#ifndef QELMAP_STORE_H
#define QELMAP_STORE_H

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

namespace qelmap {

// A failure of the store: open, lock, full disk, schema, statement.
class StoreError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

using Param = std::variant<std::nullptr_t, int64_t, std::string>;
// Every column as text (NULL: no value), as both engines can give it.
using Row = std::vector<std::optional<std::string>>;

class Database {
public:
    virtual ~Database() = default;
    virtual void exec(const std::string &sql, const std::vector<Param> &params = {}) = 0;
    virtual std::vector<Row> query(const std::string &sql, const std::vector<Param> &params = {}) = 0;
    virtual void begin() = 0;
    virtual void commit() = 0;
    virtual void rollback() = 0;
    // The column type of generated row numbers in this engine's DDL.
    virtual std::string idColumn() const = 0;
};

// "PATH", "sqlite:PATH", or a libpq URL "postgresql://..." ("postgres://");
// any other scheme is refused with a StoreError.
std::unique_ptr<Database> openDatabase(const std::string &url);
std::unique_ptr<Database> openSqlite(const std::string &path);
std::unique_ptr<Database> openPostgres(const std::string &url);

// Reachability as the agents publish it: true, false or unknown.
enum class Reach : int { unknown = -1, no = 0, yes = 1 };

// One dependency as an agent answered it.
struct ObservedDependency {
    int type = 0;
    std::string client, server, args;
    // From which end the answering agent saw it: "client", "server" or
    // "third" (a dependency between two other hosts).
    std::string pov;
    Reach reachable = Reach::unknown;
    int64_t reachableTime = 0;
};

struct Peer {
    std::string name, server;
    int type = 0;
    Reach reachable = Reach::unknown;
};

// What one agent gave in one round.
struct AgentReport {
    std::string agent; // host,port as it was contacted
    bool answered = false;
    std::string failure; // why not, when it did not
    // An agent only guessed at (the server of a dependency): recorded only
    // once it answers.
    bool candidate = false;
    std::string sysName, sysDescr, version;
    bool hasKestrova = false; // deps and peers are meaningful only then
    std::vector<ObservedDependency> dependencies;
    std::vector<Peer> peers;
    std::map<std::string, std::string> metrics;
};

struct RoundSummary {
    int64_t round = 0;
    int answered = 0, failed = 0, changes = 0;
};

struct Dependency {
    int64_t id = 0;
    int type = 0;
    std::string client, server, args, pov, source;
    Reach reachable = Reach::unknown;
    int64_t reachableTime = 0, firstSeen = 0, lastSeen = 0;
    bool present = false;
};

struct AgentRow {
    std::string agent, sysName, sysDescr, version, failure, state;
    int64_t lastAnswered = 0, lastFailed = 0, firstSeen = 0;
};

struct HostRow {
    std::string name;
    int64_t firstSeen = 0, lastSeen = 0;
    bool present = false;
};

struct ChangeRow {
    int64_t id = 0, time = 0, round = 0;
    std::string collector, kind, host, detail;
    std::optional<int64_t> dependency;
};

class Store {
public:
    static constexpr int kSchemaVersion = 1;

    // Creates the schema or brings an older one up to date; refuses a
    // newer one.
    explicit Store(Database &db);

    // Merges one round in one transaction: on any failure nothing of it is
    // kept and the StoreError is passed on.
    RoundSummary applyRound(const std::vector<AgentReport> &reports, int64_t now, const std::string &collector);
    // Deletes change rows older than keepDays; the number deleted.
    int64_t prune(int keepDays, int64_t now);

    int schemaVersion();
    // Present dependencies with host as their server (dependents) or as
    // their client; type 0: any.
    std::vector<Dependency> dependenciesWith(const std::string &host, bool asServer, int type = 0);
    std::vector<Dependency> presentDependencies(int type = 0);
    // Present dependencies whose last probe failed, longest failed first.
    std::vector<Dependency> unreachable();
    std::vector<AgentRow> agents();
    std::vector<HostRow> hosts();
    std::optional<HostRow> host(const std::string &name);
    std::vector<ChangeRow> changes(int64_t since);
    // The peers and metrics reported by the agents of host.
    std::vector<Peer> peersOf(const std::string &host);
    std::map<std::string, std::string> metricsOf(const std::string &host);
    std::vector<AgentRow> agentsOf(const std::string &host);

private:
    void migrate();
    // False for a candidate that is not kept.
    bool mergeAgent(const AgentReport &r, int64_t now, int64_t round, const std::string &collector, int &changes);
    void mergeHosts(int64_t now, int64_t round, const std::string &collector, int &changes);
    void addChange(int64_t now, int64_t round, const std::string &collector, const std::string &kind,
                   const std::string &host, const std::string &detail, std::optional<int64_t> dependency);

    Database &db_;
    std::set<std::string> touched_; // host names this round's changes named
};

// Dependency type names as the agents show them ("dependDNS"), without the
// prefix for people ("DNS").
std::string typeName(int type);
// A type given as a number, "dependDNS" or "DNS" (any case); 0 when unknown.
int parseType(const std::string &text);

} // namespace qelmap

#endif
