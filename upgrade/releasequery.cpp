#include "upgrade/releasequery.h"

#include "platform/beside.h"
#include "platform/http.h"
#include "upgrade/config/serverclusterinfo.h"
#include "upgrade/files/installationinfo.h"
#include "upgrade/transaction/heldback.h"
#include "upgrade/trust/rollout.h"
#include "upgrade/trust/truststore.h"
#include "upgrade/versionquery.h"

#include <QDebug>
#include <QFileInfo>
#include <QHash>
#include <QRandomGenerator64>

#include <future>

CReleaseQuery::CReleaseQuery(const ReleaseQuerySettings &settings)
    : m_settings(settings)
{
}

UpgradeOpError CReleaseQuery::fail(UpgradeOpError result, const QString &strError)
{
    m_strError = strError;
    return result;
}

UpgradeOpError CReleaseQuery::check(QVector<ModuleVersion> &vecNeedUpgrade,
                                    QVector<ModuleVersion> &vecServerModuleVersion)
{
    m_strError.clear();
    ServerClusterInfo info;
    if (!readServerClusterInfo(m_settings.layout.serverClusterFile(), info)) {
        qWarning() << "read upgrade server cluster info from cfg failed";
        return fail(UPGRADE_OP_READ_SERVER_CFG_FAILED,
                    QStringLiteral("read upgrade server cluster info from cfg failed"));
    }
    if (!queryVersions(info, vecServerModuleVersion)) {
        qWarning() << "getVersionInfoFromServer failed";
        return UPGRADE_OP_NETWORK_FAILED;
    }
    const UpgradeOpError trusted = checkReleaseTrust(vecServerModuleVersion);
    if (trusted != UPGRADE_OP_SUCCESS)
        return trusted;
    vecNeedUpgrade.clear();
    if (!compareVersions(m_settings.vecLocal, vecServerModuleVersion, vecNeedUpgrade)) {
        qWarning() << "getUpdateModuleInfo failed";
        return fail(UPGRADE_OP_GET_UPDATE_MODULE_INFO_FAILED, QStringLiteral("getUpdateModuleInfo failed"));
    }
    // A version that was reverted after it failed to start is not offered
    // again until a newer one comes.
    filterHeldBack(m_settings.layout.appDir(), vecNeedUpgrade);
    return UPGRADE_OP_SUCCESS;
}

bool CReleaseQuery::compareVersions(const QVector<ModuleVersion> &vecLocal,
                                    const QVector<ModuleVersion> &vecServerModuleVersion,
                                    QVector<ModuleVersion> &vecNeedUpgrade)
{
    // Every pair of an installed module and a server entry with the same id
    // counts, in installed order and then server order. Indexing the server
    // list by id keeps exactly that order without comparing every pair: the
    // index gives the first entry of an id, and next[] chains its later ones.
    const int serverCount = vecServerModuleVersion.size();
    QHash<QString, int> firstOfId;
    firstOfId.reserve(serverCount);
    QVector<int> next(serverCount, -1);
    for (int i = serverCount - 1; i >= 0; --i) {
        int &first = firstOfId[vecServerModuleVersion.at(i).strId];
        next[i] = first - 1;
        first = i + 1; // 0 is the value of an id not seen yet
    }

    for (const ModuleVersion &local : vecLocal) {
        if (local.nState == 0)
            continue;
        for (int i = firstOfId.value(local.strId) - 1; i >= 0; i = next.at(i)) {
            const ModuleVersion &server = vecServerModuleVersion.at(i);
            if (local.llReleaseDate < server.llReleaseDate)
                vecNeedUpgrade.append(server);
        }
    }
    return true;
}

bool CReleaseQuery::queryVersions(const ServerClusterInfo &info, QVector<ModuleVersion> &vecServerModuleVersion)
{
    if (!isServerClusterInfoValid(info)) {
        qWarning() << "Curr Server Info Invalid";
        m_strError = QStringLiteral("the current server of the server cluster file is invalid");
        return false;
    }

    CHttp http;
    http.InitData();
    http.setTimeOut(m_settings.timeOut.nTimeOut1, m_settings.timeOut.nTimeOut2, m_settings.timeOut.nTimeOut3);

    const qint64 number = qint64(QRandomGenerator64::global()->generate());
    const VersionRequest request = buildVersionRequest(info, number);
    // Bounded in time as in bytes: a server that drips its answer just fast
    // enough for the low-speed limit must not hold the check for hours.
    const HTTP_ERROR error = getInfoWithRetries(http, request.strUrl, QStringList{request.strHeader},
                                                m_settings.policy, m_settings.pQuit);
    if (error != HTTP_SUCCESS) {
        qWarning() << "get " << request.strUrl << " failed!" << " result is " << http.GetResult();
        m_strError = QStringLiteral("the version query %1 failed").arg(request.strUrl);
        // The one refusal that the installation itself can mend.
        if (http.answerInfo().status == 403) {
            qWarning() << "the server refused the query's token (HTTP 403): the key of the server list "
                          "(tarvex-upgrade servers write --key) must be the one the site was published with";
            m_strError += QStringLiteral(": the server refused its token (HTTP 403)");
        }
        return false;
    }
    m_strQueryUrl = request.strUrl;
    const QByteArray answer = http.resultBody();

    // An installation that verifies opens the signed document on a second
    // thread while the answer is read: for thousands of modules each takes
    // milliseconds. What it opened is used only for the very envelope the
    // reading finds, with the very keys the check holds it to.
    m_openedRelease = Trust::OpenedRelease();
    Trust::CTrustStore store(m_settings.layout.appDir());
    QString storeError;
    std::future<Trust::OpenedRelease> opening;
    if (store.load(storeError) && store.hasKeys()) {
        opening = startBeside([&answer, keys = store.keys()] {
            Trust::OpenedRelease opened;
            opened.keys = keys;
            opened.isOpened = findReleaseEnvelope(answer, opened.envelope);
            if (opened.isOpened)
                opened.check = Trust::openRelease(&opened.envelope, keys, opened.document, opened.strError);
            return opened;
        });
    }
    const bool isRead = readVersionAnswer(answer, vecServerModuleVersion, &m_releaseEnvelope, &m_hasReleaseEnvelope);
    if (opening.valid()) {
        // What could not be opened ahead is opened again by the check.
        try {
            m_openedRelease = opening.get();
        } catch (const std::exception &) {
            m_openedRelease = Trust::OpenedRelease();
        }
    }
    if (!isRead)
        m_strError = QStringLiteral("the answer of %1 is malformed").arg(request.strUrl);
    return isRead;
}

UpgradeOpError CReleaseQuery::checkReleaseTrust(QVector<ModuleVersion> &vecServerModuleVersion)
{
    Trust::CTrustStore store(m_settings.layout.appDir());
    QString error;
    if (!store.load(error) || !store.canVerify(error)) {
        // A damaged or lost trust file or serial must not turn verification
        // off, nor let an older release back in.
        qWarning().noquote() << "release not trusted:" << error;
        vecServerModuleVersion.clear();
        return fail(UPGRADE_OP_RELEASE_NOT_TRUSTED, QStringLiteral("release not trusted: %1").arg(error));
    }
    if (!store.hasKeys()) {
        qWarning() << "updates are not verified: the installation trusts no release key";
        return UPGRADE_OP_SUCCESS;
    }

    // Opened already, while the answer was read, if that was this envelope.
    Trust::ReleaseDocument document;
    Trust::ReleaseCheck check = Trust::ReleaseCheck::Missing;
    if (m_hasReleaseEnvelope && m_openedRelease.isFor(m_releaseEnvelope, store.keys())) {
        check = m_openedRelease.check;
        document = std::move(m_openedRelease.document);
        error = m_openedRelease.strError;
    } else {
        check = Trust::openRelease(m_hasReleaseEnvelope ? &m_releaseEnvelope : nullptr, store.keys(), document, error);
    }
    m_openedRelease = Trust::OpenedRelease();
    qint64 llSerial = 0;
    if (check == Trust::ReleaseCheck::Accepted)
        check = Trust::checkOpenedRelease(document, store.lastSerial(), QDateTime::currentDateTimeUtc(),
                                          vecServerModuleVersion, llSerial, error);
    if (check != Trust::ReleaseCheck::Accepted) {
        qWarning() << "release not trusted:" << Trust::releaseCheckName(check) << "-" << error;
        // What an untrusted answer offers is passed on to nobody.
        vecServerModuleVersion.clear();
        return fail(UPGRADE_OP_RELEASE_NOT_TRUSTED,
                    QStringLiteral("release not trusted: %1 - %2").arg(QString::fromLatin1(Trust::releaseCheckName(check)), error));
    }
    // Written before anything of the release is used: an older document
    // served later is refused even if this run ends here.
    if ((llSerial > store.lastSerial() || !store.isSerialRecorded()) && !store.saveLastSerial(llSerial, error)) {
        qWarning() << "release not trusted: cannot keep its serial:" << error;
        vecServerModuleVersion.clear();
        return fail(UPGRADE_OP_RELEASE_NOT_TRUSTED,
                    QStringLiteral("release not trusted: cannot keep its serial: %1").arg(error));
    }
    m_strReportUrl = document.strReportUrl;
    chooseRollout(document, vecServerModuleVersion);
    return UPGRADE_OP_SUCCESS;
}

void CReleaseQuery::chooseRollout(const Trust::ReleaseDocument &document,
                                  QVector<ModuleVersion> &vecServerModuleVersion)
{
    // The id decides the buckets; one that cannot be kept still serves this
    // check, and the next one makes another.
    InstallationInfo info;
    QString error;
    if (!loadInstallationInfo(m_settings.layout.appDir(), info, error))
        qWarning().noquote() << "the installation's id is not kept:" << error;
    QStringList log;
    Trust::applyRollout(document, Trust::RolloutIdentity{info.strId, info.strChannel},
                        QDateTime::currentDateTimeUtc(), vecServerModuleVersion, log);
    for (const QString &line : qAsConst(log))
        qInfo().noquote() << "rollout:" << line;
}

QUrl CReleaseQuery::packetQueryUrl() const
{
    // The query this engine made; an engine started for a download alone
    // takes the transport the server file would query over.
    QUrl query(m_strQueryUrl);
    if (m_strQueryUrl.isEmpty() && QFileInfo::exists(m_settings.layout.serverClusterFile())) {
        ServerClusterInfo info;
        if (readServerClusterInfo(m_settings.layout.serverClusterFile(), info))
            query = QUrl(buildVersionRequest(info, 0).strUrl);
    }
    return query;
}

