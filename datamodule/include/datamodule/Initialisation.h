// The shared library's initialisation: before any window exists it decides
// the product line from the program's file name, fills the library's settings
// with that line's names, marks the supplier's own workstations, starts the
// start-up log and takes over an installation INI file left in the Windows
// folder by older installations.
//
// Error contract: like the rest of the shared library this reports by its
// result and raises nothing; a step that fails is skipped.  GUI thread only.
#pragma once

#include <string>
#include <string_view>

#include "common/Common.h"

namespace kvo::datamodule {

// True when the program belongs to the second product line: the first three
// letters of its base name (no folder, no extension), upper-cased, are "RUL".
bool IsSecondLineProgram(std::string_view programPath);

// The names table of the product line the program belongs to.  Only the
// names change; the program path and the developer flag are left as the
// default settings hold them.
common::LibrarySettings ProductLineNames(std::string_view programPath);

// True when a volume label holds the word the suite keeps scrambled for the
// supplier's own workstations (compared with case).
bool IsDeveloperLabel(std::string_view volumeLabel);

struct TInitialisationResult {
    int windowsVersion = -1;  // the code the suite tests for (WindowsVersionCode)
    // The installation INI file was missing and has been copied from the
    // practice INI file found in the Windows folder.
    bool iniTakenOver = false;
};

// Runs the initialisation on common::Settings(), whose programPath names the
// program (empty: the running one) and is kept.  Meant to run once per
// process, before the start-up data module; running it again repeats it.
TInitialisationResult InitialiseSharedLibrary();

}  // namespace kvo::datamodule
