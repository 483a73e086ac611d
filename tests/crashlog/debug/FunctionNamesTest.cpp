// Function names as written in the source: no symbol versions, no suffixes
// of the copies the compiler makes, and every address of such a copy named
// after its function, as addr2line names it from the DWARF.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <link.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "crashlog/CrashDebug.h"

namespace crashlog {
namespace {

TEST(FunctionNames, VersionTagsAndCloneSuffixesAreDropped) {
    struct Case {
        const char* Symbol;
        const char* Clean;
    };
    const Case cases[] = {
        {"luaV_concat.part.0", "luaV_concat"},
        {"scaled.isra.0", "scaled"},
        {"scaled.constprop.0", "scaled"},
        {"main.cold", "main"},
        {"f.constprop.0.isra.0", "f"},
        {"f.part.0.cold", "f"},
        {"g.lto_priv.0", "g"},
        {"__libc_start_main@@GLIBC_2.34", "__libc_start_main"},
        {"memcpy@GLIBC_2.2.5", "memcpy"},
        {"_ZN12TApplication6notifyEP7QObjectP6QEvent.cold",
         "_ZN12TApplication6notifyEP7QObjectP6QEvent"},
        // What is not a copy's suffix stays.
        {"md5.0", "md5.0"},
        {"sha256", "sha256"},
        {"x.cold2", "x.cold2"},
        {".cold", ".cold"},
        {"@Unit@TClass@Proc$qqrv", "@Unit@TClass@Proc$qqrv"},
        {"", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(CleanSymbolName(c.Symbol), c.Clean) << c.Symbol;
}

struct Symbol {
    uint64_t Value = 0, Size = 0;
    std::string Name;
};

std::string Run(const std::string& command) {
    std::string out;
    if (FILE* p = popen(command.c_str(), "r")) {
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0)
            out.append(buf, n);
        pclose(p);
    }
    return out;
}

// The compiler-made copies among the file's code symbols, by nm.
std::vector<Symbol> CloneSymbols(const char* file) {
    std::vector<Symbol> out;
    std::istringstream lines(Run(std::string("nm -S --defined-only ") + file));
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        Symbol s;
        std::string type;
        if (!(fields >> std::hex >> s.Value >> s.Size >> type >> s.Name)) continue;
        if ((type == "t" || type == "T") && CleanSymbolName(s.Name) != s.Name && s.Size > 0)
            out.push_back(s);
    }
    return out;
}

// addr2line's function name for a file address.
std::string PeerFunction(const char* file, uint64_t address) {
    char hex[32];
    std::snprintf(hex, sizeof hex, "0x%llx", static_cast<unsigned long long>(address));
    std::string out = Run(std::string("addr2line -f -e ") + file + " " + hex);
    return out.substr(0, out.find('\n'));
}

TEST(FunctionNames, EveryAddressOfACompilerMadeCopyNamesItsFunction) {
    if (!KVO_HAS_DEBUG_DATA) GTEST_SKIP() << "built without debug data";
    void* lib = dlopen(FIXTURE_CLONES, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << dlerror();
    link_map* map = nullptr;
    ASSERT_EQ(dlinfo(lib, RTLD_DI_LINKMAP, &map), 0);

    const std::vector<Symbol> clones = CloneSymbols(FIXTURE_CLONES);
    bool cold = false;
    for (const Symbol& s : clones)
        cold = cold || s.Name.ends_with(".cold");
    ASSERT_TRUE(cold) << "the compiler made no .cold part of the fixture";

    TCrashModulesList modules;
    for (const Symbol& s : clones) {
        SCOPED_TRACE(s.Name);
        const std::string function = CleanSymbolName(s.Name);
        EXPECT_EQ(PeerFunction(FIXTURE_CLONES, s.Value), function);
        for (uint64_t at = 0; at < s.Size; ++at) {
            const StackEntry e = modules.ResolveAddress(map->l_addr + s.Value + at, 0, false, true);
            ASSERT_EQ(e.Kind, 4) << "offset " << at;
            EXPECT_EQ(e.UnitName, "CloneFixture.c");
            EXPECT_EQ(e.ClassName, "");
            ASSERT_EQ(e.ProcName, function) << "offset " << at;
        }
    }
    dlclose(lib);
}

}  // namespace
}  // namespace crashlog
