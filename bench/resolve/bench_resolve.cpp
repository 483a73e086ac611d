// Address resolution through a binary's embedded debug data against libdw's
// DWARF lookup, on the same 100,000 addresses: the bare line lookup, and the
// full path a report takes (ResolveAddress: module, names, frame check); and
// the size of the embedded data against the binary's DWARF sections.
//
//   bench_resolve [BINARY] [benchmark flags]
// Without BINARY (or KVO_RESOLVE_BINARY) the largest program or library of
// the build tree that carries embedded data is used.
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <elfutils/libdwfl.h>
#include <fcntl.h>
#include <gelf.h>
#include <link.h>
#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include "crashlog/CrashDebug.h"

using namespace crashlog;
namespace fs = std::filesystem;

namespace {

struct Target {
    std::string path;
    uint64_t base = 0;  // lowest loaded address
    uint64_t codeLo = 0, codeHi = 0;
    uint64_t cldataSize = 0, dwarfSize = 0;
    std::optional<TCrashLibraryData> data;
    std::vector<uint64_t> addresses;
};
Target gTarget;

bool Inspect(const std::string& path, Target& t) {
    elf_version(EV_CURRENT);
    std::ifstream in(path, std::ios::binary);
    Bytes file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (file.empty()) return false;
    Elf* e = elf_memory(reinterpret_cast<char*>(file.data()), file.size());
    if (!e) return false;
    size_t shstrndx = 0, nph = 0;
    bool ok = elf_getshdrstrndx(e, &shstrndx) == 0 && elf_getphdrnum(e, &nph) == 0;
    t.base = UINT64_MAX;
    for (size_t i = 0; ok && i < nph; ++i) {
        GElf_Phdr ph;
        if (gelf_getphdr(e, int(i), &ph) && ph.p_type == PT_LOAD)
            t.base = std::min<uint64_t>(t.base, ph.p_vaddr & ~uint64_t(0xFFF));
    }
    for (Elf_Scn* s = nullptr; ok && (s = elf_nextscn(e, s));) {
        GElf_Shdr sh;
        if (!gelf_getshdr(s, &sh)) continue;
        const char* n = elf_strptr(e, shstrndx, sh.sh_name);
        if (!n) continue;
        if (!std::strcmp(n, ".text")) {
            t.codeLo = sh.sh_addr;
            t.codeHi = sh.sh_addr + sh.sh_size;
        }
        if (!std::strncmp(n, ".debug_", 7) || !std::strncmp(n, ".zdebug_", 8))
            t.dwarfSize += sh.sh_size;
        if (!std::strcmp(n, kCLDataSection)) {
            t.cldataSize = sh.sh_size;
            t.data = ParseLibraryData(ByteSpan(file).subspan(sh.sh_offset, sh.sh_size));
        }
    }
    elf_end(e);
    t.path = path;
    return ok && t.data && t.codeHi > t.codeLo;
}

std::string LargestBinary(const std::string& root) {
    std::vector<std::pair<uintmax_t, fs::path>> candidates;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::end(it);
         it.increment(ec)) {
        if (!it->is_regular_file(ec)) continue;
        auto p = it->path();
        bool lib = p.extension() == ".so";
        bool exe = (it->status(ec).permissions() & fs::perms::owner_exec) != fs::perms::none;
        if (lib || exe) candidates.emplace_back(it->file_size(ec), p);
    }
    std::sort(candidates.rbegin(), candidates.rend());
    for (auto& [size, p] : candidates) {
        Target t;
        if (Inspect(p, t)) return p;
    }
    return {};
}

void BM_ResolveEmbedded(benchmark::State& state) {
    const Target& t = gTarget;
    TCrashNameDecoder names(t.data->Version, DebugKeyFromPassword(""), true);
    // The index is what a module entry builds on its first lookup.
    TCrashUnitIndex index = BuildUnitIndex(t.data->DebugData, t.data->Version);
    size_t found = 0;
    for (auto _ : state) {
        found = 0;
        for (uint64_t a : t.addresses) {
            auto r = LookupLine(t.data->DebugData, t.data->Version, names,
                                uint32_t(a - t.base - kCodeOffsetBase), nullptr, nullptr, &index);
            found += r && r->Line > 0;
            benchmark::DoNotOptimize(r);
        }
    }
    state.counters["addresses"] = double(t.addresses.size());
    state.counters["with_line"] = double(found);
    state.counters["ns_per_address"] = benchmark::Counter(
        double(t.addresses.size()),
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// The file's loadable segments mapped read-only at an address of our
// choosing, as the loader would place them; the image's handle and bias.
struct MappedImage {
    uintptr_t handle = 0, bias = 0;
    size_t extent = 0;
};

bool MapImage(const std::string& path, MappedImage& image) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    Elf* e = elf_begin(fd, ELF_C_READ, nullptr);
    size_t nph = 0;
    std::vector<GElf_Phdr> loads;
    if (e && elf_getphdrnum(e, &nph) == 0) {
        for (size_t i = 0; i < nph; ++i) {
            GElf_Phdr ph;
            if (gelf_getphdr(e, int(i), &ph) && ph.p_type == PT_LOAD) loads.push_back(ph);
        }
    }
    if (e) elf_end(e);
    const uint64_t page = uint64_t(sysconf(_SC_PAGESIZE));
    uint64_t lo = UINT64_MAX, hi = 0;
    for (const auto& ph : loads) {
        lo = std::min(lo, ph.p_vaddr & ~(page - 1));
        hi = std::max(hi, ph.p_vaddr + ph.p_memsz);
    }
    bool ok = !loads.empty();
    void* area =
        ok ? mmap(nullptr, hi - lo, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0) : MAP_FAILED;
    ok = area != MAP_FAILED;
    for (size_t i = 0; ok && i < loads.size(); ++i) {
        const auto& ph = loads[i];
        const uint64_t start = ph.p_vaddr & ~(page - 1);
        const uint64_t fileEnd = ph.p_vaddr + ph.p_filesz;
        if (fileEnd <= start) continue;
        ok = mmap(static_cast<char*>(area) + (start - lo), fileEnd - start, PROT_READ,
                  MAP_PRIVATE | MAP_FIXED, fd, off_t(ph.p_offset & ~(page - 1))) != MAP_FAILED;
    }
    close(fd);
    if (!ok) return false;
    image.handle = reinterpret_cast<uintptr_t>(area);
    image.bias = image.handle - lo;
    image.extent = hi - lo;
    return true;
}

// The whole path a crash report takes for each address: the module found,
// the names decoded, the procedure's first bytes checked.  A shared library
// is loaded; a program (which cannot be loaded twice) is mapped.
void BM_ResolveFull(benchmark::State& state) {
    const Target& t = gTarget;
    TCrashModulesList modules;
    uintptr_t bias = 0;
    void* lib = t.path.ends_with(".so") ? dlopen(t.path.c_str(), RTLD_NOW | RTLD_LOCAL) : nullptr;
    if (lib) {
        link_map* map = nullptr;
        dlinfo(lib, RTLD_DI_LINKMAP, &map);
        bias = map->l_addr;
    } else {
        MappedImage image;
        if (!MapImage(t.path, image) ||
            !modules.AddMappedImage(t.path, image.handle, image.bias, image.extent)) {
            state.SkipWithError("cannot map the binary");
            return;
        }
        bias = image.bias;
    }
    // The first pass builds what each module keeps (its decoded lines and
    // names); it is timed on its own, the steady state by the benchmark.
    const auto firstStart = std::chrono::steady_clock::now();
    for (uint64_t a : t.addresses)
        benchmark::DoNotOptimize(modules.ResolveAddress(bias + a, 0, false, true));
    const double firstPass =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - firstStart)
            .count();
    size_t found = 0;
    for (auto _ : state) {
        found = 0;
        for (uint64_t a : t.addresses) {
            StackEntry e = modules.ResolveAddress(bias + a, 0, false, true);
            found += e.Kind == 4 && e.Line > 0;
            benchmark::DoNotOptimize(e);
        }
    }
    state.counters["addresses"] = double(t.addresses.size());
    state.counters["with_line"] = double(found);
    state.counters["first_pass_ms"] = firstPass;
    state.counters["ns_per_address"] = benchmark::Counter(
        double(t.addresses.size()),
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// The baseline: libdw alone, asked what a report needs (the routine's
// name, the line and file, the routine's first line), as a tool built on
// libdw asks it.
void BM_ResolveDwarf(benchmark::State& state) {
    const Target& t = gTarget;
    static char* debugPath = nullptr;
    static const Dwfl_Callbacks callbacks = {dwfl_build_id_find_elf, dwfl_standard_find_debuginfo,
                                             dwfl_offline_section_address, &debugPath};
    Dwfl* dwfl = dwfl_begin(&callbacks);
    dwfl_report_begin(dwfl);
    Dwfl_Module* mod = dwfl_report_elf(dwfl, "target", t.path.c_str(), -1, 0, false);
    dwfl_report_end(dwfl, nullptr, nullptr);
    Dwarf_Addr bias = 0;
    if (!mod || !dwfl_module_getdwarf(mod, &bias)) {
        dwfl_end(dwfl);
        state.SkipWithError("no DWARF in the binary");
        return;
    }
    size_t found = 0;
    for (auto _ : state) {
        found = 0;
        for (uint64_t a : t.addresses) {
            GElf_Off symOff = 0;
            GElf_Sym sym;
            const char* name =
                dwfl_module_addrinfo(mod, a, &symOff, &sym, nullptr, nullptr, nullptr);
            std::string routine = name ? name : "";
            int line = 0, first = 0;
            const char* file = nullptr;
            if (Dwfl_Line* l = dwfl_module_getsrc(mod, a)) {
                Dwarf_Addr at;
                file = dwfl_lineinfo(l, &at, &line, nullptr, nullptr, nullptr);
                if (name && line > 0) {
                    if (Dwfl_Line* f = dwfl_module_getsrc(mod, a - symOff))
                        dwfl_lineinfo(f, &at, &first, nullptr, nullptr, nullptr);
                }
            }
            found += line > 0;
            benchmark::DoNotOptimize(routine);
            benchmark::DoNotOptimize(file);
            benchmark::DoNotOptimize(first);
        }
    }
    dwfl_end(dwfl);
    state.counters["addresses"] = double(t.addresses.size());
    state.counters["with_line"] = double(found);
    state.counters["ns_per_address"] = benchmark::Counter(
        double(t.addresses.size()),
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

}  // namespace

BENCHMARK(BM_ResolveEmbedded)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_ResolveFull)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_ResolveDwarf)->Unit(benchmark::kMillisecond)->MinTime(1.0);

int main(int argc, char** argv) {
    std::string path;
    if (const char* env = std::getenv("KVO_RESOLVE_BINARY")) path = env;
    if (argc > 1 && argv[1][0] != '-') {
        path = argv[1];
        --argc;
        ++argv;
        argv[0] = argv[-1];
    }
    if (path.empty()) path = LargestBinary(KVO_BUILD_ROOT);
    if (path.empty() || !Inspect(path, gTarget)) {
        std::fprintf(stderr, "bench_resolve: no binary with embedded debug data (%s)\n",
                     path.c_str());
        return 1;
    }
    std::mt19937_64 rng(20261210);
    std::uniform_int_distribution<uint64_t> pick(gTarget.codeLo, gTarget.codeHi - 1);
    gTarget.addresses.resize(100000);
    for (auto& a : gTarget.addresses)
        a = pick(rng);
    std::printf("binary: %s (%ju bytes)\n", path.c_str(), uintmax_t(fs::file_size(path)));
    std::printf("embedded .cldata: %ju bytes (debug data %zu bytes before compression)\n",
                uintmax_t(gTarget.cldataSize), gTarget.data->DebugData.size());
    std::printf("DWARF sections:   %ju bytes\n", uintmax_t(gTarget.dwarfSize));
    if (gTarget.dwarfSize)
        std::printf("embedded / DWARF: %.1f %%\n",
                    100.0 * double(gTarget.cldataSize) / double(gTarget.dwarfSize));
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
