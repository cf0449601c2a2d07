#pragma once

#include "engine.h"

namespace kestrune
{

// PostgreSQL, for more than one instance of the service on one database. Every writing
// transaction takes one advisory lock first, so writes across all instances run one at a time
// as they do on the embedded engine, and the service's read-then-write steps (a balance checked
// and then charged) stay correct without retries.
class PostgresEngine : public Engine
{
public:
    explicit PostgresEngine(std::string uri) : uri(std::move(uri)) {}

    std::string_view name() const override { return "postgresql"; }
    std::unique_ptr<Connection> connect(bool readOnly) override;
    void beginWrite(Connection& connection) override;
    int schemaVersion(Connection& connection) override;
    void setSchemaVersion(Connection& connection, int version) override;
    const std::vector<std::string_view>& migrations() const override;
    void continueIds(Connection& connection, std::string_view table,
                     std::string_view column) override;

private:
    std::string uri;
};

// "?" placeholders as PostgreSQL's "$1", "$2", …; quoted text and names are left alone.
std::string numberedPlaceholders(std::string_view sql);

} // namespace kestrune
