#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/vfs.h>

#include "EngineFixture.h"
#include "platform/Sys.h"

namespace kvo::engine::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

std::string ErrorOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const EDBEngineError& e) {
        return e.what();
    }
    return "<no error>";
}

TEST_F(EngineTest, TableNamesWithOrWithoutExtensionAndCaseNameTheSameTable) {
    TTable created;
    CreateEntries(created);
    for (const char* name : {"APP_REC", "app_rec.db", "App_Rec.DB", " APP_REC.DB "}) {
        TTable t;
        t.SetDatabaseName("kvo");
        t.SetTableName(name);
        EXPECT_TRUE(t.Exists()) << name;
    }
    TTable other;
    other.SetDatabaseName("KVO");
    other.SetTableName("APP_RECX.DB");
    EXPECT_FALSE(other.Exists());

    TTable again;
    again.SetDatabaseName("KVO");
    again.SetTableName("app_rec");
    again.FieldDefs() = {{"X", TFieldType::Integer}};
    EXPECT_THAT(ErrorOf([&] { again.CreateTable(); }), HasSubstr("already exists"));
}

TEST_F(EngineTest, MissingTableOrFolderIsAnEngineError) {
    TTable t;
    t.SetDatabaseName("KVO");
    t.SetTableName("PATIENT.DB");
    EXPECT_THAT(ErrorOf([&] { t.Open(); }), HasSubstr("PATIENT"));
    EXPECT_FALSE(t.Active());
    EXPECT_THROW(t.First(), EDBEngineError);

    Session().Database("NOWHERE").Params() = {"PATH=" + folder_ + "/missing"};
    TTable lost;
    lost.SetDatabaseName("NOWHERE");
    lost.SetTableName("USER");
    EXPECT_THAT(ErrorOf([&] { (void)lost.Exists(); }), HasSubstr("does not exist"));
    Session().RemoveDatabase("NOWHERE");

    TTable unnamed;
    unnamed.SetTableName("USER");
    EXPECT_THROW(unnamed.Open(), EDBEngineError);
}

TEST_F(EngineTest, FieldDefinitionsRoundTrip) {
    const std::vector<TFieldDef> defs = {
        {"Name", TFieldType::String, 30, true},
        {"Number", TFieldType::Integer},
        {"Rate", TFieldType::Number},
        {"Fee", TFieldType::Currency},
        {"Closed", TFieldType::Logical},
        {"Date", TFieldType::Date},
        {"Start", TFieldType::Time},
        {"STRING", TFieldType::Memo},
    };
    TTable t;
    support::CreateTable(t, "KVO", "CONTROL.DB", defs, "Name");
    t.FieldDefs().clear();
    t.UpdateFieldDefs();
    ASSERT_EQ(t.FieldDefs().size(), defs.size());
    for (std::size_t i = 0; i < defs.size(); ++i) {
        EXPECT_EQ(t.FieldDefs()[i].Name, defs[i].Name);
        EXPECT_EQ(t.FieldDefs()[i].DataType, defs[i].DataType) << defs[i].Name;
        EXPECT_EQ(t.FieldDefs()[i].Size, defs[i].Size) << defs[i].Name;
        EXPECT_EQ(t.FieldDefs()[i].Required, defs[i].Required) << defs[i].Name;
    }
}

// Each row: field type, text written, text read back (or "!" when the write raises).
TEST_F(EngineTest, TextWritesConvertToTheFieldTypeOrRaise) {
    struct Case {
        TFieldType type;
        const char* written;
        const char* read;
    };
    const Case cases[] = {
        {TFieldType::Integer, "42", "42"},
        {TFieldType::Integer, " -7 ", "-7"},
        {TFieldType::Integer, "abc", "!"},
        {TFieldType::Integer, "4.5", "!"},
        {TFieldType::Currency, "12.50", "12.5"},
        {TFieldType::Currency, "1e400", "!"},
        {TFieldType::Logical, "true", "True"},
        {TFieldType::Logical, "F", "False"},
        {TFieldType::Logical, "maybe", "!"},
        {TFieldType::Date, "05/01/2026", "05/01/2026"},
        {TFieldType::Date, "5/1/2026", "05/01/2026"},
        {TFieldType::Date, "29/02/2024", "29/02/2024"},
        {TFieldType::Date, "29/02/2023", "!"},
        {TFieldType::Date, "31/02/2020", "!"},
        {TFieldType::Date, "2026-01-05", "!"},
        {TFieldType::Date, "05/13/2026", "!"},
        {TFieldType::Time, "9:05", "09:05:00"},
        {TFieldType::Time, "24:00:00", "!"},
        {TFieldType::String, "0123", "0123"},
        {TFieldType::String, "exactly ten", "!"},  // longer than Size 10
    };
    TTable t;
    support::CreateTable(t, "KVO", "VALUES.DB",
                         {{"I", TFieldType::Integer},
                          {"C", TFieldType::Currency},
                          {"L", TFieldType::Logical},
                          {"D", TFieldType::Date},
                          {"T", TFieldType::Time},
                          {"S", TFieldType::String, 10}});
    const char* names[] = {"S", "I", "", "C", "L", "D", "T", ""};
    for (const auto& c : cases) {
        const std::string field = names[static_cast<int>(c.type)];
        t.Append();
        if (std::string(c.read) == "!") {
            EXPECT_THROW(t.FieldByName(field).SetAsString(c.written), EDBEngineError)
                << field << " <- " << c.written;
            t.Cancel();
            continue;
        }
        t.FieldByName(field).SetAsString(c.written);
        t.Post();
        // Read back from the stored row, not from the edit buffer.
        t.Close();
        t.Open();
        t.Locate(field, std::string(c.read));
        EXPECT_EQ(t.FieldByName(field).AsString(), c.read) << field << " <- " << c.written;
    }
}

TEST_F(EngineTest, TypedReadsAndVariantWrites) {
    TTable t;
    support::CreateTable(t, "KVO", "USER.DB",
                         {{"User", TFieldType::Integer},
                          {"Surname", TFieldType::String, 30},
                          {"Fee", TFieldType::Currency},
                          {"Active", TFieldType::Logical},
                          {"Joined", TFieldType::Date}});
    t.Append();
    t.FieldByName("User").SetValue(Variant{std::int64_t{3}});
    t.FieldByName("Surname").SetValue(Variant{std::string("Nakamura")});
    t.FieldByName("Fee").SetValue(Variant{19.99});
    t.FieldByName("Active").SetValue(Variant{true});
    t.FieldByName("Joined").SetValue(Variant{std::string("31/12/2025")});
    t.Post();
    t.Close();
    t.Open();
    EXPECT_EQ(t.FieldByName("user").AsInteger(), 3);
    EXPECT_EQ(t.FieldByName("User").AsString(), "3");
    EXPECT_EQ(t.FieldByName("Surname").AsString(), "Nakamura");
    EXPECT_DOUBLE_EQ(t.FieldByName("Fee").AsCurrency(), 19.99);
    EXPECT_TRUE(t.FieldByName("Active").AsBoolean());
    EXPECT_EQ(t.FieldByName("Active").AsString(), "True");
    EXPECT_EQ(t.FieldByName("Joined").AsString(), "31/12/2025");
    EXPECT_EQ(std::get<std::int64_t>(t.FieldByName("User").Value()), 3);
    EXPECT_EQ(std::get<bool>(t.FieldByName("Active").Value()), true);
    EXPECT_THROW(t.FieldByName("Surname").AsInteger(), EDBEngineError);
    EXPECT_THAT(ErrorOf([&] { t.FieldByName("Nope"); }), HasSubstr("Nope"));
    EXPECT_EQ(t.FindField("Nope"), nullptr);
    // Writing outside edit or insert state is refused, not silently dropped.
    EXPECT_THROW(t.FieldByName("User").SetAsInteger(4), EDBEngineError);
}

TEST_F(EngineTest, ClearedFieldsAreNullNotZeroFalseOrEmpty) {
    TTable t;
    CreateCalendar(t);
    t.Append();
    t.FieldByName("User").SetAsInteger(3);
    t.FieldByName("Date").SetAsString("05/01/2026");
    t.FieldByName("Closed").SetAsBoolean(false);
    t.FieldByName("Start").SetAsString("09:00");
    t.FieldByName("Interval").SetAsInteger(0);
    t.FieldByName("Breaks").SetAsString("");
    t.Post();
    for (const char* f : {"Closed", "Interval"})
        EXPECT_FALSE(t.FieldByName(f).IsNull()) << f;

    t.Edit();
    for (const char* f : {"Start", "End", "Interval", "Closed", "Breaks"})
        t.FieldByName(f).Clear();
    t.Post();
    t.Close();
    t.Open();
    for (const char* f : {"Start", "End", "Interval", "Closed", "Breaks"}) {
        const TField& field = t.FieldByName(f);
        EXPECT_TRUE(field.IsNull()) << f;
        EXPECT_EQ(field.AsString(), "") << f;
        EXPECT_EQ(field.AsInteger(), 0) << f;
        EXPECT_FALSE(field.AsBoolean()) << f;
        EXPECT_EQ(field.AsCurrency(), 0.0) << f;
        EXPECT_TRUE(std::holds_alternative<std::monostate>(field.Value())) << f;
    }
    // Null rows are excluded by a comparison, as in SQL.
    t.SetFilter("Closed = FALSE");
    t.SetFiltered(true);
    EXPECT_TRUE(t.IsEmpty());
    t.SetFilter("Closed = NULL");
    EXPECT_EQ(t.RecordCount(), 1);
}

TEST_F(EngineTest, RequiredFieldMustHaveAValue) {
    TTable t;
    support::CreateTable(t, "KVO", "CONTROL.DB",
                         {{"Name", TFieldType::String, 20, true}, {"Number", TFieldType::Integer}});
    t.Append();
    t.FieldByName("Number").SetAsInteger(1);
    EXPECT_THAT(ErrorOf([&] { t.Post(); }), HasSubstr("Name"));
    EXPECT_EQ(t.State(), TDataSetState::Insert);
    t.Cancel();
    EXPECT_TRUE(t.IsEmpty());
}

TEST_F(EngineTest, EditPostPersistsAndCancelDiscards) {
    TTable t;
    CreateEntries(t);
    AddEntry(t, "*", 3, "01/01/2026", "a");
    AddEntry(t, "*", 3, "02/01/2026", "b");
    t.First();
    t.Edit();
    t.FieldByName("Note").SetAsString("changed");
    t.Post();
    t.Next();
    t.Edit();
    t.FieldByName("Note").SetAsString("dropped");
    t.Cancel();
    EXPECT_EQ(t.FieldByName("Note").AsString(), "b");
    // Unposted changes do not survive a close either.
    t.First();
    t.Edit();
    t.FieldByName("Note").SetAsString("lost");
    t.Close();
    t.Open();
    EXPECT_THAT(Column(t, "Note"), ElementsAre("changed", "b"));
    EXPECT_EQ(t.RecordCount(), 2);
}

TEST_F(EngineTest, DeleteLeavesTheCursorOnTheFollowingRecord) {
    TTable t;
    CreateEntries(t);
    for (const char* n : {"a", "b", "c", "d"})
        AddEntry(t, "*", 1, "01/01/2026", n);

    t.First();
    t.Next();  // b
    t.Delete();
    EXPECT_FALSE(t.Eof());
    EXPECT_EQ(t.FieldByName("Note").AsString(), "c");

    t.Next();  // d, the last
    t.Delete();
    EXPECT_TRUE(t.Eof());
    EXPECT_THAT(Column(t, "Note"), ElementsAre("a", "c"));

    // Deleting until the end empties the view, as the break reset does.
    t.First();
    while (!t.Eof())
        t.Delete();
    EXPECT_TRUE(t.IsEmpty());
    EXPECT_THROW(t.Delete(), EDBEngineError);
    EXPECT_THROW(t.Edit(), EDBEngineError);
    t.Close();
    t.Open();
    EXPECT_TRUE(t.IsEmpty());
}

TEST_F(EngineTest, LocateIgnoresCaseAndLeavesTheCursorWhenNothingMatches) {
    TTable t;
    CreateEntries(t);
    AddEntry(t, "*", 1, "01/01/2026", "Smith");
    AddEntry(t, "B", 2, "15/03/2026", "Jones");
    AddEntry(t, "*", 3, "15/03/2026", "JONES");

    EXPECT_TRUE(t.Locate("note", std::string("jones")));
    EXPECT_EQ(t.FieldByName("User").AsInteger(), 2);
    EXPECT_TRUE(t.Locate("User", std::int64_t{3}));
    EXPECT_EQ(t.FieldByName("Note").AsString(), "JONES");
    EXPECT_TRUE(t.Locate("Date", std::string("1/1/2026")));
    EXPECT_EQ(t.FieldByName("Note").AsString(), "Smith");

    EXPECT_FALSE(t.Locate("Note", std::string("Brown")));
    EXPECT_EQ(t.FieldByName("Note").AsString(), "Smith");
    EXPECT_FALSE(t.Locate("Note", Variant{}));  // no null to find: still unmoved
    EXPECT_EQ(t.FieldByName("Note").AsString(), "Smith");
    EXPECT_THROW(t.Locate("Surname", std::string("x")), EDBEngineError);
    AddEntry(t, "*", 5, "20/03/2026");
    t.Append();
    t.FieldByName("Type").SetAsString("*");
    t.Post();  // User, Date and Note null
    t.First();
    EXPECT_TRUE(t.Locate("Date", Variant{}));
    EXPECT_EQ(t.FieldByName("Type").AsString(), "*");
    EXPECT_TRUE(t.FieldByName("User").IsNull());

    // Only rows of the filtered view are candidates.
    t.SetFilter("User = 3");
    t.SetFiltered(true);
    EXPECT_TRUE(t.Locate("Note", std::string("Jones")));
    EXPECT_EQ(t.FieldByName("User").AsInteger(), 3);
}

// Case is ignored for every letter, not only for A-Z: the whole text is
// compared by its Unicode case folding.
TEST_F(EngineTest, LocateFoldsTheCaseOfTheWholeUnicodeText) {
    TTable t;
    CreateEntries(t);
    for (const char* note : {"Zoe", "Zoë", "Straße", "Ωμέγα σοφός", "Łukasz"})
        AddEntry(t, "*", 1, "01/01/2026", note);
    const struct {
        const char* wanted;
        const char* found;  // nullptr: no row matches
    } cases[] = {
        {"ZOË", "Zoë"},
        {"zoë", "Zoë"},
        {"ZOE", "Zoe"},
        {"STRASSE", "Straße"},
        {"ΩΜΈΓΑ ΣΟΦΌΣ", "Ωμέγα σοφός"},
        {"łUKASZ", "Łukasz"},
        {"Zoë ", nullptr},
        {"Lukasz", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.wanted);
        t.First();
        EXPECT_EQ(t.Locate("Note", std::string(c.wanted)), c.found != nullptr);
        EXPECT_EQ(t.FieldByName("Note").AsString(), c.found ? c.found : "Zoe");
    }
}

TEST_F(EngineTest, PostNotifiesBeforeAndAfterAndBeforePostCanStopIt) {
    TTable t;
    CreateEntries(t);
    std::vector<std::string> calls;
    t.BeforePost = [&](TTable& table) {
        calls.push_back("before:" + table.FieldByName("Note").AsString());
        if (table.FieldByName("Note").AsString() == "veto") throw EDBEngineError("vetoed");
    };
    t.AfterPost = [&](TTable& table) {
        calls.push_back("after:" +
                        std::string(table.State() == TDataSetState::Browse ? "browse" : "other"));
    };
    AddEntry(t, "*", 1, "01/01/2026", "ok");
    EXPECT_THROW(AddEntry(t, "*", 1, "01/01/2026", "veto"), EDBEngineError);
    EXPECT_EQ(t.State(), TDataSetState::Insert);
    t.Cancel();
    EXPECT_THAT(calls, ElementsAre("before:ok", "after:browse", "before:veto"));
    EXPECT_EQ(t.RecordCount(), 1);
}

TEST_F(EngineTest, IndexFieldNamesGiveOrderAndKey) {
    TTable t;
    support::CreateTable(t, "KVO", "CONTROL.DB",
                         {{"Name", TFieldType::String, 20}, {"Number", TFieldType::Integer}},
                         "Name");
    for (const char* n : {"pear", "apple", "fig"}) {
        t.Append();
        t.FieldByName("Name").SetAsString(n);
        t.Post();
    }
    EXPECT_THAT(Column(t, "Name"), ElementsAre("apple", "fig", "pear"));
    t.Append();
    t.FieldByName("Name").SetAsString("fig");
    EXPECT_THROW(t.Post(), EDBEngineError);
    t.Cancel();

    t.SetIndexFieldNames("Number;Name");
    EXPECT_THAT(Column(t, "Name"), ElementsAre("apple", "fig", "pear"));
    EXPECT_THROW(t.SetIndexFieldNames("Colour"), EDBEngineError);
    EXPECT_EQ(t.IndexFieldNames(), "Number;Name");

    EXPECT_THROW(t.AddIndex("ByColour", "Colour"), EDBEngineError);
    t.AddIndex("ByNumber", "Number;Name");
    t.AddIndex("ByNumber", "Number;Name");  // present already: kept
}

// A keyed table is walked in key order by every cursor without index field
// names (as the users' grid opens USER); only a table without a key keeps
// the order of insertion.
TEST_F(EngineTest, KeyedTablesWalkInKeyOrderUnkeyedInInsertionOrder) {
    TTable keyed, plain;
    support::CreateTable(keyed, "KVO", "USER.DB",
                         {{"User", TFieldType::Integer}, {"Surname", TFieldType::String, 30}},
                         "User");
    support::CreateTable(plain, "KVO", "NOTES.DB",
                         {{"User", TFieldType::Integer}, {"Surname", TFieldType::String, 30}});
    for (TTable* t : {&keyed, &plain}) {
        for (int user : {30, 10, 20}) {
            t->Append();
            t->FieldByName("User").SetAsInteger(user);
            t->FieldByName("Surname").SetAsString("S" + std::to_string(user));
            t->Post();
        }
        t->Close();
        t->SetIndexFieldNames("");
    }

    TTable grid;  // a fresh cursor that names no index
    grid.SetDatabaseName("KVO");
    grid.SetTableName("user");
    grid.Open();
    EXPECT_THAT(Column(grid, "User"), ElementsAre("10", "20", "30"));
    grid.Append();  // an appended row joins the walk at its key
    grid.FieldByName("User").SetAsInteger(15);
    grid.Post();
    EXPECT_THAT(Column(grid, "User"), ElementsAre("10", "15", "20", "30"));
    grid.SetIndexFieldNames("Surname");
    grid.SetIndexFieldNames("");  // back to the key, not to insertion order
    EXPECT_THAT(Column(grid, "User"), ElementsAre("10", "15", "20", "30"));

    plain.Open();
    EXPECT_THAT(Column(plain, "User"), ElementsAre("30", "10", "20"));
}

TEST_F(EngineTest, FilterChangeOnAnOpenTableRequeriesAndGoesFirst) {
    TTable t;
    CreateEntries(t);
    for (int user = 1; user <= 3; ++user)
        for (const char* n : {"x", "y"})
            AddEntry(t, "*", user, "01/01/2026", n + std::to_string(user));
    t.SetFilter("User = 2");
    EXPECT_EQ(t.RecordCount(), 6);  // not filtered yet
    t.SetFiltered(true);
    EXPECT_THAT(Column(t, "Note"), ElementsAre("x2", "y2"));
    t.First();
    t.Next();
    t.SetFilter("User = 3");
    EXPECT_EQ(t.FieldByName("Note").AsString(), "x3");
    // A bad filter on an open table keeps the current view and filter.
    EXPECT_THROW(t.SetFilter("User = "), EDBEngineError);
    EXPECT_EQ(t.Filter(), "User = 3");
    EXPECT_THAT(Column(t, "Note"), ElementsAre("x3", "y3"));
    t.SetFiltered(false);
    EXPECT_EQ(t.RecordCount(), 6);
}

TEST_F(EngineTest, TransactionsGroupPostsAndRollBack) {
    TDatabase& db = Session().Database("KVO");
    TTable t;
    CreateEntries(t);
    t.AddIndex("ByUser", "User;Date");
    db.StartTransaction();
    for (int i = 0; i < 5000; ++i)
        AddEntry(t, i % 2 ? "*" : "A", i % 7, "01/02/2026");
    db.Commit();
    EXPECT_THROW(db.Commit(), EDBEngineError);

    db.StartTransaction();
    AddEntry(t, "*", 1, "01/02/2026");
    EXPECT_THROW(db.StartTransaction(), EDBEngineError);
    db.Rollback();
    t.Close();
    t.SetFilter("Type = '*'");
    t.SetFiltered(true);
    t.Open();
    EXPECT_EQ(t.RecordCount(), 2500);
}

// Posts, edits and deletes over two tables are undone together, and the open
// cursors show the rows as they were, not rows that no longer exist.
TEST_F(EngineTest, RollbackUndoesEveryWriteOfTheTransactionAndRefreshesOpenCursors) {
    TDatabase& db = Session().Database("KVO");
    TTable entries, calendar;
    CreateEntries(entries);
    CreateCalendar(calendar);
    AddEntry(entries, "*", 1, "01/02/2026", "a");
    AddEntry(entries, "*", 1, "02/02/2026", "b");
    calendar.Append();
    calendar.FieldByName("User").SetAsInteger(1);
    calendar.FieldByName("Breaks").SetAsString("12:00-13:00");
    calendar.Post();

    EXPECT_FALSE(db.InTransaction());
    db.StartTransaction();
    EXPECT_TRUE(db.InTransaction());
    entries.First();
    entries.Delete();
    entries.Edit();
    entries.FieldByName("Note").SetAsString("changed");
    entries.Post();
    AddEntry(entries, "A", 2, "03/02/2026", "added");
    calendar.First();
    calendar.Edit();
    calendar.FieldByName("Breaks").Clear();
    calendar.Post();
    calendar.Edit();  // left unposted: it belongs to the transaction too
    calendar.FieldByName("Breaks").SetAsString("unposted");
    db.Rollback();
    EXPECT_FALSE(db.InTransaction());

    EXPECT_EQ(calendar.State(), TDataSetState::Browse);
    EXPECT_THAT(Column(entries, "Note"), ElementsAre("a", "b"));
    EXPECT_THAT(Column(calendar, "Breaks"), ElementsAre("12:00-13:00"));
    // A row appended afterwards shows once, though it may reuse a rolled-back rowid.
    AddEntry(entries, "A", 3, "04/02/2026", "after");
    EXPECT_THAT(Column(entries, "Note"), ElementsAre("a", "b", "after"));

    TTable fresh;
    fresh.SetDatabaseName("KVO");
    fresh.SetTableName("APP_REC");
    fresh.Open();
    EXPECT_THAT(Column(fresh, "Note"), ElementsAre("a", "b", "after"));

    // Committing keeps all of it; no transaction means nothing to end.
    db.StartTransaction();
    entries.First();
    entries.Delete();
    AddEntry(entries, "A", 4, "05/02/2026", "kept");
    db.Commit();
    EXPECT_FALSE(db.InTransaction());
    fresh.Close();
    fresh.Open();
    EXPECT_THAT(Column(fresh, "Note"), ElementsAre("b", "after", "kept"));
    EXPECT_THAT(ErrorOf([&] { db.Rollback(); }), HasSubstr("no transaction"));
    EXPECT_THAT(ErrorOf([&] { db.Commit(); }), HasSubstr("no transaction"));
}

// A cursor walking its rows inside a transaction sees what another cursor of
// the same database changed or deleted since, under it or ahead of it, and
// an edit starts from the row as it is stored then.
TEST_F(EngineTest, WalkInATransactionSeesWhatAnotherCursorChangedMeanwhile) {
    TDatabase& db = Session().Database("KVO");
    TTable walker, other;
    CreateEntries(walker);
    for (int i = 0; i < 40; ++i)
        AddEntry(walker, "*", 1, "01/02/2026", "n" + std::to_string(i));
    other.SetDatabaseName("KVO");
    other.SetTableName("APP_REC");
    other.Open();

    db.StartTransaction();
    walker.First();
    for (int i = 0; i < 3; ++i) {  // reading each row, as a walk does, then changing it
        ASSERT_EQ(walker.FieldByName("Note").AsString(), "n" + std::to_string(i));
        walker.Edit();
        walker.FieldByName("Note").SetAsString("w" + std::to_string(i));
        walker.Post();
        walker.Next();
    }
    EXPECT_EQ(walker.FieldByName("Note").AsString(), "n3");
    for (const auto& [note, change] : {std::pair{"n3", "o3"}, {"n4", "o4"}}) {
        ASSERT_TRUE(other.Locate("Note", std::string(note)));
        other.Edit();
        other.FieldByName("Note").SetAsString(change);
        other.Post();
    }
    ASSERT_TRUE(other.Locate("Note", std::string("n5")));
    other.Delete();

    walker.Edit();  // the row it stands on
    EXPECT_EQ(walker.FieldByName("Note").AsString(), "o3");
    walker.Cancel();
    walker.Next();
    EXPECT_EQ(walker.FieldByName("Note").AsString(), "o4");
    walker.Edit();
    walker.FieldByName("Type").SetAsString("A");
    walker.Post();
    walker.Next();
    EXPECT_TRUE(walker.FieldByName("Note").IsNull());  // deleted by the other cursor
    EXPECT_THAT(ErrorOf([&] { walker.Edit(); }), HasSubstr("deleted"));
    walker.Next();
    EXPECT_EQ(walker.FieldByName("Note").AsString(), "n6");
    db.Commit();

    other.Close();
    other.Open();
    ASSERT_TRUE(other.Locate("Note", std::string("o4")));
    EXPECT_EQ(other.FieldByName("Type").AsString(), "A");
    EXPECT_THAT(Column(other, "Note"),
                ::testing::AllOf(::testing::SizeIs(39), ::testing::Contains("o3"),
                                 ::testing::Not(::testing::Contains("n5"))));
}

// A file database on a network drive would be damaged by the workstations
// sharing it; it is refused with a message that names the server setting.
TEST_F(EngineTest, FileDatabaseOnANetworkFileSystemIsRefused) {
    static unsigned long fakeType = 0;
    platform::ScopedSysOverride sys;
    sys.table().statfs = [](const char* path, struct statfs* out) {
        const int rc = platform::RealSysCalls().statfs(path, out);
        out->f_type = static_cast<decltype(out->f_type)>(fakeType);
        return rc;
    };
    const struct {
        unsigned long type;
        const char* refusedAs;  // nullptr: opens
    } cases[] = {
        {0x6969, "NFS"},    {0xFF534D42, "CIFS"}, {0xFE534D42, "SMB2"},  {0x517B, "SMB"},
        {0x01021997, "9P"}, {0xEF53, nullptr},    {0x01021994, nullptr}, {0x9123683E, nullptr},
    };
    Session().Database("SHARE").Params() = {"PATH=" + folder_};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.type);
        fakeType = c.type;
        TDatabase& db = Session().Database("SHARE");
        db.Close();
        if (c.refusedAs == nullptr) {
            EXPECT_NO_THROW(db.Open());
            continue;
        }
        const std::string error = ErrorOf([&] { db.Open(); });
        EXPECT_THAT(error, HasSubstr(std::string("network file system (") + c.refusedAs));
        EXPECT_THAT(error, HasSubstr("PostgreSQL"));
        EXPECT_THAT(error, HasSubstr("Connection="));
        EXPECT_FALSE(db.Connected());
    }
    // A folder that cannot be examined is not taken for a local one.
    sys.table().statfs = [](const char*, struct statfs*) {
        errno = EACCES;
        return -1;
    };
    Session().Database("SHARE").Close();
    EXPECT_THAT(ErrorOf([&] { Session().Database("SHARE").Open(); }), HasSubstr("cannot examine"));
    Session().RemoveDatabase("SHARE");
}

TEST_F(EngineTest, SessionKeepsItsSettingsAndDatabases) {
    TSession& s = Session();
    s.Open();
    EXPECT_TRUE(s.Active());
    s.SetNetFileDir(folder_);
    s.SetPrivateDir(folder_ + "/private");
    EXPECT_EQ(s.NetFileDir(), folder_);
    EXPECT_EQ(s.PrivateDir(), folder_ + "/private");
    s.AddPassword("secret");
    s.AddPassword("secret");
    s.AddPassword("other");
    EXPECT_THAT(s.Passwords(), ElementsAre("secret", "other"));
    s.RemoveAllPasswords();
    EXPECT_TRUE(s.Passwords().empty());

    EXPECT_EQ(&s.Database("kvo"), s.FindDatabase("KVO"));
    s.Database("KVO").Params() = {"path = " + folder_ + "/sub", " Connection = host=x"};
    EXPECT_EQ(s.Database("KVO").Path(), folder_ + "/sub");
    EXPECT_EQ(s.Database("KVO").ConnectionString(), "host=x");
    s.Database("KVO").Params() = {};
    EXPECT_THAT(ErrorOf([&] { s.Database("KVO").Open(); }), HasSubstr("PATH"));

    // Closing the session closes the open tables of its databases.
    s.Database("KVO").Params() = params_;
    TTable t;
    CreateEntries(t);
    s.Close();
    EXPECT_FALSE(t.Active());
    EXPECT_FALSE(s.Database("KVO").Connected());
}

}  // namespace
}  // namespace kvo::engine::testing
