#include "platform/System.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "platform/Ini.h"
#include "platform/Sys.h"

namespace kvo::platform {
namespace fs = std::filesystem;
namespace {

std::string Env(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

std::string PasswdHome() {
    std::vector<char> buf(16384);
    passwd pw{};
    passwd* found = nullptr;
    if (getpwuid_r(geteuid(), &pw, buf.data(), buf.size(), &found) == 0 && found && pw.pw_dir)
        return pw.pw_dir;
    return {};
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream buf;
    buf << in.rdbuf();
    return buf.str();
}

constexpr const char* kAttributesFile = ".attributes";
constexpr const char* kAttributesSection = "Attributes";

}  // namespace

std::string UserName() {
    std::vector<char> buf(16384);
    passwd pw{};
    passwd* found = nullptr;
    if (getpwuid_r(geteuid(), &pw, buf.data(), buf.size(), &found) == 0 && found && pw.pw_name)
        return pw.pw_name;
    return Env("USER");
}

std::string HostName() {
    char buf[256] = {};
    if (Sys().gethostname(buf, sizeof buf - 1) != 0) return {};
    return buf;
}

bool StandardErrorIsTerminal() {
    return ::isatty(STDERR_FILENO) != 0;
}

std::string ExecutablePath() {
    std::error_code ec;
    auto p = fs::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : p.string();
}

std::string HomeFolder() {
    std::string home = Env("HOME");
    return home.empty() ? PasswdHome() : home;
}

std::string ErrorText(int error) {
    char buf[256];
    const char* text = strerror_r(error, buf, sizeof buf);
    std::string s = text ? text : "";
    if (s.rfind("Unknown error", 0) == 0) return {};
    return s;
}

std::optional<std::uint64_t> FreeDiskSpace(const std::string& localPath) {
    struct statvfs st {};
    if (Sys().statvfs(localPath.c_str(), &st) != 0) return std::nullopt;
    return static_cast<std::uint64_t>(st.f_bavail) * st.f_frsize;
}

std::string WindowsFolder() {
    std::string v = Env("KESTAVO_SYSCONF");
    if (v.empty()) v = "/etc/kestavo/";
    if (v.back() != '/') v += '/';
    return v;
}

std::string ConfigHome() {
    std::string v = Env("XDG_CONFIG_HOME");
    // The XDG rules ignore a relative value.
    if (v.empty() || v[0] != '/') v = HomeFolder() + "/.config";
    while (v.size() > 1 && v.back() == '/')
        v.pop_back();
    return v;
}

std::string DataHome() {
    std::string v = Env("XDG_DATA_HOME");
    if (v.empty() || v[0] != '/') v = HomeFolder() + "/.local/share";
    while (v.size() > 1 && v.back() == '/')
        v.pop_back();
    return v;
}

bool SetFileAttributes(const std::string& localPath, unsigned attributes) {
    std::error_code ec;
    fs::path p = fs::path(localPath).lexically_normal();
    if (!p.has_filename()) p = p.parent_path();
    std::string name = p.filename().string();
    if (!fs::exists(p, ec) || name.empty() || name == "." || name == ".." ||
        name.find_first_of("=\r\n") != std::string::npos || name[0] == '[' || name[0] == ';' ||
        name.front() == ' ' || name.back() == ' ' || name.front() == '"' || name.front() == '\'')
        return false;
    std::string file = (p.parent_path() / kAttributesFile).string();
    IniFile ini("\n");
    if (!ini.Load(file)) return false;
    attributes &= kAttrHidden | kAttrSystem;
    if (attributes == 0 && !ini.ValueExists(kAttributesSection, name)) return true;
    if (attributes == 0)
        ini.DeleteKey(kAttributesSection, name);
    else
        ini.WriteInteger(kAttributesSection, name, attributes);
    return ini.Save(file);
}

unsigned FileAttributes(const std::string& localPath) {
    fs::path p = fs::path(localPath).lexically_normal();
    if (!p.has_filename()) p = p.parent_path();
    IniFile ini;
    if (!ini.Load((p.parent_path() / kAttributesFile).string())) return 0;
    return static_cast<unsigned>(ini.ReadInteger(kAttributesSection, p.filename().string(), 0)) &
           (kAttrHidden | kAttrSystem);
}

bool DeleteTree(const std::string& localPath) {
    if (localPath.empty()) return false;
    std::error_code ec;
    fs::path lexical = fs::absolute(localPath, ec).lexically_normal();
    if (ec) return false;
    if (!lexical.has_filename()) lexical = lexical.parent_path();
    fs::path resolved = fs::weakly_canonical(lexical, ec);
    if (ec) return false;
    for (const fs::path& p : {lexical, resolved}) {
        if (p.empty() || p == p.root_path()) return false;
        for (const std::string& home : {Env("HOME"), PasswdHome()}) {
            if (home.empty()) continue;
            fs::path h = fs::weakly_canonical(home, ec);
            if (ec) return false;
            for (const fs::path& hp : {h, fs::path(home).lexically_normal()}) {
                auto rel = hp.lexically_relative(p);
                if (!rel.empty() && *rel.begin() != "..") return false;
            }
        }
    }
    if (!fs::exists(fs::symlink_status(lexical, ec))) return false;
    // The path as given is removed: a symbolic link goes, not what it points at.
    fs::remove_all(lexical, ec);
    return !ec;
}

bool IsConnected(std::string_view routeTable, const std::string& interfacesFolder) {
    std::istringstream in{std::string(routeTable)};
    std::string line;
    std::getline(in, line);  // column titles
    while (std::getline(in, line)) {
        std::istringstream cols(line);
        std::string iface, destination, gateway, flagsText;
        if (!(cols >> iface >> destination >> gateway >> flagsText)) continue;
        unsigned long flags = std::strtoul(flagsText.c_str(), nullptr, 16);
        constexpr unsigned long kRouteUp = 0x1;
        if (destination != "00000000" || !(flags & kRouteUp)) continue;
        if (iface.find('/') != std::string::npos || iface == "." || iface == "..") continue;
        std::string ifFlags = ReadAll(interfacesFolder + "/" + iface + "/flags");
        constexpr unsigned long kInterfaceUp = 0x1;
        if (!ifFlags.empty() && (std::strtoul(ifFlags.c_str(), nullptr, 16) & kInterfaceUp))
            return true;
    }
    return false;
}

bool IsConnected() {
    return IsConnected(ReadAll("/proc/net/route"), "/sys/class/net");
}

}  // namespace kvo::platform
