// Delivery costs side by side with common tools on the same input:
//   Smtp/own     one report e-mail with a 1 MB archive, the library's client
//   Smtp/smtplib the same message bytes through Python's smtplib (a
//                persistent Python process, so interpreter start-up is not
//                counted)
//   Zip/own      the attachments archived by the library (deflate 9)
//   Zip/zip9     `zip -9 -j` of the same files (includes starting zip)
// All servers run on 127.0.0.1.
#include <benchmark/benchmark.h>

#include <random>

#include "SendFixture.h"
#include "crashlog/CrashSend.h"
#include "crashlog/CrashSockets.h"

using namespace crashlog;
using namespace sendtest;

namespace {

struct Setup {
    TempDir dir;
    std::unique_ptr<PyServer> smtp;
    TSmtpRequest request;
    std::vector<TZipEntry> files;

    Setup() {
        fs::create_directory(dir / "mail");
        smtp = std::make_unique<PyServer>("smtp", dir / "mail");
        std::mt19937 rng(7);
        std::string random(1 << 20, '\0');
        for (char& c : random)
            c = char(rng());
        WriteAll(dir / "BugReport.zip", random);
        std::string report;
        while (report.size() < (1 << 20))
            report += "  00401A2C  Unit1.pas  TForm1.Button1Click  line " +
                      std::to_string(report.size() % 977) + "\r\n";
        WriteAll(dir / "report.txt", report);
        std::string png(300000, '\0');
        for (size_t i = 0; i < png.size(); ++i)
            png[i] = char((i / 640) % 7 == 0 ? rng() : 3);
        WriteAll(dir / "Screenshot.png", png);
        files = {{(dir / "report.txt").string(), "report.txt"},
                 {(dir / "Screenshot.png").string(), "Screenshot.png"},
                 {(dir / "BugReport.zip").string(), "extra.bin"}};
        request.sender = "bugs@example.test";
        request.senderDisplayName = "Bench";
        request.server = "127.0.0.1";
        request.port = smtp->port();
        request.recipients = "dev@example.test";
        request.subject = "Crash report";
        request.body = "See the attachment.";
        request.attachments = {{(dir / "BugReport.zip").string(), "BugReport.zip"}};
        request.localHostName = "bench";
        request.timeoutMs = 10000;
    }
};

Setup& S() {
    static Setup s;
    return s;
}

void Smtp_own(benchmark::State& state) {
    for (auto _ : state) {
        if (!SmtpSend(S().request).ok) state.SkipWithError("send failed");
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * (1 << 20));
}

// A Python process that sends the prepared message each time it reads a line.
void Smtp_smtplib(benchmark::State& state) {
    Setup& s = S();
    TMailMessage m;
    m.from = MakeFromHeader(s.request.sender, s.request.senderDisplayName);
    m.to = s.request.recipients;
    m.subject = s.request.subject;
    m.body = s.request.body;
    m.attachments = s.request.attachments;
    std::string text = BuildMailMessage(m);
    text.resize(text.size() - 3);  // smtplib ends the data itself
    std::string plain;             // and stuffs the dots itself
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '.' && (i == 0 || text[i - 1] == '\n') && i + 1 < text.size() &&
            text[i + 1] == '.')
            continue;
        plain += text[i];
    }
    WriteAll(s.dir / "message.eml", plain);
    WriteAll(s.dir / "send.py",
             "import smtplib, sys\n"
             "data = open(sys.argv[1], 'rb').read()\n"
             "for line in sys.stdin:\n"
             "    c = smtplib.SMTP('127.0.0.1', int(sys.argv[2]), local_hostname='bench')\n"
             "    c.sendmail('bugs@example.test', ['dev@example.test'], data)\n"
             "    c.close()\n"
             "    print('ok', flush=True)\n");
    int toPy[2], fromPy[2];
    if (pipe(toPy) != 0 || pipe(fromPy) != 0) {
        state.SkipWithError("pipe");
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, toPy[0], 0);
    posix_spawn_file_actions_adddup2(&actions, fromPy[1], 1);
    posix_spawn_file_actions_addclose(&actions, toPy[1]);
    posix_spawn_file_actions_addclose(&actions, fromPy[0]);
    std::vector<std::string> args{"/usr/bin/python3", (s.dir / "send.py").string(),
                                  (s.dir / "message.eml").string(), std::to_string(s.smtp->port())};
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid;
    posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(toPy[0]);
    close(fromPy[1]);
    for (auto _ : state) {
        if (write(toPy[1], "go\n", 3) != 3) state.SkipWithError("python gone");
        // Wait for the reply line; the read may come back in pieces.
        std::string reply;
        char c;
        while (reply.find('\n') == std::string::npos) {
            const ssize_t n = read(fromPy[0], &c, 1);
            if (n == 1) {
                reply += c;
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else {
                state.SkipWithError(("python failed: " + std::to_string(errno)).c_str());
                break;
            }
        }
    }
    close(toPy[1]);
    close(fromPy[0]);
    waitpid(pid, nullptr, 0);
    state.SetBytesProcessed(int64_t(state.iterations()) * (1 << 20));
}

void Zip_own(benchmark::State& state) {
    const std::string out = (S().dir / "own.zip").string();
    for (auto _ : state) {
        std::string error;
        if (!WriteZipArchive(out, S().files, "", error)) state.SkipWithError(error.c_str());
    }
    state.counters["bytes"] = double(fs::file_size(out));
}

void Zip_zip9(benchmark::State& state) {
    const std::string out = (S().dir / "zip9.zip").string();
    for (auto _ : state) {
        fs::remove(out);
        std::vector<std::string> args{"zip", "-9", "-q", "-j", out};
        for (const auto& f : S().files)
            args.push_back(f.path);
        if (RunCommand(args) != 0) state.SkipWithError("zip failed");
    }
    state.counters["bytes"] = double(fs::file_size(out));
}

}  // namespace

BENCHMARK(Smtp_own)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(Smtp_smtplib)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(Zip_own)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(Zip_zip9)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_MAIN();
