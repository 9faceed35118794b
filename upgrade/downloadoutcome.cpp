#include "upgrade/downloadoutcome.h"

#include "upgrade/cupgrade.h"
#include "upgrade/files/installationinfo.h"
#include "upgrade/report/outcomereport.h"
#include "upgrade/trust/rollout.h"

#include <QDateTime>
#include <QDebug>

void recordDownloadOutcome(const CUpgrade &upgrade, const QVector<ModuleVersion> &vecInstalled,
                           const QVector<ModuleVersion> &vecNeedUpgrade, UpgradeOpError result, qint64 llDownloadMs)
{
    InstallationInfo info;
    QString error;
    if (upgrade.reportUrl().isEmpty() || vecNeedUpgrade.isEmpty()
        || !loadInstallationInfo(upgrade.appDir(), info, error) || !info.isReporting)
        return;
    PendingReports pending;
    pending.strUrl = upgrade.reportUrl();
    const QVector<PacketDownloadReport> packets = upgrade.packetReports();
    for (const ModuleVersion &module : vecNeedUpgrade) {
        OutcomeReport outcome;
        outcome.strReportId = OutcomeReports::reportId(info.strId, module.strId, module.strVersion);
        outcome.strModule = module.strId;
        outcome.strTo = module.strVersion;
        for (const ModuleVersion &installed : vecInstalled) {
            if (installed.strId == module.strId)
                outcome.strFrom = installed.strVersion;
        }
        outcome.nBucket = Trust::rolloutBucket(info.strId, module.strId, module.strVersion);
        outcome.nDownload = result;
        outcome.llDownloadMs = llDownloadMs;
        for (const PacketDownloadReport &packet : packets) {
            if (packet.strId == module.strId) {
                outcome.strMethod = packet.isDelta ? QStringLiteral("delta") : QStringLiteral("full");
                outcome.llBytes = packet.llReceivedBytes;
            }
        }
        outcome.llAt = QDateTime::currentSecsSinceEpoch();
        pending.vecReports.append(outcome);
    }
    if (result != UPGRADE_OP_SUCCESS) {
        OutcomeReports::send(pending.strUrl, pending.vecReports);
        return;
    }
    if (!OutcomeReports::savePending(upgrade.installLayout(), pending, error))
        qWarning().noquote() << "outcome report dropped:" << error;
}
