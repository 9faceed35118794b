#include "updatetext.h"

#include <QDateTime>

#include <cmath>

QString UpdateText::size(qint64 llBytes, const QLocale &locale)
{
    if (llBytes < 0)
        return QString();
    // Plural forms by hand: without a translator, %n leaves "(s)" standing.
    if (llBytes == 1)
        return tr("1 byte");
    if (llBytes < 1024)
        return tr("%1 bytes").arg(locale.toString(llBytes));
    return locale.formattedDataSize(llBytes, 1, QLocale::DataSizeIecFormat);
}

QString UpdateText::releaseDate(qint64 llReleaseDate, const QLocale &locale)
{
    const QDateTime date = QDateTime::fromString(QString::number(llReleaseDate), QStringLiteral("yyyyMMddHHmm"));
    if (!date.isValid())
        return QString();
    return locale.toString(date.date(), QLocale::LongFormat);
}

QString UpdateText::duration(qint64 llSeconds)
{
    if (llSeconds <= 1)
        return tr("about a second");
    if (llSeconds < 60)
        return tr("about %1 seconds").arg(llSeconds);
    const qint64 llMinutes = (llSeconds + 30) / 60;
    if (llMinutes == 1)
        return tr("about a minute");
    if (llMinutes < 60)
        return tr("about %1 minutes").arg(llMinutes);
    const qint64 llHours = (llSeconds + 1800) / 3600;
    return llHours == 1 ? tr("about an hour") : tr("about %1 hours").arg(llHours);
}

QString UpdateText::progress(qint64 llBytes, qint64 llTotal, double dBytesPerSecond, const QLocale &locale)
{
    QString text = llTotal > 0 ? tr("%1 of %2").arg(size(qMin(llBytes, llTotal), locale), size(llTotal, locale))
                               : size(llBytes, locale);
    if (!(dBytesPerSecond > 0) || !std::isfinite(dBytesPerSecond))
        return text;
    text = tr("%1, %2/s").arg(text, size(qint64(dBytesPerSecond), locale));
    if (llTotal > llBytes)
        text = tr("%1, %2 left").arg(text, duration(qint64(std::ceil(double(llTotal - llBytes) / dBytesPerSecond))));
    return text;
}

UpdateText::Failure UpdateText::failure(UpgradeOpError result, bool isDownload)
{
    Failure failure;
    const char *name = upgradeOpErrorName(result);
    failure.strDetails = tr("Details: %1 (%2)").arg(QLatin1String(*name ? name : "?")).arg(int(result));
    const QString tryAgain = tr("Try again later.");
    switch (result) {
    case UPGRADE_OP_NETWORK_FAILED:
        failure.strWhat = tr("The update server could not be reached.");
        failure.strNextStep = tr("Check the internet connection, then try again.");
        break;
    case UPGRADE_OP_READ_SERVER_CFG_FAILED:
        failure.strWhat = tr("This installation does not know where to look for updates.");
        failure.strNextStep = tr("Reinstall the application, or ask your administrator.");
        break;
    case UPGRADE_OP_GET_UPDATE_MODULE_INFO_FAILED:
        failure.strWhat = tr("The installed version could not be read.");
        failure.strNextStep = tr("Reinstall the application, or ask your administrator.");
        break;
    case UPGRADE_OP_TEST_CAN_UPGRADE_FAILED:
        failure.strWhat = tr("There is not enough free disk space for the update.");
        failure.strNextStep = tr("Free some disk space, then try again.");
        break;
    case UPGRADE_OP_CREATE_DIR_FAILED:
    case UPGRADE_OP_WRITE_FILE_FAILED:
        failure.strWhat = tr("The update could not be saved on this computer.");
        failure.strNextStep = tr("Free some disk space or ask your administrator about the application's "
                                 "folder, then try again.");
        break;
    case UPGRADE_OP_UPDATE_SOLUTION_INFO_FAILED:
        failure.strWhat = tr("The downloaded update could not be prepared for installation.");
        failure.strNextStep = tryAgain;
        break;
    case UPGRADE_OP_DO7Z_FAILED:
        failure.strWhat = tr("The downloaded update could not be unpacked.");
        failure.strNextStep = tr("Try again later; the download starts over.");
        break;
    case UPGRADE_OP_LOCKED:
        failure.strWhat = tr("Another update of this installation is in progress.");
        failure.strNextStep = tr("Wait until it ends, then try again.");
        break;
    case UPGRADE_OP_NOT_STAGED:
        failure.strWhat = tr("The update was not downloaded completely.");
        failure.strNextStep = tr("Download it again.");
        break;
    case UPGRADE_OP_ROLLBACK_INCOMPLETE:
        failure.strWhat = tr("An interrupted update could not be undone completely.");
        failure.strNextStep = tr("Restart the application: it tries again.");
        break;
    case UPGRADE_OP_RELEASE_NOT_TRUSTED:
        failure.strWhat = tr("The offered update is not signed by the publisher, so it was refused.");
        failure.strNextStep = tr("Nothing was installed. Try again later; if this stays, contact support.");
        break;
    case UPGRADE_OP_PACKET_NOT_TRUSTED:
        failure.strWhat = tr("The downloaded update is not what the publisher signed, so it was refused.");
        failure.strNextStep = tr("Nothing was installed. Try again later; if this stays, contact support.");
        break;
    case UPGRADE_OP_INSECURE_TRANSPORT:
        failure.strWhat = tr("The update would come over an insecure connection, so it was refused.");
        failure.strNextStep = tr("Nothing was downloaded. Contact support.");
        break;
    case UPGRADE_OP_NO_MODULE_NEED_UPDATE:
        failure.strWhat = tr("There is nothing to download any more.");
        failure.strNextStep = tr("Check for updates again.");
        break;
    default:
        failure.strWhat = isDownload ? tr("The download failed.") : tr("The check for updates failed.");
        failure.strNextStep = tryAgain;
        break;
    }
    return failure;
}

DownloadSize downloadSize(const ModuleVersion &offered, const QString &strInstalledVersion)
{
    DownloadSize size;
    // The signed size when there is one; the answer's megabytes otherwise,
    // which a server may send as anything.
    if (offered.llPacketBytes >= 0)
        size.llFullBytes = offered.llPacketBytes;
    else if (std::isfinite(offered.dSize) && offered.dSize >= 0 && offered.dSize < 1e9)
        size.llFullBytes = qint64(offered.dSize * 1024.0 * 1024.0);
    size.llBytes = size.llFullBytes;
    for (const DeltaPacket &delta : offered.vecDeltas) {
        if (delta.strBaseVersion == strInstalledVersion && delta.llBytes >= 0) {
            size.llBytes = delta.llBytes;
            size.isDelta = true;
        }
    }
    return size;
}
