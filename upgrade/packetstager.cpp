#include "upgrade/packetstager.h"

#include "platform/download.h"
#include "platform/readfile.h"
#include "upgrade/files/archive.h"
#include "upgrade/files/filenamerule.h"
#include "upgrade/files/freespace.h"
#include "upgrade/files/portablenames.h"
#include "upgrade/files/tmpdirs.h"
#include "upgrade/packetfetch.h"
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

void DownloadProgress::start(const QVector<ModuleVersion> &vecModules)
{
    nFinishedCount = 0;
    dDownloadedSize = 0;
    nModuleCount = vecModules.size();
    dTotalSize = 0;
    for (const ModuleVersion &module : vecModules)
        dTotalSize += module.dSize * 1024.0 * 1024.0;
    nLastProgress = 0;
}

bool DownloadProgress::advance(double dBase, double dBytes, int &nPercent)
{
    dDownloadedSize = dBase + dBytes;
    // Without a positive total there is nothing to measure against. A
    // packet larger than announced goes beyond 80, even beyond 100; far
    // beyond, the value stops at the end of the int range instead of leaving it.
    if (!(dTotalSize > 0))
        return false;
    const int q = nModuleCount > 0 ? nFinishedCount / nModuleCount : 0;
    const double value = q * 20 + dDownloadedSize / dTotalSize * 80.0;
    int progress = 0;
    if (!(value < 2147483648.0))
        progress = std::numeric_limits<int>::max();
    else if (!(value > -2147483649.0))
        progress = std::numeric_limits<int>::min();
    else
        progress = int(value);
    if (qint64(progress) - nLastProgress <= 5)
        return false;
    nLastProgress = progress;
    nPercent = progress;
    return true;
}

CPacketStager::CPacketStager(const PacketStagerSettings &settings)
    : m_settings(settings)
{
}

bool CPacketStager::removeTmpDir(const QString &strTmpDir)
{
    // Its backup may be the only copy of files the installation needs back.
    if (hasUnfinishedTransaction(strTmpDir)) {
        qWarning() << "an unfinished upgrade transaction needs" << strTmpDir << "; it is kept";
        return false;
    }
    return removeDirTree(strTmpDir);
}

UpgradeOpError CPacketStager::stage(const QVector<ModuleVersion> &vecModules)
{
    UpgradeOpError result = download(vecModules);
    if (result == UPGRADE_OP_SUCCESS)
        result = markStaged(vecModules);
    if (result != UPGRADE_OP_SUCCESS) {
        removeTmpDir(m_settings.strTmpDir);
        // Kept only while it holds partial data to continue from.
        QDir().rmdir(m_settings.layout.downloadDir());
    }
    return result;
}

UpgradeOpError CPacketStager::markStaged(const QVector<ModuleVersion> &vecModules)
{
    // Without the new versions beside them, applied module files would still
    // be recorded as the old versions and offered again.
    if (!m_settings.strSolutionInfoPath.isEmpty()
        && !stageSolutionInfo(m_settings.layout.appDir(), tmpSubDir(CInstallLayout::packetName()),
                              m_settings.strSolutionInfoPath, vecModules)) {
        return UPGRADE_OP_UPDATE_SOLUTION_INFO_FAILED;
    }
    if (!markPacketStaged(m_settings.strTmpDir, vecModules)) {
        qWarning() << "the packet in" << m_settings.strTmpDir << "could not be marked as staged";
        return UPGRADE_OP_WRITE_FILE_FAILED;
    }
    return UPGRADE_OP_SUCCESS;
}

bool CPacketStager::createTmpDir()
{
    if (m_settings.strTmpDir.isEmpty()) {
        qWarning() << "tmp dir is null";
        return false;
    }
    return QDir().mkpath(m_settings.strTmpDir);
}

UpgradeOpError CPacketStager::download(const QVector<ModuleVersion> &vecModules)
{
    if (vecModules.isEmpty()) {
        qWarning() << "no module need update";
        return UPGRADE_OP_NO_MODULE_NEED_UPDATE;
    }

    m_downloadProgress.start(vecModules);
    const CInstallLayout &layout = m_settings.layout;
    const QString &strTmpDir = m_settings.strTmpDir;
    const QString strPacketDir = tmpSubDir(CInstallLayout::packetName());

    Trust::CTrustStore trustStore(layout.appDir());
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
    if (!createTmpDir()) {
        qWarning() << "createTmpDirForUpgrade failed";
        return UPGRADE_OP_CREATE_DIR_FAILED;
    }
    // Nothing of an earlier staging mixes into this one, and the packet
    // appears under its name only once every module is unpacked.
    const QString partialDir = layout.partialPacketDir();
    if (!clearStaging(strTmpDir) || !QDir().mkpath(partialDir)) {
        qWarning() << "mkdir " << partialDir << " failed!";
        return UPGRADE_OP_CREATE_DIR_FAILED;
    }

    const QUrl query = m_settings.queryUrl;
    m_vecReports.clear();
    if (m_progress)
        m_progress(0, -1);
    const QString strDownloadDir = layout.downloadDir();
    CPacketFetch fetch(layout);
    setUpFetch(fetch);
    QStringList keep;
    for (const ModuleVersion &module : vecModules) {
        keep << QUrl(module.strUrl, QUrl::TolerantMode).fileName();
        if (const DeltaPacket *delta = trustStore.hasKeys() ? offeredDelta(m_settings.vecLocal, module) : nullptr)
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
        if (const DeltaPacket *delta = trustStore.hasKeys() ? offeredDelta(m_settings.vecLocal, module) : nullptr) {
            const DeltaResult tried = stageDelta(module, *delta, packetUrls(module, query), report);
            if (tried == DeltaResult::Stopped) {
                m_vecReports.append(report);
                qWarning() << "get " << module.strUrl << " failed";
                return UPGRADE_OP_NETWORK_FAILED;
            }
            if (tried == DeltaResult::Staged) {
                m_vecReports.append(report);
                ++m_downloadProgress.nFinishedCount;
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
        source.llMaxBytes = unsignedPacketBound(module.dSize, m_settings.policy.llUnsignedCapBytes);
        const double dModuleBase = m_downloadProgress.dDownloadedSize;
        fetch.setProgress([this, dModuleBase](qint64 llInHand) { showProgress(dModuleBase, double(llInHand)); });
        const QString localPath = strTmpDir + QDir::separator() + fileName;
        const FetchResult fetched = fetch.fetch(source, localPath);

        const DownloadOutcome &outcome = fetch.outcome();
        report.strUrl = outcome.strUrl;
        report.llResumedBytes = outcome.llResumedBytes;
        // A delta tried first cost its bytes too.
        report.llReceivedBytes += outcome.llReceivedBytes;
        report.nAttempts += outcome.nAttempts;
        m_vecReports.append(report);

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

        if (!do7z(m_settings.str7zPath, localPath, partialDir)) {
            qWarning() << "do7z " << localPath << " to " << partialDir << " failed!";
            return UPGRADE_OP_DO7Z_FAILED;
        }
        ++m_downloadProgress.nFinishedCount;
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

    if (!testCanUpgrade(layout.appDir(), strTmpDir, tmpSubDir(CInstallLayout::backupName()))) {
        qWarning() << "test can upgrade failed!";
        return UPGRADE_OP_TEST_CAN_UPGRADE_FAILED;
    }
    return UPGRADE_OP_SUCCESS;
}

void CPacketStager::setUpFetch(CPacketFetch &fetch)
{
    fetch.setPolicy(m_settings.policy);
    fetch.setTimeOuts(m_settings.timeOut.nTimeOut1, m_settings.timeOut.nTimeOut2, m_settings.timeOut.nTimeOut3);
    fetch.setStopFlag(m_settings.pStop);
}

void CPacketStager::showProgress(double dBase, double dBytes)
{
    int nPercent = -1;
    m_downloadProgress.advance(dBase, dBytes, nPercent);
    if (m_progress)
        m_progress(qint64(m_downloadProgress.dDownloadedSize), nPercent);
}

UpgradeOpError CPacketStager::checkPacketSources(const QVector<ModuleVersion> &vecModules, bool isVerifying)
{
    const QUrl &query = m_settings.queryUrl;
    for (const ModuleVersion &module : vecModules) {
        if (!Trust::isTransportAllowed(query, QUrl(module.strUrl, QUrl::TolerantMode))) {
            qWarning() << "packet URL " << module.strUrl << " refused: weaker transport than the query "
                       << query.toString(QUrl::RemoveQuery);
            return UPGRADE_OP_INSECURE_TRANSPORT;
        }
        if (isVerifying && (module.llPacketBytes < 0 || module.baPacketSha256.size() != 32)) {
            qWarning() << "packet not trusted:" << module.strUrl << "has no signed size and SHA-256";
            return UPGRADE_OP_PACKET_NOT_TRUSTED;
        }
    }
    return UPGRADE_OP_SUCCESS;
}

UpgradeOpError CPacketStager::checkStagedTrustFile()
{
    // The trust file may change through a packet only as a key list signed
    // by the keys trusted now; anything else would let a packet choose whom
    // the installation trusts.
    const QString staged = tmpSubDir(CInstallLayout::packetName()) + QLatin1Char('/') + Trust::trustFileRelativePath();
    const QFileInfo info(staged);
    if (!info.exists() && !info.isSymLink())
        return UPGRADE_OP_SUCCESS;
    Trust::CTrustStore store(m_settings.layout.appDir());
    QString error;
    QByteArray content;
    if (info.isSymLink() || !readFileBounded(staged, 1024 * 1024, content, error) || !store.load(error)
        || !store.isSignedRotation(content, error)) {
        qWarning() << "packet not trusted: it carries" << Trust::trustFileRelativePath()
                   << "that is no signed rotation of the trusted keys:" << error;
        return UPGRADE_OP_PACKET_NOT_TRUSTED;
    }
    qInfo() << "the packet rotates the trusted release keys";
    return UPGRADE_OP_SUCCESS;
}

UpgradeOpError CPacketStager::checkStagedTree(bool isVerifying)
{
    // Whatever the packet says, it does not write the journal, the lock, the
    // serial or anything else the engine keeps: the apply would work against
    // itself, and a crash would leave recovery acting on the packet's word.
    QString error;
    if (!m_settings.layout.checkTree(tmpSubDir(CInstallLayout::packetName()), error)) {
        qWarning().noquote() << "packet refused:" << error << "- a packet may not take a name the engine keeps";
        return isVerifying ? UPGRADE_OP_PACKET_NOT_TRUSTED : UPGRADE_OP_NETWORK_FAILED;
    }
    return UPGRADE_OP_SUCCESS;
}
