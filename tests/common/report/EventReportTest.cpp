#include <chrono>
#include <ostream>

#include "ReportFixture.h"

namespace kvo::common::testing {
namespace {

class EventReport : public ReportFixture {};

constexpr const char* kAccepted = R"(<Reply command="OK"/>)";

TEST_F(EventReport, PostsTheEventAsRawXmlOverHttp10) {
    server_->Reply(kAccepted);
    SetProcessVersion(1, 2, 3, 4);

    EXPECT_TRUE(ReportEvent("Error", "a < b & \"c\"", "at Foo"));

    const std::string body =
        "<KVO site=\"S-100\" version=\"7.2.0\"><Events><Event "
        "Date=\"10/12/2026\" Time=\"09:05:03\" Computer=\"" +
        ComputerNameText() + "\" User=\"" + UserNameText() +
        "\" Application=\"KVO\" Class=\"Error\" Version=\"-1.-1.-1.-1\" "
        "Process=\"1.2.3.4\" Text=\"a &lt; b &amp; &quot;c&quot;\" "
        "Stack=\"at Foo\"/></Events></KVO>";
    auto requests = server_->Requests();
    ASSERT_EQ(requests.size(), 1u);
    const std::string& r = requests[0];
    EXPECT_EQ(r.substr(0, r.find("\r\n")), "POST /report HTTP/1.0");
    EXPECT_NE(r.find("\r\nContent-Type: application/x-www-form-urlencoded\r\n"), std::string::npos);
    EXPECT_NE(r.find("\r\nContent-Length: " + std::to_string(body.size()) + "\r\n"),
              std::string::npos);
    EXPECT_EQ(r.find("Expect:"), std::string::npos);
    EXPECT_EQ(server_->OnlyBody(), body);
}

TEST_F(EventReport, EmptyClassAndStackAreLeftOut) {
    server_->Reply(kAccepted);
    ReportEvent("", "plain", "");
    const std::string body = server_->OnlyBody();
    EXPECT_NE(body.find("Text=\"plain\"/>"), std::string::npos) << body;
    EXPECT_EQ(body.find("Class="), std::string::npos);
    EXPECT_EQ(body.find("Stack="), std::string::npos);
}

struct ReplyCase {
    const char* name;
    int status;
    std::string reply;
    bool accepted;
    std::string shown;  // warning text, empty for none
    std::string siteAfter;
};

// Test listings name the case rather than dump its bytes.
void PrintTo(const ReplyCase& c, std::ostream* os) {
    *os << c.name;
}

class EventReplies : public EventReport, public ::testing::WithParamInterface<ReplyCase> {};

TEST_P(EventReplies, ActOnlyOnAWellFormedSuccessfulReply) {
    const ReplyCase& c = GetParam();
    server_->Reply(c.reply, c.status);

    EXPECT_EQ(ReportEvent("Error", "x", ""), c.accepted);

    auto boxes = shown();
    if (c.shown.empty()) {
        EXPECT_TRUE(boxes.empty());
    } else {
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].text, c.shown);
        EXPECT_EQ(boxes[0].flags, kMbWarning);
        EXPECT_EQ(boxes[0].caption, "Kestavo");
    }
    EXPECT_EQ(PracticeValue("Registration", "Site"), c.siteAfter);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, EventReplies,
    ::testing::Values(
        ReplyCase{"Accepted", 200, R"(<R command="OK" site="S-200"/>)", true, "", "S-200"},
        ReplyCase{"AcceptedWithoutSite", 200, R"(<R command="OK"/>)", true, "", "S-100"},
        ReplyCase{"LowerCaseOk", 200, R"(<R command="ok" site="S-200"/>)", false, "", "S-100"},
        ReplyCase{"AcceptedWithError", 200, R"(<R command="OK" error="Renew soon"/>)", true,
                  "Renew soon", "S-100"},
        ReplyCase{"RefusedWithError", 200, R"(<R command="NO" error="Unknown site" site="S-9"/>)",
                  false, "Unknown site", "S-100"},
        ReplyCase{"Malformed", 200, R"(<R command="OK" error="x")", false, "", "S-100"},
        ReplyCase{"EmptyReply", 200, "", false, "", "S-100"},
        ReplyCase{"ServerError", 500, R"(<R command="OK" error="x" site="S-2"/>)", false, "",
                  "S-100"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(EventReport, NothingIsSentWhenTheReportCannotGoAhead) {
    // Country "S" (read from the practice settings, or as the start-up set it).
    WriteAll(PracticeIni(), "[Kestavo]\r\nCountry=Scotland\r\n");
    EXPECT_FALSE(ReportEvent("Error", "x", ""));
    WriteAll(PracticeIni(), "[Kestavo]\r\nCountry=England\r\n");
    SetReportCountryLetter('S');
    EXPECT_FALSE(ReportEvent("Error", "x", ""));
    SetReportCountryLetter(std::nullopt);

    SetOnline(false);
    EXPECT_FALSE(ReportEvent("Error", "x", ""));
    SetOnline(true);

    fs::remove_all(DataFolderLocal());  // data folder missing
    EXPECT_FALSE(ReportEvent("Error", "x", ""));
    WriteAll(c_ / "Kestavo" / "KVO.INI", "[Kestavo]\r\nWD=\r\n");  // no drive key
    EXPECT_FALSE(ReportEvent("Error", "x", ""));

    EXPECT_TRUE(server_->Requests().empty());
}

TEST_F(EventReport, WithoutTheSystemsConnectionQueryTheReportTries) {
    SetInternetFunctions({});
    server_->Reply(kAccepted);
    EXPECT_TRUE(ReportEvent("Error", "x", ""));
}

TEST_F(EventReport, UnreachableServerIsAFailure) {
    std::string url = server_->Url();
    server_.reset();  // nobody listens on that port any more
    ::setenv(kReportUrlVariable, url.c_str(), 1);
    EXPECT_FALSE(ReportEvent("Error", "x", ""));
    EXPECT_TRUE(shown().empty());
}

TEST_F(EventReport, SilentServerRunsTheReadTimeOutOut) {
    server_->Reply(kAccepted);
    server_->Delay(3000);
    CurrentReportTimeouts() = {1000, 300};
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(ReportEvent("Error", "x", ""));
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(300));
    EXPECT_LT(took, std::chrono::milliseconds(2000));
}

TEST_F(EventReport, RecordedEventsGoToTheServerAndAreMarkedReported) {
    SetEventReportHook(&ReportEvent);
    server_->Reply(kAccepted);
    RecordEvent("Error", "delivered");
    server_->Reply(R"(<R command="NO"/>)");
    RecordEvent("Error", "refused");

    std::string events = ReadAll(c_ / "Kestavo" / "EVENTS.XML");
    auto delivered = events.find("<TEXT>delivered</TEXT>\r\n<REPORTED>True</REPORTED>\r\n</ERR>");
    EXPECT_NE(delivered, std::string::npos) << events;
    EXPECT_NE(events.find("<TEXT>refused</TEXT>\r\n</ERR>"), std::string::npos) << events;
    EXPECT_EQ(server_->Requests().size(), 2u);
}

}  // namespace
}  // namespace kvo::common::testing
