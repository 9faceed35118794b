#include "upgrade/cupgrade.h"
#include "upgrade/packetreceiver.h"

#include "platform/download.h"
#include "platform/http.h"
#include "upgrade/files/archive.h"
#include "upgrade/files/tmpdirs.h"
#include "upgrade/trust/transport.h"
#include "upgrade/trust/truststore.h"
#include "upgrade/transaction/journal.h"
#include "upgrade/transaction/staging.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QSet>
#include <QStorageInfo>
#include <QUrl>

#include <climits>
#include <limits>

namespace {

bool fitsFileSystemName(const QString &name)
{
#ifdef Q_OS_WIN
    return name.size() <= 255;
#else
    return QFile::encodeName(name).size() <= NAME_MAX;
#endif
}

// The name comes fully decoded from the URL ("%2e%2e", "%5c", "%00"): it
// must name a file directly inside the temporary directory, of its own.
bool isPlainFileName(const QString &name)
{
    return name != QLatin1String(".") && name != QLatin1String("..") && !name.contains(QLatin1Char('/'))
        && !name.contains(QLatin1Char('\\')) && !name.contains(QChar(0)) && !isReservedTmpEntryName(name)
        && fitsFileSystemName(name);
}

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

// An unsigned packet may differ from its announced size (a size in
// megabytes is rounded, and publishers announce small packets loosely);
// beyond 10 % and 8 MiB more, it is a server that does not stop. A signed one has its exact size. Neither may take
// more than the disk has.
qint64 packetBound(const ModuleVersion &module, qint64 llExisting, const QString &strDir)
{
    qint64 bound = -1;
    if (module.llPacketBytes >= 0)
        bound = module.llPacketBytes;
    else if (module.dSize > 0 && module.dSize < 1e9)
        bound = qint64(module.dSize * 1024.0 * 1024.0 * 1.1) + 8 * 1024 * 1024;
    const QStorageInfo storage(strDir);
    if (storage.isValid() && storage.bytesAvailable() >= 0) {
        const qint64 room = llExisting + storage.bytesAvailable();
        bound = bound < 0 ? room : qMin(bound, room);
    }
    return bound;
}

// Which release the partial bytes belong to. The URL is left out: a server
// that moved keeps the bytes valid, and the validator sent with the range
// tells whether they still are.
QByteArray packetIdentity(const ModuleVersion &module)
{
    return module.strId.toUtf8() + '\n' + module.strVersion.toUtf8() + '\n' + QByteArray::number(module.llReleaseDate)
        + '\n' + QByteArray::number(module.llPacketBytes) + '\n' + module.baPacketSha256.toHex();
}

// Partial packets of modules no longer on the list are obsolete.
void removeObsoletePartials(const QString &strDir, const QSet<QString> &keep)
{
    const QDir dir(strDir);
    const QFileInfoList entries = dir.entryInfoList({QStringLiteral("*.part"), QStringLiteral("*.state")},
                                                    QDir::Files | QDir::Hidden | QDir::System);
    for (const QFileInfo &entry : entries) {
        if (!keep.contains(entry.fileName()))
            QFile::remove(entry.absoluteFilePath());
    }
}


} // namespace

QString CUpgrade::downloadDir() const
{
    // Named after Tmp, so that it is never a folder of someone else's.
    return QDir::cleanPath(QFileInfo(strTmpDir).absoluteFilePath()) + QLatin1String(".download");
}

bool CUpgrade::beginDownloadData(qint64 llOffset, double dModuleBase)
{
    if (!fileDownload.isOpen() || llOffset < 0 || fileDownload.size() < llOffset)
        return false;
    if (!fileDownload.resize(llOffset) || !restartPacketVerifier(llOffset) || !fileDownload.seek(llOffset)) {
        qWarning() << "cannot continue " << fileDownload.fileName() << " at " << llOffset;
        return false;
    }
    dDownloadedSize = dModuleBase + double(llOffset) * dByteWeight;
    llBytesInHand = qint64(dDownloadedSize);
    return true;
}

// The bytes kept from before are hashed once, here, so that the hash of the
// whole packet is complete when the last byte arrives.
bool CUpgrade::restartPacketVerifier(qint64 llOffset)
{
    packetVerifier.restart();
    if (llOffset == 0 || !packetVerifier.isExpecting())
        return true;
    if (!fileDownload.seek(0))
        return false;
    QByteArray buffer(1024 * 1024, Qt::Uninitialized);
    qint64 left = llOffset;
    while (left > 0) {
        const qint64 got = fileDownload.read(buffer.data(), qMin<qint64>(left, buffer.size()));
        if (got <= 0 || !packetVerifier.update(buffer.constData(), got))
            return false;
        left -= got;
    }
    return true;
}

UpgradeOpError CUpgrade::getUpgradePacket(const QVector<ModuleVersion> &vecModules)
{
    const UpgradeOpError result = downloadUpgradePacket(vecModules);
    if (result != UPGRADE_OP_SUCCESS) {
        removeTmpDir();
        // Kept only while it holds partial data to continue from.
        QDir().rmdir(downloadDir());
    }
    return result;
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
    if (!trustStore.load(trustError)) {
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
        qWarning() << "mkdir " << strPacketDir << " failed!";
        return UPGRADE_OP_CREATE_DIR_FAILED;
    }

    const QUrl query = packetQueryUrl();
    vecPacketReport.clear();
    llBytesInHand = 0;
    const QString strDownloadDir = downloadDir();
    QSet<QString> keep;
    for (const ModuleVersion &module : vecModules) {
        const QString fileName = QUrl(module.strUrl, QUrl::TolerantMode).fileName();
        keep << fileName + QLatin1String(".part") << fileName + QLatin1String(".state");
        if (const DeltaPacket *delta = trustStore.hasKeys() ? offeredDelta(module) : nullptr)
            keep << delta->strPacket + QLatin1String(".part") << delta->strPacket + QLatin1String(".state");
    }
    removeObsoletePartials(strDownloadDir, keep);

    for (const ModuleVersion &module : vecModules) {
        const QString fileName = QUrl(module.strUrl, QUrl::TolerantMode).fileName();
        if (fileName.isEmpty())
            return UPGRADE_OP_NETWORK_FAILED;
        if (!isPlainFileName(fileName)) {
            qWarning() << "packet file name " << fileName << " of " << module.strUrl << " refused";
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

        const QString localPath = strTmpDir + QDir::separator() + fileName;
        // The bytes gather outside Tmp, so that a failed run, which removes
        // Tmp, leaves them for the next one to continue.
        const QString partPath = strDownloadDir + QDir::separator() + fileName + QLatin1String(".part");
        const QString statePath = strDownloadDir + QDir::separator() + fileName + QLatin1String(".state");
        if (!QDir().mkpath(strDownloadDir)) {
            qWarning() << "mkdir " << strDownloadDir << " failed!";
            return UPGRADE_OP_CREATE_DIR_FAILED;
        }

        if (fileDownload.isOpen())
            fileDownload.close();
        fileDownload.setFileName(partPath);
        // Unbuffered: each block goes to disk as it comes, and a failed write
        // shows in the callback instead of at close.
        if (!fileDownload.open(QIODevice::ReadWrite | QIODevice::Unbuffered))
            return UPGRADE_OP_WRITE_FILE_FAILED;

        DownloadRequest request;
        request.listUrls = packetUrls(module, query);
        request.strStatePath = statePath;
        request.baIdentity = packetIdentity(module);
        request.llExistingBytes = fileDownload.size();
        request.llExactBytes = module.llPacketBytes;
        request.llMaxBytes = packetBound(module, request.llExistingBytes, strDownloadDir);
        // A record that carries a signed size and hash is held to them; with
        // trusted keys every record carries them (checked above).
        if (module.llPacketBytes >= 0 && module.baPacketSha256.size() == 32)
            packetVerifier.reset(module.llPacketBytes, module.baPacketSha256);
        else
            packetVerifier.reset(-1, QByteArray());
        CPacketReceiver receiver(this, dDownloadedSize);
        DownloadOutcome outcome;
        const bool isDownloaded = downloadResumable(request, policyDownload, nTimeOut1, nTimeOut2, nTimeOut3,
                                                    receiver, &isStop, outcome);
        if (fileDownload.isOpen())
            fileDownload.close();

        report.strUrl = outcome.strUrl;
        report.llResumedBytes = outcome.llResumedBytes;
        // A delta tried first cost its bytes too.
        report.llReceivedBytes += outcome.llReceivedBytes;
        report.nAttempts += outcome.nAttempts;
        vecPacketReport.append(report);

        // The signed size bounds the transfer itself, so a longer body may
        // be cut by the client before the verifier sees its extra byte.
        const bool isPastSignedSize = packetVerifier.isOverflowed()
            || (outcome.error == HTTP_TOO_LARGE && module.llPacketBytes >= 0 && request.llMaxBytes == module.llPacketBytes);
        if (isPastSignedSize) {
            QFile::remove(partPath);
            removeDownloadState(statePath);
            qWarning() << "packet not trusted:" << module.strUrl << "goes past its signed size"
                       << module.llPacketBytes;
            return UPGRADE_OP_PACKET_NOT_TRUSTED;
        }
        if (!isDownloaded) {
            // Bytes beyond the bound are no packet worth continuing, and
            // nothing at all is not worth keeping.
            if (outcome.error == HTTP_TOO_LARGE || QFileInfo(partPath).size() == 0) {
                QFile::remove(partPath);
                removeDownloadState(statePath);
            }
            qWarning() << "get " << module.strUrl << " failed";
            return UPGRADE_OP_NETWORK_FAILED;
        }
        // Checked before 7z ever reads the file. Bytes that are not the
        // signed packet are no start to continue from either.
        if (!packetVerifier.finish(trustError)) {
            QFile::remove(partPath);
            removeDownloadState(statePath);
            qWarning() << "packet not trusted:" << outcome.strUrl << trustError;
            return UPGRADE_OP_PACKET_NOT_TRUSTED;
        }
        if (outcome.strUrl != module.strUrl)
            qInfo() << "packet " << fileName << " came from mirror " << outcome.strUrl;

        // A packet of the same name from an earlier module gives way, as a
        // truncating open would.
        if (QFileInfo::exists(localPath) && !QFile::remove(localPath))
            return UPGRADE_OP_WRITE_FILE_FAILED;
        if (!QFile::rename(partPath, localPath)) {
            qWarning() << "cannot move " << partPath << " to " << localPath;
            return UPGRADE_OP_WRITE_FILE_FAILED;
        }
        removeDownloadState(statePath);

        if (!do7z(str7zPath, localPath, partialDir)) {
            qWarning() << "do7z " << localPath << " to " << strPacketDir << " failed!";
            return UPGRADE_OP_DO7Z_FAILED;
        }
        ++nFinishedCount;
    }
    QDir().rmdir(strDownloadDir);
    if (!QDir().rename(partialDir, strPacketDir)) {
        qWarning() << "mkdir " << strPacketDir << " failed!";
        return UPGRADE_OP_CREATE_DIR_FAILED;
    }

    const UpgradeOpError stagedTrust = checkStagedTrustFile();
    if (stagedTrust != UPGRADE_OP_SUCCESS)
        return stagedTrust;

    if (!testCanUpgrade()) {
        qWarning() << "test can upgrade failed!";
        return UPGRADE_OP_TEST_CAN_UPGRADE_FAILED;
    }
    return UPGRADE_OP_SUCCESS;
}

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

    if (!self->packetVerifier.update(static_cast<const char *>(data), qint64(bytes)))
        return 0;
    if (self->fileDownload.write(static_cast<const char *>(data), qint64(bytes)) != qint64(bytes))
        return 0;
    self->dDownloadedSize += double(bytes) * self->dByteWeight;
    self->llBytesInHand = qint64(self->dDownloadedSize);
    self->emitDownloadProgress();
    return bytes;
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
