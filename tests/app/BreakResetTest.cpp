// "Go": which days are emptied, which breaks go, and what a failure leaves.
#include <gmock/gmock.h>

#include <QDateEdit>
#include <QKeyEvent>
#include <QPushButton>
#include <QTableView>

#include "AppFixture.h"
#include "app/break_reset.h"
#include "app/uresetapp_cal.h"

namespace kvo::app::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
// The boxes the program shows: "All Done" is a plain OK box, an unhandled
// error an error box.
namespace Kind {
constexpr int Information = platform::kMbOk;
constexpr int Error = platform::kMbError;
}  // namespace Kind

// Dentist 3 works from 09/03 to 13/03/2026; dentist 5 has rows on the same
// days; dentist 7 has none.  "Today" (and so the from-date) is 10/03/2026.
class BreakResetTest : public PracticeTest {
  protected:
    void SetUp() override {
        PracticeTest::SetUp();
        CreateUsers();  // grid rows: 3, 7, 5
        CreateCalendar({{3, "09/03/2026", false},
                        {3, "10/03/2026", false},
                        {3, "11/03/2026", true},
                        {3, "12/03/2026", std::nullopt},
                        {3, "13/03/2026", false},
                        {5, "10/03/2026", false},
                        {5, "11/03/2026", false}});
    }

    void CreateFixtureEntries() {
        CreateEntries({{"*", 3, "09/03/2026"},
                       {"*", 3, "10/03/2026"},
                       {"A", 3, "10/03/2026"},
                       {"*", 3, "11/03/2026"},
                       {"*", 3, "13/03/2026"},
                       {"R", 3, "13/03/2026"},
                       {"*", 5, "10/03/2026"},
                       {"*", 5, "11/03/2026"}});
    }

    // Presses "Go" with a key, so that the press goes through the
    // application's event delivery as a user's would.
    static void PressGo(TForm1& form) {
        QKeyEvent press(QEvent::KeyPress, Qt::Key_Space, Qt::NoModifier, QStringLiteral(" "));
        QKeyEvent release(QEvent::KeyRelease, Qt::Key_Space, Qt::NoModifier, QStringLiteral(" "));
        QApplication::sendEvent(form.BTN_GO, &press);
        QApplication::sendEvent(form.BTN_GO, &release);
    }

    static constexpr const char* kOpen = "09:00:00 17:00:00 15 12:30-13:30";
};

std::string Day(int user, const char* date, const char* closed, const char* rest) {
    return std::to_string(user) + " " + date + " " + closed + " " + rest;
}

TEST_F(BreakResetTest, WritesTheFiltersInTheirFixedForm) {
    EXPECT_EQ(CalendarFilter("3", "10/03/2026"), "User = 3 AND Date >= '10/03/2026'");
    EXPECT_EQ(BreakFilter("3", "10/03/2026"), "Type = '*' AND User = 3 AND Date >= '10/03/2026'");
}

TEST_F(BreakResetTest, ClearsOpenDaysAndDeletesBreaksOfTheChosenDentistFromTheDate) {
    CreateFixtureEntries();
    TForm1 form(nullptr, Today);
    const auto before = CalendarRows();
    form.BTN_GOClick();

    const std::string open = kOpen;
    const std::string cleared = "- - - - -";
    EXPECT_THAT(CalendarRows(), ElementsAreArray({
                                    Day(3, "09/03/2026", "False", kOpen),  // before the date
                                    "3 10/03/2026 " + cleared,             // on the date
                                    Day(3, "11/03/2026", "True", kOpen),   // closed: kept as it was
                                    "3 12/03/2026 " + cleared,  // Closed never written reads open
                                    "3 13/03/2026 " + cleared,
                                    before[5],  // another dentist
                                    before[6],
                                }));
    EXPECT_THAT(EntryRows(), ElementsAre("* 3 09/03/2026",  // before the date
                                         "A 3 10/03/2026",  // not a break
                                         "R 3 13/03/2026",  // not a break
                                         "* 5 10/03/2026",  // another dentist
                                         "* 5 11/03/2026"));
    EXPECT_THAT(Shown(Kind::Information), ElementsAre("Tarnwick: All Done"));
    EXPECT_TRUE(form.BTN_GO->isEnabled());
    // The tables stay open and filtered; the grid and the picker keep their values.
    EXPECT_TRUE(form.APP_CAL_Table.Active() && form.APP_CAL_Table.Filtered());
    EXPECT_TRUE(form.APP_REC_Table.Active() && form.APP_REC_Table.Filtered());
    EXPECT_EQ(form.DBGrid1->currentIndex().row(), 0);
    EXPECT_EQ(form.DTP->date(), Today());
}

TEST_F(BreakResetTest, WorksOnTheGridRowAndPickerDateChosen) {
    CreateFixtureEntries();
    TForm1 form(nullptr, Today);
    const auto before = CalendarRows();
    // Dentist 5 from 11/03; then, on the same open tables, dentist 3 from 13/03.
    form.DBGrid1->setCurrentIndex(form.DBGrid1->model()->index(2, 0));
    form.DTP->setDate(QDate(2026, 3, 11));
    form.BTN_GOClick();
    form.DBGrid1->setCurrentIndex(form.DBGrid1->model()->index(0, 0));
    form.DTP->setDate(QDate(2026, 3, 13));
    form.BTN_GOClick();

    auto expected = before;
    expected[4] = "3 13/03/2026 - - - - -";
    expected[6] = "5 11/03/2026 - - - - -";
    EXPECT_THAT(CalendarRows(), ElementsAreArray(expected));
    EXPECT_THAT(EntryRows(), ElementsAre("* 3 09/03/2026", "* 3 10/03/2026", "A 3 10/03/2026",
                                         "* 3 11/03/2026", "R 3 13/03/2026", "* 5 10/03/2026"));
    EXPECT_EQ(form.APP_CAL_Table.RecordCount(), 1);  // shows only the last filter's rows
    EXPECT_THAT(Shown(Kind::Information), ElementsAre("Tarnwick: All Done", "Tarnwick: All Done"));
}

TEST_F(BreakResetTest, DentistWithoutRowsChangesNothingAndIsAllDone) {
    CreateFixtureEntries();
    TForm1 form(nullptr, Today);
    const auto calendar = CalendarRows();
    const auto entries = EntryRows();
    form.DBGrid1->setCurrentIndex(form.DBGrid1->model()->index(1, 0));  // dentist 7
    form.BTN_GOClick();
    EXPECT_EQ(CalendarRows(), calendar);
    EXPECT_EQ(EntryRows(), entries);
    EXPECT_THAT(Shown(Kind::Information), ElementsAre("Tarnwick: All Done"));
}

TEST_F(BreakResetTest, GoIsDisabledAndIgnoredWhileTheOperationRuns) {
    CreateFixtureEntries();
    TForm1 form(nullptr, Today);
    std::vector<bool> enabledDuringPosts;
    form.APP_CAL_Table.BeforePost = [&](engine::TTable&) {
        enabledDuringPosts.push_back(form.BTN_GO->isEnabled());
        EXPECT_TRUE(form.Running());
        form.BTN_GOClick();  // a second press while running must do nothing
    };
    form.BTN_GOClick();
    EXPECT_THAT(enabledDuringPosts, ElementsAre(false, false, false));
    EXPECT_THAT(Shown(Kind::Information), ElementsAre("Tarnwick: All Done"));
    EXPECT_TRUE(form.BTN_GO->isEnabled());
    EXPECT_FALSE(form.Running());
}

// An engine error half-way: what was done stays done, "Go" comes back, no
// "All Done" is claimed, and the error reaches the application's handler.
TEST_F(BreakResetTest, MissingEntriesTableStopsAfterTheCalendarWithoutAllDone) {
    // No APP_REC table at all.
    TForm1 form(nullptr, Today);
    PressGo(form);

    EXPECT_EQ(CalendarRows()[1], "3 10/03/2026 - - - - -");
    EXPECT_EQ(CalendarRows()[4], "3 13/03/2026 - - - - -");
    EXPECT_THAT(Shown(Kind::Information), IsEmpty());
    EXPECT_TRUE(form.BTN_GO->isEnabled());
    EXPECT_FALSE(form.Running());
    EXPECT_THAT(TestApp().LastUnhandled().toStdString(), ::testing::HasSubstr("APP_REC"));
    EXPECT_THAT(Shown(Kind::Error), ElementsAre("Tarnwick: " + TestApp().LastUnhandled()));
}

TEST_F(BreakResetTest, RowLockedByAnotherConnectionStopsHalfWay) {
    CreateFixtureEntries();
    Session().SetLockWaitMs(200);
    Session().Database("OTHER").Params() = {"PATH=" + folder_};
    TTable theirs;
    theirs.SetDatabaseName("OTHER");
    theirs.SetTableName("APP_CAL.DB");
    theirs.Open();

    TForm1 form(nullptr, Today);
    // Another workstation starts editing once our first day is posted.
    form.APP_CAL_Table.AfterPost = [&](engine::TTable&) {
        if (theirs.State() == engine::TDataSetState::Browse) theirs.Edit();
    };
    const int unhandled = TestApp().UnhandledCount();
    PressGo(form);

    const auto rows = CalendarRows();
    EXPECT_EQ(rows[1], "3 10/03/2026 - - - - -");
    EXPECT_EQ(rows[3], Day(3, "12/03/2026", "-", kOpen));  // not reached
    EXPECT_EQ(rows[4], Day(3, "13/03/2026", "False", kOpen));
    EXPECT_EQ(EntryRows().size(), 8u);  // breaks not reached
    EXPECT_THAT(Shown(Kind::Information), IsEmpty());
    EXPECT_TRUE(form.BTN_GO->isEnabled());
    EXPECT_EQ(TestApp().UnhandledCount(), unhandled + 1);
    EXPECT_THAT(TestApp().LastUnhandled().toStdString(), ::testing::HasSubstr("locked"));
    // The interrupted edit was dropped, so nothing is posted behind our back
    // once the lock is free and the cursor moves again.
    EXPECT_EQ(form.APP_CAL_Table.State(), engine::TDataSetState::Browse);
    theirs.Cancel();
    form.APP_CAL_Table.AfterPost = nullptr;
    form.APP_CAL_Table.First();
    EXPECT_EQ(CalendarRows(), rows);
}

TEST_F(BreakResetTest, EmptyUserTableHasNoDentistAndChangesNothing) {
    CreateFixtureEntries();
    {
        TTable users;
        users.SetDatabaseName("KVO");
        users.SetTableName("USER");
        users.Open();
        while (!users.Eof())
            users.Delete();
    }
    const auto calendar = CalendarRows();
    TForm1 form(nullptr, Today);
    PressGo(form);
    EXPECT_EQ(CalendarRows(), calendar);
    EXPECT_EQ(EntryRows().size(), 8u);
    EXPECT_THAT(Shown(Kind::Information), IsEmpty());
    EXPECT_FALSE(TestApp().LastUnhandled().isEmpty());
    EXPECT_TRUE(form.BTN_GO->isEnabled());
}

}  // namespace
}  // namespace kvo::app::testing
