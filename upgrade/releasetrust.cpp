#include "upgrade/cupgrade.h"

#include "upgrade/config/serverclusterinfo.h"
#include "upgrade/trust/releasedocument.h"
#include "upgrade/trust/transport.h"
#include "upgrade/trust/truststore.h"
#include "upgrade/versionquery.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QUrl>

UpgradeOpError CUpgrade::checkReleaseTrust(QVector<ModuleVersion> &vecServerModuleVersion)
{
    Trust::CTrustStore store(strAppDir);
    QString error;
    if (!store.load(error)) {
        // A damaged trust file must not turn verification off.
        qWarning() << "release not trusted: cannot read the trusted keys:" << error;
        vecServerModuleVersion.clear();
        return UPGRADE_OP_RELEASE_NOT_TRUSTED;
    }
    if (!store.hasKeys()) {
        qWarning() << "updates are not verified: the installation trusts no release key";
        return UPGRADE_OP_SUCCESS;
    }

    qint64 llSerial = 0;
    const Trust::ReleaseCheck check =
        Trust::checkRelease(hasReleaseEnvelope ? &releaseEnvelope : nullptr, store.keys(), store.lastSerial(),
                            QDateTime::currentDateTimeUtc(), vecServerModuleVersion, llSerial, error);
    if (check != Trust::ReleaseCheck::Accepted) {
        qWarning() << "release not trusted:" << Trust::releaseCheckName(check) << "-" << error;
        // What an untrusted answer offers is passed on to nobody.
        vecServerModuleVersion.clear();
        return UPGRADE_OP_RELEASE_NOT_TRUSTED;
    }
    // Written before anything of the release is used: an older document
    // served later is refused even if this run ends here.
    if (llSerial > store.lastSerial() && !store.saveLastSerial(llSerial, error)) {
        qWarning() << "release not trusted: cannot keep its serial:" << error;
        vecServerModuleVersion.clear();
        return UPGRADE_OP_RELEASE_NOT_TRUSTED;
    }
    return UPGRADE_OP_SUCCESS;
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
    QFile file(staged);
    if (!info.isFile() || info.isSymLink() || info.size() > 1024 * 1024 || !file.open(QIODevice::ReadOnly)
        || !store.load(error) || !store.isSignedRotation(file.readAll(), error)) {
        qWarning() << "packet not trusted: it carries" << Trust::trustFileRelativePath()
                   << "that is no signed rotation of the trusted keys:" << error;
        return UPGRADE_OP_PACKET_NOT_TRUSTED;
    }
    qInfo() << "the packet rotates the trusted release keys";
    return UPGRADE_OP_SUCCESS;
}
