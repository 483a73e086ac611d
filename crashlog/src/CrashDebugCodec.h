// The byte-level helpers of the library data: MD5, the name cipher and zlib.
// Internal to the library and its data generator (which compiles
// CrashDebugData.cpp itself); programs that use the library never need them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "crashlog/CrashDebugData.h"

namespace crashlog {

// MD5 of the bytes, as 16 raw bytes.
std::array<uint8_t, 16> Md5(ByteSpan data);
// CBC with an all-ones vector; a tail shorter than a block is XORed with the
// encryption of the last cipher block.  Output length equals input length.
Bytes TeaEncipher(const TeaKey& key, ByteSpan plain);
Bytes TeaDecipher(const TeaKey& key, ByteSpan cipher);

// Inflates a whole zlib stream; nothing when damaged or larger than `limit`.
std::optional<Bytes> Inflate(ByteSpan data, size_t limit = 512u << 20);
Bytes Deflate(ByteSpan data, int level = 9);

}  // namespace crashlog
