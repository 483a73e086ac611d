// The shared library's bridge to the platform layer: the drive map, INI
// files, identity, processes, lock files, version notes and message boxes.
#include "CommonPlatform.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <thread>

#include "platform/DriveMap.h"
#include "platform/Ini.h"
#include "platform/LockFile.h"
#include "platform/MessagePresenter.h"
#include "platform/Process.h"
#include "platform/System.h"
#include "platform/VersionNote.h"

namespace fs = std::filesystem;

namespace kvo::common {
namespace {

platform::LockFile gDataAreaLock;

detail::DriveType FromPlatform(platform::DriveType t) {
    using detail::DriveType;
    switch (t) {
        case platform::DriveType::Removable:
            return DriveType::Removable;
        case platform::DriveType::Fixed:
            return DriveType::Fixed;
        case platform::DriveType::Remote:
            return DriveType::Remote;
        case platform::DriveType::CdRom:
            return DriveType::CdRom;
        case platform::DriveType::RamDisk:
            return DriveType::RamDisk;
        default:
            return DriveType::Unknown;
    }
}

detail::DriveFacts FromPlatform(const platform::DriveEntry& e) {
    using detail::DriveType;
    detail::DriveFacts d;
    d.letter = e.letter;
    d.type = FromPlatform(e.type);
    d.rootExists = e.rootExists;
    // A fixed, network or RAM drive whose folder is missing has no root at all;
    // a removable or CD drive without its folder is a drive without medium.
    if (!d.rootExists && d.type != DriveType::Removable && d.type != DriveType::CdRom)
        d.type = DriveType::Unknown;
    d.label = e.label;
    d.remote = e.remote;
    return d;
}

}  // namespace

namespace detail {

std::string ConfigHome() {
    return platform::ConfigHome();
}
std::string DataHome() {
    return platform::DataHome();
}
std::string SystemConfigFolder() {
    return platform::WindowsFolder();
}

std::string LocalPath(const std::string& path) {
    if (path.empty()) return {};
    return platform::DriveMap().ToLocal(path);
}

bool SameText(std::string_view a, std::string_view b) {
    return platform::SameText(a, b);
}

struct IniDocument::File {
    platform::IniFile ini;
};

IniDocument::IniDocument() : file_(new File) {}
IniDocument::~IniDocument() = default;

bool IniDocument::Load(const std::string& localPath) {
    return file_->ini.Load(localPath);
}

bool IniDocument::Save(const std::string& localPath) const {
    return file_->ini.Save(localPath);
}

std::string IniDocument::ReadString(std::string_view section, std::string_view key,
                                    std::string_view def) const {
    return file_->ini.ReadString(section, key, def);
}

void IniDocument::WriteString(std::string_view section, std::string_view key,
                              std::string_view value) {
    file_->ini.WriteString(section, key, value);
}

std::vector<std::string> IniDocument::Sections() const {
    return file_->ini.Sections();
}

bool IsConnected() {
    return platform::IsConnected();
}

std::string IniReadString(const std::string& file, const std::string& section,
                          const std::string& key, const std::string& def) {
    std::string local = LocalPath(file);
    platform::IniFile ini;
    if (local.empty() || !ini.Load(local)) return def;
    return ini.ReadString(section, key, def);
}

bool IniWriteString(const std::string& file, const std::string& section, const std::string& key,
                    const std::string& value) {
    std::string local = LocalPath(file);
    platform::IniFile ini;
    // A file that exists but cannot be read is not overwritten.
    if (local.empty() || !ini.Load(local)) return false;
    ini.WriteString(section, key, value);
    return ini.Save(local);
}

std::string LoginName() {
    return platform::UserName();
}
std::string HostName() {
    return platform::HostName();
}
std::string ExecutablePath() {
    return platform::ExecutablePath();
}
std::string ErrorText(int code) {
    return platform::ErrorText(code);
}

std::optional<FileVersion> ReadVersionNote(const std::string& localPath) {
    auto note = platform::ReadVersionNote(localPath);
    if (!note) return std::nullopt;
    return FileVersion{
        static_cast<std::int32_t>(note->major), static_cast<std::int32_t>(note->minor),
        static_cast<std::int32_t>(note->release), static_cast<std::int32_t>(note->build)};
}

int PresentMessage(const std::string& text, const std::string& caption, int flags) {
    return platform::CurrentPresenter().ShowMessage(text, caption, flags);
}

std::optional<DriveFacts> Drive(char letter) {
    auto e = platform::DriveMap().Drive(letter);
    if (!e) return std::nullopt;
    return FromPlatform(*e);
}

std::vector<DriveFacts> Drives() {
    std::vector<DriveFacts> out;
    for (const auto& e : platform::DriveMap().Drives())
        out.push_back(FromPlatform(e));
    return out;
}

bool DefineSubstitute(char letter, const std::string& folder) {
    return platform::DriveMap().MapSubstitute(letter, folder);
}

bool RemoveSubstitute(char letter) {
    return platform::DriveMap().UnmapSubstitute(letter);
}

std::string SubstituteTarget(char letter) {
    return platform::DriveMap().SubstituteTarget(letter);
}

bool DeleteTree(const std::string& localPath) {
    return platform::DeleteTree(localPath);
}

long Spawn(const std::string& localFile, const std::string& parameters, int& error) {
    platform::StartResult r;
    std::error_code ec;
    if (localFile.find('/') != std::string::npos && fs::is_regular_file(localFile, ec) &&
        ::access(localFile.c_str(), X_OK) != 0) {
        // Not a program: opened by the desktop's handler for its type.
        r = platform::StartThroughShell(localFile);
    } else {
        r = platform::StartProgram(localFile, platform::SplitParameters(parameters));
    }
    error = r.error;
    return r ? r.pid : 0;
}

bool WaitServing(long pid, const std::function<bool()>& serve) {
    auto r = platform::WaitForProcess(static_cast<pid_t>(pid), serve, -1, 100);
    return r.state != platform::WaitState::Abandoned;
}

bool HoldLockFile(const std::string& localPath, bool exclusive) {
    return gDataAreaLock.Hold(
        localPath, exclusive ? platform::LockMode::Exclusive : platform::LockMode::Shared);
}

void DropLockFile() {
    gDataAreaLock.Release();
}

void DeleteLockFileIfFree(const std::string& localPath) {
    platform::LockFile::DeleteIfFree(localPath);
}

struct ScopedFileLock::Hold {
    platform::LockFile lock;
};

ScopedFileLock::ScopedFileLock(const std::string& localPath, int waitMs) : hold_(new Hold) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    // Only a hold of another program is worth waiting for; a lock file that
    // cannot be made at all (its folder is missing, say) never will be.
    while (!(held_ = hold_->lock.Hold(localPath, platform::LockMode::Exclusive)) &&
           (hold_->lock.error() == EAGAIN || hold_->lock.error() == EACCES) &&
           std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

ScopedFileLock::~ScopedFileLock() = default;

}  // namespace detail
}  // namespace kvo::common
