// Writing Paradox tables (.DB with their .MB memo files) with pxlib's own
// writer: the test fixtures of the Paradox import, and whole practices
// exported from the table engine to measure and try the import on.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ParadoxTable.h"
#include "engine/engine.h"

namespace kvo::paradox {

// A field of a table to write.  `type` is a Paradox type code (see
// ParadoxTable.h); `length` the bytes it takes in the record: the width of
// an Alpha field, leader + 10 for a memo, ignored for fixed-size types.
struct TPxColumn {
    std::string name;
    int type = 0;
    int length = 0;
};

// Writes one table row by row.  Values are given as the import reads them
// back: dates "DD/MM/YYYY", times "HH:MM:SS", text (UTF-8) for Alpha and
// memo fields, raw bytes for binary kinds, null as std::monostate.  Text is
// stored in the table's code page.  Rows of a keyed table must come in key
// order, as a Paradox table keeps them.
class TParadoxWriter {
  public:
    // Creates `dbFile` (and its .MB when a field needs one); the first
    // `keyFields` fields form the key.  Throws std::runtime_error.
    TParadoxWriter(const std::filesystem::path& dbFile, const std::vector<TPxColumn>& columns,
                   int keyFields, int codepage = 1252);
    ~TParadoxWriter();
    TParadoxWriter(const TParadoxWriter&) = delete;
    TParadoxWriter& operator=(const TParadoxWriter&) = delete;

    void AddRow(const std::vector<engine::Variant>& values);
    // Finishes both files; the memo file is padded to whole 4096-byte blocks
    // as Paradox itself leaves it.
    void Close();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// One call for a small table.
void WriteParadoxTable(const std::filesystem::path& dbFile, const std::vector<TPxColumn>& columns,
                       int keyFields, const std::vector<std::vector<engine::Variant>>& rows,
                       int codepage = 1252);

using TExportProgress = std::function<void(const std::string& table, std::int64_t rows)>;

// Writes every table of the engine practice at `location` (a tables' folder
// or a connection string) as a Paradox table in `folder`, keyed tables in
// key order.  Returns the number of rows written.
std::int64_t ExportPractice(const std::string& location, const std::filesystem::path& folder,
                            const TExportProgress& progress = {});

}  // namespace kvo::paradox
