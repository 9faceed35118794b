#include "upgrade/transaction/applypacket.h"

#include "upgrade/files/durable.h"
#include "upgrade/files/installlayout.h"
#include "upgrade/files/tmpdirs.h"
#include "upgrade/transaction/installlock.h"
#include "upgrade/transaction/journal.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>

#include <functional>

namespace {

// The layout joins with the native separator; a caller may not.
bool isSamePath(const QString &strA, const QString &strB)
{
#ifdef Q_OS_WIN
    const Qt::CaseSensitivity sensitivity = Qt::CaseInsensitive;
#else
    const Qt::CaseSensitivity sensitivity = Qt::CaseSensitive;
#endif
    return QDir::cleanPath(QFileInfo(strA).absoluteFilePath())
               .compare(QDir::cleanPath(QFileInfo(strB).absoluteFilePath()), sensitivity)
        == 0;
}

UpgradeOpError fail(UpgradeOpError result, const QString &strReason, QString *pError)
{
    qWarning().noquote() << "apply refused:" << strReason;
    if (pError)
        *pError = strReason;
    return result;
}

// prepare runs under the lock, after the recovery: false refuses with 7.
UpgradeOpError applyLocked(const CInstallLayout &layout, const std::function<bool(QString &)> &prepare, QString *pError)
{
    CInstallLock lock(layout.appDir());
    if (!lock.tryLock())
        return fail(lock.isHeldElsewhere() ? UPGRADE_OP_LOCKED : UPGRADE_OP_CREATE_DIR_FAILED, lock.refusalText(),
                    pError);
    QString error;
    if (recoverInterruptedUpgrade(layout, false, &error) != UPGRADE_OP_SUCCESS)
        return fail(UPGRADE_OP_ROLLBACK_INCOMPLETE,
                    QStringLiteral("an interrupted upgrade could not be finished: %1").arg(error), pError);
    if (prepare && !prepare(error))
        return fail(UPGRADE_OP_WRITE_FILE_FAILED, error, pError);
    CUpgradeTransaction transaction(layout);
    const UpgradeOpError result = transaction.apply();
    if (result == UPGRADE_OP_SUCCESS)
        transaction.finish();
    else if (pError)
        *pError = transaction.errorString();
    return result;
}

} // namespace

UpgradeOpError upgradeTmpDirToDstDir(const QString &strAppDir, const QString &strTmpDir, const QString &strPacketDir,
                                     const QString &strBackupDir, QString *pError)
{
    const CInstallLayout layout(strAppDir, strTmpDir);
    if (!isSamePath(strPacketDir, layout.packetDir()) || !isSamePath(strBackupDir, layout.backupDir()))
        return fail(UPGRADE_OP_WRITE_FILE_FAILED,
                    QStringLiteral("the packet and the backup must be %1 and %2")
                        .arg(QDir::toNativeSeparators(layout.packetDir()), QDir::toNativeSeparators(layout.backupDir())),
                    pError);
    // Nothing to apply is a failure, not an upgrade: the temporary
    // directory, and whatever was downloaded into it, stays.
    if (!QFileInfo(layout.packetDir()).isDir())
        return fail(UPGRADE_OP_WRITE_FILE_FAILED,
                    QStringLiteral("no packet in %1").arg(QDir::toNativeSeparators(layout.packetDir())), pError);
    return applyLocked(layout, nullptr, pError);
}

UpgradeOpError applyPacketToSolutionDir(const QString &strBaseDir, const QString &strSolutionInfoPath, QString *pError)
{
    const CInstallLayout layout(QDir::cleanPath(QFileInfo(strBaseDir).absoluteFilePath()));
    const QString solutionFile = QFileInfo(strSolutionInfoPath).fileName();
    if (solutionFile.isEmpty() || !QFileInfo::exists(layout.staged(solutionFile)))
        return UPGRADE_OP_NO_MODULE_NEED_UPDATE;

    // The journal names paths below the installation; the packet, laid out
    // from the solution file's directory, moves down to that directory's
    // place in the installation before anything is changed.
    const QString destination = QFileInfo(strSolutionInfoPath).absolutePath();
    const QString relative = QDir(layout.appDir()).relativeFilePath(destination);
    if (relative.startsWith(QLatin1String("..")) || QDir::isAbsolutePath(relative))
        return fail(UPGRADE_OP_WRITE_FILE_FAILED,
                    QStringLiteral("%1 lies outside the installation %2")
                        .arg(QDir::toNativeSeparators(destination), QDir::toNativeSeparators(layout.appDir())),
                    pError);
    if (relative == QLatin1String("."))
        return applyLocked(layout, nullptr, pError);
    return applyLocked(
        layout,
        [&layout, &relative](QString &strReason) {
            const QString partial = layout.partialPacketDir();
            const QString moved = partial + QLatin1Char('/') + relative;
            if (removeDirTree(partial) && QDir().mkpath(QFileInfo(moved).absolutePath())
                && Durable::rename(layout.packetDir(), moved) && Durable::rename(partial, layout.packetDir()))
                return true;
            strReason = QStringLiteral("cannot move the packet in %1 to %2's place")
                            .arg(QDir::toNativeSeparators(layout.tmpDir()), relative);
            return false;
        },
        pError);
}
