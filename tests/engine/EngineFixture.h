// A fresh practice per test, served as database KVO: a tables folder, or
// with KVO_ENGINE_BACKEND=postgres a fresh schema on a test server, so that
// the same tests hold the engine's promises on both backends.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "PgServer.h"
#include "engine/engine.h"

namespace kvo::engine::testing {

class EngineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/kvo-engine-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        folder_ = pattern;
        Session().SetLockWaitMs(5000);
        if (OnServer())
            params_ = {"CONNECTION=" + kvo::testing::PgServer::Shared().ConnectionString(
                                           kvo::testing::PgServer::Shared().NewSchema())};
        else
            params_ = {"PATH=" + folder_};
        Session().Database("KVO").Params() = params_;
    }

    static bool OnServer() {
        const char* backend = std::getenv("KVO_ENGINE_BACKEND");
        return backend != nullptr && std::string(backend) == "postgres";
    }

    void TearDown() override {
        Session().RemoveDatabase("KVO");
        std::filesystem::remove_all(folder_);
    }

    // Creates a table and leaves `table` set up on it, closed.
    static void Create(TTable& table, const std::string& name, std::vector<TFieldDef> defs,
                       const std::string& key = "") {
        table.SetDatabaseName("KVO");
        table.SetTableName(name);
        table.FieldDefs() = std::move(defs);
        table.SetIndexFieldNames(key);
        table.CreateTable();
    }

    // The appointment calendar: one day of one dentist.
    static void CreateCalendar(TTable& table) {
        Create(table, "APP_CAL.DB",
               {{"User", TFieldType::Integer},
                {"Date", TFieldType::Date},
                {"Closed", TFieldType::Logical},
                {"Start", TFieldType::Time},
                {"End", TFieldType::Time},
                {"Interval", TFieldType::Integer},
                {"Breaks", TFieldType::String, 60}});
    }

    static void CreateEntries(TTable& table) {
        Create(table, "APP_REC.DB",
               {{"Type", TFieldType::String, 1},
                {"User", TFieldType::Integer},
                {"Date", TFieldType::Date},
                {"Note", TFieldType::String, 40}});
    }

    static void AddEntry(TTable& table, const std::string& type, int user, const std::string& date,
                         const std::string& note = "") {
        table.Append();
        table.FieldByName("Type").SetAsString(type);
        table.FieldByName("User").SetAsInteger(user);
        table.FieldByName("Date").SetAsString(date);
        table.FieldByName("Note").SetAsString(note);
        table.Post();
    }

    // The values of one field over the table's current view, first to end.
    static std::vector<std::string> Column(TTable& table, const std::string& field) {
        std::vector<std::string> out;
        for (table.First(); !table.Eof(); table.Next())
            out.push_back(table.FieldByName(field).AsString());
        return out;
    }

    std::string folder_;
    std::vector<std::string> params_;  // of database KVO; another connection uses the same
};

}  // namespace kvo::engine::testing
