#include <gtest/gtest.h>

#include "platform/MessagePresenter.h"

namespace kvo::platform {
namespace {

TEST(Presenter, ScriptAnswersAndRecords) {
    ScriptedPresenter script({kIdYes});
    {
        ScopedPresenter installed(script);
        EXPECT_EQ(&CurrentPresenter(), &script);
        EXPECT_EQ(CurrentPresenter().ShowMessage("Delete?", "Kestavo", kMbWarningYesNo), kIdYes);
        // Script used up: a question is answered No, a notice OK.
        EXPECT_EQ(CurrentPresenter().ShowMessage("Again?", "Kestavo", 52), kIdNo);
        EXPECT_EQ(CurrentPresenter().ShowMessage("All Done", "Tarnwick", 64), kIdOk);
    }
    EXPECT_NE(&CurrentPresenter(), &script);
    auto shown = script.shown();
    ASSERT_EQ(shown.size(), 3u);
    EXPECT_EQ(shown[2].text, "All Done");
    EXPECT_EQ(shown[2].caption, "Tarnwick");
    EXPECT_EQ(shown[0].flags, 52);
}

TEST(Presenter, WithoutAGuiTheBoxGoesToStderrAndChangesNothing) {
    QtMessagePresenter qt;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(qt.ShowMessage("Unable to initialize program:\r\rX", "Kestavo", 16), kIdOk);
    EXPECT_EQ(qt.ShowMessage("Continue?", "Kestavo", 52), kIdNo);
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("Kestavo: Continue?"), std::string::npos);
}

}  // namespace
}  // namespace kvo::platform
