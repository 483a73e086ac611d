// Loading and saving a log file of 1,000 reports, each against reading and
// writing the same bytes raw (the floor any log store pays), and one whole
// locked store of a report into that log.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "crashlog/CrashLogFile.h"

namespace {

namespace fs = std::filesystem;
using namespace crashlog;

constexpr int kEntries = 1000;

const fs::path& Folder() {
    static const fs::path folder = [] {
        char tmpl[] = "/tmp/bench-log-XXXXXX";
        return fs::path(::mkdtemp(tmpl));
    }();
    return folder;
}

std::string Report(int i) {
    static const std::string report = [] {
        std::ifstream in(KVO_REPORT_FIXTURE, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }();
    std::string text = report;
    char id[8];
    std::snprintf(id, sizeof id, "%04X", i & 0xFFFF);
    text.replace(text.find("2.7 ID            : 1A2B") + 20, 4, id);
    return text;
}

// A log of 1,000 entries written once.
const fs::path& BigLog() {
    static const fs::path path = [] {
        fs::path p = Folder() / "big.clf";
        TLogFile log(p.string());
        for (int i = 0; i < kEntries; ++i)
            log.AddEntry(Report(i), -1);
        log.Save();
        return p;
    }();
    return path;
}

void BM_LogLoad(benchmark::State& state) {
    const std::string path = BigLog().string();
    for (auto _ : state) {
        TLogFile log(path, true);
        benchmark::DoNotOptimize(log.Count());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(fs::file_size(path)));
}

void BM_RawRead(benchmark::State& state) {
    const std::string path = BigLog().string();
    for (auto _ : state) {
        std::ifstream in(path, std::ios::binary);
        std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        benchmark::DoNotOptimize(data.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(fs::file_size(path)));
}

void BM_LogSave(benchmark::State& state) {
    fs::path path = Folder() / "save.clf";
    fs::copy_file(BigLog(), path, fs::copy_options::overwrite_existing);
    TLogFile log(path.string());
    for (auto _ : state)
        log.Save();
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(fs::file_size(path)));
}

// The same bytes through a temporary file, flushed and renamed: what a
// crash-safe save costs at the least.
void BM_RawSafeWrite(benchmark::State& state) {
    std::ifstream in(BigLog(), std::ios::binary);
    std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    fs::path path = Folder() / "raw.clf", temp = Folder() / "raw.clf.tmp";
    for (auto _ : state) {
        int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (::write(fd, data.data(), data.size()) != static_cast<ssize_t>(data.size()))
            state.SkipWithError("write failed");
        ::fsync(fd);
        ::close(fd);
        fs::rename(temp, path);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(data.size()));
}

// One report stored into the full log with the entry limit: lock, load,
// trim, add, save.
void BM_StoreReport(benchmark::State& state) {
    fs::path path = Folder() / "store.clf";
    fs::copy_file(BigLog(), path, fs::copy_options::overwrite_existing);
    const std::string report = Report(0xBEEF);
    for (auto _ : state) {
        TLogStoreResult r =
            StoreReportInLog({path.string(), report, "BEEF", kEntries, false, false});
        if (!r.saved) state.SkipWithError(r.error.c_str());
    }
}

BENCHMARK(BM_LogLoad)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RawRead)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LogSave)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RawSafeWrite)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StoreReport)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
