#pragma once

#include "metrics.h"

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace kestrune
{

class DbError : public std::runtime_error
{
public:
    DbError(const std::string& what, int code) : std::runtime_error(what), code(code) {}
    int code;
    bool isConstraint() const;
    // A full disk, an I/O error or a busy database: the request may succeed later.
    bool isTransient() const;
};

class Statement
{
public:
    Statement(sqlite3* db, std::string_view sql);
    ~Statement();
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    Statement(Statement&& other) noexcept;
    Statement& operator=(Statement&&) = delete;

    void bindValue(int index, std::int64_t value);
    void bindValue(int index, std::string_view value);
    void bindValue(int index, std::nullptr_t);

    // Advances to the next row; false when the statement is done.
    bool step();
    // Runs to completion, for statements that return no rows.
    void run();

    std::int64_t int64(int column) const;
    std::string text(int column) const;
    bool isNull(int column) const;

private:
    sqlite3* db;
    sqlite3_stmt* stmt = nullptr;
};

template <class... Args>
Statement prepareStatement(sqlite3* db, std::string_view sql, const Args&... args)
{
    Statement st(db, sql);
    int index = 0;
    (st.bindValue(++index, args), ...);
    return st;
}

// The SQLite database in WAL mode. Writes (and reads that must see a write's effect at once,
// inside its transaction) go through the one writing connection behind a mutex: every query is
// small, so serialising them costs little and keeps transactions simple. Reads that need no
// lock take a connection of their own from `reader()`: WAL lets them go on while a write
// commits, so a sign-in check never waits behind the disk.
class Database
{
public:
    explicit Database(const std::filesystem::path& file);
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
        return prepareStatement(db, sql, args...);
    }
    void exec(std::string_view sql);
    std::int64_t lastInsertId() const;
    int schemaVersion();

    // A read-only connection lent for the duration of some reads.
    class Reader
    {
    public:
        Reader(Database& owner, sqlite3* connection) : owner(owner), connection(connection) {}
        ~Reader();
        Reader(const Reader&) = delete;
        Reader& operator=(const Reader&) = delete;
        template <class... Args> Statement prepare(std::string_view sql, const Args&... args)
        {
            return prepareStatement(connection, sql, args...);
        }

    private:
        Database& owner;
        sqlite3* connection;
    };
    [[nodiscard]] Reader reader();

    // Whether the database answers a query now (for readiness checks); never throws.
    bool answers();

    static constexpr int currentSchemaVersion = 2;

private:
    void migrate();
    sqlite3* openConnection(bool readOnly);

    std::filesystem::path file;
    sqlite3* db = nullptr;
    std::mutex mutex;
    std::mutex readersMutex;
    std::vector<sqlite3*> idleReaders;
};

// BEGIN IMMEDIATE … COMMIT; rolled back when left without commit (an exception on the way).
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
