#include "ParadoxTable.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <set>
#include <system_error>

#include "ParadoxBlob.h"

extern "C" {
#include <paradox.h>
}

namespace kvo::paradox {

namespace fs = std::filesystem;
using engine::TFieldDef;
using engine::TFieldType;
using engine::Variant;

int FixedLength(int type) {
    switch (type) {
        case pxDate:
        case pxLong:
        case pxTime:
        case pxAutoInc:
            return 4;
        case pxShort:
            return 2;
        case pxCurrency:
        case pxNumber:
        case pxTimestamp:
            return 8;
        case pxLogical:
            return 1;
        case pxBcd:
            return 17;
        default:
            return 0;
    }
}

bool IsBlobType(int type) {
    return type == pxMemo || type == pxFmtMemo || type == pxBlob || type == pxOle ||
           type == pxGraphic;
}

namespace {

constexpr double kMsPerDay = 86400000.0;

std::uint32_t Le16(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8;
}

std::uint32_t Le32(const unsigned char* p) {
    return Le16(p) | Le16(p + 2) << 16;
}

bool KnownType(int type) {
    switch (type) {
        case pxAlpha:
        case pxDate:
        case pxShort:
        case pxLong:
        case pxCurrency:
        case pxNumber:
        case pxLogical:
        case pxMemo:
        case pxBlob:
        case pxFmtMemo:
        case pxOle:
        case pxGraphic:
        case pxTime:
        case pxTimestamp:
        case pxAutoInc:
        case pxBcd:
        case pxBytes:
            return true;
        default:
            return false;
    }
}

bool IsBinaryType(int type) {
    return type == pxBlob || type == pxOle || type == pxGraphic || type == pxBytes;
}

std::string Base64(const std::string& bytes) {
    static const char* kDigits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        const unsigned v = static_cast<unsigned char>(bytes[i]) << 16 |
                           static_cast<unsigned char>(bytes[i + 1]) << 8 |
                           static_cast<unsigned char>(bytes[i + 2]);
        out += {kDigits[v >> 18], kDigits[v >> 12 & 63], kDigits[v >> 6 & 63], kDigits[v & 63]};
    }
    if (i < bytes.size()) {
        unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
        if (i + 1 < bytes.size()) v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        out += kDigits[v >> 18];
        out += kDigits[v >> 12 & 63];
        out += i + 1 < bytes.size() ? kDigits[v >> 6 & 63] : '=';
        out += '=';
    }
    return out;
}

std::string DateText(long paradoxDay, bool& ok) {
    int y = 0, m = 0, d = 0;
    ok = paradoxDay >= 1 && paradoxDay <= 3652059;  // 1 January 1 .. 31 December 9999
    if (!ok) return {};
    PX_SdnToGregorian(paradoxDay + kSerialDayOfDayZero, &y, &m, &d);
    char text[16];
    std::snprintf(text, sizeof text, "%02d/%02d/%04d", d, m, y);
    return text;
}

std::string TimeText(long ms, bool& ok) {
    ok = ms >= 0 && ms < static_cast<long>(kMsPerDay);
    if (!ok) return {};
    const long s = ms / 1000;
    char text[16];
    std::snprintf(text, sizeof text, "%02ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    return text;
}

// Text of the table's code page as UTF-8.
class TRecoder {
  public:
    explicit TRecoder(int codepage) {
        const std::string from = "CP" + std::to_string(codepage > 0 ? codepage : 1252);
        cd_ = ::iconv_open("UTF-8", from.c_str());
    }
    ~TRecoder() {
        if (cd_ != reinterpret_cast<iconv_t>(-1)) ::iconv_close(cd_);
    }
    bool Convert(const std::string& in, std::string& out) {
        if (cd_ == reinterpret_cast<iconv_t>(-1)) return false;
        ::iconv(cd_, nullptr, nullptr, nullptr, nullptr);
        out.assign(in.size() * 4 + 4, '\0');
        char* src = const_cast<char*>(in.data());
        std::size_t srcLeft = in.size();
        char* dst = out.data();
        std::size_t dstLeft = out.size();
        if (::iconv(cd_, &src, &srcLeft, &dst, &dstLeft) == static_cast<std::size_t>(-1))
            return false;
        out.resize(out.size() - dstLeft);
        return true;
    }

  private:
    iconv_t cd_;
};

void PxErrors(pxdoc_t*, int, const char* message, void* data) {
    auto* last = static_cast<std::string*>(data);
    if (last != nullptr && message != nullptr) *last = message;
}

}  // namespace

std::string TypeName(int type) {
    switch (type) {
        case pxAlpha:
            return "Alpha";
        case pxDate:
            return "Date";
        case pxShort:
            return "Short";
        case pxLong:
            return "Long integer";
        case pxCurrency:
            return "Money";
        case pxNumber:
            return "Number";
        case pxLogical:
            return "Logical";
        case pxMemo:
            return "Memo";
        case pxBlob:
            return "Binary";
        case pxFmtMemo:
            return "Formatted memo";
        case pxOle:
            return "OLE";
        case pxGraphic:
            return "Graphic";
        case pxTime:
            return "Time";
        case pxTimestamp:
            return "Timestamp";
        case pxAutoInc:
            return "Autoincrement";
        case pxBcd:
            return "BCD";
        case pxBytes:
            return "Bytes";
        default:
            return "type " + std::to_string(type);
    }
}

TFieldMapping MapField(const TParadoxField& field) {
    TFieldMapping m;
    m.def.Name = field.name;
    switch (field.type) {
        case pxAlpha:
            m.def.DataType = TFieldType::String;
            m.def.Size = field.length;
            break;
        case pxDate:
            m.def.DataType = TFieldType::Date;
            break;
        case pxShort:
        case pxLong:
        case pxAutoInc:
            m.def.DataType = TFieldType::Integer;
            break;
        case pxCurrency:
            m.def.DataType = TFieldType::Currency;
            break;
        case pxNumber:
            m.def.DataType = TFieldType::Number;
            break;
        case pxBcd:
            m.def.DataType = TFieldType::Number;
            m.note = "BCD kept as a floating-point number";
            break;
        case pxLogical:
            m.def.DataType = TFieldType::Logical;
            break;
        case pxTime:
            m.def.DataType = TFieldType::Time;
            break;
        case pxTimestamp:
            m.def.DataType = TFieldType::String;
            m.def.Size = 19;
            m.note = "timestamps kept as text DD/MM/YYYY HH:MM:SS";
            break;
        case pxMemo:
        case pxFmtMemo:
            m.def.DataType = TFieldType::Memo;
            break;
        default:  // the binary kinds
            m.def.DataType = TFieldType::Memo;
            m.note = TypeName(field.type) + " data kept as base64 text";
            break;
    }
    return m;
}

struct TParadoxTable::Impl {
    pxdoc_t* doc = nullptr;
    std::string pxError;
    std::FILE* file = nullptr;
    std::size_t recordSize = 0;
    // Where each data block's records start, and how many it holds, in
    // chain order; rowStart[i] is the number of rows before block i.
    std::vector<std::uint64_t> blockStart;
    std::vector<std::int64_t> rowStart;
    std::int64_t rows = 0;
    std::int64_t millisecondsDropped = 0;
    std::vector<int> offsets;  // each field's offset in the record
    std::vector<unsigned char> record;
    std::unique_ptr<TBlobFile> blobs;
    std::unique_ptr<TRecoder> recoder;

    ~Impl() {
        if (doc != nullptr) {
            PX_close(doc);
            PX_delete(doc);
        }
        if (file != nullptr) std::fclose(file);
    }
};

namespace {

fs::path BlobFileBeside(const fs::path& dbFile) {
    std::error_code ec;
    for (const char* ext : {".MB", ".mb", ".Mb", ".mB"}) {
        fs::path candidate = dbFile;
        candidate.replace_extension(ext);
        if (fs::exists(candidate, ec)) return candidate;
    }
    fs::path absent = dbFile;
    return absent.replace_extension(".MB");
}

}  // namespace

TParadoxTable::TParadoxTable(const fs::path& dbFile) : impl_(std::make_unique<Impl>()) {
    const std::string name = dbFile.filename().string();
    auto damaged = [&](const std::string& why) {
        return EParadoxError("the table file " + name + " is damaged: " + why);
    };
    std::error_code ec;
    const std::uint64_t fileSize = fs::file_size(dbFile, ec);
    if (ec) throw EParadoxError("cannot read " + dbFile.string() + ": " + ec.message());
    impl_->file = std::fopen(dbFile.c_str(), "rb");
    if (impl_->file == nullptr)
        throw EParadoxError("cannot read " + dbFile.string() + ": " + std::strerror(errno));

    // The structure is checked here before pxlib sees the file: pxlib loops
    // for ever on a looping block chain and trusts every size it reads.
    std::vector<unsigned char> head(0x78);
    if (fileSize < head.size() ||
        std::fread(head.data(), 1, head.size(), impl_->file) != head.size())
        throw damaged("it is too short for a table header");
    const std::uint32_t recordSize = Le16(&head[0]);
    const std::uint32_t headerSize = Le16(&head[2]);
    const int fileType = head[4];
    const std::uint32_t blockKb = head[5];
    const std::int64_t stated = static_cast<std::int64_t>(Le32(&head[6]));
    const std::uint32_t firstBlock = Le16(&head[0x0E]);
    const int count = static_cast<int>(Le16(&head[0x21]));
    keyFields_ = static_cast<int>(Le16(&head[0x23]));
    // Tables from Paradox 4 on describe their fields after a longer header.
    const std::size_t fieldInfo = head[0x39] >= 5 ? 0x78 : 0x58;
    // Tables from Paradox 4 on keep a fixed marker where older ones keep
    // their password's key, and the key further on; pxlib, given a key,
    // decrypts blocks wherever the header sends it.
    const std::uint32_t oldKey = Le32(&head[0x25]);
    const bool newHeader = fieldInfo == 0x78;
    if (newHeader && oldKey != 0xFF00FF00u && oldKey != 0)
        throw damaged("its header's encryption marker is damaged");
    if ((newHeader ? Le32(&head[0x5C]) : oldKey) != 0)
        throw EParadoxError("the table file " + name +
                            " is password-protected; remove its password in the old system first");
    if (fileType != pxfFileTypIndexDB && fileType != pxfFileTypNonIndexDB)
        throw damaged("it is not a table file (file type " + std::to_string(fileType) + ")");
    if (count < 1 || count > 255) throw damaged("it states " + std::to_string(count) + " fields");
    if (keyFields_ > count)
        throw damaged("it states " + std::to_string(keyFields_) + " key fields for " +
                      std::to_string(count) + " fields");
    if (headerSize < fieldInfo + 2u * count || headerSize > fileSize)
        throw damaged("its header size " + std::to_string(headerSize) + " is impossible");
    if (blockKb < 1 || blockKb > 32) throw damaged("its block size is " + std::to_string(blockKb));
    const std::uint64_t blockSize = blockKb * 1024ull;
    if (recordSize == 0 || recordSize + 6 > blockSize)
        throw damaged("its record size " + std::to_string(recordSize) + " does not fit a block");
    head.resize(fieldInfo + 2u * count);
    if (::fseeko(impl_->file, 0, SEEK_SET) != 0 ||
        std::fread(head.data(), 1, head.size(), impl_->file) != head.size())
        throw damaged("its field descriptions cannot be read");
    int offset = 0;
    for (int i = 0; i < count; ++i) {
        const int type = head[fieldInfo + 2u * i], length = head[fieldInfo + 2u * i + 1];
        const std::string which = "field " + std::to_string(i + 1);
        if (!KnownType(type))
            throw damaged(which + " has the unknown type " + std::to_string(type));
        const int fixed = FixedLength(type);
        const bool lengthOk = fixed != 0         ? length == fixed
                              : IsBlobType(type) ? length > static_cast<int>(kBlobPointerSize)
                                                 : length >= 1;
        if (!lengthOk)
            throw damaged(which + " (" + TypeName(type) + ") is " + std::to_string(length) +
                          " bytes long");
        impl_->offsets.push_back(offset);
        offset += length;
        fields_.push_back({"", type, length, 0});
    }
    if (static_cast<int>(recordSize) != offset)
        throw damaged("its record size " + std::to_string(recordSize) +
                      " does not match its fields (" + std::to_string(offset) + " bytes)");

    // The chain of data blocks: every block inside the file, none twice,
    // each holding whole records, together as many as the header counts.
    std::uint32_t block = firstBlock;
    std::set<std::uint32_t> visited;
    while (block != 0) {
        if (!visited.insert(block).second) throw damaged("its chain of data blocks loops");
        const std::uint64_t start = headerSize + (block - 1ull) * blockSize;
        if (start + blockSize > fileSize)
            throw damaged("data block " + std::to_string(block) + " lies past the end of the file");
        unsigned char blockHead[6];
        if (::fseeko(impl_->file, static_cast<off_t>(start), SEEK_SET) != 0 ||
            std::fread(blockHead, 1, sizeof blockHead, impl_->file) != sizeof blockHead)
            throw damaged("data block " + std::to_string(block) + " cannot be read");
        const auto added = static_cast<std::int16_t>(Le16(blockHead + 4));
        const std::int64_t used = added + static_cast<std::int64_t>(recordSize);
        if (used < 0 || used % recordSize != 0 || static_cast<std::uint64_t>(used) + 6 > blockSize)
            throw damaged("data block " + std::to_string(block) + " states an impossible fill");
        if (used > 0) {
            impl_->blockStart.push_back(start + 6);
            impl_->rowStart.push_back(impl_->rows);
            impl_->rows += used / recordSize;
        }
        block = Le16(blockHead);
    }
    if (impl_->rows != stated)
        throw damaged("its header counts " + std::to_string(stated) + " records, its blocks hold " +
                      std::to_string(impl_->rows));

    // Now pxlib: names, code page, encryption, and the values themselves.
    impl_->doc = PX_new3(PxErrors, nullptr, nullptr, nullptr, &impl_->pxError);
    if (impl_->doc == nullptr) throw EParadoxError("out of memory opening " + name);
    PX_set_parameter(impl_->doc, "warning", "false");
    if (PX_open_file(impl_->doc, dbFile.c_str()) < 0)
        throw damaged(impl_->pxError.empty() ? "its header cannot be read" : impl_->pxError);
    const pxhead_t& h = *impl_->doc->px_head;
    if (PX_get_num_fields(impl_->doc) != count) throw damaged("its field list cannot be read");
    std::set<std::string> seen;
    for (int i = 0; i < count; ++i) {
        const pxfield_t* f = PX_get_field(impl_->doc, i);
        auto& field = fields_[static_cast<std::size_t>(i)];
        if (f == nullptr || f->px_fname == nullptr || f->px_fname[0] == '\0' ||
            static_cast<unsigned char>(f->px_ftype) != field.type || f->px_flen != field.length)
            throw damaged("the name of field " + std::to_string(i + 1) + " cannot be read");
        field.name = f->px_fname;
        field.decimals = f->px_fdc;
        // pxlib places the decimal point of a BCD value by this count.
        if (field.type == pxBcd && (field.decimals < 0 || field.decimals > 32))
            throw damaged("field " + field.name + " states " + std::to_string(field.decimals) +
                          " decimals");
    }
    codepage_ = h.px_doscodepage;
    impl_->recordSize = recordSize;

    // Alpha fields come out of pxlib as UTF-8; memos are converted here.
    PX_set_targetencoding(impl_->doc, "UTF-8");
    impl_->recoder = std::make_unique<TRecoder>(codepage_);
    impl_->blobs = std::make_unique<TBlobFile>(BlobFileBeside(dbFile));
    impl_->record.resize(recordSize);
}

TParadoxTable::~TParadoxTable() = default;

std::int64_t TParadoxTable::MillisecondsDropped() const {
    return impl_->millisecondsDropped;
}

std::int64_t TParadoxTable::RowCount() const {
    return impl_->rows;
}

bool TParadoxTable::ReadRow(std::int64_t row, std::vector<Variant>& values, std::string& problem) {
    auto& impl = *impl_;
    values.assign(fields_.size(), std::monostate{});
    if (row < 0 || row >= impl.rows) {
        problem = "no such record";
        return false;
    }
    // Rows are numbered across blocks in chain order.
    const auto it = std::upper_bound(impl.rowStart.begin(), impl.rowStart.end(), row);
    const std::size_t blockIndex = static_cast<std::size_t>(it - impl.rowStart.begin()) - 1;
    const std::uint64_t at =
        impl.blockStart[blockIndex] +
        static_cast<std::uint64_t>(row - impl.rowStart[blockIndex]) * impl.recordSize;
    if (::fseeko(impl.file, static_cast<off_t>(at), SEEK_SET) != 0 ||
        std::fread(impl.record.data(), 1, impl.recordSize, impl.file) != impl.recordSize) {
        problem = "the record cannot be read from the file";
        return false;
    }
    pxdoc_t* doc = impl.doc;
    for (std::size_t i = 0; i < fields_.size(); ++i) {
        const TParadoxField& field = fields_[i];
        auto* data = reinterpret_cast<char*>(impl.record.data() + impl.offsets[i]);
        auto fail = [&](const std::string& why) {
            problem = "field " + field.name + ": " + why;
            return false;
        };
        bool empty = true;
        for (int b = 0; b < field.length && empty; ++b)
            empty = data[b] == 0;
        if (empty) continue;  // null
        bool ok = true;
        switch (field.type) {
            case pxAlpha: {
                char* text = nullptr;
                const int rc = PX_get_data_alpha(doc, data, field.length, &text);
                if (rc < 0)
                    return fail("its text cannot be converted from code page " +
                                std::to_string(codepage_));
                if (rc > 0 && text != nullptr) {
                    values[i] = std::string(text);
                    doc->free(doc, text);
                }
                break;
            }
            case pxShort: {
                short value = 0;
                if (PX_get_data_short(doc, data, field.length, &value) < 0)
                    return fail("not a number");
                values[i] = std::int64_t{value};
                break;
            }
            case pxLong:
            case pxAutoInc:
            case pxDate:
            case pxTime: {
                long value = 0;
                if (PX_get_data_long(doc, data, field.length, &value) < 0)
                    return fail("not a number");
                if (field.type == pxDate) {
                    values[i] = DateText(value, ok);
                    if (!ok) return fail("day " + std::to_string(value) + " is not a date");
                } else if (field.type == pxTime) {
                    values[i] = TimeText(value, ok);
                    if (ok && value % 1000 != 0) ++impl.millisecondsDropped;
                    if (!ok) return fail(std::to_string(value) + " ms is not a time of day");
                } else {
                    values[i] = std::int64_t{value};
                }
                break;
            }
            case pxCurrency:
            case pxNumber:
            case pxTimestamp: {
                double value = 0;
                if (PX_get_data_double(doc, data, field.length, &value) < 0 ||
                    !std::isfinite(value))
                    return fail("not a number");
                if (field.type != pxTimestamp) {
                    values[i] = value;
                    break;
                }
                const double days = std::floor(value / kMsPerDay);
                const std::string date = DateText(static_cast<long>(days), ok);
                if (!ok) return fail("not a timestamp");
                const std::string time = TimeText(static_cast<long>(value - days * kMsPerDay), ok);
                values[i] = date + " " + time;
                break;
            }
            case pxLogical: {
                char value = 0;
                if (PX_get_data_byte(doc, data, field.length, &value) < 0 ||
                    (value != 0 && value != 1))
                    return fail("the byte " + std::to_string(static_cast<unsigned char>(data[0])) +
                                " is not a logical value");
                values[i] = value == 1;
                break;
            }
            case pxBcd: {
                char* text = nullptr;
                if (PX_get_data_bcd(doc, reinterpret_cast<unsigned char*>(data), field.decimals,
                                    &text) < 0 ||
                    text == nullptr)
                    return fail("not a BCD number");
                const std::string digits(text);
                doc->free(doc, text);
                char* end = nullptr;
                const double value = std::strtod(digits.c_str(), &end);
                if (end == digits.c_str() || *end != '\0') return fail("not a BCD number");
                values[i] = value;
                break;
            }
            case pxBytes:
                values[i] = Base64(std::string(data, static_cast<std::size_t>(field.length)));
                break;
            default: {  // memo and BLOB kinds
                const auto* tail =
                    reinterpret_cast<const unsigned char*>(data) + field.length - kBlobPointerSize;
                const std::uint32_t offset = Le32(tail), length = Le32(tail + 4);
                const std::size_t leader =
                    static_cast<std::size_t>(field.length) - kBlobPointerSize;
                std::string bytes;
                if (offset == 0) {
                    if (length > leader)
                        return fail("a memo of " + std::to_string(length) +
                                    " bytes has no place in the memo file");
                    bytes.assign(data, length);
                } else {
                    std::string why;
                    if (!impl.blobs->Read(offset, length, bytes, why)) return fail(why);
                }
                if (IsBinaryType(field.type)) {
                    values[i] = Base64(bytes);
                } else {
                    std::string text;
                    if (!impl.recoder->Convert(bytes, text))
                        return fail("its text cannot be converted from code page " +
                                    std::to_string(codepage_));
                    if (!text.empty()) values[i] = std::move(text);
                }
                break;
            }
        }
    }
    return true;
}

}  // namespace kvo::paradox
