#include "datamodule/PracticeSettings.h"

#include <tuple>

#include "platform/DriveMap.h"
#include "platform/Ini.h"
#include "platform/Text.h"

namespace kvo::datamodule {
namespace {

// A key present with nothing after its equals sign has no first letter; it
// then counts as absent, so the default letter applies.
char FirstLetter(const std::string& value, char def) {
    return value.empty() ? def : value[0];
}

// The SMS flag was introduced with a three-state value whose "not decided"
// state (2) was settled from the account details at start-up; the settling
// stopped on this date, after which the value is taken as it stands.
bool BeforeSmsCutOff(const common::LocalDateTime& today) {
    return std::tie(today.year, today.month, today.day) < std::make_tuple(2009, 11, 1);
}

}  // namespace

TPracticeSettings& PracticeSettings() {
    static TPracticeSettings settings;
    return settings;
}

std::string PracticeIniPath(const std::string& dataFolder, const common::LibrarySettings& names) {
    return dataFolder + names.practiceIniName;
}

TPracticeSettings NormalisePracticeSettings(platform::IniFile& ini,
                                            const std::string& productSection,
                                            const common::LocalDateTime& today) {
    const std::string& product = productSection;
    TPracticeSettings s;

    s.countryLetter = FirstLetter(ini.ReadString(product, "Country", "E"), 'E');
    const char country = s.countryLetter;
    s.countryE = country == 'E';
    s.countryS = country == 'S';
    s.countryW = country == 'W';
    s.countryI = country == 'I';
    s.countryJ = country == 'J';

    s.iom = country == 'E' && ini.ReadBool(product, "IOM", false);
    s.claimCode = country == 'I' ? "RSI" : country == 'S' ? "DPD" : "DPB";

    if (country == 'J') {
        std::string status = platform::UpperAscii(ini.ReadString("Patient", "Status", "NPIDXLS"));
        if (auto n = status.find('N'); n != std::string::npos) {
            status.erase(n, 1);
            ini.WriteString("Patient", "Status", status);
        }
    }

    s.a1dpb = ini.ReadBool(product, "A1DPB", false);
    ini.EraseSection("Computers");
    s.patientLock = ini.ReadBool("Patient", "Lock", false);
    s.newClaim = ini.ReadBool(product, "NewClaim", false);

    if (ini.ReadString("Transmission", "Format", "").empty() &&
        ini.ReadString("Transmission", "Serial", "").empty())
        ini.WriteString("Transmission", "Format", country == 'S' ? "N" : "X");

    s.transmissionFormat = FirstLetter(ini.ReadString("Transmission", "Format", "E"), 'E');
    if (s.transmissionFormat != 'E' && s.transmissionFormat != 'N') s.transmissionFormat = 'X';

    if ((s.transmissionFormat == 'E' || s.transmissionFormat == 'N') &&
        !ini.ValueExists("RACAL", "Site"))
        ini.WriteString("RACAL", "Site", ini.ReadString("Transmission", "Site", ""));

    if (country != 'S') {
        ini.WriteString("Transmission", "Format", "X");
        ini.EraseSection("WebEDI");
        s.transmissionFormat = 'X';
    }

    if (BeforeSmsCutOff(today) && ini.ReadInteger("SMS", "txtconnexions", 2) == 2) {
        bool account = !ini.ReadString("SMS", "Username", "").empty() &&
                       !ini.ReadString("SMS", "Password", "").empty();
        ini.WriteBool("SMS", "txtconnexions", account);
    }
    s.sms = ini.ReadBool("SMS", "txtconnexions", false);
    return s;
}

TPracticeSettings ReadPracticeSettings(const std::string& dataFolder,
                                       const common::LibrarySettings& names,
                                       const common::Clock& clock) {
    const std::string path = PracticeIniPath(dataFolder, names);
    const std::string local = platform::DriveMap().ToLocal(path);
    if (local.empty()) throw EIniFileError("Unable to read " + path);

    platform::IniFile ini;
    if (!ini.Load(local)) throw EIniFileError("Unable to read " + path);
    const std::string before = ini.Text();
    TPracticeSettings s = NormalisePracticeSettings(ini, names.productFolder, clock.Now());
    if (ini.Text() != before && !ini.Save(local)) throw EIniFileError("Unable to write to " + path);

    PracticeSettings() = s;
    return s;
}

}  // namespace kvo::datamodule
