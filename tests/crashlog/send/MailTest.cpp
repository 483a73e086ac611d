// The report e-mail: message text, SMTP sessions against aiosmtpd and
// against scripted servers that misbehave, and the MX look-up.
#include <gtest/gtest.h>

#include <map>

#include "SendFixture.h"
#include "crashlog/CrashSockets.h"

using namespace crashlog;
using namespace sendtest;

namespace {

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t at; (at = text.find("\r\n", start)) != std::string::npos; start = at + 2)
        out.push_back(text.substr(start, at - start));
    out.push_back(text.substr(start));
    return out;
}

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

}  // namespace

// ---- message text ------------------------------------------------------------------

TEST(MailMessage, HeadersPartsAndTransparency) {
    TempDir dir;
    std::string bytes;
    for (int i = 0; i < 200; ++i)
        bytes += char(i);
    WriteAll(dir / "data.bin", bytes);
    WriteAll(dir / "shot.png", "PNG");
    TMailMessage m;
    m.from = MakeFromHeader("bugs@example.test", "Ann Owner");
    m.to = "dev\x01\x02@example.test";
    m.subject = "Crash\r\nin\tGo";
    m.body = "Hello\r\n.hidden line\r\nbye";
    m.attachments = {{(dir / "data.bin").string(), "BugReport.zip"},
                     {(dir / "missing.bin").string(), "missing.bin"},
                     {(dir / "shot.png").string(), "Screenshot.PNG"}};
    m.dateUnix = 1170253502;  // 2007-01-31 14:25:02 UTC
    m.utcOffsetSeconds = -5 * 3600;
    m.messageNumber = 42;
    const std::string text = BuildMailMessage(m);
    const auto lines = Lines(text);
    ASSERT_GE(lines.size(), 12u);
    EXPECT_EQ(lines[0], "Date: Wed, 31 Jan 2007 09:25:02 -0500");
    EXPECT_EQ(lines[1], "From: \"Ann Owner\" <bugs@example.test>");
    EXPECT_EQ(lines[2], "Subject: Crash in Go");
    EXPECT_EQ(lines[3], "To: <dev @example.test>");
    EXPECT_EQ(lines[4],
              "Content-Type: multipart/mixed; boundary=\"=_xcjvnxkbhvfkxzhfdbvzldjhfv\";");
    EXPECT_EQ(lines[5], "MIME-Version: 1.0");
    EXPECT_EQ(lines[6], "Message-ID: <42@crashlog.invalid>");
    EXPECT_EQ(lines[7], "");
    // The body's dot line is stuffed; nothing else starts with a lone dot.
    EXPECT_NE(text.find("\r\n..hidden line\r\n"), std::string::npos);
    // 200 bytes: 268 base64 characters as 80 + 80 + 80 + 28.
    const std::string b64 = Base64Encode(bytes);
    ASSERT_EQ(b64.size(), 268u);
    const std::string expectedPart =
        "\r\n--=_xcjvnxkbhvfkxzhfdbvzldjhfv\r\nContent-Type: application/octet-stream;\r\n"
        "        name=\"BugReport.zip\"\r\nContent-Transfer-Encoding: base64\r\n"
        "Content-Disposition: attachment;\r\n        filename=\"BugReport.zip\"\r\n\r\n" +
        b64.substr(0, 80) + "\r\n" + b64.substr(80, 80) + "\r\n" + b64.substr(160, 80) + "\r\n" +
        b64.substr(240) + "\r\n";
    EXPECT_NE(text.find(expectedPart), std::string::npos);
    EXPECT_NE(text.find("Content-Type: image/png;\r\n        name=\"Screenshot.PNG\""),
              std::string::npos);
    EXPECT_EQ(text.find("missing.bin"), std::string::npos);
    EXPECT_TRUE(text.ends_with("--=_xcjvnxkbhvfkxzhfdbvzldjhfv--\r\n.\r\n"));
}

TEST(MailMessage, NoAttachmentNoPart) {
    TMailMessage m;
    m.body = "text";
    const std::string text = BuildMailMessage(m);
    EXPECT_EQ(text.find("Content-Disposition"), std::string::npos);
    EXPECT_NE(text.find("\r\n\r\ntext\r\n--=_xcjvnxkbhvfkxzhfdbvzldjhfv--\r\n.\r\n"),
              std::string::npos);
}

TEST(MailMessage, DateZones) {
    struct Case {
        int offset;
        const char* text;
    } cases[] = {{-5 * 3600, "Wed, 31 Jan 2007 09:25:02 -0500"},
                 {0, "Wed, 31 Jan 2007 14:25:02 +0000"},
                 {2 * 3600, "Wed, 31 Jan 2007 16:25:02 +0200"},
                 {11 * 3600, "Thu, 1 Feb 2007 01:25:02 +1100"}};
    for (const Case& c : cases)
        EXPECT_EQ(MailDateText(1170253502, c.offset), c.text) << c.offset;
}

TEST(MailMessage, SenderForms) {
    struct Case {
        const char* sender;
        const char* from;
        const char* envelope;
    } cases[] = {
        {"bugs@example.test", "\"Ann\" <bugs@example.test>", "bugs@example.test"},
        {"Bugs <bugs@example.test>", "Bugs <bugs@example.test>", "Bugs <bugs@example.test>"},
        {"\"Team\" <t@example.test>", "\"Team\" <t@example.test>", "t@example.test"},
        {"a\r\nb@example.test", "\"Ann\" <a b@example.test>", "a b@example.test"},
    };
    for (const Case& c : cases) {
        const std::string from = MakeFromHeader(c.sender, "Ann");
        EXPECT_EQ(from, c.from);
        EXPECT_EQ(EnvelopeSender(from), c.envelope);
    }
    EXPECT_EQ(SplitRecipients(" a@x ; ,b@y,, "), (std::vector<std::string>{"a@x", "b@y"}));
}

// ---- sessions against aiosmtpd ---------------------------------------------------

TEST(SmtpSession, OneSessionPerRecipientWithAttachment) {
    TempDir dir;
    fs::create_directory(dir / "mail");
    PyServer server("smtp", dir / "mail");
    std::string payload(3000, 'x');
    payload += "\n.dot\n";
    WriteAll(dir / "BugReport.zip", payload);
    TSmtpRequest r;
    r.sender = "bugs@example.test";
    r.senderDisplayName = "Ann Owner";
    r.server = "127.0.0.1";
    r.port = server.port();
    r.recipients = "one@example.test; two@example.test";
    r.subject = "Crash %SENDTEST_VALUE%";
    r.body = "Body line\r\n.starts with dot";
    r.attachments = {{(dir / "BugReport.zip").string(), "BugReport__PC1.zip"}};
    r.timeoutMs = 5000;
    setenv("SENDTEST_VALUE", "expanded", 1);
    std::vector<int> percents;
    r.progress = [&](int p) { percents.push_back(p); };
    const TSmtpResult result = SmtpSend(r);
    ASSERT_TRUE(result.ok) << result.error;
    ASSERT_TRUE(WaitForRecords(dir / "mail", 2));
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(Field(dir / "mail", i, "from"), "bugs@example.test");
        EXPECT_EQ(Field(dir / "mail", i, "to"), i == 0 ? "one@example.test" : "two@example.test");
        const std::string data = Field(dir / "mail", i, "data");
        EXPECT_NE(data.find("Subject: Crash expanded\r\n"), std::string::npos);
        EXPECT_NE(data.find("From: \"Ann Owner\" <bugs@example.test>"), std::string::npos);
        // The server undid the dot-stuffing: the body arrives as written.
        EXPECT_NE(data.find("Body line\r\n.starts with dot\r\n"), std::string::npos);
        EXPECT_NE(data.find("filename=\"BugReport__PC1.zip\""), std::string::npos);
    }
    const std::string data = Field(dir / "mail", 0, "data");
    const size_t start = data.find("\r\n\r\n", data.find("filename=\"BugReport__PC1.zip\"")) + 4;
    std::string b64 = data.substr(start, data.find("\r\n--", start) - start);
    std::erase(b64, '\r');
    std::erase(b64, '\n');
    EXPECT_EQ(b64, Base64Encode(payload));
    ASSERT_FALSE(percents.empty());
    EXPECT_EQ(percents.back(), 100);
    EXPECT_TRUE(std::is_sorted(percents.begin() + 1, percents.end()) || percents.size() > 2);
}

TEST(SmtpSession, AuthLoginAndRefusedPassword) {
    TempDir dir;
    fs::create_directory(dir / "mail");
    PyServer server("smtp-auth", dir / "mail");
    TSmtpRequest r;
    r.sender = "bugs@example.test";
    r.senderDisplayName = "Ann";
    r.server = "127.0.0.1";
    r.port = server.port();
    r.recipients = "dev@example.test";
    r.login = "user";
    r.password = "secret";
    r.timeoutMs = 5000;
    TSmtpResult result = SmtpSend(r);
    ASSERT_TRUE(result.ok) << result.error;
    ASSERT_TRUE(WaitForRecords(dir / "mail", 1));
    EXPECT_EQ(Field(dir / "mail", 0, "login"), "user");

    r.password = "wrong";
    result = SmtpSend(r);
    EXPECT_FALSE(result.ok);
    EXPECT_TRUE(result.error.starts_with("[SMTP] ")) << result.error;
    EXPECT_NE(result.error.find("AUTH LOGIN"), std::string::npos);
    EXPECT_NE(result.error.find("535"), std::string::npos);

    // Without a login the server that requires one refuses MAIL FROM.
    r.login.clear();
    r.password.clear();
    result = SmtpSend(r);
    EXPECT_FALSE(result.ok);
    EXPECT_NE(result.error.find("MAIL FROM:<bugs@example.test>"), std::string::npos);
}

// ---- scripted servers ----------------------------------------------------------------

namespace {

// Answers like a plain SMTP server, except that `wrong` replaces the reply
// of one step.  Steps: greeting HELO EHLO RSET AUTH user pass MAIL RCPT DATA
// message.  Records the commands it saw.
struct ScriptedSmtp {
    std::map<std::string, std::string> wrong;
    std::vector<std::string> seen;
    std::mutex m;
    RawServer server{[this](int fd) { Serve(fd); }};

    std::string Reply(const std::string& step, const std::string& normal) {
        auto it = wrong.find(step);
        return it == wrong.end() ? normal : it->second;
    }
    void Serve(int fd) {
        SendAll(fd, Reply("greeting", "220 ready\r\n"));
        int authStep = 0;
        for (;;) {
            std::string line = ReadLine(fd);
            if (line.empty()) return;
            {
                std::lock_guard<std::mutex> lock(m);
                seen.push_back(line.substr(0, line.size() - 2));
            }
            std::string step = line.substr(0, 4);
            if (authStep == 1) step = "user";
            if (authStep == 2) step = "pass";
            if (step == "AUTH") {
                const std::string reply = Reply("AUTH", "334 VXNlcm5hbWU6\r\n");
                SendAll(fd, reply);
                authStep = reply.starts_with("334") ? 1 : 0;
                continue;
            }
            if (step == "user") {
                SendAll(fd, Reply("user", "334 UGFzc3dvcmQ6\r\n"));
                authStep = 2;
                continue;
            }
            if (step == "pass") {
                SendAll(fd, Reply("pass", "235 ok\r\n"));
                authStep = 0;
                continue;
            }
            if (step == "DATA") {
                const std::string reply = Reply("DATA", "354 go\r\n");
                SendAll(fd, reply);
                if (!reply.starts_with("354")) continue;
                if (ReadLine(fd, true).empty()) return;
                SendAll(fd, Reply("message", "250 queued\r\n"));
                continue;
            }
            if (step == "EHLO")
                SendAll(fd, Reply("EHLO", "250-hello\r\n250 AUTH LOGIN\r\n"));
            else if (step == "HELO" || step == "RSET" || step == "MAIL" || step == "RCPT")
                SendAll(fd, Reply(step, "250 ok\r\n"));
            else
                SendAll(fd, "500 unrecognised command\r\n");
        }
    }
};

TSmtpRequest Scripted(int port, bool auth = false) {
    TSmtpRequest r;
    r.sender = "bugs@example.test";
    r.senderDisplayName = "Ann";
    r.server = "127.0.0.1";
    r.port = port;
    r.recipients = "dev@example.test";
    r.localHostName = "pc1";
    r.timeoutMs = 2000;
    if (auth) {
        r.login = "user";
        r.password = "secret";
    }
    return r;
}

}  // namespace

TEST(SmtpSession, CommandSequenceWithAndWithoutAuth) {
    {
        ScriptedSmtp s;
        ASSERT_TRUE(SmtpSend(Scripted(s.server.port())).ok);
        std::lock_guard<std::mutex> lock(s.m);
        EXPECT_EQ(s.seen,
                  (std::vector<std::string>{"HELO pc1", "RSET", "MAIL FROM:<bugs@example.test>",
                                            "RCPT TO:<dev@example.test>", "DATA"}));
    }
    {
        ScriptedSmtp s;
        ASSERT_TRUE(SmtpSend(Scripted(s.server.port(), true)).ok);
        std::lock_guard<std::mutex> lock(s.m);
        EXPECT_EQ(s.seen,
                  (std::vector<std::string>{"EHLO pc1", "RSET", "AUTH LOGIN", Base64Encode("user"),
                                            Base64Encode("secret"), "MAIL FROM:<bugs@example.test>",
                                            "RCPT TO:<dev@example.test>", "DATA"}));
    }
}

TEST(SmtpSession, ServerWithoutAuthStillGetsTheMessage) {
    ScriptedSmtp s;
    s.wrong["AUTH"] = "502 not implemented\r\n";
    const TSmtpResult r = SmtpSend(Scripted(s.server.port(), true));
    EXPECT_TRUE(r.ok) << r.error;
}

TEST(SmtpSession, WrongReplyAtEachStepFailsQuickly) {
    struct Case {
        const char* step;
        bool auth;
        const char* reply;
    } cases[] = {
        {"greeting", false, "554 go away\r\n"},
        {"HELO", false, "501 no\r\n"},
        {"EHLO", true, "421 closing\r\n"},
        {"RSET", false, "500 what\r\n"},
        {"AUTH", true, "504 unknown\r\n"},
        {"pass", true, "535 bad\r\n"},
        {"MAIL", false, "550 refused\r\n"},
        {"RCPT", false, "550 no such user\r\n"},
        {"DATA", false, "503 bad sequence\r\n"},
        {"message", false, "552 too big\r\n"},
        {"HELO", false, "hello\r\n"},  // no code at all
    };
    for (const Case& c : cases) {
        ScriptedSmtp s;
        s.wrong[c.step] = c.reply;
        const auto start = std::chrono::steady_clock::now();
        const TSmtpResult r = SmtpSend(Scripted(s.server.port(), c.auth));
        EXPECT_FALSE(r.ok) << c.step;
        EXPECT_TRUE(r.error.starts_with("[SMTP] Connected to 127.0.0.1 port")) << r.error;
        EXPECT_NE(r.error.find(std::string(c.reply, strlen(c.reply) - 2)), std::string::npos)
            << r.error;
        EXPECT_LT(Seconds(start), 1.5) << c.step;  // a whole reply ends the read at once
    }
}

TEST(SmtpSession, MisbehavingServersEndWithinTheTimeOut) {
    struct Case {
        const char* name;
        std::function<void(int)> serve;
        const char* error;
    } cases[] = {
        {"closes mid-reply", [](int fd) { SendAll(fd, "22"); }, "Connection closed by the server."},
        {"never answers", [](int) { std::this_thread::sleep_for(std::chrono::milliseconds(2500)); },
         "Socket timeout."},
        {"1 MB reply line", [](int fd) { SendAll(fd, "220 " + std::string(1 << 20, 'a')); },
         "Reply too long."},
        {"trickles without end",
         [](int fd) {
             SendAll(fd, "220-");
             for (int i = 0; i < 30; ++i) {
                 if (send(fd, "a", 1, MSG_NOSIGNAL) != 1) return;
                 std::this_thread::sleep_for(std::chrono::milliseconds(150));
             }
         },
         nullptr},
    };
    for (const Case& c : cases) {
        RawServer server(c.serve);
        TSmtpRequest r = Scripted(server.port());
        r.timeoutMs = 1000;
        const auto start = std::chrono::steady_clock::now();
        const TSmtpResult result = SmtpSend(r);
        EXPECT_FALSE(result.ok) << c.name;
        if (c.error) {
            EXPECT_NE(result.error.find(c.error), std::string::npos) << result.error;
        }
        EXPECT_LT(Seconds(start), 2.5) << c.name;
        EXPECT_LT(result.error.size(), 300u * 1024) << c.name;
    }
}

TEST(SmtpSession, RefusedConnection) {
    int port;
    {
        RawServer gone([](int) {});
        port = gone.port();
    }
    const TSmtpResult r = SmtpSend(Scripted(port));
    EXPECT_FALSE(r.ok);
    EXPECT_TRUE(r.error.starts_with("[SMTP] Connection error: \"Connection refused\"")) << r.error;
}

// ---- MX --------------------------------------------------------------------------------

TEST(MxLookup, LoopbackServerAndUnknownDomain) {
    TempDir dir;
    PyServer dns("dns", dir.path());
    const std::vector<std::string> servers{"127.0.0.1:" + std::to_string(dns.port())};
    EXPECT_EQ(LookupMx("dev@example.test", 3000, servers), "localhost");
    try {
        LookupMx("dev@nothing.test", 300, servers);
        FAIL() << "no exception";
    } catch (const ECrashSocketError& e) {
        EXPECT_STREQ(e.what(), "Cannot resolve the \"nothing.test\" MX record.");
    }
}

TEST(MxLookup, DirectDeliveryThroughTheExchanger) {
    TempDir dir;
    fs::create_directory(dir / "mail");
    PyServer dns("dns", dir.path());
    PyServer smtp("smtp", dir / "mail");
    TSmtpRequest r;
    r.direct = true;
    r.directPort = smtp.port();
    r.sender = "bugs@example.test";
    r.senderDisplayName = "Ann";
    r.server = "unused.invalid";
    r.login = "ignored";  // direct delivery never authenticates
    r.recipients = "dev@example.test";
    r.dnsServers = {"127.0.0.1:" + std::to_string(dns.port())};
    r.timeoutMs = 5000;
    TSmtpResult result = SmtpSend(r);
    ASSERT_TRUE(result.ok) << result.error;
    ASSERT_TRUE(WaitForRecords(dir / "mail", 1));
    EXPECT_EQ(Field(dir / "mail", 0, "to"), "dev@example.test");

    // A domain without an exchanger ends the whole send, the later
    // recipient included.
    r.recipients = "x@nothing.test; dev@example.test";
    result = SmtpSend(r);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.error, "[SMTP] Cannot resolve the \"nothing.test\" MX record.");
}

TEST(MxLookup, QueryBytesAndDamagedAnswers) {
    EXPECT_EQ(BuildMxQuery("ex.test"), std::string("AA\x01\x00\x00\x01\x00\x00\x00\x00\x00\x00"
                                                   "\x02"
                                                   "ex\x04test\x00\x00\x0f\x00\x01",
                                                   25));
    const std::string q = BuildMxQuery("ex.test");
    std::string header("AA\x81\x80\x00\x01\x00\x01\x00\x00\x00\x00", 12);
    std::string answer = header + q.substr(12) +
                         std::string(
                             "\xc0\x0c\x00\x0f\x00\x01\x00\x00\x00\x3c\x00\x07\x00\x0a"
                             "\x02mx\xc0\x0c",
                             19);
    EXPECT_EQ(ParseMxAnswer(answer), "mx.ex.test");
    // Damaged: truncated anywhere, a pointer to itself, a length past the end.
    for (size_t cut = 0; cut < answer.size(); ++cut)
        EXPECT_EQ(ParseMxAnswer(answer.substr(0, cut)), "") << cut;
    std::string loop = answer;
    loop[loop.size() - 2] = '\xc0';
    loop[loop.size() - 1] = char(loop.size() - 2);
    EXPECT_EQ(ParseMxAnswer(loop), "");  // a name that points at itself ends
    std::string self = header + q.substr(12) +
                       std::string(
                           "\xc0\x0c\x00\x0f\x00\x01\x00\x00\x00\x3c\x00\x04\x00\x0a"
                           "\xc0\x00",
                           16);
    self[self.size() - 1] = char(self.size() - 2);
    EXPECT_EQ(ParseMxAnswer(self), "");
}
