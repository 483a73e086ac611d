// Undo of a break reset: what the reset kept, putting it back exactly,
// refusing when the appointment book has moved on, the dry run, and how long
// resets are kept.
#include <gmock/gmock.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>

#include "BreakResetFixture.h"
#include "app/break_reset.h"
#include "app/break_restore.h"

namespace kvo::app::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

class BreakRestoreTest : public BreakPracticeTest {
  protected:
    void SetUp() override {
        BreakPracticeTest::SetUp();
        CreateFixtureEntries();
        calendar_.SetDatabaseName("KVO");
        calendar_.SetTableName("APP_CAL.DB");
        entries_.SetDatabaseName("KVO");
        entries_.SetTableName("APP_REC.DB");
    }

    TResetResult Reset(std::vector<std::string> dentists, const std::string& from,
                       TResetOptions options = {}) {
        return ResetBreaks(calendar_, entries_, dentists, from, options);
    }

    // Put-back entries are added after the others: the entries table is
    // compared as a whole, in any order.
    std::vector<std::string> EntriesAnyOrder() const {
        auto rows = WholeDatabase("APP_REC");
        std::sort(rows.begin(), rows.end());
        return rows;
    }

    TTable calendar_, entries_;
};

TEST_F(BreakRestoreTest, UndoPutsBackExactlyWhatTheResetRemoved) {
    const auto calendar = WholeDatabase("APP_CAL");
    const auto entries = EntriesAnyOrder();
    std::vector<std::pair<int, int>> progress;
    TResetOptions options;
    options.progress = [&](int done, int total) { progress.emplace_back(done, total); };
    const TResetResult result = Reset({"3", "5"}, "10/03/2026", options);

    EXPECT_EQ(result.resetId, 1);
    ASSERT_EQ(result.dentists.size(), 2u);
    EXPECT_EQ(result.dentists[0].counts, (TResetCounts{3, 3}));
    EXPECT_EQ(result.dentists[1].counts, (TResetCounts{2, 2}));
    EXPECT_EQ(result.total, (TResetCounts{5, 5}));
    EXPECT_THAT(progress, ElementsAre(std::pair{1, 2}, std::pair{2, 2}));
    EXPECT_NE(WholeDatabase("APP_CAL"), calendar);

    const auto kept = ListResets();
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(kept[0].id, 1);
    EXPECT_EQ(kept[0].dentists, "3,5");
    EXPECT_EQ(kept[0].fromDate, "10/03/2026");
    EXPECT_EQ(kept[0].username, common::UserNameText());
    EXPECT_EQ(kept[0].counts, (TResetCounts{5, 5}));
    EXPECT_FALSE(kept[0].undone);

    EXPECT_EQ(UndoReset(1), (TResetCounts{5, 5}));
    EXPECT_EQ(WholeDatabase("APP_CAL"), calendar);
    EXPECT_EQ(EntriesAnyOrder(), entries);
    EXPECT_TRUE(ListResets()[0].undone);
    EXPECT_THAT(EventsFile(), HasSubstr("<TEXT>Reset 1 undone: 5 days and 5 break entries put "
                                        "back</TEXT>"));

    // Once undone, a reset cannot be undone again, and nothing moves.
    const auto undone = WholeDatabase();
    EXPECT_THROW(
        {
            try {
                UndoReset(1);
            } catch (const EUndoRefused& e) {
                EXPECT_THAT(e.what(), HasSubstr("Reset 1 has already been undone"));
                throw;
            }
        },
        EUndoRefused);
    EXPECT_EQ(WholeDatabase(), undone);
}

// A change made after the reset: the undo refuses, names what changed, and
// changes nothing.
struct TRefusal {
    const char* name;
    bool resetFirst;
    std::function<void()> change;
    std::int64_t id;
    const char* message;
};

void EditDay(const char* date, const std::function<void(TTable&)>& edit) {
    TTable calendar;
    calendar.SetDatabaseName("KVO");
    calendar.SetTableName("APP_CAL");
    calendar.SetFilter(std::string("User = 3 AND Date = '") + date + "'");
    calendar.SetFiltered(true);
    calendar.Open();
    edit(calendar);
}

class UndoRefusalTest : public BreakRestoreTest, public ::testing::WithParamInterface<TRefusal> {};

TEST_P(UndoRefusalTest, NamesTheCauseAndChangesNothing) {
    if (GetParam().resetFirst) {
        ASSERT_EQ(Reset({"3"}, "10/03/2026").resetId, 1);
    }
    if (GetParam().change) GetParam().change();
    const auto before = WholeDatabase();
    try {
        UndoReset(GetParam().id);
        ADD_FAILURE() << "the undo was not refused";
    } catch (const EUndoRefused& e) {
        EXPECT_EQ(std::string(e.what()), GetParam().message);
    }
    EXPECT_EQ(WholeDatabase(), before);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UndoRefusalTest,
    ::testing::Values(
        TRefusal{"NothingKeptYet", false, {}, 1, "There is no kept reset number 1"},
        TRefusal{"UnknownNumber", true, {}, 2, "There is no kept reset number 2"},
        TRefusal{"DaySetUpAgain", true,
                 [] {
                     EditDay("12/03/2026", [](TTable& t) {
                         t.Edit();
                         t.FieldByName("Start").SetAsString("08:00:00");
                         t.Post();
                     });
                 },
                 1, "The day 12/03/2026 of dentist 3 has changed since the reset"},
        TRefusal{"DayClosedSince", true,
                 [] {
                     EditDay("13/03/2026", [](TTable& t) {
                         t.Edit();
                         t.FieldByName("Closed").SetAsBoolean(true);
                         t.Post();
                     });
                 },
                 1, "The day 13/03/2026 of dentist 3 has changed since the reset"},
        TRefusal{"DayRemoved", true, [] { EditDay("10/03/2026", [](TTable& t) { t.Delete(); }); },
                 1, "The day 10/03/2026 of dentist 3 is no longer in the appointment book"},
        TRefusal{"BreakEnteredAgain", true,
                 [] {
                     TTable entries;
                     entries.SetDatabaseName("KVO");
                     entries.SetTableName("APP_REC");
                     entries.Open();
                     entries.Append();
                     entries.FieldByName("Type").SetAsString("*");
                     entries.FieldByName("User").SetAsInteger(3);
                     entries.FieldByName("Date").SetAsString("11/03/2026");
                     entries.FieldByName("Time").SetAsString("12:30:00");
                     entries.Post();
                 },
                 1,
                 "The break entry of dentist 3 on 11/03/2026 at 12:30:00 has been entered again "
                 "since the reset"}),
    [](const ::testing::TestParamInfo<TRefusal>& info) { return info.param.name; });

TEST_F(BreakRestoreTest, DryRunCountsWhatTheResetDoesAndChangesNothing) {
    const auto before = WholeDatabase();
    const auto bytes = [&] {
        std::ifstream in(DatabaseFile(), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    const std::string file = bytes();
    TResetOptions dry;
    dry.dryRun = true;
    const TResetResult preview = Reset({"3", "5", "7"}, "11/03/2026", dry);
    EXPECT_EQ(preview.resetId, 0);
    EXPECT_EQ(WholeDatabase(), before);
    EXPECT_EQ(bytes(), file);
    EXPECT_THAT(ListResets(), IsEmpty());
    EXPECT_EQ(EventsFile(), "");

    const TResetResult done = Reset({"3", "5", "7"}, "11/03/2026");
    ASSERT_EQ(preview.dentists.size(), done.dentists.size());
    for (std::size_t i = 0; i < done.dentists.size(); ++i)
        EXPECT_EQ(preview.dentists[i].counts, done.dentists[i].counts) << done.dentists[i].dentist;
    EXPECT_EQ(done.total, (TResetCounts{3, 3}));
}

// A dentist without rows, and days an earlier reset emptied already.
TEST_F(BreakRestoreTest, ResetThatRemovesNothingKeepsNothingToUndo) {
    const TResetResult none = Reset({"7"}, "10/03/2026");
    EXPECT_EQ(none.resetId, 0);
    EXPECT_TRUE(none.total.Empty());
    EXPECT_THAT(ListResets(), IsEmpty());
    EXPECT_THAT(EventsFile(), HasSubstr("nothing to keep for undo"));

    ASSERT_EQ(Reset({"3"}, "10/03/2026").resetId, 1);
    const auto emptied = WholeDatabase();
    const TResetResult again = Reset({"3"}, "10/03/2026");
    EXPECT_EQ(again.resetId, 0);
    EXPECT_TRUE(again.total.Empty());
    EXPECT_EQ(WholeDatabase(), emptied);
}

TEST_F(BreakRestoreTest, ResetsOlderThanTheKeepingTimeAreDroppedByTheNextReset) {
    SetToday(2026, 1, 1);
    ASSERT_EQ(Reset({"3"}, "10/03/2026").resetId, 1);
    SetToday(2026, 4, 1);  // 90 days on: still kept
    ASSERT_EQ(Reset({"5"}, "10/03/2026").resetId, 2);
    ASSERT_EQ(ListResets().size(), 2u);

    SetToday(2026, 4, 2);
    ASSERT_EQ(Reset({"3"}, "09/03/2026").resetId, 3);
    std::vector<std::int64_t> ids;
    for (const auto& r : ListResets())
        ids.push_back(r.id);
    EXPECT_THAT(ids, ElementsAre(2, 3));
    std::set<std::string> kept;
    for (const auto& row : WholeDatabase("BRK_RSTD"))
        kept.insert(row.substr(0, row.find('|', std::strlen("BRK_RSTD|"))));
    EXPECT_THAT(kept, ElementsAre("BRK_RSTD|2", "BRK_RSTD|3"));
}

TEST_F(BreakRestoreTest, KeepingTimeComesFromThePracticeIniFile) {
    const std::string tables = folder_ + "/P/Kestavo/Data/";
    std::filesystem::create_directories(tables);
    Session().Database("KEEP").Params() = {"PATH=" + tables};
    struct {
        const char* ini;
        int days;
    } const cases[] = {{nullptr, kDefaultKeepDays},
                       {"[Tarnwick]\r\nUndoKeepDays=30\r\n", 30},
                       {"[Tarnwick]\r\nUndoKeepDays=soon\r\n", kDefaultKeepDays},
                       {"[Tarnwick]\r\nUndoKeepDays=0\r\n", kDefaultKeepDays},
                       {"[Other]\r\nUndoKeepDays=30\r\n", kDefaultKeepDays}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ini ? c.ini : "no file");
        const std::string ini = folder_ + "/P/Kestavo/KVODEN.INI";
        std::filesystem::remove(ini);
        if (c.ini) std::ofstream(ini) << c.ini;
        EXPECT_EQ(ConfiguredKeepDays("KEEP"), c.days);
    }
    Session().RemoveDatabase("KEEP");
}

TEST(BreakRestoreValues, KeptValuesComeBackUnchanged) {
    const engine::Variant values[] = {std::monostate{},
                                      std::string("a\tb\\n\r\nc"),
                                      std::string(),
                                      std::int64_t{-9223372036854775807LL - 1},
                                      0.1,
                                      -1e300,
                                      true,
                                      false};
    for (const auto& v : values) {
        const std::string text = EncodeValue(v);
        EXPECT_EQ(text.find_first_of("\t\n\r"), std::string::npos) << text;
        EXPECT_EQ(DecodeValue(text), v) << text;
    }
}

TEST(BreakRestoreValues, DamagedKeptValuesAreErrorsNotCrashes) {
    for (const char* text :
         {"", "X1", "I", "I12a", "I99999999999999999999", "N", "N1e999", "Nabc", "Sab\\", "Sa\\q"})
        EXPECT_THROW(DecodeValue(text), engine::EDBEngineError) << text;
}

}  // namespace
}  // namespace kvo::app::testing
