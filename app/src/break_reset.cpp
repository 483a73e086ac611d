#include "app/break_reset.h"

#include <array>
#include <iterator>

#include "app/break_restore.h"
#include "common/Common.h"

namespace kvo::app {

using engine::EDBEngineError;
using engine::Session;
using engine::TDatabase;
using engine::TDataSetState;
using engine::TTable;

std::string CalendarFilter(const std::string& dentist, const std::string& fromDate) {
    return "User = " + dentist + " AND Date >= '" + fromDate + "'";
}

std::string BreakFilter(const std::string& dentist, const std::string& fromDate) {
    return "Type = '*' AND User = " + dentist + " AND Date >= '" + fromDate + "'";
}

namespace {

// The day fields a reset empties, in the order it empties them.
constexpr const char* kDayFields[] = {"Start", "End", "Interval", "Closed", "Breaks"};

void ShowOnly(TTable& table, const std::string& filter) {
    table.SetFilter(filter);
    table.SetFiltered(true);
    if (!table.Active()) table.Open();
    table.First();
}

// The calendar fields a reset reads and empties, looked up once per open
// table rather than once per row.
struct TDayFields {
    explicit TDayFields(TTable& appCal) : closed(&appCal.FieldByName("Closed")) {
        for (std::size_t i = 0; i < std::size(kDayFields); ++i)
            emptied[i] = &appCal.FieldByName(kDayFields[i]);
    }
    engine::TField* closed;
    std::array<engine::TField*, std::size(kDayFields)> emptied{};

    // A closed day keeps its settings; a null Closed reads as open.  An
    // open day whose fields are all empty already (cleared by an earlier
    // reset) has nothing left to empty: it is neither posted nor counted,
    // so that a second reset over the same days reports nothing to do and
    // keeps nothing to undo.
    bool Open() const {
        if (closed->AsBoolean()) return false;
        for (const engine::TField* field : emptied)
            if (!field->IsNull()) return true;
        return false;
    }
};

TResetCounts CountOne(TTable& appCal, TTable& appRec, const std::string& dentist,
                      const std::string& fromDate) {
    TResetCounts counts;
    ShowOnly(appCal, CalendarFilter(dentist, fromDate));
    const TDayFields day(appCal);
    for (; !appCal.Eof(); appCal.Next())
        if (day.Open()) ++counts.days;
    ShowOnly(appRec, BreakFilter(dentist, fromDate));
    counts.breaks = appRec.RecordCount();
    return counts;
}

// Clears one dentist, noting each value before it goes.
TResetCounts ClearOne(TTable& appCal, TTable& appRec, const std::string& dentist,
                      const std::string& fromDate, TRemovedForDentist& removed) {
    TResetCounts counts;
    ShowOnly(appCal, CalendarFilter(dentist, fromDate));
    const TDayFields day(appCal);
    removed.days.names = {"Date", "Closed", "Start", "End", "Interval", "Breaks"};
    std::vector<engine::TField*> kept;
    for (const auto& name : removed.days.names)
        kept.push_back(&appCal.FieldByName(name));
    while (!appCal.Eof()) {
        if (day.Open()) {
            std::vector<std::string> row;
            row.reserve(kept.size());
            for (engine::TField* field : kept)
                row.push_back(EncodeValue(field->Value()));
            removed.days.rows.push_back(std::move(row));
            appCal.Edit();
            for (engine::TField* field : day.emptied)
                field->Clear();
            appCal.Post();
            ++counts.days;
        }
        appCal.Next();
    }

    ShowOnly(appRec, BreakFilter(dentist, fromDate));
    const auto fields = appRec.Fields();
    for (engine::TField* field : fields)
        removed.entries.names.push_back(field->FieldName());
    while (!appRec.Eof()) {
        std::vector<std::string> row;
        row.reserve(fields.size());
        for (engine::TField* field : fields)
            row.push_back(EncodeValue(field->Value()));
        removed.entries.rows.push_back(std::move(row));
        appRec.Delete();  // the cursor moves on to the following row
        ++counts.breaks;
    }
    return counts;
}

// After a failure: an edit the error interrupted must not be posted by a
// later cursor move, and the views, taken inside the rolled-back
// transaction, may show rows that are no longer there.  The next reset
// opens the tables afresh.
void Abandon(TTable& table) noexcept {
    try {
        if (table.Active() && table.State() != TDataSetState::Browse) table.Cancel();
    } catch (...) {
        // The close below drops the edit all the same.
    }
    try {
        table.Close();
    } catch (...) {
        // A table that cannot even close has nothing left to tell.
    }
}

std::string JoinDentists(const std::vector<std::string>& dentists) {
    std::string text;
    for (const auto& d : dentists)
        text += (text.empty() ? "" : ", ") + d;
    return text;
}

void RecordReset(const std::vector<std::string>& dentists, const std::string& fromDate,
                 const TResetResult& result) {
    std::string text = std::string(dentists.size() == 1 ? "Dentist " : "Dentists ") +
                       JoinDentists(dentists) + ": breaks cleared from " + fromDate + ", " +
                       std::to_string(result.total.days) + " open days emptied, " +
                       std::to_string(result.total.breaks) + " break entries deleted";
    text += result.resetId != 0 ? ", kept for undo as reset " + std::to_string(result.resetId)
                                : ", nothing to keep for undo";
    common::RecordEvent("Information", text);
}

}  // namespace

TResetResult ResetBreaks(TTable& appCal, TTable& appRec, const std::vector<std::string>& dentists,
                         const std::string& fromDate, const TResetOptions& options) {
    const std::string database = appCal.DatabaseName();
    if (&Session().Database(appRec.DatabaseName()) != &Session().Database(database))
        throw EDBEngineError("The calendar table and the entries table are not in one database");

    TResetResult result;
    const int total = static_cast<int>(dentists.size());
    auto note = [&](const std::string& dentist, const TResetCounts& counts) {
        result.dentists.push_back({dentist, counts});
        result.total.days += counts.days;
        result.total.breaks += counts.breaks;
        if (options.progress) options.progress(static_cast<int>(result.dentists.size()), total);
    };

    if (options.dryRun) {
        for (const auto& dentist : dentists)
            note(dentist, CountOne(appCal, appRec, dentist, fromDate));
        return result;
    }

    TDatabase& db = Session().Database(database);
    db.StartTransaction();
    try {
        DropExpiredResets(database, ConfiguredKeepDays(database));
        std::vector<TRemovedForDentist> removed;
        removed.reserve(dentists.size());
        for (const auto& dentist : dentists) {
            removed.push_back({dentist, {}, {}});
            note(dentist, ClearOne(appCal, appRec, dentist, fromDate, removed.back()));
        }
        if (!result.total.Empty())
            result.resetId = KeepRemoved(database, fromDate, removed, result.total);
        db.Commit();
    } catch (...) {
        Abandon(appCal);
        Abandon(appRec);
        try {
            db.Rollback();
        } catch (...) {
            // Closing the connection rolls back all the same; the first
            // error is the one the caller needs.
            db.Close();
        }
        throw;
    }
    RecordReset(dentists, fromDate, result);
    return result;
}

TResetCounts ClearBreaksFrom(TTable& appCal, TTable& appRec, const std::string& dentist,
                             const std::string& fromDate) {
    return ResetBreaks(appCal, appRec, {dentist}, fromDate).total;
}

}  // namespace kvo::app
