#include "upgrade/cupgrade.h"

#include "upgrade/files/freespace.h"
#include "upgrade/files/tmpdirs.h"
#include "upgrade/transaction/journal.h"
#include "upgrade/transaction/staging.h"

#include <QDebug>

#include <QCoreApplication>
#include <QDir>

CUpgrade::CUpgrade()
    : QThread(nullptr)
{
    // Registered on every construction; queued signals need both before the first emit.
    qRegisterMetaType<UpgradeOpError>("UpgradeOpError");
    qRegisterMetaType<QVector<ModuleVersion>>("QVector<ModuleVersion>");

    const CInstallLayout layout(QCoreApplication::applicationDirPath());
    strAppDir = layout.appDir();
    str7zPath = layout.sevenZip();
    strServerClusterCfgPath = layout.serverClusterFile();
    strTmpDir = layout.tmpDir();
    updateTmpSubDirs();
}

CUpgrade::~CUpgrade()
{
    isStop = true;
    // A QThread destroyed while it runs aborts the process: let a running
    // operation see the stop flag and end first.
    wait();
}

void CUpgrade::setOpMode(int nMode)
{
    nOpMode = nMode;
}

void CUpgrade::setLocalModuleVersion(const QVector<ModuleVersion> &vecModuleVersion)
{
    vecLocalModuleVersion = vecModuleVersion;
}

void CUpgrade::setNeedUpgradeModule(const QVector<ModuleVersion> &vecModuleVersion)
{
    vecToUpgrade = vecModuleVersion;
}

void CUpgrade::setHttpTimeOut(const TimeOutParam &param)
{
    nTimeOut1 = param.nTimeOut1;
    nTimeOut2 = param.nTimeOut2;
    nTimeOut3 = param.nTimeOut3;
}

TimeOutParam CUpgrade::httpTimeOut() const
{
    TimeOutParam param;
    param.nTimeOut1 = nTimeOut1;
    param.nTimeOut2 = nTimeOut2;
    param.nTimeOut3 = nTimeOut3;
    return param;
}

void CUpgrade::setTmpDir(const QString &strDir)
{
    strTmpDir = strDir;
    updateTmpSubDirs();
}

void CUpgrade::updateTmpSubDirs()
{
    // The layout's names, below whatever the caller chose, even nothing.
    const QChar sep = QDir::separator();
    strPacketDir = strTmpDir + sep + CInstallLayout::packetName();
    strBackupDir = strTmpDir + sep + CInstallLayout::backupName();
}

void CUpgrade::stopUpgrade()
{
    isStop = true;
}

bool CUpgrade::removeTmpDir()
{
    // Its backup may be the only copy of files the installation needs back.
    if (hasUnfinishedTransaction(strTmpDir)) {
        qWarning() << "an unfinished upgrade transaction needs" << strTmpDir << "; it is kept";
        return false;
    }
    return removeDirTree(strTmpDir);
}

QString CUpgrade::partialPacketDir() const
{
    return installLayout().partialPacketDir();
}

bool CUpgrade::testCanUpgrade()
{
    return ::testCanUpgrade(strAppDir, strTmpDir, strBackupDir);
}

UpgradeOpError CUpgrade::upgradeTmpDirToDstDir()
{
    // What a download left unfinished or never marked is not a packet.
    if (!isPacketStaged(strTmpDir)) {
        qWarning() << "no completely staged packet in" << strTmpDir;
        return UPGRADE_OP_NOT_STAGED;
    }
    CUpgradeTransaction transaction(installLayout());
    const UpgradeOpError result = transaction.apply();
    if (result == UPGRADE_OP_SUCCESS)
        transaction.finish();
    return result;
}

void CUpgrade::run()
{
    switch (nOpMode) {
    case OP_MODE_GET_UPDATE_MODULE_VERSION: {
        QVector<ModuleVersion> vecNeedUpgrade;
        QVector<ModuleVersion> vecServerModuleVersion;
        const UpgradeOpError result = getUpdateModuleVersion(vecLocalModuleVersion, vecNeedUpgrade,
                                                             vecServerModuleVersion);
        Q_EMIT signalGetUpdateModuleVersionFinish(result, vecNeedUpgrade, vecServerModuleVersion);
        break;
    }
    case OP_MODE_GET_UPGRADE_PACKET: {
        const UpgradeOpError result = getUpgradePacket(vecToUpgrade);
        Q_EMIT signalGetUpgradePacketStatus(result, true, 100);
        break;
    }
    case OP_MODE_UPGRADE_TMP_DIR_TO_DEST_DIR:
        Q_EMIT signalUpgradeFinish(upgradeTmpDirToDstDir());
        break;
    default:
        break;
    }
}
