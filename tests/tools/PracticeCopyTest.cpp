// Copying a whole practice between backends: every table with its
// definition, key and indexes, verified, never into a practice with tables,
// and nothing left behind when it fails.
#include <sqlite3.h>

#include <map>

#include "PgServer.h"
#include "ToolsFixture.h"

namespace kvo::tools::testing {
namespace {

using engine::EDBEngineError;
using engine::Session;
using engine::TTable;

// Everything a copy must carry over, per table.
struct TTableState {
    move::TTableSchema schema;
    move::TTableSum sum;
};

std::vector<TTableState> ReadPractice(const std::string& location) {
    constexpr const char* kDatabase = "KVO_TEST_READ";
    move::OpenPractice(kDatabase, location);
    std::vector<TTableState> tables;
    for (const auto& name : move::ListTables(location))
        tables.push_back(
            {move::ReadSchema(kDatabase, location, name), move::SumTable(kDatabase, name)});
    Session().RemoveDatabase(kDatabase);
    return tables;
}

void ExpectSamePractice(const std::string& from, const std::string& to) {
    const auto source = ReadPractice(from);
    const auto target = ReadPractice(to);
    ASSERT_EQ(source.size(), target.size());
    for (std::size_t i = 0; i < source.size(); ++i) {
        const auto& s = source[i];
        const auto& t = target[i];
        SCOPED_TRACE(s.schema.name);
        EXPECT_EQ(s.schema.name, t.schema.name);
        ASSERT_EQ(s.schema.fields.size(), t.schema.fields.size());
        for (std::size_t f = 0; f < s.schema.fields.size(); ++f) {
            EXPECT_EQ(s.schema.fields[f].Name, t.schema.fields[f].Name);
            EXPECT_EQ(s.schema.fields[f].DataType, t.schema.fields[f].DataType);
            EXPECT_EQ(s.schema.fields[f].Size, t.schema.fields[f].Size);
            EXPECT_EQ(s.schema.fields[f].Required, t.schema.fields[f].Required);
        }
        EXPECT_EQ(s.schema.key, t.schema.key);
        EXPECT_EQ(s.schema.indexes, t.schema.indexes);
        EXPECT_EQ(s.sum, t.sum);
        EXPECT_GT(s.sum.rows, 0);
    }
}

TEST_F(ToolsTest, CopyCarriesEveryTableWithDefinitionsKeysIndexesAndRows) {
    const std::string from = DemoPractice();
    const std::string to = Path("copy").string();
    // The practice's data folder is accepted for its tables' folder.
    const auto copied = move::CopyPractice(Path("practice").string(), to);
    EXPECT_EQ(copied.size(), 8u);
    ExpectSamePractice(from, to);
    // What was checked is what the practice holds: the demonstration's
    // tables, keyed where it keys them.
    const auto tables = ReadPractice(to);
    std::map<std::string, std::string> keys;
    for (const auto& t : tables)
        keys[t.schema.name] = t.schema.key;
    EXPECT_EQ(keys["USER"], "User");
    EXPECT_EQ(keys["CONTROL"], "Name");
    EXPECT_EQ(keys["APP_CAL"], "");

    // The key is a key in the copy too.
    Session().Database("KVO_TEST_COPY").Params() = {"PATH=" + to};
    TTable user;
    user.SetDatabaseName("KVO_TEST_COPY");
    user.SetTableName("USER");
    user.Open();
    user.Append();
    user.FieldByName("User").SetAsInteger(1);
    EXPECT_THROW(user.Post(), EDBEngineError);
    user.Cancel();
    user.Close();
    Session().RemoveDatabase("KVO_TEST_COPY");
}

TEST_F(ToolsTest, CopyRefusesAndLeavesTargetsAlone) {
    const std::string practice = DemoPractice();
    const std::string other = DemoPractice("other");
    fs::create_directories(Path("empty"));
    struct TCase {
        const char* what;
        std::string from, to, message;
    };
    const TCase cases[] = {
        {"target with tables", practice, other, "already has 8 table(s)"},
        {"data folder of a target with tables", practice, Path("other").string(),
         "holds a practice"},
        {"source without tables", Path("empty").string(), Path("t1").string(),
         "no practice tables"},
        {"missing source", Path("nowhere").string(), Path("t2").string(), "no practice tables"},
        {"source is target", practice, practice, "same practice"},
    };
    const auto before = ReadPractice(other);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        try {
            move::CopyPractice(c.from, c.to);
            ADD_FAILURE() << "copied";
        } catch (const std::exception& e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
        }
    }
    EXPECT_FALSE(fs::exists(Path("t1")));
    EXPECT_FALSE(fs::exists(Path("t2") / engine::kDatabaseFileName));
    const auto after = ReadPractice(other);
    ASSERT_EQ(before.size(), after.size());
    for (std::size_t i = 0; i < before.size(); ++i)
        EXPECT_EQ(before[i].sum, after[i].sum);
}

TEST_F(ToolsTest, CopyThatFailsMidwayLeavesNoTablesBehind) {
    const std::string from = DemoPractice();
    // A stored value that the target's typed field refuses, far into the
    // biggest table, after other tables were already written.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((fs::path(from) / engine::kDatabaseFileName).c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db,
                           "UPDATE \"APP_REC\" SET \"Length\" = 'long' "
                           "WHERE rowid = (SELECT max(rowid) FROM \"APP_REC\")",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);

    const std::string to = Path("copy").string();
    try {
        move::CopyPractice(from, to);
        ADD_FAILURE() << "copied";
    } catch (const std::exception& e) {
        const std::string message = e.what();
        EXPECT_NE(message.find("APP_REC"), std::string::npos) << message;
        EXPECT_NE(message.find("row"), std::string::npos) << message;
    }
    EXPECT_TRUE(move::ListTables(to).empty());
    EXPECT_FALSE(fs::exists(fs::path(to) / engine::kDatabaseFileName));
}

TEST_F(ToolsTest, CopyCommandReportsEachTableAndRefusesASecondCopy) {
    DemoPractice();
    const std::string command = std::string(KVO_PRACTICE_COPY) + " --from " +
                                Path("practice").string() + " --to " + Path("copy").string();
    const auto first = Run(command);
    EXPECT_EQ(first.status, 0) << first.output;
    EXPECT_NE(first.output.find("USER"), std::string::npos);
    EXPECT_NE(first.output.find("verified"), std::string::npos);
    EXPECT_NE(first.output.find("copied 8 tables"), std::string::npos);

    const auto second = Run(command);
    EXPECT_EQ(second.status, 1);
    EXPECT_NE(second.output.find("already has"), std::string::npos) << second.output;
    EXPECT_NE(second.output.find("nothing was copied"), std::string::npos);

    const auto usage = Run(std::string(KVO_PRACTICE_COPY) + " --from x");
    EXPECT_EQ(usage.status, 2);
    EXPECT_NE(usage.output.find("--to is required"), std::string::npos);
}

TEST_F(ToolsTest, CopyMovesAPracticeOntoADatabaseServerAndBack) {
    auto& server = kvo::testing::PgServer::Shared();
    const std::string from = DemoPractice();
    const std::string onServer = server.ConnectionString(server.NewSchema());
    ASSERT_TRUE(move::IsConnectionString(onServer));
    move::CopyPractice(from, onServer);
    ExpectSamePractice(from, onServer);
    // A server practice with tables is refused like a folder with them.
    EXPECT_THROW(move::CopyPractice(from, onServer), std::runtime_error);

    const std::string back = Path("back").string();
    move::CopyPractice(onServer, back);
    ExpectSamePractice(from, back);
}

}  // namespace
}  // namespace kvo::tools::testing
