#ifndef TVX_RELEASEQUERY_H
#define TVX_RELEASEQUERY_H

#include "platform/download.h"
#include "upgrade/files/installlayout.h"
#include "upgrade/files/upgradetypes.h"
#include "upgrade/trust/releasedocument.h"
#include "upgrade/trust/signature.h"

#include <QString>
#include <QUrl>
#include <QVector>

#include <atomic>

struct ServerClusterInfo;

struct TimeOutParam
{
    int nTimeOut1 = 20000;
    int nTimeOut2 = 512;
    int nTimeOut3 = 20;
};

// Everything a check depends on, given by the caller rather than found.
struct ReleaseQuerySettings
{
    CInstallLayout layout; // its server cluster file, trusted keys, serial, id and held-back versions
    TimeOutParam timeOut;
    DownloadPolicy policy = DownloadPolicy::versionQuery();
    QVector<ModuleVersion> vecLocal; // the installed modules the offer is compared with
    const std::atomic<bool> *pQuit = nullptr; // ends the query; null: nothing does
};

// The version check, one step after the other on the calling thread: the
// server cluster file, the query, the trust in the signed release document
// (and the rollout it asks for), the comparison with the installed
// versions, and the versions held back. The signed document the query
// brought stays with the object until the trust check takes it.
class CReleaseQuery
{
public:
    explicit CReleaseQuery(const ReleaseQuerySettings &settings = ReleaseQuerySettings());

    void setSettings(const ReleaseQuerySettings &settings) { m_settings = settings; }
    const ReleaseQuerySettings &settings() const { return m_settings; }

    // The whole check. vecNeedUpgrade is replaced only when it succeeds.
    UpgradeOpError check(QVector<ModuleVersion> &vecNeedUpgrade, QVector<ModuleVersion> &vecServerModuleVersion);
    // The query alone, appending what the answer offers.
    bool queryVersions(const ServerClusterInfo &info, QVector<ModuleVersion> &vecServerModuleVersion);
    // The signed document of the last answer against the installation's
    // keys; an untrusted offer is cleared.
    UpgradeOpError checkReleaseTrust(QVector<ModuleVersion> &vecServerModuleVersion);
    // Appends each server entry newer than an installed module with the same
    // id that takes part in upgrades: installed order, then server order.
    static bool compareVersions(const QVector<ModuleVersion> &vecLocal,
                                const QVector<ModuleVersion> &vecServerModuleVersion,
                                QVector<ModuleVersion> &vecNeedUpgrade);

    // The URL the last answer came from; empty before one came.
    QString queryUrl() const { return m_strQueryUrl; }
    // Where the last accepted document asks outcome reports to go; empty for none.
    QString reportUrl() const { return m_strReportUrl; }
    // The transport packets are held to: the last query's, or, before one,
    // the one the server cluster file would query over.
    QUrl packetQueryUrl() const;
    // Why the last check failed; empty when it did not.
    QString errorString() const { return m_strError; }

private:
    void chooseRollout(const Trust::ReleaseDocument &document, QVector<ModuleVersion> &vecServerModuleVersion);
    UpgradeOpError fail(UpgradeOpError result, const QString &strError);

    ReleaseQuerySettings m_settings;
    QString m_strQueryUrl;
    QString m_strReportUrl;
    QString m_strError;
    Trust::SignedEnvelope m_releaseEnvelope;
    bool m_hasReleaseEnvelope = false;
    Trust::OpenedRelease m_openedRelease; // opened while the answer was read
};

#endif // TVX_RELEASEQUERY_H
