#include "common/Common.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>

namespace kvo::common {
namespace {

template <typename... Args>
std::string Printf(const char* pattern, Args... args) {
    char buf[128];
    int n = std::snprintf(buf, sizeof buf, pattern, args...);
    return std::string(buf, n < 0 ? 0 : std::min<std::size_t>(n, sizeof buf - 1));
}

}  // namespace

LibrarySettings LibrarySettings::SecondLine() {
    LibrarySettings s;
    s.productFolder = "RUL Dental";
    s.installFolder = "C:\\RUL Dental\\";
    s.installIni = "C:\\RUL Dental\\RUL.INI";
    s.taskFile = "C:\\RUL Dental\\RUL.TSK";
    s.privateRoot = "C:\\RUL Dental\\Private\\";
    s.practiceIniName = "RULDENTAL.INI";
    s.inventoryFileName = "RULDENTAL.DAT";
    s.driveKey = "WB";
    s.lockFileName = "RUL.LCK";
    s.secondLine = true;
    return s;
}

LibrarySettings& Settings() {
    static LibrarySettings settings;
    return settings;
}

// ---- clock -----------------------------------------------------------------

namespace {

class SystemClock final : public Clock {
  public:
    LocalDateTime Now() const override {
        using namespace std::chrono;
        auto now = system_clock::now();
        std::time_t secs = system_clock::to_time_t(now);
        std::tm tm{};
        localtime_r(&secs, &tm);
        auto ms = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
        return {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,          tm.tm_hour,
                tm.tm_min,         tm.tm_sec,     static_cast<int>(ms)};
    }
    std::uint32_t TickCount() const override {
        using namespace std::chrono;
        auto ms = duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
        return static_cast<std::uint32_t>(ms);
    }
};

const SystemClock kSystemClock;
const Clock* gClock = &kSystemClock;

}  // namespace

const Clock& CurrentClock() {
    return *gClock;
}
void SetClock(const Clock* clock) {
    gClock = clock ? clock : &kSystemClock;
}

std::string DateTextDMY(const LocalDateTime& t) {
    return Printf("%02d/%02d/%04d", t.day, t.month, t.year);
}

std::string DateTextYMD(const LocalDateTime& t) {
    return Printf("%04d%02d%02d", t.year, t.month, t.day);
}

std::string LongTimeText(const LocalDateTime& t) {
    return Printf("%02d:%02d:%02d", t.hour, t.minute, t.second);
}

std::string LogTimeStampText(const LocalDateTime& t) {
    return DateTextDMY(t) + " " + LongTimeText(t) + Printf(".%03d", t.millisecond);
}

std::string RunFileStampText(const LocalDateTime& t) {
    return DateTextYMD(t) + Printf("%02d%02d%02d%03d", t.hour, t.minute, t.second, t.millisecond);
}

// ---- versions and identity ---------------------------------------------------

namespace {
FileVersion gProcessVersion;
}

std::string VersionText(const FileVersion& v) {
    return Printf("%d.%d.%d.%d", v.Major, v.Minor, v.Release, v.Build);
}

void SetProcessVersion(int major, int minor, int release, int build) {
    gProcessVersion = {major, minor, release, build};
}

std::string ProcessVersionText() {
    return VersionText(gProcessVersion);
}

std::string ExeBaseName(std::string_view path) {
    auto slash = path.find_last_of("/\\");
    std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    auto dot = name.rfind('.');
    return std::string(dot == std::string_view::npos ? name : name.substr(0, dot));
}

// ---- start-up log formatting -------------------------------------------------

std::string StartupLogLine(const LocalDateTime& t, std::uint32_t elapsedMs,
                           std::string_view message) {
    return LogTimeStampText(t) + ", " + Printf("%8u", elapsedMs) + ", " + std::string(message);
}

std::string CheckpointText(double value) {
    // Shortest form that reads back the same at 15 significant digits, so
    // 9.141 stays "9.141" rather than its binary neighbour.
    for (int digits = 1; digits <= 15; ++digits) {
        char buf[64];
        auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::general, digits);
        std::string text(buf, r.ptr);
        double back = 0;
        std::from_chars(text.data(), text.data() + text.size(), back);
        char full[64];
        auto a = std::to_chars(full, full + sizeof full, value, std::chars_format::general, 15);
        auto b = std::to_chars(buf, buf + sizeof buf, back, std::chars_format::general, 15);
        if (std::string_view(full, a.ptr) == std::string_view(buf, b.ptr)) return text;
    }
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::general, 15);
    return std::string(buf, r.ptr);
}

}  // namespace kvo::common
