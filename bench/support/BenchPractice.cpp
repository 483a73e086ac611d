#include "BenchPractice.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>

#include "DemoPractice.h"

namespace kvo::bench {

namespace fs = std::filesystem;

fs::path PracticeFolder() {
    const char* chosen = std::getenv("KVO_BENCH_PRACTICE");
    return chosen != nullptr && *chosen != '\0' ? fs::path(chosen)
                                                : fs::path(KVO_BENCH_DEFAULT_PRACTICE);
}

const fs::path& PracticeDatabase() {
    static const fs::path source = [] {
        const fs::path folder = PracticeFolder();
        const fs::path file = folder / "Data" / engine::kDatabaseFileName;
        if (!fs::exists(file)) {
            std::fprintf(stderr, "building the %d x %d practice in %s ...\n", kDentists, kYears,
                         folder.c_str());
            demo::TDemoOptions options;
            options.out = folder.string();
            options.dentists = kDentists;
            options.years = kYears;
            options.seed = 1;
            options.endDate = kEndDate;
            demo::CreateDemoPractice(options);
        }
        return file;
    }();
    return source;
}

fs::path FreshDatabaseCopy(const std::string& name) {
    const fs::path folder = fs::temp_directory_path() / ("kvo-bench-" + name);
    fs::create_directories(folder);
    for (const char* suffix : {"", "-wal", "-shm"})
        fs::remove(folder / (std::string(engine::kDatabaseFileName) + suffix));
    fs::copy_file(PracticeDatabase(), folder / engine::kDatabaseFileName,
                  fs::copy_options::overwrite_existing);
    return folder;
}

double TimeOnAppointmentBook(
    benchmark::State& state, const std::vector<std::string>& params,
    const std::function<void(engine::TTable& calendar, engine::TTable& entries)>& change) {
    using engine::Session;
    state.PauseTiming();
    Session().RemoveDatabase("KVO");
    Session().Database("KVO").Params() = params;
    Session().Database("KVO").Open();
    std::optional<engine::TTable> calendar(std::in_place), entries(std::in_place);
    calendar->SetDatabaseName("KVO");
    calendar->SetTableName("APP_CAL.DB");
    entries->SetDatabaseName("KVO");
    entries->SetTableName("APP_REC.DB");
    state.ResumeTiming();

    const auto start = std::chrono::steady_clock::now();
    change(*calendar, *entries);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    state.PauseTiming();
    calendar.reset();  // the tables close before their database goes
    entries.reset();
    Session().RemoveDatabase("KVO");
    state.ResumeTiming();
    return seconds;
}

void UseLocalInstallation(const std::string& name) {
    const fs::path install = fs::temp_directory_path() / name;
    fs::create_directories(install / "C" / "Kestavo");
    if (std::FILE* drives = std::fopen((install / "drives.ini").c_str(), "w")) {
        std::fprintf(drives, "[C]\nPath=%s\n", (install / "C").c_str());
        std::fclose(drives);
    }
    setenv("KESTAVO_DRIVES", (install / "drives.ini").c_str(), 1);
}

}  // namespace kvo::bench
