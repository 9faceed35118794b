#include "upgrade/trust/packetverifier.h"

#include <openssl/evp.h>

namespace Trust {

struct CPacketVerifier::Digest
{
    EVP_MD_CTX *context = EVP_MD_CTX_new();
    bool isValid = false;

    ~Digest() { EVP_MD_CTX_free(context); }
};

CPacketVerifier::CPacketVerifier()
    : m_digest(new Digest)
{
}

CPacketVerifier::~CPacketVerifier() = default;

void CPacketVerifier::reset(qint64 llBytes, const QByteArray &baSha256)
{
    m_llExpected = llBytes;
    m_baSha256 = baSha256;
    m_llBytes = 0;
    m_isOverflowed = false;
    m_digest->isValid = m_llExpected >= 0 && m_digest->context
        && EVP_DigestInit_ex(m_digest->context, EVP_sha256(), nullptr) == 1;
}

bool CPacketVerifier::update(const char *data, qint64 length)
{
    if (length < 0 || m_isOverflowed)
        return false;
    m_llBytes += length;
    if (m_llExpected < 0)
        return true;
    if (m_llBytes > m_llExpected) {
        m_isOverflowed = true;
        return false;
    }
    if (m_digest->isValid && EVP_DigestUpdate(m_digest->context, data, size_t(length)) != 1)
        m_digest->isValid = false;
    return true;
}

bool CPacketVerifier::finish(QString &strError)
{
    if (m_llExpected < 0)
        return true;
    if (m_isOverflowed || m_llBytes != m_llExpected) {
        strError = QStringLiteral("size %1%2, signed %3")
                       .arg(m_isOverflowed ? QStringLiteral("above ") : QString())
                       .arg(m_llBytes)
                       .arg(m_llExpected);
        return false;
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    const bool isValid = m_digest->isValid && EVP_DigestFinal_ex(m_digest->context, digest, &digestLength) == 1;
    // A second finish() without a reset() fails: the hash is spent.
    m_digest->isValid = false;
    if (!isValid) {
        strError = QStringLiteral("SHA-256 could not be computed");
        return false;
    }
    const QByteArray actual(reinterpret_cast<const char *>(digest), int(digestLength));
    if (actual != m_baSha256) {
        strError = QStringLiteral("SHA-256 %1, signed %2")
                       .arg(QString::fromLatin1(actual.toHex()), QString::fromLatin1(m_baSha256.toHex()));
        return false;
    }
    return true;
}

} // namespace Trust
