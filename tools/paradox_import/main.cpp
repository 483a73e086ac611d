// kvo-paradox-import: brings a practice's legacy Paradox tables into the
// table engine, all or nothing, and reports per table what it imported and
// every row it could not read.
#include <cstdio>
#include <exception>
#include <string>
#include <string_view>

#include "ParadoxImport.h"
#include "ToolOptions.h"

namespace {

constexpr const char* kUsage =
    "usage: kvo-paradox-import --from FOLDER --to FOLDER|CONNECTION [--skip-unreadable-rows]\n"
    "  --from   the folder holding the practice's .DB table files (and their .MB memo files)\n"
    "  --to     the tables' folder or a database server's connection string of a practice\n"
    "           that has no tables yet\n"
    "  --skip-unreadable-rows\n"
    "           import the other rows even when some cannot be read (each is listed);\n"
    "           without it any unreadable row leaves the target untouched\n";

}  // namespace

int main(int argc, char** argv) {
    kvo::tools::TFromTo args;
    if (const auto exit = kvo::tools::ReadFromTo(argc, argv, "kvo-paradox-import", kUsage,
                                                 {"--skip-unreadable-rows"}, args))
        return *exit;
    kvo::paradox::TImportOptions options;
    options.from = args.from;
    options.to = args.to;
    options.skipUnreadableRows = args.flags.count("--skip-unreadable-rows") != 0;

    const kvo::paradox::TImportProgress progress = kvo::tools::TerminalRowProgress();
    const bool terminal = bool(progress);
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
