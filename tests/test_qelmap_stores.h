// Both engines of qelmap's store for parameterised tests: a SQLite file in
// the test's directory, or a fresh database on a PostgreSQL server that this
// test program starts (initdb and pg_ctl from Debian's postgresql package)
// in a temporary directory, as nobody when run as root, listening only on a
// Unix socket there. The server is stopped and its directory removed when
// the program ends; where it cannot start, the PostgreSQL cases skip and say
// why.
#ifndef TEST_QELMAP_STORES_H
#define TEST_QELMAP_STORES_H

#include <gtest/gtest.h>

#include <glob.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "store.h"
#include "testutil.h"

namespace qelmaptest {

class PgServer {
public:
    static PgServer &instance() {
        static PgServer server;
        return server;
    }
    bool up() const { return up_; }
    const std::string &why() const { return why_; }

    // A new, empty database on the server; its libpq URL. Its collation
    // is a language's (ICU "en": case and punctuation weigh less), where
    // the server has one, so that the store's own bytewise order is tested.
    std::string newDatabase() {
        const std::string name = "t" + std::to_string(++databases_);
        auto admin = qelmap::openDatabase(url("postgres"));
        try {
            admin->exec("CREATE DATABASE " + name + " TEMPLATE template0 LOCALE_PROVIDER icu ICU_LOCALE 'en'");
        } catch (const qelmap::StoreError &) {
            admin->exec("CREATE DATABASE " + name);
        }
        return url(name);
    }
    std::string url(const std::string &database) const {
        return "postgresql:///" + database + "?host=" + dir_ + "&port=" + kPort + "&user=qelmap";
    }

    PgServer(const PgServer &) = delete;
    PgServer &operator=(const PgServer &) = delete;

private:
    static constexpr const char *kPort = "5432"; // a socket in our own directory: no clash

    PgServer() {
        const std::string bin = binDir();
        if (bin.empty()) {
            why_ = "no PostgreSQL server installed (/usr/lib/postgresql/*/bin/initdb)";
            return;
        }
        char tmpl[] = "/tmp/qelmap-pg-XXXXXX";
        if (!mkdtemp(tmpl)) {
            why_ = "cannot make a temporary directory";
            return;
        }
        dir_ = tmpl;
        // The server refuses to run as root.
        if (geteuid() == 0) {
            const passwd *pw = getpwnam("nobody");
            if (!pw || chown(dir_.c_str(), pw->pw_uid, pw->pw_gid) != 0) {
                why_ = "running as root and cannot hand the directory to nobody";
                return;
            }
            as_ = {"/usr/sbin/runuser", "-u", "nobody", "--"};
        }
        auto r = run(
            {bin + "/initdb", "-D", dir_ + "/data", "-U", "qelmap", "--auth=trust", "--no-locale", "-E", "UTF8", "-N"});
        if (r.exitCode != 0) {
            why_ = "initdb failed: " + r.err;
            return;
        }
        r = run({bin + "/pg_ctl", "-D", dir_ + "/data", "-l", dir_ + "/server.log", "-w", "-t", "60", "-o",
                 "-k " + dir_ + " -c listen_addresses='' -p " + kPort + " -F", "start"});
        started_ = true;
        if (r.exitCode != 0) {
            why_ = "the server did not start: " + r.out + r.err + testutil::readFile(dir_ + "/server.log");
            return;
        }
        bin_ = bin;
        up_ = true;
    }
    ~PgServer() {
        if (started_)
            run({binDir() + "/pg_ctl", "-D", dir_ + "/data", "-m", "immediate", "-w", "stop"});
        if (!dir_.empty()) {
            std::error_code ec;
            std::filesystem::remove_all(dir_, ec);
        }
    }

    testutil::ProcessResult run(std::vector<std::string> argv) const {
        argv.insert(argv.begin(), as_.begin(), as_.end());
        return testutil::runProcess(argv, "/", 120);
    }

    static std::string binDir() {
        glob_t g{};
        std::string best;
        if (glob("/usr/lib/postgresql/*/bin/initdb", 0, nullptr, &g) == 0) {
            std::vector<std::string> found(g.gl_pathv, g.gl_pathv + g.gl_pathc);
            // The newest major version: compare the numbers, not the text.
            std::sort(found.begin(), found.end(), [](const std::string &a, const std::string &b) {
                return std::atoi(a.c_str() + 20) < std::atoi(b.c_str() + 20);
            });
            best = found.back().substr(0, found.back().size() - 7);
        }
        globfree(&g);
        return best;
    }

    std::string dir_, bin_, why_;
    std::vector<std::string> as_;
    bool up_ = false, started_ = false;
    int databases_ = 0;
};

// The store named by engine ("sqlite" or "postgresql"), new and empty: its
// URL, or "" with the reason in why when that engine is not available.
inline std::string newStoreUrl(const std::string &engine, const testutil::TempDir &dir, const std::string &file,
                               std::string &why) {
    if (engine == "sqlite")
        return dir.file(file);
    PgServer &pg = PgServer::instance();
    if (!pg.up()) {
        why = "PostgreSQL store not tested: " + pg.why();
        return "";
    }
    return pg.newDatabase();
}

inline std::string engineName(const ::testing::TestParamInfo<std::string> &info) {
    return info.param;
}

} // namespace qelmaptest

#endif
