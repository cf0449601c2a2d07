#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune
{

class DbError : public std::runtime_error
{
public:
    enum class Kind {
        constraint, // a uniqueness or check constraint refused the change
        transient,  // a full disk, an I/O error, a busy or unreachable server: may work later
        other,
    };
    DbError(const std::string& what, Kind kind) : std::runtime_error(what), kind(kind) {}
    Kind kind;
    bool isConstraint() const { return kind == Kind::constraint; }
    bool isTransient() const { return kind == Kind::transient; }
};

// One statement on one connection: parameters bound by position from 1, rows read by column
// from 0. Integers and text are all the service stores.
class Cursor
{
public:
    virtual ~Cursor() = default;
    virtual void bind(int index, std::int64_t value) = 0;
    virtual void bind(int index, std::string_view value) = 0;
    virtual void bindNull(int index) = 0;
    // Runs the statement on the first call; true while there is a row to read.
    virtual bool step() = 0;
    // Rows the statement inserted, changed or deleted.
    virtual std::int64_t changes() const = 0;
    virtual std::int64_t int64(int column) const = 0;
    virtual std::string text(int column) const = 0;
    virtual bool isNull(int column) const = 0;
};

class Connection
{
public:
    virtual ~Connection() = default;
    // SQL with "?" placeholders, the same for every engine.
    virtual std::unique_ptr<Cursor> prepare(std::string_view sql) = 0;
    // One or more statements without parameters.
    virtual void exec(std::string_view sql) = 0;
};

// What differs between the database engines the service runs on. The SQL the service writes is
// the common part of both dialects; the engines differ in how they connect, how a writing
// transaction excludes the others, and where the schema version is kept.
class Engine
{
public:
    virtual ~Engine() = default;
    virtual std::string_view name() const = 0;
    virtual std::unique_ptr<Connection> connect(bool readOnly) = 0;
    // Starts a transaction that no other writer, in this process or another, runs beside.
    virtual void beginWrite(Connection& connection) = 0;
    virtual int schemaVersion(Connection& connection) = 0;
    virtual void setSchemaVersion(Connection& connection, int version) = 0;
    // The schema as SQL steps: each entry moves it one version up.
    virtual const std::vector<std::string_view>& migrations() const = 0;
    // After rows were copied in with their ids: new rows of `table` get ids in `column` past
    // the largest one.
    virtual void continueIds(Connection& connection, std::string_view table,
                             std::string_view column) = 0;
};

} // namespace kestrune
