#include "installguard.h"

#include "upgrade/transaction/heldback.h"
#include "upgrade/transaction/installlock.h"
#include "upgrade/transaction/journal.h"

#include <QDir>

#include <cstdio>

int guardInstallation(CInstallLock &lock, const CInstallLayout &layout, bool isChanging)
{
    if (!lock.tryLock()) {
        if (lock.isHeldElsewhere() && !isChanging)
            return 0; // reading only; whoever holds the lock finishes its own work
        std::fprintf(stderr, "tarvex-upgrade: %s\n", qUtf8Printable(lock.refusalText()));
        return lock.isHeldElsewhere() ? UPGRADE_OP_LOCKED : UPGRADE_OP_CREATE_DIR_FAILED;
    }
    QString error;
    const UpgradeOpError recovered = recoverInterruptedUpgrade(layout, false, &error);
    if (!isChanging)
        lock.unlock();
    if (recovered != UPGRADE_OP_SUCCESS) {
        // No command answers over an installation in that state, not even one
        // that only reads: whatever it said would be about a mix of versions.
        std::fprintf(stderr, "tarvex-upgrade: an interrupted upgrade could not be finished: %s; the next command "
                             "tries again\n",
                     qUtf8Printable(error));
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
