#include "send/SendFromPass.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <mutex>

#include "capture/CaptureInternal.h"
#include "crashlog/CrashDebug.h"
#include "crashlog/CrashDialogs.h"
#include "crashlog/CrashLogFile.h"
#include "crashlog/CrashMain.h"
#include "crashlog/CrashOptions.h"
#include "crashlog/CrashScreenshot.h"

namespace crashlog {

namespace {

using TWarning = std::function<void(TCrashLogErrorCode, const std::string&)>;

// The send-progress window of the dialog helper.
class HelperProgress : public TSendProgressSink {
  public:
    explicit HelperProgress(const TCrashModuleOptions& options) : options_(options) {}
    void Open(bool modal) override {
        TDialogRequest request = MakeDialogRequest(options_, TDialogKind::Progress, {});
        request.modal = modal;
        window_.Open(request);
    }
    void Status(int textIndex, int current, int total) override {
        if (total > 0)
            window_.SetStatus(options_.Text(textIndex), current, total);
        else
            window_.SetStatus(options_.Text(textIndex));
    }
    void Progress(int percent) override { window_.SetProgress(percent); }
    void Close() override { window_.Close(); }

  private:
    const TCrashModuleOptions& options_;
    TSendProgress window_;
};

// The result box through the dialog helper; without a display (a console
// program, a service) the text goes to standard error instead.
void ShowResult(const TCrashModuleOptions& options, int textIndex, bool ok,
                const TWarning& warning) {
    const TDialogResult shown = ShowResultMessage(options, textIndex, ok);
    if (!shown.warning.empty() && warning) warning(TCrashLogErrorCode::ceShowError, shown.warning);
    if (!shown.shown) std::fprintf(stderr, "%s\n", options.Text(textIndex).c_str());
}

void CopyReport(const std::string& text, const TWarning& warning) {
    const TDialogResult copied = CopyTextToClipboard(text);
    std::string problem = copied.warning;
    if (copied.consoleFallback)
        problem = "[GUI] There is no display: the report was not put on the clipboard.";
    if (!problem.empty() && warning) warning(TCrashLogErrorCode::ceShowError, problem);
}

bool WriteBytes(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) {
            ::close(fd);
            ::unlink(path.c_str());
            return false;
        }
        done += std::size_t(n);
    }
    return ::close(fd) == 0;
}

// What a send in the background keeps of the pass: the pass frees its record,
// options, stack and screenshot when it returns.
struct PassCopy {
    explicit PassCopy(const TCrashModuleOptions& from) : options(from.OwnerModuleName()) {
        options.Assign(&from);
    }
    TCrashModuleOptionsEx options;
    TCrashStackList stack;
    TCrashOsRecord osRecord;
    TCrashCpuContext context;
    TCrashExceptionRecord record;
    TScreenPicture screenshot;
    std::unique_ptr<HelperProgress> progress;
};

std::shared_ptr<PassCopy> CopyOfPass(const TCrashExceptionRecord& record,
                                     const TCrashModuleOptions& options) {
    auto copy = std::make_shared<PassCopy>(options);
    TCrashExceptionRecord& r = copy->record;
    r = record;
    // The thrown object is released with the pass; its class and message
    // are what the report and the events use of it.
    r.RaisedObject = nullptr;
    r.Options = &copy->options;
    if (record.Stack) {
        copy->stack = *record.Stack;
        // The modules list drops an entry whose file changed on disk, and a
        // later pass may do so while this send runs.
        for (StackEntry& entry : copy->stack.Items)
            entry.Module = nullptr;
        r.Stack = &copy->stack;
    }
    r.Modules = nullptr;
    if (record.OsRecord) {
        copy->osRecord = *record.OsRecord;
        r.OsRecord = &copy->osRecord;
    }
    if (record.OsContext) {
        copy->context = *record.OsContext;
        r.OsContext = &copy->context;
    }
    if (options.SendFlags() & send_flags::AttachScreenshot) copy->screenshot = CurrentScreenshot();
    return copy;
}

// Warnings of sends in the background come from their own threads.
std::mutex gWarningLock;

}  // namespace

TSendResult SendFromPass(const TCrashExceptionRecord& record, const TCrashModuleOptions& options,
                         std::uint16_t reportId,
                         std::function<void(int action, bool& execute)> action,
                         std::function<void(int action, bool& retry)> error,
                         std::function<void(TCrashLogErrorCode, const std::string&)> warning) {
    if (options.MailMode() == 0 && options.WebMode() == 0) return {};
    TSendInput input;
    input.options = &options;
    input.reportText = record.Report;
    input.logFilePath = LogFilePath(options);
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    input.computerName = host;
    input.exceptionTime = std::int64_t(time(nullptr));
    char id[8];
    snprintf(id, sizeof id, "%04X", reportId);
    input.bugId = id;
    input.bugType = record.ClassName;
    input.bugText = record.Message;
    // Set by the pass for the option texts.
    if (const char* version = getenv("_MainModuleVer")) input.appVersion = version;
    // What the password request gave for the options' module.
    if (record.Modules)
        if (const TCrashModuleInfo* m = record.Modules->FindByHandle(options.OwnerModuleHandle()))
            input.debugPassword = m->DataPassword;
    const bool wantsProgress =
        (options.SendFlags() & send_flags::ShowSendProgress) && DialogDisplayAvailable();

    // Running directly, the pass is on the thread that raised: nothing
    // waits for it, so nothing is gained by handing the send on.
    const bool background = (options.SendFlags() & send_flags::SendInBackground) &&
                            record.RaiseThreadId != capture::CurrentThreadId();
    if (background) {
        std::shared_ptr<PassCopy> copy = CopyOfPass(record, options);
        // The texts are expanded with this pass's values, as in line: the
        // next pass replaces them in the environment while this send runs.
        for (const char* name : capture::kPassVariables) {
            const char* value = getenv(name);
            input.variables.emplace_back(name, value ? value : "");
        }
        TSendEvents events;
        const TCrashExceptionRecord* rec = &copy->record;
        events.action = [copy, rec](int a, bool& execute) {
            CrashLog_ExceptionActionNotifyEvent(rec, a, &execute);
        };
        events.error = [copy, rec](int a, bool& retry) {
            CrashLog_ExceptionErrorNotifyEvent(rec, a, &retry);
        };
        TWarning serialized;
        if (warning)
            serialized = [warning](TCrashLogErrorCode code, const std::string& text) {
                std::lock_guard<std::mutex> lock(gWarningLock);
                warning(code, text);
            };
        events.warning = serialized;
        if (AttachedFilesRequestHandler)
            events.attachedFiles = [copy, rec](std::vector<std::string>& files) {
                if (AttachedFilesRequestHandler) AttachedFilesRequestHandler(*rec, files);
            };
        if (CustomWebFieldsRequestHandler)
            events.customWebFields = [copy, rec](std::vector<std::string>& lines) {
                if (CustomWebFieldsRequestHandler) CustomWebFieldsRequestHandler(*rec, lines);
            };
        events.resultMessage = [copy, serialized](int textIndex, bool ok) {
            ShowResult(copy->options, textIndex, ok, serialized);
        };
        events.copyToClipboard = [serialized](const std::string& text) {
            CopyReport(text, serialized);
        };
        if (wantsProgress) {
            copy->progress = std::make_unique<HelperProgress>(copy->options);
            events.progress = copy->progress.get();
        }
        input.options = &copy->options;
        if (!copy->screenshot.Empty())
            input.writeScreenshot = [copy](const std::string& path) {
                return WriteBytes(path, EncodePng(QuantizePicture(copy->screenshot)));
            };
        if (StartBackgroundSend(input, std::move(events))) {
            TSendResult started;
            started.ok = false;
            started.background = true;
            return started;
        }
        // No thread to be had: the report still goes out, in line.
        input.options = &options;
    }

    TSendEvents events;
    events.action = std::move(action);
    events.error = std::move(error);
    events.warning = warning;
    input.writeScreenshot = [](const std::string& path) { return WriteScreenshotPng(path); };
    if (AttachedFilesRequestHandler)
        events.attachedFiles = [&](std::vector<std::string>& files) {
            AttachedFilesRequestHandler(record, files);
        };
    if (CustomWebFieldsRequestHandler)
        events.customWebFields = [&](std::vector<std::string>& lines) {
            CustomWebFieldsRequestHandler(record, lines);
        };
    events.resultMessage = [&](int textIndex, bool ok) {
        ShowResult(options, textIndex, ok, warning);
    };
    events.copyToClipboard = [&](const std::string& text) { CopyReport(text, warning); };
    std::unique_ptr<HelperProgress> progress;
    if (wantsProgress) {
        progress = std::make_unique<HelperProgress>(options);
        events.progress = progress.get();
    }
    return SendReport(input, events);
}

}  // namespace crashlog
