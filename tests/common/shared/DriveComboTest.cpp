#include <QApplication>
#include <QStyleOptionViewItem>

#include "SharedFixture.h"
#include "common/FlCtrlEx.h"

namespace kvo::common::testing {
namespace {

class RecordingDirList final : public DirectoryListLink {
  public:
    std::string calls;
    void ChangeDrive(char letter) override { calls += std::string("cd ") + letter + ";"; }
    void Clear() override { calls += "clear;"; }
};

class ClickableCombo : public TDriveComboBoxEx {
  public:
    using TDriveComboBoxEx::Click;
};

class DriveCombo : public SharedFixture {
  protected:
    static void SetUpTestSuite() {
        if (!QApplication::instance()) {
            static int argc = 1;
            static char arg0[] = "test";
            static char* argv[] = {arg0, nullptr};
            new QApplication(argc, argv);
        }
    }

    void SetUp() override {
        SharedFixture::SetUp();
        fs::create_directories(root_ / "F");
        WriteDriveMap("[A]\r\nPath=" + (root_ / "A").string() + "\r\nType=removable\r\n" +
                      "[C]\r\nPath=" + c_.string() + "\r\nType=fixed\r\nLabel=System\r\n" +
                      "[D]\r\nPath=" + d_.string() +
                      "\r\nType=remote\r\nLabel=Data\r\nRemote=\\\\Server\\Share\r\n" +
                      "[E]\r\nPath=" + (root_ / "gone").string() + "\r\nType=fixed\r\n" +
                      "[F]\r\nPath=" + (root_ / "F").string() + "\r\nType=cdrom\r\nLabel=Disc\r\n" +
                      "[G]\r\nPath=" + d_.string() + "\r\nType=remote\r\nLabel=Mapped\r\n");
    }

    static std::vector<std::string> Texts(const QComboBox& box) {
        std::vector<std::string> out;
        for (int i = 0; i < box.count(); ++i)
            out.push_back(box.itemText(i).toStdString());
        return out;
    }
};

TEST_F(DriveCombo, ListsTheDrivesInOrderWithTheirNames) {
    ClickableCombo box;
    EXPECT_EQ(Texts(box), (std::vector<std::string>{"a: ", "c: [system]", "d: \\\\server\\share",
                                                    "f: [disc]", "g: [mapped]"}));
    EXPECT_EQ(box.currentIndex(), -1);  // nothing chosen until the user picks
    using K = TDriveComboBoxEx::DriveKind;
    std::vector<K> kinds;
    for (int i = 0; i < box.count(); ++i)
        kinds.push_back(box.KindAt(i));
    EXPECT_EQ(kinds, (std::vector<K>{K::Floppy, K::Fixed, K::Network, K::CdRom, K::Network}));

    box.SetTextCase(TDriveComboBoxEx::TextCase::Upper);
    EXPECT_EQ(Texts(box), (std::vector<std::string>{"A: ", "C: [SYSTEM]", "D: \\\\SERVER\\SHARE",
                                                    "F: [DISC]", "G: [MAPPED]"}));
}

TEST_F(DriveCombo, RowsAreSixteenPixelsAndVersionIsFixed) {
    ClickableCombo box;
    QStyleOptionViewItem option;
    option.font = box.font();
    QSize hint = box.itemDelegate()->sizeHint(option, box.model()->index(1, 0));
    EXPECT_EQ(hint.height(), 16);
    EXPECT_FALSE(box.itemIcon(0).isNull());
    EXPECT_EQ(box.Version(), "1.2.1.1");
    box.setProperty("Version", QStringLiteral("9.9"));
    EXPECT_EQ(box.property("Version").toString(), "1.2.1.1");
}

TEST_F(DriveCombo, PickingADriveWithoutMediumClearsTheLinkedListInsteadOfRaising) {
    ClickableCombo box;
    RecordingDirList dirs;
    box.SetDirList(&dirs);
    EXPECT_NO_THROW(box.Click(0));  // a: has no medium
    EXPECT_NO_THROW(box.Click(1));
    EXPECT_EQ(dirs.calls, "clear;cd c;");
    EXPECT_THROW(box.SetDrive('a'), std::runtime_error);
    box.SetDrive('D');
    EXPECT_EQ(box.Drive(), 'd');
    EXPECT_EQ(box.currentText().left(2), "d:");
}

}  // namespace
}  // namespace kvo::common::testing
