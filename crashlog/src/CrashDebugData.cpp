#include "crashlog/CrashDebugData.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <unordered_set>

#include "CrashDebugCodec.h"

namespace crashlog {
namespace {

uint32_t RdU32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
uint16_t RdU16(const uint8_t* p) {
    return uint16_t(p[0] | p[1] << 8);
}
void PutU32(Bytes& out, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out.push_back(uint8_t(v >> (8 * i)));
}
void PutU16(Bytes& out, uint16_t v) {
    out.push_back(uint8_t(v));
    out.push_back(uint8_t(v >> 8));
}

// Bounds-checked reader: every parser of stored data goes through it so that
// damaged input ends in "no data" instead of a stray read.
struct Cursor {
    ByteSpan d;
    size_t pos = 0;
    bool Has(size_t n) const { return pos <= d.size() && d.size() - pos >= n; }
    bool U32(uint32_t& v) {
        if (!Has(4)) return false;
        v = RdU32(d.data() + pos);
        pos += 4;
        return true;
    }
    bool U16(uint16_t& v) {
        if (!Has(2)) return false;
        v = RdU16(d.data() + pos);
        pos += 2;
        return true;
    }
    bool Skip(size_t n) {
        if (!Has(n)) return false;
        pos += n;
        return true;
    }
};

// ---- MD5 ----
constexpr uint32_t kMd5K[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};
constexpr int kMd5R[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                           5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                           4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                           6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};

uint32_t Rotl(uint32_t x, int c) {
    return (x << c) | (x >> (32 - c));
}

void TeaEncryptBlock(const TeaKey& k, uint32_t& v0, uint32_t& v1) {
    uint32_t sum = 0;
    for (int i = 0; i < 32; ++i) {
        sum += 0x9E3779B9u;
        v0 += ((v1 << 4) + k[0]) ^ (v1 + sum) ^ ((v1 >> 5) + k[1]);
        v1 += ((v0 << 4) + k[2]) ^ (v0 + sum) ^ ((v0 >> 5) + k[3]);
    }
}
void TeaDecryptBlock(const TeaKey& k, uint32_t& v0, uint32_t& v1) {
    uint32_t sum = 0x9E3779B9u * 32;
    for (int i = 0; i < 32; ++i) {
        v1 -= ((v0 << 4) + k[2]) ^ (v0 + sum) ^ ((v0 >> 5) + k[3]);
        v0 -= ((v1 << 4) + k[0]) ^ (v1 + sum) ^ ((v1 >> 5) + k[1]);
        sum -= 0x9E3779B9u;
    }
}
uint32_t Be32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}
void PutBe32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}
void EncryptBytes(const TeaKey& k, const uint8_t in[8], uint8_t out[8]) {
    uint32_t a = Be32(in), b = Be32(in + 4);
    TeaEncryptBlock(k, a, b);
    PutBe32(out, a);
    PutBe32(out + 4, b);
}

}  // namespace

std::array<uint8_t, 16> Md5(ByteSpan data) {
    uint32_t h[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
    Bytes msg(data.begin(), data.end());
    uint64_t bits = uint64_t(data.size()) * 8;
    msg.push_back(0x80);
    while (msg.size() % 64 != 56)
        msg.push_back(0);
    for (int i = 0; i < 8; ++i)
        msg.push_back(uint8_t(bits >> (8 * i)));
    for (size_t off = 0; off < msg.size(); off += 64) {
        uint32_t w[16];
        for (int i = 0; i < 16; ++i)
            w[i] = RdU32(&msg[off + 4 * i]);
        uint32_t a = h[0], b = h[1], c = h[2], d = h[3];
        for (int i = 0; i < 64; ++i) {
            uint32_t f;
            int g;
            if (i < 16) {
                f = (b & c) | (~b & d);
                g = i;
            } else if (i < 32) {
                f = (d & b) | (~d & c);
                g = (5 * i + 1) % 16;
            } else if (i < 48) {
                f = b ^ c ^ d;
                g = (3 * i + 5) % 16;
            } else {
                f = c ^ (b | ~d);
                g = (7 * i) % 16;
            }
            uint32_t t = d;
            d = c;
            c = b;
            b = b + Rotl(a + f + kMd5K[i] + w[g], kMd5R[i]);
            a = t;
        }
        h[0] += a;
        h[1] += b;
        h[2] += c;
        h[3] += d;
    }
    std::array<uint8_t, 16> out{};
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            out[4 * i + j] = uint8_t(h[i] >> (8 * j));
    return out;
}

TeaKey DebugKeyFromPassword(std::string_view password) {
    auto d = Md5(ByteSpan(reinterpret_cast<const uint8_t*>(password.data()), password.size()));
    return {Be32(&d[0]), Be32(&d[4]), Be32(&d[8]), Be32(&d[12])};
}

Bytes TeaEncipher(const TeaKey& key, ByteSpan plain) {
    Bytes out(plain.size());
    uint8_t prev[8];
    std::memset(prev, 0xFF, 8);
    size_t i = 0;
    for (; i + 8 <= plain.size(); i += 8) {
        uint8_t x[8];
        for (int j = 0; j < 8; ++j)
            x[j] = plain[i + j] ^ prev[j];
        EncryptBytes(key, x, prev);
        std::memcpy(&out[i], prev, 8);
    }
    if (i < plain.size()) {
        uint8_t pad[8];
        EncryptBytes(key, prev, pad);
        for (size_t j = 0; i + j < plain.size(); ++j)
            out[i + j] = plain[i + j] ^ pad[j];
    }
    return out;
}

Bytes TeaDecipher(const TeaKey& key, ByteSpan cipher) {
    Bytes out(cipher.size());
    uint8_t prev[8];
    std::memset(prev, 0xFF, 8);
    size_t i = 0;
    for (; i + 8 <= cipher.size(); i += 8) {
        uint32_t a = Be32(&cipher[i]), b = Be32(&cipher[i + 4]);
        TeaDecryptBlock(key, a, b);
        uint8_t x[8];
        PutBe32(x, a);
        PutBe32(x + 4, b);
        for (int j = 0; j < 8; ++j)
            out[i + j] = x[j] ^ prev[j];
        std::memcpy(prev, &cipher[i], 8);
    }
    if (i < cipher.size()) {
        uint8_t pad[8];
        EncryptBytes(key, prev, pad);
        for (size_t j = 0; i + j < cipher.size(); ++j)
            out[i + j] = cipher[i + j] ^ pad[j];
    }
    return out;
}

uint32_t PasswordCheckWord(const TeaKey& key) {
    uint8_t m[4] = {uint8_t(kCLDataMagic), uint8_t(kCLDataMagic >> 8), uint8_t(kCLDataMagic >> 16),
                    uint8_t(kCLDataMagic >> 24)};
    Bytes c = TeaEncipher(key, ByteSpan(m, 4));
    return RdU32(c.data());
}

const TCrashSymbol* TCrashLibraryData::FindSymbol(uint8_t id) const {
    for (const auto& s : Symbols)
        if (s.Id == id) return &s;
    return nullptr;
}

uint16_t NormaliseDataVersion(uint16_t v) {
    return v >= 600 && v <= 602 ? uint16_t(v * 10) : v;
}

std::optional<Bytes> Inflate(ByteSpan data, size_t limit) {
    z_stream zs{};
    if (inflateInit(&zs) != Z_OK) return std::nullopt;
    Bytes out;
    zs.next_in = const_cast<Bytef*>(data.data());
    zs.avail_in = uInt(std::min<size_t>(data.size(), UINT32_MAX));
    int rc = Z_OK;
    uint8_t buf[16384];
    while (rc == Z_OK) {
        zs.next_out = buf;
        zs.avail_out = sizeof buf;
        rc = inflate(&zs, Z_NO_FLUSH);
        if (rc != Z_OK && rc != Z_STREAM_END) break;
        out.insert(out.end(), buf, buf + (sizeof buf - zs.avail_out));
        if (out.size() > limit) {
            rc = Z_MEM_ERROR;
            break;
        }
        if (rc == Z_OK && zs.avail_in == 0 && zs.avail_out != 0) {
            rc = Z_DATA_ERROR;  // input ended inside the stream
            break;
        }
    }
    inflateEnd(&zs);
    if (rc != Z_STREAM_END) return std::nullopt;
    return out;
}

Bytes Deflate(ByteSpan data, int level) {
    uLongf n = compressBound(uLong(data.size()));
    Bytes out(n);
    if (compress2(out.data(), &n, data.data(), uLong(data.size()), level) != Z_OK) return {};
    out.resize(n);
    return out;
}

std::optional<TCrashLibraryData> ParseLibraryData(ByteSpan data) {
    Cursor c{data};
    uint32_t magic;
    uint16_t ver;
    if (!c.U32(magic) || (magic != kCLDataMagic && magic != kCLDataMagicOld) || !c.U16(ver))
        return std::nullopt;
    TCrashLibraryData r;
    r.Version = NormaliseDataVersion(ver);
    if (!c.Has(8)) return std::nullopt;
    std::memcpy(&r.BuildTime, data.data() + c.pos, 8);
    c.pos += 8;
    if (r.Version < 500) {
        // One stream holds the options followed by the debug data.
        size_t start = r.Version >= 450 ? 14 : 16;
        if (start > data.size()) return std::nullopt;
        ByteSpan rest = data.subspan(start);
        if (r.Version >= 450) {
            auto in = Inflate(rest);
            if (!in) return std::nullopt;
            r.Options = std::move(*in);
        } else {
            r.Options.assign(rest.begin(), rest.end());
        }
        r.LegacyCombined = true;
        return r;
    }
    if (!c.Has(2)) return std::nullopt;
    if (r.Version >= 6000) {
        r.LeakFlags = data[14];
        r.FollowMainLeakFlags = data[15];
    }
    c.pos = 16;
    uint32_t s, cl;
    if (!c.U32(s) || !c.Has(s)) return std::nullopt;
    for (uint32_t i = 0; i + 9 <= s; i += 9) {
        const uint8_t* p = data.data() + c.pos + i;
        r.Symbols.push_back({p[0], RdU32(p + 1), RdU32(p + 5)});
    }
    c.pos += s;
    if (!c.U32(cl) || !c.Has(cl)) return std::nullopt;
    auto opts = Inflate(data.subspan(c.pos, cl));
    if (!opts) return std::nullopt;
    r.Options = std::move(*opts);
    c.pos += cl;
    if (!c.U32(r.PasswordCheck)) return std::nullopt;
    r.HasPasswordCheck = true;
    auto dbg = Inflate(data.subspan(c.pos));
    if (!dbg || dbg->size() < 4) return std::nullopt;
    uint32_t n = RdU32(dbg->data());
    if (n > dbg->size() - 4) return std::nullopt;
    r.DebugData.assign(dbg->begin() + 4, dbg->begin() + 4 + n);
    return r;
}

std::optional<TCrashLibraryData> ParseAppendedLibraryData(ByteSpan file) {
    if (file.size() < 8) return std::nullopt;
    size_t end = file.size() - 8;  // end of the debug data
    uint32_t magic = RdU32(file.data() + file.size() - 4);
    uint32_t l = RdU32(file.data() + end);
    if ((magic != kCLDataMagic && magic != kCLDataMagicOld) || l > end || l < 14)
        return std::nullopt;
    size_t start = end - l;
    TCrashLibraryData r;
    r.Appended = true;
    r.Version = NormaliseDataVersion(RdU16(file.data() + start));
    std::memcpy(&r.BuildTime, file.data() + start + 2, 8);
    // The options stream carries no length of its own: the debug-data length
    // is the word that reaches exactly to the end.
    for (size_t p = start + 10; p + 4 <= end; ++p) {
        if (RdU32(file.data() + p) == end - p - 4) {
            r.Options.assign(file.begin() + start + 10, file.begin() + p);
            r.DebugData.assign(file.begin() + p + 4, file.begin() + end);
            return r;
        }
    }
    return std::nullopt;
}

std::optional<LineStep> DecodeLineRecord(ByteSpan d, size_t& pos, uint16_t version) {
    if (pos >= d.size()) return std::nullopt;
    uint8_t f = d[pos];
    LineStep s;
    if (!(f & 1)) {
        s.LineStep = (f >> 6) + 1;
        s.AddressStep = ((f >> 1) & 31) + 1;
        pos += 1;
    } else if (!(f & 2)) {
        s.NewProcedure = true;
        s.LineStep = (f >> 5) + 1;
        s.AddressStep = ((f >> 2) & 7) + 1;
        pos += 1;
    } else if (!(f & 8)) {
        if (d.size() - pos < 2) return std::nullopt;
        uint32_t w = RdU16(&d[pos]);
        s.NewProcedure = w & 4;
        s.LineStep = (w >> 11) + 1;
        s.AddressStep = ((w >> 4) & 127) + 1;
        pos += 2;
    } else {
        if (d.size() - pos < 4) return std::nullopt;
        uint32_t w = RdU32(&d[pos]);
        uint32_t x = w >> 4;
        s.NewProcedure = w & 4;
        if (x == 0x0FFEFFFE && version > 422) {
            if (d.size() - pos < 8) return std::nullopt;
            s.LineStep = uint32_t(RdU16(&d[pos + 4])) + 1;
            s.AddressStep = uint32_t(RdU16(&d[pos + 6])) + 1;
            pos += 8;
        } else {
            s.LineStep = (x & 0xFFFF) + 1;
            uint32_t hi = x >> 16;
            s.AddressStep = hi == 4095 ? 0 : hi + 1;
            pos += 4;
        }
    }
    return s;
}

void EncodeLineRecord(Bytes& out, uint32_t ls, uint32_t as, bool np) {
    if (!np && ls >= 1 && ls <= 4 && as >= 1 && as <= 32) {
        out.push_back(uint8_t((ls - 1) << 6 | (as - 1) << 1));
    } else if (np && ls >= 1 && ls <= 8 && as >= 1 && as <= 8) {
        out.push_back(uint8_t((ls - 1) << 5 | (as - 1) << 2 | 1));
    } else if (ls >= 1 && ls <= 32 && as >= 1 && as <= 128) {
        PutU16(out, uint16_t((ls - 1) << 11 | (as - 1) << 4 | (np ? 4 : 0) | 3));
    } else {
        uint32_t flags = (np ? 4u : 0u) | 0xB;
        uint32_t x;
        if (as == 0)
            x = 4095u << 16 | (ls - 1);
        else if (as <= 4095 && !(ls - 1 == 0xFFFE && as - 1 == 0xFFE) && ls <= 0x10000)
            x = (as - 1) << 16 | (ls - 1);
        else
            x = 0x0FFEFFFE;
        PutU32(out, x << 4 | flags);
        if (x == 0x0FFEFFFE) {
            PutU16(out, uint16_t(ls - 1));
            PutU16(out, uint16_t(as - 1));
        }
    }
}

namespace {
std::optional<RawName> ReadNameImpl(ByteSpan d, size_t& pos, uint16_t version, int depth) {
    if (pos >= d.size() || depth > 8) return std::nullopt;
    uint8_t len = d[pos++];
    bool compound = version >= 502 && (len & 0x80);
    if (compound) len &= 0x7F;
    if (d.size() - pos < len) return std::nullopt;
    RawName r;
    r.Parts.push_back(d.subspan(pos, len));
    pos += len;
    if (compound) {
        auto more = ReadNameImpl(d, pos, version, depth + 1);
        if (!more) return std::nullopt;
        r.Parts.insert(r.Parts.end(), more->Parts.begin(), more->Parts.end());
    }
    return r;
}

void PutName(Bytes& out, const TeaKey& key, std::string_view name) {
    // A name too long for one length byte becomes a compound cut at its first
    // dot (the class from the procedure), so the procedure survives whole.
    auto dot = name.find('.');
    bool compound = name.size() > 127 && dot != std::string_view::npos;
    auto head = name.substr(0, std::min<size_t>(compound ? dot : name.size(), 127));
    Bytes c = TeaEncipher(key, ByteSpan((const uint8_t*)head.data(), head.size()));
    out.push_back(uint8_t(c.size() | (compound ? 0x80 : 0)));
    out.insert(out.end(), c.begin(), c.end());
    if (compound) PutName(out, key, name.substr(dot + 1));
}
}  // namespace

std::optional<RawName> ReadNameString(ByteSpan d, size_t& pos, uint16_t version) {
    return ReadNameImpl(d, pos, version, 0);
}

std::string Base64(ByteSpan data) {
    static const char* t = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 3 <= data.size(); i += 3) {
        uint32_t v = data[i] << 16 | data[i + 1] << 8 | data[i + 2];
        for (int j = 3; j >= 0; --j)
            out += t[(v >> (6 * j)) & 63];
    }
    if (data.size() - i == 1) {
        uint32_t v = data[i] << 16;
        out += t[v >> 18];
        out += t[(v >> 12) & 63];
        out += "==";
    } else if (data.size() - i == 2) {
        uint32_t v = data[i] << 16 | data[i + 1] << 8;
        out += t[v >> 18];
        out += t[(v >> 12) & 63];
        out += t[(v >> 6) & 63];
        out += '=';
    }
    return out;
}

std::string TCrashNameDecoder::DecodePart(ByteSpan part) const {
    if (version_ < 500) {
        std::string s(part.size(), '\0');
        for (size_t i = 0; i < part.size(); ++i)
            s[i] = char(part[i] ^ kLegacyNameXor);
        return s;
    }
    if (!valid_) return "?" + Base64(part);
    Bytes p = TeaDecipher(key_, part);
    return std::string(p.begin(), p.end());
}

std::string TCrashNameDecoder::Decode(const RawName& name) const {
    std::string s;
    for (size_t i = 0; i < name.Parts.size(); ++i) {
        if (i) s += '.';
        s += DecodePart(name.Parts[i]);
    }
    return s;
}

std::string TCrashNameDecoder::DecodeUnit(const RawName& name) const {
    std::string s = Decode(name);
    if (version_ >= 500 && !valid_) {
        if (!s.empty()) s.insert(1, "p");
        return s;
    }
    if (s.find('.') == std::string::npos) s += ".pas";
    return s;
}

void SplitProcName(std::string_view full, const std::string& prevClass, std::string& cls,
                   std::string& proc) {
    if (!full.empty() && full[0] == '.') {
        cls = prevClass;
        proc = std::string(full.substr(1));
    } else if (auto dot = full.find('.'); dot != std::string_view::npos) {
        cls = std::string(full.substr(0, dot));
        proc = std::string(full.substr(dot + 1));
    } else {
        cls.clear();
        proc = std::string(full);
    }
    if (!proc.empty() && proc[0] == '@') proc[0] = '_';
}

namespace {
// The "." separates class from procedure in the stored names, so dots
// inside either part would split them in the wrong place.
std::string NoDots(std::string s) {
    std::replace(s.begin(), s.end(), '.', '_');
    return s;
}

bool IsFrameSetUp(const std::vector<uint8_t>& code) {
    auto starts = [&](std::initializer_list<uint8_t> b, size_t at = 0) {
        if (code.size() < at + b.size()) return false;
        return std::equal(b.begin(), b.end(), code.begin() + long(at));
    };
    // The 32-bit frame, its 64-bit form (optionally behind an indirect-branch
    // landing pad) and a push of the base register all mean the first line
    // holds no body code yet.
    size_t at = starts({0xF3, 0x0F, 0x1E, 0xFA}) ? 4 : 0;
    return starts({0x55, 0x8B, 0xEC}, at) || starts({0x55, 0x48, 0x89, 0xE5}, at) ||
           starts({0x53}, at);
}
}  // namespace

namespace {
// Positions the cursor on the unit count; false on damage.
bool SkipToUnits(Cursor& c, uint16_t version, uint32_t& units) {
    if (version >= 405 && version < 500) {
        uint32_t skip;
        if (!c.U32(skip) || !c.Skip(skip)) return false;
    }
    return c.U32(units);
}
}  // namespace

TCrashUnitIndex BuildUnitIndex(ByteSpan d, uint16_t version) {
    TCrashUnitIndex index;
    Cursor c{d};
    uint32_t units;
    if (!SkipToUnits(c, version, units)) return index;
    for (uint32_t u = 0; u < units; ++u) {
        size_t header = c.pos;
        uint32_t firstLine, start, size, reclen;
        if (!ReadNameString(d, c.pos, version) || !c.U32(firstLine) || !c.U32(start) ||
            !c.U32(size) || !c.U32(reclen) || !c.Skip(reclen))
            return {};
        if (size) index.Units.push_back({start, size, header});
    }
    std::stable_sort(index.Units.begin(), index.Units.end(),
                     [](const auto& a, const auto& b) { return a.Start < b.Start; });
    index.Usable = true;
    for (size_t i = 1; i < index.Units.size(); ++i)
        if (uint64_t(index.Units[i - 1].Start) + index.Units[i - 1].Size > index.Units[i].Start)
            index.Usable = false;
    return index;
}

std::optional<TCrashLineInfo> LookupLine(ByteSpan d, uint16_t version,
                                         const TCrashNameDecoder& names, uint32_t offset,
                                         CodePeek peek, const void* ctx,
                                         const TCrashUnitIndex* index) {
    Cursor c{d};
    uint32_t units;
    if (index && index->Usable) {
        auto it = std::upper_bound(index->Units.begin(), index->Units.end(), offset,
                                   [](uint32_t o, const auto& u) { return o < u.Start; });
        if (it == index->Units.begin()) return std::nullopt;
        --it;
        if (offset - it->Start >= it->Size) return std::nullopt;
        c.pos = it->HeaderPos;
        units = 1;
    } else if (!SkipToUnits(c, version, units)) {
        return std::nullopt;
    }
    for (uint32_t u = 0; u < units; ++u) {
        auto unitName = ReadNameString(d, c.pos, version);
        uint32_t firstLine, start, size, reclen;
        if (!unitName || !c.U32(firstLine) || !c.U32(start) || !c.U32(size) || !c.U32(reclen) ||
            !c.Has(reclen))
            return std::nullopt;
        size_t recEnd = c.pos + reclen;
        if (size == 0 || offset < start || offset - start > size - 1) {
            c.pos = recEnd;
            continue;
        }
        ByteSpan recs = d.first(recEnd);
        uint32_t prevLine = firstLine, prevAddr = start;
        std::vector<RawName> procs;  // names seen, for the class of "." names
        uint32_t procStartLine = 0, procStartAddr = start;
        size_t pos = c.pos;
        while (pos < recEnd) {
            auto rec = DecodeLineRecord(recs, pos, version);
            if (!rec) return std::nullopt;
            std::optional<RawName> pname;
            if (rec->NewProcedure) {
                pname = ReadNameString(recs, pos, version);
                if (!pname) return std::nullopt;
            }
            uint64_t nextAddr = uint64_t(prevAddr) + rec->AddressStep;
            if (offset < nextAddr) break;
            prevLine += rec->LineStep;
            prevAddr = uint32_t(nextAddr);
            if (pname) {
                procs.push_back(*pname);
                procStartLine = prevLine;
                procStartAddr = prevAddr;
            }
        }
        TCrashLineInfo r;
        r.UnitName = names.DecodeUnit(*unitName);
        r.Line = prevLine;
        if (!procs.empty()) {
            std::string full = names.Decode(procs.back());
            std::string cls;
            if (!full.empty() && full[0] == '.') {
                // Find the class of the nearest earlier name that carries one.
                for (size_t i = procs.size() - 1; i-- > 0;) {
                    std::string prev = names.Decode(procs[i]);
                    if (!prev.empty() && prev[0] == '.') continue;
                    std::string p;
                    SplitProcName(prev, {}, cls, p);
                    break;
                }
            }
            SplitProcName(full, cls, r.ClassName, r.ProcName);
            r.ProcStartLine = procStartLine;
            r.ProcStartOffset = procStartAddr;
            int64_t startLine = procStartLine;
            bool init = r.ProcName == "Initialization";
            bool fin = r.ProcName == "Finalization";
            std::vector<uint8_t> code;
            if (peek && !fin && !init) code = peek(ctx, procStartAddr);
            if (fin || (!init && !IsFrameSetUp(code))) startLine -= 1;
            int64_t pl = int64_t(r.Line) - startLine;
            r.ProcLine = pl < 0 ? 0 : int32_t(pl);
        }
        return r;
    }
    return std::nullopt;
}

TCrashLineTable::TCrashLineTable(ByteSpan debugData, uint16_t version,
                                 const TCrashNameDecoder& names, bool lastingNames)
    : data_(debugData),
      version_(version),
      lastingNames_(lastingNames),
      decoder_(names),
      index_(BuildUnitIndex(debugData, version)) {
    if (!index_.Usable || index_.Units.empty()) return;
    units_.reserve(index_.Units.size());
    for (const auto& u : index_.Units) {
        Unit unit;
        unit.Start = u.Start;
        unit.Size = u.Size;
        units_.push_back(unit);
    }
    const uint64_t first = units_.front().Start;
    const uint64_t end = uint64_t(units_.back().Start) + units_.back().Size;
    // Between one and two buckets per unit (a power of two no wider than the
    // average unit), so a lookup looks at one or two units whatever the
    // binary's size; never more than 2^20 buckets.
    const uint64_t span = end - first;
    bucketShift_ = 0;
    while ((span >> (bucketShift_ + 1)) >= units_.size() ||
           (span >> bucketShift_) >= (uint64_t(1) << 20))
        ++bucketShift_;
    buckets_.resize(size_t((end - first) >> bucketShift_) + 1);
    size_t u = 0;
    for (size_t b = 0; b < buckets_.size(); ++b) {
        const uint64_t bucketStart = first + (uint64_t(b) << bucketShift_);
        while (u < units_.size() && uint64_t(units_[u].Start) + units_[u].Size <= bucketStart)
            ++u;
        buckets_[b] = uint32_t(u);
    }
}

// Inline: a lookup's first step, not worth a call of its own.
inline TCrashLineTable::Unit* TCrashLineTable::FindUnit(uint32_t offset) {
    if (units_.empty() || offset < units_.front().Start) return nullptr;
    const uint64_t b = uint64_t(offset - units_.front().Start) >> bucketShift_;
    if (b >= buckets_.size()) return nullptr;
    // Units before the bucket's first end before the bucket; units do not
    // overlap, so the first that reaches past the offset is the only
    // candidate.  A bucket is no wider than the average unit: the offset
    // lies in its first unit or the next, chosen without a branch (the
    // addresses are as good as random to a predictor); the walk on is rare.
    size_t u = buckets_[b];
    const size_t n = units_.size();
    if (u >= n) return nullptr;
    u += size_t(uint64_t(offset) >= uint64_t(units_[u].Start) + units_[u].Size) & size_t(u + 1 < n);
    for (; u < n; ++u) {
        Unit& unit = units_[u];
        if (offset < unit.Start) return nullptr;
        if (offset - unit.Start < unit.Size) return &unit;
    }
    return nullptr;
}

namespace {
// The names every lasting table shares: each text once, never freed (a
// module unloaded and loaded again finds its names here), so a resolved
// frame may point at them for as long as the process runs.
struct LastingNames {
    std::mutex Lock;
    std::unordered_set<std::string> Texts;  // nodes: a text never moves
};
LastingNames& SharedNames() {
    static LastingNames* names = new LastingNames;  // outlives every static destructor
    return *names;
}
}  // namespace

const std::string* TCrashLineTable::Keep(std::string_view text, bool& lasting) {
    auto it = stringsByText_.find(text);
    if (it == stringsByText_.end()) {
        KeptText kept;
        // A table being decoded on another thread holds the shared names
        // for a moment: rather than wait (that thread may be one a crash
        // report has paused), this table keeps the text itself.
        LastingNames& shared = SharedNames();
        std::unique_lock lock(shared.Lock, std::defer_lock);
        if (lastingNames_ && lock.try_lock()) {
            kept = {&*shared.Texts.emplace(text).first, true};
        } else {
            kept = {&strings_.emplace_back(text), false};
        }
        it = stringsByText_.emplace(*kept.Text, kept).first;
    }
    lasting = lasting && it->second.Lasting;
    return it->second.Text;
}

uint32_t TCrashLineTable::Intern(std::string_view unit, std::string_view cls,
                                 std::string_view proc) {
    bool lasting = lastingNames_;
    const NameKey key{Keep(unit, lasting), Keep(cls, lasting), Keep(proc, lasting)};
    auto [it, added] = nameSetsByKey_.try_emplace(key, uint32_t(nameSets_.size()));
    if (added) nameSets_.push_back({key[0], key[1], key[2], -1, lasting});
    return it->second;
}

// Walks the unit's records once, as LookupLine walks them for one offset,
// and keeps the answer it would give at every step.
void TCrashLineTable::Decode(Unit& unit, size_t index, CodePeek peek, const void* ctx) {
    unit.RowsBegin = unit.RowsEnd = uint32_t(rows_.size());
    Cursor c{data_};
    c.pos = index_.Units[index].HeaderPos;
    auto unitName = ReadNameString(data_, c.pos, version_);
    uint32_t firstLine, start, size, reclen;
    if (!unitName || !c.U32(firstLine) || !c.U32(start) || !c.U32(size) || !c.U32(reclen) ||
        !c.Has(reclen)) {
        unit.Size = 0;  // the header itself cannot be read: nothing in the unit answers
        return;
    }
    const std::string unitText = decoder_.DecodeUnit(*unitName);
    const size_t recEnd = c.pos + reclen;
    ByteSpan recs = data_.first(recEnd);
    uint32_t prevLine = firstLine, prevAddr = start;
    Row row;
    row.Address = prevAddr;
    row.Line = prevLine;
    row.Names = Intern(unitText, {}, {});
    int32_t procIndex = -1;
    rows_.push_back(row);
    rowProcs_.push_back(procIndex);
    int64_t startLine = 0;  // of the current procedure, less one where the prologue rule says so
    std::string lastClass;  // of the latest name that is not a "." name
    for (size_t pos = c.pos; pos < recEnd;) {
        auto rec = DecodeLineRecord(recs, pos, version_);
        std::optional<RawName> pname;
        if (rec && rec->NewProcedure) pname = ReadNameString(recs, pos, version_);
        if (!rec || (rec->NewProcedure && !pname)) {
            // Every offset that would have to read this record fails.
            unit.Size = std::min(unit.Size, prevAddr - unit.Start);
            break;
        }
        const uint64_t nextAddr = uint64_t(prevAddr) + rec->AddressStep;
        if (nextAddr > UINT32_MAX) break;  // no offset gets past this record
        prevLine += rec->LineStep;
        prevAddr = uint32_t(nextAddr);
        if (pname) {
            const std::string full = decoder_.Decode(*pname);
            const bool inherits = !full.empty() && full[0] == '.';
            std::string cls, proc;
            SplitProcName(full, inherits ? lastClass : std::string(), cls, proc);
            if (!inherits) lastClass = cls;
            const bool init = proc == "Initialization";
            const bool fin = proc == "Finalization";
            std::vector<uint8_t> code;
            if (peek && !fin && !init) code = peek(ctx, prevAddr);
            startLine = prevLine;
            if (fin || (!init && !IsFrameSetUp(code))) startLine -= 1;
            procIndex = int32_t(procStarts_.size());
            procStarts_.push_back({prevLine, prevAddr});
            row.Names = Intern(unitText, cls, proc);
        }
        row.Address = prevAddr;
        row.Line = prevLine;
        if (procIndex >= 0) {
            const int64_t pl = int64_t(prevLine) - startLine;
            row.ProcLine = pl < 0 ? 0 : int32_t(pl);
        }
        if (rows_.back().Address == row.Address) {
            // A row whose code is empty answers for no offset (the last row
            // at or below it wins): the next takes its place.  The line
            // before each unit's first procedure is such a row.
            rows_.back() = row;
            rowProcs_.back() = procIndex;
        } else {
            rows_.push_back(row);
            rowProcs_.push_back(procIndex);
        }
    }
    unit.RowsEnd = uint32_t(rows_.size());
}

std::optional<TCrashLineInfo> TCrashLineTable::Lookup(uint32_t offset, CodePeek peek,
                                                      const void* ctx) {
    if (!index_.Usable) return LookupLine(data_, version_, decoder_, offset, peek, ctx, &index_);
    Found f;
    if (!Find(offset, f, peek, ctx)) return std::nullopt;
    TCrashLineInfo r;
    r.UnitName = *f.UnitName;
    r.ClassName = *f.ClassName;
    r.ProcName = *f.ProcName;
    r.Line = f.Line;
    r.ProcLine = f.ProcLine;
    if (const int32_t proc = rowProcs_[lastRow_]; proc >= 0) {
        r.ProcStartOffset = procStarts_[size_t(proc)].Offset;
        r.ProcStartLine = procStarts_[size_t(proc)].Line;
    }
    return r;
}

bool TCrashLineTable::Find(uint32_t offset, Found& f, CodePeek peek, const void* ctx) {
    if (!index_.Usable) {
        // Overlapping units: the sequential walk decides, and the table keeps
        // its answer for the names to point into.
        lastNames_ = kNoNames;
        auto r = LookupLine(data_, version_, decoder_, offset, peek, ctx, &index_);
        if (!r) return false;
        spare_ = std::move(*r);
        f = {&spare_.UnitName, &spare_.ClassName, &spare_.ProcName, spare_.Line, spare_.ProcLine};
        return true;
    }
    Unit* unit = FindUnit(offset);
    if (!unit) return false;
    if (unit->RowsEnd == 0) {
        Decode(*unit, size_t(unit - units_.data()), peek, ctx);
        if (offset - unit->Start >= unit->Size) return false;
    }
    // The last row whose address the offset has reached; rows start at the
    // unit's start, so the search never falls before the first.  Rows
    // sharing an address were merged, so nearly every unit has four rows or
    // fewer, found in two fixed steps (no loop whose end is mispredicted).
    const Row* row = rows_.data() + unit->RowsBegin;
    const size_t count = unit->RowsEnd - unit->RowsBegin;
    if (count <= 4) {
        size_t i = 0, j = std::min<size_t>(2, count - 1);
        i = row[j].Address <= offset ? j : i;
        j = std::min(i + 1, count - 1);
        i = row[j].Address <= offset ? j : i;
        row += i;
    } else {
        for (size_t n = count; n > 1;) {
            const size_t half = n / 2;
            row = row[half].Address <= offset ? row + half : row;
            n -= half;
        }
    }
    const NameSet& names = nameSets_[row->Names];
    lastNames_ = row->Names;
    lastRow_ = uint32_t(row - rows_.data());
    f.UnitName = names.Unit;
    f.ClassName = names.Class;
    f.ProcName = names.Proc;
    f.Line = row->Line;
    f.ProcLine = row->ProcLine;
    f.Lasting = names.Lasting;
    return true;
}

bool TCrashLineTable::AskFoundUnit(UnitTest test) {
    if (lastNames_ == kNoNames) return test(spare_.UnitName);
    if (markedBy_ != test) {
        markedBy_ = test;
        for (NameSet& names : nameSets_)
            names.Mark = -1;
    }
    NameSet& names = nameSets_[lastNames_];
    if (names.Mark < 0) names.Mark = test(*names.Unit) ? 1 : 0;
    return names.Mark == 1;
}

std::string CleanSymbolName(std::string_view name) {
    // "name@VER" and "name@@VER" carry the symbol version; names that begin
    // with '@' follow another convention in which '@' separates the parts.
    if (!name.empty() && name[0] != '@') {
        if (auto at = name.find('@'); at != std::string_view::npos) name = name.substr(0, at);
    }
    // Copies the compiler made of a function keep its name with a suffix,
    // possibly several ("f.constprop.0.isra.0").
    static constexpr std::string_view kCloneSuffixes[] = {
        ".part", ".isra", ".constprop", ".cold", ".lto_priv", ".localalias", ".clone"};
    for (bool again = true; again;) {
        again = false;
        size_t end = name.size();
        while (end > 0 && name[end - 1] >= '0' && name[end - 1] <= '9')
            --end;
        if (end < name.size()) {
            // A copy's number follows a dot; other digits belong to the name.
            if (end == 0 || name[end - 1] != '.') break;
            --end;
        }
        const std::string_view stem = name.substr(0, end);
        for (std::string_view suffix : kCloneSuffixes) {
            if (stem.size() > suffix.size() && stem.ends_with(suffix)) {
                name = stem.substr(0, stem.size() - suffix.size());
                again = true;
                break;
            }
        }
    }
    return std::string(name);
}

namespace {
// Drops what follows a function's name: trailing qualifiers and the
// parameter list, the bracket group that closes the name, matched from the
// end.
void DropQualifiersAndParameters(std::string& s) {
    for (bool again = true; again;) {
        again = false;
        for (const char* q : {" const", " volatile", " &&", " &", " noexcept"}) {
            size_t n = std::strlen(q);
            if (s.size() > n && s.compare(s.size() - n, n, q) == 0) {
                s.erase(s.size() - n);
                again = true;
            }
        }
    }
    if (!s.empty() && s.back() == ')') {
        int level = 0;
        for (size_t i = s.size(); i-- > 0;) {
            if (s[i] == ')')
                ++level;
            else if (s[i] == '(' && --level == 0) {
                if (i > 0) s.erase(i);
                break;
            }
        }
    }
}

bool IsIdentChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '$';
}

size_t WordSize(std::string_view s, size_t at) {
    size_t end = at;
    while (end < s.size() && IsIdentChar(s[end]))
        ++end;
    return end - at;
}

// The position of the bracket that opens the group closed at s.back(), or
// npos.
size_t OpeningOfLast(std::string_view s, char open, char close) {
    int level = 0;
    for (size_t i = s.size(); i-- > 0;) {
        if (s[i] == close)
            ++level;
        else if (s[i] == open && --level == 0)
            return i;
    }
    return std::string_view::npos;
}

// The first "::*" outside brackets: a pointer to member's class ends there.
size_t MemberPointerEnd(std::string_view s) {
    int depth = 0;
    for (size_t i = 0; i + 2 < s.size(); ++i) {
        const char c = s[i];
        if (c == '<' || c == '(' || c == '[' || c == '{')
            ++depth;
        else if (c == '>' || c == ')' || c == ']' || c == '}')
            depth = depth > 0 ? depth - 1 : 0;
        else if (depth == 0 && s.substr(i, 3) == "::*")
            return i + 2;
    }
    return std::string_view::npos;
}

// The length of the operator symbol at `at` ("<<", "()", "->*"), longest
// first.
size_t OperatorSymbolSize(std::string_view s, size_t at) {
    static constexpr std::string_view kSymbols[] = {
        "->*", "<=>", "<<=", ">>=", "->", "()", "[]", "<<", ">>", "<=", ">=", "==", "!=",
        "&&",  "||",  "++",  "--",  "+=", "-=", "*=", "/=", "%=", "&=", "|=", "^=", "<",
        ">",   "+",   "-",   "*",   "/",  "%",  "&",  "|",  "^",  "~",  "!",  "=",  ","};
    for (std::string_view sym : kSymbols)
        if (s.substr(at).starts_with(sym)) return sym.size();
    return 0;
}

bool IsOperatorAt(std::string_view s, size_t i) {
    return s.substr(i).starts_with("operator") && (i == 0 || !IsIdentChar(s[i - 1])) &&
           (i + 8 == s.size() || !IsIdentChar(s[i + 8]));
}

// Where the name of the operator at `i` ends ("operator<<", "operator new[]"),
// so that its brackets are not taken for the name's own; npos for a
// conversion operator, whose type runs to the end of the name.
size_t OperatorNameEnd(std::string_view s, size_t i) {
    size_t j = i + 8;
    if (j < s.size() && s[j] == ' ') {
        const size_t word = WordSize(s, j + 1);
        const std::string_view rest = s.substr(j + 1, word);
        if (rest != "new" && rest != "delete") return std::string_view::npos;
        j += 1 + word;
        return s.substr(j).starts_with("[]") ? j + 2 : j;
    }
    return j + OperatorSymbolSize(s, j);
}

// Where a function's own name starts in `s` (parameters already dropped),
// behind the return type that the demangler writes in front of template
// functions, and whether that name ends in template arguments.  Only spaces
// outside brackets and before the name's "operator" keyword separate the
// return type: "operator new", "operator bool", "(anonymous namespace)",
// "{lambda(int)#1}" and "<unsigned int>" keep theirs.
struct NameShape {
    size_t Start = 0;
    bool Template = false;
    bool SpecialName = false;  // "virtual thunk to ...", "guard variable for ..."
};

NameShape ShapeOfName(std::string_view s) {
    NameShape shape;
    std::string open;  // the brackets not yet closed, innermost last
    bool inName = false;
    size_t templateEnd = std::string_view::npos, wordStart = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        const char c = s[i];
        if (IsOperatorAt(s, i)) {
            size_t end = OperatorNameEnd(s, i);
            if (end == std::string_view::npos) {
                // A conversion operator: the rest is its type, and these
                // never carry a return type.
                if (open.empty()) return shape;
                end = i + 8;
            }
            if (open.empty()) inName = true;
            i = end - 1;
            continue;
        }
        if (c == '<' || c == '(' || c == '[' || c == '{') {
            open.push_back(c);
        } else if (c == '>') {
            if (!open.empty() && open.back() == '<') {
                open.pop_back();
                if (open.empty()) templateEnd = i;
            }
        } else if (c == ')' || c == ']' || c == '}') {
            // Closes its own opening, with any '<' left open inside (a
            // comparison in an expression).
            const char match = c == ')' ? '(' : c == ']' ? '[' : '{';
            if (size_t at = open.rfind(match); at != std::string::npos) open.erase(at);
        } else if (c == ' ' && open.empty() && !inName) {
            const std::string_view word = s.substr(wordStart, i - wordStart);
            if (word == "for" || word == "to") shape.SpecialName = true;
            shape.Start = wordStart = i + 1;
        }
    }
    shape.Template = !s.empty() && templateEnd == s.size() - 1;
    return shape;
}

// `s` (parameters dropped) without the return type in front of a template
// function's name, or empty where there is none to drop.  A function
// returning a pointer to a function or an array has its name inside the
// declarator: "void (*ns::get<int>())(int)", "int (*ns::arr<int>()) [3]".
std::string WithoutReturnType(std::string s, int nesting = 0) {
    if (!s.empty() && s.back() == ']') {
        if (size_t at = OpeningOfLast(s, '[', ']'); at != std::string::npos) {
            const size_t end = at > 0 && s[at - 1] == ' ' ? at - 1 : at;
            if (end > 0 && s[end - 1] == ')') s.erase(end);
        }
    }
    const NameShape shape = ShapeOfName(s);
    if (shape.SpecialName) return {};
    std::string name = s.substr(shape.Start);
    if (nesting < 8 && !name.empty() && name.back() == ')' && OpeningOfLast(name, '(', ')') == 0) {
        // The declarator: "(*name(params))" or "(ns::C::*name(params) const)".
        std::string_view inner = std::string_view(name).substr(1, name.size() - 2);
        if (size_t at = MemberPointerEnd(inner); at != std::string_view::npos)
            inner.remove_prefix(at);
        if (inner.empty() || (inner[0] != '*' && inner[0] != '&')) return {};
        while (!inner.empty() && (inner[0] == '*' || inner[0] == '&' || inner[0] == ' '))
            inner.remove_prefix(1);
        std::string declared(inner);
        DropQualifiersAndParameters(declared);
        return WithoutReturnType(std::move(declared), nesting + 1);
    }
    if (!shape.Template) return {};
    return name;
}
}  // namespace

std::string StoredProcName(const std::string& demangled) {
    std::string s = demangled;
    if (auto clone = s.find(" [clone"); clone != std::string::npos) s.erase(clone);
    // ABI tags ("[abi:cxx11]") say nothing to a reader of a report.
    for (size_t tag; (tag = s.find("[abi:")) != std::string::npos;) {
        size_t close = s.find(']', tag);
        s.erase(tag, close == std::string::npos ? std::string::npos : close - tag + 1);
    }
    DropQualifiersAndParameters(s);
    // A report names the function as written, without the return type that
    // the demangler puts in front of template functions.
    if (std::string name = WithoutReturnType(s); !name.empty()) s = std::move(name);
    int depth = 0;
    size_t sep = std::string::npos;
    for (size_t i = 0; i + 1 < s.size(); ++i) {
        if (IsOperatorAt(s, i)) {
            // "ns::C::operator std::string" ends in the conversion's type.
            const size_t end = OperatorNameEnd(s, i);
            if (end == std::string::npos && depth == 0) break;
            if (end != std::string::npos) {
                i = end - 1;
                continue;
            }
        }
        char c = s[i];
        if (c == '<' || c == '(' || c == '[' || c == '{')
            ++depth;
        else if (c == '>' || c == ')' || c == ']' || c == '}')
            depth = depth > 0 ? depth - 1 : 0;
        else if (depth == 0 && c == ':' && s[i + 1] == ':')
            sep = i;
    }
    if (sep == std::string::npos) return NoDots(s);
    return NoDots(s.substr(0, sep)) + "." + NoDots(s.substr(sep + 2));
}

Bytes EncodeDebugData(const std::vector<DebugUnit>& units, const TeaKey& key) {
    Bytes out;
    PutU32(out, 0);  // unit count, patched below
    uint32_t count = 0;
    for (const auto& unit : units) {
        const auto& pts = unit.Points;
        size_t i = 0;
        while (i < pts.size()) {
            // One written unit: points from i while lines rise and steps fit.
            Bytes recs;
            const DebugPoint& first = pts[i];
            uint32_t firstLine, curLine, curAddr = first.Offset;
            std::string curProc;
            if (!first.Proc.empty()) {
                // The unit's first point cannot name a procedure, so a point
                // one line above starts it with an empty code range.
                uint32_t sl = first.ProcStartLine && first.ProcStartLine < first.Line
                                  ? first.ProcStartLine
                                  : first.Line;
                firstLine = sl ? sl - 1 : 0;
                EncodeLineRecord(recs, sl - firstLine, 0, true);
                PutName(recs, key, first.Proc);
                curLine = sl;
                if (first.Line > sl) {
                    EncodeLineRecord(recs, first.Line - sl, 0, false);
                    curLine = first.Line;
                }
                curProc = first.Proc;
            } else {
                firstLine = curLine = first.Line;
            }
            size_t j = i + 1;
            for (; j < pts.size(); ++j) {
                const DebugPoint& p = pts[j];
                if (p.Line <= curLine || p.Line - curLine > 0x10000 ||
                    p.Offset - curAddr > 0x10000 || p.Offset < curAddr)
                    break;
                bool np = !p.Proc.empty() && p.Proc != curProc;
                EncodeLineRecord(recs, p.Line - curLine, p.Offset - curAddr, np);
                if (np) {
                    PutName(recs, key, p.Proc);
                    curProc = p.Proc;
                }
                curLine = p.Line;
                curAddr = p.Offset;
            }
            uint32_t end = j < pts.size() ? pts[j].Offset : unit.EndOffset;
            if (end <= curAddr) end = curAddr + 1;
            PutName(out, key, unit.Name);
            PutU32(out, firstLine);
            PutU32(out, first.Offset);
            PutU32(out, end - first.Offset);
            PutU32(out, uint32_t(recs.size()));
            out.insert(out.end(), recs.begin(), recs.end());
            ++count;
            i = j;
        }
    }
    for (int b = 0; b < 4; ++b)
        out[b] = uint8_t(count >> (8 * b));
    return out;
}

Bytes BuildLibraryData(const LibraryDataInput& in) {
    Bytes out;
    PutU32(out, kCLDataMagic);
    PutU16(out, kCLDataVersion);
    uint8_t t[8];
    std::memcpy(t, &in.BuildTime, 8);
    out.insert(out.end(), t, t + 8);
    out.push_back(in.LeakFlags);
    out.push_back(in.FollowMainLeakFlags);
    PutU32(out, uint32_t(in.Symbols.size() * 9));
    for (const auto& s : in.Symbols) {
        out.push_back(s.Id);
        PutU32(out, s.Offset);
        PutU32(out, s.Size);
    }
    Bytes opts = Deflate(in.Options);
    PutU32(out, uint32_t(opts.size()));
    out.insert(out.end(), opts.begin(), opts.end());
    PutU32(out, PasswordCheckWord(DebugKeyFromPassword(in.Password)));
    Bytes dbg;
    PutU32(dbg, uint32_t(in.DebugData.size()));
    dbg.insert(dbg.end(), in.DebugData.begin(), in.DebugData.end());
    Bytes z = Deflate(dbg);
    out.insert(out.end(), z.begin(), z.end());
    return out;
}

}  // namespace crashlog
