#include "postgresengine.h"

#include "metrics.h"
#include "migrations.h"

#include <libpq-fe.h>

#include <charconv>
#include <optional>
#include <unordered_map>

namespace kestrune
{
namespace
{

// Any two numbers, the same in every instance: the lock that orders writing transactions.
constexpr const char* takeWriteLock = "SELECT pg_advisory_xact_lock(4739, 1)";

// A query that runs longer than this is cut, so that a stuck lock or a slow server turns into
// an error the client sees instead of a request that never ends.
constexpr const char* sessionSettings = "SET statement_timeout = 15000; "
                                        "SET idle_in_transaction_session_timeout = 60000";

DbError::Kind kindOf(const char* sqlState)
{
    const std::string_view state = sqlState ? sqlState : "";
    if (state.starts_with("23"))
        return DbError::Kind::constraint;
    // No connection, a serialisation failure or deadlock, no resources, a server going down, a
    // statement cut by its timeout.
    if (state.empty() || state.starts_with("08") || state.starts_with("40") ||
        state.starts_with("53") || state.starts_with("57"))
        return DbError::Kind::transient;
    return DbError::Kind::other;
}

struct ResultDeleter {
    void operator()(PGresult* result) const { PQclear(result); }
};
using Result = std::unique_ptr<PGresult, ResultDeleter>;

// Throws unless `result` is one of the statuses a statement may end with.
void check(PGconn* connection, const Result& result, const char* what)
{
    const auto status = result ? PQresultStatus(result.get()) : PGRES_FATAL_ERROR;
    if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK)
        return;
    const char* state = result ? PQresultErrorField(result.get(), PG_DIAG_SQLSTATE) : nullptr;
    std::string message = result ? PQresultErrorMessage(result.get()) : "";
    if (message.empty())
        message = PQerrorMessage(connection);
    while (!message.empty() && (message.back() == '\n' || message.back() == ' '))
        message.pop_back();
    throw DbError(std::string(what) + ": " + message, PQstatus(connection) == CONNECTION_BAD
                                                          ? DbError::Kind::transient
                                                          : kindOf(state));
}

// Statements prepared once per connection, so that the server parses and plans each of the
// service's few statements once instead of at every run.
class PreparedStatements
{
public:
    explicit PreparedStatements(PGconn* connection) : connection(connection) {}

    // Runs `sql` ("$1" placeholders) with `values`; prepared on its first run.
    Result run(const std::string& sql, const std::vector<const char*>& values)
    {
        const int count = static_cast<int>(values.size());
        auto it = names.find(sql);
        if (it == names.end()) {
            // Statements made up at run time (the copy's) need not fill the server's memory.
            if (names.size() >= maxPrepared) {
                metrics::databaseCall();
                return Result(PQexecParams(connection, sql.c_str(), count, nullptr, values.data(),
                                           nullptr, nullptr, 0));
            }
            std::string name = "k";
            name += std::to_string(names.size() + 1);
            metrics::databaseCall();
            const Result prepared(PQprepare(connection, name.c_str(), sql.c_str(), 0, nullptr));
            check(connection, prepared, "prepare");
            it = names.emplace(sql, name).first;
        }
        metrics::databaseCall();
        return Result(PQexecPrepared(connection, it->second.c_str(), count, values.data(), nullptr,
                                     nullptr, 0));
    }

    // A new session has none of them.
    void forget() { names.clear(); }

private:
    static constexpr std::size_t maxPrepared = 200;

    PGconn* connection;
    std::unordered_map<std::string, std::string> names; // SQL -> statement name
};

class PostgresCursor : public Cursor
{
public:
    PostgresCursor(PGconn* connection, PreparedStatements& prepared, std::string_view sql)
        : connection(connection), prepared(prepared), sql(numberedPlaceholders(sql))
    {
    }

    void bind(int index, std::int64_t value) override { slot(index) = std::to_string(value); }
    void bind(int index, std::string_view value) override { slot(index) = std::string(value); }
    void bindNull(int index) override { slot(index).reset(); }

    bool step() override
    {
        if (!result) {
            std::vector<const char*> values;
            values.reserve(parameters.size());
            for (const auto& p : parameters)
                values.push_back(p ? p->c_str() : nullptr);
            result = prepared.run(sql, values);
            check(connection, result, "query");
            rows = PQntuples(result.get());
            row = -1;
        }
        return ++row < rows;
    }
    std::int64_t changes() const override
    {
        const char* count = result ? PQcmdTuples(result.get()) : "";
        std::int64_t n = 0;
        std::from_chars(count, count + std::char_traits<char>::length(count), n);
        return n;
    }
    std::int64_t int64(int column) const override
    {
        const std::string_view value = field(column);
        std::int64_t n = 0;
        std::from_chars(value.data(), value.data() + value.size(), n);
        return n;
    }
    std::string text(int column) const override { return std::string(field(column)); }
    bool isNull(int column) const override
    {
        return !readable(column) || PQgetisnull(result.get(), row, column);
    }

private:
    std::optional<std::string>& slot(int index)
    {
        if (index < 1)
            throw DbError("bind: no parameter " + std::to_string(index), DbError::Kind::other);
        if (parameters.size() < static_cast<std::size_t>(index))
            parameters.resize(static_cast<std::size_t>(index));
        return parameters[static_cast<std::size_t>(index - 1)];
    }
    bool readable(int column) const
    {
        return result && row >= 0 && row < rows && column >= 0 && column < PQnfields(result.get());
    }
    std::string_view field(int column) const
    {
        if (!readable(column))
            return {};
        return {PQgetvalue(result.get(), row, column),
                static_cast<std::size_t>(PQgetlength(result.get(), row, column))};
    }

    PGconn* connection;
    PreparedStatements& prepared;
    std::string sql;
    std::vector<std::optional<std::string>> parameters;
    Result result;
    int rows = 0;
    int row = -1;
};

class PostgresConnection : public Connection
{
public:
    PostgresConnection(PGconn* connection, bool readOnly)
        : connection(connection), prepared(connection), readOnly(readOnly)
    {
    }
    ~PostgresConnection() override { PQfinish(connection); }
    PostgresConnection(const PostgresConnection&) = delete;
    PostgresConnection& operator=(const PostgresConnection&) = delete;

    std::unique_ptr<Cursor> prepare(std::string_view sql) override
    {
        reconnectIfLost();
        return std::make_unique<PostgresCursor>(connection, prepared, sql);
    }
    void exec(std::string_view sql) override
    {
        reconnectIfLost();
        metrics::databaseCall();
        const Result result(PQexec(connection, std::string(sql).c_str()));
        check(connection, result, "exec");
    }

    void configure()
    {
        exec(sessionSettings);
        if (readOnly)
            exec("SET default_transaction_read_only = on");
    }

private:
    // A server restarted or a network cut: the next statement tries a fresh connection, and
    // fails as a transient error if that cannot be had either.
    void reconnectIfLost()
    {
        if (PQstatus(connection) != CONNECTION_BAD)
            return;
        PQreset(connection);
        prepared.forget();
        if (PQstatus(connection) != CONNECTION_OK)
            throw DbError(std::string("reconnect: ") + PQerrorMessage(connection),
                          DbError::Kind::transient);
        const Result result(PQexec(connection, sessionSettings));
        check(connection, result, "exec");
        if (readOnly) {
            const Result readOnlyResult(
                PQexec(connection, "SET default_transaction_read_only = on"));
            check(connection, readOnlyResult, "exec");
        }
    }

    PGconn* connection;
    PreparedStatements prepared;
    bool readOnly;
};

} // namespace

std::string numberedPlaceholders(std::string_view sql)
{
    std::string out;
    out.reserve(sql.size() + 16);
    int next = 0;
    char quote = 0;
    for (const char c : sql) {
        if (quote) {
            if (c == quote)
                quote = 0;
            out += c;
        } else if (c == '\'' || c == '"') {
            quote = c;
            out += c;
        } else if (c == '?') {
            out += '$';
            out += std::to_string(++next);
        } else {
            out += c;
        }
    }
    return out;
}

std::unique_ptr<Connection> PostgresEngine::connect(bool readOnly)
{
    // Our defaults first: whatever the URI says wins over them.
    const char* keys[] = {"connect_timeout", "application_name", "dbname", nullptr};
    const char* values[] = {"5", "kestrune-server", uri.c_str(), nullptr};
    PGconn* raw = PQconnectdbParams(keys, values, 1);
    if (!raw)
        throw DbError("cannot connect to PostgreSQL: out of memory", DbError::Kind::transient);
    if (PQstatus(raw) != CONNECTION_OK) {
        std::string message = PQerrorMessage(raw);
        PQfinish(raw);
        while (!message.empty() && (message.back() == '\n' || message.back() == ' '))
            message.pop_back();
        throw DbError("cannot connect to PostgreSQL: " + message, DbError::Kind::transient);
    }
    auto connection = std::make_unique<PostgresConnection>(raw, readOnly);
    connection->configure();
    return connection;
}

void PostgresEngine::beginWrite(Connection& connection)
{
    // One round trip for both.
    try {
        connection.exec(std::string("BEGIN; ") + takeWriteLock);
    } catch (const DbError&) {
        // The lock was not had in time: the transaction must not stay open and aborted.
        try {
            connection.exec("ROLLBACK");
        } catch (const DbError&) {
        }
        throw;
    }
}

int PostgresEngine::schemaVersion(Connection& connection)
{
    connection.exec("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)");
    auto st = connection.prepare("SELECT COALESCE(MAX(version), 0) FROM schema_version");
    st->step();
    return static_cast<int>(st->int64(0));
}

void PostgresEngine::setSchemaVersion(Connection& connection, int version)
{
    connection.exec("DELETE FROM schema_version; INSERT INTO schema_version VALUES (" +
                    std::to_string(version) + ")");
}

const std::vector<std::string_view>& PostgresEngine::migrations() const
{
    return postgresMigrations();
}

void PostgresEngine::continueIds(Connection& connection, std::string_view table,
                                 std::string_view column)
{
    const std::string name(table), id(column);
    connection.exec("SELECT setval(pg_get_serial_sequence('" + name + "', '" + id +
                    "'), COALESCE((SELECT MAX(" + id + ") FROM " + name + "), 0) + 1, false)");
}

} // namespace kestrune
