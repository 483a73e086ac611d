#include "platform/NetworkDrives.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <filesystem>

#include "platform/Ini.h"
#include "platform/Process.h"
#include "platform/Text.h"

namespace kvo::platform {
namespace fs = std::filesystem;
namespace {

// Server and share of "\\server\share" (either separator); false when the
// text is not one.
bool SplitShare(const std::string& share, std::string& server, std::string& name) {
    std::string s = share;
    for (char& c : s)
        if (c == '/') c = '\\';
    if (s.size() < 5 || s[0] != '\\' || s[1] != '\\') return false;
    std::size_t sep = s.find('\\', 2);
    if (sep == std::string::npos || sep == 2) return false;
    std::size_t end = s.find('\\', sep + 1);
    if (end != std::string::npos && end + 1 != s.size()) return false;  // a folder inside
    server = s.substr(2, sep - 2);
    name = s.substr(sep + 1, end == std::string::npos ? std::string::npos : end - sep - 1);
    return !name.empty();
}

bool IsDirectory(const std::string& path) {
    std::error_code ec;
    return !path.empty() && fs::is_directory(path, ec);
}

}  // namespace

LinuxNetworkDrives::LinuxNetworkDrives(DriveMap drives, Mounter mounter)
    : drives_(std::move(drives)), mounter_(std::move(mounter)) {}

std::string LinuxNetworkDrives::ShareUrl(const std::string& share) {
    std::string server, name;
    if (!SplitShare(share, server, name)) return {};
    return "smb://" + LowerAscii(server) + "/" + LowerAscii(name);
}

LinuxNetworkDrives::Mounter LinuxNetworkDrives::GioMounter(int timeoutMs) {
    return [timeoutMs](const std::string& url) -> Mounted {
        auto started = StartProgram("gio", {"mount", url});
        if (!started) return {{}, started.error};
        auto waited = WaitForProcess(started.pid, {}, timeoutMs);
        // A share that is mounted already makes gio complain; the folder
        // below decides.
        if (waited.state == WaitState::TimedOut) return {{}, ETIMEDOUT};
        const char* runtime = std::getenv("XDG_RUNTIME_DIR");
        std::string server = url.substr(6, url.find('/', 6) - 6);
        std::string share = url.substr(url.find('/', 6) + 1);
        std::string folder = std::string(runtime ? runtime : "") +
                             "/gvfs/smb-share:server=" + server + ",share=" + share;
        if (!IsDirectory(folder)) return {{}, EHOSTUNREACH};
        return {folder, 0};
    };
}

std::optional<std::string> LinuxNetworkDrives::RemoteName(char letter) {
    auto d = drives_.Drive(letter);
    if (!d || d->remote.empty()) return std::nullopt;
    if (d->type != DriveType::Remote && d->type != DriveType::NoRootDir) return std::nullopt;
    return d->remote;
}

int LinuxNetworkDrives::Cancel(const std::string& share) {
    std::string server, name;
    if (!SplitShare(share, server, name)) return EINVAL;
    const std::string url = ShareUrl(share);
    for (const auto& d : drives_.Drives())
        if (!d.remote.empty() && ShareUrl(d.remote) == url && !drives_.RemoveDrive(d.letter))
            return EIO;
    return 0;
}

int LinuxNetworkDrives::Connect(char letter, const std::string& share) {
    const std::string url = ShareUrl(share);
    if (url.empty() || !((letter >= 'a' && letter <= 'z') || (letter >= 'A' && letter <= 'Z')))
        return EINVAL;
    // C: is the system's own disk, never a connection.
    if (letter == 'c' || letter == 'C') return EINVAL;
    std::string folder = drives_.ShareFolder(share);
    if (!IsDirectory(folder)) {
        if (!mounter_) return ENOSYS;
        Mounted m = mounter_(url);
        if (m.error != 0) return m.error;
        if (!IsDirectory(m.folder)) return EHOSTUNREACH;
        folder = m.folder;
    }
    DriveEntry entry;
    entry.letter = letter;
    entry.folder = folder;
    entry.type = DriveType::Remote;
    entry.remote = share;
    return drives_.SetDrive(entry) ? 0 : EIO;
}

namespace {
std::atomic<NetworkDrives*> gNetwork{nullptr};

NetworkDrives& DefaultNetworkDrives() {
    static LinuxNetworkDrives defaultDrives;
    return defaultDrives;
}
}  // namespace

NetworkDrives& CurrentNetworkDrives() {
    NetworkDrives* p = gNetwork.load();
    return p ? *p : DefaultNetworkDrives();
}

NetworkDrives* SetNetworkDrives(NetworkDrives* drives) {
    NetworkDrives* previous = gNetwork.exchange(drives);
    return previous ? previous : &DefaultNetworkDrives();
}

}  // namespace kvo::platform
