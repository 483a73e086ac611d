#include <algorithm>
#include <cstring>

#include "crashlog/CrashDebug.h"

namespace crashlog {

namespace {

bool IsRex(uint8_t b) {
    return (b & 0xF0) == 0x40;
}

// Follows a procedure-linkage stub ("jmp [rip+disp32]", possibly behind an
// indirect-branch landing pad and a bound prefix) to the address it jumps to.
uintptr_t FollowStub(uintptr_t target) {
    uint8_t c[16];
    if (!ReadMemory(target, c, sizeof c)) return target;
    size_t i = 0;
    if (c[0] == 0xF3 && c[1] == 0x0F && c[2] == 0x1E && c[3] == 0xFA) i = 4;
    if (c[i] == 0xF2) ++i;
    if (c[i] != 0xFF || c[i + 1] != 0x25) return target;
    int32_t disp;
    std::memcpy(&disp, &c[i + 2], 4);
    uintptr_t slot = target + i + 6 + intptr_t(disp);
    uintptr_t dest;
    if (!ReadMemory(slot, &dest, sizeof dest) || dest == 0) return target;
    return dest;
}

bool SameProcedure(const StackEntry& a, const StackEntry& b) {
    return a.Module == b.Module && a.UnitName == b.UnitName && a.ClassName == b.ClassName &&
           a.ProcName == b.ProcName;
}

}  // namespace

uintptr_t FindCallBefore(uintptr_t r, uintptr_t* target) {
    if (target) *target = 0;
    if (r < 16) return 0;
    // b[k] is the byte at r - k; the eighth byte only matters for a prefix.
    uint8_t raw[8] = {};
    bool eight = ReadMemory(r - 8, raw, 8);
    if (!eight && !ReadMemory(r - 7, raw + 1, 7)) return 0;
    auto b = [&](int k) -> uint8_t { return raw[8 - k]; };
    auto rex = [&](int k) { return k <= 7 || eight ? IsRex(b(k)) : false; };
    auto site = [&](int k) -> uintptr_t {
        return rex(k + 1) ? r - uintptr_t(k) - 1 : r - uintptr_t(k);
    };
    auto i32 = [&](int k) {
        int32_t v;
        uint8_t t[4] = {b(k), b(k - 1), b(k - 2), b(k - 3)};
        std::memcpy(&v, t, 4);
        return v;
    };

    if (b(5) == 0xE8) {
        uintptr_t t = r + intptr_t(i32(4));
        if (IsReadableMemory(t, 1)) {
            if (target) *target = t;
            return r - 5;
        }
    }
    if (b(2) == 0xFF && b(1) >= 0xD0 && b(1) <= 0xD7) return site(2);
    if (b(2) == 0xFF && ((b(1) >= 0x10 && b(1) <= 0x13) || b(1) == 0x16 || b(1) == 0x17))
        return site(2);
    if (b(3) == 0xFF && b(2) >= 0x50 && b(2) <= 0x57 && b(2) != 0x54) {
        // Only after a load of the object pointer, to keep stray data out.
        int s = rex(4) ? 4 : 3;
        if (b(s + 2) == 0x8B || b(s + 3) == 0x8B) return site(3);
    }
    if (b(6) == 0xFF && b(5) >= 0x90 && b(5) <= 0x97 && b(5) != 0x94) {
        int32_t d = i32(4);
        if (d > -0x4000 && d < 0x4000) return site(6);
    }
    if (b(3) == 0xFF && b(2) == 0x14 && b(1) == 0x24) return site(3);
    if (b(4) == 0xFF && b(3) == 0x54 && b(2) == 0x24) return site(4);
    if (b(7) == 0xFF && b(6) == 0x94 && b(5) == 0x24) return site(7);
    if (b(6) == 0xFF && b(5) == 0x15) {
        // 64-bit code addresses the pointer relative to the next instruction.
        uintptr_t slot = r + intptr_t(i32(4));
        if (IsReadableMemory(slot, sizeof(uintptr_t))) return site(6);
    }
    return 0;
}

void CleanUpStack(TCrashStackList& list, size_t first) {
    auto& v = list.Items;
    auto named = [](const StackEntry& e) { return e.Kind >= 2 && e.Kind <= 4; };
    // (a) the same call found twice close together keeps its later copy.
    if (v.size() >= first + 2) {
        for (size_t i = v.size() - 1; i-- > first;) {
            if (!named(v[i])) continue;
            int seen = 0;
            for (size_t j = i + 1; j < v.size() && seen < 2; ++j) {
                if (!named(v[j]) || v[j].Module != v[i].Module) continue;
                ++seen;
                if (v[j].Address == v[i].Address) {
                    v[i].Kind = 0;
                    break;
                }
            }
        }
    }
    // (b) a procedure's first line (a followed call target) makes the stale
    // entries between it and that procedure's real frame go.
    for (size_t i = v.size(); i-- > first;) {
        const StackEntry& e = v[i];
        if (e.Kind != 4 || e.ProcLine != 0) continue;
        size_t j = i;
        bool stopped = false;
        while (j-- > first) {
            const StackEntry& p = v[j];
            if (p.ThreadId != e.ThreadId || p.OwnStack != e.OwnStack) {
                stopped = true;
                break;
            }
            if (p.Kind == 0) continue;
            bool firstLine = p.Kind == 4 && p.ProcLine == 0;
            if (SameProcedure(p, e) && !firstLine) {
                stopped = true;
                break;
            }
        }
        if (stopped)
            for (size_t k = j + 1; k < i; ++k)
                v[k].Kind = 0;
    }
}

void WalkStack(TCrashModulesList& modules, TCrashStackList& list, const TStackWalkParams& p) {
    const size_t first = list.Items.size();
    int found = 0;
    auto add = [&](uintptr_t address, bool raise) {
        StackEntry e;
        if (p.Resolve) {
            e = modules.ResolveAddress(address, p.ThreadId, raise, p.OwnStack);
        } else {
            e.Address = address;
            e.ThreadId = p.ThreadId;
            e.IsRaisePoint = raise;
            e.OwnStack = p.OwnStack;
            e.Module = modules.FindByAddress(address);
            e.Kind = e.Module ? 1 : 0;
        }
        if (!(p.KindsMask & (1u << e.Kind))) return;
        int index = found++;
        if (p.FirstIndex >= 0 &&
            (index < p.FirstIndex || (p.MaxCount >= 0 && index >= p.FirstIndex + p.MaxCount)))
            return;
        if (list.Items.size() > kMaxStackEntries) return;
        list.Items.push_back(std::move(e));
    };

    if (p.RaiseAddress) add(p.RaiseAddress, true);
    uintptr_t start = (p.StackStart + 7) & ~uintptr_t(7);
    uintptr_t top = p.StackTop;
    if (top > start && top - start > kMaxStackScanBytes) top = start + kMaxStackScanBytes;

    constexpr size_t kChunk = 400;
    uintptr_t words[kChunk / 8];
    for (uintptr_t chunk = start; chunk < top && list.Items.size() <= kMaxStackEntries;
         chunk += kChunk) {
        size_t n = std::min<uintptr_t>(kChunk, top - chunk) / 8;
        if (!ReadMemory(chunk, words, n * 8)) {
            // Look word by word for the readable part of the chunk.
            for (size_t i = 0; i < n; ++i)
                if (!ReadMemory(chunk + i * 8, &words[i], 8)) words[i] = 0;
        }
        for (size_t i = 0; i < n && list.Items.size() <= kMaxStackEntries; ++i) {
            uintptr_t r = words[i];
            if (r < 0x10000) continue;
            uintptr_t target = 0;
            uintptr_t call = FindCallBefore(r, &target);
            if (!call) continue;
            if (p.FollowCalls && target) {
                target = FollowStub(target);
                uint8_t head[5];
                if (ReadMemory(target, head, 5) && head[0] != 0xE8) add(target, false);
            }
            add(call, false);
        }
    }
    CleanUpStack(list, first);
}

}  // namespace crashlog
