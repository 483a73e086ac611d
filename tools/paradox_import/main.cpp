// kvo-paradox-import: brings a practice's legacy Paradox tables into the
// table engine, all or nothing, and reports per table what it imported and
// every row it could not read.
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <string>
#include <string_view>

#include "ParadoxImport.h"

namespace {

constexpr const char* kUsage =
    "usage: kvo-paradox-import --from FOLDER --to FOLDER|CONNECTION [--skip-unreadable-rows]\n"
    "  --from   the folder holding the practice's .DB table files (and their .MB memo files)\n"
    "  --to     the tables' folder or a database server's connection string of a practice\n"
    "           that has no tables yet\n"
    "  --skip-unreadable-rows\n"
    "           import the other rows even when some cannot be read (each is listed);\n"
    "           without it any unreadable row leaves the target untouched\n";

int Usage(const std::string& problem) {
    std::fprintf(stderr, "kvo-paradox-import: %s\n%s", problem.c_str(), kUsage);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    kvo::paradox::TImportOptions options;
    for (int i = 1; i < argc; ++i) {
        const std::string_view option = argv[i];
        if (option == "--help" || option == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (option == "--skip-unreadable-rows") {
            options.skipUnreadableRows = true;
            continue;
        }
        if (option != "--from" && option != "--to")
            return Usage("unknown option " + std::string(option));
        if (i + 1 >= argc) return Usage(std::string(option) + " needs a value");
        (option == "--from" ? options.from : options.to) = argv[++i];
    }
    if (options.from.empty()) return Usage("--from is required");
    if (options.to.empty()) return Usage("--to is required");

    const bool terminal = ::isatty(STDERR_FILENO) != 0;
    kvo::paradox::TImportProgress progress;
    if (terminal)
        progress = [](const std::string& table, std::int64_t done, std::int64_t total) {
            std::fprintf(stderr, "\r\033[K%s: %lld of %lld rows", table.c_str(),
                         static_cast<long long>(done), static_cast<long long>(total));
            if (done == total) std::fputc('\n', stderr);
        };
    try {
        const auto report = kvo::paradox::ImportPractice(options, progress);
        std::fputs(kvo::paradox::FormatReport(report).c_str(), report.committed ? stdout : stderr);
        return report.committed ? 0 : 1;
    } catch (const std::exception& e) {
        if (terminal) std::fputc('\n', stderr);
        std::fprintf(stderr, "kvo-paradox-import: %s\nnothing was imported\n", e.what());
        return 1;
    }
}
