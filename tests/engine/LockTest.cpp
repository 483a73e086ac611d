#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

#include "EngineFixture.h"

namespace kvo::engine::testing {
namespace {

using Clock = std::chrono::steady_clock;

// A second connection to the same folder, as another workstation would have.
class LockTest : public EngineTest {
  protected:
    void SetUp() override {
        EngineTest::SetUp();
        Session().SetLockWaitMs(200);
        TTable create;
        CreateEntries(create);
        AddEntry(create, "*", 3, "05/01/2026", "first");
        AddEntry(create, "*", 3, "06/01/2026", "second");
        create.Close();
        Session().Database("OTHER").Params() = params_;
        Open(mine_, "KVO");
        Open(theirs_, "OTHER");
    }

    void TearDown() override {
        mine_.Close();
        theirs_.Close();
        Session().RemoveDatabase("OTHER");
        EngineTest::TearDown();
    }

    static void Open(TTable& table, const std::string& database) {
        table.SetDatabaseName(database);
        table.SetTableName("APP_REC.DB");
        table.Open();
    }

    // Runs an action that must fail on the lock, within a bounded wait.
    static void ExpectLocked(const std::function<void()>& action) {
        const auto start = Clock::now();
        try {
            action();
            ADD_FAILURE() << "no error while the lock is held elsewhere";
        } catch (const EDBEngineError& e) {
            EXPECT_THAT(e.what(), ::testing::HasSubstr("locked"));
        }
        const auto waited = Clock::now() - start;
        EXPECT_GE(waited, std::chrono::milliseconds(150));
        EXPECT_LT(waited, std::chrono::seconds(3));
    }

    TTable mine_;
    TTable theirs_;
};

TEST_F(LockTest, EditHeldByAnotherConnectionBlocksWritesForABoundedWait) {
    mine_.Edit();
    mine_.FieldByName("Note").SetAsString("mine");

    // Reading goes on; every write of that record waits and then fails (on
    // a file database, every write at all).
    EXPECT_EQ(theirs_.FieldByName("Note").AsString(), "first");
    ExpectLocked([&] { theirs_.Edit(); });
    EXPECT_EQ(theirs_.State(), TDataSetState::Browse);
    ExpectLocked([&] { theirs_.Delete(); });
    if (!OnServer()) ExpectLocked([&] { theirs_.Append(); });
    EXPECT_EQ(theirs_.RecordCount(), 2);
    theirs_.Next();  // another record: a server lets this edit through at once
    if (OnServer()) {
        theirs_.Edit();
        theirs_.FieldByName("Note").SetAsString("theirs");
        theirs_.Post();
    }
    theirs_.First();

    mine_.Post();
    theirs_.First();
    theirs_.Edit();                                             // the lock is free again
    EXPECT_EQ(theirs_.FieldByName("Note").AsString(), "mine");  // read under the lock
    theirs_.Cancel();
    theirs_.Delete();
    EXPECT_EQ(theirs_.FieldByName("Note").AsString(), OnServer() ? "theirs" : "second");
}

TEST_F(LockTest, RecordDeletedElsewhereCannotBeEditedOrPostedOver) {
    theirs_.Delete();
    EXPECT_THAT([&] { mine_.Edit(); },
                ::testing::ThrowsMessage<EDBEngineError>(::testing::HasSubstr("deleted")));
    EXPECT_EQ(mine_.State(), TDataSetState::Browse);
    mine_.Next();
    mine_.Edit();  // the lock was not kept by the failed edit
    mine_.Post();
}

TEST_F(LockTest, TransactionHeldByAnotherConnectionBlocksPosts) {
    TDatabase& other = Session().Database("OTHER");
    other.StartTransaction();
    theirs_.Append();
    theirs_.FieldByName("Note").SetAsString("bulk");
    theirs_.Post();
    theirs_.First();
    theirs_.Edit();
    theirs_.FieldByName("Note").SetAsString("in the transaction");
    theirs_.Post();
    // Posted, but the transaction keeps the record locked until it ends.
    ExpectLocked([&] { mine_.Edit(); });
    ExpectLocked([&] { mine_.Delete(); });
    other.Rollback();
    mine_.Edit();
    EXPECT_EQ(mine_.FieldByName("Note").AsString(), "first");
    mine_.Post();
    EXPECT_EQ(theirs_.RecordCount(), 2);
}

// A transaction that met a lock is either refused at its start (a file
// database takes its lock up front) or, on a server, abandoned by it: then
// nothing more may be written in it and Commit must not pass it off as done.
TEST_F(LockTest, TransactionThatMetALockIsNeverCommittedHalfDone) {
    TDatabase& other = Session().Database("OTHER");
    mine_.Edit();
    if (!OnServer()) {
        ExpectLocked([&] { other.StartTransaction(); });
        EXPECT_FALSE(other.InTransaction());
        mine_.Cancel();
        return;
    }
    other.StartTransaction();
    theirs_.Next();
    theirs_.Edit();  // the other record: not locked
    theirs_.FieldByName("Note").SetAsString("lost with the transaction");
    theirs_.Post();
    theirs_.First();
    ExpectLocked([&] { theirs_.Edit(); });
    theirs_.Next();
    EXPECT_THAT([&] { theirs_.Edit(); },
                ::testing::ThrowsMessage<EDBEngineError>(::testing::HasSubstr("abandoned")));
    EXPECT_THAT([&] { theirs_.Delete(); },
                ::testing::ThrowsMessage<EDBEngineError>(::testing::HasSubstr("abandoned")));
    EXPECT_THAT([&] { other.Commit(); },
                ::testing::ThrowsMessage<EDBEngineError>(::testing::HasSubstr("abandoned")));
    other.Rollback();
    mine_.Post();
    theirs_.Next();  // the view was rebuilt by the rollback and stands on the first
    EXPECT_EQ(theirs_.FieldByName("Note").AsString(), "second");
    theirs_.Edit();  // a fresh start works
    theirs_.Post();
}

TEST_F(LockTest, LockHeldByAnotherProcessIsAnErrorNotAHang) {
    int ready[2], release[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(release), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // The child has its own connection and leaves without running the
        // parent's destructors on inherited ones.
        int status = 1;
        try {
            Session().Database("CHILD").Params() = params_;
            TTable t;
            Open(t, "CHILD");
            t.Edit();
            t.FieldByName("Note").SetAsString("child");
            char c = 'r';
            if (::write(ready[1], &c, 1) == 1 && ::read(release[0], &c, 1) == 1) {
                t.Post();
                status = 0;
            }
        } catch (...) {
        }
        ::_exit(status);
    }
    char c = 0;
    ASSERT_EQ(::read(ready[0], &c, 1), 1);
    ExpectLocked([&] { mine_.Edit(); });
    ExpectLocked([&] { mine_.Delete(); });
    ASSERT_EQ(::write(release[1], &c, 1), 1);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    for (int fd : {ready[0], ready[1], release[0], release[1]})
        ::close(fd);

    mine_.Edit();
    EXPECT_EQ(mine_.FieldByName("Note").AsString(), "child");
    mine_.Post();
}

}  // namespace
}  // namespace kvo::engine::testing
