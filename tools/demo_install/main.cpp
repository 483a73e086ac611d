// kvo-demo-install: a demonstration installation of the suite in one folder,
// ready to start a program on.
#include <charconv>
#include <cstdio>
#include <exception>
#include <string>
#include <string_view>

#include "DemoInstall.h"

namespace {

constexpr const char* kUsage =
    "usage: kvo-demo-install --root DIR [--dentists N] [--years Y] [--seed S] [--today DATE]\n"
    "                        [--empty]\n"
    "       kvo-demo-install --root DIR --print-env\n"
    "  --root DIR     the folder that holds the whole installation\n"
    "  --dentists N   dentists of the generated practice (default 5)\n"
    "  --years Y      years of appointment book before today, one more after it (default 3)\n"
    "  --seed S       the same seed and today always give the same practice (default 1)\n"
    "  --today DATE   the day taken as today, DD/MM/YYYY (default the computer's date)\n"
    "  --empty        no installation INI file: a program asks for its data drive (P:) first\n"
    "  --print-env    write the shell lines that point a program at DIR, create nothing\n";

int Usage(const std::string& problem) {
    std::fprintf(stderr, "kvo-demo-install: %s\n%s", problem.c_str(), kUsage);
    return 2;
}

template <typename T>
bool ParseNumber(std::string_view text, T& value) {
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size();
}

// Single quotes keep every character but the quote itself.
std::string ShellQuoted(const std::string& text) {
    std::string quoted = "'";
    for (char c : text)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

}  // namespace

int main(int argc, char** argv) {
    kvo::demo::TDemoInstallOptions options;
    bool printEnv = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view option = argv[i];
        if (option == "--help" || option == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (option == "--empty") {
            options.empty = true;
            continue;
        }
        if (option == "--print-env") {
            printEnv = true;
            continue;
        }
        if (i + 1 >= argc) return Usage(std::string(option) + " needs a value");
        const std::string_view value = argv[++i];
        if (option == "--root") {
            options.root = value;
        } else if (option == "--dentists") {
            if (!ParseNumber(value, options.dentists)) return Usage("--dentists needs a number");
        } else if (option == "--years") {
            if (!ParseNumber(value, options.years)) return Usage("--years needs a number");
        } else if (option == "--seed") {
            if (!ParseNumber(value, options.seed)) return Usage("--seed needs a number");
        } else if (option == "--today") {
            options.today = value;
        } else {
            return Usage("unknown option " + std::string(option));
        }
    }
    if (options.root.empty()) return Usage("--root is required");
    if (printEnv) {
        for (const auto& [name, value] : kvo::demo::DemoEnvironment(options.root))
            std::printf("export %s=%s\n", name.c_str(), ShellQuoted(value).c_str());
        return 0;
    }
    try {
        if (!kvo::demo::CreateDemoInstallation(options))
            std::printf("%s already holds an installation\n", options.root.c_str());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kvo-demo-install: %s\n", e.what());
        return 1;
    }
    return 0;
}
