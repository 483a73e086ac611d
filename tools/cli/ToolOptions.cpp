#include "ToolOptions.h"

#include <cstdio>

#include "platform/System.h"

namespace kvo::tools {

std::string ParseFromTo(int argc, char** argv, std::initializer_list<std::string_view> flags,
                        TFromTo& out) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view option = argv[i];
        if (option == "--help" || option == "-h") {
            out.help = true;
            return {};
        }
        bool flag = false;
        for (std::string_view f : flags)
            flag = flag || f == option;
        if (flag) {
            out.flags.emplace(option);
            continue;
        }
        if (option != "--from" && option != "--to") return "unknown option " + std::string(option);
        if (i + 1 >= argc) return std::string(option) + " needs a value";
        (option == "--from" ? out.from : out.to) = argv[++i];
    }
    if (out.from.empty()) return "--from is required";
    if (out.to.empty()) return "--to is required";
    return {};
}

std::optional<int> ReadFromTo(int argc, char** argv, std::string_view tool, std::string_view usage,
                              std::initializer_list<std::string_view> flags, TFromTo& out) {
    if (const std::string problem = ParseFromTo(argc, argv, flags, out); !problem.empty()) {
        std::fprintf(stderr, "%.*s: %s\n%.*s", int(tool.size()), tool.data(), problem.c_str(),
                     int(usage.size()), usage.data());
        return 2;
    }
    if (out.help) {
        std::fwrite(usage.data(), 1, usage.size(), stdout);
        return 0;
    }
    return std::nullopt;
}

TRowProgress TerminalRowProgress() {
    if (!platform::StandardErrorIsTerminal()) return {};
    return [](const std::string& table, std::int64_t done, std::int64_t total) {
        std::fprintf(stderr, "\r\033[K%s: %lld of %lld rows", table.c_str(),
                     static_cast<long long>(done), static_cast<long long>(total));
        if (done == total) std::fputc('\n', stderr);
    };
}

}  // namespace kvo::tools
