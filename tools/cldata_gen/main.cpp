// kvo-cldata-gen: reads a linked program or library's line tables and
// function names and stores them, with the module's options, as library data
// in the file's .cldata section.
//
//   kvo-cldata-gen [--options FILE] [--password TEXT] [--symbol ID=NAME]...
//                  [--output FILE] [--objcopy PATH] BINARY
//
// With --output the data is only written to FILE; otherwise the binary is
// updated in place.  Exit code 0 on success, 1 on a real error (unreadable
// binary, unreadable options file, objcopy failing), with a message.
#include <cxxabi.h>
#include <elfutils/libdw.h>
#include <fcntl.h>
#include <gelf.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "DebugDataGen.h"
#include "crashlog/CrashDebugData.h"

extern char** environ;

using namespace crashlog;

namespace {

int Fail(const std::string& msg) {
    std::fprintf(stderr, "kvo-cldata-gen: %s\n", msg.c_str());
    return 1;
}

double BuildTimeNow() {
    time_t t = time(nullptr);
    if (const char* e = getenv("SOURCE_DATE_EPOCH")) t = time_t(strtoll(e, nullptr, 10));
    // Days since 30 December 1899, the stored date-time form.
    return double(t) / 86400.0 + 25569.0;
}

bool WriteFile(const std::string& path, const Bytes& b) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(b.data()), std::streamsize(b.size()));
    return bool(f);
}

int RunObjcopy(const std::string& objcopy, const std::string& data, const std::string& bin) {
    // Removing first makes the update work whether or not the section exists.
    std::vector<std::string> args = {objcopy,
                                     "--remove-section=.cldata",
                                     "--add-section",
                                     ".cldata=" + data,
                                     "--set-section-flags",
                                     ".cldata=readonly,contents",
                                     bin};
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid;
    if (posix_spawnp(&pid, objcopy.c_str(), nullptr, nullptr, argv.data(), environ) != 0) return -1;
    int st = 0;
    if (waitpid(pid, &st, 0) < 0) return -1;
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

}  // namespace

int main(int argc, char** argv) {
    std::string optionsFile, password, output, objcopy = "objcopy", binary;
    std::vector<std::pair<int, std::string>> symbolNames;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "kvo-cldata-gen: %s needs a value\n", a.c_str());
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--options")
            optionsFile = next();
        else if (a == "--password")
            password = next();
        else if (a == "--output")
            output = next();
        else if (a == "--objcopy")
            objcopy = next();
        else if (a == "--symbol") {
            std::string v = next();
            auto eq = v.find('=');
            if (eq == std::string::npos) return Fail("--symbol takes ID=NAME");
            symbolNames.emplace_back(std::atoi(v.substr(0, eq).c_str()), v.substr(eq + 1));
        } else if (!a.empty() && a[0] == '-')
            return Fail("unknown option " + a);
        else
            binary = a;
    }
    if (binary.empty()) return Fail("no binary given");

    LibraryDataInput in;
    in.BuildTime = BuildTimeNow();
    in.Password = password;
    std::string err;
    // The leak checker reads its flags from the container's own byte before
    // any option is decoded; without an options file they are the defaults,
    // as the options the module then carries are.
    in.LeakFlags = TCrashModuleOptions().LeakFlags();
    if (!optionsFile.empty() &&
        !LoadOptionsForGenerator(optionsFile, in.Options, in.LeakFlags, err))
        return Fail(err);

    GenModule mod;
    if (!ReadModuleDebugInfo(binary, mod, err)) return Fail(err);
    for (const auto& entry : symbolNames) {
        const auto& [id, name] = entry;
        auto f = std::find_if(mod.Functions.begin(), mod.Functions.end(),
                              [&entry](const GenFunction& fn) {
                                  return fn.Mangled == entry.second || fn.Demangled == entry.second;
                              });
        if (f == mod.Functions.end()) return Fail("symbol not found: " + name);
        in.Symbols.push_back({uint8_t(id), f->Offset, f->Size});
    }
    in.DebugData = EncodeDebugData(mod.Units, DebugKeyFromPassword(password));
    Bytes blob = BuildLibraryData(in);

    if (!output.empty()) {
        if (!WriteFile(output, blob)) return Fail("cannot write " + output);
        return 0;
    }
    std::string tmp = binary + ".cldata.tmp";
    if (!WriteFile(tmp, blob)) return Fail("cannot write " + tmp);
    int rc = RunObjcopy(objcopy, tmp, binary);
    unlink(tmp.c_str());
    if (rc != 0) return Fail("objcopy failed on " + binary);
    return 0;
}
