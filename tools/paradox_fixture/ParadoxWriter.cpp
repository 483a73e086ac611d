#include "ParadoxWriter.h"

#include <iconv.h>

#include <cstring>
#include <stdexcept>
#include <system_error>

#include "ParadoxTable.h"
#include "PracticeMove.h"

extern "C" {
#include <paradox.h>
}

namespace kvo::paradox {

namespace fs = std::filesystem;
using engine::TFieldType;
using engine::Variant;

namespace {

bool IsText(int type) {
    return type == pxAlpha || type == pxMemo || type == pxFmtMemo;
}

void PxErrors(pxdoc_t*, int, const char* message, void* data) {
    if (message != nullptr) *static_cast<std::string*>(data) = message;
}

}  // namespace

struct TParadoxWriter::Impl {
    pxdoc_t* doc = nullptr;
    std::string error;
    std::vector<TPxColumn> columns;
    std::vector<int> offsets;
    std::vector<char> record;
    fs::path blobFile;
    iconv_t toCodepage = reinterpret_cast<iconv_t>(-1);

    std::string Encode(const std::string& utf8) {
        if (toCodepage == reinterpret_cast<iconv_t>(-1)) return utf8;
        ::iconv(toCodepage, nullptr, nullptr, nullptr, nullptr);
        std::string out(utf8.size() + 4, '\0');
        char* src = const_cast<char*>(utf8.data());
        std::size_t srcLeft = utf8.size(), dstLeft = out.size();
        char* dst = out.data();
        if (::iconv(toCodepage, &src, &srcLeft, &dst, &dstLeft) == static_cast<std::size_t>(-1))
            throw std::runtime_error("text not representable in the table's code page: " + utf8);
        out.resize(out.size() - dstLeft);
        return out;
    }

    void Close() {
        if (doc == nullptr) return;
        PX_close(doc);
        PX_delete(doc);
        doc = nullptr;
        if (!blobFile.empty()) {
            std::error_code ec;
            const auto size = fs::file_size(blobFile, ec);
            if (!ec && size % 4096 != 0) fs::resize_file(blobFile, (size / 4096 + 1) * 4096, ec);
        }
    }

    ~Impl() {
        Close();
        if (toCodepage != reinterpret_cast<iconv_t>(-1)) ::iconv_close(toCodepage);
    }
};

TParadoxWriter::TParadoxWriter(const fs::path& dbFile, const std::vector<TPxColumn>& columns,
                               int keyFields, int codepage)
    : impl_(std::make_unique<Impl>()) {
    auto& impl = *impl_;
    impl.columns = columns;
    impl.doc = PX_new3(PxErrors, nullptr, nullptr, nullptr, &impl.error);
    pxdoc_t* doc = impl.doc;
    // pxlib takes the field array and frees it with its own allocator.
    auto* fields = static_cast<pxfield_t*>(
        doc->malloc(doc, sizeof(pxfield_t) * columns.size(), "fixture fields"));
    int offset = 0;
    bool blobs = false;
    for (std::size_t i = 0; i < columns.size(); ++i) {
        auto& column = impl.columns[i];
        if (FixedLength(column.type) != 0) column.length = FixedLength(column.type);
        fields[i].px_fname = PX_strdup(doc, column.name.c_str());
        fields[i].px_ftype = static_cast<char>(column.type);
        fields[i].px_flen = column.length;
        fields[i].px_fdc = 0;
        impl.offsets.push_back(offset);
        offset += column.length;
        blobs = blobs || IsBlobType(column.type);
    }
    if (PX_create_file(doc, fields, static_cast<int>(columns.size()), dbFile.c_str(),
                       keyFields > 0 ? pxfFileTypIndexDB : pxfFileTypNonIndexDB) < 0)
        throw std::runtime_error("cannot create " + dbFile.string() + ": " + impl.error);
    PX_set_tablename(doc, dbFile.stem().c_str());
    PX_set_value(doc, "numprimkeys", static_cast<float>(keyFields));
    PX_set_value(doc, "codepage", static_cast<float>(codepage));
    impl.toCodepage = ::iconv_open(("CP" + std::to_string(codepage)).c_str(), "UTF-8");
    if (blobs) {
        impl.blobFile = dbFile;
        impl.blobFile.replace_extension(".MB");
        if (PX_set_blob_file(doc, impl.blobFile.c_str()) < 0)
            throw std::runtime_error("cannot create " + impl.blobFile.string() + ": " + impl.error);
    }
    impl.record.assign(static_cast<std::size_t>(PX_get_recordsize(doc)), '\0');
}

TParadoxWriter::~TParadoxWriter() = default;

void TParadoxWriter::AddRow(const std::vector<Variant>& values) {
    auto& impl = *impl_;
    pxdoc_t* doc = impl.doc;
    if (doc == nullptr) throw std::runtime_error("the table is closed");
    if (values.size() != impl.columns.size())
        throw std::runtime_error("a row needs one value per field");
    std::fill(impl.record.begin(), impl.record.end(), '\0');
    for (std::size_t i = 0; i < values.size(); ++i) {
        const TPxColumn& column = impl.columns[i];
        const Variant& value = values[i];
        if (std::holds_alternative<std::monostate>(value)) continue;  // all zero bytes: null
        char* data = impl.record.data() + impl.offsets[i];
        const int len = column.length;
        auto text = [&] {
            if (const auto* s = std::get_if<std::string>(&value)) return *s;
            throw std::runtime_error("field " + column.name + " needs text");
        };
        auto number = [&]() -> double {
            if (const auto* d = std::get_if<double>(&value)) return *d;
            if (const auto* n = std::get_if<std::int64_t>(&value)) return static_cast<double>(*n);
            throw std::runtime_error("field " + column.name + " needs a number");
        };
        switch (column.type) {
            case pxAlpha: {
                // Stored in the table's code page; pxlib wants a writable text.
                std::string stored = impl.Encode(text());
                if (stored.size() > static_cast<std::size_t>(len))
                    throw std::runtime_error("field " + column.name + ": \"" + text() +
                                             "\" is longer than " + std::to_string(len));
                PX_put_data_alpha(doc, data, len, stored.data());
                break;
            }
            case pxShort:
                PX_put_data_short(doc, data, len, static_cast<short>(number()));
                break;
            case pxLong:
            case pxAutoInc:
                PX_put_data_long(doc, data, len, static_cast<int>(number()));
                break;
            case pxCurrency:
            case pxNumber:
                PX_put_data_double(doc, data, len, number());
                break;
            case pxLogical:
                PX_put_data_byte(doc, data, len, std::get<bool>(value) ? 1 : 0);
                break;
            case pxDate: {
                int d = 0, m = 0, y = 0;
                if (std::sscanf(text().c_str(), "%d/%d/%d", &d, &m, &y) != 3)
                    throw std::runtime_error("field " + column.name + " needs a DD/MM/YYYY date");
                PX_put_data_long(
                    doc, data, len,
                    static_cast<int>(PX_GregorianToSdn(y, m, d) - kSerialDayOfDayZero));
                break;
            }
            case pxTime: {
                int h = 0, m = 0, s = 0;
                if (std::sscanf(text().c_str(), "%d:%d:%d", &h, &m, &s) < 2)
                    throw std::runtime_error("field " + column.name + " needs a HH:MM:SS time");
                PX_put_data_long(doc, data, len, ((h * 60 + m) * 60 + s) * 1000);
                break;
            }
            default: {
                if (!IsBlobType(column.type))
                    throw std::runtime_error("field " + column.name + ": type not written here");
                std::string bytes = IsText(column.type) ? impl.Encode(text()) : text();
                if (PX_put_data_blob(doc, data, len, bytes.data(), static_cast<int>(bytes.size())) <
                    0)
                    throw std::runtime_error("cannot write the memo of field " + column.name +
                                             ": " + impl.error);
                break;
            }
        }
    }
    if (PX_put_record(doc, impl.record.data()) < 0)
        throw std::runtime_error("cannot write a record: " + impl.error);
}

void TParadoxWriter::Close() {
    impl_->Close();
}

void WriteParadoxTable(const fs::path& dbFile, const std::vector<TPxColumn>& columns, int keyFields,
                       const std::vector<std::vector<Variant>>& rows, int codepage) {
    TParadoxWriter writer(dbFile, columns, keyFields, codepage);
    for (const auto& row : rows)
        writer.AddRow(row);
    writer.Close();
}

namespace {

TPxColumn ColumnFor(const engine::TFieldDef& def) {
    switch (def.DataType) {
        case TFieldType::String:
            if (def.Size >= 1 && def.Size <= 255) return {def.Name, pxAlpha, def.Size};
            return {def.Name, pxMemo, 60};
        case TFieldType::Integer:
            return {def.Name, pxLong, 4};
        case TFieldType::Number:
            return {def.Name, pxNumber, 8};
        case TFieldType::Currency:
            return {def.Name, pxCurrency, 8};
        case TFieldType::Logical:
            return {def.Name, pxLogical, 1};
        case TFieldType::Date:
            return {def.Name, pxDate, 4};
        case TFieldType::Time:
            return {def.Name, pxTime, 4};
        case TFieldType::Memo:
            return {def.Name, pxMemo, 40};
    }
    return {def.Name, pxMemo, 40};
}

}  // namespace

std::int64_t ExportPractice(const std::string& location, const fs::path& folder,
                            const TExportProgress& progress) {
    constexpr const char* kDatabase = "KVO_PARADOX_EXPORT";
    const std::string tables = move::TablesLocation(location);
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec) throw std::runtime_error("cannot create " + folder.string() + ": " + ec.message());
    move::OpenPractice(kDatabase, tables);
    struct TRelease {
        ~TRelease() { engine::Session().RemoveDatabase("KVO_PARADOX_EXPORT"); }
    } release;
    std::int64_t total = 0;
    for (const auto& name : move::ListTables(tables)) {
        const auto schema = move::ReadSchema(kDatabase, tables, name);
        std::vector<TPxColumn> columns;
        // A Paradox key is the leading fields, so they go first.
        std::vector<std::string> key;
        for (std::size_t start = 0; start <= schema.key.size();) {
            const auto end = std::min(schema.key.find(';', start), schema.key.size());
            if (end > start) key.push_back(schema.key.substr(start, end - start));
            start = end + 1;
        }
        std::vector<int> order;
        for (const auto& k : key)
            for (std::size_t i = 0; i < schema.fields.size(); ++i)
                if (schema.fields[i].Name == k) order.push_back(static_cast<int>(i));
        for (std::size_t i = 0; i < schema.fields.size(); ++i)
            if (std::find(order.begin(), order.end(), static_cast<int>(i)) == order.end())
                order.push_back(static_cast<int>(i));
        for (int i : order)
            columns.push_back(ColumnFor(schema.fields[static_cast<std::size_t>(i)]));

        engine::TTable table;
        table.SetDatabaseName(kDatabase);
        table.SetTableName(name);
        table.SetIndexFieldNames(schema.key);  // walk a keyed table in key order
        table.Open();
        const auto fields = table.Fields();
        TParadoxWriter writer(folder / (name + ".DB"), columns, static_cast<int>(key.size()));
        std::vector<Variant> row(columns.size());
        std::int64_t rows = 0;
        for (table.First(); !table.Eof(); table.Next()) {
            for (std::size_t c = 0; c < order.size(); ++c)
                row[c] = fields[static_cast<std::size_t>(order[c])]->Value();
            writer.AddRow(row);
            ++rows;
        }
        writer.Close();
        total += rows;
        if (progress) progress(name, rows);
    }
    return total;
}

}  // namespace kvo::paradox
