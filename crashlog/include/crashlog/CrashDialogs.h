// The exception dialogs, seen from the processing pass.
//
// A crashed process must not run a GUI toolkit itself, so every dialog is
// shown by the helper program `crashlog-dialog`, which this client starts
// with posix_spawn and talks to over two pipes with a versioned protocol
// (`TDialogRequest` out, `TDialogResult` back).  A helper that cannot be
// started, dies, or stops answering never blocks the pass: the call returns
// after a bounded time as if the dialog were cancelled, with `warning` set.
//
// Start here: fill a `TDialogRequest` with `MakeDialogRequest` (texts and
// decision flags from the options), add the report pieces, call
// `ShowCrashDialog`, and act on the result's flags.  `TSendProgress` is the
// send-progress window.
//
// Finding the helper: $KESTAVO_CRASHLOG_DIALOG when set; else
// "crashlog-dialog" next to libcrashlog.so (or in its "dialog" subfolder,
// as in the build tree), else next to the running program.
//
// Thread-safety: one dialog at a time per process (the pass runs one at a
// time); the functions themselves keep no shared state except the list of
// helpers left serving the clipboard.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace crashlog {

class TCrashModuleOptions;

inline constexpr std::uint32_t kDialogProtocolVersion = 1;

// The dialog kinds of `DialogKind`, and the helper's other windows.
enum class TDialogKind : std::uint8_t {
    None = 0,
    MessageBox = 1,
    Classic = 2,
    Detailed = 3,
    Reproduce = 10,      // the steps-to-reproduce request
    Progress = 11,       // the send-progress window
    ResultMessage = 12,  // the send's result box: caption text 0, `message`
    Clipboard = 13,      // no window: `reportText` goes on the clipboard
};

// Everything a dialog shows and starts from.  Texts are already resolved
// (customized texts by index, %NAME% expanded), so the helper needs no
// options of its own.
struct TDialogRequest {
    TDialogKind kind = TDialogKind::None;
    std::map<int, std::string> texts;  // customized texts by index
    std::string message;               // the exception message to show
    bool beep = false;

    // Decision flags as the pass set them before the dialog.
    bool send = false;
    bool screenshot = false;
    bool terminateRequested = false;

    // What is offered.
    bool sendAvailable = false;
    bool screenshotAvailable = false;
    bool copyAvailable = false;
    bool showTerminateButton = false;  // more exceptions than the option asks for
    bool mailClientOnly = false;       // e-mail through the mail client and no web delivery
    bool forcedDetailed = false;

    std::uint16_t dialogFlags = 0;     // `DialogFlags`
    std::uint8_t logFlags = 0;         // `LogFlags` (module lists, CPU, reproduce request)
    std::uint8_t terminateAction = 0;  // `TerminateButtonAction`: 0 none, 1 terminate, 2 restart
    std::uint8_t firstTab = 0;
    std::uint32_t autoCloseSeconds = 0;
    std::string supportPage;
    std::string reproduceText;
    std::string userEmail;

    // The report: its text (for the clipboard and the e-mail line) and the
    // pieces of the detailed dialog's pages.  The HTML pieces, when given,
    // carry the report's colouring; plain text is coloured by the dialog.
    std::string reportText;
    std::string generalText, callStackText, modulesText, processesText, assemblerText, cpuText;
    std::string generalHtml, assemblerHtml, cpuHtml;

    // The X window of the program that the dialog stays above (0: none known).
    std::uint64_t parentWindow = 0;
    // Progress window only: modal (centred, kept in front) or background.
    bool modal = true;
    // Result box only: the error icon instead of the information icon.
    bool errorIcon = false;
};

// What the user decided.
struct TDialogResult {
    bool shown = false;  // a dialog was on screen
    bool send = false;
    bool screenshot = false;
    bool copy = false;
    bool terminateRequested = false;
    bool cancelled = false;
    bool customButton = false;                 // the custom button asked to close
    TDialogKind nextKind = TDialogKind::None;  // the classic dialog's link asks for Detailed
    std::uint16_t dialogFlags = 0;             // with the send/screenshot choices written back
    std::string userEmail;                     // set when a valid address was entered
    bool emailChanged = false;
    std::string reproduceText;

    // No display: the pass writes to the console instead.
    bool consoleFallback = false;
    // A failure the pass survives: empty, or "[GUI] ..." for `ceShowError`.
    std::string warning;
};

// Protocol frames: "KVOD", the version, the length and key/value records.
// Decoding never reads past the data; unknown keys are ignored.
std::string EncodeDialogRequest(const TDialogRequest& request);
bool DecodeDialogRequest(std::string_view frame, TDialogRequest& request,
                         std::string* error = nullptr);
std::string EncodeDialogResult(const TDialogResult& result);
bool DecodeDialogResult(std::string_view frame, TDialogResult& result,
                        std::string* error = nullptr);

// Low-level framing shared by both ends: `ReadFrame` waits at most
// `timeoutMs` for a whole frame (heartbeat frames, of type 'H', are skipped
// and restart the wait); returns false on time-out, end of file or damage.
// `frame` of `ReadFrame` is the whole frame, as the decoders take it.
bool WriteFrame(int fd, char type, std::string_view payload);
bool WriteEncodedFrame(int fd, std::string_view frame);
bool ReadFrame(int fd, int timeoutMs, char& type, std::string& frame);
// The payload of a frame read by `ReadFrame`.
std::string_view FramePayload(std::string_view frame);

// The request for a dialog of `kind` under `options`: the customized texts,
// the offered options and the flags as the pass sets them before a dialog.
// `exceptionCount` is the number of exceptions of this run (for the
// terminate button).
TDialogRequest MakeDialogRequest(const TCrashModuleOptions& options, TDialogKind kind,
                                 std::string message, int exceptionCount = 1,
                                 bool duplicateLogged = false);

// Fills the report text and the pages' pieces (plain and coloured) of a
// request from a whole report text.
void SetReportPieces(TDialogRequest& request, std::string_view reportText);

struct TDialogLaunch {
    std::string helperPath;          // empty: found as described above
    int heartbeatTimeoutMs = 10000;  // a helper silent this long is taken as hung
    int totalTimeoutMs = 30 * 60 * 1000;
};

// Shows the dialog and waits for the user's decision.  Never throws.
TDialogResult ShowCrashDialog(const TDialogRequest& request, const TDialogLaunch& launch = {});

// The whole dialog part of a processing pass: shows `request` (made by
// `MakeDialogRequest` with the report pieces set); when the classic dialog's
// link asks for the details, shows the detailed dialog, forced-detailed,
// with the choices made so far; after a detailed dialog asks for the steps
// to reproduce when the options want them (`ReproduceRequest`, no logged
// duplicate, the report is sent or `storeInLogFile`).  The result carries
// the final decision flags, the e-mail address and the reproduce text; a
// helper that failed leaves `warning` set and no further dialog is tried.
// The report copy to the clipboard is made by the helper itself.
TDialogResult RunExceptionDialogs(TDialogRequest request, bool storeInLogFile, bool duplicateLogged,
                                  const TDialogLaunch& launch = {});

// The send's result box: caption text 0 ("Information."), the options' text
// `textIndex` (144 sent, 145 failed, 146 the tracker closed the bug), the
// error icon when `ok` is false.
TDialogRequest MakeResultMessageRequest(const TCrashModuleOptions& options, int textIndex, bool ok);

// Shows the send's result box and returns once it is on screen: the helper
// keeps it there by itself until the user closes it (at most ten minutes),
// even after this process ended, so neither the send nor the end of a
// crashed program waits for the user.  `consoleFallback` without a display.
TDialogResult ShowResultMessage(const TCrashModuleOptions& options, int textIndex, bool ok,
                                const TDialogLaunch& launch = {});

// Puts `text` on the clipboard.  The clipboard of X belongs to a program
// that serves it, so a helper takes it and stays to serve it until another
// program takes the clipboard over (at most ten minutes).  `copy` is set on
// success; `consoleFallback` without a display (nothing to copy to);
// `warning` when the helper failed.
TDialogResult CopyTextToClipboard(const std::string& text, const TDialogLaunch& launch = {});

// Whether a display is there to show a dialog on: $DISPLAY or
// $WAYLAND_DISPLAY; the offscreen Qt platform only together with an
// explicitly named helper ($KESTAVO_CRASHLOG_DIALOG).
bool DialogDisplayAvailable();

// The helper program's path as found now; empty when there is none.
std::string FindDialogHelper();

// The send-progress window, for the report delivery.  Every call is a
// no-op once the helper is gone; nothing ever blocks longer than the
// launch's heartbeat time-out.
class TSendProgress {
  public:
    TSendProgress() = default;
    ~TSendProgress();
    TSendProgress(const TSendProgress&) = delete;
    TSendProgress& operator=(const TSendProgress&) = delete;

    // `request.kind` is set to Progress; texts 110 and 111 are used.
    bool Open(TDialogRequest request, const TDialogLaunch& launch = {});
    void SetStatus(std::string_view text);
    // "%s %d/%d: " with text 111, then the status.
    void SetStatus(std::string_view text, int current, int total);
    // Lower values than the current one are ignored.
    void SetProgress(int percent);
    void AddProgress(int delta);
    void Close();
    bool IsOpen() const { return pid_ > 0; }
    int Progress() const { return progress_; }

  private:
    void Send(char type, std::string_view payload);
    int pid_ = -1;
    int toHelper_ = -1;
    int fromHelper_ = -1;
    int progress_ = 0;
    std::string counterText_;
    int heartbeatTimeoutMs_ = 10000;
};

}  // namespace crashlog
