#include "upgrade/packetstager.h"
#include "upgrade/packetfetch.h"

#include "platform/readfile.h"
#include "upgrade/delta/delta.h"
#include "upgrade/files/archive.h"
#include "upgrade/files/filenamerule.h"
#include "upgrade/files/tmpdirs.h"
#include "upgrade/transaction/staging.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QUrl>

namespace {

// The index lists every file of the new tree; a few hundred bytes each.
constexpr qint64 maxIndexBytes = 64 * 1024 * 1024;

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
    // 7z makes the links an archive holds: one must not lead the read elsewhere.
    if (QFileInfo(strPath).isSymLink()) {
        strError = QStringLiteral("its delta.json is a link");
        return false;
    }
    return readFileBounded(strPath, maxIndexBytes, baJson, strError);
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

const DeltaPacket *CPacketStager::offeredDelta(const QVector<ModuleVersion> &vecLocal, const ModuleVersion &module)
{
    for (const ModuleVersion &installed : vecLocal) {
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

CPacketStager::DeltaResult CPacketStager::stageDelta(const ModuleVersion &module, const DeltaPacket &delta,
                                                     const QStringList &listPacketUrls, PacketDownloadReport &report)
{
    report.llDeltaBytes = delta.llBytes;
    const QString scratch = QDir(m_settings.strTmpDir).absoluteFilePath(TmpNames::delta());
    CPacketFetch fetch(m_settings.layout);
    setUpFetch(fetch);
    const double dModuleBase = m_downloadProgress.dDownloadedSize;
    // The delta's transfer fills the first half of the module's share of the
    // progress, the rebuild the second.
    const double dHalfShare = double(qMax<qint64>(module.llPacketBytes, 0)) / 2.0;

    bool isStopped = false;
    // One exit for every failure: the attempt leaves nothing behind but the
    // bytes of a stopped transfer, and the progress goes back to where the
    // module started.
    auto fail = [&](const QString &strReason) {
        if (!isStopped)
            fetch.discard(delta.strPacket);
        removeDirTree(scratch);
        showProgress(dModuleBase, 0);
        if (isStopped)
            return DeltaResult::Stopped;
        report.strDeltaFallback = strReason;
        qWarning() << "delta " << delta.strPacket << " of " << module.strId << " not used: " << strReason
                   << "; downloading the full packet";
        return DeltaResult::Fallback;
    };

    QString reason;
    if (!isPlainServerFileName(delta.strPacket, &reason))
        return fail(QStringLiteral("its file name is refused: %1").arg(reason));
    if (!removeDirTree(scratch) || !QDir().mkpath(scratch))
        return fail(QStringLiteral("cannot make %1").arg(scratch));

    PacketSource source;
    source.strName = delta.strPacket;
    for (const QString &url : listPacketUrls)
        source.listUrls << deltaUrl(url, delta.strPacket);
    source.baIdentity = deltaIdentity(module, delta);
    source.llSignedBytes = delta.llBytes;
    source.baSignedSha256 = delta.baSha256;
    const double dWeight = dHalfShare / double(delta.llBytes);
    fetch.setProgress([this, dModuleBase, dWeight](qint64 llInHand) {
        showProgress(dModuleBase, double(llInHand) * dWeight);
    });
    const QString archive = scratch + QLatin1Char('/') + delta.strPacket;
    const FetchResult fetched = fetch.fetch(source, archive);
    const DownloadOutcome &outcome = fetch.outcome();
    report.strUrl = outcome.strUrl;
    report.llResumedBytes = outcome.llResumedBytes;
    report.llReceivedBytes = outcome.llReceivedBytes;
    report.nAttempts = outcome.nAttempts;

    isStopped = fetched == FetchResult::Stopped;
    if (fetched == FetchResult::NotTrusted)
        return fail(QStringLiteral("not the signed delta: %1").arg(fetch.errorString()));
    if (fetched != FetchResult::Fetched)
        return fail(fetch.errorString());

    QString error;
    const QString unpacked = scratch + QLatin1String("/unpacked");
    const QString rebuilt = scratch + QLatin1String("/rebuilt");
    if (!do7z(m_settings.str7zPath, archive, unpacked))
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

    const auto progress = [&](int nDone, int nTotal) {
        if (isStopRequested())
            return false;
        showProgress(dModuleBase, dHalfShare + (nTotal > 0 ? dHalfShare * nDone / nTotal : dHalfShare));
        return true;
    };
    if (!Delta::rebuild(index, m_settings.layout.appDir(), unpacked, rebuilt, error, progress)) {
        isStopped = isStopRequested();
        return fail(QStringLiteral("the rebuild failed: %1").arg(error));
    }
    if (!moveRebuiltFiles(index, rebuilt, m_settings.layout.partialPacketDir(), error))
        return fail(error);

    removeDirTree(scratch);
    showProgress(dModuleBase, 2 * dHalfShare);
    report.isDelta = true;
    qInfo() << "packet of " << module.strId << " made from delta " << delta.strPacket << " (" << delta.llBytes
            << " bytes instead of " << module.llPacketBytes << ")";
    return DeltaResult::Staged;
}
