// Function names as written in the source: no symbol versions, no suffixes
// of the copies the compiler makes, and every address of such a copy named
// after its function, as addr2line names it from the DWARF.
#include <cxxabi.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <link.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "crashlog/CrashDebug.h"
#include "crashlog/CrashDebugData.h"

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

std::string Demangled(const char* symbol) {
    int status = 0;
    char* d = abi::__cxa_demangle(symbol, nullptr, nullptr, &status);
    std::string out = status == 0 && d ? d : symbol;
    std::free(d);
    return out;
}

// The demangler writes the return type in front of a template function's
// name; a report names the function as the source does.  The rows are real
// symbols, so they follow the demangler in use.
TEST(FunctionNames, TemplateFunctionsAreNamedWithoutTheirReturnType) {
    struct Case {
        const char *Label, *Symbol, *Stored;
    };
    const Case cases[] = {
        {"library operator",
         "_ZStplIcSt11char_traitsIcESaIcEENSt7__cxx1112basic_stringIT_T0_T1_EEPKS5_RKS8_",
         "std.operator+<char, std::char_traits<char>, std::allocator<char> >"},
        {"void", "_ZN7fixture5ApplyIiEEvT_", "fixture.Apply<int>"},
        {"template return type", "_ZN2ns1fIiEESt4pairIiiEv", "ns.f<int>"},
        {"pointer to const", "_ZN2ns1gILj1EEEPKcv", "ns.g<1u>"},
        {"three words", "_ZN2ns1hILj2EEEyv", "ns.h<2u>"},
        {"reference to a member type", "_ZSt4moveIRSaIcEEONSt16remove_referenceIT_E4typeEOS3_",
         "std.move<std::allocator<char>&>"},
        {"decltype", "_ZN2ns1dIiEEDTplfp_Li1EET_", "ns.d<int>"},
        {"global, no class", "_Z6qbswapILi2EEPvPKvxS0_", "qbswap<2>"},
        {"unsigned int argument", "_ZN2ns1uIjEEvv", "ns.u<unsigned int>"},
        {"decltype argument", "_ZN2ns1fIDnEEiT_", "ns.f<decltype(nullptr)>"},
        {"member of a class template", "_ZN2ns1DIiE1gIcEEvv", "ns::D<int>.g<char>"},
        {"anonymous namespace", "_ZN2ns12_GLOBAL__N_14anonIiEET_S2_",
         "ns::(anonymous namespace).anon<int>"},
        {"operator<<", "_ZN2ns1ClsIiEERS0_T_", "ns::C.operator<< <int>"},
        {"operator<", "_ZN2nsltIiEEbNS_1CET_", "ns.operator< <int>"},
        {"operator->", "_ZN2ns1CptIiEEPS0_v", "ns::C.operator-><int>"},
        {"operator()", "_ZNK2ns1CclIiEEbT_", "ns::C.operator()<int>"},
        {"operator<=>", "_ZNK2ns1CssIiEEDaT_", "ns::C.operator<=><int>"},
        {"operator new", "_ZN2ns1CnwIiEEPvmT_", "ns::C.operator new<int>"},
        {"generic lambda", "_ZZN2ns3genIiEEDavENKUlT_E_clIiEEDaS1_",
         "ns::gen<int>()::{lambda(auto:1)#1}.operator()<int>"},
        // Functions returning pointers to functions, arrays and members have
        // their name inside the declarator.
        {"pointer to function", "_ZN2ns11get_handlerIiEEPFviEv", "ns.get_handler<int>"},
        {"pointer to function returning one", "_ZN2ns2f2IiEEPFPFvcEiEv", "ns.f2<int>"},
        {"pointer to array", "_ZN2ns3arrIiEEPA3_iv", "ns.arr<int>"},
        {"pointer to member function", "_ZN2ns1C2mpIiEEMS0_FiiEv", "ns::C.mp<int>"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Label);
        const std::string demangled = Demangled(c.Symbol);
        ASSERT_NE(demangled, c.Symbol) << "the demangler does not know the symbol";
        EXPECT_EQ(StoredProcName(demangled), c.Stored) << demangled;
    }
    // As the demangler prints it for a function that is its own member.
    EXPECT_EQ(StoredProcName("void (*ns::C::h<int>() const)(int)"), "ns::C.h<int>");
}

// Spaces that belong to the name, and names the demangler writes without a
// return type, stay as they are.
TEST(FunctionNames, SpacesOfTheNameItselfStay) {
    struct Case {
        const char *Demangled, *Stored;
    };
    const Case cases[] = {
        {"operator new(unsigned long, void*)", "operator new"},
        {"operator delete[](void*)", "operator delete[]"},
        {"ns::C::operator<(ns::C const&) const", "ns::C.operator<"},
        {"std::operator<<(std::ostream&, int)", "std.operator<<"},
        {"ns::C::operator()(int) const", "ns::C.operator()"},
        {"ns::C::operator->()", "ns::C.operator->"},
        {"ns::C::operator<=>(ns::C const&) const", "ns::C.operator<=>"},
        {"ns::C::operator bool() const", "ns::C.operator bool"},
        {"ns::C::operator std::__cxx11::basic_string<char, std::char_traits<char>, "
         "std::allocator<char> >() const",
         "ns::C.operator std::__cxx11::basic_string<char, std::char_traits<char>, "
         "std::allocator<char> >"},
        {"ns::C::operator int<int>() const", "ns::C.operator int<int>"},
        {"(anonymous namespace)::f()", "(anonymous namespace).f"},
        {"{lambda(int)#1}::operator()(int) const", "{lambda(int)#1}.operator()"},
        {"ns::f<int>(int)::{lambda()#1}::operator()() const",
         "ns::f<int>(int)::{lambda()#1}.operator()"},
        {"ns::f<int>(int)::L::g()", "ns::f<int>(int)::L.g"},
        {"ns::operator<(ns::C, int)::{lambda()#1}::operator()() const",
         "ns::operator<(ns::C, int)::{lambda()#1}.operator()"},
        {"ns::f<unsigned int>()", "ns.f<unsigned int>"},
        {"ns::f<decltype (0)>()", "ns.f<decltype (0)>"},
        {"non-virtual thunk to ns::C::f()", "non-virtual thunk to ns::C.f"},
        {"transaction clone for std::exception::what() const",
         "transaction clone for std::exception.what"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(StoredProcName(c.Demangled), c.Stored) << c.Demangled;
}

// Cut names (a symbol table may hold anything) end without a fault.
TEST(FunctionNames, EveryCutOfAHardNameIsHandled) {
    const std::string hard =
        "void (*(*ns::(anonymous namespace)::f<decltype (operator<(1, 2))>() const)(int (ns::C::*)"
        "(int)))(std::pair<int, int> ns::operator< <unsigned int>::{lambda(auto:1)#1}) [3] [clone "
        ".cold]";
    for (size_t begin = 0; begin < hard.size(); begin += 7)
        for (size_t end = begin; end <= hard.size(); ++end)
            (void)StoredProcName(hard.substr(begin, end - begin));
}

// Whether a space stands outside every bracket.
bool SpaceOutsideBrackets(std::string_view s) {
    int depth = 0;
    for (char c : s) {
        if (c == '<' || c == '(' || c == '[' || c == '{')
            ++depth;
        else if (c == '>' || c == ')' || c == ']' || c == '}')
            depth = depth > 0 ? depth - 1 : 0;
        else if (c == ' ' && depth == 0)
            return true;
    }
    return false;
}

// The template functions built into this program, as nm names them: none
// may keep its return type as (part of) a class.
TEST(FunctionNames, NoTemplateFunctionKeepsItsReturnType) {
    char self[4096];
    const ssize_t size = readlink("/proc/self/exe", self, sizeof self - 1);
    ASSERT_GT(size, 0);
    self[size] = 0;
    std::istringstream lines(crashlog::Run(std::string("nm -C --defined-only ") + self));
    std::string line;
    int templates = 0;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string address, type, demangled;
        if (!(fields >> address >> type) || (type != "T" && type != "t" && type != "W")) continue;
        std::getline(fields >> std::ws, demangled);
        // Template functions, which the demangler writes with a return type.
        const size_t params = demangled.find('(', demangled.find('>'));
        if (params == std::string::npos || demangled.find('>') > params ||
            !SpaceOutsideBrackets(demangled.substr(0, params)) ||
            demangled.find(" thunk to ") != std::string::npos)
            continue;
        ++templates;
        const std::string stored = StoredProcName(demangled);
        const size_t dot = stored.rfind('.');
        EXPECT_FALSE(SpaceOutsideBrackets(stored.substr(0, dot == std::string::npos ? 0 : dot)))
            << demangled << " -> " << stored;
    }
    EXPECT_GT(templates, 50) << "too few template functions to judge";
}

}  // namespace
}  // namespace crashlog
