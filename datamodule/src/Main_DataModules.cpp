#include "datamodule/Main_DataModules.h"

#include <QDir>
#include <QFileInfo>

#include "engine/engine.h"

namespace kvo::datamodule {

using engine::EDBEngineError;
using engine::Session;
using engine::TTable;

std::optional<QString> TFRM_Main_DataModules::ChooseDataFolder(
    const QStringList& arguments, const std::optional<QString>& environmentData) {
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        if (argument == QLatin1String("--data")) {
            // A trailing "--data" names nothing; it must not fall back silently.
            if (i + 1 >= arguments.size() || arguments[i + 1].isEmpty()) return std::nullopt;
            return arguments[i + 1];
        }
        if (argument.startsWith(QLatin1String("--data="))) {
            const QString folder = argument.mid(7);
            if (folder.isEmpty()) return std::nullopt;
            return folder;
        }
    }
    if (environmentData && !environmentData->isEmpty()) return environmentData;
    return std::nullopt;
}

TFRM_Main_DataModules::TFRM_Main_DataModules(const QStringList& arguments,
                                             const std::optional<QString>& environmentData,
                                             QObject* parent)
    : QObject(parent) {
    setObjectName(QStringLiteral("FRM_Main_DataModules"));
    FRM_DataModulesCreate(arguments, environmentData);
}

TFRM_Main_DataModules::~TFRM_Main_DataModules() {
    if (defined_) {
        try {
            Session().Database("KVO").Close();
        } catch (...) {
            // Closing at exit has nobody left to tell.
        }
    }
}

void TFRM_Main_DataModules::FRM_DataModulesCreate(const QStringList& arguments,
                                                  const std::optional<QString>& environmentData) {
    const auto folder = ChooseDataFolder(arguments, environmentData);
    if (!folder) {
        refusal_ = QStringLiteral(
            "No practice data folder was given.\n"
            "Start the program with --data DIR or set KESTAVO_DATA to the practice's data "
            "folder.");
        return;
    }
    const QString data = QDir::cleanPath(*folder);
    const QString tables = QDir(data).filePath(QStringLiteral("Data"));
    // Checked before the engine sees the folder: opening a missing database
    // would create an empty one there.
    if (!QFileInfo(QDir(tables).filePath(QString::fromLatin1(engine::kDatabaseFileName)))
             .isFile()) {
        refusal_ = QStringLiteral("The folder \"%1\" holds no practice data.").arg(data);
        return;
    }
    try {
        auto& database = Session().Database("KVO");
        database.Close();
        database.Params() = {"PATH=" + tables.toStdString()};
        database.Open();
        defined_ = true;
        TTable users;
        users.SetDatabaseName("KVO");
        users.SetTableName("USER");
        if (!users.Exists()) {
            refusal_ = QStringLiteral("The folder \"%1\" holds no practice data.").arg(data);
            return;
        }
    } catch (const EDBEngineError& e) {
        refusal_ = QStringLiteral("The practice data in \"%1\" cannot be opened:\n%2")
                       .arg(data, QString::fromStdString(e.what()));
        return;
    }
    dataFolder_ = data;
    tablesFolder_ = tables;
}

}  // namespace kvo::datamodule
