// Ten workstations on one practice at once, as separate processes with their
// own connections: each clears the breaks of its own dentist (the code behind
// "Go") and then keeps raising shared counters by editing their rows, under a
// short lock wait so that edits collide.  Two processes are killed with
// SIGKILL, each holding its locks for a while before it dies: one half-way
// through an edit of a counter, one half-way through its reset.
// Afterwards: every counter equals the raises that were reported done (no
// lost update, and nothing of the killed edit), the killed reset left its
// dentist's book as it was, every row is whole, and every refusal was the
// engine's lock error.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <thread>

#include "EngineFixture.h"
#include "app/break_reset.h"

namespace kvo::engine::testing {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kWorkstations = 10;
constexpr int kVictim = 3;       // killed in the middle of an edit of a counter
constexpr int kVictimRaise = 1;  // ... of its second raise, or the first after it not refused
constexpr int kResetVictim = 7;  // killed in the middle of its reset
constexpr int kDays = 30;        // per dentist, from 01/03/2026
constexpr int kRaises = 25;
constexpr const char* kFrom = "15/03/2026";
constexpr const char* kCounters[] = {"a", "b", "c"};

std::string Day(int index) {
    const int day = 1 + index % 28, month = 3 + index / 28;
    char text[16];
    std::snprintf(text, sizeof text, "%02d/%02d/2026", day, month);
    return text;
}

class WorkstationsTest : public EngineTest {
  protected:
    void SetUp() override {
        EngineTest::SetUp();
        TTable cal, rec, counters;
        CreateCalendar(cal);
        CreateEntries(rec);
        support::CreateTable(counters, "KVO", "COUNTER.DB",
                             {{"Name", TFieldType::String, 10},
                              {"Number", TFieldType::Integer},
                              {"Twice", TFieldType::Integer}},
                             "Name");
        TDatabase& db = Session().Database("KVO");
        db.StartTransaction();
        for (int dentist = 1; dentist <= kWorkstations + 1; ++dentist) {
            for (int i = 0; i < kDays; ++i) {
                cal.Append();
                cal.FieldByName("User").SetAsInteger(dentist);
                cal.FieldByName("Date").SetAsString(Day(i));
                cal.FieldByName("Closed").SetAsBoolean(i % 5 == 4);
                cal.FieldByName("Start").SetAsString("08:00");
                cal.FieldByName("End").SetAsString("17:00");
                cal.FieldByName("Interval").SetAsInteger(15);
                cal.FieldByName("Breaks").SetAsString("12:00-13:00");
                cal.Post();
                AddEntry(rec, "*", dentist, Day(i), "break");
                AddEntry(rec, "A", dentist, Day(i), "appointment");
            }
        }
        for (const char* name : kCounters) {
            counters.Append();
            counters.FieldByName("Name").SetAsString(name);
            counters.FieldByName("Number").SetAsInteger(0);
            counters.FieldByName("Twice").SetAsInteger(0);
            counters.Post();
        }
        db.Commit();
        // A first reset by hand, so that whatever the reset keeps for an
        // undo exists before the workstations race to it.
        app::ClearBreaksFrom(cal, rec, std::to_string(kWorkstations + 1), kFrom);
    }

    // One workstation.  Reports on `out`: 'C' reset done, 'F' reset refused,
    // '+' a raise done, '-' a raise refused with the engine's lock error,
    // 'K' (a victim) about to be killed with its work half done, 'X'
    // anything else.
    [[noreturn]] void Workstation(int dentist, int out) {
        auto say = [&](char c) { (void)!::write(out, &c, 1); };
        int status = 0;
        try {
            Session().Database("WS").Params() = params_;
            TTable cal, rec, counters;
            for (auto [table, name] : {std::pair{&cal, "APP_CAL"}, std::pair{&rec, "APP_REC"},
                                       std::pair{&counters, "COUNTER"}}) {
                table->SetDatabaseName("WS");
                table->SetTableName(name);
            }
            if (dentist == kResetVictim)
                cal.AfterPost = [&](TTable&) {
                    say('K');  // one day emptied, the rest and the breaks to come
                    for (;;)
                        ::pause();
                };
            bool reset = false;
            for (int attempt = 0; attempt < 40 && !reset; ++attempt) {
                try {
                    app::ClearBreaksFrom(cal, rec, std::to_string(dentist), kFrom);
                    reset = true;
                } catch (const EDBEngineError&) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(20 + 7 * dentist));
                }
            }
            say(reset ? 'C' : 'F');
            counters.Open();
            for (int i = 0; i < kRaises; ++i) {
                const char* name = kCounters[(dentist + i) % 3];
                try {
                    if (!counters.Locate("Name", std::string(name))) throw std::logic_error(name);
                    counters.Edit();
                    const auto n = counters.FieldByName("Number").AsInteger() + 1;
                    counters.FieldByName("Number").SetAsInteger(n);
                    // A raise refused for another's lock never gets here,
                    // so the victim holds the first of its raises it gets.
                    if (dentist == kVictim && i >= kVictimRaise) {
                        say('K');
                        for (;;)
                            ::pause();  // holding the lock until killed
                    }
                    counters.FieldByName("Twice").SetAsInteger(2 * n);
                    counters.Post();
                    say('+');
                    // Paced, so that the raises of all overlap the victim's held lock.
                    std::this_thread::sleep_for(std::chrono::milliseconds(20));
                } catch (const EDBEngineError& e) {
                    counters.Cancel();
                    const bool locked = std::string(e.what()).find("locked") != std::string::npos;
                    if (!locked) std::fprintf(stderr, "workstation %d: %s\n", dentist, e.what());
                    say(locked ? '-' : 'X');
                    if (!locked) status = 1;
                }
            }
        } catch (const std::exception& e) {
            std::fprintf(stderr, "workstation %d: %s\n", dentist, e.what());
            say('X');
            status = 1;
        }
        ::_exit(status);
    }
};

TEST_F(WorkstationsTest, TenAtOnceWithOneKilledLoseNothingAndLeaveNoHalfWrittenRow) {
    Session().SetLockWaitMs(300);
    Session().RemoveDatabase("KVO");  // the children must not share this connection
    struct Child {
        pid_t pid;
        int pipe;
        std::string said;
    };
    std::map<int, Child> children;
    for (int dentist = 1; dentist <= kWorkstations; ++dentist) {
        int fds[2];
        ASSERT_EQ(::pipe(fds), 0);
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::close(fds[0]);
            Workstation(dentist, fds[1]);
        }
        ::close(fds[1]);
        children[dentist] = {pid, fds[0], {}};
    }

    // Collect what they say until all pipes close; a victim dies a second
    // after it said so, so that others run into its locks meanwhile.
    // Bounded: nobody hangs the suite.
    const auto deadline = Clock::now() + std::chrono::seconds(120);
    std::map<int, Clock::time_point> killAt;
    int killed = 0;
    for (std::size_t open = children.size(); open > 0 && Clock::now() < deadline;) {
        std::vector<pollfd> fds;
        for (auto& [dentist, child] : children)
            if (child.pipe >= 0) fds.push_back({child.pipe, POLLIN, 0});
        ::poll(fds.data(), fds.size(), 100);
        for (auto it = killAt.begin(); it != killAt.end();) {
            if (Clock::now() < it->second) {
                ++it;
                continue;
            }
            ::kill(children[it->first].pid, SIGKILL);
            ++killed;
            it = killAt.erase(it);
        }
        for (auto& [dentist, child] : children) {
            if (child.pipe < 0) continue;
            pollfd probe{child.pipe, POLLIN, 0};
            if (::poll(&probe, 1, 0) <= 0) continue;
            char buffer[64];
            const ssize_t n = ::read(child.pipe, buffer, sizeof buffer);
            if (n > 0) {
                child.said.append(buffer, static_cast<std::size_t>(n));
                if (n > 0 && buffer[n - 1] == 'K')
                    killAt[dentist] = Clock::now() + std::chrono::seconds(1);
            } else {
                ::close(child.pipe);
                child.pipe = -1;
                --open;
            }
        }
    }
    for (auto& [dentist, child] : children) {
        int status = 0;
        SCOPED_TRACE("workstation " + std::to_string(dentist) + " said " + child.said);
        EXPECT_LT(child.pipe, 0) << "still running when the time was up";
        if (child.pipe >= 0) ::kill(child.pid, SIGKILL);
        ASSERT_EQ(::waitpid(child.pid, &status, 0), child.pid);
        if (dentist == kVictim || dentist == kResetVictim) {
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
            EXPECT_EQ(child.said.back(), 'K');
            EXPECT_EQ(child.said.find('X'), std::string::npos);
        } else {
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
            EXPECT_EQ(child.said.find('X'), std::string::npos);
            EXPECT_EQ(std::count(child.said.begin(), child.said.end(), '+') +
                          std::count(child.said.begin(), child.said.end(), '-'),
                      kRaises);
        }
    }
    ASSERT_EQ(killed, 2);
    EXPECT_EQ(children[kResetVictim].said, "K");  // never got past its reset

    // The counters: every reported raise is there, no more, and each row
    // was written whole.
    Session().Database("KVO").Params() = params_;
    std::int64_t raised = 0, refused = 0;
    for (auto& [dentist, child] : children) {
        raised += std::count(child.said.begin(), child.said.end(), '+');
        refused += std::count(child.said.begin(), child.said.end(), '-');
    }
    TTable counters;
    counters.SetDatabaseName("KVO");
    counters.SetTableName("COUNTER");
    counters.Open();
    std::int64_t total = 0;
    for (counters.First(); !counters.Eof(); counters.Next()) {
        const auto n = counters.FieldByName("Number").AsInteger();
        EXPECT_EQ(counters.FieldByName("Twice").AsInteger(), 2 * n);
        total += n;
    }
    EXPECT_EQ(total, raised);
    EXPECT_GT(raised, 0);
    EXPECT_GT(refused, 0);  // the victim's lock was met, and refused properly
    std::printf("raises done %lld, refused %lld\n", static_cast<long long>(raised),
                static_cast<long long>(refused));

    // The calendar: each dentist's days are all cleared (reset done) or all
    // as before (a reset refused throughout); closed days and days before
    // the date are never touched.
    TTable cal, rec;
    cal.SetDatabaseName("KVO");
    cal.SetTableName("APP_CAL");
    rec.SetDatabaseName("KVO");
    rec.SetTableName("APP_REC");
    cal.Open();
    rec.Open();
    for (auto& [dentist, child] : children) {
        SCOPED_TRACE("dentist " + std::to_string(dentist));
        const bool cleared = child.said.find('C') != std::string::npos;
        cal.SetFilter("User = " + std::to_string(dentist));
        cal.SetFiltered(true);
        int emptied = 0, kept = 0;
        for (cal.First(); !cal.Eof(); cal.Next()) {
            const bool empty = cal.FieldByName("Start").IsNull();
            for (const char* field : {"End", "Interval", "Closed", "Breaks"})
                EXPECT_EQ(cal.FieldByName(field).IsNull(), empty) << field;
            (empty ? emptied : kept)++;
        }
        const int openFromDate = 12;  // 16 days from 15/03, 4 of them closed
        EXPECT_EQ(emptied, cleared ? openFromDate : 0);
        EXPECT_EQ(kept, kDays - emptied);
        rec.SetFilter("Type = '*' AND User = " + std::to_string(dentist));
        rec.SetFiltered(true);
        EXPECT_EQ(rec.RecordCount(), cleared ? kDays - 16 : kDays);
        rec.SetFilter("Type = 'A' AND User = " + std::to_string(dentist));
        EXPECT_EQ(rec.RecordCount(), kDays);
    }
}

}  // namespace
}  // namespace kvo::engine::testing
