// What a break reset removed, kept in two tables of the practice so that any
// workstation can list the resets and undo one.
//
//   BRK_RST.DB   one row per reset: Id (key), FromDate, Dentists (the
//                dentist numbers, comma-separated), Date and Time of the
//                reset, Username, Computer, Application, Days, Breaks,
//                Undone, and UndoneBy ("DD/MM/YYYY HH:NN:SS user" once undone).
//   BRK_RSTD.DB  the removed values: Reset, User, Kind ("C" emptied calendar
//                days, "E" deleted break entries) and Data, a text block:
//                a first line of field names, then one line per row, values
//                separated by tabs (see EncodeValue).
//
// The tables are created by the first reset that keeps something.  Resets
// older than the configured number of days are dropped by each later reset.
// Every function here that changes tables runs inside the caller's
// transaction (KeepRemoved, DropExpiredResets) or its own (UndoReset).
#pragma once

#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/break_reset.h"
#include "engine/engine.h"

namespace kvo::app {

inline constexpr const char* kResetTable = "BRK_RST.DB";
inline constexpr const char* kRestoreTable = "BRK_RSTD.DB";
// How long resets are kept when the practice INI file does not say:
// key UndoKeepDays of section [Tarnwick] of the practice INI file.
inline constexpr int kDefaultKeepDays = 90;

// An undo that cannot be done as asked: the reset is unknown or already
// undone, or a row has changed since; what() names the reset, the day or
// the entry, for the user.
class EUndoRefused : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The rows one dentist's reset removed, as field names and encoded values.
struct TRemovedRows {
    std::vector<std::string> names;
    std::vector<std::vector<std::string>> rows;
};

struct TRemovedForDentist {
    std::string dentist;
    TRemovedRows days;     // Date and the five day fields, before emptying
    TRemovedRows entries;  // every field of each deleted break entry
};

struct TResetRecord {
    std::int64_t id = 0;
    std::string fromDate, dentists, date, time, username, computer, application;
    TResetCounts counts;
    bool undone = false;
    std::string undoneBy;
};

// One value as a line-safe text: "-" for null, "S" + text (with "\\", tab,
// line feed and carriage return escaped), "I" + whole number, "N" + number
// (exact), "B1" / "B0".  DecodeValue raises EDBEngineError on a damaged text.
std::string EncodeValue(const engine::Variant& value);
engine::Variant DecodeValue(const std::string& text);

// Keeps a reset's removed rows in `database` (opened by name) under a new
// number, which it returns.  Runs in the caller's transaction.
std::int64_t KeepRemoved(const std::string& database, const std::string& fromDate,
                         const std::vector<TRemovedForDentist>& removed, const TResetCounts& total);

// Drops resets made before today minus `keepDays` days, with their rows.
// Runs in the caller's transaction; nothing to do when the tables are missing.
void DropExpiredResets(const std::string& database, int keepDays);

// UndoKeepDays of the practice INI file beside the tables' folder; the
// default when missing or not a positive number.
int ConfiguredKeepDays(const std::string& database);

// The kept resets, oldest first; empty when no reset was ever kept.  Reads only.
std::vector<TResetRecord> ListResets(const std::string& database = "KVO");

// Puts back exactly what reset `id` removed, in one transaction, and marks it
// undone.  Refuses (EUndoRefused, nothing changed) when the reset is unknown
// or undone, when an emptied day is missing or no longer empty, or when a
// deleted break entry has been entered again.  Engine errors roll back and
// pass on.  Returns what was put back.
TResetCounts UndoReset(std::int64_t id, const std::string& database = "KVO");

}  // namespace kvo::app
