#include "send/SendFromPass.h"

#include <unistd.h>

#include <ctime>

#include "crashlog/CrashDialogs.h"
#include "crashlog/CrashLogFile.h"
#include "crashlog/CrashMain.h"
#include "crashlog/CrashOptions.h"
#include "crashlog/CrashScreenshot.h"

namespace crashlog {

namespace {

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

}  // namespace

TSendResult SendFromPass(const TCrashExceptionRecord& record, const TCrashModuleOptions& options,
                         std::uint16_t reportId,
                         std::function<void(int action, bool& execute)> action,
                         std::function<void(int action, bool& retry)> error,
                         std::function<void(TCrashLogErrorCode, const std::string&)> warning) {
    if (options.MailMode() == 0 && options.WebMode() == 0) return {};
    TSendEvents events;
    events.action = std::move(action);
    events.error = std::move(error);
    events.warning = std::move(warning);
    TSendInput input;
    input.options = &options;
    input.reportText = record.Report;
    input.logFilePath = LogFilePath(options);
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    input.computerName = host;
    input.exceptionTime = std::int64_t(time(nullptr));
    input.writeScreenshot = [](const std::string& path) { return WriteScreenshotPng(path); };
    char id[8];
    snprintf(id, sizeof id, "%04X", reportId);
    input.bugId = id;
    input.bugType = record.ClassName;
    input.bugText = record.Message;
    // Set by the pass for the option texts.
    if (const char* version = getenv("_MainModuleVer")) input.appVersion = version;
    if (AttachedFilesRequestHandler)
        events.attachedFiles = [&](std::vector<std::string>& files) {
            AttachedFilesRequestHandler(record, files);
        };
    if (CustomWebFieldsRequestHandler)
        events.customWebFields = [&](std::vector<std::string>& lines) {
            CustomWebFieldsRequestHandler(record, lines);
        };
    std::unique_ptr<HelperProgress> progress;
    if ((options.SendFlags() & send_flags::ShowSendProgress) && DialogDisplayAvailable()) {
        progress = std::make_unique<HelperProgress>(options);
        events.progress = progress.get();
    }
    return SendReport(input, events);
}

}  // namespace crashlog
