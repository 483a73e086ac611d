// The send sequence: temporary copies, the attachment archive, the e-mail
// and web routes with their events, keeping an unsent archive, clean-up.
#include <curl/curl.h>
#include <dirent.h>
#include <dlfcn.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zip.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <mutex>

#include "capture/CaptureInternal.h"
#include "crashlog/CrashLogFile.h"
#include "crashlog/CrashOptions.h"
#include "crashlog/CrashReport.h"
#include "crashlog/CrashSend.h"
#include "crashlog/CrashSockets.h"
#include "crashlog/CrashWebTools.h"
#include "report/ReportText.h"

extern char** environ;

namespace crashlog {

namespace {

using report::Trim;  // leading and trailing blanks and control characters

bool FileExists(const std::string& path) {
    struct stat st {};
    return !path.empty() && stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool WriteFile(const std::string& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << data;
    return bool(out.flush());
}

std::string BaseName(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string FolderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

std::string ReplaceExtension(const std::string& name, const std::string& ext) {
    const std::size_t dot = name.rfind('.');
    return (dot == std::string::npos ? name : name.substr(0, dot)) + ext;
}

// Deletes a file even when it was marked read-only.
void RemoveFile(const std::string& path) {
    if (path.empty()) return;
    chmod(path.c_str(), S_IRUSR | S_IWUSR);
    unlink(path.c_str());
}

// The subject, the body and the texts of the progress window and the result
// box name the report's variables: a send in the background is handed their
// values, since the next pass sets its own in the environment meanwhile.
class VariablesPin {
  public:
    explicit VariablesPin(const TVariableValues& values)
        : pinned_(!values.empty()), previous_(pinned_ ? SetThreadVariables(&values) : nullptr) {}
    ~VariablesPin() {
        if (pinned_) SetThreadVariables(previous_);
    }
    VariablesPin(const VariablesPin&) = delete;
    VariablesPin& operator=(const VariablesPin&) = delete;

  private:
    bool pinned_;
    const TVariableValues* previous_;
};

// The state of one send.
struct Send {
    const TSendInput& in;
    const TSendEvents& ev;
    const TCrashModuleOptions& o;
    std::string folder;  // the private folder
    std::string logCopy, xmlCopy, htmlCopy, zipPath, screenshot;
    std::vector<std::string> attachments;  // paths
    TSendResult result;
    bool trackerMessageShown = false;

    void Warn(TCrashLogErrorCode code, const std::string& text) {
        if (ev.warning) ev.warning(code, text);
    }
    std::string DisplayName(const std::string& path) const {
        return AttachmentDisplayName(BaseName(path), o.SendFlags(), in.computerName,
                                     in.exceptionTime);
    }
    void PrepareAttachments(bool forEmail);
    bool SendByEmail();
    bool SendToWeb();
};

void Send::PrepareAttachments(bool forEmail) {
    std::vector<std::string> list;
    const std::string& extra = o.ExtraAttachments();
    std::size_t start = 0;
    for (std::size_t i = 0; i <= extra.size(); ++i) {
        if (i == extra.size() || extra[i] == ';') {
            std::string part = Trim(std::string_view(extra).substr(start, i - start));
            if (!part.empty()) list.push_back(std::move(part));
            start = i + 1;
        }
    }
    if (!(forEmail && o.ReportInMessageBody())) list.push_back(logCopy);
    if (FileExists(screenshot)) list.push_back(screenshot);
    if (FileExists(htmlCopy)) list.push_back(htmlCopy);
    if (FileExists(xmlCopy)) list.push_back(xmlCopy);
    if (ev.attachedFiles) ev.attachedFiles(list);
    list.erase(std::remove_if(list.begin(), list.end(),
                              [](const std::string& p) { return !FileExists(p); }),
               list.end());
    if (!list.empty()) {
        RemoveFile(zipPath);
        std::vector<TZipEntry> entries;
        for (const std::string& p : list) {
            // The screenshot keeps its fixed name whatever file it came from.
            const std::string name = p == screenshot ? "Screenshot.png" : BaseName(p);
            entries.push_back(
                {p, AttachmentDisplayName(name, o.SendFlags(), in.computerName, in.exceptionTime)});
        }
        std::string error;
        if (!WriteZipArchive(zipPath, entries, o.ArchivePassword(), error))
            Warn(forEmail ? TCrashLogErrorCode::ceEmailSMTPError
                          : TCrashLogErrorCode::ceWebHTTPError,
                 "[ZIP] " + error);
    }
    attachments = {zipPath};
}

bool Send::SendByEmail() {
    bool execute = true;
    if (ev.action) ev.action(raBeforeSendEmail, execute);
    if (!execute) return false;
    bool ok = false;
    for (;;) {
        const int mode = o.MailMode();
        if (mode == 2 || mode == 3) {
            TSmtpRequest r;
            r.direct = mode == 3;
            r.directPort = in.directPort;
            r.sender = o.SmtpSender();
            r.server = o.SmtpServer();
            r.port = o.SmtpServerPort();
            r.login = o.SmtpLogin();
            r.password = o.SmtpAuthPassword();
            r.recipients = o.MailRecipients();
            r.subject = o.MailSubject();
            r.body = o.MailBody();
            if (o.ReportInMessageBody()) r.bodyTail = "\r\n\r\n\r\n" + in.reportText;
            for (const std::string& p : attachments)
                if (FileExists(p)) r.attachments.push_back({p, DisplayName(p)});
            r.dnsServers = in.dnsServers;
            if (ev.progress) {
                ev.progress->Open(!(o.SendFlags() & send_flags::SendInBackground));
                r.status = [&](int text, int cur, int total) {
                    ev.progress->Status(text, cur, total);
                };
                r.progress = [&](int percent) { ev.progress->Progress(percent); };
            }
            const TSmtpResult sr = SmtpSend(r);
            if (ev.progress) ev.progress->Close();
            result.smtpLogs.insert(result.smtpLogs.end(), sr.sessionLogs.begin(),
                                   sr.sessionLogs.end());
            if (!sr.error.empty()) Warn(TCrashLogErrorCode::ceEmailSMTPError, sr.error);
            ok = sr.ok;
        } else {
            // There is no Simple MAPI here: that route always fails as a
            // missing mail library does, and the mail client takes over.
            Warn(TCrashLogErrorCode::ceEmailMAPIError, "Cannot open the MAPI dll.");
            std::string error;
            ok = MailClientSend(
                in.mailClientCommand, o.MailRecipients(), ExpandVariables(o.MailSubject()),
                ExpandVariables(o.MailBody()) + "\r\n\r\n\r\n" + in.reportText, error);
            if (!ok) Warn(TCrashLogErrorCode::ceEmailShellError, error);
        }
        if (ok) break;
        bool retry = false;
        if (ev.error) ev.error(raAfterSendEmail, retry);
        if (!retry) break;
    }
    execute = true;
    if (ev.action) ev.action(raAfterSendEmail, execute);
    return ok;
}

bool Send::SendToWeb() {
    bool execute = true;
    if (ev.action) ev.action(raBeforeSendWeb, execute);
    if (!execute) return false;
    bool ok = false;
    for (;;) {
        const int mode = o.WebMode();
        const TWebAddress address = ParseWebAddress(o.WebAddress());
        TWebUpload u;
        u.host = address.host;
        u.port = o.WebServerPort() ? int(o.WebServerPort()) : address.port;
        u.path = address.path;
        u.login = o.WebLogin().empty() ? address.login : o.WebLogin();
        u.password = o.WebAuthPassword().empty() ? address.password : o.WebAuthPassword();
        u.https = mode == 2;
        u.caFile = in.caFile;
        if (!o.ProxyAddress().empty())
            u.proxy = {o.ProxyAddress(), int(o.ProxyServerPort()), o.ProxyLogin(),
                       o.ProxyAuthPassword()};
        for (const std::string& p : attachments)
            if (FileExists(p)) {
                u.paths.push_back(p);
                u.displayNames.push_back(DisplayName(p));
            }
        long long total = 0;
        if (ev.progress) {
            ev.progress->Open(!(o.SendFlags() & send_flags::SendInBackground));
            u.progress = [&](int status, long long value) {
                if (status == 0) {
                    total = value;
                    ev.progress->Status(114);
                    ev.progress->Progress(0);
                } else if (status == 1) {
                    ev.progress->Status(115);
                } else {
                    ev.progress->Status(116);
                    ev.progress->Progress(total ? int(std::min(value, total) * 100 / total) : 100);
                }
            };
        }
        TWebResult r;
        std::string route;
        TCrashLogErrorCode code = TCrashLogErrorCode::ceWebHTTPError;
        if (mode == 1 || mode == 2) {
            std::vector<std::string> fields;
            if (ev.customWebFields) ev.customWebFields(fields);
            u.customFields = fields;
            route = mode == 2 ? "HTTPS" : "HTTP";
            code = mode == 2 ? TCrashLogErrorCode::ceWebHTTPSError
                             : TCrashLogErrorCode::ceWebHTTPError;
            r = HttpUpload(u);
        } else if (mode == 3) {
            route = "FTP";
            code = TCrashLogErrorCode::ceWebFTPError;
            r = FtpUpload(u);
        } else {
            code = TCrashLogErrorCode::ceWebTrakerError;
            std::vector<std::string> fields;
            if (ev.customWebFields) ev.customWebFields(fields);
            const TCrashSystemValues system = GatherSystemValues();
            fields.push_back("FogBugzTrialID=" + o.TrackerExtraId());
            fields.push_back("CL_OSType=" + system.OsType);
            fields.push_back("CL_OSBuild=" + system.OsBuild);
            fields.push_back("CL_ReproduceText=" + o.ReproduceText());
            TTrackerRequest t;
            t.version = in.appVersion;
            t.bugType = in.bugType;
            t.bugText = in.bugText;
            t.bugId = in.bugId;
            t.address = o.WebAddress();
            t.proxy = u.proxy;
            t.login = o.TrackerLogin();
            t.password = o.TrackerAuthPassword();
            t.project = o.TrackerProject();
            t.category = o.TrackerCategory();
            t.assignee = o.TrackerAssignee();
            t.archive = u.paths.empty() ? std::string() : u.paths.front();
            t.customFields = fields;
            t.reproduceText = o.ReproduceText();
            t.caFile = in.caFile;
            int shown = 0;
            if (ev.progress)
                t.status = [&](int status, int value) {
                    static const int kTexts[] = {114, 115, 113, 118, 119, 120, 116, 117, 121, 122};
                    if (status < 0 || status > 9) return;
                    if (status != 6 || value == 0) ev.progress->Status(kTexts[status]);
                    if (status == 0)
                        shown = 5;
                    else if (status <= 5)
                        shown += 5;
                    else if (status == 6)
                        shown = std::max(shown, int(value * 0.65 + 35 + 0.5));
                    else
                        shown = 100;
                    ev.progress->Progress(shown);
                };
            THTTPResponse response;
            const int result = SubmitToTracker(mode, t, response);
            if (ev.progress) ev.progress->Close();
            if (result == trClosed && ev.resultMessage) {
                ev.resultMessage(146, true);
                trackerMessageShown = true;
            }
            ok = result == trSuccess || result == trClosed;
            if (!ok) Warn(code, TrackerFailureText(result, response));
            if (ok) break;
            bool retry = false;
            if (ev.error) ev.error(raAfterSendWeb, retry);
            if (!retry) break;
            continue;
        }
        if (ev.progress) ev.progress->Close();
        ok = r.code == 0;
        if (!ok) Warn(code, WebFailureText(route, r));
        if (ok) break;
        bool retry = false;
        if (ev.error) ev.error(raAfterSendWeb, retry);
        if (!retry) break;
    }
    execute = true;
    if (ev.action) ev.action(raAfterSendWeb, execute);
    return ok;
}

// Moves the archive into the log folder and keeps the ten highest-named
// archives there.
std::string KeepUnsent(const std::string& zipPath, const std::string& logFolder,
                       const std::string& displayName) {
    if (!FileExists(zipPath)) return {};
    mkdir(logFolder.c_str(), 0700);
    const std::string target = logFolder + "/" + displayName;
    if (rename(zipPath.c_str(), target.c_str()) != 0) {
        // Another file system: copy.
        std::ifstream src(zipPath, std::ios::binary);
        std::ofstream dst(target, std::ios::binary | std::ios::trunc);
        dst << src.rdbuf();
        if (!dst.flush()) return {};
    }
    std::vector<std::string> zips;
    if (DIR* d = opendir(logFolder.c_str())) {
        while (dirent* e = readdir(d)) {
            const std::string n = e->d_name;
            if (n.size() > 4 && n.compare(n.size() - 4, 4, ".zip") == 0) zips.push_back(n);
        }
        closedir(d);
    }
    std::sort(zips.begin(), zips.end());
    for (std::size_t i = 0; i + 10 < zips.size(); ++i)
        RemoveFile(logFolder + "/" + zips[i]);
    return target;
}

}  // namespace

std::string AttachmentDisplayName(const std::string& fileName, std::uint16_t sendFlags,
                                  const std::string& computerName, std::int64_t exceptionTime) {
    const std::size_t dot = fileName.rfind('.');
    std::string stem = dot == std::string::npos ? fileName : fileName.substr(0, dot);
    const std::string ext = dot == std::string::npos ? "" : fileName.substr(dot);
    if (sendFlags & send_flags::ComputerNameInFileName) stem += "__" + computerName;
    if (sendFlags & send_flags::DateInFileName) {
        const time_t t = exceptionTime ? time_t(exceptionTime) : time(nullptr);
        tm lt{};
        localtime_r(&t, &lt);
        char stamp[32];
        strftime(stamp, sizeof stamp, "%Y%m%d%H%M%S", &lt);
        stem += std::string("__") + stamp;
    }
    return stem + ext;
}

bool WriteZipArchive(const std::string& zipPath, const std::vector<TZipEntry>& entries,
                     const std::string& password, std::string& error) {
    int zerr = 0;
    zip_t* z = zip_open(zipPath.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &zerr);
    if (!z) {
        zip_error_t e;
        zip_error_init_with_code(&e, zerr);
        error = zip_error_strerror(&e);
        zip_error_fini(&e);
        return false;
    }
    for (const TZipEntry& entry : entries) {
        zip_source_t* src = zip_source_file(z, entry.path.c_str(), 0, -1);
        zip_int64_t index =
            src ? zip_file_add(z, entry.name.c_str(), src, ZIP_FL_OVERWRITE | ZIP_FL_ENC_UTF_8)
                : -1;
        if (index < 0) {
            if (src) zip_source_free(src);
            error = entry.path + ": " + zip_strerror(z);
            zip_discard(z);
            unlink(zipPath.c_str());
            return false;
        }
        zip_set_file_compression(z, zip_uint64_t(index), ZIP_CM_DEFLATE, 9);
        struct stat st {};
        if (stat(entry.path.c_str(), &st) == 0)
            zip_file_set_mtime(z, zip_uint64_t(index), st.st_mtime, 0);
        if (!password.empty() && zip_file_set_encryption(z, zip_uint64_t(index), ZIP_EM_TRAD_PKWARE,
                                                         password.c_str()) != 0) {
            error = zip_strerror(z);
            zip_discard(z);
            unlink(zipPath.c_str());
            return false;
        }
    }
    if (zip_close(z) != 0) {
        error = zip_strerror(z);
        zip_discard(z);
        unlink(zipPath.c_str());
        return false;
    }
    return true;
}

std::string MailToUrl(const std::string& recipients, const std::string& subject,
                      const std::string& body) {
    auto encode = [](const std::string& s) {
        std::string out;
        for (unsigned char c : s) {
            if (c == '-' || isalnum(c) || c >= 128) {
                out += char(c);
            } else {
                char hex[4];
                snprintf(hex, sizeof hex, "%%%02X", c);
                out += hex;
            }
        }
        return out;
    };
    return "mailto:" + recipients + "?Subject=" + encode(subject) + "&Body=" + encode(body);
}

bool MailClientSend(const std::string& command, const std::string& recipients,
                    const std::string& subject, const std::string& body, std::string& error) {
    const std::string url = MailToUrl(recipients, subject, body);
    std::vector<char*> argv{const_cast<char*>(command.c_str()), const_cast<char*>(url.c_str()),
                            nullptr};
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, command.c_str(), nullptr, nullptr, argv.data(), environ);
    if (rc != 0) {
        error = strerror(rc);
        return false;
    }
    // The mail handler normally hands the message to the client and ends;
    // one that never ends must not hold the send for ever.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(5);
    int status = 0;
    for (;;) {
        const pid_t w = waitpid(pid, &status, WNOHANG);
        if (w == pid) break;
        if (w < 0 || std::chrono::steady_clock::now() > deadline) {
            error = "The mail client did not finish.";
            return false;
        }
        usleep(20000);
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        error = "The mail client failed (exit status " +
                std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1) + ").";
        return false;
    }
    return true;
}

TSendResult SendReport(const TSendInput& in, const TSendEvents& ev) {
    // Never destroyed: a send in the background may still run at exit.
    static const auto* kDefaults = new TCrashModuleOptions();
    const TCrashModuleOptions& o = in.options ? *in.options : *kDefaults;
    const VariablesPin pin(in.variables);
    Send s{in, ev, o, {}, {}, {}, {}, {}, {}, {}, {}, false};
    const char* tmpEnv = getenv("TMPDIR");
    std::string root = !in.tempRoot.empty() ? in.tempRoot : (tmpEnv && *tmpEnv ? tmpEnv : "/tmp");
    std::string pattern = root + "/crashlog-send-XXXXXX";
    if (!mkdtemp(pattern.data())) {
        s.result.ok = false;
        s.Warn(o.MailMode() ? TCrashLogErrorCode::ceEmailSMTPError
                            : TCrashLogErrorCode::ceWebHTTPError,
               std::string("Cannot create the send folder: ") + strerror(errno));
        return s.result;
    }
    s.folder = pattern;
    const std::string logName =
        in.logFilePath.empty() ? std::string("BugReport.txt") : BaseName(in.logFilePath);
    s.logCopy = s.folder + "/" + logName;
    s.xmlCopy = s.folder + "/" + ReplaceExtension(logName, ".xml");
    s.htmlCopy = s.folder + "/LastHTMLPage.html";
    s.zipPath = s.folder + "/BugReport.zip";
    try {
        std::string text = in.reportText;
        if (text.size() < 6 || text.compare(text.size() - 6, 6, "\r\n\r\n\r\n") != 0)
            text += "\r\n\r\n\r\n";
        WriteFile(s.logCopy, text);
        if (o.SendFlags() & send_flags::AttachScreenshot) {
            s.screenshot = in.screenshotPath;
            if (s.screenshot.empty() && in.writeScreenshot) {
                const std::string path = s.folder + "/Screenshot.png";
                if (in.writeScreenshot(path)) s.screenshot = path;
            }
        }
        if ((o.SendFlags() & send_flags::AttachLastHtmlPage) && !in.lastHtmlPage.empty())
            WriteFile(s.htmlCopy, in.lastHtmlPage);
        if (o.SendFlags() & send_flags::AttachXmlCopy) {
            TLogFile copy(s.logCopy, true);
            copy.SetPassword(in.debugPassword);
            WriteFile(s.xmlCopy, copy.XmlText());
        }
        bool ok = true;
        if (o.MailMode() != 0) {
            s.PrepareAttachments(true);
            ok = s.SendByEmail();
        }
        if (o.WebMode() != 0) {
            if (o.MailMode() == 0 || o.ReportInMessageBody()) s.PrepareAttachments(false);
            ok = s.SendToWeb() && ok;
        }
        s.result.ok = ok;
        if (!ok && (o.BehaviourFlags() & behaviour_flags::ClipboardOnSendFailure) &&
            ev.copyToClipboard)
            ev.copyToClipboard(in.reportText);
        if ((o.SendFlags() & send_flags::SendResultMessage) && !s.trackerMessageShown &&
            ev.resultMessage)
            ev.resultMessage(ok ? 144 : 145, ok);
        if ((o.BehaviourFlags() & behaviour_flags::KeepUnsentReport) && !ok &&
            !in.logFilePath.empty())
            s.result.keptArchive =
                KeepUnsent(s.zipPath, FolderOf(in.logFilePath), s.DisplayName(s.zipPath));
    } catch (const std::exception& e) {
        s.result.ok = false;
        s.Warn(o.MailMode() ? TCrashLogErrorCode::ceEmailSMTPError
                            : TCrashLogErrorCode::ceWebHTTPError,
               std::string("[Send] ") + e.what());
    }
    RemoveFile(s.zipPath);
    RemoveFile(s.xmlCopy);
    if (!in.isCgi) RemoveFile(s.htmlCopy);
    RemoveFile(s.logCopy);
    // Anything a handler dropped into the folder goes with it.
    if (DIR* d = opendir(s.folder.c_str())) {
        while (dirent* e = readdir(d)) {
            const std::string n = e->d_name;
            if (n != "." && n != "..") RemoveFile(s.folder + "/" + n);
        }
        closedir(d);
    }
    rmdir(s.folder.c_str());
    return s.result;
}

// ---- background sending ----------------------------------------------------------------

namespace {

using PthreadCreateFn = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

// The crash hooks see every thread the program creates, register it (so that
// a pass reports it and may pause it) and report what it raises.  The
// library's own threads stay out of that: like the pass worker, which starts
// before the hooks, a send thread is started past the hook (with the
// function the hook itself hands on to), and marks itself as the library's
// for the raise and fault hooks.  While the library is passive the hook
// passes everything on anyway, and whatever else watches thread creation
// (a sanitizer's run-time) sees the thread as usual.
int StartOwnThread(pthread_t* thread, void* (*start)(void*), void* arg) {
    static const auto next = reinterpret_cast<PthreadCreateFn>(dlsym(RTLD_NEXT, "pthread_create"));
    const PthreadCreateFn create = capture::Active() && next ? next : &pthread_create;
    return create(thread, nullptr, start, arg);
}

thread_local bool tOnSendThread = false;

// The sends nobody owns.  Never destroyed: a send may still run while the
// process's static objects go.
struct InFlight {
    std::mutex m;
    std::condition_variable cv;
    int running = 0;
    // The process that started them: a forked child has none of its
    // threads and must not wait for them.
    std::atomic<pid_t> owner{0};
};

InFlight& Flight() {
    static auto* flight = new InFlight;
    return *flight;
}

void WaitAtExit() {
    WaitForBackgroundSends(kBackgroundSendWaitMs);
}

}  // namespace

struct TSendThread::Shared {
    TSendInput input;
    std::unique_ptr<TCrashModuleOptions> options;
    TSendEvents events;
    TSendResult result;
    bool counted = false;  // one of the sends in flight
    pthread_t thread{};
    bool started = false;
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
};

namespace {

void* RunSend(void* arg) {
    // The thread's own reference: the object that started it may go first.
    std::shared_ptr<TSendThread::Shared> shared(
        std::move(*static_cast<std::shared_ptr<TSendThread::Shared>*>(arg)));
    delete static_cast<std::shared_ptr<TSendThread::Shared>*>(arg);
    capture::Snapshot().LibraryThread = true;
    tOnSendThread = true;
    TSendResult result;
    try {
        result = SendReport(shared->input, shared->events);
    } catch (...) {
        // SendReport does not throw; an event handler might.
        result.ok = false;
    }
    // What the events hold (copies of a pass's record) goes with the send.
    shared->events = {};
    {
        std::lock_guard<std::mutex> lock(shared->m);
        shared->result = std::move(result);
        shared->done = true;
    }
    shared->cv.notify_all();
    if (shared->counted) {
        InFlight& flight = Flight();
        {
            std::lock_guard<std::mutex> lock(flight.m);
            --flight.running;
        }
        flight.cv.notify_all();
    }
    return nullptr;
}

std::shared_ptr<TSendThread::Shared> MakeShared(const TSendInput& input, TSendEvents events) {
    auto shared = std::make_shared<TSendThread::Shared>();
    // The caller frees its options when it returns: the thread works on
    // its own copy.
    if (input.options) {
        shared->options = std::make_unique<TCrashModuleOptions>(input.options->OwnerModuleName());
        shared->options->Assign(input.options);
    }
    shared->input = input;
    shared->input.options = shared->options.get();
    shared->events = std::move(events);
    return shared;
}

bool Launch(const std::shared_ptr<TSendThread::Shared>& shared, bool detached) {
    auto* arg = new std::shared_ptr<TSendThread::Shared>(shared);
    pthread_t thread{};
    if (StartOwnThread(&thread, &RunSend, arg) != 0) {
        delete arg;
        return false;
    }
    if (detached)
        pthread_detach(thread);
    else
        shared->thread = thread;
    shared->started = true;
    return true;
}

}  // namespace

TSendThread::TSendThread(const TSendInput& input, TSendEvents events)
    : shared_(MakeShared(input, std::move(events))) {
    if (!Launch(shared_, false)) {
        shared_->events = {};
        shared_->result.ok = false;
        shared_->done = true;
    }
}

TSendThread::~TSendThread() {
    if (shared_->started) pthread_join(shared_->thread, nullptr);
}

bool TSendThread::Started() const {
    return shared_->started;
}

bool TSendThread::Wait(int timeoutMs) {
    std::unique_lock<std::mutex> lock(shared_->m);
    return shared_->cv.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                [&] { return shared_->done; });
}

const TSendResult& TSendThread::Result() const {
    return shared_->result;
}

bool StartBackgroundSend(const TSendInput& input, TSendEvents events) {
    auto shared = MakeShared(input, std::move(events));
    shared->counted = true;
    InFlight& flight = Flight();
    static std::once_flag registered;
    // Exit handlers run last registered first, and the wait must come
    // before any clean-up of what a send uses.  Registered with the first
    // send, it follows the objects its events may call into; the transfer
    // and TLS libraries register their clean-up when they are first set up
    // (the archive's random names and the web routes use them), which would
    // otherwise happen on the send thread, after the wait was registered.
    std::call_once(registered, [] {
        curl_global_init(CURL_GLOBAL_DEFAULT);
        std::atexit(&WaitAtExit);
    });
    {
        std::lock_guard<std::mutex> lock(flight.m);
        if (flight.owner.load() != getpid()) {
            flight.owner.store(getpid());
            flight.running = 0;
        }
        ++flight.running;
    }
    if (Launch(shared, true)) return true;
    {
        std::lock_guard<std::mutex> lock(flight.m);
        --flight.running;
    }
    flight.cv.notify_all();
    return false;
}

bool WaitForBackgroundSends(int timeoutMs) {
    InFlight& flight = Flight();
    if (tOnSendThread || flight.owner.load() != getpid()) return true;
    std::unique_lock<std::mutex> lock(flight.m);
    return flight.cv.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [&] { return flight.running == 0; });
}

int BackgroundSendsRunning() {
    InFlight& flight = Flight();
    if (flight.owner.load() != getpid()) return 0;
    std::lock_guard<std::mutex> lock(flight.m);
    return flight.running;
}

}  // namespace crashlog
