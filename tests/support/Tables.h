// Making tables for a test: one call that creates a table with its layout,
// key and rows, and the practice's own layouts, taken from the demonstration
// generator so that tests and the demonstration never disagree about them.
#pragma once

#include <string>
#include <vector>

#include "engine/engine.h"

namespace kvo::support {

using TRow = std::vector<engine::Variant>;

// Creates `name` in `database` with `fields` (key fields separated by ";"),
// adds `rows` (values in field order; a short row leaves the rest empty) and
// leaves `table` open on it.
void CreateTable(engine::TTable& table, const std::string& database, const std::string& name,
                 std::vector<engine::TFieldDef> fields, const std::string& key = "",
                 const std::vector<TRow>& rows = {});

// The same, for a table the test does not keep.
void CreateTable(const std::string& database, const std::string& name,
                 std::vector<engine::TFieldDef> fields, const std::string& key = "",
                 const std::vector<TRow>& rows = {});

// The practice's layouts by table name, as the demonstration creates them:
// "USER" (keyed on User), "APP_CAL", "APP_REC" and "ERROR".  Raises
// std::invalid_argument for any other name.
std::vector<engine::TFieldDef> PracticeFields(const std::string& table);
std::string PracticeKey(const std::string& table);

}  // namespace kvo::support
