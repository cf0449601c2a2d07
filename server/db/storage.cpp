#include "storage.h"

#include "postgresengine.h"
#include "sqliteengine.h"

namespace kestrune
{
namespace
{

std::unique_ptr<Engine> makeEngine(const DatabaseUrl& url)
{
    if (url.engine == DatabaseUrl::Engine::postgresql)
        return std::make_unique<PostgresEngine>(url.location);
    return std::make_unique<SqliteEngine>(url.location);
}

} // namespace

std::optional<DatabaseUrl> parseDatabaseUrl(std::string_view text, std::string* error)
{
    auto refuse = [&](const char* why) -> std::optional<DatabaseUrl> {
        if (error)
            *error = why;
        return std::nullopt;
    };
    if (text.starts_with("sqlite:")) {
        const std::string_view path = text.substr(7);
        if (path.empty())
            return refuse("sqlite: needs a file, as in sqlite:/var/lib/kestrune/kestrune.db");
        return DatabaseUrl{DatabaseUrl::Engine::sqlite, std::string(path)};
    }
    if (text.starts_with("postgresql://") || text.starts_with("postgres://"))
        return DatabaseUrl{DatabaseUrl::Engine::postgresql, std::string(text)};
    return refuse("not sqlite:PATH nor a postgresql:// URI");
}

bool Statement::step()
{
    const metrics::Stopwatch running;
    const bool row = cursor->step();
    metrics::databaseStatement(running.elapsed());
    return row;
}

std::int64_t Statement::run()
{
    while (step()) {
    }
    return cursor->changes();
}

void Database::exec(std::string_view sql)
{
    const metrics::Stopwatch running;
    writer->exec(sql);
    metrics::databaseStatement(running.elapsed());
}

void Database::beginWrite()
{
    const metrics::Stopwatch running;
    engine->beginWrite(*writer);
    metrics::databaseStatement(running.elapsed());
}

Database::Database(const DatabaseUrl& url, Schema schema)
    : engine(makeEngine(url)), writer(engine->connect(false))
{
    if (schema == Schema::upgrade)
        migrate();
}

Database::~Database() = default;

Database::Reader Database::reader()
{
    {
        std::lock_guard guard(readersMutex);
        if (!idleReaders.empty()) {
            auto connection = std::move(idleReaders.back());
            idleReaders.pop_back();
            return Reader(*this, std::move(connection));
        }
    }
    // At most one per thread that reads at a time: the pools bound how many there are.
    return Reader(*this, engine->connect(true));
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
    owner.idleReaders.push_back(std::move(connection));
}

void Database::migrate()
{
    const auto& steps = engine->migrations();
    const auto lock = this->lock();
    Transaction tx(*this);
    const int version = schemaVersion();
    if (version > static_cast<int>(steps.size()))
        throw DbError("the database was written by a newer kestrune-server (schema " +
                          std::to_string(version) + ", this one knows " +
                          std::to_string(steps.size()) + ")",
                      DbError::Kind::other);
    for (int v = version; v < static_cast<int>(steps.size()); ++v) {
        exec(steps[static_cast<std::size_t>(v)]);
        engine->setSchemaVersion(*writer, v + 1);
    }
    tx.commit();
}

Transaction::Transaction(Database& db) : db(db)
{
    db.beginWrite();
}

Transaction::~Transaction()
{
    if (!done) {
        try {
            db.exec("ROLLBACK");
        } catch (const DbError&) {
            // Nothing more can be done: the server rolls back on its own when the connection
            // closes.
        }
    }
}

void Transaction::commit()
{
    db.exec("COMMIT");
    done = true;
}

} // namespace kestrune
