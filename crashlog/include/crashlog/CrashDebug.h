// Start here: code addresses to readable locations, and thread stacks to
// call stacks.
//
// `TCrashModulesList` keeps one `TCrashModuleInfo` per module loaded in the
// process (file information, exports, library data, outside debug source);
// `ResolveAddress` turns an address into a `StackEntry`; `WalkStack` scans
// a stack for return addresses.  The list is not locked: callers serialize
// (the processing lock).  Memory is only ever read through a check that
// cannot fault.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "crashlog/CrashDebugData.h"
#include "crashlog/CrashOptions.h"

namespace crashlog {

// ---- safe memory access ----------------------------------------------------

// True when all `size` bytes at `address` can be read; never faults.
bool IsReadableMemory(uintptr_t address, size_t size);
// Copies `size` bytes; false (and nothing guaranteed in `out`) when any byte
// is unreadable.
bool ReadMemory(uintptr_t address, void* out, size_t size);

// ---- exports and outside sources -------------------------------------------

struct TCrashFunctionInfo {
    std::string Name;  // at most 255 characters
    uintptr_t Address = 0;
    uint32_t CodeSize = 0;  // 0 until measured
};

// The length of the code at `address` up to and including its first return.
uint32_t MeasureCodeSize(uintptr_t address);
using TCrashFunctionsList = std::vector<TCrashFunctionInfo>;  // sorted by address

class TCLDebugInfoSource;

struct TCLLocationInfo {
    uintptr_t CodeAddress = 0;
    std::string UnitFile;  // unit or module name
    std::string Routine;   // "Proc", "Class.Proc" or "Unit.Class.Proc"
    int LinesIntoRoutine = 0;
    int LineNo = 0;
    std::string SourceFile;
    const TCLDebugInfoSource* Source = nullptr;
};

// An outside debug source of one module.  Opened once, on first need.
class TCLDebugInfoSource {
  public:
    // `base` is the module handle, `bias` the load bias of its addresses.
    TCLDebugInfoSource(std::string fileName, uintptr_t base, uintptr_t bias)
        : fileName_(std::move(fileName)), base_(base), bias_(bias) {}
    virtual ~TCLDebugInfoSource() = default;
    virtual bool Open() = 0;
    virtual uint64_t AddressToOffset(uintptr_t address) const {
        return uint64_t(address) - base_ - kCodeOffsetBase;
    }
    virtual void Reserved() {}
    virtual bool IsReady() const = 0;
    virtual bool Locate(uintptr_t address, TCLLocationInfo& info) = 0;
    const std::string& FileName() const { return fileName_; }

  protected:
    std::string fileName_;
    uintptr_t base_;
    uintptr_t bias_;
};

// A linker map file ("<module>.map" beside the module).
class TCLDebugInfoMap : public TCLDebugInfoSource {
  public:
    using TCLDebugInfoSource::TCLDebugInfoSource;
    ~TCLDebugInfoMap() override;
    bool Open() override;
    bool IsReady() const override { return ready_; }
    bool Locate(uintptr_t address, TCLLocationInfo& info) override;
    // Parses map text directly (Open reads the file and calls this).
    bool Load(std::string_view text);

  private:
    struct Segment {
        uint32_t Start, Length;
        std::string Module;
    };
    struct Public {
        uint32_t Offset;
        std::string Name;
    };
    struct LinePoint {
        uint32_t Offset;
        int Line;
        uint32_t Block;
    };
    struct LineBlock {
        std::string Unit, Source;
    };
    std::vector<Segment> segments_;
    std::vector<Public> publics_;
    std::vector<LineBlock> blocks_;
    std::vector<LinePoint> lines_;
    bool ready_ = false;
};

// The module's DWARF, or its separate debug file, through libdw.
class TCLDebugInfoDwarf : public TCLDebugInfoSource {
  public:
    using TCLDebugInfoSource::TCLDebugInfoSource;
    ~TCLDebugInfoDwarf() override;
    bool Open() override;
    bool IsReady() const override { return dwfl_ != nullptr; }
    bool Locate(uintptr_t address, TCLLocationInfo& info) override;

  private:
    // The module's sized code symbols by address, with their routine names
    // made on first use: libdw finds a symbol by walking the whole table on
    // every call.
    struct Symbol {
        uint64_t Address = 0, Size = 0;
        const char* Name = nullptr;  // owned by libdw
        int Index = 0;               // in libdw's order
        int Binding = 0;             // libdw's preference: global, unique, weak, local
        bool Global = false;         // in the table's global part
        std::string Routine;
        bool Made = false;
    };
    // The symbol libdw would name for the address, when a sized symbol holds
    // it.  nullptr with `none` set: libdw names nothing there; without it,
    // the choice is left to libdw.
    Symbol* SymbolAt(uintptr_t address, bool& none);

    struct Dwfl* dwfl_ = nullptr;
    struct Dwfl_Module* module_ = nullptr;
    std::vector<Symbol> symbols_;             // sized, by address
    std::vector<uint64_t> globalSizelessAt_;  // sorted
    std::vector<uint64_t> sizelessAt_;        // every label, sorted
    std::vector<uint64_t> globalReach_;       // by symbols_: furthest end of the global ones so far
    bool symbolsRead_ = false;
    bool hasLocalPart_ = false;
};

// The binary debug format ("<module>.jdbg" beside the module or a .jdbg
// section inside it).
class TCLDebugInfoJedy : public TCLDebugInfoSource {
  public:
    using TCLDebugInfoSource::TCLDebugInfoSource;
    bool Open() override;
    bool IsReady() const override { return ready_; }
    bool Locate(uintptr_t address, TCLLocationInfo& info) override;
    bool Load(ByteSpan data);
    // The checks a block must pass before anything in it is read.
    static bool IsValidBlock(ByteSpan data);

  private:
    struct Entry {
        uint32_t Offset;
        uint32_t Value;  // name index or line
    };
    bool Decode();
    Bytes data_;
    std::vector<Entry> units_, procs_, lines_;
    std::vector<std::string> names_;
    bool ready_ = false;
    bool decoded_ = false;
};

// ---- modules -------------------------------------------------------------------

struct TCrashModuleInfo {
    ModuleHandle Handle = 0;
    std::string Name;
    std::string Description;
    std::string Version;
    uint32_t Size = 0;
    TCrashFunctionsList Exports;
    uint8_t ModuleType = 0;  // 0 unknown, 1 executable, 2 package, 3 other library
    uint16_t DataVersion = kCLDataVersion;
    double BuildTime = 0;
    std::unique_ptr<TCrashModuleOptionsEx> Options;
    std::unique_ptr<Bytes> DebugData;
    // The decoded lines and names, built on the first lookup and kept with
    // the module: what never changes per module is derived only once.
    std::unique_ptr<TCrashLineTable> LineTable;
    std::unique_ptr<TCLDebugInfoSource> OtherSource;
    bool OtherSourceTried = false;
    double LastModified = 0;  // local time, days since 30/12/1899
    std::string DataPassword;
    bool PasswordValid = false;

    uintptr_t LoadBias = 0;  // what the file's addresses are shifted by
    std::vector<TCrashSymbol> Symbols;
    size_t MemorySize = 0;  // extent of the loaded image
    bool Light = false;     // made by a list refresh, completed on lookup
};

// The address of a routine the module's library data lists under `id`;
// 0 when the id is absent (the routine is then not hooked).
uintptr_t SymbolAddress(const TCrashModuleInfo& module, uint8_t id);

// Reads the version note of an ELF file: the four-number version and the
// description.  False when the file has no such note.
bool ReadVersionNote(const std::string& fileName, std::string& version, std::string& description);

// Asked for the debug-data password of a module; true when it gave one.
using TCrashPasswordRequest =
    std::function<bool(const TCrashModuleInfo& module, std::string& password)>;

// A name in a resolved frame.  Names decoded from a module's embedded data
// are kept for the life of the process, and a frame only points at them:
// resolving an address then copies no text.  Any other name is held by the
// frame itself.  Read-only once made; assign a new one to change it.
class TFrameName {
  public:
    TFrameName() = default;
    TFrameName(std::string text) : own_(std::move(text)) {}
    TFrameName(const char* text) : own_(text) {}
    // `kept` must live as long as the process.
    static TFrameName Lasting(const std::string& kept) {
        TFrameName n;
        n.kept_ = &kept;
        return n;
    }

    const std::string& str() const { return kept_ ? *kept_ : own_; }
    operator const std::string&() const { return str(); }
    operator std::string_view() const { return str(); }
    bool empty() const { return str().empty(); }
    size_t size() const { return str().size(); }
    const char* c_str() const { return str().c_str(); }
    char operator[](size_t i) const { return str()[i]; }

    // One for each kind of text, so that no comparison needs a conversion.
    friend bool operator==(const TFrameName& a, const TFrameName& b) { return a.str() == b.str(); }
    friend bool operator==(const TFrameName& a, const std::string& b) { return a.str() == b; }
    friend bool operator==(const TFrameName& a, std::string_view b) { return a.str() == b; }
    friend bool operator==(const TFrameName& a, const char* b) { return a.str() == b; }
    friend std::ostream& operator<<(std::ostream& out, const TFrameName& n) {
        return out << n.str();
    }

  private:
    const std::string* kept_ = nullptr;
    std::string own_;
};

struct StackEntry {
    uint8_t Kind = 0;  // 0 removed, 1 module only, 2 procedure, 3 unit, 4 unit+proc+line
    const TCrashModuleInfo* Module = nullptr;
    uint64_t ThreadId = 0;
    uint8_t OwnStack = 1;
    uint8_t IsRaisePoint = 0;
    uint8_t IsLeak = 0;
    std::string LeakType;
    uint32_t LeakSize = 0;
    uint32_t LeakCount = 0;
    uintptr_t Address = 0;
    TFrameName UnitName, ClassName, ProcName;
    uint32_t Line = 0;
    int32_t ProcLine = 0;
    std::string Note;
};

class TCrashModulesList {
  public:
    TCrashModulesList();
    ~TCrashModulesList();
    TCrashModulesList(const TCrashModulesList&) = delete;
    TCrashModulesList& operator=(const TCrashModulesList&) = delete;

    // The entry of a loaded module, made in full if needed; nullptr when no
    // loaded module has that handle.
    TCrashModuleInfo* FindByHandle(ModuleHandle handle);
    // The module holding the address, or nullptr.
    TCrashModuleInfo* FindByAddress(uintptr_t address);
    // Drops entries of unloaded modules, adds light entries for new ones.
    void Refresh();
    // Drops entries whose file changed since they were made.
    void DropChanged();
    const std::vector<std::unique_ptr<TCrashModuleInfo>>& Items() const { return items_; }

    StackEntry ResolveAddress(uintptr_t address, uint64_t threadId, bool raisePoint, bool ownStack);

    // Frames of the library's own units are shown only during an internal-
    // error report.
    void SetShowOwnFrames(bool show) { showOwnFrames_ = show; }
    // The module's own password request comes first, the local handlers next.
    void SetModulePasswordRequest(TCrashPasswordRequest request) {
        moduleRequest_ = std::move(request);
    }
    void AddPasswordHandler(TCrashPasswordRequest handler) {
        handlers_.push_back(std::move(handler));
    }

    // Loads library data into an entry (exposed for tools and tests).
    void LoadLibraryData(TCrashModuleInfo& module, const TCrashLibraryData& data);
    // Adds the full entry of a module image that the caller mapped itself
    // (tools and benchmarks that resolve the addresses of a file they cannot
    // load, such as another program).  `handle` is where the image starts,
    // `bias` what its file addresses are shifted by, `extent` its size.  The
    // entry lasts until the next Refresh.  nullptr when the handle is taken.
    TCrashModuleInfo* AddMappedImage(const std::string& fileName, ModuleHandle handle,
                                     uintptr_t bias, size_t extent);

  private:
    std::unique_ptr<TCrashModuleInfo> MakeEntry(ModuleHandle handle, bool light);
    void Complete(TCrashModuleInfo& module);
    bool ResolveLibraryData(TCrashModuleInfo& m, uintptr_t address, StackEntry& e);
    bool ResolveOther(TCrashModuleInfo& m, uintptr_t address, StackEntry& e);
    bool ResolveExport(TCrashModuleInfo& m, uintptr_t address, StackEntry& e);

    std::vector<std::unique_ptr<TCrashModuleInfo>> items_;
    bool refreshing_ = false;
    bool showOwnFrames_ = false;
    TCrashPasswordRequest moduleRequest_;
    std::vector<TCrashPasswordRequest> handlers_;
};

// Whether a unit name is one of the crash library's own source units.
bool IsOwnUnit(std::string_view unitName);

// Splits an export name into unit, class and procedure; the kind it gives
// (2 or 3), or 0 when the name is to be ignored.
uint8_t SplitExportName(std::string_view name, std::string& unit, std::string& cls,
                        std::string& proc);
// Splits an outside source's routine into class and procedure.
void SplitRoutine(std::string_view routine, std::string_view unitName, std::string& cls,
                  std::string& proc);

// ---- call stacks -------------------------------------------------------------

inline constexpr size_t kMaxStackScanBytes = 102400;
inline constexpr size_t kMaxStackEntries = 1024;
inline constexpr uint32_t kAllKinds = 0x1F;

class TCrashStackList {
  public:
    std::vector<StackEntry> Items;
    size_t Count() const { return Items.size(); }
};

struct TStackWalkParams {
    uintptr_t RaiseAddress = 0;  // 0: none
    uintptr_t StackStart = 0;    // the saved stack pointer
    uintptr_t StackTop = 0;      // highest address of the stack
    uint32_t KindsMask = kAllKinds;
    int FirstIndex = -1;
    int MaxCount = -1;
    bool Resolve = true;
    bool FollowCalls = false;
    bool OwnStack = true;
    uint64_t ThreadId = 0;
};

// Appends the stack's call sites (and the raise address) to `list`.
void WalkStack(TCrashModulesList& modules, TCrashStackList& list, const TStackWalkParams& p);

// The address of the call instruction before return address `r`, or 0 when
// the code before it is none of the recognised call forms.  `target` gets a
// direct call's destination.
uintptr_t FindCallBefore(uintptr_t r, uintptr_t* target);

// The two clean-up passes over list entries [first, end).
void CleanUpStack(TCrashStackList& list, size_t first);

// ---- processes -------------------------------------------------------------------

struct TCrashProcessInfo {
    pid_t ProcessId = 0;
    std::string Name, Description, Version;
    uint32_t PriorityClass = 0;
    uint64_t Memory = 0;
    uint32_t Threads = 0;
};

class TCrashProcessesList {
  public:
    void Refresh(const std::string& procRoot = "/proc");
    std::vector<TCrashProcessInfo> Items;  // sorted by process id
};

// The priority class of a scheduling base priority.
uint32_t PriorityClassOfBasePriority(int basePriority);

}  // namespace crashlog
