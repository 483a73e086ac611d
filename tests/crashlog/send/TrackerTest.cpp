// Tracker submission against a loopback server that serves the tracker's
// pages: a new entry, an existing entry's counter, a closed entry, and
// refused or malformed pages; form scraping on its own.
#include <gtest/gtest.h>

#include "SendFixture.h"
#include "crashlog/CrashWebTools.h"

using namespace crashlog;
using namespace sendtest;

TEST(TrackerForms, ScrapingAndEncoding) {
    const std::string page =
        "<input type=\"text\" value=\"x > y\" NAME='Title'><input name=token value=a&amp;b>"
        "<textarea name=\"notes\" rows=\"3\">  one &lt;two&gt; &#65;  </textarea>"
        "<select name=\"cat\"><option value=\"1\">Crash &amp; Hang</option>"
        "<option value=\"2\" selected>UI</option></select>";
    std::string v;
    ASSERT_TRUE(FindInputValue(page, "title", v));
    EXPECT_EQ(v, "x > y");  // the quoted ">" does not end the tag
    ASSERT_TRUE(FindInputValue(page, "token", v));
    EXPECT_EQ(v, "a&b");
    ASSERT_TRUE(FindTextArea(page, "notes", v));
    EXPECT_EQ(v, "one <two> A");
    ASSERT_TRUE(FindSelectedOption(page, "cat", v));
    EXPECT_EQ(v, "2");
    ASSERT_TRUE(FindOptionByText(page, "cat", "crash  hang", v));
    EXPECT_EQ(v, "1");
    ASSERT_TRUE(FindOptionByText(page, "cat", "nothing", v));
    EXPECT_EQ(v, "2");  // falls back to the selected one
    EXPECT_FALSE(FindInputValue(page, "missing", v));
    EXPECT_FALSE(FindTextArea("<textarea name=\"notes\">never closed", "notes", v));
    EXPECT_EQ(UrlEncode("a_b.c d/é"), "a%5Fb%2Ec%20d%2F%C3%A9");

    struct Case {
        const char* title;
        const char* expected;
    } cases[] = {
        {"[v1.0 - 7]: EAccessViolation (1A2B)", "[v1.0 - 8]: EAccessViolation (1A2B)"},
        {"[v1.0 - 9999]: E (1)", "[v1.0 - 9999]: E (1)"},
        {"[v2.0 - 7]: other version", "[v2.0 - 7]: other version"},
        {"[v1.0 - ]: no number", "[v1.0 - ]: no number"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(IncreaseCounter(c.title, "1.0"), c.expected);
}

namespace {

struct Mantis {
    TempDir dir;
    std::unique_ptr<PyServer> server;
    TTrackerRequest request;
    explicit Mantis(const std::string& variant) {
        fs::create_directory(dir / "req");
        server =
            std::make_unique<PyServer>("mantis", dir / "req", std::vector<std::string>{variant});
        WriteAll(dir / "BugReport.zip", std::string("PK\x03\x04zipdata", 11));
        request.version = "1.0";
        request.bugType = "EAccessViolation";
        request.bugText = "Access violation at address 00401A2C";
        request.bugId = "1A2B";
        request.address = "http://127.0.0.1:" + std::to_string(server->port()) + "/bugs";
        request.login = "ann";
        request.password = "pw";
        request.project = "Tarnwick";
        request.category = "UI";
        request.assignee = "bob";
        request.archive = (dir / "BugReport.zip").string();
        request.customFields = {"Build=42", "FogBugzTrialID=", "CL_OSType=Debian 12",
                                "CL_OSBuild=6.1", "CL_ReproduceText=Press Go"};
        request.reproduceText = "Press Go";
        request.timeoutMs = 3000;
    }
    std::vector<std::string> Requests() {
        std::vector<std::string> out;
        for (int i = 0; fs::exists(
                 dir / "req" / (std::string(i < 10 ? "00" : "0") + std::to_string(i) + ".done"));
             ++i)
            out.push_back(Field(dir / "req", i, "line"));
        return out;
    }
    std::string Body(int i) { return Field(dir / "req", i, "body"); }
};

}  // namespace

TEST(TrackerMantis, NewEntryWithArchive) {
    Mantis m("new");
    THTTPResponse response;
    ASSERT_EQ(SubmitToMantis(m.request, response), trSuccess) << response.Body;
    EXPECT_EQ(m.Requests(),
              (std::vector<std::string>{
                  "POST /bugs/login.php", "GET /bugs/login_select_proj_page.php",
                  "POST /bugs/set_project.php", "GET /bugs/my_view_page.php",
                  "POST /bugs/view_all_set.php?f=3", "GET /bugs/view_all_bug_page.php",
                  "GET /bugs/bug_report_advanced_page.php", "POST /bugs/bug_report.php"}));
    EXPECT_EQ(m.Body(0), "return=login%5Fselect%5Fproj%5Fpage%2Ephp&username=ann&password=pw");
    EXPECT_EQ(m.Body(2), "project%5Fid=7");
    EXPECT_EQ(m.Body(4),
              "type=1&page%5Fnumber=1&view%5Ftype=simple&search=EAccessViolation%20%281A2B%29");
    const std::string form = m.Body(7);
    auto part = [&](const std::string& name, const std::string& value) {
        return form.find("Content-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" + value +
                         "\r\n") != std::string::npos;
    };
    EXPECT_TRUE(part("summary", "[v1.0 - 1]: EAccessViolation (1A2B)"));
    EXPECT_TRUE(
        part("description", "Access violation at address 00401A2C\r\n\r\n---\r\n\r\nPress Go"));
    EXPECT_TRUE(part("handler_id", "3"));
    EXPECT_TRUE(part("category", "UI"));
    EXPECT_TRUE(part("severity", "50"));
    EXPECT_TRUE(part("reproducibility", "10"));
    EXPECT_TRUE(part("bug_report_token", "tok&1"));
    EXPECT_TRUE(part("os", "Debian 12"));
    EXPECT_TRUE(part("steps_to_reproduce", "Press Go"));
    EXPECT_TRUE(part("Build", "42"));  // the custom field, not the fixed extras
    EXPECT_FALSE(part("FogBugzTrialID", ""));
    EXPECT_NE(form.find("name=\"file\"; filename=\"BugReport.zip\"\r\nContent-Type: "
                        "application/octet-stream\r\n\r\n" +
                        std::string("PK\x03\x04zipdata", 11) + "\r\n"),
              std::string::npos);
}

TEST(TrackerMantis, ExistingEntryGetsTheNextCounter) {
    Mantis m("existing");
    THTTPResponse response;
    ASSERT_EQ(SubmitToMantis(m.request, response), trSuccess);
    const auto requests = m.Requests();
    ASSERT_EQ(requests.size(), 9u);
    EXPECT_EQ(requests[6], "GET /bugs/bug_update_page.php?bug%5Fid=42");
    EXPECT_EQ(requests[7], "POST /bugs/bug_update.php");
    const std::string body = m.Body(7);
    EXPECT_NE(body.find("summary=%5Bv1%2E0%20%2D%208%5D%3A%20EAccessViolation%20%281A2B%29"),
              std::string::npos)
        << body;
    EXPECT_NE(body.find("bug%5Fupdate%5Ftoken=up1"), std::string::npos);
    EXPECT_NE(body.find("description=First%20seen%20%3Chere%3E"), std::string::npos);
}

TEST(TrackerMantis, ClosedRefusedAndMalformed) {
    {
        Mantis m("closed");
        THTTPResponse response;
        EXPECT_EQ(SubmitToMantis(m.request, response), trClosed);
        EXPECT_EQ(m.Requests().size(), 7u);  // nothing posted to the closed entry
    }
    {
        Mantis m("new");
        m.request.password = "wrong";
        THTTPResponse response;
        EXPECT_EQ(SubmitToMantis(m.request, response), trLogin);
        EXPECT_EQ(TrackerFailureText(trLogin, response),
                  "Invalid login request.\r\n\r\nError Code: 0\r\nError Message: \"\"");
    }
    {
        Mantis m("new");
        m.request.project = "Unknown";
        THTTPResponse response;
        EXPECT_EQ(SubmitToMantis(m.request, response), trSelection);
    }
    {
        Mantis m("nosearch");
        THTTPResponse response;
        EXPECT_EQ(SubmitToMantis(m.request, response), trSearch);
    }
    {
        int port;
        {
            RawServer gone([](int) {});
            port = gone.port();
        }
        TTrackerRequest r;
        r.address = "http://127.0.0.1:" + std::to_string(port) + "/";
        r.timeoutMs = 1000;
        THTTPResponse response;
        EXPECT_EQ(SubmitToMantis(r, response), trLogin);
        EXPECT_EQ(response.ErrorCode, 12029);
    }
}

TEST(TrackerMantis, ConnectionAddress) {
    THTTPConnectionBase c(ParseWebAddress("HTTPS://bugs.example.test/bugs?x=1"), {}, "", "");
    EXPECT_TRUE(c.Https());
    EXPECT_EQ(c.Port(), 443);
    EXPECT_EQ(c.BasePath(), "/bugs/");
    THTTPConnectionBase plain(ParseWebAddress("bugs.example.test"), {}, "", "");
    EXPECT_EQ(plain.Port(), 80);
    EXPECT_EQ(plain.BasePath(), "/");
}

namespace {

struct PageSite {
    TempDir dir;
    std::unique_ptr<PyServer> server;
    TTrackerRequest request;
    PageSite(const std::string& kind, const std::string& variant) {
        fs::create_directory(dir / "req");
        server = std::make_unique<PyServer>(kind, dir / "req", std::vector<std::string>{variant});
        WriteAll(dir / "BugReport.zip", "zip bytes");
        request.version = "1.0";
        request.bugType = "EAccessViolation";
        request.bugText = "Access violation";
        request.bugId = "1A2B";
        request.address = "http://127.0.0.1:" + std::to_string(server->port()) + "/tracker/";
        request.login = "ann";
        request.password = "pw";
        request.project = "Tarnwick";
        request.category = "UI";
        request.archive = (dir / "BugReport.zip").string();
        request.customFields = {"FogBugzTrialID=", "CL_OSType=Debian 12", "CL_OSBuild=6.1",
                                "CL_ReproduceText="};
        request.timeoutMs = 3000;
    }
    std::vector<std::string> Lines() {
        std::vector<std::string> out;
        for (int i = 0; i < 100; ++i) {
            char name[16];
            snprintf(name, sizeof name, "%03d.done", i);
            if (!fs::exists(dir / "req" / name)) break;
            out.push_back(Field(dir / "req", i, "line"));
        }
        return out;
    }
    std::string Body(int i) { return Field(dir / "req", i, "body"); }
};

}  // namespace

TEST(TrackerBugzilla, NewEntryThenAttachmentExistingAndClosed) {
    {
        PageSite s("bugzilla", "new");
        THTTPResponse response;
        ASSERT_EQ(SubmitToTracker(4, s.request, response), trSuccess);
        const auto lines = s.Lines();
        ASSERT_EQ(lines.size(), 5u);
        EXPECT_EQ(lines[1],
                  "GET /tracker/buglist.cgi?query%5Fformat=specific&order=relevance%20desc&"
                  "bug%5Fstatus=%5F%5Fall%5F%5F&product=Tarnwick&content=%20%281A2B%29");
        const std::string post = s.Body(3);
        EXPECT_NE(post.find("version=1%2E0"), std::string::npos) << post;  // offered: taken
        EXPECT_NE(post.find("component=Core"), std::string::npos);
        EXPECT_NE(post.find("assigned%5Fto=ann"), std::string::npos);  // no assignee: the login
        EXPECT_NE(post.find("short%5Fdesc=%5Bv1%2E0%20%2D%201%5D"), std::string::npos);
        const std::string attach = s.Body(4);
        EXPECT_NE(attach.find("name=\"bugid\"\r\n\r\n18\r\n"), std::string::npos);
        EXPECT_NE(attach.find("name=\"data\"; filename=\"BugReport.zip\""), std::string::npos);
    }
    {
        PageSite s("bugzilla", "existing");
        THTTPResponse response;
        ASSERT_EQ(SubmitToTracker(4, s.request, response), trSuccess);
        const auto lines = s.Lines();
        ASSERT_EQ(lines.size(), 4u);
        EXPECT_EQ(lines[2], "GET /tracker/show_bug.cgi?id=17");
        EXPECT_NE(s.Body(3).find("short%5Fdesc=%5Bv1%2E0%20%2D%203%5D"), std::string::npos);
    }
    {
        PageSite s("bugzilla", "closed");
        THTTPResponse response;
        EXPECT_EQ(SubmitToTracker(4, s.request, response), trClosed);
        s.request.password = "bad";
        EXPECT_EQ(SubmitToTracker(4, s.request, response), trLogin);
    }
}

TEST(TrackerFogBugz, NewAndExistingEntry) {
    {
        PageSite s("fogbugz", "new");
        THTTPResponse response;
        ASSERT_EQ(SubmitToTracker(5, s.request, response), trSuccess);
        const auto lines = s.Lines();
        ASSERT_EQ(lines.size(), 5u);
        EXPECT_EQ(lines[0], "POST /tracker/default.asp");
        EXPECT_EQ(s.Body(0), "pre=preLogon&sPerson=ann&sPassword=pw&fRememberPassword=0");
        EXPECT_EQ(lines[4], "POST /tracker/default.asp?pre=preSubmitBug&sActionToken=tk9");
        const std::string form = s.Body(4);
        EXPECT_NE(form.find("name=\"ixProject\"\r\n\r\n5\r\n"), std::string::npos);
        EXPECT_NE(form.find("name=\"ixArea\"\r\n\r\n8\r\n"), std::string::npos);
        EXPECT_NE(form.find("name=\"nFileCount\"\r\n\r\n1\r\n"), std::string::npos);
        EXPECT_NE(form.find("name=\"File1\"; filename=\"BugReport.zip\""), std::string::npos);
    }
    {
        PageSite s("fogbugz", "existing");
        THTTPResponse response;
        ASSERT_EQ(SubmitToTracker(5, s.request, response), trSuccess);
        const auto lines = s.Lines();
        ASSERT_EQ(lines.size(), 5u);
        EXPECT_EQ(lines[3], "GET /tracker/default.asp?pg=pgEditBug&command=edit&ixBug=77");
        const std::string form = s.Body(4);
        EXPECT_NE(form.find("name=\"sTitle\"\r\n\r\n[v1.0 - 5]: EAccessViolation (1A2B)\r\n"),
                  std::string::npos)
            << form;
        EXPECT_NE(form.find("name=\"sEvent\"\r\n\r\nold text\r\n"), std::string::npos);
        EXPECT_EQ(form.find("name=\"OK\""), std::string::npos);  // buttons are not fields
    }
}
