#include "upgrade/trust/truststore.h"

#include "platform/readfile.h"

#include "upgrade/files/durable.h"
#include "upgrade/files/installlayout.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cmath>

namespace Trust {

namespace {

const char keyListType[] = "tarvex-keys";
const char recordType[] = "tarvex-trust-record";
constexpr qint64 maxTrustFileBytes = 1024 * 1024;
// The largest whole number a JSON number holds exactly.
constexpr double maxSerial = 9007199254740992.0;

bool isPresent(const QString &strPath)
{
    const QFileInfo info(strPath);
    return info.exists() || info.isSymLink();
}

bool readKeys(const QString &strPath, KeyList &keys, QString &strError)
{
    QByteArray content;
    SignedEnvelope envelope;
    if (!readFileBounded(strPath, maxTrustFileBytes, content, strError)
        || !envelopeFromJson(content, envelope, strError) || !parseKeyList(envelope.baSigned, keys, strError)) {
        strError = strPath + QLatin1String(": ") + strError;
        keys = KeyList();
        return false;
    }
    return true;
}

// {"serial": N}, and for the record {"type": ..., "serial": N}: N a whole
// number from 0 up, and nothing else. Anything else, an empty file
// included, is damage: read as 0 it would let an old release back in.
bool readSerial(const QString &strPath, const char *pType, qint64 &llSerial, QString &strError)
{
    QByteArray content;
    if (!readFileBounded(strPath, maxTrustFileBytes, content, strError))
        return false;
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(content, &parseError);
    const QJsonObject object = document.object();
    const QJsonValue serial = object.value(QLatin1String("serial"));
    const double value = serial.toDouble(-1);
    if (!document.isObject()) {
        strError = QStringLiteral("%1 is damaged: not a JSON object (%2)").arg(strPath, parseError.errorString());
        return false;
    }
    const bool isOfType = !pType || object.value(QLatin1String("type")).toString() == QLatin1String(pType);
    if (object.size() != (pType ? 2 : 1) || !isOfType || !serial.isDouble() || !(value >= 0 && value <= maxSerial)
        || value != std::floor(value)) {
        strError = QStringLiteral("%1 is damaged: it must hold %2 and nothing else, N a whole number from 0")
                       .arg(strPath, pType ? QStringLiteral("{\"type\": \"%1\", \"serial\": N}").arg(QLatin1String(pType))
                                           : QStringLiteral("{\"serial\": N}"));
        return false;
    }
    llSerial = qint64(value);
    return true;
}

QByteArray serialToJson(qint64 llSerial, const char *pType)
{
    QJsonObject object{{QStringLiteral("serial"), double(llSerial)}};
    if (pType)
        object.insert(QStringLiteral("type"), QLatin1String(pType));
    return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
}

// What every refusal of a damaged state adds: the way out.
QString resetHint()
{
    return QStringLiteral("; restore it, or run \"tarvex-upgrade trust reset\"");
}

} // namespace

QString trustFileRelativePath()
{
    return CInstallLayout::trustFileName();
}

QString serialFileRelativePath()
{
    return CInstallLayout::serialFileName();
}

QString trustRecordRelativePath()
{
    return CInstallLayout::trustRecordName();
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

QString CTrustStore::recordFilePath() const
{
    return m_strAppDir + QLatin1Char('/') + trustRecordRelativePath();
}

bool CTrustStore::load(QString &strError)
{
    m_keys = KeyList();
    m_llLastSerial = 0;
    m_isVerifying = false;
    const bool hasTrustFile = isPresent(trustFilePath());
    m_hasSerialFile = isPresent(serialFilePath());
    m_hasRecord = isPresent(recordFilePath());
    qint64 llSerial = 0;
    qint64 llRecorded = 0;
    if ((hasTrustFile && !readKeys(trustFilePath(), m_keys, strError))
        || (m_hasSerialFile && !readSerial(serialFilePath(), nullptr, llSerial, strError))
        || (m_hasRecord && !readSerial(recordFilePath(), recordType, llRecorded, strError))) {
        strError += resetHint();
        m_keys = KeyList();
        return false;
    }
    m_llLastSerial = qMax(llSerial, llRecorded);
    m_isVerifying = hasKeys() || m_hasSerialFile || m_hasRecord;

    // Each file alone may not go missing while the others say it must exist.
    if (m_isVerifying && !hasTrustFile) {
        strError = QStringLiteral("%1 is missing, but this installation verifies its releases (last serial %2)")
                       .arg(trustFilePath())
                       .arg(m_llLastSerial);
    } else if (m_hasRecord && !m_hasSerialFile) {
        strError = QStringLiteral("%1 is missing, but %2 says this installation verifies its releases (last serial %3)")
                       .arg(serialFilePath(), recordFilePath())
                       .arg(m_llLastSerial);
    } else if (hasKeys() && !m_hasSerialFile) {
        strError = QStringLiteral("%1 trusts keys, but %2 and %3, which record the releases accepted, are missing")
                       .arg(trustFilePath(), serialFilePath(), recordFilePath());
    } else {
        return true;
    }
    strError += resetHint();
    m_keys = KeyList();
    return false;
}

bool CTrustStore::canVerify(QString &strError) const
{
    if (m_isVerifying && !hasKeys()) {
        strError = QStringLiteral("releases must be signed, but no key is trusted: add the publisher's key with "
                                  "\"tarvex-upgrade trust add --public FILE\"");
        return false;
    }
    return true;
}

bool CTrustStore::writeSerialFiles(qint64 llSerial, QString &strError)
{
    if (!writeFileDurably(recordFilePath(), serialToJson(llSerial, recordType), strError))
        return false;
    m_hasRecord = true;
    m_isVerifying = true;
    if (!writeFileDurably(serialFilePath(), serialToJson(llSerial, nullptr), strError))
        return false;
    m_hasSerialFile = true;
    m_llLastSerial = llSerial;
    return true;
}

bool CTrustStore::saveLastSerial(qint64 llSerial, QString &strError)
{
    return writeSerialFiles(llSerial, strError);
}

bool CTrustStore::addKey(const QByteArray &baPublicKey, QString &strError)
{
    TrustedKey key{keyId(baPublicKey), baPublicKey};
    for (const TrustedKey &existing : qAsConst(m_keys.vecKeys)) {
        if (existing.strId == key.strId)
            return true;
    }
    if ((!m_hasRecord || !m_hasSerialFile) && !writeSerialFiles(m_llLastSerial, strError))
        return false;
    KeyList keys = m_keys;
    keys.vecKeys.append(key);
    return saveKeys(keys, strError);
}

// Kept by the installation itself, so with no signature.
bool CTrustStore::saveKeys(const KeyList &keys, QString &strError)
{
    SignedEnvelope envelope;
    envelope.baSigned = keyListToJson(keys);
    if (!writeFileDurably(trustFilePath(), envelopeToJson(envelope), strError))
        return false;
    m_keys = keys;
    return true;
}

bool CTrustStore::removeKey(const QString &strId, QString &strError)
{
    KeyList keys = m_keys;
    const auto it = std::find_if(keys.vecKeys.begin(), keys.vecKeys.end(),
                                 [&](const TrustedKey &key) { return key.strId == strId; });
    if (it == keys.vecKeys.end()) {
        strError = QStringLiteral("key %1 is not trusted").arg(strId);
        return false;
    }
    keys.vecKeys.erase(it);
    if (keys.vecKeys.isEmpty()) {
        strError = QStringLiteral("key %1 is the last trusted key; without it nothing would be verified: trust its "
                                  "successor first (trust add)")
                       .arg(strId);
        return false;
    }
    if (keys.vecKeys.size() < keys.nThreshold) {
        strError = QStringLiteral("%1 signatures are needed, and only %2 keys would stay")
                       .arg(keys.nThreshold)
                       .arg(keys.vecKeys.size());
        return false;
    }
    return saveKeys(keys, strError);
}

bool CTrustStore::reset(bool isAllowingUnsigned, QString &strReport, QString &strError)
{
    QString damage;
    const bool isSound = load(damage);
    if (damage.endsWith(resetHint()))
        damage.chop(resetHint().size());
    KeyList readable;
    QString keyError;
    const bool hasReadableKeys = isPresent(trustFilePath()) && readKeys(trustFilePath(), readable, keyError);
    strReport = isSound ? QStringLiteral("the trust state was sound (%1 key(s), last serial %2)")
                              .arg(m_keys.vecKeys.size())
                              .arg(m_llLastSerial)
                        : QStringLiteral("the trust state was damaged: %1").arg(damage);

    if (isAllowingUnsigned) {
        // The trust file goes first: every state on the way still refuses.
        for (const QString &path : {trustFilePath(), serialFilePath(), recordFilePath()}) {
            if (isPresent(path) && !QFile::remove(path)) {
                strError = QStringLiteral("cannot remove %1").arg(path);
                return false;
            }
        }
        Durable::syncDir(QFileInfo(trustFilePath()).absolutePath());
        Durable::syncDir(m_strAppDir);
        m_keys = KeyList();
        m_llLastSerial = 0;
        m_isVerifying = m_hasSerialFile = m_hasRecord = false;
        strReport += QStringLiteral("; removed the trusted keys and the serial record: releases are no longer verified");
        return true;
    }

    if (!writeSerialFiles(0, strError))
        return false;
    m_keys = readable;
    if (!hasReadableKeys) {
        SignedEnvelope envelope;
        envelope.baSigned = keyListToJson(KeyList());
        if (!writeFileDurably(trustFilePath(), envelopeToJson(envelope), strError))
            return false;
    }
    strReport += QStringLiteral("; the serial record starts again at 0");
    if (hasKeys()) {
        strReport += QStringLiteral(", %1 key(s) still trusted").arg(m_keys.vecKeys.size());
    } else {
        strReport += QStringLiteral(", no key is trusted: releases are refused until one is added with "
                                    "\"tarvex-upgrade trust add --public FILE\"");
    }
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
