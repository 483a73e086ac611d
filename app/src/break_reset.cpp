#include "app/break_reset.h"

namespace kvo::app {

using engine::TDataSetState;
using engine::TTable;

std::string CalendarFilter(const std::string& dentist, const std::string& fromDate) {
    return "User = " + dentist + " AND Date >= '" + fromDate + "'";
}

std::string BreakFilter(const std::string& dentist, const std::string& fromDate) {
    return "Type = '*' AND User = " + dentist + " AND Date >= '" + fromDate + "'";
}

namespace {

void ShowOnly(TTable& table, const std::string& filter) {
    table.SetFilter(filter);
    table.SetFiltered(true);
    if (!table.Active()) table.Open();
    table.First();
}

// Drops an edit that an error left pending, then lets the error go on.
template <typename Body>
void CancellingOnError(TTable& table, Body body) {
    try {
        body();
    } catch (...) {
        if (table.Active() && table.State() != TDataSetState::Browse) table.Cancel();
        throw;
    }
}

}  // namespace

void ClearBreaksFrom(TTable& appCal, TTable& appRec, const std::string& dentist,
                     const std::string& fromDate) {
    CancellingOnError(appCal, [&] {
        ShowOnly(appCal, CalendarFilter(dentist, fromDate));
        while (!appCal.Eof()) {
            // A closed day keeps its settings; a null Closed reads as open.
            if (!appCal.FieldByName("Closed").AsBoolean()) {
                appCal.Edit();
                for (const char* name : {"Start", "End", "Interval", "Closed", "Breaks"})
                    appCal.FieldByName(name).Clear();
                appCal.Post();
            }
            appCal.Next();
        }
    });
    CancellingOnError(appRec, [&] {
        ShowOnly(appRec, BreakFilter(dentist, fromDate));
        while (!appRec.Eof())
            appRec.Delete();  // the cursor moves on to the following row
    });
}

}  // namespace kvo::app
