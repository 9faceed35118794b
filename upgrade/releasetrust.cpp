#include "upgrade/cupgrade.h"

#include "platform/readfile.h"

#include "upgrade/config/serverclusterinfo.h"
#include "upgrade/files/installationinfo.h"
#include "upgrade/trust/releasedocument.h"
#include "upgrade/trust/rollout.h"
#include "upgrade/trust/transport.h"
#include "upgrade/trust/truststore.h"
#include "upgrade/versionquery.h"

#include <QDebug>
#include <QFileInfo>
#include <QUrl>

UpgradeOpError CUpgrade::checkReleaseTrust(QVector<ModuleVersion> &vecServerModuleVersion)
{
    Trust::CTrustStore store(strAppDir);
    QString error;
    if (!store.load(error) || !store.canVerify(error)) {
        // A damaged or lost trust file or serial must not turn verification
        // off, nor let an older release back in.
        qWarning().noquote() << "release not trusted:" << error;
        vecServerModuleVersion.clear();
        return UPGRADE_OP_RELEASE_NOT_TRUSTED;
    }
    if (!store.hasKeys()) {
        qWarning() << "updates are not verified: the installation trusts no release key";
        return UPGRADE_OP_SUCCESS;
    }

    // Opened already, while the answer was read, if that was this envelope.
    Trust::ReleaseDocument document;
    Trust::ReleaseCheck check = Trust::ReleaseCheck::Missing;
    if (hasReleaseEnvelope && openedRelease.isFor(releaseEnvelope, store.keys())) {
        check = openedRelease.check;
        document = std::move(openedRelease.document);
        error = openedRelease.strError;
    } else {
        check = Trust::openRelease(hasReleaseEnvelope ? &releaseEnvelope : nullptr, store.keys(), document, error);
    }
    openedRelease = Trust::OpenedRelease();
    qint64 llSerial = 0;
    if (check == Trust::ReleaseCheck::Accepted)
        check = Trust::checkOpenedRelease(document, store.lastSerial(), QDateTime::currentDateTimeUtc(),
                                          vecServerModuleVersion, llSerial, error);
    if (check != Trust::ReleaseCheck::Accepted) {
        qWarning() << "release not trusted:" << Trust::releaseCheckName(check) << "-" << error;
        // What an untrusted answer offers is passed on to nobody.
        vecServerModuleVersion.clear();
        return UPGRADE_OP_RELEASE_NOT_TRUSTED;
    }
    // Written before anything of the release is used: an older document
    // served later is refused even if this run ends here.
    if ((llSerial > store.lastSerial() || !store.isSerialRecorded()) && !store.saveLastSerial(llSerial, error)) {
        qWarning() << "release not trusted: cannot keep its serial:" << error;
        vecServerModuleVersion.clear();
        return UPGRADE_OP_RELEASE_NOT_TRUSTED;
    }
    strReportUrl = document.strReportUrl;
    chooseRollout(document, vecServerModuleVersion);
    return UPGRADE_OP_SUCCESS;
}

void CUpgrade::chooseRollout(const Trust::ReleaseDocument &document, QVector<ModuleVersion> &vecServerModuleVersion)
{
    // The id decides the buckets; one that cannot be kept still serves this
    // check, and the next one makes another.
    InstallationInfo info;
    QString error;
    if (!loadInstallationInfo(strAppDir, info, error))
        qWarning().noquote() << "the installation's id is not kept:" << error;
    QStringList log;
    Trust::applyRollout(document, Trust::RolloutIdentity{info.strId, info.strChannel},
                        QDateTime::currentDateTimeUtc(), vecServerModuleVersion, log);
    for (const QString &line : qAsConst(log))
        qInfo().noquote() << "rollout:" << line;
}

QUrl CUpgrade::packetQueryUrl() const
{
    // The query this engine made; an engine started for a download alone
    // takes the transport the server file would query over.
    QUrl query(strQueryUrl);
    if (strQueryUrl.isEmpty() && QFileInfo::exists(strServerClusterCfgPath)) {
        ServerClusterInfo info;
        if (readServerClusterInfo(strServerClusterCfgPath, info))
            query = QUrl(buildVersionRequest(info, 0).strUrl);
    }
    return query;
}

UpgradeOpError CUpgrade::checkPacketSources(const QVector<ModuleVersion> &vecModules, bool isVerifying)
{
    const QUrl query = packetQueryUrl();
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

UpgradeOpError CUpgrade::checkStagedTrustFile()
{
    // The trust file may change through a packet only as a key list signed
    // by the keys trusted now; anything else would let a packet choose whom
    // the installation trusts.
    const QString staged = strPacketDir + QLatin1Char('/') + Trust::trustFileRelativePath();
    const QFileInfo info(staged);
    if (!info.exists() && !info.isSymLink())
        return UPGRADE_OP_SUCCESS;
    Trust::CTrustStore store(strAppDir);
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

UpgradeOpError CUpgrade::checkStagedTree(bool isVerifying)
{
    // Whatever the packet says, it does not write the journal, the lock, the
    // serial or anything else the engine keeps: the apply would work against
    // itself, and a crash would leave recovery acting on the packet's word.
    QString error;
    if (!installLayout().checkTree(strPacketDir, error)) {
        qWarning().noquote() << "packet refused:" << error << "- a packet may not take a name the engine keeps";
        return isVerifying ? UPGRADE_OP_PACKET_NOT_TRUSTED : UPGRADE_OP_NETWORK_FAILED;
    }
    return UPGRADE_OP_SUCCESS;
}
