#include "upgradecommand.h"

#include "upgrade/cupgrade.h"
#include "upgrade/upgradecheck.h"

#include <QDebug>
#include <QFileInfo>

CUpgradeCommand::CUpgradeCommand(CUpgrade *pUpgrade, QObject *parent)
    : QObject(parent)
    , m_pUpgrade(pUpgrade)
{
    // The engine emits from its worker thread; queued, the slots run here.
    connect(m_pUpgrade, &CUpgrade::signalGetUpdateModuleVersionFinish, this, &CUpgradeCommand::onCheckFinished,
            Qt::QueuedConnection);
    connect(m_pUpgrade, &CUpgrade::signalGetUpgradePacketStatus, this, &CUpgradeCommand::onPacketStatus,
            Qt::QueuedConnection);
    connect(m_pUpgrade, &CUpgrade::signalUpgradeFinish, this, &CUpgradeCommand::onUpgradeFinish,
            Qt::QueuedConnection);
}

void CUpgradeCommand::requestStop()
{
    m_isStopRequested = true;
    m_pUpgrade->stopUpgrade();
}

CommandReport CUpgradeCommand::check(const QString &strSolutionInfoPath)
{
    CommandReport report;
    m_isOperationDone = false;
    startGetUpdateModuleVersion(strSolutionInfoPath, m_pUpgrade);

    // The entry point starts nothing, and no signal will come, when it
    // cannot read the installed versions (it has logged why). On a fresh
    // engine, start() leaves it running or, for a very short run, finished.
    if (!m_pUpgrade->isRunning() && !m_pUpgrade->isFinished()) {
        report.result = UPGRADE_OP_GET_UPDATE_MODULE_INFO_FAILED;
        return report;
    }
    waitForOperation();

    report.result = m_result;
    report.vecInstalled = m_pUpgrade->localModuleVersion();
    report.vecNeedUpgrade = m_vecNeedUpgrade;
    report.vecServerModuleVersion = m_vecServerModuleVersion;
    return report;
}

CommandReport CUpgradeCommand::download(const QString &strSolutionInfoPath)
{
    CommandReport report = check(strSolutionInfoPath);
    if (report.result != UPGRADE_OP_SUCCESS)
        return report;
    Q_EMIT checkFinished(report);

    report.hasProgress = true;
    report.nProgress = 0;
    if (m_isStopRequested) {
        // The code a stopped download ends with.
        report.result = UPGRADE_OP_NETWORK_FAILED;
        return report;
    }

    m_nProgress = 0;
    m_isOperationDone = false;
    m_pUpgrade->setNeedUpgradeModule(report.vecNeedUpgrade);
    m_pUpgrade->setOpMode(CUpgrade::OP_MODE_GET_UPGRADE_PACKET);
    m_pUpgrade->start();
    waitForOperation();

    report.result = m_result;
    report.nProgress = m_nProgress;
    report.vecPackets = m_pUpgrade->packetReports();
    return report;
}

CommandReport CUpgradeCommand::apply()
{
    CommandReport report;
    // The engine would report a missing packet as a failed copy, after a
    // rollback with nothing to roll back; say plainly that nothing is staged.
    if (!QFileInfo(m_pUpgrade->packetDir()).isDir()) {
        report.result = UPGRADE_OP_NO_MODULE_NEED_UPDATE;
        return report;
    }

    m_isOperationDone = false;
    m_pUpgrade->setOpMode(CUpgrade::OP_MODE_UPGRADE_TMP_DIR_TO_DEST_DIR);
    m_pUpgrade->start();
    waitForOperation();
    report.result = m_result;
    return report;
}

void CUpgradeCommand::waitForOperation()
{
    if (!m_isOperationDone)
        m_loop.exec();
    // The signal comes just before run() returns: a start() before the
    // thread has ended would do nothing.
    m_pUpgrade->wait();
}

void CUpgradeCommand::onCheckFinished(UpgradeOpError upgradeOpErr, const QVector<ModuleVersion> &vecNeedUpgrade,
                                      const QVector<ModuleVersion> &vecServerModuleVersion)
{
    m_result = upgradeOpErr;
    m_vecNeedUpgrade = vecNeedUpgrade;
    m_vecServerModuleVersion = vecServerModuleVersion;
    m_isOperationDone = true;
    m_loop.quit();
}

void CUpgradeCommand::onPacketStatus(UpgradeOpError upgradeOpErr, bool isFinished, int nProgress)
{
    if (!isFinished) {
        m_nProgress = nProgress;
        Q_EMIT progressChanged(nProgress);
        return;
    }
    // The end signal always says 100; only a download that succeeded got there.
    m_result = upgradeOpErr;
    if (upgradeOpErr == UPGRADE_OP_SUCCESS) {
        m_nProgress = nProgress;
        Q_EMIT progressChanged(nProgress);
    }
    m_isOperationDone = true;
    m_loop.quit();
}

void CUpgradeCommand::onUpgradeFinish(UpgradeOpError upgradeOpErr)
{
    m_result = upgradeOpErr;
    m_isOperationDone = true;
    m_loop.quit();
}
