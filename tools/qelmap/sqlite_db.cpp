// The SQLite engine of qelmap's store: one file, write-ahead log, prepared
// statements kept by their text.
#include <sqlite3.h>

#include <string>
#include <unordered_map>

#include "store.h"

namespace qelmap {

namespace {

class SqliteDatabase final : public Database {
public:
    explicit SqliteDatabase(const std::string &path) {
        const int rc = sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
        if (rc != SQLITE_OK) {
            const std::string why = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
            sqlite3_close(db_);
            db_ = nullptr;
            throw StoreError("cannot open " + path + ": " + why);
        }
        // A writer holding the lock for a round makes others wait, not fail.
        sqlite3_busy_timeout(db_, 5000);
        exec("PRAGMA journal_mode=WAL", {});
        exec("PRAGMA synchronous=NORMAL", {});
    }
    ~SqliteDatabase() override {
        for (auto &[sql, stmt] : statements_)
            sqlite3_finalize(stmt);
        sqlite3_close(db_);
    }
    SqliteDatabase(const SqliteDatabase &) = delete;
    SqliteDatabase &operator=(const SqliteDatabase &) = delete;

    void exec(const std::string &sql, const std::vector<Param> &params) override { run(sql, params, nullptr); }
    std::vector<Row> query(const std::string &sql, const std::vector<Param> &params) override {
        std::vector<Row> rows;
        run(sql, params, &rows);
        return rows;
    }
    void begin() override { exec("BEGIN IMMEDIATE", {}); }
    void commit() override { exec("COMMIT", {}); }
    void rollback() override {
        if (!sqlite3_get_autocommit(db_))
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    std::string idColumn() const override { return "INTEGER PRIMARY KEY"; }

private:
    sqlite3_stmt *prepare(const std::string &sql) {
        auto it = statements_.find(sql);
        if (it != statements_.end())
            return it->second;
        sqlite3_stmt *stmt = nullptr;
        if (sqlite3_prepare_v2(db_, sql.c_str(), static_cast<int>(sql.size()), &stmt, nullptr) != SQLITE_OK)
            fail(sql);
        statements_.emplace(sql, stmt);
        return stmt;
    }

    [[noreturn]] void fail(const std::string &sql) {
        std::string what = sqlite3_errmsg(db_);
        const std::string first = sql.substr(0, sql.find_first_of("(\n"));
        throw StoreError(what + " (in: " + first + ")");
    }

    void run(const std::string &sql, const std::vector<Param> &params, std::vector<Row> *rows) {
        sqlite3_stmt *stmt = prepare(sql);
        sqlite3_reset(stmt);
        sqlite3_clear_bindings(stmt);
        for (size_t i = 0; i < params.size(); ++i) {
            const int at = static_cast<int>(i + 1);
            if (const auto *n = std::get_if<int64_t>(&params[i]))
                sqlite3_bind_int64(stmt, at, *n);
            else if (const auto *s = std::get_if<std::string>(&params[i]))
                sqlite3_bind_text(stmt, at, s->data(), static_cast<int>(s->size()), SQLITE_TRANSIENT);
            else
                sqlite3_bind_null(stmt, at);
        }
        for (;;) {
            const int rc = sqlite3_step(stmt);
            if (rc == SQLITE_DONE)
                break;
            if (rc != SQLITE_ROW) {
                // The statement's error, not the reset's.
                std::string what = sqlite3_errmsg(db_);
                sqlite3_reset(stmt);
                throw StoreError(what + " (in: " + sql.substr(0, sql.find_first_of("(\n")) + ")");
            }
            if (!rows)
                continue;
            Row &row = rows->emplace_back();
            const int n = sqlite3_column_count(stmt);
            row.reserve(n);
            for (int c = 0; c < n; ++c) {
                if (sqlite3_column_type(stmt, c) == SQLITE_NULL) {
                    row.emplace_back();
                } else {
                    const auto *text = reinterpret_cast<const char *>(sqlite3_column_text(stmt, c));
                    row.emplace_back(std::string(text, static_cast<size_t>(sqlite3_column_bytes(stmt, c))));
                }
            }
        }
        sqlite3_reset(stmt);
    }

    sqlite3 *db_ = nullptr;
    std::unordered_map<std::string, sqlite3_stmt *> statements_;
};

} // namespace

std::unique_ptr<Database> openSqlite(const std::string &path) {
    return std::make_unique<SqliteDatabase>(path);
}

std::unique_ptr<Database> openDatabase(const std::string &url) {
    if (url.rfind("sqlite:", 0) == 0)
        return openSqlite(url.substr(7));
    if (url.rfind("postgresql:", 0) == 0 || url.rfind("postgres:", 0) == 0)
        return openPostgres(url);
    if (url.find("://") != std::string::npos)
        throw StoreError("unknown store " + url);
    if (url.empty())
        throw StoreError("empty store name");
    return openSqlite(url);
}

} // namespace qelmap
