#include "mainformplugin.h"

#include "demomainwindow.h"
#include "unattendedrun.h"
#include "upgradecontroller.h"

#include "platform/solutionsdir.h"

#include <QApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>

#include <cstdlib>
#include <memory>

namespace {

const char AutoCloseVariable[] = "TARVEX_SAMPLE_AUTOCLOSE_MS";
const char UnattendedVariable[] = "TARVEX_DEMO_UNATTENDED";
const char RunRecordVariable[] = "TARVEX_DEMO_RUN_RECORD";

QString outcomeOfResult(int nResult)
{
    switch (nResult) {
    case CDemoMainWindow::ResultRestart: return QStringLiteral("restart");
    case CDemoMainWindow::ResultUpgrade: return QStringLiteral("handed-over");
    case CDemoMainWindow::ResultReload: return QStringLiteral("reload");
    default: return QStringLiteral("closed");
    }
}

// One complete line per run, so that a reader that polls the file while
// later runs append to it never sees half a record.
void recordRun(const QString &strArguments, const QVector<ModuleVersion> &vecInstalled, bool isUnattended,
               int nResult, const QString &strOutcome)
{
    const QString path = qEnvironmentVariable(RunRecordVariable);
    if (path.isEmpty())
        return;
    QJsonArray installed;
    for (const ModuleVersion &module : vecInstalled)
        installed.append(QJsonObject{{QStringLiteral("id"), module.strId},
                                     {QStringLiteral("version"), module.strVersion}});
    const QJsonObject record{{QStringLiteral("pid"), QCoreApplication::applicationPid()},
                             {QStringLiteral("arguments"), strArguments},
                             {QStringLiteral("unattended"), isUnattended},
                             {QStringLiteral("installed"), installed},
                             {QStringLiteral("result"), nResult},
                             {QStringLiteral("outcome"), strOutcome}};
    QFile file(QDir(QCoreApplication::applicationDirPath()).absoluteFilePath(path));
    const QByteArray line = QJsonDocument(record).toJson(QJsonDocument::Compact) + '\n';
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append) || file.write(line) != line.size())
        qWarning() << "record run in" << file.fileName() << "failed:" << file.errorString();
}

} // namespace

int MainFormPlugin::Run(const std::string &strArgs)
{
    const QString args = QString::fromLocal8Bit(strArgs.c_str(), int(strArgs.size()));
    printStep(QStringLiteral("Run(\"%1\")").arg(args));
    qInfo() << "demo main form started with" << args;

    const QString solutionInfoPath = QCoreApplication::applicationDirPath() + QLatin1Char('/')
            + QGetSolutionsDirPath() + QLatin1String("SolutionInfo.xml");
    // A release built to fail (the demo's --crashing-release ships this
    // file): the upgrader must notice and bring the previous version back.
    if (QFileInfo::exists(QFileInfo(solutionInfoPath).absolutePath() + QLatin1String("/crash-at-start"))) {
        printStep(QStringLiteral("this release crashes at start"));
        std::abort();
    }
    int result = 0;
    QString outcome;
    const bool isUnattended = qEnvironmentVariableIntValue(UnattendedVariable) == 1;
    QVector<ModuleVersion> vecInstalledAtStart;
    {
        CUpgradeController controller(solutionInfoPath);
        controller.readInstalledModules();
        vecInstalledAtStart = controller.installedModules();

        CDemoMainWindow window(&controller, args);
        QObject::connect(&window, &CDemoMainWindow::resultChosen, &window, [](int nResult) {
            printStep(QStringLiteral("button pressed, returning %1").arg(nResult));
            QApplication::exit(nResult);
        });

        std::unique_ptr<CUnattendedRun> unattended;
        if (isUnattended) {
            unattended.reset(new CUnattendedRun(&controller));
            QObject::connect(unattended.get(), &CUnattendedRun::finished, &window,
                             [](int nResult) { QApplication::exit(nResult); });
            unattended->start();
        } else {
            bool autoCloseSet = false;
            const int autoCloseMs = qEnvironmentVariableIntValue(AutoCloseVariable, &autoCloseSet);
            if (autoCloseSet && autoCloseMs >= 0) {
                printStep(QStringLiteral("closing by itself after %1 ms").arg(autoCloseMs));
                QTimer::singleShot(autoCloseMs, &window, [autoCloseMs] {
                    printStep(QStringLiteral("%1 ms passed, closing").arg(autoCloseMs));
                    QApplication::exit(0);
                });
            }
        }

        window.show();
        // Closing the window ends the loop with 0 as well.
        result = QApplication::exec();

        // The engine's thread must be gone before the launcher unloads us.
        controller.shutdown();
        outcome = unattended && unattended->isFinished() ? unattended->outcome() : outcomeOfResult(result);
    }

    recordRun(args, vecInstalledAtStart, isUnattended, result, outcome);
    printStep(QStringLiteral("Run returns %1").arg(result));
    // The launcher's tests look for this line in the print log.
    qInfo() << "sample main form returns" << result;
    return result;
}
