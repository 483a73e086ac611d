// The shared library's bridge to the system: the drive map, INI files,
// identity, processes, lock files and the message box presenter.
#include "CommonPlatform.h"

#include <fcntl.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QMessageBox>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace fs = std::filesystem;

namespace kvo::common {
namespace {

MessagePresenter gPresenter;

bool SameText(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

std::string Trim(std::string s) {
    auto notSpace = [](unsigned char c) { return !std::isspace(c); };
    s.erase(s.begin(), std::find_if(s.begin(), s.end(), notSpace));
    s.erase(std::find_if(s.rbegin(), s.rend(), notSpace).base(), s.end());
    return s;
}

std::string Env(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

std::string Home() {
    std::string home = Env("HOME");
    if (home.empty())
        if (const passwd* pw = getpwuid(geteuid())) home = pw->pw_dir;
    return home;
}

// A private-profile INI file: sections and keys compared without case,
// order kept; lines that are neither keep their place.
class IniFile {
  public:
    explicit IniFile(std::string path) : path_(std::move(path)) {
        std::ifstream in(path_, std::ios::binary);
        if (!in) return;
        std::ostringstream buf;
        buf << in.rdbuf();
        std::string text = buf.str();
        crlf_ = text.find("\r\n") != std::string::npos || text.empty();
        std::istringstream lines(text);
        std::string line;
        while (std::getline(lines, line)) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            std::string t = Trim(line);
            if (t.size() >= 2 && t.front() == '[' && t.back() == ']') {
                sections_.push_back({t.substr(1, t.size() - 2), {}});
                continue;
            }
            auto eq = line.find('=');
            if (eq == std::string::npos || t.empty() || t[0] == ';')
                sections_.back().lines.push_back({"", line, false});
            else
                sections_.back().lines.push_back(
                    {Trim(line.substr(0, eq)), Trim(line.substr(eq + 1)), true});
        }
    }

    std::optional<std::string> Read(std::string_view section, std::string_view key) const {
        for (const auto& s : sections_)
            if (SameText(s.name, section))
                for (const auto& l : s.lines)
                    if (l.isKey && SameText(l.key, key)) return Unquoted(l.value);
        return std::nullopt;
    }

    bool HasSection(std::string_view section) const {
        return std::any_of(sections_.begin() + 1, sections_.end(),
                           [&](const Section& s) { return SameText(s.name, section); });
    }

    void Write(const std::string& section, const std::string& key, const std::string& value) {
        auto s = FindSection(section);
        if (s == sections_.end()) {
            sections_.push_back({section, {}});
            s = sections_.end() - 1;
        }
        for (auto& l : s->lines)
            if (l.isKey && SameText(l.key, key)) {
                l.value = value;
                return;
            }
        // New keys go after the section's last key, before trailing blank lines.
        auto at = s->lines.end();
        while (at != s->lines.begin() && !(at - 1)->isKey && Trim((at - 1)->value).empty())
            --at;
        s->lines.insert(at, {key, value, true});
    }

    bool EraseSection(std::string_view section) {
        auto s = FindSection(section);
        if (s == sections_.end()) return false;
        sections_.erase(s);
        return true;
    }

    bool Save() const {
        const char* eol = crlf_ ? "\r\n" : "\n";
        std::string out;
        for (const auto& s : sections_) {
            if (!s.name.empty() || &s != &sections_.front()) out += "[" + s.name + "]" + eol;
            for (const auto& l : s.lines)
                out += (l.isKey ? l.key + "=" + l.value : l.value) + eol;
        }
        std::error_code ec;
        fs::create_directories(fs::path(path_).parent_path(), ec);
        std::ofstream f(path_, std::ios::binary | std::ios::trunc);
        if (!f) return false;
        f << out;
        f.flush();
        return static_cast<bool>(f);
    }

  private:
    // A value wrapped in matching quotes is read without them.
    static std::string Unquoted(const std::string& v) {
        if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
            return v.substr(1, v.size() - 2);
        return v;
    }

    struct Line {
        std::string key, value;
        bool isKey;
    };
    struct Section {
        std::string name;
        std::vector<Line> lines;
    };
    std::vector<Section>::iterator FindSection(std::string_view name) {
        return std::find_if(sections_.begin() + 1, sections_.end(),
                            [&](const Section& s) { return SameText(s.name, name); });
    }

    std::string path_;
    bool crlf_ = true;
    std::vector<Section> sections_{{"", {}}};
};

std::string DriveMapPath() {
    std::string path = Env("KESTAVO_DRIVES");
    return path.empty() ? detail::ConfigHome() + "/kestavo/drives.ini" : path;
}

std::string SectionOf(char letter) {
    return std::string(1, static_cast<char>(std::toupper(static_cast<unsigned char>(letter))));
}

// A drive's section is named by its letter, with or without the colon.
std::string SectionOf(const IniFile& map, char letter) {
    std::string plain = SectionOf(letter);
    return !map.HasSection(plain) && map.HasSection(plain + ":") ? plain + ":" : plain;
}

// The folder a drive letter stands for; C: always has one.
std::string DriveFolder(const IniFile& map, char letter) {
    std::string folder = map.Read(SectionOf(map, letter), "Path").value_or("");
    if (folder.empty() && SectionOf(letter) == "C") folder = detail::DataHome() + "/kestavo/C";
    return folder;
}

// Windows names ignore case: each existing component is matched without
// case, and the rest is taken as written.
fs::path ResolveCase(const fs::path& base, std::string_view rest) {
    fs::path current = base;
    std::size_t pos = 0;
    while (pos <= rest.size()) {
        auto next = rest.find_first_of("\\/", pos);
        std::string part(rest.substr(pos, next == std::string_view::npos ? rest.npos : next - pos));
        pos = next == std::string_view::npos ? rest.size() + 1 : next + 1;
        if (part.empty() || part == ".") continue;
        std::error_code ec;
        fs::path exact = current / part;
        if (part != ".." && !fs::exists(exact, ec) && fs::is_directory(current, ec)) {
            for (const auto& e : fs::directory_iterator(current, ec))
                if (SameText(e.path().filename().string(), part)) {
                    exact = e.path();
                    break;
                }
        }
        current = exact;
    }
    return current;
}

int DefaultPresenter(const std::string& text, const std::string& caption, int flags) {
    const bool question = (flags & 0x0F) == 4;
    if (!qobject_cast<QApplication*>(QCoreApplication::instance())) {
        // No GUI to ask: the text still reaches whoever watches the program.
        std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
        return question ? kIdNo : kIdOk;
    }
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    switch (flags & 0xF0) {
        case 16:
            icon = QMessageBox::Critical;
            break;
        case 32:
            icon = QMessageBox::Question;
            break;
        case 48:
            icon = QMessageBox::Warning;
            break;
        case 64:
            icon = QMessageBox::Information;
            break;
    }
    QString shown = QString::fromStdString(text);
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n")).replace(QChar('\r'), QChar('\n'));
    QMessageBox box(icon, QString::fromStdString(caption), shown,
                    question ? QMessageBox::Yes | QMessageBox::No : QMessageBox::Ok,
                    QApplication::activeWindow());
    if (QWidget* w = QApplication::activeWindow()) {
        w->raise();
        w->activateWindow();
    }
    int r = box.exec();
    if (r == QMessageBox::Yes) return kIdYes;
    if (r == QMessageBox::No) return kIdNo;
    return kIdOk;
}

int gLockFd = -1;

bool SetOfdLock(int fd, short type) {
    struct flock fl {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    return fcntl(fd, F_OFD_SETLK, &fl) == 0;
}

std::vector<std::string> SplitParameters(const std::string& params) {
    std::vector<std::string> out;
    std::string cur;
    bool quoted = false, any = false;
    for (char c : params) {
        if (c == '"') {
            quoted = !quoted;
            any = true;
        } else if (c == ' ' && !quoted) {
            if (any || !cur.empty()) out.push_back(cur);
            cur.clear();
            any = false;
        } else {
            cur += c;
        }
    }
    if (any || !cur.empty()) out.push_back(cur);
    return out;
}

}  // namespace

void SetMessagePresenter(MessagePresenter presenter) {
    gPresenter = std::move(presenter);
}

namespace detail {

std::string ConfigHome() {
    std::string v = Env("XDG_CONFIG_HOME");
    return v.empty() ? Home() + "/.config" : v;
}

std::string DataHome() {
    std::string v = Env("XDG_DATA_HOME");
    return v.empty() ? Home() + "/.local/share" : v;
}

std::string SystemConfigFolder() {
    std::string v = Env("KESTAVO_SYSCONF");
    if (v.empty()) v = "/etc/kestavo/";
    if (v.back() != '/') v += '/';
    return v;
}

std::string LocalPath(const std::string& path) {
    if (path.empty()) return {};
    if (path[0] == '/') return path;
    if (path.size() >= 2 && path[0] == '\\' && path[1] == '\\') {
        // "\\server\share\rest": the [UNC] section maps shares to folders.
        auto shareEnd = path.find('\\', 2);
        if (shareEnd == std::string::npos) return {};
        auto restAt = path.find('\\', shareEnd + 1);
        std::string share = path.substr(0, restAt);
        IniFile map(DriveMapPath());
        std::string folder = map.Read("UNC", share).value_or("");
        if (folder.empty()) return {};
        return ResolveCase(folder, restAt == std::string::npos ? "" : path.substr(restAt)).string();
    }
    if (path.size() >= 2 && path[1] == ':' && std::isalpha(static_cast<unsigned char>(path[0]))) {
        IniFile map(DriveMapPath());
        std::string folder = DriveFolder(map, path[0]);
        if (folder.empty()) return {};
        return ResolveCase(folder, std::string_view(path).substr(2)).string();
    }
    return path;  // relative: left to the caller's working folder
}

std::string IniReadString(const std::string& file, const std::string& section,
                          const std::string& key, const std::string& def) {
    std::string local = LocalPath(file);
    if (local.empty()) return def;
    return IniFile(local).Read(section, key).value_or(def);
}

bool IniWriteString(const std::string& file, const std::string& section, const std::string& key,
                    const std::string& value) {
    std::string local = LocalPath(file);
    if (local.empty()) return false;
    IniFile ini(local);
    ini.Write(section, key, value);
    return ini.Save();
}

std::string LoginName() {
    if (const passwd* pw = getpwuid(geteuid())) return pw->pw_name;
    return Env("USER");
}

std::string HostName() {
    char buf[256] = {};
    if (gethostname(buf, sizeof buf - 1) != 0) return {};
    return buf;
}

std::string ExecutablePath() {
    std::error_code ec;
    auto p = fs::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : p.string();
}

std::string ErrorText(int code) {
    char buf[256];
    const char* text = strerror_r(code, buf, sizeof buf);
    std::string s = text ? text : "";
    // The system has no sentence for an unknown code.
    if (s.rfind("Unknown error", 0) == 0) return {};
    return s;
}

std::optional<FileVersion> ReadVersionNote(const std::string&) {
    // Programs carry no version note yet; every file reads as unversioned.
    return std::nullopt;
}

int PresentMessage(const std::string& text, const std::string& caption, int flags) {
    return gPresenter ? gPresenter(text, caption, flags) : DefaultPresenter(text, caption, flags);
}

std::optional<DriveFacts> Drive(char letter) {
    if (!std::isalpha(static_cast<unsigned char>(letter))) return std::nullopt;
    IniFile map(DriveMapPath());
    std::string section = SectionOf(map, letter);
    std::string folder = DriveFolder(map, letter);
    if (folder.empty()) return std::nullopt;
    DriveFacts d;
    d.letter = section[0];
    std::string type = map.Read(section, "Type").value_or("fixed");
    if (SameText(type, "fixed"))
        d.type = DriveType::Fixed;
    else if (SameText(type, "remote"))
        d.type = DriveType::Remote;
    else if (SameText(type, "removable"))
        d.type = DriveType::Removable;
    else if (SameText(type, "cdrom"))
        d.type = DriveType::CdRom;
    else if (SameText(type, "ramdisk"))
        d.type = DriveType::RamDisk;
    std::error_code ec;
    d.rootExists = fs::is_directory(folder, ec);
    // A fixed, network or RAM drive whose folder is missing has no root at all;
    // a removable or CD drive without its folder is a drive without medium.
    if (!d.rootExists && d.type != DriveType::Removable && d.type != DriveType::CdRom)
        d.type = DriveType::Unknown;
    d.label = map.Read(section, "Label").value_or("");
    d.remote = map.Read(section, "Remote").value_or("");
    return d;
}

std::vector<DriveFacts> Drives() {
    std::vector<DriveFacts> out;
    for (char c = 'A'; c <= 'Z'; ++c)
        if (auto d = Drive(c)) out.push_back(*d);
    return out;
}

bool DefineSubstitute(char letter, const std::string& folder) {
    std::string local = LocalPath(folder);
    if (local.empty()) return false;
    std::string path = DriveMapPath();
    IniFile map(path);
    std::string section = SectionOf(map, letter);
    // A real drive (C: always is one) cannot be made a substitute.
    if (SectionOf(letter) == "C" || (map.Read(section, "Path") && !map.Read(section, "Subst")))
        return false;
    map.EraseSection(section);
    map.Write(section, "Path", local);
    map.Write(section, "Type", "fixed");
    map.Write(section, "Subst", folder);
    return map.Save();
}

bool RemoveSubstitute(char letter) {
    IniFile map(DriveMapPath());
    if (!map.Read(SectionOf(map, letter), "Subst")) return false;
    map.EraseSection(SectionOf(map, letter));
    return map.Save();
}

std::string SubstituteTarget(char letter) {
    IniFile map(DriveMapPath());
    return map.Read(SectionOf(map, letter), "Subst").value_or("");
}

bool DeleteTree(const std::string& localPath) {
    std::error_code ec;
    fs::path p = fs::weakly_canonical(localPath, ec);
    if (ec || p.empty() || p == p.root_path()) return false;
    // Neither home folder, nor a folder that holds one, is ever taken.
    std::vector<std::string> homes{Env("HOME")};
    if (const passwd* pw = getpwuid(geteuid())) homes.push_back(pw->pw_dir);
    for (const auto& home : homes) {
        if (home.empty()) continue;
        fs::path h = fs::weakly_canonical(home, ec);
        if (ec) return false;
        auto rel = h.lexically_relative(p);
        if (!rel.empty() && *rel.begin() != "..") return false;
    }
    fs::remove_all(p, ec);
    return !ec;
}

long Spawn(const std::string& localFile, const std::string& parameters, int& error) {
    std::vector<std::string> args;
    std::error_code ec;
    bool hasFolder = localFile.find('/') != std::string::npos;
    if (hasFolder && !fs::exists(localFile, ec)) {
        error = ENOENT;
        return 0;
    }
    if (hasFolder && access(localFile.c_str(), X_OK) != 0) {
        // Not a program: opened by the desktop's handler for its type.
        args = {"xdg-open", localFile};
    } else {
        args = {localFile};
        for (auto& a : SplitParameters(parameters))
            args.push_back(a);
    }
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    int rc = posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ);
    if (rc != 0) {
        error = rc;
        return 0;
    }
    return pid;
}

bool WaitForExit(long pid, int timeoutMs) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int status = 0;
        pid_t r = waitpid(static_cast<pid_t>(pid), &status, WNOHANG);
        if (r != 0) return true;  // ended, or cannot be waited for
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

bool HoldLockFile(const std::string& localPath, bool exclusive) {
    DropLockFile();
    int fd = open(localPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0 && !exclusive) fd = open(localPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    if (!SetOfdLock(fd, exclusive ? F_WRLCK : F_RDLCK)) {
        close(fd);
        return false;
    }
    gLockFd = fd;
    return true;
}

void DropLockFile() {
    if (gLockFd >= 0) close(gLockFd);
    gLockFd = -1;
}

void DeleteLockFileIfFree(const std::string& localPath) {
    int fd = open(localPath.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return;
    // Deleting a file others still hold would let the next exclusive taker
    // lock a fresh file while they run on; only a free file goes.
    if (SetOfdLock(fd, F_WRLCK)) unlink(localPath.c_str());
    close(fd);
}

ScopedFileLock::ScopedFileLock(const std::string& localPath, int waitMs) {
    fd_ = open(localPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd_ < 0) return;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    while (!(held_ = SetOfdLock(fd_, F_WRLCK)) && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

ScopedFileLock::~ScopedFileLock() {
    if (fd_ >= 0) close(fd_);
}

}  // namespace detail
}  // namespace kvo::common
