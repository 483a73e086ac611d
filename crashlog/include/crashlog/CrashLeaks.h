// The memory leak checker.
//
// When the main program's library data sets CatchLeaks in its leak flags,
// the library replaces the process's allocator as soon as it is loaded:
// malloc, calloc, realloc, free, the aligned forms, malloc_usable_size and
// every form of the C++ operators new and delete.  Each block then carries
// a header with its allocation call stack and a footer magic; the live
// blocks form a list.  A release checks the footer (overrun) and whether the
// block was already released.  At exit, after every static destructor and
// exit handler of the program has run (when the crash library is unloaded,
// before its own shut-down), the blocks still allocated are grouped and
// handed to the processing pass as one bug report of class EMemoryLeak:
// shown, logged and sent like any other, its call stack one block per leak
// (the allocating call stack, with the leak's type, total size and count).
// An overrun (EMemoryOverrun) or a second release (EMultiFree) is reported
// through the pass where the release happens, and the program goes on.
// What the crash library allocates for itself (its start-up, every pass) is
// never tracked.
//
// With the checker off (no library data, or CatchLeaks clear) every
// replaced function is one predictable branch in front of the C library's
// own allocator.
//
// Block layout (64-bit; header and footer are multiples of 16 so every
// user pointer keeps the allocator's 16-byte alignment):
//
//   offset  width  field
//        0      8  previous block in the live list
//        8      8  next block in the live list
//       16      8  user size
//       24      1  state: 0 allocated, 1 released
//       25      1  kind: 0 data, 1 allocated by operator new
//       26      2  generation: how many forks deep the allocating process
//                  is (a child's report leaves out what it inherited)
//       28      4  bytes between the allocator's chunk and the header
//                  (non-zero only for alignments above 16)
//       32    280  raw stack: the return address of the allocating call and
//                  the next 34 words of the caller's stack (zero past the
//                  stack's end)
//      312    280  frame stack: up to 35 return addresses from the
//                  frame-pointer chain (zero-filled)
//      592     12  reserved
//      604      4  magic 0x100FAB10
//      608         user bytes (size), then the 16-byte footer whose first
//                  4 bytes hold the magic again
//
// Each block costs 624 bytes more than asked for.  A pointer is taken for
// one of the checker's blocks only when a side table of the checker's own
// (kept in its own mapped memory) lists it: nothing is ever read in front of
// a pointer the checker did not hand out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace crashlog {

namespace leak_flags {
inline constexpr std::uint8_t CatchLeaks = 0x01;
inline constexpr std::uint8_t GroupChildLeaks = 0x02;
inline constexpr std::uint8_t IgnoreKnownLeaks = 0x04;
inline constexpr std::uint8_t FreeLeaksAtExit = 0x08;
inline constexpr std::uint8_t CheckOverrunAndMultiFree = 0x10;
}  // namespace leak_flags

inline constexpr std::size_t kLeakHeaderSize = 608;
inline constexpr std::size_t kLeakFooterSize = 16;
inline constexpr std::size_t kLeakStackDepth = 35;
inline constexpr std::uint32_t kLeakMagic = 0x100FAB10;
// At most this many blocks are analysed at exit.
inline constexpr std::size_t kMaxLeakBlocks = 1025;

// The leak flags (byte 14) and the follow-main byte (15) of a library-data
// container; nothing when the container is not accepted (wrong magic,
// version below 6000, fewer than 16 bytes).
struct TLeakFlagBytes {
    std::uint8_t Flags = 0;
    std::uint8_t FollowMain = 0;
};
bool ReadLeakFlagBytes(std::span<const std::uint8_t> container, TLeakFlagBytes& out);

// The process has one allocator and one copy of this library, so the main
// program's byte 14 decides for the whole process (byte 15 of a module only
// ever points there).  Nothing is installed when the main program carries no
// accepted data.
// The first 16 bytes of the .cldata section of an ELF file; false when the
// file cannot be read or has no such section.
bool ReadLeakFlagHeader(const char* path, std::uint8_t (&out)[16]);

// The flags the checker was started with (0 when it is off).
std::uint8_t LeakCheckerFlags();
// True while blocks are being tracked.
bool LeakCheckerActive();

// While an object of this class lives, the calling thread's allocations are
// not tracked and its releases report nothing: the work the checker's own
// reports start (the processing pass) never recurses into them.  Nests.
class TLeakTrackingPause {
  public:
    TLeakTrackingPause();
    ~TLeakTrackingPause();
    TLeakTrackingPause(const TLeakTrackingPause&) = delete;
    TLeakTrackingPause& operator=(const TLeakTrackingPause&) = delete;

  private:
    bool previous_;
};

}  // namespace crashlog
