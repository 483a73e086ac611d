#include "support/Tables.h"

#include <stdexcept>

#include "DemoPractice.h"

namespace kvo::support {

void CreateTable(engine::TTable& table, const std::string& database, const std::string& name,
                 std::vector<engine::TFieldDef> fields, const std::string& key,
                 const std::vector<TRow>& rows) {
    table.SetDatabaseName(database);
    table.SetTableName(name);
    table.FieldDefs() = std::move(fields);
    table.SetIndexFieldNames(key);
    table.CreateTable();
    table.Open();
    for (const TRow& row : rows) {
        table.Append();
        for (std::size_t i = 0; i < row.size(); ++i)
            table.Fields().at(i)->SetValue(row[i]);
        table.Post();
    }
}

void CreateTable(const std::string& database, const std::string& name,
                 std::vector<engine::TFieldDef> fields, const std::string& key,
                 const std::vector<TRow>& rows) {
    engine::TTable table;
    CreateTable(table, database, name, std::move(fields), key, rows);
}

std::vector<engine::TFieldDef> PracticeFields(const std::string& table) {
    if (table == "USER") return demo::UserFields();
    if (table == "APP_CAL") return demo::CalendarFields();
    if (table == "APP_REC") return demo::EntryFields();
    if (table == "ERROR") return demo::ErrorFields();
    throw std::invalid_argument("no practice layout for the table " + table);
}

std::string PracticeKey(const std::string& table) {
    PracticeFields(table);
    return table == "USER" ? "User" : "";
}

}  // namespace kvo::support
