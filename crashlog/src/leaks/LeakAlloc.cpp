// The checker's allocator: the replaced C and C++ allocation functions, the
// block header and footer, the live list under its spin lock, the side table
// that says which pointers are the checker's, start-up and the hand-over to
// the exit report.
//
// Every replaced function starts with one test of gMode.  While it is 0 (the
// checker was never installed) the call goes straight to the C library's
// allocator; nothing else is touched.
#include <dlfcn.h>
#include <elf.h>
#include <errno.h>
#include <fcntl.h>
#include <malloc.h>
#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

#include "crashlog/CrashDebug.h"
#include "leaks/LeakInternal.h"

extern "C" {
// The C library's allocator under its own names: what the replaced functions
// forward to.  They never come back here.
void* __libc_malloc(size_t);
void __libc_free(void*);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);
void* __libc_valloc(size_t);
void* __libc_pvalloc(size_t);
}

namespace crashlog {
namespace leaks {
namespace {

// 0: never installed; 1: tracking; 2: tracking stopped at exit, but blocks
// the checker handed out may still come back.
std::atomic<int> gMode{0};
std::uint8_t gFlags = 0;
// Raised in a forked child: the blocks it inherited are its parent's, which
// the child's exit report leaves out.
std::uint16_t gGeneration = 0;

// The thread is inside the checker (start-up of its stack bounds, a report):
// its own allocations go to the C library untracked, so nothing recurses.
__attribute__((tls_model("initial-exec"))) thread_local bool tInside = false;
__attribute__((tls_model("initial-exec"))) thread_local std::uintptr_t tStackTop = 0;

// ---- the spin lock ---------------------------------------------------------------
//
// One byte, taken by compare-and-swap 0 -> 1.  A busy lock is spun on
// briefly (the holder only links a block), then the thread yields once and
// tries again, then sleeps 10 ms between tries.

std::atomic<std::uint8_t> gLock{0};

bool TryLock() {
    std::uint8_t expected = 0;
    return gLock.compare_exchange_strong(expected, 1, std::memory_order_acquire,
                                         std::memory_order_relaxed);
}

void Lock() {
    for (;;) {
        for (int i = 0; i < 200; ++i) {
            if (gLock.load(std::memory_order_relaxed) == 0 && TryLock()) return;
            __builtin_ia32_pause();
        }
        sched_yield();
        if (TryLock()) return;
        const timespec ten{0, 10 * 1000 * 1000};
        nanosleep(&ten, nullptr);
        if (TryLock()) return;
    }
}

void Unlock() {
    gLock.store(0, std::memory_order_release);
}

struct TLockGuard {
    TLockGuard() { Lock(); }
    ~TLockGuard() { Unlock(); }
};

// ---- the live list and the side table (both under the lock) -----------------------

BlockHeader* gFirst = nullptr;
BlockHeader* gLast = nullptr;
std::size_t gLiveCount = 0;

// Open addressing keyed by the user pointer.  A released block stays as a
// "released" entry so a second release is recognised; the entry turns live
// again when the allocator hands the same address out anew.  Released
// entries are dropped when they crowd the table.
enum : std::uintptr_t { kSlotLive = 1, kSlotReleased = 2, kSlotFreedAtExit = 3 };
struct Slot {
    std::uintptr_t Key;
    std::uintptr_t State;
};
Slot* gSlots = nullptr;
std::size_t gCapacity = 0;  // a power of two
std::size_t gUsed = 0;      // live and released entries
std::size_t gReleased = 0;
constexpr std::size_t kMinCapacity = 1 << 14;
constexpr std::size_t kMaxReleased = 1 << 16;

std::size_t Hash(std::uintptr_t key) {
    return std::size_t((key >> 4) * 0x9E3779B97F4A7C15ull);
}

Slot* MapSlots(std::size_t capacity) {
    void* m = mmap(nullptr, capacity * sizeof(Slot), PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return m == MAP_FAILED ? nullptr : static_cast<Slot*>(m);
}

Slot* Probe(Slot* slots, std::size_t capacity, std::uintptr_t key) {
    const unsigned shift = 64 - unsigned(__builtin_ctzll(capacity));
    std::size_t i = Hash(key) >> shift;
    for (;;) {
        Slot* s = &slots[i];
        if (s->Key == key || s->Key == 0) return s;
        i = (i + 1) & (capacity - 1);
    }
}

Slot* Find(std::uintptr_t key) {
    if (!gSlots) return nullptr;
    Slot* s = Probe(gSlots, gCapacity, key);
    return s->Key == key ? s : nullptr;
}

// Rebuilds into a table sized for the live entries, dropping the released
// ones when there are too many of them.  False when no memory was mapped.
bool Rebuild() {
    const bool dropReleased = gReleased > kMaxReleased;
    const std::size_t keep = dropReleased ? gLiveCount : gUsed;
    std::size_t capacity = kMinCapacity;
    while (capacity < keep * 4)
        capacity *= 2;
    Slot* slots = MapSlots(capacity);
    if (!slots) return false;
    std::size_t used = 0, released = 0;
    for (std::size_t i = 0; i < gCapacity; ++i) {
        const Slot& s = gSlots[i];
        if (s.Key == 0 || (dropReleased && s.State != kSlotLive)) continue;
        *Probe(slots, capacity, s.Key) = s;
        ++used;
        if (s.State != kSlotLive) ++released;
    }
    if (gSlots) munmap(gSlots, gCapacity * sizeof(Slot));
    gSlots = slots;
    gCapacity = capacity;
    gUsed = used;
    gReleased = released;
    return true;
}

// Registers a new live block; false (nothing changed) when the table could
// not grow.
bool AddLive(BlockHeader* h, std::uintptr_t user) {
    if ((gUsed + 1) * 2 > gCapacity && !Rebuild()) return false;
    Slot* s = Probe(gSlots, gCapacity, user);
    if (s->Key == 0) {
        ++gUsed;
    } else if (s->State != kSlotLive) {
        --gReleased;
    }
    s->Key = user;
    s->State = kSlotLive;
    h->Prev = gLast;
    h->Next = nullptr;
    if (gLast)
        gLast->Next = h;
    else
        gFirst = h;
    gLast = h;
    ++gLiveCount;
    return true;
}

void Unlink(BlockHeader* h) {
    if (h->Prev)
        h->Prev->Next = h->Next;
    else
        gFirst = h->Next;
    if (h->Next)
        h->Next->Prev = h->Prev;
    else
        gLast = h->Prev;
    h->Prev = h->Next = nullptr;
    --gLiveCount;
}

BlockHeader* HeaderOf(std::uintptr_t user) {
    return reinterpret_cast<BlockHeader*>(user - kLeakHeaderSize);
}
void* ChunkOf(BlockHeader* h) {
    return reinterpret_cast<char*>(h) - h->Lead;
}

// ---- stack capture ---------------------------------------------------------------

// The end of the mapping that holds the calling thread's stack, read once
// per thread from /proc/self/maps with plain system calls.  (The thread
// functions that would tell it take locks that an allocation may already be
// made under.)
std::uintptr_t FindStackTop() {
    const auto sp = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    const int fd = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    char buf[4096];
    std::size_t have = 0;
    std::uintptr_t top = 0;
    for (;;) {
        const ssize_t n = read(fd, buf + have, sizeof buf - have);
        if (n <= 0) break;
        have += std::size_t(n);
        std::size_t start = 0;
        for (std::size_t i = 0; i < have; ++i) {
            if (buf[i] != '\n') continue;
            // "low-high perms ..."
            std::uintptr_t lo = 0, hi = 0;
            std::size_t k = start;
            auto hex = [&](std::uintptr_t& v) {
                for (; k < i; ++k) {
                    const char c = buf[k];
                    const int d = c >= '0' && c <= '9'   ? c - '0'
                                  : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                                         : -1;
                    if (d < 0) break;
                    v = v * 16 + std::uintptr_t(d);
                }
            };
            hex(lo);
            if (k < i && buf[k] == '-') {
                ++k;
                hex(hi);
                if (sp >= lo && sp < hi) top = hi;
            }
            start = i + 1;
        }
        if (top) break;
        std::memmove(buf, buf + start, have - start);
        have -= start;
        if (have == sizeof buf) have = 0;  // a line longer than the buffer
    }
    close(fd);
    return top;
}

std::uintptr_t StackTop() {
    if (!tStackTop) tStackTop = FindStackTop();
    return tStackTop;
}

// `frame` is the capturing function's frame; `ret` where the program called
// the allocator.
__attribute__((always_inline)) inline void CaptureStacks(BlockHeader* h, void* const* frame,
                                                         std::uintptr_t ret) {
    const std::uintptr_t top = StackTop();
    h->Raw[0] = ret;
    // Above the capturing frame's saved frame pointer and return address.
    const auto* from = reinterpret_cast<const std::uintptr_t*>(frame + 2);
    std::size_t n = kLeakStackDepth - 1;
    const auto start = reinterpret_cast<std::uintptr_t>(from);
    if (!top || start >= top)
        n = 0;
    else if ((top - start) / sizeof(std::uintptr_t) < n)
        n = (top - start) / sizeof(std::uintptr_t);
    std::memcpy(&h->Raw[1], from, n * sizeof(std::uintptr_t));
    std::memset(&h->Raw[1 + n], 0, (kLeakStackDepth - 1 - n) * sizeof(std::uintptr_t));

    // The frame-pointer chain, trusted only while it climbs inside the stack.
    std::size_t k = 0;
    auto fp = reinterpret_cast<std::uintptr_t>(frame);
    while (k < kLeakStackDepth && top && fp % sizeof(void*) == 0 && fp + 16 <= top) {
        const auto* f = reinterpret_cast<const std::uintptr_t*>(fp);
        const std::uintptr_t next = f[0];
        if (f[1] == 0) break;
        h->Frames[k++] = f[1];
        if (next <= fp) break;
        fp = next;
    }
    std::memset(&h->Frames[k], 0, (kLeakStackDepth - k) * sizeof(std::uintptr_t));
}

// ---- allocation and release ------------------------------------------------------

void* Untracked(std::size_t size, std::size_t align) {
    return align > alignof(std::max_align_t) ? __libc_memalign(align, size) : __libc_malloc(size);
}

__attribute__((noinline)) void* Allocate(std::size_t size, std::size_t align, std::uintptr_t ret,
                                         std::uint8_t kind) {
    if (gMode.load(std::memory_order_relaxed) != 1 || tInside) return Untracked(size, align);
    // The header sits right before the user bytes; a wider alignment puts
    // lead bytes in front of it.
    const std::size_t a = align > 16 ? align : 16;
    const std::size_t front = (kLeakHeaderSize + a - 1) / a * a;
    if (size > SIZE_MAX - front - kLeakFooterSize) {
        errno = ENOMEM;
        return nullptr;
    }
    const std::size_t total = front + size + kLeakFooterSize;
    void* chunk = align > 16 ? __libc_memalign(align, total) : __libc_malloc(total);
    if (!chunk) return nullptr;
    auto* h = reinterpret_cast<BlockHeader*>(static_cast<char*>(chunk) + (front - kLeakHeaderSize));
    const auto user = reinterpret_cast<std::uintptr_t>(h) + kLeakHeaderSize;
    h->Size = size;
    h->State = kStateAllocated;
    h->Kind = kind;
    h->Generation = gGeneration;
    h->Lead = std::uint32_t(front - kLeakHeaderSize);
    CaptureStacks(h, static_cast<void* const*>(__builtin_frame_address(0)), ret);
    h->Magic = kLeakMagic;
    std::memcpy(reinterpret_cast<void*>(user + size), &kLeakMagic, sizeof kLeakMagic);
    bool added;
    {
        TLockGuard lock;
        added = AddLive(h, user);
    }
    if (!added) {
        // No room to remember it: the program still gets memory, untracked.
        __libc_free(chunk);
        return Untracked(size, align);
    }
    return reinterpret_cast<void*>(user);
}

// What a release found.
enum class TRelease { NotOurs, Released, Overrun, Twice, Ignored };

// Unlinks the checker's block at `p` (keeping a copy of its header for a
// report) and says what to do with it; `chunk` gets what goes back to the
// C library.
TRelease Take(void* p, BlockHeader& copy, void*& chunk) {
    const auto user = reinterpret_cast<std::uintptr_t>(p);
    TLockGuard lock;
    Slot* s = Find(user);
    if (!s) return TRelease::NotOurs;
    BlockHeader* h = HeaderOf(user);
    if (s->State == kSlotReleased) return TRelease::Twice;
    if (s->State == kSlotFreedAtExit) return TRelease::Ignored;
    std::uint32_t foot;
    std::memcpy(&foot, reinterpret_cast<const void*>(user + h->Size), sizeof foot);
    s->State = kSlotReleased;
    ++gReleased;
    h->State = kStateReleased;
    Unlink(h);
    copy = *h;
    chunk = ChunkOf(h);
    return foot == kLeakMagic ? TRelease::Released : TRelease::Overrun;
}

// Releases `p` through the checker; returns false when `p` is not the
// checker's (the caller then hands it to the C library).
__attribute__((noinline)) void Release(void* p, std::uintptr_t site) {
    if (!p) return;
    BlockHeader copy;
    void* chunk = nullptr;
    const TRelease r = Take(p, copy, chunk);
    const bool check = gFlags & leak_flags::CheckOverrunAndMultiFree;
    switch (r) {
        case TRelease::NotOurs:
            __libc_free(p);
            return;
        case TRelease::Ignored:
            return;
        case TRelease::Twice:
            // Never handed to the C library a second time.
            if (check && !tInside) {
                tInside = true;
                ReportBadRelease(false, BlockHeader{}, site);
                tInside = false;
            }
            return;
        case TRelease::Overrun:
            if (check && !tInside) {
                tInside = true;
                ReportBadRelease(true, copy, site);
                tInside = false;
            }
            break;
        case TRelease::Released:
            break;
    }
    __libc_free(chunk);
}

// The user size of the checker's live block at `p`, or -1 when `p` is not
// the checker's; 0 for a released one.
long long TrackedSize(void* p) {
    const auto user = reinterpret_cast<std::uintptr_t>(p);
    TLockGuard lock;
    Slot* s = Find(user);
    if (!s) return -1;
    return s->State == kSlotLive ? (long long)HeaderOf(user)->Size : 0;
}

__attribute__((noinline)) void* Reallocate(void* p, std::size_t size, std::uintptr_t ret) {
    if (!p) return Allocate(size, 0, ret, kKindData);
    const long long old = TrackedSize(p);
    if (old < 0) {
        // Not the checker's (from before it was installed): the C library
        // keeps it, contents and all.
        return __libc_realloc(p, size);
    }
    if (size == 0) {
        Release(p, ret);
        return nullptr;
    }
    void* q = Allocate(size, 0, ret, kKindData);
    if (!q) return nullptr;
    std::memcpy(q, p, std::size_t(old) < size ? std::size_t(old) : size);
    Release(p, ret);
    return q;
}

// ---- operator new without the checker's header ---------------------------------

[[noreturn]] void ThrowBadAlloc() {
    throw std::bad_alloc();
}

template <class F>
void* NewLoop(F&& attempt, bool nothrow) {
    for (;;) {
        if (void* p = attempt()) return p;
        std::new_handler handler = std::get_new_handler();
        if (!handler) {
            if (nothrow) return nullptr;
            ThrowBadAlloc();
        }
        if (nothrow) {
            try {
                handler();
            } catch (const std::bad_alloc&) {
                return nullptr;
            }
        } else {
            handler();
        }
    }
}

__attribute__((noinline)) void* NewSlow(std::size_t size, std::size_t align, std::uintptr_t ret,
                                        bool nothrow) {
    if (size == 0) size = 1;
    return NewLoop(
        [&] {
            return gMode.load(std::memory_order_relaxed) == 0
                       ? Untracked(size, align)
                       : Allocate(size, align, ret, kKindNew);
        },
        nothrow);
}

// ---- start-up ----------------------------------------------------------------------

using UsableSizeFn = size_t (*)(void*);
std::atomic<UsableSizeFn> gUsableSize{nullptr};

UsableSizeFn RealUsableSize() {
    UsableSizeFn f = gUsableSize.load(std::memory_order_acquire);
    if (!f) {
        f = reinterpret_cast<UsableSizeFn>(dlsym(RTLD_NEXT, "malloc_usable_size"));
        gUsableSize.store(f, std::memory_order_release);
    }
    return f;
}

void AtForkPrepare() {
    Lock();
}
void AtForkParent() {
    Unlock();
}
void AtForkChild() {
    gLock.store(0, std::memory_order_relaxed);
    ++gGeneration;
}

// Runs before the library's own static objects are built.  The exit report
// runs when the library is unloaded (ReportAtExit).
__attribute__((constructor(101))) void Install() {
    RealUsableSize();
    std::uint8_t head[16];
    TLeakFlagBytes bytes;
    if (!ReadLeakFlagHeader("/proc/self/exe", head) || !ReadLeakFlagBytes(head, bytes)) return;
    if (!(bytes.Flags & leak_flags::CatchLeaks)) return;
    // A program that binds the allocator elsewhere first (a sanitizer's, a
    // library loaded with dlopen) would mix blocks of two allocators.
    Dl_info own{};
    if (!dladdr(reinterpret_cast<void*>(&Install), &own)) return;
    for (const char* name : {"malloc", "free", "_Znwm", "_ZdlPv"}) {
        Dl_info bound{};
        void* f = dlsym(RTLD_DEFAULT, name);
        if (!f || !dladdr(f, &bound) || bound.dli_fbase != own.dli_fbase) return;
    }
    {
        TLockGuard lock;
        if (!Rebuild()) return;
    }
    pthread_atfork(AtForkPrepare, AtForkParent, AtForkChild);
    // The lazily built tables that resolving an address uses (the library's
    // own units, the instruction decoder's) are built now, while the library
    // loads: their destructors then run after the exit report.  Built while
    // the program runs, they would be destroyed with the program's static
    // objects, before it.
    IsOwnUnit("");
    MeasureCodeSize(reinterpret_cast<std::uintptr_t>(&AtForkParent));
    gFlags = bytes.Flags;
    gMode.store(1, std::memory_order_release);
}

}  // namespace

std::uintptr_t ThreadStackTop() {
    return StackTop();
}

void ReportAtExit() {
    if (gMode.load() != 1) return;
    tInside = true;
    gMode.store(2);
    // A copy of what the report needs, so the lock is not held while the
    // report allocates and resolves.
    std::size_t count = 0;
    LeakSnapshot* snap = nullptr;
    std::size_t mapped = 0;
    {
        TLockGuard lock;
        std::size_t n = gLiveCount < kMaxLeakBlocks ? gLiveCount : kMaxLeakBlocks;
        mapped = (n ? n : 1) * sizeof(LeakSnapshot);
        void* m = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (m != MAP_FAILED) {
            snap = static_cast<LeakSnapshot*>(m);
            for (BlockHeader* h = gFirst; h && count < n; h = h->Next) {
                if (h->Generation != gGeneration) continue;
                LeakSnapshot& s = snap[count++];
                s.User = reinterpret_cast<std::uintptr_t>(h) + kLeakHeaderSize;
                s.Size = h->Size;
                s.Kind = h->Kind;
                if (h->Size >= sizeof(std::uintptr_t))
                    std::memcpy(&s.FirstWord, reinterpret_cast<const void*>(s.User),
                                sizeof s.FirstWord);
                std::memcpy(s.Raw, h->Raw, sizeof s.Raw);
                std::memcpy(s.Frames, h->Frames, sizeof s.Frames);
            }
        }
    }
    if (snap && count) ReportLeaks(snap, count, gFlags);
    if (snap && (gFlags & leak_flags::FreeLeaksAtExit)) {
        // Only the blocks of the listed leaks: no later finaliser of the
        // program uses them any more, whereas the run-time's own blocks are
        // still used (the standard streams are flushed after this).
        TLockGuard lock;
        for (std::size_t i = 0; i < count; ++i) {
            Slot* s = snap[i].Listed ? Find(snap[i].User) : nullptr;
            if (!s || s->State != kSlotLive) continue;  // released meanwhile
            // A late release of a block freed here is not a second release.
            s->State = kSlotFreedAtExit;
            BlockHeader* h = HeaderOf(snap[i].User);
            Unlink(h);
            __libc_free(ChunkOf(h));
        }
    }
    if (snap) munmap(snap, mapped);
    tInside = false;
}

}  // namespace leaks

TLeakTrackingPause::TLeakTrackingPause() : previous_(leaks::tInside) {
    leaks::tInside = true;
}
TLeakTrackingPause::~TLeakTrackingPause() {
    leaks::tInside = previous_;
}

uint8_t LeakCheckerFlags() {
    return leaks::gMode.load() ? leaks::gFlags : 0;
}
bool LeakCheckerActive() {
    return leaks::gMode.load() == 1;
}

bool ReadLeakFlagBytes(std::span<const std::uint8_t> c, TLeakFlagBytes& out) {
    if (c.size() < 16) return false;
    const std::uint32_t magic = std::uint32_t(c[0]) | std::uint32_t(c[1]) << 8 |
                                std::uint32_t(c[2]) << 16 | std::uint32_t(c[3]) << 24;
    if (magic != kLeakMagic && magic != 0x000FAB10) return false;
    std::uint32_t version = std::uint32_t(c[4]) | std::uint32_t(c[5]) << 8;
    if (version >= 600 && version <= 602) version *= 10;
    if (version < 6000) return false;
    out.Flags = c[14];
    out.FollowMain = c[15];
    return true;
}

// Reads the section with plain system calls: this runs before the program's
// allocator is settled.
bool ReadLeakFlagHeader(const char* path, std::uint8_t (&out)[16]) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = false;
    struct stat st;
    if (fstat(fd, &st) == 0 && st.st_size >= off_t(sizeof(Elf64_Ehdr))) {
        const auto size = std::size_t(st.st_size);
        void* m = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
        if (m != MAP_FAILED) {
            const auto* base = static_cast<const std::uint8_t*>(m);
            Elf64_Ehdr eh;
            std::memcpy(&eh, base, sizeof eh);
            const bool elf = std::memcmp(eh.e_ident, ELFMAG, SELFMAG) == 0 &&
                             eh.e_ident[EI_CLASS] == ELFCLASS64 &&
                             eh.e_shentsize == sizeof(Elf64_Shdr) && eh.e_shoff < size &&
                             eh.e_shnum <= (size - eh.e_shoff) / sizeof(Elf64_Shdr) &&
                             eh.e_shstrndx < eh.e_shnum;
            if (elf) {
                auto section = [&](std::size_t i) {
                    Elf64_Shdr sh;
                    std::memcpy(&sh, base + eh.e_shoff + i * sizeof sh, sizeof sh);
                    return sh;
                };
                const Elf64_Shdr names = section(eh.e_shstrndx);
                const char wanted[] = ".cldata";
                for (std::size_t i = 0; i < eh.e_shnum && !ok; ++i) {
                    const Elf64_Shdr sh = section(i);
                    if (sh.sh_type == SHT_NOBITS || sh.sh_size < 16 || sh.sh_offset > size ||
                        size - sh.sh_offset < 16 || names.sh_offset > size ||
                        sh.sh_name >= size - names.sh_offset ||
                        size - names.sh_offset - sh.sh_name < sizeof wanted)
                        continue;
                    if (std::memcmp(base + names.sh_offset + sh.sh_name, wanted, sizeof wanted) ==
                        0) {
                        std::memcpy(out, base + sh.sh_offset, 16);
                        ok = true;
                    }
                }
            }
            munmap(m, size);
        }
    }
    close(fd);
    return ok;
}

}  // namespace crashlog

// ---- the replaced functions ----------------------------------------------------------

using crashlog::leaks::gMode;
namespace lk = crashlog::leaks;

#define LEAKS_OFF __builtin_expect(gMode.load(std::memory_order_relaxed) == 0, 1)
#define LEAKS_RET reinterpret_cast<std::uintptr_t>(__builtin_return_address(0))

extern "C" {

void* malloc(size_t size) noexcept {
    if (LEAKS_OFF) return __libc_malloc(size);
    return lk::Allocate(size, 0, LEAKS_RET, lk::kKindData);
}

void free(void* p) noexcept {
    if (LEAKS_OFF) return __libc_free(p);
    lk::Release(p, LEAKS_RET);
}

void* calloc(size_t n, size_t size) noexcept {
    if (LEAKS_OFF) return __libc_calloc(n, size);
    size_t total;
    if (__builtin_mul_overflow(n, size, &total)) {
        errno = ENOMEM;
        return nullptr;
    }
    void* p = lk::Allocate(total, 0, LEAKS_RET, lk::kKindData);
    if (p) std::memset(p, 0, total);
    return p;
}

void* realloc(void* p, size_t size) noexcept {
    if (LEAKS_OFF) return __libc_realloc(p, size);
    return lk::Reallocate(p, size, LEAKS_RET);
}

void* reallocarray(void* p, size_t n, size_t size) noexcept {
    size_t total;
    if (__builtin_mul_overflow(n, size, &total)) {
        errno = ENOMEM;
        return nullptr;
    }
    if (LEAKS_OFF) return __libc_realloc(p, total);
    return lk::Reallocate(p, total, LEAKS_RET);
}

void* memalign(size_t align, size_t size) noexcept {
    if (LEAKS_OFF) return __libc_memalign(align, size);
    if (align & (align - 1)) {
        // The C library rounds such an alignment up to a power of two.
        size_t a = 1;
        while (a < align)
            a <<= 1;
        align = a;
    }
    return lk::Allocate(size, align, LEAKS_RET, lk::kKindData);
}

void* aligned_alloc(size_t align, size_t size) noexcept {
    if (LEAKS_OFF) return __libc_memalign(align, size);
    if (align == 0 || (align & (align - 1))) {
        errno = EINVAL;
        return nullptr;
    }
    return lk::Allocate(size, align, LEAKS_RET, lk::kKindData);
}

int posix_memalign(void** out, size_t align, size_t size) noexcept {
    if (align % sizeof(void*) != 0 || (align & (align - 1)) || align == 0) return EINVAL;
    const int saved = errno;
    void* p = LEAKS_OFF ? __libc_memalign(align, size)
                        : lk::Allocate(size, align, LEAKS_RET, lk::kKindData);
    errno = saved;
    if (!p) return ENOMEM;
    *out = p;
    return 0;
}

void* valloc(size_t size) noexcept {
    if (LEAKS_OFF) return __libc_valloc(size);
    return lk::Allocate(size, size_t(getpagesize()), LEAKS_RET, lk::kKindData);
}

void* pvalloc(size_t size) noexcept {
    if (LEAKS_OFF) return __libc_pvalloc(size);
    const size_t page = size_t(getpagesize());
    const size_t rounded = size ? (size + page - 1) & ~(page - 1) : page;
    if (rounded < size) {
        errno = ENOMEM;
        return nullptr;
    }
    return lk::Allocate(rounded, page, LEAKS_RET, lk::kKindData);
}

size_t malloc_usable_size(void* p) noexcept {
    if (LEAKS_OFF || !p) {
        auto f = lk::RealUsableSize();
        return f && p ? f(p) : 0;
    }
    const long long n = lk::TrackedSize(p);
    if (n >= 0) return size_t(n);
    auto f = lk::RealUsableSize();
    return f ? f(p) : 0;
}

}  // extern "C"

// The C++ operators.  With the checker off they are the usual loop around the
// C library's allocator (new_handler, bad_alloc); the releases go where free
// goes.
#define LEAKS_NEW(align, nothrow)                                          \
    {                                                                      \
        if (LEAKS_OFF) {                                                   \
            if (void* p = lk::Untracked(size ? size : 1, align)) return p; \
        }                                                                  \
        return lk::NewSlow(size, align, LEAKS_RET, nothrow);               \
    }
#define LEAKS_DELETE                          \
    {                                         \
        if (LEAKS_OFF) return __libc_free(p); \
        lk::Release(p, LEAKS_RET);            \
    }

void* operator new(size_t size) LEAKS_NEW(0, false) void* operator new[](size_t size)
    LEAKS_NEW(0, false) void*
    operator new(size_t size, const std::nothrow_t&) noexcept LEAKS_NEW(0, true) void*
    operator new[](size_t size, const std::nothrow_t&) noexcept LEAKS_NEW(0, true) void*
    operator new(size_t size, std::align_val_t a) LEAKS_NEW(size_t(a), false) void*
    operator new[](size_t size, std::align_val_t a) LEAKS_NEW(size_t(a), false) void*
    operator new(size_t size, std::align_val_t a, const std::nothrow_t&) noexcept
    LEAKS_NEW(size_t(a), true) void*
    operator new[](size_t size, std::align_val_t a, const std::nothrow_t&) noexcept
    LEAKS_NEW(size_t(a), true)

        void
        operator delete(void* p) noexcept LEAKS_DELETE void
        operator delete[](void* p) noexcept LEAKS_DELETE void
        operator delete(void* p, size_t) noexcept LEAKS_DELETE void
        operator delete[](void* p, size_t) noexcept LEAKS_DELETE void
        operator delete(void* p, const std::nothrow_t&) noexcept LEAKS_DELETE void
        operator delete[](void* p, const std::nothrow_t&) noexcept LEAKS_DELETE void
        operator delete(void* p, std::align_val_t) noexcept LEAKS_DELETE void
        operator delete[](void* p, std::align_val_t) noexcept LEAKS_DELETE void
        operator delete(void* p, size_t, std::align_val_t) noexcept LEAKS_DELETE void
        operator delete[](void* p, size_t, std::align_val_t) noexcept LEAKS_DELETE void
        operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept LEAKS_DELETE void
        operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept LEAKS_DELETE
