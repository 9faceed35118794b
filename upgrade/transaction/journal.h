#ifndef TVX_JOURNAL_H
#define TVX_JOURNAL_H

#include "upgrade/files/upgradetypes.h"

#include <QString>
#include <QVector>

// The apply of a staged packet as one transaction that survives a crash at
// any moment, power loss included.
//
// Before the first change the whole plan goes to Tmp/Journal and is flushed:
// each directory to create, each file to add, each file to replace. A
// replaced file is moved into Tmp/Backup (same volume: a rename, no data
// copied) before the new one is moved in from the packet, so every old file
// always exists at one of its two places, and undoing needs no free space.
// After the last change the installation is flushed and a commit record is
// appended. Whoever next takes the installation's lock finishes the work:
// forward with the commit record, back to the exact old installation
// without it (or when a revert was asked for after the commit).
//
// Callers hold the installation's lock (CInstallLock) throughout.
class CUpgradeTransaction
{
public:
    CUpgradeTransaction(const QString &strAppDir, const QString &strTmpDir);

    // Applies Tmp/Packet over the application directory. 0 when committed:
    // the backup stays until finish() or revert(). 7 when it failed and the
    // installation is back as it was (Tmp removed); 13 when the way back
    // could not be completed (Tmp and journal kept for the next attempt).
    UpgradeOpError apply();
    // The committed upgrade is final: the backup and all of Tmp go.
    bool finish();
    // Puts back the installation as it was before apply(), committed or not.
    // 0 when done (Tmp removed), 13 when not complete.
    UpgradeOpError revert();

    // With TARVEX_UPGRADE_NO_JOURNAL=1 the same apply runs without a journal
    // or its flushes, for measuring what the journal costs. Never for use.
    static bool isJournalDisabled();

private:
    QString m_strAppDir;
    QString m_strTmpDir;
};

bool hasUnfinishedTransaction(const QString &strTmpDir);

// Finishes whatever an interrupted apply or hand-over left in strTmpDir.
// Logs what it did. 0 when the installation is consistent now (or was),
// 13 when a rollback could not be completed. isHandOver: the caller is the
// upgrader that the launcher just handed over to, whose own new upgrader in
// Upgrade/ is not a leftover.
UpgradeOpError recoverInterruptedUpgrade(const QString &strAppDir, const QString &strTmpDir,
                                         bool isHandOver = false);

// The launcher's hand-over: copies the staged upgrader beside the old one
// and swaps them, keeping the old one in Tmp until the upgrade is final. A
// copy that fails leaves the old upgrader in place, whole.
bool installStagedUpgrader(const QString &strAppDir, const QString &strTmpDir);

#endif // TVX_JOURNAL_H
