#include "app/break_restore.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <set>

#include "common/Common.h"
#include "platform/DriveMap.h"
#include "platform/Ini.h"

namespace kvo::app {

using engine::EDBEngineError;
using engine::Session;
using engine::TDatabase;
using engine::TFieldDef;
using engine::TFieldType;
using engine::TTable;
using engine::Variant;

namespace {

constexpr const char* kDayKind = "C";
constexpr const char* kEntryKind = "E";
constexpr const char* kRestoredDayFields[] = {"Closed", "Start", "End", "Interval", "Breaks"};

std::vector<TFieldDef> ResetFields() {
    return {{"Id", TFieldType::Integer},          {"FromDate", TFieldType::Date},
            {"Dentists", TFieldType::Memo},       {"Date", TFieldType::Date},
            {"Time", TFieldType::Time},           {"Username", TFieldType::String, 60},
            {"Computer", TFieldType::String, 60}, {"Application", TFieldType::String, 60},
            {"Days", TFieldType::Integer},        {"Breaks", TFieldType::Integer},
            {"Undone", TFieldType::Logical},      {"UndoneBy", TFieldType::String, 120}};
}

std::vector<TFieldDef> RestoreFields() {
    return {{"Reset", TFieldType::Integer},
            {"User", TFieldType::Integer},
            {"Kind", TFieldType::String, 1},
            {"Data", TFieldType::Memo}};
}

void Name(TTable& table, const std::string& database, const char* name) {
    table.SetDatabaseName(database);
    table.SetTableName(name);
}

// Creates the restore tables on first use, inside the caller's transaction.
void EnsureTables(const std::string& database) {
    TTable resets, rows;
    Name(resets, database, kResetTable);
    if (!resets.Exists()) {
        resets.FieldDefs() = ResetFields();
        resets.SetIndexFieldNames("Id");
        resets.CreateTable();
    }
    Name(rows, database, kRestoreTable);
    if (!rows.Exists()) {
        rows.FieldDefs() = RestoreFields();
        rows.CreateTable();
        rows.AddIndex("Reset", "Reset");
    }
}

std::string DateText(std::chrono::sys_days day) {
    const std::chrono::year_month_day ymd(day);
    char text[16];
    std::snprintf(text, sizeof text, "%02u/%02u/%04d", static_cast<unsigned>(ymd.day()),
                  static_cast<unsigned>(ymd.month()), static_cast<int>(ymd.year()));
    return text;
}

std::chrono::sys_days Today() {
    const common::LocalDateTime now = common::CurrentClock().Now();
    return std::chrono::sys_days(std::chrono::year{now.year} /
                                 std::chrono::month{static_cast<unsigned>(now.month)} /
                                 std::chrono::day{static_cast<unsigned>(now.day)});
}

std::string Stamp() {
    const common::LocalDateTime now = common::CurrentClock().Now();
    return common::DateTextDMY(now) + " " + common::LongTimeText(now) + " " +
           common::UserNameText();
}

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end - start));
        if (end == std::string::npos) return parts;
        start = end + 1;
    }
}

std::string Join(const std::vector<std::string>& parts, char separator) {
    std::string text;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i != 0) text += separator;
        text += parts[i];
    }
    return text;
}

std::string BlockText(const TRemovedRows& block) {
    std::size_t size = 0;
    for (const auto& row : block.rows)
        for (const auto& value : row)
            size += value.size() + 1;
    std::string text = Join(block.names, '\t');
    text.reserve(text.size() + size);
    for (const auto& row : block.rows) {
        text += '\n';
        for (std::size_t i = 0; i < row.size(); ++i) {
            if (i != 0) text += '\t';
            text += row[i];
        }
    }
    return text;
}

TRemovedRows ParseBlock(const std::string& text) {
    TRemovedRows block;
    auto lines = Split(text, '\n');
    block.names = Split(lines.front(), '\t');
    for (std::size_t i = 1; i < lines.size(); ++i) {
        auto row = Split(lines[i], '\t');
        if (row.size() != block.names.size())
            throw EDBEngineError("A kept reset's rows are damaged (a row of " +
                                 std::to_string(row.size()) + " values for " +
                                 std::to_string(block.names.size()) + " fields)");
        block.rows.push_back(std::move(row));
    }
    return block;
}

std::size_t IndexOf(const TRemovedRows& block, const std::string& name) {
    const auto it = std::find(block.names.begin(), block.names.end(), name);
    if (it == block.names.end()) throw EDBEngineError("A kept reset's rows lack the field " + name);
    return static_cast<std::size_t>(it - block.names.begin());
}

// "Date" and "Time" of a kept entry, for telling the user which one it is.
std::string DescribeEntry(const TRemovedRows& block, const std::vector<std::string>& row) {
    std::string text;
    for (const char* name : {"Date", "Time"}) {
        const auto it = std::find(block.names.begin(), block.names.end(), name);
        if (it == block.names.end()) continue;
        const Variant value = DecodeValue(row[static_cast<std::size_t>(it - block.names.begin())]);
        if (const auto* s = std::get_if<std::string>(&value))
            text += (text.empty() ? " on " : " at ") + *s;
    }
    return text;
}

struct TKeptBlock {
    std::string dentist;
    std::string kind;
    TRemovedRows rows;
};

TResetCounts RestoreDays(const std::string& database, const std::string& fromDate,
                         const TKeptBlock& kept) {
    const std::size_t dateAt = IndexOf(kept.rows, "Date");
    std::map<std::string, std::deque<const std::vector<std::string>*>> byDate;
    for (const auto& row : kept.rows.rows) {
        const Variant date = DecodeValue(row[dateAt]);
        const auto* text = std::get_if<std::string>(&date);
        if (text == nullptr) throw EDBEngineError("A kept reset's day has no date");
        byDate[*text].push_back(&row);
    }

    TResetCounts counts;
    TTable calendar;
    Name(calendar, database, "APP_CAL.DB");
    calendar.SetFilter(CalendarFilter(kept.dentist, fromDate));
    calendar.SetFiltered(true);
    calendar.Open();
    for (; !calendar.Eof(); calendar.Next()) {
        const auto it = byDate.find(calendar.FieldByName("Date").AsString());
        if (it == byDate.end() || it->second.empty()) continue;
        for (const char* name : kRestoredDayFields)
            if (!calendar.FieldByName(name).IsNull())
                throw EUndoRefused("The day " + it->first + " of dentist " + kept.dentist +
                                   " has changed since the reset");
        const auto& row = *it->second.front();
        it->second.pop_front();
        calendar.Edit();
        for (const char* name : kRestoredDayFields)
            calendar.FieldByName(name).SetValue(DecodeValue(row[IndexOf(kept.rows, name)]));
        calendar.Post();
        ++counts.days;
    }
    for (const auto& [date, rows] : byDate)
        if (!rows.empty())
            throw EUndoRefused("The day " + date + " of dentist " + kept.dentist +
                               " is no longer in the appointment book");
    return counts;
}

TResetCounts RestoreEntries(const std::string& database, const std::string& fromDate,
                            const TKeptBlock& kept) {
    TTable entries;
    Name(entries, database, "APP_REC.DB");
    entries.SetFilter(BreakFilter(kept.dentist, fromDate));
    entries.SetFiltered(true);
    entries.Open();
    std::vector<engine::TField*> fields;
    for (const auto& name : kept.rows.names)
        fields.push_back(&entries.FieldByName(name));

    // A break entered again since the reset would be doubled.
    std::multiset<std::vector<std::string>> present;
    for (; !entries.Eof(); entries.Next()) {
        std::vector<std::string> row;
        for (engine::TField* field : fields)
            row.push_back(EncodeValue(field->Value()));
        present.insert(std::move(row));
    }
    for (const auto& row : kept.rows.rows)
        if (present.count(row) != 0)
            throw EUndoRefused("The break entry of dentist " + kept.dentist +
                               DescribeEntry(kept.rows, row) +
                               " has been entered again since the reset");

    TResetCounts counts;
    for (const auto& row : kept.rows.rows) {
        entries.Append();
        for (std::size_t i = 0; i < fields.size(); ++i)
            fields[i]->SetValue(DecodeValue(row[i]));
        entries.Post();
        ++counts.breaks;
    }
    return counts;
}

TResetRecord ReadRecord(TTable& resets) {
    TResetRecord r;
    r.id = resets.FieldByName("Id").AsInteger();
    r.fromDate = resets.FieldByName("FromDate").AsString();
    r.dentists = resets.FieldByName("Dentists").AsString();
    r.date = resets.FieldByName("Date").AsString();
    r.time = resets.FieldByName("Time").AsString();
    r.username = resets.FieldByName("Username").AsString();
    r.computer = resets.FieldByName("Computer").AsString();
    r.application = resets.FieldByName("Application").AsString();
    r.counts.days = resets.FieldByName("Days").AsInteger();
    r.counts.breaks = resets.FieldByName("Breaks").AsInteger();
    r.undone = resets.FieldByName("Undone").AsBoolean();
    r.undoneBy = resets.FieldByName("UndoneBy").AsString();
    return r;
}

// The undo itself, inside the caller's transaction.  Its tables close when
// it returns or raises, before the caller commits or rolls back.
TResetCounts UndoInTransaction(std::int64_t id, const std::string& database) {
    const std::string number = std::to_string(id);
    TTable resets;
    Name(resets, database, kResetTable);
    if (!resets.Exists() || (resets.Open(), !resets.Locate("Id", id)))
        throw EUndoRefused("There is no kept reset number " + number);
    if (resets.FieldByName("Undone").AsBoolean())
        throw EUndoRefused("Reset " + number + " has already been undone (" +
                           resets.FieldByName("UndoneBy").AsString() + ")");
    const std::string fromDate = resets.FieldByName("FromDate").AsString();

    std::vector<TKeptBlock> blocks;
    {
        TTable rows;
        Name(rows, database, kRestoreTable);
        rows.SetFilter("Reset = " + number);
        rows.SetFiltered(true);
        rows.Open();
        for (; !rows.Eof(); rows.Next())
            blocks.push_back({rows.FieldByName("User").AsString(),
                              rows.FieldByName("Kind").AsString(),
                              ParseBlock(rows.FieldByName("Data").AsString())});
    }

    // Days first, as the reset did them.
    TResetCounts counts;
    for (const char* kind : {kDayKind, kEntryKind})
        for (const auto& block : blocks) {
            if (block.kind != kind) continue;
            const TResetCounts done = block.kind == kDayKind
                                          ? RestoreDays(database, fromDate, block)
                                          : RestoreEntries(database, fromDate, block);
            counts.days += done.days;
            counts.breaks += done.breaks;
        }

    resets.Edit();
    resets.FieldByName("Undone").SetAsBoolean(true);
    resets.FieldByName("UndoneBy").SetAsString(Stamp());
    resets.Post();
    return counts;
}

}  // namespace

std::string EncodeValue(const Variant& value) {
    if (std::holds_alternative<std::monostate>(value)) return "-";
    if (const auto* i = std::get_if<std::int64_t>(&value)) return "I" + std::to_string(*i);
    if (const auto* b = std::get_if<bool>(&value)) return *b ? "B1" : "B0";
    if (const auto* d = std::get_if<double>(&value)) {
        char text[40];
        std::snprintf(text, sizeof text, "N%.17g", *d);
        return text;
    }
    const auto& plain = std::get<std::string>(value);
    const auto escaped = [](char c) { return c == '\\' || c == '\t' || c == '\n' || c == '\r'; };
    if (std::none_of(plain.begin(), plain.end(), escaped)) return "S" + plain;
    std::string text = "S";
    for (const char c : plain) {
        switch (c) {
            case '\\':
                text += "\\\\";
                break;
            case '\t':
                text += "\\t";
                break;
            case '\n':
                text += "\\n";
                break;
            case '\r':
                text += "\\r";
                break;
            default:
                text += c;
        }
    }
    return text;
}

Variant DecodeValue(const std::string& text) {
    auto damaged = [&] { return EDBEngineError("A kept value is damaged: " + text); };
    if (text == "-") return std::monostate{};
    if (text == "B1") return true;
    if (text == "B0") return false;
    if (text.empty()) throw damaged();
    const std::string rest = text.substr(1);
    try {
        std::size_t used = 0;
        switch (text[0]) {
            case 'I': {
                const long long v = std::stoll(rest, &used);
                if (used != rest.size()) throw damaged();
                return static_cast<std::int64_t>(v);
            }
            case 'N': {
                const double v = std::stod(rest, &used);
                if (used != rest.size()) throw damaged();
                return v;
            }
            case 'S': {
                std::string value;
                for (std::size_t i = 0; i < rest.size(); ++i) {
                    if (rest[i] != '\\') {
                        value += rest[i];
                        continue;
                    }
                    if (++i == rest.size()) throw damaged();
                    switch (rest[i]) {
                        case '\\':
                            value += '\\';
                            break;
                        case 't':
                            value += '\t';
                            break;
                        case 'n':
                            value += '\n';
                            break;
                        case 'r':
                            value += '\r';
                            break;
                        default:
                            throw damaged();
                    }
                }
                return value;
            }
            default:
                throw damaged();
        }
    } catch (const std::logic_error&) {  // stoll/stod: not a number, out of range
        throw damaged();
    }
}

std::int64_t KeepRemoved(const std::string& database, const std::string& fromDate,
                         const std::vector<TRemovedForDentist>& removed,
                         const TResetCounts& total) {
    EnsureTables(database);
    TTable resets;
    Name(resets, database, kResetTable);
    resets.Open();
    std::int64_t id = 0;
    for (; !resets.Eof(); resets.Next())
        id = std::max(id, resets.FieldByName("Id").AsInteger());
    ++id;

    std::vector<std::string> dentists;
    for (const auto& d : removed)
        dentists.push_back(d.dentist);
    const common::LocalDateTime now = common::CurrentClock().Now();
    resets.Append();
    resets.FieldByName("Id").SetAsInteger(id);
    resets.FieldByName("FromDate").SetAsString(fromDate);
    resets.FieldByName("Dentists").SetAsString(Join(dentists, ','));
    resets.FieldByName("Date").SetAsString(common::DateTextDMY(now));
    resets.FieldByName("Time").SetAsString(common::LongTimeText(now));
    resets.FieldByName("Username").SetAsString(common::UserNameText());
    resets.FieldByName("Computer").SetAsString(common::ComputerNameText());
    resets.FieldByName("Application").SetAsString(common::ProgramBaseName());
    resets.FieldByName("Days").SetAsInteger(total.days);
    resets.FieldByName("Breaks").SetAsInteger(total.breaks);
    resets.FieldByName("Undone").SetAsBoolean(false);
    resets.Post();

    TTable rows;
    Name(rows, database, kRestoreTable);
    rows.Open();
    for (const auto& d : removed)
        for (const auto& [kind, block] : {std::pair{kDayKind, &d.days}, {kEntryKind, &d.entries}}) {
            if (block->rows.empty()) continue;
            rows.Append();
            rows.FieldByName("Reset").SetAsInteger(id);
            rows.FieldByName("User").SetAsString(d.dentist);
            rows.FieldByName("Kind").SetAsString(kind);
            rows.FieldByName("Data").SetAsString(BlockText(*block));
            rows.Post();
        }
    return id;
}

void DropExpiredResets(const std::string& database, int keepDays) {
    TTable resets;
    Name(resets, database, kResetTable);
    if (!resets.Exists()) return;
    const std::string cutoff = DateText(Today() - std::chrono::days(keepDays));
    resets.SetFilter("Date < '" + cutoff + "'");
    resets.SetFiltered(true);
    resets.Open();
    std::vector<std::int64_t> dropped;
    while (!resets.Eof()) {
        dropped.push_back(resets.FieldByName("Id").AsInteger());
        resets.Delete();
    }
    if (dropped.empty()) return;
    TTable rows;
    Name(rows, database, kRestoreTable);
    if (!rows.Exists()) return;
    rows.SetFiltered(true);
    for (const std::int64_t id : dropped) {
        rows.SetFilter("Reset = " + std::to_string(id));
        if (!rows.Active()) rows.Open();
        rows.First();
        while (!rows.Eof())
            rows.Delete();
    }
}

int ConfiguredKeepDays(const std::string& database) {
    std::string tables = Session().Database(database).Path();
    while (tables.size() > 1 && tables.back() == '/')
        tables.pop_back();
    if (tables.empty()) return kDefaultKeepDays;
    const std::string folder = std::filesystem::path(tables).parent_path().string();
    platform::IniFile ini;
    if (!ini.Load(platform::ResolveCase(folder, common::Settings().practiceIniName)))
        return kDefaultKeepDays;
    const int days = ini.ReadInteger("Tarnwick", "UndoKeepDays", kDefaultKeepDays);
    return days > 0 ? days : kDefaultKeepDays;
}

std::vector<TResetRecord> ListResets(const std::string& database) {
    std::vector<TResetRecord> records;
    TTable resets;
    Name(resets, database, kResetTable);
    if (!resets.Exists()) return records;
    resets.SetIndexFieldNames("Id");
    resets.Open();
    for (; !resets.Eof(); resets.Next())
        records.push_back(ReadRecord(resets));
    return records;
}

TResetCounts UndoReset(std::int64_t id, const std::string& database) {
    TDatabase& db = Session().Database(database);
    db.StartTransaction();
    TResetCounts counts;
    try {
        counts = UndoInTransaction(id, database);
        db.Commit();
    } catch (...) {
        try {
            db.Rollback();
        } catch (...) {
            db.Close();  // closing rolls back all the same
        }
        throw;
    }
    common::RecordEvent("Information", "Reset " + std::to_string(id) +
                                           " undone: " + std::to_string(counts.days) +
                                           " days and " + std::to_string(counts.breaks) +
                                           " break entries put back");
    return counts;
}

}  // namespace kvo::app
