// Tarnwick: clears the breaks in a dentist's appointment book from a date on.
#include <exception>
#include <optional>

#include "app/application.h"
#include "app/uresetapp_cal.h"
#include "datamodule/Main_DataModules.h"
#include "platform/MessagePresenter.h"

namespace {

void ShowError(const QApplication& application, const QString& text) {
    kvo::platform::CurrentPresenter().ShowMessage(
        text.toStdString(), application.applicationDisplayName().toStdString(),
        kvo::platform::kMbError);
}

}  // namespace

int main(int argc, char** argv) {
    kvo::app::TApplication application(argc, argv);
    application.setApplicationName(QStringLiteral("Tarnwick"));
    application.setApplicationDisplayName(QStringLiteral("Tarnwick"));

    std::optional<QString> environmentData;
    if (qEnvironmentVariableIsSet("KESTAVO_DATA"))
        environmentData = qEnvironmentVariable("KESTAVO_DATA");
    kvo::datamodule::TFRM_Main_DataModules dataModule(application.arguments(), environmentData);
    if (!dataModule.Ready()) {
        // A refusal to start, not a failure: the suite's programs end with 0.
        ShowError(application, dataModule.RefusalMessage());
        return 0;
    }

    try {
        kvo::app::TForm1 form1;
        form1.show();
        return application.exec();
    } catch (const std::exception& e) {
        // The window could not be built (its user table would not open).
        ShowError(application, QString::fromUtf8(e.what()));
        return 1;
    }
}
