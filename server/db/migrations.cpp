#include "migrations.h"

namespace kestrune
{

const std::vector<std::string_view>& schemaMigrations()
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
    };
    return steps;
}

} // namespace kestrune
