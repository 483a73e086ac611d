// The library's own PNG writer for 8-bit palette pictures.
//
// File: the 8-byte signature, then chunks of (length, type, data, CRC-32
// over type and data), all integers big-endian:
//   IHDR  width, height, depth 8, colour type 3, compression 0, filter 0,
//         interlace 0
//   PLTE  256 x (red, green, blue), unused entries included
//   IDAT  the zlib stream of the rows (filter byte 0 + width indexes each),
//         cut into chunks of exactly 0x3FFFF bytes and a last shorter one
//   IEND  empty
#include <zlib.h>

#include <cstring>
#include <stdexcept>

#include "crashlog/CrashScreenshot.h"

namespace crashlog {

namespace {

const std::array<std::uint32_t, 256>& CrcTable() {
    static const std::array<std::uint32_t, 256> table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t n = 0; n < 256; ++n) {
            std::uint32_t c = n;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[n] = c;
        }
        return t;
    }();
    return table;
}

void Put32(std::vector<std::uint8_t>& out, std::uint32_t value) {
    out.push_back(static_cast<std::uint8_t>(value >> 24));
    out.push_back(static_cast<std::uint8_t>(value >> 16));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
    out.push_back(static_cast<std::uint8_t>(value));
}

void PutChunk(std::vector<std::uint8_t>& out, const char type[4], const std::uint8_t* data,
              std::size_t size) {
    Put32(out, static_cast<std::uint32_t>(size));
    std::size_t start = out.size();
    out.insert(out.end(), type, type + 4);
    if (size) out.insert(out.end(), data, data + size);
    Put32(out, PngCrc32(std::span<const std::uint8_t>(out.data() + start, size + 4)));
}

}  // namespace

std::uint32_t PngCrc32(std::span<const std::uint8_t> data, std::uint32_t crc) {
    const auto& table = CrcTable();
    std::uint32_t c = crc ^ 0xFFFFFFFFu;
    for (std::uint8_t byte : data)
        c = table[(c ^ byte) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

std::vector<std::uint8_t> EncodePng(const TIndexedPicture& picture) {
    static const std::uint8_t kSignature[8] = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
    std::vector<std::uint8_t> out(kSignature, kSignature + 8);
    const std::size_t stride = static_cast<std::size_t>(picture.RowStride());
    if (picture.width <= 0 || picture.height <= 0 ||
        picture.indexes.size() < stride * static_cast<std::size_t>(picture.height))
        throw std::invalid_argument("EncodePng: the picture is empty or short");

    std::vector<std::uint8_t> header;
    Put32(header, static_cast<std::uint32_t>(picture.width));
    Put32(header, static_cast<std::uint32_t>(picture.height));
    header.insert(header.end(), {8, 3, 0, 0, 0});
    PutChunk(out, "IHDR", header.data(), header.size());

    std::uint8_t palette[768];
    for (std::size_t i = 0; i < 256; ++i) {
        palette[i * 3] = picture.palette[i].red;
        palette[i * 3 + 1] = picture.palette[i].green;
        palette[i * 3 + 2] = picture.palette[i].blue;
    }
    PutChunk(out, "PLTE", palette, sizeof palette);

    z_stream z{};
    if (deflateInit(&z, 9) != Z_OK) throw std::runtime_error("EncodePng: deflateInit failed");
    std::vector<std::uint8_t> buffer(kPngIdatChunkSize);
    z.next_out = buffer.data();
    z.avail_out = static_cast<uInt>(buffer.size());
    auto drain = [&] {
        if (z.avail_out == 0) {
            PutChunk(out, "IDAT", buffer.data(), buffer.size());
            z.next_out = buffer.data();
            z.avail_out = static_cast<uInt>(buffer.size());
        }
    };
    auto feed = [&](const std::uint8_t* data, std::size_t size) {
        z.next_in = const_cast<Bytef*>(data);
        z.avail_in = static_cast<uInt>(size);
        while (z.avail_in > 0) {
            deflate(&z, Z_NO_FLUSH);
            drain();
        }
    };
    static const std::uint8_t kFilterNone = 0;
    for (int y = 0; y < picture.height; ++y) {
        feed(&kFilterNone, 1);
        feed(picture.indexes.data() + static_cast<std::size_t>(y) * stride,
             static_cast<std::size_t>(picture.width));
    }
    int status;
    do {
        status = deflate(&z, Z_FINISH);
        if (status == Z_STREAM_ERROR) break;
        drain();
    } while (status != Z_STREAM_END);
    std::size_t rest = buffer.size() - z.avail_out;
    if (rest > 0) PutChunk(out, "IDAT", buffer.data(), rest);
    deflateEnd(&z);
    if (status != Z_STREAM_END) throw std::runtime_error("EncodePng: deflate failed");

    PutChunk(out, "IEND", nullptr, 0);
    return out;
}

}  // namespace crashlog
