// What the checker's allocator and its exit report share.
#pragma once

#include <cstddef>
#include <cstdint>

#include "crashlog/CrashLeaks.h"

namespace crashlog::leaks {

struct BlockHeader {
    BlockHeader* Prev;
    BlockHeader* Next;
    std::uint64_t Size;
    std::uint8_t State;
    std::uint8_t Kind;
    std::uint16_t Generation;
    std::uint32_t Lead;
    std::uintptr_t Raw[kLeakStackDepth];
    std::uintptr_t Frames[kLeakStackDepth];
    std::uint8_t Pad[12];
    std::uint32_t Magic;
};
static_assert(sizeof(BlockHeader) == kLeakHeaderSize);
static_assert(kLeakHeaderSize % 16 == 0 && kLeakFooterSize % 16 == 0,
              "every user pointer must keep the allocator's 16-byte alignment");

enum : std::uint8_t { kStateAllocated = 0, kStateReleased = 1 };
enum : std::uint8_t { kKindData = 0, kKindNew = 1 };

// What the exit report takes of one live block.
struct LeakSnapshot {
    std::uintptr_t User = 0;
    std::uint64_t Size = 0;
    std::uint8_t Kind = 0;
    std::uintptr_t FirstWord = 0;  // the block's first 8 bytes, 0 when shorter
    std::uintptr_t Raw[kLeakStackDepth];
    std::uintptr_t Frames[kLeakStackDepth];
    // Set by the report: the block belongs to a leak it listed, so it may be
    // released at exit.  The run-time's own blocks (the standard streams'
    // buffers ...) are still used by finalisers that run after the report.
    bool Listed = false;
};

// Writes to standard error without the C library's buffered streams, which
// may be gone at exit.
void WriteError(const char* text, std::size_t size);

// The end of the calling thread's stack (0 when unknown).
std::uintptr_t ThreadStackTop();

// The exit report: stops tracking, reports the blocks still allocated
// through the processing pass and, with FreeLeaksAtExit, releases the
// blocks of the leaks it listed.  Run once, when the crash library is
// unloaded, after every finaliser of the program and before the library's
// own shut-down.  Does nothing when the checker is off.
void ReportAtExit();

// The analysis of the live blocks (at most kMaxLeakBlocks, in allocation
// order) and their report; marks the blocks of the leaks it listed.  Runs
// with tracking already stopped.
void ReportLeaks(LeakSnapshot* blocks, std::size_t count, std::uint8_t flags);

// An overrun or a second release, reported through the processing pass
// where the release happens; the program then goes on.  `header` is a copy
// of the block's header, `releaseSite` the return address of the release.
// The calling thread's allocations are untracked meanwhile, and it holds
// none of the checker's locks.
void ReportBadRelease(bool overrun, const BlockHeader& header, std::uintptr_t releaseSite);

}  // namespace crashlog::leaks
