#include "storage.h"

#include <sqlite3.h>

#include <vector>

namespace kestrune
{
namespace
{

// Each entry moves the schema one version up; entries are never edited once released, new
// changes are appended.
const std::vector<std::string_view> migrations = {
    R"sql(
    CREATE TABLE users (
        id INTEGER PRIMARY KEY,
        public_id TEXT NOT NULL UNIQUE,
        username TEXT NOT NULL UNIQUE COLLATE NOCASE,
        email TEXT NOT NULL UNIQUE COLLATE NOCASE,
        password_hash TEXT NOT NULL,
        points INTEGER NOT NULL CHECK (points >= 0),
        created_ms INTEGER NOT NULL
    );
    CREATE TABLE tokens (
        digest TEXT PRIMARY KEY,
        user_id INTEGER NOT NULL REFERENCES users(id) ON DELETE CASCADE,
        created_ms INTEGER NOT NULL,
        expires_ms INTEGER NOT NULL
    );
    CREATE INDEX tokens_user ON tokens(user_id);
    CREATE TABLE pending_registrations (
        id TEXT PRIMARY KEY,
        username TEXT NOT NULL,
        email TEXT NOT NULL COLLATE NOCASE,
        password_hash TEXT NOT NULL,
        code_digest TEXT NOT NULL,
        tries INTEGER NOT NULL DEFAULT 0,
        created_ms INTEGER NOT NULL,
        expires_ms INTEGER NOT NULL
    );
    CREATE INDEX pending_email ON pending_registrations(email);
    CREATE TABLE conversations (
        id TEXT PRIMARY KEY,
        user_id INTEGER NOT NULL REFERENCES users(id) ON DELETE CASCADE,
        title TEXT NOT NULL,
        renamed INTEGER NOT NULL DEFAULT 0,
        model TEXT NOT NULL,
        created_ms INTEGER NOT NULL,
        updated_ms INTEGER NOT NULL,
        deleted_ms INTEGER
    );
    CREATE INDEX conversations_user ON conversations(user_id, updated_ms);
    CREATE TABLE messages (
        id INTEGER PRIMARY KEY,
        conversation_id TEXT NOT NULL REFERENCES conversations(id) ON DELETE CASCADE,
        role TEXT NOT NULL CHECK (role IN ('user', 'assistant')),
        content TEXT NOT NULL,
        created_ms INTEGER NOT NULL
    );
    CREATE INDEX messages_conversation ON messages(conversation_id, id);
    CREATE TABLE ledger (
        id INTEGER PRIMARY KEY,
        user_id INTEGER NOT NULL REFERENCES users(id) ON DELETE CASCADE,
        delta INTEGER NOT NULL,
        reason TEXT NOT NULL,
        model TEXT,
        conversation_id TEXT,
        created_ms INTEGER NOT NULL
    );
    )sql",
    // Replies cut short are marked; what each account and conversation stores is counted, so
    // that the bounds on it are checked without summing every message; failed sign-up codes
    // are counted per e-mail address.
    R"sql(
    ALTER TABLE messages ADD COLUMN truncated INTEGER NOT NULL DEFAULT 0;
    ALTER TABLE conversations ADD COLUMN stored_bytes INTEGER NOT NULL DEFAULT 0;
    ALTER TABLE users ADD COLUMN stored_bytes INTEGER NOT NULL DEFAULT 0;
    UPDATE conversations SET stored_bytes = (
        SELECT COALESCE(SUM(length(CAST(content AS BLOB))), 0) FROM messages
        WHERE conversation_id = conversations.id);
    UPDATE users SET stored_bytes = (
        SELECT COALESCE(SUM(stored_bytes), 0) FROM conversations WHERE user_id = users.id);
    CREATE INDEX conversations_deleted ON conversations(user_id, deleted_ms);
    CREATE TABLE code_failures (
        email TEXT NOT NULL COLLATE NOCASE,
        created_ms INTEGER NOT NULL
    );
    CREATE INDEX code_failures_email ON code_failures(email, created_ms);
    )sql",
};

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
    const int rc = sqlite3_step(stmt);
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
    if (version > static_cast<int>(migrations.size()))
        throw DbError("the data folder was written by a newer kestrune-server (schema " +
                          std::to_string(version) + ")",
                      SQLITE_ERROR);
    for (int v = version; v < static_cast<int>(migrations.size()); ++v) {
        exec(migrations[static_cast<std::size_t>(v)]);
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
