// qelmap serve: the questions over HTTP as JSON, and /metrics in the
// Prometheus text format.
#include "serve.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <ctime>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <httplib.h>

#include "qel/entry_guard.h"
#include "query.h"

namespace qelmap {

namespace {

std::atomic<bool> serveStop{false};

extern "C" void onServeSignal(int) {
    serveStop.store(true);
}

// Label values escaped as the text format wants them.
std::string label(const std::string &v) {
    std::string out;
    for (char c : v) {
        if (c == '\\' || c == '"')
            out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    return out;
}

double number(const std::map<std::string, std::string> &m, const char *key, bool &ok) {
    auto it = m.find(key);
    ok = false;
    if (it == m.end() || it->second.empty())
        return 0;
    char *end = nullptr;
    const double v = std::strtod(it->second.c_str(), &end);
    ok = end && *end == '\0';
    return v;
}

// One metric family: its help, type and samples.
struct Family {
    std::string name, help, type;
    std::vector<std::string> samples; // "{labels} value" or " value"
};

void emit(std::ostringstream &out, const Family &f) {
    out << "# HELP " << f.name << " " << f.help << "\n# TYPE " << f.name << " " << f.type << "\n";
    for (const std::string &s : f.samples)
        out << f.name << s << "\n";
}

std::string fmt(double v) {
    std::ostringstream s;
    s.precision(17);
    s << v;
    return s.str();
}

} // namespace

std::string prometheusText(Store &store) {
    std::ostringstream out;
    const auto agents = store.agents();
    Family up{"qelmap_agent_up", "Whether the agent answered the last round (1) or failed (0).", "gauge", {}};
    Family last{"qelmap_agent_last_answered_timestamp_seconds", "When the agent last answered.", "gauge", {}};
    Family missing{"qelmap_agents_missing", "Agents whose last contact failed.", "gauge", {}};
    int missingCount = 0;
    for (const AgentRow &a : agents) {
        const std::string l = "{agent=\"" + label(a.agent) + "\",host=\"" + label(a.sysName) + "\"}";
        up.samples.push_back(l + " " + (a.state == "ok" ? "1" : "0"));
        if (a.lastAnswered > 0)
            last.samples.push_back(l + " " + std::to_string(a.lastAnswered));
        missingCount += a.state != "ok";
    }
    missing.samples.push_back(" " + std::to_string(missingCount));

    Family deps{"qelmap_dependencies", "Present dependencies by type and reachability.", "gauge", {}};
    std::map<std::pair<std::string, std::string>, int> byType;
    for (const Dependency &d : store.presentDependencies())
        ++byType[{typeName(d.type), d.reachable == Reach::yes  ? "true"
                                    : d.reachable == Reach::no ? "false"
                                                               : "unknown"}];
    for (const auto &[k, n] : byType)
        deps.samples.push_back("{type=\"" + label(k.first) + "\",reachable=\"" + k.second + "\"} " + std::to_string(n));

    Family hosts{"qelmap_hosts", "Hosts known, present or gone.", "gauge", {}};
    int present = 0, gone = 0;
    for (const HostRow &h : store.hosts())
        ++(h.present ? present : gone);
    hosts.samples.push_back("{present=\"true\"} " + std::to_string(present));
    hosts.samples.push_back("{present=\"false\"} " + std::to_string(gone));

    // Per-host figures from the agents' metrics scalars (memory and swap in
    // KiB there, bytes here).
    struct Scalar {
        const char *key, *name, *help;
        double scale;
    };
    const Scalar scalars[] = {
        {"totalMem", "qelmap_host_memory_total_bytes", "Memory of the host.", 1024},
        {"freeMem", "qelmap_host_memory_available_bytes", "Memory available on the host.", 1024},
        {"totalSwap", "qelmap_host_swap_total_bytes", "Swap of the host.", 1024},
        {"usedSwap", "qelmap_host_swap_used_bytes", "Swap in use on the host.", 1024},
        {"loadAvg1Min", "qelmap_host_load1", "Load average over 1 minute.", 1},
        {"loadAvg5Min", "qelmap_host_load5", "Load average over 5 minutes.", 1},
        {"loadAvg15Min", "qelmap_host_load15", "Load average over 15 minutes.", 1},
        {"numberCPUs", "qelmap_host_cpus", "Processors of the host.", 1},
        {"numProcesses", "qelmap_host_processes", "Processes on the host.", 1},
    };
    std::vector<Family> perHost;
    for (const Scalar &s : scalars)
        perHost.push_back({s.name, s.help, "gauge", {}});
    std::set<std::string> done;
    for (const AgentRow &a : agents) {
        if (a.state != "ok" || a.sysName.empty() || !done.insert(a.sysName).second)
            continue;
        const auto m = store.metricsOf(a.sysName);
        for (size_t i = 0; i < perHost.size(); ++i) {
            bool ok = false;
            const double v = number(m, scalars[i].key, ok);
            if (ok)
                perHost[i].samples.push_back("{host=\"" + label(a.sysName) + "\"} " + fmt(v * scalars[i].scale));
        }
    }
    for (const Family &f : {up, last, missing, deps, hosts})
        emit(out, f);
    for (const Family &f : perHost)
        emit(out, f);
    return out.str();
}

int runServe(const std::vector<std::string> &args, FILE *out, FILE *err) {
    std::string db = "qelmap.db", listen = "127.0.0.1:5271";
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--db" && i + 1 < args.size()) {
            db = args[++i];
        } else if (args[i] == "--listen" && i + 1 < args.size()) {
            listen = args[++i];
        } else {
            std::fprintf(err, "qelmap serve: unknown argument %s\n", args[i].c_str());
            return 2;
        }
    }
    const auto colon = listen.rfind(':');
    std::string address = colon == std::string::npos ? "" : listen.substr(0, colon);
    if (address.size() > 2 && address.front() == '[' && address.back() == ']')
        address = address.substr(1, address.size() - 2);
    char *end = nullptr;
    const long port = colon == std::string::npos ? -1 : std::strtol(listen.c_str() + colon + 1, &end, 10);
    if (address.empty() || port < 1 || port > 65535 || (end && *end)) {
        std::fprintf(err, "qelmap serve: --listen wants ADDRESS:PORT, not '%s'\n", listen.c_str());
        return 2;
    }

    std::unique_ptr<Database> database;
    std::unique_ptr<Store> store;
    try {
        database = openDatabase(db);
        store = std::make_unique<Store>(*database);
    } catch (const std::exception &e) {
        std::fprintf(err, "qelmap: %s\n", e.what());
        return 2;
    }
    // One connection to the store, one request at a time on it; the
    // crawler writes from its own process, which WAL lets readers overlap.
    std::mutex storeLock;

    httplib::Server server;
    server.set_payload_max_length(4096);
    server.set_read_timeout(5, 0);
    server.set_write_timeout(5, 0);
    server.set_keep_alive_max_count(100);

    auto reply = [&](httplib::Response &res, int status, const std::string &body, const char *type) {
        res.status = status;
        res.set_content(body, type);
    };
    auto error = [&](httplib::Response &res, int status, const std::string &why) {
        reply(res, status, nlohmann::json{{"error", why}}.dump() + "\n", "application/json");
    };
    auto ask = [&](const std::string &question, const std::string &host, const httplib::Request &req,
                   httplib::Response &res) {
        std::vector<std::string> qargs;
        if (!host.empty())
            qargs.push_back(host);
        for (const auto &[key, value] : req.params) {
            if (key != "depth" && key != "type" && key != "since") {
                error(res, 400, "unknown parameter " + key);
                return;
            }
            qargs.push_back("--" + key);
            qargs.push_back(value);
        }
        try {
            std::lock_guard<std::mutex> g(storeLock);
            const auto j = answer(*store, question, qargs, static_cast<int64_t>(std::time(nullptr)));
            reply(res, 200, j.dump() + "\n", "application/json");
        } catch (const UnknownHost &e) {
            error(res, 404, e.what());
        } catch (const std::invalid_argument &e) {
            error(res, 400, e.what());
        } catch (const std::exception &e) {
            error(res, 503, e.what());
        }
    };
    for (const char *q : {"dependents", "depends-on", "blast-radius", "host"})
        server.Get(std::string("/api/") + q + "/([^/]+)",
                   [&, q = std::string(q)](const httplib::Request &req, httplib::Response &res) {
                       ask(q, req.matches[1], req, res);
                   });
    for (const char *q : {"unreachable", "missing", "spof", "changes", "hosts"})
        server.Get(std::string("/api/") + q, [&, q = std::string(q)](const httplib::Request &req,
                                                                     httplib::Response &res) { ask(q, "", req, res); });
    server.Get("/metrics", [&](const httplib::Request &, httplib::Response &res) {
        try {
            std::lock_guard<std::mutex> g(storeLock);
            reply(res, 200, prometheusText(*store), "text/plain; version=0.0.4");
        } catch (const std::exception &e) {
            reply(res, 503, std::string("# store: ") + e.what() + "\n", "text/plain");
        }
    });
    server.set_error_handler([&](const httplib::Request &, httplib::Response &res) {
        if (res.body.empty())
            error(res, res.status, "HTTP status " + std::to_string(res.status));
    });
    server.set_exception_handler([&](const httplib::Request &, httplib::Response &res, std::exception_ptr) {
        error(res, 500, "internal error");
    });

    if (!server.bind_to_port(address.c_str(), static_cast<int>(port))) {
        std::fprintf(err, "qelmap serve: cannot listen on %s\n", listen.c_str());
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGINT, onServeSignal);
    std::signal(SIGTERM, onServeSignal);
    std::thread watcher([&] {
        qel::guardedVoid("qelmap serve: watcher", [&] {
            while (!serveStop.load())
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            server.stop();
        });
    });
    std::fprintf(out, "qelmap: serving http://%s/\n", listen.c_str());
    std::fflush(out);
    const bool ok = server.listen_after_bind();
    serveStop.store(true);
    watcher.join();
    return ok || serveStop ? 0 : 2;
}

} // namespace qelmap
