// A small practice in a fresh folder, served as database KVO, with message
// boxes recorded instead of shown.
#pragma once

#include <gtest/gtest.h>

#include <QDate>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "DemoPractice.h"
#include "app/application.h"
#include "engine/engine.h"
#include "platform/MessagePresenter.h"

namespace kvo::app::testing {

using engine::Session;
using engine::TFieldDef;
using engine::TTable;

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
    std::optional<bool> closed;  // nullopt: never written
};

struct TEntry {
    std::string type;
    int user;
    std::string date;
};

class PracticeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        TestApp();
        char pattern[] = "/tmp/kvo-app-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        folder_ = pattern;
        Session().SetLockWaitMs(5000);
        Session().Database("KVO").Params() = {"PATH=" + folder_};
        platform::SetPresenter(&boxes_);
    }

    void TearDown() override {
        platform::SetPresenter(nullptr);
        Session().RemoveDatabase("OTHER");
        Session().RemoveDatabase("KVO");
        std::filesystem::remove_all(folder_);
    }

    static void Create(TTable& table, const std::string& name, std::vector<TFieldDef> defs,
                       const std::string& key = "") {
        table.SetDatabaseName("KVO");
        table.SetTableName(name);
        table.FieldDefs() = std::move(defs);
        table.SetIndexFieldNames(key);
        table.CreateTable();
        table.Open();
    }

    // Users are added neither in key nor in name order; the table keeps the
    // order they were added in, and so must the grid.
    static void CreateUsers(bool withRows = true) {
        TTable users;
        Create(users, "USER.DB", demo::UserFields(), "User");
        if (!withRows) return;
        for (const auto& [number, surname, forename] :
             {std::tuple{3, "Ashdown", "Alice"}, std::tuple{7, "Carrow", "Clara"},
              std::tuple{5, "Bellamy", "Bernard"}}) {
            users.Append();
            users.FieldByName("User").SetAsInteger(number);
            users.FieldByName("Surname").SetAsString(surname);
            users.FieldByName("Forename").SetAsString(forename);
            users.FieldByName("Form").SetAsInteger(1);
            users.Post();
        }
    }

    // Every day is set up as a working day; only Closed differs.
    static void CreateCalendar(const std::vector<TDay>& days) {
        TTable calendar;
        Create(calendar, "APP_CAL.DB", demo::CalendarFields());
        for (const auto& day : days) {
            calendar.Append();
            calendar.FieldByName("User").SetAsInteger(day.user);
            calendar.FieldByName("Date").SetAsString(day.date);
            if (day.closed) calendar.FieldByName("Closed").SetAsBoolean(*day.closed);
            calendar.FieldByName("Start").SetAsString("09:00:00");
            calendar.FieldByName("End").SetAsString("17:00:00");
            calendar.FieldByName("Interval").SetAsInteger(15);
            calendar.FieldByName("Breaks").SetAsString("12:30-13:30");
            calendar.Post();
        }
    }

    static void CreateEntries(const std::vector<TEntry>& entries) {
        TTable table;
        Create(table, "APP_REC.DB", demo::EntryFields());
        for (const auto& entry : entries) {
            table.Append();
            table.FieldByName("Type").SetAsString(entry.type);
            table.FieldByName("User").SetAsInteger(entry.user);
            table.FieldByName("Date").SetAsString(entry.date);
            table.FieldByName("Time").SetAsString("12:30:00");
            table.Post();
        }
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

    std::string folder_;
    platform::ScriptedPresenter boxes_;
};

}  // namespace kvo::app::testing
