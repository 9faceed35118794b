#ifndef TVX_JOURNAL_H
#define TVX_JOURNAL_H

#include "upgrade/files/installlayout.h"
#include "upgrade/files/upgradetypes.h"

#include <QString>
#include <QVector>

// The apply of a staged packet as one transaction that survives a crash at
// any moment, power loss included.
//
// Before the first change the whole plan is written to Tmp/Journal at once
// (through a temporary file, flushed and renamed): each directory to create,
// each file to add, each file to replace with the size of its staged copy,
// and whether a health verdict is awaited. A replaced file is moved into
// Tmp/Backup (same volume: a rename, no data copied) before the new one is
// moved in from the packet, so every old file always exists at one of its
// two places, and undoing needs no free space. After the last change the
// installation is flushed and a commit record is appended; an apply that
// awaits a health verdict gets a "healthy" record once the new version has
// proved itself. Whoever next takes the installation's lock finishes the
// work: forward when the commit stands (and, where one was awaited, the
// healthy record), back to the exact old installation otherwise.
//
// A journal that is cut, damaged, inconsistent or names anything outside
// the installation or the engine's own names is never acted upon: the result
// is 13 and Tmp stays as it is.
//
// Callers hold the installation's lock (CInstallLock) throughout.
class CUpgradeTransaction
{
public:
    explicit CUpgradeTransaction(const CInstallLayout &layout);

    // Applies Tmp/Packet over the application directory. 0 when committed:
    // the backup stays until finish() or revert(). 7 when it failed and the
    // installation is back as it was (Tmp removed); 13 when the way back
    // could not be completed (Tmp and journal kept for the next attempt).
    // isHealthAwaited: the caller watches the new version and then calls
    // markHealthy() and finish(), or revert(); until then any recovery takes
    // the upgrade back.
    UpgradeOpError apply(bool isHealthAwaited = false);
    // Records that the committed upgrade proved healthy.
    bool markHealthy();
    // The committed upgrade is final: the backup and all of Tmp go.
    bool finish();
    // Puts back the installation as it was before apply(), committed or not.
    // 0 when done (Tmp removed), 13 when not complete.
    UpgradeOpError revert();

    // Why the last operation failed, for the caller's message.
    QString errorString() const { return m_strError; }

    // With TARVEX_UPGRADE_NO_JOURNAL=1, in builds with fault injection only,
    // the same apply runs without a journal or its flushes, for measuring
    // what the journal costs. Never for use.
    static bool isJournalDisabled();

private:
    CInstallLayout m_layout;
    QString m_strError;
};

bool hasUnfinishedTransaction(const QString &strTmpDir);

// Finishes whatever an interrupted apply or hand-over left in the layout's
// temporary directory. Logs what it did. 0 when the installation is
// consistent now (or was); 13 when a rollback could not be completed, or the
// journal cannot be trusted (then nothing is touched). A committed upgrade
// that awaited a health verdict and never got one is taken back, and its
// modules are held back. isHandOver: the caller is the upgrader that the
// launcher just handed over to, whose own new upgrader in Upgrade/ is not a
// leftover. pError, when given, gets the reason of a 13.
UpgradeOpError recoverInterruptedUpgrade(const CInstallLayout &layout, bool isHandOver = false,
                                         QString *pError = nullptr);
UpgradeOpError recoverInterruptedUpgrade(const QString &strAppDir, const QString &strTmpDir,
                                         bool isHandOver = false);

// The launcher's hand-over: copies the staged upgrader beside the old one
// and swaps them, keeping the old one in Tmp until the upgrade is final. A
// copy that fails leaves the old upgrader in place, whole.
bool installStagedUpgrader(const CInstallLayout &layout);

#endif // TVX_JOURNAL_H
