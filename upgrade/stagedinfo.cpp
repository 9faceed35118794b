#include "upgrade/stagedinfo.h"

#include "upgrade/files/solutioninfo.h"
#include "upgrade/files/tmpdirs.h"
#include "upgrade/transaction/installlock.h"
#include "upgrade/transaction/staging.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>

// Canonical where the path exists, so that a link in either path does not
// make a file inside the directory look outside of it.
static QString resolvedPath(const QString &path)
{
    const QFileInfo info(path);
    const QString canonical = info.canonicalFilePath();
    return canonical.isEmpty() ? QDir::cleanPath(info.absoluteFilePath()) : canonical;
}

QString stagedSolutionInfoPath(const QString &strAppDir, const QString &strPacketDir,
                               const QString &strSolutionInfoPath)
{
    if (strAppDir.isEmpty() || strPacketDir.isEmpty() || strSolutionInfoPath.isEmpty())
        return QString();

    const QString relative = QDir(resolvedPath(strAppDir)).relativeFilePath(resolvedPath(strSolutionInfoPath));
    // A file outside the application directory has no place in a packet, and
    // writing it there would write outside the packet.
    if (relative.isEmpty() || relative == QLatin1String(".") || relative == QLatin1String("..")
        || relative.startsWith(QLatin1String("../")) || QDir::isAbsolutePath(relative)) {
        return QString();
    }
    return QDir::cleanPath(strPacketDir + QLatin1Char('/') + relative);
}

bool stageSolutionInfo(const QString &strAppDir, const QString &strPacketDir,
                       const QString &strSolutionInfoPath, const QVector<ModuleVersion> &vecNeedUpgrade)
{
    const QString stagedPath = stagedSolutionInfoPath(strAppDir, strPacketDir, strSolutionInfoPath);
    if (stagedPath.isEmpty()) {
        qWarning() << "solution info file" << strSolutionInfoPath << "is not inside" << strAppDir;
        return false;
    }

    QVector<ModuleVersion> vecInstalled;
    if (!getModuleVersionFromSolutionInfoFile(strSolutionInfoPath, vecInstalled)) {
        qWarning() << "read installed solution info" << strSolutionInfoPath << "failed";
        return false;
    }

    // The need list holds the server's records, whose state is always 0, and
    // writing a record writes its state too: a module would drop out of
    // every later upgrade. Keep the installed state; a module that the
    // installation does not know yet takes part in upgrades from now on.
    QVector<ModuleVersion> vecStaged;
    vecStaged.reserve(vecNeedUpgrade.size());
    for (const ModuleVersion &offered : vecNeedUpgrade) {
        ModuleVersion record = offered;
        record.nState = 1;
        for (const ModuleVersion &installed : qAsConst(vecInstalled)) {
            if (installed.strId == offered.strId) {
                record.nState = installed.nState;
                break;
            }
        }
        vecStaged.append(record);
    }

    const QString stagedDir = QFileInfo(stagedPath).absolutePath();
    if (!QDir().mkpath(stagedDir)) {
        qWarning() << "mkpath" << stagedDir << "failed";
        return false;
    }
    if (!updateSolutionInfoFile(strSolutionInfoPath, stagedPath, vecStaged)) {
        qWarning() << "stage solution info to" << stagedPath << "failed";
        return false;
    }
    return true;
}

bool saveSolutionInfoToPacketDir(const QString &strSolutionInfoPath, const QString &strBaseDir,
                                 const QVector<ModuleVersion> &vecModuleVersion)
{
    // Not while an apply moves files out of that packet, or a download puts
    // them in.
    CInstallLock lock(strBaseDir);
    if (QFileInfo(strBaseDir).isDir() && !lock.tryLock()) {
        qWarning().noquote() << "solution info not saved into the packet:" << lock.refusalText();
        return false;
    }
    const QString tmpDir = strBaseDir + QDir::separator() + CInstallLayout::tmpName();
    const QString packetDir = tmpDir + QLatin1Char('/') + CInstallLayout::packetName() + QLatin1Char('/');
    if (isPacketStaged(tmpDir)) {
        // The download has staged the file already; this one replaces it,
        // and the packet's files stay.
        const QVector<ModuleVersion> vecBrought = stagedModules(tmpDir);
        if (!stageSolutionInfo(strBaseDir, packetDir, strSolutionInfoPath, vecModuleVersion))
            return false;
        return markPacketStaged(tmpDir, vecBrought);
    }
    if (!removeDirTree(packetDir)) {
        qWarning() << "removeRecursively " << packetDir << "failed";
        return false;
    }
    if (!QDir().mkpath(packetDir)) {
        qWarning() << "mkpath " << packetDir << "failed";
        return false;
    }
    return updateSolutionInfoFile(strSolutionInfoPath, packetDir + QFileInfo(strSolutionInfoPath).fileName(),
                                  vecModuleVersion);
}
