// The checker's reports: the leaks left at exit, analysed and grouped, and
// a bad release (overrun or second release) where it happens.  Both become
// bug reports of the processing pass, with the allocating call stacks as
// leak blocks of the report's call stack.
//
// Runs with tracking stopped (or, for a bad release, with the thread marked
// as inside the checker): whatever is allocated here, and by the pass it
// starts, goes to the C library untracked.
#include <cxxabi.h>
#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iterator>
#include <string>
#include <typeinfo>
#include <unordered_map>
#include <vector>

#include "capture/CaptureInternal.h"
#include "crashlog/CrashDebug.h"
#include "crashlog/CrashMain.h"
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
    std::memcpy(&v, static_cast<const void*>(&t), sizeof v);
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

// ---- the report through the processing pass ---------------------------------------

// The main options' customized text `index` (the defaults while the library
// is passive).
std::string Text(int index) {
    if (const TCrashModuleOptions* o = CurrentCrashLogOptions()) return o->Text(index);
    return TCrashModuleOptions().Text(index);
}

std::string ClassOf(const std::exception& e) {
    return capture::DemangledName(&typeid(e));
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

// Marks `entries` as one leak block of the report's call stack: each entry
// carries the block's type, total size and count, the first starts the
// block.
void MarkLeak(std::vector<StackEntry>& entries, const std::string& type, std::uint64_t size,
              std::uint32_t count, std::uint64_t threadId) {
    const std::uint32_t shown = size > UINT32_MAX ? UINT32_MAX : std::uint32_t(size);
    for (StackEntry& e : entries) {
        e.IsLeak = 1;
        e.IsRaisePoint = 0;
        e.LeakType = type.substr(0, 64);
        e.LeakSize = shown;
        e.LeakCount = count;
        e.ThreadId = threadId;
        e.OwnStack = 1;
    }
    if (!entries.empty()) entries.front().IsRaisePoint = 1;
}

// The leak report of the main unit: started once, one call per leak, shown
// once.  A failure in a step drops the leak (or the report) and is recorded
// as the step's internal section.
class TLeakReport {
  public:
    static constexpr const char* kClass = "EMemoryLeak";

    bool Start() {
        try {
            stack_.Items.clear();
            totalSize_ = totalCount_ = 0;
            address_ = 0;
            shared_ = false;
            thread_ = capture::CurrentThreadId();
            return true;
        } catch (const std::exception& e) {
            Fail("Internal_ResetLeaks", e);
            return false;
        }
    }

    // True when the leak is listed: the first of its located entries is a
    // known line and, with `known`, it is no known leak.
    bool Add(const std::string& type, std::uint64_t size, std::uint32_t count,
             const std::vector<std::uintptr_t>& sites, TKnownLeaks* known) {
        try {
            if (sites.empty()) return false;
            std::vector<StackEntry> entries = Resolve(modules_, sites);
            if (entries.empty() || (known && known->IsKnown(entries))) return false;
            MarkLeak(entries, type, size, count, thread_);
            // The report's address is the one every leak starts at, if any.
            if (stack_.Items.empty()) {
                address_ = sites.front();
                shared_ = true;
            } else if (sites.front() != address_) {
                shared_ = false;
            }
            stack_.Items.insert(stack_.Items.end(), std::make_move_iterator(entries.begin()),
                                std::make_move_iterator(entries.end()));
            totalSize_ += size;
            totalCount_ += count;
            return true;
        } catch (const std::exception& e) {
            Fail("Internal_AddLeak", e);
            return false;
        }
    }

    void Show() {
        if (stack_.Items.empty()) return;
        try {
            capture::PresetReport r;
            r.ClassName = kClass;
            r.Ancestors = {kClass, "Exception"};
            r.Message = Text(105) + ": " + Text(108) + "=" + std::to_string(totalSize_) + " - " +
                        Text(109) + "=" + std::to_string(totalCount_);
            r.Address = shared_ ? address_ : 0;
            r.Stack = &stack_;
            r.AtExit = true;
            if (!capture::DispatchPresetReport(r)) {
                // No pass in this process: the short form at least.
                const std::string line = std::string(kClass) + ": " + r.Message + "\r\n";
                WriteError(line.data(), line.size());
            }
        } catch (const std::exception& e) {
            Fail("Internal_ShowLeaks", e);
        }
    }

  private:
    static void Fail(const char* section, const std::exception& e) {
        capture::RecordInternalError(section, ClassOf(e), e.what(), kClass);
    }

    TCrashModulesList modules_;  // the stack's entries point into it
    TCrashStackList stack_;
    std::uint64_t totalSize_ = 0, totalCount_ = 0;
    std::uintptr_t address_ = 0;
    bool shared_ = false;
    std::uint64_t thread_ = 0;
};

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
        TLeakReport report;
        if (!report.Start()) return;
        TKnownLeaks known;
        TKnownLeaks* skip = (flags & leak_flags::IgnoreKnownLeaks) ? &known : nullptr;
        for (TBlock& b : list) {
            if (b.Removed) continue;
            const std::string type = b.Type.empty() ? std::string("Data") : b.Type;
            if (report.Add(type, b.Total, b.Count, b.Sites, skip)) b.Snap->Listed = true;
        }
        // What was folded or counted into a listed leak is listed with it.
        for (TBlock& b : list) {
            const TBlock* root = &b;
            while (root->Into != SIZE_MAX)
                root = &list[root->Into];
            if (root->Snap->Listed) b.Snap->Listed = true;
        }
        report.Show();
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

namespace {

// The stack pointer of the release's caller: just above the slot, at or
// above `from`, that holds the release's return address.  The checker's own
// frames below it are left out of the walk (their stale words would repeat
// the release as a call of its own).
__attribute__((noinline)) std::uintptr_t CallerStack(std::uintptr_t from, std::uintptr_t top,
                                                     std::uintptr_t returnAddress) {
    constexpr std::size_t kSearch = 4096 / sizeof(std::uintptr_t);
    from &= ~std::uintptr_t(sizeof(std::uintptr_t) - 1);
    const auto* word = reinterpret_cast<const std::uintptr_t*>(from);
    for (std::size_t i = 0; i < kSearch && from + (i + 1) * sizeof *word <= top; ++i)
        if (word[i] == returnAddress) return from + (i + 1) * sizeof *word;
    return from;
}

}  // namespace

void ReportBadRelease(bool overrun, const BlockHeader& header, std::uintptr_t releaseSite) {
    const char* cls = overrun ? "EMemoryOverrun" : "EMultiFree";
    try {
        TCrashModulesList modules;
        TCallSites sites;
        // The releasing thread's stack from the release on, as the pass
        // would walk it for an exception raised there.
        TCrashStackList stack;
        TStackWalkParams walk;
        const std::uintptr_t at = sites.Site(releaseSite);
        walk.RaiseAddress = at ? at : releaseSite;
        walk.StackTop = ThreadStackTop();
        walk.StackStart = CallerStack(reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0)),
                                      walk.StackTop, releaseSite);
        walk.ThreadId = capture::CurrentThreadId();
        walk.FollowCalls = true;
        WalkStack(modules, stack, walk);
        if (overrun) {
            // Where the overrun block was allocated.
            std::vector<StackEntry> alloc = Resolve(modules, sites.Purge(header.Raw));
            MarkLeak(alloc, "Data", header.Size, 1, walk.ThreadId);
            stack.Items.insert(stack.Items.end(), std::make_move_iterator(alloc.begin()),
                               std::make_move_iterator(alloc.end()));
        }
        capture::PresetReport r;
        r.ClassName = cls;
        r.Ancestors = {cls, "Exception"};
        r.Message = Text(overrun ? 155 : 154);
        r.Address = walk.RaiseAddress;
        r.Stack = &stack;
        r.IsHandled = true;
        if (!capture::DispatchPresetReport(r)) {
            // No pass can run here (the library's own thread, or a release
            // inside a running dispatch): the short form at least.
            const std::string line = std::string(cls) + ": " + r.Message + "\r\n";
            WriteError(line.data(), line.size());
        }
    } catch (...) {
        WriteText(std::string("Error in CrashLeaks \"") + cls + "\" section.\r\n");
    }
}

}  // namespace crashlog::leaks
