// Web delivery: address parsing, the HTTP and HTTPS form upload checked
// byte for byte at a loopback server, certificate verification with a CA
// made here, FTP upload to pyftpdlib, and servers that fail.
#include <gtest/gtest.h>

#include <mutex>

#include "SendFixture.h"
#include "crashlog/CrashSockets.h"
#include "crashlog/CrashWebTools.h"

using namespace crashlog;
using namespace sendtest;

TEST(WebAddress, Parts) {
    struct Case {
        const char* text;
        const char* scheme;
        const char* login;
        const char* password;
        const char* host;
        int port;
        const char* path;
    } cases[] = {
        {" https://bugs.example.test/bugs ", "https", "", "", "bugs.example.test", 0, "bugs"},
        {"http://ann:pw@host:8080/up/load.php", "http", "ann", "pw", "host", 8080, "up/load.php"},
        {"ftp://host:21/incoming/", "ftp", "", "", "host", 21, "incoming/"},
        {"host.test", "", "", "", "host.test", 0, ""},
        {"host:99999999", "", "", "", "host:99999999", 0, ""},  // not a port
    };
    for (const Case& c : cases) {
        const TWebAddress a = ParseWebAddress(c.text);
        EXPECT_EQ(a.scheme, c.scheme) << c.text;
        EXPECT_EQ(a.login, c.login) << c.text;
        EXPECT_EQ(a.password, c.password) << c.text;
        EXPECT_EQ(a.host, c.host) << c.text;
        EXPECT_EQ(a.port, c.port) << c.text;
        EXPECT_EQ(a.path, c.path) << c.text;
    }
}

namespace {

struct Files {
    TempDir dir;
    TWebUpload upload;
    Files() {
        static constexpr char kArchive[] = "PK\x03\x04 binary \0 bytes\r\n--";
        WriteAll(dir / "a.zip", std::string(kArchive, sizeof kArchive - 1));
        upload.host = "127.0.0.1";
        upload.path = "upload.php";
        upload.customFields = {"Product=Tarnwick", "Empty="};
        upload.paths = {(dir / "a.zip").string(), (dir / "gone.zip").string()};
        upload.displayNames = {"BugReport__PC1.zip", "gone.zip"};
        upload.timeoutMs = 3000;
    }
};

std::string Header(const std::string& headers, const std::string& name) {
    const size_t at = headers.find(name + ": ");
    if (at == std::string::npos) return {};
    const size_t end = headers.find('\n', at);
    return headers.substr(at + name.size() + 2,
                          end == std::string::npos ? end : end - at - name.size() - 2);
}

}  // namespace

TEST(HttpUpload, MultipartBodyByteForByte) {
    Files f;
    TempDir out;
    PyServer server("http", out.path());
    f.upload.port = server.port();
    f.upload.login = "ann";
    f.upload.password = "pw";
    std::vector<std::pair<int, long long>> progress;
    f.upload.progress = [&](int s, long long v) { progress.emplace_back(s, v); };
    const TWebResult r = HttpUpload(f.upload);
    ASSERT_EQ(r.code, 0) << r.errorText;
    ASSERT_TRUE(WaitForRecords(out.path(), 1));
    EXPECT_EQ(Field(out.path(), 0, "line"), "POST /upload.php HTTP/1.1");
    const std::string headers = Field(out.path(), 0, "headers");
    EXPECT_EQ(Header(headers, "Authorization"), "Basic " + Base64Encode("ann:pw"));
    EXPECT_EQ(Header(headers, "User-Agent"), "CrashLog");
    const std::string type = Header(headers, "Content-Type");
    ASSERT_TRUE(type.starts_with("multipart/form-data; boundary=")) << type;
    const std::string boundary = type.substr(30);
    ASSERT_EQ(boundary.size(), 39u);
    EXPECT_EQ(boundary.substr(0, 27), std::string(27, '-'));
    EXPECT_EQ(boundary.find_first_not_of("0123456789ABCDEF", 27), std::string::npos);
    const std::string expected =
        "--" + boundary +
        "\r\nContent-Disposition: form-data; name=\"Product\";\r\n\r\nTarnwick\r\n" + "--" +
        boundary + "\r\nContent-Disposition: form-data; name=\"Empty\";\r\n\r\n\r\n" + "--" +
        boundary +
        "\r\nContent-Disposition: form-data; name=\"cl_upload_file_0\"; "
        "filename=\"BugReport__PC1.zip\";\r\nContent-Type: application/octet-stream\r\n\r\n" +
        ReadAll(f.dir / "a.zip") + "\r\n--" + boundary + "--\r\n";
    EXPECT_EQ(Field(out.path(), 0, "body"), expected);
    ASSERT_GE(progress.size(), 3u);
    EXPECT_EQ(progress[0], (std::pair<int, long long>{0, (long long)expected.size()}));
    EXPECT_EQ(progress[1].first, 1);
    EXPECT_EQ(progress.back(), (std::pair<int, long long>{2, (long long)expected.size()}));
}

TEST(HttpUpload, StatusAndEmptyList) {
    Files f;
    TempDir out;
    PyServer redirect("http", out.path(), {"302"});
    f.upload.port = redirect.port();
    TWebResult r = HttpUpload(f.upload);
    EXPECT_EQ(r.code, 302);  // uploads never follow a redirect
    EXPECT_EQ(r.errorText, "Found");
    EXPECT_EQ(WebFailureText("HTTP", r), "HTTP error code: 302 (Found)");

    // Nothing to send: success without touching the network.
    f.upload.paths.clear();
    f.upload.host = "unreachable.invalid";
    EXPECT_EQ(HttpUpload(f.upload).code, 0);
}

TEST(HttpUpload, FailingServersAreBoundedAndNamed) {
    Files f;
    f.upload.timeoutMs = 1000;
    struct Case {
        const char* name;
        std::function<void(int)> serve;
        int code;
    } cases[] = {
        {"never answers",
         [](int fd) {
             ReadLine(fd);
             std::this_thread::sleep_for(std::chrono::milliseconds(3000));
         },
         12002},
        {"closes mid-reply",
         [](int fd) {
             ReadLine(fd);
             SendAll(fd, "HTTP/1.1 200 O");
         },
         12030},
        {"not HTTP", [](int fd) { SendAll(fd, "SSH-2.0-nonsense\r\n\r\n"); }, 12152},
    };
    for (const Case& c : cases) {
        RawServer server(c.serve);
        f.upload.port = server.port();
        const auto start = std::chrono::steady_clock::now();
        const TWebResult r = HttpUpload(f.upload);
        EXPECT_EQ(r.code, c.code) << c.name << ": " << r.errorText;
        EXPECT_EQ(r.errorText, WebErrorText(c.code)) << c.name;
        EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(),
                  2.8)
            << c.name;
    }
    int closedPort;
    {
        RawServer gone([](int) {});
        closedPort = gone.port();
    }
    f.upload.port = closedPort;
    const TWebResult r = HttpUpload(f.upload);
    EXPECT_EQ(r.code, 12029);
    EXPECT_EQ(WebFailureText("HTTP", r),
              "HTTP error code: 12029 (The attempt to connect to the server failed.)");
}

// A CA and a server certificate for 127.0.0.1, made for this test.
class HttpsUpload : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        pki_ = new TempDir;
        const std::string d = pki_->path().string();
        WriteAll(pki_->path() / "ext.cnf", "subjectAltName=IP:127.0.0.1\n");
        const std::vector<std::vector<std::string>> steps = {
            {"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
             "-nodes", "-keyout", d + "/ca.key", "-out", d + "/ca.pem", "-days", "2", "-subj",
             "/CN=Send Test CA"},
            {"openssl", "req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
             "-nodes", "-keyout", d + "/srv.key", "-out", d + "/srv.csr", "-subj", "/CN=127.0.0.1"},
            {"openssl", "x509", "-req", "-in", d + "/srv.csr", "-CA", d + "/ca.pem", "-CAkey",
             d + "/ca.key", "-CAcreateserial", "-out", d + "/srv.pem", "-days", "2", "-extfile",
             d + "/ext.cnf"},
        };
        for (const auto& s : steps)
            ASSERT_EQ(RunCommand(s), 0) << s[1];
    }
    static void TearDownTestSuite() {
        delete pki_;
        pki_ = nullptr;
    }
    static TempDir* pki_;
};
TempDir* HttpsUpload::pki_ = nullptr;

TEST_F(HttpsUpload, VerifiesAuthorityAndHostName) {
    Files f;
    TempDir out;
    PyServer server("https", out.path(),
                    {(pki_->path() / "srv.pem").string(), (pki_->path() / "srv.key").string()});
    f.upload.https = true;
    f.upload.port = server.port();

    // Unknown authority: refused before anything is sent.
    TWebResult r = HttpUpload(f.upload);
    EXPECT_EQ(r.code, 12045);
    EXPECT_EQ(WebFailureText("HTTPS", r),
              "HTTPS error code: 12045 (The function is unfamiliar with the Certificate Authority "
              "that generated the server's certificate.)");

    // The right authority but another name than the certificate's.
    f.upload.caFile = (pki_->path() / "ca.pem").string();
    f.upload.host = "localhost";
    r = HttpUpload(f.upload);
    EXPECT_EQ(r.code, 12038) << r.errorText;
    EXPECT_EQ(r.errorText, "SSL certificate host name field is incorrect.");
    EXPECT_FALSE(fs::exists(out / "000.done"));

    // Trusted authority and matching name: delivered.
    f.upload.host = "127.0.0.1";
    r = HttpUpload(f.upload);
    ASSERT_EQ(r.code, 0) << r.errorText;
    ASSERT_TRUE(WaitForRecords(out.path(), 1));
    EXPECT_NE(Field(out.path(), 0, "body").find("filename=\"BugReport__PC1.zip\""),
              std::string::npos);
}

TEST(FtpUpload, FilesUnderDisplayNamesAndRefusedLogin) {
    Files f;
    TempDir root;
    fs::create_directory(root / "incoming");
    PyServer server("ftp", root.path());
    f.upload.port = server.port();
    f.upload.path = "incoming";
    f.upload.login = "user";
    f.upload.password = "secret";
    WriteAll(f.dir / "b.png", std::string(5000, '\x89'));
    f.upload.paths.push_back((f.dir / "b.png").string());
    f.upload.displayNames.push_back("Screenshot__PC1.png");
    long long last = 0;
    f.upload.progress = [&](int s, long long v) {
        if (s == 2) last = v;
    };
    TWebResult r = FtpUpload(f.upload);
    ASSERT_EQ(r.code, 0) << r.errorText;
    EXPECT_EQ(ReadAll(root / "incoming/BugReport__PC1.zip"), ReadAll(f.dir / "a.zip"));
    EXPECT_EQ(ReadAll(root / "incoming/Screenshot__PC1.png"), ReadAll(f.dir / "b.png"));
    EXPECT_EQ(last, static_cast<long long>(fs::file_size(f.dir / "a.zip")) + 5000);

    f.upload.password = "wrong";
    r = FtpUpload(f.upload);
    EXPECT_EQ(r.code, 12015);
    EXPECT_EQ(WebFailureText("FTP", r), "FTP error code: 12015 (Log on request failed.)");
}

TEST(HttpUpload, ThroughAProxyWithCredentials) {
    Files f;
    std::mutex m;
    std::string seen;
    RawServer proxy([&](int fd) {
        std::string request = ReadLine(fd);
        // Read the headers and the announced body before answering.
        while (request.find("\r\n\r\n") == std::string::npos) {
            const std::string more = ReadLine(fd);
            if (more.empty()) break;
            request += more;
        }
        {
            std::lock_guard<std::mutex> lock(m);
            seen = request;
        }
        SendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    });
    f.upload.host = "upload.example.test";  // never resolved here: the proxy does that
    f.upload.port = 8081;
    f.upload.proxy = {"127.0.0.1", proxy.port(), "p", "q"};
    const TWebResult r = HttpUpload(f.upload);
    EXPECT_EQ(r.code, 0) << r.errorText;
    std::lock_guard<std::mutex> lock(m);
    EXPECT_TRUE(seen.starts_with("POST http://upload.example.test:8081/upload.php HTTP/1.1\r\n"))
        << seen;
    EXPECT_NE(seen.find("Proxy-Authorization: Basic " + Base64Encode("p:q") + "\r\n"),
              std::string::npos)
        << seen;
}
