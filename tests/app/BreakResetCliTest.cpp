// kvo-break-reset run for real on a generated demonstration installation:
// its outputs and exit codes, the dry run leaving the tables' file byte for
// byte as it was, undo, and the refusals.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "DemoInstall.h"
#include "engine/engine.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;

struct TRun {
    int exitCode = -1;
    std::string out, err;
};

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class BreakResetCliTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/kvo-cli-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        root_ = pattern;
    }
    void TearDown() override { fs::remove_all(root_); }

    void Install(bool empty = false) {
        kvo::demo::TDemoInstallOptions options;
        options.root = root_ + "/install";
        options.empty = empty;
        options.dentists = 2;
        options.years = 1;
        ASSERT_TRUE(kvo::demo::CreateDemoInstallation(options));
    }

    std::string Tables() const {
        return kvo::demo::DemoLayout(root_ + "/install").dataFolder + "/Data/" +
               kvo::engine::kDatabaseFileName;
    }

    std::vector<std::string> Environment() const {
        std::vector<std::string> env = {"KESTAVO_REPORT_URL=http://127.0.0.1:9/"};
        for (const auto& [name, value] : kvo::demo::DemoEnvironment(root_ + "/install"))
            env.push_back(name + "=" + value);
        for (char** e = environ; *e != nullptr; ++e)
            env.emplace_back(*e);
        return env;
    }

    TRun Run(std::vector<std::string> args) const {
        auto env = Environment();
        std::vector<char*> envp, argv;
        for (auto& e : env)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        std::string program = KVO_BREAK_RESET_PROGRAM;
        argv.push_back(program.data());
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);

        const std::string out = root_ + "/out.txt", err = root_ + "/err.txt";
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        pid_t pid = 0;
        TRun run;
        const int rc =
            posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0) {
            ADD_FAILURE() << "cannot start " << program;
            return run;
        }
        run.exitCode = Wait(pid);
        run.out = ReadAll(out);
        run.err = ReadAll(err);
        return run;
    }

    // The same on a terminal: stdout and stderr both go to it.
    TRun RunOnTerminal(std::vector<std::string> args) const {
        auto env = Environment();
        std::vector<char*> envp, argv;
        for (auto& e : env)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        std::string program = KVO_BREAK_RESET_PROGRAM;
        argv.push_back(program.data());
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        int master = -1;
        const pid_t pid = ::forkpty(&master, nullptr, nullptr, nullptr);
        if (pid == 0) {
            ::execve(program.c_str(), argv.data(), envp.data());
            ::_exit(127);
        }
        TRun run;
        if (pid < 0) {
            ADD_FAILURE() << "no terminal";
            return run;
        }
        char buffer[4096];
        for (;;) {
            const ssize_t n = ::read(master, buffer, sizeof buffer);
            if (n <= 0) break;  // EIO once the program has ended
            run.out.append(buffer, static_cast<std::size_t>(n));
        }
        ::close(master);
        run.exitCode = Wait(pid);
        return run;
    }

    // Exit code, or -1 after killing a program that hangs.
    static int Wait(pid_t pid) {
        int status = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (::waitpid(pid, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                ::kill(pid, SIGKILL);
                ::waitpid(pid, &status, 0);
                ADD_FAILURE() << "the program did not end";
                return -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    // One number the practice's file answers, read past the program.
    long long Sql(const std::string& sql) const {
        sqlite3* db = nullptr;
        long long n = -1;
        sqlite3_stmt* stmt = nullptr;
        if (sqlite3_open_v2(Tables().c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
            sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK &&
            sqlite3_step(stmt) == SQLITE_ROW)
            n = sqlite3_column_int64(stmt, 0);
        sqlite3_finalize(stmt);
        sqlite3_close(db);
        return n;
    }

    std::string SqlText(const std::string& sql) const {
        sqlite3* db = nullptr;
        std::string text;
        sqlite3_stmt* stmt = nullptr;
        if (sqlite3_open_v2(Tables().c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
            sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK)
            while (sqlite3_step(stmt) == SQLITE_ROW)
                for (int i = 0; i < sqlite3_column_count(stmt); ++i) {
                    const auto* v = sqlite3_column_text(stmt, i);
                    text += (v ? reinterpret_cast<const char*>(v) : "<null>");
                    text += i + 1 < sqlite3_column_count(stmt) ? "|" : "\n";
                }
        sqlite3_finalize(stmt);
        sqlite3_close(db);
        return text;
    }

    // The tenth-last calendar day of dentist 1, as the program is given it,
    // so that the tests follow whatever dates the generator chose.
    std::string FromDate() const {
        const std::string iso =
            SqlText("SELECT Date FROM APP_CAL WHERE User = 1 ORDER BY Date DESC LIMIT 1 OFFSET 10");
        EXPECT_EQ(iso.size(), 11u) << iso;
        return iso.substr(8, 2) + "/" + iso.substr(5, 2) + "/" + iso.substr(0, 4);
    }
    static std::string Iso(const std::string& dmy) {
        return dmy.substr(6, 4) + "-" + dmy.substr(3, 2) + "-" + dmy.substr(0, 2);
    }
    long long OpenDays(int dentist, const std::string& from) const {
        return Sql("SELECT count(*) FROM APP_CAL WHERE User = " + std::to_string(dentist) +
                   " AND Date >= '" + Iso(from) +
                   "' AND NOT coalesce(Closed, 0) AND (Start IS NOT NULL OR \"End\" IS NOT NULL "
                   "OR Interval IS NOT NULL OR Closed IS NOT NULL OR Breaks IS NOT NULL)");
    }
    long long Breaks(int dentist, const std::string& from) const {
        return Sql("SELECT count(*) FROM APP_REC WHERE Type = '*' AND User = " +
                   std::to_string(dentist) + " AND Date >= '" + Iso(from) + "'");
    }

    std::string root_;
};

TEST_F(BreakResetCliTest, CommandLineMistakesAreToldWithTheUsage) {
    struct {
        std::vector<std::string> args;
        const char* said;
    } const cases[] = {
        {{}, "say --dentist, --list or --undo"},
        {{"--dentist", "x", "--from", "01/03/2026"}, "--dentist needs a user number"},
        {{"--dentist", "1"}, "--dentist needs --from"},
        {{"--dentist", "1", "--from", "31/02/2026"}, "--from needs a date written DD/MM/YYYY"},
        {{"--dentist", "1", "--from", "1/3/2026"}, "--from needs a date written DD/MM/YYYY"},
        {{"--list", "--undo", "1"}, "cannot be combined"},
        {{"--undo", "0"}, "--undo needs the number of a kept reset"},
        {{"--list", "--dry-run"}, "--from and --dry-run go with --dentist"},
        {{"--force"}, "unknown argument \"--force\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.said);
        const TRun run = Run(c.args);
        EXPECT_EQ(run.exitCode, 64);
        EXPECT_THAT(run.err, HasSubstr(c.said));
        EXPECT_THAT(run.err, HasSubstr("Usage: kvo-break-reset"));
        EXPECT_EQ(run.out, "");
    }
    const TRun help = Run({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_THAT(help.out, HasSubstr("Exit status: 0 done, 1 nothing to do, 2 refused, 3 error"));
}

TEST_F(BreakResetCliTest, DryRunOverAllDentistsPrintsTheCountsAndLeavesTheFileAsItWas) {
    Install();
    const std::string from = FromDate();
    // The first start of a new practice writes its first-run data; the
    // file is taken after that.
    ASSERT_EQ(Run({"--list"}).exitCode, 0);
    const std::string before = ReadAll(Tables());
    const TRun run = Run({"--dentist", "all", "--from", from, "--dry-run", "--json"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_TRUE(ReadAll(Tables()) == before) << "the dry run changed the tables' file";
    EXPECT_FALSE(fs::exists(Tables() + "-wal"));

    for (int d = 1; d <= 2; ++d) {
        EXPECT_GT(OpenDays(d, from), 0);
        EXPECT_GT(Breaks(d, from), 0);
    }
    EXPECT_THAT(run.out, HasSubstr("{\"dry_run\": true, \"from\": \"" + from +
                                   "\", \"reset\": 0, \"dentists\": [{\"dentist\": 1, "));
    EXPECT_THAT(run.out, HasSubstr("\"days\": " + std::to_string(OpenDays(1, from)) +
                                   ", \"breaks\": " + std::to_string(Breaks(1, from)) +
                                   "}, {\"dentist\": 2, "));
    // Users who are not dentists have nothing to clear and are listed all the same.
    EXPECT_THAT(
        run.out,
        HasSubstr("\"days\": " + std::to_string(OpenDays(1, from) + OpenDays(2, from)) +
                  ", \"breaks\": " + std::to_string(Breaks(1, from) + Breaks(2, from)) + "}\n"));
}

TEST_F(BreakResetCliTest, ResetListAndUndoWithTheirExitCodes) {
    Install();
    const std::string from = FromDate();
    const long long days = OpenDays(1, from), breaks = Breaks(1, from);
    const std::string calendar = SqlText("SELECT * FROM APP_CAL ORDER BY rowid");
    const std::string entries = SqlText("SELECT * FROM APP_REC ORDER BY Type, User, Date, Time");

    const TRun reset = Run({"--dentist", "1", "--from", from});
    ASSERT_EQ(reset.exitCode, 0) << reset.err;
    EXPECT_THAT(reset.out, HasSubstr("dentist 1 ("));
    EXPECT_THAT(reset.out, HasSubstr("): " + std::to_string(days) + " open days emptied, " +
                                     std::to_string(breaks) + " breaks deleted\n"));
    EXPECT_THAT(reset.out, HasSubstr("kept as reset 1; undo with: kvo-break-reset --undo 1\n"));
    EXPECT_EQ(OpenDays(1, from), 0);
    EXPECT_EQ(Breaks(1, from), 0);
    EXPECT_THAT(ReadAll(kvo::demo::DemoLayout(root_ + "/install").driveC + "/Kestavo/EVENTS.XML"),
                HasSubstr("<TEXT>Dentist 1: breaks cleared from " + from));

    const TRun again = Run({"--dentist", "1", "--from", from});
    EXPECT_EQ(again.exitCode, 1) << again.err;
    EXPECT_THAT(again.out, HasSubstr("total from " + from + ": 0 open days emptied, 0 breaks"));

    const TRun list = Run({"--list", "--json"});
    EXPECT_EQ(list.exitCode, 0) << list.err;
    EXPECT_THAT(list.out, HasSubstr("{\"resets\": [{\"id\": 1, "));
    EXPECT_THAT(list.out, HasSubstr("\"dentists\": \"1\", \"from\": \"" + from +
                                    "\", \"days\": " + std::to_string(days) + ", \"breaks\": " +
                                    std::to_string(breaks) + ", \"undone\": false"));

    const TRun undo = Run({"--undo", "1", "--json"});
    EXPECT_EQ(undo.exitCode, 0) << undo.err;
    EXPECT_EQ(undo.out, "{\"undone\": 1, \"days\": " + std::to_string(days) +
                            ", \"breaks\": " + std::to_string(breaks) + "}\n");
    EXPECT_EQ(SqlText("SELECT * FROM APP_CAL ORDER BY rowid"), calendar);
    EXPECT_EQ(SqlText("SELECT * FROM APP_REC ORDER BY Type, User, Date, Time"), entries);

    const TRun twice = Run({"--undo", "1", "--json"});
    EXPECT_EQ(twice.exitCode, 2);
    EXPECT_THAT(twice.out, HasSubstr("{\"refused\": \"Reset 1 has already been undone ("));
    EXPECT_THAT(Run({"--list"}).out, HasSubstr("undone "));
}

TEST_F(BreakResetCliTest, RefusalsAndErrorsAreToldApart) {
    Install();
    const TRun unknown = Run({"--dentist", "99", "--from", FromDate()});
    EXPECT_EQ(unknown.exitCode, 2);
    EXPECT_THAT(unknown.err, HasSubstr("The practice has no user number 99"));
    const TRun undo = Run({"--undo", "5"});
    EXPECT_EQ(undo.exitCode, 2);
    EXPECT_THAT(undo.err, HasSubstr("There is no kept reset number 5"));

    // A workstation without an installation INI file: the start-up ends,
    // which for this program is an error, never a success.
    fs::remove_all(root_ + "/install");
    Install(/*empty=*/true);
    const TRun unset = Run({"--list", "--json"});
    EXPECT_EQ(unset.exitCode, 3) << unset.out << unset.err;
    EXPECT_THAT(unset.out, HasSubstr("{\"error\": "));
}

TEST_F(BreakResetCliTest, ProgressBarOnATerminalOnlyForAllDentists) {
    Install();
    const std::string from = FromDate();
    const TRun all = RunOnTerminal({"--dentist", "all", "--from", from, "--dry-run"});
    EXPECT_EQ(all.exitCode, 0) << all.out;
    EXPECT_THAT(all.out, HasSubstr("] 1/"));
    EXPECT_THAT(all.out, HasSubstr("##############################] "));
    const TRun one = RunOnTerminal({"--dentist", "1", "--from", from, "--dry-run"});
    EXPECT_EQ(one.exitCode, 0) << one.out;
    EXPECT_THAT(one.out, Not(HasSubstr("] 1/1")));
    // Not on a file, as scripts get it.
    EXPECT_THAT(Run({"--dentist", "all", "--from", from, "--dry-run"}).err, Not(HasSubstr("]")));
}

}  // namespace
