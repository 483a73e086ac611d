// The start-up steps that prepare the data folder and the files around it:
// the data-area lock that keeps programs out while the databases are packed,
// the folder tree of the data area, the per-user private folder, the claim
// row of the control table, the offer of a demonstration database, and two
// file copies.  The start-up sequence calls them in the order declared here.
//
// Paths are the suite's own (Windows) form: `dataFolder` is the data drive,
// a backslash, the product folder and a backslash ("S:\Kestavo\"); every file
// is reached through the drive map.
//
// Error contract: only the data-area lock and the control-table step can
// refuse the start.  A refusal has already been shown to the user (and the
// lock released where that is due) when the step answers EndProcess; the
// caller then ends the process with exit code 0.  Every other failure here
// is passed over, except what the control-table step lets through (an INI
// file it cannot write, anything that is not an engine error), which the
// caller's outer handler reports.  Steps that carry a start-up log
// checkpoint write it themselves, first thing.
#pragma once

#include <array>
#include <string>
#include <string_view>

#include "common/Common.h"
#include "datamodule/NetworkDrivesCheck.h"

namespace kvo::engine {
class TTable;
}

namespace kvo::datamodule {

inline constexpr std::string_view kPackingMessage = "The program is currently packing.";
inline constexpr std::string_view kPackDatabasesMessage =
    "Please run the 'Pack Databases' application.\r\r";
inline constexpr std::string_view kDemoDatabaseQuestion =
    "Install demonstration database?\r\n(recommended if evaluating software)";
inline constexpr std::string_view kDemoDatabaseProgram = "DemoDatabase.exe";

// The data area's folders, relative to the data folder, in the order they
// are made.  "Reports\Finance" is listed twice; "Lock" comes last and is
// marked hidden and system.
inline constexpr std::array<std::string_view, 35> kDataFolderTree = {
    "Bin",
    "Bin\\Update",
    "Data",
    "Archive",
    "Letters",
    "Letters\\General",
    "Letters\\Appointment",
    "Letters\\Estimate",
    "Letters\\Invoice",
    "Letters\\Prescription",
    "Letters\\Private",
    "Letters\\Recall",
    "Letters\\Receipt",
    "Letters\\Referral",
    "Letters\\Laboratory",
    "Letters\\Statement",
    "Schedule",
    "Cashbook",
    "Transmit\\SND",
    "Transmit\\RCV",
    "Reports",
    "Reports\\Bank",
    "Reports\\Bank\\Statement",
    "Reports\\Customer",
    "Reports\\Finance",
    "Reports\\Invoice",
    "Reports\\Invoice\\Product",
    "Reports\\Invoice\\Service",
    "Reports\\Nominal",
    "Reports\\Products",
    "Reports\\Statements",
    "Reports\\Supplier",
    "Reports\\Finance",
    "Reports\\Purchase Order",
    "Lock",
};

// The boot program of the product line ("KVO_BOOT.EXE", "RUL_BOOT.EXE").
std::string BootProgramName(const common::LibrarySettings& names = common::Settings());

// Takes the shared hold on the data-area lock file.  While the packing
// program holds it exclusively, shows "The program is currently packing."
// and answers EndProcess.
TStartupVerdict TakeDataAreaLock();

// Makes every folder of kDataFolderTree that is missing (with its parents)
// and marks "Lock" hidden and system.  A folder that cannot be made is
// passed over.
void CreateDataFolderTree(const std::string& dataFolder);

// The private folder's name: root + user + "\" + program + "\", with every
// apostrophe removed, so that every program of the suite arrives at the
// same name.  An empty user name reads "User".
std::string PrivateFolderText(std::string_view root, std::string_view user,
                              std::string_view program);

// Makes the private folder of this user and program under the private root,
// makes it the current directory and returns its short form (empty when
// that cannot be had; the shared library has recorded why).
std::string CreatePrivateFolder();

struct TControlTableResult {
    TStartupVerdict verdict = TStartupVerdict::GoOn;
    bool claimFound = false;
};

// Checks the control table for its "Claim" row when the practice has its
// tables in the data folder's "Data" subfolder: a found row with the
// practice setting NewClaim off notes Claim=1 in the practice INI file; with
// NewClaim on a missing row is appended.  An engine error refuses the start
// ("Please run the 'Pack Databases' application." and the engine's message,
// the lock released) unless this is a packing program, which goes on.  The
// table is always left closed with its index field names "Name".
// Raises EIniFileError when the practice INI file cannot be written.
TControlTableResult ControlTableStep(const std::string& dataFolder, engine::TTable& Control_Table);

// When no claim row was found: appends one whose Number is the largest Form
// of the user table (0 when none is above 0).  Fails silently.
void AddFirstClaimRow(engine::TTable& User_Table, engine::TTable& Control_Table, bool claimFound);

// When the installation folder holds DemoDatabase.exe and the practice has
// no patients and no users (or misses either table), asks whether to
// install the demonstration database and, on Yes, runs the installer with
// "/AUTO /YYYYMMDD" (today) and waits for it.  Every failure is ignored.
void OfferDemoDatabase();

// Copies Data\PRV_FEE.DB to Bin\PRV_FEE.DB when the latter is missing.
void CopyFeeTable(const std::string& dataFolder);

// Copies the boot program from the data folder into the installation
// folder when only the data folder has it.
void CopyBootProgram(const std::string& dataFolder);

}  // namespace kvo::datamodule
