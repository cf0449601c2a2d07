#pragma once

#include "storage.h"

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

// The server tests run against the embedded SQLite file by default, and against PostgreSQL when
// KESTRUNE_TEST_POSTGRES names the environment file of a running throw-away cluster (see
// postgres-cluster). There each data folder gets a database of its own.
bool onPostgres();

// Arguments that point a server or command for `dataDir` at its database: none for SQLite,
// "--database URI" for PostgreSQL (the database is created on first use, dropped when the test
// program ends). Inserted after every "--data DIR" by the helpers that start the server.
std::vector<std::string> databaseArgs(const std::filesystem::path& dataDir);
// `args` with databaseArgs(DIR) after each "--data DIR".
std::vector<std::string> withDatabaseArgs(std::vector<std::string> args);

// The service's own database object for `dataDir` on the engine under test, for testing the
// classes that keep their state in it.
std::unique_ptr<kestrune::Database> openDatabase(const std::filesystem::path& dataDir);

// Runs one SQL statement on the server's database, as an operator or a clock change would.
void sql(const std::filesystem::path& dataDir, const std::string& statement);
// The first column of every row of a query, each followed by a line break.
std::string sqlText(const std::filesystem::path& dataDir, const std::string& query);
