#include <cxxabi.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <gelf.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <mutex>

#include "CrashDebugElf.h"
#include "CrashText.h"
#include "crashlog/CrashDebug.h"
#include "crashlog/CrashDisasm.h"
#include "os/CrashOs.h"

namespace crashlog {

namespace {

#if __has_include("CrashOwnUnits.inc")
const char* const kOwnUnits[] = {
#include "CrashOwnUnits.inc"
};
#else
const char* const kOwnUnits[] = {"CrashDebug.cpp"};
#endif

std::string BaseName(std::string_view path) {
    auto slash = path.find_last_of('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string StripExtension(std::string_view name) {
    auto dot = name.rfind('.');
    return std::string(dot == std::string_view::npos ? name : name.substr(0, dot));
}

// A "\\?\C:\..." style name starts again at its drive letter.
std::string CleanModuleName(std::string name) {
    auto q = name.find('?');
    if (q != std::string::npos) {
        auto colon = name.find(':', q);
        if (colon != std::string::npos && colon > 0) name.erase(0, colon - 1);
    }
    return name;
}

using os::LoadedModule;
using os::LoadedModules;

double LocalDateTime(time_t t) {
    tm local{};
    localtime_r(&t, &local);
    return double(t + local.tm_gmtoff) / 86400.0 + 25569.0;
}

}  // namespace

uintptr_t SymbolAddress(const TCrashModuleInfo& module, uint8_t id) {
    for (const auto& s : module.Symbols)
        if (s.Id == id) return module.Handle + kCodeOffsetBase + s.Offset;
    return 0;
}

bool IsOwnUnit(std::string_view unitName) {
    // Asked for every resolved frame: the names are measured once.
    static const std::vector<std::string_view> own(std::begin(kOwnUnits), std::end(kOwnUnits));
    for (std::string_view u : own)
        if (EqualsNoCase(u, unitName)) return true;
    return false;
}

uint8_t SplitExportName(std::string_view name, std::string& unit, std::string& cls,
                        std::string& proc) {
    unit.clear();
    cls.clear();
    proc.clear();
    if (name.empty() || name[0] == '?') return 0;
    std::string s(name);
    if (s[0] == '@' && s.compare(0, 2, "@$") != 0) {
        // "@Unit@Class@Proc$params": parameters dropped, "@" read as ".", and
        // "@@" keeps the marker of a compiler helper as "_".
        s = s.substr(0, s.find('$'));
        if (s.size() > 1 && s.back() == '@') s.pop_back();
        s.erase(0, 1);
        std::string t;
        for (size_t i = 0; i < s.size(); ++i) {
            if (s[i] == '@' && i + 1 < s.size() && s[i + 1] == '@') {
                t += "._";
                ++i;
            } else if (s[i] == '@') {
                t += '.';
            } else {
                t += s[i];
            }
        }
        s = t;
    }
    std::vector<std::string> parts;
    for (size_t start = 0;;) {
        auto dot = s.find('.', start);
        parts.push_back(
            s.substr(start, dot == std::string::npos ? std::string::npos : dot - start));
        if (dot == std::string::npos) break;
        start = dot + 1;
    }
    if (parts.size() >= 2) {
        unit = parts.front() + ".pas";
        proc = parts.back();
        for (size_t i = 1; i + 1 < parts.size(); ++i)
            cls += (cls.empty() ? "" : ".") + parts[i];
        return 3;
    }
    proc = s;
    return 2;
}

void SplitRoutine(std::string_view routine, std::string_view unitName, std::string& cls,
                  std::string& proc) {
    cls.clear();
    proc.clear();
    std::vector<std::string_view> parts;
    for (size_t start = 0;;) {
        auto dot = routine.find('.', start);
        parts.push_back(routine.substr(start, dot == std::string::npos ? dot : dot - start));
        if (dot == std::string_view::npos) break;
        start = dot + 1;
    }
    if (parts.size() >= 3) {
        cls = parts[parts.size() - 2];
        proc = parts.back();
    } else if (parts.size() == 2) {
        if (!EqualsNoCase(parts[0], StripExtension(unitName))) cls = parts[0];
        proc = parts[1];
    } else {
        proc = routine;
    }
}

TCrashModulesList::TCrashModulesList() = default;
TCrashModulesList::~TCrashModulesList() = default;

std::unique_ptr<TCrashModuleInfo> TCrashModulesList::MakeEntry(ModuleHandle handle, bool light) {
    for (auto& lm : LoadedModules()) {
        if (lm.Handle != handle) continue;
        if (lm.Name.empty()) return nullptr;
        auto m = std::make_unique<TCrashModuleInfo>();
        m->Handle = handle;
        m->Name = CleanModuleName(lm.Name);
        m->LoadBias = lm.Bias;
        m->MemorySize = lm.Extent;
        m->Light = light;
        m->ModuleType = 0;
        if (!light) {
            m->ModuleType = lm.Main ? 1 : 3;
            Complete(*m);
        }
        return m;
    }
    return nullptr;
}

void TCrashModulesList::Complete(TCrashModuleInfo& m) {
    struct stat st {};
    if (stat(m.Name.c_str(), &st) == 0) {
        m.Size = uint32_t(st.st_size);
        m.LastModified = LocalDateTime(st.st_mtime);
    }
    std::string version, description;
    if (ReadVersionNote(m.Name, version, description)) {
        m.Version = version == "0.0.0.0" ? "" : version;
        m.Description = description;
    }
    m.Options = std::make_unique<TCrashModuleOptionsEx>(m.Name);
    ElfModuleFile file;
    if (!ReadElfModuleFile(m.Name, file)) return;
    if (file.Type == ET_EXEC) m.ModuleType = 1;
    if (m.ModuleType != 1) {
        for (auto& s : file.Exports) {
            TCrashFunctionInfo f;
            f.Name = Demangle(CleanSymbolName(s.Name).c_str());
            if (f.Name.size() > 255) f.Name.resize(255);
            f.Address = m.LoadBias + s.Value;
            // An export below the code has no measurable extent; one without
            // a size (0) is measured on first need.
            f.CodeSize = s.Value < file.CodeStart ? 1 : uint32_t(s.Size);
            m.Exports.push_back(std::move(f));
        }
        std::sort(m.Exports.begin(), m.Exports.end(),
                  [](const auto& a, const auto& b) { return a.Address < b.Address; });
    }
    std::optional<TCrashLibraryData> data;
    if (!file.CLData.empty()) data = ParseLibraryData(file.CLData);
    if (!data && file.HasAppendedMagic) {
        Bytes whole;
        if (ReadWholeFile(m.Name, whole)) data = ParseAppendedLibraryData(whole);
    }
    if (data) LoadLibraryData(m, *data);
}

void TCrashModulesList::LoadLibraryData(TCrashModuleInfo& m, const TCrashLibraryData& data) {
    if (!m.Options) m.Options = std::make_unique<TCrashModuleOptionsEx>(m.Name);
    m.DataVersion = data.Version;
    m.BuildTime = data.BuildTime;
    m.Symbols = data.Symbols;
    Bytes debug = data.DebugData;
    if (data.LegacyCombined) {
        size_t used = m.Options->LoadFromStream(data.Options, data.Version);
        ByteSpan rest = ByteSpan(data.Options).subspan(std::min(used, data.Options.size()));
        uint32_t n = rest.size() < 4 ? 0
                                     : uint32_t(rest[0]) | uint32_t(rest[1]) << 8 |
                                           uint32_t(rest[2]) << 16 | uint32_t(rest[3]) << 24;
        if (rest.size() < 4 || n > rest.size() - 4) {
            // Damaged data leaves the module as if it carried none.
            m.Options->SetDefaults();
            m.DataVersion = kCLDataVersion;
            m.BuildTime = 0;
            m.Symbols.clear();
            return;
        }
        debug.assign(rest.begin() + 4, rest.begin() + 4 + n);
    } else {
        m.Options->LoadFromStream(data.Options, data.Version);
    }
    const bool own = m.Handle != 0 && m.Handle == CrashLibraryModuleHandle();
    std::string password;
    if (!own && moduleRequest_) moduleRequest_(m, password);
    bool valid = true;
    if (data.HasPasswordCheck && data.Version >= 500) {
        valid = PasswordCheckWord(DebugKeyFromPassword(password)) == data.PasswordCheck;
        for (size_t i = 0; !valid && !own && i < handlers_.size(); ++i) {
            std::string other;
            if (!handlers_[i](m, other)) continue;
            if (PasswordCheckWord(DebugKeyFromPassword(other)) == data.PasswordCheck) {
                password = other;
                valid = true;
            }
        }
    }
    m.DataPassword = password;
    m.PasswordValid = valid;
    m.DebugData = std::make_unique<Bytes>(std::move(debug));
    m.LineTable.reset();
    if (!own && m.Handle != 0) {
        m.Options->SetOwnerModuleHandle(m.Handle);
        m.Options->Refresh();
    }
}

TCrashModuleInfo* TCrashModulesList::FindByHandle(ModuleHandle handle) {
    auto it = std::lower_bound(items_.begin(), items_.end(), handle,
                               [](const auto& p, ModuleHandle h) { return p->Handle < h; });
    if (it != items_.end() && (*it)->Handle == handle) {
        if (!(*it)->Light || refreshing_) return it->get();
        auto full = MakeEntry(handle, false);
        if (!full) {
            items_.erase(it);
            return nullptr;
        }
        *it = std::move(full);
        return it->get();
    }
    auto made = MakeEntry(handle, refreshing_);
    if (!made) return nullptr;
    return items_.insert(it, std::move(made))->get();
}

TCrashModuleInfo* TCrashModulesList::AddMappedImage(const std::string& fileName,
                                                    ModuleHandle handle, uintptr_t bias,
                                                    size_t extent) {
    auto it = std::lower_bound(items_.begin(), items_.end(), handle,
                               [](const auto& p, ModuleHandle h) { return p->Handle < h; });
    if (handle == 0 || fileName.empty() || (it != items_.end() && (*it)->Handle == handle))
        return nullptr;
    auto m = std::make_unique<TCrashModuleInfo>();
    m->Handle = handle;
    m->Name = fileName;
    m->LoadBias = bias;
    m->MemorySize = extent;
    m->ModuleType = 3;
    Complete(*m);
    return items_.insert(it, std::move(m))->get();
}

namespace {
// The full entry whose extent holds the address.  The loader reserves a
// module's whole extent, gaps included, so the extent alone tells the module.
TCrashModuleInfo* KeptHolding(const std::vector<std::unique_ptr<TCrashModuleInfo>>& items,
                              uintptr_t address) {
    for (const auto& m : items)
        if (!m->Light && address >= m->Handle && address - m->Handle < m->MemorySize)
            return m.get();
    return nullptr;
}
}  // namespace

TCrashModuleInfo* TCrashModulesList::FindByAddress(uintptr_t address) {
    if (TCrashModuleInfo* m = KeptHolding(items_, address)) return m;
    for (auto& lm : LoadedModules())
        if (address >= lm.Handle && address - lm.Handle < lm.Extent) return FindByHandle(lm.Handle);
    return nullptr;
}

void TCrashModulesList::Refresh() {
    refreshing_ = true;
    auto loaded = LoadedModules();
    std::erase_if(items_, [&](const auto& m) {
        return std::none_of(loaded.begin(), loaded.end(), [&](const LoadedModule& l) {
            return l.Handle == m->Handle && !l.Name.empty();
        });
    });
    for (auto& l : loaded)
        if (!l.Name.empty()) FindByHandle(l.Handle);
    std::sort(items_.begin(), items_.end(),
              [](const auto& a, const auto& b) { return a->Handle < b->Handle; });
    refreshing_ = false;
}

void TCrashModulesList::DropChanged() {
    std::erase_if(items_, [](const auto& m) {
        struct stat st {};
        if (m->Light || stat(m->Name.c_str(), &st) != 0) return false;
        return LocalDateTime(st.st_mtime) != m->LastModified;
    });
}

namespace {
struct PeekCtx {
    uintptr_t Base;
};
std::vector<uint8_t> PeekCode(const void* ctx, uint32_t offset) {
    auto* c = static_cast<const PeekCtx*>(ctx);
    std::vector<uint8_t> code(8);
    if (!ReadMemory(c->Base + kCodeOffsetBase + offset, code.data(), code.size())) code.clear();
    return code;
}

// What ResolveLibraryData does, where ResolveAddress can have it inline (a
// member of an exported class is called through the symbol table).
bool FromLibraryData(TCrashModuleInfo& m, uintptr_t address, bool showOwnFrames, StackEntry& e) {
    if (!m.DebugData || address < m.Handle + kCodeOffsetBase) return false;
    uint64_t off = address - m.Handle - kCodeOffsetBase;
    if (off > UINT32_MAX) return false;
    if (!m.LineTable) {
        // The name key comes from the password through MD5: derived once
        // here, with the table, rather than on every lookup.
        TCrashNameDecoder names(m.DataVersion, DebugKeyFromPassword(m.DataPassword),
                                m.PasswordValid);
        m.LineTable = std::make_unique<TCrashLineTable>(*m.DebugData, m.DataVersion, names,
                                                        /*lastingNames=*/true);
    }
    PeekCtx ctx{m.Handle};
    TCrashLineTable::Found r;
    if (!m.LineTable->Find(uint32_t(off), r, &PeekCode, &ctx)) return false;
    // The library's own frames are hidden: decided before any name is copied.
    if (!showOwnFrames && m.LineTable->FoundUnitPasses(&IsOwnUnit)) {
        e.Kind = 1;
        return true;
    }
    e.Kind = 4;
    if (r.Lasting) {
        // The text itself stays where it was decoded: nothing is copied.
        e.UnitName = TFrameName::Lasting(*r.UnitName);
        e.ClassName = TFrameName::Lasting(*r.ClassName);
        e.ProcName = TFrameName::Lasting(*r.ProcName);
    } else {
        e.UnitName = *r.UnitName;
        e.ClassName = *r.ClassName;
        e.ProcName = *r.ProcName;
    }
    e.Line = r.Line;
    e.ProcLine = r.ProcLine;
    return true;
}
}  // namespace

bool TCrashModulesList::ResolveLibraryData(TCrashModuleInfo& m, uintptr_t address, StackEntry& e) {
    return FromLibraryData(m, address, showOwnFrames_, e);
}

bool TCrashModulesList::ResolveOther(TCrashModuleInfo& m, uintptr_t address, StackEntry& e) {
    if (!m.OtherSource || !m.OtherSource->IsReady()) return false;
    TCLLocationInfo info;
    if (!m.OtherSource->Locate(address, info) || info.Routine.empty()) return false;
    std::string unit = BaseName(!info.SourceFile.empty() ? info.SourceFile : info.UnitFile);
    if (!showOwnFrames_ && IsOwnUnit(unit)) {
        e.Kind = 1;
        return true;
    }
    e.Kind = info.LineNo > 0 ? 4 : !unit.empty() ? 3 : 2;
    std::string cls, proc;
    SplitRoutine(info.Routine, unit, cls, proc);
    e.UnitName = std::move(unit);
    e.ClassName = std::move(cls);
    e.ProcName = std::move(proc);
    e.Line = uint32_t(std::max(info.LineNo, 0));
    e.ProcLine = std::max(info.LinesIntoRoutine, 0);
    return true;
}

namespace {
// "ret", "retf", and the same behind the prefixes the decoder joins to the
// mnemonic ("rep ret" is a common function end, "repne ret" another).
bool IsReturn(std::string_view text) {
    for (std::string_view prefix : {"lock ", "rep ", "repne "})
        if (text.starts_with(prefix)) text.remove_prefix(prefix.size());
    return text.starts_with("ret");
}
}  // namespace

uint32_t MeasureCodeSize(uintptr_t address) {
    // Up to the first return, instruction by instruction, never past what
    // can be read.
    static const TDisAsm decoder(TDisAsmMode::Bits64);
    constexpr uint32_t kLimit = 0x10000;
    uint32_t size = 0;
    while (size < kLimit) {
        uint8_t code[TDisAsm::kMaxInstructionLength];
        size_t n = sizeof code;
        while (n > 0 && !ReadMemory(address + size, code, n))
            n = n > 1 ? n / 2 : 0;
        if (n == 0) break;
        int length = 0;
        std::string text = decoder.Disassemble(code, n, address + size, length);
        if (length <= 0) break;
        size += uint32_t(length);
        if (IsReturn(text)) break;
    }
    return std::max<uint32_t>(size, 1);
}

bool TCrashModulesList::ResolveExport(TCrashModuleInfo& m, uintptr_t address, StackEntry& e) {
    auto it =
        std::upper_bound(m.Exports.begin(), m.Exports.end(), address,
                         [](uintptr_t a, const TCrashFunctionInfo& f) { return a < f.Address; });
    if (it == m.Exports.begin()) return false;
    --it;
    if (it->CodeSize == 0) it->CodeSize = MeasureCodeSize(it->Address);
    if (address - it->Address >= it->CodeSize) return false;
    std::string unit, cls, proc;
    uint8_t kind = SplitExportName(it->Name, unit, cls, proc);
    if (kind == 0) return false;
    e.Kind = kind;
    e.UnitName = std::move(unit);
    e.ClassName = std::move(cls);
    e.ProcName = std::move(proc);
    return true;
}

StackEntry TCrashModulesList::ResolveAddress(uintptr_t address, uint64_t threadId, bool raisePoint,
                                             bool ownStack) {
    StackEntry e;
    e.Address = address;
    e.ThreadId = threadId;
    e.IsRaisePoint = raisePoint ? 1 : 0;
    e.OwnStack = ownStack ? 1 : 0;
    TCrashModuleInfo* m = KeptHolding(items_, address);
    if (!m) m = FindByAddress(address);
    if (!m) return e;
    e.Module = m;
    e.Kind = 1;
    // Library data names a compiler helper's "@" as "_" when it is decoded.
    if (FromLibraryData(*m, address, showOwnFrames_, e)) return e;
    bool done = ResolveOther(*m, address, e) || ResolveExport(*m, address, e);
    if (!done && !m->OtherSourceTried) {
        m->OtherSourceTried = true;
        m->OtherSource = OpenOutsideDebugSource(m->Name, m->Handle, m->LoadBias);
        ResolveOther(*m, address, e);
    }
    if (!e.ProcName.empty() && e.ProcName[0] == '@') {
        std::string proc = e.ProcName;
        proc[0] = '_';
        e.ProcName = std::move(proc);
    }
    return e;
}

}  // namespace crashlog
