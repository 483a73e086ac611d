// kvo-paradox-fixture: writes a practice of the table engine out as legacy
// Paradox tables, to try and measure the Paradox import on realistic data.
#include <cstdio>
#include <exception>
#include <string>
#include <string_view>

#include "ParadoxWriter.h"

namespace {

constexpr const char* kUsage =
    "usage: kvo-paradox-fixture --from FOLDER|CONNECTION --to FOLDER\n"
    "  --from   a practice of the table engine (its tables' or data folder, or a connection)\n"
    "  --to     the folder that receives one .DB (and .MB) file per table\n";

int Usage(const std::string& problem) {
    std::fprintf(stderr, "kvo-paradox-fixture: %s\n%s", problem.c_str(), kUsage);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::string from, to;
    for (int i = 1; i < argc; ++i) {
        const std::string_view option = argv[i];
        if (option == "--help" || option == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (option != "--from" && option != "--to")
            return Usage("unknown option " + std::string(option));
        if (i + 1 >= argc) return Usage(std::string(option) + " needs a value");
        (option == "--from" ? from : to) = argv[++i];
    }
    if (from.empty() || to.empty()) return Usage("--from and --to are required");
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
