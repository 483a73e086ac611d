#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/mman.h>

#include <cstring>

#include "crashlog/CrashDebug.h"

namespace crashlog {
namespace {

uintptr_t StackTop() {
    pthread_attr_t attr;
    pthread_getattr_np(pthread_self(), &attr);
    void* addr;
    size_t size;
    pthread_attr_getstack(&attr, &addr, &size);
    pthread_attr_destroy(&attr);
    return reinterpret_cast<uintptr_t>(addr) + size;
}

TStackWalkParams gParams;
TCrashModulesList* gModules;
TCrashStackList* gList;

extern "C" __attribute__((noinline)) int WalkC(int x) {
    gParams.StackStart = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    gParams.StackTop = StackTop();
    WalkStack(*gModules, *gList, gParams);
    asm volatile("" : "+r"(x));
    return x + 1;
}
extern "C" __attribute__((noinline)) int WalkB(int x) {
    int r = WalkC(x + 1);
    asm volatile("" : "+r"(r));
    return r + 2;
}
extern "C" __attribute__((noinline)) int WalkA(int x) {
    int r = WalkB(x + 1);
    asm volatile("" : "+r"(r));
    return r + 3;
}

int IndexOf(const TCrashStackList& l, const char* proc) {
    for (size_t i = 0; i < l.Items.size(); ++i)
        if (l.Items[i].Kind >= 2 && l.Items[i].ProcName == proc) return int(i);
    return -1;
}

TEST(StackWalk, FindsAKnownCallChainInOrder) {
    TCrashModulesList modules;
    TCrashStackList list;
    gModules = &modules;
    gList = &list;
    gParams = {};
    gParams.RaiseAddress = reinterpret_cast<uintptr_t>(&WalkC) + 1;
    gParams.ThreadId = 42;
    WalkA(1);
    ASSERT_GE(list.Count(), 3u);
    EXPECT_EQ(list.Items[0].IsRaisePoint, 1);
    EXPECT_EQ(list.Items[0].ProcName, "WalkC");
    int b = IndexOf(list, "WalkB"), a = IndexOf(list, "WalkA");
    ASSERT_GT(b, 0);
    ASSERT_GT(a, b);
    EXPECT_EQ(list.Items[size_t(b)].UnitName, "StackWalkTest.cpp");
    EXPECT_GT(list.Items[size_t(b)].Line, 0u);
    EXPECT_EQ(list.Items[size_t(b)].ThreadId, 42u);
    for (size_t i = 1; i < list.Items.size(); ++i)
        EXPECT_EQ(list.Items[i].IsRaisePoint, 0);

    // Following calls records the callee's start before the call site.
    TCrashStackList followed;
    gList = &followed;
    gParams.RaiseAddress = 0;
    gParams.FollowCalls = true;
    WalkA(1);
    auto start = reinterpret_cast<uintptr_t>(&WalkC);
    EXPECT_TRUE(std::any_of(followed.Items.begin(), followed.Items.end(),
                            [&](const StackEntry& e) { return e.Address == start; }));
}

// A readable page with code bytes placed just before a chosen return address.
struct CodePage {
    uint8_t* page;
    uintptr_t r;
    CodePage() {
        page = static_cast<uint8_t*>(
            mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        r = reinterpret_cast<uintptr_t>(page) + 2048;
    }
    ~CodePage() { munmap(page, 4096); }
};

TEST(StackWalk, CallFormsBeforeAReturnAddress) {
    CodePage c;
    struct Case {
        const char* what;
        std::vector<int> bytes;
        int site;  // r - site, or 0 for none
    } cases[] = {
        {"direct call into the page", {0xE8, 0x00, 0xFC, 0xFF, 0xFF}, 5},
        {"direct call to nowhere", {0xE8, 0x00, 0x00, 0x00, 0x80}, 0},
        {"register", {0xFF, 0xD3}, 2},
        {"extended register", {0x41, 0xFF, 0xD3}, 3},
        {"memory at register", {0xFF, 0x13}, 2},
        {"through rsp is not [reg]", {0xFF, 0x14}, 0},
        {"disp8 after a load", {0x48, 0x8B, 0x07, 0xFF, 0x50, 0x18}, 3},
        {"disp8 without a load", {0x90, 0x90, 0x90, 0xFF, 0x50, 0x18}, 0},
        {"disp32 small", {0xFF, 0x90, 0x00, 0x01, 0x00, 0x00}, 6},
        {"disp32 too large", {0xFF, 0x90, 0x00, 0x50, 0x00, 0x00}, 0},
        {"stack", {0xFF, 0x14, 0x24}, 3},
        {"stack disp8", {0xFF, 0x54, 0x24, 0x08}, 4},
        {"stack disp32", {0xFF, 0x94, 0x24, 0x10, 0x00, 0x00, 0x00}, 7},
        {"rip-relative pointer in the page", {0xFF, 0x15, 0x00, 0xFC, 0xFF, 0xFF}, 6},
        {"rip-relative pointer to nowhere", {0xFF, 0x15, 0x00, 0x00, 0x00, 0x80}, 0},
        {"no call", {0x90, 0x90, 0xC3}, 0},
    };
    for (const auto& k : cases) {
        std::memset(c.page, 0x90, 4096);
        uint8_t* p = c.page + 2048 - k.bytes.size();
        for (int b : k.bytes)
            *p++ = uint8_t(b);
        uintptr_t target = 0;
        uintptr_t site = FindCallBefore(c.r, &target);
        EXPECT_EQ(site, k.site ? c.r - uintptr_t(k.site) : 0) << k.what;
        if (k.bytes[0] == 0xE8 && k.site) {
            EXPECT_EQ(target, c.r - 0x400) << k.what;
        }
    }
    // Unreadable bytes before the address: no call, no fault.
    EXPECT_EQ(FindCallBefore(0x1000, nullptr), 0u);
}

__attribute__((noinline)) uintptr_t ReturnAddress() {
    uintptr_t r = reinterpret_cast<uintptr_t>(__builtin_return_address(0));
    asm volatile("" : "+r"(r));
    return r;
}

TEST(StackWalk, ScanAndEntryLimits) {
    uintptr_t ret = ReturnAddress();
    ASSERT_NE(FindCallBefore(ret, nullptr), 0u);
    TCrashModulesList modules;
    std::vector<uintptr_t> stack(200 * 1024 / 8, 0);
    auto base = reinterpret_cast<uintptr_t>(stack.data());
    TStackWalkParams p;
    p.Resolve = false;
    p.StackStart = base;
    p.StackTop = base + stack.size() * 8;
    stack[10] = ret;
    stack[150 * 1024 / 8] = ret;  // beyond the first 100 KB
    TCrashStackList list;
    WalkStack(modules, list, p);
    ASSERT_EQ(list.Count(), 1u);
    EXPECT_EQ(list.Items[0].Kind, 1);
    EXPECT_EQ(list.Items[0].Address, FindCallBefore(ret, nullptr));

    std::fill(stack.begin(), stack.begin() + 2000, ret);
    list.Items.clear();
    WalkStack(modules, list, p);
    EXPECT_EQ(list.Count(), kMaxStackEntries + 1);

    list.Items.clear();
    p.FirstIndex = 2;
    p.MaxCount = 3;
    WalkStack(modules, list, p);
    EXPECT_EQ(list.Count(), 3u);

    list.Items.clear();
    p.FirstIndex = -1;
    p.KindsMask = 1u << 4;  // nothing here resolves that far
    WalkStack(modules, list, p);
    EXPECT_EQ(list.Count(), 0u);
}

TEST(Exports, CodeSizeIsMeasuredUpToTheFirstReturn) {
    CodePage c;
    uint8_t code[] = {0x48, 0x89, 0xF8,  // mov rax, rdi
                      0x48, 0x01, 0xF0,  // add rax, rsi
                      0xC3,              // ret
                      0xCC, 0xCC};
    std::memcpy(c.page, code, sizeof code);
    EXPECT_EQ(MeasureCodeSize(reinterpret_cast<uintptr_t>(c.page)), 7u);
    // Code running into unreadable memory stops there.
    auto* two = static_cast<uint8_t*>(
        mmap(nullptr, 8192, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(two, MAP_FAILED);
    std::memset(two, 0x90, 4096);
    mprotect(two + 4096, 4096, PROT_NONE);
    EXPECT_EQ(MeasureCodeSize(reinterpret_cast<uintptr_t>(two) + 4090), 6u);
    munmap(two, 8192);
}

TEST(StackWalk, UnreadableStretchesAreSkipped) {
    uintptr_t ret = ReturnAddress();
    auto* mem = static_cast<uint8_t*>(
        mmap(nullptr, 3 * 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(mem, MAP_FAILED);
    std::memcpy(mem + 4096 - 8, &ret, 8);       // last word before the hole
    std::memcpy(mem + 2 * 4096 + 16, &ret, 8);  // after it
    mprotect(mem + 4096, 4096, PROT_NONE);
    TCrashModulesList modules;
    TCrashStackList list;
    TStackWalkParams p;
    p.Resolve = false;
    // Start off the chunk grid so that a chunk straddles the hole.
    p.StackStart = reinterpret_cast<uintptr_t>(mem) + 8;
    p.StackTop = reinterpret_cast<uintptr_t>(mem) + 3 * 4096;
    WalkStack(modules, list, p);
    EXPECT_EQ(list.Count(), 2u);
    munmap(mem, 3 * 4096);
}

StackEntry E(uint8_t kind, uintptr_t address, const char* proc, int procLine, uint64_t thread = 1) {
    StackEntry e;
    e.Kind = kind;
    e.Address = address;
    e.ProcName = proc;
    e.ProcLine = procLine;
    e.ThreadId = thread;
    return e;
}

std::string Kinds(const TCrashStackList& l) {
    std::string s;
    for (const auto& e : l.Items)
        s += char('0' + e.Kind);
    return s;
}

TEST(StackWalk, CleanUpPasses) {
    struct Case {
        const char* what;
        std::vector<StackEntry> in;
        const char* kinds;
    } cases[] = {
        {"a call seen twice keeps the later copy",
         {E(4, 0x10, "F", 2), E(4, 0x20, "G", 3), E(4, 0x10, "F", 2)},
         "044"},
        {"three apart is too far",
         {E(4, 0x10, "F", 2), E(4, 0x20, "G", 3), E(4, 0x30, "H", 3), E(4, 0x10, "F", 2)},
         "4444"},
        {"module-only entries are left alone", {E(1, 0x10, "", 0), E(1, 0x10, "", 0)}, "11"},
        {"stale entries between a frame and its first line go",
         {E(4, 0x10, "F", 5), E(4, 0x20, "X", 3), E(2, 0x30, "Y", 0), E(4, 0x40, "F", 0),
          E(4, 0x50, "G", 7)},
         "40044"},
        {"another thread ends the search there",
         {E(4, 0x10, "F", 5), E(4, 0x20, "X", 3, 2), E(4, 0x30, "Y", 3), E(4, 0x40, "F", 0)},
         "4404"},
        {"no frame of the procedure: nothing goes",
         {E(4, 0x20, "X", 3), E(4, 0x30, "Y", 3), E(4, 0x40, "F", 0)},
         "444"},
    };
    for (const auto& c : cases) {
        TCrashStackList l;
        l.Items = c.in;
        CleanUpStack(l, 0);
        EXPECT_EQ(Kinds(l), c.kinds) << c.what;
    }
}

}  // namespace
}  // namespace crashlog
