// The library data a module carries: its options and its line and name
// tables.  Reader and writer share this header so the byte layout has one
// home.
//
// Container ("CLDATA", stored in the ELF section .cldata or appended to the
// file), little-endian:
//   magic u32 | version u16 | build time f64 | leak flags u8 | follow main u8 |
//   symbol table size S u32 | S/9 x (id u8, offset u32, size u32) |
//   compressed options size C u32 | zlib(options stream) |
//   password check u32 | zlib(u32 N, N bytes of debug data)
// Appended form: the file ends with
//   version u16 | build time f64 | options | N u32 | debug data | L u32 | magic
//
// Debug data: u32 unit count; per unit a name string, first line, start
// offset, code size and record byte length (u32 each), then the records.
// Offsets are relative to the module base plus 0x1000.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "crashlog/CrashOptions.h"

namespace crashlog {

inline constexpr uint32_t kCLDataMagic = 0x100FAB10;
inline constexpr uint32_t kCLDataMagicOld = 0x000FAB10;
inline constexpr uint16_t kCLDataVersion = 6020;
inline constexpr uint32_t kCodeOffsetBase = 0x1000;
inline constexpr const char* kCLDataSection = ".cldata";
// Names of data older than 500 are XORed with the byte that also scrambles
// option strings.
inline constexpr uint8_t kLegacyNameXor = kStringScrambleKey;

using ByteSpan = std::span<const uint8_t>;
using Bytes = std::vector<uint8_t>;

// ---- the name cipher ----------------------------------------------------

using TeaKey = std::array<uint32_t, 4>;

// The key of a debug-data password (empty when none is set).  The cipher
// itself is internal to the library.
TeaKey DebugKeyFromPassword(std::string_view password);
// The 4 check bytes written after the options: the magic, enciphered.
uint32_t PasswordCheckWord(const TeaKey& key);

// ---- decoded container ---------------------------------------------------

struct TCrashSymbol {
    uint8_t Id = 0;
    uint32_t Offset = 0;
    uint32_t Size = 0;
};

struct TCrashLibraryData {
    uint16_t Version = 0;  // normalised (600 -> 6000 ...)
    double BuildTime = 0;
    uint8_t LeakFlags = 0;
    uint8_t FollowMainLeakFlags = 0;
    std::vector<TCrashSymbol> Symbols;
    Bytes Options;  // the options stream, already inflated
    bool HasPasswordCheck = false;
    uint32_t PasswordCheck = 0;
    Bytes DebugData;  // the N bytes after the length
    bool Appended = false;
    // Data older than 500 keeps options and debug data in one stream whose
    // split needs the options reader: Options then holds both.
    bool LegacyCombined = false;

    // nullptr when the id is absent.
    const TCrashSymbol* FindSymbol(uint8_t id) const;
};

uint16_t NormaliseDataVersion(uint16_t v);

// Parses the container at the start of `data` (section or resource form).
// Returns nothing on any damage; never reads outside `data`.
std::optional<TCrashLibraryData> ParseLibraryData(ByteSpan data);
// Parses the appended form at the end of a whole file image.
std::optional<TCrashLibraryData> ParseAppendedLibraryData(ByteSpan file);

// ---- line records ----------------------------------------------------------

struct LineStep {
    uint32_t LineStep = 0;
    uint32_t AddressStep = 0;
    bool NewProcedure = false;
};

// Decodes one record at `pos`, advancing it.  Nothing when the bytes end
// inside the record.
std::optional<LineStep> DecodeLineRecord(ByteSpan records, size_t& pos, uint16_t version);
// The shortest record for the steps (line step >= 1; address step 0 is
// possible only through the 32-bit form).
void EncodeLineRecord(Bytes& out, uint32_t lineStep, uint32_t addressStep, bool newProcedure);

// A name string: length byte, enciphered bytes; from 502 on a top bit marks
// a second name string joined with ".".  Returns the raw enciphered pieces
// concatenated by the decoder; nothing on truncation.
struct RawName {
    std::vector<ByteSpan> Parts;
};
std::optional<RawName> ReadNameString(ByteSpan data, size_t& pos, uint16_t version);

// Decoder of names with a given key; knows whether the password was right.
class TCrashNameDecoder {
  public:
    TCrashNameDecoder(uint16_t version, const TeaKey& key, bool passwordValid)
        : version_(version), key_(key), valid_(passwordValid) {}
    // Plain text of a name (parts joined by "."); with a wrong password "?"
    // followed by the Base64 text of the enciphered bytes.
    std::string Decode(const RawName& name) const;
    // A unit name also gets ".pas" when it has no extension, or, when the
    // password failed, "p" after its first character.
    std::string DecodeUnit(const RawName& name) const;
    bool PasswordValid() const { return valid_; }

  private:
    std::string DecodePart(ByteSpan part) const;
    uint16_t version_;
    TeaKey key_;
    bool valid_;
};

std::string Base64(ByteSpan data);

// ---- line lookup -----------------------------------------------------------

struct TCrashLineInfo {
    std::string UnitName;
    std::string ClassName;
    std::string ProcName;
    uint32_t Line = 0;
    int32_t ProcLine = 0;
    uint32_t ProcStartOffset = 0;  // start of the procedure, for the prologue rule
    uint32_t ProcStartLine = 0;
};

// Looks `offset` (address - base - 0x1000) up in decoded debug data.
// `codeAt` answers the first bytes of a procedure's code (may be empty when
// unreadable), used to tell whether its first line is a frame set-up.
// Nothing when no unit covers the offset or the data is damaged.
using CodePeek = std::vector<uint8_t> (*)(const void* ctx, uint32_t offset);

// The units of debug data by code range, built once per module so that a
// lookup goes straight to its unit.  Unusable (lookups walk every unit) when
// the ranges overlap, since then the first unit in stored order must win.
struct TCrashUnitIndex {
    struct Unit {
        uint32_t Start = 0, Size = 0;
        size_t HeaderPos = 0;
    };
    std::vector<Unit> Units;  // sorted by Start
    bool Usable = false;
};
TCrashUnitIndex BuildUnitIndex(ByteSpan debugData, uint16_t version);

std::optional<TCrashLineInfo> LookupLine(ByteSpan debugData, uint16_t version,
                                         const TCrashNameDecoder& names, uint32_t offset,
                                         CodePeek peek = nullptr, const void* ctx = nullptr,
                                         const TCrashUnitIndex* index = nullptr);

// One module's debug data, decoded a unit at a time on the first lookup that
// lands in it: later lookups are a binary search with no decoding, no name
// cipher and no memory read (the first bytes of a unit's procedures are
// peeked while it is decoded, so `peek` must answer the same for the
// table's life).  Answers exactly as LookupLine does.  Keeps a view of
// `debugData`, which must outlive it.  Not locked: one thread at a time.
//
// With `lastingNames`, the names are kept for the life of the process (once
// per text, whichever table decodes it), so that what resolves a frame can
// refer to them instead of copying; without, they live as long as the table.
class TCrashLineTable {
  public:
    TCrashLineTable(ByteSpan debugData, uint16_t version, const TCrashNameDecoder& names,
                    bool lastingNames = false);
    std::optional<TCrashLineInfo> Lookup(uint32_t offset, CodePeek peek = nullptr,
                                         const void* ctx = nullptr);

    // The same answer without copying the names: they point into the table
    // and stay valid as long as it lives.
    struct Found {
        const std::string* UnitName = nullptr;
        const std::string* ClassName = nullptr;
        const std::string* ProcName = nullptr;
        uint32_t Line = 0;
        int32_t ProcLine = 0;
        bool Lasting = false;  // the names live as long as the process
    };
    bool Find(uint32_t offset, Found& found, CodePeek peek = nullptr, const void* ctx = nullptr);
    // Whether the unit of the last successful Find passes `test`; asked once
    // per name and test.
    using UnitTest = bool (*)(std::string_view unitName);
    bool FoundUnitPasses(UnitTest test) {
        // Asked for every resolved frame: the kept verdict is read here.
        if (lastNames_ != kNoNames && markedBy_ == test && nameSets_[lastNames_].Mark >= 0)
            return nameSets_[lastNames_].Mark == 1;
        return AskFoundUnit(test);
    }

  private:
    // The names a row answers with.  Every distinct text is kept once in
    // strings_ and every distinct set once in nameSets_: a unit split in many
    // pieces, and the procedures each piece names again, share theirs, so
    // what a lookup reads and copies stays few, small and near.
    struct NameSet {
        const std::string* Unit = nullptr;
        const std::string* Class = nullptr;
        const std::string* Proc = nullptr;
        int8_t Mark = -1;  // by markedBy_: -1 not asked, 0 fails, 1 passes
        bool Lasting = false;
    };
    using NameKey = std::array<const std::string*, 3>;
    struct NameKeyHash {
        size_t operator()(const NameKey& k) const {
            return std::hash<const void*>()(k[0]) ^ std::hash<const void*>()(k[1]) * 31 ^
                   std::hash<const void*>()(k[2]) * 961;
        }
    };
    static constexpr uint32_t kNoNames = UINT32_MAX;
    // Everything a lookup answers, settled when the unit is decoded (the
    // prologue rule included): the search ends on the row.  Four to a cache
    // line, so a unit's rows are mostly read in one.
    struct Row {
        uint32_t Address = 0;
        uint32_t Line = 0;
        int32_t ProcLine = 0;
        uint32_t Names = 0;  // index into nameSets_
    };
    struct ProcStart {
        uint32_t Line = 0, Offset = 0;
    };
    // The units by start (as index_.Units, which keeps where each is stored).
    // A unit's rows lie together in rows_, in the order the units were first
    // needed; RowsEnd is 0 until then.  Decoding cuts Size down to what can
    // be answered (to nothing when the header itself is unreadable), so a
    // unit is decoded once whatever it holds.
    struct Unit {
        uint32_t Start = 0, Size = 0;
        uint32_t RowsBegin = 0, RowsEnd = 0;
    };
    void Decode(Unit& unit, size_t index, CodePeek peek, const void* ctx);
    inline Unit* FindUnit(uint32_t offset);  // defined where it is used
    bool AskFoundUnit(UnitTest test);
    const std::string* Keep(std::string_view text, bool& lasting);
    uint32_t Intern(std::string_view unit, std::string_view cls, std::string_view proc);

    ByteSpan data_;
    uint16_t version_;
    bool lastingNames_;
    TCrashNameDecoder decoder_;
    TCrashUnitIndex index_;  // consulted as it is when its ranges overlap
    std::vector<Unit> units_;
    // The first unit that may hold an offset, by (offset - first start) >>
    // bucketShift_: a lookup reads one or two units instead of searching.
    std::vector<uint32_t> buckets_;
    unsigned bucketShift_ = 0;
    std::vector<Row> rows_;
    // As rows_: the procedure's index into procStarts_, -1 before the unit's
    // first procedure.  Only Lookup reads them.
    std::vector<int32_t> rowProcs_;
    std::vector<ProcStart> procStarts_;
    std::deque<std::string> strings_;  // never moves what it holds; the names not lasting
    struct KeptText {
        const std::string* Text = nullptr;
        bool Lasting = false;
    };
    std::unordered_map<std::string_view, KeptText> stringsByText_;
    std::vector<NameSet> nameSets_;
    std::unordered_map<NameKey, uint32_t, NameKeyHash> nameSetsByKey_;
    uint32_t lastNames_ = kNoNames;  // of the last Find, kNoNames after a sequential answer
    uint32_t lastRow_ = 0;
    UnitTest markedBy_ = nullptr;
    TCrashLineInfo spare_;  // the last answer of the sequential walk (overlapping units)
};

// Splits a procedure name string into class and procedure; `prevClass` is
// kept when it starts with ".".
void SplitProcName(std::string_view full, const std::string& prevClass, std::string& cls,
                   std::string& proc);

// A symbol's name as written in the source: without its version tag
// ("memcpy@@GLIBC_2.14") and without the suffixes of compiler-made copies
// ("f.part.0", "f.isra.0", "f.constprop.0", "main.cold").  Mangled names
// lose the suffix too, so they demangle to the function itself.
std::string CleanSymbolName(std::string_view name);

// "ns::Class::method(int) const" -> "ns::Class.method": the class is what
// stands before the last "::" outside brackets, parameters are dropped, and
// so is the return type the demangler writes before a template function
// ("void ns::f<int>(int)" -> "ns.f<int>").
std::string StoredProcName(const std::string& demangled);

// ---- writer ------------------------------------------------------------------

struct DebugPoint {
    uint32_t Line = 0;
    uint32_t Offset = 0;
    std::string Proc;            // "Class.Proc" of the function holding it, may be empty
    uint32_t ProcStartLine = 0;  // first line of that function
};

struct DebugUnit {
    std::string Name;
    std::vector<DebugPoint> Points;  // offsets ascending
    uint32_t EndOffset = 0;          // one past the last point's code
};

// Debug data in this copy's own format (names enciphered with `key`).  A
// unit whose lines do not rise with the addresses, or whose steps are too
// wide for a record, is written as several units of the same name.
Bytes EncodeDebugData(const std::vector<DebugUnit>& units, const TeaKey& key);

struct LibraryDataInput {
    double BuildTime = 0;
    uint8_t LeakFlags = 0;
    uint8_t FollowMainLeakFlags = 0;
    std::vector<TCrashSymbol> Symbols;
    Bytes Options;
    std::string Password;
    Bytes DebugData;
};
Bytes BuildLibraryData(const LibraryDataInput& in);

}  // namespace crashlog
