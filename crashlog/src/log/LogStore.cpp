// Where the log lives, and the locked read-change-write of one report.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

#include "crashlog/CrashLogFile.h"
#include "crashlog/CrashOptions.h"
#include "log/LogText.h"

namespace crashlog {

namespace fs = std::filesystem;

namespace {

std::string RunningExecutable() {
    char buffer[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string("program");
}

std::string ComputerNameForFile() {
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) != 0) return {};
    std::string name = host;
    for (char& c : name)
        if (static_cast<unsigned char>(c) < 32 || std::strchr("\\/:*?\"<>|", c)) c = '_';
    return name;
}

bool FolderUsable(const fs::path& folder) {
    std::error_code ec;
    if (!folder.empty()) fs::create_directories(folder, ec);
    return ::access(folder.empty() ? "." : folder.c_str(), W_OK | X_OK) == 0;
}

fs::path StateFolder() {
    const char* state = std::getenv("XDG_STATE_HOME");
    fs::path base;
    if (state && *state == '/')
        base = state;
    else if (const char* home = std::getenv("HOME"); home && *home)
        base = fs::path(home) / ".local" / "state";
    else
        base = "/tmp";
    return base / "kestavo" / "crashlog";
}

// An exclusive open-file-description lock on "<log>.lock": held across the
// whole read-change-write so that two processes never rewrite the log from
// the same old copy.
class TLogLock {
  public:
    TLogLock(const std::string& logPath, int timeoutMs) {
        std::string path = logPath + ".lock";
        fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd_ < 0)
            throw ELogFileError("Cannot open the lock \"" + path + "\": " + std::strerror(errno));
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (true) {
            struct flock lock {};
            lock.l_type = F_WRLCK;
            lock.l_whence = SEEK_SET;
            if (::fcntl(fd_, F_OFD_SETLK, &lock) == 0) return;
            if (errno != EAGAIN && errno != EACCES && errno != EINTR) break;
            if (std::chrono::steady_clock::now() >= deadline) {
                errno = ETIMEDOUT;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        int error = errno;
        ::close(fd_);
        throw ELogFileError("Cannot lock \"" + path + "\": " + std::strerror(error));
    }
    ~TLogLock() { ::close(fd_); }
    TLogLock(const TLogLock&) = delete;
    TLogLock& operator=(const TLogLock&) = delete;

  private:
    int fd_ = -1;
};

int ParseCount(const std::string& text) {
    if (text.empty() || text.size() > 9 || !std::all_of(text.begin(), text.end(), ::isdigit))
        return 1;
    return std::max(1, std::atoi(text.c_str()));
}

}  // namespace

std::string LogFilePath(const TCrashModuleOptions& options, std::string moduleFileName) {
    if (moduleFileName.empty()) moduleFileName = options.OwnerModuleName();
    if (moduleFileName.empty()) moduleFileName = RunningExecutable();
    fs::path module(moduleFileName);
    std::string name = module.stem().string() + ".clf";

    std::string output = ExpandVariables(options.OutputFolder());
    fs::path path;
    std::string extension = fs::path(output).extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(), ::tolower);
    if (extension == ".clf") {
        path = output;
    } else {
        fs::path folder = output.empty() ? module.parent_path() : fs::path(output);
        path = folder / name;
    }
    if (options.LogFlags() & log_flags::ComputerNameInLogName) {
        std::string computer = ComputerNameForFile();
        path.replace_filename(path.stem().string() + "_" + computer + path.extension().string());
    }
    path = ExpandVariables(path.string());
    // An installed program's folder is not the user's to write: such logs go
    // to the user's state folder under the same name.
    if (!FolderUsable(path.parent_path())) path = StateFolder() / path.filename();
    std::error_code ec;
    fs::create_directories(path.parent_path(), ec);
    return path.string();
}

TLogStoreResult StoreReportInLog(const TLogStoreRequest& request, int lockTimeoutMs) {
    TLogStoreResult result;
    try {
        TLogLock lock(request.path, lockTimeoutMs);
        TLogFile log(request.path);
        int index = -1;
        if (request.mergeDuplicates && !request.reportId.empty())
            index = log.FindEntry({"2.7"}, {request.reportId});
        if (index >= 0) {
            result.duplicate = true;
            result.count = ParseCount(log.GetField("2.8", index)) + 1;
            log.SetField("2.8", std::to_string(result.count), index, "Count");
        } else {
            log.AddEntry(request.reportText, request.limit);
        }
        log.Save();
        result.saved = true;
        result.entries = log.Count();
        if (request.wantWholeLog) result.wholeLog = log.WholeText();
    } catch (const std::exception& e) {
        result.saved = false;
        result.error = std::string("[Log] ") + e.what();
    }
    return result;
}

bool LogHoldsReport(const std::string& path, std::string_view reportId) {
    try {
        TLogFile log(path, true);
        return log.FindEntry({"2.7"}, {std::string(reportId)}) >= 0;
    } catch (const std::exception&) {
        return false;
    }
}

std::string LastLoggedVersion(const std::string& path) {
    try {
        TLogFile log(path, true);
        return log.Count() ? log.GetField("1.3", log.Count() - 1) : std::string();
    } catch (const std::exception&) {
        return {};
    }
}

}  // namespace crashlog
