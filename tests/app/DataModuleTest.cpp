// Finding the practice at start-up from the installation INI file's data
// drive, and refusing to start without one.
#include <gmock/gmock.h>

#include <filesystem>
#include <fstream>

#include "AppFixture.h"
#include "common/Common.h"
#include "datamodule/Main_DataModules.h"
#include "platform/DriveMap.h"

namespace kvo::app::testing {
namespace {

namespace fs = std::filesystem;
using datamodule::TFRM_Main_DataModules;

// A workstation in the test's folder (where the practice fixture points
// every configuration path): drive C: and data drive P: mapped there, and
// the process's refusals ending only the module.
class DataModuleTest : public PracticeTest {
  protected:
    void SetUp() override {
        PracticeTest::SetUp();
        Session().RemoveDatabase("KVO");
        cwd_ = fs::current_path();
        settings_ = common::Settings();
        common::Settings() = common::LibrarySettings();
        common::Settings().programPath = "/opt/kestavo/tarnwick";
        previousEnd_ = datamodule::SetEndProcess([this] { ++ended_; });
        platform::DriveMap drives;
        platform::DriveEntry c, p;
        c.letter = 'C';
        c.folder = folder_ + "/C";
        p.letter = 'P';
        p.folder = folder_ + "/P";
        ASSERT_TRUE(drives.SetDrive(c) && drives.SetDrive(p));
        fs::create_directories(folder_ + "/C/Kestavo");
        fs::create_directories(folder_ + "/P");
    }

    void TearDown() override {
        Session().Close();
        Session().RemoveAllPasswords();
        datamodule::SetEndProcess(previousEnd_);
        common::Settings() = settings_;
        fs::current_path(cwd_);
        PracticeTest::TearDown();
    }

    void WriteDataDrive(const std::string& value) const {
        std::ofstream(folder_ + "/C/Kestavo/KVO.INI") << "[Kestavo]\r\nWD=" << value << "\r\n";
    }

    // The practice's users, made through the engine in P:\Kestavo\Data.
    void MakePractice() const {
        const std::string tables = folder_ + "/P/Kestavo/Data";
        fs::create_directories(tables);
        Session().Database("KVO").Params() = {"PATH=" + tables};
        CreateUsers();
        Session().RemoveDatabase("KVO");
    }

    int ended_ = 0;

  private:
    fs::path cwd_;
    common::LibrarySettings settings_;
    datamodule::TEndProcess previousEnd_;
};

TEST_F(DataModuleTest, PointsKvoAtTheDataSubfolderOfTheDataDrive) {
    // However the drive key writes the drive, the practice is the same one.
    for (const char* key : {"P:", "P:\\"}) {
        SCOPED_TRACE(key);
        Session().RemoveDatabase("KVO");
        MakePractice();
        WriteDataDrive(key);
        {
            TFRM_Main_DataModules module;
            ASSERT_TRUE(module.Ready()) << boxes_.shown().size();
            EXPECT_EQ(module.DataDriveUsed(), "P:");
            EXPECT_EQ(module.DataFolder(), "P:\\Kestavo\\");
            EXPECT_EQ(fs::path(Session().Database("KVO").Path()).lexically_normal(),
                      fs::path(folder_ + "/P/Kestavo/Data/").lexically_normal());
            TTable users;
            users.SetDatabaseName("KVO");
            users.SetTableName("USER.DB");
            users.Open();
            EXPECT_EQ(users.RecordCount(), 3);
            // Held shared while running, so that packing cannot start.
            EXPECT_TRUE(fs::exists(folder_ + "/P/Kestavo/KVO.LCK"));
        }
        EXPECT_FALSE(fs::exists(folder_ + "/P/Kestavo/KVO.LCK"));
        fs::remove_all(folder_ + "/P/Kestavo");
    }
    EXPECT_EQ(ended_, 0);
    EXPECT_TRUE(boxes_.shown().empty());
}

TEST_F(DataModuleTest, RefusesAMissingDataFolderAndLeavesTheDriveAlone) {
    WriteDataDrive("P:");
    TFRM_Main_DataModules module;
    EXPECT_TRUE(module.Ended());
    EXPECT_EQ(ended_, 1);
    ASSERT_EQ(boxes_.shown().size(), 1u);
    EXPECT_EQ(boxes_.shown()[0].text,
              "The directory \"P:\\Kestavo\\\" can not be accessed.\r\rIf this is a network "
              "drive, please ensure that the network is working.");
    EXPECT_EQ(boxes_.shown()[0].caption, "Kestavo");
    EXPECT_EQ(boxes_.shown()[0].flags, common::kMbError);
    EXPECT_TRUE(fs::is_empty(folder_ + "/P"));  // no folder or database made on the way
}

}  // namespace
}  // namespace kvo::app::testing
