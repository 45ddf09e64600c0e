// qelmap's store: schema, the merge of a round, and the reads the queries
// make. The SQL is kept to what SQLite and PostgreSQL both run.
#include "store.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <set>
#include <tuple>

#include <nlohmann/json.hpp>

namespace qelmap {

namespace {

constexpr std::array<const char *, 32> kTypeNames = {
    "Undef",    "Other", "Filesys",    "DNS", "NTP",    "Email", "Dir",       "Radius",  "Printer", "X11",   "Login",
    "Web",      "NNTP",  "DHCP",       "DB",  "Router", "FTP",   "Streaming", "NetBIOS", "Citrix",  "Lotus", "Netware",
    "MQseries", "P2P",   "Middleware", "RCS", "RPC",    "SIP",   "VNC",       "IAX",     "VPN",     "VM"};

int64_t toInt(const std::optional<std::string> &v) {
    if (!v || v->empty())
        return 0;
    try {
        return std::stoll(*v);
    } catch (const std::exception &) {
        return 0;
    }
}

std::string toText(const std::optional<std::string> &v) {
    return v ? *v : std::string();
}

Reach toReach(const std::optional<std::string> &v) {
    const int64_t n = toInt(v);
    return n > 0 ? Reach::yes : n == 0 ? Reach::no : Reach::unknown;
}

const char *reachWord(Reach r) {
    return r == Reach::yes ? "reachable" : r == Reach::no ? "unreachable" : "reachability unknown";
}

std::string describe(int type, const std::string &client, const std::string &server, const std::string &args) {
    std::string d = typeName(type) + " " + client + " -> " + server;
    if (!args.empty())
        d += " (" + args + ")";
    return d;
}

// The columns every dependency read selects, in Dependency's order. A
// present dependency was last seen when its agent last answered.
const char *const kDependencyColumns =
    "d.id, d.type, d.client, d.server, d.args, d.pov, d.source_agent, d.reachable, d.reachable_time, "
    "d.first_seen, CASE WHEN d.present = 1 THEN COALESCE(a.last_answered, d.last_seen) ELSE d.last_seen END, "
    "d.present FROM dependencies d LEFT JOIN agents a ON a.agent = d.source_agent";

Dependency dependencyOf(const Row &r) {
    Dependency d;
    d.id = toInt(r[0]);
    d.type = static_cast<int>(toInt(r[1]));
    d.client = toText(r[2]);
    d.server = toText(r[3]);
    d.args = toText(r[4]);
    d.pov = toText(r[5]);
    d.source = toText(r[6]);
    d.reachable = toReach(r[7]);
    d.reachableTime = toInt(r[8]);
    d.firstSeen = toInt(r[9]);
    d.lastSeen = toInt(r[10]);
    d.present = toInt(r[11]) == 1;
    return d;
}

const char *const kAgentColumns =
    "agent, sys_name, sys_descr, version, failure, state, last_answered, last_failed, first_seen FROM agents";

AgentRow agentOf(const Row &r) {
    AgentRow a;
    a.agent = toText(r[0]);
    a.sysName = toText(r[1]);
    a.sysDescr = toText(r[2]);
    a.version = toText(r[3]);
    a.failure = toText(r[4]);
    a.state = toText(r[5]);
    a.lastAnswered = toInt(r[6]);
    a.lastFailed = toInt(r[7]);
    a.firstSeen = toInt(r[8]);
    return a;
}

// Rolls back unless committed: an exception anywhere in a round leaves the
// store as the last complete round left it.
class Transaction {
public:
    explicit Transaction(Database &db) : db_(db) { db_.begin(); }
    ~Transaction() {
        if (!done_) {
            try {
                db_.rollback();
            } catch (...) {
                // Nothing more to undo: the engine drops an unfinished
                // transaction with the connection.
            }
        }
    }
    Transaction(const Transaction &) = delete;
    Transaction &operator=(const Transaction &) = delete;
    void commit() {
        db_.commit();
        done_ = true;
    }

private:
    Database &db_;
    bool done_ = false;
};

} // namespace

std::string typeName(int type) {
    if (type >= 0 && type < static_cast<int>(kTypeNames.size()))
        return kTypeNames[static_cast<size_t>(type)];
    return std::to_string(type);
}

int parseType(const std::string &text) {
    if (!text.empty() && std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); })) {
        const long n = std::strtol(text.c_str(), nullptr, 10);
        return n > 0 && n < static_cast<long>(kTypeNames.size()) ? static_cast<int>(n) : 0;
    }
    std::string t;
    for (char c : text)
        t += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (t.rfind("depend", 0) == 0)
        t = t.substr(6);
    for (size_t i = 1; i < kTypeNames.size(); ++i) {
        std::string n;
        for (const char *p = kTypeNames[i]; *p; ++p)
            n += static_cast<char>(std::tolower(static_cast<unsigned char>(*p)));
        if (n == t)
            return static_cast<int>(i);
    }
    return 0;
}

Store::Store(Database &db) : db_(db) {
    migrate();
}

int Store::schemaVersion() {
    auto rows = db_.query("SELECT MAX(version) FROM schema_version");
    return rows.empty() ? 0 : static_cast<int>(toInt(rows[0][0]));
}

void Store::migrate() {
    Transaction t(db_);
    db_.exec("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)");
    const int have = schemaVersion();
    if (have > kSchemaVersion)
        throw StoreError("the store's schema version " + std::to_string(have) + " is newer than this qelmap's (" +
                         std::to_string(kSchemaVersion) + ")");
    const std::string id = db_.idColumn();
    if (have < 1) {
        for (const std::string &sql : {
                 "CREATE TABLE rounds (id " + id +
                     ", started BIGINT NOT NULL, collector TEXT NOT NULL, answered INTEGER NOT NULL, "
                     "failed INTEGER NOT NULL, changes INTEGER NOT NULL)",
                 std::string("CREATE TABLE hosts (name TEXT PRIMARY KEY, first_seen BIGINT NOT NULL, "
                             "last_seen BIGINT NOT NULL, present INTEGER NOT NULL)"),
                 std::string("CREATE TABLE agents (agent TEXT PRIMARY KEY, sys_name TEXT NOT NULL DEFAULT '', "
                             "sys_descr TEXT NOT NULL DEFAULT '', version TEXT NOT NULL DEFAULT '', "
                             "state TEXT NOT NULL, first_seen BIGINT NOT NULL, last_answered BIGINT, "
                             "last_failed BIGINT, failure TEXT NOT NULL DEFAULT '', "
                             "metrics TEXT NOT NULL DEFAULT '{}', collector TEXT NOT NULL)"),
                 std::string("CREATE INDEX agents_sys_name ON agents (sys_name)"),
                 "CREATE TABLE dependencies (id " + id +
                     ", type INTEGER NOT NULL, client TEXT NOT NULL, server TEXT NOT NULL, "
                     "args TEXT NOT NULL, pov TEXT NOT NULL, source_agent TEXT NOT NULL, "
                     "first_seen BIGINT NOT NULL, last_seen BIGINT NOT NULL, present INTEGER NOT NULL, "
                     "reachable INTEGER NOT NULL, reachable_time BIGINT NOT NULL, collector TEXT NOT NULL, "
                     "UNIQUE (source_agent, type, client, server, args))",
                 std::string("CREATE INDEX dependencies_server ON dependencies (server, present)"),
                 std::string("CREATE INDEX dependencies_client ON dependencies (client, present)"),
                 std::string("CREATE TABLE peers (agent TEXT NOT NULL, name TEXT NOT NULL, server TEXT NOT NULL, "
                             "type INTEGER NOT NULL, reachable INTEGER NOT NULL, "
                             "PRIMARY KEY (agent, name, server, type))"),
                 "CREATE TABLE changes (id " + id +
                     ", time BIGINT NOT NULL, round BIGINT NOT NULL, collector TEXT NOT NULL, "
                     "kind TEXT NOT NULL, host TEXT NOT NULL, detail TEXT NOT NULL, dependency BIGINT)",
                 std::string("CREATE INDEX changes_time ON changes (time)"),
             })
            db_.exec(sql);
        db_.exec("DELETE FROM schema_version");
        db_.exec("INSERT INTO schema_version (version) VALUES (1)");
    }
    t.commit();
}

void Store::addChange(int64_t now, int64_t round, const std::string &collector, const std::string &kind,
                      const std::string &host, const std::string &detail, std::optional<int64_t> dependency) {
    db_.exec(
        "INSERT INTO changes (time, round, collector, kind, host, detail, dependency) VALUES (?, ?, ?, ?, ?, ?, ?)",
        {now, round, collector, kind, host, detail, dependency ? Param(*dependency) : Param(nullptr)});
}

RoundSummary Store::applyRound(const std::vector<AgentReport> &reports, int64_t now, const std::string &collector) {
    Transaction t(db_);
    RoundSummary sum;
    auto ids = db_.query(
        "INSERT INTO rounds (started, collector, answered, failed, changes) VALUES (?, ?, 0, 0, 0) "
        "RETURNING id",
        {now, collector});
    sum.round = toInt(ids.at(0).at(0));
    touched_.clear();
    // Agents in a fixed order, so that the changes of a round read the same
    // whatever order the answers came in.
    std::vector<const AgentReport *> ordered;
    for (const AgentReport &r : reports)
        ordered.push_back(&r);
    std::stable_sort(ordered.begin(), ordered.end(),
                     [](const AgentReport *a, const AgentReport *b) { return a->agent < b->agent; });
    for (const AgentReport *r : ordered) {
        if (mergeAgent(*r, now, sum.round, collector, sum.changes))
            ++(r->answered ? sum.answered : sum.failed);
    }
    mergeHosts(now, sum.round, collector, sum.changes);
    db_.exec("UPDATE rounds SET answered = ?, failed = ?, changes = ? WHERE id = ?",
             {int64_t{sum.answered}, int64_t{sum.failed}, int64_t{sum.changes}, sum.round});
    t.commit();
    return sum;
}

bool Store::mergeAgent(const AgentReport &r, int64_t now, int64_t round, const std::string &collector, int &changes) {
    auto prev = db_.query("SELECT state, last_answered, metrics, sys_name FROM agents WHERE agent = ?", {r.agent});
    const std::string who = !r.sysName.empty()                             ? r.sysName
                            : !prev.empty() && !toText(prev[0][3]).empty() ? toText(prev[0][3])
                                                                           : r.agent;
    if (!r.answered) {
        if (prev.empty()) {
            if (r.candidate)
                return false;
            db_.exec(
                "INSERT INTO agents (agent, state, first_seen, last_failed, failure, collector) "
                "VALUES (?, 'failed', ?, ?, ?, ?)",
                {r.agent, now, now, r.failure, collector});
        } else {
            db_.exec("UPDATE agents SET state = 'failed', last_failed = ?, failure = ?, collector = ? WHERE agent = ?",
                     {now, r.failure, collector, r.agent});
            if (toText(prev[0][0]) == "failed")
                return true;
        }
        addChange(now, round, collector, "agent failed", who, r.agent + ": " + r.failure, std::nullopt);
        ++changes;
        return true;
    }

    nlohmann::json metrics(nlohmann::json::value_t::object);
    for (const auto &[name, value] : r.metrics)
        metrics[name] = value;
    const std::string metricsText = metrics.dump();
    int64_t previousAnswer = now;
    if (prev.empty()) {
        db_.exec(
            "INSERT INTO agents (agent, sys_name, sys_descr, version, state, first_seen, last_answered, "
            "metrics, collector) VALUES (?, ?, ?, ?, 'ok', ?, ?, ?, ?)",
            {r.agent, r.sysName, r.sysDescr, r.version, now, now, metricsText, collector});
        addChange(now, round, collector, "agent answered", who, r.agent, std::nullopt);
        ++changes;
    } else {
        if (prev[0][1])
            previousAnswer = toInt(prev[0][1]);
        db_.exec(
            "UPDATE agents SET sys_name = ?, sys_descr = ?, version = ?, state = 'ok', last_answered = ?, "
            "collector = ? WHERE agent = ?",
            {r.sysName, r.sysDescr, r.version, now, collector, r.agent});
        if (toText(prev[0][2]) != metricsText)
            db_.exec("UPDATE agents SET metrics = ? WHERE agent = ?", {metricsText, r.agent});
        if (toText(prev[0][0]) != "ok") {
            addChange(now, round, collector, "agent answered", who, r.agent, std::nullopt);
            ++changes;
        }
    }
    if (!r.sysName.empty())
        touched_.insert(r.sysName);
    if (!r.hasKestrova)
        return true;

    // The agent's dependencies as stored, by what makes one.
    using Key = std::tuple<int, std::string, std::string, std::string>;
    struct Stored {
        int64_t id;
        bool present;
        Reach reachable;
        bool seen = false;
    };
    std::map<Key, Stored> stored;
    for (const Row &row : db_.query("SELECT id, type, client, server, args, present, reachable FROM dependencies "
                                    "WHERE source_agent = ?",
                                    {r.agent}))
        stored.emplace(Key{static_cast<int>(toInt(row[1])), toText(row[2]), toText(row[3]), toText(row[4])},
                       Stored{toInt(row[0]), toInt(row[5]) == 1, toReach(row[6])});

    // In a fixed order too: the rows of a table come in the agent's order.
    std::vector<const ObservedDependency *> observed;
    for (const ObservedDependency &o : r.dependencies)
        observed.push_back(&o);
    std::sort(observed.begin(), observed.end(), [](const ObservedDependency *a, const ObservedDependency *b) {
        return std::tie(a->type, a->client, a->server, a->args) < std::tie(b->type, b->client, b->server, b->args);
    });
    for (const ObservedDependency *op : observed) {
        const ObservedDependency &o = *op;
        const Key key{o.type, o.client, o.server, o.args};
        const std::string what = describe(o.type, o.client, o.server, o.args);
        auto it = stored.find(key);
        if (it == stored.end()) {
            auto id = db_.query(
                "INSERT INTO dependencies (type, client, server, args, pov, source_agent, first_seen, "
                "last_seen, present, reachable, reachable_time, collector) "
                "VALUES (?, ?, ?, ?, ?, ?, ?, ?, 1, ?, ?, ?) RETURNING id",
                {int64_t{o.type}, o.client, o.server, o.args, o.pov, r.agent, now, now,
                 int64_t{static_cast<int>(o.reachable)}, o.reachableTime, collector});
            const int64_t depId = toInt(id.at(0).at(0));
            stored.emplace(key, Stored{depId, true, o.reachable, true});
            addChange(now, round, collector, "appeared", o.server, what, depId);
            ++changes;
            touched_.insert(o.client);
            touched_.insert(o.server);
            continue;
        }
        Stored &s = it->second;
        if (s.seen)
            continue; // the same row twice in one answer
        s.seen = true;
        if (!s.present) {
            db_.exec(
                "UPDATE dependencies SET present = 1, last_seen = ?, pov = ?, reachable = ?, reachable_time = ?, "
                "collector = ? WHERE id = ?",
                {now, o.pov, int64_t{static_cast<int>(o.reachable)}, o.reachableTime, collector, s.id});
            addChange(now, round, collector, "appeared", o.server, what, s.id);
            ++changes;
            touched_.insert(o.client);
            touched_.insert(o.server);
        } else if (s.reachable != o.reachable) {
            db_.exec("UPDATE dependencies SET reachable = ?, reachable_time = ?, collector = ? WHERE id = ?",
                     {int64_t{static_cast<int>(o.reachable)}, o.reachableTime, collector, s.id});
            addChange(now, round, collector, reachWord(o.reachable), o.server, what, s.id);
            ++changes;
        }
    }
    for (auto &[key, s] : stored) {
        if (s.seen || !s.present)
            continue;
        db_.exec("UPDATE dependencies SET present = 0, last_seen = ?, collector = ? WHERE id = ?",
                 {previousAnswer, collector, s.id});
        const auto &[type, client, server, args] = key;
        addChange(now, round, collector, "left", server, describe(type, client, server, args), s.id);
        ++changes;
        touched_.insert(client);
        touched_.insert(server);
    }

    // Peers: replaced where they differ; no history.
    using PeerKey = std::tuple<std::string, std::string, int>;
    std::map<PeerKey, Reach> oldPeers, newPeers;
    for (const Row &row : db_.query("SELECT name, server, type, reachable FROM peers WHERE agent = ?", {r.agent}))
        oldPeers[{toText(row[0]), toText(row[1]), static_cast<int>(toInt(row[2]))}] = toReach(row[3]);
    for (const Peer &p : r.peers)
        newPeers[{p.name, p.server, p.type}] = p.reachable;
    for (const auto &[k, reach] : oldPeers)
        if (!newPeers.count(k))
            db_.exec("DELETE FROM peers WHERE agent = ? AND name = ? AND server = ? AND type = ?",
                     {r.agent, std::get<0>(k), std::get<1>(k), int64_t{std::get<2>(k)}});
    for (const auto &[k, reach] : newPeers) {
        auto old = oldPeers.find(k);
        if (old == oldPeers.end())
            db_.exec(
                "INSERT INTO peers (agent, name, server, type, reachable) VALUES (?, ?, ?, ?, ?)",
                {r.agent, std::get<0>(k), std::get<1>(k), int64_t{std::get<2>(k)}, int64_t{static_cast<int>(reach)}});
        else if (old->second != reach)
            db_.exec(
                "UPDATE peers SET reachable = ? WHERE agent = ? AND name = ? AND server = ? AND type = ?",
                {int64_t{static_cast<int>(reach)}, r.agent, std::get<0>(k), std::get<1>(k), int64_t{std::get<2>(k)}});
    }
    return true;
}

void Store::mergeHosts(int64_t now, int64_t round, const std::string &collector, int &changes) {
    // Only hosts a dependency or an agent of this round named can have
    // appeared or left.
    for (const std::string &name : touched_) {
        if (name.empty())
            continue;
        const bool named =
            !db_.query("SELECT 1 FROM dependencies WHERE server = ? AND present = 1 LIMIT 1", {name}).empty() ||
            !db_.query("SELECT 1 FROM dependencies WHERE client = ? AND present = 1 LIMIT 1", {name}).empty() ||
            !db_.query("SELECT 1 FROM agents WHERE sys_name = ? LIMIT 1", {name}).empty();
        auto row = db_.query("SELECT present FROM hosts WHERE name = ?", {name});
        if (named && row.empty()) {
            db_.exec("INSERT INTO hosts (name, first_seen, last_seen, present) VALUES (?, ?, ?, 1)", {name, now, now});
        } else if (named && toInt(row[0][0]) != 1) {
            db_.exec("UPDATE hosts SET present = 1, last_seen = ? WHERE name = ?", {now, name});
        } else if (!named && !row.empty() && toInt(row[0][0]) == 1) {
            db_.exec("UPDATE hosts SET present = 0, last_seen = ? WHERE name = ?", {now, name});
            addChange(now, round, collector, "host left", name, name, std::nullopt);
            ++changes;
            continue;
        } else {
            continue;
        }
        addChange(now, round, collector, "host appeared", name, name, std::nullopt);
        ++changes;
    }
}

int64_t Store::prune(int keepDays, int64_t now) {
    const int64_t before = now - int64_t{keepDays} * 86400;
    Transaction t(db_);
    auto n = db_.query("SELECT COUNT(*) FROM changes WHERE time < ?", {before});
    db_.exec("DELETE FROM changes WHERE time < ?", {before});
    t.commit();
    return toInt(n.at(0).at(0));
}

std::vector<Dependency> Store::dependenciesWith(const std::string &host, bool asServer, int type) {
    std::string sql = std::string("SELECT ") + kDependencyColumns + " WHERE d." + (asServer ? "server" : "client") +
                      " = ? AND d.present = 1";
    std::vector<Param> params{host};
    if (type) {
        sql += " AND d.type = ?";
        params.emplace_back(int64_t{type});
    }
    sql += " ORDER BY d.type, d.client, d.server, d.args, d.source_agent";
    std::vector<Dependency> out;
    for (const Row &r : db_.query(sql, params))
        out.push_back(dependencyOf(r));
    return out;
}

std::vector<Dependency> Store::presentDependencies(int type) {
    std::string sql = std::string("SELECT ") + kDependencyColumns + " WHERE d.present = 1";
    std::vector<Param> params;
    if (type) {
        sql += " AND d.type = ?";
        params.emplace_back(int64_t{type});
    }
    sql += " ORDER BY d.server, d.type, d.client, d.args, d.source_agent";
    std::vector<Dependency> out;
    for (const Row &r : db_.query(sql, params))
        out.push_back(dependencyOf(r));
    return out;
}

std::vector<Dependency> Store::unreachable() {
    std::vector<Dependency> out;
    for (const Row &r : db_.query(std::string("SELECT ") + kDependencyColumns +
                                  " WHERE d.present = 1 AND d.reachable = 0 "
                                  "ORDER BY d.reachable_time, d.server, d.client, d.type, d.args"))
        out.push_back(dependencyOf(r));
    return out;
}

std::vector<AgentRow> Store::agents() {
    std::vector<AgentRow> out;
    for (const Row &r : db_.query(std::string("SELECT ") + kAgentColumns + " ORDER BY agent"))
        out.push_back(agentOf(r));
    return out;
}

std::vector<AgentRow> Store::agentsOf(const std::string &host) {
    std::vector<AgentRow> out;
    for (const Row &r : db_.query(
             std::string("SELECT ") + kAgentColumns + " WHERE sys_name = ? OR agent = ? ORDER BY agent", {host, host}))
        out.push_back(agentOf(r));
    return out;
}

std::vector<HostRow> Store::hosts() {
    std::vector<HostRow> out;
    for (const Row &r : db_.query("SELECT name, first_seen, last_seen, present FROM hosts ORDER BY name"))
        out.push_back({toText(r[0]), toInt(r[1]), toInt(r[2]), toInt(r[3]) == 1});
    return out;
}

std::optional<HostRow> Store::host(const std::string &name) {
    auto rows = db_.query("SELECT name, first_seen, last_seen, present FROM hosts WHERE name = ?", {name});
    if (rows.empty())
        return std::nullopt;
    return HostRow{toText(rows[0][0]), toInt(rows[0][1]), toInt(rows[0][2]), toInt(rows[0][3]) == 1};
}

std::vector<ChangeRow> Store::changes(int64_t since) {
    std::vector<ChangeRow> out;
    for (const Row &r : db_.query("SELECT id, time, round, collector, kind, host, detail, dependency FROM changes "
                                  "WHERE time >= ? ORDER BY time, id",
                                  {since})) {
        ChangeRow c;
        c.id = toInt(r[0]);
        c.time = toInt(r[1]);
        c.round = toInt(r[2]);
        c.collector = toText(r[3]);
        c.kind = toText(r[4]);
        c.host = toText(r[5]);
        c.detail = toText(r[6]);
        if (r[7])
            c.dependency = toInt(r[7]);
        out.push_back(std::move(c));
    }
    return out;
}

std::vector<Peer> Store::peersOf(const std::string &host) {
    std::vector<Peer> out;
    for (const Row &r : db_.query("SELECT DISTINCT p.name, p.server, p.type, p.reachable FROM peers p "
                                  "JOIN agents a ON a.agent = p.agent WHERE a.sys_name = ? OR a.agent = ? "
                                  "ORDER BY p.name, p.server, p.type",
                                  {host, host}))
        out.push_back({toText(r[0]), toText(r[1]), static_cast<int>(toInt(r[2])), toReach(r[3])});
    return out;
}

std::map<std::string, std::string> Store::metricsOf(const std::string &host) {
    std::map<std::string, std::string> out;
    for (const Row &r : db_.query("SELECT metrics FROM agents WHERE (sys_name = ? OR agent = ?) AND state = 'ok' "
                                  "ORDER BY last_answered DESC LIMIT 1",
                                  {host, host})) {
        auto j = nlohmann::json::parse(toText(r[0]), nullptr, false);
        if (j.is_object())
            for (auto it = j.begin(); it != j.end(); ++it)
                if (it->is_string())
                    out[it.key()] = it->get<std::string>();
    }
    return out;
}

} // namespace qelmap
