// Moving a practice's tables: where a practice lives (a folder holding the
// engine's table file, or a database server's connection string), what
// tables it has with their definitions and keys, a per-table checksum, and
// the copy of a whole practice from one place to another.
//
// Everything is written through the table engine's public interface; only
// the list of tables and their keys and indexes, which that interface does
// not offer, is read from the backend's own catalog.
//
// Errors are thrown as std::runtime_error (or the engine's EDBEngineError)
// with a message for the practice's administrator.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "engine/engine.h"

namespace kvo::move {

// True when `location` is a database server's connection string rather
// than a folder ("postgresql://…", "postgres://…" or "key=value …").
bool IsConnectionString(const std::string& location);

// A folder location as the folder that holds the engine's table file:
// `folder` itself, or its "Data" subfolder when only that holds one (a
// practice's data folder rather than its tables' folder).  A connection
// string comes back unchanged.
std::string TablesLocation(const std::string& location);

// Points the session's database `name` at `location` and opens it.
engine::TDatabase& OpenPractice(const std::string& name, const std::string& location);

// A table's definition as the copy recreates it.
struct TTableSchema {
    std::string name;
    std::vector<engine::TFieldDef> fields;
    std::string key;  // semicolon-separated key fields; empty for none
    // Secondary indexes: name and semicolon-separated fields.
    std::vector<std::pair<std::string, std::string>> indexes;
};

// The tables of the practice at `location` (no folder or an empty one: none).
std::vector<std::string> ListTables(const std::string& location);

// The definition of `table`, read from the practice open as database
// `databaseName` at `location`.
TTableSchema ReadSchema(const std::string& databaseName, const std::string& location,
                        const std::string& table);

// Rows and an order-independent checksum of their values, as read through
// the engine.  Two tables with the same rows, in any order, sum the same.
struct TTableSum {
    std::int64_t rows = 0;
    std::uint64_t checksum = 0;
    void AddRow(const std::vector<engine::TField*>& fields);
    bool operator==(const TTableSum&) const = default;
};

// Sums every row of `table` of the open database `databaseName`.
TTableSum SumTable(const std::string& databaseName, const std::string& table);

struct TCopiedTable {
    std::string name;
    TTableSum sum;  // identical in source and target once copied
};

// Called now and then while a table is copied.
using TCopyProgress =
    std::function<void(const std::string& table, std::int64_t done, std::int64_t total)>;

// Copies every table of the practice at `from` into the practice at `to`,
// with its field definitions, key and indexes, in one transaction of the
// target; then reads every target table back and compares its rows and
// checksum with the source's.  Refuses a source without tables and a target
// that has any.  On any failure nothing is left in the target.
std::vector<TCopiedTable> CopyPractice(const std::string& from, const std::string& to,
                                       const TCopyProgress& progress = {});

// Refuses (throws) when the practice at `location` already has tables.
void RequireEmptyTarget(const std::string& location);

// "0123456789abcdef": a checksum as the reports print it.
std::string ChecksumText(std::uint64_t checksum);

}  // namespace kvo::move
