// Delivery of a bug report to the developers: by e-mail (the user's mail
// client, the library's own SMTP client, or direct delivery to the
// recipients' mail exchangers) and to the web (HTTP/HTTPS form upload, FTP
// upload).  `SendReport` runs the whole send for one report; the pass
// calls it after the report is in the log file, so whatever happens here
// the report is kept.
//
// The files of one send (the report copy, the XML copy, the last HTML page
// and "BugReport.zip") live in a private folder made for that send and are
// deleted with it; nothing is written under a predictable name in the
// shared temporary folder.
//
// Outcomes go to the caller's callbacks: the action events 4..7 (before and
// after e-mail and web), the error events 5 and 7 (a handler may ask for a
// retry), and warnings (`ceEmailMAPIError` ... `ceWebFTPError`) with their
// texts.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "crashlog/CrashTypes.h"

namespace crashlog {

class TCrashModuleOptions;

// The send-progress window as the delivery drives it.  Texts are given by
// their index in the options' customized texts (112 "Resolving DNS...",
// 114 "Connecting with server...", 115, 116 ...).
class TSendProgressSink {
  public:
    virtual ~TSendProgressSink() = default;
    virtual void Open(bool /*modal*/) {}
    // `total` 0: no recipient counter.
    virtual void Status(int /*textIndex*/, int /*current*/ = 0, int /*total*/ = 0) {}
    virtual void Progress(int /*percent*/) {}
    virtual void Close() {}
};

struct TSendEvents {
    std::function<void(int action, bool& execute)> action;
    std::function<void(int action, bool& retry)> error;
    std::function<void(TCrashLogErrorCode code, const std::string& text)> warning;
    std::function<void(std::vector<std::string>& files)> attachedFiles;
    std::function<void(std::vector<std::string>& lines)> customWebFields;
    // The result message box: text index 144 (sent) or 145 (failed).
    std::function<void(int textIndex, bool ok)> resultMessage;
    std::function<void(const std::string& text)> copyToClipboard;
    TSendProgressSink* progress = nullptr;
};

struct TSendInput {
    const TCrashModuleOptions* options = nullptr;
    std::string reportText;
    std::string logFilePath;     // its name names the copies; its folder keeps unsent archives
    std::string screenshotPath;  // empty: none was taken
    // Writes the captured screen as PNG to the path given (in the send's
    // folder) when no `screenshotPath` is given; false: no screenshot.
    std::function<bool(const std::string& path)> writeScreenshot;
    std::string lastHtmlPage;  // empty: none
    // The report's module's debug-data password: the XML copy deciphers the
    // names the report could not with it.  Empty: none.
    std::string debugPassword;
    bool isCgi = false;
    std::string computerName;
    std::int64_t exceptionTime = 0;  // unix seconds; 0: now
    // What a tracker entry is made of.
    std::string appVersion, bugType, bugText, bugId;
    // Where the send's private folder is made; empty: $TMPDIR or /tmp.
    std::string tempRoot;
    // For tests and private set-ups.
    std::vector<std::string> dnsServers;  // empty: the system's
    int directPort = 25;
    std::string caFile;  // an extra trusted authority for HTTPS
    std::string mailClientCommand = "xdg-email";
    // The values the option texts' variables take during the send, in
    // place of the environment's (see SetThreadVariables); empty: the
    // environment's.
    std::vector<std::pair<std::string, std::string>> variables;
};

struct TSendResult {
    bool ok = true;
    std::string keptArchive;  // where an unsent archive was kept
    std::vector<std::string> smtpLogs;
    // The send went on in the background: its outcome is not known yet, so
    // `ok` says nothing (it is false until then).
    bool background = false;
};

// The whole send.  Never throws; the temporary files are gone when it
// returns.
TSendResult SendReport(const TSendInput& input, const TSendEvents& events);

// "BugReport.zip" -> "BugReport__PC1__20070131142502.zip" as the send flags
// ask (computer name first).
std::string AttachmentDisplayName(const std::string& fileName, std::uint16_t sendFlags,
                                  const std::string& computerName, std::int64_t exceptionTime);

struct TZipEntry {
    std::string path;
    std::string name;  // the name inside the archive
};
// Writes a fresh archive: deflate level 9, each entry's time its file's,
// traditional PKWARE encryption when `password` is not empty.  False with
// `error` set on failure (no partial archive is left).
bool WriteZipArchive(const std::string& zipPath, const std::vector<TZipEntry>& entries,
                     const std::string& password, std::string& error);

// The mail-client route: "mailto:" URL with subject and body handed to
// `command` (xdg-email).  True when the command ran and exited with 0.
bool MailClientSend(const std::string& command, const std::string& recipients,
                    const std::string& subject, const std::string& body, std::string& error);
// "mailto:" + recipients + "?Subject=" + encoded + "&Body=" + encoded.
std::string MailToUrl(const std::string& recipients, const std::string& subject,
                      const std::string& body);

// Runs `SendReport` on a thread of its own over copies of the input and the
// options, so the caller's objects may change or go as soon as the
// constructor returns; what `events` hold is kept until the send ends.  The
// thread is one of the library's own: the crash hooks neither report nor
// pause it, and it is not in the thread list of a bug report.  Events are
// called on that thread.
class TSendThread {
  public:
    TSendThread(const TSendInput& input, TSendEvents events);
    ~TSendThread();  // waits for the send
    TSendThread(const TSendThread&) = delete;
    TSendThread& operator=(const TSendThread&) = delete;
    // False when the thread could not be started (the send did not run).
    bool Started() const;
    // False when it is still running after `timeoutMs`.
    bool Wait(int timeoutMs);
    // Valid once `Wait` returned true.
    const TSendResult& Result() const;

    struct Shared;

  private:
    std::shared_ptr<Shared> shared_;
};

// How long the end of the process waits for sends still running: a bound
// of last resort, since every network step has a time-out of its own.
inline constexpr int kBackgroundSendWaitMs = 10 * 60 * 1000;

// Starts a `TSendThread` that nobody owns: it ends by itself.  Until it has,
// the process does not end silently without it: a normal exit waits for it
// (`WaitForBackgroundSends` runs at exit), and so must every other way the
// library ends the process.  False when no thread could be started; the
// caller then sends in line.
bool StartBackgroundSend(const TSendInput& input, TSendEvents events);

// Waits until every send started by `StartBackgroundSend` in this process
// has ended, at most `timeoutMs`; true when none is left.  Returns at once
// on a send thread (an event handler that ends the process must not wait
// for itself) and in a child process forked while a send ran.
bool WaitForBackgroundSends(int timeoutMs = kBackgroundSendWaitMs);
// The sends started by `StartBackgroundSend` that have not ended yet.
int BackgroundSendsRunning();

}  // namespace crashlog
