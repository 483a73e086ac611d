// The small practice of the break reset tests: three users, dentist 3 with
// days and entries around "today" (10/03/2026), dentist 5 beside him, and a
// drive C: in the test's folder so that recorded events land there.
#pragma once

#include <sqlite3.h>

#include <filesystem>

#include "AppFixture.h"
#include "common/Common.h"
#include "platform/DriveMap.h"

namespace kvo::app::testing {

class BreakPracticeTest : public PracticeTest {
  protected:
    void SetUp() override {
        PracticeTest::SetUp();
        platform::DriveEntry c;
        c.letter = 'C';
        c.folder = folder_ + "/C";
        ASSERT_TRUE(platform::DriveMap().SetDrive(c));
        std::filesystem::create_directories(folder_ + "/C/Kestavo");
        CreateUsers();  // 3 Ashdown, 7 Carrow, 5 Bellamy
        CreateCalendar({{3, "09/03/2026", false},
                        {3, "10/03/2026", false},
                        {3, "11/03/2026", true},
                        {3, "12/03/2026", std::nullopt},
                        {3, "13/03/2026", false},
                        {5, "10/03/2026", false},
                        {5, "11/03/2026", false}});
    }

    void TearDown() override {
        common::SetClock(nullptr);
        PracticeTest::TearDown();
    }

    static void CreateFixtureEntries() {
        CreateEntries({{"*", 3, "09/03/2026"},
                       {"*", 3, "10/03/2026"},
                       {"A", 3, "10/03/2026"},
                       {"*", 3, "11/03/2026"},
                       {"*", 3, "13/03/2026"},
                       {"R", 3, "13/03/2026"},
                       {"*", 5, "10/03/2026"},
                       {"*", 5, "11/03/2026"}});
    }

    std::string DatabaseFile() const { return folder_ + "/" + engine::kDatabaseFileName; }

    // Every row of every table of the practice's database file, read past
    // the engine, in stored order: "table|value|value|...".
    std::vector<std::string> WholeDatabase(const std::string& only = "") const {
        std::vector<std::string> rows;
        sqlite3* db = nullptr;
        if (sqlite3_open_v2(DatabaseFile().c_str(), &db, SQLITE_OPEN_READONLY, nullptr) !=
            SQLITE_OK) {
            ADD_FAILURE() << "cannot read " << DatabaseFile();
            sqlite3_close(db);
            return rows;
        }
        std::vector<std::string> tables;
        Query(db, "SELECT name FROM sqlite_master WHERE type='table' ORDER BY name",
              [&](sqlite3_stmt* s) {
                  tables.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(s, 0)));
              });
        for (const auto& table : tables) {
            if (!only.empty() && table != only) continue;
            Query(db, ("SELECT * FROM \"" + table + "\" ORDER BY rowid").c_str(),
                  [&](sqlite3_stmt* s) {
                      std::string row = table;
                      for (int i = 0; i < sqlite3_column_count(s); ++i) {
                          const auto* text = sqlite3_column_text(s, i);
                          row += "|" + (text ? std::string(reinterpret_cast<const char*>(text))
                                             : std::string("<null>"));
                      }
                      rows.push_back(row);
                  });
        }
        sqlite3_close(db);
        return rows;
    }

    std::string EventsFile() const { return support::ReadFile(folder_ + "/C/Kestavo/EVENTS.XML"); }

    // A clock standing still at the given day, noon.
    struct TFixedClock : common::Clock {
        common::LocalDateTime now;
        common::LocalDateTime Now() const override { return now; }
        std::uint32_t TickCount() const override { return 0; }
    };
    void SetToday(int year, int month, int day) {
        clock_.now = {year, month, day, 12, 0, 0, 0};
        common::SetClock(&clock_);
    }

  private:
    template <typename Row>
    static void Query(sqlite3* db, const char* sql, Row row) {
        sqlite3_stmt* stmt = nullptr;
        ASSERT_EQ(sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr), SQLITE_OK) << sql;
        while (sqlite3_step(stmt) == SQLITE_ROW)
            row(stmt);
        sqlite3_finalize(stmt);
    }

    TFixedClock clock_;
};

}  // namespace kvo::app::testing
