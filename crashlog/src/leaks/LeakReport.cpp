// The checker's reports: the leaks left at exit, grouped, and a bad release
// (overrun or second release) where it happens.  Both are written to
// standard error in the layout of the bug report's call-stack table.
//
// Runs with tracking stopped (or, for a bad release, with the thread marked
// as inside the checker): whatever is allocated here goes to the C library
// untracked.
#include <cxxabi.h>
#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <typeinfo>
#include <unordered_map>
#include <vector>

#include "crashlog/CrashDebug.h"
#include "crashlog/CrashOptions.h"
#include "leaks/LeakInternal.h"

namespace crashlog::leaks {

void WriteError(const char* text, std::size_t size) {
    while (size > 0) {
        const ssize_t n = write(STDERR_FILENO, text, size);
        if (n <= 0) return;
        text += n;
        size -= std::size_t(n);
    }
}

namespace {

void WriteText(const std::string& s) {
    WriteError(s.data(), s.size());
}

// Any exception in a step names the step and ends the report.
class TStepError {
  public:
    explicit TStepError(const char* section) : section_(section) {}
    const char* Section() const { return section_; }

  private:
    const char* section_;
};

template <class F>
void Step(const char* section, F&& f) {
    try {
        f();
    } catch (...) {
        throw TStepError(section);
    }
}

// ---- the call stack of a block ------------------------------------------------------

class TCallSites {
  public:
    // The call instruction before return address `r`, or 0.
    std::uintptr_t Site(std::uintptr_t r) {
        if (r == 0) return 0;
        auto it = cache_.find(r);
        if (it != cache_.end()) return it->second;
        const std::uintptr_t s = FindCallBefore(r, nullptr);
        cache_.emplace(r, s);
        return s;
    }

    // The call sites of `stack`, packed; repeats of an entry right after it
    // (the same return address seen twice on the stack) are dropped.
    std::vector<std::uintptr_t> Purge(const std::uintptr_t (&stack)[kLeakStackDepth]) {
        std::vector<std::uintptr_t> out;
        for (std::uintptr_t r : stack) {
            const std::uintptr_t s = Site(r);
            if (s && (out.empty() || std::find(out.begin(), out.end(), s) == out.end()))
                out.push_back(s);
        }
        return out;
    }

  private:
    std::unordered_map<std::uintptr_t, std::uintptr_t> cache_;
};

// ---- the class of a block -----------------------------------------------------------

struct TPlain {
    virtual ~TPlain() = default;
};
struct TSingle : TPlain {};
struct TOther {
    virtual ~TOther() = default;
};
struct TMulti : TPlain, TOther {};

std::uintptr_t VptrOf(const std::type_info& t) {
    std::uintptr_t v;
    std::memcpy(&v, &t, sizeof v);
    return v;
}

// The class name behind the vtable pointer `vptr`, or empty when `vptr` is
// no vtable of a complete object.
std::string ClassNameOf(std::uintptr_t vptr) {
    if (vptr < 4096 || vptr % sizeof(void*) != 0) return {};
    std::uintptr_t head[2];  // offset to top, type_info
    if (!ReadMemory(vptr - sizeof head, head, sizeof head) || head[0] != 0 || head[1] == 0)
        return {};
    std::uintptr_t info[2];  // the type_info's own vtable, its name
    if (!ReadMemory(head[1], info, sizeof info)) return {};
    static const std::uintptr_t kinds[] = {VptrOf(typeid(TPlain)), VptrOf(typeid(TSingle)),
                                           VptrOf(typeid(TMulti))};
    if (std::find(std::begin(kinds), std::end(kinds), info[0]) == std::end(kinds)) return {};
    char name[512];
    std::size_t n = 0;
    for (; n + 1 < sizeof name; ++n) {
        if (!ReadMemory(info[1] + n, &name[n], 1)) return {};
        if (name[n] == 0) break;
    }
    name[n] = 0;
    const char* mangled = name[0] == '*' ? name + 1 : name;
    int status = 0;
    char* plain = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
    std::string result = status == 0 && plain ? plain : mangled;
    std::free(plain);
    return result;
}

// ---- known leaks ----------------------------------------------------------------------

// Blocks that the run-time and this library allocate for themselves and
// keep to the end (the standard streams' buffers, the time zone, the dynamic
// linker's tables, the crash library's own state) are no leaks of the
// program: not one frame of their call stack lies in the program's modules.
class TKnownLeaks {
  public:
    // `entries`: the resolved call stack (stray words of the raw stack
    // that resolve to nothing do not count).
    bool IsKnown(const std::vector<StackEntry>& entries) {
        return std::all_of(entries.begin(), entries.end(),
                           [&](const StackEntry& e) { return IsRuntime(e.Address); });
    }

  private:
    bool IsRuntime(std::uintptr_t site) {
        Dl_info info{};
        if (!dladdr(reinterpret_cast<void*>(site), &info) || !info.dli_fname) return false;
        auto it = cache_.find(info.dli_fbase);
        if (it != cache_.end()) return it->second;
        Dl_info own{};
        const bool self =
            dladdr(reinterpret_cast<void*>(&ReportLeaks), &own) && own.dli_fbase == info.dli_fbase;
        const char* file = std::strrchr(info.dli_fname, '/');
        file = file ? file + 1 : info.dli_fname;
        static const char* const kRuntime[] = {"ld-linux", "libc.so", "libm.so", "libstdc++.so",
                                               "libgcc_s.so"};
        bool runtime = self;
        for (const char* r : kRuntime)
            runtime = runtime || std::strncmp(file, r, std::strlen(r)) == 0;
        cache_.emplace(info.dli_fbase, runtime);
        return runtime;
    }
    std::unordered_map<void*, bool> cache_;
};

// ---- the table ------------------------------------------------------------------------

struct TLeakGroup {
    std::string Type;
    std::uint64_t Size = 0;
    std::uint32_t Count = 0;
    std::vector<StackEntry> Entries;
};

std::string AddressText(std::uintptr_t a) {
    static const char digits[] = "0123456789ABCDEF";
    std::string s(16, '0');
    for (int i = 15; i >= 0; --i, a >>= 4)
        s[std::size_t(i)] = digits[a & 15];
    return s;
}

std::string LineText(const StackEntry& e) {
    if (e.Line == 0) return {};
    return std::to_string(e.Line) + "[" + std::to_string(e.ProcLine) + "]";
}

std::string ModuleText(const StackEntry& e) {
    if (!e.Module) return {};
    const std::string& n = e.Module->Name;
    const auto slash = n.find_last_of('/');
    return slash == std::string::npos ? n : n.substr(slash + 1);
}

// Blocks of rows under one header each, like the bug report's table.
std::string Table(const TCrashModuleOptions& o,
                  const std::vector<std::pair<std::string, std::vector<StackEntry>>>& blocks) {
    std::string labels[6] = {o.Text(92), o.Text(93), o.Text(94),
                             o.Text(95), o.Text(96), o.Text(97)};
    std::size_t widths[6];
    for (int i = 0; i < 6; ++i)
        widths[i] = labels[i].size();
    widths[0] = std::max<std::size_t>(widths[0], 16);
    for (const auto& b : blocks)
        for (const StackEntry& e : b.second) {
            widths[1] = std::max(widths[1], ModuleText(e).size());
            widths[2] = std::max(widths[2], e.UnitName.size());
            widths[3] = std::max(widths[3], e.ClassName.size());
            widths[4] = std::max(widths[4], e.ProcName.size());
            widths[5] = std::max(widths[5], LineText(e).size());
        }
    std::size_t inner = 5;
    for (std::size_t w : widths)
        inner += w;
    auto row = [&](std::string& out, const std::string(&v)[6]) {
        out += '|';
        for (int i = 0; i < 6; ++i) {
            out += v[i];
            out.append(widths[i] - v[i].size(), ' ');
            out += '|';
        }
        out += "\r\n";
    };
    const std::string rule = std::string(inner + 2, '-') + "\r\n";
    std::string out = o.Text(8) + ":\r\n" + rule;
    row(out, labels);
    out += rule;
    bool first = true;
    for (const auto& b : blocks) {
        if (!first) out += "|" + std::string(inner, '-') + "|\r\n";
        first = false;
        std::string h = b.first;
        h.resize(inner, ' ');
        out += "|" + h + "|\r\n|" + std::string(inner, '-') + "|\r\n";
        for (const StackEntry& e : b.second) {
            const std::string v[6] = {AddressText(e.Address),
                                      ModuleText(e),
                                      e.UnitName,
                                      e.ClassName,
                                      e.ProcName,
                                      LineText(e)};
            row(out, v);
        }
    }
    out += rule;
    return out;
}

// The entries of kind 2 to 4 for the sites; empty when the first of them
// is not a known line (the leak is then left out).
std::vector<StackEntry> Resolve(TCrashModulesList& modules,
                                const std::vector<std::uintptr_t>& sites) {
    std::vector<StackEntry> out;
    for (std::uintptr_t s : sites) {
        StackEntry e = modules.ResolveAddress(s, 0, false, true);
        if (e.Kind < 2 || e.Kind > 4) continue;
        if (out.empty() && e.Kind != 4) return {};
        out.push_back(std::move(e));
    }
    return out;
}

struct TBlock {
    LeakSnapshot* Snap = nullptr;
    std::size_t Into = SIZE_MAX;  // the block it was folded or counted into
    std::vector<std::uintptr_t> Sites;
    std::string Type;
    std::uint64_t Total = 0;
    std::uint32_t Count = 1;
    bool Removed = false;
};

void Analyse(LeakSnapshot* blocks, std::size_t count, std::uint8_t flags) {
    std::vector<TBlock> list(count);
    TCallSites sites;
    Step("PurgeCallStacks", [&] {
        for (std::size_t i = 0; i < count; ++i) {
            TBlock& b = list[i];
            b.Snap = &blocks[i];
            b.Total = blocks[i].Size;
            // The raw stack starts with the allocating call; when that is
            // not a call site, the frame chain is tried.
            if (sites.Site(blocks[i].Raw[0]))
                b.Sites = sites.Purge(blocks[i].Raw);
            else if (sites.Site(blocks[i].Frames[0]))
                b.Sites = sites.Purge(blocks[i].Frames);
            if (b.Sites.empty()) b.Removed = true;
        }
    });
    Step("PurgeInvalidLeaks", [&] {
        for (TBlock& b : list) {
            if (b.Removed) continue;
            b.Type = ClassNameOf(b.Snap->FirstWord);
        }
    });
    Step("RemoveLeaksSons", [&] {
        if (!(flags & leak_flags::GroupChildLeaks)) return;
        // A block allocated while an object was being built has, on its
        // stack, the call of the constructor: a call just after the one that
        // allocated the object, in the same function.  Latest blocks first,
        // so that grandchildren reach their grandparent through their parent.
        constexpr std::uintptr_t kCallWindow = 64;
        for (std::size_t i = list.size(); i-- > 0;) {
            TBlock& child = list[i];
            if (child.Removed) continue;
            for (std::size_t j = i; j-- > 0;) {
                TBlock& parent = list[j];
                if (parent.Removed || parent.Snap->Kind != kKindNew) continue;
                const std::uintptr_t at = parent.Sites[0];
                const bool inside =
                    std::any_of(child.Sites.begin() + 1, child.Sites.end(),
                                [&](std::uintptr_t s) { return s > at && s <= at + kCallWindow; });
                if (!inside) continue;
                parent.Total += child.Total;
                child.Removed = true;
                child.Into = j;
                break;
            }
        }
    });
    Step("CountAllLeaks", [&] {
        for (std::size_t i = 0; i < list.size(); ++i) {
            TBlock& b = list[i];
            if (b.Removed) continue;
            for (std::size_t j = i + 1; j < list.size(); ++j) {
                TBlock& o = list[j];
                if (o.Removed || o.Sites[0] != b.Sites[0] || o.Snap->Size != b.Snap->Size ||
                    o.Type != b.Type)
                    continue;
                b.Total += o.Total;
                b.Count += o.Count;
                o.Removed = true;
                o.Into = i;
            }
        }
    });
    Step("HandleAnyLeak", [&] {
        TCrashModuleOptions options;
        TCrashModulesList modules;
        TKnownLeaks known;
        std::vector<std::pair<std::string, std::vector<StackEntry>>> groups;
        std::uint64_t totalSize = 0, totalCount = 0;
        for (TBlock& b : list) {
            if (b.Removed) continue;
            std::vector<StackEntry> entries = Resolve(modules, b.Sites);
            if (entries.empty()) continue;
            if ((flags & leak_flags::IgnoreKnownLeaks) && known.IsKnown(entries)) continue;
            const std::string type = b.Type.empty() ? options.Text(106) : b.Type.substr(0, 64);
            for (StackEntry& e : entries) {
                e.IsLeak = 1;
                e.LeakType = type;
                e.LeakSize = std::uint32_t(b.Total);
                e.LeakCount = b.Count;
            }
            groups.emplace_back("+" + options.Text(105) + ": " + options.Text(107) + "=" + type +
                                    "; " + options.Text(108) + "=" + std::to_string(b.Total) +
                                    "; " + options.Text(109) + "=" + std::to_string(b.Count),
                                std::move(entries));
            totalSize += b.Total;
            totalCount += b.Count;
            b.Snap->Listed = true;
        }
        // What was folded or counted into a listed leak is listed with it.
        for (TBlock& b : list) {
            const TBlock* root = &b;
            while (root->Into != SIZE_MAX)
                root = &list[root->Into];
            if (root->Snap->Listed) b.Snap->Listed = true;
        }
        if (groups.empty()) return;
        WriteText("EMemoryLeak: " + options.Text(105) + ": " + options.Text(108) + "=" +
                  std::to_string(totalSize) + " - " + options.Text(109) + "=" +
                  std::to_string(totalCount) + "\r\n" + Table(options, groups));
    });
}

}  // namespace

void ReportLeaks(LeakSnapshot* blocks, std::size_t count, std::uint8_t flags) {
    try {
        Analyse(blocks, count, flags);
    } catch (const TStepError& e) {
        WriteText(std::string("Error in CrashLeaks \"") + e.Section() + "\" section.\r\n");
    } catch (...) {
        WriteText(std::string("Error in CrashLeaks Finalization.\r\n"));
    }
}

void ReportBadRelease(bool overrun, const BlockHeader& header, std::uintptr_t releaseSite) {
    try {
        TCrashModuleOptions options;
        TCrashModulesList modules;
        TCallSites sites;
        std::vector<std::pair<std::string, std::vector<StackEntry>>> blocks;
        const std::uintptr_t at = sites.Site(releaseSite);
        std::vector<StackEntry> release = Resolve(modules, {at ? at : releaseSite});
        blocks.emplace_back("*" + options.Text(overrun ? 155 : 154), std::move(release));
        if (overrun) {
            std::vector<StackEntry> alloc = Resolve(modules, sites.Purge(header.Raw));
            blocks.emplace_back("+" + options.Text(105) + ": " + options.Text(108) + "=" +
                                    std::to_string(header.Size),
                                std::move(alloc));
        }
        WriteText(std::string(overrun ? "EMemoryOverrun: " : "EMultiFree: ") +
                  options.Text(overrun ? 155 : 154) + "\r\n" + Table(options, blocks));
    } catch (...) {
        WriteText(std::string("Error in CrashLeaks Finalization.\r\n"));
    }
}

}  // namespace crashlog::leaks
