// Tarnwick: clears the breaks in a dentist's appointment book from a date on.
//
// Two environment switches serve scripted runs without anybody at the screen:
//   KESTAVO_UNATTENDED=1       every message box is written to stderr as
//                              "caption: text" and answered OK (No to a
//                              question); every selection dialog closes
//                              without OK.
//   KESTAVO_EXIT_AFTER_START=1 the program writes "shown: <caption> <w>x<h>"
//                              to stdout once the main window is up, and ends.
#include <QTimer>
#include <cstdio>
#include <exception>

#include "app/application.h"
#include "app/uresetapp_cal.h"
#include "common/Common.h"
#include "datamodule/Initialisation.h"
#include "datamodule/Main_DataModules.h"
#include "datamodule/Selection.h"
#include "platform/MessagePresenter.h"

namespace {

class TStderrPresenter : public kvo::platform::MessagePresenter {
  public:
    int ShowMessage(const std::string& text, const std::string& caption, int flags) override {
        std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
        std::fflush(stderr);
        return (flags & 0x0F) == kvo::platform::kMbYesNo ? kvo::platform::kIdNo
                                                         : kvo::platform::kIdOk;
    }
};

bool Switch(const char* name) {
    return qEnvironmentVariableIntValue(name) != 0;
}

}  // namespace

int main(int argc, char** argv) {
    // The shared library decides the product line and starts the start-up
    // log before anything else of the program runs.
    kvo::datamodule::InitialiseSharedLibrary();
    kvo::datamodule::InitialiseMainDataModulesUnit();

    kvo::app::TApplication application(argc, argv);
    // The name only: a display name would be appended by Qt to every window
    // title ("Kestavo — Tarnwick"), and each caption must read as given.
    // applicationDisplayName() still answers "Tarnwick" from the name.
    application.setApplicationName(QStringLiteral("Tarnwick"));

    TStderrPresenter stderrPresenter;
    kvo::datamodule::ScriptedSelectionDialogs closedDialogs;
    if (Switch("KESTAVO_UNATTENDED")) {
        kvo::platform::SetPresenter(&stderrPresenter);
        kvo::datamodule::SetSelectionDialogs(&closedDialogs);
    }

    // Defines the database KVO the window's tables name; a refusal ends the
    // process inside, with exit code 0.
    kvo::datamodule::TFRM_Main_DataModules dataModule;
    if (!dataModule.Ready()) return 0;

    try {
        kvo::app::TForm1 form1;
        form1.show();
        if (Switch("KESTAVO_EXIT_AFTER_START")) {
            QTimer::singleShot(0, &application, [&] {
                std::printf("shown: %s %dx%d\n", form1.windowTitle().toUtf8().constData(),
                            form1.width(), form1.height());
                std::fflush(stdout);
                application.quit();
            });
        }
        return application.exec();
    } catch (const std::exception& e) {
        // The window could not be built (its user table would not open).
        kvo::platform::CurrentPresenter().ShowMessage(
            e.what(), application.applicationDisplayName().toStdString(), kvo::platform::kMbError);
        return 1;
    }
}
