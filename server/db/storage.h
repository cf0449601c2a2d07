#pragma once

#include "engine.h"
#include "metrics.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune
{

class Statement
{
public:
    explicit Statement(std::unique_ptr<Cursor> cursor) : cursor(std::move(cursor)) {}

    void bindValue(int index, std::int64_t value) { cursor->bind(index, value); }
    void bindValue(int index, std::string_view value) { cursor->bind(index, value); }
    void bindValue(int index, std::nullptr_t) { cursor->bindNull(index); }

    // Advances to the next row; false when the statement is done.
    bool step();
    // Runs to completion, for statements that return no rows; the rows it changed.
    std::int64_t run();

    std::int64_t int64(int column) const { return cursor->int64(column); }
    std::string text(int column) const { return cursor->text(column); }
    bool isNull(int column) const { return cursor->isNull(column); }

private:
    std::unique_ptr<Cursor> cursor;
};

template <class... Args>
Statement prepareStatement(Connection& connection, std::string_view sql, const Args&... args)
{
    Statement st(connection.prepare(sql));
    int index = 0;
    (st.bindValue(++index, args), ...);
    return st;
}

// Where the data lives: "sqlite:PATH" or a PostgreSQL URI ("postgresql://…" or "postgres://…").
struct DatabaseUrl {
    enum class Engine { sqlite, postgresql } engine = Engine::sqlite;
    std::string location; // the file, or the URI as given
};
// Empty when the text is neither; the error says why.
std::optional<DatabaseUrl> parseDatabaseUrl(std::string_view text, std::string* error = nullptr);

// The database. Writes (and reads that must see a write's effect at once, inside its
// transaction) go through one writing connection behind a mutex: every query is small, so
// serialising them costs little and keeps transactions simple; across processes the engine's
// own write lock does the same. Reads that need no lock take a connection of their own from
// `reader()`, so a sign-in check never waits behind a write.
class Database
{
public:
    enum class Schema {
        upgrade, // bring the schema up to this version first
        asIs,    // leave it as it is (for tools that only read it)
    };
    explicit Database(const DatabaseUrl& url, Schema schema = Schema::upgrade);
    ~Database();
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    [[nodiscard]] std::unique_lock<std::mutex> lock()
    {
        const metrics::Stopwatch waiting;
        std::unique_lock held(mutex);
        metrics::databaseLockWaited(waiting.elapsed());
        return held;
    }

    template <class... Args> Statement prepare(std::string_view sql, const Args&... args)
    {
        return prepareStatement(*writer, sql, args...);
    }
    void exec(std::string_view sql);
    void beginWrite();
    int schemaVersion() { return engine->schemaVersion(*writer); }
    std::string_view engineName() const { return engine->name(); }
    void continueIds(std::string_view table, std::string_view column)
    {
        engine->continueIds(*writer, table, column);
    }

    // A read-only connection lent for the duration of some reads.
    class Reader
    {
    public:
        Reader(Database& owner, std::unique_ptr<Connection> connection)
            : owner(owner), connection(std::move(connection))
        {
        }
        ~Reader();
        Reader(const Reader&) = delete;
        Reader& operator=(const Reader&) = delete;
        template <class... Args> Statement prepare(std::string_view sql, const Args&... args)
        {
            return prepareStatement(*connection, sql, args...);
        }

    private:
        Database& owner;
        std::unique_ptr<Connection> connection;
    };
    [[nodiscard]] Reader reader();

    // Whether the database answers a query now (for readiness checks); never throws.
    bool answers();

    // The schema version this build writes.
    int currentSchemaVersion() const { return static_cast<int>(engine->migrations().size()); }

private:
    void migrate();

    std::unique_ptr<Engine> engine;
    std::unique_ptr<Connection> writer;
    std::mutex mutex;
    std::mutex readersMutex;
    std::vector<std::unique_ptr<Connection>> idleReaders;
};

// A writing transaction; rolled back when left without commit (an exception on the way).
class Transaction
{
public:
    explicit Transaction(Database& db);
    ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    void commit();

private:
    Database& db;
    bool done = false;
};

} // namespace kestrune
