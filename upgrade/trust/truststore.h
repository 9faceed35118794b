#ifndef TVX_TRUST_TRUSTSTORE_H
#define TVX_TRUST_TRUSTSTORE_H

#include "upgrade/trust/signature.h"

#include <QString>

namespace Trust {

// Where the installation keeps its trusted release keys and the serial of
// the last release document it accepted, relative to the application directory.
QString trustFileRelativePath();   // "Conf/System/TrustedKeys.json"
QString serialFileRelativePath();  // "Conf/System/ReleaseSerial.json"
// The record that the installation verifies its releases, with the serial
// again: {"type": "tarvex-trust-record", "serial": N}. It lies beside the
// programs, away from Conf/System, so that losing or restoring that
// directory leaves a trace, and the serial survives the loss of either file.
QString trustRecordRelativePath(); // ".upgrade.trust"

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

    // Reads the trust file, the serial file and the record, each strictly.
    // Nothing of them is an installation that verifies nothing. Once keys
    // were trusted, everything fails closed: false, with what is wrong and
    // what to do in strError, when a file is damaged, or missing while the
    // others say it must be there.
    bool load(QString &strError);
    bool hasKeys() const { return !m_keys.vecKeys.isEmpty(); }
    const KeyList &keys() const { return m_keys; }
    // Whether releases must be signed: keys are trusted, or were (after
    // "trust reset" without --allow-unsigned, until one is added again).
    bool isVerifying() const { return m_isVerifying; }
    // After load(): false, with the reason, when releases must be signed but
    // no key is trusted to verify them.
    bool canVerify(QString &strError) const;

    // After load(): the highest serial recorded, 0 when none was accepted yet.
    qint64 lastSerial() const { return m_llLastSerial; }
    // After load(): whether both the serial file and the record hold it
    // (an installation of an earlier version has no record yet).
    bool isSerialRecorded() const { return m_hasSerialFile && m_hasRecord; }
    // The record first, then the serial file: a crash between leaves the
    // higher serial in the record, and the higher one counts.
    bool saveLastSerial(qint64 llSerial, QString &strError);

    // After load(): trusts one more key. The record and the serial file are
    // written first, so that the trust file never stands alone.
    bool addKey(const QByteArray &baPublicKey, QString &strError);
    // Refused for a key not trusted, for the last key (nothing would be
    // verified any more) and when fewer keys than the threshold would stay.
    bool removeKey(const QString &strId, QString &strError);

    // The one way out of a damaged state, for "trust reset". Keeps the keys
    // of a readable trust file (none otherwise) and forgets the serial: the
    // next signed release is accepted whatever its serial. With
    // isAllowingUnsigned, removes all three files instead: the installation
    // takes unsigned releases again. strReport says what was found and done.
    bool reset(bool isAllowingUnsigned, QString &strReport, QString &strError);

    // Whether the bytes of a trust file that a packet brings are a key list
    // signed by the keys trusted now.
    bool isSignedRotation(const QByteArray &baTrustFile, QString &strError) const;

    QString trustFilePath() const;
    QString serialFilePath() const;
    QString recordFilePath() const;

private:
    bool saveKeys(const KeyList &keys, QString &strError);
    bool writeSerialFiles(qint64 llSerial, QString &strError);

    QString m_strAppDir;
    KeyList m_keys;
    qint64 m_llLastSerial = 0;
    bool m_isVerifying = false;
    bool m_hasSerialFile = false;
    bool m_hasRecord = false;
};

} // namespace Trust

#endif // TVX_TRUST_TRUSTSTORE_H
