#include <gtest/gtest.h>

#include <QVariant>
#include <string>
#include <vector>

#include "common/WebConnect.h"
#include "platform/System.h"

namespace kvo::common {
namespace {

// Records what the component asks the system for.
class WebConnectTest : public ::testing::Test {
  protected:
    void SetUp() override { Install(); }
    void TearDown() override { ResetInternetFunctions(); }

    void Install() {
        InternetFunctions f;
        f.connectedState = [this](std::uint32_t*) { return online ? 1 : 0; };
        f.autodial = [this](std::uint32_t flags) {
            calls.push_back("dial " + std::to_string(flags));
            return 1;
        };
        f.autodialHangup = [this] {
            calls.push_back("hangup");
            return 1;
        };
        SetInternetFunctions(f);
    }

    bool online = false;
    std::vector<std::string> calls;
};

TEST_F(WebConnectTest, ConnectDialsOrHangsUpOnlyWhenActiveAndNeeded) {
    struct Case {
        bool active, designing, prompt, online, value;
        std::vector<std::string> calls;
    };
    const Case cases[] = {
        {false, false, false, false, true, {}},         // inactive: only stored
        {true, true, false, false, true, {}},           // designing: only stored
        {true, false, true, false, true, {"dial 1"}},   // the system may ask the user
        {true, false, false, false, true, {"dial 2"}},  // unattended
        {true, false, false, true, true, {}},           // already connected
        {true, false, false, true, false, {"hangup"}},
        {true, false, false, false, false, {}},  // nothing to hang up
    };
    for (const Case& c : cases) {
        calls.clear();
        online = c.online;
        TWebConnect web;
        web.SetActive(c.active);
        web.SetDesigning(c.designing);
        web.SetPrompt(c.prompt);
        web.SetConnect(c.value);
        EXPECT_EQ(web.Connect(), c.value);
        EXPECT_EQ(calls, c.calls) << c.active << c.designing << c.prompt << c.online << c.value;
    }
}

TEST_F(WebConnectTest, ConnectedFollowsTheSystemAndAMissingCallCountsAsConnected) {
    TWebConnect web;
    EXPECT_FALSE(web.Connected());
    online = true;
    EXPECT_TRUE(web.Connected());
    SetInternetFunctions({});
    EXPECT_EQ(InternetGetConnectedState(nullptr), -1);
    EXPECT_EQ(InternetAutodial(kAutodialForceOnline), -1);
    EXPECT_EQ(InternetAutodialHangup(), -1);
    EXPECT_TRUE(web.Connected());
    // The system's own answer is the route table's.
    ResetInternetFunctions();
    EXPECT_EQ(web.Connected(), platform::IsConnected());
}

TEST_F(WebConnectTest, VersionIgnoresWrites) {
    TWebConnect web;
    EXPECT_EQ(web.GetVersion(), "1.1.0.0");
    web.SetVersion("9.9.9.9");
    EXPECT_TRUE(web.setProperty("Version", QString("2.0.0.0")));
    EXPECT_EQ(web.property("Version").toString(), QString("1.1.0.0"));
    EXPECT_FALSE(web.property("Active").toBool());
}

}  // namespace
}  // namespace kvo::common
