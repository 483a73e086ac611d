// A small practice in a fresh folder, served as database KVO, with message
// boxes recorded instead of shown.  The folder is the test's private
// environment: every configuration path of the suite points into it.
#pragma once

#include <gtest/gtest.h>

#include <QDate>
#include <optional>
#include <string>
#include <vector>

#include "app/application.h"
#include "engine/engine.h"
#include "platform/MessagePresenter.h"
#include "support/Tables.h"
#include "support/TempEnvironment.h"

namespace kvo::app::testing {

using engine::Session;
using engine::TTable;
using support::PracticeFields;
using support::PracticeKey;
using support::TRow;

// The one application object of the test program.  It is never destroyed:
// as a static it would be torn down at exit after Qt's own globals, which
// crashes the process once every test has passed.
inline TApplication& TestApp() {
    static int argc = 1;
    static char name[] = "test_app";
    static char* argv[] = {name, nullptr};
    static TApplication* app = new TApplication(argc, argv);
    app->setApplicationDisplayName(QStringLiteral("Tarnwick"));
    return *app;
}

// "Today" for every window the tests make.
inline QDate Today() {
    return QDate(2026, 3, 10);
}

struct TDay {
    int user;
    std::string date;
    std::optional<bool> closed;  // nullopt: left empty
};

struct TEntry {
    std::string type;
    int user;
    std::string date;
};

class PracticeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // The application lives as long as the program, so it is made
        // before the first test's environment, which goes with that test.
        TestApp();
        env_.emplace("kvo-app");
        folder_ = env_->Root();
        Session().SetLockWaitMs(5000);
        Session().Database("KVO").Params() = {"PATH=" + folder_};
        platform::SetPresenter(&boxes_);
    }

    void TearDown() override {
        platform::SetPresenter(nullptr);
        Session().RemoveDatabase("OTHER");
        Session().RemoveDatabase("KVO");
        env_.reset();
    }

    // Users are added neither in key nor in name order; the table keeps the
    // order they were added in, and so must the grid.
    static void CreateUsers(bool withRows = true) {
        std::vector<TRow> rows;
        if (withRows)
            rows = {{std::int64_t{3}, "Ashdown", "Alice", std::int64_t{1}},
                    {std::int64_t{7}, "Carrow", "Clara", std::int64_t{1}},
                    {std::int64_t{5}, "Bellamy", "Bernard", std::int64_t{1}}};
        support::CreateTable("KVO", "USER.DB", PracticeFields("USER"), PracticeKey("USER"), rows);
    }

    // Every day is set up as a working day; only Closed differs.
    static void CreateCalendar(const std::vector<TDay>& days) {
        std::vector<TRow> rows;
        for (const auto& day : days)
            rows.push_back({std::int64_t{day.user}, day.date,
                            day.closed ? engine::Variant{*day.closed} : engine::Variant{},
                            "09:00:00", "17:00:00", std::int64_t{15}, "12:30-13:30"});
        support::CreateTable("KVO", "APP_CAL.DB", PracticeFields("APP_CAL"), "", rows);
    }

    // Each entry at 12:30, the rest of its fields empty.
    static void CreateEntries(const std::vector<TEntry>& entries) {
        std::vector<TRow> rows;
        for (const auto& entry : entries)
            rows.push_back({entry.type, std::int64_t{entry.user}, entry.date, "12:30:00"});
        support::CreateTable("KVO", "APP_REC.DB", PracticeFields("APP_REC"), "", rows);
    }

    // Each calendar row as "user date closed start end interval breaks",
    // nulls written "-", in table order.
    static std::vector<std::string> CalendarRows() {
        std::vector<std::string> rows;
        TTable calendar;
        calendar.SetDatabaseName("KVO");
        calendar.SetTableName("APP_CAL");
        calendar.Open();
        for (; !calendar.Eof(); calendar.Next()) {
            std::string row;
            for (const char* name :
                 {"User", "Date", "Closed", "Start", "End", "Interval", "Breaks"}) {
                const auto& field = calendar.FieldByName(name);
                row += (row.empty() ? "" : " ") + (field.IsNull() ? "-" : field.AsString());
            }
            rows.push_back(row);
        }
        return rows;
    }

    // Each entry as "type user date", in table order.
    static std::vector<std::string> EntryRows() {
        std::vector<std::string> rows;
        TTable entries;
        entries.SetDatabaseName("KVO");
        entries.SetTableName("APP_REC");
        entries.Open();
        for (; !entries.Eof(); entries.Next())
            rows.push_back(entries.FieldByName("Type").AsString() + " " +
                           entries.FieldByName("User").AsString() + " " +
                           entries.FieldByName("Date").AsString());
        return rows;
    }

    // The boxes shown with exactly these flags, as "caption: text".
    std::vector<QString> Shown(int flags) const {
        std::vector<QString> texts;
        for (const auto& box : boxes_.shown())
            if (box.flags == flags)
                texts.push_back(QString::fromStdString(box.caption + ": " + box.text));
        return texts;
    }

    std::optional<support::TempEnvironment> env_;
    std::string folder_;  // the environment's root
    platform::ScriptedPresenter boxes_;
};

}  // namespace kvo::app::testing
