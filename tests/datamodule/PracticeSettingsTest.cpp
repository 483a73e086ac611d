#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>

#include "StartupFixture.h"
#include "datamodule/PracticeSettings.h"
#include "platform/Ini.h"
#include "platform/Sys.h"

namespace kvo::datamodule {
namespace {

using testing::StartupTest;

// One line per setting kept, so a failing row shows every difference at once.
std::string Summary(const TPracticeSettings& s) {
    std::string flags;
    if (s.countryE) flags += 'E';
    if (s.countryS) flags += 'S';
    if (s.countryW) flags += 'W';
    if (s.countryI) flags += 'I';
    if (s.countryJ) flags += 'J';
    auto b = [](bool v) { return v ? "1" : "0"; };
    return std::string("country=") + s.countryLetter + " flags=" + flags + " claim=" + s.claimCode +
           " iom=" + b(s.iom) + " a1dpb=" + b(s.a1dpb) + " lock=" + b(s.patientLock) +
           " newclaim=" + b(s.newClaim) + " format=" + s.transmissionFormat + " sms=" + b(s.sms);
}

constexpr common::LocalDateTime kLater{2024, 3, 5};
constexpr common::LocalDateTime kLastSmsDay{2009, 10, 31};
constexpr common::LocalDateTime kSmsCutOff{2009, 11, 1};

struct Row {
    const char* name;
    const char* before;  // practice INI text
    common::LocalDateTime today;
    const char* settings;  // Summary() of the result
    const char* after;     // the file's text afterwards
};

// Inputs use LF line ends; lines added to such a file follow them.
const Row kRows[] = {
    {"NewFile", "", kLater,
     "country=E flags=E claim=DPB iom=0 a1dpb=0 lock=0 newclaim=0 format=X sms=0",
     "[Transmission]\r\nFormat=X\r\n"},
    {"NewFileWhileSmsUndecided", "", kLastSmsDay,
     "country=E flags=E claim=DPB iom=0 a1dpb=0 lock=0 newclaim=0 format=X sms=0",
     "[Transmission]\r\nFormat=X\r\n[SMS]\r\ntxtconnexions=0\r\n"},
    {"SmsUndecidedWithAccount", "[SMS]\nUsername=surgery\nPassword=pw\n", kLastSmsDay,
     "country=E flags=E claim=DPB iom=0 a1dpb=0 lock=0 newclaim=0 format=X sms=1",
     "[SMS]\nUsername=surgery\nPassword=pw\ntxtconnexions=1\n[Transmission]\nFormat=X\n"},
    {"SmsNotANumberCountsAsUndecided", "[SMS]\ntxtconnexions=yes\nUsername=surgery\n", kLastSmsDay,
     "country=E flags=E claim=DPB iom=0 a1dpb=0 lock=0 newclaim=0 format=X sms=0",
     "[SMS]\ntxtconnexions=0\nUsername=surgery\n[Transmission]\nFormat=X\n"},
    {"SmsDecidedIsKept", "[SMS]\ntxtconnexions=1\n", kLastSmsDay,
     "country=E flags=E claim=DPB iom=0 a1dpb=0 lock=0 newclaim=0 format=X sms=1",
     "[SMS]\ntxtconnexions=1\n[Transmission]\nFormat=X\n"},
    {"SmsNotSettledFromTheCutOffDay", "[SMS]\nUsername=surgery\nPassword=pw\n", kSmsCutOff,
     "country=E flags=E claim=DPB iom=0 a1dpb=0 lock=0 newclaim=0 format=X sms=0",
     "[SMS]\nUsername=surgery\nPassword=pw\n[Transmission]\nFormat=X\n"},
    {"ScotlandWithoutTransmission", "[Kestavo]\nCountry=Scotland\n[WebEDI]\nUrl=x\n", kLater,
     "country=S flags=S claim=DPD iom=0 a1dpb=0 lock=0 newclaim=0 format=N sms=0",
     "[Kestavo]\nCountry=Scotland\n[WebEDI]\nUrl=x\n[Transmission]\nFormat=N\n[RACAL]\nSite=\n"},
    {"ScotlandUnknownFormatCountsAsX",
     "[Kestavo]\nCountry=S\n[Transmission]\nFormat=Q\n[WebEDI]\nUrl=x\n", kLater,
     "country=S flags=S claim=DPD iom=0 a1dpb=0 lock=0 newclaim=0 format=X sms=0",
     "[Kestavo]\nCountry=S\n[Transmission]\nFormat=Q\n[WebEDI]\nUrl=x\n"},
    {"ScotlandSiteCopiedToRacal", "[Kestavo]\nCountry=S\n[Transmission]\nFormat=E\nSite=4711\n",
     kLater, "country=S flags=S claim=DPD iom=0 a1dpb=0 lock=0 newclaim=0 format=E sms=0",
     "[Kestavo]\nCountry=S\n[Transmission]\nFormat=E\nSite=4711\n[RACAL]\nSite=4711\n"},
    {"ScotlandRacalSiteKept",
     "[Kestavo]\nCountry=S\n[Transmission]\nSerial=9\nSite=1\n[RACAL]\nSite=2\n", kLater,
     "country=S flags=S claim=DPD iom=0 a1dpb=0 lock=0 newclaim=0 format=E sms=0",
     "[Kestavo]\nCountry=S\n[Transmission]\nSerial=9\nSite=1\n[RACAL]\nSite=2\n"},
    {"OutsideScotlandFormatForcedAndWebEdiErased",
     "[Kestavo]\nCountry=W\n[Transmission]\nFormat=E\nSite=7\n[WebEDI]\nUrl=x\n", kLater,
     "country=W flags=W claim=DPB iom=0 a1dpb=0 lock=0 newclaim=0 format=X sms=0",
     "[Kestavo]\nCountry=W\n[Transmission]\nFormat=X\nSite=7\n[RACAL]\nSite=7\n"},
    {"IsleOfManOnlyForE", "[Kestavo]\nCountry=E\nIOM=1\n", kLater,
     "country=E flags=E claim=DPB iom=1 a1dpb=0 lock=0 newclaim=0 format=X sms=0",
     "[Kestavo]\nCountry=E\nIOM=1\n[Transmission]\nFormat=X\n"},
    {"IrelandIgnoresIom", "[Kestavo]\nCountry=I\nIOM=1\n", kLater,
     "country=I flags=I claim=RSI iom=0 a1dpb=0 lock=0 newclaim=0 format=X sms=0",
     "[Kestavo]\nCountry=I\nIOM=1\n[Transmission]\nFormat=X\n"},
    {"EmptyCountryIsE", "[Kestavo]\nCountry=\n", kLater,
     "country=E flags=E claim=DPB iom=0 a1dpb=0 lock=0 newclaim=0 format=X sms=0",
     "[Kestavo]\nCountry=\n[Transmission]\nFormat=X\n"},
    {"JerseyDefaultStatusWritten", "[Kestavo]\nCountry=J\n", kLater,
     "country=J flags=J claim=DPB iom=0 a1dpb=0 lock=0 newclaim=0 format=X sms=0",
     "[Kestavo]\nCountry=J\n[Patient]\nStatus=PIDXLS\n[Transmission]\nFormat=X\n"},
    {"JerseyFirstNRemovedUpperCase", "[Kestavo]\nCountry=J\n[Patient]\nStatus=pnxn\n", kLater,
     "country=J flags=J claim=DPB iom=0 a1dpb=0 lock=0 newclaim=0 format=X sms=0",
     "[Kestavo]\nCountry=J\n[Patient]\nStatus=PXN\n[Transmission]\nFormat=X\n"},
    {"JerseyStatusWithoutNUntouched", "[Kestavo]\nCountry=J\n[Patient]\nStatus=pid\n", kLater,
     "country=J flags=J claim=DPB iom=0 a1dpb=0 lock=0 newclaim=0 format=X sms=0",
     "[Kestavo]\nCountry=J\n[Patient]\nStatus=pid\n[Transmission]\nFormat=X\n"},
    {"FlagsReadAndComputersErased",
     "[Kestavo]\nA1DPB=1\nNewClaim=-1\n[Computers]\nPC1=x\n[Patient]\nLock=1\n[Transmission]\n"
     "Format=X\n",
     kLater, "country=E flags=E claim=DPB iom=0 a1dpb=1 lock=1 newclaim=1 format=X sms=0",
     "[Kestavo]\nA1DPB=1\nNewClaim=-1\n[Patient]\nLock=1\n[Transmission]\nFormat=X\n"},
    {"BadLogicalsGiveDefaults",
     "[Kestavo]\nA1DPB=yes\n[Patient]\nLock=true\n[Transmission]\nFormat=X\n", kLater,
     "country=E flags=E claim=DPB iom=0 a1dpb=0 lock=0 newclaim=0 format=X sms=0",
     "[Kestavo]\nA1DPB=yes\n[Patient]\nLock=true\n[Transmission]\nFormat=X\n"},
};

class NormaliseTest : public ::testing::TestWithParam<Row> {};

TEST_P(NormaliseTest, SettingsAndFile) {
    const Row& row = GetParam();
    platform::IniFile ini;
    ini.Parse(row.before);
    TPracticeSettings s = NormalisePracticeSettings(ini, "Kestavo", row.today);
    EXPECT_EQ(Summary(s), row.settings);
    EXPECT_EQ(ini.Text(), row.after);
}

INSTANTIATE_TEST_SUITE_P(Rows, NormaliseTest, ::testing::ValuesIn(kRows),
                         [](const auto& info) { return std::string(info.param.name); });

class FixedClock : public common::Clock {
  public:
    explicit FixedClock(common::LocalDateTime now) : now_(now) {}
    common::LocalDateTime Now() const override { return now_; }
    std::uint32_t TickCount() const override { return 0; }

  private:
    common::LocalDateTime now_;
};

class ReadPracticeSettingsTest : public StartupTest {};

TEST_F(ReadPracticeSettingsTest, CreatesTheFileAndKeepsTheSettings) {
    FixedClock clock({2024, 1, 1});
    PracticeSettings() = TPracticeSettings{};
    PracticeSettings().sms = true;  // proves the result replaces what was kept
    TPracticeSettings s = ReadPracticeSettings("C:\\Kestavo\\", common::Settings(), clock);
    EXPECT_EQ(Summary(s),
              "country=E flags=E claim=DPB iom=0 a1dpb=0 lock=0 newclaim=0 format=X sms=0");
    EXPECT_EQ(PracticeSettings(), s);
    EXPECT_EQ(ReadFile(DriveC() + "/Kestavo/KVODEN.INI"), "[Transmission]\r\nFormat=X\r\n");
}

// The SMS rule follows the injected clock, not the machine's date.
TEST_F(ReadPracticeSettingsTest, DateRuleAsksTheClock) {
    FixedClock clock(kLastSmsDay);
    ReadPracticeSettings("C:\\Kestavo\\", common::Settings(), clock);
    EXPECT_EQ(ReadFile(DriveC() + "/Kestavo/KVODEN.INI"),
              "[Transmission]\r\nFormat=X\r\n[SMS]\r\ntxtconnexions=0\r\n");
}

TEST_F(ReadPracticeSettingsTest, SecondProductLineUsesItsFileAndSection) {
    FixedClock clock({2024, 1, 1});
    const std::string file = DriveC() + "/RUL Dental/RULDENTAL.INI";
    WriteFile(file,
              "[RUL Dental]\r\nCountry=S\r\n[Transmission]\r\nFormat=N\r\n[RACAL]\r\nSite=1\r\n");
    TPracticeSettings s =
        ReadPracticeSettings("C:\\RUL Dental\\", common::LibrarySettings::SecondLine(), clock);
    EXPECT_EQ(s.countryLetter, 'S');
    EXPECT_EQ(s.transmissionFormat, 'N');
}

TEST_F(ReadPracticeSettingsTest, UnchangedFileIsNotRewritten) {
    FixedClock clock({2024, 1, 1});
    const std::string file = DriveC() + "/Kestavo/KVODEN.INI";
    WriteFile(file, "; practice\r\n[Transmission]\r\nFormat=X\r\n");
    const auto stamp = std::filesystem::last_write_time(file) - std::chrono::hours(1);
    std::filesystem::last_write_time(file, stamp);
    ReadPracticeSettings("C:\\Kestavo\\", common::Settings(), clock);
    EXPECT_EQ(std::filesystem::last_write_time(file), stamp);
}

// An unreadable file must not be normalised from defaults and written back:
// that would replace the practice's settings.
TEST_F(ReadPracticeSettingsTest, UnreadableFileRaisesAndStaysUntouched) {
    FixedClock clock({2024, 1, 1});
    MakeDir("data/kestavo/C/Kestavo/KVODEN.INI");  // a folder where the file should be
    EXPECT_THROW(ReadPracticeSettings("C:\\Kestavo\\", common::Settings(), clock), EIniFileError);
    EXPECT_TRUE(std::filesystem::is_directory(DriveC() + "/Kestavo/KVODEN.INI"));
}

TEST_F(ReadPracticeSettingsTest, FailedWriteRaisesAndKeepsTheFile) {
    FixedClock clock({2024, 1, 1});
    const std::string file = DriveC() + "/Kestavo/KVODEN.INI";
    WriteFile(file, "[Computers]\r\nPC1=x\r\n");
    platform::ScopedSysOverride sys;
    sys.table().rename = [](const char*, const char*) {
        errno = EIO;
        return -1;
    };
    EXPECT_THROW(ReadPracticeSettings("C:\\Kestavo\\", common::Settings(), clock), EIniFileError);
    EXPECT_EQ(ReadFile(file), "[Computers]\r\nPC1=x\r\n");
}

TEST_F(ReadPracticeSettingsTest, UnmappedDataDriveRaises) {
    FixedClock clock({2024, 1, 1});
    EXPECT_THROW(ReadPracticeSettings("Q:\\Kestavo\\", common::Settings(), clock), EIniFileError);
}

}  // namespace
}  // namespace kvo::datamodule
