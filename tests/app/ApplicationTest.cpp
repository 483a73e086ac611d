// What an event handler lets out reaches the application object once: an
// error is shown, the silent abort of the shared library is not.
#include <gtest/gtest.h>

#include <QEvent>
#include <QObject>
#include <functional>
#include <stdexcept>

#include "AppFixture.h"
#include "common/Common.h"

namespace kvo::app::testing {
namespace {

class Thrower : public QObject {
  public:
    std::function<void()> raise;
    bool event(QEvent*) override {
        raise();
        return true;
    }
};

TEST(ApplicationTest, UnhandledErrorsAreShownAndSilentAbortsAreNot) {
    TApplication& app = TestApp();
    platform::ScriptedPresenter boxes;
    platform::ScopedPresenter scoped(boxes);
    Thrower thrower;
    QEvent event(QEvent::User);

    const int before = app.UnhandledCount();
    thrower.raise = [] { throw common::ESilentAbort(); };
    EXPECT_TRUE(QCoreApplication::sendEvent(&thrower, &event));
    EXPECT_EQ(app.UnhandledCount(), before);
    EXPECT_TRUE(boxes.shown().empty());

    thrower.raise = [] { throw std::runtime_error("Table is busy"); };
    EXPECT_TRUE(QCoreApplication::sendEvent(&thrower, &event));
    EXPECT_EQ(app.UnhandledCount(), before + 1);
    ASSERT_EQ(boxes.shown().size(), 1u);
    EXPECT_EQ(boxes.shown()[0].text, "Table is busy");
    EXPECT_EQ(boxes.shown()[0].caption, "Tarnwick");
    EXPECT_EQ(boxes.shown()[0].flags, platform::kMbError);
}

}  // namespace
}  // namespace kvo::app::testing
