#include "upgradecontroller.h"

#include "upgrade/cupgrade.h"
#include "upgrade/files/solutioninfo.h"
#include "upgrade/upgradecheck.h"

#include <QDebug>
#include <QFileInfo>

#include <algorithm>
#include <cmath>

QString describeResult(UpgradeOpError result)
{
    const char *name = upgradeOpErrorName(result);
    return QStringLiteral("%1 (%2)").arg(QLatin1String(*name ? name : "unknown result")).arg(int(result));
}

QString describeSize(double dSizeMegabytes)
{
    // The size comes from the server as it pleases: nan, inf or negative
    // would print as garbage.
    if (!std::isfinite(dSizeMegabytes) || dSizeMegabytes < 0)
        return QStringLiteral("?");
    if (dSizeMegabytes < 1.0)
        return QStringLiteral("%1 KB").arg(dSizeMegabytes * 1024.0, 0, 'f', 1);
    return QStringLiteral("%1 MB").arg(dSizeMegabytes, 0, 'f', 1);
}

CUpgradeController::CUpgradeController(const QString &strSolutionInfoPath, QObject *parent)
    : QObject(parent)
    , m_strSolutionInfoPath(strSolutionInfoPath)
    , m_pUpgrade(new CUpgrade)
{
    // The engine emits from its worker thread; queued, the slots run here.
    connect(m_pUpgrade.get(), &CUpgrade::signalGetUpdateModuleVersionFinish, this,
            &CUpgradeController::onCheckFinished, Qt::QueuedConnection);
    connect(m_pUpgrade.get(), &CUpgrade::signalGetUpgradePacketStatus, this, &CUpgradeController::onPacketStatus,
            Qt::QueuedConnection);
    // Direct: the only way to know, right after the check's entry point
    // returned, whether it started the thread at all (it starts nothing and
    // emits nothing when it cannot read the installed versions, or when the
    // toolbox takes care of upgrades). Only the atomic is touched there.
    connect(m_pUpgrade.get(), &QThread::started, this, [this] { ++m_nEngineStarts; }, Qt::DirectConnection);
    m_strStatus = tr("Not checked for updates yet.");
}

CUpgradeController::~CUpgradeController()
{
    shutdown();
}

QString CUpgradeController::appDir() const
{
    return m_pUpgrade->appDir();
}

QString CUpgradeController::tmpDir() const
{
    return m_pUpgrade->tmpDir();
}

qint64 CUpgradeController::bytesInHand() const
{
    return m_pUpgrade->bytesInHand();
}

QVector<PacketDownloadReport> CUpgradeController::packetReports() const
{
    return m_pUpgrade->packetReports();
}

bool CUpgradeController::readInstalledModules()
{
    QVector<ModuleVersion> vecInstalled;
    if (!getModuleVersionFromSolutionInfoFile(m_strSolutionInfoPath, vecInstalled)) {
        m_vecInstalled.clear();
        return false;
    }
    m_vecInstalled = vecInstalled;
    return true;
}

bool CUpgradeController::check()
{
    if (!canCheck())
        return false;
    // Whatever an earlier download staged belongs to an earlier answer.
    m_vecNeedUpgrade.clear();
    m_vecServerModules.clear();
    setProgress(0);
    readInstalledModules();

    const int startsBefore = m_nEngineStarts.load();
    checkUpdate(m_strSolutionInfoPath, m_pUpgrade.get());
    // A thread that already ended has emitted started() before it ended.
    const bool isStarted = m_pUpgrade->isRunning() || m_nEngineStarts.load() != startsBefore;
    if (!isStarted) {
        if (isToolBoxExist(m_pUpgrade->appDir())) {
            m_lastResult = UPGRADE_OP_SUCCESS;
            setState(StateIdle, tr("Upgrades are left to the toolbox of this installation."));
        } else {
            fail(UPGRADE_OP_GET_UPDATE_MODULE_INFO_FAILED,
                 tr("Cannot read the installed modules from %1.").arg(m_strSolutionInfoPath));
        }
        return false;
    }
    setState(StateChecking, tr("Checking for updates..."));
    return true;
}

bool CUpgradeController::download()
{
    if (!canDownload())
        return false;
    setProgress(0);
    m_pUpgrade->setNeedUpgradeModule(m_vecNeedUpgrade);
    m_pUpgrade->setOpMode(CUpgrade::OP_MODE_GET_UPGRADE_PACKET);
    m_pUpgrade->start();
    setState(StateDownloading, tr("Downloading..."));
    return true;
}

bool CUpgradeController::download(const QVector<ModuleVersion> &vecModules)
{
    if (!canDownload())
        return false;
    QVector<ModuleVersion> vecChosen;
    for (const ModuleVersion &module : qAsConst(m_vecNeedUpgrade)) {
        const bool isChosen = std::any_of(vecModules.cbegin(), vecModules.cend(),
                                          [&](const ModuleVersion &chosen) { return chosen.strId == module.strId; });
        if (isChosen)
            vecChosen.append(module);
    }
    if (vecChosen.isEmpty())
        return false;
    m_vecNeedUpgrade = vecChosen;
    return download();
}

void CUpgradeController::shutdown()
{
    if (m_state == StateShutDown)
        return;
    if (m_pUpgrade->isRunning()) {
        // Ends a download at its next block; a check ends within its time-out.
        m_pUpgrade->stopUpgrade();
        m_pUpgrade->wait();
    }
    setState(StateShutDown, tr("Shut down."));
}

void CUpgradeController::onCheckFinished(UpgradeOpError upgradeOpErr, const QVector<ModuleVersion> &vecNeedUpgrade,
                                         const QVector<ModuleVersion> &vecServerModuleVersion)
{
    if (m_state != StateChecking)
        return;
    // The signal comes just before run() returns: the next start needs the
    // thread to have ended.
    m_pUpgrade->wait();
    m_lastResult = upgradeOpErr;
    m_vecServerModules = vecServerModuleVersion;
    if (upgradeOpErr != UPGRADE_OP_SUCCESS) {
        fail(upgradeOpErr, tr("The check failed: %1.").arg(describeResult(upgradeOpErr)));
    } else {
        m_vecNeedUpgrade = vecNeedUpgrade;
        setState(StateChecked, vecNeedUpgrade.isEmpty()
                                   ? tr("Every module is up to date.")
                                   : tr("%n module(s) can be upgraded.", nullptr, vecNeedUpgrade.size()));
    }
    Q_EMIT checkFinished(upgradeOpErr);
}

void CUpgradeController::onPacketStatus(UpgradeOpError upgradeOpErr, bool isFinished, int nProgress)
{
    if (m_state != StateDownloading)
        return;
    if (!isFinished) {
        // A packet larger than announced goes past 100 before it is in;
        // 100 is kept for a packet that is ready.
        setProgress(qBound(0, nProgress, 99));
        return;
    }

    m_pUpgrade->wait();
    // The engine has staged the packet completely, solution information
    // included, or left nothing of it.
    const UpgradeOpError result = upgradeOpErr;
    // The engine's end signal says 100 whatever the outcome; only a staged
    // packet is complete.
    if (result == UPGRADE_OP_SUCCESS) {
        m_lastResult = result;
        setProgress(100);
        setState(StateReady, tr("The upgrade is ready: upgrade and restart to apply it."));
    } else {
        fail(result, tr("The download failed: %1.").arg(describeResult(result)));
    }
    Q_EMIT downloadFinished(result);
}

void CUpgradeController::setState(State state, const QString &strStatus)
{
    if (state == m_state && strStatus == m_strStatus)
        return;
    m_state = state;
    m_strStatus = strStatus;
    Q_EMIT stateChanged(state);
}

void CUpgradeController::setProgress(int nProgress)
{
    if (m_state == StateDownloading && nProgress < m_nProgress)
        return;
    if (nProgress == m_nProgress)
        return;
    m_nProgress = nProgress;
    Q_EMIT progressChanged(nProgress);
}

void CUpgradeController::fail(UpgradeOpError result, const QString &strStatus)
{
    m_lastResult = result;
    setState(StateFailed, strStatus);
}
