#include "upgrade/cupgrade.h"
#include "upgrade/packetfetch.h"

#include "platform/download.h"
#include "upgrade/files/archive.h"
#include "upgrade/files/filenamerule.h"
#include "upgrade/files/portablenames.h"
#include "upgrade/files/tmpdirs.h"
#include "upgrade/stagedinfo.h"
#include "upgrade/trust/transport.h"
#include "upgrade/trust/truststore.h"
#include "upgrade/transaction/journal.h"
#include "upgrade/transaction/staging.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QUrl>

#include <limits>

namespace {

// Percent done: 20 once every module is in (the integer quotient), 80 in
// proportion to the bytes received against the announced total. Without a
// positive total there is nothing to measure against. A packet larger than
// announced goes beyond 80, even beyond 100; far beyond, the value stops at
// the end of the int range instead of leaving it.
bool downloadProgress(int nFinished, int nCount, double dDownloaded, double dTotal, int &nProgress)
{
    if (!(dTotal > 0))
        return false;
    const int q = nCount > 0 ? nFinished / nCount : 0;
    const double value = q * 20 + dDownloaded / dTotal * 80.0;
    if (!(value < 2147483648.0))
        nProgress = std::numeric_limits<int>::max();
    else if (!(value > -2147483649.0))
        nProgress = std::numeric_limits<int>::min();
    else
        nProgress = int(value);
    return true;
}

// The one rule every URL a packet may come from must pass, the primary and
// each mirror alike.
bool isPacketUrlAllowed(const QString &strUrl)
{
    const QUrl url(strUrl, QUrl::TolerantMode);
    const QString scheme = url.scheme().toLower();
    return url.isValid() && !url.host().isEmpty() && (scheme == QLatin1String("http") || scheme == QLatin1String("https"));
}

QStringList packetUrls(const ModuleVersion &module, const QUrl &query)
{
    QStringList urls{module.strUrl};
    for (const QString &mirror : module.listMirrors) {
        if (urls.contains(mirror))
            continue;
        if (!isPacketUrlAllowed(mirror) || !Trust::isTransportAllowed(query, QUrl(mirror, QUrl::TolerantMode))) {
            qWarning() << "mirror " << mirror << " of " << module.strId << " refused";
            continue;
        }
        urls << mirror;
    }
    return urls;
}

// Which release the partial bytes belong to. The URL is left out: a server
// that moved keeps the bytes valid, and the validator sent with the range
// tells whether they still are.
QByteArray packetIdentity(const ModuleVersion &module)
{
    return module.strId.toUtf8() + '\n' + module.strVersion.toUtf8() + '\n' + QByteArray::number(module.llReleaseDate)
        + '\n' + QByteArray::number(module.llPacketBytes) + '\n' + module.baPacketSha256.toHex();
}


} // namespace

QString CUpgrade::downloadDir() const
{
    return installLayout().downloadDir();
}

UpgradeOpError CUpgrade::getUpgradePacket(const QVector<ModuleVersion> &vecModules)
{
    UpgradeOpError result = downloadUpgradePacket(vecModules);
    if (result == UPGRADE_OP_SUCCESS)
        result = markDownloadStaged(vecModules);
    if (result != UPGRADE_OP_SUCCESS) {
        removeTmpDir();
        // Kept only while it holds partial data to continue from.
        QDir().rmdir(downloadDir());
    }
    return result;
}

UpgradeOpError CUpgrade::markDownloadStaged(const QVector<ModuleVersion> &vecModules)
{
    // Without the new versions beside them, applied module files would still
    // be recorded as the old versions and offered again.
    if (!strSolutionInfoPath.isEmpty()
        && !stageSolutionInfo(strAppDir, strPacketDir, strSolutionInfoPath, vecModules)) {
        return UPGRADE_OP_UPDATE_SOLUTION_INFO_FAILED;
    }
    if (!markPacketStaged(strTmpDir, vecModules)) {
        qWarning() << "the packet in" << strTmpDir << "could not be marked as staged";
        return UPGRADE_OP_WRITE_FILE_FAILED;
    }
    return UPGRADE_OP_SUCCESS;
}

bool CUpgrade::createTmpDirForUpgrade()
{
    if (strTmpDir.isEmpty()) {
        qWarning() << "tmp dir is null";
        return false;
    }
    return QDir().mkpath(strTmpDir);
}

UpgradeOpError CUpgrade::downloadUpgradePacket(const QVector<ModuleVersion> &vecModules)
{
    if (vecModules.isEmpty()) {
        qWarning() << "no module need update";
        return UPGRADE_OP_NO_MODULE_NEED_UPDATE;
    }

    nFinishedCount = 0;
    dDownloadedSize = 0;
    nModuleCount = vecModules.size();
    dTotalSize = 0;
    for (const ModuleVersion &module : vecModules)
        dTotalSize += module.dSize * 1024.0 * 1024.0;
    nLastProgress = 0;

    Trust::CTrustStore trustStore(strAppDir);
    QString trustError;
    if (!trustStore.load(trustError) || !trustStore.canVerify(trustError)) {
        qWarning() << "packet not trusted: cannot read the trusted keys:" << trustError;
        return UPGRADE_OP_PACKET_NOT_TRUSTED;
    }
    const UpgradeOpError sources = checkPacketSources(vecModules, trustStore.hasKeys());
    if (sources != UPGRADE_OP_SUCCESS)
        return sources;

    // An apply that could not be rolled back completely still needs its
    // backup: no new download until it is finished.
    if (hasUnfinishedTransaction(strTmpDir)) {
        qWarning() << "an unfinished upgrade transaction in" << strTmpDir << "must be finished first";
        return UPGRADE_OP_ROLLBACK_INCOMPLETE;
    }
    if (!createTmpDirForUpgrade()) {
        qWarning() << "createTmpDirForUpgrade failed";
        return UPGRADE_OP_CREATE_DIR_FAILED;
    }
    // Nothing of an earlier staging mixes into this one, and the packet
    // appears under its name only once every module is unpacked.
    const QString partialDir = partialPacketDir();
    if (!clearStaging(strTmpDir) || !QDir().mkpath(partialDir)) {
        qWarning() << "mkdir " << partialDir << " failed!";
        return UPGRADE_OP_CREATE_DIR_FAILED;
    }

    const QUrl query = packetQueryUrl();
    vecPacketReport.clear();
    llBytesInHand = 0;
    const QString strDownloadDir = downloadDir();
    CPacketFetch fetch(installLayout());
    setUpFetch(fetch);
    QStringList keep;
    for (const ModuleVersion &module : vecModules) {
        keep << QUrl(module.strUrl, QUrl::TolerantMode).fileName();
        if (const DeltaPacket *delta = trustStore.hasKeys() ? offeredDelta(module) : nullptr)
            keep << delta->strPacket;
    }
    fetch.removeObsolete(keep);

    for (const ModuleVersion &module : vecModules) {
        const QString fileName = QUrl(module.strUrl, QUrl::TolerantMode).fileName();
        if (fileName.isEmpty())
            return UPGRADE_OP_NETWORK_FAILED;
        QString reason;
        if (!isPlainServerFileName(fileName, &reason)) {
            qWarning() << "packet file name " << fileName << " of " << module.strUrl << " refused: " << reason;
            return UPGRADE_OP_NETWORK_FAILED;
        }
        if (!isPacketUrlAllowed(module.strUrl)) {
            qWarning() << "get " << module.strUrl << " failed";
            return UPGRADE_OP_NETWORK_FAILED;
        }
        PacketDownloadReport report;
        report.strId = module.strId;
        report.llFullBytes = module.llPacketBytes;
        // A delta is safe only against hashes from an accepted signed
        // document; whatever goes wrong with it, the full packet still can.
        if (const DeltaPacket *delta = trustStore.hasKeys() ? offeredDelta(module) : nullptr) {
            const DeltaResult tried = stageDelta(module, *delta, packetUrls(module, query), report);
            if (tried == DeltaResult::Stopped) {
                vecPacketReport.append(report);
                qWarning() << "get " << module.strUrl << " failed";
                return UPGRADE_OP_NETWORK_FAILED;
            }
            if (tried == DeltaResult::Staged) {
                vecPacketReport.append(report);
                ++nFinishedCount;
                continue;
            }
        }

        // The bytes gather outside Tmp, so that a failed run, which removes
        // Tmp, leaves them for the next one to continue.
        PacketSource source;
        source.strName = fileName;
        source.listUrls = packetUrls(module, query);
        source.baIdentity = packetIdentity(module);
        source.llSignedBytes = module.llPacketBytes;
        source.baSignedSha256 = module.baPacketSha256;
        source.llMaxBytes = unsignedPacketBound(module.dSize, policyDownload.llUnsignedCapBytes);
        const double dModuleBase = dDownloadedSize;
        fetch.setProgress(
            [this, dModuleBase](qint64 llInHand) { showDownloadProgress(dModuleBase, double(llInHand)); });
        const QString localPath = strTmpDir + QDir::separator() + fileName;
        const FetchResult fetched = fetch.fetch(source, localPath);

        const DownloadOutcome &outcome = fetch.outcome();
        report.strUrl = outcome.strUrl;
        report.llResumedBytes = outcome.llResumedBytes;
        // A delta tried first cost its bytes too.
        report.llReceivedBytes += outcome.llReceivedBytes;
        report.nAttempts += outcome.nAttempts;
        vecPacketReport.append(report);

        switch (fetched) {
        case FetchResult::Fetched:
            break;
        case FetchResult::NotTrusted:
            qWarning() << "packet not trusted:" << fetch.errorString();
            return UPGRADE_OP_PACKET_NOT_TRUSTED;
        case FetchResult::WriteFailed:
            // As ever, a packet file that cannot be written is no warning.
            qInfo() << fetch.errorString();
            return UPGRADE_OP_WRITE_FILE_FAILED;
        case FetchResult::NoRoom:
            qWarning() << fetch.errorString();
            return UPGRADE_OP_WRITE_FILE_FAILED;
        case FetchResult::TooLarge:
            qWarning() << "packet refused:" << fetch.errorString();
            if (!source.isSigned() && fetch.maxBytes() == source.llMaxBytes
                && unsignedPacketBound(module.dSize, -1) < 0)
                qWarning() << "its \"Size\"" << module.dSize
                           << "gives no bound; an unsigned packet without one may have" << source.llMaxBytes
                           << "bytes at most";
            qWarning() << "get " << module.strUrl << " failed";
            return UPGRADE_OP_NETWORK_FAILED;
        case FetchResult::Stopped:
        case FetchResult::NetworkFailed:
            qWarning() << "get " << module.strUrl << " failed";
            return UPGRADE_OP_NETWORK_FAILED;
        }
        if (outcome.strUrl != module.strUrl)
            qInfo() << "packet " << fileName << " came from mirror " << outcome.strUrl;

        if (!do7z(str7zPath, localPath, partialDir)) {
            qWarning() << "do7z " << localPath << " to " << partialDir << " failed!";
            return UPGRADE_OP_DO7Z_FAILED;
        }
        ++nFinishedCount;
    }
    QDir().rmdir(strDownloadDir);
    // Every file or none: a name that cannot travel would be left behind
    // by the apply without a word.
    QString nameError;
    if (!PortableNames::checkTree(partialDir, nameError)) {
        qWarning().noquote() << "packet refused, a file in it cannot be installed:" << nameError;
        return UPGRADE_OP_DO7Z_FAILED;
    }
    if (!QDir().rename(partialDir, strPacketDir)) {
        qWarning() << "mkdir " << strPacketDir << " failed!";
        return UPGRADE_OP_CREATE_DIR_FAILED;
    }

    const UpgradeOpError stagedNames = checkStagedTree(trustStore.hasKeys());
    if (stagedNames != UPGRADE_OP_SUCCESS)
        return stagedNames;
    const UpgradeOpError stagedTrust = checkStagedTrustFile();
    if (stagedTrust != UPGRADE_OP_SUCCESS)
        return stagedTrust;

    if (!testCanUpgrade()) {
        qWarning() << "test can upgrade failed!";
        return UPGRADE_OP_TEST_CAN_UPGRADE_FAILED;
    }
    return UPGRADE_OP_SUCCESS;
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
    self->showDownloadProgress(self->dDownloadedSize, double(bytes));
    return bytes;
}

void CUpgrade::setUpFetch(CPacketFetch &fetch)
{
    fetch.setPolicy(policyDownload);
    fetch.setTimeOuts(nTimeOut1, nTimeOut2, nTimeOut3);
    fetch.setStopFlag(&isStop);
}

void CUpgrade::showDownloadProgress(double dBase, double dBytes)
{
    dDownloadedSize = dBase + dBytes;
    llBytesInHand = qint64(dDownloadedSize);
    emitDownloadProgress();
}

void CUpgrade::emitDownloadProgress()
{
    int progress = 0;
    if (downloadProgress(nFinishedCount, nModuleCount, dDownloadedSize, dTotalSize, progress)
        && qint64(progress) - nLastProgress > 5) {
        Q_EMIT signalGetUpgradePacketStatus(UPGRADE_OP_SUCCESS, false, progress);
        nLastProgress = progress;
    }
}
