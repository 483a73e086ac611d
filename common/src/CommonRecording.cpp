// Events file, start-up log, message boxes and the identity of an event.
#include <QCoreApplication>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "CommonPlatform.h"
#include "common/Common.h"
#include "common/Support.h"

namespace fs = std::filesystem;

namespace kvo::common {
namespace {

constexpr std::uintmax_t kEventsFileCap = 16384;

// Every event goes to the support server unless a program installs another
// hook (or none).
EventReportHook gEventReportHook = &ReportEvent;

struct StartupLogState {
    std::uint32_t startTick = 0;  // holds the total once the log has ended
    std::uint32_t previousTick = 0;
    std::string runFile;  // local path of the per-run file; empty when none
};
StartupLogState gStartup;

// Splits like a text file loader: CR LF, CR or LF end a line, and a final
// line break adds no empty line.
std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\r' && text[i] != '\n') continue;
        lines.push_back(text.substr(start, i - start));
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
        start = i + 1;
    }
    if (start < text.size()) lines.push_back(text.substr(start));
    return lines;
}

bool ReadWholeFile(const fs::path& path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream buf;
    buf << in.rdbuf();
    if (in.bad()) return false;
    out = std::move(buf).str();
    return true;
}

// Writes beside the target and renames over it, so that a failed write
// leaves the old file whole instead of a truncated one.
bool ReplaceFile(const fs::path& path, const std::string& content) {
    fs::path temp = path;
    temp += ".tmp";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        if (!out) return false;
        out.write(content.data(), static_cast<std::streamsize>(content.size()));
        out.flush();
        if (!out) {
            out.close();
            std::error_code ec;
            fs::remove(temp, ec);
            return false;
        }
    }
    std::error_code ec;
    fs::rename(temp, path, ec);
    if (ec) fs::remove(temp, ec);
    return !ec;
}

bool AppendLine(const fs::path& path, const std::string& line, bool truncate) {
    std::ofstream out(path, std::ios::binary | (truncate ? std::ios::trunc : std::ios::app));
    if (!out) return false;
    out << line << "\r\n";
    out.flush();
    return static_cast<bool>(out);
}

void AppendEventBlock(std::vector<std::string>& lines, const std::string& cls,
                      const std::string& text, const std::string& stack, bool reported) {
    LocalDateTime now = CurrentClock().Now();
    auto element = [&](std::string_view tag, const std::string& value) {
        lines.push_back("<" + std::string(tag) + ">" + value + "</" + std::string(tag) + ">");
    };
    lines.push_back("<ERR>");
    element("DATE", DateTextDMY(now));
    element("TIME", LongTimeText(now));
    element("USERNAME", UserNameText());
    element("APPLICATION", ProgramBaseName());
    element("VERSION", VersionText(FileVersionNumber(Settings().programPath.empty()
                                                         ? detail::ExecutablePath()
                                                         : Settings().programPath)));
    element("PROCESS", ProcessVersionText());
    element("CLASS", cls);
    element("TEXT", text);
    if (!stack.empty()) element("STACK", stack);
    if (reported) lines.push_back("<REPORTED>True</REPORTED>");
    lines.push_back("</ERR>");
}

void WriteEventsFile(const std::string& cls, const std::string& text, const std::string& stack,
                     bool reported) {
    std::string local = detail::LocalPath(Settings().installFolder + "EVENTS.XML");
    if (local.empty()) return;
    // Programs of this computer recording at the same moment take turns, so
    // that neither block is lost.  Should the turn not come, the event is
    // written all the same.
    detail::ScopedFileLock turn(local + ".lck", 2000);
    std::error_code ec;
    bool exists = fs::exists(local, ec);
    if (exists) {
        auto size = fs::file_size(local, ec);
        if (!ec && size >= kEventsFileCap) return;
    }
    std::vector<std::string> lines;
    if (exists) {
        std::string content;
        if (!ReadWholeFile(local, content)) return;
        lines = SplitLines(content);
    }
    // An empty file (cut short by a crash, say) would otherwise refuse every
    // event from then on; it is begun afresh like a missing one.
    if (lines.empty()) lines = {"<?xml version=\"1.0\"?>", "<EVENTS>", "</EVENTS>"};
    lines.pop_back();
    AppendEventBlock(lines, cls, text, stack, reported);
    lines.push_back("</EVENTS>");
    std::string out;
    for (const auto& l : lines)
        out += l + "\r\n";
    ReplaceFile(local, out);
}

// Seconds with two decimals and a "." whatever the C library's locale says.
std::string SecondsText(std::uint32_t ms) {
    char buf[32];
    auto r = std::to_chars(buf, buf + sizeof buf, ms / 1000.0, std::chars_format::fixed, 2);
    return std::string(buf, r.ptr);
}

bool KeepsStartupLog() {
    std::string name = ProgramBaseName();
    return name == "KVO" || name == "RUL";
}

}  // namespace

std::string DataFolder() {
    std::string drive = detail::IniReadString(Settings().installIni, Settings().productFolder,
                                              Settings().driveKey, "");
    while (!drive.empty() && drive.back() == '\\')
        drive.pop_back();
    if (drive.empty()) return {};
    return drive + Settings().ProductSegment();
}

std::string ProgramBaseName() {
    const std::string& path = Settings().programPath;
    return ExeBaseName(path.empty() ? detail::ExecutablePath() : path);
}

std::string UserNameText() {
    try {
        std::string name = detail::LoginName();
        auto zero = name.find('\0');
        if (zero != std::string::npos) name.resize(zero);
        if (name.size() > 256) name.resize(256);
        return name.empty() ? "User" : name;
    } catch (...) {
        return "User";
    }
}

std::string ComputerNameText() {
    try {
        std::string name = detail::HostName();
        auto zero = name.find('\0');
        if (zero != std::string::npos) name.resize(zero);
        if (name.size() > 255) name.resize(255);
        return name.empty() ? "Unknown" : name;
    } catch (...) {
        return "Unknown";
    }
}

std::string FormatSystemError(int code, std::string_view argument) {
    std::string text;
    try {
        text = detail::ErrorText(code);
    } catch (...) {
        return {};
    }
    for (auto pos = text.find("%1"); pos != std::string::npos;
         pos = text.find("%1", pos + argument.size()))
        text.replace(pos, 2, argument);
    while (!text.empty()) {
        auto c = static_cast<unsigned char>(text.back());
        if (c > ' ' && c != '.') break;
        text.pop_back();
    }
    return text;
}

FileVersion FileVersionNumber(const std::string& path) {
    WriteStartupLog("VersionNumber: " + path);
    try {
        std::string local = detail::LocalPath(path);
        std::error_code ec;
        if (local.empty() || !fs::is_regular_file(local, ec)) return {-1, -1, -1, -1};
        WriteStartupLog("VersionNumber: GetFileVersionInfoSize");
        auto note = detail::ReadVersionNote(local);
        if (!note) return {};
        WriteStartupLog("VersionNumber: GetFileVersionInfo");
        WriteStartupLog("VersionNumber: VerQueryValue");
        WriteStartupLog("VersionNumber: Complete");
        return *note;
    } catch (...) {
        return {};
    }
}

// ---- message boxes -----------------------------------------------------------

int ShowMessageBox(const std::string& text, int flags) {
    return detail::PresentMessage(text, "Kestavo", flags);
}

void ShowErrorAndAbort(std::string text) {
    if (!text.empty() && text.back() != '.') text += '.';
    try {
        ShowMessageBox(text, kMbWarning);
        if (QCoreApplication::instance()) QCoreApplication::processEvents();
    } catch (...) {
        // The abort below is the one outcome callers may rely on.
    }
    throw ESilentAbort();
}

// ---- events ------------------------------------------------------------------

void SetEventReportHook(EventReportHook hook) {
    gEventReportHook = std::move(hook);
}

void RecordEvent(const std::string& cls, const std::string& text, const std::string& stack) {
    // Qt keeps no window-update lock that could hide the box, so there is
    // nothing to release first.
    try {
        if (Settings().developerWorkstation) ShowMessageBox(cls + "\r\r" + text, kMbInformation);
    } catch (...) {
    }
    bool reported = false;
    try {
        if (gEventReportHook) reported = gEventReportHook(cls, text, stack);
    } catch (...) {
        reported = false;
    }
    try {
        WriteEventsFile(cls, text, stack, reported);
    } catch (...) {
    }
}

void RecordEvent(const std::string& cls, const std::string& text) {
    RecordEvent(cls, text, {});
}

// ---- start-up log ------------------------------------------------------------

void WriteStartupLog(const std::string& message) {
    try {
        if (!KeepsStartupLog()) return;
        const Clock& clock = CurrentClock();
        LocalDateTime now = clock.Now();
        std::uint32_t tick = clock.TickCount();
        bool start = message == "START";
        std::uint32_t elapsed = 0;
        if (start) {
            gStartup.previousTick = tick;
        } else {
            elapsed = tick - gStartup.previousTick;  // wraps like the tick count
            gStartup.previousTick = tick;
        }
        std::string line = StartupLogLine(now, elapsed, message);
        std::string mainLog = detail::LocalPath(Settings().installFolder + "Startup.LOG");
        if (!mainLog.empty()) AppendLine(mainLog, line, start);
        if (!gStartup.runFile.empty()) {
            AppendLine(gStartup.runFile, line, false);
            if (message == "END") gStartup.runFile.clear();
        }
    } catch (...) {
    }
}

void StartupCheckpoint(double value) {
    try {
        const Clock& clock = CurrentClock();
        if (value == 0) {
            gStartup.startTick = clock.TickCount();
            std::string folder = detail::LocalPath(Settings().installFolder + "Startup");
            gStartup.runFile.clear();
            if (!folder.empty()) {
                std::error_code ec;
                fs::create_directories(folder, ec);
                gStartup.runFile =
                    (fs::path(folder) / (RunFileStampText(clock.Now()) + ".TXT")).string();
            }
            WriteStartupLog("START");
        } else if (value == 9999) {
            gStartup.startTick = clock.TickCount() - gStartup.startTick;
            WriteStartupLog("END");
            std::string data = DataFolder();
            if (data.empty()) return;
            detail::IniWriteString(data + Settings().inventoryFileName, ComputerNameText(),
                                   "Startup", SecondsText(gStartup.startTick));
        } else {
            WriteStartupLog(CheckpointText(value));
        }
    } catch (...) {
    }
}

void ResetRecordingStateForTesting() {
    gStartup = {};
    SetProcessVersion(0, 0, 0, 0);
}

}  // namespace kvo::common
