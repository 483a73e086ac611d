#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <regex>
#include <vector>

#include "crashlog/CrashOptions.h"

namespace {

using crashlog::TCrashExceptionFilter;
using crashlog::TCrashModuleOptions;
using crashlog::TCrashModuleOptionsEx;

TEST(OptionsExpansion, Cases) {
    setenv("_ExceptModuleName", "app.exe", 1);
    setenv("OPT_A", "x", 1);
    setenv("OPT_SELF", "%OPT_A%", 1);
    unsetenv("OPT_UNSET");
    struct Row {
        const char* text;
        const char* expanded;
    };
    const Row rows[] = {
        {"Error in %_ExceptModuleName%", "Error in app.exe"},
        {"Error in %OPT_UNSET%", "Error in "},
        {"50%%", "50"},
        {"%OPT_A%%OPT_A%", "xx"},
        {"%OPT_SELF%", "%OPT_A%"},  // values are not expanded again
        {"100% sure", "100% sure"},
        {"%OPT-A%", "%OPT-A%"},
        {"%", "%"},
        {"abc%", "abc%"},
        {"%OPT_A", "%OPT_A"},
        {"a%%OPT_A%", "aOPT_A%"},
        {"", ""},
    };
    for (const auto& r : rows)
        EXPECT_EQ(crashlog::ExpandVariables(r.text), r.expanded) << r.text;
}

TEST(OptionsExpansion, BuiltInNamesAndTexts) {
    unsetenv("date");
    unsetenv("cd");
    EXPECT_TRUE(
        std::regex_match(crashlog::ExpandVariables("%DATE%"), std::regex(R"(\d\d/\d\d/\d{4})")));
    EXPECT_TRUE(std::regex_match(crashlog::ExpandVariables("%time%"), std::regex(R"(\d\d:\d\d)")));
    EXPECT_EQ(crashlog::ExpandVariables("%Cd%"), std::filesystem::current_path().string());
    setenv("cd", "from-env", 1);  // the environment comes first
    EXPECT_EQ(crashlog::ExpandVariables("%cd%"), "from-env");
    unsetenv("cd");

    setenv("OPT_A", "x", 1);
    TCrashModuleOptions o;
    o.SetText(3, "Error %OPT_A%");
    EXPECT_EQ(o.Text(3), "Error x");
    EXPECT_EQ(o.RawText(3), "Error %OPT_A%");
}

TEST(OptionsAssign, CopiesOptionsButNotEnabledOrOwner) {
    TCrashModuleOptions source("libcrashlog.so"), target;
    source.SetMailMode(2);
    source.SetText(10, "Mods");
    source.SetReproduceText("clicked Go");
    source.SetBuildFailureCommand("notify");
    source.Filters().Add(TCrashExceptionFilter{true, "EA", "m", 0, 1, 2, 0});
    source.SetEnabled(false);
    target.Assign(&source);
    EXPECT_TRUE(target.SameOptions(source));
    EXPECT_EQ(target.ReproduceText(), "clicked Go");
    EXPECT_EQ(target.BuildFailureCommand(), "notify");
    EXPECT_TRUE(target.Enabled());
    EXPECT_EQ(target.OwnerModuleName(), "");
    EXPECT_EQ(target.OwnerModuleHandle(), 0u);

    // The filters are copies, not shared records.
    target.Filters().Item(0).ClassName = "EB";
    EXPECT_EQ(source.Filters().Item(0).ClassName, "EA");

    target.Assign(&target);
    EXPECT_EQ(target.Filters().Count(), 1);

    try {
        target.Assign(nullptr);
        FAIL() << "no exception";
    } catch (const crashlog::EConvertError& e) {
        EXPECT_STREQ(e.what(), "Impossible to assign nil as TCrashModuleOptions.");
    }
    EXPECT_EQ(target.BatchCount(), 0);
}

// Counts publications instead of touching the shared block.
class CountingOptions : public TCrashModuleOptions {
  public:
    using TCrashModuleOptions::TCrashModuleOptions;
    void Publish() override { ++published; }
    int published = 0;
};

TEST(OptionsChangeStep, PublishesOnlyOwnModuleAndOncePerBatch) {
    CountingOptions own;
    own.SetOwnerModuleHandle(crashlog::CrashLibraryModuleHandle());
    ASSERT_NE(own.OwnerModuleHandle(), 0u);

    own.SetMailMode(1);
    own.Filters().Add(TCrashExceptionFilter{});
    own.Filters().Delete(0);
    own.Filters().Clear();
    own.SetText(1, "Q");
    EXPECT_EQ(own.published, 5);

    own.published = 0;
    TCrashModuleOptions other;
    other.SetMailMode(3);
    other.Filters().Add(TCrashExceptionFilter{});
    own.Assign(&other);
    EXPECT_EQ(own.published, 1);
    own.LoadFromStream(other.SaveToBytes());
    EXPECT_EQ(own.published, 2);
    own.SetDefaults();
    EXPECT_EQ(own.published, 3);

    own.published = 0;
    own.BeginUpdate();
    own.BeginUpdate();
    own.SetWebMode(1);
    own.EndUpdate();
    own.SetWebMode(2);
    EXPECT_EQ(own.published, 0);
    own.EndUpdate();
    EXPECT_EQ(own.published, 1);

    // A failed Assign still closes its batch.
    EXPECT_THROW(own.Assign(nullptr), crashlog::EConvertError);
    own.SetWebMode(3);
    EXPECT_EQ(own.published, 2);

    // Another module's options are never published from here.
    CountingOptions foreign;
    foreign.SetOwnerModuleHandle(crashlog::CrashLibraryModuleHandle() + 0x1000);
    foreign.SetMailMode(1);
    CountingOptions unowned;
    unowned.SetMailMode(1);
    EXPECT_EQ(foreign.published + unowned.published, 0);
}

// Removes the block of a handle when a test ends, however it ends.
struct BlockGuard {
    crashlog::ModuleHandle handle;
    ~BlockGuard() { crashlog::DeleteSharedOptionsBlock(handle); }
};

TEST(OptionsSharedBlock, PublishAndRefreshBetweenTwoObjects) {
    const auto handle = crashlog::CrashLibraryModuleHandle();
    BlockGuard guard{handle};
    crashlog::DeleteSharedOptionsBlock(handle);

    TCrashModuleOptionsEx writer, reader;
    writer.SetOwnerModuleHandle(handle);
    reader.SetOwnerModuleHandle(handle);

    reader.SetMailSubject("mine");
    reader.Refresh();  // no block yet: nothing changes
    EXPECT_EQ(reader.MailSubject(), "mine");

    ASSERT_TRUE(crashlog::CreateSharedOptionsBlock(handle));
    reader.Refresh();  // a block with a zero byte: nothing published
    EXPECT_EQ(reader.MailSubject(), "mine");

    writer.SetMailSubject("crash in %_ExceptModuleName%");  // the change step publishes
    writer.Filters().Add(TCrashExceptionFilter{true, "EDatabaseError", "", 0, 3, 2, 0});
    crashlog::ByteBuffer block;
    ASSERT_TRUE(crashlog::ReadSharedOptionsBlock(handle, block));
    ASSERT_FALSE(block.empty());
    EXPECT_EQ(block[0], 1);
    EXPECT_EQ(block.size(), 1 + writer.SaveToBytes().size());

    reader.Refresh();
    EXPECT_TRUE(reader.SameOptions(writer));

    // The block is replaced whole: a shorter publication leaves no tail.
    writer.Filters().Clear();
    writer.SetMailSubject("");
    ASSERT_TRUE(crashlog::ReadSharedOptionsBlock(handle, block));
    EXPECT_EQ(block.size(), 1 + writer.SaveToBytes().size());
    reader.Refresh();
    EXPECT_TRUE(reader.SameOptions(writer));

    // Without a module handle neither side touches a block.
    TCrashModuleOptionsEx loose;
    loose.SetMailSubject("loose");
    loose.Refresh();
    EXPECT_EQ(loose.MailSubject(), "loose");
}

TEST(OptionsSharedBlock, NameAndForeignProcess) {
    EXPECT_EQ(crashlog::SharedOptionsBlockName(0x1A2B, 0x7F00DEADBEEF),
              "/00001A2B00007F00DEADBEEF");

    // A child process has its own blocks: it does not see the parent's.
    const auto handle = crashlog::CrashLibraryModuleHandle();
    BlockGuard guard{handle};
    TCrashModuleOptionsEx parent;
    parent.SetOwnerModuleHandle(handle);
    parent.SetMailSubject("parent");
    pid_t child = fork();
    if (child == 0) {
        TCrashModuleOptionsEx o;
        o.SetOwnerModuleHandle(handle);
        o.Refresh();
        _exit(o.MailSubject().empty() ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(OptionsFrozenWatcher, FollowsEnabledAndDetectFrozenOfCurrentOptions) {
    std::vector<bool> calls;
    crashlog::SetFrozenWatcherSwitch([&](bool run) { calls.push_back(run); });
    TCrashModuleOptionsEx current, other;
    crashlog::SetCurrentOptionsObject(&current);

    current.SetEnabled(false);
    current.SetEnabled(true);  // DetectFrozen is off: stays stopped
    current.SetDetectFrozen(true);
    current.SetDetectFrozen(true);  // no change, no call
    current.SetEnabled(false);
    current.SetEnabled(true);
    other.SetDetectFrozen(true);
    other.SetEnabled(false);
    EXPECT_EQ(calls, (std::vector<bool>{false, false, true, false, true}));

    crashlog::SetCurrentOptionsObject(nullptr);
    crashlog::SetFrozenWatcherSwitch(nullptr);
}

TEST(OptionsModules, HandlesByName) {
    const auto own = crashlog::CrashLibraryModuleHandle();
    EXPECT_NE(own, 0u);
    EXPECT_EQ(crashlog::ModuleHandleByName("libcrashlog.so"), own);
    EXPECT_EQ(crashlog::ModuleHandleByName(""), 0u);
    EXPECT_EQ(crashlog::ModuleHandleByName("no-such-module.so"), 0u);

    const auto exe = std::filesystem::read_symlink("/proc/self/exe");
    const auto main = crashlog::ModuleHandleByName(exe.filename().string());
    EXPECT_NE(main, 0u);
    EXPECT_NE(main, own);
    EXPECT_EQ(crashlog::ModuleHandleByName(exe.string()), main);

    TCrashModuleOptions named("libcrashlog.so");
    EXPECT_EQ(named.OwnerModuleName(), "libcrashlog.so");
    EXPECT_EQ(named.OwnerModuleHandle(), own);
}

}  // namespace
