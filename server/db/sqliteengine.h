#pragma once

#include "engine.h"

#include <filesystem>

namespace kestrune
{

// The embedded engine: one file, in WAL mode so that readers go on while a write commits.
class SqliteEngine : public Engine
{
public:
    explicit SqliteEngine(std::filesystem::path file) : file(std::move(file)) {}

    std::string_view name() const override { return "sqlite"; }
    std::unique_ptr<Connection> connect(bool readOnly) override;
    void beginWrite(Connection& connection) override;
    int schemaVersion(Connection& connection) override;
    void setSchemaVersion(Connection& connection, int version) override;
    const std::vector<std::string_view>& migrations() const override;
    void continueIds(Connection& connection, std::string_view table,
                     std::string_view column) override;

private:
    std::filesystem::path file;
};

} // namespace kestrune
