// kvo-practice-copy: copies a whole practice, every table with its field
// definitions, key and indexes, from one place to another (a folder or a
// database server), checks what arrived, and never writes into a practice
// that already has tables.
#include <cstdio>
#include <exception>
#include <string>
#include <string_view>

#include "PracticeMove.h"
#include "ToolOptions.h"

namespace {

constexpr const char* kUsage =
    "usage: kvo-practice-copy --from FOLDER|CONNECTION --to FOLDER|CONNECTION\n"
    "  --from   the practice to copy: its tables' folder (or the data folder holding\n"
    "           them in Data), or a database server's connection string\n"
    "  --to     where the copy goes: a folder or a connection string of a practice\n"
    "           that has no tables yet\n"
    "Every table is copied in one transaction; each is then read back and its rows\n"
    "and checksum compared with the source.  On any failure nothing is kept.\n";

}  // namespace

int main(int argc, char** argv) {
    kvo::tools::TFromTo args;
    if (const auto exit = kvo::tools::ReadFromTo(argc, argv, "kvo-practice-copy", kUsage, {}, args))
        return *exit;
    const std::string& from = args.from;
    const std::string& to = args.to;

    // Progress only where somebody watches it.
    const kvo::move::TCopyProgress progress = kvo::tools::TerminalRowProgress();
    const bool terminal = bool(progress);
    try {
        const auto tables = kvo::move::CopyPractice(from, to, progress);
        std::int64_t rows = 0;
        for (const auto& table : tables) {
            std::printf("%-20s %10lld rows  checksum %s  verified\n", table.name.c_str(),
                        static_cast<long long>(table.sum.rows),
                        kvo::move::ChecksumText(table.sum.checksum).c_str());
            rows += table.sum.rows;
        }
        std::printf("copied %zu tables, %lld rows, from %s to %s\n", tables.size(),
                    static_cast<long long>(rows), from.c_str(), to.c_str());
    } catch (const std::exception& e) {
        if (terminal) std::fputc('\n', stderr);
        std::fprintf(stderr, "kvo-practice-copy: %s\nnothing was copied\n", e.what());
        return 1;
    }
    return 0;
}
