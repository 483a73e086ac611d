// The start-up data module: created before the main window, it points the
// engine's database KVO at the practice's tables.
//
// The practice is found from the command line ("--data DIR") or else the
// environment (KESTAVO_DATA); its tables live in DIR's "Data" subfolder.
// When neither names a folder, or the folder holds no practice, the module
// is not Ready() and RefusalMessage() says why: the program shows it and
// ends with exit code 0, as the suite's other refusals do.
#pragma once

#include <QObject>
#include <QStringList>
#include <optional>
#include <string>

namespace kvo::datamodule {

class TFRM_Main_DataModules : public QObject {
    Q_OBJECT
  public:
    // `arguments` as QCoreApplication::arguments() gives them (program
    // first); `environmentData` the value of KESTAVO_DATA, if set.
    TFRM_Main_DataModules(const QStringList& arguments,
                          const std::optional<QString>& environmentData, QObject* parent = nullptr);
    // Closes the database KVO again.
    ~TFRM_Main_DataModules() override;

    bool Ready() const { return refusal_.isEmpty(); }
    const QString& RefusalMessage() const { return refusal_; }
    // The practice's data folder and its tables' folder (empty when refused).
    const QString& DataFolder() const { return dataFolder_; }
    const QString& TablesFolder() const { return tablesFolder_; }

    // The data folder named by "--data DIR" / "--data=DIR", else by the
    // environment; nullopt when neither names one.  Raises nothing.
    static std::optional<QString> ChooseDataFolder(const QStringList& arguments,
                                                   const std::optional<QString>& environmentData);

  private:
    void FRM_DataModulesCreate(const QStringList& arguments,
                               const std::optional<QString>& environmentData);

    QString refusal_;
    QString dataFolder_;
    QString tablesFolder_;
    bool defined_ = false;
};

}  // namespace kvo::datamodule
