// The 20-dentist, 30-year demonstration practice the benchmarks run on, and
// the set-up around it that they share.
//
//   KVO_BENCH_PRACTICE=DIR   where the generated practice is kept (default:
//                            in the build tree); built on first use.
#pragma once

#include <benchmark/benchmark.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "engine/engine.h"

namespace kvo::bench {

inline constexpr int kDentists = 20;
inline constexpr int kYears = 30;
inline constexpr const char* kEndDate = "31/12/2025";  // the practice's last booked day

// The practice's folder: KVO_BENCH_PRACTICE when set and not empty, else the
// one in the build tree.
std::filesystem::path PracticeFolder();

// The practice's database file.  The first call builds the practice when
// the file is not there yet (minutes; told on standard error), so call it
// before any timing starts.
const std::filesystem::path& PracticeDatabase();

// A fresh copy of the practice's database, alone in the temporary folder
// kvo-bench-<name> (any earlier copy and its journal files removed first);
// the folder.
std::filesystem::path FreshDatabaseCopy(const std::string& name);

// Opens the appointment book's two tables (APP_CAL.DB, APP_REC.DB) on the
// database "KVO" with `params` ("PATH=<folder>" or "CONNECTION=<...>"),
// runs `change` on them, then closes the tables and removes "KVO" again.
// Only `change` is timed: the benchmark's timing is paused around the rest
// (the caller's timing must be running).  The seconds `change` took.
double TimeOnAppointmentBook(
    benchmark::State& state, const std::vector<std::string>& params,
    const std::function<void(engine::TTable& calendar, engine::TTable& entries)>& change);

// Points the drive map (KESTAVO_DRIVES) at a drive C: in the temporary
// folder `name` and makes the installation folder on it (C:\Kestavo), so
// that the events the operations record are written there.  Without that
// folder every recorded event waits two seconds for a turn on the events
// file that never comes, and the benchmark would time that wait.
void UseLocalInstallation(const std::string& name);

}  // namespace kvo::bench
