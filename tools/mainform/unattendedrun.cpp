#include "unattendedrun.h"

#include "upgradecontroller.h"

#include <QDebug>
#include <QTimer>

#include <cstdio>

void printStep(const QString &strText)
{
    std::fprintf(stdout, "MainFormPlugin: %s\n", qUtf8Printable(strText));
    std::fflush(stdout);
    qInfo().noquote() << "main form:" << strText;
}

QString describeVersions(const QVector<ModuleVersion> &vecModules)
{
    if (vecModules.isEmpty())
        return QStringLiteral("none");
    QStringList parts;
    for (const ModuleVersion &module : vecModules)
        parts.append(QStringLiteral("%1 %2").arg(module.strId, module.strVersion));
    return parts.join(QStringLiteral(", "));
}

CUnattendedRun::CUnattendedRun(CUpgradeController *pController, QObject *parent)
    : QObject(parent)
    , m_pController(pController)
{
    connect(m_pController, &CUpgradeController::checkFinished, this, &CUnattendedRun::onCheckFinished);
    connect(m_pController, &CUpgradeController::progressChanged, this, &CUnattendedRun::onProgressChanged);
    connect(m_pController, &CUpgradeController::downloadFinished, this, &CUnattendedRun::onDownloadFinished);
}

void CUnattendedRun::start()
{
    QTimer::singleShot(0, this, &CUnattendedRun::runCheck);
}

void CUnattendedRun::runCheck()
{
    m_pController->readInstalledModules();
    printStep(QStringLiteral("unattended: checking for updates; installed: %1")
                  .arg(describeVersions(m_pController->installedModules())));
    if (m_pController->check())
        return;
    printStep(QStringLiteral("unattended: %1").arg(m_pController->statusText()));
    if (m_pController->state() == CUpgradeController::StateFailed)
        finish(ResultFailedBase + m_pController->lastResult(), QStringLiteral("check-failed"));
    else
        finish(ResultUpToDate, QStringLiteral("left-to-toolbox"));
}

void CUnattendedRun::onCheckFinished(UpgradeOpError result)
{
    if (m_isFinished)
        return;
    if (result != UPGRADE_OP_SUCCESS) {
        printStep(QStringLiteral("unattended: check failed: %1").arg(describeResult(result)));
        finish(ResultFailedBase + result, QStringLiteral("check-failed"));
        return;
    }

    const QVector<ModuleVersion> vecNeedUpgrade = m_pController->needUpgrade();
    if (vecNeedUpgrade.isEmpty()) {
        printStep(QStringLiteral("unattended: no module needs an upgrade; installed versions: %1")
                      .arg(describeVersions(m_pController->installedModules())));
        finish(ResultUpToDate, QStringLiteral("up-to-date"));
        return;
    }
    const QVector<ModuleVersion> vecInstalled = m_pController->installedModules();
    for (const ModuleVersion &offered : vecNeedUpgrade) {
        QString installedVersion = QStringLiteral("(not installed)");
        for (const ModuleVersion &installed : vecInstalled) {
            if (installed.strId == offered.strId)
                installedVersion = installed.strVersion;
        }
        printStep(QStringLiteral("unattended: %1 needs an upgrade: %2 -> %3 (%4)")
                      .arg(offered.strId, installedVersion, offered.strVersion, describeSize(offered.dSize)));
    }

    if (qEnvironmentVariableIsSet(handedOverVariable())) {
        printStep(QStringLiteral("unattended: the upgrade to %1 was handed over earlier in this run and did not "
                                 "take (installed: %2); not handing over again")
                      .arg(qEnvironmentVariable(handedOverVariable()),
                           describeVersions(vecInstalled)));
        finish(ResultNotApplied, QStringLiteral("not-applied"));
        return;
    }

    printStep(QStringLiteral("unattended: downloading %1 packet(s)").arg(vecNeedUpgrade.size()));
    if (!m_pController->download()) {
        printStep(QStringLiteral("unattended: %1").arg(m_pController->statusText()));
        finish(ResultFailedBase + m_pController->lastResult(), QStringLiteral("download-failed"));
    }
}

void CUnattendedRun::onProgressChanged(int nProgress)
{
    if (!m_isFinished && m_pController->state() == CUpgradeController::StateDownloading)
        printStep(QStringLiteral("unattended: downloaded %1%").arg(nProgress));
}

void CUnattendedRun::onDownloadFinished(UpgradeOpError result)
{
    if (m_isFinished)
        return;
    if (result != UPGRADE_OP_SUCCESS) {
        printStep(QStringLiteral("unattended: download failed: %1").arg(describeResult(result)));
        finish(ResultFailedBase + result, QStringLiteral("download-failed"));
        return;
    }
    for (const PacketDownloadReport &packet : m_pController->packetReports()) {
        if (packet.isDelta)
            printStep(QStringLiteral("unattended: %1 came as a delta: %2 bytes transferred, %3 bytes saved")
                          .arg(packet.strId)
                          .arg(packet.llReceivedBytes)
                          .arg(packet.llFullBytes - packet.llDeltaBytes));
        else if (!packet.strDeltaFallback.isEmpty())
            printStep(QStringLiteral("unattended: %1 came as the full packet (%2 bytes); the delta was not used: %3")
                          .arg(packet.strId)
                          .arg(packet.llReceivedBytes)
                          .arg(packet.strDeltaFallback));
    }
    const QString offered = describeVersions(m_pController->needUpgrade());
    printStep(QStringLiteral("unattended: %1 staged in %2; upgrading and restarting")
                  .arg(offered, m_pController->tmpDir()));
    // Inherited by the upgrader and by the launcher it starts again.
    qputenv(handedOverVariable(), offered.toUtf8());
    finish(ResultHandOver, QStringLiteral("handed-over"));
}

void CUnattendedRun::finish(int nResult, const QString &strOutcome)
{
    if (m_isFinished)
        return;
    m_isFinished = true;
    m_nResult = nResult;
    m_strOutcome = strOutcome;
    printStep(QStringLiteral("unattended: finished (%1), returning %2").arg(strOutcome).arg(nResult));
    Q_EMIT finished(nResult);
}
