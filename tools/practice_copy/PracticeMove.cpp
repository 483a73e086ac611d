#include "PracticeMove.h"

#include <sqlite3.h>

#include <algorithm>
#include <bit>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <system_error>

#include "PracticeCatalog.h"

namespace kvo::move {

namespace fs = std::filesystem;
using engine::Session;
using engine::TField;
using engine::TFieldType;
using engine::TTable;

namespace {

// Session database names used while moving; never KVO, so that a program
// that also holds KVO open is left alone.
constexpr const char* kSourceDatabase = "KVO_MOVE_FROM";
constexpr const char* kTargetDatabase = "KVO_MOVE_TO";

bool StartsWith(const std::string& text, const char* prefix) {
    return text.rfind(prefix, 0) == 0;
}

// FNV-1a, 64 bits: small, stable across builds and machines.
class THash {
  public:
    void Bytes(const void* data, std::size_t size) {
        const auto* p = static_cast<const unsigned char*>(data);
        for (std::size_t i = 0; i < size; ++i) {
            value_ ^= p[i];
            value_ *= 0x100000001b3ull;
        }
    }
    void Tag(char tag) { Bytes(&tag, 1); }
    std::uint64_t Value() const { return value_; }

  private:
    std::uint64_t value_ = 0xcbf29ce484222325ull;
};

}  // namespace

bool IsConnectionString(const std::string& location) {
    if (StartsWith(location, "postgresql://") || StartsWith(location, "postgres://")) return true;
    // The keyword form: "host=… dbname=…".  A folder name could hold '=',
    // so it takes a known keyword at the start.
    for (const char* keyword : {"host=", "hostaddr=", "dbname=", "port=", "user=", "service="})
        if (StartsWith(location, keyword)) return true;
    return false;
}

std::string TablesLocation(const std::string& location) {
    if (IsConnectionString(location)) return location;
    std::error_code ec;
    const fs::path folder(location);
    if (!fs::exists(folder / engine::kDatabaseFileName, ec) &&
        fs::exists(folder / "Data" / engine::kDatabaseFileName, ec))
        return (folder / "Data").string();
    return location;
}

engine::TDatabase& OpenPractice(const std::string& name, const std::string& location) {
    Session().RemoveDatabase(name);
    auto& database = Session().Database(name);
    database.Params() = {(IsConnectionString(location) ? "CONNECTION=" : "PATH=") + location};
    database.Open();
    return database;
}

std::vector<std::string> ListTables(const std::string& location) {
    return detail::Catalog(location)->Tables();
}

TTableSchema ReadSchema(const std::string& databaseName, const std::string& location,
                        const std::string& table) {
    TTableSchema schema;
    schema.name = table;
    TTable t;
    t.SetDatabaseName(databaseName);
    t.SetTableName(table);
    t.UpdateFieldDefs();
    schema.fields = t.FieldDefs();
    auto catalog = detail::Catalog(location);
    schema.key = catalog->Key(table);
    schema.indexes = catalog->Indexes(table);
    return schema;
}

void TTableSum::AddRow(const std::vector<TField*>& fields) {
    THash hash;
    for (const TField* field : fields) {
        const auto value = field->Value();
        if (std::holds_alternative<std::monostate>(value)) {
            hash.Tag('N');
        } else if (const auto* s = std::get_if<std::string>(&value)) {
            hash.Tag('S');
            const std::uint64_t size = s->size();
            hash.Bytes(&size, sizeof size);
            hash.Bytes(s->data(), s->size());
        } else if (const auto* i = std::get_if<std::int64_t>(&value)) {
            hash.Tag('I');
            hash.Bytes(i, sizeof *i);
        } else if (const auto* d = std::get_if<double>(&value);
                   d != nullptr && field->DataType() == TFieldType::Currency &&
                   std::fabs(*d) < 9e14) {
            // Money counts to a ten-thousandth: a server that keeps it as a
            // decimal may round away the binary noise below that
            // (27.500000000000004 comes back as 27.5), which is no change.
            hash.Tag('C');
            const auto units = static_cast<std::int64_t>(std::llround(*d * 10000.0));
            hash.Bytes(&units, sizeof units);
        } else if (const auto* d = std::get_if<double>(&value)) {
            hash.Tag('D');
            // -0.0 and 0.0 are the same amount of money.
            const double canonical = *d == 0.0 ? 0.0 : *d;
            const auto bits = std::bit_cast<std::uint64_t>(canonical);
            hash.Bytes(&bits, sizeof bits);
        } else {
            hash.Tag(std::get<bool>(value) ? 'T' : 'F');
        }
    }
    // A sum, not an exclusive or: two equal rows must not cancel out.
    checksum += hash.Value();
    ++rows;
}

TTableSum SumTable(const std::string& databaseName, const std::string& table) {
    TTable t;
    t.SetDatabaseName(databaseName);
    t.SetTableName(table);
    t.Open();
    const auto fields = t.Fields();
    TTableSum sum;
    for (t.First(); !t.Eof(); t.Next())
        sum.AddRow(fields);
    return sum;
}

std::string ChecksumText(std::uint64_t checksum) {
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(checksum));
    return text;
}

void RequireEmptyTarget(const std::string& location) {
    const auto tables = ListTables(location);
    if (tables.empty()) return;
    std::string names;
    for (std::size_t i = 0; i < tables.size() && i < 5; ++i)
        names += (i == 0 ? "" : ", ") + tables[i];
    if (tables.size() > 5) names += ", …";
    throw std::runtime_error("the target practice " + location + " already has " +
                             std::to_string(tables.size()) + " table(s) (" + names +
                             "); copy only into a practice that has none");
}

namespace {

void CopyRows(const TTableSchema& schema, TTable& source, TTable& target, TTableSum& sum,
              const TCopyProgress& progress) {
    const auto from = source.Fields();
    const auto to = target.Fields();
    const std::int64_t total = progress ? source.RecordCount() : 0;
    if (progress) progress(schema.name, 0, total);
    for (source.First(); !source.Eof(); source.Next()) {
        target.Append();
        try {
            for (std::size_t i = 0; i < from.size(); ++i)
                to[i]->SetValue(from[i]->Value());
            target.Post();
        } catch (const std::exception& e) {
            target.Cancel();
            throw std::runtime_error("table " + schema.name + ", row " +
                                     std::to_string(sum.rows + 1) + ": " + e.what());
        }
        sum.AddRow(from);
        if (progress && sum.rows % 20000 == 0) progress(schema.name, sum.rows, total);
    }
    if (progress) progress(schema.name, sum.rows, total);
}

std::vector<TCopiedTable> CopyTables(const std::string& from, const std::string& to,
                                     const TCopyProgress& progress) {
    std::vector<TCopiedTable> copied;
    for (const auto& name : ListTables(from)) {
        const TTableSchema schema = ReadSchema(kSourceDatabase, from, name);
        TTable source, destination;
        source.SetDatabaseName(kSourceDatabase);
        source.SetTableName(name);
        source.Open();

        destination.SetDatabaseName(kTargetDatabase);
        destination.SetTableName(name);
        destination.FieldDefs() = schema.fields;
        destination.SetIndexFieldNames(schema.key);
        destination.CreateTable();
        destination.Open();

        TCopiedTable table{name, {}};
        CopyRows(schema, source, destination, table.sum, progress);
        // Indexes after the rows: building each once beats keeping it up
        // to date row by row.
        for (const auto& [indexName, fields] : schema.indexes)
            destination.AddIndex(indexName, fields);
        destination.Close();
        copied.push_back(std::move(table));
    }
    // Read back what the target now holds, through a fresh cursor, before
    // anything is committed.
    for (const auto& table : copied) {
        const TTableSum stored = SumTable(kTargetDatabase, table.name);
        if (stored != table.sum)
            throw std::runtime_error("table " + table.name + " does not read back as copied: " +
                                     std::to_string(table.sum.rows) + " rows with checksum " +
                                     ChecksumText(table.sum.checksum) + " in " + from + ", " +
                                     std::to_string(stored.rows) + " rows with checksum " +
                                     ChecksumText(stored.checksum) + " in " + to);
    }
    return copied;
}

// Releases the move's session databases whatever happens.
struct TDatabases {
    ~TDatabases() {
        Session().RemoveDatabase(kSourceDatabase);
        Session().RemoveDatabase(kTargetDatabase);
    }
};

}  // namespace

std::vector<TCopiedTable> CopyPractice(const std::string& fromLocation,
                                       const std::string& toLocation,
                                       const TCopyProgress& progress) {
    const std::string from = TablesLocation(fromLocation);
    const std::string to = toLocation;
    if (!IsConnectionString(from) && !fs::exists(fs::path(from) / engine::kDatabaseFileName))
        throw std::runtime_error("no practice tables in " + fromLocation + " (no " +
                                 engine::kDatabaseFileName + " there or in its Data folder)");
    if (!IsConnectionString(to) && fs::exists(fs::path(to) / "Data" / engine::kDatabaseFileName))
        throw std::runtime_error("the target folder " + to +
                                 " holds a practice in its Data folder; copy only into a "
                                 "practice that has no tables");
    if (!IsConnectionString(from) && !IsConnectionString(to)) {
        std::error_code ec;
        if (fs::equivalent(from, to, ec))
            throw std::runtime_error("the source and the target are the same practice");
    }
    if (ListTables(from).empty())
        throw std::runtime_error("the practice " + from + " has no tables");
    RequireEmptyTarget(to);

    TDatabases release;
    OpenPractice(kSourceDatabase, from);
    const fs::path targetFile = fs::path(to) / engine::kDatabaseFileName;
    const bool newFile = !IsConnectionString(to) && !fs::exists(targetFile);
    if (!IsConnectionString(to)) {
        std::error_code ec;
        fs::create_directories(to, ec);
        if (ec) throw std::runtime_error("cannot create the folder " + to + ": " + ec.message());
    }
    auto& target = OpenPractice(kTargetDatabase, to);
    target.StartTransaction();
    std::vector<TCopiedTable> copied;
    try {
        copied = CopyTables(from, to, progress);
        target.Commit();
    } catch (...) {
        try {
            target.Rollback();
        } catch (...) {
            // The first failure is the one to report; a rollback that cannot
            // run means the connection is gone and took the transaction along.
        }
        if (newFile) {
            // An empty table file left behind would only puzzle the next try.
            Session().RemoveDatabase(kTargetDatabase);
            std::error_code ec;
            for (const char* suffix : {"", "-wal", "-shm"})
                fs::remove(targetFile.string() + suffix, ec);
        }
        throw;
    }
    return copied;
}

}  // namespace kvo::move
