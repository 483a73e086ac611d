// The break reset over the appointment tables, apart from the window so that
// it can be driven (and measured) on its own, by "Go" and by the command line.
//
// All or nothing: a reset runs in one transaction of the tables' database.
// On any engine error the transaction is rolled back, so no table has
// changed, and the error passes on as EDBEngineError.  Every reset that is
// not a dry run keeps what it removed in the practice's restore tables
// (break_restore.h), so that it can be undone from any workstation, and is
// noted in the events file through RecordEvent.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/engine.h"

namespace kvo::app {

// "User = <dentist> AND Date >= '<from>'"; the dentist is a number written bare.
std::string CalendarFilter(const std::string& dentist, const std::string& fromDate);
// "Type = '*' AND User = <dentist> AND Date >= '<from>'".
std::string BreakFilter(const std::string& dentist, const std::string& fromDate);

// Open days emptied and break entries deleted (or, in a dry run, that would be).
struct TResetCounts {
    std::int64_t days = 0;
    std::int64_t breaks = 0;
    bool Empty() const { return days == 0 && breaks == 0; }
    friend bool operator==(const TResetCounts&, const TResetCounts&) = default;
};

struct TDentistCounts {
    std::string dentist;
    TResetCounts counts;
};

struct TResetOptions {
    // Counts what a reset would do and changes nothing, not even the restore
    // tables.
    bool dryRun = false;
    // Called after each dentist: `done` of `total`.
    std::function<void(int done, int total)> progress;
};

struct TResetResult {
    // The number under which the removed values are kept; 0 for a dry run
    // and for a reset that removed nothing (there is nothing to undo).
    std::int64_t resetId = 0;
    std::vector<TDentistCounts> dentists;  // in the order asked for
    TResetCounts total;
};

// For each dentist from `fromDate` ("DD/MM/YYYY") on: empties Start, End,
// Interval, Closed and Breaks (to null) of every day of `appCal` whose Closed
// reads false, then deletes every break entry of `appRec`; calendar days
// before break entries.  Both tables name the same database; they are left
// open and filtered on the last dentist's rows.  One transaction for the
// whole run: when anything fails, every table is as it was, both tables
// are closed (their views would show rows that no longer exist) and the
// error passes on.  The database must not be in a transaction already.
TResetResult ResetBreaks(engine::TTable& appCal, engine::TTable& appRec,
                         const std::vector<std::string>& dentists, const std::string& fromDate,
                         const TResetOptions& options = {});

// ResetBreaks for one dentist, as "Go" does it.
TResetCounts ClearBreaksFrom(engine::TTable& appCal, engine::TTable& appRec,
                             const std::string& dentist, const std::string& fromDate);

}  // namespace kvo::app
