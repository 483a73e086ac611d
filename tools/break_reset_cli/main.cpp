// kvo-break-reset: the break reset of "Go" for administrators and scripts,
// over one dentist or all, with a dry run, the list of kept resets and undo.
// It starts through the suite's shared start-up like every program of the
// suite (installation INI file, data drive, data folder lock), but never
// waits for anybody: every box goes to stderr and every dialog closes.

#include <QCoreApplication>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "app/break_reset.h"
#include "app/break_restore.h"
#include "common/Common.h"
#include "datamodule/Initialisation.h"
#include "datamodule/Main_DataModules.h"
#include "datamodule/Selection.h"
#include "platform/MessagePresenter.h"
#include "platform/System.h"

namespace {

using kvo::app::TResetCounts;

// What the program ends with; scripts tell the outcomes apart by these.
enum ExitCode : int {
    kExitDone = 0,     // done (a dry run: something would be done)
    kExitNothing = 1,  // nothing to do: no open day, no break from that date
    kExitRefused = 2,  // refused: unknown dentist, undo not possible as asked
    kExitError = 3,    // start-up ended, engine error
    kExitUsage = 64,   // the command line is wrong
};

constexpr const char* kUsage =
    "Usage: kvo-break-reset --dentist N|all --from DD/MM/YYYY [--dry-run] [--json]\n"
    "       kvo-break-reset --list [--json]\n"
    "       kvo-break-reset --undo ID [--json]\n"
    "       kvo-break-reset --help\n"
    "\n"
    "Clears the breaks of a dentist's appointment book from a date on, as \"Go\"\n"
    "does: every open day from that date is emptied and every break entry\n"
    "deleted, for one dentist or all in one transaction.  What a reset removes\n"
    "is kept in the practice, so that --undo can put it back.\n"
    "\n"
    "  --dentist N|all   the dentist's user number, or every user of the practice\n"
    "  --from DATE       the first day cleared, DD/MM/YYYY\n"
    "  --dry-run         print what would be done and change nothing\n"
    "  --list            list the kept resets\n"
    "  --undo ID         put back what reset ID removed\n"
    "  --json            print one JSON object instead of text\n"
    "\n"
    "Exit status: 0 done, 1 nothing to do, 2 refused, 3 error, 64 usage.\n";

struct TArgs {
    enum class Mode { None, Reset, List, Undo, Help } mode = Mode::None;
    std::string dentist;  // a number, or "all"
    std::string from;
    bool dryRun = false;
    bool json = false;
    std::int64_t undoId = 0;
};

bool AllDigits(const std::string& text) {
    return !text.empty() && text.size() <= 9 &&
           text.find_first_not_of("0123456789") == std::string::npos;
}

bool IsDate(const std::string& text) {
    if (text.size() != 10 || text[2] != '/' || text[5] != '/') return false;
    for (const std::size_t i : {0, 1, 3, 4, 6, 7, 8, 9})
        if (text[i] < '0' || text[i] > '9') return false;
    const std::chrono::year_month_day day(
        std::chrono::year(std::stoi(text.substr(6, 4))),
        std::chrono::month(static_cast<unsigned>(std::stoi(text.substr(3, 2)))),
        std::chrono::day(static_cast<unsigned>(std::stoi(text.substr(0, 2)))));
    return day.ok();
}

// The arguments, or the reason they are wrong.
std::optional<std::string> Parse(int argc, char** argv, TArgs& args) {
    auto setMode = [&](TArgs::Mode mode) -> std::optional<std::string> {
        if (args.mode != TArgs::Mode::None && args.mode != mode)
            return "--dentist, --list and --undo cannot be combined";
        args.mode = mode;
        return std::nullopt;
    };
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::optional<std::string> {
            if (i + 1 >= argc) return std::nullopt;
            return std::string(argv[++i]);
        };
        std::optional<std::string> error;
        if (arg == "--help" || arg == "-h") {
            args.mode = TArgs::Mode::Help;
            return std::nullopt;
        } else if (arg == "--dentist") {
            const auto v = value();
            if (!v || (*v != "all" && !AllDigits(*v)))
                return "--dentist needs a user number or \"all\"";
            args.dentist = *v;
            error = setMode(TArgs::Mode::Reset);
        } else if (arg == "--from") {
            const auto v = value();
            if (!v || !IsDate(*v)) return "--from needs a date written DD/MM/YYYY";
            args.from = *v;
        } else if (arg == "--undo") {
            const auto v = value();
            if (!v || !AllDigits(*v) || std::stoll(*v) == 0)
                return "--undo needs the number of a kept reset";
            args.undoId = std::stoll(*v);
            error = setMode(TArgs::Mode::Undo);
        } else if (arg == "--list") {
            error = setMode(TArgs::Mode::List);
        } else if (arg == "--dry-run") {
            args.dryRun = true;
        } else if (arg == "--json") {
            args.json = true;
        } else {
            return "unknown argument \"" + arg + "\"";
        }
        if (error) return error;
    }
    if (args.mode == TArgs::Mode::None) return "say --dentist, --list or --undo";
    if (args.mode == TArgs::Mode::Reset && args.from.empty()) return "--dentist needs --from";
    if (args.mode != TArgs::Mode::Reset && (!args.from.empty() || args.dryRun))
        return "--from and --dry-run go with --dentist";
    return std::nullopt;
}

std::string Json(const std::string& text) {
    std::string out = "\"";
    for (const unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

// Boxes of the start-up go to stderr with line breaks as a terminal shows them.
class TStderrPresenter : public kvo::platform::MessagePresenter {
  public:
    int ShowMessage(const std::string& text, const std::string& caption, int flags) override {
        std::string line = text;
        for (std::size_t at = 0; (at = line.find('\r', at)) != std::string::npos;)
            line.replace(at, line.compare(at, 2, "\r\n") == 0 ? 2 : 1, "\n");
        std::fprintf(stderr, "%s: %s\n", caption.c_str(), line.c_str());
        std::fflush(stderr);
        last_ = line;
        return (flags & 0x0F) == kvo::platform::kMbYesNo ? kvo::platform::kIdNo
                                                         : kvo::platform::kIdOk;
    }
    const std::string& Last() const { return last_; }

  private:
    std::string last_;
};

class TOutput {
  public:
    explicit TOutput(bool json) : json_(json) {}
    bool Json() const { return json_; }

    int Fail(int code, const std::string& kind, const std::string& message) const {
        if (json_) std::printf("{\"%s\": %s}\n", kind.c_str(), ::Json(message).c_str());
        std::fprintf(stderr, "kvo-break-reset: %s\n", message.c_str());
        return code;
    }

  private:
    bool json_;
};

struct TUser {
    std::string number, name;
};

std::vector<TUser> PracticeUsers() {
    kvo::engine::TTable users;
    users.SetDatabaseName("KVO");
    users.SetTableName("USER.DB");
    users.Open();
    std::vector<TUser> list;
    for (; !users.Eof(); users.Next())
        list.push_back(
            {users.FieldByName("User").AsString(), users.FieldByName("Surname").AsString() + ", " +
                                                       users.FieldByName("Forename").AsString()});
    return list;
}

// A bar on the terminal while all dentists are done; nothing otherwise.
class TProgressBar {
  public:
    explicit TProgressBar(bool shown) : shown_(shown) {}
    void operator()(int done, int total) {
        if (!shown_ || total <= 0) return;
        constexpr int kWidth = 30;
        const int filled = done * kWidth / total;
        std::fprintf(
            stderr, "\r[%s%s] %d/%d", std::string(static_cast<std::size_t>(filled), '#').c_str(),
            std::string(static_cast<std::size_t>(kWidth - filled), ' ').c_str(), done, total);
        if (done == total) std::fputc('\n', stderr);
        std::fflush(stderr);
    }

  private:
    bool shown_;
};

int RunReset(const TArgs& args, const TOutput& out) {
    const std::vector<TUser> users = PracticeUsers();
    std::vector<std::string> dentists;
    if (args.dentist == "all") {
        for (const auto& u : users)
            dentists.push_back(u.number);
        if (dentists.empty()) return out.Fail(kExitRefused, "refused", "The practice has no users");
    } else {
        bool known = false;
        for (const auto& u : users)
            known = known || u.number == std::to_string(std::stoll(args.dentist));
        if (!known)
            return out.Fail(kExitRefused, "refused",
                            "The practice has no user number " + args.dentist);
        dentists.push_back(std::to_string(std::stoll(args.dentist)));
    }

    kvo::engine::TTable calendar, entries;
    calendar.SetDatabaseName("KVO");
    calendar.SetTableName("APP_CAL.DB");
    entries.SetDatabaseName("KVO");
    entries.SetTableName("APP_REC.DB");
    kvo::app::TResetOptions options;
    options.dryRun = args.dryRun;
    TProgressBar bar(args.dentist == "all" && !out.Json() &&
                     kvo::platform::StandardErrorIsTerminal());
    options.progress = [&](int done, int total) { bar(done, total); };
    const kvo::app::TResetResult result =
        kvo::app::ResetBreaks(calendar, entries, dentists, args.from, options);

    auto nameOf = [&](const std::string& number) {
        for (const auto& u : users)
            if (u.number == number) return u.name;
        return std::string();
    };
    if (out.Json()) {
        std::string text = "{\"dry_run\": " + std::string(args.dryRun ? "true" : "false") +
                           ", \"from\": " + Json(args.from) +
                           ", \"reset\": " + std::to_string(result.resetId) + ", \"dentists\": [";
        for (std::size_t i = 0; i < result.dentists.size(); ++i) {
            const auto& d = result.dentists[i];
            text += std::string(i ? ", " : "") + "{\"dentist\": " + d.dentist +
                    ", \"name\": " + Json(nameOf(d.dentist)) +
                    ", \"days\": " + std::to_string(d.counts.days) +
                    ", \"breaks\": " + std::to_string(d.counts.breaks) + "}";
        }
        text += "], \"days\": " + std::to_string(result.total.days) +
                ", \"breaks\": " + std::to_string(result.total.breaks) + "}";
        std::printf("%s\n", text.c_str());
    } else {
        const char* would = args.dryRun ? " would be" : "";
        if (args.dryRun) std::printf("Dry run: nothing is changed.\n");
        for (const auto& d : result.dentists)
            std::printf("dentist %s (%s): %lld open days%s emptied, %lld breaks%s deleted\n",
                        d.dentist.c_str(), nameOf(d.dentist).c_str(),
                        static_cast<long long>(d.counts.days), would,
                        static_cast<long long>(d.counts.breaks), would);
        std::printf("total from %s: %lld open days%s emptied, %lld breaks%s deleted\n",
                    args.from.c_str(), static_cast<long long>(result.total.days), would,
                    static_cast<long long>(result.total.breaks), would);
        if (result.resetId != 0)
            std::printf("kept as reset %lld; undo with: kvo-break-reset --undo %lld\n",
                        static_cast<long long>(result.resetId),
                        static_cast<long long>(result.resetId));
    }
    std::fflush(stdout);
    return result.total.Empty() ? kExitNothing : kExitDone;
}

int RunList(const TOutput& out) {
    const auto resets = kvo::app::ListResets();
    if (out.Json()) {
        std::string text = "{\"resets\": [";
        for (std::size_t i = 0; i < resets.size(); ++i) {
            const auto& r = resets[i];
            text += std::string(i ? ", " : "") + "{\"id\": " + std::to_string(r.id) +
                    ", \"date\": " + Json(r.date) + ", \"time\": " + Json(r.time) +
                    ", \"user\": " + Json(r.username) + ", \"computer\": " + Json(r.computer) +
                    ", \"application\": " + Json(r.application) +
                    ", \"dentists\": " + Json(r.dentists) + ", \"from\": " + Json(r.fromDate) +
                    ", \"days\": " + std::to_string(r.counts.days) +
                    ", \"breaks\": " + std::to_string(r.counts.breaks) +
                    ", \"undone\": " + (r.undone ? "true" : "false") +
                    ", \"undone_by\": " + Json(r.undoneBy) + "}";
        }
        std::printf("%s]}\n", text.c_str());
    } else if (resets.empty()) {
        std::printf("No resets are kept.\n");
    } else {
        for (const auto& r : resets)
            std::printf("%lld  %s %s  %s on %s  dentists %s from %s  %lld days, %lld breaks  %s\n",
                        static_cast<long long>(r.id), r.date.c_str(), r.time.c_str(),
                        r.username.c_str(), r.computer.c_str(), r.dentists.c_str(),
                        r.fromDate.c_str(), static_cast<long long>(r.counts.days),
                        static_cast<long long>(r.counts.breaks),
                        r.undone ? ("undone " + r.undoneBy).c_str() : "can be undone");
    }
    std::fflush(stdout);
    return kExitDone;
}

int RunUndo(const TArgs& args, const TOutput& out) {
    TResetCounts counts;
    try {
        counts = kvo::app::UndoReset(args.undoId);
    } catch (const kvo::app::EUndoRefused& e) {
        return out.Fail(kExitRefused, "refused", e.what());
    }
    if (out.Json())
        std::printf("{\"undone\": %lld, \"days\": %lld, \"breaks\": %lld}\n",
                    static_cast<long long>(args.undoId), static_cast<long long>(counts.days),
                    static_cast<long long>(counts.breaks));
    else
        std::printf("reset %lld undone: %lld days and %lld breaks put back\n",
                    static_cast<long long>(args.undoId), static_cast<long long>(counts.days),
                    static_cast<long long>(counts.breaks));
    std::fflush(stdout);
    return kExitDone;
}

}  // namespace

int main(int argc, char** argv) {
    TArgs args;
    if (const auto wrong = Parse(argc, argv, args)) {
        std::fprintf(stderr, "kvo-break-reset: %s\n\n%s", wrong->c_str(), kUsage);
        return kExitUsage;
    }
    if (args.mode == TArgs::Mode::Help) {
        std::fputs(kUsage, stdout);
        return kExitDone;
    }
    const TOutput out(args.json);

    kvo::datamodule::InitialiseSharedLibrary();
    kvo::datamodule::InitialiseMainDataModulesUnit();
    QCoreApplication application(argc, argv);
    application.setApplicationName(QStringLiteral("kvo-break-reset"));

    TStderrPresenter boxes;
    kvo::platform::ScopedPresenter presenter(boxes);
    kvo::datamodule::ScriptedSelectionDialogs closedDialogs;
    kvo::datamodule::ScopedSelectionDialogs dialogs(closedDialogs);
    // A start-up that cannot go on has said why on stderr; it must end this
    // program with an error, not with the success code a window program
    // ends with.
    kvo::datamodule::SetEndProcess([] {});

    try {
        kvo::datamodule::TFRM_Main_DataModules dataModule;
        if (!dataModule.Ready())
            return out.Fail(
                kExitError, "error",
                boxes.Last().empty() ? "The practice could not be opened" : boxes.Last());
        switch (args.mode) {
            case TArgs::Mode::Reset:
                return RunReset(args, out);
            case TArgs::Mode::List:
                return RunList(out);
            case TArgs::Mode::Undo:
                return RunUndo(args, out);
            default:
                return kExitUsage;
        }
    } catch (const std::exception& e) {
        return out.Fail(kExitError, "error", e.what());
    }
}
