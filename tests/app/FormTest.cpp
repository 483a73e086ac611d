// The main window as it opens: layout, picker, grid, focus and tab order.
#include <gmock/gmock.h>

#include <QDateEdit>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTableView>
#include <QtTest/QTest>

#include "AppFixture.h"
#include "app/uresetapp_cal.h"

namespace kvo::app::testing {
namespace {

using ::testing::ElementsAre;

class FormTest : public PracticeTest {
  protected:
    void SetUp() override {
        PracticeTest::SetUp();
        CreateCalendar({});
        CreateEntries({});
    }

    static std::vector<std::string> GridRows(const TForm1& form) {
        std::vector<std::string> rows;
        const auto* model = form.DBGrid1->model();
        for (int row = 0; row < model->rowCount(); ++row)
            rows.push_back(model->index(row, 0).data().toString().toStdString() + " " +
                           model->index(row, 1).data().toString().toStdString());
        return rows;
    }
};

TEST_F(FormTest, OpensWithTheDesignedLayoutAtItsFittedSize) {
    CreateUsers();
    TForm1 form(nullptr, Today);

    EXPECT_EQ(form.windowTitle(), "Tarnwick");
    // Fitted to the controls, not the designed 508 x 172, and not resizable.
    EXPECT_EQ(form.size(), QSize(516, 165));
    EXPECT_EQ(form.minimumSize(), form.maximumSize());
    const auto flags = form.windowFlags();
    EXPECT_TRUE(flags & Qt::Dialog);
    EXPECT_FALSE(flags & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint);

    struct {
        QWidget* widget;
        QRect geometry;
    } const cases[] = {
        {form.BTN_GO, {429, 132, 75, 25}}, {form.DBGrid1, {4, 4, 500, 77}},
        {form.DTP, {72, 92, 121, 21}},     {form.Label1, {8, 92, 60, 21}},
        {form.Bevel1, {4, 124, 500, 13}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.widget->geometry(), c.geometry) << c.widget->objectName().toStdString();
    EXPECT_EQ(form.BTN_GO->text(), "Go");
    EXPECT_EQ(form.Label1->text(), "Clear From:");
    EXPECT_TRUE(form.Label1->alignment() & Qt::AlignVCenter);
}

TEST_F(FormTest, GridShowsEveryUserInKeyOrderReadOnlyByWholeRows) {
    CreateUsers();
    TForm1 form(nullptr, Today);

    // USER is keyed on the user number, so the grid walks it 3, 5, 7 whatever
    // order the rows were entered in.
    EXPECT_THAT(GridRows(form), ElementsAre("Ashdown Alice", "Bellamy Bernard", "Carrow Clara"));
    const auto* model = form.DBGrid1->model();
    EXPECT_EQ(model->headerData(0, Qt::Horizontal).toString(), "Surname");
    EXPECT_EQ(model->headerData(1, Qt::Horizontal).toString(), "Forename");
    EXPECT_EQ(form.DBGrid1->columnWidth(0), 252);
    EXPECT_EQ(form.DBGrid1->columnWidth(1), 225);
    EXPECT_EQ(form.DBGrid1->editTriggers(), QAbstractItemView::NoEditTriggers);
    EXPECT_FALSE(model->flags(model->index(0, 0)) & Qt::ItemIsEditable);
    EXPECT_EQ(form.DBGrid1->selectionBehavior(), QAbstractItemView::SelectRows);
    // The first user is the one "Go" works on until another row is chosen.
    EXPECT_EQ(form.DBGrid1->currentIndex().row(), 0);
    EXPECT_EQ(form.User_Table.FieldByName("User").AsInteger(), 3);
    form.DBGrid1->setCurrentIndex(model->index(2, 0));
    EXPECT_EQ(form.User_Table.FieldByName("User").AsInteger(), 7);
}

TEST_F(FormTest, EmptyUserTableStillOpens) {
    CreateUsers(/*withRows=*/false);
    TForm1 form(nullptr, Today);
    EXPECT_TRUE(GridRows(form).empty());
    EXPECT_TRUE(form.User_Table.Active());
}

TEST_F(FormTest, PickerStartsOnTodayAndRefusesEarlierDates) {
    CreateUsers();
    TForm1 form(nullptr, Today);
    EXPECT_EQ(form.DTP->date(), Today());
    EXPECT_EQ(form.DTP->minimumDate(), Today());
    EXPECT_TRUE(form.DTP->calendarPopup());
    form.DTP->setDate(Today().addDays(-1));
    EXPECT_EQ(form.DTP->date(), Today());
    form.DTP->setDate(Today().addDays(3));
    EXPECT_EQ(form.DTP->date(), Today().addDays(3));

    // Each start preselects its own today.
    TForm1 later(nullptr, [] { return QDate(2027, 1, 4); });
    EXPECT_EQ(later.DTP->date(), QDate(2027, 1, 4));
    EXPECT_EQ(later.DTP->minimumDate(), QDate(2027, 1, 4));
}

TEST_F(FormTest, GoHasTheFocusAndTabWalksGridThenPicker) {
    CreateUsers();
    TForm1 form(nullptr, Today);
    form.show();
    QApplication::setActiveWindow(&form);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&form));

    EXPECT_EQ(QApplication::focusWidget(), form.BTN_GO);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), form.DBGrid1);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QWidget* focus = QApplication::focusWidget();
    EXPECT_TRUE(focus == form.DTP || (focus && focus->parentWidget() == form.DTP));
}

TEST_F(FormTest, MissingUserTableRaisesTheEngineError) {
    // This folder has no USER table.
    EXPECT_THROW(TForm1 form(nullptr, Today), engine::EDBEngineError);
}

}  // namespace
}  // namespace kvo::app::testing
