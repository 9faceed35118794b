#include "upgrade/trust/signature.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <zlib.h>

#include <memory>

namespace Trust {

namespace {

constexpr int ed25519KeyBytes = 32;
constexpr int ed25519SignatureBytes = 64;
// Ten thousand modules make a few megabytes, and the answer that carries a
// document may have 16 MiB. Whatever an answer claims, inflating it costs
// no more than this.
constexpr quint32 maxSignedBytes = 16u * 1024 * 1024;

struct PkeyFree { void operator()(EVP_PKEY *p) const { EVP_PKEY_free(p); } };
struct BioFree { void operator()(BIO *p) const { BIO_free(p); } };
struct MdCtxFree { void operator()(EVP_MD_CTX *p) const { EVP_MD_CTX_free(p); } };
struct PkeyCtxFree { void operator()(EVP_PKEY_CTX *p) const { EVP_PKEY_CTX_free(p); } };
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
using Bio = std::unique_ptr<BIO, BioFree>;
using MdCtx = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;

QString opensslError()
{
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0)
        return QStringLiteral("unknown OpenSSL error");
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return QString::fromLatin1(text);
}

Bio memoryBio(const QByteArray &bytes)
{
    return Bio(BIO_new_mem_buf(bytes.constData(), bytes.size()));
}

QByteArray bioBytes(BIO *bio)
{
    char *data = nullptr;
    const long length = BIO_get_mem_data(bio, &data);
    return length > 0 ? QByteArray(data, int(length)) : QByteArray();
}

bool rawPublicKey(EVP_PKEY *key, QByteArray &baPublicKey, QString &strError)
{
    if (EVP_PKEY_get_base_id(key) != EVP_PKEY_ED25519) {
        strError = QStringLiteral("not an Ed25519 key");
        return false;
    }
    size_t length = ed25519KeyBytes;
    baPublicKey.resize(ed25519KeyBytes);
    if (EVP_PKEY_get_raw_public_key(key, reinterpret_cast<unsigned char *>(baPublicKey.data()), &length) != 1
        || length != size_t(ed25519KeyBytes)) {
        strError = opensslError();
        return false;
    }
    return true;
}

Pkey privateKeyFromPem(const QByteArray &baPem, QString &strError)
{
    Bio bio = memoryBio(baPem);
    Pkey key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!key) {
        strError = QStringLiteral("not a PEM private key (%1)").arg(opensslError());
        return nullptr;
    }
    if (EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_ED25519) {
        strError = QStringLiteral("not an Ed25519 key");
        return nullptr;
    }
    return key;
}

// Inflates the zlib stream into exactly nAnnounced bytes, growing the
// output as it comes. A stream that gives one byte more is refused at that
// byte, so a lying length costs no more than it announces; qUncompress
// would inflate the whole stream first and compare afterwards.
bool inflateAnnounced(const char *pStream, int nStreamBytes, quint32 nAnnounced, QByteArray &baOut)
{
    z_stream stream = {};
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(pStream));
    stream.avail_in = uInt(nStreamBytes);
    if (inflateInit(&stream) != Z_OK)
        return false;
    baOut.clear();
    char spill = 0;
    int code = Z_OK;
    while (code == Z_OK) {
        const quint32 done = quint32(stream.total_out);
        if (done == nAnnounced) {
            // All that was announced is in: only the end of the stream may follow.
            stream.next_out = reinterpret_cast<Bytef *>(&spill);
            stream.avail_out = 1;
        } else {
            if (done == quint32(baOut.size()))
                baOut.resize(int(qMin<quint32>(nAnnounced, qMax<quint32>(64 * 1024, done * 2))));
            stream.next_out = reinterpret_cast<Bytef *>(baOut.data() + done);
            stream.avail_out = uInt(quint32(baOut.size()) - done);
        }
        code = inflate(&stream, Z_NO_FLUSH);
        if (quint32(stream.total_out) > nAnnounced)
            code = Z_DATA_ERROR;
    }
    const bool ok = code == Z_STREAM_END && quint32(stream.total_out) == nAnnounced && stream.avail_in == 0;
    inflateEnd(&stream);
    if (!ok)
        baOut.clear();
    return ok;
}

} // namespace

QString keyId(const QByteArray &baPublicKey)
{
    return QString::fromLatin1(QCryptographicHash::hash(baPublicKey, QCryptographicHash::Sha256).left(8).toHex());
}

bool readPublicKeyPem(const QByteArray &baPem, QByteArray &baPublicKey, QString &strError)
{
    Bio bio = memoryBio(baPem);
    Pkey key(bio ? PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!key) {
        ERR_clear_error();
        QString privateError;
        key = privateKeyFromPem(baPem, privateError);
        if (!key) {
            strError = QStringLiteral("not a PEM Ed25519 key");
            return false;
        }
    }
    return rawPublicKey(key.get(), baPublicKey, strError);
}

bool holdsPrivateKey(const QByteArray &baPem)
{
    // Every PEM label of a private key ends so: "PRIVATE KEY", "ENCRYPTED
    // PRIVATE KEY", "RSA PRIVATE KEY", "OPENSSH PRIVATE KEY".
    return baPem.contains("PRIVATE KEY-----");
}

QByteArray publicKeyToPem(const QByteArray &baPublicKey)
{
    Pkey key(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr,
                                         reinterpret_cast<const unsigned char *>(baPublicKey.constData()),
                                         size_t(baPublicKey.size())));
    Bio bio(BIO_new(BIO_s_mem()));
    if (!key || !bio || PEM_write_bio_PUBKEY(bio.get(), key.get()) != 1)
        return QByteArray();
    return bioBytes(bio.get());
}

bool generateKeyPair(QByteArray &baPrivatePem, QByteArray &baPublicKey, QString &strError)
{
    std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree> context(EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr));
    EVP_PKEY *generated = nullptr;
    if (!context || EVP_PKEY_keygen_init(context.get()) != 1 || EVP_PKEY_keygen(context.get(), &generated) != 1) {
        strError = opensslError();
        return false;
    }
    Pkey key(generated);
    Bio bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1) {
        strError = opensslError();
        return false;
    }
    baPrivatePem = bioBytes(bio.get());
    return rawPublicKey(key.get(), baPublicKey, strError);
}

bool signBytes(const QByteArray &baPrivatePem, const QByteArray &baMessage, QByteArray &baSignature,
               QString &strError)
{
    Pkey key = privateKeyFromPem(baPrivatePem, strError);
    if (!key)
        return false;
    MdCtx context(EVP_MD_CTX_new());
    size_t length = ed25519SignatureBytes;
    baSignature.resize(ed25519SignatureBytes);
    // Ed25519 hashes internally: no digest is named, and the message goes in one piece.
    if (!context || EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key.get()) != 1
        || EVP_DigestSign(context.get(), reinterpret_cast<unsigned char *>(baSignature.data()), &length,
                          reinterpret_cast<const unsigned char *>(baMessage.constData()), size_t(baMessage.size()))
            != 1
        || length != size_t(ed25519SignatureBytes)) {
        strError = opensslError();
        return false;
    }
    return true;
}

bool verifyBytes(const QByteArray &baPublicKey, const QByteArray &baMessage, const QByteArray &baSignature)
{
    if (baPublicKey.size() != ed25519KeyBytes || baSignature.size() != ed25519SignatureBytes)
        return false;
    Pkey key(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr,
                                         reinterpret_cast<const unsigned char *>(baPublicKey.constData()),
                                         size_t(baPublicKey.size())));
    MdCtx context(EVP_MD_CTX_new());
    const bool ok = key && context && EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key.get()) == 1
        && EVP_DigestVerify(context.get(), reinterpret_cast<const unsigned char *>(baSignature.constData()),
                            size_t(baSignature.size()), reinterpret_cast<const unsigned char *>(baMessage.constData()),
                            size_t(baMessage.size()))
            == 1;
    ERR_clear_error();
    return ok;
}

QByteArray packSignedBytes(const QByteArray &baSigned)
{
    return qCompress(baSigned, 9).toBase64();
}

bool unpackSignedBytes(const QByteArray &baBase64, QByteArray &baSigned)
{
    baSigned.clear();
    const auto compressed = QByteArray::fromBase64Encoding(baBase64, QByteArray::AbortOnBase64DecodingErrors);
    if (!compressed || (*compressed).size() < 4)
        return false;
    // qCompress's form: the length in four bytes, big-endian, then a zlib stream.
    const auto *head = reinterpret_cast<const uchar *>((*compressed).constData());
    const quint32 announced = (quint32(head[0]) << 24) | (quint32(head[1]) << 16) | (quint32(head[2]) << 8) | head[3];
    if (announced == 0 || announced > maxSignedBytes)
        return false;
    return inflateAnnounced((*compressed).constData() + 4, (*compressed).size() - 4, announced, baSigned);
}

QByteArray envelopeToJson(const SignedEnvelope &envelope)
{
    QJsonArray signatures;
    for (const SignatureEntry &entry : envelope.vecSignatures) {
        signatures.append(QJsonObject{{QStringLiteral("keyid"), entry.strKeyId},
                                      {QStringLiteral("sig"), QString::fromLatin1(entry.baSignature.toBase64())}});
    }
    const QJsonObject root{{QStringLiteral("signed"), QString::fromLatin1(packSignedBytes(envelope.baSigned))},
                           {QStringLiteral("signatures"), signatures}};
    return QJsonDocument(root).toJson(QJsonDocument::Indented);
}

bool envelopeFromJson(const QByteArray &baJson, SignedEnvelope &envelope, QString &strError)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(baJson, &parseError);
    if (!document.isObject()) {
        strError = QStringLiteral("not a JSON object (%1)").arg(parseError.errorString());
        return false;
    }
    const QJsonObject root = document.object();
    const QJsonValue signedValue = root.value(QLatin1String("signed"));
    const QJsonValue signatures = root.value(QLatin1String("signatures"));
    if (!signedValue.isString() || !signatures.isArray()) {
        strError = QStringLiteral("\"signed\" or \"signatures\" missing");
        return false;
    }
    if (!unpackSignedBytes(signedValue.toString().toLatin1(), envelope.baSigned)) {
        strError = QStringLiteral("\"signed\" is not a compressed document in base64");
        return false;
    }
    envelope.vecSignatures.clear();
    for (const QJsonValue &value : signatures.toArray()) {
        const QJsonObject object = value.toObject();
        const auto signature = QByteArray::fromBase64Encoding(object.value(QLatin1String("sig")).toString().toLatin1(),
                                                              QByteArray::AbortOnBase64DecodingErrors);
        if (!object.value(QLatin1String("keyid")).isString() || !signature) {
            strError = QStringLiteral("a signature entry is malformed");
            return false;
        }
        envelope.vecSignatures.append(SignatureEntry{object.value(QLatin1String("keyid")).toString(), *signature});
    }
    return true;
}

bool isSignedBy(const SignedEnvelope &envelope, const KeyList &keys, QString &strError)
{
    QSet<QString> validKeys;
    for (const SignatureEntry &entry : envelope.vecSignatures) {
        for (const TrustedKey &key : keys.vecKeys) {
            if (key.strId == entry.strKeyId && verifyBytes(key.baPublicKey, envelope.baSigned, entry.baSignature))
                validKeys.insert(key.strId);
        }
    }
    const int needed = qMax(1, keys.nThreshold);
    if (validKeys.size() >= needed)
        return true;
    QStringList named;
    for (const SignatureEntry &entry : envelope.vecSignatures)
        named << entry.strKeyId;
    strError = QStringLiteral("%1 valid signature(s) of trusted keys, %2 needed (signed by: %3)")
                   .arg(validKeys.size())
                   .arg(needed)
                   .arg(named.isEmpty() ? QStringLiteral("nobody") : named.join(QLatin1String(", ")));
    return false;
}

} // namespace Trust
