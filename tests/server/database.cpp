#include "database.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

void sql(const std::filesystem::path& dataDir, const std::string& statement)
{
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((dataDir / "kestrune.db").c_str(), &db), SQLITE_OK);
    sqlite3_busy_timeout(db, 5000);
    EXPECT_EQ(sqlite3_exec(db, statement.c_str(), nullptr, nullptr, nullptr), SQLITE_OK)
        << sqlite3_errmsg(db);
    sqlite3_close(db);
}

std::string sqlText(const std::filesystem::path& dataDir, const std::string& query)
{
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
