#include "upgrader.h"

#include "faultinjection.h"
#include "processwait.h"
#include "upgraderlog.h"

#include "upgrade/files/tmpdirs.h"

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
int applyHandOver(const QString &strTmpDir, const QString &strAppDir, const QString &strLauncherPath)
{
    const int timeoutMs = waitTimeoutMs();
    if (isExecutableRunning(strLauncherPath))
        qInfo() << "waiting for launcher" << strLauncherPath << "to exit";
    if (!waitForExecutableToExit(strLauncherPath, timeoutMs)) {
        qWarning() << "upgrade not applied: launcher" << strLauncherPath << "still running after" << timeoutMs
                   << "ms";
        return UPGRADER_NOT_APPLIED;
    }
    qInfo() << "launcher" << strLauncherPath << "has exited";

    const QChar sep = QDir::separator();
    const QString packetDir = strTmpDir + sep + QLatin1String("Packet");
    const QString backupDir = strTmpDir + sep + QLatin1String("Backup");
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

    CFaultInjection fault;
    if (!fault.prepare(strTmpDir, packetDir))
        return UPGRADER_NOT_APPLIED;

    qInfo() << "applying" << packetDir << "to" << strAppDir;
    const UpgradeOpError result = upgradeTmpDirToDstDir(strAppDir, strTmpDir, packetDir, backupDir);
    fault.undo();

    if (result != UPGRADE_OP_SUCCESS) {
        qWarning() << "upgrade failed, installation rolled back:" << upgradeOpErrorName(result);
        return result;
    }
    qInfo() << "upgrade applied to" << strAppDir;
    return UPGRADER_APPLIED;
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

    installUpgraderLog(appDir);
    qInfo() << "upgrader started for" << tmpDir << "and" << launcherPath;

    if (!QFileInfo(launcherPath).isFile()) {
        // Nothing to apply to and nothing to start again.
        qWarning() << "upgrade not applied: launcher" << launcherPath << "not found";
        return UPGRADER_NOT_APPLIED;
    }

    const int result = applyHandOver(tmpDir, appDir, launcherPath);
    restartLauncher(launcherPath, appDir);
    return result;
}
