#include "ParadoxBlob.h"

#include <cstring>
#include <system_error>

namespace kvo::paradox {

namespace {

std::uint32_t Le16(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8;
}

std::uint32_t Le32(const unsigned char* p) {
    return Le16(p) | Le16(p + 2) << 16;
}

}  // namespace

TBlobFile::TBlobFile(std::filesystem::path file) : path_(std::move(file)) {}

TBlobFile::~TBlobFile() {
    if (file_ != nullptr) std::fclose(file_);
}

bool TBlobFile::ReadAt(std::uint64_t position, std::size_t size, void* into) {
    if (position > size_ || size > size_ - position) return false;
    if (::fseeko(file_, static_cast<off_t>(position), SEEK_SET) != 0) return false;
    return std::fread(into, 1, size, file_) == size;
}

bool TBlobFile::Read(std::uint32_t offset, std::uint32_t length, std::string& data,
                     std::string& problem) {
    const std::string where = " (memo file " + path_.filename().string() + ")";
    if (!opened_) {
        opened_ = true;
        std::error_code ec;
        if (!path_.empty() && std::filesystem::exists(path_, ec)) {
            file_ = std::fopen(path_.c_str(), "rb");
            size_ = std::filesystem::file_size(path_, ec);
            if (ec) size_ = 0;
        }
    }
    if (file_ == nullptr) {
        problem = "the memo file " + path_.filename().string() + " is missing or unreadable";
        return false;
    }
    const unsigned slot = offset & 0xFFu;
    const std::uint64_t block = offset & ~std::uint64_t{0xFF};
    if (block == 0 || block % kBlobBlockSize != 0) {
        problem = "a memo points at offset " + std::to_string(block) + ", not a data block" + where;
        return false;
    }
    unsigned char head[kBlobSlotTable + kBlobSlotsPerBlock * 5];
    if (!ReadAt(block, 1, head)) {
        problem = "a memo points past the end" + where;
        return false;
    }
    std::uint64_t start = 0;
    if (slot == kBlobSingleSlot) {
        if (head[0] != 2 || !ReadAt(block, kBlobSingleHeader, head)) {
            problem = "a memo points at a block that holds no single blob" + where;
            return false;
        }
        if (Le32(head + 3) != length) {
            problem = "a memo's length (" + std::to_string(length) + ") differs from its blob's (" +
                      std::to_string(Le32(head + 3)) + ")" + where;
            return false;
        }
        start = block + kBlobSingleHeader;
    } else {
        if (head[0] != 3 || slot >= kBlobSlotsPerBlock || !ReadAt(block, sizeof head, head)) {
            problem = "a memo points at slot " + std::to_string(slot) +
                      " of a block that holds no such slot" + where;
            return false;
        }
        const unsigned char* entry = head + kBlobSlotTable + slot * 5;
        const std::uint32_t units = entry[1], rest = entry[4];
        // The unit count is rounded up; the remainder is 0 for a whole unit.
        const std::uint32_t stored = rest == 0 ? units * 16 : (units - 1) * 16 + rest;
        if (entry[0] == 0 || units == 0 || stored != length ||
            entry[0] * 16u + length > kBlobBlockSize) {
            problem = "a memo's slot " + std::to_string(slot) + " is unused or does not hold " +
                      std::to_string(length) + " bytes" + where;
            return false;
        }
        start = block + entry[0] * 16u;
    }
    data.resize(length);
    if (!ReadAt(start, length, data.data())) {
        problem = "a memo of " + std::to_string(length) + " bytes runs past the end" + where;
        return false;
    }
    return true;
}

}  // namespace kvo::paradox
