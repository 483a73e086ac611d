// Reading one legacy Paradox table (.DB) with its memo/BLOB file (.MB).
//
// The table's header and field descriptors are parsed by pxlib, and field
// values are decoded by it.  Two things are done here instead:
//  - the file's structure (record size against the fields, the chain of
//    data blocks, the record count) is checked before any record is read,
//    because pxlib reads a damaged file without noticing, returning zeros
//    for records past the end and reading past its buffers;
//  - the memo/BLOB file is read here (layout in ParadoxBlob.h): pxlib 0.6.8
//    aborts the process when it opens one for reading.
// A null field is recognised from its raw bytes (all zero), since pxlib
// reads a null 4-byte integer or date as -2147483648.
//
// A TParadoxTable reads rows by number; a row that cannot be decoded is
// reported by ReadRow, never skipped or zeroed.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/engine.h"

namespace kvo::paradox {

// The table file (or its memo file) cannot be read as a whole.
class EParadoxError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Paradox field type codes, as stored in the table header.
enum TParadoxType : int {
    pxAlpha = 0x01,
    pxDate = 0x02,
    pxShort = 0x03,
    pxLong = 0x04,
    pxCurrency = 0x05,
    pxNumber = 0x06,
    pxLogical = 0x09,
    pxMemo = 0x0C,
    pxBlob = 0x0D,
    pxFmtMemo = 0x0E,
    pxOle = 0x0F,
    pxGraphic = 0x10,
    pxTime = 0x14,
    pxTimestamp = 0x15,
    pxAutoInc = 0x16,
    pxBcd = 0x17,
    pxBytes = 0x18,
};

// Bytes a field of this type takes in a record; 0 when its descriptor says.
int FixedLength(int type);
// Memo, formatted memo, BLOB, OLE and graphic fields live in the .MB file.
bool IsBlobType(int type);

// Day 1 of a Paradox date is 1 January 1 (proleptic Gregorian); pxlib's
// calendar routines count serial day numbers, which are this far ahead.
inline constexpr long kSerialDayOfDayZero = 1721425;

struct TParadoxField {
    std::string name;
    int type = 0;
    int length = 0;    // bytes in the record
    int decimals = 0;  // BCD only
};

// The engine field a Paradox field becomes, and a note for the report when
// the value's form changes on the way (empty when it does not).
struct TFieldMapping {
    engine::TFieldDef def;
    std::string note;
};
TFieldMapping MapField(const TParadoxField& field);

// The type's name as Paradox users know it ("Alpha", "Date", …).
std::string TypeName(int type);

class TParadoxTable {
  public:
    // Opens and checks `dbFile`; its memo file is the file of the same name
    // with the extension .MB (any case) beside it.  Throws EParadoxError.
    explicit TParadoxTable(const std::filesystem::path& dbFile);
    ~TParadoxTable();
    TParadoxTable(const TParadoxTable&) = delete;
    TParadoxTable& operator=(const TParadoxTable&) = delete;

    const std::vector<TParadoxField>& Fields() const { return fields_; }
    int KeyFieldCount() const { return keyFields_; }  // the first N fields form the key
    std::int64_t RowCount() const;
    int Codepage() const { return codepage_; }
    // Time values read so far that had milliseconds, which the engine's
    // times (to the second) cannot keep.
    std::int64_t MillisecondsDropped() const;

    // Decodes row `row` (0-based, in the table's order) into one value per
    // field, as the mapped engine field takes it.  False, with `problem`
    // saying what is wrong, when any field of it cannot be read.
    bool ReadRow(std::int64_t row, std::vector<engine::Variant>& values, std::string& problem);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    std::vector<TParadoxField> fields_;
    int keyFields_ = 0;
    int codepage_ = 0;
};

}  // namespace kvo::paradox
