// A fresh practice per test, served as database KVO: a tables folder in the
// test's private environment, or with KVO_ENGINE_BACKEND=postgres a fresh
// schema on a test server, so that the same tests hold the engine's
// promises on both backends.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "PgServer.h"
#include "engine/engine.h"
#include "support/Tables.h"
#include "support/TempEnvironment.h"

namespace kvo::engine::testing {

class EngineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        env_.emplace("kvo-engine");
        folder_ = env_->Root();
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
        env_.reset();
    }

    // The appointment calendar: one day of one dentist.  Like every table
    // the tests make, it is left open on creation.
    static void CreateCalendar(TTable& table) {
        support::CreateTable(table, "KVO", "APP_CAL.DB", support::PracticeFields("APP_CAL"));
    }

    // The practice's entries with a free-text Note after its own fields:
    // the entries have no text but the one-letter Type, and finding,
    // filtering, editing and ordering text are checked on the note.
    static void CreateEntries(TTable& table) {
        auto fields = support::PracticeFields("APP_REC");
        fields.push_back({"Note", TFieldType::String, 40});
        support::CreateTable(table, "KVO", "APP_REC.DB", std::move(fields));
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

    std::optional<support::TempEnvironment> env_;
    std::string folder_;               // the environment's root
    std::vector<std::string> params_;  // of database KVO; another connection uses the same
};

}  // namespace kvo::engine::testing
