// Builds a demonstration practice: users, appointment calendars, break and
// appointment entries and the small tables the suite's start-up looks at,
// all through the table engine and the same for the same seed.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "engine/engine.h"

namespace kvo::demo {

// The books run from `years` before "today" to `yearsAhead` after it, so
// that a practice made at any time has days to work on from today on.  A
// seed and a given today always give the same practice.
struct TDemoOptions {
    std::string out;     // the practice's data folder; tables go to its "Data"
    int dentists = 5;    // 1..999
    int years = 3;       // 1..100 years of books before today (or up to endDate)
    int yearsAhead = 1;  // 1..10 years of books after today
    std::uint64_t seed = 1;
    std::string today;  // DD/MM/YYYY; empty: the computer's date
    // DD/MM/YYYY: books of `years` ending on this day instead, today and
    // yearsAhead aside (a practice that never moves, for measurements).
    std::string endDate;
};

struct TDemoCounts {
    std::int64_t users = 0;
    std::int64_t calendarDays = 0;
    std::int64_t breaks = 0;
    std::int64_t appointments = 0;
};

// Called now and then while building; `done` of `total` dentists.
using TProgress = std::function<void(int done, int total)>;

// Creates the practice in options.out, which must not hold one already.
// It is built in a fresh folder beside it and moved into place complete, so
// a failure leaves no half practice behind.  Raises std::runtime_error (or
// the engine's error) with a message for the user.
TDemoCounts CreateDemoPractice(const TDemoOptions& options, const TProgress& progress = {});

// The field layouts of the practice's users, appointment calendar and
// appointment entries, as the demonstration creates them; tests that build
// small practices use the same ones.
std::vector<engine::TFieldDef> UserFields();      // keyed on User
std::vector<engine::TFieldDef> CalendarFields();  // APP_CAL
std::vector<engine::TFieldDef> EntryFields();     // APP_REC
std::vector<engine::TFieldDef> ErrorFields();     // ERROR, the recorded errors

// "DD/MM/YYYY" into year, month, day; false unless it names a real date.
bool ParseDate(const std::string& text, int& year, int& month, int& day);

// The first and last day of the books `options` ask for, as DD/MM/YYYY;
// raises std::runtime_error for a date that is not one.
std::pair<std::string, std::string> BookDays(const TDemoOptions& options);

}  // namespace kvo::demo
