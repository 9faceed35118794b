// The site's trust file: what the fleet trusts, as far as the publisher
// can know it, so that a release or a key rotation that installations would
// refuse is caught before it ships.

#include "releasetool.h"
#include "releasetool_p.h"

#include "platform/readfile.h"
#include "upgrade/trust/truststore.h"

#include <QFileInfo>
#include <QJsonDocument>

namespace ReleaseTool {

namespace {

const char siteTrustType[] = "tarvex-site-trust";

QJsonObject keyListObject(const Trust::KeyList &keys)
{
    return QJsonDocument::fromJson(Trust::keyListToJson(keys)).object();
}

bool keyListFrom(const QJsonValue &value, Trust::KeyList &keys, QString &strError)
{
    return Trust::parseKeyList(QJsonDocument(value.toObject()).toJson(QJsonDocument::Compact), keys, strError);
}

QString describe(const Trust::KeyList &keys)
{
    return QStringLiteral("%1; %2 needed").arg(keyIds(keys).join(QLatin1String(", "))).arg(keys.nThreshold);
}

} // namespace

QString siteTrustPath(const QString &strRoot)
{
    return strRoot + QLatin1String("/trust.json");
}

QStringList keyIds(const Trust::KeyList &keys)
{
    QStringList ids;
    for (const Trust::TrustedKey &key : keys.vecKeys)
        ids << key.strId;
    return ids;
}

bool isSatisfiedBy(const Trust::KeyList &keys, const QStringList &listSignerIds)
{
    int count = 0;
    for (const Trust::TrustedKey &key : keys.vecKeys)
        count += listSignerIds.contains(key.strId) ? 1 : 0;
    return !keys.vecKeys.isEmpty() && count >= keys.nThreshold;
}

bool readSiteTrust(const QString &strRoot, SiteTrust &trust, QString &strError)
{
    trust = SiteTrust();
    const QString path = siteTrustPath(strRoot);
    if (!QFileInfo::exists(path))
        return true;
    QJsonObject object;
    if (!readJsonObject(path, object, strError))
        return false;
    if (object.value(QLatin1String("type")).toString() != QLatin1String(siteTrustType)
        || !keyListFrom(object.value(QLatin1String("current")), trust.current, strError)
        || (object.contains(QLatin1String("previous"))
            && !keyListFrom(object.value(QLatin1String("previous")), trust.previous, strError))) {
        strError = QStringLiteral("%1 is unreadable (%2); move it away, and the next sign starts it again from its "
                                  "keys")
                       .arg(path, strError);
        return false;
    }
    trust.isKnown = true;
    trust.hasPrevious = object.contains(QLatin1String("previous"));
    trust.llSince = qint64(object.value(QLatin1String("since")).toDouble());
    return true;
}

bool writeSiteTrust(const QString &strRoot, const SiteTrust &trust, QString &strError)
{
    QJsonObject object{{QStringLiteral("type"), QLatin1String(siteTrustType)},
                       {QStringLiteral("current"), keyListObject(trust.current)},
                       {QStringLiteral("since"), double(trust.llSince)}};
    if (trust.hasPrevious)
        object.insert(QStringLiteral("previous"), keyListObject(trust.previous));
    return Trust::writeFileDurably(siteTrustPath(strRoot), QJsonDocument(object).toJson(), strError);
}

bool checkRotationFile(const QString &strRoot, const QString &strPath, Trust::KeyList &rotation, QString &strError)
{
    QByteArray content;
    Trust::SignedEnvelope envelope;
    if (!readFileBounded(strPath, 1024 * 1024, content, strError) || !Trust::envelopeFromJson(content, envelope, strError)
        || !Trust::parseKeyList(envelope.baSigned, rotation, strError) || rotation.vecKeys.isEmpty()) {
        strError = QStringLiteral("%1 is no key rotation made by \"tarvex-release rotate\" (%2): installations refuse a "
                                  "packet that carries it (15). Make it with rotate, or take it out of the tree")
                       .arg(strPath, strError.isEmpty() ? QStringLiteral("no keys") : strError);
        return false;
    }
    SiteTrust trust;
    if (!readSiteTrust(strRoot, trust, strError))
        return false;
    // Nothing signed yet: the fleet's keys are not known here.
    if (!trust.isKnown)
        return true;
    QStringList signers;
    for (const Trust::SignatureEntry &signature : qAsConst(envelope.vecSignatures))
        signers << signature.strKeyId;
    QString detail;
    if (!Trust::isSignedBy(envelope, trust.current, detail)) {
        strError = QStringLiteral("%1 is a stale key rotation: it is signed by %2, but installations that took the "
                                  "last signed release trust %3 (%4), and refuse a packet that carries it (15). "
                                  "Take it out of the tree, or make it again with \"tarvex-release rotate\" and a "
                                  "--key they trust")
                       .arg(strPath, signers.isEmpty() ? QStringLiteral("no key") : signers.join(QLatin1String(", ")),
                            describe(trust.current), siteTrustPath(strRoot));
        return false;
    }
    if (trust.hasPrevious && !Trust::isSignedBy(envelope, trust.previous, detail))
        printWarning(QStringLiteral("%1 is not signed by the keys of installations that have not taken the key "
                                    "rotation of serial %2 (%3): they refuse this packet (15)")
                         .arg(strPath)
                         .arg(trust.llSince)
                         .arg(describe(trust.previous)));
    return true;
}

// The warnings of sign: who would refuse the document.
void warnAboutTrust(const QString &strRoot, const SiteTrust &trust, const QStringList &listSignerIds,
                    bool isRotating)
{
    if (!trust.isKnown)
        return;
    if (!isSatisfiedBy(trust.current, listSignerIds))
        printWarning(QStringLiteral("no signing key (%1) is trusted by the site's trust file %2 (%3): installations "
                                    "that took the last signed release refuse this one (14). Sign with the keys they "
                                    "trust; to change keys, follow \"Key rotation\" in the README")
                         .arg(listSignerIds.join(QLatin1String(", ")), siteTrustPath(strRoot),
                              describe(trust.current)));
    if (isRotating && trust.hasPrevious && !isSatisfiedBy(trust.previous, listSignerIds))
        printWarning(QStringLiteral("installations that have not taken the key rotation of serial %1 still trust %2 "
                                    "only: they refuse this release (14) and never reach the rotation. While such "
                                    "installations may exist, sign with those keys too")
                         .arg(trust.llSince)
                         .arg(describe(trust.previous)));
}

} // namespace ReleaseTool
