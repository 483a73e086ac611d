// Any filter text either selects rows or raises the engine's error; nothing
// else may come out of it (no crash, no other exception, no changed table).
#include <stdlib.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "engine/engine.h"

using namespace kvo::engine;

namespace {

std::string folder;

TTable& Table() {
    static TTable* table = [] {
        char pattern[] = "/tmp/kvo-engine-fuzz-XXXXXX";
        if (::mkdtemp(pattern) == nullptr) std::abort();
        Session().Database("FUZZ").Params() = {std::string("PATH=") + pattern};
        folder = pattern;
        // Registered after the session exists, so it runs before the session goes.
        std::atexit([] {
            Session().Close();
            std::filesystem::remove_all(folder);
        });
        auto* t = new TTable;
        t->SetDatabaseName("FUZZ");
        t->SetTableName("APP_REC.DB");
        t->FieldDefs() = {{"Type", TFieldType::String, 1}, {"User", TFieldType::Integer},
                          {"Date", TFieldType::Date},      {"Fee", TFieldType::Currency},
                          {"Closed", TFieldType::Logical}, {"Start", TFieldType::Time},
                          {"Note", TFieldType::Memo}};
        t->CreateTable();
        t->Open();
        t->Append();
        t->FieldByName("Type").SetAsString("*");
        t->FieldByName("User").SetAsInteger(3);
        t->FieldByName("Date").SetAsString("05/01/2026");
        t->Post();
        t->SetFiltered(true);
        return t;
    }();
    return *table;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    TTable& table = Table();
    try {
        table.SetFilter(std::string(reinterpret_cast<const char*>(data), size));
        for (table.First(); !table.Eof(); table.Next())
            (void)table.FieldByName("Note").AsString();
    } catch (const EDBEngineError&) {
    }
    table.SetFiltered(false);
    if (table.RecordCount() != 1) std::abort();
    table.SetFiltered(true);
    return 0;
}
