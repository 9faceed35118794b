// tarvex-upgrade: the upgrade engine on the command line, working on the
// installation that the program stands in.

#include "clioptions.h"
#include "installationcommands.h"
#include "installguard.h"
#include "progressdisplay.h"
#include "report.h"
#include "servercommands.h"
#include "stopsignalnotifier.h"
#include "trustcommands.h"
#include "upgradecommand.h"

#include "platform/solutionsdir.h"
#include "upgrade/cupgrade.h"
#include "upgrade/transaction/installlock.h"

#include <QCoreApplication>
#include <QDir>
#include <QLoggingCategory>
#include <QTimer>

#include <cstdio>

namespace {

void printOut(const QString &text)
{
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
}

void printErr(const QString &text)
{
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    std::fflush(stderr);
}

void printJson(const CommandReport &report)
{
    const QByteArray json = reportToJson(report);
    std::fwrite(json.constData(), 1, size_t(json.size()), stdout);
    std::fflush(stdout);
}

// What to do about a failure, where the result code alone does not say it.
QString nextStep(UpgradeOpError result)
{
    switch (result) {
    case UPGRADE_OP_READ_SERVER_CFG_FAILED:
        return QStringLiteral("; write the server list with \"tarvex-upgrade servers write --server NAME=HOST[:PORT] "
                              "--current NAME --prefix PREFIX --path PATH --key KEY\"");
    case UPGRADE_OP_RELEASE_NOT_TRUSTED:
        return QStringLiteral("; the log above says which check failed, \"tarvex-upgrade trust show\" lists the "
                              "trusted keys");
    default:
        return QString();
    }
}

QString defaultSolutionInfoPath()
{
    return QCoreApplication::applicationDirPath() + QLatin1Char('/') + QGetSolutionsDirPath()
        + QLatin1String("SolutionInfo.xml");
}

int runCheck(const CliOptions &options)
{
    CUpgrade upgrade;
    CUpgradeCommand command(&upgrade);
    const CommandReport report = command.check(options.strSolutionInfoPath);
    if (options.isJson) {
        printJson(report);
    } else if (report.result == UPGRADE_OP_SUCCESS) {
        printOut(needUpgradeText(report) + heldBackText(upgrade.appDir(), report) + notesText(report));
    } else {
        printErr(QStringLiteral("tarvex-upgrade: check failed: %1%2\n")
                     .arg(resultText(report.result), nextStep(report.result)));
    }
    return report.result;
}

int runDownload(const CliOptions &options)
{
    CUpgrade upgrade;
    DownloadPolicy policy = upgrade.downloadPolicy();
    policy.readEnvironment();
    if (options.llLimitRate > 0)
        policy.llMaxBytesPerSec = options.llLimitRate;
    upgrade.setDownloadPolicy(policy);
    CUpgradeCommand command(&upgrade);
    CProgressDisplay progress(stdout);
    // Ctrl+C, kill and a closed terminal alike stop the download cleanly:
    // the bytes received are kept for the next one, Tmp/ and the lock go.
    CStopSignalNotifier stopSignals(CStopSignalNotifier::SecondSignalEnds);

    // The engine's signals carry percent in coarse steps; the bytes in hand
    // give the speed and the time left between them.
    QTimer speedTimer;
    qint64 llTotal = 0;
    if (!options.isJson && progress.isTerminal()) {
        QObject::connect(&command, &CUpgradeCommand::checkFinished, [&](const CommandReport &report) {
            for (const ModuleVersion &module : report.vecNeedUpgrade)
                llTotal += module.llPacketBytes >= 0 ? module.llPacketBytes
                                                  : qint64(qBound(0.0, module.dSize, 1e9) * 1024.0 * 1024.0);
            speedTimer.start(500);
        });
        QObject::connect(&speedTimer, &QTimer::timeout, [&] { progress.setBytes(upgrade.bytesInHand(), llTotal); });
    }

    QObject::connect(&stopSignals, &CStopSignalNotifier::stopRequested, &command, [&](int nSignal) {
        if (!options.isJson) {
            progress.finish();
            printErr(QStringLiteral("Stopping the download on %1 (a second one ends it at once)...\n")
                         .arg(CStopSignalNotifier::signalName(nSignal)));
        }
        command.requestStop();
    });
    if (!options.isJson) {
        QObject::connect(&command, &CUpgradeCommand::checkFinished, [](const CommandReport &report) {
            printOut(needUpgradeText(report));
        });
        QObject::connect(&command, &CUpgradeCommand::progressChanged, [&progress](int nProgress) {
            progress.setProgress(nProgress);
        });
    }

    const CommandReport report = command.download(options.strSolutionInfoPath);
    speedTimer.stop();
    progress.finish();

    if (options.isJson) {
        printJson(report);
    } else if (report.result == UPGRADE_OP_SUCCESS) {
        printOut(packetsText(report));
        printOut(QStringLiteral("The upgrade is staged in %1; \"tarvex-upgrade apply\" installs it.\n")
                     .arg(QDir::toNativeSeparators(upgrade.tmpDir())));
    } else if (report.result == UPGRADE_OP_NO_MODULE_NEED_UPDATE) {
        // The list printed after the check has said so.
    } else if (command.isStopRequested()) {
        printErr(QStringLiteral("tarvex-upgrade: download stopped: %1\n").arg(resultText(report.result)));
    } else {
        printErr(QStringLiteral("tarvex-upgrade: download failed: %1%2\n")
                     .arg(resultText(report.result), nextStep(report.result)));
    }
    return report.result;
}

int runApply(const CliOptions &options)
{
    CUpgrade upgrade;
    CUpgradeCommand command(&upgrade);
    // Cut short, an apply would leave the installation half old, half new:
    // Ctrl+C, kill and a closed terminal only tell to wait.
    CStopSignalNotifier stopSignals(CStopSignalNotifier::EverySignalCaught);
    QObject::connect(&stopSignals, &CStopSignalNotifier::stopRequested, [] {
        printErr(QStringLiteral("The upgrade is being applied and cannot be stopped; it ends shortly.\n"));
    });

    const CommandReport report = command.apply();
    if (options.isJson) {
        printJson(report);
    } else if (report.result == UPGRADE_OP_SUCCESS) {
        printOut(QStringLiteral("The upgrade is applied.\n"));
    } else if (report.result == UPGRADE_OP_NO_MODULE_NEED_UPDATE) {
        printOut(QStringLiteral("Nothing is staged for an upgrade in %1.\n")
                     .arg(QDir::toNativeSeparators(upgrade.tmpDir())));
    } else if (report.result == UPGRADE_OP_NOT_STAGED) {
        printErr(QStringLiteral("tarvex-upgrade: apply refused, the packet in %1 was never completely staged; "
                                "download it again: %2\n")
                     .arg(QDir::toNativeSeparators(upgrade.tmpDir()), resultText(report.result)));
    } else if (report.result == UPGRADE_OP_ROLLBACK_INCOMPLETE) {
        printErr(QStringLiteral("tarvex-upgrade: apply failed and the rollback could not be completed; %1 and its "
                                "journal are kept, and the next command tries again: %2\n")
                     .arg(QDir::toNativeSeparators(upgrade.tmpDir()), resultText(report.result)));
    } else if (!upgrade.errorString().isEmpty()) {
        printErr(QStringLiteral("tarvex-upgrade: apply failed, the installation was rolled back: %1: %2\n")
                     .arg(upgrade.errorString(), resultText(report.result)));
    } else {
        printErr(QStringLiteral("tarvex-upgrade: apply failed, the installation was rolled back: %1\n")
                     .arg(resultText(report.result)));
    }
    return report.result;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    // The engine's warnings say why an operation failed and go to stderr;
    // its debug messages only trace steps. QT_LOGGING_RULES brings them back.
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));

    CliOptions options;
    QString error;
    if (!parseCliArguments(QCoreApplication::arguments().mid(1), options, error)) {
        printErr(QStringLiteral("tarvex-upgrade: %1\nTry \"tarvex-upgrade --help\".\n").arg(error));
        return CliUsageExitCode;
    }
    if (options.command == CliOptions::CommandHelp) {
        printOut(cliCommandHelp(options.helpTopic));
        return 0;
    }
    if (options.command == CliOptions::CommandVersion) {
        printOut(QStringLiteral("tarvex-upgrade %1\n").arg(QLatin1String(TVX_VERSION)));
        return 0;
    }

    if (options.strSolutionInfoPath.isEmpty())
        options.strSolutionInfoPath = defaultSolutionInfoPath();
    if (options.strServerFilePath.isEmpty())
        options.strServerFilePath = CUpgrade().serverClusterCfgPath();

    const QString appDirProblem = CInstallLayout::appDirProblem(QCoreApplication::applicationDirPath());
    if (!appDirProblem.isEmpty()) {
        printErr(QStringLiteral("tarvex-upgrade: %1\n").arg(appDirProblem));
        return UPGRADE_OP_CREATE_DIR_FAILED;
    }
    // Every command first finishes an upgrade that a crash interrupted;
    // those that change the installation or its Tmp are refused while
    // another process holds its lock.
    CInstallLock lock(QCoreApplication::applicationDirPath());
    const bool isChanging = options.command == CliOptions::CommandDownload
        || options.command == CliOptions::CommandApply || options.command == CliOptions::CommandTrustReset;
    if (const int refused = guardInstallation(lock, CUpgrade().installLayout(), isChanging))
        return refused;
    // The engine takes the lock itself for its download and its apply; held
    // here as well, it would refuse them.
    if (options.command == CliOptions::CommandDownload || options.command == CliOptions::CommandApply)
        lock.unlock();

    switch (options.command) {
    case CliOptions::CommandCheck:
        return runCheck(options);
    case CliOptions::CommandDownload:
        return runDownload(options);
    case CliOptions::CommandApply:
        return runApply(options);
    case CliOptions::CommandServersShow:
        return runServersShow(options, options.strServerFilePath);
    case CliOptions::CommandServersWrite:
        return runServersWrite(options, options.strServerFilePath);
    case CliOptions::CommandTrustAdd:
        return runTrustAdd(options, QCoreApplication::applicationDirPath());
    case CliOptions::CommandTrustShow:
        return runTrustShow(options, QCoreApplication::applicationDirPath());
    case CliOptions::CommandTrustRemove:
        return runTrustRemove(options, QCoreApplication::applicationDirPath());
    case CliOptions::CommandTrustReset:
        return runTrustReset(options, QCoreApplication::applicationDirPath());
    case CliOptions::CommandChannelShow:
        return runChannelShow(QCoreApplication::applicationDirPath());
    case CliOptions::CommandChannelSet:
        return runChannelSet(options, QCoreApplication::applicationDirPath());
    case CliOptions::CommandReportsOn:
    case CliOptions::CommandReportsOff:
        return runReports(options.command == CliOptions::CommandReportsOn, QCoreApplication::applicationDirPath());
    default:
        break;
    }
    return CliUsageExitCode;
}
