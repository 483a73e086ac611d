// The demonstration practice is made around today: years of books behind it
// and at least one year ahead, so that the date picker, whose earliest date
// is today, always has days to clear.  A seed and a given today always give
// the same practice.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <ctime>
#include <filesystem>
#include <stdexcept>

#include "DemoInstall.h"
#include "DemoPractice.h"
#include "support/TempEnvironment.h"

namespace kvo::demo {
namespace {

namespace fs = std::filesystem;

// The first value of the first row of `sql` over the practice's database.
std::string Query(const fs::path& out, const std::string& sql) {
    sqlite3* db = nullptr;
    std::string value = "<error>";
    const fs::path file = out / "Data" / engine::kDatabaseFileName;
    if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* stmt = nullptr;
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK &&
            sqlite3_step(stmt) == SQLITE_ROW) {
            const auto* text = sqlite3_column_text(stmt, 0);
            value = text != nullptr ? reinterpret_cast<const char*>(text) : "-";
        }
        sqlite3_finalize(stmt);
    }
    sqlite3_close(db);
    return value;
}

// Every row of the appointment book, to compare two practices.
std::string Books(const fs::path& out) {
    return Query(out,
                 "SELECT group_concat(r, ';') FROM (SELECT \"User\" || ',' || \"Date\" || ',' || "
                 "coalesce(\"Closed\", '-') AS r FROM \"APP_CAL\" ORDER BY rowid)") +
           Query(out,
                 "SELECT group_concat(r, ';') FROM (SELECT \"Type\" || \"User\" || \"Date\" || "
                 "\"Time\" || coalesce(\"Patient\", '-') AS r FROM \"APP_REC\" ORDER BY rowid)");
}

class DemoBooksTest : public ::testing::Test {
  protected:
    fs::path Make(const std::string& name, const std::string& today, std::uint64_t seed = 1,
                  int years = 2) {
        TDemoOptions options;
        options.out = env_.Path(name);
        options.dentists = 1;
        options.years = years;
        options.seed = seed;
        options.today = today;
        CreateDemoPractice(options);
        return options.out;
    }

    kvo::support::TempEnvironment env_{"kvo-demo"};
};

TEST_F(DemoBooksTest, BooksRunFromYearsBeforeTodayToAYearAfterIt) {
    const fs::path p = Make("p", "10/12/2026");
    EXPECT_EQ(Query(p, "SELECT min(\"Date\") || ' ' || max(\"Date\") FROM \"APP_CAL\""),
              "2024-12-11 2027-12-10");
    EXPECT_EQ(Query(p, "SELECT count(*) FROM \"APP_CAL\""), "1095");
    // Working days ahead of today hold breaks for the reset to clear.
    EXPECT_NE(Query(p,
                    "SELECT count(*) FROM \"APP_REC\" WHERE \"Type\" = '*' AND "
                    "\"Date\" > '2027-06-01'"),
              "0");

    // 29 February has no counterpart in the other years: the 28th stands in.
    TDemoOptions leap;
    leap.years = 3;
    leap.yearsAhead = 2;
    leap.today = "29/02/2028";
    EXPECT_EQ(BookDays(leap), (std::pair<std::string, std::string>("01/03/2025", "28/02/2030")));
    // A fixed end date keeps the books where they were, whatever today is.
    leap.endDate = "31/12/2025";
    EXPECT_EQ(BookDays(leap), (std::pair<std::string, std::string>("01/01/2023", "31/12/2025")));
}

TEST_F(DemoBooksTest, SeedAndTodayGiveOnePracticeAndTodayMovesIt) {
    const std::string one = Books(Make("a", "10/12/2026"));
    EXPECT_EQ(Books(Make("b", "10/12/2026")), one);
    EXPECT_NE(Books(Make("c", "10/12/2026", 2)), one);
    const fs::path later = Make("d", "11/12/2026");
    EXPECT_NE(Books(later), one);
    EXPECT_EQ(Query(later, "SELECT max(\"Date\") FROM \"APP_CAL\""), "2027-12-11");
}

TEST_F(DemoBooksTest, WithoutAGivenTodayTheComputersDateIsToday) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char today[16];
    std::strftime(today, sizeof today, "%Y-%m-%d", &local);
    const fs::path p = Make("p", "", 1, 1);
    // Checked against SQLite's own calendar; a run across midnight may see tomorrow.
    const std::string ahead = Query(p, std::string("SELECT max(\"Date\") >= date('") + today +
                                           "', '+1 year') AND " + "min(\"Date\") <= date('" +
                                           today + "', '-1 year', '+1 day') FROM \"APP_CAL\"");
    EXPECT_EQ(ahead, "1");
}

TEST_F(DemoBooksTest, InstallationPassesTodayOnAndBadDatesAreRefused) {
    TDemoInstallOptions install;
    install.root = env_.Path("install");
    install.dentists = 1;
    install.years = 1;
    install.today = "01/07/2027";
    ASSERT_TRUE(CreateDemoInstallation(install));
    EXPECT_EQ(Query(DemoLayout(install.root).dataFolder, "SELECT max(\"Date\") FROM \"APP_CAL\""),
              "2028-07-01");

    struct Case {
        const char* what;
        const char* today;
        int ahead;
    };
    for (const Case& c :
         {Case{"not a date", "2026-12-10", 1}, Case{"no such day", "31/02/2027", 1},
          Case{"nothing ahead", "10/12/2026", 0}, Case{"too far ahead", "10/12/2026", 11}}) {
        TDemoOptions options;
        options.out = env_.Path("bad");
        options.today = c.today;
        options.yearsAhead = c.ahead;
        EXPECT_THROW(CreateDemoPractice(options), std::runtime_error) << c.what;
    }
    EXPECT_FALSE(fs::exists(env_.Path("bad/Data")));
}

}  // namespace
}  // namespace kvo::demo
