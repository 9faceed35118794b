#include "app/upgradeguard.h"

#include "upgrade/files/durable.h"
#include "upgrade/transaction/installlock.h"
#include "upgrade/transaction/journal.h"
#include "upgrade/transaction/staging.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFile>
#include <QFileInfo>

#include <memory>

namespace {

const char HealthFileVariable[] = "TARVEX_UPGRADE_HEALTH_FILE";

QString &healthFilePath()
{
    static QString path;
    return path;
}

QString tmpDir()
{
    return QCoreApplication::applicationDirPath() + QLatin1String("/Tmp");
}

// Held from the hand-over until the process ends, so that the upgrader
// inherits it with no moment in between in which it is free.
std::unique_ptr<CInstallLock> &handOverLock()
{
    static std::unique_ptr<CInstallLock> lock;
    return lock;
}

} // namespace

void finishInterruptedUpgrade()
{
    // Only for this process: a restart or an upgrader started later is not
    // the launcher under watch.
    healthFilePath() = qEnvironmentVariable(HealthFileVariable);
    qunsetenv(HealthFileVariable);

    const QString appDir = QCoreApplication::applicationDirPath();
    CInstallLock lock(appDir);
    if (!lock.tryLock()) {
        qDebug() << "upgrade recovery skipped:" << lock.refusalText();
        return;
    }
    recoverInterruptedUpgrade(appDir, tmpDir());
}

void reportMainFormState(const char *state)
{
    if (healthFilePath().isEmpty())
        return;
    Durable::writeFileAtomically(healthFilePath(), QByteArray(state) + '\n');
}

void prepareUpgraderHandOver()
{
    const QString appDir = QCoreApplication::applicationDirPath();
    handOverLock().reset(new CInstallLock(appDir));
    CInstallLock &lock = *handOverLock();
    if (!lock.tryLock()) {
        qWarning() << "upgrade hand-over:" << lock.refusalText();
        return;
    }
    // Without a staged upgrader this says so ("srcDir is Empty"); one from a
    // packet that was never completely staged is not put in place.
    if (isPacketStaged(tmpDir()) || !QFileInfo(tmpDir() + QLatin1String("/Packet/Upgrade")).isDir())
        installStagedUpgrader(appDir, tmpDir());
    else
        qWarning() << "upgrade hand-over: no completely staged packet in" << tmpDir() << "; upgrader kept";
    lock.passToChildren();
}
