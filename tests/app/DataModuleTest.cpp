// Finding the practice at start-up, and refusing to start without one.
#include <gmock/gmock.h>

#include <filesystem>

#include "AppFixture.h"
#include "datamodule/Main_DataModules.h"

namespace kvo::app::testing {
namespace {

using datamodule::TFRM_Main_DataModules;

TEST(ChooseDataFolderTest, CommandLineWinsOverTheEnvironment) {
    struct {
        QStringList arguments;
        std::optional<QString> environment;
        std::optional<QString> expected;
    } const cases[] = {
        {{"tarnwick", "--data", "/p/a"}, QString("/p/env"), QString("/p/a")},
        {{"tarnwick", "--data=/p/b"}, std::nullopt, QString("/p/b")},
        {{"tarnwick"}, QString("/p/env"), QString("/p/env")},
        {{"tarnwick"}, QString(""), std::nullopt},
        {{"tarnwick"}, std::nullopt, std::nullopt},
        // An option without its folder names nothing, even with the environment set.
        {{"tarnwick", "--data"}, QString("/p/env"), std::nullopt},
        {{"tarnwick", "--data="}, QString("/p/env"), std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(TFRM_Main_DataModules::ChooseDataFolder(c.arguments, c.environment), c.expected)
            << c.arguments.join(' ').toStdString();
}

class DataModuleTest : public PracticeTest {
  protected:
    void SetUp() override {
        PracticeTest::SetUp();
        Session().RemoveDatabase("KVO");
    }
};

TEST_F(DataModuleTest, PointsKvoAtTheDataSubfolderOfAPractice) {
    const std::string tables = folder_ + "/Data";
    std::filesystem::create_directories(tables);
    Session().Database("KVO").Params() = {"PATH=" + tables};
    CreateUsers();
    Session().RemoveDatabase("KVO");

    TFRM_Main_DataModules module({"tarnwick", "--data", QString::fromStdString(folder_)},
                                 std::nullopt);
    ASSERT_TRUE(module.Ready()) << module.RefusalMessage().toStdString();
    EXPECT_EQ(Session().Database("KVO").Path(), tables);
    TTable users;
    users.SetDatabaseName("KVO");
    users.SetTableName("USER.DB");
    users.Open();
    EXPECT_EQ(users.RecordCount(), 3);
}

TEST_F(DataModuleTest, RefusesWithoutAPracticeAndLeavesTheFolderAlone) {
    const auto none = TFRM_Main_DataModules({"tarnwick"}, std::nullopt);
    EXPECT_FALSE(none.Ready());
    EXPECT_THAT(none.RefusalMessage().toStdString(), ::testing::HasSubstr("KESTAVO_DATA"));

    const auto empty = TFRM_Main_DataModules({"tarnwick"}, QString::fromStdString(folder_));
    EXPECT_FALSE(empty.Ready());
    EXPECT_THAT(empty.RefusalMessage().toStdString(), ::testing::HasSubstr("holds no practice"));
    EXPECT_TRUE(std::filesystem::is_empty(folder_));  // no database made on the way
}

}  // namespace
}  // namespace kvo::app::testing
