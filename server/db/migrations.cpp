#include "migrations.h"

namespace kestrune
{

const std::vector<std::string_view>& sqliteMigrations()
{
    static const std::vector<std::string_view> steps = {
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
        // What every instance of the service must count together. Replies under way, one row
        // each: the reply slot it takes and the points it holds; a row whose lease has run out
        // belongs to an instance that stopped without cleaning up, and counts for nothing.
        // Failed sign-ins in their current window, the addresses known to each account, and
        // the sign-ups of the last hour.
        R"sql(
    CREATE TABLE reply_holds (
        id TEXT PRIMARY KEY,
        user_id INTEGER NOT NULL REFERENCES users(id) ON DELETE CASCADE,
        points INTEGER NOT NULL DEFAULT 0 CHECK (points >= 0),
        instance TEXT NOT NULL,
        expires_ms INTEGER NOT NULL
    );
    CREATE INDEX reply_holds_user ON reply_holds(user_id, expires_ms);
    CREATE INDEX reply_holds_instance ON reply_holds(instance);
    CREATE TABLE login_failures (
        kind TEXT NOT NULL,
        subject TEXT NOT NULL,
        failures INTEGER NOT NULL,
        window_start_ms INTEGER NOT NULL,
        PRIMARY KEY (kind, subject)
    );
    CREATE INDEX login_failures_window ON login_failures(kind, window_start_ms);
    CREATE TABLE login_known (
        pair TEXT PRIMARY KEY,
        last_ms INTEGER NOT NULL
    );
    CREATE INDEX login_known_last ON login_known(last_ms);
    CREATE TABLE signup_attempts (
        address TEXT NOT NULL,
        created_ms INTEGER NOT NULL
    );
    CREATE INDEX signup_attempts_created ON signup_attempts(created_ms);
    )sql",
        // Turns are found by the text they hold, read past the Markdown that marks words up
        // ("**", "__", "~~" and "`" dropped): a trigram index over every message, kept in step
        // with the table by triggers.
        R"sql(
    CREATE VIRTUAL TABLE message_search USING fts5(content, content='', tokenize='trigram');
    INSERT INTO message_search(rowid, content)
        SELECT id, replace(replace(replace(replace(content, '**', ''), '__', ''), '~~', ''), '`', '')
        FROM messages;
    CREATE TRIGGER messages_search_insert AFTER INSERT ON messages BEGIN
        INSERT INTO message_search(rowid, content) VALUES (new.id,
            replace(replace(replace(replace(new.content, '**', ''), '__', ''), '~~', ''), '`', ''));
    END;
    CREATE TRIGGER messages_search_delete AFTER DELETE ON messages BEGIN
        INSERT INTO message_search(message_search, rowid, content) VALUES ('delete', old.id,
            replace(replace(replace(replace(old.content, '**', ''), '__', ''), '~~', ''), '`', ''));
    END;
    CREATE TRIGGER messages_search_update AFTER UPDATE OF content ON messages BEGIN
        INSERT INTO message_search(message_search, rowid, content) VALUES ('delete', old.id,
            replace(replace(replace(replace(old.content, '**', ''), '__', ''), '~~', ''), '`', ''));
        INSERT INTO message_search(rowid, content) VALUES (new.id,
            replace(replace(replace(replace(new.content, '**', ''), '__', ''), '~~', ''), '`', ''));
    END;
    )sql",
    };
    return steps;
}

// The same schema, version for version, in PostgreSQL's words: case-blind names and addresses
// are citext, row ids are identity columns, and conversations get the "rowid" that the
// embedded engine gives every table, so that both list them in the same order.
const std::vector<std::string_view>& postgresMigrations()
{
    static const std::vector<std::string_view> steps = {
        R"sql(
    CREATE EXTENSION IF NOT EXISTS citext;
    CREATE TABLE users (
        id BIGINT GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY,
        public_id TEXT NOT NULL UNIQUE,
        username CITEXT NOT NULL UNIQUE,
        email CITEXT NOT NULL UNIQUE,
        password_hash TEXT NOT NULL,
        points BIGINT NOT NULL CHECK (points >= 0),
        created_ms BIGINT NOT NULL
    );
    CREATE TABLE tokens (
        digest TEXT PRIMARY KEY,
        user_id BIGINT NOT NULL REFERENCES users(id) ON DELETE CASCADE,
        created_ms BIGINT NOT NULL,
        expires_ms BIGINT NOT NULL
    );
    CREATE INDEX tokens_user ON tokens(user_id);
    CREATE TABLE pending_registrations (
        id TEXT PRIMARY KEY,
        username TEXT NOT NULL,
        email CITEXT NOT NULL,
        password_hash TEXT NOT NULL,
        code_digest TEXT NOT NULL,
        tries BIGINT NOT NULL DEFAULT 0,
        created_ms BIGINT NOT NULL,
        expires_ms BIGINT NOT NULL
    );
    CREATE INDEX pending_email ON pending_registrations(email);
    CREATE TABLE conversations (
        id TEXT PRIMARY KEY,
        rowid BIGINT GENERATED BY DEFAULT AS IDENTITY UNIQUE,
        user_id BIGINT NOT NULL REFERENCES users(id) ON DELETE CASCADE,
        title TEXT NOT NULL,
        renamed BIGINT NOT NULL DEFAULT 0,
        model TEXT NOT NULL,
        created_ms BIGINT NOT NULL,
        updated_ms BIGINT NOT NULL,
        deleted_ms BIGINT
    );
    CREATE INDEX conversations_user ON conversations(user_id, updated_ms);
    CREATE TABLE messages (
        id BIGINT GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY,
        conversation_id TEXT NOT NULL REFERENCES conversations(id) ON DELETE CASCADE,
        role TEXT NOT NULL CHECK (role IN ('user', 'assistant')),
        content TEXT NOT NULL,
        created_ms BIGINT NOT NULL
    );
    CREATE INDEX messages_conversation ON messages(conversation_id, id);
    CREATE TABLE ledger (
        id BIGINT GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY,
        user_id BIGINT NOT NULL REFERENCES users(id) ON DELETE CASCADE,
        delta BIGINT NOT NULL,
        reason TEXT NOT NULL,
        model TEXT,
        conversation_id TEXT,
        created_ms BIGINT NOT NULL
    );
    )sql",
        R"sql(
    ALTER TABLE messages ADD COLUMN truncated BIGINT NOT NULL DEFAULT 0;
    ALTER TABLE conversations ADD COLUMN stored_bytes BIGINT NOT NULL DEFAULT 0;
    ALTER TABLE users ADD COLUMN stored_bytes BIGINT NOT NULL DEFAULT 0;
    UPDATE conversations SET stored_bytes = (
        SELECT COALESCE(SUM(octet_length(content)), 0) FROM messages
        WHERE conversation_id = conversations.id);
    UPDATE users SET stored_bytes = (
        SELECT COALESCE(SUM(stored_bytes), 0) FROM conversations WHERE user_id = users.id);
    CREATE INDEX conversations_deleted ON conversations(user_id, deleted_ms);
    CREATE TABLE code_failures (
        email CITEXT NOT NULL,
        created_ms BIGINT NOT NULL
    );
    CREATE INDEX code_failures_email ON code_failures(email, created_ms);
    )sql",
        R"sql(
    CREATE TABLE reply_holds (
        id TEXT PRIMARY KEY,
        user_id BIGINT NOT NULL REFERENCES users(id) ON DELETE CASCADE,
        points BIGINT NOT NULL DEFAULT 0 CHECK (points >= 0),
        instance TEXT NOT NULL,
        expires_ms BIGINT NOT NULL
    );
    CREATE INDEX reply_holds_user ON reply_holds(user_id, expires_ms);
    CREATE INDEX reply_holds_instance ON reply_holds(instance);
    CREATE TABLE login_failures (
        kind TEXT NOT NULL,
        subject TEXT NOT NULL,
        failures BIGINT NOT NULL,
        window_start_ms BIGINT NOT NULL,
        PRIMARY KEY (kind, subject)
    );
    CREATE INDEX login_failures_window ON login_failures(kind, window_start_ms);
    CREATE TABLE login_known (
        pair TEXT PRIMARY KEY,
        last_ms BIGINT NOT NULL
    );
    CREATE INDEX login_known_last ON login_known(last_ms);
    CREATE TABLE signup_attempts (
        address TEXT NOT NULL,
        created_ms BIGINT NOT NULL
    );
    CREATE INDEX signup_attempts_created ON signup_attempts(created_ms);
    )sql",
        // A trigram index over every message's text read past its Markdown marks, which
        // serves ILIKE on that same expression from three characters on.
        R"sql(
    CREATE EXTENSION IF NOT EXISTS pg_trgm;
    CREATE INDEX messages_plain_trgm ON messages USING gin (
        (replace(replace(replace(replace(content, '**', ''), '__', ''), '~~', ''), '`', ''))
        gin_trgm_ops);
    )sql",
    };
    return steps;
}

} // namespace kestrune
