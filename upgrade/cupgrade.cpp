#include "upgrade/cupgrade.h"

#include "upgrade/downloadoutcome.h"
#include "upgrade/files/freespace.h"
#include "upgrade/files/tmpdirs.h"
#include "upgrade/transaction/installlock.h"
#include "upgrade/transaction/journal.h"
#include "upgrade/report/outcomereport.h"
#include "upgrade/transaction/staging.h"

#include <QDebug>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>

#include <limits>

CUpgrade::CUpgrade()
    : QThread(nullptr)
{
    // Registered on every construction; queued signals need both before the first emit.
    qRegisterMetaType<UpgradeOpError>("UpgradeOpError");
    qRegisterMetaType<QVector<ModuleVersion>>("QVector<ModuleVersion>");

    const CInstallLayout layout(QCoreApplication::applicationDirPath());
    strAppDir = layout.appDir();
    strTmpDir = layout.tmpDir();
    updateTmpSubDirs();
}

CUpgrade::~CUpgrade()
{
    isStop = true;
    isQuitting = true;
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
    strSolutionInfoPath.clear();
}

void CUpgrade::setNeedUpgradeModule(const QVector<ModuleVersion> &vecModuleVersion)
{
    vecToUpgrade = vecModuleVersion;
}

void CUpgrade::setHttpTimeOut(const TimeOutParam &param)
{
    timeOut = param;
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
    return CPacketStager::removeTmpDir(strTmpDir);
}

QString CUpgrade::partialPacketDir() const
{
    return installLayout().partialPacketDir();
}

QString CUpgrade::downloadDir() const
{
    return installLayout().downloadDir();
}

CReleaseQuery &CUpgrade::syncedReleaseQuery(const QVector<ModuleVersion> &vecLocal)
{
    ReleaseQuerySettings settings;
    settings.layout = installLayout();
    settings.timeOut = timeOut;
    settings.policy = policyQuery;
    settings.vecLocal = vecLocal;
    settings.pQuit = &isQuitting;
    releaseQuery.setSettings(settings);
    return releaseQuery;
}

UpgradeOpError CUpgrade::getUpdateModuleVersion(const QVector<ModuleVersion> &vecLocal,
                                                QVector<ModuleVersion> &vecNeedUpgrade,
                                                QVector<ModuleVersion> &vecServerModuleVersion)
{
    return syncedReleaseQuery(vecLocal).check(vecNeedUpgrade, vecServerModuleVersion);
}

bool CUpgrade::getUpdateModuleInfo(const QVector<ModuleVersion> &vecLocal,
                                   const QVector<ModuleVersion> &vecServerModuleVersion,
                                   QVector<ModuleVersion> &vecNeedUpgrade)
{
    return CReleaseQuery::compareVersions(vecLocal, vecServerModuleVersion, vecNeedUpgrade);
}

bool CUpgrade::getVersionInfoFromServer(const ServerClusterInfo &info, QVector<ModuleVersion> &vecServerModuleVersion)
{
    return syncedReleaseQuery(vecLocalModuleVersion).queryVersions(info, vecServerModuleVersion);
}

PacketStagerSettings CUpgrade::packetStagerSettings() const
{
    PacketStagerSettings settings;
    settings.layout = installLayout();
    settings.strTmpDir = strTmpDir;
    settings.str7zPath = sevenZipPath();
    settings.timeOut = timeOut;
    settings.policy = policyDownload;
    settings.vecLocal = vecLocalModuleVersion;
    settings.strSolutionInfoPath = strSolutionInfoPath;
    settings.pStop = &isStop;
    return settings;
}

UpgradeOpError CUpgrade::stagePackets(const QVector<ModuleVersion> &vecModules, bool isMarking)
{
    PacketStagerSettings settings = packetStagerSettings();
    settings.queryUrl = syncedReleaseQuery(vecLocalModuleVersion).packetQueryUrl();
    CPacketStager stager(settings);
    stager.setProgress([this](qint64 llInHand, int nPercent) { showDownloadProgress(llInHand, nPercent); });
    const UpgradeOpError result = isMarking ? stager.stage(vecModules) : stager.download(vecModules);
    vecPacketReport = stager.reports();
    return result;
}

UpgradeOpError CUpgrade::getUpgradePacket(const QVector<ModuleVersion> &vecModules)
{
    return stagePackets(vecModules, true);
}

UpgradeOpError CUpgrade::downloadUpgradePacket(const QVector<ModuleVersion> &vecModules)
{
    return stagePackets(vecModules, false);
}

bool CUpgrade::createTmpDirForUpgrade()
{
    return CPacketStager(packetStagerSettings()).createTmpDir();
}

// The engine's own downloads go through CPacketFetch; this is the callback
// for a caller that drives CHttp::DownloadFile into fileDownload itself.
quint64 CUpgrade::writeDownloadData(const void *data, quint64 size, quint64 count, void *context)
{
    CUpgrade *self = static_cast<CUpgrade *>(context);
    if (!self)
        return 0;
    if (self->isStop)
        return 0;
    if (size != 0 && count > quint64(std::numeric_limits<qint64>::max()) / size)
        return 0;
    const quint64 bytes = size * count;
    if (bytes == 0)
        return 0;
    if (self->fileDownload.write(static_cast<const char *>(data), qint64(bytes)) != qint64(bytes))
        return 0;
    self->showDownloadProgress(self->progressDownload.dDownloadedSize, double(bytes));
    return bytes;
}

void CUpgrade::showDownloadProgress(double dBase, double dBytes)
{
    int nPercent = -1;
    progressDownload.advance(dBase, dBytes, nPercent);
    showDownloadProgress(qint64(progressDownload.dDownloadedSize), nPercent);
}

void CUpgrade::showDownloadProgress(qint64 llInHand, int nPercent)
{
    llBytesInHand = llInHand;
    if (nPercent >= 0)
        Q_EMIT signalGetUpgradePacketStatus(UPGRADE_OP_SUCCESS, false, nPercent);
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
        strError = QStringLiteral("no completely staged packet in %1").arg(QDir::toNativeSeparators(strTmpDir));
        return UPGRADE_OP_NOT_STAGED;
    }
    CUpgradeTransaction transaction(installLayout());
    const UpgradeOpError result = transaction.apply();
    if (result == UPGRADE_OP_SUCCESS)
        transaction.finish();
    else
        strError = transaction.errorString();
    return result;
}

UpgradeOpError CUpgrade::runLocked(UpgradeOpError (CUpgrade::*operation)(), bool *pHasRun)
{
    *pHasRun = false;
    strError.clear();
    CInstallLock lock(strAppDir);
    if (!lock.tryLock()) {
        strError = lock.refusalText();
        qWarning().noquote() << "upgrade operation refused:" << strError;
        return lock.isHeldElsewhere() ? UPGRADE_OP_LOCKED : UPGRADE_OP_CREATE_DIR_FAILED;
    }
    QString error;
    if (recoverInterruptedUpgrade(installLayout(), false, &error) != UPGRADE_OP_SUCCESS) {
        strError = QStringLiteral("an interrupted upgrade could not be finished: %1").arg(error);
        qWarning().noquote() << strError;
        return UPGRADE_OP_ROLLBACK_INCOMPLETE;
    }
    *pHasRun = true;
    return (this->*operation)();
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
        QElapsedTimer downloadTime;
        downloadTime.start();
        bool hasRun = false;
        const UpgradeOpError result = runLocked(&CUpgrade::getUpgradePacketOfNeed, &hasRun);
        // A stopped download is the user's choice, not an outcome of the
        // release. Recorded before the signal: a caller that starts the
        // apply from its slot finds this thread ended.
        if (hasRun && !isStop.load())
            recordDownloadOutcome(*this, vecLocalModuleVersion, vecToUpgrade, result, downloadTime.elapsed());
        Q_EMIT signalGetUpgradePacketStatus(result, true, 100);
        break;
    }
    case OP_MODE_UPGRADE_TMP_DIR_TO_DEST_DIR: {
        bool hasRun = false;
        const UpgradeOpError result = runLocked(&CUpgrade::upgradeTmpDirToDstDir, &hasRun);
        // This process does not watch the upgraded application start: the
        // report goes without a health verdict. A packet never staged is
        // no attempt; its report waits for one.
        if (hasRun && result != UPGRADE_OP_NOT_STAGED)
            OutcomeReports::completePending(installLayout(), result, QString(), QString());
        Q_EMIT signalUpgradeFinish(result);
        break;
    }
    default:
        break;
    }
}
