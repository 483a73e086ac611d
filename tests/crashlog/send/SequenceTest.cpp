// The send sequence: the archive (read back by unzip and Python's zipfile),
// attachment names, the e-mail and web routes with their events and retry,
// keeping unsent archives, and the clean-up of the private folder.
#include <gtest/gtest.h>

#include "CrashDebugCodec.h"
#include "SendFixture.h"
#include "crashlog/CrashOptions.h"
#include "crashlog/CrashSend.h"
#include "crashlog/CrashSockets.h"

using namespace crashlog;
using namespace sendtest;

TEST(SendArchive, DeflatedAndReadableWithAndWithoutPassword) {
    TempDir dir;
    std::string report;
    for (int i = 0; i < 400; ++i)
        report += "Line " + std::to_string(i) + " of the report\r\n";
    WriteAll(dir / "report.txt", report);
    WriteAll(dir / "shot.png", std::string("\x89PNG\r\n\x1a\n", 8) + std::string(3000, '\x07'));
    const std::vector<TZipEntry> entries = {{(dir / "report.txt").string(), "Report__PC1.txt"},
                                            {(dir / "shot.png").string(), "Screenshot.png"}};
    const std::string script =
        "import sys, zipfile\n"
        "z = zipfile.ZipFile(sys.argv[1])\n"
        "pwd = sys.argv[2].encode() if len(sys.argv) > 2 else None\n"
        "for i in z.infolist():\n"
        "    data = z.read(i.filename, pwd=pwd)\n"
        "    print(i.filename, i.compress_type, i.flag_bits & 1, len(data), i.compress_size)\n";
    WriteAll(dir / "check.py", script);
    for (const std::string password : {"", "s3cret"}) {
        const std::string zip = (dir / ("out" + password + ".zip")).string();
        std::string error;
        ASSERT_TRUE(WriteZipArchive(zip, entries, password, error)) << error;
        std::string out;
        std::vector<std::string> args{"/usr/bin/python3", (dir / "check.py").string(), zip};
        if (!password.empty()) args.push_back(password);
        ASSERT_EQ(RunCommand(args, &out), 0) << password;
        const std::string flag = password.empty() ? "0" : "1";
        EXPECT_NE(out.find("Report__PC1.txt 8 " + flag + " " + std::to_string(report.size())),
                  std::string::npos)
            << out;
        EXPECT_NE(out.find("Screenshot.png 8 " + flag + " 3008"), std::string::npos) << out;
        std::string unzipped;
        std::vector<std::string> unzip{"unzip", "-p"};
        if (!password.empty()) unzip.insert(unzip.end(), {"-P", password});
        unzip.insert(unzip.end(), {zip, "Report__PC1.txt"});
        EXPECT_EQ(RunCommand(unzip, &unzipped), 0);
        EXPECT_EQ(unzipped, report);
        if (!password.empty()) {
            // The wrong password is refused, so the entries really are encrypted.
            EXPECT_NE(RunCommand({"unzip", "-p", "-P", "wrong", zip, "Report__PC1.txt"}), 0);
        }
    }
    std::string error;
    EXPECT_FALSE(WriteZipArchive((dir / "bad.zip").string(),
                                 {{(dir / "missing.txt").string(), "m.txt"}}, "", error));
    EXPECT_FALSE(fs::exists(dir / "bad.zip"));
}

TEST(SendArchive, DisplayNames) {
    setenv("TZ", "UTC", 1);
    tzset();
    const int64_t t = 1170253502;  // 2007-01-31 14:25:02
    using namespace send_flags;
    EXPECT_EQ(AttachmentDisplayName("BugReport.zip", 0, "PC1", t), "BugReport.zip");
    EXPECT_EQ(AttachmentDisplayName("BugReport.zip", ComputerNameInFileName, "PC1", t),
              "BugReport__PC1.zip");
    EXPECT_EQ(AttachmentDisplayName("BugReport.zip", DateInFileName, "PC1", t),
              "BugReport__20070131142502.zip");
    EXPECT_EQ(
        AttachmentDisplayName("BugReport.zip", DateInFileName | ComputerNameInFileName, "PC1", t),
        "BugReport__PC1__20070131142502.zip");
    EXPECT_EQ(AttachmentDisplayName("README", ComputerNameInFileName, "PC1", t), "README__PC1");
}

namespace {

// Options of a send, a report and a log file in a folder of the test.
struct SendSetup {
    TempDir dir;
    TCrashModuleOptions options;
    TSendInput input;
    std::vector<std::string> events;
    TSendEvents ev;
    SendSetup() {
        fs::create_directory(dir / "log");
        fs::create_directory(dir / "tmp");
        fs::create_directory(dir / "mail");
        options.SetSendFlags(send_flags::ComputerNameInFileName);
        options.SetMailRecipients("dev@example.test");
        options.SetSmtpSender("bugs@example.test");
        options.SetSmtpServer("127.0.0.1");
        options.SetMailSubject("Crash");
        options.SetMailBody("See the attachment.");
        input.options = &options;
        input.reportText = "Report text\r\nwith two lines";
        input.logFilePath = (dir / "log/program.clf").string();
        input.computerName = "PC1";
        input.exceptionTime = 1170253502;
        input.tempRoot = (dir / "tmp").string();
        ev.action = [this](int a, bool&) { events.push_back("action " + std::to_string(a)); };
        ev.error = [this](int a, bool&) { events.push_back("error " + std::to_string(a)); };
        ev.warning = [this](TCrashLogErrorCode c, const std::string& text) {
            events.push_back(std::string("warning ") + ErrorCodeName(c) + " " + text);
        };
    }
    bool TempEmpty() const { return fs::is_empty(dir / "tmp"); }
};

}  // namespace

TEST(SendSequence, EmailWithArchiveAndCleanup) {
    SendSetup s;
    PyServer server("smtp", s.dir / "mail");
    s.options.SetMailMode(2);
    s.options.SetSmtpServerPort(uint16_t(server.port()));
    WriteAll(s.dir / "extra.txt", "extra file");
    s.options.SetExtraAttachments(" " + (s.dir / "extra.txt").string() + " ; ;" +
                                  (s.dir / "nothere.txt").string());
    std::vector<std::string> offered;
    s.ev.attachedFiles = [&](std::vector<std::string>& files) { offered = files; };
    s.options.SetSendFlags(send_flags::ComputerNameInFileName | send_flags::AttachScreenshot);
    s.input.writeScreenshot = [](const std::string& path) {
        WriteAll(path, "\x89PNG picture");
        return true;
    };
    const TSendResult r = SendReport(s.input, s.ev);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(s.events, (std::vector<std::string>{"action 4", "action 5"}));
    ASSERT_EQ(offered.size(), 4u);  // extra, the missing one, the log copy, the screenshot
    EXPECT_TRUE(offered[2].ends_with("/program.clf"));
    EXPECT_TRUE(offered[3].ends_with("/Screenshot.png"));
    EXPECT_TRUE(s.TempEmpty());
    ASSERT_TRUE(WaitForRecords(s.dir / "mail", 1));
    const std::string data = Field(s.dir / "mail", 0, "data");
    EXPECT_NE(data.find("filename=\"BugReport__PC1.zip\""), std::string::npos);
    // The archive inside holds the report copy ending in three line breaks.
    const size_t start = data.find("\r\n\r\n", data.find("filename=\"BugReport__PC1.zip\"")) + 4;
    std::string b64 = data.substr(start, data.find("\r\n--", start) - start);
    WriteAll(s.dir / "b64.txt", b64);
    ASSERT_EQ(RunCommand({"/usr/bin/python3", "-c",
                          "import base64,sys;open(sys.argv[2],'wb').write(base64.b64decode("
                          "open(sys.argv[1]).read()))",
                          (s.dir / "b64.txt").string(), (s.dir / "got.zip").string()}),
              0);
    std::string list;
    ASSERT_EQ(RunCommand({"unzip", "-Z1", (s.dir / "got.zip").string()}, &list), 0);
    EXPECT_EQ(list, "extra__PC1.txt\nprogram__PC1.clf\nScreenshot__PC1.png\n");
    std::string copy;
    RunCommand({"unzip", "-p", (s.dir / "got.zip").string(), "program__PC1.clf"}, &copy);
    EXPECT_EQ(copy, s.input.reportText + "\r\n\r\n\r\n");
}

// The XML copy is made with the module's debug-data password: names the
// report could not decipher come out plain there; the copy is gone after.
TEST(SendSequence, XmlCopyDeciphersWithTheModulesPassword) {
    auto hidden = [](const std::string& plain) {
        return "?" + Base64(TeaEncipher(DebugKeyFromPassword("secret"),
                                        Bytes(plain.begin(), plain.end())));
    };
    const std::string rule(60, '-');
    const std::string report =
        "CrashLog 6.0.20\r\n\r\nCall Stack Information:\r\n" + rule + "\r\n" +
        "|Address|Module|Unit|Class|Procedure/Method|Line|\r\n" + rule + "\r\n" +
        "|*Exception Thread: ID=1; Priority=0; Class=; [Main]|\r\n" + "|0000000000001000|prog|?p" +
        hidden("uresetapp_cal").substr(1) + "|" + hidden("TForm1") + "|" + hidden("BTN_GOClick") +
        "|120[3]|\r\n" + rule + "\r\n\r\n";
    for (const std::string password : {"secret", ""}) {
        SCOPED_TRACE(password);
        SendSetup s;
        PyServer server("smtp", s.dir / "mail");
        s.options.SetMailMode(2);
        s.options.SetSmtpServerPort(uint16_t(server.port()));
        s.options.SetSendFlags(send_flags::AttachXmlCopy);
        s.input.reportText = report;
        s.input.debugPassword = password;
        std::string xml;
        s.ev.attachedFiles = [&](std::vector<std::string>& files) {
            for (const auto& f : files)
                if (f.ends_with(".xml")) xml = ReadAll(f);
        };
        ASSERT_TRUE(SendReport(s.input, s.ev).ok);
        const bool plain = xml.find(
                               "Unit=\"uresetapp_cal.pas\" Class=\"TForm1\" "
                               "Procedure=\"BTN_GOClick\"") != std::string::npos;
        EXPECT_EQ(plain, !password.empty()) << xml;
        EXPECT_NE(xml.find("<Line Address=\"0000000000001000\""), std::string::npos) << xml;
        EXPECT_TRUE(s.TempEmpty());
    }
}

TEST(SendSequence, ReportInBodyWithoutFilesSendsNoArchive) {
    SendSetup s;
    PyServer server("smtp", s.dir / "mail");
    s.options.SetMailMode(2);
    s.options.SetSmtpServerPort(uint16_t(server.port()));
    s.options.SetReportInMessageBody(true);
    // The body's variables are expanded, the report's text is left as it is.
    s.options.SetMailBody("See the attachment, %KVO_MAIL_NAME%.");
    s.input.reportText = "Report text\r\nwith two lines: %KVO_MAIL_NAME% 100%";
    ::setenv("KVO_MAIL_NAME", "dentist", 1);
    ASSERT_TRUE(SendReport(s.input, s.ev).ok);
    ASSERT_TRUE(WaitForRecords(s.dir / "mail", 1));
    const std::string data = Field(s.dir / "mail", 0, "data");
    EXPECT_NE(data.find("See the attachment, dentist.\r\n\r\n\r\nReport text\r\nwith two "
                        "lines: %KVO_MAIL_NAME% 100%"),
              std::string::npos)
        << data;
    EXPECT_EQ(data.find("Content-Disposition"), std::string::npos);
    EXPECT_TRUE(s.TempEmpty());
}

TEST(SendSequence, FailureRetriesKeepsTheArchiveAndTellsTheUser) {
    SendSetup s;
    int port;
    {
        RawServer gone([](int) {});
        port = gone.port();
    }
    s.options.SetMailMode(2);
    s.options.SetSmtpServerPort(uint16_t(port));
    s.options.SetSendFlags(send_flags::ComputerNameInFileName | send_flags::SendResultMessage);
    s.options.SetBehaviourFlags(behaviour_flags::KeepUnsentReport |
                                behaviour_flags::ClipboardOnSendFailure);
    // Eleven archives kept from earlier failures, named so that this one
    // sorts last: the two lowest go.
    for (char c = 'a'; c <= 'k'; ++c)
        WriteAll(s.dir / ("log/BugReport__" + std::string(1, c) + ".zip"), "old");
    s.input.computerName = "pc9";
    int retries = 0;
    s.ev.error = [&](int a, bool& retry) {
        s.events.push_back("error " + std::to_string(a));
        retry = ++retries < 2;
    };
    int message = 0;
    s.ev.resultMessage = [&](int text, bool) { message = text; };
    std::string clipboard;
    s.ev.copyToClipboard = [&](const std::string& t) { clipboard = t; };
    const TSendResult r = SendReport(s.input, s.ev);
    EXPECT_FALSE(r.ok);
    ASSERT_EQ(s.events.size(), 6u);
    EXPECT_EQ(s.events[0], "action 4");
    EXPECT_TRUE(s.events[1].starts_with("warning ceEmailSMTPError [SMTP] Connection error:"));
    EXPECT_EQ(s.events[2], "error 5");
    EXPECT_EQ(s.events[4], "error 5");
    EXPECT_EQ(s.events[5], "action 5");
    EXPECT_EQ(message, 145);
    EXPECT_EQ(clipboard, s.input.reportText);
    EXPECT_EQ(r.keptArchive, (s.dir / "log/BugReport__pc9.zip").string());
    std::vector<std::string> kept;
    for (const auto& e : fs::directory_iterator(s.dir / "log"))
        kept.push_back(e.path().filename().string());
    std::sort(kept.begin(), kept.end());
    ASSERT_EQ(kept.size(), 10u);
    EXPECT_EQ(kept.front(), "BugReport__c.zip");
    EXPECT_EQ(kept.back(), "BugReport__pc9.zip");
    EXPECT_TRUE(s.TempEmpty());
}

TEST(SendSequence, WebUploadReusesTheMailArchiveAndHandlerCanSkip) {
    SendSetup s;
    TempDir web;
    PyServer smtp("smtp", s.dir / "mail");
    PyServer http("http", web.path());
    s.options.SetMailMode(2);
    s.options.SetSmtpServerPort(uint16_t(smtp.port()));
    s.options.SetWebMode(1);
    s.options.SetWebAddress("http://127.0.0.1:" + std::to_string(http.port()) + "/upload");
    s.ev.customWebFields = [](std::vector<std::string>& lines) { lines.push_back("Build=42"); };
    ASSERT_TRUE(SendReport(s.input, s.ev).ok);
    EXPECT_EQ(s.events, (std::vector<std::string>{"action 4", "action 5", "action 6", "action 7"}));
    ASSERT_TRUE(WaitForRecords(web.path(), 1));
    const std::string body = Field(web.path(), 0, "body");
    EXPECT_NE(body.find("name=\"Build\";\r\n\r\n42\r\n"), std::string::npos);
    EXPECT_NE(body.find("filename=\"BugReport__PC1.zip\""), std::string::npos);

    // A handler that clears the execute flag stops that route: not sent.
    s.events.clear();
    s.options.SetMailMode(0);
    s.ev.action = [&](int a, bool& execute) {
        s.events.push_back("action " + std::to_string(a));
        if (a == raBeforeSendWeb) execute = false;
    };
    EXPECT_FALSE(SendReport(s.input, s.ev).ok);
    EXPECT_EQ(s.events, (std::vector<std::string>{"action 6"}));
}

TEST(SendSequence, MailClientRoute) {
    SendSetup s;
    s.options.SetMailMode(1);
    s.options.SetMailRecipients("dev@example.test");
    s.options.SetMailSubject("A b");
    const fs::path script = s.dir / "client.sh";
    WriteAll(script, "#!/bin/sh\nprintf '%s' \"$1\" > \"" + (s.dir / "url.txt").string() +
                         "\"\nexit ${CLIENT_EXIT:-0}\n");
    fs::permissions(script, fs::perms::owner_all);
    s.input.mailClientCommand = script.string();
    setenv("CLIENT_EXIT", "0", 1);
    EXPECT_TRUE(SendReport(s.input, s.ev).ok);
    EXPECT_EQ(s.events[1], "warning ceEmailMAPIError Cannot open the MAPI dll.");
    EXPECT_EQ(ReadAll(s.dir / "url.txt"),
              "mailto:dev@example.test?Subject=A%20b&Body=See%20the%20attachment%2E%0D%0A%0D%0A%"
              "0D%0AReport%20text%0D%0Awith%20two%20lines");
    // A mail handler that fails is a failed send, not a delivered one.
    setenv("CLIENT_EXIT", "3", 1);
    s.events.clear();
    EXPECT_FALSE(SendReport(s.input, s.ev).ok);
    EXPECT_TRUE(s.events[2].starts_with("warning ceEmailShellError The mail client failed"))
        << s.events[2];
    s.input.mailClientCommand = (s.dir / "no-such-client").string();
    s.events.clear();
    EXPECT_FALSE(SendReport(s.input, s.ev).ok);
    EXPECT_EQ(s.events[2], "warning ceEmailShellError No such file or directory");
    unsetenv("CLIENT_EXIT");
}

TEST(SendSequence, BackgroundThreadWorksOnItsOwnCopies) {
    TempDir mail;
    PyServer server("smtp", mail.path());
    TSendResult result;
    {
        SendSetup s;
        s.options.SetMailMode(2);
        s.options.SetSmtpServerPort(uint16_t(server.port()));
        TSendThread thread(s.input, {});
        s.options.SetSmtpServerPort(1);  // the caller's options may change or go
        ASSERT_TRUE(thread.Wait(10000));
        result = thread.Result();
    }
    EXPECT_TRUE(result.ok);
    EXPECT_TRUE(WaitForRecords(mail.path(), 1));
}

namespace {

struct RecordingSink : TSendProgressSink {
    std::vector<std::string> calls;
    void Open(bool modal) override { calls.push_back(modal ? "open modal" : "open"); }
    void Status(int text, int cur, int total) override {
        calls.push_back("text " + std::to_string(text) +
                        (total ? " " + std::to_string(cur) + "/" + std::to_string(total) : ""));
    }
    void Progress(int p) override { calls.push_back(std::to_string(p) + "%"); }
    void Close() override { calls.push_back("close"); }
};

}  // namespace

TEST(SendSequence, TrackerRouteProgressAndFailureText) {
    SendSetup s;
    TempDir pages;
    PyServer tracker("mantis", pages.path(), {"nosearch"});
    s.options.SetWebMode(6);
    s.options.SetWebAddress("http://127.0.0.1:" + std::to_string(tracker.port()) + "/bugs");
    s.options.SetTrackerLogin("ann");
    s.options.SetTrackerAuthPassword("pw");
    s.options.SetTrackerProject("Tarnwick");
    s.input.appVersion = "1.0";
    s.input.bugType = "EAccessViolation";
    s.input.bugId = "1A2B";
    RecordingSink sink;
    s.ev.progress = &sink;
    EXPECT_FALSE(SendReport(s.input, s.ev).ok);
    EXPECT_EQ(s.events[1],
              "warning ceWebTrakerError Invalid search request.\r\n\r\nError Code: 0\r\n"
              "Error Message: \"\"");
    ASSERT_GE(sink.calls.size(), 8u);
    EXPECT_EQ(sink.calls[0], "open modal");
    EXPECT_EQ(sink.calls[1], "text 114");  // connecting
    EXPECT_EQ(sink.calls[2], "5%");
    EXPECT_EQ(sink.calls[3], "text 115");  // connected
    EXPECT_EQ(sink.calls[4], "10%");
    EXPECT_EQ(sink.calls[5], "text 113");  // logging in
    EXPECT_EQ(sink.calls.back(), "close");
}
