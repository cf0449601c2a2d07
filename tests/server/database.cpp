#include "database.h"

#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <sqlite3.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <iomanip>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>

namespace
{

struct Cluster {
    std::string host;
    std::string port;
};

// Reads the cluster's PG* variables once and puts them into this process's environment, which
// the servers it starts inherit.
const Cluster* cluster()
{
    static const std::optional<Cluster> found = []() -> std::optional<Cluster> {
        const char* envFile = std::getenv("KESTRUNE_TEST_POSTGRES");
        if (!envFile || !*envFile)
            return std::nullopt;
        std::ifstream in(envFile);
        if (!in)
            throw std::runtime_error(std::string("no PostgreSQL environment in ") + envFile);
        std::string line;
        while (std::getline(in, line)) {
            const auto eq = line.find('=');
            if (eq != std::string::npos && line.starts_with("PG"))
                setenv(line.substr(0, eq).c_str(), line.substr(eq + 1).c_str(), 1);
        }
        const char* host = std::getenv("PGHOST");
        const char* port = std::getenv("PGPORT");
        return Cluster{host ? host : "localhost", port ? port : "5432"};
    }();
    return found ? &*found : nullptr;
}

PGconn* connectTo(const std::string& database)
{
    const std::string conninfo = "dbname=" + database + " connect_timeout=10";
    PGconn* connection = PQconnectdb(conninfo.c_str());
    if (PQstatus(connection) != CONNECTION_OK) {
        const std::string message = PQerrorMessage(connection);
        PQfinish(connection);
        throw std::runtime_error("cannot reach the test cluster: " + message);
    }
    return connection;
}

std::string run(PGconn* connection, const std::string& statement, bool* ok = nullptr)
{
    PGresult* result = PQexec(connection, statement.c_str());
    const auto status = PQresultStatus(result);
    std::string out;
    if (status == PGRES_TUPLES_OK) {
        for (int row = 0; row < PQntuples(result); ++row)
            out += std::string(PQgetvalue(result, row, 0)) + "\n";
    } else if (status != PGRES_COMMAND_OK) {
        out = PQresultErrorMessage(result);
    }
    if (ok)
        *ok = status == PGRES_TUPLES_OK || status == PGRES_COMMAND_OK;
    PQclear(result);
    return out;
}

// The databases this test program made, dropped when it ends.
class CreatedDatabases
{
public:
    ~CreatedDatabases()
    {
        if (names.empty())
            return;
        PGconn* connection = connectTo("postgres");
        for (const auto& name : names)
            run(connection, "DROP DATABASE IF EXISTS " + name + " WITH (FORCE)");
        PQfinish(connection);
    }

    // Creates the database on first use.
    void ensure(const std::string& name)
    {
        std::lock_guard guard(mutex);
        if (names.contains(name))
            return;
        PGconn* connection = connectTo("postgres");
        bool ok = false;
        const std::string error = run(connection, "CREATE DATABASE " + name, &ok);
        PQfinish(connection);
        if (!ok)
            throw std::runtime_error("CREATE DATABASE " + name + ": " + error);
        names.insert(name);
    }

private:
    std::mutex mutex;
    std::set<std::string> names;
};

CreatedDatabases& createdDatabases()
{
    static CreatedDatabases databases;
    return databases;
}

std::string databaseName(const std::filesystem::path& dataDir)
{
    std::ostringstream name;
    name << "kestrune_test_" << std::hex << std::setw(16) << std::setfill('0')
         << std::hash<std::string>{}(std::filesystem::absolute(dataDir).lexically_normal());
    return name.str();
}

std::string postgresText(const std::filesystem::path& dataDir, const std::string& statement,
                         bool& ok)
{
    createdDatabases().ensure(databaseName(dataDir));
    PGconn* connection = connectTo(databaseName(dataDir));
    std::string out = run(connection, statement, &ok);
    PQfinish(connection);
    return out;
}

} // namespace

bool onPostgres()
{
    return cluster() != nullptr;
}

std::vector<std::string> databaseArgs(const std::filesystem::path& dataDir)
{
    const Cluster* pg = cluster();
    if (!pg)
        return {};
    const std::string name = databaseName(dataDir);
    createdDatabases().ensure(name);
    return {"--database", "postgresql://" + pg->host + ":" + pg->port + "/" + name};
}

std::vector<std::string> withDatabaseArgs(std::vector<std::string> args)
{
    std::vector<std::string> out;
    for (std::size_t i = 0; i < args.size(); ++i) {
        out.push_back(args[i]);
        if (args[i] == "--data" && i + 1 < args.size()) {
            out.push_back(args[++i]);
            for (auto& extra : databaseArgs(args[i]))
                out.push_back(std::move(extra));
        }
    }
    return out;
}

std::unique_ptr<kestrune::Database> openDatabase(const std::filesystem::path& dataDir)
{
    const auto args = databaseArgs(dataDir);
    if (!args.empty())
        return std::make_unique<kestrune::Database>(*kestrune::parseDatabaseUrl(args[1]));
    std::filesystem::create_directories(dataDir);
    return std::make_unique<kestrune::Database>(kestrune::DatabaseUrl{
        kestrune::DatabaseUrl::Engine::sqlite, (dataDir / "kestrune.db").string()});
}

void sql(const std::filesystem::path& dataDir, const std::string& statement)
{
    if (onPostgres()) {
        bool ok = false;
        const std::string error = postgresText(dataDir, statement, ok);
        EXPECT_TRUE(ok) << error;
        return;
    }
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((dataDir / "kestrune.db").c_str(), &db), SQLITE_OK);
    sqlite3_busy_timeout(db, 5000);
    EXPECT_EQ(sqlite3_exec(db, statement.c_str(), nullptr, nullptr, nullptr), SQLITE_OK)
        << sqlite3_errmsg(db);
    sqlite3_close(db);
}

std::string sqlText(const std::filesystem::path& dataDir, const std::string& query)
{
    if (onPostgres()) {
        bool ok = false;
        std::string out = postgresText(dataDir, query, ok);
        EXPECT_TRUE(ok) << out;
        return ok ? out : std::string();
    }
    sqlite3* db = nullptr;
    sqlite3_open((dataDir / "kestrune.db").c_str(), &db);
    sqlite3_busy_timeout(db, 5000);
    sqlite3_stmt* st = nullptr;
    std::string out;
    if (sqlite3_prepare_v2(db, query.c_str(), -1, &st, nullptr) == SQLITE_OK)
        while (sqlite3_step(st) == SQLITE_ROW) {
            const auto* text = sqlite3_column_text(st, 0);
            out += std::string(text ? reinterpret_cast<const char*>(text) : "") + "\n";
        }
    sqlite3_finalize(st);
    sqlite3_close(db);
    return out;
}
