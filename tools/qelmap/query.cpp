// qelmap's questions: walks of the dependency graph kept in the store, and
// their answers as tables for people or JSON for scripts.
#include "query.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <ctime>
#include <map>
#include <stdexcept>

namespace qelmap {

namespace {

using Json = nlohmann::ordered_json;

// Breadth-first from host along dependencies, towards clients (dependents)
// or servers; each host once, at its least depth.
std::vector<Reached> walk(Store &store, const std::string &host, bool towardsClients, int maxDepth, int type) {
    std::vector<Reached> out;
    std::map<std::string, size_t> at; // host -> index in out
    std::set<std::string> frontier{host};
    std::set<std::string> seen{host};
    for (int depth = 1; !frontier.empty() && (maxDepth <= 0 || depth <= maxDepth); ++depth) {
        std::set<std::string> next;
        for (const std::string &from : frontier) {
            for (const Dependency &d : store.dependenciesWith(from, towardsClients, depth == 1 ? type : 0)) {
                const std::string &to = towardsClients ? d.client : d.server;
                if (to == from)
                    continue;
                if (seen.count(to) && !next.count(to))
                    continue; // reached at a lesser depth
                if (!next.count(to)) {
                    next.insert(to);
                    seen.insert(to);
                    at[to] = out.size();
                    out.push_back({to, depth, {}, {}});
                }
                Reached &r = out[at[to]];
                r.types.insert(d.type);
                r.via.insert(from);
            }
        }
        frontier = std::move(next);
    }
    std::stable_sort(out.begin(), out.end(), [](const Reached &a, const Reached &b) {
        return a.depth != b.depth ? a.depth < b.depth : a.host < b.host;
    });
    return out;
}

std::string joined(const std::set<std::string> &items) {
    std::string s;
    for (const std::string &i : items)
        s += (s.empty() ? "" : ",") + i;
    return s;
}

std::string typeNames(const std::set<int> &types) {
    std::string s;
    for (int t : types)
        s += (s.empty() ? "" : ",") + typeName(t);
    return s;
}

const char *reachText(Reach r) {
    return r == Reach::yes ? "true" : r == Reach::no ? "false" : "unknown";
}

Json reachedJson(const std::vector<Reached> &rs) {
    Json a = Json::array();
    for (const Reached &r : rs)
        a.push_back(Json{{"depth", r.depth}, {"host", r.host}, {"types", typeNames(r.types)}, {"via", joined(r.via)}});
    return a;
}

Json dependencyJson(const Dependency &d) {
    return Json{{"type", typeName(d.type)},
                {"client", d.client},
                {"server", d.server},
                {"args", d.args},
                {"reachable", reachText(d.reachable)},
                {"reachableTime", d.reachableTime},
                {"firstSeen", d.firstSeen},
                {"lastSeen", d.lastSeen},
                {"pov", d.pov},
                {"source", d.source}};
}

Json agentJson(const AgentRow &a) {
    return Json{
        {"agent", a.agent},           {"host", a.sysName},    {"state", a.state},    {"lastAnswered", a.lastAnswered},
        {"lastFailed", a.lastFailed}, {"failure", a.failure}, {"version", a.version}};
}

struct Options {
    int depth = -1; // not given
    int type = 0;
    std::string since;
    std::vector<std::string> words;
};

Options parseOptions(const std::vector<std::string> &args) {
    Options o;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string &a = args[i];
        auto value = [&]() -> const std::string & {
            if (i + 1 >= args.size())
                throw std::invalid_argument(a + " needs a value");
            return args[++i];
        };
        if (a == "--depth") {
            const std::string &v = value();
            char *end = nullptr;
            const long n = std::strtol(v.c_str(), &end, 10);
            if (v.empty() || *end || n < 1 || n > 1000)
                throw std::invalid_argument("--depth wants a number from 1 to 1000, not '" + v + "'");
            o.depth = static_cast<int>(n);
        } else if (a == "--type") {
            const std::string &v = value();
            o.type = parseType(v);
            if (!o.type)
                throw std::invalid_argument("unknown dependency type '" + v + "'");
        } else if (a == "--since") {
            o.since = value();
        } else if (a.size() > 1 && a[0] == '-') {
            throw std::invalid_argument("unknown option " + a);
        } else {
            o.words.push_back(a);
        }
    }
    return o;
}

void wantWords(const Options &o, size_t n, const std::string &question) {
    if (o.words.size() != n)
        throw std::invalid_argument(question + (n ? " wants one host" : " takes no host"));
}

void requireHost(Store &store, const std::string &host) {
    if (!knownHost(store, host))
        throw UnknownHost("unknown host " + host);
}

bool isTimeKey(const std::string &key) {
    return key == "firstSeen" || key == "lastSeen" || key == "reachableTime" || key == "lastAnswered" ||
           key == "lastFailed" || key == "time";
}

std::string cellText(const std::string &key, const Json &v) {
    if (v.is_string())
        return v.get<std::string>();
    if (v.is_number_integer() && isTimeKey(key))
        return formatTime(v.get<int64_t>());
    if (v.is_null())
        return "";
    return v.dump();
}

// Column-aligned rows of an array of objects, headed by the keys.
void printTable(FILE *out, const Json &rows) {
    if (rows.empty()) {
        std::fprintf(out, "(none)\n");
        return;
    }
    std::vector<std::string> keys;
    for (auto it = rows[0].begin(); it != rows[0].end(); ++it)
        keys.push_back(it.key());
    std::vector<std::vector<std::string>> cells;
    std::vector<size_t> width;
    for (const std::string &k : keys)
        width.push_back(k.size());
    for (const Json &row : rows) {
        auto &line = cells.emplace_back();
        for (size_t c = 0; c < keys.size(); ++c) {
            line.push_back(row.contains(keys[c]) ? cellText(keys[c], row[keys[c]]) : "");
            width[c] = std::max(width[c], line.back().size());
        }
    }
    auto print = [&](const std::vector<std::string> &line) {
        std::string s;
        for (size_t c = 0; c < line.size(); ++c) {
            s += line[c];
            if (c + 1 < line.size())
                s += std::string(width[c] - line[c].size() + 2, ' ');
        }
        std::fprintf(out, "%s\n", s.c_str());
    };
    print(keys);
    for (const auto &line : cells)
        print(line);
}

} // namespace

std::vector<Reached> dependents(Store &store, const std::string &host, int maxDepth, int type) {
    return walk(store, host, true, maxDepth, type);
}

std::vector<Reached> dependsOn(Store &store, const std::string &host, int maxDepth, int type) {
    return walk(store, host, false, maxDepth, type);
}

std::vector<Reached> blastRadius(Store &store, const std::string &host) {
    return walk(store, host, true, 0, 0);
}

std::vector<SinglePoint> singlePoints(Store &store, int type) {
    // Servers of each (client, type); a client with one is at its mercy.
    std::map<std::pair<std::string, int>, std::set<std::string>> servers;
    for (const Dependency &d : store.presentDependencies(type))
        if (d.client != d.server)
            servers[{d.client, d.type}].insert(d.server);
    std::map<std::pair<std::string, int>, std::set<std::string>> sole; // (server, type) -> clients
    for (const auto &[key, set] : servers)
        if (set.size() == 1)
            sole[{*set.begin(), key.second}].insert(key.first);
    std::vector<SinglePoint> out;
    for (auto &[key, clients] : sole)
        out.push_back({key.first, key.second, std::move(clients)});
    std::stable_sort(out.begin(), out.end(),
                     [](const SinglePoint &a, const SinglePoint &b) { return a.clients.size() > b.clients.size(); });
    return out;
}

std::vector<AgentRow> missingAgents(Store &store) {
    std::vector<AgentRow> out;
    for (AgentRow &a : store.agents())
        if (a.state == "failed")
            out.push_back(std::move(a));
    std::stable_sort(out.begin(), out.end(),
                     [](const AgentRow &a, const AgentRow &b) { return a.lastAnswered < b.lastAnswered; });
    return out;
}

bool knownHost(Store &store, const std::string &host) {
    return store.host(host).has_value() || !store.agentsOf(host).empty();
}

int64_t parseTime(const std::string &text, int64_t now) {
    if (text.empty())
        return -1;
    char *end = nullptr;
    const long long n = std::strtoll(text.c_str(), &end, 10);
    if (end != text.c_str() && *end == '\0')
        return n >= 0 ? n : -1;
    if (end != text.c_str() && end[1] == '\0' && n >= 0) {
        switch (*end) {
        case 's': return now - n;
        case 'm': return now - n * 60;
        case 'h': return now - n * 3600;
        case 'd': return now - n * 86400;
        default: break;
        }
    }
    struct tm tm {};
    for (const char *format : {"%Y-%m-%dT%H:%M:%SZ", "%Y-%m-%dT%H:%M:%S", "%Y-%m-%d %H:%M:%S", "%Y-%m-%dT%H:%M",
                               "%Y-%m-%d %H:%M", "%Y-%m-%d"}) {
        tm = {};
        const char *rest = strptime(text.c_str(), format, &tm);
        if (rest && *rest == '\0')
            return static_cast<int64_t>(timegm(&tm));
    }
    return -1;
}

std::string formatTime(int64_t t) {
    if (t <= 0)
        return "-";
    const time_t tt = static_cast<time_t>(t);
    struct tm tm {};
    gmtime_r(&tt, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

Json answer(Store &store, const std::string &question, const std::vector<std::string> &args, int64_t now) {
    const Options o = parseOptions(args);
    if (question == "dependents" || question == "depends-on") {
        wantWords(o, 1, question);
        requireHost(store, o.words[0]);
        const int depth = o.depth < 0 ? 1 : o.depth;
        return reachedJson(question == "dependents" ? dependents(store, o.words[0], depth, o.type)
                                                    : dependsOn(store, o.words[0], depth, o.type));
    }
    if (question == "blast-radius") {
        wantWords(o, 1, question);
        requireHost(store, o.words[0]);
        return reachedJson(blastRadius(store, o.words[0]));
    }
    if (question == "unreachable") {
        wantWords(o, 0, question);
        Json a = Json::array();
        for (const Dependency &d : store.unreachable())
            a.push_back(dependencyJson(d));
        return a;
    }
    if (question == "missing") {
        wantWords(o, 0, question);
        Json a = Json::array();
        for (const AgentRow &r : missingAgents(store))
            a.push_back(agentJson(r));
        return a;
    }
    if (question == "spof") {
        wantWords(o, 0, question);
        Json a = Json::array();
        for (const SinglePoint &s : singlePoints(store, o.type))
            a.push_back(Json{{"server", s.server},
                             {"type", typeName(s.type)},
                             {"dependents", s.clients.size()},
                             {"clients", joined(s.clients)}});
        return a;
    }
    if (question == "changes") {
        wantWords(o, 0, question);
        int64_t since = 0;
        if (!o.since.empty() && (since = parseTime(o.since, now)) < 0)
            throw std::invalid_argument("cannot read the time '" + o.since + "'");
        Json a = Json::array();
        for (const ChangeRow &c : store.changes(since))
            a.push_back(Json{{"time", c.time},
                             {"round", c.round},
                             {"kind", c.kind},
                             {"host", c.host},
                             {"detail", c.detail},
                             {"collector", c.collector}});
        return a;
    }
    if (question == "hosts") {
        wantWords(o, 0, question);
        Json a = Json::array();
        for (const HostRow &h : store.hosts()) {
            std::string agent;
            for (const AgentRow &r : store.agentsOf(h.name))
                agent = r.state;
            a.push_back(Json{{"host", h.name},
                             {"present", h.present},
                             {"dependencies", store.dependenciesWith(h.name, false).size()},
                             {"dependents", store.dependenciesWith(h.name, true).size()},
                             {"agent", agent},
                             {"firstSeen", h.firstSeen},
                             {"lastSeen", h.lastSeen}});
        }
        return a;
    }
    if (question == "host") {
        wantWords(o, 1, question);
        const std::string &name = o.words[0];
        requireHost(store, name);
        const auto h = store.host(name);
        Json j{{"host", name},
               {"present", h ? h->present : false},
               {"firstSeen", h ? h->firstSeen : 0},
               {"lastSeen", h ? h->lastSeen : 0}};
        Json agents = Json::array(), deps = Json::array(), users = Json::array(), peers = Json::array();
        for (const AgentRow &a : store.agentsOf(name))
            agents.push_back(agentJson(a));
        for (const Dependency &d : store.dependenciesWith(name, false))
            deps.push_back(dependencyJson(d));
        for (const Dependency &d : store.dependenciesWith(name, true))
            users.push_back(dependencyJson(d));
        for (const Peer &p : store.peersOf(name))
            peers.push_back(Json{{"peer", p.name},
                                 {"server", p.server},
                                 {"type", typeName(p.type)},
                                 {"reachable", reachText(p.reachable)}});
        Json metrics = Json::object();
        for (const auto &[k, v] : store.metricsOf(name))
            metrics[k] = v;
        j["agents"] = agents;
        j["dependencies"] = deps;
        j["dependents"] = users;
        j["peers"] = peers;
        j["metrics"] = metrics;
        return j;
    }
    throw std::invalid_argument("unknown question '" + question + "'");
}

int runQuery(const std::vector<std::string> &args, FILE *out, FILE *err) {
    std::string db = "qelmap.db";
    bool json = false;
    size_t i = 0;
    for (; i < args.size(); ++i) {
        if (args[i] == "--db" && i + 1 < args.size()) {
            db = args[++i];
        } else if (args[i] == "-json" || args[i] == "--json") {
            json = true;
        } else {
            break;
        }
    }
    if (i >= args.size()) {
        std::fprintf(err, "qelmap query: which question? (qelmap query --help)\n");
        return 2;
    }
    const std::string question = args[i];
    const std::vector<std::string> rest(args.begin() + static_cast<long>(i) + 1, args.end());
    try {
        auto database = openDatabase(db);
        Store store(*database);
        const Json j = answer(store, question, rest, static_cast<int64_t>(std::time(nullptr)));
        if (json) {
            std::fprintf(out, "%s\n", j.dump().c_str());
        } else if (j.is_array()) {
            printTable(out, j);
        } else {
            for (auto it = j.begin(); it != j.end(); ++it) {
                if (it->is_array()) {
                    std::fprintf(out, "\n%s:\n", it.key().c_str());
                    printTable(out, *it);
                } else if (it->is_object()) {
                    std::fprintf(out, "\n%s:\n", it.key().c_str());
                    if (it->empty())
                        std::fprintf(out, "(none)\n");
                    for (auto m = it->begin(); m != it->end(); ++m)
                        std::fprintf(out, "%s  %s\n", m.key().c_str(), cellText(m.key(), *m).c_str());
                } else {
                    std::fprintf(out, "%s: %s\n", it.key().c_str(), cellText(it.key(), *it).c_str());
                }
            }
        }
        return 0;
    } catch (const UnknownHost &e) {
        std::fprintf(err, "qelmap: %s\n", e.what());
        return 1;
    } catch (const std::invalid_argument &e) {
        std::fprintf(err, "qelmap query: %s\n", e.what());
        return 2;
    } catch (const std::exception &e) {
        std::fprintf(err, "qelmap: %s\n", e.what());
        return 2;
    }
}

} // namespace qelmap
