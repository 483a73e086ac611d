#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "EngineFixture.h"

namespace kvo::engine::testing {
namespace {

// Entries of dentists 3 and 4 around 5 January 2026.  Dates are chosen so
// that comparing "DD/MM/YYYY" as text would give different answers from
// comparing calendar dates (01/02/2026 sorts before 05/01/2026 as text).
class FilterTest : public EngineTest {
  protected:
    void SetUp() override {
        EngineTest::SetUp();
        CreateEntries(table_);
        AddEntry(table_, "*", 3, "04/01/2026", "a");  // the day before
        AddEntry(table_, "*", 3, "05/01/2026", "b");  // the day itself
        AddEntry(table_, "*", 3, "01/02/2026", "c");  // next month, smaller day
        AddEntry(table_, "*", 3, "31/12/2025", "d");  // previous year, larger day
        AddEntry(table_, "*", 3, "01/01/2027", "e");  // next year
        AddEntry(table_, "B", 3, "10/01/2026", "f");  // not a break
        AddEntry(table_, "*", 4, "10/01/2026", "g");  // another dentist
        AddEntry(table_, "*", 3, "15/06/2025", "it's");
        table_.Close();
    }

    TTable table_;
};

struct FilterCase {
    const char* filter;
    std::vector<std::string> notes;  // expected rows, in table order
    const char* error = nullptr;     // or a part of the expected message
};

TEST_F(FilterTest, FiltersSelectRowsOrRaiseSayingWhatIsWrong) {
    const std::vector<FilterCase> cases = {
        {"User = 3 AND Date >= '05/01/2026'", {"b", "c", "e", "f"}},
        {"Type = '*' AND User = 3 AND Date >= '05/01/2026'", {"b", "c", "e"}},
        {"user = 3 and DATE >= '5/1/2026'", {"b", "c", "e", "f"}},
        {"Date < '05/01/2026'", {"a", "d", "it's"}},
        {"Date > '31/12/2025' AND Date <= '05/01/2026'", {"a", "b"}},
        {"Date <> '10/01/2026' AND User = 3 AND Type = '*'", {"a", "b", "c", "d", "e", "it's"}},
        {"User >= 4", {"g"}},
        {"Type = '*' AND Type <> 'B' AND User < 4 AND User > 2 AND Date >= '01/01/2027'", {"e"}},
        {"Note = 'it''s'", {"it's"}},
        {"Note = 'x'' OR 1=1 --'", {}},  // a value stays a value
        {"Type = '*'", {"a", "b", "c", "d", "e", "g", "it's"}},
        {"Note = NULL", {}},
        {"Note <> NULL", {"a", "b", "c", "d", "e", "f", "g", "it's"}},
        {"  ", {"a", "b", "c", "d", "e", "f", "g", "it's"}},
        // Malformed filters and unknown fields.
        {"User =  AND Date >= '05/01/2026'", {}, "expected a value after '='"},
        {"User = 3 AND", {}, "after AND"},
        {"User 3", {}, "comparison operator"},
        {"User == 3", {}, "expected a value"},
        {"Colour = 3", {}, "field 'Colour' does not exist"},
        {"User = 3 OR User = 4", {}, "OR is not supported"},
        {"User = 3 User = 4", {}, "expected AND"},
        {"Date >= '31/02/2026'", {}, "not a date"},
        {"Date >= '2026-01-05'", {}, "DD/MM/YYYY"},
        {"Date >= 05/01/2026", {}, "position"},
        {"Type = '*", {}, "unterminated"},
        {"User = 'three'", {}, "not a valid integer"},
        {"User = TRUE", {}, "not a valid integer"},
        {"User < NULL", {}, "NULL"},
        {"User = 3; DROP TABLE APP_REC", {}, "position 9"},
        {"= 3", {}, "expected a field name"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.filter);
        TTable t;
        t.SetDatabaseName("KVO");
        t.SetTableName("APP_REC");
        t.SetFilter(c.filter);
        t.SetFiltered(true);
        if (c.error != nullptr) {
            try {
                t.Open();
                ADD_FAILURE() << "no error";
            } catch (const EDBEngineError& e) {
                EXPECT_THAT(e.what(), ::testing::HasSubstr(c.error));
            }
            EXPECT_FALSE(t.Active());
            continue;
        }
        t.Open();
        EXPECT_EQ(Column(t, "Note"), c.notes);
        EXPECT_EQ(t.IsEmpty(), c.notes.empty());
    }
    TTable all;
    all.SetDatabaseName("KVO");
    all.SetTableName("APP_REC");
    all.Open();
    EXPECT_EQ(all.RecordCount(), 8);
}

// The break reset's two passes, as the main window runs them.
TEST_F(FilterTest, BreakResetPassesChangeOnlyTheirRows) {
    TTable cal;
    CreateCalendar(cal);
    struct Day {
        int user;
        const char* date;
        bool closed;
    };
    for (const Day& d :
         {Day{3, "04/01/2026", false}, Day{3, "05/01/2026", false}, Day{3, "06/01/2026", true},
          Day{3, "01/02/2026", false}, Day{4, "05/01/2026", false}}) {
        cal.Append();
        cal.FieldByName("User").SetAsInteger(d.user);
        cal.FieldByName("Date").SetAsString(d.date);
        cal.FieldByName("Closed").SetAsBoolean(d.closed);
        cal.FieldByName("Start").SetAsString("09:00");
        cal.FieldByName("Breaks").SetAsString("12:00-13:00");
        cal.Post();
    }
    cal.SetFilter("User = 3 AND Date >= '05/01/2026'");
    cal.SetFiltered(true);
    cal.First();
    while (!cal.Eof()) {
        if (!cal.FieldByName("Closed").AsBoolean()) {
            cal.Edit();
            for (const char* f : {"Start", "End", "Interval", "Closed", "Breaks"})
                cal.FieldByName(f).Clear();
            cal.Post();
        }
        cal.Next();
    }
    table_.SetFilter("Type = '*' AND User = 3 AND Date >= '05/01/2026'");
    table_.SetFiltered(true);
    table_.Open();
    table_.First();
    while (!table_.Eof())
        table_.Delete();

    cal.SetFiltered(false);
    EXPECT_EQ(Column(cal, "Start"),
              (std::vector<std::string>{"09:00:00", "", "09:00:00", "", "09:00:00"}));
    EXPECT_EQ(Column(cal, "Closed"), (std::vector<std::string>{"False", "", "True", "", "False"}));
    table_.SetFiltered(false);
    EXPECT_EQ(Column(table_, "Note"), (std::vector<std::string>{"a", "d", "f", "g", "it's"}));
}

}  // namespace
}  // namespace kvo::engine::testing
