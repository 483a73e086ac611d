// kvo-paradox-fixture: writes a practice of the table engine out as legacy
// Paradox tables, to try and measure the Paradox import on realistic data.
#include <cstdio>
#include <exception>
#include <string>
#include <string_view>

#include "ParadoxWriter.h"
#include "ToolOptions.h"

namespace {

constexpr const char* kUsage =
    "usage: kvo-paradox-fixture --from FOLDER|CONNECTION --to FOLDER\n"
    "  --from   a practice of the table engine (its tables' or data folder, or a connection)\n"
    "  --to     the folder that receives one .DB (and .MB) file per table\n";

}  // namespace

int main(int argc, char** argv) {
    kvo::tools::TFromTo args;
    if (const auto exit =
            kvo::tools::ReadFromTo(argc, argv, "kvo-paradox-fixture", kUsage, {}, args))
        return *exit;
    const std::string& from = args.from;
    const std::string& to = args.to;
    try {
        const auto rows =
            kvo::paradox::ExportPractice(from, to, [](const std::string& table, std::int64_t n) {
                std::printf("%-20s %10lld rows\n", table.c_str(), static_cast<long long>(n));
            });
        std::printf("wrote %lld rows to %s\n", static_cast<long long>(rows), to.c_str());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kvo-paradox-fixture: %s\n", e.what());
        return 1;
    }
    return 0;
}
