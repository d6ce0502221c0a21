#include "databaselink.h"

#include "log.h"

#include <sqlite3.h>

#include <sys/stat.h>

namespace {

class SqliteQuery : public DatabaseLink::Query
{
public:
    SqliteQuery(sqlite3 *db, const char *sql) : db(db)
    {
        if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) != SQLITE_OK) {
            logx::error("db", "prepare", {{"error", sqlite3_errmsg(db)}});
            stmt = nullptr;
        }
    }
    ~SqliteQuery() override { sqlite3_finalize(stmt); }

    void bind(int i, int64_t v) override
    {
        if (stmt)
            sqlite3_bind_int64(stmt, i, v);
    }
    void bind(int i, const std::string &v) override
    {
        if (stmt)
            sqlite3_bind_text(stmt, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    }
    void bindNull(int i) override
    {
        if (stmt)
            sqlite3_bind_null(stmt, i);
    }
    DatabaseLink::Step step() override
    {
        if (!stmt)
            return DatabaseLink::Step::Error;
        switch (sqlite3_step(stmt)) {
        case SQLITE_ROW:
            return DatabaseLink::Step::Row;
        case SQLITE_DONE:
            written = sqlite3_changes(db);
            return DatabaseLink::Step::Done;
        case SQLITE_CONSTRAINT:
            return DatabaseLink::Step::Constraint;
        default:
            return DatabaseLink::Step::Error;
        }
    }
    bool isNull(int col) override { return sqlite3_column_type(stmt, col) == SQLITE_NULL; }
    int64_t integer(int col) override { return sqlite3_column_int64(stmt, col); }
    std::string text(int col) override
    {
        const unsigned char *p = sqlite3_column_text(stmt, col);
        return p ? std::string(reinterpret_cast<const char *>(p),
                               static_cast<size_t>(sqlite3_column_bytes(stmt, col)))
                 : std::string();
    }
    int64_t changes() override { return written; }

private:
    sqlite3 *db;
    sqlite3_stmt *stmt = nullptr;
    int64_t written = 0;
};

class SqliteLink : public DatabaseLink
{
public:
    explicit SqliteLink(std::string path) : path(std::move(path)) {}
    ~SqliteLink() override { sqlite3_close(db); }

    bool open(std::string &error)
    {
        if (sqlite3_open_v2(path.c_str(), &db,
                            SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                            nullptr) != SQLITE_OK) {
            error = db ? sqlite3_errmsg(db) : "out of memory";
            return false;
        }
        // Password hashes and tokens live here: readable by the service's own user only.
        // SQLite gives its journal files the database file's mode.
        ::chmod(path.c_str(), S_IRUSR | S_IWUSR);
        sqlite3_busy_timeout(db, 5000);
        exec("PRAGMA journal_mode=WAL");
        exec("PRAGMA foreign_keys=ON");
        exec("PRAGMA synchronous=NORMAL");
        return true;
    }

    std::unique_ptr<Query> prepare(const char *sql) override
    {
        return std::make_unique<SqliteQuery>(db, sql);
    }
    bool exec(const char *sql) override
    {
        char *message = nullptr;
        if (sqlite3_exec(db, sql, nullptr, nullptr, &message) != SQLITE_OK) {
            logx::error("db", "exec", {{"error", message ? message : "?"}});
            sqlite3_free(message);
            return false;
        }
        return true;
    }
    bool beginWrite() override { return exec("BEGIN IMMEDIATE"); }
    int schemaVersion() override
    {
        SqliteQuery q(db, "PRAGMA user_version");
        return q.step() == Step::Row ? static_cast<int>(q.integer(0)) : -1;
    }
    bool migrateStep(const std::string &sql, int version) override
    {
        return exec((sql + "; PRAGMA user_version=" + std::to_string(version) + ";").c_str());
    }
    bool shared() const override { return false; }
    std::string describe() const override { return path; }
    bool afterBulkCopy(const char *) override { return true; }

private:
    std::string path;
    sqlite3 *db = nullptr;
};

} // namespace

std::unique_ptr<DatabaseLink> openSqliteLink(const std::string &path, std::string &error)
{
    auto link = std::make_unique<SqliteLink>(path);
    if (!link->open(error))
        return nullptr;
    return link;
}

std::unique_ptr<DatabaseLink> openPostgresLink(const std::string &url, std::string &error);

bool DatabaseLink::isPostgresUrl(const std::string &where)
{
    return where.rfind("postgresql://", 0) == 0 || where.rfind("postgres://", 0) == 0;
}

std::unique_ptr<DatabaseLink> DatabaseLink::open(const std::string &where, std::string &error)
{
    return isPostgresUrl(where) ? openPostgresLink(where, error) : openSqliteLink(where, error);
}
