#pragma once

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>

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

// One SQLite connection in WAL mode, shared by all worker threads behind a mutex: every query
// here is small, so serialising them costs little and keeps transactions simple.
class Database
{
public:
    explicit Database(const std::filesystem::path& file);
    ~Database();
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    [[nodiscard]] std::unique_lock<std::mutex> lock() { return std::unique_lock(mutex); }

    template <class... Args> Statement prepare(std::string_view sql, const Args&... args)
    {
        Statement st(db, sql);
        int index = 0;
        (st.bindValue(++index, args), ...);
        return st;
    }
    void exec(std::string_view sql);
    std::int64_t lastInsertId() const;
    int schemaVersion();

    static constexpr int currentSchemaVersion = 1;

private:
    void migrate();

    sqlite3* db = nullptr;
    std::mutex mutex;
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

std::int64_t nowMs();
std::string isoTime(std::int64_t ms);

} // namespace kestrune
