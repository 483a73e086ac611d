#include "ReportFixture.h"
#include "platform/LockFile.h"
#include "support/Tables.h"

namespace kvo::common::testing {
namespace {

using engine::TFieldType;
using engine::TTable;

constexpr const char* kAccepted = R"(<Reply command="OK"/>)";

void CreateTable(const char* name, std::vector<engine::TFieldDef> defs,
                 const std::vector<support::TRow>& rows) {
    support::CreateTable("KVO", name, std::move(defs), "", rows);
}

std::vector<bool> ReportedFlags() {
    TTable t;
    t.SetDatabaseName("KVO");
    t.SetTableName("Error");
    t.Open();
    std::vector<bool> out;
    for (t.First(); !t.Eof(); t.Next())
        out.push_back(t.FieldByName("Reported").AsBoolean());
    return out;
}

class FullReport : public ReportFixture {
  protected:
    void SetUp() override {
        ReportFixture::SetUp();
        using V = engine::Variant;
        CreateTable("Practice",
                    {{"Practice", TFieldType::Integer},
                     {"Name", TFieldType::String, 40},
                     {"Street", TFieldType::String, 40},
                     {"City", TFieldType::String, 40},
                     {"County", TFieldType::String, 40},
                     {"Postcode", TFieldType::String, 10},
                     {"Phone1", TFieldType::String, 20}},
                    {{V{std::int64_t{1}}, V{"Smile & Co"}, V{"1 High St"}, V{"Leeds"}, V{},
                      V{"LS1 1AA"}, V{"0113"}}});
        auto row = [](const char* text, V stack, bool reported) {
            return std::vector<V>{V{"09/12/2026"},
                                  V{"14:30:00"},
                                  V{"PC1"},
                                  V{"ann"},
                                  V{"KVO"},
                                  V{"Error"},
                                  V{std::int64_t{7}},
                                  V{std::int64_t{2}},
                                  V{std::int64_t{0}},
                                  V{std::int64_t{31}},
                                  V{std::int64_t{0}},
                                  V{std::int64_t{0}},
                                  V{std::int64_t{0}},
                                  V{std::int64_t{0}},
                                  V{text},
                                  stack,
                                  V{reported}};
        };
        CreateTable("Error", support::PracticeFields("ERROR"),
                    {row("disk full", V{"at A"}, false), row("old", V{"at B"}, true),
                     row("no stack", V{}, false)});
        CreateTable("SMS",
                    {{"Prepared", TFieldType::String, 20}, {"DateTime", TFieldType::String, 20}},
                    {{V{"03/10/2026 10:00:00"}, V{}},
                     {V{"03/10/2026"}, V{"28/11/2026 08:00:00"}},
                     {V{}, V{"01/10/2026"}},
                     {V{}, V{}},
                     {V{"05/12/2026"}, V{}}});
        WriteAll(Inventory(),
                 "[PC1]\r\nDate=01/12/2026\r\nReport=20/11/2026\r\nVersion=7.2\r\nOS=Linux\r\n"
                 "MAC Address=00-11\r\nCPU Speed=3000\r\nCPU Count=4\r\nStartup=2.50\r\n"
                 "[PC2]\r\nDate=01/12/2026\r\nReport=01/12/2026\r\nOS=Old\r\n"
                 "[PC3]\r\nDate=02/12/2026\r\nReport=01/01/2030\r\n");
    }
};

TEST_F(FullReport, AcceptedReportSendsEverythingDueAndKeepsTheBookkeeping) {
    server_->Reply(kAccepted);

    EXPECT_TRUE(SendSupportReport('X'));

    EXPECT_EQ(server_->OnlyBody(),
              "<KVO site=\"S-100\" version=\"7.2.0\" transmission=\"X\">"
              "<Practices><Practice ID=\"1\" Name=\"Smile &amp; Co\" Street=\"1 High St\" "
              "City=\"Leeds\" Postcode=\"LS1 1AA\" Phone=\"0113\"/></Practices>"
              "<Events>"
              "<Event Date=\"09/12/2026\" Time=\"14:30:00\" Computer=\"PC1\" User=\"ann\" "
              "Application=\"KVO\" Class=\"Error\" Version=\"7.2.0.31\" Process=\"0.0.0.0\" "
              "Text=\"disk full\" Stack=\"at A\"/>"
              "<Event Date=\"09/12/2026\" Time=\"14:30:00\" Computer=\"PC1\" User=\"ann\" "
              "Application=\"KVO\" Class=\"Error\" Version=\"7.2.0.31\" Process=\"0.0.0.0\" "
              "Text=\"no stack\"/>"
              "</Events>"
              "<Computers>"
              "<Computer Name=\"PC1\" Date=\"01/12/2026\" Version=\"7.2\" OS=\"Linux\" "
              "MAC=\"00-11\" CPU.Speed=\"3000\" CPU.Count=\"4\" Startup=\"2.50\"/>"
              // A "Report" date in the future counts as never reported.
              "<Computer Name=\"PC3\" Date=\"02/12/2026\"/>"
              "</Computers>"
              // Rows before this month, by DateTime else Prepared, none at all: day zero.
              "<SMS><Period Month=\"10/2026\" Count=\"2\"/><Period Month=\"11/2026\" Count=\"1\"/>"
              "<Period Month=\"12/1899\" Count=\"1\"/></SMS>"
              "</KVO>");

    EXPECT_EQ(ReportedFlags(), (std::vector<bool>{true, true, true}));
    EXPECT_EQ(PracticeValue("Report", "Practice"), "10/12/2026");
    EXPECT_EQ(PracticeValue("Kestavo", "SMS"), "01/12/2026");
    platform::IniFile inventory;
    inventory.Load(Inventory().string());
    EXPECT_EQ(inventory.ReadString("PC1", "Report", ""), "01/12/2026");
    EXPECT_EQ(inventory.ReadString("PC3", "Report", ""), "02/12/2026");
    EXPECT_FALSE(fs::exists(DataFolderLocal() / "REPORT.LCK"));

    // Nothing is due any more the same day.
    server_->Reply(kAccepted);
    EXPECT_TRUE(SendSupportReport('N'));
    auto requests = server_->Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_TRUE(requests[1].ends_with("<KVO site=\"S-100\" version=\"7.2.0\"><Events/></KVO>"))
        << requests[1];
}

TEST_F(FullReport, ReportNotAcceptedAdvancesNothingSoItAllGoesAgain) {
    const std::string inventoryBefore = ReadAll(Inventory());
    const std::string iniBefore = ReadAll(PracticeIni());
    for (auto [status, reply] : {std::pair{200, R"(<R command="ok"/>)"}, std::pair{200, "<R"},
                                 std::pair{503, kAccepted}}) {
        server_->Reply(reply, status);
        EXPECT_FALSE(SendSupportReport('X')) << reply;
        EXPECT_EQ(ReportedFlags(), (std::vector<bool>{false, true, false}));
        EXPECT_EQ(ReadAll(PracticeIni()), iniBefore);
        EXPECT_EQ(ReadAll(Inventory()), inventoryBefore);
    }
    CurrentReportTimeouts() = {1000, 200};
    server_->Delay(1500);
    EXPECT_FALSE(SendSupportReport('X'));
    EXPECT_EQ(ReportedFlags(), (std::vector<bool>{false, true, false}));
    EXPECT_EQ(ReadAll(Inventory()), inventoryBefore);

    auto requests = server_->Requests();
    ASSERT_EQ(requests.size(), 4u);
    for (const auto& r : requests)
        EXPECT_EQ(r.substr(r.find("\r\n\r\n")), requests[0].substr(requests[0].find("\r\n\r\n")));
    EXPECT_FALSE(fs::exists(DataFolderLocal() / "REPORT.LCK"));
}

TEST_F(FullReport, ASecondReportWhileTheLockIsHeldEndsAtOnce) {
    server_->Reply(kAccepted);
    platform::LockFile other;  // another workstation's report
    ASSERT_TRUE(
        other.Hold((DataFolderLocal() / "REPORT.LCK").string(), platform::LockMode::Exclusive));
    EXPECT_FALSE(SendSupportReport('X'));
    EXPECT_TRUE(server_->Requests().empty());
    EXPECT_TRUE(fs::exists(DataFolderLocal() / "REPORT.LCK"));

    other.Release();
    EXPECT_TRUE(SendSupportReport('X'));
}

TEST_F(FullReport, OfflineOrWithoutDataFolderNothingIsTouched) {
    const std::string inventoryBefore = ReadAll(Inventory());
    SetOnline(false);
    EXPECT_FALSE(SendSupportReport('X'));
    SetOnline(true);
    WriteAll(c_ / "Kestavo" / "KVO.INI", "[Kestavo]\r\nWD=\r\n");
    EXPECT_FALSE(SendSupportReport('X'));
    EXPECT_TRUE(server_->Requests().empty());
    EXPECT_EQ(ReadAll(Inventory()), inventoryBefore);
    EXPECT_FALSE(fs::exists(DataFolderLocal() / "REPORT.LCK"));
}

TEST_F(FullReport, DatesCarryAcrossMonths) {
    server_->Reply(kAccepted);
    // A practices date in the future counts as yesterday: practices go out.
    WriteAll(PracticeIni(), "[Report]\r\nPractice=01/01/2030\r\n[Kestavo]\r\nSMS=01/12/2026\r\n");
    EXPECT_TRUE(SendSupportReport('X'));
    std::string body = server_->OnlyBody();
    EXPECT_NE(body.find("<Practices>"), std::string::npos);
    EXPECT_EQ(body.find("<SMS>"), std::string::npos) << "already sent this month";
    EXPECT_EQ(PracticeValue("Report", "Practice"), "10/12/2026");

    // The first day of the next month sends every earlier month again,
    // December included now.
    clock_.now = {2027, 1, 1, 8, 0, 0, 0};
    EXPECT_TRUE(SendSupportReport('X'));
    auto requests = server_->Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_NE(requests[1].find("<SMS><Period Month=\"10/2026\" Count=\"2\"/><Period "
                               "Month=\"11/2026\" Count=\"1\"/><Period Month=\"12/1899\" "
                               "Count=\"1\"/><Period Month=\"12/2026\" Count=\"1\"/></SMS>"),
              std::string::npos)
        << requests[1];
    EXPECT_EQ(PracticeValue("Kestavo", "SMS"), "01/01/2027");
    EXPECT_EQ(PracticeValue("Report", "Practice"), "01/01/2027");
}

TEST_F(FullReport, MissingTablesLeaveTheirPartsEmpty) {
    fs::remove_all(DataTables());
    engine::Session().RemoveDatabase("KVO");
    fs::create_directories(DataTables());
    engine::Session().Database("KVO").Params() = {"PATH=" + DataTables().string()};
    server_->Reply(kAccepted);
    EXPECT_TRUE(SendSupportReport('E'));
    std::string body = server_->OnlyBody();
    EXPECT_NE(body.find("transmission=\"E\"><Practices/><Events/><Computers>"), std::string::npos)
        << body;
    EXPECT_EQ(body.find("<SMS"), std::string::npos);
    // No practice rows: the practices go again tomorrow.
    EXPECT_EQ(PracticeValue("Report", "Practice"), "30/12/1899");
}

TEST_F(FullReport, DeveloperWorkstationSeesTableFailuresAndKeepsACopy) {
    Settings().developerWorkstation = true;
    engine::Session().RemoveDatabase("KVO");
    fs::remove_all(DataTables());
    fs::create_directories(DataTables());
    engine::Session().Database("KVO").Params() = {"PATH=" + DataTables().string()};
    CreateTable("Error", {{"Error", TFieldType::Memo}}, {{engine::Variant{"x"}}});
    server_->Reply(kAccepted);

    EXPECT_TRUE(SendSupportReport('X'));

    const std::string body = server_->OnlyBody();
    EXPECT_NE(body.find("<Events/><Computers>"), std::string::npos) << body;
    EXPECT_EQ(ReadAll(c_ / "Report.xml"), body);
    auto boxes = shown();
    ASSERT_EQ(boxes.size(), 1u);  // the broken table; the missing ones are no failure
    EXPECT_EQ(boxes[0].flags, 0);
    EXPECT_NE(boxes[0].text.find("Reported"), std::string::npos) << boxes[0].text;
}

}  // namespace
}  // namespace kvo::common::testing
