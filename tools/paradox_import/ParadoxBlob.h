// The memo/BLOB file (.MB) of a Paradox table, read without pxlib.
//
// Layout (all numbers little-endian).  The file is a sequence of 4096-byte
// blocks; block 0 is the header.  Each other block starts with its type:
//   2  a single blob:  type(1) block count(2) blob length(4) modification(2),
//                      then the blob's bytes, running on over `count` blocks;
//   3  suballocated:   type(1) and 11 more header bytes, then 64 slots of
//                      5 bytes each: data offset / 16 (1), data length in
//                      16-byte units (1), modification(2), length mod 16 (1);
//                      a slot whose offset byte is 0 is unused;
//   4  free.
// The last block of a file may be cut short after its data.
//
// A memo or BLOB field of length L in a record holds the blob's first L-10
// bytes (the leader), then 10 bytes: file offset(4), length(4),
// modification(2).  The offset's low byte is the slot: 0xFF for a single
// blob block, else a slot of a suballocated block; the other bits give the
// block's file offset.  An offset of 0 means the whole blob is the leader.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

namespace kvo::paradox {

inline constexpr std::size_t kBlobBlockSize = 4096;
inline constexpr std::size_t kBlobPointerSize = 10;  // offset, length, modification
inline constexpr int kBlobSingleSlot = 0xFF;
inline constexpr int kBlobSlotsPerBlock = 64;
inline constexpr std::size_t kBlobSlotTable = 12;  // offset of the slots in a suballocated block
inline constexpr std::size_t kBlobSingleHeader = 9;

class TBlobFile {
  public:
    // An absent file is fine until a record points into it.
    explicit TBlobFile(std::filesystem::path file);
    ~TBlobFile();
    TBlobFile(const TBlobFile&) = delete;
    TBlobFile& operator=(const TBlobFile&) = delete;

    // Reads the blob that a field's last 10 bytes point at.  False, with
    // `problem` set, when the pointer does not lead to a blob of that length.
    bool Read(std::uint32_t offset, std::uint32_t length, std::string& data, std::string& problem);

  private:
    bool ReadAt(std::uint64_t position, std::size_t size, void* into);

    std::filesystem::path path_;
    std::FILE* file_ = nullptr;
    std::uint64_t size_ = 0;
    bool opened_ = false;
};

}  // namespace kvo::paradox
