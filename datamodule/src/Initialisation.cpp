#include "datamodule/Initialisation.h"

#include <unistd.h>

#include <cctype>
#include <filesystem>
#include <system_error>

#include "common/CommonHelpers.h"
#include "common/Cypher.h"
#include "common/CypherTexts.h"
#include "platform/DriveMap.h"

namespace kvo::datamodule {
namespace fs = std::filesystem;
namespace {

// Copies through a temporary file in the target's folder, so that a program
// starting meanwhile never reads half an installation INI file.
bool CopyWhole(const fs::path& from, const fs::path& to) {
    std::error_code ec;
    fs::create_directories(to.parent_path(), ec);
    fs::path temp = to;
    temp += ".takeover-" + std::to_string(::getpid());
    if (!fs::copy_file(from, temp, fs::copy_options::overwrite_existing, ec)) {
        fs::remove(temp, ec);
        return false;
    }
    fs::rename(temp, to, ec);
    if (ec) {
        fs::remove(temp, ec);
        return false;
    }
    return true;
}

// Installations of old kept the installation settings in the Windows folder
// under the practice INI file's name; the first run after an upgrade takes
// them over so the practice does not have to choose its data drive again.
bool TakeOverWindowsIni(const common::LibrarySettings& names) {
    const std::string target = platform::DriveMap().ToLocal(names.installIni);
    if (target.empty()) return false;
    std::error_code ec;
    if (fs::exists(target, ec) || ec) return false;
    const fs::path source = platform::ResolveCase(common::WindowsFolder(), names.practiceIniName);
    if (!fs::is_regular_file(source, ec)) return false;
    return CopyWhole(source, target);
}

}  // namespace

bool IsSecondLineProgram(std::string_view programPath) {
    const std::string base = common::ExeBaseName(programPath);
    if (base.size() < 3) return false;
    std::string head;
    for (char c : base.substr(0, 3))
        head += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return head == "RUL";
}

common::LibrarySettings ProductLineNames(std::string_view programPath) {
    return IsSecondLineProgram(programPath) ? common::LibrarySettings::SecondLine()
                                            : common::LibrarySettings();
}

bool IsDeveloperLabel(std::string_view volumeLabel) {
    const std::string word =
        common::UnscrambleShortText(common::kScrambledDeveloperWord, common::kShortTextKey);
    // An empty word would be found in every label.
    return !word.empty() && volumeLabel.find(word) != std::string_view::npos;
}

TInitialisationResult InitialiseSharedLibrary() {
    TInitialisationResult result;
    try {
        common::LibrarySettings& settings = common::Settings();
        settings.developerWorkstation = IsDeveloperLabel(common::VolumeLabel('C'));

        const std::string program = settings.programPath;
        const bool developer = settings.developerWorkstation;
        const std::string base = program.empty() ? common::ProgramBaseName() : program;
        settings = ProductLineNames(base);
        settings.programPath = program;
        settings.developerWorkstation = developer;

        common::StartupCheckpoint(0);
        common::StartupCheckpoint(0.01);
        result.windowsVersion = common::WindowsVersionCode();
        result.iniTakenOver = TakeOverWindowsIni(settings);
        common::StartupCheckpoint(0.02);
    } catch (...) {
        // The library's initialisation must not stop the program; what did not
        // get done shows up later as a missing setting or file.
    }
    return result;
}

}  // namespace kvo::datamodule
