#include "common/CommonHelpers.h"

#include <QCoreApplication>
#include <QThread>
#include <cctype>
#include <chrono>
#include <filesystem>

#include "CommonPlatform.h"

namespace fs = std::filesystem;

namespace kvo::common {
namespace {

// Names come back in the case of the letter asked for.
std::string InLetterCase(std::string text, char letter) {
    const bool lower = static_cast<unsigned char>(letter) > 96;
    for (auto& c : text)
        c = static_cast<char>(lower ? std::tolower(static_cast<unsigned char>(c))
                                    : std::toupper(static_cast<unsigned char>(c)));
    return text;
}

char Upper(char letter) {
    return static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));
}

bool gQuitRequested = false;

// True once the application has begun to quit; the waits stop then.
bool ApplicationTerminating() {
    auto* app = QCoreApplication::instance();
    if (!app) return false;
    static QMetaObject::Connection watch =
        QObject::connect(app, &QCoreApplication::aboutToQuit, [] { gQuitRequested = true; });
    return gQuitRequested || QCoreApplication::closingDown();
}

void ServeEvents() {
    if (QCoreApplication::instance()) QCoreApplication::processEvents();
}

std::string LockFilePath() {
    std::string data = DataFolder();
    if (data.empty()) return {};
    std::string local = detail::LocalPath(data);
    std::error_code ec;
    if (local.empty() || !fs::is_directory(local, ec)) return {};
    return (fs::path(local) / Settings().lockFileName).string();
}

bool LockDataAreaWith(bool exclusive) {
    try {
        std::string lock = LockFilePath();
        if (lock.empty()) return true;  // no data folder yet: nothing to guard
        detail::DropLockFile();
        return detail::HoldLockFile(lock, exclusive);
    } catch (...) {
        return false;
    }
}

}  // namespace

std::string ShortPathName(const std::string& path) {
    std::string result;
    try {
        std::string local = detail::LocalPath(path);
        std::error_code ec;
        if (!local.empty() && fs::exists(local, ec)) result = path;
    } catch (...) {
        result.clear();
    }
    if (result.empty()) RecordEvent("Information", "GetShortPathName");
    try {
        const std::string& ini = Settings().installIni;
        detail::IniWriteString(ini, "GetShortPathName", "LongName", path);
        detail::IniWriteString(ini, "GetShortPathName", "ShortName", result);
    } catch (...) {
    }
    return result;
}

std::string WindowsFolder() {
    try {
        std::string folder = detail::SystemConfigFolder();
        if (folder.empty() || folder.back() != '/') folder += '/';
        return folder;
    } catch (...) {
        return "/";
    }
}

std::string SpecialFolder(int id, bool create) {
    try {
        std::string folder;
        if (id == kCsidlAppData)
            folder = detail::ConfigHome();
        else if (id == kCsidlLocalAppData)
            folder = detail::DataHome();
        if (folder.empty()) return {};
        if (create) {
            std::error_code ec;
            fs::create_directories(folder, ec);
        }
        if (folder.back() != '/') folder += '/';
        return folder;
    } catch (...) {
        return {};
    }
}

std::string WithTrailingBackslash(std::string_view path) {
    if (!path.empty() && path.back() == '\\') return std::string(path);
    return std::string(path) + '\\';
}

std::string VolumeLabel(char letter) {
    try {
        auto facts = detail::Drive(Upper(letter));
        if (!facts || !facts->rootExists) return {};
        return InLetterCase(facts->label, letter);
    } catch (...) {
        return {};
    }
}

std::string DriveRemoteName(char letter) {
    try {
        auto facts = detail::Drive(Upper(letter));
        if (facts && facts->type == detail::DriveType::Remote && !facts->remote.empty())
            return InLetterCase(facts->remote, letter);
    } catch (...) {
    }
    return VolumeLabel(letter);
}

bool MapSubstituteDrive(char letter, const std::string& folder) {
    try {
        return detail::DefineSubstitute(Upper(letter), folder);
    } catch (...) {
        return false;
    }
}

bool UnmapSubstituteDrive(char letter) {
    try {
        if (SubstituteDriveTarget(letter).empty()) return false;
        return detail::RemoveSubstitute(Upper(letter));
    } catch (...) {
        return false;
    }
}

std::string SubstituteDriveTarget(char letter) {
    try {
        return detail::SubstituteTarget(Upper(letter));
    } catch (...) {
        return {};
    }
}

std::int64_t FileSizeOf(const std::string& name) {
    try {
        std::string local = detail::LocalPath(name);
        if (local.empty()) return -1;
        std::error_code ec;
        auto status = fs::status(local, ec);
        if (ec || !fs::exists(status)) return -1;
        if (!fs::is_regular_file(status)) return 0;
        auto size = fs::file_size(local, ec);
        return ec ? -1 : static_cast<std::int64_t>(size);
    } catch (...) {
        return -1;
    }
}

bool DeleteFolder(const std::string& path) {
    try {
        std::string trimmed = path;
        while (trimmed.size() > 1 && (trimmed.back() == '\\' || trimmed.back() == '/'))
            trimmed.pop_back();
        if (trimmed.empty()) return false;
        std::string local = detail::LocalPath(trimmed);
        std::error_code ec;
        if (local.empty() || !fs::exists(fs::symlink_status(local, ec))) return false;
        return detail::DeleteTree(local);
    } catch (...) {
        return false;
    }
}

int WindowsVersionCode() {
    return -1;
}

ProcessHandle ExecApp(const std::string& file, const std::string& parameters) {
    int error = 0;
    long pid = 0;
    try {
        std::string local = file.find_first_of("/\\:") == std::string::npos
                                ? file  // a bare program name is looked up on the search path
                                : detail::LocalPath(file);
        if (local.empty())
            error = ENOENT;
        else
            pid = detail::Spawn(local, parameters, error);
    } catch (...) {
        pid = 0;
        if (error == 0) error = EIO;
    }
    if (pid <= 0) throw EExecAppError(FormatSystemError(error ? error : ENOENT, file));
    return ProcessHandle{pid};
}

void WaitForProcess(ProcessHandle process) {
    if (process.id <= 0) return;
    try {
        detail::WaitServing(process.id, [] {
            ServeEvents();
            return !ApplicationTerminating();
        });
    } catch (...) {
    }
}

void PauseWithMessages(std::uint32_t ms) {
    // Real time, not the recording clock: a pause must end even when tests
    // freeze that clock.
    using namespace std::chrono;
    auto end = steady_clock::now() + milliseconds(ms);
    while (steady_clock::now() < end && !ApplicationTerminating()) {
        ServeEvents();
        QThread::msleep(std::min<std::int64_t>(
            5, std::max<std::int64_t>(
                   0, duration_cast<milliseconds>(end - steady_clock::now()).count())));
    }
}

bool LockDataArea() {
    return LockDataAreaWith(false);
}

bool LockDataAreaExclusive() {
    return LockDataAreaWith(true);
}

void UnlockDataArea() {
    try {
        std::string lock = LockFilePath();
        if (lock.empty()) return;
        detail::DropLockFile();
        detail::DeleteLockFileIfFree(lock);
    } catch (...) {
    }
}

void ReleaseDataAreaLock() {
    try {
        detail::DropLockFile();
    } catch (...) {
    }
}

}  // namespace kvo::common
