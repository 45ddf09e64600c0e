// qelmap: the fleet's dependency map. `crawl` collects what the agents know
// into one store; `query` answers questions of it.
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "crawl.h"
#include "query.h"
#include "serve.h"

namespace {

const char kVersion[] = "qelmap 1.0";

const char kQuestions[] =
    "\nQuestions:\n"
    "  dependents HOST [--depth N] [--type T]   who depends on HOST (depth 1 by default)\n"
    "  depends-on HOST [--depth N]              what HOST depends on\n"
    "  blast-radius HOST                        every host that loses a dependency, by depth\n"
    "  unreachable                              dependencies whose last probe failed, oldest first\n"
    "  missing                                  agents that stopped answering\n"
    "  spof [--type T]                          servers that are the only one of their type\n"
    "  changes [--since TIME]                   what appeared, left or changed reachability\n"
    "  hosts                                    every host\n"
    "  host HOST                                a host's dependencies, dependents, peers, metrics\n";

void usage(FILE *out) {
    std::fprintf(out,
                 "usage: qelmap crawl [--db URL] [--every SECONDS] [--concurrency N] [--deadline SECONDS]\n"
                 "                    [--keep DAYS] [--user NAME] SEED...\n"
                 "       qelmap query [--db URL] [-json] QUESTION [ARGS]\n"
                 "       qelmap serve [--db URL] [--listen ADDR:PORT]\n"
                 "       qelmap enrol\n"
                 "       qelmap --help | --version\n");
}

void helpCrawl() {
    std::printf(
        "usage: qelmap crawl [--db URL] [--every SECONDS] [--concurrency N] [--deadline SECONDS]\n"
        "                    [--keep DAYS] [--user NAME] SEED...\n"
        "\nAsks every agent reachable from the seeds (host[,port], or @FILE with one a line)\n"
        "for its identity, dependencies, peers and metrics, and merges the round into the store.\n"
        "  --db URL            store: a SQLite file, PATH or sqlite:PATH (default qelmap.db),\n"
        "                      or PostgreSQL, postgresql://USER@HOST/DB\n"
        "  --every SECONDS     crawl again every SECONDS (default: one round)\n"
        "  --concurrency N     sessions at once (default 32)\n"
        "  --deadline SECONDS  per agent, connect to last reply (default 10)\n"
        "  --keep DAYS         change history kept (default 30)\n"
        "  --user NAME         user name sent to the agents (default qelmap)\n"
        "Files in the current directory: the CA file kestrova.pem, qelmap.pem and qelmap.csr.\n");
}

void helpQuery() {
    std::printf(
        "usage: qelmap query [--db URL] [-json] QUESTION [ARGS]\n"
        "%s"
        "  --db URL   store (default qelmap.db)\n"
        "  -json      one JSON document instead of a table\n"
        "TIME: seconds since the epoch, YYYY-MM-DD[THH:MM[:SS]] (UTC) or an age: 90s, 15m, 2h, 7d.\n"
        "Exit status: 0, 1 for an unknown host, 2 for a usage error or a store failure.\n",
        kQuestions);
}

void helpServe() {
    std::printf(
        "usage: qelmap serve [--db URL] [--listen ADDR:PORT]\n"
        "\nAnswers the questions as JSON over HTTP, GET /api/QUESTION[/HOST][?depth=N&type=T&since=TIME],\n"
        "and GET /metrics in the Prometheus text format.\n"
        "  --db URL            store (default qelmap.db)\n"
        "  --listen ADDR:PORT  address to listen on (default 127.0.0.1:5271)\n");
}

void helpEnrol() {
    std::printf(
        "usage: qelmap enrol\n"
        "\nMakes the collector's key, certificate request and certificate in the current directory\n"
        "(qelmap.pem, qelmap.csr), signed by the CA of kestrova.pem there, as the other clients\n"
        "of the suite do on their first run. An existing qelmap.pem is kept.\n");
}

int run(int argc, char **argv) {
    if (argc < 2) {
        usage(stderr);
        return 2;
    }
    const std::string verb = argv[1];
    const std::vector<std::string> args(argv + 2, argv + argc);
    const bool help = args.size() == 1 && args[0] == "--help";
    const bool version = args.size() == 1 && args[0] == "--version";
    if (verb == "--help" || verb == "-h") {
        usage(stdout);
        std::printf("%s\nEach command's options: qelmap COMMAND --help.\n", kQuestions);
        return 0;
    }
    if (verb == "--version" || version) {
        std::printf("%s\n", kVersion);
        return 0;
    }
    if (verb == "crawl") {
        if (help) {
            helpCrawl();
            return 0;
        }
        return qelmap::runCrawl(args, stdout, stderr);
    }
    if (verb == "query") {
        if (help) {
            helpQuery();
            return 0;
        }
        return qelmap::runQuery(args, stdout, stderr);
    }
    if (verb == "serve") {
        if (help) {
            helpServe();
            return 0;
        }
        return qelmap::runServe(args, stdout, stderr);
    }
    if (verb == "enrol") {
        if (help) {
            helpEnrol();
            return 0;
        }
        return qelmap::runEnrol(args, stdout, stderr);
    }
    std::fprintf(stderr, "qelmap: unknown command '%s'\n", verb.c_str());
    usage(stderr);
    return 2;
}

} // namespace

int main(int argc, char **argv) {
    try {
        return run(argc, argv);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "qelmap: %s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "qelmap: unexpected failure\n");
    }
    return 2;
}
