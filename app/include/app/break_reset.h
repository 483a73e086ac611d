// The break reset over the appointment tables, apart from the window so that
// it can be driven (and measured) on its own.
#pragma once

#include <string>

#include "engine/engine.h"

namespace kvo::app {

// "User = <dentist> AND Date >= '<from>'"; the dentist is a number written bare.
std::string CalendarFilter(const std::string& dentist, const std::string& fromDate);
// "Type = '*' AND User = <dentist> AND Date >= '<from>'".
std::string BreakFilter(const std::string& dentist, const std::string& fromDate);

// For `dentist` from `fromDate` ("DD/MM/YYYY") on: empties Start, End,
// Interval, Closed and Breaks (to null) of every day of `appCal` whose Closed
// reads false, then deletes every break entry of `appRec`.  Both tables are
// left open and filtered.  Engine errors pass on as EDBEngineError; what was
// posted or deleted before stays so, and an edit the error interrupted is
// cancelled so that no later cursor move posts it behind the caller's back.
void ClearBreaksFrom(engine::TTable& appCal, engine::TTable& appRec, const std::string& dentist,
                     const std::string& fromDate);

}  // namespace kvo::app
