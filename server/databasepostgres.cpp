#include "databaselink.h"

#include "log.h"

#include <libpq-fe.h>

#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// The key of the advisory lock that every writing transaction takes: the database's one writer
// at a time, as with SQLite, across all nodes.
constexpr int64_t WriteLockKey = 0x626f7276616e65; // "borvane"

// The store writes '?' placeholders; PostgreSQL numbers them. Quoted text is left alone.
std::string numberedPlaceholders(const char *sql)
{
    std::string out;
    int n = 0;
    bool quoted = false;
    for (const char *p = sql; *p; ++p) {
        if (*p == '\'')
            quoted = !quoted;
        if (*p == '?' && !quoted)
            out += "$" + std::to_string(++n);
        else
            out += *p;
    }
    return out;
}

// Migrations are written for SQLite: its auto-numbered keys become serials and its integers
// (all 64-bit there) bigints.
std::string postgresSchema(std::string sql)
{
    auto replaceAll = [&sql](const std::string &from, const std::string &to) {
        for (size_t at = sql.find(from); at != std::string::npos;
             at = sql.find(from, at + to.size()))
            sql.replace(at, from.size(), to);
    };
    replaceAll("INTEGER PRIMARY KEY AUTOINCREMENT", "BIGSERIAL PRIMARY KEY");
    replaceAll("INTEGER", "BIGINT");
    return sql;
}

bool failed(PGresult *r)
{
    const ExecStatusType status = PQresultStatus(r);
    return status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK;
}

class PostgresQuery : public DatabaseLink::Query
{
public:
    PostgresQuery(PGconn *conn, const char *sql) : conn(conn), sql(numberedPlaceholders(sql)) {}
    ~PostgresQuery() override { PQclear(result); }

    void bind(int i, int64_t v) override { set(i, std::to_string(v)); }
    void bind(int i, const std::string &v) override { set(i, v); }
    void bindNull(int i) override
    {
        set(i, std::string());
        nulls[size_t(i - 1)] = true;
    }
    DatabaseLink::Step step() override
    {
        if (!result) {
            std::vector<const char *> values(params.size());
            for (size_t i = 0; i < params.size(); ++i)
                values[i] = nulls[i] ? nullptr : params[i].c_str();
            result = PQexecParams(conn, sql.c_str(), int(values.size()), nullptr, values.data(),
                                  nullptr, nullptr, 0);
            if (failed(result)) {
                const char *state = PQresultErrorField(result, PG_DIAG_SQLSTATE);
                // Class 23: a constraint said no, which callers expect and handle.
                if (state && std::strncmp(state, "23", 2) == 0)
                    return DatabaseLink::Step::Constraint;
                logx::error("db", "query", {{"error", PQresultErrorMessage(result)}});
                return DatabaseLink::Step::Error;
            }
            row = -1;
        }
        if (failed(result))
            return DatabaseLink::Step::Error;
        if (++row < PQntuples(result))
            return DatabaseLink::Step::Row;
        return DatabaseLink::Step::Done;
    }
    bool isNull(int col) override { return PQgetisnull(result, row, col); }
    int64_t integer(int col) override
    {
        return std::strtoll(PQgetvalue(result, row, col), nullptr, 10);
    }
    std::string text(int col) override
    {
        return std::string(PQgetvalue(result, row, col),
                           static_cast<size_t>(PQgetlength(result, row, col)));
    }
    int64_t changes() override
    {
        return result ? std::strtoll(PQcmdTuples(result), nullptr, 10) : 0;
    }

private:
    void set(int i, std::string v)
    {
        if (i < 1 || i > 1000)
            return;
        if (params.size() < size_t(i)) {
            params.resize(size_t(i));
            nulls.resize(size_t(i));
        }
        params[size_t(i - 1)] = std::move(v);
        nulls[size_t(i - 1)] = false;
    }

    PGconn *conn;
    std::string sql;
    std::vector<std::string> params;
    std::vector<bool> nulls;
    PGresult *result = nullptr;
    int row = -1;
};

class PostgresLink : public DatabaseLink
{
public:
    ~PostgresLink() override { PQfinish(conn); }

    bool open(const std::string &url, std::string &error)
    {
        // A database host that stops answering must not hold the relay's thread for long: the
        // connection gives up after ten seconds of silence. The URL may say otherwise; it comes
        // last and wins.
        const char *const keys[] = {"connect_timeout",
                                    "tcp_user_timeout",
                                    "keepalives",
                                    "keepalives_idle",
                                    "keepalives_interval",
                                    "keepalives_count",
                                    "application_name",
                                    "dbname",
                                    nullptr};
        const char *const values[] = {"10", "10000",          "1",         "10",   "5",
                                      "2",  "borvane-server", url.c_str(), nullptr};
        conn = PQconnectdbParams(keys, values, 1);
        if (!conn || PQstatus(conn) != CONNECTION_OK) {
            error = conn ? PQerrorMessage(conn) : "out of memory";
            while (!error.empty() && (error.back() == '\n' || error.back() == ' '))
                error.pop_back();
            return false;
        }
        // The server's notices ("relation exists, skipping") are not the service's to log.
        PQsetNoticeProcessor(
            conn, [](void *, const char *) {}, nullptr);
        where = std::string(PQuser(conn)) + "@" + (PQhost(conn) ? PQhost(conn) : "") + ":" +
                PQport(conn) + "/" + PQdb(conn);
        // Several nodes may start together: the version table is made under the write lock.
        if (!beginWrite() ||
            !exec("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL); COMMIT")) {
            exec("ROLLBACK");
            error = "cannot prepare the schema version table";
            return false;
        }
        return true;
    }

    std::unique_ptr<Query> prepare(const char *sql) override
    {
        reconnectIfLost();
        return std::make_unique<PostgresQuery>(conn, sql);
    }
    bool exec(const char *sql) override
    {
        reconnectIfLost();
        PGresult *r = PQexec(conn, sql);
        const bool ok = !failed(r);
        if (!ok)
            logx::error("db", "exec", {{"error", PQresultErrorMessage(r)}});
        PQclear(r);
        return ok;
    }
    bool beginWrite() override
    {
        return exec(
            ("BEGIN; SELECT pg_advisory_xact_lock(" + std::to_string(WriteLockKey) + ")").c_str());
    }
    int schemaVersion() override
    {
        PostgresQuery q(conn, "SELECT COALESCE(MAX(version), 0) FROM schema_version");
        return q.step() == Step::Row ? static_cast<int>(q.integer(0)) : -1;
    }
    bool migrateStep(const std::string &sql, int version) override
    {
        return exec(postgresSchema(sql).c_str()) &&
               exec(("DELETE FROM schema_version; INSERT INTO schema_version VALUES (" +
                     std::to_string(version) + ")")
                        .c_str());
    }
    bool shared() const override { return true; }
    std::string describe() const override { return "postgresql://" + where; }
    bool afterBulkCopy(const char *table) override
    {
        const std::string t = table;
        return exec(("SELECT setval(pg_get_serial_sequence('" + t +
                     "', 'id'), "
                     "COALESCE((SELECT MAX(id) FROM " +
                     t + "), 0) + 1, false)")
                        .c_str());
    }

private:
    // A server restart or a dropped connection: the next statement gets a new one. A
    // transaction that was open is gone with it, and its statements fail as they should.
    void reconnectIfLost()
    {
        if (PQstatus(conn) == CONNECTION_OK)
            return;
        logx::warn("db", "reconnect", {{"db", describe()}});
        PQreset(conn);
    }

    PGconn *conn = nullptr;
    std::string where;
};

} // namespace

std::unique_ptr<DatabaseLink> openPostgresLink(const std::string &url, std::string &error)
{
    auto link = std::make_unique<PostgresLink>();
    if (!link->open(url, error))
        return nullptr;
    return link;
}
