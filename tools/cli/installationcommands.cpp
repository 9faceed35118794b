#include "installationcommands.h"

#include "report.h"

#include "upgrade/cupgrade.h"
#include "upgrade/files/installationinfo.h"
#include "upgrade/files/upgradetypes.h"
#include "upgrade/report/outcomereport.h"
#include "upgrade/trust/rollout.h"

#include <QDateTime>
#include <QDebug>

#include <cstdio>

namespace {

void print(FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

bool load(const QString &strAppDir, InstallationInfo &info)
{
    QString error;
    if (loadInstallationInfo(strAppDir, info, error))
        return true;
    print(stderr, QStringLiteral("tarvex-upgrade: %1; make Conf/System writable and try again\n").arg(error));
    return false;
}

int save(const QString &strAppDir, const InstallationInfo &info)
{
    QString error;
    if (saveInstallationInfo(strAppDir, info, error))
        return 0;
    print(stderr, QStringLiteral("tarvex-upgrade: %1; make Conf/System writable and try again\n").arg(error));
    return UPGRADE_OP_WRITE_FILE_FAILED;
}

} // namespace

int runChannelShow(const QString &strAppDir)
{
    InstallationInfo info;
    if (!load(strAppDir, info))
        return UPGRADE_OP_WRITE_FILE_FAILED;
    print(stdout, info.strChannel + QLatin1Char('\n'));
    return 0;
}

int runChannelSet(const CliOptions &options, const QString &strAppDir)
{
    InstallationInfo info;
    if (!load(strAppDir, info))
        return UPGRADE_OP_WRITE_FILE_FAILED;
    const QString before = info.strChannel;
    info.strChannel = options.strChannel;
    if (const int result = save(strAppDir, info))
        return result;
    print(stdout, before == info.strChannel
                      ? QStringLiteral("The installation follows %1 already.\n").arg(info.strChannel)
                      : QStringLiteral("The installation follows %1 (was %2) from the next check; installed modules "
                                       "stay as they are until a newer release is offered.\n")
                            .arg(info.strChannel, before));
    return 0;
}

int runReports(bool isOn, const QString &strAppDir)
{
    InstallationInfo info;
    if (!load(strAppDir, info))
        return UPGRADE_OP_WRITE_FILE_FAILED;
    info.isReporting = isOn;
    if (const int result = save(strAppDir, info))
        return result;
    print(stdout, isOn ? QStringLiteral("Outcome reports are on: one short report after each upgrade, where the "
                                        "signed release document asks for them.\n")
                       : QStringLiteral("Outcome reports are off.\n"));
    return 0;
}

void recordDownloadOutcome(const CUpgrade &upgrade, const CommandReport &report, qint64 llDownloadMs)
{
    InstallationInfo info;
    QString error;
    if (upgrade.reportUrl().isEmpty() || report.vecNeedUpgrade.isEmpty() || !loadInstallationInfo(upgrade.appDir(), info, error)
        || !info.isReporting)
        return;
    PendingReports pending;
    pending.strUrl = upgrade.reportUrl();
    for (const ModuleVersion &module : report.vecNeedUpgrade) {
        OutcomeReport outcome;
        outcome.strReportId = OutcomeReports::reportId(info.strId, module.strId, module.strVersion);
        outcome.strModule = module.strId;
        outcome.strTo = module.strVersion;
        for (const ModuleVersion &installed : report.vecInstalled) {
            if (installed.strId == module.strId)
                outcome.strFrom = installed.strVersion;
        }
        outcome.nBucket = Trust::rolloutBucket(info.strId, module.strId, module.strVersion);
        outcome.nDownload = report.result;
        outcome.llDownloadMs = llDownloadMs;
        for (const PacketDownloadReport &packet : report.vecPackets) {
            if (packet.strId == module.strId) {
                outcome.strMethod = packet.isDelta ? QStringLiteral("delta") : QStringLiteral("full");
                outcome.llBytes = packet.llReceivedBytes;
            }
        }
        outcome.llAt = QDateTime::currentSecsSinceEpoch();
        pending.vecReports.append(outcome);
    }
    if (report.result != UPGRADE_OP_SUCCESS) {
        // The upgrade ends here: nothing is applied.
        OutcomeReports::send(pending.strUrl, pending.vecReports);
        return;
    }
    if (!OutcomeReports::savePending(upgrade.installLayout(), pending, error))
        qWarning().noquote() << "outcome report dropped:" << error;
}
