#include <cxxabi.h>
#include <dlfcn.h>
#include <elfutils/libdwfl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>

#include "CrashDebugCodec.h"
#include "crashlog/CrashDebug.h"

namespace crashlog {
namespace {

namespace fs = std::filesystem;

struct LoadedFixture {
    void* lib = nullptr;
    uintptr_t leaf = 0, twice = 0;
    int leafLine = 0, twiceLine = 0;
    explicit LoadedFixture(const std::string& path) {
        lib = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!lib) return;
        leaf = reinterpret_cast<uintptr_t>(dlsym(lib, "FixtureLeaf"));
        auto twiceAddr = reinterpret_cast<void* (*)()>(dlsym(lib, "FixtureTwiceAddress"));
        twice = reinterpret_cast<uintptr_t>(twiceAddr());
        leafLine = *static_cast<const int*>(dlsym(lib, "kFixtureLeafLine"));
        twiceLine = *static_cast<const int*>(dlsym(lib, "kFixtureTwiceLine"));
    }
};

// Each fixture is loaded once per test program; dlclose is left out so that
// module entries stay valid.
const LoadedFixture& Fixture(const char* path) {
    static std::map<std::string, LoadedFixture*> loaded;
    auto& f = loaded[path];
    if (!f) f = new LoadedFixture(path);
    return *f;
}

TEST(Resolve, ThroughTheModulesOwnLibraryData) {
    if (!KVO_HAS_DEBUG_DATA) GTEST_SKIP() << "built without debug data";
    const auto& f = Fixture(FIXTURE_CLDATA);
    ASSERT_TRUE(f.lib) << dlerror();
    TCrashModulesList modules;
    StackEntry e = modules.ResolveAddress(f.twice + 2, 7, false, true);
    ASSERT_TRUE(e.Module);
    EXPECT_EQ(e.Kind, 4);
    EXPECT_EQ(e.UnitName, "DebugFixture.cpp");
    EXPECT_EQ(e.ClassName, "fixture::Widget");
    EXPECT_EQ(e.ProcName, "Twice");
    EXPECT_EQ(e.Line, uint32_t(f.twiceLine));
    EXPECT_EQ(e.ThreadId, 7u);

    e = modules.ResolveAddress(f.leaf, 0, true, false);
    EXPECT_EQ(e.Kind, 4);
    EXPECT_EQ(e.ClassName, "");
    EXPECT_EQ(e.ProcName, "FixtureLeaf");
    EXPECT_EQ(e.Line, uint32_t(f.leafLine));
    EXPECT_EQ(e.IsRaisePoint, 1);
    EXPECT_EQ(e.OwnStack, 0);

    const TCrashModuleInfo& m = *e.Module;
    EXPECT_TRUE(fs::path(m.Name).filename() == "libdebug_fixture_cldata.so") << m.Name;
    EXPECT_EQ(m.ModuleType, 3);
    EXPECT_EQ(m.Version, "1.0.0.0");
    EXPECT_EQ(m.Description, "debug_fixture_cldata");
    EXPECT_EQ(m.DataVersion, kCLDataVersion);
    EXPECT_GT(m.BuildTime, 40000.0);
    EXPECT_TRUE(m.PasswordValid);
    EXPECT_EQ(m.Size, fs::file_size(m.Name));
    EXPECT_TRUE(std::any_of(m.Exports.begin(), m.Exports.end(), [&](const auto& x) {
        return x.Name == "FixtureLeaf" && x.Address == f.leaf && x.CodeSize > 1;
    }));
    EXPECT_FALSE(m.OtherSource);
}

// A frame points at the names its module's data decoded instead of copying
// them: they must outlive the list and its entries, as a report built after a
// refresh reads them.
TEST(Resolve, FrameNamesOutliveTheModulesList) {
    if (!KVO_HAS_DEBUG_DATA) GTEST_SKIP() << "built without debug data";
    const auto& f = Fixture(FIXTURE_CLDATA);
    ASSERT_TRUE(f.lib) << dlerror();
    StackEntry e;
    {
        TCrashModulesList modules;
        e = modules.ResolveAddress(f.twice + 2, 0, false, true);
    }
    // Freed text would be handed out again and overwritten.
    std::vector<std::unique_ptr<char[]>> churn;
    for (size_t size = 8; size < 4096; size += 8) {
        churn.emplace_back(new char[size]);
        std::memset(churn.back().get(), 'x', size);
    }
    const StackEntry copy = e;
    for (const StackEntry* frame : {static_cast<const StackEntry*>(&e), &copy}) {
        EXPECT_EQ(frame->Kind, 4);
        EXPECT_EQ(frame->UnitName, "DebugFixture.cpp");
        EXPECT_EQ(frame->ClassName, "fixture::Widget");
        EXPECT_EQ(frame->ProcName, "Twice");
    }
}

TEST(Resolve, ThroughDwarfWhenTheModuleCarriesNoLibraryData) {
    const auto& f = Fixture(FIXTURE_DWARF);
    ASSERT_TRUE(f.lib) << dlerror();
    TCrashModulesList modules;
    // Not exported, so the outside source is opened for it.
    StackEntry e = modules.ResolveAddress(f.twice + 2, 0, false, true);
    ASSERT_TRUE(e.Module);
    EXPECT_FALSE(e.Module->DebugData);
    ASSERT_TRUE(dynamic_cast<TCLDebugInfoDwarf*>(e.Module->OtherSource.get()));
    EXPECT_EQ(e.Kind, 4);
    EXPECT_EQ(e.UnitName, "DebugFixture.cpp");
    EXPECT_EQ(e.ClassName, "fixture::Widget");
    EXPECT_EQ(e.ProcName, "Twice");
    EXPECT_EQ(e.Line, uint32_t(f.twiceLine));
    // Once open, the source answers before the exports.
    e = modules.ResolveAddress(f.leaf, 0, false, true);
    EXPECT_EQ(e.Kind, 4);
    EXPECT_EQ(e.Line, uint32_t(f.leafLine));
}

TEST(Resolve, ThroughExportsAndThenNothing) {
    const auto& f = Fixture(FIXTURE_EXPORTS);
    ASSERT_TRUE(f.lib) << dlerror();
    TCrashModulesList modules;
    StackEntry e = modules.ResolveAddress(f.leaf + 1, 0, false, true);
    EXPECT_EQ(e.Kind, 2);
    EXPECT_EQ(e.ProcName, "FixtureLeaf");
    EXPECT_EQ(e.UnitName, "");
    e = modules.ResolveAddress(f.twice, 0, false, true);
    EXPECT_EQ(e.Kind, 1);
    ASSERT_TRUE(e.Module);
    EXPECT_FALSE(e.Module->OtherSource);
    EXPECT_EQ(modules.ResolveAddress(0x10, 0, false, true).Kind, 0);
}

std::string Hex8(uint64_t v) {
    char b[16];
    snprintf(b, sizeof b, "%08llX", (unsigned long long)v);
    return b;
}

TEST(Resolve, ThroughAMapFileBesideTheModule) {
    // A private copy, so the map can be written beside it.
    fs::path dir = fs::temp_directory_path() / ("kvo-map-" + std::to_string(getpid()));
    fs::create_directories(dir);
    fs::path lib = dir / "libdebug_fixture_map.so";
    fs::copy_file(FIXTURE_MAP, lib, fs::copy_options::overwrite_existing);
    const auto& f = Fixture(lib.c_str());
    ASSERT_TRUE(f.lib) << dlerror();
    TCrashModulesList modules;
    TCrashModuleInfo* m = modules.FindByAddress(f.twice);
    ASSERT_TRUE(m);
    uint64_t twice = f.twice - m->Handle - 0x1000, leaf = f.leaf - m->Handle - 0x1000;
    uint64_t lo = std::min(twice, leaf);
    std::ofstream(dir / "libdebug_fixture_map.map")
        << " Start         Length     Name                   Class\n"
        << " 0001:00000000 00100000H .text                   CODE\n\n"
        << "Detailed map of segments\n\n"
        << " 0001:" << Hex8(lo) << " 00001000 C=CODE S=.text G=(none) M=FixUnit ACBP=A9\n\n"
        << "  Address             Publics by Value\n\n"
        << " 0001:" << Hex8(twice) << "       FixUnit.TWidget.Twice\n"
        << " 0001:" << Hex8(leaf) << "       FixUnit.Leaf\n\n"
        << "Line numbers for FixUnit(FixUnit.pas) segment .text\n\n"
        << "   100 0001:" << Hex8(twice) << "   103 0001:" << Hex8(twice + 1) << "\n"
        << "   200 0001:" << Hex8(leaf) << "\n\n"
        << "Bound resource files\n"
        << " 0001:" << Hex8(twice + 1) << "       Ignored.After\n";
    StackEntry e = modules.ResolveAddress(f.twice + 1, 0, false, true);
    ASSERT_TRUE(dynamic_cast<TCLDebugInfoMap*>(m->OtherSource.get()));
    EXPECT_EQ(e.Kind, 4);
    EXPECT_EQ(e.UnitName, "FixUnit.pas");
    EXPECT_EQ(e.ClassName, "TWidget");
    EXPECT_EQ(e.ProcName, "Twice");
    EXPECT_EQ(e.Line, 103u);
    EXPECT_EQ(e.ProcLine, 3);
    e = modules.ResolveAddress(f.leaf, 0, false, true);
    EXPECT_EQ(e.ClassName, "");  // the first part names the unit
    EXPECT_EQ(e.ProcName, "Leaf");
    EXPECT_EQ(e.Line, 200u);

    // A module whose file changed is made again on its next lookup.
    fs::last_write_time(lib, fs::last_write_time(lib) + std::chrono::hours(1));
    modules.DropChanged();
    EXPECT_TRUE(std::none_of(modules.Items().begin(), modules.Items().end(),
                             [&](const auto& x) { return x.get() == m; }));
    TCrashModuleInfo* again = modules.FindByAddress(f.twice);
    ASSERT_TRUE(again);
    EXPECT_FALSE(again->OtherSource);
    fs::remove_all(dir);
}

// The binary format: header, LEB128 tables and a word table of names.
Bytes BuildJdbg(bool checksum) {
    Bytes d(34, 0);
    std::memcpy(d.data(), "JDBG", 4);
    d[4] = 1;
    auto put32 = [&](size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i)
            d[at + i] = uint8_t(v >> (8 * i));
    };
    auto leb = [&](int64_t v) {
        bool more = true;
        while (more) {
            uint8_t b = v & 0x7F;
            v >>= 7;
            more = !((v == 0 && !(b & 0x40)) || (v == -1 && (b & 0x40)));
            d.push_back(more ? b | 0x80 : b);
        }
    };
    auto end = [&] { d.insert(d.end(), {0xFF, 0xFF, 0xFF, 0xFF, 0x07}); };
    put32(5, uint32_t(d.size()));  // units
    leb(0x100), leb(0), end();
    put32(13, uint32_t(d.size()));  // procedures
    leb(0x100), leb(6), leb(0x40), leb(12), end();
    put32(17, uint32_t(d.size()));  // lines
    leb(0x100), leb(10), leb(0x10), leb(2), leb(0x30), leb(8), end();
    put32(21, uint32_t(d.size()));  // words
    for (const char* s : {"JUnit", "JUnit.First", "JUnit.TK.Second"})
        d.insert(d.end(), s, s + strlen(s) + 1);
    while (d.size() % 4)
        d.push_back(0);
    if (checksum) {
        // The checksum straddles two words; storing the sum of the words
        // taken without it makes the stored-value check hold.
        d[33] = 1;
        uint32_t sum = 0;
        for (size_t i = 0; i < d.size(); i += 4) {
            uint32_t w;
            std::memcpy(&w, &d[i], 4);
            sum += w;
        }
        put32(29, sum);
    }
    return d;
}

TEST(OutsideSources, BinaryDebugFormat) {
    Bytes d = BuildJdbg(false);
    EXPECT_TRUE(TCLDebugInfoJedy::IsValidBlock(d));
    TCLDebugInfoJedy src("x", 0x400000, 0);
    ASSERT_TRUE(src.Load(d));
    TCLLocationInfo info;
    ASSERT_TRUE(src.Locate(0x400000 + 0x1000 + 0x150, info));
    EXPECT_EQ(info.UnitFile, "JUnit");
    EXPECT_EQ(info.Routine, "JUnit.TK.Second");
    EXPECT_EQ(info.LineNo, 20);
    EXPECT_EQ(info.LinesIntoRoutine, 0);
    ASSERT_TRUE(src.Locate(0x400000 + 0x1000 + 0x105, info));
    EXPECT_EQ(info.Routine, "JUnit.First");
    EXPECT_EQ(info.LineNo, 10);

    Bytes bad = d;
    bad[0] = 'X';
    EXPECT_FALSE(TCLDebugInfoJedy::IsValidBlock(bad));
    bad = d;
    bad[4] = 2;
    EXPECT_FALSE(TCLDebugInfoJedy::IsValidBlock(bad));
    bad = d;
    bad.push_back(0);
    EXPECT_FALSE(TCLDebugInfoJedy::IsValidBlock(bad));
    EXPECT_FALSE(TCLDebugInfoJedy::IsValidBlock(Bytes(d.begin(), d.begin() + 32)));
    Bytes summed = BuildJdbg(true);
    EXPECT_TRUE(TCLDebugInfoJedy::IsValidBlock(summed));
    summed[40] ^= 0x55;
    EXPECT_FALSE(TCLDebugInfoJedy::IsValidBlock(summed));
}

TEST(Resolve, OwnUnitsShowTheModuleOnly) {
    TCrashModulesList modules;
    auto address = reinterpret_cast<uintptr_t>(&crashlog::NormaliseDataVersion);
    StackEntry e = modules.ResolveAddress(address, 0, false, true);
    ASSERT_TRUE(e.Module);
    EXPECT_EQ(e.Kind, 1);
    EXPECT_EQ(e.ProcName, "");
    modules.SetShowOwnFrames(true);
    e = modules.ResolveAddress(address, 0, false, true);
    EXPECT_EQ(e.Kind, 4);
    EXPECT_EQ(e.UnitName, "CrashDebugData.cpp");
    EXPECT_EQ(e.ProcName, "NormaliseDataVersion");
    EXPECT_EQ(e.ClassName, "crashlog");
}

TEST(Resolve, PasswordFromTheModuleThenFromHandlers) {
    DebugUnit u{"p.cpp", {{5, 0x10, "K.Run", 5}}, 0x20};
    LibraryDataInput in;
    in.Password = "open sesame";
    in.DebugData = EncodeDebugData({u}, DebugKeyFromPassword(in.Password));
    auto data = ParseLibraryData(BuildLibraryData(in));
    ASSERT_TRUE(data);

    TCrashModulesList modules;
    TCrashModuleInfo m;
    m.Name = "other.so";
    modules.LoadLibraryData(m, *data);
    EXPECT_FALSE(m.PasswordValid);
    ASSERT_TRUE(m.DebugData);
    TCrashNameDecoder wrong(m.DataVersion, DebugKeyFromPassword(m.DataPassword), false);
    auto r = LookupLine(*m.DebugData, m.DataVersion, wrong, 0x12);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->Line, 5u);
    EXPECT_EQ(r->ProcName.front(), '?');

    int asked = 0;
    modules.SetModulePasswordRequest([&](const TCrashModuleInfo&, std::string& pw) {
        ++asked;
        pw = "wrong";
        return true;
    });
    modules.AddPasswordHandler([](const TCrashModuleInfo&, std::string&) { return false; });
    modules.AddPasswordHandler([](const TCrashModuleInfo&, std::string& pw) {
        pw = "open sesame";
        return true;
    });
    TCrashModuleInfo m2;
    m2.Name = "other.so";
    modules.LoadLibraryData(m2, *data);
    EXPECT_EQ(asked, 1);
    EXPECT_TRUE(m2.PasswordValid);
    EXPECT_EQ(m2.DataPassword, "open sesame");
}

TEST(Resolve, DamagedOldDataLeavesTheModuleWithoutData) {
    // Version 450: options and debug data in one compressed stream; this one
    // ends inside the options.
    Bytes blob = {0x10, 0xAB, 0x0F, 0x10, 0xC2, 0x01, 0, 0, 0, 0, 0, 0, 0, 0};
    Bytes z = Deflate(Bytes{1, 0});
    blob.insert(blob.end(), z.begin(), z.end());
    auto data = ParseLibraryData(blob);
    ASSERT_TRUE(data);
    EXPECT_EQ(data->Version, 450);
    EXPECT_TRUE(data->LegacyCombined);
    TCrashModulesList modules;
    TCrashModuleInfo m;
    m.Name = "old.so";
    modules.LoadLibraryData(m, *data);
    EXPECT_FALSE(m.DebugData);
    EXPECT_EQ(m.DataVersion, kCLDataVersion);
    ASSERT_TRUE(m.Options);
    EXPECT_FALSE(m.Options->Values().LoggingEnabled);
}

TEST(Modules, RefreshListsLoadedModulesSortedAndLight) {
    TCrashModulesList modules;
    modules.Refresh();
    const auto& items = modules.Items();
    ASSERT_FALSE(items.empty());
    EXPECT_TRUE(std::is_sorted(items.begin(), items.end(),
                               [](const auto& a, const auto& b) { return a->Handle < b->Handle; }));
    auto self = reinterpret_cast<uintptr_t>(&modules);  // on the stack: no module
    EXPECT_EQ(modules.FindByAddress(self), nullptr);
    auto code = reinterpret_cast<uintptr_t>(&BuildJdbg);
    TCrashModuleInfo* m = modules.FindByAddress(code);
    ASSERT_TRUE(m);
    EXPECT_FALSE(m->Light);
    EXPECT_EQ(m->ModuleType, 1);
    EXPECT_TRUE(m->Exports.empty());
    EXPECT_EQ(fs::path(m->Name), fs::read_symlink("/proc/self/exe"));
}

TEST(Processes, OwnProcessIsListed) {
    TCrashProcessesList list;
    list.Refresh();
    auto it = std::find_if(list.Items.begin(), list.Items.end(),
                           [](const auto& p) { return p.ProcessId == getpid(); });
    ASSERT_NE(it, list.Items.end());
    EXPECT_EQ(it->Name, fs::read_symlink("/proc/self/exe").string());
    EXPECT_GE(it->Threads, 1u);
    EXPECT_GT(it->Memory, 0u);
    EXPECT_TRUE(
        std::is_sorted(list.Items.begin(), list.Items.end(),
                       [](const auto& a, const auto& b) { return a.ProcessId < b.ProcessId; }));
    const std::pair<int, uint32_t> classes[] = {{0, 0},       {4, 0x40},  {6, 0x4000}, {8, 0x20},
                                                {10, 0x8000}, {13, 0x80}, {23, 0x80},  {24, 0x100}};
    for (auto [base, cls] : classes)
        EXPECT_EQ(PriorityClassOfBasePriority(base), cls) << base;
}

}  // namespace
}  // namespace crashlog

// An export without a size is measured up to its first return, whatever
// prefix the return carries ("rep ret" ends many compiled functions).
TEST(ExportSize, MeasureStopsAtEveryFormOfReturn) {
    struct Case {
        const char* Label;
        std::vector<uint8_t> Code;
        uint32_t Size;
    };
    const Case cases[] = {
        {"ret", {0x31, 0xC0, 0xC3, 0x90, 0xC3}, 3},
        {"rep ret", {0x31, 0xC0, 0xF3, 0xC3, 0x90, 0xC3}, 4},
        {"repne ret", {0x31, 0xC0, 0xF2, 0xC3, 0x90, 0xC3}, 4},
        {"ret imm16", {0xC2, 0x08, 0x00, 0xC3}, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Label);
        std::vector<uint8_t> code = c.Code;
        code.resize(64, 0xCC);
        EXPECT_EQ(crashlog::MeasureCodeSize(reinterpret_cast<uintptr_t>(code.data())), c.Size);
    }
}

// The DWARF source keeps the module's symbols sorted instead of letting
// libdw walk its whole table per address: it must still name every address
// as libdw does.
TEST(OutsideSources, DwarfSourceNamesRoutinesAsLibdwDoes) {
    const std::string self = std::filesystem::read_symlink("/proc/self/exe");
    static char* debugPath = nullptr;
    static const Dwfl_Callbacks callbacks = {dwfl_build_id_find_elf, dwfl_standard_find_debuginfo,
                                             dwfl_offline_section_address, &debugPath};
    Dwfl* dwfl = dwfl_begin(&callbacks);
    dwfl_report_begin(dwfl);
    Dwfl_Module* mod = dwfl_report_elf(dwfl, "self", self.c_str(), -1, 0, false);
    dwfl_report_end(dwfl, nullptr, nullptr);
    ASSERT_NE(mod, nullptr);
    uint64_t lo = UINT64_MAX, hi = 0;
    for (int i = 1; i < dwfl_module_getsymtab(mod); ++i) {
        GElf_Sym sym;
        if (dwfl_module_getsym(mod, i, &sym, nullptr) && GELF_ST_TYPE(sym.st_info) == STT_FUNC &&
            sym.st_value != 0) {
            lo = std::min<uint64_t>(lo, sym.st_value);
            hi = std::max<uint64_t>(hi, sym.st_value + sym.st_size);
        }
    }
    ASSERT_LT(lo, hi);

    crashlog::TCLDebugInfoDwarf source(self, 0, 0);
    ASSERT_TRUE(source.Open());
    int named = 0;
    for (uint64_t a = lo; a < hi; a += 53) {
        GElf_Off off = 0;
        GElf_Sym sym;
        const char* name = dwfl_module_addrinfo(mod, a, &off, &sym, nullptr, nullptr, nullptr);
        std::string expected;
        if (name) {
            int status = 0;
            const std::string clean = crashlog::CleanSymbolName(name);
            char* d = abi::__cxa_demangle(clean.c_str(), nullptr, nullptr, &status);
            expected = crashlog::StoredProcName(status == 0 && d ? d : clean);
            std::free(d);
        }
        crashlog::TCLLocationInfo info;
        source.Locate(a, info);
        ASSERT_EQ(info.Routine, expected) << std::hex << a;
        named += !expected.empty();
    }
    EXPECT_GT(named, 1000);
    dwfl_end(dwfl);
}
