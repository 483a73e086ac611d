// The demonstration practice: deterministic, shaped like a real book, never
// written over an existing practice; and on it, the break reset makes the
// same change as the set-based statements it is measured against.
#include <gmock/gmock.h>
#include <sqlite3.h>

#include <filesystem>
#include <stdexcept>

#include "AppFixture.h"
#include "DemoPractice.h"
#include "app/break_reset.h"

namespace kvo::app::testing {
namespace {

namespace fs = std::filesystem;

// Every row of every appointment table, as text, from the database file.
std::vector<std::string> Dump(const fs::path& file) {
    sqlite3* db = nullptr;
    std::vector<std::string> rows;
    EXPECT_EQ(sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    for (const char* sql :
         {"SELECT * FROM \"APP_CAL\" ORDER BY rowid", "SELECT * FROM \"APP_REC\" ORDER BY rowid",
          "SELECT * FROM \"USER\" ORDER BY rowid"}) {
        sqlite3_stmt* stmt = nullptr;
        EXPECT_EQ(sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr), SQLITE_OK);
        while (sqlite3_step(stmt) == SQLITE_ROW) {
            std::string row;
            for (int i = 0; i < sqlite3_column_count(stmt); ++i) {
                const auto* text = sqlite3_column_text(stmt, i);
                row += (text ? reinterpret_cast<const char*>(text) : "-") + std::string("|");
            }
            rows.push_back(std::move(row));
        }
        sqlite3_finalize(stmt);
    }
    sqlite3_close(db);
    return rows;
}

long long Count(const fs::path& file, const std::string& sql) {
    sqlite3* db = nullptr;
    sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* stmt = nullptr;
    long long n = -1;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK &&
        sqlite3_step(stmt) == SQLITE_ROW)
        n = sqlite3_column_int64(stmt, 0);
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return n;
}

class DemoPracticeTest : public PracticeTest {
  protected:
    fs::path Make(const std::string& name, std::uint64_t seed, int dentists = 2, int years = 1) {
        demo::TDemoOptions options;
        options.out = folder_ + "/" + name;
        options.dentists = dentists;
        options.years = years;
        options.seed = seed;
        // Books ending on a fixed day, so the counts below do not move with
        // the calendar; books around today are the generator's own tests.
        options.endDate = "31/12/2025";
        demo::CreateDemoPractice(options);
        return fs::path(options.out) / "Data" / engine::kDatabaseFileName;
    }
};

TEST_F(DemoPracticeTest, SameSeedGivesTheSamePracticeAndAnotherSeedAnother) {
    const auto one = Dump(Make("a", 1));
    EXPECT_EQ(Dump(Make("b", 1)), one);
    EXPECT_NE(Dump(Make("c", 2)), one);
}

TEST_F(DemoPracticeTest, BooksLookLikeAPracticesBooks) {
    const auto file = Make("p", 1, 3, 2);
    EXPECT_EQ(Count(file, "SELECT count(*) FROM \"USER\" WHERE \"Form\" = 1"), 3);
    // Two years of days for each dentist, ending on the fixed last day.
    EXPECT_EQ(Count(file, "SELECT count(*) FROM \"APP_CAL\""), 3 * 731);
    EXPECT_EQ(Count(file, "SELECT count(*) FROM \"APP_CAL\" WHERE \"Date\" = '2025-12-31'"), 3);
    EXPECT_EQ(Count(file, "SELECT count(*) FROM \"APP_CAL\" WHERE \"Date\" < '2024-01-01'"), 0);
    // Weekends are closed and hold no entries; every open day has its lunch break.
    const std::string weekend = "strftime('%w', \"Date\") IN ('0', '6')";
    EXPECT_EQ(Count(file, "SELECT count(*) FROM \"APP_CAL\" WHERE " + weekend +
                              " AND \"Closed\" IS NOT 1"),
              0);
    EXPECT_EQ(Count(file, "SELECT count(*) FROM \"APP_REC\" WHERE " + weekend), 0);
    EXPECT_EQ(Count(file,
                    "SELECT count(*) FROM \"APP_CAL\" c WHERE NOT coalesce(c.\"Closed\", 0) AND "
                    "NOT EXISTS (SELECT 1 FROM \"APP_REC\" r WHERE r.\"Type\" = '*' AND "
                    "r.\"User\" = c.\"User\" AND r.\"Date\" = c.\"Date\")"),
              0);
    EXPECT_GT(Count(file, "SELECT count(*) FROM \"APP_REC\" WHERE \"Type\" <> '*'"), 0);
    // Some open days never had Closed written: the reset must treat them as open.
    EXPECT_GT(Count(file, "SELECT count(*) FROM \"APP_CAL\" WHERE \"Closed\" IS NULL"), 0);
    for (const char* table : {"CONTROL", "ERROR", "PATIENT", "TRT_CTL", "PRV_FEE"})
        EXPECT_GT(Count(file, std::string("SELECT count(*) FROM \"") + table + "\""), 0) << table;
    EXPECT_EQ(Count(file,
                    "SELECT count(*) FROM sqlite_master WHERE type = 'index' AND sql LIKE "
                    "'%(\"User\", \"Date\")%'"),
              2);
}

TEST_F(DemoPracticeTest, RefusesBadOptionsAndNeverWritesOverAPractice) {
    const auto file = Make("p", 1);
    const auto before = Dump(file);
    struct {
        const char* what;
        std::string out;
        int dentists;
        int years;
        const char* end;
    } const cases[] = {
        {"existing practice", folder_ + "/p", 1, 1, "31/12/2025"},
        {"no dentists", folder_ + "/q", 0, 1, "31/12/2025"},
        {"no years", folder_ + "/q", 1, 0, "31/12/2025"},
        {"impossible end date", folder_ + "/q", 1, 1, "31/02/2025"},
        {"end date not DD/MM/YYYY", folder_ + "/q", 1, 1, "2025-12-31"},
        {"no folder", "", 1, 1, "31/12/2025"},
    };
    for (const auto& c : cases) {
        demo::TDemoOptions options;
        options.out = c.out;
        options.dentists = c.dentists;
        options.years = c.years;
        options.endDate = c.end;
        EXPECT_THROW(demo::CreateDemoPractice(options), std::runtime_error) << c.what;
    }
    EXPECT_EQ(Dump(file), before);
    EXPECT_FALSE(fs::exists(folder_ + "/q/Data"));
}

TEST_F(DemoPracticeTest, ResetMakesTheSameChangeAsSetBasedStatements) {
    const auto source = Make("p", 3, 3, 2);
    const fs::path byEngine = folder_ + "/engine", bySql = folder_ + "/sql";
    for (const auto& to : {byEngine, bySql}) {
        fs::create_directories(to);
        fs::copy_file(source, to / engine::kDatabaseFileName);
    }

    Session().Database("KVO").Params() = {"PATH=" + byEngine.string()};
    {
        TTable calendar, entries;
        calendar.SetDatabaseName("KVO");
        calendar.SetTableName("APP_CAL.DB");
        entries.SetDatabaseName("KVO");
        entries.SetTableName("APP_REC.DB");
        ClearBreaksFrom(calendar, entries, "2", "15/06/2025");
    }
    Session().RemoveDatabase("KVO");

    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((bySql / engine::kDatabaseFileName).c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db,
                           "UPDATE \"APP_CAL\" SET \"Start\" = NULL, \"End\" = NULL, "
                           "\"Interval\" = NULL, \"Closed\" = NULL, \"Breaks\" = NULL "
                           "WHERE \"User\" = 2 AND \"Date\" >= '2025-06-15' "
                           "AND NOT coalesce(\"Closed\", 0);"
                           "DELETE FROM \"APP_REC\" WHERE \"Type\" = '*' AND \"User\" = 2 "
                           "AND \"Date\" >= '2025-06-15'",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);

    const auto after = Dump(byEngine / engine::kDatabaseFileName);
    EXPECT_EQ(after, Dump(bySql / engine::kDatabaseFileName));
    EXPECT_NE(after, Dump(source));
}

}  // namespace
}  // namespace kvo::app::testing
