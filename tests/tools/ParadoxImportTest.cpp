// The Paradox import over tables written by pxlib's own writer: every field
// type the practice tables use, nulls, memos inline and in the memo file,
// damaged files and unreadable rows.
#include <cstring>
#include <fstream>

#include "ParadoxBlob.h"
#include "ParadoxImport.h"
#include "ParadoxTable.h"
#include "ParadoxWriter.h"
#include "PgServer.h"
#include "ToolsFixture.h"

namespace kvo::tools::testing {
namespace {

using engine::Session;
using engine::TFieldType;
using engine::TTable;
using engine::Variant;
using namespace kvo::paradox;

const std::string kLongMemo(5000, 'm');   // a block of its own in the memo file
const std::string kMiddleMemo(300, 'k');  // a slot of a shared block
const std::string kShortMemo = "Zoë ok";  // fits the record's leader

// One table with a field of every kind the practice tables use; its key is
// the first field.
std::vector<TPxColumn> AllKinds() {
    return {{"Name", pxAlpha, 20},    {"Day", pxDate, 4},     {"Small", pxShort, 2},
            {"Whole", pxLong, 4},     {"Fee", pxCurrency, 8}, {"Ratio", pxNumber, 8},
            {"Closed", pxLogical, 1}, {"Notes", pxMemo, 20},  {"At", pxTime, 4},
            {"Counter", pxAutoInc, 4}};
}

std::vector<std::vector<Variant>> AllKindsRows() {
    using I = std::int64_t;
    return {
        {std::string("A Zoë Ashdown"), std::string("29/02/2024"), I{-7}, I{-2147483647}, -12.25,
         1e-3, true, kShortMemo, std::string("08:30:15"), I{1}},
        // Every field but the key null.
        {std::string("B Nulls"), std::monostate{}, std::monostate{}, std::monostate{},
         std::monostate{}, std::monostate{}, std::monostate{}, std::monostate{}, std::monostate{},
         std::monostate{}},
        // Zero and false are values, not nulls.
        {std::string("C Zeros"), std::string("01/01/1900"), I{0}, I{0}, 0.0, 0.0, false,
         kMiddleMemo, std::string("00:00:00"), I{3}},
        {std::string("D Last"), std::string("31/12/9999"), I{32767}, I{2147483647}, 99999.99,
         -4.5e10, false, kLongMemo, std::string("23:59:59"), I{4}},
    };
}

class ParadoxTest : public ToolsTest {
  protected:
    fs::path Legacy() const { return Path("legacy"); }

    void WriteAllKinds() {
        fs::create_directories(Legacy());
        WriteParadoxTable(Legacy() / "KINDS.DB", AllKinds(), 1, AllKindsRows());
    }

    // A small keyless table beside it, so that "all or nothing" has
    // something else to leave out.
    void WriteOther() {
        WriteParadoxTable(
            Legacy() / "OTHER.DB", {{"Code", pxAlpha, 6}, {"Band", pxShort, 2}}, 0,
            {{std::string("EXAM"), std::int64_t{1}}, {std::string("FILL"), std::int64_t{2}}});
    }

    TImportReport Import(bool skip = false) {
        return ImportPractice({Legacy().string(), Target(), skip});
    }
    // A folder, or a schema of the test server once a test chose one.
    std::string Target() const { return server_.empty() ? Path("imported").string() : server_; }
    std::string server_;

    // The rows of a target table, each field as the engine gives it.
    std::vector<std::vector<Variant>> Rows(const std::string& table) {
        move::OpenPractice("KVO_TEST_READ", Target());
        std::vector<std::vector<Variant>> rows;
        {
            TTable t;
            t.SetDatabaseName("KVO_TEST_READ");
            t.SetTableName(table);
            t.Open();
            for (t.First(); !t.Eof(); t.Next()) {
                rows.emplace_back();
                for (auto* f : t.Fields())
                    rows.back().push_back(f->Value());
            }
        }
        Session().RemoveDatabase("KVO_TEST_READ");
        return rows;
    }

    // Overwrites bytes of a file in place.
    static void Patch(const fs::path& file, std::uint64_t at, const std::string& bytes) {
        std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(static_cast<std::streamoff>(at));
        f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    static std::string ReadBytes(const fs::path& file, std::uint64_t at, std::size_t n) {
        std::ifstream f(file, std::ios::binary);
        f.seekg(static_cast<std::streamoff>(at));
        std::string bytes(n, '\0');
        f.read(bytes.data(), static_cast<std::streamsize>(n));
        return bytes;
    }
    static std::uint32_t HeaderSize(const fs::path& file) {
        const auto b = ReadBytes(file, 2, 2);
        return static_cast<unsigned char>(b[0]) | static_cast<unsigned char>(b[1]) << 8;
    }
    // Where row `row` (0-based) of the first data block starts, and the
    // offset of field `field` in it.
    static std::uint64_t FieldAt(const fs::path& file, int row, int field) {
        int offset = 0;
        const auto columns = AllKinds();
        for (int i = 0; i < field; ++i)
            offset += columns[static_cast<std::size_t>(i)].length;
        int recordSize = 0;
        for (const auto& c : columns)
            recordSize += c.length;
        return HeaderSize(file) + 6 + static_cast<std::uint64_t>(row) * recordSize + offset;
    }
};

TEST_F(ParadoxTest, EveryPracticeFieldKindNullsAndMemosArriveAsWritten) {
    WriteAllKinds();
    // The memo file is in whole 4096-byte blocks, as Paradox leaves it: the
    // form in which pxlib 0.6.8 aborts the process when it opens one.
    ASSERT_EQ(fs::file_size(Legacy() / "KINDS.MB") % kBlobBlockSize, 0u);

    const auto report = Import();
    ASSERT_TRUE(report.committed) << FormatReport(report);
    ASSERT_EQ(report.tables.size(), 1u);
    EXPECT_EQ(report.tables[0].rowsImported, 4);
    EXPECT_EQ(report.tables[0].key, "Name");

    Session().Database("KVO_TEST_READ").Params() = {"PATH=" + Target()};
    TTable t;
    t.SetDatabaseName("KVO_TEST_READ");
    t.SetTableName("KINDS");
    t.UpdateFieldDefs();
    struct TExpected {
        TFieldType type;
        int size;
    };
    const TExpected expected[] = {{TFieldType::String, 20},  {TFieldType::Date, 0},
                                  {TFieldType::Integer, 0},  {TFieldType::Integer, 0},
                                  {TFieldType::Currency, 0}, {TFieldType::Number, 0},
                                  {TFieldType::Logical, 0},  {TFieldType::Memo, 0},
                                  {TFieldType::Time, 0},     {TFieldType::Integer, 0}};
    ASSERT_EQ(t.FieldDefs().size(), std::size(expected));
    for (std::size_t i = 0; i < std::size(expected); ++i) {
        EXPECT_EQ(t.FieldDefs()[i].DataType, expected[i].type) << t.FieldDefs()[i].Name;
        EXPECT_EQ(t.FieldDefs()[i].Size, expected[i].size) << t.FieldDefs()[i].Name;
    }
    Session().RemoveDatabase("KVO_TEST_READ");

    const auto rows = Rows("KINDS");
    const auto written = AllKindsRows();
    ASSERT_EQ(rows.size(), written.size());
    for (std::size_t r = 0; r < rows.size(); ++r)
        for (std::size_t f = 0; f < written[r].size(); ++f)
            EXPECT_EQ(rows[r][f], written[r][f]) << "row " << r + 1 << ", field " << f + 1;
    // pxlib alone reads a null 4-byte integer or date as -2147483648.
    EXPECT_EQ(rows[1][1], Variant(std::monostate{}));
    EXPECT_EQ(rows[1][3], Variant(std::monostate{}));
}

TEST_F(ParadoxTest, ImportIntoADatabaseServerIsAllOrNothingToo) {
    auto& server = kvo::testing::PgServer::Shared();
    server_ = server.ConnectionString(server.NewSchema());
    WriteAllKinds();
    WriteOther();
    Patch(Legacy() / "KINDS.DB", FieldAt(Legacy() / "KINDS.DB", 0, 6), "\x85");
    const auto refused = Import();
    EXPECT_FALSE(refused.committed);
    EXPECT_TRUE(move::ListTables(Target()).empty());

    fs::remove_all(Legacy());
    WriteAllKinds();
    const auto report = Import();
    ASSERT_TRUE(report.committed) << FormatReport(report);
    const auto rows = Rows("KINDS");
    const auto written = AllKindsRows();
    ASSERT_EQ(rows.size(), written.size());
    for (std::size_t r = 0; r < rows.size(); ++r)
        for (std::size_t f = 0; f < written[r].size(); ++f)
            EXPECT_EQ(rows[r][f], written[r][f]) << "row " << r + 1 << ", field " << f + 1;
}

TEST_F(ParadoxTest, DemonstrationPracticeComesBackWithTheSameRows) {
    const std::string source = DemoPractice();
    ExportPractice(source, Legacy());
    const auto report = Import();
    ASSERT_TRUE(report.committed) << FormatReport(report);
    constexpr const char* kSource = "KVO_TEST_SOURCE";
    constexpr const char* kTarget = "KVO_TEST_TARGET";
    move::OpenPractice(kSource, source);
    move::OpenPractice(kTarget, Target());
    const auto tables = move::ListTables(source);
    EXPECT_EQ(move::ListTables(Target()), tables);
    for (const auto& table : tables) {
        SCOPED_TRACE(table);
        const auto from = move::ReadSchema(kSource, source, table);
        const auto to = move::ReadSchema(kTarget, Target(), table);
        ASSERT_EQ(from.fields.size(), to.fields.size());
        for (std::size_t i = 0; i < from.fields.size(); ++i) {
            EXPECT_EQ(from.fields[i].Name, to.fields[i].Name);
            EXPECT_EQ(from.fields[i].DataType, to.fields[i].DataType);
            EXPECT_EQ(from.fields[i].Size, to.fields[i].Size);
        }
        EXPECT_EQ(from.key, to.key);
        // Paradox keeps no empty text apart from a null one.
        auto rows = [&](const char* database) {
            std::vector<std::vector<Variant>> out;
            TTable t;
            t.SetDatabaseName(database);
            t.SetTableName(table);
            t.SetIndexFieldNames(from.key);  // a Paradox table keeps key order
            t.Open();
            for (t.First(); !t.Eof(); t.Next()) {
                out.emplace_back();
                for (auto* f : t.Fields()) {
                    auto v = f->Value();
                    if (v == Variant(std::string())) v = std::monostate{};
                    out.back().push_back(v);
                }
            }
            return out;
        };
        EXPECT_EQ(rows(kSource), rows(kTarget));
    }
    Session().RemoveDatabase(kSource);
    Session().RemoveDatabase(kTarget);
}

TEST_F(ParadoxTest, DamagedTableFileStopsTheWholeImport) {
    struct TCase {
        const char* what;
        std::function<void(const fs::path&)> damage;
        const char* message;
    };
    const TCase cases[] = {
        {"cut short in its data",
         [](const fs::path& f) { fs::resize_file(f, fs::file_size(f) - 100); }, "past the end"},
        {"shorter than a header", [](const fs::path& f) { fs::resize_file(f, 40); }, "too short"},
        {"record size off", [](const fs::path& f) { Patch(f, 0, std::string("\x10\x00", 2)); },
         "record size"},
        {"record count off",
         [](const fs::path& f) { Patch(f, 6, std::string("\x09\x00\x00\x00", 4)); },
         "counts 9 records"},
        {"block chain loops",
         [](const fs::path& f) { Patch(f, HeaderSize(f), std::string("\x01\x00", 2)); }, "loops"},
        {"block fill impossible",
         [](const fs::path& f) { Patch(f, HeaderSize(f) + 4, std::string("\x05\x00", 2)); },
         "impossible fill"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(Legacy());
        WriteAllKinds();
        WriteOther();
        c.damage(Legacy() / "KINDS.DB");
        const auto report = Import();
        EXPECT_FALSE(report.committed);
        ASSERT_EQ(report.tables.size(), 2u);
        EXPECT_NE(report.tables[0].error.find("KINDS.DB is damaged"), std::string::npos)
            << report.tables[0].error;
        EXPECT_NE(report.tables[0].error.find(c.message), std::string::npos)
            << report.tables[0].error;
        EXPECT_TRUE(report.tables[1].error.empty());
        EXPECT_NE(FormatReport(report).find("nothing was imported"), std::string::npos);
        EXPECT_TRUE(move::ListTables(Target()).empty());
    }
}

// Whatever byte of a table or memo file is damaged, reading ends in a
// reported problem, never in a crash or a hang.
TEST_F(ParadoxTest, NoDamagedByteCrashesTheReader) {
    WriteAllKinds();
    const fs::path table = Legacy() / "KINDS.DB", memo = Legacy() / "KINDS.MB";
    std::vector<Variant> values;
    std::string problem;
    auto readAll = [&] {
        try {
            TParadoxTable t(table);
            for (std::int64_t row = 0; row < t.RowCount(); ++row)
                t.ReadRow(row, values, problem);
        } catch (const EParadoxError&) {
        }
    };
    for (const fs::path& file : {table, memo}) {
        // The memo file's data blocks are plain bytes; its headers and slots
        // are what the reader trusts.
        const std::uint64_t size = file == memo ? 2 * kBlobBlockSize : fs::file_size(file);
        for (std::uint64_t at = 0; at < size; ++at) {
            if (file == memo && at % kBlobBlockSize >= kBlobSlotTable + kBlobSlotsPerBlock * 5)
                continue;
            const std::string original = ReadBytes(file, at, 1);
            Patch(file, at, std::string(1, static_cast<char>(~original[0])));
            readAll();
            Patch(file, at, original);
        }
    }
}

TEST_F(ParadoxTest, UnreadableRowsAreReportedAndKeepTheImportOutUnlessSkipped) {
    WriteAllKinds();
    WriteOther();
    const fs::path file = Legacy() / "KINDS.DB";
    // Row 1: a logical byte that is neither true nor false.  Row 4: its
    // memo pointer leads past the end of the memo file.
    Patch(file, FieldAt(file, 0, 6), "\x85");
    Patch(file, FieldAt(file, 3, 7) + 10, std::string("\xff\x00\x10\x00", 4));
    // A keyed table whose key repeats: the engine refuses the second row.
    WriteParadoxTable(Legacy() / "REPEAT.DB", {{"Code", pxAlpha, 4}}, 1,
                      {{std::string("A")}, {std::string("A")}});

    const auto refused = Import();
    EXPECT_FALSE(refused.committed);
    EXPECT_NE(refused.error.find("3 row(s) could not be read"), std::string::npos) << refused.error;
    EXPECT_TRUE(move::ListTables(Target()).empty());
    ASSERT_EQ(refused.tables[0].unreadable.size(), 2u);
    EXPECT_EQ(refused.tables[0].unreadable[0].row, 1);
    EXPECT_NE(refused.tables[0].unreadable[0].problem.find("Closed"), std::string::npos);
    EXPECT_EQ(refused.tables[0].unreadable[1].row, 4);
    EXPECT_NE(refused.tables[0].unreadable[1].problem.find("Notes"), std::string::npos);
    ASSERT_EQ(refused.tables[2].unreadable.size(), 1u);
    EXPECT_EQ(refused.tables[2].unreadable[0].row, 2);
    EXPECT_NE(refused.tables[2].unreadable[0].problem.find("the engine refused it"),
              std::string::npos);

    const auto skipped = Import(true);
    ASSERT_TRUE(skipped.committed) << FormatReport(skipped);
    EXPECT_EQ(skipped.tables[0].rowsImported, 2);
    EXPECT_EQ(skipped.tables[0].rowsUnreadable, 2);
    const std::string text = FormatReport(skipped);
    EXPECT_NE(text.find("KINDS.DB -> KINDS: 2 of 4 rows imported"), std::string::npos) << text;
    EXPECT_NE(text.find("row 1 NOT IMPORTED"), std::string::npos) << text;
    EXPECT_NE(text.find("row 4 NOT IMPORTED"), std::string::npos) << text;
    const auto rows = Rows("KINDS");
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0][0], Variant(std::string("B Nulls")));
    EXPECT_EQ(rows[1][0], Variant(std::string("C Zeros")));
    EXPECT_EQ(Rows("OTHER").size(), 2u);
}

TEST_F(ParadoxTest, ImportCommandRefusesAPracticeWithTablesAndAFolderWithoutTables) {
    WriteAllKinds();
    const std::string command =
        std::string(KVO_PARADOX_IMPORT) + " --from " + Legacy().string() + " --to " + Target();
    const auto first = Run(command);
    EXPECT_EQ(first.status, 0) << first.output;
    EXPECT_NE(first.output.find("KINDS.DB -> KINDS: 4 of 4 rows imported, key Name"),
              std::string::npos)
        << first.output;
    EXPECT_NE(first.output.find("import complete"), std::string::npos);

    const auto again = Run(command);
    EXPECT_EQ(again.status, 1);
    EXPECT_NE(again.output.find("already has 1 table(s)"), std::string::npos) << again.output;

    fs::create_directories(Path("no-tables"));
    const auto none = Run(std::string(KVO_PARADOX_IMPORT) + " --from " +
                          Path("no-tables").string() + " --to " + Path("t").string());
    EXPECT_EQ(none.status, 1);
    EXPECT_NE(none.output.find("holds no .DB table files"), std::string::npos) << none.output;
}

}  // namespace
}  // namespace kvo::tools::testing
