// Pieces of the support reports kept apart from the report logic: calendar
// days as the reports compare them, the HTTP exchange, and the debugger test.
#pragma once

#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>

#include "common/Common.h"
#include "common/Support.h"

namespace kvo::common::detail {

using Day = std::chrono::sys_days;

// The day a missing or unreadable date stands for: day zero of the suite's
// date system.
inline constexpr Day kZeroDay{std::chrono::year{1899} / std::chrono::December / 30};

inline Day ToDay(const LocalDateTime& t) {
    return Day{std::chrono::year{t.year} / t.month / t.day};
}

// "D/M/YYYY" or "DD/MM/YYYY", optionally followed by a time after a blank;
// `def` for anything else, or for a day that does not exist.
inline Day ParseDateOr(std::string_view text, Day def) {
    auto number = [&](std::size_t& pos, std::size_t minDigits, std::size_t maxDigits, int& out) {
        std::size_t start = pos;
        out = 0;
        while (pos < text.size() && pos - start < maxDigits && text[pos] >= '0' && text[pos] <= '9')
            out = out * 10 + (text[pos++] - '0');
        return pos - start >= minDigits;
    };
    std::size_t pos = 0;
    int d = 0, m = 0, y = 0;
    if (!number(pos, 1, 2, d) || pos >= text.size() || text[pos++] != '/') return def;
    if (!number(pos, 1, 2, m) || pos >= text.size() || text[pos++] != '/') return def;
    if (!number(pos, 4, 4, y)) return def;
    if (pos < text.size() && text[pos] != ' ') return def;
    std::chrono::year_month_day ymd{std::chrono::year{y}, std::chrono::month(unsigned(m)),
                                    std::chrono::day(unsigned(d))};
    return ymd.ok() ? Day{ymd} : def;
}

// "DD/MM/YYYY".
inline std::string DateText(Day day) {
    std::chrono::year_month_day ymd{day};
    char buf[16];
    std::snprintf(buf, sizeof buf, "%02u/%02u/%04d", unsigned(ymd.day()), unsigned(ymd.month()),
                  int(ymd.year()));
    return buf;
}

// "MM/YYYY".
inline std::string MonthText(Day day) {
    std::chrono::year_month_day ymd{day};
    char buf[16];
    std::snprintf(buf, sizeof buf, "%02u/%04d", unsigned(ymd.month()), int(ymd.year()));
    return buf;
}

inline Day FirstOfMonth(Day day) {
    std::chrono::year_month_day ymd{day};
    return Day{ymd.year() / ymd.month() / 1};
}

// POSTs the body as HTTP/1.0 with the report's content type and returns the
// reply body.  Throws std::runtime_error when the server cannot be reached,
// a time-out runs out, or the status is not a success.
std::string PostReport(const std::string& url, const std::string& body,
                       const ReportTimeouts& timeouts);

// True when a debugger is attached to this process.
bool UnderDebugger();

}  // namespace kvo::common::detail
