#ifndef TVX_RELEASETOOL_P_H
#define TVX_RELEASETOOL_P_H

// The pieces of tarvex-release that its commands share among themselves.

#include "upgrade/files/upgradetypes.h"
#include "upgrade/trust/releasedocument.h"

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QString>

namespace ReleaseTool {

constexpr qint64 maxManifestBytes = 256 * 1024 * 1024;

// sign, and with isKeepingSettings the mirrors and report URL of the
// previous document where none are given (a re-signing by rollout).
int signSite(const QString &strRoot, const QStringList &listKeyFiles, const QString &strExpires,
             const QStringList &listMirrors, const QString &strReportUrl, bool isKeepingSettings, bool isDryRun);

bool readJsonObject(const QString &strPath, QJsonObject &object, QString &strError);
bool readPrivateKey(const QString &strPath, QByteArray &pem, QString &strError);
bool hashFile(const QString &strPath, qint64 &bytes, QByteArray &sha256, QString &strError);
bool deltasFromManifest(const QJsonValue &value, QVector<DeltaPacket> &vecDeltas);
// A packet of SITE/packets against its recorded size and hash, read once;
// checkPacket does so for the full packet and every delta of a module.
bool checkPacketFile(const QString &strRoot, const QString &strPacket, qint64 llBytes, const QByteArray &baSha256,
                     QString &strError);
bool checkPacket(const QString &strRoot, const Trust::ReleaseModule &module, QString &strError);

// The manifest as a whole: "modules", and "history", the releases that
// pack replaced and withdraw took back (marked "Withdrawn").
bool readManifest(const QString &strRoot, QJsonObject &manifest, QString &strError);
bool writeManifest(const QString &strRoot, const QJsonObject &manifest, QString &strError);
// YYYYMMDDhhmm, read as UTC.
bool parseReleaseDate(const QString &strDate, QDateTime &date);

QString findSevenZip();
// Packs the contents of strDir with 7z into strPacketPath, replacing it.
bool packDirectory(const QString &strSevenZip, const QString &strDir, const QString &strPacketPath, QString &strError);

struct DeltaRequest
{
    QString strModule;
    QString strBaseTree;
    QString strBaseVersion;
    QString strTree;
    QString strVersion;
};
// Packs SITE/packets/MODULE-BASE-VERSION.delta.7z, which turns the base tree
// into the tree, and describes it in strReport.
bool packDeltaPacket(const QString &strSevenZip, const DeltaRequest &request, const QString &strPacketsDir,
                     qint64 llFullBytes, DeltaPacket &delta, QString &strReport, QString &strError);

// The site's trust file, SITE/trust.json: the keys that installations trust
// once they took the last signed release, and those they trusted before the
// last key rotation. sign keeps it; pack and sign check against it.
struct SiteTrust
{
    bool isKnown = false; // false: nothing was signed yet
    Trust::KeyList current;
    bool hasPrevious = false;
    Trust::KeyList previous;
    qint64 llSince = 0;   // serial of the document that brought the current keys
};
QString siteTrustPath(const QString &strRoot);
bool readSiteTrust(const QString &strRoot, SiteTrust &trust, QString &strError);
bool writeSiteTrust(const QString &strRoot, const SiteTrust &trust, QString &strError);
// Whether signatures of these keys meet the list's threshold.
bool isSatisfiedBy(const Trust::KeyList &keys, const QStringList &listSignerIds);
QStringList keyIds(const Trust::KeyList &keys);
// A tree's Conf/System/TrustedKeys.json: a key list that the keys of the
// site's trust file signed, so that installations accept it (else 15).
bool checkRotationFile(const QString &strRoot, const QString &strPath, Trust::KeyList &rotation, QString &strError);
// Warns when installations holding the site's trust would refuse a document
// signed by these keys; while a rotation is carried, those still on the keys
// before it count too.
void warnAboutTrust(const QString &strRoot, const SiteTrust &trust, const QStringList &listSignerIds,
                    bool isRotating);

} // namespace ReleaseTool

#endif // TVX_RELEASETOOL_P_H
