#include "platform/Registry.h"

#include <unistd.h>

#include <cstdlib>

#include "platform/Ini.h"
#include "platform/Process.h"
#include "platform/Sys.h"
#include "platform/System.h"

namespace kvo::platform {
namespace {

constexpr const char* kDefaultValue = "@";

// A key path without leading or trailing backslashes; empty optional when it
// cannot be stored (empty components, characters that would end the section
// header or the line).
std::optional<std::string> NormalKey(std::string_view key) {
    while (!key.empty() && key.front() == '\\')
        key.remove_prefix(1);
    while (!key.empty() && key.back() == '\\')
        key.remove_suffix(1);
    std::string out(key);
    if (out.find("\\\\") != std::string::npos) return std::nullopt;
    for (unsigned char c : out)
        if (c < 0x20 || c == 0x7F || c == '[' || c == ']') return std::nullopt;
    if (!out.empty() && (out.front() == ' ' || out.back() == ' ')) return std::nullopt;
    return out;
}

// The INI key a value name is stored under; nullopt when the name cannot be.
std::optional<std::string> StoredName(std::string_view name) {
    if (name.empty()) return std::string(kDefaultValue);
    std::string out(name);
    for (unsigned char c : out)
        if (c < 0x20 || c == 0x7F || c == '=') return std::nullopt;
    if (out.front() == ' ' || out.back() == ' ' || out.front() == ';' || out.front() == '[' ||
        out.front() == '\t')
        return std::nullopt;
    return out;
}

std::string Escape(std::string_view s) {
    std::string out;
    for (char c : s) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\r')
            out += "\\r";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

std::string Unescape(std::string_view s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 1 < s.size()) {
            char n = s[++i];
            out += n == 'r' ? '\r' : n == 'n' ? '\n' : n;
        } else {
            out += s[i];
        }
    }
    return out;
}

bool IsPrefixKey(std::string_view parent, std::string_view child) {
    return parent.empty() || (child.size() > parent.size() && child[parent.size()] == '\\' &&
                              SameText(child.substr(0, parent.size()), parent));
}

// One argument of an Exec= line, quoted when the desktop entry rules ask for it.
std::string ExecArgument(std::string_view arg) {
    static constexpr std::string_view kReserved = " \t\n\"'\\><~|&;$*?#()`";
    std::string out;
    if (!arg.empty() && arg.find_first_of(kReserved) == std::string_view::npos) {
        out = arg;
    } else {
        out = "\"";
        for (char c : arg) {
            if (c == '"' || c == '`' || c == '$' || c == '\\') out += '\\';
            out += c;
        }
        out += '"';
    }
    std::string escaped;
    for (char c : out) {
        if (c == '%')
            escaped += "%%";
        else if (c == '\\')
            escaped += "\\\\";  // the value itself is an escaped string
        else if (c == '\n')
            escaped += "\\n";
        else
            escaped += c;
    }
    return escaped;
}

// A value's name as first written; later writes in another case keep it, and
// so does its autostart file.
std::string SpellingOf(const IniFile& ini, std::string_view key, std::string_view stored) {
    for (const auto& k : ini.Keys(key))
        if (SameText(k, stored)) return k == kDefaultValue ? std::string() : k;
    return stored == kDefaultValue ? std::string() : std::string(stored);
}

std::string FileNamePart(std::string_view name) {
    std::string out = name.empty() ? std::string("(default)") : std::string(name);
    for (char& c : out)
        if (c == '/' || static_cast<unsigned char>(c) < 0x20) c = '_';
    if (out == "." || out == "..") out = "_";
    return out;
}

}  // namespace

const char* HiveName(Hive hive) {
    switch (hive) {
        case Hive::ClassesRoot:
            return "HKEY_CLASSES_ROOT";
        case Hive::CurrentUser:
            return "HKEY_CURRENT_USER";
        case Hive::LocalMachine:
            return "HKEY_LOCAL_MACHINE";
        case Hive::Users:
            return "HKEY_USERS";
        case Hive::CurrentConfig:
            return "HKEY_CURRENT_CONFIG";
    }
    return "HKEY_UNKNOWN";
}

std::string RegistryStore::DefaultFolder() {
    const char* v = std::getenv("KESTAVO_REGISTRY");
    if (v && *v) return v;
    return ConfigHome() + "/kestavo/registry";
}

std::string RegistryStore::DefaultAutostartFolder() {
    return ConfigHome() + "/autostart";
}

RegistryStore::RegistryStore(std::string folder, std::string autostartFolder, DriveMap drives)
    : folder_(std::move(folder)),
      autostart_(std::move(autostartFolder)),
      drives_(std::move(drives)) {}

std::string RegistryStore::HiveFile(Hive hive) const {
    return folder_ + "/" + HiveName(hive) + ".ini";
}

bool RegistryStore::IsRunKey(Hive hive, std::string_view key) const {
    return (hive == Hive::LocalMachine || hive == Hive::CurrentUser) && SameText(key, kRunKey);
}

std::string RegistryStore::AutostartFile(std::string_view name) const {
    return autostart_ + "/" + FileNamePart(name) + ".desktop";
}

bool RegistryStore::CreateKey(Hive hive, std::string_view key) {
    auto k = NormalKey(key);
    if (!k) return false;
    if (k->empty()) return true;  // the hive itself
    IniFile ini("\n");
    if (!ini.Load(HiveFile(hive))) return false;
    bool changed = false;
    std::size_t pos = 0;
    while (pos != std::string::npos) {
        pos = k->find('\\', pos + 1);
        std::string prefix = k->substr(0, pos);
        if (!ini.SectionExists(prefix)) {
            // An empty section is written by adding and removing a value.
            ini.WriteString(prefix, kDefaultValue, "");
            ini.DeleteKey(prefix, kDefaultValue);
            changed = true;
        }
    }
    return !changed || ini.Save(HiveFile(hive));
}

bool RegistryStore::KeyExists(Hive hive, std::string_view key) const {
    auto k = NormalKey(key);
    if (!k) return false;
    if (k->empty()) return true;
    IniFile ini;
    return ini.Load(HiveFile(hive)) && ini.SectionExists(*k);
}

bool RegistryStore::DeleteKey(Hive hive, std::string_view key) {
    auto k = NormalKey(key);
    if (!k || k->empty()) return false;
    IniFile ini("\n");
    if (!ini.Load(HiveFile(hive)) || !ini.SectionExists(*k)) return false;
    for (const auto& section : ini.Sections()) {
        if (!SameText(section, *k) && !IsPrefixKey(*k, section)) continue;
        if (IsRunKey(hive, section))
            for (const auto& name : ini.Keys(section))
                UnmirrorRun(name == kDefaultValue ? std::string() : name);
        ini.EraseSection(section);
    }
    return ini.Save(HiveFile(hive));
}

std::vector<std::string> RegistryStore::SubKeys(Hive hive, std::string_view key) const {
    std::vector<std::string> out;
    auto k = NormalKey(key);
    IniFile ini;
    if (!k || !ini.Load(HiveFile(hive))) return out;
    for (const auto& section : ini.Sections()) {
        if (!IsPrefixKey(*k, section)) continue;
        std::string rest = section.substr(k->empty() ? 0 : k->size() + 1);
        if (rest.find('\\') == std::string::npos) out.push_back(rest);
    }
    return out;
}

bool RegistryStore::WriteValue(Hive hive, std::string_view key, std::string_view name,
                               std::string stored, std::string* spelling) {
    auto k = NormalKey(key);
    auto n = StoredName(name);
    if (!k || k->empty() || !n) return false;
    IniFile ini("\n");
    if (!ini.Load(HiveFile(hive)) || !ini.SectionExists(*k)) return false;
    // Quoted, so that blanks at either end of a string survive the reading.
    ini.WriteString(*k, *n, "\"" + stored + "\"");
    if (spelling) *spelling = SpellingOf(ini, *k, *n);
    return ini.Save(HiveFile(hive));
}

bool RegistryStore::WriteString(Hive hive, std::string_view key, std::string_view name,
                                std::string_view value) {
    std::string spelling;
    if (!WriteValue(hive, key, name, "s:" + Escape(value), &spelling)) return false;
    auto k = NormalKey(key);
    return !IsRunKey(hive, *k) || MirrorRun(spelling, value);
}

bool RegistryStore::WriteInteger(Hive hive, std::string_view key, std::string_view name,
                                 std::int32_t value) {
    std::string spelling;
    if (!WriteValue(hive, key, name, "i:" + std::to_string(value), &spelling)) return false;
    auto k = NormalKey(key);
    if (IsRunKey(hive, *k)) UnmirrorRun(spelling);  // a number starts nothing
    return true;
}

std::optional<std::string> RegistryStore::ReadTagged(Hive hive, std::string_view key,
                                                     std::string_view name,
                                                     std::string_view tag) const {
    auto k = NormalKey(key);
    auto n = StoredName(name);
    IniFile ini;
    if (!k || !n || !ini.Load(HiveFile(hive))) return std::nullopt;
    auto v = ini.Value(*k, *n);
    if (!v || v->rfind(tag, 0) != 0) return std::nullopt;
    return v->substr(tag.size());
}

std::optional<std::string> RegistryStore::ReadString(Hive hive, std::string_view key,
                                                     std::string_view name) const {
    auto v = ReadTagged(hive, key, name, "s:");
    if (!v) return std::nullopt;
    return Unescape(*v);
}

std::optional<std::int32_t> RegistryStore::ReadInteger(Hive hive, std::string_view key,
                                                       std::string_view name) const {
    auto v = ReadTagged(hive, key, name, "i:");
    if (!v) return std::nullopt;
    return ParseIniInteger(*v);
}

ValueKind RegistryStore::KindOf(Hive hive, std::string_view key, std::string_view name) const {
    if (ReadString(hive, key, name)) return ValueKind::String;
    if (ReadInteger(hive, key, name)) return ValueKind::Integer;
    return ValueKind::None;
}

bool RegistryStore::DeleteValue(Hive hive, std::string_view key, std::string_view name) {
    auto k = NormalKey(key);
    auto n = StoredName(name);
    IniFile ini("\n");
    if (!k || !n || !ini.Load(HiveFile(hive))) return false;
    std::string spelling = SpellingOf(ini, *k, *n);
    if (!ini.DeleteKey(*k, *n) || !ini.Save(HiveFile(hive))) return false;
    if (IsRunKey(hive, *k)) UnmirrorRun(spelling);
    return true;
}

std::vector<std::string> RegistryStore::ValueNames(Hive hive, std::string_view key) const {
    auto k = NormalKey(key);
    IniFile ini;
    if (!k || !ini.Load(HiveFile(hive))) return {};
    auto names = ini.Keys(*k);
    for (auto& n : names)
        if (n == kDefaultValue) n.clear();
    return names;
}

bool RegistryStore::MirrorRun(std::string_view name, std::string_view command) const {
    std::string exec = DesktopExecLine(command, drives_);
    if (exec.empty()) return false;
    std::string label;
    for (char c : name.empty() ? std::string_view("(default)") : name)
        label += (c == '\n' || c == '\r') ? ' ' : c;
    IniFile entry("\n");
    entry.Parse("[Desktop Entry]\nType=Application\nName=" + label + "\nExec=" + exec +
                "\nX-Kestavo-Run-Value=" + label + "\n");
    return entry.Save(AutostartFile(name));
}

void RegistryStore::UnmirrorRun(std::string_view name) const {
    Sys().unlink(AutostartFile(name).c_str());
}

std::string DesktopExecLine(std::string_view command, const DriveMap& drives) {
    std::string_view rest = command;
    while (!rest.empty() && (rest.front() == ' ' || rest.front() == '\t'))
        rest.remove_prefix(1);
    std::string program;
    if (!rest.empty() && rest.front() == '"') {
        std::size_t close = rest.find('"', 1);
        program =
            std::string(rest.substr(1, close == std::string_view::npos ? rest.npos : close - 1));
        rest = close == std::string_view::npos ? std::string_view() : rest.substr(close + 1);
    } else {
        std::size_t blank = rest.find_first_of(" \t");
        program = std::string(rest.substr(0, blank));
        rest = blank == std::string_view::npos ? std::string_view() : rest.substr(blank);
    }
    if (program.empty()) return {};
    std::string local = drives.ToLocal(program);
    if (local.empty()) return {};
    std::string line = ExecArgument(local);
    for (const auto& arg : SplitParameters(rest))
        line += " " + ExecArgument(arg);
    return line;
}

}  // namespace kvo::platform
