// "Go": which days are emptied, which breaks go, and that a failure leaves
// every table as it was.
#include <gmock/gmock.h>

#include <QDateEdit>
#include <QKeyEvent>
#include <QPushButton>
#include <QTableView>

#include "BreakResetFixture.h"
#include "app/break_reset.h"
#include "app/break_restore.h"
#include "app/uresetapp_cal.h"

namespace kvo::app::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
// The boxes the program shows: "All Done" is a plain OK box.
namespace Kind {
constexpr int Information = platform::kMbOk;
}  // namespace Kind

// Dentist 3 works from 09/03 to 13/03/2026; dentist 5 has rows on the same
// days; dentist 7 has none.  "Today" (and so the from-date) is 10/03/2026.
class BreakResetTest : public BreakPracticeTest {
  protected:
    // Presses "Go" with a key, so that the press goes through the
    // application's event delivery as a user's would.
    static void PressGo(TForm1& form) {
        QKeyEvent press(QEvent::KeyPress, Qt::Key_Space, Qt::NoModifier, QStringLiteral(" "));
        QKeyEvent release(QEvent::KeyRelease, Qt::Key_Space, Qt::NoModifier, QStringLiteral(" "));
        QApplication::sendEvent(form.BTN_GO, &press);
        QApplication::sendEvent(form.BTN_GO, &release);
    }

    // Makes the grid row of that surname the current one, wherever the
    // table's order puts it.
    static void Choose(TForm1& form, const QString& surname) {
        const auto* model = form.DBGrid1->model();
        for (int row = 0; row < model->rowCount(); ++row)
            if (model->index(row, 0).data().toString() == surname) {
                form.DBGrid1->setCurrentIndex(model->index(row, 0));
                return;
            }
        ADD_FAILURE() << "no grid row for " << surname.toStdString();
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
    // Who cleared what goes to the events file.
    EXPECT_THAT(EventsFile(), ::testing::HasSubstr(
                                  "<CLASS>Information</CLASS>\r\n<TEXT>Dentist 3: breaks cleared "
                                  "from 10/03/2026, 3 open days emptied, 3 break entries "
                                  "deleted, kept for undo as reset 1</TEXT>"));
}

TEST_F(BreakResetTest, WorksOnTheGridRowAndPickerDateChosen) {
    CreateFixtureEntries();
    TForm1 form(nullptr, Today);
    const auto before = CalendarRows();
    // Dentist 5 from 11/03; then, on the same open tables, dentist 3 from 13/03.
    Choose(form, "Bellamy");  // dentist 5
    form.DTP->setDate(QDate(2026, 3, 11));
    form.BTN_GOClick();
    Choose(form, "Ashdown");  // dentist 3
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
    Choose(form, "Carrow");  // dentist 7
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

// A failure anywhere leaves every table of the practice as it was (the
// reset's own restore tables included), brings "Go" back without claiming
// "All Done", reaches the application's handler, and records no event.
class BreakResetFailureTest : public BreakResetTest {
  protected:
    void PressExpectingNothingChanged(TForm1& form, const std::string& messagePart) {
        const auto before = WholeDatabase();
        ASSERT_FALSE(before.empty());
        const int unhandled = TestApp().UnhandledCount();
        PressGo(form);
        EXPECT_EQ(WholeDatabase(), before);
        EXPECT_THAT(Shown(Kind::Information), IsEmpty());
        EXPECT_TRUE(form.BTN_GO->isEnabled());
        EXPECT_FALSE(form.Running());
        EXPECT_EQ(TestApp().UnhandledCount(), unhandled + 1);
        EXPECT_THAT(TestApp().LastUnhandled().toStdString(), ::testing::HasSubstr(messagePart));
        EXPECT_EQ(EventsFile(), "");
    }

    // Once the cause is gone, "Go" works again on the same window.
    void PressAgainExpectingAllDone(TForm1& form) {
        PressGo(form);
        EXPECT_THAT(Shown(Kind::Information), ElementsAre("Tarnwick: All Done"));
        EXPECT_EQ(CalendarRows()[4], "3 13/03/2026 - - - - -");
        EXPECT_THAT(EntryRows(), ::testing::Not(::testing::Contains("* 3 13/03/2026")));
    }
};

TEST_F(BreakResetFailureTest, CalendarPostFailingHalfWay) {
    CreateFixtureEntries();
    TForm1 form(nullptr, Today);
    int posts = 0;
    form.APP_CAL_Table.AfterPost = [&](engine::TTable&) {
        if (++posts == 2) throw engine::EDBEngineError("Disk full while posting");
    };
    PressExpectingNothingChanged(form, "Disk full");
    form.APP_CAL_Table.AfterPost = nullptr;
    PressAgainExpectingAllDone(form);
}

TEST_F(BreakResetFailureTest, EntriesTableMissingAfterTheCalendarIsDone) {
    TForm1 form(nullptr, Today);
    PressExpectingNothingChanged(form, "APP_REC");
    CreateFixtureEntries();
    PressAgainExpectingAllDone(form);
}

TEST_F(BreakResetFailureTest, RestoreTableThatCannotKeepTheRemovedRows) {
    CreateFixtureEntries();
    // Left by something else under the restore table's name, with no room
    // for the rows a reset keeps.
    support::CreateTable("KVO", kResetTable, {{"Id", engine::TFieldType::Integer}});
    TForm1 form(nullptr, Today);
    PressExpectingNothingChanged(form, "BRK_RST");
}

TEST_F(BreakResetFailureTest, AnotherWorkstationHoldingTheTablesLongerThanTheLockWait) {
    CreateFixtureEntries();
    Session().SetLockWaitMs(200);
    Session().Database("OTHER").Params() = {"PATH=" + folder_};
    TTable theirs;
    theirs.SetDatabaseName("OTHER");
    theirs.SetTableName("APP_REC.DB");
    theirs.Open();
    theirs.Edit();
    TForm1 form(nullptr, Today);
    PressExpectingNothingChanged(form, "locked");
    theirs.Cancel();
    PressAgainExpectingAllDone(form);
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
