#include <gtest/gtest.h>

#include <QApplication>
#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QTimer>
#include <QtTest/QTest>
#include <cerrno>
#include <filesystem>

#include "StartupFixture.h"
#include "datamodule/PracticeSettings.h"
#include "datamodule/SelectWD.h"
#include "datamodule/Selection.h"
#include "datamodule/SelectionDialogs.h"
#include "platform/Sys.h"

namespace kvo::datamodule {
namespace {

namespace fs = std::filesystem;

// Leaked on purpose: as a static it would be destroyed after Qt's own globals.
void EnsureApplication() {
    static int argc = 1;
    static char name[] = "test_datamodule_selection";
    static char* argv[] = {name, nullptr};
    if (!QApplication::instance()) new QApplication(argc, argv);
}

class SelectWDTest : public testing::StartupTest {
  protected:
    void SetUp() override {
        StartupTest::SetUp();
        EnsureApplication();
        DataDrive().clear();
        MakeDir("data/kestavo/C/Kestavo");
        MakeDir("s");
        WriteFile(Path("drives.ini"), "[C]\nLabel=SYSTEM\n[S]\nPath=" + Path("s") +
                                          "\nType=remote\nRemote=\\\\SRV\\DATA\n");
        installIni_ = DriveC() + "/Kestavo/KVO.INI";
    }
    void TearDown() override {
        DataDrive().clear();
        StartupTest::TearDown();
    }

    std::string installIni_;
};

TEST_F(SelectWDTest, TextsAndLayout) {
    TSelectWD dialog;
    EXPECT_EQ(dialog.windowTitle(), "Kestavo - Select Data Drive");
    EXPECT_EQ(dialog.size(), QSize(316, 289));
    EXPECT_EQ(dialog.ServerBox->title(), "Data Drive");
    EXPECT_EQ(dialog.ServerBox->geometry(), QRect(8, 8, 300, 240));

    auto labels = dialog.ServerBox->findChildren<QLabel*>();
    ASSERT_EQ(labels.size(), 1);
    EXPECT_EQ(labels[0]->geometry(), QRect(10, 24, 280, 200));
    EXPECT_TRUE(labels[0]->wordWrap());
    EXPECT_EQ(labels[0]->text(),
              "In order for the program to run you must select which hard drive will store "
              "your information.\n\nIf you are running locally / not running a network, please "
              "select your local C: drive, otherwise select your network storage drive.\n\nIf "
              "you are running a network, but the drive you require does not appear in the "
              "list, please exit the program and map a drive to the appropriate machine");

    EXPECT_EQ(dialog.WDrive->parentWidget(), dialog.ServerBox);
    EXPECT_EQ(dialog.WDrive->geometry(), QRect(10, 208, 280, 22));
    EXPECT_EQ(dialog.WDrive->currentIndex(), -1);
    EXPECT_EQ(dialog.WDrive->count(), 2);
    EXPECT_EQ(dialog.WDrive->itemText(0), "c: [system]");
    EXPECT_EQ(dialog.WDrive->itemText(1), "s: \\\\srv\\data");

    EXPECT_EQ(dialog.btnOK->text(), "OK");
    EXPECT_EQ(dialog.btnOK->geometry(), QRect(79, 256, 75, 25));
    EXPECT_TRUE(dialog.btnOK->isDefault());
    EXPECT_EQ(dialog.btnCancel->text(), "Cancel");
    EXPECT_EQ(dialog.btnCancel->geometry(), QRect(162, 256, 75, 25));

    EXPECT_FALSE(dialog.windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(dialog.windowFlags() & Qt::WindowMaximizeButtonHint);
}

TEST_F(SelectWDTest, CaptionOfSecondLine) {
    common::Settings() = common::LibrarySettings::SecondLine();
    TSelectWD dialog;
    EXPECT_EQ(dialog.windowTitle(), "RUL Dental - Select Data Drive");
}

TEST_F(SelectWDTest, OkWithoutDriveWarnsAndStaysThenConfirms) {
    TSelectWD dialog;
    dialog.show();
    QTest::mouseClick(dialog.btnOK, Qt::LeftButton);
    ASSERT_EQ(presenter_.shown().size(), 1u);
    EXPECT_EQ(presenter_.shown()[0].text, "You must select a drive.");
    EXPECT_EQ(presenter_.shown()[0].flags, common::kMbWarning);
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_FALSE(fs::exists(installIni_));

    dialog.WDrive->setCurrentIndex(1);
    dialog.OKClick();
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(DataDrive(), "s:");
    EXPECT_EQ(ReadFile(installIni_), "[Kestavo]\r\nWD=s:\r\n");
    EXPECT_FALSE(dialog.PendingError());
}

TEST_F(SelectWDTest, CancelClosesWithoutWriting) {
    TSelectWD dialog;
    dialog.show();
    dialog.WDrive->setCurrentIndex(0);
    QTest::mouseClick(dialog.btnCancel, Qt::LeftButton);
    EXPECT_EQ(dialog.result(), QDialog::Rejected);
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_EQ(DataDrive(), "");
    EXPECT_FALSE(fs::exists(installIni_));
}

TEST_F(SelectWDTest, UnwritableIniClosesDialogAndIsRaisedByItsRunner) {
    platform::ScopedSysOverride sys;
    sys.table().rename = [](const char*, const char*) {
        errno = EACCES;
        return -1;
    };
    QTimer::singleShot(0, [] {
        auto* dialog = qobject_cast<TSelectWD*>(QApplication::activeModalWidget());
        if (!dialog) return;
        dialog->WDrive->setCurrentIndex(0);
        dialog->OKClick();
    });
    QtSelectionDialogs qt;
    EXPECT_THROW(qt.RunDataDriveDialog(), EIniFileError);
    EXPECT_FALSE(fs::exists(installIni_));
}

TEST_F(SelectWDTest, QtDialogsRunTheDataDriveDialogModally) {
    QTimer::singleShot(0, [] {
        auto* dialog = qobject_cast<TSelectWD*>(QApplication::activeModalWidget());
        if (!dialog) return;
        dialog->WDrive->setCurrentIndex(0);
        QTest::mouseClick(dialog->btnOK, Qt::LeftButton);
    });
    QtSelectionDialogs qt;
    EXPECT_TRUE(qt.RunDataDriveDialog());
    EXPECT_EQ(DataDrive(), "c:");
    EXPECT_EQ(ReadFile(installIni_), "[Kestavo]\r\nWD=c:\r\n");
}

// ---- list dialog -----------------------------------------------------------------

TEST_F(SelectWDTest, ListDialogLayout) {
    TListSelectDialog dialog("Select Site", {"North", "South"});
    EXPECT_EQ(dialog.windowTitle(), "Select Site");
    EXPECT_EQ(dialog.size(), QSize(300, 120));
    EXPECT_EQ(dialog.List->geometry(), QRect(8, 8, 201, 104));
    ASSERT_EQ(dialog.List->count(), 2);
    EXPECT_EQ(dialog.List->item(1)->text(), "South");
    EXPECT_EQ(dialog.SelectedIndex(), 0);
    EXPECT_EQ(dialog.btnOK->text(), "OK");
    EXPECT_EQ(dialog.btnOK->geometry(), QRect(217, 8, 75, 25));
    EXPECT_TRUE(dialog.btnOK->isDefault());
    EXPECT_FALSE(dialog.windowFlags() & Qt::WindowCloseButtonHint);
}

TEST_F(SelectWDTest, ListDialogAnswers) {
    struct {
        const char* name;
        int row;     // selected before closing
        bool ok;     // OK pressed, else Escape
        int answer;  // -1: none
    } rows[] = {
        {"first by default", -2, true, 0},
        {"second chosen", 1, true, 1},
        {"escape", 1, false, -1},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        QTimer::singleShot(0, [&row] {
            auto* dialog = qobject_cast<TListSelectDialog*>(QApplication::activeModalWidget());
            if (!dialog) return;
            if (row.row != -2) dialog->List->setCurrentRow(row.row);
            if (row.ok)
                QTest::mouseClick(dialog->btnOK, Qt::LeftButton);
            else
                QTest::keyClick(dialog, Qt::Key_Escape);
        });
        QtSelectionDialogs qt;
        std::optional<int> answer = qt.ChooseFromList("Select Database", {"A", "B", "C"});
        EXPECT_EQ(answer.value_or(-1), row.answer);
    }
}

}  // namespace
}  // namespace kvo::datamodule
