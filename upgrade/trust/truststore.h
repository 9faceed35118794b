#ifndef TVX_TRUST_TRUSTSTORE_H
#define TVX_TRUST_TRUSTSTORE_H

#include "upgrade/trust/signature.h"

#include <QString>

namespace Trust {

// Where the installation keeps its trusted release keys and the serial of
// the last release document it accepted, relative to the application directory.
QString trustFileRelativePath();   // "Conf/System/TrustedKeys.json"
QString serialFileRelativePath();  // "Conf/System/ReleaseSerial.json"

// The trust file is a signed envelope over a key list:
// {"type": "tarvex-keys", "threshold": N, "keys": [{"id": ID, "ed25519": BASE64}]}.
// Written locally ("trust add") it carries no signature; a rotation that
// arrives in a packet must be signed by the keys trusted at that moment.
QByteArray keyListToJson(const KeyList &keys);
bool parseKeyList(const QByteArray &baJson, KeyList &keys, QString &strError);

// Writes through a temporary file, flushed to disk, renamed over the old
// one, and the directory flushed: a crash leaves the old or the new content.
bool writeFileDurably(const QString &strPath, const QByteArray &baContent, QString &strError);

class CTrustStore
{
public:
    explicit CTrustStore(const QString &strAppDir);

    // A missing trust file is an installation that trusts no key; a file
    // that cannot be read or parsed is an error (nothing would be verified).
    bool load(QString &strError);
    bool hasKeys() const { return !m_keys.vecKeys.isEmpty(); }
    const KeyList &keys() const { return m_keys; }

    // 0 when none was accepted yet.
    qint64 lastSerial() const;
    bool saveLastSerial(qint64 llSerial, QString &strError) const;

    bool addKey(const QByteArray &baPublicKey, QString &strError);

    // Whether the bytes of a trust file that a packet brings are a key list
    // signed by the keys trusted now.
    bool isSignedRotation(const QByteArray &baTrustFile, QString &strError) const;

    QString trustFilePath() const;
    QString serialFilePath() const;

private:
    QString m_strAppDir;
    KeyList m_keys;
};

} // namespace Trust

#endif // TVX_TRUST_TRUSTSTORE_H
