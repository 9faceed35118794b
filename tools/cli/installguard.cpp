#include "installguard.h"

#include "upgrade/transaction/heldback.h"
#include "upgrade/transaction/installlock.h"
#include "upgrade/transaction/journal.h"

#include <QCoreApplication>
#include <QDir>

#include <cstdio>

int guardInstallation(CInstallLock &lock, const QString &strTmpDir, bool isChanging)
{
    if (!lock.tryLock()) {
        if (!isChanging)
            return 0; // reading only; whoever holds the lock finishes its own work
        std::fprintf(stderr, "tarvex-upgrade: %s\n", qUtf8Printable(lock.refusalText()));
        return UPGRADE_OP_LOCKED;
    }
    const UpgradeOpError recovered =
        recoverInterruptedUpgrade(QCoreApplication::applicationDirPath(), strTmpDir);
    if (!isChanging)
        lock.unlock();
    if (recovered != UPGRADE_OP_SUCCESS) {
        std::fprintf(stderr,
                     "tarvex-upgrade: an interrupted upgrade could not be rolled back completely; %s and its "
                     "journal are kept, and the next command tries again\n",
                     qUtf8Printable(QDir::toNativeSeparators(strTmpDir)));
        if (isChanging)
            return UPGRADE_OP_ROLLBACK_INCOMPLETE;
    }
    return 0;
}

QString heldBackText(const QString &strAppDir, const CommandReport &report)
{
    QString text;
    const QVector<HeldBackModule> held = readHeldBack(strAppDir);
    for (const HeldBackModule &entry : held) {
        for (const ModuleVersion &offered : report.vecServerModuleVersion) {
            if (offered.strId == entry.strId && offered.llReleaseDate <= entry.llReleaseDate) {
                text += QStringLiteral("%1 %2: held back, %3 (a newer release clears the hold)\n")
                            .arg(entry.strId, entry.strVersion, entry.strReason);
                break;
            }
        }
    }
    return text;
}
