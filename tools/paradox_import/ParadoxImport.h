// Importing a practice's legacy Paradox tables into the table engine: every
// .DB file of a folder becomes a table of the same name with its fields
// mapped onto the engine's types and its key fields as the table's key.
// All or nothing: the tables are written in one transaction of the target,
// which is committed only when every file and every row could be read (or,
// when the administrator asks for it, with the unreadable rows left out and
// each one reported).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kvo::paradox {

struct TImportOptions {
    std::string from;  // the folder holding the .DB files
    std::string to;    // a tables' folder or a database server's connection string
    // Import the readable rows of a table even when others cannot be read;
    // the unreadable ones are listed in the report.
    bool skipUnreadableRows = false;
};

struct TUnreadableRow {
    std::int64_t row = 0;  // 1-based, in the table file's order
    std::string problem;
};

struct TImportedTable {
    std::string file;   // "USER.DB"
    std::string table;  // "USER"
    std::int64_t rowsInFile = 0;
    std::int64_t rowsImported = 0;
    std::string key;                 // key fields joined by ';'
    std::vector<std::string> notes;  // field mappings that change a value's form
    std::int64_t rowsUnreadable = 0;
    std::vector<TUnreadableRow> unreadable;  // the first kListedRows of them
    std::string error;                       // the file as a whole cannot be read or written
};

struct TImportReport {
    std::vector<TImportedTable> tables;
    bool committed = false;  // the target holds the imported tables
    std::string error;       // why nothing was imported (empty when committed)
};

// How many unreadable rows of one table the report lists one by one.
inline constexpr std::size_t kListedRows = 1000;

using TImportProgress =
    std::function<void(const std::string& table, std::int64_t done, std::int64_t total)>;

// Runs the import.  Problems with the files or rows are in the report;
// throws only when the folders cannot be used at all (no .DB files, a target
// that already has tables, a target that cannot be opened).
TImportReport ImportPractice(const TImportOptions& options, const TImportProgress& progress = {});

// The report as the command prints it.
std::string FormatReport(const TImportReport& report);

}  // namespace kvo::paradox
