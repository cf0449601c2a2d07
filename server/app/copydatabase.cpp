#include "copydatabase.h"

#include "options.h"
#include "storage.h"

#include <memory>
#include <variant>
#include <vector>

namespace kestrune
{
namespace
{

struct Column {
    const char* name;
    bool text;
};

struct Table {
    const char* name;
    std::vector<Column> columns;
    const char* order;
    const char* generatedId; // an id the target makes for new rows, or null
};

// Parents before children, so that every reference finds its row. Conversations go in the order
// they were made, which is how both engines break ties when listing them.
const std::vector<Table>& tables()
{
    static const std::vector<Table> all = {
        {"users",
         {{"id", false},
          {"public_id", true},
          {"username", true},
          {"email", true},
          {"password_hash", true},
          {"points", false},
          {"created_ms", false},
          {"stored_bytes", false}},
         "id",
         "id"},
        {"tokens",
         {{"digest", true}, {"user_id", false}, {"created_ms", false}, {"expires_ms", false}},
         "digest",
         nullptr},
        {"pending_registrations",
         {{"id", true},
          {"username", true},
          {"email", true},
          {"password_hash", true},
          {"code_digest", true},
          {"tries", false},
          {"created_ms", false},
          {"expires_ms", false}},
         "id",
         nullptr},
        {"code_failures", {{"email", true}, {"created_ms", false}}, "created_ms", nullptr},
        {"conversations",
         {{"id", true},
          {"user_id", false},
          {"title", true},
          {"renamed", false},
          {"model", true},
          {"created_ms", false},
          {"updated_ms", false},
          {"deleted_ms", false},
          {"stored_bytes", false}},
         "rowid",
         "rowid"},
        {"messages",
         {{"id", false},
          {"conversation_id", true},
          {"role", true},
          {"content", true},
          {"created_ms", false},
          {"truncated", false}},
         "id",
         "id"},
        {"ledger",
         {{"id", false},
          {"user_id", false},
          {"delta", false},
          {"reason", true},
          {"model", true},
          {"conversation_id", true},
          {"created_ms", false}},
         "id",
         "id"},
    };
    return all;
}

using Value = std::variant<std::nullptr_t, std::int64_t, std::string>;

std::string columnList(const Table& table)
{
    std::string list;
    for (const auto& c : table.columns)
        list += (list.empty() ? "" : ", ") + std::string(c.name);
    return list;
}

// Inserts `rows` (each one value per column) in statements of many rows each.
void insertRows(Database& target, const Table& table, const std::vector<std::vector<Value>>& rows)
{
    const std::size_t perStatement = std::max<std::size_t>(1, 500 / table.columns.size());
    std::string placeholders = "(";
    for (std::size_t i = 0; i < table.columns.size(); ++i)
        placeholders += i ? ", ?" : "?";
    placeholders += ")";
    for (std::size_t start = 0; start < rows.size(); start += perStatement) {
        const std::size_t end = std::min(rows.size(), start + perStatement);
        std::string sql =
            "INSERT INTO " + std::string(table.name) + " (" + columnList(table) + ") VALUES ";
        for (std::size_t r = start; r < end; ++r)
            sql += (r == start ? "" : ", ") + placeholders;
        auto st = target.prepare(sql);
        int index = 0;
        for (std::size_t r = start; r < end; ++r)
            for (const auto& value : rows[r])
                std::visit([&](const auto& v) { st.bindValue(++index, v); }, value);
        st.run();
    }
}

std::int64_t countRows(Statement st)
{
    st.step();
    return st.int64(0);
}

} // namespace

int copyDatabase(const AdminTarget& source, const std::string& targetUrl, std::ostream& out,
                 std::ostream& err)
{
    std::string error;
    const auto sourceUrl =
        parseDatabaseUrl(databaseUrlText(source.dataDir, source.database), &error);
    if (!sourceUrl) {
        err << "kestrune-server: --database: " << error << "\n";
        return 2;
    }
    const auto to = parseDatabaseUrl(targetUrl, &error);
    if (!to) {
        err << "kestrune-server: --to: " << error << "\n";
        return 2;
    }
    if (sourceUrl->engine == DatabaseUrl::Engine::sqlite) {
        const std::filesystem::path file = sourceUrl->location;
        if (!std::filesystem::exists(file)) {
            err << "kestrune-server: no database at " << file << "\n";
            return 1;
        }
        if (!takeDataOwnerIdentity(file.parent_path().empty() ? "." : file.parent_path(), err))
            return 1;
    }
    if (sourceUrl->engine == to->engine && sourceUrl->location == to->location) {
        err << "kestrune-server: --to names the database it would copy from\n";
        return 2;
    }

    Database origin(*sourceUrl, Database::Schema::asIs);
    if (origin.schemaVersion() != origin.currentSchemaVersion()) {
        err << "kestrune-server: the source is at schema " << origin.schemaVersion()
            << ", this version copies schema " << origin.currentSchemaVersion()
            << " (run kestrune-server migrate on it first, or use the matching version)\n";
        return 1;
    }
    Database destination(*to);
    const auto lock = destination.lock();
    Transaction tx(destination);
    for (const auto& table : tables())
        if (countRows(destination.prepare("SELECT COUNT(*) FROM " + std::string(table.name))) !=
            0) {
            err << "kestrune-server: the target database is not empty (" << table.name
                << " has rows); nothing was copied\n";
            return 1;
        }

    // One snapshot of the source for every table.
    auto reader = origin.reader();
    reader
        .prepare(origin.engineName() == "postgresql" ? "BEGIN ISOLATION LEVEL REPEATABLE READ"
                                                     : "BEGIN")
        .run();
    for (const auto& table : tables()) {
        auto st = reader.prepare("SELECT " + columnList(table) + " FROM " + table.name +
                                 " ORDER BY " + table.order);
        std::vector<std::vector<Value>> rows;
        while (st.step()) {
            std::vector<Value> row;
            row.reserve(table.columns.size());
            for (int i = 0; i < static_cast<int>(table.columns.size()); ++i) {
                if (st.isNull(i))
                    row.emplace_back(nullptr);
                else if (table.columns[static_cast<std::size_t>(i)].text)
                    row.emplace_back(st.text(i));
                else
                    row.emplace_back(st.int64(i));
            }
            rows.push_back(std::move(row));
        }
        insertRows(destination, table, rows);
        if (table.generatedId)
            destination.continueIds(table.name, table.generatedId);
    }

    // Checked inside the transaction: a copy that does not agree is never kept.
    for (const auto& table : tables()) {
        const std::string count = "SELECT COUNT(*) FROM " + std::string(table.name);
        const std::int64_t had = countRows(reader.prepare(count));
        const std::int64_t has = countRows(destination.prepare(count));
        if (had != has) {
            err << "kestrune-server: " << table.name << ": " << had << " rows in the source, "
                << has << " copied; nothing was kept\n";
            return 1;
        }
        out << table.name << ": " << has << "\n";
    }
    const std::string balances = "SELECT id, points FROM users ORDER BY id";
    auto had = reader.prepare(balances);
    auto has = destination.prepare(balances);
    std::int64_t checked = 0;
    for (bool more = had.step(); more; more = had.step(), ++checked) {
        if (!has.step() || has.int64(0) != had.int64(0) || has.int64(1) != had.int64(1)) {
            err << "kestrune-server: the balance of account " << had.int64(0)
                << " differs after copying; nothing was kept\n";
            return 1;
        }
    }
    reader.prepare("COMMIT").run();
    tx.commit();
    out << "balances: " << checked << " accounts agree\n"
        << "copied to " << destination.engineName() << "\n";
    return 0;
}

} // namespace kestrune
