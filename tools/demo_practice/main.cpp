// kvo-demo-practice: writes a demonstration practice for trying and
// measuring the suite's programs.
#include <charconv>
#include <cstdio>
#include <exception>
#include <string>
#include <string_view>

#include "DemoPractice.h"

namespace {

constexpr const char* kUsage =
    "usage: kvo-demo-practice --out DIR [--dentists N] [--years Y] [--ahead A] [--seed S]\n"
    "                         [--today DD/MM/YYYY | --end DD/MM/YYYY]\n"
    "  --out DIR        the practice's data folder (tables go to DIR/Data); must hold no practice\n"
    "  --dentists N     dentists in the practice, 1-999 (default 5)\n"
    "  --years Y        years of appointment book before today, 1-100 (default 3)\n"
    "  --ahead A        years of appointment book after today, 1-10 (default 1)\n"
    "  --seed S         the same seed and today always give the same practice (default 1)\n"
    "  --today DATE     the day taken as today (default the computer's date)\n"
    "  --end DATE       books of Y years ending on DATE instead, whatever today is\n";

int Usage(const std::string& problem) {
    std::fprintf(stderr, "kvo-demo-practice: %s\n%s", problem.c_str(), kUsage);
    return 2;
}

template <typename T>
bool ParseNumber(std::string_view text, T& value) {
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size();
}

}  // namespace

int main(int argc, char** argv) {
    kvo::demo::TDemoOptions options;
    options.out.clear();
    for (int i = 1; i < argc; ++i) {
        const std::string_view option = argv[i];
        if (option == "--help" || option == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (i + 1 >= argc) return Usage(std::string(option) + " needs a value");
        const std::string_view value = argv[++i];
        if (option == "--out") {
            options.out = value;
        } else if (option == "--dentists") {
            if (!ParseNumber(value, options.dentists)) return Usage("--dentists needs a number");
        } else if (option == "--years") {
            if (!ParseNumber(value, options.years)) return Usage("--years needs a number");
        } else if (option == "--seed") {
            if (!ParseNumber(value, options.seed)) return Usage("--seed needs a number");
        } else if (option == "--ahead") {
            if (!ParseNumber(value, options.yearsAhead)) return Usage("--ahead needs a number");
        } else if (option == "--today") {
            options.today = value;
        } else if (option == "--end") {
            options.endDate = value;
        } else {
            return Usage("unknown option " + std::string(option));
        }
    }
    if (options.out.empty()) return Usage("--out is required");

    // Only big practices take long enough to be worth reporting progress.
    const bool big = static_cast<long>(options.dentists) * options.years > 20;
    try {
        const auto counts = kvo::demo::CreateDemoPractice(options, [&](int done, int total) {
            if (big) std::fprintf(stderr, "\rdentist %d of %d", done, total);
            if (big && done == total) std::fputc('\n', stderr);
        });
        std::printf("%lld users, %lld calendar days, %lld breaks, %lld appointments in %s\n",
                    static_cast<long long>(counts.users),
                    static_cast<long long>(counts.calendarDays),
                    static_cast<long long>(counts.breaks),
                    static_cast<long long>(counts.appointments), options.out.c_str());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kvo-demo-practice: %s\n", e.what());
        return 1;
    }
    return 0;
}
