#ifndef TVX_TRUST_SIGNATURE_H
#define TVX_TRUST_SIGNATURE_H

#include <QByteArray>
#include <QString>
#include <QVector>

// Ed25519 keys are handled as their 32 raw public bytes; a key is named by
// its id, the first 8 bytes of the SHA-256 of those bytes in lower-case hex.
namespace Trust {

QString keyId(const QByteArray &baPublicKey);

// The raw public key of a PEM file (public key, or private key whose public
// half is taken). False with the reason in strError.
bool readPublicKeyPem(const QByteArray &baPem, QByteArray &baPublicKey, QString &strError);
QByteArray publicKeyToPem(const QByteArray &baPublicKey);
// Whether the PEM text holds a private key of any kind (PKCS#8, encrypted,
// RSA, EC, OpenSSH), whether or not it also holds a public one: such a file
// belongs to the signer alone and is never what an installation is given.
bool holdsPrivateKey(const QByteArray &baPem);

// A fresh key pair: the private key as PEM, the public key raw.
bool generateKeyPair(QByteArray &baPrivatePem, QByteArray &baPublicKey, QString &strError);
bool signBytes(const QByteArray &baPrivatePem, const QByteArray &baMessage, QByteArray &baSignature,
               QString &strError);
bool verifyBytes(const QByteArray &baPublicKey, const QByteArray &baMessage, const QByteArray &baSignature);

struct TrustedKey
{
    QString strId;
    QByteArray baPublicKey;
};

// Keys and how many of them must sign.
struct KeyList
{
    QVector<TrustedKey> vecKeys;
    int nThreshold = 1;
};

struct SignatureEntry
{
    QString strKeyId;
    QByteArray baSignature;
};

// Signed bytes travel zlib-compressed (qCompress) and base64-encoded inside
// a JSON object, so that what is verified is exactly what was signed, never
// a re-serialised form, and a large release costs the answer little:
// {"signed": BASE64, "signatures": [{"keyid": ID, "sig": BASE64}, ...]}
struct SignedEnvelope
{
    QByteArray baSigned;
    QVector<SignatureEntry> vecSignatures;
};

QByteArray envelopeToJson(const SignedEnvelope &envelope);
// The "signed" text of an envelope and back; unpacking refuses a document
// that would expand beyond the length it announces or beyond 16 MiB, before
// it does.
QByteArray packSignedBytes(const QByteArray &baSigned);
bool unpackSignedBytes(const QByteArray &baBase64, QByteArray &baSigned);
bool envelopeFromJson(const QByteArray &baJson, SignedEnvelope &envelope, QString &strError);

// True when at least the threshold of distinct keys of the list have a valid
// signature in the envelope; otherwise strError says what was found.
bool isSignedBy(const SignedEnvelope &envelope, const KeyList &keys, QString &strError);

} // namespace Trust

#endif // TVX_TRUST_SIGNATURE_H
