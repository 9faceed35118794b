#include "app/upgradeguard.h"

#include "upgrade/files/durable.h"
#include "upgrade/files/installlayout.h"
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

CInstallLayout installLayout()
{
    return CInstallLayout(QCoreApplication::applicationDirPath());
}

// Held from the hand-over until the process ends, so that the upgrader
// inherits it with no moment in between in which it is free.
std::unique_ptr<CInstallLock> &handOverLock()
{
    static std::unique_ptr<CInstallLock> lock;
    return lock;
}

} // namespace

bool finishInterruptedUpgrade()
{
    // Only for this process: a restart or an upgrader started later is not
    // the launcher under watch.
    healthFilePath() = qEnvironmentVariable(HealthFileVariable);
    qunsetenv(HealthFileVariable);

    const CInstallLayout layout = installLayout();
    const QString appDirProblem = CInstallLayout::appDirProblem(layout.appDir());
    if (!appDirProblem.isEmpty()) {
        qWarning().noquote() << "the launcher does not start:" << appDirProblem;
        return false;
    }
    CInstallLock lock(layout.appDir());
    if (!lock.tryLock()) {
        if (lock.isHeldElsewhere())
            qDebug() << "upgrade recovery skipped:" << lock.refusalText();
        else
            qWarning().noquote() << "upgrade recovery skipped:" << lock.refusalText();
        return true;
    }
    QString error;
    if (recoverInterruptedUpgrade(layout, false, &error) != UPGRADE_OP_SUCCESS) {
        // What runs next would run from an installation that may be half old,
        // half new.
        qWarning().noquote() << "the launcher does not start:" << error;
        return false;
    }
    return true;
}

void reportMainFormState(const char *state)
{
    if (healthFilePath().isEmpty())
        return;
    Durable::writeFileAtomically(healthFilePath(), QByteArray(state) + '\n');
}

void prepareUpgraderHandOver()
{
    const CInstallLayout layout = installLayout();
    handOverLock().reset(new CInstallLock(layout.appDir()));
    CInstallLock &lock = *handOverLock();
    if (!lock.tryLock()) {
        qWarning() << "upgrade hand-over:" << lock.refusalText();
        return;
    }
    // Without a staged upgrader this says so ("srcDir is Empty"); one from a
    // packet that was never completely staged is not put in place.
    if (isPacketStaged(layout.tmpDir()) || !QFileInfo(layout.staged(CInstallLayout::upgraderDirName())).isDir())
        installStagedUpgrader(layout);
    else
        qWarning() << "upgrade hand-over: no completely staged packet in" << layout.tmpDir() << "; upgrader kept";
    lock.passToChildren();
}
