// The command line of the tools that take a practice from one place to
// another: "--from X --to Y", a few flags of the tool's own, and --help.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace kvo::tools {

struct TFromTo {
    std::string from, to;
    std::set<std::string, std::less<>> flags;  // the tool's own flags that were given
    bool help = false;
};

// Reads the arguments; returns what is wrong with them for the usage
// message, or an empty text.  --help ends the reading with help set; the
// caller prints the usage then.
std::string ParseFromTo(int argc, char** argv, std::initializer_list<std::string_view> flags,
                        TFromTo& out);

// ParseFromTo, and the answers that end the tool at once: for a wrong
// command line "tool: problem" and the usage on standard error (exit code
// 2), for --help the usage on standard output (0).  Nothing: go on.
std::optional<int> ReadFromTo(int argc, char** argv, std::string_view tool, std::string_view usage,
                              std::initializer_list<std::string_view> flags, TFromTo& out);

// "table: n of m rows" on one line of standard error, rewritten as rows
// go; an empty function when standard error is not a terminal.
using TRowProgress =
    std::function<void(const std::string& table, std::int64_t done, std::int64_t total)>;
TRowProgress TerminalRowProgress();

}  // namespace kvo::tools
