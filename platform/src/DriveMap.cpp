#include "platform/DriveMap.h"

#include <cstdlib>
#include <filesystem>

#include "platform/Ini.h"
#include "platform/System.h"

namespace kvo::platform {
namespace fs = std::filesystem;
namespace {

constexpr const char* kUncSection = "UNC";

bool IsLetter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

char Upper(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

bool IsSeparator(char c) {
    return c == '\\' || c == '/';
}

IniFile LoadMap(const std::string& file) {
    IniFile ini("\n");
    ini.Load(file);  // an unreadable map is an empty one: only C: is there
    return ini;
}

// The section a letter's entry lives in: "X", or "X:" when only that exists.
std::string SectionOf(const IniFile& map, char letter) {
    std::string plain(1, Upper(letter));
    return !map.SectionExists(plain) && map.SectionExists(plain + ":") ? plain + ":" : plain;
}

// "\\server\share" in one spelling: two backslashes, then server and share
// joined by one backslash.
std::string NormalShare(std::string_view share) {
    std::string out;
    for (char c : share)
        out += IsSeparator(c) ? '\\' : c;
    std::size_t start = out.find_first_not_of('\\');
    if (start == std::string::npos) return {};
    out = "\\\\" + out.substr(start);
    while (!out.empty() && out.back() == '\\')
        out.pop_back();
    return out;
}

DriveType ParseType(const std::string& text) {
    if (text.empty() || SameText(text, "fixed")) return DriveType::Fixed;
    if (SameText(text, "remote")) return DriveType::Remote;
    if (SameText(text, "removable")) return DriveType::Removable;
    if (SameText(text, "cdrom")) return DriveType::CdRom;
    if (SameText(text, "ramdisk")) return DriveType::RamDisk;
    return DriveType::Unknown;
}

const char* TypeName(DriveType type) {
    switch (type) {
        case DriveType::Remote:
            return "remote";
        case DriveType::Removable:
            return "removable";
        case DriveType::CdRom:
            return "cdrom";
        case DriveType::RamDisk:
            return "ramdisk";
        default:
            return "fixed";
    }
}

}  // namespace

std::string DriveMap::DefaultFile() {
    const char* v = std::getenv("KESTAVO_DRIVES");
    if (v && *v) return v;
    return ConfigHome() + "/kestavo/drives.ini";
}

std::string DriveMap::DefaultSystemDrive() {
    return DataHome() + "/kestavo/C";
}

std::optional<DriveEntry> DriveMap::Drive(char letter) const {
    if (!IsLetter(letter)) return std::nullopt;
    IniFile map = LoadMap(file());
    std::string section = SectionOf(map, letter);
    DriveEntry d;
    d.letter = Upper(letter);
    d.folder = map.ReadString(section, "Path", "");
    if (d.folder.empty()) {
        if (d.letter != 'C') return std::nullopt;
        d.folder = DefaultSystemDrive();
    }
    d.type = ParseType(map.ReadString(section, "Type", ""));
    d.label = map.ReadString(section, "Label", "");
    d.remote = map.ReadString(section, "Remote", "");
    d.substitute = map.ReadString(section, "Subst", "");
    std::error_code ec;
    d.rootExists = fs::is_directory(d.folder, ec);
    if (!d.rootExists && d.type != DriveType::Removable && d.type != DriveType::CdRom)
        d.type = DriveType::NoRootDir;
    return d;
}

std::vector<DriveEntry> DriveMap::Drives() const {
    std::vector<DriveEntry> out;
    for (char c = 'A'; c <= 'Z'; ++c)
        if (auto d = Drive(c)) out.push_back(std::move(*d));
    return out;
}

DriveType DriveMap::TypeOf(char letter) const {
    auto d = Drive(letter);
    return d ? d->type : DriveType::NoRootDir;
}

std::string DriveMap::VolumeLabel(char letter) const {
    auto d = Drive(letter);
    // A drive without medium has no volume to name.
    return d && d->rootExists ? d->label : std::string();
}

std::string DriveMap::RemoteName(char letter) const {
    auto d = Drive(letter);
    return d ? d->remote : std::string();
}

bool DriveMap::SetDrive(const DriveEntry& entry) {
    if (!IsLetter(entry.letter)) return false;
    IniFile map = LoadMap(file());
    std::string section = SectionOf(map, entry.letter);
    map.EraseSection(section);
    map.WriteString(section, "Path", entry.folder);
    map.WriteString(section, "Type", TypeName(entry.type));
    if (!entry.label.empty()) map.WriteString(section, "Label", entry.label);
    if (!entry.remote.empty()) map.WriteString(section, "Remote", entry.remote);
    if (!entry.substitute.empty()) map.WriteString(section, "Subst", entry.substitute);
    return map.Save(file());
}

bool DriveMap::RemoveDrive(char letter) {
    if (!IsLetter(letter)) return false;
    IniFile map = LoadMap(file());
    if (!map.EraseSection(SectionOf(map, letter))) return false;
    return map.Save(file());
}

bool DriveMap::MapSubstitute(char letter, const std::string& windowsFolder) {
    if (!IsLetter(letter) || Upper(letter) == 'C') return false;
    IniFile map = LoadMap(file());
    std::string section = SectionOf(map, letter);
    if (map.ValueExists(section, "Path") && !map.ValueExists(section, "Subst")) return false;
    std::string local = ToLocal(windowsFolder);
    std::error_code ec;
    if (local.empty() || !fs::is_directory(local, ec)) return false;
    // A substitute answers the type of the drive its folder is on, as the
    // system's drive-type query does.
    DriveType type = DriveType::Fixed;
    if (windowsFolder.size() >= 2 && IsSeparator(windowsFolder[0]) && IsSeparator(windowsFolder[1]))
        type = DriveType::Remote;
    else if (auto host = Drive(windowsFolder[0]); host && host->type != DriveType::NoRootDir)
        type = host->type;
    map.EraseSection(section);
    map.WriteString(section, "Path", local);
    map.WriteString(section, "Type", TypeName(type));
    map.WriteString(section, "Subst", windowsFolder);
    return map.Save(file());
}

bool DriveMap::UnmapSubstitute(char letter) {
    if (!IsLetter(letter)) return false;
    IniFile map = LoadMap(file());
    std::string section = SectionOf(map, letter);
    if (!map.ValueExists(section, "Subst")) return false;
    map.EraseSection(section);
    return map.Save(file());
}

std::string DriveMap::SubstituteTarget(char letter) const {
    if (!IsLetter(letter)) return {};
    IniFile map = LoadMap(file());
    return map.ReadString(SectionOf(map, letter), "Subst", "");
}

bool DriveMap::SetShare(const std::string& share, const std::string& folder) {
    std::string key = NormalShare(share);
    if (key.size() < 3) return false;
    IniFile map = LoadMap(file());
    map.WriteString(kUncSection, key, folder);
    return map.Save(file());
}

std::string DriveMap::ShareFolder(const std::string& share) const {
    std::string want = NormalShare(share);
    if (want.size() < 3) return {};
    IniFile map = LoadMap(file());
    for (const auto& key : map.Keys(kUncSection))
        if (SameText(NormalShare(key), want)) return map.ReadString(kUncSection, key, "");
    return {};
}

std::string DriveMap::ToLocal(std::string_view path) const {
    if (path.empty()) return {};
    if (path[0] == '/' && !(path.size() > 1 && path[1] == '/')) return std::string(path);
    if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) {
        // "\\server\share" is the share; what follows is inside its folder.
        std::size_t serverEnd = path.find_first_of("\\/", 2);
        if (serverEnd == std::string_view::npos || serverEnd == 2) return {};
        std::size_t shareEnd = path.find_first_of("\\/", serverEnd + 1);
        std::string_view share = path.substr(0, shareEnd);
        if (shareEnd == serverEnd + 1) return {};
        std::string folder = ShareFolder(std::string(share));
        if (folder.empty()) return {};
        return ResolveCase(folder, shareEnd == std::string_view::npos ? std::string_view()
                                                                      : path.substr(shareEnd));
    }
    if (path.size() >= 2 && path[1] == ':' && IsLetter(path[0])) {
        auto d = Drive(path[0]);
        if (!d) return {};
        // "C:name" is relative to the drive's current folder, which is its root here.
        return ResolveCase(d->folder, path.substr(2));
    }
    std::string out(path);
    for (char& c : out)
        if (c == '\\') c = '/';
    return out;
}

std::string ResolveCase(const std::string& base, std::string_view rest) {
    fs::path current = base.empty() ? fs::path("/") : fs::path(base);
    std::size_t pos = 0;
    while (pos < rest.size()) {
        std::size_t next = rest.find_first_of("\\/", pos);
        if (next == std::string_view::npos) next = rest.size();
        std::string part(rest.substr(pos, next - pos));
        pos = next + 1;
        if (part.empty() || part == ".") continue;
        fs::path exact = current / part;
        std::error_code ec;
        if (part != ".." && !fs::exists(fs::symlink_status(exact, ec)) &&
            fs::is_directory(current, ec)) {
            for (fs::directory_iterator it(current, ec), end; !ec && it != end; it.increment(ec))
                if (SameText(it->path().filename().string(), part)) {
                    exact = it->path();
                    break;
                }
        }
        current = std::move(exact);
    }
    std::string out = current.string();
    // A folder written with its final separator keeps it, so that names can
    // still be appended to it.
    if (!rest.empty() && IsSeparator(rest.back()) && (out.empty() || out.back() != '/')) out += '/';
    return out;
}

}  // namespace kvo::platform
