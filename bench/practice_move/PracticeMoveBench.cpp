// Moving the 20-dentist, 30-year practice (about 2.2 million rows):
//  - the copy from its SQLite file onto a PostgreSQL server, against
//    pg_dump | psql of the same rows (the copied schema dumped and restored
//    into a fresh database);
//  - the copy from SQLite into another SQLite folder;
//  - the import of the same practice written as Paradox tables, into SQLite
//    and onto the server.
//
//   KVO_BENCH_PRACTICE=DIR   the generated practice (default: the one the
//                            break reset benchmark builds); built on first use.
// The Paradox tables are written once beside this benchmark's build.
// The server is a throw-away cluster on a loopback port, as in the tests.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>

#include "BenchPractice.h"
#include "ParadoxImport.h"
#include "ParadoxWriter.h"
#include "PgServer.h"
#include "PracticeMove.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using kvo::testing::PgServer;

// The practice's tables' folder, built on first use.
const std::string& Practice() {
    static const std::string tables = kvo::bench::PracticeDatabase().parent_path().string();
    return tables;
}

// The same practice as Paradox tables, written once.
const fs::path& ParadoxPractice() {
    static const fs::path folder = [] {
        const fs::path out = KVO_BENCH_PARADOX;
        const fs::path done = out / ".complete";
        if (!fs::exists(done)) {
            fs::remove_all(out);
            std::fprintf(stderr, "writing the practice as Paradox tables in %s ...\n", out.c_str());
            kvo::paradox::ExportPractice(Practice(), out);
            std::FILE* mark = std::fopen(done.c_str(), "w");
            if (mark != nullptr) std::fclose(mark);
        }
        return out;
    }();
    return folder;
}

fs::path FreshFolder(const std::string& name) {
    const fs::path folder = fs::temp_directory_path() / ("kvo-bench-move-" + name);
    fs::remove_all(folder);
    return folder;
}

struct TTimes {
    double seconds = 0;
    int runs = 0;
    void Add(Clock::time_point start) {
        seconds += std::chrono::duration<double>(Clock::now() - start).count();
        ++runs;
    }
    double Mean() const { return runs > 0 ? seconds / runs : 0; }
};
TTimes g_copyToServer, g_dumpRestore, g_copyToFolder, g_importToFolder, g_importToServer;
std::string g_lastServerCopy;  // the schema the last copy onto the server filled
int g_databases = 0;

void Run(const std::string& command) {
    if (std::system(command.c_str()) != 0) throw std::runtime_error("failed: " + command);
}

// Runs `step`; a failure ends the benchmark with its message instead of
// ending the program (and leaving the server running).
template <typename Step>
bool Attempt(benchmark::State& state, Step step) {
    try {
        step();
        return true;
    } catch (const std::exception& e) {
        state.SkipWithError(e.what());
        return false;
    }
}

void BM_Copy_SqliteToServer(benchmark::State& state) {
    Practice();
    auto& server = PgServer::Shared();
    for (auto _ : state) {
        const std::string schema = server.NewSchema();
        const auto start = Clock::now();
        if (!Attempt(state,
                     [&] { kvo::move::CopyPractice(Practice(), server.ConnectionString(schema)); }))
            return;
        g_copyToServer.Add(start);
        g_lastServerCopy = schema;
    }
}

void BM_DumpRestore_Baseline(benchmark::State& state) {
    auto& server = PgServer::Shared();
    if (g_lastServerCopy.empty() && !Attempt(state, [&] {
            const std::string schema = server.NewSchema();
            kvo::move::CopyPractice(Practice(), server.ConnectionString(schema));
            g_lastServerCopy = schema;
        }))
        return;
    const std::string connection =
        std::string(" -h 127.0.0.1 -p ") + std::to_string(server.Port()) + " -U kvo ";
    for (auto _ : state) {
        const std::string database = "restored" + std::to_string(++g_databases);
        server.Sql("CREATE DATABASE " + database);
        const auto start = Clock::now();
        if (!Attempt(state, [&] {
                Run(std::string(PgServer::kBin) + "/pg_dump" + connection + "-d kvo -n " +
                    g_lastServerCopy + " | " + PgServer::kBin + "/psql -q -X -v ON_ERROR_STOP=1" +
                    connection + "-d " + database + " >/dev/null");
            }))
            return;
        g_dumpRestore.Add(start);
    }
}

void BM_Copy_SqliteToSqlite(benchmark::State& state) {
    Practice();
    for (auto _ : state) {
        const fs::path target = FreshFolder("copy");
        const auto start = Clock::now();
        if (!Attempt(state, [&] { kvo::move::CopyPractice(Practice(), target.string()); })) return;
        g_copyToFolder.Add(start);
        fs::remove_all(target);
    }
}

void BM_ParadoxImport_ToSqlite(benchmark::State& state) {
    ParadoxPractice();
    for (auto _ : state) {
        const fs::path target = FreshFolder("import");
        const auto start = Clock::now();
        kvo::paradox::TImportReport report;
        if (!Attempt(state, [&] {
                report =
                    kvo::paradox::ImportPractice({ParadoxPractice().string(), target.string()});
            }))
            return;
        g_importToFolder.Add(start);
        if (!report.committed) state.SkipWithError(report.error.c_str());
        fs::remove_all(target);
    }
}

void BM_ParadoxImport_ToServer(benchmark::State& state) {
    ParadoxPractice();
    auto& server = PgServer::Shared();
    for (auto _ : state) {
        const std::string target = server.ConnectionString(server.NewSchema());
        const auto start = Clock::now();
        kvo::paradox::TImportReport report;
        if (!Attempt(state, [&] {
                report = kvo::paradox::ImportPractice({ParadoxPractice().string(), target});
            }))
            return;
        g_importToServer.Add(start);
        if (!report.committed) state.SkipWithError(report.error.c_str());
    }
}

}  // namespace

BENCHMARK(BM_Copy_SqliteToServer)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_DumpRestore_Baseline)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_Copy_SqliteToSqlite)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_ParadoxImport_ToSqlite)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_ParadoxImport_ToServer)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    auto ratio = [](const TTimes& a, const TTimes& b) {
        return b.Mean() > 0 ? a.Mean() / b.Mean() : 0.0;
    };
    if (g_copyToServer.runs > 0 && g_dumpRestore.runs > 0)
        std::printf(
            "copy SQLite -> PostgreSQL %.1f s, pg_dump | psql of the same rows %.1f s, "
            "ratio %.1f\n",
            g_copyToServer.Mean(), g_dumpRestore.Mean(), ratio(g_copyToServer, g_dumpRestore));
    if (g_copyToFolder.runs > 0)
        std::printf("copy SQLite -> SQLite %.1f s (%.1f x pg_dump | psql)\n", g_copyToFolder.Mean(),
                    ratio(g_copyToFolder, g_dumpRestore));
    if (g_importToFolder.runs > 0)
        std::printf("Paradox import -> SQLite %.1f s (%.2f x the SQLite copy)\n",
                    g_importToFolder.Mean(), ratio(g_importToFolder, g_copyToFolder));
    if (g_importToServer.runs > 0)
        std::printf(
            "Paradox import -> PostgreSQL %.1f s (%.2f x the copy onto the server, "
            "%.1f x pg_dump | psql)\n",
            g_importToServer.Mean(), ratio(g_importToServer, g_copyToServer),
            ratio(g_importToServer, g_dumpRestore));
    return 0;
}
