// "Go" (the break reset of one dentist over five years) on the 20-dentist,
// 30-year practice served by a PostgreSQL server, against the same change
// made by two set-based SQL statements on that server, and against "Go" on
// the same practice in its SQLite file.  The server is a throw-away one on a
// loopback port, started and stopped by this program.
//
//   KVO_BENCH_PRACTICE=DIR   where the generated practice is kept (default:
//                            in the build tree); built on first use.
#include <benchmark/benchmark.h>
#include <libpq-fe.h>
#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "BenchPractice.h"
#include "PgServer.h"
#include "app/break_reset.h"
#include "common/Common.h"
#include "engine/engine.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using kvo::bench::PracticeDatabase;
using kvo::engine::Session;
using kvo::engine::TTable;

constexpr const char* kDentist = "7";
constexpr const char* kFromDate = "31/12/2020";    // five years before the last day
constexpr const char* kFromStored = "2020-12-31";  // the same date as the engine stores it
constexpr const char* kTemplate = "practice";      // the loaded practice on the server

kvo::testing::PgServer& Server() {
    return kvo::testing::PgServer::Shared();
}

std::string Connection(const std::string& database) {
    return "host=127.0.0.1 port=" + std::to_string(Server().Port()) +
           " user=kvo connect_timeout=10 dbname=" + database;
}

struct Pg {
    explicit Pg(const std::string& database) : conn(PQconnectdb(Connection(database).c_str())) {
        if (PQstatus(conn) != CONNECTION_OK) throw std::runtime_error(PQerrorMessage(conn));
    }
    ~Pg() { PQfinish(conn); }
    void Exec(const std::string& sql, std::vector<const char*> params = {}) const {
        PGresult* r = PQexecParams(conn, sql.c_str(), static_cast<int>(params.size()), nullptr,
                                   params.data(), nullptr, nullptr, 0);
        const bool ok = PQresultStatus(r) == PGRES_COMMAND_OK ||
                        PQresultStatus(r) == PGRES_TUPLES_OK || PQresultStatus(r) == PGRES_COPY_IN;
        const std::string error = ok ? "" : PQresultErrorMessage(r);
        PQclear(r);
        if (!ok) throw std::runtime_error(sql + ": " + error);
    }
    long long Count(const std::string& sql) const {
        PGresult* r = PQexec(conn, sql.c_str());
        const long long n = PQresultStatus(r) == PGRES_TUPLES_OK && PQntuples(r) == 1
                                ? std::atoll(PQgetvalue(r, 0, 0))
                                : -1;
        PQclear(r);
        return n;
    }
    PGconn* conn;
};

// COPY's text form of one SQLite value.
void AppendCopyValue(std::string& line, sqlite3_stmt* stmt, int column) {
    if (sqlite3_column_type(stmt, column) == SQLITE_NULL) {
        line += "\\N";
        return;
    }
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, column));
    for (const char* p = text; p != nullptr && *p != '\0'; ++p) {
        switch (*p) {
            case '\\':
                line += "\\\\";
                break;
            case '\t':
                line += "\\t";
                break;
            case '\n':
                line += "\\n";
                break;
            case '\r':
                line += "\\r";
                break;
            default:
                line += *p;
        }
    }
}

// Loads the generated practice into the server once: the tables through the
// engine (so that their definitions are the engine's), the rows by COPY,
// then the same indexes as in the file.
void LoadPractice() {
    Server().Sql(std::string("CREATE DATABASE ") + kTemplate);
    Session().Database("LOAD").Params() = {"CONNECTION=" + Connection(kTemplate)};
    Session().Database("SRC").Params() = {"PATH=" + PracticeDatabase().parent_path().string()};
    sqlite3* src = nullptr;
    sqlite3_open_v2(PracticeDatabase().c_str(), &src, SQLITE_OPEN_READONLY, nullptr);
    Pg pg(kTemplate);
    std::vector<std::string> tables, indexes;
    {
        sqlite3_stmt* stmt = nullptr;
        sqlite3_prepare_v2(src, "SELECT type, name, sql FROM sqlite_master WHERE sql IS NOT NULL",
                           -1, &stmt, nullptr);
        while (sqlite3_step(stmt) == SQLITE_ROW) {
            const std::string type = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
            (type == "table" ? tables : indexes)
                .push_back(reinterpret_cast<const char*>(
                    sqlite3_column_text(stmt, type == "table" ? 1 : 2)));
        }
        sqlite3_finalize(stmt);
    }
    for (const auto& name : tables) {
        TTable from, to;
        from.SetDatabaseName("SRC");
        from.SetTableName(name);
        from.UpdateFieldDefs();
        to.SetDatabaseName("LOAD");
        to.SetTableName(name);
        to.FieldDefs() = from.FieldDefs();
        to.CreateTable();
        std::string columns;
        for (const auto& def : from.FieldDefs())
            columns += (columns.empty() ? "\"" : ", \"") + def.Name + "\"";
        pg.Exec("COPY \"" + name + "\" (" + columns + ") FROM STDIN");
        sqlite3_stmt* stmt = nullptr;
        sqlite3_prepare_v2(src,
                           ("SELECT " + columns + " FROM \"" + name + "\" ORDER BY rowid").c_str(),
                           -1, &stmt, nullptr);
        std::string chunk;
        const int n = sqlite3_column_count(stmt);
        while (sqlite3_step(stmt) == SQLITE_ROW) {
            for (int i = 0; i < n; ++i) {
                if (i > 0) chunk += '\t';
                AppendCopyValue(chunk, stmt, i);
            }
            chunk += '\n';
            if (chunk.size() > (1 << 20)) {
                PQputCopyData(pg.conn, chunk.data(), static_cast<int>(chunk.size()));
                chunk.clear();
            }
        }
        sqlite3_finalize(stmt);
        PQputCopyData(pg.conn, chunk.data(), static_cast<int>(chunk.size()));
        PQputCopyEnd(pg.conn, nullptr);
        PGresult* r = PQgetResult(pg.conn);
        const bool ok = PQresultStatus(r) == PGRES_COMMAND_OK;
        const std::string error = PQresultErrorMessage(r);
        PQclear(r);
        while ((r = PQgetResult(pg.conn)) != nullptr)
            PQclear(r);
        if (!ok) throw std::runtime_error("COPY " + name + ": " + error);
    }
    for (const auto& sql : indexes)
        pg.Exec(sql);
    pg.Exec("VACUUM ANALYZE");
    sqlite3_close(src);
    Session().RemoveDatabase("LOAD");
    Session().RemoveDatabase("SRC");
}

// A fresh copy of the loaded practice on the server for one iteration.
std::string FreshServerCopy() {
    static int n = 0;
    const std::string name = "run" + std::to_string(++n);
    Server().Sql("CREATE DATABASE " + name + " TEMPLATE " + kTemplate);
    return name;
}

void DropServerCopy(const std::string& name) {
    Server().Sql("DROP DATABASE " + name);
}

struct Timing {
    double seconds = 0;
    int runs = 0;
    double Ms() const { return runs > 0 ? seconds / runs * 1e3 : 0; }
};
Timing g_goServer, g_sqlServer, g_goFile;

// "Go" through the engine on the practice that `params` name.
void RunGo(benchmark::State& state, const std::vector<std::string>& params, Timing& timing) {
    timing.seconds +=
        kvo::bench::TimeOnAppointmentBook(state, params, [](TTable& calendar, TTable& entries) {
            kvo::app::ClearBreaksFrom(calendar, entries, kDentist, kFromDate);
        });
    ++timing.runs;
}

void BM_Go_Server(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        const std::string copy = FreshServerCopy();
        state.ResumeTiming();
        RunGo(state, {"CONNECTION=" + Connection(copy)}, g_goServer);
        state.PauseTiming();
        Pg pg(copy);
        state.counters["breaks_left"] =
            static_cast<double>(pg.Count("SELECT count(*) FROM \"APP_REC\" WHERE \"Type\" = '*'"));
        state.counters["empty_days"] = static_cast<double>(
            pg.Count("SELECT count(*) FROM \"APP_CAL\" WHERE \"User\" = 7 AND \"Start\" IS NULL"));
        PQfinish(pg.conn);  // the copy cannot be dropped while connected
        pg.conn = nullptr;
        DropServerCopy(copy);
        state.ResumeTiming();
    }
}

void BM_SetBasedSql_Server(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        const std::string copy = FreshServerCopy();
        std::optional<Pg> pg(std::in_place, copy);
        state.ResumeTiming();

        const auto start = Clock::now();
        pg->Exec("BEGIN");
        pg->Exec(
            "UPDATE \"APP_CAL\" SET \"Start\" = NULL, \"End\" = NULL, \"Interval\" = NULL, "
            "\"Closed\" = NULL, \"Breaks\" = NULL "
            "WHERE \"User\" = $1 AND \"Date\" >= $2 AND NOT coalesce(\"Closed\", false)",
            {kDentist, kFromStored});
        pg->Exec(
            "DELETE FROM \"APP_REC\" WHERE \"Type\" = '*' AND \"User\" = $1 AND \"Date\" >= $2",
            {kDentist, kFromStored});
        pg->Exec("COMMIT");
        g_sqlServer.seconds += std::chrono::duration<double>(Clock::now() - start).count();
        ++g_sqlServer.runs;

        state.PauseTiming();
        state.counters["breaks_left"] =
            static_cast<double>(pg->Count("SELECT count(*) FROM \"APP_REC\" WHERE \"Type\" = '*'"));
        state.counters["empty_days"] = static_cast<double>(
            pg->Count("SELECT count(*) FROM \"APP_CAL\" WHERE \"User\" = 7 AND \"Start\" IS NULL"));
        pg.reset();
        DropServerCopy(copy);
        state.ResumeTiming();
    }
}

void BM_Go_File(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        const fs::path folder = kvo::bench::FreshDatabaseCopy("pg-file");
        state.ResumeTiming();
        RunGo(state, {"PATH=" + folder.string()}, g_goFile);
    }
}

BENCHMARK(BM_Go_Server)->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SetBasedSql_Server)->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Go_File)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    // Everything that is set up once happens before any timing starts.
    PracticeDatabase();
    kvo::common::SetEventReportHook({});
    kvo::bench::UseLocalInstallation("kvo-bench-pg-install");
    std::fprintf(stderr, "loading the practice into a test server ...\n");
    LoadPractice();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (g_goServer.runs > 0 && g_sqlServer.runs > 0 && g_goFile.runs > 0)
        std::printf(
            "break reset, one dentist over five years, on the server: operation %.1f ms, "
            "set-based SQL %.1f ms, ratio %.1f; the same operation on the file %.1f ms, "
            "server/file ratio %.2f\n",
            g_goServer.Ms(), g_sqlServer.Ms(), g_goServer.Ms() / g_sqlServer.Ms(), g_goFile.Ms(),
            g_goServer.Ms() / g_goFile.Ms());
    return 0;
}
