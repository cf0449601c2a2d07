#include "storage.h"

#include "migrations.h"

#include <sqlite3.h>

#include <vector>

namespace kestrune
{
namespace
{

[[noreturn]] void fail(sqlite3* db, const std::string& what)
{
    throw DbError(what + ": " + (db ? sqlite3_errmsg(db) : "out of memory"),
                  db ? sqlite3_extended_errcode(db) : SQLITE_NOMEM);
}

} // namespace

bool DbError::isConstraint() const
{
    return (code & 0xFF) == SQLITE_CONSTRAINT;
}

bool DbError::isTransient() const
{
    switch (code & 0xFF) {
    case SQLITE_FULL:
    case SQLITE_IOERR:
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
        return true;
    default:
        return false;
    }
}

Statement::Statement(sqlite3* db, std::string_view sql) : db(db)
{
    if (sqlite3_prepare_v2(db, sql.data(), static_cast<int>(sql.size()), &stmt, nullptr) !=
        SQLITE_OK)
        fail(db, "prepare");
}

Statement::~Statement()
{
    sqlite3_finalize(stmt);
}

Statement::Statement(Statement&& other) noexcept : db(other.db), stmt(other.stmt)
{
    other.stmt = nullptr;
}

void Statement::bindValue(int index, std::int64_t value)
{
    if (sqlite3_bind_int64(stmt, index, value) != SQLITE_OK)
        fail(db, "bind");
}

void Statement::bindValue(int index, std::string_view value)
{
    if (sqlite3_bind_text64(stmt, index, value.data(), value.size(), SQLITE_TRANSIENT,
                            SQLITE_UTF8) != SQLITE_OK)
        fail(db, "bind");
}

void Statement::bindValue(int index, std::nullptr_t)
{
    if (sqlite3_bind_null(stmt, index) != SQLITE_OK)
        fail(db, "bind");
}

bool Statement::step()
{
    const metrics::Stopwatch running;
    const int rc = sqlite3_step(stmt);
    metrics::databaseStatement(running.elapsed());
    if (rc == SQLITE_ROW)
        return true;
    if (rc == SQLITE_DONE)
        return false;
    fail(db, "step");
}

void Statement::run()
{
    while (step()) {
    }
}

std::int64_t Statement::int64(int column) const
{
    return sqlite3_column_int64(stmt, column);
}

std::string Statement::text(int column) const
{
    const auto* p = sqlite3_column_text(stmt, column);
    return p ? std::string(reinterpret_cast<const char*>(p),
                           static_cast<std::size_t>(sqlite3_column_bytes(stmt, column)))
             : std::string();
}

bool Statement::isNull(int column) const
{
    return sqlite3_column_type(stmt, column) == SQLITE_NULL;
}

Database::Database(const std::filesystem::path& file) : file(file)
{
    db = openConnection(false);
    try {
        exec("PRAGMA journal_mode = WAL");
        // FULL: a committed charge or message survives even a power cut, not just a killed
        // process.
        exec("PRAGMA synchronous = FULL");
        exec("PRAGMA foreign_keys = ON");
        migrate();
    } catch (...) {
        sqlite3_close(db);
        throw;
    }
}

sqlite3* Database::openConnection(bool readOnly)
{
    sqlite3* connection = nullptr;
    // Read connections open read-write too: in WAL mode a reader takes part in the shared
    // memory index. "query_only" keeps them from writing.
    if (sqlite3_open_v2(file.c_str(), &connection,
                        SQLITE_OPEN_READWRITE | (readOnly ? 0 : SQLITE_OPEN_CREATE) |
                            SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK) {
        const std::string message = connection ? sqlite3_errmsg(connection) : "out of memory";
        sqlite3_close(connection);
        throw DbError("cannot open " + file.string() + ": " + message, SQLITE_CANTOPEN);
    }
    sqlite3_busy_timeout(connection, 5000);
    if (readOnly)
        sqlite3_exec(connection, "PRAGMA query_only = ON", nullptr, nullptr, nullptr);
    return connection;
}

Database::~Database()
{
    for (sqlite3* reader : idleReaders)
        sqlite3_close(reader);
    sqlite3_close(db);
}

Database::Reader Database::reader()
{
    {
        std::lock_guard guard(readersMutex);
        if (!idleReaders.empty()) {
            sqlite3* connection = idleReaders.back();
            idleReaders.pop_back();
            return Reader(*this, connection);
        }
    }
    // At most one per thread that reads at a time: the pools bound how many there are.
    return Reader(*this, openConnection(true));
}

bool Database::answers()
{
    try {
        auto read = reader();
        return read.prepare("SELECT 1").step();
    } catch (const DbError&) {
        return false;
    }
}

Database::Reader::~Reader()
{
    std::lock_guard guard(owner.readersMutex);
    owner.idleReaders.push_back(connection);
}

void Database::exec(std::string_view sql)
{
    char* error = nullptr;
    if (sqlite3_exec(db, std::string(sql).c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
        const std::string message = error ? error : "unknown error";
        sqlite3_free(error);
        throw DbError("exec: " + message, sqlite3_extended_errcode(db));
    }
}

std::int64_t Database::lastInsertId() const
{
    return sqlite3_last_insert_rowid(db);
}

int Database::schemaVersion()
{
    auto st = prepare("PRAGMA user_version");
    st.step();
    return static_cast<int>(st.int64(0));
}

void Database::migrate()
{
    static_assert(currentSchemaVersion > 0);
    Transaction tx(*this);
    const int version = schemaVersion();
    if (version > static_cast<int>(schemaMigrations().size()))
        throw DbError("the data folder was written by a newer kestrune-server (schema " +
                          std::to_string(version) + ")",
                      SQLITE_ERROR);
    for (int v = version; v < static_cast<int>(schemaMigrations().size()); ++v) {
        exec(schemaMigrations()[static_cast<std::size_t>(v)]);
        exec("PRAGMA user_version = " + std::to_string(v + 1));
    }
    tx.commit();
}

Transaction::Transaction(Database& db) : db(db)
{
    db.exec("BEGIN IMMEDIATE");
}

Transaction::~Transaction()
{
    if (!done) {
        try {
            db.exec("ROLLBACK");
        } catch (const DbError&) {
            // Nothing more can be done: the connection rolls back on its own when closed.
        }
    }
}

void Transaction::commit()
{
    db.exec("COMMIT");
    done = true;
}

} // namespace kestrune
