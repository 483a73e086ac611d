// The break reset of one dentist over five years of a large practice: the
// program's own operation (one transaction, with what it removes kept for
// undo) against two set-based SQL statements making the same change; and
// the same for all 20 dentists in one go.
//
//   KVO_BENCH_PRACTICE=DIR   where the generated practice is kept (default:
//                            in the build tree); built on first use.
//
// The events each reset records stay on this machine: the report to the
// support server is switched off and the installation folder points into
// the temporary folder.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "BenchPractice.h"
#include "app/break_reset.h"
#include "common/Common.h"
#include "engine/engine.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using kvo::bench::FreshDatabaseCopy;
using kvo::bench::kDentists;

constexpr const char* kDentist = "7";
constexpr const char* kFromDate = "31/12/2020";    // five years before the last day
constexpr const char* kFromStored = "2020-12-31";  // the same date as the engine stores it

double g_engineSeconds = 0, g_sqlSeconds = 0, g_allSeconds = 0, g_sqlAllSeconds = 0;
int g_engineRuns = 0, g_sqlRuns = 0, g_allRuns = 0, g_sqlAllRuns = 0;

long long Count(sqlite3* db, const char* sql) {
    sqlite3_stmt* stmt = nullptr;
    long long n = -1;
    if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) == SQLITE_OK &&
        sqlite3_step(stmt) == SQLITE_ROW)
        n = sqlite3_column_int64(stmt, 0);
    sqlite3_finalize(stmt);
    return n;
}

// What the change left, the same way for both runs: emptied days of the
// dentist and break entries remaining in the whole table.
void Report(benchmark::State& state, const fs::path& folder) {
    sqlite3* db = nullptr;
    sqlite3_open_v2((folder / kvo::engine::kDatabaseFileName).c_str(), &db, SQLITE_OPEN_READONLY,
                    nullptr);
    state.counters["empty_days"] = static_cast<double>(
        Count(db, "SELECT count(*) FROM \"APP_CAL\" WHERE \"User\" = 7 AND \"Start\" IS NULL"));
    state.counters["breaks_left"] =
        static_cast<double>(Count(db, "SELECT count(*) FROM \"APP_REC\" WHERE \"Type\" = '*'"));
    sqlite3_close(db);
}

// One timed reset of `dentists` on a fresh copy; returns the copy's folder.
fs::path TimedReset(benchmark::State& state, const std::vector<std::string>& dentists,
                    double& seconds, int& runs) {
    state.PauseTiming();
    const fs::path folder = FreshDatabaseCopy("engine");
    state.ResumeTiming();
    kvo::app::TResetResult result;
    seconds += kvo::bench::TimeOnAppointmentBook(
        state, {"PATH=" + folder.string()},
        [&](kvo::engine::TTable& calendar, kvo::engine::TTable& entries) {
            result = kvo::app::ResetBreaks(calendar, entries, dentists, kFromDate);
        });
    ++runs;
    if (result.resetId == 0) state.SkipWithError("the reset kept nothing for undo");
    return folder;
}

void BM_BreakReset_Engine(benchmark::State& state) {
    fs::path folder;
    for (auto _ : state)
        folder = TimedReset(state, {kDentist}, g_engineSeconds, g_engineRuns);
    Report(state, folder);
}

void BM_BreakReset_AllDentists(benchmark::State& state) {
    std::vector<std::string> all;
    for (int d = 1; d <= kDentists; ++d)
        all.push_back(std::to_string(d));
    for (auto _ : state)
        TimedReset(state, all, g_allSeconds, g_allRuns);
}

void Exec(sqlite3* db, const std::string& sql) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK)
        throw std::runtime_error(sqlite3_errmsg(db));
    sqlite3_bind_int(stmt, 1, 7);
    sqlite3_bind_text(stmt, 2, kFromStored, -1, SQLITE_STATIC);
    const int rc = sqlite3_step(stmt);
    sqlite3_finalize(stmt);
    if (rc != SQLITE_DONE) throw std::runtime_error(sqlite3_errmsg(db));
}

// The same change as two set-based statements, for dentist 7 or for all.
fs::path TimedSql(benchmark::State& state, bool allDentists, double& seconds, int& runs) {
    state.PauseTiming();
    const fs::path folder = FreshDatabaseCopy("sql");
    sqlite3* db = nullptr;
    sqlite3_open((folder / kvo::engine::kDatabaseFileName).c_str(), &db);
    // The engine's own settings, so that both write the same way.
    sqlite3_exec(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL", nullptr, nullptr,
                 nullptr);
    const std::string user = allDentists ? "?1 = ?1" : "\"User\" = ?1";
    state.ResumeTiming();

    const auto start = Clock::now();
    Exec(db,
         "UPDATE \"APP_CAL\" SET \"Start\" = NULL, \"End\" = NULL, \"Interval\" = NULL, "
         "\"Closed\" = NULL, \"Breaks\" = NULL WHERE " +
             user + " AND \"Date\" >= ?2 AND NOT coalesce(\"Closed\", 0)");
    Exec(db, "DELETE FROM \"APP_REC\" WHERE \"Type\" = '*' AND " + user + " AND \"Date\" >= ?2");
    seconds += std::chrono::duration<double>(Clock::now() - start).count();
    ++runs;

    state.PauseTiming();
    sqlite3_close(db);
    state.ResumeTiming();
    return folder;
}

void BM_BreakReset_Sql(benchmark::State& state) {
    fs::path folder;
    for (auto _ : state)
        folder = TimedSql(state, false, g_sqlSeconds, g_sqlRuns);
    Report(state, folder);
}

void BM_BreakReset_SqlAllDentists(benchmark::State& state) {
    for (auto _ : state)
        TimedSql(state, true, g_sqlAllSeconds, g_sqlAllRuns);
}

BENCHMARK(BM_BreakReset_Engine)->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BreakReset_Sql)->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BreakReset_AllDentists)->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BreakReset_SqlAllDentists)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    kvo::bench::PracticeDatabase();  // built before any timing starts
    kvo::common::SetEventReportHook({});
    kvo::bench::UseLocalInstallation("kvo-bench-install");
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (g_engineRuns > 0 && g_sqlRuns > 0) {
        const double engine = g_engineSeconds / g_engineRuns * 1e3;
        const double sql = g_sqlSeconds / g_sqlRuns * 1e3;
        std::printf(
            "break reset, one dentist over five years: operation %.1f ms, "
            "set-based SQL %.1f ms, ratio %.1f\n",
            engine, sql, engine / sql);
    }
    if (g_allRuns > 0 && g_sqlAllRuns > 0) {
        const double all = g_allSeconds / g_allRuns * 1e3;
        const double sql = g_sqlAllSeconds / g_sqlAllRuns * 1e3;
        std::printf(
            "break reset, all %d dentists in one go: operation %.1f ms (goal: under 1000), "
            "set-based SQL %.1f ms, ratio %.1f\n",
            kDentists, all, sql, all / sql);
    }
    return 0;
}
