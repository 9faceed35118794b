#include "upgrader.h"

#include "faultinjection.h"
#include "healthwatch.h"
#include "processwait.h"
#include "upgraderlog.h"

#include "upgrade/files/installlayout.h"
#include "upgrade/files/tmpdirs.h"
#include "upgrade/report/outcomereport.h"
#include "upgrade/transaction/heldback.h"
#include "upgrade/transaction/installlock.h"
#include "upgrade/transaction/journal.h"
#include "upgrade/transaction/staging.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QProcess>

#include <cstdio>

namespace {

constexpr int DefaultWaitMs = 30000;

int waitTimeoutMs()
{
    bool isNumber = false;
    const int value = qEnvironmentVariableIntValue("TARVEX_UPGRADE_WAIT_MS", &isNumber);
    return isNumber && value >= 0 ? value : DefaultWaitMs;
}

QString canonicalOrClean(const QString &path)
{
    const QString canonical = QFileInfo(path).canonicalFilePath();
    return canonical.isEmpty() ? QDir::cleanPath(QFileInfo(path).absoluteFilePath()) : canonical;
}

bool isSameOrInside(const QString &path, const QString &dir)
{
    return path == dir || path.startsWith(dir + QLatin1Char('/'));
}

// Whatever the upgrade came to, the user gets the application back.
void restartLauncher(const QString &strLauncherPath, const QString &strAppDir)
{
    qint64 pid = 0;
    if (QProcess::startDetached(strLauncherPath, QStringList(), strAppDir, &pid))
        qInfo() << "restarted launcher" << strLauncherPath << "pid" << pid;
    else
        qWarning() << "restart launcher" << strLauncherPath << "failed!";
}

// Checks the hand-over and applies it; the launcher is restarted by the caller.
int applyHandOver(const CInstallLayout &layout, const QString &strLauncherPath)
{
    const QString strTmpDir = layout.tmpDir();
    const QString strAppDir = layout.appDir();
    const int timeoutMs = waitTimeoutMs();
    if (isExecutableRunning(strLauncherPath))
        qInfo() << "waiting for launcher" << strLauncherPath << "to exit";
    if (!waitForExecutableToExit(strLauncherPath, timeoutMs)) {
        qWarning() << "upgrade not applied: launcher" << strLauncherPath << "still running after" << timeoutMs
                   << "ms";
        return UPGRADER_NOT_APPLIED;
    }
    qInfo() << "launcher" << strLauncherPath << "has exited";

    const QString packetDir = layout.packetDir();
    if (!QFileInfo(packetDir).isDir() || QFileInfo(packetDir).isSymLink()) {
        qWarning() << "upgrade not applied: no staged packet in" << packetDir;
        return UPGRADER_NOT_APPLIED;
    }

    // The temporary directory is deleted after the apply: one that holds the
    // installation would take it along.
    const QString tmpCanonical = canonicalOrClean(strTmpDir);
    const QString appCanonical = canonicalOrClean(strAppDir);
    if (isSameOrInside(appCanonical, tmpCanonical)) {
        qWarning() << "upgrade not applied: temporary directory" << strTmpDir << "holds the installation"
                   << strAppDir;
        return UPGRADER_NOT_APPLIED;
    }
    // A packet comes from the server: one that writes into the temporary
    // directory would write into the tree being copied, and whatever it put
    // there would be deleted with the temporary directory.
    if (isSameOrInside(tmpCanonical, appCanonical)) {
        const QString relative = QDir(appCanonical).relativeFilePath(tmpCanonical);
        if (QFileInfo::exists(packetDir + QLatin1Char('/') + relative)
            || QFileInfo(packetDir + QLatin1Char('/') + relative).isSymLink()) {
            qWarning() << "upgrade not applied: the packet writes into the temporary directory" << relative;
            return UPGRADER_NOT_APPLIED;
        }
    }

    if (!isPacketStaged(strTmpDir)) {
        qWarning() << "upgrade not applied: the packet in" << packetDir << "was never completely staged";
        return UPGRADE_OP_NOT_STAGED;
    }

    CFaultInjection fault;
    if (!fault.prepare(strTmpDir, packetDir))
        return UPGRADER_NOT_APPLIED;

    qInfo() << "applying" << packetDir << "to" << strAppDir;
    // The backup stays until the new version has proved healthy.
    CUpgradeTransaction transaction(layout);
    const UpgradeOpError result = transaction.apply(true);
    fault.undo();

    if (result == UPGRADE_OP_ROLLBACK_INCOMPLETE) {
        qWarning() << "upgrade failed and the rollback is incomplete; the next start finishes it:"
                   << upgradeOpErrorName(result);
        return result;
    }
    if (result != UPGRADE_OP_SUCCESS) {
        qWarning() << "upgrade failed, installation rolled back:" << upgradeOpErrorName(result) << "-"
                   << transaction.errorString();
        return result;
    }
    qInfo() << "upgrade applied to" << strAppDir;
    return UPGRADER_APPLIED;
}

// The new version must start before the old one is thrown away: the backup
// stays until the restarted launcher is healthy, and comes back otherwise.
// Should this process die meanwhile, the journal still awaits the verdict,
// and whoever recovers next takes the upgrade back.
int watchUpgradedLauncher(const CInstallLayout &layout, const QString &strLauncherPath,
                          const QVector<ModuleVersion> &vecModules)
{
    CUpgradeTransaction transaction(layout);
    // A start can fail for reasons of its own (a busy machine, a file held
    // by another program): the new version gets the starts it is given.
    const int attempts = CHealthWatch::startAttempts();
    QString reason;
    bool isHealthy = false;
    for (int attempt = 1; attempt <= attempts && !isHealthy; ++attempt) {
        CHealthWatch watch(strLauncherPath, layout.appDir(), layout.health());
        isHealthy = watch.start() && watch.waitForVerdict();
        if (!isHealthy)
            reason = watch.failureText().isEmpty() ? QStringLiteral("the launcher did not start") : watch.failureText();
        if (!isHealthy && attempt < attempts)
            qWarning().noquote() << "start" << attempt << "of" << attempts << "of the upgraded installation failed:"
                                 << reason << "- starting it again";
    }
    if (attempts > 1 && !isHealthy)
        reason = QStringLiteral("%1 starts failed, the last: %2").arg(attempts).arg(reason);
    if (isHealthy) {
        if (!transaction.markHealthy()) {
            qWarning() << "the upgraded installation is healthy, but that cannot be recorded; the next start"
                          " decides";
            return UPGRADE_OP_ROLLBACK_INCOMPLETE;
        }
        qInfo() << "the upgraded installation is healthy; removing the backup";
        transaction.finish();
        OutcomeReports::completePending(layout, UPGRADE_OP_SUCCESS, QStringLiteral("healthy"), QString());
        return UPGRADER_APPLIED;
    }
    qWarning() << "the upgraded installation failed its health check:" << reason << "; reverting";
    // Held back first: a crash during the revert must not let the same
    // version come again.
    recordHeldBack(layout.appDir(), vecModules, reason);
    const UpgradeOpError reverted = transaction.revert();
    if (reverted != UPGRADE_OP_SUCCESS) {
        qWarning() << "revert incomplete; the next start finishes it:" << transaction.errorString();
        return reverted;
    }
    qInfo() << "the previous version is back in" << layout.appDir();
    restartLauncher(strLauncherPath, layout.appDir());
    // After the user has the application back: the report never holds it up.
    OutcomeReports::completePending(layout, UPGRADE_OP_SUCCESS, QStringLiteral("reverted"), reason);
    return UPGRADER_REVERTED;
}

} // namespace

int runUpgrader(const QStringList &arguments)
{
    if (arguments.size() != 2 || arguments.at(0).isEmpty() || arguments.at(1).isEmpty()) {
        std::fprintf(stderr, "Usage: Upgrade TMPDIR LAUNCHER\n"
                             "Applies TMPDIR/Packet over the directory of LAUNCHER, then starts LAUNCHER.\n");
        return UPGRADER_USAGE;
    }
    const QString tmpDir = QDir::cleanPath(QFileInfo(arguments.at(0)).absoluteFilePath());
    const QString launcherPath = QFileInfo(arguments.at(1)).absoluteFilePath();
    const QString appDir = QFileInfo(launcherPath).absolutePath();
    const CInstallLayout layout(appDir, tmpDir);

    installUpgraderLog(appDir);
    qInfo() << "upgrader started for" << tmpDir << "and" << launcherPath;

    // Handed over by the launcher with no gap, or taken here; a second
    // upgrader leaves the installation to the first one, launcher included.
    CInstallLock lock(appDir);
    const bool isHandOver = lock.adoptInherited();
    if (!isHandOver && !lock.tryLock()) {
        qWarning() << "upgrade not applied:" << lock.refusalText();
        if (!lock.isHeldElsewhere())
            return UPGRADER_NOT_APPLIED;
        std::fprintf(stderr, "Upgrade: %s\n", qUtf8Printable(lock.refusalText()));
        return UPGRADE_OP_LOCKED;
    }
    qInfo() << (isHandOver ? "took over the installation lock from the launcher" : "took the installation lock");
    QString recoveryError;
    if (recoverInterruptedUpgrade(layout, isHandOver, &recoveryError) != UPGRADE_OP_SUCCESS) {
        qWarning().noquote() << "upgrade not applied: an interrupted upgrade could not be finished:" << recoveryError;
        std::fprintf(stderr, "Upgrade: %s\n", qUtf8Printable(recoveryError));
        restartLauncher(launcherPath, appDir);
        return UPGRADE_OP_ROLLBACK_INCOMPLETE;
    }

    if (!QFileInfo(launcherPath).isFile()) {
        // Nothing to apply to and nothing to start again.
        qWarning() << "upgrade not applied: launcher" << launcherPath << "not found";
        return UPGRADER_NOT_APPLIED;
    }

    const QVector<ModuleVersion> vecModules = stagedModules(tmpDir);
    const int result = applyHandOver(layout, launcherPath);
    if (result == UPGRADER_APPLIED)
        return watchUpgradedLauncher(layout, launcherPath, vecModules);
    restartLauncher(launcherPath, appDir);
    // An apply that failed and rolled back ends the upgrade; one that never
    // started leaves the report for the next attempt.
    if (result != UPGRADER_NOT_APPLIED && result != UPGRADE_OP_NOT_STAGED)
        OutcomeReports::completePending(layout, result, QString(), QString());
    return result;
}
