// crashlog-send-and-exit <port> [how]: a report goes out in the background
// to the SMTP server on 127.0.0.1:<port>, and the program ends at once, in
// one of these ways:
//   return     (default) a caught exception is handed to the crash library,
//              then main returns; prints how many sends were still running
//   terminate  the same, with a filter that has the pass end the program
//   uncaught   an exception nobody catches
// Exit status 3: the library is passive here (a build without library data).
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "crashlog/CrashMain.h"
#include "crashlog/CrashOptions.h"
#include "crashlog/CrashSend.h"

using namespace crashlog;

int main(int argc, char** argv) {
    TCrashModuleOptionsEx* options = CurrentCrashLogOptions();
    if (!options) return 3;
    if (argc < 2) return 2;
    options->SetMailMode(2);
    options->SetSmtpServer("127.0.0.1");
    options->SetSmtpServerPort(static_cast<std::uint16_t>(std::atoi(argv[1])));
    options->SetSmtpSender("bugs@example.test");
    options->SetMailRecipients("dev@example.test");
    options->SetMailSubject("Sent on the way out");
    options->SetSendFlags(send_flags::SendInBackground);
    options->SetDialogKind(0);
    options->SetStoreInLogFile(false);
    options->SetRepeatAction(0);
    const std::string how = argc > 2 ? argv[2] : "return";
    if (how == "uncaught") throw std::runtime_error("reported just before the end");
    if (how == "terminate") {
        TCrashExceptionFilter filter;
        filter.ClassName = "std::runtime_error";
        filter.FinalAction = 1;
        options->Filters().Add(filter);
    }
    try {
        throw std::runtime_error("reported just before the end");
    } catch (...) {
        HandleCurrentException();
    }
    std::printf("running %d\n", BackgroundSendsRunning());
    return 0;
}
