// The practice-wide settings every program of the suite starts from.  They
// live in the practice INI file of the data folder ("KVODEN.INI", second
// product line "RULDENTAL.INI"); start-up reads them once, normalises a few of
// them in the file so that all programs and workstations agree, and keeps
// the result in memory for the rest of the run.
//
// Error contract: start-up routines raise.  A practice INI file that exists
// but cannot be read, or cannot be written back, raises EIniFileError; the
// file is then left as it was (normalising an unreadable file would replace
// the practice's settings with the defaults).
#pragma once

#include <stdexcept>
#include <string>

#include "common/Common.h"

namespace kvo::platform {
class IniFile;
}

namespace kvo::datamodule {

// An INI file of the start-up that cannot be read or written.
class EIniFileError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct TPracticeSettings {
    // First letter of [product] Country; the five flags follow it.
    char countryLetter = 'E';
    bool countryE = true;
    bool countryS = false;
    bool countryW = false;
    bool countryI = false;
    bool countryJ = false;
    bool iom = false;               // only ever set for country "E"
    std::string claimCode = "DPB";  // "RSI" for "I", "DPD" for "S"
    bool a1dpb = false;
    bool patientLock = false;  // [Patient] Lock
    bool newClaim = false;     // claim numbering of the control table
    // First letter of [Transmission] Format: 'E', 'N' or 'X'.
    char transmissionFormat = 'X';
    bool sms = false;  // [SMS] txtconnexions

    friend bool operator==(const TPracticeSettings&, const TPracticeSettings&) = default;
};

// The settings of this run: the defaults until ReadPracticeSettings has run.
// Written only at start-up, on the GUI thread.
TPracticeSettings& PracticeSettings();

// The practice INI file of a data folder (a suite path ending in a
// backslash): the folder followed by the product line's file name.
std::string PracticeIniPath(const std::string& dataFolder,
                            const common::LibrarySettings& names = common::Settings());

// Reads the settings from the practice INI file of the data folder and
// normalises it; the file is written back only when its text changed.
// `today` decides the one rule that applies only until a fixed date.  The
// result is also stored in PracticeSettings().  Raises EIniFileError.
TPracticeSettings ReadPracticeSettings(const std::string& dataFolder,
                                       const common::LibrarySettings& names = common::Settings(),
                                       const common::Clock& clock = common::CurrentClock());

// The reading and normalising itself, on a file already in memory.
// `productSection` is the product folder name ("Kestavo", "RUL Dental").
TPracticeSettings NormalisePracticeSettings(platform::IniFile& ini,
                                            const std::string& productSection,
                                            const common::LocalDateTime& today);

}  // namespace kvo::datamodule
