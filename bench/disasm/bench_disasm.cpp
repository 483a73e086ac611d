// Decoding speed on real compiled code: the .text of the largest program or
// library of the build (or the file named by KVO_BENCH_DISASM_FILE or the
// first argument), decoded by TDisAsm and by a peer decoder in the same run.
//
//   bench_disasm [FILE] [--benchmark_...]
#include <Zydis/Zydis.h>
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "ElfText.h"
#include "crashlog/CrashDisasm.h"

namespace fs = std::filesystem;
using crashlog::TDisAsm;
using crashlog::TDisAsmMode;

namespace {

kvo_test::ElfText g_text;

bool IsElf(const fs::path& path) {
    char magic[4] = {};
    std::ifstream(path, std::ios::binary).read(magic, 4);
    return std::memcmp(magic,
                       "\x7F"
                       "ELF",
                       4) == 0;
}

std::string LargestElfUnder(const fs::path& dir) {
    std::string best;
    std::uintmax_t bestSize = 0;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::end(it);
         it.increment(ec)) {
        if (!it->is_regular_file(ec) || it->path().extension() == ".o") continue;
        const std::uintmax_t size = it->file_size(ec);
        if (!ec && size > bestSize && IsElf(it->path())) {
            best = it->path().string();
            bestSize = size;
        }
    }
    return best;
}

void DecodeOurs(benchmark::State& state, TDisAsmMode mode) {
    const TDisAsm d(mode);
    const std::uint8_t* bytes = g_text.Bytes.data();
    const std::size_t size = g_text.Bytes.size();
    std::int64_t count = 0;
    for (auto _ : state) {
        for (std::size_t at = 0; at < size;) {
            int length = 0;
            std::string text = d.Disassemble(bytes + at, size - at, g_text.Address + at, length);
            benchmark::DoNotOptimize(text);
            at += static_cast<std::size_t>(length);
            ++count;
        }
    }
    state.SetItemsProcessed(count);
}

void DecodePeer(benchmark::State& state, TDisAsmMode mode, bool format) {
    ZydisDecoder decoder;
    if (mode == TDisAsmMode::Bits64) {
        ZydisDecoderInit(&decoder, ZYDIS_MACHINE_MODE_LONG_64, ZYDIS_STACK_WIDTH_64);
    } else {
        ZydisDecoderInit(&decoder, ZYDIS_MACHINE_MODE_LEGACY_32, ZYDIS_STACK_WIDTH_32);
    }
    ZydisFormatter formatter;
    ZydisFormatterInit(&formatter, ZYDIS_FORMATTER_STYLE_INTEL);
    const std::uint8_t* bytes = g_text.Bytes.data();
    const std::size_t size = g_text.Bytes.size();
    std::int64_t count = 0;
    ZydisDecodedInstruction insn;
    ZydisDecodedOperand operands[ZYDIS_MAX_OPERAND_COUNT];
    char buffer[256];
    for (auto _ : state) {
        for (std::size_t at = 0; at < size; ++count) {
            if (!ZYAN_SUCCESS(
                    ZydisDecoderDecodeFull(&decoder, bytes + at, size - at, &insn, operands))) {
                ++at;
                continue;
            }
            if (format) {
                ZydisFormatterFormatInstruction(&formatter, &insn, operands,
                                                insn.operand_count_visible, buffer, sizeof buffer,
                                                g_text.Address + at, nullptr);
                benchmark::DoNotOptimize(buffer);
            }
            at += insn.length;
        }
    }
    state.SetItemsProcessed(count);
}

// Keeps each run's instructions per second so that the ratios can be
// printed after the table.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    std::map<std::string, double> PerSecond;
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration) continue;
            const auto it = run.counters.find("items_per_second");
            if (it != run.counters.end()) PerSecond[run.benchmark_name()] = it->second.value;
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    std::string file;
    if (argc > 1) file = argv[1];
    if (file.empty() && std::getenv("KVO_BENCH_DISASM_FILE")) {
        file = std::getenv("KVO_BENCH_DISASM_FILE");
    }
    if (file.empty()) file = LargestElfUnder(KVO_BUILD_DIR);
    g_text = kvo_test::ReadElfText(file);
    if (g_text.Bytes.empty()) {
        file = "/proc/self/exe";
        g_text = kvo_test::ReadElfText(file);
    }
    if (g_text.Bytes.empty()) {
        std::fprintf(stderr, "bench_disasm: no .text to decode\n");
        return 1;
    }
    std::printf("Decoding .text of %s: %zu bytes\n", file.c_str(), g_text.Bytes.size());

    benchmark::RegisterBenchmark("TDisAsm/64", DecodeOurs, TDisAsmMode::Bits64)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("Zydis/64/decode", DecodePeer, TDisAsmMode::Bits64, false)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("Zydis/64/decode+format", DecodePeer, TDisAsmMode::Bits64, true)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("TDisAsm/32", DecodeOurs, TDisAsmMode::Bits32)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("Zydis/32/decode+format", DecodePeer, TDisAsmMode::Bits32, true)
        ->Unit(benchmark::kMillisecond);

    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    const auto rate = [&](const char* name) {
        const auto it = reporter.PerSecond.find(name);
        return it == reporter.PerSecond.end() ? 0.0 : it->second;
    };
    const auto line = [&](const char* ours, const char* peer) {
        const double a = rate(ours), b = rate(peer);
        if (a > 0 && b > 0) {
            std::printf("%-12s %6.2f M instructions/s; %-24s %6.2f M/s; ratio %.2f\n", ours,
                        a / 1e6, peer, b / 1e6, a / b);
        }
    };
    line("TDisAsm/64", "Zydis/64/decode");
    line("TDisAsm/64", "Zydis/64/decode+format");
    line("TDisAsm/32", "Zydis/32/decode+format");
    return 0;
}
