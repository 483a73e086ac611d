// The command line of the tools that take a practice from one place to
// another: "--from X --to Y", a few flags of the tool's own, and --help.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
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

// Prints "tool: problem" and the usage to standard error; returns the
// usage exit code, 2.
int Usage(std::string_view tool, std::string_view usage, const std::string& problem);

// "table: n of m rows" on one line of standard error, rewritten as rows
// go; an empty function when standard error is not a terminal.
using TRowProgress =
    std::function<void(const std::string& table, std::int64_t done, std::int64_t total)>;
TRowProgress TerminalRowProgress();

}  // namespace kvo::tools
