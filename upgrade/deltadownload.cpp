#include "upgrade/cupgrade.h"
#include "upgrade/packetreceiver.h"

#include "platform/download.h"
#include "upgrade/delta/delta.h"
#include "upgrade/files/archive.h"
#include "upgrade/files/tmpdirs.h"
#include "upgrade/transaction/staging.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QStorageInfo>
#include <QUrl>

namespace {

// The index lists every file of the new tree; a few hundred bytes each.
constexpr qint64 maxIndexBytes = 64 * 1024 * 1024;

// The name comes from the signed document, which refuses unsafe names; it
// still must not reach outside the download directory or take a name the
// engine keeps there.
bool isPlainDeltaName(const QString &name)
{
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..")
        && !name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char('\\')) && !name.contains(QChar(0))
        && !name.contains(QLatin1Char(':')) && !isReservedTmpEntryName(name) && name.size() <= 255;
}

// The full packet's URL with its last path segment replaced by the delta's
// file name; query and fragment stay.
QString deltaUrl(const QString &strPacketUrl, const QString &strName)
{
    QUrl url(strPacketUrl, QUrl::TolerantMode);
    const QString path = url.path(QUrl::FullyEncoded);
    const int slash = path.lastIndexOf(QLatin1Char('/'));
    url.setPath(path.left(slash + 1) + QString::fromLatin1(QUrl::toPercentEncoding(strName)), QUrl::TolerantMode);
    return url.toString(QUrl::FullyEncoded);
}

QByteArray deltaIdentity(const ModuleVersion &module, const DeltaPacket &delta)
{
    return "delta\n" + module.strId.toUtf8() + '\n' + delta.strBaseVersion.toUtf8() + '\n'
        + module.strVersion.toUtf8() + '\n' + delta.strPacket.toUtf8() + '\n' + QByteArray::number(delta.llBytes)
        + '\n' + delta.baSha256.toHex();
}

bool readIndexFile(const QString &strPath, QByteArray &baJson, QString &strError)
{
    const QFileInfo info(strPath);
    if (info.isSymLink() || !info.isFile()) {
        strError = QStringLiteral("it holds no delta.json");
        return false;
    }
    if (info.size() > maxIndexBytes) {
        strError = QStringLiteral("its delta.json has %1 bytes, more than an index may").arg(info.size());
        return false;
    }
    QFile file(strPath);
    if (!file.open(QIODevice::ReadOnly)) {
        strError = QStringLiteral("cannot read its delta.json: %1").arg(file.errorString());
        return false;
    }
    baJson = file.read(maxIndexBytes + 1);
    if (baJson.size() > maxIndexBytes) {
        strError = QStringLiteral("its delta.json grew past the size an index may have");
        return false;
    }
    return true;
}

bool moveRebuiltFiles(const Delta::Index &index, const QString &strOutDir, const QString &strTargetDir,
                      QString &strError)
{
    for (const Delta::FileEntry &entry : index.vecFiles) {
        const QString source = strOutDir + QLatin1Char('/') + entry.strPath;
        const QString target = strTargetDir + QLatin1Char('/') + entry.strPath;
        // Another module's packet may carry the same file; the later one
        // wins, as it does when packets are unpacked over each other.
        const QFileInfo targetInfo(target);
        if ((targetInfo.exists() || targetInfo.isSymLink()) && !QFile::remove(target)) {
            strError = QStringLiteral("cannot replace %1 in the packet").arg(entry.strPath);
            return false;
        }
        if (!QDir().mkpath(targetInfo.absolutePath()) || !QFile::rename(source, target)) {
            strError = QStringLiteral("cannot move %1 into the packet").arg(entry.strPath);
            return false;
        }
    }
    return true;
}


} // namespace

const DeltaPacket *CUpgrade::offeredDelta(const ModuleVersion &module) const
{
    for (const ModuleVersion &installed : vecLocalModuleVersion) {
        if (installed.strId != module.strId)
            continue;
        for (const DeltaPacket &delta : module.vecDeltas) {
            if (delta.strBaseVersion == installed.strVersion && delta.llBytes > 0 && delta.baSha256.size() == 32)
                return &delta;
        }
        return nullptr;
    }
    return nullptr;
}

CUpgrade::DeltaResult CUpgrade::stageDelta(const ModuleVersion &module, const DeltaPacket &delta,
                                           const QStringList &listPacketUrls, PacketDownloadReport &report)
{
    report.llDeltaBytes = delta.llBytes;
    const QString scratch = QDir(strTmpDir).absoluteFilePath(TmpNames::delta());
    const QString strDownloadDir = downloadDir();
    const QString partPath = strDownloadDir + QLatin1Char('/') + delta.strPacket + QLatin1String(".part");
    const QString statePath = strDownloadDir + QLatin1Char('/') + delta.strPacket + QLatin1String(".state");
    const double dModuleBase = dDownloadedSize;
    // The delta's transfer fills the first half of the module's share of the
    // progress, the rebuild the second.
    const double dHalfShare = double(qMax<qint64>(module.llPacketBytes, 0)) / 2.0;

    bool isStopped = false;
    // One exit for every failure: the attempt leaves nothing behind but the
    // bytes of a stopped transfer, and the progress goes back to where the
    // module started.
    auto fail = [&](const QString &strReason) {
        if (fileDownload.isOpen())
            fileDownload.close();
        if (!isStopped || QFileInfo(partPath).size() == 0) {
            QFile::remove(partPath);
            removeDownloadState(statePath);
        }
        removeDirTree(scratch);
        dByteWeight = 1.0;
        dDownloadedSize = dModuleBase;
        llBytesInHand = qint64(dModuleBase);
        if (isStopped)
            return DeltaResult::Stopped;
        report.strDeltaFallback = strReason;
        qWarning() << "delta " << delta.strPacket << " of " << module.strId << " not used: " << strReason
                   << "; downloading the full packet";
        return DeltaResult::Fallback;
    };

    if (!isPlainDeltaName(delta.strPacket))
        return fail(QStringLiteral("its file name is refused"));
    if (!removeDirTree(scratch) || !QDir().mkpath(scratch) || !QDir().mkpath(strDownloadDir))
        return fail(QStringLiteral("cannot make %1").arg(scratch));

    DownloadRequest request;
    for (const QString &url : listPacketUrls)
        request.listUrls << deltaUrl(url, delta.strPacket);
    request.strStatePath = statePath;
    request.baIdentity = deltaIdentity(module, delta);

    if (fileDownload.isOpen())
        fileDownload.close();
    fileDownload.setFileName(partPath);
    if (!fileDownload.open(QIODevice::ReadWrite | QIODevice::Unbuffered))
        return fail(QStringLiteral("cannot write %1: %2").arg(partPath, fileDownload.errorString()));
    request.llExistingBytes = fileDownload.size();
    request.llExactBytes = delta.llBytes;
    request.llMaxBytes = delta.llBytes;
    const QStorageInfo storage(strDownloadDir);
    if (storage.isValid() && storage.bytesAvailable() >= 0)
        request.llMaxBytes = qMin(request.llMaxBytes, request.llExistingBytes + storage.bytesAvailable());
    packetVerifier.reset(delta.llBytes, delta.baSha256);
    dByteWeight = dHalfShare / double(delta.llBytes);

    CPacketReceiver receiver(this, dModuleBase);
    DownloadOutcome outcome;
    const bool isDownloaded = downloadResumable(request, policyDownload, nTimeOut1, nTimeOut2, nTimeOut3, receiver,
                                                &isStop, outcome);
    fileDownload.close();
    report.strUrl = outcome.strUrl;
    report.llResumedBytes = outcome.llResumedBytes;
    report.llReceivedBytes = outcome.llReceivedBytes;
    report.nAttempts = outcome.nAttempts;

    isStopped = isStop.load() || outcome.isStopped;
    if (isStopped)
        return fail(QStringLiteral("stopped"));
    if (packetVerifier.isOverflowed() || (!isDownloaded && outcome.error == HTTP_TOO_LARGE))
        return fail(QStringLiteral("%1 goes past its signed size %2").arg(outcome.strUrl).arg(delta.llBytes));
    if (!isDownloaded)
        return fail(QStringLiteral("cannot get %1: %2").arg(outcome.strUrl, outcome.strError));
    QString error;
    if (!packetVerifier.finish(error))
        return fail(QStringLiteral("%1 is not the signed delta: %2").arg(outcome.strUrl, error));

    const QString archive = scratch + QLatin1Char('/') + delta.strPacket;
    if (!QFile::rename(partPath, archive))
        return fail(QStringLiteral("cannot move %1 to %2").arg(partPath, archive));
    removeDownloadState(statePath);

    const QString unpacked = scratch + QLatin1String("/unpacked");
    const QString rebuilt = scratch + QLatin1String("/rebuilt");
    if (!do7z(str7zPath, archive, unpacked))
        return fail(QStringLiteral("7z cannot unpack it"));
    QByteArray json;
    Delta::Index index;
    if (!readIndexFile(unpacked + QLatin1String("/delta.json"), json, error) || !Delta::parseIndex(json, index, error))
        return fail(QStringLiteral("its index is refused: %1").arg(error));
    if (index.strModule != module.strId || index.strBase != delta.strBaseVersion
        || index.strVersion != module.strVersion)
        return fail(QStringLiteral("its index is for %1 %2 -> %3, not %4 %5 -> %6")
                        .arg(index.strModule, index.strBase, index.strVersion, module.strId, delta.strBaseVersion,
                             module.strVersion));

    const double dRebuildBase = dModuleBase + dHalfShare;
    dByteWeight = 1.0;
    const auto progress = [&](int nDone, int nTotal) {
        if (isStop.load())
            return false;
        dDownloadedSize = dRebuildBase + (nTotal > 0 ? dHalfShare * nDone / nTotal : dHalfShare);
        llBytesInHand = qint64(dDownloadedSize);
        emitDownloadProgress();
        return true;
    };
    if (!Delta::rebuild(index, strAppDir, unpacked, rebuilt, error, progress)) {
        isStopped = isStop.load();
        return fail(QStringLiteral("the rebuild failed: %1").arg(error));
    }
    if (!moveRebuiltFiles(index, rebuilt, partialPacketDir(), error))
        return fail(error);

    removeDirTree(scratch);
    dDownloadedSize = dModuleBase + 2 * dHalfShare;
    llBytesInHand = qint64(dDownloadedSize);
    report.isDelta = true;
    qInfo() << "packet of " << module.strId << " made from delta " << delta.strPacket << " (" << delta.llBytes
            << " bytes instead of " << module.llPacketBytes << ")";
    return DeltaResult::Staged;
}
