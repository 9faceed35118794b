#include "installationcommands.h"

#include "upgrade/files/installationinfo.h"
#include "upgrade/files/upgradetypes.h"

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
