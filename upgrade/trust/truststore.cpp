#include "upgrade/trust/truststore.h"

#include "upgrade/files/durable.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace Trust {

namespace {

const char keyListType[] = "tarvex-keys";
constexpr qint64 maxTrustFileBytes = 1024 * 1024;

bool readSmallFile(const QString &strPath, QByteArray &baContent, QString &strError)
{
    QFile file(strPath);
    if (!file.open(QIODevice::ReadOnly)) {
        strError = QStringLiteral("cannot read %1: %2").arg(strPath, file.errorString());
        return false;
    }
    baContent = file.read(maxTrustFileBytes + 1);
    if (baContent.size() > maxTrustFileBytes) {
        strError = QStringLiteral("%1 is too large").arg(strPath);
        return false;
    }
    return true;
}

} // namespace

QString trustFileRelativePath()
{
    return QStringLiteral("Conf/System/TrustedKeys.json");
}

QString serialFileRelativePath()
{
    return QStringLiteral("Conf/System/ReleaseSerial.json");
}

QByteArray keyListToJson(const KeyList &keys)
{
    QJsonArray array;
    for (const TrustedKey &key : keys.vecKeys) {
        array.append(QJsonObject{{QStringLiteral("id"), key.strId},
                                 {QStringLiteral("ed25519"), QString::fromLatin1(key.baPublicKey.toBase64())}});
    }
    return QJsonDocument(QJsonObject{{QStringLiteral("type"), QLatin1String(keyListType)},
                                     {QStringLiteral("threshold"), keys.nThreshold},
                                     {QStringLiteral("keys"), array}})
        .toJson(QJsonDocument::Indented);
}

bool parseKeyList(const QByteArray &baJson, KeyList &keys, QString &strError)
{
    const QJsonDocument json = QJsonDocument::fromJson(baJson);
    const QJsonObject root = json.object();
    if (root.value(QLatin1String("type")).toString() != QLatin1String(keyListType)
        || !root.value(QLatin1String("keys")).isArray()) {
        strError = QStringLiteral("not a key list");
        return false;
    }
    keys = KeyList();
    keys.nThreshold = root.value(QLatin1String("threshold")).toInt(1);
    for (const QJsonValue &value : root.value(QLatin1String("keys")).toArray()) {
        TrustedKey key;
        key.baPublicKey = QByteArray::fromBase64(value.toObject().value(QLatin1String("ed25519")).toString().toLatin1());
        key.strId = keyId(key.baPublicKey);
        if (key.baPublicKey.size() != 32 || value.toObject().value(QLatin1String("id")).toString() != key.strId) {
            strError = QStringLiteral("key %1 of the list is malformed").arg(keys.vecKeys.size());
            return false;
        }
        keys.vecKeys.append(key);
    }
    if (keys.nThreshold < 1 || (!keys.vecKeys.isEmpty() && keys.nThreshold > keys.vecKeys.size())) {
        strError = QStringLiteral("threshold %1 for %2 keys").arg(keys.nThreshold).arg(keys.vecKeys.size());
        return false;
    }
    return true;
}

bool writeFileDurably(const QString &strPath, const QByteArray &baContent, QString &strError)
{
    const QString dir = QFileInfo(strPath).absolutePath();
    if (!QDir().mkpath(dir)) {
        strError = QStringLiteral("cannot create %1").arg(dir);
        return false;
    }
    if (!Durable::writeFileAtomically(strPath, baContent)) {
        strError = QStringLiteral("cannot write %1").arg(strPath);
        return false;
    }
    return true;
}

CTrustStore::CTrustStore(const QString &strAppDir)
    : m_strAppDir(strAppDir)
{
}

QString CTrustStore::trustFilePath() const
{
    return m_strAppDir + QLatin1Char('/') + trustFileRelativePath();
}

QString CTrustStore::serialFilePath() const
{
    return m_strAppDir + QLatin1Char('/') + serialFileRelativePath();
}

bool CTrustStore::load(QString &strError)
{
    m_keys = KeyList();
    const QString path = trustFilePath();
    if (!QFileInfo::exists(path) && !QFileInfo(path).isSymLink())
        return true;
    QByteArray content;
    if (!readSmallFile(path, content, strError))
        return false;
    SignedEnvelope envelope;
    if (!envelopeFromJson(content, envelope, strError) || !parseKeyList(envelope.baSigned, m_keys, strError)) {
        strError = path + QLatin1String(": ") + strError;
        m_keys = KeyList();
        return false;
    }
    return true;
}

qint64 CTrustStore::lastSerial() const
{
    QFile file(serialFilePath());
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    const QJsonValue serial = QJsonDocument::fromJson(file.read(4096)).object().value(QLatin1String("serial"));
    return serial.isDouble() ? qint64(serial.toDouble()) : 0;
}

bool CTrustStore::saveLastSerial(qint64 llSerial, QString &strError) const
{
    const QByteArray content =
        QJsonDocument(QJsonObject{{QStringLiteral("serial"), double(llSerial)}}).toJson(QJsonDocument::Compact);
    return writeFileDurably(serialFilePath(), content + '\n', strError);
}

bool CTrustStore::addKey(const QByteArray &baPublicKey, QString &strError)
{
    TrustedKey key{keyId(baPublicKey), baPublicKey};
    for (const TrustedKey &existing : qAsConst(m_keys.vecKeys)) {
        if (existing.strId == key.strId)
            return true;
    }
    KeyList keys = m_keys;
    keys.vecKeys.append(key);
    SignedEnvelope envelope;
    envelope.baSigned = keyListToJson(keys);
    if (!writeFileDurably(trustFilePath(), envelopeToJson(envelope), strError))
        return false;
    m_keys = keys;
    return true;
}

bool CTrustStore::isSignedRotation(const QByteArray &baTrustFile, QString &strError) const
{
    SignedEnvelope envelope;
    KeyList keys;
    if (!envelopeFromJson(baTrustFile, envelope, strError) || !parseKeyList(envelope.baSigned, keys, strError))
        return false;
    if (keys.vecKeys.isEmpty()) {
        strError = QStringLiteral("the new key list is empty");
        return false;
    }
    if (!hasKeys()) {
        strError = QStringLiteral("the installation trusts no key that could sign a new key list");
        return false;
    }
    return isSignedBy(envelope, m_keys, strError);
}

} // namespace Trust
