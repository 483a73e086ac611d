// Starting the dialog helper and waiting for its answer, bounded.
#include <dlfcn.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <thread>

#include "crashlog/CrashDialogs.h"
#include "crashlog/CrashLogFile.h"
#include "crashlog/CrashOptions.h"
#include "crashlog/CrashReport.h"
#include "crashlog/CrashScreenshot.h"

extern char** environ;

namespace crashlog {

namespace fs = std::filesystem;

namespace {

constexpr const char* kHelperName = "crashlog-dialog";
// The helper's end of the socket pair, as it is told on its command line.
constexpr int kHelperFd = 3;

// Helpers that outlive their dialog (they keep serving the clipboard) are
// reaped by later calls, so they never stay zombies for long.
std::mutex g_lingerLock;
std::vector<pid_t> g_lingering;

void ReapLingering() {
    std::lock_guard<std::mutex> lock(g_lingerLock);
    std::erase_if(g_lingering, [](pid_t pid) { return ::waitpid(pid, nullptr, WNOHANG) != 0; });
}

bool Executable(const fs::path& path) {
    return !path.empty() && ::access(path.c_str(), X_OK) == 0;
}

struct THelperProcess {
    pid_t pid = -1;
    int fd = -1;
};

THelperProcess StartHelper(const std::string& path, std::string& error) {
    THelperProcess helper;
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        error = std::string("socketpair: ") + std::strerror(errno);
        return helper;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pair[1], kHelperFd);
    // Nothing else of the crashed program is handed to the helper.
    posix_spawn_file_actions_addclosefrom_np(&actions, kHelperFd + 1);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int s : {SIGPIPE, SIGCHLD, SIGTERM, SIGINT, SIGHUP, SIGSEGV, SIGABRT})
        sigaddset(&defaults, s);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::string fdText = std::to_string(kHelperFd);
    char* argv[] = {const_cast<char*>(path.c_str()), const_cast<char*>("--fd"), fdText.data(),
                    nullptr};
    // The pass publishes the whole report in the environment ("_BugReport"),
    // which can exceed what one exec argument may hold; the helper needs
    // none of it, and the program's other variables (display, locale,
    // XDG folders) pass unchanged.
    std::vector<char*> env;
    for (char** e = environ; e && *e; ++e) {
        std::string_view entry(*e);
        if (entry.size() < 32768 && entry.rfind("_BugReport=", 0) != 0) env.push_back(*e);
    }
    env.push_back(nullptr);
    pid_t pid = -1;
    int rc = ::posix_spawn(&pid, path.c_str(), &actions, &attributes, argv, env.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(pair[1]);
    if (rc != 0) {
        ::close(pair[0]);
        error = "Cannot start \"" + path + "\": " + std::strerror(rc);
        return helper;
    }
    helper.pid = pid;
    helper.fd = pair[0];
    return helper;
}

void StopHelper(THelperProcess& helper) {
    if (helper.fd >= 0) ::close(helper.fd);
    helper.fd = -1;
    if (helper.pid > 0) {
        ::kill(helper.pid, SIGKILL);
        ::waitpid(helper.pid, nullptr, 0);
    }
    helper.pid = -1;
}

// After an answer the helper normally ends at once; one that keeps the
// clipboard goes on in the background.
void LetHelperGo(THelperProcess& helper) {
    ::close(helper.fd);
    helper.fd = -1;
    for (int i = 0; i < 20; ++i) {
        if (::waitpid(helper.pid, nullptr, WNOHANG) != 0) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::lock_guard<std::mutex> lock(g_lingerLock);
    g_lingering.push_back(helper.pid);
}

TDialogResult Cancelled(const TDialogRequest& request, std::string warning) {
    TDialogResult result;
    result.cancelled = true;
    result.send = false;
    result.screenshot = request.screenshot;
    result.dialogFlags = request.dialogFlags;
    result.reproduceText = request.reproduceText;
    result.userEmail = request.userEmail;
    result.warning = "[GUI] " + warning;
    return result;
}

}  // namespace

bool DialogDisplayAvailable() {
    auto set = [](const char* name) {
        const char* value = std::getenv(name);
        return value && *value;
    };
    // An offscreen Qt platform has nobody in front of it to answer; it
    // counts as a display only for a helper named explicitly (the tests).
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    if (platform && std::string_view(platform).rfind("offscreen", 0) == 0)
        return set("KESTAVO_CRASHLOG_DIALOG");
    return set("DISPLAY") || set("WAYLAND_DISPLAY");
}

std::string FindDialogHelper() {
    if (const char* env = std::getenv("KESTAVO_CRASHLOG_DIALOG"); env && *env)
        return Executable(env) ? std::string(env) : std::string();
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void*>(&FindDialogHelper), &info) && info.dli_fname) {
        fs::path library = fs::weakly_canonical(info.dli_fname);
        for (fs::path candidate :
             {library.parent_path() / kHelperName, library.parent_path() / "dialog" / kHelperName})
            if (Executable(candidate)) return candidate.string();
    }
    std::error_code ec;
    fs::path program = fs::read_symlink("/proc/self/exe", ec);
    if (!ec && Executable(program.parent_path() / kHelperName))
        return (program.parent_path() / kHelperName).string();
    return {};
}

TDialogRequest MakeDialogRequest(const TCrashModuleOptions& options, TDialogKind kind,
                                 std::string message, int exceptionCount, bool duplicateLogged) {
    TDialogRequest q;
    q.kind = kind;
    for (int i = 0; i < kCustomTextCount; ++i)
        q.texts[i] = options.Text(i);
    q.message = std::move(message);
    const bool delivery = options.MailMode() != 0 || options.WebMode() != 0;
    q.send = delivery;
    q.screenshot = (options.SendFlags() & send_flags::AttachScreenshot) != 0;
    q.sendAvailable =
        delivery && !duplicateLogged && (options.DialogFlags() & dialog_flags::SendOption);
    q.screenshotAvailable =
        q.screenshot && q.sendAvailable && (options.DialogFlags() & dialog_flags::ScreenshotOption);
    q.copyAvailable = (options.DialogFlags() & dialog_flags::CopyOption) != 0;
    q.showTerminateButton =
        options.TerminateButtonAction() != 0 &&
        exceptionCount > static_cast<int>(options.ErrorsBeforeTerminateButton());
    q.mailClientOnly = options.MailMode() == 1 && options.WebMode() == 0;
    q.dialogFlags = options.DialogFlags();
    q.logFlags = options.LogFlags();
    q.terminateAction = options.TerminateButtonAction();
    q.firstTab = options.FirstTab();
    q.autoCloseSeconds = options.AutoCloseSeconds();
    q.supportPage = options.SupportPage();
    q.reproduceText = options.ReproduceText();
    return q;
}

TDialogResult ShowCrashDialog(const TDialogRequest& request, const TDialogLaunch& launch) {
    ReapLingering();
    if (request.kind == TDialogKind::None) {
        TDialogResult result;
        result.send = request.send;
        result.screenshot = request.screenshot;
        result.dialogFlags = request.dialogFlags;
        result.reproduceText = request.reproduceText;
        return result;
    }
    if (!DialogDisplayAvailable()) {
        TDialogResult result;
        result.consoleFallback = true;
        result.send = request.send;
        result.screenshot = request.screenshot;
        result.dialogFlags = request.dialogFlags;
        result.reproduceText = request.reproduceText;
        return result;
    }
    std::string path = launch.helperPath.empty() ? FindDialogHelper() : launch.helperPath;
    if (path.empty())
        return Cancelled(request,
                         "Cannot show the DialogBox window: the dialog program was not found.");
    // The dialog stays above the program's own active window.
    if (request.parentWindow == 0 && request.kind != TDialogKind::Clipboard) {
        TDialogRequest withParent = request;
        withParent.parentWindow = ActiveWindowOfProcess();
        if (withParent.parentWindow) return ShowCrashDialog(withParent, launch);
    }
    std::string error;
    THelperProcess helper = StartHelper(path, error);
    if (helper.pid < 0) return Cancelled(request, error);
    if (!WriteEncodedFrame(helper.fd, EncodeDialogRequest(request))) {
        StopHelper(helper);
        return Cancelled(request, "The dialog program ended before it took the request.");
    }
    auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(launch.totalTimeoutMs);
    while (true) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            StopHelper(helper);
            return Cancelled(request, "The dialog was not answered in time.");
        }
        char type = 0;
        std::string frame;
        int wait = static_cast<int>(std::min<long long>(left.count(), launch.heartbeatTimeoutMs));
        if (!ReadFrame(helper.fd, wait, type, frame)) {
            // A helper that died closed its end first; give the kernel a
            // moment to report the exit before calling it a hang.
            bool ended = false;
            for (int i = 0; i < 50 && !ended; ++i) {
                ended = ::waitpid(helper.pid, nullptr, WNOHANG) == helper.pid;
                if (!ended) std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            if (ended) helper.pid = -1;
            StopHelper(helper);
            return Cancelled(request, ended ? "The dialog program ended without an answer."
                                            : "The dialog program stopped answering.");
        }
        if (type != 'R') continue;
        TDialogResult result;
        std::string why;
        if (!DecodeDialogResult(frame, result, &why)) {
            StopHelper(helper);
            return Cancelled(request, "The dialog program answered in an unknown form: " + why);
        }
        LetHelperGo(helper);
        return result;
    }
}

TDialogRequest MakeResultMessageRequest(const TCrashModuleOptions& options, int textIndex,
                                        bool ok) {
    TDialogRequest request;
    request.kind = TDialogKind::ResultMessage;
    request.texts[0] = options.Text(0);
    request.message = options.Text(textIndex);
    request.errorIcon = !ok;
    return request;
}

TDialogResult ShowResultMessage(const TCrashModuleOptions& options, int textIndex, bool ok,
                                const TDialogLaunch& launch) {
    return ShowCrashDialog(MakeResultMessageRequest(options, textIndex, ok), launch);
}

TDialogResult CopyTextToClipboard(const std::string& text, const TDialogLaunch& launch) {
    TDialogRequest request;
    request.kind = TDialogKind::Clipboard;
    request.reportText = text;
    return ShowCrashDialog(request, launch);
}

void SetReportPieces(TDialogRequest& request, std::string_view reportText) {
    request.reportText = std::string(reportText);
    // The log store locates a report's sections; one entry is enough.
    TLogFile pieces({}, true);
    pieces.MutableEntries().push_back(std::string(reportText) + "\r\n\r\n\r\n");
    request.generalText = pieces.GeneralPart(0);
    request.callStackText = pieces.CallStackPart(0);
    request.modulesText = pieces.ModulesPart(0);
    request.processesText = pieces.ProcessesPart(0);
    request.assemblerText = pieces.AssemblerPart(0);
    request.cpuText = pieces.CpuPart(0);
    request.generalHtml = HtmlGeneral(request.generalText);
    request.assemblerHtml = HtmlAssembler(request.assemblerText);
    request.cpuHtml = HtmlCpu(request.cpuText);
}

TDialogResult RunExceptionDialogs(TDialogRequest request, bool storeInLogFile, bool duplicateLogged,
                                  const TDialogLaunch& launch) {
    TDialogResult result = ShowCrashDialog(request, launch);
    bool detailedShown = request.kind == TDialogKind::Detailed;
    if (result.warning.empty() && result.nextKind == TDialogKind::Detailed) {
        TDialogRequest details = request;
        details.kind = TDialogKind::Detailed;
        details.forcedDetailed = true;
        details.send = result.send;
        details.screenshot = result.screenshot;
        details.dialogFlags = result.dialogFlags;
        details.reproduceText = result.reproduceText;
        TDialogResult second = ShowCrashDialog(details, launch);
        // What the classic dialog settled (e-mail, comment, restart) stays.
        second.userEmail = result.userEmail;
        second.emailChanged = result.emailChanged;
        if (second.reproduceText.empty()) second.reproduceText = result.reproduceText;
        second.terminateRequested = second.terminateRequested || result.terminateRequested;
        result = second;
        detailedShown = true;
    }
    result.nextKind = TDialogKind::None;
    const bool wanted = (request.logFlags & log_flags::ReproduceRequest) && !duplicateLogged &&
                        (result.send || storeInLogFile);
    if (detailedShown && wanted && result.warning.empty() && !result.consoleFallback) {
        TDialogRequest reproduce = request;
        reproduce.kind = TDialogKind::Reproduce;
        reproduce.reproduceText = result.reproduceText;
        TDialogResult steps = ShowCrashDialog(reproduce, launch);
        if (steps.warning.empty())
            result.reproduceText = steps.reproduceText;
        else
            result.warning = steps.warning;
    }
    return result;
}

TSendProgress::~TSendProgress() {
    Close();
}

bool TSendProgress::Open(TDialogRequest request, const TDialogLaunch& launch) {
    Close();
    ReapLingering();
    if (!DialogDisplayAvailable()) return false;
    std::string path = launch.helperPath.empty() ? FindDialogHelper() : launch.helperPath;
    if (path.empty()) return false;
    request.kind = TDialogKind::Progress;
    counterText_ = request.texts.count(111) ? request.texts[111] : "Message";
    std::string error;
    THelperProcess helper = StartHelper(path, error);
    if (helper.pid < 0) return false;
    heartbeatTimeoutMs_ = launch.heartbeatTimeoutMs;
    pid_ = helper.pid;
    toHelper_ = helper.fd;
    fromHelper_ = helper.fd;
    progress_ = 0;
    if (!WriteEncodedFrame(toHelper_, EncodeDialogRequest(request))) {
        Close();
        return false;
    }
    // The window reports when it is on screen; bounded, unlike a wait for
    // the focus that may never come.
    char type = 0;
    std::string frame;
    while (ReadFrame(fromHelper_, heartbeatTimeoutMs_, type, frame)) {
        if (type == 'O') return true;
    }
    Close();
    return false;
}

void TSendProgress::Send(char type, std::string_view payload) {
    if (pid_ <= 0) return;
    if (!WriteFrame(toHelper_, type, payload)) {
        Close();
        return;
    }
    // Each update is confirmed, so the window shows it before the sender
    // goes on (as a synchronous window message would).
    char reply = 0;
    std::string frame;
    if (!ReadFrame(fromHelper_, heartbeatTimeoutMs_, reply, frame)) Close();
}

void TSendProgress::SetStatus(std::string_view text) {
    Send('S', text);
}

void TSendProgress::SetStatus(std::string_view text, int current, int total) {
    std::string line =
        counterText_ + " " + std::to_string(current) + "/" + std::to_string(total) + ": ";
    line += text;
    Send('S', line);
}

void TSendProgress::SetProgress(int percent) {
    if (percent < progress_) return;
    progress_ = std::min(percent, 100);
    Send('P', std::to_string(progress_));
}

void TSendProgress::AddProgress(int delta) {
    SetProgress(progress_ + delta);
}

void TSendProgress::Close() {
    if (pid_ <= 0) return;
    WriteFrame(toHelper_, 'C', {});
    ::close(toHelper_);
    THelperProcess helper{pid_, -1};
    pid_ = -1;
    toHelper_ = fromHelper_ = -1;
    for (int i = 0; i < 50; ++i) {
        if (::waitpid(helper.pid, nullptr, WNOHANG) != 0) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    StopHelper(helper);
}

}  // namespace crashlog
