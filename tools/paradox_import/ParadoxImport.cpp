#include "ParadoxImport.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <system_error>

#include "ParadoxTable.h"
#include "PracticeMove.h"
#include "engine/engine.h"

namespace kvo::paradox {

namespace fs = std::filesystem;
using engine::Session;
using engine::TTable;

namespace {

// Never KVO, so that a program that also holds KVO open is left alone.
constexpr const char* kTargetDatabase = "KVO_PARADOX_IMPORT";

std::string Lower(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::vector<fs::path> TableFiles(const std::string& folder) {
    std::error_code ec;
    if (!fs::is_directory(folder, ec))
        throw std::runtime_error("the folder " + folder + " does not exist");
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(folder, ec))
        if (entry.is_regular_file(ec) && Lower(entry.path().extension().string()) == ".db")
            files.push_back(entry.path());
    if (ec) throw std::runtime_error("cannot list the folder " + folder + ": " + ec.message());
    std::sort(files.begin(), files.end(), [](const fs::path& a, const fs::path& b) {
        return Lower(a.filename().string()) < Lower(b.filename().string());
    });
    if (files.empty())
        throw std::runtime_error("the folder " + folder + " holds no .DB table files");
    return files;
}

void ImportRows(TParadoxTable& source, TTable& target, TImportedTable& report,
                const TImportProgress& progress) {
    const auto fields = target.Fields();
    std::vector<engine::Variant> values;
    std::string problem;
    auto unreadable = [&](std::int64_t row, std::string why) {
        ++report.rowsUnreadable;
        if (report.unreadable.size() < kListedRows)
            report.unreadable.push_back({row + 1, std::move(why)});
    };
    if (progress) progress(report.table, 0, report.rowsInFile);
    for (std::int64_t row = 0; row < report.rowsInFile; ++row) {
        if (!source.ReadRow(row, values, problem)) {
            unreadable(row, problem);
            continue;
        }
        target.Append();
        try {
            for (std::size_t i = 0; i < fields.size(); ++i)
                fields[i]->SetValue(values[i]);
            target.Post();
            ++report.rowsImported;
        } catch (const engine::EDBEngineError& e) {
            target.Cancel();
            unreadable(row, std::string("the engine refused it: ") + e.what());
        }
        if (progress && (row + 1) % 20000 == 0) progress(report.table, row + 1, report.rowsInFile);
    }
    if (progress) progress(report.table, report.rowsInFile, report.rowsInFile);
}

void ImportTable(const fs::path& file, TParadoxTable& source, TImportedTable& report,
                 const TImportProgress& progress) {
    TTable target;
    target.SetDatabaseName(kTargetDatabase);
    target.SetTableName(report.table);
    for (const auto& field : source.Fields()) {
        auto mapping = MapField(field);
        target.FieldDefs().push_back(mapping.def);
        if (!mapping.note.empty())
            report.notes.push_back("field " + field.name + ": " + mapping.note);
    }
    for (int i = 0; i < source.KeyFieldCount(); ++i) {
        const std::string& name = source.Fields()[static_cast<std::size_t>(i)].name;
        if (name.find(';') != std::string::npos)
            throw std::runtime_error("the key field \"" + name + "\" of " +
                                     file.filename().string() + " has a ';' in its name");
        report.key += (i == 0 ? "" : ";") + name;
    }
    target.SetIndexFieldNames(report.key);
    target.CreateTable();
    target.Open();
    ImportRows(source, target, report, progress);
    target.Close();
    if (source.MillisecondsDropped() > 0)
        report.notes.push_back(std::to_string(source.MillisecondsDropped()) +
                               " time value(s) had milliseconds, kept to the second");

    // What the target holds now, counted through a fresh cursor.
    TTable check;
    check.SetDatabaseName(kTargetDatabase);
    check.SetTableName(report.table);
    check.Open();
    if (check.RecordCount() != report.rowsImported)
        throw std::runtime_error("the table " + report.table + " holds " +
                                 std::to_string(check.RecordCount()) + " rows after importing " +
                                 std::to_string(report.rowsImported));
}

}  // namespace

TImportReport ImportPractice(const TImportOptions& options, const TImportProgress& progress) {
    const auto files = TableFiles(options.from);
    const std::string& to = options.to;
    const bool folder = !move::IsConnectionString(to);
    if (folder && fs::exists(fs::path(to) / "Data" / engine::kDatabaseFileName))
        throw std::runtime_error("the target folder " + to +
                                 " holds a practice in its Data folder; import only into a "
                                 "practice that has no tables");
    move::RequireEmptyTarget(to);

    TImportReport report;
    std::vector<std::unique_ptr<TParadoxTable>> sources;
    std::size_t damaged = 0;
    for (const auto& file : files) {
        TImportedTable table;
        table.file = file.filename().string();
        table.table = file.stem().string();
        try {
            sources.push_back(std::make_unique<TParadoxTable>(file));
            table.rowsInFile = sources.back()->RowCount();
        } catch (const EParadoxError& e) {
            sources.push_back(nullptr);
            table.error = e.what();
            ++damaged;
        }
        report.tables.push_back(std::move(table));
    }
    if (damaged > 0) {
        report.error = std::to_string(damaged) + " table file(s) cannot be read";
        return report;
    }

    const fs::path targetFile = fs::path(to) / engine::kDatabaseFileName;
    const bool newFile = folder && !fs::exists(targetFile);
    if (folder) {
        std::error_code ec;
        fs::create_directories(to, ec);
        if (ec) throw std::runtime_error("cannot create the folder " + to + ": " + ec.message());
    }
    struct TRelease {
        ~TRelease() { Session().RemoveDatabase(kTargetDatabase); }
    } release;
    auto& target = move::OpenPractice(kTargetDatabase, to);
    target.StartTransaction();
    std::int64_t unreadable = 0;
    try {
        for (std::size_t i = 0; i < files.size(); ++i) {
            try {
                ImportTable(files[i], *sources[i], report.tables[i], progress);
            } catch (const std::exception& e) {
                report.tables[i].error = e.what();
                throw;
            }
            unreadable += report.tables[i].rowsUnreadable;
        }
        if (unreadable > 0 && !options.skipUnreadableRows)
            throw std::runtime_error(std::to_string(unreadable) +
                                     " row(s) could not be read; import the rest with "
                                     "--skip-unreadable-rows");
        target.Commit();
        report.committed = true;
    } catch (const std::exception& e) {
        try {
            target.Rollback();
        } catch (...) {
            // The failure that brought us here is the one to report.
        }
        if (newFile) {
            Session().RemoveDatabase(kTargetDatabase);
            std::error_code ec;
            for (const char* suffix : {"", "-wal", "-shm"})
                fs::remove(targetFile.string() + suffix, ec);
        }
        report.error = e.what();
    }
    return report;
}

std::string FormatReport(const TImportReport& report) {
    std::string out;
    for (const auto& t : report.tables) {
        out += t.file + " -> " + t.table + ": ";
        if (!t.error.empty() && t.rowsImported == 0 && t.rowsUnreadable == 0) {
            out += "NOT READ: " + t.error + "\n";
            continue;
        }
        out += std::to_string(t.rowsImported) + " of " + std::to_string(t.rowsInFile) +
               (report.committed ? " rows imported" : " rows readable");
        if (!t.key.empty()) out += ", key " + t.key;
        out += "\n";
        for (const auto& note : t.notes)
            out += "  " + note + "\n";
        for (const auto& row : t.unreadable)
            out += "  row " + std::to_string(row.row) + " NOT IMPORTED: " + row.problem + "\n";
        if (t.rowsUnreadable > static_cast<std::int64_t>(t.unreadable.size()))
            out +=
                "  … and " +
                std::to_string(t.rowsUnreadable - static_cast<std::int64_t>(t.unreadable.size())) +
                " more rows NOT IMPORTED\n";
        if (!t.error.empty()) out += "  ERROR: " + t.error + "\n";
    }
    if (report.committed)
        out += "import complete\n";
    else
        out += "nothing was imported: " + report.error + "\n";
    return out;
}

}  // namespace kvo::paradox
