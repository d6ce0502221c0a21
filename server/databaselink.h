#pragma once

#include <cstdint>
#include <memory>
#include <string>

// One connection to the engine under the store: an embedded SQLite file, or a PostgreSQL server
// that several service processes share. The store speaks one SQL through it; what the two
// engines spell differently (schema types, the version stamp, how a writer gets the database to
// itself) lives behind this interface. Not thread-safe: the store serialises its use.
class DatabaseLink
{
public:
    enum class Step { Row, Done, Constraint, Error };

    // A statement with '?' parameters, numbered from 1, bound before the first step.
    class Query
    {
    public:
        virtual ~Query() = default;
        virtual void bind(int i, int64_t v) = 0;
        virtual void bind(int i, const std::string &v) = 0;
        virtual void bindNull(int i) = 0;
        virtual Step step() = 0;
        virtual bool isNull(int col) = 0;
        virtual int64_t integer(int col) = 0;
        virtual std::string text(int col) = 0;
        // Rows the finished statement wrote.
        virtual int64_t changes() = 0;
    };

    virtual ~DatabaseLink() = default;
    virtual std::unique_ptr<Query> prepare(const char *sql) = 0;
    // Runs statements without parameters or results; false (logged) on failure.
    virtual bool exec(const char *sql) = 0;
    // Opens a transaction that holds the only write turn until it ends, so what it counts stays
    // true until it commits, whichever process writes beside it.
    virtual bool beginWrite() = 0;
    // -1 when the version cannot be read; 0 for an empty database. Read inside beginWrite()
    // when the answer decides a migration.
    virtual int schemaVersion() = 0;
    // Runs one migration step (written for SQLite) and stamps the new version, inside the
    // caller's transaction.
    virtual bool migrateStep(const std::string &sql, int version) = 0;
    // True when other processes may use the same database at once.
    virtual bool shared() const = 0;
    // A description for logs, without secrets.
    virtual std::string describe() const = 0;
    // After rows were copied in with their ids: new rows of table get ids past them.
    virtual bool afterBulkCopy(const char *table) = 0;

    static bool isPostgresUrl(const std::string &where);
    // An SQLite file path or a postgresql:// (postgres://) URL.
    static std::unique_ptr<DatabaseLink> open(const std::string &where, std::string &error);
};
