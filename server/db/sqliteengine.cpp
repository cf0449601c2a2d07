#include "sqliteengine.h"

#include "metrics.h"
#include "migrations.h"

#include <sqlite3.h>

namespace kestrune
{
namespace
{

DbError::Kind kindOf(int code)
{
    switch (code & 0xFF) {
    case SQLITE_CONSTRAINT:
        return DbError::Kind::constraint;
    case SQLITE_FULL:
    case SQLITE_IOERR:
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
        return DbError::Kind::transient;
    default:
        return DbError::Kind::other;
    }
}

[[noreturn]] void fail(sqlite3* db, const std::string& what)
{
    throw DbError(what + ": " + sqlite3_errmsg(db), kindOf(sqlite3_extended_errcode(db)));
}

class SqliteCursor : public Cursor
{
public:
    SqliteCursor(sqlite3* db, std::string_view sql) : db(db)
    {
        if (sqlite3_prepare_v2(db, sql.data(), static_cast<int>(sql.size()), &stmt, nullptr) !=
            SQLITE_OK)
            fail(db, "prepare");
    }
    ~SqliteCursor() override { sqlite3_finalize(stmt); }
    SqliteCursor(const SqliteCursor&) = delete;
    SqliteCursor& operator=(const SqliteCursor&) = delete;

    void bind(int index, std::int64_t value) override
    {
        if (sqlite3_bind_int64(stmt, index, value) != SQLITE_OK)
            fail(db, "bind");
    }
    void bind(int index, std::string_view value) override
    {
        if (sqlite3_bind_text64(stmt, index, value.data(), value.size(), SQLITE_TRANSIENT,
                                SQLITE_UTF8) != SQLITE_OK)
            fail(db, "bind");
    }
    void bindNull(int index) override
    {
        if (sqlite3_bind_null(stmt, index) != SQLITE_OK)
            fail(db, "bind");
    }
    bool step() override
    {
        if (!started) {
            started = true;
            metrics::databaseCall();
        }
        const int rc = sqlite3_step(stmt);
        if (rc == SQLITE_ROW)
            return true;
        if (rc == SQLITE_DONE)
            return false;
        fail(db, "step");
    }
    std::int64_t changes() const override { return sqlite3_changes64(db); }
    std::int64_t int64(int column) const override { return sqlite3_column_int64(stmt, column); }
    std::string text(int column) const override
    {
        const auto* p = sqlite3_column_text(stmt, column);
        return p ? std::string(reinterpret_cast<const char*>(p),
                               static_cast<std::size_t>(sqlite3_column_bytes(stmt, column)))
                 : std::string();
    }
    bool isNull(int column) const override
    {
        return sqlite3_column_type(stmt, column) == SQLITE_NULL;
    }

private:
    sqlite3* db;
    sqlite3_stmt* stmt = nullptr;
    bool started = false;
};

class SqliteConnection : public Connection
{
public:
    explicit SqliteConnection(sqlite3* db) : db(db) {}
    ~SqliteConnection() override { sqlite3_close(db); }
    SqliteConnection(const SqliteConnection&) = delete;
    SqliteConnection& operator=(const SqliteConnection&) = delete;

    std::unique_ptr<Cursor> prepare(std::string_view sql) override
    {
        return std::make_unique<SqliteCursor>(db, sql);
    }
    void exec(std::string_view sql) override
    {
        metrics::databaseCall();
        char* error = nullptr;
        if (sqlite3_exec(db, std::string(sql).c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
            const std::string message = error ? error : "unknown error";
            sqlite3_free(error);
            throw DbError("exec: " + message, kindOf(sqlite3_extended_errcode(db)));
        }
    }

private:
    sqlite3* db;
};

} // namespace

std::unique_ptr<Connection> SqliteEngine::connect(bool readOnly)
{
    sqlite3* db = nullptr;
    // Read connections open read-write too: in WAL mode a reader takes part in the shared
    // memory index. "query_only" keeps them from writing.
    if (sqlite3_open_v2(file.c_str(), &db,
                        SQLITE_OPEN_READWRITE | (readOnly ? 0 : SQLITE_OPEN_CREATE) |
                            SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK) {
        const std::string message = db ? sqlite3_errmsg(db) : "out of memory";
        sqlite3_close(db);
        throw DbError("cannot open " + file.string() + ": " + message, DbError::Kind::other);
    }
    auto connection = std::make_unique<SqliteConnection>(db);
    sqlite3_busy_timeout(db, 5000);
    if (readOnly) {
        connection->exec("PRAGMA query_only = ON");
    } else {
        connection->exec("PRAGMA journal_mode = WAL");
        // FULL: a committed charge or message survives even a power cut, not just a killed
        // process.
        connection->exec("PRAGMA synchronous = FULL");
        connection->exec("PRAGMA foreign_keys = ON");
    }
    return connection;
}

void SqliteEngine::beginWrite(Connection& connection)
{
    // IMMEDIATE takes the write lock now, not at the first write: two writers never both read
    // a balance and then both charge it.
    connection.exec("BEGIN IMMEDIATE");
}

int SqliteEngine::schemaVersion(Connection& connection)
{
    auto st = connection.prepare("PRAGMA user_version");
    st->step();
    return static_cast<int>(st->int64(0));
}

void SqliteEngine::setSchemaVersion(Connection& connection, int version)
{
    connection.exec("PRAGMA user_version = " + std::to_string(version));
}

const std::vector<std::string_view>& SqliteEngine::migrations() const
{
    return sqliteMigrations();
}

void SqliteEngine::continueIds(Connection&, std::string_view, std::string_view)
{
    // Integer primary keys continue from the largest one on their own.
}

} // namespace kestrune
